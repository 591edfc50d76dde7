// The XML register import on the data module, as the main window runs it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/codepage.h"
#include "support/FakeTaskUi.h"
#include "support/TestDatabase.h"
#include "tasks/Scheduler_DM.h"
#include "tasks/XmlImport.h"
#include "xmlimport_fixture.h"

namespace {

using platform::Utf8ToCp1251;

class FakeWindow : public tasks::IXmlImportWindow {
public:
  std::vector<std::string> calls;
  void FocusFileEdit() override { calls.push_back("focus"); }
  void SetRefreshLabel(const std::string& text) override { calls.push_back("lbRefrLg=" + text); }
  void CopyTaskMessagesToProtocol() override { calls.push_back("protocol"); }
  void SetTaskStatus(int item, const std::string& text) override {
    calls.push_back("status " + std::to_string(item) + "=" + text);
  }
  void SetXmlLabel(const std::string& text) override { calls.push_back("lbreXML=" + text); }
};

class XmlImportDmTest : public ::testing::Test {
protected:
  testsupport::TestDatabase tdb;
  std::string dir = testsupport::MakeTempDir("kesta-xmldm");
  TdmScheduler dm{dir};
  testsupport::FakeTaskUi ui;
  FakeWindow window;

  void SetUp() override {
    dm.SetUi(&ui);
    tdb.connect(dm.IBDB);
    tdb.fillParams(dm.SQLConnection.Params);
    dm.SQLConnection.open();
    tdb.exec("insert into DOCTORS (ID, KOD, KOD_PROFESSION) values (7, 101, '76')");
  }
  void TearDown() override {
    dm.SQLConnection.close();
    dm.IBDB.disconnect();
    testsupport::RemoveDir(dir);
  }
  static std::string cp(const char* utf8) { return Utf8ToCp1251(utf8); }
  std::string registerFile(int cases) {
    xmltest::XmlRegister reg;
    for (int i = 0; i < cases; ++i) {
      xmltest::XmlCase c;
      c.npolis = std::to_string(6800000000000100LL + i);
      reg.cases.push_back(c);
    }
    return xmltest::writeTempFile("dm.xml", reg.toUtf8Xml());
  }
  std::vector<std::string> summary(int n) {
    const std::string k = std::to_string(n);
    return {cp("Загрузка реестра XML"),          " ",
            cp("Обработано записей  - ") + k,    cp("Добавлено пациентов - ") + k,
            cp("Добавлено посещений - ") + k,    cp("Добавлено заболеваний - ") + k,
            cp("Загрузка реестра XML завершена")};
  }
};

TEST_F(XmlImportDmTest, OperatorRunWithTheWindow) {
  tasks::XmlImportResult r = tasks::ImportXmlRegister(dm, registerFile(2), 0, &window);
  EXPECT_EQ(r.visits, 2);
  EXPECT_EQ(ui.taskMessages, summary(2));
  EXPECT_EQ(ui.steps, 2);
  EXPECT_EQ(ui.progressMax, 2);
  EXPECT_EQ(ui.progressPosition, 0);
  EXPECT_GE(ui.processMessagesCalls, 3);
  EXPECT_TRUE(ui.messageBoxes.empty());
  EXPECT_TRUE(ui.protocol.empty());  // the window copies its own message list
  EXPECT_EQ(window.calls, (std::vector<std::string>{"lbRefrLg=" + cp("Актуализация БД выполнена!"), "protocol",
                                                    "status 9=" + cp("Выполнение завершено"),
                                                    "lbreXML=" + cp("Загрузка реестра XML выполнена!")}));
  EXPECT_EQ(tdb.count("PATIENT"), 2);
  EXPECT_EQ(tdb.count("DISEASES"), 2);
  // The statements stay prepared on the module's queries.
  const std::pair<fbdb::Query*, const char*> kept[] = {
      {&dm.Qry1, tasks::xmlsql::kSelectBySnils}, {&dm.Qry2, tasks::xmlsql::kSelectByPolicy},
      {&dm.QryApp, tasks::xmlsql::kInsertPatient}, {&dm.Qryw, tasks::xmlsql::kSelectDoctor},
      {&dm.Qry3, tasks::xmlsql::kSelectVisit},     {&dm.QryUpd, tasks::xmlsql::kInsertVisit},
      {&dm.QryDis, tasks::xmlsql::kInsertDisease}};
  for (const auto& [q, sql] : kept) {
    EXPECT_EQ(q->sql(), sql);
    EXPECT_TRUE(q->prepared()) << sql;
  }
}

TEST_F(XmlImportDmTest, WithoutAWindowTheImportsLinesReachTheProtocol) {
  ui.taskMessages = {"earlier line"};
  tasks::ImportXmlRegister(dm, registerFile(1), 0);
  EXPECT_EQ(ui.protocol, summary(1));
}

TEST_F(XmlImportDmTest, TimedRun) {
  tasks::ImportXmlRegister(dm, registerFile(1), 1, &window);
  EXPECT_EQ(ui.taskMessages, summary(1));
  EXPECT_TRUE(window.calls.empty());
  EXPECT_TRUE(ui.protocol.empty());
}

TEST_F(XmlImportDmTest, NoFileGivenByTheOperator) {
  tasks::XmlImportResult r = tasks::ImportXmlRegister(dm, " \t", 0, &window);
  EXPECT_FALSE(r.started);
  ASSERT_EQ(ui.messageBoxes.size(), 1u);
  EXPECT_EQ(ui.messageBoxes[0].text, cp("Не задан файл"));
  EXPECT_EQ(ui.messageBoxes[0].caption, cp("Сообщение"));
  EXPECT_EQ(window.calls, std::vector<std::string>{"focus"});
  EXPECT_TRUE(ui.taskMessages.empty());
}

TEST_F(XmlImportDmTest, AnErrorReachesTheCallerAsClassNameAndMessage) {
  xmltest::XmlRegister reg;
  xmltest::XmlCase c;
  c.withSluch = false;
  reg.cases = {c};
  try {
    tasks::ImportXmlRegister(dm, xmltest::writeTempFile("bad.xml", reg.toUtf8Xml()), 0, &window);
    FAIL() << "no error";
  } catch (const platform::Exception& e) {
    const std::string shown = platform::describe(e);
    EXPECT_EQ(shown.substr(0, 16), "EXmlImportError\r") << shown;
    EXPECT_NE(shown.find("bad.xml\", record 1 of 1"), std::string::npos) << shown;
    EXPECT_NE(shown.find("EXMLDocError: Node \"SLUCH\" not found"), std::string::npos) << shown;
  }
  EXPECT_EQ(tdb.count("PATIENT"), 0);
  EXPECT_FALSE(dm.IBTran2.active());
}

}  // namespace

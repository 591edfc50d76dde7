// The duplicate search (task 6), the disease-record correction (task 7) and the XML
// register import (task 9) from the main window, through the data bridge, against a real
// embedded clinic database.
#include <gtest/gtest.h>

#include <string>

#include "embedded_shell.h"
#include "platform/codepage.h"
#include "tasks/xmlimport_fixture.h"

using namespace testshell;
using shell::S;

namespace {

class EmbeddedTasks : public EmbeddedShell {
protected:
  void addPatient(int id, const char* last, const char* first, const char* middle, const char* birthday,
                  const char* series, const char* number, const char* snils) {
    db.exec("insert into PATIENT (IDP, LAST_NAME, FIRST_NAME, MIDDLE_NAME, BIRTHDAY, POLICY_SERIA, POLICY_NUM, "
            "SNILS_KOD) values (" + std::to_string(id) + ", '" + C(last) + "', '" + C(first) + "', '" + C(middle) +
            "', '" + birthday + "', '" + series + "', '" + number + "', '" + snils + "')");
  }
};

TEST_F(EmbeddedTasks, RunNowSearchesDuplicatesByName) {
  addPatient(1, "Иванов", "Иван", "Петрович", "09.12.1960", "AA", "1", "");
  addPatient(2, "ИВАНОВ", "иван", "Петрович", "09.12.1960", "AA", "2", "");
  addPatient(3, "Сидоров", "Пётр", "Ильич", "01.01.1970", "AA", "3", "");
  w->cbFIO->setChecked(true);
  w->cbPolice->setChecked(false);
  w->cbSNILS->setChecked(false);
  w->acDublExecute();
  ASSERT_TRUE(prompt.msgs.empty()) << prompt.msgs[0].text;
  EXPECT_EQ(S(w->lDubl->text()), C("Поиск дубликатов выполнен!"));
  EXPECT_EQ(w->status(6), C("Выполнение завершено"));
  const auto& p = w->protocol();
  ASSERT_GE(p.size(), 5u);
  EXPECT_EQ(p[0], C("ПОИСК ДУБЛИКАТОВ ПО ФИО"));
  // One group: the two spellings of the same person, the third patient stays out.
  int members = 0;
  for (const auto& line : p) {
    if (line.rfind("   1 ", 0) == 0 || line.rfind("   2 ", 0) == 0) ++members;
    EXPECT_EQ(line.find(C("Сидоров")), std::string::npos) << line;
  }
  EXPECT_EQ(members, 2);
  EXPECT_EQ(p[p.size() - 2], C("Конец задания поиска дубликатов"));
}

TEST_F(EmbeddedTasks, RunNowRunsTheDiseaseRecordCorrection) {
  w->edMKB1->setText("J00");
  w->edMKB2->setText("J06");
  w->edDop->setText("15");
  w->edYear->setText("2026");
  w->acZabolExecute();
  ASSERT_TRUE(prompt.msgs.empty()) << prompt.msgs[0].text;
  EXPECT_EQ(S(w->lZab->text()), C("Правка заболеваний выполнена!"));
  EXPECT_EQ(w->status(7), C("Выполнение завершено"));
  ASSERT_FALSE(w->protocol().empty());
  EXPECT_EQ(w->protocol()[0], C("ПРАВКА УЧЕТА ЗАБОЛЕВАНИЙ"));
}

TEST_F(EmbeddedTasks, RunNowImportsAnXmlRegisterWithItsPageLabels) {
  xmltest::XmlRegister reg;
  reg.cases.resize(2);
  reg.cases[1].fam = "Петров";
  reg.cases[1].npolis = "6800000000000002";
  reg.cases[1].enp = "6800000000000002";
  db.exec("insert into DOCTORS (ID, KOD, KOD_PROFESSION) values (5, 101, '76')");
  std::string file = xmltest::writeTempFile("register.xml", reg.toUtf8Xml());
  w->edF2->setText(Q(platform::Cp1251ToUtf8(file)));
  w->sbExecClick(false);
  ASSERT_TRUE(prompt.msgs.empty()) << prompt.msgs[0].text;
  EXPECT_EQ(S(w->lbreXML->text()), C("Загрузка реестра XML выполнена!"));
  EXPECT_EQ(w->status(9), C("Выполнение завершено"));
  EXPECT_EQ(db.count("PATIENT"), 2);
  EXPECT_EQ(db.count("VISITS"), 2);
  EXPECT_EQ(db.count("DISEASES"), 2);
  bool finished = false;
  for (const auto& line : w->protocol()) finished = finished || line == C("Загрузка реестра XML завершена");
  EXPECT_TRUE(finished);
}

// A document series too long for its column stops the import at that record; the timed
// run shows the series and its length, with the record, to the operator.
TEST_F(EmbeddedTasks, ATimedImportNamesTheTruncationOfALongDocumentSeries) {
  xmltest::XmlRegister reg;
  reg.cases.resize(2);
  reg.cases[1].npolis = "6800000000000002";
  reg.cases[1].doctype = "14";
  reg.cases[1].docser = "12 34 567890";
  std::string file = xmltest::writeTempFile("register.xml", reg.toUtf8Xml());
  w->edF2->setText(Q(platform::Cp1251ToUtf8(file)));
  ASSERT_NO_FATAL_FAILURE(runTimed(9));
  ASSERT_EQ(prompt.msgs.size(), 1u);
  const std::string& text = prompt.msgs[0].text;
  EXPECT_NE(text.find("record 2 of 2"), std::string::npos) << text;
  EXPECT_NE(text.find("DOCSER \"12 34 567890\" has 12 characters; DOCUMENT_SERIA_NAME holds 10"), std::string::npos)
      << text;
  EXPECT_EQ(db.count("PATIENT"), 1);  // the first record stays
  EXPECT_EQ(db.scalar("select count(*) from PATIENT where DOCUMENT_SERIA_NAME is not null"), "0");
}

TEST_F(EmbeddedTasks, RunNowWithoutARegisterNameAsksForIt) {
  w->edF2->setText("");
  w->sbExecClick(false);
  ASSERT_EQ(prompt.msgs.size(), 1u);
  EXPECT_EQ(db.count("PATIENT"), 0);
}

// After another run-now task and a closed IBDB (as a tick leaves it): the import connects
// IBDB first, and each line reaches the protocol once.
TEST_F(EmbeddedTasks, RunNowXmlImportAfterAnotherTaskWithIbdbClosed) {
  addPatient(900001, "Иванов", "Иван", "Петрович", "09.12.1960", "AA", "1", "");
  w->cbFIO->setChecked(true);
  w->acDublExecute();
  ASSERT_TRUE(prompt.msgs.empty()) << prompt.msgs[0].text;
  dm->IBDB.disconnect();
  xmltest::XmlRegister reg;
  reg.cases.resize(1);
  db.exec("insert into DOCTORS (ID, KOD, KOD_PROFESSION) values (5, 101, '76')");
  std::string file = xmltest::writeTempFile("register.xml", reg.toUtf8Xml());
  w->edF2->setText(Q(platform::Cp1251ToUtf8(file)));
  w->SpeedButton4->click();
  ASSERT_TRUE(prompt.msgs.empty()) << prompt.msgs[0].text;
  EXPECT_TRUE(dm->IBDB.connected());
  EXPECT_EQ(S(w->lbreXML->text()), C("Загрузка реестра XML выполнена!"));
  EXPECT_EQ(db.count("VISITS"), 1);
  auto times = [&](const char* utf8) {
    int n = 0;
    for (const auto& line : w->protocol()) n += line == C(utf8) ? 1 : 0;
    return n;
  };
  EXPECT_EQ(times("Конец задания поиска дубликатов"), 1);
  EXPECT_EQ(times("ПОИСК ДУБЛИКАТОВ ПО ФИО"), 1);
  EXPECT_EQ(times("Загрузка реестра XML завершена"), 1);
}

}  // namespace

// Task 5 (the branch merge) from the main window, through the data bridge, against a real
// embedded clinic database: run now from its page and in a timed run.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "db/ClientDataSet.h"
#include "db/DataPacket.h"
#include "embedded_shell.h"
#include "platform/codepage.h"
#include "tools/SmpPackage.h"

using namespace testshell;
using shell::S;

namespace {

using cds::FType;
using cds::Value;

std::string Packet(const std::vector<std::pair<const char*, FType>>& cols, const std::vector<std::vector<Value>>& rows) {
  std::vector<cds::TFieldDef> defs;
  for (const auto& [name, type] : cols) {
    cds::TFieldDef d;
    d.Name = name;
    d.DataType = type;
    d.Size = type == FType::Str ? 40 : 0;
    defs.push_back(d);
  }
  cds::TClientDataSet ds;
  ds.SetFieldDefs(defs);
  ds.CreateDataSet();
  for (const auto& r : rows) {
    ds.Append();
    for (size_t i = 0; i < r.size(); ++i) ds.Fields(static_cast<int>(i)).SetValue(r[i]);
    ds.Post();
  }
  return cds::XmlPacketOf(ds);
}

// A branch archive with one new patient (branch id 1500000001) and nothing else.
std::string BranchArchive(const std::string& lastName) {
  const std::vector<std::pair<const char*, std::vector<const char*>>> keys = {
      {"CONST_PARAMS.xml", {"IDP"}},        {"VISIT_AG.xml", {"IDV"}},
      {"VISIT_MI.xml", {"IDV"}},            {"VISIT_PREG.xml", {"ID_VISITS_PREG"}},
      {"VISIT_RKV.xml", {"IDV"}},           {"DISP.xml", {"ID", "IDP"}},
      {"DISEASES.xml", {"IDD", "VISIT_ID"}}, {"AG_INVALID.xml", {"ID", "PATIENT_ID"}},
      {"AG_HOSP.xml", {"ID", "PATIENT_ID"}}, {"AG_DRUGS.xml", {"ID_AG_DRUGS", "IDP"}},
      {"AG_DIFFICULTIES.xml", {"ID", "PATIENT_ID"}}, {"REAB_MI.xml", {"ID", "PATIENT_ID"}},
      {"SERVICES.xml", {"IDS", "PATIENT_ID"}}, {"NOTICE.xml", {"IDI", "PATIENT_ID"}},
      {"ANALSELF.xml", {"ID", "IDP"}},      {"PAT_RREGNANCY.xml", {"IDP"}},
      {"RECEPTS.xml", {"ID_RECEPTS", "PATIENT_ID"}}, {"ACTIONS_PAT.xml", {"ID", "PATIENT_ID"}},
      {"HOSPLIST.xml", {"ID_HOSPITAL_LIST", "PATIENT_ID"}}, {"DD.xml", {"ID", "IDP"}},
      {"MO.xml", {"ID", "IDP"}}};
  std::vector<std::pair<std::string, std::string>> entries;
  entries.emplace_back(
      "PATIENT.xml",
      Packet({{"IDP", FType::I32}, {"KOD_PATIENT", FType::Str}, {"LAST_NAME", FType::Str}, {"FIRST_NAME", FType::Str},
              {"MIDDLE_NAME", FType::Str}, {"BIRTHDAY", FType::Date}, {"POLICY_SERIA", FType::Str},
              {"POLICY_NUM", FType::Str}},
             {{Value::Int32(1500000001), Value("F1"), Value(platform::Utf8ToCp1251(lastName)), Value("A"), Value(),
               Value::Date(1980, 1, 15), Value(), Value()}}));
  entries.emplace_back("VISIT.xml", Packet({{"IDV", FType::I32}, {"PATIENT_ID", FType::I32}, {"HANDLE_ID", FType::I32},
                                            {"DATE_VISIT", FType::Date}},
                                           {}));
  for (const auto& [file, cols] : keys) {
    std::vector<std::pair<const char*, FType>> c;
    for (const char* name : cols) c.emplace_back(name, FType::I32);
    entries.emplace_back(file, Packet(c, {}));
  }
  return demodata::smp::Zip(entries);
}

class EmbeddedMerge : public EmbeddedShell {
protected:
  std::string branches = dir + "branches";

  void SetUp() override {
    std::filesystem::create_directory(branches);
    testsupport::WriteFile(branches + "/a.zip", BranchArchive("Иванов"));
    testsupport::WriteFile(branches + "/b.zip", BranchArchive("Петров"));
    db.exec("set generator GEN_IDP to 10");
    EmbeddedShell::SetUp();
    if (HasFatalFailure()) return;
    w->ledFilialDBPath->setText(QString::fromStdString(branches));
    w->acRefreshFilialsExecute();
    ASSERT_EQ(w->lbFilials->count(), 2);
  }
};

TEST_F(EmbeddedMerge, RunNowMergesEveryListedArchive) {
  w->acStartDealingFilialDBExecute();
  ASSERT_EQ(prompt.msgs.size(), 1u);
  EXPECT_EQ(prompt.msgs[0].text, C("Успешное завершение актуализации БД"));
  EXPECT_EQ(db.count("PATIENT"), 2);
  EXPECT_EQ(db.scalar("select LAST_NAME from PATIENT where IDP = 12"), C("Иванов"));
  EXPECT_EQ(db.scalar("select LAST_NAME from PATIENT where IDP = 14"), C("Петров"));
  EXPECT_TRUE(std::filesystem::exists(branches + "/A.LOAD"));
  EXPECT_TRUE(std::filesystem::exists(branches + "/B.LOAD"));
  EXPECT_FALSE(std::filesystem::exists(branches + "/a.zip"));
}

TEST_F(EmbeddedMerge, RunNowRefusesADatabaseWithBranchIds) {
  db.exec("insert into PATIENT (IDP, LAST_NAME) values (1500000001, 'X')");
  w->acStartDealingFilialDBExecute();
  ASSERT_EQ(prompt.msgs.size(), 1u);
  EXPECT_EQ(prompt.msgs[0].text,
            C("База данных ВИРЕЛ, выбранная как БД центра, таковой не является.\r\rВ актуализации данных отказано."));
  EXPECT_EQ(db.count("PATIENT"), 1);
  EXPECT_TRUE(std::filesystem::exists(branches + "/a.zip"));
}

TEST_F(EmbeddedMerge, ATimedRunWritesTheLastArchivesItem) {
  ASSERT_NO_FATAL_FAILURE(runTimed(5));
  ASSERT_TRUE(prompt.msgs.empty()) << prompt.msgs[0].text;
  EXPECT_EQ(w->status(5), C("Выполнение завершено"));
  // The item of the last archive; the shell reads the text as a list ending with ";".
  const std::vector<std::string> protocol = {C("ФИЛИАЛ->ЦЕНТР: файл ") + branches + C("/b.zip - успешная актуализация"),
                                             ""};
  EXPECT_EQ(w->protocol(), protocol);
  EXPECT_EQ(db.count("PATIENT"), 2);
  EXPECT_EQ(w->lbFilials->count(), 0);  // the list is read again: no archive left to merge
}

}  // namespace

// The DBF tasks (3, 4 and 10) from the main window, through the data bridge, against a
// real embedded clinic database: run now from their pages and in a timed run.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "embedded_shell.h"
#include "platform/codepage.h"
#include "tasks/dbf_fixture.h"

using namespace testshell;
using shell::S;

namespace {

// A dBase III table written byte by byte; texts given in UTF-8 are stored in CP866.
struct DbfField {
  const char* name;
  char type;
  int length;
};

std::string Dbf(const std::vector<DbfField>& fields, const std::vector<std::vector<std::string>>& records) {
  auto le = [](uint32_t v, int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += static_cast<char>((v >> (8 * i)) & 0xFF);
    return s;
  };
  int recordLength = 1;
  for (const DbfField& f : fields) recordLength += f.length;
  std::string out;
  out += '\x03';
  out += std::string("\x7E\x0C\x0A", 3);
  out += le(static_cast<uint32_t>(records.size()), 4);
  out += le(static_cast<uint32_t>(32 + 32 * fields.size() + 1), 2);
  out += le(static_cast<uint32_t>(recordLength), 2);
  out += std::string(20, '\0');
  for (const DbfField& f : fields) {
    std::string name(f.name);
    name.resize(11, '\0');
    out += name;
    out += f.type;
    out += std::string(4, '\0');
    out += static_cast<char>(f.length);
    out += '\0';
    out += std::string(14, '\0');
  }
  out += '\x0D';
  for (const auto& rec : records) {
    out += ' ';
    for (size_t i = 0; i < fields.size(); ++i) {
      std::string v = platform::ConvertCodepage(rec[i], "UTF-8", "CP866");
      v.resize(static_cast<size_t>(fields[i].length), ' ');
      if (fields[i].type == 'N') {  // right-aligned
        std::string t = rec[i];
        v = std::string(static_cast<size_t>(fields[i].length) - t.size(), ' ') + t;
      }
      out += v;
    }
  }
  out += '\x1A';
  return out;
}

const std::vector<DbfField> kFundFields = {
    {"FIRSTNAME", 'C', 40}, {"NAME", 'C', 40},    {"SECNAME", 'C', 40},  {"DATEBDAY", 'D', 8},  {"POL", 'C', 1},
    {"SNILS", 'C', 14},     {"SPOLICY", 'C', 10}, {"NPOLICY", 'C', 20},  {"DPOLICY", 'D', 8},   {"ENDPOLICY", 'D', 8},
    {"VPOLIC", 'N', 1},     {"CMOCOD", 'N', 5},   {"ENP", 'C', 16},      {"DATEPRIK", 'D', 8},  {"SPOLREF", 'C', 6},
    {"SSTOMREF", 'C', 6},   {"SWCONREF", 'C', 6}, {"COATODIST", 'C', 11}, {"NPREF", 'C', 6},    {"STRETREF", 'C', 6},
    {"HOUSE", 'C', 5},      {"FLAT", 'N', 4},     {"KORPUS", 'C', 5},    {"NPNAME", 'C', 60},   {"ADRESS_F", 'C', 60},
    {"KLADR", 'C', 20},     {"KLADRS", 'C', 20},  {"ID_LIC", 'C', 20},   {"STATUS", 'C', 2}};

std::vector<std::string> FundPerson(const std::string& last, const std::string& number) {
  return {last, "Иван", "Иванович", "19800517", "М", "123-456-789 01", "", number, "20150301", "", "3", "68001",
          number, "20200203", "61", "62", "63", "68401", "", "501", "12", "7", "", "Тамбов", "", "", "", "", "7"};
}

const std::vector<DbfField> kPrivilegedFields = {
    {"FM", 'C', 40},     {"IM", 'C', 40},       {"OT", 'C', 40},        {"DTR", 'D', 8},      {"SER_SP", 'C', 10},
    {"NUM_SP", 'C', 20}, {"NPSU", 'C', 14},     {"STATUS", 'C', 10},    {"DAT_ISKL", 'C', 10}, {"KATEG_EDV", 'C', 20},
    {"TYPE_DOC", 'C', 30}, {"SER_DOC", 'C', 14}, {"NUM_DOC", 'C', 10}};

const std::vector<DbfField> kDrugFields = {
    {"NAME_MED", 'C', 60}, {"NOMK_LS", 'N', 8},  {"C_RLP", 'N', 5},     {"TYPE_LGT", 'N', 2},  {"PRICE", 'N', 10},
    {"MNN_NAME_R", 'C', 40}, {"MNN_NAME_L", 'C', 40}, {"D_R", 'C', 20}, {"D_L", 'C', 20},     {"N_LF_L", 'C', 20},
    {"N_LF_R", 'C', 20},   {"NAME_TRN", 'C', 40}, {"NAME_FCT", 'C', 40}, {"DATE_E", 'D', 8},   {"C_MNN", 'C', 6},
    {"C_FARG", 'N', 5},    {"DATE_B", 'D', 8},   {"MSG_TEXT", 'C', 40}, {"C_LF", 'N', 5},      {"C_TRN", 'N', 6},
    {"KATEG", 'C', 10}};

std::vector<std::string> Drug(const std::string& name, const std::string& cMnn) {
  return {name, "1001", "12", "1", "12.50", "", "", "", "", "", "", "", "", "20271231", cMnn, "5", "", "", "3", "4",
          "ИСТИНА"};
}

class EmbeddedDbf : public EmbeddedShell {
protected:
  void SetUp() override {
    EmbeddedShell::SetUp();
    if (HasFatalFailure()) return;
    db.exec("insert into PATIENT (IDP, LAST_NAME, FIRST_NAME, MIDDLE_NAME, BIRTHDAY, POLICY_SERIA, POLICY_NUM, "
            "SNILS_KOD) values (100, '" + C("Петров") + "', '" + C("Иван") + "', '" + C("Иванович") +
            "', '17.05.1980', '000000', 'P100', 'old')");
    db.exec("insert into DRUGS (ID_DRUGS, DISPLAY_NAME) values (1, 'old')");
    testsupport::WriteFile(dir + "PRIK.DBF", Dbf(kFundFields, {FundPerson("Петров", "P100"),
                                                             FundPerson("Новый", "P200")}));
    testsupport::WriteFile(
        dir + "LGOT.DBF",
        Dbf(kPrivilegedFields, {{"Петров", "Иван", "Иванович", "19800517", "000000", "P100", "111-222-333 44", "", "",
                                 "081", "Паспорт", "68 01", "123456"},
                                {"Нет", "Иван", "Иванович", "19800517", "", "", "", "", "", "", "", "", ""}}));
    testsupport::WriteFile(dir + "LGOT2.DBF",
                           Dbf(kPrivilegedFields, {{"Новый", "Иван", "Иванович", "19800517", "000000", "P200",
                                                    "555-666-777 88", "", "", "081", "", "", ""}}));
    testsupport::WriteFile(dir + "LS.DBF", Dbf(kDrugFields, {Drug("Аспирин", "77"), Drug("Цитрамон", "78")}));
    testsupport::WriteFile(dir + "BADLS.DBF", Dbf(kDrugFields, {Drug("Аспирин", "77"), Drug("Цитрамон", "7x")}));
  }
};

TEST_F(EmbeddedDbf, RunNowActualisesTheAttachedPopulation) {
  w->edFileDBF->setText(Q(dir + "PRIK.DBF"));
  w->acRefreshFromFOMSExecute();
  ASSERT_TRUE(prompt.msgs.empty()) << prompt.msgs[0].text;
  EXPECT_EQ(S(w->lbRefr->text()), C("Актуализация БД выполнена!"));
  EXPECT_EQ(w->status(3), C("Выполнение завершено"));
  EXPECT_EQ(w->protocol(), dbftest::PopulationProtocol(1, 0, 1));
  EXPECT_EQ(db.count("PATIENT"), 2);
  EXPECT_EQ(db.scalar("select UPDATE_DATE from PATIENT where IDP = 100"), db.scalar("select current_date from RDB$DATABASE"));
  EXPECT_EQ(db.scalar("select PLPU from PRIKEND_LOG"), "61");
}

TEST_F(EmbeddedDbf, RunNowActualisesThePrivilegedPersons) {
  w->cbNotFound->setChecked(true);
  w->edFileL->setText(Q(dir + "LGOT.DBF"));
  w->acRefreshLExecute();
  ASSERT_TRUE(prompt.msgs.empty()) << prompt.msgs[0].text;
  EXPECT_EQ(S(w->lbRefrLg->text()), C("Актуализация БД выполнена!"));
  EXPECT_EQ(w->status(4), C("Выполнение завершено"));
  const std::vector<std::string> lines = {C("АКТУАЛИЗАЦИЯ ФЕДЕРАЛЬНЫХ ЛЬГОТНИКОВ"),
                                          " ",
                                          C("Не найдены льготники в БД учреждения:"),
                                          " ",
                                          C("  Нет Иван Иванович 17.05.1980"),
                                          " ",
                                          C("Замена записи - 1"),
                                          C("Отказников - 0"),
                                          C("Не найдено льготников  - 1"),
                                          " ",
                                          C("Актуализация льготников завершена"),
                                          " "};
  EXPECT_EQ(w->protocol(), lines);
  EXPECT_EQ(db.scalar("select SNILS_KOD from PATIENT where IDP = 100"), "111-222-333-44");
}

TEST_F(EmbeddedDbf, RunNowLoadsTheDrugDirectoryOrKeepsTheOldOne) {
  w->edFileLS->setText(Q(dir + "BADLS.DBF"));
  w->acLoadLSExecute();
  EXPECT_EQ(S(w->lbLoadLS->text()), C("Не удалось загрузить справочник ЛС!"));
  EXPECT_EQ(db.scalar("select DISPLAY_NAME from DRUGS"), "old");
  w->edFileLS->setText(Q(dir + "LS.DBF"));
  w->acLoadLSExecute();
  ASSERT_TRUE(prompt.msgs.empty()) << prompt.msgs[0].text;
  EXPECT_EQ(S(w->lbLoadLS->text()), C("Справочник ЛС загружен!"));
  EXPECT_EQ(w->status(10), C("Выполнение завершено"));
  EXPECT_EQ(db.count("DRUGS"), 2);
  EXPECT_EQ(db.scalar("select DISPLAY_NAME from DRUGS where ID_DRUGS = 2"), C("Цитрамон"));
  EXPECT_EQ(db.scalar("select gen_id(GEN_DRUGS_ID, 0) from RDB$DATABASE"), "2");
}

TEST_F(EmbeddedDbf, ATimedRunRunsTheThreeTasks) {
  w->edFileDBF->setText(Q(dir + "PRIK.DBF"));
  w->edFileL->setText(Q(dir + "LGOT2.DBF"));
  w->edFileLS->setText(Q(dir + "LS.DBF"));
  ASSERT_NO_FATAL_FAILURE(runTimed({3, 4, 10}));
  ASSERT_TRUE(prompt.msgs.empty()) << prompt.msgs[0].text;
  for (int t : {3, 4, 10}) EXPECT_EQ(w->status(t), C("Выполнение завершено")) << t;
  EXPECT_EQ(S(w->lbRefr->text()), C("Актуализация БД выполнена!"));
  EXPECT_EQ(S(w->lbRefrLg->text()), C("Актуализация БД выполнена!"));
  EXPECT_EQ(S(w->lbLoadLS->text()), C("Справочник ЛС загружен!"));
  // Task 4 finds the patient that task 3 added in the same run.
  EXPECT_EQ(db.scalar("select SNILS_KOD from PATIENT where POLICY_NUM = 'P200'"), "555-666-777-88");
  EXPECT_EQ(db.count("PATIENT"), 2);
  EXPECT_EQ(db.count("DRUGS"), 2);
  EXPECT_EQ(db.scalar("select PLPU from PRIKEND_LOG"), "61");
  // The tail closed both connections (what the tasks wrote is committed: the counts above
  // are read through another attachment), and they are back as after disarming.
  EXPECT_TRUE(dm->IBDB.connected());
  EXPECT_TRUE(dm->SQLConnection.connected());
}

TEST_F(EmbeddedDbf, AfterArmTickDisarmTheAttachedPopulationRunsFromItsPageAndFromPage0) {
  w->edFileDBF->setText(Q(dir + "PRIK.DBF"));
  ASSERT_NO_FATAL_FAILURE(armTimed({3}));
  clock.set(14, 4, 1);
  w->tmTasksTimer();
  ASSERT_FALSE(dm->IBDB.connected());
  w->acTimerTurnOFFExecute();
  ASSERT_TRUE(prompt.msgs.empty()) << prompt.msgs[0].text;
  EXPECT_TRUE(dm->IBDB.connected());
  EXPECT_TRUE(dm->SQLConnection.connected());
  w->pgcTasks->setCurrentWidget(w->tsPrikrep);
  w->ActionListUpdate();
  ASSERT_TRUE(w->acRefreshFromFOMS->isEnabled());
  w->btRefreshFromFOMS->click();
  ASSERT_TRUE(prompt.msgs.empty()) << prompt.msgs[0].text;
  EXPECT_EQ(S(w->lbRefr->text()), C("Актуализация БД выполнена!"));
  EXPECT_EQ(db.count("PATIENT"), 2);
  w->pgcTasks->setCurrentWidget(w->tsActualityFromFOMS);
  w->ActionListUpdate();
  ASSERT_TRUE(w->Button3->isEnabled());
  w->lbRefr->clear();
  w->Button3->click();
  ASSERT_TRUE(prompt.msgs.empty()) << prompt.msgs[0].text;
  EXPECT_EQ(S(w->lbRefr->text()), C("Актуализация БД выполнена!"));
  EXPECT_EQ(db.count("PATIENT"), 2);
}

}  // namespace

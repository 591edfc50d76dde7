// The DBF tasks (3, 4 and 10) from the main window, through the data bridge, against a
// real embedded clinic database: run now from their pages and in a timed run.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "embedded_shell.h"
#include "platform/codepage.h"
#include "tasks/dbf_fixture.h"
#include "tools/DbfTable.h"

using namespace testshell;
using shell::S;

namespace {

using demodata::Dbf;

// The layouts of the three inputs.
const std::vector<demodata::DbfField>& kFundFields = demodata::FundFields();
const std::vector<demodata::DbfField>& kPrivilegedFields = demodata::PrivilegedFields();
const std::vector<demodata::DbfField>& kDrugFields = demodata::DrugFields();

std::vector<std::string> FundPerson(const std::string& last, const std::string& number) {
  return {last, "Иван", "Иванович", "19800517", "М", "123-456-789 01", "", number, "20150301", "", "3", "68001",
          number, "20200203", "61", "62", "63", "68401", "", "501", "12", "7", "", "Тамбов", "", "", "", "", "7"};
}

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

// Task 5 end to end: branch archives of 23 packets merged into a fresh embedded centre
// database through the data module (today 10.12.2026, so centre rows are read from
// after 10.12.2025).
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "archive/arcUnZip.h"
#include "db/ClientDataSet.h"
#include "filialmerge_fixture.h"
#include "platform/strutil.h"
#include "support/PeakMemory.h"
#include "support/TestDatabase.h"
#include "tasks/Task_FilialMerge.h"

namespace {

using dbftest::C;
using mergetest::D;
using mergetest::I;
using mergetest::N;
using mergetest::S;
using mergetest::TS;
using mergetest::Value;

constexpr int kB = 1500000000;  // branch ids are kB + n

class FilialMergeTest : public ::testing::Test, public mergetest::MergeFixture {
protected:
  void SetUp() override {
    exec("set generator GEN_IDP to 100");
    exec("set generator GEN_VISIT_ID to 200");
    exec("set generator GEN_DIS_ID to 300");
    exec("set generator GEN_DISPENSARY_ID to 400");
    exec("set generator GEN_AG_HOSP_ID to 500");
    exec("set generator GEN_DD_ID to 600");
  }
  std::string zip(const std::string& name) const { return file(name); }
  std::string loaded(const std::string& name) const { return tasks::FilialLoadedName(zip(name)); }
  std::string gen(const char* g) const { return one(std::string("select gen_id(") + g + ", 0) from RDB$DATABASE"); }
  std::string success(const std::string& path) const {
    return C("@ФИЛИАЛ->ЦЕНТР: файл ") + path + C(" - успешная актуализация@;");
  }
  // A centre patient with a visit inside the year, a diagnosis and a register row.
  void seedCentre() {
    exec("insert into PATIENT (IDP, KOD_PATIENT, LAST_NAME, FIRST_NAME, MIDDLE_NAME, BIRTHDAY, POLICY_SERIA, "
         "POLICY_NUM, DATE_INPUT) values (5, 'K5', 'OLD', 'ANNA', 'P', '01.02.1970', 'AB', '123', "
         "'01.06.2026 10:00:00')");
    exec("insert into PATIENT (IDP, KOD_PATIENT, LAST_NAME, FIRST_NAME, BIRTHDAY, DATE_INPUT) values (6, 'K6', "
         "'NEWER', 'OLGA', '03.04.1980', '02.06.2026 00:00:00')");
    exec("insert into VISITS (IDV, PATIENT_ID, HANDLE_ID, DATE_VISIT, DOCTOR, DATE_CHANGE) values "
         "(50, 5, 1, '01.11.2026', 7, '01.11.2026 09:00:00')");
    exec("insert into VISITS (IDV, PATIENT_ID, HANDLE_ID, DATE_VISIT, DOCTOR, DATE_CHANGE) values "
         "(51, 5, 2, '02.11.2026', 7, '05.11.2026 09:00:00')");
    exec("insert into DISEASES (IDD, VISIT_ID, PATIENT_ID, DATE_INPUT, MKB_KOD, CASE_KOD) values "
         "(70, 50, 5, '01.11.2026 09:00:00', 'I10', 0)");
    exec("insert into AG_HOSP (ID, PATIENT_ID, DATE_HOSP, MKB_KOD, DATE_INPUT) values "
         "(80, 5, '01.10.2026', 'I11', '01.10.2026 00:00:00')");
    exec("insert into PAT_KARTA_DD (ID, IDP, IDV, DATE_INPUT) values (90, 5, 50, '01.10.2026 00:00:00')");
  }
};

// A new branch patient arrives with its constant parameters, pregnancy state, a visit
// with an extension and a diagnosis, and register rows; all get centre ids.
TEST_F(FilialMergeTest, NewPatientWithEverythingGetsCentreIds) {
  mergetest::BranchArchive a;
  a.add("PATIENT.xml", {I(kB + 1), S("F1"), S("Иванов"), S("Иван"), S("Иванович"), D(1980, 1, 15), S("XX"),
                        S("777"), TS(2026, 11, 1)});
  a.add("CONST_PARAMS.xml", {I(kB + 1), S("A+"), TS(2026, 11, 1)});
  a.add("PAT_RREGNANCY.xml", {I(kB + 1), I(3), TS(2026, 11, 1)});
  a.add("VISIT.xml", {I(kB + 10), I(kB + 1), I(1), D(2026, 11, 20), I(9), I(1), TS(2026, 11, 20)});
  a.add("VISIT_AG.xml", {I(kB + 10), I(kB + 1), S("ag"), TS(2026, 11, 20)});
  a.add("VISIT_PREG.xml", {I(kB + 10), I(kB + 1), S("preg"), TS(2026, 11, 20)});
  a.add("DISEASES.xml", {I(kB + 20), I(kB + 10), I(kB + 1), TS(2026, 11, 20), S("J06"), I(1)});
  a.add("DISEASES.xml", {I(kB + 21), I(kB + 10), I(kB + 1), TS(2026, 11, 20), S("J07"), I(0)});
  a.add("DISP.xml", {I(kB + 30), I(kB + 1), S("I10"), D(2026, 1, 1), TS(2026, 11, 1)});
  a.add("DISP.xml", {I(kB + 31), I(kB + 1), S("E11"), D(2026, 2, 1), TS(2026, 11, 1)});
  a.add("AG_HOSP.xml", {I(kB + 40), I(kB + 1), D(2026, 3, 1), S("I10"), TS(2026, 11, 1)});
  a.write(zip("branch1.zip"));

  EXPECT_EQ(merge({zip("branch1.zip")}), success(zip("branch1.zip")));

  // PATIENT_GEN_ID answers 101: the block is 101..102 and the patient takes 102.
  EXPECT_EQ(row("select IDP, KOD_PATIENT, LAST_NAME, POLICY_NUM, BIRTHDAY from PATIENT"),
            (std::vector<std::string>{"102", "102", C("Иванов"), "777", "15.01.1980"}));
  EXPECT_EQ(gen("GEN_IDP"), "102");
  EXPECT_EQ(row("select IDP, BLOOD_GROUP from PATIENT_CONST_PARAMS"), (std::vector<std::string>{"102", "A+"}));
  EXPECT_EQ(row("select IDP, PREG_STATE from PAT_RREGNANCY"), (std::vector<std::string>{"102", "3"}));
  EXPECT_EQ(row("select IDV, PATIENT_ID, HANDLE_ID, DATE_VISIT, DOCTOR from VISITS"),
            (std::vector<std::string>{"202", "102", "1", "20.11.2026", "9"}));
  EXPECT_EQ(row("select IDV, PATIENT_ID, AG_DATA from VISITS_AG"), (std::vector<std::string>{"202", "102", "ag"}));
  EXPECT_EQ(row("select ID_VISITS_PREG, PATIENT_ID from VISITS_PREG"), (std::vector<std::string>{"202", "102"}));
  EXPECT_EQ(column("select IDD || '/' || VISIT_ID || '/' || PATIENT_ID || '/' || MKB_KOD from DISEASES order by IDD"),
            (std::vector<std::string>{"302/202/102/J06", "303/202/102/J07"}));
  EXPECT_EQ(gen("GEN_DIS_ID"), "303");
  // Register rows of a new patient start at the base itself.
  EXPECT_EQ(column("select ID || '/' || IDP || '/' || MKB from DISPENSARY order by ID"),
            (std::vector<std::string>{"401/102/I10", "402/102/E11"}));
  EXPECT_EQ(gen("GEN_DISPENSARY_ID"), "403");
  EXPECT_EQ(row("select ID, PATIENT_ID from AG_HOSP"), (std::vector<std::string>{"501", "102"}));
  // An empty packet still reserves its block (base plus 0).
  EXPECT_EQ(gen("GEN_DD_ID"), "601");

  EXPECT_FALSE(exists(zip("branch1.zip")));
  EXPECT_TRUE(exists(file("BRANCH1.LOAD")));
  for (const std::string& f : tasks::FilialPacketFiles()) EXPECT_FALSE(exists(file(f))) << f;
  EXPECT_FALSE(dm.SQLConnection.InTransaction());
  EXPECT_TRUE(ui.protocol.empty());
}

TEST_F(FilialMergeTest, KodPatientStaysWhenNotAssigned) {
  mergetest::BranchArchive a;
  a.add("PATIENT.xml", {I(kB + 1), S("F1"), S("Петров"), S("Пётр"), N(), D(1990, 5, 5), N(), N(), TS(2026, 11, 1)});
  a.write(zip("b.zip"));
  EXPECT_EQ(merge({zip("b.zip")}, false, false), "");
  EXPECT_EQ(row("select IDP, KOD_PATIENT from PATIENT"), (std::vector<std::string>{"102", "F1"}));
}

// Patients the centre knows by policy or by name and birthday are not created again;
// what hangs on their branch ids is dropped.
TEST_F(FilialMergeTest, KnownPatientsAreNotCreatedAgain) {
  seedCentre();
  mergetest::BranchArchive a;
  // policy of centre patient 5
  a.add("PATIENT.xml", {I(kB + 1), S("F1"), S("OTHER"), S("X"), N(), D(1999, 1, 1), S("AB"), S("123"), TS(2026, 11, 1)});
  // no policy series: name and birthday of centre patient 6 (MIDDLE_NAME null on both sides)
  a.add("PATIENT.xml", {I(kB + 2), S("F2"), S("NEWER"), S("OLGA"), N(), D(1980, 4, 3), N(), S("999"), TS(2026, 11, 1)});
  a.add("VISIT.xml", {I(kB + 10), I(kB + 1), I(1), D(2026, 11, 20), I(9), I(1), TS(2026, 11, 20)});
  a.add("DISEASES.xml", {I(kB + 20), I(kB + 10), I(kB + 1), TS(2026, 11, 20), S("J06"), I(1)});
  a.add("AG_HOSP.xml", {I(kB + 40), I(kB + 2), D(2026, 3, 1), S("I10"), TS(2026, 11, 1)});
  a.write(zip("b.zip"));
  EXPECT_EQ(merge({zip("b.zip")}), success(zip("b.zip")));
  EXPECT_EQ(count("PATIENT"), 2);
  EXPECT_EQ(count("VISITS"), 2);
  EXPECT_EQ(count("DISEASES"), 1);
  EXPECT_EQ(count("AG_HOSP"), 1);
}

// Rows with centre ids are updated when the branch copy is not older.
TEST_F(FilialMergeTest, ExistingRowsFollowTheirDates) {
  seedCentre();
  mergetest::BranchArchive a;
  // same DATE_INPUT: updated, KOD_PATIENT kept
  a.add("PATIENT.xml", {I(5), S("BRANCHKOD"), S("NEW"), S("ANNA"), S("P"), D(1970, 2, 1), S("AB"), S("123"),
                        TS(2026, 6, 1, 10)});
  // older than the centre: kept
  a.add("PATIENT.xml", {I(6), S("K6"), S("OLDER"), S("OLGA"), N(), D(1980, 4, 3), N(), N(), TS(2026, 6, 1)});
  // a patient the centre does not hold: nothing
  a.add("PATIENT.xml", {I(7), S("K7"), S("NOBODY"), S("X"), N(), D(1980, 4, 3), N(), N(), TS(2026, 6, 1)});
  a.add("CONST_PARAMS.xml", {I(5), S("B-"), TS(2026, 11, 1)});   // new for a known patient
  a.add("CONST_PARAMS.xml", {I(7), S("0"), TS(2026, 11, 1)});    // unknown patient
  // changed later at the branch: updated; changed earlier: kept
  a.add("VISIT.xml", {I(50), I(5), I(1), D(2026, 11, 1), I(8), I(2), TS(2026, 11, 2)});
  a.add("VISIT.xml", {I(51), I(5), I(2), D(2026, 11, 2), I(8), I(2), TS(2026, 11, 4)});
  a.add("VISIT_RKV.xml", {I(50), I(5), S("rkv"), TS(2026, 11, 2)});
  a.add("DISEASES.xml", {I(70), I(50), I(5), TS(2026, 11, 1, 9), S("I11"), I(1)});
  // registers: updated without a date comparison, except the DD cards
  a.add("AG_HOSP.xml", {I(80), I(5), D(2026, 10, 2), S("I12"), TS(2025, 1, 1)});
  a.add("DD.xml", {I(90), I(5), I(51), TS(2026, 12, 1)});
  a.write(zip("b.zip"));
  EXPECT_EQ(merge({zip("b.zip")}), success(zip("b.zip")));
  EXPECT_EQ(row("select KOD_PATIENT, LAST_NAME from PATIENT where IDP = 5"), (std::vector<std::string>{"K5", "NEW"}));
  EXPECT_EQ(one("select LAST_NAME from PATIENT where IDP = 6"), "NEWER");
  EXPECT_EQ(count("PATIENT"), 2);
  EXPECT_EQ(column("select IDP || BLOOD_GROUP from PATIENT_CONST_PARAMS"), (std::vector<std::string>{"5B-"}));
  EXPECT_EQ(column("select IDV || '/' || DOCTOR from VISITS order by IDV"),
            (std::vector<std::string>{"50/8", "51/7"}));
  EXPECT_EQ(count("VISITS_RKV"), 0);  // an extension is only updated where the centre has one
  EXPECT_EQ(row("select MKB_KOD, CASE_KOD from DISEASES where IDD = 70"), (std::vector<std::string>{"I11", "1"}));
  EXPECT_EQ(row("select DATE_HOSP, MKB_KOD from AG_HOSP where ID = 80"),
            (std::vector<std::string>{"02.10.2026", "I12"}));
  EXPECT_EQ(one("select IDV from PAT_KARTA_DD where ID = 90"), "50");
}

// New visits, diagnoses and register rows of patients the centre holds.
TEST_F(FilialMergeTest, NewRowsOfKnownPatients) {
  seedCentre();
  mergetest::BranchArchive a;
  a.add("VISIT.xml", {I(kB + 100), I(5), I(3), D(2026, 11, 25), I(7), I(1), TS(2026, 11, 25)});
  a.add("VISIT_MI.xml", {I(kB + 100), I(5), S("mi"), TS(2026, 11, 25)});
  a.add("DISEASES.xml", {I(kB + 101), I(kB + 100), I(5), TS(2026, 11, 25), S("K29"), I(1)});
  // the centre has this visit already (patient, date, doctor): neither it nor its rows come
  a.add("VISIT.xml", {I(kB + 102), I(5), I(4), D(2026, 11, 1), I(7), I(1), TS(2026, 11, 25)});
  a.add("VISIT_MI.xml", {I(kB + 102), I(5), S("dup"), TS(2026, 11, 25)});
  a.add("DISEASES.xml", {I(kB + 103), I(kB + 102), I(5), TS(2026, 11, 25), S("K30"), I(1)});
  // new diagnoses of the centre visit 50: one new code, one the centre has
  a.add("DISEASES.xml", {I(kB + 104), I(50), I(kB + 99), TS(2026, 11, 25), S("E11"), I(0)});
  a.add("DISEASES.xml", {I(kB + 105), I(50), I(5), TS(2026, 11, 25), S("I10"), I(0)});
  // register rows: a new one, and one whose unique key the centre holds
  a.add("AG_HOSP.xml", {I(kB + 200), I(5), D(2026, 11, 3), S("I10"), TS(2026, 11, 3)});
  a.add("AG_HOSP.xml", {I(kB + 201), I(5), D(2026, 10, 1), S("I11"), TS(2026, 11, 3)});
  a.add("AG_HOSP.xml", {I(kB + 202), I(kB + 77), D(2026, 10, 1), S("I11"), TS(2026, 11, 3)});  // unknown patient
  a.write(zip("b.zip"));
  EXPECT_EQ(merge({zip("b.zip")}), success(zip("b.zip")));
  EXPECT_EQ(column("select IDV || '/' || PATIENT_ID || '/' || HANDLE_ID from VISITS order by IDV"),
            (std::vector<std::string>{"50/5/1", "51/5/2", "202/5/3"}));
  EXPECT_EQ(column("select IDV || MI_DATA from VISITS_MI"), (std::vector<std::string>{"202mi"}));
  EXPECT_EQ(column("select IDD || '/' || VISIT_ID || '/' || PATIENT_ID || '/' || MKB_KOD from DISEASES order by IDD"),
            (std::vector<std::string>{"70/50/5/I10", "302/202/5/K29", "303/50/5/E11"}));
  // Pass 6 counts on from the base as pass 1 left it, incrementing first.
  EXPECT_EQ(column("select ID || '/' || MKB_KOD from AG_HOSP order by ID"),
            (std::vector<std::string>{"80/I11", "502/I10"}));
}

// The visits of a new patient outside the handle range are dropped with their rows.
TEST_F(FilialMergeTest, VisitsOutsideTheHandleRangeAreDropped) {
  mergetest::BranchArchive a;
  a.add("PATIENT.xml", {I(kB + 1), S("F1"), S("A"), S("B"), N(), D(1980, 1, 1), N(), N(), TS(2026, 11, 1)});
  a.add("VISIT.xml", {I(kB + 10), I(kB + 1), N(), D(2026, 11, 20), I(9), I(1), TS(2026, 11, 20)});  // no handle
  a.add("VISIT.xml", {I(kB + 11), I(kB + 1), I(5), D(1999, 5, 1), I(9), I(1), TS(2026, 11, 20)});  // inside
  a.add("DISEASES.xml", {I(kB + 20), I(kB + 10), I(kB + 1), TS(2026, 11, 20), S("J06"), I(1)});
  a.write(zip("b.zip"));
  EXPECT_EQ(merge({zip("b.zip")}), success(zip("b.zip")));
  EXPECT_EQ(row("select IDV, DATE_VISIT from VISITS"), (std::vector<std::string>{"202", "01.05.1999"}));
  EXPECT_EQ(count("DISEASES"), 0);
}

TEST_F(FilialMergeTest, CentreRowsOnTheBoundDayAreNotRead) {
  seedCentre();
  exec("insert into VISITS (IDV, PATIENT_ID, HANDLE_ID, DATE_VISIT, DOCTOR) values (52, 5, 3, '10.12.2025', 7)");
  exec("insert into VISITS (IDV, PATIENT_ID, HANDLE_ID, DATE_VISIT, DOCTOR) values (53, 5, 3, '11.12.2025', 7)");
  mergetest::BranchArchive a;
  a.add("VISIT.xml", {I(kB + 1), I(5), I(4), D(2025, 12, 10), I(7), I(1), TS(2026, 11, 25)});
  a.add("VISIT.xml", {I(kB + 2), I(5), I(4), D(2025, 12, 11), I(7), I(1), TS(2026, 11, 25)});
  a.write(zip("b.zip"));
  EXPECT_EQ(merge({zip("b.zip")}), success(zip("b.zip")));
  EXPECT_EQ(column("select IDV from VISITS where DATE_VISIT < '12.12.2025' order by IDV"),
            (std::vector<std::string>{"52", "53", "202"}));
}

// ---- id blocks

TEST_F(FilialMergeTest, IdBlockWithoutARowEndsTheCall) {
  exec("ALTER PROCEDURE DD_GEN_ID RETURNS (F_ID INTEGER) AS BEGIN IF (1 = 0) THEN SUSPEND; END");
  mergetest::BranchArchive a;
  a.add("PATIENT.xml", {I(kB + 1), S("F1"), S("A"), S("B"), N(), D(1980, 1, 1), N(), N(), TS(2026, 11, 1)});
  a.write(zip("a.zip"));
  a.write(zip("b.zip"));
  EXPECT_EQ(merge({zip("a.zip"), zip("b.zip")}),
            C("@ФИЛИАЛ->ЦЕНТР: файл \"") + zip("a.zip") + C("\" - не удалось получить ID карт ДД@;"));
  EXPECT_EQ(count("PATIENT"), 0);
  EXPECT_TRUE(exists(zip("a.zip")));
  EXPECT_TRUE(exists(zip("b.zip")));
  EXPECT_FALSE(dm.SQLConnection.InTransaction());
  for (const std::string& f : tasks::FilialPacketFiles()) EXPECT_FALSE(exists(file(f))) << f;
  // Without the marker.
  EXPECT_EQ(merge({zip("a.zip")}, false),
            C("ФИЛИАЛ->ЦЕНТР: файл \"") + zip("a.zip") + C("\" - не удалось получить ID карт ДД;"));
}

TEST_F(FilialMergeTest, IdsUpToTheBoundaryAreMadeAtTheCentre) {
  exec("set generator GEN_IDP to 1499999979");  // the procedure answers 1499999980
  mergetest::BranchArchive a;
  for (int i = 1; i <= 20; ++i)
    a.add("PATIENT.xml", {I(kB + i), N(), S("P"), Value(std::to_string(i)), N(), D(1980, 1, i), N(), N(),
                          TS(2026, 11, 1)});
  a.write(zip("b.zip"));
  EXPECT_EQ(merge({zip("b.zip")}), success(zip("b.zip")));
  EXPECT_EQ(one("select max(IDP) from PATIENT"), "1500000000");
  EXPECT_EQ(count("PATIENT"), 20);
  EXPECT_EQ(one("select count(*) from PATIENT where IDP > 1500000000"), "0");  // still a centre database
  EXPECT_EQ(gen("GEN_IDP"), "1500000000");
}

TEST_F(FilialMergeTest, ABlockReachingIntoBranchIdsIsRefused) {
  exec("set generator GEN_IDP to 1499999990");
  mergetest::BranchArchive a;
  for (int i = 1; i <= 20; ++i)
    a.add("PATIENT.xml", {I(kB + i), N(), S("P"), Value(std::to_string(i)), N(), D(1980, 1, i), N(), N(),
                          TS(2026, 11, 1)});
  a.write(zip("b.zip"));
  EXPECT_EQ(merge({zip("b.zip")}),
            C("@ФИЛИАЛ->ЦЕНТР: файл \"") + zip("b.zip") + C("\" - не удалось получить ID пациентов@;"));
  EXPECT_EQ(count("PATIENT"), 0);
  EXPECT_TRUE(exists(zip("b.zip")));
  EXPECT_EQ(one("select count(*) from PATIENT where IDP > 1500000000"), "0");
}

// ---- apply failures

TEST_F(FilialMergeTest, VisitApplyFailureRollsTheArchiveBack) {
  exec("ALTER TABLE VISITS ADD CONSTRAINT VISITS_NO_MINUS CHECK (DOCTOR <> -1)");
  mergetest::BranchArchive a;
  a.add("PATIENT.xml", {I(kB + 1), S("F1"), S("A"), S("B"), N(), D(1980, 1, 1), N(), N(), TS(2026, 11, 1)});
  a.add("VISIT.xml", {I(kB + 10), I(kB + 1), I(1), D(2026, 11, 20), I(-1), I(1), TS(2026, 11, 20)});
  a.add("DISEASES.xml", {I(kB + 20), I(kB + 10), I(kB + 1), TS(2026, 11, 20), S("J06"), I(1)});
  a.write(zip("a.zip"));
  mergetest::BranchArchive ok;
  ok.write(zip("b.zip"));
  const std::string folder = tasks::FilialFolderOf(zip("a.zip"));
  EXPECT_EQ(merge({zip("a.zip"), zip("b.zip")}),
            C("@Таблица ПОСЕЩЕНИЙ: ошибка при сохранении данных. Филиал - ") + folder + "@;");
  // The patient and the diagnosis were applied before the visit failed: all rolled back.
  EXPECT_EQ(count("PATIENT"), 0);
  EXPECT_EQ(count("DISEASES"), 0);
  EXPECT_EQ(count("VISITS"), 0);
  EXPECT_TRUE(exists(zip("a.zip")));
  EXPECT_TRUE(exists(zip("b.zip")));  // the archives after it are not touched
  EXPECT_FALSE(dm.SQLConnection.InTransaction());
  EXPECT_TRUE(ui.protocol.empty());  // only the patient table reports conflicts directly
}

TEST_F(FilialMergeTest, PatientApplyFailureGoesToTheRunProtocol) {
  exec("ALTER TABLE PATIENT ADD CONSTRAINT PATIENT_NO_FAIL CHECK (LAST_NAME <> 'FAIL')");
  mergetest::BranchArchive a;
  a.add("PATIENT.xml", {I(kB + 1), S("F1"), S("FAIL"), S("B"), N(), D(1980, 1, 1), N(), N(), TS(2026, 11, 1)});
  a.write(zip("a.zip"));
  const std::string folder = tasks::FilialFolderOf(zip("a.zip"));
  // Framed like every other item: the shell shows it as one line.
  EXPECT_EQ(merge({zip("a.zip")}), C("@Таблица ПАЦИЕНТОВ: ошибка при сохранении данных. Филиал - ") + folder + "@;");
  ASSERT_EQ(ui.protocol.size(), 1u);
  const std::string& line = ui.protocol[0];
  EXPECT_EQ(line.rfind("cdsPatient, OnReconcileError: ", 0), 0u) << line;
  EXPECT_NE(line.find(", EReconcileError, "), std::string::npos) << line;
  EXPECT_NE(line.find("PATIENT_NO_FAIL"), std::string::npos) << line;
  EXPECT_EQ(line.substr(line.size() - 3), ", 1") << line;  // an insert
  EXPECT_EQ(count("PATIENT"), 0);
  EXPECT_TRUE(exists(zip("a.zip")));
}

// ---- the result text over several archives, renaming, odd archives

TEST_F(FilialMergeTest, TwoArchivesLeaveTheSecondSuccess) {
  mergetest::BranchArchive a;
  a.add("PATIENT.xml", {I(kB + 1), S("F1"), S("A"), S("B"), N(), D(1980, 1, 1), N(), N(), TS(2026, 11, 1)});
  a.write(zip("a.zip"));
  mergetest::BranchArchive b;
  b.add("PATIENT.xml", {I(kB + 1), S("F1"), S("C"), S("D"), N(), D(1980, 1, 1), N(), N(), TS(2026, 11, 1)});
  b.write(zip("b.zip"));
  EXPECT_EQ(merge({zip("a.zip"), zip("b.zip")}), success(zip("b.zip")));
  EXPECT_EQ(column("select IDP || LAST_NAME from PATIENT order by IDP"), (std::vector<std::string>{"102A", "104C"}));
  EXPECT_TRUE(exists(file("A.LOAD")));
  EXPECT_TRUE(exists(file("B.LOAD")));
}

TEST_F(FilialMergeTest, RunNowSuccessIsTheEmptyText) {
  mergetest::BranchArchive a;
  a.write(zip("a.zip"));
  a.write(zip("b.zip"));
  EXPECT_EQ(merge({zip("a.zip"), zip("b.zip")}, false), "");
  EXPECT_TRUE(exists(file("A.LOAD")));
  EXPECT_TRUE(exists(file("B.LOAD")));
  EXPECT_EQ(merge({}, true), "");
}

// An archive that does not give its 23 packets is not merged and keeps its name (the
// next run tries it again); its item names it and the count; the archives after it follow.
TEST_F(FilialMergeTest, ArchivesWithAnotherPacketCountKeepTheirNames) {
  mergetest::BranchArchive a;
  a.add("PATIENT.xml", {I(kB + 1), S("F1"), S("A"), S("B"), N(), D(1980, 1, 1), N(), N(), TS(2026, 11, 1)});
  a.write(zip("short.zip"), {"MO.xml"});
  a.write(zip("long.zip"), {}, {{"EXTRA.xml", "<x/>"}});
  testsupport::WriteFile(zip("none.zip"), mergetest::ZipStored({{"readme.txt", "x"}}));
  mergetest::BranchArchive good;
  good.add("PATIENT.xml", {I(kB + 1), S("F1"), S("GOOD"), S("B"), N(), D(1980, 1, 1), N(), N(), TS(2026, 11, 1)});
  good.write(zip("good.zip"));
  auto item = [&](const std::string& name, int count, const char* marker) {
    return marker + C("ФИЛИАЛ->ЦЕНТР: файл \"") + zip(name) + C("\" - извлечено файлов ") + std::to_string(count) +
           C(" из 23") + marker + ";";
  };
  const std::vector<std::string> all = {zip("short.zip"), zip("long.zip"), zip("none.zip"), zip("good.zip")};
  EXPECT_EQ(merge(all),
            item("short.zip", 22, "@") + item("long.zip", 24, "@") + item("none.zip", 0, "@") + success(zip("good.zip")));
  EXPECT_EQ(column("select LAST_NAME from PATIENT"), std::vector<std::string>{"GOOD"});
  for (const char* name : {"short.zip", "long.zip", "none.zip"}) {
    EXPECT_TRUE(exists(zip(name))) << name;
    EXPECT_FALSE(exists(loaded(name))) << name;
  }
  EXPECT_TRUE(exists(file("GOOD.LOAD")));
  for (const std::string& f : tasks::FilialPacketFiles()) EXPECT_FALSE(exists(file(f))) << f;
  EXPECT_TRUE(exists(file("EXTRA.xml")));  // not a packet: left where the archive put it
  // Run now: the same items without markers, so the operator is not told of a success.
  EXPECT_EQ(merge({zip("short.zip")}, false), item("short.zip", 22, ""));
}

// A branch archive damaged in transit: one stored packet fails its CRC, 22 are written.
TEST_F(FilialMergeTest, ADamagedArchiveKeepsItsNameAndMergesNothing) {
  mergetest::BranchArchive a;
  a.add("PATIENT.xml", {I(kB + 1), S("F1"), S("DAMAGED"), S("B"), N(), D(1980, 1, 1), N(), N(), TS(2026, 11, 1)});
  std::vector<std::pair<std::string, std::string>> entries;
  for (const std::string& f : tasks::FilialPacketFiles()) entries.emplace_back(f, a.packet(f));
  std::string bytes = mergetest::ZipStored(entries);
  const std::string visits = a.packet("VISIT.xml");
  const size_t at = bytes.find(visits);
  ASSERT_NE(at, std::string::npos);
  bytes[at + visits.size() / 2] ^= 0x01;  // the stored data no longer matches its CRC
  testsupport::WriteFile(zip("a.zip"), bytes);
  EXPECT_EQ(merge({zip("a.zip")}), C("@ФИЛИАЛ->ЦЕНТР: файл \"") + zip("a.zip") + C("\" - извлечено файлов 22 из 23@;"));
  EXPECT_EQ(count("PATIENT"), 0);
  EXPECT_TRUE(exists(zip("a.zip")));
  EXPECT_FALSE(exists(loaded("a.zip")));
  for (const std::string& f : tasks::FilialPacketFiles()) EXPECT_FALSE(exists(file(f))) << f;
  EXPECT_FALSE(dm.SQLConnection.InTransaction());
}

// Packets named in upper case (or any case) are found, merged and deleted.
TEST_F(FilialMergeTest, PacketNamesInAnyCaseAreMergedAndDeleted) {
  mergetest::BranchArchive a;
  a.add("PATIENT.xml", {I(kB + 1), S("F1"), S("UPPER"), S("B"), N(), D(1980, 1, 1), N(), N(), TS(2026, 11, 1)});
  a.add("CONST_PARAMS.xml", {I(kB + 1), S("A+"), TS(2026, 11, 1)});
  std::vector<std::pair<std::string, std::string>> entries;
  int k = 0;
  for (const std::string& f : tasks::FilialPacketFiles()) {
    std::string name = platform::UpperCase(f);
    if (++k % 5 == 0) name = f.substr(0, 1) + platform::LowerCase(f.substr(1));  // "Patient.xml" and the like
    entries.emplace_back(name, a.packet(f));
  }
  testsupport::WriteFile(zip("a.zip"), mergetest::ZipStored(entries));
  // A packet of an earlier archive under another case is deleted before this one is unpacked.
  testsupport::WriteFile(file("patient.XML"), "stale");
  EXPECT_EQ(merge({zip("a.zip")}), success(zip("a.zip")));
  EXPECT_EQ(column("select LAST_NAME from PATIENT"), std::vector<std::string>{"UPPER"});
  EXPECT_EQ(column("select BLOOD_GROUP from PATIENT_CONST_PARAMS"), std::vector<std::string>{"A+"});
  EXPECT_TRUE(exists(file("A.LOAD")));
  std::vector<std::string> left;
  for (const auto& e : std::filesystem::directory_iterator(tdb.dir()))
    if (platform::SameText(e.path().extension().string(), ".xml")) left.push_back(e.path().filename().string());
  EXPECT_TRUE(left.empty()) << left[0];
}

// A packet left in the folder by another archive is never read as this archive's own.
TEST_F(FilialMergeTest, PacketsLeftInTheFolderAreDeletedFirst) {
  mergetest::BranchArchive stale;
  stale.add("PATIENT.xml", {I(kB + 1), S("F1"), S("STALE"), S("B"), N(), D(1980, 1, 1), N(), N(), TS(2026, 11, 1)});
  testsupport::WriteFile(file("PATIENT.xml"), stale.packet("PATIENT.xml"));
  mergetest::BranchArchive a;  // 22 packets and another XML file: 23 files, PATIENT.xml missing
  a.write(zip("a.zip"), {"PATIENT.xml"}, {{"EXTRA.xml", "<x/>"}});
  const std::string result = merge({zip("a.zip")});
  EXPECT_EQ(result.rfind(C("@ФИЛИАЛ->ЦЕНТР: файл ") + zip("a.zip") + " ", 0), 0u) << result;
  EXPECT_NE(result.find("PATIENT.xml"), std::string::npos) << result;
  EXPECT_EQ(count("PATIENT"), 0);
  EXPECT_FALSE(exists(file("PATIENT.xml")));
  EXPECT_TRUE(exists(zip("a.zip")));
}

TEST_F(FilialMergeTest, RenamingFailuresAreItemsAndTheNextArchiveFollows) {
  mergetest::BranchArchive a;
  a.write(zip("a.zip"));
  testsupport::WriteFile(file("A.LOAD"), "merged before");
  const std::string missing = zip("gone.zip");
  const std::string renameItems = C("@Не удалось переименовать файл \"") + zip("a.zip") + C("\" в@;@файл \"") +
                                  loaded("a.zip") + "\"@;";
  EXPECT_EQ(merge({zip("a.zip")}), success(zip("a.zip")) + renameItems);
  EXPECT_TRUE(exists(zip("a.zip")));
  EXPECT_EQ(one("select 1 from RDB$DATABASE"), "1");
  // A listed archive that is gone: no merge, its renaming fails, the next one follows.
  a.write(zip("b.zip"));
  EXPECT_EQ(merge({missing, zip("b.zip")}), success(zip("b.zip")));
  EXPECT_EQ(merge({missing}), C("@Не удалось переименовать файл \"") + missing + C("\" в@;@файл \"") +
                                  tasks::FilialLoadedName(missing) + "\"@;");
  EXPECT_EQ(merge({missing}, false), "");
}

TEST_F(FilialMergeTest, ADamagedPacketIsAnExceptionItemAfterTheEarlierSuccess) {
  mergetest::BranchArchive a;
  a.write(zip("a.zip"));
  std::vector<std::pair<std::string, std::string>> entries;
  for (const std::string& f : tasks::FilialPacketFiles())
    entries.emplace_back(f, f == "VISIT.xml" ? std::string("<DATAPACKET><broken") : a.packet(f));
  testsupport::WriteFile(zip("b.zip"), mergetest::ZipStored(entries));
  a.write(zip("c.zip"));
  const std::string result = merge({zip("a.zip"), zip("b.zip"), zip("c.zip")});
  const std::string head = success(zip("a.zip")) + C("@ФИЛИАЛ->ЦЕНТР: файл ") + zip("b.zip") + " EDBClient - ";
  EXPECT_EQ(result.substr(0, head.size()), head) << result;
  EXPECT_NE(result.find("VISIT.xml"), std::string::npos) << result;
  EXPECT_EQ(result.substr(result.size() - 2), "@;");
  EXPECT_TRUE(exists(file("A.LOAD")));
  EXPECT_TRUE(exists(zip("b.zip")));
  EXPECT_TRUE(exists(zip("c.zip")));
  EXPECT_FALSE(dm.SQLConnection.InTransaction());
}

// An error that is none of the program's own shows its type name, as the shell shows it.
TEST_F(FilialMergeTest, AForeignExceptionShowsItsTypeName) {
  mergetest::BranchArchive a;
  a.write(zip("a.zip"));
  dm.UnZip1->OnActivate = [](arc::TUnBase&) { throw std::logic_error("handler failed"); };
  const std::string result = merge({zip("a.zip")}, false);
  EXPECT_EQ(result, C("ФИЛИАЛ->ЦЕНТР: файл ") + zip("a.zip") + " std::logic_error - handler failed;") << result;
  EXPECT_TRUE(exists(zip("a.zip")));
}

// A packet of 4,500 fields and 20,000 empty rows (about 300 KB) would make 700 MB of
// rows: the load refuses it, and the archive fails with the exception item naming it.
TEST_F(FilialMergeTest, AWidePacketIsAnExceptionItemWithoutTakingItsRowsInMemory) {
  mergetest::BranchArchive a;
  std::vector<std::pair<std::string, std::string>> entries;
  for (const std::string& f : tasks::FilialPacketFiles())
    entries.emplace_back(f, f == "VISIT.xml" ? mergetest::WidePacket(4500, 20000) : a.packet(f));
  testsupport::WriteFile(zip("wide.zip"), mergetest::ZipStored(entries));
  std::string result;
  const long growthKb = testsupport::PeakRssGrowthKb([&] { result = merge({zip("wide.zip")}); });
  RecordProperty("peak_rss_growth_kb", static_cast<int>(growthKb));
  EXPECT_LT(growthKb, 200L * 1024) << result;
  const std::string head = C("@ФИЛИАЛ->ЦЕНТР: файл ") + zip("wide.zip") + " EDBClient - ";
  EXPECT_EQ(result.substr(0, head.size()), head) << result;
  for (const char* part : {"VISIT.xml: row ", "the rows of 4500 fields take more than", "refused@;"})
    EXPECT_NE(result.find(part), std::string::npos) << part << " in " << result;
  EXPECT_TRUE(exists(zip("wide.zip")));
  EXPECT_FALSE(exists(loaded("wide.zip")));
  EXPECT_FALSE(dm.SQLConnection.InTransaction());
  EXPECT_EQ(one("select count(*) from VISITS"), "0");
}

// The packets of an archive share one memory budget against the archive's size: 23
// packets that each fit a budget of their own (400 more fields and 9,000 empty rows,
// about 29 MB of rows from 75 KB) together would take 670 MB from a 1.7 MB archive; and
// a 1 MB packet whose 1,000 modified rows each take the 1 MB memo of the original their
// change log names would take a gigabyte. Both are refused with the budget's message,
// their archive kept, the memory taken bounded.
TEST_F(FilialMergeTest, AnArchiveWhoseRowsPassItsBudgetIsAnExceptionItem) {
  mergetest::BranchArchive a;
  std::string filler;
  for (int i = 0; i < 400; ++i) filler += "<FIELD attrname=\"FILLER" + std::to_string(i) + "\" fieldtype=\"r8\"/>";
  std::string emptyRows;
  for (int i = 0; i < 9000; ++i) emptyRows += "<ROW/>";
  std::string log, modified;
  for (int i = 0; i < 1000; ++i) {
    log += std::to_string(i + 2) + " 1 8 ";
    modified += "<ROW RowState=\"8\" IDV=\"" + std::to_string(kB + i) + "\"/>";
  }
  struct Case {
    const char* zipName;
    std::function<std::string(const std::string& file)> packet;
    const char* named;
  };
  const std::vector<Case> cases = {
      {"wide.zip",
       [&](const std::string& f) { return mergetest::Enlarged(a.packet(f), filler, "<PARAMS/>", emptyRows); },
       "fields take more than the "},
      {"log.zip",
       [&](const std::string& f) {
         if (f != "VISIT.xml") return a.packet(f);
         return mergetest::Enlarged(a.packet(f), "<FIELD attrname=\"NOTE\" fieldtype=\"bin.hex\" SUBTYPE=\"Text\"/>",
                                    "<PARAMS CHANGE_LOG=\"" + log + "\"/>",
                                    "<ROW RowState=\"1\" IDV=\"1\" NOTE=\"" + std::string(size_t(1) << 20, 'n') + "\"/>" +
                                        modified);
       },
       "VISIT.xml: row "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.zipName);
    std::vector<std::pair<std::string, std::string>> entries;
    for (const std::string& f : tasks::FilialPacketFiles()) entries.emplace_back(f, c.packet(f));
    const std::string bytes = mergetest::ZipStored(entries);
    testsupport::WriteFile(zip(c.zipName), bytes);
    std::string result;
    const long growthKb = testsupport::PeakRssGrowthKb([&] { result = merge({zip(c.zipName)}); });
    RecordProperty(std::string("peak_rss_growth_kb_") + c.zipName, static_cast<int>(growthKb));
    EXPECT_LT(growthKb, 200L * 1024) << result;
    const std::string head = C("@ФИЛИАЛ->ЦЕНТР: файл ") + zip(c.zipName) + " EDBClient - ";
    EXPECT_EQ(result.substr(0, head.size()), head) << result;
    for (const std::string& part : {std::string(c.named), std::string("of memory allowed for the data packets of an archive of ") +
                                                              std::to_string(bytes.size()) + " bytes; the packet is refused@;"})
      EXPECT_NE(result.find(part), std::string::npos) << part << " in " << result;
    EXPECT_TRUE(exists(zip(c.zipName)));
    EXPECT_FALSE(exists(loaded(c.zipName)));
    EXPECT_FALSE(dm.SQLConnection.InTransaction());
    EXPECT_EQ(one("select count(*) from VISITS"), "0");
  }
}

TEST_F(FilialMergeTest, AClosedConnectionIsAnExceptionItem) {
  mergetest::BranchArchive a;
  a.write(zip("a.zip"));
  dm.SQLConnection.close();
  const std::string result = merge({zip("a.zip")}, false);
  EXPECT_EQ(result.rfind(C("ФИЛИАЛ->ЦЕНТР: файл ") + zip("a.zip") + " EDatabaseError - ", 0), 0u) << result;
  EXPECT_TRUE(exists(zip("a.zip")));
}

}  // namespace

namespace {

class FilialMergeClientData : public FilialMergeTest {};

// A centre table without a declared primary key still takes the branch's new rows.
TEST_F(FilialMergeClientData, InsertsIntoATableWithoutAPrimaryKey) {
  const std::string pk = one(
      "select trim(RDB$CONSTRAINT_NAME) from RDB$RELATION_CONSTRAINTS where RDB$RELATION_NAME = 'PAT_KARTA_DD' "
      "and RDB$CONSTRAINT_TYPE = 'PRIMARY KEY'");
  ASSERT_FALSE(pk.empty());
  exec("ALTER TABLE PAT_KARTA_DD DROP CONSTRAINT " + pk);
  mergetest::BranchArchive a;
  a.add("PATIENT.xml", {I(kB + 1), S("F1"), S("A"), S("B"), N(), D(1980, 1, 1), N(), N(), TS(2026, 11, 1)});
  a.add("DD.xml", {I(kB + 50), I(kB + 1), I(0), TS(2026, 11, 1)});
  a.add("DD.xml", {I(kB + 51), I(kB + 1), I(0), TS(2026, 11, 2)});
  a.write(zip("a.zip"));
  EXPECT_EQ(merge({zip("a.zip")}), success(zip("a.zip")));
  EXPECT_EQ(column("select ID || '/' || IDP from PAT_KARTA_DD order by ID"),
            (std::vector<std::string>{"601/102", "602/102"}));
}

// A modified branch patient whose original is not the row just before it: the packet's
// change log names the original, and only that patient is updated.
TEST_F(FilialMergeClientData, AModifiedRowIsPairedThroughTheChangeLog) {
  seedCentre();
  mergetest::BranchArchive a;
  std::string xml = a.packet("PATIENT.xml");
  const std::string rows =
      "<ROW RowState=\"1\" IDP=\"5\" KOD_PATIENT=\"K5\" LAST_NAME=\"OLD\" FIRST_NAME=\"ANNA\" MIDDLE_NAME=\"P\" "
      "BIRTHDAY=\"19700201\" POLICY_SERIA=\"AB\" POLICY_NUM=\"123\" DATE_INPUT=\"20260601T10:00:00\"/>"
      "<ROW RowState=\"1\" IDP=\"6\" KOD_PATIENT=\"K6\" LAST_NAME=\"NEWER\" FIRST_NAME=\"OLGA\" "
      "BIRTHDAY=\"19800403\" DATE_INPUT=\"20260602T00:00:00\"/>"
      "<ROW RowState=\"8\" LAST_NAME=\"CHANGED\" DATE_INPUT=\"20261101T00:00:00\"/>";
  const size_t params = xml.find("<PARAMS/>");
  ASSERT_NE(params, std::string::npos) << xml;
  xml.replace(params, 9, "<PARAMS CHANGE_LOG=\"3 1 8\"/>");
  const size_t body = xml.find("<ROWDATA>");
  ASSERT_NE(body, std::string::npos) << xml;
  xml.insert(body + 9, rows);
  a.write(zip("a.zip"), {"PATIENT.xml"}, {{"PATIENT.xml", xml}});
  EXPECT_EQ(merge({zip("a.zip")}), success(zip("a.zip")));
  EXPECT_EQ(column("select IDP || '/' || LAST_NAME || '/' || FIRST_NAME || '/' || BIRTHDAY from PATIENT order by IDP"),
            (std::vector<std::string>{"5/CHANGED/ANNA/1970-02-01", "6/NEWER/OLGA/1980-04-03"}));
}

}  // namespace

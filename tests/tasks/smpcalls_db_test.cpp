// Task 8 end to end: an ambulance package built here (packets written with the
// client-dataset writers, stored in a ZIP file), unpacked with TUnZip as the shell does it,
// imported into a fresh embedded clinic database.
#include <gtest/gtest.h>

#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "archive/arcUnZip.h"
#include "dbf_fixture.h"
#include "smpcalls_fixture.h"
#include "tasks/Task_SMPCalls.h"

namespace {

using dbftest::C;
using smptest::Call;
using smptest::D;
using smptest::MakeCall;
using smptest::T;

class SmpCallsTest : public ::testing::Test, public dbftest::DbfTaskFixture {
protected:
  std::string pkg = tdb.dir() + "pkg/";

  void SetUp() override {
    std::filesystem::create_directory(pkg);
    exec("insert into PATIENT (IDP, LAST_NAME) values (100, 'A')");
    exec("insert into PATIENT (IDP, LAST_NAME) values (200, 'B')");
    // Calls already stored: 1, 2 and 4 lie in March 2026 (the package's period, both ends
    // included), 3 and 5 outside it; 2 belongs to a patient the package does not mention.
    addStored(1, 100, "01.03.2026");
    addStored(2, 300, "15.03.2026");
    addStored(3, 100, "28.02.2026");
    addStored(4, 200, "31.03.2026");
    addStored(5, 200, "01.04.2026");
    exec("set generator GEN_SMP_CALLS_ID to 5");
  }
  void addStored(int id, int patient, const std::string& dateInput) {
    exec("insert into SMP_CALLS (ID_SMP_CALLS, PATIENT_ID, DATE_INPUT, TEL) values (" + std::to_string(id) + ", " +
         std::to_string(patient) + ", '" + dateInput + "', 'stored')");
  }
  // Unpacks the package as the shell does (four steps on a TUnZip); the number of files.
  int unpack(const std::string& zip) {
    smptest::WriteAll(pkg + "calls.zip", zip);
    arc::TUnZip unzip;
    unzip.SetArchiveFile(pkg + "calls.zip");
    unzip.SetExtractDir(pkg);
    unzip.FileSpec.clear();
    unzip.FileSpec.push_back("*.*");
    return unzip.Extract();
  }
  std::string import() {
    std::string err = "not set";
    dm.ImportSMPCalls(pkg, err);
    return err;
  }
  std::string importPackage(const std::vector<Call>& calls, double first = D(2026, 3, 1),
                            double last = D(2026, 3, 31), const smptest::Layout& layout = {}) {
    EXPECT_EQ(unpack(smptest::Package(calls, first, last, "", layout)), 4);
    return import();
  }
  std::vector<std::string> ids() const { return column("select ID_SMP_CALLS from SMP_CALLS order by 1"); }
  std::string generator() const { return one("select gen_id(GEN_SMP_CALLS_ID, 0) from RDB$DATABASE"); }
  std::vector<std::string> untouched() const { return {"1", "2", "3", "4", "5"}; }
};

TEST_F(SmpCallsTest, ReplacesTheCallsOfThePeriodByThoseOfKnownPatients) {
  Call a = MakeCall(10, 100, D(2026, 3, 2));
  a.form = std::string("FORM\0DATA", 9);
  a.texts["COMPLAINTS"] = C("Боль в груди");
  Call b = MakeCall(11, 999, D(2026, 3, 3));  // no such patient
  b.form = "lost";
  Call c = MakeCall(12, 200, D(2026, 3, 31));  // no form
  ASSERT_EQ(importPackage({a, b, c}), "");
  EXPECT_EQ(ids(), (std::vector<std::string>{"3", "5", "10", "12"}));
  EXPECT_EQ(row("select * from SMP_CALLS where ID_SMP_CALLS = 10"),
            (std::vector<std::string>{
                "10",       "100",      "02.03.2026", "10:15:00", "7",         "7",         "PATIENT_",
                "CALLING_", C("Боль в груди"), "10:20:00", "11:30:05", "7", "7",        "J06.9",
                "7",        "SMP_STAF", "HELP_LPU",   "02.03.2026", "7",        "CALL_TYP",  "CALL_STA",
                "CALL_TAR", "CALL_RES", "7",          "CALL_DIF", "CALL_TRA",  "7",         "7",
                "EFFECTS",  "TEL",      "7",          "10:40:00", "10:25:00",  "11:00:00",  "CALL_PAR",
                "CALL_PLA", "CALL_HOW", "CALL_LAT",   "CALL_WHA", std::string("FORM\0DATA", 9)}));
  EXPECT_EQ(one("select FORMA_BLOB from SMP_CALLS where ID_SMP_CALLS = 12"), "<null>");
  EXPECT_EQ(one("select TEL from SMP_CALLS where ID_SMP_CALLS = 3"), "stored");
  EXPECT_EQ(generator(), "12");
  // The hourglass shows while it works; messages are pumped before the transaction and at the end.
  EXPECT_FALSE(ui.busy);
  EXPECT_EQ(ui.busyCalls, 2);
  EXPECT_EQ(ui.processMessagesCalls, 2);
  EXPECT_TRUE(ui.protocol.empty());
  EXPECT_TRUE(ui.taskMessages.empty());
  EXPECT_FALSE(dm.SQLConnection.InTransaction());
}

TEST_F(SmpCallsTest, EmptyValuesBecomeDayZeroMidnightZeroAndEmptyText) {
  Call e;
  e.ints["ID_SMP_CALLS"] = 20;
  e.ints["PATIENT_ID"] = 100;
  e.dates["DATE_INPUT"] = D(2026, 3, 5);
  ASSERT_EQ(importPackage({e}), "");
  const std::vector<std::string> r = row(
      "select CALL_DATE, CALL_TIME, CALL_TIME_IN_SMP, AGE_VALUE, DRINKED, TEL, CALL_WHAT_TO_DO, FORMA_BLOB "
      "from SMP_CALLS where ID_SMP_CALLS = 20");
  EXPECT_EQ(r, (std::vector<std::string>{"30.12.1899", "00:00:00", "00:00:00", "0", "0", "", "", "<null>"}));
}

TEST_F(SmpCallsTest, AnEmptyTableAfterTheImportSetsTheGeneratorToZero) {
  exec("delete from SMP_CALLS where ID_SMP_CALLS in (3, 5)");
  ASSERT_EQ(importPackage({MakeCall(30, 999, D(2026, 3, 9))}), "");
  EXPECT_TRUE(ids().empty());
  EXPECT_EQ(generator(), "0");
}

TEST_F(SmpCallsTest, TheGeneratorTakesTheLargestIdOfTheTable) {
  addStored(500, 100, "01.01.2020");
  ASSERT_EQ(importPackage({MakeCall(40, 100, D(2026, 3, 9)), MakeCall(41, 200, D(2026, 3, 9))}), "");
  EXPECT_EQ(ids(), (std::vector<std::string>{"3", "5", "40", "41", "500"}));
  EXPECT_EQ(generator(), "500");
}

TEST_F(SmpCallsTest, ACallThatCannotBeInsertedIsSkippedAndNamedInTheProtocol) {
  Call duplicate = MakeCall(3, 100, D(2026, 3, 9));  // id 3 is kept outside the period
  duplicate.form = "never written";
  Call good = MakeCall(50, 200, D(2026, 3, 9));
  good.form = "F50";
  ASSERT_EQ(importPackage({duplicate, good}), "");
  EXPECT_EQ(ids(), (std::vector<std::string>{"3", "5", "50"}));
  EXPECT_EQ(one("select TEL from SMP_CALLS where ID_SMP_CALLS = 3"), "stored");
  EXPECT_EQ(one("select FORMA_BLOB from SMP_CALLS where ID_SMP_CALLS = 50"), "F50");
  ASSERT_EQ(ui.protocol.size(), 1u);
  EXPECT_EQ(ui.protocol[0].rfind(C("Вызов СМП 3 не загружен: EFbError, "), 0), 0u) << ui.protocol[0];
  EXPECT_NE(ui.protocol[0].find("PRIMARY"), std::string::npos) << ui.protocol[0];
}

TEST_F(SmpCallsTest, TheTimeLiteralsDoNotTurnIntoParameters) {
  Call c = MakeCall(60, 100, D(2026, 3, 9));
  c.times["CALL_TIME"] = T(23, 59, 59);
  c.times["CALL_GO_TIME"] = T(0, 0, 1);
  ASSERT_EQ(importPackage({c}), "");
  EXPECT_EQ(row("select CALL_TIME, CALL_GO_TIME from SMP_CALLS where ID_SMP_CALLS = 60"),
            (std::vector<std::string>{"23:59:59", "00:00:01"}));
}

// Every failure rolls the whole import back: the period keeps its old calls.
struct FailureCase {
  const char* name;
  const char* leaveOut;            // file missing from the package
  bool damageCalls;                // SMP_CALLS.bin overwritten with garbage
  std::vector<std::string> omit;   // call packet columns left out
  bool emptyBegin, reversed;
  const char* messagePart;
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class SmpCallsFailure : public SmpCallsTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(SmpCallsFailure, RollsBackAsAWholeAndReturnsTheErrorText) {
  const FailureCase& fc = GetParam();
  smptest::Layout layout;
  layout.omit = fc.omit;
  const double first = fc.reversed ? D(2026, 3, 31) : D(2026, 3, 1);
  const double last = fc.reversed ? D(2026, 3, 1) : D(2026, 3, 31);
  std::string zip = smptest::Package({MakeCall(70, 100, D(2026, 3, 9))}, first, last, fc.leaveOut, layout);
  unpack(zip);
  if (fc.emptyBegin) smptest::WriteInterval(pkg + "INTERVAL.xml", std::nullopt, last);
  if (fc.damageCalls) smptest::WriteAll(pkg + "SMP_CALLS.bin", std::string("\x96\x19\xE0\xBD\x01\x00", 6));
  const std::string err = import();
  EXPECT_EQ(err.rfind(C("Ошибка при импорте СМП-данных :EDBClient, "), 0), 0u) << err;
  EXPECT_NE(err.find(fc.messagePart), std::string::npos) << err;
  EXPECT_EQ(ids(), untouched());
  EXPECT_EQ(generator(), "5");
  EXPECT_FALSE(dm.SQLConnection.InTransaction());
  EXPECT_FALSE(ui.busy);
  EXPECT_EQ(ui.processMessagesCalls, 2);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SmpCallsFailure,
    ::testing::Values(FailureCase{"NoInterval", "INTERVAL.xml", false, {}, false, false, "INTERVAL.xml"},
                      FailureCase{"NoCalls", "SMP_CALLS.bin", false, {}, false, false, "SMP_CALLS.bin"},
                      FailureCase{"DamagedCalls", "", true, {}, false, false, "SMP_CALLS.bin"},
                      FailureCase{"ColumnMissing", "", false, {"CALL_GO_TIME"}, false, false, "CALL_GO_TIME"},
                      FailureCase{"EmptyBegin", "", false, {}, true, false, "F_DATE_BEGIN"},
                      FailureCase{"ReversedPeriod", "", false, {}, false, true, "31.03.2026"}),
    [](const ::testing::TestParamInfo<FailureCase>& i) { return std::string(i.param.name); });

TEST_F(SmpCallsTest, TheErrorTextOfAMissingCallPacketIsExact) {
  ASSERT_EQ(unpack(smptest::Package({}, D(2026, 3, 1), D(2026, 3, 31), "SMP_CALLS.bin")), 3);
  EXPECT_EQ(import(), C("Ошибка при импорте СМП-данных :EDBClient, Cannot open file \"") + pkg + "SMP_CALLS.bin\"");
}

TEST_F(SmpCallsTest, AFailureAfterSomeInsertsUndoesThemToo) {
  smptest::Layout layout;
  layout.patientIdText = true;
  Call ok = MakeCall(80, 100, D(2026, 3, 9));
  ok.texts["PATIENT_ID"] = "100";
  ok.form = "F80";
  Call bad = MakeCall(81, 100, D(2026, 3, 9));
  bad.texts["PATIENT_ID"] = "10O";
  const std::string err = importPackage({ok, bad}, D(2026, 3, 1), D(2026, 3, 31), layout);
  EXPECT_EQ(err.rfind(C("Ошибка при импорте СМП-данных :EDBClient, "), 0), 0u) << err;
  EXPECT_NE(err.find("row 2, field PATIENT_ID"), std::string::npos) << err;
  EXPECT_EQ(ids(), untouched());
  EXPECT_EQ(generator(), "5");
  EXPECT_TRUE(ui.protocol.empty());
}

TEST_F(SmpCallsTest, AClosedConnectionGivesTheErrorTextAndNoException) {
  dm.SQLConnection.close();
  ASSERT_EQ(unpack(smptest::Package({MakeCall(90, 100, D(2026, 3, 9))}, D(2026, 3, 1), D(2026, 3, 31))), 4);
  const std::string err = import();
  EXPECT_EQ(err.rfind(C("Ошибка при импорте СМП-данных :"), 0), 0u) << err;
  EXPECT_GT(err.size(), C("Ошибка при импорте СМП-данных :").size());
  EXPECT_EQ(ids(), untouched());
  EXPECT_FALSE(ui.busy);
}

TEST_F(SmpCallsTest, AnOpenTransactionOfSomeoneElseIsLeftAlone) {
  fbdb::TTransactionDesc other;
  other.TransactionID = 500;
  dm.SQLConnection.StartTransaction(other);
  ASSERT_EQ(unpack(smptest::Package({MakeCall(91, 100, D(2026, 3, 9))}, D(2026, 3, 1), D(2026, 3, 31))), 4);
  const std::string err = import();
  EXPECT_EQ(err.rfind(C("Ошибка при импорте СМП-данных :EDatabaseError, "), 0), 0u) << err;
  EXPECT_TRUE(dm.SQLConnection.InTransaction());
  dm.SQLConnection.Rollback(other);
  EXPECT_EQ(ids(), untouched());
}

}  // namespace

namespace {

TEST_F(SmpCallsTest, APacketWithoutFormDataLeavesFormaBlobEmpty) {
  smptest::Layout layout;
  layout.withForm = false;
  ASSERT_EQ(importPackage({MakeCall(95, 100, D(2026, 3, 9))}, D(2026, 3, 1), D(2026, 3, 31), layout), "");
  EXPECT_EQ(ids(), (std::vector<std::string>{"3", "5", "95"}));
  EXPECT_EQ(one("select FORMA_BLOB from SMP_CALLS where ID_SMP_CALLS = 95"), "<null>");
}

}  // namespace

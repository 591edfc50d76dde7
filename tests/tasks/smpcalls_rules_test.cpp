// Task 8: the statement texts and literals of the ambulance-call import.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "db/fbdb.h"
#include "platform/codepage.h"
#include "platform/dates.h"
#include "platform/exception.h"
#include "tasks/Task_SMPCalls.h"

namespace {

namespace smp = tasks::smp;

std::string Join(const std::vector<std::string>& lines) {
  std::string s;
  for (const std::string& l : lines) s += l + "\r\n";
  return s;
}

TEST(SmpStatements, TheInsertHasSixteenLinesWithTheLiteralsSpliced) {
  smp::CallLiterals l{"'09.12.2026'", "'10:15:00'", "'10:20:00'", "'11:30:05'",
                      "'09.12.2026'", "'10:40:00'", "'10:25:00'", "'11:00:00'"};
  const std::vector<std::string> lines = smp::InsertStatementLines(l);
  ASSERT_EQ(lines.size(), 16u);
  const std::string b23(23, ' ');
  EXPECT_EQ(lines[0], "insert into SMP_CALLS (ID_SMP_CALLS, PATIENT_ID, CALL_DATE, CALL_TIME, AGE_VALUE, AGE_EI, ");
  EXPECT_EQ(lines[1], b23 + "PATIENT_ADDRESS, CALLING_INFO, COMPLAINTS, CALL_TIME_BEGIN, CALL_TIME_END, "
                            "CALL_GO_TIME_OUT, ");
  EXPECT_EQ(lines[7], std::string(15, ' ') +
                          "values (:P_ID_SMP_CALLS, :P_PATIENT_ID, '09.12.2026', '10:15:00', :P_AGE_VALUE, :P_AGE_EI, ");
  EXPECT_EQ(lines[8], b23 + ":P_PATIENT_ADDRESS, :P_CALLING_INFO, :P_COMPLAINTS, '10:20:00', '11:30:05', "
                            ":P_CALL_GO_TIME_OUT,");
  EXPECT_EQ(lines[9], b23 + ":P_CALL_TOTAL_TIME, :P_MKB_KOD, :P_DOCTOR_KOD, :P_SMP_STAFF, :P_HELP_LPU_WHERE, "
                            "'09.12.2026', :P_USER_ID, :P_CALL_TYPE, ");
  EXPECT_EQ(lines[12], "'10:40:00', ");
  EXPECT_EQ(lines[13], "'10:25:00', ");
  EXPECT_EQ(lines[14], "'11:00:00', ");
  EXPECT_EQ(lines[15], b23 + ":P_CALL_PARAM, :P_CALL_PLACE, :P_CALL_HOW_TO_CAR, :P_CALL_LATER_REASON, "
                             ":P_CALL_WHAT_TO_DO)");
  // The whole text, as the statement list joins it.
  const std::string expected =
      "insert into SMP_CALLS (ID_SMP_CALLS, PATIENT_ID, CALL_DATE, CALL_TIME, AGE_VALUE, AGE_EI, "
      "\r\n                       PATIENT_ADDRESS, CALLING_INFO, COMPLAINTS, CALL_TIME_BEGIN, CALL_"
      "TIME_END, CALL_GO_TIME_OUT, \r\n                       CALL_TOTAL_TIME, MKB_KOD, DOCTOR_KOD,"
      " SMP_STAFF, HELP_LPU_WHERE, DATE_INPUT, USER_ID, CALL_TYPE, \r\n                       CALL_"
      "STAFF_SPEC, CALL_TARGET, CALL_RESULT, HOSPITAL_KOD, CALL_DIFFICULTIES, \r\n                 "
      "      CALL_TRAUMA, CALL_LENGTH, CALL_NUMBER, EFFECTS, TEL, DRINKED, \r\n                    "
      "   CALL_TIME_ARRIVAL, CALL_GO_TIME, CALL_TIME_IN_SMP, \r\n                       CALL_PARAM,"
      " CALL_PLACE, CALL_HOW_TO_CAR, CALL_LATER_REASON, CALL_WHAT_TO_DO)\r\n               values ("
      ":P_ID_SMP_CALLS, :P_PATIENT_ID, '09.12.2026', '10:15:00', :P_AGE_VALUE, :P_AGE_EI, \r\n     "
      "                  :P_PATIENT_ADDRESS, :P_CALLING_INFO, :P_COMPLAINTS, '10:20:00', '11:30:0"
      "5', :P_CALL_GO_TIME_OUT,\r\n                       :P_CALL_TOTAL_TIME, :P_MKB_KOD, :P_DOCTOR"
      "_KOD, :P_SMP_STAFF, :P_HELP_LPU_WHERE, '09.12.2026', :P_USER_ID, :P_CALL_TYPE, \r\n         "
      "              :P_CALL_STAFF_SPEC, :P_CALL_TARGET, :P_CALL_RESULT, :P_HOSPITAL_KOD, :P_CALL"
      "_DIFFICULTIES, \r\n                       :P_CALL_TRAUMA, :P_CALL_LENGTH, :P_CALL_NUMBER, :P"
      "_EFFECTS, :P_TEL, :P_DRINKED, \r\n'10:40:00', \r\n'10:25:00', \r\n'11:00:00', \r\n                "
      "       :P_CALL_PARAM, :P_CALL_PLACE, :P_CALL_HOW_TO_CAR, :P_CALL_LATER_REASON, :P_CALL_WHA"
      "T_TO_DO)\r\n";
  EXPECT_EQ(Join(lines), expected);
}

TEST(SmpStatements, ThirtyOneParametersAndNoTimeLiteralAmongThem) {
  smp::CallLiterals l{"'09.12.2026'", "'10:15:00'", "'10:20:00'", "'11:30:05'",
                      "'09.12.2026'", "'10:40:00'", "'10:25:00'", "'11:00:00'"};
  std::string positional;
  std::vector<std::string> names;
  fbdb::Query::parseParams(Join(smp::InsertStatementLines(l)), positional, names);
  EXPECT_EQ(names.size(), 31u);
  std::set<std::string> unique(names.begin(), names.end());
  EXPECT_EQ(unique.size(), 31u);
  for (const std::string& n : names) EXPECT_EQ(n.rfind("P_", 0), 0u) << n;
  EXPECT_NE(positional.find("'10:15:00'"), std::string::npos);
  // 39 columns: 31 parameters and 8 literals.
  EXPECT_EQ(smp::InsertColumns().size(), 39u);
}

struct LiteralCase {
  double value;
  const char* date;
  const char* time;
};

class SmpLiterals : public ::testing::TestWithParam<LiteralCase> {};

TEST_P(SmpLiterals, FollowTheFixedFormats) {
  EXPECT_EQ(smp::DateLiteral(GetParam().value), GetParam().date);
  EXPECT_EQ(smp::TimeLiteral(GetParam().value), GetParam().time);
}

INSTANTIATE_TEST_SUITE_P(
    Values, SmpLiterals,
    ::testing::Values(LiteralCase{0.0, "'30.12.1899'", "'00:00:00'"},
                      LiteralCase{platform::EncodeDate(2026, 12, 9), "'09.12.2026'", "'00:00:00'"},
                      LiteralCase{platform::EncodeDate(2026, 3, 1) + platform::EncodeTime(10, 15, 0, 0),
                                  "'01.03.2026'", "'10:15:00'"},
                      LiteralCase{platform::EncodeTime(23, 59, 59, 999), "'30.12.1899'", "'23:59:59'"},
                      LiteralCase{platform::EncodeDate(1, 1, 1), "'01.01.0001'", "'00:00:00'"},
                      LiteralCase{platform::EncodeDate(9999, 12, 31), "'31.12.9999'", "'00:00:00'"}));

TEST(SmpLiterals, RefuseValuesNoDateCanHold) {
  for (double bad : {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(), 1e300,
                     -1e300, platform::EncodeDate(9999, 12, 31) + 1.0, platform::EncodeDate(1, 1, 1) - 1.0}) {
    EXPECT_THROW(smp::DateLiteral(bad), platform::EConvertError) << bad;
    EXPECT_THROW(smp::TimeLiteral(bad), platform::EConvertError) << bad;
  }
}

TEST(SmpStatements, DeleteGeneratorAndTexts) {
  EXPECT_EQ(smp::DeleteStatement(platform::EncodeDate(2026, 1, 1), platform::EncodeDate(2026, 1, 31) + 0.75),
            "delete from SMP_CALLS T1 where T1.DATE_INPUT between '01.01.2026' and '31.01.2026'");
  EXPECT_EQ(smp::GeneratorStatement(0), "set generator GEN_SMP_CALLS_ID to 0");
  EXPECT_EQ(smp::GeneratorStatement(1500000123), "set generator GEN_SMP_CALLS_ID to 1500000123");
  EXPECT_STREQ(smp::kUpdateBlobStatement, "update SMP_CALLS set FORMA_BLOB = :P_BLOB where ID_SMP_CALLS = :P_ID");
  EXPECT_STREQ(smp::kMaxIdStatement, "SELECT MAX (ID_SMP_CALLS) FROM SMP_CALLS");
  EXPECT_EQ(smp::ImportErrorText("EDBClient", "m"),
            std::string("\xCE\xF8\xE8\xE1\xEA\xE0 \xEF\xF0\xE8 \xE8\xEC\xEF\xEE\xF0\xF2\xE5 "
                        "\xD1\xCC\xCF-\xE4\xE0\xED\xED\xFB\xF5 :EDBClient, m"));
  EXPECT_EQ(smp::kTransactionId, 1000u);
}

}  // namespace

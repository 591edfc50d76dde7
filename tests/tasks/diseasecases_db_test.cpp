// The disease-record correction against a real embedded clinic database.
#include <gtest/gtest.h>

#include "duplicates_fixture.h"
#include "platform/exception.h"

namespace {

using duptest::W;

class DiseaseCasesDb : public duptest::ModuleFixture {
protected:
  bool run(const std::string& from, const std::string& to, const std::string& interval, const std::string& year) {
    return tasks::FixDiseaseCases(diseaseDb(), ui_, from, to, interval, year, &result_);
  }
  std::vector<std::string> lines(int marked) {
    return {W("ПРАВКА УЧЕТА ЗАБОЛЕВАНИЙ"), " ", W("Убрано заболеваний = ") + std::to_string(marked), " "};
  }
  tasks::DiseaseCasesResult result_;
};

TEST_F(DiseaseCasesDb, FifteenDaysAreMarkedSixteenAreNot) {
  patient(1);
  visit(11, 1, "01.03.2024");
  disease(111, 11, 1, "J06", 0);
  visit(12, 1, "16.03.2024");
  disease(121, 12, 1, "J04", 0);
  patient(2);
  visit(21, 2, "01.03.2024");
  disease(211, 21, 2, "J06", 0);
  visit(22, 2, "17.03.2024");
  disease(221, 22, 2, "J05", 0);

  ASSERT_TRUE(run("J00", "J99", "3", "2024"));
  EXPECT_EQ(caseOf(111), 0);  // the earlier one stays
  EXPECT_EQ(caseOf(121), 2);  // 15 days later
  EXPECT_EQ(caseOf(211), 0);
  EXPECT_EQ(caseOf(221), 0);  // 16 days later
  EXPECT_EQ(ui_.taskMessages, lines(1));
  EXPECT_EQ(result_.marked, 1);
  EXPECT_EQ(result_.patients, 2);
  // Patient 1 is read again after its mark; the second read marks nothing.
  EXPECT_EQ(result_.passes, 3);
  EXPECT_EQ(ui_.progressMax, 2);
  EXPECT_EQ(ui_.steps, 2);
}

TEST_F(DiseaseCasesDb, ACaseOneDiagnosisMarksItsNeighboursAcrossYears) {
  patient(3);
  visit(31, 3, "10.05.2024");
  disease(311, 31, 3, "J45", 1);
  visit(32, 3, "15.01.2010");
  disease(321, 32, 3, "J44", 0);
  visit(33, 3, "20.12.2007");
  disease(331, 33, 3, "J47.1", 0);
  visit(34, 3, "19.12.2007");     // before the visits the correction looks at
  disease(341, 34, 3, "J45", 0);
  visit(35, 3, "01.06.2023");
  disease(351, 35, 3, "J40", 0);  // outside J42..J48.9
  disease(352, 35, 3, "J48.9", 1);
  visit(36, 3, "02.06.2023", false);  // a visit without a result
  disease(361, 36, 3, "J46", 0);

  ASSERT_TRUE(run("J45", "J45", "3", "2024"));
  EXPECT_EQ(caseOf(311), 1);
  EXPECT_EQ(caseOf(321), 2);
  EXPECT_EQ(caseOf(331), 2);
  EXPECT_EQ(caseOf(341), 0);
  EXPECT_EQ(caseOf(351), 0);
  EXPECT_EQ(caseOf(352), 2);
  EXPECT_EQ(caseOf(361), 0);
  EXPECT_EQ(result_.marked, 3);
  EXPECT_EQ(ui_.taskMessages, lines(3));
}

TEST_F(DiseaseCasesDb, ACaseZeroDiagnosisNeverMarksACaseOne) {
  patient(4);
  visit(41, 4, "01.02.2024");
  disease(411, 41, 4, "J10", 0);
  visit(42, 4, "05.02.2024");
  disease(421, 42, 4, "J11", 1);
  // Out of the range of the run: J30 only looks, J31 (case 1) is never looked from.
  patient(5);
  visit(51, 5, "01.02.2024");
  disease(511, 51, 5, "J30", 0);
  visit(52, 5, "02.02.2024");
  disease(521, 52, 5, "J31", 1);

  ASSERT_TRUE(run("J10", "J30", "3", "2024"));
  // J10 does not take out J11; J11 (case 1) takes out J10.
  EXPECT_EQ(caseOf(411), 2);
  EXPECT_EQ(caseOf(421), 1);
  EXPECT_EQ(caseOf(511), 0);
  EXPECT_EQ(caseOf(521), 1);
  EXPECT_EQ(result_.marked, 1);
}

TEST_F(DiseaseCasesDb, AYearWithoutVisitsInTheRangeLeavesThePatientAlone) {
  patient(6);
  visit(61, 6, "01.03.2023");
  disease(611, 61, 6, "J06", 0);
  visit(62, 6, "03.03.2023");
  disease(621, 62, 6, "J07", 0);
  visit(63, 6, "01.03.2024");
  disease(631, 63, 6, "K30", 0);  // in the year, not in the range
  visit(64, 6, "02.03.2024");
  disease(641, 64, 6, "J06", 0);
  // In the year and the range, but the visit has no result.
  exec("update VISITS set RESULT = null where IDV = 64");

  ASSERT_TRUE(run("J00", "J99", "3", "2024"));
  EXPECT_EQ(caseOf(611), 0);
  EXPECT_EQ(caseOf(621), 0);
  EXPECT_EQ(caseOf(631), 0);
  EXPECT_EQ(caseOf(641), 0);
  EXPECT_EQ(result_.marked, 0);
  EXPECT_EQ(result_.passes, 1);
  EXPECT_EQ(ui_.taskMessages, lines(0));
}

TEST_F(DiseaseCasesDb, AChainOfThreeEnds) {
  patient(7);
  visit(71, 7, "01.01.2024");
  disease(711, 71, 7, "J20", 0);
  visit(72, 7, "20.01.2024");
  disease(721, 72, 7, "J23", 0);   // 19 days after J20
  visit(73, 7, "25.01.2024");
  disease(731, 73, 7, "J26", 0);   // 5 days after J23, outside J20's neighbourhood
  disease(732, 73, 7, "J25", 0);   // the same visit as J26
  ASSERT_TRUE(run("J00", "J99", "3", "2024"));
  EXPECT_EQ(caseOf(711), 0);
  EXPECT_EQ(caseOf(721), 0);
  EXPECT_EQ(caseOf(731), 2);
  EXPECT_EQ(caseOf(732), 2);
  EXPECT_EQ(result_.marked, 2);
  // Pass 1 marks from J23; pass 2 marks nothing.
  EXPECT_EQ(result_.passes, 2);

  // A second run over the corrected data finds nothing more to do.
  ui_.taskMessages.clear();
  ASSERT_TRUE(run("J00", "J99", "3", "2024"));
  EXPECT_EQ(result_.marked, 0);
  EXPECT_EQ(result_.passes, 1);
}

TEST_F(DiseaseCasesDb, EqualDatesAreDecidedByDiagnosisOrder) {
  patient(8);
  visit(81, 8, "10.10.2024");
  disease(813, 81, 8, "J12", 0);
  disease(811, 81, 8, "J11", 0);
  visit(82, 8, "10.10.2024");
  disease(812, 82, 8, "J13", 0);
  ASSERT_TRUE(run("J00", "J99", "3", "2024"));
  // The smallest id comes first and takes out the others.
  EXPECT_EQ(caseOf(811), 0);
  EXPECT_EQ(caseOf(812), 2);
  EXPECT_EQ(caseOf(813), 2);
}

TEST_F(DiseaseCasesDb, TypedBoundsIntervalAndYearAreTrimmed) {
  patient(9);
  visit(91, 9, "01.04.2024");
  disease(911, 91, 9, "J00", 0);
  visit(92, 9, "05.04.2024");
  disease(921, 92, 9, "J01", 0);
  visit(93, 9, "06.04.2024");
  disease(931, 93, 9, "J09.5", 0);
  // Untrimmed, "J00.  " would leave out J00 itself, and "J09.  " would leave out J09.5.
  ASSERT_TRUE(run("J00.  ", "J09.  ", " 3 ", " 2024 "));
  EXPECT_EQ(caseOf(911), 0);
  EXPECT_EQ(caseOf(921), 2);
  EXPECT_EQ(caseOf(931), 0);  // J09.5 > J09: out of the range, and 9 is not within 3 of 0
  EXPECT_EQ(result_.marked, 1);
}

TEST_F(DiseaseCasesDb, TheFinalUpdateMarksEveryCodeAfterZ) {
  patient(10);
  visit(101, 10, "01.01.2015");
  disease(1001, 101, 10, "Z00", 0);
  disease(1002, 101, 10, "Z99.9", 1);
  disease(1003, 101, 10, "z01", 0);    // lower case sorts after "Z"
  disease(1004, 101, 10, "Z", 0);      // "Z" itself is not after "Z"
  disease(1005, 101, 10, "Y99", 0);
  disease(1006, 101, 10, "J06", 0);
  exec("insert into DISEASES (IDD, VISIT_ID, PATIENT_ID, MKB_KOD, CASE_KOD) values (1007, 999, 999, 'Z23', null)");
  ASSERT_TRUE(run("J00", "J99", "3", "2024"));
  EXPECT_EQ(caseOf(1001), 2);
  EXPECT_EQ(caseOf(1002), 2);
  EXPECT_EQ(caseOf(1003), 2);
  EXPECT_EQ(caseOf(1004), 0);
  EXPECT_EQ(caseOf(1005), 0);
  EXPECT_EQ(caseOf(1006), 0);
  EXPECT_EQ(caseOf(1007), 2);  // whatever the year, the visit and the case code
  EXPECT_EQ(result_.zCodes, 4);
  // Not counted as removed.
  EXPECT_EQ(result_.marked, 0);
  EXPECT_EQ(ui_.taskMessages, lines(0));
}

TEST_F(DiseaseCasesDb, ANonNumericIntervalRaisesAfterTheHeading) {
  patient(11);
  EXPECT_THROW(run("J00", "J99", "3a", "2024"), platform::EConvertError);
  EXPECT_EQ(ui_.taskMessages, (std::vector<std::string>{W("ПРАВКА УЧЕТА ЗАБОЛЕВАНИЙ"), " "}));
  EXPECT_THROW(run("J00", "J99", "", "2024"), platform::EConvertError);
}

TEST_F(DiseaseCasesDb, ADatabaseErrorPassesToTheCaller) {
  patient(12);
  visit(121, 12, "01.01.2024");
  disease(1211, 121, 12, "J06", 0);
  EXPECT_THROW(run("J00", "J99", "3", "20x4"), platform::Exception);
  dm_->SQLConnection.close();
  EXPECT_THROW(run("J00", "J99", "3", "2024"), platform::Exception);
}

}  // namespace

namespace {

// The data module's own method, as the shell calls it, after a duplicate search left
// the patient chain active.
TEST_F(DiseaseCasesDb, TheDataModuleMethodWritesToItsWindow) {
  patient(1);
  visit(11, 1, "01.03.2024");
  disease(111, 11, 1, "J06", 0);
  visit(12, 1, "10.03.2024");
  disease(121, 12, 1, "J07", 0);
  ASSERT_TRUE(dm_->SearchDuplicates(false, false, false));
  patient(2);  // added after the search: the correction reads the patients again
  visit(21, 2, "01.05.2024");
  disease(211, 21, 2, "K20", 1);
  visit(22, 2, "01.05.2020");
  disease(221, 22, 2, "K21", 0);
  ui_.taskMessages.clear();
  ASSERT_TRUE(dm_->FixDiseaseCases("J00.", "K99.", "3", "2024"));
  EXPECT_EQ(caseOf(111), 0);
  EXPECT_EQ(caseOf(121), 2);
  EXPECT_EQ(caseOf(211), 1);
  EXPECT_EQ(caseOf(221), 2);
  EXPECT_EQ(ui_.taskMessages, lines(2));
  EXPECT_EQ(ui_.progressMax, 2);
}

}  // namespace

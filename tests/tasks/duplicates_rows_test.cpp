// The duplicate search over rows in memory: headings, group lines, folding, the SNILS
// that stand for "none", and the order of the criteria.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/codepage.h"
#include "tasks/Task_Duplicates.h"

namespace {

using tasks::FindDuplicateLines;
using tasks::PatientKeyRow;

std::string W(const char* utf8) { return platform::Utf8ToCp1251(utf8); }

std::vector<std::string> W(const std::vector<const char*>& utf8) {
  std::vector<std::string> out;
  for (const char* s : utf8) out.push_back(W(s));
  return out;
}

PatientKeyRow Row(const char* idp, const char* last, const char* first, const char* middle, const char* birthday,
                  const char* seria = "", const char* num = "", const char* snils = "") {
  PatientKeyRow r;
  r.idp = idp;
  r.lastName = W(last);
  r.firstName = W(first);
  r.middleName = W(middle);
  r.birthday = birthday;
  r.policySeria = W(seria);
  r.policyNum = W(num);
  r.snils = W(snils);
  return r;
}

const std::vector<const char*> kClosing = {" ", "Конец задания поиска дубликатов", " "};

std::vector<const char*> Join(std::vector<const char*> a, const std::vector<const char*>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(DuplicateRows, NoCriterionGivesOnlyTheClosingLines) {
  std::vector<PatientKeyRow> rows = {Row("1", "A", "B", "C", "01.01.2000"), Row("2", "A", "B", "C", "01.01.2000")};
  EXPECT_EQ(FindDuplicateLines(rows, false, false, false), W(kClosing));
  EXPECT_EQ(FindDuplicateLines({}, false, false, false), W(kClosing));
}

TEST(DuplicateRows, NamesFoldLatinAndCyrillicAndKeepGroupsTogether) {
  std::vector<PatientKeyRow> rows = {
      Row("1", "Иванов", "Иван", "Иванович", "01.02.1990", "AB", "111"),
      Row("2", "Петров", "Петр", "Петрович", "03.04.1985", "CD", "222"),
      Row("3", "ИВАНОВ", "ИВАН", "ИВАНОВИЧ", "01.02.1990", "EF", "333"),
      Row("4", "Smith", "John", "", "05.06.1970"),
      Row("5", "SMITH", "john", "", "05.06.1970", "X", "9"),
      Row("6", "Smith", "John", "", "06.06.1970"),
      // Latin "M" is not Cyrillic "М".
      Row("7", "Mороз", "Анна", "", "07.07.1977"),
      Row("8", "Мороз", "Анна", "", "07.07.1977"),
  };
  std::vector<const char*> expected = {
      "ПОИСК ДУБЛИКАТОВ ПО ФИО", " ",
      // Latin names sort before Cyrillic; the heading shows the stored row's names
      // upper-cased in the ASCII range.
      "SMITH JOHN  05.06.1970", "   4     ", "   5   X  9",
      // Cyrillic case variants are one person; the shown names keep their Cyrillic case.
      "Иванов Иван Иванович 01.02.1990", "   1   AB  111", "   3   EF  333",
  };
  EXPECT_EQ(FindDuplicateLines(rows, true, false, false), W(Join(expected, kClosing)));
}

TEST(DuplicateRows, NamesOrderGroupsByBirthdayAsDate) {
  std::vector<PatientKeyRow> rows = {
      Row("10", "Ким", "Ли", "", "01.02.1990"), Row("11", "Ким", "Ли", "", "02.01.1980"),
      Row("12", "Ким", "Ли", "", "01.02.1990"), Row("13", "ким", "ли", "", "02.01.1980"),
      Row("14", "Ким", "Ли", "", "01.02.1990"),
  };
  std::vector<const char*> expected = {
      "ПОИСК ДУБЛИКАТОВ ПО ФИО", " ",
      "Ким Ли  02.01.1980", "   11     ", "   13     ",
      "Ким Ли  01.02.1990", "   10     ", "   12     ", "   14     ",
  };
  EXPECT_EQ(FindDuplicateLines(rows, true, false, false), W(Join(expected, kClosing)));
}

TEST(DuplicateRows, ABirthdayThatIsNoDateNeverPartsAGroup) {
  std::vector<PatientKeyRow> rows = {
      Row("1", "Ли", "Ян", "", "01.02.1990"), Row("2", "Ли", "Ян", "", "19900201"),
      Row("3", "Ли", "Ян", "", "01.02.1990"), Row("4", "Ли", "Ян", "", "19900201"),
  };
  std::vector<const char*> expected = {
      "ПОИСК ДУБЛИКАТОВ ПО ФИО", " ",
      "Ли Ян  01.02.1990", "   1     ", "   3     ",
      "Ли Ян  19900201", "   2     ", "   4     ",
  };
  EXPECT_EQ(FindDuplicateLines(rows, true, false, false), W(Join(expected, kClosing)));
}

TEST(DuplicateRows, AnEmptyFirstPatientStartsAGroupWithABlankHeading) {
  std::vector<PatientKeyRow> rows = {Row("5", "", "", "", "", "S", "N"), Row("6", "Б", "В", "Г", "01.01.2001")};
  std::vector<const char*> expected = {"ПОИСК ДУБЛИКАТОВ ПО ФИО", " ", "   ", "        ", "   5   S  N"};
  EXPECT_EQ(FindDuplicateLines(rows, true, false, false), W(Join(expected, kClosing)));
}

TEST(DuplicateRows, PolicyGroupsAndTheMissingPolicyHeading) {
  std::vector<PatientKeyRow> rows = {
      Row("1", "A", "B", "C", "01.01.2000"),
      Row("2", "D", "E", "F", "02.02.2000"),
      Row("3", "g", "h", "i", "03.03.2000", "AB", "123"),
      Row("4", "J", "K", "L", "", "AB", "123"),
      Row("5", "M", "N", "O", "04.04.2000", "AB", "124"),
      Row("6", "p", "q", "r", "05.05.2000", " ", ""),
      Row("7", "Сидоров", "S", "T", "06.06.2000", " ", ""),
      // Exact comparison: a series in another case is another policy.
      Row("8", "U", "V", "W", "07.07.2000", "ab", "123"),
  };
  std::vector<const char*> expected = {
      " ", "ПОИСК ДУБЛИКАТОВ ПО ПОЛИСУ", " ",
      // The first line of the group is the empty stored row.
      "Отсутствует серия и номер полиса:", "       ", "   1 A B C 01.01.2000", "   2 D E F 02.02.2000",
      "Отсутствует серия и номер полиса:", "   6 P Q R 05.05.2000", "   7 Сидоров S T 06.06.2000",
      "AB 123", "   3 G H I 03.03.2000", "   4 J K L ",
  };
  EXPECT_EQ(FindDuplicateLines(rows, false, true, false), W(Join(expected, kClosing)));
}

TEST(DuplicateRows, SnilsGroupsAndTheSnilsThatStandForNone) {
  std::vector<PatientKeyRow> rows = {
      Row("1", "Ab", "Cd", "Ef", "01.01.1990", "", "", "123-456-789 01"),
      Row("2", "Gh", "Ij", "Kl", "02.02.1990", "", "", "123-456-789 01"),
      Row("3", "Mn", "Op", "Qr", "", "", "", "123-456-789 01"),
      Row("4", "A", "A", "A", "", "", "", "XXX-XXX-XXX XX"),
      Row("5", "B", "B", "B", "", "", "", "XXX-XXX-XXX XX"),
      Row("6", "C", "C", "C", "", "", "", "ХХХ-ХХХ-ХХХ ХХ"),
      Row("7", "D", "D", "D", "", "", "", "ХХХ-ХХХ-ХХХ ХХ"),
      Row("8", "E", "E", "E", "", "", "", "ОТКАЗ"),
      Row("9", "F", "F", "F", "", "", "", "ОТКАЗ"),
      Row("10", "G", "G", "G", "", "", "", "   -   -    "),
      Row("11", "H", "H", "H", "", "", "", "   -   -    "),
      Row("12", "I", "I", "I", "", "", "", ""),
      Row("13", "J", "J", "J", "", "", "", ""),
      Row("14", "K", "K", "K", "", "", "", "999"),
      Row("15", "L", "L", "L", "", "", "", "XXX"),
      Row("16", "M", "M", "M", "", "", "", "XXX"),
      Row("17", "N", "N", "N", "", "", "", "  \t"),
      Row("18", "O", "O", "O", "", "", "", "  \t"),
  };
  std::vector<const char*> expected = {
      " ", "ПОИСК ДУБЛИКАТОВ ПО СНИЛС", " ",
      "123-456-789 01", "   1 AB CD EF 01.01.1990", "   2  Gh  Ij Kl  02.02.1990", "   3  Mn  Op Qr  ",
  };
  EXPECT_EQ(FindDuplicateLines(rows, false, false, true), W(Join(expected, kClosing)));
}

TEST(DuplicateRows, JunkSnilsForms) {
  struct Case {
    const char* snils;
    bool junk;
  };
  const Case cases[] = {
      {"", true},           {"   ", true},         {"   -   -    ", true}, {"XXX-XXX-XXX XX", true},
      {"XXX", true},        {"ХХХ-ХХХ", true},     {"ОТК", true},          {"ОТКАЗ", true},
      {" \t ", true},       {"xxx-xxx", false},    {"XX1-234", false},     {"  1-234", false},
      {"123-456-789 01", false}, {"ОТ", false},    {"ХХ", false},          {"X", false},
  };
  for (const Case& c : cases) EXPECT_EQ(tasks::IsJunkSnils(W(c.snils)), c.junk) << c.snils;
}

TEST(DuplicateRows, CriteriaRunInOrderWithProgressPerCriterion) {
  std::vector<PatientKeyRow> rows = {
      Row("1", "Орлов", "Олег", "", "01.01.1991", "S", "1", "111-111-111 11"),
      Row("2", "орлов", "олег", "", "01.01.1991", "S", "1", "111-111-111 11"),
  };
  std::vector<int> starts;
  int steps = 0;
  tasks::DuplicateProgress progress;
  progress.start = [&](int max) {
    starts.push_back(max);
    EXPECT_EQ(steps % 2, 0);
  };
  progress.step = [&] { ++steps; };
  std::vector<const char*> expected = {
      "ПОИСК ДУБЛИКАТОВ ПО ФИО", " ", "Орлов Олег  01.01.1991", "   1   S  1", "   2   S  1",
      " ", "ПОИСК ДУБЛИКАТОВ ПО ПОЛИСУ", " ", "S 1", "   1 Орлов Олег  01.01.1991", "   2 орлов олег  01.01.1991",
      " ", "ПОИСК ДУБЛИКАТОВ ПО СНИЛС", " ", "111-111-111 11", "   1 Орлов Олег  01.01.1991",
      "   2  орлов  олег   01.01.1991",
  };
  EXPECT_EQ(FindDuplicateLines(rows, true, true, true, progress), W(Join(expected, kClosing)));
  EXPECT_EQ(starts, (std::vector<int>{2, 2, 2}));
  EXPECT_EQ(steps, 6);
}

TEST(DuplicateRows, ManyRowsFormOneGroupPerKey) {
  // 3,000 patients, each name three times in shuffled insertion order.
  std::vector<PatientKeyRow> rows;
  for (int k = 0; k < 3; ++k)
    for (int i = 0; i < 1000; ++i) {
      int n = (i * 7919 + k * 13) % 1000;
      PatientKeyRow r;
      r.idp = std::to_string(k * 1000 + n);
      r.lastName = (k == 1 ? W("ф") : W("Ф")) + std::to_string(n);
      r.birthday = "01.01.2000";
      rows.push_back(r);
    }
  std::vector<std::string> lines = FindDuplicateLines(rows, true, false, false);
  ASSERT_EQ(lines.size(), 2u + 1000u * 4u + 3u);
  int headings = 0;
  for (const std::string& l : lines)
    if (l.rfind(W("Ф"), 0) == 0 || l.rfind(W("ф"), 0) == 0) ++headings;
  EXPECT_EQ(headings, 1000);
}

}  // namespace

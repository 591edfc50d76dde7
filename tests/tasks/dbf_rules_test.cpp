// The derivations of the DBF tasks, one table per rule.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "platform/codepage.h"
#include "platform/dates.h"
#include "platform/exception.h"
#include "tasks/DbfTaskSupport.h"
#include "tasks/Task_Drugs.h"
#include "tasks/Task_Privileged.h"
#include "tasks/Task_RefreshFOMS.h"

namespace {

using platform::EncodeDate;
using platform::Utf8ToCp1251;
using std::nullopt;
using std::optional;
using std::string;

string C(const char* s) { return Utf8ToCp1251(s); }

TEST(FomsRules, PolicySeries) {
  EXPECT_EQ(tasks::foms::PolicySeries(""), "000000");
  EXPECT_EQ(tasks::foms::PolicySeries("   "), "000000");
  EXPECT_EQ(tasks::foms::PolicySeries("\t"), "000000");
  EXPECT_EQ(tasks::foms::PolicySeries("ЕП"), "ЕП");
  EXPECT_EQ(tasks::foms::PolicySeries("  68"), "  68");  // leading blanks go on
}

TEST(FomsRules, PolicyNumberIsCutOnlyForOldEightCharacterNumbers) {
  struct Case {
    const char* number;
    platform::TDateTime date;
    const char* expected;
  } cases[] = {
      {"12345678", EncodeDate(2011, 4, 30), "345678"},
      {"12345678", EncodeDate(2011, 5, 1), "12345678"},
      {"12345678", EncodeDate(2020, 1, 1), "12345678"},
      {"12345678", 0, "345678"},  // no start date: before the day
      {"1234567", EncodeDate(2000, 1, 1), "1234567"},
      {"123456789", EncodeDate(2000, 1, 1), "123456789"},
      {"", 0, ""},
  };
  for (const Case& c : cases) EXPECT_EQ(tasks::foms::PolicyNumber(c.number, c.date), c.expected) << c.number;
}

TEST(FomsRules, PolicyKind) {
  const char* kinds[] = {"Старый", "Временный", "Новый ОМС", "Электронн", "В сост. УЭК"};
  for (int i = 1; i <= 5; ++i) EXPECT_EQ(tasks::foms::PolicyKind(i), optional<string>(C(kinds[i - 1]))) << i;
  for (int i : {0, 6, -1, 100}) EXPECT_EQ(tasks::foms::PolicyKind(i), nullopt) << i;
}

TEST(FomsRules, Snils) {
  EXPECT_EQ(tasks::foms::FormatSnils("123-456-789 01"), "123-456-789-01");
  EXPECT_EQ(tasks::foms::FormatSnils("123-456-78901"), "123-456-78901");  // 13 characters stay
  EXPECT_EQ(tasks::foms::FormatSnils("123-456-789 0123"), "123-456-789-01");
  EXPECT_EQ(tasks::foms::FormatSnils("12345678901234"), "12345678901-34");
  EXPECT_EQ(tasks::foms::FormatSnils(""), "");
}

TEST(FomsRules, Gender) {
  const string male = C("Мужской"), female = C("Женский");
  for (const string& pol : {C("м"), C("М"), string("m"), string("M")}) EXPECT_EQ(tasks::foms::GenderName(pol), male);
  for (const string& pol : {C("ж"), C("Ж"), string(""), string("F"), C("МЖ"), C(" М")})
    EXPECT_EQ(tasks::foms::GenderName(pol), female) << pol;
}

TEST(FomsRules, SocialStatus) {
  struct Case {
    string status;
    optional<int32_t> code;
  } cases[] = {
      {"2", 3},   {"3", 5},   {"5", 2},   {"6", 16},  {"7", 13},      {"8", 15},     {"9", 12},
      {"4", 4},   {"1", 1},   {"0", 0},   {"11", 11}, {" 7", 13},     {"A", 2},      {"B", 16},
      {"C", 11},  {"D", 16},  {"E", nullopt},         {"c", nullopt}, {C("С"), nullopt},  // Cyrillic
      {"", nullopt},          {"7 ", nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(tasks::foms::SocialStatusCode(c.status), c.code) << c.status;
}

TEST(FomsRules, Region) {
  EXPECT_EQ(tasks::foms::RegionCode("9999"), 0);
  EXPECT_EQ(tasks::foms::RegionCode("99990000000"), 0);
  EXPECT_EQ(tasks::foms::RegionCode("68401"), 68401);
  EXPECT_EQ(tasks::foms::RegionCode(" 68"), 68);
  // Too large for 32 bits, or no number: a conversion error.
  EXPECT_THROW(tasks::foms::RegionCode("68401000000"), platform::EConvertError);
  EXPECT_THROW(tasks::foms::RegionCode("68A"), platform::EConvertError);
  EXPECT_EQ(tasks::foms::RegionCode("999"), 999);  // only four nines mean "no region"
}

TEST(FomsRules, Locality) {
  const string town = C("Городская"), village = C("Сельская");
  EXPECT_EQ(tasks::foms::LocalityName(C("г. Тамбов")), town);
  EXPECT_EQ(tasks::foms::LocalityName(C("Г. Тамбов")), town);
  EXPECT_EQ(tasks::foms::LocalityName(C("Г.")), town);
  EXPECT_EQ(tasks::foms::LocalityName("G. Tambov"), village);
  EXPECT_EQ(tasks::foms::LocalityName(C("с. Красное")), village);
  EXPECT_EQ(tasks::foms::LocalityName(C("Г Тамбов")), village);
  EXPECT_EQ(tasks::foms::LocalityName(""), village);
}

TEST(PrivilegedRules, PolicyNumberAlwaysCutsEightCharacters) {
  EXPECT_EQ(tasks::privileged::PolicyNumber("12345678"), "345678");
  EXPECT_EQ(tasks::privileged::PolicyNumber("1234567"), "1234567");
  EXPECT_EQ(tasks::privileged::PolicyNumber("123456789"), "123456789");
  EXPECT_EQ(tasks::privileged::PolicyNumber(""), "");
}

TEST(PrivilegedRules, SnilsFromNpsu) {
  EXPECT_EQ(tasks::privileged::SnilsFromNpsu("123-456-789 01"), optional<string>("123-456-789-01"));
  EXPECT_EQ(tasks::privileged::SnilsFromNpsu(" 12-456-789 01"), optional<string>(" 12-456-789-01"));
  // Three digits but not the 14-character form: the text is cut all the same.
  EXPECT_EQ(tasks::privileged::SnilsFromNpsu("12345678901"), optional<string>("12345678901-"));
  EXPECT_EQ(tasks::privileged::SnilsFromNpsu(""), nullopt);
  EXPECT_EQ(tasks::privileged::SnilsFromNpsu("12 -456"), nullopt);  // a trailing blank is no integer
  EXPECT_EQ(tasks::privileged::SnilsFromNpsu("XXX-456-789 01"), nullopt);
}

TEST(PrivilegedRules, RemarkPrefersTheExclusionDate) {
  EXPECT_EQ(tasks::privileged::SnilsRemark("", ""), "");
  EXPECT_EQ(tasks::privileged::SnilsRemark("D", ""), "D");
  EXPECT_EQ(tasks::privileged::SnilsRemark("", "01.02.2020"), "01.02.2020");
  EXPECT_EQ(tasks::privileged::SnilsRemark("D", "01.02.2020"), "01.02.2020");
}

TEST(PrivilegedRules, PrivilegeCode) {
  EXPECT_EQ(tasks::privileged::PrivilegeCode("081 Инвалиды"), optional<int32_t>(81));
  EXPECT_EQ(tasks::privileged::PrivilegeCode(" 12"), optional<int32_t>(12));
  EXPECT_EQ(tasks::privileged::PrivilegeCode("12 "), nullopt);
  EXPECT_EQ(tasks::privileged::PrivilegeCode("A12"), nullopt);
  EXPECT_EQ(tasks::privileged::PrivilegeCode(""), nullopt);
}

TEST(PrivilegedRules, DocumentType) {
  const string passport = C("паспорт"), birth = C("св-во о рожд."), other = C("другой");
  EXPECT_EQ(tasks::privileged::DocumentTypeName(C("Паспорт гражданина")), passport);
  EXPECT_EQ(tasks::privileged::DocumentTypeName(C("ПАСПОРТ")), passport);
  EXPECT_EQ(tasks::privileged::DocumentTypeName(C("паспор")), other);
  EXPECT_EQ(tasks::privileged::DocumentTypeName(C("свид о рожд")), birth);
  EXPECT_EQ(tasks::privileged::DocumentTypeName(C("СВИД О РОЖД.")), other);
  EXPECT_EQ(tasks::privileged::DocumentTypeName(""), other);
  EXPECT_EQ(tasks::privileged::DocumentSeries("12345678901234"), "1234567890");
  EXPECT_EQ(tasks::privileged::DocumentNumber("654321"), optional<int32_t>(654321));
  EXPECT_EQ(tasks::privileged::DocumentNumber(" 12"), optional<int32_t>(12));
  EXPECT_EQ(tasks::privileged::DocumentNumber("12 "), nullopt);
  EXPECT_EQ(tasks::privileged::DocumentNumber(""), nullopt);
}

TEST(DrugRules, DatesAndFlag) {
  EXPECT_EQ(tasks::drugs::DateText("30.12.1899"), nullopt);
  EXPECT_EQ(tasks::drugs::DateText(""), nullopt);
  EXPECT_EQ(tasks::drugs::DateText("01.02.2027"), optional<string>("01.02.2027"));
  EXPECT_EQ(tasks::drugs::FlagBk(C("ИСТИНА")), 1);
  for (const string& k : {C("истина"), C("ЛОЖЬ"), string(""), string("True"), C("ИСТИНА ")})
    EXPECT_EQ(tasks::drugs::FlagBk(k), 0) << k;
  EXPECT_EQ(tasks::drugs::GeneratorStatement(3), "SET GENERATOR GEN_DRUGS_ID TO 3");
  EXPECT_EQ(tasks::drugs::GeneratorStatement(0), "SET GENERATOR GEN_DRUGS_ID TO 0");
}

TEST(DbfTaskSupport, PathParts) {
  EXPECT_EQ(tasks::dbftask::FolderOf("/a/b/PEOPLE.DBF"), "/a/b/");
  EXPECT_EQ(tasks::dbftask::FileNameOf("/a/b/PEOPLE.DBF"), "PEOPLE.DBF");
  EXPECT_EQ(tasks::dbftask::FolderOf("PEOPLE.DBF"), "");
  EXPECT_EQ(tasks::dbftask::FileNameOf("PEOPLE.DBF"), "PEOPLE.DBF");
  EXPECT_EQ(tasks::dbftask::FolderOf("C:\\F\\x.dbf"), "C:\\F\\");
}

}  // namespace

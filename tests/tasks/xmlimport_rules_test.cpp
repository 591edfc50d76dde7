// Derivations and recodings of the XML register import.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "platform/codepage.h"
#include "platform/dates.h"
#include "platform/exception.h"
#include "tasks/XmlImportRules.h"

namespace {

using namespace tasks::xmlreg;
using platform::Utf8ToCp1251;

struct PolicyCase {
  const char* npolis;
  std::optional<std::string> spolis;
  const char* number;
  const char* series;
};

TEST(XmlImportRules, PolicyNumberAndSeries) {
  const PolicyCase cases[] = {
      {"12345678", std::nullopt, "12345678", "000000"},   // 8 characters, SPOLIS missing
      {"12345678", std::string(""), "12345678", "000000"},  // empty SPOLIS
      {"12345678", std::string("  \t"), "12345678", "000000"},  // blank SPOLIS counts as empty
      {"12345678", std::string("AB"), "345678", "AB"},     // series given: the last 6 characters
      {"12345678", std::string("000000"), "12345678", "000000"},  // "000000" given: number whole
      {"1234567890123456", std::string("AB"), "1234567890123456", "000000"},  // 16 characters
      {"1234567", std::string("XY"), "1234567", "XY"},     // shorter than 8: series kept, number whole
      {"123456789", std::string("XY"), "123456789", "000000"},  // longer than 8
      {"", std::nullopt, "", "000000"},
  };
  for (const auto& c : cases) {
    PolicyNumber p = derivePolicy(c.npolis, c.spolis);
    EXPECT_EQ(p.number, c.number) << c.npolis;
    EXPECT_EQ(p.series, c.series) << c.npolis;
  }
}

TEST(XmlImportRules, Snils) {
  EXPECT_EQ(formatSnils("12345678901"), "123-456-789-01");
  EXPECT_EQ(formatSnils(""), "");
  // Short texts are cut by position, never read past the end.
  EXPECT_EQ(formatSnils("12345"), "123-45--");
  EXPECT_EQ(formatSnils("1234567890123"), "123-456-789-01");
}

TEST(XmlImportRules, PolicyKind) {
  EXPECT_EQ(policyKindName("1"), Utf8ToCp1251("Старый"));
  EXPECT_EQ(policyKindName("2"), Utf8ToCp1251("Временный"));
  EXPECT_EQ(policyKindName("3"), Utf8ToCp1251("Новый ОМС"));
  EXPECT_EQ(policyKindName("4"), "");
  EXPECT_EQ(policyKindName(" 1"), "");
  EXPECT_EQ(policyKindName(""), "");
}

TEST(XmlImportRules, DateText) {
  EXPECT_EQ(ymdToDmy("2020-03-07"), "07.03.2020");
  EXPECT_EQ(ymdToDmy("1999-12-31T00:00:00"), "31.12.1999");
  EXPECT_EQ(ymdToDmy(""), "..");
  EXPECT_TRUE(isValidDmy("29.02.2020"));
  EXPECT_FALSE(isValidDmy("29.02.2021"));
  EXPECT_FALSE(isValidDmy(".."));
  EXPECT_FALSE(isValidDmy("45.13.2020"));
  EXPECT_FALSE(isValidDmy("1-.03.2020"));
  EXPECT_FALSE(isValidDmy("01.01.0000"));
}

TEST(XmlImportRules, DocTypeNames) {
  const std::pair<const char*, const char*> cases[] = {
      {"14", "паспорт РФ"},         {"1", "паспорт СССР"},        {"9", "паспорт иной страны"},
      {"3", "св-во о рожд."},        {"24", "св-во о рожд.не РФ"}, {"7", "военный билет"},
      {"4", "удостовер.офицера"},    {"13", "временное удостов."}, {"12", "удостовер.беженца"},
      {"10", "св-во иммигранта"},    {"2", "другой"},              {"0", "другой"},
      {" 14", "паспорт РФ"},         {"-5", "другой"},
  };
  for (const auto& [code, name] : cases) EXPECT_EQ(GetDocTypeName(code), Utf8ToCp1251(name)) << code;
  EXPECT_THROW(GetDocTypeName("x"), platform::EConvertError);
  EXPECT_THROW(GetDocTypeName(""), platform::EConvertError);
  EXPECT_THROW(GetDocTypeName("14 "), platform::EConvertError);
}

TEST(XmlImportRules, ResultRecoding) {
  const std::pair<int, int> cases[] = {{301, 1},  {302, 11}, {303, 7},  {304, 21}, {305, 10}, {306, 15},
                                       {307, 15}, {308, 16}, {309, 16}, {310, 3},  {311, 18}, {312, 30},
                                       {313, 5},  {314, 3},  {300, 3},  {0, 3},    {-301, 3}};
  for (const auto& [in, out] : cases) EXPECT_EQ(recodeResult(in), out) << in;
}

TEST(XmlImportRules, PurposeRecoding) {
  const std::pair<int, int> cases[] = {{0, 0},   {1, 1},   {2, 5},   {3, 3},   {4, 7},   {5, 17},  {6, 9},
                                       {7, 8},   {8, 6},   {9, 10},  {10, 13}, {11, 14}, {12, 18}, {13, 15},
                                       {14, 16}, {15, 12}, {16, 2},  {17, 4},  {18, 11}, {19, 19}, {25, 25},
                                       {-1, -1}};
  for (const auto& [in, out] : cases) EXPECT_EQ(recodePurpose(in), out) << in;
}

TEST(XmlImportRules, FileNameRules) {
  EXPECT_TRUE(isRegion68("A061X068910XXXX12"));
  EXPECT_TRUE(isRegion68("A061X068912"));
  EXPECT_FALSE(isRegion68("A061X068911"));
  EXPECT_FALSE(isRegion68("A061X06891"));
  EXPECT_FALSE(isRegion68("A061"));  // short name: no crash, no region

  EXPECT_EQ(localityName("69401000000"), Utf8ToCp1251("Городская"));
  EXPECT_EQ(localityName("68000501000"), Utf8ToCp1251("Городская"));
  EXPECT_EQ(localityName("68000502000"), Utf8ToCp1251("Сельская"));
  EXPECT_EQ(localityName(""), Utf8ToCp1251("Сельская"));

  EXPECT_TRUE(hasClinicCode("A061X1234"));
  EXPECT_TRUE(hasClinicCode("a061x1234"));
  EXPECT_FALSE(hasClinicCode("A062X1234"));
  EXPECT_FALSE(hasClinicCode("A06"));

  const std::pair<const char*, int> urgent[] = {{"A051", 1}, {"A042", 1}, {"a042", 1}, {"A091", 1},
                                                {"A121x", 1}, {"A061", 0}, {"A04", 0},  {"", 0}};
  for (const auto& [name, flag] : urgent) EXPECT_EQ(urgentHelpFlag(name), flag) << name;
}

// A FILENAME whose characters 15 and 16 are `mm`.
std::string registerName(const std::string& mm) { return "A061X123410000" + mm + "TT"; }

TEST(XmlImportRules, InputDateJanuaryRule) {
  const platform::TDateTime jan = platform::EncodeDate(2027, 1, 15);
  const platform::TDateTime feb = platform::EncodeDate(2027, 2, 1);
  const platform::TDateTime dec = platform::EncodeDate(2026, 12, 31);
  ASSERT_EQ(registerName("12").substr(14, 2), "12");
  EXPECT_EQ(inputDateText(registerName("12"), jan), "25.12.2026");
  EXPECT_EQ(inputDateText(registerName("12"), feb), "25.12.2027");
  EXPECT_EQ(inputDateText(registerName("01"), jan), "25.01.2027");
  EXPECT_EQ(inputDateText(registerName("02"), jan), "25.02.2026");
  EXPECT_EQ(inputDateText(registerName("11"), dec), "25.11.2026");
  EXPECT_EQ(registerMonth(registerName("11")), 11);
  EXPECT_THROW(inputDateText(registerName("XX"), feb), platform::EConvertError);
  EXPECT_THROW(inputDateText(registerName("13"), feb), platform::EConvertError);
  EXPECT_THROW(inputDateText(registerName("00"), feb), platform::EConvertError);
  EXPECT_THROW(inputDateText(registerName(" 1"), feb), platform::EConvertError);
  EXPECT_THROW(inputDateText("A061", feb), platform::EConvertError);
}

}  // namespace

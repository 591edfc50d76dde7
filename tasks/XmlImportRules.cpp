#include "tasks/XmlImportRules.h"

#include <array>
#include <utility>

#include "platform/codepage.h"
#include "platform/exception.h"
#include "platform/strutil.h"

namespace tasks::xmlreg {

namespace {

using platform::Copy;

// Texts of this module are written as UTF-8 literals and turned into CP1251 once.
struct Texts {
  std::string kindOld = platform::Utf8ToCp1251("Старый");
  std::string kindTemp = platform::Utf8ToCp1251("Временный");
  std::string kindNew = platform::Utf8ToCp1251("Новый ОМС");
  std::string town = platform::Utf8ToCp1251("Городская");
  std::string village = platform::Utf8ToCp1251("Сельская");
  std::array<std::pair<int32_t, std::string>, 10> docTypes{{
      {14, platform::Utf8ToCp1251("паспорт РФ")},
      {1, platform::Utf8ToCp1251("паспорт СССР")},
      {9, platform::Utf8ToCp1251("паспорт иной страны")},
      {3, platform::Utf8ToCp1251("св-во о рожд.")},
      {24, platform::Utf8ToCp1251("св-во о рожд.не РФ")},
      {7, platform::Utf8ToCp1251("военный билет")},
      {4, platform::Utf8ToCp1251("удостовер.офицера")},
      {13, platform::Utf8ToCp1251("временное удостов.")},
      {12, platform::Utf8ToCp1251("удостовер.беженца")},
      {10, platform::Utf8ToCp1251("св-во иммигранта")},
  }};
  std::string docOther = platform::Utf8ToCp1251("другой");
};

const Texts& texts() {
  static const Texts t;
  return t;
}

// RSLT 301..313 -> RESULT; every other code gives 3.
constexpr std::array<int32_t, 13> kResultTable{1, 11, 7, 21, 10, 15, 15, 16, 16, 3, 18, 30, 5};
constexpr int32_t kResultFirst = 301;
constexpr int32_t kResultOther = 3;

// POS_SCEL 0..18 -> PURPOSE; every other code stays itself.
constexpr std::array<int32_t, 19> kPurposeTable{0, 1, 5, 3, 7, 17, 9, 8, 6, 10, 13, 14, 18, 15, 16, 12, 2, 4, 11};

}  // namespace

PolicyNumber derivePolicy(std::string_view npolis, const std::optional<std::string>& spolis) {
  PolicyNumber p;
  p.number = std::string(npolis);
  if (p.number.size() <= 8 && spolis && !platform::Trim(*spolis).empty())
    p.series = *spolis;
  else
    p.series = "000000";
  if (p.number.size() == 8 && p.series != "000000") p.number = Copy(p.number, 3, 6);
  return p;
}

std::string formatSnils(std::string_view snils) {
  if (snils.empty()) return {};
  return Copy(snils, 1, 3) + "-" + Copy(snils, 4, 3) + "-" + Copy(snils, 7, 3) + "-" + Copy(snils, 10, 2);
}

std::string policyKindName(std::string_view vpolis) {
  if (vpolis == "1") return texts().kindOld;
  if (vpolis == "2") return texts().kindTemp;
  if (vpolis == "3") return texts().kindNew;
  return {};
}

std::string ymdToDmy(std::string_view ymd) { return Copy(ymd, 9, 2) + "." + Copy(ymd, 6, 2) + "." + Copy(ymd, 1, 4); }

bool isValidDmy(std::string_view dmy) {
  if (dmy.size() != 10 || dmy[2] != '.' || dmy[5] != '.') return false;
  for (size_t i : {0u, 1u, 3u, 4u, 6u, 7u, 8u, 9u})
    if (dmy[i] < '0' || dmy[i] > '9') return false;
  int day = (dmy[0] - '0') * 10 + (dmy[1] - '0');
  int month = (dmy[3] - '0') * 10 + (dmy[4] - '0');
  int year = (dmy[6] - '0') * 1000 + (dmy[7] - '0') * 100 + (dmy[8] - '0') * 10 + (dmy[9] - '0');
  platform::TDateTime d;
  return year >= 1 && platform::TryEncodeDate(year, month, day, d);
}

std::string GetDocTypeName(std::string_view code) {
  const int32_t n = platform::StrToInt(code);
  for (const auto& [k, name] : texts().docTypes)
    if (k == n) return name;
  return texts().docOther;
}

int32_t recodeResult(int32_t rslt) {
  if (rslt >= kResultFirst && rslt < kResultFirst + static_cast<int32_t>(kResultTable.size()))
    return kResultTable[static_cast<size_t>(rslt - kResultFirst)];
  return kResultOther;
}

int32_t recodePurpose(int32_t posScel) {
  if (posScel >= 0 && posScel < static_cast<int32_t>(kPurposeTable.size()))
    return kPurposeTable[static_cast<size_t>(posScel)];
  return posScel;
}

bool isRegion68(std::string_view fileName) {
  const std::string mark = Copy(fileName, 10, 2);
  return mark == "10" || mark == "12";
}

std::string localityName(std::string_view okatog) {
  if (Copy(okatog, 1, 3) == "694" || Copy(okatog, 6, 3) == "501") return texts().town;
  return texts().village;
}

bool hasClinicCode(std::string_view fileName) { return platform::UpperCase(Copy(fileName, 1, 4)) == "A061"; }

int32_t urgentHelpFlag(std::string_view fileName) {
  const std::string sender = platform::UpperCase(Copy(fileName, 1, 4));
  return sender == "A051" || sender == "A042" || sender == "A091" || sender == "A121" ? 1 : 0;
}

int32_t registerMonth(std::string_view fileName) { return platform::StrToInt(Copy(fileName, 15, 2)); }

std::string inputDateText(std::string_view fileName, platform::TDateTime today) {
  const std::string mm = Copy(fileName, 15, 2);
  const int32_t month = platform::StrToInt(mm);
  const bool twoDigits = mm.size() == 2 && mm[0] >= '0' && mm[0] <= '9' && mm[1] >= '0' && mm[1] <= '9';
  if (!twoDigits || month < 1 || month > 12)
    throw platform::EConvertError("'" + mm + "' is not a valid register month (characters 15 and 16 of FILENAME \"" +
                                  std::string(fileName) + "\")");
  int year, todayMonth, day;
  platform::DecodeDate(today, year, todayMonth, day);
  if (month > 1 && todayMonth == 1) --year;
  std::string y = platform::IntToStr(year);
  while (y.size() < 4) y.insert(0, "0");
  return "25." + mm + "." + y;
}

}  // namespace tasks::xmlreg

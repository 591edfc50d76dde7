#pragma once
// Derivations and recodings of the XML register import: pure functions on CP1251 texts.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/dates.h"

namespace tasks::xmlreg {

// Policy number and series of a record.
struct PolicyNumber {
  std::string number;
  std::string series;
};
// `npolis` is the NPOLIS text; `spolis` the SPOLIS text or nullopt when the element is missing.
PolicyNumber derivePolicy(std::string_view npolis, const std::optional<std::string>& spolis);

// "12345678901" -> "123-456-789-01"; the empty text stays empty.
std::string formatSnils(std::string_view snils);

// Policy kind "1", "2", "3" -> "Старый", "Временный", "Новый ОМС"; anything else -> "".
std::string policyKindName(std::string_view vpolis);

// "yyyy-mm-dd" -> "dd.mm.yyyy" by character positions (characters 9-10, 6-7, 1-4).
std::string ymdToDmy(std::string_view ymd);
// True when a "dd.mm.yyyy" text names a real calendar date.
bool isValidDmy(std::string_view dmy);

// Identity document code -> name. A code that is not an integer raises EConvertError.
std::string GetDocTypeName(std::string_view code);

// RSLT -> RESULT, POS_SCEL -> PURPOSE.
int32_t recodeResult(int32_t rslt);
int32_t recodePurpose(int32_t posScel);

// Register header FILENAME rules (1-based character positions).
// Characters 10 and 11 "10" or "12": the register of region 68.
bool isRegion68(std::string_view fileName);
// Locality of a patient of region 68 from OKATOG: "Городская" or "Сельская".
std::string localityName(std::string_view okatog);
// Characters 1 to 4, upper-cased, are "A061": the clinic code is characters 6 to 9.
bool hasClinicCode(std::string_view fileName);
// Urgent-help flag: 1 for senders "A051", "A042", "A091", "A121" (upper-cased), else 0.
int32_t urgentHelpFlag(std::string_view fileName);
// Month of the register (characters 15 and 16) as an integer; raises EConvertError.
int32_t registerMonth(std::string_view fileName);
// Input date "25.<mm>.<year>" of the visits: the year before `today`'s when the month
// is above 1 and today is in January, else today's year. Raises EConvertError for a
// month that is not a number from 1 to 12.
std::string inputDateText(std::string_view fileName, platform::TDateTime today);

}  // namespace tasks::xmlreg

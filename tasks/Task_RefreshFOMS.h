#pragma once
// Task 3, the attached-population actualisation (TdmScheduler::RefreshFromFOMS): the
// derivations it makes from one record of the fund's DBF file. Texts are CP1251.
//
// Every record is handled in transactions of its own: its lookups and the attachment-date
// update on IBTran, its replacement or insertion on IBTran2; both are committed when the
// record is done, and rolled back when it fails, so the earlier records stay and the next
// record's lookups see them. Every parameter is NULL at the start of a record.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/dates.h"

namespace tasks::foms {

// The policy series: "000000" when the text is empty after trimming, else the text as
// read (leading blanks kept).
std::string PolicySeries(std::string_view spolicy);
// The policy number: an 8-character number of a policy that began before 01.05.2011 loses
// its first two characters. A policy without a start date (0) began before that day.
std::string PolicyNumber(std::string_view npolicy, platform::TDateTime dpolicy);
// The policy kind of a VPOLIC code 1 to 5; none for any other code.
std::optional<std::string> PolicyKind(int32_t vpolic);
// The SNILS: from 14 characters on, characters 1-11, "-", characters 13-14.
std::string FormatSnils(std::string_view snils);
// "Мужской" for a POL of Cyrillic or Latin "M" in either case, "Женский" otherwise.
std::string GenderName(std::string_view pol);
// The social status code of a STATUS text: numbers recoded (2→3, 3→5, 5→2, 6→16, 7→13,
// 8→15, 9→12, others kept), then the letters A→2, B→16, C→11, D→16; none otherwise.
std::optional<int32_t> SocialStatusCode(std::string_view status);
// The region code of a non-empty COATODIST text: 0 for a text beginning with "9999",
// else the text as an integer (EConvertError when it is none).
int32_t RegionCode(std::string_view coatodist);
// "Городская" for a settlement whose name begins with "Г." in either case, else "Сельская".
std::string LocalityName(std::string_view npunktName);

// The statement texts, as prepared on the data module's queries.
namespace sql {
extern const char* const kUpdateAttachment;  // Qry1
extern const char* const kSelectByPolicy;    // Qry2
extern const char* const kSelectByPerson;    // Qry3
extern const char* const kReplacePolicy;     // QryUpd
extern const char* const kInsertPatient;     // QryApp
}  // namespace sql

}  // namespace tasks::foms

#pragma once
// Task 4, the privileged-persons actualisation (TdmScheduler::RefreshPrivileged): the
// derivations it makes from one record of the DBF file of federal privileged persons.
// Texts are CP1251.
//
// The lookups run on IBTran, the updates on IBTran2. Both are committed when the task
// body ends, also after a failed record (the updates of the records before it stay; the
// failed statement itself leaves nothing). Every parameter is NULL at the start of a
// record.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tasks::privileged {

// NUM_SP: a number of exactly 8 characters loses its first two, whatever the policy date.
std::string PolicyNumber(std::string_view numSp);
// The SNILS of NPSU when its first three characters form an integer: characters 1-11,
// "-", characters 13-14; none otherwise (the stored SNILS stays, one refusal).
std::optional<std::string> SnilsFromNpsu(std::string_view npsu);
// The SNILS remark: the DAT_ISKL text when it is not empty, else the STATUS text when it
// is not empty, else the empty text.
std::string SnilsRemark(std::string_view status, std::string_view datIskl);
// The privilege category: the first three characters of KATEG_EDV as an integer; none
// when they are no integer.
std::optional<int32_t> PrivilegeCode(std::string_view kategEdv);
// "паспорт" when the first seven characters of TYPE_DOC, upper-cased, are "ПАСПОРТ";
// "св-во о рожд." when the whole text, upper-cased, is "СВИД О РОЖД"; "другой" otherwise.
std::string DocumentTypeName(std::string_view typeDoc);
// The document series: its first 10 characters.
std::string DocumentSeries(std::string_view serDoc);
// The document number as an integer; none when it is no integer.
std::optional<int32_t> DocumentNumber(std::string_view numDoc);

}  // namespace tasks::privileged

#pragma once
// Task 10, the drug directory load (TdmScheduler::LoadDrugs): DRUGS is replaced by the
// records of a DBF file, with ids 1, 2, 3 ... and the generator GEN_DRUGS_ID set to the
// number of rows. Texts are CP1251.
//
// The delete and every insert run in IBTran2 as one transaction, committed at the end and
// rolled back as a whole on failure, so the directory is never seen empty or half-loaded.
// Work still pending in IBTran2 when the task starts is committed first. The generator is
// set after the commit. Every parameter is NULL at the start of a record.
#include <optional>
#include <string>
#include <string_view>

namespace tasks::drugs {

// The text of a date field as the date columns receive it: "30.12.1899" (the empty date)
// becomes the empty text; an empty text is no date (none).
std::optional<std::string> DateText(std::string_view fieldText);
// FLAG_BK: 1 when the KATEG text is "ИСТИНА", else 0.
int FlagBk(std::string_view kateg);

// "SET GENERATOR GEN_DRUGS_ID TO " and the count in decimal.
std::string GeneratorStatement(int count);

}  // namespace tasks::drugs

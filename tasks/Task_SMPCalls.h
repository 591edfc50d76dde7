#pragma once
// Task 8: the import of ambulance (SMP) calls from an unpacked package folder.
//
// The package holds "PATIENT.xml", "PATIENT_CONST_PARAMS.xml", "SMP_CALLS.bin" and
// "INTERVAL.xml"; only the period ("INTERVAL.xml", XML data packet) and the calls
// ("SMP_CALLS.bin", binary data packet) are read. In one explicit transaction on
// SQLConnection the calls whose DATE_INPUT lies in the period are deleted, every call whose
// patient exists in PATIENT is inserted (with its form data in FORMA_BLOB), and the id
// generator is set to the largest id of the table.
//
// The statement builders are free functions so that their texts can be tested on their own.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/dates.h"

namespace cds {
class TClientDataSet;
}

namespace tasks::smp {

inline constexpr uint32_t kTransactionId = 1000;

inline constexpr const char* kIntervalFile = "INTERVAL.xml";
inline constexpr const char* kCallsFile = "SMP_CALLS.bin";
// The packet column written to FORMA_BLOB when the packet has it.
inline constexpr const char* kFormColumn = "FORMA_BLOB";

// The 39 columns of the insert, in statement order.
const std::vector<std::string>& InsertColumns();

// A date in the short date format, quoted: '09.12.2026'. 0 gives '30.12.1899'.
// Raises EConvertError for a value outside 01.01.0001..31.12.9999 or not finite.
std::string DateLiteral(platform::TDateTime d);
// The time of day in the time format, quoted: '10:15:00'. 0 gives '00:00:00'.
std::string TimeLiteral(platform::TDateTime t);

// The literals of one call, spliced into the insert statement.
struct CallLiterals {
  std::string callDate, callTime, timeBegin, timeEnd, dateInput, timeArrival, goTime, timeInSmp;
};
// The 16 lines of the insert statement of one call.
std::vector<std::string> InsertStatementLines(const CallLiterals& lit);
// The literals of the call on which the dataset stands (empty values as day 0 / 0:00:00).
CallLiterals LiteralsOf(cds::TClientDataSet& calls);

std::string DeleteStatement(platform::TDateTime first, platform::TDateTime last);
inline constexpr const char* kUpdateBlobStatement =
    "update SMP_CALLS set FORMA_BLOB = :P_BLOB where ID_SMP_CALLS = :P_ID";
inline constexpr const char* kMaxIdStatement = "SELECT MAX (ID_SMP_CALLS) FROM SMP_CALLS";
std::string GeneratorStatement(int64_t maxId);

// "Ошибка при импорте СМП-данных :" + class name + ", " + message (CP1251).
std::string ImportErrorText(const std::string& className, const std::string& message);
// The protocol line for a call that could not be inserted (CP1251).
std::string SkippedCallLine(const std::string& callId, const std::string& errText);

}  // namespace tasks::smp

#pragma once
// Task 7: correction of the case codes of diagnoses. Within one year and one range of
// ICD codes, a diagnosis of a patient takes out of the count (case code 2) the other
// diagnoses of that patient in neighbouring codes:
//  - a diagnosis with case code 1 takes out every neighbour, whatever the distance;
//  - of two diagnoses with case code 0, the neighbour is taken out when the two visits
//    are at most 15 whole days apart;
//  - a diagnosis with case code 0 never takes out a neighbour with case code 1.
// At the end every diagnosis whose code sorts after "Z" (the Z chapter, lower-case codes)
// is given case code 2 as well, without being counted.
#include <cstdint>
#include <string>
#include <string_view>

#include "tasks/Task_Duplicates.h"

namespace fbdb {
class Query;
}

namespace tasks {

// The codes from `low` to `high` (inclusive, as the database compares texts) that
// neighbour an ICD code.
struct MkbRange {
  std::string low;
  std::string high;
};

// Characters 2 and 3 of the code, when they are two ASCII digits, give N; the range is
// the first character with N - interval (not below 0) to the first character with
// N + interval (not above 99) and ".9". Any other code gives the code itself twice.
MkbRange MkbNeighbourhood(std::string_view code, int interval);

// An ICD bound as typed into a mask edit ("J06.  "): trimmed, one trailing "." dropped.
std::string NormalizeMkbBound(std::string_view bound);

// Whether the diagnosis `current` takes out its neighbour.
bool MarksNeighbour(int currentCase, int neighbourCase, int64_t daysApart);

// The statements of the task.
extern const char* const kVisitsOfYearSql;      // sdsVis
extern const char* const kNeighboursSql;        // sdsDis
extern const char* const kMarkDiseaseSql;       // sdsTemp, per diagnosis
extern const char* const kMarkZCodesSql;        // sdsTemp, at the end

// The data module's components the correction runs on.
struct DiseaseCasesDb {
  PatientKeyChain patients;     // Qry1 -> dsp1 -> cds1 (native connection)
  fbdb::Query& sdsVis;          // on the SQL connection
  cds::TDataSetProvider& dspVis;
  cds::TClientDataSet& cdsVis;
  fbdb::Query& sdsDis;          // on the SQL connection
  fbdb::Query& sdsTemp;         // on the SQL connection
};

struct DiseaseCasesResult {
  int patients = 0;   // patients walked
  int marked = 0;     // diagnoses given case code 2 one by one ("Убрано заболеваний")
  int passes = 0;     // reads of a patient's visits, re-reads included
  int neighbourReads = 0;  // reads of a diagnosis's neighbourhood
  int64_t zCodes = -1; // rows the final update changed (-1 when not known)
};

// The task body. MkbFrom and MkbTo are the ICD range, Interval the width of the
// neighbourhood (decimal text), Year the year (four-digit text); all are trimmed first.
// A non-numeric Interval raises EConvertError; database errors pass to the caller.
// Returns true when it ran through; `result` (optional) gets the counts.
bool FixDiseaseCases(const DiseaseCasesDb& db, ITaskUi& ui, const std::string& MkbFrom, const std::string& MkbTo,
                     const std::string& Interval, const std::string& Year, DiseaseCasesResult* result = nullptr);

}  // namespace tasks

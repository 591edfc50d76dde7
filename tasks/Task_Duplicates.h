#pragma once
// Task 6: the duplicate search over the patient register, and the read of the patients'
// key columns (Qry1 -> dsp1 -> cds1) that the disease-record correction shares.
//
// The search lists groups of patients that look like one person, by three criteria:
// equal names and birthday (letters compared without case, Cyrillic as well as Latin),
// equal policy series and number, equal SNILS. Nothing in the database is changed.
#include <functional>
#include <string>
#include <vector>

class ITaskUi;
class TdmScheduler;

namespace fbdb {
class Query;
class Transaction;
}  // namespace fbdb
namespace cds {
class TClientDataSet;
class TDataSetProvider;
}  // namespace cds

namespace tasks {

// The key columns of one patient, as texts (a null value is the empty text; the
// birthday is "dd.mm.yyyy").
struct PatientKeyRow {
  std::string idp;
  std::string lastName;
  std::string firstName;
  std::string middleName;
  std::string birthday;
  std::string policySeria;
  std::string policyNum;
  std::string idLic;
  std::string snils;
};

// Progress of the search: `start(max)` before each criterion (position 0), `step()`
// once per row.
struct DuplicateProgress {
  std::function<void(int max)> start;
  std::function<void()> step;
};

// The lines of the search over `rows`, in the order the task writes them: the criteria
// that are ticked, in the order names, policy, SNILS, then the three closing lines.
// Each criterion sorts the rows stably by its key (names folded in CP1251, birthday by
// date) and compares each row with the row before it.
std::vector<std::string> FindDuplicateLines(const std::vector<PatientKeyRow>& rows, bool byFio,
                                            bool byPolicy, bool bySnils,
                                            const DuplicateProgress& progress = {});

// A SNILS that stands for "no SNILS": it begins with three blanks, with "XXX" (Latin),
// "ХХХ" (Cyrillic) or "ОТК", or is blank after trimming. Such groups are never listed.
bool IsJunkSnils(const std::string& snils);

// Names folded for comparison and sorting (CP1251 upper case).
std::string FoldName(const std::string& name);

// The statement that reads the patients' key columns.
extern const char* const kPatientKeysSql;

// The chain that reads the patients: Qry1 (native query, on its transaction) feeds
// cds1 through the provider dsp1.
struct PatientKeyChain {
  fbdb::Transaction& IBTran;
  fbdb::Query& Qry1;
  cds::TDataSetProvider& dsp1;
  cds::TClientDataSet& cds1;
};

// Reads the key columns of every patient into cds1, afresh at every call. The read
// runs on Qry1's transaction; when the read had to start it, it is committed once the
// rows are in memory, so no old snapshot outlives the read. A Qry1 left open by a search
// is closed and its transaction committed first.
void ReadPatientKeys(const PatientKeyChain& chain);

// The rows of cds1 as texts.
std::vector<PatientKeyRow> PatientKeyRows(cds::TClientDataSet& cds1);

// The data module's chain (its client dataset and provider are made on first use; the
// provider has a source only while a read runs).
PatientKeyChain ModulePatientKeyChain(TdmScheduler& dm);

// The task body: reads the patients, runs the ticked criteria and writes every line to
// the task's message list, moving the progress bar. Returns true when it ran through;
// database errors pass to the caller. It leaves cds1 open with the index definitions of
// the ticked criteria (byFIO, byPolicy, bySNILS; the last one active) and Qry1 open, on a
// read-only read-committed transaction when it had to start one (no snapshot is held).
bool SearchDuplicates(const PatientKeyChain& chain, ITaskUi& ui, bool ByFIO, bool ByPolicy,
                      bool BySNILS);

}  // namespace tasks

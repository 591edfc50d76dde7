#pragma once
// A branch archive as a branch clinic exports it: the 23 client-dataset packets (XML form)
// of its database, each read whole through a provider from a table of the clinic schema
// and written by the packet writer, packed in a ZIP file of stored entries.
#include <string>
#include <utility>
#include <vector>

#include "db/fbdb.h"

namespace demodata {

struct BranchPacket {
  const char* file;     // name inside the archive
  const char* table;    // the branch table it is read from
  const char* patient;  // the table's patient column
};

// The 23 packets, in the order the merge loads them.
const std::vector<BranchPacket>& BranchPackets();

// The archive (its bytes) of the branch patients that `patientFilter` selects (a condition
// on the columns of PATIENT, e.g. "DATE_INPUT >= '01.12.2026'") with every row that hangs
// on them, read on `branch`.
std::string BranchArchive(fbdb::Attachment& branch, const std::string& patientFilter);

}  // namespace demodata

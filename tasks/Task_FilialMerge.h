#pragma once
// Task 5: the merge of branch archives into the centre database.
//
// A branch exports its recent rows as 23 data packets (XML form) in one ZIP archive.
// TdmScheduler::DealingFilialDB unpacks each archive into its own folder, loads the
// packets into client datasets, reads the centre tables through providers, reserves
// one block of centre ids per table, moves the rows over in six passes and applies the
// centre changes table by table inside one transaction (id 500, read committed) per
// archive. Before it reads the centre a merge locks the one row of FILIAL_MERGE_LOCK in
// that transaction, so that merges of two workstations run one after the other. A merged
// archive is renamed so that it is not merged again; one that does not give its 23 packets
// keeps its name and is named in the result text with the count.
//
// The helpers below are the pieces of it that need no database.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/dates.h"

namespace tasks {

// Ids made at the centre run from 1 to this value; a branch makes the ids above it.
constexpr int32_t kCentreIdMax = 1500000000;
constexpr int32_t kBranchIdMin = 1500000001;
constexpr int32_t kIdMax = 2147483647;

// The 23 packet files of a branch archive, in load order.
const std::vector<std::string>& FilialPacketFiles();

// The folder part of an archive path with its trailing separator ('/' or '\'); empty
// when the path has none.
std::string FilialFolderOf(std::string_view archivePath);

// The lower bound of the centre rows the merge reads: today minus 365 days as
// "dd.mm.yyyy", in single quotes (a quote inside doubled).
std::string FilialDateBound(platform::TDateTime today);

// The name a merged archive gets: the whole path upper-cased (CP1251) with every ".ZIP"
// replaced by ".LOAD".
std::string FilialLoadedName(std::string_view archivePath);

// Renames the file `from` to `to` the way the branch exchange folders expect: names of
// existing folders and files compare without regard to case (CP1251 letters), and an
// existing file of the new name is never replaced. False when the file is missing, a
// folder of the new name does not exist, a file of the new name exists, or the system
// refuses.
bool RenameFilialArchive(const std::string& from, const std::string& to);

// Deletes the 23 packet files from the folder where they exist, their names compared
// without regard to case ("PATIENT.XML" goes too); errors are ignored.
void DeleteFilialXml(const std::string& folder);

// Whether a block of `count` ids after `base` stays inside the centre's id range.
bool FilialIdBlockFits(int64_t base, int64_t count);

// Called, when set, where a merge has read the centre and applied every change and is about
// to commit: tests hold a merge there (the program never sets it).
extern void (*FilialMergeCommitHook)();

}  // namespace tasks

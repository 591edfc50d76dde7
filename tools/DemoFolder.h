#pragma once
// The demo folder: an embedded clinic database with a population of patients, the settings
// files "Morqa.ini" and "Zelvorn.ini" whose task page defaults name the inputs, and one
// input for each task that reads files, made from the same population so that every task
// adds and changes rows:
//
//   clinic.fdb           the clinic database (made once, then kept with what the tasks did)
//   filial.fdb           a branch clinic's database, the source of the branch archives
//   PRIK.DBF             the fund's attached population (CP866)
//   LGOT.DBF             federal privileged persons
//   LS.DBF               the privileged-medicine directory
//   branches/*.ZIP       two branch archives exported from filial.fdb
//   smp/calls.zip        an ambulance-call package of last month
//   register.xml         an XML register of this month
//
// Paths are CP1251, folders end with '/'. The inputs are written anew on every call (a
// merged branch archive is renamed by the merge, an imported register stays) and the task
// pages' keys of "Morqa.ini" point at them again; the two databases and the settings
// files are made only when they are missing. Every file is made under
// its name + ".part" and renamed when complete, so a maker stopped at any moment leaves
// nothing that its next call would keep.
#include <string>
#include <utility>
#include <vector>

#include "platform/dates.h"

namespace demodata {

inline constexpr const char* kClinicDb = "clinic.fdb";
inline constexpr const char* kBranchDb = "filial.fdb";
inline constexpr const char* kFundDbf = "PRIK.DBF";
inline constexpr const char* kPrivilegedDbf = "LGOT.DBF";
inline constexpr const char* kDrugDbf = "LS.DBF";
inline constexpr const char* kBranchFolder = "branches/";
inline constexpr const char* kSmpPackage = "smp/calls.zip";
inline constexpr const char* kRegisterXml = "register.xml";
inline constexpr const char* kBackupFolder = "backup/";

// The hospital of the demo.
inline constexpr int kHospital = 7;

// The fund file: persons the database knows by their policy, persons it knows by name and
// birthday under an older policy, and persons it does not know.
inline constexpr int kFundUnchanged = 800;
inline constexpr int kFundReplaced = 400;
inline constexpr int kFundAdded = 800;
// The privileged-persons file: persons found (some of them without a SNILS), and persons
// not found.
inline constexpr int kPrivilegedFound = 400;
inline constexpr int kPrivilegedRefused = 20;
inline constexpr int kPrivilegedNotFound = 40;
inline constexpr int kPrivilegedCategory = 81;
// The drug directory: rows of the file and the older rows of the database it replaces.
inline constexpr int kDrugs = 120;
inline constexpr int kOldDrugs = 3;
// The branch archives: new branch patients (with their visits, diseases, dispensary
// rows and constant parameters), centre patients the branch changed, and new visits of
// centre patients, in each of the two archives.
inline constexpr int kBranchArchives = 2;
inline constexpr int kBranchNewPatients = 15;
inline constexpr int kBranchVisitsPerPatient = 2;
inline constexpr int kBranchChangedPatients = 5;
inline constexpr int kBranchKnownVisits = 1;
// The ambulance package: calls of last month; the database holds calls of that month
// (which the package replaces) and one of the month before.
inline constexpr int kSmpCalls = 40;
inline constexpr int kSmpStoredInPeriod = 5;
inline constexpr int kSmpStoredBefore = 1;
// The XML register: records of known and of new persons, one visit and one diagnosis each.
inline constexpr int kRegisterKnown = 10;
inline constexpr int kRegisterNew = 20;

// The clinic database at `path` with the schema, the directories and the population.
void MakeClinicDatabase(const std::string& path, platform::TDateTime today);
// The branch database at `path`: the branch's own patients and its copies of centre
// patients, dated from `today` back.
void MakeBranchDatabase(const std::string& path, platform::TDateTime today);
// The inputs, dated from `today`; the branch archives are read from the branch database.
void MakeInputs(const std::string& dir, platform::TDateTime today);
// "Morqa.ini" and "Zelvorn.ini", naming the database and the inputs of `dir`.
void MakeSettings(const std::string& dir);
// Points the keys of an existing "Morqa.ini" that name the inputs (the closing program
// writes back the operator's files and the ambulance package's folder) at those of `dir`
// again; every other key stays.
void RepointSettings(const std::string& dir);

// Everything above into `dir` (made when missing), today's date.
void MakeDemoFolder(const std::string& dir);

// The centre patients the branch changed: their ids and the address (CP1251) it gave them.
std::vector<std::pair<int, std::string>> BranchChangedAddresses();

}  // namespace demodata

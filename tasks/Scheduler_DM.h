#pragma once
// TdmScheduler: the data module that owns every database component of the program for
// its whole life: the native connection IBDB with its two transactions, the driver-layer
// connection SQLConnection, the backup service, the DBF dataset, the unzip component and
// the statements of the tasks.
//
// The task bodies are member functions defined each in a file of its own
// (tasks/Task_<Name>.cpp); declare them in the marked section below.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "db/fbdb.h"
#include "platform/dates.h"
#include "tasks/TaskUi.h"
#include "xbase/XBaseDB.h"

namespace arc {
class TUnZip;
}
namespace cds {
class TClientDataSet;
class TDataSetProvider;
class EReconcileError;
enum class TUpdateKind;
enum class TReconcileAction;
}  // namespace cds

// The main settings file in the program's folder (spelled so on every path: names are
// case-sensitive here).
inline constexpr const char* kMainIniName = "Morqa.ini";

class TdmScheduler {
public:
  // programDir: the folder of "Morqa.ini", with or without a trailing '/'.
  explicit TdmScheduler(std::string programDir = std::string());
  // Closes both connections; IBDB commits its open transactions first.
  ~TdmScheduler();
  TdmScheduler(const TdmScheduler&) = delete;
  TdmScheduler& operator=(const TdmScheduler&) = delete;

  const std::string& ProgramDir() const { return programDir_; }
  void SetProgramDir(std::string dir);
  std::string MainIniPath() const { return programDir_ + kMainIniName; }

  // The window the task bodies talk to; a silent one until the shell sets it.
  ITaskUi& Ui() { return *ui_; }
  void SetUi(ITaskUi* ui) { ui_ = ui ? ui : &nullUi_; }

  // Reconnects SQLConnection with the parameters of "Morqa.ini" (the database ChosenDatabase
  // when set) and, with CheckCentre, checks that the database holds no branch ids. ErrMsg:
  // empty, or the reason.
  bool OpenSQLConnection(std::string& ErrMsg, bool CheckCentre);
  // The database the operator chose on the window ("host:path", or the path alone); it
  // replaces the one of "Morqa.ini" so that both connections work on the same database.
  // Empty: the settings file's.
  std::string ChosenDatabase;
  // Reconnects IBDB (committing its open transactions) with the password that
  // SQLConnection's parameters hold. ErrMsg is set only on failure.
  bool OpenIBDatabase(std::string& ErrMsg);
  // Backs the database up into Path + FileName (as the server sees it); ErrMsg empty on
  // success, else a "@...@;" list of the heading, the class name and the message.
  void BackupDatabase(const std::string& Path, const std::string& FileName, std::string& ErrMsg);

  // The connection name: host, colon, path; the path alone (embedded engine) when the host
  // is empty.
  static std::string DatabaseNameOf(std::string_view host, std::string_view path);
  // The part of a "DataBase" value behind its first colon; the whole value without one.
  static std::string DatabasePathOf(std::string_view dataBase);
  // Folder and file name with exactly one separator ('\' when the folder uses only '\'). A
  // file name that is a full path ("/...", "\\server\...", "C:\...") is used as it stands.
  static std::string JoinBackupPath(std::string_view path, std::string_view fileName);

  // ---- Task bodies (each defined in tasks/Task_<Name>.cpp) ----
  // Task 6 (Task_Duplicates.cpp): the duplicate search; true when it ran through.
  bool SearchDuplicates(bool ByFIO, bool ByPolicy, bool BySNILS);
  // Task 7 (Task_DiseaseCases.cpp): the disease-record correction; true when it ran through.
  bool FixDiseaseCases(const std::string& MkbFrom, const std::string& MkbTo, const std::string& Interval,
                       const std::string& Year);

  // Task 3: brings the patient register in line with the fund's DBF file of the attached
  // population (tasks/Task_RefreshFOMS.cpp). Flag (the address check box) changes nothing.
  bool RefreshFromFOMS(const std::string& FileName, bool Flag);
  // Task 4: updates the patients from the DBF file of federal privileged persons
  // (tasks/Task_Privileged.cpp).
  bool RefreshPrivileged(const std::string& FileName);
  // Task 10: replaces the drug directory DRUGS by the DBF file (tasks/Task_Drugs.cpp).
  bool LoadDrugs(const std::string& FileName);
  // Task 8: replaces the ambulance calls of the period of the package unpacked into Dir
  // (ending with a separator) (tasks/Task_SMPCalls.cpp). ErrMsg: empty on success.
  void ImportSMPCalls(const std::string& Dir, std::string& ErrMsg);
  // Inserts the call on which Calls stands; ErrText: empty, or class name, ", ", message.
  bool InsertSMPCall(cds::TClientDataSet& Calls, std::string& ErrText);

  // Task 5 (Task_FilialMerge.cpp): merges the branch archives AFiles (full paths, in
  // order) into this centre database over SQLConnection, which must be connected.
  // AFlag: called by the timed run (items framed by "@", success and renaming items
  // written). ASetKod: a new patient gets the text of its centre id as KOD_PATIENT.
  // AProtocol is emptied first and holds the result text at the end.
  void DealingFilialDB(bool AFlag, const std::vector<std::string>& AFiles, bool ASetKod, std::string& AProtocol);
  // The reconcile-error handler of the merge's centre PATIENT dataset: one line into the
  // run protocol; Action stays as the engine set it.
  void cdsPatientReconcileError(cds::TClientDataSet& DataSet, const cds::EReconcileError& E,
                                cds::TUpdateKind UpdateKind, cds::TReconcileAction& Action);

  // "Today" of the task bodies: the clock's date unless FixedToday is set (tests).
  platform::TDateTime Today() const;
  platform::TDateTime FixedToday = 0;

  // ---- Components, in the module's declaration order ----
  fbdb::Attachment IBDB;
  fbdb::Transaction IBTran;
  fbdb::Transaction IBTran2;  // declared early: the queries below bind to it
  // The DBF tasks' table: ReadOnly, TranslateASCII, not Exclusive, no AutoFlush, deleted
  // records hidden, default lock protocol, large integers as such, UserID 0.
  xb::TXBaseDataSet hdsDBF;
  fbdb::Query tbNP;           // the directory table NPUNKT, on IBTran
  fbdb::StoredProc spGenIDP;  // PATIENT_GEN_ID, on IBTran
  fbdb::Query Qryw, Qry3, Qry2, Qry1;        // on IBTran; each task sets the SQL text
  fbdb::Query QryApp, QryUpd, QryDis;        // on IBTran2; each task sets the SQL text
  fbdb::SqlConnection SQLConnection;
  std::shared_ptr<arc::TUnZip> UnZip1;       // created with the module: default seed keys
  fbdb::BackupService IBXBackupServ;
  std::string IBXBackupServServerName = "localhost";
  std::shared_ptr<cds::TClientDataSet> cds1;        // with dsp1: the key columns of all patients
  std::shared_ptr<cds::TDataSetProvider> dsp1;
  fbdb::Query sdsVis;                        // on SQLConnection
  std::shared_ptr<cds::TDataSetProvider> dspVis;
  std::shared_ptr<cds::TClientDataSet> cdsVis;
  fbdb::Query sdsDis;                        // on SQLConnection
  fbdb::Query sdsTemp;                       // on SQLConnection; each task sets the text
  fbdb::StoredProc spPrikend;                // PRIKEND (PLPU), on SQLConnection
  fbdb::StoredProc spIDVisit;                // VISIT_GEN_ID (P_ID_PATIENT) -> F_ID, F_HANDLE_ID
  fbdb::StoredProc spIDDiseases;             // DISEASES_GEN_ID -> F_ID

private:
  std::string programDir_;
  TNullTaskUi nullUi_;
  ITaskUi* ui_ = &nullUi_;
};

// The program's one data module, created by the shell right after the main window.
extern TdmScheduler* dmScheduler;

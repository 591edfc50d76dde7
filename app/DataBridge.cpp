#include "app/DataBridge.h"

#include "archive/arcUnZip.h"
#include "platform/inifile.h"
#include "tasks/Scheduler_DM.h"
#include "tasks/XmlImport.h"
#include "tasks/zlvCrypt32.h"

namespace shell {

bool TDataBridge::OpenSQLConnection(std::string& ErrMsg, bool CheckCentre) {
  return dm_.OpenSQLConnection(ErrMsg, CheckCentre);
}

bool TDataBridge::OpenIBDatabase(std::string& ErrMsg) { return dm_.OpenIBDatabase(ErrMsg); }

void TDataBridge::BackupDatabase(const std::string& Path, const std::string& FileName, std::string& ErrMsg) {
  dm_.BackupDatabase(Path, FileName, ErrMsg);
}

// ---- Task bodies of the data module ----

bool TDataBridge::RefreshFromFOMS(const std::string& FileName, bool Adr) { return dm_.RefreshFromFOMS(FileName, Adr); }
bool TDataBridge::RefreshPrivileged(const std::string& FileName) { return dm_.RefreshPrivileged(FileName); }
bool TDataBridge::LoadDrugs(const std::string& FileName) { return dm_.LoadDrugs(FileName); }
void TDataBridge::DealingFilialDB(bool FromScheduler, const std::vector<std::string>& Files, bool KodPat,
                                  std::string& Result) {
  dm_.DealingFilialDB(FromScheduler, Files, KodPat, Result);
}

bool TDataBridge::SearchDuplicates(bool FIO, bool Police, bool SNILS) {
  return dm_.SearchDuplicates(FIO, Police, SNILS);
}

bool TDataBridge::FixDiseaseCases(const std::string& MKB1, const std::string& MKB2, const std::string& Dop,
                                  const std::string& Year) {
  return dm_.FixDiseaseCases(MKB1, MKB2, Dop, Year);
}

void TDataBridge::ImportXmlRegister(const std::string& FileName, int RunFromScheduler) {
  tasks::ImportXmlRegister(dm_, FileName, RunFromScheduler, xmlWindow_);
}

void TDataBridge::ImportSMPCalls(const std::string& Folder, std::string& ErrMsg) { dm_.ImportSMPCalls(Folder, ErrMsg); }

// The main window's own unzip component (UnZip1), in four steps: archive, target folder,
// one mask, extract. No event handler is attached: the count tells the outcome.
TZipExtractor::TZipExtractor() : UnZip1(std::make_unique<arc::TUnZip>()) {}
TZipExtractor::~TZipExtractor() = default;

int TZipExtractor::Extract(const std::string& ArchiveFile, const std::string& ExtractDir, const std::string& Mask) {
  UnZip1->SetArchiveFile(ArchiveFile);
  UnZip1->SetExtractDir(ExtractDir);
  UnZip1->FileSpec.clear();
  UnZip1->FileSpec.push_back(Mask);
  return UnZip1->Extract();
}

// ---- The native connection as the shell drives it ----

void TDataBridge::SetIBDatabaseName(const std::string& Name) { dm_.IBDB.databaseName = Name; }
// With the stored password when the settings file has one, as the task connections use it
// (the built-in one otherwise): the window's own connection reaches a server whose SYSDBA
// password is another than the clinic system's default.
void TDataBridge::ConnectIB() {
  const std::string stored = ReadStoredPassword(platform::TIniFile(dm_.MainIniPath()));
  if (!stored.empty()) dm_.IBDB.params.setValue("PASSWORD", stored);
  dm_.IBDB.connect();
}
bool TDataBridge::IBConnected() { return dm_.IBDB.connected(); }
void TDataBridge::DisconnectIB() { dm_.IBDB.disconnect(); }
bool TDataBridge::SQLConnected() { return dm_.SQLConnection.connected(); }
void TDataBridge::DisconnectSQL() { dm_.SQLConnection.close(); }
void TDataBridge::UseDatabase(const std::string& Host, const std::string& Path) {
  dm_.ChosenDatabase = TdmScheduler::DatabaseNameOf(Host, Path);
}

int TDataBridge::ExtractUpdate(const std::string& ArchiveFile, const std::string& ExtractDir,
                               const std::vector<std::string>& Masks) {
  arc::TUnZip& z = *dm_.UnZip1;
  // The component is shared with the branch merge: what this call changes is put back.
  const std::vector<std::string> masks = z.FileSpec;
  const bool storedDirs = z.UseStoredDirs;
  struct Restore {
    arc::TUnZip& z;
    const std::vector<std::string>& masks;
    bool storedDirs;
    ~Restore() {
      z.FileSpec = masks;
      z.UseStoredDirs = storedDirs;
    }
  } restore{z, masks, storedDirs};
  z.SetArchiveFile(ArchiveFile);
  z.SetExtractDir(ExtractDir);
  z.FileSpec = Masks;
  // The programs go into the program folder itself, whatever folders the archive names.
  z.UseStoredDirs = false;
  return z.Extract();
}

}  // namespace shell

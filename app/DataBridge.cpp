#include "app/DataBridge.h"

#include "app/ShellText.h"
#include "archive/arcUnZip.h"
#include "db/fbdb.h"
#include "platform/exception.h"
#include "tasks/Scheduler_DM.h"
#include "tasks/XmlImport.h"

namespace shell {

void NotAvailable(const char* what) { throw ENotAvailable(W(what) + W(" недоступно в этой версии программы.")); }

bool TDataBridge::OpenSQLConnection(std::string& ErrMsg, bool CheckCentre) {
  bool ok = dm_.OpenSQLConnection(ErrMsg, CheckCentre);
  if (chosenDatabase_.empty() || dm_.SQLConnection.Params.value("DataBase") == chosenDatabase_) return ok;
  // The database the operator chose replaces the one of the settings file, so that both
  // connections work on the same database. The parameters (password and all) were just
  // loaded by the data module.
  std::string err;
  try {
    if (dm_.SQLConnection.connected()) dm_.SQLConnection.close();
    dm_.SQLConnection.Params.setValue("DataBase", chosenDatabase_);
    dm_.SQLConnection.open();
    if (CheckCentre) {
      fbdb::Query q(dm_.SQLConnection);
      bool branchIds = false;
      for (const char* table : {"PATIENT", "VISITS"}) {
        const std::string key = std::string(table) == "PATIENT" ? "idp" : "idv";
        q.setSqlLines({"select first 1 T1." + key + " ", std::string("  from ") + table + " T1 ",
                       "  where T1." + key + " > 1500000000 "});
        q.open();
        branchIds = branchIds || !q.eof();
        q.close();
      }
      if (branchIds) {
        err = W("База данных ВИРЕЛ, выбранная как БД центра, таковой не является.\r\rВ актуализации данных "
                "отказано.");
      }
    }
  } catch (const std::exception& e) {
    err = platform::describe(e);
  }
  ErrMsg = err;
  return err.empty();
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
void TDataBridge::ConnectIB() { dm_.IBDB.connect(); }
bool TDataBridge::IBConnected() { return dm_.IBDB.connected(); }
void TDataBridge::DisconnectIB() { dm_.IBDB.disconnect(); }
bool TDataBridge::SQLConnected() { return dm_.SQLConnection.connected(); }
void TDataBridge::DisconnectSQL() { dm_.SQLConnection.close(); }
void TDataBridge::UseDatabase(const std::string& Host, const std::string& Path) {
  chosenDatabase_ = TdmScheduler::DatabaseNameOf(Host, Path);
}

}  // namespace shell

#include "tasks/Scheduler_DM.h"

#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <cerrno>

#include "archive/arcUnZip.h"
#include "platform/codepage.h"
#include "platform/exception.h"
#include "platform/inifile.h"
#include "platform/oslayer.h"
#include "platform/strutil.h"
#include "tasks/zlvCrypt32.h"

TdmScheduler* dmScheduler = nullptr;

namespace {

// The administrator password of the component settings; used only until the first
// OpenIBDatabase replaces it. Never written to a protocol or log.
const char* const kDesignPassword = "quillbray";

const std::string& CentreRefusal() {
  static const std::string s = platform::Utf8ToCp1251(
      "База данных ВИРЕЛ, выбранная как БД центра, таковой не является.\r\rВ актуализации данных отказано.");
  return s;
}

const std::string& BackupHeading() {
  static const std::string s = platform::Utf8ToCp1251("Ошибка при создании резервной копии БД:");
  return s;
}

std::string ClassName(const std::exception& e) {
  std::string d = platform::describe(e);
  size_t cr = d.find('\r');
  return cr == std::string::npos ? d : d.substr(0, cr);
}

// Whether this program can rename the backup file `target` (as the server sees it): the
// embedded engine writes it from this process, a server on this machine sees the same
// absolute paths; and the file's folder must be one this program may write.
bool BackupRenamableHere(const std::string& serverName, const std::string& target) {
  const std::string host = serverName.substr(0, serverName.find('/'));
  bool here = host.empty();
  for (const char* local : {"localhost", "127.0.0.1", "::1", "[::1]"}) here = here || platform::SameText(host, local);
  char own[256] = {};
  if (!here && ::gethostname(own, sizeof own - 1) == 0) {
    const std::string name = own;
    here = platform::SameText(host, name) || platform::SameText(host, name.substr(0, name.find('.')));
  }
  if (!here || (!host.empty() && target.rfind('/', 0) != 0)) return false;
  const size_t slash = target.rfind('/');
  const std::string folder = slash == std::string::npos ? std::string(".") : target.substr(0, slash + 1);
  return ::access(platform::ToFsPath(folder).c_str(), W_OK) == 0;
}

}  // namespace

TdmScheduler::TdmScheduler(std::string programDir)
    : IBTran(IBDB),
      IBTran2(IBDB),
      tbNP(IBTran),
      spGenIDP(IBTran),
      Qryw(IBTran),
      Qry3(IBTran),
      Qry2(IBTran),
      Qry1(IBTran),
      QryApp(IBTran2),
      QryUpd(IBTran2),
      QryDis(IBTran2),
      sdsVis(SQLConnection),
      sdsDis(SQLConnection),
      sdsTemp(SQLConnection),
      spPrikend(SQLConnection),
      spIDVisit(SQLConnection),
      spIDDiseases(SQLConnection) {
  SetProgramDir(programDir.empty() ? platform::ExeDir() : std::move(programDir));
  IBDB.databaseName = "C:\\Zelvorn\\DB\\statmain.gdb";
  IBDB.params.clear();
  IBDB.params.setValue("USER_NAME", "SYSDBA");
  IBDB.params.setValue("lc_ctype", "WIN1251");
  IBDB.params.setValue("PASSWORD", kDesignPassword);
  IBDB.sqlDialect = 3;
  hdsDBF.SetReadOnly(true);
  hdsDBF.SetTranslateASCII(true);
  hdsDBF.SetExclusive(false);
  hdsDBF.SetAutoFlush(false);
  hdsDBF.SetUseDeleted(false);
  hdsDBF.SetLockProtocol(xb::Default);
  hdsDBF.SetLargeIntegerAs(xb::TxbIntFields::asLargeInt);
  hdsDBF.SetUserID(0);
  tbNP.setSql("select * from NPUNKT");
  spGenIDP.setStoredProcName("PATIENT_GEN_ID");
  UnZip1 = std::make_shared<arc::TUnZip>();  // default header and data seed keys
  SQLConnection.ConnectionName = "IBConnection";
  spPrikend.setStoredProcName("PRIKEND");
  spIDVisit.setStoredProcName("VISIT_GEN_ID");
  spIDDiseases.setStoredProcName("DISEASES_GEN_ID");
}

TdmScheduler::~TdmScheduler() {
  try {
    hdsDBF.Close();
  } catch (...) {
  }
  try {
    IBDB.disconnect();
  } catch (...) {
  }
  try {
    SQLConnection.close();
  } catch (...) {
  }
}

platform::TDateTime TdmScheduler::Today() const { return FixedToday != 0 ? FixedToday : platform::Date(); }

void TdmScheduler::SetProgramDir(std::string dir) {
  if (!dir.empty() && dir.back() != '/') dir.push_back('/');
  programDir_ = std::move(dir);
}

std::string TdmScheduler::DatabaseNameOf(std::string_view host, std::string_view path) {
  if (host.empty()) return std::string(path);
  std::string s(host);
  s += ':';
  s += path;
  return s;
}

std::string TdmScheduler::DatabasePathOf(std::string_view dataBase) {
  size_t colon = dataBase.find(':');
  if (colon == std::string_view::npos) return std::string(dataBase);
  return std::string(dataBase.substr(colon + 1));
}

std::string TdmScheduler::JoinBackupPath(std::string_view path, std::string_view fileName) {
  auto isSep = [](char c) { return c == '/' || c == '\\'; };
  auto isLetter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
  const bool fullPath = (!fileName.empty() && fileName[0] == '/') ||
                        (fileName.size() > 1 && isSep(fileName[0]) && isSep(fileName[1])) ||
                        (fileName.size() > 2 && isLetter(fileName[0]) && fileName[1] == ':' && isSep(fileName[2]));
  if (path.empty() || fullPath) return std::string(fileName);
  std::string out(path);
  if (isSep(out.back())) {
    while (!fileName.empty() && isSep(fileName.front())) fileName.remove_prefix(1);
  } else if (fileName.empty() || !isSep(fileName.front())) {
    bool windows = out.find('\\') != std::string::npos && out.find('/') == std::string::npos;
    out.push_back(windows ? '\\' : '/');
  } else {
    while (fileName.size() > 1 && isSep(fileName[1])) fileName.remove_prefix(1);
  }
  out += fileName;
  return out;
}

bool TdmScheduler::OpenSQLConnection(std::string& ErrMsg, bool CheckCentre) {
  bool result = false;
  ErrMsg.clear();
  SQLConnection.ConnectionName = "IBConnection";
  ITaskUi& ui = Ui();
  ui.SetBusyCursor(true);
  try {
    if (SQLConnection.connected()) SQLConnection.close();
    ui.ProcessMessages();
    platform::TIniFile ini(MainIniPath());
    std::string password = ReadStoredPassword(ini);
    std::string host = ini.ReadString("DB_PCName", "DB_PCName", "LocalHost");
    std::string path = ini.ReadString("STAT_MAIN", "Database", "");
    ini.ReadSectionValues("IBConnection", SQLConnection.Params);
    SQLConnection.Params.setValue("password", password);
    SQLConnection.Params.setValue("User_Name", "SYSDBA");
    SQLConnection.Params.setValue("SQLDialect", "3");
    SQLConnection.Params.setValue("ServerCharSet", "win1251");
    SQLConnection.Params.setValue("DataBase", ChosenDatabase.empty() ? DatabaseNameOf(host, path) : ChosenDatabase);
    SQLConnection.open();
    if (CheckCentre) {
      fbdb::Query q(SQLConnection);
      q.setSqlLines({"select first 1 T1.idp ", "  from PATIENT T1 ", "  where T1.idp > 1500000000 "});
      q.open();
      bool branchIds = !q.eof();
      q.close();
      if (!branchIds) {
        q.setSqlLines({"select first 1 T1.idv ", "  from VISITS T1 ", "  where T1.idv > 1500000000 "});
        q.open();
        branchIds = !q.eof();
        q.close();
      }
      if (branchIds) ErrMsg = CentreRefusal();
    }
    result = ErrMsg.empty();
  } catch (const std::exception& e) {
    ErrMsg = platform::describe(e);
    result = false;
  }
  ui.SetBusyCursor(false);
  return result;
}

bool TdmScheduler::OpenIBDatabase(std::string& ErrMsg) {
  try {
    IBDB.disconnect();  // commits what IBTran and IBTran2 still hold
    IBDB.params.setValue("PASSWORD", SQLConnection.Params.value("password"));
    IBDB.connect();
    return true;
  } catch (const std::exception& e) {
    ErrMsg = platform::describe(e);
    return false;
  }
}

void TdmScheduler::BackupDatabase(const std::string& Path, const std::string& FileName, std::string& ErrMsg) {
  platform::TIniFile ini(MainIniPath());
  IBXBackupServServerName = ini.ReadString("DB_PCName", "DB_PCName", "LocalHost");
  const std::string user = "SYSDBA";
  const std::string password = SQLConnection.Params.value("password");
  bool wasOpen = SQLConnection.connected();
  try {
    if (wasOpen) SQLConnection.close();
    IBXBackupServ.attach(IBXBackupServServerName, user, password);
    std::string dbName = DatabasePathOf(SQLConnection.Params.value("DataBase"));
    // The server starts the backup file afresh and removes it when the backup fails (a
    // full disk), which would cost the earlier backup of the same name. Where this
    // program can rename the file, the backup goes to a name of its own first and
    // replaces the earlier file only once it is complete.
    const std::string target = JoinBackupPath(Path, FileName);
    const bool here = BackupRenamableHere(IBXBackupServServerName, target);
    const std::string written = here ? target + ".tmp" : target;
    try {
      IBXBackupServ.startBackup(dbName, written, true);
      std::string line;
      while (IBXBackupServ.nextLine(line)) {
      }
    } catch (...) {
      if (here) ::unlink(platform::ToFsPath(written).c_str());
      throw;
    }
    IBXBackupServ.detach();
    if (here && ::rename(platform::ToFsPath(written).c_str(), platform::ToFsPath(target).c_str()) != 0) {
      const int error = errno;
      throw platform::EOSError(platform::Utf8ToCp1251("Копия записана в файл \"") + written +
                               platform::Utf8ToCp1251("\", но не переименована в \"") + target + "\": " +
                               ::strerror(error));
    }
    ErrMsg.clear();
  } catch (const std::exception& e) {
    ErrMsg = "@" + BackupHeading() + "@;@   " + ClassName(e) + "@;" + "@" + e.what() + "@;";
  }
  try {
    IBXBackupServ.detach();
  } catch (...) {
  }
  if (wasOpen) {
    // A connection that cannot be reopened is reported with the result, not raised.
    try {
      SQLConnection.open();
    } catch (const std::exception& e) {
      ErrMsg += "@   " + ClassName(e) + "@;" + "@" + e.what() + "@;";
    }
  }
}

#pragma once
// The main window's view of the world outside it: the data module calls, the archive
// extraction of the ambulance package, the clock and every message window, message box
// and file dialog. The program wires the real ones in main(); the tests wire fakes.
// Every text crossing these interfaces is CP1251.
#include <QDateTime>

#include <string>
#include <vector>

#include "platform/exception.h"

namespace shell {

// The data module as the shell calls it.
class IShellData {
public:
  virtual ~IShellData() = default;

  virtual bool OpenSQLConnection(std::string& ErrMsg, bool CheckCentre) = 0;
  virtual bool OpenIBDatabase(std::string& ErrMsg) = 0;
  // Path ends with '/'; ErrMsg empty on success.
  virtual void BackupDatabase(const std::string& Path, const std::string& FileName, std::string& ErrMsg) = 0;
  virtual bool RefreshFromFOMS(const std::string& FileName, bool Adr) = 0;
  virtual bool RefreshPrivileged(const std::string& FileName) = 0;
  virtual bool LoadDrugs(const std::string& FileName) = 0;
  virtual void DealingFilialDB(bool FromScheduler, const std::vector<std::string>& Files, bool KodPat,
                               std::string& Result) = 0;
  virtual bool SearchDuplicates(bool FIO, bool Police, bool SNILS) = 0;
  virtual bool FixDiseaseCases(const std::string& MKB1, const std::string& MKB2, const std::string& Dop,
                               const std::string& Year) = 0;
  virtual void ImportSMPCalls(const std::string& Folder, std::string& ErrMsg) = 0;
  // The XML register import of the main window's sbExec/SpeedButton4.
  virtual void ImportXmlRegister(const std::string& FileName, int RunFromScheduler) = 0;

  // The native connection, as the shell handles it directly.
  virtual void SetIBDatabaseName(const std::string& Name) = 0;
  virtual void ConnectIB() = 0;  // raises on failure
  virtual bool IBConnected() = 0;
  virtual void DisconnectIB() = 0;
  virtual bool SQLConnected() = 0;
  virtual void DisconnectSQL() = 0;
  // A database chosen by the operator: both connections use it from now on.
  virtual void UseDatabase(const std::string& Host, const std::string& Path) = 0;
  // Unpacks the entries of the update archive that match one of the masks into
  // ExtractDir, on the data module's unzip component; the number of files written.
  virtual int ExtractUpdate(const std::string& ArchiveFile, const std::string& ExtractDir,
                            const std::vector<std::string>& Masks) = 0;
};

// Archive extraction for the ambulance package: the number of files written.
class IExtractor {
public:
  virtual ~IExtractor() = default;
  virtual int Extract(const std::string& ArchiveFile, const std::string& ExtractDir, const std::string& Mask) = 0;
};

class IClock {
public:
  virtual ~IClock() = default;
  virtual QDateTime now() = 0;
};

class SystemClock : public IClock {
public:
  QDateTime now() override { return QDateTime::currentDateTime(); }
};

// One file dialog. Filter is "Description|pattern[|Description|pattern...]".
struct FileDialogRequest {
  std::string filter;
  std::string defaultExt;
  std::string title;
  std::string initialDir;
  std::string fileName;
};

// Every message window, message box and file dialog of the shell.
class IPrompt {
public:
  virtual ~IPrompt() = default;
  // The plain message window with the program title.
  virtual void showMessage(const std::string& text) = 0;
  // A message box with its own caption ("Сообщение" for the program's own).
  virtual void messageBox(const std::string& text, const std::string& caption) = 0;
  virtual bool openFile(const FileDialogRequest& request, std::string& chosen) = 0;
  virtual bool saveFile(const FileDialogRequest& request, std::string& chosen) = 0;
  virtual bool browseFolder(const std::string& caption, std::string& path) = 0;
};

}  // namespace shell

#pragma once
// The data module as the main window sees it: the one place where the window's calls
// reach the task bodies.
#include <memory>
#include <string>

#include "app/ShellSeams.h"

class TdmScheduler;
namespace arc {
class TUnZip;
}

namespace tasks {
class IXmlImportWindow;
}

namespace shell {

class TDataBridge : public IShellData {
public:
  explicit TDataBridge(TdmScheduler& dm) : dm_(dm) {}

  bool OpenSQLConnection(std::string& ErrMsg, bool CheckCentre) override;
  bool OpenIBDatabase(std::string& ErrMsg) override;
  void BackupDatabase(const std::string& Path, const std::string& FileName, std::string& ErrMsg) override;
  bool RefreshFromFOMS(const std::string& FileName, bool Adr) override;
  bool RefreshPrivileged(const std::string& FileName) override;
  bool LoadDrugs(const std::string& FileName) override;
  void DealingFilialDB(bool FromScheduler, const std::vector<std::string>& Files, bool KodPat,
                       std::string& Result) override;
  bool SearchDuplicates(bool FIO, bool Police, bool SNILS) override;
  bool FixDiseaseCases(const std::string& MKB1, const std::string& MKB2, const std::string& Dop,
                       const std::string& Year) override;
  void ImportSMPCalls(const std::string& Folder, std::string& ErrMsg) override;
  void ImportXmlRegister(const std::string& FileName, int RunFromScheduler) override;
  void SetIBDatabaseName(const std::string& Name) override;
  void ConnectIB() override;
  bool IBConnected() override;
  void DisconnectIB() override;
  bool SQLConnected() override;
  void DisconnectSQL() override;
  void UseDatabase(const std::string& Host, const std::string& Path) override;
  int ExtractUpdate(const std::string& ArchiveFile, const std::string& ExtractDir,
                    const std::vector<std::string>& Masks) override;

  // The page controls the XML import touches when the operator starts it.
  void SetXmlImportWindow(tasks::IXmlImportWindow* window) { xmlWindow_ = window; }

private:
  TdmScheduler& dm_;
  tasks::IXmlImportWindow* xmlWindow_ = nullptr;
};

// Archive extraction for the ambulance package on the main window's own TUnZip: the
// number of files extracted (0 for a missing or unreadable archive).
class TZipExtractor : public IExtractor {
public:
  TZipExtractor();
  ~TZipExtractor() override;
  int Extract(const std::string& ArchiveFile, const std::string& ExtractDir, const std::string& Mask) override;
  std::unique_ptr<arc::TUnZip> UnZip1;
};

}  // namespace shell

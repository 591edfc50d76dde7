#pragma once
// TfmMain: the main window of the scheduler. The task list, the task pages, the
// once-a-second timer and the timed run, arming, the run-now actions, the choosers and
// the branch archive list. The settings come from "Morqa.ini" and "Zelvorn.ini" beside
// the program; the run protocol is saved as "Протокол.txt" when the window closes.
#include <QAction>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <QTimeEdit>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/MyDLFile.h"
#include "app/ShellSeams.h"
#include "platform/inifile.h"
#include "tasks/TaskUi.h"
#include "tasks/XmlImport.h"

namespace arc {
class TUnRar;
}
class TsdBrowseDialog;
class TWindowMessages;
class TsdTrayIcon;

namespace shell {

// Status texts of the task list (CP1251).
std::string StatusWaiting();     // "Ожидание выполнения"
std::string StatusRunning();     // "Выполняется"
std::string StatusDone();        // "Выполнение завершено"
std::string StatusNotDone();     // "Выполнение не завершено"
std::string StatusFailed();      // "Не выполнено!"
std::string StatusInterrupted(); // "Прервано оператором"

inline constexpr int kTaskCount = 12;
std::string TaskCaption(int task);
std::string ProgramTitle();
inline constexpr const char* kMainIni = "Morqa.ini";
inline constexpr const char* kHospitalIni = "Zelvorn.ini";

// The program update: the archive downloaded into the program folder, the updater in it
// (on this platform a program named "renewal", without extension) and the masks of the
// archive's entries that are unpacked: the updater and the programs of the system, which
// are named "kesta-..." here. Settings and data files of the folder are never replaced.
inline constexpr const char* kUpdateArchive = "ren.zip";
inline constexpr const char* kUpdater = "renewal";
std::vector<std::string> UpdateMasks();
// The report message of the updater and its protocol text (without date and time;
// empty for the codes that add no line).
inline constexpr int WM_UPDATER_NOTIFY = 1125;
std::string UpdaterReportText(int64_t code);

}  // namespace shell

class TfmMain : public QWidget, public ITaskUi, public tasks::IXmlImportWindow {
  Q_OBJECT

public:
  // exePath: the program's folder with a trailing '/' (CP1251).
  TfmMain(shell::IShellData& data, shell::IExtractor& extractor, shell::IPrompt& prompt, shell::IClock& clock,
          std::string exePath, QWidget* parent = nullptr);
  ~TfmMain() override;

  // The activation work; runs once, after the window is first shown.
  void FormActivate();
  // A termination request (SIGTERM, SIGINT, SIGHUP) before the close: a timed run going on
  // finishes the task it is in and starts no further one; the rest end as interrupted.
  void TerminationRequested() { FTerminating = true; }
  bool terminating() const { return FTerminating; }
  bool activated() const { return FActivated; }

  // ITaskUi: how the task bodies report to the window.
  void AddTaskMessage(const std::string& line) override;
  void ClearTaskMessages() override;
  void AddProtocolLine(const std::string& line) override;
  void SetProgressMax(int max) override;
  void SetProgressPosition(int position) override;
  void StepProgress() override;
  bool NotFoundChecked() const override;
  void ProcessMessages() override;
  void ShowMessage(const std::string& text, const std::string& caption) override;
  void SetBusyCursor(bool busy) override;

  // tasks::IXmlImportWindow: the page controls the XML import sets when the operator runs it.
  void FocusFileEdit() override;
  void SetRefreshLabel(const std::string& text) override;
  void CopyTaskMessagesToProtocol() override;
  void SetTaskStatus(int item, const std::string& text) override;
  void SetXmlLabel(const std::string& text) override;

  // Handlers (public so that the tray, the tests and the program can drive them).
  void tmTasksTimer();
  void acTimerTurnONExecute();
  void acTimerTurnOFFExecute();
  void acStopExecute();
  void acRefreshFromFOMSExecute();
  void acRefreshLExecute();
  void acDublExecute();
  void acZabolExecute();
  void acLoadLSExecute();
  void tbBackup1Click();
  void tbBackup2Click();
  void acLoadRefreshFromFOMSExecute();
  void acStartDealingFilialDBExecute();
  void acSMPImportExecute();
  void UpdateRenExecute();
  void sbExecClick(bool fromScheduler);
  void acShowProtocolExecute();
  void cmdSetCnClick();
  void acRefreshFilialsExecute();
  void acDelFilialFileExecute();
  void sbFilialDBPathClick();
  void sbDBPathClick();
  void sbOpenDBFClick();
  void sbOpenLClick();
  void sbOpenLSClick();
  void sbOpen2Click();
  void sbOpenBClick();
  void sbOpenB2Click();
  void sbLoadSMPFileClick();
  void sbtSaveAsClick();
  void miShowClick();
  void miExitClick();
  void ActionListUpdate();

  // Downloads and the program update.
  void TFOMSDownloadDone(TDownLoader* Sender);
  void UpdateDownloadDone(TDownLoader* Sender);
  void WMUpdaterNotify(int64_t code);
  void WMDownloadProgress(int what, qint64 value);
  bool downloadDone() const { return FDownloadDone; }
  bool updateDone() const { return FUpdateDone; }
  bool updateWaiting() const { return FUpdateWaiting; }
  bool tfomsDownloading() const { return !FTfomsLoader.isNull(); }
  bool updating() const { return FUpdateBusy; }
  // The identifier the updater is given to reach this window ("" before the first start).
  std::string windowIdentifier() const;
  // Seconds without progress after which a download fails (tests shorten it).
  long downloadStallTimeout = 120;
  // The largest file a download keeps (tests lower it).
  int64_t downloadSizeLimit = shell::kDownloadSizeLimit;
  // Seconds the update waits for the updater's report before it fails (tests shorten it).
  long updaterWaitTimeout = 15 * 60;

  // State seen by the tests and the data-module bridge.
  const std::vector<std::string>& protocol() const { return FProtocol; }
  const std::vector<std::string>& taskMessages() const { return FTaskMessages; }
  std::string status(int task) const;
  void setStatus(int task, const std::string& text);
  bool timerOn() const { return tmTasks->isActive(); }
  bool running() const { return FRunning || FBusy; }
  int RunFromScheduler() const { return FRunFromScheduler; }
  const std::string& exePath() const { return FExePath; }
  const std::string& backupPath() const { return FBackupPath; }
  int passTries() const { return FPassTries; }

  // Controls, named as in the window's layout.
  QLineEdit *edDB, *edBackup, *edBackup2, *txtKestaAdress, *edLPU, *edUser, *edPass, *edHTTP, *edSaveAs,
      *edFileDBF, *edFileL, *ledFilialDBPath, *edMKB1, *edMKB2, *edDop, *edYear, *ledSMPFileName, *edF2,
      *edFileLS;
  QToolButton *sbDBPath, *sbOpenB, *sbOpenB2, *sbtSaveAs, *sbOpenDBF, *sbOpenL, *sbFilialDBPath, *sbLoadSMPFile,
      *sbOpen2, *sbOpenLS;
  QTreeWidget* lvTasks;
  QTimeEdit* DTime;
  QLabel *pnlTime, *lbLPUName, *lbBack, *lbBack2, *lbLoad, *lbRefr, *lbRefrLg, *lDubl, *lZab, *lbreXML, *lbLoadLS;
  QProgressBar* ProgBar;
  QToolButton *Button4, *bTimerTurnOFF, *tbShowProtocol, *bStop, *tbBackup1, *tbBackup2, *Button3, *sbExec,
      *SpeedButton4, *btUpdateRen, *btLoadRefreshFromFOMS, *btRefreshFromFOMS, *btRefreshL, *btRefreshFilials,
      *btDelFilialFile, *btStartDealingFilialDB, *btDubl, *btZabol, *btSMPImport, *btLoadLS;
  QPushButton* cmdSetCn;
  QCheckBox *chkStartRen, *cbAdr, *cbNotFound, *cbKodPat, *cbFIO, *cbPolice, *cbSNILS;
  QListWidget* lbFilials;
  QTabWidget* pgcTasks;
  QWidget *tsActualityFromFOMS, *tbsLoadUpdate, *tsLoadFile, *tsPrikrep, *tsLgota, *tsFilialsActualization,
      *tsDupe, *tsZab, *tsSMPImport, *TabSheet1, *tsLS, *tsCopy, *tsTovi;
  QTimer* tmTasks;
  TsdTrayIcon* sdTrayIcon;
  QMenu* pmTrayIcon;
  QAction *miShow, *miExit;
  // The RAR component of the window; no task drives it. The outside RAR library is loaded
  // when the window is made at start-up and let go when it is destroyed at the end.
  std::unique_ptr<arc::TUnRar> UnRar1;
  QAction *acRefreshFromFOMS, *acLoadRefreshFromFOMS, *acRefreshFilials, *acStartDealingFilialDB, *acDelFilialFile,
      *acTimerTurnON, *acTimerTurnOFF, *acShowProtocol, *acStop, *acDubl, *acRefreshL, *acZabol, *acLoadLS,
      *UpdateRen, *acSMPImport;

protected:
  void showEvent(QShowEvent* e) override;
  void closeEvent(QCloseEvent* e) override;
  void changeEvent(QEvent* e) override;
  bool eventFilter(QObject* watched, QEvent* e) override;

private:
  void buildWindow();
  QWidget* page(int index);
  QToolButton* actionButton(QWidget* parent, QAction* action, const char* name, int x, int y, int w, int h);
  void connectActions();

  // The timed run, step by step.
  bool runTasks();
  bool openRunConnections();
  void markWaiting();
  void runTask(int task, bool& stop);
  void endOfRun();
  bool ticked(int task) const;
  // The steps the tasks share.
  void beginTask(int task, bool clearMessages);
  void finishTask(int task);
  void taskOutcome(int task, bool ok, QLabel* label, const char* okText, const char* failText);
  void restoreAfterCall();
  // One function per task.
  void runBackupTask(int task);
  void runUpdateTask(bool& stop);
  void runDownloadTask();
  void runRefreshTask();
  void runPrivilegedTask();
  void runFilialTask();
  void runDuplicatesTask(bool& stop);
  void runDiseaseTask(bool& stop);
  void runSmpTask();
  void runXmlTask();
  void runDrugsTask();

  // Checks shared by arming and the run-now actions.
  bool checkConnections(const std::string& lead, bool ibToo);
  bool checkDbfFile(QLineEdit* edit, bool focusOnMissing);
  bool checkZab();
  bool checkUserPass(bool showPage);
  bool checkHttp(bool showPage);
  bool checkSaveAs(bool showPage);

  // The run-now pattern: hourglass, window disabled, messages cleared, call, labels.
  void runNow(int task, const std::function<bool()>& call, QLabel* label, const std::string& ok,
              const std::string& fail);
  void backupNow(int task, QLineEdit* edit, QWidget* page, QLabel* label, const std::string& failure);
  // The file name of backup task 0 or 11 from its edit: a name the operator typed stays as
  // typed; the name the program filled follows the date of each run (the edit shows it).
  std::string backupName(int task, QLineEdit* edit);
  void smpSteps(bool fromScheduler, int& count, std::string& err);
  void deleteSmpFiles(const std::string& folder);

  void setLabel(QLabel* label, const std::string& text);
  void showPageAndFocus(QWidget* pageWidget, QWidget* edit);
  void copyTaskMessages();
  void appendBackupLine(const std::string& fileName);
  void reportException(const std::exception& e);
  // An exception of a type not derived from std::exception.
  void reportUnknownException();
  void ibConnectFailed(const std::exception& e);
  void restoreConnections();
  bool connectIBFirst();
  void startTFOMSDownload(const std::string& url, const std::string& file, const std::string& iniPath);
  TDownLoader* newLoader(const std::string& url, const std::string& file, const std::string& iniPath);
  void buildTray();
  void waitWhile(const std::function<bool()>& busy);
  bool startUpdater(const std::string& path, qint64& pid);
  std::string fileDialog(bool save, const std::string& filter, const std::string& ext, const std::string& title,
                         const std::string& dir, const std::string& file);
  void chooseBackupInto(QLineEdit* edit);
  std::string backupFileName(const std::string& chosen) const;
  void chooseDbfInto(QLineEdit* edit, const std::string& title, const std::string& filter, const std::string& ext);
  std::string connectionName(const std::string& path) const;
  void lvTasksItemChanged(QTreeWidgetItem* item, int column);
  void lvTasksSelectItem();

  shell::IShellData& FData;
  shell::IExtractor& FExtractor;
  shell::IPrompt& FPrompt;
  shell::IClock& FClock;
  std::string FExePath;
  std::string FBackupPath;
  std::string FBackupFilled[2];  // the names the program put into edBackup and edBackup2
  std::string FSMPPath;
  std::unique_ptr<platform::TIniFile> FIni;
  std::vector<std::string> FProtocol;
  std::vector<std::string> FTaskMessages;
  int FPassTries = 3;
  int FRunFromScheduler = 0;
  bool FUpdateDone = false;
  bool FDownloadDone = true;
  bool FUpdateWaiting = false;
  bool FUpdateBusy = false;  // from the start of an update to the end of its completion handler
  QPointer<TDownLoader> FTfomsLoader;
  QPointer<TDownLoader> FUpdateLoader;
  TWindowMessages* FMessages = nullptr;
  std::vector<QIcon> FTrayIcons;
  QDateTime FLastTick;
  bool FActivated = false;
  bool FActivating = false;
  bool FReconnecting = false;
  bool FReconnectFailed = false;
  bool FRunning = false;
  bool FRunCompleted = false;
  bool FBusy = false;
  bool FCloseWanted = false;
  bool FTerminating = false;
  bool FClosed = false;
  int FCursorDepth = 0;
  QPoint FPressPos;
  QWidget* FFocusAfterRun = nullptr;
  QTimer* FActionTimer = nullptr;
  QElapsedTimer FPumpClock;
};

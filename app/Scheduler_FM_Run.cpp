// The main window: the once-a-second timer and the timed run of the ticked tasks.
#include "app/Scheduler_FM.h"

#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <QTimer>

#include "app/MyDLFile.h"
#include "app/Scheduler_FM_Local.h"
#include "app/ShellText.h"
#include "platform/strutil.h"

using namespace shell;
using namespace shell::fm;
using platform::Trim;

void TfmMain::tmTasksTimer() {
  // A tick that arrives while a run or a run-now task pumps messages is not counted: the
  // previous tick stays, so a run time that passes meanwhile is caught at the next tick.
  if (FRunning || FBusy || FActivating || !FActivated) return;
  try {
    const QDateTime now = FClock.now();
    FProtocol.clear();
    pnlTime->setText(now.toString(QStringLiteral("HH:mm:ss")));
    const QDateTime previous = FLastTick;
    FLastTick = now;
    bool tail = true;
    bool ran = false;
    if (RunDue(previous, now, DTime->time().hour(), DTime->time().minute())) {
      tail = false;
      ran = runTasks();
      tail = FRunCompleted;
    }
    if (tail) {
      if (FData.IBConnected()) FData.DisconnectIB();
      if (FData.SQLConnected()) FData.DisconnectSQL();
    }
    // The run left the timer off, as disarming does: the connections come back the same
    // way, so that the run-now actions work at once and not only after the window has been
    // activated again.
    if (ran) restoreConnections();
  } catch (const std::exception& e) {
    reportException(e);
  } catch (...) {
    reportUnknownException();
  }
  if (FCloseWanted && !running()) QTimer::singleShot(0, this, &QWidget::close);
}


// A run: the timer goes off, both connections open, then the ticked tasks in list order and
// the end of the run. False when the connections failed and no task ran.
bool TfmMain::runTasks() {
  FRunCompleted = false;
  tmTasks->stop();
  FRunning = true;
  if (!openRunConnections()) return false;
  try {
    markWaiting();
    bool stop = false;
    // After a termination request no further task starts: those not begun stay waiting,
    // which the end of the run marks as interrupted; the tail then closes the connections.
    for (int t = 0; t < kTaskCount && !stop && !FTerminating; ++t) runTask(t, stop);
    FRunCompleted = !stop;
  } catch (...) {
    endOfRun();
    throw;
  }
  endOfRun();
  return true;
}

// Both connections, always both; a failure ends the run before it starts, with its message.
bool TfmMain::openRunConnections() {
  std::string err;
  bool okSql = false;
  bool okIb = false;
  try {
    okSql = FData.OpenSQLConnection(err, false);
    okIb = FData.OpenIBDatabase(err);
  } catch (...) {
    FRunning = false;
    throw;
  }
  if (okSql && okIb) return true;
  FRunning = false;
  FPrompt.messageBox(W("Не удалось соединиться с БД в задаче актуализации прикрепленного населения:\r") + err,
                     Caption());
  return false;
}

void TfmMain::markWaiting() {
  for (int t = 0; t < kTaskCount; ++t) {
    if (ticked(t)) setStatus(t, StatusWaiting());
  }
  ProcessMessages();
  pnlTime->hide();
}

void TfmMain::endOfRun() {
  pnlTime->hide();
  pgcTasks->setEnabled(true);
  sbDBPath->setEnabled(true);
  DTime->setEnabled(true);
  for (int t = 0; t < kTaskCount; ++t) {
    const std::string s = status(t);
    if (!s.empty() && s != StatusDone()) setStatus(t, StatusInterrupted());
  }
  while (FCursorDepth > 0) SetBusyCursor(false);
  setEnabled(true);
  FRunFromScheduler = 0;
  FRunning = false;
  if (FFocusAfterRun) {
    FFocusAfterRun->setFocus(Qt::OtherFocusReason);
    FFocusAfterRun = nullptr;
  }
  ActionListUpdate();
}

// ---------------------------------------------------------------------------------------------
// The steps every task shares

void TfmMain::beginTask(int t, bool clearMessages) {
  setStatus(t, StatusRunning());
  ProcessMessages();
  if (clearMessages) FTaskMessages.clear();
}

void TfmMain::finishTask(int t) {
  setStatus(t, StatusDone());
  QThread::msleep(1);
  ProcessMessages();
}

// Success: the label, the task's messages into the protocol, the status; failure: the label.
void TfmMain::taskOutcome(int t, bool ok, QLabel* label, const char* okText, const char* failText) {
  if (ok) {
    setLabel(label, W(okText));
    copyTaskMessages();
    finishTask(t);
  } else {
    setLabel(label, W(failText));
  }
}

// The cursor and the window as the protected call of tasks 6 and 7 leaves them.
void TfmMain::restoreAfterCall() {
  while (FCursorDepth > 0) SetBusyCursor(false);
  setEnabled(true);
}

void TfmMain::runTask(int t, bool& stop) {
  if (!ticked(t)) return;
  switch (t) {
    case 0:
    case 11: runBackupTask(t); break;
    case 1: runUpdateTask(stop); break;
    case 2: runDownloadTask(); break;
    case 3: runRefreshTask(); break;
    case 4: runPrivilegedTask(); break;
    case 5: runFilialTask(); break;
    case 6: runDuplicatesTask(stop); break;
    case 7: runDiseaseTask(stop); break;
    case 8: runSmpTask(); break;
    case 9: runXmlTask(); break;
    case 10: runDrugsTask(); break;
    default: break;
  }
}

// ---------------------------------------------------------------------------------------------
// The tasks

// Tasks 0 and 11: the backup at the start and at the end of a run.
void TfmMain::runBackupTask(int t) {
  beginTask(t, false);
  QLineEdit* edit = t == 0 ? edBackup : edBackup2;
  QLabel* label = t == 0 ? lbBack : lbBack2;
  const std::string name = backupName(t, edit);
  std::string err;
  FData.BackupDatabase(FBackupPath, name, err);
  if (err.empty()) {
    appendBackupLine(name);
    setLabel(label, W("Файл резервной копии создан!"));
  } else {
    setLabel(label, t == 0 ? W("Не удалось создать резервную копию. ") + err : W("Не удалось создать резервную копию!"));
  }
  finishTask(t);
}

std::string TfmMain::backupName(int task, QLineEdit* edit) {
  const std::string typed = Trimmed(edit);
  const std::string dated = BackupName(task == 0, FClock.now().date());
  std::string& filled = FBackupFilled[task == 0 ? 0 : 1];
  if (typed.empty()) return dated;
  if (typed != filled) return typed;
  if (filled != dated) {
    filled = dated;
    edit->setText(Q(dated));
  }
  return dated;
}

// Task 1: the program update; a failed update ends the run.
void TfmMain::runUpdateTask(bool& stop) {
  beginTask(1, false);
  // An update the operator started first is waited for; then the run's own.
  waitWhile([this] { return FUpdateBusy; });
  setStatus(1, StatusRunning());
  UpdateRenExecute();
  waitWhile([this] { return FUpdateBusy; });
  if (!FUpdateDone) {
    const QDateTime n = FClock.now();
    FProtocol.push_back(ShortDate(n) + " " + LongTime(n) +
                        W(" Выполнение дальнейших задач остановлено из-за ошибки обновления программы ВИРЕЛ."));
    stop = true;
  }
}

// Task 2: the fund-file download; its completion handler reports.
void TfmMain::runDownloadTask() {
  beginTask(2, true);
  const std::string file = Trimmed(edSaveAs).empty() ? std::string("FileTTF.ZIP") : Trimmed(edSaveAs);
  waitWhile([this] { return !FTfomsLoader.isNull(); });
  startTFOMSDownload(Trimmed(edHTTP), file, FExePath + kMainIni);
  waitWhile([this] { return !FTfomsLoader.isNull(); });
}

void TfmMain::runRefreshTask() {
  beginTask(3, true);
  taskOutcome(3, FData.RefreshFromFOMS(Trimmed(edFileDBF), cbAdr->isChecked()), lbRefr, "Актуализация БД выполнена!",
              "Не удалось выполнить задание актуализации БД!");
}

void TfmMain::runPrivilegedTask() {
  beginTask(4, true);
  taskOutcome(4, FData.RefreshPrivileged(Trimmed(edFileL)), lbRefrLg, "Актуализация БД выполнена!",
              "Не удалось выполнить задание актуализации БД!");
}

// Task 5: the branch merge; its result text becomes the task's messages.
void TfmMain::runFilialTask() {
  beginTask(5, false);
  std::vector<std::string> files;
  for (int i = 0; i < lbFilials->count(); ++i) files.push_back(S(lbFilials->item(i)->text()));
  std::string result;
  FData.DealingFilialDB(true, files, cbKodPat->isChecked(), result);
  FTaskMessages = ParseDelimited(result, ';', '@');
  copyTaskMessages();
  finishTask(5);
  acRefreshFilialsExecute();
}

void TfmMain::runDuplicatesTask(bool& stop) {
  if (!cbFIO->isChecked() && !cbPolice->isChecked() && !cbSNILS->isChecked()) {
    FPrompt.messageBox(W("Не задан тип проверки на дубликаты"), Caption());
    pgcTasks->setCurrentWidget(tsDupe);
    stop = true;
    return;
  }
  beginTask(6, true);
  bool ok = false;
  try {
    ok = FData.SearchDuplicates(cbFIO->isChecked(), cbPolice->isChecked(), cbSNILS->isChecked());
  } catch (...) {
    restoreAfterCall();
    throw;
  }
  restoreAfterCall();
  taskOutcome(6, ok, lDubl, "Поиск дубликатов выполнен!", "Не удалось выполнить задание поиска дубликатов!");
}

void TfmMain::runDiseaseTask(bool& stop) {
  if (!checkZab()) {
    stop = true;
    return;
  }
  beginTask(7, true);
  bool ok = false;
  try {
    ok = FData.FixDiseaseCases(MaskText(edMKB1), MaskText(edMKB2), MaskText(edDop), Text(edYear));
  } catch (...) {
    restoreAfterCall();
    throw;
  }
  restoreAfterCall();
  taskOutcome(7, ok, lZab, "Правка заболеваний выполнена!", "Не удалось выполнить задание правки заболеваний!");
}

// Task 8: the ambulance calls, imported only when the package gave its four files.
void TfmMain::runSmpTask() {
  beginTask(8, false);
  int count = 0;
  std::string err;
  smpSteps(true, count, err);
  if (count != 4) return;
  if (err.empty()) {
    FProtocol.push_back(W("Импорт вызовов СМП выполнен"));
    FProtocol.push_back(" ");
    finishTask(8);
  } else {
    FProtocol.push_back(W("Не выполнен импорт вызовов СМП"));
    FProtocol.push_back(" ");
    setStatus(8, StatusFailed());
  }
}

// Task 9: the XML register; the import reports its own errors.
void TfmMain::runXmlTask() {
  FRunFromScheduler = 1;
  beginTask(9, true);
  FData.ImportXmlRegister(Trimmed(edF2), FRunFromScheduler);
  setLabel(lbreXML, W("Загрузка реестра XML выполнена!"));
  copyTaskMessages();
  finishTask(9);
}

void TfmMain::runDrugsTask() {
  beginTask(10, true);
  taskOutcome(10, FData.LoadDrugs(Trimmed(edFileLS)), lbLoadLS, "Справочник ЛС загружен!",
              "Не удалось выполнить задание!");
}

void TfmMain::deleteSmpFiles(const std::string& folder) {
  for (const char* name : kSmpFiles) {
    const QString path = Q(folder + name);
    if (QFileInfo::exists(path)) QFile::remove(path);
  }
}

void TfmMain::smpSteps(bool fromScheduler, int& count, std::string& err) {
  (void)fromScheduler;
  const std::string archive = Text(ledSMPFileName);
  const std::string folder = ExtractFilePath(archive);
  deleteSmpFiles(folder);
  try {
    count = FExtractor.Extract(archive, folder, "*.*");
    if (count == 4) FData.ImportSMPCalls(folder, err);
  } catch (...) {
    deleteSmpFiles(folder);
    throw;
  }
  deleteSmpFiles(folder);
}



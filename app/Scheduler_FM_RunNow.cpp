// The main window: the run-now actions of the task pages.
#include "app/Scheduler_FM.h"

#include <QThread>
#include <QTimer>

#include <typeinfo>

#include "app/MyDLFile.h"
#include "app/Scheduler_FM_Local.h"
#include "app/ShellText.h"
#include "platform/strutil.h"

using namespace shell;
using namespace shell::fm;
using platform::Trim;

void TfmMain::runNow(int task, const std::function<bool()>& call, QLabel* label, const std::string& ok,
                     const std::string& fail) {
  FBusy = true;
  SetBusyCursor(true);
  ProcessMessages();
  setEnabled(false);
  FTaskMessages.clear();
  try {
    if (call()) {
      setLabel(label, ok);
      copyTaskMessages();
      setStatus(task, StatusDone());
      QThread::msleep(1);
      ProcessMessages();
    } else {
      setLabel(label, fail);
    }
  } catch (const std::exception& e) {
    reportException(e);
  } catch (...) {
    reportUnknownException();
  }
  while (FCursorDepth > 0) SetBusyCursor(false);
  setEnabled(true);
  FBusy = false;
  if (FCloseWanted) QTimer::singleShot(0, this, &QWidget::close);
}

// A run-now handler: refused while anything runs; nothing it calls escapes it (an
// exception of any type, as in the timed run: one escaping a handler would end the program
// without its close).
#define RUN_NOW_GUARD                                                                    \
  if (running()) return;                                                                \
  try {
#define RUN_NOW_END                                                                      \
  }                                                                                     \
  catch (const std::exception& e) {                                                     \
    reportException(e);                                                                 \
  }                                                                                     \
  catch (...) {                                                                         \
    reportUnknownException();                                                           \
  }

void TfmMain::acRefreshFromFOMSExecute() {
  RUN_NOW_GUARD
  if (!checkConnections(W("Не удалось соединиться с БД в задаче актуализации прикрепленного населения:\r"), true))
    return;
  if (!checkDbfFile(edFileDBF, true)) return;
  runNow(3, [this] { return FData.RefreshFromFOMS(Trimmed(edFileDBF), cbAdr->isChecked()); }, lbRefr,
         W("Актуализация БД выполнена!"), W("Не удалось выполнить задание актуализации БД!"));
  RUN_NOW_END
}

void TfmMain::acRefreshLExecute() {
  RUN_NOW_GUARD
  if (!checkConnections(W("Не удалось соединиться с БД в задаче актуализации льготников\r"), true)) return;
  if (!checkDbfFile(edFileL, true)) return;
  runNow(4, [this] { return FData.RefreshPrivileged(Trimmed(edFileL)); }, lbRefrLg, W("Актуализация БД выполнена!"),
         W("Не удалось выполнить задание актуализации БД!"));
  RUN_NOW_END
}

void TfmMain::acDublExecute() {
  RUN_NOW_GUARD
  if (!checkConnections(W("Не удалось соединиться с БД в задаче поиска дубликатов:\r"), true)) return;
  if (!cbFIO->isChecked() && !cbPolice->isChecked() && !cbSNILS->isChecked()) {
    FPrompt.messageBox(W("Не задан тип проверки на дубликаты\r"), Caption());
    pgcTasks->setCurrentWidget(tsDupe);
    return;
  }
  runNow(6, [this] { return FData.SearchDuplicates(cbFIO->isChecked(), cbPolice->isChecked(), cbSNILS->isChecked()); },
         lDubl, W("Поиск дубликатов выполнен!"), W("Не удалось выполнить задание поиска дубликатов!"));
  RUN_NOW_END
}

void TfmMain::acZabolExecute() {
  RUN_NOW_GUARD
  if (!checkConnections(W("Не удалось соединиться с БД в задаче правки заболеваний:\r"), true)) return;
  if (!checkZab()) return;
  if (Trimmed(edYear).empty()) edYear->setText(QString::number(FClock.now().date().year()));
  runNow(7,
         [this] { return FData.FixDiseaseCases(MaskText(edMKB1), MaskText(edMKB2), MaskText(edDop), Text(edYear)); },
         lZab, W("Правка заболеваний выполнена!"), W("Не удалось выполнить задание правки заболеваний!"));
  RUN_NOW_END
}

void TfmMain::acLoadLSExecute() {
  RUN_NOW_GUARD
  if (!checkConnections(W("Не удалось соединиться с БД в задаче загрузки справочника ЛС:\r"), true)) return;
  if (!checkDbfFile(edFileLS, true)) return;
  runNow(10, [this] { return FData.LoadDrugs(Trimmed(edFileLS)); }, lbLoadLS, W("Справочник ЛС загружен!"),
         W("Не удалось загрузить справочник ЛС!"));
  RUN_NOW_END
}

void TfmMain::tbBackup1Click() {
  RUN_NOW_GUARD
  backupNow(0, edBackup, tsActualityFromFOMS, lbBack, W("Не удалось создать резервную копию. "));
  RUN_NOW_END
}

void TfmMain::tbBackup2Click() {
  RUN_NOW_GUARD
  backupNow(11, edBackup2, tsCopy, lbBack2, W("Не удалось создать резервную копию."));
  RUN_NOW_END
}

// Tasks 0 and 11 from their pages: the file name from `edit`, the outcome on `label`,
// whose failure text is followed by the error text of the backup.
void TfmMain::backupNow(int task, QLineEdit* edit, QWidget* page, QLabel* label, const std::string& failure) {
  if (!checkConnections(W("Не удалось соединиться с БД.\r"), true)) return;
  if (Trimmed(edit).empty()) {
    FPrompt.showMessage(W("Не задано имя файла - резервной копии"));
    showPageAndFocus(page, edit);
    return;
  }
  std::string err;
  const std::string name = backupName(task, edit);
  runNow(task,
         [&] {
           FData.BackupDatabase(FBackupPath, name, err);
           if (!err.empty()) return false;
           appendBackupLine(name);
           return true;
         },
         label, W("Файл резервной копии создан!"), failure);
  if (!err.empty()) setLabel(label, failure + err);
}

void TfmMain::acLoadRefreshFromFOMSExecute() {
  RUN_NOW_GUARD
  if (!checkConnections(W("Не удалось соединиться с БД в задаче актуализации прикрепленного населения:\r"), true))
    return;
  if (!checkUserPass(false) || !checkHttp(false) || !checkSaveAs(false)) return;
  SetBusyCursor(true);
  setEnabled(false);
  FTaskMessages.clear();
  const std::string url = Trimmed(edHTTP);
  const std::string file = Trimmed(edSaveAs);
  edSaveAs->setText(Q(file));
  SetBusyCursor(false);
  setEnabled(true);
  startTFOMSDownload(url, file, FExePath + kMainIni);
  RUN_NOW_END
}

void TfmMain::acStartDealingFilialDBExecute() {
  RUN_NOW_GUARD
  std::string err;
  if (FData.OpenSQLConnection(err, true)) {
    FBusy = true;
    SetBusyCursor(true);
    setEnabled(false);
    try {
      std::vector<std::string> files;
      for (int i = 0; i < lbFilials->count(); ++i) files.push_back(S(lbFilials->item(i)->text()));
      std::string result;
      FData.DealingFilialDB(false, files, cbKodPat->isChecked(), result);
      FPrompt.messageBox(result.empty() ? W("Успешное завершение актуализации БД") : result, Caption());
    } catch (const std::exception& e) {
      reportException(e);
    } catch (...) {
      reportUnknownException();
    }
    while (FCursorDepth > 0) SetBusyCursor(false);
    setEnabled(true);
    FBusy = false;
  } else if (FData.SQLConnected()) {
    FPrompt.messageBox(err, Caption());
    FData.DisconnectSQL();
  } else {
    FPrompt.messageBox(W("Не удалось соединиться с БД в задаче актуализации БД из филиалов:\r") + err, Caption());
  }
  RUN_NOW_END
}

void TfmMain::acSMPImportExecute() {
  if (running()) return;
  FBusy = true;
  SetBusyCursor(true);
  const std::string archive = Text(ledSMPFileName);
  try {
    int count = 0;
    std::string err;
    smpSteps(false, count, err);
    if (count == 4) {
      if (!err.empty()) {
        FPrompt.messageBox(err, Caption());
      } else {
        FPrompt.messageBox(W("Успешное завершение импорта вызовов СМП"), Caption());
        ledSMPFileName->clear();
      }
    }
  } catch (const std::exception& e) {
    FPrompt.messageBox(W("Ошибка при разархивировании файла ") + archive + " :" + "\r\r" +
                           platform::ExceptionClassName(e) + "\r" + e.what(),
                       ProgramTitle());
  } catch (...) {
    reportUnknownException();
  }
  while (FCursorDepth > 0) SetBusyCursor(false);
  FBusy = false;
  if (FCloseWanted) QTimer::singleShot(0, this, &QWidget::close);
}

void TfmMain::sbExecClick(bool fromScheduler) {
  if (!fromScheduler) {
    if (running()) return;
    FRunFromScheduler = 0;
    // The operator's import: what its end copies into the protocol is its own lines only.
    FTaskMessages.clear();
    // The import works on IBDB, which the ticks and the end of a run may have closed.
    if (!connectIBFirst()) return;
  }
  FBusy = true;
  try {
    FData.ImportXmlRegister(Trimmed(edF2), FRunFromScheduler);
  } catch (const std::exception& e) {
    reportException(e);
  } catch (...) {
    reportUnknownException();
  }
  while (FCursorDepth > 0) SetBusyCursor(false);
  setEnabled(true);
  FBusy = false;
  if (FCloseWanted) QTimer::singleShot(0, this, &QWidget::close);
}


// The main window: its activation (the settings files into the controls, the connections)
// and its close (the protocol file, the settings written back).
#include "app/Scheduler_FM.h"

#include <QCloseEvent>
#include <QTimer>

#include <typeinfo>

#include "app/MyDLFile.h"
#include "app/Scheduler_FM_Local.h"
#include "app/ShellText.h"
#include "platform/strutil.h"

using namespace shell;
using namespace shell::fm;
using platform::Trim;

void TfmMain::showEvent(QShowEvent* e) {
  QWidget::showEvent(e);
  if (!FActivated && !FActivating) {
    QTimer::singleShot(0, this, [this] {
      if (!FActivated && !FActivating) FormActivate();
    });
  }
  FActionTimer->start();
}

// The message of a failed IBDB connection, as the activation shows it.
void TfmMain::ibConnectFailed(const std::exception& e) {
  FPrompt.messageBox(W("Не удалось соединиться с БД\r") + Text(edDB) + "\r\r" + platform::ExceptionClassName(e) + "\r" +
                         e.what(),
                     Caption());
}

// Each later activation of the window (and the disarming of the timer) gives back the
// connections that the ticks and the end of a run closed: IBDB on the database of edDB and
// the SQL connection, each only when it is closed. The settings files are not read again.
// A failure is shown once; further activations try again quietly until a connection has
// been made, so that closing the message (which activates the window) does not bring it
// back at once.
void TfmMain::restoreConnections() {
  if (!FActivated || FActivating || FReconnecting || FCloseWanted || FClosed || running() || tmTasks->isActive()) {
    return;
  }
  FReconnecting = true;
  const bool quiet = FReconnectFailed;
  bool failed = false;
  if (!Text(edDB).empty()) {
    try {
      if (!FData.IBConnected()) {
        FData.SetIBDatabaseName(connectionName(Text(edDB)));
        FData.ConnectIB();
      }
    } catch (const std::exception& e) {
      failed = true;
      FReconnectFailed = true;
      if (!quiet) ibConnectFailed(e);
    }
  }
  try {
    std::string err;
    // A close asked for while the message above was open: the window closes next, so the
    // SQL connection is not opened for it.
    if (!FCloseWanted && !FData.SQLConnected() && !FData.OpenSQLConnection(err, false)) {
      failed = true;
      FReconnectFailed = true;
      if (!quiet) {
        FPrompt.messageBox(W("Не удалось соединиться с БД в задаче актуализации прикрепленного населения:\r") + err,
                           Caption());
      }
    }
  } catch (const std::exception& e) {
    failed = true;
    FReconnectFailed = true;
    if (!quiet) reportException(e);
  }
  if (!failed) FReconnectFailed = false;
  FReconnecting = false;
  ActionListUpdate();
  if (FCloseWanted) QTimer::singleShot(0, this, &QWidget::close);
}

// A run-now action that works on IBDB: connected first when it is closed, as the activation
// connects it; false (with the activation's message) when that fails.
bool TfmMain::connectIBFirst() {
  if (FData.IBConnected() || Text(edDB).empty()) return true;
  try {
    FData.SetIBDatabaseName(connectionName(Text(edDB)));
    FData.ConnectIB();
    return true;
  } catch (const std::exception& e) {
    ibConnectFailed(e);
    return false;
  }
}

void TfmMain::changeEvent(QEvent* e) {
  QWidget::changeEvent(e);
  if (e->type() == QEvent::ActivationChange && isActiveWindow()) restoreConnections();
}

void TfmMain::FormActivate() {
  if (FActivated || FActivating) return;
  FActivating = true;
  bool closeAfter = false;
  try {
    FRunFromScheduler = 0;
    const std::string iniName = FExePath + kMainIni;
    if (!FileExists(iniName)) {
      FPrompt.showMessage(W("Не найден файл ") + iniName + " !");
      closeAfter = true;
    }
    FIni = std::make_unique<platform::TIniFile>(iniName);
    std::string pach = FIni->ReadString("WORK_PATH", "PachRen", DefaultUpdateUrl());
    if (Trim(pach).empty()) pach = DefaultUpdateUrl();
    txtKestaAdress->setText(Q(pach));
    chkStartRen->setChecked(FIni->ReadBool("WORK_PATH", "StartRen", false));
    FSMPPath = FIni->ReadString("WORK_PATH", "SMP_WORK_PATH", FExePath);
    ledSMPFileName->setText(Q(FSMPPath));
    FTaskMessages.clear();
    FPassTries = 3;
    FProtocol.clear();
    const QDateTime now = FClock.now();
    const std::string startName = BackupName(true, now.date());
    const std::string endName = BackupName(false, now.date());
    platform::TIniFile hospital(FExePath + kHospitalIni);
    DTime->setTime(QTime(now.time().hour(), now.time().minute()));
    ledFilialDBPath->setText(Q(FIni->ReadString("WORK_PATH", "FILIALS_WORK_PATH", FExePath)));
    edFileDBF->setText(Q(FIni->ReadString("WORK_PATH", "DBF_P", FExePath)));
    edFileL->setText(Q(FIni->ReadString("WORK_PATH", "DBF_L", FExePath)));
    edFileLS->setText(Q(FIni->ReadString("WORK_PATH", "DBF_LS", FExePath)));
    // The XML register of page 9: empty unless the settings name one (read only; the
    // operator's choice is not written back).
    edF2->setText(Q(FIni->ReadString("WORK_PATH", "XML_FILE", "")));
    FBackupPath = WithTrailingSlash(FIni->ReadString("BACKUP_Path", "DB_BACKUP_Path_MAIN", FExePath));
    edBackup->setText(Q(startName));
    edBackup2->setText(Q(endName));
    FBackupFilled[0] = startName;
    FBackupFilled[1] = endName;
    if (!Trimmed(ledFilialDBPath).empty() && FolderExists(Trimmed(ledFilialDBPath))) acRefreshFilialsExecute();
    edUser->setText(Q(FIni->ReadString("WORK_PATH", "User", "")));
    edPass->setText(Q(FIni->ReadString("WORK_PATH", "Pass", "")));
    edDB->setText(Q(FIni->ReadString("STAT_MAIN", "Database", "")));
    if (!Text(edDB).empty()) {
      try {
        FData.SetIBDatabaseName(connectionName(Text(edDB)));
        FData.ConnectIB();
      } catch (const std::exception& e) {
        FReconnectFailed = true;
        ibConnectFailed(e);
      }
    }
    lbLPUName->setText(Q(hospital.ReadString("MY_HOSPITAL", "NAME_HOSPITAL", "")));
    edLPU->setText(Q(platform::IntToStr(hospital.ReadInteger("MY_HOSPITAL", "KOD_HOSPITAL", 0))));
    {
      std::string padded;
      edHTTP->setText(Q(FundAddress(Text(edLPU), padded)));
      if (!padded.empty()) edLPU->setText(Q(padded));
    }
    edSaveAs->setText(Q(FExePath + "FileTFOMS.dat"));
    edDop->setText(QStringLiteral("10"));
    edMKB1->setText(QStringLiteral("A00"));
    edMKB2->setText(QStringLiteral("T98.3"));
    edYear->setText(QString::number(now.date().year()));
    lvTasks->setCurrentItem(lvTasks->topLevelItem(0));
    lvTasks->setFocus(Qt::OtherFocusReason);
    std::string err;
    if (!FData.OpenSQLConnection(err, false)) {
      FReconnectFailed = true;
      FPrompt.messageBox(W("Не удалось соединиться с БД в задаче актуализации прикрепленного населения:\r") + err,
                         Caption());
    }
  } catch (const std::exception& e) {
    reportException(e);
  }
  FActivating = false;
  FActivated = true;
  ActionListUpdate();
  if (closeAfter || FCloseWanted) close();
}

void TfmMain::closeEvent(QCloseEvent* e) {
  if (FClosed) {
    e->accept();
    return;
  }
  if (running() || FActivating || FReconnecting || FUpdateWaiting) {
    // The run's lists stay in use until the run ends, the activation fills the controls
    // that the close writes back, and a reconnection would open a connection again after
    // the close (its message box is open): the window closes when they are done.
    FCloseWanted = true;
    e->ignore();
    return;
  }
  tmTasks->stop();
  FActionTimer->stop();
  auto guarded = [this](const std::function<void()>& step) {
    try {
      step();
    } catch (const std::exception& ex) {
      FPrompt.messageBox(platform::ExceptionClassName(ex) + "\r" + ex.what(),
                         Caption());
    }
  };
  if (FActivated) {
    // Into the current folder by a name relative to it: the folder's own path need not be
    // one that CP1251 can hold.
    guarded([this] { SaveLines(W("Протокол.txt"), FProtocol); });
  }
  FProtocol.clear();
  FTaskMessages.clear();
  guarded([this] {
    if (FData.IBConnected()) FData.DisconnectIB();
  });
  guarded([this] {
    if (FData.SQLConnected()) FData.DisconnectSQL();
  });
  if (FIni) {
    platform::TIniFile& ini = *FIni;
    const std::string iniName = FExePath + kMainIni;
    // Every key goes to the one file: what stops one (a read-only file, a full disk) stops
    // them all, and it is told once, with the first failure, not once per key.
    std::string unwritten;
    auto put = [&](const char* key, const std::string& value) {
      try {
        ini.WriteString("WORK_PATH", key, value);
      } catch (const std::exception& ex) {
        if (unwritten.empty()) unwritten = platform::ExceptionClassName(ex) + "\r" + ex.what();
      }
    };
    for (auto [key, edit] : {std::pair{"DBF_P", edFileDBF}, std::pair{"DBF_L", edFileL}, std::pair{"DBF_LS", edFileLS}}) {
      if (!Trimmed(edit).empty() && FileExists(iniName)) put(key, Trimmed(edit));
    }
    if (!Trimmed(ledFilialDBPath).empty() && FolderExists(Trimmed(ledFilialDBPath))) {
      put("FILIALS_WORK_PATH", Trimmed(ledFilialDBPath));
    }
    if (!Trimmed(edHTTP).empty()) put("HTTP", Trimmed(edHTTP));
    if (!Trimmed(ledSMPFileName).empty()) {
      const std::string folder = ExtractFilePath(Trimmed(ledSMPFileName));
      if (FolderExists(folder)) put("SMP_WORK_PATH", folder);
    }
    if (!Trimmed(edUser).empty()) put("User", Trimmed(edUser));
    put("PachRen", Text(txtKestaAdress));
    put("StartRen", chkStartRen->isChecked() ? "1" : "0");
    if (!unwritten.empty()) {
      FPrompt.messageBox(W("Не удалось сохранить настройки в файле ") + iniName + "\r\r" + unwritten, Caption());
    }
  }
  FIni.reset();
  FClosed = true;
  e->accept();
}


// The main window: arming and disarming the timer with the checks of the ticked tasks
// (shared with the run-now actions), and the rule that enables the actions.
#include "app/Scheduler_FM.h"

#include <QTimer>

#include "app/MyDLFile.h"
#include "app/Scheduler_FM_Local.h"
#include "app/ShellText.h"
#include "platform/strutil.h"

using namespace shell;
using namespace shell::fm;
using platform::Trim;

// ---------------------------------------------------------------------------------------------
// Checks

bool TfmMain::checkConnections(const std::string& lead, bool ibToo) {
  std::string err;
  const bool okSql = FData.OpenSQLConnection(err, false);
  const bool okIb = ibToo ? FData.OpenIBDatabase(err) : true;
  if (okSql && okIb) return true;
  FPrompt.messageBox(lead + err, Caption());
  return false;
}

bool TfmMain::checkDbfFile(QLineEdit* edit, bool focusOnMissing) {
  QWidget* pg = edit->parentWidget();
  while (pg && pgcTasks->indexOf(pg) < 0) pg = pg->parentWidget();
  const std::string name = Trimmed(edit);
  if (name.empty()) {
    FPrompt.showMessage(W("Не задан файл DBF"));
    showPageAndFocus(pg, edit);
    return false;
  }
  if (!FileExists(name)) {
    FPrompt.showMessage(W("Отсутствует файл ") + "\"" + name + "\"");
    if (focusOnMissing) showPageAndFocus(pg, edit);
    return false;
  }
  return true;
}

bool TfmMain::checkZab() {
  auto fail = [&](const char* text, QLineEdit* edit) {
    FPrompt.showMessage(W(text));
    showPageAndFocus(tsZab, edit);
    return false;
  };
  if (Trim(MaskText(edMKB1)) == ".") return fail("Не задана нижняя граница диапазона МКБ", edMKB1);
  if (Trim(MaskText(edMKB2)) == ".") return fail("Не задана верхняя граница диапазона МКБ", edMKB2);
  if (Trim(MaskText(edDop)).empty()) return fail("Не задан проверочный интервал", edDop);
  if (!(MaskText(edMKB1) < MaskText(edMKB2))) return fail("Нижняя граница больше верхней!", edMKB1);
  return true;
}

bool TfmMain::checkUserPass(bool showPage) {
  if (!(Trimmed(edPass).empty() && !Trimmed(edUser).empty())) return true;
  FPrompt.showMessage(W("Не задан пароль!"));
  showPageAndFocus(showPage ? tsLoadFile : nullptr, edPass);
  --FPassTries;
  if (FPassTries > 0) return false;
  // After the third refusal the user name is dropped and the checks go on; the count
  // starts again for the next time a user name is typed.
  edUser->clear();
  FPassTries = 3;
  return true;
}

bool TfmMain::checkHttp(bool showPage) {
  if (!Trimmed(edHTTP).empty()) return true;
  FPrompt.showMessage(W("Не задан адрес файла!"));
  showPageAndFocus(showPage ? tsLoadFile : nullptr, edHTTP);
  std::string padded;
  edHTTP->setText(Q(FundAddress(Text(edLPU), padded)));
  if (!padded.empty()) edLPU->setText(Q(padded));
  return false;
}

bool TfmMain::checkSaveAs(bool showPage) {
  if (!Trimmed(edSaveAs).empty()) return true;
  FPrompt.showMessage(W("Не задано имя файла для сохранения!"));
  showPageAndFocus(showPage ? tsLoadFile : nullptr, edSaveAs);
  edSaveAs->setText(QStringLiteral("FileTFOMS.dat"));
  return false;
}

// ---------------------------------------------------------------------------------------------
// Arming

void TfmMain::acTimerTurnONExecute() {
  if (running() || tmTasks->isActive()) return;
  FBusy = true;
  bool armed = false;
  try {
    for (int t = 0; t < kTaskCount; ++t) setStatus(t, std::string());
    bool any = false;
    for (int t = 0; t < kTaskCount; ++t) any = any || ticked(t);
    if (!any) {
      FPrompt.showMessage(W("Нет выбранных заданий"));
    } else {
      armed = true;
      static const int kOrder[] = {0, 11, 2, 3, 4, 6, 5, 8, 9, 10};
      for (int t : kOrder) {
        if (!ticked(t)) continue;
        bool ok = true;
        switch (t) {
          case 0:
          case 11: {
            QLineEdit* edit = t == 0 ? edBackup : edBackup2;
            if (Trimmed(edit).empty()) {
              FPrompt.showMessage(W("Не задано имя файла - резервной копии"));
              showPageAndFocus(t == 0 ? tsActualityFromFOMS : tsCopy, edit);
              ok = false;
            }
            break;
          }
          case 2:
            ok = checkUserPass(true) && checkHttp(true) && checkSaveAs(true);
            break;
          case 3:
            ok = checkConnections(W("Не удалось соединиться с БД в задаче актуализации прикрепленного населения:\r"),
                                  true) &&
                 checkDbfFile(edFileDBF, false);
            break;
          case 4:
            ok = checkConnections(W("Не удалось соединиться с БД в задаче актуализации льготников:\r"), true) &&
                 checkDbfFile(edFileL, false);
            break;
          case 6:
            ok = checkConnections(W("Не удалось соединиться с БД в задаче проверки на дубликаты\r"), true);
            if (ok && !cbFIO->isChecked() && !cbPolice->isChecked() && !cbSNILS->isChecked()) {
              FPrompt.messageBox(W("Не задан тип проверки на дубликаты\r"), Caption());
              pgcTasks->setCurrentWidget(tsDupe);
              ok = false;
            }
            break;
          case 5:
            if (Trimmed(ledFilialDBPath).empty()) {
              FPrompt.messageBox(W("Актуализация БД из филиалов: не задан каталог\r"), Caption());
              pgcTasks->setCurrentWidget(tsFilialsActualization);
              ok = false;
            } else if (lbFilials->count() == 0) {
              FPrompt.messageBox(W("Актуализация БД из филиалов: список файлов из филиалов ПУСТОЙ\r"), Caption());
              pgcTasks->setCurrentWidget(tsFilialsActualization);
              ok = false;
            } else {
              ok = checkConnections(W("Не удалось соединиться с БД в задаче актуализации БД из филиалов:\r"), false);
            }
            break;
          case 8:
            ok = checkConnections(W("Не удалось соединиться с БД в задаче импорта вызовов СМП:\r"), true);
            break;
          case 9:
            ok = checkConnections(W("Не удалось соединиться с БД в задаче загрузки реестра XML:\r"), true);
            if (ok && Trimmed(edF2).empty()) {
              FPrompt.showMessage(W("Не задан файл XML"));
              showPageAndFocus(TabSheet1, edF2);
              ok = false;
            }
            break;
          case 10:
            ok = checkDbfFile(edFileLS, true);
            break;
          default:
            break;
        }
        if (!ok) {
          armed = false;
          break;
        }
      }
    }
  } catch (const std::exception& e) {
    armed = false;
    reportException(e);
  }
  FBusy = false;
  if (armed) {
    FLastTick = FClock.now();
    tmTasks->start();
    pnlTime->setText(FLastTick.toString(QStringLiteral("HH:mm:ss")));
    pnlTime->show();
    pgcTasks->setEnabled(false);
    sbDBPath->setEnabled(false);
    DTime->setEnabled(false);
  }
  ActionListUpdate();
  if (FCloseWanted) QTimer::singleShot(0, this, &QWidget::close);
}

void TfmMain::acTimerTurnOFFExecute() {
  tmTasks->stop();
  pgcTasks->setEnabled(true);
  pnlTime->hide();
  sbDBPath->setEnabled(true);
  DTime->setEnabled(true);
  // Back to the look before arming, with the connections that the ticks closed.
  restoreConnections();
  ActionListUpdate();
}

void TfmMain::acStopExecute() { pgcTasks->setCurrentWidget(tsTovi); }

// ---------------------------------------------------------------------------------------------
// Action enabling

void TfmMain::ActionListUpdate() {
  ActionState s;
  s.page = pgcTasks->currentIndex();
  s.kestaAddressSet = !Trimmed(txtKestaAdress).empty();
  s.httpSet = !Trimmed(edHTTP).empty();
  s.userSet = !Trimmed(edUser).empty();
  s.passSet = !Trimmed(edPass).empty();
  s.filialFolderExists = FolderExists(Trimmed(ledFilialDBPath));
  s.smpFileSet = !Text(ledSMPFileName).empty();
  s.timerOn = tmTasks->isActive();
  s.running = running();
  if (s.page == 2 || s.page == 3) {
    try {
      s.ibConnected = FData.IBConnected();
    } catch (const std::exception&) {
      s.ibConnected = false;
    }
  }
  const ActionFlags f = ComputeActions(s);
  auto apply = [](QAction* a, const std::optional<bool>& v) {
    if (v) a->setEnabled(*v);
  };
  apply(UpdateRen, f.UpdateRen);
  apply(acRefreshFromFOMS, f.acRefreshFromFOMS);
  apply(acLoadRefreshFromFOMS, f.acLoadRefreshFromFOMS);
  apply(acRefreshFilials, f.acRefreshFilials);
  apply(acStartDealingFilialDB, f.acStartDealingFilialDB);
  apply(acDelFilialFile, f.acDelFilialFile);
  apply(acSMPImport, f.acSMPImport);
  acTimerTurnOFF->setEnabled(f.acTimerTurnOFF);
  acTimerTurnON->setEnabled(f.acTimerTurnON);
  // A download of each kind at a time.
  if (FUpdateBusy) UpdateRen->setEnabled(false);
  if (FTfomsLoader) acLoadRefreshFromFOMS->setEnabled(false);
}


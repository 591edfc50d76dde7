// The main window: the file choosers, the branch archive list, the task list, the protocol
// window and the tray menu.
#include "app/Scheduler_FM.h"

#include <QCoreApplication>
#include <QDir>
#include <QKeyEvent>
#include <QMouseEvent>

#include "app/List_FM.h"
#include "app/MyDLFile.h"
#include "app/Scheduler_FM_Local.h"
#include "app/ShellText.h"
#include "platform/strutil.h"

using namespace shell;
using namespace shell::fm;
using platform::Trim;

// ---------------------------------------------------------------------------------------------
// Choosers

std::string TfmMain::fileDialog(bool save, const std::string& filter, const std::string& ext,
                                const std::string& title, const std::string& dir, const std::string& file) {
  FileDialogRequest r{filter, ext, title, dir, file};
  std::string chosen;
  try {
    const bool ok = save ? FPrompt.saveFile(r, chosen) : FPrompt.openFile(r, chosen);
    if (!ok) chosen.clear();
  } catch (const std::exception& e) {
    reportException(e);
    chosen.clear();
  }
  return chosen;
}

void TfmMain::chooseDbfInto(QLineEdit* edit, const std::string& title, const std::string& filter,
                            const std::string& ext) {
  const std::string current = Trimmed(edit);
  std::string dir = FExePath;
  std::string file;
  if (!current.empty()) {
    dir = ExtractFilePath(current);
    file = current.substr(dir.size());
    if (dir.empty()) dir = FExePath;
  }
  const std::string chosen = fileDialog(false, filter, ext, title, dir, file);
  if (!chosen.empty()) edit->setText(Q(chosen));
}

void TfmMain::sbDBPathClick() {
  const std::string chosen =
      fileDialog(false, W("Файлы *.GDB, *.FDB|*.gdb;*.fdb"), "gdb", W("Выбор файла БД статистики"), FExePath, "");
  if (chosen.empty()) return;
  edDB->setText(Q(chosen));
  try {
    if (FData.IBConnected()) FData.DisconnectIB();
    FData.SetIBDatabaseName(connectionName(chosen));
    const std::string host = FIni ? FIni->ReadString("DB_PCName", "DB_PCName", "LocalHost") : "LocalHost";
    FData.UseDatabase(host, chosen);
  } catch (const std::exception& e) {
    reportException(e);
  }
  ActionListUpdate();
}

void TfmMain::sbOpenDBFClick() {
  chooseDbfInto(edFileDBF, W("Файл прикрепленного населения ТФОМС"), W("Файлы *.DBF|*.dbf"), "dbf");
}
void TfmMain::sbOpenLClick() { chooseDbfInto(edFileL, W("Файл льготников"), W("Файлы *.DBF|*.dbf"), "dbf"); }
void TfmMain::sbOpenLSClick() { chooseDbfInto(edFileLS, W("Справочник ЛСС"), W("Файлы *.DBF|*.dbf"), "dbf"); }
void TfmMain::sbOpen2Click() { chooseDbfInto(edF2, W("Файл реестра XML"), W("Файлы *.XML|*.xml"), "xml"); }

// The backup joins the file name to the backup folder: a file chosen inside that folder is
// stored by its name there, any other by its full path, which the join takes as it stands.
std::string TfmMain::backupFileName(const std::string& chosen) const {
  const QString folder = QDir::cleanPath(Q(FBackupPath));
  const QString file = QDir::cleanPath(Q(chosen));
  const QString prefix = folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/');
  if (!folder.isEmpty() && file.startsWith(prefix) && file.size() > prefix.size()) return S(file.mid(prefix.size()));
  return chosen;
}

void TfmMain::chooseBackupInto(QLineEdit* edit) {
  const std::string chosen = fileDialog(false, W("Файлы *.GBK|*.gbk"), "gbk", W("Файл резервной копии БД"),
                                        FBackupPath, Trimmed(edit).empty() ? "" : Text(edit));
  if (!chosen.empty()) edit->setText(Q(backupFileName(chosen)));
}

void TfmMain::sbOpenBClick() { chooseBackupInto(edBackup); }
void TfmMain::sbOpenB2Click() { chooseBackupInto(edBackup2); }

void TfmMain::sbLoadSMPFileClick() {
  const std::string chosen = fileDialog(false, W("Файлы *.ZIP|*.zip"), "zip", W("ZIP-Файл данных СМП"), FSMPPath, "");
  if (!chosen.empty()) ledSMPFileName->setText(Q(chosen));
}

void TfmMain::sbtSaveAsClick() {
  const std::string chosen = fileDialog(true, W("Все файлы (*.*)|*.*"), "", W("Сохранить в файл..."), FExePath, "");
  if (!chosen.empty()) edSaveAs->setText(Q(chosen));
}

// ---------------------------------------------------------------------------------------------
// Branch archive list

void TfmMain::acRefreshFilialsExecute() {
  lbFilials->clear();
  const std::string folder = Trimmed(ledFilialDBPath);
  if (folder.empty()) return;
  QDir dir(Q(folder));
  if (!dir.exists()) return;
  const QStringList names =
      dir.entryList({QStringLiteral("*.zip")}, QDir::Files | QDir::Hidden, QDir::Name | QDir::IgnoreCase);
  const std::string prefix = WithTrailingSlash(folder);
  for (const QString& n : names) lbFilials->addItem(Q(prefix + S(n)));
  if (lbFilials->count() > 0) lbFilials->setCurrentRow(0);
  ActionListUpdate();
}

void TfmMain::acDelFilialFileExecute() {
  const int index = lbFilials->currentRow();
  if (index < 0 || index >= lbFilials->count()) return;
  delete lbFilials->takeItem(index);
  if (lbFilials->count() == 0) return;
  lbFilials->setCurrentRow(index < lbFilials->count() ? index : lbFilials->count() - 1);
}

void TfmMain::sbFilialDBPathClick() {
  std::string path = Trimmed(ledFilialDBPath);
  bool ok = false;
  try {
    ok = FPrompt.browseFolder("", path);
  } catch (const std::exception& e) {
    reportException(e);
  }
  if (!ok) return;
  ledFilialDBPath->setText(Q(path));
  acRefreshFilialsExecute();
}

// ---------------------------------------------------------------------------------------------
// Task list

void TfmMain::lvTasksSelectItem() {
  QTreeWidgetItem* item = lvTasks->currentItem();
  if (!item) return;
  const int index = lvTasks->indexOfTopLevelItem(item);
  if (index >= 0) pgcTasks->setCurrentIndex(index);
}

void TfmMain::lvTasksItemChanged(QTreeWidgetItem* item, int column) {
  if (column != 0 || !item) return;
  QSignalBlocker block(lvTasks);
  lvTasks->clearSelection();
  lvTasks->setCurrentItem(item);
  item->setSelected(true);
  pgcTasks->setCurrentIndex(lvTasks->indexOfTopLevelItem(item));
}

bool TfmMain::eventFilter(QObject* watched, QEvent* e) {
  if (watched == lvTasks->viewport()) {
    if (e->type() == QEvent::MouseButtonPress) {
      const auto* me = static_cast<QMouseEvent*>(e);
      FPressPos = me->position().toPoint();
      QTreeWidgetItem* under = lvTasks->itemAt(FPressPos);
      if (under && lvTasks->currentItem() && under != lvTasks->currentItem()) {
        {
          QSignalBlocker block(lvTasks);
          lvTasks->clearSelection();
        }
        lvTasks->setCurrentItem(under);
        lvTasks->setFocus(Qt::MouseFocusReason);
      }
    } else if (e->type() == QEvent::MouseButtonDblClick) {
      QTreeWidgetItem* under = lvTasks->itemAt(FPressPos);
      if (under) under->setCheckState(0, under->checkState(0) == Qt::Checked ? Qt::Unchecked : Qt::Checked);
      return true;
    }
    return false;
  }
  if ((watched == edMKB1 || watched == edMKB2) && e->type() == QEvent::KeyPress) {
    auto* ke = static_cast<QKeyEvent*>(e);
    const QString text = ke->text();
    if (text.size() == 1) {
      const char16_t latin = LatinForCyrillicKey(text.at(0).unicode());
      if (latin != 0) {
        const int key = Qt::Key_A + (QChar(latin).toUpper().unicode() - u'A');
        QKeyEvent replaced(QEvent::KeyPress, key, ke->modifiers(), QString(QChar(latin)));
        QCoreApplication::sendEvent(watched, &replaced);
        return true;
      }
    }
  }
  return QWidget::eventFilter(watched, e);
}

// ---------------------------------------------------------------------------------------------
// Protocol window, tray menu

void TfmMain::acShowProtocolExecute() {
  TListFM dlg(FPrompt, FExePath, FProtocol, this);
  dlg.exec();
}

void TfmMain::miShowClick() {
  if (isVisible()) {
    showNormal();
    raise();
    activateWindow();
  } else {
    show();
  }
}

void TfmMain::miExitClick() { close(); }

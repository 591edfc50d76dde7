#include "app/sdShellDialogs.h"

#include <QApplication>
#include <QDir>
#include <QTimer>

#include "app/ShellText.h"

using shell::Q;
using shell::S;

TsdBrowseDialog::TsdBrowseDialog(QWidget* owner) : QObject(owner), FOwner(owner) {}

bool TsdBrowseDialog::Execute() {
  // Printers, the network neighbourhood and the Internet folder are no folders of the
  // file system here: such a root cannot be obtained.
  if (has(TsdBrowseOption::sdboRestrictedRoot) &&
      (has(TsdBrowseOption::sdboBrowsePrinter) || has(TsdBrowseOption::sdboBrowseNetWork) ||
       has(TsdBrowseOption::sdboBrowseURLs))) {
    return false;
  }
  QWidget* parent = QApplication::activeWindow();
  if (!parent) parent = FOwner;
  QFileDialog dlg(parent, Q(Caption));
  dlg.setFileMode(QFileDialog::Directory);
  dlg.setOption(QFileDialog::ShowDirsOnly, !has(TsdBrowseOption::sdboBrowseFiles));
  if (UseQtDialog) dlg.setOption(QFileDialog::DontUseNativeDialog, true);
  dlg.setWindowModality(Qt::ApplicationModal);
  QString start = Q(Path);
  if (start.isEmpty() || has(TsdBrowseOption::sdboRestrictedRoot)) start = start.isEmpty() ? QDir::homePath() : start;
  dlg.setDirectory(start);
  connect(&dlg, &QFileDialog::currentChanged, this, [this](const QString&) { emit OnSelectedChanged(); });
  connect(&dlg, &QFileDialog::directoryEntered, this, [this](const QString&) { emit OnSelectedChanged(); });
  FDialog = &dlg;
  QTimer::singleShot(0, this, [this] {
    if (FDialog) emit OnInitialized();
  });
  const int rc = dlg.exec();
  FDialog = nullptr;
  if (rc != QDialog::Accepted) return false;
  const QStringList chosen = dlg.selectedFiles();
  std::string path = chosen.isEmpty() ? std::string() : S(QDir::cleanPath(chosen.first()));
  if (has(TsdBrowseOption::sdboIncludeBackSlash) && !path.empty() && path.back() != '/') path += '/';
  Path = path;
  return true;
}

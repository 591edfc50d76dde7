#include "app/ShellPrompt.h"

#include <QDir>
#include <QFileDialog>
#include <QMessageBox>

#include "app/Scheduler_FM.h"
#include "app/ShellText.h"
#include "app/sdShellDialogs.h"
#include "platform/strutil.h"

namespace shell {

QString QtFilter(const std::string& filter) {
  const std::vector<std::string> parts = platform::Split(filter, '|');
  QStringList out;
  for (size_t i = 0; i + 1 < parts.size(); i += 2) {
    QStringList patterns;
    for (const std::string& p : platform::Split(parts[i + 1], ';')) {
      const QString q = Q(p);
      patterns << q;
      if (q.toUpper() != q) patterns << q.toUpper();
    }
    out << Q(parts[i]) + QStringLiteral(" (") + patterns.join(QChar(' ')) + QStringLiteral(")");
  }
  return out.join(QStringLiteral(";;"));
}

void QtPrompt::showMessage(const std::string& text) {
  QMessageBox::information(FOwner, Q(ProgramTitle()), DisplayText(text));
}

void QtPrompt::messageBox(const std::string& text, const std::string& caption) {
  QMessageBox::information(FOwner, Q(caption), DisplayText(text));
}

static bool RunFileDialog(QWidget* owner, const FileDialogRequest& r, bool save, std::string& chosen) {
  QFileDialog dlg(owner, Q(r.title));
  dlg.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
  dlg.setFileMode(save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
  dlg.setNameFilter(QtFilter(r.filter));
  if (!r.defaultExt.empty()) dlg.setDefaultSuffix(Q(r.defaultExt));
  if (!r.initialDir.empty()) dlg.setDirectory(Q(r.initialDir));
  if (!r.fileName.empty()) dlg.selectFile(Q(r.fileName));
  if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty()) return false;
  chosen = S(dlg.selectedFiles().first());
  return true;
}

bool QtPrompt::openFile(const FileDialogRequest& request, std::string& chosen) {
  return RunFileDialog(FOwner, request, false, chosen);
}

bool QtPrompt::saveFile(const FileDialogRequest& request, std::string& chosen) {
  return RunFileDialog(FOwner, request, true, chosen);
}

bool QtPrompt::browseFolder(const std::string& caption, std::string& path) {
  TsdBrowseDialog dlg(FOwner);
  dlg.Caption = caption;
  dlg.Path = path;
  if (!dlg.Execute()) return false;
  path = dlg.Path;
  return true;
}

}  // namespace shell

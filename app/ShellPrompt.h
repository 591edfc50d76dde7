#pragma once
// The real message windows, message boxes and file dialogs of the shell.
#include <QWidget>

#include "app/ShellSeams.h"

namespace shell {

// "Desc|pattern[|Desc|pattern]" as a Qt filter; each pattern also in upper case, since
// file names here are case-sensitive.
QString QtFilter(const std::string& filter);

class QtPrompt : public IPrompt {
public:
  explicit QtPrompt(QWidget* owner = nullptr) : FOwner(owner) {}
  void setOwner(QWidget* owner) { FOwner = owner; }

  void showMessage(const std::string& text) override;
  void messageBox(const std::string& text, const std::string& caption) override;
  bool openFile(const FileDialogRequest& request, std::string& chosen) override;
  bool saveFile(const FileDialogRequest& request, std::string& chosen) override;
  bool browseFolder(const std::string& caption, std::string& path) override;

private:
  QWidget* FOwner;
};

}  // namespace shell

#pragma once
// TfrmSetCon: the network settings dialog. It edits section PROXY of "Morqa.ini" in the
// program's folder: whether the downloads go through a proxy, its server and port, and
// the proxy user with the password, which the file keeps scrambled by XorString.
#include <QCheckBox>
#include <QDialog>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QWidget>

#include <string>
#include <string_view>

#include "app/ShellSeams.h"

namespace shell {

// The key the proxy password is scrambled with.
inline constexpr const char* kProxyPassKey = "0638";

// Repeating-key XOR: character i of the text with character i of the key repeated to the
// text's length. The same call scrambles and descrambles. An empty key gives the text.
std::string XorString(std::string_view text, std::string_view key);

// True when the scrambled form of this password survives a settings file: the file keeps
// a value up to the end of its line, without blanks or control characters at either end
// and without a pair of enclosing quotes, so a password that scrambles to such a value
// would come back cut or changed.
bool ProxyPassStorable(std::string_view plain);

// The PROXY section as the downloads read it (the password descrambled).
struct ProxySettings {
  bool UseProxy = false;
  bool UseAutorisation = false;
  std::string Server;
  int32_t Port = 0;
  std::string User;
  std::string Pass;
};
ProxySettings ReadProxySettings(const std::string& iniFileName);

}  // namespace shell

class TfrmSetCon : public QDialog {
  Q_OBJECT

public:
  // exePath: the program's folder (CP1251); the settings are those of its "Morqa.ini".
  TfrmSetCon(shell::IPrompt& prompt, std::string exePath, QWidget* parent = nullptr);

  void FormCreate();
  void LoadSettings();
  void SaveSettings();
  void chkUseProxyClick();
  void chkAutoClick();
  void cmdSaveClick();

  std::string iniFileName() const;

  QCheckBox *chkUseProxy, *chkAuto;
  QGroupBox* grbProxy;
  QWidget* pnlAuto;
  QLineEdit *txtServer, *txtPort, *txtUser, *txtPass;
  QPushButton* cmdSave;

private:
  shell::IPrompt& FPrompt;
  std::string FExePath;
};

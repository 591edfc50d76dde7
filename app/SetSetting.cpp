#include "app/SetSetting.h"

#include <QLabel>

#include "app/ShellText.h"
#include "platform/inifile.h"
#include "platform/strutil.h"

using namespace shell;

namespace shell {

std::string XorString(std::string_view text, std::string_view key) {
  std::string r(text);
  if (key.empty()) return r;
  for (size_t i = 0; i < r.size(); ++i) r[i] = static_cast<char>(r[i] ^ key[i % key.size()]);
  return r;
}

bool ProxyPassStorable(std::string_view plain) {
  const std::string s = XorString(plain, kProxyPassKey);
  if (s.empty()) return true;
  for (char c : s) {
    if (c == '\0' || c == '\n' || c == '\r') return false;
  }
  auto blank = [](char c) { return static_cast<unsigned char>(c) <= 0x20; };
  if (blank(s.front()) || blank(s.back())) return false;
  if (s.size() >= 2 && (s.front() == '"' || s.front() == '\'') && s.back() == s.front()) return false;
  return true;
}

ProxySettings ReadProxySettings(const std::string& iniFileName) {
  platform::TIniFile ini(iniFileName);
  ProxySettings p;
  p.UseProxy = ini.ReadBool("PROXY", "UseProxy", false);
  p.UseAutorisation = ini.ReadBool("PROXY", "UseAutorisation", false);
  p.Server = ini.ReadString("PROXY", "Server", "");
  p.Port = ini.ReadInteger("PROXY", "Port", 0);
  p.User = ini.ReadString("PROXY", "User", "");
  p.Pass = XorString(ini.ReadString("PROXY", "Pass", ""), kProxyPassKey);
  return p;
}

}  // namespace shell

namespace {

QLabel* Label(QWidget* parent, const char* text, int x, int y, int w) {
  auto* l = new QLabel(QString::fromUtf8(text), parent);
  l->setGeometry(x, y, w, 18);
  return l;
}

QLineEdit* Edit(QWidget* parent, const char* name, int x, int y, int w) {
  auto* e = new QLineEdit(parent);
  e->setObjectName(QString::fromLatin1(name));
  e->setGeometry(x, y, w, 22);
  return e;
}

}  // namespace

TfrmSetCon::TfrmSetCon(IPrompt& prompt, std::string exePath, QWidget* parent)
    : QDialog(parent), FPrompt(prompt), FExePath(WithTrailingSlash(exePath)) {
  setObjectName(QStringLiteral("frmSetCon"));
  setWindowTitle(QString::fromUtf8("Настройка сети"));
  setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
  setFixedSize(241, 271);

  chkUseProxy = new QCheckBox(QString::fromUtf8("Использовать прокси"), this);
  chkUseProxy->setObjectName(QStringLiteral("chkUseProxy"));
  chkUseProxy->setGeometry(8, 8, 225, 20);

  grbProxy = new QGroupBox(this);
  grbProxy->setObjectName(QStringLiteral("grbProxy"));
  grbProxy->setGeometry(8, 32, 225, 196);
  Label(grbProxy, "Сервер", 8, 12, 100);
  txtServer = Edit(grbProxy, "txtServer", 8, 30, 209);
  Label(grbProxy, "Порт", 8, 56, 100);
  txtPort = Edit(grbProxy, "txtPort", 8, 74, 80);
  chkAuto = new QCheckBox(QString::fromUtf8("Авторизация"), grbProxy);
  chkAuto->setObjectName(QStringLiteral("chkAuto"));
  chkAuto->setGeometry(8, 100, 209, 20);
  pnlAuto = new QWidget(grbProxy);
  pnlAuto->setObjectName(QStringLiteral("pnlAuto"));
  pnlAuto->setGeometry(4, 122, 217, 70);
  Label(pnlAuto, "Пользователь", 4, 0, 100);
  txtUser = Edit(pnlAuto, "txtUser", 4, 18, 209);
  Label(pnlAuto, "Пароль", 4, 42, 60);
  txtPass = Edit(pnlAuto, "txtPass", 70, 40, 143);
  txtPass->setEchoMode(QLineEdit::Password);
  grbProxy->setEnabled(false);
  pnlAuto->setEnabled(false);

  cmdSave = new QPushButton(QString::fromUtf8("Сохранить"), this);
  cmdSave->setObjectName(QStringLiteral("cmdSave"));
  cmdSave->setGeometry(74, 238, 93, 25);
  cmdSave->setAutoDefault(false);

  // Clicks and programmatic changes alike (the loading sets the boxes too).
  connect(chkUseProxy, &QCheckBox::toggled, this, [this] { chkUseProxyClick(); });
  connect(chkAuto, &QCheckBox::toggled, this, [this] { chkAutoClick(); });
  connect(cmdSave, &QPushButton::clicked, this, [this] { cmdSaveClick(); });

  FormCreate();
}

std::string TfrmSetCon::iniFileName() const { return FExePath + "Morqa.ini"; }

void TfrmSetCon::FormCreate() { LoadSettings(); }

void TfrmSetCon::LoadSettings() {
  platform::TIniFile ini(iniFileName());
  chkUseProxy->setChecked(ini.ReadBool("PROXY", "UseProxy", false));
  chkAuto->setChecked(ini.ReadBool("PROXY", "UseAutorisation", false));
  chkUseProxyClick();
  chkAutoClick();
  txtServer->setText(Q(ini.ReadString("PROXY", "Server", "")));
  txtPort->setText(Q(ini.ReadString("PROXY", "Port", "")));
  txtUser->setText(Q(ini.ReadString("PROXY", "User", "")));
  txtPass->setText(Q(XorString(ini.ReadString("PROXY", "Pass", ""), kProxyPassKey)));
}

void TfrmSetCon::SaveSettings() {
  platform::TIniFile ini(iniFileName());
  ini.WriteBool("PROXY", "UseProxy", chkUseProxy->isChecked());
  ini.WriteBool("PROXY", "UseAutorisation", chkAuto->isChecked());
  ini.WriteString("PROXY", "Server", S(txtServer->text()));
  ini.WriteString("PROXY", "Port", S(txtPort->text()));
  ini.WriteString("PROXY", "User", S(txtUser->text()));
  ini.WriteString("PROXY", "Pass", XorString(S(txtPass->text()), kProxyPassKey));
}

void TfrmSetCon::chkUseProxyClick() { grbProxy->setEnabled(chkUseProxy->isChecked()); }
void TfrmSetCon::chkAutoClick() { pnlAuto->setEnabled(chkAuto->isChecked()); }

void TfrmSetCon::cmdSaveClick() {
  using platform::Trim;
  if (chkUseProxy->isChecked() && (Trim(S(txtServer->text())).empty() || Trim(S(txtPort->text())).empty())) {
    FPrompt.showMessage(W("Необходимо указать Сервер и Порт."));
    return;
  }
  if (chkAuto->isChecked() && Trim(S(txtUser->text())).empty()) {
    FPrompt.showMessage(W("Необходимо указать имя пользователя."));
    return;
  }
  // A password whose scrambled form the settings file cannot keep would be stored cut.
  if (!ProxyPassStorable(S(txtPass->text()))) {
    FPrompt.showMessage(W("Этот пароль нельзя сохранить в файле настроек: измените его."));
    txtPass->setFocus(Qt::OtherFocusReason);
    return;
  }
  try {
    SaveSettings();
  } catch (const std::exception& e) {
    FPrompt.showMessage(platform::describe(e));
  }
}

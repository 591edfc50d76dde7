// The network settings dialog and the scrambling of the proxy password.
#include <gtest/gtest.h>

#include "app/SetSetting.h"
#include "app/ShellText.h"
#include "shell_fakes.h"

namespace {

using namespace testshell;
using shell::Q;
using shell::S;
using shell::XorString;

TEST(XorString, RepeatsTheKeyOverTheText) {
  struct Case {
    std::string text, key, scrambled;
  } cases[] = {
      {"", "0638", ""},
      {"A", "0638", std::string(1, 'A' ^ '0')},
      {"abcd", "0638", {char('a' ^ '0'), char('b' ^ '6'), char('c' ^ '3'), char('d' ^ '8')}},
      // The fifth character is combined with the key's first again.
      {"abcde", "0638", {char('a' ^ '0'), char('b' ^ '6'), char('c' ^ '3'), char('d' ^ '8'), char('e' ^ '0')}},
      {"\xCF\xE0\xF0", "0638", {char(0xCF ^ '0'), char(0xE0 ^ '6'), char(0xF0 ^ '3')}},
      {"abc", "", "abc"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(XorString(c.text, c.key), c.scrambled) << c.text;
    EXPECT_EQ(XorString(XorString(c.text, c.key), c.key), c.text) << c.text;
  }
}

TEST(XorString, PasswordsThatTheSettingsFileCannotKeepAreKnown) {
  struct Case {
    const char* plain;
    bool storable;
  } cases[] = {
      {"", true},         {"secret", true}, {"Passw0rd", true},
      {"0abc", false},    // the first character is the key's: a zero character
      {"x6", false},      // the same at the second place
      {"ab9x", false},    // '9' with '3' is a line feed
      {"=abc", false},    // '=' with '0' is a carriage return
      {"9abc", false},    // '9' with '0' is a tab at the start, which the file trims
      {"abc\x18", false}, // a control character at the end
  };
  for (const auto& c : cases) EXPECT_EQ(shell::ProxyPassStorable(c.plain), c.storable) << c.plain;
}

struct Dialog : ::testing::Test {
  TempDir dir;
  FakePrompt prompt;
  std::unique_ptr<TfrmSetCon> make() { return std::make_unique<TfrmSetCon>(prompt, dir.path); }
};

TEST_F(Dialog, LoadsThePasswordPlainAndEnablesTheGroups) {
  dir.write("Morqa.ini", "[PROXY]\r\nUseProxy=1\r\nUseAutorisation=0\r\nServer=px\r\nPort=3128a\r\nUser=ivanov\r\nPass=" +
                             XorString("pass", "0638") + "\r\n");
  auto d = make();
  EXPECT_EQ(d->windowTitle(), QString::fromUtf8("Настройка сети"));
  EXPECT_EQ(d->size(), QSize(241, 271));
  EXPECT_TRUE(d->chkUseProxy->isChecked());
  EXPECT_TRUE(d->grbProxy->isEnabled());
  EXPECT_FALSE(d->chkAuto->isChecked());
  EXPECT_FALSE(d->pnlAuto->isEnabled());
  EXPECT_EQ(d->txtServer->text(), QStringLiteral("px"));
  EXPECT_EQ(d->txtPort->text(), QStringLiteral("3128a"));  // the port is read as text here
  EXPECT_EQ(d->txtUser->text(), QStringLiteral("ivanov"));
  EXPECT_EQ(d->txtPass->text(), QStringLiteral("pass"));
  d->chkAuto->setChecked(true);
  EXPECT_TRUE(d->pnlAuto->isEnabled());
  d->chkUseProxy->setChecked(false);
  EXPECT_FALSE(d->grbProxy->isEnabled());
}

TEST_F(Dialog, WithoutAFileEverythingIsOffAndEmpty) {
  auto d = make();
  EXPECT_FALSE(d->chkUseProxy->isChecked());
  EXPECT_FALSE(d->grbProxy->isEnabled());
  EXPECT_FALSE(d->pnlAuto->isEnabled());
  EXPECT_TRUE(d->txtServer->text().isEmpty());
  EXPECT_TRUE(d->txtPass->text().isEmpty());
  EXPECT_FALSE(dir.exists("Morqa.ini"));
}

TEST_F(Dialog, SaveChecksInOrderAndSavesNothingWhenRefused) {
  auto d = make();
  struct Case {
    bool proxy, autho;
    const char *server, *port, *user, *pass;
    const char* message;  // nullptr: saved
  } cases[] = {
      {true, false, " ", "8080", "", "", "Необходимо указать Сервер и Порт."},
      {true, false, "px", "  ", "", "", "Необходимо указать Сервер и Порт."},
      {true, true, "", "", "", "", "Необходимо указать Сервер и Порт."},
      {false, true, "", "", "  ", "", "Необходимо указать имя пользователя."},
      {false, true, "", "", "u", "0pen", "Этот пароль нельзя сохранить в файле настроек: измените его."},
      {false, false, "", "", "", "", nullptr},
  };
  for (const auto& c : cases) {
    prompt.msgs.clear();
    d->chkUseProxy->setChecked(c.proxy);
    d->chkAuto->setChecked(c.autho);
    d->txtServer->setText(QString::fromUtf8(c.server));
    d->txtPort->setText(QString::fromUtf8(c.port));
    d->txtUser->setText(QString::fromUtf8(c.user));
    d->txtPass->setText(QString::fromUtf8(c.pass));
    d->cmdSaveClick();
    if (c.message) {
      ASSERT_EQ(prompt.msgs.size(), 1u) << c.message;
      EXPECT_FALSE(prompt.msgs[0].box);
      EXPECT_EQ(prompt.msgs[0].text, C(c.message));
      EXPECT_FALSE(dir.exists("Morqa.ini")) << c.message;
    } else {
      EXPECT_TRUE(prompt.msgs.empty());
      // With the proxy off the empty server and port are stored as they stand.
      EXPECT_EQ(dir.read("Morqa.ini"),
                "[PROXY]\nUseProxy=0\nUseAutorisation=0\nServer=\nPort=\nUser=\nPass=\n");
    }
  }
}

TEST_F(Dialog, SavedSettingsComeBackAndThePasswordIsNeverPlainInTheFile) {
  dir.write("Morqa.ini", "; settings\r\n[WORK_PATH]\r\nUser=x\r\n");
  {
    auto d = make();
    d->chkUseProxy->setChecked(true);
    d->chkAuto->setChecked(true);
    d->txtServer->setText(QStringLiteral("proxy.local"));
    d->txtPort->setText(QStringLiteral("3128"));
    d->txtUser->setText(QString::fromUtf8("Иванов"));
    d->txtPass->setText(QString::fromUtf8("Секрет-secret"));
    d->cmdSaveClick();
    EXPECT_TRUE(prompt.msgs.empty());
  }
  const std::string file = dir.read("Morqa.ini");
  EXPECT_EQ(file.find(C("Секрет")), std::string::npos);
  EXPECT_EQ(file.find("secret"), std::string::npos);
  EXPECT_EQ(file.rfind("; settings\r\n[WORK_PATH]\r\nUser=x\r\n\r\n[PROXY]\r\nUseProxy=1\r\nUseAutorisation=1\r\n", 0), 0u);
  EXPECT_NE(file.find("Pass=" + XorString(C("Секрет-secret"), "0638") + "\r\n"), std::string::npos);
  auto again = make();
  EXPECT_EQ(again->txtUser->text(), QString::fromUtf8("Иванов"));
  EXPECT_EQ(again->txtPass->text(), QString::fromUtf8("Секрет-secret"));
  EXPECT_TRUE(again->pnlAuto->isEnabled());
  // What the downloads read.
  const shell::ProxySettings p = shell::ReadProxySettings(dir.path + "Morqa.ini");
  EXPECT_TRUE(p.UseProxy);
  EXPECT_TRUE(p.UseAutorisation);
  EXPECT_EQ(p.Server, "proxy.local");
  EXPECT_EQ(p.Port, 3128);
  EXPECT_EQ(p.Pass, C("Секрет-secret"));
}

TEST(ProxySettings, ANonNumericPortIsZeroForTheDownloads) {
  TempDir dir;
  dir.write("Morqa.ini", "[PROXY]\r\nPort=80a\r\n");
  EXPECT_EQ(shell::ReadProxySettings(dir.path + "Morqa.ini").Port, 0);
}

}  // namespace

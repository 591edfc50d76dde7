#include "app/StorePassword.h"

#include <termios.h>
#include <unistd.h>

#include <QString>

#include <cerrno>

#include "app/ShellText.h"
#include "platform/exception.h"
#include "platform/inifile.h"
#include "tasks/zlvCrypt32.h"

namespace shell {

namespace {

// A UTF-8 text of this source in the terminal's encoding.
std::string Local(const char* utf8) { return QString::fromUtf8(utf8).toLocal8Bit().toStdString(); }
// A CP1251 text (a path) in the terminal's encoding.
std::string LocalCp1251(const std::string& cp1251) { return Q(cp1251).toLocal8Bit().toStdString(); }

// One line of `fd`, without its end of line; false at the end of the input with nothing read.
bool ReadLine(int fd, std::string& line) {
  line.clear();
  bool any = false;
  for (;;) {
    char c = 0;
    const ssize_t n = ::read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    any = true;
    if (c == '\n') break;
    line.push_back(c);
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return any;
}

// Echo off while the password is typed at a terminal; restored when it goes.
class NoEcho {
public:
  explicit NoEcho(int fd) : fd_(fd) {
    if (::tcgetattr(fd_, &saved_) != 0) return;
    termios quiet = saved_;
    quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
    active_ = ::tcsetattr(fd_, TCSAFLUSH, &quiet) == 0;
  }
  ~NoEcho() {
    if (active_) ::tcsetattr(fd_, TCSAFLUSH, &saved_);
  }
  NoEcho(const NoEcho&) = delete;
  NoEcho& operator=(const NoEcho&) = delete;

private:
  int fd_;
  termios saved_{};
  bool active_ = false;
};

}  // namespace

int StorePasswordCommand(const std::string& iniFile, int in, std::FILE* out, std::FILE* err) {
  std::string password;
  if (::isatty(in)) {
    std::fputs(Local("Пароль SYSDBA сервера БД: ").c_str(), err);
    std::fflush(err);
    NoEcho quiet(in);
    ReadLine(in, password);
    std::fputs("\n", err);
  } else {
    ReadLine(in, password);
  }
  // The password goes to the server as the bytes typed (a password of Latin letters and
  // digits is the same in every encoding).
  if (password.empty()) {
    std::fprintf(err, "%s\n", Local("Пароль не задан: он читается из первой строки стандартного ввода.").c_str());
    return 2;
  }
  try {
    platform::TIniFile ini(iniFile);
    if (password.size() > kStoredPasswordMax) {
      std::fprintf(err, "%s\n", Local("Пароль длиннее 255 символов: такой пароль не может быть записан.").c_str());
      return 2;
    }
    if (!StorablePassword(password)) {
      std::fprintf(err, "%s\n",
                   Local("Этот пароль в зашифрованном виде содержит перевод строки, и файл настроек не может "
                         "его хранить: задайте на сервере другой пароль.")
                       .c_str());
      return 2;
    }
    WriteStoredPassword(ini, password);
  } catch (const std::exception& e) {
    std::fprintf(err, "%s %s:\n%s: %s\n", Local("Не удалось записать пароль в файл").c_str(),
                 LocalCp1251(iniFile).c_str(), platform::ExceptionClassName(e).c_str(), LocalCp1251(e.what()).c_str());
    return 2;
  }
  std::fprintf(out, "%s %s\n", Local("Пароль записан в зашифрованном виде в файл").c_str(), LocalCp1251(iniFile).c_str());
  return 0;
}

}  // namespace shell

#include "platform/oslayer.h"

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "platform/codepage.h"

namespace platform {

static bool setLock(int fd, short type, uint64_t offset, uint64_t length) {
  struct flock fl {};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  if (offset > static_cast<uint64_t>(LLONG_MAX) || length > static_cast<uint64_t>(LLONG_MAX)) return false;
  fl.l_start = static_cast<off_t>(offset);
  fl.l_len = static_cast<off_t>(length);
  fl.l_pid = 0;
  for (;;) {
    if (fcntl(fd, F_OFD_SETLK, &fl) == 0) return true;
    if (errno != EINTR) return false;
  }
}

bool LockRange(int fd, uint64_t offset, uint64_t length, bool exclusive) {
  return setLock(fd, exclusive ? F_WRLCK : F_RDLCK, offset, length);
}

bool UnlockRange(int fd, uint64_t offset, uint64_t length) { return setLock(fd, F_UNLCK, offset, length); }

SingleInstance::SingleInstance(const std::string& name) {
  // An abstract socket name: the kernel frees it when the process ends, however it ends.
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::string key = name + "." + std::to_string(::getuid());
  size_t n = std::min(key.size(), sizeof(addr.sun_path) - 2);
  std::memcpy(addr.sun_path + 1, key.data(), n);
  socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + n);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0) {
    ::close(fd);
    return;
  }
  fd_ = fd;
}

SingleInstance::~SingleInstance() {
  if (fd_ >= 0) ::close(fd_);
}

bool StartProgram(const std::string& path, const std::vector<std::string>& args, const std::string& workDir) {
  std::string fsPath = ToFsPath(path);
  std::string fsDir = ToFsPath(workDir);
  std::vector<std::string> fsArgs;
  fsArgs.push_back(fsPath);
  for (auto& a : args) fsArgs.push_back(ToFsPath(a));
  std::vector<char*> argv;
  for (auto& a : fsArgs) argv.push_back(a.data());
  argv.push_back(nullptr);

  // A pipe tells the parent whether exec succeeded; the grandchild is detached.
  int pfd[2];
  if (::pipe2(pfd, O_CLOEXEC) != 0) return false;
  pid_t pid = ::fork();
  if (pid < 0) {
    ::close(pfd[0]);
    ::close(pfd[1]);
    return false;
  }
  if (pid == 0) {
    ::close(pfd[0]);
    // The program may block signals for itself (SIGTERM and SIGINT are taken by its event
    // loop); the started program gets none blocked.
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::setsid();
    pid_t g = ::fork();
    if (g != 0) ::_exit(g < 0 ? 127 : 0);
    if (!fsDir.empty() && ::chdir(fsDir.c_str()) != 0) {
      char e = 1;
      (void)!::write(pfd[1], &e, 1);
      ::_exit(127);
    }
    ::execv(fsPath.c_str(), argv.data());
    char e = 1;
    (void)!::write(pfd[1], &e, 1);
    ::_exit(127);
  }
  ::close(pfd[1]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  char buf;
  ssize_t r;
  while ((r = ::read(pfd[0], &buf, 1)) < 0 && errno == EINTR) {
  }
  ::close(pfd[0]);
  return r == 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string ExeDir() {
  char buf[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return "./";
  std::string p(buf, static_cast<size_t>(n));
  size_t slash = p.rfind('/');
  return FromFsPath(slash == std::string::npos ? "./" : p.substr(0, slash + 1));
}

std::string UserName() {
  struct passwd pw {};
  struct passwd* res = nullptr;
  char buf[4096];
  if (::getpwuid_r(::getuid(), &pw, buf, sizeof buf, &res) == 0 && res) return FromFsPath(res->pw_name);
  const char* u = std::getenv("USER");
  return u ? FromFsPath(u) : std::string();
}

}  // namespace platform

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

namespace {

// Reads exactly `size` bytes unless the writers close first; the count read.
size_t ReadFull(int fd, void* data, size_t size) {
  size_t got = 0;
  while (got < size) {
    const ssize_t r = ::read(fd, static_cast<char*>(data) + got, size - got);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    got += static_cast<size_t>(r);
  }
  return got;
}

}  // namespace

int64_t StartProgram(const std::string& path, const std::vector<std::string>& args, const std::string& workDir) {
  std::string fsPath = ToFsPath(path);
  std::string fsDir = ToFsPath(workDir);
  std::vector<std::string> fsArgs;
  fsArgs.push_back(fsPath);
  for (auto& a : args) fsArgs.push_back(ToFsPath(a));
  std::vector<char*> argv;
  for (auto& a : fsArgs) argv.push_back(a.data());
  argv.push_back(nullptr);

  // Two pipes: the intermediate child reports the started program's id on the first, the
  // program itself writes on the second only when exec fails (it closes on a good exec).
  int idPipe[2];
  int execPipe[2];
  if (::pipe2(idPipe, O_CLOEXEC) != 0) return 0;
  if (::pipe2(execPipe, O_CLOEXEC) != 0) {
    ::close(idPipe[0]);
    ::close(idPipe[1]);
    return 0;
  }
  const pid_t pid = ::fork();
  if (pid < 0) {
    for (int fd : {idPipe[0], idPipe[1], execPipe[0], execPipe[1]}) ::close(fd);
    return 0;
  }
  if (pid == 0) {
    ::close(idPipe[0]);
    ::close(execPipe[0]);
    // This program blocks SIGTERM and SIGINT for itself (its event loop takes them) and the
    // database engine may ignore SIGPIPE: the started program gets neither.
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::signal(SIGPIPE, SIG_DFL);
    ::setsid();
    const pid_t g = ::fork();
    if (g != 0) {
      const int32_t id = static_cast<int32_t>(g);
      (void)!::write(idPipe[1], &id, sizeof id);
      ::_exit(g < 0 ? 127 : 0);
    }
    ::close(idPipe[1]);
    if (!fsDir.empty() && ::chdir(fsDir.c_str()) != 0) {
      char e = 1;
      (void)!::write(execPipe[1], &e, 1);
      ::_exit(127);
    }
    ::execv(fsPath.c_str(), argv.data());
    char e = 1;
    (void)!::write(execPipe[1], &e, 1);
    ::_exit(127);
  }
  ::close(idPipe[1]);
  ::close(execPipe[1]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  int32_t id = 0;
  const bool gotId = ReadFull(idPipe[0], &id, sizeof id) == sizeof id;
  ::close(idPipe[0]);
  char failed = 0;
  const bool execFailed = ReadFull(execPipe[0], &failed, 1) != 0;
  ::close(execPipe[0]);
  if (!gotId || execFailed || id <= 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return 0;
  return id;
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

#include "support/FirebirdServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>
#include <vector>

#include "support/TestDatabase.h"
#include "tasks/zlvCrypt32.h"

extern char** environ;

namespace testsupport {

namespace fs = std::filesystem;

namespace {

constexpr const char* kServerProgram = "/usr/sbin/firebird";
constexpr const char* kSystemSecurityDb = "/var/lib/firebird/3.0/system/security3.fdb";
constexpr const char* kIsqlCandidates[] = {"/usr/bin/isql-fb", "/usr/bin/isql"};
// What the root folder links to in the installed tree. The character-set module is copied
// instead: the engine does not take character sets from a module it reaches through a
// link (the connection's lc_ctype is then "not defined").
constexpr const char* kLinked[] = {"lib", "plugins", "UDF", "firebird.msg", "plugins.conf"};
constexpr const char* kCopiedIntl[] = {"libfbintl.so", "fbintl.conf"};

// The installed tree ("/usr/lib/<triplet>/firebird/3.0"), found by its engine plugin.
std::string InstalledRoot() {
  std::error_code ec;
  for (const auto& e : fs::directory_iterator("/usr/lib", ec)) {
    fs::path p = e.path() / "firebird" / "3.0";
    if (fs::exists(p / "plugins" / "libEngine12.so", ec)) return p.string();
  }
  if (fs::exists("/usr/lib/firebird/3.0/plugins/libEngine12.so", ec)) return "/usr/lib/firebird/3.0";
  return {};
}

std::string FindIsql() {
  for (const char* p : kIsqlCandidates)
    if (::access(p, X_OK) == 0) return p;
  return {};
}

// A random password whose stored (enciphered) form is a plain INI value: no control
// characters, no blanks, no "=", ";" or brackets.
std::string RandomPassword() {
  static const char kChars[] = "abcdefghijkmnpqrstuvwxyzABCDEFGHJKLMNPQRSTUVWXYZ23456789";
  std::random_device rd;
  for (;;) {
    std::string s = "k";
    for (int i = 0; i < 11; ++i) s += kChars[rd() % (sizeof(kChars) - 1)];
    bool plain = true;
    for (unsigned char c : StoredPasswordValue(s))
      if (c <= 0x20 || c == 0x7F || c == 0x98 || c == '=' || c == ';' || c == '[' || c == ']') plain = false;
    if (plain) return s;
  }
}

// A port no one listens on now (the kernel's choice for an ephemeral bind).
int FreePort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return 0;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = 0;
  int port = 0;
  socklen_t len = sizeof(a);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
    port = ntohs(a.sin_port);
  ::close(fd);
  return port;
}

// The socket inode listening on 127.0.0.1:port (0 when none).
unsigned long ListeningInode(int port) {
  std::ifstream f("/proc/net/tcp");
  std::string line;
  std::getline(f, line);  // heading
  char want[32];
  std::snprintf(want, sizeof(want), "0100007F:%04X", port);
  while (std::getline(f, line)) {
    std::istringstream in(line);
    std::string sl, local, remote, st, queues, timer, retr, uid, timeout;
    unsigned long inode = 0;
    in >> sl >> local >> remote >> st >> queues >> timer >> retr >> uid >> timeout >> inode;
    if (local == want && st == "0A") return inode;
  }
  return 0;
}

// Whether the process holds the socket listening on 127.0.0.1:port (another process on
// the same port does not count).
bool ListensOn(pid_t pid, int port) {
  unsigned long inode = ListeningInode(port);
  if (inode == 0) return false;
  std::string want = "socket:[" + std::to_string(inode) + "]";
  std::error_code ec;
  for (const auto& e : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
    std::error_code ec2;
    if (fs::read_symlink(e.path(), ec2).string() == want) return true;
  }
  return false;
}

// The environment of a child: this one without the Firebird variables, plus `extra`.
std::vector<std::string> ChildEnv(const std::vector<std::string>& extra) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    std::string_view v(*e);
    if (v.starts_with("FIREBIRD=") || v.starts_with("FIREBIRD_LOCK=") || v.starts_with("ISC_USER=") ||
        v.starts_with("ISC_PASSWORD="))
      continue;
    env.emplace_back(v);
  }
  env.insert(env.end(), extra.begin(), extra.end());
  return env;
}

// Starts a program with stdin from `in` and stdout/stderr appended to `out`. With
// dieWithParent the kernel kills it when this thread ends. -1 on failure.
pid_t Spawn(const std::vector<std::string>& args, const std::vector<std::string>& env, const std::string& in,
            const std::string& out, bool dieWithParent) {
  std::vector<char*> argv, envp;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  const pid_t parent = ::getpid();
  pid_t pid = ::fork();
  if (pid != 0) return pid;
  // The child: only async-signal-safe calls until exec.
  if (dieWithParent) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
  }
  ::setpgid(0, 0);
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  for (int s : {SIGTERM, SIGINT, SIGHUP, SIGPIPE, SIGCHLD}) ::sigaction(s, &dfl, nullptr);
  int i = ::open(in.c_str(), O_RDONLY);
  int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  if (i < 0 || o < 0) ::_exit(126);
  ::dup2(i, 0);
  ::dup2(o, 1);
  ::dup2(o, 2);
  if (i > 2) ::close(i);
  if (o > 2) ::close(o);
  ::execve(argv[0], argv.data(), envp.data());
  ::_exit(127);
}

// Waits up to `ms` for the child to end; true with its status when it did.
bool WaitExit(pid_t pid, int ms, int& status) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) return true;
    if (r < 0 && errno != EINTR) {
      status = 0;
      return true;  // not our child any more
    }
    if (std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

void KillAndReap(pid_t pid) {
  int status = 0;
  ::kill(pid, SIGKILL);
  WaitExit(pid, 10000, status);
}

std::string Describe(int status) {
  if (WIFEXITED(status)) return "exit code " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return "signal " + std::to_string(WTERMSIG(status));
  return "status " + std::to_string(status);
}

std::string Tail(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::string s((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  if (s.size() > 800) s = "..." + s.substr(s.size() - 800);
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
  return s.empty() ? std::string() : " (" + path + ": " + s + ")";
}

}  // namespace

FirebirdServer::FirebirdServer(std::string password) : password_(std::move(password)) {
  if (!prepare()) return;
  // A port found free can be taken by another process before the server binds it; the
  // server then runs without listening. Try again on another port.
  for (int attempt = 0; attempt < 3; ++attempt) {
    port_ = FreePort();
    if (port_ == 0) {
      fail("no free TCP port on 127.0.0.1");
      return;
    }
    error_.clear();
    if (launch()) return;
    if (ListeningInode(port_) == 0) return;  // not a lost race: the error stands
  }
}

FirebirdServer::~FirebirdServer() {
  stop();
  if (!dir_.empty()) RemoveDir(dir_);
}

void FirebirdServer::fail(std::string what) { error_ = std::move(what); }

std::string FirebirdServer::host() const { return "localhost/" + std::to_string(port_); }

std::string FirebirdServer::attachName(std::string_view path) const { return host() + ":" + std::string(path); }

bool FirebirdServer::prepare() {
  if (::access(kServerProgram, X_OK) != 0) {
    fail(std::string(kServerProgram) + " is not installed (Debian package firebird3.0-server)");
    return false;
  }
  std::string installed = InstalledRoot();
  if (installed.empty()) {
    fail("no installed Firebird 3.0 tree under /usr/lib (firebird3.0-server-core)");
    return false;
  }
  std::string isql = FindIsql();
  if (isql.empty()) {
    fail("isql-fb is not installed (firebird3.0-utils)");
    return false;
  }
  try {
    dir_ = MakeTempDir("kesta-fbserver");
  } catch (const std::exception& e) {
    fail(e.what());
    return false;
  }
  std::error_code ec;
  for (const char* name : kLinked) {
    fs::create_symlink(fs::path(installed) / name, fs::path(dir_) / name, ec);
    if (ec) {
      fail("cannot link " + dir_ + name + " to " + installed + "/" + name + ": " + ec.message());
      return false;
    }
  }
  fs::create_directory(dir_ + "intl", ec);
  for (const char* name : kCopiedIntl) {
    if (!ec) fs::copy_file(fs::path(installed) / "intl" / name, fs::path(dir_) / "intl" / name, ec);
    if (ec) {
      fail("cannot copy " + installed + "/intl/" + name + " to " + dir_ + "intl/: " + ec.message());
      return false;
    }
  }
  fs::create_directory(dir_ + "lock", ec);
  if (ec) {
    fail("cannot create " + dir_ + "lock: " + ec.message());
    return false;
  }
  if (password_.empty()) password_ = RandomPassword();

  // SYSDBA's password, set in a copy of the installed security database through the
  // embedded engine (isql in a child with this folder's configuration: the engine of
  // this process keeps the installed one). Where the installed database cannot be read
  // (it belongs to the firebird user), a new database serves: the user manager creates
  // its tables on first use.
  const std::string security = dir_ + "security3.fdb";
  fs::copy_file(kSystemSecurityDb, security, ec);
  std::string script;
  if (ec) {
    fs::remove(security, ec);
    script = "create database '" + security + "' user SYSDBA;\ncommit;\n";
  }
  script += "create or alter user SYSDBA password '" + password_ + "' using plugin Srp;\ncommit;\nexit;\n";
  std::vector<std::string> args = {isql, "-q", "-b", "-i", dir_ + "security.sql"};
  if (!script.starts_with("create database")) {
    args.insert(args.begin() + 1, {"-user", "SYSDBA"});
    args.push_back(security);
  }
  // The configuration isql reads: this folder's security database.
  try {
    WriteFile(dir_ + "security.sql", script);
    WriteFile(dir_ + "firebird.conf", "SecurityDatabase = " + security + "\n");
  } catch (const std::exception& e) {
    fail(e.what());
    return false;
  }
  std::vector<std::string> env = ChildEnv({"FIREBIRD=" + dir_, "FIREBIRD_LOCK=" + dir_ + "lock"});
  pid_t pid = Spawn(args, env, "/dev/null", dir_ + "security.log", true);
  if (pid < 0) {
    fail("cannot start " + isql + ": " + std::strerror(errno));
    return false;
  }
  int status = 0;
  if (!WaitExit(pid, 60000, status)) {
    KillAndReap(pid);
    fail(isql + " setting SYSDBA's password did not end within 60 s" + Tail(dir_ + "security.log"));
    return false;
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    fail(isql + " setting SYSDBA's password in " + security + " failed, " + Describe(status) +
         Tail(dir_ + "security.log"));
    return false;
  }
  return true;
}

bool FirebirdServer::launch() {
  const std::string security = dir_ + "security3.fdb";
  // The server's configuration: its own port, the loopback address only, this folder's
  // security database.
  try {
    WriteFile(dir_ + "firebird.conf", "RemoteServicePort = " + std::to_string(port_) +
                                          "\nRemoteBindAddress = 127.0.0.1\nSecurityDatabase = " + security +
                                          "\nServerMode = Super\n");
  } catch (const std::exception& e) {
    fail(e.what());
    return false;
  }
  std::vector<std::string> env = ChildEnv({"FIREBIRD=" + dir_, "FIREBIRD_LOCK=" + dir_ + "lock"});
  const std::string log = dir_ + "server.log";
  pid_ = Spawn({kServerProgram}, env, "/dev/null", log, true);
  if (pid_ < 0) {
    fail(std::string("cannot start ") + kServerProgram + ": " + std::strerror(errno));
    return false;
  }
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  for (;;) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      fail(std::string(kServerProgram) + " ended at start, " + Describe(status) + Tail(log));
      return false;
    }
    if (ListensOn(pid_, port_)) return true;
    if (std::chrono::steady_clock::now() >= until) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  KillAndReap(pid_);
  pid_ = -1;
  fail(std::string(kServerProgram) + " did not listen on 127.0.0.1:" + std::to_string(port_) + " within 30 s" +
       Tail(log));
  return false;
}

void FirebirdServer::kill() {
  if (pid_ <= 0) return;
  KillAndReap(pid_);
  pid_ = -1;
}

bool FirebirdServer::restart() {
  stop();
  if (port_ == 0) return false;  // never prepared: error() tells why
  error_.clear();
  return launch();
}

void FirebirdServer::stop() {
  if (pid_ <= 0) return;
  int status = 0;
  ::kill(pid_, SIGTERM);
  // A server whose shutdown hangs (it can wait on its own threads) is killed.
  if (!WaitExit(pid_, 10000, status)) KillAndReap(pid_);
  pid_ = -1;
}

FirebirdServer& TestServer() {
  static FirebirdServer server;
  return server;
}

bool ServerRequired() {
  const char* v = std::getenv("KESTA_REQUIRE_FIREBIRD_SERVER");
  return v && *v && std::string_view(v) != "0";
}

}  // namespace testsupport

#pragma once
// A private Firebird server for the tests that go through a server: a root folder of its
// own (links to the installed libraries, plugins, UDF folder, message file and plugin list,
// a copy of the character-set module; its own firebird.conf with RemoteServicePort set to a free port and
// RemoteBindAddress 127.0.0.1; its own security database with SYSDBA's password set through
// the embedded engine) and /usr/sbin/firebird started as a child process with FIREBIRD and
// FIREBIRD_LOCK pointing at that folder, so nothing is shared with the installed server or
// with the embedded engine of other test processes.
//
// The server is stopped (SIGTERM, then SIGKILL) and reaped when the object is destroyed;
// the kernel kills it too when the test process dies first (parent-death signal), so no
// server outlives its test process. Start it from the main thread: the parent-death signal
// follows the thread that started it.
//
//   testsupport::FirebirdServer& server = testsupport::TestServer();
//   if (!server.ok()) GTEST_SKIP() << server.error();     // or a failure, see SkipOrFail
//   testsupport::TestDatabase db(server);                // a clinic database through it
//   db.name();                                           // "localhost/<port>:<path>"
#include <sys/types.h>

#include <string>
#include <string_view>

namespace testsupport {

class FirebirdServer {
public:
  // Prepares the folder and starts the server with SYSDBA's password (a random one when
  // empty); ok() tells whether that worked.
  explicit FirebirdServer(std::string password = {});
  ~FirebirdServer();
  FirebirdServer(const FirebirdServer&) = delete;
  FirebirdServer& operator=(const FirebirdServer&) = delete;

  bool ok() const { return error_.empty(); }
  // What failed, naming the step, the file or the program ("" when ok()).
  const std::string& error() const { return error_; }

  int port() const { return port_; }
  // The host part of an attach name: "localhost/<port>".
  std::string host() const;
  // The attach name of a database file of this server: host() + ":" + path.
  std::string attachName(std::string_view path) const;
  // SYSDBA's password on this server.
  const std::string& password() const { return password_; }
  // The server's root folder (trailing '/').
  const std::string& dir() const { return dir_; }
  pid_t pid() const { return pid_; }
  bool running() const { return pid_ > 0; }

  // Kills the server at once (SIGKILL) and reaps it: a server that goes away.
  void kill();
  // Starts it again on the same port with the same folder; false (and error()) on failure.
  bool restart();
  // Ends it (SIGTERM, SIGKILL after a while) and reaps it.
  void stop();

private:
  bool prepare();
  bool launch();
  void fail(std::string what);

  std::string error_;
  std::string dir_;
  std::string password_;
  int port_ = 0;
  pid_t pid_ = -1;
};

// The server of this test process, started at the first call, stopped at exit.
FirebirdServer& TestServer();

// The text a test reports when the server is not there. With KESTA_REQUIRE_FIREBIRD_SERVER
// set (scripts/test.sh sets it) a missing server is a failure, not a skip.
bool ServerRequired();

}  // namespace testsupport

// Skips the test (or fails it, when the server is required) when the server is not running.
#define KESTA_REQUIRE_SERVER(server)                                                        \
  do {                                                                                      \
    if (!(server).ok()) {                                                                   \
      if (::testsupport::ServerRequired()) FAIL() << "Firebird server: " << (server).error(); \
      GTEST_SKIP() << "Firebird server: " << (server).error();                              \
    }                                                                                       \
  } while (0)

// SIGTERM, SIGINT and SIGHUP end the real program as the window's close does, also while
// the embedded engine holds the clinic database (the engine has handlers of its own for
// SIGTERM and SIGINT) and while a message box waits for the operator: exit code 0, the
// settings and the run protocol written.
#include <QProcess>

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "shell_fakes.h"
#include "support/TestDatabase.h"

// The suppressions of the test support (the Firebird client's never-freed caches).
extern "C" const char* __lsan_default_suppressions();

namespace {

namespace fs = std::filesystem;

std::string ReadAll(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

// Whether the process has the file open.
bool HoldsFile(qint64 pid, const std::string& path) {
  std::error_code ec;
  for (const auto& e : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
    std::error_code ec2;
    if (fs::read_symlink(e.path(), ec2).string() == path) return true;
  }
  return false;
}

// The 64-bit signal mask of a "SigXxx:" line of a status file.
unsigned long long Mask(const std::string& status, const std::string& key) {
  size_t at = status.find(key + ":\t");
  if (at == std::string::npos) return 0;
  return std::stoull(status.substr(at + key.size() + 2, 16), nullptr, 16);
}

unsigned long long Bit(int sig) { return 1ull << (sig - 1); }

struct SignalCase {
  int sig;
  // The embedded engine holds the database; else no database is reachable and the
  // activation's message box about it waits for the operator.
  bool attached;
};

class SignalClose : public ::testing::TestWithParam<SignalCase> {};

TEST_P(SignalClose, EndsTheProgramAsTheWindowsClose) {
  const int sig = GetParam().sig;
  const bool attachedCase = GetParam().attached;
  testshell::TempDir app;  // also brings up the test's Qt application
  testsupport::TestDatabase db;
  // The program reads its settings from its own folder: a link to the binary there.
  const std::string exe = app.path + "kesta-scheduler";
  std::error_code ec;
  fs::create_hard_link(KESTA_SCHEDULER_EXE, exe, ec);
  if (ec) fs::copy_file(KESTA_SCHEDULER_EXE, exe, ec);
  ASSERT_FALSE(ec) << ec.message();
  // Not attached: no database path, and a server on a port nobody listens on.
  const std::string ini = attachedCase
                              ? "[STAT_MAIN]\r\nDatabase=" + db.path() + "\r\n[DB_PCName]\r\nDB_PCName=\r\n"
                              : "[STAT_MAIN]\r\nDatabase=\r\n[DB_PCName]\r\nDB_PCName=localhost/1\r\n";
  app.write("Morqa.ini", ini);

  QProcess p;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert(QStringLiteral("KESTA_INSTANCE_NAME"),
             QString::fromStdString("KESTASchedulerSignal." + std::to_string(::getpid()) + "." + std::to_string(sig)));
  env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
  // In the sanitizer build the program reports the client library's caches at exit like
  // the tests would; it gets the tests' suppressions.
  app.write("lsan.supp", __lsan_default_suppressions());
  env.insert(QStringLiteral("LSAN_OPTIONS"), QString::fromStdString("suppressions=" + app.path + "lsan.supp"));
  p.setProcessEnvironment(env);
  p.setWorkingDirectory(QString::fromStdString(app.path));
  p.start(QString::fromStdString(exe), {});
  ASSERT_TRUE(p.waitForStarted(30000));
  const qint64 pid = p.processId();

  // Up and attached: the engine in the program holds the database file and has installed
  // its handlers for SIGTERM and SIGINT.
  const std::string status = "/proc/" + std::to_string(pid) + "/status";
  if (attachedCase) {
    bool attached = false;
    for (int i = 0; i < 600 && !attached && p.state() == QProcess::Running; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      attached = HoldsFile(pid, db.path()) && (Mask(ReadAll(status), "SigCgt") & Bit(SIGTERM)) != 0;
    }
    ASSERT_TRUE(attached) << p.readAllStandardError().toStdString();
  }
  // The activation's connections are made (or refused, and the box shown) by now or soon.
  std::this_thread::sleep_for(std::chrono::milliseconds(attachedCase ? 500 : 1500));
  ASSERT_EQ(p.state(), QProcess::Running) << p.readAllStandardError().toStdString();
  // Every thread of the program (the engine's among them) leaves the signals to the event
  // loop.
  const unsigned long long all = Bit(SIGTERM) | Bit(SIGINT) | Bit(SIGHUP);
  for (const auto& t : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
    const unsigned long long blocked = Mask(ReadAll(t.path().string() + "/status"), "SigBlk");
    EXPECT_EQ(blocked & all, all) << t.path();
  }

  ASSERT_EQ(::kill(static_cast<pid_t>(pid), sig), 0);
  ASSERT_TRUE(p.waitForFinished(60000)) << "the program did not end on signal " << sig;
  EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
  // The close wrote the settings it always writes and the run protocol.
  const std::string written = ReadAll(app.path + "Morqa.ini");
  EXPECT_NE(written.find("PachRen="), std::string::npos) << written;
  EXPECT_NE(written.find("StartRen="), std::string::npos) << written;
  if (attachedCase) {
    EXPECT_NE(written.find("Database=" + db.path()), std::string::npos) << written;
  }
  EXPECT_TRUE(app.exists("Протокол.txt"));
  // Closed cleanly: the database opens again at once, nothing left in use.
  EXPECT_EQ(db.count("PATIENT"), 0);
}

// A program folder whose path CP1251 cannot hold: the start is refused with a message that
// names the folder, nothing is read or written there. The message box is left by SIGTERM.
TEST(ProgramFolder, APathTheCodePageCannotHoldIsRefusedByName) {
  for (const char* folder : {"中文", "rené"}) {
    testshell::TempDir app;
    const std::string dir = app.path + folder + "/";
    fs::create_directory(dir);
    const std::string exe = dir + "kesta-scheduler";
    std::error_code ec;
    fs::create_hard_link(KESTA_SCHEDULER_EXE, exe, ec);
    if (ec) fs::copy_file(KESTA_SCHEDULER_EXE, exe, ec);
    ASSERT_FALSE(ec) << ec.message();
    const std::string ini = "[WORK_PATH]\r\nUser=ivanov\r\n";
    testsupport::WriteFile(dir + "Morqa.ini", ini);
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("KESTA_INSTANCE_NAME"),
               QString::fromStdString("KESTASchedulerFolder." + std::to_string(::getpid())));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    p.setProcessEnvironment(env);
    p.setWorkingDirectory(QString::fromStdString(dir));
    p.start(QString::fromStdString(exe), {});
    ASSERT_TRUE(p.waitForStarted(30000));
    std::string err;
    for (int i = 0; i < 600 && err.find("Windows-1251") == std::string::npos && p.state() == QProcess::Running; ++i) {
      p.waitForReadyRead(50);
      err += p.readAllStandardError().toStdString();
    }
    EXPECT_NE(err.find(dir), std::string::npos) << folder << ": " << err;
    EXPECT_NE(err.find("Windows-1251"), std::string::npos) << folder << ": " << err;
    if (p.state() == QProcess::Running) ::kill(static_cast<pid_t>(p.processId()), SIGTERM);
    ASSERT_TRUE(p.waitForFinished(60000)) << folder;
    EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(p.exitCode(), 2) << folder;
    EXPECT_EQ(ReadAll(dir + "Morqa.ini"), ini) << folder;
    EXPECT_FALSE(fs::exists(dir + "Протокол.txt")) << folder;
  }
}

INSTANTIATE_TEST_SUITE_P(Table, SignalClose,
                         ::testing::Values(SignalCase{SIGTERM, true}, SignalCase{SIGINT, true},
                                           SignalCase{SIGHUP, true}, SignalCase{SIGTERM, false},
                                           SignalCase{SIGHUP, false}),
                         [](const ::testing::TestParamInfo<SignalCase>& param) {
                           return std::string(param.param.sig == SIGTERM  ? "SIGTERM"
                                              : param.param.sig == SIGINT ? "SIGINT"
                                                                          : "SIGHUP") +
                                  (param.param.attached ? "Attached" : "WithAMessageBoxOpen");
                         });

}  // namespace

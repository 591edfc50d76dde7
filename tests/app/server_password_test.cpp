// The README's way to a database server, step by step, against the tests' private Firebird
// server (a random SYSDBA password): "Morqa.ini" names the server and the database, the
// program's "--store-password" option (no display needed) stores the password typed on its
// standard input, and the program reaches the server with it: the connections of the data
// module read from that file, and the program itself attaches both of its connections at
// start-up and ends cleanly on SIGTERM. A wrong password stored the same way is refused by
// the server.
#include <QProcess>

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "shell_fakes.h"
#include "support/FakeTaskUi.h"
#include "support/FirebirdServer.h"
#include "support/TestDatabase.h"
#include "tasks/Scheduler_DM.h"
#include "tasks/zlvCrypt32.h"

// The suppressions of the test support (the Firebird client's never-freed caches).
extern "C" const char* __lsan_default_suppressions();

namespace {

namespace fs = std::filesystem;

class ServerPassword : public ::testing::Test {
protected:
  testsupport::FirebirdServer& server = testsupport::TestServer();
  std::unique_ptr<testsupport::TestDatabase> db;
  testshell::TempDir app;  // the program folder (also brings up the test's Qt application)
  std::string exe;

  void SetUp() override {
    KESTA_REQUIRE_SERVER(server);
    db = std::make_unique<testsupport::TestDatabase>(server);
    exe = app.path + "kesta-scheduler";
    std::error_code ec;
    fs::create_hard_link(KESTA_SCHEDULER_EXE, exe, ec);
    if (ec) fs::copy_file(KESTA_SCHEDULER_EXE, exe, ec);
    ASSERT_FALSE(ec) << ec.message();
    app.write("lsan.supp", __lsan_default_suppressions());
    // Step 1: the server and the database path as the server sees it.
    app.write("Morqa.ini", "[DB_PCName]\r\nDB_PCName=" + server.host() + "\r\n[STAT_MAIN]\r\nDatabase=" + db->path() +
                               "\r\n");
  }

  // The program's environment: no display at all unless `offscreen`.
  QProcessEnvironment environment(bool offscreen) const {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* v : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) env.remove(QString::fromLatin1(v));
    if (offscreen) env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("KESTA_INSTANCE_NAME"),
               QString::fromStdString("KESTASchedulerPassword." + std::to_string(::getpid())));
    env.insert(QStringLiteral("LSAN_OPTIONS"), QString::fromStdString("suppressions=" + app.path + "lsan.supp"));
    return env;
  }

  // Step 2: kesta-scheduler --store-password, the password on its standard input.
  void storePassword(const std::string& password) {
    QProcess p;
    p.setProcessEnvironment(environment(false));
    p.setWorkingDirectory(QString::fromStdString(app.path));
    p.start(QString::fromStdString(exe), {QStringLiteral("--store-password")});
    ASSERT_TRUE(p.waitForStarted(30000));
    p.write(QByteArray::fromStdString(password + "\n"));
    p.closeWriteChannel();
    ASSERT_TRUE(p.waitForFinished(60000));
    EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
    ASSERT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
    EXPECT_EQ(p.readAllStandardOutput().toStdString(),
              "Пароль записан в зашифрованном виде в файл " + app.path + "Morqa.ini\n");
  }

  // The data module's two connections, as a task opens them, from the program folder.
  bool connects(std::string& err) {
    testsupport::FakeTaskUi ui;
    TdmScheduler dm(app.path);
    dm.SetUi(&ui);
    // What the window sets before connecting IBDB: host, colon, path.
    dm.IBDB.databaseName = TdmScheduler::DatabaseNameOf(server.host(), db->path());
    return dm.OpenSQLConnection(err, false) && dm.OpenIBDatabase(err);
  }
};

TEST_F(ServerPassword, TheStoredPasswordReachesThePrivateServer) {
  storePassword(server.password());
  EXPECT_EQ(ReadStoredPassword(platform::TIniFile(app.path + "Morqa.ini")), server.password());
  EXPECT_NE(app.read("Morqa.ini").find("DB_PCName=" + server.host() + "\r\n"), std::string::npos);
  std::string err;
  EXPECT_TRUE(connects(err)) << err;

  // Step 3: the program, started in that folder, attaches both connections at start-up
  // (the activation shows no refusal: a message box would hold it before the second).
  QProcess p;
  p.setProcessEnvironment(environment(true));
  p.setWorkingDirectory(QString::fromStdString(app.path));
  p.start(QString::fromStdString(exe), {});
  ASSERT_TRUE(p.waitForStarted(30000));
  const std::string ours = "select count(*) from MON$ATTACHMENTS where MON$REMOTE_PID = " +
                           std::to_string(p.processId());
  std::string attached;
  for (int i = 0; i < 600 && attached != "2" && p.state() == QProcess::Running; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    attached = db->scalar(ours);
  }
  EXPECT_EQ(attached, "2") << p.readAllStandardError().toStdString();
  ASSERT_EQ(::kill(static_cast<pid_t>(p.processId()), SIGTERM), 0);
  ASSERT_TRUE(p.waitForFinished(60000));
  EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
  EXPECT_EQ(db->scalar(ours), "0");
}

TEST_F(ServerPassword, AWrongPasswordStoredTheSameWayIsRefusedByTheServer) {
  storePassword(server.password() + "x");
  std::string err;
  EXPECT_FALSE(connects(err));
  EXPECT_NE(err.find("Your user name and password are not defined"), std::string::npos) << err;
}

}  // namespace

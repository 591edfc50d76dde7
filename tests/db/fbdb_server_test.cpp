// The private server of the tests and the layer through it: attach names "host/port:path",
// the server's password check, a server that goes away and comes back, and a server
// that ends with its fixture.
#include <gtest/gtest.h>

#include <signal.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "db/fbdb.h"
#include "support/FirebirdServer.h"
#include "support/TestDatabase.h"

namespace {

using testsupport::FirebirdServer;
using testsupport::TestDatabase;

class ServerTest : public ::testing::Test {
protected:
  FirebirdServer& server = testsupport::TestServer();
  void SetUp() override { KESTA_REQUIRE_SERVER(server); }
};

TEST_F(ServerTest, ADatabaseMadeThroughTheServerAnswersQueries) {
  TestDatabase db(server);
  EXPECT_EQ(db.name(), "localhost/" + std::to_string(server.port()) + ":" + db.path());
  db.exec("insert into NPUNKT (KOD, NAME) values (1, 'x')");
  EXPECT_EQ(db.count("NPUNKT"), 1);
  // The server, not this process, holds the file: the remote protocol names it.
  EXPECT_EQ(db.scalar("select rdb$get_context('SYSTEM', 'NETWORK_PROTOCOL') from rdb$database"), "TCPv4");
  EXPECT_EQ(db.scalar("select current_user from rdb$database"), "SYSDBA");
}

TEST_F(ServerTest, AWrongPasswordIsRefusedWithTheServersText) {
  TestDatabase db(server);
  for (const char* password : {"wrong", ""}) {
    fbdb::Attachment a;
    a.databaseName = db.name();
    a.params.setValue("PASSWORD", password);
    try {
      a.connect();
      ADD_FAILURE() << "connected with password '" << password << "'";
    } catch (const fbdb::EFbError& e) {
      EXPECT_NE(std::string(e.what()).find("Your user name and password are not defined"), std::string::npos)
          << e.what();
    }
    EXPECT_FALSE(a.connected());
  }
}

TEST_F(ServerTest, AKilledServerFailsTheAttachmentAndARestartedOneTakesItAgain) {
  TestDatabase db(server);
  auto a = db.attach();
  server.kill();
  {
    fbdb::Transaction t(*a);
    EXPECT_THROW(t.start(), fbdb::EFbError);
  }
  // The lost attachment is let go of without a hang.
  try {
    a->disconnect();
  } catch (const fbdb::EFbError&) {
  }
  EXPECT_FALSE(a->connected());
  // Nobody listens: the attach is refused at once.
  fbdb::Attachment b;
  b.databaseName = db.name();
  b.params.setValue("PASSWORD", db.password());
  EXPECT_THROW(b.connect(), fbdb::EFbError);
  ASSERT_TRUE(server.restart()) << server.error();
  db.connect(*a);
  EXPECT_EQ(db.count("NPUNKT"), 0);
  a->disconnect();
}

TEST_F(ServerTest, AServerThatDoesNotAnswerFailsTheAttachWithinTheConnectWait) {
  TestDatabase db(server);
  ASSERT_EQ(::kill(server.pid(), SIGSTOP), 0);
  auto t0 = std::chrono::steady_clock::now();
  fbdb::Attachment a;
  a.databaseName = db.name();
  a.params.setValue("PASSWORD", db.password());
  std::string error;
  try {
    a.connect();
  } catch (const fbdb::EFbError& e) {
    error = e.what();
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  ::kill(server.pid(), SIGCONT);
  EXPECT_FALSE(a.connected());
  EXPECT_FALSE(error.empty());
  EXPECT_LT(seconds, 3.0 * fbdb::kConnectTimeout) << error;
  // Answering again, it takes the attach.
  db.connect(a);
  EXPECT_TRUE(a.connected());
}

TEST(ServerFixture, EndsItsServerAndRemovesItsFolder) {
  pid_t pid;
  std::string dir;
  {
    FirebirdServer s;
    KESTA_REQUIRE_SERVER(s);
    pid = s.pid();
    dir = s.dir();
    ASSERT_GT(pid, 0);
    EXPECT_EQ(::kill(pid, 0), 0);
    TestDatabase db(s);
    EXPECT_EQ(db.count("PATIENT"), 0);
  }
  errno = 0;
  EXPECT_EQ(::kill(pid, 0), -1);
  EXPECT_EQ(errno, ESRCH);
  EXPECT_FALSE(std::filesystem::exists(dir));
}

}  // namespace

// The data module through a real Firebird server (the test process's private one): both
// connections opened from "Morqa.ini" with a host/port and the stored password, the
// centre check, the backup through the server's service manager restored by gbak, and
// the server's refusal of a wrong password.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "db/fbdb.h"
#include "platform/codepage.h"
#include "support/FakeTaskUi.h"
#include "support/FirebirdServer.h"
#include "support/TestDatabase.h"
#include "tasks/Scheduler_DM.h"
#include "tasks/zlvCrypt32.h"

namespace {

using testsupport::FirebirdServer;
using testsupport::TestDatabase;

const char* const kRefused = "Your user name and password are not defined";

class ServerDm : public ::testing::Test {
protected:
  FirebirdServer& server = testsupport::TestServer();
  std::unique_ptr<TestDatabase> db;
  testsupport::FakeTaskUi ui;
  std::unique_ptr<TdmScheduler> dm;

  void SetUp() override {
    KESTA_REQUIRE_SERVER(server);
    db = std::make_unique<TestDatabase>(server);
    dm = std::make_unique<TdmScheduler>(db->dir());
    dm->SetUi(&ui);
    // What the shell sets before connecting IBDB: host, colon, path.
    dm->IBDB.databaseName = TdmScheduler::DatabaseNameOf(server.host(), db->path());
    writeIni(true, server.password());
  }
  void TearDown() override { dm.reset(); }

  // "Morqa.ini" as an installation holds it: the server as DB_PCName, the stored
  // (enciphered) password, the database path and driver parameters.
  void writeIni(bool withPassword, const std::string& password) {
    std::string s;
    if (withPassword) s += "[Password]\r\nPassword=" + StoredPasswordValue(password) + "\r\n";
    s += "[DB_PCName]\r\nDB_PCName=" + server.host() + "\r\n";
    s += "[STAT_MAIN]\r\nDatabase=" + db->path() + "\r\n";
    s += "[IBConnection]\r\nBlobSize=-1\r\nWaitOnLocks=True\r\n";
    testsupport::WriteFile(db->dir() + kMainIniName, s);
  }
  bool openBoth(std::string& err) { return dm->OpenSQLConnection(err, false) && dm->OpenIBDatabase(err); }
  // The remote protocol of the statement's own attachment ("" for the embedded engine).
  static std::string Protocol(fbdb::Query& q) {
    q.setSql("select mon$remote_protocol from mon$attachments where mon$attachment_id = current_connection");
    q.open();
    std::string p = q.field(size_t{0}).asString();
    q.close();
    return p;
  }
};

TEST_F(ServerDm, BothConnectionsOpenFromTheSettingsWithTheStoredPassword) {
  std::string err;
  ASSERT_TRUE(openBoth(err)) << err;
  EXPECT_EQ(err, "");
  EXPECT_EQ(dm->SQLConnection.Params.value("DataBase"), "localhost/" + std::to_string(server.port()) + ":" + db->path());
  EXPECT_EQ(dm->SQLConnection.Params.value("password"), server.password());
  fbdb::Query sql(dm->SQLConnection);
  EXPECT_EQ(Protocol(sql), "TCPv4");
  {
    fbdb::Query ib(dm->IBTran);
    EXPECT_EQ(Protocol(ib), "TCPv4");
    dm->IBTran.commit();
  }
  // Work on one connection is seen by the other once committed: the same database.
  dm->SQLConnection.ExecuteDirect("insert into NPUNKT (KOD, NAME) values (7, 'x')");
  fbdb::Query ib(dm->IBTran);
  ib.setSql("select NAME from NPUNKT where KOD = 7");
  ib.open();
  EXPECT_EQ(ib.field("NAME").asString(), "x");
  ib.close();
  dm->IBTran.commit();
  // Reconnecting (as before every task) gives fresh attachments on the same settings.
  EXPECT_TRUE(openBoth(err)) << err;
}

struct CentreCase {
  const char* rows;  // statement run before the check ("" for none)
  bool passes;
};

class ServerCentre : public ServerDm, public ::testing::WithParamInterface<CentreCase> {};

TEST_P(ServerCentre, BranchIdsFailTheCentreCheck) {
  if (*GetParam().rows) db->exec(GetParam().rows);
  std::string err;
  EXPECT_EQ(dm->OpenSQLConnection(err, true), GetParam().passes) << err;
  if (GetParam().passes) {
    EXPECT_EQ(err, "");
  } else {
    EXPECT_EQ(err, platform::Utf8ToCp1251("База данных ВИРЕЛ, выбранная как БД центра, таковой не является.\r\r"
                                          "В актуализации данных отказано."));
  }
  // Passed or not, the connection stays open.
  EXPECT_TRUE(dm->SQLConnection.connected());
}

INSTANTIATE_TEST_SUITE_P(
    Table, ServerCentre,
    ::testing::Values(CentreCase{"", true},
                      CentreCase{"insert into PATIENT (IDP) values (1500000000)", true},
                      CentreCase{"insert into PATIENT (IDP) values (1500000001)", false},
                      CentreCase{"insert into VISITS (IDV) values (1500000001)", false}));

TEST_F(ServerDm, TheBackupGoesThroughTheServiceManagerAndGbakRestoresIt) {
  db->exec("insert into NPUNKT (KOD, NAME) values (1, '" + platform::Utf8ToCp1251("г. Тамбов") + "')");
  db->exec("insert into PATIENT (IDP, LAST_NAME) values (5, 'Petrov')");
  std::string err;
  ASSERT_TRUE(dm->OpenSQLConnection(err, false)) << err;
  dm->BackupDatabase(db->dir(), "clinic.fbk", err);
  EXPECT_EQ(err, "");
  EXPECT_EQ(dm->IBXBackupServServerName, server.host());
  EXPECT_TRUE(dm->SQLConnection.connected());  // open before, open again after
  ASSERT_TRUE(std::filesystem::exists(db->dir() + "clinic.fbk"));

  // The independent restore: gbak through the same server.
  const std::string restored = db->dir() + "restored.fdb";
  const std::string cmd = "gbak -c -user SYSDBA -password " + server.password() + " " + db->dir() + "clinic.fbk " +
                          server.attachName(restored) + " > " + db->dir() + "gbak.log 2>&1";
  ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
  fbdb::Attachment a;
  a.databaseName = server.attachName(restored);
  a.params.setValue("PASSWORD", server.password());
  a.connect();
  {
    fbdb::Transaction t(a);
    fbdb::Query q(t);
    q.setSql("select (select NAME from NPUNKT where KOD = 1), (select LAST_NAME from PATIENT where IDP = 5) "
             "from rdb$database");
    q.open();
    EXPECT_EQ(q.field(size_t{0}).asString(), platform::Utf8ToCp1251("г. Тамбов"));
    EXPECT_EQ(q.field(size_t{1}).asString(), "Petrov");
    q.close();
    t.commit();
  }
  a.disconnect();
}

TEST_F(ServerDm, ABackupTheServerCannotWriteReportsTheServersError) {
  std::string err;
  dm->SQLConnection.Params.setValue("password", server.password());
  dm->SQLConnection.Params.setValue("DataBase", server.attachName(db->path()));
  // Closed before, closed after.
  dm->BackupDatabase(db->dir() + "missing/", "clinic.fbk", err);
  const std::string head = "@" + platform::Utf8ToCp1251("Ошибка при создании резервной копии БД:") + "@;@   EFbError@;@";
  ASSERT_EQ(err.substr(0, head.size()), head) << err;
  EXPECT_NE(err.find("missing/clinic.fbk"), std::string::npos) << err;
  EXPECT_EQ(err.substr(err.size() - 2), "@;");
  EXPECT_FALSE(dm->SQLConnection.connected());
  EXPECT_FALSE(std::filesystem::exists(db->dir() + "missing"));
}

struct PasswordCase {
  bool stored;           // the INI holds a Password key
  const char* password;  // its deciphered value
};

class ServerPassword : public ServerDm, public ::testing::WithParamInterface<PasswordCase> {};

TEST_P(ServerPassword, ARefusalIsTheClassNameACarriageReturnAndTheServersText) {
  writeIni(GetParam().stored, GetParam().password);
  std::string err;
  EXPECT_FALSE(dm->OpenSQLConnection(err, false));
  EXPECT_EQ(err.substr(0, 9), "EFbError\r") << err;
  EXPECT_NE(err.find(kRefused), std::string::npos) << err;
  EXPECT_FALSE(dm->SQLConnection.connected());
  // IBDB takes the same (wrong) password and is refused in the same form.
  std::string ibErr;
  EXPECT_FALSE(dm->OpenIBDatabase(ibErr));
  EXPECT_EQ(ibErr.substr(0, 9), "EFbError\r") << ibErr;
  EXPECT_NE(ibErr.find(kRefused), std::string::npos) << ibErr;
  EXPECT_FALSE(dm->IBDB.connected());
  // The right one stored: both open.
  writeIni(true, server.password());
  EXPECT_TRUE(openBoth(err)) << err;
}

INSTANTIATE_TEST_SUITE_P(Table, ServerPassword,
                         ::testing::Values(PasswordCase{true, "wrong"}, PasswordCase{true, ""},
                                           PasswordCase{false, ""}));

}  // namespace

// The data module against a real embedded database made from the clinic schema.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "db/fbdb.h"
#include "platform/codepage.h"
#include "platform/strutil.h"
#include "support/FakeTaskUi.h"
#include "support/TestDatabase.h"
#include "tasks/Scheduler_DM.h"

namespace {

using testsupport::TestDatabase;

const std::string kMasterkeyCipher = "\x68\x34\x96\xdd\x26\x17\x7e\x11\x5b";

std::string Ini(const std::string& dbPath, const std::string& host = "", bool withPassword = true) {
  std::string s;
  if (withPassword) s += "[Password]\r\nPassword=" + kMasterkeyCipher + "\r\n";
  s += "[DB_PCName]\r\nDB_PCName=" + host + "\r\n";
  s += "[STAT_MAIN]\r\nDatabase=" + dbPath + "\r\n";
  s += "[IBConnection]\r\nPASSWORD=old\r\ndatabase=wrong\r\nBlobSize=-1\r\nWaitOnLocks=True\r\n";
  return s;
}

class DataModuleTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() { db_ = new TestDatabase(); }
  static void TearDownTestSuite() {
    delete db_;
    db_ = nullptr;
  }
  void SetUp() override {
    dir_ = testsupport::MakeTempDir("kesta-dm");
    testsupport::WriteFile(dir_ + "Morqa.ini", Ini(db_->path()));
    dm_ = std::make_unique<TdmScheduler>(dir_);
    dm_->SetUi(&ui_);
    dm_->IBDB.databaseName = TdmScheduler::DatabaseNameOf("", db_->path());
  }
  void TearDown() override {
    dm_.reset();
    testsupport::RemoveDir(dir_);
  }
  static TestDatabase* db_;
  std::string dir_;
  testsupport::FakeTaskUi ui_;
  std::unique_ptr<TdmScheduler> dm_;
};
TestDatabase* DataModuleTest::db_ = nullptr;

TEST(DataModuleNames, ConnectionNameBackupPathAndJoin) {
  EXPECT_EQ(TdmScheduler::DatabaseNameOf("LocalHost", "C:\\Zelvorn\\DB\\statmain.gdb"),
            "LocalHost:C:\\Zelvorn\\DB\\statmain.gdb");
  EXPECT_EQ(TdmScheduler::DatabaseNameOf("LocalHost", ""), "LocalHost:");
  EXPECT_EQ(TdmScheduler::DatabaseNameOf("srv", " /a b/x.fdb"), "srv: /a b/x.fdb");
  EXPECT_EQ(TdmScheduler::DatabaseNameOf("", "/x/db.fdb"), "/x/db.fdb");

  EXPECT_EQ(TdmScheduler::DatabasePathOf("LocalHost:C:\\Zelvorn\\DB\\statmain.gdb"), "C:\\Zelvorn\\DB\\statmain.gdb");
  EXPECT_EQ(TdmScheduler::DatabasePathOf("/x/db.fdb"), "/x/db.fdb");
  EXPECT_EQ(TdmScheduler::DatabasePathOf("LocalHost:"), "");

  EXPECT_EQ(TdmScheduler::JoinBackupPath("/b", "x.fbk"), "/b/x.fbk");
  EXPECT_EQ(TdmScheduler::JoinBackupPath("/b/", "x.fbk"), "/b/x.fbk");
  // A full path chosen outside the backup folder is the target as it stands.
  EXPECT_EQ(TdmScheduler::JoinBackupPath("/b/", "/x.fbk"), "/x.fbk");
  EXPECT_EQ(TdmScheduler::JoinBackupPath("/b", "/other/x.fbk"), "/other/x.fbk");
  EXPECT_EQ(TdmScheduler::JoinBackupPath("C:\\Back\\", "D:\\Copies\\x.fbk"), "D:\\Copies\\x.fbk");
  EXPECT_EQ(TdmScheduler::JoinBackupPath("C:\\Back\\", "\\\\srv\\x.fbk"), "\\\\srv\\x.fbk");
  EXPECT_EQ(TdmScheduler::JoinBackupPath("C:\\Back", "\\x.fbk"), "C:\\Back\\x.fbk");
  EXPECT_EQ(TdmScheduler::JoinBackupPath("/b/", "sub/x.fbk"), "/b/sub/x.fbk");
  EXPECT_EQ(TdmScheduler::JoinBackupPath("C:\\Back\\", "x.fbk"), "C:\\Back\\x.fbk");
  EXPECT_EQ(TdmScheduler::JoinBackupPath("C:\\Back", "x.fbk"), "C:\\Back\\x.fbk");
  EXPECT_EQ(TdmScheduler::JoinBackupPath("", "x.fbk"), "x.fbk");
}

TEST(DataModuleNames, ComponentsAsTheModuleSetsThem) {
  TdmScheduler dm("/nowhere");
  EXPECT_EQ(dm.MainIniPath(), "/nowhere/Morqa.ini");
  EXPECT_EQ(dm.IBDB.params.value("USER_NAME"), "SYSDBA");
  EXPECT_EQ(dm.IBDB.params.value("lc_ctype"), "WIN1251");
  EXPECT_FALSE(dm.IBDB.params.value("PASSWORD").empty());
  EXPECT_EQ(dm.IBDB.sqlDialect, 3);
  EXPECT_EQ(dm.spGenIDP.storedProcName(), "PATIENT_GEN_ID");
  EXPECT_EQ(dm.spPrikend.storedProcName(), "PRIKEND");
  EXPECT_EQ(dm.spIDVisit.storedProcName(), "VISIT_GEN_ID");
  EXPECT_EQ(dm.spIDDiseases.storedProcName(), "DISEASES_GEN_ID");
  EXPECT_FALSE(dm.IBDB.connected());
  EXPECT_FALSE(dm.SQLConnection.connected());
  EXPECT_NE(dm.UnZip1, nullptr);
}

TEST_F(DataModuleTest, BothConnectionsOpenWithTheDecipheredPassword) {
  std::string err = "stale";
  ASSERT_TRUE(dm_->OpenSQLConnection(err, false)) << err;
  EXPECT_EQ(err, "");
  EXPECT_TRUE(dm_->SQLConnection.connected());
  const platform::TParams& p = dm_->SQLConnection.Params;
  EXPECT_EQ(p.value("password"), "masterkey");
  EXPECT_EQ(p.value("DataBase"), db_->path());  // the path alone: embedded engine
  EXPECT_EQ(p.value("User_Name"), "SYSDBA");
  EXPECT_EQ(p.value("SQLDialect"), "3");
  EXPECT_EQ(p.value("ServerCharSet"), "win1251");
  EXPECT_EQ(p.value("BlobSize"), "-1");  // the rest of the section is kept
  // The module's values replace the section's entries of another letter case.
  int passwords = 0, databases = 0;
  for (const auto& kv : p.items()) {
    if (platform::SameText(kv.first, "password")) ++passwords;
    if (platform::SameText(kv.first, "database")) ++databases;
  }
  EXPECT_EQ(passwords, 1);
  EXPECT_EQ(databases, 1);
  EXPECT_FALSE(ui_.busy);
  EXPECT_GE(ui_.busyCalls, 2);
  EXPECT_GE(ui_.processMessagesCalls, 1);

  ASSERT_TRUE(dm_->OpenIBDatabase(err)) << err;
  EXPECT_TRUE(dm_->IBDB.connected());
  EXPECT_EQ(dm_->IBDB.params.value("PASSWORD"), "masterkey");
  // Both work.
  dm_->Qry1.setSql("select count(*) from OUR_HOSPITALS");
  dm_->Qry1.open();
  EXPECT_EQ(dm_->Qry1.field(size_t{0}).asInteger(), 1);
  dm_->Qry1.close();
  dm_->sdsTemp.setSql("SELECT KOD_HOSPITAL FROM OUR_HOSPITALS");
  dm_->sdsTemp.open();
  EXPECT_EQ(dm_->sdsTemp.field("KOD_HOSPITAL").asInteger(), 61);
  dm_->sdsTemp.close();
  // Connecting again reconnects.
  ASSERT_TRUE(dm_->OpenSQLConnection(err, false)) << err;
  ASSERT_TRUE(dm_->OpenIBDatabase(err)) << err;
}

TEST_F(DataModuleTest, MissingPasswordGivesAnEmptyPasswordForBothConnections) {
  testsupport::WriteFile(dir_ + "Morqa.ini", Ini(db_->path(), "", false));
  std::string err;
  ASSERT_TRUE(dm_->OpenSQLConnection(err, false)) << err;
  EXPECT_FALSE(dm_->SQLConnection.Params.has("password"));  // the empty value deletes the entry
  ASSERT_TRUE(dm_->OpenIBDatabase(err)) << err;
  EXPECT_FALSE(dm_->IBDB.params.has("PASSWORD"));
}

TEST_F(DataModuleTest, FailingConnectionGivesClassNameAndMessage) {
  std::string missing = dir_ + "missing.fdb";
  testsupport::WriteFile(dir_ + "Morqa.ini", Ini(missing));
  std::string err;
  EXPECT_FALSE(dm_->OpenSQLConnection(err, false));
  EXPECT_EQ(err.rfind("EFbError\r", 0), 0u) << err;
  EXPECT_NE(err.find("I/O error during \"open\""), std::string::npos) << err;
  EXPECT_NE(err.find(missing), std::string::npos) << err;
  EXPECT_FALSE(dm_->SQLConnection.connected());
  EXPECT_FALSE(ui_.busy);
  // OpenIBDatabase takes the password the SQL connection holds after the failed open.
  EXPECT_EQ(dm_->SQLConnection.Params.value("password"), "masterkey");
  dm_->IBDB.databaseName = missing;
  std::string err2;
  EXPECT_FALSE(dm_->OpenIBDatabase(err2));
  EXPECT_EQ(dm_->IBDB.params.value("PASSWORD"), "masterkey");
  EXPECT_EQ(err2.rfind("EFbError\r", 0), 0u) << err2;
}

TEST_F(DataModuleTest, HostNameGoesBeforeThePath) {
  // A host makes the client go to a server; none runs here, so the open fails, but the
  // name is built as specified.
  testsupport::WriteFile(dir_ + "Morqa.ini", Ini("/srv/db/clinic.fdb", "nohost.invalid"));
  std::string err;
  EXPECT_FALSE(dm_->OpenSQLConnection(err, false));
  EXPECT_EQ(dm_->SQLConnection.Params.value("DataBase"), "nohost.invalid:/srv/db/clinic.fdb");
  EXPECT_EQ(err.rfind("EFbError\r", 0), 0u) << err;
}

TEST_F(DataModuleTest, CentreCheckRefusesBranchIdsInEitherTable) {
  const std::string refusal = platform::Utf8ToCp1251(
      "База данных ВИРЕЛ, выбранная как БД центра, таковой не является.\r\rВ актуализации данных отказано.");
  db_->exec("insert into PATIENT (IDP) values (1500000000)");
  db_->exec("insert into VISITS (IDV, PATIENT_ID) values (1500000000, 1500000000)");
  std::string err;
  EXPECT_TRUE(dm_->OpenSQLConnection(err, true)) << err;
  EXPECT_EQ(err, "");

  db_->exec("insert into PATIENT (IDP) values (1500000001)");
  EXPECT_FALSE(dm_->OpenSQLConnection(err, true));
  EXPECT_EQ(err, refusal);
  EXPECT_TRUE(dm_->SQLConnection.connected());  // stays open
  db_->exec("delete from PATIENT where IDP = 1500000001");

  db_->exec("insert into VISITS (IDV, PATIENT_ID) values (1500000001, 1)");
  EXPECT_FALSE(dm_->OpenSQLConnection(err, true));
  EXPECT_EQ(err, refusal);
  EXPECT_TRUE(dm_->SQLConnection.connected());
  // Without the check the same database opens.
  EXPECT_TRUE(dm_->OpenSQLConnection(err, false)) << err;
  db_->exec("delete from VISITS");
  db_->exec("delete from PATIENT");
}

TEST_F(DataModuleTest, TheChosenDatabaseReplacesTheSettingsFilesAndIsCheckedAsCentre) {
  const std::string missing = dir_ + "missing.fdb";
  testsupport::WriteFile(dir_ + "Morqa.ini", Ini(missing));
  dm_->ChosenDatabase = db_->path();
  std::string err;
  ASSERT_TRUE(dm_->OpenSQLConnection(err, true)) << err;
  EXPECT_EQ(dm_->SQLConnection.Params.value("DataBase"), db_->path());
  EXPECT_EQ(dm_->SQLConnection.Params.value("password"), "masterkey");  // still the settings file's

  db_->exec("insert into VISITS (IDV, PATIENT_ID) values (1500000001, 1)");
  EXPECT_FALSE(dm_->OpenSQLConnection(err, true));
  EXPECT_EQ(err, platform::Utf8ToCp1251("База данных ВИРЕЛ, выбранная как БД центра, таковой не является.\r\r"
                                        "В актуализации данных отказано."));
  EXPECT_TRUE(dm_->SQLConnection.connected());
  db_->exec("delete from VISITS");

  // Without a choice the settings file's database is opened again.
  dm_->ChosenDatabase.clear();
  EXPECT_FALSE(dm_->OpenSQLConnection(err, false));
  EXPECT_EQ(dm_->SQLConnection.Params.value("DataBase"), missing);
  EXPECT_NE(err.find(missing), std::string::npos) << err;
}

TEST_F(DataModuleTest, ReconnectKeepsThePendingWorkOfBothTransactions) {
  std::string err;
  ASSERT_TRUE(dm_->OpenSQLConnection(err, false)) << err;
  ASSERT_TRUE(dm_->OpenIBDatabase(err)) << err;
  dm_->QryApp.setSql("insert into NPUNKT (KOD, NAME) values (:K, :N)");
  dm_->QryApp.prepare();
  dm_->QryApp.param("K").setInteger(5);
  dm_->QryApp.param("N").setString(platform::Utf8ToCp1251("г. Тест"));
  dm_->QryApp.execSQL();
  dm_->IBTran.start();
  dm_->Qryw.setSql("update SYSTEM_OPTIONS set LAST_UPDATE_DATE = :D");
  dm_->Qryw.param("D").setString("09.12.2026");
  dm_->Qryw.execSQL();
  EXPECT_TRUE(dm_->IBTran.active());
  EXPECT_TRUE(dm_->IBTran2.active());
  EXPECT_EQ(db_->count("NPUNKT"), 0);  // not yet visible to other attachments
  ASSERT_TRUE(dm_->OpenIBDatabase(err)) << err;  // reconnect: commits first
  EXPECT_EQ(db_->scalar("select NAME from NPUNKT where KOD = 5"), platform::Utf8ToCp1251("г. Тест"));
  EXPECT_EQ(db_->scalar("select LAST_UPDATE_DATE from SYSTEM_OPTIONS"), "09.12.2026");
  // The prepared statement works on the new attachment.
  dm_->QryApp.param("K").setInteger(6);
  dm_->QryApp.execSQL();
  dm_.reset();  // closing the program commits as well
  EXPECT_EQ(db_->count("NPUNKT"), 2);
  db_->exec("delete from NPUNKT");
  db_->exec("update SYSTEM_OPTIONS set LAST_UPDATE_DATE = null");
}

TEST_F(DataModuleTest, BackupRestoresAndReopensTheSqlConnection) {
  db_->exec("insert into DOCTORS (ID, KOD, KOD_PROFESSION) values (1, 2, '3')");
  std::string err;
  ASSERT_TRUE(dm_->OpenSQLConnection(err, false)) << err;
  std::string backupDir = dir_ + "back";  // no trailing separator
  std::filesystem::create_directory(backupDir);
  dm_->BackupDatabase(backupDir, "clinic.fbk", err);
  EXPECT_EQ(err, "");
  EXPECT_TRUE(dm_->SQLConnection.connected());
  std::string file = backupDir + "/clinic.fbk";
  ASSERT_TRUE(std::filesystem::exists(file));
  std::string restored = dir_ + "restored.fdb";
  std::string cmd = "gbak -c -user SYSDBA '" + file + "' '" + restored + "' >/dev/null 2>&1";
  ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
  fbdb::Attachment r;
  r.databaseName = restored;
  r.connect();
  {
    fbdb::Transaction t(r);
    fbdb::Query q(t);
    q.setSql("select count(*) from DOCTORS");
    q.open();
    EXPECT_EQ(q.field(size_t{0}).asInteger(), 1);
    q.close();
    q.setSql("select count(*) from OUR_HOSPITALS");
    q.open();
    EXPECT_EQ(q.field(size_t{0}).asInteger(), 1);
    q.close();
  }
  r.disconnect();

  // A closed SQL connection stays closed.
  dm_->SQLConnection.close();
  dm_->BackupDatabase(backupDir + "/", "second.fbk", err);
  EXPECT_EQ(err, "");
  EXPECT_FALSE(dm_->SQLConnection.connected());
  EXPECT_TRUE(std::filesystem::exists(backupDir + "/second.fbk"));
  db_->exec("delete from DOCTORS");
}

TEST_F(DataModuleTest, BackupIntoAnUnwritableFolderGivesTheThreeItemText) {
  std::string err;
  ASSERT_TRUE(dm_->OpenSQLConnection(err, false)) << err;
  std::string folder = dir_ + "no/such/folder";
  std::string file = folder + "/t.fbk";
  // The engine's own message for this, as the service reports it.
  std::string engineMessage;
  {
    fbdb::BackupService svc;
    svc.attach("", "SYSDBA", "");
    try {
      svc.startBackup(db_->path(), file, true);
      std::string line;
      while (svc.nextLine(line)) {
      }
    } catch (const fbdb::EFbError& e) {
      engineMessage = e.what();
    }
  }
  ASSERT_EQ(engineMessage, "cannot open backup file " + file);
  dm_->BackupDatabase(folder, "t.fbk", err);
  EXPECT_EQ(err, "@" + platform::Utf8ToCp1251("Ошибка при создании резервной копии БД:") + "@;@   EFbError@;@" +
                     engineMessage + "@;");
  EXPECT_FALSE(std::filesystem::exists(file));
  EXPECT_TRUE(dm_->SQLConnection.connected());
}

// Overwrites the first data page of the first user table with the page type of an index
// page: a backup reading that table fails midway.
void DamageFirstDataPage(const std::string& path) {
  std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
  std::string page(8192, '\0');
  for (long n = 0; f.seekg(n * 8192) && f.read(page.data(), 8192); ++n) {
    const unsigned relation = static_cast<unsigned char>(page[20]) | static_cast<unsigned char>(page[21]) << 8;
    if (page[0] == 5 && relation >= 128) {
      page[0] = 7;
      f.seekp(n * 8192);
      f.write(page.data(), 8192);
      return;
    }
  }
  FAIL() << "no data page in " << path;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A backup over a file of the same name replaces it only once it is complete: one that
// fails midway keeps the earlier file, one that succeeds replaces it; nothing else is left.
TEST_F(DataModuleTest, ABackupOverAnEarlierOneKeepsItUntilComplete) {
  testsupport::TestDatabase damaged("create table T (X varchar(200));\nSET TERM ^ ;\n"
                                    "execute block as declare i int = 0; begin while (i < 500) do begin "
                                    "insert into T values (lpad('', 200, 'x')); i = i + 1; end end^\nSET TERM ; ^\n");
  DamageFirstDataPage(damaged.path());
  const std::string folder = dir_ + "back/";
  std::filesystem::create_directory(folder);
  testsupport::WriteFile(folder + "daily.gbk", "the earlier backup");
  dm_->SQLConnection.Params.setValue("DataBase", damaged.path());
  std::string err;
  dm_->BackupDatabase(folder, "daily.gbk", err);
  EXPECT_EQ(err.rfind("@" + platform::Utf8ToCp1251("Ошибка при создании резервной копии БД:") + "@;@   EFbError@;@", 0),
            0u) << err;
  EXPECT_EQ(ReadAll(folder + "daily.gbk"), "the earlier backup");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), std::filesystem::directory_iterator()), 1);

  dm_->SQLConnection.Params.setValue("DataBase", db_->path());
  dm_->BackupDatabase(folder, "daily.gbk", err);
  EXPECT_EQ(err, "");
  EXPECT_NE(ReadAll(folder + "daily.gbk"), "the earlier backup");
  EXPECT_GT(std::filesystem::file_size(folder + "daily.gbk"), 10000u);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), std::filesystem::directory_iterator()), 1);
}

TEST_F(DataModuleTest, AFailedReopenAfterTheBackupIsReportedNotRaised) {
  std::string err;
  ASSERT_TRUE(dm_->OpenSQLConnection(err, false)) << err;
  std::string missing = dir_ + "gone.fdb";
  dm_->SQLConnection.Params.setValue("DataBase", missing);
  EXPECT_NO_THROW(dm_->BackupDatabase(dir_, "x.fbk", err));
  std::string heading = "@" + platform::Utf8ToCp1251("Ошибка при создании резервной копии БД:") + "@;@   EFbError@;@";
  EXPECT_EQ(err.rfind(heading, 0), 0u) << err;
  // Two items more: the class name and the message of the failed reopen.
  size_t second = err.find("@;@   EFbError@;@", heading.size());
  EXPECT_NE(second, std::string::npos) << err;
  EXPECT_EQ(err.substr(err.size() - 2), "@;");
  EXPECT_FALSE(dm_->SQLConnection.connected());
}

}  // namespace

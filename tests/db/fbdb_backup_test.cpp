// The backup service of the embedded engine, checked by restoring with gbak.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "db/fbdb.h"
#include "support/TestDatabase.h"

namespace {

using testsupport::TestDatabase;

TEST(BackupService, BackupRestoresWithGbakIntoTheSameRows) {
  TestDatabase db;
  db.exec("insert into NPUNKT (KOD, NAME) values (1, 'a')");
  db.exec("insert into NPUNKT (KOD, NAME) values (2, 'b')");
  auto a = db.attach();  // a backup works while this process holds the database
  std::string file = db.dir() + "clinic.fbk";
  fbdb::BackupService svc;
  svc.attach("", "SYSDBA", "x");
  svc.startBackup(db.path(), file, true);
  std::string line;
  int lines = 0;
  while (svc.nextLine(line)) ++lines;
  svc.detach();
  a->disconnect();
  EXPECT_GT(lines, 10);
  ASSERT_TRUE(std::filesystem::exists(file));

  std::string restored = db.dir() + "restored.fdb";
  std::string cmd = "gbak -c -user SYSDBA '" + file + "' '" + restored + "' >/dev/null 2>&1";
  ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
  fbdb::Attachment r;
  r.databaseName = restored;
  r.connect();
  fbdb::Transaction t(r);
  fbdb::Query q(t);
  q.setSql("select count(*), max(NAME) from NPUNKT");
  q.open();
  EXPECT_EQ(q.field(size_t{0}).asInteger(), 2);
  EXPECT_EQ(q.field(size_t{1}).asString(), "b");
  q.close();
  t.commit();
  r.disconnect();
}

TEST(BackupService, UnwritableFolderIsAnError) {
  TestDatabase db;
  fbdb::BackupService svc;
  svc.attach("", "SYSDBA", "");
  std::string file = db.dir() + "no/such/dir/t.fbk";
  try {
    svc.startBackup(db.path(), file, true);
    std::string line;
    while (svc.nextLine(line)) {
    }
    FAIL() << "no error";
  } catch (const fbdb::EFbError& e) {
    // The same text whatever the timing of the service's replies.
    EXPECT_EQ(std::string(e.what()), "cannot open backup file " + file);
  }
  svc.detach();
  EXPECT_FALSE(std::filesystem::exists(file));
}

// The embedded engine must not be unloaded under a service thread that is still finishing
// (that crashed the process when no other attachment kept the engine in use).
TEST(BackupService, RepeatedBackupsWithNothingElseAttached) {
  TestDatabase db;
  for (int i = 0; i < 15; ++i) {
    fbdb::BackupService svc;
    svc.attach("", "SYSDBA", "");
    std::string file = db.dir() + "r" + std::to_string(i % 3) + ".fbk";
    std::filesystem::remove(file);
    svc.startBackup(db.path(), file, true);
    std::string line;
    while (svc.nextLine(line)) {
    }
    svc.detach();
    EXPECT_TRUE(std::filesystem::exists(file));
    fbdb::BackupService bad;
    bad.attach("", "SYSDBA", "");
    std::string badFile = db.dir() + "missing/x.fbk";
    try {
      bad.startBackup(db.path(), badFile, true);
      while (bad.nextLine(line)) {
      }
      ADD_FAILURE() << "no error";
    } catch (const fbdb::EFbError& e) {
      EXPECT_EQ(std::string(e.what()), "cannot open backup file " + badFile);
    }
  }
}

}  // namespace

// Backups from a process that holds no database attachment of its own, ending right
// after the last one. The embedded engine is then in use only through the service;
// when it was unloaded under a service thread that was still finishing, such
// processes crashed at exit.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "db/fbdb.h"
#include "support/TestDatabase.h"

namespace {

void BackupsThenExit(const std::string& dir, const std::string& path) {
  for (int i = 0; i < 12; ++i) {
    fbdb::BackupService svc;
    svc.attach("", "SYSDBA", "");
    std::string file = i % 4 == 0 ? dir + "ok" + std::to_string(i) + ".fbk" : dir + "no/such/x.fbk";
    try {
      svc.startBackup(path, file, true);
      std::string line;
      while (svc.nextLine(line)) {
      }
      if (i % 4 != 0) std::_Exit(3);
    } catch (const fbdb::EFbError& e) {
      if (i % 4 == 0 || std::string(e.what()) != "cannot open backup file " + file) std::_Exit(4);
    }
    svc.detach();
  }
  std::exit(0);  // at once, with the engine's cleanup
}

TEST(BackupServiceEngine, ProcessEndsCleanlyRightAfterBackups) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process for each run
  std::string dir = testsupport::MakeTempDir("kesta-svc");
  std::string path = dir + "made-by-isql.fdb";
  testsupport::WriteFile(dir + "create.sql", "create database '" + path + "' user 'SYSDBA';\n");
  std::string cmd = "isql-fb -q -i '" + dir + "create.sql' >/dev/null 2>&1";
  ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
  for (int run = 0; run < 6; ++run) EXPECT_EXIT(BackupsThenExit(dir, path), ::testing::ExitedWithCode(0), "") << run;
  testsupport::RemoveDir(dir);
}

}  // namespace

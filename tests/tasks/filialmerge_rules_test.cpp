// The branch merge's pieces that need no database: names, the date bound, the id block
// check, the packet clean-up and the renaming of a merged archive.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "filialmerge_fixture.h"
#include "platform/codepage.h"
#include "platform/dates.h"
#include "support/TestDatabase.h"
#include "tasks/Task_FilialMerge.h"

namespace {

using dbftest::C;

std::string ReadAll(const std::string& path) {
  std::ifstream in(platform::ToFsPath(path), std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool Exists(const std::string& path) { return std::ifstream(platform::ToFsPath(path)).good(); }

class TempDir : public ::testing::Test {
protected:
  std::string dir = testsupport::MakeTempDir("kesta-merge-rules");
  ~TempDir() override { testsupport::RemoveDir(dir); }
};

TEST(FilialNames, NewNameUpperCasesThePathAndReplacesEveryZip) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"c:\\data\\branch1.zip", "C:\\DATA\\BRANCH1.LOAD"},
      {"C:\\X.ZIP\\A.ZIP", "C:\\X.LOAD\\A.LOAD"},
      {"/srv/b/a.Zip", "/SRV/B/A.LOAD"},
      {"/srv/b/a.zipped", "/SRV/B/A.LOADPED"},
      {"/srv/b/noext", "/SRV/B/NOEXT"},
  };
  for (const Case& c : cases) EXPECT_EQ(tasks::FilialLoadedName(c.in), c.out) << c.in;
  // CP1251 letters are upper-cased too.
  EXPECT_EQ(tasks::FilialLoadedName(C("/srv/филиал.zip")), C("/SRV/ФИЛИАЛ.LOAD"));
}

TEST(FilialNames, FolderOfTheArchive) {
  EXPECT_EQ(tasks::FilialFolderOf("/srv/b/a.zip"), "/srv/b/");
  EXPECT_EQ(tasks::FilialFolderOf("c:\\data\\a.zip"), "c:\\data\\");
  EXPECT_EQ(tasks::FilialFolderOf("a.zip"), "");
}

TEST(FilialNames, DateBoundIsAYearBackQuoted) {
  EXPECT_EQ(tasks::FilialDateBound(platform::EncodeDate(2026, 12, 9)), "'09.12.2025'");
  EXPECT_EQ(tasks::FilialDateBound(platform::EncodeDate(2026, 12, 10) + 0.75), "'10.12.2025'");
  EXPECT_EQ(tasks::FilialDateBound(platform::EncodeDate(2024, 12, 31)), "'01.01.2024'");  // leap year
}

TEST(FilialNames, IdBlocksStayBelowTheBranchRange) {
  EXPECT_TRUE(tasks::FilialIdBlockFits(1, 0));
  EXPECT_TRUE(tasks::FilialIdBlockFits(1499999980, 20));
  EXPECT_FALSE(tasks::FilialIdBlockFits(1499999981, 20));
  EXPECT_FALSE(tasks::FilialIdBlockFits(1500000001, 0));
  EXPECT_FALSE(tasks::FilialIdBlockFits(2147483647, 1));
}

TEST(FilialNames, TheTwentyThreePackets) {
  const auto& f = tasks::FilialPacketFiles();
  ASSERT_EQ(f.size(), 23u);
  EXPECT_EQ(f.front(), "CONST_PARAMS.xml");
  EXPECT_EQ(f[1], "PATIENT.xml");
  EXPECT_EQ(f.back(), "MO.xml");
}

TEST_F(TempDir, DeleteFilialXmlRemovesOnlyThePacketsInAnyCase) {
  for (const std::string& f : tasks::FilialPacketFiles()) testsupport::WriteFile(dir + f, "x");
  testsupport::WriteFile(dir + "OTHER.xml", "keep");
  testsupport::WriteFile(dir + "patient.XML", "x");  // the same packet name in another case
  testsupport::WriteFile(dir + "MO.XML", "x");
  tasks::DeleteFilialXml(dir);
  for (const std::string& f : tasks::FilialPacketFiles()) EXPECT_FALSE(Exists(dir + f)) << f;
  EXPECT_TRUE(Exists(dir + "OTHER.xml"));
  EXPECT_FALSE(Exists(dir + "patient.XML"));
  EXPECT_FALSE(Exists(dir + "MO.XML"));
  tasks::DeleteFilialXml(dir);  // nothing there: no error
}

TEST_F(TempDir, RenameResolvesFoldersWithoutRegardToCase) {
  testsupport::WriteFile(dir + "branch1.zip", "archive");
  const std::string newName = tasks::FilialLoadedName(dir + "branch1.zip");
  EXPECT_NE(newName.find("BRANCH1.LOAD"), std::string::npos);
  ASSERT_TRUE(tasks::RenameFilialArchive(dir + "branch1.zip", newName));
  EXPECT_FALSE(Exists(dir + "branch1.zip"));
  EXPECT_EQ(ReadAll(dir + "BRANCH1.LOAD"), "archive");
}

TEST_F(TempDir, RenameNeverReplacesAnExistingFile) {
  testsupport::WriteFile(dir + "a.zip", "new");
  testsupport::WriteFile(dir + "a.load", "merged earlier");  // the same name but for case
  EXPECT_FALSE(tasks::RenameFilialArchive(dir + "a.zip", tasks::FilialLoadedName(dir + "a.zip")));
  EXPECT_EQ(ReadAll(dir + "a.load"), "merged earlier");
  EXPECT_EQ(ReadAll(dir + "a.zip"), "new");
  testsupport::WriteFile(dir + "b.zip", "new");
  testsupport::WriteFile(dir + "B.LOAD", "merged earlier");
  EXPECT_FALSE(tasks::RenameFilialArchive(dir + "b.zip", dir + "B.LOAD"));
  EXPECT_EQ(ReadAll(dir + "B.LOAD"), "merged earlier");
}

TEST_F(TempDir, RenameFailsForMissingFilesAndFolders) {
  EXPECT_FALSE(tasks::RenameFilialArchive(dir + "gone.zip", dir + "GONE.LOAD"));
  std::filesystem::create_directories(dir + "x.zip");  // a folder named like an archive
  testsupport::WriteFile(dir + "x.zip/a.zip", "a");
  EXPECT_FALSE(tasks::RenameFilialArchive(dir + "x.zip/a.zip", tasks::FilialLoadedName(dir + "x.zip/a.zip")));
  EXPECT_TRUE(Exists(dir + "x.zip/a.zip"));
}

// The new name upper-cases the folders too: the file stays in its own folder, also when
// a sibling folder's name differs from it only in case.
TEST_F(TempDir, RenameStaysInTheArchivesOwnFolder) {
  std::filesystem::create_directories(dir + "rn/a");
  std::filesystem::create_directories(dir + "rn/A");
  std::filesystem::create_directories(dir + "RN/A");
  testsupport::WriteFile(dir + "rn/a/branch.zip", "archive");
  const std::string newName = tasks::FilialLoadedName(dir + "rn/a/branch.zip");
  ASSERT_TRUE(tasks::RenameFilialArchive(dir + "rn/a/branch.zip", newName));
  EXPECT_EQ(ReadAll(dir + "rn/a/BRANCH.LOAD"), "archive");
  EXPECT_FALSE(Exists(dir + "rn/a/branch.zip"));
  EXPECT_TRUE(std::filesystem::is_empty(platform::ToFsPath(dir + "rn/A")));
  EXPECT_TRUE(std::filesystem::is_empty(platform::ToFsPath(dir + "RN/A")));
  // A folder the new name changes (".ZIP" in it) is still looked up without regard to case.
  std::filesystem::create_directories(dir + "x.zip");
  std::filesystem::create_directories(dir + "x.load");
  testsupport::WriteFile(dir + "x.zip/b.zip", "b");
  ASSERT_TRUE(tasks::RenameFilialArchive(dir + "x.zip/b.zip", tasks::FilialLoadedName(dir + "x.zip/b.zip")));
  EXPECT_EQ(ReadAll(dir + "x.load/B.LOAD"), "b");
}

TEST_F(TempDir, RenameChangesOnlyTheCaseOfAPathWithoutZip) {
  testsupport::WriteFile(dir + "branch.arc", "a");
  ASSERT_TRUE(tasks::RenameFilialArchive(dir + "branch.arc", tasks::FilialLoadedName(dir + "branch.arc")));
  EXPECT_EQ(ReadAll(dir + "BRANCH.ARC"), "a");
}

TEST(FilialZip, FixtureArchivesAreReadByInfoZip) {
  if (std::system("command -v unzip >/dev/null 2>&1") != 0) GTEST_SKIP() << "unzip not installed";
  const std::string dir = testsupport::MakeTempDir("kesta-merge-zip");
  testsupport::WriteFile(dir + "t.zip", mergetest::ZipStored({{"A.xml", "<a/>"}, {"B.xml", std::string(1000, 'b')}}));
  EXPECT_EQ(std::system(("unzip -tq " + dir + "t.zip >/dev/null").c_str()), 0);
  testsupport::RemoveDir(dir);
}

}  // namespace

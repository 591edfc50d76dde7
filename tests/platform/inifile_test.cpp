#include "platform/inifile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/exception.h"

using namespace platform;
namespace fs = std::filesystem;

namespace {

class IniFileTest : public ::testing::Test {
protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kesta-ini-XXXXXX";
    dir_ = mkdtemp(tmpl);
    path_ = dir_ + "/Morqa.ini";
  }
  void TearDown() override { fs::remove_all(dir_); }
  void write(const std::string& text) { std::ofstream(path_, std::ios::binary) << text; }
  std::string read() {
    std::ifstream f(path_, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
  }
  std::string dir_, path_;
};

TEST_F(IniFileTest, ReadsCaseInsensitivelyWithDefaults) {
  write("; comment\r\n[STAT_MAIN]\r\nDatabase = /db/clinic.fdb \r\n[Proxy]\r\nUseProxy=1\r\nPort=0x1F90\r\n"
        "Quoted=\" a b \"\r\nDup=first\r\nDup=second\r\n[stat_main]\r\nDatabase=ignored\r\n");
  TIniFile ini(path_);
  EXPECT_EQ(ini.ReadString("stat_main", "DATABASE", "d"), "/db/clinic.fdb");
  EXPECT_EQ(ini.ReadString("STAT_MAIN", "Missing", "def"), "def");
  EXPECT_EQ(ini.ReadString("NoSuch", "Database", "def"), "def");
  EXPECT_TRUE(ini.ReadBool("PROXY", "UseProxy", false));
  EXPECT_FALSE(ini.ReadBool("PROXY", "Other", false));
  EXPECT_EQ(ini.ReadInteger("PROXY", "Port", 0), 8080);
  EXPECT_EQ(ini.ReadInteger("PROXY", "Quoted", 7), 7);
  EXPECT_EQ(ini.ReadString("PROXY", "Quoted", ""), " a b ");
  EXPECT_EQ(ini.ReadString("PROXY", "Dup", ""), "first");
  TParams p;
  ini.ReadSectionValues("proxy", p);
  ASSERT_EQ(p.size(), 4u);
  EXPECT_EQ(p.value("dup"), "first");
  EXPECT_TRUE(ini.SectionExists("Proxy"));
  EXPECT_TRUE(ini.ValueExists("PROXY", "port"));
}

TEST_F(IniFileTest, BytesPassUnchanged) {
  // An enciphered password may hold control bytes and CP1251 letters.
  write("[Password]\nPassword=\xca\xbc\x11\xed\x5c\x68\xdd\n");
  TIniFile ini(path_);
  EXPECT_EQ(ini.ReadString("Password", "Password", ""), "\xca\xbc\x11\xed\x5c\x68\xdd");
  ini.WriteString("MY_HOSPITAL", "NAME_HOSPITAL", "\xcf\xee\xeb\xe8\xea\xeb\xe8\xed\xe8\xea\xe0");
  EXPECT_EQ(ini.ReadString("my_hospital", "name_hospital", ""), "\xcf\xee\xeb\xe8\xea\xeb\xe8\xed\xe8\xea\xe0");
}

TEST_F(IniFileTest, WritesInPlaceKeepingEveryOtherLine) {
  write("; settings\r\n[WORK_PATH]\r\nDBF_P=/old\r\n  ; note\r\nOther=1\r\n\r\n[PROXY]\r\nServer=a\r\n");
  TIniFile ini(path_);
  ini.WriteString("work_path", "dbf_p", "/new path");
  ini.WriteString("WORK_PATH", "SMP_WORK_PATH", "/smp");
  ini.WriteBool("PROXY", "UseProxy", true);
  ini.WriteInteger("BACKUP_Path", "Count", -3);
  EXPECT_EQ(read(),
            "; settings\r\n[WORK_PATH]\r\nDBF_P=/new path\r\n  ; note\r\nOther=1\r\nSMP_WORK_PATH=/smp\r\n\r\n"
            "[PROXY]\r\nServer=a\r\nUseProxy=1\r\n\r\n[BACKUP_Path]\r\nCount=-3\r\n");
  ini.DeleteKey("WORK_PATH", "Other");
  ini.EraseSection("PROXY");
  TIniFile again(path_);
  EXPECT_EQ(again.ReadString("WORK_PATH", "Other", "gone"), "gone");
  EXPECT_FALSE(again.SectionExists("PROXY"));
  EXPECT_EQ(again.ReadInteger("BACKUP_Path", "Count", 0), -3);
}

TEST_F(IniFileTest, MissingFileGivesDefaultsAndIsNotCreatedByReading) {
  TIniFile ini(dir_ + "/none.ini");
  EXPECT_EQ(ini.ReadString("A", "B", "x"), "x");
  EXPECT_TRUE(ini.ReadSection("A").empty());
  EXPECT_FALSE(fs::exists(dir_ + "/none.ini"));
  ini.WriteString("A", "B", "y");
  EXPECT_EQ(TIniFile(dir_ + "/none.ini").ReadString("a", "b", ""), "y");
}

// A read-only settings file is not replaced by a new one renamed over it: the write is
// refused and the file, its inode and its folder stay as they were (also for root, who may
// write any file: the permission bits decide).
TEST_F(IniFileTest, ReadOnlyFileIsRefusedAndKept) {
  const std::string text = "[WORK_PATH]\r\nDBF_P=/old\r\n";
  for (const mode_t mode : {0444, 0400, 0000}) {
    write(text);
    ASSERT_EQ(::chmod(path_.c_str(), mode), 0);
    struct stat before {};
    ASSERT_EQ(::stat(path_.c_str(), &before), 0);
    TIniFile ini(path_);
    EXPECT_THROW(ini.WriteString("WORK_PATH", "DBF_P", "/new"), EOSError) << mode;
    EXPECT_THROW(ini.WriteBool("PROXY", "UseProxy", true), EOSError) << mode;
    EXPECT_THROW(ini.DeleteKey("WORK_PATH", "DBF_P"), EOSError) << mode;
    struct stat after {};
    ASSERT_EQ(::stat(path_.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino) << mode;
    EXPECT_EQ(after.st_mode, before.st_mode) << mode;
    ::chmod(path_.c_str(), 0644);
    EXPECT_EQ(read(), text) << mode;
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1) << mode;
  }
  // Writable again: written in place as always.
  TIniFile(path_).WriteString("WORK_PATH", "DBF_P", "/new");
  EXPECT_EQ(read(), "[WORK_PATH]\r\nDBF_P=/new\r\n");
}

TEST_F(IniFileTest, UnwritableFolderRaises) {
  TIniFile ini(dir_ + "/no/such/dir/x.ini");
  EXPECT_THROW(ini.WriteString("A", "B", "C"), EOSError);
}

}  // namespace

// The backup buttons of pages 0 and 11 on a real embedded clinic database: the file the
// chooser gave is where the server writes the backup.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "embedded_shell.h"

using namespace testshell;
using shell::S;

namespace {

class EmbeddedBackup : public EmbeddedShell {};

TEST_F(EmbeddedBackup, TheChosenFileIsTheBackupFile) {
  namespace fs = std::filesystem;
  ASSERT_EQ(w->backupPath(), dir);  // the program folder, by default
  fs::create_directory(dir + "old");
  TempDir elsewhere;
  struct Case {
    std::string chosen;
    std::string stored;
  } const cases[] = {{dir + "mycopy.gbk", "mycopy.gbk"},
                     {dir + "old/second.gbk", "old/second.gbk"},
                     {elsewhere.path + "third.gbk", elsewhere.path + "third.gbk"}};
  for (const Case& c : cases) {
    prompt.files.push_back(c.chosen);
    w->sbOpenBClick();
    ASSERT_EQ(S(w->edBackup->text()), c.stored);
    w->tbBackup1Click();
    ASSERT_TRUE(prompt.msgs.empty()) << prompt.msgs[0].text;
    EXPECT_EQ(S(w->lbBack->text()), C("Файл резервной копии создан!")) << c.chosen;
    EXPECT_TRUE(fs::is_regular_file(c.chosen)) << c.chosen;
    EXPECT_GT(fs::file_size(c.chosen), 0u);
  }
  EXPECT_FALSE(fs::exists(dir + dir.substr(1)));  // the folder joined in front of a full path
  // Page 11 the same way.
  prompt.files.push_back(elsewhere.path + "end.gbk");
  w->sbOpenB2Click();
  w->tbBackup2Click();
  EXPECT_EQ(S(w->lbBack2->text()), C("Файл резервной копии создан!"));
  EXPECT_TRUE(fs::is_regular_file(elsewhere.path + "end.gbk"));
}

}  // namespace

// One timed run against a real embedded clinic database: the backups of tasks 0 and 11.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/TestDatabase.h"
#include "app/DataBridge.h"
#include "shell_fakes.h"
#include "tasks/Scheduler_DM.h"

using namespace testshell;
using shell::S;

namespace {

TEST(EmbeddedRun, BackupsAtTheStartAndTheEndOfARun) {
  testsupport::TestDatabase db;
  const std::string dir = db.dir();
  std::filesystem::create_directory(dir + "bak");
  testsupport::WriteFile(dir + "Morqa.ini", "[STAT_MAIN]\r\nDatabase=" + db.path() +
                                                "\r\n[DB_PCName]\r\nDB_PCName=\r\n[BACKUP_Path]\r\n"
                                                "DB_BACKUP_Path_MAIN=" + dir + "bak\r\n");
  const std::string oldCwd = std::filesystem::current_path().string();
  std::filesystem::current_path(dir);
  {
    TdmScheduler dm(dir);
    shell::TDataBridge bridge(dm);
    FakePrompt prompt;
    FakeClock clock;
    FakeExtractor extractor;
    TfmMain w(bridge, extractor, prompt, clock, dir);
    dm.SetUi(&w);
    w.FormActivate();
    ASSERT_TRUE(prompt.msgs.empty()) << prompt.msgs[0].text;
    EXPECT_TRUE(dm.IBDB.connected());
    EXPECT_TRUE(dm.SQLConnection.connected());
    for (int i = 0; i < shell::kTaskCount; ++i)
      w.lvTasks->topLevelItem(i)->setCheckState(0, i == 0 || i == 11 ? Qt::Checked : Qt::Unchecked);
    w.DTime->setTime(QTime(14, 5));
    clock.set(14, 4, 0);
    w.acTimerTurnONExecute();
    ASSERT_TRUE(w.timerOn());
    clock.set(14, 4, 59);
    w.tmTasksTimer();
    EXPECT_FALSE(dm.IBDB.connected());  // armed ticks close the connections
    clock.set(14, 5, 0);
    w.tmTasksTimer();
    ASSERT_TRUE(prompt.msgs.empty()) << prompt.msgs[0].text;
    EXPECT_EQ(w.status(0), C("Выполнение завершено"));
    EXPECT_EQ(w.status(11), C("Выполнение завершено"));
    EXPECT_EQ(S(w.lbBack->text()), C("Файл резервной копии создан!"));
    EXPECT_EQ(S(w.lbBack2->text()), C("Файл резервной копии создан!"));
    for (const char* f : {"bak/BackupStart_09122026.gbk", "bak/BackupEnd_09122026.gbk"}) {
      ASSERT_TRUE(std::filesystem::exists(dir + f)) << f;
      EXPECT_GT(std::filesystem::file_size(dir + f), 1000u) << f;
    }
    const std::vector<std::string> protocol = {C("Файл резервной копии создан \"BackupStart_09122026.gbk\""), " ",
                                               C("Файл резервной копии создан \"BackupEnd_09122026.gbk\""), " "};
    EXPECT_EQ(w.protocol(), protocol);
    // A complete run closes both connections at its tail and gives them back, as
    // disarming does.
    EXPECT_TRUE(dm.IBDB.connected());
    EXPECT_TRUE(dm.SQLConnection.connected());
    w.close();
    dm.SetUi(nullptr);
  }
  std::filesystem::current_path(oldCwd);
}

}  // namespace

// Start-up and close of the main window with fixture INI files.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "shell_fakes.h"

using namespace testshell;
using shell::Q;
using shell::S;

namespace {

std::string Ini(const std::string& body) { return body; }

TEST(Startup, ReadsBothFilesIntoTheControls) {
  Shell sh(true,
           Ini("[WORK_PATH]\r\nPachRen=  \r\nStartRen=1\r\nSMP_WORK_PATH=\r\nDBF_P=/data/prik.dbf\r\n"
               "User=ivanov\r\nPass=secret\r\n[BACKUP_Path]\r\nDB_BACKUP_Path_MAIN=/srv/bak\r\n"
               "[STAT_MAIN]\r\nDatabase=/db/clinic.fdb\r\n[DB_PCName]\r\nDB_PCName=dbhost\r\n"),
           C("[MY_HOSPITAL]\r\nNAME_HOSPITAL=Поликлиника №1\r\nKOD_HOSPITAL=7\r\n"));
  sh.create();
  TfmMain& w = *sh.w;
  EXPECT_EQ(S(w.txtKestaAdress->text()), shell::DefaultUpdateUrl());  // blank gives the default
  EXPECT_TRUE(w.chkStartRen->isChecked());
  EXPECT_EQ(S(w.ledSMPFileName->text()), "");                       // present but empty stays empty
  EXPECT_EQ(S(w.edFileDBF->text()), "/data/prik.dbf");
  EXPECT_EQ(S(w.edFileL->text()), sh.dir.path);                     // missing gives the program folder
  EXPECT_EQ(S(w.ledFilialDBPath->text()), sh.dir.path);
  EXPECT_EQ(w.backupPath(), "/srv/bak/");                            // a separator is added
  EXPECT_EQ(S(w.edBackup->text()), "BackupStart_09122026.gbk");
  EXPECT_EQ(S(w.edBackup2->text()), "BackupEnd_09122026.gbk");
  EXPECT_EQ(S(w.edUser->text()), "ivanov");
  EXPECT_EQ(S(w.edPass->text()), "secret");
  EXPECT_EQ(S(w.edDB->text()), "/db/clinic.fdb");
  EXPECT_EQ(S(w.lbLPUName->text()), C("Поликлиника №1"));
  EXPECT_EQ(S(w.edLPU->text()), "0007");
  EXPECT_EQ(S(w.edHTTP->text()), std::string(shell::kFundServer) + "/cgi/upload.php?fid=PRIK0007");
  EXPECT_EQ(S(w.edSaveAs->text()), sh.dir.path + "FileTFOMS.dat");
  EXPECT_EQ(w.edDop->displayText(), QStringLiteral("10"));
  EXPECT_EQ(w.edMKB1->displayText(), QStringLiteral("A00.  "));
  EXPECT_EQ(w.edMKB2->displayText(), QStringLiteral("T98.3 "));
  EXPECT_EQ(w.edYear->text(), QStringLiteral("2026"));
  EXPECT_EQ(w.DTime->time(), QTime(10, 0));
  EXPECT_EQ(w.lvTasks->currentItem(), w.lvTasks->topLevelItem(0));
  EXPECT_EQ(w.passTries(), 3);
  const std::vector<std::string> expected = {"SetIBDatabaseName dbhost:/db/clinic.fdb", "ConnectIB",
                                             "OpenSQLConnection 0"};
  EXPECT_EQ(sh.data.calls, expected);
  EXPECT_TRUE(sh.prompt.msgs.empty());
}

TEST(Startup, DefaultsAndFailedConnections) {
  // No Zelvorn.ini: code 0 padded; an empty DB_PCName leaves the path alone (embedded server).
  Shell sh(true, "[STAT_MAIN]\r\nDatabase=/db/x.fdb\r\n[DB_PCName]\r\nDB_PCName=\r\n");
  sh.data.connectThrows = true;
  sh.data.sqlOk = false;
  sh.data.sqlErr = "EDatabaseError\rno server";
  sh.create();
  EXPECT_EQ(S(sh.w->edLPU->text()), "0000");
  EXPECT_EQ(sh.data.ibName, "/db/x.fdb");
  ASSERT_EQ(sh.prompt.msgs.size(), 2u);
  EXPECT_TRUE(sh.prompt.msgs[0].box);
  EXPECT_EQ(sh.prompt.msgs[0].caption, C("Сообщение"));
  EXPECT_EQ(sh.prompt.msgs[0].text, C("Не удалось соединиться с БД\r/db/x.fdb\r\rEOSError\rrefused"));
  EXPECT_EQ(sh.prompt.msgs[1].text,
            C("Не удалось соединиться с БД в задаче актуализации прикрепленного населения:\rEDatabaseError\rno server"));
  EXPECT_TRUE(sh.w->activated());
}

TEST(Startup, FundAddressRule) {
  struct Case {
    const char* code;
    const char* padded;
    const char* tail;
  } cases[] = {{"7", "0007", "PRIK0007"}, {"12345", "12345", "PRIK12345"}, {" 42 ", "0042", "PRIK0042"},
               {"", "", "NP"},         {"  ", "", "NP"},              {"-7", "00-7", "PRIK00-7"}};
  for (const Case& c : cases) {
    std::string padded;
    EXPECT_EQ(shell::FundAddress(c.code, padded), std::string(shell::kFundServer) + "/cgi/upload.php?fid=" + c.tail)
        << c.code;
    EXPECT_EQ(padded, c.padded) << c.code;
  }
}

TEST(Startup, CloseDuringTheActivationWaitsForIt) {
  Shell sh(true, "[STAT_MAIN]\r\nDatabase=/db/x.fdb\r\n");
  bool refused = false;
  sh.data.onCall = [&](const std::string& c) {
    // A close let through by a nested loop before the fund address is filled in.
    if (c.rfind("SetIBDatabaseName", 0) == 0) refused = !sh.w->close() && sh.w->isVisible();
  };
  sh.w = std::make_unique<TfmMain>(sh.data, sh.extractor, sh.prompt, sh.clock, sh.dir.path);
  sh.w->show();
  sh.w->FormActivate();
  EXPECT_TRUE(refused);
  EXPECT_FALSE(sh.w->isVisible());  // closed at the end of the activation
  EXPECT_NE(sh.dir.read("Morqa.ini").find("fid=PRIK0000"), std::string::npos);
}

TEST(Startup, ActivationRunsOnce) {
  Shell sh(true, "");
  sh.create();
  sh.w->AddProtocolLine("kept");
  sh.w->edUser->setText(QStringLiteral("typed"));
  sh.w->FormActivate();  // a second activation changes nothing
  EXPECT_EQ(sh.w->protocol(), std::vector<std::string>{"kept"});
  EXPECT_EQ(sh.w->edUser->text(), QStringLiteral("typed"));
  EXPECT_EQ(sh.data.count("OpenSQLConnection"), 1);
}

TEST(Startup, MissingIniClosesAndCloseCreatesPartialFile) {
  Shell sh(false);
  sh.create();
  ASSERT_FALSE(sh.prompt.msgs.empty());
  EXPECT_FALSE(sh.prompt.msgs[0].box);
  EXPECT_EQ(sh.prompt.msgs[0].text, C("Не найден файл ") + sh.dir.path + "Morqa.ini !");
  EXPECT_FALSE(sh.w->isVisible());
  // The DBF keys are skipped (no file when they were checked); the others create it.
  // (A file the INI class creates gets its own line ends.)
  const std::string expected = "[WORK_PATH]\nFILIALS_WORK_PATH=" + sh.dir.path + "\nHTTP=" +
                               shell::kFundServer + "/cgi/upload.php?fid=PRIK0000\nSMP_WORK_PATH=" + sh.dir.path +
                               "\nPachRen=" + shell::DefaultUpdateUrl() + "\nStartRen=0\n";
  EXPECT_EQ(sh.dir.read("Morqa.ini"), expected);
  EXPECT_TRUE(sh.dir.exists("Протокол.txt"));
}

TEST(Startup, CloseWritesKeysUnderTheirConditions) {
  Shell sh(true, "; site settings\r\n[WORK_PATH]\r\nUser=old\r\nFILIALS_WORK_PATH=/kept\r\n[PROXY]\r\nServer=p\r\n");
  sh.create();
  TfmMain& w = *sh.w;
  w.edUser->setText(QStringLiteral("  "));                 // blank: User stays
  w.ledFilialDBPath->setText(QStringLiteral("/no/such"));  // missing folder: stays
  w.edFileDBF->setText(QStringLiteral(" /d/p.dbf "));
  w.edFileL->setText(QString());
  w.edFileLS->setText(Q(C("/d/ЛС.dbf")));
  w.edHTTP->setText(QStringLiteral(" http://h/f "));
  w.ledSMPFileName->setText(Q(sh.dir.path + "calls.zip"));
  w.txtKestaAdress->setText(QStringLiteral("http://u/upd.exe"));
  w.chkStartRen->setChecked(true);
  w.AddProtocolLine(C("Строка протокола"));
  w.AddProtocolLine(" ");
  sh.data.ibConnected = true;
  w.close();
  const std::string expected = "; site settings\r\n[WORK_PATH]\r\nUser=old\r\nFILIALS_WORK_PATH=/kept\r\n"
                               "DBF_P=/d/p.dbf\r\nDBF_LS=" + C("/d/ЛС.dbf") + "\r\nHTTP=http://h/f\r\n"
                               "SMP_WORK_PATH=" + sh.dir.path + "\r\nPachRen=http://u/upd.exe\r\nStartRen=1\r\n"
                               "[PROXY]\r\nServer=p\r\n";
  EXPECT_EQ(sh.dir.read("Morqa.ini"), expected);
  EXPECT_EQ(sh.dir.read("Протокол.txt"), C("Строка протокола") + "\r\n \r\n");
  EXPECT_EQ(sh.data.calls.back(), "DisconnectSQL");
  EXPECT_EQ(sh.data.calls[sh.data.calls.size() - 2], "DisconnectIB");
}

// A read-only settings file is kept as it is (not replaced by a new file renamed over it),
// and the settings that could not be written are told in one message, not one per key.
TEST(Startup, ReadOnlySettingsFileIsKeptAndToldOnce) {
  const std::string ini = "[WORK_PATH]\r\nUser=old\r\n[STAT_MAIN]\r\nDatabase=\r\n";
  Shell sh(true, ini);
  sh.create();
  TfmMain& w = *sh.w;
  // Every key of the close has something to write.
  for (QLineEdit* e : {w.edFileDBF, w.edFileL, w.edFileLS}) e->setText(Q(sh.dir.path + "x.dbf"));
  w.ledFilialDBPath->setText(Q(sh.dir.path));
  w.ledSMPFileName->setText(Q(sh.dir.path + "c.zip"));
  w.edUser->setText(QStringLiteral("new"));
  w.AddProtocolLine("kept");
  const std::string path = sh.dir.path + "Morqa.ini";
  ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
  struct stat before {};
  ASSERT_EQ(::stat(path.c_str(), &before), 0);
  sh.prompt.msgs.clear();
  w.show();
  EXPECT_TRUE(w.close());
  EXPECT_FALSE(w.isVisible());
  ASSERT_EQ(sh.prompt.msgs.size(), 1u) << ::testing::PrintToString(sh.texts());
  EXPECT_TRUE(sh.prompt.msgs[0].box);
  EXPECT_EQ(sh.prompt.msgs[0].caption, C("Сообщение"));
  const std::string lead = C("Не удалось сохранить настройки в файле ") + path + "\r\rEOSError\r";
  EXPECT_EQ(sh.prompt.msgs[0].text.rfind(lead, 0), 0u) << sh.prompt.msgs[0].text;
  struct stat after {};
  ASSERT_EQ(::stat(path.c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_mode & 07777, 0444u);
  EXPECT_EQ(sh.dir.read("Morqa.ini"), ini);
  // The protocol is written all the same.
  EXPECT_EQ(sh.dir.read("Протокол.txt"), "kept\r\n");
}

// The protocol goes into the current folder also when its path is one that CP1251 cannot
// hold (the program folder itself must be one it can).
TEST(Startup, ProtocolIsWrittenIntoACurrentFolderOutsideTheCodePage) {
  for (const char* folder : {"中文", "rené", "папка"}) {
    Shell sh(true, "");
    sh.create();
    sh.w->AddProtocolLine(C("Строка протокола"));
    const std::string cwd = sh.dir.path + folder;
    std::filesystem::create_directory(cwd);
    std::filesystem::current_path(cwd);
    sh.prompt.msgs.clear();
    EXPECT_TRUE(sh.w->close()) << folder;
    EXPECT_TRUE(sh.texts().empty()) << folder << ": " << ::testing::PrintToString(sh.texts());
    EXPECT_EQ(sh.dir.read(std::string(folder) + "/Протокол.txt"), C("Строка протокола") + "\r\n") << folder;
    EXPECT_FALSE(sh.dir.exists("Протокол.txt")) << folder;
  }
}

TEST(Startup, FailedProtocolSaveIsShownAndTheWindowCloses) {
  Shell sh(true, "");
  sh.create();
  sh.dir.write("x", "");
  // A folder named like the protocol file makes the save fail.
  std::filesystem::create_directory(sh.dir.path + "Протокол.txt");
  sh.w->show();
  EXPECT_TRUE(sh.w->close());
  ASSERT_EQ(sh.prompt.msgs.size(), 1u);
  EXPECT_EQ(sh.prompt.msgs[0].text.rfind("EOSError\r", 0), 0u);
  EXPECT_FALSE(sh.w->isVisible());
  EXPECT_NE(sh.dir.read("Morqa.ini").find("StartRen=0"), std::string::npos);
}

}  // namespace

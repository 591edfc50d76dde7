// Arming checks in their order with their messages and focus; the run-now actions;
// the enabling rule of the actions.
#include <gtest/gtest.h>

#include <filesystem>

#include "shell_fakes.h"

using namespace testshell;
using shell::Q;
using shell::S;

namespace {

struct Arming : Shell {
  Arming() : Shell(true, "") {
    create();
    w->show();
    for (const char* f : {"p.dbf", "l.dbf", "ls.dbf"}) dir.write(f, "x");
    w->edFileDBF->setText(Q(dir.path + "p.dbf"));
    w->edFileL->setText(Q(dir.path + "l.dbf"));
    w->edFileLS->setText(Q(dir.path + "ls.dbf"));
    w->edF2->setText(QStringLiteral("r.xml"));
    w->cbFIO->setChecked(true);
    w->lbFilials->addItem(QStringLiteral("/b/a.zip"));
    data.calls.clear();
  }
  std::string focus() const { return w->focusWidget() ? w->focusWidget()->objectName().toStdString() : ""; }
  void arm() {
    prompt.msgs.clear();
    w->acTimerTurnONExecute();
  }
};

TEST(Arming, NothingTickedAndRefusalEmptiesStatuses) {
  Arming a;
  a.w->setStatus(4, C("Выполнение завершено"));
  a.tickAll(false);
  a.arm();
  ASSERT_EQ(a.texts(), std::vector<std::string>{C("Нет выбранных заданий")});
  EXPECT_FALSE(a.prompt.msgs[0].box);
  EXPECT_EQ(a.w->status(4), "");
  EXPECT_FALSE(a.w->timerOn());
}

TEST(Arming, OnlyUpdateAndDiseaseTasksNeedNoCheckAndNoConnection) {
  Arming a;
  a.w->edMKB1->setText(QString());  // task 7 is checked only when it runs
  a.only({1, 7});
  a.arm();
  EXPECT_TRUE(a.prompt.msgs.empty());
  EXPECT_TRUE(a.data.calls.empty());
  EXPECT_TRUE(a.w->timerOn());
  EXPECT_TRUE(a.w->pnlTime->isVisible());
  EXPECT_FALSE(a.w->pgcTasks->isEnabled());
  EXPECT_FALSE(a.w->sbDBPath->isEnabled());
  EXPECT_FALSE(a.w->DTime->isEnabled());
  EXPECT_FALSE(a.w->acTimerTurnON->isEnabled());
  EXPECT_TRUE(a.w->acTimerTurnOFF->isEnabled());
  a.w->acTimerTurnOFFExecute();
  EXPECT_FALSE(a.w->timerOn());
  EXPECT_TRUE(a.w->pgcTasks->isEnabled());
  EXPECT_FALSE(a.w->pnlTime->isVisible());
  EXPECT_TRUE(a.w->acTimerTurnON->isEnabled());
}

TEST(Arming, BackupNamesAreCheckedFirstInOrder) {
  Arming a;
  a.only({0, 2, 3, 11});
  a.w->edBackup->setText(QStringLiteral("  "));
  a.w->edBackup2->setText(QString());
  a.arm();
  EXPECT_EQ(a.texts(), std::vector<std::string>{C("Не задано имя файла - резервной копии")});
  EXPECT_EQ(a.focus(), "edBackup");
  a.w->edBackup->setText(QStringLiteral("b.gbk"));
  a.arm();
  EXPECT_EQ(a.focus(), "edBackup2");  // 11 before 2 and 3
  EXPECT_TRUE(a.data.calls.empty());
}

TEST(Arming, PasswordCountdownThenTheUserNameIsDropped) {
  Arming a;
  a.only({2});
  a.w->edUser->setText(QStringLiteral("ivanov"));
  a.w->edPass->setText(QString());
  for (int i = 0; i < 2; ++i) {
    a.arm();
    EXPECT_EQ(a.texts(), std::vector<std::string>{C("Не задан пароль!")});
    EXPECT_EQ(a.focus(), "edPass");
    EXPECT_EQ(a.w->pgcTasks->currentWidget(), a.w->tsLoadFile);
    EXPECT_FALSE(a.w->timerOn());
  }
  a.arm();
  EXPECT_EQ(a.texts(), std::vector<std::string>{C("Не задан пароль!")});
  EXPECT_TRUE(a.w->edUser->text().isEmpty());
  EXPECT_TRUE(a.w->timerOn());
}

TEST(Arming, FundSiteRepairs) {
  Arming a;
  a.only({2});
  a.w->edLPU->setText(QStringLiteral("31"));
  a.w->edHTTP->setText(QStringLiteral(" "));
  a.arm();
  EXPECT_EQ(a.texts(), std::vector<std::string>{C("Не задан адрес файла!")});
  EXPECT_EQ(a.focus(), "edHTTP");
  EXPECT_EQ(S(a.w->edHTTP->text()), std::string(shell::kFundServer) + "/cgi/upload.php?fid=PRIK0031");
  EXPECT_EQ(a.w->edLPU->text(), QStringLiteral("0031"));
  a.w->edSaveAs->setText(QString());
  a.arm();
  EXPECT_EQ(a.texts(), std::vector<std::string>{C("Не задано имя файла для сохранения!")});
  EXPECT_EQ(a.focus(), "edSaveAs");
  EXPECT_EQ(a.w->edSaveAs->text(), QStringLiteral("FileTFOMS.dat"));
  a.arm();
  EXPECT_TRUE(a.w->timerOn());
}

TEST(Arming, ConnectionAndFileChecksWithTheirTexts) {
  struct Case {
    int task;
    bool sqlFails;
    const char* field;  // emptied or pointed at a missing file
    bool missing;
    const char* text;
    bool box;
    const char* focus;
    int connects;  // OpenSQLConnection calls
  } cases[] = {
      {3, true, nullptr, false, "Не удалось соединиться с БД в задаче актуализации прикрепленного населения:\rE\rx", true,
       "", 1},
      {3, false, "edFileDBF", false, "Не задан файл DBF", false, "edFileDBF", 1},
      {3, false, "edFileDBF", true, "Отсутствует файл \"/no/p.dbf\"", false, "", 1},
      {4, true, nullptr, false, "Не удалось соединиться с БД в задаче актуализации льготников:\rE\rx", true, "", 1},
      {4, false, "edFileL", false, "Не задан файл DBF", false, "edFileL", 1},
      {6, true, nullptr, false, "Не удалось соединиться с БД в задаче проверки на дубликаты\rE\rx", true, "", 1},
      {8, true, nullptr, false, "Не удалось соединиться с БД в задаче импорта вызовов СМП:\rE\rx", true, "", 1},
      {9, true, nullptr, false, "Не удалось соединиться с БД в задаче загрузки реестра XML:\rE\rx", true, "", 1},
      {9, false, "edF2", false, "Не задан файл XML", false, "edF2", 1},
      {10, false, "edFileLS", false, "Не задан файл DBF", false, "edFileLS", 0},
      {10, false, "edFileLS", true, "Отсутствует файл \"/no/p.dbf\"", false, "edFileLS", 0},
      {5, true, nullptr, false, "Не удалось соединиться с БД в задаче актуализации БД из филиалов:\rE\rx", true, "",
       1},
  };
  for (const Case& c : cases) {
    Arming a;
    a.only({c.task});
    a.data.sqlOk = !c.sqlFails;
    a.data.sqlErr = "E\rx";
    if (c.field) {
      auto* e = a.w->findChild<QLineEdit*>(QString::fromLatin1(c.field));
      ASSERT_NE(e, nullptr);
      e->setText(c.missing ? QStringLiteral("/no/p.dbf") : QString());
    }
    a.w->lvTasks->setFocus();
    a.arm();
    const std::string what = std::to_string(c.task) + " " + c.text;
    ASSERT_EQ(a.prompt.msgs.size(), 1u) << what;
    EXPECT_EQ(a.prompt.msgs[0].text, C(c.text)) << what;
    EXPECT_EQ(a.prompt.msgs[0].box, c.box) << what;
    if (c.box) {
      EXPECT_EQ(a.prompt.msgs[0].caption, C("Сообщение"));
    }
    if (*c.focus) {
      EXPECT_EQ(a.focus(), c.focus) << what;
    }
    EXPECT_EQ(a.data.count("OpenSQLConnection"), c.connects) << what;
    EXPECT_EQ(a.data.count("OpenIBDatabase"), (c.task == 5 || c.task == 10) ? 0 : c.connects) << what;
    EXPECT_FALSE(a.w->timerOn()) << what;
  }
}

TEST(Arming, DuplicateKindAndBranchListChecks) {
  {
    Arming a;
    a.only({6});
    a.w->cbFIO->setChecked(false);
    a.arm();
    EXPECT_EQ(a.texts(), std::vector<std::string>{C("Не задан тип проверки на дубликаты\r")});
    EXPECT_EQ(a.w->pgcTasks->currentWidget(), a.w->tsDupe);
  }
  {
    Arming a;
    a.only({5});
    a.w->ledFilialDBPath->setText(QStringLiteral(" "));
    a.arm();
    EXPECT_EQ(a.texts(), std::vector<std::string>{C("Актуализация БД из филиалов: не задан каталог\r")});
    EXPECT_EQ(a.w->pgcTasks->currentWidget(), a.w->tsFilialsActualization);
  }
  {
    // An existing folder without archives gives an empty list.
    Arming a;
    a.only({5});
    std::filesystem::create_directory(a.dir.path + "branches");
    a.dir.write("branches/readme.txt", "");
    a.w->ledFilialDBPath->setText(Q(a.dir.path + "branches"));
    a.w->acRefreshFilialsExecute();
    a.arm();
    EXPECT_EQ(a.texts(), std::vector<std::string>{C("Актуализация БД из филиалов: список файлов из филиалов ПУСТОЙ\r")});
    EXPECT_TRUE(a.data.calls.empty());
  }
}

TEST(Arming, AllChecksPassInOrder) {
  Arming a;
  a.only({0, 2, 3, 4, 5, 6, 8, 9, 10, 11});
  a.arm();
  EXPECT_TRUE(a.prompt.msgs.empty()) << (a.prompt.msgs.empty() ? "" : a.prompt.msgs[0].text);
  // 3, 4, 6: both connections; 5: SQL only; 8, 9: both.
  const std::vector<std::string> calls = {"OpenSQLConnection 0", "OpenIBDatabase", "OpenSQLConnection 0",
                                          "OpenIBDatabase",      "OpenSQLConnection 0", "OpenIBDatabase",
                                          "OpenSQLConnection 0", "OpenSQLConnection 0", "OpenIBDatabase",
                                          "OpenSQLConnection 0", "OpenIBDatabase"};
  EXPECT_EQ(a.data.calls, calls);
  EXPECT_TRUE(a.w->timerOn());
  a.w->acTimerTurnONExecute();  // armed already: nothing happens
  EXPECT_EQ(a.data.calls.size(), calls.size());
}

TEST(RunNow, RefreshPatternLabelsStatusAndProtocol) {
  Arming a;
  a.data.onCall = [&](const std::string& c) {
    if (c.rfind("RefreshFromFOMS", 0) == 0) {
      EXPECT_FALSE(a.w->isEnabled());
      a.w->AddTaskMessage("line");
    }
  };
  a.w->acRefreshFromFOMSExecute();
  EXPECT_TRUE(a.w->isEnabled());
  EXPECT_EQ(S(a.w->lbRefr->text()), C("Актуализация БД выполнена!"));
  EXPECT_EQ(a.w->status(3), C("Выполнение завершено"));
  EXPECT_EQ(a.w->protocol(), std::vector<std::string>{"line"});
  a.data.results["RefreshPrivileged"] = false;
  a.w->acRefreshLExecute();
  EXPECT_EQ(S(a.w->lbRefrLg->text()), C("Не удалось выполнить задание актуализации БД!"));
  EXPECT_EQ(a.w->status(4), "");
  a.data.sqlOk = false;
  a.data.sqlErr = "E";
  a.w->acRefreshLExecute();
  EXPECT_EQ(a.texts().back(), C("Не удалось соединиться с БД в задаче актуализации льготников\rE"));
}

TEST(RunNow, BackupButtons) {
  Arming a;
  a.w->tbBackup1Click();
  EXPECT_EQ(a.w->protocol()[0], C("Файл резервной копии создан \"BackupStart_09122026.gbk\""));
  EXPECT_EQ(S(a.w->lbBack->text()), C("Файл резервной копии создан!"));
  a.data.texts["BackupDatabase"] = "ERR";
  a.w->tbBackup2Click();
  EXPECT_EQ(S(a.w->lbBack2->text()), C("Не удалось создать резервную копию.ERR"));
  a.w->tbBackup1Click();
  EXPECT_EQ(S(a.w->lbBack->text()), C("Не удалось создать резервную копию. ERR"));
  a.data.sqlOk = false;
  a.data.sqlErr = "E";
  a.w->tbBackup1Click();
  EXPECT_EQ(a.texts().back(), C("Не удалось соединиться с БД.\rE"));
}

TEST(RunNow, DiseaseFillsTheYear) {
  Arming a;
  a.w->edYear->setText(QString());
  a.w->acZabolExecute();
  EXPECT_EQ(a.w->edYear->text(), QStringLiteral("2026"));
  EXPECT_EQ(a.data.calls.back(), "FixDiseaseCases [A00.  ][T98.3 ][10][2026]");
}

TEST(RunNow, BranchMergeCentreRefusal) {
  Arming a;
  a.data.sqlOk = false;
  a.data.sqlErr = C("База данных ВИРЕЛ, выбранная как БД центра, таковой не является.");
  a.data.sqlConnected = true;  // connected, but refused as a centre
  a.w->acStartDealingFilialDBExecute();
  EXPECT_EQ(a.texts().back(), a.data.sqlErr);
  EXPECT_EQ(a.data.calls.back(), "DisconnectSQL");
  a.data.sqlErr = "E";
  a.w->acStartDealingFilialDBExecute();
  EXPECT_EQ(a.texts().back(), C("Не удалось соединиться с БД в задаче актуализации БД из филиалов:\rE"));
  a.data.sqlOk = true;
  a.w->acStartDealingFilialDBExecute();
  EXPECT_EQ(a.data.calls.back(), "DealingFilialDB 0 1 1");
  EXPECT_EQ(a.texts().back(), C("Успешное завершение актуализации БД"));
  EXPECT_EQ(a.data.calls[a.data.calls.size() - 2], "OpenSQLConnection 1");
}

TEST(RunNow, AmbulanceImport) {
  Arming a;
  std::filesystem::create_directory(a.dir.path + "smp");
  a.w->ledSMPFileName->setText(Q(a.dir.path + "smp/c.zip"));
  a.w->acSMPImportExecute();
  EXPECT_EQ(a.texts().back(), C("Успешное завершение импорта вызовов СМП"));
  EXPECT_TRUE(a.w->ledSMPFileName->text().isEmpty());
  a.w->ledSMPFileName->setText(Q(a.dir.path + "smp/c.zip"));
  a.extractor.onExtract = [](const std::string&) { throw platform::EOSError("disk full"); };
  a.w->acSMPImportExecute();
  EXPECT_EQ(a.prompt.msgs.back().text,
            C("Ошибка при разархивировании файла ") + a.dir.path + "smp/c.zip :\r\rEOSError\rdisk full");
  EXPECT_EQ(a.prompt.msgs.back().caption, shell::ProgramTitle());
}

// A task body that throws something not derived from std::exception: every run-now action
// reports it as the timed run does, and the window is usable and closes as always after it.
TEST(RunNow, AnExceptionOfAnyTypeIsReportedAndTheWindowGoesOn) {
  struct NotAStdException {};
  struct Case {
    const char* body;
    std::function<void(TfmMain&)> start;
  };
  const Case cases[] = {
      {"RefreshFromFOMS", [](TfmMain& w) { w.acRefreshFromFOMSExecute(); }},
      {"RefreshPrivileged", [](TfmMain& w) { w.acRefreshLExecute(); }},
      {"SearchDuplicates", [](TfmMain& w) { w.acDublExecute(); }},
      {"FixDiseaseCases", [](TfmMain& w) { w.acZabolExecute(); }},
      {"LoadDrugs", [](TfmMain& w) { w.acLoadLSExecute(); }},
      {"BackupDatabase", [](TfmMain& w) { w.tbBackup1Click(); }},
      {"BackupDatabase", [](TfmMain& w) { w.tbBackup2Click(); }},
      {"DealingFilialDB", [](TfmMain& w) { w.acStartDealingFilialDBExecute(); }},
      {"ImportSMPCalls", [](TfmMain& w) { w.acSMPImportExecute(); }},
      {"ImportXmlRegister", [](TfmMain& w) { w.SpeedButton4->click(); }},
  };
  for (const Case& c : cases) {
    Arming a;
    a.w->ledSMPFileName->setText(Q(a.dir.path + "c.zip"));
    a.w->AddProtocolLine("before");
    const std::string body = c.body;
    a.data.onCall = [body](const std::string& call) {
      if (call.rfind(body, 0) == 0) throw NotAStdException{};
    };
    a.prompt.msgs.clear();
    c.start(*a.w);
    EXPECT_EQ(a.data.count(body), 1) << body;
    ASSERT_EQ(a.prompt.msgs.size(), 1u) << body;
    EXPECT_FALSE(a.prompt.msgs[0].box) << body;
    EXPECT_EQ(a.prompt.msgs[0].text, C("Неизвестная ошибка")) << body;
    EXPECT_TRUE(a.w->isEnabled()) << body;
    EXPECT_FALSE(a.w->running()) << body;
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr) << body;
    // The next action runs, and the close writes the protocol and the settings.
    a.data.onCall = nullptr;
    c.start(*a.w);
    EXPECT_EQ(a.data.count(body), 2) << body;
    EXPECT_TRUE(a.w->close()) << body;
    EXPECT_EQ(a.dir.read("Протокол.txt").rfind("before\r\n", 0), 0u) << body;
    EXPECT_NE(a.dir.read("Morqa.ini").find("StartRen=0"), std::string::npos) << body;
  }
}

TEST(RunNow, XmlButtonsRunUnflagged) {
  Arming a;
  a.w->SpeedButton4->click();
  EXPECT_EQ(a.data.calls.back(), "ImportXmlRegister r.xml 0");
}

TEST(Actions, EnablingTable) {
  using shell::ActionState;
  using shell::ComputeActions;
  ActionState s;
  s.page = 3;
  s.httpSet = s.userSet = s.passSet = true;
  s.ibConnected = true;
  auto f = ComputeActions(s);
  EXPECT_TRUE(*f.acRefreshFromFOMS);
  EXPECT_TRUE(*f.acLoadRefreshFromFOMS);
  EXPECT_FALSE(f.acSMPImport.has_value());
  s.ibConnected = false;
  f = ComputeActions(s);
  EXPECT_FALSE(*f.acRefreshFromFOMS);
  EXPECT_FALSE(*f.acLoadRefreshFromFOMS);
  s.ibConnected = true;
  s.passSet = false;
  EXPECT_FALSE(*ComputeActions(s).acLoadRefreshFromFOMS);
  s = ActionState{};
  s.page = 5;
  EXPECT_FALSE(*ComputeActions(s).acRefreshFilials);
  s.filialFolderExists = true;
  f = ComputeActions(s);
  EXPECT_TRUE(*f.acRefreshFilials);
  EXPECT_TRUE(*f.acStartDealingFilialDB && *f.acDelFilialFile);
  EXPECT_FALSE(f.acRefreshFromFOMS.has_value());
  s = ActionState{};
  s.page = 1;
  EXPECT_FALSE(*ComputeActions(s).UpdateRen);
  s.kestaAddressSet = true;
  EXPECT_TRUE(*ComputeActions(s).UpdateRen);
  s.page = 8;
  EXPECT_FALSE(*ComputeActions(s).acSMPImport);
  s.smpFileSet = true;
  EXPECT_TRUE(*ComputeActions(s).acSMPImport);
  s.timerOn = true;
  f = ComputeActions(s);
  EXPECT_TRUE(f.acTimerTurnOFF);
  EXPECT_FALSE(f.acTimerTurnON);
  s.timerOn = false;
  s.running = true;  // no arming during a run
  f = ComputeActions(s);
  EXPECT_FALSE(f.acTimerTurnOFF);
  EXPECT_FALSE(f.acTimerTurnON);
}

}  // namespace

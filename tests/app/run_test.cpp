// The timer rule and the timed run, with a fake clock, data module and extractor.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <QElapsedTimer>

#include <filesystem>
#include <fstream>

#include "app/SignalClose.h"
#include "net_server.h"
#include "shell_fakes.h"

using namespace testshell;
using shell::Q;
using shell::S;

namespace {

QDateTime At(int h, int m, int s, int day = 9) { return QDateTime(QDate(2026, 12, day), QTime(h, m, s)); }

TEST(RunRule, TableOfTicks) {
  struct Case {
    QDateTime prev, now;
    int h, m;
    bool due;
    const char* what;
  } cases[] = {
      {At(14, 4, 58), At(14, 4, 59), 14, 5, false, "before the minute"},
      {At(14, 4, 59), At(14, 5, 0), 14, 5, true, "on second 0"},
      {At(14, 5, 0), At(14, 5, 1), 14, 5, false, "second 1 after second 0"},
      {At(14, 4, 59), At(14, 5, 2), 14, 5, true, "second 0 skipped by a busy thread"},
      {At(14, 4, 30), At(14, 9, 0), 14, 5, true, "a thread busy for minutes"},
      {At(14, 5, 30), At(14, 5, 31), 14, 5, false, "armed after the moment"},
      {At(14, 5, 0), At(14, 5, 0), 14, 5, false, "the same tick twice"},
      {At(23, 59, 59, 9), At(0, 0, 0, 10), 0, 0, true, "midnight"},
      {At(14, 6, 0), At(14, 4, 0), 14, 5, false, "clock set back across the moment"},
      {QDateTime(), At(14, 5, 0), 14, 5, false, "no previous tick"},
  };
  for (const Case& c : cases) EXPECT_EQ(shell::RunDue(c.prev, c.now, c.h, c.m), c.due) << c.what;
}

// A window armed for 14:05 with the given tasks; the data calls of arming are dropped.
struct Armed : Shell {
  explicit Armed(std::initializer_list<int> tasks, const std::string& ini = "") : Shell(true, ini) {
    create();
    w->show();
    w->DTime->setTime(QTime(14, 5));
    w->cbFIO->setChecked(true);
    w->edFileDBF->setText(Q(dir.path + "p.dbf"));
    w->edFileL->setText(Q(dir.path + "l.dbf"));
    w->edFileLS->setText(Q(dir.path + "ls.dbf"));
    w->edF2->setText(Q(dir.path + "r.xml"));
    w->ledSMPFileName->setText(Q(dir.path + "smp/calls.zip"));
    std::filesystem::create_directory(dir.path + "smp");
    for (const char* f : {"p.dbf", "l.dbf", "ls.dbf"}) dir.write(f, "x");
    w->lbFilials->addItem(QStringLiteral("/x/a.zip"));
    only(tasks);
    clock.set(14, 4, 0);
    w->acTimerTurnONExecute();
    EXPECT_TRUE(w->timerOn());
    data.calls.clear();
    prompt.msgs.clear();
  }
  void run() {
    tick(14, 4, 59);  // an armed tick closes the connections the checks opened
    data.calls.clear();
    tick(14, 5, 0);
  }
};

TEST(TimedRun, StartsOnlyAtTheMomentAndOncePerArming) {
  Armed a({3});
  a.tick(14, 4, 59);
  EXPECT_EQ(a.data.count("RefreshFromFOMS"), 0);
  EXPECT_EQ(a.w->status(3), "");
  a.tick(14, 5, 0);
  EXPECT_EQ(a.data.count("RefreshFromFOMS"), 1);
  EXPECT_FALSE(a.w->timerOn());
  a.w->tmTasksTimer();  // a late tick of the stopped timer does nothing more
  a.tick(14, 5, 1);
  EXPECT_EQ(a.data.count("RefreshFromFOMS"), 1);
}

TEST(TimedRun, BusyThreadThatSkipsSecondZeroStillRuns) {
  Armed a({3});
  a.tick(14, 4, 59);
  a.tick(14, 5, 3);
  EXPECT_EQ(a.data.count("RefreshFromFOMS"), 1);
}

TEST(TimedRun, ArmedAfterTheMomentWaitsForTheNextDay) {
  Shell sh(true, "");
  sh.create();
  sh.w->DTime->setTime(QTime(14, 5));
  sh.only({1});
  sh.clock.set(14, 5, 30);
  sh.w->acTimerTurnONExecute();
  sh.data.calls.clear();
  sh.tick(14, 5, 31);
  sh.tick(23, 59, 59);
  EXPECT_EQ(sh.data.count("OpenSQLConnection"), 0);
  sh.clock.t = At(14, 5, 0, 10);
  sh.w->tmTasksTimer();
  EXPECT_EQ(sh.data.count("OpenSQLConnection"), 1);
}

TEST(TimedRun, CompleteRunStatusesProtocolAndTail) {
  Armed a({0, 3, 11});
  a.data.onCall = [&](const std::string& c) {
    if (c.rfind("RefreshFromFOMS", 0) == 0) {
      EXPECT_EQ(a.w->status(0), C("Выполнение завершено"));
      EXPECT_EQ(a.w->status(3), C("Выполняется"));
      EXPECT_EQ(a.w->status(11), C("Ожидание выполнения"));
      a.w->AddTaskMessage(C("АКТУАЛИЗАЦИЯ ПРИКРЕПЛЕННОГО НАСЕЛЕНИЯ"));
      a.w->AddTaskMessage(" ");
    }
  };
  a.run();
  const std::vector<std::string> calls = {"OpenSQLConnection 0",
                                          "OpenIBDatabase",
                                          "BackupDatabase " + a.dir.path + "BackupStart_09122026.gbk",
                                          "RefreshFromFOMS " + a.dir.path + "p.dbf 0",
                                          "BackupDatabase " + a.dir.path + "BackupEnd_09122026.gbk",
                                          "DisconnectIB",
                                          "DisconnectSQL",
                                          // back as after disarming (no database path: IBDB stays closed)
                                          "OpenSQLConnection 0"};
  EXPECT_EQ(a.data.calls, calls);
  const std::vector<std::string> protocol = {C("Файл резервной копии создан \"BackupStart_09122026.gbk\""), " ",
                                             C("АКТУАЛИЗАЦИЯ ПРИКРЕПЛЕННОГО НАСЕЛЕНИЯ"), " ",
                                             C("Файл резервной копии создан \"BackupEnd_09122026.gbk\""), " "};
  EXPECT_EQ(a.w->protocol(), protocol);
  for (int t : {0, 3, 11}) EXPECT_EQ(a.w->status(t), C("Выполнение завершено")) << t;
  EXPECT_EQ(a.w->status(1), "");
  EXPECT_EQ(S(a.w->lbRefr->text()), C("Актуализация БД выполнена!"));
  EXPECT_TRUE(a.w->lbRefr->isVisibleTo(a.w->lbRefr->parentWidget()));
  EXPECT_TRUE(a.w->pgcTasks->isEnabled());
  EXPECT_FALSE(a.w->pnlTime->isVisible());
}

// A window left open for days: the backup names the program filled follow the date of each
// run, not the day the window opened; a name the operator typed stays as typed.
TEST(TimedRun, FilledBackupNamesFollowTheDateOfEachRun) {
  Armed a({0, 11});
  std::vector<std::string> backups;
  auto run = [&] {
    a.run();
    for (const std::string& c : a.data.calls)
      if (c.rfind("BackupDatabase ", 0) == 0) backups.push_back(c.substr(c.rfind('/') + 1));
  };
  run();
  for (int day : {10, 11}) {
    a.clock.t = At(14, 4, 0, day);
    if (day == 11) a.w->edBackup2->setText(QStringLiteral("mine.gbk"));
    a.w->acTimerTurnONExecute();
    ASSERT_TRUE(a.w->timerOn());
    run();
  }
  EXPECT_EQ(backups, (std::vector<std::string>{"BackupStart_09122026.gbk", "BackupEnd_09122026.gbk",
                                               "BackupStart_10122026.gbk", "BackupEnd_10122026.gbk",
                                               "BackupStart_11122026.gbk", "mine.gbk"}));
  EXPECT_EQ(S(a.w->edBackup->text()), "BackupStart_11122026.gbk");
  EXPECT_EQ(S(a.w->edBackup2->text()), "mine.gbk");
  EXPECT_EQ(a.w->protocol().back(), " ");
  EXPECT_EQ(a.w->protocol()[a.w->protocol().size() - 4], C("Файл резервной копии создан \"BackupStart_11122026.gbk\""));
}

TEST(TimedRun, FailedBackupEndsDoneWithTheErrorInTheLabel) {
  Armed a({0, 11});
  a.data.texts["BackupDatabase"] = C("@Ошибка при создании резервной копии БД:@;@   EIBError@;@no@;");
  a.run();
  EXPECT_EQ(a.w->status(0), C("Выполнение завершено"));
  EXPECT_EQ(a.w->status(11), C("Выполнение завершено"));
  EXPECT_EQ(S(a.w->lbBack->text()),
            C("Не удалось создать резервную копию. @Ошибка при создании резервной копии БД:@;@   EIBError@;@no@;"));
  EXPECT_EQ(S(a.w->lbBack2->text()), C("Не удалось создать резервную копию!"));
  EXPECT_TRUE(a.w->protocol().empty());
}

TEST(TimedRun, AmbulancePackageWithThreeFilesIsInterrupted) {
  Armed a({8});
  const std::string smp = a.dir.path + "smp/";
  a.dir.write("smp/PATIENT.xml", "old");
  a.dir.write("smp/SMP_CALLS.bin", "old");
  a.extractor.files = 3;
  bool cleanedBefore = false;
  a.extractor.onExtract = [&](const std::string& d) {
    cleanedBefore = !a.dir.exists("smp/PATIENT.xml") && !a.dir.exists("smp/SMP_CALLS.bin");
    std::ofstream(d + "PATIENT.xml") << "new";
    std::ofstream(d + "INTERVAL.xml") << "new";
  };
  a.run();
  EXPECT_TRUE(cleanedBefore);
  EXPECT_EQ(a.extractor.calls, std::vector<std::string>{smp + "calls.zip|" + smp + "|*.*"});
  EXPECT_EQ(a.data.count("ImportSMPCalls"), 0);
  EXPECT_FALSE(a.dir.exists("smp/PATIENT.xml"));
  EXPECT_FALSE(a.dir.exists("smp/INTERVAL.xml"));
  EXPECT_EQ(a.w->status(8), C("Прервано оператором"));
  EXPECT_TRUE(a.w->protocol().empty());
}

TEST(TimedRun, AmbulanceImportOutcomes) {
  for (bool fail : {false, true}) {
    Armed a({8});
    if (fail) a.data.texts["ImportSMPCalls"] = "EDatabaseError\rx";
    a.run();
    EXPECT_EQ(a.data.count("ImportSMPCalls"), 1);
    const std::vector<std::string> protocol = {fail ? C("Не выполнен импорт вызовов СМП") : C("Импорт вызовов СМП выполнен"),
                                               " "};
    EXPECT_EQ(a.w->protocol(), protocol);
    EXPECT_EQ(a.w->status(8), fail ? C("Прервано оператором") : C("Выполнение завершено"));
  }
}

TEST(TimedRun, StopAtTheDuplicateCheckKeepsEarlierOutcomes) {
  Armed a({0, 3, 6, 10, 11});
  a.w->cbFIO->setChecked(false);
  a.data.results["RefreshFromFOMS"] = false;
  a.run();
  EXPECT_EQ(a.w->status(0), C("Выполнение завершено"));
  EXPECT_EQ(a.w->status(3), C("Прервано оператором"));  // failed body: left running, then interrupted
  EXPECT_EQ(S(a.w->lbRefr->text()), C("Не удалось выполнить задание актуализации БД!"));
  EXPECT_EQ(a.w->status(6), C("Прервано оператором"));
  EXPECT_EQ(a.w->status(10), C("Прервано оператором"));
  EXPECT_EQ(a.w->status(11), C("Прервано оператором"));
  EXPECT_EQ(a.data.count("LoadDrugs"), 0);
  EXPECT_EQ(a.data.count("Disconnect"), 0);  // an early end leaves the connections open
  ASSERT_EQ(a.prompt.msgs.size(), 1u);
  EXPECT_EQ(a.prompt.msgs[0].text, C("Не задан тип проверки на дубликаты"));
  EXPECT_EQ(a.w->pgcTasks->currentWidget(), a.w->tsDupe);
}

TEST(TimedRun, DiseaseChecksStopTheRun) {
  struct Case {
    const char *mkb1, *mkb2, *dop, *text;
    const char* focus;
  } cases[] = {
      {"", "T98.3", "10", "Не задана нижняя граница диапазона МКБ", "edMKB1"},
      {"A00", "", "10", "Не задана верхняя граница диапазона МКБ", "edMKB2"},
      {"A00", "T98.3", "", "Не задан проверочный интервал", "edDop"},
      {"A00", "A00", "10", "Нижняя граница больше верхней!", "edMKB1"},
      {"T98.3", "A00", "10", "Нижняя граница больше верхней!", "edMKB1"},
  };
  for (const Case& c : cases) {
    Armed a({7, 10});
    a.w->edMKB1->setText(QString::fromUtf8(c.mkb1));
    a.w->edMKB2->setText(QString::fromUtf8(c.mkb2));
    a.w->edDop->setText(QString::fromUtf8(c.dop));
    a.run();
    ASSERT_EQ(a.prompt.msgs.size(), 1u) << c.text;
    EXPECT_FALSE(a.prompt.msgs[0].box);
    EXPECT_EQ(a.prompt.msgs[0].text, C(c.text));
    EXPECT_EQ(a.w->focusWidget()->objectName().toStdString(), c.focus);
    EXPECT_EQ(a.data.count("FixDiseaseCases"), 0);
    EXPECT_EQ(a.data.count("LoadDrugs"), 0);
    EXPECT_EQ(a.w->status(7), C("Прервано оператором"));
  }
  // Passing: the mask texts go untrimmed.
  Armed a({7});
  a.run();
  EXPECT_EQ(a.data.calls[2], "FixDiseaseCases [A00.  ][T98.3 ][10][2026]");
  EXPECT_EQ(S(a.w->lZab->text()), C("Правка заболеваний выполнена!"));
}

TEST(TimedRun, BranchMergeResultBecomesProtocolLines) {
  Armed a({5});
  a.data.texts["DealingFilialDB"] = C("@Файл a.ZIP: успешная актуализация@;");
  a.run();
  EXPECT_EQ(a.data.calls[2], "DealingFilialDB 1 1 1");
  const std::vector<std::string> protocol = {C("Файл a.ZIP: успешная актуализация"), ""};
  EXPECT_EQ(a.w->protocol(), protocol);
  EXPECT_EQ(a.w->status(5), C("Выполнение завершено"));
}

TEST(TimedRun, XmlImportRunsFlaggedAndTheFlagDropsAfterwards) {
  Armed a({9});
  a.run();
  EXPECT_EQ(a.data.calls[2], "ImportXmlRegister " + a.dir.path + "r.xml 1");
  EXPECT_EQ(a.w->RunFromScheduler(), 0);
  EXPECT_EQ(S(a.w->lbreXML->text()), C("Загрузка реестра XML выполнена!"));
}

TEST(TimedRun, ConnectionFailureLeavesTheArmedLook) {
  Armed a({3});
  a.data.ibOk = false;
  a.data.ibErr = "EIBError\rdown";
  a.run();
  ASSERT_EQ(a.prompt.msgs.size(), 1u);
  EXPECT_EQ(a.prompt.msgs[0].text,
            C("Не удалось соединиться с БД в задаче актуализации прикрепленного населения:\rEIBError\rdown"));
  EXPECT_EQ(a.w->status(3), "");
  EXPECT_FALSE(a.w->timerOn());
  EXPECT_FALSE(a.w->pgcTasks->isEnabled());
  EXPECT_EQ(a.data.count("Disconnect"), 0);
}

TEST(TimedRun, ThrowingBodyEndsTheRunWithTheEndRule) {
  Armed a({3, 4});
  a.data.onCall = [](const std::string& c) {
    if (c.rfind("RefreshFromFOMS", 0) == 0) throw platform::EConvertError("bad field");
  };
  a.run();
  EXPECT_EQ(a.w->status(3), C("Прервано оператором"));
  EXPECT_EQ(a.w->status(4), C("Прервано оператором"));
  EXPECT_EQ(a.data.count("RefreshPrivileged"), 0);
  ASSERT_EQ(a.prompt.msgs.size(), 1u);
  EXPECT_EQ(a.prompt.msgs[0].text, "EConvertError\rbad field");
  EXPECT_FALSE(a.w->timerOn());
  EXPECT_FALSE(a.w->running());
}

TEST(TimedRun, FailedUpdateStopsTheRun) {
  Armed a({1, 3});
  a.w->txtKestaAdress->setText(QStringLiteral("http://127.0.0.1:%1/upd.zip").arg(testshell::ClosedPort()));
  a.run();
  EXPECT_EQ(a.data.count("RefreshFromFOMS"), 0);
  const std::vector<std::string> expected = {
      C("09.12.2026 14:05:00 Начата загрузка обновления Renewal.exe."),
      C("09.12.2026 14:05:00 Ошибка загрузки обновлятора."),
      C("09.12.2026 14:05:00 Выполнение дальнейших задач остановлено из-за ошибки обновления программы ВИРЕЛ.")};
  EXPECT_EQ(a.w->protocol(), expected);
  EXPECT_FALSE(a.w->updateDone());
  // The update itself ends "done"; the end rule leaves it so and interrupts task 3.
  EXPECT_EQ(a.w->status(1), C("Выполнение завершено"));
  EXPECT_EQ(a.w->status(3), C("Прервано оператором"));
}

TEST(TimedRun, CloseDuringARunWaitsForItsEnd) {
  Armed a({3, 4});
  bool refusedWhileRunning = false;
  a.data.onCall = [&](const std::string& c) {
    if (c.rfind("RefreshFromFOMS", 0) == 0) refusedWhileRunning = !a.w->close() && a.w->isVisible();
  };
  a.run();
  EXPECT_TRUE(refusedWhileRunning);
  EXPECT_EQ(a.w->status(4), C("Выполнение завершено"));
  QCoreApplication::processEvents();
  EXPECT_FALSE(a.w->isVisible());
  EXPECT_TRUE(a.dir.exists("Протокол.txt"));
}

TEST(TimedRun, ATerminationRequestStartsNoFurtherTask) {
  // As the program takes SIGTERM: blocked, read by the event loop, the window told first.
  const int fd = shell::TSignalClose::BlockTerminationSignals();
  ASSERT_GE(fd, 0);
  {
    Armed a({3, 4, 11});
    shell::TSignalClose signalClose(fd, *a.w, [&a] { a.w->TerminationRequested(); });
    bool finishedAfterTheSignal = false;
    a.data.onCall = [&](const std::string& c) {
      if (c.rfind("RefreshFromFOMS", 0) != 0) return;
      ::pthread_kill(::pthread_self(), SIGTERM);  // during task 3
      QElapsedTimer t;
      t.start();
      while (!a.w->terminating() && t.elapsed() < 5000) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
      finishedAfterTheSignal = a.w->terminating() && a.w->isVisible();
    };
    a.run();
    EXPECT_TRUE(finishedAfterTheSignal);
    EXPECT_EQ(a.data.count("RefreshPrivileged"), 0);
    EXPECT_EQ(a.data.count("BackupDatabase"), 0);  // the end-of-run backup is not started either
    EXPECT_EQ(a.w->status(3), C("Выполнение завершено"));
    EXPECT_EQ(a.w->status(4), C("Прервано оператором"));
    EXPECT_EQ(a.w->status(11), C("Прервано оператором"));
    EXPECT_EQ(S(a.w->lbRefr->text()), C("Актуализация БД выполнена!"));
    // The tail closes both connections; the window then closes and writes its protocol.
    const std::vector<std::string> calls = {"OpenSQLConnection 0", "OpenIBDatabase",
                                            "RefreshFromFOMS " + a.dir.path + "p.dbf 0", "DisconnectIB",
                                            "DisconnectSQL"};
    EXPECT_EQ(a.data.calls, calls);
    QElapsedTimer t;
    t.start();
    while (a.w->isVisible() && t.elapsed() < 5000) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    EXPECT_FALSE(a.w->isVisible());
    EXPECT_TRUE(a.dir.exists("Протокол.txt"));
    EXPECT_EQ(signalClose.signalTaken(), SIGTERM);
  }
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

TEST(TimedRun, ArmedTicksClearTheProtocolAndCloseConnections) {
  Armed a({3});
  a.w->AddProtocolLine("old");
  a.data.ibConnected = true;
  a.tick(14, 0, 1);
  EXPECT_TRUE(a.w->protocol().empty());
  EXPECT_EQ(S(a.w->pnlTime->text()), "14:00:01");
  const std::vector<std::string> calls = {"DisconnectIB", "DisconnectSQL"};
  EXPECT_EQ(a.data.calls, calls);
}

}  // namespace

namespace {

TEST(TimedRun, NoArmingAndNoNestedRunWhileARunGoesOn) {
  Armed a({3, 4});
  a.data.onCall = [&](const std::string& c) {
    if (c.rfind("RefreshFromFOMS", 0) == 0) {
      a.w->acTimerTurnONExecute();  // refused: statuses are not emptied, nothing is checked
      EXPECT_EQ(a.w->status(4), C("Ожидание выполнения"));
      EXPECT_FALSE(a.w->timerOn());
      EXPECT_FALSE(a.w->acTimerTurnON->isEnabled());
      a.w->tmTasksTimer();  // a tick pumped by the body
    }
  };
  a.run();
  EXPECT_EQ(a.data.count("RefreshFromFOMS"), 1);
  EXPECT_EQ(a.data.count("OpenIBDatabase"), 1);
  EXPECT_TRUE(a.w->acTimerTurnON->isEnabled());
}

}  // namespace

// The connections after the timer has been armed: the ticks close them, disarming and each
// later activation of the window give them back, and the run-now actions that work on IBDB
// connect it first.
#include <QElapsedTimer>
#include <QTest>

#include <gtest/gtest.h>

#include "net_server.h"
#include "shell_fakes.h"

using namespace testshell;
using shell::Q;
using shell::S;

namespace {

struct Armed : Shell {
  Armed() : Shell(true, "[STAT_MAIN]\r\nDatabase=/db/clinic.fdb\r\n[DB_PCName]\r\nDB_PCName=srv\r\n") {
    create();
    dir.write("p.dbf", "x");
    w->edFileDBF->setText(Q(dir.path + "p.dbf"));
    w->DTime->setTime(QTime(14, 5));
  }
  // Arm with task 3 ticked, let one tick pass (not the run's), disarm.
  void armTickDisarm() {
    only({3});
    clock.set(14, 4, 0);
    w->acTimerTurnONExecute();
    ASSERT_TRUE(w->timerOn()) << (prompt.msgs.empty() ? "" : prompt.msgs[0].text);
    tick(14, 4, 1);
    ASSERT_FALSE(data.ibConnected);  // the tick's tail
    ASSERT_FALSE(data.sqlConnected);
    w->pgcTasks->setCurrentWidget(w->tsPrikrep);
    w->ActionListUpdate();
    ASSERT_FALSE(w->acRefreshFromFOMS->isEnabled());  // armed, closed
    w->acTimerTurnOFFExecute();
  }
  // The window shown and made the active one.
  void showActive() {
    w->show();
    w->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(w.get()));
    QCoreApplication::processEvents();
  }
  void showPage(QWidget* page) {
    w->pgcTasks->setCurrentWidget(page);
    w->ActionListUpdate();
  }
};

TEST(Reconnect, AfterArmTickDisarmTheRunNowActionsOfTasks3And2AreEnabledAndRun) {
  Armed a;
  ASSERT_TRUE(a.data.ibConnected);
  a.armTickDisarm();
  EXPECT_TRUE(a.data.ibConnected);
  EXPECT_TRUE(a.data.sqlConnected);
  EXPECT_EQ(a.data.ibName, "srv:/db/clinic.fdb");
  EXPECT_TRUE(a.prompt.msgs.empty());

  a.showPage(a.w->tsPrikrep);
  ASSERT_TRUE(a.w->acRefreshFromFOMS->isEnabled());
  ASSERT_TRUE(a.w->btRefreshFromFOMS->isEnabled());
  a.w->btRefreshFromFOMS->click();
  EXPECT_EQ(a.data.count("RefreshFromFOMS " + a.dir.path + "p.dbf"), 1);
  EXPECT_EQ(S(a.w->lbRefr->text()), C("Актуализация БД выполнена!"));
  EXPECT_EQ(a.w->status(3), C("Выполнение завершено"));

  a.showPage(a.w->tsActualityFromFOMS);
  ASSERT_TRUE(a.w->Button3->isEnabled());
  a.w->Button3->click();
  EXPECT_EQ(a.data.count("RefreshFromFOMS"), 2);

  // Task 2 from its page: the download starts (and fails on this server).
  TinyHttp server;
  a.w->edUser->setText(QStringLiteral("u"));
  a.w->edPass->setText(QStringLiteral("p"));
  a.w->edHTTP->setText(Q(server.url("/nothing")));
  a.w->edSaveAs->setText(Q(a.dir.path + "fund.dat"));
  a.showPage(a.w->tsLoadFile);
  ASSERT_TRUE(a.w->acLoadRefreshFromFOMS->isEnabled());
  ASSERT_TRUE(a.w->btLoadRefreshFromFOMS->isEnabled());
  a.w->btLoadRefreshFromFOMS->click();
  EXPECT_TRUE(a.w->tfomsDownloading());
  QElapsedTimer t;
  t.start();
  while (a.w->tfomsDownloading() && t.elapsed() < 30000) QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
  ASSERT_FALSE(a.w->tfomsDownloading());
  EXPECT_EQ(S(a.w->lbLoad->text()), C("Не удалось скачать файл!"));
  EXPECT_TRUE(a.prompt.msgs.empty()) << a.prompt.msgs[0].text;
}

TEST(Reconnect, AfterACompleteTimedRunTheRunNowActionsWorkAtOnce) {
  // The window stays the active one: no activation comes to reconnect.
  Armed a;
  ASSERT_NO_FATAL_FAILURE(a.showActive());
  a.only({3});
  a.clock.set(14, 4, 0);
  a.w->acTimerTurnONExecute();
  ASSERT_TRUE(a.w->timerOn());
  a.tick(14, 4, 59);
  a.data.calls.clear();
  a.tick(14, 5, 0);
  ASSERT_FALSE(a.w->timerOn());
  ASSERT_EQ(a.w->status(3), C("Выполнение завершено"));
  // The tail closes both (committing what the tasks wrote), then they come back as at
  // disarming.
  const std::vector<std::string> calls = {"OpenSQLConnection 0", "OpenIBDatabase",
                                          "RefreshFromFOMS " + a.dir.path + "p.dbf 0", "DisconnectIB",
                                          "DisconnectSQL", "SetIBDatabaseName srv:/db/clinic.fdb", "ConnectIB",
                                          "OpenSQLConnection 0"};
  EXPECT_EQ(a.data.calls, calls);
  EXPECT_TRUE(a.prompt.msgs.empty());

  a.w->edUser->setText(QStringLiteral("u"));
  a.w->edPass->setText(QStringLiteral("p"));
  a.showPage(a.w->tsPrikrep);
  EXPECT_TRUE(a.w->acRefreshFromFOMS->isEnabled());
  EXPECT_TRUE(a.w->acLoadRefreshFromFOMS->isEnabled());
  ASSERT_TRUE(a.w->btRefreshFromFOMS->isEnabled());
  a.w->btRefreshFromFOMS->click();
  EXPECT_EQ(a.data.count("RefreshFromFOMS"), 2);
  a.showPage(a.w->tsLoadFile);
  EXPECT_TRUE(a.w->btLoadRefreshFromFOMS->isEnabled());
}

TEST(Reconnect, ARunThatCannotConnectTriesNoFurther) {
  // The run's own message is the only one; the armed look stays for the operator.
  Armed a;
  a.only({3});
  a.clock.set(14, 4, 0);
  a.w->acTimerTurnONExecute();
  ASSERT_TRUE(a.w->timerOn());
  a.tick(14, 4, 59);
  a.data.ibOk = false;
  a.data.ibErr = "EIBError\rdown";
  a.data.calls.clear();
  a.tick(14, 5, 0);
  EXPECT_EQ(a.data.calls, (std::vector<std::string>{"OpenSQLConnection 0", "OpenIBDatabase"}));
  EXPECT_EQ(a.prompt.msgs.size(), 1u);
}

TEST(Reconnect, DisarmingWithoutADatabaseConnectsNothing) {
  Shell sh(true, "");
  sh.create();
  sh.only({1});
  sh.w->DTime->setTime(QTime(14, 5));
  sh.w->acTimerTurnONExecute();
  ASSERT_TRUE(sh.w->timerOn());
  sh.tick(10, 0, 1);
  ASSERT_FALSE(sh.data.sqlConnected);
  sh.data.sqlOk = false;
  sh.data.sqlErr = "E";
  sh.data.calls.clear();
  sh.w->acTimerTurnOFFExecute();
  // No database path: IBDB stays closed; the SQL connection is tried and its failure shown.
  EXPECT_EQ(sh.data.count("ConnectIB"), 0);
  EXPECT_EQ(sh.data.count("OpenSQLConnection 0"), 1);
  EXPECT_EQ(sh.texts(), std::vector<std::string>{
                            C("Не удалось соединиться с БД в задаче актуализации прикрепленного населения:\rE")});
}

// The window made active again after another window had been active.
void Reactivate(TfmMain& w, QWidget& other) {
  other.show();
  other.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&other));
  w.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
  QCoreApplication::processEvents();
}

TEST(Reconnect, EachActivationReconnectsWithoutReadingTheSettingsAgain) {
  Armed a;
  QWidget other;
  ASSERT_NO_FATAL_FAILURE(a.showActive());
  // As the end of a complete run leaves them.
  a.data.DisconnectIB();
  a.data.DisconnectSQL();
  a.w->AddProtocolLine("run line");
  a.w->edFileDBF->setText(QStringLiteral("/typed/by/operator.dbf"));
  a.data.calls.clear();
  Reactivate(*a.w, other);
  EXPECT_TRUE(a.data.ibConnected);
  EXPECT_TRUE(a.data.sqlConnected);
  EXPECT_EQ(a.data.calls,
            (std::vector<std::string>{"SetIBDatabaseName srv:/db/clinic.fdb", "ConnectIB", "OpenSQLConnection 0"}));
  // Nothing of the first activation's reading again.
  EXPECT_EQ(a.w->edFileDBF->text(), QStringLiteral("/typed/by/operator.dbf"));
  EXPECT_EQ(a.w->protocol(), std::vector<std::string>{"run line"});
  a.showPage(a.w->tsPrikrep);
  EXPECT_TRUE(a.w->acRefreshFromFOMS->isEnabled());
  // Open connections are left as they are.
  a.data.calls.clear();
  Reactivate(*a.w, other);
  EXPECT_TRUE(a.data.calls.empty());
  EXPECT_TRUE(a.prompt.msgs.empty());
}

TEST(Reconnect, AFailedReconnectionIsShownOnceUntilAConnectionIsMade) {
  Armed a;
  QWidget other;
  ASSERT_NO_FATAL_FAILURE(a.showActive());
  a.data.DisconnectIB();
  a.data.connectThrows = true;
  a.data.calls.clear();
  const std::string failure = C("Не удалось соединиться с БД\r/db/clinic.fdb\r\rEOSError\rrefused");
  Reactivate(*a.w, other);
  Reactivate(*a.w, other);
  EXPECT_EQ(a.data.count("ConnectIB"), 2);
  EXPECT_EQ(a.texts(), std::vector<std::string>{failure});
  EXPECT_EQ(a.prompt.msgs[0].caption, C("Сообщение"));
  a.data.connectThrows = false;
  Reactivate(*a.w, other);
  EXPECT_TRUE(a.data.ibConnected);
  a.data.DisconnectIB();
  a.data.connectThrows = true;
  Reactivate(*a.w, other);
  EXPECT_EQ(a.texts(), (std::vector<std::string>{failure, failure}));
}

TEST(Reconnect, ACloseWhileTheReconnectionsMessageIsOpenWaitsForTheReconnection) {
  Armed a;
  QWidget other;
  ASSERT_NO_FATAL_FAILURE(a.showActive());
  a.data.DisconnectIB();
  a.data.DisconnectSQL();
  a.data.connectThrows = true;
  bool refused = false;
  a.prompt.onMessage = [&] {
    a.prompt.onMessage = nullptr;
    refused = !a.w->close() && a.w->isVisible();
  };
  a.data.calls.clear();
  Reactivate(*a.w, other);
  EXPECT_TRUE(refused);
  ASSERT_EQ(a.prompt.msgs.size(), 1u);
  QElapsedTimer t;
  t.start();
  while (a.w->isVisible() && t.elapsed() < 5000) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  EXPECT_FALSE(a.w->isVisible());
  // Nothing is opened for the closed window.
  EXPECT_FALSE(a.data.sqlConnected);
  EXPECT_FALSE(a.data.ibConnected);
  EXPECT_EQ(a.data.count("OpenSQLConnection"), 0);
  EXPECT_TRUE(a.dir.exists("Протокол.txt"));
}

TEST(Reconnect, AnArmedWindowDoesNotReconnectOnActivation) {
  Armed a;
  QWidget other;
  a.w->show();
  a.only({3});
  a.w->acTimerTurnONExecute();
  ASSERT_TRUE(a.w->timerOn());
  a.tick(14, 4, 1);
  a.data.calls.clear();
  Reactivate(*a.w, other);
  EXPECT_TRUE(a.data.calls.empty());  // the next tick would close them again
}

TEST(Reconnect, TheOperatorsXmlImportConnectsIbdbFirstAndStartsWithNoMessages) {
  Armed a;
  a.w->edF2->setText(QStringLiteral("r.xml"));
  a.data.DisconnectIB();
  a.w->AddTaskMessage("line of an earlier task");
  std::vector<std::string> atImport;
  a.data.onCall = [&](const std::string& c) {
    if (c.rfind("ImportXmlRegister", 0) != 0) return;
    atImport = a.w->taskMessages();
    EXPECT_TRUE(a.data.ibConnected);
    a.w->AddTaskMessage("import line");
    a.w->CopyTaskMessagesToProtocol();
  };
  a.data.calls.clear();
  a.w->SpeedButton4->click();
  EXPECT_EQ(a.data.calls, (std::vector<std::string>{"SetIBDatabaseName srv:/db/clinic.fdb", "ConnectIB",
                                                    "ImportXmlRegister r.xml 0"}));
  EXPECT_TRUE(atImport.empty());
  EXPECT_EQ(a.w->protocol(), std::vector<std::string>{"import line"});
  // Connected already: straight to the import.
  a.data.calls.clear();
  a.w->sbExec->click();
  EXPECT_EQ(a.data.calls, std::vector<std::string>{"ImportXmlRegister r.xml 0"});
  EXPECT_EQ(a.w->protocol(), (std::vector<std::string>{"import line", "import line"}));
  // A connection that fails: its message, no import.
  a.data.DisconnectIB();
  a.data.connectThrows = true;
  a.data.calls.clear();
  a.w->SpeedButton4->click();
  EXPECT_EQ(a.data.count("ImportXmlRegister"), 0);
  EXPECT_EQ(a.texts().back(), C("Не удалось соединиться с БД\r/db/clinic.fdb\r\rEOSError\rrefused"));
}

}  // namespace

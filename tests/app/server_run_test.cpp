// The main window on a clinic database behind a real Firebird server (the test process's
// private one), "Morqa.ini" naming the server as host/port with the stored password:
// task 3 end to end, a server that is killed in the middle of the task, and the server's
// refusal of a wrong stored password as the window shows it.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "embedded_shell.h"
#include "support/FirebirdServer.h"
#include "tasks/dbf_fixture.h"
#include "tasks/zlvCrypt32.h"

using namespace testshell;
using shell::S;

namespace {

const char* const kFundFields =
    "FIRSTNAME C(40); NAME C(40); SECNAME C(40); DATEBDAY D; POL C(1); SNILS C(14); SPOLICY C(10); NPOLICY C(20); "
    "DPOLICY D; ENDPOLICY D; VPOLIC N(1,0); CMOCOD N(5,0); ENP C(16); DATEPRIK D; SPOLREF C(6); SSTOMREF C(6); "
    "SWCONREF C(6); COATODIST C(11); NPREF C(6); STRETREF C(6); HOUSE C(5); FLAT N(4,0); KORPUS C(5); "
    "NPNAME C(60); ADRESS_F C(60); KLADR C(20); KLADRS C(20); ID_LIC C(20); STATUS C(2)";

dbftest::Record Person(const std::string& last, const std::string& number) {
  return {last, "Иван", "Иванович", "1980-05-17", "М", "123-456-789 01", "", number, "2015-03-01", std::nullopt,
          "3", "68001", number, "2020-02-03", "61", "62", "63", "68401", "", "501", "12", "7", "", "Тамбов", "",
          "", "", "", "7"};
}

// The window's own task interface, with the server killed at the given progress step.
class KillingUi : public ITaskUi {
public:
  KillingUi(ITaskUi& inner, testsupport::FirebirdServer& server, int killAt)
      : inner_(inner), server_(server), killAt_(killAt) {}
  int steps = 0;
  void AddTaskMessage(const std::string& line) override { inner_.AddTaskMessage(line); }
  void ClearTaskMessages() override { inner_.ClearTaskMessages(); }
  void AddProtocolLine(const std::string& line) override { inner_.AddProtocolLine(line); }
  void SetProgressMax(int max) override { inner_.SetProgressMax(max); }
  void SetProgressPosition(int position) override { inner_.SetProgressPosition(position); }
  void StepProgress() override {
    inner_.StepProgress();
    if (++steps == killAt_) server_.kill();
  }
  bool NotFoundChecked() const override { return inner_.NotFoundChecked(); }
  void ProcessMessages() override { inner_.ProcessMessages(); }
  void ShowMessage(const std::string& text, const std::string& caption) override { inner_.ShowMessage(text, caption); }
  void SetBusyCursor(bool busy) override { inner_.SetBusyCursor(busy); }

private:
  ITaskUi& inner_;
  testsupport::FirebirdServer& server_;
  int killAt_;
};

// A server with the administrator password the program is built with; the program
// connects with the stored password all the same (a wrong one is refused).
testsupport::FirebirdServer& DesignPasswordServer() {
  static testsupport::FirebirdServer server("quillbray");
  return server;
}

class ServerShell : public ShellWindow {
protected:
  testsupport::FirebirdServer& server = DesignPasswordServer();
  std::unique_ptr<testsupport::TestDatabase> db;
  std::string dir;
  FakeExtractor extractor;

  void SetUp() override {
    KESTA_REQUIRE_SERVER(server);
    db = std::make_unique<testsupport::TestDatabase>(server);
    dir = db->dir();
    db->exec("insert into PATIENT (IDP, LAST_NAME, FIRST_NAME, MIDDLE_NAME, BIRTHDAY, POLICY_SERIA, POLICY_NUM, "
             "SNILS_KOD) values (100, '" + C("Петров") + "', '" + C("Иван") + "', '" + C("Иванович") +
             "', '17.05.1980', '000000', 'P100', 'old')");
    openWindow(dir,
               "[Password]\r\nPassword=" + StoredPasswordValue(storedPassword()) + "\r\n" +
                   DatabaseIni(db->path(), server.host()),
               extractor);
    if (storedPassword() == server.password()) {
      ASSERT_TRUE(prompt.msgs.empty()) << texts();
    }
  }
  // The password "Morqa.ini" stores (enciphered).
  virtual std::string storedPassword() const { return server.password(); }
  void TearDown() override {
    ShellWindow::TearDown();
    db.reset();
    // A test that killed the server leaves it running for the next one.
    if (server.port() != 0 && !server.running()) server.restart();
  }
  void writeFund(const std::string& name, int people) {
    std::vector<dbftest::Record> records = {Person("Петров", "P100")};
    for (int i = 1; i < people; ++i) records.push_back(Person("Новый" + std::to_string(i), "N" + std::to_string(i)));
    dbftest::WriteDbf(dir + name, kFundFields, records);
  }
};

TEST_F(ServerShell, RunNowActualisesThePopulationThroughTheServer) {
  EXPECT_EQ(dm->IBDB.databaseName, server.attachName(db->path()));
  writeFund("PRIK.DBF", 3);
  w->edFileDBF->setText(Q(dir + "PRIK.DBF"));
  w->acRefreshFromFOMSExecute();
  ASSERT_TRUE(prompt.msgs.empty()) << texts();
  EXPECT_EQ(S(w->lbRefr->text()), C("Актуализация БД выполнена!"));
  EXPECT_EQ(w->status(3), C("Выполнение завершено"));
  EXPECT_EQ(w->protocol(), dbftest::PopulationProtocol(1, 0, 2));
  EXPECT_EQ(db->count("PATIENT"), 3);
  EXPECT_EQ(db->scalar("select LAST_NAME from PATIENT where POLICY_NUM = 'N2'"), C("Новый2"));
  EXPECT_EQ(db->scalar("select PLPU from PRIKEND_LOG"), "61");
}

TEST_F(ServerShell, AServerKilledDuringATimedRunIsReportedAndTheNextRunReconnects) {
  writeFund("PRIK.DBF", 40);
  w->edFileDBF->setText(Q(dir + "PRIK.DBF"));
  ASSERT_NO_FATAL_FAILURE(armTimed({3}));
  ASSERT_TRUE(prompt.msgs.empty()) << texts();

  KillingUi killer(*w, server, 10);
  dm->SetUi(&killer);
  clock.set(14, 5, 0);
  auto t0 = std::chrono::steady_clock::now();
  w->tmTasksTimer();
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_FALSE(server.running());
  // No endless wait: the lost connection fails the next call at once, well within the
  // bounded lock and connect waits.
  EXPECT_LT(seconds, 2.0 * (fbdb::kDefaultLockTimeout + fbdb::kConnectTimeout));
  // The record being worked on (the task's own box), then the lost connection in the
  // program's error form: class name, carriage return, the client's text.
  ASSERT_EQ(prompt.msgs.size(), 2u) << texts();
  EXPECT_EQ(prompt.msgs[0].text.substr(0, 3), "11 ") << texts();
  EXPECT_EQ(prompt.msgs[1].text, "EFbError\rError reading data from the connection.") << texts();
  EXPECT_NE(w->status(3), C("Выполнение завершено"));
  EXPECT_FALSE(w->running());

  // The program goes on: with the server back, the next run reconnects both connections
  // and runs the task through.
  prompt.msgs.clear();
  dm->SetUi(w.get());
  ASSERT_TRUE(server.restart()) << server.error();
  EXPECT_FALSE(w->timerOn());  // a run is armed once
  w->DTime->setTime(QTime(14, 7));
  clock.set(14, 6, 0);
  w->acTimerTurnONExecute();
  ASSERT_TRUE(w->timerOn()) << texts();
  clock.set(14, 7, 0);
  w->tmTasksTimer();
  EXPECT_TRUE(prompt.msgs.empty()) << texts();
  EXPECT_EQ(S(w->lbRefr->text()), C("Актуализация БД выполнена!"));
  EXPECT_EQ(w->status(3), C("Выполнение завершено"));
  EXPECT_TRUE(dm->IBDB.connected());  // closed by the complete run's tail, then back as after disarming
  EXPECT_EQ(db->count("PATIENT"), 40);
  EXPECT_EQ(db->scalar("select count(*) from PATIENT where LAST_NAME starting '" + C("Новый") + "'"), "39");
}

class ServerShellWrongPassword : public ServerShell {
protected:
  std::string storedPassword() const override { return "wrong"; }
};

TEST_F(ServerShellWrongPassword, TheServersRefusalIsShownAsClassNameAndText) {
  // The activation connects IBDB, then the SQL connection, both with the stored password
  // (refused; the built-in one, which this server has, is not tried instead).
  const std::string refusal = "EFbError\rYour user name and password are not defined. Ask your database "
                              "administrator to set up a Firebird login.";
  ASSERT_EQ(prompt.msgs.size(), 2u) << texts();
  EXPECT_EQ(prompt.msgs[0].text, C("Не удалось соединиться с БД\r") + db->path() + "\r\r" + refusal);
  EXPECT_EQ(prompt.msgs[1].text,
            C("Не удалось соединиться с БД в задаче актуализации прикрепленного населения:\r") + refusal);
  prompt.msgs.clear();
  // A task connects both with the stored password: refused before the task starts.
  writeFund("PRIK.DBF", 2);
  w->edFileDBF->setText(Q(dir + "PRIK.DBF"));
  w->acRefreshFromFOMSExecute();
  ASSERT_EQ(prompt.msgs.size(), 1u) << texts();
  EXPECT_EQ(prompt.msgs[0].text,
            C("Не удалось соединиться с БД в задаче актуализации прикрепленного населения:\r") + refusal);
  EXPECT_EQ(db->count("PATIENT"), 1);
}

}  // namespace

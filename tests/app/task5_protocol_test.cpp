// Task 5's result text in the run protocol: every item the merge writes is one protocol
// line, blanks and all, whichever table failed. A real embedded centre database, the
// main window on the offscreen platform, a timed run of task 5 alone.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "embedded_shell.h"
#include "platform/codepage.h"
#include "tasks/filialmerge_fixture.h"

using namespace testshell;

namespace {

using mergetest::D;
using mergetest::I;
using mergetest::N;
using mergetest::S;
using mergetest::TS;

constexpr int kB = 1500000000;

class Task5Protocol : public EmbeddedShell {
protected:
  // A folder name with blanks: the item must keep them.
  std::string branches = dir + "branch no 2";

  void SetUp() override {
    std::filesystem::create_directory(branches);
    db.exec("set generator GEN_IDP to 10");
    EmbeddedShell::SetUp();
  }

  // Lists the branch folder and runs task 5 alone in a timed run.
  void timedRun() {
    w->ledFilialDBPath->setText(QString::fromStdString(branches));
    w->acRefreshFilialsExecute();
    ASSERT_EQ(w->lbFilials->count(), 1);
    ASSERT_NO_FATAL_FAILURE(runTimed(5));
    ASSERT_TRUE(prompt.msgs.empty()) << prompt.msgs[0].text;
  }
  // The archive with one new branch patient; `visitDoctor` gives it a visit.
  void archive(const char* lastName, int visitDoctor = 0) {
    mergetest::BranchArchive a;
    a.add("PATIENT.xml", {I(kB + 1), S("F1"), S(lastName), S("B"), N(), D(1980, 1, 1), N(), N(), TS(2026, 11, 1)});
    if (visitDoctor)
      a.add("VISIT.xml", {I(kB + 10), I(kB + 1), I(1), D(2026, 11, 20), I(visitDoctor), I(1), TS(2026, 11, 20)});
    a.write(branches + "/a.zip");
  }
  std::string folder() const { return branches + "/"; }
};

TEST_F(Task5Protocol, APatientTableFailureIsOneLine) {
  db.exec("ALTER TABLE PATIENT ADD CONSTRAINT PATIENT_NO_FAIL CHECK (LAST_NAME <> 'FAIL')");
  archive("FAIL");
  timedRun();
  const std::vector<std::string>& p = w->protocol();
  // The conflict line of the patient table, then the item, then the empty item after ";".
  ASSERT_EQ(p.size(), 3u);
  EXPECT_EQ(p[0].rfind("cdsPatient, OnReconcileError: ", 0), 0u) << p[0];
  EXPECT_EQ(p[1], C("Таблица ПАЦИЕНТОВ: ошибка при сохранении данных. Филиал - ") + folder());
  EXPECT_EQ(p[2], "");
  EXPECT_EQ(db.count("PATIENT"), 0);
  EXPECT_TRUE(std::filesystem::exists(branches + "/a.zip"));
}

TEST_F(Task5Protocol, AVisitTableFailureIsOneLine) {
  db.exec("ALTER TABLE VISITS ADD CONSTRAINT VISITS_NO_MINUS CHECK (DOCTOR <> -1)");
  archive("A", -1);
  timedRun();
  const std::vector<std::string> expected = {
      C("Таблица ПОСЕЩЕНИЙ: ошибка при сохранении данных. Филиал - ") + folder(), ""};
  EXPECT_EQ(w->protocol(), expected);
  EXPECT_EQ(db.count("PATIENT"), 0);
}

// An archive that does not give its 23 packets: one line naming it and the count.
TEST_F(Task5Protocol, AnIncompleteArchiveIsOneLine) {
  mergetest::BranchArchive a;
  a.write(branches + "/a.zip", {"MO.xml"});
  timedRun();
  const std::vector<std::string> expected = {
      C("ФИЛИАЛ->ЦЕНТР: файл \"") + branches + C("/a.zip\" - извлечено файлов 22 из 23"), ""};
  EXPECT_EQ(w->protocol(), expected);
  EXPECT_TRUE(std::filesystem::exists(branches + "/a.zip"));
  EXPECT_EQ(w->lbFilials->count(), 1);  // still listed: the next run tries it again
}

}  // namespace

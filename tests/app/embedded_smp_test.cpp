// Task 8 from the main window, through the data bridge and the window's own unzip
// component, against a real embedded clinic database: run now from its page and in a timed
// run, with whole packages, a package short of one file and a damaged one.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "archive/arcUnZip.h"
#include "embedded_shell.h"
#include "platform/codepage.h"
#include "tasks/smpcalls_fixture.h"

using namespace testshell;
using shell::S;
using smptest::D;
using smptest::MakeCall;

namespace {

const char* const kFour[] = {"PATIENT.xml", "PATIENT_CONST_PARAMS.xml", "SMP_CALLS.bin", "INTERVAL.xml"};

class EmbeddedSmp : public EmbeddedShellWith<shell::TZipExtractor> {
protected:
  std::string smp = dir + "smp/";

  void SetUp() override {
    std::filesystem::create_directory(smp);
    EmbeddedShellWith::SetUp();
    if (HasFatalFailure()) return;
    db.exec("insert into PATIENT (IDP, LAST_NAME) values (100, 'A')");
    db.exec("insert into SMP_CALLS (ID_SMP_CALLS, PATIENT_ID, DATE_INPUT) values (1, 100, '05.03.2026')");
    db.exec("insert into SMP_CALLS (ID_SMP_CALLS, PATIENT_ID, DATE_INPUT) values (2, 100, '05.04.2026')");
  }

  // The package "calls.zip" in the SMP folder, chosen on the page.
  void choosePackage(const std::string& leaveOut = "") {
    std::vector<smptest::Call> calls = {MakeCall(10, 100, D(2026, 3, 9)), MakeCall(11, 999, D(2026, 3, 9))};
    calls[0].form = "F10";
    smptest::WriteAll(smp + "calls.zip", smptest::Package(calls, D(2026, 3, 1), D(2026, 3, 31), leaveOut));
    w->ledSMPFileName->setText(Q(smp + "calls.zip"));
  }
  std::vector<std::string> ids() const {
    fbdb::Attachment a;
    db.connect(a);
    fbdb::Transaction t(a);
    fbdb::Query q(t);
    q.setSql("select ID_SMP_CALLS from SMP_CALLS order by 1");
    std::vector<std::string> r;
    for (q.open(); !q.eof(); q.next()) r.push_back(q.field(0).asString());
    q.close();
    t.commit();
    return r;
  }
  void expectNoPackageFilesLeft() const {
    for (const char* f : kFour) EXPECT_FALSE(std::filesystem::exists(smp + f)) << f;
  }
};

TEST_F(EmbeddedSmp, RunNowImportsAWholePackage) {
  choosePackage();
  w->acSMPImportExecute();
  ASSERT_EQ(prompt.msgs.size(), 1u);
  EXPECT_TRUE(prompt.msgs[0].box);
  EXPECT_EQ(prompt.msgs[0].text, C("Успешное завершение импорта вызовов СМП"));
  EXPECT_EQ(prompt.msgs[0].caption, C("Сообщение"));
  EXPECT_TRUE(w->ledSMPFileName->text().isEmpty());
  EXPECT_EQ(ids(), (std::vector<std::string>{"2", "10"}));
  EXPECT_EQ(db.scalar("select FORMA_BLOB from SMP_CALLS where ID_SMP_CALLS = 10"), "F10");
  EXPECT_EQ(db.scalar("select gen_id(GEN_SMP_CALLS_ID, 0) from RDB$DATABASE"), "10");
  expectNoPackageFilesLeft();
  EXPECT_TRUE(std::filesystem::exists(smp + "calls.zip"));
}

TEST_F(EmbeddedSmp, RunNowWithAPackageShortOfOneFileReportsNothingAndChangesNothing) {
  choosePackage("PATIENT_CONST_PARAMS.xml");
  w->acSMPImportExecute();
  EXPECT_TRUE(prompt.msgs.empty()) << prompt.msgs[0].text;
  EXPECT_EQ(ids(), (std::vector<std::string>{"1", "2"}));
  EXPECT_FALSE(w->ledSMPFileName->text().isEmpty());
  expectNoPackageFilesLeft();
}

TEST_F(EmbeddedSmp, RunNowShowsTheErrorTextOfADamagedPackage) {
  // Four files, but the call packet is not one.
  smptest::WriteInterval(dir + "i.tmp", D(2026, 3, 1), D(2026, 3, 31));
  smptest::WriteAll(smp + "calls.zip", smptest::Zip({{"PATIENT.xml", "x"},
                                                     {"PATIENT_CONST_PARAMS.xml", "x"},
                                                     {"SMP_CALLS.bin", "not a packet"},
                                                     {"INTERVAL.xml", smptest::ReadAll(dir + "i.tmp")}}));
  w->ledSMPFileName->setText(Q(smp + "calls.zip"));
  w->acSMPImportExecute();
  ASSERT_EQ(prompt.msgs.size(), 1u);
  EXPECT_EQ(prompt.msgs[0].text.rfind(C("Ошибка при импорте СМП-данных :EDBClient, "), 0), 0u) << prompt.msgs[0].text;
  EXPECT_EQ(prompt.msgs[0].caption, C("Сообщение"));
  EXPECT_EQ(ids(), (std::vector<std::string>{"1", "2"}));
  EXPECT_FALSE(w->ledSMPFileName->text().isEmpty());
  expectNoPackageFilesLeft();
}

TEST_F(EmbeddedSmp, RunNowWithAMissingArchiveShowsNothing) {
  w->ledSMPFileName->setText(Q(smp + "none.zip"));
  w->acSMPImportExecute();
  EXPECT_TRUE(prompt.msgs.empty()) << prompt.msgs[0].text;
  EXPECT_EQ(ids(), (std::vector<std::string>{"1", "2"}));
}

TEST_F(EmbeddedSmp, ATimedRunImportsThePackage) {
  choosePackage();
  ASSERT_NO_FATAL_FAILURE(runTimed(8));
  ASSERT_TRUE(prompt.msgs.empty()) << prompt.msgs[0].text;
  EXPECT_EQ(w->status(8), C("Выполнение завершено"));
  EXPECT_EQ(w->protocol(), (std::vector<std::string>{C("Импорт вызовов СМП выполнен"), " "}));
  EXPECT_EQ(ids(), (std::vector<std::string>{"2", "10"}));
  expectNoPackageFilesLeft();
}

TEST_F(EmbeddedSmp, ACallThatCannotBeStoredIsNamedInTheRunProtocol) {
  // Call 2 is stored outside the period, so a package call with id 2 cannot be inserted.
  std::vector<smptest::Call> calls = {MakeCall(2, 100, D(2026, 3, 9)), MakeCall(10, 100, D(2026, 3, 9))};
  smptest::WriteAll(smp + "calls.zip", smptest::Package(calls, D(2026, 3, 1), D(2026, 3, 31)));
  w->ledSMPFileName->setText(Q(smp + "calls.zip"));
  ASSERT_NO_FATAL_FAILURE(runTimed(8));
  EXPECT_EQ(w->status(8), C("Выполнение завершено"));
  const std::vector<std::string> protocol = w->protocol();
  ASSERT_EQ(protocol.size(), 3u);
  EXPECT_EQ(protocol[0].rfind(C("Вызов СМП 2 не загружен: EFbError, "), 0), 0u) << protocol[0];
  EXPECT_EQ(protocol[1], C("Импорт вызовов СМП выполнен"));
  EXPECT_EQ(ids(), (std::vector<std::string>{"2", "10"}));
}

TEST_F(EmbeddedSmp, ATimedRunWithThreeFilesEndsInterrupted) {
  choosePackage("INTERVAL.xml");
  ASSERT_NO_FATAL_FAILURE(runTimed(8));
  EXPECT_EQ(w->status(8), C("Прервано оператором"));
  EXPECT_TRUE(w->protocol().empty());
  EXPECT_EQ(ids(), (std::vector<std::string>{"1", "2"}));
  expectNoPackageFilesLeft();
}

TEST_F(EmbeddedSmp, ATimedRunWithAFailedImportMarksTheTaskNotDone) {
  // Four files whose period is empty: refused, the stored calls stay.
  smptest::WriteInterval(dir + "i.tmp", std::nullopt, D(2026, 3, 31));
  smptest::WriteCalls(dir + "c.tmp", {MakeCall(10, 100, D(2026, 3, 9))});
  smptest::WriteAll(smp + "calls.zip", smptest::Zip({{"PATIENT.xml", "x"},
                                                     {"PATIENT_CONST_PARAMS.xml", "x"},
                                                     {"SMP_CALLS.bin", smptest::ReadAll(dir + "c.tmp")},
                                                     {"INTERVAL.xml", smptest::ReadAll(dir + "i.tmp")}}));
  w->ledSMPFileName->setText(Q(smp + "calls.zip"));
  ASSERT_NO_FATAL_FAILURE(runTimed(8));
  EXPECT_EQ(w->status(8), C("Прервано оператором"));  // "Не выполнено!" until the end of the run
  EXPECT_EQ(w->protocol(), (std::vector<std::string>{C("Не выполнен импорт вызовов СМП"), " "}));
  EXPECT_EQ(ids(), (std::vector<std::string>{"1", "2"}));
}

TEST_F(EmbeddedSmp, APackageDeflatedByInfoZipIsImported) {
  const std::string src = dir + "src/";
  std::filesystem::create_directory(src);
  std::vector<smptest::Call> calls = {MakeCall(10, 100, D(2026, 3, 9))};
  smptest::WriteCalls(src + "SMP_CALLS.bin", calls);
  smptest::WriteInterval(src + "INTERVAL.xml", D(2026, 3, 1), D(2026, 3, 31));
  smptest::WriteAll(src + "PATIENT.xml", smptest::PatientPacket());
  smptest::WriteAll(src + "PATIENT_CONST_PARAMS.xml", smptest::PatientPacket());
  const std::string cmd = "cd '" + src + "' && /usr/bin/zip -q -9 -X '" + smp +
                          "calls.zip' PATIENT.xml PATIENT_CONST_PARAMS.xml SMP_CALLS.bin INTERVAL.xml";
  ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
  w->ledSMPFileName->setText(Q(smp + "calls.zip"));
  w->acSMPImportExecute();
  ASSERT_EQ(prompt.msgs.size(), 1u);
  EXPECT_EQ(prompt.msgs[0].text, C("Успешное завершение импорта вызовов СМП"));
  EXPECT_EQ(ids(), (std::vector<std::string>{"2", "10"}));
}

TEST(ZipExtractor, FourStepsOnTheWindowsOwnUnzip) {
  TempDir t;
  t.write("a.zip", smptest::Zip({{"one.txt", "1"}, {"two.xml", "22"}, {"three.txt", "333"}}));
  for (const char* d : {"out", "out2", "out3", "out4"}) std::filesystem::create_directory(t.path + d);
  shell::TZipExtractor x;
  x.UnZip1->FileSpec = {"old mask", "another"};
  EXPECT_EQ(x.Extract(t.path + "a.zip", t.path + "out/", "*.txt"), 2);
  EXPECT_EQ(x.UnZip1->FileSpec, std::vector<std::string>{"*.txt"});
  EXPECT_EQ(t.read("out/three.txt"), "333");
  EXPECT_FALSE(t.exists("out/two.xml"));
  EXPECT_EQ(x.Extract(t.path + "a.zip", t.path + "out2/", "*.*"), 3);
  EXPECT_EQ(x.Extract(t.path + "missing.zip", t.path + "out3/", "*.*"), 0);
  t.write("bad.zip", "PK\x03\x04 not really");
  EXPECT_EQ(x.Extract(t.path + "bad.zip", t.path + "out4/", "*.*"), 0);
}

}  // namespace

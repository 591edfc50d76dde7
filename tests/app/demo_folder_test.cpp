// The demo folder as scripts/demo.sh prepares it (the same maker, into a temporary folder):
// the window opened there finds every input on its task pages, and each task run from its
// page succeeds and changes the demo database as its protocol says. The maker stopped at
// any moment leaves nothing that its next run would keep.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "app/Scheduler_FM.h"
#include "archive/arcUnZip.h"
#include "db/fbdb.h"
#include "embedded_shell.h"
#include "platform/codepage.h"
#include "platform/strutil.h"
#include "tasks/dbf_fixture.h"
#include "tools/DemoFolder.h"

using namespace testshell;
using shell::S;

namespace {

namespace fs = std::filesystem;

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The number at the end of the protocol line that begins with `label` (-1 when none does).
int64_t Counter(const std::vector<std::string>& lines, const std::string& label) {
  for (const std::string& line : lines) {
    if (line.rfind(label, 0) == 0) return platform::StrToInt64(line.substr(label.size()));
  }
  return -1;
}

// Connects `a` to the embedded database `db`.
void Connect(fbdb::Attachment& a, const std::string& db) {
  a.databaseName = db;
  a.params.setValue("USER_NAME", "SYSDBA");
  a.params.setValue("lc_ctype", "WIN1251");
  a.connect();
}

// The first column of the first row ("" when none or NULL) of a query on the embedded
// database `db`, read on an attachment of its own.
std::string Scalar(const std::string& db, const std::string& sql) {
  fbdb::Attachment a;
  Connect(a, db);
  fbdb::Transaction t(a);
  fbdb::Query q(t);
  q.setSql(sql);
  q.open();
  const std::string v = q.eof() || q.field(0).isNull() ? "" : q.field(0).asString();
  q.close();
  t.commit();
  return v;
}

// A demo folder made by the maker in a temporary folder of the test.
class DemoFolder : public ShellWindow {
protected:
  std::string dir;
  shell::TZipExtractor extractor;

  void SetUp() override {
    dir = testsupport::MakeTempDir("kesta-demo");
    demodata::MakeDemoFolder(dir);
    openWindow(dir, ReadText(dir + "Morqa.ini"), extractor);
    ASSERT_TRUE(prompt.msgs.empty()) << texts();
  }
  void TearDown() override {
    ShellWindow::TearDown();
    if (!given_) testsupport::RemoveDir(dir);
  }

  bool given_ = false;

  std::string scalar(const std::string& sql) const { return Scalar(dir + demodata::kClinicDb, sql); }
  int64_t count(const std::string& table, const std::string& where = "") const {
    return platform::StrToInt64(scalar("select count(*) from " + table + (where.empty() ? "" : " where " + where)));
  }
  // Runs a task from its page (its messages alone left in `prompt`); the protocol lines it added.
  std::vector<std::string> run(const std::function<void()>& action) {
    const size_t before = w->protocol().size();
    prompt.msgs.clear();
    action();
    return std::vector<std::string>(w->protocol().begin() + static_cast<std::ptrdiff_t>(before), w->protocol().end());
  }
};

TEST_F(DemoFolder, TheTaskPagesNameTheDemoInputs) {
  EXPECT_EQ(S(w->edDB->text()), dir + demodata::kClinicDb);
  EXPECT_EQ(S(w->edFileDBF->text()), dir + demodata::kFundDbf);
  EXPECT_EQ(S(w->edFileL->text()), dir + demodata::kPrivilegedDbf);
  EXPECT_EQ(S(w->edFileLS->text()), dir + demodata::kDrugDbf);
  EXPECT_EQ(S(w->edF2->text()), dir + demodata::kRegisterXml);
  EXPECT_EQ(S(w->ledSMPFileName->text()), dir + demodata::kSmpPackage);
  ASSERT_EQ(w->lbFilials->count(), demodata::kBranchArchives);
  EXPECT_EQ(S(w->lbFilials->item(0)->text()), dir + demodata::kBranchFolder + "FILIAL_1.ZIP");
  EXPECT_EQ(S(w->lbLPUName->text()), C("Демонстрационная поликлиника"));
  for (const std::string f : {demodata::kFundDbf, demodata::kPrivilegedDbf, demodata::kDrugDbf, demodata::kRegisterXml,
                              demodata::kSmpPackage}) {
    EXPECT_TRUE(fs::is_regular_file(dir + f)) << f;
  }
}

// The same, or the folder scripts/demo.sh prepared when KESTA_DEMO_DIR names it (fresh:
// the tasks change it as they would in the program).
class PreparedDemoFolder : public DemoFolder {
protected:
  void SetUp() override {
    const char* prepared = std::getenv("KESTA_DEMO_DIR");
    if (!prepared || !*prepared) return DemoFolder::SetUp();
    given_ = true;
    dir = platform::FromFsPath(fs::absolute(prepared).string());
    if (dir.back() != '/') dir += '/';
    openWindow(dir, ReadText(prepared + std::string("/Morqa.ini")), extractor);
    ASSERT_TRUE(prompt.msgs.empty()) << texts();
  }
};

TEST_F(PreparedDemoFolder, EveryTaskRunsFromItsPageAndChangesTheDatabaseAsItsProtocolSays) {
  using namespace demodata;
  const int64_t patients = count("PATIENT");
  const std::string today = "(select current_date from RDB$DATABASE)";

  // 0: the start-of-run backup into the demo's backup folder.
  run([&] { w->tbBackup1Click(); });
  ASSERT_TRUE(prompt.msgs.empty()) << texts();
  EXPECT_EQ(S(w->lbBack->text()), C("Файл резервной копии создан!"));
  EXPECT_GT(fs::file_size(dir + kBackupFolder + S(w->edBackup->text())), 0u);

  // 3: the fund's file keeps, replaces and adds the counted persons.
  std::vector<std::string> lines = run([&] { w->acRefreshFromFOMSExecute(); });
  ASSERT_TRUE(prompt.msgs.empty()) << texts();
  EXPECT_EQ(S(w->lbRefr->text()), C("Актуализация БД выполнена!"));
  EXPECT_EQ(w->status(3), C("Выполнение завершено"));
  EXPECT_EQ(lines, dbftest::PopulationProtocol(kFundUnchanged, kFundReplaced, kFundAdded));
  EXPECT_EQ(count("PATIENT"), patients + kFundAdded);
  EXPECT_EQ(count("PATIENT", "POLICY_NUM starting with '66'"), 0);  // the replaced policies
  EXPECT_EQ(count("PATIENT", "UPDATE_DATE = " + today), kFundUnchanged + kFundReplaced + kFundAdded);
  EXPECT_EQ(count("PATIENT", "IS_UPDATE = 1"), kFundAdded);

  // 4: the privileged persons found get their category and document; the others are counted.
  lines = run([&] { w->acRefreshLExecute(); });
  ASSERT_TRUE(prompt.msgs.empty()) << texts();
  EXPECT_EQ(S(w->lbRefrLg->text()), C("Актуализация БД выполнена!"));
  EXPECT_EQ(Counter(lines, C("Замена записи - ")), kPrivilegedFound);
  EXPECT_EQ(Counter(lines, C("Отказников - ")), kPrivilegedRefused);
  EXPECT_EQ(Counter(lines, C("Не найдено льготников  - ")), kPrivilegedNotFound);
  EXPECT_EQ(count("PATIENT", "PRIVILEGE_KOD = " + std::to_string(kPrivilegedCategory)), kPrivilegedFound);
  EXPECT_EQ(count("PATIENT", "DOCUMENT_NAME = '" + C("паспорт") + "'"), kPrivilegedFound);

  // 5: both branch archives are merged: the branch's new patients with their visits,
  // diseases and registers, its changes of centre patients and its visits to them.
  const int64_t visits = count("VISITS");
  const int64_t diseases = count("DISEASES");
  run([&] { w->acStartDealingFilialDBExecute(); });
  ASSERT_EQ(prompt.msgs.size(), 1u) << texts();
  EXPECT_EQ(prompt.msgs[0].text, C("Успешное завершение актуализации БД"));
  const int newPatients = kBranchArchives * kBranchNewPatients;
  const int newVisits = newPatients * kBranchVisitsPerPatient + kBranchArchives * kBranchKnownVisits;
  EXPECT_EQ(count("PATIENT"), patients + kFundAdded + newPatients);
  // The branch's own patients (their policies begin so), coded by their new centre ids.
  EXPECT_EQ(count("PATIENT", "POLICY_NUM starting with '6800000000008' and KOD_PATIENT = cast(IDP as varchar(20))"),
            newPatients);
  EXPECT_EQ(count("VISITS"), visits + newVisits);
  EXPECT_EQ(count("DISEASES"), diseases + newVisits);
  EXPECT_EQ(count("DISPENSARY"), newPatients);
  EXPECT_EQ(count("PATIENT_CONST_PARAMS"), newPatients);
  EXPECT_EQ(count("PATIENT", "IDP > 1500000000"), 0);
  for (const auto& [id, address] : BranchChangedAddresses()) {
    EXPECT_EQ(scalar("select FULL_ADDRESS from PATIENT where IDP = " + std::to_string(id)), address) << id;
  }
  for (int a = 1; a <= kBranchArchives; ++a) {
    const std::string name = dir + kBranchFolder + "FILIAL_" + std::to_string(a);
    EXPECT_FALSE(fs::exists(name + ".ZIP")) << a;
    EXPECT_TRUE(fs::exists(name + ".LOAD")) << a;
  }

  // 6: the duplicate search finds the one patient entered twice.
  w->cbFIO->setChecked(true);
  lines = run([&] { w->acDublExecute(); });
  ASSERT_TRUE(prompt.msgs.empty()) << texts();
  EXPECT_EQ(S(w->lDubl->text()), C("Поиск дубликатов выполнен!"));
  EXPECT_EQ(lines, (std::vector<std::string>{C("ПОИСК ДУБЛИКАТОВ ПО ФИО"), " ", C("Иванов Иван Иванович 15.03.1970"),
                                             "   1     7700000000000001", "   3     7700000000000003", " ",
                                             C("Конец задания поиска дубликатов"), " "}));

  // 7: the disease-record correction over the page's defaults, in the year of the branch
  // visits, takes one of each branch patient's two neighbouring diagnoses of one day out of
  // the count.
  w->edYear->setText(Q(scalar("select extract(year from max(DATE_VISIT)) from VISITS")));
  lines = run([&] { w->acZabolExecute(); });
  ASSERT_TRUE(prompt.msgs.empty()) << texts();
  EXPECT_EQ(S(w->lZab->text()), C("Правка заболеваний выполнена!"));
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], C("ПРАВКА УЧЕТА ЗАБОЛЕВАНИЙ"));
  const int64_t marked = Counter(lines, C("Убрано заболеваний = "));
  EXPECT_GE(marked, kBranchNewPatients);
  EXPECT_EQ(count("DISEASES", "CASE_KOD = 2"), marked);

  // 8: the ambulance package replaces the calls of last month, the older call stays.
  run([&] { w->acSMPImportExecute(); });
  ASSERT_EQ(prompt.msgs.size(), 1u) << texts();
  EXPECT_EQ(prompt.msgs[0].text, C("Успешное завершение импорта вызовов СМП"));
  EXPECT_EQ(count("SMP_CALLS"), kSmpCalls + kSmpStoredBefore);
  EXPECT_EQ(count("SMP_CALLS", "ID_SMP_CALLS <= " + std::to_string(kSmpStoredInPeriod)), 0);

  // 9: the register's records, the patients, visits and diagnoses it counts are added.
  const int64_t beforeXml[] = {count("PATIENT"), count("VISITS"), count("DISEASES")};
  lines = run([&] { w->sbExecClick(false); });
  ASSERT_TRUE(prompt.msgs.empty()) << texts();
  EXPECT_EQ(S(w->lbreXML->text()), C("Загрузка реестра XML выполнена!"));
  EXPECT_EQ(Counter(lines, C("Обработано записей  - ")), kRegisterKnown + kRegisterNew);
  EXPECT_EQ(Counter(lines, C("Добавлено пациентов - ")), kRegisterNew);
  EXPECT_EQ(Counter(lines, C("Добавлено посещений - ")), kRegisterKnown + kRegisterNew);
  EXPECT_EQ(Counter(lines, C("Добавлено заболеваний - ")), kRegisterKnown + kRegisterNew);
  EXPECT_EQ(count("PATIENT"), beforeXml[0] + kRegisterNew);
  EXPECT_EQ(count("VISITS"), beforeXml[1] + kRegisterKnown + kRegisterNew);
  EXPECT_EQ(count("DISEASES"), beforeXml[2] + kRegisterKnown + kRegisterNew);

  // 10: the drug directory replaces the old one.
  lines = run([&] { w->acLoadLSExecute(); });
  ASSERT_TRUE(prompt.msgs.empty()) << texts();
  EXPECT_EQ(S(w->lbLoadLS->text()), C("Справочник ЛС загружен!"));
  EXPECT_EQ(lines.at(0), C("Загрузка справочника ЛС"));
  EXPECT_EQ(count("DRUGS"), kDrugs);
  EXPECT_EQ(count("DRUGS", "DISPLAY_NAME starting with '" + C("Устаревший") + "'"), 0);
  EXPECT_EQ(scalar("select gen_id(GEN_DRUGS_ID, 0) from RDB$DATABASE"), std::to_string(kDrugs));

  // 11: the end-of-run backup.
  run([&] { w->tbBackup2Click(); });
  ASSERT_TRUE(prompt.msgs.empty()) << texts();
  EXPECT_EQ(S(w->lbBack2->text()), C("Файл резервной копии создан!"));
  EXPECT_GT(fs::file_size(dir + kBackupFolder + S(w->edBackup2->text())), 0u);
}

// The maker run again over a folder the tasks and the operator worked on (as the demo
// script runs it at every start): the database and the operator's settings stay, the
// inputs are written anew and the task pages point at them again.
TEST_F(DemoFolder, MakingTheFolderAgainKeepsTheDatabaseAndSettingsAndRenewsTheInputs) {
  const std::string archive = dir + demodata::kBranchFolder + "FILIAL_1.ZIP";
  const std::string archiveBytes = ReadText(archive);
  fs::rename(archive, dir + demodata::kBranchFolder + "FILIAL_1.LOAD");
  fs::remove(dir + demodata::kFundDbf);
  // The close writes the operator's files, the package's folder and the user back.
  w->edFileDBF->setText(Q(dir + "other.dbf"));
  w->edUser->setText("operator");
  w->close();
  const std::string ini = ReadText(dir + "Morqa.ini");
  ASSERT_NE(ini.find("DBF_P=" + dir + "other.dbf\r\n"), std::string::npos) << ini;
  ASSERT_NE(ini.find("SMP_WORK_PATH=" + dir + "smp/\r\n"), std::string::npos) << ini;
  const int64_t patients = count("PATIENT");
  fbdb::Attachment a;
  Connect(a, dir + demodata::kClinicDb);
  a.executeImmediate("delete from PATIENT where IDP = 1");
  a.disconnect();

  demodata::MakeDemoFolder(dir);
  EXPECT_EQ(count("PATIENT"), patients - 1);
  // As the close left it, with the two input keys it changed pointing at the inputs again.
  std::string expected = ini;
  auto replace = [&](const std::string& from, const std::string& to) {
    expected.replace(expected.find(from), from.size(), to);
  };
  replace("DBF_P=" + dir + "other.dbf", "DBF_P=" + dir + demodata::kFundDbf);
  replace("SMP_WORK_PATH=" + dir + "smp/\r", "SMP_WORK_PATH=" + dir + demodata::kSmpPackage + "\r");
  EXPECT_EQ(ReadText(dir + "Morqa.ini"), expected);
  EXPECT_NE(expected.find("User=operator\r\n"), std::string::npos);
  EXPECT_EQ(ReadText(archive), archiveBytes);
  EXPECT_TRUE(fs::is_regular_file(dir + demodata::kFundDbf));
}

// Starts the maker program on `dir` (as the file system names it), its output thrown
// away; `locale` given, as the locale of its environment; `lockDir` given, as the database
// engine's folder of shared lock memory.
pid_t StartMaker(const std::string& dir, const char* locale = nullptr, const std::string& lockDir = {}) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int null = ::open("/dev/null", O_WRONLY);
    if (null >= 0) ::dup2(null, 1);
    if (locale) ::setenv("LC_ALL", locale, 1);
    if (!lockDir.empty()) ::setenv("FIREBIRD_LOCK", lockDir.c_str(), 1);
    ::execl(KESTA_DEMO_DATA_EXE, KESTA_DEMO_DATA_EXE, dir.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  return pid;
}

int WaitMaker(pid_t pid) {
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The maker in a folder named in Cyrillic, under a UTF-8 locale as the program runs: the
// settings name the folder in CP1251, the databases are reached through it.
TEST(DemoDataMaker, FillsAFolderNamedInCyrillic) {
  const std::string parent = testsupport::MakeTempDir("kesta-demo-named");
  const std::string dir = parent + "Демо папка/";
  ASSERT_EQ(WaitMaker(StartMaker(dir, "C.UTF-8")), 0);
  for (const std::string f : {demodata::kClinicDb, demodata::kBranchDb, demodata::kFundDbf, demodata::kSmpPackage}) {
    EXPECT_TRUE(fs::is_regular_file(dir + f)) << f;
  }
  const std::string cp1251 = platform::Utf8ToCp1251(dir);
  EXPECT_NE(ReadText(dir + "Morqa.ini").find("Database=" + cp1251 + demodata::kClinicDb + "\r\n"), std::string::npos);
  EXPECT_EQ(Scalar(cp1251 + demodata::kClinicDb, "select count(*) from DRUGS"), std::to_string(demodata::kOldDrugs));
  testsupport::RemoveDir(parent);
}

// The maker killed (SIGKILL) at random moments of a run, then run once more to its end,
// leaves the folder that one whole run makes: no half database, input or settings file is
// kept, and no temporary file is left. The makers keep the engine's shared lock memory in a
// folder of their own: a process killed inside the engine can leave a mutex there locked,
// which would stop every other process of the machine that uses the engine's default folder.
TEST(DemoDataMaker, AKillAtAnyMomentLeavesNothingTheNextRunKeeps) {
  const uint64_t seed = std::random_device{}();
  std::printf("seed %" PRIu64 "\n", seed);
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  const std::string reference = testsupport::MakeTempDir("kesta-demo-whole");
  const std::string dir = testsupport::MakeTempDir("kesta-demo-killed");
  const std::string locks = testsupport::MakeTempDir("kesta-demo-locks");
  // A whole run bounds the moments of the kills.
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(WaitMaker(StartMaker(reference, nullptr, locks)), 0);
  const auto whole = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);
  for (int kill = 0; kill < 5; ++kill) {
    const pid_t pid = StartMaker(dir, nullptr, locks);
    ASSERT_GT(pid, 0);
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % static_cast<uint64_t>(whole.count() + 1)));
    ::kill(pid, SIGKILL);
    WaitMaker(pid);
  }
  ASSERT_EQ(WaitMaker(StartMaker(dir, nullptr, locks)), 0);
  testsupport::RemoveDir(locks);

  using namespace demodata;
  for (const std::string f : {kFundDbf, kPrivilegedDbf, kDrugDbf, kRegisterXml, kSmpPackage, "Zelvorn.ini"}) {
    EXPECT_EQ(ReadText(dir + f), ReadText(reference + f)) << f;
  }
  for (const std::string f : {"FILIAL_1.ZIP", "FILIAL_2.ZIP"}) {
    EXPECT_EQ(ReadText(dir + kBranchFolder + f), ReadText(reference + kBranchFolder + f)) << f;
  }
  std::string ini = ReadText(reference + "Morqa.ini");
  for (size_t at; (at = ini.find(reference)) != std::string::npos;) ini.replace(at, reference.size(), dir);
  EXPECT_EQ(ReadText(dir + "Morqa.ini"), ini);
  for (const char* db : {kClinicDb, kBranchDb}) {
    for (const char* sql : {"select count(*) from PATIENT", "select count(*) from VISITS",
                            "select count(*) from DRUGS", "select count(*) from SMP_CALLS",
                            "select gen_id(GEN_IDP, 0) from RDB$DATABASE"}) {
      EXPECT_EQ(Scalar(dir + db, sql), Scalar(reference + db, sql)) << db << ": " << sql;
    }
  }
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    EXPECT_NE(e.path().extension(), ".part") << e.path();
  }
  testsupport::RemoveDir(reference);
  testsupport::RemoveDir(dir);
}

}  // namespace

// Two workstations merging one branch export at overlapping times, through the test
// process's private Firebird server: each merge is a process of its own
// (tasks_merge_child). The first is held where it has read the centre and applied its rows
// but not committed; the second is started then. The second must not read the centre
// before the first one ends: it waits for the merge lock, and the centre ends with one set
// of patients.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "filialmerge_fixture.h"
#include "support/FirebirdServer.h"
#include "support/TestDatabase.h"

// The suppressions of the test support (the Firebird client's never-freed caches), which
// the merge processes get too.
extern "C" const char* __lsan_default_suppressions();

namespace {

using mergetest::D;
using mergetest::I;
using mergetest::S;
using mergetest::TS;
using testsupport::FirebirdServer;
using testsupport::TestDatabase;

constexpr int kB = 1500000000;

// A merge process with a pipe to its standard input and one from its standard output.
class MergeProcess {
public:
  MergeProcess(const std::string& name, const std::string& password, const std::string& archive,
               bool noWait = false) {
    const std::string exe =
        std::filesystem::read_symlink("/proc/self/exe").parent_path().string() + "/tasks_merge_child";
    const std::string suppressions = archive + ".lsan";
    testsupport::WriteFile(suppressions, __lsan_default_suppressions());
    // Made before the fork: the child only calls what is safe after it.
    std::vector<std::string> env = {"LSAN_OPTIONS=suppressions=" + suppressions};
    for (char** e = environ; *e; ++e)
      if (std::string(*e).rfind("LSAN_OPTIONS=", 0) != 0) env.emplace_back(*e);
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> args = {exe, name, password, archive};
    if (noWait) args.emplace_back("nowait");
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      execve(exe.c_str(), argv.data(), envp.data());
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    toChild_ = in[1];
    fromChild_ = out[0];
  }
  ~MergeProcess() {
    if (toChild_ >= 0) close(toChild_);
    if (fromChild_ >= 0) close(fromChild_);
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  bool started() const { return pid_ > 0; }
  // The next line it writes, waiting at most `ms` milliseconds (-1: until it comes); false
  // when none came in that time or the process closed its output.
  bool line(std::string& l, int ms = -1) {
    for (;;) {
      const size_t nl = buf_.find('\n');
      if (nl != std::string::npos) {
        l = buf_.substr(0, nl);
        buf_.erase(0, nl + 1);
        return true;
      }
      pollfd p{fromChild_, POLLIN, 0};
      if (poll(&p, 1, ms) <= 0) return false;
      char b[4096];
      const ssize_t n = read(fromChild_, b, sizeof b);
      if (n <= 0) return false;
      buf_.append(b, static_cast<size_t>(n));
    }
  }
  void goOn() { (void)!write(toChild_, "go\n", 3); }
  // The result text it reported (decoded), after its end; "<none>" when it reported none.
  std::string finish() {
    std::string l, result = "<none>";
    while (line(l))
      if (l.rfind("result:", 0) == 0) result = Unhex(l.substr(7));
    int st = 0;
    waitpid(pid_, &st, 0);
    pid_ = -1;
    exit_ = WIFEXITED(st) ? WEXITSTATUS(st) : 99;
    return result;
  }
  int exitCode() const { return exit_; }

private:
  static std::string Unhex(const std::string& h) {
    std::string r;
    for (size_t i = 0; i + 1 < h.size(); i += 2) r += static_cast<char>(std::stoi(h.substr(i, 2), nullptr, 16));
    return r;
  }
  pid_t pid_ = -1;
  int toChild_ = -1, fromChild_ = -1;
  int exit_ = -1;
  std::string buf_;
};

TEST(ServerFilialMerge, TwoWorkstationsMergingOneExportLeaveOneSetOfPatients) {
  FirebirdServer& server = testsupport::TestServer();
  KESTA_REQUIRE_SERVER(server);
  TestDatabase db(server);
  constexpr int kPatients = 40;
  mergetest::BranchArchive a;
  for (int i = 1; i <= kPatients; ++i) {
    const std::string n = std::to_string(100000 + i);
    a.add("PATIENT.xml", {I(kB + i), S("F"), mergetest::Value("Branch" + n), S("P"), S("X"), D(1970, 1, 1), S("BR"),
                          mergetest::Value(n), TS(2026, 11, 1)});
    a.add("VISIT.xml", {I(kB + 1000 + i), I(kB + i), I(1), D(2026, 11, 20), I(9), I(1), TS(2026, 11, 20)});
  }
  // Both workstations see the same branch folder.
  std::filesystem::create_directory(db.dir() + "branch");
  const std::string archive = db.dir() + "branch/export.zip";
  a.write(archive);

  MergeProcess first(db.name(), db.password(), archive);
  ASSERT_TRUE(first.started());
  std::string l;
  ASSERT_TRUE(first.line(l));
  ASSERT_EQ(l, "committing");  // its rows applied, not committed

  MergeProcess second(db.name(), db.password(), archive);
  ASSERT_TRUE(second.started());
  // Wait until the second one either reaches its own commit (it read the centre while the
  // first one was open: the fault) or waits for the merge lock on the server.
  bool secondCommitting = false;
  const std::string waiting =
      "select count(*) from MON$STATEMENTS where MON$STATE = 1 and MON$ATTACHMENT_ID <> current_connection "
      "and MON$SQL_TEXT containing 'FILIAL_MERGE_LOCK'";
  for (int i = 0; i < 6000; ++i) {
    if (second.line(l, 10)) {
      ASSERT_EQ(l, "committing");
      secondCommitting = true;
      break;
    }
    if (db.scalar(waiting) == "1") break;
  }
  first.goOn();
  EXPECT_EQ(first.finish(), "");
  EXPECT_EQ(first.exitCode(), 0);
  if (!secondCommitting) {
    ASSERT_TRUE(second.line(l));
    ASSERT_EQ(l, "committing");
  }
  second.goOn();
  // The second merge read the centre after the first one's commit: it found every patient
  // by policy and created none; a clean report (its archive was renamed by the first).
  EXPECT_EQ(second.finish(), "");
  EXPECT_EQ(second.exitCode(), 0);
  EXPECT_EQ(db.count("PATIENT"), kPatients);
  EXPECT_EQ(db.scalar("select count(distinct POLICY_NUM) from PATIENT"), std::to_string(kPatients));
  EXPECT_EQ(db.count("VISITS"), kPatients);
}

// A merge that cannot get the lock in its time gives up before it reads the centre: a
// clean item, nothing of it written, its archive kept for the next run.
TEST(ServerFilialMerge, AMergeThatCannotWaitGivesUpWithItsArchiveKept) {
  FirebirdServer& server = testsupport::TestServer();
  KESTA_REQUIRE_SERVER(server);
  TestDatabase db(server);
  mergetest::BranchArchive a;
  a.add("PATIENT.xml", {I(kB + 1), S("F"), S("Branch"), S("P"), S("X"), D(1970, 1, 1), S("BR"), S("1"),
                        TS(2026, 11, 1)});
  const std::string first = db.dir() + "first.zip", second = db.dir() + "other/second.zip";
  std::filesystem::create_directory(db.dir() + "other");
  a.write(first);
  a.write(second);
  MergeProcess holder(db.name(), db.password(), first);
  ASSERT_TRUE(holder.started());
  std::string l;
  ASSERT_TRUE(holder.line(l));
  ASSERT_EQ(l, "committing");
  MergeProcess impatient(db.name(), db.password(), second, true);
  ASSERT_TRUE(impatient.started());
  EXPECT_EQ(impatient.finish(), dbftest::C("ФИЛИАЛ->ЦЕНТР: файл \"") + second +
                                    dbftest::C("\" - центральная БД занята слиянием на другом рабочем месте, "
                                               "файл оставлен;"));
  EXPECT_TRUE(std::filesystem::exists(second));
  holder.goOn();
  EXPECT_EQ(holder.finish(), "");
  EXPECT_EQ(db.count("PATIENT"), 1);
}

// A clinic database made before the merge lock existed gets its table and row from the
// first merge, which then merges as usual.
TEST(ServerFilialMerge, ADatabaseWithoutTheLockTableGetsIt) {
  FirebirdServer& server = testsupport::TestServer();
  KESTA_REQUIRE_SERVER(server);
  TestDatabase db(server);
  db.exec("drop table FILIAL_MERGE_LOCK");
  mergetest::BranchArchive a;
  a.add("PATIENT.xml", {I(kB + 1), S("F"), S("Branch"), S("P"), S("X"), D(1970, 1, 1), S("BR"), S("1"),
                        TS(2026, 11, 1)});
  const std::string archive = db.dir() + "export.zip";
  a.write(archive);
  MergeProcess merge(db.name(), db.password(), archive);
  ASSERT_TRUE(merge.started());
  std::string l;
  ASSERT_TRUE(merge.line(l));
  EXPECT_EQ(l, "committing");
  merge.goOn();
  EXPECT_EQ(merge.finish(), "");
  EXPECT_EQ(db.count("PATIENT"), 1);
  EXPECT_EQ(db.scalar("select count(*) from FILIAL_MERGE_LOCK where ID = 1"), "1");
}

}  // namespace

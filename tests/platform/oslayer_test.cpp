#include "platform/oslayer.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

using namespace platform;

TEST(OsLayer, RangeLocksConflictBetweenTwoOpensOfOneProcess) {
  char tmpl[] = "/tmp/kesta-lock-XXXXXX";
  int a = mkstemp(tmpl);
  ASSERT_GE(a, 0);
  int b = ::open(tmpl, O_RDWR | O_CLOEXEC);
  ASSERT_GE(b, 0);
  EXPECT_TRUE(LockRange(a, 1000, 10, true));
  EXPECT_FALSE(LockRange(b, 1005, 1, true));
  EXPECT_FALSE(LockRange(b, 1005, 1, false));
  EXPECT_TRUE(LockRange(b, 1010, 5, true));  // adjacent range is free
  EXPECT_TRUE(UnlockRange(a, 1000, 10));
  EXPECT_TRUE(LockRange(b, 1005, 1, false));
  EXPECT_TRUE(LockRange(a, 1005, 1, false));  // shared locks coexist
  EXPECT_FALSE(LockRange(a, 1005, 1, true));
  ::close(a);
  ::close(b);
  ::unlink(tmpl);
}

TEST(OsLayer, SingleInstanceHeldUntilReleased) {
  std::string name = "kesta-test-" + std::to_string(::getpid());
  {
    SingleInstance first(name);
    ASSERT_TRUE(first.acquired());
    SingleInstance second(name);
    EXPECT_FALSE(second.acquired());
    // Another process sees it taken too.
    pid_t pid = fork();
    if (pid == 0) _exit(SingleInstance(name).acquired() ? 0 : 1);
    int st = 0;
    waitpid(pid, &st, 0);
    EXPECT_EQ(WEXITSTATUS(st), 1);
  }
  SingleInstance again(name);
  EXPECT_TRUE(again.acquired());
}

TEST(OsLayer, StartProgramReportsFailureAndRunsDetached) {
  EXPECT_EQ(StartProgram("/nonexistent/program", {}), 0);
  char tmpl[] = "/tmp/kesta-start-XXXXXX";
  std::string dir = mkdtemp(tmpl);
  EXPECT_EQ(StartProgram("/bin/sh", {"-c", "exit 0"}, dir + "/missing-folder"), 0);
  // The id returned is the started program's own (its shell writes $$).
  const int64_t pid = StartProgram("/bin/sh", {"-c", "echo Start,42 $$ > out.tmp && mv out.tmp out.txt"}, dir);
  ASSERT_GT(pid, 0);
  EXPECT_NE(pid, static_cast<int64_t>(getpid()));
  for (int i = 0; i < 250 && !std::filesystem::exists(dir + "/out.txt"); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  std::ifstream f(dir + "/out.txt");
  std::string line;
  std::getline(f, line);
  EXPECT_EQ(line, "Start,42 " + std::to_string(pid));
  std::filesystem::remove_all(dir);
  EXPECT_EQ(ExeDir().back(), '/');
}

TEST(OsLayer, AStartedProgramBlocksNoSignals) {
  // The program blocks SIGTERM and SIGINT for itself; what it starts must not inherit that.
  sigset_t set, old;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &set, &old), 0);
  char tmpl[] = "/tmp/kesta-start-XXXXXX";
  std::string dir = mkdtemp(tmpl);
  // cp copies its own status (a shell would reset its mask itself).
  const bool started = StartProgram("/bin/cp", {"/proc/self/status", "status.txt"}, dir) > 0;
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  ASSERT_TRUE(started);
  std::string blocked;
  for (int i = 0; i < 250 && blocked.empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::ifstream f(dir + "/status.txt");
    for (std::string line; std::getline(f, line);)
      if (line.rfind("SigBlk:", 0) == 0) blocked = line;
  }
  EXPECT_EQ(blocked, "SigBlk:\t0000000000000000");
  std::filesystem::remove_all(dir);
}

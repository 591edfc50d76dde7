#pragma once
// Runs a test step in a child process: the other process of the lock and open tests.
#include <sys/wait.h>
#include <unistd.h>

namespace xbt {

// Runs fn in a child process and returns its exit code (99 when it did not exit).
template <class F>
int inChild(F fn) {
  pid_t pid = fork();
  if (pid == 0) _exit(fn());
  int st = 0;
  waitpid(pid, &st, 0);
  return WIFEXITED(st) ? WEXITSTATUS(st) : 99;
}

}  // namespace xbt

#include "support/PeakMemory.h"

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

namespace testsupport {

long ProcStatusKb(const char* field) {
  std::ifstream f("/proc/self/status");
  std::string line;
  while (std::getline(f, line))
    if (line.rfind(field, 0) == 0) return std::stol(line.substr(std::strlen(field)));
  return -1;
}

long PeakRssGrowthKb(const std::function<void()>& fn) {
  const long before = ProcStatusKb("VmRSS:");
  // Writing 5 to clear_refs starts the peak (VmHWM) again from the current size.
  bool reset = false;
  {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
    clear.flush();
    reset = clear.good();
  }
  std::atomic<bool> done{false};
  std::atomic<long> sampled{before};
  std::thread sampler;
  if (!reset)
    sampler = std::thread([&] {
      while (!done) {
        const long now = ProcStatusKb("VmRSS:");
        if (now > sampled) sampled = now;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    });
  auto stop = [&] {
    done = true;
    if (sampler.joinable()) sampler.join();
  };
  try {
    fn();
  } catch (...) {
    stop();
    throw;
  }
  stop();
  const long peak = reset ? ProcStatusKb("VmHWM:") : sampled.load();
  return before < 0 || peak < 0 ? -1 : peak - before;
}

long ChildPeakRssGrowthKb(const std::function<void()>& fn) {
  int fds[2];
  if (::pipe(fds) != 0) return -1;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    long growth = -1;
    try {
      growth = PeakRssGrowthKb(fn);
    } catch (...) {
    }
    const ssize_t w = ::write(fds[1], &growth, sizeof growth);
    ::_exit(w == sizeof growth ? 0 : 1);
  }
  ::close(fds[1]);
  long growth = -1;
  if (pid < 0 || ::read(fds[0], &growth, sizeof growth) != sizeof growth) growth = -1;
  ::close(fds[0]);
  int status = 0;
  if (pid > 0) ::waitpid(pid, &status, 0);
  return pid > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0 ? growth : -1;
}

}  // namespace testsupport

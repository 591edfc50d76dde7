#pragma once
// Thin POSIX layer: byte-range locks that hold against every other open of the
// file (open-file-description locks), the single-instance guard, program start.
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// Byte-range locks on an open descriptor (F_OFD_SETLK). Non-blocking: false when
// another open description holds a conflicting lock.
bool LockRange(int fd, uint64_t offset, uint64_t length, bool exclusive);
bool UnlockRange(int fd, uint64_t offset, uint64_t length);

// Single-instance guard: true when this process now owns the name; the
// operating system releases it when the process ends.
class SingleInstance {
public:
  explicit SingleInstance(const std::string& name);
  ~SingleInstance();
  SingleInstance(const SingleInstance&) = delete;
  SingleInstance& operator=(const SingleInstance&) = delete;
  bool acquired() const { return fd_ >= 0; }

private:
  int fd_ = -1;
};

// Starts a program detached from this one (a session of its own, not a child of this
// process) with no signal blocked and SIGPIPE at its default, whatever this process blocks
// or ignores. Returns the process id of the started program, for watching its end; 0 when
// it cannot be started (missing, not executable, a folder that cannot be entered).
int64_t StartProgram(const std::string& path, const std::vector<std::string>& args,
                     const std::string& workDir = std::string());

// Folder of the running executable, with a trailing '/'. CP1251.
std::string ExeDir();
// The login name of the user.
std::string UserName();

}  // namespace platform

#include "xbase/SysXBase.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "platform/codepage.h"
#include "platform/oslayer.h"
#include "platform/strutil.h"

namespace xb {

bool xbFlushFile(int handle) { return handle >= 0 && ::fsync(handle) == 0; }

int xbTruncateFile(int handle, int64_t size) {
  if (handle < 0 || size < 0) return -1;
  return ::ftruncate(handle, static_cast<off_t>(size)) == 0 ? 0 : -1;
}

bool xbLockFile(int handle, uint64_t offset, uint64_t length, bool writable) {
  if (length == 0) return true;   // 0 would mean "to the end of all offsets"
  if (handle < 0) return false;
  return platform::LockRange(handle, offset, length, writable);
}

bool xbUnlockFile(int handle, uint64_t offset, uint64_t length) {
  if (length == 0) return true;
  if (handle < 0) return false;
  return platform::UnlockRange(handle, offset, length);
}

void xbSleep(uint32_t milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }

std::string xbWindowsDirectory() {
  const char* env = std::getenv("KESTA_XBASE_DIR");
  std::string d;
  if (env && *env) {
    d = platform::FromFsPath(env);
  } else {
    d = platform::ExeDir();
  }
  if (!d.empty() && d.back() != '/') d += '/';
  return d;
}

bool xbFileExists(const std::string& path) {
  struct stat st;
  return ::stat(platform::ToFsPath(path).c_str(), &st) == 0;
}

std::string xbResolveFileName(const std::string& path) {
  if (path.empty() || xbFileExists(path)) return path;
  size_t slash = path.find_last_of('/');
  std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (name.empty()) return path;
  std::string fsDir = platform::ToFsPath(dir.empty() ? std::string(".") : dir);
  DIR* d = ::opendir(fsDir.c_str());
  if (!d) return path;
  std::string best;
  bool found = false;
  while (dirent* e = ::readdir(d)) {
    std::string n = platform::FromFsPath(e->d_name);
    if (n.size() != name.size()) continue;
    if (!platform::AnsiSameText(n, name)) continue;
    if (!found || n < best) {
      best = n;
      found = true;
    }
  }
  ::closedir(d);
  return found ? dir + best : path;
}

std::string xbExpandFileName(const std::string& name) {
  std::filesystem::path p(platform::ToFsPath(name));
  std::error_code ec;
  std::filesystem::path a = std::filesystem::absolute(p, ec);
  if (ec) a = p;
  return platform::FromFsPath(a.lexically_normal().string());
}

}  // namespace xb

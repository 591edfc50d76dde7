// Whole extraction into the in-memory file system with a byte cap.
#include <cstdlib>

#include "archive/arcUnZip.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  arc::MemoryFileSystem fs(8u << 20);
  fs.addFile("/in/a.zip", std::vector<uint8_t>(data, data + size));
  arc::Services s;
  s.fs = &fs;
  arc::TUnZip z(s);
  z.Passwords = {"pw"};
  z.CreateStoredDirs = true;
  z.OnError = [](arc::TUnBase&, const std::string&, const std::string&, const std::string&, int32_t code) {
    if (!arc::IsKnownErrorCode(code)) std::abort();
  };
  z.OnNextVolume = [](arc::TUnBase&, std::string&, int32_t, bool, bool& cancel) { cancel = true; };
  z.SetArchiveFile("/in/a.zip");
  z.SetExtractDir("/sandbox");
  z.FileSpec = {"*.*"};
  int32_t n = 0;
  try {
    n = z.Extract();
  } catch (const arc::E_RAISE& e) {
    if (e.code() != arc::E_DiskFull) std::abort();
  }
  if (n < 0 || static_cast<size_t>(n) > z.Entries().size()) std::abort();
  for (const auto& [path, node] : fs.nodes())
    if (path != "/" && path != "/in" && path != "/in/a.zip" && path.rfind("/sandbox", 0) != 0) std::abort();
  return 0;
}

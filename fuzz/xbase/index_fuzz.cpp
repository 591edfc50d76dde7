// Opens a damaged index file over a small table and walks, seeks and updates it;
// any input may only end in the engine's own errors.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "fuzz/xbase/index_table.h"
#include "platform/exception.h"
#include "xbase/xb_dbsy.h"

namespace {
std::string folder() {
  static std::string dir = [] {
    std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string d = base + "/kesta_idx_fuzz_" + std::to_string(getpid()) + "/";
    mkdir(d.c_str(), 0700);
    return d;
  }();
  return dir;
}

void put(const std::string& path, const void* p, size_t n) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return;
  if (n) std::fwrite(p, 1, n, f);
  std::fclose(f);
}

void writeTable(const std::string& path) {
  const std::string& bytes = xbfuzz::IndexTableBytes();
  put(path, bytes.data(), bytes.size());
}
}  // namespace

// Input: one byte choosing the kind (NTX, NDX, CDX, MDX), then the index file's bytes.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  std::string idx = xbfuzz::IndexFileNames[data[0] % 4];
  writeTable(folder() + "T.DBF");
  put(folder() + idx, data + 1, size - 1);
  try {
    xb::XBO_dBHandler h(folder() + "T.DBF", true, false, "");
    h.OpenIndexes(idx, "");
    for (int t = 1; t <= h.TagCount() && t <= 8; ++t) {
      h.SelectTag(h.TagByNumber(t)->TagName(), false);
      int steps = 0;
      for (h.GoTo(-3); !h.Eof && steps < 10000; h.GoTo(-1)) ++steps;
      for (h.GoTo(-4); !h.Bof && steps < 20000; h.GoTo(-2)) ++steps;
      try {
        h.FindKey("AB");
      } catch (const platform::Exception&) {
      }
      h.GoTo(1);
      h.FieldPutByName("NAME", "ZZZ");
      h.PutRecord(1);
    }
  } catch (const platform::Exception&) {
  }
  return 0;
}

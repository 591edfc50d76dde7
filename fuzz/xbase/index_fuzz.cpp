// Opens a damaged index file over a small table and walks, seeks and updates it;
// any input may only end in the engine's own errors.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

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

// NAME C10, AMT N8.2, BD D8 with a few records.
void writeTable(const std::string& path) {
  static std::string bytes = [] {
    std::string h(32 + 3 * 32 + 1, '\0');
    h[0] = 3;
    const char* recs[] = {"SMITH        12.5019800101", "JONES       -12.75        ", "ADAMS         0.0020240229",
                          "AB            3.2519700101"};
    uint32_t n = 4;
    std::memcpy(&h[4], &n, 4);
    uint16_t hl = static_cast<uint16_t>(h.size()), rl = 27;
    std::memcpy(&h[8], &hl, 2);
    std::memcpy(&h[10], &rl, 2);
    const char* names[] = {"NAME", "AMT", "BD"};
    const char types[] = {'C', 'N', 'D'};
    const int lens[] = {10, 8, 8}, decs[] = {0, 2, 0};
    for (int i = 0; i < 3; ++i) {
      size_t at = 32 + 32 * static_cast<size_t>(i);
      std::memcpy(&h[at], names[i], std::strlen(names[i]));
      h[at + 11] = types[i];
      h[at + 16] = static_cast<char>(lens[i]);
      h[at + 17] = static_cast<char>(decs[i]);
    }
    h.back() = 0x0D;
    for (const char* r : recs) h += std::string(" ") + r;
    h += '\x1A';
    return h;
  }();
  put(path, bytes.data(), bytes.size());
}
}  // namespace

// Input: one byte choosing the kind (NTX, NDX, CDX, MDX), then the index file's bytes.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  static const char* exts[] = {"I.NTX", "I.NDX", "I.CDX", "I.MDX"};
  std::string idx = exts[data[0] % 4];
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

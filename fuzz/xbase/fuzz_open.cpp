// Opens a damaged table with its memo file and walks it the way the clinic tasks
// do; any input may only end in the engine's own errors.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/exception.h"
#include "xbase/XBaseDB.h"

namespace {
std::string folder() {
  static std::string dir = [] {
    std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string d = base + "/kesta_xb_fuzz_" + std::to_string(getpid()) + "/";
    mkdir(d.c_str(), 0700);
    return d;
  }();
  return dir;
}

void put(const std::string& path, const uint8_t* p, size_t n) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return;
  if (n) std::fwrite(p, 1, n, f);
  std::fclose(f);
}
}  // namespace

// Input: the table bytes, then optionally the marker "MEMO" and the memo bytes.
// The memo is written under both extensions so every version finds one.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const uint8_t* marker = static_cast<const uint8_t*>(memmem(data, size, "MEMO", 4));
  size_t tableLen = marker ? static_cast<size_t>(marker - data) : size;
  put(folder() + "F.DBF", data, tableLen);
  const uint8_t* memo = marker ? marker + 4 : data + size;
  size_t memoLen = static_cast<size_t>(data + size - memo);
  put(folder() + "F.dbt", memo, memoLen);
  put(folder() + "F.fpt", memo, memoLen);
  try {
    xb::TXBaseDataSet ds;
    ds.SetDatabaseName(folder());
    ds.SetTableName("F.DBF");
    ds.SetReadOnly(true);
    ds.Open();
    int guard = 0;
    for (; !ds.Eof() && guard < 1000; ds.Next(), ++guard) {
      for (int i = 0; i < ds.FieldCount(); ++i) {
        xb::TxbField& f = ds.Fields(i);
        try {
          (void)f.IsNull();
          (void)f.AsString();
          (void)f.AsFloat();
          (void)f.AsInteger();
          (void)f.AsDateTime();
        } catch (const platform::Exception&) {
        }
      }
    }
    ds.Last();
    ds.Prior();
    (void)ds.RecordCount();
  } catch (const platform::Exception&) {
  }
  return 0;
}

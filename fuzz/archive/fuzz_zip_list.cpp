// The end-record search and the central or local scan (listing only) under two masks.
#include <cstdlib>

#include "archive/arcUnZip.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  for (const char* mask : {"*.*", "*.xml"}) {
    arc::MemoryFileSystem fs(1u << 20);
    fs.addFile("/a.zip", std::vector<uint8_t>(data, data + size));
    arc::Services s;
    s.fs = &fs;
    arc::TUnZip z(s);
    z.OnError = [](arc::TUnBase&, const std::string&, const std::string&, const std::string&, int32_t code) {
      if (!arc::IsKnownErrorCode(code)) std::abort();
    };
    z.SetArchiveFile("/a.zip");
    z.SetExtractDir("/out");
    z.FileSpec = {mask};
    z.List();
    if (z.Entries().size() > size / 30 + 1) std::abort();
    const bool set = z.ArcType() == arc::TArcType::atZipMV || z.ArcType() == arc::TArcType::atZipDS;
    for (const auto& e : z.Entries())
      if (!set && e.central && e.localOffset + 30 > size) std::abort();
    if (fs.bytesWritten() != 0) std::abort();
  }
  return 0;
}

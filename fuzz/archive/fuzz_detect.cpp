// Type detection on arbitrary bytes, with and without a ".jar" name.
#include <cstdlib>

#include "archive/arcDetect.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  for (const char* name : {"x.zip", "X.JAR"}) {
    arc::MemorySource src(data, size);
    arc::DetectContext ctx;
    ctx.fileName = name;
    arc::DetectResult r = arc::GetArcType(src, ctx);
    if (static_cast<int>(r.type) >= arc::kArcTypeCount) std::abort();
    // in a volume set the offset names a place on the directory's own disk
    const bool set = r.type == arc::TArcType::atZipMV || r.type == arc::TArcType::atZipDS;
    if (r.startOffset < -1 || (!set && r.startOffset >= 0 && static_cast<uint64_t>(r.startOffset) > size))
      std::abort();
    // bounded reading: head, tail, forward scan and local search
    if (src.bytesRead > 64u * 1024 * 1024) std::abort();
  }
  return 0;
}

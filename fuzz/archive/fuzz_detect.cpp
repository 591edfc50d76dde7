// Type detection on arbitrary bytes, with and without a ".jar" name, and the string resources
// of executables that detection reads.
#include <array>
#include <cstdlib>

#include "archive/arcDetect.h"
#include "archive/arcPeStrings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  for (const char* name : {"x.zip", "X.JAR"}) {
    arc::MemorySource src(data, size);
    arc::DetectContext ctx;
    ctx.fileName = name;
    arc::DetectResult r = arc::GetArcType(src, ctx);
    if (static_cast<int>(r.type) >= arc::kArcTypeCount) std::abort();
    // only a volume set names a place on another disk (the directory's own)
    const bool set = r.type == arc::TArcType::atZipMV || r.type == arc::TArcType::atZipDS;
    if (r.startOffset < -1 || (!set && r.startOffset >= 0 && static_cast<uint64_t>(r.startOffset) >= size))
      std::abort();
    if (!arc::IsValidArcType(r.type) && r.startOffset != -1) std::abort();
    // bounded reading: head, tail, forward scan, local search and the resource walk
    if (src.bytesRead > 64u * 1024 * 1024) std::abort();
  }
  arc::MemorySource src(data, size);
  std::array<std::string, 7> strings;
  const bool image = arc::ReadPeStrings(src, strings);
  for (const auto& s : strings) {
    if (s.size() > 0xFFFF) std::abort();
    if (!image && !s.empty()) std::abort();
  }
  if (src.bytesRead > 16u * 1024 * 1024) std::abort();
  return 0;
}

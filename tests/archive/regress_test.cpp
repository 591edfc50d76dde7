// Replays every input kept in tests/archive/regress (inputs the fuzz targets once flagged)
// through detection, listing, extraction into memory and the path builder.
#include <gtest/gtest.h>

#include <filesystem>

#include "archive/arcUnZip.h"
#include "zipbuild.h"

using namespace arc;
using namespace ziptest;

TEST(Regress, KeptInputsStayHarmless) {
  std::string dir = SourceDir() + "/tests/archive/regress";
  ASSERT_TRUE(std::filesystem::is_directory(dir));
  int replayed = 0;
  for (const auto& ent : std::filesystem::directory_iterator(dir)) {
    std::string name = ent.path().filename().string();
    SCOPED_TRACE(name);
    Bytes data = ReadFile(ent.path().string());
    for (const char* arcName : {"x.zip", "X.JAR"}) {
      MemorySource src(data.data(), data.size());
      DetectContext ctx;
      ctx.fileName = arcName;
      DetectResult r = GetArcType(src, ctx);
      EXPECT_LT(static_cast<int>(r.type), kArcTypeCount);
      EXPECT_GE(r.startOffset, -1);
      // only a volume set names a place on another disk
      const bool set = r.type == TArcType::atZipMV || r.type == TArcType::atZipDS;
      EXPECT_TRUE(set || r.startOffset < 0 || static_cast<uint64_t>(r.startOffset) < data.size()) << r.startOffset;
    }
    {
      MemoryFileSystem fs(8u << 20);
      fs.addFile("/in/a.zip", data);
      Services s;
      s.fs = &fs;
      TUnZip z(s);
      z.OnError = [](TUnBase&, const std::string&, const std::string&, const std::string&, int32_t code) {
        EXPECT_TRUE(IsKnownErrorCode(code)) << code;
      };
      z.SetArchiveFile("/in/a.zip");
      z.SetExtractDir("/sandbox");
      z.FileSpec = {"*.*"};
      int32_t n = 0;
      try {
        n = z.Extract();
      } catch (const E_RAISE& e) {
        EXPECT_EQ(e.code(), E_DiskFull);
      }
      EXPECT_LE(static_cast<size_t>(n), z.Entries().size());
      for (const auto& [p, node] : fs.nodes())
        EXPECT_TRUE(p == "/" || p == "/in" || p == "/in/a.zip" || p.rfind("/sandbox", 0) == 0) << p;
    }
    if (!data.empty()) {
      std::string raw(data.begin() + 1, data.end()), conv;
      ConvertEntryName(raw, data[0] & 1, data[0] & 2, conv);
      TOutputPath p = BuildOutputPath(conv, "/sandbox/out/", data[0] & 4);
      if (p.safe) {
        EXPECT_EQ(p.path.rfind("/sandbox/out/", 0), 0u);
      }
    }
    ++replayed;
  }
  EXPECT_GT(replayed, 0);
}

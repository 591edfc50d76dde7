// The RAR component on the common base: kinds and the missing outside library.
#include <gtest/gtest.h>

#include "archive/arcUnRar.h"
#include "zipbuild.h"

using namespace arc;
using namespace ziptest;

TEST(UnRar, ReportsMissingLibraryAndWrongKindsWithoutRaising) {
  MemoryFileSystem fs;
  Bytes rar = Text("Rar!\x1a\x07\x00");
  rar.resize(200, 0);
  fs.addFile("/a.rar", rar);
  Entry e;
  e.name = "x.txt";
  e.data = Text("x");
  fs.addFile("/b.zip", Build({e}));
  Services s = Services::posix();
  s.fs = &fs;
  for (auto [file, code] : {std::pair{"/a.rar", E_UnrarMissing}, std::pair{"/b.zip", E_InvalidArcType}}) {
    TUnRar r(s);
    std::vector<int32_t> codes;
    r.OnError = [&](TUnBase&, const std::string&, const std::string&, const std::string&, int32_t c) {
      codes.push_back(c);
    };
    r.SetArchiveFile(file);
    r.SetExtractDir("/out");
    r.FileSpec = {"*.*"};
    EXPECT_EQ(r.Extract(), 0);
    EXPECT_EQ(codes, (std::vector<int32_t>{code})) << file;
  }
  TUnRar r(s);
  bool called = false;
  r.SetReader([&](TUnRar&, const std::string& path) {
    called = path == "/a.rar";
    return true;
  });
  r.SetArchiveFile("/a.rar");
  EXPECT_EQ(r.ArcType(), TArcType::atRar);
  r.FileSpec = {"*.*"};
  r.SetExtractDir("/out");
  r.Extract();
  EXPECT_TRUE(called);
}

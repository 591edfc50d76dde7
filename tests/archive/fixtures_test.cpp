// The committed fixtures made by Info-ZIP zip, 7z and Python's zipfile (see
// fixtures/make_fixtures.sh) and the hand-made self-extractor (pebuild.cpp): kinds, listings,
// counts and the bytes of what is extracted.
#include <gtest/gtest.h>

#include <filesystem>

#include "archive/arcUnZip.h"
#include "zipbuild.h"

using namespace arc;
using namespace ziptest;

namespace {
std::string Fixture(const std::string& name) { return SourceDir() + "/tests/archive/fixtures/" + name; }

// Contents the fixture script writes.
Bytes TextTxt() {
  std::string s;
  for (int i = 0; i < 300; ++i) s += "<row id=\"" + std::to_string(i) + "\" name=\"patient " + std::to_string(i * 7) + "\"/>\n";
  return Text(s);
}
Bytes Known(const std::string& name) {
  if (name == "text.txt" || name == "-") return TextTxt();
  if (name == "sub/b.xml") return Text("<x/>\n");
  if (name == "dir/b.xml") return Text("<x/>");
  if (name == "a.txt") {
    std::string s;
    for (int i = 0; i < 100; ++i) s += "hello ";
    return Text(s);
  }
  if (name == "empty.txt") return {};
  if (name == "readme.txt") return Text("a self-extractor made by hand\n");
  return {};
}
bool IsKnown(const std::string& name) { return name != "rep.bin" && name != "span.bin"; }

struct Case {
  const char* file;
  TArcType kind;
  std::vector<std::string> names;
};
}  // namespace

TEST(Fixtures, ListedAndExtracted) {
  std::vector<Case> cases = {
      {"zip_stored.zip", TArcType::atZip, {"text.txt", "sub/b.xml", "empty.txt"}},
      {"zip_deflate.zip", TArcType::atZip, {"text.txt", "sub/b.xml"}},
      {"zip_bzip2.zip", TArcType::atZip, {"text.txt", "sub/b.xml"}},
      {"zip_stream_stored.zip", TArcType::atZip, {"-"}},
      {"zip_stream_deflate.zip", TArcType::atZip, {"-"}},
      {"7z_copy.zip", TArcType::atZip, {"sub/b.xml", "text.txt"}},
      {"7z_deflate.zip", TArcType::atZip, {"sub/b.xml", "text.txt"}},
      {"7z_deflate64.zip", TArcType::atZip, {"rep.bin", "text.txt"}},
      {"7z_bzip2.zip", TArcType::atZip, {"text.txt"}},
      {"7z_lzma.zip", TArcType::atZip, {"text.txt"}},
      {"py_zip64.zip", TArcType::atZip, {"a.txt", "dir/b.xml"}},
      {"py_zip64_deflate.zip", TArcType::atZip, {"a.txt", "dir/b.xml"}},
      {"prefix_garbage.zip", TArcType::atZip, {"text.txt", "sub/b.xml", "empty.txt"}},
      {"sfx_stub.exe", TArcType::atZipExe, {"text.txt", "sub/b.xml", "empty.txt"}},
      {"sfx_pe_strings.exe", TArcType::atZipExe, {"readme.txt", "sub/b.xml"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    std::string out = TempDir("fx");
    TUnZip z;
    std::vector<int32_t> codes;
    z.OnError = [&](TUnBase&, const std::string&, const std::string&, const std::string&, int32_t code) {
      codes.push_back(code);
    };
    z.SetArchiveFile(Fixture(c.file));
    ASSERT_FALSE(z.ArchiveFile().empty()) << "fixture missing";
    EXPECT_EQ(z.ArcType(), c.kind);
    z.SetExtractDir(out);
    z.FileSpec = {"*.*"};
    int32_t n = z.Extract();
    std::vector<std::string> names;
    int32_t supported = 0;
    for (const auto& e : z.Entries()) {
      names.push_back(e.name);
      if (TUnZip::MethodSupported(e.method)) ++supported;
    }
    EXPECT_EQ(names, c.names);
    EXPECT_EQ(n, supported);
    int unsupported = static_cast<int>(c.names.size()) - supported;
    EXPECT_EQ(static_cast<int>(std::count(codes.begin(), codes.end(), E_UnsupportedMethod)), unsupported);
    // each entry of an unsupported method also ends failed (no OnEnd here: 25151)
    EXPECT_EQ(static_cast<int>(std::count(codes.begin(), codes.end(), E_CrcFail)), unsupported);
    EXPECT_EQ(codes.size(), static_cast<size_t>(2 * unsupported));
    for (const auto& e : z.Entries()) {
      if (!TUnZip::MethodSupported(e.method)) {
        EXPECT_FALSE(FileExists(out + e.name)) << e.name;
      } else if (IsKnown(e.name)) {
        EXPECT_EQ(ReadFile(out + e.name), Known(e.name)) << e.name;
      } else {
        EXPECT_TRUE(FileExists(out + e.name));
      }
    }
  }
}

TEST(Fixtures, SplitSetThroughOnNextVolume) {
  for (bool upper : {false, true}) {
    SCOPED_TRACE(upper ? "upper case names" : "as made");
    std::string t = TempDir("split");
    std::string zipName = upper ? "SPLIT.ZIP" : "split.zip", z01 = upper ? "SPLIT.Z01" : "split.z01";
    std::filesystem::copy_file(Fixture("split.zip"), t + zipName);
    std::filesystem::copy_file(Fixture("split.z01"), t + z01);
    TUnZip z;
    std::vector<std::string> asked;
    z.OnNextVolume = [&](TUnBase&, std::string& name, int32_t id, bool exists, bool&) {
      asked.push_back(std::filesystem::path(name).filename().string() + (exists ? "+" : "-") + std::to_string(id));
    };
    z.SetArchiveFile(t + zipName);
    EXPECT_EQ(z.ArcType(), TArcType::atZipMV);
    z.SetExtractDir(t + "out");
    z.FileSpec = {"*.*"};
    EXPECT_EQ(z.Extract(), 2);
    // the last volume (the archive itself) is asked for as well
    EXPECT_EQ(asked, (std::vector<std::string>{z01 + "+1", zipName + "+2"}));
    EXPECT_EQ(ReadFile(t + "out/text.txt"), TextTxt());
    EXPECT_EQ(ReadFile(t + "out/span.bin").size(), 70000u);
  }
}

TEST(Fixtures, SplitSetWithAMissingVolume) {
  std::string t = TempDir("split_missing");
  std::filesystem::copy_file(Fixture("split.zip"), t + "split.zip");
  TUnZip z;
  int asked = 0;
  z.OnNextVolume = [&](TUnBase&, std::string&, int32_t, bool exists, bool& cancel) {
    EXPECT_FALSE(exists);
    if (++asked == 2) cancel = true;
  };
  std::vector<int32_t> codes;
  z.OnError = [&](TUnBase&, const std::string&, const std::string&, const std::string&, int32_t code) {
    codes.push_back(code);
  };
  z.SetArchiveFile(t + "split.zip");
  z.SetExtractDir(t + "out");
  z.FileSpec = {"*.*"};
  EXPECT_EQ(z.Extract(), 0);
  EXPECT_EQ(asked, 2);
  for (auto c : codes) EXPECT_EQ(c, E_UserCanceled);
  // The first volume alone as the archive: no crash, nothing outside the target.
  std::filesystem::copy_file(Fixture("split.z01"), t + "split.z01");
  TUnZip v;
  v.SetArchiveFile(t + "split.z01");
  v.SetExtractDir(t + "out2");
  v.FileSpec = {"*.*"};
  EXPECT_LE(v.Extract(), 1);
}

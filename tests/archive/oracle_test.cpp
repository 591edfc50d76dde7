// Comparison with Python's zipfile, unzip and 7z: names, sizes, CRCs and the extracted bytes.
// Each comparison is skipped when its tool is missing.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "archive/arcUnZip.h"
#include "zipbuild.h"

using namespace arc;
using namespace ziptest;

namespace {
const char* kPython = "/usr/bin/python3";

std::string Fixture(const std::string& name) { return SourceDir() + "/tests/archive/fixtures/" + name; }

struct Row {
  std::string name;
  uint64_t size;
  uint32_t crc;
  bool operator==(const Row&) const = default;
};

std::vector<Row> PythonListing(const std::string& archive, const std::string& tmp) {
  std::string out = tmp + "listing.txt";
  std::string cmd = std::string(kPython) +
                    " -c \"import zipfile,sys\nfor i in zipfile.ZipFile(sys.argv[1]).infolist(): "
                    "print(i.filename, i.file_size, i.CRC, sep='\\t')\" '" +
                    archive + "' > '" + out + "'";
  if (Shell(cmd) != 0) return {};
  std::vector<Row> rows;
  std::istringstream in(std::string(reinterpret_cast<const char*>(ReadFile(out).data()), ReadFile(out).size()));
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream l(line);
    Row r;
    std::getline(l, r.name, '\t');
    l >> r.size >> r.crc;
    rows.push_back(r);
  }
  return rows;
}

const char* kSingle[] = {"zip_stored.zip", "zip_deflate.zip", "zip_bzip2.zip", "zip_stream_stored.zip",
                         "zip_stream_deflate.zip", "7z_copy.zip", "7z_deflate.zip", "7z_deflate64.zip",
                         "7z_bzip2.zip", "7z_lzma.zip", "py_zip64.zip", "py_zip64_deflate.zip",
                         "prefix_garbage.zip", "sfx_stub.exe"};
}  // namespace

TEST(Oracle, ListingAgreesWithPythonZipfile) {
  if (!FileExists(kPython)) GTEST_SKIP() << "python3 not installed";
  for (const char* f : kSingle) {
    SCOPED_TRACE(f);
    std::string tmp = TempDir("oracle_list");
    std::vector<Row> want = PythonListing(Fixture(f), tmp);
    ASSERT_FALSE(want.empty());
    TUnZip z;
    z.SetArchiveFile(Fixture(f));
    z.SetExtractDir(tmp + "o");
    z.FileSpec = {"*.*"};
    z.List();
    std::vector<Row> got;
    for (const auto& e : z.Entries()) got.push_back(Row{e.name, e.unpacked, e.crc});
    EXPECT_EQ(got, want);
  }
}

TEST(Oracle, ExtractedBytesAgreeWithUnzipAnd7z) {
  bool unzip = HaveTool("unzip"), sevenz = HaveTool("7z");
  if (!unzip && !sevenz) GTEST_SKIP() << "neither unzip nor 7z installed";
  for (const char* f : kSingle) {
    SCOPED_TRACE(f);
    std::string tmp = TempDir("oracle_x");
    TUnZip z;
    z.SetArchiveFile(Fixture(f));
    z.SetExtractDir(tmp + "mine");
    z.FileSpec = {"*.*"};
    int32_t n = z.Extract();
    int32_t compared = 0;
    for (const auto& e : z.Entries()) {
      if (!TUnZip::MethodSupported(e.method) || e.isDir()) continue;
      std::string ref = tmp + "ref.bin";
      // unzip cannot read the Deflate64 of this build; 7z reads every method here.
      std::string cmd = unzip && e.method != 9
                            ? "unzip -p '" + Fixture(f) + "' '" + e.name + "' > '" + ref + "' 2>/dev/null"
                            : "7z x -so '" + Fixture(f) + "' '" + e.name + "' > '" + ref + "' 2>/dev/null";
      if (!unzip && !sevenz) continue;
      int rc = Shell(cmd);
      ASSERT_TRUE(rc == 0 || rc == 1) << cmd;  // unzip warns (1) about data in front
      EXPECT_EQ(ReadFile(tmp + "mine/" + e.name), ReadFile(ref)) << e.name;
      ++compared;
    }
    EXPECT_EQ(compared, n);
  }
}

TEST(Oracle, HostileNamesFromPythonStayInside) {
  if (!FileExists(kPython)) GTEST_SKIP() << "python3 not installed";
  std::string t = TempDir("oracle_hostile");
  std::string script = t + "mk.py";
  std::string py =
      "import zipfile,sys\n"
      "with zipfile.ZipFile(sys.argv[1], 'w') as z:\n"
      "    for n in ['../evil.txt', 'a/../../e2.txt', '..\\\\e3.txt', '/abs/e.txt', 'C:\\\\x\\\\e.txt',\n"
      "              'x:..\\\\e4.txt', '\\\\\\\\srv\\\\share\\\\e.txt']:\n"
      "        z.writestr(n, b'data')\n";
  WriteFile(script, Text(py));
  std::filesystem::create_directories(t + "box");
  ASSERT_EQ(Shell(std::string(kPython) + " '" + script + "' '" + t + "box/h.zip'"), 0);
  TUnZip z;
  std::vector<int32_t> codes;
  z.OnError = [&](TUnBase&, const std::string&, const std::string&, const std::string&, int32_t c) {
    codes.push_back(c);
  };
  z.SetArchiveFile(t + "box/h.zip");
  z.SetExtractDir(t + "box/out");
  z.FileSpec = {"*.*"};
  EXPECT_EQ(z.Extract(), 3);
  EXPECT_EQ(std::count(codes.begin(), codes.end(), E_OpenError), 4);
  for (const auto& p : ListTree(t)) {
    bool ok = p == "mk.py" || p == "box/" || p == "box/h.zip" || p.rfind("box/out/", 0) == 0;
    EXPECT_TRUE(ok) << p;
  }
}

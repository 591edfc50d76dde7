// Extraction through TUnZip: the four-step road of the clinic callers, counts, overwrite
// rules, safe output paths, attributes and times, disk full, passwords.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include "archive/arcUnZip.h"
#include "foldfs.h"
#include "platform/codepage.h"
#include "zipbuild.h"

using namespace arc;
using namespace ziptest;

namespace {

struct Errors {
  std::vector<int32_t> codes;
  std::vector<std::string> files, exts;
  void attach(TUnBase& c) {
    c.OnError = [this](TUnBase&, const std::string& f, const std::string& x, const std::string&, int32_t code) {
      codes.push_back(code);
      files.push_back(f);
      exts.push_back(x);
    };
  }
  int count(int32_t code) const { return static_cast<int>(std::count(codes.begin(), codes.end(), code)); }
};

// The four steps of the callers.
int32_t FourSteps(TUnZip& z, const std::string& archive, const std::string& dir, const std::string& mask) {
  z.SetArchiveFile(archive);
  z.SetExtractDir(dir);
  z.FileSpec = {mask};
  return z.Extract();
}

// A component over a memory file system that holds the archive as /in/a.zip; its reports kept.
struct InMemory {
  MemoryFileSystem fs;
  Services services = Services::posix();
  std::unique_ptr<TUnZip> z;
  Errors err;
  explicit InMemory(const Bytes& zip, uint64_t quota = UINT64_MAX) : fs(quota) {
    fs.addFile("/in/a.zip", zip);
    services.fs = &fs;
    z = std::make_unique<TUnZip>(services);
    err.attach(*z);
  }
  // Every entry into /out.
  int32_t Extract() { return FourSteps(*z, "/in/a.zip", "/out", "*.*"); }
};

Entry E(const std::string& name, const std::string& text, uint16_t method = 0) {
  Entry e;
  e.name = name;
  e.data = Text(text);
  e.method = method;
  return e;
}

}  // namespace

TEST(UnZipRoad, StoredEntriesExtractByteExact) {
  std::string t = TempDir("road");
  Bytes big = Pseudo(300000, 7);
  Entry b;
  b.name = "SMP_CALLS.bin";
  b.data = big;
  WriteFile(t + "pkg.zip", Build({E("PATIENT.xml", "<p/>"), E("INTERVAL.xml", "<i/>"), b,
                                  E("PATIENT_CONST_PARAMS.xml", "<c/>")}));
  TUnZip z;
  Errors err;
  err.attach(z);
  EXPECT_EQ(FourSteps(z, t + "pkg.zip", t + "out", "*.*"), 4);
  EXPECT_TRUE(err.codes.empty());
  EXPECT_EQ(ReadFile(t + "out/SMP_CALLS.bin"), big);
  EXPECT_EQ(ReadFile(t + "out/PATIENT.xml"), Text("<p/>"));
  // ArchiveFile is kept and the next run extracts again.
  EXPECT_EQ(z.ArchiveFile(), t + "pkg.zip");
  EXPECT_EQ(z.Extract(), 4);
  // One mask of the callers.
  TUnZip x;
  EXPECT_EQ(FourSteps(x, t + "pkg.zip", t + "xml", "*.xml"), 3);
  EXPECT_FALSE(FileExists(t + "xml/SMP_CALLS.bin"));
}

TEST(UnZipRoad, MissingArchiveGivesZeroAnd25192) {
  TUnZip z;
  Errors err;
  err.attach(z);
  std::string t = TempDir("missing");
  z.SetArchiveFile(t + "nothere.zip");
  EXPECT_EQ(z.ArchiveFile(), "");
  EXPECT_EQ(z.ArcType(), TArcType::atNA);
  z.SetExtractDir(t);
  z.FileSpec = {"*.*"};
  EXPECT_EQ(z.Extract(), 0);
  ASSERT_EQ(err.codes.size(), 1u);
  EXPECT_EQ(err.codes[0], E_FileNotFound);
}

TEST(UnZipRoad, DirectoryOrNonArchiveGivesZero) {
  std::string t = TempDir("dirarc");
  std::filesystem::create_directories(t + "d.zip");
  TUnZip z;
  Errors err;
  err.attach(z);
  EXPECT_EQ(FourSteps(z, t + "d.zip", t + "o", "*.*"), 0);
  EXPECT_EQ(z.ArcType(), TArcType::atNA);
  EXPECT_EQ(err.count(E_OpenError), 1);
  WriteFile(t + "plain.txt", Text("just some text, not an archive at all"));
  TUnZip y;
  Errors e2;
  e2.attach(y);
  EXPECT_EQ(FourSteps(y, t + "plain.txt", t + "o", "*.*"), 0);
  EXPECT_EQ(e2.count(E_InvalidArcType), 1);
  // Reports about the archive as a whole name no file.
  EXPECT_EQ(err.files, (std::vector<std::string>{""}));
  EXPECT_EQ(e2.files, (std::vector<std::string>{""}));
}

TEST(UnZipRoad, ExtractDirRules) {
  std::string t = TempDir("xdir");
  WriteFile(t + "F/a.zip", Build({E("x.txt", "x")}));
  TUnZip z;
  z.SetArchiveFile(t + "F/a.zip");
  z.SetExtractDir("");
  EXPECT_EQ(z.ExtractDir(), t + "F/");
  z.SetExtractDir(t + "G");
  EXPECT_EQ(z.ExtractDir(), t + "G/");
  // A relative folder is taken from the current folder, never from "/".
  std::string cwd = std::filesystem::current_path().string();
  std::filesystem::current_path(t);
  TUnZip r;
  r.SetArchiveFile("F/a.zip");
  r.SetExtractDir("rel");
  r.FileSpec = {"*.*"};
  EXPECT_EQ(r.Extract(), 1);
  std::filesystem::current_path(cwd);
  EXPECT_EQ(ReadFile(t + "rel/x.txt"), Text("x"));
  EXPECT_EQ(r.ExtractDir(), t + "rel/");
}

TEST(UnZipCount, StoredPlusUnsupportedPlusCrcFailure) {
  std::string t = TempDir("count");
  Entry bad = E("bad.txt", "hello world");
  bad.crcOverride = 0x12345678;
  Entry lzma = E("l.bin", "zzzz");
  lzma.method = 14;
  lzma.rawPacked = Text("abcd");
  WriteFile(t + "a.zip", Build({E("ok.txt", "fine"), bad, lzma}));
  TUnZip z;
  Errors err;
  err.attach(z);
  EXPECT_EQ(FourSteps(z, t + "a.zip", t + "o", "*.*"), 1);
  EXPECT_EQ(err.count(E_CrcFail), 2);  // the bad CRC, and the entry that could not be decoded
  EXPECT_EQ(err.count(E_UnsupportedMethod), 1);
  EXPECT_TRUE(FileExists(t + "o/bad.txt"));    // a failed CRC keeps its file
  EXPECT_FALSE(FileExists(t + "o/l.bin"));     // an unsupported method leaves nothing
}

namespace {
// The memory file system, except that writing to one file fails (not a full disk).
class FailingWrites : public MemoryFileSystem {
public:
  explicit FailingWrites(std::string bad) : bad_(std::move(bad)) {}
  std::unique_ptr<OutputFile> createFile(const std::string& path) override {
    auto f = MemoryFileSystem::createFile(path);
    if (!f || path != bad_) return f;
    struct Broken : OutputFile {
      std::unique_ptr<OutputFile> inner;
      WriteStatus write(const void*, size_t) override { return WriteStatus::Error; }
      bool setTime(std::time_t t) override { return inner->setTime(t); }
      bool close() override { return inner->close(); }
    };
    auto b = std::make_unique<Broken>();
    b->inner = std::move(f);
    return b;
  }

private:
  std::string bad_;
};
}  // namespace

TEST(UnZipCount, EveryApprovedEntryEndsWithItsEvent) {
  // Each way an approved entry can end, in one archive: OnBegin and OnEnd come in pairs, the
  // failures end False, and the count keeps only the entry that was written whole.
  Entry m14 = E("m14.bin", "zzzz");
  m14.method = 14;
  m14.rawPacked = Text("abcd");
  Entry strong = E("strong.txt", "strong encryption");
  strong.flags = 1 | 0x40;
  Entry enc = E("enc.txt", "no password handler");
  enc.flags = 1;
  Entry badCrc = E("badcrc.txt", "hello");
  badCrc.crcOverride = 0x12345678;
  const Bytes zip = Build({E("ok.txt", "fine"), m14, E("blocked/f.txt", "x"), E("blocked/d/", ""),
                           E("werr.txt", "write error"), strong, enc, badCrc});
  struct Want {
    std::string name;
    bool pass;
    int32_t code;  // the report of the entry, 0 for none
  };
  const std::vector<Want> want = {{"ok.txt", true, 0},      {"m14.bin", false, E_UnsupportedMethod},
                                  {"f.txt", false, E_WriteError}, {"d", false, E_OpenError},
                                  {"werr.txt", false, E_WriteError}, {"strong.txt", false, 0},
                                  {"enc.txt", false, E_EventNotAssigned}, {"badcrc.txt", false, 0}};
  for (bool withEnd : {true, false}) {
    SCOPED_TRACE(withEnd ? "OnEnd assigned" : "no OnEnd");
    FailingWrites fs("/out/werr.txt");
    fs.addFile("/in/a.zip", zip);
    fs.addFile("/out/blocked", Text("a file where a folder should be"));
    Services s = Services::posix();
    s.fs = &fs;
    TUnZip z(s);
    z.CreateStoredDirs = true;
    Errors err;
    err.attach(z);
    std::vector<std::string> log;
    auto last = [](const std::string& f) {
      std::string p = f;
      while (!p.empty() && p.back() == '/') p.pop_back();
      return p.substr(p.find_last_of('/') + 1);
    };
    z.OnBegin = [&](TUnBase&, const std::string& f, int32_t, bool&) { log.push_back("begin " + last(f)); };
    if (withEnd)
      z.OnEnd = [&](TUnBase&, const std::string& f, bool pass) {
        log.push_back("end " + last(f) + (pass ? " ok" : " failed"));
      };
    EXPECT_EQ(FourSteps(z, "/in/a.zip", "/out", "*.*"), 1);
    std::vector<std::string> expect;
    int failures = 0;
    for (const auto& w : want) {
      expect.push_back("begin " + w.name);
      if (withEnd) expect.push_back("end " + w.name + (w.pass ? " ok" : " failed"));
      failures += !w.pass;
    }
    EXPECT_EQ(log, expect);
    for (int32_t code : {E_UnsupportedMethod, E_EventNotAssigned, E_OpenError})
      EXPECT_EQ(err.count(code), 1) << code;
    EXPECT_EQ(err.count(E_WriteError), 2);
    EXPECT_EQ(err.count(E_CrcFail), withEnd ? 0 : failures);
    EXPECT_EQ(err.codes.size(), 5u + (withEnd ? 0u : static_cast<size_t>(failures)));
    EXPECT_EQ(fs.stat("/out/ok.txt").kind, FileKind::Regular);
    EXPECT_EQ(fs.stat("/out/m14.bin").kind, FileKind::None);
    EXPECT_EQ(fs.stat("/out/strong.txt").kind, FileKind::None);
    // strong encryption without its extra field is listed, and skipped by the entry driver
    EXPECT_EQ(z.Entries().size(), want.size());
  }
}

TEST(UnZipCount, DirectoryEntriesCountAndCreateStoredDirs) {
  std::string t = TempDir("dirs");
  WriteFile(t + "a.zip", Build({E("sub/", ""), E("sub/f.txt", "f"), E("empty/", "")}));
  TUnZip z;
  EXPECT_EQ(FourSteps(z, t + "a.zip", t + "o", "*.*"), 3);
  EXPECT_TRUE(FileExists(t + "o/sub/f.txt"));
  EXPECT_FALSE(FileExists(t + "o/empty"));
  TUnZip c;
  c.CreateStoredDirs = true;
  EXPECT_EQ(FourSteps(c, t + "a.zip", t + "p", "*.*"), 3);
  EXPECT_TRUE(std::filesystem::is_directory(t + "p/empty"));
  TUnZip x;
  EXPECT_EQ(FourSteps(x, t + "a.zip", t + "q", "*.txt"), 1);
  // omSkip leaves out what exists, folders as files: "sub/" and "sub/f.txt" are there already.
  for (bool create : {false, true}) {
    SCOPED_TRACE(create);
    const std::string d = t + (create ? "s2/" : "s1/");
    WriteFile(d + "sub/f.txt", Text("kept"));
    TUnZip k;
    k.OverwriteMode = TOverwriteMode::omSkip;
    k.CreateStoredDirs = create;
    std::vector<std::string> ended;
    k.OnEnd = [&](TUnBase&, const std::string& f, bool) { ended.push_back(f); };
    EXPECT_EQ(FourSteps(k, t + "a.zip", d, "*.*"), 1);
    EXPECT_EQ(ended, (std::vector<std::string>{d + "empty/"}));
    EXPECT_EQ(ReadFile(d + "sub/f.txt"), Text("kept"));
    EXPECT_EQ(std::filesystem::is_directory(d + "empty"), create);
  }
}

TEST(UnZipPaths, HostileNamesWriteNothingOutsideTheTarget) {
  std::string t = TempDir("hostile");
  std::vector<std::string> evil = {"../evil1.txt", "a/../../evil2.txt", "..\\evil3.txt", "C:..\\evil4.txt",
                                   "x:../evil5.txt", "\\\\..\\evil6.txt", "sub/./../../evil7.txt",
                                   std::string("evil8.sh\0.xml", 13), "tab\tname.txt"};
  std::vector<Entry> es;
  for (auto& n : evil) es.push_back(E(n, "bad"));
  es.push_back(E("/abs/in1.txt", "ok"));
  es.push_back(E("C:\\drive\\in2.txt", "ok"));
  es.push_back(E("\\\\srv\\share\\in3.txt", "ok"));
  WriteFile(t + "box/h.zip", Build(es));
  TUnZip z;
  Errors err;
  err.attach(z);
  EXPECT_EQ(FourSteps(z, t + "box/h.zip", t + "box/out", "*.*"), 3);
  EXPECT_EQ(err.count(E_OpenError), static_cast<int>(evil.size()));
  for (const auto& x : err.exts) EXPECT_EQ(x, "unsafe path");
  EXPECT_TRUE(FileExists(t + "box/out/abs/in1.txt"));
  EXPECT_TRUE(FileExists(t + "box/out/drive/in2.txt"));
  EXPECT_TRUE(FileExists(t + "box/out/srv/share/in3.txt"));
  // Nothing but the archive and the target folder exists anywhere in the sandbox.
  for (const auto& p : ListTree(t)) {
    bool ok = p == "box/" || p == "box/h.zip" || p.rfind("box/out/", 0) == 0;
    EXPECT_TRUE(ok) << p;
    EXPECT_EQ(p.find("evil"), std::string::npos) << p;
  }
}

TEST(UnZipPaths, SymlinkAndDirectoryTargetsAreNotWrittenThrough) {
  std::string t = TempDir("links");
  WriteFile(t + "secret.txt", Text("keep"));
  std::filesystem::create_directories(t + "out/dir.txt");
  std::filesystem::create_directories(t + "elsewhere");
  ASSERT_EQ(::symlink((t + "secret.txt").c_str(), (t + "out/link.txt").c_str()), 0);
  ASSERT_EQ(::symlink((t + "elsewhere").c_str(), (t + "out/ld").c_str()), 0);
  WriteFile(t + "a.zip", Build({E("link.txt", "evil"), E("dir.txt", "evil"), E("ld/x.txt", "evil"),
                                E("good.txt", "good")}));
  TUnZip z;
  Errors err;
  err.attach(z);
  EXPECT_EQ(FourSteps(z, t + "a.zip", t + "out", "*.*"), 1);
  EXPECT_EQ(err.count(E_AttribOverwrite), 2);
  EXPECT_EQ(err.count(E_WriteError), 1);  // ld/x.txt: its output cannot be created
  EXPECT_EQ(err.count(E_CrcFail), 1);
  EXPECT_EQ(ReadFile(t + "secret.txt"), Text("keep"));
  EXPECT_FALSE(FileExists(t + "elsewhere/x.txt"));
  EXPECT_EQ(ReadFile(t + "out/good.txt"), Text("good"));
}

TEST(UnZipOverwrite, Rules) {
  std::string t = TempDir("over");
  WriteFile(t + "a.zip", Build({E("old.txt", "new"), E("fresh.txt", "fresh")}));
  auto prepare = [&](const std::string& dir) {
    WriteFile(dir + "old.txt", Text("old"));
    ::chmod((dir + "old.txt").c_str(), 0444);
  };
  {  // defaults: a read-only target is replaced
    std::string d = t + "d1/";
    prepare(d);
    TUnZip z;
    EXPECT_EQ(FourSteps(z, t + "a.zip", d, "*.*"), 2);
    EXPECT_EQ(ReadFile(d + "old.txt"), Text("new"));
  }
  {  // omSkip skips only existing targets
    std::string d = t + "d2/";
    prepare(d);
    TUnZip z;
    z.OverwriteMode = TOverwriteMode::omSkip;
    EXPECT_EQ(FourSteps(z, t + "a.zip", d, "*.*"), 1);
    EXPECT_EQ(ReadFile(d + "old.txt"), Text("old"));
    EXPECT_EQ(ReadFile(d + "fresh.txt"), Text("fresh"));
    EXPECT_EQ(z.OverwriteMode, TOverwriteMode::omSkip);
  }
  {  // ConfirmOverwrites without a handler: 25270, skipped
    std::string d = t + "d3/";
    prepare(d);
    TUnZip z;
    Errors err;
    err.attach(z);
    z.ConfirmOverwrites = true;
    EXPECT_EQ(FourSteps(z, t + "a.zip", d, "*.*"), 1);
    EXPECT_EQ(err.count(E_EventNotAssigned), 1);
    EXPECT_EQ(ReadFile(d + "old.txt"), Text("old"));
  }
  {  // a handler that renames
    std::string d = t + "d4/";
    prepare(d);
    TUnZip z;
    z.ConfirmOverwrites = true;
    int calls = 0;
    z.OnFileExists = [&](TUnBase&, const std::string& f, std::string& nn, TOverwriteMode& m) {
      ++calls;
      EXPECT_EQ(f, d + "old.txt");
      nn = "renamed.txt";
      m = TOverwriteMode::omSkip;  // with a different name it turns into overwrite
    };
    EXPECT_EQ(FourSteps(z, t + "a.zip", d, "*.*"), 2);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(ReadFile(d + "renamed.txt"), Text("new"));
    EXPECT_EQ(ReadFile(d + "old.txt"), Text("old"));
  }
  {  // a handler that keeps naming existing files: asked a bounded number of times, nothing replaced
    std::string d = t + "d5/";
    prepare(d);
    WriteFile(d + "other.txt", Text("other"));
    TUnZip z;
    Errors err;
    err.attach(z);
    z.ConfirmOverwrites = true;
    std::vector<std::string> asked;
    z.OnFileExists = [&](TUnBase&, const std::string& f, std::string& nn, TOverwriteMode& m) {
      asked.push_back(f);
      nn = asked.size() % 2 ? "other.txt" : "old.txt";
      m = TOverwriteMode::omOverwrite;
    };
    EXPECT_EQ(FourSteps(z, t + "a.zip", d, "*.*"), 1);
    EXPECT_EQ(asked.size(), 100u);
    EXPECT_EQ(asked[0], d + "old.txt");
    EXPECT_EQ(asked[1], d + "other.txt");
    EXPECT_TRUE(err.codes.empty());
    EXPECT_EQ(ReadFile(d + "old.txt"), Text("old"));
    EXPECT_EQ(ReadFile(d + "other.txt"), Text("other"));
    EXPECT_EQ(ReadFile(d + "fresh.txt"), Text("fresh"));
  }
}

TEST(UnZipEvents, OrderBeginEndRenameAndCancel) {
  std::string t = TempDir("events");
  WriteFile(t + "a.zip", Build({E("a.txt", "a"), E("b.txt", "b"), E("c.txt", "c"), E("d.txt", "d"), E("e.txt", "e")}));
  TUnZip z;
  std::vector<std::string> log;
  z.OnActivate = [&](TUnBase&) { log.push_back("activate"); };
  z.OnDeactivate = [&](TUnBase&) { log.push_back("deactivate"); };
  z.OnElapsedTime = [&](TUnBase&, float s) {
    EXPECT_GE(s, 0.0f);
    log.push_back("elapsed");
  };
  z.OnBegin = [&](TUnBase& c, const std::string& f, int32_t count, bool& ex) {
    log.push_back("begin " + std::filesystem::path(f).filename().string() + " " + std::to_string(count));
    if (f.find("b.txt") != std::string::npos) ex = false;
    if (f.find("d.txt") != std::string::npos) c.SetCancel();  // d is not written, e not begun
  };
  z.OnError = [&](TUnBase&, const std::string&, const std::string&, const std::string&, int32_t code) {
    log.push_back("error " + std::to_string(code));
  };
  z.OnEnd = [&](TUnBase&, const std::string& f, bool pass) {
    log.push_back(std::string("end ") + std::filesystem::path(f).filename().string() + (pass ? " ok" : " bad"));
  };
  z.OnRenameFile = [&](TUnBase&, const std::string& f, std::string& nn) {
    if (f.find("c.txt") != std::string::npos) nn = t + "o/sub/cc.txt";
  };
  EXPECT_EQ(FourSteps(z, t + "a.zip", t + "o", "*.*"), 2);
  std::vector<std::string> want = {"activate",      "begin a.txt 1", "end a.txt ok", "begin b.txt 2",
                                   "begin cc.txt 2", "end cc.txt ok", "begin d.txt 3", "elapsed",
                                   "deactivate"};
  EXPECT_EQ(log, want);
  EXPECT_TRUE(z.Cancel());
  EXPECT_EQ(ReadFile(t + "o/sub/cc.txt"), Text("c"));
  EXPECT_EQ(ListTree(t + "o"), (std::vector<std::string>{"a.txt", "sub/", "sub/cc.txt"}));
  // The next run starts uncancelled.
  log.clear();
  z.OnBegin = nullptr;
  z.OnRenameFile = nullptr;
  EXPECT_EQ(FourSteps(z, t + "a.zip", t + "p", "*.*"), 5);
  EXPECT_FALSE(z.Cancel());
}

TEST(UnZipEvents, TheListingPassIsNotTimed) {
  // A clock moved by the handlers: time spent while the central directory is read (here in
  // OnExcludeFile, after an error report of the same pass) is not run time; the extraction is.
  std::chrono::steady_clock::time_point now{};
  Services s = Services::posix();
  s.clock = [&] { return now; };
  std::string t = TempDir("timer");
  Entry strong = E("strong.txt", "s");
  strong.flags = 1;
  strong.centralExtra = {0x17, 0x00, 0x01, 0x00, 0x00};
  WriteFile(t + "a.zip", Build({strong, E("skip.txt", "x"), E("a.txt", "a")}));
  TUnZip z(s);
  Errors err;
  err.attach(z);
  z.ExcludeSpec = {"skip.txt"};
  z.OnExcludeFile = [&](TUnBase&, const std::string&) { now += std::chrono::seconds(10); };
  z.OnBegin = [&](TUnBase&, const std::string&, int32_t, bool&) { now += std::chrono::seconds(3); };
  float elapsed = -1;
  z.OnElapsedTime = [&](TUnBase&, float secs) { elapsed = secs; };
  EXPECT_EQ(FourSteps(z, t + "a.zip", t + "o", "*.*"), 1);
  EXPECT_EQ(err.codes, (std::vector<int32_t>{E_UnsupportedEncryption}));
  EXPECT_FLOAT_EQ(elapsed, 3.0f);
}

TEST(UnZipAttributes, UnixModesAndTimes) {
  setenv("TZ", "UTC", 1);
  tzset();
  std::string t = TempDir("modes");
  Entry x = E("run.sh", "#!/bin/sh\n");
  x.versionMadeBy = 3 << 8 | 30;
  x.extAttr = (0100755u | 04000u) << 16;
  Entry r = E("ro.txt", "r");
  r.extAttr = 0x21;  // DOS read-only + archive
  Entry p = E("plain.txt", "p");
  p.versionMadeBy = 3 << 8 | 30;
  p.extAttr = 0100640u << 16;
  // A link and a device stored as entries are written as plain files, with no mode of theirs.
  Entry l = E("link.txt", "target.txt");
  l.versionMadeBy = 3 << 8 | 30;
  l.extAttr = 0120777u << 16;
  Entry d = E("dev.txt", "d");
  d.versionMadeBy = 3 << 8 | 30;
  d.extAttr = 0020777u << 16;
  WriteFile(t + "a.zip", Build({x, r, p, l, d}));
  TUnZip z;
  EXPECT_EQ(FourSteps(z, t + "a.zip", t + "o", "*.*"), 5);
  const mode_t mask = ::umask(0);
  ::umask(mask);
  struct stat st;
  for (const char* f : {"o/link.txt", "o/dev.txt"}) {
    ASSERT_EQ(::lstat((t + f).c_str(), &st), 0) << f;
    EXPECT_TRUE(S_ISREG(st.st_mode)) << f;
    EXPECT_EQ(st.st_mode & 07777, 0666u & ~mask) << f;  // as created, not 0777
  }
  ASSERT_EQ(::stat((t + "o/run.sh").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u);  // setuid dropped
  ASSERT_EQ(::stat((t + "o/plain.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  ASSERT_EQ(::stat((t + "o/ro.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0222, 0u);
  // 2024-03-15 10:30:10 UTC
  EXPECT_EQ(st.st_mtime, 1710498610);
}

TEST(UnZipDiskFull, RaisesAndCountsZero) {
  MemoryFileSystem fs(1000);
  Bytes big = Pseudo(5000, 3);
  Entry b;
  b.name = "big.bin";
  b.data = big;
  fs.addFile("/in/a.zip", Build({E("small.txt", "s"), b}));
  fs.addDir("/out");
  Services s = Services::posix();
  s.fs = &fs;
  TUnZip z(s);
  Errors err;
  err.attach(z);
  z.SetArchiveFile("/in/a.zip");
  z.SetExtractDir("/out");
  z.FileSpec = {"*.*"};
  try {
    z.Extract();
    FAIL() << "no exception";
  } catch (const E_RAISE& e) {
    EXPECT_EQ(e.code(), E_DiskFull);
    EXPECT_STREQ(e.what(), "Disk full");
    EXPECT_EQ(e.extendedMsg(), "/out/big.bin");
  }
  EXPECT_EQ(err.count(E_DiskFull), 1);
  EXPECT_EQ(z.ArchiveFile(), "/in/a.zip");
  // The component is usable again afterwards.
  z.FileSpec = {"small.txt"};
  EXPECT_EQ(z.Extract(), 1);
}

TEST(UnZipFolderCheck, LimitedUserFlow) {
  auto setup = [](MemoryFileSystem& fs) {
    fs.addFile("/in/a.zip", Build({E("x.txt", "x")}));
    fs.addDir("/ro");
    fs.setReadOnlyDir("/ro");
    fs.addDir("/home/u");
    fs.setHome("/home/u/");
  };
  {
    MemoryFileSystem fs;
    setup(fs);
    Services s = Services::posix();
    s.fs = &fs;
    TUnZip z(s);
    Errors err;
    err.attach(z);
    std::vector<std::string> order;
    z.OnActivate = [&](TUnBase&) { order.push_back("a"); };
    z.OnDeactivate = [&](TUnBase&) { order.push_back("d"); };
    z.SetArchiveFile("/in/a.zip");
    z.SetExtractDir("/ro");
    z.FileSpec = {"*.*"};
    EXPECT_EQ(z.Extract(), 0);
    ASSERT_EQ(err.codes.size(), 1u);
    EXPECT_EQ(err.codes[0], E_EventNotAssigned);
    EXPECT_EQ(err.exts[0], "OnLimitedUser");
    EXPECT_EQ(order, (std::vector<std::string>{"a", "d"}));
  }
  {
    MemoryFileSystem fs;
    setup(fs);
    Services s = Services::posix();
    s.fs = &fs;
    TUnZip z(s);
    std::string asked;
    z.OnLimitedUser = [&](TUnBase&, const std::string& prot, std::string& user, bool&) {
      asked = prot;
      EXPECT_EQ(user, "/home/u/");
    };
    z.SetArchiveFile("/in/a.zip");
    z.SetExtractDir("/ro");
    z.FileSpec = {"*.*"};
    EXPECT_EQ(z.Extract(), 1);
    EXPECT_EQ(asked, "/ro/");
    EXPECT_EQ(fs.stat("/home/u/x.txt").kind, FileKind::Regular);
  }
  {
    MemoryFileSystem fs;
    setup(fs);
    Services s = Services::posix();
    s.fs = &fs;
    TUnZip z(s);
    Errors err;
    err.attach(z);
    z.OnLimitedUser = [&](TUnBase&, const std::string&, std::string& user, bool&) { user = "/nowhere"; };
    z.SetArchiveFile("/in/a.zip");
    z.SetExtractDir("/ro");
    z.FileSpec = {"*.*"};
    EXPECT_EQ(z.Extract(), 0);
    ASSERT_EQ(err.codes.size(), 1u);
    EXPECT_EQ(err.codes[0], E_InvalidDir);
    EXPECT_EQ(err.files[0], "UserDir");
  }
}

TEST(UnZipCheck, MissingTargetFolderIsNotLeftBehindWhenNothingIsWritten) {
  std::string t = TempDir("nofolder");
  WriteFile(t + "a.zip", Build({E("x.txt", "x")}));
  TUnZip z;
  EXPECT_EQ(FourSteps(z, t + "a.zip", t + "new/deep", "*.none"), 0);
  EXPECT_FALSE(FileExists(t + "new"));
}

TEST(UnZipBomb, OutputNeverExceedsTheDeclaredSize) {
  MemoryFileSystem fs;
  Entry e;
  e.name = "bomb.bin";
  e.data = Bytes(100000, 'A');
  e.declaredUnpacked = 10;  // a lie
  fs.addFile("/a.zip", Build({e}));
  Services s = Services::posix();
  s.fs = &fs;
  TUnZip z(s);
  Errors err;
  err.attach(z);
  z.SetArchiveFile("/a.zip");
  z.SetExtractDir("/o");
  z.FileSpec = {"*.*"};
  EXPECT_EQ(z.Extract(), 0);
  EXPECT_EQ(fs.stat("/o/bomb.bin").size, 10u);
  EXPECT_EQ(err.count(E_CrcFail), 1);
}

namespace {
// A stand-in cipher: XOR with a byte derived from the password (the real ciphers are separate units).
class XorCipher : public TraditionalCipher {
public:
  void Reset(const TSeedKeyRecord& s) override { key_ = static_cast<uint8_t>(s.Key0); }
  void AddPassword(std::string_view pw) override {
    for (char c : pw) key_ = static_cast<uint8_t>(key_ * 31 + static_cast<uint8_t>(c));
  }
  void Decrypt(uint8_t* p, size_t n) override {
    for (size_t i = 0; i < n; ++i) p[i] ^= key_;
  }
  TSeedKeyRecord Keys() const override { return TSeedKeyRecord{key_, 0, 0}; }
  static uint8_t KeyFor(const std::string& pw) {
    XorCipher c;
    c.Reset(kDefaultDataKeys);
    c.AddPassword(pw);
    return c.key_;
  }

private:
  uint8_t key_ = 0;
};

Entry Enciphered(const std::string& name, const std::string& text, const std::string& pw) {
  Entry e = E(name, text);
  e.flags = 1;
  uint8_t k = XorCipher::KeyFor(pw);
  Bytes head(12, 0);
  head[11] = static_cast<uint8_t>(Crc(e.data) >> 24);
  Bytes packed;
  for (auto b : head) packed.push_back(b ^ k);
  for (auto b : e.data) packed.push_back(b ^ k);
  e.rawPacked = packed;
  return e;
}
}  // namespace

TEST(UnZipPassword, FlowThroughTheCipherInterface) {
  std::string t = TempDir("pw");
  WriteFile(t + "a.zip", Build({Enciphered("s.txt", "secret", "right"), E("p.txt", "plain")}));
  {  // no handler, no passwords: 25270 OnGetPassword, then the check fails; not counted, no file
    TUnZip z;
    z.Ciphers.traditional = [] { return std::make_unique<XorCipher>(); };
    Errors err;
    err.attach(z);
    EXPECT_EQ(FourSteps(z, t + "a.zip", t + "o1", "*.*"), 1);
    EXPECT_EQ(err.count(E_EventNotAssigned), 1);
    EXPECT_EQ(err.count(E_CrcFail), 1);
    EXPECT_FALSE(FileExists(t + "o1/s.txt"));
  }
  {  // the second password of the list is right
    TUnZip z;
    z.Ciphers.traditional = [] { return std::make_unique<XorCipher>(); };
    z.Passwords = {"wrong", "right"};
    EXPECT_EQ(FourSteps(z, t + "a.zip", t + "o2", "*.*"), 2);
    EXPECT_EQ(ReadFile(t + "o2/s.txt"), Text("secret"));
  }
  {  // the handler gives a wrong one, then refuses
    TUnZip z;
    z.Ciphers.traditional = [] { return std::make_unique<XorCipher>(); };
    Errors err;
    err.attach(z);
    int asked = 0;
    z.OnGetPassword = [&](TUnBase&, const std::string&, std::string& pw,
        TSeedKeyRecord&, TSeedKeyRecord&, bool& again) {
      if (++asked == 1) pw = "bad";
      else again = false;
    };
    EXPECT_EQ(FourSteps(z, t + "a.zip", t + "o3", "*.*"), 1);
    EXPECT_EQ(asked, 2);
    ASSERT_GE(err.count(E_InvalidPassword), 2);
    EXPECT_NE(std::find(err.exts.begin(), err.exts.end(), "User canceled"), err.exts.end());
    EXPECT_NE(std::find(err.exts.begin(), err.exts.end(), "bad"), err.exts.end());
  }
  {  // the handler gives the right one; it goes to the head of Passwords
    TUnZip z;
    z.Ciphers.traditional = [] { return std::make_unique<XorCipher>(); };
    z.OnGetPassword = [&](TUnBase&, const std::string&, std::string& pw, TSeedKeyRecord&, TSeedKeyRecord&, bool&) {
      pw = "right";
    };
    EXPECT_EQ(FourSteps(z, t + "a.zip", t + "o4", "*.*"), 2);
    ASSERT_FALSE(z.Passwords.empty());
    EXPECT_EQ(z.Passwords[0], "right");
  }
  {  // without a cipher unit no password is accepted
    TUnZip z;
    z.Passwords = {"right"};
    EXPECT_EQ(FourSteps(z, t + "a.zip", t + "o5", "*.*"), 1);
    EXPECT_FALSE(FileExists(t + "o5/s.txt"));
  }
}

TEST(UnZipExclude, ExcludeBeatsFileSpecAndFiresOnce) {
  std::string t = TempDir("excl");
  WriteFile(t + "a.zip", Build({E("a.xml", "a"), E("b.xml", "b"), E("c.txt", "c")}));
  TUnZip z;
  z.ExcludeSpec = {"b.*"};
  std::vector<std::string> ex;
  z.OnExcludeFile = [&](TUnBase&, const std::string& f) { ex.push_back(f); };
  z.SetArchiveFile(t + "a.zip");
  z.SetExtractDir(t + "o");
  z.FileSpec = {"*.xml", "*.*"};
  EXPECT_EQ(z.Extract(), 2);
  EXPECT_EQ(ex, (std::vector<std::string>{"b.xml"}));
  EXPECT_EQ(z.FileSpec, (std::vector<std::string>{"*.xml", "*.*"}));
  z.FileSpec.clear();
  EXPECT_EQ(z.Extract(), 0);
}

TEST(UnZipNames, OemUtf8AndCyrillicMasks) {
  std::string t = TempDir("names");
  // "отчёт.xml" in CP866 and in UTF-8 (flag bit 11).
  std::string oem = "\xAE\xE2\xE7\xF1\xE2.xml";
  Entry a = E(oem, "oem");
  Entry u = E("\xD0\x9E\xD0\xA2\xD0\xA7\xD0\x81\xD0\xA2.XML", "utf");  // ОТЧЁТ.XML
  u.flags = 0x800;
  WriteFile(t + "a.zip", Build({a, u}));
  TUnZip z;
  EXPECT_EQ(FourSteps(z, t + "a.zip", t + "o", "*.XML"), 2);
  // On disk the names are UTF-8.
  EXPECT_EQ(ReadFile(t + "o/\xD0\xBE\xD1\x82\xD1\x87\xD1\x91\xD1\x82.xml"), Text("oem"));
  EXPECT_EQ(ReadFile(t + "o/\xD0\x9E\xD0\xA2\xD0\xA7\xD0\x81\xD0\xA2.XML"), Text("utf"));
}

TEST(UnZipNames, NamesOutsideTheCodePageAreRefused) {
  // "中文.txt" and "日本.txt" would both become a name of '?' in CP1251: each is refused with a
  // report and OnEnd False, the Cyrillic name beside them is written.
  const std::string han = "\xE4\xB8\xAD\xE6\x96\x87.txt", jp = "\xE6\x97\xA5\xE6\x9C\xAC.txt";
  const std::string report = "\xD0\x9E\xD1\x82\xD1\x87\xD1\x91\xD1\x82.txt";  // "Отчёт.txt"
  std::string t = TempDir("wide_names");
  std::vector<std::string> archives;
  std::vector<Entry> es = {E(han, "one"), E(jp, "two"), E(report, "three")};
  for (auto& e : es) e.flags = 0x800;
  WriteFile(t + "built.zip", Build(es));
  archives.push_back("built.zip");
  WriteFile(t + "src/" + han, Text("one"));
  WriteFile(t + "src/" + jp, Text("two"));
  WriteFile(t + "src/" + report, Text("three"));
  if (HaveTool("7z")) {
    ASSERT_EQ(Shell("cd '" + t + "src' && LC_ALL=C.UTF-8 7z a -tzip -mcu=on ../7z.zip '" + han + "' '" + jp + "' '" +
                    report + "' >/dev/null"),
              0);
    archives.push_back("7z.zip");
  }
  if (HaveTool("python3")) {
    ASSERT_EQ(Shell("cd '" + t + "src' && python3 -c \"import zipfile,sys; z=zipfile.ZipFile('../py.zip','w'); "
                    "[z.write(n) for n in sys.argv[1:]]; z.close()\" '" + han + "' '" + jp + "' '" + report + "'"),
              0);
    archives.push_back("py.zip");
  }
  for (const auto& a : archives) {
    SCOPED_TRACE(a);
    const std::string out = t + "out_" + a + "/";
    TUnZip z;
    Errors err;
    err.attach(z);
    std::vector<std::pair<std::string, bool>> ends;
    std::vector<std::string> log;
    z.OnBegin = [&](TUnBase&, const std::string& f, int32_t, bool&) { log.push_back("begin " + f); };
    z.OnEnd = [&](TUnBase&, const std::string& f, bool pass) {
      ends.emplace_back(f, pass);
      log.push_back("end " + f);
    };
    EXPECT_EQ(FourSteps(z, t + a, out, "*.txt"), 1);
    EXPECT_EQ(err.codes, (std::vector<int32_t>{E_OpenError, E_OpenError}));
    for (const auto& x : err.exts) EXPECT_EQ(x, "name outside the code page");
    ASSERT_EQ(ends.size(), 3u);
    EXPECT_EQ(std::count_if(ends.begin(), ends.end(), [](const auto& e) { return !e.second; }), 2);
    // Each refused entry had its OnBegin first, and its report names its output.
    ASSERT_EQ(log.size(), 6u);
    for (size_t k = 0; k < 3; ++k) {
      EXPECT_EQ(log[2 * k], "begin " + ends[k].first);
      EXPECT_EQ(log[2 * k + 1], "end " + ends[k].first);
    }
    for (const auto& f : err.files) EXPECT_EQ(f, out + "??.txt");
    EXPECT_EQ(ListTree(out), (std::vector<std::string>{report}));
    EXPECT_EQ(ReadFile(out + report), Text("three"));
  }
}

TEST(UnZipNames, TwoEntriesNeverEndInOneFile) {
  // Entries whose names lead to one output: the first is written and counted, the later one is
  // refused (25235, OnEnd False) and the file keeps the first one's data.
  Entry oem = E("\x86.txt", "first");            // CP866 "Ж"
  Entry utf = E("\xD0\x96.txt", "second");       // UTF-8 "Ж"
  utf.flags = 0x800;
  struct Case {
    const char* name;
    std::vector<Entry> entries;
    bool storedDirs;
    std::string file;  // the one output, below the target folder
  } cases[] = {
      {"one name twice", {E("a.txt", "first"), E("a.txt", "second")}, true, "a.txt"},
      {"folders not kept", {E("x/a.txt", "first"), E("y/a.txt", "second")}, false, "a.txt"},
      {"either separator", {E("d/a.txt", "first"), E("d\\a.txt", "second")}, true, "d/a.txt"},
      {"OEM and UTF-8", {oem, utf}, true, "\xD0\x96.txt"},
      {"a folder entry over a file", {E("a", "first"), E("a/", "")}, true, "a"},
  };
  std::string t = TempDir("one_output");
  int i = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string dir = t + std::to_string(i++) + "/";
    WriteFile(dir + "a.zip", Build(c.entries));
    TUnZip z;
    z.UseStoredDirs = c.storedDirs;
    Errors err;
    err.attach(z);
    std::vector<bool> ends;
    z.OnEnd = [&](TUnBase&, const std::string&, bool pass) { ends.push_back(pass); };
    EXPECT_EQ(FourSteps(z, dir + "a.zip", dir + "o", "*.*"), 1);
    EXPECT_EQ(err.codes, (std::vector<int32_t>{E_OpenError}));
    EXPECT_EQ(err.exts, (std::vector<std::string>{"output of an earlier entry"}));
    ASSERT_EQ(err.files.size(), 1u);
    while (!err.files[0].empty() && err.files[0].back() == '/') err.files[0].pop_back();
    EXPECT_EQ(platform::Cp1251ToUtf8(err.files[0]), dir + "o/" + c.file);  // program text
    EXPECT_EQ(ends, (std::vector<bool>{true, false}));
    EXPECT_EQ(ReadFile(dir + "o/" + c.file), Text("first"));
  }
  // A handler that gives the later entry a name of its own: both are written.
  std::string dir = t + "renamed/";
  WriteFile(dir + "a.zip", Build({E("a.txt", "first"), E("a.txt", "second")}));
  TUnZip z;
  z.ConfirmOverwrites = true;
  z.OnFileExists = [](TUnBase&, const std::string&, std::string& nn, TOverwriteMode&) { nn = "b.txt"; };
  EXPECT_EQ(FourSteps(z, dir + "a.zip", dir + "o", "*.*"), 2);
  EXPECT_EQ(ReadFile(dir + "o/a.txt"), Text("first"));
  EXPECT_EQ(ReadFile(dir + "o/b.txt"), Text("second"));
}

TEST(UnZipNames, OneFileUnderTwoNamesOnAFolderThatFoldsCase) {
  // On a target that folds case "visit.xml" and "VISIT.XML" are one file: the second entry
  // would replace the first one's output. It is refused (after its OnBegin), the file keeps the
  // first one's data. The same two entries go to two files where case counts.
  std::string t = TempDir("fold");
  WriteFile(t + "a.zip", Build({E("visit.xml", "first"), E("VISIT.XML", "second"), E("other.xml", "other")}));
  for (bool folding : {true, false}) {
    SCOPED_TRACE(folding ? "folds case" : "keeps case");
    const std::string out = t + (folding ? "fold/" : "keep/");
    CaseFoldingFs fold(PosixFileSystem());
    Services s = Services::posix();
    if (folding) s.fs = &fold;
    TUnZip z(s);
    Errors err;
    err.attach(z);
    std::vector<std::string> log;
    z.OnBegin = [&](TUnBase&, const std::string& f, int32_t, bool&) { log.push_back("begin " + f); };
    z.OnEnd = [&](TUnBase&, const std::string& f, bool pass) { log.push_back((pass ? "ok " : "failed ") + f); };
    if (folding) {
      EXPECT_EQ(FourSteps(z, t + "a.zip", out, "*.*"), 2);
      EXPECT_EQ(err.codes, (std::vector<int32_t>{E_OpenError}));
      EXPECT_EQ(err.exts, (std::vector<std::string>{"output of an earlier entry"}));
      EXPECT_EQ(err.files, (std::vector<std::string>{out + "VISIT.XML"}));
      EXPECT_EQ(log, (std::vector<std::string>{"begin " + out + "visit.xml", "ok " + out + "visit.xml",
                                               "begin " + out + "VISIT.XML", "failed " + out + "VISIT.XML",
                                               "begin " + out + "other.xml", "ok " + out + "other.xml"}));
      EXPECT_EQ(ListTree(out), (std::vector<std::string>{"other.xml", "visit.xml"}));
      EXPECT_EQ(ReadFile(out + "visit.xml"), Text("first"));
    } else {
      EXPECT_EQ(FourSteps(z, t + "a.zip", out, "*.*"), 3);
      EXPECT_TRUE(err.codes.empty());
      EXPECT_EQ(ReadFile(out + "VISIT.XML"), Text("second"));
    }
  }
}

TEST(UnZipNames, AFolderThatIsNotMadeClaimsNoName) {
  // "a/" before the file "a": without CreateStoredDirs no folder is made, and the file is written;
  // with it the folder is made and stands where the file would go.
  std::string t = TempDir("folder_claim");
  WriteFile(t + "a.zip", Build({E("a/", ""), E("a", "file")}));
  for (bool create : {false, true}) {
    SCOPED_TRACE(create);
    const std::string out = t + (create ? "made/" : "not_made/");
    TUnZip z;
    z.CreateStoredDirs = create;
    Errors err;
    err.attach(z);
    EXPECT_EQ(FourSteps(z, t + "a.zip", out, "*.*"), create ? 1 : 2);
    if (create) {
      EXPECT_EQ(err.codes, (std::vector<int32_t>{E_AttribOverwrite}));
      EXPECT_TRUE(std::filesystem::is_directory(out + "a"));
    } else {
      EXPECT_TRUE(err.codes.empty());
      EXPECT_EQ(ReadFile(out + "a"), Text("file"));
    }
  }
}

TEST(UnZipOverlap, AThousandRecordsOfOneEntryWriteItOnce) {
  // A 65 KB archive: one deflated entry of 10 MiB and 999 more directory records pointing at its
  // local header. Extracted into a folder that holds 64 MiB (10 GB would not fit), only the one
  // entry is written; each other record is refused after its OnBegin.
  const uint32_t real = 10u << 20;
  Entry e;
  e.name = "bomb0000.bin";
  e.data = Bytes(real, 0);
  e.method = 8;
  e.rawPacked = Deflate(e.data);
  e.crcOverride = Crc(e.data);
  e.declaredUnpacked = real;
  e.data.clear();
  e.data.shrink_to_fit();
  std::vector<Entry> es = {e};
  for (int i = 1; i < 1000; ++i) {
    Entry c = e;
    char name[16];
    std::snprintf(name, sizeof name, "bomb%04d.bin", i);
    c.name = name;
    c.sharesHeaderOf = 0;
    es.push_back(c);
  }
  const Bytes zip = Build(es);
  EXPECT_LT(zip.size(), 70000u);
  InMemory m(zip, 64u << 20);
  int begun = 0, failed = 0;
  m.z->OnBegin = [&](TUnBase&, const std::string&, int32_t, bool&) { ++begun; };
  m.z->OnEnd = [&](TUnBase&, const std::string&, bool pass) { failed += !pass; };
  int32_t n = -1;
  EXPECT_NO_THROW(n = m.Extract());
  EXPECT_EQ(n, 1);
  EXPECT_EQ(m.fs.bytesWritten(), real);
  EXPECT_EQ(m.fs.stat("/out/bomb0000.bin").size, real);
  EXPECT_EQ(m.fs.stat("/out/bomb0001.bin").kind, FileKind::None);
  EXPECT_EQ(begun, 1000);
  EXPECT_EQ(failed, 999);
  EXPECT_EQ(m.err.count(E_OpenError), 999);
  EXPECT_EQ(m.err.count(E_BadFileHeader), 999);  // their local name is not theirs
  EXPECT_EQ(std::count(m.err.exts.begin(), m.err.exts.end(), "overlaps an earlier entry"), 999);
}

TEST(UnZipOverlap, AnEntryInsideAnEarlierOneIsRefused) {
  // The earlier entry is the one whose local header comes first in the file, whatever the
  // order of the directory.
  const Entry inner = E("inner.txt", "inner data");
  const Bytes innerLocal = Build({inner}, [] {
    Options o;
    o.omitCentral = true;
    return o;
  }());
  Entry outer = E("outer.bin", "");
  outer.data = Text("lead ");
  outer.data.insert(outer.data.end(), innerLocal.begin(), innerLocal.end());
  Entry nested = inner;
  nested.sharesHeaderOf = 0;
  nested.centralOffsetDelta = 30 + static_cast<int64_t>(outer.name.size()) + 5;
  Entry twin = E("twin.txt", "");
  twin.sharesHeaderOf = 1;
  struct Case {
    const char* name;
    std::vector<Entry> entries;
    std::vector<std::string> files;    // written, below the target folder
    std::vector<std::string> refused;  // outputs refused as overlapping
    int nameReports;                   // local names that differ
  } cases[] = {
      {"a header inside another entry's data", {outer, nested}, {"outer.bin"}, {"inner.txt"}, 0},
      {"two records of one header", {E("a.txt", "aaa"), E("b.txt", "bbb"), twin}, {"a.txt", "b.txt"}, {"twin.txt"}, 1},
      {"entries side by side", {E("a.txt", "aaa"), E("b.txt", "bbb"), inner}, {"a.txt", "b.txt", "inner.txt"}, {}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    InMemory m(Build(c.entries));
    std::vector<std::string> failed;
    m.z->OnEnd = [&](TUnBase&, const std::string& f, bool pass) {
      if (!pass) failed.push_back(f);
    };
    EXPECT_EQ(m.Extract(), static_cast<int32_t>(c.files.size()));
    const Errors& err = m.err;
    std::vector<std::string> written, refused;
    for (const auto& [k, node] : m.fs.nodes())
      if (k.rfind("/out/", 0) == 0) written.push_back(k.substr(5));
    for (const auto& f : c.refused) refused.push_back("/out/" + f);
    EXPECT_EQ(written, c.files);
    EXPECT_EQ(failed, refused);
    EXPECT_EQ(err.count(E_OpenError), static_cast<int>(c.refused.size()));
    EXPECT_EQ(err.count(E_BadFileHeader), c.nameReports);
    for (size_t k = 0; k < err.codes.size(); ++k)
      if (err.codes[k] == E_OpenError) {
        EXPECT_EQ(err.exts[k], "overlaps an earlier entry");
        EXPECT_NE(std::find(refused.begin(), refused.end(), err.files[k]), refused.end()) << err.files[k];
      }
  }
}

TEST(UnZipOverlap, ALocalNameThatDiffersIsReported) {
  // The entry is written under the directory's name; the local header's name is reported.
  Bytes zip = Build({E("good.txt", "data"), E("same.txt", "same")});
  ASSERT_EQ(std::string(zip.begin() + 30, zip.begin() + 38), "good.txt");
  std::copy_n("evil.txt", 8, zip.begin() + 30);
  InMemory m(zip);
  EXPECT_EQ(m.Extract(), 2);
  EXPECT_EQ(m.err.codes, (std::vector<int32_t>{E_BadFileHeader}));
  EXPECT_EQ(m.err.files, (std::vector<std::string>{"/out/good.txt"}));
  EXPECT_EQ(m.err.exts, (std::vector<std::string>{"local name differs from the directory's"}));
  EXPECT_EQ(m.fs.nodes().at("/out/good.txt").data, Text("data"));
  EXPECT_EQ(m.fs.stat("/out/evil.txt").kind, FileKind::None);
}

TEST(UnZipNames, ReportsAboutAnEntryNameItsOutput) {
  // Also the reports of the listing; only a name that has no output path is given as it is.
  Entry strong = E("s/strong.txt", "s");
  strong.flags = 1;
  strong.centralExtra = {0x17, 0x00, 0x01, 0x00, 0x00};
  Entry moved = E("moved.txt", "m");
  moved.centralOffsetDelta = 7;
  Entry streamed = E("d/streamed.txt", "d");
  streamed.dataDescriptor = true;
  Options local;
  local.omitCentral = true;
  struct Case {
    const char* name;
    Bytes zip;
    int32_t code;
    std::string file;
  } cases[] = {
      {"strong encryption", Build({strong}), E_UnsupportedEncryption, "/out/s/strong.txt"},
      {"local header not where stated", Build({E("a.txt", "a"), moved}), E_BadLocalOffset, "/out/moved.txt"},
      {"sizes only after the data", Build({streamed}, local), E_BadFileHeader, "/out/d/streamed.txt"},
      {"no output path", Build({E("../up.txt", "u")}), E_OpenError, "../up.txt"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    InMemory m(c.zip);
    m.Extract();
    EXPECT_EQ(m.err.codes, (std::vector<int32_t>{c.code}));
    EXPECT_EQ(m.err.files, (std::vector<std::string>{c.file}));
  }
}

TEST(UnZipBusy, SecondExtractDuringARunIsRefused) {
  std::string t = TempDir("busy");
  WriteFile(t + "a.zip", Build({E("a.txt", "a"), E("b.txt", "b")}));
  TUnZip z;
  Errors err;
  err.attach(z);
  int inner = -1;
  z.OnBegin = [&](TUnBase& c, const std::string&, int32_t, bool&) {
    if (inner < 0) inner = c.Extract();
  };
  EXPECT_EQ(FourSteps(z, t + "a.zip", t + "o", "*.*"), 2);
  EXPECT_EQ(inner, 0);
  EXPECT_EQ(err.count(E_UserCanceled), 1);
}

TEST(UnZipMethods, StoredAndDeflatedCountTwoAndCorruptionIsCaught) {
  std::string t = TempDir("methods");
  Bytes text = Text(std::string(20000, 'x') + "tail");
  Entry d;
  d.name = "d.txt";
  d.data = text;
  d.method = 8;
  WriteFile(t + "a.zip", Build({E("s.txt", "stored"), d}));
  TUnZip z;
  Errors err;
  err.attach(z);
  EXPECT_EQ(FourSteps(z, t + "a.zip", t + "o", "*.*"), 2);
  EXPECT_TRUE(err.codes.empty());
  EXPECT_EQ(ReadFile(t + "o/d.txt"), text);
  // Damaged deflate data: the entry fails its check and is taken off the count.
  Entry bad = d;
  bad.rawPacked = Deflate(text);
  bad.rawPacked[bad.rawPacked.size() / 2] ^= 0x55;
  bad.rawPacked.resize(bad.rawPacked.size() - 3);
  WriteFile(t + "b.zip", Build({E("s.txt", "stored"), bad}));
  TUnZip y;
  Errors e2;
  e2.attach(y);
  EXPECT_EQ(FourSteps(y, t + "b.zip", t + "p", "*.*"), 1);
  EXPECT_EQ(e2.count(E_CrcFail), 1);
}

TEST(UnZipBomb, DeflatedBombEndsAtTheDeclaredSize) {
  MemoryFileSystem fs(1 << 20);
  Entry e;
  e.name = "bomb.bin";
  e.data = Bytes(50u << 20, 0);  // 50 MB of zeros, about 50 KB deflated
  e.method = 8;
  e.rawPacked = Deflate(e.data);
  e.declaredUnpacked = 1000;
  e.data.clear();
  e.data.shrink_to_fit();
  fs.addFile("/a.zip", Build({e}));
  Services s = Services::posix();
  s.fs = &fs;
  TUnZip z(s);
  z.SetArchiveFile("/a.zip");
  z.SetExtractDir("/o");
  z.FileSpec = {"*.*"};
  EXPECT_EQ(z.Extract(), 0);
  EXPECT_EQ(fs.stat("/o/bomb.bin").size, 1000u);
}

TEST(UnZipPaths, BuilderTable) {
  const std::string root = "/x/out/";
  struct Case {
    std::string name;
    bool stored;
    const char* want;  // nullptr: refused
    bool dir;
  } cases[] = {
      {"a.txt", true, "/x/out/a.txt", false},
      {"d/e/a.txt", true, "/x/out/d/e/a.txt", false},
      {"d/e/a.txt", false, "/x/out/a.txt", false},
      {"d\\e\\a.txt", true, "/x/out/d/e/a.txt", false},
      {"///a.txt", true, "/x/out/a.txt", false},
      {"./d/./a.txt", true, "/x/out/d/a.txt", false},
      {"C:\\d\\a.txt", true, "/x/out/d/a.txt", false},
      {"C:a.txt", true, "/x/out/a.txt", false},
      {"d/a:b.txt", true, "/x/out/d/a:b.txt", false},
      {"dir/", true, "/x/out/dir/", true},
      {"dir/", false, "/x/out/", true},
      {"/", true, "/x/out/", true},
      {"..", true, nullptr, false},
      {"d/..", true, nullptr, false},
      {"..\\a", true, nullptr, false},
      {"d/../a", true, nullptr, false},
      {"C:..\\a", true, nullptr, false},
      {"", true, nullptr, false},
      {"C:", true, nullptr, false},
      {std::string("a\0b", 3), true, nullptr, false},
      {"a\x1f", true, nullptr, false},
      {"...", true, "/x/out/...", false},
  };
  for (const auto& c : cases) {
    TOutputPath p = BuildOutputPath(c.name, root, c.stored);
    if (!c.want) {
      EXPECT_FALSE(p.safe) << c.name;
      continue;
    }
    EXPECT_TRUE(p.safe) << c.name;
    EXPECT_EQ(p.path, c.want) << c.name;
    EXPECT_EQ(p.directory, c.dir) << c.name;
  }
  std::string out;
  EXPECT_FALSE(ConvertEntryName("\xC3\x28", true, true, out));  // invalid UTF-8
  EXPECT_FALSE(ConvertEntryName("\xE0\x80\xAF", true, true, out));  // over-long form
  EXPECT_TRUE(ConvertEntryName("\xD0\x96.txt", true, true, out));
  EXPECT_EQ(out, "\xC6.txt");
  EXPECT_TRUE(ConvertEntryName("\x86.txt", false, true, out));  // CP866
  EXPECT_EQ(out, "\xC6.txt");
  EXPECT_TRUE(ConvertEntryName("\xC6.txt", false, false, out));  // taken as CP1251
  EXPECT_EQ(out, "\xC6.txt");
}

TEST(UnZipProperties, DatesProgressBufferSizeAndReDetection) {
  setenv("TZ", "UTC", 1);
  tzset();
  MemoryFileSystem fs;
  Entry a = E("a.txt", std::string(1000, 'a'));
  Entry b = E("b.txt", std::string(3000, 'b'));
  b.dosTime = (45u << 25) | (6u << 21) | (1u << 16);  // 2025-06-01 00:00:00, the latest
  fs.addFile("/a.zip", Build({a, b}));
  Services s = Services::posix();
  s.fs = &fs;
  s.now = [] { return static_cast<std::time_t>(1234567890); };
  {
    TUnZip z(s);
    z.DateAttribute = TDateAttribute::daMaxFileDate;
    std::vector<int> byArchive;
    z.OnProgress = [&](TUnBase&, uint8_t byFile, uint8_t arcPct) {
      EXPECT_LE(byFile, 100);
      byArchive.push_back(arcPct);
    };
    z.SetArchiveFile("/a.zip");
    z.SetExtractDir("/o");
    z.FileSpec = {"*.*"};
    EXPECT_EQ(z.Extract(), 2);
    EXPECT_EQ(fs.stat("/o/a.txt").mtime, 1748736000);
    EXPECT_EQ(byArchive, (std::vector<int>{25, 100}));
  }
  {
    TUnZip z(s);
    z.DateAttribute = TDateAttribute::daSysDate;
    z.SetArchiveFile("/a.zip");
    z.SetExtractDir("/p");
    z.FileSpec = {"a.txt"};
    EXPECT_EQ(z.Extract(), 1);
    EXPECT_EQ(fs.stat("/p/a.txt").mtime, 1234567890);
    z.SetZipCmntBufSize(100);
    EXPECT_EQ(z.ZipCmntBufSize(), 2000);
    z.SetZipCmntBufSize(40000);
    EXPECT_EQ(z.ZipCmntBufSize(), 32767);
    z.SetZipCmntBufSize(5000);
    EXPECT_EQ(z.ZipCmntBufSize(), 5000);
    // Re-detection: a file that has gone gives atFileOpenErr; without a file the value is kept.
    fs.removeFile("/a.zip");
    z.SetArcType(TArcType::atZip);
    EXPECT_EQ(z.ArcType(), TArcType::atFileOpenErr);
    TUnZip none(s);
    none.SetArcType(TArcType::atRar);
    EXPECT_EQ(none.ArcType(), TArcType::atRar);
  }
}

TEST(UnZipMethods, StoredEntriesAreCopiedIn32KiBBlocks) {
  // Each block is written, then progress is given and the event queue pumped.
  MemoryFileSystem fs;
  const Bytes big = Pseudo(100000, 21);
  Entry e;
  e.name = "big.bin";
  e.data = big;
  fs.addFile("/a.zip", Build({e}));
  std::vector<std::string> log;
  Services s = Services::posix();
  s.fs = &fs;
  s.pumpEvents = [&] { log.push_back("pump"); };
  TUnZip z(s);
  z.OnProgress = [&](TUnBase&, uint8_t byFile, uint8_t) { log.push_back(std::to_string(byFile) + "%"); };
  z.SetArchiveFile("/a.zip");
  z.SetExtractDir("/o");
  z.FileSpec = {"*.*"};
  EXPECT_EQ(z.Extract(), 1);
  EXPECT_EQ(fs.nodes().at("/o/big.bin").data, big);
  // 32768, 65536, 98304 and 100000 bytes written
  EXPECT_EQ(log, (std::vector<std::string>{"33%", "pump", "66%", "pump", "98%", "pump", "100%", "pump"}));
}

TEST(UnZipMethods, SplitSetsWithCompressedEntriesCrossingVolumes) {
  if (!HaveTool("zip")) GTEST_SKIP() << "zip not installed";
  std::string t = TempDir("splitz");
  std::string text;
  uint32_t x = 5;
  for (int i = 0; i < 60000; ++i) {
    x = x * 1103515245 + 12345;
    text += "row " + std::to_string(i) + " value " + std::to_string(x % 100000) + "\n";
  }
  WriteFile(t + "in/big.txt", Text(text));
  for (const char* method : {"-Z deflate", "-Z bzip2"}) {
    SCOPED_TRACE(method);
    std::string set = t + (method[3] == 'd' ? "d" : "b") + "set.zip";
    ASSERT_EQ(Shell("cd '" + t + "in' && zip -q -X " + method + " -s 64k '" + set + "' big.txt"), 0);
    TUnZip z;
    int volumes = 0;
    z.OnNextVolume = [&](TUnBase&, std::string&, int32_t, bool exists, bool&) {
      EXPECT_TRUE(exists);
      ++volumes;
    };
    z.SetArchiveFile(set);
    EXPECT_EQ(z.ArcType(), TArcType::atZipMV);
    z.SetExtractDir(t + "out" + (method[3] == 'd' ? "d" : "b"));
    z.FileSpec = {"*.*"};
    EXPECT_EQ(z.Extract(), 1);
    EXPECT_GE(volumes, 2);
    EXPECT_EQ(ReadFile(z.ExtractDir() + "big.txt"), Text(text));
  }
}

namespace {
// A stand-in for the AES entry layout: the verifier is (password length, first salt byte), the
// data is XOR 0x3C, and the authentication code is ten 'M' bytes.
class FakeAes : public AesDecrypter {
public:
  bool Init(std::string_view pw, int strength, const uint8_t* salt, const uint8_t* verifier) override {
    return strength == 3 && verifier[0] == pw.size() && verifier[1] == salt[0];
  }
  void Decrypt(uint8_t* p, size_t n) override {
    for (size_t i = 0; i < n; ++i) p[i] ^= 0x3C;
  }
  bool Verify(const uint8_t* code) override { return std::all_of(code, code + 10, [](uint8_t c) { return c == 'M'; }); }
};

Entry AesEntry(const std::string& name, const std::string& text, const std::string& pw, int version, bool goodCode) {
  Entry e = E(name, text);
  e.method = 99;
  e.flags = 1;
  Bytes extra = {0x01, 0x99, 7, 0, static_cast<uint8_t>(version), 0, 'A', 'E', 3, 0, 0};
  e.localExtra = extra;
  e.centralExtra = extra;
  Bytes packed(16, 0x11);
  packed.push_back(static_cast<uint8_t>(pw.size()));
  packed.push_back(0x11);
  for (char c : text) packed.push_back(static_cast<uint8_t>(c) ^ 0x3C);
  for (int i = 0; i < 10; ++i) packed.push_back(goodCode ? 'M' : 'X');
  e.rawPacked = packed;
  if (version == 2) e.crcOverride = 0;
  return e;
}
}  // namespace

TEST(UnZipPassword, AesEntriesThroughTheDecrypterInterface) {
  std::string t = TempDir("aes");
  WriteFile(t + "a.zip", Build({AesEntry("ae2.txt", "aes two", "pass", 2, true),
                                AesEntry("bad.txt", "tampered", "pass", 2, false),
                                AesEntry("ae1.txt", "aes one keeps its crc", "pass", 1, true)}));
  TUnZip z;
  z.Ciphers.aes = [] { return std::make_unique<FakeAes>(); };
  z.Passwords = {"nope", "pass"};
  Errors err;
  err.attach(z);
  EXPECT_EQ(FourSteps(z, t + "a.zip", t + "o", "*.*"), 2);
  EXPECT_EQ(ReadFile(t + "o/ae2.txt"), Text("aes two"));
  EXPECT_EQ(ReadFile(t + "o/ae1.txt"), Text("aes one keeps its crc"));
  EXPECT_EQ(err.count(E_CrcFail), 1);
  EXPECT_EQ(err.files[0], t + "o/bad.txt");
}

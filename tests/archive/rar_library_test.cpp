// RAR extraction through the outside library: without it (the fixed report), and with the
// test stand-in of the library (files, masks, names, passwords, CRC check, cancel, volumes).
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "archive/arcUnRar.h"
#include "foldfs.h"
#include "platform/codepage.h"
#include "zipbuild.h"

using namespace arc;
using namespace ziptest;

namespace {

struct RarFile {
  std::string name;
  Bytes data;
  uint8_t host = 2;
  uint32_t attr = 0x20;
  std::u16string unicodeName;  // stored in the Unicode form when not empty
  bool directory = false;
  uint16_t extraFlags = 0;     // 0x02 continued on the next volume, 0x04 encrypted
  int64_t crcOverride = -1;
};

RarFile RF(const std::string& name, const Bytes& data, uint8_t host = 2, uint32_t attr = 0x20) {
  RarFile f;
  f.name = name;
  f.data = data;
  f.host = host;
  f.attr = attr;
  return f;
}
RarFile With(RarFile f, const std::function<void(RarFile&)>& change) {
  change(f);
  return f;
}

Bytes Header(uint8_t type, uint16_t flags, const Bytes& body, const Bytes& add = {}) {
  Bytes core;
  core.push_back(type);
  Put16(core, flags);
  Put16(core, static_cast<uint16_t>(7 + body.size()));
  core.insert(core.end(), body.begin(), body.end());
  Bytes out;
  Put16(out, static_cast<uint16_t>(Crc(core) & 0xFFFF));
  out.insert(out.end(), core.begin(), core.end());
  out.insert(out.end(), add.begin(), add.end());
  return out;
}

Bytes EncodeUnicode(const std::u16string& w, const std::string& ascii) {
  Bytes out(ascii.begin(), ascii.end());
  out.push_back(0);
  const uint8_t high = 0x04;
  out.push_back(high);
  std::vector<std::pair<int, Bytes>> ops;
  for (char16_t c : w) {
    if (c < 256)
      ops.push_back({0, {static_cast<uint8_t>(c)}});
    else if ((c >> 8) == high)
      ops.push_back({1, {static_cast<uint8_t>(c & 0xFF)}});
    else
      ops.push_back({2, {static_cast<uint8_t>(c & 0xFF), static_cast<uint8_t>(c >> 8)}});
  }
  for (size_t i = 0; i < ops.size(); i += 4) {
    uint8_t flags = 0;
    for (size_t j = 0; j < 4 && i + j < ops.size(); ++j) flags |= static_cast<uint8_t>(ops[i + j].first << (6 - 2 * j));
    out.push_back(flags);
    for (size_t j = 0; j < 4 && i + j < ops.size(); ++j) out.insert(out.end(), ops[i + j].second.begin(), ops[i + j].second.end());
  }
  return out;
}

Bytes MakeRar(const std::vector<RarFile>& files) {
  Bytes out = Text("Rar!\x1a\x07");
  out.push_back(0);
  Bytes ah = Header(0x73, 0, Bytes(6, 0));
  out.insert(out.end(), ah.begin(), ah.end());
  for (const auto& f : files) {
    uint16_t flags = static_cast<uint16_t>(0x8000 | f.extraFlags);
    if (f.directory) flags |= 0x00E0;
    Bytes nm(f.name.begin(), f.name.end());
    if (!f.unicodeName.empty()) {
      flags |= 0x0200;
      nm = EncodeUnicode(f.unicodeName, f.name);
    }
    Bytes data = f.data;
    if (f.extraFlags & 0x04)
      for (size_t i = 0; i < data.size(); ++i) data[i] ^= static_cast<uint8_t>("secret"[i % 6]);
    Bytes body;
    Put32(body, static_cast<uint32_t>(data.size()));
    Put32(body, static_cast<uint32_t>(f.data.size()));
    body.push_back(f.host);
    Put32(body, f.crcOverride >= 0 ? static_cast<uint32_t>(f.crcOverride) : Crc(f.data));
    Put32(body, 0x5A8A4943u);
    body.push_back(29);
    body.push_back(0x30);
    Put16(body, static_cast<uint16_t>(nm.size()));
    Put32(body, f.attr);
    body.insert(body.end(), nm.begin(), nm.end());
    Bytes h = Header(0x74, flags, body, data);
    out.insert(out.end(), h.begin(), h.end());
  }
  Bytes end = Header(0x7B, 0x4000, {});
  out.insert(out.end(), end.begin(), end.end());
  return out;
}

struct RarRun {
  int32_t extracted = 0;
  std::vector<int32_t> codes;
  std::vector<std::pair<std::string, bool>> ends;
};

RarRun RunRar(const std::string& archive, const std::string& out, const std::function<void(TUnRar&)>& tune = {}) {
  RarRun r;
  TUnRar u;
  u.OnError = [&](TUnBase&, const std::string&, const std::string&, const std::string&, int32_t c) {
    r.codes.push_back(c);
  };
  u.SetArchiveFile(archive);
  u.SetExtractDir(out);
  u.FileSpec = {"*.*"};
  if (tune) tune(u);
  r.extracted = u.Extract();
  return r;
}

class WithFakeLibrary : public ::testing::Test {
protected:
  void SetUp() override {
    FreeUnRarLibrary();
    ASSERT_TRUE(LoadUnRarLibrary(KESTA_FAKE_UNRAR));
  }
  void TearDown() override { FreeUnRarLibrary(); }
};

const Bytes kA = Text("hello rar\n");
Bytes BigB() {
  Bytes b;
  for (int i = 0; i < 300; ++i) {
    Bytes l = Text("second file " + std::to_string(i) + "\n");
    b.insert(b.end(), l.begin(), l.end());
  }
  return b;
}

}  // namespace

TEST(RarLibraryMissing, ExtractionReportsTheMissingLibraryAndWritesNothing) {
  FreeUnRarLibrary();
  EXPECT_FALSE(LoadUnRarLibrary("/nonexistent/libnothing.so"));
  EXPECT_FALSE(UnRarLibraryLoaded());
  std::string t = TempDir("rar_missing");
  WriteFile(t + "a.rar", MakeRar({RF("a.txt", kA)}));
  RarRun r = RunRar(t + "a.rar", t + "o/");
  EXPECT_EQ(r.extracted, 0);
  EXPECT_EQ(r.codes, (std::vector<int32_t>{E_UnrarMissing}));
  EXPECT_EQ(ErrorText(E_UnrarMissing), "Unrar?.dll not found");
  EXPECT_FALSE(FileExists(t + "o/a.txt"));
  // A library without the entry points is let go: still missing.
  FreeUnRarLibrary();
  EXPECT_FALSE(LoadUnRarLibrary("libm.so.6"));
  EXPECT_EQ(RunRar(t + "a.rar", t + "o/").codes, (std::vector<int32_t>{E_UnrarMissing}));
  FreeUnRarLibrary();
}

TEST(RarLibraryMissing, ResultCodesMapToTheirMessages) {
  const std::pair<int, int32_t> table[] = {{10, 25173}, {11, 25253}, {12, 25116}, {13, 25244}, {14, 25244},
                                           {15, 25235}, {16, 25136}, {19, 25136}, {17, 25142}, {18, 25236},
                                           {21, 25135}, {22, 26517}, {0, 0},      {20, 0},      {99, 0}};
  for (auto [result, code] : table) EXPECT_EQ(UnRarResultCode(result), code) << result;
}

TEST_F(WithFakeLibrary, ExtractsFilesFoldersAndNames) {
  std::string t = TempDir("rar_fake");
  WriteFile(t + "s.rar", MakeRar({RF("a.txt", kA),
                                  With(RF("dir", {}, 2, 0x10), [](RarFile& f) { f.directory = true; }),
                                  RF("dir\\b.txt", BigB()),
                                  With(RF("deep\\er", {}, 2, 0x10), [](RarFile& f) { f.directory = true; }),
                                  With(RF("____.txt", Text("cyrillic\n")),
                                       [](RarFile& f) { f.unicodeName = u"\u041f\u0440\u0438\u0432.txt"; }),
                                  RF("u.sh", Text("#!/bin/sh\n"), 3, 0100755)}));
  std::vector<std::pair<uint8_t, uint8_t>> progress;
  std::vector<std::string> ended;
  RarRun r = RunRar(t + "s.rar", t + "o/", [&](TUnRar& u) {
    u.CreateStoredDirs = true;
    u.OnProgress = [&](TUnBase&, uint8_t f, uint8_t a) { progress.push_back({f, a}); };
    u.OnEnd = [&](TUnBase&, const std::string& f, bool pass) {
      EXPECT_TRUE(pass) << f;
      ended.push_back(f);
    };
  });
  EXPECT_TRUE(r.codes.empty());
  EXPECT_EQ(r.extracted, 4);
  EXPECT_EQ(ReadFile(t + "o/a.txt"), kA);
  EXPECT_EQ(ReadFile(t + "o/dir/b.txt"), BigB());
  EXPECT_EQ(ReadFile(t + "o/\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2.txt"), Text("cyrillic\n"));
  EXPECT_EQ(ReadFile(t + "o/u.sh"), Text("#!/bin/sh\n"));
  EXPECT_EQ(ended.size(), 4u);
  EXPECT_TRUE(std::filesystem::is_directory(t + "o/deep/er"));
  ASSERT_FALSE(progress.empty());
  EXPECT_EQ(progress.back().first, 100);
  // Masks: only the text files of the top folder when folders are not recursed into.
  RarRun m = RunRar(t + "s.rar", t + "m/", [](TUnRar& u) {
    u.FileSpec = {"*.txt"};
    u.ExcludeSpec = {"a*"};
  });
  EXPECT_TRUE(FileExists(t + "m/dir/b.txt"));
  EXPECT_FALSE(FileExists(t + "m/a.txt"));
  EXPECT_FALSE(FileExists(t + "m/u.sh"));
  EXPECT_EQ(m.extracted, 2);
}

TEST_F(WithFakeLibrary, StoredCrcMismatchFailsTheFileCheck) {
  std::string t = TempDir("rar_crc");
  WriteFile(t + "c.rar", MakeRar({With(RF("bad.txt", kA), [](RarFile& f) { f.crcOverride = 0x12345678; }), RF("ok.txt", kA)}));
  RarRun r = RunRar(t + "c.rar", t + "o/");
  EXPECT_EQ(r.extracted, 1);
  EXPECT_EQ(r.codes, (std::vector<int32_t>{E_CrcFail}));
}

TEST_F(WithFakeLibrary, PasswordsThroughTheCallback) {
  std::string t = TempDir("rar_pw");
  WriteFile(t + "p.rar", MakeRar({With(RF("e.txt", BigB()), [](RarFile& f) { f.extraFlags = 0x04; })}));
  // No password event: reported as an invalid password, nothing extracted.
  RarRun none = RunRar(t + "p.rar", t + "o1/");
  EXPECT_EQ(none.extracted, 0);
  ASSERT_FALSE(none.codes.empty());
  EXPECT_EQ(none.codes.front(), E_InvalidPassword);
  auto event = [](std::string given, int* asked) {
    return [given, asked](TUnBase&, const std::string&, std::string& pw,
        TSeedKeyRecord&, TSeedKeyRecord&, bool& again) {
      ++*asked;
      pw = given;
      again = true;
    };
  };
  int asked = 0;
  RarRun ok = RunRar(t + "p.rar", t + "o2/", [&](TUnRar& u) { u.OnGetPassword = event("secret", &asked); });
  EXPECT_EQ(asked, 1);
  EXPECT_EQ(ok.extracted, 1);
  EXPECT_EQ(ReadFile(t + "o2/e.txt"), BigB());
  // The property is used without asking.
  asked = 0;
  RarRun prop = RunRar(t + "p.rar", t + "o3/", [&](TUnRar& u) {
    u.Password = "secret";
    u.OnGetPassword = event("x", &asked);
  });
  EXPECT_EQ(asked, 0);
  EXPECT_EQ(prop.extracted, 1);
  // A wrong password: the library's 22 is "Invalid password".
  RarRun bad = RunRar(t + "p.rar", t + "o4/", [&](TUnRar& u) { u.OnGetPassword = event("wrong", &asked); });
  EXPECT_EQ(bad.extracted, 0);
  EXPECT_EQ(bad.codes, (std::vector<int32_t>{E_InvalidPassword}));
  EXPECT_FALSE(FileExists(t + "o4/e.txt"));
  // One that does not fit the library's buffer is refused, not cut.
  RarRun longPw = RunRar(t + "p.rar", t + "o5/", [&](TUnRar& u) {
    u.Password = std::string(200, 's');
    u.OnGetPassword = event("x", &asked);
  });
  EXPECT_EQ(longPw.extracted, 0);
  EXPECT_EQ(longPw.codes, (std::vector<int32_t>{E_InvalidPassword}));
}

TEST_F(WithFakeLibrary, StoredFoldersGoToTheLibraryAsExtraction) {
  // What the stand-in was asked to do with each file since the last look.
  void* lib = dlopen(KESTA_FAKE_UNRAR, RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(lib, nullptr);
  auto operations = reinterpret_cast<const char* (*)()>(dlsym(lib, "FakeUnrarOperations"));
  ASSERT_NE(operations, nullptr);
  std::string t = TempDir("rar_dirs");
  auto folder = [](const std::string& name) {
    return With(RF(name, {}, 2, 0x10), [](RarFile& f) { f.directory = true; });
  };
  WriteFile(t + "d.rar", MakeRar({folder("docs"), RF("docs\\a.txt", kA), folder("skip")}));
  struct Case {
    bool createStoredDirs;
    const char* operations;  // 2 extract, 1 test
  } cases[] = {{true, "docs=2;docs\\a.txt=2;skip=1;"}, {false, "docs=1;docs\\a.txt=2;skip=1;"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.createStoredDirs);
    operations();
    const std::string out = t + (c.createStoredDirs ? "with/" : "without/");
    RarRun r = RunRar(t + "d.rar", out, [&](TUnRar& u) {
      u.CreateStoredDirs = c.createStoredDirs;
      u.ExcludeSpec = {"skip"};
    });
    EXPECT_EQ(operations(), std::string(c.operations));
    EXPECT_EQ(r.codes, std::vector<int32_t>{});
    EXPECT_EQ(r.extracted, 1);
    EXPECT_EQ(ReadFile(out + "docs/a.txt"), kA);
    EXPECT_FALSE(std::filesystem::exists(out + "skip"));
  }
  dlclose(lib);
}

TEST_F(WithFakeLibrary, NamesOutsideTheCodePageAndSecondFilesForOneOutputAreRefused) {
  std::string t = TempDir("rar_one_output");
  WriteFile(t + "n.rar", MakeRar({With(RF("__.txt", Text("one")), [](RarFile& f) { f.unicodeName = u"\u4e2d\u6587.txt"; }),
                                  With(RF("__.txt", Text("two")), [](RarFile& f) { f.unicodeName = u"\u65e5\u672c.txt"; }),
                                  RF("a.txt", Text("first")), RF("a.txt", Text("second")),
                                  RF("b.txt", Text("b"))}));
  std::vector<std::pair<std::string, bool>> ends;
  std::vector<std::string> reasons;
  RarRun r = RunRar(t + "n.rar", t + "o/", [&](TUnRar& u) {
    u.OnEnd = [&](TUnBase&, const std::string& f, bool pass) { ends.emplace_back(f, pass); };
    u.OnError = [&](TUnBase&, const std::string&, const std::string& x, const std::string&, int32_t c) {
      EXPECT_EQ(c, E_OpenError);
      reasons.push_back(x);
    };
  });
  EXPECT_EQ(r.extracted, 2);
  EXPECT_EQ(reasons, (std::vector<std::string>{"name outside the code page", "name outside the code page",
                                               "output of an earlier entry"}));
  ASSERT_EQ(ends.size(), 5u);
  EXPECT_EQ(ends[3], (std::pair<std::string, bool>{t + "o/a.txt", false}));
  EXPECT_EQ(ListTree(t + "o"), (std::vector<std::string>{"a.txt", "b.txt"}));
  EXPECT_EQ(ReadFile(t + "o/a.txt"), Text("first"));
}

TEST_F(WithFakeLibrary, OneFileUnderTwoNamesOnAFolderThatFoldsCase) {
  // The component sees the target through a file system that folds case: "VISIT.XML" is the
  // file "visit.xml" it has just extracted, and is refused rather than written over it.
  std::string t = TempDir("rar_fold");
  WriteFile(t + "f.rar", MakeRar({RF("visit.xml", Text("first")), RF("VISIT.XML", Text("second")),
                                  RF("other.xml", Text("other"))}));
  const std::string out = t + "o/";
  CaseFoldingFs fold(PosixFileSystem());
  Services s = Services::posix();
  s.fs = &fold;
  TUnRar u(s);
  std::vector<int32_t> codes;
  std::vector<std::string> files, reasons, log;
  u.OnError = [&](TUnBase&, const std::string& f, const std::string& x, const std::string&, int32_t c) {
    codes.push_back(c);
    files.push_back(f);
    reasons.push_back(x);
  };
  u.OnBegin = [&](TUnBase&, const std::string& f, int32_t, bool&) { log.push_back("begin " + f); };
  u.OnEnd = [&](TUnBase&, const std::string& f, bool pass) { log.push_back((pass ? "ok " : "failed ") + f); };
  u.SetArchiveFile(t + "f.rar");
  u.SetExtractDir(out);
  u.FileSpec = {"*.*"};
  EXPECT_EQ(u.Extract(), 2);
  EXPECT_EQ(codes, (std::vector<int32_t>{E_OpenError}));
  EXPECT_EQ(files, (std::vector<std::string>{out + "VISIT.XML"}));
  EXPECT_EQ(reasons, (std::vector<std::string>{"output of an earlier entry"}));
  EXPECT_EQ(log, (std::vector<std::string>{"begin " + out + "visit.xml", "ok " + out + "visit.xml",
                                           "begin " + out + "VISIT.XML", "failed " + out + "VISIT.XML",
                                           "begin " + out + "other.xml", "ok " + out + "other.xml"}));
  EXPECT_EQ(ListTree(out), (std::vector<std::string>{"other.xml", "visit.xml"}));
  EXPECT_EQ(ReadFile(out + "visit.xml"), Text("first"));
}

TEST_F(WithFakeLibrary, AFailedFileRemovesOnlyWhatTheRunWrote) {
  // The library fails on a file: before any data (no password, or the prompt refused) a file
  // the user had stays as it was; once data came the library has written over it, and what it
  // wrote is removed, as is a file that was not there before.
  std::string t = TempDir("rar_keep");
  WriteFile(t + "p.rar", MakeRar({With(RF("e.txt", BigB()), [](RarFile& f) { f.extraFlags = 0x04; })}));
  WriteFile(t + "c.rar", MakeRar({RF("e.txt", BigB())}));
  auto refuse = [](TUnBase&, const std::string&, std::string&, TSeedKeyRecord&, TSeedKeyRecord&, bool& again) {
    again = false;
  };
  auto cancelOnData = [](TUnBase& b, uint8_t, uint8_t) { b.SetCancel(); };
  struct Case {
    const char* name;
    const char* archive;
    bool existed;
    bool kept;  // the user's file is there, unchanged
    std::function<void(TUnRar&)> tune;
  } cases[] = {
      {"no password event, a file there", "p.rar", true, true, {}},
      {"password refused, a file there", "p.rar", true, true, [&](TUnRar& u) { u.OnGetPassword = refuse; }},
      {"no password event, nothing there", "p.rar", false, false, {}},
      {"cancelled during the data, a file there", "c.rar", true, false,
       [&](TUnRar& u) { u.OnProgress = cancelOnData; }},
      {"cancelled during the data, nothing there", "c.rar", false, false,
       [&](TUnRar& u) { u.OnProgress = cancelOnData; }},
  };
  int i = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string out = t + std::to_string(i++) + "/";
    std::filesystem::create_directories(out);
    if (c.existed) {
      WriteFile(out + "e.txt", Text("the user's own"));
      ::chmod((out + "e.txt").c_str(), 0444);
    }
    RarRun r = RunRar(t + c.archive, out, c.tune);
    EXPECT_EQ(r.extracted, 0);
    EXPECT_EQ(FileExists(out + "e.txt"), c.kept);
    if (c.kept) {
      EXPECT_EQ(ReadFile(out + "e.txt"), Text("the user's own"));
      struct stat st;
      ASSERT_EQ(::stat((out + "e.txt").c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 0777, 0444u);
    }
  }
}

TEST_F(WithFakeLibrary, OnFileExistsIsAskedAgainAboutAnExistingNewName) {
  // The handler names "b.txt", which exists: it is asked about that one in turn, and only the
  // name it settles on is replaced; one that keeps naming existing files replaces nothing.
  struct Case {
    const char* name;
    bool settles;  // the second answer keeps the named file (empty NewFileName)
    int asked;
    const char* b;
  } cases[] = {{"settles on b.txt", true, 2, "new"}, {"never settles", false, 100, "old b"}};
  std::string t = TempDir("rar_exists");
  WriteFile(t + "a.rar", MakeRar({RF("a.txt", Text("new"))}));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string out = t + (c.settles ? "s/" : "n/");
    WriteFile(out + "a.txt", Text("old a"));
    WriteFile(out + "b.txt", Text("old b"));
    std::vector<std::string> asked;
    RarRun r = RunRar(t + "a.rar", out, [&](TUnRar& u) {
      u.ConfirmOverwrites = true;
      u.OnFileExists = [&](TUnBase&, const std::string& f, std::string& nn, TOverwriteMode&) {
        asked.push_back(f);
        if (!c.settles || asked.size() == 1) nn = "b.txt";
      };
    });
    EXPECT_EQ(asked.size(), static_cast<size_t>(c.asked));
    EXPECT_EQ(asked[0], out + "a.txt");
    EXPECT_EQ(asked.back(), out + (c.asked > 1 ? "b.txt" : "a.txt"));
    EXPECT_EQ(r.extracted, c.settles ? 1 : 0);
    EXPECT_EQ(ReadFile(out + "a.txt"), Text("old a"));
    EXPECT_EQ(ReadFile(out + "b.txt"), Text(c.b));
  }
}

TEST_F(WithFakeLibrary, CancelDuringAFileEndsTheLoop) {
  std::string t = TempDir("rar_cancel");
  WriteFile(t + "c.rar", MakeRar({RF("a.txt", BigB()), RF("b.txt", BigB())}));
  int calls = 0;
  RarRun r = RunRar(t + "c.rar", t + "o/", [&](TUnRar& u) {
    u.OnProgress = [&](TUnBase& b, uint8_t, uint8_t) {
      if (++calls == 2) b.SetCancel();
    };
  });
  EXPECT_EQ(r.extracted, 0);
  EXPECT_TRUE(r.codes.empty());
  EXPECT_FALSE(FileExists(t + "o/b.txt"));
}

TEST_F(WithFakeLibrary, MissingNextVolumeStopsWithTheFinalProgress) {
  std::string t = TempDir("rar_vol");
  WriteFile(t + "v.rar", MakeRar({RF("first.txt", kA), With(RF("split.txt", kA), [](RarFile& f) { f.extraFlags = 0x02; }),
                                 RF("later.txt", kA)}));
  std::vector<std::pair<uint8_t, uint8_t>> progress;
  RarRun r = RunRar(t + "v.rar", t + "o/", [&](TUnRar& u) {
    u.OnProgress = [&](TUnBase&, uint8_t f, uint8_t a) { progress.push_back({f, a}); };
  });
  EXPECT_EQ(r.extracted, 1);
  EXPECT_TRUE(FileExists(t + "o/first.txt"));
  EXPECT_FALSE(FileExists(t + "o/later.txt"));
  ASSERT_FALSE(progress.empty());
  EXPECT_EQ(progress.back(), (std::pair<uint8_t, uint8_t>{100, 100}));
}

TEST_F(WithFakeLibrary, UnsafeNamesAndBrokenArchives) {
  std::string t = TempDir("rar_unsafe");
  WriteFile(t + "u.rar", MakeRar({RF("..\\evil.txt", kA), RF("ok.txt", kA)}));
  RarRun r = RunRar(t + "u.rar", t + "box/o/");
  EXPECT_EQ(r.extracted, 1);
  EXPECT_EQ(r.codes, (std::vector<int32_t>{E_OpenError}));
  EXPECT_FALSE(FileExists(t + "box/evil.txt"));
  EXPECT_FALSE(FileExists(t + "evil.txt"));
  // A block that runs past the end of the file: the library refuses to open it.
  Bytes broken = MakeRar({RF("a.txt", BigB())});
  broken.resize(broken.size() - 500);
  WriteFile(t + "bad.rar", broken);
  RarRun b = RunRar(t + "bad.rar", t + "o2/");
  EXPECT_EQ(b.extracted, 0);
  EXPECT_EQ(b.codes, (std::vector<int32_t>{E_InvalidArcType}));
}

TEST(RarSizeTable, KeepsHighHalvesAndNamesInOrder) {
  THighFileSizes t;
  t.Add("a", 0x0000000500000010ull);
  t.Add("", 0x10ull);
  EXPECT_EQ(t.Count(), 2u);
  EXPECT_EQ(t.HighSize(0), 5u);
  EXPECT_EQ(t.HighSize(1), 0u);
  EXPECT_EQ(t.Name(0), "a");
  EXPECT_EQ(t.Name(1), "");
  EXPECT_EQ(t.HighSize(7), 0u);  // beyond the table
  EXPECT_EQ(t.Name(7), "");
  t.Clear();
  EXPECT_EQ(t.Count(), 0u);
}

// Memo files: dBase III and IV ".dbt" and FoxPro ".fpt", read through the table.
#include <gtest/gtest.h>

#include "dbf_builder.h"
#include "xbase/xb_cnst.h"
#include "xbase/xb_dbf.h"
#include "xbase/xb_memo.h"

using namespace xb;
using namespace xbt;

namespace {
std::vector<FieldSpec> memoFields() { return {{"NAME", 'C', 20}, {"NOTE", 'M', 10}}; }
void table(const std::string& path, uint8_t version, const std::vector<uint32_t>& blocks, uint8_t flags = 0) {
  DbfBuilder b(version, memoFields());
  b.flags(flags);
  for (size_t i = 0; i < blocks.size(); ++i) b.record(false, {"R" + std::to_string(i), N(blocks[i], 10)});
  b.write(path);
}
std::string errorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const platform::Exception& e) {
    return std::string(e.className()) + ": " + e.what();
  }
  return "no error";
}
}  // namespace

TEST(MemoDbase3, ReadsAndRewrites) {
  TempDir t;
  MemoImage m = Dbt3({std::string(510, 'x'), std::string(511, 'y')});
  EXPECT_EQ(m.blocks, (std::vector<uint32_t>{1, 2}));
  WriteFile(t.file("T.dbt"), m.bytes);
  table(t.file("T.DBF"), 0x83, {1, 2, 0});
  XBO_dBaseFld f(t.file("T.DBF"), true, true, "");
  f.GoTo(1);
  EXPECT_EQ(f.MemoRead(2), std::string(510, 'x'));
  f.GoTo(2);
  EXPECT_EQ(f.MemoLength(2), 511u);
  f.GoTo(3);
  EXPECT_EQ(f.MemoRead(2), "");
  // A text that still fits keeps its block; a longer one moves to the end (next free 4).
  f.GoTo(1);
  f.MemoWrite(2, std::string(300, 'a'));
  EXPECT_EQ(f.MemoBlock(2), 1u);
  f.MemoWrite(2, std::string(600, 'b'));
  EXPECT_EQ(f.MemoBlock(2), 4u);
  EXPECT_EQ(f.MemoRead(2), std::string(600, 'b'));
  f.PutRecord(1);
  XBO_dBaseFld g(t.file("T.DBF"), false, true, "");
  g.GoTo(1);
  EXPECT_EQ(g.StringGet(2), std::string(600, 'b'));
}

TEST(MemoDbase3, UnterminatedTextReadsToEndOfFile) {
  TempDir t;
  std::string bytes = Dbt3({}).bytes + "tail without end";
  WriteFile(t.file("u.dbt"), bytes);
  table(t.file("u.dbf"), 0x83, {1});
  XBO_dBaseFld f(t.file("u.dbf"), false, true, "");
  f.GoTo(1);
  EXPECT_EQ(f.MemoRead(2), "tail without end");
}

TEST(MemoDbase3, BlockZeroNeedsNoFile) {
  TempDir t;
  table(t.file("z.dbf"), 0x83, {0});   // no memo file at all
  XBO_dBaseFld f(t.file("z.dbf"), false, true, "");
  f.GoTo(1);
  EXPECT_EQ(f.MemoRead(2), "");
  EXPECT_EQ(f.StringGet(2), "");
}

TEST(MemoDbase3, BlockBeyondFileAndMissingFile) {
  TempDir t;
  WriteFile(t.file("b.dbt"), Dbt3({"abc"}).bytes);
  table(t.file("b.dbf"), 0x83, {99});
  XBO_dBaseFld f(t.file("b.dbf"), false, true, "");
  f.GoTo(1);
  EXPECT_EQ(errorOf([&] { f.MemoRead(2); }), "EXBaseError: Memo record is bad in " + t.file("b.dbt"));
  table(t.file("m.dbf"), 0x83, {1});
  XBO_dBaseFld g(t.file("m.dbf"), false, true, "");
  g.GoTo(1);
  EXPECT_EQ(errorOf([&] { g.MemoRead(2); }), "EXBaseError: File " + t.file("m.dbt") + " could not be found");
}

TEST(MemoDbase4, ReadReleaseReuseAndSplit) {
  TempDir t;
  MemoImage m = Dbt4({"memo one", std::string(600, 'z')});
  WriteFile(t.file("T.DBT"), m.bytes);
  table(t.file("t.dbf"), 0x8B, {m.blocks[0], m.blocks[1]});
  XBO_dBaseFld f(t.file("t.dbf"), true, true, "");
  f.GoTo(1);
  EXPECT_EQ(f.MemoRead(2), "memo one");
  f.GoTo(2);
  EXPECT_EQ(f.MemoRead(2), std::string(600, 'z'));
  // Rewriting record 2 (two blocks) releases its run; a text of one block then
  // takes the front of that run and leaves the rest on the free list.
  uint32_t old = f.MemoBlock(2);
  f.MemoWrite(2, std::string(2000, 'q'));   // 4 blocks: no fit, goes to the end
  EXPECT_NE(f.MemoBlock(2), old);
  f.PutRecord(2);
  f.GoTo(1);
  f.MemoWrite(2, "short");   // releases block 1, first fit takes block 1 again
  EXPECT_EQ(f.MemoBlock(2), 1u);
  f.PutRecord(1);
  XBO_dBaseFld g(t.file("t.dbf"), true, true, "");
  g.GoTo(1);
  g.MemoWrite(2, "also short");
  EXPECT_EQ(g.MemoBlock(2), 1u);
  EXPECT_EQ(g.MemoRead(2), "also short");
  // Split: a one-block text into the released two-block run 2; the remainder
  // (block 3, one block) heads the free list. The list's last link named the end of the
  // file (block 4) when run 2 was released; the four blocks taken there moved it to the
  // new end (block 8), so it never names record 2's text.
  g.FieldPut(2, "0");
  g.MemoWrite(2, "split");
  EXPECT_EQ(g.MemoBlock(2), 2u);
  std::string bytes = ReadFile(t.file("T.DBT"));
  EXPECT_EQ(bytes.substr(0, 4), LE32(3));
  EXPECT_EQ(bytes.substr(3 * 512, 8), LE32(8) + LE32(1));
  // Neither the one-block remainder nor the list's end is the text at block 4.
  g.FieldPut(2, "0");
  g.MemoWrite(2, std::string(1200, 'w'));
  EXPECT_EQ(g.MemoBlock(2), 8u);
  g.GoTo(2);
  EXPECT_EQ(g.MemoRead(2), std::string(2000, 'q'));
}

// A free list that names a live text, or a run that passes the end of the file (a damaged
// file, or one written before the list's end was kept at the file's end), is never written
// over: the text goes at the end and the link the walk stopped at names the new end.
TEST(MemoDbase4, DamagedFreeListNeverHandsOutALiveText) {
  struct Case {
    const char* name;
    std::vector<std::pair<size_t, std::string>> patches;   // offset, bytes
    size_t text;                                           // length of the text written
    size_t link;                                           // offset of the link that must name the end
  };
  const Case cases[] = {
      {"header names a live text", {{0, LE32(2)}}, 5, 0},
      {"run's next names a live text", {{0, LE32(3)}, {3 * 512, LE32(1) + LE32(1)}}, 900, 3 * 512},
      {"run passes the end of the file", {{0, LE32(3)}, {3 * 512, LE32(4) + LE32(50)}}, 5, 0},
      {"run of no blocks", {{0, LE32(3)}, {3 * 512, LE32(4) + LE32(0)}}, 5, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir t;
    MemoImage m = Dbt4({"one", "two", "three"});
    ASSERT_EQ(m.blocks, (std::vector<uint32_t>{1, 2, 3}));
    std::string bytes = m.bytes;
    for (const auto& [at, v] : c.patches) bytes.replace(at, v.size(), v);
    WriteFile(t.file("d.dbt"), bytes);
    table(t.file("d.dbf"), 0x8B, {1, 2, 0});
    {
      XBO_dBaseFld f(t.file("d.dbf"), true, true, "");
      f.GoTo(3);
      f.MemoWrite(2, std::string(c.text, 'n'));
      EXPECT_EQ(f.MemoBlock(2), 4u);
      f.PutRecord(3);
    }
    XBO_dBaseFld g(t.file("d.dbf"), false, true, "");
    const char* want[] = {"one", "two"};
    for (int r = 1; r <= 2; ++r) {
      g.GoTo(r);
      EXPECT_EQ(g.MemoRead(2), want[r - 1]);
    }
    g.GoTo(3);
    EXPECT_EQ(g.MemoRead(2), std::string(c.text, 'n'));
    std::string now = ReadFile(t.file("d.dbt"));
    EXPECT_EQ(now.substr(c.link, 4), LE32(static_cast<uint32_t>(now.size() / 512)));
  }
}

TEST(MemoDbase4, BlockSizeReadFromTheHeader) {
  TempDir t;
  MemoImage m = Dbt4({std::string(700, 'a'), "second"}, 1024);
  ASSERT_EQ(m.blocks[1], 2u);   // the first text fits one 1024-byte block
  WriteFile(t.file("T.DBT"), m.bytes);
  table(t.file("t.dbf"), 0x8B, {m.blocks[0], m.blocks[1]});
  XBO_dBaseFld f(t.file("t.dbf"), true, true, "");
  f.GoTo(2);
  EXPECT_EQ(f.MemoRead(2), "second");
  f.GoTo(1);
  EXPECT_EQ(f.MemoRead(2), std::string(700, 'a'));
}

TEST(MemoDbase4, BadHeaderCyclicFreeListAndShortFile) {
  TempDir t;
  MemoImage m = Dbt4({"abc"});
  std::string bad = m.bytes;
  bad[512] = 'X';   // the used-block mark
  WriteFile(t.file("b.dbt"), bad);
  table(t.file("b.dbf"), 0x8B, {1});
  {
    XBO_dBaseFld f(t.file("b.dbf"), false, true, "");
    f.GoTo(1);
    EXPECT_EQ(errorOf([&] { f.MemoRead(2); }), "EXBaseError: Memo record is bad in " + t.file("b.dbt"));
  }
  // A free list 2 -> 3 -> 2 with runs too small for the text ends with an error.
  std::string cyc = Dbt4({"a", "b", "c"}).bytes;
  auto put = [&](size_t at, const std::string& v) { cyc.replace(at, v.size(), v); };
  put(0, LE32(2));
  put(2 * 512, LE32(3) + LE32(1));
  put(3 * 512, LE32(2) + LE32(1));
  WriteFile(t.file("c.dbt"), cyc);
  table(t.file("c.dbf"), 0x8B, {1});
  {
    XBO_dBaseFld f(t.file("c.dbf"), true, true, "");
    f.GoTo(1);
    EXPECT_EQ(errorOf([&] { f.MemoWrite(2, std::string(1500, 'x')); }),
              "EXBaseError: Memo record is bad in " + t.file("c.dbt"));
  }
  // A file shorter than one block opened read-only stays unchanged.
  std::string shortFile = Dbt4({}).bytes.substr(0, 24);
  WriteFile(t.file("s.dbt"), shortFile);
  table(t.file("s.dbf"), 0x8B, {0});
  {
    XBO_dBaseFld f(t.file("s.dbf"), false, true, "");
    ASSERT_NE(f.Memo(), nullptr);
  }
  EXPECT_EQ(ReadFile(t.file("s.dbt")), shortFile);
  {
    XBO_dBaseFld f(t.file("s.dbf"), true, true, "");
    f.Memo();
  }
  EXPECT_EQ(ReadFile(t.file("s.dbt")).size(), 512u);
}

TEST(MemoFoxPro, TypesBlockSizeAndBounds) {
  struct Case { uint32_t type; bool ok; };
  for (Case c : {Case{0, true}, Case{1, true}, Case{2, false}}) {
    TempDir t;
    MemoImage m = Fpt({"Привет"}, 64, {c.type});
    WriteFile(t.file("f.FPT"), m.bytes);
    table(t.file("f.dbf"), 0xF5, {m.blocks[0]});
    XBO_dBaseFld f(t.file("f.dbf"), false, true, "");
    f.GoTo(1);
    if (c.ok)
      EXPECT_EQ(f.MemoRead(2), "Привет");
    else
      EXPECT_EQ(errorOf([&] { f.MemoRead(2); }), "EXBaseError: Memo record is bad in " + t.file("f.FPT"));
  }
  TempDir t;
  MemoImage m = Fpt({"abc"}, 32);
  std::string bytes = m.bytes;
  bytes.replace(m.blocks[0] * 32 + 4, 4, BE32(100000));   // a length beyond the file
  WriteFile(t.file("g.fpt"), bytes);
  table(t.file("g.dbf"), 0xF5, {m.blocks[0]});
  XBO_dBaseFld f(t.file("g.dbf"), true, true, "");
  f.GoTo(1);
  EXPECT_EQ(f.Memo()->BlockSize, 32u);
  EXPECT_EQ(errorOf([&] { f.MemoRead(2); }), "EXBaseError: Memo record is bad in " + t.file("g.fpt"));
  // Rewriting goes to the next free block of the header.
  f.MemoWrite(2, "new text");
  EXPECT_EQ(f.MemoRead(2), "new text");
}

TEST(MemoFoxPro, VisualFoxProMemoOnlyWithFlag) {
  TempDir t;
  MemoImage m = Fpt({"vfp memo"});
  WriteFile(t.file("v.fpt"), m.bytes);
  DbfBuilder b(0x30, {{"NAME", 'C', 20}, {"NOTE", 'M', 4}});
  b.record(false, {"A", LE32(m.blocks[0])});
  b.flags(0x02).write(t.file("v.dbf"));
  XBO_dBaseFld f(t.file("v.dbf"), false, true, "");
  f.GoTo(1);
  EXPECT_EQ(f.MemoRead(2), "vfp memo");
  b.flags(0).write(t.file("w.dbf"));
  XBO_dBaseFld g(t.file("w.dbf"), false, true, "");
  g.GoTo(1);
  EXPECT_EQ(g.MemoRead(2), "");
}

TEST(MemoLock, HeldMemoLockMakesWriteFail) {
  TempDir t;
  WriteFile(t.file("k.dbt"), Dbt3({"abc"}).bytes);
  table(t.file("k.dbf"), 0x83, {1});
  XBO_DiskFile other(t.file("k.dbt"), true, true);
  other.Open();
  ASSERT_TRUE(other.LockRange(0x7FFFFFFD, 1));
  XBO_dBaseFld f(t.file("k.dbf"), true, true, "");
  f.GoTo(1);
  TxbLockRetry saved = xbLockRetry();
  xbLockRetry() = {20, 5};
  EXPECT_EQ(errorOf([&] { f.MemoWrite(2, "x"); }), "EXBaseError: Can not Lock file " + t.file("k.dbt"));
  xbLockRetry() = saved;
  other.Unlock();
  f.MemoWrite(2, "x");
  EXPECT_EQ(f.MemoRead(2), "x");
  EXPECT_EQ(f.Memo()->LockCount, 0);
}

TEST(MemoCreate, NewFilesFollowTheLayouts) {
  TempDir t;
  xbCreateMemoFile(t.file("n.dbt"), TxbMemoKind::DBase4, "N");
  table(t.file("n.dbf"), 0x8B, {0});
  XBO_dBaseFld f(t.file("n.dbf"), true, true, "");
  f.GoTo(1);
  f.MemoWrite(2, "hello");
  EXPECT_EQ(f.MemoBlock(2), 1u);
  EXPECT_EQ(f.MemoRead(2), "hello");
  xbCreateMemoFile(t.file("p.fpt"), TxbMemoKind::FoxPro, "P");
  table(t.file("p.dbf"), 0xF5, {0});
  XBO_dBaseFld g(t.file("p.dbf"), true, true, "");
  g.GoTo(1);
  g.MemoWrite(2, "fox");
  EXPECT_EQ(g.MemoBlock(2), 8u);
  EXPECT_EQ(g.MemoRead(2), "fox");
}

TEST(MemoRename, TableAndMemoMoveTogether) {
  TempDir t;
  WriteFile(t.file("OLD.dbt"), Dbt3({"abc"}).bytes);
  table(t.file("OLD.DBF"), 0x83, {1});
  XBO_dBaseFld f(t.file("OLD.DBF"), true, false, "");
  f.GoTo(1);
  EXPECT_EQ(f.MemoRead(2), "abc");
  f.Rename(t.file("NEWNAME.DBF"));
  EXPECT_EQ(f.FileName, t.file("NEWNAME.DBF"));
  EXPECT_EQ(f.Memo()->FileName, t.file("NEWNAME.dbt"));
  std::string memo = ReadFile(t.file("NEWNAME.dbt"));
  EXPECT_EQ(memo.substr(8, 9), std::string("NEWNAME\0\0", 9));
  f.GoTo(1);
  EXPECT_EQ(f.MemoRead(2), "abc");
}

TEST(MemoDbase4, BlockSizeZeroMeans512) {
  TempDir t;
  std::string bytes = Dbt4({"abc"}).bytes;
  bytes.replace(20, 4, LE32(0));
  WriteFile(t.file("z.dbt"), bytes);
  table(t.file("z.dbf"), 0x8B, {1});
  XBO_dBaseFld f(t.file("z.dbf"), false, true, "");
  f.GoTo(1);
  EXPECT_EQ(f.Memo()->BlockSize, 512u);
  EXPECT_EQ(f.MemoRead(2), "abc");
}

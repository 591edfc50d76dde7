// NTX and NDX index files: built here and read back, read by the Perl xBase module,
// hand-made fixtures read here, seeks, ranges, updates and damaged files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "tests/xbase/idx_helpers.h"
#include "xbase/xb_cnst.h"
#include "xbase/xb_ndx.h"
#include "xbase/xb_ntx.h"

using namespace xb;
using namespace xbt;

namespace {

const std::vector<int32_t> ByName = {7, 8, 3, 5, 2, 1, 6, 4};   // AB ABC ADAMS BROWN JONES SMITH ZED smith
const std::vector<int32_t> ByAmount = {2, 3, 6, 8, 4, 7, 1, 5};  // -12.75 -12.5 -5 -0.5 0 3.25 12.5 100

class IndexTest : public ::testing::Test {
protected:
  void SetUp() override {
    writePeople(t.file("p.dbf"), samplePeople());
    xbLockRetry() = {100, 10};
  }
  void TearDown() override { xbLockRetry() = {}; }
  std::string table() { return t.file("p.dbf"); }
  TempDir t;
};

std::vector<std::string> perlKeys(const std::vector<std::string>& lines, std::vector<int32_t>* recs) {
  std::vector<std::string> keys;
  for (const std::string& l : lines) {
    size_t bar = l.rfind('|');
    if (bar == std::string::npos) {
      keys.push_back(l);
      continue;
    }
    std::string k = l.substr(0, bar);
    while (!k.empty() && k.back() == ' ') k.pop_back();
    keys.push_back(k);
    if (recs) recs->push_back(std::stoi(l.substr(bar + 1)));
  }
  return keys;
}

// A hand-made NTX file of key length 10 from the published layout.
std::string ntxHeader(int kl, int dec, uint32_t root, const std::string& expr, uint16_t sig = 6) {
  int item, max, half;
  XBobjNTXFile::Geometry(kl, item, max, half);
  std::string h(1024, '\0');
  auto p16 = [&](size_t at, uint32_t v) { h[at] = static_cast<char>(v); h[at + 1] = static_cast<char>(v >> 8); };
  p16(0, sig);
  p16(2, 1);
  std::memcpy(h.data() + 4, LE32(root).data(), 4);
  p16(12, static_cast<uint32_t>(item));
  p16(14, static_cast<uint32_t>(kl));
  p16(16, static_cast<uint32_t>(dec));
  p16(18, static_cast<uint32_t>(max));
  p16(20, static_cast<uint32_t>(half));
  std::memcpy(h.data() + 22, expr.data(), expr.size());
  return h;
}
struct NtxItem {
  uint32_t child;
  uint32_t rec;
  std::string key;
};
std::string ntxPage(int kl, const std::vector<NtxItem>& items, uint32_t lastChild = 0) {
  int item, max, half;
  XBobjNTXFile::Geometry(kl, item, max, half);
  std::string p(1024, '\0');
  p[0] = static_cast<char>(items.size());
  for (int i = 0; i <= max; ++i) {
    uint32_t off = static_cast<uint32_t>(i * item + (max + 2) * 2);
    p[2 + 2 * i] = static_cast<char>(off);
    p[3 + 2 * i] = static_cast<char>(off >> 8);
  }
  auto slot = [&](size_t i) { return static_cast<size_t>(static_cast<uint8_t>(p[2 + 2 * i]) | (static_cast<uint8_t>(p[3 + 2 * i]) << 8)); };
  for (size_t i = 0; i < items.size(); ++i) {
    size_t o = slot(i);
    std::memcpy(p.data() + o, LE32(items[i].child).data(), 4);
    std::memcpy(p.data() + o + 4, LE32(items[i].rec).data(), 4);
    std::string k = items[i].key;
    k.resize(static_cast<size_t>(kl), ' ');
    std::memcpy(p.data() + o + 8, k.data(), k.size());
  }
  std::memcpy(p.data() + slot(items.size()), LE32(lastChild).data(), 4);
  return p;
}
// Two levels: root BROWN between a left and a right leaf.
std::string twoLevelNtx() {
  return ntxHeader(10, 0, 1024, "NAME") + ntxPage(10, {{2048, 5, "BROWN"}}, 3072) +
         ntxPage(10, {{0, 7, "AB"}, {0, 8, "ABC"}, {0, 3, "ADAMS"}}) +
         ntxPage(10, {{0, 2, "JONES"}, {0, 1, "SMITH"}, {0, 6, "ZED"}, {0, 4, "smith"}});
}

}  // namespace

TEST_F(IndexTest, NtxBuiltReadBackAndReadByPerl) {
  {
    XBO_dBHandler h(table(), true, false, "");
    XBobjNTXFile::CreateFile(h, t.file("NAME.NTX"), "NAME");
    XBobjNTXFile::CreateFile(h, t.file("AMT.NTX"), "AMT");
  }
  EXPECT_EQ(ReadFile(t.file("NAME.NTX")).size(), 2048u);
  XBO_dBHandler h(table(), false, true, "");
  ASSERT_EQ(h.OpenIndexes("NAME.NTX;AMT.NTX", "NAME"), 0);
  EXPECT_EQ(walk(h), ByName);
  std::vector<int32_t> back = ByName;
  std::reverse(back.begin(), back.end());
  EXPECT_EQ(walkBack(h), back);
  h.SelectTag("AMT", false);
  EXPECT_EQ(walk(h), ByAmount);

  bool ok;
  std::vector<int32_t> recs;
  std::vector<std::string> keys = perlKeys(perlReadIndex(t, t.file("NAME.NTX"), "", ok, "C"), &recs);
  if (!ok) GTEST_SKIP() << "perl with XBase::Index is missing";
  EXPECT_EQ(keys, (std::vector<std::string>{"AB", "ABC", "ADAMS", "BROWN", "JONES", "SMITH", "ZED", "smith"}));
  EXPECT_EQ(recs, ByName);
}

TEST_F(IndexTest, NtxNumericAndDateKeyForms) {
  XBO_dBHandler h(table(), true, false, "");
  auto amt = XBobjNTXFile::CreateFile(h, t.file("AMT.NTX"), "AMT");
  XBobjIndexTag& tag = *amt->TagByIndex(0);
  EXPECT_EQ(tag.KeyType, 'N');
  EXPECT_EQ(tag.KeyLength, 8);
  EXPECT_EQ(tag.Decimals, 2);
  TxbKeyValue v;
  v.type = 'N';
  v.number = -12.75;
  EXPECT_EQ(tag.MakeKey(v), ",,,+*.%'");   // 00012.75 mirrored
  v.number = 12.5;
  EXPECT_EQ(tag.MakeKey(v), "00012.50");
  XBobjNTXTag width5(*amt);
  width5.KeyType = 'N';
  width5.KeyLength = 5;
  v.number = -5;
  EXPECT_EQ(width5.MakeKey(v), ",,,,'");
  EXPECT_LT(width5.MakeKey(v), std::string("00000"));
  auto bd = XBobjNTXFile::CreateFile(h, t.file("BD.NTX"), "BD");
  XBobjIndexTag& dt = *bd->TagByIndex(0);
  EXPECT_EQ(dt.KeyType, 'D');
  v.type = 'D';
  v.julian = 0;
  EXPECT_EQ(dt.MakeKey(v), "00000000");
  // Empty dates first, then by date.
  std::vector<int32_t> recs;
  for (const TxbIndexEntry& e : dt.Entries()) recs.push_back(e.recNo);
  EXPECT_EQ(recs, (std::vector<int32_t>{2, 5, 8, 1, 7, 4, 6, 3}));
}

TEST_F(IndexTest, NtxGeometry) {
  int item, max, half;
  XBobjNTXFile::Geometry(10, item, max, half);
  EXPECT_EQ(item, 18);
  EXPECT_EQ(max, 50);
  EXPECT_EQ(half, 25);
}

TEST_F(IndexTest, HandMadeNtxIsRead) {
  WriteFile(t.file("NAME.NTX"), twoLevelNtx());
  XBO_dBHandler h(table(), false, true, "");
  ASSERT_EQ(h.OpenIndexes("NAME.NTX", "NAME"), 0);
  EXPECT_EQ(walk(h), ByName);
  EXPECT_TRUE(h.FindKey("SMI"));
  EXPECT_EQ(h.RecNo, 1);
  EXPECT_TRUE(h.FindKey("BROWN"));
  EXPECT_EQ(h.RecNo, 5);
  EXPECT_FALSE(h.FindKey("SMZ"));
}

TEST_F(IndexTest, SeekRangeAndUnique) {
  std::vector<PersonRow> rows = samplePeople();
  rows.push_back({"BROWN", 1, ""});   // record 9, equal key
  writePeople(table(), rows);
  {
    XBO_dBHandler h(table(), true, false, "");
    XBobjNTXFile::CreateFile(h, t.file("NAME.NTX"), "NAME");
    XBobjNTXFile::CreateFile(h, t.file("UNAME.NTX"), "NAME", true);
    XBobjNDXFile::CreateFile(h, t.file("NAME.NDX"), "NAME");
  }
  for (const char* file : {"NAME.NTX", "NAME.NDX"}) {
    XBO_dBHandler h(table(), false, true, "");
    ASSERT_EQ(h.OpenIndexes(file, "NAME"), 0);
    EXPECT_TRUE(h.FindKey("BROWN"));
    EXPECT_EQ(h.RecNo, 5) << file;   // the first of the equal keys
    h.GoTo(-1);
    EXPECT_EQ(h.RecNo, 9);
    ASSERT_TRUE(h.SetRange("B", "J", true));
    EXPECT_EQ(walk(h), (std::vector<int32_t>{5, 9, 2})) << file;
    ASSERT_TRUE(h.SetRange("AB", "AB", false));
    EXPECT_EQ(walk(h), (std::vector<int32_t>{7})) << file;
    h.ClearRange();
    EXPECT_EQ(walk(h).size(), 9u);
  }
  XBO_dBHandler h(table(), false, true, "");
  ASSERT_EQ(h.OpenIndexes("UNAME.NTX", "UNAME"), 0);
  EXPECT_EQ(walk(h), (std::vector<int32_t>{7, 8, 3, 5, 2, 1, 6, 4}));
}

TEST_F(IndexTest, ManyKeysMakeSeveralLevels) {
  std::vector<PersonRow> rows;
  for (int i = 0; i < 3000; ++i) rows.push_back({"K" + std::to_string((i * 7919) % 3000), double(i % 97) - 48, ""});
  writePeople(table(), rows);
  {
    XBO_dBHandler h(table(), true, false, "");
    XBobjNTXFile::CreateFile(h, t.file("NAME.NTX"), "NAME");
    XBobjNDXFile::CreateFile(h, t.file("NAME.NDX"), "NAME");
    XBobjNDXFile::CreateFile(h, t.file("AMT.NDX"), "AMT");
  }
  EXPECT_GT(ReadFile(t.file("NAME.NTX")).size(), 50u * 1024);
  std::vector<std::pair<std::string, int32_t>> want;
  for (size_t i = 0; i < rows.size(); ++i) want.push_back({rows[i].name, static_cast<int32_t>(i + 1)});
  std::stable_sort(want.begin(), want.end(), [](auto& a, auto& b) { return a.first < b.first; });
  std::vector<int32_t> wantRecs;
  std::vector<std::string> wantKeys;
  for (auto& w : want) {
    wantRecs.push_back(w.second);
    wantKeys.push_back(w.first);
  }
  for (const char* file : {"NAME.NTX", "NAME.NDX"}) {
    XBO_dBHandler h(table(), false, true, "");
    ASSERT_EQ(h.OpenIndexes(file, "NAME"), 0);
    EXPECT_EQ(walk(h), wantRecs) << file;
    for (int i : {0, 1, 777, 2999}) {
      EXPECT_TRUE(h.FindKey(rows[static_cast<size_t>(i)].name));
      EXPECT_EQ(h.RecNo, i + 1);
    }
    bool ok;
    std::vector<int32_t> recs;
    std::vector<std::string> keys = perlKeys(perlReadIndex(t, t.file(file), "", ok, "C"), &recs);
    if (!ok) continue;
    EXPECT_EQ(keys, wantKeys) << file;
    EXPECT_EQ(recs, wantRecs) << file;
  }
  XBO_dBHandler h(table(), false, true, "");
  ASSERT_EQ(h.OpenIndexes("AMT.NDX", "AMT"), 0);
  std::vector<int32_t> order = walk(h);
  ASSERT_EQ(order.size(), rows.size());
  for (size_t i = 1; i < order.size(); ++i)
    ASSERT_LE(rows[static_cast<size_t>(order[i - 1] - 1)].amount, rows[static_cast<size_t>(order[i] - 1)].amount);
  EXPECT_TRUE(h.FindKey("-48"));
  EXPECT_EQ(rows[static_cast<size_t>(h.RecNo - 1)].amount, -48);
}

TEST_F(IndexTest, AppendEditAndDeleteKeepTheIndexInStep) {
  for (const char* file : {"NAME.NTX", "NAME.NDX"}) {
    writePeople(table(), samplePeople());
    {
      XBO_dBHandler h(table(), true, false, "");
      if (std::string(file).ends_with("NTX"))
        XBobjNTXFile::CreateFile(h, t.file(file), "NAME");
      else
        XBobjNDXFile::CreateFile(h, t.file(file), "NAME");
    }
    {
      XBO_dBHandler h(table(), true, true, "");
      ASSERT_EQ(h.OpenIndexes(file, "NAME"), 0);
      h.BlankRecord();
      h.FieldPutByName("NAME", "AAA");
      h.Append();   // record 9
      h.GoTo(6);    // ZED becomes ACE
      h.FieldPutByName("NAME", "ACE");
      h.PutRecord(6);
      h.GoTo(1);
      h.DeleteRecord();   // SMITH stays in the index, hidden from the walk
      EXPECT_EQ(walk(h), (std::vector<int32_t>{9, 7, 8, 6, 3, 5, 2, 4})) << file;
    }
    XBO_dBHandler h(table(), false, true, "");
    ASSERT_EQ(h.OpenIndexes(file, "NAME"), 0);
    h.UseDeleted = true;
    EXPECT_EQ(walk(h), (std::vector<int32_t>{9, 7, 8, 6, 3, 5, 2, 1, 4})) << file;
    bool ok;
    std::vector<int32_t> recs;
    perlKeys(perlReadIndex(t, t.file(file), "", ok, "C"), &recs);
    if (ok) {
      EXPECT_EQ(recs, (std::vector<int32_t>{9, 7, 8, 6, 3, 5, 2, 1, 4})) << file;
    }
  }
}

TEST_F(IndexTest, NdxGeometryAndKeyKinds) {
  XBO_dBHandler h(table(), true, false, "");
  auto name = XBobjNDXFile::CreateFile(h, t.file("NAME.NDX"), "NAME");
  EXPECT_EQ(name->ItemSize(), 20);
  EXPECT_EQ(name->MaxKeys(), 25);
  auto amt = XBobjNDXFile::CreateFile(h, t.file("AMT.NDX"), "AMT");
  EXPECT_EQ(amt->ItemSize(), 20);
  std::string bytes = ReadFile(t.file("AMT.NDX"));
  EXPECT_EQ(static_cast<uint8_t>(bytes[12]), 8);   // key length 8 in the header
  EXPECT_EQ(static_cast<uint8_t>(bytes[16]), 1);   // numeric
  auto bd = XBobjNDXFile::CreateFile(h, t.file("BD.NDX"), "BD");
  std::vector<int32_t> recs;
  for (const TxbIndexEntry& e : bd->TagByIndex(0)->Entries()) recs.push_back(e.recNo);
  EXPECT_EQ(recs, (std::vector<int32_t>{8, 1, 7, 4, 6, 3, 2, 5}));   // empty dates last
  recs.clear();
  for (const TxbIndexEntry& e : amt->TagByIndex(0)->Entries()) recs.push_back(e.recNo);
  EXPECT_EQ(recs, ByAmount);
  amt.reset();
  bool ok;
  std::vector<int32_t> precs;
  std::vector<std::string> keys = perlKeys(perlReadIndex(t, t.file("AMT.NDX"), "", ok), &precs);
  if (!ok) GTEST_SKIP();
  EXPECT_EQ(precs, ByAmount);
  EXPECT_EQ(keys.front(), "-12.75");
}

TEST_F(IndexTest, HandMadeNumericNdxWithItemSize16IsReadAndUpdated) {
  std::string h(512, '\0');
  std::memcpy(h.data(), LE32(1).data(), 4);
  std::memcpy(h.data() + 4, LE32(2).data(), 4);
  h[12] = 8;
  h[14] = 31;
  h[16] = 1;
  h[18] = 16;
  std::memcpy(h.data() + 24, "AMT", 3);
  std::vector<std::pair<double, int>> an;
  std::vector<PersonRow> rows = samplePeople();
  for (size_t i = 0; i < rows.size(); ++i) an.push_back({rows[i].amount, static_cast<int>(i + 1)});
  std::sort(an.begin(), an.end());
  std::string b(512, '\0');
  b[0] = static_cast<char>(an.size());
  for (size_t i = 0; i < an.size(); ++i) {
    std::memcpy(b.data() + 4 + 16 * i + 4, LE32(static_cast<uint32_t>(an[i].second)).data(), 4);
    std::memcpy(b.data() + 4 + 16 * i + 8, Dbl(an[i].first).data(), 8);
  }
  WriteFile(t.file("AMT.NDX"), h + b);
  {
    XBO_dBHandler tb(table(), true, true, "");
    ASSERT_EQ(tb.OpenIndexes("AMT.NDX", "AMT"), 0);
    EXPECT_EQ(walk(tb), ByAmount);
    tb.BlankRecord();
    tb.NumberPutByName("AMT", -20);
    tb.Append();
  }
  std::string after = ReadFile(t.file("AMT.NDX"));
  EXPECT_EQ(static_cast<uint8_t>(after[18]), 16);
  EXPECT_EQ(static_cast<uint8_t>(after[14]), 31);
  XBO_dBHandler tb(table(), false, true, "");
  ASSERT_EQ(tb.OpenIndexes("AMT.NDX", "AMT"), 0);
  std::vector<int32_t> want = ByAmount;
  want.insert(want.begin(), 9);
  EXPECT_EQ(walk(tb), want);
}

TEST_F(IndexTest, DamagedNtxFilesAreRefusedWithTheFileName) {
  std::string good = twoLevelNtx();
  auto patch = [&](size_t at, const std::string& bytes) {
    std::string s = good;
    std::memcpy(s.data() + at, bytes.data(), bytes.size());
    return s;
  };
  struct Case {
    const char* what;
    std::string bytes;
  };
  std::vector<Case> cases = {
      {"short file", good.substr(0, 1500)},
      {"bad signature", patch(0, std::string("\x09\x00", 2))},
      {"root beyond the end", patch(4, LE32(1024 * 9))},
      {"root not on a page", patch(4, LE32(1000))},
      {"key length 0", patch(14, std::string("\0\0", 2))},
      {"item size not key + 8", patch(12, std::string("\x40\x00", 2))},
      {"count above the maximum", patch(1024, std::string("\x70\x00", 2))},
      {"item offset beyond the page", patch(1024 + 2, std::string("\xF0\x03", 2))},
      {"child points at its own page", patch(1024 + 104, LE32(1024))},
      {"child beyond the end", patch(1024 + 104, LE32(1024 * 40))},
      {"keys out of order", patch(2048 + 104 + 8, "ZZZZ")},
  };
  for (const Case& c : cases) {
    WriteFile(t.file("BAD.NTX"), c.bytes);
    XBO_dBHandler h(table(), false, true, "");
    std::string err = errorOf([&] { h.OpenIndexes("BAD.NTX", "BAD"); });
    EXPECT_NE(err.find("EXBaseError"), std::string::npos) << c.what << ": " << err;
    EXPECT_NE(err.find(t.file("BAD.NTX")), std::string::npos) << c.what << ": " << err;
  }
}

TEST_F(IndexTest, DamagedNdxFilesAreRefusedWithTheFileName) {
  {
    std::vector<PersonRow> rows;
    for (int i = 0; i < 100; ++i) rows.push_back({"N" + std::to_string(1000 + i), 0, ""});
    writePeople(table(), rows);
    XBO_dBHandler h(table(), true, false, "");
    XBobjNDXFile::CreateFile(h, t.file("GOOD.NDX"), "NAME");
  }
  std::string good = ReadFile(t.file("GOOD.NDX"));
  ASSERT_GE(good.size(), 512u * 6);
  uint32_t root = static_cast<uint8_t>(good[0]);
  auto patch = [&](size_t at, const std::string& bytes) {
    std::string s = good;
    std::memcpy(s.data() + at, bytes.data(), bytes.size());
    return s;
  };
  std::vector<std::pair<const char*, std::string>> cases = {
      {"root 0", patch(0, LE32(0))},
      {"root beyond the end", patch(0, LE32(500))},
      {"maximum too large", patch(14, std::string("\xFF\x00", 2))},
      // 65535 entries of 65535 bytes: a product past any int, still refused by the block size.
      {"maximum and entry size at their limits", patch(14, std::string("\xFF\xFF\x00\x00\xFF\xFF", 6))},
      {"count too large", patch(root * 512, std::string("\x60\x00", 2))},
      {"cycle to the root", patch(root * 512 + 4, LE32(root))},
      {"child beyond the end", patch(root * 512 + 4, LE32(9999))},
  };
  for (auto& [what, bytes] : cases) {
    WriteFile(t.file("BAD.NDX"), bytes);
    XBO_dBHandler h(table(), false, true, "");
    std::string err = errorOf([&] { h.OpenIndexes("BAD.NDX", "BAD"); });
    EXPECT_NE(err.find(t.file("BAD.NDX")), std::string::npos) << what << ": " << err;
  }
}

TEST_F(IndexTest, IndexLockRangesAndConflict) {
  EXPECT_EQ(XBobjIndexFile::IndexLockSpan(ClipLock), (TxbLockSpan{1000000000ull, 1}));
  EXPECT_EQ(XBobjIndexFile::IndexLockSpan(Default), (TxbLockSpan{0x7FFFFFFDull, 1}));
  EXPECT_EQ(XBobjIndexFile::IndexLockSpan(DB4Lock), (TxbLockSpan{0xEFFFFFFEull, 2}));
  {
    XBO_dBHandler h(table(), true, false, "");
    XBobjNTXFile::CreateFile(h, t.file("NAME.NTX"), "NAME");
  }
  XBO_dBHandler a(table(), true, true, ""), b(table(), true, true, "");
  auto fa = XBobjNTXFile::OpenFile(a, t.file("NAME.NTX"));
  auto fb = XBobjNTXFile::OpenFile(b, t.file("NAME.NTX"));
  fa->SetLockProtocol(ClipLock);
  fb->SetLockProtocol(ClipLock);
  ASSERT_TRUE(fa->Lock());
  std::string locks = ReadFile("/proc/locks");
  EXPECT_NE(locks.find(" 1000000000 1000000000"), std::string::npos) << locks;
  EXPECT_FALSE(fb->Lock());
  fa->Unlock();
  EXPECT_TRUE(fb->Lock());
  fb->Unlock();
}

TEST_F(IndexTest, ChangesByAnotherOpenAreSeenAfterTheLock) {
  {
    XBO_dBHandler h(table(), true, false, "");
    XBobjNTXFile::CreateFile(h, t.file("NAME.NTX"), "NAME");
  }
  XBO_dBHandler reader(table(), false, true, "");
  ASSERT_EQ(reader.OpenIndexes("NAME.NTX", "NAME"), 0);
  auto* rf = static_cast<XBobjNTXFile*>(reader.IndexFile(1));
  EXPECT_FALSE(rf->ChangedExternally());
  {
    XBO_dBHandler w(table(), true, true, "");
    ASSERT_EQ(w.OpenIndexes("NAME.NTX", "NAME"), 0);
    w.BlankRecord();
    w.FieldPutByName("NAME", "AAA");
    w.Append();
  }
  EXPECT_TRUE(rf->ChangedExternally());
  reader.RefreshHeader();
  ASSERT_TRUE(reader.LockIndexes());
  reader.UnlockIndexes();
  EXPECT_FALSE(rf->ChangedExternally());
  EXPECT_EQ(walk(reader).front(), 9);
}

TEST_F(IndexTest, ExpressionKeysAndForConditions) {
  {
    XBO_dBHandler h(table(), true, false, "");
    XBobjNTXFile::CreateFile(h, t.file("UP.NTX"), "UPPER(NAME)+DTOS(BD)");
    XBobjNTXFile::CreateFile(h, t.file("POS.NTX"), "NAME", false, "AMT > 0");
  }
  {
    XBO_dBHandler h(table(), true, true, "");
    ASSERT_EQ(h.OpenIndexes("UP.NTX;POS.NTX", "UP"), 0);
    // SMITH 19800101 before smith 19991231 once both are upper case.
    EXPECT_EQ(walk(h), (std::vector<int32_t>{7, 8, 3, 5, 2, 1, 4, 6}));
    EXPECT_TRUE(h.FindKey("SMITH     1999"));
    EXPECT_EQ(h.RecNo, 4);
    h.SelectTag("POS", false);
    EXPECT_EQ(walk(h), (std::vector<int32_t>{7, 5, 1}));   // AB 3.25, BROWN 100, SMITH 12.5
    // Record 5 no longer qualifies, record 2 now does; the same key stays untouched.
    h.GoTo(5);
    h.NumberPutByName("AMT", -1);
    h.PutRecord(5);
    h.GoTo(2);
    h.NumberPutByName("AMT", 1);
    h.PutRecord(2);
    EXPECT_EQ(walk(h), (std::vector<int32_t>{7, 2, 1}));
  }
  std::string before = ReadFile(t.file("POS.NTX"));
  {
    XBO_dBHandler h(table(), true, true, "");
    ASSERT_EQ(h.OpenIndexes("POS.NTX", "POS"), 0);
    h.GoTo(1);
    h.NumberPutByName("AMT", 13);   // still in, key unchanged
    h.PutRecord(1);
    EXPECT_EQ(walk(h), (std::vector<int32_t>{7, 2, 1}));
  }
  EXPECT_EQ(ReadFile(t.file("POS.NTX")), before);
  XBO_dBHandler h(table(), false, true, "");
  EXPECT_NE(errorOf([&] { XBobjNTXFile::CreateFile(h, t.file("X.NTX"), "NOFIELD+"); }).find("X.NTX"),
            std::string::npos);
}

TEST_F(IndexTest, NdxChangedByAnotherOpenIsReloaded) {
  {
    XBO_dBHandler h(table(), true, false, "");
    XBobjNDXFile::CreateFile(h, t.file("NAME.NDX"), "NAME");
  }
  XBO_dBHandler reader(table(), false, true, "");
  ASSERT_EQ(reader.OpenIndexes("NAME.NDX", "NAME"), 0);
  EXPECT_FALSE(reader.IndexFile(1) && static_cast<XBobjIndexFile*>(reader.IndexFile(1))->ChangedExternally());
  {
    XBO_dBHandler w(table(), true, true, "");
    ASSERT_EQ(w.OpenIndexes("NAME.NDX", "NAME"), 0);
    w.BlankRecord();
    w.FieldPutByName("NAME", "AAA");
    w.Append();
  }
  EXPECT_TRUE(static_cast<XBobjIndexFile*>(reader.IndexFile(1))->ChangedExternally());
  reader.RefreshHeader();
  ASSERT_TRUE(reader.LockIndexes());
  reader.UnlockIndexes();
  EXPECT_EQ(walk(reader).front(), 9);
}

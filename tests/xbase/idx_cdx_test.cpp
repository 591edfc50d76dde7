// CDX compound index files: tags built here and read back, read by the Perl xBase
// module, a hand-made file with another leaf layout, updates, descending tags, the
// GENERAL weights and damaged files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <random>
#include <set>

#include "tests/xbase/idx_helpers.h"
#include "xbase/xb_cdx.h"
#include "xbase/xb_cnst.h"

using namespace xb;
using namespace xbt;

namespace {

const std::vector<int32_t> ByName = {7, 8, 3, 5, 2, 1, 6, 4};
const std::vector<int32_t> ByAmount = {2, 3, 6, 8, 4, 7, 1, 5};

class CdxTest : public ::testing::Test {
protected:
  void SetUp() override { writePeople(t.file("p.dbf"), samplePeople()); }
  std::string table() { return t.file("p.dbf"); }
  void makeTags(const std::string& file) {
    XBO_dBHandler h(table(), true, false, "");
    auto f = XBobjCDXFile::CreateFile(h, file);
    f->TagCreate("NAME", "NAME");
    f->TagCreate("AMT", "AMT");
    f->TagCreate("BD", "BD");
    f->TagCreate("POS", "NAME", false, "AMT > 0");
    f->TagCreate("DNAME", "NAME", false, "", true);
  }
  TempDir t;
};

std::vector<int32_t> perlRecs(const std::vector<std::string>& lines) {
  std::vector<int32_t> out;
  for (const std::string& l : lines) {
    size_t bar = l.rfind('|');
    out.push_back(bar == std::string::npos ? -1 : std::stoi(l.substr(bar + 1)));
  }
  return out;
}

// Hand-made nodes from the published layout, with 4 bytes per leaf entry.
std::string handMadeCdx() {
  std::vector<std::pair<std::string, uint32_t>> names = {{"AB", 7}, {"ABC", 8}, {"ADAMS", 3}, {"BROWN", 5},
                                                         {"JONES", 2}, {"SMITH", 1}, {"ZED", 6}, {"smith", 4}};
  return cdxHeader(1024, 10, 0xE0, "") + cdxLeaf(10, {{"NAME", 1536}}, ' ', 4) + cdxHeader(2560, 10, 0x60, "NAME") +
         cdxLeaf(10, names, ' ', 4);
}

}  // namespace

TEST_F(CdxTest, TagsBuiltReadBackAndReadByPerl) {
  makeTags(t.file("p.cdx"));
  XBO_dBHandler h(table(), false, true, "");
  ASSERT_EQ(h.OpenIndexes("p.cdx", "NAME"), 0);
  EXPECT_EQ(h.TagCount(), 5);
  EXPECT_EQ(walk(h), ByName);
  h.SelectTag("AMT", false);
  EXPECT_EQ(walk(h), ByAmount);
  EXPECT_TRUE(h.FindKey("-0.5"));
  EXPECT_EQ(h.RecNo, 8);
  h.SelectTag("BD", false);
  EXPECT_EQ(walk(h), (std::vector<int32_t>{2, 5, 8, 1, 7, 4, 6, 3}));
  EXPECT_TRUE(h.FindKey("20000101"));
  EXPECT_EQ(h.RecNo, 6);
  h.SelectTag("POS", false);
  EXPECT_EQ(walk(h), (std::vector<int32_t>{7, 5, 1}));
  h.SelectTag("DNAME", false);
  std::vector<int32_t> back = ByName;
  std::reverse(back.begin(), back.end());
  EXPECT_EQ(walk(h), back);

  bool ok;
  std::vector<std::string> lines = perlReadIndex(t, t.file("p.cdx"), "NAME", ok, "C");
  if (!ok) GTEST_SKIP() << "perl with XBase::Index is missing";
  EXPECT_EQ(perlRecs(lines), ByName) << lines.front();
  EXPECT_EQ(lines.front(), "AB|7");
  EXPECT_EQ(perlRecs(perlReadIndex(t, t.file("p.cdx"), "AMT", ok, "N")), ByAmount);
  EXPECT_EQ(perlRecs(perlReadIndex(t, t.file("p.cdx"), "POS", ok, "C")), (std::vector<int32_t>{7, 5, 1}));
}

TEST_F(CdxTest, LeafLayoutOfABulkBuild) {
  for (int rows : {200, 300, 70000}) {
    std::vector<PersonRow> r;
    for (int i = 0; i < rows; ++i) r.push_back({"N" + std::to_string(i), 0, ""});
    writePeople(table(), r);
    makeTags(t.file("p.cdx"));
    XBO_dBHandler h(table(), false, true, "");
    auto f = XBobjCDXFile::OpenFile(h, t.file("p.cdx"));
    std::string bytes = ReadFile(t.file("p.cdx"));
    // The first leaf of tag NAME follows its header.
    size_t hdr = static_cast<size_t>(f->TagByName("NAME")->HeaderPos);
    const uint8_t* leaf = reinterpret_cast<const uint8_t*>(bytes.data()) + hdr + 1024;
    ASSERT_TRUE(leaf[0] & 2);
    EXPECT_EQ(leaf[21], 4) << rows;               // count bits of key length 10
    EXPECT_EQ(leaf[23], rows < 65536 ? 3 : 4);    // bytes per entry
    EXPECT_EQ(leaf[20], rows < 65536 ? 16 : 24);  // record number bits
    EXPECT_EQ(walk(h).size(), static_cast<size_t>(rows));
  }
}

TEST_F(CdxTest, ManyKeysSeekAndPerl) {
  std::vector<PersonRow> rows;
  for (int i = 0; i < 5000; ++i)
    rows.push_back({"P" + std::to_string((i * 7919) % 5000), double((i * 31) % 1000) - 500, ""});
  writePeople(table(), rows);
  makeTags(t.file("p.cdx"));
  std::vector<std::pair<std::string, int32_t>> want;
  for (size_t i = 0; i < rows.size(); ++i) want.push_back({rows[i].name, static_cast<int32_t>(i + 1)});
  std::sort(want.begin(), want.end());
  std::vector<int32_t> wantRecs;
  for (auto& w : want) wantRecs.push_back(w.second);
  XBO_dBHandler h(table(), false, true, "");
  ASSERT_EQ(h.OpenIndexes("p.cdx", "NAME"), 0);
  EXPECT_EQ(walk(h), wantRecs);
  for (int i : {0, 1, 2500, 4999}) {
    ASSERT_TRUE(h.FindKey(rows[static_cast<size_t>(i)].name));
    EXPECT_EQ(h.RecNo, i + 1);
  }
  h.SelectTag("AMT", false);
  std::vector<int32_t> order = walk(h);
  ASSERT_EQ(order.size(), rows.size());
  for (size_t i = 1; i < order.size(); ++i)
    ASSERT_LE(rows[static_cast<size_t>(order[i - 1] - 1)].amount, rows[static_cast<size_t>(order[i] - 1)].amount);
  bool ok;
  std::vector<std::string> lines = perlReadIndex(t, t.file("p.cdx"), "NAME", ok, "C");
  if (!ok) GTEST_SKIP();
  EXPECT_EQ(perlRecs(lines), wantRecs);
}

TEST_F(CdxTest, HandMadeFileWithFourByteEntriesIsRead) {
  WriteFile(t.file("p.cdx"), handMadeCdx());
  XBO_dBHandler h(table(), false, true, "");
  ASSERT_EQ(h.OpenIndexes("p.cdx", "NAME"), 0);
  EXPECT_EQ(walk(h), ByName);
  EXPECT_TRUE(h.FindKey("SMI"));
  EXPECT_EQ(h.RecNo, 1);
}

TEST_F(CdxTest, UpdatesTagCreateAndDelete) {
  makeTags(t.file("p.cdx"));
  {
    XBO_dBHandler h(table(), true, true, "");
    ASSERT_EQ(h.OpenIndexes("p.cdx", "NAME"), 0);
    auto* f = static_cast<XBobjCDXFile*>(h.IndexFile(1));
    uint32_t before = f->UpdateCount();
    h.BlankRecord();
    h.FieldPutByName("NAME", "AAA");
    h.NumberPutByName("AMT", 7);
    h.Append();   // 9
    h.GoTo(6);
    h.FieldPutByName("NAME", "ACE");
    h.PutRecord(6);
    EXPECT_GT(f->UpdateCount(), before);
    EXPECT_EQ(walk(h), (std::vector<int32_t>{9, 7, 8, 6, 3, 5, 2, 1, 4}));
  }
  XBO_dBHandler h(table(), true, false, "");
  ASSERT_EQ(h.OpenIndexes("p.cdx", "POS"), 0);
  EXPECT_EQ(walk(h), (std::vector<int32_t>{9, 7, 5, 1}));
  bool ok;
  std::vector<std::string> lines = perlReadIndex(t, t.file("p.cdx"), "NAME", ok, "C");
  if (ok) {
    EXPECT_EQ(perlRecs(lines), (std::vector<int32_t>{9, 7, 8, 6, 3, 5, 2, 1, 4}));
  }
  auto* f = static_cast<XBobjCDXFile*>(h.IndexFile(1));
  h.SelectTag("", false);
  EXPECT_TRUE(f->TagDelete("POS"));
  EXPECT_FALSE(f->TagDelete("POS"));
  EXPECT_EQ(f->TagCount(), 4);
  EXPECT_NE(errorOf([&] { f->TagCreate("ELEVENCHARS", "NAME"); }).find("ELEVENCHARS"), std::string::npos);
  h.CloseIndexes();
  h.Close();   // an exclusive open keeps every other open out
  XBO_dBHandler g(table(), false, true, "");
  ASSERT_EQ(g.OpenIndexes("p.cdx", ""), 0);
  EXPECT_EQ(g.TagCount(), 4);
  EXPECT_EQ(errorOf([&] { g.SelectTag("POS", false); }), "EXBaseError: Cannot find index tag POS");
}

TEST_F(CdxTest, GeneralWeights) {
  EXPECT_EQ(xbGeneralKey("a"), std::string("\x60"));
  EXPECT_EQ(xbGeneralKey("A"), std::string("\x60"));
  EXPECT_EQ(xbGeneralKey("\xE4"), std::string("\x60\xF4"));
  EXPECT_EQ(xbGeneralKey("\xC6"), std::string("\x60\x66"));
  // The expanded primary weights are 0, 6, 18 and 24: OE (0) and thorn (18) expand,
  // the sharp s (12) keeps its one weight; secondary weights follow all primary ones.
  EXPECT_EQ(xbGeneralKey("\x8C"), std::string("\x72\x66"));
  EXPECT_EQ(xbGeneralKey("\xDE"), std::string("\x77\x69"));
  EXPECT_EQ(xbGeneralKey("\xDF"), std::string("\x0C"));
  EXPECT_EQ(xbGeneralKey("\xDF\xE4"), std::string("\x0C\x60\xF0\xF0\xF4"));
  EXPECT_EQ(xbGeneralKey("a\xE4"), std::string("\x60\x60\xF0\xF4"));
  EXPECT_EQ(xbGeneralKey("\xE4\x61"), std::string("\x60\x60\xF4"));
  XBO_dBHandler h(table(), true, false, "");
  auto f = XBobjCDXFile::CreateFile(h, t.file("g.cdx"));
  XBobjIndexTag* tag = f->TagCreate("GNAME", "NAME", false, "", false, true);
  EXPECT_EQ(tag->KeyLength, 20);
  // SMITH and smith are equal under GENERAL: record order decides.
  std::vector<int32_t> recs;
  for (const TxbIndexEntry& e : tag->Entries()) recs.push_back(e.recNo);
  EXPECT_EQ(recs, (std::vector<int32_t>{7, 8, 3, 5, 2, 1, 4, 6}));
  f.reset();
  h.Close();   // an exclusive open keeps every other open out
  XBO_dBHandler g(table(), false, true, "");
  ASSERT_EQ(g.OpenIndexes("g.cdx", "GNAME"), 0);
  EXPECT_EQ(walk(g), recs);
  EXPECT_TRUE(g.FindKey("smi"));
  EXPECT_EQ(g.RecNo, 1);
}

namespace {
// Texts drawn to share prefixes and to differ in case, accents, expansions and
// punctuation; the sharp s (the one primary weight below 16) among them.
std::string generalText(std::mt19937& rng) {
  static const char* const pieces[] = {"a", "A", "b", "\xE4", "\xC4", "\xDF", "\xC6", "\x8C", "\xDE", "/", "!", "z",
                                       "\xE9", " ", "ab", "\xE4\x62"};
  std::string s;
  const int n = static_cast<int>(rng() % 6);
  for (int i = 0; i < n; ++i) s += pieces[rng() % std::size(pieces)];
  s.resize(std::min<size_t>(s.size(), 6));
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

// Checks a GENERAL tag against the keys the records give: the walk in key order (equal
// keys in record order), the keys as the tag holds them, every interior entry the last
// key and record of its child as it stands on disk, and a seek of every text.
// Returns the depth of the tree.
int checkGeneralTag(XBO_dBHandler& h, XBobjCDXFile& f, const std::vector<std::string>& names,
                    const std::string& file) {
  auto* tag = static_cast<XBobjCDXTag*>(f.TagByName("GNAME"));
  const size_t kl = static_cast<size_t>(tag->KeyLength);
  auto keyOf = [&](const std::string& text) {
    std::string k = xbGeneralKey(text);
    k.resize(kl, ' ');
    return k;
  };
  std::vector<TxbIndexEntry> want;
  for (size_t i = 0; i < names.size(); ++i) want.push_back({keyOf(names[i]), static_cast<int32_t>(i + 1)});
  std::stable_sort(want.begin(), want.end(), [](const TxbIndexEntry& a, const TxbIndexEntry& b) { return a.key < b.key; });
  std::vector<TxbIndexEntry> got = tag->Entries();
  EXPECT_EQ(got.size(), want.size());
  size_t bad = 0;
  for (size_t i = 0; i < std::min(got.size(), want.size()); ++i)
    if (got[i].key != want[i].key || got[i].recNo != want[i].recNo) ++bad;
  EXPECT_EQ(bad, 0u) << "entries out of the weights' order";
  std::vector<int32_t> recs;
  for (const TxbIndexEntry& e : want) recs.push_back(e.recNo);
  EXPECT_EQ(walk(h), recs);
  const std::string bytes = ReadFile(file);
  std::function<int(uint32_t, std::string&, int32_t&)> node = [&](uint32_t addr, std::string& lastKey,
                                                                   int32_t& lastRec) -> int {
    XBobjIndexKey p(addr, kl, false);
    tag->PageRead(p);
    if (p.Count() == 0) return 1;
    lastKey = std::string(p.Key(p.Count() - 1));
    lastRec = p.RecNo(p.Count() - 1);
    if (p.Leaf) return 1;
    int depth = 0;
    for (int i = 0; i < p.Count(); ++i) {
      std::string childKey;
      int32_t childRec = 0;
      depth = std::max(depth, 1 + node(p.Child(i), childKey, childRec));
      EXPECT_EQ(std::string(p.Key(i)), childKey) << "interior entry " << i << " at " << addr;
      EXPECT_EQ(p.RecNo(i), childRec) << "interior entry " << i << " at " << addr;
      EXPECT_EQ(bytes.substr(addr + 12 + static_cast<size_t>(i) * (kl + 8), kl), childKey) << "as written";
    }
    return depth;
  };
  std::string k;
  int32_t r = 0;
  const int depth = node(tag->Root, k, r);
  auto hex = [](const std::string& text) {
    std::string out;
    for (unsigned char c : text) out += "0123456789ABCDEF"[c >> 4], out += "0123456789ABCDEF"[c & 15], out += ' ';
    return out;
  };
  std::set<std::string> seen;
  for (const std::string& text : names) {
    if (!seen.insert(text).second) continue;
    // A seek is a prefix: it lands on the first key that starts with the text's weights,
    // which is the text's own key or a longer one that sorts before it.
    std::string prefix = xbGeneralKey(text);
    prefix.resize(std::min(prefix.size(), kl));
    auto first = std::find_if(want.begin(), want.end(),
                              [&](const TxbIndexEntry& e) { return e.key.compare(0, prefix.size(), prefix) == 0; });
    if (first == want.end()) {
      ADD_FAILURE() << "no key starts with " << hex(text);
      continue;
    }
    EXPECT_TRUE(h.FindKey(text)) << hex(text);
    EXPECT_EQ(h.RecNo, first->recNo) << hex(text);
    if (!text.empty()) {
      EXPECT_EQ(h.MasterTag->CurrentKey(), first->key == keyOf(text) ? text : text + '\x7F') << hex(text);
    }
  }
  return depth;
}
}  // namespace

// Keys of many texts, bulk-built several levels deep and then updated, and written by
// updates from an empty tag.
TEST_F(CdxTest, GeneralTagsKeepTheWeightsOrderThroughBuildsAndUpdates) {
  const uint32_t seed = 2305;
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  std::vector<std::string> names;
  DbfBuilder b(0x03, {{"NAME", 'C', 6}});
  for (int i = 0; i < 3000; ++i) {
    names.push_back(generalText(rng));
    b.record(false, {names.back()});
  }
  b.write(t.file("G.DBF"));
  // The tag made on the table, then opened as a handler's master tag.
  auto make = [&](const std::string& dbf, const std::string& cdx) {
    XBO_dBHandler m(dbf, true, false, "");
    m.TranslateOEM = false;
    XBobjCDXFile::CreateFile(m, cdx)->TagCreate("GNAME", "NAME", false, "", false, true);
  };
  auto open = [&](XBO_dBHandler& h, const std::string& cdx) {
    h.TranslateOEM = false;
    EXPECT_EQ(h.OpenIndexes(cdx, "GNAME"), 0);
    return static_cast<XBobjCDXFile*>(h.IndexFile(1));
  };
  make(t.file("G.DBF"), t.file("G.CDX"));
  {
    XBO_dBHandler h(t.file("G.DBF"), true, false, "");
    XBobjCDXFile* f = open(h, t.file("G.CDX"));
    EXPECT_GE(checkGeneralTag(h, *f, names, t.file("G.CDX")), 3);
    for (int i = 0; i < 300; ++i) {
      std::string text = generalText(rng);
      if (i % 2 == 0) {
        h.BlankRecord();
        h.FieldPutByName("NAME", text);
        h.Append();
        names.push_back(text);
      } else {
        int32_t n = static_cast<int32_t>(rng() % names.size()) + 1;
        h.GoTo(n);
        h.FieldPutByName("NAME", text);
        h.PutRecord(n);
        names[static_cast<size_t>(n - 1)] = text;
      }
    }
    f->Flush();
    checkGeneralTag(h, *f, names, t.file("G.CDX"));
    // A reader of the published layout walks the leaves in the same order.
    bool ok;
    std::vector<std::string> lines = perlReadIndex(t, t.file("G.CDX"), "GNAME", ok, "C");
    if (ok) {
      EXPECT_EQ(perlRecs(lines), walk(h));
    }
  }
  // Record numbers below 256: the update layout keeps 2 bytes per entry.
  names.clear();
  DbfBuilder(0x03, {{"NAME", 'C', 6}}).write(t.file("E.DBF"));
  make(t.file("E.DBF"), t.file("E.CDX"));
  XBO_dBHandler h(t.file("E.DBF"), true, false, "");
  XBobjCDXFile* f = open(h, t.file("E.CDX"));
  for (int i = 0; i < 250; ++i) {
    names.push_back(generalText(rng));
    h.BlankRecord();
    h.FieldPutByName("NAME", names.back());
    h.Append();
  }
  f->Flush();
  EXPECT_GE(checkGeneralTag(h, *f, names, t.file("E.CDX")), 2);
}

TEST_F(CdxTest, DamagedFilesAreRefusedWithTheFileName) {
  std::string good = handMadeCdx();
  auto patch = [&](size_t at, const std::string& bytes) {
    std::string s = good;
    std::memcpy(s.data() + at, bytes.data(), bytes.size());
    return s;
  };
  std::vector<std::pair<const char*, std::string>> cases = {
      {"short file", good.substr(0, 1000)},
      {"directory root not on a node", patch(0, LE32(1000))},
      {"tag root beyond the end", patch(1536, LE32(512 * 40))},
      {"tag root not on a node", patch(1536, LE32(2561))},
      {"key length above 240", patch(1536 + 12, std::string("\xF1\x00", 2))},
      {"tag header beyond the end", patch(1024 + 24, LE32(512 * 50))},
      {"empty key expression", patch(1536 + 512, std::string("\0", 1))},
      {"leaf count too large", patch(2560 + 2, std::string("\xF0\x00", 2))},
      {"bytes per entry 9", patch(2560 + 23, std::string("\x09", 1))},
      {"duplicate count in the first entry", patch(2560 + 24 + 3, std::string("\x81", 1))},
      {"tag root is the directory root", patch(1536, LE32(1024))},
  };
  for (auto& [what, bytes] : cases) {
    WriteFile(t.file("bad.cdx"), bytes);
    XBO_dBHandler h(table(), false, true, "");
    std::string err = errorOf([&] { h.OpenIndexes("bad.cdx", ""); });
    EXPECT_NE(err.find(t.file("bad.cdx")), std::string::npos) << what << ": " << err;
  }
  // A cycle in an interior node.
  {
    std::vector<PersonRow> r;
    for (int i = 0; i < 2000; ++i) r.push_back({"N" + std::to_string(i), 0, ""});
    writePeople(table(), r);
    makeTags(t.file("big.cdx"));
    XBO_dBHandler h(table(), false, true, "");
    auto f = XBobjCDXFile::OpenFile(h, t.file("big.cdx"));
    std::string bytes = ReadFile(t.file("big.cdx"));
    uint32_t hdr = static_cast<uint32_t>(f->TagByName("NAME")->HeaderPos);
    uint32_t root = static_cast<uint8_t>(bytes[hdr]) | (static_cast<uint8_t>(bytes[hdr + 1]) << 8) |
                    (static_cast<uint8_t>(bytes[hdr + 2]) << 16);
    ASSERT_EQ(bytes[root] & 2, 0);   // interior
    std::string be(4, '\0');
    for (int i = 0; i < 4; ++i) be[static_cast<size_t>(i)] = static_cast<char>(root >> (24 - 8 * i));
    std::memcpy(bytes.data() + root + 12 + 10 + 4, be.data(), 4);   // first child -> itself
    f.reset();
    WriteFile(t.file("big.cdx"), bytes);
    XBO_dBHandler g(table(), false, true, "");
    std::string err = errorOf([&] { g.OpenIndexes("big.cdx", ""); });
    EXPECT_NE(err.find("big.cdx"), std::string::npos) << err;
  }
}

namespace {

enum class Order { Sorted, Reverse, Random };

class CdxLongKeys : public ::testing::TestWithParam<Order> {
protected:
  std::string table() { return t.file("p.dbf"); }
  TempDir t;
};

}  // namespace

// A tag at the longest key (240 bytes: an interior node holds two entries) with keys that
// share long prefixes, so that a leaf holds one key in full and many others in a few
// bytes each: appends in key order, in reverse order and in no order (100,000), then
// edits, keep the tree shallow and in the order of a model; the Perl reader agrees.
TEST_P(CdxLongKeys, HundredThousandAppendsAndEditsAtTheLongestKey) {
  const Order order = GetParam();
  const int width = 240, count = order == Order::Random ? 100000 : 40000, edits = 3000;
  std::mt19937_64 rng(20261211 + static_cast<int>(order));
  // Three long runs of one letter before a number, filled to the full width now and then.
  auto draw = [&](uint32_t n) {
    static const size_t runs[] = {225, 200, 120};
    std::string s(runs[rng() % 3], 'M');
    char num[16];
    std::snprintf(num, sizeof num, "%09u", n);
    s += num;
    if (rng() % 4 == 0)
      while (s.size() < static_cast<size_t>(width)) s += static_cast<char>('A' + rng() % 26);
    return s;
  };
  std::vector<std::string> names;
  for (int i = 0; i < count; ++i) names.push_back(draw(static_cast<uint32_t>(rng() % 1000000000)));
  if (order == Order::Sorted) std::sort(names.begin(), names.end());
  if (order == Order::Reverse) std::sort(names.rbegin(), names.rend());
  DbfBuilder b(0x03, {{"NAME", 'C', width}});
  b.write(table());
  {
    XBO_dBHandler h(table(), true, false, "");
    XBobjCDXFile::CreateFile(h, t.file("p.cdx"))->TagCreate("NAME", "NAME");
  }
  std::set<std::pair<std::string, int32_t>> model;
  auto padded = [&](std::string s) {
    s.resize(width, ' ');
    return s;
  };
  {
    XBO_dBHandler h(table(), true, false, "");
    ASSERT_EQ(h.OpenIndexes("p.cdx", "NAME"), 0);
    auto* tag = dynamic_cast<XBobjIndexTag*>(h.TagByNumber(1));
    ASSERT_NE(tag, nullptr);
    for (int i = 0; i < count; ++i) {
      h.BlankRecord();
      h.FieldPutByName("NAME", names[static_cast<size_t>(i)]);
      ASSERT_EQ(errorOf([&] { h.Append(); }), "no error") << "record " << i + 1;
      model.insert({padded(names[static_cast<size_t>(i)]), i + 1});
    }
    // Keys in order or in reverse order leave full nodes behind them: a two-way tree of
    // leaves that hold several keys each (13 levels here). Keys in no order leave nodes
    // of one interior entry among them (23 levels here).
    EXPECT_LE(tag->Depth(), order == Order::Random ? 26u : 14u);
    for (int e = 0; e < edits; ++e) {
      const int32_t rec = 1 + static_cast<int32_t>(rng() % count);
      std::string next = draw(static_cast<uint32_t>(rng() % 1000000000));
      h.GoTo(rec);
      model.erase({padded(names[static_cast<size_t>(rec - 1)]), rec});
      h.FieldPutByName("NAME", next);
      ASSERT_EQ(errorOf([&] { h.PutRecord(rec); }), "no error") << "edit " << e;
      names[static_cast<size_t>(rec - 1)] = next;
      model.insert({padded(next), rec});
    }
    std::vector<TxbIndexEntry> got = tag->Entries();
    ASSERT_EQ(got.size(), model.size());
    size_t i = 0;
    for (const auto& [key, rec] : model) {
      ASSERT_EQ(got[i].recNo, rec) << "entry " << i;
      ASSERT_EQ(got[i].key, key) << "entry " << i;
      ++i;
    }
    for (int32_t rec : {1, count / 2, count}) EXPECT_EQ(tag->SeekKey(padded(names[static_cast<size_t>(rec - 1)])), rec);
  }
  if (order != Order::Reverse) return;   // one reading by the Perl module is enough
  bool ok;
  std::vector<std::string> lines = perlReadIndex(t, t.file("p.cdx"), "NAME", ok, "C");
  if (!ok) GTEST_SKIP();
  std::vector<int32_t> want;
  for (const auto& m : model) want.push_back(m.second);
  EXPECT_EQ(perlRecs(lines), want);
}

INSTANTIATE_TEST_SUITE_P(Orders, CdxLongKeys, ::testing::Values(Order::Sorted, Order::Reverse, Order::Random),
                         [](const auto& i) {
                           return std::string(i.param == Order::Sorted    ? "Sorted"
                                              : i.param == Order::Reverse ? "Reverse"
                                                                          : "Random");
                         });

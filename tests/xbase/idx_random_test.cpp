// Index trees under any order of keys: seeded random appends, key changes and removals
// (a FOR condition turning false) for every index kind, from an empty table, checked
// after every operation against an ordered model of the table (the walk, the count,
// seeks), also at each kind's longest key and with unique tags; the record-number widths
// of the CDX leaves crossed under appends; and at the end the walks of the Perl xBase
// reader compared with the model.
#include <gtest/gtest.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <set>

#include "platform/strutil.h"
#include "tests/xbase/idx_helpers.h"
#include "xbase/xb_cdx.h"
#include "xbase/xb_date.h"
#include "xbase/xb_mdx.h"
#include "xbase/xb_ndx.h"
#include "xbase/xb_ntx.h"

using namespace xb;
using namespace xbt;

namespace {

// The seed of a run: KESTA_INDEX_SEED when set (to repeat a failure), else a fresh one.
uint64_t runSeed() {
  if (const char* s = std::getenv("KESTA_INDEX_SEED")) return std::strtoull(s, nullptr, 10);
  return std::random_device{}() ^ (uint64_t{std::random_device{}()} << 32);
}

// Keys that share prefixes and vary in length: a letter, a digit, a dash and a number
// in no particular order, or a few words from a small stock.
// With longRuns, two keys in three begin with a long run of one letter.
std::string drawName(std::mt19937_64& rng, size_t width, bool longRuns = false) {
  static const char* const stock[] = {"A", "AB", "ABC", "ABD", "B", "BA", "IVANOV", "IVANOVA", "PETROV", "-", "0", "7"};
  std::string s;
  const int parts = 1 + static_cast<int>(rng() % 4);
  for (int i = 0; i < parts; ++i) {
    switch (rng() % 4) {
      case 0: s += static_cast<char>('A' + rng() % 26); break;
      case 1: s += static_cast<char>('0' + rng() % 10); break;
      case 2: s += '-'; break;
      default: s += stock[rng() % std::size(stock)]; break;
    }
    if (rng() % 3 == 0) s += std::to_string(rng() % 1000);
  }
  if (rng() % 8 == 0) s += std::string(rng() % (width / 2), 'Z');   // long keys now and then
  if (longRuns && rng() % 3 != 0) {
    // Runs of one letter, so that keys share long prefixes (compressed leaves, where one
    // key put between two takes several pages), half of them filled near the full width.
    s = std::string(1 + rng() % (width - 20), "MZ"[rng() % 2]) + s;
    if (rng() % 2)
      while (s.size() + rng() % 40 < width) s += static_cast<char>('A' + rng() % 26);
  }
  if (s.size() > width) s.resize(width);
  return s;
}

}  // namespace

// Tables of up to ten records under a CDX tag, appended to past record 256 with keys
// in no particular order: every append goes through, and the tag holds every record.
TEST(IndexRandom, CdxAppendsGoOnPastRecord256) {
  const uint64_t seed = runSeed();
  std::printf("seed %" PRIu64 "\n", seed);
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  for (int start = 0; start <= 10; ++start)
    for (bool shared : {false, true}) {
      SCOPED_TRACE("start " + std::to_string(start) + (shared ? ", shared" : ", exclusive"));
      TempDir t;
      std::vector<PersonRow> rows;
      for (int i = 0; i < start; ++i) rows.push_back({drawName(rng, 10), double(i), ""});
      writePeople(t.file("P.DBF"), rows);
      {
        XBO_dBHandler h(t.file("P.DBF"), true, false, "");
        auto c = XBobjCDXFile::CreateFile(h, t.file("P.CDX"));
        c->TagCreate("NAME", "NAME");
        c->TagCreate("AMT", "AMT");
      }
      XBO_dBHandler h(t.file("P.DBF"), true, shared, "");
      ASSERT_EQ(h.OpenIndexes("P.CDX", "NAME"), 0);
      while (rows.size() < 300) {
        rows.push_back({drawName(rng, 10), double(rng() % 50), ""});
        h.BlankRecord();
        h.FieldPutByName("NAME", rows.back().name);
        h.NumberPutByName("AMT", rows.back().amount);
        ASSERT_EQ(errorOf([&] { h.Append(); }), "no error") << "record " << rows.size();
      }
      for (const char* tag : {"NAME", "AMT"}) {
        h.SelectTag(tag, false);
        EXPECT_EQ(walk(h).size(), rows.size()) << tag;
      }
    }
}

namespace {

enum class Field { Name, Amount, Date };

struct RandRow {
  std::string name;
  double amount = 0;
  int y = 2000, m = 1, d = 1;
  std::string date() const {
    char b[16];
    std::snprintf(b, sizeof b, "%04d%02d%02d", y, m, d);
    return b;
  }
};

// The order of a key in the model: texts blank-padded to the field's width, numbers by
// value, dates as yyyymmdd.
std::string modelKey(const RandRow& r, Field f, size_t width) {
  switch (f) {
    case Field::Name: {
      std::string s = r.name;
      s.resize(width, ' ');
      return s;
    }
    case Field::Amount: {
      double v = r.amount == 0 ? 0 : r.amount;
      uint64_t bits;
      std::memcpy(&bits, &v, 8);
      bits = (bits >> 63) ? ~bits : bits | (uint64_t{1} << 63);
      std::string s(8, '\0');
      for (int i = 0; i < 8; ++i) s[static_cast<size_t>(i)] = static_cast<char>(bits >> (56 - 8 * i));
      return s;
    }
    default: return r.date();
  }
}

// The text a caller seeks a key by: the whole padded text, so that only that key matches.
std::string seekText(const RandRow& r, Field f, size_t width) {
  switch (f) {
    case Field::Name: return modelKey(r, f, width);
    case Field::Amount: return xbNumberText(r.amount);
    default: return r.date();
  }
}

struct RandTag {
  std::string name;
  Field field;
  bool descending = false;
  bool positiveOnly = false;    // FOR AMT > 0
  bool unique = false;          // keeps the first record of equal keys only
  const char* file = nullptr;   // the file the Perl reader is given (nullptr: not asked)
  const char* perlTag = "";
  const char* perlType = "";
};

struct RandKind {
  const char* label;
  size_t width;   // of NAME: long keys, few to a page, so that the trees grow deep
  int ops;        // operations of a run
  std::string files;
  std::function<void(XBO_dBHandler&, const TempDir&)> create;
  std::vector<RandTag> tags;
};

std::vector<RandKind> randKinds() {
  return {
      {"NTX", 100, 2500, "NAME.NTX;DNAME.NTX;AMT.NTX;BD.NTX",
       [](XBO_dBHandler& h, const TempDir& t) {
         XBobjNTXFile::CreateFile(h, t.file("NAME.NTX"), "NAME");
         XBobjNTXFile::CreateFile(h, t.file("DNAME.NTX"), "NAME", false, "", true);
         XBobjNTXFile::CreateFile(h, t.file("AMT.NTX"), "AMT", false, "AMT > 0");
         XBobjNTXFile::CreateFile(h, t.file("BD.NTX"), "BD");
       },
       {{"NAME", Field::Name, false, false, false, "NAME.NTX", "", "C"},
        {"DNAME", Field::Name, true, false, false, "DNAME.NTX", "", "C"},
        {"AMT", Field::Amount, false, true},
        {"BD", Field::Date, false, false}}},
      {"NDX", 100, 2500, "NAME.NDX;AMT.NDX;BD.NDX",
       [](XBO_dBHandler& h, const TempDir& t) {
         XBobjNDXFile::CreateFile(h, t.file("NAME.NDX"), "NAME");
         XBobjNDXFile::CreateFile(h, t.file("AMT.NDX"), "AMT");
         XBobjNDXFile::CreateFile(h, t.file("BD.NDX"), "BD");
       },
       {{"NAME", Field::Name, false, false, false, "NAME.NDX", "", "C"},
        {"AMT", Field::Amount, false, false},
        {"BD", Field::Date, false, false}}},
      {"MDX", 100, 2500, "P.MDX",
       [](XBO_dBHandler& h, const TempDir& t) {
         auto m = XBobjMDXFile::CreateFile(h, t.file("P.MDX"));
         m->TagCreate("NAME", "NAME");
         m->TagCreate("DNAME", "NAME", false, "", true);
         m->TagCreate("AMT", "AMT", false, "AMT > 0");
         m->TagCreate("BD", "BD");
       },
       {{"NAME", Field::Name, false, false, false, "P.MDX", "NAME", "C"},
        {"DNAME", Field::Name, true, false},
        {"AMT", Field::Amount, false, true},
        {"BD", Field::Date, false, false}}},
      {"CDX", 100, 2500, "P.CDX",
       [](XBO_dBHandler& h, const TempDir& t) {
         auto c = XBobjCDXFile::CreateFile(h, t.file("P.CDX"));
         c->TagCreate("NAME", "NAME");
         c->TagCreate("DNAME", "NAME", false, "", true);
         c->TagCreate("AMT", "AMT", false, "AMT > 0");
         c->TagCreate("BD", "BD");
       },
       {{"NAME", Field::Name, false, false, false, "P.CDX", "NAME", "C"},
        {"DNAME", Field::Name, true, false, false, "P.CDX", "DNAME", "C"},
        {"AMT", Field::Amount, false, true, false, "P.CDX", "AMT", "N"},
        {"BD", Field::Date, false, false}}},
      // Each kind at the longest text key it takes, with unique tags beside the others.
      {"NTX at 250", 250, 1200, "UNAME.NTX;DNAME.NTX;UBD.NTX",
       [](XBO_dBHandler& h, const TempDir& t) {
         XBobjNTXFile::CreateFile(h, t.file("UNAME.NTX"), "NAME", true);
         XBobjNTXFile::CreateFile(h, t.file("DNAME.NTX"), "NAME", false, "", true);
         XBobjNTXFile::CreateFile(h, t.file("UBD.NTX"), "BD", true);
       },
       {{"UNAME", Field::Name, false, false, true, "UNAME.NTX", "", "C"},
        {"DNAME", Field::Name, true, false, false},
        {"UBD", Field::Date, false, false, true}}},
      {"NDX at 100, unique", 100, 1200, "UNAME.NDX;UAMT.NDX",
       [](XBO_dBHandler& h, const TempDir& t) {
         XBobjNDXFile::CreateFile(h, t.file("UNAME.NDX"), "NAME", true);
         XBobjNDXFile::CreateFile(h, t.file("UAMT.NDX"), "AMT", true);
       },
       {{"UNAME", Field::Name, false, false, true, "UNAME.NDX", "", "C"},
        {"UAMT", Field::Amount, false, false, true}}},
      {"MDX at 100, unique", 100, 1200, "P.MDX",
       [](XBO_dBHandler& h, const TempDir& t) {
         auto m = XBobjMDXFile::CreateFile(h, t.file("P.MDX"));
         m->TagCreate("UNAME", "NAME", true);
         m->TagCreate("UDNAME", "NAME", true, "", true);
         m->TagCreate("UAMT", "AMT", true, "AMT > 0");
       },
       {{"UNAME", Field::Name, false, false, true, "P.MDX", "UNAME", "C"},
        {"UDNAME", Field::Name, true, false, true},
        {"UAMT", Field::Amount, false, true, true}}},
      {"CDX at 240", 240, 1200, "P.CDX",
       [](XBO_dBHandler& h, const TempDir& t) {
         auto c = XBobjCDXFile::CreateFile(h, t.file("P.CDX"));
         c->TagCreate("NAME", "NAME");
         c->TagCreate("UNAME", "NAME", true);
         c->TagCreate("UDNAME", "NAME", true, "", true);
         c->TagCreate("UAMT", "AMT", true, "AMT > 0");
       },
       {{"NAME", Field::Name, false, false, false, "P.CDX", "NAME", "C"},
        {"UNAME", Field::Name, false, false, true, "P.CDX", "UNAME", "C"},
        {"UDNAME", Field::Name, true, false, true},
        {"UAMT", Field::Amount, false, true, true}}},
  };
}

struct ModelTag {
  RandTag spec;
  size_t width = 0;
  XBobjIndexTag* tag = nullptr;
  std::set<std::pair<std::string, int32_t>> entries;   // in ascending order of key, then record
  bool holds(const RandRow& r) const { return !spec.positiveOnly || r.amount > 0; }
  std::string key(const RandRow& r) const { return modelKey(r, spec.field, width); }
  // A unique tag takes a key only while no record holds it; a record that leaves gives
  // its key to no other.
  void add(const RandRow& r, int32_t rec) {
    if (!holds(r)) return;
    const std::string k = key(r);
    if (spec.unique && firstWith(k) != 0) return;
    entries.insert({k, rec});
  }
  void remove(const RandRow& r, int32_t rec) { entries.erase({key(r), rec}); }
  // The record numbers in the tag's order.
  std::vector<int32_t> order() const {
    std::vector<int32_t> out;
    out.reserve(entries.size());
    for (const auto& e : entries) out.push_back(e.second);
    if (spec.descending) std::reverse(out.begin(), out.end());
    return out;
  }
  // The record a seek of the key finds: the first of the tag's order with that key; 0 when none.
  int32_t firstWith(const std::string& key) const {
    auto lo = entries.lower_bound({key, 0});
    if (lo == entries.end() || lo->first != key) return 0;
    if (!spec.descending) return lo->second;
    auto hi = entries.lower_bound({key, INT32_MAX});
    return std::prev(hi)->second;
  }
};

class IndexRandomOps : public ::testing::TestWithParam<bool> {};

}  // namespace

// Seeded random appends, key changes, removals (AMT falling to 0 or below takes a record
// out of the FOR tags) and sweeps that move every key of a leading letter away, on every
// kind from an empty table: after every operation each tag walks as the model does and
// holds as many entries, the keys just written and a sample of others are found where
// the model has them, and every key is sought every few operations and at the end.
TEST_P(IndexRandomOps, EveryKindFollowsAnOrderedModel) {
  const bool shared = GetParam();
  const uint64_t seed = runSeed();
  std::printf("seed %" PRIu64 "\n", seed);
  SCOPED_TRACE("seed " + std::to_string(seed) + " (KESTA_INDEX_SEED repeats the run)");
  bool perlAsked = false, perlMissing = false;
  for (const RandKind& k : randKinds()) {
    SCOPED_TRACE(k.label);
    std::mt19937_64 rng(seed ^ std::hash<std::string>()(k.label));
    TempDir t;
    DbfBuilder b(0x03, {{"NAME", 'C', static_cast<int>(k.width)}, {"AMT", 'N', 10, 2}, {"BD", 'D', 8}});
    b.write(t.file("P.DBF"));
    {
      XBO_dBHandler h(t.file("P.DBF"), true, false, "");
      k.create(h, t);
    }
    XBO_dBHandler h(t.file("P.DBF"), true, shared, "");
    ASSERT_EQ(h.OpenIndexes(k.files, ""), 0);
    std::vector<ModelTag> tags;
    for (const RandTag& s : k.tags) {
      ModelTag m;
      m.spec = s;
      m.width = k.width;
      for (int n = 1; n <= h.TagCount(); ++n)
        if (h.TagByNumber(n)->TagName() == s.name) m.tag = dynamic_cast<XBobjIndexTag*>(h.TagByNumber(n));
      ASSERT_NE(m.tag, nullptr) << s.name;
      tags.push_back(std::move(m));
    }
    std::vector<RandRow> rows;
    auto draw = [&](RandRow& r, bool all) {
      if (all || rng() % 2) r.name = drawName(rng, k.width, k.width > 100);
      if (all || rng() % 2) r.amount = static_cast<double>(static_cast<int>(rng() % 200) - 60) / 4;
      if (all || rng() % 3 == 0) {
        r.y = 1990 + static_cast<int>(rng() % 40);
        r.m = 1 + static_cast<int>(rng() % 12);
        r.d = 1 + static_cast<int>(rng() % 28);
      }
    };
    auto put = [&](const RandRow& r) {
      h.FieldPutByName("NAME", r.name);
      h.NumberPutByName("AMT", r.amount);
      h.DatePutByName("BD", xbJulianFromYMD(r.y, r.m, r.d));
    };
    auto rewrite = [&](size_t i, const RandRow& next) {
      const int32_t rec = static_cast<int32_t>(i + 1);
      h.GoTo(rec);
      put(next);
      h.PutRecord(rec);
      for (ModelTag& m : tags) {
        // A key that stays is left alone (a unique tag does not hand it over then either).
        if (m.holds(rows[i]) && m.holds(next) && m.key(rows[i]) == m.key(next)) continue;
        m.remove(rows[i], rec);
        m.add(next, rec);
      }
      rows[i] = next;
    };
    auto seekCheck = [&](const ModelTag& m, const RandRow& r) {
      const int32_t want = m.firstWith(m.key(r));
      const int32_t got = m.tag->SeekKey(seekText(r, m.spec.field, k.width));
      if (want != 0) {
        EXPECT_EQ(got, want) << m.spec.name << " seek of " << platform::TrimRight(seekText(r, m.spec.field, k.width));
      } else if (got != 0) {
        // Not in the tag: whatever the seek lands on has another key.
        EXPECT_NE(m.key(rows[static_cast<size_t>(got - 1)]), m.key(r)) << m.spec.name;
      }
    };
    const int ops = k.ops;
    for (int op = 0; op < ops; ++op) {
      SCOPED_TRACE("operation " + std::to_string(op) + ", " + std::to_string(rows.size()) + " records");
      const unsigned what = rows.empty() ? 0 : static_cast<unsigned>(rng() % 100);
      std::vector<RandRow> touched;
      if (what < 55) {   // append
        RandRow r;
        draw(r, true);
        h.BlankRecord();
        put(r);
        h.Append();
        // An append of a shared open first gives the record before it its key where the
        // tag has no entry for it (a unique tag's key that its holder has given up since).
        for (ModelTag& m : tags)
          if (shared && !rows.empty() && std::none_of(m.entries.begin(), m.entries.end(), [&](const auto& e) {
                return e.second == static_cast<int32_t>(rows.size());
              }))
            m.add(rows.back(), static_cast<int32_t>(rows.size()));
        rows.push_back(r);
        for (ModelTag& m : tags) m.add(r, static_cast<int32_t>(rows.size()));
        touched.push_back(r);
      } else if (what < 85) {   // key changes
        const size_t i = rng() % rows.size();
        RandRow next = rows[i];
        draw(next, false);
        touched.push_back(rows[i]);
        rewrite(i, next);
        touched.push_back(next);
      } else if (what < 97) {   // out of the FOR tags
        const size_t i = rng() % rows.size();
        RandRow next = rows[i];
        next.amount = -static_cast<double>(rng() % 8) / 2;
        touched.push_back(rows[i]);
        rewrite(i, next);
        touched.push_back(next);
      } else {   // a sweep: every key of a leading letter moves away, emptying whole leaves
        const char lead = static_cast<char>('A' + rng() % 26);
        for (size_t i = 0; i < rows.size(); ++i)
          if (!rows[i].name.empty() && rows[i].name[0] == lead) {
            RandRow next = rows[i];
            next.name = "~" + next.name.substr(1);
            next.amount = next.amount > 0 ? 0 : next.amount;
            touched.push_back(rows[i]);
            rewrite(i, next);
          }
      }
      for (const ModelTag& m : tags) {
        std::vector<int32_t> got;
        for (const TxbIndexEntry& e : m.tag->Entries()) got.push_back(e.recNo);
        ASSERT_EQ(got.size(), m.entries.size()) << m.spec.name;
        const std::vector<int32_t> want = m.order();
        if (got != want) {
          size_t at = 0;
          while (got[at] == want[at]) ++at;
          std::string near;
          for (size_t i = at > 2 ? at - 2 : 0; i < std::min(got.size(), at + 3); ++i)
            near += "\n  " + std::to_string(i) + ": tag " + std::to_string(got[i]) + " '" +
                    platform::TrimRight(m.key(rows[static_cast<size_t>(got[i] - 1)])) + "', model " +
                    std::to_string(want[i]) + " '" + platform::TrimRight(m.key(rows[static_cast<size_t>(want[i] - 1)])) +
                    "'";
          FAIL() << m.spec.name << " walks otherwise than the model from entry " << at << ":" << near;
        }
        for (const RandRow& r : touched) seekCheck(m, r);
        for (int s = 0; s < 4 && !rows.empty(); ++s) seekCheck(m, rows[rng() % rows.size()]);
        if (op % 100 == 99 || op + 1 == ops)
          for (const RandRow& r : rows) seekCheck(m, r);
      }
      if (::testing::Test::HasFailure()) return;   // the first difference is the one to look at
    }
    // The trees grew several levels deep (the long text keys deeper than the 8-byte ones).
    for (const ModelTag& m : tags) {
      const size_t depth = m.tag->Depth();
      // (A unique number tag holds a few hundred keys at most.)
      EXPECT_GE(depth, m.spec.field == Field::Name ? 4u : m.spec.unique ? 1u : 2u) << m.spec.name;
      std::printf("%s %s: %zu entries, %zu levels\n", k.label, m.spec.name.c_str(), m.entries.size(), depth);
    }
    // The Perl reader walks the files as they are stored.
    for (const ModelTag& m : tags) {
      if (!m.spec.file) continue;
      bool ok = false;
      std::vector<std::string> lines = perlReadIndex(t, t.file(m.spec.file), m.spec.perlTag, ok, m.spec.perlType);
      perlAsked = true;
      if (!ok) {
        perlMissing = true;
        break;
      }
      std::vector<int32_t> recs;
      for (const std::string& l : lines) recs.push_back(std::atoi(l.substr(l.rfind('|') + 1).c_str()));
      std::vector<int32_t> want = m.order();
      // A descending CDX tag is kept ascending and walked backwards.
      if (m.spec.descending && std::string(k.label) == "CDX") std::reverse(want.begin(), want.end());
      EXPECT_EQ(recs, want) << m.spec.name << " as the Perl reader walks it";
    }
  }
  if (perlAsked && perlMissing) GTEST_SKIP() << "perl with XBase::Index is missing: the files were not read by it";
}

INSTANTIATE_TEST_SUITE_P(Opens, IndexRandomOps, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& p) { return p.param ? "Shared" : "Exclusive"; });

// Every step of the record-number width of the CDX leaves that an update writes, crossed
// by appends from an empty table: key lengths 1 (14 bits in 2 bytes, 22 in 3), 10 (8, 16,
// 24 bits) and 200 (0, 8, 16, 24 bits), up to past record 65536. Every append goes
// through and every tag holds every record; the leaves read back with the widths the
// Perl reader takes too.
TEST(IndexRandom, CdxLeafRecordWidthsGrowStepByStep) {
  const uint64_t seed = runSeed();
  std::printf("seed %" PRIu64 "\n", seed);
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  TempDir t;
  DbfBuilder b(0x03, {{"C", 'C', 1}, {"NAME", 'C', 10}, {"LONG", 'C', 200}});
  b.write(t.file("P.DBF"));
  {
    XBO_dBHandler h(t.file("P.DBF"), true, false, "");
    auto c = XBobjCDXFile::CreateFile(h, t.file("P.CDX"));
    c->TagCreate("C", "C");
    c->TagCreate("NAME", "NAME");
    c->TagCreate("LONG", "LONG");
  }
  XBO_dBHandler h(t.file("P.DBF"), true, false, "");
  ASSERT_EQ(h.OpenIndexes("P.CDX", "NAME"), 0);
  const int32_t records = 65536 + 300;
  for (int32_t r = 1; r <= records; ++r) {
    h.BlankRecord();
    h.FieldPutByName("C", std::string(1, static_cast<char>('A' + rng() % 26)));
    h.FieldPutByName("NAME", drawName(rng, 10));
    h.FieldPutByName("LONG", drawName(rng, 200));
    std::string error = errorOf([&] { h.Append(); });
    ASSERT_EQ(error, "no error") << "record " << r;
  }
  for (const char* tag : {"C", "NAME", "LONG"}) {
    XBobjIndexTag* x = nullptr;
    for (int n = 1; n <= h.TagCount(); ++n)
      if (h.TagByNumber(n)->TagName() == tag) x = dynamic_cast<XBobjIndexTag*>(h.TagByNumber(n));
    ASSERT_NE(x, nullptr) << tag;
    std::vector<TxbIndexEntry> all = x->Entries();
    ASSERT_EQ(all.size(), static_cast<size_t>(records)) << tag;
    for (size_t i = 1; i < all.size(); ++i)
      ASSERT_TRUE(all[i - 1].key < all[i].key || (all[i - 1].key == all[i].key && all[i - 1].recNo < all[i].recNo))
          << tag << " at " << i;
  }
  bool ok = false;
  std::vector<std::string> lines = perlReadIndex(t, t.file("P.CDX"), "NAME", ok, "C");
  if (!ok) GTEST_SKIP() << "perl with XBase::Index is missing: the leaves were not read by it";
  EXPECT_EQ(lines.size(), static_cast<size_t>(records));
}

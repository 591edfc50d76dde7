#include <gtest/gtest.h>

#include <cstring>

#include "tests/xbase/idx_helpers.h"
#include "xbase/xb_cnst.h"
#include "xbase/xb_sort.h"

using namespace xb;
using namespace xbt;

namespace {
TxbVariant text(std::string_view s) {
  TxbVariant v;
  v.SetText(s);
  return v;
}
TxbVariant num(double d) {
  TxbVariant v;
  v.SetNumber(d);
  return v;
}
std::vector<std::pair<std::string, int32_t>> drainText(TxbSort& s) {
  std::vector<std::pair<std::string, int32_t>> out;
  TxbVariant k;
  int32_t r;
  while (s.NextKey(k, r)) out.push_back({k.AsText(), r});
  return out;
}
}  // namespace

TEST(KeySorter, KeyLengthLimits) {
  EXPECT_NO_THROW(TxbSort(251, nullptr, true, false));
  EXPECT_EQ(errorOf([] { TxbSort s(252, nullptr, true, false); }),
            "EXBaseError: Sort key length must be 1-251 bytes, is 252");
  TxbSort s(5, nullptr, true, false);
  EXPECT_NO_THROW(s.AddKey(text("ABCDE"), 1));
  EXPECT_EQ(errorOf([&] { s.AddKey(text("ABCDEF"), 2); }), "EXBaseError: Sort key length must be 1-5 bytes, is 6");
  TxbVariant b;
  b.SetBoolean(true);
  EXPECT_EQ(errorOf([&] { s.AddKey(b, 3); }), "EXBaseError: Variant type cannot be sorted");
}

TEST(KeySorter, EqualKeysByRecordAndUnique) {
  struct Case {
    bool ascending, unique;
    std::vector<std::pair<std::string, int32_t>> want;
  };
  for (const Case& c : std::vector<Case>{
           {true, false, {{"AB", 2}, {"AB", 5}, {"AB", 9}, {"B", 1}}},
           {false, false, {{"B", 1}, {"AB", 9}, {"AB", 5}, {"AB", 2}}},
           {true, true, {{"AB", 2}, {"B", 1}}},
           {false, true, {{"B", 1}, {"AB", 9}}},
       }) {
    TxbSort s(10, nullptr, c.ascending, c.unique);
    s.AddKey(text("B"), 1);
    s.AddKey(text("AB   "), 5);   // the same key as "AB"
    s.AddKey(text("AB"), 9);
    s.AddKey(text("AB"), 2);
    EXPECT_EQ(drainText(s), c.want) << c.ascending << c.unique;
  }
}

TEST(KeySorter, NumbersSortByValue) {
  TxbSort s(8, nullptr, true, false);
  std::vector<double> values = {3.25, -0.25, 0, -0.5, 100, -12.75, 1e300, -1e-300, 12.5};
  for (size_t i = 0; i < values.size(); ++i) s.AddKey(num(values[i]), static_cast<int32_t>(i + 1));
  std::vector<double> got;
  TxbVariant k;
  int32_t r;
  while (s.NextKey(k, r)) {
    EXPECT_EQ(k.AsNumber(), values[static_cast<size_t>(r - 1)]);
    got.push_back(k.AsNumber());
  }
  std::vector<double> want = values;
  std::sort(want.begin(), want.end());
  EXPECT_EQ(got, want);
}

TEST(KeySorter, NoKeysAndAddAfterRetrieval) {
  TxbSort s(4, nullptr, true, false);
  TxbVariant k;
  int32_t r = 7;
  EXPECT_FALSE(s.NextKey(k, r));
  EXPECT_EQ(errorOf([&] { s.AddKey(text("A"), 1); }), "EXBaseError: Cannot add sort keys after beginning retrieval");
}

TEST(KeySorter, CollationAndManyKeys) {
  // Lower case first through a weight table; without one, upper case sorts first.
  uint8_t coll[256];
  for (int i = 0; i < 256; ++i) coll[i] = static_cast<uint8_t>(i);
  for (int c = 'a'; c <= 'z'; ++c) coll[c] = static_cast<uint8_t>(c - 'a' + 1);
  TxbSort a(4, coll, true, false), b(4, nullptr, true, false);
  for (TxbSort* s : {&a, &b}) {
    s->AddKey(text("Z"), 1);
    s->AddKey(text("a"), 2);
  }
  EXPECT_EQ(drainText(a).front().second, 2);
  EXPECT_EQ(drainText(b).front().second, 1);
  TxbSort big(6, nullptr, true, false);
  const int n = 200000;
  for (int i = 0; i < n; ++i) big.AddKey(text(std::to_string((i * 7919) % n)), i + 1);
  TxbVariant k, prev;
  int32_t r;
  int count = 0;
  while (big.NextKey(k, r)) {
    if (count > 0) {
      ASSERT_LE(prev.AsText(), k.AsText());
    }
    prev = k;
    ++count;
  }
  EXPECT_EQ(count, n);
}

TEST(KeySorter, SeveralRunsMergeIntoOneOrderWithEqualKeysInRecordOrder) {
  // More keys than the pool holds: several runs, merged on retrieval.
  for (bool ascending : {true, false}) {
    TxbSort s(12, nullptr, ascending, false);
    const int n = 150000;
    for (int i = 0; i < n; ++i) s.AddKey(text("K" + std::to_string((i * 7919) % 5000)), i + 1);
    EXPECT_GE(s.RunCount(), 1u) << "a full pool is written into a run before retrieval";
    TxbVariant k;
    int32_t r, prevRec = 0;
    std::string prev;
    int count = 0;
    bool ordered = true;
    while (s.NextKey(k, r)) {
      std::string cur = k.AsText();
      if (count > 0) {
        int c = prev.compare(cur);
        if (!ascending) c = -c;
        // Equal keys: lower record numbers first ascending, higher first descending.
        if (c > 0 || (c == 0 && (ascending ? prevRec > r : prevRec < r))) ordered = false;
      }
      prev = cur;
      prevRec = r;
      ++count;
    }
    EXPECT_TRUE(ordered) << ascending;
    EXPECT_EQ(count, n);
  }
}

TEST(KeySorter, UniqueKeysAcrossRuns) {
  TxbSort s(20, nullptr, true, true);
  for (int i = 0; i < 300000; ++i) s.AddKey(text("SAME-PREFIX-" + std::to_string(i % 1000)), i + 1);
  EXPECT_GE(s.RunCount(), 3u);
  TxbVariant k;
  int32_t r;
  std::vector<std::pair<std::string, int32_t>> out;
  while (s.NextKey(k, r)) out.push_back({k.AsText(), r});
  ASSERT_EQ(out.size(), 1000u);   // unique: the first record of each key
  EXPECT_EQ(out.front(), (std::pair<std::string, int32_t>{"SAME-PREFIX-0", 1}));
  EXPECT_EQ(out.back(), (std::pair<std::string, int32_t>{"SAME-PREFIX-999", 1000}));
}

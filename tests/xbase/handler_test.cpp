// The table handler: navigation with deleted and filtered records skipped, index
// order through a test tag, key search, index locking and read-ahead.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>

#include "dbf_builder.h"
#include "platform/strutil.h"
#include "xbase/xb_cnst.h"
#include "xbase/xb_dbsy.h"
#include "xbase/xb_glbl.h"

using namespace xb;
using namespace xbt;

namespace {
std::string errorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const platform::Exception& e) {
    return std::string(e.className()) + ": " + e.what();
  }
  return "no error";
}

// An in-memory tag over the NAME field: keys sorted ascending, ties by record number.
class FakeTag : public IxbIndexTag {
public:
  FakeTag(std::string name, std::vector<std::pair<std::string, int32_t>> keys)
      : name_(std::move(name)), keys_(std::move(keys)) {
    std::sort(keys_.begin(), keys_.end());
  }
  std::string TagName() const override { return name_; }
  std::string KeyExpression() const override { return "NAME"; }
  TxbTagMove Move(int32_t code) override {
    int lo = 0, hi = static_cast<int>(keys_.size()) - 1;
    if (hasRange_) {
      lo = hi + 1;
      for (int i = 0; i < static_cast<int>(keys_.size()); ++i)
        if (inRange(keys_[static_cast<size_t>(i)].first)) { lo = std::min(lo, i); }
      int h = -1;
      for (int i = 0; i < static_cast<int>(keys_.size()); ++i)
        if (inRange(keys_[static_cast<size_t>(i)].first)) h = i;
      hi = h;
    }
    if (lo > hi) return {0, true, true};
    switch (code) {
      case -3: pos_ = lo; break;
      case -4: pos_ = hi; break;
      case -1: if (pos_ + 1 > hi) return {cur(), true, false}; ++pos_; break;
      case -2: if (pos_ - 1 < lo) return {cur(), false, true}; --pos_; break;
      default: break;
    }
    return {cur(), false, false};
  }
  int32_t SeekKey(std::string_view key) override {
    for (size_t i = 0; i < keys_.size(); ++i)
      if (keys_[i].first >= key) { pos_ = static_cast<int>(i); return keys_[i].second; }
    pos_ = static_cast<int>(keys_.size()) - 1;
    return 0;
  }
  std::string CurrentKey() const override { return pos_ >= 0 ? keys_[static_cast<size_t>(pos_)].first : std::string(); }
  int32_t CurrentRecord() const override { return cur(); }
  bool AtEnd() const override { return pos_ >= static_cast<int>(keys_.size()) - 1; }
  bool SetRange(std::string_view low, std::string_view high, bool partial) override {
    low_ = low; high_ = high; hasRange_ = true; return true;
  }
  void ClearRange() override { hasRange_ = false; }
  bool HasRange() const override { return hasRange_; }

private:
  bool inRange(const std::string& k) const { return k.compare(0, low_.size(), low_) >= 0 && k.compare(0, high_.size(), high_) <= 0; }
  int32_t cur() const { return pos_ >= 0 && pos_ < static_cast<int>(keys_.size()) ? keys_[static_cast<size_t>(pos_)].second : 0; }
  std::string name_;
  std::vector<std::pair<std::string, int32_t>> keys_;
  int pos_ = -1;
  bool hasRange_ = false;
  std::string low_, high_;
};

struct FakeStats {
  int locks = 0, unlocks = 0;
};
std::map<std::string, FakeStats>& stats() {
  static std::map<std::string, FakeStats> s;
  return s;
}
std::set<std::string>& refusing() {
  static std::set<std::string> s;
  return s;
}

class FakeIndex : public IxbIndexFile {
public:
  FakeIndex(const std::string& file, std::vector<std::pair<std::string, int32_t>> keys)
      : file_(file), tag_(platform::UpperCase(xbFileStem(file)), std::move(keys)) {}
  std::string FileName() const override { return file_; }
  int TagCount() const override { return 1; }
  IxbIndexTag* Tag(int) override { return &tag_; }
  bool Lock() override {
    if (refusing().count(xbFileStem(file_))) return false;
    ++stats()[xbFileStem(file_)].locks;
    return true;
  }
  void Unlock() override { ++stats()[xbFileStem(file_)].unlocks; }

private:
  std::string file_;
  FakeTag tag_;
};

std::unique_ptr<IxbIndexFile> makeFake(XBO_dBHandler& h, const std::string& file) {
  XBO_dBaseFld reader(h.FileName, false, true, "");
  std::vector<std::pair<std::string, int32_t>> keys;
  for (int32_t n = 1; n <= static_cast<int32_t>(reader.RecordCount); ++n) {
    reader.GoTo(n);
    keys.push_back({std::string(reader.FieldView(1)), n});
  }
  return std::make_unique<FakeIndex>(file, keys);
}

// A filter expression that tests a predicate on the current record.
class FakeFilter : public IxbFilterExpr {
public:
  FakeFilter(XBO_dBHandler& h, std::function<TxbVariant(XBO_dBHandler&)> f) : h_(h), f_(std::move(f)) {}
  TxbVariant Evaluate() override { return f_(h_); }

private:
  XBO_dBHandler& h_;
  std::function<TxbVariant(XBO_dBHandler&)> f_;
};

class HandlerTest : public ::testing::Test {
protected:
  void SetUp() override {
    DbfBuilder b(0x03, {{"NAME", 'C', 5}});
    // Records 1 and 2 deleted.
    const char* names[] = {"EEEEE", "DDDDD", "CCCCC", "BBBBB", "AAAAA", "ABCDE"};
    for (int i = 0; i < 6; ++i) b.record(i < 2, {names[i]});
    b.write(t.file("h.dbf"));
    XBO_dBHandler::RegisterIndexClass(".NTX", makeFake);
    stats().clear();
    refusing().clear();
  }
  void TearDown() override {
    XBO_dBHandler::UnregisterIndexClass(".NTX");
    XBO_dBHandler::FilterCompiler() = nullptr;
  }
  void makeIndexFiles(std::initializer_list<const char*> names) {
    for (const char* n : names) WriteFile(t.file(n), "index");
  }
  TempDir t;
};
}  // namespace

TEST_F(HandlerTest, DeletedRecordsAndAbsoluteMoves) {
  XBO_dBHandler h(t.file("h.dbf"), false, true, "");
  h.GoTo(-3);
  EXPECT_EQ(h.RecNo, 3);
  EXPECT_TRUE(h.Found);
  h.UseDeleted = true;
  h.GoTo(-3);
  EXPECT_EQ(h.RecNo, 1);
  h.UseDeleted = false;
  h.GoTo(2);
  EXPECT_EQ(h.RecNo, 2);
  EXPECT_TRUE(h.IsDeleted());
  h.GoTo(-5);   // re-reading a hidden record moves on
  EXPECT_EQ(h.RecNo, 3);
  h.GoTo(3);
  h.GoTo(-2);   // prior over the deleted records runs off the start
  EXPECT_TRUE(h.Bof);
  h.GoTo(-4);
  EXPECT_EQ(h.RecNo, 6);
  h.GoTo(-1);
  EXPECT_TRUE(h.Eof);
}

TEST_F(HandlerTest, SkipCases) {
  XBO_dBHandler h(t.file("h.dbf"), false, true, "");
  h.UseDeleted = true;
  h.GoTo(4);   // last but two
  h.Skip(5);
  EXPECT_TRUE(h.Eof);
  EXPECT_EQ(h.RecNo, 6);
  h.Skip(0);
  EXPECT_EQ(h.RecNo, 6);
  h.Skip(-2);
  EXPECT_EQ(h.RecNo, 4);
  h.UseDeleted = false;
  h.GoTo(5);
  h.Skip(-1);
  EXPECT_EQ(h.RecNo, 4);
  h.Skip(-10);   // stops early at the start
  EXPECT_TRUE(h.Bof);
  // With UseDeleted the direct step flags an end only when it runs past it.
  h.UseDeleted = true;
  struct Step {
    int32_t from, n, to;
    bool eof, bof;
  };
  for (const Step& c : {Step{4, 2, 6, false, false}, Step{4, 3, 6, true, false}, Step{4, -3, 1, false, false},
                        Step{4, -4, 1, false, true}, Step{1, 5, 6, false, false}, Step{6, -5, 1, false, false}}) {
    SCOPED_TRACE(std::to_string(c.from) + " skip " + std::to_string(c.n));
    h.GoTo(c.from);
    h.Skip(c.n);
    EXPECT_EQ(h.RecNo, c.to);
    EXPECT_EQ(h.Eof, c.eof);
    EXPECT_EQ(h.Bof, c.bof);
  }
}

TEST_F(HandlerTest, FilterSetNavigation) {
  XBO_dBHandler h(t.file("h.dbf"), false, true, "");
  XBO_dBHandler::FilterCompiler() = [](XBO_dBHandler& hh, const std::string& text, bool, bool) {
    return std::make_unique<FakeFilter>(hh, [text](XBO_dBHandler& x) {
      TxbVariant v;
      if (text == "NAME") {
        v.SetText(std::string(x.FieldView(1)));
      } else {
        v.SetBoolean(text == "A*" ? x.FieldView(1)[0] == 'A' : false);
      }
      return v;
    });
  };
  EXPECT_EQ(errorOf([&] { h.SetFilter("NAME", false, true); }),
            "EXBaseError: Filter expression must return boolean result");
  h.EnableFilter(true);
  h.SetFilter("A*", false, true);
  EXPECT_TRUE(h.FilterActive);
  h.GoTo(-3);
  EXPECT_EQ(h.RecNo, 5);
  h.GoTo(-1);
  EXPECT_EQ(h.RecNo, 6);
  h.GoTo(-1);
  EXPECT_TRUE(h.Eof);
  h.GoTo(-4);
  EXPECT_EQ(h.RecNo, 6);
  h.SetFilter("NONE", false, true);
  h.GoTo(-3);
  EXPECT_TRUE(h.Eof);
  EXPECT_TRUE(h.Bof);
}

TEST_F(HandlerTest, RecordFilterHookRunsBeforeFilterSet) {
  XBO_dBHandler h(t.file("h.dbf"), false, true, "");
  h.RecordFilterHook = [&] { return h.FieldView(1) != "CCCCC"; };
  h.GoTo(-3);
  EXPECT_EQ(h.RecNo, 4);
}

TEST_F(HandlerTest, IndexOrderAndKeySearch) {
  makeIndexFiles({"NAMES.NTX", "other.ntx"});
  XBO_dBHandler h(t.file("h.dbf"), false, true, "");
  EXPECT_EQ(h.OpenIndexes("NAMES.NTX, \"other.ntx\"", "names"), 0);
  EXPECT_EQ(h.TagCount(), 2);
  EXPECT_TRUE(h.IndexLocking());
  std::vector<int32_t> order;
  for (h.GoTo(-3); !h.Eof; h.GoTo(-1)) order.push_back(h.RecNo);
  EXPECT_EQ(order, (std::vector<int32_t>{5, 6, 4, 3}));   // deleted 1, 2 skipped
  EXPECT_TRUE(h.FindKey("ABC"));   // a prefix of ABCDE
  EXPECT_EQ(h.RecNo, 6);
  h.ExactMatch = true;
  EXPECT_FALSE(h.FindKey("ABC"));
  EXPECT_TRUE(h.Eof);
  h.ExactMatch = false;
  EXPECT_TRUE(h.FindKey("BBBBB"));
  EXPECT_EQ(h.RecNo, 4);
  EXPECT_FALSE(h.FindKey("ZZZ"));
  EXPECT_TRUE(h.Eof);
  EXPECT_EQ(h.FindKeyInTag("OTHER", "CCCCC"), 3);
  EXPECT_EQ(h.FindKeyInTag("NOPE", "CCCCC"), -1);
  EXPECT_EQ(errorOf([&] { h.SelectTag("nope", false); }), "EXBaseError: Cannot find index tag NOPE");
  h.SelectTag("", false);
  EXPECT_EQ(h.MasterTag, nullptr);
  EXPECT_EQ(h.RecNo, 3);
  EXPECT_EQ(h.OpenIndex("NAMES.NTX"), -1);   // already open
}

TEST_F(HandlerTest, IndexOpenErrors) {
  makeIndexFiles({"bad.xyz"});
  XBO_dBHandler h(t.file("h.dbf"), false, true, "");
  EXPECT_EQ(errorOf([&] { h.OpenIndex("bad.xyz"); }), "EXBaseError: File " + t.file("bad.xyz") + " could not be found");
  EXPECT_EQ(errorOf([&] { h.OpenIndex("missing.ntx"); }),
            "EXBaseError: File " + t.file("missing.ntx") + " could not be found");
  // Slots 1..63 only: the 64th file is refused.
  for (int i = 1; i <= 64; ++i) makeIndexFiles({("I" + std::to_string(i) + ".NTX").c_str()});
  for (int i = 1; i <= 63; ++i) ASSERT_EQ(h.OpenIndex("I" + std::to_string(i) + ".NTX"), 0);
  EXPECT_EQ(errorOf([&] { h.OpenIndex("I64.NTX"); }), "EXBaseError: Error getting " + t.file("I64.NTX"));
}

TEST_F(HandlerTest, LockIndexesAllOrNone) {
  makeIndexFiles({"ONE.NTX", "TWO.NTX"});
  XBO_dBHandler h(t.file("h.dbf"), true, true, "");
  h.OpenIndexes("ONE.NTX;TWO.NTX", "");
  refusing().insert("TWO");
  EXPECT_EQ(errorOf([&] { h.LockIndexes(); }), "EXBaseError: Could not lock indexes for Table " + t.file("h.dbf"));
  EXPECT_EQ(stats()["ONE"].locks, 1);
  EXPECT_EQ(stats()["ONE"].unlocks, 1);
  h.GoTo(3);
  EXPECT_THROW(h.PutRecord(3), EXBaseError);   // no write without the index locks
  refusing().clear();
  h.PutRecord(3);
  EXPECT_EQ(stats()["TWO"].locks, 1);
  EXPECT_EQ(stats()["TWO"].unlocks, 1);
}

TEST_F(HandlerTest, ReadAheadMatchesDirectReadsAndSeesWrites) {
  DbfBuilder b(0x03, {{"V", 'C', 97}});
  for (int i = 0; i < 1000; ++i) b.record(i % 7 == 0, {std::to_string(i * 31)});
  b.write(t.file("ra.dbf"));
  XBO_dBHandler plain(t.file("ra.dbf"), false, true, "");
  XBO_dBHandler ahead(t.file("ra.dbf"), true, true, "");
  plain.SetReadAhead(false);
  ahead.SetReadAhead(true);
  ASSERT_TRUE(ahead.ReadAhead);
  int n = 0;
  for (plain.GoTo(-3), ahead.GoTo(-3); !plain.Eof; plain.GoTo(-1), ahead.GoTo(-1)) {
    ASSERT_FALSE(ahead.Eof);
    ASSERT_EQ(plain.RecNo, ahead.RecNo);
    ASSERT_EQ(std::string(plain.FieldView(1)), std::string(ahead.FieldView(1)));
    ++n;
  }
  EXPECT_TRUE(ahead.Eof);
  EXPECT_EQ(n, 1000 - 143);
  ahead.GoTo(10);
  ahead.FieldPut(1, "changed");
  ahead.PutRecord(10);
  ahead.GoTo(11);
  ahead.GoTo(10);
  EXPECT_EQ(ahead.FieldGet(1).substr(0, 7), "changed");
}

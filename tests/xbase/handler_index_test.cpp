// The table handler over real index files: SearchFields seeks through a tag keyed
// on the searched fields, and FindKey under ClipLock locks the indexes only while
// it searches.
#include <gtest/gtest.h>

#include "tests/xbase/idx_helpers.h"
#include "xbase/xb_cdx.h"
#include "xbase/xb_cnst.h"
#include "xbase/xb_ntx.h"

using namespace xb;
using namespace xbt;

namespace {

class HandlerIndex : public ::testing::Test {
protected:
  void SetUp() override {
    // NAME: SMITH, SMALL, JONES, SMART (deleted), SMALL.
    DbfBuilder b(0x03, {{"NAME", 'C', 10}, {"CITY", 'C', 6}});
    b.record(false, {"SMITH", "OMSK"}).record(false, {"SMALL", "TOMSK"}).record(false, {"JONES", "OMSK"});
    b.record(true, {"SMART", "KAZAN"}).record(false, {"SMALL", "KAZAN"});
    b.write(t.file("P.DBF"));
    XBO_dBHandler h(t.file("P.DBF"), true, false, "");
    XBobjNTXFile::CreateFile(h, t.file("NAME.NTX"), "NAME");
    XBobjNTXFile::CreateFile(h, t.file("NC.NTX"), "NAME+CITY");
    XBobjNTXFile::CreateFile(h, t.file("DESC.NTX"), "CITY", false, "", true);
  }
  TempDir t;
};

TEST_F(HandlerIndex, SearchFieldsSeeksThroughAMatchingTag) {
  XBO_dBHandler h(t.file("P.DBF"), false, true, "");
  // Without an index the records are read in order: the first match is physical.
  EXPECT_TRUE(h.SearchFields({"SM"}, "NAME", 0, true, false));
  EXPECT_EQ(h.RecNo, 1);
  ASSERT_EQ(h.OpenIndexes("NAME.NTX, NC.NTX, DESC.NTX", ""), 0);
  struct Case {
    std::vector<std::string> values;
    const char* fields;
    bool partial, caseInsensitive, found;
    int32_t recNo;
  };
  const Case cases[] = {
      {{"SM"}, "NAME", true, false, true, 2},               // key order: SMALL before SMITH
      {{"SMA"}, "name", true, false, true, 2},              // the deleted SMART is stepped over
      {{"SMAR"}, "NAME", true, false, false, 0},            // only the deleted record has it
      {{"SMALL"}, "NAME", false, false, true, 2},
      {{"SMAL"}, "NAME", false, false, false, 0},           // exact: a prefix is no match
      {{"SMALL", "KAZAN"}, "NAME;CITY", false, false, true, 5},
      {{"SMALL", "KAZAN"}, " NAME ; CITY ", false, false, true, 5},
      {{"SMALL", "OMSK"}, "NAME;CITY", false, false, false, 0},
      {{"sm"}, "NAME", true, true, true, 1},                // without regard to case: read in order
      {{"KAZAN"}, "CITY", false, false, true, 5},          // a descending tag is not used
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.fields) + " " + c.values[0]);
    EXPECT_EQ(h.SearchFields(c.values, c.fields, 0, c.partial, c.caseInsensitive), c.found);
    if (c.found) {
      EXPECT_EQ(h.RecNo, c.recNo);
      EXPECT_FALSE(h.Eof);
    }
  }
  // The current tag follows the record found.
  h.SelectTag("NAME", false);
  ASSERT_TRUE(h.SearchFields({"SMITH"}, "NAME", 0, false, false));
  h.GoTo(-2);
  EXPECT_EQ(h.RecNo, 5);   // SMALL (5) comes just before SMITH in key order
}

TEST_F(HandlerIndex, ClipLockFindKeyUnlocksOnEveryExit) {
  TxbLockRetry saved = xbLockRetry();
  xbLockRetry() = {0, 0};
  XBO_dBHandler h(t.file("P.DBF"), true, true, ""), other(t.file("P.DBF"), true, true, "");
  h.SetLockProtocol(ClipLock);
  other.SetLockProtocol(ClipLock);
  ASSERT_EQ(h.OpenIndexes("NAME.NTX", "NAME"), 0);
  ASSERT_EQ(other.OpenIndexes("NAME.NTX", "NAME"), 0);
  for (const char* key : {"SMITH", "ZZZ", "SMA"}) {
    SCOPED_TRACE(key);
    h.FindKey(key);
    // The search left no index lock behind: the other table can lock the indexes.
    EXPECT_TRUE(other.LockIndexes());
    other.UnlockIndexes();
  }
  EXPECT_TRUE(h.FindKey("SMITH"));
  EXPECT_EQ(h.RecNo, 1);
  // While another table holds the index lock the search fails instead of reading unlocked.
  ASSERT_TRUE(other.LockIndexes());
  EXPECT_FALSE(h.FindKey("SMITH"));
  other.UnlockIndexes();
  EXPECT_TRUE(h.FindKey("JONES"));
  EXPECT_EQ(h.RecNo, 3);
  xbLockRetry() = saved;
}

}  // namespace

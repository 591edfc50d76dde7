// The dataset's index properties: IndexFiles, IndexName, index-ordered navigation,
// FindKey through the current tag, and the tags kept in step by Post.
#include <gtest/gtest.h>

#include "tests/xbase/idx_helpers.h"
#include "xbase/XBaseDB.h"
#include "xbase/xb_cdx.h"
#include "xbase/xb_ndx.h"

using namespace xb;
using namespace xbt;

namespace {
std::vector<int32_t> order(TXBaseDataSet& ds) {
  std::vector<int32_t> out;
  for (ds.First(); !ds.Eof(); ds.Next()) out.push_back(ds.RecNo());
  return out;
}
}  // namespace

TEST(IndexDataSet, IndexFilesIndexNameAndFindKey) {
  TempDir t;
  writePeople(t.file("P.DBF"), samplePeople());
  {
    XBO_dBHandler h(t.file("P.DBF"), true, false, "");
    auto f = XBobjCDXFile::CreateFile(h, t.file("P.CDX"));
    f->TagCreate("NAME", "NAME");
    f->TagCreate("AMT", "AMT");
    XBobjNDXFile::CreateFile(h, t.file("BD.ndx"), "BD");
  }
  TXBaseDataSet ds;
  ds.SetDatabaseName(t.path());
  ds.SetTableName("P.DBF");
  ds.SetIndexFiles({"P.CDX", "BD"});   // BD is looked for as BD.ndx
  ds.SetIndexName("NAME");
  ds.Open();
  EXPECT_EQ(ds.GetTagCount(), 3);
  EXPECT_EQ(ds.GetTagName(2), "NAME");
  EXPECT_EQ(ds.GetTagExpression(3), "BD");
  EXPECT_EQ(order(ds), (std::vector<int32_t>{7, 8, 3, 5, 2, 1, 6, 4}));
  EXPECT_TRUE(ds.FindKey("JON"));
  EXPECT_EQ(ds.RecNo(), 2);
  ds.Next();
  EXPECT_EQ(ds.RecNo(), 1);   // the walk goes on in key order from the key found
  EXPECT_FALSE(ds.FindKey("ZZ"));
  EXPECT_TRUE(ds.Eof());

  ds.SetIndexName("AMT");
  EXPECT_EQ(order(ds), (std::vector<int32_t>{2, 3, 6, 8, 4, 7, 1, 5}));
  ds.SetRecNo(8);   // a physical move keeps the key order from there
  ds.Next();
  EXPECT_EQ(ds.RecNo(), 4);

  ds.Append();
  ds.FieldByName("NAME").SetAsString("AAA");
  ds.FieldByName("AMT").SetAsFloat(-100);
  ds.Post();
  EXPECT_EQ(order(ds).front(), 9);
  ds.SetIndexName("NAME");
  EXPECT_EQ(order(ds).front(), 9);
  ds.SetIndexName("");
  EXPECT_EQ(order(ds), (std::vector<int32_t>{1, 2, 3, 4, 5, 6, 7, 8, 9}));
  EXPECT_EQ(errorOf([&] { ds.SetIndexName("NOPE"); }), "EXBaseError: Cannot find index tag NOPE");
  ds.Close();

  TXBaseDataSet again;
  again.SetDatabaseName(t.path());
  again.SetTableName("P.DBF");
  again.SetIndexFiles({"BD.NDX"});
  again.SetIndexName("BD");
  again.Open();
  EXPECT_EQ(order(again), (std::vector<int32_t>{8, 1, 7, 4, 6, 3, 2, 5, 9}));   // empty dates last
  EXPECT_EQ(errorOf([&] { again.SetIndexFiles({"MISSING"}); }),
            "EDatabaseError: Cannot find file " + t.file("MISSING.ndx"));
}

// TXBaseDataSet: master-detail links, index definitions, the set-key state,
// calculated fields, Refresh, IsSequenced and the index-list messages.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/xbase/idx_helpers.h"
#include "xbase/XBaseDB.h"
#include "xbase/xb_cdx.h"
#include "xbase/xb_cnst.h"
#include "xbase/xb_ndx.h"
#include "xbase/xb_ntx.h"

using namespace xb;
using namespace xbt;

namespace {

void setUp(TXBaseDataSet& ds, const TempDir& dir, const std::string& table) {
  ds.SetDatabaseName(dir.path());
  ds.SetTableName(table);
}

std::vector<std::string> column(TXBaseDataSet& ds, const char* field) {
  std::vector<std::string> out;
  for (ds.First(); !ds.Eof(); ds.Next()) out.push_back(ds.FieldByName(field).AsString());
  return out;
}

using Texts = std::vector<std::string>;

// Master-detail

class MasterDetail : public ::testing::Test {
protected:
  void SetUp() override {
    DbfBuilder c(0x03, {{"CUSTNO", 'N', 5}, {"NAME", 'C', 10}});
    c.record(false, {N(1, 5), "ALPHA"}).record(false, {N(2, 5), "BETA"}).record(false, {N(3, 5), "GAMMA"});
    c.write(dir.file("CUST.DBF"));
    DbfBuilder o(0x03, {{"ORDNO", 'N', 5}, {"CUSTNO", 'N', 5}, {"ITEM", 'C', 10}});
    o.record(false, {N(1, 5), N(2, 5), "b1"}).record(false, {N(2, 5), N(1, 5), "a1"});
    o.record(false, {N(3, 5), N(2, 5), "b2"}).record(false, {N(4, 5), N(1, 5), "a2"});
    o.record(false, {N(5, 5), N(2, 5), "b3"});
    o.write(dir.file("ORDERS.DBF"));
    {
      XBO_dBHandler h(dir.file("ORDERS.DBF"), true, false, "");
      XBobjNTXFile::CreateFile(h, dir.file("ORDCUST.NTX"), "CUSTNO");
    }
    setUp(master, dir, "CUST.DBF");
    setUp(detail, dir, "ORDERS.DBF");
    detail.SetIndexFiles({"ORDCUST.NTX"});
    detail.SetIndexName("ORDCUST");
  }
  TempDir dir;
  TXBaseDataSet master, detail;
};

TEST_F(MasterDetail, DetailFollowsTheMasterRecord) {
  master.Open();
  detail.SetMasterSource(&master);
  detail.SetMasterFields("CUSTNO");
  detail.Open();
  EXPECT_EQ(column(detail, "ITEM"), (Texts{"a1", "a2"}));
  master.Next();
  EXPECT_EQ(detail.FieldByName("ITEM").AsString(), "b1");   // the detail went first
  EXPECT_EQ(column(detail, "ITEM"), (Texts{"b1", "b2", "b3"}));
  master.Next();   // GAMMA has no orders
  EXPECT_TRUE(detail.IsEmpty());
  EXPECT_TRUE(detail.Eof());
  master.First();
  EXPECT_EQ(column(detail, "ITEM"), (Texts{"a1", "a2"}));
  master.Locate("NAME", {"BETA"});
  EXPECT_EQ(column(detail, "ITEM"), (Texts{"b1", "b2", "b3"}));
  // A detail edit is posted before the detail follows the master.
  detail.First();
  detail.Edit();
  detail.FieldByName("ITEM").SetAsString("b1*");
  master.Prior();
  EXPECT_EQ(detail.State(), TxbDataSetState::dsBrowse);
  EXPECT_EQ(column(detail, "ITEM"), (Texts{"a1", "a2"}));
  // Closing the master, or unlinking, shows every record again.
  master.Close();
  EXPECT_EQ(column(detail, "ITEM"), (Texts{"a1", "a2", "b1*", "b2", "b3"}));
  master.Open();
  EXPECT_EQ(column(detail, "ITEM"), (Texts{"a1", "a2"}));
  detail.SetMasterSource(nullptr);
  EXPECT_EQ(column(detail, "ITEM"), (Texts{"a1", "a2", "b1*", "b2", "b3"}));
}

TEST_F(MasterDetail, LinkMadeBeforeEitherOpens) {
  detail.SetMasterSource(&master);
  detail.SetMasterFields("CUSTNO");
  master.Open();
  master.SetRecNo(2);
  detail.Open();
  EXPECT_EQ(column(detail, "ORDNO"), (Texts{"1", "3", "5"}));
}

TEST_F(MasterDetail, CircularLinksAndMissingIndexRaise) {
  TXBaseDataSet third;
  setUp(third, dir, "ORDERS.DBF");
  detail.SetMasterSource(&master);
  third.SetMasterSource(&detail);
  EXPECT_EQ(errorOf([&] { master.SetMasterSource(&third); }), "EDatabaseError: Circular datalinks are not allowed");
  EXPECT_EQ(errorOf([&] { master.SetMasterSource(&master); }), "EDatabaseError: Circular datalinks are not allowed");
  EXPECT_EQ(master.MasterSource(), nullptr);
  // A detail without a current tag cannot follow its master.
  TXBaseDataSet plain;
  setUp(plain, dir, "ORDERS.DBF");
  master.Open();
  plain.SetMasterSource(&master);
  plain.SetMasterFields("CUSTNO");
  EXPECT_EQ(errorOf([&] { plain.Open(); }),
            "EDatabaseError: Master/Detail relation failed, no index open for ORDERS.DBF");
  // More master fields than the key uses.
  detail.SetMasterSource(nullptr);
  detail.SetMasterFields("CUSTNO;NAME");
  detail.SetMasterSource(&master);
  EXPECT_EQ(errorOf([&] { detail.Open(); }),
            "EDatabaseError: Master/Detail relation failed, field missmatch for ORDERS.DBF");
}

TEST_F(MasterDetail, DestroyedMasterUnlinks) {
  auto m = std::make_unique<TXBaseDataSet>();
  setUp(*m, dir, "CUST.DBF");
  m->Open();
  detail.SetMasterSource(m.get());
  detail.SetMasterFields("CUSTNO");
  detail.Open();
  EXPECT_EQ(column(detail, "ITEM").size(), 2u);
  m.reset();
  EXPECT_EQ(detail.MasterSource(), nullptr);
  EXPECT_EQ(column(detail, "ITEM").size(), 5u);
}

// Index definitions, the set-key state and the index-list messages

class DataSetIndexes : public ::testing::Test {
protected:
  void SetUp() override {
    writePeople(dir.file("P.DBF"), samplePeople());
    {
      XBO_dBHandler h(dir.file("P.DBF"), true, false, "");
      auto f = XBobjCDXFile::CreateFile(h, dir.file("P.CDX"));
      f->TagCreate("NAME", "NAME");
      f->TagCreate("NN", "NAME + NAME");
      f->TagCreate("UP", "UPPER(NAME)");
      f->TagCreate("AMT", "AMT");
      XBobjNDXFile::CreateFile(h, dir.file("BD.ndx"), "BD");
    }
    setUp(ds, dir, "P.DBF");
  }
  TempDir dir;
  TXBaseDataSet ds;
};

TEST_F(DataSetIndexes, IndexDefsAndIndexFields) {
  ds.SetIndexFiles({"P.CDX"});
  EXPECT_TRUE(ds.IndexDefs().empty());   // rebuilt when the files open
  ds.Open();
  ASSERT_EQ(ds.IndexDefs().size(), 4u);
  struct Def {
    const char* name;
    const char* fields;
    bool expression;
  };
  const Def want[] = {{"AMT", "AMT", false}, {"NAME", "NAME", false}, {"NN", "NAME;NAME", false},
                      {"UP", "UPPER(NAME)", true}};   // in the file's tag order
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(ds.IndexDefs()[i].Name, want[i].name);
    EXPECT_EQ(ds.IndexDefs()[i].Fields, want[i].fields);
    EXPECT_EQ(ds.IndexDefs()[i].Expression, want[i].expression);
  }
  TxbField& name = ds.FieldByName("NAME");
  TxbField& amt = ds.FieldByName("AMT");
  EXPECT_FALSE(ds.GetIsIndexField(name));   // no current tag
  EXPECT_TRUE(ds.IsSequenced());
  ds.SetIndexName("UP");
  EXPECT_TRUE(ds.GetIsIndexField(name));
  EXPECT_FALSE(ds.GetIsIndexField(amt));
  EXPECT_FALSE(ds.IsSequenced());
  ds.SetIndexName("AMT");
  EXPECT_TRUE(ds.GetIsIndexField(amt));
  ds.SetIndexName("");
  EXPECT_TRUE(ds.IsSequenced());
  ds.SetFilter("AMT > 0");
  ds.SetFiltered(true);
  EXPECT_FALSE(ds.IsSequenced());
  ds.SetIndexFiles({"BD"});
  ASSERT_EQ(ds.IndexDefs().size(), 1u);
  EXPECT_EQ(ds.IndexDefs()[0].Fields, "BD");
}

TEST_F(DataSetIndexes, SetKeyWritesOnlyIndexFields) {
  ds.SetIndexFiles({"P.CDX"});
  ds.Open();
  // Opening the production index marks the table's header; from here on nothing is written.
  const std::string opened = ReadFile(dir.file("P.DBF"));
  EXPECT_EQ(errorOf([&] { ds.SetKey(); }),
            "EDatabaseError: " + std::string(msg::NoIndexForKey));
  ds.SetIndexName("NAME");
  ds.SetKey();
  EXPECT_EQ(ds.State(), TxbDataSetState::dsSetKey);
  EXPECT_EQ(errorOf([&] { ds.FieldByName("AMT").SetAsFloat(1); }),
            "EDatabaseError: Field 'AMT' is not indexed and cannot be modified");
  ds.FieldByName("NAME").SetAsString("JONES");
  EXPECT_FALSE(ds.Modified());
  EXPECT_TRUE(ds.GotoKey());
  EXPECT_EQ(ds.State(), TxbDataSetState::dsBrowse);
  EXPECT_EQ(ds.RecNo(), 2);
  ds.SetKey();
  ds.FieldByName("NAME").SetAsString("NOBODY");
  EXPECT_FALSE(ds.GotoKey());
  EXPECT_TRUE(ds.Eof());
  // Post and Cancel leave the state without a search; the file is never written.
  ds.SetKey();
  ds.FieldByName("NAME").SetAsString("X");
  ds.Post();
  EXPECT_EQ(ds.State(), TxbDataSetState::dsBrowse);
  ds.SetKey();
  ds.Cancel();
  EXPECT_EQ(ds.State(), TxbDataSetState::dsBrowse);
  ds.Close();
  EXPECT_EQ(ReadFile(dir.file("P.DBF")), opened);
}

TEST_F(DataSetIndexes, IndexListMessagesAndScrollOfIndexName) {
  ds.SetIndexFiles({"P.CDX"});
  ds.Open();
  std::string full = dir.file("P.CDX");
  EXPECT_EQ(errorOf([&] { ds.AddIndexFile("P.CDX"); }), "EDatabaseError: Index file " + full + " already open");
  ds.AddIndexFile("BD");   // BD.NDX, found without regard to case
  EXPECT_EQ(ds.GetTagCount(), 5);
  EXPECT_EQ(ds.IndexFiles(), (std::vector<std::string>{"P.CDX", "BD"}));
  EXPECT_EQ(ds.IndexDefs().size(), 5u);
  WriteFile(dir.file("BAD.ntx"), std::string(100, 'x'));
  EXPECT_EQ(errorOf([&] { ds.SetIndexFiles({"BAD.ntx"}); }), "EDatabaseError: Error getting " + dir.file("BAD.ntx"));
  ds.SetIndexFiles({"P.CDX"});
  // Selecting a tag keeps the record and tells the scroll handlers.
  ds.SetRecNo(4);
  int scrolls = 0;
  ds.AfterScroll = [&](TXBaseDataSet&) { ++scrolls; };
  ds.SetIndexName("NAME");
  EXPECT_EQ(scrolls, 1);
  EXPECT_EQ(ds.RecNo(), 4);
  ds.Prior();
  EXPECT_EQ(ds.RecNo(), 6);   // ZED comes just before smith in key order
  ds.Close();
  // A new table name empties the index list of the old table.
  ds.SetTableName("P.DBF");
  EXPECT_EQ(ds.IndexFiles().size(), 1u);
  ds.SetTableName("OTHER.DBF");
  EXPECT_TRUE(ds.IndexFiles().empty());
}

// Calculated fields, Refresh

TEST(DataSetCalcFields, ValuesPerRecordAndWhileEditing) {
  TempDir dir;
  writePeople(dir.file("P.DBF"), samplePeople());
  TXBaseDataSet ds;
  setUp(ds, dir, "P.DBF");
  ds.AddCalcField("SHOUT", TxbFieldType::ftString, 12);
  ds.AddCalcField("TWICE", TxbFieldType::ftFloat);
  ds.AddCalcField("NEG", TxbFieldType::ftBoolean);
  int calls = 0;
  std::string dataWrite;
  ds.OnCalcFields = [&](TXBaseDataSet& d) {
    ++calls;
    EXPECT_EQ(d.State(), TxbDataSetState::dsCalcFields);
    d.FieldByName("SHOUT").SetAsString(d.FieldByName("NAME").AsString() + "!");
    d.FieldByName("TWICE").SetAsFloat(d.FieldByName("AMT").AsFloat() * 2);
    if (d.FieldByName("AMT").AsFloat() < 0) d.FieldByName("NEG").SetAsBoolean(true);
    dataWrite = errorOf([&] { d.FieldByName("NAME").SetAsString("X"); });
  };
  ds.Open();
  EXPECT_EQ(dataWrite, "EDatabaseError: Dataset not in edit or insert mode");
  EXPECT_EQ(ds.FieldDefs().size(), 3u);
  EXPECT_EQ(ds.FieldCount(), 6);
  EXPECT_TRUE(ds.FieldByName("TWICE").Calculated());
  EXPECT_EQ(column(ds, "SHOUT"), (Texts{"SMITH!", "JONES!", "ADAMS!", "smith!", "BROWN!", "ZED!", "AB!", "ABC!"}));
  ds.SetRecNo(2);
  EXPECT_EQ(ds.FieldByName("TWICE").AsFloat(), -25.5);
  EXPECT_TRUE(ds.FieldByName("NEG").AsBoolean());
  ds.SetRecNo(1);
  EXPECT_TRUE(ds.FieldByName("NEG").IsNull());
  EXPECT_EQ(ds.FieldByName("TWICE").AsString(), "25");
  // While editing a field write recalculates at once (AutoCalcFields).
  ds.Edit();
  ds.FieldByName("AMT").SetAsFloat(-1);
  EXPECT_EQ(ds.FieldByName("TWICE").AsFloat(), -2);
  EXPECT_TRUE(ds.FieldByName("NEG").AsBoolean());
  ds.SetAutoCalcFields(false);
  ds.FieldByName("AMT").SetAsFloat(4);
  EXPECT_EQ(ds.FieldByName("TWICE").AsFloat(), -2);
  ds.Post();   // the record is calculated again after the post
  EXPECT_EQ(ds.FieldByName("TWICE").AsFloat(), 8);
  // Lookup calculates the record it found.
  auto r = ds.Lookup("NAME", {"ZED"}, "SHOUT;TWICE");
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(*r, (Texts{"ZED!", "-10"}));
  EXPECT_EQ(ds.RecNo(), 1);
  EXPECT_GT(calls, 8);
  ds.Close();
  EXPECT_EQ(errorOf([&] { ds.Open(); ds.AddCalcField("LATE", TxbFieldType::ftInteger); }),
            "EDatabaseError: Cannot perform this operation on an open dataset");
}

TEST(DataSetRefresh, RereadsTheRecordAndTheFilter) {
  TempDir dir;
  writePeople(dir.file("P.DBF"), samplePeople());
  TXBaseDataSet ds, other;
  setUp(ds, dir, "P.DBF");
  setUp(other, dir, "P.DBF");
  ds.SetFilter("AMT > 10");
  ds.SetFiltered(true);
  ds.Open();
  other.Open();
  EXPECT_EQ(column(ds, "NAME"), (Texts{"SMITH", "BROWN"}));
  ds.First();
  other.Edit();
  other.FieldByName("NAME").SetAsString("SMYTHE");
  other.Post();
  other.SetRecNo(6);
  other.Edit();
  other.FieldByName("AMT").SetAsFloat(50);
  other.Post();
  EXPECT_EQ(ds.FieldByName("NAME").AsString(), "SMITH");
  ds.Refresh();
  EXPECT_EQ(ds.RecNo(), 1);
  EXPECT_EQ(ds.FieldByName("NAME").AsString(), "SMYTHE");
  EXPECT_EQ(column(ds, "NAME"), (Texts{"SMYTHE", "BROWN", "ZED"}));
}

}  // namespace

#include <gtest/gtest.h>

#include <set>
#include <tuple>

#include "cds_test_util.h"
#include "db/ClientDataSet.h"
#include "platform/dates.h"

using cds::FType;
using cds::TClientDataSet;
using cds::Value;
using cdstest::AddRow;
using cdstest::F;
using cdstest::Walk;

namespace {

// Centre patients: IDP, names, birthday, policy.
void MakePatients(TClientDataSet& ds) {
  ds.SetFieldDefs({F("IDP", FType::I32), F("LAST_NAME", FType::Str, 40), F("FIRST_NAME", FType::Str, 40),
                   F("MIDDLE_NAME", FType::Str, 40), F("BIRTHDAY", FType::Date), F("POLICY_SERIA", FType::Str, 10),
                   F("POLICY_NUM", FType::Str, 20)});
  ds.CreateDataSet();
  Value none;
  AddRow(ds, {1, "IVANOV", "IVAN", none, Value::Date(1980, 1, 15), "AB", "123"});
  AddRow(ds, {2, "ivanov", "Ivan", "PETROVICH", none, "", "555"});
  AddRow(ds, {3, "PETROV", "PETR", none, Value::Date(1970, 2, 1), none, none});
  AddRow(ds, {4, "IVANOV", "IVAN", none, Value::Date(1980, 1, 15), "AB", "124"});
  AddRow(ds, {5, "\xC8\xE2\xE0\xED\xEE\xE2", "A", none, none, "AB", "123"});   // Cyrillic capital
  AddRow(ds, {6, "\xE8\xE2\xE0\xED\xEE\xE2", "A", none, none, none, none});    // Cyrillic small first letter
  ds.MergeChangeLog();
}

struct FindCase {
  const char* index;
  std::vector<Value> key;
  int expectIdp;  // 0: not found
};

}  // namespace

TEST(CdsDataset, FindKeyOnCompoundPartialNullAndFoldedKeys) {
  TClientDataSet ds;
  MakePatients(ds);
  ds.AddIndex("PERSON", "LAST_NAME;FIRST_NAME;MIDDLE_NAME;BIRTHDAY");
  ds.AddIndex("PERSON_CI", "LAST_NAME;FIRST_NAME;MIDDLE_NAME;BIRTHDAY", cds::ixCaseInsensitive);
  ds.AddIndex("POLICE", "POLICY_SERIA;POLICY_NUM");
  ds.AddIndex("ID", "IDP");
  const FindCase cases[] = {
      {"PERSON", {"IVANOV", "IVAN", "", "15.01.1980"}, 1},        // null middle name given as "", birthday as text
      {"PERSON", {"IVANOV", "IVAN", Value(), Value::Date(1980, 1, 15)}, 1},  // ties: the first inserted
      {"PERSON", {"IVANOV"}, 1},                                   // partial key
      {"PERSON", {"ivanov"}, 2},                                   // case-sensitive
      {"PERSON", {"IVANOV", "IVAN", "X"}, 0},
      {"PERSON", {"PETROV", "PETR", "", "01.02.1970"}, 3},
      {"PERSON", {"PETROV", "PETR", "", "02.02.1970"}, 0},
      {"PERSON", {"SIDOROV"}, 0},
      {"PERSON_CI", {"ivanov", "ivan"}, 1},                        // ASCII folding; null middle names first
      {"PERSON_CI", {"ivanov", "ivan", "petrovich"}, 2},
      {"PERSON_CI", {"\xE8\xE2\xE0\xED\xEE\xE2"}, 6},             // Cyrillic letters are not folded
      {"PERSON_CI", {"\xC8\xE2\xE0\xED\xEE\xE2"}, 5},
      {"POLICE", {"", "555"}, 2},                                  // empty series equals null
      {"POLICE", {Value(), Value()}, 3},                           // null matches null: the first of 3 and 6
      {"POLICE", {"AB", "123"}, 1},
      {"POLICE", {"AB", "124"}, 4},
      {"POLICE", {"AB"}, 1},
      {"ID", {"4"}, 4},                                            // integer key given as text
      {"ID", {4}, 4},
      {"ID", {7}, 0},
  };
  for (const FindCase& c : cases) {
    SCOPED_TRACE(std::string(c.index) + " " + (c.key.empty() ? "" : c.key[0].asString()));
    ds.SetIndexName(c.index);
    ds.First();
    ds.Next();  // start somewhere else, so that "not found" shows the cursor did not move
    int before = ds.FieldByName("IDP").AsInteger();
    bool found = ds.FindKey(c.key);
    EXPECT_EQ(found, c.expectIdp != 0);
    EXPECT_EQ(ds.FieldByName("IDP").AsInteger(), found ? c.expectIdp : before);
  }
}

TEST(CdsDataset, IndexOrderNullsFirstTiesInInsertionOrder) {
  TClientDataSet ds;
  MakePatients(ds);
  ds.AddIndex("POLICE", "POLICY_SERIA;POLICY_NUM");
  ds.SetIndexName("POLICE");
  // 3 and 6 have null series, 2 has "" (null): they come first in insertion order, by number.
  EXPECT_EQ(Walk(ds, "IDP"), (std::vector<std::string>{"3", "6", "2", "1", "5", "4"}));
  ds.AddIndex("NAME_CI", "LAST_NAME", cds::ixCaseInsensitive);
  ds.SetIndexName("NAME_CI");
  EXPECT_EQ(Walk(ds, "IDP"), (std::vector<std::string>{"1", "2", "4", "3", "5", "6"}));
  ds.SetIndexName("");
  EXPECT_EQ(Walk(ds, "IDP"), (std::vector<std::string>{"1", "2", "3", "4", "5", "6"}));
}

TEST(CdsDataset, RangeIsLexicographicOnTheIndexKey) {
  TClientDataSet ds;
  ds.SetFieldDefs({F("IDV", FType::I32), F("PATIENT_ID", FType::I32), F("HANDLE_ID", FType::I32),
                   F("DATE_VISIT", FType::Date)});
  ds.CreateDataSet();
  AddRow(ds, {1, 10, 5, Value::Date(1999, 5, 1)});   // inside: HANDLE_ID 5 > 1 decides
  AddRow(ds, {2, 10, 1, Value::Date(1999, 5, 1)});   // outside: same handle, date before 2000
  AddRow(ds, {3, 10, 1, Value::Date(2000, 1, 1)});   // inside
  AddRow(ds, {4, 11, 1, Value::Date(2005, 1, 1)});   // other patient
  AddRow(ds, {5, 9, 1, Value::Date(2005, 1, 1)});    // other patient
  AddRow(ds, {6, 10, Value(), Value::Date(2005, 1, 1)});  // null handle sorts first: outside
  AddRow(ds, {7, 10, 2147483647, Value::Date(2005, 1, 1)});  // top handle, date before today
  ds.AddIndex("VISIT_IN_HANDLE_IND", "PATIENT_ID;HANDLE_ID;DATE_VISIT;IDV");
  ds.SetIndexName("VISIT_IN_HANDLE_IND");
  ds.SetRange({10, 1, platform::StrToDate("01.01.2000"), 1}, {10, 2147483647, platform::Date(), 2147483647});
  EXPECT_EQ(Walk(ds, "IDV"), (std::vector<std::string>{"3", "1", "7"}));
  EXPECT_EQ(ds.RecordCount(), 3);
  // Partial keys compare only their leading fields.
  ds.SetRange({10}, {10});
  EXPECT_EQ(Walk(ds, "IDV"), (std::vector<std::string>{"6", "2", "3", "1", "7"}));
  EXPECT_EQ(ds.RecordCount(), 5);
  // Key search stays inside the range.
  EXPECT_FALSE(ds.FindKey({11}));
  EXPECT_TRUE(ds.FindKey({10, 5}));
  EXPECT_EQ(ds.FieldByName("IDV").AsInteger(), 1);
  ds.SetRange({9}, {10});
  EXPECT_EQ(ds.RecordCount(), 6);
  ds.SetRange({12}, {20});
  EXPECT_TRUE(ds.Eof());
  EXPECT_EQ(ds.RecordCount(), 0);
  // Setting the index cancels the range.
  ds.SetIndexName("VISIT_IN_HANDLE_IND");
  EXPECT_EQ(ds.RecordCount(), 7);
}

TEST(CdsDataset, DeleteMovesToTheNextRowOfTheWalk) {
  TClientDataSet ds;
  ds.SetFieldDefs({F("ID", FType::I32), F("IDP", FType::I32)});
  ds.CreateDataSet();
  for (int i = 1; i <= 8; ++i) AddRow(ds, {i, i % 2 ? 100 : 200});
  ds.MergeChangeLog();
  ds.AddIndex("BY_IDP", "IDP");
  ds.SetIndexName("BY_IDP");
  // A loop that deletes every row of its range and never calls Next.
  ds.SetRange({100}, {100});
  int visited = 0;
  std::vector<int> seen;
  while (!ds.Eof()) {
    seen.push_back(ds.FieldByName("ID").AsInteger());
    ds.Delete();
    ASSERT_LT(++visited, 10);
  }
  EXPECT_EQ(seen, (std::vector<int>{1, 3, 5, 7}));
  ds.CancelRange();
  EXPECT_EQ(Walk(ds, "ID"), (std::vector<std::string>{"2", "4", "6", "8"}));
  EXPECT_EQ(ds.ChangeCount(), 4);
  // Mixed: keep some rows (Next), delete others.
  ds.First();
  while (!ds.Eof()) {
    if (ds.FieldByName("ID").AsInteger() == 4 || ds.FieldByName("ID").AsInteger() == 8) ds.Delete();
    else ds.Next();
  }
  EXPECT_EQ(Walk(ds, "ID"), (std::vector<std::string>{"2", "6"}));
  // Deleting the last row ends the walk.
  ds.First();
  ds.Next();
  ds.Delete();
  EXPECT_TRUE(ds.Eof());
  EXPECT_EQ(ds.RecordCount(), 1);
}

TEST(CdsDataset, EveryIndexStaysCurrentOnAppendEditDelete) {
  TClientDataSet ds;
  ds.SetFieldDefs({F("IDV", FType::I32), F("PATIENT_ID", FType::I32), F("DATE_VISIT", FType::Date),
                   F("DOCTOR", FType::I32)});
  ds.CreateDataSet();
  ds.AddIndex("VISIT_ID_IND", "IDV");
  ds.AddIndex("VISIT_UNIQ_IND", "PATIENT_ID;DATE_VISIT;DOCTOR");
  ds.SetIndexName("VISIT_ID_IND");
  AddRow(ds, {10, 1, "01.02.2025", 7});
  AddRow(ds, {11, 2, "01.02.2025", 7});
  // Rows appended while another index is active are found through every index.
  ds.SetIndexName("VISIT_UNIQ_IND");
  EXPECT_TRUE(ds.FindKey({2, "01.02.2025", 7}));
  EXPECT_EQ(ds.FieldByName("IDV").AsInteger(), 11);
  // Editing a key field moves the row in that index.
  ds.Edit();
  ds.FieldByName("DOCTOR").SetAsInteger(9);
  ds.Post();
  EXPECT_FALSE(ds.FindKey({2, "01.02.2025", 7}));
  EXPECT_TRUE(ds.FindKey({2, "01.02.2025", 9}));
  ds.SetIndexName("VISIT_ID_IND");
  EXPECT_TRUE(ds.FindKey({11}));
  EXPECT_EQ(ds.FieldByName("DOCTOR").AsInteger(), 9);
  ds.Delete();
  EXPECT_FALSE(ds.FindKey({11}));
  ds.SetIndexName("VISIT_UNIQ_IND");
  EXPECT_FALSE(ds.FindKey({2}));
  EXPECT_EQ(ds.RecordCount(), 1);
  // An inserted row that is deleted leaves no pending change.
  EXPECT_EQ(ds.ChangeCount(), 1);
}

TEST(CdsDataset, ManyChangesKeepIndexesConsistent) {
  TClientDataSet ds;
  ds.SetFieldDefs({F("ID", FType::I32), F("K", FType::I32), F("S", FType::Str)});
  ds.CreateDataSet();
  ds.AddIndex("BY_K", "K;S");
  ds.SetIndexName("BY_K");
  std::vector<int> k(3000);
  for (int i = 0; i < 3000; ++i) {
    k[static_cast<size_t>(i)] = (i * 7919) % 1000;
    AddRow(ds, {i, k[static_cast<size_t>(i)], std::to_string(i % 13)});
  }
  ds.SetIndexName("");
  for (ds.First(); !ds.Eof();) {
    int id = ds.FieldByName("ID").AsInteger();
    if (id % 3 == 0) {
      ds.Delete();
      continue;
    }
    if (id % 3 == 1) {
      ds.Edit();
      ds.FieldByName("K").SetAsInteger(5000 - k[static_cast<size_t>(id)]);
      ds.Post();
    }
    ds.Next();
  }
  ds.SetIndexName("BY_K");
  int n = 0;
  int lastK = -1;
  std::string lastS;
  for (ds.First(); !ds.Eof(); ds.Next(), ++n) {
    int kk = ds.FieldByName("K").AsInteger();
    std::string s = ds.FieldByName("S").AsString();
    EXPECT_TRUE(kk > lastK || (kk == lastK && s >= lastS));
    lastK = kk;
    lastS = s;
  }
  EXPECT_EQ(n, 2000);
  EXPECT_EQ(ds.RecordCount(), 2000);
  EXPECT_EQ(ds.ChangeCount(), 2000);  // inserted rows stay inserted; deleted inserted rows vanish
}

TEST(CdsDataset, EditPostCancelAndStates) {
  TClientDataSet ds;
  MakePatients(ds);
  EXPECT_EQ(ds.State(), cds::TDataSetState::dsBrowse);
  EXPECT_THROW(ds.FieldByName("IDP").SetAsInteger(9), cds::EDatabaseError);
  ds.First();
  ds.Edit();
  EXPECT_EQ(ds.State(), cds::TDataSetState::dsEdit);
  ds.FieldByName("LAST_NAME").SetAsString("");
  EXPECT_TRUE(ds.FieldByName("LAST_NAME").IsNull());  // empty text is null
  ds.Cancel();
  EXPECT_EQ(ds.FieldByName("LAST_NAME").AsString(), "IVANOV");
  EXPECT_EQ(ds.ChangeCount(), 0);
  ds.Edit();
  ds.FieldByName("LAST_NAME").SetAsString("IVANOVA");
  ds.Post();
  ds.Edit();
  ds.FieldByName("FIRST_NAME").SetAsString("ANNA");
  ds.Post();
  EXPECT_EQ(ds.ChangeCount(), 1);  // one per changed row
  // Navigation posts a pending append.
  ds.Append();
  EXPECT_EQ(ds.State(), cds::TDataSetState::dsInsert);
  ds.FieldByName("IDP").SetAsString("77");
  ds.First();
  EXPECT_EQ(ds.State(), cds::TDataSetState::dsBrowse);
  EXPECT_EQ(ds.RecordCount(), 7);
  EXPECT_EQ(ds.ChangeCount(), 2);
  // Cancel of an append returns to the row before it.
  ds.First();
  ds.Next();
  ds.Append();
  ds.Cancel();
  EXPECT_EQ(ds.FieldByName("IDP").AsInteger(), 2);
  EXPECT_TRUE(ds.FieldByName("BIRTHDAY").IsNull());
  EXPECT_EQ(ds.FieldByName("BIRTHDAY").AsDateTime(), 0.0);
}

TEST(CdsDataset, FieldsByNameAndPosition) {
  TClientDataSet ds;
  ds.SetFieldDefs({F("IDV", FType::I32), F("PATIENT_ID", FType::I32), F("IDV_1", FType::I32)});
  ds.CreateDataSet();
  EXPECT_EQ(ds.FieldCount(), 3);
  EXPECT_EQ(ds.Fields(1).FieldName(), "PATIENT_ID");
  EXPECT_EQ(ds.FindField("patient_id"), &ds.Fields(1));
  EXPECT_EQ(ds.FindField("NOPE"), nullptr);
  EXPECT_THROW(ds.FieldByName("NOPE"), cds::EDatabaseError);
  EXPECT_THROW(ds.Fields(3), cds::EDatabaseError);
  EXPECT_TRUE(ds.IsEmpty());
  ds.First();
  EXPECT_TRUE(ds.Eof());
  EXPECT_TRUE(ds.FieldByName("IDV").IsNull());
  EXPECT_THROW(ds.Delete(), cds::EDatabaseError);
  EXPECT_THROW(ds.Edit(), cds::EDatabaseError);
  EXPECT_THROW(ds.SetIndexName("MISSING"), cds::EDatabaseError);
  EXPECT_THROW(ds.AddIndex("BAD", "IDV;NOPE"), cds::EDatabaseError);
  EXPECT_FALSE(ds.HasIndex("BAD"));
  ds.AddIndex("byIDV", "IDV");
  EXPECT_TRUE(ds.HasIndex("BYIDV"));
  EXPECT_THROW(ds.AddIndex("byIDV", "IDV"), cds::EDatabaseError);
}

TEST(CdsDataset, IndexesDefinedBeforeOpenAreBuiltOnOpen) {
  TClientDataSet ds;
  ds.SetFieldDefs({F("A", FType::Str), F("B", FType::I64)});
  ds.AddIndex("BY_B", "B");
  ds.SetIndexName("BY_B");
  ds.BeginBulk(ds.FieldDefs());
  const Value rows[3][2] = {{"x", Value::Int64(30)}, {"y", Value::Int64(10)}, {"z", Value::Int64(20)}};
  for (const auto& r : rows) ds.BulkAppend(r, 2);
  ds.EndBulk();
  EXPECT_EQ(Walk(ds, "A"), (std::vector<std::string>{"y", "z", "x"}));
  EXPECT_EQ(ds.ChangeCount(), 0);
}

TEST(CdsDataset, WalkingOneDatasetWhileChangingAnother) {
  // Branch visits walked in a range and deleted as they are copied; the centre gets
  // appends that later searches must see.
  TClientDataSet branch, centre;
  branch.SetFieldDefs({F("IDV", FType::I32), F("PATIENT_ID", FType::I32), F("DATE_VISIT", FType::Date),
                       F("DOCTOR", FType::I32)});
  branch.CreateDataSet();
  for (int i = 0; i < 50; ++i) AddRow(branch, {1500000001 + i, 7 + i % 3, Value::Date(45000 + i % 5), i % 4});
  branch.MergeChangeLog();
  centre.SetFieldDefs(branch.FieldDefs());
  centre.CreateDataSet();
  AddRow(centre, {1, 7, Value::Date(45000), 0});
  centre.MergeChangeLog();
  centre.AddIndex("VISIT_ID_IND", "IDV");
  centre.AddIndex("VISIT_UNIQ_IND", "PATIENT_ID;DATE_VISIT;DOCTOR");
  centre.SetIndexName("VISIT_UNIQ_IND");
  branch.AddIndex("VISIT_IDV_IND", "IDV");
  branch.SetIndexName("VISIT_IDV_IND");
  branch.SetRange({1500000001}, {2147483647});
  int counter = 100, copied = 0, walked = 0;
  while (!branch.Eof()) {
    ++walked;
    std::vector<Value> key = {branch.FieldByName("PATIENT_ID").AsValue(), branch.FieldByName("DATE_VISIT").AsValue(),
                              branch.FieldByName("DOCTOR").AsValue()};
    if (!centre.FindKey(key)) {
      centre.Append();
      centre.FieldByName("IDV").SetAsInteger(++counter);
      for (int c = branch.FieldCount() - 1; c >= 1; --c)
        centre.FieldByName(branch.Fields(c).FieldName()).SetValue(branch.Fields(c).AsValue());
      centre.Post();
      ++copied;
    }
    branch.Delete();  // in every case; no Next
  }
  EXPECT_EQ(walked, 50);
  EXPECT_EQ(branch.RecordCount(), 0);
  // 3 patients x 5 dates x 4 doctors = 60 keys, of which the 50 rows cover 15 x ... distinct ones.
  std::set<std::tuple<int, int, int>> keys;
  for (int i = 0; i < 50; ++i) keys.insert({7 + i % 3, 45000 + i % 5, i % 4});
  keys.erase({7, 45000, 0});  // already at the centre
  EXPECT_EQ(copied, static_cast<int>(keys.size()));
  EXPECT_EQ(centre.ChangeCount(), copied);
  centre.SetIndexName("VISIT_ID_IND");
  EXPECT_TRUE(centre.FindKey({101}));
  EXPECT_EQ(centre.RecordCount(), copied + 1);
}

TEST(CdsDataset, SwitchingTheIndexKeepsTheCurrentRow) {
  TClientDataSet ds;
  MakePatients(ds);
  ds.AddIndex("POLICE", "POLICY_SERIA;POLICY_NUM");
  ds.AddIndex("ID", "IDP");
  ds.SetIndexName("ID");
  ASSERT_TRUE(ds.FindKey({4}));
  ds.SetIndexName("POLICE");
  EXPECT_EQ(ds.FieldByName("IDP").AsInteger(), 4);
  EXPECT_FALSE(ds.Eof());
  ds.Next();  // (AB,124) is the last in policy order
  EXPECT_TRUE(ds.Eof());
  EXPECT_EQ(ds.FieldByName("IDP").AsInteger(), 4);
}

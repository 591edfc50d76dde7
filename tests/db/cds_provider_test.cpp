#include <gtest/gtest.h>

#include "cds_test_util.h"
#include "db/Provider.h"

using cds::FType;
using cds::TClientDataSet;
using cds::Value;
using cdstest::F;

namespace {

// A source of fixed rows with table metadata.
class FakeSource : public cds::IDataSource {
public:
  std::vector<cds::TSourceColumn> cols;
  std::vector<std::vector<Value>> rows;
  size_t at = 0;
  int opens = 0;
  void Open() override {
    at = 0;
    ++opens;
  }
  std::vector<cds::TSourceColumn> Columns() override { return cols; }
  bool Fetch(std::vector<Value>& row) override {
    if (at >= rows.size()) return false;
    row = rows[at++];
    return true;
  }
  void Close() override {}
};

// Records statements; a statement whose text contains `failOn` raises, one containing
// `zeroOn` touches no row.
class FakeTarget : public cds::IUpdateTarget {
public:
  std::vector<std::string> sql;
  std::vector<std::vector<Value>> params;
  std::string failOn = "\x01", zeroOn = "\x01";
  bool inTx = false;
  int starts = 0, commits = 0, rollbacks = 0;
  std::vector<std::string> keys = {"IDP"};
  int keyLookups = 0;
  std::vector<std::string> PrimaryKey(const std::string&) override {
    ++keyLookups;
    return keys;
  }
  std::vector<std::string> ReadOnlyColumns(const std::string&) override { return {"FIO"}; }
  bool InTransaction() override { return inTx; }
  void StartTransaction() override { ++starts; }
  void Commit() override { ++commits; }
  void Rollback() override { ++rollbacks; }
  int64_t Execute(const std::string& s, const std::vector<Value>& p) override {
    sql.push_back(s);
    params.push_back(p);
    if (s.find(failOn) != std::string::npos) throw cds::EDatabaseError("violation of PRIMARY or UNIQUE KEY");
    return s.find(zeroOn) != std::string::npos ? 0 : 1;
  }
};

cds::TSourceColumn Col(const char* name, FType t, const char* rel = "PATIENT") {
  cds::TSourceColumn c;
  c.Name = name;
  c.DataType = t;
  c.Relation = rel;
  c.Column = name;
  return c;
}

void Fill(FakeSource& src) {
  src.cols = {Col("IDP", FType::I32), Col("LAST_NAME", FType::Str), Col("BIRTHDAY", FType::Date),
              Col("FIO", FType::Str), Col("NOTE", FType::Memo), Col("IDP", FType::I32, "VISITS")};
  src.rows = {{1, "A", Value::Date(2000, 1, 1), "x", Value::Text("n", FType::Memo), 1},
              {2, "B", Value(), "y", Value(), 2},
              {3, "C", Value::Date(2001, 1, 1), "z", Value(), 3}};
}

}  // namespace

TEST(CdsProvider, FillNamesDuplicatesAndKeepsOrigin) {
  FakeSource src;
  Fill(src);
  cds::TDataSetProvider dsp("dspPatient", &src);
  TClientDataSet ds;
  ds.SetProvider(&dsp);
  ds.Open();
  ASSERT_EQ(ds.FieldCount(), 6);
  EXPECT_EQ(ds.Fields(5).FieldName(), "IDP_1");
  EXPECT_EQ(ds.FieldByName("IDP").Index(), 0);
  EXPECT_EQ(ds.Fields(5).Def().Relation, "VISITS");
  EXPECT_EQ(ds.RecordCount(), 3);
  EXPECT_EQ(ds.ChangeCount(), 0);
  ds.Close();
  ds.Open();
  EXPECT_EQ(src.opens, 2);
}

TEST(CdsProvider, StatementsUseOriginalKeyAndChangedColumns) {
  FakeSource src;
  Fill(src);
  FakeTarget dst;
  cds::TDataSetProvider dsp("dspPatient", &src, &dst);
  TClientDataSet ds;
  ds.SetProvider(&dsp);
  ds.Open();
  ds.AddIndex("ID", "IDP");
  ds.SetIndexName("ID");
  ASSERT_TRUE(ds.FindKey({2}));
  ds.Edit();
  ds.FieldByName("IDP").SetAsInteger(20);         // a key change: WHERE uses the original key
  ds.FieldByName("LAST_NAME").SetAsString("BB");
  ds.FieldByName("BIRTHDAY").SetAsString("02.02.2002");
  ds.Post();
  ds.Append();
  ds.FieldByName("IDP").SetAsInteger(4);
  ds.FieldByName("LAST_NAME").SetAsString("D");
  ds.FieldByName("FIO").SetAsString("computed");  // never written
  ds.Post();
  ASSERT_TRUE(ds.FindKey({3}));
  ds.Delete();
  ASSERT_TRUE(ds.FindKey({1}));
  ds.Edit();
  ds.FieldByName("NOTE").SetAsString("");         // memo to null: no original comparison for blobs
  ds.Post();
  EXPECT_EQ(ds.ChangeCount(), 4);
  EXPECT_EQ(ds.ApplyUpdates(0), 0);
  EXPECT_EQ(ds.ChangeCount(), 0);
  ASSERT_EQ(dst.sql.size(), 4u);
  EXPECT_EQ(dst.sql[0],
            "UPDATE \"PATIENT\" SET \"IDP\" = :P1, \"LAST_NAME\" = :P2, \"BIRTHDAY\" = :P3 WHERE \"IDP\" = :P4 "
            "AND \"LAST_NAME\" = :P5 AND \"BIRTHDAY\" IS NULL");
  EXPECT_EQ(dst.params[0][0].asInteger(), 20);
  EXPECT_EQ(dst.params[0][3].asInteger(), 2);
  EXPECT_EQ(dst.params[0][4].asString(), "B");
  EXPECT_EQ(dst.sql[1], "INSERT INTO \"PATIENT\" (\"IDP\", \"LAST_NAME\") VALUES (:P1, :P2)");
  EXPECT_EQ(dst.sql[2], "DELETE FROM \"PATIENT\" WHERE \"IDP\" = :P1");
  EXPECT_EQ(dst.params[2][0].asInteger(), 3);
  EXPECT_EQ(dst.sql[3], "UPDATE \"PATIENT\" SET \"NOTE\" = NULL WHERE \"IDP\" = :P1");
  EXPECT_EQ(dst.starts, 1);
  EXPECT_EQ(dst.commits, 1);
}

TEST(CdsProvider, FailedRowsGoToTheReconcileHandlerAndStayPending) {
  FakeSource src;
  Fill(src);
  FakeTarget dst;
  dst.inTx = true;  // joins the caller's transaction: no start, commit or rollback of its own
  dst.failOn = "INSERT";
  dst.zeroOn = "\"LAST_NAME\" = :P1 WHERE";  // the first update touches no row: a conflict
  cds::TDataSetProvider dsp("dspPatient", &src, &dst);
  TClientDataSet ds;
  ds.SetProvider(&dsp);
  ds.Open();
  ds.First();
  ds.Edit();
  ds.FieldByName("LAST_NAME").SetAsString("AA");
  ds.Post();
  cdstest::AddRow(ds, {5, "E"});
  ds.First();
  ds.Next();
  ds.Edit();
  ds.FieldByName("BIRTHDAY").SetAsString("01.01.1990");
  ds.Post();
  struct Seen {
    std::string context, cls, msg;
    int kind;
  };
  std::vector<Seen> seen;
  ds.OnReconcileError = [&](TClientDataSet& d, const cds::EReconcileError& e, cds::TUpdateKind k,
                            cds::TReconcileAction& action) {
    EXPECT_EQ(&d, &ds);
    EXPECT_EQ(action, cds::TReconcileAction::raSkip);
    seen.push_back({e.Context(), e.OriginalClassName(), e.what(), static_cast<int>(k)});
  };
  EXPECT_EQ(ds.ApplyUpdates(-1), 2);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].context, "PATIENT IDP=1");
  EXPECT_EQ(seen[0].cls, "EDatabaseError");
  EXPECT_EQ(seen[0].msg, "Record not found or changed by another user");
  EXPECT_EQ(seen[0].kind, 0);
  EXPECT_EQ(seen[1].context, "PATIENT IDP=5");
  EXPECT_EQ(seen[1].msg, "violation of PRIMARY or UNIQUE KEY");
  EXPECT_EQ(seen[1].kind, 1);
  EXPECT_EQ(ds.ChangeCount(), 2);  // the failed rows; the good update applied
  EXPECT_EQ(dst.starts + dst.commits + dst.rollbacks, 0);
  // With at most 0 errors allowed the walk stops after the first failure.
  dst.sql.clear();
  seen.clear();
  EXPECT_EQ(ds.ApplyUpdates(0), 1);
  EXPECT_EQ(dst.sql.size(), 1u);
  EXPECT_EQ(ds.ChangeCount(), 2);
  // raCancel puts the row back to its original values.
  ds.OnReconcileError = [&](TClientDataSet&, const cds::EReconcileError&, cds::TUpdateKind,
                            cds::TReconcileAction& action) { action = cds::TReconcileAction::raCancel; };
  EXPECT_EQ(ds.ApplyUpdates(-1), 2);
  EXPECT_EQ(ds.ChangeCount(), 0);
  EXPECT_EQ(ds.RecordCount(), 3);
  ds.SetIndexName("");
  ds.First();
  EXPECT_EQ(ds.FieldByName("LAST_NAME").AsString(), "A");
}

TEST(CdsProvider, OwnTransactionRollsBackWhenTooManyRowsFail) {
  FakeSource src;
  Fill(src);
  FakeTarget dst;
  dst.failOn = "DELETE";
  cds::TDataSetProvider dsp("dspPatient", &src, &dst);
  TClientDataSet ds;
  ds.SetProvider(&dsp);
  ds.Open();
  cdstest::AddRow(ds, {7, "G"});
  ds.First();
  ds.Delete();
  EXPECT_EQ(ds.ApplyUpdates(0), 1);
  EXPECT_EQ(dst.rollbacks, 1);
  EXPECT_EQ(dst.commits, 0);
  EXPECT_EQ(ds.ChangeCount(), 2);  // the insert was rolled back with the rest: still pending
}

TEST(CdsProvider, OwningProviderKeepsItsSourceAlive) {
  std::weak_ptr<FakeSource> watch;
  TClientDataSet ds;
  {
    auto src = std::make_shared<FakeSource>();
    Fill(*src);
    watch = src;
    auto dsp = std::make_unique<cds::TDataSetProvider>("dsp1", src);
    src.reset();
    ds.SetProvider(dsp.get());
    ds.Open();
    EXPECT_FALSE(watch.expired());
    EXPECT_EQ(ds.ApplyUpdates(0), 0);  // nothing to apply
    ds.First();
    ds.Delete();
    EXPECT_THROW(ds.ApplyUpdates(0), cds::EDatabaseError);  // no target: reading only
  }
  EXPECT_TRUE(watch.expired());
  EXPECT_EQ(ds.RecordCount(), 2);
}

// A table without a declared key takes inserts; modified and deleted rows, which are
// found by their key, are refused before anything is written.
TEST(CdsProvider, OnlyModifiedAndDeletedRowsNeedAKey) {
  struct Case {
    const char* what;
    int change;  // 0 insert, 1 modify, 2 delete
    bool applies;
  };
  const Case cases[] = {{"insert", 0, true}, {"modify", 1, false}, {"delete", 2, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakeSource src;
    Fill(src);
    FakeTarget dst;
    dst.keys.clear();
    cds::TDataSetProvider dsp("dspNoKey", &src, &dst);
    TClientDataSet ds;
    ds.SetProvider(&dsp);
    ds.Open();
    if (c.change == 0) {
      cdstest::AddRow(ds, {4, "D"});
      cdstest::AddRow(ds, {5, "E"});
    } else {
      ds.First();
      if (c.change == 1) {
        ds.Edit();
        ds.FieldByName("LAST_NAME").SetAsString("AA");
        ds.Post();
      } else {
        ds.Delete();
      }
    }
    if (c.applies) {
      EXPECT_EQ(ds.ApplyUpdates(0), 0);
      EXPECT_EQ(dst.sql.size(), 2u);
      EXPECT_EQ(dst.keyLookups, 0);  // a successful insert never asks for the key
      EXPECT_EQ(ds.ChangeCount(), 0);
    } else {
      try {
        ds.ApplyUpdates(0);
        FAIL() << "applied without a key";
      } catch (const cds::EDatabaseError& e) {
        EXPECT_NE(std::string(e.what()).find("no key specified for PATIENT"), std::string::npos) << e.what();
      }
      EXPECT_TRUE(dst.sql.empty());
      EXPECT_EQ(ds.ChangeCount(), 1);
    }
  }
}

// A failed insert is still named by its key where the table has one, and by the table
// alone where it has none.
TEST(CdsProvider, AFailedInsertNamesItsKeyWhenThereIsOne) {
  for (bool keyed : {true, false}) {
    FakeSource src;
    Fill(src);
    FakeTarget dst;
    if (!keyed) dst.keys.clear();
    dst.failOn = "INSERT";
    cds::TDataSetProvider dsp("dspPatient", &src, &dst);
    TClientDataSet ds;
    ds.SetProvider(&dsp);
    ds.Open();
    cdstest::AddRow(ds, {7, "G"});
    std::string context;
    ds.OnReconcileError = [&](TClientDataSet&, const cds::EReconcileError& e, cds::TUpdateKind,
                              cds::TReconcileAction&) { context = e.Context(); };
    EXPECT_EQ(ds.ApplyUpdates(0), 1);
    EXPECT_EQ(context, keyed ? "PATIENT IDP=7" : "PATIENT");
  }
}

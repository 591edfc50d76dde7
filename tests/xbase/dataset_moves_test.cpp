// TXBaseDataSet: a move leaves the edit and insert states (posting or cancelling)
// before it goes anywhere, so no edit is lost and no record lock is left behind.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "dbf_builder.h"
#include "tests/xbase/idx_helpers.h"
#include "platform/exception.h"
#include "xbase/XBaseDB.h"
#include "xbase/xb_cnst.h"

using namespace xb;
using namespace xbt;

namespace {

// NAME C10, one record per name.
void writeNames(const std::string& path, const std::vector<std::string>& names) {
  DbfBuilder b(0x03, {{"NAME", 'C', 10}});
  for (const std::string& n : names) b.record(false, {n});
  b.write(path);
}

// The NAME values of the file, read past the dataset.
std::vector<std::string> fileNames(const std::string& path) {
  XBO_dBaseFld f(path, false, true, "");
  std::vector<std::string> out;
  for (int32_t n = 1; n <= static_cast<int32_t>(f.RecordCount); ++n) {
    f.GoTo(n);
    std::string v = f.FieldGet(1);
    while (!v.empty() && v.back() == ' ') v.pop_back();
    out.push_back(v);
  }
  return out;
}

class DataSetMoves : public ::testing::Test {
protected:
  void SetUp() override {
    writeNames(dir.file("T.DBF"), {"ONE", "TWO", "THREE"});
    for (TXBaseDataSet* d : {&ds, &other}) {
      d->SetDatabaseName(dir.path());
      d->SetTableName("T.DBF");
    }
  }
  TempDir dir;
  TXBaseDataSet ds, other;
};

TEST_F(DataSetMoves, EditThenNextPostsAndUnlocks) {
  ds.Open();
  other.Open();
  ds.Edit();
  ds.FieldByName("NAME").SetAsString("CHANGED");
  ds.Next();
  EXPECT_EQ(ds.State(), TxbDataSetState::dsBrowse);
  EXPECT_EQ(ds.RecNo(), 2);
  // The second dataset writes record 2; record 1 is no longer locked.
  other.SetRecNo(2);
  other.Edit();
  other.FieldByName("NAME").SetAsString("OTHER");
  other.Post();
  other.SetRecNo(1);
  other.Edit();
  EXPECT_EQ(other.FieldByName("NAME").AsString(), "CHANGED");
  other.Cancel();
  // The first dataset is browsing: its write is refused instead of overwriting record 2.
  EXPECT_EQ(errorOf([&] { ds.FieldByName("NAME").SetAsString("MINE"); }),
            "EDatabaseError: Dataset not in edit or insert mode");
  ds.Post();
  ds.Close();
  other.Close();
  EXPECT_EQ(fileNames(dir.file("T.DBF")), (std::vector<std::string>{"CHANGED", "OTHER", "THREE"}));
}

// Every kind of move posts a modified record first and lands where it was asked to.
struct MoveCase {
  const char* name;
  std::function<void(TXBaseDataSet&)> move;
  int32_t landsOn;
};

TEST_F(DataSetMoves, EveryMovePostsFirst) {
  const std::vector<MoveCase> cases = {
      {"First", [](TXBaseDataSet& d) { d.First(); }, 1},
      {"Last", [](TXBaseDataSet& d) { d.Last(); }, 3},
      {"Next", [](TXBaseDataSet& d) { d.Next(); }, 3},
      {"Prior", [](TXBaseDataSet& d) { d.Prior(); }, 1},
      {"SetRecNo", [](TXBaseDataSet& d) { d.SetRecNo(3); }, 3},
      {"GotoBookmark", [](TXBaseDataSet& d) { d.GotoBookmark("         1"); }, 1},
      {"Locate", [](TXBaseDataSet& d) { d.Locate("NAME", {"THREE"}); }, 3},
      {"Refresh", [](TXBaseDataSet& d) { d.Refresh(); }, 2},
      {"Filtered", [](TXBaseDataSet& d) { d.SetFiltered(false); }, 1},
  };
  ds.Open();
  for (const MoveCase& c : cases) {
    SCOPED_TRACE(c.name);
    ds.SetRecNo(2);
    ds.Edit();
    std::string value = std::string("V") + c.name;
    value.resize(std::min<size_t>(value.size(), 10));
    ds.FieldByName("NAME").SetAsString(value);
    c.move(ds);
    EXPECT_EQ(ds.State(), TxbDataSetState::dsBrowse);
    EXPECT_EQ(ds.RecNo(), c.landsOn);
    EXPECT_EQ(fileNames(dir.file("T.DBF"))[1], value);
    EXPECT_FALSE(ds.Modified());
  }
}

TEST_F(DataSetMoves, UnmodifiedEditIsCancelledAndUnlocked) {
  ds.Open();
  other.Open();
  std::vector<std::string> log;
  ds.BeforePost = [&](TXBaseDataSet&) { log.push_back("BeforePost"); };
  ds.BeforeCancel = [&](TXBaseDataSet&) { log.push_back("BeforeCancel"); };
  ds.Edit();
  ds.Next();
  EXPECT_EQ(log, (std::vector<std::string>{"BeforeCancel"}));
  EXPECT_EQ(ds.RecNo(), 2);
  other.Edit();   // record 1 is free again
  other.Cancel();
}

TEST_F(DataSetMoves, InsertThenMoveAppendsOnce) {
  ds.Open();
  ds.Append();
  ds.FieldByName("NAME").SetAsString("NEW");
  ds.Next();
  EXPECT_EQ(ds.State(), TxbDataSetState::dsBrowse);
  EXPECT_EQ(ds.RecordCount(), 4);
  ds.Append();   // nothing written: the move cancels it
  ds.Prior();
  EXPECT_EQ(ds.RecordCount(), 4);
  // A value set by OnNewRecord alone does not make the record worth posting.
  ds.OnNewRecord = [](TXBaseDataSet& d) { d.FieldByName("NAME").SetAsString("DEFAULT"); };
  ds.Append();
  EXPECT_FALSE(ds.Modified());
  ds.First();
  EXPECT_EQ(ds.RecordCount(), 4);
  ds.Close();
  EXPECT_EQ(fileNames(dir.file("T.DBF")), (std::vector<std::string>{"ONE", "TWO", "THREE", "NEW"}));
}

TEST_F(DataSetMoves, FailedPostKeepsTheCursorAndRaises) {
  ds.Open();
  ds.SetRecNo(2);
  ds.Edit();
  ds.FieldByName("NAME").SetAsString("LOST?");
  ds.Table()->ReadWrite = false;   // the record write fails
  std::string err = errorOf([&] { ds.Next(); });
  EXPECT_EQ(err.substr(0, 12), "EXBaseError:");
  EXPECT_EQ(ds.State(), TxbDataSetState::dsEdit);
  EXPECT_EQ(ds.RecNo(), 2);
  EXPECT_EQ(ds.FieldByName("NAME").AsString(), "LOST?");
  ds.Table()->ReadWrite = true;
  ds.Next();
  EXPECT_EQ(ds.RecNo(), 3);
  EXPECT_EQ(fileNames(dir.file("T.DBF"))[1], "LOST?");
  // A post that the error event aborts ends quietly and the move does not happen.
  ds.Edit();
  ds.FieldByName("NAME").SetAsString("ABORTED");
  ds.OnPostError = [](TXBaseDataSet&, const platform::Exception&, TDataAction& a) { a = daAbort; };
  ds.Table()->ReadWrite = false;
  ds.First();
  EXPECT_EQ(ds.State(), TxbDataSetState::dsEdit);
  EXPECT_EQ(ds.RecNo(), 3);
  ds.Table()->ReadWrite = true;
  ds.Cancel();
}

}  // namespace

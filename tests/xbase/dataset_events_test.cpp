// TXBaseDataSet: the order of the dataset events for each operation, the error
// events with each action, and bookmarks.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "dbf_builder.h"
#include "platform/exception.h"
#include "xbase/XBaseDB.h"
#include "xbase/xb_cnst.h"

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

// Twelve records NAME "R1".."R12", NUM 1..12; the records in `deleted` are marked deleted.
void writeTable(const std::string& path, std::vector<int> deleted = {}, int count = 12) {
  DbfBuilder b(0x03, {{"NAME", 'C', 10}, {"NUM", 'N', 5}});
  for (int i = 1; i <= count; ++i) {
    bool del = std::find(deleted.begin(), deleted.end(), i) != deleted.end();
    b.record(del, {"R" + std::to_string(i), N(i, 5)});
  }
  b.write(path);
}

// Records every event by name; an event can be told to throw.
struct Recorder {
  std::vector<std::string> log;
  std::string throwIn;

  void hook(TXBaseDataSet& ds) {
    auto on = [this](const char* name) {
      return [this, name](TXBaseDataSet&) {
        log.push_back(name);
        if (throwIn == name) throw platform::Exception(std::string("stop in ") + name);
      };
    };
    ds.BeforeOpen = on("BeforeOpen");
    ds.AfterOpen = on("AfterOpen");
    ds.BeforeClose = on("BeforeClose");
    ds.AfterClose = on("AfterClose");
    ds.BeforeInsert = on("BeforeInsert");
    ds.AfterInsert = on("AfterInsert");
    ds.BeforeEdit = on("BeforeEdit");
    ds.AfterEdit = on("AfterEdit");
    ds.BeforePost = on("BeforePost");
    ds.AfterPost = on("AfterPost");
    ds.BeforeCancel = on("BeforeCancel");
    ds.AfterCancel = on("AfterCancel");
    ds.BeforeDelete = on("BeforeDelete");
    ds.AfterDelete = on("AfterDelete");
    ds.BeforeScroll = on("BeforeScroll");
    ds.AfterScroll = on("AfterScroll");
    ds.OnCalcFields = on("OnCalcFields");
    ds.OnNewRecord = on("OnNewRecord");
  }
  std::vector<std::string> take() {
    std::vector<std::string> out;
    out.swap(log);
    return out;
  }
};

using Log = std::vector<std::string>;

class DataSetEvents : public ::testing::Test {
protected:
  void SetUp() override {
    writeTable(dir.file("T.DBF"));
    ds.SetDatabaseName(dir.path());
    ds.SetTableName("T.DBF");
    rec.hook(ds);
  }
  TempDir dir;
  TXBaseDataSet ds;
  Recorder rec;
};

TEST_F(DataSetEvents, OpenAndClose) {
  ds.Open();
  EXPECT_EQ(rec.take(), (Log{"BeforeOpen", "AfterOpen", "AfterScroll"}));
  ds.Open();   // already open: nothing
  EXPECT_TRUE(rec.take().empty());
  ds.Close();
  EXPECT_EQ(rec.take(), (Log{"BeforeClose", "AfterClose"}));
  ds.Close();
  EXPECT_TRUE(rec.take().empty());
}

TEST_F(DataSetEvents, OpenOfEmptyTableHasNoScroll) {
  writeTable(dir.file("E.DBF"), {}, 0);
  ds.SetTableName("E.DBF");
  ds.Open();
  EXPECT_EQ(rec.take(), (Log{"BeforeOpen", "AfterOpen"}));
}

TEST_F(DataSetEvents, FailedOpenFiresOnlyBeforeOpen) {
  ds.SetTableName("MISSING.DBF");
  EXPECT_EQ(errorOf([&] { ds.Open(); }), "EDatabaseError: Cannot find file " + dir.file("MISSING.DBF"));
  EXPECT_EQ(rec.take(), (Log{"BeforeOpen"}));
  EXPECT_FALSE(ds.Active());
}

TEST_F(DataSetEvents, BeforeHandlerAbortsTheOperation) {
  rec.throwIn = "BeforeOpen";
  EXPECT_EQ(errorOf([&] { ds.Open(); }), "Exception: stop in BeforeOpen");
  EXPECT_FALSE(ds.Active());
  rec.throwIn.clear();
  ds.Open();
  rec.take();

  rec.throwIn = "BeforeClose";
  EXPECT_EQ(errorOf([&] { ds.Close(); }), "Exception: stop in BeforeClose");
  EXPECT_TRUE(ds.Active());

  rec.throwIn = "BeforeScroll";
  EXPECT_EQ(errorOf([&] { ds.Next(); }), "Exception: stop in BeforeScroll");
  EXPECT_EQ(ds.RecNo(), 1);

  rec.throwIn = "BeforeEdit";
  EXPECT_EQ(errorOf([&] { ds.Edit(); }), "Exception: stop in BeforeEdit");
  EXPECT_EQ(ds.State(), TxbDataSetState::dsBrowse);

  rec.throwIn = "BeforeInsert";
  EXPECT_EQ(errorOf([&] { ds.Append(); }), "Exception: stop in BeforeInsert");
  EXPECT_EQ(ds.State(), TxbDataSetState::dsBrowse);

  rec.throwIn = "BeforeDelete";
  EXPECT_EQ(errorOf([&] { ds.Delete(); }), "Exception: stop in BeforeDelete");
  EXPECT_EQ(ds.RecordCount(), 12);
  ds.SetExactCount(true);
  EXPECT_EQ(ds.RecordCount(), 12);   // nothing was deleted

  rec.throwIn.clear();
  ds.Edit();
  ds.FieldByName("NAME").SetAsString("CHANGED");
  rec.throwIn = "BeforePost";
  EXPECT_EQ(errorOf([&] { ds.Post(); }), "Exception: stop in BeforePost");
  EXPECT_EQ(ds.State(), TxbDataSetState::dsEdit);
  rec.throwIn = "BeforeCancel";
  EXPECT_EQ(errorOf([&] { ds.Cancel(); }), "Exception: stop in BeforeCancel");
  EXPECT_EQ(ds.State(), TxbDataSetState::dsEdit);
  rec.throwIn.clear();
  ds.Cancel();
  EXPECT_EQ(ds.FieldByName("NAME").AsString(), "R1");
}

TEST_F(DataSetEvents, Navigation) {
  ds.Open();
  rec.take();
  const Log scroll{"BeforeScroll", "AfterScroll"};
  ds.Next();
  EXPECT_EQ(rec.take(), scroll);
  ds.Prior();
  EXPECT_EQ(rec.take(), scroll);
  ds.Prior();   // at Bof already after running off the start
  EXPECT_EQ(rec.take(), scroll);
  EXPECT_TRUE(ds.Bof());
  ds.Prior();   // Bof: nothing
  EXPECT_TRUE(rec.take().empty());
  ds.Last();   // on the last record with Eof set
  EXPECT_EQ(rec.take(), scroll);
  EXPECT_TRUE(ds.Eof());
  ds.Prior();
  ds.Next();
  EXPECT_EQ(rec.take(), (Log{"BeforeScroll", "AfterScroll", "BeforeScroll", "AfterScroll"}));
  EXPECT_FALSE(ds.Eof());
  ds.Next();    // runs off the end
  EXPECT_EQ(rec.take(), scroll);
  EXPECT_TRUE(ds.Eof());
  EXPECT_EQ(ds.RecNo(), 12);
  ds.Next();    // Eof: nothing
  EXPECT_TRUE(rec.take().empty());
  ds.First();
  EXPECT_EQ(rec.take(), scroll);
  ds.SetRecNo(5);
  EXPECT_EQ(rec.take(), scroll);
  EXPECT_TRUE(ds.Locate("NAME", {"R9"}));
  EXPECT_EQ(rec.take(), scroll);
  EXPECT_EQ(ds.RecNo(), 9);
  EXPECT_FALSE(ds.Locate("NAME", {"NONE"}));
  EXPECT_TRUE(rec.take().empty());
  EXPECT_EQ(ds.RecNo(), 9);
}

TEST_F(DataSetEvents, ScrollHandlersSeeOldThenNewRecord) {
  ds.Open();
  std::vector<int32_t> seen;
  ds.BeforeScroll = [&](TXBaseDataSet& d) { seen.push_back(d.RecNo()); };
  ds.AfterScroll = [&](TXBaseDataSet& d) { seen.push_back(d.RecNo()); };
  ds.Next();
  ds.SetRecNo(7);
  EXPECT_EQ(seen, (std::vector<int32_t>{1, 2, 2, 7}));
}

TEST_F(DataSetEvents, AppendPostAndCancel) {
  ds.Open();
  rec.take();
  std::string nameInNewRecord;
  ds.OnNewRecord = [&](TXBaseDataSet& d) {
    rec.log.push_back("OnNewRecord");
    nameInNewRecord = d.FieldByName("NAME").AsString();
    d.FieldByName("NUM").SetAsInteger(99);   // defaults are set here
  };
  ds.Append();
  EXPECT_EQ(rec.take(), (Log{"BeforeInsert", "BeforeScroll", "OnNewRecord", "AfterInsert", "AfterScroll"}));
  EXPECT_EQ(nameInNewRecord, "");
  EXPECT_EQ(ds.State(), TxbDataSetState::dsInsert);
  ds.FieldByName("NAME").SetAsString("NEW");
  ds.Post();
  EXPECT_EQ(rec.take(), (Log{"BeforePost", "AfterPost"}));
  EXPECT_EQ(ds.RecNo(), 13);
  EXPECT_EQ(ds.FieldByName("NUM").AsInteger(), 99);

  ds.Append();
  rec.take();
  ds.Cancel();
  EXPECT_EQ(rec.take(), (Log{"BeforeCancel", "BeforeScroll", "AfterCancel", "AfterScroll"}));
  EXPECT_EQ(ds.RecNo(), 13);
  ds.Post();   // browse: nothing
  ds.Cancel();
  EXPECT_TRUE(rec.take().empty());
  EXPECT_EQ(ds.RecordCount(), 13);
}

TEST_F(DataSetEvents, NewRecordErrorReturnsToBrowse) {
  ds.Open();
  ds.SetRecNo(4);
  rec.take();
  rec.throwIn = "OnNewRecord";
  EXPECT_EQ(errorOf([&] { ds.Append(); }), "Exception: stop in OnNewRecord");
  EXPECT_EQ(rec.take(), (Log{"BeforeInsert", "BeforeScroll", "OnNewRecord"}));
  EXPECT_EQ(ds.State(), TxbDataSetState::dsBrowse);
  EXPECT_EQ(ds.FieldByName("NAME").AsString(), "R4");
}

TEST_F(DataSetEvents, EditPostCancel) {
  ds.Open();
  ds.SetRecNo(3);
  rec.take();
  ds.Edit();
  EXPECT_EQ(rec.take(), (Log{"BeforeEdit", "AfterEdit"}));
  ds.Edit();   // already editing: nothing
  EXPECT_TRUE(rec.take().empty());
  ds.FieldByName("NAME").SetAsString("EDITED");
  ds.Post();
  EXPECT_EQ(rec.take(), (Log{"BeforePost", "AfterPost"}));
  ds.Edit();
  ds.FieldByName("NAME").SetAsString("LOST");
  rec.take();
  ds.Cancel();
  EXPECT_EQ(rec.take(), (Log{"BeforeCancel", "AfterCancel"}));
  EXPECT_EQ(ds.FieldByName("NAME").AsString(), "EDITED");
}

TEST_F(DataSetEvents, EditOfEmptyTableAppends) {
  writeTable(dir.file("E.DBF"), {}, 0);
  ds.SetTableName("E.DBF");
  ds.Open();
  rec.take();
  ds.Edit();
  EXPECT_EQ(rec.take(), (Log{"BeforeInsert", "BeforeScroll", "OnNewRecord", "AfterInsert", "AfterScroll"}));
  EXPECT_EQ(ds.State(), TxbDataSetState::dsInsert);
}

TEST_F(DataSetEvents, Delete) {
  ds.Open();
  ds.SetRecNo(12);
  rec.take();
  ds.Delete();
  EXPECT_EQ(rec.take(), (Log{"BeforeDelete", "BeforeScroll", "AfterDelete", "AfterScroll"}));
  EXPECT_EQ(ds.RecNo(), 11);   // the record before the deleted last one
  EXPECT_TRUE(ds.Eof());
  ds.Append();
  rec.take();
  ds.Delete();   // inserting: cancels
  EXPECT_EQ(rec.take(), (Log{"BeforeCancel", "BeforeScroll", "AfterCancel", "AfterScroll"}));
  EXPECT_EQ(ds.State(), TxbDataSetState::dsBrowse);
}

TEST_F(DataSetEvents, OnCalcFieldsRunsOnlyWithCalculatedFields) {
  ds.Open();
  ds.Next();
  ds.Edit();
  ds.Post();
  ds.Close();
  Log plain = rec.take();
  EXPECT_EQ(plain, (Log{"BeforeOpen", "AfterOpen", "AfterScroll", "BeforeScroll", "AfterScroll", "BeforeEdit",
                        "AfterEdit", "BeforePost", "AfterPost", "BeforeClose", "AfterClose"}));
  // With a calculated field it runs for every record read.
  ds.AddCalcField("C", TxbFieldType::ftInteger);
  ds.Open();
  ds.Next();
  EXPECT_EQ(rec.take(), (Log{"BeforeOpen", "OnCalcFields", "AfterOpen", "AfterScroll", "BeforeScroll",
                             "OnCalcFields", "AfterScroll"}));
}

TEST_F(DataSetEvents, DestructorClosesWithoutEvents) {
  std::vector<std::string> log;
  {
    TXBaseDataSet d;
    d.SetDatabaseName(dir.path());
    d.SetTableName("T.DBF");
    d.Open();
    d.BeforeClose = [&](TXBaseDataSet&) { log.push_back("BeforeClose"); };
    d.AfterClose = [&](TXBaseDataSet&) { log.push_back("AfterClose"); };
  }
  EXPECT_TRUE(log.empty());
}

// Error events

struct ErrorCase {
  TDataAction action;
  bool clearCause;   // the handler removes the cause before asking for a retry
  std::string error;
  int handlerCalls;
  bool completed;
};

class ErrorEvents : public DataSetEvents, public ::testing::WithParamInterface<ErrorCase> {
protected:
  void SetUp() override {
    DataSetEvents::SetUp();
    saved = xbLockRetry();
    xbLockRetry() = {0, 0};   // one try, no wait
  }
  void TearDown() override { xbLockRetry() = saved; }
  TxbLockRetry saved;
};

const ErrorCase kErrorCases[] = {
    {daFail, false, "EDatabaseError", 1, false},
    {daAbort, false, "no error", 1, false},
    {daRetry, true, "no error", 1, true},
    {daRetry, false, "EDatabaseError", TXBaseDataSet::MaxErrorRetries + 1, false},
};

TEST_P(ErrorEvents, EditOfLockedRecord) {
  const ErrorCase& c = GetParam();
  TXBaseDataSet other;
  other.SetDatabaseName(dir.path());
  other.SetTableName("T.DBF");
  other.Open();
  other.Edit();   // holds the lock of record 1
  ds.Open();
  rec.take();
  int calls = 0;
  ds.OnEditError = [&](TXBaseDataSet& d, const platform::Exception& e, TDataAction& action) {
    EXPECT_EQ(&d, &ds);
    EXPECT_STREQ(e.what(), "Record is locked by another user");
    EXPECT_EQ(action, daFail);
    ++calls;
    action = c.action;
    if (c.clearCause) other.Cancel();
  };
  std::string err = errorOf([&] { ds.Edit(); });
  EXPECT_EQ(err.substr(0, c.error.size()), c.error);
  if (c.error == "EDatabaseError") {
    EXPECT_EQ(err, "EDatabaseError: Record is locked by another user");
  }
  EXPECT_EQ(calls, c.handlerCalls);
  EXPECT_EQ(ds.State(), c.completed ? TxbDataSetState::dsEdit : TxbDataSetState::dsBrowse);
  EXPECT_EQ(rec.take(), c.completed ? (Log{"BeforeEdit", "AfterEdit"}) : (Log{"BeforeEdit"}));
}

TEST_P(ErrorEvents, PostThatCannotWrite) {
  const ErrorCase& c = GetParam();
  ds.Open();
  ds.SetRecNo(2);
  ds.Edit();
  ds.FieldByName("NAME").SetAsString("POSTED");
  // The write fails while the table is switched to reading only.
  ds.BeforePost = [&](TXBaseDataSet& d) {
    rec.log.push_back("BeforePost");
    d.Table()->ReadWrite = false;
  };
  int calls = 0;
  ds.OnPostError = [&](TXBaseDataSet&, const platform::Exception& e, TDataAction& action) {
    EXPECT_EQ(std::string(e.className()), "EXBaseError");
    ++calls;
    action = c.action;
    if (c.clearCause) ds.Table()->ReadWrite = true;
  };
  rec.take();
  std::string err = errorOf([&] { ds.Post(); });
  std::string expected = c.error == "EDatabaseError" ? "EXBaseError" : c.error;
  EXPECT_EQ(err.substr(0, expected.size()), expected);
  EXPECT_EQ(calls, c.handlerCalls);
  EXPECT_EQ(ds.State(), c.completed ? TxbDataSetState::dsBrowse : TxbDataSetState::dsEdit);
  EXPECT_EQ(rec.take(), c.completed ? (Log{"BeforePost", "AfterPost"}) : (Log{"BeforePost"}));
  ds.Table()->ReadWrite = true;
  ds.Cancel();
  ds.SetRecNo(2);
  EXPECT_EQ(ds.FieldByName("NAME").AsString(), c.completed ? "POSTED" : "R2");
}

TEST_P(ErrorEvents, DeleteThatCannotWrite) {
  const ErrorCase& c = GetParam();
  ds.Open();
  ds.SetRecNo(5);
  ds.BeforeDelete = [&](TXBaseDataSet& d) {
    rec.log.push_back("BeforeDelete");
    d.Table()->ReadWrite = false;
  };
  int calls = 0;
  ds.OnDeleteError = [&](TXBaseDataSet&, const platform::Exception& e, TDataAction& action) {
    EXPECT_STREQ(e.what(), "Cannot delete the record");
    ++calls;
    action = c.action;
    if (c.clearCause) ds.Table()->ReadWrite = true;
  };
  rec.take();
  std::string err = errorOf([&] { ds.Delete(); });
  EXPECT_EQ(err.substr(0, c.error.size()), c.error);
  if (c.error == "EDatabaseError") {
    EXPECT_EQ(err, "EDatabaseError: Cannot delete the record");
  }
  EXPECT_EQ(calls, c.handlerCalls);
  EXPECT_EQ(rec.take(), c.completed ? (Log{"BeforeDelete", "BeforeScroll", "AfterDelete", "AfterScroll"})
                                    : (Log{"BeforeDelete", "BeforeScroll"}));
  ds.Table()->ReadWrite = true;
  EXPECT_EQ(ds.RecNo(), c.completed ? 6 : 5);
  ds.SetExactCount(true);
  EXPECT_EQ(ds.RecordCount(), c.completed ? 11 : 12);
}

INSTANTIATE_TEST_SUITE_P(Actions, ErrorEvents, ::testing::ValuesIn(kErrorCases));

TEST_F(DataSetEvents, ErrorWithoutHandlerPropagates) {
  TXBaseDataSet other;
  other.SetDatabaseName(dir.path());
  other.SetTableName("T.DBF");
  other.Open();
  other.Edit();
  TxbLockRetry saved = xbLockRetry();
  xbLockRetry() = {0, 0};
  ds.Open();
  EXPECT_EQ(errorOf([&] { ds.Edit(); }), "EDatabaseError: Record is locked by another user");
  xbLockRetry() = saved;
}

// Bookmarks

TEST_F(DataSetEvents, BookmarkText) {
  EXPECT_EQ(ds.GetBookmark(), "");   // closed
  ds.Open();
  struct Case {
    int32_t recNo;
    std::string text;
  };
  const Case cases[] = {{1, std::string("         1", 10) + '\0'},
                        {7, std::string("         7", 10) + '\0'},
                        {12, std::string("        12", 10) + '\0'}};
  for (const Case& c : cases) {
    ds.SetRecNo(c.recNo);
    TBookmark bm = ds.GetBookmark();
    EXPECT_EQ(bm.size(), 11u);
    EXPECT_EQ(bm, c.text) << c.recNo;
  }
  ds.Append();
  EXPECT_EQ(ds.GetBookmark(), "");   // the new record has none yet
  ds.Cancel();
}

TEST_F(DataSetEvents, BookmarksOrderByRecordNumber) {
  ds.Open();
  ds.SetRecNo(7);
  TBookmark b7 = ds.GetBookmark();
  ds.SetRecNo(12);
  TBookmark b12 = ds.GetBookmark();
  struct Case {
    TBookmark a, b;
    int expected;
  };
  const Case cases[] = {{b7, b12, -1}, {b12, b7, 1}, {b7, b7, 0}, {"", "", 0}, {"", b7, -1}, {b7, "", 1}};
  for (const Case& c : cases) EXPECT_EQ(TXBaseDataSet::CompareBookmarks(c.a, c.b), c.expected);
}

TEST_F(DataSetEvents, GotoBookmark) {
  ds.Open();
  ds.SetRecNo(7);
  TBookmark b7 = ds.GetBookmark();
  ds.Last();
  ds.Next();
  ASSERT_TRUE(ds.Eof());
  rec.take();
  ds.GotoBookmark(b7);
  EXPECT_EQ(rec.take(), (Log{"BeforeScroll", "AfterScroll"}));
  EXPECT_EQ(ds.RecNo(), 7);
  EXPECT_FALSE(ds.Eof());
  EXPECT_EQ(ds.FieldByName("NAME").AsString(), "R7");
  ds.Next();
  EXPECT_EQ(ds.RecNo(), 8);
  ds.GotoBookmark("");   // no bookmark: nothing
  EXPECT_TRUE(rec.take().size() == 2);
  EXPECT_EQ(ds.RecNo(), 8);
}

TEST_F(DataSetEvents, InvalidBookmarkText) {
  ds.Open();
  for (const std::string& text : {std::string("abc"), std::string("   7x", 5) + '\0', std::string(" ", 1),
                                  std::string("\0", 1), std::string("-3"), std::string("0"),
                                  std::string("99999999999")}) {
    EXPECT_EQ(errorOf([&] { ds.GotoBookmark(text); }), "EDatabaseError: Bookmark is invalid for table T.DBF")
        << text;
    EXPECT_FALSE(ds.BookmarkValid(text)) << text;
  }
  EXPECT_EQ(ds.RecNo(), 1);
}

TEST_F(DataSetEvents, BookmarkValid) {
  ds.Open();
  struct Case {
    std::string text;
    bool valid;
  };
  const Case cases[] = {{std::string("         1", 10) + '\0', true},
                        {std::string("        12", 10) + '\0', true},
                        {std::string("        13", 10) + '\0', false},
                        {std::string("         0", 10) + '\0', false},
                        {"5", true},
                        {"", false}};
  for (const Case& c : cases) EXPECT_EQ(ds.BookmarkValid(c.text), c.valid) << c.text;
  ds.Close();
  EXPECT_EQ(errorOf([&] { ds.BookmarkValid("1"); }),
            "EDatabaseError: Cannot perform this operation on a closed dataset");
}

TEST_F(DataSetEvents, BookmarkOfDeletedRecordStillGoesThere) {
  writeTable(dir.file("D.DBF"), {4});
  ds.SetTableName("D.DBF");
  ds.Open();
  EXPECT_TRUE(ds.BookmarkValid(std::string("         4", 10) + '\0'));
  ds.SetRecNo(3);
  TBookmark b3 = ds.GetBookmark();
  ds.Next();
  EXPECT_EQ(ds.RecNo(), 5);   // 4 is hidden
  ds.GotoBookmark(b3);
  EXPECT_EQ(ds.RecNo(), 3);
}

// A bookmark of a record that is no longer in the file: the table's error, the cursor stays.
TEST_F(DataSetEvents, BookmarkPastTheEnd) {
  ds.Open();
  ds.SetRecNo(3);
  EXPECT_FALSE(ds.BookmarkValid(std::string("        99", 10) + '\0'));
  EXPECT_EQ(errorOf([&] { ds.GotoBookmark(std::string("        99", 10) + '\0'); }),
            "EXBaseError: Record number 99 is not in table " + dir.file("T.DBF"));
  EXPECT_EQ(ds.RecNo(), 3);
  EXPECT_EQ(ds.FieldByName("NAME").AsString(), "R3");
  ds.Next();
  EXPECT_EQ(ds.RecNo(), 4);
}

TEST_F(DataSetEvents, GotoBookmarkWhileEditingPostsFirst) {
  ds.Open();
  TBookmark b1 = ds.GetBookmark();
  ds.SetRecNo(4);
  ds.Edit();
  ds.FieldByName("NAME").SetAsString("PENDING");
  rec.take();
  ds.GotoBookmark(b1);
  EXPECT_EQ(rec.take(), (Log{"BeforePost", "AfterPost", "BeforeScroll", "AfterScroll"}));
  EXPECT_EQ(ds.State(), TxbDataSetState::dsBrowse);
  EXPECT_EQ(ds.RecNo(), 1);
  ds.SetRecNo(4);
  EXPECT_EQ(ds.FieldByName("NAME").AsString(), "PENDING");
}

}  // namespace

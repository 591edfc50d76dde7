// TXBaseDataSet: exclusive opens that keep every other open out, memo texts of
// blob streams written (and failing) at Post, and a table's password change.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "child_process.h"
#include "dbf_builder.h"
#include "tests/xbase/idx_helpers.h"
#include "platform/exception.h"
#include "xbase/XBaseDB.h"
#include "xbase/xb_cnst.h"
#include "xbase/xb_disk.h"

using namespace xb;
using namespace xbt;

namespace {

void setUp(TXBaseDataSet& ds, const TempDir& dir, const std::string& table, bool exclusive) {
  ds.SetDatabaseName(dir.path());
  ds.SetTableName(table);
  ds.SetExclusive(exclusive);
}

// Exclusive opens

TEST(DataSetExclusive, RefusedToEveryOtherOpen) {
  TempDir dir;
  DbfBuilder b(0x03, {{"NAME", 'C', 10}});
  b.record(false, {"ONE"}).record(false, {"TWO"});
  b.write(dir.file("X.DBF"));
  TXBaseDataSet holder;
  setUp(holder, dir, "X.DBF", true);
  holder.Open();
  const std::string denied = "EXBaseError: Access denied to file " + dir.file("X.DBF");
  for (bool exclusive : {true, false}) {
    for (bool readOnly : {true, false}) {
      SCOPED_TRACE(std::string(exclusive ? "exclusive" : "shared") + (readOnly ? " read-only" : " writable"));
      TXBaseDataSet second;
      setUp(second, dir, "X.DBF", exclusive);
      second.SetReadOnly(readOnly);
      EXPECT_EQ(errorOf([&] { second.Open(); }), denied);
      EXPECT_FALSE(second.Active());
      int rc = inChild([&] {
        TXBaseDataSet other;
        setUp(other, dir, "X.DBF", exclusive);
        other.SetReadOnly(readOnly);
        return errorOf([&] { other.Open(); }) == denied ? 0 : 1;
      });
      EXPECT_EQ(rc, 0);
    }
  }
  // The exclusive dataset itself works as usual, and once closed the file is free.
  holder.Edit();
  holder.FieldByName("NAME").SetAsString("MINE");
  holder.Post();
  holder.Close();
  TXBaseDataSet after;
  setUp(after, dir, "X.DBF", true);
  after.Open();
  EXPECT_EQ(after.FieldByName("NAME").AsString(), "MINE");
}

TEST(DataSetExclusive, SharedOpensShareButKeepExclusiveOnesOut) {
  TempDir dir;
  DbfBuilder b(0x03, {{"NAME", 'C', 10}});
  b.record(false, {"ONE"});
  b.write(dir.file("S.DBF"));
  TXBaseDataSet a, c, x;
  setUp(a, dir, "S.DBF", false);
  setUp(c, dir, "S.DBF", false);
  setUp(x, dir, "S.DBF", true);
  a.Open();
  c.Open();
  EXPECT_EQ(errorOf([&] { x.Open(); }), "EXBaseError: Access denied to file " + dir.file("S.DBF"));
  a.Close();
  c.Close();
  x.Open();
  EXPECT_TRUE(x.Active());
}

// The memo file of an exclusive table is held as well.
TEST(DataSetExclusive, MemoFileIsHeldToo) {
  TempDir dir;
  MemoImage m = Dbt3({"text"});
  WriteFile(dir.file("M.dbt"), m.bytes);
  DbfBuilder b(0x83, {{"NOTE", 'M', 10}});
  b.record(false, {N(m.blocks[0], 10)});
  b.write(dir.file("M.DBF"));
  TXBaseDataSet ds;
  setUp(ds, dir, "M.DBF", true);
  ds.Open();
  EXPECT_EQ(ds.FieldByName("NOTE").AsString(), "text");
  XBO_DiskFile memo(dir.file("M.dbt"), true, true);
  EXPECT_EQ(errorOf([&] { memo.Open(); }), "EXBaseError: Access denied to file " + dir.file("M.dbt"));
}

// Blob streams

class DataSetBlobWriteBack : public ::testing::Test {
protected:
  void SetUp() override {
    MemoImage m = Dbt3({"OLD TEXT"});
    WriteFile(dir.file("B.dbt"), m.bytes);
    DbfBuilder b(0x83, {{"NAME", 'C', 5}, {"NOTE", 'M', 10}});
    b.record(false, {"A", N(m.blocks[0], 10)});
    b.write(dir.file("B.DBF"));
    setUp(ds, dir, "B.DBF", false);
    ds.SetTranslateASCII(false);
    ds.Open();
    saved = xbLockRetry();
    xbLockRetry() = {0, 0};   // one try, no wait
  }
  void TearDown() override { xbLockRetry() = saved; }
  void writeThroughStream(const std::string& text) {
    THCBlobStream s(ds.FieldByName("NOTE"), THCBlobStream::bmWrite);
    s.Write(text.data(), static_cast<int64_t>(text.size()));
  }
  std::string fileMemo() {
    XBO_dBaseFld f(dir.file("B.DBF"), false, true, "");
    f.GoTo(1);
    return f.MemoRead(2);
  }
  TempDir dir;
  TXBaseDataSet ds;
  TxbLockRetry saved;
};

TEST_F(DataSetBlobWriteBack, FailedWriteRaisesAtPost) {
  XBO_DiskFile other(dir.file("B.dbt"), true, true);
  other.Open();
  auto span = xbMemoLockSpan(Default);
  ASSERT_TRUE(other.LockRange(span->offset, span->length));
  ds.Edit();
  ds.FieldByName("NAME").SetAsString("B");
  writeThroughStream("NEW TEXT");   // the destructor raises nothing and writes nothing yet
  EXPECT_EQ(ds.FieldByName("NOTE").AsString(), "NEW TEXT");
  EXPECT_EQ(errorOf([&] { ds.Post(); }), "EXBaseError: Can not Lock file " + dir.file("B.dbt"));
  EXPECT_EQ(ds.State(), TxbDataSetState::dsEdit);
  EXPECT_EQ(fileMemo(), "OLD TEXT");
  other.Unlock();
  ds.Post();
  EXPECT_EQ(ds.State(), TxbDataSetState::dsBrowse);
  EXPECT_EQ(fileMemo(), "NEW TEXT");
  EXPECT_EQ(ds.FieldByName("NOTE").AsString(), "NEW TEXT");
}

TEST_F(DataSetBlobWriteBack, PendingTextIsReadBackAndDroppedByCancel) {
  ds.Edit();
  writeThroughStream("DRAFT");
  EXPECT_TRUE(ds.Modified());
  {
    THCBlobStream r(ds.FieldByName("NOTE"), THCBlobStream::bmRead);
    char buf[16] = {};
    EXPECT_EQ(r.Read(buf, sizeof buf), 5);
    EXPECT_EQ(std::string(buf), "DRAFT");
  }
  ds.Cancel();
  EXPECT_EQ(ds.FieldByName("NOTE").AsString(), "OLD TEXT");
  EXPECT_EQ(fileMemo(), "OLD TEXT");
  // A move posts the pending text with the record.
  ds.Edit();
  writeThroughStream("MOVED");
  ds.Next();
  EXPECT_EQ(fileMemo(), "MOVED");
  // An empty stream leaves an empty memo.
  ds.Edit();
  writeThroughStream("");
  EXPECT_TRUE(ds.FieldByName("NOTE").IsNull());
  ds.Post();
  EXPECT_EQ(fileMemo(), "");
}

// Passwords

TEST(DataSetPassword, SharedRefusedExclusiveReenciphersTableAndMemo) {
  TempDir dir;
  MemoImage m = Dbt3({"first memo", "second"});
  WriteFile(dir.file("K.dbt"), m.bytes);
  DbfBuilder b(0x83, {{"NAME", 'C', 8}, {"AGE", 'N', 3}, {"NOTE", 'M', 10}});
  b.record(false, {"IVANOV", N(42, 3), N(m.blocks[0], 10)});
  b.record(true, {"PETROV", N(7, 3), N(m.blocks[1], 10)});
  b.record(false, {"EMPTY", N(1, 3), ""});
  b.write(dir.file("K.DBF"));
  const std::string plain = ReadFile(dir.file("K.DBF"));
  auto read = [&](const std::string& key, bool exclusive) {
    TXBaseDataSet ds;
    setUp(ds, dir, "K.DBF", exclusive);
    ds.SetEncryptionKey(key);
    ds.SetUseDeleted(true);
    ds.SetTranslateASCII(false);
    ds.Open();
    std::vector<std::string> rows;
    for (; !ds.Eof(); ds.Next())
      rows.push_back(ds.FieldByName("NAME").AsString() + "|" + ds.FieldByName("AGE").AsString() + "|" +
                     ds.FieldByName("NOTE").AsString());
    return rows;
  };
  const std::vector<std::string> rows = {"IVANOV|42|first memo", "PETROV|7|second", "EMPTY|1|"};
  {
    TXBaseDataSet shared;
    setUp(shared, dir, "K.DBF", false);
    shared.Open();
    EXPECT_EQ(errorOf([&] { shared.SetPassword("k"); }),
              "EXBaseError: SetPassword requires full access to file " + dir.file("K.DBF"));
  }
  EXPECT_EQ(ReadFile(dir.file("K.DBF")), plain);
  {
    TXBaseDataSet ds;
    setUp(ds, dir, "K.DBF", true);
    ds.Open();
    ds.SetRecNo(2);
    ds.SetPassword("k");
    EXPECT_EQ(ds.RecNo(), 2);
    EXPECT_EQ(ds.FieldByName("NAME").AsString(), "PETROV");
    EXPECT_EQ(ds.EncryptionKey(), "k");
  }
  EXPECT_EQ(ReadFile(dir.file("K.DBF")).find("IVANOV"), std::string::npos);
  EXPECT_EQ(ReadFile(dir.file("K.dbt")).find("first memo", 512 * 3), std::string::npos);
  EXPECT_EQ(read("k", false), rows);
  EXPECT_EQ(errorOf([&] { read("", false); }), "EXBaseEncryption: No Password for encrypted file " + dir.file("K.DBF"));
  // From one password to another, then back to none.
  {
    TXBaseDataSet ds;
    setUp(ds, dir, "K.DBF", true);
    ds.SetEncryptionKey("k");
    ds.Open();
    ds.SetPassword("k");   // the same password: nothing to do
    ds.SetPassword("other");
  }
  EXPECT_EQ(read("other", true), rows);
  EXPECT_NE(errorOf([&] { read("k", true); }).find("Invalid Password"), std::string::npos);
  {
    TXBaseDataSet ds;
    setUp(ds, dir, "K.DBF", true);
    ds.SetEncryptionKey("other");
    ds.Open();
    ds.SetPassword("");
  }
  EXPECT_EQ(read("", false), rows);
  EXPECT_NE(ReadFile(dir.file("K.DBF")).find("IVANOV"), std::string::npos);
}

}  // namespace

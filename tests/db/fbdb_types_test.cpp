// Value conversions in both directions, on a small schema of every column type.
#include <gtest/gtest.h>

#include "db/fbdb.h"
#include "platform/codepage.h"
#include "support/TestDatabase.h"

namespace {

const char* kScript =
    "CREATE TABLE T (ID INTEGER NOT NULL PRIMARY KEY, S SMALLINT, B BIGINT, N NUMERIC(15,2), N4 DECIMAL(18,4),"
    " F FLOAT, D DOUBLE PRECISION, DT DATE, TM TIME, TS TIMESTAMP, C CHAR(5), V VARCHAR(8), BL BOOLEAN,"
    " TXT BLOB SUB_TYPE TEXT, BIN BLOB SUB_TYPE 0, OCT VARCHAR(4) CHARACTER SET OCTETS);"
    "INSERT INTO T (ID, S, B, N, N4, F, D, DT, TM, TS, C, V, BL) VALUES (1, -7, 9000000000, -12.05, 0.0005, 1.5,"
    " 2.5, '29.02.2024', '23:59:59', '31.12.1899 12:00:00', 'ab', 'xyz', TRUE);"
    "INSERT INTO T (ID) VALUES (2);";

class FbdbTypes : public ::testing::Test {
protected:
  static void SetUpTestSuite() { db_ = new testsupport::TestDatabase(kScript); }
  static void TearDownTestSuite() {
    delete db_;
    db_ = nullptr;
  }
  void SetUp() override {
    a_ = db_->attach();
    t_ = std::make_unique<fbdb::Transaction>(*a_);
  }
  void TearDown() override {
    t_->rollback();
    t_.reset();
    a_->disconnect();
  }
  static testsupport::TestDatabase* db_;
  std::unique_ptr<fbdb::Attachment> a_;
  std::unique_ptr<fbdb::Transaction> t_;
};
testsupport::TestDatabase* FbdbTypes::db_ = nullptr;

TEST_F(FbdbTypes, FieldsReadInEveryForm) {
  fbdb::Query q(*t_);
  q.setSql("select * from T where ID = 1");
  q.open();
  ASSERT_FALSE(q.eof());
  EXPECT_EQ(q.field("S").asString(), "-7");
  EXPECT_EQ(q.field("S").asInteger(), -7);
  EXPECT_EQ(q.field("B").asString(), "9000000000");
  EXPECT_EQ(q.field("B").asInt64(), 9000000000LL);
  EXPECT_THROW(q.field("B").asInteger(), fbdb::EDatabaseError);  // outside 32 bits
  EXPECT_EQ(q.field("N").asString(), "-12.05");
  EXPECT_DOUBLE_EQ(q.field("N").asDouble(), -12.05);
  EXPECT_EQ(q.field("N").asInteger(), -12);
  EXPECT_EQ(q.field("N4").asString(), "0.0005");
  EXPECT_EQ(q.field("F").asString(), "1.5");
  EXPECT_EQ(q.field("F").asInteger(), 2);  // half to even
  EXPECT_EQ(q.field("D").asInteger(), 2);  // half to even
  EXPECT_EQ(q.field("D").asString(), "2.5");
  EXPECT_EQ(q.field("DT").asString(), "29.02.2024");
  EXPECT_DOUBLE_EQ(q.field("DT").asDate(), platform::EncodeDate(2024, 2, 29));
  EXPECT_EQ(q.field("TM").asString(), "23:59:59");
  EXPECT_EQ(q.field("TS").asString(), "31.12.1899 12:00:00");
  EXPECT_DOUBLE_EQ(q.field("TS").asDateTime(), 1.5);
  EXPECT_EQ(q.field("C").asString(), "ab   ");  // CHAR keeps its blanks
  EXPECT_EQ(q.field("V").asString(), "xyz");
  EXPECT_EQ(q.field("BL").asString(), "True");
  EXPECT_TRUE(q.field("BL").asBoolean());
  EXPECT_EQ(q.field("V").info().type, fbdb::FieldType::String);
  EXPECT_EQ(q.field("N").info().scale, -2);
  EXPECT_EQ(q.field("ID").info().relation, "T");
  EXPECT_FALSE(q.field("ID").info().nullable);
  EXPECT_THROW(q.field("V").asInteger(), platform::EConvertError);
  EXPECT_THROW(q.field("V").asDate(), platform::EConvertError);
  q.close();
  q.setSql("select * from T where ID = 2");
  q.open();
  for (size_t i = 1; i < q.fieldCount(); ++i) {
    EXPECT_TRUE(q.field(i).isNull()) << q.field(i).name();
    EXPECT_EQ(q.field(i).asString(), "") << q.field(i).name();
    EXPECT_EQ(q.field(i).asInteger(), 0) << q.field(i).name();
    EXPECT_EQ(q.field(i).asDouble(), 0.0) << q.field(i).name();
  }
  q.close();
}

TEST_F(FbdbTypes, ParametersConvertToTheColumnTypes) {
  fbdb::Query ins(*t_);
  ins.setSql(
      "insert into T (ID, S, B, N, F, D, DT, TM, TS, C, V, BL, TXT, BIN, OCT) "
      "values (:ID, :S, :B, :N, :F, :D, :DT, :TM, :TS, :C, :V, :BL, :TXT, :BIN, :OCT)");
  ins.param("ID").setString("10");
  ins.param("S").setString(" 12");
  ins.param("B").setInteger(-9000000000LL);
  ins.param("N").setString("3.14");
  ins.param("F").setDouble(0.25);
  ins.param("D").setInteger(3);
  ins.param("DT").setString("1.2.2026");
  ins.param("TM").setString("7:08:09");
  ins.param("TS").setString("05.06.2026 07:08:09");
  ins.param("C").setString("q");
  ins.param("V").setString(platform::Utf8ToCp1251("Ёжик"));
  ins.param("BL").setBoolean(false);
  ins.param("TXT").setString(platform::Utf8ToCp1251("текст"));
  ins.param("BIN").setBlob(std::string("\0\1\2", 3));
  ins.param("OCT").setString(std::string("\xff\0\x80", 3));
  ins.execSQL();
  fbdb::Query q(*t_);
  q.setSql("select * from T where ID = 10");
  q.open();
  ASSERT_FALSE(q.eof());
  EXPECT_EQ(q.field("S").asInteger(), 12);
  EXPECT_EQ(q.field("B").asInt64(), -9000000000LL);
  EXPECT_EQ(q.field("N").asString(), "3.14");
  EXPECT_EQ(q.field("F").asString(), "0.25");
  EXPECT_EQ(q.field("D").asString(), "3");
  EXPECT_EQ(q.field("DT").asString(), "01.02.2026");
  EXPECT_EQ(q.field("TM").asString(), "07:08:09");
  EXPECT_EQ(q.field("TS").asString(), "05.06.2026 07:08:09");
  EXPECT_EQ(q.field("C").asString(), "q    ");
  EXPECT_EQ(q.field("V").asString(), platform::Utf8ToCp1251("Ёжик"));
  EXPECT_FALSE(q.field("BL").asBoolean());
  EXPECT_EQ(q.field("TXT").asString(), platform::Utf8ToCp1251("текст"));
  EXPECT_EQ(q.field("BIN").asString(), std::string("\0\1\2", 3));
  EXPECT_EQ(q.field("OCT").asString(), std::string("\xff\0\x80", 3));
  q.close();
}

TEST_F(FbdbTypes, BadValuesFailWithTheEnginesMessage) {
  fbdb::Query ins(*t_);
  ins.setSql("insert into T (ID, V, DT) values (:ID, :V, :DT)");
  ins.param("ID").setInteger(20);
  ins.param("V").setString("123456789");  // one byte too long: never cut silently
  try {
    ins.execSQL();
    FAIL();
  } catch (const fbdb::EFbError& e) {
    EXPECT_NE(std::string(e.what()).find("string right truncation"), std::string::npos) << e.what();
  }
  ins.param("V").setString("ok");
  ins.param("DT").setString("31.02.2026");  // no such day
  EXPECT_THROW(ins.execSQL(), fbdb::EFbError);
  ins.param("DT").setString("");
  ins.execSQL();
  EXPECT_EQ(ins.rowsAffected(), 1);
  std::string huge(40000, 'x');
  ins.param("ID").setInteger(21);
  ins.param("V").setString(huge);
  EXPECT_THROW(ins.execSQL(), fbdb::EDatabaseError);
}

TEST_F(FbdbTypes, OneNameInSeveralPlaces) {
  fbdb::Query q(*t_);
  q.setSql("select count(*) from T where ID = :X or S = :X or ID = :Y");
  q.param("X").setInteger(1);
  q.param("Y").setInteger(2);
  q.open();
  EXPECT_EQ(q.field(size_t{0}).asInteger(), 2);
  q.close();
  q.param("X").setInteger(-7);  // S of row 1
  q.param("Y").setNull();
  q.open();
  EXPECT_EQ(q.field(size_t{0}).asInteger(), 1);
  q.close();
}

}  // namespace

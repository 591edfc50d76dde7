// Providers and apply-updates against a real embedded Firebird database.
#include <gtest/gtest.h>
#include <ibase.h>

#include "db/ProviderFb.h"
#include "platform/dates.h"
#include "support/TestDatabase.h"

using cds::FType;
using cds::TClientDataSet;
using cds::Value;

namespace {

const char* kScript = R"(
CREATE TABLE T_ALL (
  ID        INTEGER NOT NULL PRIMARY KEY,
  S         SMALLINT,
  B         BIGINT,
  D         DOUBLE PRECISION,
  N         NUMERIC(15,2),
  FLAG      BOOLEAN,
  NAME      VARCHAR(40),
  CODE      CHAR(5),
  BDAY      DATE,
  T         TIME,
  STAMP     TIMESTAMP,
  NOTE      BLOB SUB_TYPE TEXT,
  BIN       BLOB SUB_TYPE 0,
  DEF_COL   INTEGER DEFAULT 42,
  FULLNAME  COMPUTED BY (NAME || '!')
);
CREATE TABLE CHILD (
  CID INTEGER NOT NULL PRIMARY KEY,
  ID  INTEGER
);
INSERT INTO T_ALL (ID, S, B, D, N, FLAG, NAME, CODE, BDAY, T, STAMP, NOTE, BIN)
  VALUES (1, -7, 9000000000123, 0.1, -12.34, TRUE, 'ab', 'X', '1980-01-15', '14:30:05.1234',
          '2025-03-01 10:15:07.4321', 'memo text', x'00FF10');
INSERT INTO T_ALL (ID, NAME) VALUES (2, '');
INSERT INTO T_ALL (ID, NAME) VALUES (3, 'third');
INSERT INTO CHILD VALUES (10, 1);
INSERT INTO CHILD VALUES (11, 3);
)";

// Ends the embedded engine's threads before the process exits, so that nothing of the
// engine is running while the leak check of the sanitizer build walks the threads.
class EngineShutdown : public ::testing::Environment {
public:
  void TearDown() override { fb_shutdown(0, fb_shutrsn_app_stopped); }
};
const auto* const kEngineShutdown = ::testing::AddGlobalTestEnvironment(new EngineShutdown);

struct Chain {
  fbdb::SqlConnection conn;
  std::unique_ptr<cds::TFbDataSetChain> chain;
  TClientDataSet& cds;
  Chain(const testsupport::TestDatabase& db, const char* sql) : cds(open(db, sql)) {}
  TClientDataSet& open(const testsupport::TestDatabase& db, const char* sql) {
    db.fillParams(conn.Params);
    conn.open();
    chain = std::make_unique<cds::TFbDataSetChain>(conn, "dspAll", sql);
    return chain->ClientDataSet;
  }
};

}  // namespace

TEST(CdsFirebird, ProviderFillCarriesNamesTypesAndExactValues) {
  testsupport::TestDatabase db(kScript);
  Chain c(db, "SELECT * FROM T_ALL ORDER BY ID");
  c.cds.Open();
  TClientDataSet& ds = c.cds;
  struct Want {
    const char* name;
    FType type;
  };
  const Want want[] = {{"ID", FType::I32},    {"S", FType::I16},     {"B", FType::I64},     {"D", FType::F64},
                       {"N", FType::Dec},     {"FLAG", FType::Bool}, {"NAME", FType::Str},  {"CODE", FType::Str},
                       {"BDAY", FType::Date}, {"T", FType::Time},    {"STAMP", FType::Stamp}, {"NOTE", FType::Memo},
                       {"BIN", FType::Blob},  {"DEF_COL", FType::I32}, {"FULLNAME", FType::Str}};
  ASSERT_EQ(ds.FieldCount(), 15);
  for (int i = 0; i < 15; ++i) {
    EXPECT_EQ(ds.Fields(i).FieldName(), want[i].name);
    EXPECT_EQ(ds.Fields(i).DataType(), want[i].type) << want[i].name;
    if (i < 14) {
      EXPECT_EQ(ds.Fields(i).Def().Relation, "T_ALL") << want[i].name;
    }
  }
  EXPECT_EQ(ds.FieldByName("NAME").Size(), 40);
  EXPECT_EQ(ds.FieldByName("N").Def().Scale, 2);
  ASSERT_EQ(ds.RecordCount(), 3);
  ds.First();
  EXPECT_EQ(ds.FieldByName("S").AsInteger(), -7);
  EXPECT_EQ(ds.FieldByName("B").AsLargeInt(), 9000000000123LL);
  EXPECT_DOUBLE_EQ(ds.FieldByName("D").AsFloat(), 0.1);
  EXPECT_EQ(ds.FieldByName("N").AsString(), "-12.34");
  EXPECT_TRUE(ds.FieldByName("FLAG").AsBoolean());
  EXPECT_EQ(ds.FieldByName("CODE").AsString(), "X    ");
  EXPECT_EQ(ds.FieldByName("BDAY").AsString(), "15.01.1980");
  EXPECT_EQ(ds.FieldByName("T").AsValue().rawInt(), (14 * 3600 + 30 * 60 + 5) * 10000LL + 1234);
  EXPECT_EQ(ds.FieldByName("STAMP").AsValue().rawInt(),
            static_cast<int64_t>(platform::EncodeDate(2025, 3, 1)) * cds::kTicksPerDay +
                (10 * 3600 + 15 * 60 + 7) * 10000LL + 4321);
  EXPECT_EQ(ds.FieldByName("NOTE").AsString(), "memo text");
  EXPECT_EQ(ds.FieldByName("BIN").AsString(), std::string("\x00\xFF\x10", 3));
  EXPECT_EQ(ds.FieldByName("FULLNAME").AsString(), "ab!");
  ds.Next();
  EXPECT_TRUE(ds.FieldByName("NAME").IsNull());  // '' in the database is null in the dataset
  EXPECT_EQ(ds.FieldByName("DEF_COL").AsInteger(), 42);
}

TEST(CdsFirebird, JoinedColumnsGetSuffixes) {
  testsupport::TestDatabase db(kScript);
  Chain c(db, "SELECT * FROM T_ALL A INNER JOIN CHILD B ON (B.ID = A.ID) ORDER BY B.CID");
  c.cds.Open();
  ASSERT_EQ(c.cds.FieldCount(), 17);
  EXPECT_EQ(c.cds.Fields(16).FieldName(), "ID_1");
  EXPECT_EQ(c.cds.Fields(16).Def().Relation, "CHILD");
  EXPECT_EQ(c.cds.FieldByName("ID").Index(), 0);
  EXPECT_EQ(c.cds.RecordCount(), 2);
}

TEST(CdsFirebird, ApplyUpdatesInsertsUpdatesAndReportsTheFailingRow) {
  testsupport::TestDatabase db(kScript);
  Chain c(db, "SELECT * FROM T_ALL");
  c.cds.Open();
  TClientDataSet& ds = c.cds;
  ds.AddIndex("ID_IND", "ID");
  ds.SetIndexName("ID_IND");
  // A new row with Cyrillic text and typed values; DEF_COL left unassigned.
  ds.Append();
  ds.FieldByName("ID").SetAsInteger(4);
  ds.FieldByName("NAME").SetAsString("\xC8\xE2\xE0\xED\xEE\xE2");
  ds.FieldByName("N").SetAsString("7.5");
  ds.FieldByName("STAMP").SetValue(Value::Stamp(static_cast<int64_t>(platform::EncodeDate(2024, 5, 6)) *
                                                    cds::kTicksPerDay + 12345));
  ds.FieldByName("NOTE").SetAsString("long memo");
  ds.Post();
  // A new row whose key already exists: it fails; the next one of the same shape does not.
  ds.Append();
  ds.FieldByName("ID").SetAsInteger(1);
  ds.Post();
  ds.Append();
  ds.FieldByName("ID").SetAsInteger(5);
  ds.Post();
  // An update of row 3.
  ASSERT_TRUE(ds.FindKey({3}));
  ds.Edit();
  ds.FieldByName("NAME").SetAsString("third, edited");
  ds.FieldByName("BDAY").SetAsString("01.01.2000");
  ds.Post();
  // An update of row 1, whose STAMP is compared at full precision.
  ASSERT_TRUE(ds.FindKey({1}));
  ds.Edit();
  ds.FieldByName("STAMP").SetAsString("02.03.2025 00:00:00");
  ds.FieldByName("D").SetAsFloat(0.25);
  ds.Post();
  EXPECT_EQ(ds.ChangeCount(), 5);

  std::vector<std::string> lines;
  ds.OnReconcileError = [&](TClientDataSet&, const cds::EReconcileError& e, cds::TUpdateKind k,
                            cds::TReconcileAction&) {
    lines.push_back(e.Context() + ", " + e.OriginalClassName() + ", " + std::to_string(static_cast<int>(k)));
  };
  // On the caller's transaction (the merge's id 500): nothing is committed by the apply.
  fbdb::TTransactionDesc td;
  td.TransactionID = 500;
  c.conn.StartTransaction(td);
  EXPECT_EQ(ds.ApplyUpdates(-1), 1);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "T_ALL ID=1, EFbError, 1");
  EXPECT_EQ(ds.ChangeCount(), 1);
  EXPECT_TRUE(c.conn.InTransaction());
  c.conn.Commit(td);

  EXPECT_EQ(db.scalar("select NAME from T_ALL where ID = 4"), "\xC8\xE2\xE0\xED\xEE\xE2");
  EXPECT_EQ(db.scalar("select DEF_COL from T_ALL where ID = 4"), "42");
  EXPECT_EQ(db.scalar("select N from T_ALL where ID = 4"), "7.50");
  EXPECT_EQ(db.scalar("select extract(millisecond from STAMP) from T_ALL where ID = 4"), "234.5");  // 1.2345 s kept exactly
  EXPECT_EQ(db.scalar("select NAME from T_ALL where ID = 3"), "third, edited");
  EXPECT_EQ(db.scalar("select BDAY from T_ALL where ID = 3"), "01.01.2000");
  EXPECT_EQ(db.scalar("select D from T_ALL where ID = 1"), "0.25");
  EXPECT_EQ(db.scalar("select DEF_COL from T_ALL where ID = 5"), "42");
  EXPECT_EQ(db.count("T_ALL"), 5);
}

TEST(CdsFirebird, ConcurrentChangeIsAConflictAndOwnTransactionCommitsTheRest) {
  testsupport::TestDatabase db(kScript);
  Chain c(db, "SELECT * FROM T_ALL");
  c.cds.Open();
  TClientDataSet& ds = c.cds;
  ds.AddIndex("ID_IND", "ID");
  ds.SetIndexName("ID_IND");
  ASSERT_TRUE(ds.FindKey({3}));
  ds.Edit();
  ds.FieldByName("NAME").SetAsString("mine");
  ds.Post();
  ASSERT_TRUE(ds.FindKey({2}));
  ds.Edit();
  ds.FieldByName("NAME").SetAsString("was empty");  // '' in the database matches the null original
  ds.Post();
  ASSERT_TRUE(ds.FindKey({1}));
  ds.Delete();
  db.exec("update T_ALL set NAME = 'theirs' where ID = 3");  // another user changed the same column
  int handlerCalls = 0;
  ds.OnReconcileError = [&](TClientDataSet&, const cds::EReconcileError& e, cds::TUpdateKind k,
                            cds::TReconcileAction&) {
    ++handlerCalls;
    EXPECT_STREQ(e.what(), "Record not found or changed by another user");
    EXPECT_EQ(k, cds::TUpdateKind::ukModify);
  };
  EXPECT_FALSE(c.conn.InTransaction());
  EXPECT_EQ(ds.ApplyUpdates(1), 1);
  EXPECT_EQ(handlerCalls, 1);
  EXPECT_FALSE(c.conn.InTransaction());
  EXPECT_EQ(db.scalar("select NAME from T_ALL where ID = 3"), "theirs");
  EXPECT_EQ(db.scalar("select NAME from T_ALL where ID = 2"), "was empty");
  EXPECT_EQ(db.scalar("select count(*) from T_ALL where ID = 1"), "0");
  EXPECT_EQ(ds.ChangeCount(), 1);
}

TEST(CdsFirebird, ClinicPatientTableJoinsTheOpenTransaction) {
  testsupport::TestDatabase db;  // the clinic schema
  db.exec("insert into PATIENT (IDP, LAST_NAME, FIRST_NAME, BIRTHDAY, POLICY_SERIA, POLICY_NUM) "
          "values (1, 'IVANOV', 'IVAN', '1980-01-15', 'AB', '123')");
  Chain c(db, "SELECT * FROM PATIENT");
  c.cds.Open();
  TClientDataSet& ds = c.cds;
  EXPECT_EQ(ds.Fields(0).FieldName(), "IDP");
  EXPECT_EQ(ds.FieldByName("BIRTHDAY").DataType(), FType::Date);
  ds.AddIndex("PATIENT_ID_IND", "IDP");
  ds.AddIndex("PATIENT_POLICE_IND", "POLICY_SERIA;POLICY_NUM");
  ds.AddIndex("PATIENT_PERSON_IND", "LAST_NAME;FIRST_NAME;MIDDLE_NAME;BIRTHDAY");
  ds.SetIndexName("PATIENT_POLICE_IND");
  EXPECT_TRUE(ds.FindKey({"AB", "123"}));
  ds.SetIndexName("PATIENT_PERSON_IND");
  EXPECT_TRUE(ds.FindKey({"IVANOV", "IVAN", "", "15.01.1980"}));  // null middle name matches ""
  ds.Edit();
  ds.FieldByName("FIRST_NAME").SetAsString("IVAN2");
  ds.Post();
  ds.Append();
  ds.FieldByName("IDP").SetAsInteger(2);
  ds.FieldByName("KOD_PATIENT").SetAsString("2");
  ds.FieldByName("LAST_NAME").SetAsString("PETROV");
  ds.Post();
  fbdb::TTransactionDesc td;
  td.TransactionID = 500;
  c.conn.StartTransaction(td);
  EXPECT_EQ(ds.ApplyUpdates(1), 0);
  EXPECT_EQ(ds.ChangeCount(), 0);
  c.conn.Rollback(td);  // the apply ran inside transaction 500: nothing stays
  EXPECT_EQ(db.count("PATIENT"), 1);
  EXPECT_EQ(db.scalar("select FIRST_NAME from PATIENT where IDP = 1"), "IVAN");
}


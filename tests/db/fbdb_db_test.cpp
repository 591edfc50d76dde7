// The layer against a real embedded database made from the clinic schema.
#include <gtest/gtest.h>

#include "db/fbdb.h"
#include "platform/codepage.h"
#include "platform/dates.h"
#include "support/TestDatabase.h"

namespace {

using testsupport::TestDatabase;

class FbdbTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() { db_ = new TestDatabase(); }
  static void TearDownTestSuite() {
    delete db_;
    db_ = nullptr;
  }
  static TestDatabase* db_;
};
TestDatabase* FbdbTest::db_ = nullptr;

TEST_F(FbdbTest, SchemaHoldsEveryTableAndProcedure) {
  const char* tables[] = {"PATIENT", "PATIENT_CONST_PARAMS", "PAT_RREGNANCY", "VISITS", "VISITS_AG", "VISITS_MI",
                          "VISITS_PREG", "VISITS_RKV", "DISPENSARY", "DISEASES", "AG_HOSP", "AG_DIFFICULTIES",
                          "AG_INVALID", "AG_DRUGS", "REAB_MI", "SERVICES", "NOTICE", "ANALSELF", "RECEPTS",
                          "ACTIONS_PAT", "HOSPITAL_LIST", "PAT_KARTA_DD", "MEDOSM", "DOCTORS", "DRUGS", "NPUNKT",
                          "OUR_HOSPITALS", "SYSTEM_OPTIONS", "SMP_CALLS", "PRIKEND_LOG"};
  for (const char* t : tables) EXPECT_EQ(db_->scalar(std::string("select count(*) from rdb$relations where rdb$relation_name = '") + t + "'"), "1") << t;
  EXPECT_EQ(db_->count("OUR_HOSPITALS"), 1);
  EXPECT_EQ(db_->count("SYSTEM_OPTIONS"), 1);
  // Key column first, PATIENT_ID second in the visit tables; DISEASES has neither DATE_VISIT nor RESULT.
  auto col = [&](const char* table, int pos) {
    return db_->scalar(std::string("select trim(rdb$field_name) from rdb$relation_fields where rdb$relation_name = '") +
                       table + "' and rdb$field_position = " + std::to_string(pos));
  };
  EXPECT_EQ(col("VISITS", 0), "IDV");
  EXPECT_EQ(col("VISITS", 1), "PATIENT_ID");
  EXPECT_EQ(col("VISITS_AG", 1), "PATIENT_ID");
  EXPECT_EQ(col("VISITS_PREG", 0), "ID_VISITS_PREG");
  EXPECT_EQ(col("VISITS_PREG", 1), "PATIENT_ID");
  EXPECT_EQ(col("DISEASES", 0), "IDD");
  EXPECT_EQ(db_->scalar("select count(*) from rdb$relation_fields where rdb$relation_name = 'DISEASES' and "
                        "rdb$field_name in ('DATE_VISIT', 'RESULT')"),
            "0");
  EXPECT_EQ(db_->scalar("select count(*) from rdb$relation_constraints where rdb$constraint_type = 'FOREIGN KEY'"), "0");
}

TEST_F(FbdbTest, IdProceduresAreExecutableAndSelectableAndFollowTheirGenerator) {
  auto a = db_->attach();
  fbdb::Transaction t(*a);
  const char* procs[] = {"PATIENT_GEN_ID", "DISEASES_GEN_ID", "DISPENSARY_GEN_ID", "AG_DIFFICULTIES_GEN_ID",
                         "AG_DRUGS_GEN_ID", "AG_HOSP_GEN_ID", "AG_INVALID_GEN_ID", "REAB_MI_GEN_ID",
                         "SERVICES_GEN_ID", "NOTICE_GEN_ID", "ASELF_GEN_ID", "RECEPTS_GEN_ID",
                         "ACTIONS_PAT_GEN_ID", "HOSPITAL_LIST_GEN_ID", "DD_GEN_ID", "MO_GEN_ID"};
  for (const char* p : procs) {
    fbdb::StoredProc sp(t);
    sp.setStoredProcName(p);
    sp.execProc();
    int32_t first = sp.field("F_ID").asInteger();
    fbdb::Query q(t);
    q.setSql(std::string("select * from ") + p);
    q.open();
    ASSERT_FALSE(q.eof()) << p;
    EXPECT_EQ(q.field(size_t{0}).asInteger(), first + 1) << p;
    q.close();
  }
  // "set generator X to n" makes the next id n + 1.
  a->executeImmediate("set generator GEN_IDP to 1499999990");
  fbdb::StoredProc sp(t);
  sp.setStoredProcName("PATIENT_GEN_ID");
  sp.execProc();
  EXPECT_EQ(sp.field("F_ID").asInteger(), 1499999991);
  // Outputs stay readable after the procedure is closed.
  sp.close();
  EXPECT_EQ(sp.field("F_ID").asInteger(), 1499999991);
  // An input parameter by name; two outputs.
  fbdb::StoredProc vis(t);
  vis.setStoredProcName("VISIT_GEN_ID");
  vis.param("P_ID_PATIENT").setInteger(7);
  vis.execProc();
  int32_t v1 = vis.field("F_ID").asInteger();
  int32_t h1 = vis.field("F_HANDLE_ID").asInteger();
  vis.execProc();
  EXPECT_EQ(vis.field("F_ID").asInteger(), v1 + 1);
  EXPECT_EQ(vis.field("F_HANDLE_ID").asInteger(), h1 + 1);
  t.commit();
  a->executeImmediate("set generator GEN_IDP to 0");
}

TEST_F(FbdbTest, TypedBindingAndFieldAccess) {
  auto a = db_->attach();
  fbdb::Transaction t(*a);
  fbdb::Query ins(t);
  ins.setSql(
      "insert into PATIENT (IDP, KOD_PATIENT, LAST_NAME, BIRTHDAY, POLICE_DATE_END, UPDATE_DATE, DATE_INPUT, "
      "REGION_KOD, MY_HOSPITAL_KOD) values (:P_IDP, :PKOD, :PLN, :PBD, :PEND, :PUPD, :PDIN, :PREG, :PHOSP)");
  ins.param("P_IDP").setInteger(101);
  ins.param("PKOD").setInteger(101);                       // integer into VARCHAR
  ins.param("PLN").setString(platform::Utf8ToCp1251("Иванов"));
  ins.param("PBD").setString("09.12.2026");                // text into DATE, day first
  ins.param("PEND").setString("  ");                       // empty text into DATE: NULL
  ins.param("PUPD").setDate(platform::EncodeDate(2026, 1, 31));
  ins.param("PDIN").setDateTime(platform::EncodeDate(2026, 2, 3) + platform::EncodeTime(4, 5, 6, 0));
  ins.param("PREG").setString("61");                      // text into INTEGER
  ins.param("PHOSP").setDouble(7.0);
  ins.execSQL();
  EXPECT_EQ(ins.rowsAffected(), 1);
  // The values stay for the next execution until cleared.
  ins.param("P_IDP").setInteger(102);
  ins.param("PKOD").setString("102");
  ins.param("PBD").setString("09/12/2026");                // read day first by our own rules
  ins.execSQL();
  ins.clearParams();
  ins.param("P_IDP").setInteger(103);
  ins.execSQL();
  t.commit();

  fbdb::Query q(t);
  q.setSql("select * from PATIENT where IDP between :LO and :HI order by IDP");
  q.param("LO").setInteger(101);
  q.param("HI").setInteger(103);
  q.open();
  ASSERT_FALSE(q.eof());
  EXPECT_EQ(q.field("IDP").asInteger(), 101);
  EXPECT_EQ(q.field("KOD_PATIENT").asString(), "101");
  EXPECT_EQ(q.field("LAST_NAME").asString(), platform::Utf8ToCp1251("Иванов"));
  EXPECT_EQ(q.field("BIRTHDAY").asString(), "09.12.2026");
  EXPECT_DOUBLE_EQ(q.field("BIRTHDAY").asDate(), platform::EncodeDate(2026, 12, 9));
  EXPECT_TRUE(q.field("POLICE_DATE_END").isNull());
  EXPECT_EQ(q.field("POLICE_DATE_END").asString(), "");
  EXPECT_EQ(q.field("POLICE_DATE_END").asInteger(), 0);
  EXPECT_EQ(q.field("UPDATE_DATE").asString(), "31.01.2026");
  EXPECT_EQ(q.field("DATE_INPUT").asString(), "03.02.2026 04:05:06");
  EXPECT_EQ(q.field("REGION_KOD").asInteger(), 61);
  EXPECT_EQ(q.field("MY_HOSPITAL_KOD").asString(), "7");
  EXPECT_EQ(q.field("KOD_PATIENT").asInteger(), 101);      // text field read as integer
  EXPECT_THROW(q.field("LAST_NAME").asInteger(), platform::EConvertError);  // a text that is no number
  q.next();
  ASSERT_FALSE(q.eof());
  EXPECT_EQ(q.field("IDP").asInteger(), 102);
  EXPECT_EQ(q.field("BIRTHDAY").asString(), "09.12.2026");
  EXPECT_EQ(q.field("LAST_NAME").asString(), platform::Utf8ToCp1251("Иванов"));  // kept from the previous run
  q.next();
  ASSERT_FALSE(q.eof());
  EXPECT_EQ(q.field("IDP").asInteger(), 103);
  EXPECT_TRUE(q.field("LAST_NAME").isNull());                 // cleared
  EXPECT_TRUE(q.field("BIRTHDAY").isNull());
  EXPECT_EQ(q.field("LAST_NAME").asInteger(), 0);             // NULL reads as 0
  q.next();
  EXPECT_TRUE(q.eof());
  EXPECT_THROW(q.field("NO_SUCH"), fbdb::EDatabaseError);
  q.close();
  t.commit();
  a->executeImmediate("delete from PATIENT where IDP between 101 and 103");
}

TEST_F(FbdbTest, EngineErrorsCarryClassAndMessage) {
  auto a = db_->attach();
  fbdb::Transaction t(*a);
  fbdb::Query q(t);
  q.setSql("insert into PATIENT (IDP, REGION_KOD) values (:A, :B)");
  q.param("A").setInteger(200);
  q.param("B").setString("12345A");
  try {
    q.execSQL();
    FAIL() << "no error";
  } catch (const fbdb::EFbError& e) {
    std::string d = platform::describe(e);
    EXPECT_EQ(d.rfind("EFbError\r", 0), 0u) << d;
    EXPECT_NE(d.find("conversion error from string \"12345A\""), std::string::npos) << d;
  }
  t.rollback();
  fbdb::Attachment missing;
  missing.databaseName = db_->dir() + "no-such.fdb";
  try {
    missing.connect();
    FAIL() << "no error";
  } catch (const platform::Exception& e) {
    std::string d = platform::describe(e);
    EXPECT_EQ(d.rfind("EFbError\r", 0), 0u) << d;
    EXPECT_NE(d.find("I/O error during \"open\""), std::string::npos) << d;
  }
  EXPECT_FALSE(missing.connected());
}

TEST_F(FbdbTest, TwoTransactionsOfOneAttachmentWithDifferentLifetimes) {
  auto a = db_->attach();
  fbdb::Transaction tran(*a), tran2(*a);
  fbdb::Query app(tran2), look(tran);
  app.setSql("insert into NPUNKT (KOD, NAME) values (:K, :N)");
  look.setSql("select NAME from NPUNKT where KOD = :K");
  for (int k = 1; k <= 3; ++k) {
    tran.start();
    tran.start();  // does nothing when active
    look.param("K").setInteger(k);
    look.open();
    EXPECT_TRUE(look.eof());
    look.close();
    app.param("K").setInteger(k);
    app.param("N").setString("n" + std::to_string(k));
    app.execSQL();  // starts tran2 with its first statement
    tran.commit();
    EXPECT_FALSE(tran.active());
    EXPECT_TRUE(tran2.active());
  }
  // Another attachment does not see the pending rows.
  EXPECT_EQ(db_->count("NPUNKT"), 0);
  // Disconnecting commits them instead of losing them.
  a->disconnect();
  EXPECT_FALSE(tran2.active());
  EXPECT_EQ(db_->count("NPUNKT"), 3);
  // The statements prepare again after a reconnect.
  db_->connect(*a);
  look.param("K").setInteger(2);
  look.open();
  ASSERT_FALSE(look.eof());
  EXPECT_EQ(look.field("NAME").asString(), "n2");
  look.close();
  tran.rollback();
  tran.rollback();  // does nothing when not active
  a->executeImmediate("delete from NPUNKT");
}

TEST_F(FbdbTest, RollbackDiscardsAndCommitClosesCursors) {
  auto a = db_->attach();
  fbdb::Transaction t(*a);
  fbdb::Query q(t);
  q.setSql("insert into DOCTORS (ID, KOD, KOD_PROFESSION) values (:ID, :K, :P)");
  q.param("ID").setInteger(1);
  q.param("K").setInteger(10);
  q.param("P").setString("27");
  q.execSQL();
  t.rollback();
  EXPECT_EQ(db_->count("DOCTORS"), 0);
  q.execSQL();
  fbdb::Query s(t);
  s.setSql("select * from DOCTORS");
  s.open();
  EXPECT_TRUE(s.active());
  t.commit();
  EXPECT_FALSE(s.active());
  EXPECT_EQ(db_->count("DOCTORS"), 1);
  a->executeImmediate("delete from DOCTORS");
}

TEST_F(FbdbTest, SqlConnectionAutocommitAndExplicitTransactions) {
  fbdb::SqlConnection c;
  db_->fillParams(c.Params);
  c.open();
  ASSERT_TRUE(c.connected());
  fbdb::Query q(c);
  q.setSql("insert into DOCTORS (ID, KOD, KOD_PROFESSION) values (:ID, 1, 'x')");
  q.param("ID").setInteger(1);
  q.execSQL();
  EXPECT_EQ(db_->count("DOCTORS"), 1);  // committed at once

  fbdb::TTransactionDesc td;
  td.TransactionID = 500;
  td.IsolationLevel = 0;
  c.StartTransaction(td);
  EXPECT_TRUE(c.InTransaction());
  EXPECT_THROW(c.StartTransaction(td), fbdb::EDatabaseError);
  q.param("ID").setInteger(2);
  q.execSQL();
  c.ExecuteDirect("set generator GEN_DRUGS_ID to 42");
  EXPECT_EQ(db_->count("DOCTORS"), 1);  // pending in the explicit transaction
  fbdb::Query sel(c);
  sel.setSql("select count(*) from DOCTORS");
  sel.open();
  EXPECT_EQ(sel.field(size_t{0}).asInteger(), 2);  // seen inside it
  sel.close();
  c.Rollback(td);
  EXPECT_FALSE(c.InTransaction());
  EXPECT_EQ(db_->count("DOCTORS"), 1);

  td.TransactionID = 1000;
  c.StartTransaction(td);
  q.param("ID").setInteger(3);
  q.execSQL();
  c.Commit(td);
  EXPECT_EQ(db_->count("DOCTORS"), 2);

  // Selects outside a transaction see what was committed meanwhile (read committed, own transaction).
  sel.open();
  EXPECT_EQ(sel.field(size_t{0}).asInteger(), 2);
  sel.close();
  db_->exec("insert into DOCTORS (ID, KOD, KOD_PROFESSION) values (9, 9, '9')");
  sel.open();
  EXPECT_EQ(sel.field(size_t{0}).asInteger(), 3);
  sel.close();
  c.ExecuteDirect("delete from DOCTORS");
  c.close();
  EXPECT_FALSE(c.connected());
  EXPECT_EQ(db_->count("DOCTORS"), 0);
}

TEST_F(FbdbTest, SqlConnectionStoredProcedures) {
  fbdb::SqlConnection c;
  db_->fillParams(c.Params);
  c.open();
  fbdb::StoredProc sp(c);
  sp.setStoredProcName("PRIKEND");
  sp.param("PLPU").setInteger(61);
  sp.execProc();
  EXPECT_EQ(db_->scalar("select PLPU from PRIKEND_LOG"), "61");
  fbdb::StoredProc dis(c);
  dis.setStoredProcName("DISEASES_GEN_ID");
  dis.execProc();
  int32_t d1 = dis.field("F_ID").asInteger();
  dis.close();
  dis.execProc();
  EXPECT_EQ(dis.field("F_ID").asInteger(), d1 + 1);
  c.ExecuteDirect("delete from PRIKEND_LOG");
  c.close();
}

TEST_F(FbdbTest, LockWaitsAreBoundedAcrossTheTwoConnections) {
  db_->exec("insert into NPUNKT (KOD, NAME) values (1, 'a')");
  auto a = db_->attach();
  fbdb::Transaction t2(*a);
  fbdb::Query upd(t2);
  upd.setSql("update NPUNKT set NAME = 'b' where KOD = 1");
  upd.execSQL();  // row lock held, not committed
  fbdb::SqlConnection c;
  db_->fillParams(c.Params);
  c.Params.setValue("LockTimeout", "1");
  c.open();
  fbdb::Query other(c);
  other.setSql("update NPUNKT set NAME = 'c' where KOD = 1");
  EXPECT_THROW(other.execSQL(), fbdb::EFbError);  // an error, not a hang
  EXPECT_EQ(c.lockTimeout(), 1);
  fbdb::SqlConnection nowait;
  db_->fillParams(nowait.Params);
  nowait.Params.setValue("WaitOnLocks", "False");
  nowait.open();
  EXPECT_EQ(nowait.lockTimeout(), 0);
  EXPECT_THROW(nowait.ExecuteDirect("update NPUNKT set NAME = 'd' where KOD = 1"), fbdb::EFbError);
  nowait.close();
  fbdb::SqlConnection endless;
  db_->fillParams(endless.Params);
  endless.Params.setValue("LockTimeout", "-1");
  endless.open();
  EXPECT_EQ(endless.lockTimeout(), fbdb::kDefaultLockTimeout);
  endless.close();
  t2.commit();
  other.execSQL();
  EXPECT_EQ(db_->scalar("select NAME from NPUNKT where KOD = 1"), "c");
  c.ExecuteDirect("delete from NPUNKT");
}

TEST_F(FbdbTest, BlobsAndTimesTravelNatively) {
  fbdb::SqlConnection c;
  db_->fillParams(c.Params);
  c.open();
  fbdb::Query q(c);
  q.setSqlLines({"insert into SMP_CALLS (ID_SMP_CALLS, CALL_TIME, CALL_TIME_END, FORMA_BLOB)",
                 "  values (:ID, '10:15:00', :T, :P_BLOB)"});
  std::string blob;
  for (int i = 0; i < 70000; ++i) blob.push_back(static_cast<char>(i * 7));
  q.param("ID").setInteger(5);
  q.param("T").setString("23:59:58");
  q.param("P_BLOB").setString(blob);
  q.execSQL();
  fbdb::Query s(c);
  s.setSql("select CALL_TIME, CALL_TIME_END, FORMA_BLOB from SMP_CALLS where ID_SMP_CALLS = 5");
  s.open();
  ASSERT_FALSE(s.eof());
  EXPECT_EQ(s.field("CALL_TIME").asString(), "10:15:00");
  EXPECT_EQ(s.field("CALL_TIME_END").asString(), "23:59:58");
  EXPECT_EQ(s.field("FORMA_BLOB").asString(), blob);
  s.close();
  c.ExecuteDirect("delete from SMP_CALLS");
}

TEST_F(FbdbTest, ScriptErrorsNameTheStatement) {
  auto a = db_->attach();
  try {
    fbdb::ExecuteScript(*a, "create table T1 (A integer);\ncreate table T1 (A integer);");
    FAIL() << "no error";
  } catch (const fbdb::EFbError& e) {
    EXPECT_NE(std::string(e.what()).find("Script statement 2"), std::string::npos) << e.what();
  }
  a->executeImmediate("drop table T1");
}

}  // namespace

namespace {

// Objects may be destroyed in any order: the dependants become unusable, nothing dangles.
TEST(FbdbLifetimes, ConnectionsAndTransactionsMayGoFirst) {
  testsupport::TestDatabase db;
  auto q = std::make_unique<fbdb::Query>();
  auto sp = std::make_unique<fbdb::StoredProc>();
  {
    auto a = db.attach();
    auto t = std::make_unique<fbdb::Transaction>(*a);
    q->bind(*t);
    q->setSql("select * from NPUNKT");
    q->open();
    sp->bind(*t);
    sp->setStoredProcName("PATIENT_GEN_ID");
    sp->execProc();
    t.reset();  // rolled back; the query is unbound
    EXPECT_FALSE(q->active());
    EXPECT_THROW(q->open(), fbdb::EDatabaseError);
    fbdb::Transaction t2(*a);
    q->bind(t2);
    q->open();
    EXPECT_TRUE(q->active());
    // the attachment goes while the query holds a cursor on it
  }
  EXPECT_FALSE(q->active());
  EXPECT_THROW(q->open(), fbdb::EDatabaseError);
  {
    auto c = std::make_unique<fbdb::SqlConnection>();
    db.fillParams(c->Params);
    c->open();
    q->bind(*c);
    q->open();
    c.reset();
  }
  EXPECT_THROW(q->open(), fbdb::EDatabaseError);
  q.reset();
  sp.reset();
}

}  // namespace

namespace {

TEST(ClinicDatabase, CreatedWithForcedWritesAsAsked) {
  std::string dir = testsupport::MakeTempDir("kesta-clinic");
  {
    fbdb::Attachment a;
    fbdb::CreateOptions opt;  // forced writes on, as a real database
    fbdb::CreateClinicDatabase(a, dir + "demo.fdb", opt);
    EXPECT_TRUE(a.connected());
    fbdb::Transaction t(a);
    fbdb::Query q(t);
    q.setSql("select mon$forced_writes, mon$sql_dialect, trim(rdb$character_set_name) from mon$database, rdb$database");
    q.open();
    EXPECT_EQ(q.field(size_t{0}).asInteger(), 1);
    EXPECT_EQ(q.field(size_t{1}).asInteger(), 3);
    EXPECT_EQ(q.field(size_t{2}).asString(), "WIN1251");
    q.close();
    t.commit();
    a.disconnect();
  }
  testsupport::TestDatabase tdb;  // the test helper turns them off
  EXPECT_EQ(tdb.scalar("select mon$forced_writes from mon$database"), "0");
  testsupport::RemoveDir(dir);
}

}  // namespace

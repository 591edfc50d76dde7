// Task 10 end to end: a drug directory written by python3-dbf (CP866), read through the
// data module's DBF table, into a fresh embedded clinic database.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dbf_fixture.h"

namespace {

using dbftest::C;
using dbftest::Record;
using dbftest::Value;

const char* const kFields =
    "NAME_MED C(100); NOMK_LS N(10,0); C_RLP N(5,0); TYPE_LGT N(2,0); PRICE N(12,2); MNN_NAME_R C(100); "
    "MNN_NAME_L C(100); D_R C(50); D_L C(50); N_LF_L C(50); N_LF_R C(50); NAME_TRN C(100); NAME_FCT C(100); "
    "DATE_E D; C_MNN C(10); C_FARG N(5,0); DATE_B D; MSG_TEXT C(200); C_LF N(5,0); C_TRN N(8,0); KATEG C(10)";

struct Drug {
  Value name = "Аспирин таб. 500 мг", nomk = "1234567", rlp = "12", lgt = "1", price = "123.45",
        mnnR = "Ацетилсалициловая кислота", mnnL = "Acidum acetylsalicylicum", dR = "500 мг", dL = "500 mg",
        lfL = "tabulettae", lfR = "таблетки", trn = "Aspirin", fct = "Байер, Германия", dateE = "2027-12-31",
        cMnn = "77", cFarg = "5", dateB = "2020-01-01", msg = "Примечание", cLf = "3", cTrn = "4567", kateg = "ИСТИНА";
  Record record() const {
    return {name, nomk, rlp, lgt, price, mnnR, mnnL, dR, dL, lfL, lfR, trn, fct, dateE, cMnn, cFarg, dateB, msg, cLf,
            cTrn, kateg};
  }
};

class DrugsTest : public ::testing::Test, public dbftest::DbfTaskFixture {
protected:
  void SetUp() override {
    exec("insert into DRUGS (ID_DRUGS, DISPLAY_NAME) values (1, 'old 1')");
    exec("insert into DRUGS (ID_DRUGS, DISPLAY_NAME) values (2, 'old 2')");
    exec("insert into DRUGS (ID_DRUGS, DISPLAY_NAME) values (7, 'old 7')");
    exec("set generator GEN_DRUGS_ID to 7");
  }
  bool run(const std::vector<Drug>& drugs) {
    std::vector<Record> records;
    for (const Drug& d : drugs) records.push_back(d.record());
    dbftest::WriteDbf(file("LS.DBF"), kFields, records);
    return dm.LoadDrugs(file("LS.DBF"));
  }
  std::string generator() const { return one("select gen_id(GEN_DRUGS_ID, 0) from RDB$DATABASE"); }
  std::vector<std::string> heading() const { return {C("Загрузка справочника ЛС"), " "}; }
};

TEST_F(DrugsTest, ReplacesTheDirectoryAndSetsTheGenerator) {
  Drug a;
  Drug b;
  b.name = "Бисопролол";
  b.dateE = "1899-12-30";  // the empty date
  b.dateB = std::nullopt;
  b.kateg = "истина";
  b.msg = "";
  b.price = std::nullopt;
  Drug c;
  c.name = "Цитрамон";
  c.kateg = "ЛОЖЬ";
  c.dateE = std::nullopt;
  ui.progressPosition = 42;
  ASSERT_TRUE(run({a, b, c}));
  EXPECT_EQ(ui.taskMessages, heading());  // no counter, no closing line
  EXPECT_EQ(ui.progressMax, 3);
  EXPECT_EQ(ui.steps, 3);
  EXPECT_EQ(ui.progressPosition, 3);
  EXPECT_GE(ui.processMessagesCalls, 3);
  EXPECT_EQ(column("select ID_DRUGS from DRUGS order by ID_DRUGS"), (std::vector<std::string>{"1", "2", "3"}));
  EXPECT_EQ(row("select * from DRUGS where ID_DRUGS = 1"),
            (std::vector<std::string>{"1", C("Аспирин таб. 500 мг"), "1234567", "12", "1", "123.45",
                                      C("Ацетилсалициловая кислота"), "Acidum acetylsalicylicum", C("500 мг"),
                                      "500 mg", "tabulettae", C("таблетки"), "Aspirin", C("Байер, Германия"),
                                      "31.12.2027", "77", "5", "01.01.2020", C("Примечание"), "3", "4567",
                                      C("ИСТИНА"), "1"}));
  EXPECT_EQ(row("select DISPLAY_NAME, REF_PRICE, DATE_END, DATE_B, COMMENT, KATEG, FLAG_BK from DRUGS where "
                "ID_DRUGS = 2"),
            (std::vector<std::string>{C("Бисопролол"), "0", "<null>", "<null>", "", C("истина"), "0"}));
  EXPECT_EQ(row("select DATE_END, FLAG_BK from DRUGS where ID_DRUGS = 3"), (std::vector<std::string>{"<null>", "0"}));
  EXPECT_EQ(generator(), "3");
  EXPECT_EQ(one("select gen_id(GEN_DRUGS_ID, 1) from RDB$DATABASE"), "4");
  EXPECT_FALSE(dm.IBTran2.active());
  EXPECT_FALSE(dm.hdsDBF.Active());
}

TEST_F(DrugsTest, AnEmptyFileEmptiesTheDirectory) {
  ASSERT_TRUE(run({}));
  EXPECT_EQ(count("DRUGS"), 0);
  EXPECT_EQ(generator(), "0");
  EXPECT_EQ(ui.taskMessages, heading());
}

TEST_F(DrugsTest, AFailedRecordLeavesTheOldDirectoryWhole) {
  Drug good;
  Drug bad;
  bad.cMnn = "12A";  // no integer
  EXPECT_FALSE(run({good, bad, good}));
  // The messages give the reason, naming the value.
  ASSERT_EQ(ui.taskMessages.size(), 3u);
  EXPECT_EQ(std::vector<std::string>(ui.taskMessages.begin(), ui.taskMessages.begin() + 2), heading());
  EXPECT_EQ(ui.taskMessages[2].rfind("EConvertError: ", 0), 0u) << ui.taskMessages[2];
  EXPECT_NE(ui.taskMessages[2].find("12A"), std::string::npos) << ui.taskMessages[2];
  EXPECT_EQ(column("select DISPLAY_NAME from DRUGS order by ID_DRUGS"),
            (std::vector<std::string>{"old 1", "old 2", "old 7"}));
  EXPECT_EQ(generator(), "7");
  EXPECT_FALSE(dm.IBTran2.active());
  // Also after the native connection is closed.
  dm.IBDB.disconnect();
  EXPECT_EQ(count("DRUGS"), 3);
  // A missing file changes nothing either; the messages name it.
  ui.taskMessages.clear();
  EXPECT_FALSE(dm.LoadDrugs(file("none.dbf")));
  EXPECT_EQ(count("DRUGS"), 3);
  ASSERT_EQ(ui.taskMessages.size(), 1u);
  EXPECT_NE(ui.taskMessages[0].find("none.dbf"), std::string::npos) << ui.taskMessages[0];
}

// A damaged file is refused before the directory is touched: the messages name the file
// and both counts, and the old directory stays.
TEST_F(DrugsTest, ADamagedFileLeavesTheOldDirectory) {
  const std::vector<Record> four(4, Drug().record());
  for (dbftest::Damage d : dbftest::Damages()) {
    SCOPED_TRACE(static_cast<int>(d));
    dbftest::WriteDbf(file("LS.DBF"), kFields, four);
    dbftest::DamageDbf(file("LS.DBF"), d);
    ui.taskMessages.clear();
    EXPECT_FALSE(dm.LoadDrugs(file("LS.DBF")));
    EXPECT_EQ(ui.taskMessages, std::vector<std::string>{dbftest::DamagedLine(file("LS.DBF"), d, 4)});
    EXPECT_EQ(column("select DISPLAY_NAME from DRUGS order by ID_DRUGS"),
              (std::vector<std::string>{"old 1", "old 2", "old 7"}));
    EXPECT_EQ(generator(), "7");
  }
  // The same file undamaged replaces it.
  dbftest::WriteDbf(file("LS.DBF"), kFields, four);
  EXPECT_TRUE(dm.LoadDrugs(file("LS.DBF")));
  EXPECT_EQ(count("DRUGS"), 4);
}

// Records the table hides are not taken for a shorter file: the records walked must be the
// header's count (here a filter left on the module's table hides one).
TEST_F(DrugsTest, RecordsTheTableHidesAreNotTakenForAShorterFile) {
  Drug hidden;
  hidden.name = "Скрытый";
  dbftest::WriteDbf(file("LS.DBF"), kFields, {Drug().record(), hidden.record(), Drug().record(), Drug().record()});
  dm.hdsDBF.OnFilterRecord = [](xb::TXBaseDataSet& t, bool& accept) {
    accept = t.FieldByName("NAME_MED").AsString() != C("Скрытый");
  };
  dm.hdsDBF.SetFiltered(true);
  EXPECT_FALSE(dm.LoadDrugs(file("LS.DBF")));
  EXPECT_EQ(ui.taskMessages, std::vector<std::string>{"EDamagedTable: " + C("Файл \"") + file("LS.DBF") +
                                                      C("\" поврежден: записей в заголовке - 4, прочитано - 3")});
  EXPECT_EQ(count("DRUGS"), 3);
  EXPECT_EQ(generator(), "7");
}

TEST_F(DrugsTest, AFailedLoadDoesNotUndoWorkLeftPendingBeforeIt) {
  fbdb::Query pending(dm.IBTran2);
  pending.setSql("insert into NPUNKT (KOD, NAME) values (5, 'pending')");
  pending.execSQL();
  ASSERT_TRUE(dm.IBTran2.active());
  Drug bad;
  bad.cMnn = "x";
  EXPECT_FALSE(run({bad}));
  EXPECT_EQ(one("select NAME from NPUNKT where KOD = 5"), "pending");
  EXPECT_EQ(count("DRUGS"), 3);
}

TEST_F(DrugsTest, ALoadAfterAFailedOneSucceeds) {
  Drug bad;
  bad.cMnn = "x";
  EXPECT_FALSE(run({bad}));
  ASSERT_TRUE(run({Drug(), Drug()}));
  EXPECT_EQ(count("DRUGS"), 2);
  EXPECT_EQ(generator(), "2");
}

}  // namespace

namespace {

TEST_F(DrugsTest, AFailedGeneratorStatementStillGivesTrue) {
  exec("drop generator GEN_DRUGS_ID");
  EXPECT_TRUE(run({Drug(), Drug()}));
  EXPECT_EQ(count("DRUGS"), 2);
}

}  // namespace

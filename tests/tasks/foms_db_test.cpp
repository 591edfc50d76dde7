// Task 3 end to end: a fund file written by python3-dbf (CP866), read through the data
// module's DBF table, into a fresh embedded clinic database.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "dbf_fixture.h"

namespace {

using dbftest::C;
using dbftest::PopulationProtocol;
using dbftest::Record;
using dbftest::Value;

const char* const kFundFields =
    "FIRSTNAME C(60); NAME C(40); SECNAME C(40); DATEBDAY D; POL C(1); SNILS C(16); SPOLICY C(10); NPOLICY C(20); "
    "DPOLICY D; ENDPOLICY D; VPOLIC N(2,0); CMOCOD N(5,0); ENP C(16); DATEPRIK D; SPOLREF C(6); SSTOMREF C(6); "
    "SWCONREF C(6); COATODIST C(11); NPREF C(6); STRETREF C(6); HOUSE C(5); FLAT N(4,0); KORPUS C(5); "
    "NPNAME C(100); ADRESS_F C(100); KLADR C(20); KLADRS C(20); ID_LIC C(20); STATUS C(2)";

// One person of the fund's file (UTF-8 texts; nullopt leaves the field blank).
struct Person {
  Value lastName = "Иванов", firstName = "Иван", middleName = "Иванович", birthday = "1980-05-17", pol = "М";
  Value snils = "123-456-789 01", spolicy = "", npolicy = "6800000000000001", dpolicy = "2015-03-01";
  Value endpolicy, vpolic = "3", cmocod = "68001", enp = "6800000000000001", dateprik = "2020-02-03";
  Value spolref = "61", sstomref = "62", swconref = "63", coatodist = "68401", npref = "10", stretref = "501";
  Value house = "12", flat = "7", korpus = "2", npname = "г. Тамбов, ул. Мира, 12-7", adressF = "Тамбов, Мира 12",
        kladr = "680000010000", kladrs = "68000001000050100", idLic = "L-1", status = "7";
  Record record() const {
    return {lastName, firstName, middleName, birthday, pol,    snils,    spolicy,   npolicy, dpolicy, endpolicy,
            vpolic,   cmocod,    enp,        dateprik, spolref, sstomref, swconref, coatodist, npref, stretref,
            house,    flat,      korpus,     npname,   adressF, kladr,    kladrs,   idLic,     status};
  }
};

class FomsTest : public ::testing::Test, public dbftest::DbfTaskFixture {
protected:
  void SetUp() override {
    exec("insert into NPUNKT (KOD, NAME) values (10, '" + C("г. Тамбов") + "')");
    exec("insert into NPUNKT (KOD, NAME) values (11, '" + C("с. Красное") + "')");
    exec("insert into NPUNKT (KOD, NAME) values (12, '" + C("Г. Рассказово") + "')");
  }
  bool run(const std::vector<Person>& people, const std::vector<int>& deleted = {}) {
    std::vector<Record> records;
    for (const Person& p : people) records.push_back(p.record());
    dbftest::WriteDbf(file("PRIK.DBF"), kFundFields, records, deleted);
    return dm.RefreshFromFOMS(file("PRIK.DBF"), true);
  }
  // A patient of the register before the run.
  void seed(int idp, const char* last, const char* first, const char* middle, const char* birthday,
            const char* series, const char* number) {
    exec("insert into PATIENT (IDP, KOD_PATIENT, LAST_NAME, FIRST_NAME, MIDDLE_NAME, BIRTHDAY, POLICY_SERIA, "
         "POLICY_NUM, VPOLICY, COMPANY_KOD, MY_HOSPITAL_KOD, ENP, SNILS_KOD, GENDER, REGION_KOD) values (" +
         std::to_string(idp) + ", 'K" + std::to_string(idp) + "', '" + C(last) + "', '" + C(first) + "', '" +
         C(middle) + "', '" + birthday + "', '" + C(series) + "', '" + C(number) +
         "', 'old', 1, 2, 'oldenp', 'oldsnils', 'g', 5)");
  }
  std::vector<std::string> prikend() const { return column("select PLPU from PRIKEND_LOG order by RUN_AT"); }
};

TEST_F(FomsTest, AnEmptyTableWritesTheLinesStampsTheDateAndRunsPrikend) {
  EXPECT_TRUE(run({}));
  EXPECT_EQ(ui.taskMessages, PopulationProtocol(0, 0, 0));
  EXPECT_EQ(one("select LAST_UPDATE_DATE from SYSTEM_OPTIONS"), "10.12.2026");
  EXPECT_EQ(prikend(), std::vector<std::string>{"61"});
  EXPECT_EQ(ui.progressMax, 0);
  EXPECT_EQ(ui.steps, 0);
  EXPECT_TRUE(ui.messageBoxes.empty());
  EXPECT_EQ(count("PATIENT"), 0);
  EXPECT_FALSE(dm.hdsDBF.Active());
}

TEST_F(FomsTest, UnchangedReplacedAndAdded) {
  seed(100, "Петров", "Пётр", "Петрович", "01.02.1970", "000000", "6800000000000100");
  seed(101, "Сидорова", "Анна", "Ивановна", "03.04.1985", "AA", "111111");
  Person unchanged;
  unchanged.lastName = "Другой";  // found by policy: the names are not looked at
  unchanged.npolicy = "6800000000000100";
  unchanged.dateprik = "2021-06-30";
  Person replaced;
  replaced.lastName = "Сидорова";
  replaced.firstName = "Анна";
  replaced.middleName = "Ивановна";
  replaced.birthday = "1985-04-03";
  replaced.spolicy = "ЕП";
  replaced.npolicy = "6800000000000101";
  replaced.vpolic = "4";
  replaced.cmocod = "68002";
  replaced.endpolicy = "2030-01-31";
  replaced.enp = "6800000000000101";
  replaced.spolref = "";  // an empty clinic code gives 0
  Person added;  // the defaults
  added.pol = "ж";
  ui.progressPosition = 42;  // set back to 0 before the walk
  ASSERT_TRUE(run({unchanged, replaced, added, added}, {3}));
  EXPECT_EQ(ui.taskMessages, PopulationProtocol(1, 1, 1));
  EXPECT_TRUE(ui.messageBoxes.empty());
  // The header count, deleted records included; one step per visible record.
  EXPECT_EQ(ui.progressMax, 4);
  EXPECT_EQ(ui.steps, 3);
  EXPECT_EQ(ui.progressPosition, 3);
  EXPECT_GE(ui.processMessagesCalls, 3);

  // Unchanged: the attachment date and the update date only.
  EXPECT_EQ(row("select LAST_NAME, POLICY_SERIA, POLICY_NUM, VPOLICY, ENP, UPDATE_DATE, DATEPRIK from PATIENT "
                "where IDP = 100"),
            (std::vector<std::string>{C("Петров"), "000000", "6800000000000100", "old", "oldenp", "10.12.2026",
                                      "30.06.2021"}));
  // Replaced: the policy group and the clinic group.
  EXPECT_EQ(row("select POLICY_SERIA, POLICY_NUM, VPOLICY, COMPANY_KOD, POLICE_DATE_BEGIN, POLICE_DATE_END, "
                "MY_HOSPITAL_KOD, STOM_HOSP_KOD, ENP, GIN_HOSP_KOD, UPDATE_DATE, DATEPRIK, SNILS_KOD, GENDER, "
                "REGION_KOD, KOD_PATIENT from PATIENT where IDP = 101"),
            (std::vector<std::string>{C("ЕП"), "6800000000000101", C("Электронн"), "68002", "01.03.2015",
                                      "31.01.2030", "0", "62", "6800000000000101", "63", "10.12.2026", "03.02.2020",
                                      "oldsnils", "g", "5", "K101"}));
  // Added: a new id from PATIENT_GEN_ID, every group.
  const std::string idp = one("select IDP from PATIENT where IDP not in (100, 101)");
  EXPECT_EQ(idp, "1");
  EXPECT_EQ(row("select KOD_PATIENT, SNILS_KOD, LAST_NAME, FIRST_NAME, MIDDLE_NAME, BIRTHDAY, GENDER, REGION_KOD, "
                "FULL_ADDRESS, FAKT_ADRES, DISTRICT_KOD, KLADR, KLADRS, NAS_PUNKT_KOD, STREET_KOD, HOUSE_NUMBER, "
                "KORPUS_NAME, FLAT_NUMBER, LOCALITY_NAME, POLICY_SERIA, POLICY_NUM, COMPANY_KOD, POLICE_DATE_BEGIN, "
                "POLICE_DATE_END, SOCIAL_STATUS_KOD, MY_HOSPITAL_KOD, STOM_HOSP_KOD, GIN_HOSP_KOD, ENP, ID_LIC, "
                "VPOLICY, UPDATE_DATE, DATEPRIK from PATIENT where IDP = 1"),
            (std::vector<std::string>{"1",
                                      "123-456-789-01",
                                      C("Иванов"),
                                      C("Иван"),
                                      C("Иванович"),
                                      "17.05.1980",
                                      C("Женский"),
                                      "68401",
                                      C("г. Тамбов, ул. Мира, 12-7"),
                                      C("Тамбов, Мира 12"),
                                      "<null>",
                                      "680000010000",
                                      "68000001000050100",
                                      "10",
                                      "501",
                                      "12",
                                      "2",
                                      "7",
                                      C("Городская"),
                                      "000000",
                                      "6800000000000001",
                                      "68001",
                                      "01.03.2015",
                                      "<null>",
                                      "13",
                                      "61",
                                      "62",
                                      "63",
                                      "6800000000000001",
                                      "L-1",
                                      C("Новый ОМС"),
                                      "10.12.2026",
                                      "03.02.2020"}));
  EXPECT_EQ(row("select IS_AG, IS_DEAD, IS_PREG, IS_MI, IS_RKV, IS_IMMUN, IS_UPDATE from PATIENT where IDP = 1"),
            (std::vector<std::string>{"0", "0", "0", "0", "0", "0", "1"}));
  EXPECT_EQ(one("select LAST_UPDATE_DATE from SYSTEM_OPTIONS"), "10.12.2026");
  EXPECT_EQ(prikend(), std::vector<std::string>{"61"});
  EXPECT_FALSE(dm.IBTran.active());
  EXPECT_FALSE(dm.IBTran2.active());
}

TEST_F(FomsTest, PolicyNumberCutAndBlankSeriesAreUsedInTheLookup) {
  seed(100, "А", "Б", "В", "01.01.1990", "000000", "345678");
  seed(101, "Г", "Д", "Е", "01.01.1990", "000000", "22345678");
  Person before;  // 30.04.2011: cut to 345678, found
  before.npolicy = "12345678";
  before.dpolicy = "2011-04-30";
  before.spolicy = "   ";
  Person after;  // 01.05.2011: whole, found
  after.npolicy = "22345678";
  after.dpolicy = "2011-05-01";
  Person noDate;  // no start date: cut, and so the patient is the first one again
  noDate.npolicy = "99345678";
  noDate.dpolicy = std::nullopt;
  ASSERT_TRUE(run({before, after, noDate}));
  EXPECT_EQ(ui.taskMessages, PopulationProtocol(3, 0, 0));
  EXPECT_EQ(count("PATIENT"), 2);
}

TEST_F(FomsTest, DerivationsOfNewPatientsAndNoCarryOver) {
  Person full;  // every derived value present
  full.npolicy = "1";
  Person sparse;  // values the record does not give are NULL, not the previous person's
  sparse.lastName = "Кузнецов";
  sparse.npolicy = "2";
  sparse.snils = "123-456-78901";  // 13 characters stay
  sparse.pol = "m";
  sparse.vpolic = "9";
  sparse.coatodist = "";
  sparse.npref = "";
  sparse.status = "X";
  sparse.dateprik = std::nullopt;
  sparse.endpolicy = std::nullopt;
  Person region0;
  region0.lastName = "Орлов";
  region0.npolicy = "3";
  region0.coatodist = "99990000000";
  region0.npref = "12";  // "Г. ..." in capitals
  region0.status = "C";
  region0.npname = "";  // the actual address stands in
  region0.house = "12а";  // ends the address group
  Person okato11;
  okato11.lastName = "Волков";
  okato11.npolicy = "4";
  okato11.coatodist = "68401000000";  // too large for 32 bits: no region
  okato11.npref = "99";  // not in NPUNKT: the code, no locality
  okato11.status = "4";
  okato11.adressF = "";
  okato11.pol = "M";
  okato11.snils = "123-456-789 0123";
  ASSERT_TRUE(run({full, sparse, region0, okato11}));
  EXPECT_EQ(ui.taskMessages, PopulationProtocol(0, 0, 4));
  const char* cols =
      "select SNILS_KOD, GENDER, VPOLICY, REGION_KOD, NAS_PUNKT_KOD, LOCALITY_NAME, SOCIAL_STATUS_KOD, DATEPRIK, "
      "POLICE_DATE_END, FULL_ADDRESS, FAKT_ADRES, HOUSE_NUMBER, FLAT_NUMBER, KORPUS_NAME, KLADR, ENP from PATIENT "
      "where POLICY_NUM = ";
  EXPECT_EQ(row(std::string(cols) + "'1'"),
            (std::vector<std::string>{"123-456-789-01", C("Мужской"), C("Новый ОМС"), "68401", "10", C("Городская"),
                                      "13", "03.02.2020", "<null>", C("г. Тамбов, ул. Мира, 12-7"),
                                      C("Тамбов, Мира 12"), "12", "7", "2", "680000010000", "6800000000000001"}));
  EXPECT_EQ(row(std::string(cols) + "'2'"),
            (std::vector<std::string>{"123-456-78901", C("Мужской"), "<null>", "<null>", "<null>", "<null>", "<null>",
                                      "<null>", "<null>", C("г. Тамбов, ул. Мира, 12-7"), C("Тамбов, Мира 12"), "12",
                                      "7", "2", "680000010000", "6800000000000001"}));
  // The address group ended at the house number: the street stays, the rest is as the
  // group had set it before, and what comes after is NULL.
  EXPECT_EQ(row(std::string(cols) + "'3'"),
            (std::vector<std::string>{"123-456-789-01", C("Мужской"), C("Новый ОМС"), "0", "12", C("Городская"), "11",
                                      "03.02.2020", "<null>", "", "", "0", "0", "", "<null>", "<null>"}));
  EXPECT_EQ(one("select STREET_KOD from PATIENT where POLICY_NUM = '3'"), "501");
  EXPECT_EQ(row(std::string(cols) + "'4'"),
            (std::vector<std::string>{"123-456-789-01", C("Мужской"), C("Новый ОМС"), "<null>", "99", "<null>", "4",
                                      "03.02.2020", "<null>", C("г. Тамбов, ул. Мира, 12-7"),
                                      C("г. Тамбов, ул. Мира, 12-7"), "12", "7", "2", "680000010000",
                                      "6800000000000001"}));
}

// The texts of a fund file are CP866 unless its header declares CP1251 (language driver
// byte), as the writer of the file says: both give the same names.
TEST_F(FomsTest, TextsFollowTheCodePageTheHeaderDeclares) {
  for (const char* codepage : {"cp866", "cp1251"}) {
    SCOPED_TRACE(codepage);
    Person p;
    p.lastName = "Щербакова-Ёлкина";
    p.middleName = "Юрьевна";
    p.npolicy = std::string("P-") + codepage;
    p.npname = "г. Тамбов, ул. Южная";
    dbftest::WriteDbf(file("PRIK.DBF"), kFundFields, {p.record()}, {}, codepage);
    ui.taskMessages.clear();
    ASSERT_TRUE(dm.RefreshFromFOMS(file("PRIK.DBF"), true));
    EXPECT_EQ(row("select LAST_NAME, MIDDLE_NAME, FULL_ADDRESS from PATIENT where POLICY_NUM = 'P-" +
                  std::string(codepage) + "'"),
              (std::vector<std::string>{C("Щербакова-Ёлкина"), C("Юрьевна"), C("г. Тамбов, ул. Южная")}));
  }
}

// A damaged file is refused before the first record: the messages and the box name the
// file and both counts; no patient is changed or added and the date is not stamped.
TEST_F(FomsTest, ADamagedFileChangesNoPatient) {
  seed(100, "Иванов", "Иван", "Иванович", "17.05.1980", "OLD", "1");  // replaced by a sound file
  std::vector<Person> people(4);
  for (int i = 1; i < 4; ++i) people[i].npolicy = "N" + std::to_string(i);
  for (int i = 1; i < 4; ++i) people[i].lastName = "Новый" + std::to_string(i);
  const std::string before = one("select POLICY_NUM || '/' || VPOLICY || '/' || ENP from PATIENT where IDP = 100");
  for (dbftest::Damage d : dbftest::Damages()) {
    SCOPED_TRACE(static_cast<int>(d));
    std::vector<Record> records;
    for (const Person& p : people) records.push_back(p.record());
    dbftest::WriteDbf(file("PRIK.DBF"), kFundFields, records);
    dbftest::DamageDbf(file("PRIK.DBF"), d);
    ui.taskMessages.clear();
    ui.messageBoxes.clear();
    EXPECT_FALSE(dm.RefreshFromFOMS(file("PRIK.DBF"), true));
    const std::string line = dbftest::DamagedLine(file("PRIK.DBF"), d, 4);
    EXPECT_EQ(ui.taskMessages, std::vector<std::string>{line});
    ASSERT_EQ(ui.messageBoxes.size(), 1u);
    EXPECT_EQ(ui.messageBoxes[0].text, line.substr(std::string("EDamagedTable: ").size()));
    EXPECT_EQ(count("PATIENT"), 1);
    EXPECT_EQ(one("select POLICY_NUM || '/' || VPOLICY || '/' || ENP from PATIENT where IDP = 100"), before);
    EXPECT_EQ(one("select LAST_UPDATE_DATE from SYSTEM_OPTIONS"), "<null>");
  }
  // The same file undamaged replaces one patient and adds three.
  ui.taskMessages.clear();
  EXPECT_TRUE(run(people));
  EXPECT_EQ(ui.taskMessages, PopulationProtocol(0, 1, 3));
  EXPECT_EQ(count("PATIENT"), 4);
}

TEST_F(FomsTest, ADatabaseErrorOnRecordFiveShowsTheRecordAndKeepsTheEarlierOnes) {
  std::vector<Person> people(6);
  for (int i = 0; i < 6; ++i) {
    people[i].npolicy = "P" + std::to_string(i + 1);
    people[i].lastName = "Фамилия" + std::to_string(i + 1);
  }
  people[4].lastName = std::string(45, 'Z');  // longer than LAST_NAME: fails at execute
  people[4].firstName = "Пятый";
  people[4].middleName = "Записевич";
  EXPECT_FALSE(run(people));
  ASSERT_EQ(ui.messageBoxes.size(), 1u);
  EXPECT_EQ(ui.messageBoxes[0].text, "5 " + std::string(45, 'Z') + " " + C("Пятый") + " " + C("Записевич"));
  EXPECT_EQ(ui.messageBoxes[0].caption, C("Сообщение"));
  // The walk stopped at record 5: no counters, no closing lines, no stamp; PRIKEND ran.
  // The messages keep the reason.
  ASSERT_EQ(ui.taskMessages.size(), 3u);
  EXPECT_EQ(std::vector<std::string>(ui.taskMessages.begin(), ui.taskMessages.begin() + 2),
            (std::vector<std::string>{C("АКТУАЛИЗАЦИЯ ПРИКРЕПЛЕННОГО НАСЕЛЕНИЯ"), " "}));
  EXPECT_EQ(ui.taskMessages[2].rfind("EFbError: ", 0), 0u) << ui.taskMessages[2];
  EXPECT_NE(ui.taskMessages[2].find("string right truncation"), std::string::npos) << ui.taskMessages[2];
  EXPECT_EQ(ui.taskMessages[2].find_first_of("\r\n"), std::string::npos) << ui.taskMessages[2];
  EXPECT_EQ(ui.steps, 4);
  EXPECT_EQ(column("select POLICY_NUM from PATIENT order by IDP"),
            (std::vector<std::string>{"P1", "P2", "P3", "P4"}));
  EXPECT_EQ(one("select LAST_UPDATE_DATE from SYSTEM_OPTIONS"), "<null>");
  EXPECT_EQ(prikend(), std::vector<std::string>{"61"});
  EXPECT_FALSE(dm.IBTran.active());
  EXPECT_FALSE(dm.IBTran2.active());
  EXPECT_FALSE(dm.hdsDBF.Active());
}

TEST_F(FomsTest, EveryRecordSeesTheRecordsBeforeIt) {
  // A person listed twice is inserted once; a policy replaced by one record is gone for
  // the next one (no lock conflict with the replacement).
  seed(100, "Сидорова", "Анна", "Ивановна", "03.04.1985", "OLD", "1");
  Person twice;
  twice.npolicy = "T";
  Person moved;
  moved.lastName = "Сидорова";
  moved.firstName = "Анна";
  moved.middleName = "Ивановна";
  moved.birthday = "1985-04-03";
  moved.npolicy = "NEW";
  Person oldPolicy;  // another person with the replaced policy
  oldPolicy.lastName = "Новиков";
  oldPolicy.spolicy = "OLD";
  oldPolicy.npolicy = "1";
  ASSERT_TRUE(run({twice, twice, moved, oldPolicy}));
  EXPECT_TRUE(ui.messageBoxes.empty());
  EXPECT_EQ(ui.taskMessages, PopulationProtocol(1, 1, 2));
  EXPECT_EQ(count("PATIENT"), 3);
  EXPECT_EQ(one("select POLICY_NUM from PATIENT where IDP = 100"), "NEW");
  EXPECT_EQ(one("select LAST_NAME from PATIENT where POLICY_SERIA = 'OLD'"), C("Новиков"));
}

TEST_F(FomsTest, WithoutOwnHospitalPrikendRunsWithZero) {
  exec("delete from OUR_HOSPITALS");
  EXPECT_TRUE(run({Person()}));
  EXPECT_EQ(prikend(), std::vector<std::string>{"0"});
}

TEST_F(FomsTest, AMissingFileFailsAndPrikendStillRuns) {
  EXPECT_FALSE(dm.RefreshFromFOMS(file("NONE.DBF"), false));
  ASSERT_EQ(ui.messageBoxes.size(), 1u);
  EXPECT_EQ(ui.messageBoxes[0].text, "0   ");
  ASSERT_EQ(ui.taskMessages.size(), 1u);
  EXPECT_NE(ui.taskMessages[0].find("NONE.DBF"), std::string::npos) << ui.taskMessages[0];
  EXPECT_EQ(prikend(), std::vector<std::string>{"61"});
  EXPECT_EQ(one("select LAST_UPDATE_DATE from SYSTEM_OPTIONS"), "<null>");
}

TEST_F(FomsTest, AFailingOwnHospitalQueryReachesTheCallerAfterPrikend) {
  exec("drop table OUR_HOSPITALS");
  EXPECT_THROW(run({Person()}), std::exception);
  EXPECT_EQ(prikend(), std::vector<std::string>{"0"});
  EXPECT_EQ(count("PATIENT"), 0);
}

}  // namespace

namespace {

TEST_F(FomsTest, AFileInAFolderWithACyrillicNameIsRead) {
  // The shell hands over CP1251 paths; the file system holds UTF-8 names.
  const std::string folderUtf8 = tdb.dir() + "Фонд ОМС/";
  std::filesystem::create_directory(folderUtf8);
  dbftest::WriteDbf(folderUtf8 + "PRIK.DBF", kFundFields, {Person().record()});
  EXPECT_TRUE(dm.RefreshFromFOMS(C(folderUtf8 + "PRIK.DBF"), false));
  EXPECT_TRUE(ui.messageBoxes.empty());
  EXPECT_EQ(count("PATIENT"), 1);
}

}  // namespace

namespace {

TEST_F(FomsTest, AFailedRecordDoesNotUndoWorkLeftPendingBeforeTheTask) {
  fbdb::Query pending(dm.IBTran2);
  pending.setSql("insert into NPUNKT (KOD, NAME) values (5, 'pending')");
  pending.execSQL();
  ASSERT_TRUE(dm.IBTran2.active());
  Person bad;
  bad.lastName = std::string(45, 'Z');
  EXPECT_FALSE(run({bad}));
  EXPECT_EQ(one("select NAME from NPUNKT where KOD = 5"), "pending");
  EXPECT_EQ(count("PATIENT"), 0);
}

}  // namespace

namespace {

TEST_F(FomsTest, AFailedDateStampShowsTheBoxButGivesTrue) {
  exec("drop table SYSTEM_OPTIONS");
  Person p;
  p.lastName = "Последний";
  EXPECT_TRUE(run({p}));
  ASSERT_EQ(ui.messageBoxes.size(), 1u);
  EXPECT_NE(ui.messageBoxes[0].text.find(C("Последний Иван Иванович")), std::string::npos) << ui.messageBoxes[0].text;
  ASSERT_FALSE(ui.taskMessages.empty());
  EXPECT_NE(ui.taskMessages.back().find("SYSTEM_OPTIONS"), std::string::npos) << ui.taskMessages.back();
  ui.taskMessages.pop_back();
  EXPECT_EQ(ui.taskMessages, PopulationProtocol(0, 0, 1));
  EXPECT_EQ(prikend(), std::vector<std::string>{"61"});
}

}  // namespace

namespace {

// The native connection lost after the second record: the third fails when its
// transaction starts, and the box still names its person; the messages give the reason.
TEST_F(FomsTest, ARecordFailingAtItsTransactionStartNamesItsPerson) {
  std::vector<Person> people(3);
  for (int i = 0; i < 3; ++i) {
    people[i].npolicy = "P" + std::to_string(i + 1);
    people[i].lastName = "Фамилия" + std::to_string(i + 1);
  }
  people[2].lastName = "Третий";
  people[2].firstName = "Пётр";
  people[2].middleName = "Петрович";
  ui.onProcessMessages = [this](testsupport::FakeTaskUi& u) {
    if (u.steps == 2) dm.IBDB.disconnect();
  };
  EXPECT_FALSE(run(people));
  ASSERT_EQ(ui.messageBoxes.size(), 1u);
  EXPECT_EQ(ui.messageBoxes[0].text, "3 " + C("Третий Пётр Петрович"));
  ASSERT_EQ(ui.taskMessages.size(), 3u);
  EXPECT_EQ(ui.taskMessages[2], "EDatabaseError: Database is not connected");
  EXPECT_EQ(column("select POLICY_NUM from PATIENT order by IDP"), (std::vector<std::string>{"P1", "P2"}));
  EXPECT_EQ(prikend(), std::vector<std::string>{"61"});
}

// A file without one of the fields the task reads: the box names the person, the
// messages name the field.
TEST_F(FomsTest, AFileLackingAFieldNamesTheField) {
  std::string fields = kFundFields;
  const std::string enp = " ENP C(16);";
  const size_t at = fields.find(enp);
  ASSERT_NE(at, std::string::npos);
  fields.erase(at, enp.size());
  Person p;
  p.lastName = "Безномерный";
  Record r = p.record();
  r.erase(r.begin() + 12);  // ENP
  dbftest::WriteDbf(file("PRIK.DBF"), fields, {r});
  EXPECT_FALSE(dm.RefreshFromFOMS(file("PRIK.DBF"), true));
  ASSERT_EQ(ui.messageBoxes.size(), 1u);
  EXPECT_EQ(ui.messageBoxes[0].text, "1 " + C("Безномерный Иван Иванович"));
  ASSERT_EQ(ui.taskMessages.size(), 3u);
  EXPECT_EQ(ui.taskMessages[2], "EDatabaseError: Field 'ENP' not found");
  EXPECT_EQ(count("PATIENT"), 0);
}

}  // namespace

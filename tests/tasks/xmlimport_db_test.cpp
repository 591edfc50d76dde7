// The XML register import end to end, against a fresh embedded clinic database.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "db/fbdb.h"
#include "platform/codepage.h"
#include "platform/dates.h"
#include "platform/strutil.h"
#include "support/TestDatabase.h"
#include "tasks/XmlDom.h"
#include "tasks/XmlImport.h"
#include "xmlimport_fixture.h"

namespace {

using platform::Utf8ToCp1251;
using tasks::XmlImportResult;
using xmltest::FakeXmlUi;
using xmltest::XmlCase;
using xmltest::XmlRegister;

const char* kNull = "<null>";

// The data module's part that the import uses, on a test database.
class XmlImportDbTest : public ::testing::Test {
protected:
  explicit XmlImportDbTest(std::string_view schema = fbdb::ClinicSchemaScript()) : tdb(schema) {}
  testsupport::TestDatabase tdb;
  fbdb::Attachment IBDB;
  fbdb::Transaction IBTran{IBDB};
  fbdb::Transaction IBTran2{IBDB};
  fbdb::SqlConnection SQLConnection;
  fbdb::Query Qry1{IBTran}, Qry2{IBTran}, Qryw{IBTran}, Qry3{IBTran};
  fbdb::Query QryApp{IBTran2}, QryUpd{IBTran2}, QryDis{IBTran2};
  fbdb::StoredProc spGenIDP{IBTran};
  fbdb::StoredProc spIDVisit{SQLConnection};
  fbdb::StoredProc spIDDiseases{SQLConnection};
  tasks::XmlImportDb db{IBDB, IBTran, IBTran2, Qry1, Qry2, Qryw, Qry3, QryApp, QryUpd, QryDis,
                        spGenIDP, spIDVisit, spIDDiseases};
  tasks::XmlImportOptions options;
  FakeXmlUi ui;

  void SetUp() override {
    tdb.connect(IBDB);
    tdb.fillParams(SQLConnection.Params);
    SQLConnection.open();
    spGenIDP.setStoredProcName("PATIENT_GEN_ID");
    spIDVisit.setStoredProcName("VISIT_GEN_ID");
    spIDDiseases.setStoredProcName("DISEASES_GEN_ID");
    options.today = platform::EncodeDate(2026, 12, 10);
    // Doctors: code 101 of speciality 76 and code 102 of speciality 27.
    tdb.exec("insert into DOCTORS (ID, KOD, KOD_PROFESSION) values (7, 101, '76')");
    tdb.exec("insert into DOCTORS (ID, KOD, KOD_PROFESSION) values (8, 102, '27')");
  }

  void TearDown() override {
    SQLConnection.close();
    IBDB.disconnect();
  }

  XmlImportResult runFile(const std::string& file, int runFromScheduler = 0) {
    return tasks::importXmlRegister(file, runFromScheduler, ui, db, options);
  }
  XmlImportResult run(const XmlRegister& reg, bool cp1251 = false, int runFromScheduler = 0) {
    const std::string file =
        xmltest::writeTempFile("register.xml", cp1251 ? reg.toCp1251Xml() : reg.toUtf8Xml());
    return runFile(file, runFromScheduler);
  }

  // The columns of the first row of a select, read on an attachment of its own (so only
  // committed work shows); NULL as "<null>".
  std::vector<std::string> row(const std::string& sql) {
    fbdb::Attachment a;
    tdb.connect(a);
    fbdb::Transaction t(a);
    fbdb::Query q(t);
    q.setSql(sql);
    q.open();
    std::vector<std::string> r;
    if (!q.eof())
      for (size_t i = 0; i < q.fieldCount(); ++i) r.push_back(q.field(i).isNull() ? kNull : q.field(i).asString());
    q.close();
    t.commit();
    a.disconnect();
    return r;
  }
  // The first column of every row.
  std::vector<std::string> column(const std::string& sql) {
    fbdb::Attachment a;
    tdb.connect(a);
    fbdb::Transaction t(a);
    fbdb::Query q(t);
    q.setSql(sql);
    std::vector<std::string> r;
    for (q.open(); !q.eof(); q.next()) r.push_back(q.field(0).isNull() ? kNull : q.field(0).asString());
    q.close();
    t.commit();
    a.disconnect();
    return r;
  }
  int64_t count(const std::string& table) { return tdb.count(table); }
  std::string one(const std::string& sql) {
    std::vector<std::string> r = row(sql);
    return r.empty() ? std::string("<no row>") : r[0];
  }
  static std::string cp(const char* utf8) { return Utf8ToCp1251(utf8); }
  std::vector<std::string> summary(int records, int patients, int visits, int diagnoses) {
    return {cp("Загрузка реестра XML"),
            " ",
            cp("Обработано записей  - ") + std::to_string(records),
            cp("Добавлено пациентов - ") + std::to_string(patients),
            cp("Добавлено посещений - ") + std::to_string(visits),
            cp("Добавлено заболеваний - ") + std::to_string(diagnoses),
            cp("Загрузка реестра XML завершена")};
  }
};

// The message of the exception `f` raises as type E ("" when it raises nothing).
template <class E, class F>
std::string messageOf(F f) {
  try {
    f();
  } catch (const E& e) {
    return e.what();
  }
  return {};
}

TEST_F(XmlImportDbTest, Utf8RegisterStoresPatientsVisitsAndDiagnoses) {
  XmlRegister reg;
  ASSERT_EQ(reg.fileName, xmltest::registerFileName("A061", "0689", "10", "11"));
  XmlCase a;  // new patient, found by nothing, with SNILS
  a.snils = "12345678901";
  a.doctype = "14";
  a.docser = "68 01";
  a.docnum = "123456";
  a.sprSoc = "5";
  a.sprLgt = "81";
  a.sprInvld = "2";
  a.diagnoses = {{"J06.9", "1"}, {"I10", "0"}};
  XmlCase b = a;  // the same person again (found by SNILS), another day and doctor
  b.date1 = "2026-11-06";
  b.kodvr = "102";
  b.spec = "27";
  b.rslt = "313";
  b.posScel = "16";
  b.posMest = "3";
  b.diagnoses = {{"K29.7", "1"}};
  XmlCase c;  // another person, no SNILS, 8-character policy with a series
  c.npolis = "12345678";
  c.spolis = "AB";
  c.fam = "Петрова";
  c.im = "Анна";
  c.ot = "Сергеевна";
  c.w = "2";
  c.vpolis = "1";
  c.okatog = "68000502000";
  c.diagnoses = {};
  reg.cases = {a, b, c};

  XmlImportResult r = run(reg);
  EXPECT_TRUE(r.started);
  EXPECT_EQ(r.records, 3);
  EXPECT_EQ(r.patients, 2);
  EXPECT_EQ(r.visits, 3);
  EXPECT_EQ(r.diagnoses, 3);
  EXPECT_EQ(r.reconnects, 0);
  EXPECT_EQ(ui.messages, summary(3, 2, 3, 3));
  EXPECT_EQ(ui.protocol, ui.messages);
  EXPECT_EQ(ui.progressMax, std::vector<int>{3});
  EXPECT_EQ(ui.progressPosition, (std::vector<int>{0, 0}));
  EXPECT_EQ(ui.steps, 3);
  EXPECT_GE(ui.events, 3);
  EXPECT_EQ(ui.refreshLabel, cp("Актуализация БД выполнена!"));
  EXPECT_EQ(ui.statusItem, 9);
  EXPECT_EQ(ui.status, cp("Выполнение завершено"));
  EXPECT_EQ(ui.xmlLabel, cp("Загрузка реестра XML выполнена!"));
  EXPECT_TRUE(ui.boxes.empty());

  ASSERT_EQ(count("PATIENT"), 2);
  EXPECT_EQ(row("select IDP, KOD_PATIENT, SNILS_KOD, LAST_NAME, FIRST_NAME, MIDDLE_NAME, BIRTHDAY, GENDER, "
                "REGION_KOD, LOCALITY_NAME, POLICY_SERIA, POLICY_NUM, VPOLICY, COMPANY_KOD, POLICE_DATE_BEGIN, "
                "POLICE_DATE_END, DATEPRIK, ENP, MY_HOSPITAL_KOD, STOM_HOSP_KOD, GIN_HOSP_KOD, DISTRICT_KOD, "
                "NAS_PUNKT_KOD, STREET_KOD, HOUSE_NUMBER, FLAT_NUMBER, KORPUS_NAME, FULL_ADDRESS, KLADR, MR, "
                "DOCUMENT_NAME, DOCUMENT_SERIA_NAME, DOCUMENT_NUMBER, SOCIAL_STATUS_KOD, IDPF, INVALID_KOD, "
                "UPDATE_DATE, IS_AG, IS_DEAD, IS_UPDATE from PATIENT where LAST_NAME = '" + cp("Иванов") + "'"),
            (std::vector<std::string>{"1", "1", "123-456-789-01", cp("Иванов"), cp("Иван"), cp("Иванович"),
                                      "17.05.1980", cp("Мужской"), "68", cp("Городская"), "000000",
                                      "6800000000000001", cp("Новый ОМС"), "68001", "15.01.2020", kNull, kNull,
                                      "6800000000000001", "689", "0", "0", kNull, kNull, "0", "0", "0", "", "", "",
                                      cp("г. Тамбов"), cp("паспорт РФ"), "68 01", "123456", "5", "81", "2",
                                      "10.12.2026", "0", "0", "1"}));
  EXPECT_EQ(row("select SNILS_KOD, GENDER, LOCALITY_NAME, POLICY_SERIA, POLICY_NUM, VPOLICY, DOCUMENT_NAME, "
                "DOCUMENT_SERIA_NAME, DOCUMENT_NUMBER from PATIENT where IDP = 2"),
            (std::vector<std::string>{"", cp("Женский"), cp("Сельская"), "AB", "345678", cp("Старый"), kNull, kNull,
                                      kNull}));

  ASSERT_EQ(count("VISITS"), 3);
  EXPECT_EQ(row("select PATIENT_ID, DATE_VISIT, DOCTOR, POLNUM, POLSERIA, COMP, CARE_GENDER, DATE_POL, RESULT, "
                "PURPOSE, WHERE_SERV_KOD, PAYMENT, LISTVN, DATE_INPUT, DATE_CHANGE, EXTR_HELP from VISITS "
                "where DATE_VISIT = '05.11.2026'"),
            (std::vector<std::string>{"1", "05.11.2026", "7", "6800000000000001", "000000", "68001", cp("Новый ОМС"),
                                      "15.01.2020", "1", "1", "1", "1", "0", "25.11.2026", "10.12.2026 00:00:00",
                                      "0"}));
  EXPECT_EQ(row("select PATIENT_ID, DOCTOR, RESULT, PURPOSE, WHERE_SERV_KOD from VISITS where DATE_VISIT = "
                "'06.11.2026'"),
            (std::vector<std::string>{"1", "8", "5", "2", "3"}));
  EXPECT_EQ(one("select count(distinct HANDLE_ID) from VISITS"), "3");

  ASSERT_EQ(count("DISEASES"), 3);
  EXPECT_EQ(one("select count(*) from DISEASES D join VISITS V on V.IDV = D.VISIT_ID and V.PATIENT_ID = "
                "D.PATIENT_ID"),
            "3");
  EXPECT_EQ(row("select MKB_KOD, CASE_KOD, IS_MAIN_IN_VISIT, DISP_TYPE, DISP_END_REASON, DATE_INPUT from DISEASES "
                "where MKB_KOD = 'I10'"),
            (std::vector<std::string>{"I10", "2", "0", "3", "4", "25.11.2026 00:00:00"}));
  EXPECT_EQ(one("select IS_MAIN_IN_VISIT from DISEASES where MKB_KOD = 'J06.9'"), "1");
  EXPECT_FALSE(IBTran.active());
  EXPECT_FALSE(IBTran2.active());
}

TEST_F(XmlImportDbTest, Windows1251RegisterWithCharacterReference) {
  XmlRegister reg;
  XmlCase a;
  a.fam = "Йодкин";
  a.im = "Ёж";
  reg.cases = {a};
  // The builder escapes '&'; put the reference into the CP1251 bytes by hand.
  std::string bytes = reg.toCp1251Xml();
  const std::string name = cp("Йодкин");
  bytes.replace(bytes.find(name), 1, "&#1049;");
  ASSERT_NE(bytes.find("&#1049;"), std::string::npos);
  ASSERT_NE(bytes.find("encoding=\"windows-1251\""), std::string::npos);
  XmlImportResult r = runFile(xmltest::writeTempFile("w1251.xml", bytes));
  EXPECT_EQ(r.patients, 1);
  EXPECT_EQ(one("select LAST_NAME from PATIENT"), "\xC9\xEE\xE4\xEA\xE8\xED");
  EXPECT_EQ(one("select FIRST_NAME from PATIENT"), "\xA8\xE6");
  EXPECT_EQ(one("select MR from PATIENT"), cp("г. Тамбов"));
}

TEST_F(XmlImportDbTest, ExistingVisitOfAFoundPatientIsNotWrittenTwice) {
  XmlRegister reg;
  XmlCase a;
  a.snils = "11122233344";
  reg.cases = {a};
  XmlImportResult first = run(reg);
  EXPECT_EQ(first.visits, 1);
  ui = FakeXmlUi();
  XmlImportResult second = run(reg);
  EXPECT_EQ(second.patients, 0);
  EXPECT_EQ(second.visits, 0);
  EXPECT_EQ(second.diagnoses, 0);
  EXPECT_EQ(ui.messages, summary(1, 0, 0, 0));
  EXPECT_EQ(count("PATIENT"), 1);
  EXPECT_EQ(count("VISITS"), 1);
  EXPECT_EQ(count("DISEASES"), 1);
  // The same case for a patient inserted in the record is not checked: a second person
  // with the same doctor and day gets a visit.
  XmlCase b = a;
  b.snils = "99988877766";
  b.npolis = "6800000000000002";
  reg.cases = {b};
  EXPECT_EQ(run(reg).visits, 1);
}

TEST_F(XmlImportDbTest, UnknownDoctorWritesNoVisitButDrawsItsId) {
  XmlRegister reg;
  XmlCase a;
  a.kodvr = "555";
  a.diagnoses = {{"J06.9", "1"}, {"I10", "0"}};
  reg.cases = {a};
  XmlImportResult r = run(reg);
  EXPECT_EQ(r.patients, 1);
  EXPECT_EQ(r.visits, 0);
  EXPECT_EQ(r.diagnoses, 0);
  EXPECT_EQ(count("PATIENT"), 1);
  EXPECT_EQ(count("VISITS"), 0);
  EXPECT_EQ(count("DISEASES"), 0);
  EXPECT_EQ(one("select gen_id(GEN_VISIT_ID, 0) from RDB$DATABASE"), "1");
  EXPECT_EQ(one("select gen_id(GEN_DIS_ID, 0) from RDB$DATABASE"), "0");
  // The doctor's speciality is part of the key.
  a.kodvr = "101";
  a.spec = "27";
  a.npolis = "6800000000000009";
  reg.cases = {a};
  EXPECT_EQ(run(reg).visits, 0);
}

TEST_F(XmlImportDbTest, DiagnosesOfACase) {
  XmlRegister reg;
  XmlCase a;
  a.diagnoses = {{"A01", "0"}, {"B02", "1"}, {"C03", "2"}};
  a.slComExtra = "          <OTHER><MKB>Z99</MKB><MKB_TYPE>1</MKB_TYPE></OTHER>\n          <MKB>Z98</MKB>\n";
  reg.cases = {a};
  XmlImportResult r = run(reg);
  EXPECT_EQ(r.diagnoses, 3);
  EXPECT_EQ(count("DISEASES"), 3);
  EXPECT_EQ(one("select count(*) from DISEASES where CASE_KOD = 2 and DISP_TYPE = 3 and DISP_END_REASON = 4"), "3");
  EXPECT_EQ(one("select MKB_KOD from DISEASES where IS_MAIN_IN_VISIT = 1"), "B02");
  EXPECT_EQ(one("select count(*) from DISEASES where IS_MAIN_IN_VISIT = 0"), "2");
  EXPECT_EQ(column("select MKB_KOD from DISEASES order by IDD"), (std::vector<std::string>{"A01", "B02", "C03"}));
}

TEST_F(XmlImportDbTest, NoParameterValueCarriesOverToTheNextRecord) {
  XmlRegister reg;
  XmlCase a;
  a.doctype = "14";
  a.docser = "6801";
  a.docnum = "123456";
  a.sprSoc = "5";
  a.sprLgt = "81";
  a.sprInvld = "2";
  a.dr = "1980-05-17";
  a.dateN = "2020-01-15";
  XmlCase b;  // a conversion error in the document group and no classifiers at all
  b.npolis = "6800000000000002";
  b.fam = "Сидоров";
  b.doctype = "x";
  b.docser = "9999";
  b.docnum = "999999";
  b.withClsPac = false;
  b.dr = std::nullopt;     // missing date: NULL
  b.dateN = std::nullopt;
  b.enp = std::nullopt;
  XmlCase c;  // non-integer codes and an odd document
  c.npolis = "6800000000000003";
  c.fam = "Кузнецов";
  c.doctype = "2";
  c.docser = "1234567890";  // as long as the column: stored whole
  c.docnum = "12A";
  c.sprSoc = "x";
  c.sprLgt = "";
  c.sprInvld = "3";
  XmlCase d;  // an empty DOCTYPE skips the document group
  d.npolis = "6800000000000004";
  d.fam = "Орлов";
  d.doctype = "";
  d.docser = "1111";
  d.docnum = "2222";
  d.withMtr = false;
  reg.cases = {a, b, c, d};
  XmlImportResult r = run(reg);
  EXPECT_EQ(r.patients, 4);
  const std::string cols = "select DOCUMENT_NAME, DOCUMENT_SERIA_NAME, DOCUMENT_NUMBER, SOCIAL_STATUS_KOD, IDPF, "
                           "INVALID_KOD, BIRTHDAY, POLICE_DATE_BEGIN, ENP, VPOLICY from PATIENT where IDP = ";
  EXPECT_EQ(row(cols + "1"), (std::vector<std::string>{cp("паспорт РФ"), "6801", "123456", "5", "81", "2", "17.05.1980",
                                                       "15.01.2020", "6800000000000001", cp("Новый ОМС")}));
  EXPECT_EQ(row(cols + "2"), (std::vector<std::string>{kNull, kNull, kNull, kNull, kNull, kNull, kNull, kNull, kNull,
                                                       cp("Новый ОМС")}));
  EXPECT_EQ(row(cols + "3"), (std::vector<std::string>{cp("другой"), "1234567890", kNull, kNull, kNull, "3",
                                                       "17.05.1980", "15.01.2020", "6800000000000001",
                                                       cp("Новый ОМС")}));
  EXPECT_EQ(row(cols + "4"), (std::vector<std::string>{kNull, kNull, kNull, "1", "0", "0", "17.05.1980", kNull,
                                                       "6800000000000001", ""}));
  EXPECT_EQ(row("select DATE_POL, CARE_GENDER from VISITS where PATIENT_ID = 2"),
            (std::vector<std::string>{kNull, cp("Новый ОМС")}));
  EXPECT_EQ(row("select DATE_POL, CARE_GENDER from VISITS where PATIENT_ID = 4"), (std::vector<std::string>{kNull, ""}));
}

TEST_F(XmlImportDbTest, FailingRecordLeavesNothingBehind) {
  // Record 1 stores a patient with SNILS; record 2 is the same person, whose visit insert
  // fails (policy number too long for VISITS.POLNUM) after its diagnoses were inserted.
  XmlRegister reg;
  XmlCase a;
  a.snils = "12345678901";
  XmlCase b = a;
  b.date1 = "2026-11-20";
  b.npolis = std::string(31, '7');
  b.diagnoses = {{"X01", "1"}, {"X02", "0"}};
  XmlCase c;  // never reached
  c.npolis = "6800000000000003";
  reg.cases = {a, b, c};
  const std::string msg = messageOf<tasks::EXmlImportError>([&] { run(reg); });
  EXPECT_NE(msg.find("record 2 of 3"), std::string::npos) << msg;
  EXPECT_NE(msg.find("register.xml"), std::string::npos) << msg;
  EXPECT_NE(msg.find("EFbError"), std::string::npos) << msg;
  EXPECT_EQ(count("PATIENT"), 1);
  EXPECT_EQ(count("VISITS"), 1);
  EXPECT_EQ(count("DISEASES"), 1);
  EXPECT_EQ(one("select count(*) from DISEASES where MKB_KOD starting with 'X'"), "0");
  EXPECT_FALSE(IBTran.active());
  EXPECT_FALSE(IBTran2.active());
  // The import stopped: no summary lines, no window bookkeeping.
  EXPECT_EQ(ui.messages.size(), 2u);
  EXPECT_TRUE(ui.protocol.empty());
  EXPECT_TRUE(ui.xmlLabel.empty());
  // The pending work of the failed record is not committed by a later disconnect either.
  IBDB.disconnect();
  EXPECT_EQ(count("DISEASES"), 1);
}

TEST_F(XmlImportDbTest, FailingRecordOfANewPatientLeavesNoPatient) {
  struct Bad {
    const char* what;
    void (*spoil)(XmlCase&);
    const char* part;
  };
  const Bad cases[] = {
      {"non-numeric RSLT", [](XmlCase& c) { c.rslt = "3o1"; }, "'3o1' is not a valid integer value (RSLT)"},
      {"non-numeric POS_MEST", [](XmlCase& c) { c.posMest = ""; }, "(POS_MEST)"},
      {"diagnosis without MKB_TYPE", [](XmlCase& c) { c.diagnoses = {{"A01", "1"}, {"A02", std::nullopt}}; },
       "Node \"MKB_TYPE\" not found"},
      {"MKB too long", [](XmlCase& c) { c.diagnoses = {{"A01", "1"}, {"A0123456789", "0"}}; }, "EFbError"},
      {"no SLUCH", [](XmlCase& c) { c.withSluch = false; }, "Node \"SLUCH\" not found"},
      {"no PACIENT", [](XmlCase& c) { c.withPacient = false; }, "Node \"PACIENT\" not found"},
      {"bad birthday", [](XmlCase& c) { c.dr = "1980-13-45"; }, "'1980-13-45' is not a valid date (DR)"},
      {"bad policy date", [](XmlCase& c) { c.dateN = "2020-02-30"; }, "'2020-02-30' is not a valid date (DATE_N)"},
      {"bad visit date", [](XmlCase& c) { c.date1 = "05.11.2026"; }, "is not a valid date (DATE_1)"},
      {"no surname", [](XmlCase& c) { c.fam = std::nullopt; }, "Node \"FAM\" not found"},
      {"no NPOLIS", [](XmlCase& c) { c.npolis = std::nullopt; }, "Node \"NPOLIS\" not found"},
      {"non-numeric KODVR", [](XmlCase& c) { c.kodvr = "A1"; }, "(KODVR)"},
  };
  int run_ = 0;
  for (const Bad& bad : cases) {
    SCOPED_TRACE(bad.what);
    const int64_t patients = count("PATIENT"), visits = count("VISITS"), diseases = count("DISEASES");
    XmlRegister reg;
    XmlCase good;
    good.npolis = "68000000000010" + std::to_string(10 + run_);
    XmlCase b;
    b.npolis = "68000000000020" + std::to_string(10 + run_);
    bad.spoil(b);
    ++run_;
    reg.cases = {good, b};
    ui = FakeXmlUi();
    const std::string msg = messageOf<tasks::EXmlImportError>([&] { run(reg); });
    EXPECT_NE(msg.find("record 2 of 2"), std::string::npos) << msg;
    EXPECT_NE(msg.find(bad.part), std::string::npos) << msg;
    EXPECT_EQ(count("PATIENT"), patients + 1);
    EXPECT_EQ(count("VISITS"), visits + 1);
    EXPECT_EQ(count("DISEASES"), diseases + 1);
    EXPECT_FALSE(IBTran.active());
    EXPECT_FALSE(IBTran2.active());
  }
}

// DOCSER goes to DOCUMENT_SERIA_NAME whole: a series longer than the column fails its
// record, naming the series and its own length, instead of being cut.
TEST_F(XmlImportDbTest, ADocumentSeriesTooLongForItsColumnFailsTheRecord) {
  XmlRegister reg;
  XmlCase a;
  a.doctype = "14";
  a.docser = "12 34 5678";  // 10 characters, the column's length
  XmlCase b;
  b.npolis = "6800000000000002";
  b.doctype = "14";
  b.docser = "12 34 567890";
  XmlCase c;  // never reached
  c.npolis = "6800000000000003";
  reg.cases = {a, b, c};
  const std::string msg = messageOf<tasks::EXmlImportError>([&] { run(reg); });
  EXPECT_NE(msg.find("record 2 of 3"), std::string::npos) << msg;
  EXPECT_NE(msg.find("DOCSER \"12 34 567890\" has 12 characters; DOCUMENT_SERIA_NAME holds 10"), std::string::npos)
      << msg;
  EXPECT_EQ(column("select DOCUMENT_SERIA_NAME from PATIENT"), std::vector<std::string>{"12 34 5678"});
  EXPECT_EQ(count("PATIENT"), 1);
  EXPECT_EQ(count("VISITS"), 1);
}

// An import that stops before its first record (here a body with too few elements)
// leaves no snapshot behind: the next import sees the patient and the visit another
// workstation committed in between, and writes neither again.
TEST_F(XmlImportDbTest, AnImportStoppedBeforeItsFirstRecordLeavesNoOldSnapshot) {
  XmlRegister damaged;
  damaged.bodyHeadChildren = 4;
  EXPECT_THROW(run(damaged), tasks::EXmlImportError);
  tdb.exec("insert into PATIENT (IDP, LAST_NAME, POLICY_SERIA, POLICY_NUM) values (40, 'X', '000000', "
           "'6800000000000001')");
  tdb.exec("insert into VISITS (IDV, PATIENT_ID, HANDLE_ID, DATE_VISIT, DOCTOR) values (90, 40, 1, '05.11.2026', 7)");
  XmlRegister reg;
  reg.cases = {XmlCase()};
  ui = FakeXmlUi();
  XmlImportResult r = run(reg);
  EXPECT_EQ(r.patients, 0);
  EXPECT_EQ(r.visits, 0);
  EXPECT_EQ(column("select IDP from PATIENT where POLICY_NUM = '6800000000000001'"), std::vector<std::string>{"40"});
  EXPECT_EQ(count("VISITS"), 1);
  EXPECT_EQ(count("DISEASES"), 0);
}

// The register month is read only for the visit and diagnosis rows: a case written
// nowhere goes by whatever the month says; one that writes its visit stops on it.
TEST_F(XmlImportDbTest, ARegisterMonthIsCheckedOnlyWhereItIsUsed) {
  int n = 0;
  for (const char* month : {"13", "00"}) {
    SCOPED_TRACE(month);
    XmlRegister reg;
    reg.fileName = xmltest::registerFileName("A061", "0689", "10", month);
    XmlCase unknownDoctor;
    unknownDoctor.npolis = "68000000000003" + std::to_string(10 + n++);
    unknownDoctor.kodvr = "555";
    reg.cases = {unknownDoctor};
    ui = FakeXmlUi();
    XmlImportResult r = run(reg);
    EXPECT_EQ(r.patients, 1);
    EXPECT_EQ(r.visits, 0);
    EXPECT_EQ(ui.messages, summary(1, 1, 0, 0));
    XmlCase written;
    written.npolis = "68000000000003" + std::to_string(10 + n++);
    reg.cases = {written};
    ui = FakeXmlUi();
    const std::string msg = messageOf<tasks::EXmlImportError>([&] { run(reg); });
    EXPECT_NE(msg.find("'" + std::string(month) + "' is not a valid register month"), std::string::npos) << msg;
    EXPECT_EQ(count("VISITS"), 0);
    EXPECT_EQ(count("DISEASES"), 0);
  }
  EXPECT_EQ(count("PATIENT"), 2);
}

// DATE_N is read where it is used: a found patient's case whose doctor is unknown is
// skipped even when the policy date is malformed; a case that writes its visit stops on it.
TEST_F(XmlImportDbTest, APolicyDateIsCheckedOnlyWhereItIsUsed) {
  tdb.exec("insert into PATIENT (IDP, LAST_NAME, POLICY_SERIA, POLICY_NUM) values (40, 'X', '000000', "
           "'6800000000000001')");
  XmlRegister reg;
  XmlCase unknownDoctor;
  unknownDoctor.dateN = "2020-02-30";
  unknownDoctor.kodvr = "555";
  XmlCase existingVisit;  // the same patient, a visit stored before: skipped as well
  existingVisit.dateN = "20200115";
  tdb.exec("insert into VISITS (IDV, PATIENT_ID, HANDLE_ID, DATE_VISIT, DOCTOR) values (90, 40, 1, '05.11.2026', 7)");
  reg.cases = {unknownDoctor, existingVisit};
  XmlImportResult r = run(reg);
  EXPECT_EQ(r.records, 2);
  EXPECT_EQ(r.patients, 0);
  EXPECT_EQ(r.visits, 0);
  EXPECT_EQ(ui.messages, summary(2, 0, 0, 0));
  EXPECT_EQ(count("VISITS"), 1);
  // With a known doctor and a new day the visit is written: its policy date must be one.
  XmlCase written = unknownDoctor;
  written.kodvr = "101";
  written.date1 = "2026-11-06";
  reg.cases = {written};
  ui = FakeXmlUi();
  const std::string msg = messageOf<tasks::EXmlImportError>([&] { run(reg); });
  EXPECT_NE(msg.find("'2020-02-30' is not a valid date (DATE_N)"), std::string::npos) << msg;
  EXPECT_EQ(count("VISITS"), 1);
  EXPECT_EQ(count("DISEASES"), 0);
}

TEST_F(XmlImportDbTest, RenewsTheConnectionEvery500Records) {
  XmlRegister reg;
  reg.withComments = false;
  for (int i = 0; i < 1200; ++i) {
    XmlCase c;
    c.npolis = std::to_string(6800000000000000LL + i);
    c.snils = std::to_string(10000000000LL + i);
    c.diagnoses = {};
    reg.cases.push_back(c);
  }
  const uint64_t generation = IBDB.generation();
  XmlImportResult r = run(reg);
  EXPECT_EQ(r.reconnects, 2);
  EXPECT_EQ(IBDB.generation(), generation + 2);
  EXPECT_TRUE(IBDB.connected());
  EXPECT_EQ(r.patients, 1200);
  EXPECT_EQ(r.visits, 1200);
  EXPECT_EQ(ui.steps, 1200);
  EXPECT_EQ(ui.progressMax, std::vector<int>{1200});
  EXPECT_EQ(count("PATIENT"), 1200);
  EXPECT_EQ(count("VISITS"), 1200);
  EXPECT_EQ(one("select count(distinct SNILS_KOD) from PATIENT"), "1200");
  // The statements prepared before the renewal still serve the next import.
  ui = FakeXmlUi();
  reg.cases.resize(3);
  XmlImportResult again = run(reg);
  EXPECT_EQ(again.patients, 0);
  EXPECT_EQ(again.visits, 0);
}

TEST_F(XmlImportDbTest, MalformedDocuments) {
  // Not XML at all.
  EXPECT_THROW(runFile(xmltest::writeTempFile("junk.xml", "MZ this is no register")), tasks::EDOMParseError);
  // A root without a body.
  ui = FakeXmlUi();
  std::string msg = messageOf<tasks::EXmlImportError>(
      [&] { runFile(xmltest::writeTempFile("nobody.xml", "<REGISTER><HEADER/></REGISTER>")); });
  EXPECT_NE(msg.find("has 1 child element(s)"), std::string::npos) << msg;
  EXPECT_EQ(ui.progressMax, std::vector<int>{0});
  // A body with too few children.
  XmlRegister reg;
  reg.bodyHeadChildren = 4;
  ui = FakeXmlUi();
  msg = messageOf<tasks::EXmlImportError>([&] { run(reg); });
  EXPECT_NE(msg.find("the body \"BODY\" has 4 child element(s); at least 6 are needed"), std::string::npos) << msg;
  EXPECT_EQ(ui.progressMax, std::vector<int>{0});
  // CP1251 bytes without a declaration are no valid UTF-8.
  XmlRegister cyrillic;
  cyrillic.cases = {XmlCase()};
  EXPECT_THROW(runFile(xmltest::writeTempFile("raw.xml", Utf8ToCp1251(cyrillic.toUtf8Xml(false)))),
               tasks::EDOMParseError);
  EXPECT_EQ(count("PATIENT"), 0);
  EXPECT_EQ(count("VISITS"), 0);
}

TEST_F(XmlImportDbTest, BodyWithExactlySixChildren) {
  XmlRegister reg;
  XmlImportResult r = run(reg);
  EXPECT_EQ(r.records, 0);
  EXPECT_EQ(ui.messages, summary(0, 0, 0, 0));
  EXPECT_EQ(ui.progressMax, std::vector<int>{0});
  EXPECT_EQ(ui.steps, 0);
}

TEST_F(XmlImportDbTest, NoFileName) {
  XmlImportResult r = runFile("  ");
  EXPECT_FALSE(r.started);
  EXPECT_EQ(ui.boxes, std::vector<std::string>{cp("Не задан файл")});
  EXPECT_EQ(ui.focus, 1);
  EXPECT_TRUE(ui.messages.empty());
  // In the timed run there is no message box: the missing file is an error.
  ui = FakeXmlUi();
  EXPECT_THROW(runFile("", 1), tasks::EDOMParseError);
  EXPECT_TRUE(ui.boxes.empty());
}

TEST_F(XmlImportDbTest, TimedRunLeavesTheBookkeepingToTheShell) {
  XmlRegister reg;
  reg.cases = {XmlCase()};
  // The file name is trimmed before loading.
  const std::string file = xmltest::writeTempFile("timed.xml", reg.toUtf8Xml());
  XmlImportResult r = runFile("  " + file + " ", 1);
  EXPECT_EQ(r.visits, 1);
  EXPECT_EQ(ui.messages, summary(1, 1, 1, 1));
  EXPECT_TRUE(ui.protocol.empty());
  EXPECT_TRUE(ui.refreshLabel.empty());
  EXPECT_TRUE(ui.xmlLabel.empty());
  EXPECT_EQ(ui.statusItem, -1);
}

TEST_F(XmlImportDbTest, HeaderRulesInTheStoredRows) {
  struct Row {
    std::string fileName;
    const char* okatog;
    const char* region;
    const char* locality;
    const char* hospital;
    const char* urgent;
  };
  const Row rows[] = {
      {xmltest::registerFileName("A042", "1234", "12", "11"), "68000501000", "68", "Городская", "0", "1"},
      {xmltest::registerFileName("a042", "1234", "10", "11"), "68000502000", "68", "Сельская", "0", "1"},
      {xmltest::registerFileName("a061", "0123", "11", "11"), "69401000000", "0", "", "123", "0"},
      {xmltest::registerFileName("A121", "0123", "10", "11"), nullptr, "68", "", "0", "1"},
  };
  int n = 0;
  for (const Row& rw : rows) {
    SCOPED_TRACE(rw.fileName);
    XmlRegister reg;
    reg.fileName = rw.fileName;
    XmlCase c;
    c.npolis = "68000000000030" + std::to_string(10 + n);
    c.okatog = rw.okatog ? std::optional<std::string>(rw.okatog) : std::nullopt;
    reg.cases = {c};
    ui = FakeXmlUi();
    run(reg);
    ++n;
    const std::string idp = std::to_string(n);
    EXPECT_EQ(row("select REGION_KOD, LOCALITY_NAME, MY_HOSPITAL_KOD from PATIENT where IDP = " + idp),
              (std::vector<std::string>{rw.region, cp(rw.locality), rw.hospital}));
    EXPECT_EQ(one("select EXTR_HELP from VISITS where PATIENT_ID = " + idp), rw.urgent);
  }
  // A short FILENAME with the clinic sender: the clinic code is no number, the import stops.
  XmlRegister reg;
  reg.fileName = "A061";
  XmlCase c;
  c.npolis = "6800000000009999";
  reg.cases = {c};
  std::string msg = messageOf<tasks::EXmlImportError>([&] { run(reg); });
  EXPECT_NE(msg.find("clinic code"), std::string::npos) << msg;
  // No FILENAME at all.
  reg.fileName = std::nullopt;
  msg = messageOf<tasks::EXmlImportError>([&] { run(reg); });
  EXPECT_NE(msg.find("Node \"FILENAME\" not found"), std::string::npos) << msg;
  EXPECT_EQ(count("PATIENT"), 4);
}

TEST_F(XmlImportDbTest, InputDateOfARegisterOfDecemberImportedInJanuary) {
  XmlRegister reg;
  reg.fileName = xmltest::registerFileName("A061", "0689", "10", "12");
  reg.cases = {XmlCase()};
  options.today = platform::EncodeDate(2027, 1, 12);
  run(reg);
  EXPECT_EQ(row("select DATE_INPUT, DATE_CHANGE from VISITS"),
            (std::vector<std::string>{"25.12.2026", "12.01.2027 00:00:00"}));
  EXPECT_EQ(one("select DATE_INPUT from DISEASES"), "25.12.2026 00:00:00");
  EXPECT_EQ(one("select UPDATE_DATE from PATIENT"), "12.01.2027");
  // A month that is no number stops the import.
  reg.fileName = xmltest::registerFileName("A061", "0689", "10", "1X");
  XmlCase other;
  other.npolis = "6800000000000077";
  reg.cases = {other};
  std::string msg = messageOf<tasks::EXmlImportError>([&] { run(reg); });
  EXPECT_NE(msg.find("EConvertError"), std::string::npos) << msg;
  EXPECT_EQ(count("PATIENT"), 1);
}

// The clinic schema with PATIENT ids held as text, so that a found row can carry an id
// that is no integer.
std::string textIdSchema() {
  std::string s = fbdb::ClinicSchemaScript();
  const std::string from = "IDP                 INTEGER NOT NULL PRIMARY KEY";
  const size_t at = s.find(from);
  if (at == std::string::npos) return "-- the PATIENT key column was not found";
  s.replace(at, from.size(), "IDP VARCHAR(20) NOT NULL PRIMARY KEY");
  return s;
}

class XmlImportTextIdTest : public XmlImportDbTest {
protected:
  XmlImportTextIdTest() : XmlImportDbTest(textIdSchema()) {}
};

TEST_F(XmlImportTextIdTest, FoundPatientWithAnIdThatIsNoInteger) {
  tdb.exec("insert into PATIENT (IDP, SNILS_KOD, LAST_NAME) values ('X1', '123-456-789-01', 'Old')");
  XmlRegister reg;
  XmlCase a;
  a.snils = "12345678901";
  XmlCase b;  // the next record is imported as usual
  b.npolis = "6800000000000002";
  reg.cases = {a, b};
  XmlImportResult r = run(reg);
  EXPECT_EQ(ui.boxes, std::vector<std::string>{cp("Нет IDP Иванов SNILS=123-456-789-01")});
  EXPECT_EQ(r.patients, 1);
  EXPECT_EQ(r.visits, 1);
  EXPECT_EQ(count("PATIENT"), 2);
  EXPECT_EQ(count("VISITS"), 1);
  EXPECT_EQ(one("select count(*) from VISITS where PATIENT_ID = 0"), "0");
  EXPECT_EQ(ui.messages, summary(2, 1, 1, 1));
}

}  // namespace

// Task 4 end to end: a file of privileged persons written by python3-dbf (CP866), read
// through the data module's DBF table, against a fresh embedded clinic database.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dbf_fixture.h"

namespace {

using dbftest::C;
using dbftest::Record;
using dbftest::Value;

const char* const kFields =
    "FM C(40); IM C(40); OT C(40); DTR D; SER_SP C(10); NUM_SP C(20); NPSU C(14); STATUS C(20); DAT_ISKL C(10); "
    "KATEG_EDV C(20); TYPE_DOC C(30); SER_DOC C(14); NUM_DOC C(10)";

struct Person {
  Value fm = "Иванов", im = "Иван", ot = "Иванович", dtr = "1980-05-17", serSp = "", numSp = "";
  Value npsu = "123-456-789 01", status, datIskl, kategEdv = "081 Инвалиды", typeDoc = "Паспорт гражданина РФ",
        serDoc = "68 01", numDoc = "654321";
  Record record() const { return {fm, im, ot, dtr, serSp, numSp, npsu, status, datIskl, kategEdv, typeDoc, serDoc, numDoc}; }
};

class PrivilegedTest : public ::testing::Test, public dbftest::DbfTaskFixture {
protected:
  bool run(const std::vector<Person>& people) {
    std::vector<Record> records;
    for (const Person& p : people) records.push_back(p.record());
    dbftest::WriteDbf(file("LGOT.DBF"), kFields, records);
    return dm.RefreshPrivileged(file("LGOT.DBF"));
  }
  std::vector<std::string> closing(int replaced, int refused, int notFound) const {
    return {" ",
            C("Замена записи - ") + std::to_string(replaced),
            C("Отказников - ") + std::to_string(refused),
            C("Не найдено льготников  - ") + std::to_string(notFound),
            " ",
            C("Актуализация льготников завершена"),
            " "};
  }
  std::vector<std::string> heading() const { return {C("АКТУАЛИЗАЦИЯ ФЕДЕРАЛЬНЫХ ЛЬГОТНИКОВ"), " "}; }
  static std::vector<std::string> join(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  }
  void seed(int idp, const std::string& last, const char* birthday, const char* series, const char* number,
            const char* snils) {
    exec("insert into PATIENT (IDP, LAST_NAME, FIRST_NAME, MIDDLE_NAME, BIRTHDAY, POLICY_SERIA, POLICY_NUM, "
         "SNILS_KOD, PRIVILEGE_KOD, DOCUMENT_NUMBER, SNILS_BAD) values (" +
         std::to_string(idp) + ", '" + last + "', '" + C("Иван") + "', '" + C("Иванович") + "', '" + birthday +
         "', '" + series + "', '" + number + "', " + (snils ? "'" + std::string(snils) + "'" : std::string("NULL")) +
         ", 5, 5, 'old')");
  }
  const char* const kCols =
      "select SNILS_KOD, SNILS_BAD, PRIVILEGE_KOD, DOCUMENT_NAME, DOCUMENT_SERIA_NAME, DOCUMENT_NUMBER, DATE_INPUT "
      "from PATIENT where IDP = ";
  std::vector<std::string> patient(int idp) const { return row(kCols + std::to_string(idp)); }
};

TEST_F(PrivilegedTest, UpdatesFoundPatientsByPolicyOrByPerson) {
  seed(1, C("Иванов"), "17.05.1980", "AA", "345678", "old-1");
  seed(2, C("Петров"), "01.01.1970", "", "", "old-2");
  seed(3, C("Сидоров"), "02.02.1960", "", "", nullptr);
  Person byPolicy;  // the 8-character number is cut whatever its date
  byPolicy.fm = "Другой";
  byPolicy.serSp = "AA";
  byPolicy.numSp = "12345678";
  byPolicy.status = "D";
  byPolicy.datIskl = "01.02.2020";  // the exclusion date wins
  Person byPerson;  // no number: straight to names and birthday
  byPerson.fm = "Петров";
  byPerson.dtr = "1970-01-01";
  byPerson.serSp = "BB";
  byPerson.npsu = "";  // keeps the stored SNILS, one refusal
  byPerson.status = "D";
  byPerson.kategEdv = "A12";
  byPerson.typeDoc = "свид о рожд";
  byPerson.serDoc = "II-КС 12345678";
  byPerson.numDoc = "12A";
  Person nullSnils;
  nullSnils.fm = "Сидоров";
  nullSnils.dtr = "1960-02-02";
  nullSnils.npsu = "XXX";
  nullSnils.typeDoc = "СВИД О РОЖД.";
  ui.progressPosition = 42;
  ASSERT_TRUE(run({byPolicy, byPerson, nullSnils}));
  EXPECT_EQ(ui.taskMessages, join(heading(), closing(3, 2, 0)));
  EXPECT_EQ(ui.progressMax, 3);
  EXPECT_EQ(ui.steps, 3);
  EXPECT_EQ(ui.progressPosition, 3);
  EXPECT_GE(ui.processMessagesCalls, 3);
  EXPECT_EQ(patient(1), (std::vector<std::string>{"123-456-789-01", "01.02.2020", "81", C("паспорт"), "68 01",
                                                  "654321", "10.12.2026 00:00:00"}));
  EXPECT_EQ(patient(2), (std::vector<std::string>{"old-2", "D", "<null>", C("св-во о рожд."), C("II-КС 1234"),
                                                  "<null>", "10.12.2026 00:00:00"}));
  EXPECT_EQ(patient(3), (std::vector<std::string>{"<null>", "", "81", C("другой"), "68 01", "654321",
                                                  "10.12.2026 00:00:00"}));
  EXPECT_FALSE(dm.IBTran.active());
  EXPECT_FALSE(dm.IBTran2.active());
  EXPECT_FALSE(dm.hdsDBF.Active());
}

// A damaged file is refused before the first record: the messages name the file and both
// counts, and no patient is updated.
TEST_F(PrivilegedTest, ADamagedFileUpdatesNoPatient) {
  seed(1, C("Иванов"), "17.05.1980", "", "", "old-1");  // updated by a sound file
  const std::vector<std::string> before = patient(1);
  const std::vector<Record> four(4, Person().record());
  for (dbftest::Damage d : dbftest::Damages()) {
    SCOPED_TRACE(static_cast<int>(d));
    dbftest::WriteDbf(file("LGOT.DBF"), kFields, four);
    dbftest::DamageDbf(file("LGOT.DBF"), d);
    ui.taskMessages.clear();
    EXPECT_FALSE(dm.RefreshPrivileged(file("LGOT.DBF")));
    EXPECT_EQ(ui.taskMessages, std::vector<std::string>{dbftest::DamagedLine(file("LGOT.DBF"), d, 4)});
    dm.IBDB.disconnect();  // what is pending becomes durable
    EXPECT_EQ(patient(1), before);
    dm.IBDB.connect();
  }
  // The same file undamaged updates it.
  ui.taskMessages.clear();
  EXPECT_TRUE(run(std::vector<Person>(4)));
  EXPECT_EQ(ui.taskMessages, join(heading(), closing(4, 0, 0)));
  EXPECT_NE(patient(1), before);
}

TEST_F(PrivilegedTest, ParametersDoNotCarryOver) {
  seed(1, C("Первый"), "01.01.1990", "", "", "s1");
  seed(2, C("Второй"), "01.01.1990", "", "", "s2");
  Person first;
  first.fm = "Первый";
  first.dtr = "1990-01-01";
  Person second;
  second.fm = "Второй";
  second.dtr = "1990-01-01";
  second.kategEdv = "";
  second.numDoc = "";
  ASSERT_TRUE(run({first, second}));
  EXPECT_EQ(row("select PRIVILEGE_KOD, DOCUMENT_NUMBER from PATIENT where IDP = 1"),
            (std::vector<std::string>{"81", "654321"}));
  EXPECT_EQ(row("select PRIVILEGE_KOD, DOCUMENT_NUMBER from PATIENT where IDP = 2"),
            (std::vector<std::string>{"<null>", "<null>"}));
}

TEST_F(PrivilegedTest, NotFoundPersonsAreListedWhenTheBoxIsTicked) {
  ui.notFound = true;
  Person a;
  a.fm = "Нет";
  Person b;
  b.fm = "Никого";
  b.dtr = std::nullopt;
  ASSERT_TRUE(run({a, b}));
  EXPECT_EQ(ui.taskMessages,
            join(join(heading(), {C("Не найдены льготники в БД учреждения:"), " ",
                                  C("  Нет Иван Иванович 17.05.1980"), C("  Никого Иван Иванович ")}),
                 closing(0, 0, 2)));
}

TEST_F(PrivilegedTest, NotFoundPersonsAreOnlyCountedWhenTheBoxIsNotTicked) {
  Person a;
  a.fm = "Нет";
  ASSERT_TRUE(run({a, a}));
  EXPECT_EQ(ui.taskMessages, join(heading(), closing(0, 0, 2)));
}

// The box is read for each person not found: ticked after the first record (the walk
// pumps messages after each one), the later persons are listed, without the heading
// that belongs to the first one; unticked again, the listing stops.
TEST_F(PrivilegedTest, TheBoxTickedDuringTheWalkListsTheLaterPersons) {
  ui.onProcessMessages = [](testsupport::FakeTaskUi& u) {
    if (u.steps == 1) u.notFound = true;
    if (u.steps == 3) u.notFound = false;
  };
  std::vector<Person> people(4);
  for (int i = 0; i < 4; ++i) people[i].fm = "Нет" + std::to_string(i + 1);
  ASSERT_TRUE(run(people));
  EXPECT_EQ(ui.taskMessages, join(join(heading(), {C("  Нет2 Иван Иванович 17.05.1980"),
                                                   C("  Нет3 Иван Иванович 17.05.1980")}),
                                  closing(0, 0, 4)));
}

TEST_F(PrivilegedTest, AtMostAThousandNotFoundPersonsAreListed) {
  ui.notFound = true;
  std::vector<Person> people(1500);
  for (int i = 0; i < 1500; ++i) people[i].fm = "Нет" + std::to_string(i + 1);
  ASSERT_TRUE(run(people));
  ASSERT_EQ(ui.taskMessages.size(), 2u + 2u + 1000u + 7u);
  EXPECT_EQ(ui.taskMessages[4], C("  Нет1 Иван Иванович 17.05.1980"));
  EXPECT_EQ(ui.taskMessages[1003], C("  Нет1000 Иван Иванович 17.05.1980"));
  EXPECT_EQ(ui.taskMessages[1004], " ");
  EXPECT_EQ(ui.taskMessages[1007], C("Не найдено льготников  - 1500"));
  EXPECT_EQ(ui.steps, 1500);
}

TEST_F(PrivilegedTest, AFailedRecordEndsTheTaskAndKeepsTheEarlierUpdates) {
  seed(1, C("Первый"), "01.01.1990", "", "", "s1");
  seed(2, C("Второй"), "01.01.1990", "", "", "s2");
  // A remark longer than 10 characters breaks a check: the second update fails at execute.
  exec("alter table PATIENT add constraint SNILS_BAD_SHORT check (SNILS_BAD is null or char_length(SNILS_BAD) <= 10)");
  Person first;
  first.fm = "Первый";
  first.dtr = "1990-01-01";
  Person second;
  second.fm = "Второй";
  second.dtr = "1990-01-01";
  second.status = "ОЧЕНЬ ДЛИННЫЙ СТАТУС";
  EXPECT_FALSE(dm.RefreshPrivileged(file("none.dbf")));  // a missing file: False, no box; the messages name it
  EXPECT_TRUE(ui.messageBoxes.empty());
  ASSERT_EQ(ui.taskMessages.size(), 1u);
  EXPECT_NE(ui.taskMessages[0].find("none.dbf"), std::string::npos) << ui.taskMessages[0];
  ui.taskMessages.clear();
  EXPECT_FALSE(run({first, second}));
  EXPECT_TRUE(ui.messageBoxes.empty());
  // The failure label is not all: the messages (and so the run protocol) give the reason.
  ASSERT_EQ(ui.taskMessages.size(), 3u);
  EXPECT_EQ(std::vector<std::string>(ui.taskMessages.begin(), ui.taskMessages.begin() + 2), heading());
  EXPECT_EQ(ui.taskMessages[2].rfind("EFbError: ", 0), 0u) << ui.taskMessages[2];
  EXPECT_NE(ui.taskMessages[2].find("SNILS_BAD_SHORT"), std::string::npos) << ui.taskMessages[2];
  EXPECT_EQ(one("select SNILS_KOD from PATIENT where IDP = 1"), "123-456-789-01");
  EXPECT_EQ(one("select SNILS_KOD from PATIENT where IDP = 2"), "s2");
  EXPECT_FALSE(dm.IBTran.active());
  EXPECT_FALSE(dm.IBTran2.active());
  // The next run starts cleanly.
  second.status = "D";
  EXPECT_TRUE(run({first, second}));
  EXPECT_EQ(one("select SNILS_BAD from PATIENT where IDP = 2"), "D");
}

}  // namespace

namespace {

TEST_F(PrivilegedTest, TheLookupsSeeWorkCommittedAfterAnEarlierSnapshot) {
  // A lookup snapshot left open by an earlier task must not hide patients added since.
  dm.IBTran.start();
  fbdb::Query old(dm.IBTran);
  old.setSql("select count(*) from PATIENT");
  old.open();
  old.close();
  seed(1, C("Поздний"), "01.01.1990", "", "", "s1");
  Person late;
  late.fm = "Поздний";
  late.dtr = "1990-01-01";
  ASSERT_TRUE(run({late}));
  EXPECT_EQ(ui.taskMessages, join(heading(), closing(1, 0, 0)));
}

}  // namespace

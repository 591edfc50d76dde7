// The duplicate search against a real embedded clinic database.
#include <gtest/gtest.h>

#include "duplicates_fixture.h"

namespace {

using duptest::W;

std::vector<std::string> W(const std::vector<const char*>& utf8) {
  std::vector<std::string> out;
  for (const char* s : utf8) out.push_back(W(s));
  return out;
}

class DuplicatesDb : public duptest::ModuleFixture {
protected:
  void SetUp() override {
    ModuleFixture::SetUp();
    exec(
        "insert into PATIENT (IDP, LAST_NAME, FIRST_NAME, MIDDLE_NAME, BIRTHDAY, POLICY_SERIA, POLICY_NUM, "
        "ID_LIC, SNILS_KOD) values (101, 'Иванов', 'Иван', 'Петрович', '09.12.1960', 'ЯБ', '123456', "
        "'7', '112-233-445 95')");
    exec(
        "insert into PATIENT (IDP, LAST_NAME, FIRST_NAME, MIDDLE_NAME, BIRTHDAY, POLICY_SERIA, POLICY_NUM, "
        "SNILS_KOD) values (102, 'ИВАНОВ', 'ИВАН', 'ПЕТРОВИЧ', '09.12.1960', 'ЯБ', '654321', 'XXX-XXX-XXX XX')");
    exec(
        "insert into PATIENT (IDP, LAST_NAME, FIRST_NAME, MIDDLE_NAME, BIRTHDAY, POLICY_SERIA, POLICY_NUM, "
        "SNILS_KOD) values (103, 'Petrov', 'Oleg', 'Ivanovich', '01.02.2003', 'ЯБ', '123456', 'XXX-XXX-XXX XX')");
    exec(
        "insert into PATIENT (IDP, LAST_NAME, FIRST_NAME, MIDDLE_NAME, BIRTHDAY, POLICY_SERIA, POLICY_NUM, "
        "SNILS_KOD) values (104, 'PETROV', 'oleg', 'IVANOVICH', '01.02.2003', null, null, '112-233-445 95')");
    exec(
        "insert into PATIENT (IDP, LAST_NAME, FIRST_NAME, MIDDLE_NAME, BIRTHDAY, POLICY_SERIA, POLICY_NUM, "
        "SNILS_KOD) values (105, 'Сидорова', 'Анна', '', null, null, null, '112-233-445 95')");
    exec(
        "insert into PATIENT (IDP, LAST_NAME, FIRST_NAME, MIDDLE_NAME, BIRTHDAY, POLICY_SERIA, POLICY_NUM, "
        "SNILS_KOD) values (106, 'Котов', 'Ян', 'Ильич', '31.01.1999', '', '', 'ОТКАЗ')");
    exec(
        "insert into PATIENT (IDP, LAST_NAME, FIRST_NAME, MIDDLE_NAME, BIRTHDAY, POLICY_SERIA, POLICY_NUM, "
        "SNILS_KOD) values (107, 'Котова', 'Яна', 'Ильинична', '01.01.2000', 'ЯБ', '777', 'ОТКАЗ')");
  }
};

TEST_F(DuplicatesDb, AllThreeCriteriaOverTheRegister) {
  ASSERT_TRUE(tasks::SearchDuplicates(chain(), ui_, true, true, true));
  std::vector<const char*> expected = {
      "ПОИСК ДУБЛИКАТОВ ПО ФИО", " ",
      "PETROV OLEG IVANOVICH 01.02.2003", "   103   ЯБ  123456", "   104     ",
      "Иванов Иван Петрович 09.12.1960", "   101   ЯБ  123456", "   102   ЯБ  654321",
      " ", "ПОИСК ДУБЛИКАТОВ ПО ПОЛИСУ", " ",
      "Отсутствует серия и номер полиса:", "       ", "   104 PETROV oleg IVANOVICH 01.02.2003",
      "   105 Сидорова Анна  ", "   106 Котов Ян Ильич 31.01.1999",
      "ЯБ 123456", "   101 Иванов Иван Петрович 09.12.1960", "   103 Petrov Oleg Ivanovich 01.02.2003",
      " ", "ПОИСК ДУБЛИКАТОВ ПО СНИЛС", " ",
      "112-233-445 95", "   101 Иванов Иван Петрович 09.12.1960", "   104  PETROV  oleg IVANOVICH  01.02.2003",
      "   105  Сидорова  Анна   ",
      " ", "Конец задания поиска дубликатов", " ",
  };
  EXPECT_EQ(ui_.taskMessages, W(expected));
  EXPECT_EQ(ui_.progressMax, 7);
  EXPECT_EQ(ui_.steps, 21);
  // Qry1 stays open and cds1 keeps the rows and the index of every criterion, the last
  // one active.
  EXPECT_TRUE(dm_->Qry1.active());
  EXPECT_TRUE(cds1_.Active());
  EXPECT_EQ(cds1_.RecordCount(), 7);
  ASSERT_EQ(cds1_.IndexDefs().size(), 3u);
  EXPECT_EQ(cds1_.IndexDefs()[0].Name, "byFIO");
  EXPECT_EQ(cds1_.IndexDefs()[0].Fields, "LAST_NAME;FIRST_NAME;MIDDLE_NAME;BIRTHDAY");
  EXPECT_EQ(cds1_.IndexDefs()[0].Options, unsigned(cds::ixCaseInsensitive));
  EXPECT_EQ(cds1_.IndexDefs()[1].Name, "byPolicy");
  EXPECT_EQ(cds1_.IndexDefs()[1].Fields, "POLICY_SERIA;POLICY_NUM");
  EXPECT_EQ(cds1_.IndexDefs()[2].Name, "bySNILS");
  EXPECT_EQ(cds1_.IndexDefs()[2].Fields, "SNILS_KOD");
  EXPECT_EQ(cds1_.IndexName(), "bySNILS");
  // A second search adds no definition twice and reads the register again.
  exec("insert into PATIENT (IDP, LAST_NAME, SNILS_KOD) values (108, 'Лебедев', '999')");
  ui_.taskMessages.clear();
  ASSERT_TRUE(tasks::SearchDuplicates(chain(), ui_, true, false, false));
  EXPECT_EQ(cds1_.IndexDefs().size(), 3u);
  EXPECT_EQ(cds1_.IndexName(), "byFIO");
  EXPECT_EQ(cds1_.RecordCount(), 8);
  EXPECT_TRUE(dm_->Qry1.active());
}

TEST_F(DuplicatesDb, EveryCallReadsTheRegisterAgain) {
  ASSERT_TRUE(tasks::SearchDuplicates(chain(), ui_, false, false, true));
  std::vector<const char*> first = {
      " ", "ПОИСК ДУБЛИКАТОВ ПО СНИЛС", " ",
      "112-233-445 95", "   101 Иванов Иван Петрович 09.12.1960", "   104  PETROV  oleg IVANOVICH  01.02.2003",
      "   105  Сидорова  Анна   ",
      " ", "Конец задания поиска дубликатов", " ",
  };
  EXPECT_EQ(ui_.taskMessages, W(first));

  // Changes committed by someone else since the last search are seen by the next one.
  exec("update PATIENT set SNILS_KOD = '999-999-999 99' where IDP = 105");
  exec("insert into PATIENT (IDP, LAST_NAME, FIRST_NAME, BIRTHDAY, SNILS_KOD) values "
       "(108, 'Лебедев', 'Лев', '05.05.1955', '999-999-999 99')");
  ui_.taskMessages.clear();
  ASSERT_TRUE(tasks::SearchDuplicates(chain(), ui_, false, false, true));
  std::vector<const char*> second = {
      " ", "ПОИСК ДУБЛИКАТОВ ПО СНИЛС", " ",
      "112-233-445 95", "   101 Иванов Иван Петрович 09.12.1960", "   104  PETROV  oleg IVANOVICH  01.02.2003",
      "999-999-999 99", "   105 Сидорова Анна  ", "   108  Лебедев  Лев   05.05.1955",
      " ", "Конец задания поиска дубликатов", " ",
  };
  EXPECT_EQ(ui_.taskMessages, W(second));
  EXPECT_EQ(ui_.progressMax, 8);
}

// The search leaves Qry1 open without holding a snapshot: the transaction it stays open
// on does not hold back the oldest active transaction (and so the garbage collection of
// the database) while the program waits for its next task; the next task writes as usual.
TEST_F(DuplicatesDb, TheOpenQueryHoldsNoSnapshot) {
  ASSERT_TRUE(tasks::SearchDuplicates(chain(), ui_, true, true, true));
  ASSERT_TRUE(dm_->Qry1.active());
  int64_t searchTransaction = 0;
  {
    fbdb::Query q(dm_->IBTran);
    q.setSql("select current_transaction from RDB$DATABASE");
    q.open();
    searchTransaction = q.field(size_t{0}).asInteger();
    q.close();
  }
  // Other work goes on and commits.
  exec("update PATIENT set SNILS_KOD = '999-999-999 99' where IDP = 105");
  exec("update PATIENT set SNILS_KOD = '999-999-999 98' where IDP = 105");
  EXPECT_GT(std::stoll(db_->scalar("select MON$OLDEST_ACTIVE from MON$DATABASE")), searchTransaction);
  // A task after it writes through the same transaction object.
  dm_->IBTran.commit();
  fbdb::Query w(dm_->IBTran);
  w.setSql("update PATIENT set LAST_NAME = 'X' where IDP = 101");
  w.execSQL();
  dm_->IBTran.commit();
  EXPECT_EQ(db_->scalar("select LAST_NAME from PATIENT where IDP = 101"), "X");
}

TEST_F(DuplicatesDb, NoCriterionStillReadsTheRegister) {
  ASSERT_TRUE(tasks::SearchDuplicates(chain(), ui_, false, false, false));
  EXPECT_EQ(ui_.taskMessages, W({" ", "Конец задания поиска дубликатов", " "}));
  EXPECT_EQ(ui_.steps, 0);
  EXPECT_EQ(cds1_.RecordCount(), 7);
  EXPECT_TRUE(cds1_.IndexDefs().empty());
  EXPECT_TRUE(dm_->Qry1.active());
}

TEST_F(DuplicatesDb, AClosedConnectionRaisesToTheCaller) {
  dm_->IBDB.disconnect();
  EXPECT_THROW(tasks::SearchDuplicates(chain(), ui_, true, true, true), platform::Exception);
  EXPECT_TRUE(ui_.taskMessages.empty());
  EXPECT_FALSE(dm_->IBTran.active());
}

}  // namespace

namespace {

// The data module's own method, as the shell calls it: its chain, its window.
TEST_F(DuplicatesDb, TheDataModuleMethodWritesToItsWindow) {
  EXPECT_EQ(dm_->cds1, nullptr);
  ASSERT_TRUE(dm_->SearchDuplicates(true, false, false));
  std::vector<const char*> expected = {
      "ПОИСК ДУБЛИКАТОВ ПО ФИО", " ",
      "PETROV OLEG IVANOVICH 01.02.2003", "   103   ЯБ  123456", "   104     ",
      "Иванов Иван Петрович 09.12.1960", "   101   ЯБ  123456", "   102   ЯБ  654321",
      " ", "Конец задания поиска дубликатов", " ",
  };
  EXPECT_EQ(ui_.taskMessages, W(expected));
  ASSERT_NE(dm_->cds1, nullptr);
  EXPECT_EQ(dm_->cds1->RecordCount(), 7);
  EXPECT_EQ(ui_.progressMax, 7);
  EXPECT_EQ(ui_.steps, 7);
}

}  // namespace

// Task 4: the privileged-persons actualisation from the DBF file of federal privileged
// persons. Patients are found and updated, never inserted.
#include "tasks/Task_Privileged.h"

#include <exception>
#include <optional>

#include "db/fbdb.h"
#include "platform/codepage.h"
#include "platform/strutil.h"
#include "tasks/DbfTaskSupport.h"
#include "tasks/Scheduler_DM.h"

namespace tasks::privileged {

namespace {

struct Texts {
  std::string heading = platform::Utf8ToCp1251("АКТУАЛИЗАЦИЯ ФЕДЕРАЛЬНЫХ ЛЬГОТНИКОВ");
  std::string notFoundHeading = platform::Utf8ToCp1251("Не найдены льготники в БД учреждения:");
  std::string replaced = platform::Utf8ToCp1251("Замена записи - ");
  std::string refused = platform::Utf8ToCp1251("Отказников - ");
  std::string notFound = platform::Utf8ToCp1251("Не найдено льготников  - ");
  std::string finished = platform::Utf8ToCp1251("Актуализация льготников завершена");
  std::string passportMark = platform::Utf8ToCp1251("ПАСПОРТ");
  std::string birthMark = platform::Utf8ToCp1251("СВИД О РОЖД");
  std::string passport = platform::Utf8ToCp1251("паспорт");
  std::string birth = platform::Utf8ToCp1251("св-во о рожд.");
  std::string other = platform::Utf8ToCp1251("другой");
};

const Texts& texts() {
  static const Texts t;
  return t;
}

}  // namespace

std::string PolicyNumber(std::string_view numSp) {
  if (numSp.size() == 8) return platform::Copy(numSp, 3, 6);
  return std::string(numSp);
}

std::optional<std::string> SnilsFromNpsu(std::string_view npsu) {
  int32_t n;
  if (!platform::TryStrToInt(platform::Copy(npsu, 1, 3), n)) return std::nullopt;
  return platform::Copy(npsu, 1, 11) + "-" + platform::Copy(npsu, 13, 2);
}

std::string SnilsRemark(std::string_view status, std::string_view datIskl) {
  std::string remark;
  if (!status.empty()) remark = status;
  if (!datIskl.empty()) remark = datIskl;
  return remark;
}

std::optional<int32_t> PrivilegeCode(std::string_view kategEdv) {
  int32_t n;
  if (!platform::TryStrToInt(platform::Copy(kategEdv, 1, 3), n)) return std::nullopt;
  return n;
}

std::string DocumentTypeName(std::string_view typeDoc) {
  const Texts& tx = texts();
  if (platform::AnsiUpperCase(platform::Copy(typeDoc, 1, 7)) == tx.passportMark) return tx.passport;
  if (platform::AnsiUpperCase(typeDoc) == tx.birthMark) return tx.birth;
  return tx.other;
}

std::string DocumentSeries(std::string_view serDoc) { return platform::Copy(serDoc, 1, 10); }

std::optional<int32_t> DocumentNumber(std::string_view numDoc) {
  int32_t n;
  if (!platform::TryStrToInt(numDoc, n)) return std::nullopt;
  return n;
}

}  // namespace tasks::privileged

namespace {

const char* const kSelectByPolicy =
    "select IDP,LAST_NAME,FIRST_NAME,MIDDLE_NAME,BIRTHDAY,SNILS_KOD from PATIENT where POLICY_SERIA=:P_POLSER and "
    "POLICY_NUM=:P_POLNUM";
const char* const kSelectByPerson =
    "select * from PATIENT where LAST_NAME=:P_LN and FIRST_NAME=:P_FN and MIDDLE_NAME=:P_MN and BIRTHDAY=:P_BD";
const char* const kUpdatePatient =
    "update PATIENT SET SNILS_KOD = :PSNILS_KOD, DATE_INPUT = :PDATE_INPUT, PRIVILEGE_KOD = :PPRIV, DOCUMENT_NAME = "
    ":PDOC_NAME, DOCUMENT_SERIA_NAME = :PDOC_SER, DOCUMENT_NUMBER = :PDOC_NUM, SNILS_BAD = :PSNILS_BAD WHERE IDP = "
    ":P_IDP";

// Persons not found that are listed at most.
constexpr int kNotFoundListed = 1000;

// The patient a lookup found: its id and stored SNILS (none when NULL).
struct Found {
  int32_t idp = 0;
  std::optional<std::string> snils;
};

std::optional<Found> firstRow(fbdb::Query& q) {
  q.open();
  std::optional<Found> r;
  if (!q.eof()) {
    r.emplace();
    r->idp = q.field("IDP").asInteger();
    fbdb::Field s = q.field("SNILS_KOD");
    if (!s.isNull()) r->snils = s.asString();
  }
  q.close();
  return r;
}

}  // namespace

bool TdmScheduler::RefreshPrivileged(const std::string& FileName) {
  namespace pr = tasks::privileged;
  const pr::Texts& tx = pr::texts();
  ITaskUi& ui = Ui();
  const platform::TDateTime today = Today();
  bool result = false;
  int replaced = 0, refused = 0, notFound = 0;
  try {
    // What an earlier task left open is committed, as closing the connection would; the
    // lookups then start from the current register.
    IBTran2.commit();
    IBTran.commit();
    IBTran.start();
    tasks::dbftask::OpenDbf(hdsDBF, FileName);
    ui.AddTaskMessage(tx.heading);
    ui.AddTaskMessage(" ");
    ui.SetProgressMax(hdsDBF.RecordCount());
    ui.SetProgressPosition(0);
    for (auto [q, sql] : {std::pair{&Qry2, kSelectByPolicy}, std::pair{&Qry3, kSelectByPerson},
                          std::pair{&QryUpd, kUpdatePatient}}) {
      q->close();
      q->setSql(sql);
      q->prepare();
    }
    auto text = [this](std::string_view name) { return hdsDBF.FieldByName(name).AsString(); };

    while (!hdsDBF.Eof()) {
      for (fbdb::Query* q : {&Qry2, &Qry3, &QryUpd}) q->clearParams();
      const std::string last = platform::Trim(text("FM"));
      const std::string first = platform::Trim(text("IM"));
      const std::string middle = platform::Trim(text("OT"));
      const std::string series = text("SER_SP");
      const std::string number = pr::PolicyNumber(text("NUM_SP"));

      std::optional<Found> found;
      if (!platform::Trim(series).empty() && !platform::Trim(number).empty()) {
        Qry2.close();
        Qry2.param("P_POLSER").setString(series);
        Qry2.param("P_POLNUM").setString(number);
        found = firstRow(Qry2);
      }
      if (!found) {
        Qry3.close();
        Qry3.param("P_LN").setString(last);
        Qry3.param("P_FN").setString(first);
        Qry3.param("P_MN").setString(middle);
        Qry3.param("P_BD").setDate(hdsDBF.FieldByName("DTR").AsDateTime());
        found = firstRow(Qry3);
      }

      if (found) {
        ++replaced;
        fbdb::Query& u = QryUpd;
        u.param("P_IDP").setInteger(found->idp);
        if (std::optional<std::string> snils = pr::SnilsFromNpsu(text("NPSU"))) {
          u.param("PSNILS_KOD").setString(*snils);
        } else {
          // The stored SNILS stays as it is (NULL included).
          if (found->snils)
            u.param("PSNILS_KOD").setString(*found->snils);
          else
            u.param("PSNILS_KOD").setNull();
          ++refused;
        }
        u.param("PSNILS_BAD").setString(pr::SnilsRemark(text("STATUS"), text("DAT_ISKL")));
        if (std::optional<int32_t> priv = pr::PrivilegeCode(text("KATEG_EDV"))) u.param("PPRIV").setInteger(*priv);
        u.param("PDOC_NAME").setString(pr::DocumentTypeName(text("TYPE_DOC")));
        u.param("PDOC_SER").setString(pr::DocumentSeries(text("SER_DOC")));
        if (std::optional<int32_t> num = pr::DocumentNumber(text("NUM_DOC"))) u.param("PDOC_NUM").setInteger(*num);
        u.param("PDATE_INPUT").setDateTime(today);
        u.execSQL();
        u.close();
      } else {
        ++notFound;
        // The box is read for each person: the operator may tick it during the walk.
        if (ui.NotFoundChecked()) {
          if (notFound == 1) {
            ui.AddTaskMessage(tx.notFoundHeading);
            ui.AddTaskMessage(" ");
          }
          if (notFound <= kNotFoundListed)
            ui.AddTaskMessage("  " + last + " " + first + " " + middle + " " + text("DTR"));
        }
      }
      ui.StepProgress();
      ui.ProcessMessages();
      hdsDBF.Next();
    }

    // The updates become durable with the task, not with the connection.
    IBTran2.commit();
    IBTran.commit();
    ui.AddTaskMessage(" ");
    ui.AddTaskMessage(tx.replaced + platform::IntToStr(replaced));
    ui.AddTaskMessage(tx.refused + platform::IntToStr(refused));
    ui.AddTaskMessage(tx.notFound + platform::IntToStr(notFound));
    ui.AddTaskMessage(" ");
    ui.AddTaskMessage(tx.finished);
    ui.AddTaskMessage(" ");
    result = true;
  } catch (const std::exception& e) {
    ui.AddTaskMessage(tasks::dbftask::FailureLine(e));
    // The failed statement left nothing; the updates of the records before it are kept.
    try {
      IBTran.rollback();
    } catch (...) {
    }
    try {
      IBTran2.commit();
    } catch (...) {
      try {
        IBTran2.rollback();
      } catch (...) {
      }
    }
    result = false;
  }
  hdsDBF.Close();
  return result;
}

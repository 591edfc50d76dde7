#include "tasks/Task_DiseaseCases.h"

#include <vector>

#include "db/ClientDataSet.h"
#include "db/Provider.h"
#include "db/ProviderFb.h"
#include "db/fbdb.h"
#include "platform/codepage.h"
#include "platform/dates.h"
#include "platform/strutil.h"
#include "tasks/Scheduler_DM.h"
#include "tasks/TaskUi.h"

namespace tasks {

// Rows of one visit date come in the order of their diagnosis id, so a run gives the
// same result every time.
const char* const kVisitsOfYearSql =
    "select * from VISITS T1 inner join DISEASES T2 on (T2.visit_id=T1.idv)\r\n"
    "where T1.PATIENT_ID=:P_IDP and (DATE_VISIT between :P_T1 and :P_T2) and RESULT is not null and "
    "t2.case_kod<2 and T2.MKB_KOD between :P_N and :P_V ORDER BY T1.DATE_VISIT, T2.IDD";

const char* const kNeighboursSql =
    "select T1.IDV, T1.DATE_VISIT, T2.IDD, T2.CASE_KOD from VISITS T1 inner join DISEASES T2 on "
    "(T2.visit_id=T1.idv)\r\n"
    "where T1.PATIENT_ID=:P_IDP and DATE_VISIT>='20.12.2007' and RESULT is not null and t2.case_kod<2 and "
    "T2.IDD<>:P_IDD and T2.MKB_KOD between :P_N and :P_V";

const char* const kMarkDiseaseSql = "update DISEASES set CASE_KOD=2 where IDD =:P_IDD";

const char* const kMarkZCodesSql = "update DISEASES set CASE_KOD=2 where MKB_KOD>'Z'";

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

std::string TwoDigits(int n) {
  std::string s(2, '0');
  s[0] = static_cast<char>('0' + n / 10);
  s[1] = static_cast<char>('0' + n % 10);
  return s;
}

struct Texts {
  std::string head = platform::Utf8ToCp1251("ПРАВКА УЧЕТА ЗАБОЛЕВАНИЙ");
  std::string removed = platform::Utf8ToCp1251("Убрано заболеваний = ");
};

const Texts& texts() {
  static const Texts t;
  return t;
}

// A diagnosis of the patient in the neighbourhood of the one being looked at.
struct Neighbour {
  int32_t idd = 0;
  int caseKod = 0;
  platform::TDateTime dateVisit = 0;
};

// Hands the provider a source for the run and takes it back afterwards, so the
// provider never points at a source that is gone.
class SourceScope {
public:
  SourceScope(cds::TDataSetProvider& provider, cds::IDataSource& source) : provider_(provider) {
    provider_.SetSource(&source);
  }
  ~SourceScope() { provider_.SetSource(nullptr); }
  SourceScope(const SourceScope&) = delete;
  SourceScope& operator=(const SourceScope&) = delete;

private:
  cds::TDataSetProvider& provider_;
};

}  // namespace

MkbRange MkbNeighbourhood(std::string_view code, int interval) {
  if (code.size() < 3 || !IsDigit(code[1]) || !IsDigit(code[2])) return {std::string(code), std::string(code)};
  const int n = (code[1] - '0') * 10 + (code[2] - '0');
  // A negative width gives an empty range (low above high); both ends stay two digits.
  int low = n < interval ? 0 : n - interval;
  int high = n + interval > 99 ? 99 : n + interval;
  if (low > 99) low = 99;
  if (high < 0) high = 0;
  const std::string letter(code.substr(0, 1));
  return {letter + TwoDigits(low), letter + TwoDigits(high) + ".9"};
}

std::string NormalizeMkbBound(std::string_view bound) {
  std::string s = platform::Trim(bound);
  if (!s.empty() && s.back() == '.') s.pop_back();
  return s;
}

bool MarksNeighbour(int currentCase, int neighbourCase, int64_t daysApart) {
  if (currentCase == 1) return true;
  if (currentCase == 0 && neighbourCase == 0) return daysApart <= 15;
  return false;
}

bool FixDiseaseCases(const DiseaseCasesDb& db, ITaskUi& ui, const std::string& MkbFrom, const std::string& MkbTo,
                     const std::string& Interval, const std::string& Year, DiseaseCasesResult* result) {
  DiseaseCasesResult res;
  ui.AddTaskMessage(texts().head);
  ui.AddTaskMessage(" ");
  const int interval = platform::StrToInt(platform::Trim(Interval));
  const std::string mkbFrom = NormalizeMkbBound(MkbFrom);
  const std::string mkbTo = NormalizeMkbBound(MkbTo);
  const std::string year = platform::Trim(Year);
  const std::string yearBegin = "01.01." + year;
  const std::string yearEnd = "31.12." + year;

  ReadPatientKeys(db.patients);
  cds::TClientDataSet& cds1 = db.patients.cds1;
  cds1.SetIndexName("");
  ui.SetProgressPosition(0);
  ui.SetProgressMax(cds1.RecordCount());

  db.sdsVis.close();
  db.sdsVis.setSql(kVisitsOfYearSql);
  db.sdsDis.close();
  db.sdsDis.setSql(kNeighboursSql);
  db.sdsTemp.close();
  db.sdsTemp.setSql(kMarkDiseaseSql);

  cds::TFbQuerySource visSource(db.sdsVis);
  SourceScope scope(db.dspVis, visSource);
  db.cdsVis.SetProvider(&db.dspVis);

  cds::TField& idpField = cds1.FieldByName("IDP");
  std::vector<Neighbour> neighbours;
  for (cds1.First(); !cds1.Eof(); cds1.Next()) {
    const int32_t idp = idpField.AsInteger();
    // The patient is read again after every pass that took a diagnosis out; each such
    // pass changed at least one row to code 2, which the next read no longer sees, so the
    // walk over the patient ends.
    bool again = true;
    while (again) {
      again = false;
      db.cdsVis.Close();
      db.sdsVis.close();
      db.sdsVis.param("P_IDP").setInteger(idp);
      db.sdsVis.param("P_N").setString(mkbFrom);
      db.sdsVis.param("P_V").setString(mkbTo);
      db.sdsVis.param("P_T1").setString(yearBegin);
      db.sdsVis.param("P_T2").setString(yearEnd);
      db.cdsVis.Open();
      ++res.passes;
      if (db.cdsVis.IsEmpty()) break;
      cds::TField& mkb = db.cdsVis.FieldByName("MKB_KOD");
      cds::TField& caseKod = db.cdsVis.FieldByName("CASE_KOD");
      cds::TField& dateVisit = db.cdsVis.FieldByName("DATE_VISIT");
      cds::TField& idd = db.cdsVis.FieldByName("IDD");
      for (db.cdsVis.First(); !db.cdsVis.Eof() && !again; db.cdsVis.Next()) {
        const int currentCase = caseKod.AsInteger();
        const platform::TDateTime currentDate = dateVisit.AsDateTime();
        const MkbRange range = MkbNeighbourhood(mkb.AsString(), interval);

        db.sdsDis.close();
        db.sdsDis.param("P_IDP").setInteger(idp);
        db.sdsDis.param("P_IDD").setInteger(idd.AsInteger());
        db.sdsDis.param("P_N").setString(range.low);
        db.sdsDis.param("P_V").setString(range.high);
        neighbours.clear();
        ++res.neighbourReads;
        for (db.sdsDis.open(); !db.sdsDis.eof(); db.sdsDis.next()) {
          Neighbour n;
          n.idd = db.sdsDis.field("IDD").asInteger();
          n.caseKod = db.sdsDis.field("CASE_KOD").asInteger();
          n.dateVisit = db.sdsDis.field("DATE_VISIT").asDateTime();
          neighbours.push_back(n);
        }
        db.sdsDis.close();

        for (const Neighbour& n : neighbours) {
          if (!MarksNeighbour(currentCase, n.caseKod, platform::DaysBetween(currentDate, n.dateVisit))) continue;
          db.sdsTemp.param("P_IDD").setInteger(n.idd);
          db.sdsTemp.execSQL();
          // A row already changed by someone else is neither counted nor read again.
          if (db.sdsTemp.rowsAffected() > 0) {
            ++res.marked;
            again = true;
          }
        }
      }
    }
    db.cdsVis.Close();
    ++res.patients;
    ui.StepProgress();
  }

  db.sdsTemp.close();
  db.sdsTemp.setSql(kMarkZCodesSql);
  db.sdsTemp.execSQL();
  res.zCodes = db.sdsTemp.rowsAffected();

  ui.AddTaskMessage(texts().removed + platform::IntToStr(res.marked));
  ui.AddTaskMessage(" ");
  if (result) *result = res;
  return true;
}

}  // namespace tasks

bool TdmScheduler::FixDiseaseCases(const std::string& MkbFrom, const std::string& MkbTo, const std::string& Interval,
                                   const std::string& Year) {
  if (!cdsVis) cdsVis = std::make_shared<cds::TClientDataSet>();
  if (!dspVis) dspVis = std::make_shared<cds::TDataSetProvider>("dspVis", static_cast<cds::IDataSource*>(nullptr));
  tasks::DiseaseCasesDb db{tasks::ModulePatientKeyChain(*this), sdsVis, *dspVis, *cdsVis, sdsDis, sdsTemp};
  return tasks::FixDiseaseCases(db, Ui(), MkbFrom, MkbTo, Interval, Year);
}


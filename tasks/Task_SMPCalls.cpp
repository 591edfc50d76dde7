// Task 8: the import of ambulance (SMP) calls.
#include "tasks/Task_SMPCalls.h"

#include <cmath>
#include <exception>

#include "db/ClientDataSet.h"
#include "db/ProviderFb.h"
#include "db/fbdb.h"
#include "platform/codepage.h"
#include "platform/exception.h"
#include "platform/strutil.h"
#include "tasks/Scheduler_DM.h"

namespace tasks::smp {

namespace {

const std::string kIndent23(23, ' ');
const std::string kIndent15(15, ' ');

// Platform date numbers of 01.01.0001 and 31.12.9999.
constexpr double kFirstDay = -693593.0;
constexpr double kLastDay = 2958465.0;

const char* const kIntegerParams[] = {"ID_SMP_CALLS",  "PATIENT_ID", "AGE_VALUE",    "AGE_EI",
                                      "CALL_GO_TIME_OUT", "CALL_TOTAL_TIME", "DOCTOR_KOD", "USER_ID",
                                      "HOSPITAL_KOD", "CALL_LENGTH", "CALL_NUMBER",  "DRINKED"};
const char* const kTextParams[] = {"PATIENT_ADDRESS", "CALLING_INFO",    "COMPLAINTS",      "MKB_KOD",
                                   "SMP_STAFF",       "HELP_LPU_WHERE",  "CALL_TYPE",       "CALL_STAFF_SPEC",
                                   "CALL_TARGET",     "CALL_RESULT",     "CALL_DIFFICULTIES", "CALL_TRAUMA",
                                   "EFFECTS",         "TEL",             "CALL_PARAM",      "CALL_PLACE",
                                   "CALL_HOW_TO_CAR", "CALL_LATER_REASON", "CALL_WHAT_TO_DO"};

std::string ClassNameOf(const std::exception& e) {
  if (const auto* pe = dynamic_cast<const platform::Exception*>(&e)) return pe->className();
  std::string d = platform::describe(e);
  size_t cr = d.find('\r');
  return cr == std::string::npos ? d : d.substr(0, cr);
}

void CheckDateTime(platform::TDateTime d) {
  if (!std::isfinite(d) || d < kFirstDay || d >= kLastDay + 1.0)
    throw platform::EConvertError("Invalid date and time value " + platform::FloatToStr(d));
}

double DateTimeOf(cds::TClientDataSet& ds, const char* column) {
  cds::TField& f = ds.FieldByName(column);
  try {
    return f.AsDateTime();
  } catch (const platform::EConvertError& e) {
    throw platform::EConvertError(std::string(column) + ": " + e.message());
  }
}

}  // namespace

const std::vector<std::string>& InsertColumns() {
  static const std::vector<std::string> cols = {
      "ID_SMP_CALLS",     "PATIENT_ID",      "CALL_DATE",         "CALL_TIME",       "AGE_VALUE",
      "AGE_EI",           "PATIENT_ADDRESS", "CALLING_INFO",      "COMPLAINTS",      "CALL_TIME_BEGIN",
      "CALL_TIME_END",    "CALL_GO_TIME_OUT", "CALL_TOTAL_TIME",  "MKB_KOD",         "DOCTOR_KOD",
      "SMP_STAFF",        "HELP_LPU_WHERE",  "DATE_INPUT",        "USER_ID",         "CALL_TYPE",
      "CALL_STAFF_SPEC",  "CALL_TARGET",     "CALL_RESULT",       "HOSPITAL_KOD",    "CALL_DIFFICULTIES",
      "CALL_TRAUMA",      "CALL_LENGTH",     "CALL_NUMBER",       "EFFECTS",         "TEL",
      "DRINKED",          "CALL_TIME_ARRIVAL", "CALL_GO_TIME",    "CALL_TIME_IN_SMP", "CALL_PARAM",
      "CALL_PLACE",       "CALL_HOW_TO_CAR", "CALL_LATER_REASON", "CALL_WHAT_TO_DO"};
  return cols;
}

std::string DateLiteral(platform::TDateTime d) {
  CheckDateTime(d);
  return "'" + platform::FormatDate(d) + "'";
}

std::string TimeLiteral(platform::TDateTime t) {
  CheckDateTime(t);
  return "'" + platform::FormatTime(t) + "'";
}

std::vector<std::string> InsertStatementLines(const CallLiterals& l) {
  return {
      "insert into SMP_CALLS (ID_SMP_CALLS, PATIENT_ID, CALL_DATE, CALL_TIME, AGE_VALUE, AGE_EI, ",
      kIndent23 + "PATIENT_ADDRESS, CALLING_INFO, COMPLAINTS, CALL_TIME_BEGIN, CALL_TIME_END, CALL_GO_TIME_OUT, ",
      kIndent23 + "CALL_TOTAL_TIME, MKB_KOD, DOCTOR_KOD, SMP_STAFF, HELP_LPU_WHERE, DATE_INPUT, USER_ID, CALL_TYPE, ",
      kIndent23 + "CALL_STAFF_SPEC, CALL_TARGET, CALL_RESULT, HOSPITAL_KOD, CALL_DIFFICULTIES, ",
      kIndent23 + "CALL_TRAUMA, CALL_LENGTH, CALL_NUMBER, EFFECTS, TEL, DRINKED, ",
      kIndent23 + "CALL_TIME_ARRIVAL, CALL_GO_TIME, CALL_TIME_IN_SMP, ",
      kIndent23 + "CALL_PARAM, CALL_PLACE, CALL_HOW_TO_CAR, CALL_LATER_REASON, CALL_WHAT_TO_DO)",
      kIndent15 + "values (:P_ID_SMP_CALLS, :P_PATIENT_ID, " + l.callDate + ", " + l.callTime +
          ", :P_AGE_VALUE, :P_AGE_EI, ",
      kIndent23 + ":P_PATIENT_ADDRESS, :P_CALLING_INFO, :P_COMPLAINTS, " + l.timeBegin + ", " + l.timeEnd +
          ", :P_CALL_GO_TIME_OUT,",
      kIndent23 + ":P_CALL_TOTAL_TIME, :P_MKB_KOD, :P_DOCTOR_KOD, :P_SMP_STAFF, :P_HELP_LPU_WHERE, " + l.dateInput +
          ", :P_USER_ID, :P_CALL_TYPE, ",
      kIndent23 + ":P_CALL_STAFF_SPEC, :P_CALL_TARGET, :P_CALL_RESULT, :P_HOSPITAL_KOD, :P_CALL_DIFFICULTIES, ",
      kIndent23 + ":P_CALL_TRAUMA, :P_CALL_LENGTH, :P_CALL_NUMBER, :P_EFFECTS, :P_TEL, :P_DRINKED, ",
      l.timeArrival + ", ",
      l.goTime + ", ",
      l.timeInSmp + ", ",
      kIndent23 + ":P_CALL_PARAM, :P_CALL_PLACE, :P_CALL_HOW_TO_CAR, :P_CALL_LATER_REASON, :P_CALL_WHAT_TO_DO)",
  };
}

CallLiterals LiteralsOf(cds::TClientDataSet& calls) {
  auto date = [&](const char* c) {
    try {
      return DateLiteral(DateTimeOf(calls, c));
    } catch (const platform::EConvertError& e) {
      throw platform::EConvertError(std::string(c) + ": " + e.message());
    }
  };
  auto time = [&](const char* c) {
    try {
      return TimeLiteral(DateTimeOf(calls, c));
    } catch (const platform::EConvertError& e) {
      throw platform::EConvertError(std::string(c) + ": " + e.message());
    }
  };
  CallLiterals l;
  l.callDate = date("CALL_DATE");
  l.callTime = time("CALL_TIME");
  l.timeBegin = time("CALL_TIME_BEGIN");
  l.timeEnd = time("CALL_TIME_END");
  l.dateInput = date("DATE_INPUT");
  l.timeArrival = time("CALL_TIME_ARRIVAL");
  l.goTime = time("CALL_GO_TIME");
  l.timeInSmp = time("CALL_TIME_IN_SMP");
  return l;
}

std::string DeleteStatement(platform::TDateTime first, platform::TDateTime last) {
  return "delete from SMP_CALLS T1 where T1.DATE_INPUT between " + DateLiteral(first) + " and " +
         DateLiteral(last);
}

std::string GeneratorStatement(int64_t maxId) { return "set generator GEN_SMP_CALLS_ID to " + platform::IntToStr(maxId); }

std::string ImportErrorText(const std::string& className, const std::string& message) {
  static const std::string lead = platform::Utf8ToCp1251("Ошибка при импорте СМП-данных :");
  return lead + className + ", " + message;
}

std::string SkippedCallLine(const std::string& callId, const std::string& errText) {
  static const std::string a = platform::Utf8ToCp1251("Вызов СМП ");
  static const std::string b = platform::Utf8ToCp1251(" не загружен: ");
  return a + callId + b + errText;
}

}  // namespace tasks::smp

namespace {

namespace smp = tasks::smp;

// The file a packet path names, for error texts.
std::string PacketPath(const std::string& dir, const char* file) {
  std::string p = dir;
  if (!p.empty() && p.back() != '/' && p.back() != '\\') p.push_back('/');
  return p + file;
}

// The period of the package: the first row of "INTERVAL.xml". Both days must be there and
// the first must not lie after the last: a package without a sound period would delete
// calls it does not replace.
void ReadPeriod(cds::TClientDataSet& period, const std::string& path, double& first, double& last) {
  period.First();
  if (period.Eof() || period.IsEmpty()) throw cds::EDBClient("Packet \"" + path + "\" holds no period row");
  for (const char* name : {"F_DATE_BEGIN", "F_DATE_END"}) {
    cds::TField* f = period.FindField(name);
    if (!f) throw cds::EDBClient("Packet \"" + path + "\": field " + name + " not found");
    if (f->IsNull()) throw cds::EDBClient("Packet \"" + path + "\": field " + name + " is empty");
  }
  first = period.FieldByName("F_DATE_BEGIN").AsDateTime();
  last = period.FieldByName("F_DATE_END").AsDateTime();
  smp::DateLiteral(first);  // range checks
  smp::DateLiteral(last);
  if (std::trunc(first) > std::trunc(last))
    throw cds::EDBClient("Packet \"" + path + "\": the period begins " + platform::FormatDate(first) +
                         " after its end " + platform::FormatDate(last));
}

// Every column the insert reads must be in the call packet; else each call would fail on
// its own and the period would be emptied without a word.
void CheckCallColumns(cds::TClientDataSet& calls, const std::string& path) {
  for (const std::string& c : smp::InsertColumns()) {
    if (!calls.FindField(c)) throw cds::EDBClient("Packet \"" + path + "\": field " + c + " not found");
  }
}

}  // namespace

bool TdmScheduler::InsertSMPCall(cds::TClientDataSet& Calls, std::string& ErrText) {
  ErrText.clear();
  try {
    fbdb::Query q(SQLConnection);
    q.setSqlLines(smp::InsertStatementLines(smp::LiteralsOf(Calls)));
    q.prepare();
    for (const char* c : smp::kIntegerParams) q.param(std::string("P_") + c).setInteger(Calls.FieldByName(c).AsInteger());
    for (const char* c : smp::kTextParams) q.param(std::string("P_") + c).setString(Calls.FieldByName(c).AsString());
    q.execSQL();
    return true;
  } catch (const std::exception& e) {
    ErrText = smp::ClassNameOf(e) + ", " + e.what();
    return false;
  }
}

void TdmScheduler::ImportSMPCalls(const std::string& Dir, std::string& ErrMsg) {
  ErrMsg.clear();
  ITaskUi& ui = Ui();
  fbdb::TTransactionDesc td;
  td.TransactionID = smp::kTransactionId;
  td.IsolationLevel = 0;  // read committed
  bool started = false;
  bool busy = false;
  std::vector<std::string> skipped;
  try {
    // All patients, for the check by IDP.
    cds::TFbDataSetChain patients(SQLConnection, "dspPatient", "SELECT * FROM PATIENT");
    patients.ClientDataSet.Open();
    fbdb::Query updBlob(SQLConnection);
    updBlob.setSql(smp::kUpdateBlobStatement);
    fbdb::Query maxId(SQLConnection);
    fbdb::Query setGen(SQLConnection);
    cds::TClientDataSet calls;
    cds::TClientDataSet period;

    ui.SetBusyCursor(true);
    busy = true;
    ui.ProcessMessages();

    SQLConnection.StartTransaction(td);
    started = true;

    cds::TClientDataSet& pat = patients.ClientDataSet;
    pat.AddIndex("byIDP", "IDP");
    pat.SetIndexName("byIDP");

    const std::string intervalPath = PacketPath(Dir, smp::kIntervalFile);
    period.LoadFromFile(intervalPath);
    double first = 0, last = 0;
    ReadPeriod(period, intervalPath, first, last);
    SQLConnection.ExecuteDirect(smp::DeleteStatement(first, last));

    const std::string callsPath = PacketPath(Dir, smp::kCallsFile);
    calls.LoadFromFile(callsPath);
    CheckCallColumns(calls, callsPath);
    cds::TField* form = calls.FindField(smp::kFormColumn);
    cds::TField& patientId = calls.FieldByName("PATIENT_ID");
    cds::TField& callId = calls.FieldByName("ID_SMP_CALLS");

    int row = 0;
    for (calls.First(); !calls.Eof(); calls.Next()) {
      ++row;
      bool found;
      try {
        found = pat.FindKey({cds::Value(patientId.AsString())});
      } catch (const platform::EConvertError& e) {
        throw cds::EDBClient("Packet \"" + callsPath + "\", row " + platform::IntToStr(row) +
                             ", field PATIENT_ID: " + e.message());
      }
      if (!found) continue;
      std::string err;
      if (InsertSMPCall(calls, err)) {
        if (form && !form->IsNull()) {
          updBlob.param("P_ID").setInteger(callId.AsInteger());
          updBlob.param("P_BLOB").setBlob(form->AsString());
          updBlob.execSQL();
        }
      } else {
        skipped.push_back(smp::SkippedCallLine(callId.AsString(), err));
      }
    }

    maxId.setSql(smp::kMaxIdStatement);
    maxId.open();
    const bool hasRow = !maxId.eof();
    const int64_t top = hasRow ? maxId.field(0).asInt64() : 0;  // an empty table: NULL, 0
    maxId.close();
    if (hasRow) {
      setGen.setSql(smp::GeneratorStatement(top));
      setGen.execSQL();
    }

    SQLConnection.Commit(td);
    started = false;
  } catch (const std::exception& e) {
    if (busy) ui.SetBusyCursor(false);
    busy = false;
    if (started) {
      try {
        SQLConnection.Rollback(td);
      } catch (...) {
        // the error that ended the import is the one to report
      }
    }
    skipped.clear();
    ErrMsg = smp::ImportErrorText(smp::ClassNameOf(e), e.what());
  }
  if (busy) ui.SetBusyCursor(false);
  ui.ProcessMessages();
  for (const std::string& line : skipped) ui.AddProtocolLine(line);
}

#include "tasks/Task_FilialMerge.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <memory>
#include <optional>

#include "archive/arcUnZip.h"
#include "db/ClientDataSet.h"
#include "db/DataPacket.h"
#include "db/Provider.h"
#include "db/ProviderFb.h"
#include "db/fbdb.h"
#include "platform/codepage.h"
#include "platform/dates.h"
#include "platform/exception.h"
#include "platform/strutil.h"
#include "tasks/Scheduler_DM.h"

namespace tasks {

void (*FilialMergeCommitHook)() = nullptr;

namespace {

using cds::TClientDataSet;
using cds::TField;
using cds::Value;

std::string W(const char* utf8) { return platform::Utf8ToCp1251(utf8); }

// One item of the result text: framed by the marker and ended by ";". The shell reads
// the text with "@" as the quote character, so an "@" inside is doubled.
std::string Item(const std::string& marker, const std::string& text) {
  if (marker.empty()) return text + ";";
  return marker + platform::StringReplaceAll(text, marker, marker + marker) + marker + ";";
}

bool Exists(const std::string& fsPath);
std::optional<std::string> FindEntry(const std::string& dirFs, const std::string& name);

// ---------------------------------------------------------------- branch packets

enum Branch {
  bConst, bPatient, bVisit, bVisitAG, bVisitMI, bVisitPREG, bVisitRKV, bDisp, bDiseases, bInvalid, bHosp, bDrugs,
  bDiff, bReab, bServ, bNotice, bAnal, bPatPreg, bRecepts, bActions, bHospList, bDD, bMO, kBranchCount
};

struct IndexSpec {
  const char* name;
  const char* fields;
};

struct BranchSpec {
  const char* file;
  std::array<IndexSpec, 2> indexes;  // the second one may be empty
  const char* active;
};

const std::array<BranchSpec, kBranchCount> kBranch = {{
    {"CONST_PARAMS.xml", {{{"PARAMS_PATIENT_IND", "IDP"}, {nullptr, nullptr}}}, "PARAMS_PATIENT_IND"},
    {"PATIENT.xml", {{{"PATIENT_IND", "IDP"}, {nullptr, nullptr}}}, "PATIENT_IND"},
    {"VISIT.xml", {{{"VISIT_IDV_IND", "IDV"}, {"VISIT_IN_HANDLE_IND", "PATIENT_ID;HANDLE_ID;DATE_VISIT;IDV"}}},
     "VISIT_IN_HANDLE_IND"},
    {"VISIT_AG.xml", {{{"VISIT_AG_IND", "IDV"}, {nullptr, nullptr}}}, "VISIT_AG_IND"},
    {"VISIT_MI.xml", {{{"VISIT_MI_IND", "IDV"}, {nullptr, nullptr}}}, "VISIT_MI_IND"},
    {"VISIT_PREG.xml", {{{"VISIT_PREG_IND", "ID_VISITS_PREG"}, {nullptr, nullptr}}}, "VISIT_PREG_IND"},
    {"VISIT_RKV.xml", {{{"VISIT_RKV_IND", "IDV"}, {nullptr, nullptr}}}, "VISIT_RKV_IND"},
    {"DISP.xml", {{{"DISP_ID_IND", "ID"}, {"DISP_PAT_IND", "IDP"}}}, "DISP_PAT_IND"},
    {"DISEASES.xml", {{{"DIS_IDD_IND", "IDD"}, {"DIS_VISIT_IND", "VISIT_ID"}}}, "DIS_VISIT_IND"},
    {"AG_INVALID.xml", {{{"INV_ID_IND", "ID"}, {"INV_IDP_IND", "PATIENT_ID"}}}, "INV_IDP_IND"},
    {"AG_HOSP.xml", {{{"HOSP_ID_IND", "ID"}, {"HOSP_IDP_IND", "PATIENT_ID"}}}, "HOSP_IDP_IND"},
    {"AG_DRUGS.xml", {{{"DRUG_ID_IND", "ID_AG_DRUGS"}, {"DRUG_IDP_IND", "IDP"}}}, "DRUG_IDP_IND"},
    {"AG_DIFFICULTIES.xml", {{{"DIFF_ID_IND", "ID"}, {"DIFF_IDP_IND", "PATIENT_ID"}}}, "DIFF_IDP_IND"},
    {"REAB_MI.xml", {{{"REAB_ID_IND", "ID"}, {"REAB_IND", "PATIENT_ID"}}}, "REAB_IND"},
    {"SERVICES.xml", {{{"SERV_ID_IND", "IDS"}, {"SERV_IND", "PATIENT_ID"}}}, "SERV_IND"},
    {"NOTICE.xml", {{{"NOTICE_ID_IND", "IDI"}, {"NOTICE_IND", "PATIENT_ID"}}}, "NOTICE_IND"},
    {"ANALSELF.xml", {{{"ANAL_ID_IND", "ID"}, {"ANAL_IND", "IDP"}}}, "ANAL_IND"},
    {"PAT_RREGNANCY.xml", {{{"PAT_IND", "IDP"}, {nullptr, nullptr}}}, "PAT_IND"},
    {"RECEPTS.xml", {{{"REC_ID_IND", "ID_RECEPTS"}, {"REC_IND", "PATIENT_ID"}}}, "REC_IND"},
    {"ACTIONS_PAT.xml", {{{"ACT_ID_IND", "ID"}, {"ACTION_IND", "PATIENT_ID"}}}, "ACTION_IND"},
    {"HOSPLIST.xml", {{{"HOSP_LIST_ID_IND", "ID_HOSPITAL_LIST"}, {"HOSP_LIST_IND", "PATIENT_ID"}}}, "HOSP_LIST_IND"},
    {"DD.xml", {{{"DD_ID_IND", "ID"}, {"DD_IND", "IDP"}}}, "DD_IND"},
    {"MO.xml", {{{"MO_ID_IND", "ID"}, {"MO_IND", "IDP"}}}, "MO_IND"},
}};

// ---------------------------------------------------------------- centre datasets

enum Centre {
  cConst, cPatPreg, cPatient, cVisit, cVisitAG, cVisitMI, cVisitPREG, cVisitRKV, cDisp, cDiseases, cHosp, cDiff,
  cInvalid, cDrugs, cReab, cServ, cNotice, cAnal, cRecepts, cActions, cHospList, cDD, cMO, kCentreCount
};

struct CentreSpec {
  const char* sql;       // the statement; a bounded one gets the date bound appended
  bool bounded;
  const char* provider;
  std::array<IndexSpec, 3> indexes;
  const char* active;
  int tag;
};

const std::array<CentreSpec, kCentreCount> kCentre = {{
    {"SELECT * FROM PATIENT_CONST_PARAMS", false, "dspConstParams",
     {{{"CONST_PARAMS_IND", "IDP"}, {nullptr, nullptr}, {nullptr, nullptr}}}, "CONST_PARAMS_IND", 0},
    {"SELECT * FROM PAT_RREGNANCY", false, "dspPatPreg",
     {{{"PAT_PREG_IND", "IDP"}, {nullptr, nullptr}, {nullptr, nullptr}}}, "PAT_PREG_IND", 0},
    {"SELECT * FROM PATIENT", false, "dspPatient",
     {{{"PATIENT_ID_IND", "IDP"},
       {"PATIENT_POLICE_IND", "POLICY_SERIA;POLICY_NUM"},
       {"PATIENT_PERSON_IND", "LAST_NAME;FIRST_NAME;MIDDLE_NAME;BIRTHDAY"}}},
     "PATIENT_POLICE_IND", 0},
    {"SELECT * FROM VISITS WHERE DATE_VISIT > ", true, "dspVisit",
     {{{"VISIT_ID_IND", "IDV"}, {"VISIT_UNIQ_IND", "PATIENT_ID;DATE_VISIT;DOCTOR"}, {nullptr, nullptr}}},
     "VISIT_ID_IND", 0},
    {"SELECT * FROM VISITS_AG WHERE DATE_INPUT > ", true, "dspVisitAG",
     {{{"VISIT_AG_ID_IND", "IDV"}, {nullptr, nullptr}, {nullptr, nullptr}}}, "VISIT_AG_ID_IND", 0},
    {"SELECT * FROM VISITS_MI WHERE DATE_INPUT > ", true, "dspVisitMI",
     {{{"VISIT_MI_ID_IND", "IDV"}, {nullptr, nullptr}, {nullptr, nullptr}}}, "VISIT_MI_ID_IND", 0},
    {"SELECT * FROM VISITS_PREG WHERE DATE_INPUT > ", true, "dspVisitPREG",
     {{{"VISIT_PREG_ID_IND", "ID_VISITS_PREG"}, {nullptr, nullptr}, {nullptr, nullptr}}}, "VISIT_PREG_ID_IND", 0},
    {"SELECT * FROM VISITS_RKV WHERE DATE_INPUT > ", true, "dspVisitRKV",
     {{{"VISIT_RKV_ID_IND", "IDV"}, {nullptr, nullptr}, {nullptr, nullptr}}}, "VISIT_RKV_ID_IND", 0},
    {"SELECT * FROM DISPENSARY WHERE DATE_INPUT > ", true, "dspDisp",
     {{{"DISP_UNIQ_IND", "IDP;MKB;DATE_BEGIN"}, {"DISP_ID_IND", "ID"}, {nullptr, nullptr}}}, "DISP_ID_IND", 1},
    {"SELECT * FROM DISEASES WHERE DATE_INPUT > ", true, "dspDiseases",
     {{{"DISEASES_ID_IND", "IDD"}, {"DISEASES_UNIQ_IND", "VISIT_ID;MKB_KOD"}, {nullptr, nullptr}}},
     "DISEASES_ID_IND", 0},
    {"SELECT * FROM AG_HOSP WHERE DATE_INPUT > ", true, "dspHosp",
     {{{"HOSP_ID_IND", "ID"}, {"HOSP_UNIQ_IND", "PATIENT_ID;DATE_HOSP;MKB_KOD"}, {nullptr, nullptr}}},
     "HOSP_ID_IND", 2},
    {"SELECT * FROM AG_DIFFICULTIES WHERE DATE_INPUT > ", true, "dspDiff",
     {{{"DIFF_ID_IND", "ID"}, {"DIFF_UNIQ_IND", "PATIENT_ID;DATE_DIFF;MKB_KOD"}, {nullptr, nullptr}}},
     "DIFF_ID_IND", 3},
    {"SELECT * FROM AG_INVALID where DATE_INPUT > ", true, "dspInvalid",
     {{{"INV_ID_IND", "ID"}, {"INV_UNIQ_IND", "PATIENT_ID;DATE_INVALID;MKB_KOD"}, {nullptr, nullptr}}},
     "INV_ID_IND", 5},
    {"SELECT * FROM AG_DRUGS WHERE DATE_INPUT > ", true, "dspDrugs",
     {{{"DRUG_ID_IND", "ID_AG_DRUGS"}, {"DRUG_UNIQ_IND", "IDP;DRUG_ID;DATE_BEGIN"}, {nullptr, nullptr}}},
     "DRUG_ID_IND", 4},
    {"SELECT * FROM REAB_MI WHERE DATE_INPUT > ", true, "dspReab",
     {{{"REAB_ID_IND", "ID"}, {"REAB_UNIQ_IND", "PATIENT_ID;DATE_BEGIN;REAB_MI_KOD"}, {nullptr, nullptr}}},
     "REAB_ID_IND", 6},
    {"SELECT * FROM SERVICES WHERE DATE_CHANGE > ", true, "dspServices",
     {{{"SERV_ID_IND", "IDS"}, {"SERV_UNIQ_IND", "PATIENT_ID;DATEN;KOD"}, {nullptr, nullptr}}}, "SERV_ID_IND", 7},
    {"SELECT * FROM NOTICE WHERE DATE_INPUT > ", true, "dspNotice",
     {{{"NOTICE_ID_IND", "IDI"}, {"NOTICE_UNIQ_IND", "PATIENT_ID;DATED;MKB"}, {nullptr, nullptr}}},
     "NOTICE_ID_IND", 8},
    {"SELECT * FROM ANALSELF WHERE INPUTDATE > ", true, "dspAnal",
     {{{"ANAL_ID_IND", "ID"}, {"ANAL_UNIQ_IND", "IDP;DATEA;KOD_AN"}, {nullptr, nullptr}}}, "ANAL_ID_IND", 9},
    {"SELECT * FROM RECEPTS WHERE INPUTDATE > ", true, "dspRecepts",
     {{{"REC_ID_IND", "ID_RECEPTS"}, {"REC_UNIQ_IND", "PATIENT_ID;RECEPT_DATE;DRUG_KOD;MKB_KOD"}, {nullptr, nullptr}}},
     "REC_ID_IND", 10},
    {"SELECT * FROM ACTIONS_PAT WHERE DATE_INPUT > ", true, "dspActionPat",
     {{{"ACT_ID_IND", "ID"}, {"ACT_UNIQ_IND", "PATIENT_ID;DATE_BEGIN;ACTIONS_KOD"}, {nullptr, nullptr}}},
     "ACT_ID_IND", 11},
    {"SELECT * FROM HOSPITAL_LIST WHERE DATE_INPUT > ", true, "dspHospList",
     {{{"HOSP_LIST_ID_IND", "ID_HOSPITAL_LIST"}, {"HOSP_LIST_UNIQ_IND", "PATIENT_ID;VISIT_ID"}, {nullptr, nullptr}}},
     "HOSP_LIST_ID_IND", 12},
    {"SELECT * FROM PAT_KARTA_DD WHERE DATE_INPUT > ", true, "dspDD",
     {{{"DD_ID_IND", "ID"}, {"DD_UNIQ_IND", "IDP;IDV"}, {nullptr, nullptr}}}, "DD_ID_IND", 13},
    {"SELECT * FROM MEDOSM WHERE DATE_INPUT > ", true, "dspMO",
     {{{"MO_ID_IND", "ID"}, {"MO_UNIQ_IND", "IDP;IDV"}, {nullptr, nullptr}}}, "MO_ID_IND", 14},
}};

// ---------------------------------------------------------------- id counters and blocks

enum Counter {
  kPatient, kVisit, kDisp, kDiseases, kDiff, kDrugs, kHosp, kInvalid, kReab, kServ, kNotice, kAnal, kRecepts,
  kActions, kHospList, kDD, kMO, kCounterCount
};

struct IdBlockSpec {
  const char* sql;
  const char* generator;
  Branch packet;
  const char* objectWord;  // UTF-8
  Counter counter;
};

const std::array<IdBlockSpec, kCounterCount> kIdBlocks = {{
    {"select * from PATIENT_GEN_ID", "GEN_IDP", bPatient, "пациентов", kPatient},
    {"select * from VISIT_GEN_ID (:P_ID_PATIENT)", "GEN_VISIT_ID", bVisit, "посещений", kVisit},
    {"select * from DISPENSARY_GEN_ID", "GEN_DISPENSARY_ID", bDisp, "диспансерного учета", kDisp},
    {"select * from DISEASES_GEN_ID", "GEN_DIS_ID", bDiseases, "заболеваний", kDiseases},
    {"select * from AG_DIFFICULTIES_GEN_ID", "GEN_AG_DIFFICULTIES_ID", bDiff, "осложнений", kDiff},
    {"select * from AG_DRUGS_GEN_ID", "GEN_AG_DRUGS_ID", bDrugs, "лекарств", kDrugs},
    {"select * from AG_HOSP_GEN_ID", "GEN_AG_HOSP_ID", bHosp, "госпитализаций", kHosp},
    {"select * from AG_INVALID_GEN_ID", "GEN_AG_INVALID_ID", bInvalid, "инвалидностей", kInvalid},
    {"select * from REAB_MI_GEN_ID", "GEN_REAB_MI_ID", bReab, "реабилитаций", kReab},
    {"select * from SERVICES_GEN_ID", "GEN_SERV_ID", bServ, "услуг", kServ},
    {"select * from NOTICE_GEN_ID", "GEN_NOTICE_ID", bNotice, "КВ-извещений", kNotice},
    {"select * from ASELF_GEN_ID", "GEN_ASELF_ID", bAnal, "анализов", kAnal},
    {"select * from RECEPTS_GEN_ID", "GEN_ID_RECEPTS", bRecepts, "рецептов", kRecepts},
    {"select * from ACTIONS_PAT_GEN_ID", "GEN_ACTIONS_PAT_ID", bActions, "оздоровительных мероприятий", kActions},
    {"select * from HOSPITAL_LIST_GEN_ID", "GEN_HOSPITAL_LIST_ID", bHospList, "больничных листов", kHospList},
    {"select * from DD_GEN_ID", "GEN_DD_ID", bDD, "карт ДД", kDD},
    {"select * from MO_GEN_ID", "GEN_MO_ID", bMO, "медицинских осмотров", kMO},
}};

// ---------------------------------------------------------------- dependent registers

struct RegisterSpec {
  Branch packet;
  Centre centre;
  const char* keyField;
  const char* patientField;
  const char* idIndex;
  const char* uniqIndex;
  Counter counter;
};

const std::array<RegisterSpec, 14> kRegisters = {{
    {bDisp, cDisp, "ID", "IDP", "DISP_ID_IND", "DISP_UNIQ_IND", kDisp},
    {bHosp, cHosp, "ID", "PATIENT_ID", "HOSP_ID_IND", "HOSP_UNIQ_IND", kHosp},
    {bDiff, cDiff, "ID", "PATIENT_ID", "DIFF_ID_IND", "DIFF_UNIQ_IND", kDiff},
    {bDrugs, cDrugs, "ID_AG_DRUGS", "IDP", "DRUG_ID_IND", "DRUG_UNIQ_IND", kDrugs},
    {bInvalid, cInvalid, "ID", "PATIENT_ID", "INV_ID_IND", "INV_UNIQ_IND", kInvalid},
    {bReab, cReab, "ID", "PATIENT_ID", "REAB_ID_IND", "REAB_UNIQ_IND", kReab},
    {bServ, cServ, "IDS", "PATIENT_ID", "SERV_ID_IND", "SERV_UNIQ_IND", kServ},
    {bNotice, cNotice, "IDI", "PATIENT_ID", "NOTICE_ID_IND", "NOTICE_UNIQ_IND", kNotice},
    {bAnal, cAnal, "ID", "IDP", "ANAL_ID_IND", "ANAL_UNIQ_IND", kAnal},
    {bRecepts, cRecepts, "ID_RECEPTS", "PATIENT_ID", "REC_ID_IND", "REC_UNIQ_IND", kRecepts},
    {bActions, cActions, "ID", "PATIENT_ID", "ACT_ID_IND", "ACT_UNIQ_IND", kActions},
    {bHospList, cHospList, "ID_HOSPITAL_LIST", "PATIENT_ID", "HOSP_LIST_ID_IND", "HOSP_LIST_UNIQ_IND", kHospList},
    {bDD, cDD, "ID", "IDP", "DD_ID_IND", "DD_UNIQ_IND", kDD},
    {bMO, cMO, "ID", "IDP", "MO_ID_IND", "MO_UNIQ_IND", kMO},
}};

// ---------------------------------------------------------------- apply order

struct ApplySpec {
  Centre centre;
  const char* caption;  // UTF-8
};

const std::array<ApplySpec, kCentreCount> kApplyOrder = {{
    {cPatient, "Таблица ПАЦИЕНТОВ"},
    {cConst, "Таблица ПОСТОЯННЫХ ХАРАК-К ПАЦИЕНТОВ"},
    {cDisp, "Таблица ДИСПАНСЕРИЗАЦИИ"},
    {cDiseases, "Таблица ЗАБОЛЕВАНИЙ"},
    {cVisit, "Таблица ПОСЕЩЕНИЙ"},
    {cVisitAG, "Таблица АГ-ПОСЕЩЕНИЙ"},
    {cVisitMI, "Таблица МИ-ПОСЕЩЕНИЙ"},
    {cVisitPREG, "Таблица ПОСЕЩЕНИЙ БЕРЕМЕННЫХ"},
    {cVisitRKV, "Таблица КВ-ПОСЕЩЕНИЙ"},
    {cHosp, "Таблица ГОСПИТАЛИЗАЦИЙ"},
    {cDiff, "Таблица ОСЛОЖНЕНИЙ"},
    {cInvalid, "Таблица ИНВАЛИДНОСТИ"},
    {cDrugs, "Таблица спец. ПРЕПАРАТОВ"},
    {cReab, "Таблица РЕАБИЛИТАЦИЙ"},
    {cServ, "Таблица мед. УСЛУГ"},
    {cNotice, "Таблица КВ-извещений"},
    {cPatPreg, "Таблица СОСТОЯНИЯ БЕРЕМЕННОСТИ"},
    {cAnal, "Таблица АНАЛИЗОВ"},
    {cRecepts, "Таблица ЛЬГОТНЫХ РЕЦЕПТОВ"},
    {cActions, "Таблица ОЗДОРОВИТЕЛЬНЫХ МЕРОПРИЯТИЙ"},
    {cHospList, "Таблица БОЛЬНИЧНЫХ ЛИСТОВ"},
    {cDD, "Таблица ДД"},
    {cMO, "Таблица МО"},
}};

// ---------------------------------------------------------------- copy rules

// For each column of the branch row from the last down to column `from`, the centre
// field of the same name (when there is one) takes the branch value, nulls included.
// `skip` names a column left out; `kodPatient` (when set) replaces KOD_PATIENT.
void PositionCopy(TClientDataSet& src, TClientDataSet& dst, int from, const char* skip = nullptr,
                  const std::string* kodPatient = nullptr) {
  for (int i = src.FieldCount() - 1; i >= from; --i) {
    TField& f = src.Fields(i);
    if (skip && platform::SameText(f.FieldName(), skip)) continue;
    TField* d = dst.FindField(f.FieldName());
    if (!d) continue;
    if (kodPatient && platform::SameText(f.FieldName(), "KOD_PATIENT")) d->SetAsString(*kodPatient);
    else d->SetValue(f.AsValue());
  }
}

// For each field of the centre dataset, except those named, the branch field of the same
// name (when there is one) gives its value.
void NameCopy(TClientDataSet& src, TClientDataSet& dst, std::initializer_list<const char*> except) {
  for (int i = 0; i < dst.FieldCount(); ++i) {
    TField& d = dst.Fields(i);
    bool skipped = false;
    for (const char* e : except) skipped = skipped || platform::SameText(d.FieldName(), e);
    if (skipped) continue;
    if (TField* s = src.FindField(d.FieldName())) d.SetValue(s->AsValue());
  }
}

Value IntKey(TClientDataSet& ds, const char* field) { return Value::Int32(ds.FieldByName(field).AsInteger()); }
Value TextKey(TClientDataSet& ds, const char* field) { return Value(ds.FieldByName(field).AsString()); }
Value DateKey(TClientDataSet& ds, const char* field) {
  TField& f = ds.FieldByName(field);
  return f.IsNull() ? Value::Null(cds::FType::Stamp) : Value::DateTime(f.AsDateTime());
}

// The unique key of a dependent register's branch row, chosen by the centre's Tag.
std::vector<Value> UniqueKeyOf(int tag, TClientDataSet& b) {
  switch (tag) {
    case 1: return {IntKey(b, "IDP"), TextKey(b, "MKB"), DateKey(b, "DATE_BEGIN")};
    case 2: return {IntKey(b, "PATIENT_ID"), DateKey(b, "DATE_HOSP"), TextKey(b, "MKB_KOD")};
    case 3: return {IntKey(b, "PATIENT_ID"), DateKey(b, "DATE_DIFF"), TextKey(b, "MKB_KOD")};
    case 4: return {IntKey(b, "IDP"), IntKey(b, "DRUG_ID"), DateKey(b, "DATE_BEGIN")};
    case 5: return {IntKey(b, "PATIENT_ID"), DateKey(b, "DATE_INVALID"), TextKey(b, "MKB_KOD")};
    case 6: return {IntKey(b, "PATIENT_ID"), DateKey(b, "DATE_BEGIN"), TextKey(b, "REAB_MI_KOD")};
    case 7: return {IntKey(b, "PATIENT_ID"), DateKey(b, "DATEN"), TextKey(b, "KOD")};
    case 8: return {IntKey(b, "PATIENT_ID"), DateKey(b, "DATED"), TextKey(b, "MKB")};
    case 9: return {IntKey(b, "IDP"), DateKey(b, "DATEA"), IntKey(b, "KOD_AN")};
    case 10:
      return {IntKey(b, "PATIENT_ID"), DateKey(b, "RECEPT_DATE"), IntKey(b, "DRUG_KOD"), TextKey(b, "MKB_KOD")};
    case 11: return {IntKey(b, "PATIENT_ID"), DateKey(b, "DATE_BEGIN"), IntKey(b, "ACTIONS_KOD")};
    case 12: return {IntKey(b, "PATIENT_ID"), IntKey(b, "VISIT_ID")};
    case 13:
    case 14: return {IntKey(b, "IDP"), IntKey(b, "IDV")};
    default: throw platform::Exception("No unique key for the table tag " + platform::IntToStr(tag));
  }
}

Value Id(int64_t v) { return Value::Int32(static_cast<int32_t>(v)); }

// ---------------------------------------------------------------- merges of two workstations

// Two workstations may merge the same export at overlapping times (timers armed over one
// branch folder). Ids come from generators, which stand outside transactions, so nothing
// collides: a merge that read the centre before the other one committed would create the
// other one's new patients again. So every merge first updates the one row of
// FILIAL_MERGE_LOCK in its transaction and holds that row lock until it commits or rolls
// back; the next merge waits for the row and only then reads the centre, seeing what the
// first one committed. No other writer touches the row.
constexpr const char* kMergeLockTable = "FILIAL_MERGE_LOCK";
// How long a merge waits for another one before it gives up (its archive is kept).
constexpr int kMergeLockWaitSeconds = 120;

bool HasRow(fbdb::SqlConnection& c, const std::string& sql) {
  fbdb::Query q(c);
  q.setSql(sql);
  q.open();
  const bool found = !q.eof();
  q.close();
  return found;
}

// The clinic schema script makes the table with its row; a clinic database made without
// it gets both from its first merge (each statement committed at once; a workstation
// that made them at the same moment is no failure).
void EnsureMergeLockRow(fbdb::SqlConnection& c) {
  const std::string table = kMergeLockTable;
  if (!HasRow(c, "select 1 from RDB$RELATIONS where RDB$RELATION_NAME = '" + table + "'")) {
    try {
      c.ExecuteDirect("create table " + table + " (ID integer not null primary key, MERGED_AT timestamp)");
    } catch (const fbdb::EDatabaseError&) {
      // Made by another workstation meanwhile; anything else fails the reads below.
    }
  }
  if (!HasRow(c, "select 1 from " + table + " where ID = 1")) {
    try {
      c.ExecuteDirect("insert into " + table + " (ID) values (1)");
    } catch (const fbdb::EDatabaseError&) {
      // Inserted by another workstation meanwhile.
    }
  }
}

// A lock held by another transaction: still held after the wait, or released by a commit
// after which a read-committed update of the row conflicts once.
bool IsLockConflict(const fbdb::EFbError& e) {
  constexpr long kDeadlock = 335544336L, kLockConflict = 335544345L, kUpdateConflict = 335544451L,
                 kLockTimeout = 335544510L;
  const long c = e.gdsCode();
  return c == kDeadlock || c == kLockConflict || c == kUpdateConflict || c == kLockTimeout;
}

// ---------------------------------------------------------------- one archive

class FilialMerge {
public:
  FilialMerge(TdmScheduler& dm, const std::string& path, const std::string& folder, const std::string& marker,
              bool setKod, std::string& protocol)
      : dm_(dm), path_(path), folder_(folder), marker_(marker), setKod_(setKod), protocol_(protocol),
        desc_{500, 0, 0, 0} {}

  // False when an id block or an apply failed (the item is in the protocol).
  bool Run();
  // Rolls back what is still open and frees everything of the archive.
  void CleanUp() noexcept;

private:
  TClientDataSet& B(Branch b) { return *branch_[b]; }
  TClientDataSet& C(Centre c) { return chain_[c]->ClientDataSet; }

  void LoadBranch();
  bool TakeMergeLock();
  void OpenCentre();
  bool ReserveIdBlocks();
  bool Apply();
  std::string ApplyFilialUpdates();
  bool CentreHasPatient(int32_t idp);

  void Pass1NewPatients();
  void Pass2KnownPatients();
  void Pass2Single(Branch packet, Centre centre);
  void Pass3NewVisits();
  void Pass4ChangedVisits();
  void Pass5Diseases();
  void Pass6Registers();

  void CopyVisitParts(int32_t visitId, int32_t patientId);
  void UpdateVisitParts();
  void CopyVisitDiseases(int32_t branchVisit, int32_t patientId, int32_t visitId);
  void CopyPatientRows(const RegisterSpec& r, int32_t branchIdp, int32_t newIdp);
  void MergeFilialTable(const RegisterSpec& r, int64_t counter);

  TdmScheduler& dm_;
  const std::string& path_;
  const std::string& folder_;
  const std::string& marker_;
  bool setKod_;
  std::string& protocol_;
  fbdb::TTransactionDesc desc_;

  std::array<std::unique_ptr<TClientDataSet>, kBranchCount> branch_;
  std::array<std::unique_ptr<cds::TFbDataSetChain>, kCentreCount> chain_;
  std::unique_ptr<fbdb::Query> idQuery_;
  std::array<int64_t, kCounterCount> counter_{};
};

bool FilialMerge::Run() {
  LoadBranch();
  idQuery_ = std::make_unique<fbdb::Query>(dm_.SQLConnection);
  const std::string bound = FilialDateBound(dm_.Today());
  EnsureMergeLockRow(dm_.SQLConnection);
  dm_.SQLConnection.StartTransaction(desc_);
  if (!TakeMergeLock()) return false;
  for (int c = 0; c < kCentreCount; ++c) {
    const CentreSpec& s = kCentre[c];
    const std::string sql = s.bounded ? std::string(s.sql) + bound : std::string(s.sql);
    chain_[c] = std::make_unique<cds::TFbDataSetChain>(dm_.SQLConnection, s.provider, sql);
  }
  OpenCentre();
  if (!ReserveIdBlocks()) return false;
  Pass1NewPatients();
  if (!Apply()) return false;
  Pass2KnownPatients();
  if (!Apply()) return false;
  Pass3NewVisits();
  if (!Apply()) return false;
  Pass4ChangedVisits();
  Pass5Diseases();
  if (!Apply()) return false;
  Pass6Registers();
  if (!Apply()) return false;
  if (FilialMergeCommitHook) FilialMergeCommitHook();
  dm_.SQLConnection.Commit(desc_);
  if (!marker_.empty())
    protocol_ = Item(marker_, W("ФИЛИАЛ->ЦЕНТР: файл ") + path_ + W(" - успешная актуализация"));
  return true;
}

void FilialMerge::CleanUp() noexcept {
  try {
    if (dm_.SQLConnection.InTransaction()) dm_.SQLConnection.Rollback(desc_);
  } catch (...) {
    // The connection is gone; the server drops the transaction with it.
  }
  for (auto& c : chain_) c.reset();
  for (auto& b : branch_) b.reset();
  idQuery_.reset();
  DeleteFilialXml(folder_);
}

bool FilialMerge::TakeMergeLock() {
  // Each attempt waits as long as the connection waits for a lock; a merge that ended
  // meanwhile makes the next attempt succeed at once.
  const int wait = dm_.SQLConnection.lockTimeout();
  const int attempts = std::max(2, wait > 0 ? (kMergeLockWaitSeconds + wait - 1) / wait : 1);
  const std::string sql =
      std::string("update ") + kMergeLockTable + " set MERGED_AT = current_timestamp where ID = 1";
  for (int i = 1;; ++i) {
    try {
      dm_.SQLConnection.ExecuteDirect(sql);
      return true;
    } catch (const fbdb::EFbError& e) {
      if (!IsLockConflict(e)) throw;
      if (i >= attempts) break;
    }
  }
  // Nothing of this archive was read or written: it keeps its name for the next run.
  protocol_ += Item(marker_, W("ФИЛИАЛ->ЦЕНТР:") + W(" файл ") + "\"" + path_ + "\"" +
                                 W(" - центральная БД занята слиянием на другом рабочем месте, файл оставлен"));
  return false;
}

void FilialMerge::LoadBranch() {
  // The packets of one archive share one memory budget against the archive's size, so
  // that a small archive cannot take gigabytes through many packets.
  struct stat st;
  const uint64_t archiveBytes =
      ::stat(platform::ToFsPath(path_).c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
  cds::TPacketBudget budget = cds::TPacketBudget::ForArchive(archiveBytes);
  for (int b = 0; b < kBranchCount; ++b) {
    const BranchSpec& s = kBranch[b];
    branch_[b] = std::make_unique<TClientDataSet>();
    TClientDataSet& ds = *branch_[b];
    // The packet names of an archive may come in any letter case.
    const std::optional<std::string> entry = FindEntry(platform::ToFsPath(folder_), s.file);
    ds.LoadFromFile(folder_ + (entry ? platform::FromFsPath(*entry) : std::string(s.file)), &budget);
    for (const IndexSpec& ix : s.indexes)
      if (ix.name) ds.AddIndex(ix.name, ix.fields);
    ds.SetIndexName(s.active);
  }
}

void FilialMerge::OpenCentre() {
  for (int c = 0; c < kCentreCount; ++c) {
    const CentreSpec& s = kCentre[c];
    TClientDataSet& ds = chain_[c]->ClientDataSet;
    if (c == cPatient) {
      TdmScheduler* dm = &dm_;
      ds.OnReconcileError = [dm](TClientDataSet& d, const cds::EReconcileError& e, cds::TUpdateKind k,
                                 cds::TReconcileAction& a) { dm->cdsPatientReconcileError(d, e, k, a); };
    }
    ds.Open();
    for (const IndexSpec& ix : s.indexes)
      if (ix.name) ds.AddIndex(ix.name, ix.fields);
    ds.SetIndexName(s.active);
    if (s.tag) ds.Tag = s.tag;
  }
}

bool FilialMerge::ReserveIdBlocks() {
  fbdb::Query& q = *idQuery_;
  for (const IdBlockSpec& s : kIdBlocks) {
    q.close();
    q.setSql(s.sql);
    if (q.findParam("P_ID_PATIENT")) q.param("P_ID_PATIENT").setInteger(0);
    q.open();
    bool ok = !q.eof();
    int64_t base = 0;
    if (ok) base = q.field(0).asInteger();
    q.close();
    const int64_t count = B(s.packet).RecordCount();
    // A block that would reach past the centre's ids would give centre rows branch ids
    // (and make this database fail the centre check): it is refused like a missing one.
    if (ok && !FilialIdBlockFits(base, count)) ok = false;
    if (!ok) {
      protocol_ = Item(marker_, W("ФИЛИАЛ->ЦЕНТР:") + W(" файл ") + "\"" + path_ + "\"" +
                                    W(" - не удалось получить ID ") + W(s.objectWord));
      return false;
    }
    counter_[s.counter] = base;
    dm_.SQLConnection.ExecuteDirect(std::string("set generator ") + s.generator + " to " +
                                    platform::IntToStr(base + count));
  }
  return true;
}

std::string FilialMerge::ApplyFilialUpdates() {
  std::string result;
  for (size_t i = 0; i < kApplyOrder.size(); ++i) {
    TClientDataSet& ds = C(kApplyOrder[i].centre);
    if (ds.ChangeCount() > 0 && ds.ApplyUpdates(1) > 0) {
      result = W(kApplyOrder[i].caption) + W(": ошибка при сохранении данных. Филиал - ") + folder_;
      // The shell splits the text into protocol lines at blanks outside the markers: the
      // item is framed whatever the table, so that it stays one line.
      return marker_.empty() ? result : Item(marker_, result);
    }
  }
  return result;
}

bool FilialMerge::Apply() {
  protocol_ = ApplyFilialUpdates();
  return protocol_.empty();
}

bool FilialMerge::CentreHasPatient(int32_t idp) {
  TClientDataSet& p = C(cPatient);
  p.SetIndexName("PATIENT_ID_IND");
  return p.FindKey({Value::Int32(idp)});
}

// ---- pass 1: new branch patients with everything that hangs on them

void FilialMerge::Pass1NewPatients() {
  TClientDataSet& bp = B(bPatient);
  TClientDataSet& cp = C(cPatient);
  TClientDataSet& bv = B(bVisit);
  const Value firstDate = Value::Date(static_cast<int32_t>(platform::StrToDate("01.01.2000")));
  const Value today = Value::Date(static_cast<int32_t>(dm_.Today()));
  bp.SetRange({Value::Int32(kBranchIdMin)}, {Value::Int32(kIdMax)});
  for (bp.First(); !bp.Eof(); bp.Next()) {
    const int32_t branchIdp = bp.FieldByName("IDP").AsInteger();
    // 1. policy match
    cp.SetIndexName("PATIENT_POLICE_IND");
    TField& seria = bp.FieldByName("POLICY_SERIA");
    TField& num = bp.FieldByName("POLICY_NUM");
    if (!seria.IsNull() && !num.IsNull() && cp.FindKey({seria.AsValue(), num.AsValue()})) continue;
    // 2. person match
    cp.SetIndexName("PATIENT_PERSON_IND");
    const bool person = cp.FindKey({Value(bp.FieldByName("LAST_NAME").AsString()), bp.FieldByName("FIRST_NAME").AsValue(),
                                    bp.FieldByName("MIDDLE_NAME").AsValue(),
                                    Value(bp.FieldByName("BIRTHDAY").AsString())});
    cp.SetIndexName("PATIENT_POLICE_IND");
    if (person) continue;
    // 3. the patient
    const int32_t newIdp = static_cast<int32_t>(++counter_[kPatient]);
    const std::string kod = platform::IntToStr(newIdp);
    cp.Append();
    cp.FieldByName("IDP").SetValue(Id(newIdp));
    PositionCopy(bp, cp, 1, nullptr, setKod_ ? &kod : nullptr);
    cp.Post();
    // 4, 5. constant parameters and pregnancy state (one row at most)
    for (auto [packet, centre] : {std::pair{bConst, cConst}, std::pair{bPatPreg, cPatPreg}}) {
      TClientDataSet& b = B(packet);
      if (!b.FindKey({Value::Int32(branchIdp)})) continue;
      TClientDataSet& c = C(centre);
      c.Append();
      c.FieldByName("IDP").SetValue(Id(newIdp));
      PositionCopy(b, c, 1);
      c.Post();
      b.Delete();
    }
    // 6. visits inside the handle range, their extensions and diseases
    bv.SetRange({Value::Int32(branchIdp), Value::Int32(1), firstDate, Value::Int32(1)},
                {Value::Int32(branchIdp), Value::Int32(kIdMax), today, Value::Int32(kIdMax)});
    TClientDataSet& cv = C(cVisit);
    for (bv.First(); !bv.Eof();) {
      const int32_t branchIdv = bv.FieldByName("IDV").AsInteger();
      const int32_t newIdv = static_cast<int32_t>(++counter_[kVisit]);
      cv.Append();
      cv.FieldByName("IDV").SetValue(Id(newIdv));
      cv.FieldByName("PATIENT_ID").SetValue(Id(newIdp));
      PositionCopy(bv, cv, 2);
      cv.Post();
      CopyVisitParts(newIdv, newIdp);
      CopyVisitDiseases(branchIdv, newIdp, newIdv);
      bv.Delete();
    }
    // 7. dependent registers
    for (const RegisterSpec& r : kRegisters) CopyPatientRows(r, branchIdp, newIdp);
  }
}

// The extension rows of the current branch visit, under the new visit id.
void FilialMerge::CopyVisitParts(int32_t visitId, int32_t patientId) {
  const int32_t branchIdv = B(bVisit).FieldByName("IDV").AsInteger();
  static const std::array<std::pair<Branch, Centre>, 4> parts = {
      {{bVisitAG, cVisitAG}, {bVisitMI, cVisitMI}, {bVisitPREG, cVisitPREG}, {bVisitRKV, cVisitRKV}}};
  for (auto [packet, centre] : parts) {
    TClientDataSet& b = B(packet);
    if (!b.FindKey({Value::Int32(branchIdv)})) continue;
    TClientDataSet& c = C(centre);
    c.Append();
    c.FieldByName(centre == cVisitPREG ? "ID_VISITS_PREG" : "IDV").SetValue(Id(visitId));
    c.FieldByName("PATIENT_ID").SetValue(Id(patientId));
    PositionCopy(b, c, 2);
    c.Post();
    b.Delete();
  }
}

void FilialMerge::UpdateVisitParts() {
  const int32_t branchIdv = B(bVisit).FieldByName("IDV").AsInteger();
  static const std::array<std::pair<Branch, Centre>, 4> parts = {
      {{bVisitAG, cVisitAG}, {bVisitMI, cVisitMI}, {bVisitPREG, cVisitPREG}, {bVisitRKV, cVisitRKV}}};
  for (auto [packet, centre] : parts) {
    TClientDataSet& b = B(packet);
    if (!b.FindKey({Value::Int32(branchIdv)})) continue;
    TClientDataSet& c = C(centre);
    if (!c.FindKey({Value::Int32(branchIdv)})) continue;
    if (b.FieldByName("DATE_INPUT").AsDateTime() < c.FieldByName("DATE_INPUT").AsDateTime()) continue;
    c.Edit();
    PositionCopy(b, c, 2);
    c.Post();
    b.Delete();
  }
}

void FilialMerge::CopyVisitDiseases(int32_t branchVisit, int32_t patientId, int32_t visitId) {
  TClientDataSet& bd = B(bDiseases);
  TClientDataSet& cd = C(cDiseases);
  bd.SetRange({Value::Int32(branchVisit)}, {Value::Int32(branchVisit)});
  for (bd.First(); !bd.Eof();) {
    const int32_t newIdd = static_cast<int32_t>(++counter_[kDiseases]);
    cd.Append();
    cd.FieldByName("IDD").SetValue(Id(newIdd));
    cd.FieldByName("PATIENT_ID").SetValue(Id(patientId));
    cd.FieldByName("VISIT_ID").SetValue(Id(visitId));
    NameCopy(bd, cd, {"IDD", "PATIENT_ID", "VISIT_ID"});
    cd.Post();
    bd.Delete();
  }
}

void FilialMerge::CopyPatientRows(const RegisterSpec& r, int32_t branchIdp, int32_t newIdp) {
  TClientDataSet& b = B(r.packet);
  TClientDataSet& c = C(r.centre);
  b.SetRange({Value::Int32(branchIdp)}, {Value::Int32(branchIdp)});
  for (b.First(); !b.Eof();) {
    c.Append();
    c.FieldByName(r.keyField).SetValue(Id(counter_[r.counter]));
    c.FieldByName(r.patientField).SetValue(Id(newIdp));
    NameCopy(b, c, {r.keyField, r.patientField});
    c.Post();
    b.Delete();
    ++counter_[r.counter];
  }
}

// ---- pass 2: patients the centre knows

void FilialMerge::Pass2KnownPatients() {
  TClientDataSet& bp = B(bPatient);
  TClientDataSet& cp = C(cPatient);
  bp.SetRange({Value::Int32(0)}, {Value::Int32(kCentreIdMax)});
  cp.SetIndexName("PATIENT_ID_IND");
  for (bp.First(); !bp.Eof(); bp.Next()) {
    if (!cp.FindKey({Value::Int32(bp.FieldByName("IDP").AsInteger())})) continue;
    if (bp.FieldByName("DATE_INPUT").AsDateTime() < cp.FieldByName("DATE_INPUT").AsDateTime()) continue;
    cp.Edit();
    PositionCopy(bp, cp, 1, "KOD_PATIENT");
    cp.Post();
  }
  bp.CancelRange();
  Pass2Single(bConst, cConst);
  Pass2Single(bPatPreg, cPatPreg);
}

void FilialMerge::Pass2Single(Branch packet, Centre centre) {
  TClientDataSet& b = B(packet);
  TClientDataSet& c = C(centre);
  for (b.First(); !b.Eof();) {
    const int32_t idp = b.FieldByName("IDP").AsInteger();
    if (c.FindKey({Value::Int32(idp)})) {
      if (b.FieldByName("DATE_INPUT").AsDateTime() >= c.FieldByName("DATE_INPUT").AsDateTime()) c.Edit();
    } else if (CentreHasPatient(idp)) {
      c.Append();
      c.FieldByName("IDP").SetValue(Id(idp));
    }
    if (c.State() == cds::TDataSetState::dsEdit || c.State() == cds::TDataSetState::dsInsert) {
      PositionCopy(b, c, 1);
      c.Post();
    }
    b.Delete();
  }
}

// ---- pass 3: new branch visits of patients the centre holds

void FilialMerge::Pass3NewVisits() {
  TClientDataSet& bv = B(bVisit);
  TClientDataSet& cv = C(cVisit);
  bv.CancelRange();
  cv.SetIndexName("VISIT_UNIQ_IND");
  bv.SetIndexName("VISIT_IDV_IND");
  bv.SetRange({Value::Int32(kBranchIdMin)}, {Value::Int32(kIdMax)});
  for (bv.First(); !bv.Eof();) {
    const int32_t patientId = bv.FieldByName("PATIENT_ID").AsInteger();
    const int32_t branchIdv = bv.FieldByName("IDV").AsInteger();
    if (CentreHasPatient(patientId) &&
        !cv.FindKey({Value::Int32(patientId), bv.FieldByName("DATE_VISIT").AsValue(),
                     bv.FieldByName("DOCTOR").AsValue()})) {
      const int32_t newIdv = static_cast<int32_t>(++counter_[kVisit]);
      cv.Append();
      cv.FieldByName("IDV").SetValue(Id(newIdv));
      PositionCopy(bv, cv, 1);
      cv.Post();
      CopyVisitParts(newIdv, patientId);
      CopyVisitDiseases(branchIdv, patientId, newIdv);
    }
    bv.Delete();
  }
}

// ---- pass 4: changed visits

void FilialMerge::Pass4ChangedVisits() {
  TClientDataSet& bv = B(bVisit);
  TClientDataSet& cv = C(cVisit);
  cv.SetIndexName("VISIT_ID_IND");
  bv.SetRange({Value::Int32(1)}, {Value::Int32(kCentreIdMax)});
  for (bv.First(); !bv.Eof();) {
    if (CentreHasPatient(bv.FieldByName("PATIENT_ID").AsInteger()) &&
        cv.FindKey({Value::Int32(bv.FieldByName("IDV").AsInteger())}) &&
        bv.FieldByName("DATE_CHANGE").AsDateTime() >= cv.FieldByName("DATE_CHANGE").AsDateTime()) {
      cv.Edit();
      PositionCopy(bv, cv, 1);
      cv.Post();
      UpdateVisitParts();
    }
    bv.Delete();
  }
}

// ---- pass 5: new and changed diseases of visits the centre holds

void FilialMerge::Pass5Diseases() {
  TClientDataSet& bd = B(bDiseases);
  TClientDataSet& cd = C(cDiseases);
  TClientDataSet& cv = C(cVisit);
  cv.SetIndexName("VISIT_ID_IND");
  cd.SetIndexName("DISEASES_UNIQ_IND");
  bd.SetIndexName("DIS_IDD_IND");
  bd.SetRange({Value::Int32(kBranchIdMin)}, {Value::Int32(kIdMax)});
  for (bd.First(); !bd.Eof();) {
    const int32_t visitId = bd.FieldByName("VISIT_ID").AsInteger();
    if (cv.FindKey({Value::Int32(visitId)}) &&
        !cd.FindKey({Value::Int32(visitId), Value(bd.FieldByName("MKB_KOD").AsString())})) {
      const int32_t newIdd = static_cast<int32_t>(++counter_[kDiseases]);
      cd.Append();
      cd.FieldByName("IDD").SetValue(Id(newIdd));
      cd.FieldByName("PATIENT_ID").SetValue(cv.FieldByName("PATIENT_ID").AsValue());
      cd.FieldByName("VISIT_ID").SetValue(Id(visitId));
      NameCopy(bd, cd, {"IDD", "PATIENT_ID", "VISIT_ID"});
      cd.Post();
    }
    bd.Delete();
  }
  cd.SetIndexName("DISEASES_ID_IND");
  bd.SetIndexName("DIS_VISIT_IND");
  bd.SetRange({Value::Int32(1)}, {Value::Int32(kCentreIdMax)});
  for (bd.First(); !bd.Eof();) {
    if (cv.FindKey({Value::Int32(bd.FieldByName("VISIT_ID").AsInteger())}) &&
        cd.FindKey({Value::Int32(bd.FieldByName("IDD").AsInteger())}) &&
        bd.FieldByName("DATE_INPUT").AsDateTime() >= cd.FieldByName("DATE_INPUT").AsDateTime()) {
      cd.Edit();
      NameCopy(bd, cd, {"IDD", "PATIENT_ID", "VISIT_ID"});
      cd.Post();
    }
    bd.Delete();
  }
}

// ---- pass 6: dependent registers

void FilialMerge::Pass6Registers() {
  for (const RegisterSpec& r : kRegisters) B(r.packet).SetIndexName(r.idIndex);
  for (const RegisterSpec& r : kRegisters) MergeFilialTable(r, counter_[r.counter]);
}

void FilialMerge::MergeFilialTable(const RegisterSpec& r, int64_t counter) {
  TClientDataSet& b = B(r.packet);
  TClientDataSet& c = C(r.centre);
  b.SetRange({Value::Int32(kBranchIdMin)}, {Value::Int32(kIdMax)});
  c.SetIndexName(r.uniqIndex);
  for (b.First(); !b.Eof();) {
    const int32_t patient = b.FieldByName(r.patientField).AsInteger();
    if (CentreHasPatient(patient) && !c.FindKey(UniqueKeyOf(c.Tag, b))) {
      ++counter;
      c.Append();
      c.FieldByName(r.keyField).SetValue(Id(counter));
      c.FieldByName(r.patientField).SetValue(Id(patient));
      NameCopy(b, c, {r.keyField, r.patientField});
      c.Post();
    }
    b.Delete();
  }
  b.SetRange({Value::Int32(1)}, {Value::Int32(kCentreIdMax)});
  c.SetIndexName(r.idIndex);
  const bool updates = !platform::SameText(r.idIndex, "DD_ID_IND") && !platform::SameText(r.idIndex, "MO_ID_IND");
  for (b.First(); !b.Eof();) {
    if (updates && CentreHasPatient(b.FieldByName(r.patientField).AsInteger()) &&
        c.FindKey({Value::Int32(b.FieldByName(r.keyField).AsInteger())})) {
      c.Edit();
      NameCopy(b, c, {r.keyField, r.patientField});
      c.Post();
    }
    b.Delete();
  }
}

// ---------------------------------------------------------------- file helpers

bool IsDir(const std::string& fsPath) {
  struct stat st;
  return ::stat(fsPath.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool Exists(const std::string& fsPath) {
  struct stat st;
  return ::lstat(fsPath.c_str(), &st) == 0;
}

// Calls `visit(entry, name)` for each entry of folder `dirFs` (its name as on the disk and
// in CP1251) until it returns false.
template <class Visit>
void ScanEntries(const std::string& dirFs, Visit visit) {
  DIR* d = ::opendir(dirFs.empty() ? "." : dirFs.c_str());
  if (!d) return;
  while (dirent* e = ::readdir(d)) {
    const std::string entry = e->d_name;
    if (entry == "." || entry == "..") continue;
    if (!visit(entry, platform::FromFsPath(entry))) break;
  }
  ::closedir(d);
}

// The entry of folder `dirFs` whose name equals `name` (CP1251) without regard to case:
// the exact name when it exists, else the first such entry; nullopt when none.
std::optional<std::string> FindEntry(const std::string& dirFs, const std::string& name) {
  const std::string exact = platform::ToFsPath(name);
  if (Exists(dirFs + exact)) return exact;
  std::optional<std::string> found;
  ScanEntries(dirFs, [&](const std::string& entry, const std::string& entryName) {
    if (!platform::AnsiSameText(entryName, name)) return true;
    found = entry;
    return false;
  });
  return found;
}

}  // namespace

const std::vector<std::string>& FilialPacketFiles() {
  static const std::vector<std::string> files = [] {
    std::vector<std::string> v;
    for (const BranchSpec& s : kBranch) v.emplace_back(s.file);
    return v;
  }();
  return files;
}

std::string FilialFolderOf(std::string_view archivePath) {
  const size_t p = archivePath.find_last_of("/\\");
  return p == std::string_view::npos ? std::string() : std::string(archivePath.substr(0, p + 1));
}

std::string FilialDateBound(platform::TDateTime today) {
  const std::string text = platform::FormatDate(static_cast<double>(static_cast<int64_t>(today)) - 365);
  return "'" + platform::StringReplaceAll(text, "'", "''") + "'";
}

std::string FilialLoadedName(std::string_view archivePath) {
  return platform::StringReplaceAll(platform::AnsiUpperCase(archivePath), ".ZIP", ".LOAD");
}

bool FilialIdBlockFits(int64_t base, int64_t count) {
  return base >= 0 && count >= 0 && base + count <= kCentreIdMax;
}

void DeleteFilialXml(const std::string& folder) {
  // Every entry that answers to a packet name without regard to case: an archive may
  // carry its packets as "PATIENT.XML".
  const std::string dirFs = platform::ToFsPath(folder);
  std::vector<std::string> doomed;
  ScanEntries(dirFs, [&](const std::string& entry, const std::string& name) {
    for (const std::string& f : FilialPacketFiles())
      if (platform::AnsiSameText(name, f)) {
        doomed.push_back(entry);
        break;
      }
    return true;
  });
  for (const std::string& entry : doomed) {
    const std::string fs = dirFs + entry;
    struct stat st;
    if (::lstat(fs.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) ::unlink(fs.c_str());
  }
}

bool RenameFilialArchive(const std::string& from, const std::string& to) {
  const std::string fromFs = platform::ToFsPath(from);
  struct stat src;
  if (from.empty() || to.empty() || ::lstat(fromFs.c_str(), &src) != 0) return false;
  // Walk the new name's folders through the names that exist. A folder the new name only
  // upper-cases is the archive's own: a sibling whose name differs from it only in case
  // ("a" and "A") must not take the file.
  std::vector<std::string> parts = platform::Split(to, '/');
  const std::vector<std::string> fromParts = platform::Split(from, '/');
  const bool sameDepth = fromParts.size() == parts.size();
  std::string dirFs = to[0] == '/' ? "/" : "";
  for (size_t i = 0; i + 1 < parts.size(); ++i) {
    if (parts[i].empty() || parts[i] == ".") continue;
    if (parts[i] == "..") {
      dirFs += "../";
      continue;
    }
    if (sameDepth && platform::AnsiSameText(parts[i], fromParts[i])) {
      dirFs += platform::ToFsPath(fromParts[i]) + "/";
      continue;
    }
    const std::optional<std::string> entry = FindEntry(dirFs, parts[i]);
    if (!entry || !IsDir(dirFs + *entry)) return false;
    dirFs += *entry + "/";
  }
  const std::string& leaf = parts.back();
  if (leaf.empty()) return false;
  const std::string toFs = dirFs + platform::ToFsPath(leaf);
  if (const std::optional<std::string> entry = FindEntry(dirFs, leaf)) {
    // Only the file itself may answer to the new name (a change of letter case).
    struct stat st;
    if (::lstat((dirFs + *entry).c_str(), &st) != 0 || st.st_ino != src.st_ino || st.st_dev != src.st_dev)
      return false;
    return ::rename(fromFs.c_str(), toFs.c_str()) == 0;
  }
  if (::renameat2(AT_FDCWD, fromFs.c_str(), AT_FDCWD, toFs.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  // File systems without the no-replace rename: a hard link fails when the name exists.
  if (::link(fromFs.c_str(), toFs.c_str()) != 0) return false;
  ::unlink(fromFs.c_str());
  return true;
}

}  // namespace tasks

// ---------------------------------------------------------------- the task body

void TdmScheduler::cdsPatientReconcileError(cds::TClientDataSet&, const cds::EReconcileError& E,
                                            cds::TUpdateKind UpdateKind, cds::TReconcileAction&) {
  Ui().AddProtocolLine("cdsPatient, OnReconcileError: " + E.Context() + ", " + E.className() + ", " + E.message() +
                       ", " + platform::IntToStr(static_cast<int>(UpdateKind)));
}

void TdmScheduler::DealingFilialDB(bool AFlag, const std::vector<std::string>& AFiles, bool ASetKod,
                                   std::string& AProtocol) {
  using tasks::Item;
  using tasks::W;
  const std::string marker = AFlag ? "@" : "";
  AProtocol.clear();
  // Items of archives that did not give their 23 packets: each apply replaces the text,
  // so they are kept aside and lead the text at the end, whatever happens after them.
  std::string incomplete;
  // The class name as the shell shows it: the program's own exceptions name themselves,
  // others give their type name.
  auto exceptionItem = [&](const std::string& path, const std::exception& e) {
    AProtocol += Item(marker, W("ФИЛИАЛ->ЦЕНТР:") + W(" файл ") + path + " " + platform::ExceptionClassName(e) +
                                  " - " + e.what());
  };
  // One archive; false when the call ends with it.
  auto one = [&](const std::string& path) -> bool {
    const std::string folder = tasks::FilialFolderOf(path);
    tasks::DeleteFilialXml(folder);
    int32_t extracted = 0;
    try {
      UnZip1->SetArchiveFile(path);
      UnZip1->SetExtractDir(folder);
      UnZip1->FileSpec.clear();
      UnZip1->FileSpec.push_back("*.xml");
      extracted = UnZip1->Extract();
    } catch (const std::exception& e) {
      // Only a full disk (or a failing handler) ends an extraction this way: the archive
      // fails like any other.
      exceptionItem(path, e);
      tasks::DeleteFilialXml(folder);
      return false;
    }
    const int32_t packets = static_cast<int32_t>(tasks::FilialPacketFiles().size());
    if (extracted != packets) {
      // Nothing is merged, and what was unpacked goes.
      tasks::DeleteFilialXml(folder);
      if (tasks::Exists(platform::ToFsPath(path))) {
        // A damaged or foreign archive keeps its name, so that the next run tries it
        // again, and the operator is told.
        incomplete += Item(marker, W("ФИЛИАЛ->ЦЕНТР:") + W(" файл ") + "\"" + path + "\"" + W(" - извлечено файлов ") +
                                       platform::IntToStr(extracted) + W(" из ") + platform::IntToStr(packets));
        return true;
      }
      // A listed archive that is gone: only its renaming (which fails) is reported.
    } else {
      bool failed = false;
      tasks::FilialMerge merge(*this, path, folder, marker, ASetKod, AProtocol);
      try {
        failed = !merge.Run();
      } catch (const std::exception& e) {
        failed = true;
        try {
          if (SQLConnection.InTransaction()) SQLConnection.Rollback(SQLConnection.transactionDesc());
        } catch (...) {
        }
        exceptionItem(path, e);
      }
      merge.CleanUp();
      if (failed) return false;
    }
    const std::string newName = tasks::FilialLoadedName(path);
    if (!tasks::RenameFilialArchive(path, newName) && AFlag) {
      AProtocol += Item(marker, W("Не удалось переименовать файл ") + "\"" + path + "\"" + W(" в")) +
                   Item(marker, W("файл ") + "\"" + newName + "\"");
    }
    return true;
  };
  for (const std::string& path : AFiles)
    if (!one(path)) break;
  AProtocol = incomplete + AProtocol;
}

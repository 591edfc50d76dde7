#include "tasks/XmlImport.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <optional>
#include <thread>
#include <vector>

#include "db/fbdb.h"
#include "tasks/Scheduler_DM.h"
#include "tasks/TaskUi.h"
#include "platform/codepage.h"
#include "platform/strutil.h"
#include "tasks/XmlDom.h"
#include "tasks/XmlImportRules.h"

namespace tasks {

namespace xmlsql {
const char* const kSelectBySnils = "select IDP from PATIENT where SNILS_KOD=:P_SNILS";
const char* const kSelectByPolicy = "select IDP from PATIENT where POLICY_SERIA=:P_POLSER and POLICY_NUM=:P_POLNUM";
const char* const kInsertPatient =
    "insert into PATIENT (IDP,KOD_PATIENT,SNILS_KOD,LAST_NAME,FIRST_NAME,MIDDLE_NAME,BIRTHDAY,GENDER,REGION_KOD,"
    "FULL_ADDRESS,FAKT_ADRES,DISTRICT_KOD,KLADR,KLADRS,NAS_PUNKT_KOD,STREET_KOD,HOUSE_NUMBER,KORPUS_NAME,FLAT_NUMBER,"
    "LOCALITY_NAME,POLICY_SERIA,POLICY_NUM,COMPANY_KOD,POLICE_DATE_BEGIN,POLICE_DATE_END,SOCIAL_STATUS_KOD,"
    "MY_HOSPITAL_KOD,STOM_HOSP_KOD,GIN_HOSP_KOD,ENP,IDPF,VPOLICY,INVALID_KOD,MR,DOCUMENT_NAME,DOCUMENT_SERIA_NAME,"
    "DOCUMENT_NUMBER,UPDATE_DATE,DATEPRIK,IS_AG,IS_DEAD,IS_PREG,IS_MI,IS_RKV,IS_IMMUN,IS_UPDATE) "
    "VALUES(:P_IDP,:PKOD_PATIENT,:PSNILS_KOD,:PLAST_NAME,:PFIRST_NAME,:PMIDDLE_NAME,:PBIRTHDAY,:PGENDER,:PREGION_KOD,"
    ":PFULL_ADDRESS,:PFAKT_ADRES,:PDISTRICT_KOD,:PKLADR,:PKLADRS,:PNAS_PUNKT_KOD,:PSTREET_KOD,:PHOUSE_NUMBER,"
    ":PKORPUS_NAME,:PFLAT_NUMBER,:PLOCALITY_NAME,:PPOLICY_SERIA,:PPOLICY_NUM,:PCOMPANY_KOD,:PPOLICE_DATE_BEGIN,"
    ":PPOLICE_DATE_END,:PSOCIAL_STATUS_KOD,:PMY_HOSPITAL_KOD,:PSTOM_HOSP_KOD,:PGIN_HOSP_KOD,:PENP,:PIDPF,:PVPOLICY,"
    ":PINVALID_KOD,:P_MR,:PDTYPE,:PDSER,:PDNUM,:PUPDATE_DATE,:PDATE_PRIK,0,0,0,0,0,0,1)";
const char* const kSelectDoctor = "select ID from DOCTORS where KOD=:P_KODVR and KOD_PROFESSION=:P_SPEC";
const char* const kSelectVisit = "select IDV from VISITS where PATIENT_ID=:P_IDP and DOCTOR=:P_DOCTOR and DATE_VISIT=:P_DATVIS";
const char* const kInsertVisit =
    "insert into VISITS (IDV,HANDLE_ID,PATIENT_ID,DATE_VISIT,DOCTOR,POLNUM,POLSERIA,COMP,CARE_GENDER,DATE_POL,RESULT,"
    "PURPOSE,WHERE_SERV_KOD,PAYMENT,LISTVN,DATE_INPUT,DATE_CHANGE,EXTR_HELP )values(:PIDV,:PHANDLE,:PIDP,:PDATVISIT,"
    ":PDOCTOR,:PPOLNUM,:PPOLSER,:PCOMP,:PVIDPOL,:PDATPOL,:PRESULT,:PPURPOSE,:PWHERE,:PPAYMENT,:POBR,:PDATIN,:PDATCH,"
    ":PEXTH)";
const char* const kInsertDisease =
    "insert into DISEASES (IDD,VISIT_ID,PATIENT_ID,DATE_INPUT,MKB_KOD,CASE_KOD,IS_MAIN_IN_VISIT,DISP_TYPE,"
    "DISP_END_REASON)values(:PIDD,:PIDV,:PIDP,:PDATIN,:PMKB,:PCASE,:PMAIN,:PDISPTYPE,:PDTREASON)";
}  // namespace xmlsql

namespace {

using platform::Copy;
using platform::IntToStr;

// The import's own texts, UTF-8 in the source, CP1251 in the program.
struct Texts {
  std::string noFile = platform::Utf8ToCp1251("Не задан файл");
  std::string loading = platform::Utf8ToCp1251("Загрузка реестра XML");
  std::string noIdp = platform::Utf8ToCp1251("Нет IDP ");
  std::string male = platform::Utf8ToCp1251("Мужской");
  std::string female = platform::Utf8ToCp1251("Женский");
  std::string processed = platform::Utf8ToCp1251("Обработано записей  - ");
  std::string patients = platform::Utf8ToCp1251("Добавлено пациентов - ");
  std::string visits = platform::Utf8ToCp1251("Добавлено посещений - ");
  std::string diagnoses = platform::Utf8ToCp1251("Добавлено заболеваний - ");
  std::string finished = platform::Utf8ToCp1251("Загрузка реестра XML завершена");
  std::string refreshDone = platform::Utf8ToCp1251("Актуализация БД выполнена!");
  std::string statusDone = platform::Utf8ToCp1251("Выполнение завершено");
  std::string xmlDone = platform::Utf8ToCp1251("Загрузка реестра XML выполнена!");
  std::string caption = platform::Utf8ToCp1251("Сообщение");
};

const Texts& texts() {
  static const Texts t;
  return t;
}

// Item of the task list that shows this task's status.
constexpr int kTaskItem = 9;
// Children of the body before the first record.
constexpr size_t kBodyHeadChildren = 6;

bool isSilentGroupError(const std::exception& e) {
  return dynamic_cast<const EXMLDocError*>(&e) != nullptr || dynamic_cast<const platform::EConvertError*>(&e) != nullptr;
}

// Runs one group of assignments: a missing element or a conversion error ends the group
// silently; every other error goes on.
template <class F>
void silentGroup(F&& f) {
  try {
    f();
  } catch (const std::exception& e) {
    if (!isSilentGroupError(e)) throw;
  }
}

std::optional<std::string> optionalText(const XmlNode& parent, std::string_view name) {
  std::optional<XmlNode> n = parent.findChild(name);
  if (!n) return std::nullopt;
  return n->text();
}

// The integer of a child element's text; raises EConvertError naming the element.
int32_t intOf(const XmlNode& parent, std::string_view name) {
  const std::string t = parent.requireChild(name).text();
  int32_t v;
  if (!platform::TryStrToInt(t, v))
    throw platform::EConvertError("'" + t + "' is not a valid integer value (" + std::string(name) + ")");
  return v;
}

// A "yyyy-mm-dd" element as "dd.mm.yyyy"; nullopt when the element is missing or empty.
// Raises EConvertError for a text that gives no valid date (used outside the silent
// groups, so a bad date stops the import instead of reaching the server).
std::optional<std::string> dateOf(const XmlNode& parent, std::string_view name) {
  std::optional<std::string> t = optionalText(parent, name);
  if (!t || platform::Trim(*t).empty()) return std::nullopt;
  std::string dmy = xmlreg::ymdToDmy(*t);
  if (!xmlreg::isValidDmy(dmy))
    throw platform::EConvertError("'" + *t + "' is not a valid date (" + std::string(name) + ")");
  return dmy;
}

// The policy start (DPFS/MTR/DATE_N) as "dd.mm.yyyy"; nullopt when it is not given.
std::optional<std::string> policyStart(const std::optional<XmlNode>& mtr) {
  return mtr ? dateOf(*mtr, "DATE_N") : std::nullopt;
}

void setOptionalDate(fbdb::Param& p, const std::optional<std::string>& dmy) {
  if (dmy)
    p.setString(*dmy);
  else
    p.setNull();
}

// "ClassName: message" of an error that ends a record.
std::string oneLine(const std::exception& e) {
  std::string d = platform::describe(e);
  size_t cr = d.find('\r');
  if (cr != std::string::npos) d.replace(cr, 1, ": ");
  return d;
}

class Import {
public:
  Import(IXmlImportUi& ui, const XmlImportDb& db, const XmlImportOptions& options)
      : ui_(ui), db_(db), opt_(options), today_(options.today != 0 ? options.today : platform::Date()) {}

  XmlImportResult run(const std::string& fileName, int runFromScheduler);

private:
  struct Counts {
    int patients = 0, visits = 0, diagnoses = 0;
  };

  void prepareStatements();
  void clearParameters();
  void processRecord(const XmlNode& z, Counts& c);
  int32_t insertPatient(const XmlNode& pacient, const XmlNode& pers, const XmlNode& dpfs,
                        const xmlreg::PolicyNumber& policy, const std::string& snils, const std::string& kind,
                        const std::optional<XmlNode>& mtr);
  void importCase(const XmlNode& z, int32_t idp, bool newPatient, const xmlreg::PolicyNumber& policy,
                  const std::string& kind, const std::optional<XmlNode>& mtr, Counts& c);
  const std::string& headerFileName();
  void rollbackRecord() noexcept;

  IXmlImportUi& ui_;
  const XmlImportDb& db_;
  XmlImportOptions opt_;
  platform::TDateTime today_;
  std::string file_;
  XmlNode header_;
  XmlNode body_;
  std::optional<std::string> headerFileName_;
  // Characters DOCUMENT_SERIA_NAME holds; nullopt when the schema does not say.
  std::optional<int64_t> docSeriesLength_;
};

void Import::prepareStatements() {
  const std::pair<fbdb::Query*, const char*> statements[] = {
      {&db_.Qry1, xmlsql::kSelectBySnils}, {&db_.Qry2, xmlsql::kSelectByPolicy}, {&db_.QryApp, xmlsql::kInsertPatient},
      {&db_.Qryw, xmlsql::kSelectDoctor},  {&db_.Qry3, xmlsql::kSelectVisit},    {&db_.QryUpd, xmlsql::kInsertVisit},
      {&db_.QryDis, xmlsql::kInsertDisease},
  };
  for (const auto& [q, sql] : statements) {
    q->close();
    q->setSql(sql);
    q->prepare();
  }
  // The length of the document series column, for a series too long for it.
  fbdb::Query len(db_.IBTran);
  len.setSql(
      "select coalesce(F.RDB$CHARACTER_LENGTH, F.RDB$FIELD_LENGTH) from RDB$RELATION_FIELDS R "
      "join RDB$FIELDS F on F.RDB$FIELD_NAME = R.RDB$FIELD_SOURCE "
      "where R.RDB$RELATION_NAME = 'PATIENT' and R.RDB$FIELD_NAME = 'DOCUMENT_SERIA_NAME'");
  len.open();
  docSeriesLength_ = len.eof() || len.field(0).isNull() ? std::nullopt : std::optional<int64_t>(len.field(0).asInt64());
  len.close();
}

void Import::clearParameters() {
  for (fbdb::Query* q : {&db_.Qry1, &db_.Qry2, &db_.QryApp, &db_.Qryw, &db_.Qry3, &db_.QryUpd, &db_.QryDis})
    q->clearParams();
  db_.spGenIDP.clearParams();
  db_.spIDVisit.clearParams();
  db_.spIDDiseases.clearParams();
}

const std::string& Import::headerFileName() {
  if (!headerFileName_) headerFileName_ = header_.requireChild("FILENAME").text();
  return *headerFileName_;
}

void Import::rollbackRecord() noexcept {
  for (fbdb::Transaction* t : {&db_.IBTran, &db_.IBTran2}) {
    try {
      t->rollback();
    } catch (...) {
      // The record's error is the one to report; a failed rollback ends with the connection.
    }
  }
}

XmlImportResult Import::run(const std::string& fileName, int runFromScheduler) {
  XmlImportResult result;
  const Texts& tx = texts();
  file_ = platform::Trim(fileName);
  if (file_.empty() && runFromScheduler == 0) {
    ui_.messageBox(tx.noFile);
    ui_.focusFileEdit();
    return result;
  }
  result.started = true;
  ui_.addTaskMessage(tx.loading);
  ui_.addTaskMessage(" ");
  prepareStatements();
  // What an earlier import or task left open is committed, as closing the connection
  // would: an import that stopped before its first record leaves both transactions open,
  // and the first lookup must see what other workstations committed since.
  db_.IBTran2.commit();
  db_.IBTran.commit();

  XmlDocument doc;
  doc.loadFromFile(file_);
  const XmlNode root = doc.documentElement();
  const std::vector<XmlNode> parts = root.childElements();
  if (parts.size() < 2) {
    ui_.setProgressMax(0);
    ui_.setProgressPosition(0);
    throw EXmlImportError("XML register \"" + file_ + "\": the root element \"" + root.name() + "\" has " +
                          IntToStr(static_cast<int64_t>(parts.size())) +
                          " child element(s); a header and a body are needed");
  }
  header_ = parts[0];
  body_ = parts[1];
  const std::vector<XmlNode> items = body_.childElements();
  const int records = static_cast<int>(items.size()) - static_cast<int>(kBodyHeadChildren);
  ui_.setProgressMax(std::max(records, 0));
  ui_.setProgressPosition(0);
  if (records < 0)
    throw EXmlImportError("XML register \"" + file_ + "\": the body \"" + body_.name() + "\" has " +
                          IntToStr(static_cast<int64_t>(items.size())) + " child element(s); at least " +
                          IntToStr(static_cast<int64_t>(kBodyHeadChildren)) + " are needed");
  result.records = records;

  int reconnectCounter = 0;
  for (size_t i = kBodyHeadChildren; i < items.size(); ++i) {
    Counts c;
    try {
      clearParameters();
      processRecord(items[i], c);
      if (db_.IBTran.active()) db_.IBTran.commit();
      if (db_.IBTran2.active()) db_.IBTran2.commit();
    } catch (const std::exception& e) {
      rollbackRecord();
      const long long number = static_cast<long long>(i - kBodyHeadChildren) + 1;
      throw EXmlImportError("XML register \"" + file_ + "\", record " + IntToStr(number) + " of " +
                            IntToStr(records) + " (element " + items[i].name() + " at position " +
                            IntToStr(static_cast<int64_t>(i)) + " of the body): " + oneLine(e));
    }
    result.patients += c.patients;
    result.visits += c.visits;
    result.diagnoses += c.diagnoses;

    ui_.progressStep();
    if (++reconnectCounter >= opt_.reconnectEvery) {
      reconnectCounter = 0;
      if (db_.IBDB.connected()) db_.IBDB.disconnect();
      db_.IBDB.connect();
      ++result.reconnects;
    }
    ui_.processEvents();
  }

  ui_.setProgressPosition(0);
  ui_.addTaskMessage(tx.processed + IntToStr(records));
  ui_.addTaskMessage(tx.patients + IntToStr(result.patients));
  ui_.addTaskMessage(tx.visits + IntToStr(result.visits));
  ui_.addTaskMessage(tx.diagnoses + IntToStr(result.diagnoses));
  ui_.addTaskMessage(tx.finished);

  if (runFromScheduler == 0) {
    ui_.setRefreshLabel(tx.refreshDone);
    ui_.appendTaskMessagesToProtocol();
    ui_.setTaskStatus(kTaskItem, tx.statusDone);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ui_.setXmlLabel(tx.xmlDone);
    ui_.processEvents();
  }
  return result;
}

void Import::processRecord(const XmlNode& z, Counts& c) {
  bool found = false;
  int32_t idp = 0;
  bool newPatient = false;

  const XmlNode pacient = z.requireChild("PACIENT");
  const XmlNode dpfs = pacient.requireChild("DPFS");
  const XmlNode pers = pacient.requireChild("PERS");
  const std::optional<XmlNode> mtr = dpfs.findChild("MTR");

  const xmlreg::PolicyNumber policy =
      xmlreg::derivePolicy(dpfs.requireChild("NPOLIS").text(), optionalText(dpfs, "SPOLIS"));
  const std::string snils = xmlreg::formatSnils(optionalText(pers, "SNILS").value_or(std::string()));
  const std::string kind = xmlreg::policyKindName(mtr ? optionalText(*mtr, "VPOLIS").value_or("") : "");

  if (!snils.empty()) {
    fbdb::Query& q = db_.Qry1;
    q.close();
    q.param("P_SNILS").setString(snils);
    q.open();
    if (!q.eof()) {
      found = true;
      fbdb::Field f = q.field("IDP");
      int64_t v = 0;
      bool ok = !f.isNull();
      if (ok) {
        try {
          v = f.asInt64();
        } catch (const platform::Exception&) {
          ok = false;
        }
      }
      if (ok && v >= INT32_MIN && v <= INT32_MAX) {
        idp = static_cast<int32_t>(v);
      } else {
        // A patient row whose id is no integer: the operator is told, and the case is not
        // written against a patient id that does not exist.
        q.close();
        ui_.messageBox(texts().noIdp + pers.requireChild("FAM").text() + " SNILS=" + snils);
        return;
      }
    }
    q.close();
  }

  if (!found) {
    fbdb::Query& q = db_.Qry2;
    q.close();
    q.param("P_POLSER").setString(policy.series);
    q.param("P_POLNUM").setString(policy.number);
    q.open();
    if (!q.eof()) {
      found = true;
      idp = q.field("IDP").asInteger();
    }
    q.close();
  }

  if (!found) {
    idp = insertPatient(pacient, pers, dpfs, policy, snils, kind, mtr);
    newPatient = true;
    ++c.patients;
  }

  importCase(z, idp, newPatient, policy, kind, mtr, c);
}

int32_t Import::insertPatient(const XmlNode& pacient, const XmlNode& pers, const XmlNode& dpfs,
                              const xmlreg::PolicyNumber& policy, const std::string& snils, const std::string& kind,
                              const std::optional<XmlNode>& mtr) {
  const Texts& tx = texts();
  // The policy start is checked where it is used: a malformed one stops the import here,
  // before an id is drawn.
  const std::optional<std::string> dateN = policyStart(mtr);
  fbdb::StoredProc& gen = db_.spGenIDP;
  gen.execProc();
  const int32_t idp = gen.field("F_ID").asInteger();
  gen.close();

  fbdb::Query& q = db_.QryApp;
  auto p = [&q](std::string_view name) -> fbdb::Param& { return q.param(name); };
  p("P_IDP").setInteger(idp);
  p("PKOD_PATIENT").setInteger(idp);

  p("PLAST_NAME").setString(pers.requireChild("FAM").text());
  p("PFIRST_NAME").setString(pers.requireChild("IM").text());
  p("PMIDDLE_NAME").setString(pers.requireChild("OT").text());
  setOptionalDate(p("PBIRTHDAY"), dateOf(pers, "DR"));
  p("PGENDER").setString(pers.requireChild("W").text() == "1" ? tx.male : tx.female);

  // Identity document.
  silentGroup([&] {
    const std::string docType = pers.requireChild("DOCTYPE").text();
    if (docType.empty()) return;
    p("PDTYPE").setString(xmlreg::GetDocTypeName(docType));
    // The series goes whole: one too long for its column fails the record, naming the
    // series and its own length, rather than being cut without a word.
    const std::string docSer = pers.requireChild("DOCSER").text();
    if (docSeriesLength_ && static_cast<int64_t>(docSer.size()) > *docSeriesLength_)
      throw EXmlImportError("DOCSER \"" + docSer + "\" has " + IntToStr(static_cast<int64_t>(docSer.size())) +
                            " characters; DOCUMENT_SERIA_NAME holds " + IntToStr(*docSeriesLength_));
    p("PDSER").setString(docSer);
    int32_t number;
    if (platform::TryStrToInt(pers.requireChild("DOCNUM").text(), number))
      p("PDNUM").setInteger(number);
  });

  {
    std::string mr;
    silentGroup([&] { mr = pers.requireChild("MR").text(); });
    p("P_MR").setString(mr);
  }
  p("PSNILS_KOD").setString(snils);
  p("PUPDATE_DATE").setDate(today_);

  // Policy.
  silentGroup([&] {
    p("PPOLICY_SERIA").setString(policy.series);
    p("PPOLICY_NUM").setString(policy.number);
    p("PVPOLICY").setString(kind);
    p("PCOMPANY_KOD").setInteger(intOf(body_, "SMO_PLAT"));
    setOptionalDate(p("PPOLICE_DATE_BEGIN"), dateN);
    p("PPOLICE_DATE_END").setString("");
    p("PDATE_PRIK").setString("");
  });

  p("PMY_HOSPITAL_KOD").setInteger(0);
  p("PSTOM_HOSP_KOD").setInteger(0);
  p("PGIN_HOSP_KOD").setInteger(0);
  p("PLOCALITY_NAME").setString("");

  // Region and locality.
  const std::string& fn = headerFileName();
  if (xmlreg::isRegion68(fn)) {
    p("PREGION_KOD").setInteger(68);
    std::string locality;
    silentGroup([&] { locality = xmlreg::localityName(pers.requireChild("OKATOG").text()); });
    p("PLOCALITY_NAME").setString(locality);
  } else {
    p("PREGION_KOD").setInteger(0);
    p("PLOCALITY_NAME").setString("");
  }

  if (xmlreg::hasClinicCode(fn)) {
    const std::string code = Copy(fn, 6, 4);
    int32_t v;
    if (!platform::TryStrToInt(code, v))
      throw platform::EConvertError("'" + code + "' is not a valid integer value (clinic code, characters 6 to 9 of "
                                    "FILENAME \"" + fn + "\")");
    p("PMY_HOSPITAL_KOD").setInteger(v);
  }

  // Address.
  silentGroup([&] {
    p("PSTREET_KOD").setInteger(0);
    p("PHOUSE_NUMBER").setInteger(0);
    p("PFLAT_NUMBER").setInteger(0);
    p("PKORPUS_NAME").setString("");
    p("PFULL_ADDRESS").setString("");
    p("PFAKT_ADRES").setString("");
    p("PKLADR").setString("");
    p("PKLADRS").setString("");
    p("PENP").setString(dpfs.requireChild("ENP").text());
  });

  // Classifiers, each only when it converts.
  const std::optional<XmlNode> to = pacient.findChild("PACIENT_TO");
  const std::optional<XmlNode> cls = to ? to->findChild("CLS_PAC") : std::nullopt;
  const std::pair<const char*, const char*> classifiers[] = {
      {"PSOCIAL_STATUS_KOD", "SPR_SOC"}, {"PIDPF", "SPR_LGT"}, {"PINVALID_KOD", "SPR_INVLD"}};
  for (const auto& [param, element] : classifiers) {
    if (!cls) break;
    silentGroup([&, param = param, element = element] { p(param).setInteger(intOf(*cls, element)); });
  }

  q.execSQL();
  q.close();
  return idp;
}

void Import::importCase(const XmlNode& z, int32_t idp, bool newPatient, const xmlreg::PolicyNumber& policy,
                        const std::string& kind, const std::optional<XmlNode>& mtr, Counts& c) {
  const XmlNode sluch = z.requireChild("SLUCH");
  const XmlNode slCom = sluch.requireChild("SL_COM");
  const XmlNode slAmb = sluch.requireChild("SL_AMB");

  // Doctor.
  int32_t doctor = 0;
  {
    fbdb::Query& q = db_.Qryw;
    q.close();
    q.param("P_KODVR").setInteger(intOf(slCom, "KODVR"));
    q.param("P_SPEC").setString(slAmb.requireChild("SPEC").text());
    q.open();
    if (!q.eof()) doctor = q.field("ID").asInteger();
    q.close();
  }

  const std::string date1 = slCom.requireChild("DATE_1").text();
  const std::string visitDmy = xmlreg::ymdToDmy(date1);
  if (!xmlreg::isValidDmy(visitDmy))
    throw platform::EConvertError("'" + date1 + "' is not a valid date (DATE_1)");
  const platform::TDateTime visitDate = platform::StrToDate(visitDmy);

  // A case already stored for a found patient is not written again.
  if (!newPatient) {
    fbdb::Query& q = db_.Qry3;
    q.close();
    q.param("P_IDP").setInteger(idp);
    q.param("P_DOCTOR").setInteger(doctor);
    q.param("P_DATVIS").setDate(visitDate);
    q.open();
    const bool exists = !q.eof();
    q.close();
    if (exists) return;
  }

  fbdb::StoredProc& vis = db_.spIDVisit;
  vis.param("P_ID_PATIENT").setInteger(idp);
  vis.execProc();
  const int32_t idv = vis.field("F_ID").asInteger();
  const int32_t handle = vis.field("F_HANDLE_ID").asInteger();
  vis.close();

  const std::string& fn = headerFileName();

  fbdb::Query& q = db_.QryUpd;
  auto p = [&q](std::string_view name) -> fbdb::Param& { return q.param(name); };
  p("PIDV").setInteger(idv);
  p("PHANDLE").setInteger(handle);
  p("PIDP").setInteger(idp);
  p("PDATVISIT").setDateTime(visitDate);
  p("PPOLSER").setString(policy.series);
  p("PPOLNUM").setString(policy.number);
  p("PCOMP").setInteger(intOf(body_, "SMO_PLAT"));
  p("PVIDPOL").setString(kind);
  p("PDOCTOR").setInteger(doctor);
  p("PRESULT").setInteger(xmlreg::recodeResult(intOf(slCom, "RSLT")));
  p("PPAYMENT").setInteger(1);
  p("PPURPOSE").setInteger(xmlreg::recodePurpose(intOf(slAmb, "POS_SCEL")));
  p("PWHERE").setInteger(intOf(slAmb, "POS_MEST"));
  p("POBR").setInteger(0);
  p("PDATCH").setString(platform::FormatDate(today_));
  p("PEXTH").setInteger(xmlreg::urgentHelpFlag(fn));

  if (doctor != 0) {
    // Only a visit that is written needs its policy date: a case skipped for its
    // doctor goes by whatever the date says.
    setOptionalDate(p("PDATPOL"), policyStart(mtr));
    // The register month is read only for the rows that carry the input date.
    const std::string inputDate = xmlreg::inputDateText(fn, today_);
    p("PDATIN").setString(inputDate);
    for (const XmlNode& d : slCom.childElements()) {
      if (!d.hasName("CLS_MKB")) continue;
      fbdb::StoredProc& dis = db_.spIDDiseases;
      dis.execProc();
      const int32_t idd = dis.field("F_ID").asInteger();
      dis.close();
      fbdb::Query& qd = db_.QryDis;
      qd.param("PIDD").setInteger(idd);
      qd.param("PIDV").setInteger(idv);
      qd.param("PIDP").setInteger(idp);
      qd.param("PDATIN").setString(inputDate);
      qd.param("PCASE").setInteger(2);
      qd.param("PMKB").setString(d.requireChild("MKB").text());
      qd.param("PMAIN").setInteger(d.requireChild("MKB_TYPE").text() == "1" ? 1 : 0);
      qd.param("PDISPTYPE").setInteger(3);
      qd.param("PDTREASON").setInteger(4);
      qd.execSQL();
      qd.close();
      ++c.diagnoses;
    }
    q.execSQL();
    ++c.visits;
  }
  q.close();
}

}  // namespace

XmlImportResult importXmlRegister(const std::string& fileName, int runFromScheduler, IXmlImportUi& ui,
                                  const XmlImportDb& db, const XmlImportOptions& options) {
  Import imp(ui, db, options);
  return imp.run(fileName, runFromScheduler);
}

XmlImportDb XmlImportDbOf(TdmScheduler& dm) {
  return XmlImportDb{dm.IBDB,   dm.IBTran, dm.IBTran2, dm.Qry1,     dm.Qry2,      dm.Qryw,        dm.Qry3,
                     dm.QryApp, dm.QryUpd, dm.QryDis,  dm.spGenIDP, dm.spIDVisit, dm.spIDDiseases};
}

void TaskUiXmlImportUi::addTaskMessage(const std::string& line) {
  lines_.push_back(line);
  ui_.AddTaskMessage(line);
}
void TaskUiXmlImportUi::setProgressMax(int max) { ui_.SetProgressMax(max); }
void TaskUiXmlImportUi::setProgressPosition(int position) { ui_.SetProgressPosition(position); }
void TaskUiXmlImportUi::progressStep() { ui_.StepProgress(); }
void TaskUiXmlImportUi::processEvents() { ui_.ProcessMessages(); }
void TaskUiXmlImportUi::messageBox(const std::string& text) { ui_.ShowMessage(text, texts().caption); }
void TaskUiXmlImportUi::focusFileEdit() {
  if (window_) window_->FocusFileEdit();
}
void TaskUiXmlImportUi::setRefreshLabel(const std::string& text) {
  if (window_) window_->SetRefreshLabel(text);
}
void TaskUiXmlImportUi::appendTaskMessagesToProtocol() {
  if (window_) {
    window_->CopyTaskMessagesToProtocol();
    return;
  }
  for (const std::string& line : lines_) ui_.AddProtocolLine(line);
}
void TaskUiXmlImportUi::setTaskStatus(int item, const std::string& text) {
  if (window_) window_->SetTaskStatus(item, text);
}
void TaskUiXmlImportUi::setXmlLabel(const std::string& text) {
  if (window_) window_->SetXmlLabel(text);
}

XmlImportResult ImportXmlRegister(TdmScheduler& dm, const std::string& fileName, int runFromScheduler,
                                  IXmlImportWindow* window, const XmlImportOptions& options) {
  TaskUiXmlImportUi ui(dm.Ui(), window);
  return importXmlRegister(fileName, runFromScheduler, ui, XmlImportDbOf(dm), options);
}

}  // namespace tasks

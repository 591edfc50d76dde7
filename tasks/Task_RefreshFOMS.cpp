// Task 3: the attached-population actualisation from the insurance fund's DBF file.
#include "tasks/Task_RefreshFOMS.h"

#include <exception>
#include <unordered_map>

#include "db/fbdb.h"
#include "platform/codepage.h"
#include "platform/exception.h"
#include "platform/strutil.h"
#include "tasks/DbfTaskSupport.h"
#include "tasks/Scheduler_DM.h"

namespace tasks::foms {

namespace sql {
const char* const kUpdateAttachment =
    "update PATIENT SET UPDATE_DATE = :PUPDATE_DATE, DATEPRIK = :PDATE_PRIK where IDP = :P_IDP";
const char* const kSelectByPolicy = "select * from PATIENT where POLICY_SERIA=:P_POLSER and POLICY_NUM=:P_POLNUM";
const char* const kSelectByPerson =
    "select * from PATIENT where LAST_NAME=:P_LN and FIRST_NAME=:P_FN and MIDDLE_NAME=:P_MN and BIRTHDAY=:P_BD";
const char* const kReplacePolicy =
    "update PATIENT SET POLICY_SERIA = :PPOLICY_SERIA, POLICY_NUM = :PPOLICY_NUM, VPOLICY = :PVPOLICY, COMPANY_KOD = "
    ":PCOMPANY_KOD, POLICE_DATE_BEGIN = :PPOLICE_DATE_BEGIN, POLICE_DATE_END = :PPOLICE_DATE_END, MY_HOSPITAL_KOD = "
    ":PMY_HOSPITAL_KOD, STOM_HOSP_KOD = :PSTOM_HOSP_KOD, ENP = :PENP, GIN_HOSP_KOD = :PGIN_HOSP_KOD, UPDATE_DATE = "
    ":PUPDATE_DATE, DATEPRIK = :PDATE_PRIK WHERE IDP = :P_IDP";
const char* const kInsertPatient =
    "insert into PATIENT (IDP,KOD_PATIENT,SNILS_KOD,LAST_NAME,FIRST_NAME,MIDDLE_NAME,BIRTHDAY,GENDER,REGION_KOD,"
    "FULL_ADDRESS,FAKT_ADRES,DISTRICT_KOD,KLADR,KLADRS,NAS_PUNKT_KOD,STREET_KOD,HOUSE_NUMBER,KORPUS_NAME,FLAT_NUMBER,"
    "LOCALITY_NAME,POLICY_SERIA,POLICY_NUM,COMPANY_KOD,POLICE_DATE_BEGIN,POLICE_DATE_END,SOCIAL_STATUS_KOD,"
    "MY_HOSPITAL_KOD,STOM_HOSP_KOD,GIN_HOSP_KOD,ENP,ID_LIC,VPOLICY,UPDATE_DATE,DATEPRIK,IS_AG,IS_DEAD,IS_PREG,IS_MI,"
    "IS_RKV,IS_IMMUN,IS_UPDATE) VALUES(:P_IDP,:PKOD_PATIENT,:PSNILS_KOD,:PLAST_NAME,:PFIRST_NAME,:PMIDDLE_NAME,"
    ":PBIRTHDAY,:PGENDER,:PREGION_KOD,:PFULL_ADDRESS,:PFAKT_ADRES,:PDISTRICT_KOD,:PKLADR,:PKLADRS,:PNAS_PUNKT_KOD,"
    ":PSTREET_KOD,:PHOUSE_NUMBER,:PKORPUS_NAME,:PFLAT_NUMBER,:PLOCALITY_NAME,:PPOLICY_SERIA,:PPOLICY_NUM,"
    ":PCOMPANY_KOD,:PPOLICE_DATE_BEGIN,:PPOLICE_DATE_END,:PSOCIAL_STATUS_KOD,:PMY_HOSPITAL_KOD,:PSTOM_HOSP_KOD,"
    ":PGIN_HOSP_KOD,:PENP,:PID_LIC,:PVPOLICY,:PUPDATE_DATE,:PDATE_PRIK,0,0,0,0,0,0,1)";
}  // namespace sql

namespace {

struct Texts {
  std::string heading = platform::Utf8ToCp1251("АКТУАЛИЗАЦИЯ ПРИКРЕПЛЕННОГО НАСЕЛЕНИЯ");
  std::string unchanged = platform::Utf8ToCp1251("Записей без изменений - ");
  std::string replaced = platform::Utf8ToCp1251("Замена записи - ");
  std::string added = platform::Utf8ToCp1251("Добавлено новых записей - ");
  std::string finished = platform::Utf8ToCp1251("Актуализации прикрепленного населения завершена");
  std::string kinds[5] = {platform::Utf8ToCp1251("Старый"), platform::Utf8ToCp1251("Временный"),
                          platform::Utf8ToCp1251("Новый ОМС"), platform::Utf8ToCp1251("Электронн"),
                          platform::Utf8ToCp1251("В сост. УЭК")};
  std::string male = platform::Utf8ToCp1251("Мужской");
  std::string female = platform::Utf8ToCp1251("Женский");
  std::string cyrillicM = platform::Utf8ToCp1251("М");
  std::string town = platform::Utf8ToCp1251("Городская");
  std::string village = platform::Utf8ToCp1251("Сельская");
  std::string townMark = platform::Utf8ToCp1251("Г.");
};

const Texts& texts() {
  static const Texts t;
  return t;
}

}  // namespace

std::string PolicySeries(std::string_view spolicy) {
  if (platform::Trim(spolicy).empty()) return "000000";
  return std::string(spolicy);
}

std::string PolicyNumber(std::string_view npolicy, platform::TDateTime dpolicy) {
  static const platform::TDateTime kCutBefore = platform::EncodeDate(2011, 5, 1);
  if (dpolicy < kCutBefore && npolicy.size() == 8) return platform::Copy(npolicy, 3, 6);
  return std::string(npolicy);
}

std::optional<std::string> PolicyKind(int32_t vpolic) {
  if (vpolic < 1 || vpolic > 5) return std::nullopt;
  return texts().kinds[vpolic - 1];
}

std::string FormatSnils(std::string_view snils) {
  if (snils.size() < 14) return std::string(snils);
  return platform::Copy(snils, 1, 11) + "-" + platform::Copy(snils, 13, 2);
}

std::string GenderName(std::string_view pol) {
  const std::string up = platform::AnsiUpperCase(pol);
  return up == texts().cyrillicM || up == "M" ? texts().male : texts().female;
}

std::optional<int32_t> SocialStatusCode(std::string_view status) {
  int32_t n;
  if (platform::TryStrToInt(status, n)) {
    switch (n) {
      case 2: return 3;
      case 3: return 5;
      case 5: return 2;
      case 6: return 16;
      case 7: return 13;
      case 8: return 15;
      case 9: return 12;
      default: return n;
    }
  }
  if (status == "A") return 2;
  if (status == "B") return 16;
  if (status == "C") return 11;
  if (status == "D") return 16;
  return std::nullopt;
}

int32_t RegionCode(std::string_view coatodist) {
  if (platform::Copy(coatodist, 1, 4) == "9999") return 0;
  return platform::StrToInt(coatodist);
}

std::string LocalityName(std::string_view npunktName) {
  return platform::AnsiUpperCase(platform::Copy(npunktName, 1, 2)) == texts().townMark ? texts().town
                                                                                       : texts().village;
}

namespace {

using tasks::dbftask::RunGroup;
using tasks::dbftask::TextThenInteger;
using namespace tasks::foms::sql;

// One walk over the fund's file.
class Actualisation {
public:
  explicit Actualisation(TdmScheduler& dm) : dm_(dm), t_(dm.hdsDBF), today_(dm.Today()) {}

  // Opens the file and walks it, writing the lines and counters; raises what stops the walk.
  void walk(const std::string& fileName);
  void stampUpdateDate();
  // The message box text for a failed record.
  std::string failureText() const;
  void rollbackRecord() noexcept;

private:
  void prepare();
  void clearParams();
  void record();
  void policyGroup(fbdb::Query& q, bool replacement);
  void clinicGroup(fbdb::Query& q);
  void insertPatient();
  const std::string* settlementName(int32_t kod);
  xb::TxbField& f(std::string_view name) { return t_.FieldByName(name); }
  // A statement's parameter, looked up by name once per walk: the statements are
  // prepared before the walk and keep their parameters to its end.
  fbdb::Param& P(fbdb::Query& q, const char* name) {
    auto [it, fresh] = params_.try_emplace(ParamKey{&q, name}, nullptr);
    if (fresh) {
      try {
        it->second = &q.param(name);
      } catch (...) {
        params_.erase(it);
        throw;
      }
    }
    return *it->second;
  }
  std::string text(std::string_view name) { return t_.FieldByName(name).AsString(); }
  // A date field's value, or NULL when its text is empty.
  void setDateOrNull(fbdb::Param& p, std::string_view name) {
    xb::TxbField& fld = f(name);
    if (fld.AsString().empty())
      p.setNull();
    else
      p.setDate(fld.AsDateTime());
  }

  TdmScheduler& dm_;
  xb::TXBaseDataSet& t_;
  platform::TDateTime today_;
  int unchanged_ = 0, replaced_ = 0, added_ = 0;
  // The record being handled.
  std::string last_, first_, middle_, series_, number_, snils_;
  std::optional<std::string> kind_;
  struct ParamKey {
    const fbdb::Query* q;
    const char* name;
    bool operator==(const ParamKey& o) const { return q == o.q && name == o.name; }
  };
  struct ParamKeyHash {
    size_t operator()(const ParamKey& k) const {
      return std::hash<const void*>()(k.q) * 31 + std::hash<const void*>()(k.name);
    }
  };
  std::unordered_map<ParamKey, fbdb::Param*, ParamKeyHash> params_;
  // NPUNKT, read once per run when the first settlement code comes.
  bool npunktRead_ = false;
  std::unordered_map<int32_t, std::string> npunkt_;
};

void Actualisation::prepare() {
  for (auto [q, sql] : {std::pair{&dm_.Qry1, kUpdateAttachment}, std::pair{&dm_.Qry2, kSelectByPolicy},
                        std::pair{&dm_.Qry3, kSelectByPerson}, std::pair{&dm_.QryUpd, kReplacePolicy},
                        std::pair{&dm_.QryApp, kInsertPatient}}) {
    q->close();
    q->setSql(sql);
    q->prepare();
  }
}

void Actualisation::clearParams() {
  for (fbdb::Query* q : {&dm_.Qry1, &dm_.Qry2, &dm_.Qry3, &dm_.QryUpd, &dm_.QryApp}) q->clearParams();
  dm_.spGenIDP.clearParams();
}

void Actualisation::walk(const std::string& fileName) {
  const Texts& tx = texts();
  tasks::dbftask::OpenDbf(t_, fileName);
  ITaskUi& ui = dm_.Ui();
  ui.AddTaskMessage(tx.heading);
  ui.AddTaskMessage(" ");
  ui.SetProgressMax(t_.RecordCount());
  ui.SetProgressPosition(0);
  prepare();
  // What an earlier task left open is committed, as closing the connection would: a failed
  // record rolls back only its own work, and the first lookup sees the current register.
  dm_.IBTran2.commit();
  dm_.IBTran.commit();
  while (!t_.Eof()) {
    record();
    ui.StepProgress();
    ui.ProcessMessages();
    t_.Next();
  }
  ui.AddTaskMessage(tx.unchanged + platform::IntToStr(unchanged_));
  ui.AddTaskMessage(tx.replaced + platform::IntToStr(replaced_));
  ui.AddTaskMessage(tx.added + platform::IntToStr(added_));
  ui.AddTaskMessage(" ");
  ui.AddTaskMessage(tx.finished);
  ui.AddTaskMessage(" ");
}

void Actualisation::stampUpdateDate() {
  fbdb::Query& q = dm_.sdsTemp;
  q.close();
  q.setSql("update SYSTEM_OPTIONS set LAST_UPDATE_DATE =:P_DATE");
  q.clearParams();
  q.param("P_DATE").setString(platform::FormatDate(today_));
  q.execSQL();
  q.close();
}

std::string Actualisation::failureText() const {
  const int32_t recNo = t_.Active() ? t_.RecNo() : 0;
  return platform::IntToStr(recNo) + " " + last_ + " " + first_ + " " + middle_;
}

void Actualisation::rollbackRecord() noexcept {
  for (fbdb::Transaction* t : {&dm_.IBTran2, &dm_.IBTran}) {
    try {
      t->rollback();
    } catch (...) {
      // The record's own error is the one reported.
    }
  }
}

void Actualisation::record() {
  last_.clear();
  first_.clear();
  middle_.clear();
  clearParams();
  // The names first: a record that fails at its transaction start still names its person.
  last_ = platform::Trim(text("FIRSTNAME"));
  first_ = platform::Trim(text("NAME"));
  middle_ = platform::Trim(text("SECNAME"));
  dm_.IBTran.start();
  series_ = tasks::foms::PolicySeries(text("SPOLICY"));
  number_ = tasks::foms::PolicyNumber(text("NPOLICY"), f("DPOLICY").AsDateTime());
  kind_ = tasks::foms::PolicyKind(f("VPOLIC").AsInteger());
  snils_ = tasks::foms::FormatSnils(text("SNILS"));

  // By policy: the attachment date only.
  {
    fbdb::Query& q = dm_.Qry2;
    q.close();
    P(q, "P_POLSER").setString(series_);
    P(q, "P_POLNUM").setString(number_);
    q.open();
    if (!q.eof()) {
      ++unchanged_;
      const int32_t idp = q.field("IDP").asInteger();
      q.close();
      fbdb::Query& u = dm_.Qry1;
      P(u, "P_IDP").setInteger(idp);
      P(u, "PUPDATE_DATE").setDate(today_);
      setDateOrNull(P(u, "PDATE_PRIK"), "DATEPRIK");
      u.execSQL();
      u.close();
      dm_.IBTran.commit();
      return;
    }
    q.close();
  }

  // By person: the policy and the clinics are replaced.
  {
    fbdb::Query& q = dm_.Qry3;
    q.close();
    P(q, "P_LN").setString(last_);
    P(q, "P_FN").setString(first_);
    P(q, "P_MN").setString(middle_);
    P(q, "P_BD").setDate(f("DATEBDAY").AsDateTime());
    q.open();
    if (!q.eof()) {
      ++replaced_;
      const int32_t idp = q.field("IDP").asInteger();
      q.close();
      fbdb::Query& u = dm_.QryUpd;
      P(u, "P_IDP").setInteger(idp);
      P(u, "PUPDATE_DATE").setDate(today_);
      policyGroup(u, true);
      clinicGroup(u);
      u.execSQL();
      u.close();
      dm_.IBTran2.commit();
      dm_.IBTran.commit();
      return;
    }
    q.close();
  }

  insertPatient();
  dm_.IBTran2.commit();
  dm_.IBTran.commit();
}

void Actualisation::policyGroup(fbdb::Query& q, bool replacement) {
  RunGroup([&] {
    P(q, "PPOLICY_SERIA").setString(series_);
    P(q, "PPOLICY_NUM").setString(number_);
    if (kind_) P(q, "PVPOLICY").setString(*kind_);
    P(q, "PCOMPANY_KOD").setInteger(f("CMOCOD").AsInteger());
    P(q, "PPOLICE_DATE_BEGIN").setDate(f("DPOLICY").AsDateTime());
    if (replacement) P(q, "PENP").setString(text("ENP"));
    setDateOrNull(P(q, "PPOLICE_DATE_END"), "ENDPOLICY");
    setDateOrNull(P(q, "PDATE_PRIK"), "DATEPRIK");
  });
}

void Actualisation::clinicGroup(fbdb::Query& q) {
  RunGroup([&] {
    const std::pair<const char*, const char*> codes[] = {
        {"PMY_HOSPITAL_KOD", "SPOLREF"}, {"PSTOM_HOSP_KOD", "SSTOMREF"}, {"PGIN_HOSP_KOD", "SWCONREF"}};
    for (const auto& [param, field] : codes) P(q, param).setInteger(0);
    for (const auto& [param, field] : codes) {
      const std::string v = text(field);
      if (!v.empty()) P(q, param).setInteger(TextThenInteger(v));
    }
  });
}

const std::string* Actualisation::settlementName(int32_t kod) {
  if (!npunktRead_) {
    fbdb::Query& np = dm_.tbNP;
    np.close();
    for (np.open(); !np.eof(); np.next()) {
      fbdb::Field k = np.field("KOD");
      if (!k.isNull()) npunkt_.emplace(k.asInteger(), np.field("NAME").asString());
    }
    np.close();
    npunktRead_ = true;
  }
  auto it = npunkt_.find(kod);
  return it == npunkt_.end() ? nullptr : &it->second;
}

void Actualisation::insertPatient() {
  fbdb::StoredProc& gen = dm_.spGenIDP;
  gen.execProc();
  const int32_t id = gen.field("F_ID").asInteger();
  gen.close();

  fbdb::Query& q = dm_.QryApp;
  auto p = [this, &q](const char* name) -> fbdb::Param& { return P(q, name); };
  p("P_IDP").setInteger(id);
  p("PKOD_PATIENT").setInteger(id);
  p("PSNILS_KOD").setString(snils_);
  p("PLAST_NAME").setString(last_);
  p("PFIRST_NAME").setString(first_);
  p("PMIDDLE_NAME").setString(middle_);
  p("PBIRTHDAY").setDate(f("DATEBDAY").AsDateTime());
  p("PGENDER").setString(tasks::foms::GenderName(text("POL")));
  p("PUPDATE_DATE").setDate(today_);
  policyGroup(q, false);
  clinicGroup(q);

  RunGroup([&] {
    const std::string v = text("COATODIST");
    if (!platform::Trim(v).empty()) p("PREGION_KOD").setInteger(tasks::foms::RegionCode(v));
  });

  RunGroup([&] {
    const std::string v = text("NPREF");
    if (v.empty()) return;
    const int32_t kod = TextThenInteger(v);
    p("PNAS_PUNKT_KOD").setInteger(kod);
    if (const std::string* name = settlementName(kod)) p("PLOCALITY_NAME").setString(tasks::foms::LocalityName(*name));
  });

  RunGroup([&] {
    p("PSTREET_KOD").setInteger(0);
    p("PHOUSE_NUMBER").setInteger(0);
    p("PFLAT_NUMBER").setInteger(0);
    p("PKORPUS_NAME").setString("");
    p("PFULL_ADDRESS").setString("");
    p("PFAKT_ADRES").setString("");
    if (const std::string v = text("STRETREF"); !v.empty()) p("PSTREET_KOD").setInteger(TextThenInteger(v));
    if (const std::string v = text("HOUSE"); !v.empty()) p("PHOUSE_NUMBER").setInteger(TextThenInteger(v));
    p("PFLAT_NUMBER").setInteger(f("FLAT").AsInteger());
    p("PKORPUS_NAME").setString(text("KORPUS"));
    const std::string registered = text("NPNAME");
    const std::string actual = text("ADRESS_F");
    if (!registered.empty())
      p("PFULL_ADDRESS").setString(registered);
    else if (!actual.empty())
      p("PFULL_ADDRESS").setString(actual);
    if (!actual.empty())
      p("PFAKT_ADRES").setString(actual);
    else if (!registered.empty())
      p("PFAKT_ADRES").setString(registered);
    p("PKLADR").setString(text("KLADR"));
    p("PKLADRS").setString(text("KLADRS"));
    p("PID_LIC").setString(text("ID_LIC"));
    p("PENP").setString(text("ENP"));
  });

  RunGroup([&] {
    if (std::optional<int32_t> code = tasks::foms::SocialStatusCode(text("STATUS")))
      p("PSOCIAL_STATUS_KOD").setInteger(*code);
  });

  q.execSQL();
  q.close();
  ++added_;
}

}  // namespace

}  // namespace tasks::foms

bool TdmScheduler::RefreshFromFOMS(const std::string& FileName, bool /*Flag*/) {
  bool result = false;
  int32_t ownCode = 0;
  std::exception_ptr pending;
  try {
    sdsTemp.close();
    sdsTemp.setSql("SELECT KOD_HOSPITAL FROM OUR_HOSPITALS");
    sdsTemp.open();
    if (!sdsTemp.eof()) ownCode = sdsTemp.field("KOD_HOSPITAL").asInteger();
    sdsTemp.close();

    tasks::foms::Actualisation run(*this);
    try {
      run.walk(FileName);
      result = true;
      run.stampUpdateDate();
    } catch (const std::exception& e) {
      run.rollbackRecord();
      // The box names the record (or the damaged file, refused before its first record);
      // the messages (and so the run protocol) keep the reason.
      Ui().AddTaskMessage(tasks::dbftask::FailureLine(e));
      const bool damaged = dynamic_cast<const tasks::dbftask::EDamagedTable*>(&e) != nullptr;
      Ui().ShowMessage(damaged ? std::string(e.what()) : run.failureText(), tasks::dbftask::MessageCaption());
    }
  } catch (...) {
    pending = std::current_exception();
  }
  try {
    sdsTemp.close();
  } catch (...) {
  }
  hdsDBF.Close();
  try {
    spPrikend.clearParams();
    spPrikend.param("PLPU").setInteger(ownCode);
    spPrikend.execProc();
    spPrikend.close();
  } catch (...) {
    if (!pending) pending = std::current_exception();
  }
  if (pending) std::rethrow_exception(pending);
  return result;
}

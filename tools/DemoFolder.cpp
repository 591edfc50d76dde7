#include "tools/DemoFolder.h"

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <utility>
#include <vector>

#include "db/fbdb.h"
#include "platform/codepage.h"
#include "platform/inifile.h"
#include "tools/BranchExport.h"
#include "tools/DbfTable.h"
#include "tools/SmpPackage.h"
#include "tools/XmlRegister.h"

namespace demodata {

namespace {

using platform::TDateTime;

std::string C(const std::string& utf8) { return platform::Utf8ToCp1251(utf8); }

std::string Padded(int64_t v, size_t width) {
  std::string s = std::to_string(v);
  if (s.size() < width) s.insert(0, width - s.size(), '0');
  return s;
}

// "YYYYMMDD" (DBF), "YYYY-MM-DD" (XML) and "DD.MM.YYYY" (SQL) texts of a date.
std::string DbfDate(TDateTime d) {
  int y, m, day;
  platform::DecodeDate(d, y, m, day);
  return Padded(y, 4) + Padded(m, 2) + Padded(day, 2);
}
std::string IsoDate(TDateTime d) {
  int y, m, day;
  platform::DecodeDate(d, y, m, day);
  return Padded(y, 4) + "-" + Padded(m, 2) + "-" + Padded(day, 2);
}
std::string SqlDate(TDateTime d) {
  int y, m, day;
  platform::DecodeDate(d, y, m, day);
  return Padded(day, 2) + "." + Padded(m, 2) + "." + Padded(y, 4);
}

// Files and databases are made under a temporary name beside their own and renamed when
// complete, so that a maker stopped half-way leaves no half file that a later run would
// keep or a task would read.
std::string PartName(const std::string& path) { return path + ".part"; }

void Complete(const std::string& path) {
  std::filesystem::rename(platform::ToFsPath(PartName(path)), platform::ToFsPath(path));
}

// Writes the temporary file of `path`.
void WritePart(const std::string& path, const std::string& bytes) {
  std::ofstream out(platform::ToFsPath(PartName(path)), std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) throw std::runtime_error("cannot write " + platform::ToFsPath(PartName(path)));
}

void WriteBytes(const std::string& path, const std::string& bytes) {
  WritePart(path, bytes);
  Complete(path);
}

bool Exists(const std::string& path) { return std::filesystem::exists(platform::ToFsPath(path)); }

// ---- the population: person i is the same in every file and database

struct Person {
  std::string last, first, middle;  // UTF-8
  bool male;
  TDateTime birthday;
};

Person PersonOf(int i) {
  static const char* const kSurnames[] = {"Иванов",   "Петров",  "Сидоров", "Смирнов",  "Кузнецов",
                                          "Попов",    "Васильев", "Соколов", "Михайлов", "Новиков",
                                          "Фёдоров",  "Морозов", "Волков",  "Алексеев", "Лебедев",
                                          "Семёнов",  "Егоров",  "Павлов",  "Козлов",   "Степанов"};
  static const char* const kMen[] = {"Иван",    "Пётр",   "Сергей",   "Алексей", "Николай", "Андрей",
                                     "Дмитрий", "Михаил", "Владимир", "Юрий",    "Олег",    "Виктор"};
  static const char* const kWomen[] = {"Мария", "Анна",     "Елена",  "Ольга",   "Татьяна", "Наталья",
                                       "Ирина", "Светлана", "Галина", "Людмила", "Нина",    "Валентина"};
  static const char* const kFathers[][2] = {{"Иванович", "Ивановна"},     {"Петрович", "Петровна"},
                                            {"Сергеевич", "Сергеевна"},   {"Алексеевич", "Алексеевна"},
                                            {"Николаевич", "Николаевна"}, {"Андреевич", "Андреевна"},
                                            {"Викторович", "Викторовна"}, {"Михайлович", "Михайловна"}};
  Person p;
  p.male = i % 2 == 0;
  p.last = kSurnames[(i / 2) % 20];
  if (!p.male) p.last += "а";
  p.first = p.male ? kMen[(i / 7) % 12] : kWomen[(i / 7) % 12];
  p.middle = kFathers[(i / 3) % 8][p.male ? 0 : 1];
  // A birthday of its own for every person up to 24000 (no two share name and birthday).
  p.birthday = platform::EncodeDate(1940, 1, 1) + (i % 4000) * 6 + i / 4000;
  return p;
}

// The policy number the fund gives person i; the database knows the replaced ones under
// an older number.
std::string Policy(int i) { return "68" + Padded(i, 14); }
std::string OldPolicy(int i) { return "66" + Padded(i, 14); }
std::string StoredPolicy(int i) { return i < kFundUnchanged ? Policy(i) : OldPolicy(i); }
// SNILS as the files write it ("123-456-789 01") and as the database keeps it.
std::string Snils(int64_t n) {
  const int64_t v = 100000000 + n * 7919;
  return Padded(v / 1000000 % 1000, 3) + "-" + Padded(v / 1000 % 1000, 3) + "-" + Padded(v % 1000, 3) + " " +
         Padded(n % 100, 2);
}
std::string StoredSnils(int64_t n) {
  std::string s = Snils(n);
  s[11] = '-';
  return s;
}

int CentreIdOf(int i) { return 1000 + i; }
// People of the database: the unchanged and the replaced persons of the fund file.
constexpr int kPopulation = kFundUnchanged + kFundReplaced;
// Other people, never in the clinic database before the tasks.
constexpr int kUnknownPrivileged = 5000;
constexpr int kBranchPeople = 8000;
constexpr int kRegisterPeople = 9000;
// Persons of the database that the privileged-persons file leaves alone (it stamps today
// as the entry date of those it finds, which would make the branch's changes older than
// the centre's rows): the branch changes persons from kBranchChangedFrom on, the register
// names persons from kRegisterKnownFrom on.
constexpr int kBranchChangedFrom = 400;
constexpr int kRegisterKnownFrom = 600;

const char* const kDiagnoses[] = {"J06.9", "I10", "E11.9", "K29.7", "M42.1", "J20.9", "I25.1", "N30.0"};
// A code near each of them (within the correction's default interval of 10).
const char* const kNearDiagnoses[] = {"J02.9", "I11.9", "E10.9", "K30", "M47.8", "J18.9", "I20.8", "N39.0"};

// ---- databases

void Exec(fbdb::Transaction& t, const std::string& sql) {
  fbdb::Query q(t);
  q.setSql(sql);
  q.execSQL();
}

class PatientInsert {
public:
  explicit PatientInsert(fbdb::Transaction& t) : q_(t) {
    q_.setSql(
        "insert into PATIENT (IDP, KOD_PATIENT, LAST_NAME, FIRST_NAME, MIDDLE_NAME, BIRTHDAY, GENDER, POLICY_SERIA, "
        "POLICY_NUM, VPOLICY, ENP, SNILS_KOD, MY_HOSPITAL_KOD, NAS_PUNKT_KOD, FULL_ADDRESS, DATE_INPUT, IS_UPDATE) "
        "values (:IDP, :KOD, :LN, :FN, :MN, :BD, :G, '000000', :PN, :VP, :PN, :SNILS, :H, :NP, :ADR, :DI, 0)");
  }
  void run(int id, int person, const std::string& policy, const std::string& address, TDateTime dateInput) {
    const Person p = PersonOf(person);
    q_.param("IDP").setInteger(id);
    q_.param("KOD").setString(std::to_string(id));
    q_.param("LN").setString(C(p.last));
    q_.param("FN").setString(C(p.first));
    q_.param("MN").setString(C(p.middle));
    q_.param("BD").setDate(p.birthday);
    q_.param("G").setString(C(p.male ? "Мужской" : "Женский"));
    q_.param("PN").setString(policy);
    q_.param("VP").setString(C("Новый ОМС"));
    q_.param("SNILS").setString(StoredSnils(person));
    q_.param("H").setInteger(kHospital);
    q_.param("NP").setInteger(1 + person % 2);
    q_.param("ADR").setString(address);
    q_.param("DI").setDateTime(dateInput);
    q_.execSQL();
  }

private:
  fbdb::Query q_;
};

std::string HomeAddress(int person) {
  return C((person % 2 ? "г. Морква, ул. Садовая, " : "с. Зелворн, ул. Лесная, ") + std::to_string(1 + person % 60) +
           "-" + std::to_string(1 + person % 90));
}

// Creates the clinic schema under the temporary name of `path` (a leftover of a stopped
// run is dropped first).
void CreateDatabase(fbdb::Attachment& a, const std::string& path) {
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(platform::ToFsPath(path)).parent_path(), ec);
  std::filesystem::remove(platform::ToFsPath(PartName(path)));
  fbdb::CreateClinicDatabase(a, PartName(path));
}

// The first and the last day of the month before the one of `today`.
std::pair<TDateTime, TDateTime> LastMonth(TDateTime today) {
  int y, m, d;
  platform::DecodeDate(today, y, m, d);
  const TDateTime first = platform::EncodeDate(m == 1 ? y - 1 : y, m == 1 ? 12 : m - 1, 1);
  return {first, platform::EncodeDate(y, m, 1) - 1};
}

// The two export periods of the branch: archive a holds the patients entered in period a.
std::pair<TDateTime, TDateTime> BranchPeriod(int archive, TDateTime today) {
  return archive == 0 ? std::pair{today - 30, today - 10} : std::pair{today - 10, today + 1};
}
TDateTime BranchEntry(int archive, TDateTime today) {
  return (archive == 0 ? today - 20 : today - 5) + platform::EncodeTime(10, 30, 0, 0);
}

std::string BranchAddress(int person) { return C("г. Морква, ул. Новая, " + std::to_string(1 + person % 40)); }

}  // namespace

std::vector<std::pair<int, std::string>> BranchChangedAddresses() {
  std::vector<std::pair<int, std::string>> changed;
  for (int n = 0; n < kBranchArchives * kBranchChangedPatients; ++n) {
    changed.emplace_back(CentreIdOf(kBranchChangedFrom + n), BranchAddress(kBranchChangedFrom + n));
  }
  return changed;
}

void MakeClinicDatabase(const std::string& path, TDateTime today) {
  fbdb::Attachment a;
  CreateDatabase(a, path);
  {
    fbdb::Transaction t(a);
    Exec(t, "INSERT INTO OUR_HOSPITALS (KOD_HOSPITAL) VALUES (" + std::to_string(kHospital) + ")");
    Exec(t, "INSERT INTO SYSTEM_OPTIONS (LAST_UPDATE_DATE) VALUES ('" + SqlDate(today - 30) + "')");
    Exec(t, C("INSERT INTO NPUNKT (KOD, NAME) VALUES (1, 'с. Зелворн')"));
    Exec(t, C("INSERT INTO NPUNKT (KOD, NAME) VALUES (2, 'г. Морква')"));
    Exec(t, "INSERT INTO DOCTORS (ID, KOD, KOD_PROFESSION) VALUES (1, 101, '27')");
    Exec(t, "INSERT INTO DOCTORS (ID, KOD, KOD_PROFESSION) VALUES (2, 101, '76')");
    // Three patients without a fund policy, two of them one person entered twice (the
    // duplicate search finds them).
    Exec(t, C("INSERT INTO PATIENT (IDP, LAST_NAME, FIRST_NAME, MIDDLE_NAME, BIRTHDAY, GENDER, POLICY_SERIA, "
              "POLICY_NUM, MY_HOSPITAL_KOD, SNILS_KOD, NAS_PUNKT_KOD) VALUES (1, 'Иванов', 'Иван', 'Иванович', "
              "'15.03.1970', 'М', '', '7700000000000001', 7, '112-233-445 95', 1)"));
    Exec(t, C("INSERT INTO PATIENT (IDP, LAST_NAME, FIRST_NAME, MIDDLE_NAME, BIRTHDAY, GENDER, POLICY_SERIA, "
              "POLICY_NUM, MY_HOSPITAL_KOD, SNILS_KOD, NAS_PUNKT_KOD) VALUES (2, 'Петрова', 'Мария', 'Сергеевна', "
              "'02.11.1985', 'Ж', '', '7700000000000002', 7, '123-456-789 64', 2)"));
    Exec(t, C("INSERT INTO PATIENT (IDP, LAST_NAME, FIRST_NAME, MIDDLE_NAME, BIRTHDAY, GENDER, POLICY_SERIA, "
              "POLICY_NUM, MY_HOSPITAL_KOD, NAS_PUNKT_KOD) VALUES (3, 'Иванов', 'Иван', 'Иванович', '15.03.1970', "
              "'М', '', '7700000000000003', 7, 1)"));
    PatientInsert insert(t);
    const TDateTime entered = platform::EncodeDate(2024, 1, 15) + platform::EncodeTime(9, 0, 0, 0);
    for (int i = 0; i < kPopulation; ++i) insert.run(CentreIdOf(i), i, StoredPolicy(i), HomeAddress(i), entered);
    for (int i = 1; i <= kOldDrugs; ++i) {
      Exec(t, "INSERT INTO DRUGS (ID_DRUGS, DISPLAY_NAME) VALUES (" + std::to_string(i) + ", '" +
                  C("Устаревший препарат ") + std::to_string(i) + "')");
    }
    const auto [first, last] = LastMonth(today);
    for (int i = 1; i <= kSmpStoredInPeriod + kSmpStoredBefore; ++i) {
      const TDateTime day = i <= kSmpStoredInPeriod ? first + i : first - 3;
      Exec(t, "INSERT INTO SMP_CALLS (ID_SMP_CALLS, PATIENT_ID, CALL_DATE, DATE_INPUT, MKB_KOD) VALUES (" +
                  std::to_string(i) + ", " + std::to_string(CentreIdOf(i)) + ", '" + SqlDate(day) + "', '" +
                  SqlDate(day) + "', 'J06.9')");
    }
    t.commit();
  }
  a.executeImmediate("SET GENERATOR GEN_IDP TO " + std::to_string(CentreIdOf(kPopulation)));
  a.executeImmediate("SET GENERATOR GEN_DRUGS_ID TO " + std::to_string(kOldDrugs));
  a.executeImmediate("SET GENERATOR GEN_SMP_CALLS_ID TO " + std::to_string(kSmpStoredInPeriod + kSmpStoredBefore));
  a.disconnect();
  Complete(path);
}

void MakeBranchDatabase(const std::string& path, TDateTime today) {
  fbdb::Attachment a;
  CreateDatabase(a, path);
  fbdb::Transaction t(a);
  PatientInsert insert(t);
  const int kBranchId = 1500000001;
  for (int archive = 0; archive < kBranchArchives; ++archive) {
    const TDateTime entered = BranchEntry(archive, today);
    const std::string stamp = "'" + SqlDate(entered) + " 10:30'";
    for (int k = 0; k < kBranchNewPatients; ++k) {
      const int n = archive * kBranchNewPatients + k;
      const int person = kBranchPeople + n;
      const int idp = kBranchId + n;
      insert.run(idp, person, Policy(person), HomeAddress(person), entered);
      Exec(t, "INSERT INTO PATIENT_CONST_PARAMS (IDP, BLOOD_GROUP, DATE_INPUT) VALUES (" + std::to_string(idp) + ", '" +
                  C(n % 2 ? "A(II) Rh+" : "0(I) Rh+") + "', " + stamp + ")");
      Exec(t, "INSERT INTO DISPENSARY (ID, IDP, MKB, DATE_BEGIN, DATE_INPUT) VALUES (" + std::to_string(idp) + ", " +
                  std::to_string(idp) + ", 'I10', '" + SqlDate(entered - 1) + "', " + stamp + ")");
      // Visits to two doctors on one day, with neighbouring diagnoses (the disease-record
      // correction takes one of them out of the count).
      for (int j = 0; j < kBranchVisitsPerPatient; ++j) {
        const std::string idv = std::to_string(kBranchId + n * kBranchVisitsPerPatient + j);
        Exec(t, "INSERT INTO VISITS (IDV, PATIENT_ID, HANDLE_ID, DATE_VISIT, DOCTOR, RESULT, DATE_INPUT, DATE_CHANGE) "
                "VALUES (" + idv + ", " + std::to_string(idp) + ", " + std::to_string(1 + j) + ", '" +
                    SqlDate(entered) + "', " + std::to_string(101 + j) + ", 301, '" + SqlDate(entered) + "', " +
                    stamp + ")");
        Exec(t, "INSERT INTO DISEASES (IDD, VISIT_ID, PATIENT_ID, DATE_INPUT, MKB_KOD, CASE_KOD) VALUES (" + idv +
                    ", " + idv + ", " + std::to_string(idp) + ", " + stamp + ", '" +
                    (j % 2 ? kNearDiagnoses : kDiagnoses)[n % 8] + "', 0)");
      }
    }
    // Centre patients whose address the branch changed, and new visits of centre patients.
    for (int c = 0; c < kBranchChangedPatients; ++c) {
      const int person = kBranchChangedFrom + archive * kBranchChangedPatients + c;
      insert.run(CentreIdOf(person), person, StoredPolicy(person), BranchAddress(person), entered);
    }
    for (int v = 0; v < kBranchKnownVisits; ++v) {
      const std::string idv = std::to_string(kBranchId + 100000 + archive * kBranchKnownVisits + v);
      const std::string idp = std::to_string(CentreIdOf(kBranchChangedFrom + archive * kBranchChangedPatients + v));
      Exec(t, "INSERT INTO VISITS (IDV, PATIENT_ID, HANDLE_ID, DATE_VISIT, DOCTOR, RESULT, DATE_INPUT, DATE_CHANGE) "
              "VALUES (" + idv + ", " + idp + ", 1, '" + SqlDate(entered) + "', 101, 301, '" + SqlDate(entered) +
                  "', " + stamp + ")");
      Exec(t, "INSERT INTO DISEASES (IDD, VISIT_ID, PATIENT_ID, DATE_INPUT, MKB_KOD, CASE_KOD) VALUES (" + idv + ", " +
                  idv + ", " + idp + ", " + stamp + ", 'J20.9', 0)");
    }
  }
  t.commit();
  a.disconnect();
  Complete(path);
}

void MakeInputs(const std::string& dir, TDateTime today) {
  // The fund's attached population.
  {
    std::vector<std::vector<std::string>> records;
    for (int i = 0; i < kFundUnchanged + kFundReplaced + kFundAdded; ++i) {
      const Person p = PersonOf(i);
      const std::string number = Policy(i);
      records.push_back({p.last, p.first, p.middle, DbfDate(p.birthday), p.male ? "М" : "Ж", Snils(i), "", number,
                         "20150301", "", "3", "68001", number, "20200203", std::to_string(kHospital), "", "", "68401",
                         std::to_string(1 + i % 2), "501", std::to_string(1 + i % 60), std::to_string(1 + i % 90), "",
                         platform::Cp1251ToUtf8(HomeAddress(i)), "", "", "", "", std::to_string(1 + i % 9)});
    }
    WriteBytes(dir + kFundDbf, Dbf(FundFields(), records));
  }
  // Federal privileged persons: found by policy (the last of them without a SNILS), found
  // by name and birthday, and persons the clinic does not know.
  {
    std::vector<std::vector<std::string>> records;
    const int byPolicy = kPrivilegedFound - 100;
    for (int i = 0; i < kPrivilegedFound; ++i) {
      const Person p = PersonOf(i);
      const bool policy = i < byPolicy;
      const bool refused = i >= byPolicy - kPrivilegedRefused && i < byPolicy;
      records.push_back({p.last, p.first, p.middle, DbfDate(p.birthday), policy ? "000000" : "",
                         policy ? Policy(i) : "", refused ? "" : Snils(500000 + i), "", "",
                         Padded(kPrivilegedCategory, 3), "Паспорт гражданина РФ", "68 0" + std::to_string(i % 10),
                         Padded(100000 + i, 6)});
    }
    for (int k = 0; k < kPrivilegedNotFound; ++k) {
      const Person p = PersonOf(kUnknownPrivileged + k);
      records.push_back({p.last, p.first, p.middle, DbfDate(p.birthday), "", "", Snils(600000 + k), "", "",
                         Padded(kPrivilegedCategory, 3), "", "", ""});
    }
    WriteBytes(dir + kPrivilegedDbf, Dbf(PrivilegedFields(), records));
  }
  // The privileged-medicine directory.
  {
    static const char* const kNames[] = {"Аспирин",      "Метформин", "Эналаприл", "Амлодипин",
                                         "Бисопролол",   "Омепразол", "Лозартан",  "Индапамид",
                                         "Аторвастатин", "Гликлазид", "Варфарин",  "Фуросемид"};
    static const char* const kForms[] = {"таб. 5 мг", "таб. 10 мг", "таб. 20 мг", "капс. 20 мг", "таб. 50 мг",
                                         "таб. 100 мг", "таб. 500 мг", "таб. 850 мг", "таб. 1000 мг", "р-р д/ин."};
    std::vector<std::vector<std::string>> records;
    for (int i = 0; i < kDrugs; ++i) {
      const std::string name = std::string(kNames[i % 12]) + " " + kForms[i / 12 % 10];
      const std::string price = std::to_string(15 + i % 90) + "." + Padded(i * 37 % 100, 2);
      records.push_back({name, std::to_string(20000 + i), std::to_string(10 + i % 12), std::to_string(1 + i % 2), price,
                         kNames[i % 12], "", "", "", "", "", "", "", "20271231", std::to_string(100 + i % 12),
                         std::to_string(1 + i % 5), "20260101", "", std::to_string(1 + i % 10), std::to_string(300 + i),
                         i % 3 ? "ИСТИНА" : "ЛОЖЬ"});
    }
    WriteBytes(dir + kDrugDbf, Dbf(DrugFields(), records));
  }
  // Two branch archives, exported from the branch database.
  {
    fbdb::Attachment branch;
    branch.databaseName = dir + kBranchDb;
    branch.params.setValue("USER_NAME", "SYSDBA");
    branch.params.setValue("lc_ctype", "WIN1251");
    branch.connect();
    std::error_code ec;
    std::filesystem::create_directories(platform::ToFsPath(dir + kBranchFolder), ec);
    for (int archive = 0; archive < kBranchArchives; ++archive) {
      const auto [from, to] = BranchPeriod(archive, today);
      WriteBytes(dir + kBranchFolder + "FILIAL_" + std::to_string(archive + 1) + ".ZIP",
                 BranchArchive(branch, "DATE_INPUT >= '" + SqlDate(from) + "' AND DATE_INPUT < '" + SqlDate(to) + "'"));
    }
    branch.disconnect();
  }
  // The ambulance calls of last month.
  {
    const auto [first, last] = LastMonth(today);
    std::vector<smp::Call> calls;
    for (int k = 0; k < kSmpCalls; ++k) {
      const int person = k * 29 % kPopulation;
      smp::Call c = smp::MakeCall(101 + k, CentreIdOf(person), first + k % static_cast<int>(last - first + 1));
      c.texts["MKB_KOD"] = kDiagnoses[k % 8];
      c.texts["PATIENT_ADDRESS"] = HomeAddress(person);
      calls.push_back(std::move(c));
    }
    std::error_code ec;
    std::filesystem::create_directories(
        std::filesystem::path(platform::ToFsPath(dir + kSmpPackage)).parent_path(), ec);
    WriteBytes(dir + kSmpPackage, smp::Package(calls, first, last));
  }
  // The XML register of this month: persons the clinic knows and new ones.
  {
    int y, m, d;
    platform::DecodeDate(today, y, m, d);
    XmlRegister reg;
    reg.fileName = registerFileName("A061", Padded(kHospital, 4), "10", Padded(m, 2));
    reg.withComments = false;
    for (int k = 0; k < kRegisterKnown + kRegisterNew; ++k) {
      const int person = k < kRegisterKnown ? kRegisterKnownFrom + k : kRegisterPeople + k;
      const Person p = PersonOf(person);
      XmlCase c;
      c.npolis = Policy(person);
      c.enp = Policy(person);
      c.fam = p.last;
      c.im = p.first;
      c.ot = p.middle;
      c.dr = IsoDate(p.birthday);
      c.w = p.male ? "1" : "2";
      c.date1 = IsoDate(today - k % d);
      c.diagnoses = {{std::string(kDiagnoses[k % 8]), std::string("1")}};
      reg.cases.push_back(std::move(c));
    }
    WriteBytes(dir + kRegisterXml, reg.toUtf8Xml());
  }
}

namespace {

// The keys of "Morqa.ini" that name the inputs, pointed at those of `dir`.
void PointAtInputs(platform::TIniFile& ini, const std::string& dir) {
  ini.WriteString("WORK_PATH", "SMP_WORK_PATH", dir + kSmpPackage);
  ini.WriteString("WORK_PATH", "FILIALS_WORK_PATH", dir + kBranchFolder);
  ini.WriteString("WORK_PATH", "DBF_P", dir + kFundDbf);
  ini.WriteString("WORK_PATH", "DBF_L", dir + kPrivilegedDbf);
  ini.WriteString("WORK_PATH", "DBF_LS", dir + kDrugDbf);
  ini.WriteString("WORK_PATH", "XML_FILE", dir + kRegisterXml);
}

// Points the input keys of the temporary file of "Morqa.ini" at the inputs of `dir` and
// puts the file in place.
void CompleteSettings(const std::string& dir) {
  const std::string name = dir + "Morqa.ini";
  {
    platform::TIniFile ini(PartName(name));
    PointAtInputs(ini, dir);
  }
  Complete(name);
}

}  // namespace

void MakeSettings(const std::string& dir) {
  std::string ini = "[WORK_PATH]\r\nPachRen=\r\nStartRen=0\r\n";
  ini += "SMP_WORK_PATH=\r\nFILIALS_WORK_PATH=\r\nDBF_P=\r\nDBF_L=\r\nDBF_LS=\r\nXML_FILE=\r\nUser=\r\n";
  ini += "[BACKUP_Path]\r\nDB_BACKUP_Path_MAIN=" + dir + kBackupFolder + "\r\n";
  ini += "[STAT_MAIN]\r\nDatabase=" + dir + kClinicDb + "\r\n";
  ini += "[DB_PCName]\r\nDB_PCName=\r\n[Password]\r\nPassword=\r\n";
  ini += "[PROXY]\r\nUseProxy=0\r\nUseAutorisation=0\r\nServer=\r\nPort=0\r\nUser=\r\nPass=\r\n";
  // "Morqa.ini" last: a folder that has it has both.
  WriteBytes(dir + "Zelvorn.ini", C("[MY_HOSPITAL]\r\nNAME_HOSPITAL=Демонстрационная поликлиника\r\nKOD_HOSPITAL=") +
                                      std::to_string(kHospital) + "\r\n");
  WritePart(dir + "Morqa.ini", ini);
  CompleteSettings(dir);
}

void RepointSettings(const std::string& dir) {
  const std::string name = dir + "Morqa.ini";
  std::filesystem::copy_file(platform::ToFsPath(name), platform::ToFsPath(PartName(name)),
                             std::filesystem::copy_options::overwrite_existing);
  CompleteSettings(dir);
}

void MakeDemoFolder(const std::string& dir) {
  const TDateTime today = platform::Date();
  std::error_code ec;
  std::filesystem::create_directories(platform::ToFsPath(dir + kBackupFolder), ec);
  if (!Exists(dir + kClinicDb)) MakeClinicDatabase(dir + kClinicDb, today);
  if (!Exists(dir + kBranchDb)) MakeBranchDatabase(dir + kBranchDb, today);
  MakeInputs(dir, today);
  if (Exists(dir + "Morqa.ini")) {
    RepointSettings(dir);
  } else {
    MakeSettings(dir);
  }
}

}  // namespace demodata

// The duplicate search and the disease-record correction on a synthetic clinic
// database: 300,000 patients, 1,000,000 visits, 1,500,000 diagnoses (embedded engine,
// forced writes off), and the search's core alone over 1,000,000 rows in memory.
//
// The database is made once, in a temporary folder, before the first benchmark; the
// correction changes it, so it runs once and last. Environment KESTA_BENCH_SCALE (a
// fraction such as 0.1) shrinks every count for a quick look.
//
// Counters: the benchmark time is seconds per run; lines (written lines), patients,
// queries (reads of visits and neighbourhoods) and queries_per_s, marked, z_codes.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include "db/ClientDataSet.h"
#include "db/Provider.h"
#include "db/fbdb.h"
#include "platform/codepage.h"
#include "tasks/Scheduler_DM.h"
#include "tasks/Task_DiseaseCases.h"
#include "tasks/Task_Duplicates.h"

namespace {

double Scale() {
  const char* s = std::getenv("KESTA_BENCH_SCALE");
  double v = s ? std::atof(s) : 1.0;
  return v > 0 && v <= 1 ? v : 1.0;
}

int Count(int n) { return static_cast<int>(n * Scale()); }

class CountingUi : public ITaskUi {
public:
  long lines = 0;
  void AddTaskMessage(const std::string&) override { ++lines; }
  void ClearTaskMessages() override {}
  void AddProtocolLine(const std::string&) override {}
  void SetProgressMax(int) override {}
  void SetProgressPosition(int) override {}
  void StepProgress() override {}
  bool NotFoundChecked() const override { return false; }
  void ProcessMessages() override {}
  void ShowMessage(const std::string&, const std::string&) override {}
  void SetBusyCursor(bool) override {}
};

struct Synthetic {
  std::string dir;
  std::string path;
  std::unique_ptr<TdmScheduler> dm;
  cds::TDataSetProvider dsp1{"dsp1", static_cast<cds::IDataSource*>(nullptr)};
  cds::TClientDataSet cds1;
  cds::TDataSetProvider dspVis{"dspVis", static_cast<cds::IDataSource*>(nullptr)};
  cds::TClientDataSet cdsVis;
  CountingUi ui;

  Synthetic() {
    dir = (std::filesystem::temp_directory_path() / ("kesta-bench-dup-" + std::to_string(::getpid()))).string();
    std::filesystem::create_directories(dir);
    path = dir + "/clinic.fdb";
    fbdb::CreateOptions opt;
    opt.forcedWrites = false;
    fbdb::Attachment a;
    fbdb::CreateDatabaseFromScript(a, path, fbdb::ClinicSchemaScript(), opt);
    const std::string patients = std::to_string(Count(300000));
    const std::string visits = std::to_string(Count(1000000));
    const std::string diseases = std::to_string(Count(1500000));
    // Names repeat every 50,000 patients in another letter case now and then, policies
    // and SNILS repeat too, and every tenth SNILS is empty.
    a.executeImmediate(platform::Utf8ToCp1251(
        "execute block as declare i integer = 1; begin while (i <= " + patients +
        ") do begin "
        "insert into PATIENT (IDP, LAST_NAME, FIRST_NAME, MIDDLE_NAME, BIRTHDAY, POLICY_SERIA, POLICY_NUM, "
        "SNILS_KOD) values (:i, iif(mod(:i, 3) = 0, 'ФАМИЛИЯ', 'Фамилия') || mod(:i, 50000), 'Имя' || mod(:i, 300), "
        "'Отчество' || mod(:i, 200), dateadd(mod(:i, 50000) day to date '1930-01-01'), 'СЕР' || mod(:i, 10), "
        "mod(:i * 7, 290000), iif(mod(:i, 10) = 0, '', lpad(mod(:i, 280000), 11, '0'))); "
        "i = i + 1; end end"));
    const std::string p = std::to_string(Count(300000));
    a.executeImmediate(
        "execute block as declare i integer = 1; begin while (i <= " + visits +
        ") do begin "
        "insert into VISITS (IDV, PATIENT_ID, DATE_VISIT, RESULT) values (:i, mod(:i * 7, " + p +
        ") + 1, dateadd(mod(:i * 13, 6200) day to date '2007-12-01'), iif(mod(:i, 20) = 0, null, 1)); "
        "i = i + 1; end end");
    const std::string v = std::to_string(Count(1000000));
    a.executeImmediate(
        "execute block as declare j integer = 1; declare vi integer; begin while (j <= " + diseases +
        ") do begin vi = mod(j - 1, " + v +
        ") + 1; "
        "insert into DISEASES (IDD, VISIT_ID, PATIENT_ID, MKB_KOD, CASE_KOD) values (:j, :vi, mod(:vi * 7, " + p +
        ") + 1, "
        "decode(mod(:j, 5), 0, 'J', 1, 'K', 2, 'I', 3, 'M', iif(mod(:j, 50) = 4, 'Z', 'E')) || "
        "lpad(mod(:j * 31, 100), 2, '0'), iif(mod(:j, 7) = 0, 1, 0)); "
        "j = j + 1; end end");
    // Indexes made on empty tables carry no statistics; without them the engine joins
    // the diagnoses by a full scan. A restored clinic database has them fresh.
    for (const char* ix : {"VISITS_CASE", "VISITS_DATE", "DISEASES_VISIT", "DISEASES_PATIENT", "PATIENT_POLICY",
                           "PATIENT_PERSON", "PATIENT_SNILS"})
      a.executeImmediate(std::string("set statistics index ") + ix);
    {
      fbdb::Transaction t(a);
      fbdb::Query q(t);
      q.setSql(
          "select trim(RDB$INDEX_NAME) from RDB$INDICES where RDB$RELATION_NAME in ('PATIENT', 'VISITS', "
          "'DISEASES') and RDB$INDEX_NAME starting with 'RDB$'");
      std::vector<std::string> names;
      for (q.open(); !q.eof(); q.next()) names.push_back(q.field(0).asString());
      q.close();
      t.commit();
      for (const std::string& n : names) a.executeImmediate("set statistics index " + n);
    }
    a.disconnect();

    dm = std::make_unique<TdmScheduler>(dir + "/");
    dm->SetUi(&ui);
    dm->IBDB.databaseName = path;
    dm->IBDB.params.setValue("USER_NAME", "SYSDBA");
    dm->IBDB.connect();
    dm->SQLConnection.Params.setValue("DataBase", path);
    dm->SQLConnection.Params.setValue("User_Name", "SYSDBA");
    dm->SQLConnection.Params.setValue("ServerCharSet", "win1251");
    dm->SQLConnection.Params.setValue("SQLDialect", "3");
    dm->SQLConnection.open();
  }
  ~Synthetic() {
    dm.reset();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
  tasks::PatientKeyChain chain() { return {dm->IBTran, dm->Qry1, dsp1, cds1}; }
};

Synthetic& Db() {
  static Synthetic s;
  return s;
}

void BM_SearchDuplicatesDatabase(benchmark::State& state) {
  Synthetic& s = Db();
  for (auto _ : state) {
    s.ui.lines = 0;
    benchmark::DoNotOptimize(tasks::SearchDuplicates(s.chain(), s.ui, true, true, true));
  }
  state.counters["lines"] = static_cast<double>(s.ui.lines);
  state.counters["patients"] = s.cds1.RecordCount();
}
BENCHMARK(BM_SearchDuplicatesDatabase)->Unit(benchmark::kSecond)->Iterations(2);

void BM_FindDuplicateLinesInMemory(benchmark::State& state) {
  const int n = Count(1000000);
  std::vector<tasks::PatientKeyRow> rows(static_cast<size_t>(n));
  const std::string last = platform::Utf8ToCp1251("Фамилия"), lastUp = platform::Utf8ToCp1251("ФАМИЛИЯ");
  for (int i = 0; i < n; ++i) {
    tasks::PatientKeyRow& r = rows[static_cast<size_t>(i)];
    r.idp = std::to_string(i + 1);
    r.lastName = (i % 3 ? last : lastUp) + std::to_string(i % 150000);
    r.firstName = platform::Utf8ToCp1251("Имя") + std::to_string(i % 300);
    r.birthday = "01.01.19" + std::to_string(30 + i % 70);
    r.policySeria = std::to_string(i % 10);
    r.policyNum = std::to_string((i * 7) % 900000);
    r.snils = i % 10 ? std::to_string(100000000 + i % 800000) : std::string();
  }
  size_t lines = 0;
  for (auto _ : state) {
    std::vector<std::string> out = tasks::FindDuplicateLines(rows, true, true, true);
    lines = out.size();
    benchmark::DoNotOptimize(out.data());
  }
  state.counters["rows"] = n;
  state.counters["lines"] = static_cast<double>(lines);
}
BENCHMARK(BM_FindDuplicateLinesInMemory)->Unit(benchmark::kSecond)->Iterations(3);

void BM_FixDiseaseCasesDatabase(benchmark::State& state) {
  Synthetic& s = Db();
  tasks::DiseaseCasesDb db{s.chain(), s.dm->sdsVis, s.dspVis, s.cdsVis, s.dm->sdsDis, s.dm->sdsTemp};
  tasks::DiseaseCasesResult r;
  for (auto _ : state) benchmark::DoNotOptimize(tasks::FixDiseaseCases(db, s.ui, "A00", "T99", "3", "2024", &r));
  state.counters["patients"] = r.patients;
  state.counters["marked"] = r.marked;
  state.counters["z_codes"] = static_cast<double>(r.zCodes);
  state.counters["queries"] = r.passes + r.neighbourReads;
  state.counters["queries_per_s"] = benchmark::Counter(r.passes + r.neighbourReads, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_FixDiseaseCasesDatabase)->Unit(benchmark::kSecond)->Iterations(1);

}  // namespace

// XML register import: parse time and cases per second on a generated 50,000-case register.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <string>

#include "db/fbdb.h"
#include "platform/dates.h"
#include "support/TestDatabase.h"
#include "tasks/XmlDom.h"
#include "tasks/XmlImport.h"
#include "xmlimport_fixture.h"

namespace {

constexpr int kCases = 50000;

class QuietUi : public tasks::IXmlImportUi {
public:
  void addTaskMessage(const std::string&) override {}
  void setProgressMax(int) override {}
  void setProgressPosition(int) override {}
  void progressStep() override {}
  void processEvents() override {}
  void messageBox(const std::string&) override {}
  void focusFileEdit() override {}
  void setRefreshLabel(const std::string&) override {}
  void appendTaskMessagesToProtocol() override {}
  void setTaskStatus(int, const std::string&) override {}
  void setXmlLabel(const std::string&) override {}
};

// The register file, written once: every case a new patient with two diagnoses; every
// fifth case a second visit of an earlier patient.
const std::string& registerFile() {
  static const std::string file = [] {
    xmltest::XmlRegister reg;
    reg.withComments = false;
    reg.cases.reserve(kCases);
    for (int i = 0; i < kCases; ++i) {
      xmltest::XmlCase c;
      const int person = i % 5 == 4 ? i - 1 : i;
      c.npolis = std::to_string(6800000000000000LL + person);
      c.snils = std::to_string(10000000000LL + person);
      c.date1 = i % 5 == 4 ? "2026-11-06" : "2026-11-05";
      c.diagnoses = {{"J06.9", "1"}, {"I10", "0"}};
      reg.cases.push_back(std::move(c));
    }
    return xmltest::writeTempFile("bench_register.xml", reg.toCp1251Xml());
  }();
  return file;
}

double peakRssMb() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_maxrss) / 1024.0;
}

void BM_XmlRegisterParse(benchmark::State& state) {
  const std::string& file = registerFile();
  size_t records = 0;
  for (auto _ : state) {
    tasks::XmlDocument doc;
    doc.loadFromFile(file);
    records = doc.documentElement().childElements().at(1).childElements().size() - 6;
    benchmark::DoNotOptimize(records);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(records));
  state.counters["peak_rss_MB"] = peakRssMb();
}
BENCHMARK(BM_XmlRegisterParse)->Unit(benchmark::kMillisecond);

void BM_XmlRegisterImport(benchmark::State& state) {
  const std::string& file = registerFile();
  int cases = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto tdb = std::make_unique<testsupport::TestDatabase>();
    tdb->exec("insert into DOCTORS (ID, KOD, KOD_PROFESSION) values (7, 101, '76')");
    fbdb::Attachment IBDB;
    fbdb::Transaction IBTran(IBDB), IBTran2(IBDB);
    fbdb::SqlConnection SQLConnection;
    fbdb::Query Qry1(IBTran), Qry2(IBTran), Qryw(IBTran), Qry3(IBTran);
    fbdb::Query QryApp(IBTran2), QryUpd(IBTran2), QryDis(IBTran2);
    fbdb::StoredProc spGenIDP(IBTran), spIDVisit(SQLConnection), spIDDiseases(SQLConnection);
    spGenIDP.setStoredProcName("PATIENT_GEN_ID");
    spIDVisit.setStoredProcName("VISIT_GEN_ID");
    spIDDiseases.setStoredProcName("DISEASES_GEN_ID");
    tdb->connect(IBDB);
    tdb->fillParams(SQLConnection.Params);
    SQLConnection.open();
    tasks::XmlImportDb db{IBDB, IBTran, IBTran2, Qry1, Qry2, Qryw, Qry3, QryApp, QryUpd, QryDis,
                          spGenIDP, spIDVisit, spIDDiseases};
    QuietUi ui;
    state.ResumeTiming();
    tasks::XmlImportResult r = tasks::importXmlRegister(file, 1, ui, db);
    cases = r.records;
    state.PauseTiming();
    SQLConnection.close();
    IBDB.disconnect();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * cases);
  state.counters["cases_per_second"] =
      benchmark::Counter(static_cast<double>(cases) * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["peak_rss_MB"] = peakRssMb();
}
BENCHMARK(BM_XmlRegisterImport)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

}  // namespace

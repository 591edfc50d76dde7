// The DBF tasks on an embedded database.
//
// Attached-population actualisation (task 3): records per second on a 100,000-record fund
// file against a register of 100,000 patients, beside a raw loop that runs the same
// statements, in the same transactions, straight through the Firebird API (no DBF file,
// no layer: the floor the task can reach). The file: 60% of the persons are found by
// policy, 20% by name and birthday (their policy is replaced), 20% are new.
//
// Drug directory load (task 10): inserts per second for 20,000 records.
//
// Task 3 and the raw loop run in three pairs, task then loop, so that the two of a pair
// see the machine alike; after the table the program prints the median of the pairs'
// ratios (task rate / loop rate; 1 means the task costs nothing beyond its statements)
// and the ratio of the best rates, by the clock and by processor time.
#include <benchmark/benchmark.h>
#include <firebird/Interface.h>

#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <memory>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "db/fbdb.h"
#include "platform/dates.h"
#include "support/TestDatabase.h"
#include "tasks/Scheduler_DM.h"
#include "tasks/Task_RefreshFOMS.h"

namespace {

constexpr int kPatients = 100000;
constexpr int kRecords = 100000;

// Records per second of each run of the task and of the raw loop, by the clock and by the
// processor time of the process (the engine is embedded: its work is the process's own).
struct Rates {
  std::vector<double> wall, cpu;
};
Rates gTask, gRaw;

struct Lap {
  std::chrono::steady_clock::time_point wall = std::chrono::steady_clock::now();
  std::clock_t cpu = std::clock();
  // Records per second since the start of the lap: by the clock, by processor time.
  std::pair<double, double> rates() const {
    const double w = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall).count();
    const double c = static_cast<double>(std::clock() - cpu) / CLOCKS_PER_SEC;
    return {kRecords / w, c > 0 ? kRecords / c : 0};
  }
};

void keep(const Lap& lap, Rates& r) {
  const auto [w, c] = lap.rates();
  r.wall.push_back(w);
  r.cpu.push_back(c);
}

struct FundRecord {
  std::string last, number, series;
  int kind;  // 0 by policy, 1 by person, 2 new
};

FundRecord recordOf(int i) {
  FundRecord r;
  const int k = i % 10;
  r.kind = k < 6 ? 0 : k < 8 ? 1 : 2;
  r.series = "000000";
  if (r.kind == 0) {
    r.last = "L" + std::to_string(i);
    r.number = "N" + std::to_string(i);
  } else if (r.kind == 1) {
    r.last = "L" + std::to_string(i);
    r.number = "R" + std::to_string(i);
  } else {
    r.last = "NEW" + std::to_string(i);
    r.number = "W" + std::to_string(i);
  }
  return r;
}

struct DbfField {
  const char* name;
  char type;
  int len;
};

// A dBase III table, written byte by byte (ASCII texts only); row(i) gives record i.
template <class Row>
std::string writeDbf(const std::string& path, const std::vector<DbfField>& fields, int records, Row row) {
  int recLen = 1;
  for (const DbfField& f : fields) recLen += f.len;
  auto le = [](uint32_t v, int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += static_cast<char>((v >> (8 * i)) & 0xFF);
    return s;
  };
  std::string out = std::string("\x03\x7E\x0C\x0A", 4) + le(static_cast<uint32_t>(records), 4) +
                    le(static_cast<uint32_t>(32 + 32 * fields.size() + 1), 2) + le(static_cast<uint32_t>(recLen), 2) +
                    std::string(20, '\0');
  for (const DbfField& f : fields) {
    std::string n(f.name);
    n.resize(11, '\0');
    out += n + f.type + std::string(4, '\0') + static_cast<char>(f.len) + std::string(15, '\0');
  }
  out += '\x0D';
  out.reserve(out.size() + static_cast<size_t>(records) * static_cast<size_t>(recLen) + 1);
  for (int i = 0; i < records; ++i) {
    const std::vector<std::string> v = row(i);
    out += ' ';
    for (size_t j = 0; j < fields.size(); ++j) {
      std::string t = v[j];
      if (fields[j].type == 'N')
        t = std::string(static_cast<size_t>(fields[j].len) - t.size(), ' ') + t;
      else
        t.resize(static_cast<size_t>(fields[j].len), ' ');
      out += t;
    }
  }
  out += '\x1A';
  testsupport::WriteFile(path, out);
  return path;
}

// The fund file of kRecords persons.
std::string fundFile(const std::string& dir) {
  const std::vector<DbfField> fields = {
      {"FIRSTNAME", 'C', 40}, {"NAME", 'C', 20},     {"SECNAME", 'C', 20},   {"DATEBDAY", 'D', 8},
      {"POL", 'C', 1},        {"SNILS", 'C', 14},    {"SPOLICY", 'C', 10},   {"NPOLICY", 'C', 20},
      {"DPOLICY", 'D', 8},    {"ENDPOLICY", 'D', 8}, {"VPOLIC", 'N', 1},     {"CMOCOD", 'N', 5},
      {"ENP", 'C', 16},       {"DATEPRIK", 'D', 8},  {"SPOLREF", 'C', 6},    {"SSTOMREF", 'C', 6},
      {"SWCONREF", 'C', 6},   {"COATODIST", 'C', 11}, {"NPREF", 'C', 6},     {"STRETREF", 'C', 6},
      {"HOUSE", 'C', 5},      {"FLAT", 'N', 4},      {"KORPUS", 'C', 5},     {"NPNAME", 'C', 60},
      {"ADRESS_F", 'C', 60},  {"KLADR", 'C', 20},    {"KLADRS", 'C', 20},    {"ID_LIC", 'C', 20},
      {"STATUS", 'C', 2}};
  return writeDbf(dir + "BENCH.DBF", fields, kRecords, [](int i) {
    const FundRecord r = recordOf(i);
    return std::vector<std::string>{r.last, "F", "M", "19800101", "M", "123-456-789 01", "", r.number,
                                    "20150301", "", "3", "68001", "6800000000000001", "20200203", "61", "62",
                                    "63", "68401", "10", "501", "12", "7", "", "Tambov", "", "", "", "", "7"};
  });
}

// A clinic database with kPatients patients: "L<i>" / policy "000000" "N<i>" (the ones the
// file finds by person carry another policy in the file).
std::unique_ptr<testsupport::TestDatabase> registerOf() {
  auto tdb = std::make_unique<testsupport::TestDatabase>();
  fbdb::Attachment a;
  tdb->connect(a);
  a.executeImmediate(
      "execute block as declare i integer = 0; begin while (i < " + std::to_string(kPatients) +
      ") do begin insert into PATIENT (IDP, LAST_NAME, FIRST_NAME, MIDDLE_NAME, BIRTHDAY, POLICY_SERIA, POLICY_NUM) "
      "values (:i + 1, 'L' || :i, 'F', 'M', '1980-01-01', '000000', 'N' || :i); i = i + 1; end end");
  a.executeImmediate("set generator GEN_IDP to " + std::to_string(kPatients + 10));
  a.executeImmediate("insert into NPUNKT (KOD, NAME) values (10, 'g. Tambov')");
  a.disconnect();
  return tdb;
}

class QuietUi : public ITaskUi {
public:
  void AddTaskMessage(const std::string&) override {}
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

void BM_RefreshFromFOMS(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    auto tdb = registerOf();
    const std::string file = fundFile(tdb->dir());
    auto dm = std::make_unique<TdmScheduler>(tdb->dir());
    QuietUi ui;
    dm->SetUi(&ui);
    tdb->connect(dm->IBDB);
    tdb->fillParams(dm->SQLConnection.Params);
    dm->SQLConnection.open();
    state.ResumeTiming();
    const Lap lap;
    const bool ok = dm->RefreshFromFOMS(file, false);
    keep(lap, gTask);
    state.PauseTiming();
    if (!ok) state.SkipWithError("the task failed");
    dm->IBDB.disconnect();
    dm->SQLConnection.close();
    dm.reset();
    if (tdb->count("PATIENT") != kPatients + kRecords / 5) state.SkipWithError("unexpected patient count");
    tdb.reset();
    state.ResumeTiming();
  }
  state.counters["records_per_second"] =
      benchmark::Counter(static_cast<double>(kRecords) * static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate);
}

// Drug directory load: inserts per second for a 20,000-record directory, in one
// transaction.
void BM_LoadDrugs(benchmark::State& state) {
  constexpr int kDrugs = 20000;
  const std::vector<DbfField> fields = {
      {"NAME_MED", 'C', 100}, {"NOMK_LS", 'N', 8},     {"C_RLP", 'N', 5},     {"TYPE_LGT", 'N', 2},
      {"PRICE", 'N', 12},     {"MNN_NAME_R", 'C', 100}, {"MNN_NAME_L", 'C', 100}, {"D_R", 'C', 50},
      {"D_L", 'C', 50},       {"N_LF_L", 'C', 50},     {"N_LF_R", 'C', 50},   {"NAME_TRN", 'C', 100},
      {"NAME_FCT", 'C', 100}, {"DATE_E", 'D', 8},      {"C_MNN", 'N', 6},     {"C_FARG", 'N', 5},
      {"DATE_B", 'D', 8},     {"MSG_TEXT", 'C', 200},  {"C_LF", 'N', 5},      {"C_TRN", 'N', 8},
      {"KATEG", 'C', 10}};
  for (auto _ : state) {
    state.PauseTiming();
    auto tdb = std::make_unique<testsupport::TestDatabase>();
    const std::string file = writeDbf(tdb->dir() + "LS.DBF", fields, kDrugs, [](int i) {
      return std::vector<std::string>{"Drug " + std::to_string(i), std::to_string(100000 + i), "12", "1", "123.45",
                                      "Mnn", "Mnn latin", "500 mg", "500 mg", "tab", "tab", "Trade", "Firm",
                                      "20271231", std::to_string(i % 1000), "5", "20200101", "", "3", "4", "FALSE"};
    });
    auto dm = std::make_unique<TdmScheduler>(tdb->dir());
    QuietUi ui;
    dm->SetUi(&ui);
    tdb->connect(dm->IBDB);
    tdb->fillParams(dm->SQLConnection.Params);
    dm->SQLConnection.open();
    state.ResumeTiming();
    const bool ok = dm->LoadDrugs(file);
    state.PauseTiming();
    if (!ok) state.SkipWithError("the task failed");
    dm->IBDB.disconnect();
    dm->SQLConnection.close();
    dm.reset();
    if (tdb->count("DRUGS") != kDrugs) state.SkipWithError("unexpected row count");
    tdb.reset();
    state.ResumeTiming();
  }
  state.counters["inserts_per_second"] = benchmark::Counter(
      static_cast<double>(kDrugs) * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

// ---- The raw loop ----

using Value = std::variant<std::monostate, int32_t, std::string, platform::TDateTime>;

// One prepared statement with its input message, parameters by name.
class RawStatement {
public:
  RawStatement(Firebird::ThrowStatusWrapper& st, Firebird::IAttachment* att, Firebird::ITransaction* tra,
               const char* sql)
      : st_(st) {
    std::string positional;
    fbdb::Query::parseParams(sql, positional, names_);
    stmt_ = att->prepare(&st_, tra, 0, positional.c_str(), 3, Firebird::IStatement::PREPARE_PREFETCH_METADATA);
    in_ = stmt_->getInputMetadata(&st_);
    inBuf_.assign(in_->getMessageLength(&st_), 0);
    out_ = stmt_->getOutputMetadata(&st_);
    outBuf_.assign(out_->getMessageLength(&st_), 0);
  }
  ~RawStatement() {
    out_->release();
    in_->release();
    stmt_->free(&st_);
  }
  // Positions of a parameter name (one name may stand at several).
  std::vector<unsigned> at(const std::string& name) const {
    std::vector<unsigned> r;
    for (unsigned i = 0; i < names_.size(); ++i)
      if (names_[i] == name) r.push_back(i);
    return r;
  }
  unsigned size() const { return static_cast<unsigned>(names_.size()); }
  void clear() {
    for (unsigned i = 0; i < names_.size(); ++i) put(i, Value());
  }
  void set(const std::vector<unsigned>& positions, const Value& v) {
    for (unsigned i : positions) put(i, v);
  }
  void execute(Firebird::ITransaction* tra) { stmt_->execute(&st_, tra, in_, inBuf_.data(), out_, outBuf_.data()); }
  // A select: the first column (INTEGER) of its first row, or nothing.
  bool firstInt(Firebird::ITransaction* tra, int32_t& v) {
    Firebird::IResultSet* rs = stmt_->openCursor(&st_, tra, in_, inBuf_.data(), out_, 0);
    const bool got = rs->fetchNext(&st_, outBuf_.data()) == Firebird::IStatus::RESULT_OK;
    if (got) std::memcpy(&v, outBuf_.data() + out_->getOffset(&st_, 0), sizeof v);
    rs->close(&st_);
    return got;
  }
  int32_t outInt(unsigned i) {
    int32_t v;
    std::memcpy(&v, outBuf_.data() + out_->getOffset(&st_, i), sizeof v);
    return v;
  }

  void put(unsigned i, const Value& v) {
    unsigned char* b = inBuf_.data();
    int16_t* null = reinterpret_cast<int16_t*>(b + in_->getNullOffset(&st_, i));
    unsigned char* p = b + in_->getOffset(&st_, i);
    *null = std::holds_alternative<std::monostate>(v) ? -1 : 0;
    if (*null) return;
    const unsigned type = in_->getType(&st_, i) & ~1u;
    if (type == SQL_VARYING) {
      std::string s = std::holds_alternative<int32_t>(v) ? std::to_string(std::get<int32_t>(v)) : std::get<std::string>(v);
      const uint16_t n = static_cast<uint16_t>(std::min<size_t>(s.size(), in_->getLength(&st_, i)));
      std::memcpy(p, &n, 2);
      std::memcpy(p + 2, s.data(), n);
    } else if (type == SQL_LONG) {
      const int32_t x = std::get<int32_t>(v);
      std::memcpy(p, &x, 4);
    } else if (type == SQL_SHORT) {
      const int16_t x = static_cast<int16_t>(std::get<int32_t>(v));
      std::memcpy(p, &x, 2);
    } else if (type == SQL_TYPE_DATE) {
      const int32_t d = fbdb::ToIscDate(std::get<platform::TDateTime>(v));
      std::memcpy(p, &d, 4);
    }
  }
private:
  Firebird::ThrowStatusWrapper& st_;
  std::vector<std::string> names_;
  Firebird::IStatement* stmt_ = nullptr;
  Firebird::IMessageMetadata* in_ = nullptr;
  Firebird::IMessageMetadata* out_ = nullptr;
  std::vector<unsigned char> inBuf_, outBuf_;
};

void BM_RawLoop(benchmark::State& state) {
  using namespace Firebird;
  for (auto _ : state) {
    state.PauseTiming();
    auto tdb = registerOf();
    std::vector<FundRecord> records;
    records.reserve(kRecords);
    for (int i = 0; i < kRecords; ++i) records.push_back(recordOf(i));
    IMaster* master = fb_get_master_interface();
    ThrowStatusWrapper st(master->getStatus());
    IProvider* prov = master->getDispatcher();
    IXpbBuilder* dpb = master->getUtilInterface()->getXpbBuilder(&st, IXpbBuilder::DPB, nullptr, 0);
    dpb->insertString(&st, isc_dpb_user_name, "SYSDBA");
    dpb->insertString(&st, isc_dpb_lc_ctype, "WIN1251");
    IAttachment* att =
        prov->attachDatabase(&st, tdb->path().c_str(), dpb->getBufferLength(&st), dpb->getBuffer(&st));
    dpb->dispose();
    ITransaction* tra = att->startTransaction(&st, 0, nullptr);
    auto q1 = std::make_unique<RawStatement>(st, att, tra, tasks::foms::sql::kUpdateAttachment);
    auto q2 = std::make_unique<RawStatement>(st, att, tra, tasks::foms::sql::kSelectByPolicy);
    auto q3 = std::make_unique<RawStatement>(st, att, tra, tasks::foms::sql::kSelectByPerson);
    auto upd = std::make_unique<RawStatement>(st, att, tra, tasks::foms::sql::kReplacePolicy);
    auto app = std::make_unique<RawStatement>(st, att, tra, tasks::foms::sql::kInsertPatient);
    auto gen = std::make_unique<RawStatement>(st, att, tra, "EXECUTE PROCEDURE PATIENT_GEN_ID");
    tra->commit(&st);
    const platform::TDateTime today = platform::Date();
    const platform::TDateTime born = platform::EncodeDate(1980, 1, 1);
    const platform::TDateTime begin = platform::EncodeDate(2015, 3, 1);
    const platform::TDateTime prik = platform::EncodeDate(2020, 2, 3);
    state.ResumeTiming();
    const Lap lap;

    // Positions resolved once, as a prepared statement's parameters are.
    auto P = [](RawStatement& q, const char* name) { return q.at(name); };
    const auto q2Ser = P(*q2, "P_POLSER"), q2Num = P(*q2, "P_POLNUM");
    const auto q1Idp = P(*q1, "P_IDP"), q1Upd = P(*q1, "PUPDATE_DATE"), q1Prik = P(*q1, "PDATE_PRIK");
    const auto q3Ln = P(*q3, "P_LN"), q3Fn = P(*q3, "P_FN"), q3Mn = P(*q3, "P_MN"), q3Bd = P(*q3, "P_BD");
    const char* policyNames[] = {"PPOLICY_SERIA", "PPOLICY_NUM",      "PVPOLICY",       "PCOMPANY_KOD",
                                 "PPOLICE_DATE_BEGIN", "PDATE_PRIK",  "PUPDATE_DATE",   "PMY_HOSPITAL_KOD",
                                 "PSTOM_HOSP_KOD", "PGIN_HOSP_KOD",   "PENP",           "P_IDP"};
    const char* insertNames[] = {"PKOD_PATIENT", "PSNILS_KOD",   "PLAST_NAME",    "PFIRST_NAME",  "PMIDDLE_NAME",
                                 "PBIRTHDAY",    "PGENDER",      "PREGION_KOD",   "PNAS_PUNKT_KOD",
                                 "PLOCALITY_NAME", "PSTREET_KOD", "PHOUSE_NUMBER", "PFLAT_NUMBER", "PKORPUS_NAME",
                                 "PFULL_ADDRESS", "PFAKT_ADRES", "PKLADR",        "PKLADRS",      "PID_LIC",
                                 "PSOCIAL_STATUS_KOD"};
    std::vector<std::vector<unsigned>> updPos, appPos, appExtra;
    for (const char* n : policyNames) {
      updPos.push_back(P(*upd, n));
      appPos.push_back(P(*app, n));
    }
    for (const char* n : insertNames) appExtra.push_back(P(*app, n));
    auto setPolicy = [&](RawStatement& q, const std::vector<std::vector<unsigned>>& pos, const FundRecord& r,
                         int32_t idp) {
      const Value v[] = {r.series, r.number, std::string("New"), 68001, begin, prik, today, 61, 62, 63,
                         std::string("6800000000000001"), idp};
      for (size_t i = 0; i < pos.size(); ++i) q.set(pos[i], v[i]);
    };

    for (const FundRecord& r : records) {
      q1->clear();
      q2->clear();
      q3->clear();
      upd->clear();
      app->clear();
      ITransaction* t1 = att->startTransaction(&st, 0, nullptr);
      int32_t idp;
      q2->set(q2Ser, r.series);
      q2->set(q2Num, r.number);
      if (q2->firstInt(t1, idp)) {
        q1->set(q1Idp, idp);
        q1->set(q1Upd, today);
        q1->set(q1Prik, prik);
        q1->execute(t1);
        t1->commit(&st);
        continue;
      }
      q3->set(q3Ln, r.last);
      q3->set(q3Fn, std::string("F"));
      q3->set(q3Mn, std::string("M"));
      q3->set(q3Bd, born);
      ITransaction* t2 = att->startTransaction(&st, 0, nullptr);
      if (q3->firstInt(t1, idp)) {
        setPolicy(*upd, updPos, r, idp);
        upd->execute(t2);
      } else {
        gen->execute(t1);
        const int32_t id = gen->outInt(0);
        setPolicy(*app, appPos, r, id);
        const Value v[] = {id, std::string("123-456-789-01"), r.last, std::string("F"), std::string("M"), born,
                           std::string("Male"), 68401, 10, std::string("Town"), 501, 12, 7, std::string(),
                           std::string("Tambov"), std::string("Tambov"), std::string(), std::string(), std::string(),
                           13};
        for (size_t i = 0; i < appExtra.size(); ++i) app->set(appExtra[i], v[i]);
        app->execute(t2);
      }
      t2->commit(&st);
      t1->commit(&st);
    }
    keep(lap, gRaw);

    state.PauseTiming();
    q1.reset();
    q2.reset();
    q3.reset();
    upd.reset();
    app.reset();
    gen.reset();
    att->detach(&st);
    if (tdb->count("PATIENT") != kPatients + kRecords / 5) state.SkipWithError("unexpected patient count");
    tdb.reset();
    state.ResumeTiming();
  }
  state.counters["records_per_second"] =
      benchmark::Counter(static_cast<double>(kRecords) * static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate);
}
BENCHMARK(BM_LoadDrugs)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

// The median of the pairs' ratios and the ratio of the best rates.
void printRatios(const char* what, const std::vector<double>& task, const std::vector<double>& raw) {
  const size_t n = std::min(task.size(), raw.size());
  if (n == 0) return;
  std::vector<double> pairs;
  for (size_t i = 0; i < n; ++i)
    if (raw[i] > 0) pairs.push_back(task[i] / raw[i]);
  if (pairs.empty()) return;
  std::sort(pairs.begin(), pairs.end());
  const double median = pairs.size() % 2 ? pairs[pairs.size() / 2]
                                         : (pairs[pairs.size() / 2 - 1] + pairs[pairs.size() / 2]) / 2;
  const double bestTask = *std::max_element(task.begin(), task.end());
  const double bestRaw = *std::max_element(raw.begin(), raw.end());
  std::printf("task 3 against the raw loop (%s): pairs", what);
  for (size_t i = 0; i < n; ++i) std::printf(" %.0f/%.0f", task[i], raw[i]);
  std::printf(" records per second; median ratio %.2f; best %.0f / %.0f = %.2f\n", median, bestTask, bestRaw,
              bestTask / bestRaw);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  for (int i = 1; i <= 3; ++i) {
    const std::string n = std::to_string(i);
    benchmark::RegisterBenchmark(("BM_RefreshFromFOMS/pair" + n).c_str(), BM_RefreshFromFOMS)
        ->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();
    benchmark::RegisterBenchmark(("BM_RawLoop/pair" + n).c_str(), BM_RawLoop)
        ->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  printRatios("by the clock", gTask.wall, gRaw.wall);
  printRatios("by processor time", gTask.cpu, gRaw.cpu);
  return 0;
}

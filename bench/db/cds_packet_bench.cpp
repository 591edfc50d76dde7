// Client datasets: loading a large data packet and building two indexes, and the
// cost of keeping indexes current while rows are appended and edited.
//
// Counters: seconds per load (the benchmark time), peak_MB (the process's peak
// resident memory during the load, the whole process included, reset before each
// run), dataset_MB (what the dataset holds), packet_MB (the file),
// raw_MB (the binary packet's size, i.e. the packet's raw data) and peak/raw.
#include <benchmark/benchmark.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "db/ClientDataSet.h"
#include "db/DataPacket.h"

namespace {

constexpr int kRows = 1000000;

std::string g_dir;
std::string g_xml, g_bin;

cds::TFieldDef Def(const char* n, cds::FType t, int size = 0) {
  cds::TFieldDef d;
  d.Name = n;
  d.DataType = t;
  d.Size = size;
  return d;
}

// A year of visits: ids, patient, handle, date, doctor, input stamp, code, note.
void WritePackets() {
  cds::TClientDataSet ds;
  ds.SetFieldDefs({Def("IDV", cds::FType::I32), Def("PATIENT_ID", cds::FType::I32), Def("HANDLE_ID", cds::FType::I32),
                   Def("DATE_VISIT", cds::FType::Date), Def("DOCTOR", cds::FType::I32),
                   Def("DATE_INPUT", cds::FType::Stamp), Def("MKB_KOD", cds::FType::Str, 10),
                   Def("NOTE", cds::FType::Str, 60)});
  ds.BeginBulk(ds.FieldDefs());
  std::vector<cds::Value> v(8);
  const char* notes[] = {"\xCF\xE5\xF0\xE2\xE8\xF7\xED\xFB\xE9 \xEF\xF0\xE8\xE5\xEC", "\xCF\xEE\xE2\xF2\xEE\xF0",
                         "", "\xCE\xF1\xEC\xEE\xF2\xF0 \xE2\xF0\xE0\xF7\xE0 \xF2\xE5\xF0\xE0\xEF\xE5\xE2\xF2\xE0"};
  for (int i = 0; i < kRows; ++i) {
    uint32_t h = static_cast<uint32_t>(i) * 2654435761u;
    v[0] = cds::Value::Int32(1500000001 + i);
    v[1] = cds::Value::Int32(static_cast<int32_t>(1 + h % 200000));
    v[2] = cds::Value::Int32(static_cast<int32_t>(h % 7));
    v[3] = cds::Value::Date(static_cast<int32_t>(45000 + h % 365));
    v[4] = cds::Value::Int32(static_cast<int32_t>(h % 500));
    v[5] = cds::Value::Stamp((45000LL + h % 365) * cds::kTicksPerDay + (h % 86400) * cds::kTicksPerSecond);
    char mkb[8];
    std::snprintf(mkb, sizeof mkb, "%c%02u.%u", 'A' + static_cast<char>(h % 26), (h >> 8) % 100, (h >> 16) % 10);
    v[6] = cds::Value(mkb);
    v[7] = cds::Value(notes[h % 4]);
    ds.BulkAppend(v.data(), v.size());
  }
  ds.EndBulk();
  ds.SaveToFile(g_xml, cds::TDataPacketFormat::dfXML);
  ds.SaveToFile(g_bin, cds::TDataPacketFormat::dfBinary);
}

// The packets are written by a child process, so that the memory used to make them
// does not stay in this process and blur the peak of the loads.
void MakePackets() {
  if (!g_xml.empty()) return;
  g_dir = (std::filesystem::temp_directory_path() / ("kesta_cds_bench_" + std::to_string(::getpid()))).string();
  std::filesystem::create_directories(g_dir);
  g_xml = g_dir + "/VISIT.xml";
  g_bin = g_dir + "/VISIT.bin";
  pid_t pid = ::fork();
  if (pid == 0) {
    WritePackets();
    ::_exit(0);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  std::atexit([] { std::filesystem::remove_all(g_dir); });
}

double PeakMB() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmHWM:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
  return 0;
}

void ResetPeak() {
  std::ofstream out("/proc/self/clear_refs");
  out << "5";
}

double FileMB(const std::string& p) { return static_cast<double>(std::filesystem::file_size(p)) / (1024.0 * 1024.0); }

void LoadAndIndex(benchmark::State& state, const std::string* file) {
  MakePackets();
  double peak = 0, dsMB = 0;
  for (auto _ : state) {
    state.PauseTiming();
    ResetPeak();
    state.ResumeTiming();
    cds::TClientDataSet ds;
    ds.LoadFromFile(*file);
    ds.AddIndex("VISIT_IDV_IND", "IDV");
    ds.AddIndex("VISIT_IN_HANDLE_IND", "PATIENT_ID;HANDLE_ID;DATE_VISIT;IDV");
    ds.SetIndexName("VISIT_IN_HANDLE_IND");
    benchmark::DoNotOptimize(ds.RecordCount());
    state.PauseTiming();
    peak = PeakMB();
    dsMB = static_cast<double>(ds.MemoryUsed()) / (1024.0 * 1024.0);
    if (ds.RecordCount() != kRows) state.SkipWithError("wrong row count");
    state.ResumeTiming();
  }
  state.counters["peak_MB"] = peak;
  state.counters["dataset_MB"] = dsMB;
  state.counters["packet_MB"] = FileMB(*file);
  state.counters["raw_MB"] = FileMB(g_bin);
  state.counters["peak_per_raw"] = peak / FileMB(g_bin);
}

void BM_LoadBinaryPacketAndIndex(benchmark::State& state) { LoadAndIndex(state, &g_bin); }
void BM_LoadXmlPacketAndIndex(benchmark::State& state) { LoadAndIndex(state, &g_xml); }
BENCHMARK(BM_LoadBinaryPacketAndIndex)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_LoadXmlPacketAndIndex)->Unit(benchmark::kMillisecond)->Iterations(3);

// Appends rows one by one into a dataset with three indexes, then edits a key field of
// every tenth row and finds each row by its compound key.
void BM_IndexMaintenance(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  for (auto _ : state) {
    cds::TClientDataSet ds;
    ds.SetFieldDefs({Def("IDV", cds::FType::I32), Def("PATIENT_ID", cds::FType::I32), Def("DATE_VISIT", cds::FType::Date),
                     Def("DOCTOR", cds::FType::I32), Def("MKB_KOD", cds::FType::Str, 10)});
    ds.CreateDataSet();
    ds.AddIndex("VISIT_ID_IND", "IDV");
    ds.AddIndex("VISIT_UNIQ_IND", "PATIENT_ID;DATE_VISIT;DOCTOR");
    ds.AddIndex("BY_MKB", "MKB_KOD", cds::ixCaseInsensitive);
    ds.SetIndexName("VISIT_ID_IND");
    for (int i = 0; i < n; ++i) {
      uint32_t h = static_cast<uint32_t>(i) * 2654435761u;
      ds.Append();
      ds.Fields(0).SetAsInteger(i);
      ds.Fields(1).SetAsInteger(static_cast<int32_t>(h % 50000));
      ds.Fields(2).SetValue(cds::Value::Date(static_cast<int32_t>(45000 + h % 365)));
      ds.Fields(3).SetAsInteger(static_cast<int32_t>(h % 300));
      ds.Fields(4).SetAsString(std::string(1, static_cast<char>('a' + h % 26)) + std::to_string(h % 1000));
      ds.Post();
    }
    for (int i = 0; i < n; i += 10) {
      if (!ds.FindKey({i})) state.SkipWithError("row not found");
      ds.Edit();
      ds.Fields(3).SetAsInteger(ds.Fields(3).AsInteger() + 1000);
      ds.Post();
    }
    ds.SetIndexName("VISIT_UNIQ_IND");
    int found = 0;
    for (int i = 0; i < n; ++i) {
      uint32_t h = static_cast<uint32_t>(i) * 2654435761u;
      found += ds.FindKey({static_cast<int32_t>(h % 50000), cds::Value::Date(static_cast<int32_t>(45000 + h % 365))});
    }
    benchmark::DoNotOptimize(found);
  }
  state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_IndexMaintenance)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace

namespace {

// Walks a loaded packet along its compound index, reading two fields of every row.
void BM_WalkIndex(benchmark::State& state) {
  MakePackets();
  cds::TClientDataSet ds;
  ds.LoadFromFile(g_bin);
  ds.AddIndex("VISIT_IN_HANDLE_IND", "PATIENT_ID;HANDLE_ID;DATE_VISIT;IDV");
  ds.SetIndexName("VISIT_IN_HANDLE_IND");
  cds::TField& idv = ds.FieldByName("IDV");
  cds::TField& mkb = ds.FieldByName("MKB_KOD");
  for (auto _ : state) {
    int64_t sum = 0;
    for (ds.First(); !ds.Eof(); ds.Next()) sum += idv.AsInteger() + static_cast<int64_t>(mkb.AsString().size());
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * ds.RecordCount());
}
BENCHMARK(BM_WalkIndex)->Unit(benchmark::kMillisecond);

}  // namespace

namespace {

// A 5 MB XML packet of 20,000 fields whose rows carry attributes that name no field
// (and one that does, last): each is looked up by name, so the load takes linear time
// (at about the speed of other packets) whatever the number of fields.
void BM_LoadXmlPacketOfUnknownAttributes(benchmark::State& state) {
  constexpr int kFields = 20000;
  std::string xml = "<DATAPACKET Version=\"2.0\"><METADATA><FIELDS>";
  for (int i = 0; i < kFields; ++i) xml += "<FIELD attrname=\"F" + std::to_string(i) + "\" fieldtype=\"i4\"/>";
  xml += "</FIELDS><PARAMS/></METADATA><ROWDATA>";
  std::string row = "<ROW";
  for (int i = 0; i < 1000; ++i) row += " X" + std::to_string(i) + "=\"1\"";
  row += " F" + std::to_string(kFields - 1) + "=\"7\"/>";
  while (xml.size() < (size_t(5) << 20)) xml += row;
  xml += "</ROWDATA></DATAPACKET>";
  for (auto _ : state) {
    cds::TClientDataSet ds;
    cds::ReadDataPacketBytes(xml, "UNKNOWN.xml", ds);
    benchmark::DoNotOptimize(ds.RecordCount());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(xml.size()));
}
BENCHMARK(BM_LoadXmlPacketOfUnknownAttributes)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

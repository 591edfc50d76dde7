// Speed of the xBase engine on a fund-shaped table of 200,000 records: writing,
// the physical walk, the dataset walk with fields read by name (with and without
// translation) against a raw read() with a minimal field split (BM_WalkRatio: goal <= 2), and the helpers.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "xbase/XBaseDB.h"
#include "xbase/xb_dbsy.h"
#include "xbase/xb_memo.h"
#include "xbase/xb_dbf.h"
#include "xbase/xb_glbl.h"
#include "xbase/xb_tool.h"

using namespace xb;

namespace {
constexpr int kRecords = 200000;

struct Fld {
  const char* name;
  char type;
  int len;
  int dec;
};
const Fld kFields[] = {{"FIRSTNAME", 'C', 40, 0}, {"NAME", 'C', 40, 0},    {"SECNAME", 'C', 40, 0},
                       {"DATEBDAY", 'D', 8, 0},   {"POL", 'C', 1, 0},      {"SNILS", 'C', 14, 0},
                       {"SPOLICY", 'C', 10, 0},   {"NPOLICY", 'C', 20, 0}, {"DPOLICY", 'D', 8, 0},
                       {"ENDPOLICY", 'C', 10, 0}, {"VPOLIC", 'N', 1, 0},   {"CMOCOD", 'N', 5, 0},
                       {"ENP", 'C', 16, 0},       {"DATEPRIK", 'C', 10, 0}, {"SPOLREF", 'C', 10, 0},
                       {"SSTOMREF", 'C', 10, 0},  {"SWCONREF", 'C', 10, 0}, {"COATODIST", 'C', 10, 0},
                       {"NPREF", 'C', 10, 0},     {"STRETREF", 'C', 10, 0}, {"HOUSE", 'C', 10, 0},
                       {"FLAT", 'N', 5, 0},       {"KORPUS", 'C', 5, 0},   {"NPNAME", 'C', 60, 0},
                       {"ADRESS_F", 'C', 60, 0},  {"KLADR", 'C', 17, 0},   {"KLADRS", 'C', 17, 0},
                       {"ID_LIC", 'C', 20, 0},    {"STATUS", 'C', 2, 0}};
constexpr int kFieldCount = sizeof(kFields) / sizeof(kFields[0]);

std::string folder() {
  static std::string dir = [] {
    auto p = std::filesystem::temp_directory_path() / ("kesta_xb_bench_" + std::to_string(getpid()));
    std::filesystem::create_directories(p);
    return p.string() + "/";
  }();
  return dir;
}

void writeEmptyTable(const std::string& path) {
  std::string h(32, '\0');
  int hlen = 32 + 32 * kFieldCount + 1, rlen = 1;
  for (const Fld& f : kFields) rlen += f.len;
  h[0] = 0x03;
  h[8] = static_cast<char>(hlen & 0xFF);
  h[9] = static_cast<char>(hlen >> 8);
  h[10] = static_cast<char>(rlen & 0xFF);
  h[11] = static_cast<char>(rlen >> 8);
  for (const Fld& f : kFields) {
    std::string d(32, '\0');
    std::memcpy(d.data(), f.name, std::strlen(f.name));
    d[11] = f.type;
    d[16] = static_cast<char>(f.len);
    d[17] = static_cast<char>(f.dec);
    h += d;
  }
  h += '\r';
  h += '\x1a';
  FILE* fp = std::fopen(path.c_str(), "wb");
  std::fwrite(h.data(), 1, h.size(), fp);
  std::fclose(fp);
}

// Appends the records through the engine (exclusive open: no lock calls).
void fillTable(const std::string& path, int count) {
  writeEmptyTable(path);
  XBO_dBaseFld t(path, true, false, "");
  std::string surname = xbAnsiToOemStr("\xc8\xe2\xe0\xed\xee\xe2");   // CP1251 "Иванов"
  for (int i = 0; i < count; ++i) {
    t.BlankRecord();
    t.FieldPut(1, surname);
    t.FieldPut(2, "NAME" + std::to_string(i % 1000));
    t.FieldPut(3, "SECOND");
    t.DatePut(4, 2444240 + i % 20000);
    t.FieldPut(5, "M");
    t.FieldPut(6, "123-456-789 01");
    t.FieldPut(8, std::to_string(1000000 + i));
    t.DatePut(9, 2455683);
    t.NumberPut(11, i % 5 + 1);
    t.NumberPut(12, 46001);
    t.FieldPut(14, "01.02.2013");
    t.FieldPut(15, "15");
    t.FieldPut(19, std::to_string(i % 300));
    t.FieldPut(21, std::to_string(i % 90));
    t.NumberPut(22, i % 200);
    t.FieldPut(24, "SOME STREET, SOME TOWN");
    t.FieldPut(29, "7");
    if (i % 50 == 0) t.CurRecord[0] = '*';
    t.Append();
  }
}

const std::string& fundTable() {
  static std::string path = [] {
    std::string p = folder() + "FUND.DBF";
    fillTable(p, kRecords);
    return p;
  }();
  return path;
}

void BM_WriteTable(benchmark::State& state) {
  for (auto _ : state) fillTable(folder() + "W.DBF", static_cast<int>(state.range(0)));
  state.counters["records/s"] = benchmark::Counter(static_cast<double>(state.range(0)) * state.iterations(),
                                                   benchmark::Counter::kIsRate);
}
BENCHMARK(BM_WriteTable)->Arg(kRecords)->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_OpenTable(benchmark::State& state) {
  const std::string& p = fundTable();
  for (auto _ : state) {
    XBO_dBaseFld t(p, false, true, "");
    benchmark::DoNotOptimize(t.RecordCount);
  }
}
BENCHMARK(BM_OpenTable);

// Physical walk through the table object, every field read as raw bytes or numbers.
void BM_TableWalk(benchmark::State& state) {
  const std::string& p = fundTable();
  int64_t records = 0;
  for (auto _ : state) {
    XBO_dBaseFld t(p, false, true, "");
    for (t.GoTo(-3); !t.Eof; t.GoTo(-1)) {
      for (int n = 1; n <= t.FieldCount; ++n) benchmark::DoNotOptimize(t.FieldView(n).data());
      benchmark::DoNotOptimize(t.NumberGet(11));
      benchmark::DoNotOptimize(t.DateGet(4));
      ++records;
    }
  }
  state.counters["records/s"] = benchmark::Counter(static_cast<double>(records), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_TableWalk)->Unit(benchmark::kMillisecond);

// The walk of the attached-population task: every field by name, as text, date or
// integer. Returns the records read.
int64_t walkByName(bool translate) {
  int64_t records = 0;
  TXBaseDataSet ds;
  ds.SetDatabaseName(folder());
  ds.SetTableName("FUND.DBF");
  ds.SetReadOnly(true);
  ds.SetTranslateASCII(translate);
  ds.Open();
  benchmark::DoNotOptimize(ds.RecordCount());
  for (; !ds.Eof(); ds.Next()) {
    benchmark::DoNotOptimize(ds.FieldByName("FIRSTNAME").AsString());
    benchmark::DoNotOptimize(ds.FieldByName("NAME").AsString());
    benchmark::DoNotOptimize(ds.FieldByName("SECNAME").AsString());
    benchmark::DoNotOptimize(ds.FieldByName("DATEBDAY").AsDateTime());
    benchmark::DoNotOptimize(ds.FieldByName("POL").AsString());
    benchmark::DoNotOptimize(ds.FieldByName("SNILS").AsString());
    benchmark::DoNotOptimize(ds.FieldByName("SPOLICY").AsString());
    benchmark::DoNotOptimize(ds.FieldByName("NPOLICY").AsString());
    benchmark::DoNotOptimize(ds.FieldByName("DPOLICY").AsDateTime());
    benchmark::DoNotOptimize(ds.FieldByName("ENDPOLICY").AsString());
    benchmark::DoNotOptimize(ds.FieldByName("VPOLIC").AsInteger());
    benchmark::DoNotOptimize(ds.FieldByName("CMOCOD").AsInteger());
    benchmark::DoNotOptimize(ds.FieldByName("ENP").AsString());
    benchmark::DoNotOptimize(ds.FieldByName("DATEPRIK").AsString());
    benchmark::DoNotOptimize(ds.FieldByName("SPOLREF").AsString());
    benchmark::DoNotOptimize(ds.FieldByName("SSTOMREF").AsString());
    benchmark::DoNotOptimize(ds.FieldByName("SWCONREF").AsString());
    benchmark::DoNotOptimize(ds.FieldByName("COATODIST").AsString());
    benchmark::DoNotOptimize(ds.FieldByName("NPREF").AsString());
    benchmark::DoNotOptimize(ds.FieldByName("STRETREF").AsString());
    benchmark::DoNotOptimize(ds.FieldByName("HOUSE").AsString());
    benchmark::DoNotOptimize(ds.FieldByName("FLAT").AsInteger());
    benchmark::DoNotOptimize(ds.FieldByName("KORPUS").AsString());
    benchmark::DoNotOptimize(ds.FieldByName("NPNAME").AsString());
    benchmark::DoNotOptimize(ds.FieldByName("ADRESS_F").AsString());
    benchmark::DoNotOptimize(ds.FieldByName("STATUS").AsString());
    ++records;
  }
  ds.Close();
  return records;
}

// The same walk with the fields looked up once before it.
int64_t walkFieldsOnce() {
  static const char* const names[] = {"FIRSTNAME", "NAME", "SECNAME", "POL", "SNILS", "SPOLICY", "NPOLICY",
                                      "ENDPOLICY", "ENP", "DATEPRIK", "SPOLREF", "SSTOMREF", "SWCONREF",
                                      "COATODIST", "NPREF", "STRETREF", "HOUSE", "KORPUS", "NPNAME", "ADRESS_F",
                                      "STATUS"};
  int64_t records = 0;
  TXBaseDataSet ds;
  ds.SetDatabaseName(folder());
  ds.SetTableName("FUND.DBF");
  ds.SetReadOnly(true);
  ds.Open();
  std::vector<TxbField*> texts;
  for (const char* n : names) texts.push_back(&ds.FieldByName(n));
  TxbField &bday = ds.FieldByName("DATEBDAY"), &dpolicy = ds.FieldByName("DPOLICY");
  TxbField &vpolic = ds.FieldByName("VPOLIC"), &cmocod = ds.FieldByName("CMOCOD"), &flat = ds.FieldByName("FLAT");
  for (; !ds.Eof(); ds.Next()) {
    for (TxbField* f : texts) benchmark::DoNotOptimize(f->AsString());
    benchmark::DoNotOptimize(bday.AsDateTime());
    benchmark::DoNotOptimize(dpolicy.AsDateTime());
    benchmark::DoNotOptimize(vpolic.AsInteger());
    benchmark::DoNotOptimize(cmocod.AsInteger());
    benchmark::DoNotOptimize(flat.AsInteger());
    ++records;
  }
  return records;
}

// Baseline: read() of the whole file in 64 KiB pieces and a minimal field split
// (trim each field into a string), no engine.
int64_t rawReadSplit() {
  const std::string& p = fundTable();
  int hlen = 32 + 32 * kFieldCount + 1, rlen = 1;
  for (const Fld& f : kFields) rlen += f.len;
  int64_t records = 0;
  std::vector<char> buf(static_cast<size_t>(rlen) * 512);
  int fd = ::open(p.c_str(), O_RDONLY);
  ::lseek(fd, hlen, SEEK_SET);
  ssize_t got;
  while ((got = ::read(fd, buf.data(), buf.size())) >= rlen) {
    for (ssize_t at = 0; at + rlen <= got; at += rlen) {
      const char* rec = buf.data() + at;
      if (rec[0] == '*') continue;
      int off = 1;
      for (const Fld& f : kFields) {
        int e = f.len;
        while (e > 0 && static_cast<unsigned char>(rec[off + e - 1]) <= ' ') --e;
        std::string s(rec + off, static_cast<size_t>(e));
        benchmark::DoNotOptimize(s);
        off += f.len;
      }
      ++records;
    }
  }
  ::close(fd);
  return records;
}

void BM_DataSetWalk(benchmark::State& state) {
  fundTable();
  int64_t records = 0;
  for (auto _ : state) records += walkByName(state.range(0) != 0);
  state.counters["records/s"] = benchmark::Counter(static_cast<double>(records), benchmark::Counter::kIsRate);
  state.counters["ns/field"] = benchmark::Counter(static_cast<double>(records) * 26,
                                                  benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_DataSetWalk)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);

void BM_DataSetWalkFieldsOnce(benchmark::State& state) {
  fundTable();
  int64_t records = 0;
  for (auto _ : state) records += walkFieldsOnce();
  state.counters["records/s"] = benchmark::Counter(static_cast<double>(records), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_DataSetWalkFieldsOnce)->Unit(benchmark::kMillisecond);

// The walk alone, no field read.
void BM_DataSetWalkOnly(benchmark::State& state) {
  fundTable();
  for (auto _ : state) {
    TXBaseDataSet ds;
    ds.SetDatabaseName(folder());
    ds.SetTableName("FUND.DBF");
    ds.SetReadOnly(true);
    ds.Open();
    int64_t n = 0;
    for (; !ds.Eof(); ds.Next()) ++n;
    benchmark::DoNotOptimize(n);
  }
}
BENCHMARK(BM_DataSetWalkOnly)->Unit(benchmark::kMillisecond);

void BM_RawReadSplit(benchmark::State& state) {
  fundTable();
  int64_t records = 0;
  for (auto _ : state) records += rawReadSplit();
  state.counters["records/s"] = benchmark::Counter(static_cast<double>(records), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_RawReadSplit)->Unit(benchmark::kMillisecond);

// The goal of the dataset walk: at most 2 times the raw read with the field split.
// Both run in turn in every iteration (so a busy machine slows both alike), and
// the ratio is taken of the fastest run of each in thread CPU time; "ratio" is the walk by name with
// translation (the tasks' walk), "ratio_once" the walk with fields looked up once.
void BM_WalkRatio(benchmark::State& state) {
  fundTable();
  // Thread CPU time: time spent waiting for a busy machine's processors does not count.
  auto cpuMs = [] {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
  };
  auto time = [&](auto&& f) {
    double t0 = cpuMs();
    benchmark::DoNotOptimize(f());
    return cpuMs() - t0;
  };
  double raw = 1e300, walk = 1e300, once = 1e300;
  for (auto _ : state) {
    raw = std::min(raw, time(rawReadSplit));
    walk = std::min(walk, time([] { return walkByName(true); }));
    once = std::min(once, time(walkFieldsOnce));
  }
  state.counters["raw_ms"] = raw;
  state.counters["walk_ms"] = walk;
  state.counters["ratio"] = walk / raw;
  state.counters["ratio_once"] = once / raw;
}
BENCHMARK(BM_WalkRatio)->Iterations(15)->Unit(benchmark::kMillisecond);

// Physical scan through the handler with the 32 KiB read-ahead on and off.
void BM_HandlerScan(benchmark::State& state) {
  const std::string& p = fundTable();
  int64_t records = 0;
  for (auto _ : state) {
    XBO_dBHandler h(p, false, true, "");
    h.SetReadAhead(state.range(0) != 0);
    for (h.GoTo(-3); !h.Eof; h.GoTo(-1)) ++records;
  }
  state.counters["records/s"] = benchmark::Counter(static_cast<double>(records), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_HandlerScan)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);

// Reading 10,000 memo texts of 1-8 KiB from a dBase IV memo file.
void BM_MemoRead(benchmark::State& state) {
  static std::string path = [] {
    std::string dbf = folder() + "MEMO.DBF";
    std::string h(32, '\0');
    h[0] = static_cast<char>(0x8B);
    h[8] = 32 + 32 + 1;
    h[10] = 11;
    std::string d(32, '\0');
    std::memcpy(d.data(), "NOTE", 4);
    d[11] = 'M';
    d[16] = 10;
    h += d + "\r\x1a";
    FILE* fp = std::fopen(dbf.c_str(), "wb");
    std::fwrite(h.data(), 1, h.size(), fp);
    std::fclose(fp);
    xbCreateMemoFile(folder() + "MEMO.dbt", TxbMemoKind::DBase4, "MEMO");
    XBO_dBaseFld t(dbf, true, false, "");
    for (int i = 0; i < 10000; ++i) {
      t.BlankRecord();
      t.MemoWrite(1, std::string(1024 + (i * 7919) % 7168, static_cast<char>('a' + i % 26)));
      t.Append();
    }
    return dbf;
  }();
  int64_t bytes = 0;
  for (auto _ : state) {
    XBO_dBaseFld t(path, false, true, "");
    for (t.GoTo(-3); !t.Eof; t.GoTo(-1)) bytes += static_cast<int64_t>(t.MemoRead(1).size());
  }
  state.SetBytesProcessed(bytes);
}
BENCHMARK(BM_MemoRead)->Unit(benchmark::kMillisecond);

void BM_OemToAnsiBuf(benchmark::State& state) {
  std::vector<uint8_t> buf(64u << 20);
  for (size_t i = 0; i < buf.size(); ++i) buf[i] = static_cast<uint8_t>(i * 7);
  for (auto _ : state) {
    xbOemToAnsiBuf(buf.data(), buf.data(), buf.size());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(buf.size()) * state.iterations());
}
BENCHMARK(BM_OemToAnsiBuf)->Unit(benchmark::kMillisecond);

void BM_HugeSetTestBit(benchmark::State& state) {
  TxbHugeSet s;
  for (int64_t i = 0; i < 1000000; i += 3) s.SetBit(i, 1);
  int64_t n = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(s.TestBit(n));
    n = (n + 7919) % 1000000;
  }
}
BENCHMARK(BM_HugeSetTestBit);

struct Cleanup {
  ~Cleanup() {
    std::error_code ec;
    std::filesystem::remove_all(folder(), ec);
  }
} cleanup;
}  // namespace

// Speed of the xBase engine on a fund-shaped table of 200,000 records: writing,
// the physical walk, the dataset walk with fields read by name (with and without
// translation) against a raw read() with a minimal field split (BM_WalkRatio: goal <= 2), and the helpers.
// BM_WalkRatio also walks two tables of Cyrillic names and addresses of the same
// size, one in CP866 (translated on read) and one in CP1251.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <cstring>
#include <filesystem>
#include <string>
#include <span>
#include <vector>

#include "platform/codepage.h"
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

// The Cyrillic tables: names, town, street and the full address in Cyrillic text.
const Fld kCyrFields[] = {{"FAM", 'C', 40, 0},    {"IM", 'C', 40, 0},     {"OT", 'C', 40, 0},
                          {"DR", 'D', 8, 0},      {"W", 'C', 1, 0},       {"NPNAME", 'C', 60, 0},
                          {"STREET", 'C', 60, 0}, {"HOUSE", 'C', 10, 0},  {"FLAT", 'N', 5, 0},
                          {"ADRESS", 'C', 120, 0}, {"WORK", 'C', 80, 0},  {"NOTE", 'C', 40, 0}};

int headerLength(std::span<const Fld> fields) { return 32 + 32 * static_cast<int>(fields.size()) + 1; }
int recordLength(std::span<const Fld> fields) {
  int n = 1;
  for (const Fld& f : fields) n += f.len;
  return n;
}

std::string folder() {
  static std::string dir = [] {
    auto p = std::filesystem::temp_directory_path() / ("kesta_xb_bench_" + std::to_string(getpid()));
    std::filesystem::create_directories(p);
    return p.string() + "/";
  }();
  return dir;
}

// The header of a table of the fields with count records, ended by the 0x0D mark.
std::string tableHeader(std::span<const Fld> fields, uint32_t count, uint8_t languageDriver) {
  const int hlen = headerLength(fields), rlen = recordLength(fields);
  std::string h(32, '\0');
  h[0] = 0x03;
  std::memcpy(&h[4], &count, 4);
  h[8] = static_cast<char>(hlen & 0xFF);
  h[9] = static_cast<char>(hlen >> 8);
  h[10] = static_cast<char>(rlen & 0xFF);
  h[11] = static_cast<char>(rlen >> 8);
  h[29] = static_cast<char>(languageDriver);
  for (const Fld& f : fields) {
    std::string d(32, '\0');
    std::memcpy(d.data(), f.name, std::strlen(f.name));
    d[11] = f.type;
    d[16] = static_cast<char>(f.len);
    d[17] = static_cast<char>(f.dec);
    h += d;
  }
  h += '\r';
  return h;
}

void writeEmptyTable(const std::string& path) {
  std::string h = tableHeader(kFields, 0, 0);
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

// Writes the Cyrillic table directly in the file layout; oem: the texts in CP866
// and the CP866 language driver, else CP1251 texts and its driver.
void writeCyrillicTable(const std::string& path, int count, bool oem) {
  static const char* const surnames[] = {"Иванов", "Смирнова", "Кузнецов", "Попова", "Васильев", "Петрова",
                                         "Соколов", "Михайлова", "Новиков", "Фёдорова", "Морозов", "Волкова",
                                         "Алексеев", "Лебедева", "Семёнов", "Егорова", "Павлов", "Козлова",
                                         "Степанов", "Николаева", "Орлов", "Андреева", "Макаров", "Захарова"};
  static const char* const names[] = {"Александр", "Мария", "Дмитрий", "Анна", "Сергей", "Елена", "Андрей",
                                      "Ольга", "Алексей", "Татьяна", "Владимир", "Наталья", "Николай", "Юлия",
                                      "Евгений", "Ирина", "Михаил", "Светлана", "Игорь", "Людмила"};
  static const char* const patronymics[] = {"Александрович", "Сергеевна", "Дмитриевич", "Владимировна",
                                            "Николаевич", "Андреевна", "Алексеевич", "Михайловна",
                                            "Евгеньевич", "Игоревна", "Викторович", "Петровна"};
  static const char* const towns[] = {"г. Новосибирск", "г. Бердск", "г. Искитим", "р.п. Кольцово", "г. Обь",
                                      "с. Криводановка", "р.п. Краснообск", "г. Куйбышев", "с. Ярково"};
  static const char* const streets[] = {"ул. Ленина", "ул. Красный проспект", "ул. Кирова", "ул. Советская",
                                        "ул. Большевистская", "ул. Садовая", "пр-т Карла Маркса",
                                        "ул. Молодёжная", "ул. Зелёная", "ул. Школьная", "ул. Первомайская",
                                        "ул. Октябрьская", "пер. Почтовый", "ул. Шевченко"};
  static const char* const works[] = {"ГБУЗ НСО \"Городская поликлиника № 2\", регистратура",
                                      "ООО \"Сибирская строительная компания\"", "МБОУ СОШ № 14, учитель",
                                      "пенсионер", "ОАО \"Новосибирский завод химконцентратов\"",
                                      "ИП Кузнецова Т. В., продавец", "не работает"};
  static const char* const notes[] = {"инвалид II группы", "ветеран труда", "", "участник ВОВ", "",
                                      "многодетная семья", "", "донор"};
  auto text = [oem](const char* utf8) {
    std::string s = platform::Utf8ToCp1251(utf8);
    return oem ? xbAnsiToOemStr(s) : s;
  };
  auto pick = [&](const char* const* list, size_t size, uint64_t i) { return text(list[i % size]); };
  const std::span<const Fld> fields(kCyrFields);
  const int rlen = recordLength(fields);
  std::string h = tableHeader(fields, static_cast<uint32_t>(count), oem ? 0x65 : 0xC9);   // CP866 or CP1251 driver
  std::string body;
  body.reserve(static_cast<size_t>(count) * static_cast<size_t>(rlen) + 1);
  std::string rec;
  char num[32];
  for (int r = 0; r < count; ++r) {
    uint64_t i = static_cast<uint64_t>(r) * 2654435761u;
    bool woman = (i >> 3) % 2 != 0;
    std::string surname = pick(surnames, std::size(surnames), i >> 5);
    std::string town = pick(towns, std::size(towns), i >> 11), street = pick(streets, std::size(streets), i >> 15);
    std::snprintf(num, sizeof num, "%u", static_cast<unsigned>(1 + (i >> 7) % 120));
    std::string house = num;
    unsigned flat = static_cast<unsigned>(1 + (i >> 19) % 300);
    std::string values[] = {surname,
                            pick(names, std::size(names), i >> 9),
                            pick(patronymics, std::size(patronymics), i >> 13),
                            "",
                            woman ? text("Ж") : text("М"),
                            town,
                            street,
                            house,
                            "",
                            text("Россия, Новосибирская обл., ") + town + ", " + street + text(", д. ") + house +
                                text(", кв. ") + std::to_string(flat),
                            pick(works, std::size(works), i >> 17),
                            pick(notes, std::size(notes), i >> 21)};
    std::snprintf(num, sizeof num, "%04u%02u%02u", static_cast<unsigned>(1930 + (i >> 4) % 90),
                  static_cast<unsigned>(1 + (i >> 6) % 12), static_cast<unsigned>(1 + (i >> 8) % 28));
    values[3] = num;
    std::snprintf(num, sizeof num, "%5u", flat);
    values[8] = num;
    rec.assign(1, r % 50 == 0 ? '*' : ' ');
    for (size_t k = 0; k < fields.size(); ++k) {
      std::string v = values[k].substr(0, static_cast<size_t>(fields[k].len));
      v.resize(static_cast<size_t>(fields[k].len), ' ');
      rec += v;
    }
    body += rec;
  }
  body += '\x1a';
  FILE* fp = std::fopen(path.c_str(), "wb");
  std::fwrite(h.data(), 1, h.size(), fp);
  std::fwrite(body.data(), 1, body.size(), fp);
  std::fclose(fp);
}

const std::string& cyrillicTable(bool oem) {
  static std::string oemPath = [] {
    std::string p = folder() + "CYR866.DBF";
    writeCyrillicTable(p, kRecords, true);
    return p;
  }();
  static std::string ansiPath = [] {
    std::string p = folder() + "CYR1251.DBF";
    writeCyrillicTable(p, kRecords, false);
    return p;
  }();
  return oem ? oemPath : ansiPath;
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
int64_t rawReadSplit(const std::string& path, std::span<const Fld> fields) {
  const int hlen = headerLength(fields), rlen = recordLength(fields);
  int64_t records = 0;
  std::vector<char> buf(static_cast<size_t>(rlen) * 512);
  int fd = ::open(path.c_str(), O_RDONLY);
  ::lseek(fd, hlen, SEEK_SET);
  ssize_t got;
  while ((got = ::read(fd, buf.data(), buf.size())) >= rlen) {
    for (ssize_t at = 0; at + rlen <= got; at += rlen) {
      const char* rec = buf.data() + at;
      if (rec[0] == '*') continue;
      int off = 1;
      for (const Fld& f : fields) {
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
int64_t rawReadSplit() { return rawReadSplit(fundTable(), kFields); }

// The walk of a Cyrillic table: every field by name, texts as text, the date as a
// date, the number as an integer. The CP866 table is translated on read.
int64_t walkCyrillicByName(bool oem) {
  const std::string& path = cyrillicTable(oem);
  int64_t records = 0;
  TXBaseDataSet ds;
  ds.SetDatabaseName(folder());
  ds.SetTableName(std::filesystem::path(path).filename().string());
  ds.SetReadOnly(true);
  ds.SetTranslateASCII(oem);
  ds.Open();
  for (; !ds.Eof(); ds.Next()) {
    for (const Fld& f : kCyrFields) {
      TxbField& field = ds.FieldByName(f.name);
      if (f.type == 'D') benchmark::DoNotOptimize(field.AsDateTime());
      else if (f.type == 'N') benchmark::DoNotOptimize(field.AsInteger());
      else benchmark::DoNotOptimize(field.AsString());
    }
    ++records;
  }
  ds.Close();
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
// All run in turn in every iteration (so a busy machine slows them alike), and
// the ratio is taken of the fastest run of each in thread CPU time; "ratio" is the walk by name with
// translation (the tasks' walk), "ratio_once" the walk with fields looked up once, "ratio_cyr866"
// and "ratio_cyr1251" the walks by name of the Cyrillic tables against the raw read of each.
void BM_WalkRatio(benchmark::State& state) {
  fundTable();
  cyrillicTable(true);
  cyrillicTable(false);
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
  double raw866 = 1e300, walk866 = 1e300, raw1251 = 1e300, walk1251 = 1e300;
  for (auto _ : state) {
    raw = std::min(raw, time([] { return rawReadSplit(); }));
    walk = std::min(walk, time([] { return walkByName(true); }));
    once = std::min(once, time(walkFieldsOnce));
    raw866 = std::min(raw866, time([] { return rawReadSplit(cyrillicTable(true), kCyrFields); }));
    walk866 = std::min(walk866, time([] { return walkCyrillicByName(true); }));
    raw1251 = std::min(raw1251, time([] { return rawReadSplit(cyrillicTable(false), kCyrFields); }));
    walk1251 = std::min(walk1251, time([] { return walkCyrillicByName(false); }));
  }
  state.counters["raw_ms"] = raw;
  state.counters["walk_ms"] = walk;
  state.counters["ratio"] = walk / raw;
  state.counters["ratio_once"] = once / raw;
  state.counters["cyr866_ms"] = walk866;
  state.counters["raw866_ms"] = raw866;
  state.counters["raw1251_ms"] = raw1251;
  state.counters["ratio_cyr866"] = walk866 / raw866;
  state.counters["cyr1251_ms"] = walk1251;
  state.counters["ratio_cyr1251"] = walk1251 / raw1251;
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

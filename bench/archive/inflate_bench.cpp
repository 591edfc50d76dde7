// Decoder speed beside the libraries on the same raw streams: Deflate (streaming decoder with a
// 32 KiB output buffer and in one call, the method-8 entry driver, the block decoder in Deflate
// mode) against zlib's inflate and libdeflate's one-shot decoder, bzip2 against libbz2, and the
// running CRC-32 against zlib's crc32. Rates are bytes of output per second (by the clock for the
// runs that feed the ratios); a ratio is the arc rate divided by the other library's rate on the
// same data set, so above 1 is faster. The ratios are printed after the table; with
// --benchmark_repetitions=3 they are taken from the medians.
#include <benchmark/benchmark.h>
#include <bzlib.h>
#include <libdeflate.h>
#include <zlib.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "archive/arcBZip.h"
#include "archive/arcCrc32.h"
#include "archive/arcInflate.h"
#include "archive/arcInflate64.h"
#include "archive/arcStreams.h"
#include "bench/archive/ratio_reporter.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes XmlText(size_t n) {
  static const char* const tags[] = {"PATIENT", "VISIT", "DIAGNOSIS", "DOCTOR", "ROW", "FIELD", "SNILS", "POLICY"};
  static const char* const words[] = {"Ivanov", "Petrova", "Sidorov", "J06.9", "true", "false", "Kazan", "clinic",
                                      "2023-11-02", "I10", "M54.5", "Smirnova"};
  std::mt19937 g(1);
  std::string s;
  s.reserve(n + 512);
  while (s.size() < n) {
    const char* t = tags[g() % 8];
    s += "<ROW ";
    s += t;
    s += "_ID=\"" + std::to_string(g() % 100000000) + "\" NAME=\"" + words[g() % 12] + "\" DATE=\"" +
         std::to_string(1990 + g() % 35) + "-" + std::to_string(1 + g() % 12) + "-" + std::to_string(1 + g() % 28) +
         "\" SUM=\"" + std::to_string(g() % 1000000) + "." + std::to_string(g() % 100) + "\"/>\r\n";
  }
  s.resize(n);
  return Bytes(s.begin(), s.end());
}

Bytes MixedBinary(size_t n) {
  std::mt19937 g(2);
  Bytes v;
  v.reserve(n);
  while (v.size() < n) {
    const size_t k = std::min<size_t>(512 + g() % 16384, n - v.size());
    switch (g() % 4) {
      case 0:
        for (size_t i = 0; i < k; ++i) v.push_back(static_cast<uint8_t>(g()));
        break;
      case 1:  // small integers, as in binary records
        for (size_t i = 0; i < k; ++i) v.push_back(static_cast<uint8_t>((g() % 16) * (i % 4 == 0)));
        break;
      case 2:
        v.insert(v.end(), k, static_cast<uint8_t>(g()));
        break;
      default:
        if (v.size() > 30000) {
          const size_t from = v.size() - 1 - g() % 30000;
          for (size_t i = 0; i < k; ++i) v.push_back(v[from + i]);
        }
    }
  }
  v.resize(n);
  return v;
}

Bytes Deflate(const Bytes& in, int level) {
  z_stream s{};
  deflateInit2(&s, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  Bytes out(deflateBound(&s, in.size()));
  s.next_in = const_cast<Bytef*>(in.data());
  s.avail_in = static_cast<uInt>(in.size());
  s.next_out = out.data();
  s.avail_out = static_cast<uInt>(out.size());
  deflate(&s, Z_FINISH);
  out.resize(s.total_out);
  deflateEnd(&s);
  return out;
}

// Debian's licence texts (/usr/share/common-licenses, the files themselves in name order, not
// the links), one after the other; empty when the folder is missing.
Bytes LicenceTexts() {
  namespace fs = std::filesystem;
  std::vector<fs::path> files;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator("/usr/share/common-licenses", ec))
    if (!e.is_symlink() && e.is_regular_file()) files.push_back(e.path());
  std::sort(files.begin(), files.end());
  Bytes all;
  for (const auto& f : files) {
    std::ifstream in(f, std::ios::binary);
    all.insert(all.end(), std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  return all;
}

struct DataSet {
  Bytes plain;
  Bytes deflated;
  Bytes bzipped;
};

// 0 = 50 MB of XML-like text, 1 = 50 MB of mixed binary, 2 = the licence texts (about 250 KB).
const DataSet& Set(int which) {
  static DataSet sets[3];
  DataSet& d = sets[which];
  if (d.plain.empty()) {
    d.plain = which == 0 ? XmlText(50u << 20) : which == 1 ? MixedBinary(50u << 20) : LicenceTexts();
    if (!d.plain.empty()) d.deflated = Deflate(d.plain, 6);
  }
  return d;
}

// The data set of the benchmark's argument; false (the run skipped) when it is not on this machine.
bool SetFor(benchmark::State& st, const DataSet*& d) {
  d = &Set(static_cast<int>(st.range(0)));
  if (d->plain.empty()) st.SkipWithError("/usr/share/common-licenses is missing");
  return !d->plain.empty();
}

const DataSet& BzSet(int which) {
  static DataSet sets[2];
  DataSet& d = sets[which];
  if (d.plain.empty()) {
    d.plain = which == 0 ? XmlText(10u << 20) : MixedBinary(10u << 20);
    unsigned len = static_cast<unsigned>(d.plain.size() + d.plain.size() / 50 + 1024);
    d.bzipped.resize(len);
    BZ2_bzBuffToBuffCompress(reinterpret_cast<char*>(d.bzipped.data()), &len, reinterpret_cast<char*>(d.plain.data()),
                             static_cast<unsigned>(d.plain.size()), 9, 0, 0);
    d.bzipped.resize(len);
  }
  return d;
}

class MemStream : public arc::TStream32 {
public:
  explicit MemStream(const Bytes& d) : data(d) {}
  int32_t Read(void* b, int32_t n) override {
    const int64_t k = std::min<int64_t>(n, static_cast<int64_t>(data.size()) - pos);
    if (k <= 0) return 0;
    std::memcpy(b, data.data() + pos, static_cast<size_t>(k));
    pos += k;
    return static_cast<int32_t>(k);
  }
  int32_t Write(const void*, int32_t) override { return 0; }
  int64_t Seek(int64_t off, arc::TSeekOrigin o) override {
    if (o == arc::TSeekOrigin::soCurrent) off += pos;
    if (o == arc::TSeekOrigin::soEnd) off += static_cast<int64_t>(data.size());
    return pos = off;
  }
  const Bytes& data;
  int64_t pos = 0;
};

// Output side of an entry: the running CRC-32, as the extraction keeps it.
class CrcHost : public arc::TArcEntryHost {
public:
  int64_t WriteOutput(const uint8_t* p, size_t n) override {
    crc = arc::Crc32Update(crc, p, n);
    total += n;
    return static_cast<int64_t>(n);
  }
  uint32_t crc = 0xFFFFFFFFu;
  uint64_t total = 0;
};

void Check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(what);
}

// The decoders are set up once and reset for every pass, as libdeflate's is allocated once.
void BM_ZlibInflate(benchmark::State& st) {
  const DataSet* d;
  if (!SetFor(st, d)) return;
  Bytes out(32768);
  z_stream s{};
  inflateInit2(&s, -15);
  for (auto _ : st) {
    inflateReset(&s);
    s.next_in = const_cast<Bytef*>(d->deflated.data());
    s.avail_in = static_cast<uInt>(d->deflated.size());
    int r;
    do {
      s.next_out = out.data();
      s.avail_out = 32768;
      r = inflate(&s, Z_NO_FLUSH);
    } while (r == Z_OK);
    Check(r == Z_STREAM_END && s.total_out == d->plain.size(), "zlib");
    benchmark::DoNotOptimize(out.data());
  }
  inflateEnd(&s);
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * d->plain.size()));
}

// The streaming decoder with a 32 KiB output buffer.
void BM_ArcInflate(benchmark::State& st) {
  const DataSet* d;
  if (!SetFor(st, d)) return;
  Bytes out(32768);
  arc::TZStreamRec s;
  (arc::inflateInit2)(&s, -15);
  for (auto _ : st) {
    arc::inflateReset(&s);
    s.next_in = d->deflated.data();
    s.avail_in = static_cast<uint32_t>(d->deflated.size());
    int r;
    do {
      s.next_out = out.data();
      s.avail_out = 32768;
      r = arc::inflate(&s, arc::Z_ARC_NO_FLUSH);
    } while (r == arc::Z_ARC_OK);
    Check(r == arc::Z_ARC_STREAM_END && s.total_out == d->plain.size(), "arc inflate");
    benchmark::DoNotOptimize(out.data());
  }
  arc::inflateEnd(&s);
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * d->plain.size()));
}

// The streaming decoder in one call into a buffer of the whole output.
void BM_ArcInflateOneShot(benchmark::State& st) {
  const DataSet* d;
  if (!SetFor(st, d)) return;
  Bytes out(d->plain.size());
  arc::TZStreamRec s;
  (arc::inflateInit2)(&s, -15);
  for (auto _ : st) {
    arc::inflateReset(&s);
    s.next_in = d->deflated.data();
    s.avail_in = static_cast<uint32_t>(d->deflated.size());
    s.next_out = out.data();
    s.avail_out = static_cast<uint32_t>(out.size());
    const int r = arc::inflate(&s, arc::Z_ARC_FINISH);
    Check(r == arc::Z_ARC_STREAM_END && s.total_out == d->plain.size(), "arc inflate in one call");
    benchmark::DoNotOptimize(out.data());
  }
  arc::inflateEnd(&s);
  Check(out == d->plain, "arc inflate in one call: output differs");
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * d->plain.size()));
}

// libdeflate's one-shot decoder into the same whole-output buffer.
void BM_LibdeflateOneShot(benchmark::State& st) {
  const DataSet* d;
  if (!SetFor(st, d)) return;
  Bytes out(d->plain.size());
  std::unique_ptr<libdeflate_decompressor, void (*)(libdeflate_decompressor*)> dec(
      libdeflate_alloc_decompressor(), libdeflate_free_decompressor);
  for (auto _ : st) {
    size_t n = 0;
    Check(libdeflate_deflate_decompress(dec.get(), d->deflated.data(), d->deflated.size(), out.data(), out.size(),
                                        &n) == LIBDEFLATE_SUCCESS &&
              n == d->plain.size(),
          "libdeflate");
    benchmark::DoNotOptimize(out.data());
  }
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * d->plain.size()));
}

// Method 8 end to end: archive stream, 32 KiB chunks, output routine with the running CRC.
void BM_InflateEntry(benchmark::State& st) {
  const DataSet& d = Set(static_cast<int>(st.range(0)));
  arc::TArcEntryInfo info;
  info.packedSize = d.deflated.size();
  info.unpackedSize = d.plain.size();
  for (auto _ : st) {
    MemStream src(d.deflated);
    CrcHost host;
    Check(arc::InflateDeflated(host, src, info) == arc::TDecodeResult::Ok, "entry");
    benchmark::DoNotOptimize(host.crc);
  }
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * d.plain.size()));
}

// zlib with zlib's crc32: the baseline of the entry benchmark.
void BM_ZlibInflateCrc(benchmark::State& st) {
  const DataSet& d = Set(static_cast<int>(st.range(0)));
  Bytes out(32768);
  for (auto _ : st) {
    z_stream s{};
    inflateInit2(&s, -15);
    s.next_in = const_cast<Bytef*>(d.deflated.data());
    s.avail_in = static_cast<uInt>(d.deflated.size());
    uLong crc = crc32(0, nullptr, 0);
    int r;
    do {
      s.next_out = out.data();
      s.avail_out = 32768;
      r = inflate(&s, Z_NO_FLUSH);
      crc = crc32(crc, out.data(), 32768 - s.avail_out);
    } while (r == Z_OK);
    Check(r == Z_STREAM_END, "zlib");
    inflateEnd(&s);
    benchmark::DoNotOptimize(crc);
  }
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * d.plain.size()));
}

// The block decoder (method 9 machinery) in its Deflate mode.
void BM_BlockDecoderDeflate(benchmark::State& st) {
  const DataSet& d = Set(static_cast<int>(st.range(0)));
  arc::TArcEntryInfo info;
  info.packedSize = d.deflated.size();
  info.unpackedSize = d.plain.size();
  for (auto _ : st) {
    MemStream src(d.deflated);
    CrcHost host;
    Check(arc::Inflate64Decode(host, src, info, arc::TInflateVariant::Deflate) == arc::TDecodeResult::Ok, "block");
    benchmark::DoNotOptimize(host.crc);
  }
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * d.plain.size()));
}

void BM_LibBz2(benchmark::State& st) {
  const DataSet& d = BzSet(static_cast<int>(st.range(0)));
  Bytes out(d.plain.size());
  for (auto _ : st) {
    unsigned len = static_cast<unsigned>(out.size());
    Check(BZ2_bzBuffToBuffDecompress(reinterpret_cast<char*>(out.data()), &len,
                                     const_cast<char*>(reinterpret_cast<const char*>(d.bzipped.data())),
                                     static_cast<unsigned>(d.bzipped.size()), 0, 0) == BZ_OK,
          "libbz2");
    benchmark::DoNotOptimize(out.data());
  }
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * d.plain.size()));
}

void BM_Bz2DecompressEntry(benchmark::State& st) {
  const DataSet& d = BzSet(static_cast<int>(st.range(0)));
  arc::TArcEntryInfo info;
  info.packedSize = d.bzipped.size();
  info.unpackedSize = d.plain.size();
  for (auto _ : st) {
    MemStream src(d.bzipped);
    CrcHost host;
    Check(arc::Bz2DecompressEntry(host, src, info) == arc::TDecodeResult::Ok, "bz2 entry");
    benchmark::DoNotOptimize(host.crc);
  }
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * d.plain.size()));
}

void BM_ArcCrc32(benchmark::State& st) {
  const Bytes& b = Set(1).plain;
  for (auto _ : st) benchmark::DoNotOptimize(arc::Crc32(b.data(), 1u << 20));
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) << 20);
}

void BM_ZlibCrc32(benchmark::State& st) {
  const Bytes& b = Set(1).plain;
  for (auto _ : st) benchmark::DoNotOptimize(crc32(0, b.data(), 1u << 20));
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) << 20);
}

// Argument: 0 = 50 MB of XML-like text, 1 = 50 MB of mixed binary (10 MB each for bzip2),
// 2 = the licence texts.
BENCHMARK(BM_ZlibInflate)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LibdeflateOneShot)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ArcInflate)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ArcInflateOneShot)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ZlibInflateCrc)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_InflateEntry)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_BlockDecoderDeflate)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LibBz2)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Bz2DecompressEntry)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ArcCrc32)->UseRealTime();
BENCHMARK(BM_ZlibCrc32)->UseRealTime();


// ------------------------------------------------------------------ whole archive

// A branch-like archive: 23 XML packets made by Info-ZIP's zip (default level), extracted to
// files with the running CRC, beside `unzip -o -q` on the same file. Wall-clock time.
struct BranchArchive {
  std::filesystem::path dir;
  struct Entry {
    std::string name;
    uint32_t crc, packed, unpacked;
    int64_t dataOffset;
  };
  std::vector<Entry> entries;
  bool ok = false;
  ~BranchArchive() {
    std::error_code ec;
    if (!dir.empty()) std::filesystem::remove_all(dir, ec);
  }
};

uint32_t Le(const Bytes& b, size_t o, int n) {
  uint32_t v = 0;
  for (int i = n - 1; i >= 0; --i) v = (v << 8) | b.at(o + static_cast<size_t>(i));
  return v;
}

const BranchArchive& Branch() {
  static BranchArchive a;
  if (!a.dir.empty()) return a;
  a.dir = std::filesystem::temp_directory_path() / ("kesta_branch_bench_" + std::to_string(::getpid()));
  std::filesystem::create_directories(a.dir / "src");
  for (int i = 0; i < 23; ++i) {
    const Bytes x = XmlText(static_cast<size_t>(200000 + 180000 * (i % 7)));
    std::ofstream(a.dir / "src" / ("packet" + std::to_string(i) + ".xml"), std::ios::binary)
        .write(reinterpret_cast<const char*>(x.data()), static_cast<std::streamsize>(x.size()));
  }
  if (std::system(("cd '" + (a.dir / "src").string() + "' && zip -q ../branch.zip *.xml").c_str()) != 0) return a;
  std::ifstream f(a.dir / "branch.zip", std::ios::binary);
  const Bytes z((std::istreambuf_iterator<char>(f)), {});
  size_t eocd = z.size() - 22;
  while (Le(z, eocd, 4) != 0x06054b50) --eocd;
  size_t p = Le(z, eocd + 16, 4);
  for (uint32_t i = 0, n = Le(z, eocd + 10, 2); i < n; ++i) {
    BranchArchive::Entry e;
    e.crc = Le(z, p + 16, 4);
    e.packed = Le(z, p + 20, 4);
    e.unpacked = Le(z, p + 24, 4);
    const uint32_t nl = Le(z, p + 28, 2), xl = Le(z, p + 30, 2), cl = Le(z, p + 32, 2), lho = Le(z, p + 42, 4);
    e.name.assign(z.begin() + static_cast<long>(p + 46), z.begin() + static_cast<long>(p + 46 + nl));
    e.dataOffset = lho + 30 + Le(z, lho + 26, 2) + Le(z, lho + 28, 2);
    a.entries.push_back(e);
    p += 46 + nl + xl + cl;
  }
  std::filesystem::create_directories(a.dir / "out");
  a.ok = a.entries.size() == 23;
  return a;
}

class FileHost : public arc::TArcEntryHost {
public:
  explicit FileHost(arc::TFileStream32& f) : out(f) {}
  int64_t WriteOutput(const uint8_t* p, size_t n) override {
    const int32_t w = out.Write(p, static_cast<int32_t>(n));
    if (w > 0) crc = arc::Crc32Update(crc, p, static_cast<size_t>(w));
    return w;
  }
  arc::TFileStream32& out;
  uint32_t crc = 0xFFFFFFFFu;
};

void BM_BranchArchiveDecoders(benchmark::State& st) {
  const BranchArchive& a = Branch();
  if (!a.ok) {
    st.SkipWithError("zip is not available");
    return;
  }
  for (auto _ : st) {
    arc::TFileStream32 zip((a.dir / "branch.zip").string(), arc::TFileStream32::fmOpenRead);
    for (const auto& e : a.entries) {
      zip.SetPosition(e.dataOffset);
      arc::TFileStream32 out((a.dir / "out" / e.name).string(), arc::TFileStream32::fmCreate);
      FileHost host(out);
      arc::TArcEntryInfo info;
      info.packedSize = e.packed;
      info.unpackedSize = e.unpacked;
      Check(arc::InflateDeflated(host, zip, info) == arc::TDecodeResult::Ok && ~host.crc == e.crc, "branch entry");
    }
  }
}

void BM_BranchArchiveUnzipTool(benchmark::State& st) {
  const BranchArchive& a = Branch();
  if (!a.ok) {
    st.SkipWithError("zip is not available");
    return;
  }
  const std::string cmd = "unzip -o -q '" + (a.dir / "branch.zip").string() + "' -d '" + (a.dir / "out").string() + "'";
  for (auto _ : st) Check(std::system(cmd.c_str()) == 0, "unzip");
}

BENCHMARK(BM_BranchArchiveDecoders)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_BranchArchiveUnzipTool)->Unit(benchmark::kMillisecond)->UseRealTime();


// ------------------------------------------------------------------ Deflate64 beside 7-Zip

// 20 MB of the XML-like text packed by 7-Zip as a Deflate64 ZIP entry: the block decoder on the
// raw entry data against `7z t` on the archive (wall-clock time; 7z also checks the CRC).
struct D64Archive {
  std::filesystem::path dir;
  Bytes data;  // compressed entry data
  uint32_t unpacked = 0;
  bool ok = false;
  ~D64Archive() {
    std::error_code ec;
    if (!dir.empty()) std::filesystem::remove_all(dir, ec);
  }
};

const D64Archive& Sevenzip() {
  static D64Archive a;
  if (!a.dir.empty()) return a;
  a.dir = std::filesystem::temp_directory_path() / ("kesta_d64_bench_" + std::to_string(::getpid()));
  std::filesystem::create_directories(a.dir);
  const Bytes x = XmlText(20u << 20);
  std::ofstream(a.dir / "text.xml", std::ios::binary)
      .write(reinterpret_cast<const char*>(x.data()), static_cast<std::streamsize>(x.size()));
  if (std::system(("cd '" + a.dir.string() + "' && 7z a -tzip -mm=Deflate64 -mx=5 d64.zip text.xml >/dev/null 2>&1")
                      .c_str()) != 0)
    return a;
  std::ifstream f(a.dir / "d64.zip", std::ios::binary);
  const Bytes z((std::istreambuf_iterator<char>(f)), {});
  if (z.size() < 30 || Le(z, 0, 4) != 0x04034b50 || Le(z, 8, 2) != 9) return a;
  const uint32_t packed = Le(z, 18, 4);
  a.unpacked = Le(z, 22, 4);
  const size_t off = 30 + Le(z, 26, 2) + Le(z, 28, 2);
  a.data.assign(z.begin() + static_cast<long>(off), z.begin() + static_cast<long>(off + packed));
  a.ok = a.unpacked == x.size();
  return a;
}

void BM_Deflate64BlockDecoder(benchmark::State& st) {
  const D64Archive& a = Sevenzip();
  if (!a.ok) {
    st.SkipWithError("7z is not available");
    return;
  }
  arc::TArcEntryInfo info;
  info.packedSize = a.data.size();
  info.unpackedSize = a.unpacked;
  for (auto _ : st) {
    MemStream src(a.data);
    CrcHost host;
    Check(arc::InflateDeflate64(host, src, info) == arc::TDecodeResult::Ok, "deflate64");
    benchmark::DoNotOptimize(host.crc);
  }
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * a.unpacked);
}

void BM_Deflate64SevenZipTest(benchmark::State& st) {
  const D64Archive& a = Sevenzip();
  if (!a.ok) {
    st.SkipWithError("7z is not available");
    return;
  }
  const std::string cmd = "7z t '" + (a.dir / "d64.zip").string() + "' >/dev/null 2>&1";
  for (auto _ : st) Check(std::system(cmd.c_str()) == 0, "7z t");
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * a.unpacked);
}

BENCHMARK(BM_Deflate64BlockDecoder)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Deflate64SevenZipTest)->Unit(benchmark::kMillisecond)->UseRealTime();

// ------------------------------------------------------------------ ratios

const bench_ratio::Row kToZlib[] = {
    {"CRC-32, 1 MiB buffers", "BM_ArcCrc32", "BM_ZlibCrc32", 1.0},
    {"inflate, XML-like text", "BM_ArcInflate/0", "BM_ZlibInflate/0", 2.0},
    {"inflate, mixed binary", "BM_ArcInflate/1", "BM_ZlibInflate/1", 2.0},
    {"inflate, licence texts", "BM_ArcInflate/2", "BM_ZlibInflate/2", 2.0},
    {"method-8 entry with CRC-32, XML-like", "BM_InflateEntry/0", "BM_ZlibInflateCrc/0", 0},
    {"method-8 entry with CRC-32, mixed binary", "BM_InflateEntry/1", "BM_ZlibInflateCrc/1", 0},
};
const bench_ratio::Row kToLibdeflate[] = {
    {"one call, XML-like text", "BM_ArcInflateOneShot/0", "BM_LibdeflateOneShot/0", 1.0},
    {"one call, mixed binary", "BM_ArcInflateOneShot/1", "BM_LibdeflateOneShot/1", 1.0},
    {"one call, licence texts", "BM_ArcInflateOneShot/2", "BM_LibdeflateOneShot/2", 1.0},
    {"32 KiB buffer, XML-like text", "BM_ArcInflate/0", "BM_LibdeflateOneShot/0", 0.95},
    {"32 KiB buffer, mixed binary", "BM_ArcInflate/1", "BM_LibdeflateOneShot/1", 0.95},
    {"32 KiB buffer, licence texts", "BM_ArcInflate/2", "BM_LibdeflateOneShot/2", 0.95},
};

}  // namespace

int main(int argc, char** argv) {
  return bench_ratio::RunWithRatios(argc, argv, [](const bench_ratio::RatioReporter& r) {
    r.Print("Ratio to zlib (arc rate / zlib rate; above 1 is faster than zlib):", kToZlib);
    r.Print("Ratio to libdeflate's one-shot decoder (arc rate / libdeflate rate):", kToLibdeflate);
  });
}

#include "inflate_helpers.h"

#include <bzlib.h>
#include <unistd.h>
#include <zlib.h>

#include <cstring>
#include <fstream>
#include <random>
#include <stdexcept>

#include <gtest/gtest.h>

#include "archive/arcCrc32.h"

namespace inflatetest {

int32_t MemStream::Read(void* b, int32_t n) {
  ++reads;
  const int64_t k = std::min<int64_t>({static_cast<int64_t>(n), static_cast<int64_t>(data.size()) - pos,
                                       static_cast<int64_t>(std::min<size_t>(piece, INT32_MAX))});
  if (k <= 0) return 0;
  std::memcpy(b, data.data() + pos, static_cast<size_t>(k));
  pos += k;
  furthest = std::max(furthest, pos);
  return static_cast<int32_t>(k);
}

int64_t MemStream::Seek(int64_t off, arc::TSeekOrigin o) {
  if (o == arc::TSeekOrigin::soCurrent) off += pos;
  if (o == arc::TSeekOrigin::soEnd) off += static_cast<int64_t>(data.size());
  if (off >= 0) pos = off;
  return pos;
}

int64_t RecordingHost::WriteOutput(const uint8_t* p, size_t n) {
  ++writes;
  writeSizes.push_back(n);
  if (throwOnWrite) throw DiskFull();
  size_t k = n;
  if (failAfter >= 0 && static_cast<int64_t>(out.size() + n) > failAfter)
    k = static_cast<size_t>(std::max<int64_t>(0, failAfter - static_cast<int64_t>(out.size())));
  out.insert(out.end(), p, p + k);
  if (cancelAfterWrites >= 0 && writes >= cancelAfterWrites) cancel = true;
  return static_cast<int64_t>(k);
}

void RecordingHost::DecryptInput(uint8_t, uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; ++i) p[i] ^= xorKey;
  decrypted += static_cast<int>(n);
}

void RecordingHost::ProcessMessages() { ++pumps; }

Bytes RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 g(seed);
  Bytes v(n);
  for (auto& b : v) b = static_cast<uint8_t>(g());
  return v;
}

Bytes XmlLike(size_t n, uint32_t seed) {
  static const char* const tags[] = {"PATIENT", "VISIT", "DIAGNOSIS", "DOCTOR", "ROW", "FIELD", "SNILS", "POLICY"};
  static const char* const words[] = {"Ivanov", "Petrova", "2024-01-15", "J06.9", "true", "0", "Moscow", "clinic"};
  std::mt19937 g(seed);
  std::string s;
  s.reserve(n + 256);
  while (s.size() < n) {
    const char* t = tags[g() % 8];
    s += "<";
    s += t;
    s += " ID=\"";
    s += std::to_string(g() % 1000000);
    s += "\" NAME=\"";
    s += words[g() % 8];
    s += "\">";
    for (unsigned k = g() % 4; k > 0; --k) {
      s += words[g() % 8];
      s += ' ';
      s += std::to_string(g() % 100000);
    }
    s += "</";
    s += t;
    s += ">\r\n";
  }
  s.resize(n);
  return Bytes(s.begin(), s.end());
}

Bytes Runs(size_t n, uint32_t seed) {
  std::mt19937 g(seed);
  Bytes v;
  v.reserve(n);
  while (v.size() < n) {
    const uint8_t b = static_cast<uint8_t>(g() % 4);
    v.insert(v.end(), std::min<size_t>(1 + g() % 600, n - v.size()), b);
  }
  return v;
}

Bytes Mixed(size_t n, uint32_t seed) {
  std::mt19937 g(seed);
  Bytes v;
  v.reserve(n);
  while (v.size() < n) {
    const size_t k = std::min<size_t>(1000 + g() % 30000, n - v.size());
    Bytes part;
    switch (g() % 4) {
      case 0: part = RandomBytes(k, g()); break;
      case 1: part = XmlLike(k, g()); break;
      case 2: part = Runs(k, g()); break;
      default:  // a repeat from far back
        if (v.size() > 40000) {
          const size_t from = v.size() - 20000 - g() % 12000;
          part.assign(v.begin() + static_cast<long>(from), v.begin() + static_cast<long>(std::min(from + k, v.size())));
        } else {
          part = XmlLike(k, g());
        }
    }
    v.insert(v.end(), part.begin(), part.end());
  }
  v.resize(n);
  return v;
}

Bytes ZDeflate(const Bytes& in, int level, int strategy, bool wrapped, int memLevel) {
  z_stream s{};
  if (deflateInit2(&s, level, Z_DEFLATED, wrapped ? 15 : -15, memLevel, strategy) != Z_OK)
    throw std::runtime_error("deflateInit2");
  Bytes out(deflateBound(&s, in.size()) + 64);
  s.next_in = const_cast<Bytef*>(in.data());
  s.avail_in = static_cast<uInt>(in.size());
  s.next_out = out.data();
  s.avail_out = static_cast<uInt>(out.size());
  if (deflate(&s, Z_FINISH) != Z_STREAM_END) throw std::runtime_error("deflate");
  out.resize(s.total_out);
  deflateEnd(&s);
  return out;
}

Bytes ZInflate(const Bytes& in, bool& ok) {
  z_stream s{};
  inflateInit2(&s, -15);
  Bytes out;
  uint8_t buf[65536];
  s.next_in = const_cast<Bytef*>(in.data());
  s.avail_in = static_cast<uInt>(in.size());
  int r;
  do {
    s.next_out = buf;
    s.avail_out = sizeof buf;
    r = inflate(&s, Z_NO_FLUSH);
    out.insert(out.end(), buf, buf + (sizeof buf - s.avail_out));
  } while (r == Z_OK);
  ok = r == Z_STREAM_END;
  inflateEnd(&s);
  return out;
}

Bytes BzCompress(const Bytes& in, int blockSize100k) {
  unsigned len = static_cast<unsigned>(in.size() + in.size() / 50 + 1024);
  Bytes out(len);
  char none = 0;
  if (BZ2_bzBuffToBuffCompress(reinterpret_cast<char*>(out.data()), &len,
                               in.empty() ? &none : const_cast<char*>(reinterpret_cast<const char*>(in.data())),
                               static_cast<unsigned>(in.size()), blockSize100k, 0, 0) != BZ_OK)
    throw std::runtime_error("bzip2 compress");
  out.resize(len);
  return out;
}

void BitWriter::Bits(uint32_t v, unsigned n) {
  acc_ |= uint64_t{v & ((n == 32) ? 0xFFFFFFFFu : ((1u << n) - 1))} << n_;
  n_ += n;
  while (n_ >= 8) {
    out_.push_back(static_cast<uint8_t>(acc_));
    acc_ >>= 8;
    n_ -= 8;
  }
}

void BitWriter::Code(uint32_t code, unsigned len) {
  for (unsigned i = len; i-- > 0;) Bits((code >> i) & 1, 1);
}

void BitWriter::FixedLitLen(unsigned sym) {
  if (sym < 144) Code(0x30 + sym, 8);
  else if (sym < 256) Code(0x190 + sym - 144, 9);
  else if (sym < 280) Code(sym - 256, 7);
  else Code(0xC0 + sym - 280, 8);
}

void BitWriter::FixedDist(unsigned code) { Code(code, 5); }

void BitWriter::AlignByte() {
  if (n_ % 8) Bits(0, 8 - n_ % 8);
}

Bytes BitWriter::Finish() {
  AlignByte();
  return out_;
}

namespace {
void Put16(Bytes& b, uint32_t v) {
  b.push_back(static_cast<uint8_t>(v));
  b.push_back(static_cast<uint8_t>(v >> 8));
}
void Put32(Bytes& b, uint32_t v) {
  Put16(b, v & 0xFFFF);
  Put16(b, v >> 16);
}
uint32_t Get16(const Bytes& b, size_t o) { return b.at(o) | (b.at(o + 1) << 8); }
uint32_t Get32(const Bytes& b, size_t o) { return Get16(b, o) | (Get16(b, o + 2) << 16); }
}  // namespace

Bytes MakeZip(const std::vector<ZipEntry>& entries) {
  Bytes z, cd;
  for (const auto& e : entries) {
    const uint32_t off = static_cast<uint32_t>(z.size());
    const uint16_t version = e.method == 9 ? 21 : e.method == 12 ? 46 : 20;
    Put32(z, 0x04034b50);
    Put16(z, version);
    Put16(z, 0);
    Put16(z, e.method);
    Put16(z, 0);
    Put16(z, 0x21);
    Put32(z, e.crc);
    Put32(z, static_cast<uint32_t>(e.data.size()));
    Put32(z, static_cast<uint32_t>(e.unpacked));
    Put16(z, static_cast<uint32_t>(e.name.size()));
    Put16(z, 0);
    z.insert(z.end(), e.name.begin(), e.name.end());
    z.insert(z.end(), e.data.begin(), e.data.end());
    Put32(cd, 0x02014b50);
    Put16(cd, 0x031E);
    Put16(cd, version);
    Put16(cd, 0);
    Put16(cd, e.method);
    Put16(cd, 0);
    Put16(cd, 0x21);
    Put32(cd, e.crc);
    Put32(cd, static_cast<uint32_t>(e.data.size()));
    Put32(cd, static_cast<uint32_t>(e.unpacked));
    Put16(cd, static_cast<uint32_t>(e.name.size()));
    Put16(cd, 0);
    Put16(cd, 0);
    Put16(cd, 0);
    Put16(cd, 0);
    Put32(cd, 0x81A40000u);
    Put32(cd, off);
    cd.insert(cd.end(), e.name.begin(), e.name.end());
  }
  const uint32_t cdOff = static_cast<uint32_t>(z.size());
  z.insert(z.end(), cd.begin(), cd.end());
  Put32(z, 0x06054b50);
  Put16(z, 0);
  Put16(z, 0);
  Put16(z, static_cast<uint32_t>(entries.size()));
  Put16(z, static_cast<uint32_t>(entries.size()));
  Put32(z, static_cast<uint32_t>(cd.size()));
  Put32(z, cdOff);
  Put16(z, 0);
  return z;
}

std::vector<ZipEntry> ReadZip(const Bytes& z) {
  size_t eocd = z.size() - 22;
  while (Get32(z, eocd) != 0x06054b50) {
    if (eocd == 0) throw std::runtime_error("no end record");
    --eocd;
  }
  const uint32_t n = Get16(z, eocd + 10);
  size_t p = Get32(z, eocd + 16);
  std::vector<ZipEntry> out;
  for (uint32_t i = 0; i < n; ++i) {
    if (Get32(z, p) != 0x02014b50) throw std::runtime_error("bad central header");
    ZipEntry e;
    e.method = static_cast<uint16_t>(Get16(z, p + 10));
    e.crc = Get32(z, p + 16);
    e.packed = Get32(z, p + 20);
    e.unpacked = Get32(z, p + 24);
    const uint32_t nl = Get16(z, p + 28), xl = Get16(z, p + 30), cl = Get16(z, p + 32);
    const uint32_t lho = Get32(z, p + 42);
    e.name.assign(z.begin() + static_cast<long>(p + 46), z.begin() + static_cast<long>(p + 46 + nl));
    const size_t data = lho + 30 + Get16(z, lho + 26) + Get16(z, lho + 28);
    e.data.assign(z.begin() + static_cast<long>(data), z.begin() + static_cast<long>(data + e.packed));
    out.push_back(std::move(e));
    p += 46 + nl + xl + cl;
  }
  return out;
}

Bytes ReadFile(const std::filesystem::path& p) {
  std::ifstream f(p, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(f), {});
}

void WriteFile(const std::filesystem::path& p, const Bytes& b) {
  std::ofstream f(p, std::ios::binary);
  f.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

int RunShell(const std::string& cmd) { return std::system(cmd.c_str()); }

bool HaveTool(const std::string& name) { return RunShell("command -v " + name + " >/dev/null 2>&1") == 0; }

std::filesystem::path TestDir() {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string n = std::string(info->test_suite_name()) + "_" + info->name();
  for (auto& c : n)
    if (c == '/') c = '_';
  auto d = std::filesystem::temp_directory_path() / ("kesta_dec_" + std::to_string(::getpid()) + "_" + n);
  std::filesystem::remove_all(d);
  std::filesystem::create_directories(d);
  return d;
}

}  // namespace inflatetest

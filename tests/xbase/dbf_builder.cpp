#include "dbf_builder.h"

#include <charconv>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>

#include "platform/codepage.h"

namespace xbt {

DbfBuilder::DbfBuilder(uint8_t version, std::vector<FieldSpec> fields) : version_(version), fields_(std::move(fields)) {}

uint16_t DbfBuilder::computedHeaderLength() const {
  return static_cast<uint16_t>(32 + 32 * fields_.size() + 1 + (version_ == 0x30 ? 263 : 0));
}

uint16_t DbfBuilder::computedRecordLength() const {
  int r = 1;
  for (const auto& f : fields_) r += f.length;
  return static_cast<uint16_t>(r);
}

DbfBuilder& DbfBuilder::record(bool deleted, const std::vector<std::string>& values) {
  std::string r(1, deleted ? '*' : ' ');
  for (size_t i = 0; i < fields_.size(); ++i) {
    const FieldSpec& f = fields_[i];
    std::string v = i < values.size() ? values[i] : std::string();
    if (static_cast<int>(v.size()) > f.length) v.resize(static_cast<size_t>(f.length));
    std::string pad(static_cast<size_t>(f.length) - v.size(), ' ');
    bool left = f.type == 'C' || f.type == 'D' || f.type == 'L';
    r += left ? v + pad : pad + v;
  }
  records_.push_back(r);
  return *this;
}

std::string DbfBuilder::bytes() const {
  uint16_t hlen = hlen_ ? hlen_ : computedHeaderLength();
  uint16_t rlen = rlenSet_ ? rlen_ : computedRecordLength();
  uint32_t n = countSet_ ? count_ : static_cast<uint32_t>(records_.size());
  std::string h(32, '\0');
  h[0] = static_cast<char>(version_);
  h[1] = 126;
  h[2] = 12;
  h[3] = 10;
  std::memcpy(h.data() + 4, LE32(n).data(), 4);
  h[8] = static_cast<char>(hlen & 0xFF);
  h[9] = static_cast<char>(hlen >> 8);
  h[10] = static_cast<char>(rlen & 0xFF);
  h[11] = static_cast<char>(rlen >> 8);
  h[28] = static_cast<char>(flags_);
  std::string body;
  for (const auto& f : fields_) {
    std::string d(32, '\0');
    std::memcpy(d.data(), f.name.data(), std::min<size_t>(11, f.name.size()));
    d[11] = f.type;
    d[16] = static_cast<char>(f.length & 0xFF);
    d[17] = static_cast<char>(f.type == 'C' ? (f.length >> 8) : f.decimals);
    body += d;
  }
  body += '\r';
  if (version_ == 0x30) body += std::string(263, '\0');
  std::string out = h + body;
  if (out.size() < hlen) out.resize(hlen, '\0');
  for (const auto& r : records_) out += r;
  if (eof_) out += '\x1a';
  return out;
}

void DbfBuilder::write(const std::string& path) const { WriteFile(path, bytes()); }

std::string C(const std::string& s, int n) {
  std::string r = s;
  r.resize(static_cast<size_t>(n), ' ');
  return r;
}

std::string N(double v, int n, int d) {
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, d);
  std::string s(buf, r.ptr);
  if (static_cast<int>(s.size()) < n) s = std::string(static_cast<size_t>(n) - s.size(), ' ') + s;
  return s;
}

std::string D(int y, int m, int d) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%04d%02d%02d", y, m, d);
  return buf;
}

std::string LE32(uint32_t v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[static_cast<size_t>(i)] = static_cast<char>(v >> (8 * i));
  return s;
}

std::string LE64(uint64_t v) {
  std::string s(8, '\0');
  for (int i = 0; i < 8; ++i) s[static_cast<size_t>(i)] = static_cast<char>(v >> (8 * i));
  return s;
}

std::string BE32(uint32_t v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[static_cast<size_t>(3 - i)] = static_cast<char>(v >> (8 * i));
  return s;
}

std::string Dbl(double v) {
  std::string s(8, '\0');
  std::memcpy(s.data(), &v, 8);
  return s;
}

static std::string padTo(std::string s, size_t n) {
  s.resize(n, '\0');
  return s;
}

MemoImage Dbt3(const std::vector<std::string>& texts) {
  MemoImage m;
  std::string out;
  uint32_t next = 1;
  for (const auto& t : texts) {
    std::string data = t + "\x1a\x1a";
    uint32_t nb = static_cast<uint32_t>((data.size() + 511) / 512);
    m.blocks.push_back(next);
    out += padTo(data, nb * 512);
    next += nb;
  }
  m.bytes = padTo(LE32(next), 512) + out;
  return m;
}

MemoImage Dbt4(const std::vector<std::string>& texts, uint32_t bs) {
  MemoImage m;
  std::string out;
  uint32_t next = 1;
  for (const auto& t : texts) {
    std::string data = std::string("\xff\xff\x08\x00", 4) + LE32(static_cast<uint32_t>(t.size() + 8)) + t;
    uint32_t nb = static_cast<uint32_t>((data.size() + bs - 1) / bs);
    m.blocks.push_back(next);
    out += padTo(data, nb * bs);
    next += nb;
  }
  std::string h = LE32(next) + LE32(0) + padTo("STEM", 9) + std::string(3, '\0') + LE32(bs);
  m.bytes = padTo(h, bs) + out;
  return m;
}

MemoImage Fpt(const std::vector<std::string>& texts, uint32_t bs, const std::vector<uint32_t>& types) {
  MemoImage m;
  uint32_t first = (512 + bs - 1) / bs;
  uint32_t next = first;
  std::string out;
  for (size_t i = 0; i < texts.size(); ++i) {
    uint32_t type = types.empty() ? 1 : types[i];
    std::string data = BE32(type) + BE32(static_cast<uint32_t>(texts[i].size())) + texts[i];
    uint32_t nb = static_cast<uint32_t>((data.size() + bs - 1) / bs);
    m.blocks.push_back(next);
    out += padTo(data, nb * bs);
    next += nb;
  }
  m.bytes = padTo(BE32(next) + BE32(bs), first * bs) + out;
  return m;
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  if (!f) throw std::runtime_error("cannot write " + path);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

TempDir::TempDir() {
  std::random_device rd;
  auto base = std::filesystem::temp_directory_path();
  for (;;) {
    auto p = base / ("kesta_xb_" + std::to_string(rd()));
    if (std::filesystem::create_directory(p)) {
      path_ = p.string() + "/";
      break;
    }
  }
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string Oem(const std::string& utf8) { return platform::ConvertCodepage(utf8, "UTF-8", "CP866"); }
std::string Ansi(const std::string& utf8) { return platform::Utf8ToCp1251(utf8); }

}  // namespace xbt

#include "archive/arcPeStrings.h"

#include <vector>

#include "archive/arcDetect.h"

namespace arc {

namespace {

constexpr uint16_t kStringType = 6;  // resource type of string tables
constexpr uint16_t kFirstBlock = 1;  // strings 0 to 15 live in block 1

class PeImage {
public:
  explicit PeImage(ByteSource& src) : src_(src), size_(src.size()) {}

  // The headers and the section table; false when they are missing or do not fit the file.
  bool Open() {
    uint8_t b[64];
    if (size_ < 64 || !src_.readExact(0, b, 64) || b[0] != 'M' || b[1] != 'Z') return false;
    const uint64_t pe = Get32(b + 0x3C);
    uint8_t h[24];
    if (pe + 24 > size_ || !src_.readExact(pe, h, 24)) return false;
    if (!(h[0] == 'P' && h[1] == 'E' && h[2] == 0 && h[3] == 0)) return false;
    const uint16_t sections = Get16(h + 6);
    const uint16_t optSize = Get16(h + 20);
    const uint64_t opt = pe + 24;
    if (opt + optSize > size_ || optSize < 2) return false;
    std::vector<uint8_t> o(optSize);
    if (!src_.readExact(opt, o.data(), o.size())) return false;
    const uint16_t magic = Get16(o.data());
    size_t countAt, dirsAt;
    if (magic == 0x10B) {
      countAt = 92;
      dirsAt = 96;
    } else if (magic == 0x20B) {
      countAt = 108;
      dirsAt = 112;
    } else {
      return false;
    }
    const uint64_t table = opt + optSize;
    if (table + uint64_t{sections} * 40 > size_) return false;
    sections_.resize(size_t{sections} * 40);
    if (!sections_.empty() && !src_.readExact(table, sections_.data(), sections_.size())) return false;
    // The resource directory is the third entry of the data directories.
    if (countAt + 4 <= o.size() && Get32(o.data() + countAt) > 2 && dirsAt + 24 <= o.size()) {
      rsrcRva_ = Get32(o.data() + dirsAt + 16);
      rsrcSize_ = Get32(o.data() + dirsAt + 20);
    }
    return true;
  }

  // The file offset of len bytes at a relative virtual address, inside one section's data.
  bool Map(uint64_t rva, uint64_t len, uint64_t& off) const {
    for (size_t s = 0; s + 40 <= sections_.size(); s += 40) {
      const uint8_t* p = sections_.data() + s;
      const uint64_t va = Get32(p + 12), raw = Get32(p + 16), ptr = Get32(p + 20);
      if (rva < va || rva - va >= raw) continue;
      if (rva - va + len > raw) return false;
      off = ptr + (rva - va);
      return off + len <= size_;
    }
    return false;
  }

  // Bytes at an offset from the start of the resource directory, never beyond its stated size.
  bool ReadResource(uint64_t rel, void* buf, size_t n) const {
    if (rsrcRva_ == 0 || rel + n > rsrcSize_) return false;
    uint64_t off;
    return Map(rsrcRva_ + rel, n, off) && src_.readExact(off, buf, n);
  }

  // The entry of a resource directory with the given id (0xFFFFFFFF: the first one that names
  // data); its OffsetToData field, or false.
  bool Find(uint64_t dirRel, uint32_t id, bool wantDirectory, uint32_t& target) const {
    uint8_t d[16];
    if (!ReadResource(dirRel, d, 16)) return false;
    const uint32_t named = Get16(d + 12), ids = Get16(d + 14);
    const uint64_t count = uint64_t{named} + ids;
    std::vector<uint8_t> e(static_cast<size_t>(count) * 8);
    if (e.empty() || !ReadResource(dirRel + 16, e.data(), e.size())) return false;
    for (uint64_t i = named; i < count; ++i) {  // the named entries come first
      const uint8_t* p = e.data() + i * 8;
      const uint32_t name = Get32(p), data = Get32(p + 4);
      if (name & 0x80000000u) continue;
      if (id != 0xFFFFFFFFu && name != id) continue;
      if (((data & 0x80000000u) != 0) != wantDirectory) continue;
      target = data & 0x7FFFFFFFu;
      return true;
    }
    return false;
  }

  // The strings of block 1 (the first language of it).
  void Strings(std::array<std::string, 7>& out) const {
    uint32_t types, block, leaf;
    if (!Find(0, kStringType, true, types) || !Find(types, kFirstBlock, true, block) ||
        !Find(block, 0xFFFFFFFFu, false, leaf))
      return;
    uint8_t entry[16];
    if (!ReadResource(leaf, entry, 16)) return;
    const uint64_t dataRva = Get32(entry), dataSize = Get32(entry + 4);
    uint64_t at;
    if (!Map(dataRva, dataSize, at)) return;
    // Sixteen strings, each a 16-bit length and that many UTF-16 code units; string 0 first.
    uint64_t pos = 0;
    for (size_t i = 0; i <= out.size(); ++i) {
      uint8_t l[2];
      if (pos + 2 > dataSize || !src_.readExact(at + pos, l, 2)) return;
      const uint64_t units = Get16(l);
      pos += 2;
      if (pos + units * 2 > dataSize) return;
      if (i > 0) {
        std::vector<uint8_t> u(static_cast<size_t>(units) * 2);
        if (!u.empty() && !src_.readExact(at + pos, u.data(), u.size())) return;
        std::string& s = out[i - 1];
        s.reserve(static_cast<size_t>(units));
        for (size_t k = 0; k + 1 < u.size(); k += 2) {
          const uint16_t c = Get16(u.data() + k);
          s.push_back(c < 0x80 ? static_cast<char>(c) : '?');
        }
      }
      pos += units * 2;
    }
  }

private:
  ByteSource& src_;
  uint64_t size_;
  std::vector<uint8_t> sections_;
  uint64_t rsrcRva_ = 0, rsrcSize_ = 0;
};

}  // namespace

bool ReadPeStrings(ByteSource& src, std::array<std::string, 7>& strings) {
  for (auto& s : strings) s.clear();
  PeImage image(src);
  if (!image.Open()) return false;
  image.Strings(strings);
  return true;
}

bool ParseDecimalOffset(const std::string& text, uint64_t& value) {
  size_t i = 0, n = text.size();
  while (i < n && text[i] == ' ') ++i;
  while (n > i && text[n - 1] == ' ') --n;
  if (i == n || n - i > 19) return false;  // 19 digits always fit in 64 bits
  uint64_t v = 0;
  for (; i < n; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    v = v * 10 + static_cast<uint64_t>(text[i] - '0');
  }
  if (v > static_cast<uint64_t>(INT64_MAX)) return false;
  value = v;
  return true;
}

}  // namespace arc

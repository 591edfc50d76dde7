#include "xbase/xb_mdx.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <functional>

#include "platform/strutil.h"
#include "xbase/checked.h"
#include "xbase/xb_cnst.h"
#include "xbase/xb_date.h"
#include "xbase/xb_glbl.h"

namespace xb {

namespace {
constexpr const char* TagNameBad = "Tag name %s is not possible in file %s";

std::string cString(const uint8_t* p, size_t max) {
  size_t n = 0;
  while (n < max && p[n] != 0) ++n;
  return std::string(reinterpret_cast<const char*>(p), n);
}
}  // namespace

std::string xbMdxPackNumber(double v) {
  std::string out(12, '\0');
  out[0] = 52;
  out[1] = 1;
  if (v == 0 || !std::isfinite(v)) return out;
  bool neg = v < 0;
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, std::fabs(v), std::chars_format::scientific, 14);
  std::string s(buf, r.ptr);   // d.dddddddddddddde[+-]xx
  size_t e = s.find('e');
  std::string digits = s.substr(0, 1) + s.substr(2, e - 2);
  int exp = std::stoi(s.substr(e + 1)) + 1;
  if (exp > 15) {
    digits.assign(15, '9');
    exp = 15;
  }
  if (exp + 52 < 0) return out;   // below the smallest stored magnitude: zero
  while (!digits.empty() && digits.back() == '0') digits.pop_back();
  size_t bytes = (digits.size() + 1) / 2;
  out[0] = static_cast<char>(exp + 52);
  out[1] = static_cast<char>((8 * bytes + 1) | (neg ? 0x80 : 0));
  for (size_t i = 0; i < digits.size(); ++i) {
    int d = digits[i] - '0';
    out[2 + i / 2] = static_cast<char>(out[2 + i / 2] | (i % 2 == 0 ? d << 4 : d));
  }
  return out;
}

bool xbMdxUnpackNumber(const uint8_t* p, double& v) {
  size_t bytes = (p[1] & 0x7F) >> 3;
  if (bytes > 10) return false;
  std::string s = "0.";
  for (size_t i = 0; i < bytes; ++i) {
    int hi = p[2 + i] >> 4, lo = p[2 + i] & 15;
    if (hi > 9 || lo > 9) return false;
    s += static_cast<char>('0' + hi);
    s += static_cast<char>('0' + lo);
  }
  if (bytes == 0) s += '0';
  s += "e" + std::to_string(static_cast<int>(p[0]) - 52);
  auto r = std::from_chars(s.data(), s.data() + s.size(), v);
  if (r.ec != std::errc()) return false;
  if (p[1] & 0x80) v = -v;
  return true;
}

std::string XBobjMDXTag::MakeKey(const TxbKeyValue& v) const {
  if (KeyType == 'N') {
    std::string packed = xbMdxPackNumber(v.number);
    double d = 0;
    xbMdxUnpackNumber(reinterpret_cast<const uint8_t*>(packed.data()), d);
    return xbSortableDouble(d);
  }
  if (KeyType == 'D') return xbSortableDouble(v.julian < 1 ? 1.0e100 : static_cast<double>(v.julian));
  std::string k = v.text;
  while (!k.empty() && static_cast<unsigned char>(k.back()) <= ' ') k.pop_back();
  k.resize(static_cast<size_t>(KeyLength), ' ');
  return k;
}

std::string XBobjMDXTag::DisplayKey(const std::string& key) const {
  if (KeyType == 'D' && xbDoubleFromSortable(key) >= 1.0e99) return std::string();
  return XBobjIndexTag::DisplayKey(key);
}

std::unique_ptr<XBobjMDXFile> XBobjMDXFile::OpenFile(XBO_dBHandler& table, const std::string& fileName) {
  auto f = std::make_unique<XBobjMDXFile>(table, fileName);
  f->openDisk(false);
  f->Load();
  return f;
}

std::unique_ptr<XBobjMDXFile> XBobjMDXFile::CreateFile(XBO_dBHandler& table, const std::string& fileName) {
  auto f = std::make_unique<XBobjMDXFile>(table, xbDefaultExt(fileName, ".mdx"));
  int y, m, d;
  xbDBFDate().JulianToDate(xbDBFDate().TodayJulian(), y, m, d);
  f->created_[0] = static_cast<uint8_t>(y % 100);
  f->created_[1] = static_cast<uint8_t>(m);
  f->created_[2] = static_cast<uint8_t>(d);
  f->openDisk(true);
  f->Save();
  return f;
}

void XBobjMDXFile::Load() {
  tags_.clear();
  int64_t size = disk_->FileSize();
  uint8_t h[2048];
  if (size < 2048) corrupt();
  readExact(0, h, sizeof h);
  int units = xbGet16(h + 20), bb = xbGet16(h + 22), capacity = h[25], entryLen = xbGet16(h + 26);
  int count = xbGet16(h + 28);
  if (bb < 512 || bb > 32768 || bb % Unit != 0 || units * Unit != bb || entryLen != 32 || capacity > MaxTags ||
      count > capacity)
    corrupt();
  blockBytes_ = bb;
  std::memcpy(created_, h + 44, 3);
  const int64_t headerEnd = 2048;
  Walk w;
  for (int i = 1; i <= count; ++i) {
    const uint8_t* e = h + 512 + 32 * i;
    int64_t hp = int64_t{xbGet32(e)} * Unit;
    if (hp < headerEnd || hp > size - bb || !w.seen.insert(hp).second) badPage(hp);
    std::vector<uint8_t> th(static_cast<size_t>(bb));
    readExact(hp, th.data(), th.size());
    auto t = std::make_unique<XBobjMDXTag>(*this);
    t->Name = platform::TrimRight(xbOemToAnsiStr(cString(e + 4, 11)));
    t->HeaderPos = hp;
    uint32_t root = xbGet32(th.data());
    char type = static_cast<char>(th[9]);
    int kl = xbGet16(th.data() + 12), max = xbGet16(th.data() + 14), item = xbGet16(th.data() + 18);
    t->Descending = th[8] & 0x08;
    t->Unique = th[23] != 0;
    t->KeyExpr = cString(th.data() + 24, 221);
    if (th[245] && bb > 762) t->ForExpr = cString(th.data() + 762, static_cast<size_t>(bb - 762));
    if (kl < 1 || kl > 100 || item < kl + 4 || max < 2 || 8 + (max + 1) * item > bb) corrupt();
    if ((type == 'N' && kl != 12) || (type == 'D' && kl != 8) || (type != 'N' && type != 'D' && type != 'C')) corrupt();
    t->KeyType = type;
    t->KeyLength = type == 'C' ? kl : 8;
    t->Prepare(table_);
    std::vector<TxbIndexEntry> out;
    std::function<void(int64_t, int)> walk = [&](int64_t unit, int depth) {
      if (depth > 32) xbRaise(msg::IndexTooDeep, {fileName_, int32_t{32}});
      int64_t pos = unit * Unit;
      checkPage(w, pos, bb, size);
      std::vector<uint8_t> b(static_cast<size_t>(bb));
      readExact(pos, b.data(), b.size());
      uint32_t k = xbGet32(b.data());
      if (k > static_cast<uint32_t>(max)) badPage(pos);
      bool interior = xbGet32(b.data() + 8 + k * static_cast<uint32_t>(item)) != 0;
      for (uint32_t j = 0; j <= k; ++j) {
        const uint8_t* s = b.data() + 8 + j * static_cast<uint32_t>(item);
        if (interior) {
          walk(xbGet32(s), depth + 1);
        } else if (j < k) {
          std::string key;
          if (type == 'C') {
            key.assign(reinterpret_cast<const char*>(s + 4), static_cast<size_t>(kl));
          } else if (type == 'D') {
            double d;
            std::memcpy(&d, s + 4, 8);
            key = xbSortableDouble(d);
          } else {
            double d;
            if (!xbMdxUnpackNumber(s + 4, d)) badPage(pos);
            key = xbSortableDouble(d);
          }
          out.push_back({std::move(key), static_cast<int32_t>(xbGet32(s))});
        }
      }
    };
    if (root == 0) badPage(hp);
    walk(root, 0);
    t->SetEntries(std::move(out));
    tags_.push_back(std::move(t));
  }
  Dirty = false;
  noteFileState();
}

void XBobjMDXFile::Save() {
  const int bb = blockBytes_;
  std::sort(tags_.begin(), tags_.end(), [](auto& a, auto& b) { return a->Name < b->Name; });
  if (tags_.size() > static_cast<size_t>(MaxTags)) throw ERangeError();
  std::vector<uint8_t> image(2048, 0);
  auto unitOf = [&](size_t pos) { return checked_cast<uint32_t>(pos / Unit); };
  for (size_t i = 0; i < tags_.size(); ++i) {
    XBobjIndexTag& t = *tags_[i];
    size_t hp = image.size();
    image.resize(image.size() + static_cast<size_t>(bb), 0);
    t.HeaderPos = static_cast<int64_t>(hp);
    const bool isC = t.KeyType == 'C';
    const int kl = isC ? t.KeyLength : (t.KeyType == 'N' ? 12 : 8);
    const int item = (kl + 4 + 3) / 4 * 4, max = (bb - 8) / item - 1;
    uint32_t first = 0, last = 0;
    auto writePage = [&](const std::vector<TxbBuildItem>& items, uint32_t tail, bool leaf) -> uint32_t {
      size_t pos = image.size();
      image.resize(image.size() + static_cast<size_t>(bb), 0);
      uint8_t* b = image.data() + pos;
      if (8 + (items.size() + 1) * static_cast<size_t>(item) > static_cast<size_t>(bb)) throw ERangeError();
      xbPut32(b, static_cast<uint32_t>(items.size()));
      xbPut32(b + 4, last);
      for (size_t j = 0; j < items.size(); ++j) {
        uint8_t* s = b + 8 + j * static_cast<size_t>(item);
        xbPut32(s, leaf ? static_cast<uint32_t>(items[j].recNo) : items[j].child);
        double d = t.KeyType == 'C' ? 0 : xbDoubleFromSortable(items[j].key);
        if (isC)
          std::memcpy(s + 4, items[j].key.data(), static_cast<size_t>(kl));
        else if (t.KeyType == 'D')
          std::memcpy(s + 4, &d, 8);
        else
          std::memcpy(s + 4, xbMdxPackNumber(d).data(), 12);
      }
      if (!leaf) xbPut32(b + 8 + items.size() * static_cast<size_t>(item), tail);
      uint32_t u = unitOf(pos);
      if (!first) first = u;
      last = u;
      return u;
    };
    std::vector<TxbIndexEntry> asc;
    const std::vector<TxbIndexEntry>* src = &t.Entries();
    if (t.Descending) {
      asc.assign(t.Entries().begin(), t.Entries().end());   // stored in the tag's own order
      src = &asc;
    }
    uint32_t root = xbBuildTree(*src, static_cast<size_t>(max), static_cast<size_t>(max), false, writePage);
    uint8_t* th = image.data() + hp;
    xbPut32(th, root);
    th[8] = static_cast<uint8_t>(0x10 | (t.Unique ? 0x40 : 0) | (t.Descending ? 0x08 : 0));
    th[9] = static_cast<uint8_t>(t.KeyType);
    xbPut16(th + 12, static_cast<uint32_t>(kl));
    xbPut16(th + 14, static_cast<uint32_t>(max));
    xbPut16(th + 18, static_cast<uint32_t>(item));
    th[23] = t.Unique ? 0x40 : 0;
    std::memcpy(th + 24, t.KeyExpr.data(), std::min<size_t>(t.KeyExpr.size(), 220));
    th[245] = t.ForExpr.empty() ? 0 : 1;
    th[246] = 1;
    xbPut32(th + 248, first);
    xbPut32(th + 252, last);
    if (!t.ForExpr.empty() && bb > 762)
      std::memcpy(th + 762, t.ForExpr.data(), std::min<size_t>(t.ForExpr.size(), static_cast<size_t>(bb - 763)));
    uint8_t* e = image.data() + 512 + 32 * (i + 1);
    xbPut32(e, unitOf(hp));
    std::string name = xbAnsiToOemStr(platform::UpperCase(t.Name)).substr(0, 10);
    std::memcpy(e + 4, name.data(), name.size());
    e[19] = 2;
    e[20] = static_cast<uint8_t>(t.KeyType);
    image[512 + 32 * i + 17] = static_cast<uint8_t>(i + 1);
  }
  uint8_t* h = image.data();
  h[0] = 2;
  int y, m, d;
  xbDBFDate().JulianToDate(xbDBFDate().TodayJulian(), y, m, d);
  h[1] = static_cast<uint8_t>(y % 100);
  h[2] = static_cast<uint8_t>(m);
  h[3] = static_cast<uint8_t>(d);
  std::string stem = platform::UpperCase(xbFileStem(table_.FileName)).substr(0, 8);
  std::memcpy(h + 4, stem.data(), stem.size());
  xbPut16(h + 20, static_cast<uint32_t>(bb / Unit));
  xbPut16(h + 22, static_cast<uint32_t>(bb));
  h[24] = 1;
  h[25] = MaxTags;
  xbPut16(h + 26, 32);
  xbPut16(h + 28, static_cast<uint32_t>(tags_.size()));
  xbPut32(h + 32, unitOf(image.size()));
  std::memcpy(h + 44, created_, 3);
  writeAll(image);
}

XBobjIndexTag* XBobjMDXFile::TagCreate(const std::string& name, const std::string& keyExpr, bool unique,
                                       const std::string& forExpr, bool descending) {
  std::string n = platform::UpperCase(platform::Trim(name));
  if (n.empty() || n.size() > 10 || n.find_first_of(" \t") != std::string::npos) xbRaise(TagNameBad, {name, fileName_});
  if (keyExpr.size() > 220 || forExpr.size() > 200) xbRaise(msg::IndexKeyExpression, {keyExpr, fileName_});
  auto t = std::make_unique<XBobjMDXTag>(*this);
  t->Name = n;
  t->KeyExpr = keyExpr;
  t->ForExpr = forExpr;
  t->Unique = unique;
  t->Descending = descending;
  t->Prepare(table_);
  TxbKeyValue v = t->ProbeKey(table_);
  t->KeyType = v.type == 'N' ? 'N' : (v.type == 'D' ? 'D' : 'C');
  t->KeyLength = t->KeyType == 'C' ? v.length : 8;
  if (t->KeyLength < 1 || t->KeyLength > 100) xbRaise(msg::IndexKeyTooLong, {int32_t{t->KeyLength}, fileName_});
  t->Build(table_);
  XBobjIndexTag* raw = t.get();
  for (auto it = tags_.begin(); it != tags_.end(); ++it)
    if ((*it)->Name == n) {
      tags_.erase(it);
      break;
    }
  if (tags_.size() >= static_cast<size_t>(MaxTags)) xbRaise(TagNameBad, {name, fileName_});
  tags_.push_back(std::move(t));
  Save();
  return raw;
}

}  // namespace xb

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

// ---------------------------------------------------------------- blocks

XBobjMDXFile& XBobjMDXTag::mdx() { return static_cast<XBobjMDXFile&>(file_); }

void XBobjMDXTag::PageRead(XBobjIndexKey& p) {
  const int bb = mdx().blockBytes_;
  const int64_t pos = PagePos(p.Address);
  const int64_t size = file_.FileSize();
  const int64_t headerEnd = static_cast<int64_t>(mdx().header_.size());
  if (pos < headerEnd || pos > size - bb || pos == HeaderPos) file_.badPage(pos);
  std::vector<uint8_t> b(static_cast<size_t>(bb));
  file_.ReadPage(pos, b.data(), b.size());
  const uint32_t k = xbGet32(b.data());
  if (k > static_cast<uint32_t>(MaxKeys)) file_.badPage(pos);
  p.Clear();
  p.Reserve(static_cast<int>(k));
  p.Link = xbGet32(b.data() + 4);
  p.Leaf = xbGet32(b.data() + 8 + k * static_cast<uint32_t>(ItemSize)) == 0;
  auto childOk = [&](uint32_t c) {
    int64_t cp = PagePos(c);
    if (cp < headerEnd || cp > size - bb || c == p.Address || cp == HeaderPos) file_.badPage(pos);
    return c;
  };
  for (uint32_t j = 0; j < k; ++j) {
    const uint8_t* s = b.data() + 8 + j * static_cast<uint32_t>(ItemSize);
    uint32_t v = xbGet32(s);
    std::string key;
    if (KeyType == 'C') {
      key.assign(reinterpret_cast<const char*>(s + 4), static_cast<size_t>(KeyLength));
    } else if (KeyType == 'D') {
      double d;
      std::memcpy(&d, s + 4, 8);
      key = xbSortableDouble(d);
    } else {
      double d;
      if (!xbMdxUnpackNumber(s + 4, d)) file_.badPage(pos);
      key = xbSortableDouble(d);
    }
    if (p.Leaf) {
      if (static_cast<int32_t>(v) < 1) file_.badPage(pos);
      p.Append(key, static_cast<int32_t>(v), 0);
    } else {
      p.Append(key, 0, childOk(v));
    }
    if (j > 0) {
      int c = p.Key(static_cast<int>(j) - 1).compare(p.Key(static_cast<int>(j)));
      if (storeDescending() ? c < 0 : c > 0) xbRaise(msg::IndexOrderBad, {file_.FileName()});
    }
  }
  if (!p.Leaf) p.Tail = childOk(xbGet32(b.data() + 8 + k * static_cast<uint32_t>(ItemSize)));
}

void XBobjMDXTag::PageWrite(XBobjIndexKey& p) {
  const int bb = mdx().blockBytes_;
  if (8 + (p.Count() + 1) * ItemSize > bb) throw ERangeError();
  std::vector<uint8_t> b(static_cast<size_t>(bb), 0);
  xbPut32(b.data(), static_cast<uint32_t>(p.Count()));
  xbPut32(b.data() + 4, p.Link);
  for (int j = 0; j < p.Count(); ++j) {
    uint8_t* s = b.data() + 8 + j * ItemSize;
    xbPut32(s, p.Leaf ? static_cast<uint32_t>(p.RecNo(j)) : p.Child(j));
    if (KeyType == 'C') {
      std::memcpy(s + 4, p.Key(j).data(), static_cast<size_t>(KeyLength));
    } else {
      double d = xbDoubleFromSortable(p.Key(j));
      if (KeyType == 'D')
        std::memcpy(s + 4, &d, 8);
      else
        std::memcpy(s + 4, xbMdxPackNumber(d).data(), 12);
    }
  }
  if (!p.Leaf) xbPut32(b.data() + 8 + p.Count() * ItemSize, p.Tail);
  file_.Write(PagePos(p.Address), b.data(), b.size());
}

uint32_t XBobjMDXTag::AllocatePage(XBobjIndexKey* page) {
  uint32_t u = file_.PageAllocate();
  if (page) page->Link = LastUnit;   // chained to the block allocated for the tag before it
  if (FirstUnit == 0) FirstUnit = u;
  LastUnit = u;
  HeaderChanged = true;
  return u;
}

void XBobjMDXTag::TagLoad() {
  const int bb = mdx().blockBytes_;
  const int64_t size = file_.FileSize();
  std::vector<uint8_t> th(static_cast<size_t>(bb));
  file_.ReadPage(HeaderPos, th.data(), th.size());
  uint32_t root = xbGet32(th.data());
  char type = static_cast<char>(th[9]);
  int kl = xbGet16(th.data() + 12), max = xbGet16(th.data() + 14), item = xbGet16(th.data() + 18);
  if (kl < 1 || kl > 100 || item < kl + 4 || max < 2 || 8 + (int64_t{max} + 1) * item > bb) file_.corrupt();
  if ((type == 'N' && kl != 12) || (type == 'D' && kl != 8) || (type != 'N' && type != 'D' && type != 'C'))
    file_.corrupt();
  const int64_t rp = PagePos(root);
  if (root == 0 || rp < static_cast<int64_t>(mdx().header_.size()) || rp > size - bb || rp == HeaderPos)
    file_.badPage(HeaderPos);
  std::string keyExpr = xbCString(th.data() + 24, 221);
  std::string forExpr = (th[245] && bb > 762) ? xbCString(th.data() + 762, static_cast<size_t>(bb - 762)) : "";
  bool exprChanged = keyExpr != KeyExpr || forExpr != ForExpr || !keyEval_;
  Root = root;
  Descending = th[8] & 0x08;
  Unique = th[23] != 0;
  KeyExpr = keyExpr;
  ForExpr = forExpr;
  KeyType = type;
  DiskKeyLength = kl;
  KeyLength = type == 'C' ? kl : 8;
  MaxKeys = max;
  ItemSize = item;
  FirstUnit = xbGet32(th.data() + 248);
  LastUnit = xbGet32(th.data() + 252);
  if (exprChanged) Prepare(file_.Table());
}

void XBobjMDXTag::TagStore() {
  const int bb = mdx().blockBytes_;
  std::vector<uint8_t> th(static_cast<size_t>(bb), 0);
  xbPut32(th.data(), Root);
  th[8] = static_cast<uint8_t>(0x10 | (Unique ? 0x40 : 0) | (Descending ? 0x08 : 0));
  th[9] = static_cast<uint8_t>(KeyType);
  xbPut16(th.data() + 12, static_cast<uint32_t>(DiskKeyLength));
  xbPut16(th.data() + 14, static_cast<uint32_t>(MaxKeys));
  xbPut16(th.data() + 18, static_cast<uint32_t>(ItemSize));
  th[23] = Unique ? 0x40 : 0;
  std::memcpy(th.data() + 24, KeyExpr.data(), std::min<size_t>(KeyExpr.size(), 220));
  th[245] = ForExpr.empty() ? 0 : 1;
  th[246] = 1;
  xbPut32(th.data() + 248, FirstUnit);
  xbPut32(th.data() + 252, LastUnit);
  if (!ForExpr.empty() && bb > 762)
    std::memcpy(th.data() + 762, ForExpr.data(), std::min<size_t>(ForExpr.size(), static_cast<size_t>(bb - 763)));
  file_.Write(HeaderPos, th.data(), th.size());
}

// ---------------------------------------------------------------- file

namespace {
void putDate(uint8_t* p) {
  int y, m, d;
  xbDBFDate().JulianToDate(xbDBFDate().TodayJulian(), y, m, d);
  p[0] = static_cast<uint8_t>(y % 100);
  p[1] = static_cast<uint8_t>(m);
  p[2] = static_cast<uint8_t>(d);
}
}  // namespace

XBobjMDXFile::~XBobjMDXFile() {
  // The header's date, tag count and next free block when anything was written.
  try {
    if (written_ && disk_ && disk_->ReadWrite && header_.size() >= 2048) {
      TxbIndexOp op(*this);
      StoreFileHeader();
    }
  } catch (...) {
  }
}

void XBobjMDXFile::newHeader() {
  header_.assign(2048, 0);
  uint8_t* h = header_.data();
  h[0] = 2;
  putDate(h + 1);
  std::string stem = platform::UpperCase(xbFileStem(table_.FileName)).substr(0, 8);
  std::memcpy(h + 4, stem.data(), stem.size());
  blockBytes_ = 1024;
  xbPut16(h + 20, static_cast<uint32_t>(blockBytes_ / Unit));
  xbPut16(h + 22, static_cast<uint32_t>(blockBytes_));
  h[24] = 1;
  h[25] = MaxTags;
  xbPut16(h + 26, 32);
  xbPut16(h + 28, 0);
  xbPut32(h + 32, 4);
  putDate(h + 44);
  nextFree_ = 4;
  fileHeaderChanged_ = true;
}

void XBobjMDXFile::StoreFileHeader() {
  uint8_t* h = header_.data();
  putDate(h + 1);
  xbPut16(h + 28, static_cast<uint32_t>(tags_.size()));
  int64_t next = std::max<int64_t>(nextFree_, FileEndRead());
  xbPut32(h + 32, checked_cast<uint32_t>(next));
  if (!OpenRefused()) {
    Write(0, header_.data(), header_.size());
    return;
  }
  std::vector<uint8_t> marked = header_;
  xbPut16(marked.data() + 26, 0);
  Write(0, marked.data(), marked.size());
}

void XBobjMDXFile::WriteOpenMark(bool refused) {
  // The length of a tag-table entry: no open takes a file where it is not 32.
  uint8_t b[2];
  xbPut16(b, refused ? 0 : 32);
  Write(26, b, sizeof b);
}

void XBobjMDXFile::writeTagTable() {
  std::sort(tags_.begin(), tags_.end(), [](auto& a, auto& b) { return a->Name < b->Name; });
  if (tags_.size() > tableRoom()) throw ERangeError();
  std::memset(header_.data() + 512, 0, header_.size() - 512);
  for (size_t i = 0; i < tags_.size(); ++i) {
    XBobjIndexTag& t = *tags_[i];
    uint8_t* e = header_.data() + 512 + 32 * (i + 1);
    xbPut32(e, checked_cast<uint32_t>(t.HeaderPos / Unit));
    std::string name = platform::UpperCase(t.Name);
    if (translate_) name = xbAnsiToOemStr(name);
    name = name.substr(0, 10);
    std::memcpy(e + 4, name.data(), name.size());
    e[19] = 2;
    e[20] = static_cast<uint8_t>(t.KeyType);
    header_[512 + 32 * i + 17] = static_cast<uint8_t>(i + 1);
  }
  fileHeaderChanged_ = true;
}

void XBobjMDXFile::LoadTags() {
  const int64_t size = FileSize();
  if (size < 2048) corrupt();
  std::vector<uint8_t> h(2048);
  ReadPage(0, h.data(), h.size());
  int units = xbGet16(h.data() + 20), bb = xbGet16(h.data() + 22), capacity = h[25], entryLen = xbGet16(h.data() + 26);
  int count = xbGet16(h.data() + 28);
  if (static_cast<size_t>(count) > (h.size() - 544) / 32) corrupt();
  if (bb < 512 || bb > 32768 || bb % Unit != 0 || units * Unit != bb || entryLen != 32 || capacity > MaxTags ||
      count > capacity)
    corrupt();
  blockBytes_ = bb;
  header_ = std::move(h);
  std::vector<std::unique_ptr<XBobjIndexTag>> old = std::move(tags_);
  tags_.clear();
  std::vector<int64_t> seen;
  for (int i = 1; i <= count; ++i) {
    const uint8_t* e = header_.data() + 512 + 32 * i;
    int64_t hp = int64_t{xbGet32(e)} * Unit;
    if (hp < 2048 || hp > size - bb || std::find(seen.begin(), seen.end(), hp) != seen.end()) badPage(hp);
    seen.push_back(hp);
    std::string name = xbCString(e + 4, 11);
    if (translate_) name = xbOemToAnsiStr(name);
    name = platform::TrimRight(name);
    std::unique_ptr<XBobjIndexTag> t;
    for (auto& o : old)
      if (o && o->Name == name) t = std::move(o);
    if (!t) t = std::make_unique<XBobjMDXTag>(*this);
    t->Name = name;
    t->HeaderPos = hp;
    tags_.push_back(std::move(t));
  }
  for (auto& o : old)
    if (o) retire(std::move(o));
  for (auto& t : tags_) t->Reload();
}

std::unique_ptr<XBobjMDXFile> XBobjMDXFile::OpenFile(XBO_dBHandler& table, const std::string& fileName) {
  auto f = std::make_unique<XBobjMDXFile>(table, fileName);
  f->openDisk(false);
  XBobjMDXFile& file = *f;
  if (f->FileSize() > 512)
    f->loadLocked();
  else
    f->createLocked([&] { file.newHeader(); });   // too short for a header: a new one
  f->markProduction();
  return f;
}

std::unique_ptr<XBobjMDXFile> XBobjMDXFile::CreateFile(XBO_dBHandler& table, const std::string& fileName) {
  auto f = std::make_unique<XBobjMDXFile>(table, xbDefaultExt(fileName, ".mdx"));
  f->openDisk(true);
  XBobjMDXFile& file = *f;
  f->createLocked([&] { file.newHeader(); });
  f->markProduction();
  return f;
}

uint32_t XBobjMDXFile::PageAllocate() {
  if (nextFree_ < 0) nextFree_ = FileEndRead();
  if (nextFree_ < 4) nextFree_ = 4;
  int64_t u = nextFree_;
  if (u > 0x7FFFFFFF) throw ERangeError();
  nextFree_ += blockBytes_ / Unit;
  fileHeaderChanged_ = true;
  return static_cast<uint32_t>(u);
}

void XBobjMDXFile::defineTag(XBobjMDXTag& t) {
  TxbKeyValue v = t.PrepareType(table_);
  t.KeyLength = t.KeyType == 'C' ? v.length : 8;
  t.DiskKeyLength = t.KeyType == 'C' ? v.length : (t.KeyType == 'N' ? 12 : 8);
  if (t.KeyLength < 1 || t.KeyLength > 100) xbRaise(msg::IndexKeyTooLong, {int32_t{t.KeyLength}, fileName_});
  t.ItemSize = (t.DiskKeyLength + 4 + 3) / 4 * 4;
  t.MaxKeys = (blockBytes_ - 8) / t.ItemSize - 1;
}

XBobjIndexTag* XBobjMDXFile::TagCreate(const std::string& name, const std::string& keyExpr, bool unique,
                                       const std::string& forExpr, bool descending) {
  std::string n = platform::UpperCase(platform::Trim(name));
  if (n.empty() || n.size() > 10 || n.find_first_of(" \t") != std::string::npos) xbRaise(TagNameBad, {name, fileName_});
  if (keyExpr.size() > 220 || forExpr.size() > 200) xbRaise(msg::IndexKeyExpression, {keyExpr, fileName_});
  TxbIndexOp op(*this);
  auto t = std::make_unique<XBobjMDXTag>(*this);
  t->Name = n;
  t->KeyExpr = keyExpr;
  t->ForExpr = forExpr;
  t->Unique = unique;
  t->Descending = descending;
  defineTag(*t);
  bool replaces = TagByName(n) != nullptr;
  if (!replaces && tags_.size() >= tableRoom()) xbRaise(TagNameBad, {name, fileName_});
  t->HeaderPos = int64_t{PageAllocate()} * Unit;
  t->Build();
  XBobjIndexTag* raw = t.get();
  for (auto it = tags_.begin(); it != tags_.end(); ++it)
    if ((*it)->Name == n) {
      retire(std::move(*it));
      tags_.erase(it);
      break;
    }
  tags_.push_back(std::move(t));
  writeTagTable();
  Commit();
  return raw;
}

bool XBobjMDXFile::TagDelete(const std::string& name) {
  TxbIndexOp op(*this);
  for (auto it = tags_.begin(); it != tags_.end(); ++it)
    if (platform::SameText((*it)->Name, platform::Trim(name))) {
      retire(std::move(*it));
      tags_.erase(it);
      if (tags_.empty())
        Reindex();
      else {
        writeTagTable();
        Commit();
      }
      return true;
    }
  return false;
}

void XBobjMDXFile::Reindex() {
  rebuild([&] {
    nextFree_ = truncate(static_cast<int64_t>(header_.size())) ? 4 : FileEndRead();
    for (auto& t : tags_) {
      auto& m = static_cast<XBobjMDXTag&>(*t);
      m.HeaderPos = int64_t{PageAllocate()} * Unit;
      m.FirstUnit = m.LastUnit = 0;
      m.Build();
    }
    writeTagTable();
    Commit();
  });
}

bool XBobjMDXFile::Rename(const std::string& newName) {
  bool r = XBobjIndexFile::Rename(newName);
  // The header names the file's own base name.
  TxbIndexOp op(*this);
  std::string stem = platform::UpperCase(xbFileStem(fileName_)).substr(0, 8);
  std::memset(header_.data() + 4, 0, 16);
  std::memcpy(header_.data() + 4, stem.data(), stem.size());
  fileHeaderChanged_ = true;
  Commit();
  return r;
}

}  // namespace xb

#include "xbase/xb_ntx.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

#include "platform/strutil.h"
#include "xbase/checked.h"
#include "xbase/xb_cnst.h"
#include "xbase/xb_date.h"
#include "xbase/xb_glbl.h"

namespace xb {

namespace {

std::string cString(const uint8_t* p, size_t max) {
  size_t n = 0;
  while (n < max && p[n] != 0) ++n;
  return std::string(reinterpret_cast<const char*>(p), n);
}

}  // namespace

// ---------------------------------------------------------------- keys

std::string XBobjNTXTag::MakeKey(const TxbKeyValue& v) const {
  const size_t len = static_cast<size_t>(KeyLength);
  std::string k;
  if (KeyType == 'D') {
    k = v.julian > 0 ? xbDBFDate().JulianToDBFStr(v.julian) : "00000000";
  } else if (KeyType == 'N') {
    char buf[400];
    double a = std::fabs(v.number);
    auto r = std::to_chars(buf, buf + sizeof buf, a, std::chars_format::fixed, std::clamp(Decimals, 0, 15));
    std::string t = r.ec == std::errc() ? std::string(buf, r.ptr) : std::string();
    if (t.empty() || t.size() > len) {
      t.assign(len, '9');   // a value wider than the key sorts as the largest magnitude
      if (Decimals > 0 && static_cast<size_t>(Decimals) < len) t[len - static_cast<size_t>(Decimals) - 1] = '.';
    }
    k.assign(len - t.size(), '0');
    k += t;
    if (v.number < 0 && a != 0)
      for (char& c : k)
        if (c >= '0' && c <= '9') c = static_cast<char>(92 - c);
  } else {
    k = v.text;
    while (!k.empty() && static_cast<unsigned char>(k.back()) <= ' ') k.pop_back();
  }
  k.resize(len, ' ');
  return k;
}

std::string XBobjNTXTag::SeekForm(std::string_view text) const {
  if (KeyType == 'D') {
    int32_t j = 0;
    if (!xbParseDate(text, j)) xbRaise(msg::InvalidValue, {"date", Name});
    return j > 0 ? xbDBFDate().JulianToDBFStr(j) : "00000000";
  }
  return XBobjIndexTag::SeekForm(text);
}

std::string XBobjNTXTag::DisplayKey(const std::string& key) const {
  if (KeyType == 'D') return key == "00000000" ? std::string() : key;
  if (KeyType == 'N') {
    std::string t = key;
    bool neg = std::any_of(t.begin(), t.end(), [](char c) { return c >= '#' && c <= ','; });
    if (neg)
      for (char& c : t)
        if (c >= '#' && c <= ',') c = static_cast<char>(92 - c);
    double v = 0;
    if (!xbParseNumber(t, v)) return key;
    return xbNumberText(neg ? -v : v);
  }
  return XBobjIndexTag::DisplayKey(key);
}

// ---------------------------------------------------------------- file

void XBobjNTXFile::Geometry(int keyLength, int& itemSize, int& maxKeys, int& halfPage) {
  itemSize = keyLength + 8;
  int n = 1020 / (keyLength + 10);
  halfPage = (n - 1) / 2;
  maxKeys = 2 * halfPage;
}

void XBobjNTXFile::setType() {
  XBobjIndexTag& t = tag();
  t.Prepare(table_);
  TxbKeyValue v = t.ProbeKey(table_);
  t.KeyType = v.type == 'N' ? 'N' : (v.type == 'D' ? 'D' : 'C');
}

std::unique_ptr<XBobjNTXFile> XBobjNTXFile::OpenFile(XBO_dBHandler& table, const std::string& fileName) {
  auto f = std::make_unique<XBobjNTXFile>(table, fileName);
  f->openDisk(false);
  f->Load();
  return f;
}

std::unique_ptr<XBobjNTXFile> XBobjNTXFile::CreateFile(XBO_dBHandler& table, const std::string& fileName,
                                                       const std::string& keyExpr, bool unique,
                                                       const std::string& forExpr, bool descending) {
  auto f = std::make_unique<XBobjNTXFile>(table, xbDefaultExt(fileName, ".ntx"));
  auto t = std::make_unique<XBobjNTXTag>(*f);
  t->Name = platform::UpperCase(xbFileStem(f->fileName_)).substr(0, 16);
  t->KeyExpr = keyExpr;
  t->ForExpr = forExpr;
  t->Unique = unique;
  t->Descending = descending;
  t->RecordOrder = false;
  f->tags_.push_back(std::move(t));
  if (keyExpr.size() > 255 || forExpr.size() > 741) xbRaise(msg::IndexKeyExpression, {keyExpr, f->fileName_});
  f->setType();
  // The key length: the field's width for a numeric field key, else the evaluated length.
  XBobjIndexTag& tg = f->tag();
  TxbKeyValue v = tg.ProbeKey(table);
  if (tg.KeyType == 'N') {
    tg.KeyLength = v.length > 0 ? v.length : 18;
    tg.Decimals = v.length > 0 ? v.decimals : 4;
  } else if (tg.KeyType == 'D') {
    tg.KeyLength = 8;
  } else {
    tg.KeyLength = v.length;
  }
  if (tg.KeyLength < 1 || tg.KeyLength > 250) xbRaise(msg::IndexKeyTooLong, {int32_t{tg.KeyLength}, f->fileName_});
  Geometry(tg.KeyLength, f->itemSize_, f->maxKeys_, f->half_);
  f->openDisk(true);
  f->disk_->ReadWrite = true;
  tg.Build(table);
  f->Save();
  return f;
}

void XBobjNTXFile::Load() {
  tags_.clear();
  uint8_t h[PageSize];
  int64_t size = disk_->FileSize();
  if (size < 2 * PageSize) corrupt();
  readExact(0, h, PageSize);
  uint16_t sig = xbGet16(h);
  if (sig != 6 && sig != 7) corrupt();
  counter_ = xbGet16(h + 2);
  uint32_t root = xbGet32(h + 4);
  int item = xbGet16(h + 12), kl = xbGet16(h + 14), dec = xbGet16(h + 16), max = xbGet16(h + 18);
  if (kl < 1 || kl > 250 || item != kl + 8 || max < 2 || 2 + 2 * (max + 1) + item > PageSize || dec > kl)
    corrupt();
  if (root < static_cast<uint32_t>(PageSize) || root % PageSize != 0) badPage(root);
  auto t = std::make_unique<XBobjNTXTag>(*this);
  t->Name = platform::UpperCase(xbFileStem(fileName_)).substr(0, 16);
  t->KeyExpr = cString(h + 22, 256);
  t->Unique = h[278] & 1;
  t->Descending = h[279] & 1;
  t->RecordOrder = false;
  if (sig == 7) t->ForExpr = cString(h + 282, PageSize - 282);
  t->KeyLength = kl;
  t->Decimals = dec;
  tags_.push_back(std::move(t));
  itemSize_ = item;
  maxKeys_ = max;
  half_ = xbGet16(h + 20);
  setType();

  std::vector<TxbIndexEntry> out;
  Walk w;
  // Depth-first in key order: child i, then key i.
  std::function<void(int64_t, int)> walk = [&](int64_t pos, int depth) {
    if (depth > 32) xbRaise(msg::IndexTooDeep, {fileName_, int32_t{32}});
    checkPage(w, pos, PageSize, size);
    std::vector<uint8_t> p(PageSize);
    readExact(pos, p.data(), PageSize);
    int k = xbGet16(p.data());
    if (k > max) badPage(pos);
    auto slot = [&](int i) -> const uint8_t* {
      int off = xbGet16(p.data() + 2 + 2 * i);
      if (off < 2 || off + item > PageSize) badPage(pos);
      return p.data() + off;
    };
    bool interior = xbGet32(slot(0)) != 0;
    for (int i = 0; i <= k; ++i) {
      const uint8_t* s = slot(i);
      uint32_t child = xbGet32(s);
      if (interior) {
        if (child == 0 || child % PageSize != 0) badPage(pos);
        walk(child, depth + 1);
      } else if (child != 0 && i < k) {
        badPage(pos);
      }
      if (i < k) {
        int32_t rec = static_cast<int32_t>(xbGet32(s + 4));
        out.push_back({std::string(reinterpret_cast<const char*>(s + 8), static_cast<size_t>(kl)), rec});
      }
    }
  };
  walk(root, 0);
  tag().SetEntries(std::move(out));
  Dirty = false;
  noteFileState();
}

void XBobjNTXFile::Save() {
  XBobjIndexTag& t = tag();
  const int kl = t.KeyLength, item = itemSize_, max = maxKeys_;
  std::vector<uint8_t> image(PageSize, 0);
  auto writePage = [&](const std::vector<TxbBuildItem>& items, uint32_t tail, bool) -> uint32_t {
    uint32_t addr = checked_cast<uint32_t>(image.size());
    image.resize(image.size() + PageSize, 0);
    uint8_t* p = image.data() + addr;
    if (items.size() > static_cast<size_t>(max)) throw ERangeError();
    xbPut16(p, static_cast<uint32_t>(items.size()));
    for (int i = 0; i <= max; ++i) {
      uint32_t off = static_cast<uint32_t>(i * item + (max + 2) * 2);
      if (off + static_cast<uint32_t>(item) > static_cast<uint32_t>(PageSize)) throw ERangeError();
      xbPut16(p + 2 + 2 * i, off);
    }
    for (size_t i = 0; i < items.size(); ++i) {
      uint8_t* s = p + xbGet16(p + 2 + 2 * i);
      xbPut32(s, items[i].child);
      xbPut32(s + 4, static_cast<uint32_t>(items[i].recNo));
      std::memcpy(s + 8, items[i].key.data(), static_cast<size_t>(kl));
    }
    uint8_t* s = p + xbGet16(p + 2 + 2 * items.size());
    xbPut32(s, tail);
    return addr;
  };
  uint32_t root = xbBuildTree(t.Entries(), static_cast<size_t>(max), static_cast<size_t>(max), true, writePage);
  counter_ = counter_ > 32766 ? 1 : static_cast<uint16_t>(counter_ + 1);
  uint8_t* h = image.data();
  xbPut16(h, t.ForExpr.empty() ? 6 : 7);
  xbPut16(h + 2, counter_);
  xbPut32(h + 4, root);
  xbPut16(h + 12, static_cast<uint32_t>(item));
  xbPut16(h + 14, static_cast<uint32_t>(kl));
  xbPut16(h + 16, static_cast<uint32_t>(t.Decimals));
  xbPut16(h + 18, static_cast<uint32_t>(max));
  xbPut16(h + 20, static_cast<uint32_t>(half_));
  std::memcpy(h + 22, t.KeyExpr.data(), std::min<size_t>(t.KeyExpr.size(), 255));
  h[278] = t.Unique ? 1 : 0;
  h[279] = t.Descending ? 1 : 0;
  if (!t.ForExpr.empty()) std::memcpy(h + 282, t.ForExpr.data(), std::min<size_t>(t.ForExpr.size(), 741));
  writeAll(image);
}

bool XBobjNTXFile::ChangedExternally() {
  if (!disk_->Shared) return false;
  uint8_t b[4];
  if (disk_->Read(0, b, 4) != 4) corrupt();
  return xbGet16(b + 2) != counter_;
}

}  // namespace xb

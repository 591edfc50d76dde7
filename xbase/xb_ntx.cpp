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

// ---------------------------------------------------------------- pages

XBobjNTXFile& XBobjNTXTag::ntx() { return static_cast<XBobjNTXFile&>(file_); }

void XBobjNTXTag::PageRead(XBobjIndexKey& p) {
  const int64_t pos = p.Address;
  const int64_t size = file_.FileSize();
  if (pos < XBobjNTXFile::PageSize || pos % XBobjNTXFile::PageSize != 0 || pos > size - XBobjNTXFile::PageSize)
    file_.badPage(pos);
  uint8_t b[XBobjNTXFile::PageSize];
  file_.ReadPage(pos, b, sizeof b);
  const int k = xbGet16(b);
  if (k > MaxKeys) file_.badPage(pos);
  auto slot = [&](int i) -> const uint8_t* {
    int off = xbGet16(b + 2 + 2 * i);
    if (off < 2 || off + ItemSize > XBobjNTXFile::PageSize) file_.badPage(pos);
    return b + off;
  };
  auto childOk = [&](uint32_t c) {
    if (c == 0 || c % XBobjNTXFile::PageSize != 0 || c == pos || static_cast<int64_t>(c) > size - XBobjNTXFile::PageSize)
      file_.badPage(pos);
    return c;
  };
  p.Clear();
  p.Reserve(k);
  p.Leaf = xbGet32(slot(0)) == 0;
  for (int i = 0; i < k; ++i) {
    const uint8_t* s = slot(i);
    uint32_t child = xbGet32(s);
    if (p.Leaf && child != 0) file_.badPage(pos);
    if (!p.Leaf) childOk(child);
    int32_t rec = static_cast<int32_t>(xbGet32(s + 4));
    if (rec < 1) file_.badPage(pos);
    p.Append(std::string_view(reinterpret_cast<const char*>(s + 8), static_cast<size_t>(KeyLength)), rec, child);
    if (i > 0) {
      int c = p.Key(i - 1).compare(p.Key(i));
      if (storeDescending() ? c < 0 : c > 0) xbRaise(msg::IndexOrderBad, {file_.FileName()});
    }
  }
  p.Tail = p.Leaf ? 0 : childOk(xbGet32(slot(k)));
}

void XBobjNTXTag::PageWrite(XBobjIndexKey& p) {
  if (p.Count() > MaxKeys) throw ERangeError();
  uint8_t b[XBobjNTXFile::PageSize] = {};
  xbPut16(b, static_cast<uint32_t>(p.Count()));
  for (int i = 0; i <= MaxKeys; ++i) {
    uint32_t off = static_cast<uint32_t>(i * ItemSize + (MaxKeys + 2) * 2);
    if (off + static_cast<uint32_t>(ItemSize) > static_cast<uint32_t>(XBobjNTXFile::PageSize)) throw ERangeError();
    xbPut16(b + 2 + 2 * i, off);
  }
  auto slot = [&](int i) { return b + xbGet16(b + 2 + 2 * i); };
  for (int i = 0; i < p.Count(); ++i) {
    uint8_t* s = slot(i);
    xbPut32(s, p.Leaf ? 0 : p.Child(i));
    xbPut32(s + 4, static_cast<uint32_t>(p.RecNo(i)));
    std::memcpy(s + 8, p.Key(i).data(), static_cast<size_t>(KeyLength));
  }
  xbPut32(slot(p.Count()), p.Leaf ? 0 : p.Tail);
  file_.Write(p.Address, b, sizeof b);
}

void XBobjNTXTag::PackStart(size_t keys) {
  // The keys are shared evenly by the pages a full packing would need.
  size_t max = static_cast<size_t>(MaxKeys);
  size_t pages = keys / max + 1;
  fill_ = static_cast<int>(std::max<size_t>(1, (keys + pages - 1) / pages));
}

bool XBobjNTXTag::PackFits(XBobjIndexKey& p, std::string_view, int level) {
  return p.Count() < (level == 0 ? fill_ : std::max(fill_, 2));
}

void XBobjNTXTag::TagLoad() {
  uint8_t h[XBobjNTXFile::PageSize];
  const int64_t size = file_.FileSize();
  if (size < 2 * XBobjNTXFile::PageSize) file_.corrupt();
  file_.ReadPage(0, h, sizeof h);
  uint16_t sig = xbGet16(h);
  if (sig != 6 && sig != 7) file_.corrupt();
  uint32_t root = xbGet32(h + 4);
  int item = xbGet16(h + 12), kl = xbGet16(h + 14), dec = xbGet16(h + 16), max = xbGet16(h + 18);
  if (kl < 1 || kl > 250 || item != kl + 8 || max < 2 || 2 + 2 * (max + 1) + item > XBobjNTXFile::PageSize ||
      dec > kl)
    file_.corrupt();
  if (root < static_cast<uint32_t>(XBobjNTXFile::PageSize) || root % XBobjNTXFile::PageSize != 0 ||
      static_cast<int64_t>(root) > size - XBobjNTXFile::PageSize)
    file_.badPage(root);
  std::string keyExpr = xbCString(h + 22, 256);
  std::string forExpr = (sig & 1) ? xbCString(h + 282, XBobjNTXFile::PageSize - 282) : std::string();
  bool exprChanged = keyExpr != KeyExpr || forExpr != ForExpr || !keyEval_;
  ntx().counter_ = xbGet16(h + 2);
  Root = root;
  KeyExpr = keyExpr;
  ForExpr = forExpr;
  ItemSize = item;
  KeyLength = kl;
  Decimals = dec;
  MaxKeys = max;
  HalfPage = xbGet16(h + 20);
  Unique = h[278] & 1;
  Descending = h[279] & 1;
  if (exprChanged) PrepareType(file_.Table());
}

void XBobjNTXTag::TagStore() {
  uint8_t h[XBobjNTXFile::PageSize] = {};
  xbPut16(h, file_.OpenRefused() ? 0 : (ForExpr.empty() ? 6 : 7));
  xbPut16(h + 2, ntx().counter_);
  xbPut32(h + 4, Root);
  xbPut16(h + 12, static_cast<uint32_t>(ItemSize));
  xbPut16(h + 14, static_cast<uint32_t>(KeyLength));
  xbPut16(h + 16, static_cast<uint32_t>(Decimals));
  xbPut16(h + 18, static_cast<uint32_t>(MaxKeys));
  xbPut16(h + 20, static_cast<uint32_t>(HalfPage));
  std::memcpy(h + 22, KeyExpr.data(), std::min<size_t>(KeyExpr.size(), 255));
  h[278] = Unique ? 1 : 0;
  h[279] = Descending ? 1 : 0;
  if (!ForExpr.empty()) std::memcpy(h + 282, ForExpr.data(), std::min<size_t>(ForExpr.size(), 741));
  file_.Write(0, h, sizeof h);
}

// ---------------------------------------------------------------- file

void XBobjNTXFile::Geometry(int keyLength, int& itemSize, int& maxKeys, int& halfPage) {
  itemSize = keyLength + 8;
  int n = 1020 / (keyLength + 10);
  halfPage = (n - 1) / 2;
  maxKeys = 2 * halfPage;
}

void XBobjNTXFile::LoadTags() {
  if (tags_.empty()) {
    auto t = std::make_unique<XBobjNTXTag>(*this);
    t->Name = platform::UpperCase(xbFileStem(fileName_)).substr(0, 16);
    tags_.push_back(std::move(t));
  }
  tag().Reload();
}

std::unique_ptr<XBobjNTXFile> XBobjNTXFile::OpenFile(XBO_dBHandler& table, const std::string& fileName) {
  auto f = std::make_unique<XBobjNTXFile>(table, fileName);
  f->openDisk(false);
  f->loadLocked();
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
  if (keyExpr.size() > 255 || forExpr.size() > 741) xbRaise(msg::IndexKeyExpression, {keyExpr, f->fileName_});
  XBobjNTXTag& tg = *t;
  f->tags_.push_back(std::move(t));
  TxbKeyValue v = tg.PrepareType(table);
  if (tg.KeyType == 'N') {
    // The width of the field named before the expression's first blank.
    std::string first = platform::Trim(keyExpr);
    first = first.substr(0, first.find(' '));
    const TxbFieldDesc* fd = table.FieldNo(first) ? table.FieldDesc(table.FieldNo(first)) : nullptr;
    tg.KeyLength = fd ? static_cast<int>(fd->Length) : 18;
    tg.Decimals = fd ? fd->Decimals : 4;
  } else if (tg.KeyType == 'D') {
    tg.KeyLength = 8;
  } else {
    tg.KeyLength = v.length;
  }
  if (tg.KeyLength < 1 || tg.KeyLength > 250) xbRaise(msg::IndexKeyTooLong, {int32_t{tg.KeyLength}, f->fileName_});
  Geometry(tg.KeyLength, tg.ItemSize, tg.MaxKeys, tg.HalfPage);
  if (tg.MaxKeys < 2) xbRaise(msg::IndexKeyTooLong, {int32_t{tg.KeyLength}, f->fileName_});
  f->openDisk(true);
  f->disk_->ReadWrite = true;
  XBobjNTXFile& file = *f;
  f->createLocked([&] {
    uint8_t zero[PageSize] = {};
    file.Write(0, zero, sizeof zero);
    file.nextFree_ = PageSize;
    file.counter_ = 1;
    tg.Build();
  });
  return f;
}

uint32_t XBobjNTXFile::PageAllocate() {
  if (nextFree_ < 0) nextFree_ = FileEndRead();
  nextFree_ = (nextFree_ + PageSize - 1) / PageSize * PageSize;
  if (nextFree_ < PageSize) nextFree_ = PageSize;
  int64_t at = nextFree_;
  if (at > 0xFFFFFFFFll - PageSize) throw ERangeError();
  nextFree_ += PageSize;
  return static_cast<uint32_t>(at);
}

void XBobjNTXFile::AfterChange() {
  counter_ = counter_ > 32766 ? 0 : counter_;
  ++counter_;
  tag().HeaderChanged = true;
}

void XBobjNTXFile::Reindex() {
  rebuild([&] {
    nextFree_ = truncate(PageSize) ? PageSize : FileEndRead();
    counter_ = 1;
    tag().Build();
    Commit();
  });
}

void XBobjNTXFile::WriteOpenMark(bool refused) {
  // The signature: no open takes a file without it.
  uint8_t b[2];
  xbPut16(b, refused ? 0 : (tag().ForExpr.empty() ? 6 : 7));
  Write(0, b, sizeof b);
}

bool XBobjNTXFile::ChangedExternally() {
  if (!disk_->Shared) return false;
  uint8_t b[4];
  if (!Read(0, b, 4)) corrupt();
  return xbGet16(b + 2) != counter_;
}

}  // namespace xb

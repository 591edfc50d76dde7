#include "xbase/xb_ndx.h"

#include <algorithm>
#include <cstring>
#include <functional>

#include "platform/strutil.h"
#include "xbase/checked.h"
#include "xbase/xb_cnst.h"
#include "xbase/xb_glbl.h"

namespace xb {

std::string XBobjNDXTag::MakeKey(const TxbKeyValue& v) const {
  if (KeyType == 'N') return xbSortableDouble(v.number);
  if (KeyType == 'D') return xbSortableDouble(v.julian < 1 ? 1.0e100 : static_cast<double>(v.julian));
  std::string k = v.text;
  while (!k.empty() && static_cast<unsigned char>(k.back()) <= ' ') k.pop_back();
  k.resize(static_cast<size_t>(KeyLength), ' ');
  return k;
}

std::string XBobjNDXTag::DisplayKey(const std::string& key) const {
  if (KeyType == 'D' && xbDoubleFromSortable(key) >= 1.0e99) return std::string();
  return XBobjIndexTag::DisplayKey(key);
}

// ---------------------------------------------------------------- blocks

void XBobjNDXTag::PageRead(XBobjIndexKey& p) {
  const int64_t pos = PagePos(p.Address);
  const int64_t blocks = file_.FileSize() / XBobjNDXFile::BlockSize;
  if (p.Address < 1 || static_cast<int64_t>(p.Address) >= blocks) file_.badPage(pos);
  uint8_t b[XBobjNDXFile::BlockSize];
  file_.ReadPage(pos, b, sizeof b);
  const int k = xbGet16(b);
  const bool interior = xbGet32(b + 4) != 0;
  if (k > MaxKeys || 4 + (k + (interior ? 1 : 0)) * ItemSize > XBobjNDXFile::BlockSize) file_.badPage(pos);
  const bool numeric = KeyType != 'C';
  auto childOk = [&](uint32_t c) {
    if (c == 0 || c == p.Address || static_cast<int64_t>(c) >= blocks) file_.badPage(pos);
    return c;
  };
  p.Clear();
  p.Reserve(k);
  p.Leaf = !interior;
  for (int i = 0; i < k; ++i) {
    const uint8_t* s = b + 4 + i * ItemSize;
    uint32_t child = xbGet32(s);
    if (p.Leaf && child != 0) file_.badPage(pos);
    if (!p.Leaf) childOk(child);
    int32_t rec = p.Leaf ? static_cast<int32_t>(xbGet32(s + 4)) : 0;
    if (p.Leaf && rec < 1) file_.badPage(pos);
    if (numeric) {
      double d;
      std::memcpy(&d, s + 8, 8);
      p.Append(xbSortableDouble(d), rec, child);
    } else {
      p.Append(std::string_view(reinterpret_cast<const char*>(s + 8), static_cast<size_t>(KeyLength)), rec, child);
    }
    if (i > 0 && p.Key(i - 1).compare(p.Key(i)) > 0) xbRaise(msg::IndexOrderBad, {file_.FileName()});
  }
  if (!p.Leaf) p.Tail = childOk(xbGet32(b + 4 + k * ItemSize));
}

void XBobjNDXTag::PageWrite(XBobjIndexKey& p) {
  uint8_t b[XBobjNDXFile::BlockSize] = {};
  if (4 + (p.Count() + (p.Leaf ? 0 : 1)) * ItemSize > XBobjNDXFile::BlockSize) throw ERangeError();
  const bool numeric = KeyType != 'C';
  xbPut32(b, static_cast<uint32_t>(p.Count()));
  for (int i = 0; i < p.Count(); ++i) {
    uint8_t* s = b + 4 + i * ItemSize;
    xbPut32(s, p.Leaf ? 0 : p.Child(i));
    xbPut32(s + 4, p.Leaf ? static_cast<uint32_t>(p.RecNo(i)) : 0);
    if (numeric) {
      double d = xbDoubleFromSortable(p.Key(i));
      std::memcpy(s + 8, &d, 8);
    } else {
      std::memcpy(s + 8, p.Key(i).data(), static_cast<size_t>(KeyLength));
    }
  }
  if (!p.Leaf) xbPut32(b + 4 + p.Count() * ItemSize, p.Tail);
  file_.Write(PagePos(p.Address), b, sizeof b);
}

uint32_t XBobjNDXTag::AllocatePage(XBobjIndexKey*) {
  HeaderChanged = true;   // the header holds the next free block
  return file_.PageAllocate();
}

void XBobjNDXTag::TagLoad() {
  uint8_t h[XBobjNDXFile::BlockSize];
  const int64_t size = file_.FileSize();
  if (size < 2 * XBobjNDXFile::BlockSize) file_.corrupt();
  file_.ReadPage(0, h, sizeof h);
  uint32_t root = xbGet32(h);
  int kl = xbGet16(h + 12), max = xbGet16(h + 14), kind = xbGet16(h + 16), item = xbGet16(h + 18);
  if (kl < 1 || kl > 100 || item < kl + 8 || max < 2 || 4 + int64_t{max} * item > XBobjNDXFile::BlockSize || kind > 1)
    file_.corrupt();
  if (root < 1 || static_cast<int64_t>(root) > size / XBobjNDXFile::BlockSize - 1) file_.badPage(PagePos(root));
  std::string expr = xbCString(h + 24, 488);
  if (expr != KeyExpr || !keyEval_) {
    KeyExpr = expr;
    PrepareType(file_.Table());
  }
  if ((KeyType != 'C') != (kind == 1) || (kind == 1 && kl != 8)) file_.corrupt();
  Root = root;
  Unique = h[23] & 1;
  KeyLength = kl;
  HeaderKeyLength = kl;
  ItemSize = item;
  MaxKeys = max;
}

void XBobjNDXTag::TagStore() {
  uint8_t h[XBobjNDXFile::BlockSize] = {};
  const bool numeric = KeyType != 'C';
  xbPut32(h, Root);
  xbPut32(h + 4, checked_cast<uint32_t>(file_.FileEndRead()));
  xbPut16(h + 12, file_.OpenRefused() ? 0 : static_cast<uint32_t>(numeric ? 8 : HeaderKeyLength));
  xbPut16(h + 14, static_cast<uint32_t>(MaxKeys));
  xbPut16(h + 16, numeric ? 1 : 0);
  xbPut16(h + 18, static_cast<uint32_t>(ItemSize));
  h[23] = Unique ? 1 : 0;
  std::memcpy(h + 24, KeyExpr.data(), std::min<size_t>(KeyExpr.size(), 487));
  file_.Write(0, h, sizeof h);
}

// ---------------------------------------------------------------- file

void XBobjNDXFile::LoadTags() {
  if (tags_.empty()) {
    auto t = std::make_unique<XBobjNDXTag>(*this);
    t->Name = platform::UpperCase(xbFileStem(fileName_));
    tags_.push_back(std::move(t));
  }
  tag().Reload();
}

std::unique_ptr<XBobjNDXFile> XBobjNDXFile::OpenFile(XBO_dBHandler& table, const std::string& fileName) {
  auto f = std::make_unique<XBobjNDXFile>(table, fileName);
  f->openDisk(false);
  f->loadLocked();
  return f;
}

std::unique_ptr<XBobjNDXFile> XBobjNDXFile::CreateFile(XBO_dBHandler& table, const std::string& fileName,
                                                       const std::string& keyExpr, bool unique) {
  auto f = std::make_unique<XBobjNDXFile>(table, xbDefaultExt(fileName, ".ndx"));
  auto t = std::make_unique<XBobjNDXTag>(*f);
  t->Name = platform::UpperCase(xbFileStem(f->fileName_));
  t->KeyExpr = keyExpr;
  t->Unique = unique;
  if (keyExpr.size() > 487) xbRaise(msg::IndexKeyExpression, {keyExpr, f->fileName_});
  const int len = t->PrepareType(table).length;
  if (t->KeyType == 'C') {
    if (len < 1 || len > 100) xbRaise(msg::IndexKeyTooLong, {int32_t{len}, f->fileName_});
    t->KeyLength = len;
    t->HeaderKeyLength = len;
    t->ItemSize = (len + 8 + 3) / 4 * 4;
  } else {
    // Numeric keys count as 12 bytes for the item size, date keys as 8; both are stored as doubles.
    t->KeyLength = 8;
    t->HeaderKeyLength = 8;
    t->ItemSize = t->KeyType == 'N' ? 20 : 16;
  }
  t->MaxKeys = 504 / t->ItemSize;
  XBobjNDXTag& tg = *t;
  f->tags_.push_back(std::move(t));
  f->openDisk(true);
  XBobjNDXFile& file = *f;
  f->createLocked([&] {
    uint8_t zero[BlockSize] = {};
    file.Write(0, zero, sizeof zero);
    file.nextFree_ = 1;
    tg.Build();
  });
  return f;
}

uint32_t XBobjNDXFile::PageAllocate() {
  if (nextFree_ < 0) nextFree_ = FileEndRead();
  if (nextFree_ < 1) nextFree_ = 1;
  if (nextFree_ >= 0x7FFFFF) throw ERangeError();
  return static_cast<uint32_t>(nextFree_++);
}

void XBobjNDXFile::Reindex() {
  rebuild([&] {
    nextFree_ = truncate(BlockSize) ? 1 : FileEndRead();
    tag().Build();
    Commit();
  });
}

void XBobjNDXFile::WriteOpenMark(bool refused) {
  // The key length: no open takes a file whose key length is 0.
  uint8_t b[2];
  xbPut16(b, refused ? 0 : static_cast<uint32_t>(tag().KeyType != 'C' ? 8 : tag().HeaderKeyLength));
  Write(12, b, sizeof b);
}

}  // namespace xb

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

namespace {
std::string cString(const uint8_t* p, size_t max) {
  size_t n = 0;
  while (n < max && p[n] != 0) ++n;
  return std::string(reinterpret_cast<const char*>(p), n);
}

char evaluatedType(XBO_dBHandler& table, XBobjIndexTag& t, int& length) {
  t.Prepare(table);
  TxbKeyValue v = t.ProbeKey(table);
  length = v.length;
  return v.type == 'N' ? 'N' : (v.type == 'D' ? 'D' : 'C');
}
}  // namespace

std::unique_ptr<XBobjNDXFile> XBobjNDXFile::OpenFile(XBO_dBHandler& table, const std::string& fileName) {
  auto f = std::make_unique<XBobjNDXFile>(table, fileName);
  f->openDisk(false);
  f->Load();
  return f;
}

std::unique_ptr<XBobjNDXFile> XBobjNDXFile::CreateFile(XBO_dBHandler& table, const std::string& fileName,
                                                       const std::string& keyExpr, bool unique) {
  auto f = std::make_unique<XBobjNDXFile>(table, xbDefaultExt(fileName, ".ndx"));
  auto t = std::make_unique<XBobjNDXTag>(*f);
  t->Name = platform::UpperCase(xbFileStem(f->fileName_));
  t->KeyExpr = keyExpr;
  t->Unique = unique;
  t->RecordOrder = false;
  if (keyExpr.size() > 487) xbRaise(msg::IndexKeyExpression, {keyExpr, f->fileName_});
  int len = 0;
  t->KeyType = evaluatedType(table, *t, len);
  if (!t->KeyType) xbRaise(msg::IndexKeyExpression, {keyExpr, f->fileName_});
  t->Prepare(table);
  if (t->KeyType == 'C') {
    if (len < 1 || len > 100) xbRaise(msg::IndexKeyTooLong, {int32_t{len}, f->fileName_});
    t->KeyLength = len;
    f->headerKeyLength_ = len;
    f->itemSize_ = (len + 8 + 3) / 4 * 4;
  } else {
    t->KeyLength = 8;
    f->headerKeyLength_ = 8;
    f->itemSize_ = t->KeyType == 'N' ? 20 : 16;
  }
  f->maxKeys_ = 504 / f->itemSize_;
  f->tags_.push_back(std::move(t));
  f->openDisk(true);
  f->tag().Build(table);
  f->Save();
  return f;
}

void XBobjNDXFile::Load() {
  tags_.clear();
  uint8_t h[BlockSize];
  int64_t size = disk_->FileSize();
  if (size < 2 * BlockSize) corrupt();
  readExact(0, h, BlockSize);
  uint32_t root = xbGet32(h);
  int kl = xbGet16(h + 12), max = xbGet16(h + 14), kind = xbGet16(h + 16), item = xbGet16(h + 18);
  if (kl < 1 || kl > 100 || item < kl + 8 || max < 2 || 4 + max * item > BlockSize || kind > 1) corrupt();
  if (root < 1 || static_cast<int64_t>(root) > size / BlockSize - 1) badPage(int64_t{root} * BlockSize);
  auto t = std::make_unique<XBobjNDXTag>(*this);
  t->Name = platform::UpperCase(xbFileStem(fileName_));
  t->KeyExpr = cString(h + 24, 488);
  t->Unique = h[23] & 1;
  t->RecordOrder = false;
  int len = 0;
  t->KeyType = evaluatedType(table_, *t, len);
  if (!t->KeyType) xbRaise(msg::IndexKeyExpression, {t->KeyExpr, fileName_});
  if ((t->KeyType != 'C') != (kind == 1) || (kind == 1 && kl != 8)) corrupt();
  t->KeyLength = kl;
  t->Prepare(table_);
  tags_.push_back(std::move(t));
  itemSize_ = item;
  maxKeys_ = max;
  headerKeyLength_ = kl;
  const bool numeric = kind == 1;

  std::vector<TxbIndexEntry> out;
  Walk w;
  std::function<void(int64_t, int)> walk = [&](int64_t block, int depth) {
    if (depth > 32) xbRaise(msg::IndexTooDeep, {fileName_, int32_t{32}});
    int64_t pos = block * BlockSize;
    checkPage(w, pos, BlockSize, size);
    uint8_t b[BlockSize];
    readExact(pos, b, BlockSize);
    int k = xbGet16(b);
    bool interior = k >= 0 && 4 + item <= BlockSize && xbGet32(b + 4) != 0;
    if (k > max || 4 + (k + (interior ? 1 : 0)) * item > BlockSize) badPage(pos);
    for (int i = 0; i <= k; ++i) {
      const uint8_t* s = b + 4 + i * item;
      if (interior) {
        uint32_t child = xbGet32(s);
        if (child == 0) badPage(pos);
        walk(child, depth + 1);
      } else if (i < k) {
        if (xbGet32(s) != 0) badPage(pos);
        int32_t rec = static_cast<int32_t>(xbGet32(s + 4));
        std::string key;
        if (numeric) {
          double d;
          std::memcpy(&d, s + 8, 8);
          key = xbSortableDouble(d);
        } else {
          key.assign(reinterpret_cast<const char*>(s + 8), static_cast<size_t>(kl));
        }
        out.push_back({std::move(key), rec});
      }
    }
  };
  walk(root, 0);
  tag().SetEntries(std::move(out));
  Dirty = false;
  noteFileState();
}

void XBobjNDXFile::Save() {
  XBobjIndexTag& t = tag();
  const int item = itemSize_, kl = t.KeyLength;
  const bool numeric = t.KeyType != 'C';
  std::vector<uint8_t> image(BlockSize, 0);
  auto writePage = [&](const std::vector<TxbBuildItem>& items, uint32_t tail, bool leaf) -> uint32_t {
    uint32_t block = checked_cast<uint32_t>(image.size() / BlockSize);
    image.resize(image.size() + BlockSize, 0);
    uint8_t* b = image.data() + static_cast<size_t>(block) * BlockSize;
    if (4 + (items.size() + (leaf ? 0 : 1)) * static_cast<size_t>(item) > BlockSize) throw ERangeError();
    xbPut32(b, static_cast<uint32_t>(items.size()));
    for (size_t i = 0; i < items.size(); ++i) {
      uint8_t* s = b + 4 + i * static_cast<size_t>(item);
      xbPut32(s, items[i].child);
      xbPut32(s + 4, leaf ? static_cast<uint32_t>(items[i].recNo) : 0);
      if (numeric) {
        double d = xbDoubleFromSortable(items[i].key);
        std::memcpy(s + 8, &d, 8);
      } else {
        std::memcpy(s + 8, items[i].key.data(), static_cast<size_t>(kl));
      }
    }
    if (!leaf) xbPut32(b + 4 + items.size() * static_cast<size_t>(item), tail);
    return block;
  };
  size_t maxInterior = static_cast<size_t>((BlockSize - 4) / item - 1);
  uint32_t root = xbBuildTree(t.Entries(), static_cast<size_t>(maxKeys_), std::min(maxInterior, size_t(maxKeys_)),
                              false, writePage);
  uint8_t* h = image.data();
  xbPut32(h, root);
  xbPut32(h + 4, checked_cast<uint32_t>(image.size() / BlockSize));
  xbPut16(h + 12, static_cast<uint32_t>(headerKeyLength_));
  xbPut16(h + 14, static_cast<uint32_t>(maxKeys_));
  xbPut16(h + 16, numeric ? 1 : 0);
  xbPut16(h + 18, static_cast<uint32_t>(item));
  h[23] = t.Unique ? 1 : 0;
  std::memcpy(h + 24, t.KeyExpr.data(), std::min<size_t>(t.KeyExpr.size(), 487));
  writeAll(image);
}

}  // namespace xb

#include "xbase/xb_cdx.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <functional>

#include "platform/strutil.h"
#include "xbase/checked.h"
#include "xbase/xb_cnst.h"
#include "xbase/xb_glbl.h"

namespace xb {

namespace {
constexpr const char* TagNameBad = "Tag name %s is not possible in file %s";
constexpr const char* GeneralText = "GENERAL";

std::string cString(const uint8_t* p, size_t max) {
  size_t n = 0;
  while (n < max && p[n] != 0) ++n;
  return std::string(reinterpret_cast<const char*>(p), n);
}

// GENERAL weights by code page 1252 code.
constexpr uint8_t GenPrimary[256] = {
    16, 16, 16, 16, 16, 16, 16, 16, 16, 17, 16, 16, 16, 16, 16, 16,
    16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16,
    17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32,
    86, 87, 88, 89, 90, 91, 92, 93, 94, 95, 33, 34, 35, 36, 37, 38,
    39, 96, 97, 98, 100, 102, 103, 104, 105, 106, 107, 108, 109, 111, 112, 114,
    115, 116, 117, 118, 119, 120, 122, 123, 124, 125, 126, 40, 41, 42, 43, 44,
    45, 96, 97, 98, 100, 102, 103, 104, 105, 106, 107, 108, 109, 111, 112, 114,
    115, 116, 117, 118, 119, 120, 122, 123, 124, 125, 126, 46, 47, 48, 49, 16,
    16, 16, 24, 50, 19, 51, 52, 53, 54, 55, 118, 24, 0, 16, 16, 16,
    16, 24, 24, 19, 19, 56, 30, 30, 57, 58, 118, 24, 0, 16, 16, 125,
    32, 59, 60, 61, 62, 63, 64, 65, 66, 67, 68, 19, 69, 30, 70, 71,
    72, 73, 88, 89, 74, 75, 76, 77, 78, 87, 79, 19, 80, 81, 82, 83,
    96, 96, 96, 96, 96, 96, 6, 98, 102, 102, 102, 102, 106, 106, 106, 106,
    101, 112, 114, 114, 114, 114, 114, 84, 129, 120, 120, 120, 120, 125, 18, 12,
    96, 96, 96, 96, 96, 96, 6, 98, 102, 102, 102, 102, 106, 106, 106, 106,
    101, 112, 114, 114, 114, 114, 114, 85, 129, 120, 120, 120, 120, 125, 18, 125,
};
constexpr uint8_t GenSecondary[256] = {
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 32, 0, 32, 0, 32, 0, 0, 0, 32, 0, 0, 0, 0, 32, 32,
    0, 0, 0, 32, 0, 32, 0, 0, 0, 32, 0, 0, 0, 0, 0, 0,
    0, 32, 0, 32, 0, 32, 0, 0, 0, 32, 0, 0, 0, 0, 32, 32,
    0, 0, 0, 32, 0, 32, 0, 0, 0, 32, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 40, 0, 128, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 40, 0, 128, 0, 0, 36,
    33, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    34, 33, 35, 37, 36, 38, 128, 39, 34, 33, 35, 36, 34, 33, 35, 36,
    0, 37, 34, 33, 35, 37, 36, 0, 0, 34, 33, 35, 36, 33, 128, 128,
    34, 33, 35, 37, 36, 38, 128, 39, 34, 33, 35, 36, 34, 33, 35, 36,
    0, 37, 34, 33, 35, 37, 36, 0, 0, 34, 33, 35, 36, 33, 128, 36,
};
// Expansions by primary weight: flag, (primary, secondary) twice.
struct GenExpansion {
  uint8_t flag, p1, s1, p2, s2;
};
GenExpansion genExpansion(uint8_t primary) {
  switch (primary) {
    case 0: return {2, 114, 32, 102, 32};
    case 6: return {2, 96, 32, 102, 32};
    case 12: return {2, 118, 32, 118, 32};
    case 18: return {2, 119, 0, 105, 0};
    default: return {0, 0, 0, 0, 0};
  }
}
}  // namespace

std::string xbGeneralKey(std::string_view text) {
  std::string first, second;
  for (unsigned char c : text) {
    uint8_t p = GenPrimary[c], s = GenSecondary[c];
    GenExpansion x = genExpansion(p);
    if ((p == 0 || p == 6 || p == 12 || p == 18) && x.flag) {
      first.push_back(static_cast<char>(x.p1));
      first.push_back(static_cast<char>(x.p2));
    } else {
      first.push_back(static_cast<char>(p));
    }
    if (s == 128 && x.flag) {
      if (x.s1) second.push_back(static_cast<char>(x.s1 | 0xF0));
      if (x.s2) second.push_back(static_cast<char>(x.s2 | 0xF0));
    } else if (s != 0) {
      second.push_back(static_cast<char>(s | 0xF0));
    }
  }
  while (!second.empty() && static_cast<uint8_t>(second.back()) == 0xF0) second.pop_back();
  return first + second;
}

// ---------------------------------------------------------------- keys

std::string XBobjCDXTag::MakeKey(const TxbKeyValue& v) const {
  if (KeyType == 'N') return xbSortableDouble(v.number);
  if (KeyType == 'D') return xbSortableDouble(static_cast<double>(v.julian));
  std::string k = v.text;
  while (!k.empty() && k.back() == ' ') k.pop_back();
  if (General && !k.empty()) {
    k = xbGeneralKey(xbOemToAnsiStr(k));
    if (k.size() > static_cast<size_t>(KeyLength)) k.resize(static_cast<size_t>(KeyLength));
  }
  k.resize(static_cast<size_t>(KeyLength), General ? '\0' : ' ');
  return k;
}

std::string XBobjCDXTag::SeekForm(std::string_view text) const {
  if (KeyType == 'C' && General) {
    std::string k = xbGeneralKey(text);
    // A prefix seek compares the primary weights only.
    size_t n = 0;
    while (n < k.size() && static_cast<uint8_t>(k[n]) < 0xF0) ++n;
    return k.substr(0, std::min(n, static_cast<size_t>(KeyLength)));
  }
  return XBobjIndexTag::SeekForm(text);
}

std::string XBobjCDXTag::DisplayKey(const std::string& key) const {
  if (KeyType == 'D') {
    double d = xbDoubleFromSortable(key);
    if (d < 1) return std::string();
  }
  if (KeyType == 'C' && General) {
    std::string t = key;
    while (!t.empty() && t.back() == '\0') t.pop_back();
    return t;
  }
  return XBobjIndexTag::DisplayKey(key);
}

std::string XBobjCDXTag::CurrentKey() const {
  const TxbIndexEntry* e = current();
  if (!e || KeyType != 'C' || !General) return XBobjIndexTag::CurrentKey();
  if (lastSeekKey_.empty() || e->key.compare(0, lastSeekKey_.size(), lastSeekKey_) != 0) return DisplayKey(e->key);
  size_t primary = 0;
  while (primary < e->key.size() && static_cast<uint8_t>(e->key[primary]) >= 0x10 &&
         static_cast<uint8_t>(e->key[primary]) < 0xF0)
    ++primary;
  return primary == lastSeekKey_.size() ? lastSeekText_ : lastSeekText_ + '\x7F';
}

// ---------------------------------------------------------------- file

std::unique_ptr<XBobjCDXFile> XBobjCDXFile::OpenFile(XBO_dBHandler& table, const std::string& fileName) {
  auto f = std::make_unique<XBobjCDXFile>(table, fileName);
  f->openDisk(false);
  f->Load();
  return f;
}

std::unique_ptr<XBobjCDXFile> XBobjCDXFile::CreateFile(XBO_dBHandler& table, const std::string& fileName) {
  auto f = std::make_unique<XBobjCDXFile>(table, xbDefaultExt(fileName, ".cdx"));
  f->openDisk(true);
  f->Save();
  return f;
}

XBobjCDXFile::Header XBobjCDXFile::readHeader(int64_t pos, int64_t fileSize) {
  if (pos < 0 || pos % NodeSize != 0 || pos > fileSize - 2 * NodeSize) badPage(pos);
  uint8_t b[2 * NodeSize];
  readExact(pos, b, sizeof b);
  Header h;
  h.root = xbGet32(b);
  h.counter = xbGet32(b + 8);
  h.keyLength = xbGet16(b + 12);
  h.options = b[14];
  h.signature = b[15];
  h.general = cString(b + 494, 8) == GeneralText;
  h.descending = xbGet16(b + 502) != 0;
  h.keyExpr = cString(b + 512, NodeSize);
  if (h.options & 0x08) {
    size_t at = 512 + h.keyExpr.size() + 1;
    if (at < sizeof b) h.forExpr = cString(b + at, sizeof b - at);
  }
  if (h.root % NodeSize != 0 || h.root == 0 || static_cast<int64_t>(h.root) > fileSize - NodeSize) badPage(pos);
  if (h.keyLength < 1 || h.keyLength > 240) corrupt();
  if (h.options < 128 && platform::Trim(h.keyExpr).empty()) corrupt();
  return h;
}

std::vector<TxbIndexEntry> XBobjCDXFile::readTree(uint32_t root, int kl, char fill, int64_t fileSize, Walk& w) {
  std::vector<TxbIndexEntry> out;
  const size_t klen = static_cast<size_t>(kl);
  std::function<void(int64_t, int)> walk = [&](int64_t pos, int depth) {
    if (depth > 32) xbRaise(msg::IndexTooDeep, {fileName_, int32_t{32}});
    if (pos % NodeSize != 0) badPage(pos);
    checkPage(w, pos, NodeSize, fileSize);
    uint8_t n[NodeSize];
    readExact(pos, n, NodeSize);
    uint16_t attr = xbGet16(n);
    int count = xbGet16(n + 2);
    if (attr > 3) badPage(pos);
    if (attr & 2) {
      uint32_t recMask = xbGet32(n + 14);
      uint8_t dupMask = n[18], trailMask = n[19];
      int recBits = n[20], dupBits = n[21], trailBits = n[22], bpe = n[23];
      if (bpe < 2 || bpe > 8 || dupBits + trailBits > 16 || recBits + dupBits + trailBits > 8 * bpe ||
          static_cast<size_t>(count) * static_cast<size_t>(bpe) > 488)
        badPage(pos);
      std::string prev(klen, fill);
      size_t keyEnd = NodeSize, front = 24 + static_cast<size_t>(count) * static_cast<size_t>(bpe);
      for (int i = 0; i < count; ++i) {
        const uint8_t* e = n + 24 + i * bpe;
        uint64_t v = 0;
        for (int j = bpe - 1; j >= 0; --j) v = (v << 8) | e[j];
        uint32_t rec = static_cast<uint32_t>(v) & recMask;
        uint32_t wv = xbGet16(e + bpe - 2);
        size_t trail = (wv >> (16 - trailBits)) & trailMask;
        size_t dup = (wv >> (16 - trailBits - dupBits)) & dupMask;
        if (dup + trail > klen || (i == 0 && dup > 0)) badPage(pos);
        size_t stored = klen - dup - trail;
        if (stored > keyEnd - front) badPage(pos);
        keyEnd -= stored;
        std::string key = prev.substr(0, dup);
        key.append(reinterpret_cast<const char*>(n + keyEnd), stored);
        key.append(trail, fill);
        prev = key;
        out.push_back({std::move(key), static_cast<int32_t>(rec)});
      }
    } else {
      const size_t item = klen + 8;
      if (count < 1 || static_cast<size_t>(count) * item > 500) badPage(pos);
      for (int i = 0; i < count; ++i) {
        const uint8_t* e = n + 12 + static_cast<size_t>(i) * item;
        walk(xbGet32BE(e + klen + 4), depth + 1);
      }
    }
  };
  walk(root, 0);
  return out;
}

void XBobjCDXFile::Load() {
  tags_.clear();
  int64_t size = disk_->FileSize();
  if (size < 3 * NodeSize) corrupt();
  Walk w;
  Header dir = readHeader(0, size);
  if (dir.options < 128 || dir.keyLength != MaxTagName) corrupt();
  w.seen.insert(0);
  w.seen.insert(NodeSize);
  counter_ = dir.counter;
  std::vector<TxbIndexEntry> names = readTree(dir.root, dir.keyLength, ' ', size, w);
  for (const TxbIndexEntry& e : names) {
    Header h = readHeader(e.recNo, size);
    if (h.options >= 128) corrupt();
    if (!w.seen.insert(e.recNo).second || !w.seen.insert(int64_t{e.recNo} + NodeSize).second) badPage(e.recNo);
    auto t = std::make_unique<XBobjCDXTag>(*this);
    t->Name = platform::TrimRight(xbOemToAnsiStr(e.key));
    t->KeyExpr = h.keyExpr;
    t->ForExpr = h.forExpr;
    t->Unique = h.options & 1;
    t->Descending = h.descending;
    t->General = h.general;
    t->StoredCount = h.counter;
    t->HeaderPos = e.recNo;
    t->KeyLength = h.keyLength;
    t->Prepare(table_);
    TxbKeyValue v = t->ProbeKey(table_);
    t->KeyType = v.type == 'N' ? 'N' : (v.type == 'D' ? 'D' : 'C');
    if (t->KeyType != 'C' && h.keyLength != 8) corrupt();
    char fill = t->KeyType == 'C' ? (t->General ? '\0' : ' ') : '\0';
    std::vector<TxbIndexEntry> keys = readTree(h.root, h.keyLength, fill, size, w);
    if (t->Descending) std::reverse(keys.begin(), keys.end());
    t->SetEntries(std::move(keys));
    tags_.push_back(std::move(t));
  }
  Dirty = false;
  noteFileState();
}

void XBobjCDXFile::writeHeader(std::vector<uint8_t>& image, uint32_t pos, const Header& h) {
  uint8_t* b = image.data() + pos;
  std::memset(b, 0, 2 * NodeSize);
  xbPut32(b, h.root);
  xbPut32(b + 8, h.counter);
  xbPut16(b + 12, static_cast<uint32_t>(h.keyLength));
  b[14] = h.options;
  b[15] = h.general ? 2 : 1;
  if (h.general) std::memcpy(b + 494, GeneralText, 7);
  xbPut16(b + 502, h.descending ? 1 : 0);
  xbPut16(b + 504, static_cast<uint32_t>(h.keyExpr.size() + 1));
  xbPut16(b + 506, static_cast<uint32_t>(h.forExpr.size() + 1));
  xbPut16(b + 510, static_cast<uint32_t>(h.keyExpr.empty() ? 1 : h.keyExpr.size() + 1));
  if (h.keyExpr.size() + h.forExpr.size() + 2 > NodeSize) xbRaise(msg::IndexKeyExpression, {h.keyExpr, fileName_});
  std::memcpy(b + 512, h.keyExpr.data(), h.keyExpr.size());
  std::memcpy(b + 512 + h.keyExpr.size() + 1, h.forExpr.data(), h.forExpr.size());
}

uint32_t XBobjCDXFile::writeTree(std::vector<uint8_t>& image, const std::vector<TxbIndexEntry>& entries, int kl,
                                 char fill, uint32_t maxRec) {
  const size_t klen = static_cast<size_t>(kl);
  const int b = std::bit_width(static_cast<unsigned>(kl));
  int bpe = 3, recBits = 24 - 2 * b;
  while (recBits < 32 && maxRec > ((uint64_t{1} << recBits) - 1)) {
    ++bpe;
    recBits += 8;
  }
  const uint32_t recMask = recBits >= 32 ? 0xFFFFFFFFu : static_cast<uint32_t>((uint64_t{1} << recBits) - 1);
  const uint32_t cMask = (1u << b) - 1;
  struct Ref {
    uint32_t offset;
    const std::string* key;
    int32_t rec;
  };
  auto trailOf = [&](const std::string& k) {
    size_t t = 0;
    while (t < klen && k[klen - 1 - t] == fill) ++t;
    return t;
  };
  // Leaves.
  std::vector<std::vector<size_t>> leaves;
  {
    std::vector<size_t> cur;
    size_t used = 0;
    for (size_t i = 0; i < entries.size(); ++i) {
      size_t trail = trailOf(entries[i].key);
      size_t dup = 0;
      if (!cur.empty()) {
        const std::string& p = entries[cur.back()].key;
        while (dup < klen - trail && p[dup] == entries[i].key[dup]) ++dup;
      }
      size_t need = static_cast<size_t>(bpe) + klen - dup - trail;
      if (!cur.empty() && used + need > 488) {
        leaves.push_back(std::move(cur));
        cur.clear();
        used = 0;
        need = static_cast<size_t>(bpe) + klen - trail;
      }
      cur.push_back(i);
      used += need;
    }
    leaves.push_back(std::move(cur));
  }
  auto place = [&](size_t count) {
    uint32_t first = checked_cast<uint32_t>(image.size());
    image.resize(image.size() + count * NodeSize, 0);
    return first;
  };
  std::vector<Ref> level;
  {
    uint32_t first = place(leaves.size());
    for (size_t L = 0; L < leaves.size(); ++L) {
      uint8_t* n = image.data() + first + L * NodeSize;
      uint32_t off = first + static_cast<uint32_t>(L * NodeSize);
      xbPut16(n, leaves.size() == 1 ? 3 : 2);
      xbPut16(n + 2, static_cast<uint32_t>(leaves[L].size()));
      xbPut32(n + 4, L == 0 ? 0xFFFFFFFFu : off - NodeSize);
      xbPut32(n + 8, L + 1 == leaves.size() ? 0xFFFFFFFFu : off + NodeSize);
      xbPut32(n + 14, recMask);
      n[18] = static_cast<uint8_t>(cMask);
      n[19] = static_cast<uint8_t>(cMask);
      n[20] = static_cast<uint8_t>(recBits);
      n[21] = static_cast<uint8_t>(b);
      n[22] = static_cast<uint8_t>(b);
      n[23] = static_cast<uint8_t>(bpe);
      size_t keyEnd = NodeSize, front = 24;
      const std::string* prev = nullptr;
      for (size_t j = 0; j < leaves[L].size(); ++j) {
        const TxbIndexEntry& e = entries[leaves[L][j]];
        if (static_cast<uint32_t>(e.recNo) > recMask) throw ERangeError();
        size_t trail = trailOf(e.key), dup = 0;
        if (prev)
          while (dup < klen - trail && (*prev)[dup] == e.key[dup]) ++dup;
        size_t stored = klen - dup - trail;
        if (stored + static_cast<size_t>(bpe) > keyEnd - front) throw ERangeError();
        keyEnd -= stored;
        std::memcpy(n + keyEnd, e.key.data() + dup, stored);
        const int bits = 8 * bpe;
        uint64_t v = static_cast<uint64_t>(static_cast<uint32_t>(e.recNo)) |
                     (static_cast<uint64_t>(dup) << (bits - 2 * b)) | (static_cast<uint64_t>(trail) << (bits - b));
        for (int k = 0; k < bpe; ++k) n[front + static_cast<size_t>(k)] = static_cast<uint8_t>(v >> (8 * k));
        front += static_cast<size_t>(bpe);
        prev = &e.key;
      }
      xbPut16(n + 12, static_cast<uint32_t>(keyEnd - front));
      if (!leaves[L].empty()) {
        const TxbIndexEntry& last = entries[leaves[L].back()];
        level.push_back({off, &last.key, last.recNo});
      } else {
        level.push_back({off, nullptr, 0});
      }
    }
  }
  // Interior levels.
  const size_t maxInt = 500 / (klen + 8);
  static const std::string none;
  for (int depth = 0; level.size() > 1; ++depth) {
    if (depth > 32) throw ERangeError();
    size_t nodes = (level.size() + maxInt - 1) / maxInt, base = level.size() / nodes, extra = level.size() % nodes;
    uint32_t first = place(nodes);
    std::vector<Ref> up;
    size_t at = 0;
    for (size_t j = 0; j < nodes; ++j) {
      size_t c = base + (j < extra ? 1 : 0);
      uint32_t off = first + static_cast<uint32_t>(j * NodeSize);
      uint8_t* n = image.data() + off;
      xbPut16(n, nodes == 1 ? 1 : 0);
      xbPut16(n + 2, static_cast<uint32_t>(c));
      xbPut32(n + 4, j == 0 ? 0xFFFFFFFFu : off - NodeSize);
      xbPut32(n + 8, j + 1 == nodes ? 0xFFFFFFFFu : off + NodeSize);
      for (size_t i = 0; i < c; ++i) {
        const Ref& r = level[at + i];
        uint8_t* e = n + 12 + i * (klen + 8);
        const std::string& k = r.key ? *r.key : none;
        std::memset(e, fill, klen);
        std::memcpy(e, k.data(), std::min(k.size(), klen));
        xbPut32BE(e + klen, static_cast<uint32_t>(r.rec));
        xbPut32BE(e + klen + 4, r.offset);
      }
      up.push_back({off, level[at + c - 1].key, level[at + c - 1].rec});
      at += c;
    }
    level = std::move(up);
  }
  return level.front().offset;
}

void XBobjCDXFile::Save() {
  std::vector<uint8_t> image(2 * NodeSize, 0);
  uint32_t maxRec = std::max<uint32_t>(table_.RecordCount, 1);
  std::vector<XBobjCDXTag*> order;
  for (auto& t : tags_) order.push_back(static_cast<XBobjCDXTag*>(t.get()));
  std::sort(order.begin(), order.end(), [](XBobjCDXTag* a, XBobjCDXTag* b) { return a->Name < b->Name; });
  std::vector<TxbIndexEntry> dirKeys;
  for (XBobjCDXTag* t : order) {
    uint32_t hp = checked_cast<uint32_t>(image.size());
    image.resize(image.size() + 2 * NodeSize, 0);
    t->HeaderPos = hp;
    Header h;
    h.keyLength = t->KeyLength;
    h.options = static_cast<uint8_t>(0x60 | (t->Unique ? 1 : 0) | (t->ForExpr.empty() ? 0 : 8));
    h.general = t->General;
    h.descending = t->Descending;
    h.keyExpr = t->KeyExpr;
    h.forExpr = t->ForExpr;
    h.counter = t->StoredCount;
    uint32_t mr = maxRec;
    for (const TxbIndexEntry& e : t->Entries()) mr = std::max(mr, static_cast<uint32_t>(e.recNo));
    char fill = t->KeyType == 'C' ? (t->General ? '\0' : ' ') : '\0';
    if (t->Descending) {
      std::vector<TxbIndexEntry> asc(t->Entries().rbegin(), t->Entries().rend());
      h.root = writeTree(image, asc, t->KeyLength, fill, mr);
    } else {
      h.root = writeTree(image, t->Entries(), t->KeyLength, fill, mr);
    }
    writeHeader(image, hp, h);
    std::string name = xbAnsiToOemStr(platform::UpperCase(t->Name));
    name.resize(MaxTagName, ' ');
    dirKeys.push_back({name, static_cast<int32_t>(hp)});
  }
  std::sort(dirKeys.begin(), dirKeys.end(), [](const TxbIndexEntry& a, const TxbIndexEntry& b) { return a.key < b.key; });
  Header d;
  d.keyLength = MaxTagName;
  d.options = 0xE0;
  d.counter = ++counter_;
  uint32_t bound = checked_cast<uint32_t>(image.size() + NodeSize * (order.size() + 2));
  d.root = writeTree(image, dirKeys, MaxTagName, ' ', bound);
  writeHeader(image, 0, d);
  writeAll(image);
}

bool XBobjCDXFile::ChangedExternally() {
  if (!disk_->Shared) return false;
  uint8_t b[12];
  if (disk_->Read(0, b, 12) != 12) corrupt();
  return xbGet32(b + 8) != counter_;
}

XBobjIndexTag* XBobjCDXFile::TagCreate(const std::string& name, const std::string& keyExpr, bool unique,
                                       const std::string& forExpr, bool descending, bool general) {
  std::string n = platform::UpperCase(platform::Trim(name));
  if (n.empty() || n.size() > MaxTagName || n.find_first_of(" \t") != std::string::npos)
    xbRaise(TagNameBad, {name, fileName_});
  auto t = std::make_unique<XBobjCDXTag>(*this);
  t->Name = n;
  t->KeyExpr = keyExpr;
  t->ForExpr = forExpr;
  t->Unique = unique;
  t->Descending = descending;
  t->Prepare(table_);
  TxbKeyValue v = t->ProbeKey(table_);
  t->KeyType = v.type == 'N' ? 'N' : (v.type == 'D' ? 'D' : 'C');
  t->General = general && t->KeyType == 'C';
  t->KeyLength = t->KeyType == 'C' ? (t->General ? 2 * v.length : v.length) : 8;
  if (t->KeyLength < 1 || t->KeyLength > 240) xbRaise(msg::IndexKeyTooLong, {int32_t{t->KeyLength}, fileName_});
  t->Build(table_);
  XBobjIndexTag* raw = t.get();
  for (auto it = tags_.begin(); it != tags_.end(); ++it)
    if ((*it)->Name == n) {
      tags_.erase(it);
      break;
    }
  tags_.push_back(std::move(t));
  Save();
  return raw;
}

}  // namespace xb

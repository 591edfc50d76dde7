#include "xbase/xb_cdx.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <set>
#include <vector>

#include "platform/strutil.h"
#include "xbase/checked.h"
#include "xbase/xb_cnst.h"
#include "xbase/xb_glbl.h"

namespace xb {

namespace {
constexpr const char* TagNameBad = "Tag name %s is not possible in file %s";
constexpr const char* GeneralText = "GENERAL";

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
// A stored byte below 16 is the low half of a secondary weight, except the primary
// weight of the sharp s (12), the one primary weight below 16 that stays in a key.
bool generalLowBits(uint8_t b) { return b < 0x10 && b != GenPrimary[0xDF]; }
}  // namespace

std::string xbGeneralKey(std::string_view text) {
  std::string first, second;
  for (unsigned char c : text) {
    uint8_t p = GenPrimary[c], s = GenSecondary[c];
    GenExpansion x = genExpansion(p);
    // The expanded primaries are those of 0, 6, 18 and 24 (24's entry is not flagged):
    // the sharp s keeps its single weight 12.
    if ((p == 0 || p == 6 || p == 18 || p == 24) && x.flag) {
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

void xbGeneralToStored(uint8_t* stored, size_t length) {
  for (size_t n = length; n > 0 && stored[n - 1] >= 0xF0; --n)
    stored[n - 1] &= 0x0F;
}

void xbGeneralFromStored(char* stored, size_t length) {
  for (size_t n = length; n > 0 && generalLowBits(static_cast<uint8_t>(stored[n - 1])); --n)
    stored[n - 1] = static_cast<char>(stored[n - 1] | 0xF0);
}

// ---------------------------------------------------------------- keys

std::string XBobjCDXTag::MakeKey(const TxbKeyValue& v) const {
  if (KeyType == 'N') return xbSortableDouble(v.number);
  if (KeyType == 'D') return xbSortableDouble(static_cast<double>(v.julian));
  std::string k = v.text;
  while (!k.empty() && k.back() == ' ') k.pop_back();
  if (General && !k.empty()) {
    // A table without OEM translation holds its texts as they are.
    k = xbGeneralKey(file_.Translate() ? xbOemToAnsiStr(k) : k);
  }
  k.resize(static_cast<size_t>(KeyLength), fill());
  return k;
}

std::string XBobjCDXTag::SeekForm(std::string_view text) const {
  if (KeyType == 'C' && General) {
    // The key of the text as a record gives it, without its fill: a prefix.
    std::string_view t = text;
    while (!t.empty() && t.back() == ' ') t.remove_suffix(1);
    std::string k = xbGeneralKey(t);
    if (k.size() > static_cast<size_t>(KeyLength)) k.resize(static_cast<size_t>(KeyLength));
    return k;
  }
  return XBobjIndexTag::SeekForm(text);
}

std::string XBobjCDXTag::DisplayKey(const std::string& key) const {
  if (KeyType == 'D') {
    double d = xbDoubleFromSortable(key);
    if (d < 1) return std::string();
  }
  if (KeyType == 'C' && General) {
    // The weights as they stand: they do not give the text back.
    std::string t = key;
    while (!t.empty() && t.back() == ' ') t.pop_back();
    return t;
  }
  return XBobjIndexTag::DisplayKey(key);
}

std::string XBobjCDXTag::CurrentKey() const {
  if (!hasCurrent() || KeyType != 'C' || !General) return XBobjIndexTag::CurrentKey();
  const std::string& key = currentKeyBytes();
  const std::string& seek = lastSeekKey_;
  if (key.compare(0, seek.size(), seek) != 0) return DisplayKey(key);
  // Only fill after the seek key: the key of the seek text itself.
  if (key.find_first_not_of(' ', seek.size()) == std::string::npos) return lastSeekText_;
  return seek.empty() ? DisplayKey(key) : lastSeekText_ + '\x7F';
}

// ---------------------------------------------------------------- nodes

XBobjCDXTag::Layout XBobjCDXTag::LeafLayout(uint32_t maxRecord, bool bulk) const {
  Layout l;
  l.countBits = std::bit_width(static_cast<unsigned>(KeyLength));
  l.countMask = (1u << l.countBits) - 1;
  l.bytes = bulk ? 3 : 2;
  l.recBits = 8 * l.bytes - 2 * l.countBits;
  auto mask = [](int bits) { return bits <= 0 ? 0u : (bits >= 32 ? 0xFFFFFFFFu : (1u << bits) - 1); };
  while (l.recBits < 32 && maxRecord > mask(l.recBits)) {
    ++l.bytes;
    l.recBits += 8;
  }
  if (l.recBits > 32) l.recBits = 32;
  l.recMask = mask(l.recBits);
  return l;
}

size_t XBobjCDXTag::trailOf(std::string_view k) const {
  const char f = fill();
  size_t t = 0;
  while (t < k.size() && k[k.size() - 1 - t] == f) ++t;
  return t;
}

void XBobjCDXTag::dupTrail(std::string_view prev, std::string_view key, size_t& dup, size_t& trail) const {
  trail = trailOf(key);
  dup = 0;
  const size_t limit = std::min(prev.size(), key.size() - trail);
  while (dup < limit && prev[dup] == key[dup]) ++dup;
}

size_t XBobjCDXTag::entryBytes(const XBobjIndexKey& p, int i, const Layout& l) const {
  size_t dup, trail;
  dupTrail(i > 0 ? p.Key(i - 1) : std::string_view(), p.Key(i), dup, trail);
  return static_cast<size_t>(l.bytes) + static_cast<size_t>(KeyLength) - dup - trail;
}

size_t XBobjCDXTag::leafBytes(const XBobjIndexKey& p, const Layout& l) const {
  size_t total = 0;
  for (int i = 0; i < p.Count(); ++i) total += entryBytes(p, i, l);
  return total;
}

uint32_t XBobjCDXTag::maxRecord(const XBobjIndexKey& p) const {
  uint32_t m = 0;
  if (IsDirectory)
    m = static_cast<uint32_t>(std::min<int64_t>(file_.FileSize(), 0xFFFFFFFFll));
  else
    m = p.BulkLayout ? bulkMaxRec_ : file_.Table().RecordCount;
  for (int i = 0; i < p.Count(); ++i) m = std::max(m, static_cast<uint32_t>(p.RecNo(i)));
  return std::max<uint32_t>(m, 1);
}

bool XBobjCDXTag::PageOverflows(const XBobjIndexKey& p) const {
  if (!p.Leaf) return p.Count() > maxInterior();
  // The layout the page is written in (see PageWrite).
  return leafBytes(p, LeafLayout(maxRecord(p), p.BulkLayout)) >= 488;
}

int XBobjCDXTag::SplitCount(const XBobjIndexKey& p, int at) const {
  const int k = p.Count();
  if (k < 2) return 1;
  if (!p.Leaf) {
    // A page one entry over: an entry added at an end (keys arriving in order or in
    // reverse order) leaves the other page full, and the page that takes the next ones
    // with room. With long keys (two entries a node) the split always leaves a page of
    // one entry: it is then the one the keys go on to, and the tree stays two-way.
    if (k == maxInterior() + 1) {
      if (at >= k - 1) return k - 1;
      if (at <= 1) return 1;
    }
    return XBobjIndexTag::SplitCount(p, at);
  }
  // Leaves: the entries of each side as they would be written, the first entry of the
  // right side with its key in full (it shares nothing with an entry before it).
  const Layout l = LeafLayout(maxRecord(p), p.BulkLayout);
  std::vector<size_t> bytes(static_cast<size_t>(k)), full(static_cast<size_t>(k));
  size_t total = 0;
  for (int i = 0; i < k; ++i) {
    bytes[static_cast<size_t>(i)] = entryBytes(p, i, l);
    full[static_cast<size_t>(i)] = static_cast<size_t>(l.bytes) + static_cast<size_t>(KeyLength) - trailOf(p.Key(i));
    total += bytes[static_cast<size_t>(i)];
  }
  // Among the splits that leave both sides fitting: an entry added at the end keeps the
  // left side as full as it can be, one added at the front the right side, any other
  // the sides nearest in size. A long first key shared by the keys after it no longer
  // leaves a page of one entry beside a page still full.
  int best = 0;
  size_t bestLarger = 0, left = 0;
  for (int n = 1; n < k; ++n) {
    left += bytes[static_cast<size_t>(n - 1)];
    const size_t right = total - left - bytes[static_cast<size_t>(n)] + full[static_cast<size_t>(n)];
    if (left >= 488) break;
    if (right >= 488) continue;
    if (at <= 0) return n;
    const size_t larger = std::max(left, right);
    if (best == 0 || at >= k - 1 || larger < bestLarger) {
      best = n;
      bestLarger = larger;
    }
  }
  if (best > 0) return best;
  // No split fits both sides (a layout that grew): the left side takes what fits, and
  // the rest splits again.
  left = 0;
  int n = 0;
  while (n < k - 1 && left + bytes[static_cast<size_t>(n)] < 488) left += bytes[static_cast<size_t>(n++)];
  return std::max(n, 1);
}

void XBobjCDXTag::PackStart(size_t) {
  XBO_dBHandler& t = file_.Table();
  bulkMaxRec_ = std::max<uint32_t>({t.CountFromSize(), t.RecordCount, 1});
  bulk_ = LeafLayout(bulkMaxRec_, true);
}

bool XBobjCDXTag::PackFits(XBobjIndexKey& p, std::string_view key, int level) {
  if (level > 0) return p.Count() < maxInterior();
  if (p.Count() == 0) p.Bytes = 0;
  size_t dup, trail;
  dupTrail(p.Count() > 0 ? p.Key(p.Count() - 1) : std::string_view(), key, dup, trail);
  size_t need = static_cast<size_t>(bulk_.bytes) + static_cast<size_t>(KeyLength) - dup - trail;
  if (p.Count() > 0 && p.Bytes + need > 488) return false;
  p.Bytes += need;
  return true;
}

void XBobjCDXTag::PageRead(XBobjIndexKey& p) {
  const int64_t pos = p.Address;
  const int64_t size = file_.FileSize();
  if (pos % XBobjCDXFile::NodeSize != 0 || pos < 2 * XBobjCDXFile::NodeSize || pos > size - XBobjCDXFile::NodeSize ||
      (pos >= HeaderPos && pos < HeaderPos + 2 * XBobjCDXFile::NodeSize))
    file_.badPage(pos);
  uint8_t n[XBobjCDXFile::NodeSize];
  file_.ReadPage(pos, n, sizeof n);
  const uint16_t attr = xbGet16(n);
  const int count = xbGet16(n + 2);
  if (attr > 3) file_.badPage(pos);
  p.Clear();
  p.Reserve(std::min(count, 244));   // a node holds no more (488 bytes of entries of 2 bytes at least)
  p.Leaf = attr & 2;
  p.Left = xbGet32(n + 4);
  p.Right = xbGet32(n + 8);
  const size_t klen = static_cast<size_t>(KeyLength);
  if (p.Leaf) {
    uint32_t recMask = xbGet32(n + 14);
    uint8_t dupMask = n[18], trailMask = n[19];
    int recBits = n[20], dupBits = n[21], trailBits = n[22], bpe = n[23];
    if (bpe < 2 || bpe > 8 || dupBits + trailBits > 16 || recBits + dupBits + trailBits > 8 * bpe ||
        static_cast<size_t>(count) * static_cast<size_t>(bpe) > 488)
      file_.badPage(pos);
    const bool general = General && KeyType == 'C';
    std::string key(klen, fill());   // the entry before, made into the entry
    size_t keyEnd = XBobjCDXFile::NodeSize, front = 24 + static_cast<size_t>(count) * static_cast<size_t>(bpe);
    for (int i = 0; i < count; ++i) {
      const uint8_t* e = n + 24 + i * bpe;
      uint64_t v = 0;
      for (int j = bpe - 1; j >= 0; --j) v = (v << 8) | e[j];
      uint32_t rec = static_cast<uint32_t>(v) & recMask;
      uint32_t wv = xbGet16(e + bpe - 2);
      size_t trail = (wv >> (16 - trailBits)) & trailMask;
      size_t dup = (wv >> (16 - trailBits - dupBits)) & dupMask;
      if (dup + trail > klen || (i == 0 && dup > 0)) file_.badPage(pos);
      size_t stored = klen - dup - trail;
      if (stored > keyEnd - front) file_.badPage(pos);
      keyEnd -= stored;
      std::memcpy(key.data() + dup, n + keyEnd, stored);
      if (general) xbGeneralFromStored(key.data() + dup, stored);
      std::memset(key.data() + dup + stored, fill(), trail);
      if (static_cast<int32_t>(rec) < 1) file_.badPage(pos);
      if (i > 0 && p.Key(i - 1).compare(key) > 0) xbRaise(msg::IndexOrderBad, {file_.FileName()});
      p.Append(key, static_cast<int32_t>(rec), 0);
    }
    return;
  }
  const size_t item = klen + 8;
  if (count < 1 || static_cast<size_t>(count) * item > 500) file_.badPage(pos);
  for (int i = 0; i < count; ++i) {
    const uint8_t* e = n + 12 + static_cast<size_t>(i) * item;
    uint32_t child = xbGet32BE(e + klen + 4);
    if (child % XBobjCDXFile::NodeSize != 0 || child == pos || static_cast<int64_t>(child) > size - XBobjCDXFile::NodeSize)
      file_.badPage(pos);
    p.Append(std::string_view(reinterpret_cast<const char*>(e), klen), static_cast<int32_t>(xbGet32BE(e + klen)), child);
    if (i > 0 && p.Key(i - 1).compare(p.Key(i)) > 0) xbRaise(msg::IndexOrderBad, {file_.FileName()});
  }
}

void XBobjCDXTag::PageWrite(XBobjIndexKey& p) {
  uint8_t n[XBobjCDXFile::NodeSize] = {};
  xbPut16(n, (p.Leaf ? 2u : 0u) | (p.Address == Root ? 1u : 0u));
  xbPut16(n + 2, static_cast<uint32_t>(p.Count()));
  xbPut32(n + 4, p.Left);
  xbPut32(n + 8, p.Right);
  const size_t klen = static_cast<size_t>(KeyLength);
  if (!p.Leaf) {
    const size_t item = klen + 8;
    if (static_cast<size_t>(p.Count()) * item > 500) throw ERangeError();
    for (int i = 0; i < p.Count(); ++i) {
      uint8_t* e = n + 12 + static_cast<size_t>(i) * item;
      std::memcpy(e, p.Key(i).data(), klen);
      xbPut32BE(e + klen, static_cast<uint32_t>(p.RecNo(i)));
      xbPut32BE(e + klen + 4, p.Child(i));
    }
  } else {
    const Layout l = LeafLayout(maxRecord(p), p.BulkLayout);
    xbPut32(n + 14, l.recMask);
    n[18] = static_cast<uint8_t>(l.countMask);
    n[19] = static_cast<uint8_t>(l.countMask);
    n[20] = static_cast<uint8_t>(l.recBits);
    n[21] = static_cast<uint8_t>(l.countBits);
    n[22] = static_cast<uint8_t>(l.countBits);
    n[23] = static_cast<uint8_t>(l.bytes);
    size_t keyEnd = XBobjCDXFile::NodeSize, front = 24;
    const int bits = 8 * l.bytes;
    const bool general = General && KeyType == 'C';
    for (int i = 0; i < p.Count(); ++i) {
      std::string_view k = p.Key(i);
      if (static_cast<uint32_t>(p.RecNo(i)) > l.recMask) throw ERangeError();
      size_t dup, trail;
      dupTrail(i > 0 ? p.Key(i - 1) : std::string_view(), k, dup, trail);
      size_t stored = klen - dup - trail;
      if (stored + static_cast<size_t>(l.bytes) > keyEnd - front) throw ERangeError();
      keyEnd -= stored;
      std::memcpy(n + keyEnd, k.data() + dup, stored);
      if (general) xbGeneralToStored(n + keyEnd, stored);
      uint64_t v = static_cast<uint64_t>(static_cast<uint32_t>(p.RecNo(i))) |
                   (static_cast<uint64_t>(dup) << (bits - 2 * l.countBits)) |
                   (static_cast<uint64_t>(trail) << (bits - l.countBits));
      for (int b = 0; b < l.bytes; ++b) n[front + static_cast<size_t>(b)] = static_cast<uint8_t>(v >> (8 * b));
      front += static_cast<size_t>(l.bytes);
    }
    xbPut16(n + 12, static_cast<uint32_t>(keyEnd - front));
  }
  file_.Write(p.Address, n, sizeof n);
}

void XBobjCDXTag::TagLoad() {
  const int64_t size = file_.FileSize();
  if (HeaderPos < 0 || HeaderPos % XBobjCDXFile::NodeSize != 0 || HeaderPos > size - 2 * XBobjCDXFile::NodeSize)
    file_.badPage(HeaderPos);
  uint8_t b[2 * XBobjCDXFile::NodeSize];
  file_.ReadPage(HeaderPos, b, sizeof b);
  uint32_t root = xbGet32(b);
  int kl = xbGet16(b + 12);
  uint8_t options = b[14];
  std::string keyExpr = xbCString(b + 512, XBobjCDXFile::NodeSize);
  std::string forExpr;
  if (options & 0x08) {
    size_t at = 512 + keyExpr.size() + 1;
    if (at < sizeof b) forExpr = xbCString(b + at, sizeof b - at);
  }
  if (root % XBobjCDXFile::NodeSize != 0 || root == 0 || static_cast<int64_t>(root) > size - XBobjCDXFile::NodeSize)
    file_.badPage(HeaderPos);
  if (kl < 1 || kl > 240) file_.corrupt();
  if (options < 128 && platform::Trim(keyExpr).empty()) file_.corrupt();
  if (IsDirectory != (options >= 128)) file_.corrupt();
  if (IsDirectory && kl != XBobjCDXFile::MaxTagName) file_.corrupt();
  bool exprChanged = keyExpr != KeyExpr || forExpr != ForExpr || (!IsDirectory && !keyEval_);
  Root = root;
  StoredCount = xbGet32(b + 8);
  KeyLength = kl;
  Unique = options & 1;
  KeyExpr = keyExpr;
  ForExpr = forExpr;
  General = xbCString(b + 494, 8) == GeneralText;
  Descending = xbGet16(b + 502) != 0;
  ReverseWalk = Descending;
  if (IsDirectory) {
    KeyType = 'C';
    return;
  }
  if (exprChanged) PrepareType(file_.Table());
  if (KeyType != 'C') General = false;
  if (KeyType != 'C' && kl != 8) file_.corrupt();
}

void XBobjCDXTag::TagStore() {
  uint8_t b[2 * XBobjCDXFile::NodeSize] = {};
  xbPut32(b, Root);
  xbPut32(b + 8, StoredCount);
  xbPut16(b + 12, IsDirectory && file_.OpenRefused() ? 0 : static_cast<uint32_t>(KeyLength));
  b[14] = IsDirectory ? 0xE0 : static_cast<uint8_t>(0x60 | (Unique ? 1 : 0) | (ForExpr.empty() ? 0 : 8));
  b[15] = General ? 2 : 1;
  if (General) std::memcpy(b + 494, GeneralText, 7);
  xbPut16(b + 502, Descending ? 1 : 0);
  xbPut16(b + 504, static_cast<uint32_t>(KeyExpr.size() + 1));
  xbPut16(b + 506, static_cast<uint32_t>(ForExpr.size() + 1));
  xbPut16(b + 510, static_cast<uint32_t>(KeyExpr.empty() ? 1 : KeyExpr.size() + 1));
  if (KeyExpr.size() + ForExpr.size() + 2 > XBobjCDXFile::NodeSize)
    xbRaise(msg::IndexKeyExpression, {KeyExpr, file_.FileName()});
  std::memcpy(b + 512, KeyExpr.data(), KeyExpr.size());
  std::memcpy(b + 512 + KeyExpr.size() + 1, ForExpr.data(), ForExpr.size());
  file_.Write(HeaderPos, b, sizeof b);
}

// ---------------------------------------------------------------- file

std::vector<XBobjIndexTag*> XBobjCDXFile::allTags() {
  std::vector<XBobjIndexTag*> out;
  if (dir_) out.push_back(dir_.get());
  for (auto& t : tags_) out.push_back(t.get());
  return out;
}

std::string XBobjCDXFile::dirKey(const std::string& name) const {
  std::string k = platform::UpperCase(name);
  if (translate_) k = xbAnsiToOemStr(k);
  k.resize(MaxTagName, ' ');
  return k;
}

void XBobjCDXFile::LoadTags() {
  const int64_t size = FileSize();
  if (size < 3 * NodeSize) corrupt();
  if (!dir_) {
    dir_ = std::make_unique<XBobjCDXTag>(*this);
    dir_->IsDirectory = true;
    dir_->Name.clear();
  }
  dir_->HeaderPos = 0;
  dir_->Reload();
  std::vector<TxbIndexEntry> names = dir_->Entries();
  std::vector<std::unique_ptr<XBobjIndexTag>> old = std::move(tags_);
  tags_.clear();
  // Headers and roots are each a page of their own.
  std::set<int64_t> used = {0, NodeSize, dir_->Root};
  try {
    for (const TxbIndexEntry& e : names) {
      std::string name = e.key;
      if (translate_) name = xbOemToAnsiStr(name);
      name = platform::TrimRight(name);
      std::unique_ptr<XBobjIndexTag> t;
      for (auto& o : old)
        if (o && o->Name == name) t = std::move(o);
      if (!t) t = std::make_unique<XBobjCDXTag>(*this);
      t->Name = name;
      t->HeaderPos = e.recNo;
      XBobjIndexTag& ref = *t;
      tags_.push_back(std::move(t));
      if (!used.insert(e.recNo).second || !used.insert(int64_t{e.recNo} + NodeSize).second) badPage(e.recNo);
      ref.Reload();
      if (!used.insert(ref.Root).second) badPage(ref.Root);
    }
  } catch (...) {
    for (auto& t : tags_) retire(std::move(t));
    tags_.clear();
    for (auto& o : old)
      if (o) retire(std::move(o));
    throw;
  }
  for (auto& o : old)
    if (o) retire(std::move(o));
}

std::unique_ptr<XBobjCDXFile> XBobjCDXFile::OpenFile(XBO_dBHandler& table, const std::string& fileName) {
  auto f = std::make_unique<XBobjCDXFile>(table, fileName);
  f->openDisk(false);
  if (f->FileSize() > NodeSize)
    f->loadLocked();
  else
    f->createLocked([&] { f->newDirectory(); });   // too short for a directory: a new one
  f->markProduction();
  return f;
}

std::unique_ptr<XBobjCDXFile> XBobjCDXFile::CreateFile(XBO_dBHandler& table, const std::string& fileName) {
  auto f = std::make_unique<XBobjCDXFile>(table, xbDefaultExt(fileName, ".cdx"));
  f->openDisk(true);
  f->createLocked([&] { f->newDirectory(); });
  f->markProduction();
  return f;
}

void XBobjCDXFile::newDirectory() {
  nextFree_ = 0;
  if (!dir_) {
    dir_ = std::make_unique<XBobjCDXTag>(*this);
    dir_->IsDirectory = true;
    dir_->Name.clear();
  }
  dir_->KeyType = 'C';
  dir_->KeyLength = MaxTagName;
  dir_->HeaderPos = PageAllocate();
  PageAllocate();
  dir_->MakeEmptyRoot();
  dir_->HeaderChanged = true;
}

uint32_t XBobjCDXFile::PageAllocate() {
  if (nextFree_ < 0) nextFree_ = FileEndRead();
  nextFree_ = (nextFree_ + NodeSize - 1) / NodeSize * NodeSize;
  int64_t at = nextFree_;
  if (at > 0xFFFFFFFFll - 2 * NodeSize) throw ERangeError();
  nextFree_ += NodeSize;
  return static_cast<uint32_t>(at);
}

void XBobjCDXFile::AfterChange() {
  ++dir_->StoredCount;
  dir_->HeaderChanged = true;
}

bool XBobjCDXFile::ChangedExternally() {
  if (!disk_->Shared || !dir_) return false;
  uint8_t b[12];
  if (!Read(0, b, 12)) corrupt();
  return xbGet32(b + 8) != dir_->StoredCount;
}

XBobjIndexTag* XBobjCDXFile::TagCreate(const std::string& name, const std::string& keyExpr, bool unique,
                                       const std::string& forExpr, bool descending, bool general) {
  std::string n = platform::UpperCase(platform::Trim(name));
  if (n.empty() || n.size() > MaxTagName || n.find_first_of(" \t") != std::string::npos)
    xbRaise(TagNameBad, {name, fileName_});
  TxbIndexOp op(*this);
  auto t = std::make_unique<XBobjCDXTag>(*this);
  t->Name = n;
  t->KeyExpr = keyExpr;
  t->ForExpr = forExpr;
  t->Unique = unique;
  t->Descending = descending;
  t->ReverseWalk = descending;
  TxbKeyValue v = t->PrepareType(table_);
  t->General = general && t->KeyType == 'C';
  t->KeyLength = t->KeyType == 'C' ? (t->General ? 2 * v.length : v.length) : 8;
  if (t->KeyLength < 1 || t->KeyLength > 240) xbRaise(msg::IndexKeyTooLong, {int32_t{t->KeyLength}, fileName_});
  if (keyExpr.size() + forExpr.size() + 2 > NodeSize) xbRaise(msg::IndexKeyExpression, {keyExpr, fileName_});
  for (auto it = tags_.begin(); it != tags_.end(); ++it)
    if ((*it)->Name == n) {
      dir_->KeyDelete(dirKey(n), static_cast<int32_t>((*it)->HeaderPos));
      retire(std::move(*it));
      tags_.erase(it);
      break;
    }
  t->HeaderPos = PageAllocate();
  PageAllocate();
  t->Build();
  dir_->KeyAdd(dirKey(n), static_cast<int32_t>(t->HeaderPos));
  XBobjIndexTag* raw = t.get();
  tags_.push_back(std::move(t));
  AfterChange();
  Commit();
  return raw;
}

bool XBobjCDXFile::TagDelete(const std::string& name) {
  TxbIndexOp op(*this);
  for (auto it = tags_.begin(); it != tags_.end(); ++it)
    if (platform::SameText((*it)->Name, platform::Trim(name))) {
      dir_->KeyDelete(dirKey((*it)->Name), static_cast<int32_t>((*it)->HeaderPos));
      retire(std::move(*it));
      tags_.erase(it);
      if (tags_.empty()) {
        Reindex();
      } else {
        AfterChange();
        Commit();
      }
      return true;
    }
  return false;
}

void XBobjCDXFile::Reindex() {
  rebuild([&] {
    // The directory's header stays at the start of the file (with the mark that keeps
    // every open off the file until the build is done); everything after it is made again.
    nextFree_ = truncate(2 * NodeSize) ? 2 * NodeSize : FileEndRead();
    dir_->MakeEmptyRoot();
    for (auto& t : tags_) {
      t->HeaderPos = PageAllocate();
      PageAllocate();
      t->Build();
      dir_->KeyAdd(dirKey(t->Name), static_cast<int32_t>(t->HeaderPos));
    }
    AfterChange();
    Commit();
  });
}

void XBobjCDXFile::WriteOpenMark(bool refused) {
  // The key length of the tag directory: no open takes a file where it is not 10.
  uint8_t b[2];
  xbPut16(b, refused ? 0 : MaxTagName);
  Write(dir_ ? dir_->HeaderPos + 12 : 12, b, sizeof b);
}

}  // namespace xb

#include "xbase/xb_sort.h"

#include <algorithm>
#include <cstring>

#include "xbase/checked.h"
#include "xbase/xb_cnst.h"

namespace xb {

namespace {
constexpr const char* SortKeyLength = "Sort key length must be 1-%d bytes, is %d";
constexpr const char* SortAfterRetrieval = "Cannot add sort keys after beginning retrieval";
constexpr uint8_t MarkRaw = 16, MarkText = 32, MarkNumber = 48, MarkInteger = 64;
}  // namespace

// One run: front-coded records in chunks, read back in order.
struct TxbSort::Run {
  std::vector<std::vector<uint8_t>> chunks;
  size_t writePos = 0;
  std::string writeKey;   // the previous key written
  size_t chunk = 0, readPos = 0;
  uint8_t mark = 0;
  std::string key;        // the run's current key
  bool done = false;

  void write(uint8_t m, const uint8_t* p, size_t total) {
    if (total >= 256) throw ERangeError();
    size_t shared = 0, limit = std::min(total, writeKey.size());
    while (shared < limit && static_cast<uint8_t>(writeKey[shared]) == p[shared]) ++shared;
    size_t n = total - shared;
    // Room for the record and the zero byte that ends the chunk.
    if (chunks.empty() || writePos + n + 3 >= ChunkBytes) {
      chunks.emplace_back(ChunkBytes, 0);
      writePos = 0;
    }
    uint8_t* c = chunks.back().data() + writePos;
    c[0] = m;
    c[1] = static_cast<uint8_t>(total);
    c[2] = static_cast<uint8_t>(n);
    std::memcpy(c + 3, p + shared, n);
    writePos += n + 3;
    writeKey.assign(reinterpret_cast<const char*>(p), total);
  }
  // Loads the next record as the current key; false at the end of the run.
  bool advance() {
    while (chunk < chunks.size()) {
      const std::vector<uint8_t>& c = chunks[chunk];
      if (readPos + 3 <= c.size() && c[readPos] != 0) {
        size_t total = c[readPos + 1], n = c[readPos + 2];
        if (n > total || total - n > key.size() || readPos + 3 + n > c.size()) throw ERangeError();
        mark = c[readPos];
        key.resize(total);
        std::memcpy(key.data() + (total - n), c.data() + readPos + 3, n);
        readPos += 3 + n;
        return true;
      }
      ++chunk;
      readPos = 0;
    }
    done = true;
    chunks.clear();
    return false;
  }
};

TxbSort::TxbSort(int keyLength, const uint8_t* collation, bool ascending, bool unique)
    : keyLength_(keyLength), collation_(collation), ascending_(ascending), unique_(unique) {
  if (keyLength < 1 || keyLength > MaxKeyLength) xbRaise(SortKeyLength, {int32_t{MaxKeyLength}, int32_t{keyLength}});
  pool_.reserve(4096);
}

TxbSort::~TxbSort() = default;

void TxbSort::AddKey(const TxbVariant& key, int32_t recNo) {
  if (retrieving_) xbRaise(SortAfterRetrieval);
  const uint8_t* d = key.Data();
  size_t n = key.Length();
  uint8_t enc[MaxKeyLength + 8];
  size_t len = 0;
  uint8_t mark = 0;
  switch (key.Type()) {
    case TxbVarType::Text: {
      while (n > 0 && d[n - 1] == ' ') --n;
      if (n > static_cast<size_t>(keyLength_)) xbRaise(SortKeyLength, {int32_t{keyLength_}, checked_cast<int32_t>(n)});
      std::memcpy(enc, d, n);
      len = n;
      mark = MarkText;
      break;
    }
    case TxbVarType::Number: {
      if (n != 8) throw ERangeError();
      if ((d[7] & 0x80) == 0) {
        for (int i = 0; i < 8; ++i) enc[i] = d[7 - i];
        enc[0] |= 0x80;
      } else {
        for (int i = 0; i < 8; ++i) enc[i] = static_cast<uint8_t>(~d[7 - i]);
      }
      // Trailing zero bytes of a positive value are left out; a negative value keeps
      // all 8 bytes, since its left-out bytes would come back as the wrong value and
      // a shortened key would sort before its longer neighbours.
      size_t zeros = 0;
      if ((d[7] & 0x80) == 0)
        while (zeros < 7 && d[zeros] == 0) ++zeros;
      len = 8 - zeros;
      mark = MarkNumber;
      break;
    }
    case TxbVarType::Date: {
      if (n != 4) throw ERangeError();
      uint32_t v;
      std::memcpy(&v, d, 4);
      enc[0] = static_cast<uint8_t>(v >> 24);
      enc[1] = static_cast<uint8_t>(v >> 16);
      enc[2] = static_cast<uint8_t>(v >> 8);
      enc[3] = static_cast<uint8_t>(v);
      len = 4;
      mark = MarkInteger;
      break;
    }
    case TxbVarType::Raw:
      if (n > static_cast<size_t>(keyLength_)) xbRaise(SortKeyLength, {int32_t{keyLength_}, checked_cast<int32_t>(n)});
      std::memcpy(enc, d, n);
      len = n;
      mark = MarkRaw;
      break;
    default:
      xbRaise(msg::VariantNotSortable);
  }
  if (len > static_cast<size_t>(keyLength_)) xbRaise(SortKeyLength, {int32_t{keyLength_}, checked_cast<int32_t>(len)});
  uint32_t r = static_cast<uint32_t>(recNo);
  enc[len++] = static_cast<uint8_t>(r >> 24);
  enc[len++] = static_cast<uint8_t>(r >> 16);
  enc[len++] = static_cast<uint8_t>(r >> 8);
  enc[len++] = static_cast<uint8_t>(r);
  if (pool_.size() + len + 2 > PoolBytes) flushPool();
  offsets_.push_back(static_cast<uint32_t>(pool_.size()));
  pool_.push_back(mark);
  pool_.push_back(static_cast<uint8_t>(len));
  pool_.insert(pool_.end(), enc, enc + len);
  ++added_;
}

int TxbSort::compare(uint8_t markA, const uint8_t* a, size_t la, uint8_t markB, const uint8_t* b, size_t lb,
                     bool withRecord) const {
  size_t ka = la - 4, kb = lb - 4, n = std::min(ka, kb);
  bool coll = collation_ && markA == MarkText && markB == MarkText;
  for (size_t i = 0; i < n; ++i) {
    uint8_t x = a[i], y = b[i];
    if (coll) {
      x = collation_[x];
      y = collation_[y];
    }
    if (x != y) return x < y ? -1 : 1;
  }
  if (ka != kb) return ka < kb ? -1 : 1;
  if (!withRecord) return 0;
  int c = std::memcmp(a + ka, b + kb, 4);
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

void TxbSort::flushPool() {
  if (offsets_.empty()) return;
  const uint8_t* base = pool_.data();
  // Record numbers take part in the order, so no two keys of one run compare equal.
  std::sort(offsets_.begin(), offsets_.end(), [&](uint32_t x, uint32_t y) {
    int c = compare(base[x], base + x + 2, base[x + 1], base[y], base + y + 2, base[y + 1], true);
    return ascending_ ? c < 0 : c > 0;
  });
  auto run = std::make_unique<Run>();
  for (uint32_t o : offsets_) run->write(base[o], base + o + 2, base[o + 1]);
  runs_.push_back(std::move(run));
  pool_.clear();
  offsets_.clear();
}

bool TxbSort::NextKey(TxbVariant& key, int32_t& recNo) {
  // The heap holds run indexes; on equal keys the earlier run (lower index) wins.
  auto worse = [this](size_t x, size_t y) {
    const Run& a = *runs_[x];
    const Run& b = *runs_[y];
    int c = compare(a.mark, reinterpret_cast<const uint8_t*>(a.key.data()), a.key.size(), b.mark,
                    reinterpret_cast<const uint8_t*>(b.key.data()), b.key.size(), true);
    if (!ascending_) c = -c;
    if (c != 0) return c > 0;
    return x > y;
  };
  if (!retrieving_) {
    retrieving_ = true;
    flushPool();
    pool_.clear();
    pool_.shrink_to_fit();
    offsets_.shrink_to_fit();
    for (size_t i = 0; i < runs_.size(); ++i)
      if (runs_[i]->advance()) heap_.push_back(i);
    std::make_heap(heap_.begin(), heap_.end(), worse);
  }
  while (!heap_.empty()) {
    std::pop_heap(heap_.begin(), heap_.end(), worse);
    size_t idx = heap_.back();
    Run& r = *runs_[idx];
    const uint8_t mark = r.mark;
    const std::string k = r.key;
    if (r.advance())
      std::push_heap(heap_.begin(), heap_.end(), worse);
    else
      heap_.pop_back();
    const auto* p = reinterpret_cast<const uint8_t*>(k.data());
    if (unique_) {
      if (haveLast_ &&
          compare(mark, p, k.size(), lastMark_, reinterpret_cast<const uint8_t*>(last_.data()), last_.size(), false) == 0)
        continue;
      haveLast_ = true;
      lastMark_ = mark;
      last_ = k;
    }
    size_t kl = k.size() - 4;
    recNo = static_cast<int32_t>((uint32_t{p[kl]} << 24) | (uint32_t{p[kl + 1]} << 16) | (uint32_t{p[kl + 2]} << 8) |
                                 uint32_t{p[kl + 3]});
    switch (mark) {
      case MarkText: key.SetText(std::string_view(k.data(), kl)); break;
      case MarkNumber: {
        uint8_t be[8] = {};
        std::memcpy(be, p, std::min<size_t>(kl, 8));
        uint8_t le[8];
        if (be[0] & 0x80) {
          be[0] &= 0x7F;
          for (int i = 0; i < 8; ++i) le[i] = be[7 - i];
        } else {
          for (int i = 0; i < 8; ++i) le[i] = static_cast<uint8_t>(~be[7 - i]);
        }
        double v;
        std::memcpy(&v, le, 8);
        key.SetNumber(v);
        break;
      }
      case MarkInteger: {
        uint32_t v = (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
        key.SetDate(static_cast<int32_t>(v));
        break;
      }
      default: key.SetRaw(p, kl); break;
    }
    return true;
  }
  runs_.clear();
  return false;
}

}  // namespace xb

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

TxbSort::TxbSort(int keyLength, const uint8_t* collation, bool ascending, bool unique)
    : keyLength_(keyLength), collation_(collation), ascending_(ascending), unique_(unique) {
  if (keyLength < 1 || keyLength > MaxKeyLength) xbRaise(SortKeyLength, {int32_t{MaxKeyLength}, int32_t{keyLength}});
}

void TxbSort::AddKey(const TxbVariant& key, int32_t recNo) {
  if (retrieving_) xbRaise(SortAfterRetrieval);
  Item it;
  const uint8_t* d = key.Data();
  size_t n = key.Length();
  switch (key.Type()) {
    case TxbVarType::Text: {
      while (n > 0 && d[n - 1] == ' ') --n;
      it.enc.assign(reinterpret_cast<const char*>(d), n);
      it.mark = MarkText;
      break;
    }
    case TxbVarType::Number: {
      if (n != 8) throw ERangeError();
      uint8_t out[8];
      if ((d[7] & 0x80) == 0) {
        for (int i = 0; i < 8; ++i) out[i] = d[7 - i];
        out[0] |= 0x80;
      } else {
        for (int i = 0; i < 8; ++i) out[i] = static_cast<uint8_t>(~d[7 - i]);
      }
      // Trailing zero bytes of a positive value are left out; a negative value keeps
      // all 8 bytes, since its left-out bytes would come back as the wrong value and
      // a shortened key would sort before its longer neighbours.
      size_t zeros = 0;
      if ((d[7] & 0x80) == 0)
        while (zeros < 7 && d[zeros] == 0) ++zeros;
      it.enc.assign(reinterpret_cast<const char*>(out), 8 - zeros);
      it.mark = MarkNumber;
      break;
    }
    case TxbVarType::Date: {
      if (n != 4) throw ERangeError();
      uint32_t v;
      std::memcpy(&v, d, 4);
      char b[4] = {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
                   static_cast<char>(v)};
      it.enc.assign(b, 4);
      it.mark = MarkInteger;
      break;
    }
    case TxbVarType::Raw:
      it.enc.assign(reinterpret_cast<const char*>(d), n);
      it.mark = MarkRaw;
      break;
    default:
      xbRaise(msg::VariantNotSortable);
  }
  if (it.enc.size() > static_cast<size_t>(keyLength_))
    xbRaise(SortKeyLength, {int32_t{keyLength_}, checked_cast<int32_t>(it.enc.size())});
  uint32_t r = static_cast<uint32_t>(recNo);
  char b[4] = {static_cast<char>(r >> 24), static_cast<char>(r >> 16), static_cast<char>(r >> 8), static_cast<char>(r)};
  it.enc.append(b, 4);
  items_.push_back(std::move(it));
}

int TxbSort::compareKeys(const Item& a, const Item& b, bool withRecord) const {
  size_t la = a.enc.size() - 4, lb = b.enc.size() - 4;
  size_t n = std::min(la, lb);
  bool coll = collation_ && a.mark == MarkText;
  for (size_t i = 0; i < n; ++i) {
    uint8_t x = static_cast<uint8_t>(a.enc[i]), y = static_cast<uint8_t>(b.enc[i]);
    if (coll) {
      x = collation_[x];
      y = collation_[y];
    }
    if (x != y) return x < y ? -1 : 1;
  }
  if (la != lb) return la < lb ? -1 : 1;
  if (!withRecord) return 0;
  int c = std::memcmp(a.enc.data() + la, b.enc.data() + lb, 4);
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

bool TxbSort::NextKey(TxbVariant& key, int32_t& recNo) {
  if (!retrieving_) {
    retrieving_ = true;
    // Record numbers take part in the order, so no two items compare equal.
    std::sort(items_.begin(), items_.end(), [this](const Item& a, const Item& b) {
      int c = compareKeys(a, b, true);
      return ascending_ ? c < 0 : c > 0;
    });
  }
  while (next_ < items_.size()) {
    const Item& it = items_[next_++];
    if (unique_ && haveLast_ && compareKeys(it, last_, false) == 0) continue;
    if (unique_) {
      last_ = it;
      haveLast_ = true;
    }
    size_t kl = it.enc.size() - 4;
    const auto* p = reinterpret_cast<const uint8_t*>(it.enc.data());
    recNo = static_cast<int32_t>((uint32_t{p[kl]} << 24) | (uint32_t{p[kl + 1]} << 16) | (uint32_t{p[kl + 2]} << 8) |
                                 uint32_t{p[kl + 3]});
    switch (it.mark) {
      case MarkText: key.SetText(std::string_view(it.enc.data(), kl)); break;
      case MarkNumber: {
        uint8_t be[8] = {};
        std::memcpy(be, p, kl);
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
  items_.clear();
  items_.shrink_to_fit();
  next_ = 0;
  return false;
}

}  // namespace xb

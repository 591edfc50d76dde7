#include "xbase/xb_tool.h"

#include <charconv>
#include <cmath>
#include <cstring>

#include "platform/exception.h"
#include "platform/strutil.h"
#include "xbase/checked.h"
#include "xbase/xb_cnst.h"
#include "xbase/xb_date.h"

namespace xb {

void TxbVariant::SetText(std::string_view s) {
  data_.assign(s.begin(), s.end());
  type_ = TxbVarType::Text;
}

void TxbVariant::SetNumber(double v) {
  data_.resize(sizeof v);
  std::memcpy(data_.data(), &v, sizeof v);
  type_ = TxbVarType::Number;
}

void TxbVariant::SetDate(int32_t julian) {
  data_.resize(sizeof julian);
  std::memcpy(data_.data(), &julian, sizeof julian);
  type_ = TxbVarType::Date;
}

void TxbVariant::SetBoolean(bool b) {
  data_.assign(1, b ? 1 : 0);
  type_ = TxbVarType::Boolean;
}

void TxbVariant::SetRaw(const void* p, size_t n) {
  const uint8_t* b = static_cast<const uint8_t*>(p);
  data_.assign(b, b + n);
  type_ = TxbVarType::Raw;
}

void TxbVariant::AppendRaw(const void* p, size_t n) {
  const uint8_t* b = static_cast<const uint8_t*>(p);
  data_.insert(data_.end(), b, b + n);
  type_ = TxbVarType::Raw;
}

void TxbVariant::PadText(size_t length) {
  if (type_ != TxbVarType::Text) return;
  if (data_.size() < length) data_.resize(length, ' ');
}

void TxbVariant::TrimText() {
  if (type_ != TxbVarType::Text) return;
  while (!data_.empty() && data_.back() == ' ') data_.pop_back();
}

void TxbVariant::UpperText() {
  if (type_ != TxbVarType::Text) return;
  for (auto& c : data_) c = platform::AnsiUpperChar(c);
}

namespace {
// The bytes that exist, copied into a zeroed buffer of the wanted width.
template <class T>
T fromBytes(const std::vector<uint8_t>& d) {
  T v{};
  unsigned char tmp[sizeof(T)] = {};
  std::memcpy(tmp, d.data(), d.size() < sizeof(T) ? d.size() : sizeof(T));
  std::memcpy(&v, tmp, sizeof(T));
  return v;
}
}  // namespace

std::string TxbVariant::AsText() const {
  if (Empty()) return std::string();
  switch (type_) {
    case TxbVarType::Text:
    case TxbVarType::Raw:
      return std::string(data_.begin(), data_.end());
    case TxbVarType::Number:
      return platform::FloatToStr(fromBytes<double>(data_));
    case TxbVarType::Date:
      return xbDBFDate().JulianToDisplayStr(fromBytes<int32_t>(data_));
    case TxbVarType::Boolean:
      return data_[0] ? "T" : "F";
    default:
      return std::string();
  }
}

double TxbVariant::AsNumber() const {
  if (Empty()) return 0.0;
  switch (type_) {
    case TxbVarType::Text: {
      std::string s(data_.begin(), data_.end());
      return platform::StrToFloat(platform::Trim(s));
    }
    case TxbVarType::Number:
    case TxbVarType::Raw:
      return fromBytes<double>(data_);
    case TxbVarType::Date:
      return static_cast<double>(fromBytes<int32_t>(data_));
    case TxbVarType::Boolean:
      return data_[0] ? 1.0 : 0.0;
    default:
      return 0.0;
  }
}

int32_t TxbVariant::AsDate() const {
  if (Empty()) return 0;
  switch (type_) {
    case TxbVarType::Text:
      return xbDBFDate().StrToJulian(std::string_view(reinterpret_cast<const char*>(data_.data()), data_.size()));
    case TxbVarType::Number: {
      // A number reads as a date through its "yyyymmdd" digits (19800101 is 1 Jan 1980).
      int64_t v = checked_trunc<int64_t>(fromBytes<double>(data_));
      char buf[24];
      auto r = std::to_chars(buf, buf + sizeof buf, v);
      return xbDBFDate().StrToJulian(std::string_view(buf, static_cast<size_t>(r.ptr - buf)));
    }
    case TxbVarType::Date:
    case TxbVarType::Raw:
      return fromBytes<int32_t>(data_);
    default:
      return 0;
  }
}

bool TxbVariant::AsBoolean() const {
  if (Empty()) return false;
  switch (type_) {
    case TxbVarType::Text:
      return xbIsTrueChar(static_cast<char>(data_[0]));
    case TxbVarType::Number:
      return fromBytes<double>(data_) != 0.0;
    case TxbVarType::Date:
      return false;
    case TxbVarType::Boolean:
    case TxbVarType::Raw:
      return data_[0] != 0;
    default:
      return false;
  }
}

void TxbVariant::AsBuffer(char* buffer, size_t size) const {
  if (size == 0) return;
  std::string t = AsText();
  size_t n = t.size() < size - 1 ? t.size() : size - 1;
  std::memcpy(buffer, t.data(), n);
  buffer[n] = '\0';
}

int TxbVariant::Compare(const TxbVariant* other, size_t* position, const uint8_t* collation,
                        int partialResult) const {
  if (position) *position = 0;
  if (type_ == TxbVarType::None) return (!other || other->Empty()) ? 0 : -1;
  if (!other) return 1;
  TxbVarType work = type_;
  if (other->type_ != type_) {
    if (type_ == TxbVarType::Raw)
      work = other->type_;
    else if (other->type_ == TxbVarType::Raw)
      work = type_;
    else
      xbRaise(msg::VariantMismatch);
  }
  bool se = data_.empty(), oe = other->data_.empty();
  if (se && oe) return 0;
  if (se) return -1;
  if (oe) return 1;
  switch (work) {
    case TxbVarType::Number: {
      double a = fromBytes<double>(data_), b = fromBytes<double>(other->data_);
      return a < b ? -1 : (a > b ? 1 : 0);
    }
    case TxbVarType::Date: {
      int32_t a = fromBytes<int32_t>(data_), b = fromBytes<int32_t>(other->data_);
      return a < b ? -1 : (a > b ? 1 : 0);
    }
    case TxbVarType::Boolean: {
      uint8_t a = data_[0], b = other->data_[0];
      if (a == b) return 0;
      return a ? 1 : -1;
    }
    case TxbVarType::Text:
    case TxbVarType::Raw:
    default: {
      bool text = work == TxbVarType::Text;
      size_t n = data_.size() < other->data_.size() ? data_.size() : other->data_.size();
      for (size_t i = 0; i < n; ++i) {
        uint8_t a = data_[i], b = other->data_[i];
        if (text && collation) {
          a = collation[a];
          b = collation[b];
        }
        if (a != b) {
          if (position) *position = i;
          return a < b ? -1 : 1;
        }
      }
      if (position) *position = n;
      if (data_.size() == other->data_.size()) return 0;
      if (data_.size() > other->data_.size()) return 1;
      return text ? partialResult : -1;
    }
  }
}

int TxbVariant::CompareBinary(const TxbVariant* other, size_t* position) const {
  if (type_ != TxbVarType::Number) return Compare(other, position);
  TxbVariant self = *this;
  self.type_ = TxbVarType::Raw;
  if (other && other->type_ == TxbVarType::Number) {
    TxbVariant o = *other;
    o.type_ = TxbVarType::Raw;
    return self.Compare(&o, position);
  }
  return self.Compare(other, position);
}

void TxbHugeSet::SetBit(int64_t n, int mode) {
  if (n < 0) throw ERangeError();
  size_t page = static_cast<size_t>(n / PageBits);
  while (pages_.size() <= page) {
    pages_.push_back(std::make_unique<uint8_t[]>(PageBytes));
    std::memset(pages_.back().get(), 0, PageBytes);
  }
  uint8_t& byte = pages_[page][(n >> 3) & 0x3FFF];
  uint8_t mask = static_cast<uint8_t>(1u << (n & 7));
  switch (mode) {
    case 0: byte &= static_cast<uint8_t>(~mask); break;
    case 1: byte |= mask; break;
    case 2: byte ^= mask; break;
    default: break;
  }
  if (n > highest_) highest_ = n;
}

bool TxbHugeSet::TestBit(int64_t n) const {
  if (n < 0 || n > highest_) return false;
  size_t page = static_cast<size_t>(n / PageBits);
  if (page >= pages_.size()) return false;
  return (pages_[page][(n >> 3) & 0x3FFF] >> (n & 7)) & 1;
}

void TxbHugeSet::ClearAll() {
  for (auto& p : pages_) std::memset(p.get(), 0, PageBytes);
  highest_ = -1;
}

}  // namespace xb

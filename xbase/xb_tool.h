#pragma once
// Tool classes of the engine: the owning list, the typed value and the bit set of
// record numbers.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace xb {

// Owning list of objects.
template <class T>
using TxbCollection = std::vector<std::unique_ptr<T>>;

enum class TxbVarType : uint8_t { None = 0, Text = 1, Number = 2, Date = 3, Boolean = 4, Raw = 5 };

// A typed value held in a byte buffer.
class TxbVariant {
public:
  TxbVariant() = default;
  explicit TxbVariant(uint16_t capacity) { data_.reserve(capacity); }

  TxbVarType Type() const { return type_; }
  size_t Length() const { return data_.size(); }
  const uint8_t* Data() const { return data_.data(); }
  bool Empty() const { return type_ == TxbVarType::None || data_.empty(); }

  void SetText(std::string_view s);
  void SetNumber(double v);
  void SetDate(int32_t julian);
  void SetBoolean(bool b);
  void SetRaw(const void* p, size_t n);
  void AppendRaw(const void* p, size_t n);   // the type becomes raw
  void PadText(size_t length);                // blanks up to length (text only)
  void TrimText();                            // trailing blanks (text only)
  void UpperText();                           // CP1251 upper case (text only)
  void Clear() { data_.clear(); type_ = TxbVarType::None; }

  std::string AsText() const;
  double AsNumber() const;
  int32_t AsDate() const;
  bool AsBoolean() const;
  // Copies into a zero-terminated buffer of size bytes (terminator included).
  void AsBuffer(char* buffer, size_t size) const;

  // -1, 0 or 1; position receives the bytes compared. collation: optional 256-byte
  // table applied to text bytes. partialResult is returned when Self is a proper
  // prefix of a longer text Other.
  int Compare(const TxbVariant* other, size_t* position = nullptr, const uint8_t* collation = nullptr,
              int partialResult = -1) const;
  // Compares a number value as its raw bytes.
  int CompareBinary(const TxbVariant* other, size_t* position = nullptr) const;

private:
  std::vector<uint8_t> data_;
  TxbVarType type_ = TxbVarType::None;
};

// Bit set of record numbers in pages of 16384 bytes (131072 numbers each).
class TxbHugeSet {
public:
  static constexpr int64_t PageBytes = 16384;
  static constexpr int64_t PageBits = PageBytes * 8;
  // mode 0 clear, 1 set, 2 toggle. A negative n raises ERangeError.
  void SetBit(int64_t n, int mode);
  bool TestBit(int64_t n) const;
  void ClearAll();
  int64_t Highest() const { return highest_; }
  size_t PageCount() const { return pages_.size(); }

private:
  std::vector<std::unique_ptr<uint8_t[]>> pages_;
  int64_t highest_ = -1;
};

}  // namespace xb

#pragma once
// Compact storage of the client datasets: fixed-size row records in blocks,
// text in an append-only arena, and ordered indexes of row ids.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

namespace cds::detail {

// Append-only byte arena. A reference is (chunk << 32 | offset); the stored
// item is a varint length followed by the bytes. References stay valid for the
// arena's life, so copies of row records may share them.
class StringArena {
public:
  uint64_t put(std::string_view s);
  std::string_view get(uint64_t ref) const;
  size_t bytesReserved() const { return reserved_; }
  void clear();

private:
  struct Chunk {
    std::unique_ptr<char[]> data;
    size_t size = 0, used = 0;
  };
  std::vector<Chunk> chunks_;
  size_t nextSize_ = 4096;
  size_t reserved_ = 0;
};

// Row records of one fixed size, kept in blocks so that growth never copies the
// rows already stored. A block holds up to kMaxBlockRows rows and at most about
// kMaxBlockBytes (one row at least), so a dataset of few wide rows does not reserve
// room for thousands of them.
class RowStore {
public:
  static constexpr uint32_t kMaxBlockShift = 12;
  static constexpr uint32_t kMaxBlockRows = 1u << kMaxBlockShift;
  static constexpr size_t kMaxBlockBytes = size_t(256) << 10;

  void reset(size_t rowSize);
  uint32_t add();   // a zeroed record; returns its id
  uint8_t* row(uint32_t id) { return blocks_[id >> shift_].get() + (id & mask_) * rowSize_; }
  const uint8_t* row(uint32_t id) const { return blocks_[id >> shift_].get() + (id & mask_) * rowSize_; }
  uint32_t count() const { return count_; }
  size_t rowSize() const { return rowSize_; }
  uint32_t blockRows() const { return mask_ + 1; }
  size_t bytesReserved() const { return blocks_.size() * blockRows() * rowSize_; }

private:
  size_t rowSize_ = 1;
  uint32_t shift_ = kMaxBlockShift;
  uint32_t mask_ = kMaxBlockRows - 1;
  uint32_t count_ = 0;
  std::vector<std::unique_ptr<uint8_t[]>> blocks_;
};

// Row comparison used by an index: negative, zero or positive.
class RowOrder {
public:
  virtual ~RowOrder() = default;
  virtual int compareRows(uint32_t a, uint32_t b) const = 0;
};

// An ordered sequence of row ids, sorted by (key, row id), held as a list of
// sorted chunks. Insert and erase cost O(log n + chunk size); a position is a
// (chunk, offset) pair valid until the next change (see version()).
class OrderedIndex {
public:
  struct Pos {
    size_t chunk = 0, off = 0;
  };
  static constexpr size_t kMaxChunk = 1024;

  explicit OrderedIndex(const RowOrder* order) : order_(order) {}

  size_t size() const { return size_; }
  uint64_t version() const { return version_; }
  void clear();
  // Replaces the contents with ids already sorted by the order.
  void assignSorted(const std::vector<uint32_t>& ids);
  void insert(uint32_t id);
  void erase(uint32_t id);   // the row must still hold the values it was inserted with

  Pos begin() const { return Pos{0, 0}; }
  bool atEnd(Pos p) const { return p.chunk >= chunks_.size(); }
  uint32_t at(Pos p) const { return chunks_[p.chunk][p.off]; }
  Pos next(Pos p) const;
  bool prev(Pos& p) const;   // false at the first element
  size_t rank(Pos p) const;  // number of elements before p

  // First position whose id is not "before" (before(id) is true for a prefix of the order).
  template <class Before>
  Pos partition(Before before) const {
    size_t lo = 0, hi = chunks_.size();
    while (lo < hi) {
      size_t mid = (lo + hi) / 2;
      if (before(chunks_[mid].back())) lo = mid + 1;
      else hi = mid;
    }
    if (lo == chunks_.size()) return Pos{lo, 0};
    const std::vector<uint32_t>& c = chunks_[lo];
    size_t a = 0, b = c.size();
    while (a < b) {
      size_t mid = (a + b) / 2;
      if (before(c[mid])) a = mid + 1;
      else b = mid;
    }
    return Pos{lo, a};
  }
  // Position of the id (which must be present) in the order.
  Pos find(uint32_t id) const;

private:
  bool before(uint32_t a, uint32_t b) const {
    int c = order_->compareRows(a, b);
    return c < 0 || (c == 0 && a < b);
  }
  const RowOrder* order_;
  std::vector<std::vector<uint32_t>> chunks_;
  size_t size_ = 0;
  uint64_t version_ = 0;
};

}  // namespace cds::detail

#include "db/cds_storage.h"

#include <algorithm>
#include <stdexcept>

namespace cds::detail {

uint64_t StringArena::put(std::string_view s) {
  unsigned char len[10];
  size_t n = 0;
  uint64_t v = s.size();
  do {
    unsigned char b = v & 0x7f;
    v >>= 7;
    if (v) b |= 0x80;
    len[n++] = b;
  } while (v);
  size_t need = n + s.size();
  if (chunks_.empty() || chunks_.back().size - chunks_.back().used < need) {
    size_t size = nextSize_;
    if (nextSize_ < (size_t(1) << 20)) nextSize_ *= 2;
    if (size < need) size = need;
    Chunk c;
    c.data = std::make_unique<char[]>(size);
    c.size = size;
    reserved_ += size;
    if (chunks_.size() >= 0xffffffffu) throw std::length_error("text arena full");
    chunks_.push_back(std::move(c));
  }
  Chunk& c = chunks_.back();
  uint64_t ref = (static_cast<uint64_t>(chunks_.size() - 1) << 32) | c.used;
  std::memcpy(c.data.get() + c.used, len, n);
  if (!s.empty()) std::memcpy(c.data.get() + c.used + n, s.data(), s.size());
  c.used += need;
  return ref;
}

std::string_view StringArena::get(uint64_t ref) const {
  const Chunk& c = chunks_[ref >> 32];
  const unsigned char* p = reinterpret_cast<const unsigned char*>(c.data.get()) + (ref & 0xffffffffu);
  uint64_t len = 0;
  int shift = 0;
  for (;;) {
    unsigned char b = *p++;
    len |= static_cast<uint64_t>(b & 0x7f) << shift;
    if (!(b & 0x80)) break;
    shift += 7;
  }
  return std::string_view(reinterpret_cast<const char*>(p), len);
}

void StringArena::clear() {
  chunks_.clear();
  nextSize_ = 4096;
  reserved_ = 0;
}

void RowStore::reset(size_t rowSize) {
  blocks_.clear();
  count_ = 0;
  rowSize_ = rowSize ? rowSize : 1;
  shift_ = kMaxBlockShift;
  while (shift_ > 0 && (size_t(1) << shift_) * rowSize_ > kMaxBlockBytes) --shift_;
  mask_ = (1u << shift_) - 1;
}

uint32_t RowStore::add() {
  if (count_ == 0xfffffffeu) throw std::length_error("too many rows");
  if ((count_ >> shift_) >= blocks_.size()) blocks_.push_back(std::make_unique_for_overwrite<uint8_t[]>(blockRows() * rowSize_));
  uint32_t id = count_++;
  std::memset(row(id), 0, rowSize_);
  return id;
}

void OrderedIndex::clear() {
  chunks_.clear();
  size_ = 0;
  ++version_;
}

void OrderedIndex::assignSorted(const std::vector<uint32_t>& ids) {
  clear();
  const size_t fill = kMaxChunk / 2;
  for (size_t i = 0; i < ids.size(); i += fill) {
    size_t e = std::min(ids.size(), i + fill);
    chunks_.emplace_back(ids.begin() + static_cast<std::ptrdiff_t>(i), ids.begin() + static_cast<std::ptrdiff_t>(e));
  }
  size_ = ids.size();
}

void OrderedIndex::insert(uint32_t id) {
  ++version_;
  ++size_;
  if (chunks_.empty()) {
    chunks_.emplace_back(1, id);
    return;
  }
  // Fast path: appending after the last element (loads, rows in id order).
  if (before(chunks_.back().back(), id)) {
    if (chunks_.back().size() < kMaxChunk) {
      chunks_.back().push_back(id);
    } else {
      chunks_.emplace_back(1, id);
    }
    return;
  }
  Pos p = partition([&](uint32_t x) { return before(x, id); });
  if (p.chunk == chunks_.size()) {
    p.chunk = chunks_.size() - 1;
    p.off = chunks_[p.chunk].size();
  }
  std::vector<uint32_t>& c = chunks_[p.chunk];
  c.insert(c.begin() + static_cast<std::ptrdiff_t>(p.off), id);
  if (c.size() > kMaxChunk) {
    std::vector<uint32_t> tail(c.begin() + static_cast<std::ptrdiff_t>(c.size() / 2), c.end());
    c.resize(c.size() / 2);
    chunks_.insert(chunks_.begin() + static_cast<std::ptrdiff_t>(p.chunk) + 1, std::move(tail));
  }
}

OrderedIndex::Pos OrderedIndex::find(uint32_t id) const {
  Pos p = partition([&](uint32_t x) { return before(x, id); });
  if (atEnd(p) || at(p) != id) throw std::logic_error("row missing from its index");
  return p;
}

void OrderedIndex::erase(uint32_t id) {
  Pos p = find(id);
  ++version_;
  --size_;
  std::vector<uint32_t>& c = chunks_[p.chunk];
  c.erase(c.begin() + static_cast<std::ptrdiff_t>(p.off));
  if (c.empty()) chunks_.erase(chunks_.begin() + static_cast<std::ptrdiff_t>(p.chunk));
}

OrderedIndex::Pos OrderedIndex::next(Pos p) const {
  if (atEnd(p)) return p;
  if (++p.off >= chunks_[p.chunk].size()) {
    ++p.chunk;
    p.off = 0;
  }
  return p;
}

bool OrderedIndex::prev(Pos& p) const {
  if (p.off > 0) {
    --p.off;
    return true;
  }
  if (p.chunk == 0) return false;
  --p.chunk;
  p.off = chunks_[p.chunk].size() - 1;
  return true;
}

size_t OrderedIndex::rank(Pos p) const {
  size_t r = 0;
  size_t n = std::min(p.chunk, chunks_.size());
  for (size_t i = 0; i < n; ++i) r += chunks_[i].size();
  return r + (p.chunk < chunks_.size() ? p.off : 0);
}

}  // namespace cds::detail

#pragma once
// The key sorter of the index builders: one key and one record number per record
// go in, the pairs come back in key order. Memory only; no temporary files.
//
// The keys are gathered in a pool of capped size; a full pool is sorted and
// written into a run, front-coded in chunks of 16384 bytes (each record: the
// key-kind mark, the total length, the count n of trailing bytes, and those n
// bytes, which replace the last n bytes of the run's previous key). Retrieval
// merges the runs; on equal keys the earlier run comes first.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "xbase/xb_tool.h"

namespace xb {

class TxbSort {
public:
  static constexpr int MaxKeyLength = 251;
  static constexpr size_t PoolBytes = 32 * 40960;   // keys held before a run is written
  static constexpr size_t ChunkBytes = 16384;

  // keyLength 1..251; collation: 256 weights applied to character keys, or nullptr.
  TxbSort(int keyLength, const uint8_t* collation, bool ascending, bool unique);
  virtual ~TxbSort();

  // Kinds: text (trailing blanks cut), number (double), date/integer, raw bytes.
  void AddKey(const TxbVariant& key, int32_t recNo);
  // The next pair in order; false when none is left.
  bool NextKey(TxbVariant& key, int32_t& recNo);
  // Keys added so far.
  size_t KeyCount() const { return added_; }
  // Runs written so far (the pool is written into one more on the first NextKey).
  size_t RunCount() const { return runs_.size(); }

private:
  struct Run;
  // A stored key: mark, then the encoded key followed by the record number (most
  // significant byte first).
  int compare(uint8_t markA, const uint8_t* a, size_t la, uint8_t markB, const uint8_t* b, size_t lb,
              bool withRecord) const;
  void flushPool();

  int keyLength_;
  const uint8_t* collation_;
  bool ascending_, unique_;
  bool retrieving_ = false;
  size_t added_ = 0;
  std::vector<uint8_t> pool_;       // records: mark, length, bytes
  std::vector<uint32_t> offsets_;   // of the records in the pool
  std::vector<std::unique_ptr<Run>> runs_;
  std::vector<size_t> heap_;        // runs not yet exhausted, best on top
  bool haveLast_ = false;
  uint8_t lastMark_ = 0;
  std::string last_;
};

}  // namespace xb

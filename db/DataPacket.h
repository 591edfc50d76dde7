#pragma once
// Data packets of the client datasets, in their XML form and their binary form.
//
// Reading decides the form by content: the binary form starts with the bytes
// 96 19 E0 BD, the XML form with "<" (after an optional UTF-8 byte-order mark
// and blanks). The view loaded is the packet's current data: original versions
// of modified rows and deleted rows are dropped, every other row is loaded as
// an unchanged row. Text is turned into CP1251 (see DataPacket.README.md).
// Every length and count is checked against the data; a damaged or unknown
// packet raises EDBClient naming the file and, where there is one, the row and
// the field.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "db/ClientDataSet.h"

namespace cds {

// What the rows made from data packets may take in memory: a fixed allowance plus a
// multiple of the size of what they come from, a packet or an archive of packets whose
// loads share one budget. Every byte a load makes counts: the row records (with their
// state and place in the insertion order), their texts and blobs (those a modified row
// takes from its original included) and the originals a change log keeps aside. A load
// that would pass the budget raises EDBClient naming the file and gives back what it
// took; what the packets loaded before took stays taken.
class TPacketBudget {
public:
  static constexpr size_t kAllowance = size_t(32) << 20;
  static constexpr size_t kBytesPerPacketByte = 16;
  // An archive is compressed: its packets are several times its size.
  static constexpr size_t kBytesPerArchiveByte = 32;

  // The budget of one packet of `bytes` bytes.
  static TPacketBudget ForPacket(uint64_t bytes);
  // The budget shared by the packets of an archive of `bytes` bytes.
  static TPacketBudget ForArchive(uint64_t bytes);

  size_t Limit() const { return limit_; }
  size_t Used() const { return used_; }
  // Takes `bytes`; false, taking nothing, when they do not fit.
  bool Take(size_t bytes) {
    if (bytes > limit_ - used_) return false;
    used_ += bytes;
    return true;
  }
  // Gives back what a load that failed took.
  void Release(size_t bytes) { used_ -= bytes < used_ ? bytes : used_; }
  // "34 MB of memory allowed for a data packet of 4096 bytes"
  std::string Allowed() const;

private:
  TPacketBudget(uint64_t bytes, size_t perByte, const char* source);
  size_t limit_, used_ = 0;
  uint64_t sourceBytes_;
  const char* source_;
};

// Loads the file into the dataset (fields and rows; index definitions stay). The rows
// take their memory from `budget`, or from a budget of the packet's own size.
void ReadDataPacket(const std::string& fileName, TClientDataSet& ds, TPacketBudget* budget = nullptr);
// The same from bytes in memory; sourceName names the data in error texts.
void ReadDataPacketBytes(std::string_view data, const std::string& sourceName, TClientDataSet& ds,
                         TPacketBudget* budget = nullptr);
void ReadXmlPacket(std::string_view data, const std::string& sourceName, TClientDataSet& ds,
                   TPacketBudget* budget = nullptr);
void ReadBinaryPacket(std::string_view data, const std::string& sourceName, TClientDataSet& ds,
                      TPacketBudget* budget = nullptr);

// Writers (the dataset's current rows, without change log).
std::string XmlPacketOf(const TClientDataSet& ds);
std::string BinaryPacketOf(const TClientDataSet& ds);
void WriteDataPacket(const std::string& fileName, const TClientDataSet& ds, TDataPacketFormat format);

}  // namespace cds

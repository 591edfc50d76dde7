#pragma once
// Test helpers of the decoder tests: in-memory streams, a recording entry host, data makers,
// zlib/libbz2 compressors, a Deflate bit writer and a minimal ZIP reader/writer.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "archive/arcStreams.h"

namespace inflatetest {

using Bytes = std::vector<uint8_t>;

// Read-only stream over bytes; remembers the furthest byte any read touched.
class MemStream : public arc::TStream32 {
public:
  explicit MemStream(Bytes d, size_t maxPiece = SIZE_MAX) : data(std::move(d)), piece(maxPiece) {}
  int32_t Read(void* b, int32_t n) override;
  int32_t Write(const void*, int32_t) override { return 0; }
  int64_t Seek(int64_t off, arc::TSeekOrigin o) override;
  Bytes data;
  int64_t pos = 0;
  int64_t furthest = 0;  // highest end of a read
  size_t piece;          // at most this many bytes per read (short reads)
  int reads = 0;
};

// Entry host that records the output.
class RecordingHost : public arc::TArcEntryHost {
public:
  int64_t WriteOutput(const uint8_t* p, size_t n) override;
  void DecryptInput(uint8_t kind, uint8_t* p, size_t n) override;
  bool Cancelled() override { return cancel; }
  void ProcessMessages() override;

  Bytes out;
  int writes = 0;
  std::vector<size_t> writeSizes;  // the length of each write
  int pumps = 0;
  int decrypted = 0;              // bytes deciphered
  int64_t failAfter = -1;         // writes beyond this many bytes come back short
  bool throwOnWrite = false;      // a full disk: the write routine raises
  int cancelAfterWrites = -1;     // set cancel once this many writes happened
  uint8_t xorKey = 0;             // the "cipher" of the tests: XOR with a byte
  bool cancel = false;
};

// The exception the recording host throws for a full disk.
struct DiskFull : std::runtime_error {
  DiskFull() : std::runtime_error("Disk full") {}
};

// Data makers.
Bytes RandomBytes(size_t n, uint32_t seed);
Bytes XmlLike(size_t n, uint32_t seed);
Bytes Runs(size_t n, uint32_t seed);
Bytes Mixed(size_t n, uint32_t seed);

// Raw Deflate (windowBits -15) with zlib; zlib-wrapped when wrapped is true.
Bytes ZDeflate(const Bytes& in, int level, int strategy, bool wrapped = false, int memLevel = 8);
// zlib's inflate of a raw stream; ok is false when zlib fails.
Bytes ZInflate(const Bytes& in, bool& ok);
Bytes BzCompress(const Bytes& in, int blockSize100k);

// Least-significant-bit-first writer of Deflate streams.
class BitWriter {
public:
  void Bits(uint32_t v, unsigned n);
  // Huffman code written most significant bit first.
  void Code(uint32_t code, unsigned len);
  // Fixed-block codes.
  void FixedLitLen(unsigned sym);
  void FixedDist(unsigned code);
  void AlignByte();
  Bytes Finish();

private:
  Bytes out_;
  uint64_t acc_ = 0;
  unsigned n_ = 0;
};

// ZIP files: write one entry with a given method and raw data; read the first entries' data.
struct ZipEntry {
  std::string name;
  uint16_t method = 0;
  uint32_t crc = 0;
  uint64_t packed = 0;
  uint64_t unpacked = 0;
  Bytes data;  // compressed bytes
};
Bytes MakeZip(const std::vector<ZipEntry>& entries);
std::vector<ZipEntry> ReadZip(const Bytes& zip);  // via the central directory

Bytes ReadFile(const std::filesystem::path& p);
void WriteFile(const std::filesystem::path& p, const Bytes& b);
// Runs a shell command; returns its exit status.
int RunShell(const std::string& cmd);
bool HaveTool(const std::string& name);
// Fresh temporary folder for the current test.
std::filesystem::path TestDir();

}  // namespace inflatetest

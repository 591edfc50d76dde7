#pragma once
// A small ZIP writer for test fixtures: stored and deflated entries, data descriptors, ZIP64
// records, prefixes, comments and the field patches that hostile cases need.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace ziptest {

using Bytes = std::vector<uint8_t>;

struct Entry {
  std::string name;          // bytes as stored
  Bytes data;                // uncompressed content
  uint16_t method = 0;       // 0 stored, 8 deflate (zlib), anything else stored as given bytes
  uint16_t flags = 0;
  uint16_t versionMadeBy = 20;
  uint32_t extAttr = 0x20;
  uint32_t dosTime = (44u << 25) | (3u << 21) | (15u << 16) | (10u << 11) | (30u << 5) | 5u;  // 2024-03-15 10:30:10
  bool dataDescriptor = false;  // flag 8, zero CRC and sizes in the local header
  bool zip64 = false;           // 0xFFFFFFFF sizes with a ZIP64 extra in both headers
  Bytes localExtra, centralExtra;
  bool directory() const { return !name.empty() && name.back() == '/'; }
  // Patches applied after building the headers.
  int64_t crcOverride = -1;
  int64_t centralOffsetDelta = 0;
  Bytes rawPacked;  // when non-empty: packed bytes as given (method field as given)
  int64_t declaredUnpacked = -1;
  // When set: no local header or data of its own; the directory record points at the local
  // header of that earlier entry (plus centralOffsetDelta).
  int sharesHeaderOf = -1;
};

struct Options {
  Bytes prefix;               // garbage in front (offsets not adjusted)
  bool adjustOffsets = false; // offsets count the prefix (as "zip -A" does)
  std::string comment;
  bool zip64End = false;      // ZIP64 end record and locator
  uint32_t locatorTotalDisks = 1;
  Bytes zip64Extensible;      // extensible data sector of the ZIP64 end record
  bool omitCentral = false;   // local headers only (truncated at the directory)
};

Bytes Build(const std::vector<Entry>& entries, const Options& opt = {});
Bytes Deflate(const Bytes& data);
Bytes Text(const std::string& s);
Bytes Pseudo(size_t n, uint32_t seed);  // deterministic pseudo-random bytes
uint32_t Crc(const Bytes& b);

void Put16(Bytes& b, uint16_t v);
void Put32(Bytes& b, uint32_t v);
void Put64(Bytes& b, uint64_t v);

// Test helpers for files and tools.
std::string TempDir(const std::string& tag);   // fresh folder with a trailing '/'
void WriteFile(const std::string& path, const Bytes& data);
Bytes ReadFile(const std::string& path);
bool FileExists(const std::string& path);
bool HaveTool(const std::string& name);
int Shell(const std::string& cmd);  // shell command, returns exit status
std::vector<std::string> ListTree(const std::string& root);  // relative paths, sorted
std::string SourceDir();

}  // namespace ziptest

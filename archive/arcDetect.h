#pragma once
// Archive type detection and the ZIP end-record search.
#include <cstdint>
#include <functional>
#include <string>

#include "archive/arcCipher.h"
#include "archive/arcFileIo.h"
#include "archive/arcGbls.h"

namespace arc {

// Header-mode bits.
enum : uint8_t {
  hmLocal = 1, hmCentral = 2, hmEnding = 4, hmLocator = 8, hmEnding64 = 16, hmExe = 32
};

struct TEndRecord {
  uint32_t sig = 0;
  uint16_t thisDisk = 0, cdDisk = 0, entriesThisDisk = 0, totalEntries = 0;
  uint32_t cdSize = 0;
  uint64_t cdOffset = 0;  // 32-bit field, 64-bit in the extended form
  uint16_t commentLen = 0;
  uint64_t pos = 0;       // where the record was found
};

struct TZip64Locator {
  uint32_t disk = 0;
  uint64_t offset = 0;
  uint32_t totalDisks = 0;
};

struct TZip64End {
  uint64_t recSize = 0;
  uint16_t madeBy = 0, needed = 0;
  uint32_t disk = 0, cdDisk = 0;
  uint64_t entriesThisDisk = 0, totalEntries = 0, cdSize = 0, cdOffset = 0;
  uint64_t pos = 0;
};

struct DetectResult {
  TArcType type = TArcType::atNA;
  uint64_t size = 0;
  int64_t startOffset = -1;
  int64_t correction = 0;
  uint8_t headerMode = 0;
  TEndRecord end;
  TZip64Locator locator;
  TZip64End end64;
  char volumeLetter = 0;
  int32_t firstVolume = 0;
  int32_t currentVolume = 0;

  // Effective figures of the central directory (ZIP64 values where present).
  uint32_t lastDisk() const { return (headerMode & hmEnding64) ? end64.disk : end.thisDisk; }
  uint32_t cdDisk() const { return (headerMode & hmEnding64) ? end64.cdDisk : end.cdDisk; }
  uint64_t cdSize() const { return (headerMode & hmEnding64) ? end64.cdSize : end.cdSize; }
  uint64_t totalEntries() const { return (headerMode & hmEnding64) ? end64.totalEntries : end.totalEntries; }
  // Number of volumes of a set.
  int32_t volumes() const {
    return static_cast<int32_t>(((headerMode & hmLocator) && locator.totalDisks > 0) ? locator.totalDisks
                                                                                    : lastDisk() + 1);
  }
};

struct DetectContext {
  std::string fileName;  // for the .jar rule and reports
  // Step 8: the volume kind of a set (atZipDS, atZipMV or atNA); null gives atZipMV.
  std::function<TArcType()> volumeKind;
  // Reports 25114 and the like (file name, volume id, code).
  std::function<void(const std::string&, const std::string&, int32_t)> report;
  // Enciphered headers; null when no cipher is available.
  std::function<std::unique_ptr<TraditionalCipher>()> headerCipher;
  TSeedKeyRecord headerKeys = kDefaultHeaderKeys;
};

// Detects the kind of the archive in src. Reads a bounded amount whatever the size.
DetectResult GetArcType(ByteSource& src, const DetectContext& ctx);

// Searches the end record from startOffset; returns the central-directory offset (or the
// first local header with header mode 1), or -1. Fills the records of r.
int64_t FindEndRecord(ByteSource& src, uint64_t startOffset, DetectResult& r, const DetectContext& ctx);

// Self-extractor probe (volume letter and numbers) for ACE, ARJ, JAR and RAR kinds.
void ProbeVolumeNumbers(const std::string& fileName, DetectResult& r);

// Signature classifier: start column (inside = false) or self-extractor column.
TArcType ClassifySignature(const uint8_t* p, size_t n, bool inside, int64_t& offsetAdjust);

inline uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
inline uint32_t Get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}
inline uint64_t Get64(const uint8_t* p) { return Get32(p) | static_cast<uint64_t>(Get32(p + 4)) << 32; }

// Signature forms: "P" + K/L/M/N (+ "[" / "\" for end records) + the two id bytes.
bool IsLocalSig(const uint8_t* p);
bool IsCentralSig(const uint8_t* p);
bool IsEndSig(const uint8_t* p);
bool IsEncipheredSig(const uint8_t* p);  // "PL", "PN", "P[", "P\"

}  // namespace arc

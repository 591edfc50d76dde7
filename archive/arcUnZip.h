#pragma once
// TUnZip: the ZIP extraction component. ExtractIt walks the central directory (or scans the
// local headers when there is none), collects the entries selected by the masks, and extracts
// each one: begin decision and overwrite rules, safe output path, password, decoder, CRC,
// file time and attributes.
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "archive/arcBase.h"
#include "archive/arcMask.h"

namespace arc {

// Encryption kinds of an entry.
enum : uint8_t { ekAE1_128 = 0, ekAE2_128 = 3, ekTraditional = 6, ekNone = 13, ekUnsupported = 14 };

// One entry as the listing pass collected it.
struct TZipEntry {
  bool central = true;       // from the central directory (else from a local header)
  uint16_t versionMadeBy = 0;
  uint16_t flags = 0;
  uint16_t method = 0;
  uint32_t dosTime = 0;
  uint32_t crc = 0;
  uint64_t packed = 0, unpacked = 0;
  uint32_t disk = 0;         // 0-based disk of the local header
  uint64_t localOffset = 0;  // corrected offset of the local header on its disk
  uint32_t extAttr = 0;
  std::string rawName;       // as stored (deciphered)
  std::string name;          // CP1251, "/" between folders
  bool nameValid = true;     // false for a name with NUL, control characters or bad UTF-8
  bool nameExact = true;     // false when the code page could not hold every character of the name
  uint8_t encKind = ekNone;
  // WinZip AES extra
  uint16_t aesVersion = 0;
  uint8_t aesStrength = 0;
  uint16_t aesMethod = 0;
  // Where the entry's local header, name, extra field and data end (when the listing read its
  // local header; in a set of volumes, where at least its header and data end); an entry whose
  // header or data lies inside an earlier entry's range overlaps it and is never written.
  uint64_t localEnd = 0;
  bool ranged = false;
  bool overlaps = false;
  bool isDir() const { return !name.empty() && (name.back() == '/' || name.back() == '\\'); }
};

// Result of the output-path builder.
struct TOutputPath {
  bool safe = false;
  bool directory = false;
  std::string path;  // absolute, under the target folder
};

// Builds the output path of an entry name (CP1251 text) below extractDir (absolute, with "/").
// Refuses names with NUL or control characters, a ".." part, or a result outside extractDir.
TOutputPath BuildOutputPath(const std::string& name, const std::string& extractDir, bool useStoredDirs);

// Converts a stored entry name to CP1251: UTF-8 (flag bit 11), OEM (translateOem) or as stored.
// Returns false for a name that is not valid text (invalid UTF-8, NUL or control characters).
// exact (when given) tells whether CP1251 held every character of a UTF-8 name: one with
// characters outside it comes back with '?' in their place, which other entries' names may share.
bool ConvertEntryName(const std::string& raw, bool utf8, bool translateOem, std::string& out,
                      bool* exact = nullptr);

class TUnZip : public TUnBase {
public:
  explicit TUnZip(Services services = Services::posix());
  ~TUnZip() override;

  // The entries the last listing pass selected (kept until the next run).
  const std::vector<TZipEntry>& Entries() const { return entries_; }
  // Lists the selected entries without writing anything; returns their number.
  int32_t List();
  // Methods whose decoders are built in.
  static bool MethodSupported(uint16_t method);

protected:
  void ExtractIt(ByteSource* archive) override;
  bool SkipFolderCheck() const override { return listOnly_; }

private:
  class Volumes;
  class EntryReader;
  struct Sink;

  void CentralScan(Volumes& vols, uint64_t start);
  void LocalScan(Volumes& vols, uint64_t start);
  void ParseExtra(const uint8_t* p, size_t n, TZipEntry& e, bool central);
  void Consider(TZipEntry& e, ByteSource* single);
  // The output path that reports about an entry name; its name when it has none.
  std::string ReportPath(const TZipEntry& e) const;
  void MarkOverlaps(const Volumes& vols);
  void ExtractPass(Volumes& vols);
  void ExtractEntry(Volumes& vols, TZipEntry& e, uint32_t dataDisk, uint64_t dataOffset, uint32_t expectedCrc,
                    bool localNameDiffers);
  bool BeginDecision(std::string& path, bool directory);
  bool MakeFolders(const std::string& folder);
  bool PasswordCheck(EntryReader& in, TZipEntry& e, std::unique_ptr<TraditionalCipher>& trad,
                     std::unique_ptr<AesDecrypter>& aes);
  void CrcCheck(bool pass);
  // An approved entry that is not written: 25235 for its output with the reason, and OnEnd
  // with False; never counted.
  void RefuseEntry(const std::string& path, const std::string& why);
  std::unique_ptr<ByteSource> OpenVolume(int32_t volume, int32_t volumes, int64_t pos);

  std::vector<TZipEntry> entries_;
  std::vector<std::string> madeFolders_;
  std::set<std::string> outputs_;  // the output paths of the files and folders the run made
  std::string currentPassword_;
  bool listOnly_ = false;
  int64_t localCorrection_ = 0;
  bool localCorrected_ = false;
  bool dsFirstAsked_ = false;
  bool entryCounted_ = false, entryEnded_ = false;
  std::unique_ptr<EntrySelection> selection_;
  uint64_t progressTotal_ = 0, progressDone_ = 0;
};

}  // namespace arc

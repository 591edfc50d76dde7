#pragma once
// Shared definitions of the archive components: error codes and their texts, archive
// kinds, the exception of the subsystem, and the small date, percentage, volume-name
// and text routines.
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

#include "platform/exception.h"

namespace arc {

// Error codes reported through OnError (texts: ErrorText).
enum ErrorCode : int32_t {
  E_BadFileHeader = 25114,
  E_BadLocalOffset = 25115,
  E_BadBlock = 25116,
  E_BrokenVolumeChain = 25135,
  E_WriteError = 25136,
  E_AttribOverwrite = 25137,
  E_CloseError = 25142,
  E_CrcFail = 25151,
  E_InvalidDir = 25158,
  E_DiskFull = 25160,
  E_NotAccessible = 25170,
  E_DirWriteProtected = 25171,
  E_DiskWriteProtected = 25172,
  E_EofNotFound = 25173,
  E_FileNotFound = 25192,
  E_OpenError = 25235,
  E_ReadError = 25236,
  E_InvalidArcType = 25244,
  E_MaxVolumes = 25251,
  E_OutOfMemory = 25253,
  E_UnrarMissing = 25260,
  E_EventNotAssigned = 25270,
  E_StackOverflow = 25305,
  E_UnsupportedMethod = 25326,
  E_UnsupportedEncryption = 25327,
  E_UserCanceled = 25443,
  E_InvalidPassword = 26517,
};

// English text of a code; an empty view for a code outside the table.
std::string_view ErrorText(int32_t code);
bool IsKnownErrorCode(int32_t code);

// The exception of the subsystem (raised for a full disk).
class E_RAISE : public platform::Exception {
public:
  E_RAISE(int32_t code, std::string fileName, std::string extendedMsg, std::string volumeId);
  const char* className() const noexcept override { return "E_RAISE"; }
  int32_t code() const noexcept { return code_; }
  const std::string& fileName() const noexcept { return fileName_; }
  const std::string& extendedMsg() const noexcept { return extendedMsg_; }
  const std::string& volumeId() const noexcept { return volumeId_; }

private:
  int32_t code_;
  std::string fileName_, extendedMsg_, volumeId_;
};

// Archive kinds, ordinal values as stored.
enum class TArcType : uint8_t {
  atNA, atUnsupported, atFileOpenErr, atUnknown, atAce, atAceExe, atArc, atArcExe, atArj, atArjExe,
  atB64, atBh, atBhExe, atBz2, atCab, atCabExe, atGZip, atHA, atJar, atJarExe, atLha, atLhaExe,
  atLzh, atLzhExe, atMsGZ, atPak, atPakExe, atRar, atRarExe, atTar, atTarGZip, atTarBZip, atUUE,
  atZip, atZipExe, atZipDS, atZipMV, atZoo
};
constexpr int kArcTypeCount = 38;

// The 10-character display name of a kind (listings).
std::string_view ArcTypeName(TArcType t);
// atNA, atUnsupported, atFileOpenErr and atUnknown are not valid kinds.
bool IsValidArcType(TArcType t);
// Kinds read by an outside library (no stream is opened for them).
bool IsOutsideLibraryType(TArcType t);
// The kinds TUnZip reads.
bool IsZipType(TArcType t);

enum class TOverwriteMode : uint8_t { omOverwrite, omSkip };
enum class TDateAttribute : uint8_t { daFileDate, daSysDate, daMaxFileDate };
enum class TCpuType : uint8_t { cptAuto, cpt386, cptPentium, cptPentiumPro };

// Header kinds seen by detection; THeaderTypeState is a bit set of (1 << THeaderType).
enum THeaderType : uint8_t { htLocal, htCentral, htEnding, htLocator, htEnding64, htSfx, htNone };
using THeaderTypeState = uint8_t;

// The three keys of the traditional cipher.
struct TSeedKeyRecord {
  uint32_t Key0 = 0, Key1 = 0, Key2 = 0;
  bool operator==(const TSeedKeyRecord&) const = default;
};
inline constexpr TSeedKeyRecord kDefaultDataKeys{305419896u, 591751049u, 878082192u};
inline constexpr TSeedKeyRecord kDefaultHeaderKeys{418553907u, 71920546u, 602274813u};

// SeedDataKeys and SeedHeaderKeys of a component: the seed of one key set (data or header) and its
// working keys. Reading a key gives the working key (as the last password check or header record
// left it), writing sets it; the seed stays, so every key initialisation (a password check, a
// header record) starts from the set's seed again.
class TSeedKeys {
public:
  explicit TSeedKeys(bool headerSet)
      : FHeaderSet(headerSet), FSeed(headerSet ? kDefaultHeaderKeys : kDefaultDataKeys), FWork(FSeed) {}
  bool HeaderSet() const { return FHeaderSet; }
  uint32_t Key0() const { return FWork.Key0; }
  uint32_t Key1() const { return FWork.Key1; }
  uint32_t Key2() const { return FWork.Key2; }
  void SetKey0(uint32_t v) { FWork.Key0 = v; }
  void SetKey1(uint32_t v) { FWork.Key1 = v; }
  void SetKey2(uint32_t v) { FWork.Key2 = v; }
  // The working keys as a password check or a deciphered header record left them.
  void SetKeys(const TSeedKeyRecord& k) { FWork = k; }
  const TSeedKeyRecord& Keys() const { return FWork; }
  // Where key initialisation starts.
  const TSeedKeyRecord& Seed() const { return FSeed; }

private:
  bool FHeaderSet;
  TSeedKeyRecord FSeed;
  TSeedKeyRecord FWork;
};

// part * 100 / total rounded to the nearest integer, limited to 0..100; 0 for a total of 0.
uint8_t Percentage(int64_t part, int64_t total);

// A DOS date-time split into its fields; invalid values (0 included) give 1980-01-01 00:01:00.
struct DosDateTime {
  int year = 1980, month = 1, day = 1, hour = 0, minute = 1, second = 0;
};
DosDateTime DecodeDosDateTime(uint32_t dos);
// Local time (seconds since the epoch) of a DOS date-time, through the same rule.
std::time_t DosDateTimeToUnix(uint32_t dos);
// DOS packing of a local time; times before 1980 give 1980-01-01 00:01:00.
uint32_t UnixToDosDateTime(std::time_t t);
constexpr uint32_t kDefaultDosDateTime = (0u << 25 | 1u << 21 | 1u << 16) | (0u << 11 | 1u << 5);

// Name of volume i (from 1) of a multi-volume ZIP set: ".z01", ".z02"...; the archive itself
// when i reaches the number of volumes. Empty when i is above 999.
std::string ZipVolumeName(const std::string& archive, int32_t i, int32_t volumes);
// Volume names of RAR/ACE/ARJ sets: ".partNN.rar" counting, else letter + two digits.
std::string OtherVolumeName(const std::string& archive, int32_t i, char& letter);

// Tests of the file head.
bool IsGZipWord(uint16_t w);
bool IsBZip2Head(const uint8_t* p, size_t n);
bool IsExtEndSignature(uint32_t sig);

// Cuts text before the first delimiter and returns it; text keeps what follows the delimiter.
std::string Split(std::string& text, std::string_view delimiter);

// Folder part of a path (with the trailing '/'), empty when there is none.
std::string ExtractFilePath(const std::string& path);
// Adds '/' unless the path ends with one; an empty path stays empty.
std::string AppendSlash(const std::string& path);
// Lower-case extension with the dot (".zip"), empty without one.
std::string LowerExt(const std::string& path);
// At least 3 characters and beginning "\\".
bool IsUNCPath(const std::string& path);

// Method display name for listings.
std::string MethodName(uint16_t method, uint16_t flags, bool directory);

}  // namespace arc

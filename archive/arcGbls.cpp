#include "archive/arcGbls.h"

#include <algorithm>
#include <charconv>
#include <cstring>

namespace arc {

namespace {
struct CodeText {
  int32_t code;
  const char* text;
};
constexpr CodeText kTexts[] = {
    {E_BadFileHeader, "Bad file header"},
    {E_BadLocalOffset, "Bad offset to local header"},
    {E_BadBlock, "Bad block"},
    {E_BrokenVolumeChain, "Broken multi-volume chain"},
    {E_WriteError, "Error writing to file"},
    {E_AttribOverwrite, "Unsupported file attrib for overwrite"},
    {E_CloseError, "Error closing file"},
    {E_CrcFail, "File fails CRC check"},
    {E_InvalidDir, "Invalid directory"},
    {E_DiskFull, "Disk full"},
    {E_NotAccessible, "is not accessible"},
    {E_DirWriteProtected, "directory is write protected"},
    {E_DiskWriteProtected, "disk is write protected"},
    {E_EofNotFound, "EOF not found"},
    {E_FileNotFound, "File not found"},
    {E_OpenError, "Error opening file"},
    {E_ReadError, "Error reading file or unexpected end of file"},
    {E_InvalidArcType, "Invalid or unsupported archive type for this operation"},
    {E_MaxVolumes, "Maximum volumes 999"},
    {E_OutOfMemory, "Out of memory"},
    {E_UnrarMissing, "Unrar?.dll not found"},
    {E_EventNotAssigned, "Required event not assigned"},
    {E_StackOverflow, "Stack overflow"},
    {E_UnsupportedMethod, "Unsupported compression method"},
    {E_UnsupportedEncryption, "Unsupported password encryption"},
    {E_UserCanceled, "User canceled"},
    {E_InvalidPassword, "Invalid password"},
};

constexpr const char* kTypeNames[kArcTypeCount] = {
    "Not avail. ", "Unsupport.", "File Error", "Unknown   ", "ACE       ", "ACE SFX   ", "ARC       ",
    "ARC SFX   ", "ARJ       ", "ARJ SFX   ", "Base64    ", "BH        ", "BH  SFX   ", "BZ2       ",
    "CAB       ", "CAB SFX   ", "GZip      ", "HA        ", "Java JAR  ", "JJAR SFX  ", "LHA       ",
    "LHA SFX   ", "LZH       ", "LZH SFX   ", "MsGZ     \t", "PAK       ", "PAK SFX   ", "RAR       ",
    "RAR SFX   ", "TAR       ", "TarGzip   ", "TarBzip   ", "UUE       ", "ZIP       ", "ZIP SFX   ",
    "Zip Span  ", "Zip MVol  ", "ZOO       "};

bool ValidDate(int y, int m, int d) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (m < 1 || m > 12 || d < 1) return false;
  int dim = kDays[m - 1];
  if (m == 2 && ((y % 4 == 0 && y % 100 != 0) || y % 400 == 0)) dim = 29;
  return d <= dim;
}

std::string TwoDigits(int32_t n) {
  char buf[16];
  auto r = std::to_chars(buf, buf + sizeof buf, n);
  std::string s(buf, r.ptr);
  if (s.size() < 2) s.insert(0, 2 - s.size(), '0');
  return s;
}
}  // namespace

std::string_view ErrorText(int32_t code) {
  for (const auto& ct : kTexts)
    if (ct.code == code) return ct.text;
  return {};
}

bool IsKnownErrorCode(int32_t code) { return !ErrorText(code).empty(); }

E_RAISE::E_RAISE(int32_t code, std::string fileName, std::string extendedMsg, std::string volumeId)
    : platform::Exception(std::string(ErrorText(code))), code_(code), fileName_(std::move(fileName)),
      extendedMsg_(std::move(extendedMsg)), volumeId_(std::move(volumeId)) {}

std::string_view ArcTypeName(TArcType t) {
  auto i = static_cast<size_t>(t);
  return i < kArcTypeCount ? kTypeNames[i] : kTypeNames[0];
}

bool IsValidArcType(TArcType t) {
  return t != TArcType::atNA && t != TArcType::atUnsupported && t != TArcType::atFileOpenErr &&
         t != TArcType::atUnknown;
}

bool IsOutsideLibraryType(TArcType t) {
  switch (t) {
    case TArcType::atAce: case TArcType::atAceExe: case TArcType::atCab: case TArcType::atCabExe:
    case TArcType::atRar: case TArcType::atRarExe: return true;
    default: return false;
  }
}

bool IsZipType(TArcType t) {
  switch (t) {
    case TArcType::atZip: case TArcType::atZipExe: case TArcType::atZipDS: case TArcType::atZipMV:
    case TArcType::atJar: case TArcType::atJarExe: return true;
    default: return false;
  }
}

uint8_t Percentage(int64_t part, int64_t total) {
  if (total <= 0 || part <= 0) return 0;
  if (part >= total) return 100;
  // part < total here, so part * 100 fits whenever part fits in 57 bits; fall back to long double.
  long double v = static_cast<long double>(part) * 100.0L / static_cast<long double>(total);
  auto r = static_cast<int64_t>(v + 0.5L);
  return static_cast<uint8_t>(std::clamp<int64_t>(r, 0, 100));
}

DosDateTime DecodeDosDateTime(uint32_t dos) {
  DosDateTime r;
  if (dos == 0) return r;
  int year = static_cast<int>(dos >> 25) + 1980;
  int month = static_cast<int>((dos >> 21) & 15);
  int day = static_cast<int>((dos >> 16) & 31);
  int hour = static_cast<int>((dos >> 11) & 31);
  int minute = static_cast<int>((dos >> 5) & 63);
  int second = static_cast<int>(dos & 31) * 2;
  if (!ValidDate(year, month, day) || hour > 23 || minute > 59 || second > 59) return r;
  return DosDateTime{year, month, day, hour, minute, second};
}

std::time_t DosDateTimeToUnix(uint32_t dos) {
  DosDateTime d = DecodeDosDateTime(dos);
  std::tm tm{};
  tm.tm_year = d.year - 1900;
  tm.tm_mon = d.month - 1;
  tm.tm_mday = d.day;
  tm.tm_hour = d.hour;
  tm.tm_min = d.minute;
  tm.tm_sec = d.second;
  tm.tm_isdst = -1;
  return std::mktime(&tm);
}

uint32_t UnixToDosDateTime(std::time_t t) {
  std::tm tm{};
  if (!localtime_r(&t, &tm) || tm.tm_year < 80 || tm.tm_year > 207) return kDefaultDosDateTime;
  return static_cast<uint32_t>(tm.tm_year - 80) << 25 | static_cast<uint32_t>(tm.tm_mon + 1) << 21 |
         static_cast<uint32_t>(tm.tm_mday) << 16 | static_cast<uint32_t>(tm.tm_hour) << 11 |
         static_cast<uint32_t>(tm.tm_min) << 5 | static_cast<uint32_t>(std::min(tm.tm_sec, 59) / 2);
}

namespace {
// Position of the extension's dot, npos when the last part has none.
size_t ExtDot(const std::string& path) {
  size_t slash = path.find_last_of('/');
  size_t dot = path.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return std::string::npos;
  return dot;
}
}  // namespace

std::string ZipVolumeName(const std::string& archive, int32_t i, int32_t volumes) {
  if (i > 999 || i < 1) return {};
  if (i >= volumes) return archive;
  size_t dot = ExtDot(archive);
  std::string base = dot == std::string::npos ? archive : archive.substr(0, dot);
  return base + ".z" + TwoDigits(i);
}

std::string OtherVolumeName(const std::string& archive, int32_t i, char& letter) {
  std::string lower = archive;
  for (auto& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (lower.size() > 4 && lower.compare(lower.size() - 4, 4, ".rar") == 0) {
    size_t end = lower.size() - 4;
    size_t digits = end;
    while (digits > 0 && std::isdigit(static_cast<unsigned char>(lower[digits - 1]))) --digits;
    if (digits < end && digits >= 5 && lower.compare(digits - 5, 5, ".part") == 0) {
      std::string num = std::to_string(i + 2);
      size_t width = end - digits;
      if (num.size() < width) num.insert(0, width - num.size(), '0');
      return archive.substr(0, digits) + num + archive.substr(end);
    }
  }
  int32_t n = i % 100;
  if (n == 0 && i > 0) letter = static_cast<char>(letter + 1);
  size_t dot = ExtDot(archive);
  std::string base = dot == std::string::npos ? archive : archive.substr(0, dot);
  return base + "." + letter + TwoDigits(n);
}

bool IsGZipWord(uint16_t w) {
  uint8_t b0 = w & 0xFF, b1 = w >> 8;
  return b0 == 0x1F && (b1 == 0x8B || b1 == 0x9E || b1 == 0x9D || b1 == 0xA0 || b1 == 0x1E);
}

bool IsBZip2Head(const uint8_t* p, size_t n) {
  return n >= 10 && p[0] == 'B' && p[1] == 'Z' && p[2] == 'h' && std::memcmp(p + 4, "1AY&SY", 6) == 0;
}

bool IsExtEndSignature(uint32_t sig) { return sig == 0x06055B50u || sig == 0x06055C50u; }

std::string Split(std::string& text, std::string_view delimiter) {
  size_t p = delimiter.empty() ? std::string::npos : text.find(delimiter);
  if (p == std::string::npos) {
    std::string head = std::move(text);
    text.clear();
    return head;
  }
  std::string head = text.substr(0, p);
  text.erase(0, p + delimiter.size());
  return head;
}

std::string ExtractFilePath(const std::string& path) {
  size_t p = path.find_last_of('/');
  return p == std::string::npos ? std::string() : path.substr(0, p + 1);
}

std::string AppendSlash(const std::string& path) {
  if (path.empty() || path.back() == '/') return path;
  return path + '/';
}

std::string LowerExt(const std::string& path) {
  size_t dot = ExtDot(path);
  if (dot == std::string::npos) return {};
  std::string e = path.substr(dot);
  for (auto& c : e) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return e;
}

bool IsUNCPath(const std::string& path) { return path.size() >= 3 && path[0] == '\\' && path[1] == '\\'; }

std::string MethodName(uint16_t method, uint16_t flags, bool directory) {
  if (directory) return "<Dir>";
  static const char* kZip[] = {"Stored", "Shrunk", "Reduce-1", "Reduce-2", "Reduce-3", "Reduce-4", "Imploded",
                               "Tokened"};
  static const char* kSuffix[] = {"N", "X", "F", "S"};
  unsigned opt = (flags >> 1) & 3;
  if (method < 8) return kZip[method];
  if (method == 8) return std::string("DFLT-") + kSuffix[opt];
  if (method == 9) return std::string("DFLT-64") + kSuffix[opt];
  if (method == 12) return std::string("BZip2-") + kSuffix[opt];
  return "Unknown";
}

}  // namespace arc

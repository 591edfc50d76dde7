// A stand-in of the outside RAR library for the tests: the same seven entry points over stored
// (method 0x30) RAR 2.9 archives. Encrypted files take the password "secret" (their data is
// XORed with it); a file split onto a next volume asks for that volume through the callback.
// Every file processed is noted with its operation ("name=operation;"), for the tests to read.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "archive/arcUnRarLib.h"

using namespace arc::unrar;

namespace {
struct File {
  std::string name;
  std::wstring wname;
  unsigned flags = 0, pack = 0, unp = 0, host = 0, crc = 0, time = 0, attr = 0;
  std::vector<unsigned char> data;
};
struct Archive {
  std::vector<File> files;
  size_t next = 0;  // the file of the next header read
  bool headerRead = false;
  UNRARCALLBACK cb = nullptr;
  LPARAM user = 0;
  std::string password;
  std::string path;
};

std::string gOperations;

unsigned Get16(const unsigned char* p) { return p[0] | p[1] << 8; }
unsigned Get32(const unsigned char* p) {
  return static_cast<unsigned>(p[0]) | static_cast<unsigned>(p[1]) << 8 | static_cast<unsigned>(p[2]) << 16 |
         static_cast<unsigned>(p[3]) << 24;
}

std::wstring DecodeUnicode(const unsigned char* p, size_t n, size_t asciiLen) {
  std::wstring w;
  size_t i = asciiLen + 1;
  if (i >= n) return w;
  const unsigned high = p[i++];
  while (i < n) {
    const unsigned flags = p[i++];
    for (int j = 0; j < 4 && i < n; ++j) {
      const unsigned op = (flags >> (6 - 2 * j)) & 3;
      if (op == 0) {
        w.push_back(static_cast<wchar_t>(p[i++]));
      } else if (op == 1) {
        w.push_back(static_cast<wchar_t>(p[i++] | high << 8));
      } else if (op == 2 && i + 1 < n) {
        w.push_back(static_cast<wchar_t>(p[i] | p[i + 1] << 8));
        i += 2;
      } else {
        return w;
      }
    }
  }
  return w;
}

bool Parse(const std::string& path, Archive& a) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  std::vector<unsigned char> b;
  unsigned char buf[65536];
  size_t k;
  while ((k = std::fread(buf, 1, sizeof buf, f)) > 0) b.insert(b.end(), buf, buf + k);
  std::fclose(f);
  if (b.size() < 7 || std::memcmp(b.data(), "Rar!\x1a\x07\x00", 7) != 0) return false;
  size_t pos = 7;
  while (pos + 7 <= b.size()) {
    const unsigned type = b[pos + 2], flags = Get16(&b[pos + 3]), size = Get16(&b[pos + 5]);
    if (size < 7 || pos + size > b.size()) return false;
    size_t add = 0;
    if (flags & 0x8000) {
      if (size < 11) return false;
      add = Get32(&b[pos + 7]);
    }
    if (type == 0x74) {
      const unsigned char* h = &b[pos + 7];
      if (size < 7 + 25) return false;
      File fl;
      fl.flags = flags;
      fl.pack = Get32(h);
      fl.unp = Get32(h + 4);
      fl.host = h[8];
      fl.crc = Get32(h + 9);
      fl.time = Get32(h + 13);
      const unsigned nameSize = Get16(h + 19);
      fl.attr = Get32(h + 21);
      if (32 + nameSize > size) return false;
      const unsigned char* nm = h + 25;
      size_t asciiLen = strnlen(reinterpret_cast<const char*>(nm), nameSize);
      fl.name.assign(reinterpret_cast<const char*>(nm), asciiLen);
      if (flags & 0x200) fl.wname = DecodeUnicode(nm, nameSize, asciiLen);
      if (pos + size + fl.pack > b.size()) return false;
      fl.data.assign(b.begin() + static_cast<long>(pos + size), b.begin() + static_cast<long>(pos + size + fl.pack));
      a.files.push_back(fl);
    } else if (type == 0x7b) {
      break;
    }
    pos += size + add;
  }
  return true;
}
}  // namespace

extern "C" {

// The operations of the files processed since the last call, and forgets them.
const char* FakeUnrarOperations() {
  static std::string last;
  last = gOperations;
  gOperations.clear();
  return last.c_str();
}

void* RAROpenArchive(RAROpenArchiveData* d) {
  d->OpenResult = ERAR_EOPEN;
  return nullptr;
}

void* RAROpenArchiveEx(RAROpenArchiveDataEx* d) {
  auto* a = new Archive;
  a->path = d->ArcName ? d->ArcName : "";
  if (d->OpenMode != RAR_OM_EXTRACT || !Parse(a->path, *a)) {
    d->OpenResult = a->path.find("bad") != std::string::npos ? ERAR_BAD_ARCHIVE : ERAR_EOPEN;
    delete a;
    return nullptr;
  }
  d->OpenResult = 0;
  return a;
}

int RARCloseArchive(void* h) {
  delete static_cast<Archive*>(h);
  return 0;
}

int RARReadHeader(void*, RARHeaderData*) { return ERAR_BAD_DATA; }

int RARReadHeaderEx(void* h, RARHeaderDataEx* d) {
  auto* a = static_cast<Archive*>(h);
  if (a->headerRead) ++a->next;  // a header read without processing skips the file
  if (a->next >= a->files.size()) return ERAR_END_ARCHIVE;
  const File& f = a->files[a->next];
  a->headerRead = true;
  std::memset(d->FileName, 0, sizeof d->FileName);
  std::memset(d->FileNameW, 0, sizeof d->FileNameW);
  std::snprintf(d->FileName, sizeof d->FileName, "%s", f.name.c_str());
  const std::wstring w = f.wname.empty() ? std::wstring(f.name.begin(), f.name.end()) : f.wname;
  for (size_t i = 0; i < w.size() && i + 1 < 1024; ++i) d->FileNameW[i] = w[i];
  d->Flags = f.flags;
  d->PackSize = f.pack;
  d->UnpSize = f.unp;
  d->UnpSizeHigh = 0;
  d->HostOS = f.host;
  d->FileCRC = f.crc;
  d->FileTime = f.time;
  d->Method = 0x30;
  d->FileAttr = f.attr;
  return 0;
}

int RARProcessFile(void* h, int op, char* destPath, char* destName) {
  auto* a = static_cast<Archive*>(h);
  if (!a->headerRead || a->next >= a->files.size()) return ERAR_BAD_DATA;
  const File& f = a->files[a->next];
  a->headerRead = false;
  ++a->next;
  gOperations += f.name + "=" + std::to_string(op) + ";";
  if (op == RAR_SKIP) return 0;
  if ((f.flags & 0xE0) == 0xE0) {  // a folder: made under its target name
    if (op != RAR_EXTRACT) return 0;
    if (!destName || (::mkdir(destName, 0777) != 0 && errno != EEXIST)) return ERAR_ECREATE;
    return 0;
  }
  std::vector<unsigned char> data = f.data;
  if (f.flags & 0x04) {
    if (a->password.empty()) {
      char pw[128] = {};
      if (!a->cb || a->cb(UCM_NEEDPASSWORD, a->user, reinterpret_cast<LPARAM>(pw), sizeof pw) < 0)
        return ERAR_MISSING_PASSWORD;
      a->password.assign(pw, strnlen(pw, sizeof pw));
    }
    if (a->password != "secret") return ERAR_MISSING_PASSWORD;
    for (size_t i = 0; i < data.size(); ++i) data[i] ^= static_cast<unsigned char>(a->password[i % 6]);
  }
  FILE* out = nullptr;
  if (op == RAR_EXTRACT) {
    std::string name = destName ? destName : (destPath ? std::string(destPath) + "/" + f.name : f.name);
    out = std::fopen(name.c_str(), "wb");
    if (!out) return ERAR_ECREATE;
  }
  int result = 0;
  for (size_t i = 0; i < data.size(); i += 1000) {
    const size_t n = std::min<size_t>(1000, data.size() - i);
    if (out && std::fwrite(&data[i], 1, n, out) != n) {
      result = ERAR_EWRITE;
      break;
    }
    if (a->cb && a->cb(UCM_PROCESSDATA, a->user, reinterpret_cast<LPARAM>(&data[i]), static_cast<LPARAM>(n)) < 0) {
      result = ERAR_UNKNOWN;
      break;
    }
  }
  if (out) std::fclose(out);
  if (result == 0 && (f.flags & 0x02)) {  // continued on the next volume
    char next[1024] = {};
    std::snprintf(next, sizeof next, "%s.next", a->path.c_str());
    if (!a->cb || a->cb(UCM_CHANGEVOLUME, a->user, reinterpret_cast<LPARAM>(next), RAR_VOL_ASK) < 0)
      result = ERAR_EOPEN;
  }
  return result;
}

void RARSetCallback(void* h, UNRARCALLBACK cb, LPARAM user) {
  auto* a = static_cast<Archive*>(h);
  a->cb = cb;
  a->user = user;
}

}  // extern "C"

#include "archive/arcUnRar.h"

#include <dlfcn.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <set>

#include "archive/arcCrc32.h"
#include "archive/arcMask.h"
#include "archive/arcUnRarLib.h"
#include "archive/arcUnZip.h"
#include "platform/codepage.h"

namespace arc {

using namespace unrar;

// ---------------------------------------------------------------- the library

namespace {
void* FallbackOpen(RAROpenArchiveData*) { return nullptr; }  // result 15 through OpenResult
void* FallbackOpenEx(RAROpenArchiveDataEx* d) {
  if (d) d->OpenResult = ERAR_EOPEN;
  return nullptr;
}
int FallbackClose(void*) { return 0; }
int FallbackReadHeader(void*, RARHeaderData*) { return ERAR_BAD_DATA; }
int FallbackReadHeaderEx(void*, RARHeaderDataEx*) { return ERAR_BAD_DATA; }
int FallbackProcessFile(void*, int, char*, char*) { return ERAR_BAD_ARCHIVE; }
void FallbackSetCallback(void*, UNRARCALLBACK, LPARAM) {}

struct Library {
  void* handle = nullptr;
  bool loaded = false;
  bool tried = false;
  FnOpen open = FallbackOpen;
  FnOpenEx openEx = FallbackOpenEx;
  FnClose close = FallbackClose;
  FnReadHeader readHeader = FallbackReadHeader;
  FnReadHeaderEx readHeaderEx = FallbackReadHeaderEx;
  FnProcessFile processFile = FallbackProcessFile;
  FnSetCallback setCallback = FallbackSetCallback;

  void Fallbacks() {
    open = FallbackOpen;
    openEx = FallbackOpenEx;
    close = FallbackClose;
    readHeader = FallbackReadHeader;
    readHeaderEx = FallbackReadHeaderEx;
    processFile = FallbackProcessFile;
    setCallback = FallbackSetCallback;
    loaded = false;
  }
  bool Try(const char* name) {
    void* h = dlopen(name, RTLD_NOW | RTLD_LOCAL);
    if (!h) return false;
    void* p[7];
    const char* names[7] = {"RAROpenArchive", "RAROpenArchiveEx", "RARCloseArchive", "RARReadHeader",
                            "RARReadHeaderEx", "RARProcessFile", "RARSetCallback"};
    for (int i = 0; i < 7; ++i) {
      p[i] = dlsym(h, names[i]);
      if (!p[i]) {
        dlclose(h);
        return false;
      }
    }
    handle = h;
    open = reinterpret_cast<FnOpen>(p[0]);
    openEx = reinterpret_cast<FnOpenEx>(p[1]);
    close = reinterpret_cast<FnClose>(p[2]);
    readHeader = reinterpret_cast<FnReadHeader>(p[3]);
    readHeaderEx = reinterpret_cast<FnReadHeaderEx>(p[4]);
    processFile = reinterpret_cast<FnProcessFile>(p[5]);
    setCallback = reinterpret_cast<FnSetCallback>(p[6]);
    loaded = true;
    return true;
  }
};

Library& Lib() {
  static Library lib;
  return lib;
}
std::mutex& LibMutex() {
  static std::mutex m;
  return m;
}

// The component the callback serves during one extraction.
TUnRar* gServed = nullptr;

int StaticCallback(unsigned msg, LPARAM userData, LPARAM p1, LPARAM p2) {
  TUnRar* c = reinterpret_cast<TUnRar*>(userData);
  if (!c || c != gServed) return -1;
  return c->Callback(msg, static_cast<intptr_t>(p1), static_cast<intptr_t>(p2));
}

std::wstring Widen(const std::string& cp1251) {
  const std::string u = platform::Cp1251ToUtf8(cp1251);
  std::wstring w;
  for (size_t i = 0; i < u.size();) {
    const unsigned char c = static_cast<unsigned char>(u[i]);
    uint32_t cp = c;
    size_t n = 1;
    if (c >= 0xF0 && i + 3 < u.size()) {
      cp = (c & 7u) << 18 | (u[i + 1] & 63u) << 12 | (u[i + 2] & 63u) << 6 | (u[i + 3] & 63u);
      n = 4;
    } else if (c >= 0xE0 && i + 2 < u.size()) {
      cp = (c & 15u) << 12 | (u[i + 1] & 63u) << 6 | (u[i + 2] & 63u);
      n = 3;
    } else if (c >= 0xC0 && i + 1 < u.size()) {
      cp = (c & 31u) << 6 | (u[i + 1] & 63u);
      n = 2;
    }
    w.push_back(static_cast<wchar_t>(cp));
    i += n;
  }
  return w;
}

// A wide name of the library (bounded by its buffer) as UTF-8.
std::string WideToUtf8(const wchar_t* w, size_t cap) {
  std::string u;
  for (size_t i = 0; i < cap && w[i]; ++i) {
    const uint32_t cp = static_cast<uint32_t>(w[i]);
    if (cp < 0x80) {
      u.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      u.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      u.push_back(static_cast<char>(0x80 | (cp & 63)));
    } else if (cp < 0x10000) {
      u.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      u.push_back(static_cast<char>(0x80 | ((cp >> 6) & 63)));
      u.push_back(static_cast<char>(0x80 | (cp & 63)));
    } else {
      u.push_back(static_cast<char>(0xF0 | ((cp >> 18) & 7)));
      u.push_back(static_cast<char>(0x80 | ((cp >> 12) & 63)));
      u.push_back(static_cast<char>(0x80 | ((cp >> 6) & 63)));
      u.push_back(static_cast<char>(0x80 | (cp & 63)));
    }
  }
  return u;
}
}  // namespace

bool LoadUnRarLibrary(const std::string& path) {
  std::lock_guard<std::mutex> g(LibMutex());
  Library& l = Lib();
  if (l.tried) return l.loaded;
  l.tried = true;
  if (!path.empty()) return l.Try(path.c_str());
  for (const char* name : {"libunrar.so.5", "libunrar.so"})
    if (l.Try(name)) return true;
  l.Fallbacks();
  return false;
}

void FreeUnRarLibrary() {
  std::lock_guard<std::mutex> g(LibMutex());
  Library& l = Lib();
  if (l.handle) dlclose(l.handle);
  l.handle = nullptr;
  l.Fallbacks();
  l.tried = false;
}

bool UnRarLibraryLoaded() {
  std::lock_guard<std::mutex> g(LibMutex());
  return Lib().loaded;
}

int32_t UnRarResultCode(int result) {
  switch (result) {
    case ERAR_END_ARCHIVE: return E_EofNotFound;
    case ERAR_NO_MEMORY: return E_OutOfMemory;
    case ERAR_BAD_DATA: return E_BadBlock;
    case ERAR_BAD_ARCHIVE:
    case ERAR_UNKNOWN_FORMAT: return E_InvalidArcType;
    case ERAR_EOPEN: return E_OpenError;
    case ERAR_ECREATE:
    case ERAR_EWRITE: return E_WriteError;
    case ERAR_ECLOSE: return E_CloseError;
    case ERAR_EREAD: return E_ReadError;
    case ERAR_UNKNOWN: return E_BrokenVolumeChain;
    case ERAR_MISSING_PASSWORD: return E_InvalidPassword;
    default: return 0;
  }
}

// ---------------------------------------------------------------- size table

void THighFileSizes::Add(const std::string& name, uint64_t value) {
  sizes_.push_back(value);
  names_.push_back(name);
}
uint32_t THighFileSizes::HighSize(size_t index) const {
  return index < sizes_.size() ? static_cast<uint32_t>(sizes_[index] >> 32) : 0;
}
const std::string& THighFileSizes::Name(size_t index) const {
  static const std::string empty;
  return index < names_.size() ? names_[index] : empty;
}
void THighFileSizes::Clear() {
  sizes_.clear();
  names_.clear();
}

// ---------------------------------------------------------------- component

TUnRar::TUnRar(Services services) : TUnBase(std::move(services)) { LoadUnRarLibrary(); }

void TUnRar::ExtractIt(ByteSource*) {
  const TArcType t = ArcType();
  if (t != TArcType::atRar && t != TArcType::atRarExe) {
    DoError(run_.arcPath, "", run_.arcPath, E_InvalidArcType);
    return;
  }
  const std::string archive = Absolute(run_.arcPath);
  if (reader_) {
    if (!reader_(*this, archive)) DoError(run_.arcPath, "", run_.arcPath, E_UnrarMissing);
    return;
  }
  // A missing library is reported, not raised: only a full disk leaves Extract.
  if (!UnRarLibraryLoaded()) {
    DoError(run_.arcPath, "", run_.arcPath, E_UnrarMissing);
    return;
  }
  RunLibrary(archive);
}

bool TUnRar::WantFile(const std::string& name, bool directory, std::string& target) {
  EntrySelection sel;
  sel.fileSpec = FileSpec.empty() ? std::vector<std::string>{"*.*"} : FileSpec;
  sel.excludeSpec = ExcludeSpec;
  sel.recurseDirs = RecurseDirs;
  sel.onExclude = [this](const std::string& n) {
    if (OnExcludeFile) OnExcludeFile(*this, n);
  };
  if (!sel.selected(name)) return false;
  TOutputPath op = BuildOutputPath(name, ExtractDir(), UseStoredDirs);
  if (!op.safe) {
    DoError(name, "unsafe path", run_.arcPath, E_OpenError);
    return false;
  }
  target = op.path;
  if (directory) return CreateStoredDirs;
  if (OnBegin) {
    bool ex = true;
    OnBegin(*this, target, run_.count + 1, ex);
    if (!ex) return false;
  }
  if (cancel_) return false;
  auto replaceable = [&] {
    FileStat st = svc_.fs->stat(target);
    if (st.kind == FileKind::Directory || st.kind == FileKind::Other) {
      DoError(target, "", run_.arcPath, E_AttribOverwrite);
      return false;
    }
    return true;
  };
  if (!replaceable()) return false;
  if (svc_.fs->stat(target).kind == FileKind::None) return true;
  TOverwriteMode mode = OverwriteMode;
  if (ConfirmOverwrites) {
    if (!OnFileExists) {
      DoError(target, "", run_.arcPath, E_EventNotAssigned);
      return false;
    }
    mode = TOverwriteMode::omOverwrite;
    AskFileExists(target, mode);
    if (cancel_ || mode != TOverwriteMode::omOverwrite || !replaceable()) return false;
  }
  return !cancel_ && mode == TOverwriteMode::omOverwrite;
}

int TUnRar::Callback(unsigned msg, intptr_t p1, intptr_t p2) {
  switch (msg) {
    case UCM_CHANGEVOLUME: {
      char* buf = reinterpret_cast<char*>(p1);
      if (p2 == RAR_VOL_NOTIFY) return 0;  // the library found the next volume itself
      std::string name = buf ? platform::Utf8ToCp1251(std::string(buf, strnlen(buf, 1024))) : std::string();
      bool cancel = true;
      if (OnNextVolume) {
        cancel = false;
        OnNextVolume(*this, name, fileIndex_ + 1, svc_.fs->stat(name).kind == FileKind::Regular, cancel);
      }
      const std::string fs = platform::Cp1251ToUtf8(name);
      if (cancel || name.empty() || !buf || fs.size() >= 1024) {
        if (OnProgress) OnProgress(*this, 100, 100);
        return -1;
      }
      std::memcpy(buf, fs.c_str(), fs.size() + 1);
      return 0;
    }
    case UCM_PROCESSDATA: {
      dataCame_ = true;  // the library has opened the current target for writing
      if (cancel_) return -1;
      const uint8_t* p = reinterpret_cast<const uint8_t*>(p1);
      const size_t n = p2 > 0 ? static_cast<size_t>(p2) : 0;
      if (p && n) runningCrc_ = Crc32Update(runningCrc_, p, n);
      fileLeft_ -= std::min<uint64_t>(fileLeft_, n);
      archiveLeft_ -= std::min<uint64_t>(archiveLeft_, n);
      if (OnProgress)
        OnProgress(*this, Percentage(static_cast<int64_t>(fileSize_ - fileLeft_), static_cast<int64_t>(fileSize_)),
                   Percentage(static_cast<int64_t>(archiveTotal_ - archiveLeft_), static_cast<int64_t>(archiveTotal_)));
      Pump();
      return cancel_ ? -1 : 0;
    }
    case UCM_NEEDPASSWORD: {
      char* buf = reinterpret_cast<char*>(p1);
      const size_t size = p2 > 0 ? static_cast<size_t>(p2) : 0;
      if (!OnGetPassword) {
        DoError(currentFile_, "", run_.arcPath, E_InvalidPassword);
        return -1;
      }
      if (Password.empty()) {
        std::string pw;
        TSeedKeyRecord hk = SeedHeaderKeys.Keys(), dk = SeedDataKeys.Keys();
        bool again = true;
        OnGetPassword(*this, currentFile_, pw, hk, dk, again);
        if (!again || pw.empty()) return -1;
        Password = pw;
      }
      // The password and its terminating zero must fit the library's buffer; a longer one is refused.
      if (!buf || Password.size() + 1 > size) return -1;
      std::memcpy(buf, Password.c_str(), Password.size() + 1);
      return 0;
    }
    default:
      return 0;
  }
}

void TUnRar::RunLibrary(const std::string& archive) {
  struct Serve {
    explicit Serve(TUnRar* c) { gServed = c; }
    ~Serve() { gServed = nullptr; }
  } serve(this);
  table_.Clear();
  Library& lib = Lib();

  std::wstring wname = Widen(archive);
  if (wname.size() >= 2048) wname.resize(2047);
  std::vector<wchar_t> wbuf(2048, 0);
  std::copy(wname.begin(), wname.end(), wbuf.begin());
  std::string fsName = platform::Cp1251ToUtf8(archive);
  std::vector<char> cmt(16384, 0);
  RAROpenArchiveDataEx od;
  std::memset(&od, 0, sizeof od);
  od.ArcName = fsName.data();
  od.ArcNameW = wbuf.data();
  od.OpenMode = RAR_OM_EXTRACT;
  od.CmtBuf = cmt.data();
  od.CmtBufSize = static_cast<unsigned>(cmt.size());
  void* h = lib.openEx(&od);
  if (!h || od.OpenResult != 0) {
    if (h) lib.close(h);
    DoError(run_.arcPath, "", run_.arcPath, UnRarResultCode(od.OpenResult ? static_cast<int>(od.OpenResult) : ERAR_EOPEN));
    return;
  }
  lib.setCallback(h, StaticCallback, reinterpret_cast<LPARAM>(this));
  auto hd = std::make_unique<RARHeaderDataEx>();
  std::memset(hd.get(), 0, sizeof *hd);
  fileIndex_ = 0;
  archiveTotal_ = archiveLeft_ = 0;
  std::set<std::string> outputs;  // the targets of the files extracted so far
  int r = lib.readHeaderEx(h, hd.get());
  if (r != 0) {
    DoError(run_.arcPath, "", run_.arcPath, E_BadFileHeader);
    lib.close(h);
    return;
  }
  while (r == 0 && !cancel_) {
    const uint64_t size = uint64_t{hd->UnpSizeHigh} << 32 | hd->UnpSize;
    const std::string stored = hd->FileNameW[0] ? WideToUtf8(hd->FileNameW, 1024)
                                                : std::string(hd->FileName, strnlen(hd->FileName, 1024));
    std::string name = platform::Utf8ToCp1251(stored);
    // A character CP1251 lacks became '?': other files' names may come out the same.
    const bool exact = platform::Cp1251ToUtf8(name) == stored;
    table_.Add(name, size);
    for (char& c : name)
      if (c == '\\') c = '/';
    uint32_t attr = hd->FileAttr;
    if (hd->HostOS == 3) attr = (attr & 0x4000) ? 0x10 : 0x20;
    const bool directory = (attr & 0x10) != 0 || (hd->Flags & 0xE0) == 0xE0;
    currentFile_ = name;
    std::string target;
    bool want = WantFile(name, directory, target);
    if (want && !directory) {
      // Never two files of one run in one output (under one name, or two that a folder folding
      // case or a link makes one file), nor one under a name that is not its own.
      const char* refusal = !exact ? "name outside the code page"
                            : outputs.count(target) || WrittenEarlier(target) ? "output of an earlier entry"
                                                                              : nullptr;
      if (refusal) {
        DoError(target, refusal, run_.arcPath, E_OpenError);
        if (OnEnd) OnEnd(*this, target, false);
        want = false;
      }
    }
    operation_ = want ? RAR_EXTRACT : RAR_TEST;
    runningCrc_ = 0xFFFFFFFFu;
    dataCame_ = false;
    fileSize_ = fileLeft_ = size;
    archiveTotal_ += size;
    archiveLeft_ += size;
    int pr;
    FileStat before;  // the target as it was before the library was called
    // Folders on the way, one level at a time; a failure shows up as the library's create error.
    auto makeFolders = [&](const std::string& folder) {
      for (size_t i = 1; i < folder.size(); ++i)
        if (folder[i] == '/') svc_.fs->createDir(folder.substr(0, i));
    };
    if (operation_ == RAR_EXTRACT && directory) {
      // A stored folder (CreateStoredDirs): made here, then extracted by the library under its
      // target name. One that cannot be made is reported and only tested.
      makeFolders(AppendSlash(target));
      if (svc_.fs->stat(target).kind == FileKind::Directory) {
        std::string dest = platform::Cp1251ToUtf8(target);
        while (dest.size() > 1 && dest.back() == '/') dest.pop_back();
        pr = lib.processFile(h, RAR_EXTRACT, nullptr, dest.data());
      } else {
        DoError(target, "", run_.arcPath, E_OpenError);
        operation_ = RAR_TEST;
        pr = lib.processFile(h, RAR_TEST, nullptr, nullptr);
      }
    } else if (operation_ == RAR_EXTRACT) {
      run_.outPath = target;
      makeFolders(ExtractFilePath(target));
      before = svc_.fs->stat(target);
      if (before.kind == FileKind::Regular) svc_.fs->setMode(target, 0644);
      std::string dest = platform::Cp1251ToUtf8(target);
      pr = lib.processFile(h, RAR_EXTRACT, nullptr, dest.data());
    } else {
      pr = lib.processFile(h, RAR_TEST, nullptr, nullptr);
    }
    if (pr != 0) {
      const int32_t code = cancel_ ? 0 : UnRarResultCode(pr);  // a cancelled file is not an error
      if (code) DoError(operation_ == RAR_EXTRACT ? target : name, "", run_.arcPath, code);
      if (operation_ == RAR_EXTRACT && !directory) {
        // Only a file this run made is removed: one that was not there, or one the library
        // has begun to write. A file of the user's that got no data stays as it was.
        if (before.kind == FileKind::None || dataCame_)
          svc_.fs->removeFile(target);
        else if (before.kind == FileKind::Regular)
          svc_.fs->setMode(target, before.mode);
      }
      break;
    }
    if (operation_ == RAR_EXTRACT && !directory) {
      outputs.insert(target);
      NoteOutput(target);
      ++run_.count;
      // The data seen by the callback against the CRC the archive stores for the file.
      const bool pass = !cancel_ && ~runningCrc_ == hd->FileCRC;
      if (OnEnd)
        OnEnd(*this, target, pass);
      else if (!pass)
        DoError(target, "", run_.arcPath, E_CrcFail);
      if (!pass) --run_.count;
    }
    ++fileIndex_;
    std::memset(hd.get(), 0, sizeof *hd);
    r = lib.readHeaderEx(h, hd.get());
  }
  lib.close(h);
}

}  // namespace arc

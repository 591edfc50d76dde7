#include "archive/arcBase.h"

#include <algorithm>

#include "archive/arcMask.h"

namespace arc {

// ---------------------------------------------------------------- timer

std::chrono::steady_clock::time_point TZipTimer::now() const {
  return clock_ ? clock_() : std::chrono::steady_clock::now();
}
void TZipTimer::Start() {
  start_ = now();
  running_ = true;
  pauses_ = 0;
}
void TZipTimer::Pause() {
  if (running_ && pauses_++ == 0) pause_ = now();
}
void TZipTimer::Resume() {
  if (running_ && pauses_ > 0 && --pauses_ == 0) start_ += now() - pause_;
}
float TZipTimer::Stop() {
  if (!running_) return 0.0f;
  if (pauses_ > 0) {
    pauses_ = 1;
    Resume();
  }
  running_ = false;
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now() - start_).count();
  return static_cast<float>(ms) / 1000.0f;
}

// ---------------------------------------------------------------- component

TUnBase::TUnBase(Services services) : svc_(std::move(services)), timer_(svc_.clock) {
  if (!svc_.fs) svc_.fs = &PosixFileSystem();
  if (!svc_.volumes) svc_.volumes = &LinuxVolumeInfo();
  if (!svc_.now) svc_.now = [] { return std::time(nullptr); };
}

TUnBase::~TUnBase() = default;

std::string TUnBase::Absolute(const std::string& path) {
  if (path.empty() || path[0] == '/') return path;
  return svc_.fs->currentDir() + path;
}

std::string TUnBase::NormalDir(const std::string& dir) {
  // Lexical normal form of an absolute folder, with a trailing "/".
  std::string abs = Absolute(dir);
  std::vector<std::string> parts;
  size_t i = 0;
  while (i <= abs.size()) {
    size_t j = abs.find('/', i);
    if (j == std::string::npos) j = abs.size();
    std::string p = abs.substr(i, j - i);
    if (p == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!p.empty() && p != ".") {
      parts.push_back(p);
    }
    i = j + 1;
  }
  std::string r = "/";
  for (const auto& p : parts) r += p + "/";
  return r;
}

DetectContext TUnBase::MakeDetectContext() {
  DetectContext ctx;
  ctx.fileName = archiveFile_;
  ctx.headerKeys = SeedHeaderKeys.Seed();
  ctx.headerCipher = Ciphers.traditional;
  ctx.report = [this](const std::string& file, const std::string& vol, int32_t code) {
    if (code == E_BadFileHeader) {
      ReportBadHeader(file, vol);
      return;
    }
    DoError(file, "", vol, code);
  };
  ctx.volumeKind = [this]() {
    VolumeData vd;
    std::string err;
    std::string folder = ExtractFilePath(Absolute(archiveFile_));
    if (!svc_.volumes->query(folder.empty() ? "/" : folder, vd, err)) return TArcType::atNA;
    std::string label = vd.label.substr(0, vd.label.find(' '));
    if (vd.removable && UpperCase1251(label) == "PKBACK#") return TArcType::atZipDS;
    return TArcType::atZipMV;
  };
  return ctx;
}

void TUnBase::Detect(ByteSource& src) {
  detect_ = GetArcType(src, MakeDetectContext());
  if (IsValidArcType(detect_.type)) ProbeVolumeNumbers(archiveFile_, detect_);
}

void TUnBase::ReportBadHeader(const std::string& fileName, const std::string& volumeId) {
  // Detection runs when the name is set and again on the file a run opens: one report for both.
  if (badHeaderReported_) return;
  badHeaderReported_ = true;
  DoError(fileName, "", volumeId, E_BadFileHeader);
}

void TUnBase::SetArchiveFile(const std::string& name) {
  std::string abs = Absolute(name);
  detect_ = DetectResult{};
  badHeaderReported_ = false;
  if (name.empty() || svc_.fs->stat(abs).kind == FileKind::None) {
    // a link to an existing file is followed by the open below
    auto probe = name.empty() ? nullptr : svc_.fs->openRead(abs);
    if (!probe) {
      archiveFile_.clear();
      return;
    }
  }
  archiveFile_ = name;
  auto src = svc_.fs->openRead(abs);
  if (!src) return;  // atNA
  Detect(*src);
}

void TUnBase::SetArcType(TArcType t) {
  if (archiveFile_.empty()) {
    detect_.type = t;
    return;
  }
  auto src = svc_.fs->openRead(Absolute(archiveFile_));
  if (!src) {
    detect_ = DetectResult{};
    detect_.type = TArcType::atFileOpenErr;
    return;
  }
  Detect(*src);
}

void TUnBase::SetExtractDir(const std::string& dir) {
  if (!dir.empty()) {
    extractDir_ = AppendSlash(dir);
  } else {
    extractDir_ = ExtractFilePath(archiveFile_);
  }
}

void TUnBase::SetZipCmntBufSize(int32_t n) { zipCmntBufSize_ = std::clamp<int32_t>(n, 2000, 32767); }

void TUnBase::DoError(const std::string& fileName, const std::string& extendedMsg, const std::string& volumeId,
                      int32_t code) {
  timer_.Pause();
  if (cancel_) code = E_UserCanceled;
  if (OnError) OnError(*this, fileName, extendedMsg, volumeId, code);
  timer_.Resume();
}

void TUnBase::RaiseError(const std::string& fileName, const std::string& extendedMsg, const std::string& volumeId,
                         int32_t code) {
  timer_.Pause();
  bool cancelled = cancel_;
  int32_t reported = cancelled ? static_cast<int32_t>(E_UserCanceled) : code;
  if (OnError) OnError(*this, fileName, extendedMsg, volumeId, reported);
  timer_.Resume();
  if (!cancelled) throw E_RAISE(code, fileName, extendedMsg, volumeId);
}

void TUnBase::NoteOutput(const std::string& path) {
  FileStat st = svc_.fs->stat(path);
  if (st.kind == FileKind::Regular) run_.written.insert({st.device, st.inode});
}

bool TUnBase::WrittenEarlier(const std::string& path) {
  FileStat st = svc_.fs->stat(path);
  return st.kind == FileKind::Regular && run_.written.count({st.device, st.inode}) != 0;
}

std::string TUnBase::WritePlaceIn(const std::string& folder) {
  // The deepest existing folder on the way from the set's folder to the target: there the run
  // makes its files or its first missing folder. Empty when the target lies elsewhere.
  const std::string base = NormalDir(folder);
  const std::string target = extractDir_.empty() ? base : NormalDir(extractDir_);
  if (target.compare(0, base.size(), base) != 0) return std::string();
  std::string place = base;
  for (size_t i = base.size(); i < target.size();) {
    const size_t j = target.find('/', i);
    const std::string next = target.substr(0, j + 1);
    if (svc_.fs->stat(next).kind != FileKind::Directory) break;
    place = next;
    i = j + 1;
  }
  return place;
}

bool TUnBase::CheckDrive(const std::string& path) {
  if (IsUNCPath(path)) return true;
  std::string folder = ExtractFilePath(Absolute(path));
  if (folder.empty()) folder = svc_.fs->currentDir();
  for (;;) {
    VolumeData vd;
    std::string err;
    int32_t code;
    std::string message;
    // A set is only read from its folder: whether files can be made there matters only when
    // the run writes there too.
    const std::string place = WritePlaceIn(folder);
    if (!svc_.volumes->query(folder, vd, err)) {
      code = E_NotAccessible;
      message = folder + "\n\n" + std::string(ErrorText(code)) + "\n" +
                (err.empty() ? std::string("Unknown error") : err);
    } else if (!place.empty() && !svc_.fs->folderWritable(place)) {
      // No temporary file can be made where the set lies.
      code = E_DiskWriteProtected;
      message = folder + "\n\n" + std::string(ErrorText(code));
    } else {
      return true;
    }
    // A handler of its own answers instead of the report; one that declines cancels.
    if (OnDriveNotReady) {
      if (OnDriveNotReady(*this, folder, message)) continue;
      DoError("", "", "0", E_UserCanceled);
      return false;
    }
    DoError("", "", "0", code);
    return false;
  }
}

void TUnBase::AskFileExists(std::string& path, TOverwriteMode& mode) {
  // Each name the handler gives that exists already is put to it again. A handler that keeps
  // naming existing files has not chosen one to replace: after the last round the entry is
  // skipped and nothing is replaced.
  constexpr int kRounds = 100;
  const std::string firstFolder = ExtractFilePath(path);
  bool decided = false;
  for (int rounds = 0; rounds < kRounds && !decided; ++rounds) {
    std::string nn;
    OnFileExists(*this, path, nn, mode);
    decided = true;
    if (cancel_) break;
    if (nn.empty()) break;  // the handler decided about this target
    if (nn.find('/') == std::string::npos) nn = firstFolder + nn;
    nn = Absolute(nn);
    if (mode == TOverwriteMode::omSkip && nn != path) mode = TOverwriteMode::omOverwrite;
    path = nn;
    decided = svc_.fs->stat(path).kind == FileKind::None || mode != TOverwriteMode::omOverwrite;
  }
  if (!decided) mode = TOverwriteMode::omSkip;
}

bool TUnBase::CheckFolder() {
  if (run_.testOnly || SkipFolderCheck()) return true;
  // A handler that keeps returning the protected folder is asked a bounded number of times.
  for (int asks = 0; asks < 16; ++asks) {
    const std::string target = extractDir_;
    FileStat st = svc_.fs->stat(target);
    if (st.kind == FileKind::Directory) {
      if (svc_.fs->folderWritable(target)) return true;
    } else if (st.kind == FileKind::None) {
      // Create the missing levels, then remove the ones made here.
      std::vector<std::string> made;
      std::string cur = "/";
      bool ok = true;
      size_t i = 1;
      while (i < target.size()) {
        size_t j = target.find('/', i);
        if (j == std::string::npos) j = target.size();
        cur += target.substr(i, j - i) + "/";
        i = j + 1;
        FileStat s = svc_.fs->stat(cur);
        if (s.kind == FileKind::Directory) continue;
        if (s.kind != FileKind::None || !svc_.fs->createDir(cur)) {
          ok = false;
          break;
        }
        made.push_back(cur);
      }
      for (auto it = made.rbegin(); it != made.rend(); ++it) svc_.fs->removeDir(*it);
      if (ok) return true;
    }
    // Not writable: propose the user's own folder.
    std::string proposal = svc_.fs->homeDir();
    if (proposal.empty()) {
      DoError("", "", run_.arcPath, E_DirWriteProtected);
      return false;
    }
    if (!OnLimitedUser) {
      DoError("", "OnLimitedUser", run_.arcPath, E_EventNotAssigned);
      return false;
    }
    std::string userDir = proposal;
    OnLimitedUser(*this, target, userDir, cancel_);
    if (cancel_) return false;
    std::string next = userDir.empty() ? std::string() : NormalDir(userDir);
    if (next.empty() || svc_.fs->stat(next).kind != FileKind::Directory) {
      DoError("UserDir", "", run_.arcPath, E_InvalidDir);
      return false;
    }
    extractDir_ = next;
  }
  DoError("", "", run_.arcPath, E_DirWriteProtected);
  return false;
}

int32_t TUnBase::Extract() {
  if (busy_) {
    DoError("", "", archiveFile_, E_UserCanceled);
    return 0;
  }
  struct Busy {
    bool& b;
    explicit Busy(bool& f) : b(f) { b = true; }
    ~Busy() { b = false; }
  } busy(busy_);
  cancel_ = false;
  run_.testOnly = false;
  int32_t result = 0;
  OpenAndRun(result);
  return result;
}

bool TUnBase::OpenAndRun(int32_t& result) {
  result = 0;
  if (archiveFile_.empty()) {
    DoError("", "", "", E_FileNotFound);
    return false;
  }
  const TArcType kind = detect_.type;
  if ((kind == TArcType::atZipDS || kind == TArcType::atZipMV) && !CheckDrive(archiveFile_)) return false;
  std::unique_ptr<ByteSource> src;
  if (!IsOutsideLibraryType(kind)) {
    src = svc_.fs->openRead(Absolute(archiveFile_));
    if (!src) {
      DoError("", "", archiveFile_, E_OpenError);
      return false;
    }
  }
  // RunExtract; the archive name is restored and the stream closed on every way out.
  run_ = RunState{};
  run_.arcPath = archiveFile_;
  run_.archiveSize = src ? src->size() : 0;
  struct Restore {
    std::string& target;
    std::string saved;
    ~Restore() { target = saved; }
  } restore{archiveFile_, archiveFile_};

  if (OnActivate) OnActivate(*this);
  bool timed = static_cast<bool>(OnElapsedTime);
  if (timed) timer_.Start();
  run_.outPath.clear();
  if (extractDir_.empty()) {
    std::string f = ExtractFilePath(Absolute(archiveFile_));
    extractDir_ = f.empty() ? svc_.fs->currentDir() : f;
  }
  extractDir_ = NormalDir(extractDir_);
  if (CheckFolder()) {
    try {
      ExtractIt(src.get());
    } catch (const E_RAISE&) {
      throw;  // a full disk leaves Extract
    } catch (const std::exception& e) {
      DoError("", e.what(), run_.arcPath, E_ReadError);
    }
  }
  float secs = timed ? timer_.Stop() : 0.0f;
  if (timed) OnElapsedTime(*this, secs);
  if (OnDeactivate) OnDeactivate(*this);
  result = run_.count;
  return true;
}

}  // namespace arc

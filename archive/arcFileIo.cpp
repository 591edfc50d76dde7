#include "archive/arcFileIo.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "archive/arcStreams.h"
#include "platform/codepage.h"

namespace arc {

size_t MemorySource::readAt(uint64_t pos, void* buf, size_t n) {
  if (pos >= n_) return 0;
  size_t k = static_cast<size_t>(std::min<uint64_t>(n, n_ - pos));
  if (k == 0) return 0;
  std::memcpy(buf, data_ + pos, k);
  bytesRead += k;
  return k;
}

// ---------------------------------------------------------------- POSIX

namespace {

bool Ascii(const std::string& s) {
  for (char c : s)
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  return true;
}
// Program text (CP1251) to the file system's UTF-8; ASCII needs no conversion.
std::string FsPath(const std::string& p) { return Ascii(p) ? p : platform::ToFsPath(p); }
std::string FromFs(const std::string& p) { return Ascii(p) ? p : platform::FromFsPath(p); }

// An archive file read through the engine's file stream.
class PosixSource : public ByteSource {
public:
  PosixSource(std::unique_ptr<TFileStream32> f, uint64_t size) : f_(std::move(f)), size_(size) {}
  uint64_t size() const override { return size_; }
  size_t readAt(uint64_t pos, void* buf, size_t n) override {
    if (pos >= size_ || n == 0) return 0;
    n = static_cast<size_t>(std::min<uint64_t>(n, size_ - pos));
    if (pos_ != pos) {
      if (f_->Seek(static_cast<int64_t>(pos), TSeekOrigin::soBeginning) != static_cast<int64_t>(pos)) {
        pos_ = UINT64_MAX;
        return 0;
      }
      pos_ = pos;
    }
    size_t got = 0;
    auto* p = static_cast<uint8_t*>(buf);
    while (got < n) {
      int32_t want = static_cast<int32_t>(std::min<size_t>(n - got, 1u << 30));
      int32_t r = f_->Read(p + got, want);
      if (r <= 0) break;
      got += static_cast<size_t>(r);
    }
    pos_ += got;
    bytesRead += got;
    return got;
  }

private:
  std::unique_ptr<TFileStream32> f_;
  uint64_t size_;
  uint64_t pos_ = 0;
};

// An extracted file: a descriptor this unit opened (exclusive, no link followed), written
// through the engine's handle stream, which keeps the reason of a failed write.
class PosixOutput : public OutputFile {
public:
  explicit PosixOutput(int fd) : fd_(fd), s_(fd) {}
  ~PosixOutput() override {
    if (fd_ >= 0) ::close(fd_);
  }
  WriteStatus write(const void* data, size_t n) override {
    auto* p = static_cast<const uint8_t*>(data);
    while (n > 0) {
      int32_t k = static_cast<int32_t>(std::min<size_t>(n, 1u << 30));
      if (s_.Write(p, k) != k) return IsDiskFullError(s_.LastError()) ? WriteStatus::DiskFull : WriteStatus::Error;
      p += k;
      n -= static_cast<size_t>(k);
    }
    return WriteStatus::Ok;
  }
  bool setTime(std::time_t mtime) override {
    struct timespec ts[2];
    ts[0].tv_sec = mtime;
    ts[0].tv_nsec = 0;
    ts[1] = ts[0];
    return ::futimens(fd_, ts) == 0;
  }
  bool close() override {
    int fd = fd_;
    fd_ = -1;
    return fd >= 0 && ::close(fd) == 0;
  }

private:
  int fd_;
  THandleStream32 s_;
};

class PosixFs : public FileSystem {
public:
  FileStat stat(const std::string& path) override {
    struct stat st;
    FileStat r;
    // Without trailing separators: "link/" would name the link's target.
    std::string p = FsPath(path);
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    if (::lstat(p.c_str(), &st) != 0) return r;
    r.kind = S_ISREG(st.st_mode) ? FileKind::Regular : S_ISDIR(st.st_mode) ? FileKind::Directory : FileKind::Other;
    r.size = static_cast<uint64_t>(st.st_size);
    r.mtime = st.st_mtime;
    r.mode = st.st_mode & 07777;
    r.device = static_cast<uint64_t>(st.st_dev);
    r.inode = static_cast<uint64_t>(st.st_ino);
    return r;
  }
  std::unique_ptr<ByteSource> openRead(const std::string& path) override {
    auto f = std::make_unique<TFileStream32>(FsPath(path), TFileStream32::fmOpenRead | TFileStream32::fmShareDenyWrite);
    if (!f->Valid()) return nullptr;
    struct stat st;
    // A folder opens for reading on this system; only regular files are archives.
    if (::fstat(f->Handle(), &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
    return std::make_unique<PosixSource>(std::move(f), static_cast<uint64_t>(st.st_size));
  }
  std::unique_ptr<OutputFile> createFile(const std::string& path) override {
    int fd = ::open(FsPath(path).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
    return std::make_unique<PosixOutput>(fd);
  }
  bool removeFile(const std::string& path) override { return ::unlink(FsPath(path).c_str()) == 0; }
  bool createDir(const std::string& path) override {
    return ::mkdir(FsPath(path).c_str(), 0777) == 0 || errno == EEXIST;
  }
  bool removeDir(const std::string& path) override { return ::rmdir(FsPath(path).c_str()) == 0; }
  bool setMode(const std::string& path, uint32_t mode) override {
    return ::chmod(FsPath(path).c_str(), static_cast<mode_t>(mode & 0777)) == 0;
  }
  bool folderWritable(const std::string& path) override {
    // A file without a name: nothing appears in the folder, and its time is not touched.
    const std::string dir = FsPath(AppendSlashLocal(path));
    int probe = ::open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (probe >= 0) {
      ::close(probe);
      return true;
    }
    // Only where the file system cannot make one is a named file made and removed at once.
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return false;
    std::string tmpl = dir + ".arcXXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    int fd = ::mkstemp(buf.data());
    if (fd < 0) return false;
    ::close(fd);
    ::unlink(buf.data());
    return true;
  }
  std::string currentDir() override {
    std::vector<char> buf(4096);
    if (!::getcwd(buf.data(), buf.size())) return "/";
    return AppendSlashLocal(FromFs(buf.data()));
  }
  std::string homeDir() override {
    struct passwd pw;
    struct passwd* res = nullptr;
    std::vector<char> buf(16384);
    if (::getpwuid_r(::geteuid(), &pw, buf.data(), buf.size(), &res) == 0 && res && res->pw_dir && *res->pw_dir)
      return AppendSlashLocal(FromFs(res->pw_dir));
    const char* h = std::getenv("HOME");
    return h && *h ? AppendSlashLocal(FromFs(h)) : std::string();
  }

private:
  static std::string AppendSlashLocal(const std::string& p) {
    return p.empty() || p.back() == '/' ? p : p + '/';
  }
};

// Linux volume information: removable flag from sysfs, label from /dev/disk/by-label.
class LinuxVolumes : public VolumeInfo {
public:
  bool query(const std::string& folder, VolumeData& out, std::string& errorText) override {
    std::string fsPath = FsPath(folder);
    struct stat st;
    struct statvfs vfs;
    if (::stat(fsPath.c_str(), &st) != 0 || ::statvfs(fsPath.c_str(), &vfs) != 0) {
      int e = errno;
      const char* t = e ? std::strerror(e) : nullptr;
      errorText = t && *t ? t : "Unknown error";
      return false;
    }
    out = VolumeData{};
    out.freeBytes = static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize;
    out.totalBytes = static_cast<uint64_t>(vfs.f_blocks) * vfs.f_frsize;
    out.serial = static_cast<uint32_t>(vfs.f_fsid);
    unsigned maj = major(st.st_dev), min = minor(st.st_dev);
    std::string sys = "/sys/dev/block/" + std::to_string(maj) + ":" + std::to_string(min);
    // A device without a sysfs entry (overlay, tmpfs, network) counts as not removable.
    for (const char* rel : {"/removable", "/../removable"}) {
      std::ifstream f(sys + rel);
      int v = 0;
      if (f >> v) {
        out.removable = v != 0;
        break;
      }
    }
    if (DIR* d = ::opendir("/dev/disk/by-label")) {
      while (dirent* e = ::readdir(d)) {
        if (e->d_name[0] == '.') continue;
        std::string link = std::string("/dev/disk/by-label/") + e->d_name;
        struct stat ls;
        if (::stat(link.c_str(), &ls) == 0 && S_ISBLK(ls.st_mode) && ls.st_rdev == st.st_dev) {
          out.label = Unescape(e->d_name);
          break;
        }
      }
      ::closedir(d);
    }
    return true;
  }

private:
  static std::string Unescape(const std::string& s) {
    std::string r;
    for (size_t i = 0; i < s.size(); ++i) {
      if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] == 'x') {
        r.push_back(static_cast<char>(std::strtol(s.substr(i + 2, 2).c_str(), nullptr, 16)));
        i += 3;
      } else {
        r.push_back(s[i]);
      }
    }
    return r;
  }
};

}  // namespace

FileSystem& PosixFileSystem() {
  static PosixFs fs;
  return fs;
}

VolumeInfo& LinuxVolumeInfo() {
  static LinuxVolumes v;
  return v;
}

Services Services::posix() {
  Services s;
  s.fs = &PosixFileSystem();
  s.volumes = &LinuxVolumeInfo();
  s.clock = [] { return std::chrono::steady_clock::now(); };
  s.now = [] { return std::time(nullptr); };
  return s;
}

// ---------------------------------------------------------------- memory

std::string MemoryFileSystem::Key(const std::string& path) {
  std::string k;
  for (char c : path) {
    if (c == '/' && !k.empty() && k.back() == '/') continue;
    k.push_back(c);
  }
  while (k.size() > 1 && k.back() == '/') k.pop_back();
  return k;
}

namespace {
std::string Parent(const std::string& key) {
  size_t p = key.find_last_of('/');
  if (p == std::string::npos || p == 0) return "/";
  return key.substr(0, p);
}
}  // namespace

class MemoryOutput : public OutputFile {
public:
  MemoryOutput(MemoryFileSystem& fs, std::string key) : fs_(fs), key_(std::move(key)) {}
  WriteStatus write(const void* data, size_t n) override {
    auto it = fs_.nodes_.find(key_);
    if (it == fs_.nodes_.end() || closed_) return WriteStatus::Error;
    if (n > fs_.quota_ - std::min(fs_.quota_, fs_.used_)) return WriteStatus::DiskFull;
    auto* p = static_cast<const uint8_t*>(data);
    it->second.data.insert(it->second.data.end(), p, p + n);
    fs_.used_ += n;
    return WriteStatus::Ok;
  }
  bool setTime(std::time_t mtime) override {
    auto it = fs_.nodes_.find(key_);
    if (it == fs_.nodes_.end()) return false;
    it->second.mtime = mtime;
    return true;
  }
  bool close() override {
    bool was = closed_;
    closed_ = true;
    return !was;
  }

private:
  MemoryFileSystem& fs_;
  std::string key_;
  bool closed_ = false;
};

FileStat MemoryFileSystem::stat(const std::string& path) {
  FileStat r;
  auto it = nodes_.find(Key(path));
  if (it == nodes_.end()) return r;
  r.kind = it->second.kind;
  r.size = it->second.data.size();
  r.mtime = it->second.mtime;
  r.mode = it->second.mode;
  r.device = 1;
  r.inode = it->second.id;
  return r;
}

std::unique_ptr<ByteSource> MemoryFileSystem::openRead(const std::string& path) {
  auto it = nodes_.find(Key(path));
  if (it == nodes_.end() || it->second.kind != FileKind::Regular) return nullptr;
  return std::make_unique<MemorySource>(it->second.data);
}

std::unique_ptr<OutputFile> MemoryFileSystem::createFile(const std::string& path) {
  std::string k = Key(path);
  if (nodes_.count(k)) return nullptr;
  auto parent = nodes_.find(Parent(k));
  if (parent == nodes_.end() || parent->second.kind != FileKind::Directory || readOnly_.count(Parent(k)))
    return nullptr;
  nodes_[k] = Node{};
  nodes_[k].id = nextId_++;
  return std::make_unique<MemoryOutput>(*this, k);
}

bool MemoryFileSystem::removeFile(const std::string& path) {
  auto it = nodes_.find(Key(path));
  if (it == nodes_.end() || it->second.kind == FileKind::Directory) return false;
  if (readOnly_.count(Parent(it->first))) return false;
  used_ -= std::min<uint64_t>(used_, it->second.data.size());
  nodes_.erase(it);
  return true;
}

bool MemoryFileSystem::createDir(const std::string& path) {
  std::string k = Key(path);
  auto it = nodes_.find(k);
  if (it != nodes_.end()) return it->second.kind == FileKind::Directory;
  auto parent = nodes_.find(Parent(k));
  if (parent == nodes_.end() || parent->second.kind != FileKind::Directory || readOnly_.count(Parent(k)))
    return false;
  nodes_[k] = Node{FileKind::Directory, {}, 0755, 0, nextId_++};
  return true;
}

bool MemoryFileSystem::removeDir(const std::string& path) {
  std::string k = Key(path);
  auto it = nodes_.find(k);
  if (it == nodes_.end() || it->second.kind != FileKind::Directory) return false;
  auto next = std::next(it);
  if (next != nodes_.end() && next->first.compare(0, k.size() + 1, k + "/") == 0) return false;
  nodes_.erase(it);
  return true;
}

bool MemoryFileSystem::setMode(const std::string& path, uint32_t mode) {
  auto it = nodes_.find(Key(path));
  if (it == nodes_.end()) return false;
  it->second.mode = mode & 0777;
  return true;
}

bool MemoryFileSystem::folderWritable(const std::string& path) {
  std::string k = Key(path);
  auto it = nodes_.find(k);
  return it != nodes_.end() && it->second.kind == FileKind::Directory && !readOnly_.count(k);
}

void MemoryFileSystem::addFile(const std::string& path, std::vector<uint8_t> data) {
  std::string k = Key(path);
  addDir(Parent(k));
  nodes_[k] = Node{FileKind::Regular, std::move(data), 0644, 0, nextId_++};
}

void MemoryFileSystem::addDir(const std::string& path) {
  std::string k = Key(path);
  if (k == "/" || nodes_.count(k)) return;
  addDir(Parent(k));
  nodes_[k] = Node{FileKind::Directory, {}, 0755, 0, nextId_++};
}

}  // namespace arc

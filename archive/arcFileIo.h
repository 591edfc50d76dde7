#pragma once
// Platform services of the archive components, injected so that tests and fuzzers can run
// in memory: random-access read sources, the file system, volume information, the event
// pump and the clock. Paths are program text (CP1251) with "/" between folders.
#include <chrono>
#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace arc {

// A random-access read source (an archive file, a buffer).
class ByteSource {
public:
  virtual ~ByteSource() = default;
  virtual uint64_t size() const = 0;
  // Reads up to n bytes at pos; returns the bytes read (0 at or past the end, or on failure).
  virtual size_t readAt(uint64_t pos, void* buf, size_t n) = 0;
  // Reads exactly n bytes or fails.
  bool readExact(uint64_t pos, void* buf, size_t n) { return readAt(pos, buf, n) == n; }
  uint64_t bytesRead = 0;  // statistics: bytes delivered so far
};

class MemorySource : public ByteSource {
public:
  MemorySource(const void* data, size_t n) : data_(static_cast<const uint8_t*>(data)), n_(n) {}
  explicit MemorySource(std::vector<uint8_t> owned)
      : owned_(std::move(owned)), data_(owned_.data()), n_(owned_.size()) {}
  uint64_t size() const override { return n_; }
  size_t readAt(uint64_t pos, void* buf, size_t n) override;

private:
  std::vector<uint8_t> owned_;
  const uint8_t* data_;
  size_t n_;
};

enum class WriteStatus { Ok, DiskFull, Error };

class OutputFile {
public:
  virtual ~OutputFile() = default;
  // Writes all n bytes (partial writes and interruptions are retried).
  virtual WriteStatus write(const void* data, size_t n) = 0;
  virtual bool setTime(std::time_t mtime) = 0;
  virtual bool close() = 0;
};

enum class FileKind { None, Regular, Directory, Other };
struct FileStat {
  FileKind kind = FileKind::None;
  uint64_t size = 0;
  std::time_t mtime = 0;
  uint32_t mode = 0;
  // Identity of the file: two paths that name one file (a hard link, a folder that folds case)
  // give the same pair.
  uint64_t device = 0, inode = 0;
};

class FileSystem {
public:
  virtual ~FileSystem() = default;
  // Does not follow a symbolic link at the last level (a link is Other).
  virtual FileStat stat(const std::string& path) = 0;
  // Null when the path is not a readable regular file.
  virtual std::unique_ptr<ByteSource> openRead(const std::string& path) = 0;
  // Creates a new file; never follows a symbolic link and never opens an existing file.
  virtual std::unique_ptr<OutputFile> createFile(const std::string& path) = 0;
  virtual bool removeFile(const std::string& path) = 0;
  virtual bool createDir(const std::string& path) = 0;  // one level
  virtual bool removeDir(const std::string& path) = 0;
  virtual bool setMode(const std::string& path, uint32_t mode) = 0;
  // An existing folder in which a file can be created; the probe leaves nothing behind.
  virtual bool folderWritable(const std::string& path) = 0;
  virtual std::string currentDir() = 0;  // with a trailing "/"
  virtual std::string homeDir() = 0;     // with a trailing "/", empty when unknown
};

// The operating system's file system.
FileSystem& PosixFileSystem();

// A file system in memory, for tests and fuzzing; writes beyond the quota report a full disk.
class MemoryFileSystem : public FileSystem {
public:
  struct Node {
    FileKind kind = FileKind::Regular;
    std::vector<uint8_t> data;
    uint32_t mode = 0644;
    std::time_t mtime = 0;
    uint64_t id = 0;  // the inode: given when the node is made
  };
  explicit MemoryFileSystem(uint64_t quota = UINT64_MAX, std::string cwd = "/work/") : quota_(quota), cwd_(cwd) {
    nodes_["/"] = Node{FileKind::Directory, {}, 0755, 0, nextId_++};
  }
  FileStat stat(const std::string& path) override;
  std::unique_ptr<ByteSource> openRead(const std::string& path) override;
  std::unique_ptr<OutputFile> createFile(const std::string& path) override;
  bool removeFile(const std::string& path) override;
  bool createDir(const std::string& path) override;
  bool removeDir(const std::string& path) override;
  bool setMode(const std::string& path, uint32_t mode) override;
  bool folderWritable(const std::string& path) override;
  std::string currentDir() override { return cwd_; }
  std::string homeDir() override { return home_; }

  void addFile(const std::string& path, std::vector<uint8_t> data);
  void addDir(const std::string& path);
  void setReadOnlyDir(const std::string& path, bool readOnly = true) {
    if (readOnly)
      readOnly_[Key(path)] = true;
    else
      readOnly_.erase(Key(path));
  }
  void setHome(std::string h) { home_ = std::move(h); }
  const std::map<std::string, Node>& nodes() const { return nodes_; }
  uint64_t bytesWritten() const { return used_; }
  static std::string Key(const std::string& path);

private:
  friend class MemoryOutput;
  uint64_t quota_;
  uint64_t used_ = 0;
  uint64_t nextId_ = 1;
  std::string cwd_, home_;
  std::map<std::string, Node> nodes_;
  std::map<std::string, bool> readOnly_;
};

// What the component needs to know about the volume that holds a path.
struct VolumeData {
  bool removable = false;
  std::string label;
  uint32_t serial = 0;
  uint64_t freeBytes = 0, totalBytes = 0;
};

class VolumeInfo {
public:
  virtual ~VolumeInfo() = default;
  // False when the folder's volume cannot be examined; errorText then says why.
  virtual bool query(const std::string& folder, VolumeData& out, std::string& errorText) = 0;
};

VolumeInfo& LinuxVolumeInfo();

// The services a component works with.
struct Services {
  FileSystem* fs = nullptr;
  VolumeInfo* volumes = nullptr;
  std::function<void()> pumpEvents;  // runs pending window messages; empty does nothing
  std::function<std::chrono::steady_clock::time_point()> clock;
  std::function<std::time_t()> now;  // wall clock for daSysDate
  static Services posix();
};

}  // namespace arc

#pragma once
// A file system that folds case, as a vfat or exFAT stick or an SMB share does, over another
// one: a name that differs from an existing one only in the case of Latin letters names that
// same file or folder; a new name keeps its case.
#include <memory>
#include <string>

#include "archive/arcFileIo.h"

namespace ziptest {

class CaseFoldingFs : public arc::FileSystem {
public:
  explicit CaseFoldingFs(arc::FileSystem& inner) : inner_(inner) {}
  arc::FileStat stat(const std::string& path) override { return inner_.stat(Resolve(path)); }
  std::unique_ptr<arc::ByteSource> openRead(const std::string& path) override {
    return inner_.openRead(Resolve(path));
  }
  std::unique_ptr<arc::OutputFile> createFile(const std::string& path) override {
    return inner_.createFile(Resolve(path));
  }
  bool removeFile(const std::string& path) override { return inner_.removeFile(Resolve(path)); }
  bool createDir(const std::string& path) override { return inner_.createDir(Resolve(path)); }
  bool removeDir(const std::string& path) override { return inner_.removeDir(Resolve(path)); }
  bool setMode(const std::string& path, uint32_t mode) override { return inner_.setMode(Resolve(path), mode); }
  bool folderWritable(const std::string& path) override { return inner_.folderWritable(Resolve(path)); }
  std::string currentDir() override { return inner_.currentDir(); }
  std::string homeDir() override { return inner_.homeDir(); }

  // The path with each level that exists under another case spelt as it exists (an absolute
  // path of the operating system's file system).
  static std::string Resolve(const std::string& path);

private:
  arc::FileSystem& inner_;
};

}  // namespace ziptest

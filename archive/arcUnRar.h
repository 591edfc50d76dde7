#pragma once
// TUnRar: the RAR extraction component on the common base. The RAR data itself is read by the
// outside UnRAR library, loaded at run time; without it every run reports that the library is
// missing and nothing else changes. The component drives the library's published interface
// (open, callback, read header, process file, close) and keeps the usual events: begin,
// overwrite rules, password, progress, end of file and errors.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "archive/arcBase.h"

namespace arc {

// ---- the outside library
// Loads the library once (the first call decides; later calls return the same answer). An
// empty path tries the library's usual names. The library must export all seven entry points
// ("RAROpenArchive", "RAROpenArchiveEx", "RARCloseArchive", "RARReadHeader", "RARReadHeaderEx",
// "RARProcessFile", "RARSetCallback"); otherwise it is let go and the fallbacks stay.
bool LoadUnRarLibrary(const std::string& path = "");
// Lets the library go and installs the fallbacks (program end; tests).
void FreeUnRarLibrary();
bool UnRarLibraryLoaded();
// Message code of a library result (0 = no message).
int32_t UnRarResultCode(int result);

// Size records of one extraction: the high 32 bits of each file's uncompressed size and its
// name, in the order of the archive.
class THighFileSizes {
public:
  void Add(const std::string& name, uint64_t value);
  uint32_t HighSize(size_t index) const;
  const std::string& Name(size_t index) const;
  size_t Count() const { return sizes_.size(); }
  void Clear();

private:
  std::vector<uint64_t> sizes_;
  std::vector<std::string> names_;
};

class TUnRar : public TUnBase {
public:
  // A replacement of the library-backed extraction of one run (tests); returns false when it
  // cannot serve, which is reported as a missing library.
  using TRarReader = std::function<bool(TUnRar&, const std::string& archive)>;

  explicit TUnRar(Services services = Services::posix());
  void SetReader(TRarReader reader) { reader_ = std::move(reader); }

  // The password handed to the library (8-bit text).
  std::string Password;

  // The library callback (message, two parameters); 0 = go on, -1 = stop.
  int Callback(unsigned msg, intptr_t p1, intptr_t p2);

protected:
  void ExtractIt(ByteSource* archive) override;

private:
  void RunLibrary(const std::string& archive);
  bool WantFile(const std::string& name, bool directory, std::string& target);

  TRarReader reader_;
  std::string currentFile_;
  int32_t fileIndex_ = 0;
  int operation_ = 0;
  uint32_t runningCrc_ = 0xFFFFFFFFu;
  bool dataCame_ = false;  // the library delivered data of the current file
  uint64_t fileLeft_ = 0, fileSize_ = 0, archiveLeft_ = 0, archiveTotal_ = 0;
  THighFileSizes table_;
};

}  // namespace arc

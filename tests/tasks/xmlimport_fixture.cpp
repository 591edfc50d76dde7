#include "xmlimport_fixture.h"

#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "platform/codepage.h"
#include "support/TestDatabase.h"

namespace xmltest {

namespace {

// One temporary folder per process, removed when the process ends.
struct TempFolder {
  std::string dir = testsupport::MakeTempDir("kesta_xmlimport");
  ~TempFolder() { testsupport::RemoveDir(dir); }
};

}  // namespace

std::string writeTempFile(const std::string& baseName, const std::string& bytes) {
  static const TempFolder folder;
  const std::filesystem::path file = std::filesystem::path(folder.dir) / baseName;
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + file.string());
  return platform::FromFsPath(file.string());
}

}  // namespace xmltest

// The output-path builder on arbitrary name bytes.
#include <cstdlib>
#include <string>

#include "archive/arcUnZip.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t mode = data[0];
  std::string raw(reinterpret_cast<const char*>(data + 1), size - 1);
  std::string name;
  bool valid = arc::ConvertEntryName(raw, mode & 1, mode & 2, name);
  const std::string root = "/sandbox/out/";
  arc::TOutputPath p = arc::BuildOutputPath(name, root, mode & 4);
  if (!p.safe) return 0;
  if (!valid && name.find('\0') != std::string::npos) std::abort();
  if (p.path.compare(0, root.size(), root) != 0) std::abort();
  if (p.path.find('\0') != std::string::npos) std::abort();
  std::string rel = p.path.substr(root.size());
  size_t i = 0;
  while (i <= rel.size()) {
    size_t j = rel.find('/', i);
    if (j == std::string::npos) j = rel.size();
    if (rel.compare(i, j - i, "..") == 0 && j - i == 2) std::abort();
    i = j + 1;
  }
  // Building again from its own relative part gives the same path.
  if (rel.empty()) return 0;  // a directory entry naming the target folder itself
  // a kept last part that looks like a drive ("c:x") is a plain name; as a first part it is not
  if (rel.size() >= 2 && rel[1] == ':') return 0;
  arc::TOutputPath again = arc::BuildOutputPath(rel, root, true);
  if (!again.safe || again.path != p.path) std::abort();
  return 0;
}

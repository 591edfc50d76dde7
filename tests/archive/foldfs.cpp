#include "foldfs.h"

#include <filesystem>

namespace ziptest {

namespace {
std::string Folded(const std::string& s) {
  std::string r = s;
  for (char& c : r)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return r;
}
}  // namespace

std::string CaseFoldingFs::Resolve(const std::string& path) {
  if (path.empty() || path[0] != '/') return path;
  std::string cur = "/";
  size_t i = 1;
  while (i < path.size()) {
    size_t j = path.find('/', i);
    const bool last = j == std::string::npos;
    if (last) j = path.size();
    std::string part = path.substr(i, j - i);
    std::error_code ec;
    if (!part.empty() && !std::filesystem::exists(std::filesystem::symlink_status(cur + part, ec))) {
      for (const auto& d : std::filesystem::directory_iterator(cur, ec)) {
        const std::string name = d.path().filename().string();
        if (Folded(name) == Folded(part)) {
          part = name;
          break;
        }
      }
    }
    cur += part;
    if (!last) cur += '/';
    i = j + 1;
  }
  return cur;
}

}  // namespace ziptest

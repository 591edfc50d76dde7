// The linear matcher against a small recursive reference of the same semantics.
#include <cstdlib>
#include <string>

#include "archive/arcMask.h"

namespace {
bool Ref(const std::string& m, size_t i, const std::string& n, size_t j, int depth) {
  if (depth > 64) return false;
  if (i == m.size()) return j == n.size();
  if (m[i] == '*') {
    size_t k = i;
    while (k < m.size() && (m[k] == '*' || m[k] == '?')) ++k;
    for (size_t p = j; p <= n.size(); ++p)
      if (Ref(m.substr(k), 0, n, p, depth + 1)) return true;
    return false;
  }
  if (j == n.size()) return false;
  if (m[i] == '?' || arc::UpCase1251(static_cast<unsigned char>(m[i])) == arc::UpCase1251(static_cast<unsigned char>(n[j])))
    return Ref(m, i + 1, n, j + 1, depth);
  return false;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string all(reinterpret_cast<const char*>(data), size);
  size_t cut = all.find('\n');
  if (cut == std::string::npos) return 0;
  std::string mask = all.substr(0, cut), name = all.substr(cut + 1);
  bool fast = arc::MaskMatches(mask, name);
  size_t stars = 0;
  for (char c : mask) stars += c == '*';
  if (stars > 4 || name.size() > 24) return 0;  // keep the (exponential) reference cheap
  std::string n = name;
  if (!mask.empty() && mask.back() == '.' && n.find('.') == std::string::npos) n += '.';
  if (fast != Ref(mask, 0, n, 0, 0)) std::abort();
  return 0;
}

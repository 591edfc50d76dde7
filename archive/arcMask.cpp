#include "archive/arcMask.h"

namespace arc {

unsigned char UpCase1251(unsigned char c) {
  if (c >= 'a' && c <= 'z') return static_cast<unsigned char>(c - 32);
  if (c >= 0xE0) return static_cast<unsigned char>(c - 32);
  switch (c) {
    case 0xB8: return 0xA8;  // yo
    case 0xA2: return 0xA1;
    case 0xB3: return 0xB2;
    case 0xBA: return 0xAA;
    case 0xBF: return 0xAF;
    case 0xBC: return 0xA3;
    case 0xBE: return 0xBD;
    case 0xB4: return 0xA5;
    case 0x83: return 0x81;
    default: break;
  }
  if (c >= 0x9A && c <= 0x9F && c != 0x9B) return static_cast<unsigned char>(c - 16);
  if (c == 0x90) return 0x80;
  return c;
}

std::string UpperCase1251(std::string_view s) {
  std::string r(s);
  for (auto& c : r) c = static_cast<char>(UpCase1251(static_cast<unsigned char>(c)));
  return r;
}

void TInternalMask::compile(std::string_view mask) {
  items_.clear();
  bool pending = false;
  for (char c : mask) {
    if (c == '*') {
      pending = true;
    } else if (c == '?') {
      if (!pending) items_.push_back(Item{false, 1, 0});
    } else {
      items_.push_back(Item{pending, 0, UpCase1251(static_cast<unsigned char>(c))});
      pending = false;
    }
  }
  items_.push_back(Item{pending, 0, 0});
  dotFlag_ = !mask.empty() && mask.back() == '.';
}

bool TInternalMask::matches(std::string_view nameIn) const {
  std::string name(nameIn);
  if (dotFlag_ && name.find('.') == std::string::npos) name.push_back('.');
  // Token form: -1 star, -2 any character, else the capital character.
  std::vector<int> tok;
  tok.reserve(items_.size() * 2);
  for (size_t k = 0; k < items_.size(); ++k) {
    if (items_[k].star) tok.push_back(-1);
    if (k + 1 == items_.size()) break;  // end marker
    tok.push_back(items_[k].kind == 1 ? -2 : items_[k].ch);
  }
  // Two-pointer match; a failure resumes only after the last star.
  const size_t P = tok.size(), N = name.size();
  size_t pi = 0, ni = 0, starP = SIZE_MAX, starN = 0;
  while (ni < N) {
    int c = UpCase1251(static_cast<unsigned char>(name[ni]));
    if (pi < P && tok[pi] != -1 && (tok[pi] == -2 || tok[pi] == c)) {
      ++pi;
      ++ni;
    } else if (pi < P && tok[pi] == -1) {
      starP = pi++;
      starN = ni;
    } else if (starP != SIZE_MAX) {
      pi = starP + 1;
      ni = ++starN;
    } else {
      return false;
    }
  }
  while (pi < P && tok[pi] == -1) ++pi;
  return pi == P;
}

bool MaskMatches(std::string_view mask, std::string_view name) { return TInternalMask(mask).matches(name); }

namespace {
std::string Normal(std::string_view s) {
  std::string r(s);
  for (auto& c : r)
    if (c == '\\') c = '/';
  return r;
}
// Splits a normalised mask into folder (upper case, no leading '/', trailing '/') and file part.
void SplitMask(const std::string& mask, std::string& folder, std::string& file) {
  std::string m = mask;
  if (m.size() >= 2 && m[1] == ':' && std::isalpha(static_cast<unsigned char>(m[0]))) m.erase(0, 2);
  size_t s = m.find_last_of('/');
  if (s == std::string::npos) {
    folder.clear();
    file = m;
    return;
  }
  folder = m.substr(0, s + 1);
  file = m.substr(s + 1);
  size_t lead = folder.find_first_not_of('/');
  folder = lead == std::string::npos ? std::string() : folder.substr(lead);
  folder = UpperCase1251(folder);
}
void SplitName(const std::string& name, std::string& folder, std::string& file) {
  size_t s = name.find_last_of('/');
  if (s == std::string::npos) {
    folder.clear();
    file = name;
  } else {
    folder = UpperCase1251(name.substr(0, s + 1));
    file = name.substr(s + 1);
  }
  size_t lead = folder.find_first_not_of('/');
  folder = lead == std::string::npos ? std::string() : folder.substr(lead);
}
bool HasFolder(const std::string& normalMask) { return normalMask.find('/') != std::string::npos; }
bool MatchWithDots(std::string mask, std::string name) {
  if (MaskMatches(mask, name)) return true;
  if (name.find('.') == std::string::npos) name.push_back('.');
  if (mask.find('.') == std::string::npos) mask.push_back('.');
  return MaskMatches(mask, name);
}
}  // namespace

bool EntrySelection::selected(const std::string& rawName) const {
  if (rawName.empty()) return false;
  bool any = false;
  for (const auto& m : fileSpec)
    if (!m.empty()) any = true;
  if (!any) return false;
  const std::string name = Normal(rawName);
  std::string nFolder, nFile;
  SplitName(name, nFolder, nFile);

  for (const auto& ex : excludeSpec) {
    if (ex.empty()) continue;
    std::string m = Normal(ex);
    bool hit;
    if (!HasFolder(m)) {
      hit = MaskMatches(m, recurseDirs ? nFile : name);
    } else {
      std::string mFolder, mFile;
      SplitMask(m, mFolder, mFile);
      std::string nf = "/" + nFolder, mf = "/" + mFolder;
      bool folderFits = recurseDirs ? nf.find(mf) != std::string::npos
                                    : (nf.size() >= mf.size() && nf.compare(nf.size() - mf.size(), mf.size(), mf) == 0);
      hit = folderFits && MaskMatches(mFile, nFile);
    }
    if (hit) {
      if (onExclude) onExclude(rawName);
      return false;
    }
  }

  for (const auto& spec : fileSpec) {
    if (spec.empty()) continue;
    std::string m = Normal(spec);
    if (UpperCase1251(m) == UpperCase1251(name)) return true;
    std::string mFolder, mFile;
    SplitMask(m, mFolder, mFile);
    bool maskHasFolder = HasFolder(m);
    bool fits;
    std::string subject;
    if (!recurseDirs) {
      fits = mFolder == nFolder;
      subject = nFile;
    } else if (maskHasFolder) {
      fits = nFolder.compare(0, mFolder.size(), mFolder) == 0;
      subject = nFile;
    } else {
      fits = true;
      subject = nFile;
    }
    if (fits && MatchWithDots(mFile, subject)) return true;
  }
  return false;
}

}  // namespace arc

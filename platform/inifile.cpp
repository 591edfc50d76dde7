#include "platform/inifile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/codepage.h"
#include "platform/exception.h"
#include "platform/strutil.h"

namespace platform {
namespace {

// A parsed view of one line.
struct LineInfo {
  enum Kind { Other, Section, Key } kind = Other;
  std::string name;   // section or key name, trimmed
  std::string value;  // key value, trimmed, quotes removed
};

LineInfo classify(const std::string& raw) {
  LineInfo li;
  std::string t = Trim(raw);
  if (t.empty() || t[0] == ';') return li;
  if (t[0] == '[') {
    size_t e = t.find(']');
    if (e == std::string::npos) return li;
    li.kind = LineInfo::Section;
    li.name = Trim(t.substr(1, e - 1));
    return li;
  }
  size_t eq = t.find('=');
  if (eq == std::string::npos) return li;
  li.kind = LineInfo::Key;
  li.name = Trim(t.substr(0, eq));
  std::string v = Trim(t.substr(eq + 1));
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) v = v.substr(1, v.size() - 2);
  li.value = v;
  return li;
}

// Index range [begin, end) of the lines of the first section of that name; begin points at the header.
bool findSection(const std::vector<std::string>& lines, std::string_view section, size_t& begin, size_t& end) {
  for (size_t i = 0; i < lines.size(); ++i) {
    LineInfo li = classify(lines[i]);
    if (li.kind == LineInfo::Section && AnsiSameText(li.name, Trim(section))) {
      begin = i;
      end = lines.size();
      for (size_t j = i + 1; j < lines.size(); ++j)
        if (classify(lines[j]).kind == LineInfo::Section) {
          end = j;
          break;
        }
      return true;
    }
  }
  return false;
}

bool usesCrLf(const std::string& text) { return text.find("\r\n") != std::string::npos; }

}  // namespace

TIniFile::TIniFile(std::string fileName) : fileName_(std::move(fileName)) {}

std::vector<std::string> TIniFile::load() const {
  std::vector<std::string> lines;
  std::ifstream f(ToFsPath(fileName_), std::ios::binary);
  if (!f) return lines;
  std::stringstream ss;
  ss << f.rdbuf();
  std::string text = ss.str();
  size_t start = 0;
  while (start < text.size()) {
    size_t nl = text.find('\n', start);
    std::string line = text.substr(start, nl == std::string::npos ? std::string::npos : nl - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    if (nl == std::string::npos) break;
    start = nl + 1;
  }
  return lines;
}

void TIniFile::store(const std::vector<std::string>& lines) const {
  std::string path = ToFsPath(fileName_);
  std::string eol = "\n";
  {
    std::ifstream f(path, std::ios::binary);
    if (f) {
      std::stringstream ss;
      ss << f.rdbuf();
      if (usesCrLf(ss.str())) eol = "\r\n";
    }
  }
  std::string text;
  for (auto& l : lines) text += l + eol;
  // A file that may not be written (read-only, or not ours to write) stays as it is: the
  // rename below would otherwise replace it whatever its permissions.
  struct stat st {};
  const bool exists = ::stat(path.c_str(), &st) == 0;
  if (exists && (st.st_mode & 0222) == 0) throw EOSError("Cannot write file " + fileName_ + ": the file is read-only");
  if (exists && ::access(path.c_str(), W_OK) != 0) {
    throw EOSError("Cannot write file " + fileName_ + ": " + std::strerror(errno));
  }
  // Write beside the file and rename over it, so a failed write never leaves half a file.
  std::string tmp = path + ".tmp~";
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) throw EOSError("Cannot write file " + fileName_ + ": " + std::strerror(errno));
  if (exists) ::fchmod(fd, st.st_mode & 07777);
  size_t done = 0;
  while (done < text.size()) {
    ssize_t w = ::write(fd, text.data() + done, text.size() - done);
    if (w < 0) {
      if (errno == EINTR) continue;
      int err = errno;
      ::close(fd);
      ::unlink(tmp.c_str());
      throw EOSError("Cannot write file " + fileName_ + ": " + std::strerror(err));
    }
    done += static_cast<size_t>(w);
  }
  if (::close(fd) != 0 || ::rename(tmp.c_str(), path.c_str()) != 0) {
    int err = errno;
    ::unlink(tmp.c_str());
    throw EOSError("Cannot write file " + fileName_ + ": " + std::strerror(err));
  }
}

std::string TIniFile::ReadString(std::string_view section, std::string_view key, std::string_view def) const {
  auto lines = load();
  size_t b, e;
  if (!findSection(lines, section, b, e)) return std::string(def);
  std::string k = Trim(key);
  for (size_t i = b + 1; i < e; ++i) {
    LineInfo li = classify(lines[i]);
    if (li.kind == LineInfo::Key && AnsiSameText(li.name, k)) return li.value;
  }
  return std::string(def);
}

int32_t TIniFile::ReadInteger(std::string_view section, std::string_view key, int32_t def) const {
  return StrToIntDef(ReadString(section, key, ""), def);
}

bool TIniFile::ReadBool(std::string_view section, std::string_view key, bool def) const {
  return ReadInteger(section, key, def ? 1 : 0) != 0;
}

void TIniFile::WriteString(std::string_view section, std::string_view key, std::string_view value) {
  auto lines = load();
  std::string k = Trim(key);
  size_t b, e;
  if (!findSection(lines, section, b, e)) {
    if (!lines.empty() && !Trim(lines.back()).empty()) lines.emplace_back();
    lines.push_back("[" + std::string(section) + "]");
    lines.push_back(k + "=" + std::string(value));
    store(lines);
    return;
  }
  size_t lastKey = b;
  for (size_t i = b + 1; i < e; ++i) {
    LineInfo li = classify(lines[i]);
    if (li.kind == LineInfo::Key) {
      if (AnsiSameText(li.name, k)) {
        lines[i] = li.name + "=" + std::string(value);
        store(lines);
        return;
      }
      lastKey = i;
    }
  }
  lines.insert(lines.begin() + static_cast<long>(lastKey + 1), k + "=" + std::string(value));
  store(lines);
}

void TIniFile::WriteInteger(std::string_view section, std::string_view key, int32_t value) {
  WriteString(section, key, IntToStr(value));
}

void TIniFile::WriteBool(std::string_view section, std::string_view key, bool value) {
  WriteString(section, key, value ? "1" : "0");
}

bool TIniFile::SectionExists(std::string_view section) const {
  auto lines = load();
  size_t b, e;
  return findSection(lines, section, b, e);
}

bool TIniFile::ValueExists(std::string_view section, std::string_view key) const {
  auto names = ReadSection(section);
  for (auto& n : names)
    if (AnsiSameText(n, Trim(key))) return true;
  return false;
}

std::vector<std::string> TIniFile::ReadSection(std::string_view section) const {
  std::vector<std::string> out;
  auto lines = load();
  size_t b, e;
  if (!findSection(lines, section, b, e)) return out;
  for (size_t i = b + 1; i < e; ++i) {
    LineInfo li = classify(lines[i]);
    if (li.kind != LineInfo::Key) continue;
    bool dup = false;
    for (auto& n : out)
      if (AnsiSameText(n, li.name)) dup = true;
    if (!dup) out.push_back(li.name);
  }
  return out;
}

void TIniFile::ReadSectionValues(std::string_view section, TParams& out) const {
  out.clear();
  auto lines = load();
  size_t b, e;
  if (!findSection(lines, section, b, e)) return;
  std::vector<std::string> seen;
  for (size_t i = b + 1; i < e; ++i) {
    LineInfo li = classify(lines[i]);
    if (li.kind != LineInfo::Key) continue;
    bool dup = false;
    for (auto& n : seen)
      if (AnsiSameText(n, li.name)) dup = true;
    if (dup) continue;  // the first of duplicate keys wins, as a read of that key gives
    seen.push_back(li.name);
    out.addLine(li.name + "=" + li.value);
  }
}

std::vector<std::string> TIniFile::ReadSections() const {
  std::vector<std::string> out;
  for (auto& l : load()) {
    LineInfo li = classify(l);
    if (li.kind == LineInfo::Section) out.push_back(li.name);
  }
  return out;
}

void TIniFile::EraseSection(std::string_view section) {
  auto lines = load();
  size_t b, e;
  if (!findSection(lines, section, b, e)) return;
  lines.erase(lines.begin() + static_cast<long>(b), lines.begin() + static_cast<long>(e));
  store(lines);
}

void TIniFile::DeleteKey(std::string_view section, std::string_view key) {
  auto lines = load();
  size_t b, e;
  if (!findSection(lines, section, b, e)) return;
  for (size_t i = b + 1; i < e; ++i) {
    LineInfo li = classify(lines[i]);
    if (li.kind == LineInfo::Key && AnsiSameText(li.name, Trim(key))) {
      lines.erase(lines.begin() + static_cast<long>(i));
      store(lines);
      return;
    }
  }
}

}  // namespace platform

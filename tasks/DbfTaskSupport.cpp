#include "tasks/DbfTaskSupport.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "platform/codepage.h"
#include "platform/exception.h"
#include "platform/strutil.h"
#include "xbase/XBaseDB.h"
#include "xbase/checked.h"

namespace tasks::dbftask {

std::string FolderOf(std::string_view path) {
  const size_t sep = path.find_last_of("/\\");
  return sep == std::string_view::npos ? std::string() : std::string(path.substr(0, sep + 1));
}

std::string FileNameOf(std::string_view path) {
  const size_t sep = path.find_last_of("/\\");
  return std::string(sep == std::string_view::npos ? path : path.substr(sep + 1));
}

namespace {

uint32_t Le(const unsigned char* p, int bytes) {
  uint32_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = v << 8 | p[i];
  return v;
}

[[noreturn]] void Damaged(const std::string& fileName, const std::string& what) {
  throw EDamagedTable(platform::Utf8ToCp1251("Файл \"") + fileName + platform::Utf8ToCp1251("\" поврежден: ") + what);
}

std::string Counted(int64_t n) { return platform::Utf8ToCp1251("записей в заголовке - ") + platform::IntToStr(n); }

}  // namespace

DbfHeader CheckDbfFile(const std::string& fileName) {
  // The name as the table opens it: ".DBF" added when it has no extension.
  std::string path = fileName;
  if (FileNameOf(path).find('.') == std::string::npos) path += ".DBF";
  const int fd = ::open(platform::ToFsPath(path).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  struct stat st {};
  std::vector<unsigned char> head(32);
  bool read = ::fstat(fd, &st) == 0 && ::pread(fd, head.data(), head.size(), 0) == static_cast<ssize_t>(head.size());
  const uint32_t count = read ? Le(&head[4], 4) : 0;
  const uint32_t headerLen = read ? Le(&head[8], 2) : 0;
  const uint32_t recordLen = read ? Le(&head[10], 2) : 0;
  if (read && headerLen > head.size() && static_cast<int64_t>(headerLen) <= st.st_size) {
    head.resize(headerLen);
    read = ::pread(fd, head.data(), headerLen, 0) == static_cast<ssize_t>(headerLen);
  }
  ::close(fd);
  if (!read) Damaged(fileName, platform::Utf8ToCp1251("заголовок не прочитан"));
  const int64_t size = st.st_size;
  if (headerLen <= 32 || recordLen == 0 || headerLen > size)
    Damaged(fileName, platform::Utf8ToCp1251("неверный заголовок, ") + Counted(count));
  // The field descriptors (48 bytes from offset 68 in dBASE 7 tables, else 32 bytes from
  // offset 32) end with a carriage return.
  const bool level7 = (head[0] & 0x07) == 4;
  bool terminated = false;
  for (uint32_t at = level7 ? 68 : 32; at < headerLen && !terminated; at += level7 ? 48 : 32)
    terminated = head[at] == 0x0D;
  if (!terminated)
    Damaged(fileName, platform::Utf8ToCp1251("в заголовке нет конца списка полей, ") + Counted(count));
  // Whole records behind the header; an end-of-file byte may follow them.
  const int64_t held = (size - headerLen) / recordLen;
  if (held != count)
    Damaged(fileName, Counted(count) + platform::Utf8ToCp1251(", в файле - ") + platform::IntToStr(held));
  // Language driver 0xC9: Russian Windows (CP1251); 0x26 and 0x65 are Russian MS-DOS (CP866).
  constexpr unsigned char kRussianWindows = 0xC9;
  return {count, head[29] == kRussianWindows};
}

void OpenDbf(xb::TXBaseDataSet& table, const std::string& fileName) {
  table.Close();
  const DbfHeader header = CheckDbfFile(fileName);
  int64_t count = header.count;
  table.SetReadOnly(true);
  table.SetTranslateASCII(!header.cp1251);
  table.SetUseDeleted(true);
  table.SetDatabaseName(FolderOf(fileName));
  table.SetTableName(FileNameOf(fileName));
  table.Open();
  // Every record the header counts must be walked, visible or deleted: records the table
  // hides (a header it cannot follow, a filter) must not pass for a shorter file.
  int64_t walked = 0;
  for (table.First(); !table.Eof(); table.Next()) ++walked;
  table.SetUseDeleted(false);
  if (count < 0) count = table.RecordCount();
  if (walked != count) {
    table.Close();
    Damaged(fileName, Counted(count) + platform::Utf8ToCp1251(", прочитано - ") + platform::IntToStr(walked));
  }
  table.First();
}

bool IsConversionError(const std::exception& e) {
  return dynamic_cast<const platform::EConvertError*>(&e) != nullptr ||
         dynamic_cast<const xb::ERangeError*>(&e) != nullptr || dynamic_cast<const xb::EIntOverflow*>(&e) != nullptr;
}

int32_t TextThenInteger(std::string_view text) { return platform::StrToInt(text); }

const std::string& MessageCaption() {
  static const std::string s = platform::Utf8ToCp1251("Сообщение");
  return s;
}

std::string FailureLine(const std::exception& e) {
  std::string line = platform::ExceptionClassName(e) + ": ";
  const std::string_view text = e.what();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\r' && text[i] != '\n') {
      line += text[i];
      continue;
    }
    while (i + 1 < text.size() && (text[i + 1] == '\r' || text[i + 1] == '\n')) ++i;
    if (i + 1 < text.size()) line += "; ";
  }
  return line;
}

}  // namespace tasks::dbftask

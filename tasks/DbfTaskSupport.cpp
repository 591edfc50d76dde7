#include "tasks/DbfTaskSupport.h"

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

void OpenDbf(xb::TXBaseDataSet& table, const std::string& fileName) {
  table.Close();
  table.SetReadOnly(true);
  table.SetTranslateASCII(true);
  table.SetDatabaseName(FolderOf(fileName));
  table.SetTableName(FileNameOf(fileName));
  table.Open();
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

#pragma once
// What the DBF tasks (the attached population, the privileged persons, the drug
// directory) share: opening the data module's DBF table on a file, the silent groups of
// assignments and the caption of their message boxes.
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

#include "platform/exception.h"

namespace xb {
class TXBaseDataSet;
}

namespace tasks::dbftask {

// Folder part of a path (up to and including the last '/' or '\'), "" when it has none.
std::string FolderOf(std::string_view path);
// The file name behind the folder part.
std::string FileNameOf(std::string_view path);

// A table file whose header does not agree with its records: the tasks replace data from
// it only when every record the header counts is there and is walked.
class EDamagedTable : public platform::Exception {
public:
  using Exception::Exception;
  const char* className() const noexcept override { return "EDamagedTable"; }
};

// What the header of a table file says: its record count, and whether its language
// driver byte declares the Windows Cyrillic code page (CP1251).
struct DbfHeader {
  int64_t count = -1;  // -1: the file could not be opened here (the table's open reports that)
  bool cp1251 = false;
};

// Checks the file's header against the file before the table is opened: the field list
// ends with its terminator and the file holds as many whole records as the header counts.
// EDamagedTable naming the file and the counts when not.
DbfHeader CheckDbfFile(const std::string& fileName);

// Points the table at the file's folder and name and opens it read-only, after
// CheckDbfFile; texts are taken as CP866 and read as CP1251 unless the header declares
// CP1251 (then they are read as they stand). Then walks it once, deleted records included,
// and raises EDamagedTable (the table closed) when the records walked are not the header's
// count. The table stands on its first visible record.
void OpenDbf(xb::TXBaseDataSet& table, const std::string& fileName);

// True for the errors of a value that does not convert: a text that is no number or date,
// a number outside the range asked for.
bool IsConversionError(const std::exception& e);

// A text read from the file, then taken as an integer (StrToInt rules: leading blanks and
// a sign allowed, trailing blanks not). EConvertError when it is none.
int32_t TextThenInteger(std::string_view text);

// Runs a group of assignments as one unit: a conversion error ends the group silently;
// every other error goes on.
template <class F>
void RunGroup(F&& group) {
  try {
    group();
  } catch (const std::exception& e) {
    if (!IsConversionError(e)) throw;
  }
}

// "Сообщение", the caption of the program's message boxes.
const std::string& MessageCaption();

// Why a task failed, as one line of its messages: the error's class name and its text
// (line breaks of the text become "; "), e.g. "EDatabaseError: Field 'ENP' not found".
std::string FailureLine(const std::exception& e);

}  // namespace tasks::dbftask

#pragma once
// Messages, exception classes and global constants of the xBase engine.
#include <cstdint>
#include <string>
#include <string_view>
#include <initializer_list>

#include "platform/exception.h"

namespace xb {

// Engine errors (tables, memo and index files).
class EXBaseError : public platform::Exception {
public:
  using platform::Exception::Exception;
  const char* className() const noexcept override { return "EXBaseError"; }
};

// Password and table-encryption errors.
class EXBaseEncryption : public platform::Exception {
public:
  using platform::Exception::Exception;
  const char* className() const noexcept override { return "EXBaseEncryption"; }
};

// Expression parser errors.
class EXBaseExpression : public platform::Exception {
public:
  using platform::Exception::Exception;
  const char* className() const noexcept override { return "EXBaseExpression"; }
};

// Errors of the dataset component, as the platform's datasets raise them.
class EDatabaseError : public platform::Exception {
public:
  using platform::Exception::Exception;
  const char* className() const noexcept override { return "EDatabaseError"; }
};

// Message templates. They take %s and %d only; arguments are substituted in order
// and never interpreted, so file data can be passed safely.
namespace msg {
inline constexpr const char* TableNameMissing = "Table name missing";
inline constexpr const char* CannotFindFile = "Cannot find file %s";
inline constexpr const char* ErrorGetting = "Error getting %s";
inline constexpr const char* IndexAlreadyOpen = "Index file %s already open";
inline constexpr const char* RecordBeyondRange = "Record request beyond range of table";
inline constexpr const char* CannotDelete = "Cannot delete the record";
inline constexpr const char* CannotRecall = "Cannot recall the record";
inline constexpr const char* BookmarkInvalid = "Bookmark is invalid for table ";
inline constexpr const char* RecordLocked = "Record is locked by another user";
inline constexpr const char* BusyIndexing = "Table is busy building an index";
inline constexpr const char* BusyCopying = "Table is busy copying";
inline constexpr const char* FilterNotBoolean = "Filter expression must return boolean result";
inline constexpr const char* NotEditing = "Dataset not in edit or insert mode";
inline constexpr const char* MasterNoIndex = "Master/Detail relation failed, no index open for %s";
inline constexpr const char* MasterMismatch = "Master/Detail relation failed, field missmatch for %s";
inline constexpr const char* ErrorFileSize = "Error getting FileSize for file %s";
inline constexpr const char* ErrorFlush = "Error on Flush for file %s";
inline constexpr const char* CannotLock = "Can not Lock file %s";
inline constexpr const char* FileNotFound = "File %s could not be found";
inline constexpr const char* ErrorRead = "Error on Read of file %s";
inline constexpr const char* ErrorClose = "Error in Close of file %s";
inline constexpr const char* ErrorRename = "Error on Rename of file %s";
inline constexpr const char* AccessDenied = "Access denied to file %s";
inline constexpr const char* CouldNotCreate = "Could not create file %s";
inline constexpr const char* NeedsFullAccess = "%s requires full access to file %s";
inline constexpr const char* ErrorTruncate = "Error in Truncate of file %s";
inline constexpr const char* ErrorUnlock = "Error in Unlock of file %s";
inline constexpr const char* ErrorWrite = "Error writing to %s";
inline constexpr const char* VariantMismatch = "Variant types mismatch for compare";
inline constexpr const char* VariantNotSortable = "Variant type cannot be sorted";
inline constexpr const char* InvalidNumeric = "Invalid numeric value in field %s";
inline constexpr const char* NumericTooBig = "numeric value too big in field %s";
inline constexpr const char* InvalidDate = "Invalid date in field %s";
inline constexpr const char* NoFieldName = "There is no field name %s";
inline constexpr const char* InvalidValue = "Invalid %s value for field %s";
inline constexpr const char* IncorrectType = "Field %s is the incorrect type";
inline constexpr const char* MemoBad = "Memo record is bad in %s";
inline constexpr const char* RecordNotInTable = "Record number %d is not in table %s";
inline constexpr const char* HeaderInvalid = "Table Header for %s is invalid";
inline constexpr const char* HeaderDamaged = "Table Header for %s is damaged: %s";
inline constexpr const char* NoFieldTerminator = "the field descriptors have no terminator";
inline constexpr const char* HeaderTooShort = "the header length %d is shorter than its %d field descriptors";
inline constexpr const char* RecordLengthMismatch = "the record length %d does not match the fields (%d bytes)";
inline constexpr const char* RecordDamaged = "Record %d of table %s is damaged: its deletion flag is neither blank nor '*'";
inline constexpr const char* IndexCorrupted = "Index file %s is corrupted";
inline constexpr const char* NoIndexTag = "Cannot find index tag %s";
inline constexpr const char* CannotLockIndexes = "Could not lock indexes for Table %s";
inline constexpr const char* PasswordForPlain = "A Password is included for unencrypted file %s";
inline constexpr const char* NoPassword = "No Password for encrypted file %s";
inline constexpr const char* InvalidPassword = "Invalid Password for encrypted file %s";
// Texts of the platform's dataset layer.
inline constexpr const char* ClosedDataset = "Cannot perform this operation on a closed dataset";
inline constexpr const char* FieldNotFound = "Field '%s' not found";
inline constexpr const char* FieldReadOnly = "Field '%s' cannot be modified";
inline constexpr const char* ReadOnlyDataset = "Cannot modify a read-only dataset";
inline constexpr const char* DatasetOpen = "Cannot perform this operation on an open dataset";
inline constexpr const char* AccessAsType = "Cannot access field '%s' as type %s";
inline constexpr const char* NotBrowsing = "Dataset not in browse mode";
inline constexpr const char* FieldNotIndexed = "Field '%s' is not indexed and cannot be modified";
inline constexpr const char* CircularDataLink = "Circular datalinks are not allowed";
inline constexpr const char* NoIndexForKey = "Cannot perform this operation without a current index";
}  // namespace msg

// One formatting argument: a text or an integer.
struct FmtArg {
  FmtArg(std::string_view s) : text(s), isInt(false) {}
  FmtArg(const std::string& s) : text(s), isInt(false) {}
  FmtArg(const char* s) : text(s), isInt(false) {}
  FmtArg(int64_t v) : num(v), isInt(true) {}
  FmtArg(int32_t v) : num(v), isInt(true) {}
  FmtArg(uint32_t v) : num(v), isInt(true) {}
  std::string_view text;
  int64_t num = 0;
  bool isInt;
};

// Substitutes %s and %d of the template in order; "%%" gives "%".
std::string xbFormat(std::string_view tmpl, std::initializer_list<FmtArg> args);

[[noreturn]] void xbRaise(const char* tmpl, std::initializer_list<FmtArg> args = {});
[[noreturn]] void xbRaiseEncryption(const char* tmpl, std::initializer_list<FmtArg> args = {});
[[noreturn]] void xbRaiseDatabase(const char* tmpl, std::initializer_list<FmtArg> args = {});

// Global constants.
inline constexpr std::string_view xbTrueChars = "TtYyJj";
inline constexpr std::string_view xbFalseChars = "FfNn";
inline constexpr uint8_t xbEOFMark = 0x1A;
inline constexpr uint8_t xbFieldTerminator = 0x0D;   // ends the field descriptors of a DBF header
inline constexpr uint8_t xbSetMask[8] = {0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40, 0x80};
inline constexpr uint8_t xbClearMask[8] = {0xFE, 0xFD, 0xFB, 0xF7, 0xEF, 0xDF, 0xBF, 0x7F};

inline bool xbIsTrueChar(char c) { return xbTrueChars.find(c) != std::string_view::npos; }
inline bool xbIsFalseChar(char c) { return xbFalseChars.find(c) != std::string_view::npos; }

// Lock retry budget: a lock that fails is retried after the interval until the
// budget is spent (5000 / 50 = 100 tries). Tests may shorten it.
struct TxbLockRetry {
  uint16_t budgetMs = 5000;
  uint16_t intervalMs = 50;
  int tries() const { return intervalMs == 0 ? 1 : (budgetMs / intervalMs < 1 ? 1 : budgetMs / intervalMs); }
};
TxbLockRetry& xbLockRetry();

}  // namespace xb

#pragma once
// The DBF table file: header, field descriptors, records, header upkeep, the
// table's locks and typed field access.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "xbase/xb_disk.h"
#include "xbase/xb_memo.h"

namespace xb {

// One field descriptor as read from the file, with the offset and number filled in.
struct TxbFieldDesc {
  std::string Name;       // cut at the first zero byte
  char Type = 0;          // type letter
  uint32_t Offset = 0;    // inside the record (the first field is at 1)
  uint32_t Length = 0;    // C: byte 16 + 256 x byte 17
  uint8_t Decimals = 0;   // 0 for C
  uint32_t Number = 0;    // 1-based
};

// Event codes of NotifyEvent.
enum TxbEvent : int {
  xbeBlanked = 0, xbeOpened = 2, xbeBeforeRead = 4, xbeBeforeWrite = 5, xbeAfterRead = 6,
  xbeAfterWrite = 7, xbeFlush = 8
};

class XBO_dBaseDBF : public XBO_DiskFile {
public:
  // fileName without extension gets ".DBF"; a name that differs only in case is found.
  XBO_dBaseDBF(const std::string& fileName, bool readWrite, bool shared, const std::string& password);
  ~XBO_dBaseDBF() override;

  void Flush() override;
  bool Rename(const std::string& newName) override;

  virtual void Append();
  virtual void NotifyEvent(int code, int32_t value);
  // n >= 1 reads record n; -1 next, -2 prior, -3 top, -4 bottom, -5 re-read, 0 nothing.
  virtual void GoTo(int32_t code);
  virtual bool LockAppend();
  virtual bool LockTable();
  virtual bool LockFull();
  virtual bool UnlockTable();
  virtual bool LockRecord();
  virtual void PutRecord(int32_t n);
  virtual void SetLockProtocol(int protocol);
  virtual bool IndexLocking() { return false; }

  // Re-reads the header of a shared table and the record count from the file size.
  void RefreshHeader();
  void WriteHeader();
  // The record count the file size holds.
  uint32_t CountFromSize();

  // Points the current-record pointer at another buffer of RecordLength bytes (nullptr: own buffer).
  void SetCurRecord(uint8_t* buffer) { CurRecord = buffer ? buffer : RecordBuffer.data(); }
  uint8_t* OwnRecord() { return RecordBuffer.data(); }
  bool IsDeleted() const { return CurRecord[0] == '*'; }

  // The memo object, made on first need (none when the table has no memo file).
  XBobjMemoBase* Memo();
  std::string MemoFileName() const;

  // Registration with the expression language, called once per opened table.
  static std::function<void(XBO_dBaseDBF&)>& ExpressionHook();

  uint8_t Header[32] = {};
  std::string TableStem;
  uint8_t Version = 0;
  uint32_t RecordCount = 0;
  uint32_t HeaderLength = 0;
  uint32_t RecordLength = 0;
  int FieldCount = 0;
  std::vector<TxbFieldDesc> Fields;   // index 0 is field 1
  std::vector<uint8_t> DescArea;      // deciphered descriptor bytes
  int32_t RecNo = 0;
  std::vector<uint8_t> RecordBuffer;  // RecordLength + 1, the last byte 0x1A
  uint8_t* CurRecord = nullptr;
  std::vector<uint8_t> OldBuffer;
  std::vector<uint8_t> CryptBuffer;
  std::vector<uint8_t> FieldChanged;  // [0] delete flag, [n] field n
  bool Eof = false;
  bool Bof = true;
  bool ProductionIndex = false, MemoPresent = false, DatabaseContainer = false;
  uint32_t ChangeStamp = 0;
  bool Encrypted = false;
  std::string Password, WriteKey;
  int32_t UserID = 0;
  bool HasMemo = false;
  bool HeaderChanged = false;
  bool TableChanged = false;
  bool RecordChanged = false;
  bool RecordWritten = false;
  bool FileLocked = false;
  bool AutoFlush = false;
  int LockProtocol = Default;
  TxbLockParams LockParams;
  bool TranslateOEM = true;
  int BusyState = 1;

protected:
  void ReadRecord(int32_t n);
  void WriteRecordAt(int32_t n, bool withEof);
  // Record n as the file held it before the rewrite under way (deciphered), or
  // nullptr when it was not kept; a rewrite whose upkeep fails writes it back.
  virtual const uint8_t* PriorRecord(int32_t n) { return nullptr; }
  int64_t RecordOffset(int32_t n) const;
  bool TableLockRange(const TxbLockSpan& s);
  std::unique_ptr<XBobjMemoBase> memo_;

private:
  // A record write whose upkeep failed (the index keys) is taken back before the
  // failure reaches the caller: an append leaves the count and the file as they were,
  // a rewrite writes the record's former image again.
  void takeBackAppend(uint32_t oldCount, int32_t oldRecNo, int64_t oldSize, int64_t at, const std::string& tail);
  // stored: the record's bytes as the file held them (nullptr: the prior record).
  void takeBackEdit(int32_t n, const uint8_t* stored);
  static std::string resolveName(const std::string& fileName);
  void readStructure();
  // Raises the damage of a header whose descriptors have no terminator where the header
  // length puts it (slots: the descriptors it has room for).
  [[noreturn]] void headerDamaged(uint32_t slots);
};

class XBO_dBaseFld : public XBO_dBaseDBF {
public:
  XBO_dBaseFld(const std::string& fileName, bool readWrite, bool shared, const std::string& password);

  // 0 when no field has the name (cut to 11 characters, right-trimmed, without regard to case).
  int FieldNo(std::string_view name) const;
  const TxbFieldDesc& FieldDescByName(std::string_view name) const;
  const TxbFieldDesc* FieldDesc(int n) const {
    return (n >= 1 && n <= FieldCount) ? &Fields[static_cast<size_t>(n - 1)] : nullptr;
  }

  void BlankRecord();
  void DeleteRecord();
  void RecallRecord();

  // Raw field bytes of the current record (full length); empty view for a bad number.
  std::string_view FieldView(int n) const;
  std::string FieldGet(int n) const { return std::string(FieldView(n)); }
  std::string FieldGetByName(std::string_view name) const { return FieldGet(FieldNo(name)); }
  bool FieldPut(int n, std::string_view text);
  bool FieldPutByName(std::string_view name, std::string_view text) { return FieldPut(requireNo(name), text); }

  int FieldDecimals(int n) const;
  uint32_t FieldLength(int n) const;
  uint32_t FieldOffset(int n) const;
  std::string FieldName(int n) const;
  char FieldType(int n) const;

  int32_t DateGet(int n) const;
  int32_t DateGetByName(std::string_view name) const;
  bool DatePut(int n, int32_t julian);
  bool DatePutByName(std::string_view name, int32_t julian) { return DatePut(requireNo(name), julian); }

  bool LogicGet(int n) const;
  bool LogicGetByName(std::string_view name) const;
  void LogicPut(int n, bool value);
  void LogicPutByName(std::string_view name, bool value) { LogicPut(requireNo(name), value); }

  double NumberGet(int n) const;
  // The value of field n in a record buffer of RecordLength bytes (the current record untouched).
  double NumberAt(int n, const uint8_t* record) const;
  double NumberGetByName(std::string_view name) const;
  void NumberPut(int n, double value);
  void NumberPutByName(std::string_view name, double value) { NumberPut(requireNo(name), value); }

  std::string StringGet(int n);
  std::string StringGetByName(std::string_view name) { return StringGet(requireNo(name)); }
  void StringPut(int n, std::string_view text);
  void StringPutByName(std::string_view name, std::string_view text) { StringPut(requireNo(name), text); }

  // Memo fields (M, B, G): block 0 or a table without a memo file reads as empty text.
  uint32_t MemoBlock(int n) const;
  uint32_t MemoLength(int n);
  std::string MemoRead(int n, size_t maxSize = SIZE_MAX);
  void MemoWrite(int n, std::string_view data);

  // Fills buffer (RecordLength bytes) as a blank record holding the values of the
  // ';'-separated field list: one value for all, or one per field. Texts are
  // CP1251 and translated to OEM when TranslateOEM is set.
  void BuildSearchRecord(uint8_t* buffer, std::string_view fieldList, const std::vector<std::string>& values);
  // The names of a ';'-separated field list, trimmed; empty entries are dropped.
  static std::vector<std::string> SplitFieldList(std::string_view fieldList);

  // Whether field n holds its value in binary form (version 0x30 B, G, I, M, T, Y).
  bool IsBinaryField(int n) const;

private:
  int requireNo(std::string_view name) const;
  std::string fieldRef(const TxbFieldDesc& f) const;   // "stem->name"
  std::unordered_map<std::string, int> byName_;
};

}  // namespace xb

#pragma once
// Memo files beside a table: dBase III ".dbt", dBase IV ".dbt" and FoxPro ".fpt".
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "xbase/xb_disk.h"

namespace xb {

class XBobjMemoBase : public XBO_DiskFile {
public:
  XBobjMemoBase(const std::string& fileName, bool readWrite, bool shared, int protocol);

  // Length of the stored text of a block (0 for block 0).
  uint32_t MemoLength(uint32_t block);
  // Reads at most maxSize bytes of the text (deciphered for an encrypted table).
  std::string MemoRead(uint32_t block, size_t maxSize = SIZE_MAX);
  // Stores size bytes; block receives the block used (an empty text with block 0 does nothing).
  void MemoWrite(const void* data, uint32_t size, uint32_t& block);

  virtual void SetLockProtocol(int protocol);
  // Renames to the new table name with the memo extension.
  virtual bool RenameMemo(const std::string& newTableName);

  void SetKeys(bool encrypted, const std::string& readKey, const std::string& writeKey);

  // An update of several texts that is taken back as a whole when a later step fails.
  // BeginUpdate takes the memo lock of a shared file for the whole update ("Can not Lock
  // file %s"); from then on every write first saves the bytes of the file it covers, and a
  // dBase IV text that moves keeps its old run until CommitUpdate releases it (a failure
  // there only leaves that run unused). RollbackUpdate writes the saved bytes back, newest
  // first, and cuts the file to its old size; false when a write of the rollback failed.
  void BeginUpdate();
  void CommitUpdate();
  bool RollbackUpdate();
  bool Updating() const { return updating_; }
  // A run that is no longer used once the update is committed (dBase IV frees it then).
  void ReleaseAfterUpdate(uint32_t block) {
    if (updating_) deferredReleases_.push_back(block);
  }
  void Write(int64_t pos, const void* buffer, int64_t count) override;

  uint32_t BlockSize = 512;
  uint32_t HeaderSize = 0;
  uint32_t CurBlock = 0;
  uint32_t CurBlockCount = 0;   // blocks of the memo just written (32-bit)
  int Protocol = Default;
  bool Encrypted = false;
  std::string ReadKey, WriteKey;

protected:
  // The number of blocks in the file (file size div BlockSize, at least 1).
  uint32_t FileBlocks();
  // Checks that [offset, offset + length) lies inside the file.
  void CheckInside(uint64_t offset, uint64_t length);
  [[noreturn]] void Bad();
  // Stored length (block header included) of a block; 0 when the format keeps none.
  virtual uint32_t BlockLength(uint32_t block) = 0;
  // Bytes of text of a block.
  virtual uint32_t TextLength(uint32_t block);
  // Offset of the text inside its block.
  virtual uint32_t TextOffset() const { return HeaderSize; }
  // Chooses the block for a text of length bytes (may reuse oldBlock); fills the block header.
  virtual uint32_t AllocateBlocks(uint32_t length, uint32_t oldBlock, uint32_t oldLength,
                                  std::vector<uint8_t>& image) = 0;
  virtual void ReleaseBlocks(uint32_t block) {}
  virtual void PutTerminator(std::vector<uint8_t>& image, uint32_t textEnd) {}
  // Appends blocks at the end through the header's next-free number.
  uint32_t AppendBlocks(uint32_t count, bool bigEndian);
  void WriteStem(const std::string& tableName);
  bool LockMemo();
  // Runs whose release waits for CommitUpdate.
  std::vector<uint32_t> deferredReleases_;

private:
  void endUpdate();
  struct SavedBytes {
    int64_t pos;
    std::vector<uint8_t> bytes;
  };
  bool updating_ = false;
  bool updateLocked_ = false;
  int64_t updateSize_ = 0;
  std::vector<SavedBytes> saved_;
};

// dBase III: 512-byte blocks, text ended by 0x1A 0x1A.
class XBobjMemo : public XBobjMemoBase {
public:
  XBobjMemo(const std::string& fileName, bool readWrite, bool shared, int protocol);
  bool RenameMemo(const std::string& newTableName) override;

protected:
  uint32_t BlockLength(uint32_t block) override { return 0; }
  uint32_t TextLength(uint32_t block) override;
  uint32_t TextOffset() const override { return Encrypted ? 4 : 0; }
  uint32_t AllocateBlocks(uint32_t length, uint32_t oldBlock, uint32_t oldLength,
                          std::vector<uint8_t>& image) override;
  void PutTerminator(std::vector<uint8_t>& image, uint32_t textEnd) override;
};

// dBase IV: blocks of the size in the header, used blocks FF FF 08 00 + length,
// released runs on a free list.
class XBobjMemo4 : public XBobjMemoBase {
public:
  XBobjMemo4(const std::string& fileName, bool readWrite, bool shared, int protocol);
  bool RenameMemo(const std::string& newTableName) override;

protected:
  uint32_t BlockLength(uint32_t block) override;
  uint32_t AllocateBlocks(uint32_t length, uint32_t oldBlock, uint32_t oldLength,
                          std::vector<uint8_t>& image) override;
  void ReleaseBlocks(uint32_t block) override;
};

// FoxPro: big-endian numbers, block type and length in front of the text.
class XBobjFXMemo20 : public XBobjMemoBase {
public:
  XBobjFXMemo20(const std::string& fileName, bool readWrite, bool shared, int protocol);

protected:
  uint32_t BlockLength(uint32_t block) override;
  uint32_t AllocateBlocks(uint32_t length, uint32_t oldBlock, uint32_t oldLength,
                          std::vector<uint8_t>& image) override;
};

// Kinds of memo file.
enum class TxbMemoKind { DBase3, DBase4, FoxPro };
// Writes the header of a new, empty memo file (block size 512 for ".dbt", 64 for ".fpt"
// unless given).
void xbCreateMemoFile(const std::string& fileName, TxbMemoKind kind, const std::string& tableStem,
                      uint32_t blockSize = 0);

}  // namespace xb

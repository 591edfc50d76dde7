#include "xbase/xb_memo.h"

#include <algorithm>
#include <cstring>

#include "xbase/SysXBase.h"
#include "xbase/checked.h"
#include "xbase/xb_cnst.h"
#include "xbase/xb_encrxm.h"
#include "xbase/xb_glbl.h"

namespace xb {

namespace {
uint32_t le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}
uint32_t be32(const uint8_t* p) {
  return static_cast<uint32_t>(p[3]) | static_cast<uint32_t>(p[2]) << 8 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[0]) << 24;
}
void putLe32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}
void putBe32(uint8_t* p, uint32_t v) {
  p[3] = static_cast<uint8_t>(v);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[0] = static_cast<uint8_t>(v >> 24);
}
uint32_t blocksFor(uint64_t bytes, uint32_t blockSize) {
  return checked_cast<uint32_t>((bytes + blockSize - 1) / blockSize);
}

// Releases the memo lock on every path.
struct MemoLockGuard {
  XBO_DiskFile* f;
  bool held;
  ~MemoLockGuard() {
    if (held) {
      try {
        f->Unlock();
      } catch (...) {
      }
    }
  }
};
}  // namespace

XBobjMemoBase::XBobjMemoBase(const std::string& fileName, bool readWrite, bool shared, int protocol)
    : XBO_DiskFile(fileName, readWrite, shared), Protocol(protocol) {
  Open();
}

void XBobjMemoBase::SetKeys(bool encrypted, const std::string& readKey, const std::string& writeKey) {
  Encrypted = encrypted;
  ReadKey = readKey;
  WriteKey = writeKey;
}

void XBobjMemoBase::SetLockProtocol(int protocol) { Protocol = protocol; }

void XBobjMemoBase::BeginUpdate() {
  if (updating_) xbRaise(msg::ErrorWrite, {FileName});
  if (!ReadWrite) xbRaise(msg::ErrorWrite, {FileName});
  if (Shared) {
    if (!LockMemo()) xbRaise(msg::CannotLock, {FileName});
    updateLocked_ = true;
  }
  updating_ = true;
  try {
    updateSize_ = FileSize();
  } catch (...) {
    endUpdate();
    throw;
  }
  saved_.clear();
  deferredReleases_.clear();
}

void XBobjMemoBase::Write(int64_t pos, const void* buffer, int64_t count) {
  if (updating_ && count > 0 && pos < updateSize_) {
    // Bytes past the old end go with the cut of a rollback; the others are kept.
    int64_t n = std::min(count, updateSize_ - pos);
    SavedBytes s{pos, std::vector<uint8_t>(static_cast<size_t>(n))};
    s.bytes.resize(static_cast<size_t>(std::max<int64_t>(0, XBO_DiskFile::Read(pos, s.bytes.data(), n))));
    saved_.push_back(std::move(s));
  }
  XBO_DiskFile::Write(pos, buffer, count);
}

void XBobjMemoBase::endUpdate() {
  updating_ = false;
  saved_.clear();
  deferredReleases_.clear();
  if (updateLocked_) {
    updateLocked_ = false;
    try {
      Unlock();
    } catch (...) {
    }
  }
}

void XBobjMemoBase::CommitUpdate() {
  if (!updating_) return;
  updating_ = false;
  std::vector<uint32_t> runs = std::move(deferredReleases_);
  deferredReleases_.clear();
  for (uint32_t block : runs) {
    try {
      ReleaseBlocks(block);
    } catch (const std::exception&) {
      // The texts are in place; the run stays out of the free list.
    }
  }
  endUpdate();
}

bool XBobjMemoBase::RollbackUpdate() {
  if (!updating_) return true;
  updating_ = false;
  bool ok = true;
  for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
    try {
      XBO_DiskFile::Write(it->pos, it->bytes.data(), static_cast<int64_t>(it->bytes.size()));
    } catch (const std::exception&) {
      ok = false;
    }
  }
  try {
    // The memo lock keeps other writers out, so a shared file is cut as well.
    if (FileSize() > updateSize_ && xbTruncateFile(Handle, updateSize_) != 0) ok = false;
  } catch (const std::exception&) {
    ok = false;
  }
  endUpdate();
  return ok;
}

void XBobjMemoBase::Bad() { xbRaise(msg::MemoBad, {FileName}); }

uint32_t XBobjMemoBase::FileBlocks() {
  int64_t size = FileSize();
  uint64_t n = (static_cast<uint64_t>(size) + BlockSize - 1) / BlockSize;
  if (n < 1) n = 1;
  if (n > UINT32_MAX) Bad();
  return static_cast<uint32_t>(n);
}

void XBobjMemoBase::CheckInside(uint64_t offset, uint64_t length) {
  uint64_t size = static_cast<uint64_t>(FileSize());
  if (offset > size || length > size - offset) Bad();
}

uint32_t XBobjMemoBase::TextLength(uint32_t block) {
  uint32_t stored = BlockLength(block);
  if (stored < HeaderSize) Bad();
  CheckInside(static_cast<uint64_t>(block) * BlockSize, stored);
  return stored - HeaderSize;
}

uint32_t XBobjMemoBase::MemoLength(uint32_t block) {
  if (block == 0) return 0;
  return TextLength(block);
}

std::string XBobjMemoBase::MemoRead(uint32_t block, size_t maxSize) {
  if (block == 0) return std::string();
  uint32_t len = MemoLength(block);
  size_t n = std::min<size_t>(len, maxSize);
  std::string out(n, '\0');
  if (n == 0) return out;
  uint64_t pos = static_cast<uint64_t>(block) * BlockSize + TextOffset();
  int64_t got = Read(static_cast<int64_t>(pos), out.data(), static_cast<int64_t>(n));
  if (got != static_cast<int64_t>(n)) Bad();
  if (Encrypted) xbEncrypt(ReadKey, out.data(), out.data(), n, 0);
  return out;
}

bool XBobjMemoBase::LockMemo() {
  auto span = xbMemoLockSpan(Protocol);
  if (!span) return false;
  int tries = xbLockRetry().tries();
  for (int i = 0; i < tries; ++i) {
    if (LockRange(span->offset, span->length)) return true;
    if (i + 1 < tries) xbSleep(xbLockRetry().intervalMs);
  }
  return false;
}

void XBobjMemoBase::MemoWrite(const void* data, uint32_t size, uint32_t& block) {
  if (size == 0 && block == 0) return;
  if (!ReadWrite) xbRaise(msg::ErrorWrite, {FileName});
  MemoLockGuard guard{this, false};
  if (Shared) {
    if (!LockMemo()) xbRaise(msg::CannotLock, {FileName});
    guard.held = true;
  }
  uint32_t oldBlock = block, oldLength = 0;
  if (oldBlock != 0) {
    try {
      oldLength = MemoLength(oldBlock);
    } catch (const EXBaseError&) {
      oldBlock = 0;   // a damaged old block is left alone and the text goes elsewhere
    }
  }
  std::vector<uint8_t> image;
  uint32_t nb = AllocateBlocks(size, oldBlock, oldLength, image);
  uint32_t off = TextOffset();
  if (image.size() < static_cast<size_t>(off) + size) Bad();
  if (size) {
    std::memcpy(image.data() + off, data, size);
    if (Encrypted) xbEncrypt(WriteKey, image.data() + off, image.data() + off, size, 1);
  }
  PutTerminator(image, off + size);
  uint64_t pos = checked_mul<uint64_t>(nb, BlockSize);
  Write(static_cast<int64_t>(pos), image.data(), static_cast<int64_t>(image.size()));
  block = nb;
  CurBlock = nb;
  CurBlockCount = static_cast<uint32_t>(image.size() / BlockSize);
}

uint32_t XBobjMemoBase::AppendBlocks(uint32_t count, bool bigEndian) {
  uint8_t h[4] = {};
  Read(0, h, 4);
  uint32_t next = bigEndian ? be32(h) : le32(h);
  uint32_t end = FileBlocks();
  // A next-free number inside the data (a damaged header) must not overwrite texts.
  if (next < end) next = end;
  uint32_t after = checked_add(next, count);
  if (bigEndian)
    putBe32(h, after);
  else
    putLe32(h, after);
  Write(0, h, 4);
  return next;
}

void XBobjMemoBase::WriteStem(const std::string& tableName) {
  uint8_t stem[9] = {};
  std::string s = xbFileStem(tableName);
  std::memcpy(stem, s.data(), std::min<size_t>(8, s.size()));
  Write(8, stem, 9);
}

bool XBobjMemoBase::RenameMemo(const std::string& newTableName) {
  return Rename(xbChangeExt(newTableName, xbHasExt(FileName) ? FileName.substr(FileName.find_last_of('.')) : ""));
}

// dBase III

XBobjMemo::XBobjMemo(const std::string& fileName, bool readWrite, bool shared, int protocol)
    : XBobjMemoBase(fileName, readWrite, shared, protocol) {
  BlockSize = 512;
  HeaderSize = 0;
}

uint32_t XBobjMemo::TextLength(uint32_t block) {
  uint64_t start = static_cast<uint64_t>(block) * BlockSize;
  uint64_t size = static_cast<uint64_t>(FileSize());
  if (start >= size) Bad();
  if (Encrypted) {
    uint8_t h[4];
    if (Read(static_cast<int64_t>(start), h, 4) != 4) Bad();
    uint32_t len = le32(h);
    CheckInside(start + 4, len);
    return len;
  }
  // Count up to the first 0x1A, at most 65519 when none comes within 65520 bytes;
  // the end of the file ends the text as well.
  constexpr uint32_t kLimit = 65520;
  uint8_t buf[16384];
  uint32_t counted = 0;
  while (counted < kLimit) {
    uint32_t want = std::min<uint32_t>(sizeof buf, kLimit - counted);
    int64_t got = Read(static_cast<int64_t>(start + counted), buf, want);
    if (got <= 0) return counted;
    const void* hit = std::memchr(buf, xbEOFMark, static_cast<size_t>(got));
    if (hit) return counted + static_cast<uint32_t>(static_cast<const uint8_t*>(hit) - buf);
    counted += static_cast<uint32_t>(got);
    if (got < want) return counted;
  }
  return kLimit - 1;
}

uint32_t XBobjMemo::AllocateBlocks(uint32_t length, uint32_t oldBlock, uint32_t oldLength,
                                   std::vector<uint8_t>& image) {
  uint64_t extra = Encrypted ? 4 + 2 : 2;
  uint32_t needed = blocksFor(length + extra, BlockSize);
  uint32_t oldBlocks = oldBlock ? blocksFor(oldLength + extra, BlockSize) : 0;
  uint32_t nb = (oldBlock && oldBlocks >= needed) ? oldBlock : AppendBlocks(needed, false);
  image.assign(static_cast<size_t>(needed) * BlockSize, 0);
  if (Encrypted) putLe32(image.data(), length);
  return nb;
}

void XBobjMemo::PutTerminator(std::vector<uint8_t>& image, uint32_t textEnd) {
  if (static_cast<size_t>(textEnd) + 2 > image.size()) Bad();
  image[textEnd] = xbEOFMark;
  image[textEnd + 1] = xbEOFMark;
}

bool XBobjMemo::RenameMemo(const std::string& newTableName) {
  bool r = XBobjMemoBase::RenameMemo(newTableName);
  if (ReadWrite) WriteStem(newTableName);
  return r;
}

// dBase IV

XBobjMemo4::XBobjMemo4(const std::string& fileName, bool readWrite, bool shared, int protocol)
    : XBobjMemoBase(fileName, readWrite, shared, protocol) {
  HeaderSize = 8;
  uint8_t h[24] = {};
  Read(0, h, sizeof h);   // a short file reads as zeros
  BlockSize = le32(h + 20);
  if (BlockSize == 0) BlockSize = 512;
  if (BlockSize < 16 || BlockSize > (1u << 20)) Bad();
  int64_t size = FileSize();
  if (size < BlockSize && ReadWrite) {
    std::vector<uint8_t> zeros(static_cast<size_t>(BlockSize - size), 0);
    Write(size, zeros.data(), static_cast<int64_t>(zeros.size()));
  }
}

uint32_t XBobjMemo4::BlockLength(uint32_t block) {
  uint8_t h[8];
  uint64_t pos = static_cast<uint64_t>(block) * BlockSize;
  if (block == 0 || Read(static_cast<int64_t>(pos), h, 8) != 8) Bad();
  if (h[0] != 0xFF || h[1] != 0xFF) Bad();
  return le32(h + 4);
}

void XBobjMemo4::ReleaseBlocks(uint32_t block) {
  uint32_t stored = BlockLength(block);
  uint32_t count = blocksFor(stored, BlockSize);
  uint8_t h[8];
  if (Read(0, h, 4) != 4) Bad();
  uint8_t run[8];
  putLe32(run, le32(h));
  putLe32(run + 4, count);
  Write(static_cast<int64_t>(static_cast<uint64_t>(block) * BlockSize), run, 8);
  putLe32(h, block);
  putLe32(h + 4, 0);
  Write(0, h, 8);
}

uint32_t XBobjMemo4::AllocateBlocks(uint32_t length, uint32_t oldBlock, uint32_t oldLength,
                                    std::vector<uint8_t>& image) {
  // Inside an update the old run stays in use until the update is committed.
  if (oldBlock) {
    if (Updating())
      deferredReleases_.push_back(oldBlock);
    else
      ReleaseBlocks(oldBlock);
  }
  uint32_t needed = blocksFor(static_cast<uint64_t>(length) + 8, BlockSize);
  image.assign(static_cast<size_t>(needed) * BlockSize, 0);
  image[0] = 0xFF;
  image[1] = 0xFF;
  image[2] = 8;
  image[3] = 0;
  putLe32(image.data() + 4, checked_add<uint32_t>(length, 8));

  // The free list ends with a link that names the end of the file (or 0). The walk stops
  // there, or at a link that names no free run: a text's head, a count of no blocks or
  // one that passes the end of the file (a damaged file, a header or a run naming a
  // live text). The blocks then go at the end, and the link the walk stopped at is made
  // to name the new end, so that no link ever names the blocks just taken.
  uint8_t h[4];
  if (Read(0, h, 4) != 4) Bad();
  uint32_t nblocks = FileBlocks();
  uint64_t prevLink = 0;   // file offset of the link that points at the current run
  uint32_t cur = le32(h);
  uint32_t steps = 0;
  while (cur >= 1 && cur < nblocks) {
    if (++steps > nblocks) Bad();   // a cyclic free list
    uint8_t run[8];
    uint64_t runPos = static_cast<uint64_t>(cur) * BlockSize;
    if (Read(static_cast<int64_t>(runPos), run, 8) != 8) Bad();
    uint32_t next = le32(run), count = le32(run + 4);
    const bool textHead = run[0] == 0xFF && run[1] == 0xFF && run[2] == 8 && run[3] == 0;
    if (textHead || count == 0 || count > nblocks - cur) break;
    if (count >= needed) {
      uint32_t target = next;
      if (count > needed) {
        uint32_t rest = cur + needed;
        uint8_t rem[8];
        putLe32(rem, next);
        putLe32(rem + 4, count - needed);
        Write(static_cast<int64_t>(static_cast<uint64_t>(rest) * BlockSize), rem, 8);
        target = rest;
      }
      uint8_t link[4];
      putLe32(link, target);
      Write(static_cast<int64_t>(prevLink), link, 4);
      return cur;
    }
    prevLink = runPos;
    cur = next;
  }
  uint32_t nb = nblocks;
  uint8_t link[4];
  putLe32(link, checked_add(nb, needed));
  Write(static_cast<int64_t>(prevLink), link, 4);
  return nb;
}

bool XBobjMemo4::RenameMemo(const std::string& newTableName) {
  bool r = XBobjMemoBase::RenameMemo(newTableName);
  if (ReadWrite) WriteStem(newTableName);
  return r;
}

// FoxPro

XBobjFXMemo20::XBobjFXMemo20(const std::string& fileName, bool readWrite, bool shared, int protocol)
    : XBobjMemoBase(fileName, readWrite, shared, protocol) {
  HeaderSize = 8;
  uint8_t h[8] = {};
  if (Read(0, h, 8) != 8) Bad();
  BlockSize = be32(h + 4) & 0xFFFF;
  if (BlockSize == 0) Bad();
}

uint32_t XBobjFXMemo20::BlockLength(uint32_t block) {
  uint8_t h[8];
  uint64_t pos = static_cast<uint64_t>(block) * BlockSize;
  if (pos < 8 || Read(static_cast<int64_t>(pos), h, 8) != 8) Bad();
  uint32_t type = be32(h);
  if (type != 0 && type != 1) Bad();
  uint64_t len = static_cast<uint64_t>(be32(h + 4)) + 8;
  if (len > UINT32_MAX) Bad();
  return static_cast<uint32_t>(len);
}

uint32_t XBobjFXMemo20::AllocateBlocks(uint32_t length, uint32_t oldBlock, uint32_t oldLength,
                                       std::vector<uint8_t>& image) {
  uint32_t needed = blocksFor(static_cast<uint64_t>(length) + 8, BlockSize);
  uint32_t oldBlocks = oldBlock ? blocksFor(static_cast<uint64_t>(oldLength) + 8, BlockSize) : 0;
  uint32_t nb = (oldBlock && oldBlocks >= needed) ? oldBlock : AppendBlocks(needed, true);
  image.assign(static_cast<size_t>(needed) * BlockSize, 0);
  putBe32(image.data(), 1);
  putBe32(image.data() + 4, length);
  return nb;
}

void xbCreateMemoFile(const std::string& fileName, TxbMemoKind kind, const std::string& tableStem,
                      uint32_t blockSize) {
  XBO_DiskFile f(fileName, true, false);
  f.Create();
  std::vector<uint8_t> h;
  std::string stem = xbFileStem(tableStem);
  switch (kind) {
    case TxbMemoKind::DBase3:
      h.assign(512, 0);
      putLe32(h.data(), 1);
      std::memcpy(h.data() + 8, stem.data(), std::min<size_t>(8, stem.size()));
      break;
    case TxbMemoKind::DBase4: {
      uint32_t bs = blockSize ? blockSize : 512;
      h.assign(bs, 0);
      putLe32(h.data(), 1);
      std::memcpy(h.data() + 8, stem.data(), std::min<size_t>(8, stem.size()));
      putLe32(h.data() + 20, bs);
      break;
    }
    case TxbMemoKind::FoxPro: {
      uint32_t bs = blockSize ? blockSize : 64;
      uint32_t first = (512 + bs - 1) / bs;
      h.assign(static_cast<size_t>(first) * bs, 0);
      putBe32(h.data(), first);
      putBe32(h.data() + 4, bs);
      break;
    }
  }
  f.Write(0, h.data(), static_cast<int64_t>(h.size()));
  f.Close();
}

}  // namespace xb

#include "archive/arcInflate64.h"

#include <algorithm>
#include <cstring>

#include "archive/arcInflateCore.h"
#include "archive/arcStreams.h"

namespace arc {

using namespace inflate_detail;

namespace {
constexpr size_t kInputPiece = 32768;
constexpr size_t kCodeOff = 0;
constexpr size_t kLenOff = kCodeOff + kCodeTableSize;
constexpr size_t kDistOff = kLenOff + kLenTableSize;
constexpr size_t kFixedLenOff = kDistOff + kDistTableSize;
constexpr size_t kFixedDistOff = kFixedLenOff + kLenTableSize;
constexpr size_t kTablesSize = kFixedDistOff + kDistTableSize;
constexpr uint8_t kCodeOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
}  // namespace

TInflateBlockDecoder::TInflateBlockDecoder(TArcEntryHost& host, TStream32& archive, const TArcEntryInfo& info,
                                           TInflateVariant variant, uint32_t windowSize, bool zeroHistory)
    : FHost(host),
      FArchive(archive),
      FInfo(info),
      FD64(variant == TInflateVariant::Deflate64),
      FWindowSize(windowSize),
      FIn(kInputPiece),
      FTables(kTablesSize) {
  FAreaSize = size_t{4} * windowSize;
  FWinStore.assign(FAreaSize + kCopySlack, 0);
  FWin = FWinStore.data();
  if (zeroHistory) FPos = FFlushed = windowSize;  // the zero bytes before the output
}

TInflateBlockDecoder::~TInflateBlockDecoder() = default;

bool TInflateBlockDecoder::Cancelled() { return FHost.Cancelled(); }

bool TInflateBlockDecoder::ReadMore() {
  if (FEndOfInput) return false;
  const uint64_t left = FInfo.packedSize - FPackedRead;
  const int32_t want = static_cast<int32_t>(std::min<uint64_t>(left, kInputPiece));
  const int32_t got = want > 0 ? FArchive.Read(FIn.data(), want) : 0;
  if (got <= 0) {
    FEndOfInput = true;
    return false;
  }
  if (IsInputCipherKind(FInfo.encKind)) FHost.DecryptInput(FInfo.encKind, FIn.data(), static_cast<size_t>(got));
  FPackedRead += static_cast<uint64_t>(got);
  FInPos = 0;
  FInEnd = static_cast<size_t>(got);
  return true;
}

void TInflateBlockDecoder::PullByte() {
  if (FInPos == FInEnd && !ReadMore()) {
    if (FPadBits < (1u << 30)) FPadBits += 8;  // zero bits past the end of the entry
    FBitCount += 8;
    return;
  }
  FBitBuf |= uint64_t{FIn[FInPos++]} << FBitCount;
  FBitCount += 8;
}

TDecodeResult TInflateBlockDecoder::Flush() {
  if (FFlushResult != TDecodeResult::Ok) return FFlushResult;
  const size_t n = FPos - FFlushed;
  if (n == 0) return TDecodeResult::Ok;
  const uint64_t room = FInfo.unpackedSize - FProduced;
  const size_t w = static_cast<size_t>(std::min<uint64_t>(n, room));
  if (w > 0) {
    const int64_t written = FHost.WriteOutput(FWin + FFlushed, w);
    if (written != static_cast<int64_t>(w)) return FFlushResult = TDecodeResult::WriteFailed;
    FProduced += w;
  }
  FFlushed = FPos;
  FHost.ProcessMessages();
  if (n > w) return FFlushResult = TDecodeResult::DataError;  // more than the declared size
  return TDecodeResult::Ok;
}

bool TInflateBlockDecoder::MakeRoom() {
  if (Flush() != TDecodeResult::Ok) return false;
  const size_t keep = std::min<size_t>(FPos, FWindowSize);
  std::memmove(FWin, FWin + FPos - keep, keep);
  FPos = FFlushed = keep;
  return true;
}

bool TInflateBlockDecoder::CopyFromWindow(uint32_t dist, uint32_t len) {
  if (dist == 0 || dist > FPos || dist > FWindowSize) return false;
  while (len > 0) {
    if (FPos == FAreaSize && !MakeRoom()) return false;
    const uint32_t k = static_cast<uint32_t>(std::min<size_t>(len, FAreaSize - FPos));
    CopyMatch(FWin + FPos, dist, k);
    FPos += k;
    len -= k;
  }
  return true;
}

bool TInflateBlockDecoder::DecodeSlow(const uint32_t* table, unsigned root, uint32_t& e) {
  NeedBits(15);
  e = table[FBitBuf & ((uint64_t{1} << root) - 1)];
  if (e & kSub) {
    DropBits(e & 0xFF);
    e = table[(e >> 16) + (FBitBuf & ((uint64_t{1} << CodeBits(e)) - 1))];
  }
  DropBits(CodeBits(e));
  return !InputOverrun();
}

TDecodeResult TInflateBlockDecoder::StoredBlock() {
  DropBits(FBitCount & 7);
  const uint32_t len = GetBits(16);
  const uint32_t nlen = GetBits(16);
  if (InputOverrun()) return TDecodeResult::DataError;
  if (len != (~nlen & 0xFFFF)) return TDecodeResult::BadBlock;
  uint32_t left = len;
  while (left > 0 && FBitCount >= 8) {  // whole bytes already in the bit buffer
    const uint8_t b = static_cast<uint8_t>(FBitBuf);
    DropBits(8);
    if (InputOverrun()) return TDecodeResult::DataError;
    if (!PutByte(b)) return FFlushResult;
    --left;
  }
  while (left > 0) {
    if (FHost.Cancelled()) return TDecodeResult::Cancelled;
    if (FPos == FAreaSize && !MakeRoom()) return FFlushResult;
    if (FInPos == FInEnd && !ReadMore()) return TDecodeResult::DataError;  // input ran out
    const size_t k = std::min({static_cast<size_t>(left), FInEnd - FInPos, FAreaSize - FPos});
    std::memcpy(FWin + FPos, FIn.data() + FInPos, k);
    FPos += k;
    FInPos += k;
    left -= static_cast<uint32_t>(k);
  }
  return TDecodeResult::Ok;
}

TDecodeResult TInflateBlockDecoder::DynamicTables() {
  const unsigned nlen = GetBits(5) + 257;
  const unsigned ndist = GetBits(5) + 1;
  const unsigned ncode = GetBits(4) + 4;
  if (InputOverrun()) return TDecodeResult::DataError;
  if (!FD64 && (nlen > 286 || ndist > 30)) return TDecodeResult::BadBlock;
  uint8_t lens[320] = {};
  for (unsigned i = 0; i < ncode; ++i) lens[kCodeOrder[i]] = static_cast<uint8_t>(GetBits(3));
  if (InputOverrun()) return TDecodeResult::DataError;
  uint32_t* codeTable = FTables.data() + kCodeOff;
  if (!BuildTable(lens, 19, TableKind::CodeLengths, FD64, codeTable, kCodeTableSize, kCodeRoot))
    return TDecodeResult::BadBlock;
  const unsigned total = nlen + ndist;
  std::memset(lens, 0, sizeof lens);
  unsigned have = 0;
  while (have < total) {
    uint32_t e;
    if (!DecodeSlow(codeTable, kCodeRoot, e)) return TDecodeResult::DataError;
    const unsigned sym = e >> 16;
    if (sym < 16) {
      lens[have++] = static_cast<uint8_t>(sym);
      continue;
    }
    uint8_t val = 0;
    unsigned rep;
    if (sym == 16) {
      if (have == 0) return TDecodeResult::BadBlock;
      val = lens[have - 1];
      rep = 3 + GetBits(2);
    } else if (sym == 17) {
      rep = 3 + GetBits(3);
    } else {
      rep = 11 + GetBits(7);
    }
    if (InputOverrun()) return TDecodeResult::DataError;
    if (have + rep > total) return TDecodeResult::BadBlock;
    while (rep--) lens[have++] = val;
  }
  if (lens[256] == 0) return TDecodeResult::BadBlock;
  if (!BuildTable(lens, nlen, TableKind::LitLen, FD64, FTables.data() + kLenOff, kLenTableSize, kLenRoot,
                  &FLenPairs) ||
      !BuildTable(lens + nlen, ndist, TableKind::Dist, FD64, FTables.data() + kDistOff, kDistTableSize, kDistRoot))
    return TDecodeResult::BadBlock;
  FLenCode = FTables.data() + kLenOff;
  FDistCode = FTables.data() + kDistOff;
  return TDecodeResult::Ok;
}

TDecodeResult TInflateBlockDecoder::CodesBlock() {
  auto copyFailed = [this] {
    return FFlushResult != TDecodeResult::Ok ? FFlushResult : TDecodeResult::DataError;
  };
  for (;;) {
    if (FAreaSize - FPos < kFastOutput && !MakeRoom()) return FFlushResult;
    if (FInEnd - FInPos >= kFastInput) {
      FastIO f;
      f.in = FIn.data() + FInPos;
      f.inEnd = FIn.data() + FInEnd;
      f.out = FWin + FPos;
      f.outEnd = FWin + FAreaSize;
      f.base = FWin;
      f.maxDist = FWindowSize;
      f.plain = PlainDeflate(FWindowSize, FD64);
      f.bitBuf = FBitBuf;
      f.bitCount = FBitCount;
      f.lenTable = FLenCode;
      f.pairs = FLenPairs;
      f.distTable = FDistCode;
      f.error = nullptr;
      const FastExit r = InflateFast(f);
      FInPos = static_cast<size_t>(f.in - FIn.data());
      FPos = static_cast<size_t>(f.out - FWin);
      FBitBuf = f.bitBuf;
      FBitCount = f.bitCount;
      if (r == kFastEob) return TDecodeResult::Ok;
      if (r == kFastBad) return TDecodeResult::DataError;
      if (r == kFastMatch) {
        if (!CopyFromWindow(f.matchDist, f.matchLen)) return copyFailed();
        continue;
      }
      if (FAreaSize - FPos < kFastOutput) continue;
    }
    uint32_t e;
    if (!DecodeSlow(FLenCode, kLenRoot, e)) return TDecodeResult::DataError;
    if (e & kLit) {
      if (!PutByte(static_cast<uint8_t>(e >> 16))) return FFlushResult;
      continue;
    }
    if (e & kEob) return (e >> 16) ? TDecodeResult::DataError : TDecodeResult::Ok;
    const uint32_t len = (e >> 16) + GetBits(ExtraBits(e));
    if (!DecodeSlow(FDistCode, kDistRoot, e)) return TDecodeResult::DataError;
    if (e & kEob) return TDecodeResult::DataError;
    const uint32_t dist = (e >> 16) + GetBits(ExtraBits(e));
    if (InputOverrun()) return TDecodeResult::DataError;
    if (!CopyFromWindow(dist, len)) return copyFailed();
  }
}

TDecodeResult TInflateBlockDecoder::InflateMembers() {
  TDecodeResult r = TDecodeResult::Ok;
  bool last = false;
  while (!last) {
    if (FHost.Cancelled()) {
      r = TDecodeResult::Cancelled;
      break;
    }
    last = GetBits(1) != 0;
    const unsigned type = GetBits(2);
    if (InputOverrun()) return TDecodeResult::DataError;
    switch (type) {
      case 0:
        r = StoredBlock();
        break;
      case 1:
        if (!FFixedReady) {
          BuildFixedTables(FD64, FTables.data() + kFixedLenOff, FTables.data() + kFixedDistOff);
          FFixedReady = true;
        }
        FLenCode = FTables.data() + kFixedLenOff;
        FLenPairs = false;
        FDistCode = FTables.data() + kFixedDistOff;
        r = CodesBlock();
        break;
      case 2:
        r = DynamicTables();
        if (r == TDecodeResult::Ok) r = CodesBlock();
        break;
      default:
        r = TDecodeResult::BadBlock;
        break;
    }
    if (r == TDecodeResult::Cancelled) break;
    if (r != TDecodeResult::Ok) return r;
  }
  const TDecodeResult f = Flush();
  if (f != TDecodeResult::Ok) return f;
  if (r != TDecodeResult::Ok) return r;
  return FProduced == FInfo.unpackedSize ? TDecodeResult::Ok : TDecodeResult::DataError;
}

TDecodeResult Inflate64Decode(TArcEntryHost& host, TStream32& archive, const TArcEntryInfo& info,
                              TInflateVariant variant) {
  if (info.packedSize == 0 && info.unpackedSize == 0) return TDecodeResult::Ok;
  TInflateBlockDecoder dec(host, archive, info, variant, variant == TInflateVariant::Deflate64 ? 65536 : 32768);
  return dec.InflateMembers();
}

}  // namespace arc

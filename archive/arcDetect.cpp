#include "archive/arcDetect.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "archive/arcMask.h"
#include "archive/arcPeStrings.h"

namespace arc {

namespace {
constexpr size_t kWindow = 32768;

bool PkForm(const uint8_t* p) { return p[0] == 'P' && (p[1] == 'K' || p[1] == 'L' || p[1] == 'M' || p[1] == 'N'); }

std::vector<uint8_t> ReadBlock(ByteSource& src, uint64_t pos, size_t n) {
  std::vector<uint8_t> b(n);
  b.resize(src.readAt(pos, b.data(), n));
  return b;
}
}  // namespace

bool IsLocalSig(const uint8_t* p) { return PkForm(p) && p[2] == 3 && p[3] == 4; }
bool IsCentralSig(const uint8_t* p) { return PkForm(p) && p[2] == 1 && p[3] == 2; }
bool IsEndSig(const uint8_t* p) {
  return p[0] == 'P' && (p[1] == 'K' || p[1] == 'L' || p[1] == '[' || p[1] == '\\') && p[2] == 5 && p[3] == 6;
}
bool IsEncipheredSig(const uint8_t* p) { return p[0] == 'P' && (p[1] == 'L' || p[1] == 'N' || p[1] == '[' || p[1] == '\\'); }

TArcType ClassifySignature(const uint8_t* p, size_t n, bool inside, int64_t& offsetAdjust) {
  using T = TArcType;
  offsetAdjust = 0;
  if (n < 4) return T::atNA;
  auto is = [&](const char* s) { return std::memcmp(p, s, 4) == 0; };
  auto pick = [&](T start, T in) { return inside ? in : start; };
  if (is("Rar!")) return pick(T::atRar, T::atRarExe);
  if (p[0] == 0x13 && p[1] == 0x5D && p[2] == 0x65 && p[3] == 0x8C) return pick(T::atMsGZ, T::atUnsupported);
  if (p[0] == 'B' && p[1] == 'H' && p[2] == 5 && p[3] == 7) return pick(T::atBh, T::atBhExe);
  if (is("ZOO ")) return pick(T::atZoo, T::atUnsupported);
  if (is("PKG5")) return T::atUnknown;
  if (is("MSCF")) return pick(T::atCab, T::atCabExe);
  if (p[0] == 0xB7 && p[1] == 0xDF && p[2] == 0x54 && p[3] == 0x57) {
    if (!inside) return T::atArc;
    offsetAdjust = 7716;
    return T::atArcExe;
  }
  if (p[2] == '-' && p[3] == 'l') return pick(T::atLha, T::atLhaExe);
  if ((p[0] == 0x1F && (p[1] == 0x8B || p[1] == 0x9D || p[1] == 0x9E || p[1] == 0xA0 || p[1] == 0x1E)) ||
      (p[0] == 0x25 && p[1] == 0x21))
    return pick(T::atGZip, T::atUnsupported);
  if (p[0] == 'Z' && p[1] == 'O') return pick(T::atZoo, T::atUnsupported);
  if (p[0] == 0xB7 && (p[1] == 0x92 || p[1] == 0xDF)) {
    offsetAdjust = 7716;
    return T::atArcExe;
  }
  if (p[0] == 0x60 && p[1] == 0xEA) return pick(T::atArj, T::atArjExe);
  if (p[0] == 0x1A) {
    if (p[1] == 0x1E || p[1] == 0x02) return pick(T::atArc, T::atUnsupported);
    if (p[1] == 0x08 || p[1] == 0x09) return pick(T::atArc, T::atArcExe);
    if (p[1] == 0x0A || p[1] == 0x0B) return pick(T::atPak, T::atPakExe);
  }
  if (p[0] == 'H' && p[1] == 'A') return pick(T::atHA, T::atUnsupported);
  if (PkForm(p)) {
    if ((p[2] == 1 && p[3] == 2) || (p[2] == 7 && p[3] == 8)) return T::atZipMV;  // volume kind, decided later
    if ((p[2] == 'G' && p[3] == '4') || (p[2] == 'C' && p[3] == 'I')) return T::atNA;
    return pick(T::atZip, T::atZipExe);
  }
  return T::atNA;
}

namespace {

TArcType VolumeKind(const DetectContext& ctx);
bool IsMultiDisk(const DetectResult& r);

// Deciphers n bytes after an enciphered signature in place; false without a cipher.
bool DecipherHeader(uint8_t* p, size_t n, const DetectContext& ctx) {
  if (!ctx.headerCipher) return false;
  auto c = ctx.headerCipher();
  if (!c) return false;
  c->Reset(ctx.headerKeys);
  c->Decrypt(p, n);
  return true;
}

void Report(const DetectContext& ctx, int32_t code) {
  if (ctx.report) ctx.report(ctx.fileName, "0", code);
}

bool TarTest(ByteSource& src, uint64_t size) {
  if (size <= 512) return false;
  uint8_t h[512];
  if (!src.readExact(0, h, 512)) return false;
  if (h[156] == 'V' && size >= 1024) {
    if (!src.readExact(512, h, 512)) return false;
  }
  uint64_t stated = 0;
  bool digits = false;
  for (int i = 148; i < 156; ++i) {
    uint8_t c = h[i];
    if (c >= '0' && c <= '7') {
      stated = stated * 8 + (c - '0');
      digits = true;
    } else if (c == ' ' && !digits) {
      continue;
    } else {
      break;
    }
  }
  if (!digits) return false;
  uint64_t sum = 0;
  for (int i = 0; i < 512; ++i) sum += (i >= 148 && i < 156) ? 32u : h[i];
  return sum == stated;
}

TArcType TextTest(const std::vector<uint8_t>& head) {
  static const char kB64[] = "CONTENT-TRANSFER-ENCODING: BASE64";
  const size_t n = head.size();
  auto at = [&](size_t pos, const char* s) {
    size_t len = std::strlen(s);
    if (pos + len > n) return false;
    for (size_t i = 0; i < len; ++i)
      if (UpCase1251(head[pos + i]) != static_cast<unsigned char>(s[i])) return false;
    return true;
  };
  for (size_t i = 0; i + 2 < n || (i == 0 && n > 0); ++i) {
    if (i == 0 || head[i - 1] == '\n') {
      if (at(i, kB64)) return TArcType::atB64;
      if (at(i, "BEGIN 6") || at(i, "BEGIN 7")) return TArcType::atUUE;
    }
    if (i + 2 >= n) break;
  }
  return TArcType::atNA;
}

TArcType PlainOrExe(TArcType plain, TArcType exe, uint64_t pos) { return pos == 0 ? plain : exe; }

// Forward signature scan from an offset; sets r.startOffset. The later hit wins over one at 0.
TArcType ForwardScan(ByteSource& src, uint64_t from, DetectResult& r, const DetectContext& ctx) {
  TArcType found = TArcType::atNA;
  uint64_t foundAt = 0;
  const uint64_t size = src.size();
  for (int block = 0; block < 11; ++block) {
    uint64_t base = from + static_cast<uint64_t>(block) * kWindow;
    if (base >= size) break;
    std::vector<uint8_t> b = ReadBlock(src, base, kWindow + 16);
    size_t limit = std::min<size_t>(b.size(), kWindow);
    for (size_t i = 0; i < limit; ++i) {
      const uint8_t* p = b.data() + i;
      size_t left = b.size() - i;
      uint64_t at = base + i;
      TArcType k = TArcType::atNA;
      uint64_t arcAt = at;
      if (left >= 8 && p[0] == 'P' && p[1] == 'K' && p[2] == 3 && p[3] == 4 &&
          !(p[4] == 0x74 && p[5] == 0x0B && p[6] == 0x3D && p[7] == 0x00)) {
        k = PlainOrExe(TArcType::atZip, TArcType::atZipExe, at);
      } else if (left >= 5 && std::memcmp(p, "**ACE", 5) == 0 && at >= 7) {
        arcAt = at - 7;
        k = PlainOrExe(TArcType::atAce, TArcType::atAceExe, arcAt);
      } else if (left >= 5 && p[0] == '-' && p[1] == 'l' && p[2] == 'h' && p[4] == '-' && at >= 2) {
        arcAt = at - 2;
        k = PlainOrExe(TArcType::atLha, TArcType::atLhaExe, arcAt);
      } else if (left >= 8 && p[0] == 'B' && p[1] == 'H' && p[2] == 5 && p[3] == 7 &&
                 !(p[4] == 0xF1 && p[5] == 0x94 && p[6] == 0xC3 && p[7] == 0x84)) {
        k = PlainOrExe(TArcType::atBh, TArcType::atBhExe, at);
      } else if (from > 0 && left >= 8 && std::memcmp(p, "MSCF", 4) == 0 && Get32(p + 4) == 0) {
        k = PlainOrExe(TArcType::atCab, TArcType::atCabExe, at);
      } else if (left >= 4 && std::memcmp(p, "Rar!", 4) == 0) {
        k = PlainOrExe(TArcType::atRar, TArcType::atRarExe, at);
      } else if (at > 0 && left >= 4 && std::memcmp(p, "ZOO ", 4) == 0) {
        k = TArcType::atZoo;
      } else if (left >= 4 && p[0] == 0x60 && p[1] == 0xEA) {
        size_t h = Get16(p + 2);
        size_t second = i + h + 10;
        if (second + 1 < b.size() && b[second] == 0x60 && b[second + 1] == 0xEA)
          k = PlainOrExe(TArcType::atArj, TArcType::atArjExe, at);
      }
      if (k == TArcType::atNA) continue;
      found = k;
      foundAt = arcAt;
      if (arcAt != 0) goto done;  // a hit at offset 0 is noted, a later one wins
      i += 3;
    }
  }
done:
  if (found == TArcType::atNA) return found;
  r.startOffset = static_cast<int64_t>(foundAt);
  if (found == TArcType::atZip || found == TArcType::atZipExe) {
    int64_t cd = FindEndRecord(src, foundAt, r, ctx);
    if (cd < 0) return TArcType::atUnsupported;
    r.startOffset = cd;
    if ((r.headerMode & hmEnding) && IsMultiDisk(r)) return VolumeKind(ctx);
  }
  return found;
}

void ExeScan(ByteSource& src, DetectResult& r, const DetectContext& ctx, const std::vector<uint8_t>& head) {
  const uint64_t size = r.size;
  uint8_t b[8];
  for (uint64_t off : {6674ull, 6867ull, 7716ull, 8601ull, 13138ull}) {
    if (size > off + 2 && src.readExact(off, b, 2) && b[0] == 0x1A) {
      if (b[1] == 0x08 || b[1] == 0x09) r.type = TArcType::atArcExe;
      else if (b[1] == 0x0A || b[1] == 0x0B) r.type = TArcType::atPakExe;
      if (IsValidArcType(r.type)) {
        r.startOffset = static_cast<int64_t>(off);
        break;
      }
    }
  }
  if (!IsValidArcType(r.type) && size > 1949 && src.readExact(1947, b, 6) && b[0] == 0x2D && b[1] == 0x6C &&
      b[2] == 0x68 && b[4] == 0x2D) {
    r.type = TArcType::atLhaExe;
    r.startOffset = 1945;
  }
  if (!IsValidArcType(r.type)) {
    for (uint64_t off : {7612ull, 25661ull}) {
      if (size >= off + 5 && src.readExact(off, b, 4) && b[0] == 'P' && b[1] == 'K' && b[2] == 3 && b[3] == 4) {
        r.type = TArcType::atZipExe;
        r.startOffset = static_cast<int64_t>(off);
        break;
      }
    }
  }
  if (IsValidArcType(r.type)) {
    int64_t cd = FindEndRecord(src, static_cast<uint64_t>(std::max<int64_t>(r.startOffset, 0)), r, ctx);
    if (r.type == TArcType::atZipExe && cd >= 0) {
      r.startOffset = cd;
      if ((r.headerMode & hmEnding) && IsMultiDisk(r)) r.type = VolumeKind(ctx);
    }
    return;
  }
  // The stub's string resources 1 to 7 may name the offset of its archive.
  std::array<std::string, 7> strings;
  const bool peImage = ReadPeStrings(src, strings);
  if (peImage) {
    for (const std::string& text : strings) {
      uint64_t off;
      if (text.empty() || !ParseDecimalOffset(text, off) || off >= size) break;
      uint8_t sig[14];
      const size_t n = src.readAt(off, sig, sizeof sig);
      int64_t adj = 0;
      const TArcType k = ClassifySignature(sig, n, true, adj);
      if (k == TArcType::atJar || k == TArcType::atJarExe || k == TArcType::atZip || k == TArcType::atZipExe) {
        r.type = k;
        int64_t cd = FindEndRecord(src, off, r, ctx);
        r.startOffset = cd >= 0 ? cd : static_cast<int64_t>(off);
        if ((r.headerMode & hmEnding) && IsMultiDisk(r)) r.type = VolumeKind(ctx);
        return;
      }
    }
  }
  // A stub that is no PE image: its archive follows the image the DOS header describes.
  if (!peImage && head.size() >= 6) {
    uint32_t lastPage = Get16(head.data() + 2), pages = Get16(head.data() + 4);
    uint64_t image = pages > 0 ? (static_cast<uint64_t>(pages) - 1) * 512 + lastPage : lastPage;
    if (size >= image + 4 && src.readExact(image, b, 4)) {
      uint64_t off = image + ((b[0] == 0x60 && b[1] == 0xEA) ? 2 : 0);
      if (src.readExact(off, b, 4) && !(b[0] == 'P' && b[1] == 'K' && b[2] == 3 && b[3] == 4)) {
        int64_t adj = 0;
        TArcType k = ClassifySignature(b, 4, true, adj);
        if (IsValidArcType(k) && k != TArcType::atZipMV && k != TArcType::atZipExe &&
            off + static_cast<uint64_t>(adj) < size) {
          r.type = k;
          r.startOffset = static_cast<int64_t>(off) + adj;
          return;
        }
      }
    }
  }
  int64_t found = FindEndRecord(src, 0, r, ctx);
  if (found > 0) {
    r.type = IsMultiDisk(r) ? VolumeKind(ctx) : TArcType::atZipExe;
    r.startOffset = found;
    return;
  }
  r.type = ForwardScan(src, 17000, r, ctx);
}

TArcType VolumeKind(const DetectContext& ctx) { return ctx.volumeKind ? ctx.volumeKind() : TArcType::atZipMV; }

bool IsMultiDisk(const DetectResult& r) {
  if (r.headerMode & hmLocator) return r.locator.totalDisks > 1;
  return r.end.thisDisk != 0;
}

}  // namespace

int64_t FindEndRecord(ByteSource& src, uint64_t startOffset, DetectResult& r, const DetectContext& ctx) {
  const uint64_t size = src.size();
  if (size <= startOffset) return -1;
  const size_t window = static_cast<size_t>(std::min<uint64_t>(kWindow, size));
  const uint64_t winStart = size - window;
  std::vector<uint8_t> w = ReadBlock(src, winStart, window);
  if (w.size() != window) return -1;

  bool found = false;
  for (size_t i = window >= 22 ? window - 22 + 1 : 0; i-- > 0;) {
    const uint8_t* p = w.data() + i;
    if (!IsEndSig(p)) continue;
    bool extended = IsExtEndSignature(Get32(p));
    size_t fixed = extended ? 26 : 22;
    if (i + fixed > window) continue;
    uint8_t rec[26];
    std::memcpy(rec, p, fixed);
    if (IsEncipheredSig(p)) {
      if (!DecipherHeader(rec + 4, fixed - 4, ctx)) continue;
    }
    TEndRecord e;
    e.sig = Get32(rec);
    e.thisDisk = Get16(rec + 4);
    e.cdDisk = Get16(rec + 6);
    e.entriesThisDisk = Get16(rec + 8);
    e.totalEntries = Get16(rec + 10);
    e.cdSize = Get32(rec + 12);
    e.cdOffset = extended ? Get64(rec + 16) : Get32(rec + 16);
    e.commentLen = Get16(rec + (extended ? 24 : 20));
    e.pos = winStart + i;
    // A record whose comment would run past the end of the file lies inside another comment.
    if (e.pos + fixed + e.commentLen > size) continue;
    r.end = e;
    found = true;
    break;
  }
  if (!found) goto localScan;
  {
    r.headerMode = hmEnding;
    const uint64_t endPos = r.end.pos;
    uint8_t b[56];
    if (endPos >= 20 && src.readExact(endPos - 20, b, 20) && Get32(b) == 0x07064B50u) {
      r.headerMode |= hmLocator;
      r.locator.disk = Get32(b + 4);
      r.locator.offset = Get64(b + 8);
      r.locator.totalDisks = Get32(b + 16);
      // The ZIP64 record: where the locator says (the file may have data in front), else 76 bytes back.
      std::vector<uint64_t> cands;
      if (endPos >= 76) cands.push_back(endPos - 76);
      if (r.locator.offset + 56 <= endPos - 20) cands.insert(cands.begin(), r.locator.offset);
      for (uint64_t c : cands) {
        if (src.readExact(c, b, 56) && Get32(b) == 0x06064B50u) {
          r.headerMode |= hmEnding64;
          r.end64.recSize = Get64(b + 4);
          r.end64.madeBy = Get16(b + 12);
          r.end64.needed = Get16(b + 14);
          r.end64.disk = Get32(b + 16);
          r.end64.cdDisk = Get32(b + 20);
          r.end64.entriesThisDisk = Get64(b + 24);
          r.end64.totalEntries = Get64(b + 32);
          r.end64.cdSize = Get64(b + 40);
          r.end64.cdOffset = Get64(b + 48);
          r.end64.pos = c;
          break;
        }
      }
    }
    const bool z64 = r.headerMode & hmEnding64;
    const uint64_t stated = z64 ? r.end64.cdOffset : r.end.cdOffset;
    const uint64_t cdSize = z64 ? r.end64.cdSize : r.end.cdSize;
    const uint64_t recPos = z64 ? r.end64.pos : endPos;

    if (IsMultiDisk(r)) {
      // A set: the directory lies on its own disk; it is read through the volumes.
      r.headerMode |= hmCentral;
      r.correction = 0;
      return static_cast<int64_t>(stated);
    }
    if (r.totalEntries() == 0) {
      r.headerMode |= hmCentral;
      r.correction = 0;
      return static_cast<int64_t>(recPos >= cdSize ? recPos - cdSize : recPos);
    }
    uint8_t h[46];
    int64_t cdPos = -1;
    if (stated < recPos && src.readExact(stated, h, 46) && IsCentralSig(h)) {
      cdPos = static_cast<int64_t>(stated);
      r.correction = 0;
    } else if (cdSize <= recPos && src.readExact(recPos - cdSize, h, 46) && IsCentralSig(h)) {
      cdPos = static_cast<int64_t>(recPos - cdSize);
      r.correction = cdPos - static_cast<int64_t>(std::min<uint64_t>(stated, INT64_MAX / 2));
    }
    if (cdPos < 0) {
      r.correction = 0;
      goto localScan;
    }
    r.headerMode |= hmCentral;
    if (IsEncipheredSig(h)) {
      // Deciphered with the wrong keys, the lengths no longer fit the directory.
      if (!DecipherHeader(h + 4, 42, ctx) ||
          46u + Get16(h + 28) + Get16(h + 30) + Get16(h + 32) > std::max<uint64_t>(cdSize, 46)) {
        Report(ctx, E_BadFileHeader);
        return -1;
      }
    }
    uint64_t local = Get32(h + 42);
    int64_t at = static_cast<int64_t>(local) + r.correction;
    if (local != 0xFFFFFFFFu) {
      if (at < 0 || static_cast<uint64_t>(at) + 30 > size) {
        Report(ctx, E_BadFileHeader);
        return -1;
      }
      uint8_t lh[4];
      if (src.readExact(static_cast<uint64_t>(at), lh, 4) && IsLocalSig(lh)) r.headerMode |= hmLocal;
    }
    return cdPos;
  }

localScan:
  for (int block = 0; block < 4; ++block) {
    uint64_t base = startOffset + static_cast<uint64_t>(block) * window;
    if (base >= size) break;
    std::vector<uint8_t> b = ReadBlock(src, base, window + 3);
    for (size_t i = 0; i + 4 <= b.size() && i < window; ++i) {
      if (IsLocalSig(b.data() + i)) {
        r.headerMode = hmLocal;
        return static_cast<int64_t>(base + i);
      }
    }
  }
  return -1;
}

DetectResult GetArcType(ByteSource& src, const DetectContext& ctx) {
  DetectResult r;
  r.size = src.size();
  if (r.size <= 19) return r;
  std::vector<uint8_t> head = ReadBlock(src, 0, kWindow);
  if (head.size() < 20) return r;

  if (head[0] == 'M' && head[1] == 'Z') {
    r.headerMode = hmExe;
    ExeScan(src, r, ctx, head);
  } else {
    size_t z = 0;
    if (head[0] == 0) {
      while (z < head.size() && head[z] == 0) ++z;
      if (head.size() - z > 132 && head.size() > 131 && head[130] == '-' && head[131] == 'l') {
        r.type = TArcType::atLha;
        r.startOffset = 128;
        goto finish;
      }
    }
    int64_t adj = 0;
    TArcType k = z + 4 <= head.size() ? ClassifySignature(head.data() + z, 4, false, adj) : TArcType::atNA;
    // A self-extractor whose archive would start past the end of the file is none.
    if (adj > 0 && static_cast<uint64_t>(adj) >= r.size) {
      k = TArcType::atNA;
      adj = 0;
    }
    r.type = k;
    if (adj) r.startOffset = adj;
    switch (k) {
      case TArcType::atNA: {
        if (TarTest(src, r.size)) {
          r.type = TArcType::atTar;
          r.startOffset = 0;
          break;
        }
        r.startOffset = -1;
        int64_t off = FindEndRecord(src, 0, r, ctx);
        if (off > 0 && (r.headerMode & hmEnding)) {
          bool multi = IsMultiDisk(r);
          r.type = multi ? VolumeKind(ctx) : TArcType::atZip;
          r.startOffset = off;
        } else {
          r.headerMode = 0;
          r.startOffset = -1;
        }
        if (!IsValidArcType(r.type)) r.type = ForwardScan(src, 0, r, ctx);
        break;
      }
      case TArcType::atFileOpenErr:
      case TArcType::atUnknown:
        return r;
      case TArcType::atJar: case TArcType::atJarExe: case TArcType::atZip: case TArcType::atZipExe: {
        int64_t off = FindEndRecord(src, z, r, ctx);
        if (off < 0) {
          if (r.headerMode == 0) r.startOffset = -1;
          break;
        }
        if (off == 0 && !(r.headerMode & hmLocal)) {
          off += static_cast<int64_t>(z);
          r.headerMode |= hmLocal;
        }
        r.startOffset = off;
        if (IsMultiDisk(r)) r.type = VolumeKind(ctx);
        break;
      }
      case TArcType::atZipMV: {
        int64_t off = FindEndRecord(src, z, r, ctx);
        if (off < 0) {
          r.type = TArcType::atNA;
          break;
        }
        if (r.headerMode == 0 || r.headerMode == hmExe) r.headerMode = hmLocal;
        r.startOffset = off;
        r.type = (r.headerMode & hmEnding) && IsMultiDisk(r) ? VolumeKind(ctx) : TArcType::atZip;
        break;
      }
      default:
        break;
    }
  }
  if (!IsValidArcType(r.type)) {
    if (IsBZip2Head(head.data(), head.size())) {
      r.type = TArcType::atBz2;
    } else if (head.size() >= 12 && std::memcmp(head.data() + 7, "**ACE**", 7) == 0) {
      r.type = TArcType::atAce;
    } else {
      r.type = TextTest(head);
    }
    if (IsValidArcType(r.type)) r.startOffset = 0;
  }
finish:
  // Only a volume set names a place on another disk; any other start lies inside the file.
  if (IsValidArcType(r.type) && r.type != TArcType::atZipMV && r.type != TArcType::atZipDS &&
      r.startOffset >= 0 && static_cast<uint64_t>(r.startOffset) >= r.size)
    r.type = TArcType::atNA;
  if (IsValidArcType(r.type)) {
    if (r.startOffset < 0) r.startOffset = 0;
    if (r.type == TArcType::atZip && LowerExt(ctx.fileName) == ".jar") r.type = TArcType::atJar;
  } else {
    r.startOffset = -1;
  }
  return r;
}

void ProbeVolumeNumbers(const std::string& fileName, DetectResult& r) {
  char letter;
  const char* def;
  bool arj = false;
  switch (r.type) {
    case TArcType::atAce: letter = 'C'; def = "Ace"; break;
    case TArcType::atArj: letter = 'a'; def = "Arj"; arj = true; break;
    case TArcType::atJar: case TArcType::atJarExe: letter = 'j'; def = "Jar"; break;
    case TArcType::atRar: case TArcType::atRarExe: letter = 'q'; def = "Rar"; break;
    default: return;
  }
  std::string ext = LowerExt(fileName);
  if (!ext.empty()) {
    // keep the original letters of the extension
    ext = fileName.substr(fileName.size() - ext.size() + 1);
  } else {
    ext = def;
  }
  size_t d = ext.size();
  while (d > 0 && std::isdigit(static_cast<unsigned char>(ext[d - 1]))) --d;
  bool digits = d < ext.size();
  int32_t num = 0;
  if (digits) {
    std::string run = ext.substr(d, 9);
    num = std::stoi(run);
  }
  if (digits && d == 0) letter = ext[0];
  r.volumeLetter = letter;
  r.currentVolume = num;
  r.firstVolume = digits ? num + 1 : (arj ? 1 : 0);
}

}  // namespace arc

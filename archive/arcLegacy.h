#pragma once
// Decoders of the old ZIP methods: shrunk (1), reduced (2 to 5, compression factor = method - 1)
// and imploded (6). Each call keeps its tables in its own state, reads the entry's data only
// through the entry input (never past the entry) and writes through the entry output (bounded by
// the declared size). Damaged data ends the entry with a data error; the codes "Bad block" and
// "Stack overflow" are reported through the output where the old decoders reported them.
#include <cstdint>

#include "archive/arcInflate.h"
#include "archive/arcZipDecode.h"

namespace arc {

class TArcEntryHost;
class TStream32;
struct TArcEntryInfo;

ZipDecodeStatus Unshrink(ZipEntryInput& in, ZipEntryOutput& out, uint64_t unpacked);
ZipDecodeStatus Unreduce(ZipEntryInput& in, ZipEntryOutput& out, uint64_t unpacked, int method);
// Imploded data through the block decoder (32 KB window; distances before the start of the
// output read zeros). flags: the entry's general-purpose flags (bit 1: 8 KB dictionary, 7 low
// distance bits; bit 2: three trees, literals coded, minimum match length 3).
TDecodeResult Explode(TArcEntryHost& host, TStream32& archive, const TArcEntryInfo& info, uint16_t flags);

}  // namespace arc

#include "archive/arcZipDecode.h"

#include <vector>

namespace arc {

namespace {
// Method 0: copy in blocks, pumping the event queue after each one.
ZipDecodeStatus CopyStored(ZipEntryInput& in, ZipEntryOutput& out) {
  std::vector<uint8_t> buf(128 * 1024);
  while (in.Remaining() > 0) {
    if (out.Cancelled()) return ZipDecodeStatus::Cancelled;
    size_t k = in.Read(buf.data(), buf.size());
    if (k == 0) return ZipDecodeStatus::DataError;  // the archive ends inside the entry
    if (!out.Write(buf.data(), k)) return ZipDecodeStatus::OutputStopped;
    out.Pump();
  }
  return ZipDecodeStatus::Ok;
}
}  // namespace

bool ZipMethodSupported(uint16_t method) { return method == 0; }

ZipDecodeStatus DecodeZipEntry(uint16_t method, ZipEntryInput& in, ZipEntryOutput& out, uint64_t unpacked) {
  switch (method) {
    case 0: return CopyStored(in, out);
    default: return ZipDecodeStatus::DataError;
  }
}

}  // namespace arc

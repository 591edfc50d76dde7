#pragma once
// Decoder dispatch of ZIP entries: what a decoder reads from (the entry's data, never past its
// packed size) and writes to (the component's write routine, bounded by the declared size).
#include <cstddef>
#include <cstdint>

namespace arc {

class ZipEntryInput {
public:
  virtual ~ZipEntryInput() = default;
  // Up to n bytes of the entry's (deciphered) data; 0 at its end.
  virtual size_t Read(uint8_t* buf, size_t n) = 0;
  virtual uint64_t Remaining() const = 0;
};

class ZipEntryOutput {
public:
  virtual ~ZipEntryOutput() = default;
  // Writes decoded bytes; false ends the entry (write error, or more than the declared size).
  virtual bool Write(const uint8_t* p, size_t n) = 0;
  virtual bool Cancelled() const = 0;
  virtual void Pump() = 0;
  // An error code of the decoder ("Bad block", "Stack overflow") for the component to report.
  virtual void Report(int32_t code) { (void)code; }
};

enum class ZipDecodeStatus { Ok, DataError, OutputStopped, Cancelled };

bool ZipMethodSupported(uint16_t method);
// Decodes one entry of the given method; flags are the entry's general-purpose flags.
ZipDecodeStatus DecodeZipEntry(uint16_t method, ZipEntryInput& in, ZipEntryOutput& out, uint64_t unpacked,
                               uint16_t flags = 0);

}  // namespace arc

#include "pebuild.h"

#include <stdexcept>

namespace ziptest {

namespace {
void Set16(Bytes& b, size_t at, uint16_t v) {
  b.at(at) = static_cast<uint8_t>(v);
  b.at(at + 1) = static_cast<uint8_t>(v >> 8);
}
void Set32(Bytes& b, size_t at, uint32_t v) {
  Set16(b, at, static_cast<uint16_t>(v));
  Set16(b, at + 2, static_cast<uint16_t>(v >> 16));
}
}  // namespace

Bytes BuildPe(const PeOptions& o) {
  if (o.strings.size() > 7 || o.stub.size() > 64) throw std::invalid_argument("BuildPe");
  constexpr size_t kPe = 0x80, kOpt = kPe + 24, kOptSize = 224, kSection = kOpt + kOptSize, kRaw = 0x200;
  constexpr uint32_t kRva = 0x1000;
  Bytes b(kPeImageSize, 0);
  // DOS header: the image size in 512-byte pages and the bytes of the last page.
  const uint32_t dosSize = o.dosImageSize ? o.dosImageSize : static_cast<uint32_t>(kPeImageSize);
  b[0] = 'M';
  b[1] = 'Z';
  Set16(b, 2, static_cast<uint16_t>(dosSize % 512));
  Set16(b, 4, static_cast<uint16_t>((dosSize + 511) / 512));
  Set16(b, 8, 4);  // header paragraphs
  Set32(b, 0x3C, kPe);
  std::copy(o.stub.begin(), o.stub.end(), b.begin() + 0x40);
  // PE header: i386, one section, a PE32 optional header.
  b[kPe] = 'P';
  b[kPe + 1] = 'E';
  Set16(b, kPe + 4, 0x14C);
  Set16(b, kPe + 6, 1);
  Set16(b, kPe + 20, kOptSize);
  Set16(b, kPe + 22, 0x0102);
  Set16(b, kOpt, 0x10B);
  Set32(b, kOpt + 28, 0x400000);  // image base
  Set32(b, kOpt + 32, 0x1000);    // section alignment
  Set32(b, kOpt + 36, 0x200);     // file alignment
  Set32(b, kOpt + 56, 0x2000);    // size of image
  Set32(b, kOpt + 60, kRaw);      // size of headers
  Set16(b, kOpt + 68, 2);         // subsystem
  Set32(b, kOpt + 92, 16);        // data directories

  // The resource directory: type 6 -> name 1 -> language 0x409 -> the string block.
  Bytes r;
  auto dir = [&](uint16_t id, uint32_t target) {
    for (int i = 0; i < 14; ++i) r.push_back(0);
    Put16(r, 1);  // one ID entry
    Put32(r, id);
    Put32(r, target);
  };
  dir(6, 0x80000000u | 0x18);
  dir(1, 0x80000000u | 0x30);
  dir(0x409, 0x48);
  Bytes block;
  Put16(block, 0);  // string 0
  for (size_t i = 0; i < 15; ++i) {
    const std::string s = i < o.strings.size() ? o.strings[i] : std::string();
    Put16(block, static_cast<uint16_t>(s.size()));
    for (char c : s) Put16(block, static_cast<uint8_t>(c));
  }
  Put32(r, kRva + 0x58);
  Put32(r, static_cast<uint32_t>(block.size()));
  Put32(r, 0);
  Put32(r, 0);
  r.insert(r.end(), block.begin(), block.end());
  if (kRaw + r.size() > kPeImageSize) throw std::invalid_argument("BuildPe: strings too long");

  const char name[8] = {'.', 'r', 's', 'r', 'c', 0, 0, 0};
  std::copy(name, name + 8, b.begin() + kSection);
  Set32(b, kSection + 8, static_cast<uint32_t>(r.size()));
  Set32(b, kSection + 12, kRva);
  Set32(b, kSection + 16, static_cast<uint32_t>(kPeImageSize - kRaw));
  Set32(b, kSection + 20, kRaw);
  Set32(b, kSection + 36, 0x40000040u);
  if (o.resources) {
    Set32(b, kOpt + 96 + 16, kRva);
    Set32(b, kOpt + 96 + 20, static_cast<uint32_t>(r.size()));
    std::copy(r.begin(), r.end(), b.begin() + kRaw);
  }
  return b;
}

}  // namespace ziptest

namespace ziptest {

Bytes PeFixtureReadme() { return Text("a self-extractor made by hand\n"); }

Bytes PeStringsFixture() {
  PeOptions o;
  o.strings = {"1024"};
  o.stub = Text("PK\x03\x04 is not where the archive starts");
  Bytes b = BuildPe(o);
  Entry readme;
  readme.name = "readme.txt";
  readme.data = PeFixtureReadme();
  readme.method = 8;
  Entry xml;
  xml.name = "sub/b.xml";
  xml.data = Text("<x/>\n");
  Options zo;
  zo.omitCentral = true;
  const Bytes zip = Build({readme, xml}, zo);
  b.insert(b.end(), zip.begin(), zip.end());
  return b;
}

}  // namespace ziptest

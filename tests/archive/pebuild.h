#pragma once
// A small Windows executable made by hand for the self-extractor tests: a DOS header, a PE32
// header, one section holding a resource directory with the string block 1 (strings 1 to 7),
// and nothing else. Archives are appended to it by the tests.
#include <cstdint>
#include <string>
#include <vector>

#include "zipbuild.h"

namespace ziptest {

struct PeOptions {
  std::vector<std::string> strings;  // string resources 1, 2, ... (at most 7)
  bool resources = true;             // false: no resource directory at all
  Bytes stub;                        // up to 64 bytes placed in the DOS stub area (0x40)
  uint32_t dosImageSize = 0;         // the image size the DOS header states (0: the whole image)
};

// The image, 1024 bytes long, so an archive appended to it starts at offset 1024.
Bytes BuildPe(const PeOptions& o);
constexpr size_t kPeImageSize = 1024;

}  // namespace ziptest

namespace ziptest {

// The committed fixture sfx_pe_strings.exe: the image above whose string 1 reads "1024", with a
// stray local-header signature in its DOS stub, and at offset 1024 a ZIP of local headers only
// (readme.txt deflated, sub/b.xml stored): only the string resource tells where it begins.
Bytes PeStringsFixture();
Bytes PeFixtureReadme();

}  // namespace ziptest

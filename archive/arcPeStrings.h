#pragma once
// String resources of a Windows executable, read from the file as plain data: the DOS header,
// the PE header, the section table and the resource directory (type 6, block 1). Nothing is
// loaded or run, and every offset, size and count is checked against the file.
#include <array>
#include <cstdint>
#include <string>

#include "archive/arcFileIo.h"

namespace arc {

// String resources 1 to 7 (strings[0] is string 1); a missing string is empty. Characters
// outside ASCII become '?'. False when the file is not a PE image at all (no DOS header, no PE
// header, or headers that do not fit the file); true, with every string empty, for an image
// without string resources.
bool ReadPeStrings(ByteSource& src, std::array<std::string, 7>& strings);

// A decimal 64-bit offset as a string resource holds it (blanks around the digits allowed);
// false for anything else.
bool ParseDecimalOffset(const std::string& text, uint64_t& value);

}  // namespace arc

#pragma once
// Keyed table encryption: a byte transform of the same length that works in place
// and depends only on the key and the byte's position in the buffer, so records,
// memo texts and keys are each enciphered on their own. It is obfuscation, not
// security: it keeps casual readers out of a table and nothing more.
#include <cstddef>
#include <string_view>

namespace xb {

// direction 0 deciphers, 1 enciphers. An empty key copies the bytes unchanged.
void xbEncrypt(std::string_view key, const void* source, void* dest, size_t count, int direction);

}  // namespace xb

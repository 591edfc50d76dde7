#pragma once
// Global tables and small helpers of the engine: the OEM/ANSI translation tables,
// the wildcard search of the expression language and the file-name routines.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace xb {

// The two 256-byte tables, built once from the operating system's code-page
// conversion (CP1251 as ANSI, CP866 as OEM). They are inverse permutations and
// leave 0..32 unchanged.
const uint8_t* xbAnsiToOemTable();
const uint8_t* xbOemToAnsiTable();

// Builds the ANSI-to-OEM table from the given iconv code pages with the engine's
// algorithm (exact round-trip pairs first, then fill values). Exposed for tests.
void xbBuildTranslation(const char* ansiCodepage, const char* oemCodepage, uint8_t ansiToOem[256],
                        uint8_t oemToAnsi[256]);

// Byte-by-byte translation; Source and Dest may be the same buffer; count 0 does nothing.
void xbAnsiToOemBuf(const void* source, void* dest, size_t count);
void xbOemToAnsiBuf(const void* source, void* dest, size_t count);
std::string xbAnsiToOemStr(std::string_view s);
std::string xbOemToAnsiStr(std::string_view s);

// Wildcard search of the expression language: position (1-based) of Pattern in
// Text, 0 when absent. Kept as the engine defines it:
//  - "?" marks positions that match any byte; it only works when the match starts
//    at position 1 (the text copy is masked at the pattern's own positions);
//  - a pattern starting with "*" takes "?" literally;
//  - a pattern longer than the text (counting its "*") gives 0.
size_t xbWildcardPos(std::string_view pattern, std::string_view text);

// Name unchanged when it has an extension, else Name + Ext.
std::string xbDefaultExt(std::string_view name, std::string_view ext);
// File name without folder and extension.
std::string xbFileStem(std::string_view name);
// Folder part of a path including its trailing '/', or empty.
std::string xbFileDir(std::string_view name);
// Replaces (or adds) the extension.
std::string xbChangeExt(std::string_view name, std::string_view ext);
bool xbHasExt(std::string_view name);
// Fills a zero-terminated buffer with ch from its current end up to length and terminates it.
void xbPadBuffer(char* buffer, char ch, size_t length);

}  // namespace xb

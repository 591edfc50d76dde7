#pragma once
// Code-page conversion through iconv. Inside the program every text is CP1251;
// DBF files hold CP866 (OEM) text; Qt widgets and file paths take UTF-8.
#include <string>
#include <string_view>

namespace platform {

// Generic conversion; bytes that cannot be converted become '?'.
std::string ConvertCodepage(std::string_view s, const char* from, const char* to);

std::string Cp1251ToUtf8(std::string_view s);
std::string Utf8ToCp1251(std::string_view s);
std::string Cp866ToCp1251(std::string_view s);   // OEM to ANSI
std::string Cp1251ToCp866(std::string_view s);   // ANSI to OEM

// Byte tables, built once from iconv: table[oem] = ansi and back.
const unsigned char* OemToAnsiTable();
const unsigned char* AnsiToOemTable();

// A CP1251 path as the file system wants it (UTF-8), and back.
inline std::string ToFsPath(std::string_view cp1251) { return Cp1251ToUtf8(cp1251); }
inline std::string FromFsPath(std::string_view utf8) { return Utf8ToCp1251(utf8); }

}  // namespace platform

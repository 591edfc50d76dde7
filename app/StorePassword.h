#pragma once
// The program's "--store-password" option: the database password, read from the standard
// input, is written enciphered into "Morqa.ini" as the connection reads it (section
// Password, key Password), so that an installation can point the program at its own
// server without the clinic system's settings program. Needs no display.
#include <cstdio>
#include <string>

namespace shell {

inline constexpr const char* kStorePasswordOption = "--store-password";

// Reads one line from `in` (its end of line dropped; with a terminal, a prompt on `err` and
// no echo) and stores it in the settings file iniFile (CP1251 path). Returns 0 with a line
// on `out`; 2 with the reason on `err` when there is no password, it cannot be stored or
// the file cannot be written (a read-only file is kept).
int StorePasswordCommand(const std::string& iniFile, int in, std::FILE* out, std::FILE* err);

}  // namespace shell

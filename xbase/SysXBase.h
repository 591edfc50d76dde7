#pragma once
// Operating-system layer of the engine: flush, truncate, byte-range locks, sleep,
// the configuration folder and the case-insensitive lookup of derived file names.
#include <cstdint>
#include <string>
#include <string_view>

namespace xb {

// fsync; true on success.
bool xbFlushFile(int handle);
// ftruncate; 0 on success, -1 on failure.
int xbTruncateFile(int handle, int64_t size);
// Open-file-description byte-range locks (they conflict between two opens in one
// process and with every other process). A write lock on a read-write handle, a
// read lock on a read-only one. A length of 0 locks nothing and succeeds.
bool xbLockFile(int handle, uint64_t offset, uint64_t length, bool writable);
bool xbUnlockFile(int handle, uint64_t offset, uint64_t length);
void xbSleep(uint32_t milliseconds);

// The folder that holds the engine's configuration file "xbase.cfg": the value of
// the environment variable KESTA_XBASE_DIR when set, else the executable's folder.
// With a trailing '/'. CP1251.
std::string xbWindowsDirectory();

// Whether a file (CP1251 path) exists as a regular file or any entry.
bool xbFileExists(const std::string& path);

// Finds a file whose name differs only in case: the exact name when it exists,
// else the entry of the same folder whose name equals the wanted one without
// regard to case (CP1251 letters included); among several, the one that sorts
// first byte-wise, so the choice does not depend on directory order. Returns the
// path unchanged when nothing matches.
std::string xbResolveFileName(const std::string& path);

// Full path of a CP1251 name (relative names against the current folder), with
// "." and ".." removed lexically.
std::string xbExpandFileName(const std::string& name);

}  // namespace xb

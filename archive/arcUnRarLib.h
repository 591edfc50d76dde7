#pragma once
// The records and entry points of the outside UnRAR library, as it publishes them.
#include <cstdint>

namespace arc::unrar {

using LPARAM = long;
using UNRARCALLBACK = int (*)(unsigned msg, LPARAM userData, LPARAM p1, LPARAM p2);

enum : int { ERAR_SUCCESS = 0, ERAR_END_ARCHIVE = 10, ERAR_NO_MEMORY = 11, ERAR_BAD_DATA = 12,
             ERAR_BAD_ARCHIVE = 13, ERAR_UNKNOWN_FORMAT = 14, ERAR_EOPEN = 15, ERAR_ECREATE = 16,
             ERAR_ECLOSE = 17, ERAR_EREAD = 18, ERAR_EWRITE = 19, ERAR_SMALL_BUF = 20, ERAR_UNKNOWN = 21,
             ERAR_MISSING_PASSWORD = 22 };
enum : unsigned { UCM_CHANGEVOLUME = 0, UCM_PROCESSDATA = 1, UCM_NEEDPASSWORD = 2 };
enum : int { RAR_SKIP = 0, RAR_TEST = 1, RAR_EXTRACT = 2 };
enum : int { RAR_OM_LIST = 0, RAR_OM_EXTRACT = 1 };
enum : int { RAR_VOL_ASK = 0, RAR_VOL_NOTIFY = 1 };

struct RAROpenArchiveData {
  char* ArcName;
  unsigned OpenMode;
  unsigned OpenResult;
  char* CmtBuf;
  unsigned CmtBufSize;
  unsigned CmtSize;
  unsigned CmtState;
};

struct RAROpenArchiveDataEx {
  char* ArcName;
  wchar_t* ArcNameW;
  unsigned OpenMode;
  unsigned OpenResult;
  char* CmtBuf;
  unsigned CmtBufSize;
  unsigned CmtSize;
  unsigned CmtState;
  unsigned Flags;
  unsigned Reserved[32];
};

struct RARHeaderData {
  char ArcName[260];
  char FileName[260];
  unsigned Flags, PackSize, UnpSize, HostOS, FileCRC, FileTime, UnpVer, Method, FileAttr;
  char* CmtBuf;
  unsigned CmtBufSize, CmtSize, CmtState;
};

struct RARHeaderDataEx {
  char ArcName[1024];
  wchar_t ArcNameW[1024];
  char FileName[1024];
  wchar_t FileNameW[1024];
  unsigned Flags;
  unsigned PackSize;
  unsigned PackSizeHigh;
  unsigned UnpSize;
  unsigned UnpSizeHigh;
  unsigned HostOS;
  unsigned FileCRC;
  unsigned FileTime;
  unsigned UnpVer;
  unsigned Method;
  unsigned FileAttr;
  char* CmtBuf;
  unsigned CmtBufSize;
  unsigned CmtSize;
  unsigned CmtState;
  unsigned Reserved[1024];
};

using FnOpen = void* (*)(RAROpenArchiveData*);
using FnOpenEx = void* (*)(RAROpenArchiveDataEx*);
using FnClose = int (*)(void*);
using FnReadHeader = int (*)(void*, RARHeaderData*);
using FnReadHeaderEx = int (*)(void*, RARHeaderDataEx*);
using FnProcessFile = int (*)(void*, int operation, char* destPath, char* destName);
using FnSetCallback = void (*)(void*, UNRARCALLBACK, LPARAM);

}  // namespace arc::unrar

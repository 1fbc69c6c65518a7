// Records shared by every engine: the found-file record, the search hit, the
// callback types and the status codes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/Status.h"

typedef int64_t i64;
typedef uint64_t u64;
typedef uint32_t u32;
typedef int32_t i32;
typedef uint16_t u16;
typedef uint8_t u8;

// Sectors are 512 bytes everywhere between engines.
constexpr int SECTOR_SIZE = 512;

static_assert(sizeof(wchar_t) == 4, "names cross the engine interface as 32-bit wide characters");


enum ENGINE_TYPE : u32 {
  ENGINE_FAST_NTFS = 0,
  ENGINE_FAST_FAT = 1,
  ENGINE_PROFESSIONAL_NTFS = 2,
  ENGINE_PROFESSIONAL_FAT = 3,
  ENGINE_FILE_TYPE = 4,
  ENGINE_FAST_EXFAT = 5,
  ENGINE_PROFESSIONAL_EXFAT = 6,
};

enum RECOVERY_TYPE : int {
  RECOVERY_TYPE_FAST = 0,
  RECOVERY_TYPE_PROFESSIONAL = 1,
};

// Two 32-bit words, low first; 4-byte aligned so _FILE_NODE_ has no padding.
struct _FILETIME {
  u32 dwLowDateTime;
  u32 dwHighDateTime;
};

inline u64 FileTimeToU64(const _FILETIME& ft) {
  return (static_cast<u64>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}
inline _FILETIME U64ToFileTime(u64 v) {
  _FILETIME ft;
  ft.dwLowDateTime = static_cast<u32>(v);
  ft.dwHighDateTime = static_cast<u32>(v >> 32);
  return ft;
}

// One found file or folder. Stored byte for byte in the result files, so this
// layout is an on-disk format (little-endian hosts only).
struct _FILE_NODE_ {
  wchar_t wcDrive;              // 0x00
  u32 nEngineType;              // 0x04
  u32 bIsDir;                   // 0x08
  u32 bIsDeleted;               // 0x0C
  u8 bHealth;                   // 0x10: 1 when its first data looks like its type
  u8 nIntegrity;                // 0x11: INTEGRITY_* (0 in records written before it existed)
  u8 nResultFlags;              // 0x12: RESULT_FLAG_*
  u8 nReserved;                 // 0x13
  u32 nFileIndex;               // 0x14: 1-based index in the result store
  u32 nClusterNO;               // 0x18: FAT/exFAT first cluster / NTFS record number
  u32 nClusterBytes;            // 0x1C
  _FILETIME ftCreateTime;       // 0x20
  _FILETIME ftLastAccessTime;   // 0x28
  _FILETIME ftLastWriteTime;    // 0x30
  u64 u64FileSize;              // 0x38
  u64 u64DataStartSector;       // 0x40: FAT data area; NTFS: key of a named stream, 0 the file's data
  u64 u64RecordSector;          // 0x48
  u64 u64VolumeStartSector;     // 0x50
  char szFileName[256];         // 0x58: UTF-8, NUL-terminated, no path
};

static_assert(sizeof(_FILE_NODE_) == 344, "_FILE_NODE_ is a 344-byte on-disk record");
static_assert(offsetof(_FILE_NODE_, nEngineType) == 4, "layout");
static_assert(offsetof(_FILE_NODE_, bIsDir) == 8, "layout");
static_assert(offsetof(_FILE_NODE_, bIsDeleted) == 12, "layout");
static_assert(offsetof(_FILE_NODE_, bHealth) == 16, "layout");
static_assert(offsetof(_FILE_NODE_, nIntegrity) == 17, "layout");
static_assert(offsetof(_FILE_NODE_, nResultFlags) == 18, "layout");
static_assert(offsetof(_FILE_NODE_, nFileIndex) == 20, "layout");
static_assert(offsetof(_FILE_NODE_, nClusterNO) == 24, "layout");
static_assert(offsetof(_FILE_NODE_, nClusterBytes) == 28, "layout");
static_assert(offsetof(_FILE_NODE_, ftCreateTime) == 32, "layout");
static_assert(offsetof(_FILE_NODE_, ftLastAccessTime) == 40, "layout");
static_assert(offsetof(_FILE_NODE_, ftLastWriteTime) == 48, "layout");
static_assert(offsetof(_FILE_NODE_, u64FileSize) == 56, "layout");
static_assert(offsetof(_FILE_NODE_, u64DataStartSector) == 64, "layout");
static_assert(offsetof(_FILE_NODE_, u64RecordSector) == 72, "layout");
static_assert(offsetof(_FILE_NODE_, u64VolumeStartSector) == 80, "layout");
static_assert(offsetof(_FILE_NODE_, szFileName) == 88, "layout");

// How far a result's content was checked. Stored results from before the
// verdict existed read as unverified.
enum INTEGRITY : u8 {
  INTEGRITY_UNVERIFIED = 0,  // no checker for its format, or not checked yet
  INTEGRITY_VERIFIED = 1,    // its structure was walked or decoded from first to last byte, ending where it ends
  INTEGRITY_PARTIAL = 2,     // known to be incomplete: short, unreadable sectors, length cut
  INTEGRITY_BROKEN = 3,      // its structure or decoding fails inside
};
const char* IntegrityName(int nIntegrity);  // "unverified", "verified", "partial", "broken"

// What else is known about how a result was found.
enum RESULT_FLAG : u8 {
  RESULT_FLAG_CHAIN_CLEARED = 0x01,  // its cluster chain was gone: read from consecutive clusters
  RESULT_FLAG_LENGTH_CAPPED = 0x02,  // no end was found: its length is a cap
  RESULT_FLAG_UNREADABLE = 0x04,     // some of its sectors could not be read
  RESULT_FLAG_CHECK_PENDING = 0x08,  // a costly check waits for the result to be listed or saved
  // A carved file in two pieces: its first nClusterNO sectors from
  // u64RecordSector, the rest from u64DataStartSector (fields carving leaves unused).
  RESULT_FLAG_TWO_PIECES = 0x10,
};

// The pieces of a result read as runs of sectors: one run, or two for a
// reassembled carved file. Returns the number of runs (1 or 2).
struct SECTOR_RUN {
  u64 u64FirstSector;
  u64 u64Bytes;
};
inline int CarvedPieces(const _FILE_NODE_& n, SECTOR_RUN runs[2], int nBytesPerSector = SECTOR_SIZE) {
  const u64 firstBytes = static_cast<u64>(n.nClusterNO) * static_cast<u64>(nBytesPerSector);
  if (!(n.nResultFlags & RESULT_FLAG_TWO_PIECES) || n.nClusterNO == 0 || firstBytes >= n.u64FileSize) {
    runs[0] = SECTOR_RUN{n.u64RecordSector, n.u64FileSize};
    return 1;
  }
  runs[0] = SECTOR_RUN{n.u64RecordSector, firstBytes};
  runs[1] = SECTOR_RUN{n.u64DataStartSector, n.u64FileSize - firstBytes};
  return 2;
}

// One search hit: exactly the fields of _FILE_NODE_, copied byte for byte.
struct __SEARCH_FILE_INFO__ : _FILE_NODE_ {};
static_assert(sizeof(__SEARCH_FILE_INFO__) == 344, "a hit is a node");

typedef std::vector<_FILE_NODE_> FILE_NODE_VECTOR;
typedef std::vector<__SEARCH_FILE_INFO__> SEARCH_FILE_INFO_VECTOR;

// Callbacks: 0 means go on, anything else stops the operation, which then
// returns that value.
typedef int (*SCAN_PROGRESS_CALLBACK)(void* param, int nProgress, int nPercent, int nRemaindSecond,
                                      u64 u64CurSector, u64 u64SectorCount, u64 u64FindFileCount,
                                      wchar_t* pRecoveryFileName);
typedef int (*RECOVERY_CALLBACK)(void* param, int nProgress, int nPercent, int nErrorCode,
                                 wchar_t* pRecoveryFileName);
typedef int (*SEARCH_CALLBACK)(void* param, int nProgress, wchar_t* pRecoveryFileName);
typedef int (*PREVIEW_CALLBACK)(void* param, int nProgress, int nRet);



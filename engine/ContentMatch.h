// Whether a file's first data still looks like what its extension names, and
// whether its whole content holds together as that format. The
// format knowledge lives in the carver, a layer above the file-system
// engines, so the carver installs its test here and the engines ask through
// this hook.
#pragma once

#include "engine/DiskReader.h"
#include "engine/Types.h"

// 1 when the bytes (read from absolute u64Sector) are of the type pExt names
// or pExt names no known type, else 0.
typedef int (*CONTENT_MATCH_FN)(unsigned char* pBuf, int nLen, char* pExt, CDiskReader* pReader,
                                int nBytesPerSector, u64 u64Sector);

void SetContentMatcher(CONTENT_MATCH_FN pFn);
// 1 when no test is installed: without one nothing can be called damaged.
int ContentMatchesExtension(unsigned char* pBuf, int nLen, char* pExt, CDiskReader* pReader, int nBytesPerSector,
                            u64 u64Sector);

// The integrity (INTEGRITY_*) of u64Size bytes read from absolute u64Sector
// as the format pExt names; RESULT_FLAG_* learnt on the way are added to *pFlags.
typedef int (*CONTENT_CHECK_FN)(const char* pExt, CDiskReader* pReader, int nBytesPerSector, u64 u64Sector,
                                u64 u64Size, u8* pFlags);

void SetContentChecker(CONTENT_CHECK_FN pFn);
// INTEGRITY_UNVERIFIED when no check is installed.
int CheckContentIntegrity(const char* pExt, CDiskReader* pReader, int nBytesPerSector, u64 u64Sector, u64 u64Size,
                          u8* pFlags);

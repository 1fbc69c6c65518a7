// Whether a file's first data still looks like what its extension names. The
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

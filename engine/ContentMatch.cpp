#include "engine/ContentMatch.h"

#include <atomic>

namespace {
std::atomic<CONTENT_MATCH_FN> g_matcher{nullptr};
}

void SetContentMatcher(CONTENT_MATCH_FN pFn) { g_matcher.store(pFn); }

int ContentMatchesExtension(unsigned char* pBuf, int nLen, char* pExt, CDiskReader* pReader, int nBytesPerSector,
                            u64 u64Sector) {
  CONTENT_MATCH_FN fn = g_matcher.load();
  return fn ? fn(pBuf, nLen, pExt, pReader, nBytesPerSector, u64Sector) : 1;
}

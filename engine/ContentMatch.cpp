#include "engine/ContentMatch.h"

#include <atomic>

namespace {
std::atomic<CONTENT_MATCH_FN> g_matcher{nullptr};
std::atomic<CONTENT_CHECK_FN> g_checker{nullptr};
}

void SetContentMatcher(CONTENT_MATCH_FN pFn) { g_matcher.store(pFn); }

int ContentMatchesExtension(unsigned char* pBuf, int nLen, char* pExt, CDiskReader* pReader, int nBytesPerSector,
                            u64 u64Sector) {
  CONTENT_MATCH_FN fn = g_matcher.load();
  return fn ? fn(pBuf, nLen, pExt, pReader, nBytesPerSector, u64Sector) : 1;
}

void SetContentChecker(CONTENT_CHECK_FN pFn) { g_checker.store(pFn); }

int CheckContentIntegrity(const char* pExt, CDiskReader* pReader, int nBytesPerSector, u64 u64Sector, u64 u64Size,
                          u8* pFlags) {
  CONTENT_CHECK_FN fn = g_checker.load();
  return fn ? fn(pExt, pReader, nBytesPerSector, u64Sector, u64Size, pFlags) : INTEGRITY_UNVERIFIED;
}

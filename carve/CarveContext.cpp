#include "carve/CarveContext.h"

#include <cstdint>

unsigned int CARVE_CONTEXT::ReadSectors(u64 u64Sector, unsigned int nCount, unsigned char* pBuf, size_t nBufLen,
                                        u64* pUnreadable) const {
  const int ss = nBytesPerSector;
  if (!pReader || !pBuf || nCount == 0 || !IsUsableSectorSize(ss)) return 0;
  if (static_cast<u64>(nCount) * ss > nBufLen) return 0;
  // Files near the end of the range are still read up to the range's end.
  u64 limit = pReader->GetSectorLimit();
  if (u64Sector >= limit) return 0;
  if (limit - u64Sector < nCount) nCount = static_cast<unsigned int>(limit - u64Sector);
  if (u64Sector > static_cast<u64>(INT64_MAX)) return 0;
  // A bad sector ahead must not cut a file to its first sector: what cannot
  // be read comes back as zeros, as the pass itself sees it.
  if (pReader->ReadTolerant(pBuf, static_cast<int>(nCount), static_cast<i64>(u64Sector), ss, pUnreadable) != 0) return 0;
  return nCount;
}

unsigned int CARVE_CONTEXT::ViewSectors(u64 u64Sector, unsigned int nCount, unsigned char* pBuf, size_t nBufLen,
                                        const unsigned char** ppData, u64* pUnreadable) const {
  *ppData = pBuf;
  const int ss = nBytesPerSector;
  if (pReader && pBuf && nCount && IsUsableSectorSize(ss) && static_cast<u64>(nCount) * ss <= nBufLen) {
    const u64 limit = pReader->GetSectorLimit();
    if (u64Sector < limit) {
      const unsigned int n = limit - u64Sector < nCount ? static_cast<unsigned int>(limit - u64Sector) : nCount;
      if (const unsigned char* p = pReader->WindowSpan(u64Sector, n, ss)) {
        *ppData = p;
        return n;
      }
    }
  }
  return ReadSectors(u64Sector, nCount, pBuf, nBufLen, pUnreadable);
}

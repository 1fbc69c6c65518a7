// Helpers shared by the judge's source files only.
#pragma once

#include <string.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <cstddef>
#include <cstring>

#include "engine/ByteOrder.h"
#include "engine/Types.h"

namespace carve_detail {

// A buffer handed to a detector: a negative or missing length reads as empty.
struct Bytes {
  const u8* p;
  size_t n;
  Bytes(const unsigned char* pBuf, int nLen)
      : p(pBuf), n(pBuf && nLen > 0 ? static_cast<size_t>(nLen) : 0) {}
  bool AtLeast(size_t len) const { return p && n >= len; }
  bool Eq(size_t off, const void* pattern, size_t len) const { return BytesEqual(p, n, off, pattern, len); }
};

// First / last occurrence of a pattern in [from, n); npos when absent.
constexpr size_t npos = static_cast<size_t>(-1);
inline size_t FindBytes(const u8* p, size_t n, size_t from, const void* pattern, size_t len) {
  if (!p || len == 0 || n < len || from > n - len) return npos;
  const u8 first = *static_cast<const u8*>(pattern);
  size_t last = n - len;
  size_t i = from;
#if defined(__SSE2__)
  if (len >= 2) {
    // Sixteen offsets at a time whose first two bytes match. The read-ahead
    // searches run over whole files, where a marker's first byte alone (FF
    // in a JPEG) turns up every few hundred bytes.
    const u8 second = static_cast<const u8*>(pattern)[1];
    const __m128i a = _mm_set1_epi8(static_cast<char>(first)), b = _mm_set1_epi8(static_cast<char>(second));
    for (; i + 16 <= last + 1; i += 16) {  // offsets i..i+15, bytes up to i+16 < n
      const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
      const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 1));
      unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(x, a), _mm_cmpeq_epi8(y, b))));
      for (; mask != 0; mask &= mask - 1) {
        const size_t at = i + static_cast<size_t>(__builtin_ctz(mask));
        if (std::memcmp(p + at, pattern, len) == 0) return at;
      }
    }
  }
#endif
  for (; i <= last; ++i) {
    const void* hit = std::memchr(p + i, first, last - i + 1);
    if (!hit) return npos;
    i = static_cast<size_t>(static_cast<const u8*>(hit) - p);
    if (std::memcmp(p + i, pattern, len) == 0) return i;
  }
  return npos;
}
inline size_t FindLastBytes(const u8* p, size_t n, const void* pattern, size_t len) {
  if (!p || len == 0 || n < len) return npos;
  // Jump between occurrences of the first byte from the end instead of
  // comparing at every offset (the read-ahead searches cover whole files).
  const u8 first = *static_cast<const u8*>(pattern);
  size_t limit = n - len + 1;  // candidate offsets are [0, limit)
  while (limit > 0) {
    const void* hit = memrchr(p, first, limit);
    if (!hit) return npos;
    size_t i = static_cast<size_t>(static_cast<const u8*>(hit) - p);
    if (std::memcmp(p + i, pattern, len) == 0) return i;
    limit = i;
  }
  return npos;
}

// An end marker ending at e (bytes from a sector-aligned buffer start) is
// accepted when e is on a sector boundary or the rest of its sector is zero.
inline bool IsAcceptedEnd(const u8* p, size_t n, size_t e, size_t sectorSize) {
  if (sectorSize == 0 || e % sectorSize == 0) return true;
  size_t sectorEnd = (e / sectorSize + 1) * sectorSize;
  if (sectorEnd > n) sectorEnd = n;
  for (size_t i = e; i < sectorEnd; ++i)
    if (p[i] != 0) return false;
  return true;
}

extern const u8 kAsfHeaderGuid[16];
extern const u8 kTsSync;

}  // namespace carve_detail

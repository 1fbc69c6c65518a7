// What the format files share: bounds-checked views of a buffer, byte
// searches, the forward read-ahead that most length rules are built on, and
// the named maxima. For carve/ only.
#pragma once

#include <string.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <cstddef>
#include <cstring>
#include <vector>

#include "carve/CarveContext.h"
#include "carve/CarveFormat.h"
#include "carve/FileTypeJudge.h"
#include "engine/ByteOrder.h"
#include "engine/Types.h"

namespace carve_detail {

// Maxima of the length rules.
const u64 kMax8M = 8388608;             // 0x800000
const u64 kMax16M = 16777216;
const u64 kMax64M = 67108864;
const u64 kMax128M = 134217728;         // 0x8000000
const u64 kMax256M = 268435456;         // 0x10000000
const u64 kMax512M = 536870912;
const u64 kMax1G = 1073741824;          // 0x40000000
const u64 kMax2G = 2147483648ull;       // 0x80000000
const u64 kMax4G = 4294967296ull;       // 0x100000000
const u64 kMax6G = 6442450944ull;       // 0x180000000
const u64 kMax16G = 17179869184ull;
const u64 kMax64G = 68719476736ull;     // 0x1000000000
const u64 kMaxOffice = 134217727;       // 0x7FFFFFF

// A buffer handed to a detector: a negative or missing length reads as empty.
struct Bytes {
  const u8* p;
  size_t n;
  Bytes(const unsigned char* pBuf, int nLen)
      : p(pBuf), n(pBuf && nLen > 0 ? static_cast<size_t>(nLen) : 0) {}
  bool AtLeast(size_t len) const { return p && n >= len; }
  bool Eq(size_t off, const void* pattern, size_t len) const { return BytesEqual(p, n, off, pattern, len); }
};

inline u64 Cap(u64 v, u64 cap) { return v < cap ? v : cap; }

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

// Text bytes: 1 for printable ASCII, tab, line feed, form feed and carriage
// return; 2 for the bytes of UTF-8 sequences (lead C2-F4, continuation
// 80-BF); 0 for anything else (other controls, NUL, C0, C1, F5-FF).
inline u8 TextByteClass(u8 c) {
  if ((c >= 0x20 && c < 0x7F) || c == '\t' || c == '\n' || c == '\f' || c == '\r') return 1;
  if ((c >= 0x80 && c <= 0xBF) || (c >= 0xC2 && c <= 0xF4)) return 2;
  return 0;
}
// Bytes of well-formed text (class 1 bytes and whole UTF-8 sequences) that
// start p, counting at most up to `want` (a sequence that straddles `want`
// is counted whole when the buffer holds it).
size_t TextPrefixLength(const u8* p, size_t n, size_t want);

// An end code accepted only on a sector boundary or before a zero-filled
// sector tail; occurrences are tried in turn. end is just past the code.
bool FindAcceptedEnd(const CARVE_CONTEXT& ctx, const u8* p, size_t n, const void* code, size_t len, size_t& end);

// CRC-32 (IEEE, reflected) of n bytes, continuing from crc (0 to start).
u32 Crc32(const u8* p, size_t n, u32 crc = 0);

// ---- Forward read-ahead ----

// What a marker search sees of one read-ahead step.
struct StepView {
  const u8* p;    // the data read (sector aligned)
  size_t n;       // bytes read
  size_t owned;   // bytes that still belong to this file: up to a boundary the end test found, else n
  u64 before;     // file bytes before this step, the start sector included
  bool boundary;  // the end test found another file or metadata in this step
};
// Returns true when it decided the size (written to size); the rule ends.
typedef bool (*MARKER)(CARVE_CONTEXT& ctx, const StepView& v, void* state, u64& size);

enum END_TEST { END_ANY, END_MPG };

// Reads forward from the sector after the start, one 64 KiB step at a time,
// reporting progress, until the marker decides, the end test finds another
// file's start or metadata, or maxBytes. The length of what belongs to the
// file. Sets ctx.bLengthIsCap when it stops at the maximum, the range's end
// or an unreadable sector with no marker or boundary found.
u64 ForwardScan(CARVE_CONTEXT& ctx, u64 maxBytes, END_TEST endTest, MARKER marker, void* state);

// A length stated by the file's own structure, still cut at another file's
// start or at metadata inside it, with the usual read-ahead, progress and
// cancellation. A cut sets ctx.bLengthIsCap.
u64 DeclaredLength(CARVE_CONTEXT& ctx, u64 declared);

// A length a header states, kept as it is, flagged as a bound when it runs
// past the end of the scanned range (a cut copy is not measured as whole).
u64 FlagPastRange(CARVE_CONTEXT& ctx, u64 size);

// Reads len (at most 16) bytes at file offset off of the candidate file:
// from its first sector when they lie there, else through the context's
// reader (two sectors at most). False when they cannot be read.
bool ReadFileBytes(const CARVE_CONTEXT& ctx, const Bytes& first, u64 off, u8* out, size_t len);
// The same for a detector: offsets count from the sector it is asked about
// (ctx.u64CurrentSector), whose bytes are `first`.
bool ReadDetectBytes(const CARVE_CONTEXT& ctx, const Bytes& first, u64 off, u8* out, size_t len);
// len bytes (at most 65536 + a sector) at file offset off of the candidate
// file into out, which must hold them; false when they cannot all be read.
bool ReadFileRange(const CARVE_CONTEXT& ctx, u64 off, u8* out, size_t len);

struct CandidateState {
  bool has = false;
  u64 candidate = 0;
};

// The last bytes of the previous piece of a file, so that a header split
// between two read-ahead steps can still be read whole.
struct Carry {
  u8 b[64];
  u64 base = 0;  // file offset of b[0]
  size_t n = 0;

  bool Byte(const StepView& v, u64 q, u8& out) const {
    if (q >= v.before && q - v.before < v.owned) {
      out = v.p[q - v.before];
      return true;
    }
    if (q >= base && q - base < n) {
      out = b[q - base];
      return true;
    }
    return false;
  }
  // len bytes at file offset pos from this piece or the carried tail; false
  // when some of them have not been seen yet.
  bool Peek(const StepView& v, u64 pos, size_t len, u8* out) const {
    for (size_t i = 0; i < len; ++i)
      if (!Byte(v, pos + i, out[i])) return false;
    return true;
  }
  // Keeps the last bytes seen once the piece v is done.
  void Keep(const StepView& v) {
    const u64 end = v.before + v.owned;
    const u64 from = end > sizeof(b) ? end - sizeof(b) : 0;
    u8 t[sizeof(b)];
    size_t k = 0;
    u64 start = from;
    for (u64 q = from; q < end; ++q) {
      if (!Byte(v, q, t[k])) {  // a gap: keep only what follows it
        k = 0;
        start = q + 1;
        continue;
      }
      ++k;
    }
    std::memcpy(b, t, k);
    n = k;
    base = start;
  }
};

// ---- Integrity checks ----

// The bytes of a measured file (u64Size of them from ctx.u64StartSector) as
// a checker reads them: through a window of whole sectors, so a walk that
// moves forward reads each sector once. Unreadable sectors read as zeros and
// are noted in ctx.bUnreadable. Nothing past the file's length is handed out.
class FileView {
 public:
  static constexpr size_t WINDOW = 256 * 1024;
  FileView(CARVE_CONTEXT& ctx, u64 u64Size);
  ~FileView();
  FileView(const FileView&) = delete;
  FileView& operator=(const FileView&) = delete;
  u64 Size() const { return m_size; }
  // len bytes at off into out; false when any of them lies past the end or cannot be read.
  bool Read(u64 off, void* out, size_t len);
  // The bytes from off on that the window holds (at least one when off is
  // inside the file); n gets their count. Null at or past the end.
  const u8* Span(u64 off, size_t& n);
  bool U8At(u64 off, u8& v) { return Read(off, &v, 1); }
  bool U16LE(u64 off, u16& v);
  bool U32LE(u64 off, u32& v);
  bool U64LE(u64 off, u64& v);
  bool U16BE(u64 off, u16& v);
  bool U32BE(u64 off, u32& v);
  bool U64BE(u64 off, u64& v);
  // CRC-32 (zlib's) of len bytes at off; false when they cannot all be read.
  bool Crc(u64 off, u64 len, u32& crc);

 private:
  bool Fill(u64 off);
  CARVE_CONTEXT& m_ctx;
  u64 m_size;
  // The window: the thread's reused buffer (checks run one after another on
  // the pass's thread; allocating and clearing it for each file was a large
  // part of their cost), or one of its own when a view is already open.
  u8* m_buf = nullptr;
  bool m_bOwn = false;
  const u8* m_data = nullptr;  // the window: m_buf, or the sectors where the pass holds them
  u64 m_base = 0;   // file offset of m_buf[0]
  size_t m_have = 0;
};

// Inflates the deflate stream at view offset u64At (nWindowBits as zlib's
// inflateInit2 takes them: raw, zlib or gzip), taking at most u64MaxIn of
// its bytes; each piece of output goes to pOut (null: dropped), which may
// end the walk by answering false. Gives inflate's last return code
// (Z_STREAM_END: the stream ended) and in u64In the bytes it consumed; a
// stream whose bytes run out ends on Z_OK.
int InflateView(FileView& view, u64 u64At, u64 u64MaxIn, int nWindowBits,
                bool (*pOut)(void* param, const u8* p, size_t n), void* param, u64& u64In);

// Whether a chunk or box type is four printable ASCII letters, digits or spaces.
inline bool IsFourCc(const u8* t) {
  for (int i = 0; i < 4; ++i)
    if (t[i] < 0x20 || t[i] > 0x7E) return false;
  return true;
}

}  // namespace carve_detail

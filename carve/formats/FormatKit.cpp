// The forward read-ahead, the end tests it asks and the small helpers the
// format files share.
#include "carve/formats/FormatKit.h"
#include "carve/formats/Formats.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include <zlib.h>

#include "carve/FileTypeJudge.h"

namespace carve_detail {

bool FindAcceptedEnd(const CARVE_CONTEXT& ctx, const u8* p, size_t n, const void* code, size_t len, size_t& end) {
  const size_t ss = static_cast<size_t>(ctx.nBytesPerSector);
  for (size_t off = FindBytes(p, n, 0, code, len); off != npos; off = FindBytes(p, n, off + 1, code, len)) {
    if (IsAcceptedEnd(p, n, off + len, ss)) {
      end = off + len;
      return true;
    }
  }
  return false;
}

size_t TextPrefixLength(const u8* p, size_t n, size_t want) {
  if (!p) return 0;
  size_t i = 0;
  while (i < n && i < want) {
    const u8 c = p[i];
    const u8 cls = TextByteClass(c);
    if (cls == 1) {
      ++i;
      continue;
    }
    if (cls == 0 || c < 0xC2) break;  // a continuation byte with no lead
    const size_t len = c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    if (i + len > n) break;
    // The second byte's range excludes overlong forms and surrogates.
    const u8 c1 = p[i + 1];
    u8 lo = 0x80, hi = 0xBF;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
    if (c1 < lo || c1 > hi) break;
    bool ok = true;
    for (size_t k = 2; k < len; ++k) ok = ok && (p[i + k] & 0xC0) == 0x80;
    if (!ok) break;
    i += len;
  }
  return i;
}

namespace {
struct CRC_TABLE {
  u32 t[256];
  CRC_TABLE() {
    for (u32 i = 0; i < 256; ++i) {
      u32 c = i;
      for (int k = 0; k < 8; ++k) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
  }
};
}  // namespace

u32 Crc32(const u8* p, size_t n, u32 crc) {
  static const CRC_TABLE table;
  crc ^= 0xFFFFFFFFu;
  for (size_t i = 0; i < n; ++i) crc = table.t[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}

u64 ForwardScan(CARVE_CONTEXT& ctx, u64 maxBytes, END_TEST endTest, MARKER marker, void* state) {
  const int ss = ctx.nBytesPerSector;
  if (!ctx.UsableSectorSize() || !ctx.pReadBuf) {
    ctx.bLengthIsCap = true;
    return ctx.OneSector();
  }
  u64 size = static_cast<u64>(ss);
  u64 budget = maxBytes / ss;
  u64 done = 0;
  u64 scanned = ctx.u64ScanSectorCount;
  const u64 perStep = CARVE_CONTEXT::READ_BUF_SIZE / ss;
  unsigned char* const buf = ctx.pReadBuf;
  while (budget != 0) {
    unsigned int want = static_cast<unsigned int>(budget < perStep ? budget : perStep);
    const unsigned char* data = buf;
    unsigned int got =
        ctx.ViewSectors(ctx.u64StartSector + 1 + done, want, buf, CARVE_CONTEXT::READ_BUF_SIZE, &data);
    if (got == 0) break;  // unreadable or the range's end: keep what we have
    scanned += got;
    if (ctx.pProgress) {
      u64 total = ctx.u64SectorTotalCount;
      int progress = total ? static_cast<int>(scanned * 100 / total + 10) : 10;
      ctx.nErrorCode = ctx.pProgress(ctx.pParam, progress, ctx.nPercent, ctx.nRemainSecond, scanned, total,
                                     ctx.u64FileCount, nullptr);
      if (ctx.nErrorCode != 0) break;
    }
    const int bytes = static_cast<int>(got) * ss;
    u64 withBoundary = size;
    int boundary = endTest == END_MPG ? CFileTypeJudge::IsEndOfMPGFile(ctx, data, bytes, withBoundary)
                                      : CFileTypeJudge::IsEndOfFile(ctx, data, bytes, withBoundary);
    StepView v{data, static_cast<size_t>(bytes),
               boundary ? static_cast<size_t>(withBoundary - size) : static_cast<size_t>(bytes), size,
               boundary != 0};
    size = withBoundary;
    if (marker && marker(ctx, v, state, size)) return size;
    if (boundary) return size;
    size += static_cast<u64>(bytes);
    budget -= got;
    done += got;
  }
  ctx.bLengthIsCap = true;
  return size;
}

u64 DeclaredLength(CARVE_CONTEXT& ctx, u64 declared) {
  const u64 ss = ctx.OneSector();
  if (declared <= ss) return declared;
  const bool capBefore = ctx.bLengthIsCap;
  u64 size = ForwardScan(ctx, (declared + ss - 1) / ss * ss - ss, END_ANY, nullptr, nullptr);
  if (size >= declared) {
    ctx.bLengthIsCap = capBefore;  // the whole declared extent was there
    return declared;
  }
  ctx.bLengthIsCap = true;
  return size;
}

u64 FlagPastRange(CARVE_CONTEXT& ctx, u64 size) {
  const u64 ss = ctx.OneSector();
  const u64 limit = ctx.pReader ? ctx.pReader->GetSectorLimit() : 0;
  const u64 sectors = size / ss + (size % ss ? 1 : 0);
  if (ctx.u64StartSector >= limit || sectors > limit - ctx.u64StartSector) ctx.bLengthIsCap = true;
  return size;
}

namespace {
bool ReadBytesFrom(const CARVE_CONTEXT& ctx, u64 base, const Bytes& first, u64 off, u8* out, size_t len);
}

bool ReadFileBytes(const CARVE_CONTEXT& ctx, const Bytes& first, u64 off, u8* out, size_t len) {
  return ReadBytesFrom(ctx, ctx.u64StartSector, first, off, out, len);
}

bool ReadDetectBytes(const CARVE_CONTEXT& ctx, const Bytes& first, u64 off, u8* out, size_t len) {
  return ReadBytesFrom(ctx, ctx.u64CurrentSector, first, off, out, len);
}

bool ReadFileRange(const CARVE_CONTEXT& ctx, u64 off, u8* out, size_t len) {
  const int ss = ctx.nBytesPerSector;
  if (!ctx.UsableSectorSize() || len == 0 || len > 65536 + CARVE_CONTEXT::MAX_SECTOR_SIZE) return false;
  const u64 sector = off / static_cast<u64>(ss);
  const size_t in = static_cast<size_t>(off % static_cast<u64>(ss));
  const unsigned int span = static_cast<unsigned int>((in + len + ss - 1) / ss);
  std::vector<u8> tmp(static_cast<size_t>(span) * ss);
  if (ctx.ReadSectors(ctx.u64StartSector + sector, span, tmp.data(), tmp.size()) != span) return false;
  std::memcpy(out, tmp.data() + in, len);
  return true;
}

namespace {
bool ReadBytesFrom(const CARVE_CONTEXT& ctx, u64 base, const Bytes& first, u64 off, u8* out, size_t len) {
  if (len > 16) return false;
  if (off <= first.n && len <= first.n - off) {
    std::memcpy(out, first.p + off, len);
    return true;
  }
  const int ss = ctx.nBytesPerSector;
  if (!ctx.UsableSectorSize()) return false;
  u8 two[2 * CARVE_CONTEXT::MAX_SECTOR_SIZE];
  const u64 sector = off / static_cast<u64>(ss);
  const size_t in = static_cast<size_t>(off % static_cast<u64>(ss));
  const unsigned int span = in + len > static_cast<size_t>(ss) ? 2 : 1;
  if (ctx.ReadSectors(base + sector, span, two, sizeof(two)) != span) return false;
  std::memcpy(out, two + in, len);
  return true;
}
}  // namespace


namespace {
struct ViewBuffer {
  std::unique_ptr<u8[]> p;
  bool busy = false;
};
thread_local ViewBuffer t_viewBuffer;
}  // namespace

FileView::FileView(CARVE_CONTEXT& ctx, u64 u64Size) : m_ctx(ctx), m_size(u64Size) {}

FileView::~FileView() {
  if (m_bOwn) delete[] m_buf;
  else if (m_buf) t_viewBuffer.busy = false;
}

bool FileView::Fill(u64 off) {
  const u64 ss = static_cast<u64>(m_ctx.nBytesPerSector);
  if (!m_ctx.UsableSectorSize() || off >= m_size) return false;
  const u64 first = off / ss;
  const u64 lastByte = m_size - 1;
  u64 count = lastByte / ss - first + 1;
  u64 inPiece = 0;
  const u64 disk = m_ctx.DiskSectorOf(first, inPiece);
  if (count > inPiece) count = inPiece;  // a window never spans the two pieces of a file
  // Sectors the pass holds in memory are read where they are, as many of
  // them as it holds (it holds none past the reader's limit).
  if (m_ctx.pReader) {
    const u64 n = std::min(count, m_ctx.pReader->WindowHolds(disk, static_cast<int>(ss)));
    if (const u8* p = n ? m_ctx.pReader->WindowSpan(disk, n, static_cast<int>(ss)) : nullptr) {
      m_data = p;
      m_base = first * ss;
      m_have = static_cast<size_t>(n * ss);
      if (m_base + m_have > m_size) m_have = static_cast<size_t>(m_size - m_base);
      return off < m_base + m_have;
    }
  }
  if (!m_buf) {
    ViewBuffer& shared = t_viewBuffer;
    if (!shared.busy) {
      if (!shared.p) shared.p.reset(new (std::nothrow) u8[WINDOW]);
      if (!shared.p) return false;
      shared.busy = true;
      m_buf = shared.p.get();
    } else {
      m_buf = new (std::nothrow) u8[WINDOW];
      if (!m_buf) return false;
      m_bOwn = true;
    }
  }
  if (count > WINDOW / ss) count = WINDOW / ss;
  u64 bad = 0;
  const unsigned int got = m_ctx.ReadSectors(disk, static_cast<unsigned int>(count),
                                             m_buf, WINDOW, &bad);
  if (bad) m_ctx.bUnreadable = true;
  m_data = m_buf;
  if (got == 0) {
    m_have = 0;
    return false;
  }
  m_base = first * ss;
  m_have = static_cast<size_t>(got) * ss;
  if (m_base + m_have > m_size) m_have = static_cast<size_t>(m_size - m_base);
  return off < m_base + m_have;
}

const u8* FileView::Span(u64 off, size_t& n) {
  n = 0;
  if (off >= m_size) return nullptr;
  if (!(m_have && off >= m_base && off < m_base + m_have) && !Fill(off)) return nullptr;
  n = static_cast<size_t>(m_base + m_have - off);
  return m_data + (off - m_base);
}

bool FileView::Read(u64 off, void* out, size_t len) {
  if (off > m_size || len > m_size - off) return false;
  u8* o = static_cast<u8*>(out);
  while (len) {
    size_t n = 0;
    const u8* p = Span(off, n);
    if (!p) return false;
    const size_t take = n < len ? n : len;
    std::memcpy(o, p, take);
    o += take;
    off += take;
    len -= take;
  }
  return true;
}

bool FileView::U16LE(u64 off, u16& v) {
  u8 b[2];
  if (!Read(off, b, 2)) return false;
  v = GetU16LE(b, 2, 0);
  return true;
}
bool FileView::U32LE(u64 off, u32& v) {
  u8 b[4];
  if (!Read(off, b, 4)) return false;
  v = GetU32LE(b, 4, 0);
  return true;
}
bool FileView::U64LE(u64 off, u64& v) {
  u8 b[8];
  if (!Read(off, b, 8)) return false;
  v = GetU64LE(b, 8, 0);
  return true;
}
bool FileView::U16BE(u64 off, u16& v) {
  u8 b[2];
  if (!Read(off, b, 2)) return false;
  v = GetU16BE(b, 2, 0);
  return true;
}
bool FileView::U32BE(u64 off, u32& v) {
  u8 b[4];
  if (!Read(off, b, 4)) return false;
  v = GetU32BE(b, 4, 0);
  return true;
}
bool FileView::U64BE(u64 off, u64& v) {
  u8 b[8];
  if (!Read(off, b, 8)) return false;
  v = GetU64BE(b, 8, 0);
  return true;
}

bool FileView::Crc(u64 off, u64 len, u32& crc) {
  if (off > m_size || len > m_size - off) return false;
  uLong c = crc32(0L, Z_NULL, 0);
  while (len) {
    size_t n = 0;
    const u8* p = Span(off, n);
    if (!p) return false;
    const size_t take = n < len ? n : static_cast<size_t>(len);
    c = crc32(c, p, static_cast<uInt>(take));
    off += take;
    len -= take;
  }
  crc = static_cast<u32>(c);
  return true;
}

int InflateView(FileView& view, u64 u64At, u64 u64MaxIn, int nWindowBits,
                bool (*pOut)(void* param, const u8* p, size_t n), void* param, u64& u64In) {
  u64In = 0;
  z_stream z;
  std::memset(&z, 0, sizeof(z));
  if (inflateInit2(&z, nWindowBits) != Z_OK) return Z_MEM_ERROR;
  u8 out[16384];
  u64 fed = 0;
  int rc = Z_OK;
  while (rc == Z_OK) {
    if (z.avail_in == 0) {
      size_t n = 0;
      const u8* p = fed < u64MaxIn ? view.Span(u64At + fed, n) : nullptr;
      if (!p) break;  // the stream's bytes ran out before it ended
      if (n > 65536) n = 65536;
      if (n > u64MaxIn - fed) n = static_cast<size_t>(u64MaxIn - fed);
      z.next_in = const_cast<Bytef*>(p);
      z.avail_in = static_cast<uInt>(n);
      fed += n;
    }
    z.next_out = out;
    z.avail_out = sizeof(out);
    rc = inflate(&z, Z_NO_FLUSH);
    const size_t made = sizeof(out) - z.avail_out;
    if (made && pOut && !pOut(param, out, made)) break;
    if (rc == Z_BUF_ERROR && z.avail_in == 0) rc = Z_OK;  // more input to come
  }
  u64In = z.total_in;
  inflateEnd(&z);
  return rc;
}

}  // namespace carve_detail

namespace carvefmt {

using namespace carve_detail;

u64 GetDefaultVedioFileBytesSize(CARVE_CONTEXT& ctx, const unsigned char*, int) {
  return ForwardScan(ctx, kMax4G, END_ANY, nullptr, nullptr);
}
u64 GetDefaultAudioFileBytesSize(CARVE_CONTEXT& ctx, const unsigned char*, int) {
  return ForwardScan(ctx, kMax256M, END_ANY, nullptr, nullptr);
}
u64 GetDefaultPictureFileBytesSize(CARVE_CONTEXT& ctx, const unsigned char*, int) {
  return ForwardScan(ctx, kMax128M, END_ANY, nullptr, nullptr);
}

}  // namespace carvefmt

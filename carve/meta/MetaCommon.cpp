#include "carve/meta/MetaCommon.h"

#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "engine/TextUtil.h"

namespace carvemeta {

namespace {
// The window of the metadata reads, one per thread that carves.
u8* WindowBuffer() {
  thread_local std::unique_ptr<u8[]> buf;
  if (!buf) buf.reset(new (std::nothrow) u8[CMetaSource::WINDOW + CARVE_CONTEXT::MAX_SECTOR_SIZE]);
  return buf.get();
}
}  // namespace

CMetaSource::CMetaSource(CARVE_CONTEXT& ctx, u64 u64Size) : m_ctx(ctx), m_u64Size(u64Size), m_pBuf(WindowBuffer()) {}

bool CMetaSource::Load(u64 off, size_t n) {
  if (!m_pBuf || !m_ctx.UsableSectorSize() || m_nLoads >= MAX_WINDOWS || off >= m_u64Size) return false;
  ++m_nLoads;
  const u64 ss = static_cast<u64>(m_ctx.nBytesPerSector);
  const u64 first = off / ss;
  // Most of what a reader asks for is in a file's first few KiB: a small
  // read unless more is wanted, never past the file's end.
  u64 bytes = off - first * ss + (n > LOAD ? n : LOAD);
  if (bytes > m_u64Size - first * ss) bytes = m_u64Size - first * ss;
  const u64 sectors = (bytes + ss - 1) / ss;  // at most WINDOW + one sector: the buffer's size
  m_nHave = 0;
  m_u64At = first * ss;
  const unsigned int got = m_ctx.ReadSectors(m_ctx.u64StartSector + first, static_cast<unsigned int>(sectors), m_pBuf,
                                             WINDOW + CARVE_CONTEXT::MAX_SECTOR_SIZE);
  u64 have = static_cast<u64>(got) * ss;
  if (m_u64At + have > m_u64Size) have = m_u64Size - m_u64At;
  m_nHave = static_cast<size_t>(have);
  return m_nHave > 0;
}

size_t CMetaSource::View(u64 off, size_t n, const u8** pView) {
  *pView = nullptr;
  if (n > WINDOW || off >= m_u64Size) return 0;
  if (n > m_u64Size - off) n = static_cast<size_t>(m_u64Size - off);
  const bool inside = m_nHave > 0 && off >= m_u64At && off - m_u64At + n <= m_nHave;
  if (!inside && !Load(off, n)) return 0;
  if (off < m_u64At || off - m_u64At >= m_nHave) return 0;
  const size_t at = static_cast<size_t>(off - m_u64At);
  *pView = m_pBuf + at;
  return n < m_nHave - at ? n : m_nHave - at;
}

bool CMetaSource::Read(u64 off, void* pOut, size_t n) {
  if (n == 0) return true;
  const u8* v = nullptr;
  if (n > WINDOW || n > m_u64Size || off > m_u64Size - n) return false;
  if (View(off, n, &v) != n) return false;
  std::memcpy(pOut, v, n);
  return true;
}

size_t CMetaSource::ReadUpTo(u64 off, void* pOut, size_t n) {
  size_t done = 0;
  u8* out = static_cast<u8*>(pOut);
  while (done < n) {
    const u8* v = nullptr;
    size_t want = n - done < WINDOW ? n - done : WINDOW;
    size_t got = View(off + done, want, &v);
    if (got == 0) break;
    std::memcpy(out + done, v, got);
    done += got;
  }
  return done;
}

i64 CivilToUnix(int y, int mo, int d, int h, int mi, int s) {
  if (y < 1970 || y > 2100 || mo < 1 || mo > 12 || d < 1 || h < 0 || h > 23 || mi < 0 || mi > 59 || s < 0 ||
      s > 60)
    return 0;
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  if (d > kDays[mo - 1] + (mo == 2 && leap ? 1 : 0)) return 0;
  // Days from 1970-01-01 to the civil date (proleptic Gregorian).
  const int yy = mo <= 2 ? y - 1 : y;
  const int era = yy / 400;
  const int yoe = yy - era * 400;
  const int doy = (153 * (mo + (mo > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const i64 days = static_cast<i64>(era) * 146097 + doe - 719468;
  const i64 t = days * 86400 + h * 3600 + mi * 60 + s;
  return t > 0 ? t : 0;
}

i64 ParseDateText(const char* p, size_t n) {
  int v[6] = {0, 1, 1, 0, 0, 0};
  const int widths[6] = {4, 2, 2, 2, 2, 2};
  size_t i = 0;
  int got = 0;
  for (int k = 0; k < 6; ++k) {
    if (k > 0) {  // one separator: ':' '-' 'T' ' ' '.' '/'
      if (i >= n || !strchr(":-T ./", p[i]) || p[i] == 0) break;
      ++i;
    }
    int value = 0, digits = 0;
    while (digits < widths[k] && i < n && p[i] >= '0' && p[i] <= '9') value = value * 10 + (p[i++] - '0'), ++digits;
    if (digits != widths[k]) break;
    v[k] = value;
    got = k + 1;
  }
  if (got == 0 || got == 2 || got == 4 || got == 5) return 0;  // a year, a date, or a whole time
  return CivilToUnix(v[0], v[1], v[2], v[3], v[4], v[5]);
}

void SetText(char* pField, size_t nField, const char* p, size_t n) {
  if (!pField || nField == 0 || pField[0] || !p) return;
  std::string clean = CleanMetadataText(p, n, nField - 1);
  std::memcpy(pField, clean.data(), clean.size());
  pField[clean.size()] = 0;
}

void SetTextUtf16(char* pField, size_t nField, const u8* p, size_t nBytes, bool bBigEndian) {
  if (!p || nField == 0 || pField[0]) return;
  const size_t units = nBytes / 2 < 1024 ? nBytes / 2 : 1024;
  u16 buf[1024];
  for (size_t i = 0; i < units; ++i)
    buf[i] = bBigEndian ? static_cast<u16>(p[2 * i] << 8 | p[2 * i + 1]) : static_cast<u16>(p[2 * i + 1] << 8 | p[2 * i]);
  std::string utf8 = Utf16ToUtf8(buf, units);
  SetText(pField, nField, utf8.data(), utf8.size());
}

bool HasAny(const CARVE_METADATA& m) {
  return m.nTakenTime || m.szTitle[0] || m.szArtist[0] || m.szMake[0] || m.szModel[0] || m.nWidth || m.nHeight;
}

size_t Find(const u8* p, size_t n, const char* needle, size_t nNeedle, size_t from) {
  if (!p || nNeedle == 0 || n < nNeedle) return static_cast<size_t>(-1);
  for (size_t i = from; i + nNeedle <= n; ++i)
    if (p[i] == static_cast<u8>(needle[0]) && std::memcmp(p + i, needle, nNeedle) == 0) return i;
  return static_cast<size_t>(-1);
}

}  // namespace carvemeta

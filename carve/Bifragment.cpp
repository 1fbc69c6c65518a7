// The search skeleton every format's two-piece search runs on (TwoPieces.h),
// and the search of carved JPEGs: the break is where the marker
// structure of the entropy-coded data first fails (a marker that cannot be
// there, a restart marker out of sequence, a sector of zeros) or where the
// decoder first meets foreign data; the continuation is a sector after a gap
// of whole clusters whose data goes on in the same structure to the
// picture's end marker; the decoder has the last word.
#include "carve/Bifragment.h"

#include <time.h>

#include <cstring>
#include <memory>

#include "carve/FileTypeJudge.h"
#include "carve/JpegEntropy.h"
#include "carve/TwoPieces.h"
#include "carve/formats/Formats.h"
#include "carve/formats/JpegMarkers.h"

namespace bifrag_detail {

namespace {

// The time budget is the pass thread's processor time: a busy machine
// does not cut a file's search short.
u64 ThreadMillis() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<u64>(t.tv_sec) * 1000 + static_cast<u64>(t.tv_nsec) / 1000000;
}

}  // namespace

CSectorSource::CSectorSource(CDiskReader* pReader, int ss)
    : m_pReader(pReader), m_ss(static_cast<u64>(ss)), m_buf(new u8[kStepBytes]) {}

const u8* CSectorSource::Read(u64 sector, u64& bytes) {
  bytes = 0;
  if (m_count && sector >= m_first && sector - m_first < m_count) {
    bytes = (m_count - (sector - m_first)) * m_ss;
    return m_data + (sector - m_first) * m_ss;
  }
  m_count = 0;
  const u64 limit = m_pReader->GetSectorLimit();
  if (sector >= limit) return nullptr;
  u64 count = kStepBytes / m_ss;
  if (limit - sector < count) count = limit - sector;
  // Sectors the pass holds in memory are read where they are.
  const u8* p = m_pReader->WindowSpan(sector, count, static_cast<int>(m_ss));
  if (!p) {
    if (m_pReader->ReadTolerant(m_buf.get(), static_cast<int>(count), static_cast<i64>(sector),
                                static_cast<int>(m_ss), nullptr) != 0)
      return nullptr;
    p = m_buf.get();
  }
  m_data = p;
  m_first = sector;
  m_count = count;
  bytes = count * m_ss;
  return p;
}

bool CSectorSource::Bytes(u64 u64DiskByte, u8* pOut, size_t n) {
  while (n) {
    u64 got = 0;
    const u8* p = Read(u64DiskByte / m_ss, got);
    const u64 in = u64DiskByte % m_ss;
    if (!p || got <= in) return false;
    const size_t take = got - in < n ? static_cast<size_t>(got - in) : n;
    std::memcpy(pOut, p + in, take);
    pOut += take;
    u64DiskByte += take;
    n -= take;
  }
  return true;
}

bool Claimed(const std::vector<BIFRAG_RANGE>& claimed, u64 sector) {
  for (const BIFRAG_RANGE& r : claimed)
    if (sector >= r.u64FirstSector && sector - r.u64FirstSector < r.u64SectorCount) return true;
  return false;
}

CPieceSearch::CPieceSearch(CDiskReader* pReader, int ss, u64 start, int type, const std::vector<BIFRAG_RANGE>& claimed,
                           const BIFRAG_LIMITS& limits)
    : m_pReader(pReader), m_ss(static_cast<u64>(ss)), m_start(start), m_type(type), m_limits(limits),
      m_src(pReader, ss), m_t0(ThreadMillis()) {
  // The pass goes in sector order: most files carved so far lie before this
  // one, where no continuation is looked for.
  for (const BIFRAG_RANGE& r : claimed)
    if (r.u64FirstSector + r.u64SectorCount > start) m_claimed.push_back(r);
}

bool CPieceSearch::OutOfBudget() const {
  return ThreadMillis() - m_t0 > static_cast<u64>(m_limits.nMillis) || m_decodes >= m_limits.nMaxDecodes ||
         m_walked > kMaxWalkBytes;
}

CARVE_VERDICT CPieceSearch::Decode(CARVE_CONTEXT& ctx, u64 size) {
  ++m_decodes;
  const CARVE_FORMAT* f = CFileTypeJudge::CheckerOfType(m_type);
  if (!f) return VERDICT_UNKNOWN;
  ctx.u64CheckedEnd = 0;
  ctx.bUnreadable = false;
  return f->pChecker(ctx, size);
}

CARVE_CONTEXT CPieceSearch::PiecesContext(u64 firstBytes, u64 sector) const {
  CARVE_CONTEXT ctx = CFileTypeJudge::MakeContext(m_pReader, static_cast<int>(m_ss), m_start);
  ctx.u64FirstPieceBytes = firstBytes;
  ctx.u64SecondPieceSector = sector;
  return ctx;
}

bool CPieceSearch::PairBytes(u64 firstBytes, u64 sector, u64 off, u8* pOut, size_t n) {
  while (n) {
    if (off < firstBytes) {
      const size_t take = firstBytes - off < n ? static_cast<size_t>(firstBytes - off) : n;
      if (!m_src.Bytes(m_start * m_ss + off, pOut, take)) return false;
      pOut += take;
      off += take;
      n -= take;
      continue;
    }
    return m_src.Bytes(sector * m_ss + (off - firstBytes), pOut, n);
  }
  return true;
}

bool CPieceSearch::Decide(BIFRAG_PIECES& out) {
  FOUND pick;
  u8 integrity = INTEGRITY_UNVERIFIED;
  if (m_full.u64Size) {
    pick = m_full;
    if (m_nFull == 1) {
      CARVE_CONTEXT full = PiecesContext(pick.u64FirstPieceBytes, pick.u64SecondPieceSector);
      u64 size = pick.u64Size;
      u8 flags = 0;
      integrity = static_cast<u8>(CFileTypeJudge::CheckIntegrity(full, m_type, size, false, flags));
      if (integrity != INTEGRITY_VERIFIED || flags) integrity = INTEGRITY_UNVERIFIED;
    }
  } else if (m_unsure.u64Size) {
    pick = m_unsure;
  } else if (m_partial.u64Size) {
    pick = m_partial;
    integrity = INTEGRITY_PARTIAL;
  } else {
    return false;
  }
  out.u64FirstPieceBytes = pick.u64FirstPieceBytes;
  out.u64SecondPieceSector = pick.u64SecondPieceSector;
  out.u64Size = pick.u64Size;
  out.nIntegrity = integrity;
  return true;
}

int CPieceSearch::TrySecondPieces(u64 firstBytes) {
  const u64 step = Step();
  const u64 firstEnd = m_start * m_ss + firstBytes;
  const u64 gapEnd = firstEnd + m_limits.u64MaxGapBytes;
  // From the first piece's end itself: a file stored whole right after it
  // is claimed before any continuation is looked for.
  for (u64 s = firstEnd; s <= gapEnd; s += m_ss) {
    if (OutOfBudget()) return -1;
    const u64 sector = s / m_ss;
    if (sector >= m_pReader->GetSectorLimit()) return 0;
    if (Claimed(m_claimed, sector)) continue;
    // A file stored whole in the gap is kept whole: the continuation is
    // looked for after it.
    u64 n = 0;
    const u8* head = m_src.Read(sector, n);
    if (!head) return 0;
    const u64 whole = WholeFileSectors(sector, head, n);
    if (whole) {
      m_claimed.push_back(BIFRAG_RANGE{sector, whole});
      continue;
    }
    if (s == firstEnd || (s - firstEnd) % step != 0) continue;
    // A live file's sectors are no deleted file's continuation.
    if (m_limits.pInUse && m_limits.pInUse->AllInUse(sector, 1)) continue;
    u64 end = 0;
    switch (TryPair(firstBytes, sector, end)) {
      case PAIR_FULL:
        if (++m_nFull > 1) return -1;  // two continuations go on whole: neither is verified
        m_full = FOUND{firstBytes, sector, end};
        // Its sectors are its own: a rival starts elsewhere.
        m_claimed.push_back(BIFRAG_RANGE{sector, (end - firstBytes + m_ss - 1) / m_ss});
        break;
      case PAIR_UNSURE:
        if (!m_unsure.u64Size) m_unsure = FOUND{firstBytes, sector, end};
        break;
      case PAIR_PARTIAL:
        if (!m_partial.u64Size) m_partial = FOUND{firstBytes, sector, end};
        break;
      case PAIR_NONE:
        break;
    }
  }
  return 0;
}

namespace {

// Largest reassembled JPEG (the JPEG rule's own maximum).
constexpr u64 kMaxJpegBytes = 128ull * 1024 * 1024;

// The marker structure as the search follows it, sector by sector: every
// sign of foreign data breaks it (restart markers out of order, a sector of
// zeros in coded data), and an EOI ends it wherever it stands.
struct JpegFlow : JPEG_MARKERS {
  JpegFlow() {
    bRestartOrder = true;
    bZeroSectorBreaks = true;
    bEoiNeedsScan = false;
  }
};

// The DC of the blocks across the seam against the blocks beside it (see
// JPEG_WALK::dSeamScore): on the test pictures a true continuation scored
// 0.70-1.10 and joins of two pictures that walk whole 1.91-6.1.
constexpr double kMaxSeamScore = 1.5;
// Block pairs across the seam needed before the seam's score counts.
constexpr int kMinSeamPairs = 8;

class CJpegSearch : public CPieceSearch {
 public:
  using CPieceSearch::CPieceSearch;

  bool Run(u64 carved, bool onlyVisible, BIFRAG_PIECES& out) {
    // The walk over the carved bytes, its state kept at every sector
    // boundary (keep); a check put off looks only for a break, and keeps
    // the states once it has seen one.
    const u64 carvedSectors = (carved + m_ss - 1) / m_ss;
    auto walk = [&](bool keep) {
      JpegFlow f;
      u64 sector = 0;
      while (sector < carvedSectors && !f.Done()) {
        u64 got = 0;
        const u8* p = m_src.Read(m_start + sector, got);
        if (!p) break;
        for (u64 off = 0; off < got && sector < carvedSectors && !f.Done(); off += m_ss, ++sector) {
          if (keep) m_states.push_back(f);
          f.Feed(p + off, static_cast<size_t>(m_ss));
        }
      }
      if (keep) m_states.push_back(f);  // the state where the carved bytes end
      return f;
    };
    JpegFlow flow = walk(!onlyVisible);
    if (onlyVisible && flow.st == JpegFlow::END) return false;
    if (onlyVisible) flow = walk(true);
    // Where the file's own data stops: where its marker structure breaks,
    // or, for a structure that went on into foreign data (a stray marker
    // there opened a segment), where the entropy-coded data was left.
    u64 breakAt = 0;
    if (flow.st == JpegFlow::BROKEN) breakAt = flow.at;
    else if (flow.st != JpegFlow::END) breakAt = flow.InScan() || !flow.scanLeft ? flow.pos : flow.scanLeft;
    // A check put off for its cost is not made here either: a structure
    // that reaches its end shows no break.
    if (onlyVisible && flow.st == JpegFlow::END) return false;
    // The exact walk knows better where decoding first goes wrong; no first
    // piece can reach past it.
    CARVE_CONTEXT one = CFileTypeJudge::MakeContext(m_pReader, static_cast<int>(m_ss), m_start);
    const JPEG_WALK alone = CJpegEntropy::Walk(one, carved, 0);
    if (alone.nOutcome == JPEG_WALK_BAD && alone.u64BadAt > alone.u64ScanStart &&
        (breakAt == 0 || alone.u64BadAt + 1 < breakAt))
      breakAt = alone.u64BadAt + 1;
    if (breakAt == 0) {
      if (onlyVisible || flow.st != JpegFlow::END) return false;
      // Its structure holds together yet it does not decode: the decoder says where.
      CARVE_CONTEXT ctx = CFileTypeJudge::MakeContext(m_pReader, static_cast<int>(m_ss), m_start);
      ctx.bStopAtDamage = true;
      Decode(ctx, flow.end);
      breakAt = ctx.u64DamageAt;
      if (breakAt == 0) return false;
    }
    const u64 step = Step();
    // Ends of the first piece: cluster boundaries at or before the break,
    // after the last restart marker that was still in sequence.
    // (Counted from the file's first sector: a file system's clusters start
    // where the file does, wherever its cluster area begins.)
    u64 b = m_start * m_ss + (breakAt / step) * step;
    const u64 startByte = m_start * m_ss;
    for (int tries = 0; tries < m_limits.nMaxFirstPieceEnds && b > startByte; ++tries, b -= step) {
      const u64 firstBytes = b - startByte;
      const u64 firstSectors = firstBytes / m_ss;
      if (firstSectors >= m_states.size()) continue;
      const JpegFlow& at = m_states[firstSectors];
      if (!at.sawSoi || at.Done()) continue;
      if (flow.lastRst && firstBytes <= flow.lastRst) break;  // a restart marker still in sequence: the break is after it
      // Continuations compete only with those of the same first piece: once
      // one decodes whole, earlier ends are not tried.
      if (TrySecondPieces(firstBytes) < 0 || m_full.u64Size) break;
    }
    return Decide(out);
  }

 private:
  // Where the JPEG starting at `sector` (a picture stored whole in the gap)
  // ends, in sectors from it; 0 when it does not.
  u64 WholeFileSectors(u64 sector, const u8* head, u64 n) override {
    if (n < 3 || head[0] != 0xFF || head[1] != 0xD8 || head[2] != 0xFF) return 0;
    JpegFlow f;
    u64 k = 0;
    while (!f.Done() && k * m_ss < kMaxJpegBytes) {
      u64 got = 0;
      const u8* p = m_src.Read(sector + k, got);
      if (!p) return 0;
      m_walked += got;
      for (u64 off = 0; off < got && !f.Done(); off += m_ss, ++k) f.Feed(p + off, static_cast<size_t>(m_ss));
    }
    return f.st == JpegFlow::END ? (f.end + m_ss - 1) / m_ss : 0;
  }

  PAIR_OUTCOME TryPair(u64 firstBytes, u64 sector, u64& outEnd) override {
    const JpegFlow& at = m_states[firstBytes / m_ss];
    u64 end = 0;
    const bool toEnd = Continues(at, firstBytes, sector, end);
    if (end < firstBytes + (toEnd ? 2 : kMinPartialSpan)) return PAIR_NONE;
    if (!toEnd && m_partial.u64Size) return PAIR_NONE;  // only the nearest partial continuation is kept
    ++m_decodes;
    CARVE_CONTEXT ctx = PiecesContext(firstBytes, sector);
    const JPEG_WALK w = CJpegEntropy::Walk(ctx, end, firstBytes);
    const bool seamClean = w.nSeamPairs >= kMinSeamPairs && w.dSeamScore <= kMaxSeamScore;
    if (w.nOutcome == JPEG_WALK_WHOLE && w.u64End == end) {
      outEnd = end;
      return seamClean ? PAIR_FULL : PAIR_UNSURE;
    }
    if (w.nOutcome == JPEG_WALK_UNSUPPORTED) {
      // Progressive and other pictures the walk does not follow: the
      // decoder's word alone, never enough to call the join verified.
      if (!toEnd || m_unsure.u64Size) return PAIR_NONE;
      CARVE_CONTEXT d = PiecesContext(firstBytes, sector);
      d.bStopAtDamage = true;
      if (Decode(d, end) != VERDICT_WHOLE || (d.u64CheckedEnd != 0 && d.u64CheckedEnd != end)) return PAIR_NONE;
      outEnd = end;
      return PAIR_UNSURE;
    }
    // Goes wrong somewhere past the seam: as far as it goes cleanly.
    const u64 good = (w.u64BadAt / m_ss) * m_ss;
    if (m_partial.u64Size || !seamClean || good < firstBytes + kMinPartialSpan) return PAIR_NONE;
    outEnd = good;
    return PAIR_PARTIAL;
  }

  // Whether the data from `sector` on goes on from the first piece's state
  // to the picture's end marker; end gets the reassembled length, or where
  // the structure broke when it does not reach the end.
  bool Continues(const JpegFlow& at, u64 firstBytes, u64 sector, u64& end) {
    JpegFlow f = at;
    f.pos = firstBytes;
    u64 n = 0;
    end = 0;
    u64 left = 0;  // where the coded data was first left for a marker other than EOI
    while (!f.Done()) {
      if (f.pos >= kMaxJpegBytes) break;
      u64 got = 0;
      const u8* p = m_src.Read(sector + n, got);
      if (!p) break;
      m_walked += got;
      for (u64 off = 0; off < got && !f.Done(); off += m_ss, ++n) {
        f.Feed(p + off, static_cast<size_t>(m_ss));
        if (!left && f.scanLeft >= firstBytes) left = f.scanLeft;
      }
      if (m_walked > kMaxWalkBytes) break;
    }
    if (f.st == JpegFlow::END) {
      end = f.end;
      return true;
    }
    // Not to the end: as far as the coded data goes (segments that foreign
    // bytes seem to open after it are no part of a continuation).
    end = f.st == JpegFlow::BROKEN ? f.at : f.pos;
    if (left && left < end) end = left;
    return false;
  }

  std::vector<JpegFlow> m_states;  // the walk's state before each carved sector
};

}  // namespace

}  // namespace bifrag_detail

using namespace bifrag_detail;

namespace {

// The search a type gets: JPEG's own, or that of the checker it shares.
enum SEARCH_KIND { SEARCH_NONE, SEARCH_JPEG, SEARCH_PNG, SEARCH_ZIP };

SEARCH_KIND KindOf(int nType) {
  if (nType == TYPE_JPG) return SEARCH_JPEG;
  const CARVE_FORMAT* f = CFileTypeJudge::CheckerOfType(nType);
  if (!f) return SEARCH_NONE;
  if (f->pChecker == carvefmt::CheckPng) return SEARCH_PNG;
  if (f->pChecker == carvefmt::CheckZip) return SEARCH_ZIP;
  return SEARCH_NONE;
}

}  // namespace

bool CBifragment::Supports(int nType) { return KindOf(nType) != SEARCH_NONE; }

bool CBifragment::Reassemble(CDiskReader* pReader, int nBytesPerSector, u64 u64StartSector, u64 u64CarvedSize,
                             int nType, bool bOnlyOnVisibleBreak, const std::vector<BIFRAG_RANGE>& claimed,
                             const BIFRAG_LIMITS& limits, BIFRAG_PIECES& out) {
  out = BIFRAG_PIECES();
  if (!pReader || !Supports(nType) || !CARVE_CONTEXT::IsUsableSectorSize(nBytesPerSector) || u64CarvedSize == 0)
    return false;
  switch (KindOf(nType)) {
    case SEARCH_JPEG: {
      if (u64CarvedSize > kMaxJpegBytes) u64CarvedSize = kMaxJpegBytes;
      CJpegSearch search(pReader, nBytesPerSector, u64StartSector, nType, claimed, limits);
      return search.Run(u64CarvedSize, bOnlyOnVisibleBreak, out);
    }
    case SEARCH_PNG:
      return SearchPng(pReader, nBytesPerSector, u64StartSector, u64CarvedSize, nType, claimed, limits, out);
    case SEARCH_ZIP:
      return SearchZip(pReader, nBytesPerSector, u64StartSector, u64CarvedSize, nType, claimed, limits, out);
    case SEARCH_NONE:
      break;
  }
  return false;
}

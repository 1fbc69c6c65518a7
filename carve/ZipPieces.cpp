// Two-piece search of carved ZIP archives (and the packages carved as ZIP:
// Office Open XML, OpenDocument, EPUB, Java and Android archives). An
// archive is a run of records: each entry's local header and data (with its
// data descriptor), the central directory's headers, the end record. The
// first piece's own bytes stop at the first record whose data fails its
// CRC-32 or whose next record is not where it ends; the continuation is the
// sector after a gap of whole clusters from which that record checks and
// the rest of the archive follows: entries with their CRCs, central headers
// naming local headers where the reassembled file has them, and an end
// record that finds the central directory where it lies.
#include <algorithm>
#include <cstring>

#include "carve/TwoPieces.h"
#include "carve/formats/FormatKit.h"
#include "carve/formats/Formats.h"

namespace bifrag_detail {

namespace {

using carve_detail::FileView;

using carvefmt::kZipCentralSig;
using carvefmt::kZipEndSig;
using carvefmt::kZipLocalSig;
constexpr u32 kDescSig = 0x08074B50u;
// The ZIP length rule's own maximum.
constexpr u64 kMaxZipBytes = 4ull << 30;
// Ends of the first piece tried inside the failing record (one per step).
constexpr int kMaxZipEnds = 4096;
// Bytes of the failing record's fixed header kept from the first piece.
constexpr size_t kHeadKeep = 46;
// Records walked in one archive at most.
constexpr u32 kMaxRecords = 1u << 20;

enum REC_KIND { REC_LOCAL, REC_CENTRAL, REC_END };

// One record's fixed fields, its kind and place.
struct ZIP_REC : carvefmt::ZIP_HEADER {
  REC_KIND nKind = REC_LOCAL;
  u64 u64At = 0;
};

// What the records before the one walked next established.
struct ZIP_STATE {
  std::vector<u64> locals;  // offsets of the local headers walked, ascending
  bool bInCd = false;
  u64 u64CdStart = 0;
  u32 nCdCount = 0;
};

// Reads the record header at pos through read(off, out, n). False when none
// starts there; bUnsupported for ZIP64 fields or a streamed entry whose
// sizes only its data descriptor gives (its end is unknown without inflating).
template <typename READ>
bool ParseRecord(READ&& read, u64 pos, ZIP_REC& r, bool& bUnsupported) {
  u8 h[46];
  if (!read(pos, h, 4)) return false;
  const size_t n = carvefmt::ZipHeaderSize(GetU32LE(h, 4, 0));
  if (n == 0 || !read(pos, h, n)) return false;
  static_cast<carvefmt::ZIP_HEADER&>(r) = carvefmt::DecodeZipHeader(h, pos);
  r.u64At = pos;
  r.nKind = r.nSig == kZipLocalSig ? REC_LOCAL : r.nSig == kZipCentralSig ? REC_CENTRAL : REC_END;
  if (r.nKind == REC_LOCAL) {
    if (r.nCsize == 0xFFFFFFFFu || r.nUsize == 0xFFFFFFFFu) {
      bUnsupported = true;
      return false;
    }
    if (r.nFlags & 8) {
      // 0x08: the CRC and sizes follow the data, after an optional signature.
      if (r.nCsize == 0 && r.nMethod != 0) {
        bUnsupported = true;
        return false;
      }
      u8 d[16];
      if (!read(r.u64End, d, 16)) return false;
      const bool signed_ = GetU32LE(d, 16, 0) == kDescSig;
      r.nCrc = GetU32LE(d, 16, signed_ ? 4 : 0);
      r.u64End += signed_ ? 16 : 12;
    }
  } else if (r.nKind == REC_END && (r.nEntries == 0xFFFF || r.nCdSize == 0xFFFFFFFFu || r.nCdOff == 0xFFFFFFFFu)) {
    bUnsupported = true;
    return false;
  }
  return true;
}

// Whether a record of kind `next` may follow one of kind `kind`.
bool MayFollow(REC_KIND kind, u32 nextSig) {
  if (kind == REC_LOCAL) return nextSig == kZipLocalSig || nextSig == kZipCentralSig;
  if (kind == REC_CENTRAL) return nextSig == kZipCentralSig || nextSig == kZipEndSig;
  return false;
}

// Where one walk got to.
struct ZIP_WALK {
  bool bDone = false;        // the end record checked
  bool bUnsupported = false;
  u64 u64FailAt = 0;         // the record that failed: its own check or its successor's place
  u64 u64FailEnd = 0;        // its end as its header has it (0: no header there)
  u64 u64GoodEnd = 0;        // the end of the last record that checked
};

// A record's own check against what came before it.
bool CheckRecord(FileView& v, const ZIP_REC& r, const ZIP_STATE& st, u64& budget) {
  if (r.nKind == REC_LOCAL) {
    if (st.bInCd || r.u64End > v.Size()) return false;
    if (r.nFlags & 1) return true;  // encrypted: its CRC cannot be reached
    return carvefmt::CheckZipEntryData(v, r.u64Data, r.nMethod, r.nCsize, r.nUsize, r.nCrc, budget) !=
           carvefmt::ENTRY_BAD;
  }
  if (r.nKind == REC_CENTRAL) {
    // It names a local header the walk met, under the same name.
    if (!std::binary_search(st.locals.begin(), st.locals.end(), static_cast<u64>(r.nLocal))) return false;
    u8 l[30];
    if (!v.Read(r.nLocal, l, 30) || GetU16LE(l, 30, 26) != r.nNameLen) return false;
    u8 a[256], b[256];
    for (u32 done = 0; done < r.nNameLen;) {
      const u32 n = std::min<u32>(r.nNameLen - done, sizeof(a));
      if (!v.Read(r.u64Name + done, a, n) || !v.Read(r.nLocal + 30ull + done, b, n) || std::memcmp(a, b, n) != 0)
        return false;
      done += n;
    }
    return true;
  }
  // The end record finds the central directory where the walk met it.
  return st.bInCd && r.nCdOff == st.u64CdStart && static_cast<u64>(r.nCdOff) + r.nCdSize == r.u64At &&
         r.nEntries == st.nCdCount;
}

void Apply(const ZIP_REC& r, ZIP_STATE& st) {
  if (r.nKind == REC_LOCAL) {
    st.locals.push_back(r.u64At);
  } else if (r.nKind == REC_CENTRAL) {
    if (!st.bInCd) st.u64CdStart = r.u64At;
    st.bInCd = true;
    ++st.nCdCount;
  }
}

// Walks records from pos, st holding what those before it established (on
// a failure, still only those before the failing record).
void WalkRecords(FileView& v, u64 pos, ZIP_STATE& st, u64& budget, ZIP_WALK& w) {
  auto read = [&v](u64 off, u8* out, size_t n) { return v.Read(off, out, n); };
  w.u64GoodEnd = pos;
  for (u32 k = 0; k < kMaxRecords; ++k) {
    ZIP_REC r;
    w.u64FailAt = pos;
    w.u64FailEnd = 0;
    if (!ParseRecord(read, pos, r, w.bUnsupported)) return;
    w.u64FailEnd = r.u64End;
    if (r.u64End <= pos || !CheckRecord(v, r, st, budget)) return;
    if (r.nKind == REC_END) {
      w.bDone = true;
      w.u64GoodEnd = r.u64End;
      return;
    }
    u8 sig[4];
    if (!v.Read(r.u64End, sig, 4) || !MayFollow(r.nKind, GetU32LE(sig, 4, 0))) return;
    Apply(r, st);
    w.u64GoodEnd = pos = r.u64End;
  }
}

class CZipSearch : public CPieceSearch {
 public:
  CZipSearch(CDiskReader* pReader, int ss, u64 start, int type, const std::vector<BIFRAG_RANGE>& claimed,
             const BIFRAG_LIMITS& limits)
      : CPieceSearch(pReader, ss, start, type, claimed, limits), m_far(pReader, ss) {}

  bool Run(u64 carved, BIFRAG_PIECES& out) {
    if (carved > kMaxZipBytes) carved = kMaxZipBytes;
    CARVE_CONTEXT one = CFileTypeJudge::MakeContext(m_pReader, static_cast<int>(m_ss), m_start);
    ZIP_WALK w;
    {
      FileView v(one, carved);
      const u64 given = Budget();
      u64 budget = given;
      WalkRecords(v, 0, m_failState, budget, w);
      Spent(given, budget);
    }
    if (w.bDone || w.bUnsupported) return false;
    m_failAt = w.u64FailAt;
    if (!m_src.Bytes(m_start * m_ss + m_failAt, m_failHead, kHeadKeep)) return false;
    // Ends of the first piece: inside the failing record or right after it
    // (the record whole, the next one missing); inside its fixed header when
    // no record header stands there.
    const u64 limit = w.u64FailEnd > m_failAt ? w.u64FailEnd : m_failAt + kHeadKeep;
    const u64 step = Step();
    u64 c = (m_failAt + step - 1) / step * step;
    if (c == 0) c = step;
    for (int tries = 0; tries < kMaxZipEnds && c <= limit && c - m_failAt < kMaxZipBytes; ++tries, c += step) {
      // Continuations compete only with those of the same first piece.
      if (TrySecondPieces(c) < 0 || m_full.u64Size) break;
    }
    return Decide(out);
  }

 private:
  u64 Budget() const { return m_walked < kMaxWalkBytes ? kMaxWalkBytes - m_walked : 0; }
  void Spent(u64 given, u64 left) { m_walked += given - left; }

  u64 WholeFileSectors(u64 sector, const u8* head, u64 n) override {
    if (n < 4 || GetU32LE(head, 4, 0) != kZipLocalSig) return 0;
    if (std::find(m_notWhole.begin(), m_notWhole.end(), sector) != m_notWhole.end()) return 0;
    CARVE_CONTEXT ctx = CFileTypeJudge::MakeContext(m_pReader, static_cast<int>(m_ss), sector);
    FileView v(ctx, kMaxZipBytes);
    ZIP_STATE st;
    ZIP_WALK w;
    const u64 given = Budget();
    u64 budget = given;
    WalkRecords(v, 0, st, budget, w);
    Spent(given, budget);
    if (!w.bDone) {
      m_notWhole.push_back(sector);
      return 0;
    }
    return (w.u64GoodEnd + m_ss - 1) / m_ss;
  }

  PAIR_OUTCOME TryPair(u64 firstBytes, u64 sector, u64& end) override {
    // The failing record's header across the seam and the signature of the
    // record after it, from the few bytes they take, before any data is
    // checked.
    auto read = [&](u64 off, u8* out, size_t n) {
      for (size_t i = 0; i < n; ++i, ++off) {
        if (off < firstBytes) {
          if (off < m_failAt || off - m_failAt >= kHeadKeep) {
            if (!m_src.Bytes(m_start * m_ss + off, out + i, 1)) return false;
          } else {
            out[i] = m_failHead[off - m_failAt];
          }
        } else if (!(off - firstBytes < 4096 ? m_src : m_far).Bytes(sector * m_ss + (off - firstBytes), out + i, 1)) {
          return false;
        }
      }
      return true;
    };
    ZIP_REC r;
    bool unsupported = false;
    if (!ParseRecord(read, m_failAt, r, unsupported) || r.u64End < firstBytes) return PAIR_NONE;
    if (r.nKind != REC_END) {
      u8 sig[4];
      if (!read(r.u64End, sig, 4) || !MayFollow(r.nKind, GetU32LE(sig, 4, 0))) return PAIR_NONE;
    } else if (r.nCdOff != m_failState.u64CdStart || static_cast<u64>(r.nCdOff) + r.nCdSize != r.u64At) {
      return PAIR_NONE;
    }
    CARVE_CONTEXT ctx = PiecesContext(firstBytes, sector);
    FileView v(ctx, kMaxZipBytes);
    ZIP_STATE st = m_failState;
    ZIP_WALK w;
    const u64 given = Budget();
    u64 budget = given;
    WalkRecords(v, m_failAt, st, budget, w);
    Spent(given, budget);
    if (w.bDone) {
      ++m_decodes;
      end = w.u64GoodEnd;
      return PAIR_FULL;
    }
    if (w.u64GoodEnd < firstBytes + kMinPartialSpan) return PAIR_NONE;
    ++m_decodes;
    end = w.u64GoodEnd;
    return PAIR_PARTIAL;
  }

  CSectorSource m_far;  // reads a record's length further on
  u64 m_failAt = 0;
  u8 m_failHead[kHeadKeep] = {};
  ZIP_STATE m_failState;        // what the records before the failing one established
  std::vector<u64> m_notWhole;  // gap sectors whose local header starts no whole archive
};

}  // namespace

bool SearchZip(CDiskReader* pReader, int ss, u64 start, u64 carved, int type, const std::vector<BIFRAG_RANGE>& claimed,
               const BIFRAG_LIMITS& limits, BIFRAG_PIECES& out) {
  CZipSearch search(pReader, ss, start, type, claimed, limits);
  return search.Run(carved, out);
}

}  // namespace bifrag_detail

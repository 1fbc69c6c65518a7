// Two-piece search of carved PNGs. Every chunk carries the CRC-32 of its
// type and data, so the chain itself says where the file's own bytes stop:
// at the first chunk whose header or CRC fails. The first piece ends at a
// cluster boundary inside that chunk; the continuation is the sector after a
// gap of whole clusters where the chunk across the seam passes its CRC and
// the chain goes on, every CRC good, to IEND.
#include <zlib.h>

#include <cstring>

#include "carve/TwoPieces.h"
#include "carve/formats/FormatKit.h"

namespace bifrag_detail {

namespace {

using carve_detail::FileView;

const u8 kPngSig[8] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
// The PNG length rule's own maximum.
constexpr u64 kMaxPngBytes = 128ull * 1024 * 1024;
// Ends of the first piece tried inside the failing chunk (one per step).
constexpr int kMaxPngEnds = 4096;

// Chunk types are four ASCII letters.
bool ChunkType(const u8* t) {
  for (int i = 0; i < 4; ++i)
    if (!((t[i] >= 'A' && t[i] <= 'Z') || (t[i] >= 'a' && t[i] <= 'z'))) return false;
  return true;
}

// A chunk header (length, type) that can be one.
bool ChunkHeader(const u8* h, u32& len) {
  len = GetU32BE(h, 8, 0);
  return len <= 0x7FFFFFFFu && ChunkType(h + 4);
}

// Walks chunks from pos, each with its CRC, to IEND. True when IEND is
// reached; goodEnd: the end of the last chunk that checked.
bool WalkChunks(FileView& v, u64 pos, u64& goodEnd, u64& crcBytes) {
  goodEnd = pos;
  for (u32 k = 0; k < (1u << 24); ++k) {
    u8 h[8];
    u32 len = 0;
    if (!v.Read(pos, h, 8) || !ChunkHeader(h, len)) return false;
    const u64 next = pos + 12 + len;
    if (next > v.Size()) return false;
    u32 stored = 0, crc = 0;
    crcBytes += 4ull + len;
    if (!v.U32BE(pos + 8 + len, stored) || !v.Crc(pos + 4, 4ull + len, crc) || crc != stored) return false;
    goodEnd = next;
    if (std::memcmp(h + 4, "IEND", 4) == 0) return true;
    pos = next;
  }
  return false;
}

// Whether the IDAT chunks before `end`, read in order, hold one zlib stream
// that ends (its Adler-32 checked) with the last of them. Chunk CRCs alone
// cannot tell a join at a chunk boundary of two pictures from one picture;
// the picture's one compressed stream can.
bool IdatInflates(FileView& v, u64 end, u64& crcBytes) {
  z_stream z{};
  if (inflateInit(&z) != Z_OK) return false;
  u8 out[16384];
  bool ended = false, ok = true;
  u64 pos = 8;
  while (ok && pos + 12 <= end) {
    u8 h[8];
    u32 len = 0;
    if (!v.Read(pos, h, 8) || !ChunkHeader(h, len)) break;
    if (std::memcmp(h + 4, "IDAT", 4) == 0) {
      if (ended && len) ok = false;  // data after the stream's end
      u64 at = pos + 8, left = len;
      while (ok && left && !ended) {
        size_t n = 0;
        const u8* p = v.Span(at, n);
        if (!p) {
          ok = false;
          break;
        }
        if (n > left) n = static_cast<size_t>(left);
        z.next_in = const_cast<Bytef*>(p);
        z.avail_in = static_cast<uInt>(n);
        while (z.avail_in && ok && !ended) {
          z.next_out = out;
          z.avail_out = sizeof(out);
          const int rc = inflate(&z, Z_NO_FLUSH);
          crcBytes += sizeof(out) - z.avail_out;
          if (rc == Z_STREAM_END) ended = true;
          else if (rc != Z_OK) ok = false;
        }
        if (ended && z.avail_in) ok = false;  // the stream ended inside the data
        at += n;
        left -= n;
      }
    }
    pos += 12ull + len;
  }
  inflateEnd(&z);
  return ok && ended;
}

class CPngSearch : public CPieceSearch {
 public:
  CPngSearch(CDiskReader* pReader, int ss, u64 start, int type, const std::vector<BIFRAG_RANGE>& claimed,
             const BIFRAG_LIMITS& limits)
      : CPieceSearch(pReader, ss, start, type, claimed, limits), m_far(pReader, ss) {}

  bool Run(u64 carved, BIFRAG_PIECES& out) {
    if (carved > kMaxPngBytes) carved = kMaxPngBytes;
    CARVE_CONTEXT one = CFileTypeJudge::MakeContext(m_pReader, static_cast<int>(m_ss), m_start);
    u64 last = 0;  // the first chunk that fails: where the first piece's own bytes stop
    {
      FileView v(one, carved);
      u8 sig[8];
      if (!v.Read(0, sig, 8) || std::memcmp(sig, kPngSig, 8) != 0) return false;
      u64 crcBytes = 0;
      if (WalkChunks(v, 8, last, crcBytes)) return false;  // the chain holds: nothing to look for
    }
    m_failAt = last;
    // The failing chunk's header as the carved bytes have it; ends of the
    // first piece lie inside the chunk, or inside the header when that is
    // not a chunk header at all (the cut came right before it).
    if (!m_src.Bytes(m_start * m_ss + m_failAt, m_failHead, 8)) return false;
    u32 len = 0;
    const u64 limit = ChunkHeader(m_failHead, len) ? m_failAt + 12 + len : m_failAt + 8;
    const u64 step = Step();
    u64 c = (m_failAt + step - 1) / step * step;
    if (c == 0) c = step;
    // Ascending: a header that foreign bytes made look valid declares a
    // length of their own, and the true end is then the first one tried.
    for (int tries = 0; tries < kMaxPngEnds && c < limit && c - m_failAt < kMaxPngBytes; ++tries, c += step) {
      // Continuations compete only with those of the same first piece.
      if (TrySecondPieces(c) < 0 || m_full.u64Size) break;
    }
    return Decide(out);
  }

 private:
  u64 WholeFileSectors(u64 sector, const u8* head, u64 n) override {
    if (n < 8 || std::memcmp(head, kPngSig, 8) != 0) return 0;
    CARVE_CONTEXT ctx = CFileTypeJudge::MakeContext(m_pReader, static_cast<int>(m_ss), sector);
    FileView v(ctx, kMaxPngBytes);
    u64 end = 0;
    const bool whole = WalkChunks(v, 8, end, m_walked);
    return whole ? (end + m_ss - 1) / m_ss : 0;
  }

  PAIR_OUTCOME TryPair(u64 firstBytes, u64 sector, u64& end) override {
    // The failing chunk's header across the seam, then the next chunk's
    // header where its length puts it: both must be chunk headers before
    // any CRC is worked out.
    u8 h[8];
    for (u64 i = 0; i < 8; ++i) {
      const u64 off = m_failAt + i;
      if (off < firstBytes) h[i] = m_failHead[i];
      else if (!m_src.Bytes(sector * m_ss + (off - firstBytes), h + i, 1)) return PAIR_NONE;
    }
    u32 len = 0;
    if (!ChunkHeader(h, len)) return PAIR_NONE;
    const u64 next = m_failAt + 12 + len;
    if (next <= firstBytes) return PAIR_NONE;
    u8 n[8];
    u32 nlen = 0;
    if (std::memcmp(h + 4, "IEND", 4) != 0 &&
        (!m_far.Bytes(sector * m_ss + (next - firstBytes), n, 8) || !ChunkHeader(n, nlen)))
      return PAIR_NONE;
    CARVE_CONTEXT ctx = PiecesContext(firstBytes, sector);
    FileView v(ctx, kMaxPngBytes);
    u64 good = 0;
    const bool whole = WalkChunks(v, m_failAt, good, m_walked);
    if (whole) {
      ++m_decodes;
      end = good;
      return IdatInflates(v, good, m_walked) ? PAIR_FULL : PAIR_UNSURE;
    }
    if (good < firstBytes + kMinPartialSpan) return PAIR_NONE;
    ++m_decodes;
    end = good;
    return PAIR_PARTIAL;
  }

  CSectorSource m_far;  // reads of the next chunk's header, a chunk's length further on
  u64 m_failAt = 0;
  u8 m_failHead[8] = {};
};

}  // namespace

bool SearchPng(CDiskReader* pReader, int ss, u64 start, u64 carved, int type, const std::vector<BIFRAG_RANGE>& claimed,
               const BIFRAG_LIMITS& limits, BIFRAG_PIECES& out) {
  CPngSearch search(pReader, ss, start, type, claimed, limits);
  return search.Run(carved, out);
}

}  // namespace bifrag_detail

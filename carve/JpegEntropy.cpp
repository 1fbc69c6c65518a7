// The walk reads the file through a FileView (one or two pieces), parses the
// segments up to the first scan, then decodes every MCU's Huffman codes
// without the inverse transform: some 200 MB a second, two and a half to
// three times the decoder's pace at an eighth of the size.
#include "carve/JpegEntropy.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "carve/formats/FormatKit.h"

using carve_detail::FileView;

namespace {

// Segments passed over after the scan before the EOI.
constexpr int kMaxTrailingSegments = 16;
// The largest width or height the decoder takes.
constexpr u32 kMaxDimension = 65500;
// Code bits one table look-up resolves; longer codes take the slow path.
constexpr int kLookBits = 10;
// Bits the quick path may take for one coefficient: a code the table
// resolves and up to 11 extra bits.
constexpr int kQuickBits = kLookBits + 11;

// A look-up entry, indexed by the next kLookBits bits: the symbol and its
// code's length (0: no code that short starts there), and, when the code
// can take the quick path in CWalker::Block, what the symbol does. The
// bits to take come lowest, ready to shift by.
enum : u32 {
  LOOK_TOTAL_MASK = 31,   // code length plus the extra bits that follow it
  LOOK_LEN_SHIFT = 5,     // code length, 5 bits
  LOOK_ADV_SHIFT = 10,    // AC: positions the symbol moves on (run + 1, or 16 for ZRL), 5 bits
  LOOK_EOB = 1u << 15,    // AC: the block ends
  LOOK_ZRL = 1u << 16,    // AC: sixteen zeros, a coefficient must follow
  LOOK_QUICK = 1u << 17,  // DC size <= 11, AC size <= 10: no check on the symbol left
  LOOK_SYM_SHIFT = 24,
};
inline int LookTotal(u32 e) { return static_cast<int>(e & LOOK_TOTAL_MASK); }
inline int LookLen(u32 e) { return static_cast<int>((e >> LOOK_LEN_SHIFT) & 31); }
inline int LookAdv(u32 e) { return static_cast<int>((e >> LOOK_ADV_SHIFT) & 31); }
inline int LookSym(u32 e) { return static_cast<int>(e >> LOOK_SYM_SHIFT); }

// AC codes are mostly short: one look-up at the next kGroupBits bits takes
// every whole quick symbol (code and extra bits) they hold, stopping after
// an EOB. A group entry: the bits it takes (lowest, a shift count as it
// stands), the positions it moves on, whether it ends the block. A group is
// taken only where it leaves the block at position 63 or before (an EOB or
// a ZRL needs room after it; a block that ends on its last coefficient goes
// symbol by symbol). An entry with no symbol moves on 63: never taken.
constexpr int kGroupBits = 12;
enum : u16 {
  GROUP_BITS_MASK = 63,
  GROUP_ADV_SHIFT = 6,  // 6 bits
  GROUP_EOB = 1u << 12,
};
constexpr int kGroupMaxAdv = 62;  // a block's first group starts at position 1

// n entries of e from p (n a power of two). A scan of a million small
// pictures builds four tables for each: wide stores, not one at a time.
inline void FillEntries(u32* p, int n, u32 e) {
#if defined(__SSE2__)
  if (n >= 4) {
    const __m128i v = _mm_set1_epi32(static_cast<int>(e));
    for (int j = 0; j < n; j += 4) _mm_storeu_si128(reinterpret_cast<__m128i*>(p + j), v);
    return;
  }
#endif
  for (int j = 0; j < n; ++j) p[j] = e;
}

struct HuffTable {
  bool bDefined = false;
  u8 maxSym = 0;
  i32 maxcode[17];  // largest code of each length (-1: none of that length)
  i32 valoff[17];   // index in vals of a length's first code, less that code
  u8 counts[16];    // the definition, as the picture gives it
  int total = 0;
  u8 vals[256];
  u32 look[1 << kLookBits];
  const u16* groups = nullptr;  // AC tables a scan uses: their groups (GroupsFor)
  u16 ownGroups[1 << kGroupBits];

  // tc: 0 DC, 1 AC. False for a table the decoder refuses: more codes than
  // a length holds, or a code of all ones.
  bool Build(int tc, const u8* counts, const u8* syms, int total) {
    std::memcpy(this->counts, counts, 16);
    this->total = total;
    std::memcpy(vals, syms, static_cast<size_t>(total));
    maxSym = 0;
    int code = 0, k = 0;
    for (int l = 1; l <= 16; ++l) {
      const int c = counts[l - 1];
      maxcode[l] = -1;
      valoff[l] = 0;
      if (c) {
        if (code + c >= (1 << l)) return false;
        valoff[l] = k - code;
        for (int i = 0; i < c; ++i, ++code, ++k) {
          maxSym = std::max(maxSym, vals[k]);
          if (l > kLookBits) continue;
          const u32 e = LookEntry(tc, l, vals[k]);
          const int shift = kLookBits - l;
          FillEntries(look + (code << shift), 1 << shift, e);
        }
        maxcode[l] = code - 1;
      }
      // Codes are given in order: past the last short one, no entry is filled.
      if (l == kLookBits) std::fill(look + code, look + (1 << kLookBits), 0u);
      code <<= 1;
    }
    bDefined = true;
    groups = nullptr;
    return true;
  }

  static u32 LookEntry(int tc, int len, u8 sym) {
    u32 e = static_cast<u32>(sym) << LOOK_SYM_SHIFT | static_cast<u32>(len) << LOOK_LEN_SHIFT;
    if (tc == 0) {
      if (sym <= 11) e |= LOOK_QUICK | static_cast<u32>(len + sym);
      return e;
    }
    const int r = sym >> 4, sz = sym & 15;
    if (sz > 10) return e;
    e |= LOOK_QUICK | static_cast<u32>(len + sz);
    if (sz) return e | static_cast<u32>(r + 1) << LOOK_ADV_SHIFT;
    if (r == 15) return e | LOOK_ZRL | 16u << LOOK_ADV_SHIFT;
    return e | LOOK_EOB;  // the decoder ends the block on any other zero size too
  }

  // Group by group length: the group L bits hold on their own is their
  // first symbol and the group of the bits after it, so each entry takes
  // one look-up (sub[(1 << L) + bits]; 0: none).
  void BuildGroups(u16* group) const {
    u16 sub[2 << kGroupBits];
    sub[1] = 0;
    for (int L = 1; L <= kGroupBits; ++L) {
      for (u32 v = 0; v < (1u << L); ++v) {
        const u32 e = look[L >= kLookBits ? v >> (L - kLookBits) : v << (kLookBits - L)];
        u16 g = 0;
        const int t = LookTotal(e);
        if ((e & LOOK_QUICK) && t <= L) {
          if (e & LOOK_EOB) {
            g = static_cast<u16>(t | GROUP_EOB);
          } else {
            const int a = LookAdv(e), rest = L - t;
            const u16 r = sub[(1u << rest) + (v & ((1u << rest) - 1))];
            const int ra = r >> GROUP_ADV_SHIFT & 63;
            g = a + ra <= kGroupMaxAdv ? static_cast<u16>((t + (r & GROUP_BITS_MASK)) | (a + ra) << GROUP_ADV_SHIFT |
                                                          (r & GROUP_EOB))
                                       : static_cast<u16>(t | a << GROUP_ADV_SHIFT);
          }
        }
        sub[(1u << L) + v] = g;
      }
    }
    for (u32 v = 0; v < (1u << kGroupBits); ++v) {
      const u16 g = sub[(1u << kGroupBits) + v];
      group[v] = g ? g : static_cast<u16>(63 << GROUP_ADV_SHIFT);
    }
  }
};

// Group tables outlive a walk: most pictures carry the same few AC tables
// (an encoder's defaults), and for a small picture building the groups
// costs as much as walking it. One small cache per thread that walks.
struct GROUP_CACHE {
  struct SLOT {
    int total = -1;
    u8 counts[16];
    u8 vals[256];
    u16 group[1 << kGroupBits];
  };
  SLOT slot[4];  // no walk uses more than four AC tables
  unsigned next = 0;
};
GROUP_CACHE* ThreadGroupCache() {
  thread_local std::unique_ptr<GROUP_CACHE> cache(new (std::nothrow) GROUP_CACHE);
  return cache.get();
}

struct Component {
  u8 id = 0, h = 1, v = 1, tq = 0, td = 0, ta = 0;
  int gridW = 0, gridH = 0;  // blocks across and down in the scan
  int maxDc = 0;             // largest quantized DC the range check lets by
  std::vector<int16_t> dc;   // with a seam: each block's quantized DC (0 until decoded); within +-1026 by the range check
};

inline u64 LoadBE64(const u8* p) {
  u64 v;
  std::memcpy(&v, p, 8);
  return __builtin_bswap64(v);
}

// Whether any of a word's eight bytes is FF.
inline bool HasFF(u64 w) {
  const u64 y = ~w;
  return ((y - 0x0101010101010101ull) & ~y & 0x8080808080808080ull) != 0;
}

// The bit buffer as the quick path keeps it, in registers: the bits wait at
// the top of acc; below them may stand the bits of the bytes that follow
// (never an FF's), the same bits the next refill puts there. cur: the next
// byte to take, in the view's window; below lim eight bytes can be loaded.
struct QUICK_BITS {
  u64 acc;
  int held;
  const u8* cur;
  const u8* lim;

  // Tops the buffer up to 56 bits or more from the next eight bytes when
  // none of them is an FF; false when that cannot be done here.
  bool Refill() {
    if (cur >= lim) return false;
    const u64 w = LoadBE64(cur);
    if (HasFF(w)) return false;
    acc |= w >> held;
    cur += (63 - held) >> 3;
    held |= 56;
    return true;
  }
  u32 Peek(int n) const { return static_cast<u32>(acc >> (64 - n)); }
  void Skip(int n) {
    acc <<= n;
    held -= n;
  }
};

// The entropy-coded data as bits: stuffed FF 00 read as FF, stopping at
// the first marker (fill bytes FF before it skipped).
class BitReader {
 public:
  BitReader(FileView& view, u64 pos) : m_view(view), m_pos(pos) {}

  int ByteAt(u64 off) {
    if (m_p && off >= m_base && off - m_base < m_n) return m_p[off - m_base];
    m_p = m_view.Span(off, m_n);
    m_base = off;
    return m_p ? m_p[0] : -1;
  }

  // Tops the buffer up to more than 48 bits, byte by byte, unless a marker
  // or the end comes first.
  __attribute__((noinline)) void Fill() {
    while (m_nBits <= 48 && !m_bAtMarker && FillByte()) {
    }
  }

  // The quick path's buffer, and back.
  QUICK_BITS Quick() const {
    QUICK_BITS q{m_acc, m_nBits, nullptr, nullptr};
    if (m_p && m_pos >= m_base && m_pos - m_base <= m_n) {
      q.cur = m_p + (m_pos - m_base);
      q.lim = m_n >= 8 ? m_p + (m_n - 7) : q.cur;
    }
    return q;
  }
  void Put(const QUICK_BITS& q) {
    m_acc = q.acc;
    m_nBits = q.held;
    if (q.cur) m_pos = m_base + static_cast<u64>(q.cur - m_p);
  }
  // A refill that the quick buffer could not make.
  void Refill(QUICK_BITS& q) {
    Put(q);
    Fill();
    q = Quick();
  }

  // A symbol: 0..255, -1 no such code, -2 the data ran out.
  int Decode(const HuffTable& t) {
    if (m_nBits < 16) Fill();
    const u32 peek = static_cast<u32>(m_acc >> 48);
    const u32 look = t.look[peek >> (16 - kLookBits)];
    if (const int len = LookLen(look)) {
      if (len > m_nBits) return -2;
      Skip(len);
      return LookSym(look);
    }
    for (int l = kLookBits + 1; l <= 16; ++l) {
      const i32 code = static_cast<i32>(peek >> (16 - l));
      if (code <= t.maxcode[l]) {
        if (l > m_nBits) return -2;
        Skip(l);
        return t.vals[t.valoff[l] + code];
      }
    }
    return m_nBits < 16 ? -2 : -1;
  }

  // s raw bits (1 <= s <= 16); false when the data ran out.
  bool Bits(int s, u32& v) {
    if (m_nBits < s) Fill();
    if (m_nBits < s) return false;
    v = static_cast<u32>(m_acc >> (64 - s));
    Skip(s);
    return true;
  }

  // The bits left in the current byte are ones and nothing but the next
  // marker follows them.
  bool PaddingThenMarker() {
    const int r = m_nBits % 8;
    if (r) {
      if (static_cast<u32>(m_acc >> (64 - r)) != (1u << r) - 1) return false;
      Skip(r);
    }
    if (m_nBits == 0 && !m_bAtMarker) Fill();
    return m_nBits == 0 && m_bAtMarker;
  }

  // Past the marker the reader stopped at; the bits start afresh after it.
  void SkipMarker() {
    m_pos = m_markerCodeAt + 1;
    m_bAtMarker = false;
    m_nBits = 0;
    m_acc = 0;
  }

  // File offset of the byte holding the next bit: back from where the
  // reader stands over the bytes it holds, a stuffed FF 00 two bytes.
  u64 BitPos() const {
    u64 p = m_bAtMarker ? m_markerAt : m_pos;
    u32 j = m_nStuffed;
    for (int back = (m_nBits + 7) / 8; back > 0 && p > 0; --back) {
      const STUFFED& st = m_stuffed[(j - 1) & 7];
      if (j > 0 && m_nStuffed - j < 8 && st.end == p) {
        p = st.at;
        --j;
      } else {
        --p;
      }
    }
    return p;
  }
  bool AtMarker() const { return m_bAtMarker; }
  u8 Marker() const { return m_marker; }  // 0: the data's end
  u64 MarkerAt() const { return m_markerAt; }
  u64 MarkerCodeAt() const { return m_markerCodeAt; }

 private:
  void Skip(int n) {
    m_acc <<= n;
    m_nBits -= n;
  }
  // One byte the careful way; false when a marker or the end stopped it.
  bool FillByte() {
    const int b = ByteAt(m_pos);
    if (b < 0) {
      SetMarker(0, m_pos, m_pos);
      return false;
    }
    if (b != 0xFF) {
      Push(static_cast<u8>(b));
      ++m_pos;
      return true;
    }
    u64 q = m_pos + 1;
    int c = ByteAt(q);
    while (c == 0xFF && q - m_pos < 64) c = ByteAt(++q);
    if (c < 0) {
      SetMarker(0, m_pos, q);
      return false;
    }
    if (c != 0) {
      SetMarker(static_cast<u8>(c), m_pos, q);
      return false;
    }
    Push(0xFF);
    m_stuffed[m_nStuffed++ & 7] = STUFFED{m_pos, q + 1};
    m_pos = q + 1;
    return true;
  }
  // OR: the bits below the buffer's may already be this byte's.
  void Push(u8 b) {
    m_acc |= static_cast<u64>(b) << (56 - m_nBits);
    m_nBits += 8;
  }
  void SetMarker(u8 code, u64 at, u64 codeAt) {
    m_bAtMarker = true;
    m_marker = code;
    m_markerAt = at;
    m_markerCodeAt = codeAt;
  }

  FileView& m_view;
  const u8* m_p = nullptr;
  size_t m_n = 0;
  u64 m_base = 0;
  u64 m_pos;  // next byte to take into the bit buffer
  u64 m_acc = 0;
  int m_nBits = 0;  // never past 63, as the quick refill needs
  bool m_bAtMarker = false;
  u8 m_marker = 0;
  u64 m_markerAt = 0, m_markerCodeAt = 0;
  // The last stuffed FFs taken (the buffer holds at most eight bytes):
  // where each starts and where the byte after it is.
  struct STUFFED {
    u64 at, end;
  };
  STUFFED m_stuffed[8] = {};
  u32 m_nStuffed = 0;
};

class CWalker {
 public:
  CWalker(CARVE_CONTEXT& ctx, u64 size, u64 seam) : m_view(ctx, size), m_size(size), m_seam(seam) {}

  JPEG_WALK Run() {
    if (!ReadHeaders()) return m_out;
    Decode();
    SeamScore();  // a walk that fails later still tells how the seam looks
    return m_out;
  }

 private:
  // The blocks of one MCU in coding order: the component, its place in the
  // scan (for its DC predictor) and its place inside the MCU.
  struct MCU_BLOCK {
    Component* k;
    int c, x, y;
    const u32* dcLook = nullptr;  // the block's tables, looked up once
    const HuffTable* ac = nullptr;
    const u16* groups = nullptr;
  };

  void Fail(int outcome, u64 at) {
    m_out.nOutcome = outcome;
    m_out.u64BadAt = at;
  }

  // The segments from SOI to the first SOS; false (with the outcome) when
  // the walk cannot go on. Whatever the decoder refuses is refused here too,
  // so that a whole walk stands for a whole decode.
  bool ReadHeaders() {
    u8 b[2];
    if (!m_view.Read(0, b, 2) || b[0] != 0xFF || b[1] != 0xD8) return Fail(JPEG_WALK_BAD, 0), false;
    u64 off = 2;
    std::vector<u8> seg;
    bool sawFrame = false;
    for (;;) {
      u8 m = 0;
      if (!m_view.U8At(off, m)) return Fail(JPEG_WALK_SHORT, off), false;
      if (m != 0xFF) return Fail(JPEG_WALK_BAD, off), false;
      u8 code = 0xFF;
      u64 codeAt = off;
      while (code == 0xFF) {
        if (++codeAt - off > 64 || !m_view.U8At(codeAt, code)) return Fail(JPEG_WALK_BAD, off), false;
      }
      if (code == 0x01) {  // TEM: no length
        off = codeAt + 1;
        continue;
      }
      const bool frame = code >= 0xC0 && code <= 0xCF && code != 0xC4 && code != 0xC8 && code != 0xCC;
      if (frame && code != 0xC0 && code != 0xC1)
        return Fail(JPEG_WALK_UNSUPPORTED, off), false;  // progressive, lossless, arithmetic, hierarchical
      // Markers the decoder knows no segment for (reserved codes, JPG,
      // JPGn, DHP, EXP), and RSTn, SOI, EOI out of place.
      if (!frame && !IsTableOrMiscSegment(code) && code != 0xDA) return Fail(JPEG_WALK_BAD, off), false;
      u16 len = 0;
      if (!m_view.U16BE(codeAt + 1, len)) return Fail(JPEG_WALK_SHORT, off), false;
      if (len < 2) return Fail(JPEG_WALK_BAD, off), false;
      seg.resize(len - 2u);
      if (!seg.empty() && !m_view.Read(codeAt + 3, seg.data(), seg.size())) return Fail(JPEG_WALK_SHORT, off), false;
      const u64 next = codeAt + 1 + len;
      const u8* p = seg.data();
      const size_t n = seg.size();
      if (frame) {
        if (sawFrame) return Fail(JPEG_WALK_BAD, off), false;
        if (!ReadFrame(p, n)) return false;
        sawFrame = true;
      } else if (code == 0xDA) {
        if (!sawFrame) return Fail(JPEG_WALK_BAD, off), false;
        if (!ReadScan(p, n)) return false;
        m_out.u64ScanStart = next;
        return true;
      } else if (!ReadTableOrMisc(code, p, n, true)) {
        return Fail(JPEG_WALK_BAD, off), false;
      }
      off = next;
    }
  }

  // DHT, DAC, DQT, DNL, DRI, APPn, COM: segments that may stand before or
  // after the scan.
  static bool IsTableOrMiscSegment(u8 code) {
    return code == 0xC4 || code == 0xCC || (code >= 0xDB && code <= 0xDD) || (code >= 0xE0 && code <= 0xEF) ||
           code == 0xFE;
  }

  // One such segment's body; false when the decoder would refuse it. keep:
  // the tables are taken in (after the scan they are only checked).
  bool ReadTableOrMisc(u8 code, const u8* p, size_t n, bool keep) {
    if (code == 0xC4) return ReadHuffman(p, n, keep);
    if (code == 0xDB) return ReadQuant(p, n, keep);
    if (code == 0xDD) {
      if (n != 2) return false;
      if (keep) m_out.nRestartInterval = GetU16BE(p, n, 0);
      return true;
    }
    if (code == 0xCC) {  // arithmetic conditioning: pairs of table and value
      if (n % 2) return false;
      for (size_t i = 0; i < n; i += 2)
        if (p[i] >= 32 || (p[i] < 16 && (p[i + 1] & 15) > (p[i + 1] >> 4))) return false;
    }
    return true;
  }

  bool ReadHuffman(const u8* p, size_t n, bool keep) {
    size_t i = 0;
    while (i < n) {
      const u8 tcth = p[i];
      const int tc = tcth >> 4, th = tcth & 15;
      if (tc > 1 || th > 3 || n - i < 17) return false;
      int total = 0;
      for (int k = 0; k < 16; ++k) total += p[i + 1 + k];
      if (total > 256 || n - i - 17 < static_cast<size_t>(total)) return false;
      if (keep && !m_huff[tc][th].Build(tc, p + i + 1, p + i + 17, total)) return false;
      i += 17 + static_cast<size_t>(total);
    }
    return true;
  }

  bool ReadQuant(const u8* p, size_t n, bool keep) {
    size_t i = 0;
    while (i < n) {
      const int pq = p[i] >> 4, tq = p[i] & 15;
      const size_t bytes = pq ? 128 : 64;
      if (pq > 1 || tq > 3 || n - i - 1 < bytes) return false;
      // Entry 0 (zigzag order) quantizes the DC.
      const int q = pq ? GetU16BE(p, n, i + 1) : p[i + 1];
      if (keep) {
        m_qdc[tq] = q ? q : 1;
        m_qdef[tq] = true;
      }
      i += 1 + bytes;
    }
    return true;
  }

  bool ReadFrame(const u8* p, size_t n) {
    if (n < 6) return Fail(JPEG_WALK_BAD, 0), false;
    if (p[0] != 8) return Fail(JPEG_WALK_UNSUPPORTED, 0), false;  // 12-bit samples
    m_height = GetU16BE(p, n, 1);
    m_width = GetU16BE(p, n, 3);
    const int nf = p[5];
    if (m_height == 0) return Fail(JPEG_WALK_UNSUPPORTED, 0), false;  // height given after the scan (DNL)
    if (m_width == 0 || nf < 1 || nf > 4 || n != 6 + 3u * nf) return Fail(JPEG_WALK_BAD, 0), false;
    if (m_width > kMaxDimension || m_height > kMaxDimension) return Fail(JPEG_WALK_BAD, 0), false;
    if (static_cast<u64>(m_width) * m_height > kJpegWalkMaxPixels) return Fail(JPEG_WALK_UNSUPPORTED, 0), false;
    m_comps.resize(static_cast<size_t>(nf));
    for (int c = 0; c < nf; ++c) {
      Component& k = m_comps[static_cast<size_t>(c)];
      k.id = p[6 + 3 * c];
      k.h = p[7 + 3 * c] >> 4;
      k.v = p[7 + 3 * c] & 15;
      k.tq = p[8 + 3 * c];
      if (k.h < 1 || k.h > 4 || k.v < 1 || k.v > 4 || k.tq > 3) return Fail(JPEG_WALK_BAD, 0), false;
      for (int e = 0; e < c; ++e)
        if (m_comps[static_cast<size_t>(e)].id == k.id) return Fail(JPEG_WALK_BAD, 0), false;
      m_hmax = std::max(m_hmax, static_cast<int>(k.h));
      m_vmax = std::max(m_vmax, static_cast<int>(k.v));
    }
    // Sampling factors that do not divide the largest: the decoder cannot
    // scale such a picture.
    for (const Component& k : m_comps)
      if (m_hmax % k.h || m_vmax % k.v) return Fail(JPEG_WALK_UNSUPPORTED, 0), false;
    return true;
  }

  bool ReadScan(const u8* p, size_t n) {
    if (n < 1) return Fail(JPEG_WALK_BAD, 0), false;
    const size_t ns = p[0];
    if (ns < 1 || ns > 4 || n != 4 + 2 * ns) return Fail(JPEG_WALK_BAD, 0), false;
    // One scan with every component: the rest is not walked.
    if (ns != m_comps.size()) return Fail(JPEG_WALK_UNSUPPORTED, 0), false;
    for (size_t i = 0; i < ns; ++i) {
      Component* k = nullptr;
      for (Component& c : m_comps)
        if (c.id == p[1 + 2 * i]) k = &c;
      if (!k || std::find(m_order.begin(), m_order.end(), k) != m_order.end()) return Fail(JPEG_WALK_BAD, 0), false;
      k->td = p[2 + 2 * i] >> 4;
      k->ta = p[2 + 2 * i] & 15;
      if (k->td > 3 || k->ta > 3 || !m_qdef[k->tq]) return Fail(JPEG_WALK_BAD, 0), false;
      // Tables the picture does not hold (motion JPEG's defaults): not walked.
      if (!m_huff[0][k->td].bDefined || !m_huff[1][k->ta].bDefined) return Fail(JPEG_WALK_UNSUPPORTED, 0), false;
      // The decoder refuses a DC table with a symbol past 15 even if it is never used.
      if (m_huff[0][k->td].maxSym > 15) return Fail(JPEG_WALK_BAD, 0), false;
      if (!m_huff[1][k->ta].groups) m_huff[1][k->ta].groups = GroupsFor(m_huff[1][k->ta]);
      // A block's DC is eight times its mean sample less 128: within +-1024
      // once multiplied back by its quantizer (rounding allowed for).
      k->maxDc = (1024 + 2 * m_qdc[k->tq]) / m_qdc[k->tq];
      m_order.push_back(k);
    }
    const u8 ss = p[1 + 2 * ns], se = p[2 + 2 * ns], a = p[3 + 2 * ns];
    if (ss != 0 || se != 63 || a != 0) return Fail(JPEG_WALK_BAD, 0), false;
    // The MCU grid.
    const u64 w = m_width, h = m_height;
    if (ns == 1) {
      Component& k = *m_order[0];
      const u64 cw = (w * k.h + m_hmax - 1) / m_hmax, ch = (h * k.v + m_vmax - 1) / m_vmax;
      k.gridW = static_cast<int>((cw + 7) / 8);
      k.gridH = static_cast<int>((ch + 7) / 8);
      m_mcusX = k.gridW;
      m_out.nMcus = static_cast<u32>(static_cast<u64>(k.gridW) * k.gridH);
      m_mcu.push_back(MCU_BLOCK{&k, 0, 0, 0});
    } else {
      m_mcusX = static_cast<int>((w + 8u * m_hmax - 1) / (8u * m_hmax));
      const u64 mcusY = (h + 8u * m_vmax - 1) / (8u * m_vmax);
      for (size_t c = 0; c < m_order.size(); ++c) {
        Component* k = m_order[c];
        k->gridW = m_mcusX * k->h;
        k->gridH = static_cast<int>(mcusY) * k->v;
        for (int y = 0; y < k->v; ++y)
          for (int x = 0; x < k->h; ++x) m_mcu.push_back(MCU_BLOCK{k, static_cast<int>(c), x, y});
      }
      if (m_mcu.size() > 10) return Fail(JPEG_WALK_BAD, 0), false;
      m_out.nMcus = static_cast<u32>(static_cast<u64>(m_mcusX) * mcusY);
    }
    for (MCU_BLOCK& b : m_mcu) {
      b.dcLook = m_huff[0][b.k->td].look;
      b.ac = &m_huff[1][b.k->ta];
      b.groups = b.ac->groups;
    }
    // Each block's DC is kept only for the seam's score.
    if (m_seam)
      for (Component* k : m_order) k->dc.assign(static_cast<size_t>(k->gridW) * k->gridH, 0);
    return true;
  }

  // The groups of AC table t, from the thread's cache (built there when not
  // yet in it, in a slot no table of this walk uses).
  const u16* GroupsFor(HuffTable& t) {
    GROUP_CACHE* c = ThreadGroupCache();
    if (!c) {
      t.BuildGroups(t.ownGroups);
      return t.ownGroups;
    }
    for (unsigned i = 0; i < 4; ++i) {
      GROUP_CACHE::SLOT& s = c->slot[i];
      if (s.total == t.total && std::memcmp(s.counts, t.counts, 16) == 0 &&
          std::memcmp(s.vals, t.vals, static_cast<size_t>(t.total)) == 0) {
        m_slotsInUse |= 1u << i;
        return s.group;
      }
    }
    unsigned i = c->next & 3;
    for (int n = 0; n < 4 && (m_slotsInUse & (1u << i)); ++n) i = (i + 1) & 3;
    if (m_slotsInUse & (1u << i)) {  // cannot happen (four tables at most), but never overwrite one in use
      t.BuildGroups(t.ownGroups);
      return t.ownGroups;
    }
    c->next = i + 1;
    GROUP_CACHE::SLOT& s = c->slot[i];
    t.BuildGroups(s.group);
    s.total = t.total;
    std::memcpy(s.counts, t.counts, 16);
    std::memcpy(s.vals, t.vals, static_cast<size_t>(t.total));
    m_slotsInUse |= 1u << i;
    return s.group;
  }

  // One block's codes; false (with the outcome) on a fault. at: where the
  // block's DC is kept (with a seam only).
  //
  // The quick path takes codes of up to kLookBits bits whose symbol needs
  // no check, with their extra bits, from a buffer in registers topped up
  // for every code; anything else goes the careful way through the reader
  // with the same checks. Faults are placed where the walk had read to when
  // it met them.
  bool Block(BitReader& br, QUICK_BITS& q, const MCU_BLOCK& b, int& pred, size_t at) {
    Component& k = *b.k;
    const HuffTable& dct = m_huff[0][k.td];
    const HuffTable& act = *b.ac;
    const u16* const groups = b.groups;
    if (!q.Refill() && q.held < kQuickBits) br.Refill(q);
    int diff = 0;
    const u32 de = b.dcLook[q.Peek(kLookBits)];
    if ((de & LOOK_QUICK) && LookTotal(de) <= q.held) {
      // Without a branch on the size: a size of 0 reads 0 and changes nothing.
      const int s = LookSym(de);
      const u32 v = static_cast<u32>((q.acc << LookLen(de) >> 1) >> (63 - s));
      q.Skip(LookTotal(de));
      const u32 half = (1u << s) >> 1, mask = (1u << s) - 1;
      diff = static_cast<int>(v) - static_cast<int>(v < half ? mask : 0);
    } else {
      br.Put(q);
      const int s = br.Decode(dct);
      if (s < 0) return Fail(s == -2 ? JPEG_WALK_SHORT : JPEG_WALK_BAD, br.BitPos()), false;
      if (s > 11) return Fail(JPEG_WALK_BAD, br.BitPos()), false;  // a DC difference no 8-bit picture has
      if (s) {
        u32 v = 0;
        if (!br.Bits(s, v)) return Fail(JPEG_WALK_SHORT, br.BitPos()), false;
        diff = v < (1u << (s - 1)) ? static_cast<int>(v) - ((1 << s) - 1) : static_cast<int>(v);
      }
      q = br.Quick();
    }
    pred += diff;
    if ((pred < 0 ? -pred : pred) > k.maxDc) return br.Put(q), Fail(JPEG_WALK_BAD, br.BitPos()), false;
    if (m_seam) k.dc[at] = static_cast<int16_t>(pred);
    for (int i = 1; i < 64;) {
      if (!q.Refill() && q.held < kQuickBits) br.Refill(q);
      // A refill holds 56 bits or more: enough for four groups, taken
      // without a refill between them (it would lengthen the chain each
      // look-up waits on). A group that does not fit the block: symbol by
      // symbol.
      if (q.held >= 4 * kGroupBits) {
        bool fits = true;
#pragma GCC unroll 4
        for (int n = 0; n < 4; ++n) {
          const u16 g = groups[q.Peek(kGroupBits)];
          const int ni = i + (g >> GROUP_ADV_SHIFT & 63);
          if (ni > 63) {
            fits = false;
            break;
          }
          q.Skip(g & GROUP_BITS_MASK);
          i = ni;
          if (g & GROUP_EOB) {
            i = 64;
            break;
          }
        }
        if (fits) continue;
      }
      if (q.held < kQuickBits && !q.Refill()) br.Refill(q);
      const u32 e = act.look[q.Peek(kLookBits)];
      if ((e & LOOK_QUICK) && LookTotal(e) <= q.held) {
        if (e & LOOK_EOB) {
          q.Skip(LookLen(e));
          break;
        }
        // A run past the block's end (ZRL: one that leaves no room for the
        // coefficient that must follow it).
        i += LookAdv(e);
        if (i > ((e & LOOK_ZRL) ? 63 : 64)) {
          q.Skip(LookLen(e));
          br.Put(q);
          return Fail(JPEG_WALK_BAD, br.BitPos()), false;
        }
        q.Skip(LookTotal(e));
        continue;
      }
      br.Put(q);
      const int rs = br.Decode(act);
      if (rs < 0) return Fail(rs == -2 ? JPEG_WALK_SHORT : JPEG_WALK_BAD, br.BitPos()), false;
      const int r = rs >> 4, sz = rs & 15;
      if (sz == 0) {
        q = br.Quick();
        if (r != 15) break;  // end of block
        i += 16;             // sixteen zeros, and a coefficient must follow them
        if (i > 63) return Fail(JPEG_WALK_BAD, br.BitPos()), false;
        continue;
      }
      i += r;
      if (i > 63 || sz > 10) return Fail(JPEG_WALK_BAD, br.BitPos()), false;  // past the block, or too large for 8 bits
      u32 v = 0;
      if (!br.Bits(sz, v)) return Fail(JPEG_WALK_SHORT, br.BitPos()), false;
      ++i;
      q = br.Quick();
    }
    return true;
  }

  bool Decode() {
    BitReader br(m_view, m_out.u64ScanStart);
    int pred[4] = {0, 0, 0, 0};
    const u32 interval = m_out.nRestartInterval;
    u32 toRestart = interval;
    u8 nextRst = 0;
    u32 lastBeforeSeam = UINT32_MAX;
    bool seamReached = false;
    const bool interleaved = m_order.size() > 1;
    // The bit buffer stays in q from block to block; the reader has it
    // back (Put) before anything asks it where it stands.
    QUICK_BITS q = br.Quick();
    for (u32 m = 0; m < m_out.nMcus; ++m) {
      if (interval) {
        if (toRestart == 0) {
          br.Put(q);
          if (!br.PaddingThenMarker()) return Fail(JPEG_WALK_BAD, br.BitPos()), false;
          if (br.Marker() != 0xD0 + nextRst)
            return Fail(br.Marker() ? JPEG_WALK_BAD : JPEG_WALK_SHORT, br.MarkerAt()), false;
          br.SkipMarker();
          nextRst = static_cast<u8>((nextRst + 1) & 7);
          std::fill(pred, pred + 4, 0);
          toRestart = interval;
          q = br.Quick();
        }
        --toRestart;
      }
      size_t mx = 0, my = 0;
      if (m_seam) {
        br.Put(q);
        if (br.BitPos() < m_seam) lastBeforeSeam = m;
        else seamReached = true;
        mx = m % static_cast<u32>(m_mcusX);
        my = m / static_cast<u32>(m_mcusX);
      }
      for (const MCU_BLOCK& b : m_mcu) {
        Component& k = *b.k;
        // The block's place in its component's grid (only the seam needs it).
        const size_t at = !m_seam ? 0
                          : interleaved ? (my * k.v + static_cast<size_t>(b.y)) * static_cast<size_t>(k.gridW) +
                                              mx * k.h + static_cast<size_t>(b.x)
                                        : static_cast<size_t>(m);
        if (!Block(br, q, b, pred[b.c], at)) return Finish(lastBeforeSeam, seamReached), false;
      }
      m_out.nMcusDone = m + 1;
    }
    br.Put(q);
    if (m_seam && br.BitPos() >= m_seam) seamReached = true;
    Finish(lastBeforeSeam, seamReached);
    if (!br.PaddingThenMarker()) return Fail(JPEG_WALK_BAD, br.BitPos()), false;
    // Segments may stand between the scan and the EOI (never another scan
    // here), only those the decoder takes there.
    u64 off = br.MarkerAt();
    std::vector<u8> seg;
    for (int k = 0; k <= kMaxTrailingSegments; ++k) {
      u8 f = 0, code = 0xFF;
      if (!m_view.U8At(off, f) || f != 0xFF) return Fail(JPEG_WALK_SHORT, off), false;
      u64 codeAt = off;
      while (code == 0xFF)
        if (++codeAt - off > 64 || !m_view.U8At(codeAt, code)) return Fail(JPEG_WALK_SHORT, off), false;
      if (code == 0xD9) {
        m_out.nOutcome = JPEG_WALK_WHOLE;
        m_out.u64End = codeAt + 1;
        return true;
      }
      if (code == 0xDA) return Fail(JPEG_WALK_UNSUPPORTED, off), false;
      if (!IsTableOrMiscSegment(code)) return Fail(JPEG_WALK_BAD, off), false;
      u16 len = 0;
      if (!m_view.U16BE(codeAt + 1, len) || len < 2) return Fail(JPEG_WALK_BAD, off), false;
      seg.resize(len - 2u);
      if (!seg.empty() && !m_view.Read(codeAt + 3, seg.data(), seg.size())) return Fail(JPEG_WALK_SHORT, off), false;
      if (!ReadTableOrMisc(code, seg.data(), seg.size(), false)) return Fail(JPEG_WALK_BAD, off), false;
      off = codeAt + 1 + len;
    }
    return Fail(JPEG_WALK_BAD, off), false;
  }

  bool Finish(u32 lastBeforeSeam, bool seamReached) {
    if (m_seam && seamReached && lastBeforeSeam != UINT32_MAX) m_out.nSeamMcu = lastBeforeSeam;
    return true;
  }

  u32 McuOf(const Component& k, int bx, int by) const {
    if (m_order.size() == 1) return static_cast<u32>(by) * static_cast<u32>(k.gridW) + static_cast<u32>(bx);
    return static_cast<u32>(by / k.v) * static_cast<u32>(m_mcusX) + static_cast<u32>(bx / k.h);
  }

  // The DC of vertically neighbouring blocks, the pairs across the seam
  // against the pairs beside it (two MCU rows above and below). A true
  // continuation is one picture there; a join of two pictures changes the
  // content, and the second picture's DC differences, coded against blocks
  // that are not there, carry a constant offset from the seam on.
  void SeamScore() {
    if (m_out.nSeamMcu == UINT32_MAX) return;
    const u32 seam = m_out.nSeamMcu, done = m_out.nMcusDone;
    double worst = 0;
    int pairs = 0;
    for (const Component* pk : m_order) {
      const Component& k = *pk;
      const int rowsPerMcu = m_order.size() == 1 ? 1 : k.v;
      const int seamRow = static_cast<int>(seam / static_cast<u32>(m_mcusX)) * rowsPerMcu;
      const int top = std::max(1, seamRow - 2 * rowsPerMcu), bottom = std::min(k.gridH - 1, seamRow + 3 * rowsPerMcu);
      double sumX = 0, sumR = 0;
      int nX = 0, nR = 0;
      for (int by = top; by <= bottom; ++by) {
        for (int bx = 0; bx < k.gridW; ++bx) {
          const u32 mUp = McuOf(k, bx, by - 1), mDown = McuOf(k, bx, by);
          if (mDown >= done) continue;
          const size_t at = static_cast<size_t>(by) * k.gridW + bx;
          const i32 d = (k.dc[at] - k.dc[at - static_cast<size_t>(k.gridW)]) * m_qdc[k.tq];
          const double ad = d < 0 ? -d : d;
          if ((mUp < seam) != (mDown < seam)) {
            sumX += ad;
            ++nX;
          } else {
            sumR += ad;
            ++nR;
          }
        }
      }
      if (nX == 0 || nR == 0) continue;
      pairs += nX;
      // In units of eight sample levels times a block (a DC step of 8 is one level of mean).
      const double score = (sumX / nX) / (sumR / nR + 16.0);
      worst = std::max(worst, score);
    }
    m_out.dSeamScore = worst;
    m_out.nSeamPairs = pairs;
  }

  FileView m_view;
  u64 m_size;
  u64 m_seam;
  JPEG_WALK m_out;
  HuffTable m_huff[2][4];
  int m_qdc[4] = {1, 1, 1, 1};
  bool m_qdef[4] = {false, false, false, false};
  unsigned m_slotsInUse = 0;  // the group cache's slots this walk's tables use
  u32 m_width = 0, m_height = 0;
  int m_hmax = 1, m_vmax = 1;
  int m_mcusX = 1;
  std::vector<Component> m_comps;
  std::vector<Component*> m_order;
  std::vector<MCU_BLOCK> m_mcu;
};

}  // namespace

JPEG_WALK CJpegEntropy::Walk(CARVE_CONTEXT& ctx, u64 u64Size, u64 u64Seam) {
  if (!ctx.UsableSectorSize() || u64Size < 4) {
    JPEG_WALK w;
    w.nOutcome = JPEG_WALK_BAD;
    return w;
  }
  CWalker walker(ctx, u64Size, u64Seam);
  return walker.Run();
}

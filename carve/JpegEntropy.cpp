// The walk reads the file through a FileView (one or two pieces), parses the
// segments up to the first scan, then decodes every MCU's Huffman codes
// without the inverse transform: a few tens of megabytes a second.
#include "carve/JpegEntropy.h"

#include <algorithm>
#include <cstring>

#include "carve/formats/FormatKit.h"

using carve_detail::FileView;

namespace {

// Pictures with more pixels than this are not walked (the decoder's own cap).
constexpr u64 kMaxPixels = 120000000;
// Segments passed over after the scan before the EOI.
constexpr int kMaxTrailingSegments = 16;

struct HuffTable {
  bool bDefined = false;
  i32 maxcode[17];  // largest code of each length (-1: none of that length)
  i32 valoff[17];   // index in vals of a length's first code, less that code
  u8 vals[256];
  u16 look[512];  // a 9-bit prefix: (length << 8) | symbol for codes of 9 bits or fewer, 0 otherwise

  bool Build(const u8* counts, const u8* syms, int total) {
    std::memcpy(vals, syms, static_cast<size_t>(total));
    std::fill(look, look + 512, static_cast<u16>(0));
    int code = 0, k = 0;
    for (int l = 1; l <= 16; ++l) {
      const int c = counts[l - 1];
      maxcode[l] = -1;
      valoff[l] = 0;
      if (c) {
        if (code + c > (1 << l)) return false;  // more codes than the length holds
        valoff[l] = k - code;
        for (int i = 0; i < c; ++i, ++code, ++k) {
          if (l <= 9) {
            const int shift = 9 - l;
            for (int j = 0; j < (1 << shift); ++j) look[(code << shift) | j] = static_cast<u16>((l << 8) | vals[k]);
          }
        }
        maxcode[l] = code - 1;
      }
      code <<= 1;
    }
    bDefined = true;
    return true;
  }
};

struct Component {
  u8 id = 0, h = 1, v = 1, tq = 0, td = 0, ta = 0;
  int gridW = 0, gridH = 0;  // blocks across and down in the scan
  std::vector<i32> dc;       // each block's DC times its quantizer (0 until decoded)
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

  void Fill() {
    while (m_nBits <= 56 && !m_bAtMarker) {
      const int b = ByteAt(m_pos);
      if (b < 0) {
        SetMarker(0, m_pos, m_pos);
        return;
      }
      if (b != 0xFF) {
        Push(static_cast<u8>(b));
        ++m_pos;
        continue;
      }
      u64 q = m_pos + 1;
      int c = ByteAt(q);
      while (c == 0xFF && q - m_pos < 64) c = ByteAt(++q);
      if (c < 0) {
        SetMarker(0, m_pos, q);
        return;
      }
      if (c == 0) {
        Push(0xFF);
        m_pos = q + 1;
      } else {
        SetMarker(static_cast<u8>(c), m_pos, q);
      }
    }
  }

  // A symbol: 0..255, -1 no such code, -2 the data ran out.
  int Decode(const HuffTable& t) {
    if (m_nBits < 16) Fill();
    const u32 peek = Peek16();
    const u16 look = t.look[peek >> 7];
    if (look) {
      const int len = look >> 8;
      if (len > m_nBits) return -2;
      m_nBits -= len;
      return look & 0xFF;
    }
    for (int l = 10; l <= 16; ++l) {
      const i32 code = static_cast<i32>(peek >> (16 - l));
      if (code <= t.maxcode[l]) {
        if (l > m_nBits) return -2;
        m_nBits -= l;
        return t.vals[t.valoff[l] + code];
      }
    }
    return m_nBits < 16 ? -2 : -1;
  }

  // s raw bits (s <= 16); false when the data ran out.
  bool Bits(int s, u32& v) {
    if (m_nBits < s) Fill();
    if (m_nBits < s) return false;
    v = static_cast<u32>(m_acc >> (m_nBits - s)) & ((1u << s) - 1);
    m_nBits -= s;
    return true;
  }

  // The bits left in the current byte are ones and nothing but the next
  // marker follows them.
  bool PaddingThenMarker() {
    const int r = m_nBits % 8;
    if (r) {
      const u32 v = static_cast<u32>(m_acc >> (m_nBits - r)) & ((1u << r) - 1);
      if (v != (1u << r) - 1) return false;
      m_nBits -= r;
    }
    if (m_nBits == 0 && !m_bAtMarker) Fill();
    return m_nBits == 0 && m_bAtMarker;
  }

  // Past the marker the reader stopped at; the bits start afresh after it.
  void SkipMarker() {
    m_pos = m_markerCodeAt + 1;
    m_bAtMarker = false;
    m_nBits = 0;
  }

  // File offset of the byte holding the next bit.
  u64 BitPos() const {
    const u64 held = static_cast<u64>((m_nBits + 7) / 8);
    const u64 end = m_bAtMarker ? m_markerAt : m_pos;
    return end > held ? end - held : 0;
  }
  bool AtMarker() const { return m_bAtMarker; }
  u8 Marker() const { return m_marker; }  // 0: the data's end
  u64 MarkerAt() const { return m_markerAt; }
  u64 MarkerCodeAt() const { return m_markerCodeAt; }

 private:
  void Push(u8 b) {
    m_acc = (m_acc << 8) | b;
    m_nBits += 8;
  }
  void SetMarker(u8 code, u64 at, u64 codeAt) {
    m_bAtMarker = true;
    m_marker = code;
    m_markerAt = at;
    m_markerCodeAt = codeAt;
  }
  u32 Peek16() const {
    return m_nBits >= 16 ? static_cast<u32>(m_acc >> (m_nBits - 16)) & 0xFFFF
                         : static_cast<u32>(m_acc << (16 - m_nBits)) & 0xFFFF;
  }

  FileView& m_view;
  const u8* m_p = nullptr;
  size_t m_n = 0;
  u64 m_base = 0;
  u64 m_pos;  // next byte to take into the bit buffer
  u64 m_acc = 0;
  int m_nBits = 0;
  bool m_bAtMarker = false;
  u8 m_marker = 0;
  u64 m_markerAt = 0, m_markerCodeAt = 0;
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
  void Fail(int outcome, u64 at) {
    m_out.nOutcome = outcome;
    m_out.u64BadAt = at;
  }

  // The segments from SOI to the first SOS; false (with the outcome) when
  // the walk cannot go on.
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
      if (code == 0xD8 || code == 0xD9 || (code >= 0xD0 && code <= 0xD7) || code == 0x00)
        return Fail(JPEG_WALK_BAD, off), false;
      if (code == 0x01) {
        off = codeAt + 1;
        continue;
      }
      u16 len = 0;
      if (!m_view.U16BE(codeAt + 1, len)) return Fail(JPEG_WALK_SHORT, off), false;
      if (len < 2) return Fail(JPEG_WALK_BAD, off), false;
      seg.resize(len - 2u);
      if (!seg.empty() && !m_view.Read(codeAt + 3, seg.data(), seg.size())) return Fail(JPEG_WALK_SHORT, off), false;
      const u64 next = codeAt + 1 + len;
      const u8* p = seg.data();
      const size_t n = seg.size();
      if (code == 0xC4) {
        if (!ReadHuffman(p, n)) return Fail(JPEG_WALK_BAD, off), false;
      } else if (code == 0xDB) {
        if (!ReadQuant(p, n)) return Fail(JPEG_WALK_BAD, off), false;
      } else if (code == 0xDD) {
        if (n < 2) return Fail(JPEG_WALK_BAD, off), false;
        m_out.nRestartInterval = GetU16BE(p, n, 0);
      } else if (code == 0xC0 || code == 0xC1) {
        if (sawFrame) return Fail(JPEG_WALK_BAD, off), false;
        if (!ReadFrame(p, n)) return false;
        sawFrame = true;
      } else if (code >= 0xC2 && code <= 0xCF && code != 0xC4 && code != 0xC8 && code != 0xCC) {
        return Fail(JPEG_WALK_UNSUPPORTED, off), false;  // progressive, lossless, arithmetic, hierarchical
      } else if (code == 0xDA) {
        if (!sawFrame) return Fail(JPEG_WALK_BAD, off), false;
        if (!ReadScan(p, n)) return false;
        m_out.u64ScanStart = next;
        return true;
      }
      off = next;
    }
  }

  bool ReadHuffman(const u8* p, size_t n) {
    size_t i = 0;
    while (i < n) {
      const u8 tcth = p[i];
      const int tc = tcth >> 4, th = tcth & 15;
      if (tc > 1 || th > 3 || n - i < 17) return false;
      int total = 0;
      for (int k = 0; k < 16; ++k) total += p[i + 1 + k];
      if (total > 256 || n - i - 17 < static_cast<size_t>(total)) return false;
      if (!m_huff[tc][th].Build(p + i + 1, p + i + 17, total)) return false;
      i += 17 + static_cast<size_t>(total);
    }
    return true;
  }

  bool ReadQuant(const u8* p, size_t n) {
    size_t i = 0;
    while (i < n) {
      const int pq = p[i] >> 4, tq = p[i] & 15;
      const size_t bytes = pq ? 128 : 64;
      if (pq > 1 || tq > 3 || n - i - 1 < bytes) return false;
      // Entry 0 (zigzag order) quantizes the DC.
      const int q = pq ? GetU16BE(p, n, i + 1) : p[i + 1];
      m_qdc[tq] = q ? q : 1;
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
    if (m_width == 0 || nf < 1 || nf > 4 || n < 6 + 3u * nf) return Fail(JPEG_WALK_BAD, 0), false;
    if (static_cast<u64>(m_width) * m_height > kMaxPixels) return Fail(JPEG_WALK_UNSUPPORTED, 0), false;
    m_comps.resize(static_cast<size_t>(nf));
    for (int c = 0; c < nf; ++c) {
      Component& k = m_comps[static_cast<size_t>(c)];
      k.id = p[6 + 3 * c];
      k.h = p[7 + 3 * c] >> 4;
      k.v = p[7 + 3 * c] & 15;
      k.tq = p[8 + 3 * c];
      if (k.h < 1 || k.h > 4 || k.v < 1 || k.v > 4 || k.tq > 3) return Fail(JPEG_WALK_BAD, 0), false;
      m_hmax = std::max(m_hmax, static_cast<int>(k.h));
      m_vmax = std::max(m_vmax, static_cast<int>(k.v));
    }
    return true;
  }

  bool ReadScan(const u8* p, size_t n) {
    if (n < 1) return Fail(JPEG_WALK_BAD, 0), false;
    const size_t ns = p[0];
    if (ns < 1 || ns > 4 || n < 4 + 2 * ns) return Fail(JPEG_WALK_BAD, 0), false;
    // One scan with every component: the rest is not walked.
    if (ns != m_comps.size()) return Fail(JPEG_WALK_UNSUPPORTED, 0), false;
    for (size_t i = 0; i < ns; ++i) {
      Component* k = nullptr;
      for (Component& c : m_comps)
        if (c.id == p[1 + 2 * i]) k = &c;
      if (!k) return Fail(JPEG_WALK_BAD, 0), false;
      k->td = p[2 + 2 * i] >> 4;
      k->ta = p[2 + 2 * i] & 15;
      if (k->td > 3 || k->ta > 3) return Fail(JPEG_WALK_BAD, 0), false;
      // Tables the picture does not hold (motion JPEG's defaults): not walked.
      if (!m_huff[0][k->td].bDefined || !m_huff[1][k->ta].bDefined) return Fail(JPEG_WALK_UNSUPPORTED, 0), false;
      m_order.push_back(k);
    }
    const u8 ss = p[1 + 2 * ns], se = p[2 + 2 * ns], a = p[3 + 2 * ns];
    if (ss != 0 || se != 63 || a != 0) return Fail(JPEG_WALK_BAD, 0), false;
    // The MCU grid.
    const u64 w = m_width, h = m_height;
    u64 blocks = 0;
    if (ns == 1) {
      Component& k = *m_order[0];
      const u64 cw = (w * k.h + m_hmax - 1) / m_hmax, ch = (h * k.v + m_vmax - 1) / m_vmax;
      k.gridW = static_cast<int>((cw + 7) / 8);
      k.gridH = static_cast<int>((ch + 7) / 8);
      m_mcusX = k.gridW;
      m_out.nMcus = static_cast<u32>(static_cast<u64>(k.gridW) * k.gridH);
      blocks = m_out.nMcus;
    } else {
      u32 perMcu = 0;
      m_mcusX = static_cast<int>((w + 8u * m_hmax - 1) / (8u * m_hmax));
      const u64 mcusY = (h + 8u * m_vmax - 1) / (8u * m_vmax);
      for (Component* k : m_order) {
        k->gridW = m_mcusX * k->h;
        k->gridH = static_cast<int>(mcusY) * k->v;
        perMcu += static_cast<u32>(k->h) * k->v;
        blocks += static_cast<u64>(k->gridW) * k->gridH;
      }
      if (perMcu > 10) return Fail(JPEG_WALK_BAD, 0), false;
      m_out.nMcus = static_cast<u32>(static_cast<u64>(m_mcusX) * mcusY);
    }
    (void)blocks;
    for (Component* k : m_order) k->dc.assign(static_cast<size_t>(k->gridW) * k->gridH, 0);
    return true;
  }

  // One block's codes; false (with the outcome) on a fault.
  bool Block(BitReader& br, Component& k, int& pred, int bx, int by) {
    const HuffTable& dct = m_huff[0][k.td];
    const HuffTable& act = m_huff[1][k.ta];
    // Faults are placed where the walk had read to when it met them.
    int s = br.Decode(dct);
    if (s < 0) return Fail(s == -2 ? JPEG_WALK_SHORT : JPEG_WALK_BAD, br.BitPos()), false;
    if (s > 11) return Fail(JPEG_WALK_BAD, br.BitPos()), false;  // a DC difference no 8-bit picture has
    int diff = 0;
    if (s) {
      u32 v = 0;
      if (!br.Bits(s, v)) return Fail(JPEG_WALK_SHORT, br.BitPos()), false;
      diff = v < (1u << (s - 1)) ? static_cast<int>(v) - ((1 << s) - 1) : static_cast<int>(v);
    }
    pred += diff;
    // A block's DC is eight times its mean sample less 128: within +-1024
    // once multiplied back by its quantizer (rounding allowed for).
    const int q = m_qdc[k.tq];
    if (static_cast<long>(pred < 0 ? -pred : pred) * q > 1024 + 2L * q) return Fail(JPEG_WALK_BAD, br.BitPos()), false;
    k.dc[static_cast<size_t>(by) * k.gridW + bx] = pred * q;
    for (int i = 1; i < 64;) {
      const int rs = br.Decode(act);
      if (rs < 0) return Fail(rs == -2 ? JPEG_WALK_SHORT : JPEG_WALK_BAD, br.BitPos()), false;
      const int r = rs >> 4, sz = rs & 15;
      if (sz == 0) {
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
    }
    return true;
  }

  bool Decode() {
    BitReader br(m_view, m_out.u64ScanStart);
    int pred[4] = {0, 0, 0, 0};
    const u32 interval = m_out.nRestartInterval;
    u8 nextRst = 0;
    u32 lastBeforeSeam = UINT32_MAX;
    bool seamReached = false;
    const bool interleaved = m_order.size() > 1;
    for (u32 m = 0; m < m_out.nMcus; ++m) {
      if (interval && m && m % interval == 0) {
        if (!br.PaddingThenMarker()) return Fail(JPEG_WALK_BAD, br.BitPos()), false;
        if (br.Marker() != 0xD0 + nextRst) return Fail(br.Marker() ? JPEG_WALK_BAD : JPEG_WALK_SHORT, br.MarkerAt()), false;
        br.SkipMarker();
        nextRst = static_cast<u8>((nextRst + 1) & 7);
        std::fill(pred, pred + 4, 0);
      }
      if (m_seam) {
        if (br.BitPos() < m_seam) lastBeforeSeam = m;
        else seamReached = true;
      }
      if (interleaved) {
        const int mx = static_cast<int>(m % static_cast<u32>(m_mcusX)), my = static_cast<int>(m / static_cast<u32>(m_mcusX));
        for (size_t c = 0; c < m_order.size(); ++c) {
          Component& k = *m_order[c];
          for (int y = 0; y < k.v; ++y)
            for (int x = 0; x < k.h; ++x)
              if (!Block(br, k, pred[c], mx * k.h + x, my * k.v + y)) return Finish(lastBeforeSeam, seamReached), false;
        }
      } else {
        Component& k = *m_order[0];
        if (!Block(br, k, pred[0], static_cast<int>(m % static_cast<u32>(k.gridW)),
                   static_cast<int>(m / static_cast<u32>(k.gridW))))
          return Finish(lastBeforeSeam, seamReached), false;
      }
      m_out.nMcusDone = m + 1;
    }
    if (m_seam && br.BitPos() >= m_seam) seamReached = true;
    Finish(lastBeforeSeam, seamReached);
    if (!br.PaddingThenMarker()) return Fail(JPEG_WALK_BAD, br.BitPos()), false;
    // Segments may stand between the scan and the EOI (never another scan here).
    u64 off = br.MarkerAt();
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
      if (code < 0xC0 || (code >= 0xD0 && code <= 0xD8)) return Fail(JPEG_WALK_BAD, off), false;
      u16 len = 0;
      if (!m_view.U16BE(codeAt + 1, len) || len < 2) return Fail(JPEG_WALK_BAD, off), false;
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
          const i32 d = k.dc[static_cast<size_t>(by) * k.gridW + bx] - k.dc[static_cast<size_t>(by - 1) * k.gridW + bx];
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
  u32 m_width = 0, m_height = 0;
  int m_hmax = 1, m_vmax = 1;
  int m_mcusX = 1;
  std::vector<Component> m_comps;
  std::vector<Component*> m_order;
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

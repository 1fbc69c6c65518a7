// Sample tables of a movie box, the sample walk that checks each sample at
// the place the tables give it, and the two-piece rebuild built on it.
#include "carve/Mp4Rebuild.h"

#include <time.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "carve/FileTypeJudge.h"
#include "engine/ByteOrder.h"

namespace {

constexpr size_t kMaxTracks = 64;
constexpr size_t kMaxChunks = 4u << 20;      // chunks of all tracks of one movie
constexpr int kMaxBoxDepth = 10;
constexpr u64 kMaxMovieBytes = 64ull << 20;  // a movie box read whole (an hour of video needs a few MiB)
constexpr u64 kMaxFileBytes = 16ull << 30;   // phones write single recordings past 4 GiB
constexpr u64 kStepBytes = 64 * 1024;
// Checks that must pass past a candidate continuation before a cut is looked for.
constexpr u64 kQuickChecks = 16;
// Checks past the break a cut candidate must pass.
constexpr u64 kCutChecks = 48;

bool Is(const u8* t, const char* k) { return std::memcmp(t, k, 4) == 0; }

// One box inside [pos, to) of an in-memory buffer: its type, payload start
// and end. Size 0 runs to `to`; size 1 takes the 64-bit size after the type.
bool MemBox(const u8* p, size_t n, size_t pos, size_t to, const u8*& type, size_t& payload, size_t& end) {
  if (to > n || pos > to || to - pos < 8) return false;
  u64 size = GetU32BE(p, n, pos);
  type = p + pos + 4;
  payload = pos + 8;
  if (size == 1) {
    if (to - pos < 16) return false;
    size = GetU64BE(p, n, pos + 8);
    payload = pos + 16;
    if (size < 16) return false;
  } else if (size == 0) {
    size = to - pos;
  } else if (size < 8) {
    return false;
  }
  if (size > to - pos) return false;
  end = pos + static_cast<size_t>(size);
  return true;
}

// The payload of the first child box of type k inside [from, to).
bool MemChild(const u8* p, size_t n, size_t from, size_t to, const char* k, size_t& cf, size_t& ct) {
  size_t pos = from;
  for (int boxes = 0; pos < to && boxes < 4096; ++boxes) {
    const u8* type = nullptr;
    size_t payload = 0, end = 0;
    if (!MemBox(p, n, pos, to, type, payload, end)) return false;
    if (Is(type, k)) {
      cf = payload;
      ct = end;
      return true;
    }
    pos = end;
  }
  return false;
}

// An MPEG-4 descriptor's header at pos: tag, then a length of up to four
// 7-bit groups. False when it does not fit in [pos, to).
bool Descriptor(const u8* p, size_t n, size_t pos, size_t to, u8& tag, size_t& body, size_t& end) {
  if (pos >= to || to > n) return false;
  tag = p[pos];
  size_t at = pos + 1;
  u32 len = 0;
  for (int i = 0; i < 4; ++i) {
    if (at >= to) return false;
    const u8 b = p[at++];
    len = (len << 7) | (b & 0x7F);
    if (!(b & 0x80)) break;
  }
  if (len > to - at) return false;
  body = at;
  end = at + len;
  return true;
}

// The channel configuration an elementary-stream descriptor gives an AAC
// stream (0 when unknown); false when the stream is not AAC.
bool AacChannels(const u8* p, size_t n, size_t from, size_t to, u8& channels) {
  channels = 0;
  u8 tag = 0;
  size_t body = 0, end = 0;
  if (to - from < 4 || !Descriptor(p, n, from + 4, to, tag, body, end) || tag != 0x03) return false;
  if (end - body < 3) return false;
  const u8 flags = p[body + 2];
  size_t at = body + 3;
  if (flags & 0x80) at += 2;                                 // depends on another stream
  if (flags & 0x40) at += at < end ? 1u + p[at] : 0u;        // URL
  if (flags & 0x20) at += 2;                                 // OCR stream
  size_t cbody = 0, cend = 0;
  if (at >= end || !Descriptor(p, n, at, end, tag, cbody, cend) || tag != 0x04 || cend - cbody < 13) return false;
  if (p[cbody] != 0x40 && p[cbody] != 0x66 && p[cbody] != 0x67 && p[cbody] != 0x68) return false;  // AAC kinds
  size_t dbody = 0, dend = 0;
  if (Descriptor(p, n, cbody + 13, cend, tag, dbody, dend) && tag == 0x05 && dend - dbody >= 2) {
    const u8 object = p[dbody] >> 3;
    if (object == 31) return true;  // an escaped object type: channels left unknown
    const u8 freq = static_cast<u8>(((p[dbody] & 7) << 1) | (p[dbody + 1] >> 7));
    if (freq == 15) {
      if (dend - dbody >= 5) channels = static_cast<u8>((p[dbody + 4] >> 3) & 0xF);
    } else {
      channels = static_cast<u8>((p[dbody + 1] >> 3) & 0xF);
    }
  }
  return true;
}

// H.264 NAL header: forbidden bit clear, a defined type, and nal_ref_idc
// as the type requires (set for IDR slices, clear for SEI and delimiters).
bool AvcHeader(u8 b) {
  if (b & 0x80) return false;
  const u8 type = b & 0x1F, ref = (b >> 5) & 3;
  if (type == 0 || type > 21) return false;
  if (type == 5 && ref == 0) return false;
  if ((type == 6 || type == 9 || type == 10 || type == 11 || type == 12) && ref != 0) return false;
  return true;
}

// H.265 NAL header: forbidden bit clear, a defined type (slices 0-9, random
// access points 16-21, parameter sets and the like 32-40), base layer or
// the first extra view, and a temporal id; random access points and
// parameter sets sit on temporal layer 0.
bool HevcHeader(u8 b0, u8 b1) {
  if (b0 & 0x80) return false;
  const u8 type = (b0 >> 1) & 0x3F, layer = static_cast<u8>(((b0 & 1) << 5) | (b1 >> 3)), tid = b1 & 7;
  if (tid == 0 || layer > 1) return false;
  if (type <= 9) return true;
  if ((type >= 16 && type <= 21) || (type >= 32 && type <= 34)) return tid == 1;
  return type >= 35 && type <= 40;
}

// An AAC raw frame's first element: a channel element with instance tag 0
// that fits the channel configuration, or fill or data-stream elements.
bool AacFirstByte(u8 b, u8 channels) {
  const u8 id = b >> 5, tag = (b >> 1) & 0xF;
  if (id == 4 || id == 6) return true;                     // DSE, FIL
  if (id == 0) return tag == 0 && channels != 2;           // SCE
  if (id == 1) return tag == 0 && channels != 1;           // CPE
  if (id == 3) return channels >= 6 || channels == 0;      // LFE
  return false;
}

}  // namespace

// ---- Movie box ----

bool CMp4Movie::Parse(const u8* p, size_t n) {
  m_p = p;
  m_n = n;
  m_tracks.clear();
  m_chunks.clear();
  m_u64DataEnd = 0;
  size_t pos = 0;
  for (int boxes = 0; pos < n && boxes < 4096; ++boxes) {
    const u8* type = nullptr;
    size_t payload = 0, end = 0;
    if (!MemBox(p, n, pos, n, type, payload, end)) return false;
    if (Is(type, "trak")) {
      if (m_tracks.size() >= kMaxTracks) return false;
      if (!ParseTrack(p, 0, payload, end)) return false;
    }
    pos = end;
  }
  if (m_chunks.empty()) return false;
  std::sort(m_chunks.begin(), m_chunks.end(),
            [](const CHUNK& a, const CHUNK& b) { return a.u64Offset < b.u64Offset; });
  // Chunks never overlap: each ends before the next begins.
  u64 end = 0;
  for (const CHUNK& c : m_chunks) {
    if (c.u64Offset < end) return false;
    u64 size = 0;
    const TRACK& t = m_tracks[c.nTrack];
    for (u32 k = 0; k < c.nSamples; ++k) size += SampleSize(t, c.nFirstSample + k);
    if (c.u64Offset > kMaxFileBytes || size > kMaxFileBytes) return false;
    end = c.u64Offset + size;
  }
  m_u64DataEnd = end;
  return true;
}

bool CMp4Movie::ParseTrack(const u8* p, size_t, size_t from, size_t to) {
  const size_t n = m_n;
  size_t mf = 0, mt = 0, nf = 0, nt = 0, sf = 0, st = 0;
  if (!MemChild(p, n, from, to, "mdia", mf, mt) || !MemChild(p, n, mf, mt, "minf", nf, nt) ||
      !MemChild(p, n, nf, nt, "stbl", sf, st))
    return true;  // a track without sample tables has nothing to check
  TRACK t;
  size_t bf = 0, bt = 0;
  // stsd (0: version and flags, 4: entry count, 8: the first entry).
  if (MemChild(p, n, sf, st, "stsd", bf, bt) && bt - bf >= 16) {
    const size_t entry = bf + 8;
    const u8* type = nullptr;
    size_t payload = 0, end = 0;
    if (MemBox(p, n, entry, bt, type, payload, end)) {
      if (Is(type, "avc1") || Is(type, "avc3") || Is(type, "hvc1") || Is(type, "hev1")) {
        // A visual entry's boxes follow its 78 bytes of fixed fields.
        const bool hevc = type[0] == 'h';
        size_t cf = 0, ct = 0;
        if (payload + 78 <= end && MemChild(p, n, payload + 78, end, hevc ? "hvcC" : "avcC", cf, ct)) {
          const size_t at = hevc ? 21 : 4;  // lengthSizeMinusOne in the low two bits
          if (ct - cf > at) {
            t.nNalBytes = static_cast<u8>((p[cf + at] & 3) + 1);
            if (t.nNalBytes != 3) t.nKind = hevc ? KIND_HEVC : KIND_AVC;
          }
        }
      } else if (Is(type, "mp4a")) {
        // A sound entry's boxes follow 28 bytes of fields; QuickTime's
        // versions 1 and 2 (16: version) add 16 and 36 more.
        const u16 version = GetU16BE(p, n, payload + 8);
        size_t boxes = payload + 28 + (version == 1 ? 16 : version == 2 ? 36 : 0);
        size_t cf = 0, ct = 0, wf = 0, wt = 0;
        bool found = boxes <= end && MemChild(p, n, boxes, end, "esds", cf, ct);
        if (!found && boxes <= end && MemChild(p, n, boxes, end, "wave", wf, wt))
          found = MemChild(p, n, wf, wt, "esds", cf, ct);
        u8 channels = 0;
        if (found && AacChannels(p, n, cf, ct, channels)) {
          t.nKind = KIND_AAC;
          t.nChannels = channels;
        }
      }
    }
  }
  // Sample sizes: stsz (4: one size for all, 8: count, 12: table) or the compact stz2.
  if (MemChild(p, n, sf, st, "stsz", bf, bt)) {
    if (bt - bf < 12) return false;
    t.nConstSize = GetU32BE(p, n, bf + 4);
    t.nSamples = GetU32BE(p, n, bf + 8);
    t.nSizesAt = bf + 12;
    if (t.nConstSize == 0 && static_cast<u64>(t.nSamples) * 4 > bt - bf - 12) return false;
  } else if (MemChild(p, n, sf, st, "stz2", bf, bt)) {
    if (bt - bf < 12) return false;
    t.nSizeBits = p[bf + 7];
    if (t.nSizeBits != 4 && t.nSizeBits != 8 && t.nSizeBits != 16) return false;
    t.nSamples = GetU32BE(p, n, bf + 8);
    t.nSizesAt = bf + 12;
    if ((static_cast<u64>(t.nSamples) * t.nSizeBits + 7) / 8 > bt - bf - 12) return false;
  } else {
    return true;
  }
  if (t.nSamples == 0) return true;
  // Chunk offsets.
  const bool co64 = MemChild(p, n, sf, st, "co64", bf, bt);
  if (!co64 && !MemChild(p, n, sf, st, "stco", bf, bt)) return false;
  if (bt - bf < 8) return false;
  const u32 chunks = GetU32BE(p, n, bf + 4);
  const size_t width = co64 ? 8 : 4;
  if (static_cast<u64>(chunks) * width > bt - bf - 8 || m_chunks.size() + chunks > kMaxChunks) return false;
  const size_t offsetsAt = bf + 8;
  // Samples per chunk: runs (first chunk, samples per chunk, description) from chunk 1.
  size_t cf = 0, ct = 0;
  if (!MemChild(p, n, sf, st, "stsc", cf, ct) || ct - cf < 8) return false;
  const u32 runs = GetU32BE(p, n, cf + 4);
  if (runs == 0 || static_cast<u64>(runs) * 12 > ct - cf - 8) return false;
  const u32 track = static_cast<u32>(m_tracks.size());
  u64 sample = 0;
  for (u32 r = 0; r < runs; ++r) {
    const size_t at = cf + 8 + 12ull * r;
    const u32 first = GetU32BE(p, n, at), per = GetU32BE(p, n, at + 4);
    const u32 next = r + 1 < runs ? GetU32BE(p, n, at + 12) : chunks + 1;
    if (first == 0 || next <= first || next > chunks + 1 || per == 0) return false;
    for (u32 c = first; c < next; ++c) {
      if (sample + per > t.nSamples) return false;
      const u64 off = co64 ? GetU64BE(p, n, offsetsAt + 8ull * (c - 1)) : GetU32BE(p, n, offsetsAt + 4ull * (c - 1));
      m_chunks.push_back(CHUNK{off, track, static_cast<u32>(sample), per});
      sample += per;
    }
  }
  if (sample != t.nSamples) return false;  // the tables disagree
  m_tracks.push_back(t);
  return true;
}

u32 CMp4Movie::SampleSize(const TRACK& t, u32 k) const {
  if (t.nConstSize) return t.nConstSize;
  if (k >= t.nSamples) return 0;
  switch (t.nSizeBits) {
    case 4: {
      const u8 b = GetU8(m_p, m_n, t.nSizesAt + k / 2);
      return k % 2 ? (b & 0xF) : (b >> 4);
    }
    case 8: return GetU8(m_p, m_n, t.nSizesAt + k);
    case 16: return GetU16BE(m_p, m_n, t.nSizesAt + 2ull * k);
    default: return GetU32BE(m_p, m_n, t.nSizesAt + 4ull * k);
  }
}

bool CMp4Movie::HasCheckedTrack() const {
  for (const TRACK& t : m_tracks)
    if (t.nKind != KIND_OTHER) return true;
  return false;
}

MP4_WALK_STATE CMp4Movie::Begin() const {
  MP4_WALK_STATE s;
  if (!m_chunks.empty()) s.u64SampleAt = s.u64Next = m_chunks[0].u64Offset;
  return s;
}

namespace {

// Whether bytes [from, to) of a NAL unit's payload hold 00 00 00, 00 00 01
// or 00 00 02, which emulation prevention keeps out of every NAL unit.
// False also when they cannot be read.
bool NalPayloadClean(IMp4Source& src, u64 from, u64 to) {
  u8 buf[4096 + 2];
  size_t carry = 0;
  for (u64 at = from; at < to;) {
    const size_t take = static_cast<size_t>(std::min<u64>(4096, to - at));
    if (!src.Read(at, buf + carry, take)) return false;
    const size_t len = carry + take;
    for (size_t i = 0; i + 2 < len; ++i)
      if (buf[i] == 0 && buf[i + 1] == 0 && buf[i + 2] <= 2) return false;
    carry = len >= 2 ? 2 : len;
    std::memmove(buf, buf + len - carry, carry);
    at += take;
  }
  return true;
}

// Whether an AAC frame holds a whole sector's worth of zeros, which no encoder writes.
bool HasZeroSector(IMp4Source& src, u64 from, u64 to) {
  u8 buf[4096];
  u64 run = 0;
  for (u64 at = from; at < to;) {
    const size_t take = static_cast<size_t>(std::min<u64>(sizeof(buf), to - at));
    if (!src.Read(at, buf, take)) return true;
    for (size_t i = 0; i < take; ++i) {
      run = buf[i] ? 0 : run + 1;
      if (run >= 512) return true;
    }
    at += take;
  }
  return false;
}

}  // namespace

bool CMp4Movie::CheckSample(IMp4Source& src, const TRACK& t, u64 u64Sample, u64 u64End, u64& u64Next, bool bDeep,
                            u64& u64FailAt, u64& u64Checks, MP4_WALK_STATE& lastStrong, u64& u64LastStrongAt,
                            bool& bSawStrong, const MP4_WALK_STATE& here) const {
  if (t.nKind == KIND_AAC) {
    if (u64End == u64Sample || u64Next != u64Sample) return true;
    u8 b = 0;
    if (!src.Read(u64Sample, &b, 1) || !AacFirstByte(b, t.nChannels) || (bDeep && HasZeroSector(src, u64Sample, u64End))) {
      u64FailAt = u64Sample;
      return false;
    }
    ++u64Checks;
    u64Next = u64End;
    return true;
  }
  if (t.nKind != KIND_AVC && t.nKind != KIND_HEVC) {
    u64Next = u64End;
    return true;
  }
  const u64 nal = t.nNalBytes, hdr = t.nKind == KIND_HEVC ? 2 : 1;
  while (u64Next < u64End) {
    const u64 q = u64Next;
    u8 h[6];
    u64 len = 0;
    bool ok = u64End - q >= nal + hdr && src.Read(q, h, static_cast<size_t>(nal + hdr));
    if (ok) {
      for (u64 i = 0; i < nal; ++i) len = (len << 8) | h[i];
      ok = len >= hdr && len <= u64End - q - nal &&
           (hdr == 2 ? HevcHeader(h[nal], h[nal + 1]) : AvcHeader(h[nal]));
    }
    if (ok && bDeep) ok = NalPayloadClean(src, q + nal + hdr, q + nal + len);
    if (!ok) {
      u64FailAt = q;
      return false;
    }
    ++u64Checks;
    lastStrong = here;
    lastStrong.u64Next = q;
    u64LastStrongAt = q;
    bSawStrong = true;
    u64Next = q + nal + len;
  }
  return true;
}

void CMp4Movie::Walk(IMp4Source& src, MP4_WALK_STATE st, u64 nMaxChecks, u64 u64StopAt, bool bDeep,
                     MP4_WALK& out) const {
  out = MP4_WALK();
  for (size_t c = st.nChunk; c < m_chunks.size(); ++c) {
    const CHUNK& ch = m_chunks[c];
    const TRACK& t = m_tracks[ch.nTrack];
    const bool resume = c == st.nChunk;
    u32 k = resume ? st.nSample : 0;
    u64 at = resume ? st.u64SampleAt : ch.u64Offset;
    u64 next = resume ? st.u64Next : at;
    for (; k < ch.nSamples; ++k) {
      const u64 end = at + SampleSize(t, ch.nFirstSample + k);
      MP4_WALK_STATE here{c, k, at, next};
      if (next >= u64StopAt || (nMaxChecks && out.u64Checks >= nMaxChecks)) {
        out.nStop = MP4_WALK::LIMIT;
        out.at = here;
        return;
      }
      if (!CheckSample(src, t, at, end, next, bDeep, out.u64FailAt, out.u64Checks, out.lastStrong,
                       out.u64LastStrongAt, out.bSawStrong, here)) {
        out.nStop = MP4_WALK::FAILED;
        here.u64Next = out.u64FailAt;
        out.at = here;
        return;
      }
      at = end;
      next = end;
    }
  }
  out.nStop = MP4_WALK::DONE;
}

// ---- The rebuild ----

namespace {

// Absolute disk bytes through one read-ahead window.
class CDiskBytes {
 public:
  CDiskBytes(CDiskReader* pReader, u64 ss) : m_pReader(pReader), m_ss(ss), m_buf(new u8[kStepBytes]) {}
  bool Read(u64 pos, u8* out, size_t len) {
    while (len) {
      if (!(m_have && pos >= m_base && pos < m_base + m_have) && !Fill(pos)) return false;
      const size_t take = static_cast<size_t>(std::min<u64>(len, m_base + m_have - pos));
      std::memcpy(out, m_buf.get() + (pos - m_base), take);
      out += take;
      pos += take;
      len -= take;
    }
    return true;
  }

 private:
  bool Fill(u64 pos) {
    m_have = 0;
    const u64 sector = pos / m_ss, limit = m_pReader->GetSectorLimit();
    if (sector >= limit) return false;
    u64 count = kStepBytes / m_ss;
    if (limit - sector < count) count = limit - sector;
    if (m_pReader->ReadTolerant(m_buf.get(), static_cast<int>(count), static_cast<i64>(sector),
                                static_cast<int>(m_ss), nullptr) != 0)
      return false;
    m_base = sector * m_ss;
    m_have = static_cast<size_t>(count * m_ss);
    return true;
  }
  CDiskReader* m_pReader;
  u64 m_ss;
  std::unique_ptr<u8[]> m_buf;
  u64 m_base = 0;
  size_t m_have = 0;
};

// A trial reading of the file: [0, cut) from its first sector on, the rest
// `gap` bytes further on.
class CMapped : public IMp4Source {
 public:
  CMapped(CDiskBytes& disk, u64 base, u64 cut, u64 gap) : m_disk(disk), m_base(base), m_cut(cut), m_gap(gap) {}
  bool Read(u64 off, u8* out, size_t len) override {
    if (off > kMaxFileBytes || len > kMaxFileBytes - off) return false;
    if (off < m_cut && len > m_cut - off) {
      const size_t head = static_cast<size_t>(m_cut - off);
      return m_disk.Read(m_base + off, out, head) && m_disk.Read(m_base + m_cut + m_gap, out + head, len - head);
    }
    return m_disk.Read(m_base + off + (off < m_cut ? 0 : m_gap), out, len);
  }

 private:
  CDiskBytes& m_disk;
  u64 m_base, m_cut, m_gap;
};

bool TopLevel(const u8* t) {
  static const char kTypes[][5] = {"ftyp", "moov", "mdat", "free", "skip", "wide", "uuid", "pdin", "meta",
                                   "udta", "pnot", "junk", "prfl", "sidx"};
  for (const char* k : kTypes)
    if (std::memcmp(t, k, 4) == 0) return true;
  return false;
}

struct TOP_BOX {
  u8 type[4];
  u64 at, payload, end;
};

// The top-level box at `at`; false when none that this file could hold starts there.
bool ReadTopBox(IMp4Source& src, u64 at, TOP_BOX& b) {
  u8 h[16];
  if (!src.Read(at, h, 8)) return false;
  std::memcpy(b.type, h + 4, 4);
  if (!TopLevel(b.type)) return false;
  u64 size = GetU32BE(h, 8, 0);
  b.at = at;
  b.payload = at + 8;
  if (size == 1) {
    if (!src.Read(at + 8, h + 8, 8)) return false;
    size = GetU64BE(h, 16, 8);
    b.payload = at + 16;
    if (size < 16) return false;
  } else if (size < 8) {
    return false;  // size 0 (to the end of the container) gives no end to work with
  }
  if (size > kMaxFileBytes || at > kMaxFileBytes - size) return false;
  b.end = at + size;
  return true;
}

// Where the file read through src ends: after the last top-level box of an
// unbroken run from offset 0 (0 when there is none).
u64 FileEnd(IMp4Source& src) {
  u64 pos = 0;
  for (int boxes = 0; boxes < 64; ++boxes) {
    TOP_BOX b;
    if (!ReadTopBox(src, pos, b) || (pos != 0 && Is(b.type, "ftyp"))) break;
    pos = b.end;
  }
  return pos;
}

bool ReadAll(IMp4Source& src, u64 from, u64 to, std::vector<u8>& out) {
  if (to < from || to - from > kMaxMovieBytes) return false;
  out.resize(static_cast<size_t>(to - from));
  for (u64 at = 0; at < out.size();) {
    const size_t take = static_cast<size_t>(std::min<u64>(kStepBytes, out.size() - at));
    if (!src.Read(from + at, out.data() + at, take)) return false;
    at += take;
  }
  return true;
}

class CMp4Search {
 public:
  CMp4Search(CDiskReader* pReader, int ss, u64 start, int type, const std::vector<BIFRAG_RANGE>& claimed,
             const BIFRAG_LIMITS& limits)
      : m_pReader(pReader), m_ss(static_cast<u64>(ss)), m_start(start), m_base(start * static_cast<u64>(ss)),
        m_type(type), m_claimed(claimed), m_limits(limits), m_disk(pReader, static_cast<u64>(ss)),
        m_step(limits.nClusterBytes >= static_cast<u32>(ss) && limits.nClusterBytes % ss == 0 ? limits.nClusterBytes
                                                                                              : static_cast<u64>(ss)),
        m_t0(ThreadMillis()) {}

  bool Run(BIFRAG_PIECES& out, bool& certain) {
    CMapped contiguous(m_disk, m_base, kMaxFileBytes, 0);
    // The boxes up to the media data (and the movie box when it comes first).
    TOP_BOX mdat{}, moov{};
    bool sawMdat = false, sawMoov = false;
    u64 pos = 0;
    for (int boxes = 0; boxes < 16 && !sawMdat; ++boxes) {
      TOP_BOX b;
      if (!ReadTopBox(contiguous, pos, b) || (pos == 0) != Is(b.type, "ftyp")) break;
      if (Is(b.type, "moov")) {
        moov = b;
        sawMoov = true;
      }
      if (Is(b.type, "mdat")) {
        mdat = b;
        sawMdat = true;
      }
      pos = b.end;
    }
    if (sawMoov) {
      // The movie comes first: its tables are read in place.
      std::vector<u8> bytes;
      CMp4Movie movie;
      if (!ReadAll(contiguous, moov.payload, moov.end, bytes) || !movie.Parse(bytes.data(), bytes.size()) ||
          !movie.HasCheckedTrack())
        return false;
      return SearchMedia(movie, 0, out, certain);
    }
    if (!sawMdat) return false;
    // The movie follows the media data: in place, or past a gap.
    if (FindMovieAfter(mdat.end, 0, out, certain)) return true;
    for (u64 gap = m_step; gap <= m_limits.u64MaxGapBytes; gap += m_step) {
      if (OutOfTime()) return false;
      u8 h[8];
      if (!m_disk.Read(m_base + mdat.end + gap, h, 8)) return false;
      if (!TopLevel(h + 4) || Is(h + 4, "ftyp") || Is(h + 4, "mdat")) continue;
      if (FindMovieAfter(mdat.end, gap, out, certain)) return true;
    }
    return false;
  }

 private:
  // The budget is this thread's processor time: a busy machine does not cut
  // a search short, so the same disk gives the same answer.
  static u64 ThreadMillis() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<u64>(t.tv_sec) * 1000 + static_cast<u64>(t.tv_nsec) / 1000000;
  }
  bool OutOfTime() const { return ThreadMillis() - m_t0 > static_cast<u64>(m_limits.nMillis); }

  bool ClaimedSector(u64 sector) const {
    for (const BIFRAG_RANGE& r : m_claimed)
      if (sector >= r.u64FirstSector && sector - r.u64FirstSector < r.u64SectorCount) return true;
    return false;
  }

  // The movie box among the boxes from file offset `after` on, read `gap`
  // bytes past where a contiguous file would have them; then the media
  // data's break is looked for with that gap.
  bool FindMovieAfter(u64 after, u64 gap, BIFRAG_PIECES& out, bool& certain) {
    CMapped tail(m_disk, m_base, (after / m_ss) * m_ss, gap);
    u64 pos = after;
    for (int boxes = 0; boxes < 8; ++boxes) {
      TOP_BOX b;
      if (!ReadTopBox(tail, pos, b) || Is(b.type, "ftyp") || Is(b.type, "mdat")) return false;
      if (Is(b.type, "moov")) {
        std::vector<u8> bytes;
        CMp4Movie movie;
        if (!ReadAll(tail, b.payload, b.end, bytes) || !movie.Parse(bytes.data(), bytes.size()) ||
            !movie.HasCheckedTrack() || movie.DataEnd() > after)
          return false;
        return SearchMedia(movie, gap ? gap : UINT64_MAX, out, certain, after);
      }
      pos = b.end;
    }
    return false;
  }

  // The samples from the file's start, read contiguously, until one fails;
  // then the rest past a gap (knownGap: the one the movie box showed,
  // UINT64_MAX: the movie box is in place, so no gap can be; 0: unknown).
  // cutBound: the cut lies at or before it (the movie box read past the gap).
  bool SearchMedia(const CMp4Movie& movie, u64 knownGap, BIFRAG_PIECES& out, bool& certain,
                   u64 cutBound = UINT64_MAX) {
    CMapped contiguous(m_disk, m_base, kMaxFileBytes, 0);
    MP4_WALK w;
    movie.Walk(contiguous, movie.Begin(), 0, UINT64_MAX, false, w);
    if (knownGap == UINT64_MAX) return false;  // whole in place, or broken in a way two pieces do not mend
    const MP4_WALK_STATE from = w.bSawStrong ? w.lastStrong : movie.Begin();
    const u64 lower = w.bSawStrong ? w.u64LastStrongAt : 0;
    if (w.nStop != MP4_WALK::FAILED) {
      // Every sample read in place: the cut is after the last one.
      if (knownGap == 0) return false;
      return FindCut(movie, knownGap, from, lower, cutBound, out, certain);
    }
    const u64 breakAt = w.u64FailAt;
    if (knownGap) {
      CMapped trial(m_disk, m_base, (breakAt / m_ss) * m_ss, knownGap);
      MP4_WALK q;
      movie.Walk(trial, w.at, kQuickChecks, UINT64_MAX, false, q);
      if (q.nStop == MP4_WALK::FAILED) return false;
      return FindCut(movie, knownGap, from, lower, std::min(cutBound, breakAt + 8), out, certain);
    }
    for (u64 gap = m_step; gap <= m_limits.u64MaxGapBytes; gap += m_step) {
      if (OutOfTime()) return false;
      const u64 cut = (breakAt / m_ss) * m_ss;
      if (ClaimedSector((m_base + cut + gap) / m_ss)) continue;
      CMapped trial(m_disk, m_base, cut, gap);
      MP4_WALK q;
      movie.Walk(trial, w.at, kQuickChecks, UINT64_MAX, false, q);
      if (q.nStop == MP4_WALK::FAILED) continue;
      if (FindCut(movie, gap, from, lower, breakAt + 8, out, certain)) return true;
    }
    return false;
  }

  // The cut: a cluster boundary after the last NAL unit that checked in
  // place (lower) and at or before `upper`, such that the samples from
  // there read through the two pieces check, NAL payloads included.
  bool FindCut(const CMp4Movie& movie, u64 gap, const MP4_WALK_STATE& from, u64 lower, u64 upper,
               BIFRAG_PIECES& out, bool& certain) {
    std::vector<u64> fits;
    bool all = true;  // every candidate was tried
    for (u64 cut = (lower / m_step + 1) * m_step; cut <= upper; cut += m_step) {
      if (OutOfTime()) {
        all = false;
        break;
      }
      const u64 second = (m_base + cut + gap) / m_ss;
      if (ClaimedSector(second)) continue;
      CMapped trial(m_disk, m_base, cut, gap);
      MP4_WALK w;
      movie.Walk(trial, from, 0, std::max(cut, upper) + 1, true, w);
      if (w.nStop == MP4_WALK::FAILED) continue;
      if (w.nStop == MP4_WALK::LIMIT) {
        MP4_WALK after;
        movie.Walk(trial, w.at, kCutChecks, UINT64_MAX, true, after);
        if (after.nStop == MP4_WALK::FAILED) continue;
      }
      fits.push_back(cut);
    }
    if (fits.empty()) return false;
    // More than one fits (a frame larger than a cluster spans the cut):
    // where a live file fills the gap of exactly one of them, the file
    // system shows where the file was written around it.
    if (fits.size() > 1 && m_limits.pInUse) {
      std::vector<u64> marked;
      for (u64 c : fits)
        if (m_limits.pInUse->AllInUse((m_base + c) / m_ss, gap / m_ss)) marked.push_back(c);
      if (marked.size() == 1) fits = marked;
    }
    // More than one fits: the one on the coarsest boundary (a larger
    // cluster the gap is also a multiple of), the later one on a tie.
    u64 cut = fits[0];
    auto align = [](u64 v) { return v ? (v & (~v + 1)) : UINT64_MAX; };
    for (u64 c : fits)
      if (std::min(align(c), align(gap)) >= std::min(align(cut), align(gap))) cut = c;
    certain = all && fits.size() == 1;
    // The whole file through its two pieces, judged by the format's own checker.
    CMapped pieces(m_disk, m_base, cut, gap);
    const u64 size = FileEnd(pieces);
    if (size <= cut) return false;
    CARVE_CONTEXT ctx = CFileTypeJudge::MakeContext(m_pReader, static_cast<int>(m_ss), m_start);
    ctx.u64FirstPieceBytes = cut;
    ctx.u64SecondPieceSector = (m_base + cut + gap) / m_ss;
    u64 checked = size;
    u8 flags = 0;
    if (CFileTypeJudge::CheckIntegrity(ctx, m_type, checked, false, flags) != INTEGRITY_VERIFIED) return false;
    out.u64FirstPieceBytes = cut;
    out.u64SecondPieceSector = ctx.u64SecondPieceSector;
    out.u64Size = size;
    return true;
  }

  CDiskReader* m_pReader;
  u64 m_ss;
  u64 m_start, m_base;
  int m_type;
  const std::vector<BIFRAG_RANGE>& m_claimed;
  BIFRAG_LIMITS m_limits;
  CDiskBytes m_disk;
  u64 m_step;
  u64 m_t0;  // ThreadMillis() when the search began
};

}  // namespace

bool CMp4Rebuild::Supports(int nType) {
  return nType == TYPE_MP4 || nType == TYPE_MOV || nType == TYPE_3GP || nType == TYPE_3G2 || nType == TYPE_M4V;
}

bool CMp4Rebuild::Reassemble(CDiskReader* pReader, int nBytesPerSector, u64 u64StartSector, u64 u64CarvedSize,
                             int nType, const std::vector<BIFRAG_RANGE>& claimed, const BIFRAG_LIMITS& limits,
                             BIFRAG_PIECES& out, bool& bCutCertain) {
  out = BIFRAG_PIECES();
  bCutCertain = false;
  if (!pReader || !Supports(nType) || !CARVE_CONTEXT::IsUsableSectorSize(nBytesPerSector) || u64CarvedSize == 0)
    return false;
  CMp4Search search(pReader, nBytesPerSector, u64StartSector, nType, claimed, limits);
  if (!search.Run(out, bCutCertain)) return false;
  // Every sample checks either way; when several cuts fit, the bytes
  // between the two samples around it are a guess.
  out.nIntegrity = bCutCertain ? INTEGRITY_VERIFIED : INTEGRITY_UNVERIFIED;
  return true;
}

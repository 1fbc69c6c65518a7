// Size rules. A few formats state their length in the first sector; the rest
// are measured by reading forward from the start sector, one 64 KiB step at a
// time through the shared buffer, until an end marker, another file's start,
// file-system metadata or the type's maximum. Each forward rule is a maximum,
// an end test and (optionally) a marker search over each step's data.
#include <cstring>

#include "carve/FileTypeJudge.h"
#include "carve/FileTypeJudgeInternal.h"
#include "engine/ByteOrder.h"

using namespace carve_detail;

typedef CFileTypeJudge J;

namespace {

const u64 kMax128M = 134217728;         // 0x8000000
const u64 kMax256M = 268435456;         // 0x10000000
const u64 kMax1G = 1073741824;          // 0x40000000
const u64 kMax2G = 2147483648ull;       // 0x80000000
const u64 kMax4G = 4294967296ull;       // 0x100000000
const u64 kMax6G = 6442450944ull;       // 0x180000000
const u64 kMax64G = 68719476736ull;     // 0x1000000000
const u64 kMaxOffice = 134217727;       // 0x7FFFFFF
const u64 kMaxMidi = 8388608;           // 0x800000

u64 OneSector() {
  return J::IsUsableSectorSize(J::m_nBytesPerSector) ? static_cast<u64>(J::m_nBytesPerSector) : 512;
}

// What a marker search sees of one read-ahead step.
struct StepView {
  const u8* p;    // the data read (sector aligned)
  size_t n;       // bytes read
  size_t owned;   // bytes that still belong to this file: up to a boundary the end test found, else n
  u64 before;     // file bytes before this step, the start sector included
  bool boundary;  // the end test found another file or metadata in this step
};
// Returns true when it decided the size (written to size); the rule ends.
typedef bool (*MARKER)(const StepView& v, void* state, u64& size);

enum END_TEST { END_ANY, END_MPG };

u64 ForwardScan(u64 maxBytes, END_TEST endTest, MARKER marker, void* state) {
  const int ss = J::m_nBytesPerSector;
  if (!J::IsUsableSectorSize(ss) || !J::m_pReadBuf) return OneSector();
  u64 size = static_cast<u64>(ss);
  u64 budget = maxBytes / ss;
  u64 done = 0;
  u64 scanned = J::m_u64ScanSectorCount;
  const u64 perStep = J::READ_BUF_SIZE / ss;
  while (budget != 0) {
    unsigned int want = static_cast<unsigned int>(budget < perStep ? budget : perStep);
    unsigned int got = J::ReadContextSectors(J::m_u64StartSector + 1 + done, want, J::m_pReadBuf, J::READ_BUF_SIZE);
    if (got == 0) break;  // unreadable or the range's end: keep what we have
    scanned += got;
    if (J::m_progressFunc) {
      u64 total = J::m_u64SectorTotalCount;
      int progress = total ? static_cast<int>(scanned * 100 / total + 10) : 10;
      J::m_ErrorCode = J::m_progressFunc(J::m_pParam, progress, J::m_nPercent, J::m_nRemaidSecond, scanned,
                                         total, J::m_u64FileCount, nullptr);
      if (J::m_ErrorCode != 0) break;
    }
    const int bytes = static_cast<int>(got) * ss;
    u64 withBoundary = size;
    int boundary = endTest == END_MPG ? J::IsEndOfMPGFile(J::m_pReadBuf, bytes, withBoundary)
                                      : J::IsEndOfFile(J::m_pReadBuf, bytes, withBoundary);
    StepView v{J::m_pReadBuf, static_cast<size_t>(bytes),
               boundary ? static_cast<size_t>(withBoundary - size) : static_cast<size_t>(bytes), size,
               boundary != 0};
    size = withBoundary;
    if (marker && marker(v, state, size)) return size;
    if (boundary) return size;
    size += static_cast<u64>(bytes);
    budget -= got;
    done += got;
  }
  return size;
}

u64 Cap(u64 v, u64 cap) { return v < cap ? v : cap; }

// CRC-32 (IEEE, reflected), as the 7z start header uses.
u32 Crc32(const u8* p, size_t n) {
  static u32 table[256];
  static bool ready = false;
  if (!ready) {
    for (u32 i = 0; i < 256; ++i) {
      u32 c = i;
      for (int k = 0; k < 8; ++k) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      table[i] = c;
    }
    ready = true;
  }
  u32 crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; ++i) crc = table[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}

// ---- Marker searches ----

// An end code accepted only on a sector boundary or before a zero-filled
// sector tail; occurrences are tried in turn.
bool FindAcceptedEnd(const u8* p, size_t n, const void* code, size_t len, size_t& end) {
  const size_t ss = static_cast<size_t>(J::m_nBytesPerSector);
  for (size_t off = FindBytes(p, n, 0, code, len); off != npos; off = FindBytes(p, n, off + 1, code, len)) {
    if (IsAcceptedEnd(p, n, off + len, ss)) {
      end = off + len;
      return true;
    }
  }
  return false;
}

struct MpgState {
  bool videoOnly;  // an elementary video stream ends with 00 00 01 B7, a program stream with B9
};
bool MpgMarker(const StepView& v, void* state, u64& size) {
  static const u8 kSeqEnd[4] = {0, 0, 1, 0xB7}, kProgramEnd[4] = {0, 0, 1, 0xB9};
  const u8* code = static_cast<MpgState*>(state)->videoOnly ? kSeqEnd : kProgramEnd;
  size_t end = 0;
  // MPEG pieces never end the file, so the end code is looked for in all the data read.
  if (!FindAcceptedEnd(v.p, v.n, code, 4, end)) return false;
  size = v.before + end;
  return true;
}

bool Mp4Marker(const StepView& v, void*, u64& size) {
  static const char kTail[] = "freeIsoMedia File Produced";
  size_t off = FindBytes(v.p, v.owned, 0, kTail, 26);
  if (off == npos) return false;
  size_t e = off + 26;
  while (e < v.owned && v.p[e] != 0) ++e;
  size = v.before + e;
  return true;
}

bool RmvbMarker(const StepView& v, void*, u64& size) {
  static const u8 kTail[20] = {0x49, 0x4E, 0x44, 0x58, 0x00, 0x00, 0x00, 0x14, 0x00, 0x00,
                               0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00};
  size_t off = FindBytes(v.p, v.owned, 0, kTail, 20);
  if (off == npos) return false;
  size = v.before + off + 20;
  return true;
}

bool ApeMarker(const StepView& v, void*, u64& size) {
  static const u8 kTail[10] = {'A', 'P', 'E', 'T', 'A', 'G', 'E', 'X', 0xD0, 0x07};
  size_t first = FindBytes(v.p, v.owned, 0, kTail, 10);
  if (first == npos) return false;
  // A tag's header and footer: the file ends after the footer's 32 bytes.
  size_t second = FindBytes(v.p, v.owned, first + 10, kTail, 10);
  size = second != npos ? v.before + second + 32 : v.before + v.owned;
  return true;
}

struct CandidateState {
  bool has = false;
  u64 candidate = 0;
};
// The fallback when no run of MPEG audio frames can be followed: the last
// "TAG" of the file's own bytes (an ID3v1 tag is the file's last 128 bytes).
void Mp3LastTag(const StepView& v, CandidateState* s) {
  size_t off = FindLastBytes(v.p, v.owned, "TAG", 3);
  if (off != npos) {
    s->has = true;
    s->candidate = v.before + off + 128;
  }
}

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

// One MPEG audio frame header (4 bytes, big-endian bit fields): sync 11 bits,
// version 2, layer 2, protection 1 | bitrate 4, sample rate 2, padding 1,
// private 1 | channel mode 2, extension 2, copyright 1, original 1, emphasis 2.
struct MpegFrame {
  u8 version;  // 3 MPEG-1, 2 MPEG-2, 0 MPEG-2.5
  u8 layer;    // 3 Layer I, 2 Layer II, 1 Layer III
  u8 rateIndex;
  bool mono;
  bool crc;
  u32 bytes;   // the whole frame, header included
};
bool ParseMpegFrame(const u8* h, MpegFrame& f) {
  // kbit/s by [MPEG-1 ? 0 : 1][Layer I, II, III][index 1-14]
  static const u16 kBitrate[2][3][15] = {
      {{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
       {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
       {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320}},
      {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
       {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
       {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}}};
  static const u32 kRate[4][3] = {{11025, 12000, 8000}, {0, 0, 0}, {22050, 24000, 16000}, {44100, 48000, 32000}};
  if (h[0] != 0xFF || (h[1] & 0xE0) != 0xE0) return false;
  f.version = (h[1] >> 3) & 3;
  f.layer = (h[1] >> 1) & 3;
  f.crc = (h[1] & 1) == 0;
  const u8 bitrateIndex = h[2] >> 4;
  f.rateIndex = (h[2] >> 2) & 3;
  const u32 pad = (h[2] >> 1) & 1;
  f.mono = (h[3] >> 6) == 3;
  // Reserved version, layer, sample rate and emphasis; free-format frames
  // (index 0) state no length, index 15 is invalid.
  if (f.version == 1 || f.layer == 0 || f.rateIndex == 3 || (h[3] & 3) == 2) return false;
  if (bitrateIndex == 0 || bitrateIndex == 15) return false;
  const u32 bitrate = 1000u * kBitrate[f.version == 3 ? 0 : 1][3 - f.layer][bitrateIndex];
  const u32 rate = kRate[f.version][f.rateIndex];
  if (f.layer == 3) f.bytes = (12 * bitrate / rate + pad) * 4;
  else if (f.layer == 2 || f.version == 3) f.bytes = 144 * bitrate / rate + pad;
  else f.bytes = 72 * bitrate / rate + pad;  // Layer III, MPEG-2 and 2.5: half the samples per frame
  return f.bytes >= 4;
}

// Follows an MP3 from its ID3v2 tag through its run of MPEG audio frames to
// an ID3v1 "TAG" trailer and / or an APE tag after them, fed the file's bytes
// in order. A VBR header in the first frame ("Xing" / "Info" / "VBRI") that
// states the stream's byte count ends the run exactly there.
const u32 kMp3MinFrames = 8;          // a run this long is not chance
const u32 kMp3MaxLeadingZeros = 4096; // padding between the tag and the first frame
const u32 kApeTagMax = 16777216;      // 16 MiB of tag items (cover art included)
struct Mp3Walk {
  enum PHASE { LEAD, FRAMES, TRAILER, DONE, FAILED };
  PHASE ph = LEAD;
  u64 pos = 0;  // file offset of the next header
  u32 zeros = 0;
  u32 frames = 0;
  MpegFrame first{};
  u64 firstAt = 0;
  u64 streamBytes = 0;  // from a VBR header; 0 when none
  bool apeSeen = false;
  u64 end = 0;
  Carry carry;

  void ReadVbrHeader(const StepView& v) {
    // Side information follows the header (and its CRC): 32 / 17 bytes for
    // MPEG-1 stereo / mono, 17 / 9 for MPEG-2 and 2.5.
    const u64 side = first.version == 3 ? (first.mono ? 17 : 32) : (first.mono ? 9 : 17);
    const u64 at = firstAt + 4 + (first.crc ? 2 : 0) + side;
    u8 x[16];
    if (at + 16 <= firstAt + first.bytes && Peek(v, at, 16, x) &&
        (std::memcmp(x, "Xing", 4) == 0 || std::memcmp(x, "Info", 4) == 0)) {
      const u32 flags = GetU32BE(x, 16, 4);  // bit 0: frame count follows, bit 1: byte count
      if (flags & 2) streamBytes = GetU32BE(x, 16, (flags & 1) ? 12 : 8);
      return;
    }
    // "VBRI" 32 bytes after the header: version, delay, quality, then bytes (+10).
    if (firstAt + 4 + 32 + 14 <= firstAt + first.bytes && Peek(v, firstAt + 36, 14, x) &&
        std::memcmp(x, "VBRI", 4) == 0)
      streamBytes = GetU32BE(x, 14, 10);
  }
  bool Peek(const StepView& v, u64 at, size_t len, u8* out) const { return carry.Peek(v, at, len, out); }

  // Steps as far as the piece v allows; stops early to wait for more bytes.
  void Feed(const StepView& v) {
    const u64 stepEnd = v.before + v.owned;
    u32 guard = 0;
    while (ph != DONE && ph != FAILED && ++guard < 1000000) {
      if (ph == LEAD) {
        u8 c;
        if (!Peek(v, pos, 1, &c)) break;
        if (c == 0 && zeros < kMp3MaxLeadingZeros) {
          ++zeros;
          ++pos;
          continue;
        }
        ph = FRAMES;
      }
      if (ph == FRAMES) {
        if (frames >= kMp3MinFrames && streamBytes != 0 && pos - firstAt == streamBytes) {
          ph = TRAILER;  // the encoder's own count of the stream
          continue;
        }
        u8 h[4];
        if (!Peek(v, pos, 4, h)) break;
        MpegFrame f;
        const bool ok = ParseMpegFrame(h, f) && (frames == 0 || (f.version == first.version &&
                                                                 f.layer == first.layer &&
                                                                 f.rateIndex == first.rateIndex));
        if (!ok) {
          ph = frames >= kMp3MinFrames ? TRAILER : FAILED;
          continue;
        }
        if (frames == 0) {
          // The VBR header lies in the first frame: wait until it is all here.
          if (pos + f.bytes > stepEnd && pos + 64 > stepEnd) break;
          first = f;
          firstAt = pos;
          ReadVbrHeader(v);
        }
        ++frames;
        pos += f.bytes;
        continue;
      }
      if (ph == TRAILER) {
        u8 t[32];
        if (!Peek(v, pos, 32, t)) break;
        if (std::memcmp(t, "TAG", 3) == 0) {  // ID3v1: the last 128 bytes
          end = pos + 128;
          ph = DONE;
        } else if (!apeSeen && std::memcmp(t, "APETAGEX", 8) == 0 && (GetU32LE(t, 32, 20) & (1u << 29))) {
          // An APE tag that starts with its header: 32 bytes plus the size at
          // +12, which counts the items and the footer.
          const u32 tagSize = GetU32LE(t, 32, 12);
          if (tagSize < 32 || tagSize > kApeTagMax) {
            end = pos;
            ph = DONE;
          } else {
            pos += 32 + static_cast<u64>(tagSize);
            apeSeen = true;
          }
        } else {
          end = pos;
          ph = DONE;
        }
      }
    }
    carry.Keep(v);
  }
};

struct Mp3State {
  Mp3Walk walk;
  CandidateState last;
};
bool Mp3Marker(const StepView& v, void* state, u64& size) {
  Mp3State* s = static_cast<Mp3State*>(state);
  s->walk.Feed(v);
  if (s->walk.ph == Mp3Walk::DONE) {
    size = s->walk.end;
    return true;
  }
  Mp3LastTag(v, &s->last);
  return false;
}

// The fallback when a JPEG's segments cannot be followed: the last accepted
// FF D9 of the file's own bytes (a thumbnail's end marker earlier in the step
// does not hide the picture's own).
void JpgLastTail(const StepView& v, CandidateState* s) {
  static const u8 kTail[2] = {0xFF, 0xD9};
  const size_t ss = static_cast<size_t>(J::m_nBytesPerSector);
  for (size_t off = FindBytes(v.p, v.owned, 0, kTail, 2); off != npos; off = FindBytes(v.p, v.owned, off + 1, kTail, 2)) {
    if (IsAcceptedEnd(v.p, v.n, off + 2, ss)) {
      s->has = true;
      s->candidate = v.before + off + 2;
    }
  }
}

// Follows a JPEG's marker segments from SOI, fed the file's bytes in order,
// one piece at a time. Segments are skipped by their declared lengths (so an
// APPn segment with a thumbnail and its own FF D9 is passed over whole);
// after SOS the entropy-coded data runs to the next marker other than the
// stuffed FF 00 and the restart markers FF D0-D7. Progressive files repeat
// tables and SOS between scans. The first EOI reached this way ends the file.
struct JpegWalk {
  enum STATE { MARK_FF, MARK_CODE, LEN_HI, LEN_LO, SKIP, SCAN, SCAN_FF, END, BROKEN };
  STATE st = MARK_FF;
  u64 pos = 0;  // file offset of the next byte to look at
  u8 code = 0;  // the segment being read
  u32 len = 0;
  u32 skip = 0;  // bytes of the segment still to pass over
  bool sawSoi = false, sawFrame = false, sawSos = false;
  u64 end = 0;   // file length once st is END

  bool Done() const { return st == END || st == BROKEN; }

  void OnMarker(u8 c, u64 after) {
    if (!sawSoi) {
      if (c != 0xD8) {
        st = BROKEN;
        return;
      }
      sawSoi = true;
      st = MARK_FF;
      return;
    }
    if (c == 0xD9) {  // EOI: only after image data
      if (sawSos) {
        st = END;
        end = after;
      } else {
        st = BROKEN;
      }
      return;
    }
    if ((c >= 0xD0 && c <= 0xD7) || c == 0x01) {  // RSTn, TEM: no length field
      st = MARK_FF;
      return;
    }
    if (c < 0xC0 || c == 0xD8) {  // reserved codes, or a second SOI outside any segment
      st = BROKEN;
      return;
    }
    // SOF0-SOF15 except DHT (C4), JPG (C8) and DAC (CC).
    if (c >= 0xC0 && c <= 0xCF && c != 0xC4 && c != 0xC8 && c != 0xCC) sawFrame = true;
    if (c == 0xDA) {
      if (!sawFrame) {  // a scan needs a frame header before it
        st = BROKEN;
        return;
      }
      sawSos = true;
    }
    code = c;
    st = LEN_HI;
  }

  // p holds the n file bytes starting at file offset base, right after the
  // bytes fed before.
  void Feed(const u8* p, size_t n, u64 base) {
    if (Done()) return;
    if (base != pos) {  // not contiguous with what was seen: cannot follow
      st = BROKEN;
      return;
    }
    size_t i = 0;
    while (i < n && !Done()) {
      switch (st) {
        case MARK_FF:
          if (p[i++] != 0xFF) st = BROKEN;  // a segment must start with a marker
          else st = MARK_CODE;
          break;
        case MARK_CODE: {
          const u8 c = p[i++];
          if (c != 0xFF) OnMarker(c, base + i);  // FF FF...: fill bytes before the code
          break;
        }
        case LEN_HI:  // 16-bit big-endian length, itself included
          len = static_cast<u32>(p[i++]) << 8;
          st = LEN_LO;
          break;
        case LEN_LO:
          len |= p[i++];
          if (len < 2) {
            st = BROKEN;
            break;
          }
          skip = len - 2;
          st = skip ? SKIP : (code == 0xDA ? SCAN : MARK_FF);
          break;
        case SKIP: {
          const size_t k = n - i < skip ? n - i : skip;
          i += k;
          skip -= static_cast<u32>(k);
          if (skip == 0) st = code == 0xDA ? SCAN : MARK_FF;
          break;
        }
        case SCAN: {
          const void* hit = std::memchr(p + i, 0xFF, n - i);
          if (!hit) {
            i = n;
          } else {
            i = static_cast<size_t>(static_cast<const u8*>(hit) - p) + 1;
            st = SCAN_FF;
          }
          break;
        }
        case SCAN_FF: {
          const u8 c = p[i++];
          if (c == 0x00 || (c >= 0xD0 && c <= 0xD7)) st = SCAN;  // stuffed byte, restart marker: still data
          else if (c != 0xFF) OnMarker(c, base + i);          // any other marker ends the scan
          break;
        }
        case END:
        case BROKEN:
          break;
      }
    }
    pos = base + i;
  }
};

struct JpgState {
  JpegWalk walk;
  CandidateState last;
};
bool JpgMarker(const StepView& v, void* state, u64& size) {
  JpgState* s = static_cast<JpgState*>(state);
  s->walk.Feed(v.p, v.owned, v.before);
  if (s->walk.st == JpegWalk::END) {
    size = s->walk.end;
    return true;
  }
  JpgLastTail(v, &s->last);
  return false;
}

bool PngMarker(const StepView& v, void*, u64& size) {
  u64 off = 0;
  if (!J::GetPNGFileTailOffset(const_cast<u8*>(v.p), static_cast<int>(v.owned), off)) return false;
  size = v.before + off;
  return true;
}

bool GifMarker(const StepView& v, void*, u64& size) {
  u64 off = 0;
  if (!J::GetGIFFileTailOffset(const_cast<u8*>(v.p), static_cast<int>(v.owned), off)) return false;
  size = v.before + off;
  return true;
}

bool ZipMarker(const StepView& v, void*, u64& size) {
  static const u8 kEnd[4] = {0x50, 0x4B, 0x05, 0x06};
  size_t off = FindLastBytes(v.p, v.owned, kEnd, 4);
  if (off == npos) return false;
  // The end record is 22 bytes plus its comment (length at +20).
  u64 end = off + 22;
  u16 comment = 0;
  if (ReadU16LE(v.p, v.n, off + 20, comment)) end += comment;
  size = v.before + end;
  return true;
}

bool SevenZipMarker(const StepView& v, void*, u64& size) {
  static const u8 kTail[12] = {0x00, 0x07, 0x0B, 0x01, 0x00, 0x01, 0x23, 0x03, 0x01, 0x01, 0x05, 0x5D};
  size_t off = FindLastBytes(v.p, v.owned, kTail, 12);
  if (off == npos) return false;
  size = v.before + off + 27;
  return true;
}

bool PdfMarker(const StepView& v, void*, u64& size) {
  size_t off = FindLastBytes(v.p, v.owned, "%%EOF", 5);
  if (off != npos) {
    // The line end after %%EOF belongs to the file.
    size_t e = off + 5;
    if (e < v.owned && v.p[e] == '\r') ++e;
    if (e < v.owned && v.p[e] == '\n') ++e;
    size = v.before + e;
    return true;
  }
  off = FindLastBytes(v.p, v.owned, "trailer", 7);
  if (off == npos) return false;
  size = v.before + off + 7;
  return true;
}

bool RarMarker(const StepView& v, void*, u64& size) {
  static const u8 kTail[7] = {0xC4, 0x3D, 0x7B, 0x00, 0x40, 0x07, 0x00};
  size_t end = 0;
  if (!FindAcceptedEnd(v.p, v.owned, kTail, 7, end)) return false;
  size = v.before + end;
  return true;
}

bool DocTailMarker(const StepView& v, void*, u64& size) {
  static const u8 kTailHead[6] = {0x01, 0x00, 0xFE, 0xFF, 0x03, 0x0A};
  static const u8 kTail[26] = {'M', 'i', 'c', 'r', 'o', 's', 'o', 'f', 't', ' ', 'O', 'f', 'f',
                               'i', 'c', 'e', ' ', 'W', 'o', 'r', 'd', ' ', 0xCE, 0xC4, 0xB5, 0xB5};
  if (FindBytes(v.p, v.owned, 0, kTailHead, 6) == npos) return false;
  size_t off = FindBytes(v.p, v.owned, 0, kTail, 26);
  if (off == npos) return false;
  const u64 ss = static_cast<u64>(J::m_nBytesPerSector);
  u64 end = off + 26;
  size = v.before + (end + ss - 1) / ss * ss;
  return true;
}

struct TsState {
  u64 nextPacket;    // file offset of the first packet not yet looked at
  bool broken = false;
  u64 chainEnd = 0;  // file offset of the first packet out of step
};
bool TsMarker(const StepView& v, void* state, u64& size) {
  TsState* s = static_cast<TsState*>(state);
  const u64 stepEnd = v.before + v.n;
  while (s->nextPacket + 188 <= stepEnd) {
    if (s->nextPacket >= v.before && v.p[s->nextPacket - v.before] != kTsSync) {
      s->broken = true;
      s->chainEnd = s->nextPacket;
      // Reading further cannot move the end: the size is cut to the chain
      // end afterwards, so stop here instead of reading up to the maximum.
      if (!v.boundary) size = stepEnd;
      return true;
    }
    s->nextPacket += 188;
  }
  return false;
}

// Reads len (at most 16) bytes at file offset off of the candidate file:
// from its first sector when they lie there, else through the context's
// reader (two sectors at most). False when they cannot be read.
bool ReadFileBytes(const Bytes& first, u64 off, u8* out, size_t len) {
  if (len > 16) return false;
  if (off <= first.n && len <= first.n - off) {
    std::memcpy(out, first.p + off, len);
    return true;
  }
  const int ss = J::m_nBytesPerSector;
  if (!J::IsUsableSectorSize(ss)) return false;
  u8 two[2 * J::MAX_SECTOR_SIZE];
  const u64 sector = off / static_cast<u64>(ss);
  const size_t in = static_cast<size_t>(off % static_cast<u64>(ss));
  const unsigned int span = in + len > static_cast<size_t>(ss) ? 2 : 1;
  if (J::ReadContextSectors(J::m_u64StartSector + sector, span, two, sizeof(two)) != span) return false;
  std::memcpy(out, two + in, len);
  return true;
}

// Box types that may stand at the top level of an ISO base media file
// (MP4, 3GP, QuickTime).
bool IsTopLevelBox(const u8* t) {
  static const char kTypes[][5] = {"ftyp", "moov", "mdat", "free", "skip", "wide", "uuid", "pdin", "moof",
                                   "mfra", "meta", "styp", "sidx", "ssix", "prft", "emsg", "pnot", "udta",
                                   "prfl", "junk"};
  for (const char* k : kTypes)
    if (std::memcmp(t, k, 4) == 0) return true;
  return false;
}

const u32 kIsoMaxBoxes = 1u << 20;  // fragmented files hold thousands; a bound for damaged ones

// Walks the top-level boxes from offset 0: 32-bit big-endian size (0), type
// (4), and for size 1 a 64-bit size (8). The file ends where the last box
// that looks right ends. False (no length) when a box runs to the end of the
// container (size 0), past maxBytes, or no movie box was seen.
bool WalkIsoBoxes(const Bytes& first, u64 maxBytes, u64& end) {
  u64 pos = 0;
  bool sawMovie = false;
  for (u32 boxes = 0; boxes < kIsoMaxBoxes; ++boxes) {
    u8 h[16];
    if (!ReadFileBytes(first, pos, h, 8)) break;  // the range ends here
    if (!IsTopLevelBox(h + 4)) break;
    if (pos != 0 && std::memcmp(h + 4, "ftyp", 4) == 0) break;  // the next file's start
    u64 size = GetU32BE(h, 8, 0);
    if (size == 1) {
      if (!ReadFileBytes(first, pos + 8, h + 8, 8)) break;
      size = GetU64BE(h, 16, 8);
      if (size < 16) break;
    } else if (size == 0) {
      return false;
    } else if (size < 8) {
      break;
    }
    if (size > maxBytes || pos > maxBytes - size) return false;
    if (std::memcmp(h + 4, "moov", 4) == 0) sawMovie = true;
    pos += size;
  }
  if (!sawMovie) return false;
  end = pos;
  return true;
}

// A length stated by the file's own structure, still cut at another file's
// start or at metadata inside it, with the usual read-ahead, progress and
// cancellation.
u64 DeclaredLength(u64 declared) {
  const u64 ss = OneSector();
  if (declared <= ss) return declared;
  u64 size = ForwardScan((declared + ss - 1) / ss * ss - ss, END_ANY, nullptr, nullptr);
  return size < declared ? size : declared;
}

}  // namespace

// ---- End tests ----

int CFileTypeJudge::IsEndOfFile(unsigned char* pBuf, int nLen, u64& u64Size) {
  const int ss = m_nBytesPerSector;
  if (!pBuf || nLen <= 0 || !IsUsableSectorSize(ss)) return 0;
  const int sectors = nLen / ss;
  for (int i = 0; i < sectors; ++i) {
    ++m_u64CurrentSector;  // the detectors read relative to the sector under test
    unsigned char* sector = pBuf + static_cast<size_t>(i) * ss;
    if (DetectFileType(sector, ss) != TYPE_NONE || IsFileSystemSector(sector, ss)) {
      u64Size += static_cast<u64>(i) * ss;
      return 1;
    }
  }
  return 0;
}

int CFileTypeJudge::IsEndOfVedioFile(unsigned char* pBuf, int nLen, u64& u64Size) {
  return IsEndOfFile(pBuf, nLen, u64Size);
}

int CFileTypeJudge::IsEndOfMPGFile(unsigned char* pBuf, int nLen, u64& u64Size) {
  const int ss = m_nBytesPerSector;
  if (!pBuf || nLen <= 0 || !IsUsableSectorSize(ss)) return 0;
  const int sectors = nLen / ss;
  for (int i = 0; i < sectors; ++i) {
    ++m_u64CurrentSector;
    unsigned char* sector = pBuf + static_cast<size_t>(i) * ss;
    int type = DetectFileType(sector, ss);
    if ((type != TYPE_NONE && type != TYPE_MPEG) || IsFileSystemSector(sector, ss)) {
      u64Size += static_cast<u64>(i) * ss;
      return 1;
    }
  }
  return 0;
}

// ---- Tail helpers ----

int CFileTypeJudge::GetJPGFileTailOffset(unsigned char* pBuf, int nLen, u64& u64Offset) {
  static const u8 kTail[2] = {0xFF, 0xD9};
  Bytes b(pBuf, nLen);
  size_t end = 0;
  if (!FindAcceptedEnd(b.p, b.n, kTail, 2, end)) return 0;
  u64Offset = end;
  return 1;
}

int CFileTypeJudge::GetPNGFileTailOffset(unsigned char* pBuf, int nLen, u64& u64Offset) {
  static const u8 kTail[8] = {0x49, 0x45, 0x4E, 0x44, 0xAE, 0x42, 0x60, 0x82};
  Bytes b(pBuf, nLen);
  size_t end = 0;
  if (!FindAcceptedEnd(b.p, b.n, kTail, 8, end)) return 0;
  u64Offset = end;
  return 1;
}

int CFileTypeJudge::GetGIFFileTailOffset(unsigned char* pBuf, int nLen, u64& u64Offset) {
  static const u8 kTail[2] = {0x00, 0x3B};
  Bytes b(pBuf, nLen);
  size_t end = 0;
  if (!FindAcceptedEnd(b.p, b.n, kTail, 2, end)) return 0;
  u64Offset = end;
  return 1;
}

// ---- Rules that read the length from the first sector ----

u64 CFileTypeJudge::GetASFFileBytesSize(unsigned char* pBuf, int nLen) {
  static const u8 kFileProperties[16] = {0xA1, 0xDC, 0xAB, 0x8C, 0x47, 0xA9, 0xCF, 0x11,
                                         0x8E, 0xE4, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
  Bytes b(pBuf, nLen);
  size_t p = FindBytes(b.p, b.n, 30, kFileProperties, 16);
  if (p == npos || p + 92 > b.n) return OneSector();
  u32 flags = GetU32LE(b.p, b.n, p + 88);
  if (flags & 1) return OneSector();  // a broadcast stream has no file size
  return Cap(GetU64LE(b.p, b.n, p + 40), kMax256M);
}

u64 CFileTypeJudge::GetSWFFileBytesSize(unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  if (!b.AtLeast(8) || b.p[0] != 'F') return OneSector();  // compressed: the length is of the inflated data
  return Cap(GetU32LE(b.p, b.n, 4), kMax256M);
}

u64 CFileTypeJudge::GetAVIFileBytesSize(unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  if (!b.AtLeast(16)) return OneSector();
  return static_cast<u64>(GetU32LE(b.p, b.n, 4)) + 8;  // RIFF size excludes its 8-byte header
}

u64 CFileTypeJudge::GetWAVFileBytesSize(unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  if (!b.AtLeast(8)) return OneSector();
  return static_cast<u64>(GetU32LE(b.p, b.n, 4)) + 8;
}

u64 CFileTypeJudge::GetBMPFileBytesSize(unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  if (!b.AtLeast(6)) return 0;
  return Cap(GetU32LE(b.p, b.n, 2), kMax128M);
}

u64 CFileTypeJudge::GetCABFileBytesSize(unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  if (!b.AtLeast(36)) return OneSector();
  return Cap(GetU32LE(b.p, b.n, 8), kMax1G);
}

u64 CFileTypeJudge::GetICOFileBytesSize(unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  if (!b.AtLeast(6)) return OneSector();
  const size_t count = GetU16LE(b.p, b.n, 4);
  if (count == 0) return OneSector();
  const size_t dirEnd = 16 * count + 6;
  const u8* p = b.p;
  size_t n = b.n;
  if (dirEnd > n) {
    // A directory longer than the sector: read it whole from the start sector.
    const int ss = m_nBytesPerSector;
    if (!IsUsableSectorSize(ss) || !m_pReadBuf) return OneSector();
    unsigned int got = ReadContextSectors(m_u64StartSector, READ_BUF_SIZE / ss, m_pReadBuf, READ_BUF_SIZE);
    p = m_pReadBuf;
    n = static_cast<size_t>(got) * ss;
    if (dirEnd > n) return OneSector();
  }
  // The last entry: image size at +8, image offset at +12.
  u64 size = static_cast<u64>(GetU32LE(p, n, 16 * count + 2)) + GetU32LE(p, n, 16 * count - 2);
  return Cap(size, kMax128M);
}

u64 CFileTypeJudge::GetTTFFileBytesSize(unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  if (!b.AtLeast(6)) return OneSector();
  const size_t tables = GetU16BE(b.p, b.n, 4);
  if (tables == 0) return 0;
  const u8* p = b.p;
  size_t n = b.n;
  if (16 * tables + 12 > n) {
    const int ss = m_nBytesPerSector;
    if (!IsUsableSectorSize(ss) || !m_pReadBuf) return OneSector();
    unsigned int got = ReadContextSectors(m_u64StartSector, READ_BUF_SIZE / ss, m_pReadBuf, READ_BUF_SIZE);
    p = m_pReadBuf;
    n = static_cast<size_t>(got) * ss;
    if (16 * tables + 12 > n) return OneSector();
  }
  // Table records at 12 + 16 i: big-endian offset at +8 and length at +12.
  u64 end = 0;
  for (size_t i = 0; i < tables; ++i) {
    size_t rec = 12 + 16 * i;
    u64 e = static_cast<u64>(GetU32BE(p, n, rec + 8)) + GetU32BE(p, n, rec + 12);
    if (e > end) end = e;
  }
  // Tables are padded to a 4-byte boundary, the last one included.
  end = (end + 3) / 4 * 4;
  return Cap(end, kMax128M);
}

// ---- Forward-scan rules ----

u64 CFileTypeJudge::GetDefaultVedioFileBytesSize(unsigned char*, int) {
  return ForwardScan(kMax4G, END_ANY, nullptr, nullptr);
}
u64 CFileTypeJudge::GetMKVFileBytes(unsigned char*, int) { return ForwardScan(kMax64G, END_ANY, nullptr, nullptr); }
u64 CFileTypeJudge::GetDefaultAudioFileBytesSize(unsigned char*, int) {
  return ForwardScan(kMax256M, END_ANY, nullptr, nullptr);
}
u64 CFileTypeJudge::GetFLAFileBytesSize(unsigned char* pBuf, int nLen) { return GetDefaultAudioFileBytesSize(pBuf, nLen); }
u64 CFileTypeJudge::GetDefaultPictureFileBytesSize(unsigned char*, int) {
  return ForwardScan(kMax128M, END_ANY, nullptr, nullptr);
}
u64 CFileTypeJudge::GetDBFileBytesSize(unsigned char*, int) { return ForwardScan(kMax6G, END_ANY, nullptr, nullptr); }
u64 CFileTypeJudge::GetMailFileBytesSize(unsigned char*, int) { return ForwardScan(kMax2G, END_ANY, nullptr, nullptr); }

u64 CFileTypeJudge::GetMPGFileBytesSize(unsigned char* pBuf, int nLen) {
  static const u8 kVideoSeq[4] = {0, 0, 1, 0xB3};
  MpgState s{BytesEqual(pBuf, pBuf && nLen > 0 ? nLen : 0, 0, kVideoSeq, 4)};
  return ForwardScan(kMax4G, END_MPG, MpgMarker, &s);
}
u64 CFileTypeJudge::GetMP4FileBytesSize(unsigned char* pBuf, int nLen) {
  u64 end = 0;
  if (WalkIsoBoxes(Bytes(pBuf, nLen), kMax4G, end)) return DeclaredLength(end);
  return ForwardScan(kMax4G, END_ANY, Mp4Marker, nullptr);
}
u64 CFileTypeJudge::GetISOMediaFileBytesSize(unsigned char* pBuf, int nLen) {
  u64 end = 0;
  if (WalkIsoBoxes(Bytes(pBuf, nLen), kMax4G, end)) return DeclaredLength(end);
  return GetDefaultVedioFileBytesSize(pBuf, nLen);
}
u64 CFileTypeJudge::GetRMVBFileBytesSize(unsigned char*, int) { return ForwardScan(kMax4G, END_ANY, RmvbMarker, nullptr); }
u64 CFileTypeJudge::GetAPEFileBytesSize(unsigned char*, int) { return ForwardScan(kMax2G, END_ANY, ApeMarker, nullptr); }

u64 CFileTypeJudge::GetMP3FileBytesSize(unsigned char* pBuf, int nLen) {
  Mp3State s;
  Bytes b(pBuf, nLen);
  // ID3v2 header: "ID3", version (3-4), flags (5; 0x10: a 10-byte footer
  // follows the tag), synchsafe size of the rest (6-9, 7 bits a byte).
  if (b.AtLeast(10) && b.Eq(0, "ID3", 3)) {
    u64 tag = 0;
    for (int i = 6; i < 10; ++i) tag = tag << 7 | (b.p[i] & 0x7F);
    s.walk.pos = 10 + tag + ((b.p[5] & 0x10) ? 10 : 0);
  } else {
    s.walk.ph = Mp3Walk::FAILED;
  }
  const size_t first = b.n < OneSector() ? b.n : static_cast<size_t>(OneSector());
  if (b.p && first != 0) {
    StepView v{b.p, first, first, 0, false};
    s.walk.Feed(v);
    if (s.walk.ph == Mp3Walk::DONE) return s.walk.end;
    if (first != OneSector()) s.walk.ph = Mp3Walk::FAILED;  // the read-ahead would not follow on
  }
  u64 size = ForwardScan(kMax2G, END_ANY, Mp3Marker, &s);
  if (s.walk.ph == Mp3Walk::DONE) return size;
  // The data ran out (another file, the range's end, the maximum): the frames
  // seen so far, when there were enough of them.
  if (s.walk.ph != Mp3Walk::FAILED && s.walk.ph != Mp3Walk::LEAD && s.walk.frames >= kMp3MinFrames)
    return s.walk.pos < size ? s.walk.pos : size;
  if (s.last.has && s.last.candidate < size) size = s.last.candidate;
  return size;
}

u64 CFileTypeJudge::GetJPGFileBytesSize(unsigned char* pBuf, int nLen) {
  JpgState s;
  Bytes b(pBuf, nLen);
  const size_t first = b.n < OneSector() ? b.n : static_cast<size_t>(OneSector());
  if (b.p) s.walk.Feed(b.p, first, 0);
  if (s.walk.st == JpegWalk::END) return s.walk.end;  // the whole picture is in its first sector
  u64 off = 0;
  const bool firstTail = GetJPGFileTailOffset(pBuf, nLen, off) != 0;
  // Without followable segments, an accepted end in the first sector is taken at once.
  if (firstTail && s.walk.st == JpegWalk::BROKEN) return off;
  u64 size = ForwardScan(kMax128M, END_ANY, JpgMarker, &s);
  if (s.walk.st == JpegWalk::END) return size;
  if (firstTail) return off;
  if (s.last.has && s.last.candidate < size) size = s.last.candidate;
  return size;
}

u64 CFileTypeJudge::GetPNGFileBytesSize(unsigned char* pBuf, int nLen) {
  u64 off = 0;
  if (GetPNGFileTailOffset(pBuf, nLen, off)) return off;
  return ForwardScan(kMax128M, END_ANY, PngMarker, nullptr);
}

u64 CFileTypeJudge::GetGIFFileBytesSize(unsigned char* pBuf, int nLen) {
  u64 off = 0;
  if (GetGIFFileTailOffset(pBuf, nLen, off)) return off;
  return ForwardScan(kMax128M, END_ANY, GifMarker, nullptr);
}

// The end record comes last in an archive: one inside the first sector means
// the whole archive is there (a small package or zip is often that short).
static bool ZipEndInFirstSector(unsigned char* pBuf, int nLen, u64& size) {
  Bytes b(pBuf, nLen);
  StepView v{b.p, b.n, b.n, 0, false};
  return b.p && ZipMarker(v, nullptr, size);
}

u64 CFileTypeJudge::GetOFFICE2007FileBytesSize(unsigned char* pBuf, int nLen) {
  u64 size = 0;
  if (ZipEndInFirstSector(pBuf, nLen, size)) return size;
  return ForwardScan(kMaxOffice, END_ANY, ZipMarker, nullptr);
}
u64 CFileTypeJudge::GetZIPFileBytesSize(unsigned char* pBuf, int nLen) {
  u64 size = 0;
  if (ZipEndInFirstSector(pBuf, nLen, size)) return size;
  return ForwardScan(kMax4G, END_ANY, ZipMarker, nullptr);
}
u64 CFileTypeJudge::Get7ZFileBytesSize(unsigned char* pBuf, int nLen) {
  // The start header states where the archive's own header ends: 32 bytes,
  // then the next-header offset (0x0C) and size (0x14), guarded by a CRC of
  // those 20 bytes (0x08). When it checks out it is exact; the end pattern's
  // fixed distance is not (it depends on how the sizes before it are coded).
  Bytes b(pBuf, nLen);
  if (b.AtLeast(32) && Crc32(b.p + 12, 20) == GetU32LE(b.p, b.n, 8)) {
    u64 offset = GetU64LE(b.p, b.n, 12), size = GetU64LE(b.p, b.n, 20);
    if (offset <= kMax4G && size <= kMax4G && 32 + offset + size <= kMax4G) return 32 + offset + size;
  }
  return ForwardScan(kMax4G, END_ANY, SevenZipMarker, nullptr);
}
u64 CFileTypeJudge::GetPDFFileBytesSize(unsigned char*, int) { return ForwardScan(kMax1G, END_ANY, PdfMarker, nullptr); }
u64 CFileTypeJudge::GetRARFileBytesSize(unsigned char*, int) { return ForwardScan(kMax4G, END_ANY, RarMarker, nullptr); }

u64 CFileTypeJudge::GetOFFICE2003FileBytesSize(unsigned char* pBuf, int nLen) {
  u64 size = GetOFFICE2003FileBytesSizeByFileHead(pBuf, nLen);
  if (size != 0) return size;
  return ForwardScan(kMaxOffice, END_ANY, DocTailMarker, nullptr);
}

u64 CFileTypeJudge::GetTSFileBytesSize(unsigned char*, int) {
  const u64 ss = OneSector();
  TsState s;
  s.nextPacket = (ss + 187) / 188 * 188;  // the start sector's packets were checked by the detector
  u64 size = ForwardScan(kMax64G, END_ANY, TsMarker, &s);
  u64 cut = s.broken ? s.chainEnd : s.nextPacket;
  if (cut < size) size = cut;
  // Later candidates inside this stream are its own packets, not new streams.
  u64 last = m_u64StartSector + (size + ss - 1) / ss - 1;
  m_tsFileRangeVec.push_back({m_u64StartSector, last < m_u64StartSector ? m_u64StartSector : last});
  return size;
}

u64 CFileTypeJudge::GetMIDFileBytesSize(unsigned char* pBuf, int nLen) {
  // Walk the track chunks by their declared lengths: header chunk (14 bytes),
  // then n chunks of "MTrk" + 32-bit big-endian length.
  Bytes b(pBuf, nLen);
  const u64 ss = OneSector();
  u32 tracks = GetU16BE(b.p, b.n, 10);
  u64 pos = 14;
  bool complete = true;
  u8 head[2 * MAX_SECTOR_SIZE];
  for (u32 t = 0; t < tracks; ++t) {  // bounded by the 16-bit count and the size cap
    u8 chunk[8];
    if (pos + 8 <= b.n) {
      std::memcpy(chunk, b.p + pos, 8);
    } else {
      u64 sector = pos / ss;
      unsigned int span = static_cast<unsigned int>((pos % ss + 8 + ss - 1) / ss);
      if (ReadContextSectors(m_u64StartSector + sector, span, head, sizeof(head)) != span) {
        complete = false;
        break;
      }
      std::memcpy(chunk, head + pos % ss, 8);
    }
    if (std::memcmp(chunk, "MTrk", 4) != 0) {
      complete = false;
      break;
    }
    pos += 8 + static_cast<u64>(GetU32BE(chunk, 8, 4));
    if (pos > kMaxMidi) {
      complete = false;
      break;
    }
  }
  if (!complete) return ForwardScan(kMaxMidi, END_ANY, nullptr, nullptr);
  if (pos <= ss) return pos;
  // Still stop at another file's start inside the declared extent.
  u64 size = ForwardScan((pos + ss - 1) / ss * ss - ss, END_ANY, nullptr, nullptr);
  return size < pos ? size : pos;
}

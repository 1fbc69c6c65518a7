// MPEG audio: MP3 files that start with an ID3v2 tag or straight with their
// frames, measured along their run of audio frames to the trailing tags;
// MPEG-1 Layer II streams; and AAC in ADTS frames.
#include <array>
#include <utility>

#include "carve/formats/FormatKit.h"
#include "carve/formats/Formats.h"

using namespace carve_detail;

namespace carvefmt {

namespace {

const CARVE_SIGNATURE kMp3Signatures[] = {CARVE_SIG(0, "ID3")};
const CARVE_SIGNATURE kMp2Signatures[] = {CARVE_SIG(0, "\xFF\xFD\xE4\x00")};
// Frame headers' first three bytes: FF, a second byte with a version and a
// layer (E2-E7, F2-F7, FA-FF), a third with a bitrate index 1-14 and a
// sample rate index 0-2. Made at compile time, so that erased flash (FF FF
// FF) and other near misses stay out of the quick tables.
constexpr int kFrameSecondBytes = 18, kFrameThirdBytes = 14 * 3 * 4;
constexpr int kFrameSignatureCount = kFrameSecondBytes * kFrameThirdBytes;
struct FRAME_STARTS {
  char bytes[kFrameSignatureCount][3];
};
constexpr FRAME_STARTS MakeFrameStarts() {
  FRAME_STARTS t{};
  const unsigned char second[kFrameSecondBytes] = {0xE2, 0xE3, 0xE4, 0xE5, 0xE6, 0xE7, 0xF2, 0xF3, 0xF4,
                                                   0xF5, 0xF6, 0xF7, 0xFA, 0xFB, 0xFC, 0xFD, 0xFE, 0xFF};
  int k = 0;
  for (int s = 0; s < kFrameSecondBytes; ++s)
    for (int bitrate = 1; bitrate <= 14; ++bitrate)
      for (int rate = 0; rate <= 2; ++rate)
        for (int low = 0; low < 4; ++low) {
          t.bytes[k][0] = static_cast<char>(0xFF);
          t.bytes[k][1] = static_cast<char>(second[s]);
          t.bytes[k][2] = static_cast<char>(bitrate << 4 | rate << 2 | low);
          ++k;
        }
  return t;
}
constexpr FRAME_STARTS kFrameStarts = MakeFrameStarts();
template <int... I>
constexpr std::array<CARVE_SIGNATURE, sizeof...(I)> FrameSignatures(std::integer_sequence<int, I...>) {
  return {{CARVE_SIGNATURE{0, 3, kFrameStarts.bytes[I], SIG_BYTES}...}};
}
constexpr std::array<CARVE_SIGNATURE, kFrameSignatureCount> kFrameSignatures =
    FrameSignatures(std::make_integer_sequence<int, kFrameSignatureCount>());
const CARVE_SIGNATURE kAdtsSignatures[] = {CARVE_SIG(0, "\xFF\xF0"), CARVE_SIG(0, "\xFF\xF1"),
                                           CARVE_SIG(0, "\xFF\xF8"), CARVE_SIG(0, "\xFF\xF9")};
const int kMpegFramesMin = 4;  // a run this long in noise is rare

// The fallback when no run of MPEG audio frames can be followed: the last
// "TAG" of the file's own bytes (an ID3v1 tag is the file's last 128 bytes).
void Mp3LastTag(const StepView& v, CandidateState* s) {
  size_t off = FindLastBytes(v.p, v.owned, "TAG", 3);
  if (off != npos) {
    s->has = true;
    s->candidate = v.before + off + 128;
  }
}


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
  bool counted = false;  // the run ended where the VBR header's byte count says
  bool tagged = false;   // an ID3v1 tag ended it
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
          counted = true;
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
          tagged = true;
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
bool Mp3Marker(CARVE_CONTEXT&, const StepView& v, void* state, u64& size) {
  Mp3State* s = static_cast<Mp3State*>(state);
  s->walk.Feed(v);
  if (s->walk.ph == Mp3Walk::DONE) {
    size = s->walk.end;
    return true;
  }
  Mp3LastTag(v, &s->last);
  return false;
}

}  // namespace

int IsMp3Type(CARVE_CONTEXT&, const unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  if (!b.AtLeast(10) || !b.Eq(0, "ID3", 3)) return TYPE_NONE;
  if (b.p[3] == 0xFF || b.p[4] == 0xFF || (b.p[5] & 0x1F) != 0) return TYPE_NONE;
  for (int i = 6; i < 10; ++i)
    if (b.p[i] >= 0x80) return TYPE_NONE;  // the tag size is a 28-bit syncsafe number
  return TYPE_MP3;
}

int IsMp2Type(CARVE_CONTEXT&, const unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  static const u8 kHead[4] = {0xFF, 0xFD, 0xE4, 0x00};
  return b.AtLeast(4) && b.Eq(0, kHead, 4) ? TYPE_MP2 : TYPE_NONE;
}

// The frame chain from the tag to the end. Frames carry no checksum a cut
// would break, so a run is only known whole when something states its end:
// the VBR header's byte count, or an ID3v1 / APE tag right after the last
// frame, ending exactly where the file does.
CARVE_VERDICT CheckMp3(CARVE_CONTEXT& ctx, u64 u64Size) {
  FileView view(ctx, u64Size);
  Mp3Walk w;
  u8 h[10];
  if (!view.Read(0, h, 4)) return VERDICT_DAMAGED;
  if (view.Read(0, h, 10) && std::memcmp(h, "ID3", 3) == 0) {
    u64 tag = 0;
    for (int i = 6; i < 10; ++i) tag = tag << 7 | (h[i] & 0x7F);
    w.pos = 10 + tag + ((h[5] & 0x10) ? 10 : 0);
  } else if (h[0] != 0xFF) {
    return VERDICT_DAMAGED;
  }
  for (u64 off = 0; off < u64Size && w.ph != Mp3Walk::DONE && w.ph != Mp3Walk::FAILED;) {
    size_t n = 0;
    const u8* p = view.Span(off, n);
    if (!p) break;
    StepView v{p, n, n, off, false};
    w.Feed(v);
    off += n;
  }
  if (w.ph == Mp3Walk::FAILED || w.ph == Mp3Walk::LEAD) return VERDICT_DAMAGED;
  const u64 end = w.ph == Mp3Walk::DONE ? w.end : w.pos;
  if (end > u64Size) return VERDICT_PARTIAL;  // the last frame or tag is cut
  if (end < u64Size || w.frames < kMp3MinFrames) return VERDICT_UNKNOWN;
  if (w.streamBytes != 0 && !w.counted) return VERDICT_DAMAGED;  // the run does not meet its own count
  return w.counted || w.tagged || w.apeSeen ? VERDICT_WHOLE : VERDICT_UNKNOWN;
}

u64 GetMP3FileBytesSize(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen) {
  Mp3State s;
  Bytes b(pBuf, nLen);
  // ID3v2 header: "ID3", version (3-4), flags (5; 0x10: a 10-byte footer
  // follows the tag), synchsafe size of the rest (6-9, 7 bits a byte).
  if (b.AtLeast(10) && b.Eq(0, "ID3", 3)) {
    u64 tag = 0;
    for (int i = 6; i < 10; ++i) tag = tag << 7 | (b.p[i] & 0x7F);
    s.walk.pos = 10 + tag + ((b.p[5] & 0x10) ? 10 : 0);
  } else if (b.AtLeast(4) && b.p[0] == 0xFF) {
    s.walk.pos = 0;  // no tag: the frames start the file
  } else {
    s.walk.ph = Mp3Walk::FAILED;
  }
  const u64 one = ctx.OneSector();
  const size_t first = b.n < one ? b.n : static_cast<size_t>(one);
  if (b.p && first != 0) {
    StepView v{b.p, first, first, 0, false};
    s.walk.Feed(v);
    if (s.walk.ph == Mp3Walk::DONE) return s.walk.end;
    if (first != one) s.walk.ph = Mp3Walk::FAILED;  // the read-ahead would not follow on
  }
  u64 size = ForwardScan(ctx, kMax2G, END_ANY, Mp3Marker, &s);
  if (s.walk.ph == Mp3Walk::DONE) return size;
  // The data ran out (another file, the range's end, the maximum): the frames
  // seen so far, when there were enough of them.
  if (s.walk.ph != Mp3Walk::FAILED && s.walk.ph != Mp3Walk::LEAD && s.walk.frames >= kMp3MinFrames)
    return s.walk.pos < size ? s.walk.pos : size;
  if (s.last.has && s.last.candidate < size) size = s.last.candidate;
  return size;
}

// MPEG audio without a tag: a run of at least four frames whose headers
// agree (version, layer, sample rate), each where the one before ends.
int IsMpegFramesType(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  if (!b.AtLeast(4) || b.p[0] != 0xFF) return TYPE_NONE;
  MpegFrame first;
  if (!ParseMpegFrame(b.p, first)) return TYPE_NONE;
  u64 pos = first.bytes;
  for (int k = 1; k < kMpegFramesMin; ++k) {
    u8 h[4];
    MpegFrame f;
    if (!ReadDetectBytes(ctx, b, pos, h, 4) || !ParseMpegFrame(h, f)) return TYPE_NONE;
    if (f.version != first.version || f.layer != first.layer || f.rateIndex != first.rateIndex) return TYPE_NONE;
    pos += f.bytes;
  }
  return TYPE_MP3;
}

// AAC in ADTS frames: 12-bit sync, layer 0, a known sample rate, and the
// frame length (13 bits at bit 30) leading to the next header.
struct ADTS_FRAME {
  u32 rate;  // sampling frequency index
  u32 channels;
  u32 bytes;
};
bool ParseAdts(const u8* h, ADTS_FRAME& f) {
  if (h[0] != 0xFF || (h[1] & 0xF6) != 0xF0) return false;
  f.rate = (h[2] >> 2) & 15;
  f.channels = (h[2] & 1) << 2 | h[3] >> 6;
  f.bytes = (h[3] & 3u) << 11 | h[4] << 3 | h[5] >> 5;
  const u32 headerLen = (h[1] & 1) ? 7 : 9;
  return f.rate < 13 && f.bytes > headerLen && ((h[2] >> 6) != 3);
}

int IsAdtsType(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  ADTS_FRAME first;
  if (!b.AtLeast(7) || !ParseAdts(b.p, first)) return TYPE_NONE;
  u64 pos = first.bytes;
  for (int k = 1; k < kMpegFramesMin; ++k) {
    u8 h[8];
    ADTS_FRAME f;
    if (!ReadDetectBytes(ctx, b, pos, h, 7) || !ParseAdts(h, f)) return TYPE_NONE;
    if (f.rate != first.rate || f.channels != first.channels) return TYPE_NONE;
    pos += f.bytes;
  }
  return TYPE_AAC;
}

namespace {
// Follows ADTS frames to the first byte that starts no frame like the first.
struct AdtsWalk {
  u64 pos = 0;
  bool haveFirst = false, done = false;
  ADTS_FRAME first{};
  Carry carry;
  void Feed(const StepView& v) {
    for (u32 guard = 0; !done && guard < 1000000; ++guard) {
      u8 h[8];
      if (!carry.Peek(v, pos, 7, h)) break;
      ADTS_FRAME f;
      if (!ParseAdts(h, f) || (haveFirst && (f.rate != first.rate || f.channels != first.channels))) {
        done = true;
        break;
      }
      if (!haveFirst) first = f, haveFirst = true;
      pos += f.bytes;
    }
    carry.Keep(v);
  }
};
bool AdtsMarker(CARVE_CONTEXT&, const StepView& v, void* state, u64& size) {
  AdtsWalk* w = static_cast<AdtsWalk*>(state);
  w->Feed(v);
  if (!w->done) return false;
  size = w->pos;
  return true;
}
}  // namespace

u64 GetAdtsFileBytesSize(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen) {
  AdtsWalk w;
  Bytes b(pBuf, nLen);
  const u64 one = ctx.OneSector();
  const size_t first = b.n < one ? b.n : static_cast<size_t>(one);
  if (!b.p || first == 0) return ctx.OneSector();
  StepView v{b.p, first, first, 0, false};
  w.Feed(v);
  if (w.done) return w.pos;
  const u64 size = ForwardScan(ctx, kMax2G, END_ANY, AdtsMarker, &w);
  if (w.done) return size;
  ctx.bLengthIsCap = true;
  return w.pos < size ? w.pos : size;
}

const CARVE_FORMAT kMpegFrames = {"mpeg-frames", kFrameSignatures.data(), kFrameSignatureCount,
                                  IsMpegFramesType, GetMP3FileBytesSize, kMax2G, FORMAT_WEAK, CheckMp3, nullptr};
const CARVE_FORMAT kAdts = {"adts", kAdtsSignatures, SignatureCount(kAdtsSignatures), IsAdtsType,
                            GetAdtsFileBytesSize, kMax2G, FORMAT_WEAK, nullptr, nullptr};
const CARVE_FORMAT kMp3 = {"mp3", kMp3Signatures, SignatureCount(kMp3Signatures), IsMp3Type, GetMP3FileBytesSize,
                           kMax2G, 0, CheckMp3, nullptr};
const CARVE_FORMAT kMp2 = {"mp2", kMp2Signatures, SignatureCount(kMp2Signatures), IsMp2Type,
                           GetDefaultAudioFileBytesSize, kMax256M, 0, nullptr, nullptr};

}  // namespace carvefmt

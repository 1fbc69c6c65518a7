// MPEG program streams and elementary video streams: a pack or sequence
// header start. A program stream is measured by walking its packs and
// packets to the end code or to the first bytes that are neither (muxers
// often leave the end code out); a video stream to its end code.
#include "carve/formats/FormatKit.h"
#include "carve/formats/Formats.h"

using namespace carve_detail;

namespace carvefmt {

namespace {

const CARVE_SIGNATURE kSignatures[] = {CARVE_SIG(0, "\x00\x00\x01\xB3"), CARVE_SIG(0, "\x00\x00\x01\xBA")};

// Four bytes searched at every offset that keeps them within the first 32 bytes.
bool FindInFirst32(const u8* b, size_t n, const u8 (&pattern)[4]) {
  size_t limit = n < 32 ? n : 32;
  for (size_t off = 0; off + 4 <= limit; ++off)
    if (std::memcmp(b + off, pattern, 4) == 0) return true;
  return false;
}

// An elementary video stream ends with its sequence end code 00 00 01 B7.
bool MpgMarker(CARVE_CONTEXT& ctx, const StepView& v, void*, u64& size) {
  static const u8 kSeqEnd[4] = {0, 0, 1, 0xB7};
  size_t end = 0;
  // MPEG pieces never end the file, so the end code is looked for in all the data read.
  if (!FindAcceptedEnd(ctx, v.p, v.n, kSeqEnd, 4, end)) return false;
  size = v.before + end;
  return true;
}

const u32 kMaxPackets = 1u << 26;

// A program stream's packs (00 00 01 BA: 12 bytes in MPEG-1, 14 plus the
// stuffing count in its byte 13's low bits in MPEG-2), its system header and
// packets (00 00 01 BB-FF with a 16-bit length at 4), up to the end code
// 00 00 01 B9.
u64 WalkProgramStream(CARVE_CONTEXT& ctx) {
  FileView view(ctx, kMax4G);
  u64 pos = 0;
  for (u32 k = 0; k < kMaxPackets; ++k) {
    u8 h[14];
    if (!view.Read(pos, h, 6)) break;  // the range ends
    if (h[0] != 0 || h[1] != 0 || h[2] != 1 || (h[3] != 0xBA && h[3] < 0xB9))
      return DeclaredLength(ctx, pos);  // neither pack nor packet: the stream ended before
    if (h[3] == 0xB9) return DeclaredLength(ctx, pos + 4);
    u64 len = 0;
    if (h[3] == 0xBA && (h[4] & 0xF0) == 0x20) {
      len = 12;
    } else if (h[3] == 0xBA && (h[4] & 0xC0) == 0x40) {
      if (!view.Read(pos, h, 14)) break;
      len = 14 + (h[13] & 0x07);
    } else if (h[3] == 0xBA) {
      return DeclaredLength(ctx, pos);
    } else {
      len = 6 + static_cast<u64>(GetU16BE(h, 6, 4));
    }
    pos += len;
  }
  ctx.bLengthIsCap = true;
  return pos != 0 ? DeclaredLength(ctx, pos) : ctx.OneSector();
}

}  // namespace

int IsMpgType(CARVE_CONTEXT&, const unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  if (!b.AtLeast(16)) return TYPE_NONE;
  static const u8 kVideoSeq[4] = {0, 0, 1, 0xB3}, kGop[4] = {0, 0, 1, 0xB8};
  static const u8 kPack[4] = {0, 0, 1, 0xBA}, kSystem[4] = {0, 0, 1, 0xBB};
  if (b.Eq(0, kVideoSeq, 4) && FindInFirst32(b.p, b.n, kGop)) return TYPE_MPEG;
  if (b.Eq(0, kPack, 4) && FindInFirst32(b.p, b.n, kSystem)) return TYPE_MPEG;
  return TYPE_NONE;
}

u64 GetMPGFileBytesSize(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen) {
  static const u8 kVideoSeq[4] = {0, 0, 1, 0xB3};
  if (!BytesEqual(pBuf, pBuf && nLen > 0 ? nLen : 0, 0, kVideoSeq, 4)) return WalkProgramStream(ctx);
  return ForwardScan(ctx, kMax4G, END_MPG, MpgMarker, nullptr);
}

const CARVE_FORMAT kMpeg = {"mpeg", kSignatures, SignatureCount(kSignatures), IsMpgType, GetMPGFileBytesSize,
                            kMax4G, 0, nullptr, nullptr};

}  // namespace carvefmt

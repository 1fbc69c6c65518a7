// FLAC: "fLaC", the metadata blocks, then audio frames. A frame ends where
// the CRC-16 of its bytes comes out right and the next frame's header (with
// its own CRC-8) starts, or, for the last frame, once the stream's sample
// count (STREAMINFO) is reached.
#include <vector>

#include "carve/formats/FormatKit.h"
#include "carve/formats/Formats.h"

using namespace carve_detail;

namespace carvefmt {

namespace {

const CARVE_SIGNATURE kSignatures[] = {CARVE_SIG(0, "fLaC")};
const u64 kFlacMax = kMax2G;
const u32 kMaxBlocks = 4096;
const size_t kWindow = 65536;  // frames are smaller than this (FLAC limits them well below)

u8 Crc8(const u8* p, size_t n) {
  u8 crc = 0;
  for (size_t i = 0; i < n; ++i) {
    crc ^= p[i];
    for (int k = 0; k < 8; ++k) crc = static_cast<u8>(crc & 0x80 ? (crc << 1) ^ 0x07 : crc << 1);
  }
  return crc;
}

struct CRC16 {
  u16 t[256];
  CRC16() {
    for (u32 i = 0; i < 256; ++i) {
      u32 c = i << 8;
      for (int k = 0; k < 8; ++k) c = c & 0x8000 ? (c << 1) ^ 0x8005 : c << 1;
      t[i] = static_cast<u16>(c);
    }
  }
};
const CRC16& Crc16Table() {
  static const CRC16 table;
  return table;
}

// A frame header at p: its length (CRC-8 included) and the samples it holds;
// 0 when it is not one.
size_t FrameHeader(const u8* p, size_t n, u32& samples) {
  if (n < 6 || p[0] != 0xFF || (p[1] & 0xFE) != 0xF8) return 0;
  const u32 sizeCode = p[2] >> 4, rateCode = p[2] & 15, channels = p[3] >> 4, depth = (p[3] >> 1) & 7;
  if (sizeCode == 0 || rateCode == 15 || channels > 10 || depth == 3 || (p[3] & 1)) return 0;
  size_t at = 4;
  // The frame or sample number, coded like UTF-8 (up to 7 bytes).
  u8 lead = p[at++];
  int more = 0;
  if (lead >= 0xFE) return 0;
  for (u8 m = 0x80; (lead & m) && m; m >>= 1) ++more;
  if (more == 1) return 0;
  more = more ? more - 1 : 0;
  for (int i = 0; i < more; ++i, ++at)
    if (at >= n || (p[at] & 0xC0) != 0x80) return 0;
  if (sizeCode == 6 || sizeCode == 7) {
    if (at + (sizeCode - 5) > n) return 0;
    samples = (sizeCode == 6 ? p[at] : (p[at] << 8 | p[at + 1])) + 1u;
    at += sizeCode - 5;
  } else {
    samples = sizeCode == 1 ? 192 : sizeCode <= 5 ? 576u << (sizeCode - 2) : 256u << (sizeCode - 8);
  }
  if (rateCode >= 12) at += rateCode == 12 ? 1 : 2;
  if (at >= n || Crc8(p, at) != p[at]) return 0;
  return at + 1;
}

}  // namespace

int IsFlacType(CARVE_CONTEXT&, const unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  // STREAMINFO comes first: type 0 (byte 4, the last-block bit aside), 34 bytes.
  if (!b.AtLeast(42) || !b.Eq(0, "fLaC", 4) || (b.p[4] & 0x7F) != 0) return TYPE_NONE;
  if (b.p[5] != 0 || b.p[6] != 0 || b.p[7] != 34) return TYPE_NONE;
  const u32 rate = GetU32BE(b.p, b.n, 18) >> 12;  // 20 bits at 0x12
  return rate != 0 && rate <= 655350 ? TYPE_FLAC : TYPE_NONE;
}

u64 GetFlacFileBytesSize(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen) {
  const Bytes first(pBuf, nLen);
  if (!first.AtLeast(42)) return ctx.OneSector();
  // STREAMINFO: total samples, 36 bits from bit 4 of byte 0x15.
  const u64 total = (static_cast<u64>(first.p[21] & 0x0F) << 32) | GetU32BE(first.p, first.n, 22);
  u64 pos = 4;
  for (u32 k = 0; k < kMaxBlocks; ++k) {  // metadata blocks: last flag, type, 24-bit length
    u8 h[4];
    if (!ReadFileBytes(ctx, first, pos, h, 4)) {
      ctx.bLengthIsCap = true;
      return DeclaredLength(ctx, pos);
    }
    pos += 4 + (static_cast<u64>(h[1]) << 16 | h[2] << 8 | h[3]);
    if (h[0] & 0x80) break;
    if (pos > kFlacMax) break;
  }
  // STREAMINFO 0x0F: the largest frame (24 bits, 0 unknown) bounds the window.
  const size_t maxFrame = static_cast<size_t>(first.p[15]) << 16 | first.p[16] << 8 | first.p[17];
  const size_t window = maxFrame != 0 && maxFrame + 32 < kWindow ? maxFrame + 32 : kWindow;
  std::vector<u8> w(window + 16);
  u64 samples = 0;
  const CRC16& crc16 = Crc16Table();
  while (pos < kFlacMax) {
    // The frame and whatever follows it, as far as the range allows.
    size_t have = window + 16;
    while (have > 0 && !ReadFileRange(ctx, pos, w.data(), have)) have = have > 4096 ? have - 4096 : 0;
    u32 blockSamples = 0;
    const size_t header = have ? FrameHeader(w.data(), have, blockSamples) : 0;
    if (header == 0) break;
    const bool last = total != 0 && samples + blockSamples >= total;
    u16 crc = 0;
    size_t end = 0;
    for (size_t i = 0; i < have; ++i) {
      crc = static_cast<u16>((crc << 8) ^ crc16.t[((crc >> 8) ^ w[i]) & 0xFF]);
      if (crc != 0 || i + 1 < header + 2) continue;
      u32 unused = 0;
      if (last || FrameHeader(w.data() + i + 1, have - i - 1, unused) != 0) {
        end = i + 1;
        break;
      }
    }
    if (end == 0) break;  // no frame end found: cut or damaged
    pos += end;
    samples += blockSamples;
    if (last) return DeclaredLength(ctx, pos);
  }
  ctx.bLengthIsCap = true;
  return DeclaredLength(ctx, pos);
}

const CARVE_FORMAT kFlac = {"flac", kSignatures, SignatureCount(kSignatures), IsFlacType, GetFlacFileBytesSize,
                            kFlacMax, 0, nullptr, nullptr};

}  // namespace carvefmt

// RIFF files (AVI, WAV, WebP): the chunk's stated size.
#include "carve/formats/FormatKit.h"
#include "carve/formats/Formats.h"

using namespace carve_detail;

namespace carvefmt {

namespace {
const CARVE_SIGNATURE kRiff[] = {CARVE_SIG(0, "RIFF")};
const u64 kRiffMax = 0xFFFFFFFFull + 8;  // a 32-bit size plus the 8-byte header
}  // namespace

int IsAviType(CARVE_CONTEXT&, const unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  return b.AtLeast(16) && b.Eq(0, "RIFF", 4) && b.Eq(8, "AVI ", 4) && b.Eq(12, "LIST", 4) ? TYPE_AVI
                                                                                             : TYPE_NONE;
}

int IsWavType(CARVE_CONTEXT&, const unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  return b.AtLeast(16) && b.Eq(0, "RIFF", 4) && b.Eq(8, "WAVE", 4) && b.Eq(12, "fmt ", 4) ? TYPE_WAV
                                                                                           : TYPE_NONE;
}

u64 GetAVIFileBytesSize(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  if (!b.AtLeast(16)) return ctx.OneSector();
  return FlagPastRange(ctx, static_cast<u64>(GetU32LE(b.p, b.n, 4)) + 8);  // RIFF size excludes its 8-byte header
}

u64 GetWAVFileBytesSize(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  if (!b.AtLeast(8)) return ctx.OneSector();
  return FlagPastRange(ctx, static_cast<u64>(GetU32LE(b.p, b.n, 4)) + 8);
}

// WebP: "RIFF", size, "WEBP" and a first chunk of a known kind.
int IsWebpType(CARVE_CONTEXT&, const unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  if (!b.AtLeast(20) || !b.Eq(0, "RIFF", 4) || !b.Eq(8, "WEBP", 4)) return TYPE_NONE;
  if (!b.Eq(12, "VP8 ", 4) && !b.Eq(12, "VP8L", 4) && !b.Eq(12, "VP8X", 4)) return TYPE_NONE;
  return GetU32LE(b.p, b.n, 4) >= 12 ? TYPE_WEBP : TYPE_NONE;
}

// The RIFF size (4) counts from byte 8; a chunk of odd size is padded.
u64 GetWebpFileBytesSize(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  if (!b.AtLeast(8)) return ctx.OneSector();
  u64 size = static_cast<u64>(GetU32LE(b.p, b.n, 4)) + 8;
  size += size & 1;
  if (size > kMax256M) {
    ctx.bLengthIsCap = true;
    return kMax256M;
  }
  return DeclaredLength(ctx, size);
}

const CARVE_FORMAT kWebp = {"webp", kRiff, SignatureCount(kRiff), IsWebpType, GetWebpFileBytesSize, kMax256M, 0,
                            nullptr, nullptr};
const CARVE_FORMAT kAvi = {"avi", kRiff, SignatureCount(kRiff), IsAviType, GetAVIFileBytesSize,
                           kRiffMax, FORMAT_SKIP_ONE, nullptr, nullptr};
const CARVE_FORMAT kWav = {"wav", kRiff, SignatureCount(kRiff), IsWavType, GetWAVFileBytesSize,
                           kRiffMax, FORMAT_SKIP_ONE, nullptr, nullptr};

}  // namespace carvefmt

// RIFF files (AVI, WAV): the chunk's stated size.
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
  return static_cast<u64>(GetU32LE(b.p, b.n, 4)) + 8;  // RIFF size excludes its 8-byte header
}

u64 GetWAVFileBytesSize(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  if (!b.AtLeast(8)) return ctx.OneSector();
  return static_cast<u64>(GetU32LE(b.p, b.n, 4)) + 8;
}

const CARVE_FORMAT kAvi = {"avi", kRiff, SignatureCount(kRiff), IsAviType, GetAVIFileBytesSize,
                           kRiffMax, FORMAT_SKIP_ONE, nullptr, nullptr};
const CARVE_FORMAT kWav = {"wav", kRiff, SignatureCount(kRiff), IsWavType, GetWAVFileBytesSize,
                           kRiffMax, FORMAT_SKIP_ONE, nullptr, nullptr};

}  // namespace carvefmt

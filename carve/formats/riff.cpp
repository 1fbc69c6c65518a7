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

// The RIFF size (4) covers the form type and the chunks after it; each chunk
// (id, 32-bit size, data padded to an even length) follows the one before
// and the last ends where the RIFF size says. Only an index after the
// movie data (an AVI's idx1) makes that whole: a file whose last chunk is raw
// samples or a picture's bitstream reads the same cut and filled with
// anything, so it stays unknown unless a size shows it cut or broken.
CARVE_VERDICT CheckRiff(CARVE_CONTEXT& ctx, u64 u64Size) {
  FileView view(ctx, u64Size);
  u8 h[12];
  if (!view.Read(0, h, 12) || std::memcmp(h, "RIFF", 4) != 0 || !IsFourCc(h + 8)) return VERDICT_DAMAGED;
  const u64 riffEnd = 8 + static_cast<u64>(GetU32LE(h, 12, 4));
  if (riffEnd > u64Size) return VERDICT_PARTIAL;
  u64 pos = 12;
  u8 last[4] = {0, 0, 0, 0};
  for (u32 chunks = 0; pos < riffEnd && chunks < (1u << 24); ++chunks) {
    u8 c[8];
    if (pos + 8 > riffEnd || !view.Read(pos, c, 8) || !IsFourCc(c)) return VERDICT_DAMAGED;
    const u64 size = GetU32LE(c, 8, 4);
    u64 next = pos + 8 + size;
    if (next < riffEnd) next += size & 1;  // the pad byte, unless the chunk ends the file
    if (next > riffEnd) return VERDICT_DAMAGED;
    std::memcpy(last, c, 4);
    pos = next;
  }
  if (pos != riffEnd) return VERDICT_DAMAGED;
  // A pad byte after an odd RIFF size still belongs to the file.
  u64 end = riffEnd;
  u8 pad = 1;
  if ((end & 1) && end < u64Size && view.U8At(end, pad) && pad == 0) ++end;
  if (end < u64Size) ctx.u64CheckedEnd = end;
  return std::memcmp(last, "idx1", 4) == 0 ? VERDICT_WHOLE : VERDICT_UNKNOWN;
}

const CARVE_FORMAT kWebp = {"webp", kRiff, SignatureCount(kRiff), IsWebpType, GetWebpFileBytesSize, kMax256M, 0,
                            CheckRiff, nullptr};
const CARVE_FORMAT kAvi = {"avi", kRiff, SignatureCount(kRiff), IsAviType, GetAVIFileBytesSize,
                           kRiffMax, FORMAT_SKIP_ONE, CheckRiff, nullptr};
const CARVE_FORMAT kWav = {"wav", kRiff, SignatureCount(kRiff), IsWavType, GetWAVFileBytesSize,
                           kRiffMax, FORMAT_SKIP_ONE, CheckRiff, nullptr};

}  // namespace carvefmt

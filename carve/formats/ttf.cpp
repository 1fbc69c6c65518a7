// TrueType fonts: the table directory, measured to the furthest table end.
#include "carve/formats/FormatKit.h"
#include "carve/formats/Formats.h"

using namespace carve_detail;

namespace carvefmt {

namespace {
const u8 kTtfHead[4] = {0x00, 0x01, 0x00, 0x00};
const CARVE_SIGNATURE kSignatures[] = {CARVE_SIG(0, "\x00\x01\x00\x00")};
}  // namespace

int IsTtfType(CARVE_CONTEXT&, const unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  if (!b.AtLeast(16) || !b.Eq(0, kTtfHead, 4)) return TYPE_NONE;
  u32 tables = GetU16BE(b.p, b.n, 4);
  if (tables == 0 || GetU16BE(b.p, b.n, 6) == 0 || GetU16BE(b.p, b.n, 8) == 0 ||
      GetU16BE(b.p, b.n, 10) == 0)
    return TYPE_NONE;
  if (16ull * tables + 16 > b.n) return TYPE_NONE;
  if (b.Eq(12 + 16 * static_cast<size_t>(tables), kTtfHead, 4)) return TYPE_TTF;
  // Fonts whose first table is not a version-1.0 one: accept a table
  // directory whose search fields agree with its count (0x06 searchRange =
  // 16 x the largest power of two <= n, 0x0A rangeShift = 16 n - searchRange)
  // and whose tags are printable.
  u32 pow2 = 1, log2 = 0;
  while (pow2 * 2 <= tables) {
    pow2 *= 2;
    ++log2;
  }
  if (GetU16BE(b.p, b.n, 6) != 16 * pow2 || GetU16BE(b.p, b.n, 8) != log2 ||
      GetU16BE(b.p, b.n, 10) != 16 * tables - 16 * pow2)
    return TYPE_NONE;
  for (size_t i = 0; i < tables; ++i)
    for (size_t k = 0; k < 4; ++k) {
      u8 c = b.p[12 + 16 * i + k];
      if (c < 0x20 || c > 0x7E) return TYPE_NONE;
    }
  return TYPE_TTF;
}

u64 GetTTFFileBytesSize(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  if (!b.AtLeast(6)) return ctx.OneSector();
  const size_t tables = GetU16BE(b.p, b.n, 4);
  if (tables == 0) return 0;
  const u8* p = b.p;
  size_t n = b.n;
  if (16 * tables + 12 > n) {
    const int ss = ctx.nBytesPerSector;
    if (!ctx.UsableSectorSize() || !ctx.pReadBuf) return ctx.OneSector();
    unsigned int got = ctx.ReadSectors(ctx.u64StartSector, CARVE_CONTEXT::READ_BUF_SIZE / ss, ctx.pReadBuf,
                                       CARVE_CONTEXT::READ_BUF_SIZE);
    p = ctx.pReadBuf;
    n = static_cast<size_t>(got) * ss;
    if (16 * tables + 12 > n) return ctx.OneSector();
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
  return FlagPastRange(ctx, Cap(end, kMax128M));
}

const CARVE_FORMAT kTtf = {"ttf", kSignatures, SignatureCount(kSignatures), IsTtfType, GetTTFFileBytesSize,
                           kMax128M, FORMAT_SKIP_ONE, nullptr, nullptr};

}  // namespace carvefmt

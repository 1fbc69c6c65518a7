// Windows icons: a directory of images that lie back to back after it.
#include "carve/formats/FormatKit.h"
#include "carve/formats/Formats.h"

using namespace carve_detail;

namespace carvefmt {

namespace {
const u8 kIcoHead[4] = {0x00, 0x00, 0x01, 0x00};
const CARVE_SIGNATURE kSignatures[] = {CARVE_SIG(0, "\x00\x00\x01\x00")};
}  // namespace

int IsIcoType(CARVE_CONTEXT&, const unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  if (!b.AtLeast(16) || !b.Eq(0, kIcoHead, 4)) return TYPE_NONE;
  u32 count = GetU16LE(b.p, b.n, 4);
  if (count == 0 || 16ull * count + 6 > b.n) return TYPE_NONE;
  // The images lie back to back right after the 16-byte directory entries.
  u64 expected = 16ull * count + 6;
  for (u32 i = 0; i < count; ++i) {
    size_t entry = 6 + 16 * static_cast<size_t>(i);
    if (b.p[entry + 3] != 0) return TYPE_NONE;
    if (GetU32LE(b.p, b.n, entry + 12) != expected) return TYPE_NONE;
    expected += GetU32LE(b.p, b.n, entry + 8);
  }
  return TYPE_ICO;
}

u64 GetICOFileBytesSize(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  if (!b.AtLeast(6)) return ctx.OneSector();
  const size_t count = GetU16LE(b.p, b.n, 4);
  if (count == 0) return ctx.OneSector();
  const size_t dirEnd = 16 * count + 6;
  const u8* p = b.p;
  size_t n = b.n;
  if (dirEnd > n) {
    // A directory longer than the sector: read it whole from the start sector.
    const int ss = ctx.nBytesPerSector;
    if (!ctx.UsableSectorSize() || !ctx.pReadBuf) return ctx.OneSector();
    unsigned int got = ctx.ReadSectors(ctx.u64StartSector, CARVE_CONTEXT::READ_BUF_SIZE / ss, ctx.pReadBuf,
                                       CARVE_CONTEXT::READ_BUF_SIZE);
    p = ctx.pReadBuf;
    n = static_cast<size_t>(got) * ss;
    if (dirEnd > n) return ctx.OneSector();
  }
  // The last entry: image size at +8, image offset at +12.
  u64 size = static_cast<u64>(GetU32LE(p, n, 16 * count + 2)) + GetU32LE(p, n, 16 * count - 2);
  return FlagPastRange(ctx, Cap(size, kMax128M));
}

const CARVE_FORMAT kIco = {"ico", kSignatures, SignatureCount(kSignatures), IsIcoType, GetICOFileBytesSize,
                           kMax128M, FORMAT_SKIP_ONE, nullptr, nullptr};

}  // namespace carvefmt

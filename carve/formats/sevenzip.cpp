// 7-Zip archives: the start header states where the archive's header ends.
#include "carve/formats/FormatKit.h"
#include "carve/formats/Formats.h"

using namespace carve_detail;

namespace carvefmt {

namespace {
const CARVE_SIGNATURE kSignatures[] = {CARVE_SIG(0, "7z\xBC\xAF\x27")};

bool SevenZipMarker(CARVE_CONTEXT&, const StepView& v, void*, u64& size) {
  static const u8 kTail[12] = {0x00, 0x07, 0x0B, 0x01, 0x00, 0x01, 0x23, 0x03, 0x01, 0x01, 0x05, 0x5D};
  size_t off = FindLastBytes(v.p, v.owned, kTail, 12);
  if (off == npos) return false;
  size = v.before + off + 27;
  return true;
}
}  // namespace

int Is7zType(CARVE_CONTEXT&, const unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  static const u8 k7z[5] = {0x37, 0x7A, 0xBC, 0xAF, 0x27};
  return b.AtLeast(6) && b.Eq(0, k7z, 5) ? TYPE_7Z : TYPE_NONE;
}

u64 Get7ZFileBytesSize(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen) {
  // The start header states where the archive's own header ends: 32 bytes,
  // then the next-header offset (0x0C) and size (0x14), guarded by a CRC of
  // those 20 bytes (0x08). When it checks out it is exact; the end pattern's
  // fixed distance is not (it depends on how the sizes before it are coded).
  Bytes b(pBuf, nLen);
  if (b.AtLeast(32) && Crc32(b.p + 12, 20) == GetU32LE(b.p, b.n, 8)) {
    u64 offset = GetU64LE(b.p, b.n, 12), size = GetU64LE(b.p, b.n, 20);
    if (offset <= kMax4G && size <= kMax4G && 32 + offset + size <= kMax4G) return 32 + offset + size;
  }
  return ForwardScan(ctx, kMax4G, END_ANY, SevenZipMarker, nullptr);
}

// The start header's CRC (8) over its next 20 bytes; the next header it
// points to (offset 0x0C from byte 32, size 0x14) ends the file and matches
// its CRC (0x1C).
CARVE_VERDICT Check7z(CARVE_CONTEXT& ctx, u64 u64Size) {
  FileView view(ctx, u64Size);
  u8 h[32];
  if (!view.Read(0, h, 32)) return VERDICT_PARTIAL;
  if (Crc32(h + 12, 20) != GetU32LE(h, 32, 8)) return VERDICT_DAMAGED;
  const u64 offset = GetU64LE(h, 32, 12), size = GetU64LE(h, 32, 20);
  if (offset > kMax4G || size > kMax4G) return VERDICT_DAMAGED;
  const u64 end = 32 + offset + size;
  if (end > u64Size) return VERDICT_PARTIAL;
  u32 crc = 0;
  if (!view.Crc(32 + offset, size, crc)) return VERDICT_PARTIAL;
  if (crc != GetU32LE(h, 32, 28)) return VERDICT_DAMAGED;
  if (end < u64Size) ctx.u64CheckedEnd = end;
  return VERDICT_WHOLE;
}

const CARVE_FORMAT k7z = {"7z", kSignatures, SignatureCount(kSignatures), Is7zType, Get7ZFileBytesSize,
                          kMax4G, 0, Check7z, nullptr};

}  // namespace carvefmt

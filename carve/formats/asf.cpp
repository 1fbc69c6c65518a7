// ASF (WMV, WMA): the header object's GUID; the length is the file
// properties object's file size.
#include "carve/formats/FormatKit.h"
#include "carve/formats/Formats.h"

using namespace carve_detail;

namespace carvefmt {

namespace {
const u8 kAsfHeaderGuid[16] = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                               0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
const CARVE_SIGNATURE kSignatures[] = {
    CARVE_SIG(0, "\x30\x26\xB2\x75\x8E\x66\xCF\x11\xA6\xD9\x00\xAA\x00\x62\xCE\x6C")};
}  // namespace

int IsAsfType(CARVE_CONTEXT&, const unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  return b.AtLeast(24) && b.Eq(0, kAsfHeaderGuid, 16) ? TYPE_WMV : TYPE_NONE;
}

u64 GetASFFileBytesSize(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen) {
  static const u8 kFileProperties[16] = {0xA1, 0xDC, 0xAB, 0x8C, 0x47, 0xA9, 0xCF, 0x11,
                                         0x8E, 0xE4, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
  Bytes b(pBuf, nLen);
  size_t p = FindBytes(b.p, b.n, 30, kFileProperties, 16);
  if (p == npos || p + 92 > b.n) {
    ctx.bLengthIsCap = true;
    return ctx.OneSector();
  }
  u32 flags = GetU32LE(b.p, b.n, p + 88);
  if (flags & 1) {  // a broadcast stream has no file size
    ctx.bLengthIsCap = true;
    return ctx.OneSector();
  }
  return FlagPastRange(ctx, Cap(GetU64LE(b.p, b.n, p + 40), kMax256M));
}

const CARVE_FORMAT kAsf = {"asf", kSignatures, SignatureCount(kSignatures), IsAsfType, GetASFFileBytesSize,
                           kMax256M, FORMAT_SKIP_ONE, nullptr, nullptr};

}  // namespace carvefmt

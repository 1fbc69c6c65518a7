// Windows bitmaps: "BM" / "BA", the file size stated at 2.
#include "carve/formats/FormatKit.h"
#include "carve/formats/Formats.h"

using namespace carve_detail;

namespace carvefmt {

namespace {
const CARVE_SIGNATURE kSignatures[] = {CARVE_SIG(0, "BA"), CARVE_SIG(0, "BM")};
}

int IsBmpType(CARVE_CONTEXT&, const unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  if (!b.AtLeast(40) || !(b.Eq(0, "BA", 2) || b.Eq(0, "BM", 2))) return TYPE_NONE;
  // 0x06, 0x08: reserved words; 0x0E: info header size (the common 40-byte form).
  if (GetU16LE(b.p, b.n, 6) != 0 || GetU16LE(b.p, b.n, 8) != 0) return TYPE_NONE;
  return GetU32LE(b.p, b.n, 14) == 40 ? TYPE_BMP : TYPE_NONE;
}

u64 GetBMPFileBytesSize(CARVE_CONTEXT&, const unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  if (!b.AtLeast(6)) return 0;
  return Cap(GetU32LE(b.p, b.n, 2), kMax128M);
}

const CARVE_FORMAT kBmp = {"bmp", kSignatures, SignatureCount(kSignatures), IsBmpType, GetBMPFileBytesSize,
                           kMax128M, FORMAT_SKIP_ONE, nullptr, nullptr};

}  // namespace carvefmt

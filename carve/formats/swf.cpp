// Flash movies: "FWS" (stated length) or "CWS" (compressed).
#include "carve/formats/FormatKit.h"
#include "carve/formats/Formats.h"

using namespace carve_detail;

namespace carvefmt {

namespace {
const CARVE_SIGNATURE kSignatures[] = {CARVE_SIG(0, "FWS"), CARVE_SIG(0, "CWS")};
}

int IsSwfType(CARVE_CONTEXT&, const unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  if (!b.AtLeast(8)) return TYPE_NONE;
  u8 version = b.p[3];
  if (b.Eq(0, "FWS", 3) && version < 6) return TYPE_SWF;
  if (b.Eq(0, "CWS", 3) && version >= 6 && version <= 15) return TYPE_SWF;
  return TYPE_NONE;
}

u64 GetSWFFileBytesSize(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  if (!b.AtLeast(8) || b.p[0] != 'F') {  // compressed: the length is of the inflated data
    ctx.bLengthIsCap = true;
    return ctx.OneSector();
  }
  return FlagPastRange(ctx, Cap(GetU32LE(b.p, b.n, 4), kMax256M));
}

const CARVE_FORMAT kSwf = {"swf", kSignatures, SignatureCount(kSignatures), IsSwfType, GetSWFFileBytesSize,
                           kMax256M, FORMAT_SKIP_ONE, nullptr, nullptr};

}  // namespace carvefmt

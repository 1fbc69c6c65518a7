// Cabinet archives: "MSCF", the cabinet size stated at 8.
#include "carve/formats/FormatKit.h"
#include "carve/formats/Formats.h"

using namespace carve_detail;

namespace carvefmt {

namespace {
const CARVE_SIGNATURE kSignatures[] = {CARVE_SIG(0, "MSCF")};
}

int IsCabType(CARVE_CONTEXT&, const unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  return b.AtLeast(36) && b.Eq(0, "MSCF", 4) ? TYPE_CAB : TYPE_NONE;
}

u64 GetCABFileBytesSize(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  if (!b.AtLeast(36)) return ctx.OneSector();
  return FlagPastRange(ctx, Cap(GetU32LE(b.p, b.n, 8), kMax1G));
}

const CARVE_FORMAT kCab = {"cab", kSignatures, SignatureCount(kSignatures), IsCabType, GetCABFileBytesSize,
                           kMax1G, FORMAT_SKIP_ONE, nullptr, nullptr};

}  // namespace carvefmt

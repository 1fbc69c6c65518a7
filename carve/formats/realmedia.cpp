// RealMedia: ".RMF", measured to its index chunk's tail.
#include "carve/formats/FormatKit.h"
#include "carve/formats/Formats.h"

using namespace carve_detail;

namespace carvefmt {

namespace {
const CARVE_SIGNATURE kSignatures[] = {CARVE_SIG(0, ".RMF")};

bool RmvbMarker(CARVE_CONTEXT&, const StepView& v, void*, u64& size) {
  static const u8 kTail[20] = {0x49, 0x4E, 0x44, 0x58, 0x00, 0x00, 0x00, 0x14, 0x00, 0x00,
                               0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00};
  size_t off = FindBytes(v.p, v.owned, 0, kTail, 20);
  if (off == npos) return false;
  size = v.before + off + 20;
  return true;
}
}  // namespace

int IsRmvbType(CARVE_CONTEXT&, const unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  return b.AtLeast(4) && b.Eq(0, ".RMF", 4) ? TYPE_RMVB : TYPE_NONE;
}

u64 GetRMVBFileBytesSize(CARVE_CONTEXT& ctx, const unsigned char*, int) {
  return ForwardScan(ctx, kMax4G, END_ANY, RmvbMarker, nullptr);
}

const CARVE_FORMAT kRealMedia = {"realmedia", kSignatures, SignatureCount(kSignatures), IsRmvbType,
                                 GetRMVBFileBytesSize, kMax4G, 0, nullptr, nullptr};

}  // namespace carvefmt

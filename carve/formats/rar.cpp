// RAR archives (version 1.5-4): measured to the end-of-archive block.
#include "carve/formats/FormatKit.h"
#include "carve/formats/Formats.h"

using namespace carve_detail;

namespace carvefmt {

namespace {
const u8 kRarHead[7] = {0x52, 0x61, 0x72, 0x21, 0x1A, 0x07, 0x00};
const CARVE_SIGNATURE kSignatures[] = {CARVE_SIG(0, "Rar!\x1A\x07\x00")};

bool RarMarker(CARVE_CONTEXT& ctx, const StepView& v, void*, u64& size) {
  static const u8 kTail[7] = {0xC4, 0x3D, 0x7B, 0x00, 0x40, 0x07, 0x00};
  size_t end = 0;
  if (!FindAcceptedEnd(ctx, v.p, v.owned, kTail, 7, end)) return false;
  size = v.before + end;
  return true;
}
}  // namespace

int IsRarType(CARVE_CONTEXT&, const unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  return b.AtLeast(7) && b.Eq(0, kRarHead, 7) ? TYPE_RAR : TYPE_NONE;
}

u64 GetRARFileBytesSize(CARVE_CONTEXT& ctx, const unsigned char*, int) {
  return ForwardScan(ctx, kMax4G, END_ANY, RarMarker, nullptr);
}

const CARVE_FORMAT kRar = {"rar", kSignatures, SignatureCount(kSignatures), IsRarType, GetRARFileBytesSize,
                           kMax4G, 0, nullptr, nullptr};

}  // namespace carvefmt

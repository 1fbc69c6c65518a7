// Monkey's Audio: "MAC ", measured to its APE tag's footer.
#include "carve/formats/FormatKit.h"
#include "carve/formats/Formats.h"

using namespace carve_detail;

namespace carvefmt {

namespace {
const CARVE_SIGNATURE kSignatures[] = {CARVE_SIG(0, "MAC ")};

bool ApeMarker(CARVE_CONTEXT&, const StepView& v, void*, u64& size) {
  static const u8 kTail[10] = {'A', 'P', 'E', 'T', 'A', 'G', 'E', 'X', 0xD0, 0x07};
  size_t first = FindBytes(v.p, v.owned, 0, kTail, 10);
  if (first == npos) return false;
  // A tag's header and footer: the file ends after the footer's 32 bytes.
  size_t second = FindBytes(v.p, v.owned, first + 10, kTail, 10);
  size = second != npos ? v.before + second + 32 : v.before + v.owned;
  return true;
}
}  // namespace

int IsApeType(CARVE_CONTEXT&, const unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  return b.AtLeast(4) && b.Eq(0, "MAC ", 4) ? TYPE_APE : TYPE_NONE;
}

u64 GetAPEFileBytesSize(CARVE_CONTEXT& ctx, const unsigned char*, int) {
  return ForwardScan(ctx, kMax2G, END_ANY, ApeMarker, nullptr);
}

const CARVE_FORMAT kApe = {"ape", kSignatures, SignatureCount(kSignatures), IsApeType, GetAPEFileBytesSize,
                           kMax2G, 0, nullptr, nullptr};

}  // namespace carvefmt

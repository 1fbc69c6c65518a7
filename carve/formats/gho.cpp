// Disk-image backups (.gho): recognised by their header, not carved.
#include "carve/formats/FormatKit.h"
#include "carve/formats/Formats.h"

using namespace carve_detail;

namespace carvefmt {

namespace {
const CARVE_SIGNATURE kSignatures[] = {CARVE_SIG(0, "\xFE\xEF\x00\x00")};
}

int IsGhoType(CARVE_CONTEXT&, const unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  static const u8 kGho[4] = {0xFE, 0xEF, 0x00, 0x00};
  return b.AtLeast(4) && b.Eq(0, kGho, 4) ? TYPE_GHO : TYPE_NONE;
}

const CARVE_FORMAT kGho = {"gho", kSignatures, SignatureCount(kSignatures), IsGhoType, nullptr, 0, 0, nullptr,
                           nullptr};

}  // namespace carvefmt

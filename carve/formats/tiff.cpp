// TIFF: the byte-order mark and 42; runs to the next file.
#include "carve/formats/FormatKit.h"
#include "carve/formats/Formats.h"

using namespace carve_detail;

namespace carvefmt {

namespace {
const CARVE_SIGNATURE kSignatures[] = {CARVE_SIG(0, "II\x2A\x00"), CARVE_SIG(0, "MM\x00\x2A")};
}

int IsTifType(CARVE_CONTEXT&, const unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  static const u8 kLittle[4] = {0x49, 0x49, 0x2A, 0x00}, kBig[4] = {0x4D, 0x4D, 0x00, 0x2A};
  return b.AtLeast(4) && (b.Eq(0, kLittle, 4) || b.Eq(0, kBig, 4)) ? TYPE_TIF : TYPE_NONE;
}

const CARVE_FORMAT kTiff = {"tiff", kSignatures, SignatureCount(kSignatures), IsTifType,
                            GetDefaultPictureFileBytesSize, kMax128M, 0, nullptr, nullptr};

}  // namespace carvefmt

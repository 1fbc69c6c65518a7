// MXF: the header partition pack's key; runs to the next file.
#include "carve/formats/FormatKit.h"
#include "carve/formats/Formats.h"

using namespace carve_detail;

namespace carvefmt {

namespace {
const u8 kMxfHead[16] = {0x06, 0x0E, 0x2B, 0x34, 0x02, 0x05, 0x01, 0x01,
                         0x0D, 0x01, 0x02, 0x01, 0x01, 0x02, 0x04, 0x00};
const CARVE_SIGNATURE kSignatures[] = {
    CARVE_SIG(0, "\x06\x0E\x2B\x34\x02\x05\x01\x01\x0D\x01\x02\x01\x01\x02\x04\x00")};
}  // namespace

int IsMxfType(CARVE_CONTEXT&, const unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  return b.AtLeast(16) && b.Eq(0, kMxfHead, 16) ? TYPE_MXF : TYPE_NONE;
}

const CARVE_FORMAT kMxf = {"mxf", kSignatures, SignatureCount(kSignatures), IsMxfType,
                           GetDefaultVedioFileBytesSize, kMax4G, 0, nullptr, nullptr};

}  // namespace carvefmt

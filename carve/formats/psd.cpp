// Photoshop documents: "8BPS"; runs to the next file.
#include "carve/formats/FormatKit.h"
#include "carve/formats/Formats.h"

using namespace carve_detail;

namespace carvefmt {

namespace {
const CARVE_SIGNATURE kSignatures[] = {CARVE_SIG(0, "8BPS")};
}

int IsPsdType(CARVE_CONTEXT&, const unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  return b.AtLeast(40) && b.Eq(0, "8BPS", 4) ? TYPE_PSD : TYPE_NONE;
}

const CARVE_FORMAT kPsd = {"psd", kSignatures, SignatureCount(kSignatures), IsPsdType,
                           GetDefaultPictureFileBytesSize, kMax128M, 0, nullptr, nullptr};

}  // namespace carvefmt

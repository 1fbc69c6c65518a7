// Mobile phone ring tones (SMAF): "MMMD"; runs to the next file.
#include "carve/formats/FormatKit.h"
#include "carve/formats/Formats.h"

using namespace carve_detail;

namespace carvefmt {

namespace {
const CARVE_SIGNATURE kSignatures[] = {CARVE_SIG(0, "MMMD")};
}

int IsMmfType(CARVE_CONTEXT&, const unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  return b.AtLeast(4) && b.Eq(0, "MMMD", 4) ? TYPE_MMF : TYPE_NONE;
}

const CARVE_FORMAT kMmf = {"mmf", kSignatures, SignatureCount(kSignatures), IsMmfType,
                           GetDefaultAudioFileBytesSize, kMax256M, 0, nullptr, nullptr};

}  // namespace carvefmt

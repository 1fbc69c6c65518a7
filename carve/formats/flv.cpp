// Flash video: "FLV" version 1 with a 9-byte header; runs to the next file.
#include "carve/formats/FormatKit.h"
#include "carve/formats/Formats.h"

using namespace carve_detail;

namespace carvefmt {

namespace {
const CARVE_SIGNATURE kSignatures[] = {CARVE_SIG(0, "FLV\x01")};
}

int IsFlvType(CARVE_CONTEXT&, const unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  static const u8 kFlv[4] = {'F', 'L', 'V', 1}, kHeaderLen[4] = {0, 0, 0, 9};
  return b.AtLeast(16) && b.Eq(0, kFlv, 4) && b.Eq(5, kHeaderLen, 4) ? TYPE_FLV : TYPE_NONE;
}

const CARVE_FORMAT kFlv = {"flv", kSignatures, SignatureCount(kSignatures), IsFlvType,
                           GetDefaultVedioFileBytesSize, kMax4G, 0, nullptr, nullptr};

}  // namespace carvefmt

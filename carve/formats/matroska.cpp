// Matroska / WebM: the EBML header.
#include "carve/formats/FormatKit.h"
#include "carve/formats/Formats.h"

using namespace carve_detail;

namespace carvefmt {

namespace {
const CARVE_SIGNATURE kSignatures[] = {CARVE_SIG(0, "\x1A\x45\xDF\xA3")};
}

int IsMkvType(CARVE_CONTEXT&, const unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  static const u8 kEbml[4] = {0x1A, 0x45, 0xDF, 0xA3};
  return b.AtLeast(16) && b.Eq(0, kEbml, 4) ? TYPE_MKV : TYPE_NONE;
}

u64 GetMKVFileBytes(CARVE_CONTEXT& ctx, const unsigned char*, int) {
  return ForwardScan(ctx, kMax64G, END_ANY, nullptr, nullptr);
}

const CARVE_FORMAT kMatroska = {"matroska", kSignatures, SignatureCount(kSignatures), IsMkvType, GetMKVFileBytes,
                                kMax64G, 0, nullptr, nullptr};

}  // namespace carvefmt

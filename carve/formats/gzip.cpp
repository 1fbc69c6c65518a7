// gzip: deflate members with plausible flags; runs to the next file.
#include "carve/formats/FormatKit.h"
#include "carve/formats/Formats.h"

using namespace carve_detail;

namespace carvefmt {

namespace {
const CARVE_SIGNATURE kSignatures[] = {CARVE_SIG(0, "\x1F\x8B\x08")};
}

int IsGzipType(CARVE_CONTEXT&, const unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  static const u8 kGzip[3] = {0x1F, 0x8B, 0x08};
  if (!b.AtLeast(16) || !b.Eq(0, kGzip, 3)) return TYPE_NONE;
  u8 flags = b.p[3], extra = b.p[8], os = b.p[9];
  if (flags != 0x00 && flags != 0x08) return TYPE_NONE;
  if (extra != 0x02 && extra != 0x04) return TYPE_NONE;
  return os <= 13 || os == 0xFF ? TYPE_GZ : TYPE_NONE;
}

const CARVE_FORMAT kGzip = {"gzip", kSignatures, SignatureCount(kSignatures), IsGzipType,
                            GetDefaultVedioFileBytesSize, kMax4G, 0, nullptr, nullptr};

}  // namespace carvefmt

// PDF: "%PDF-", measured to the last "%%EOF" (with its line end).
#include "carve/formats/FormatKit.h"
#include "carve/formats/Formats.h"

using namespace carve_detail;

namespace carvefmt {

namespace {
const CARVE_SIGNATURE kSignatures[] = {CARVE_SIG(0, "%PDF-")};

bool PdfMarker(CARVE_CONTEXT&, const StepView& v, void*, u64& size) {
  size_t off = FindLastBytes(v.p, v.owned, "%%EOF", 5);
  if (off != npos) {
    // The line end after %%EOF belongs to the file.
    size_t e = off + 5;
    if (e < v.owned && v.p[e] == '\r') ++e;
    if (e < v.owned && v.p[e] == '\n') ++e;
    size = v.before + e;
    return true;
  }
  off = FindLastBytes(v.p, v.owned, "trailer", 7);
  if (off == npos) return false;
  size = v.before + off + 7;
  return true;
}
}  // namespace

int IsPdfType(CARVE_CONTEXT&, const unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  return b.AtLeast(5) && b.Eq(0, "%PDF-", 5) ? TYPE_PDF : TYPE_NONE;
}

u64 GetPDFFileBytesSize(CARVE_CONTEXT& ctx, const unsigned char*, int) {
  return ForwardScan(ctx, kMax1G, END_ANY, PdfMarker, nullptr);
}

const CARVE_FORMAT kPdf = {"pdf", kSignatures, SignatureCount(kSignatures), IsPdfType, GetPDFFileBytesSize,
                           kMax1G, 0, nullptr, nullptr};

}  // namespace carvefmt

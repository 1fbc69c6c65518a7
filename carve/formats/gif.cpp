// GIF: "GIF" and a version such as 89a, measured to the trailer 00 3B.
#include "carve/formats/FormatKit.h"
#include "carve/formats/Formats.h"

using namespace carve_detail;

namespace carvefmt {

namespace {
const CARVE_SIGNATURE kSignatures[] = {CARVE_SIG(0, "GIF")};

bool GifMarker(CARVE_CONTEXT& ctx, const StepView& v, void*, u64& size) {
  u64 off = 0;
  if (!GetGIFFileTailOffset(ctx, v.p, static_cast<int>(v.owned), off)) return false;
  size = v.before + off;
  return true;
}
}  // namespace

int IsGifType(CARVE_CONTEXT&, const unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  if (!b.AtLeast(8) || !b.Eq(0, "GIF", 3)) return TYPE_NONE;
  auto digit = [](u8 c) { return c >= '0' && c <= '9'; };
  if (!digit(b.p[3]) || !digit(b.p[4])) return TYPE_NONE;
  return b.p[5] >= 'a' && b.p[5] <= 'z' ? TYPE_GIF : TYPE_NONE;
}

int GetGIFFileTailOffset(const CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen, u64& u64Offset) {
  static const u8 kTail[2] = {0x00, 0x3B};
  Bytes b(pBuf, nLen);
  size_t end = 0;
  if (!FindAcceptedEnd(ctx, b.p, b.n, kTail, 2, end)) return 0;
  u64Offset = end;
  return 1;
}

u64 GetGIFFileBytesSize(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen) {
  u64 off = 0;
  if (GetGIFFileTailOffset(ctx, pBuf, nLen, off)) return off;
  return ForwardScan(ctx, kMax128M, END_ANY, GifMarker, nullptr);
}

const CARVE_FORMAT kGif = {"gif", kSignatures, SignatureCount(kSignatures), IsGifType, GetGIFFileBytesSize,
                           kMax128M, 0, nullptr, nullptr};

}  // namespace carvefmt

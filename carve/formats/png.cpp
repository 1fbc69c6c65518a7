// PNG: the 8-byte signature, measured to the IEND chunk.
#include "carve/formats/FormatKit.h"
#include "carve/formats/Formats.h"

using namespace carve_detail;

namespace carvefmt {

namespace {
const u8 kPngHead[8] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
const CARVE_SIGNATURE kSignatures[] = {CARVE_SIG(0, "\x89PNG\x0D\x0A\x1A\x0A")};

bool PngMarker(CARVE_CONTEXT& ctx, const StepView& v, void*, u64& size) {
  u64 off = 0;
  if (!GetPNGFileTailOffset(ctx, v.p, static_cast<int>(v.owned), off)) return false;
  size = v.before + off;
  return true;
}
}  // namespace

int IsPngType(CARVE_CONTEXT&, const unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  return b.AtLeast(8) && b.Eq(0, kPngHead, 8) ? TYPE_PNG : TYPE_NONE;
}

int GetPNGFileTailOffset(const CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen, u64& u64Offset) {
  static const u8 kTail[8] = {0x49, 0x45, 0x4E, 0x44, 0xAE, 0x42, 0x60, 0x82};
  Bytes b(pBuf, nLen);
  size_t end = 0;
  if (!FindAcceptedEnd(ctx, b.p, b.n, kTail, 8, end)) return 0;
  u64Offset = end;
  return 1;
}

u64 GetPNGFileBytesSize(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen) {
  u64 off = 0;
  if (GetPNGFileTailOffset(ctx, pBuf, nLen, off)) return off;
  return ForwardScan(ctx, kMax128M, END_ANY, PngMarker, nullptr);
}

const CARVE_FORMAT kPng = {"png", kSignatures, SignatureCount(kSignatures), IsPngType, GetPNGFileBytesSize,
                           kMax128M, 0, nullptr, nullptr};

}  // namespace carvefmt

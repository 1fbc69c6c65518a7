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

namespace {
// Passes a run of data sub-blocks (a size byte, then that many bytes) up to
// its zero terminator; false when it runs past the end.
bool SkipSubBlocks(FileView& view, u64& pos) {
  for (;;) {
    u8 n = 0;
    if (!view.U8At(pos, n)) return false;
    ++pos;
    if (n == 0) return true;
    pos += n;
    if (pos > view.Size()) return false;
  }
}
}  // namespace

// The block chain: header (6), logical screen (7) and its colour table, then
// extensions (21) and images (2C: descriptor, colour table, LZW code size,
// data sub-blocks) up to the trailer (3B).
CARVE_VERDICT CheckGif(CARVE_CONTEXT& ctx, u64 u64Size) {
  FileView view(ctx, u64Size);
  u8 h[13];
  if (!view.Read(0, h, 13) || std::memcmp(h, "GIF", 3) != 0) return VERDICT_DAMAGED;
  u64 pos = 13;
  if (h[10] & 0x80) pos += 3ull << ((h[10] & 7) + 1);  // global colour table
  bool image = false;
  for (u32 blocks = 0; blocks < (1u << 24); ++blocks) {
    u8 b = 0;
    if (!view.U8At(pos, b)) return VERDICT_PARTIAL;
    ++pos;
    if (b == 0x3B) {
      if (!image) return VERDICT_DAMAGED;
      if (pos < u64Size) ctx.u64CheckedEnd = pos;
      return VERDICT_WHOLE;
    }
    if (b == 0x21) {
      pos += 1;  // the label
      if (!SkipSubBlocks(view, pos)) return VERDICT_PARTIAL;
    } else if (b == 0x2C) {
      u8 d[10];  // the descriptor's 9 bytes and the LZW code size
      if (!view.Read(pos, d, 9)) return VERDICT_PARTIAL;
      pos += 9;
      if (d[8] & 0x80) pos += 3ull << ((d[8] & 7) + 1);  // local colour table
      if (!view.U8At(pos, d[9])) return VERDICT_PARTIAL;
      if (d[9] < 2 || d[9] > 11) return VERDICT_DAMAGED;
      ++pos;
      if (!SkipSubBlocks(view, pos)) return VERDICT_PARTIAL;
      image = true;
    } else {
      return VERDICT_DAMAGED;
    }
  }
  return VERDICT_DAMAGED;
}

const CARVE_FORMAT kGif = {"gif", kSignatures, SignatureCount(kSignatures), IsGifType, GetGIFFileBytesSize,
                           kMax128M, 0, CheckGif, nullptr};

}  // namespace carvefmt

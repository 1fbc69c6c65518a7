// Photoshop documents (PSD, and PSB for large ones): the header, three
// sections each led by its length, then the merged image, whose length
// follows from the header for raw data and from the row byte counts for
// run-length data.
#include "carve/formats/FormatKit.h"
#include "carve/formats/Formats.h"

using namespace carve_detail;

namespace carvefmt {

namespace {
const CARVE_SIGNATURE kSignatures[] = {CARVE_SIG(0, "8BPS")};
const u64 kPsdMax = kMax4G;
const u32 kMaxChannels = 56;
const u32 kMaxSide = 300000;  // PSB; PSD stops at 30000
}

int IsPsdType(CARVE_CONTEXT&, const unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  return b.AtLeast(40) && b.Eq(0, "8BPS", 4) ? TYPE_PSD : TYPE_NONE;
}

// Header (26 bytes): "8BPS", version (4: 1 PSD, 2 PSB), channels (12),
// height (14), width (18), bits per channel (22); then the colour-mode
// data, the image resources (each a 32-bit length and its bytes) and the
// layer and mask information (a 64-bit length in PSB); then the merged
// image's compression (0 raw, 1 run-length; the zip kinds carry no length).
u64 GetPsdFileBytesSize(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  if (!b.AtLeast(30)) return GetDefaultPictureFileBytesSize(ctx, pBuf, nLen);
  const u16 version = GetU16BE(b.p, b.n, 4);
  const u32 channels = GetU16BE(b.p, b.n, 12), height = GetU32BE(b.p, b.n, 14), width = GetU32BE(b.p, b.n, 18);
  const u32 depth = GetU16BE(b.p, b.n, 22);
  if ((version != 1 && version != 2) || channels == 0 || channels > kMaxChannels || height == 0 ||
      height > kMaxSide || width == 0 || width > kMaxSide || (depth != 1 && depth != 8 && depth != 16 && depth != 32))
    return GetDefaultPictureFileBytesSize(ctx, pBuf, nLen);
  FileView view(ctx, kPsdMax);
  u64 pos = 26;
  for (int section = 0; section < 3; ++section) {
    u8 len[8];
    const bool wide = section == 2 && version == 2;
    if (!view.Read(pos, len, wide ? 8 : 4)) return GetDefaultPictureFileBytesSize(ctx, pBuf, nLen);
    pos += (wide ? 8 + GetU64BE(len, 8, 0) : 4 + static_cast<u64>(GetU32BE(len, 4, 0)));
    if (pos > kPsdMax) return GetDefaultPictureFileBytesSize(ctx, pBuf, nLen);
  }
  u8 c[2];
  if (!view.Read(pos, c, 2)) return GetDefaultPictureFileBytesSize(ctx, pBuf, nLen);
  const u16 compression = GetU16BE(c, 2, 0);
  pos += 2;
  const u64 rows = static_cast<u64>(channels) * height;
  if (compression == 0) {
    pos += rows * ((static_cast<u64>(width) * depth + 7) / 8);
  } else if (compression == 1) {
    // A byte count per row of every channel (16-bit in PSD, 32-bit in PSB), then the rows.
    const size_t each = version == 2 ? 4 : 2;
    u64 data = 0;
    for (u64 r = 0; r < rows; ++r) {
      u8 n[4];
      if (!view.Read(pos + r * each, n, each)) return GetDefaultPictureFileBytesSize(ctx, pBuf, nLen);
      data += each == 4 ? GetU32BE(n, 4, 0) : GetU16BE(n, 2, 0);
    }
    pos += rows * each + data;
  } else {
    return GetDefaultPictureFileBytesSize(ctx, pBuf, nLen);
  }
  if (pos > kPsdMax) return GetDefaultPictureFileBytesSize(ctx, pBuf, nLen);
  return DeclaredLength(ctx, pos);
}

const CARVE_FORMAT kPsd = {"psd", kSignatures, SignatureCount(kSignatures), IsPsdType,
                           GetPsdFileBytesSize, kPsdMax, 0, nullptr, nullptr};

}  // namespace carvefmt

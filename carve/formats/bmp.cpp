// Windows bitmaps: "BM" / "BA", the file size stated at 2.
#include "carve/formats/FormatKit.h"
#include "carve/formats/Formats.h"

using namespace carve_detail;

namespace carvefmt {

namespace {
const CARVE_SIGNATURE kSignatures[] = {CARVE_SIG(0, "BA"), CARVE_SIG(0, "BM")};
}

int IsBmpType(CARVE_CONTEXT&, const unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  if (!b.AtLeast(40) || !(b.Eq(0, "BA", 2) || b.Eq(0, "BM", 2))) return TYPE_NONE;
  // 0x06, 0x08: reserved words; 0x0E: info header size (the common 40-byte form).
  if (GetU16LE(b.p, b.n, 6) != 0 || GetU16LE(b.p, b.n, 8) != 0) return TYPE_NONE;
  return GetU32LE(b.p, b.n, 14) == 40 ? TYPE_BMP : TYPE_NONE;
}

u64 GetBMPFileBytesSize(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  if (!b.AtLeast(6)) return 0;
  return FlagPastRange(ctx, Cap(GetU32LE(b.p, b.n, 2), kMax128M));
}

// Bitmaps with the other info-header forms (0x0E: 12 core, 52 / 56 with
// masks, 108 v4, 124 v5 as ImageMagick writes them; 40 is the first row's):
// plausible dimensions, one plane, a known bit depth, the pixels after the
// headers and inside the stated size.
int IsBmpOtherHeaderType(CARVE_CONTEXT&, const unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  if (!b.AtLeast(40) || !(b.Eq(0, "BA", 2) || b.Eq(0, "BM", 2))) return TYPE_NONE;
  if (GetU16LE(b.p, b.n, 6) != 0 || GetU16LE(b.p, b.n, 8) != 0) return TYPE_NONE;
  const u32 header = GetU32LE(b.p, b.n, 14);
  if (header != 12 && header != 52 && header != 56 && header != 108 && header != 124) return TYPE_NONE;
  const u32 fileSize = GetU32LE(b.p, b.n, 2), pixels = GetU32LE(b.p, b.n, 10);  // 0x02, 0x0A
  if (pixels < 14 + header || (fileSize != 0 && pixels > fileSize)) return TYPE_NONE;
  u32 width, planes, bits;
  i32 height;
  if (header == 12) {  // 16-bit fields
    width = GetU16LE(b.p, b.n, 18);
    height = GetU16LE(b.p, b.n, 20);
    planes = GetU16LE(b.p, b.n, 22);
    bits = GetU16LE(b.p, b.n, 24);
  } else {
    width = GetU32LE(b.p, b.n, 18);
    height = static_cast<i32>(GetU32LE(b.p, b.n, 22));  // negative: stored top-down
    planes = GetU16LE(b.p, b.n, 26);
    bits = GetU16LE(b.p, b.n, 28);
  }
  if (width == 0 || width > 65535 || height == 0 || height > 65535 || height < -65535 || planes != 1)
    return TYPE_NONE;
  if (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32) return TYPE_NONE;
  return TYPE_BMP;
}

// The size fields agree: the file size (2) is the length, the pixels (0x0A)
// start after the headers, and the rows the dimensions and bit depth call
// for (or the compressed size, 0x22) end at the file's end, an ICC profile
// of a v5 header (offset 0x7E, size 0x82 from the info header) included.
// Raw pixels read the same cut and filled with anything: consistent fields
// leave a bitmap unknown; they only show one cut or broken.
CARVE_VERDICT CheckBmp(CARVE_CONTEXT& ctx, u64 u64Size) {
  FileView view(ctx, u64Size);
  u8 h[14 + 124];
  if (!view.Read(0, h, 30)) return VERDICT_PARTIAL;
  const size_t n = sizeof(h);
  const u64 fileSize = GetU32LE(h, n, 2), pixels = GetU32LE(h, n, 10), header = GetU32LE(h, n, 14);
  if (header != 12 && header != 40 && header != 52 && header != 56 && header != 108 && header != 124)
    return VERDICT_UNKNOWN;
  if (!view.Read(0, h, static_cast<size_t>(14 + header))) return VERDICT_PARTIAL;
  const u64 length = fileSize ? fileSize : u64Size;
  if (length > u64Size) return VERDICT_PARTIAL;
  if (pixels < 14 + header || pixels > length) return VERDICT_DAMAGED;
  u64 width, height, bits, compression = 0, imageSize = 0;
  if (header == 12) {
    width = GetU16LE(h, n, 18);
    height = GetU16LE(h, n, 20);
    bits = GetU16LE(h, n, 24);
  } else {
    width = GetU32LE(h, n, 18);
    const i32 hh = static_cast<i32>(GetU32LE(h, n, 22));
    height = hh < 0 ? static_cast<u64>(-static_cast<i64>(hh)) : static_cast<u64>(hh);
    bits = GetU16LE(h, n, 28);
    compression = GetU32LE(h, n, 30);
    imageSize = GetU32LE(h, n, 34);
  }
  u64 end;
  if (compression == 0 || compression == 3 || compression == 6) {  // rows as they are (bit fields too)
    if (width == 0 || width > 65535 || height == 0 || height > 65535 || bits == 0 || bits > 32) return VERDICT_DAMAGED;
    end = pixels + (width * bits + 31) / 32 * 4 * height;
  } else if (compression == 1 || compression == 2) {  // run-length coded: the stated size
    end = pixels + imageSize;
  } else {
    return VERDICT_UNKNOWN;
  }
  if (header == 124) {
    const u64 profile = GetU32LE(h, n, 14 + 112), profileSize = GetU32LE(h, n, 14 + 116);
    if (profileSize && 14 + profile + profileSize > end) end = 14 + profile + profileSize;
  }
  if (end > length) return end > u64Size ? VERDICT_PARTIAL : VERDICT_DAMAGED;
  if (length - end > 4) return VERDICT_UNKNOWN;  // more than row padding after the pixels
  if (length < u64Size) ctx.u64CheckedEnd = length;
  return VERDICT_UNKNOWN;
}

const CARVE_FORMAT kBmpOtherHeader = {"bmp", kSignatures, SignatureCount(kSignatures), IsBmpOtherHeaderType,
                                      GetBMPFileBytesSize, kMax128M, FORMAT_SKIP_ONE, CheckBmp, nullptr};
const CARVE_FORMAT kBmp = {"bmp", kSignatures, SignatureCount(kSignatures), IsBmpType, GetBMPFileBytesSize,
                           kMax128M, FORMAT_SKIP_ONE, CheckBmp, nullptr};

}  // namespace carvefmt

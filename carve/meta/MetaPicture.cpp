// Pictures that carry little more than their size: PNG (IHDR, and its
// tIME chunk), GIF (the logical screen) and BMP (the info header).
#include <cstring>

#include "carve/meta/MetaCommon.h"
#include "engine/ByteOrder.h"

using namespace carvemeta;

namespace {
constexpr u32 kMaxSide = 1u << 20;  // no picture is a million pixels wide
void SetSize(CARVE_METADATA& out, u32 w, u32 h) {
  if (w == 0 || h == 0 || w > kMaxSide || h > kMaxSide) return;
  out.nWidth = w;
  out.nHeight = h;
}
}  // namespace

bool ReadPictureMetadata(CARVE_CONTEXT& ctx, u64 u64Size, CARVE_METADATA& out) {
  CMetaSource src(ctx, u64Size);
  u8 h[32];
  const size_t n = src.ReadUpTo(0, h, sizeof(h));
  if (n >= 24 && std::memcmp(h, "\x89PNG\r\n\x1a\n", 8) == 0 && std::memcmp(h + 12, "IHDR", 4) == 0) {
    SetSize(out, GetU32BE(h, n, 16), GetU32BE(h, n, 20));
  } else if (n >= 10 && (std::memcmp(h, "GIF87a", 6) == 0 || std::memcmp(h, "GIF89a", 6) == 0)) {
    SetSize(out, GetU16LE(h, n, 6), GetU16LE(h, n, 8));
  } else if (n >= 26 && h[0] == 'B' && h[1] == 'M') {
    const u32 header = GetU32LE(h, n, 14);
    if (header == 12) {  // OS/2 core header: 16-bit sides
      SetSize(out, GetU16LE(h, n, 18), GetU16LE(h, n, 20));
    } else if (header >= 40) {
      const i32 w = static_cast<i32>(GetU32LE(h, n, 18)), ht = static_cast<i32>(GetU32LE(h, n, 22));
      // A negative height is a top-down picture.
      if (w > 0 && ht != 0 && ht != INT32_MIN) SetSize(out, static_cast<u32>(w), static_cast<u32>(ht < 0 ? -ht : ht));
    }
  }
  return HasAny(out);
}

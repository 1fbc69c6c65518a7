// ISO base media files (MP4, MOV, 3GP, M4A, HEIF / HEIC / AVIF, CR3): the
// movie header's creation time and length, the iTunes-style item list under
// udta/meta/ilst (title, artist, date), the picture or track size (ispe,
// tkhd). The movie box is often at the end: top-level boxes are stepped over
// by their sizes, each step one bounded read.
#include <cstring>

#include "carve/meta/MetaCommon.h"
#include "engine/ByteOrder.h"

using namespace carvemeta;

namespace {

constexpr int kMaxDepth = 8;
constexpr int kMaxBoxes = 512;
constexpr i64 kSeconds1904To1970 = 2082844800;

struct WALK {
  CMetaSource& src;
  CARVE_METADATA& out;
  int nBoxes;
  u64 u64Area;  // largest picture or track area so far
};

u32 Tag(const char* t) {
  return static_cast<u32>(static_cast<u8>(t[0])) << 24 | static_cast<u32>(static_cast<u8>(t[1])) << 16 |
         static_cast<u32>(static_cast<u8>(t[2])) << 8 | static_cast<u8>(t[3]);
}

void Size(WALK& w, u32 width, u32 height) {
  const u64 area = static_cast<u64>(width) * height;
  if (width == 0 || height == 0 || width > (1u << 20) || height > (1u << 20) || area <= w.u64Area) return;
  w.u64Area = area;
  w.out.nWidth = width;
  w.out.nHeight = height;
}

// The value of an ilst item: its 'data' box (type, locale, then UTF-8 text).
void ItemText(WALK& w, u64 at, u64 end, char* pField, size_t nField, bool bDate) {
  u8 h[16];
  if (end - at < 16 || !w.src.Read(at, h, 16) || std::memcmp(h + 4, "data", 4) != 0) return;
  const u64 size = GetU32BE(h, 16, 0);
  if (size < 16 || size > end - at) return;
  char text[256];
  size_t n = static_cast<size_t>(size - 16 < sizeof(text) ? size - 16 : sizeof(text));
  if (!w.src.Read(at + 16, text, n)) return;
  if (bDate) {
    if (!w.out.nTakenTime) w.out.nTakenTime = ParseDateText(text, n);
    return;
  }
  SetText(pField, nField, text, n);
}

void Walk(WALK& w, u64 at, u64 end, int depth, u32 parent) {
  while (at + 8 <= end && ++w.nBoxes <= kMaxBoxes) {
    u8 h[16];
    if (!w.src.Read(at, h, 8)) return;
    u64 size = GetU32BE(h, 8, 0);
    const u32 type = GetU32BE(h, 8, 4);
    u64 head = 8;
    if (size == 1) {
      if (end - at < 16 || !w.src.Read(at + 8, h + 8, 8)) return;
      size = GetU64BE(h, 16, 8);
      head = 16;
    } else if (size == 0) {
      size = end - at;  // to the end of its parent
    }
    if (size < head || size > end - at) return;
    const u64 body = at + head, stop = at + size;
    u8 b[96];
    if (type == Tag("mvhd") && stop - body >= 32 && w.src.Read(body, b, 32)) {
      const bool v1 = b[0] == 1;
      const u64 created = v1 ? GetU64BE(b, 32, 4) : GetU32BE(b, 32, 4);
      const u32 scale = v1 ? GetU32BE(b, 32, 20) : GetU32BE(b, 32, 12);
      const u64 length = v1 ? GetU64BE(b, 32, 24) : GetU32BE(b, 32, 16);
      if (created > static_cast<u64>(kSeconds1904To1970) && created < (1ull << 40) && !w.out.nTakenTime) {
        const i64 t = static_cast<i64>(created) - kSeconds1904To1970;
        if (t < CivilToUnix(2100, 12, 31, 23, 59, 59)) w.out.nTakenTime = t;
      }
      if (scale && length != UINT32_MAX && length != UINT64_MAX && length / scale < (1ull << 32))
        w.out.u64DurationMs = length * 1000 / scale;
    } else if (type == Tag("tkhd") && stop - body >= 84 && w.src.Read(body, b, 96 < stop - body ? 96 : 84)) {
      const size_t off = b[0] == 1 ? 88 : 76;  // 16.16 fixed-point width and height at the end
      if (stop - body >= off + 8) Size(w, GetU32BE(b, sizeof(b), off) >> 16, GetU32BE(b, sizeof(b), off + 4) >> 16);
    } else if (type == Tag("ispe") && stop - body >= 12 && w.src.Read(body, b, 12)) {
      Size(w, GetU32BE(b, 12, 4), GetU32BE(b, 12, 8));
    } else if (parent == Tag("ilst") || (parent == Tag("udta") && h[4] == 0xA9)) {
      // ilst items hold a 'data' box; QuickTime's own udta entries hold a
      // 16-bit length, a language and the text.
      const bool qt = parent == Tag("udta");
      char* field = nullptr;
      size_t nField = 0;
      bool date = false;
      if (type == Tag("\xA9nam")) field = w.out.szTitle, nField = sizeof(w.out.szTitle);
      if (type == Tag("\xA9" "ART") || (type == Tag("aART") && !w.out.szArtist[0]))
        field = w.out.szArtist, nField = sizeof(w.out.szArtist);
      if (type == Tag("\xA9" "day")) date = true;
      if ((field || date) && !qt) ItemText(w, body, stop, field, nField, date);
      if ((field || date) && qt && stop - body > 4 && w.src.Read(body, b, 4)) {
        char text[256];
        u64 len = GetU16BE(b, 4, 0);
        if (len > stop - body - 4) len = stop - body - 4;
        if (len > sizeof(text)) len = sizeof(text);
        if (w.src.Read(body + 4, text, static_cast<size_t>(len))) {
          if (date && !w.out.nTakenTime) w.out.nTakenTime = ParseDateText(text, static_cast<size_t>(len));
          if (field) SetText(field, nField, text, static_cast<size_t>(len));
        }
      }
    } else if (depth < kMaxDepth &&
               (type == Tag("moov") || type == Tag("udta") || type == Tag("trak") || type == Tag("ilst") ||
                type == Tag("iprp") || type == Tag("ipco") || type == Tag("meta"))) {
      u64 inner = body;
      // ISO's meta is a full box (4 bytes of version and flags); QuickTime's is not.
      if (type == Tag("meta") && stop - body >= 4 && w.src.Read(body, b, 4) && GetU32BE(b, 4, 0) == 0) inner += 4;
      Walk(w, inner, stop, depth + 1, type);
    }
    at = stop;
  }
}

}  // namespace

bool ReadIsoMediaMetadata(CARVE_CONTEXT& ctx, u64 u64Size, CARVE_METADATA& out) {
  CMetaSource src(ctx, u64Size);
  WALK w = {src, out, 0, 0};
  Walk(w, 0, u64Size, 0, 0);
  return HasAny(out);
}

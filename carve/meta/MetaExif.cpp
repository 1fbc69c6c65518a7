// Exif and TIFF: the camera, the moment the picture was taken and its size,
// read through the project's one TIFF walker (carve/TiffIfd). A JPEG carries
// its Exif block in APP1 and its size in the frame header (SOF).
#include <cstring>

#include "carve/TiffIfd.h"
#include "carve/meta/MetaCommon.h"
#include "engine/ByteOrder.h"

using namespace carvemeta;

namespace {

struct TIFF_SOURCE {
  CMetaSource* pSource;
  u64 u64Base;   // the TIFF header's offset in the file
  u64 u64Limit;  // bytes of TIFF structure there are
};

bool ReadTiffBytes(void* p, u64 off, u8* out, size_t len) {
  TIFF_SOURCE* s = static_cast<TIFF_SOURCE*>(p);
  if (off > s->u64Limit || len > s->u64Limit - off) return false;
  return s->pSource->Read(s->u64Base + off, out, len);
}

// Camera, dates and (bDimensions) the largest image any IFD describes: raws
// put a small preview in IFD0 and the sensor's image in a SubIFD.
bool WalkTiff(CMetaSource& src, u64 base, u64 limit, bool bDimensions, CARVE_METADATA& out) {
  TIFF_SOURCE ts = {&src, base, limit};
  CTiffIfdWalker w(&ReadTiffBytes, &ts);
  if (!w.ReadHeader()) return false;
  i64 original = 0, digitized = 0, modified = 0;
  u64 bestArea = 0;
  int ifd = -1;
  u32 width = 0, height = 0;
  auto closeIfd = [&]() {
    if (static_cast<u64>(width) * height > bestArea) {
      bestArea = static_cast<u64>(width) * height;
      out.nWidth = width;
      out.nHeight = height;
    }
    width = height = 0;
  };
  int entries = 0;
  w.Walk([&](const TIFF_ENTRY& e) {
    if (++entries > 4096) return false;  // bounded whatever the IFDs claim
    if (e.nIfd != ifd) {
      closeIfd();
      ifd = e.nIfd;
    }
    char text[64];
    switch (e.nTag) {
      case 0x10F:  // Make
        if (w.ReadAscii(e, text, sizeof(text))) SetText(out.szMake, text, strnlen(text, sizeof(text)));
        break;
      case 0x110:  // Model
        if (w.ReadAscii(e, text, sizeof(text))) SetText(out.szModel, text, strnlen(text, sizeof(text)));
        break;
      case 0x132:  // DateTime (last changed)
      case 0x9003:  // DateTimeOriginal
      case 0x9004:  // DateTimeDigitized
        if (w.ReadAscii(e, text, sizeof(text))) {
          const i64 t = ParseDateText(text, strnlen(text, sizeof(text)));
          (e.nTag == 0x9003 ? original : e.nTag == 0x9004 ? digitized : modified) = t;
        }
        break;
      case 0x100:  // ImageWidth
      case 0xA002:  // PixelXDimension (Exif IFD)
        if (e.nType == 3 || e.nType == 4) width = e.nValue;
        break;
      case 0x101:
      case 0xA003:
        if (e.nType == 3 || e.nType == 4) height = e.nValue;
        break;
      default:
        break;
    }
    return true;
  });
  closeIfd();
  if (!bDimensions) out.nWidth = out.nHeight = 0;
  out.nTakenTime = original ? original : digitized ? digitized : modified;
  return true;
}

}  // namespace

bool ReadExifMetadata(CARVE_CONTEXT& ctx, u64 u64Size, CARVE_METADATA& out) {
  CMetaSource src(ctx, u64Size);
  u8 h[4];
  if (!src.Read(0, h, 4) || h[0] != 0xFF || h[1] != 0xD8) return false;
  u64 at = 2;
  bool exif = false;
  // Segments up to the scan: APPn, tables and the frame header. A damaged
  // run of segments ends the walk.
  for (int seg = 0; seg < 64 && at + 4 <= u64Size; ++seg) {
    u8 m[10];
    if (!src.Read(at, m, 4) || m[0] != 0xFF) break;
    const u8 marker = m[1];
    if (marker == 0xFF) {  // fill byte
      ++at;
      continue;
    }
    const u16 len = GetU16BE(m, 4, 2);
    if (len < 2 || marker == 0xDA || marker == 0xD9) break;
    if (marker == 0xE1 && !exif && len >= 16 && src.Read(at + 4, m, 6) && std::memcmp(m, "Exif\0\0", 6) == 0) {
      CARVE_METADATA tiff;
      std::memset(&tiff, 0, sizeof(tiff));
      if (WalkTiff(src, at + 10, len - 8u, false, tiff)) {
        exif = true;
        std::memcpy(out.szMake, tiff.szMake, sizeof(out.szMake));
        std::memcpy(out.szModel, tiff.szModel, sizeof(out.szModel));
        out.nTakenTime = tiff.nTakenTime;
      }
    }
    // SOF0-3, 5-7, 9-11, 13-15: height and width of the frame.
    const bool sof = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
    if (sof && out.nWidth == 0 && len >= 7 && src.Read(at + 4, m, 5)) {
      out.nHeight = GetU16BE(m, 5, 1);
      out.nWidth = GetU16BE(m, 5, 3);
    }
    at += 2 + static_cast<u64>(len);
  }
  return HasAny(out);
}

bool ReadTiffMetadata(CARVE_CONTEXT& ctx, u64 u64Size, CARVE_METADATA& out) {
  CMetaSource src(ctx, u64Size);
  return WalkTiff(src, 0, u64Size, true, out) && HasAny(out);
}

// Matroska and WebM: the segment's Info (Title, DateUTC), the video track's
// pixel size and simple tags (TITLE, ARTIST) met before the first cluster.
#include <cstring>

#include "carve/meta/MetaCommon.h"
#include "engine/ByteOrder.h"

using namespace carvemeta;

namespace {

constexpr u64 kUnknown = ~0ull;
constexpr int kMaxElements = 2048;
// DateUTC counts nanoseconds from 2001-01-01 00:00:00 UTC.
constexpr i64 kSeconds1970To2001 = 978307200;

struct ELEMENT {
  u32 id;
  u64 size;  // kUnknown for a live recording's open-ended element
  u64 body;  // offset of its content
};

bool ReadElement(CMetaSource& src, u64 at, u64 end, ELEMENT& e) {
  u8 b[12];
  const size_t n = src.ReadUpTo(at, b, end - at < sizeof(b) ? static_cast<size_t>(end - at) : sizeof(b));
  if (n < 2) return false;
  int idLen = 1;
  while (idLen <= 4 && !(b[0] & (0x80 >> (idLen - 1)))) ++idLen;
  if (idLen > 4) return false;
  e.id = 0;
  for (int i = 0; i < idLen; ++i) e.id = e.id << 8 | b[i];
  if (static_cast<size_t>(idLen) >= n) return false;
  const u8 first = b[idLen];
  int sizeLen = 1;
  while (sizeLen <= 8 && !(first & (0x80 >> (sizeLen - 1)))) ++sizeLen;
  if (sizeLen > 8 || static_cast<size_t>(idLen + sizeLen) > n) return false;
  u64 size = first & (0xFF >> sizeLen);
  bool allOnes = size == (0xFFu >> sizeLen);
  for (int i = 1; i < sizeLen; ++i) {
    size = size << 8 | b[idLen + i];
    allOnes = allOnes && b[idLen + i] == 0xFF;
  }
  e.body = at + idLen + sizeLen;
  e.size = allOnes ? kUnknown : size;
  if (e.size != kUnknown && (e.body > end || e.size > end - e.body)) return false;
  return true;
}

u64 ReadUnsigned(CMetaSource& src, const ELEMENT& e) {
  u8 b[8];
  if (e.size == 0 || e.size > 8 || !src.Read(e.body, b, static_cast<size_t>(e.size))) return 0;
  u64 v = 0;
  for (u64 i = 0; i < e.size; ++i) v = v << 8 | b[i];
  return v;
}

struct WALK {
  CMetaSource& src;
  CARVE_METADATA& out;
  int nElements;
  char szTagName[16];
};

void Walk(WALK& w, u64 at, u64 end, int depth) {
  while (at < end && ++w.nElements <= kMaxElements) {
    ELEMENT e;
    if (!ReadElement(w.src, at, end, e)) return;
    const u64 stop = e.size == kUnknown ? end : e.body + e.size;
    char text[256];
    const size_t n = e.size == kUnknown ? 0 : static_cast<size_t>(e.size < sizeof(text) ? e.size : sizeof(text));
    switch (e.id) {
      case 0x1F43B675:  // Cluster: the metadata came before it
        return;
      case 0x18538067:  // Segment
      case 0x1549A966:  // Info
      case 0x1654AE6B:  // Tracks
      case 0xAE:        // TrackEntry
      case 0xE0:        // Video
      case 0x1254C367:  // Tags
      case 0x7373:      // Tag
      case 0x67C8:      // SimpleTag
        if (depth < 6) {
          if (e.id == 0x67C8) w.szTagName[0] = 0;
          Walk(w, e.body, stop, depth + 1);
        }
        break;
      case 0x7BA9:  // Title
        if (w.src.Read(e.body, text, n)) SetText(w.out.szTitle, text, n);
        break;
      case 0x4461: {  // DateUTC: signed nanoseconds from 2001
        if (e.size != 8) break;
        const i64 ns = static_cast<i64>(ReadUnsigned(w.src, e));
        const i64 t = ns / 1000000000 + kSeconds1970To2001;
        if (t > 0 && t < CivilToUnix(2100, 12, 31, 23, 59, 59) && !w.out.nTakenTime) w.out.nTakenTime = t;
        break;
      }
      case 0xB0:  // PixelWidth
      case 0xBA: {  // PixelHeight
        const u64 v = ReadUnsigned(w.src, e);
        if (v > 0 && v < (1u << 20) && (e.id == 0xB0 ? !w.out.nWidth : !w.out.nHeight))
          (e.id == 0xB0 ? w.out.nWidth : w.out.nHeight) = static_cast<u32>(v);
        break;
      }
      case 0x45A3:  // TagName
        if (n < sizeof(w.szTagName) && w.src.Read(e.body, w.szTagName, n)) w.szTagName[n] = 0;
        break;
      case 0x4487:  // TagString
        if (!w.src.Read(e.body, text, n)) break;
        if (std::strcmp(w.szTagName, "TITLE") == 0) SetText(w.out.szTitle, text, n);
        if (std::strcmp(w.szTagName, "ARTIST") == 0) SetText(w.out.szArtist, text, n);
        break;
      default:
        break;
    }
    if (e.size == kUnknown) return;  // nothing after an open-ended element can be placed
    at = stop;
  }
}

}  // namespace

bool ReadMatroskaMetadata(CARVE_CONTEXT& ctx, u64 u64Size, CARVE_METADATA& out) {
  CMetaSource src(ctx, u64Size);
  WALK w = {src, out, 0, {0}};
  Walk(w, 0, u64Size, 0);
  if (!out.nWidth || !out.nHeight) out.nWidth = out.nHeight = 0;
  return HasAny(out);
}

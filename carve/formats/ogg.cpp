// Ogg (Vorbis, Opus, FLAC, Speex, Theora): a chain of pages, each checked
// by its CRC-32, up to the page that ends the last logical stream. Named
// .opus or .ogg by the first packet.
#include <vector>

#include "carve/formats/FormatKit.h"
#include "carve/formats/Formats.h"

using namespace carve_detail;

namespace carvefmt {

namespace {

const CARVE_SIGNATURE kSignatures[] = {CARVE_SIG(0, "OggS\x00")};
const u64 kOggMax = kMax4G;
const int kMaxStreams = 16;
const u32 kMaxPages = 1u << 24;

// CRC-32 of the Ogg pages: polynomial 04C11DB7, not reflected, start 0.
struct OGG_CRC {
  u32 t[256];
  OGG_CRC() {
    for (u32 i = 0; i < 256; ++i) {
      u32 c = i << 24;
      for (int k = 0; k < 8; ++k) c = c & 0x80000000u ? (c << 1) ^ 0x04C11DB7u : c << 1;
      t[i] = c;
    }
  }
  u32 Of(const u8* p, size_t n) const {
    u32 crc = 0;
    for (size_t i = 0; i < n; ++i) {
      // 0x16-0x19: the stored CRC counts as zeros.
      const u8 b = i >= 22 && i < 26 ? 0 : p[i];
      crc = (crc << 8) ^ t[((crc >> 24) ^ b) & 0xFF];
    }
    return crc;
  }
};
const OGG_CRC& Crc() {
  static const OGG_CRC crc;
  return crc;
}

// Page header (27 bytes): "OggS", version 0 (4), flags (5: 1 continued,
// 2 first page, 4 last page), granule (6), serial (14), sequence (18), CRC
// (22), segments (26), then the segment table; the page's length is the
// header, the table and the sum of the table's entries.
size_t PageLength(const u8* p, size_t n) {
  if (n < 27 || std::memcmp(p, "OggS", 4) != 0 || p[4] != 0) return 0;
  const size_t segments = p[26];
  if (n < 27 + segments) return 0;
  size_t len = 27 + segments;
  for (size_t i = 0; i < segments; ++i) len += p[27 + i];
  return len;
}

}  // namespace

int IsOggType(CARVE_CONTEXT&, const unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  if (!b.AtLeast(64) || !b.Eq(0, "OggS", 4) || b.p[4] != 0 || (b.p[5] & 0x07) != 0x02) return TYPE_NONE;
  const size_t page = PageLength(b.p, b.n);
  if (page == 0 || (page <= b.n && Crc().Of(b.p, page) != GetU32LE(b.p, b.n, 22))) return TYPE_NONE;
  const size_t packet = 27 + b.p[26];
  if (b.Eq(packet, "OpusHead", 8)) return TYPE_OPUS;
  if (b.Eq(packet, "\x01vorbis", 7) || b.Eq(packet, "\x7F" "FLAC", 5) || b.Eq(packet, "Speex   ", 8) ||
      b.Eq(packet, "\x80theora", 7))
    return TYPE_OGG;
  return TYPE_NONE;
}

u64 GetOggFileBytesSize(CARVE_CONTEXT& ctx, const unsigned char*, int) {
  std::vector<u8> page(65536 + 512);
  u32 begun[kMaxStreams], ended[kMaxStreams];
  int nBegun = 0, nEnded = 0;
  u64 pos = 0;
  for (u32 k = 0; k < kMaxPages && pos < kOggMax; ++k) {
    u8 head[27 + 255];
    if (!ReadFileRange(ctx, pos, head, 27)) break;
    if (!ReadFileRange(ctx, pos, head, 27 + static_cast<size_t>(head[26]))) break;
    const size_t len = PageLength(head, 27 + head[26]);
    if (len == 0 || !ReadFileRange(ctx, pos, page.data(), len)) break;
    if (Crc().Of(page.data(), len) != GetU32LE(page.data(), len, 22)) break;
    const u32 serial = GetU32LE(page.data(), len, 14);
    const u8 flags = page[5];
    if ((flags & 0x02) && nBegun < kMaxStreams) begun[nBegun++] = serial;
    if ((flags & 0x04) && nEnded < kMaxStreams) ended[nEnded++] = serial;
    pos += len;
    // The file ends with the page that closes the last stream begun in it.
    bool allEnded = nBegun > 0;
    for (int i = 0; i < nBegun && allEnded; ++i) {
      bool found = false;
      for (int j = 0; j < nEnded; ++j) found = found || ended[j] == begun[i];
      allEnded = found;
    }
    if (allEnded) return DeclaredLength(ctx, pos);
  }
  // No closing page: the pages that checked out, a bound.
  ctx.bLengthIsCap = true;
  return pos != 0 ? DeclaredLength(ctx, pos) : ctx.OneSector();
}

const CARVE_FORMAT kOgg = {"ogg", kSignatures, SignatureCount(kSignatures), IsOggType, GetOggFileBytesSize, kOggMax,
                           0, nullptr, nullptr};

}  // namespace carvefmt

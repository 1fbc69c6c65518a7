// Flash video: "FLV" version 1 with a 9-byte header, then tags, each
// followed by its own length (11 + data size): the walk ends after the last
// tag whose trailing length agrees.
#include "carve/formats/FormatKit.h"
#include "carve/formats/Formats.h"

using namespace carve_detail;

namespace carvefmt {

namespace {
const CARVE_SIGNATURE kSignatures[] = {CARVE_SIG(0, "FLV\x01")};
const u64 kFlvMax = kMax4G;
const u32 kMaxTags = 1u << 26;
}

int IsFlvType(CARVE_CONTEXT&, const unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  static const u8 kFlv[4] = {'F', 'L', 'V', 1}, kHeaderLen[4] = {0, 0, 0, 9};
  return b.AtLeast(16) && b.Eq(0, kFlv, 4) && b.Eq(5, kHeaderLen, 4) ? TYPE_FLV : TYPE_NONE;
}

// Tag header (11 bytes): type (0: 8 audio, 9 video, 18 script data; bit 5
// marks encrypted tags), data size (1, 24-bit), timestamp (4), stream id
// (8, always 0); after the data a 32-bit length of the tag.
u64 GetFlvFileBytesSize(CARVE_CONTEXT& ctx, const unsigned char*, int) {
  FileView view(ctx, kFlvMax);
  u64 pos = 9 + 4;  // the header and the zero length of "tag 0"
  u32 tags = 0;
  for (; tags < kMaxTags; ++tags) {
    u8 h[11];
    if (!view.Read(pos, h, 11)) break;  // the range ends
    const u8 type = h[0] & 0x1F;
    if ((h[0] & 0xC0) != 0 || (type != 8 && type != 9 && type != 18) || (GetU32BE(h, 11, 7) & 0xFFFFFF) != 0)
      return DeclaredLength(ctx, pos);  // no tag: the file ended with the last one
    const u64 data = GetU32BE(h, 11, 0) & 0xFFFFFF;
    u8 t[4];
    // A tag whose trailing length is missing or wrong was cut.
    if (!view.Read(pos + 11 + data, t, 4) || GetU32BE(t, 4, 0) != 11 + data) break;
    pos += 11 + data + 4;
  }
  ctx.bLengthIsCap = true;
  return tags != 0 ? DeclaredLength(ctx, pos) : ctx.OneSector();
}

const CARVE_FORMAT kFlv = {"flv", kSignatures, SignatureCount(kSignatures), IsFlvType,
                           GetFlvFileBytesSize, kFlvMax, 0, nullptr, nullptr};

}  // namespace carvefmt

// gzip: deflate members with plausible flags, measured by inflating them:
// each member ends where its deflate stream and its CRC-32 and length
// trailer end; members written one after another are one file.
#include <zlib.h>

#include <cstring>

#include "carve/formats/FormatKit.h"
#include "carve/formats/Formats.h"

using namespace carve_detail;

namespace carvefmt {

namespace {
const CARVE_SIGNATURE kSignatures[] = {CARVE_SIG(0, "\x1F\x8B\x08")};
const u64 kGzipMax = kMax4G;
const int kMaxMembers = 4096;

// Inflates the member at pos: its length in bytes when it inflates to its
// end and checks (whole true), else the bytes inflate took before it
// failed or the range ended (cut, damaged, or no gzip at all).
u64 MemberLength(FileView& view, u64 pos, bool& whole) {
  u64 used = 0;
  // 16: the gzip header and trailer, checked.
  whole = InflateView(view, pos, UINT64_MAX, 16 + MAX_WBITS, nullptr, nullptr, used) == Z_STREAM_END;
  return used;
}
}  // namespace

int IsGzipType(CARVE_CONTEXT&, const unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  static const u8 kGzip[3] = {0x1F, 0x8B, 0x08};
  if (!b.AtLeast(16) || !b.Eq(0, kGzip, 3)) return TYPE_NONE;
  // 3: flags (text, header CRC, extra, name, comment; the top three bits
  // reserved); 8: extra flags (0 by default, 2 best, 4 fastest); 9: system.
  u8 flags = b.p[3], extra = b.p[8], os = b.p[9];
  if (flags & 0xE0) return TYPE_NONE;
  if (extra != 0x00 && extra != 0x02 && extra != 0x04) return TYPE_NONE;
  return os <= 13 || os == 0xFF ? TYPE_GZ : TYPE_NONE;
}

u64 GetGzipFileBytesSize(CARVE_CONTEXT& ctx, const unsigned char*, int) {
  FileView view(ctx, kGzipMax);
  u64 pos = 0;
  for (int k = 0; k < kMaxMembers; ++k) {
    bool whole = false;
    const u64 len = MemberLength(view, pos, whole);
    if (!whole) {
      if (k != 0) break;  // the members before it are the file
      // The first member does not inflate whole: cut or damaged; what
      // inflated is a bound.
      ctx.bLengthIsCap = true;
      return len > ctx.OneSector() ? DeclaredLength(ctx, len) : ctx.OneSector();
    }
    pos += len;
    u8 next[3];
    if (!view.Read(pos, next, 3) || next[0] != 0x1F || next[1] != 0x8B || next[2] != 0x08) break;
  }
  return DeclaredLength(ctx, pos);
}

const CARVE_FORMAT kGzip = {"gzip", kSignatures, SignatureCount(kSignatures), IsGzipType,
                            GetGzipFileBytesSize, kGzipMax, 0, nullptr, nullptr};

}  // namespace carvefmt

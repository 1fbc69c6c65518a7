// AMR speech (narrow and wide band), as phones record it: "#!AMR\n" or
// "#!AMR-WB\n", then frames whose first byte gives their mode and length.
#include "carve/formats/FormatKit.h"
#include "carve/formats/Formats.h"

using namespace carve_detail;

namespace carvefmt {

namespace {

const CARVE_SIGNATURE kSignatures[] = {CARVE_SIG(0, "#!AMR")};

// Speech bytes after the one-byte frame header, by frame type; -1 invalid.
const int kNarrow[16] = {12, 13, 15, 17, 19, 20, 26, 31, 5, -1, -1, -1, -1, -1, -1, 0};
const int kWide[16] = {17, 23, 32, 36, 40, 46, 50, 58, 60, 5, -1, -1, -1, -1, 0, 0};

// Frames from the header on: a header byte has bit 7 and bits 0-1 clear and
// the good-frame bit (2) set, and keeps the first frame's mode (silence and
// no-data frames aside). The first byte that breaks this ends the file.
struct AmrWalk {
  const int* sizes = kNarrow;
  u64 pos = 0;
  int mode = -1;
  bool done = false;
  Carry carry;
  void Feed(const StepView& v) {
    for (u32 guard = 0; !done && guard < 4000000; ++guard) {
      u8 h;
      if (!carry.Peek(v, pos, 1, &h)) break;
      const int type = (h >> 3) & 15;
      const bool silence = sizes[type] == 5 || sizes[type] == 0;
      if ((h & 0x83) != 0 || !(h & 0x04) || sizes[type] < 0 || (mode >= 0 && type != mode && !silence)) {
        done = true;
        break;
      }
      if (mode < 0 && !silence) mode = type;
      pos += 1 + static_cast<u64>(sizes[type]);
    }
    carry.Keep(v);
  }
};
bool AmrMarker(CARVE_CONTEXT&, const StepView& v, void* state, u64& size) {
  AmrWalk* w = static_cast<AmrWalk*>(state);
  w->Feed(v);
  if (!w->done) return false;
  size = w->pos;
  return true;
}

}  // namespace

int IsAmrType(CARVE_CONTEXT&, const unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  if (!b.AtLeast(16)) return TYPE_NONE;
  return b.Eq(0, "#!AMR\n", 6) || b.Eq(0, "#!AMR-WB\n", 9) ? TYPE_AMR : TYPE_NONE;
}

u64 GetAmrFileBytesSize(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  AmrWalk w;
  const bool wide = b.Eq(0, "#!AMR-WB\n", 9);
  w.sizes = wide ? kWide : kNarrow;
  w.pos = wide ? 9 : 6;
  const u64 one = ctx.OneSector();
  const size_t first = b.n < one ? b.n : static_cast<size_t>(one);
  if (!b.p || first == 0) return ctx.OneSector();
  StepView v{b.p, first, first, 0, false};
  w.Feed(v);
  if (w.done) return w.pos;
  const u64 size = ForwardScan(ctx, kMax256M, END_ANY, AmrMarker, &w);
  if (w.done) return size;
  ctx.bLengthIsCap = true;
  return w.pos < size ? w.pos : size;
}

const CARVE_FORMAT kAmr = {"amr", kSignatures, SignatureCount(kSignatures), IsAmrType, GetAmrFileBytesSize,
                           kMax256M, 0, nullptr, nullptr};

}  // namespace carvefmt

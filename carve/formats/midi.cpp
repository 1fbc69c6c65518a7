// Standard MIDI files: the header chunk, then track chunks by their lengths.
#include "carve/formats/FormatKit.h"
#include "carve/formats/Formats.h"

using namespace carve_detail;

namespace carvefmt {

namespace {
const CARVE_SIGNATURE kSignatures[] = {CARVE_SIG(0, "MThd")};
const u64 kMaxMidi = kMax8M;
}  // namespace

int IsMidType(CARVE_CONTEXT&, const unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  static const u8 kHeaderLen[4] = {0, 0, 0, 6};
  return b.AtLeast(18) && b.Eq(0, "MThd", 4) && b.Eq(4, kHeaderLen, 4) && b.Eq(14, "MTrk", 4) ? TYPE_MID
                                                                                              : TYPE_NONE;
}

u64 GetMIDFileBytesSize(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen) {
  // Walk the track chunks by their declared lengths: header chunk (14 bytes),
  // then n chunks of "MTrk" + 32-bit big-endian length.
  Bytes b(pBuf, nLen);
  const u64 ss = ctx.OneSector();
  u32 tracks = GetU16BE(b.p, b.n, 10);
  u64 pos = 14;
  bool complete = true;
  u8 head[2 * CARVE_CONTEXT::MAX_SECTOR_SIZE];
  for (u32 t = 0; t < tracks; ++t) {  // bounded by the 16-bit count and the size cap
    u8 chunk[8];
    if (pos + 8 <= b.n) {
      std::memcpy(chunk, b.p + pos, 8);
    } else {
      u64 sector = pos / ss;
      unsigned int span = static_cast<unsigned int>((pos % ss + 8 + ss - 1) / ss);
      if (ctx.ReadSectors(ctx.u64StartSector + sector, span, head, sizeof(head)) != span) {
        complete = false;
        break;
      }
      std::memcpy(chunk, head + pos % ss, 8);
    }
    if (std::memcmp(chunk, "MTrk", 4) != 0) {
      complete = false;
      break;
    }
    pos += 8 + static_cast<u64>(GetU32BE(chunk, 8, 4));
    if (pos > kMaxMidi) {
      complete = false;
      break;
    }
  }
  if (!complete) return ForwardScan(ctx, kMaxMidi, END_ANY, nullptr, nullptr);
  if (pos <= ss) return pos;
  // Still stop at another file's start inside the declared extent.
  return DeclaredLength(ctx, pos);
}

const CARVE_FORMAT kMidi = {"midi", kSignatures, SignatureCount(kSignatures), IsMidType, GetMIDFileBytesSize,
                            kMaxMidi, 0, nullptr, nullptr};

}  // namespace carvefmt

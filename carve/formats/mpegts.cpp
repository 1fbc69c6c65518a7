// MPEG transport streams: 188-byte packets that start with 47 (.ts), and
// the 192-byte timestamped packets of camcorders (.mts).
#include "carve/formats/FormatKit.h"
#include "carve/formats/Formats.h"

using namespace carve_detail;

namespace carvefmt {

namespace {

const u8 kTsSync = 0x47;
const u8 kMtsHead[8] = {0x00, 0x00, 0xB0, 0x11, 0x00, 0x00, 0xC1, 0x00};
const CARVE_SIGNATURE kTsSignatures[] = {CARVE_SIG(0, "\x47")};
const CARVE_SIGNATURE kMtsSignatures[] = {CARVE_SIG(8, "\x00\x00\xB0\x11\x00\x00\xC1\x00")};

struct TsState {
  u64 nextPacket;    // file offset of the first packet not yet looked at
  bool broken = false;
  u64 chainEnd = 0;  // file offset of the first packet out of step
};
bool TsMarker(CARVE_CONTEXT&, const StepView& v, void* state, u64& size) {
  TsState* s = static_cast<TsState*>(state);
  const u64 stepEnd = v.before + v.n;
  while (s->nextPacket + 188 <= stepEnd) {
    if (s->nextPacket >= v.before && v.p[s->nextPacket - v.before] != kTsSync) {
      s->broken = true;
      s->chainEnd = s->nextPacket;
      // Reading further cannot move the end: the size is cut to the chain
      // end afterwards, so stop here instead of reading up to the maximum.
      if (!v.boundary) size = stepEnd;
      return true;
    }
    s->nextPacket += 188;
  }
  return false;
}

}  // namespace

int IsTsType(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  if (!b.AtLeast(188) || b.p[0] != kTsSync) return TYPE_NONE;
  if (b.p[1] == 0 && b.p[2] == 0 && b.p[3] == 0) return TYPE_NONE;
  for (size_t off = 0; off < b.n; off += 188)
    if (b.p[off] != kTsSync) return TYPE_NONE;

  // The first 22 packets of the stream must be in step.
  const int ss = ctx.nBytesPerSector;
  if (!ctx.UsableSectorSize()) return TYPE_NONE;
  unsigned char ahead[4096];
  unsigned int want = 4096 / ss;
  if (ctx.ReadSectors(ctx.u64CurrentSector, want, ahead, sizeof(ahead)) != want) return TYPE_NONE;
  for (int k = 0; k < 22; ++k)
    if (ahead[k * 188] != kTsSync) return TYPE_NONE;

  if (ctx.bCheckTsRanges) {
    // A stream that runs on from the previous sector does not start here.
    if (ctx.u64CurrentSector == 0) return TYPE_NONE;
    unsigned char prev[CARVE_CONTEXT::MAX_SECTOR_SIZE];
    if (ctx.ReadSectors(ctx.u64CurrentSector - 1, 1, prev, sizeof(prev)) != 1) return TYPE_NONE;
    for (int k = 1; k <= ss / 188; ++k)
      if (prev[ss - 188 * k] == kTsSync) return TYPE_NONE;
    if (ctx.pTsRanges)
      for (const _TS_FILE_RANGE_& r : *ctx.pTsRanges)
        if (ctx.u64StartSector >= r.u64StartSector && ctx.u64StartSector <= r.u64EndSector) return TYPE_NONE;
  }
  return TYPE_TS;
}

int IsMtsType(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  if (!b.AtLeast(16) || !b.Eq(8, kMtsHead, 8)) return TYPE_NONE;
  ctx.uMtsPreIndex = b.p[7];
  // Right after an mts file, packets with a non-zero timestamp continue it.
  bool zeroStamp = b.p[0] == 0 && b.p[1] == 0 && b.p[2] == 0 && b.p[3] == 0;
  if (!zeroStamp && ctx.bMtsFileHead) return TYPE_NONE;
  return TYPE_MTS;
}

u64 GetTSFileBytesSize(CARVE_CONTEXT& ctx, const unsigned char*, int) {
  const u64 ss = ctx.OneSector();
  TsState s;
  s.nextPacket = (ss + 187) / 188 * 188;  // the start sector's packets were checked by the detector
  u64 size = ForwardScan(ctx, kMax64G, END_ANY, TsMarker, &s);
  u64 cut = s.broken ? s.chainEnd : s.nextPacket;
  if (cut < size) size = cut;
  // Later candidates inside this stream are its own packets, not new streams.
  u64 last = ctx.u64StartSector + (size + ss - 1) / ss - 1;
  if (ctx.pTsRanges)
    ctx.pTsRanges->push_back({ctx.u64StartSector, last < ctx.u64StartSector ? ctx.u64StartSector : last});
  return size;
}

const CARVE_FORMAT kMpegTs = {"mpegts", kTsSignatures, SignatureCount(kTsSignatures), IsTsType,
                              GetTSFileBytesSize, kMax64G, 0, nullptr, nullptr};
const CARVE_FORMAT kMts = {"mts", kMtsSignatures, SignatureCount(kMtsSignatures), IsMtsType,
                           GetDefaultVedioFileBytesSize, kMax4G, 0, nullptr, nullptr};

}  // namespace carvefmt

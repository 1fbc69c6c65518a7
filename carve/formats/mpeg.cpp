// MPEG program streams and elementary video streams: a pack or sequence
// header start, measured to the stream's end code.
#include "carve/formats/FormatKit.h"
#include "carve/formats/Formats.h"

using namespace carve_detail;

namespace carvefmt {

namespace {

const CARVE_SIGNATURE kSignatures[] = {CARVE_SIG(0, "\x00\x00\x01\xB3"), CARVE_SIG(0, "\x00\x00\x01\xBA")};

// Four bytes searched at every offset that keeps them within the first 32 bytes.
bool FindInFirst32(const u8* b, size_t n, const u8 (&pattern)[4]) {
  size_t limit = n < 32 ? n : 32;
  for (size_t off = 0; off + 4 <= limit; ++off)
    if (std::memcmp(b + off, pattern, 4) == 0) return true;
  return false;
}

struct MpgState {
  bool videoOnly;  // an elementary video stream ends with 00 00 01 B7, a program stream with B9
};
bool MpgMarker(CARVE_CONTEXT& ctx, const StepView& v, void* state, u64& size) {
  static const u8 kSeqEnd[4] = {0, 0, 1, 0xB7}, kProgramEnd[4] = {0, 0, 1, 0xB9};
  const u8* code = static_cast<MpgState*>(state)->videoOnly ? kSeqEnd : kProgramEnd;
  size_t end = 0;
  // MPEG pieces never end the file, so the end code is looked for in all the data read.
  if (!FindAcceptedEnd(ctx, v.p, v.n, code, 4, end)) return false;
  size = v.before + end;
  return true;
}

}  // namespace

int IsMpgType(CARVE_CONTEXT&, const unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  if (!b.AtLeast(16)) return TYPE_NONE;
  static const u8 kVideoSeq[4] = {0, 0, 1, 0xB3}, kGop[4] = {0, 0, 1, 0xB8};
  static const u8 kPack[4] = {0, 0, 1, 0xBA}, kSystem[4] = {0, 0, 1, 0xBB};
  if (b.Eq(0, kVideoSeq, 4) && FindInFirst32(b.p, b.n, kGop)) return TYPE_MPEG;
  if (b.Eq(0, kPack, 4) && FindInFirst32(b.p, b.n, kSystem)) return TYPE_MPEG;
  return TYPE_NONE;
}

u64 GetMPGFileBytesSize(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen) {
  static const u8 kVideoSeq[4] = {0, 0, 1, 0xB3};
  MpgState s{BytesEqual(pBuf, pBuf && nLen > 0 ? nLen : 0, 0, kVideoSeq, 4)};
  return ForwardScan(ctx, kMax4G, END_MPG, MpgMarker, &s);
}

const CARVE_FORMAT kMpeg = {"mpeg", kSignatures, SignatureCount(kSignatures), IsMpgType, GetMPGFileBytesSize,
                            kMax4G, 0, nullptr, nullptr};

}  // namespace carvefmt

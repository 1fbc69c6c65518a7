// PNG: the 8-byte signature, measured to the IEND chunk.
#include "carve/formats/FormatKit.h"
#include "carve/formats/Formats.h"

using namespace carve_detail;

namespace carvefmt {

namespace {
const u8 kPngHead[8] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
const CARVE_SIGNATURE kSignatures[] = {CARVE_SIG(0, "\x89PNG\x0D\x0A\x1A\x0A")};

bool PngMarker(CARVE_CONTEXT& ctx, const StepView& v, void*, u64& size) {
  u64 off = 0;
  if (!GetPNGFileTailOffset(ctx, v.p, static_cast<int>(v.owned), off)) return false;
  size = v.before + off;
  return true;
}
}  // namespace

int IsPngType(CARVE_CONTEXT&, const unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  return b.AtLeast(8) && b.Eq(0, kPngHead, 8) ? TYPE_PNG : TYPE_NONE;
}

int GetPNGFileTailOffset(const CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen, u64& u64Offset) {
  static const u8 kTail[8] = {0x49, 0x45, 0x4E, 0x44, 0xAE, 0x42, 0x60, 0x82};
  Bytes b(pBuf, nLen);
  size_t end = 0;
  if (!FindAcceptedEnd(ctx, b.p, b.n, kTail, 8, end)) return 0;
  u64Offset = end;
  return 1;
}

u64 GetPNGFileBytesSize(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen) {
  u64 off = 0;
  if (GetPNGFileTailOffset(ctx, pBuf, nLen, off)) return off;
  return ForwardScan(ctx, kMax128M, END_ANY, PngMarker, nullptr);
}

// The chunk chain from the signature to IEND: each chunk's length (0,
// big-endian), type (4), data and CRC-32 of type and data. A chain that
// stops before IEND without a broken CRC is a cut picture: it ends after its
// last good chunk. A CRC that fails where the picture still ends in IEND is
// damage inside it.
CARVE_VERDICT CheckPng(CARVE_CONTEXT& ctx, u64 u64Size) {
  FileView view(ctx, u64Size);
  u8 head[8];
  if (!view.Read(0, head, 8) || std::memcmp(head, kPngHead, 8) != 0) return VERDICT_DAMAGED;
  static const u8 kIend[12] = {0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82};
  u64 pos = 8;
  bool crcFailed = false;
  for (u32 chunks = 0; chunks < (1u << 24); ++chunks) {
    u8 h[8];
    if (!view.Read(pos, h, 8)) break;
    const u32 len = GetU32BE(h, 8, 0);
    if (len > 0x7FFFFFFFu || !IsFourCc(h + 4)) break;
    const u64 next = pos + 12 + len;
    if (next > u64Size) break;
    u32 stored = 0, crc = 0;
    if (!view.U32BE(pos + 8 + len, stored) || !view.Crc(pos + 4, 4 + static_cast<u64>(len), crc)) break;
    if (crc != stored) {
      crcFailed = true;
      break;
    }
    if (std::memcmp(h + 4, "IEND", 4) == 0) {
      if (next < u64Size) ctx.u64CheckedEnd = next;
      return VERDICT_WHOLE;
    }
    pos = next;
  }
  u8 tail[12];
  if (crcFailed && u64Size >= 20 && view.Read(u64Size - 12, tail, 12) && std::memcmp(tail, kIend, 12) == 0)
    return VERDICT_DAMAGED;
  if (pos < u64Size) ctx.u64CheckedEnd = pos;
  return VERDICT_PARTIAL;
}

const CARVE_FORMAT kPng = {"png", kSignatures, SignatureCount(kSignatures), IsPngType, GetPNGFileBytesSize,
                           kMax128M, 0, CheckPng, nullptr};

}  // namespace carvefmt

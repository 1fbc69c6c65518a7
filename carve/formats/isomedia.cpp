// ISO base media files (MP4, 3GP, QuickTime): a file-type box at 4, measured
// by walking the top-level boxes.
#include "carve/formats/FormatKit.h"
#include "carve/formats/Formats.h"

using namespace carve_detail;

namespace carvefmt {

namespace {

const CARVE_SIGNATURE kFtyp[] = {CARVE_SIG(4, "ftyp")};
const CARVE_SIGNATURE kMovSignatures[] = {CARVE_SIG(0, "moov"), CARVE_SIG(4, "ftyp")};

bool Mp4Marker(CARVE_CONTEXT&, const StepView& v, void*, u64& size) {
  static const char kTail[] = "freeIsoMedia File Produced";
  size_t off = FindBytes(v.p, v.owned, 0, kTail, 26);
  if (off == npos) return false;
  size_t e = off + 26;
  while (e < v.owned && v.p[e] != 0) ++e;
  size = v.before + e;
  return true;
}

// Box types that may stand at the top level of an ISO base media file
// (MP4, 3GP, QuickTime).
bool IsTopLevelBox(const u8* t) {
  static const char kTypes[][5] = {"ftyp", "moov", "mdat", "free", "skip", "wide", "uuid", "pdin", "moof",
                                   "mfra", "meta", "styp", "sidx", "ssix", "prft", "emsg", "pnot", "udta",
                                   "prfl", "junk"};
  for (const char* k : kTypes)
    if (std::memcmp(t, k, 4) == 0) return true;
  return false;
}

const u32 kIsoMaxBoxes = 1u << 20;  // fragmented files hold thousands; a bound for damaged ones

// Walks the top-level boxes from offset 0: 32-bit big-endian size (0), type
// (4), and for size 1 a 64-bit size (8). The file ends where the last box
// that looks right ends. False (no length) when a box runs to the end of the
// container (size 0), past maxBytes, or no movie box was seen.
bool WalkIsoBoxes(const CARVE_CONTEXT& ctx, const Bytes& first, u64 maxBytes, u64& end) {
  u64 pos = 0;
  bool sawMovie = false;
  for (u32 boxes = 0; boxes < kIsoMaxBoxes; ++boxes) {
    u8 h[16];
    if (!ReadFileBytes(ctx, first, pos, h, 8)) break;  // the range ends here
    if (!IsTopLevelBox(h + 4)) break;
    if (pos != 0 && std::memcmp(h + 4, "ftyp", 4) == 0) break;  // the next file's start
    u64 size = GetU32BE(h, 8, 0);
    if (size == 1) {
      if (!ReadFileBytes(ctx, first, pos + 8, h + 8, 8)) break;
      size = GetU64BE(h, 16, 8);
      if (size < 16) break;
    } else if (size == 0) {
      return false;
    } else if (size < 8) {
      break;
    }
    if (size > maxBytes || pos > maxBytes - size) return false;
    if (std::memcmp(h + 4, "moov", 4) == 0) sawMovie = true;
    pos += size;
  }
  if (!sawMovie) return false;
  end = pos;
  return true;
}

}  // namespace

int IsMp4Type(CARVE_CONTEXT&, const unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  if (!b.AtLeast(32) || !b.Eq(4, "ftyp", 4)) return TYPE_NONE;
  if (b.Eq(8, "iso", 3) || b.Eq(8, "mp42", 4)) return TYPE_MP4;
  return TYPE_NONE;
}

int Is3pgType(CARVE_CONTEXT&, const unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  return b.AtLeast(32) && b.Eq(4, "ftyp", 4) && b.Eq(8, "3gp", 3) ? TYPE_3GP : TYPE_NONE;
}

int IsMovType(CARVE_CONTEXT&, const unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  if (!b.AtLeast(16)) return TYPE_NONE;
  if (b.Eq(0, "moov", 4)) return TYPE_MOV;
  if (b.Eq(4, "ftyp", 4) && b.Eq(8, "qt  ", 4)) return TYPE_MOV;
  return TYPE_NONE;
}

u64 GetMP4FileBytesSize(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen) {
  u64 end = 0;
  if (WalkIsoBoxes(ctx, Bytes(pBuf, nLen), kMax4G, end)) return DeclaredLength(ctx, end);
  return ForwardScan(ctx, kMax4G, END_ANY, Mp4Marker, nullptr);
}

u64 GetISOMediaFileBytesSize(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen) {
  u64 end = 0;
  if (WalkIsoBoxes(ctx, Bytes(pBuf, nLen), kMax4G, end)) return DeclaredLength(ctx, end);
  return GetDefaultVedioFileBytesSize(ctx, pBuf, nLen);
}

const CARVE_FORMAT kMp4 = {"mp4", kFtyp, SignatureCount(kFtyp), IsMp4Type, GetMP4FileBytesSize,
                           kMax4G, 0, nullptr, nullptr};
const CARVE_FORMAT k3gp = {"3gp", kFtyp, SignatureCount(kFtyp), Is3pgType, GetISOMediaFileBytesSize,
                           kMax4G, 0, nullptr, nullptr};
const CARVE_FORMAT kMov = {"mov", kMovSignatures, SignatureCount(kMovSignatures), IsMovType,
                           GetISOMediaFileBytesSize, kMax4G, 0, nullptr, nullptr};

}  // namespace carvefmt

// TIFF and the camera raw files built on it (DNG, NEF, ARW, CR2, PEF, SRW,
// ORF, RW2), and Fujifilm's RAF: measured to the furthest byte their
// structure points to, named by their header and tags.
#include <cstring>

#include "carve/TiffIfd.h"
#include "carve/formats/FormatKit.h"
#include "carve/formats/Formats.h"

using namespace carve_detail;

namespace carvefmt {

namespace {

const CARVE_SIGNATURE kSignatures[] = {CARVE_SIG(0, "II\x2A\x00"), CARVE_SIG(0, "MM\x00\x2A")};
const CARVE_SIGNATURE kRawSignatures[] = {CARVE_SIG(0, "II\x2A\x00"), CARVE_SIG(0, "MM\x00\x2A"),
                                          CARVE_SIG(0, "IIRO"), CARVE_SIG(0, "IIRS"), CARVE_SIG(0, "MMOR"),
                                          CARVE_SIG(0, "IIU\x00")};
const CARVE_SIGNATURE kRafSignatures[] = {CARVE_SIG(0, "FUJIFILMCCD-RAW ")};
const u64 kTiffMax = kMax512M;

// The walker's byte source: a detector's sector (and what follows it), or
// the candidate file.
struct SOURCE {
  const CARVE_CONTEXT* ctx;
  Bytes first;
  bool detect;
};
bool ReadSource(void* p, u64 off, u8* out, size_t len) {
  const SOURCE* s = static_cast<const SOURCE*>(p);
  if (len == 0) return true;
  if (off <= s->first.n && len <= s->first.n - off) {
    std::memcpy(out, s->first.p + off, len);
    return true;
  }
  if (s->detect) {
    for (size_t done = 0; done < len; done += 16) {
      const size_t n = len - done < 16 ? len - done : 16;
      if (!ReadDetectBytes(*s->ctx, s->first, off + done, out + done, n)) return false;
    }
    return true;
  }
  return len <= 16 ? ReadFileBytes(*s->ctx, s->first, off, out, len) : ReadFileRange(*s->ctx, off, out, len);
}

bool StartsWith(const char* s, const char* prefix) { return std::strncmp(s, prefix, std::strlen(prefix)) == 0; }

}  // namespace

int IsTifType(CARVE_CONTEXT&, const unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  static const u8 kLittle[4] = {0x49, 0x49, 0x2A, 0x00}, kBig[4] = {0x4D, 0x4D, 0x00, 0x2A};
  return b.AtLeast(4) && (b.Eq(0, kLittle, 4) || b.Eq(0, kBig, 4)) ? TYPE_TIF : TYPE_NONE;
}

// Camera raws: Olympus (IIRO, IIRS, MMOR) and Panasonic (IIU) by their
// header; Canon CR2 by "CR" at 8; DNG by its DNGVersion tag (0xC612);
// the others by the Make tag (0x10F). A plain TIFF is left to the TIFF row.
int IsTiffRawType(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  if (!b.AtLeast(16)) return TYPE_NONE;
  SOURCE src{&ctx, b, true};
  CTiffIfdWalker w(ReadSource, &src);
  if (!w.ReadHeader()) return TYPE_NONE;
  if (w.Magic() == 0x4F52 || w.Magic() == 0x5352) return TYPE_ORF;
  if (w.Magic() == 0x55) return TYPE_RW2;
  if (b.Eq(8, "CR", 2)) return TYPE_CR2;
  bool dng = false;
  char make[32] = {0};
  w.Walk([&](const TIFF_ENTRY& e) {
    if (e.nIfd != 0) return false;  // IFD0 names the camera
    if (e.nTag == 0xC612) dng = true;
    if (e.nTag == 0x10F) w.ReadAscii(e, make, sizeof(make));
    return true;
  });
  if (dng) return TYPE_DNG;
  if (StartsWith(make, "NIKON")) return TYPE_NEF;
  if (StartsWith(make, "SONY")) return TYPE_ARW;
  if (StartsWith(make, "PENTAX") || StartsWith(make, "RICOH")) return TYPE_PEF;
  if (StartsWith(make, "SAMSUNG")) return TYPE_SRW;
  return TYPE_NONE;
}

u64 GetTiffFileBytesSize(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen) {
  SOURCE src{&ctx, Bytes(pBuf, nLen), false};
  CTiffIfdWalker w(ReadSource, &src);
  u64 end = w.ReadHeader() ? w.Extent() : 0;
  // Values sit on even offsets: a writer pads an odd last value with a zero.
  u8 pad = 1;
  if ((end & 1) && ReadSource(&src, end, &pad, 1) && pad == 0) ++end;
  if (end <= 8) {  // no structure to follow: to the next file, a bound
    const u64 size = ForwardScan(ctx, kTiffMax, END_ANY, nullptr, nullptr);
    ctx.bLengthIsCap = true;
    return size;
  }
  if (end > kTiffMax) {
    ctx.bLengthIsCap = true;
    end = kTiffMax;
  }
  return DeclaredLength(ctx, end);
}

// RAF: "FUJIFILMCCD-RAW ", then at 0x54 the embedded JPEG's offset and
// length, at 0x5C the CFA header's and at 0x64 the raw data's (big-endian).
int IsRafType(CARVE_CONTEXT&, const unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  return b.AtLeast(108) && b.Eq(0, "FUJIFILMCCD-RAW ", 16) ? TYPE_RAF : TYPE_NONE;
}

u64 GetRafFileBytesSize(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  if (!b.AtLeast(108)) return ctx.OneSector();
  u64 end = 0;
  for (size_t at = 0x54; at <= 0x64; at += 8) {
    const u64 e = static_cast<u64>(GetU32BE(b.p, b.n, at)) + GetU32BE(b.p, b.n, at + 4);
    if (e > end) end = e;
  }
  if (end <= 108 || end > kTiffMax) {
    const u64 size = ForwardScan(ctx, kTiffMax, END_ANY, nullptr, nullptr);
    ctx.bLengthIsCap = true;
    return size;
  }
  return DeclaredLength(ctx, end);
}

namespace {
bool ReadView(void* p, u64 off, u8* out, size_t len) { return static_cast<FileView*>(p)->Read(off, out, len); }
}  // namespace

// The IFD chain and every IFD hanging off it read whole through the one
// TIFF walker; every out-of-line value and every strip or tile inside the
// file, the furthest of them its end.
CARVE_VERDICT CheckTiff(CARVE_CONTEXT& ctx, u64 u64Size) {
  FileView view(ctx, u64Size);
  CTiffIfdWalker w(ReadView, &view);
  if (!w.ReadHeader()) return VERDICT_DAMAGED;
  bool outside = false, entries = false;
  const bool walked = w.Walk([&](const TIFF_ENTRY& e) {
    entries = true;
    if (e.u64Bytes > 4 && e.u64At + e.u64Bytes > u64Size) outside = true;
    return true;
  });
  if (!walked || !entries) return VERDICT_DAMAGED;
  u64 end = w.Extent();
  u8 pad = 1;
  if ((end & 1) && end < u64Size && view.U8At(end, pad) && pad == 0) ++end;
  if (outside || end > u64Size) return VERDICT_PARTIAL;
  if (end < u64Size) ctx.u64CheckedEnd = end;
  return VERDICT_WHOLE;
}

const CARVE_FORMAT kTiff = {"tiff", kSignatures, SignatureCount(kSignatures), IsTifType, GetTiffFileBytesSize,
                            kTiffMax, 0, CheckTiff, nullptr};
const CARVE_FORMAT kTiffRaw = {"tiff-raw", kRawSignatures, SignatureCount(kRawSignatures), IsTiffRawType,
                               GetTiffFileBytesSize, kTiffMax, 0, CheckTiff, nullptr};
const CARVE_FORMAT kRaf = {"raf", kRafSignatures, SignatureCount(kRafSignatures), IsRafType, GetRafFileBytesSize,
                           kTiffMax, 0, nullptr, nullptr};

}  // namespace carvefmt

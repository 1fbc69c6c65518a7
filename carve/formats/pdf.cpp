// PDF: "%PDF-", measured to the last "%%EOF" (with its line end).
#include <vector>

#include "carve/formats/FormatKit.h"
#include "carve/formats/Formats.h"

using namespace carve_detail;

namespace carvefmt {

namespace {
const CARVE_SIGNATURE kSignatures[] = {CARVE_SIG(0, "%PDF-")};

bool PdfMarker(CARVE_CONTEXT&, const StepView& v, void*, u64& size) {
  size_t off = FindLastBytes(v.p, v.owned, "%%EOF", 5);
  if (off != npos) {
    // The line end after %%EOF belongs to the file.
    size_t e = off + 5;
    if (e < v.owned && v.p[e] == '\r') ++e;
    if (e < v.owned && v.p[e] == '\n') ++e;
    size = v.before + e;
    return true;
  }
  off = FindLastBytes(v.p, v.owned, "trailer", 7);
  if (off == npos) return false;
  size = v.before + off + 7;
  return true;
}
}  // namespace

int IsPdfType(CARVE_CONTEXT&, const unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  return b.AtLeast(5) && b.Eq(0, "%PDF-", 5) ? TYPE_PDF : TYPE_NONE;
}

u64 GetPDFFileBytesSize(CARVE_CONTEXT& ctx, const unsigned char*, int) {
  return ForwardScan(ctx, kMax1G, END_ANY, PdfMarker, nullptr);
}

namespace {

const u32 kPdfCheckMaxObjects = 200000;  // cross-reference entries looked at

bool IsPdfSpace(u8 c) { return c == ' ' || c == '\r' || c == '\n' || c == '\t' || c == '\f' || c == 0; }

// A decimal number at p[i..n), after any white space; i moves past it.
bool ParsePdfNumber(const u8* p, size_t n, size_t& i, u64& v) {
  while (i < n && IsPdfSpace(p[i])) ++i;
  size_t digits = 0;
  v = 0;
  while (i < n && p[i] >= '0' && p[i] <= '9' && digits < 19) {
    v = v * 10 + (p[i++] - '0');
    ++digits;
  }
  return digits != 0;
}

// "<number> <generation> obj" at offset off (object number expected when not ~0).
bool PdfObjectAt(FileView& view, u64 off, u64 number) {
  u8 b[48];
  const u64 left = view.Size() - off;
  const size_t n = static_cast<size_t>(left < sizeof(b) ? left : sizeof(b));
  if (off >= view.Size() || !view.Read(off, b, n)) return false;
  size_t i = 0;
  u64 num = 0, gen = 0;
  if (!ParsePdfNumber(b, n, i, num) || !ParsePdfNumber(b, n, i, gen)) return false;
  while (i < n && IsPdfSpace(b[i])) ++i;
  return i + 3 <= n && std::memcmp(b + i, "obj", 3) == 0 && (number == ~0ull || num == number);
}

// A classic cross-reference table at off: subsections "first count" and
// 20-byte entries "oooooooooo ggggg n"; every object in use must start
// where its entry says.
bool PdfXrefTableHolds(FileView& view, u64 off) {
  u64 pos = off + 4;
  u32 seen = 0;
  for (int sections = 0; sections < 10000; ++sections) {
    u8 b[64];
    const u64 left = view.Size() - pos;
    const size_t n = static_cast<size_t>(left < sizeof(b) ? left : sizeof(b));
    if (pos >= view.Size() || !view.Read(pos, b, n)) return false;
    size_t i = 0;
    while (i < n && IsPdfSpace(b[i])) ++i;
    if (i + 7 <= n && std::memcmp(b + i, "trailer", 7) == 0) return true;
    u64 first = 0, count = 0;
    if (!ParsePdfNumber(b, n, i, first) || !ParsePdfNumber(b, n, i, count)) return false;
    while (i < n && b[i] != '\n' && b[i] != '\r') ++i;  // to the line end
    while (i < n && (b[i] == '\n' || b[i] == '\r' || b[i] == ' ')) ++i;
    pos += i;
    for (u64 k = 0; k < count; ++k, pos += 20) {
      u8 e[20];
      if (!view.Read(pos, e, 20)) return false;
      if (e[17] != 'n' && e[17] != 'f') return false;
      if (e[17] != 'n' || ++seen > kPdfCheckMaxObjects) continue;
      size_t j = 0;
      u64 at = 0;
      if (!ParsePdfNumber(e, 10, j, at)) return false;
      if (at == 0) continue;
      if (!PdfObjectAt(view, at, first + k)) return false;
    }
  }
  return false;
}

}  // namespace

// The last "%%EOF" ends the file (with its line end); the "startxref" before
// it points at the last cross-reference section: a table whose objects all
// start where it says, or a cross-reference stream object.
CARVE_VERDICT CheckPdf(CARVE_CONTEXT& ctx, u64 u64Size) {
  FileView view(ctx, u64Size);
  u8 head[5];
  if (!view.Read(0, head, 5) || std::memcmp(head, "%PDF-", 5) != 0) return VERDICT_DAMAGED;
  const u64 tailLen = u64Size < 2048 ? u64Size : 2048;
  std::vector<u8> tail(static_cast<size_t>(tailLen));
  if (!view.Read(u64Size - tailLen, tail.data(), tail.size())) return VERDICT_PARTIAL;
  const size_t eof = FindLastBytes(tail.data(), tail.size(), "%%EOF", 5);
  if (eof == npos) return VERDICT_PARTIAL;
  size_t e = eof + 5;
  while (e < tail.size() && (tail[e] == '\r' || tail[e] == '\n')) ++e;
  for (size_t k = e; k < tail.size(); ++k)
    if (!IsPdfSpace(tail[k])) {
      ctx.u64CheckedEnd = u64Size - tailLen + e;  // something else follows the file
      break;
    }
  const size_t sx = FindLastBytes(tail.data(), eof, "startxref", 9);
  if (sx == npos) return VERDICT_DAMAGED;
  size_t i = sx + 9;
  u64 xref = 0;
  if (!ParsePdfNumber(tail.data(), eof, i, xref) || xref >= u64Size) return VERDICT_DAMAGED;
  u8 x[4];
  if (!view.Read(xref, x, 4)) return VERDICT_DAMAGED;
  if (std::memcmp(x, "xref", 4) == 0) return PdfXrefTableHolds(view, xref) ? VERDICT_WHOLE : VERDICT_DAMAGED;
  return PdfObjectAt(view, xref, ~0ull) ? VERDICT_WHOLE : VERDICT_DAMAGED;
}

const CARVE_FORMAT kPdf = {"pdf", kSignatures, SignatureCount(kSignatures), IsPdfType, GetPDFFileBytesSize,
                           kMax1G, 0, CheckPdf, nullptr};

}  // namespace carvefmt

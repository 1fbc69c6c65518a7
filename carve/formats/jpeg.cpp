// JPEG: SOI and a JFIF or Exif first segment, measured by following the
// marker segments to the picture's own EOI.
#include <csetjmp>
#include <cstdio>

// jpeglib.h first: jerror.h lists some codes only under its configuration.
#include <jpeglib.h>
#include <jerror.h>

#include "carve/JpegEntropy.h"
#include "carve/formats/FormatKit.h"
#include "carve/formats/JpegMarkers.h"
#include "carve/formats/Formats.h"

using namespace carve_detail;

namespace carvefmt {

namespace {

const CARVE_SIGNATURE kSignatures[] = {CARVE_SIG(0, "\xFF\xD8\xFF")};
// The fallback when a JPEG's segments cannot be followed: the last accepted
// FF D9 of the file's own bytes (a thumbnail's end marker earlier in the step
// does not hide the picture's own).
void JpgLastTail(const CARVE_CONTEXT& ctx, const StepView& v, CandidateState* s) {
  static const u8 kTail[2] = {0xFF, 0xD9};
  const size_t ss = static_cast<size_t>(ctx.nBytesPerSector);
  for (size_t off = FindBytes(v.p, v.owned, 0, kTail, 2); off != npos; off = FindBytes(v.p, v.owned, off + 1, kTail, 2)) {
    if (IsAcceptedEnd(v.p, v.n, off + 2, ss)) {
      s->has = true;
      s->candidate = v.before + off + 2;
    }
  }
}

struct JpgState {
  JPEG_MARKERS walk;
  CandidateState last;
  // p holds the n file bytes from file offset base; bytes not right after
  // those fed before cannot be followed.
  void Feed(const u8* p, size_t n, u64 base) {
    if (walk.Done()) return;
    if (base != walk.pos) return walk.Break(base);
    walk.Feed(p, n);
  }
};
bool JpgMarker(CARVE_CONTEXT& ctx, const StepView& v, void* state, u64& size) {
  JpgState* s = static_cast<JpgState*>(state);
  s->Feed(v.p, v.owned, v.before);
  if (s->walk.st == JPEG_MARKERS::END) {
    size = s->walk.end;
    return true;
  }
  JpgLastTail(ctx, v, &s->last);
  // A whole sector of zeros is no part of a picture's coded data: a picture
  // cut short ends there (bounded and still short), not at the 128 MiB cap.
  // Only past the first scan's start: segments before it (maker notes) may
  // hold zeros.
  if (!s->walk.sawSos || s->walk.Done()) return false;
  const size_t ss = static_cast<size_t>(ctx.OneSector());
  for (size_t at = 0; ss && at + ss <= v.owned; at += ss) {
    if (v.before + at < s->walk.firstScan) continue;
    bool zero = true;
    for (size_t i = 0; i < ss && zero; ++i) zero = v.p[at + i] == 0;
    if (zero) {
      size = v.before + at;
      ctx.bLengthIsCap = true;
      return true;
    }
  }
  return false;
}


// ---- Integrity: the picture decoded whole ----

// Decoding is capped so that the deep pass keeps its pace: a picture with
// more pixels than this is not decoded (it stays unverified).
const u64 kJpegCheckMaxPixels = 120000000;
// A picture the walk takes is one the decoder would take on too.
static_assert(kJpegWalkMaxPixels <= kJpegCheckMaxPixels, "the walk's cap within the decoder's");
// Working memory the decoder may take (progressive pictures keep every
// coefficient until the last scan).
const long kJpegCheckMaxMemory = 512L * 1024 * 1024;

struct JpegCheckError {
  jpeg_error_mgr mgr;
  std::jmp_buf jump;
  bool corrupt = false;  // the decoder met data that is not this picture's
  bool eof = false;      // the bytes ran out before the picture's end
  CARVE_CONTEXT* ctx = nullptr;
};

// libjpeg's default error_exit ends the process: jump back instead.
void JpegCheckErrorExit(j_common_ptr cinfo) {
  JpegCheckError* e = reinterpret_cast<JpegCheckError*>(cinfo->err);
  std::longjmp(e->jump, 1);
}

// The start of the decoder's source (JpegCheckSource below), as far as the
// warning handler reads it.
struct JpegCheckSourceEnd {
  jpeg_source_mgr mgr;
  void* view;
  u64 next;
};

// Warnings (level -1) carry the verdict; trace messages are dropped.
void JpegCheckMessage(j_common_ptr cinfo, int level) {
  if (level >= 0) return;
  JpegCheckError* e = reinterpret_cast<JpegCheckError*>(cinfo->err);
  switch (e->mgr.msg_code) {
    case JWRN_JPEG_EOF:
      e->eof = true;
      break;
    case JWRN_ARITH_BAD_CODE:
    case JWRN_BOGUS_PROGRESSION:
    case JWRN_EXTRANEOUS_DATA:
    case JWRN_HIT_MARKER:
    case JWRN_HUFF_BAD_CODE:
    case JWRN_MUST_RESYNC:
    case JWRN_NOT_SEQUENTIAL:
    case JWRN_BOGUS_ICC:
      if (!e->corrupt && e->ctx && cinfo->is_decompressor && reinterpret_cast<j_decompress_ptr>(cinfo)->src) {
        // The first damage: how far the decoder had read (its bit buffer
        // holds a few bytes more), where a search for a lost piece starts.
        const JpegCheckSourceEnd* s =
            reinterpret_cast<const JpegCheckSourceEnd*>(reinterpret_cast<j_decompress_ptr>(cinfo)->src);
        e->ctx->u64DamageAt = s->next > s->mgr.bytes_in_buffer ? s->next - s->mgr.bytes_in_buffer : 1;
      }
      e->corrupt = true;
      if (e->ctx && e->ctx->bStopAtDamage) std::longjmp(e->jump, 1);
      break;
    default:
      break;  // unknown revisions, colour transforms: the data is still whole
  }
}

// The decoder's source: the file's bytes through the view, and a made-up
// EOI when they run out (libjpeg's own convention, with its warning).
struct JpegCheckSource {
  jpeg_source_mgr mgr{};  // nothing in the buffer until the first fill
  FileView* view;
  u64 next = 0;       // file offset of the next byte to hand over (JpegCheckSourceEnd reads these three)
  bool ended = false;
  u8 eoi[2] = {0xFF, 0xD9};
};

static_assert(offsetof(JpegCheckSource, next) == offsetof(JpegCheckSourceEnd, next), "the warning handler's view");

void JpegSrcInit(j_decompress_ptr) {}
boolean JpegSrcFill(j_decompress_ptr cinfo) {
  JpegCheckSource* s = reinterpret_cast<JpegCheckSource*>(cinfo->src);
  size_t n = 0;
  const u8* p = s->ended ? nullptr : s->view->Span(s->next, n);
  if (!p) {
    s->ended = true;
    WARNMS(cinfo, JWRN_JPEG_EOF);
    s->mgr.next_input_byte = s->eoi;
    s->mgr.bytes_in_buffer = 2;
    return TRUE;
  }
  s->mgr.next_input_byte = p;
  s->mgr.bytes_in_buffer = n;
  s->next += n;
  return TRUE;
}
void JpegSrcSkip(j_decompress_ptr cinfo, long count) {
  JpegCheckSource* s = reinterpret_cast<JpegCheckSource*>(cinfo->src);
  if (count <= 0) return;
  u64 left = static_cast<u64>(count);
  while (left > s->mgr.bytes_in_buffer) {
    left -= s->mgr.bytes_in_buffer;
    s->mgr.bytes_in_buffer = 0;
    JpegSrcFill(cinfo);
    if (s->ended) return;
  }
  s->mgr.next_input_byte += left;
  s->mgr.bytes_in_buffer -= static_cast<size_t>(left);
}
void JpegSrcTerm(j_decompress_ptr) {}

struct JpegDecoder {
  jpeg_decompress_struct cinfo;
  JpegDecoder() { std::memset(&cinfo, 0, sizeof(cinfo)); }
  ~JpegDecoder() { jpeg_destroy_decompress(&cinfo); }
};

}  // namespace

// A sequential Huffman picture is walked code by code first (CJpegEntropy):
// its header checks take in the decoder's and its entropy checks are
// stricter, so a whole walk is a whole decode, at a few times the pace.
// Anything else (a fault, a cut, a progressive picture) is decoded whole at
// an eighth of its size, and the decoder's verdict stands: every scan's
// entropy data is still decoded, which is where damage shows, at a fraction
// of the cost of a full decode. The end is where the walk or the decoder
// read the EOI.
CARVE_VERDICT CheckJpeg(CARVE_CONTEXT& ctx, u64 u64Size) {
  // A length with no end found is decoded at once whatever its size: the
  // decoder's EOI is what cuts it to the picture.
  if (ctx.u64CheckBudget && u64Size > ctx.u64CheckBudget && !ctx.bLengthIsCap) {
    ctx.bCheckDeferred = true;
    return VERDICT_UNKNOWN;
  }
  // The two-piece search wants the decoder's damage position: no walk.
  if (!ctx.bStopAtDamage) {
    const JPEG_WALK w = CJpegEntropy::Walk(ctx, u64Size, 0);
    if (w.nOutcome == JPEG_WALK_WHOLE) {
      ctx.u64DamageAt = 0;
      if (w.u64End < u64Size) ctx.u64CheckedEnd = w.u64End;
      return VERDICT_WHOLE;
    }
  }
  FileView view(ctx, u64Size);
  JpegDecoder d;
  JpegCheckError err;
  JpegCheckSource src;
  src.view = &view;
  err.ctx = &ctx;
  ctx.u64DamageAt = 0;
  d.cinfo.err = jpeg_std_error(&err.mgr);
  err.mgr.error_exit = JpegCheckErrorExit;
  err.mgr.emit_message = JpegCheckMessage;
  std::vector<u8> row;
  // Nothing with a destructor is made between the setjmp and the calls
  // that may jump back to it.
  if (setjmp(err.jump) != 0)
    return src.ended && !(err.corrupt && ctx.bStopAtDamage) ? VERDICT_PARTIAL : VERDICT_DAMAGED;
  jpeg_create_decompress(&d.cinfo);
  d.cinfo.mem->max_memory_to_use = kJpegCheckMaxMemory;
  d.cinfo.src = &src.mgr;
  src.mgr.init_source = JpegSrcInit;
  src.mgr.fill_input_buffer = JpegSrcFill;
  src.mgr.skip_input_data = JpegSrcSkip;
  src.mgr.resync_to_restart = jpeg_resync_to_restart;
  src.mgr.term_source = JpegSrcTerm;
  if (jpeg_read_header(&d.cinfo, TRUE) != JPEG_HEADER_OK) return VERDICT_DAMAGED;
  if (static_cast<u64>(d.cinfo.image_width) * d.cinfo.image_height > kJpegCheckMaxPixels) return VERDICT_UNKNOWN;
  d.cinfo.scale_num = 1;
  d.cinfo.scale_denom = 8;
  d.cinfo.dct_method = JDCT_IFAST;
  d.cinfo.do_fancy_upsampling = FALSE;
  d.cinfo.do_block_smoothing = FALSE;
  d.cinfo.two_pass_quantize = FALSE;
  jpeg_start_decompress(&d.cinfo);
  row.resize(static_cast<size_t>(d.cinfo.output_width) * d.cinfo.output_components + 16);
  JSAMPROW rows[1] = {row.data()};
  while (d.cinfo.output_scanline < d.cinfo.output_height)
    if (jpeg_read_scanlines(&d.cinfo, rows, 1) != 1) break;
  jpeg_finish_decompress(&d.cinfo);
  if (err.eof || src.ended) return VERDICT_PARTIAL;
  if (err.corrupt) return VERDICT_DAMAGED;
  // Just past the EOI the decoder stopped at.
  const u64 end = src.next - d.cinfo.src->bytes_in_buffer;
  if (end < u64Size) ctx.u64CheckedEnd = end;
  return VERDICT_WHOLE;
}

int IsJpgType(CARVE_CONTEXT&, const unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  if (!b.AtLeast(16)) return TYPE_NONE;
  static const u8 kJfif[4] = {0xFF, 0xD8, 0xFF, 0xE0}, kExif[4] = {0xFF, 0xD8, 0xFF, 0xE1};
  if (b.Eq(0, kJfif, 4) && b.Eq(6, "JFIF", 4)) return TYPE_JPG;
  if (b.Eq(0, kExif, 4) && b.Eq(6, "Exif", 4)) return TYPE_JPG;
  return TYPE_NONE;
}

int GetJPGFileTailOffset(const CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen, u64& u64Offset) {
  static const u8 kTail[2] = {0xFF, 0xD9};
  Bytes b(pBuf, nLen);
  size_t end = 0;
  if (!FindAcceptedEnd(ctx, b.p, b.n, kTail, 2, end)) return 0;
  u64Offset = end;
  return 1;
}

u64 GetJPGFileBytesSize(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen) {
  JpgState s;
  Bytes b(pBuf, nLen);
  const u64 one = ctx.OneSector();
  const size_t first = b.n < one ? b.n : static_cast<size_t>(one);
  if (b.p) s.Feed(b.p, first, 0);
  if (s.walk.st == JPEG_MARKERS::END) return s.walk.end;  // the whole picture is in its first sector
  u64 off = 0;
  const bool firstTail = GetJPGFileTailOffset(ctx, pBuf, nLen, off) != 0;
  // Without followable segments, an accepted end in the first sector is taken at once.
  if (firstTail && s.walk.st == JPEG_MARKERS::BROKEN) return off;
  const bool capBefore = ctx.bLengthIsCap;
  u64 size = ForwardScan(ctx, kMax128M, END_ANY, JpgMarker, &s);
  if (s.walk.st == JPEG_MARKERS::END) return size;
  if (firstTail) {
    ctx.bLengthIsCap = capBefore;
    return off;
  }
  if (s.last.has && s.last.candidate < size) {
    ctx.bLengthIsCap = capBefore;
    size = s.last.candidate;
  }
  return size;
}

// Pictures whose first segment after SOI is another APPn (Adobe, ICC, XMP,
// or a JFIF / Exif segment the first row refused), a table (DQT, DHT), a
// frame header or a comment: the segment's length must lead to the next
// marker when that lies in the buffer.
int IsJpgOtherStartType(CARVE_CONTEXT&, const unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  if (!b.AtLeast(16) || b.p[0] != 0xFF || b.p[1] != 0xD8 || b.p[2] != 0xFF) return TYPE_NONE;
  const u8 m = b.p[3];
  const bool app = m >= 0xE0 && m <= 0xEF;
  const bool frame = m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC;
  if (!(app || frame || m == 0xDB || m == 0xC4 || m == 0xFE)) return TYPE_NONE;
  const u32 len = GetU16BE(b.p, b.n, 4);  // counts itself, not the marker
  if (len < 2 || (m == 0xDB && len < 67) || (frame && len < 11)) return TYPE_NONE;
  const size_t next = 4 + static_cast<size_t>(len);
  if (next + 1 < b.n && (b.p[next] != 0xFF || b.p[next + 1] == 0x00 || b.p[next + 1] == 0xFF)) return TYPE_NONE;
  return TYPE_JPG;
}

const CARVE_FORMAT kJpegOtherStart = {"jpeg", kSignatures, SignatureCount(kSignatures), IsJpgOtherStartType,
                                      GetJPGFileBytesSize, kMax128M, 0, CheckJpeg, nullptr};
const CARVE_FORMAT kJpeg = {"jpeg", kSignatures, SignatureCount(kSignatures), IsJpgType, GetJPGFileBytesSize,
                            kMax128M, 0, CheckJpeg, nullptr};

}  // namespace carvefmt

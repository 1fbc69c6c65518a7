// ISO base media files: a file-type box at 4, named by its brands (MP4,
// M4A, M4V, 3GP, 3G2, QuickTime, HEIC, HEIF, AVIF, CR3), measured by one
// walk over the top-level boxes.
#include <vector>

#include "carve/Mp4Rebuild.h"
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

// What the walk must have seen for the boxes to make a file.
enum ISO_NEED {
  NEED_MOVIE,          // a movie box (video and audio files)
  NEED_MOVIE_OR_META,  // or a meta box (still images: HEIF, AVIF)
};

// Walks the top-level boxes from offset 0: 32-bit big-endian size (0), type
// (4), and for size 1 a 64-bit size (8). The file ends where the last box
// that looks right ends. False (no length) when a box runs to the end of the
// container (size 0: its end is not written down), past maxBytes, or the
// boxes the file needs were not seen.
bool WalkIsoBoxes(const CARVE_CONTEXT& ctx, const Bytes& first, u64 maxBytes, ISO_NEED need, u64& end) {
  u64 pos = 0;
  bool sawMovie = false, sawMeta = false;
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
    if (std::memcmp(h + 4, "meta", 4) == 0) sawMeta = true;
    pos += size;
  }
  if (!sawMovie && !(need == NEED_MOVIE_OR_META && sawMeta)) return false;
  end = pos;
  return true;
}

// The type a brand names; TYPE_NONE for a brand this carver does not know.
int BrandType(const u8* b) {
  auto is = [b](const char* k) { return std::memcmp(b, k, 4) == 0; };
  if (is("M4A ") || is("M4B ") || is("M4P ")) return TYPE_M4A;
  if (is("M4V ") || is("M4VH") || is("M4VP")) return TYPE_M4V;
  if (std::memcmp(b, "3g2", 3) == 0) return TYPE_3G2;
  if (b[0] == '3' && b[1] == 'g' && (b[2] == 'p' || b[2] == 'e' || b[2] == 'g' || b[2] == 's' || b[2] == 'r'))
    return TYPE_3GP;
  if (is("qt  ")) return TYPE_MOV;
  if (is("heic") || is("heix") || is("heim") || is("heis") || is("hevc") || is("hevx")) return TYPE_HEIC;
  if (is("avif") || is("avis")) return TYPE_AVIF;
  if (is("mif1") || is("msf1") || is("miaf")) return TYPE_HEIF;
  if (is("crx ")) return TYPE_CR3;
  if (std::memcmp(b, "iso", 3) == 0 || is("mp41") || is("mp42") || is("mp71") || is("avc1") || is("dash") ||
      is("f4v ") || is("MSNV") || is("XAVC") || is("mmp4") || is("NDAS") || is("caqv"))
    return TYPE_MP4;
  return TYPE_NONE;
}

const CARVE_SIGNATURE kBrandSignatures[] = {CARVE_SIG(4, "ftyp")};
const u64 kIsoBrandMax = kMax16G;  // phones write single recordings past 4 GiB

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
  if (WalkIsoBoxes(ctx, Bytes(pBuf, nLen), kMax4G, NEED_MOVIE, end)) return DeclaredLength(ctx, end);
  return ForwardScan(ctx, kMax4G, END_ANY, Mp4Marker, nullptr);
}

u64 GetISOMediaFileBytesSize(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen) {
  u64 end = 0;
  if (WalkIsoBoxes(ctx, Bytes(pBuf, nLen), kMax4G, NEED_MOVIE, end)) return DeclaredLength(ctx, end);
  return GetDefaultVedioFileBytesSize(ctx, pBuf, nLen);
}

// The file-type box: its size (0) covers the major brand (8), the minor
// version (12) and the compatible brands from 16. The major brand names the
// file; a major brand of its own (a camera maker's) is read through the
// compatible ones. The HEIF brands name the codec in the compatible list.
int IsIsoBrandType(CARVE_CONTEXT&, const unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  if (!b.AtLeast(16) || !b.Eq(4, "ftyp", 4)) return TYPE_NONE;
  const u32 ftypSize = GetU32BE(b.p, b.n, 0);
  if (ftypSize < 16 || ftypSize > 1024 || ftypSize % 4 != 0) return TYPE_NONE;
  const size_t brandsEnd = ftypSize < b.n ? ftypSize : b.n;
  int type = BrandType(b.p + 8);
  if (type == TYPE_HEIF || type == TYPE_NONE) {
    for (size_t at = 16; at + 4 <= brandsEnd; at += 4) {
      const int compatible = BrandType(b.p + at);
      if (type == TYPE_HEIF && (compatible == TYPE_HEIC || compatible == TYPE_AVIF)) return compatible;
      if (type == TYPE_NONE && compatible != TYPE_NONE && compatible != TYPE_HEIF) type = compatible;
    }
  }
  return type;
}

// Every brand: the boxes' sizes (a movie or, for still images, a meta box
// among them); without them the file runs to the next one, and that length
// is only a bound.
u64 GetIsoBrandFileBytesSize(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen) {
  u64 end = 0;
  if (WalkIsoBoxes(ctx, Bytes(pBuf, nLen), kIsoBrandMax, NEED_MOVIE_OR_META, end)) return DeclaredLength(ctx, end);
  const u64 size = ForwardScan(ctx, kIsoBrandMax, END_ANY, nullptr, nullptr);
  ctx.bLengthIsCap = true;
  return size;
}

namespace {

const u32 kIsoCheckMaxOffsets = 4u << 20;  // chunk offsets looked at per file
const int kIsoCheckMaxDepth = 8;

struct ISO_RANGE {
  u64 from, to;
};

// One box header at pos inside [pos, limit): its type and extent. False when
// it does not fit or cannot be read; size 0 runs to limit.
bool ReadBox(FileView& view, u64 pos, u64 limit, u8 type[4], u64& payload, u64& end) {
  u8 h[16];
  if (pos + 8 > limit || !view.Read(pos, h, 8)) return false;
  std::memcpy(type, h + 4, 4);
  u64 size = GetU32BE(h, 8, 0);
  payload = pos + 8;
  if (size == 1) {
    if (pos + 16 > limit || !view.Read(pos + 8, h + 8, 8)) return false;
    size = GetU64BE(h, 16, 8);
    payload = pos + 16;
    if (size < 16) return false;
  } else if (size == 0) {
    size = limit - pos;
  } else if (size < 8) {
    return false;
  }
  end = pos + size;
  return end >= pos;
}

// Every chunk offset of every stco / co64 box under [from, to) must lie in
// the payload of one of the media-data boxes.
bool ChunkOffsetsInside(FileView& view, u64 from, u64 to, const std::vector<ISO_RANGE>& media, int depth,
                        u32& looked) {
  static const char kContainers[][5] = {"moov", "trak", "mdia", "minf", "stbl", "edts", "dinf"};
  u64 pos = from;
  while (pos < to) {
    u8 type[4];
    u64 payload = 0, end = 0;
    if (!ReadBox(view, pos, to, type, payload, end) || end > to) return false;
    const bool co64 = std::memcmp(type, "co64", 4) == 0;
    if (co64 || std::memcmp(type, "stco", 4) == 0) {
      u32 count = 0;
      if (!view.U32BE(payload + 4, count)) return false;
      const u64 width = co64 ? 8 : 4;
      if (payload + 8 + width * count > end) return false;
      for (u32 k = 0; k < count && looked < kIsoCheckMaxOffsets; ++k, ++looked) {
        u64 at = 0;
        u32 at32 = 0;
        if (co64 ? !view.U64BE(payload + 8 + 8ull * k, at) : !view.U32BE(payload + 8 + 4ull * k, at32)) return false;
        if (!co64) at = at32;
        bool inside = false;
        for (const ISO_RANGE& r : media) inside = inside || (at >= r.from && at < r.to);
        if (!inside) return false;
      }
    } else if (depth < kIsoCheckMaxDepth) {
      for (const char* c : kContainers)
        if (std::memcmp(type, c, 4) == 0 && !ChunkOffsetsInside(view, payload, end, media, depth + 1, looked))
          return false;
    }
    pos = end;
  }
  return pos == to;
}

const u64 kIsoCheckMaxMovie = 64ull << 20;  // a movie box read whole to walk its samples

class CViewSource : public IMp4Source {
 public:
  explicit CViewSource(FileView& view) : m_view(view) {}
  bool Read(u64 off, u8* out, size_t len) override { return m_view.Read(off, out, len); }

 private:
  FileView& m_view;
};

// -1: a sample fails its check where the tables put it (ctx.u64DamageAt
// says where); 1: every sample of the tracks that can be checked checks;
// 0: nothing could be checked.
int WalkSamples(CARVE_CONTEXT& ctx, FileView& view, u64 moovFrom, u64 moovTo) {
  if (moovTo - moovFrom > kIsoCheckMaxMovie) return 0;
  std::vector<u8> bytes(static_cast<size_t>(moovTo - moovFrom));
  CMp4Movie movie;
  if (!view.Read(moovFrom, bytes.data(), bytes.size()) || !movie.Parse(bytes.data(), bytes.size()) ||
      !movie.HasCheckedTrack())
    return 0;
  CViewSource src(view);
  MP4_WALK w;
  movie.Walk(src, movie.Begin(), 0, UINT64_MAX, false, w);
  if (w.nStop != MP4_WALK::FAILED) return 1;
  ctx.u64DamageAt = w.u64FailAt;
  return -1;
}

}  // namespace

// The top-level boxes tile the file exactly; a movie box (or, for still
// pictures, a meta box) is among them; the movie's chunk offsets all point
// into media data, and every sample checks where the tables put it. Media
// data has no checksum: only a movie box after it (the usual order of
// recorders), or samples checked to the last, show the file was not cut.
CARVE_VERDICT CheckIsoMedia(CARVE_CONTEXT& ctx, u64 u64Size) {
  FileView view(ctx, u64Size);
  std::vector<ISO_RANGE> media;
  u64 pos = 0, moovFrom = 0, moovTo = 0;
  bool movie = false, meta = false;
  for (u32 boxes = 0; pos < u64Size && boxes < kIsoMaxBoxes; ++boxes) {
    u8 type[4];
    u64 payload = 0, end = 0;
    if (!ReadBox(view, pos, u64Size, type, payload, end) || !IsFourCc(type)) {
      if (pos == 0) return VERDICT_DAMAGED;
      ctx.u64CheckedEnd = pos;  // what follows is not a box of this file
      break;
    }
    if (end > u64Size) return VERDICT_PARTIAL;  // the last box is cut
    if (std::memcmp(type, "moov", 4) == 0) {
      movie = true;
      moovFrom = payload;
      moovTo = end;
    }
    if (std::memcmp(type, "meta", 4) == 0) meta = true;
    if (std::memcmp(type, "mdat", 4) == 0) media.push_back({payload, end});
    pos = end;
  }
  if (!movie) return meta && media.empty() ? VERDICT_WHOLE : meta ? VERDICT_UNKNOWN : VERDICT_PARTIAL;
  u32 looked = 0;
  if (!ChunkOffsetsInside(view, moovFrom, moovTo, media, 0, looked)) return VERDICT_DAMAGED;
  const int samples = WalkSamples(ctx, view, moovFrom, moovTo);
  if (samples < 0) return VERDICT_DAMAGED;
  if (samples > 0) return VERDICT_WHOLE;
  for (const ISO_RANGE& r : media)
    if (r.from > moovFrom) return VERDICT_UNKNOWN;
  return VERDICT_WHOLE;
}

const CARVE_FORMAT kIsoBrands = {"iso-brands", kBrandSignatures, SignatureCount(kBrandSignatures), IsIsoBrandType,
                                 GetIsoBrandFileBytesSize, kIsoBrandMax, 0, CheckIsoMedia, nullptr};
const CARVE_FORMAT kMp4 = {"mp4", kFtyp, SignatureCount(kFtyp), IsMp4Type, GetMP4FileBytesSize,
                           kMax4G, 0, CheckIsoMedia, nullptr};
const CARVE_FORMAT k3gp = {"3gp", kFtyp, SignatureCount(kFtyp), Is3pgType, GetISOMediaFileBytesSize,
                           kMax4G, 0, CheckIsoMedia, nullptr};
const CARVE_FORMAT kMov = {"mov", kMovSignatures, SignatureCount(kMovSignatures), IsMovType,
                           GetISOMediaFileBytesSize, kMax4G, 0, CheckIsoMedia, nullptr};

}  // namespace carvefmt

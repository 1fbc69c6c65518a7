// Matroska / WebM: the EBML header (its DocType names the file), then the
// Segment, measured by its size or, when a live recording left it unknown,
// to the end of its last Cluster.
#include "carve/formats/FormatKit.h"
#include "carve/formats/Formats.h"

using namespace carve_detail;

namespace carvefmt {

namespace {

const CARVE_SIGNATURE kSignatures[] = {CARVE_SIG(0, "\x1A\x45\xDF\xA3")};
const u64 kUnknown = ~0ull;
const u32 kMaxElements = 1u << 22;  // a bound for damaged files (blocks of an unknown-size cluster)

// An EBML variable-length number at pos: its length in bytes (1-8, 0 when
// invalid) and, for a size, its value with the marker bit cleared (kUnknown
// when all value bits are set).
int ReadVint(const u8* p, bool keepMarker, u64& value) {
  const u8 first = p[0];
  if (first == 0) return 0;
  int len = 1;
  while (!(first & (0x80 >> (len - 1)))) ++len;
  u64 v = keepMarker ? first : first & (0xFF >> len);
  bool allOnes = (first & (0xFF >> len)) == (0xFF >> len);
  for (int i = 1; i < len; ++i) {
    v = v << 8 | p[i];
    allOnes = allOnes && p[i] == 0xFF;
  }
  value = !keepMarker && allOnes ? kUnknown : v;
  return len;
}

// One element header (ID, size) at file offset pos.
struct ELEMENT {
  u64 id = 0;
  u64 size = 0;  // kUnknown for an unknown size
  u64 data = 0;  // file offset of the element's data
};
bool ReadElement(const CARVE_CONTEXT& ctx, const Bytes& first, u64 pos, ELEMENT& e) {
  u8 h[16];
  if (!ReadFileBytes(ctx, first, pos, h, 12)) return false;
  const int idLen = ReadVint(h, true, e.id);
  if (idLen == 0 || idLen > 4) return false;
  const int sizeLen = ReadVint(h + idLen, false, e.size);
  if (sizeLen == 0) return false;
  e.data = pos + idLen + sizeLen;
  return true;
}

const u64 kSegment = 0x18538067, kCluster = 0x1F43B675;
bool IsSegmentChild(u64 id) {
  return id == 0x114D9B74 || id == 0x1549A966 || id == 0x1654AE6B || id == kCluster || id == 0x1C53BB6B ||
         id == 0x1941A469 || id == 0x1043A770 || id == 0x1254C367 || id == 0xEC || id == 0xBF;
}
bool IsClusterChild(u64 id) {
  return id == 0xE7 || id == 0xA3 || id == 0xA0 || id == 0xA7 || id == 0xAB || id == 0xEC || id == 0xBF ||
         id == 0x5854 || id == 0xAF;
}

// The DocType (0x4282) inside the EBML header of the first sector.
bool DocTypeIs(const Bytes& b, const char* want) {
  u64 headerSize = 0;
  if (!b.AtLeast(8)) return false;
  const int sizeLen = ReadVint(b.p + 4, false, headerSize);
  if (sizeLen == 0 || headerSize == kUnknown) return false;
  const size_t end = 4 + sizeLen + headerSize < b.n ? static_cast<size_t>(4 + sizeLen + headerSize) : b.n;
  for (size_t at = 4 + sizeLen; at + 3 <= end && at + 12 <= b.n;) {
    u64 id = 0, size = 0;
    const int idLen = ReadVint(b.p + at, true, id);
    if (idLen == 0) return false;
    const int len = ReadVint(b.p + at + idLen, false, size);
    if (len == 0 || size == kUnknown || size > 64) return false;
    const size_t data = at + idLen + len;
    if (id == 0x4282) {
      const size_t n = std::strlen(want);
      return size >= n && data + n <= b.n && std::memcmp(b.p + data, want, n) == 0 &&
             (size == n || b.p[data + n] == 0);
    }
    at = data + static_cast<size_t>(size);
  }
  return false;
}

}  // namespace

int IsMkvType(CARVE_CONTEXT&, const unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  static const u8 kEbml[4] = {0x1A, 0x45, 0xDF, 0xA3};
  return b.AtLeast(16) && b.Eq(0, kEbml, 4) ? TYPE_MKV : TYPE_NONE;
}

int IsWebmType(CARVE_CONTEXT&, const unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  static const u8 kEbml[4] = {0x1A, 0x45, 0xDF, 0xA3};
  return b.AtLeast(16) && b.Eq(0, kEbml, 4) && DocTypeIs(b, "webm") ? TYPE_WEBM : TYPE_NONE;
}

u64 GetMKVFileBytes(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen) {
  const Bytes first(pBuf, nLen);
  ELEMENT header, segment;
  if (ReadElement(ctx, first, 0, header) && header.size != kUnknown && header.size < 4096 &&
      ReadElement(ctx, first, header.data + header.size, segment) && segment.id == kSegment) {
    if (segment.size != kUnknown) {
      const u64 end = segment.data + segment.size;
      if (end <= kMax64G) return DeclaredLength(ctx, end);
    } else {
      // A live recording: the children follow one another; the file ends
      // after the last one that reads right. Clusters of unknown size end
      // where an element that cannot be inside one starts.
      u64 pos = segment.data, end = 0;
      bool inCluster = false;
      bool sawCluster = false;
      for (u32 k = 0; k < kMaxElements && pos < kMax64G; ++k) {
        ELEMENT e;
        if (!ReadElement(ctx, first, pos, e)) break;
        if (inCluster && IsClusterChild(e.id) && e.size != kUnknown) {
          pos = e.data + e.size;
          end = pos;
          continue;
        }
        inCluster = false;
        if (!IsSegmentChild(e.id)) break;
        if (e.id == kCluster) sawCluster = true;
        if (e.size == kUnknown) {
          if (e.id != kCluster) break;
          inCluster = true;
          pos = e.data;
          end = pos;
          continue;
        }
        pos = e.data + e.size;
        end = pos;
      }
      if (sawCluster && end != 0) {
        const u64 size = DeclaredLength(ctx, end);
        if (size == end) {
          // The walk may have stopped at the range's end inside a cluster.
          u8 probe[1];
          if (!ReadFileBytes(ctx, first, end, probe, 1)) ctx.bLengthIsCap = true;
        }
        return size;
      }
    }
  }
  const u64 size = ForwardScan(ctx, kMax64G, END_ANY, nullptr, nullptr);
  ctx.bLengthIsCap = true;
  return size;
}

const CARVE_FORMAT kMatroska = {"matroska", kSignatures, SignatureCount(kSignatures), IsMkvType, GetMKVFileBytes,
                                kMax64G, 0, nullptr, nullptr};
const CARVE_FORMAT kWebm = {"webm", kSignatures, SignatureCount(kSignatures), IsWebmType, GetMKVFileBytes,
                            kMax64G, 0, nullptr, nullptr};

}  // namespace carvefmt

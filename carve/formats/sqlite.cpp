// SQLite databases: the 16-byte header string; the length is the page size
// times the page count the header keeps.
#include "carve/formats/FormatKit.h"
#include "carve/formats/Formats.h"

using namespace carve_detail;

namespace carvefmt {

namespace {
const CARVE_SIGNATURE kSignatures[] = {CARVE_SIG(0, "SQLite format 3\x00")};
}

int IsSqlType(CARVE_CONTEXT&, const unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  static const u8 kSqliteHead[16] = {'S', 'Q', 'L', 'i', 't', 'e', ' ', 'f', 'o', 'r', 'm', 'a', 't', ' ', '3', 0};
  return b.AtLeast(16) && b.Eq(0, kSqliteHead, 16) ? TYPE_DB : TYPE_NONE;
}

// 0x10: page size (big-endian, 1 for 65536), 0x1C: pages in the file, valid
// when 0x5C (the change counter it was written at) equals 0x18 (the change
// counter). An older writer leaves no count: then the file runs to the next.
u64 GetDBFileBytesSize(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  if (b.AtLeast(100)) {
    u32 page = GetU16BE(b.p, b.n, 16);
    if (page == 1) page = 65536;
    const u32 pages = GetU32BE(b.p, b.n, 28);
    const bool valid = GetU32BE(b.p, b.n, 92) == GetU32BE(b.p, b.n, 24);
    if (valid && pages != 0 && page >= 512 && (page & (page - 1)) == 0) {
      const u64 size = static_cast<u64>(page) * pages;
      if (size <= kMax6G) return DeclaredLength(ctx, size);
    }
  }
  const u64 size = ForwardScan(ctx, kMax6G, END_ANY, nullptr, nullptr);
  ctx.bLengthIsCap = true;
  return size;
}

const CARVE_FORMAT kSqlite = {"sqlite", kSignatures, SignatureCount(kSignatures), IsSqlType, GetDBFileBytesSize,
                              kMax6G, 0, nullptr, nullptr};

}  // namespace carvefmt

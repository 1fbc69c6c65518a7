// SQLite databases: the 16-byte header string; runs to the next file.
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

u64 GetDBFileBytesSize(CARVE_CONTEXT& ctx, const unsigned char*, int) {
  return ForwardScan(ctx, kMax6G, END_ANY, nullptr, nullptr);
}

const CARVE_FORMAT kSqlite = {"sqlite", kSignatures, SignatureCount(kSignatures), IsSqlType, GetDBFileBytesSize,
                              kMax6G, 0, nullptr, nullptr};

}  // namespace carvefmt

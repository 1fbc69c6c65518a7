// Mail stores: Outlook Express folders (.dbx) and Outlook data files (.pst);
// both run to the next file.
#include "carve/formats/FormatKit.h"
#include "carve/formats/Formats.h"

using namespace carve_detail;

namespace carvefmt {

namespace {
const CARVE_SIGNATURE kDbxSignatures[] = {CARVE_SIG(0, "\xCF\xAD\x12\xFE")};
const CARVE_SIGNATURE kPstSignatures[] = {CARVE_SIG(0, "!BDN")};
}  // namespace

int IsDbxEmailType(CARVE_CONTEXT&, const unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  static const u8 kDbx[4] = {0xCF, 0xAD, 0x12, 0xFE};
  return b.AtLeast(16) && b.Eq(0, kDbx, 4) ? TYPE_DBX : TYPE_NONE;
}

int IsPstEmailType(CARVE_CONTEXT&, const unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  return b.AtLeast(16) && b.Eq(0, "!BDN", 4) && b.Eq(8, "SM", 2) ? TYPE_PST : TYPE_NONE;
}

u64 GetMailFileBytesSize(CARVE_CONTEXT& ctx, const unsigned char*, int) {
  return ForwardScan(ctx, kMax2G, END_ANY, nullptr, nullptr);
}

const CARVE_FORMAT kDbx = {"dbx", kDbxSignatures, SignatureCount(kDbxSignatures), IsDbxEmailType,
                           GetMailFileBytesSize, kMax2G, 0, nullptr, nullptr};
const CARVE_FORMAT kPst = {"pst", kPstSignatures, SignatureCount(kPstSignatures), IsPstEmailType,
                           GetMailFileBytesSize, kMax2G, 0, nullptr, nullptr};

}  // namespace carvefmt

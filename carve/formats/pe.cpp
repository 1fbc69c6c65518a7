// Windows programs and libraries (PE images): "MZ" and the PE header it
// points to, typed by the image's characteristics. Recognised, not carved.
#include "carve/formats/FormatKit.h"
#include "carve/formats/Formats.h"

using namespace carve_detail;

namespace carvefmt {

namespace {
const CARVE_SIGNATURE kSignatures[] = {CARVE_SIG(0, "MZ")};
}

int IsPeType(CARVE_CONTEXT&, const unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  if (!b.AtLeast(512) || !b.Eq(0, "MZ", 2)) return TYPE_NONE;
  u32 header = GetU32LE(b.p, b.n, 60);  // 0x3C: offset of the PE header
  if (header > 488) return TYPE_NONE;
  static const u8 kPe[4] = {'P', 'E', 0, 0};
  if (!b.Eq(header, kPe, 4)) return TYPE_NONE;
  u16 characteristics = GetU16LE(b.p, b.n, header + 22);
  if (!(characteristics & 0x0002)) return TYPE_NONE;  // not an executable image
  if (characteristics & 0x1000) return TYPE_SYS;
  if (characteristics & 0x2000) return TYPE_DLL;
  return TYPE_EXE;
}

const CARVE_FORMAT kPe = {"pe", kSignatures, SignatureCount(kSignatures), IsPeType, nullptr, 0, 0, nullptr, nullptr};

}  // namespace carvefmt

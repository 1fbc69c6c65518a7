// Windows programs and libraries (PE images): "MZ" and the PE header it
// points to, typed by the image's characteristics; the length from the
// section table and the certificate table.
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

// The furthest of: the headers (optional header +0x3C, SizeOfHeaders), each
// section's raw data (section table entries of 40 bytes after the optional
// header: SizeOfRawData +0x10, PointerToRawData +0x14), and the certificate
// table (data directory 4, a file offset and size). 0 without sections.
u64 GetPEFileBytesSize(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen) {
  const Bytes first(pBuf, nLen);
  if (!first.AtLeast(512)) return 0;
  const u32 header = GetU32LE(first.p, first.n, 60);
  if (header > 488) return 0;
  const u32 sections = GetU16LE(first.p, first.n, header + 6);
  const u32 optionalSize = GetU16LE(first.p, first.n, header + 20);
  if (sections == 0 || sections > 96) return 0;
  const u64 optional = header + 24;
  u8 f[16];
  if (!ReadFileBytes(ctx, first, optional, f, 2)) return 0;
  const u16 magic = GetU16LE(f, 2, 0);
  u64 end = 0;
  if (optionalSize >= 64 && ReadFileBytes(ctx, first, optional + 60, f, 4)) end = GetU32LE(f, 4, 0);
  // Data directory 4 sits at 96 + 32 (PE32) or 112 + 32 (PE32+).
  const u64 certEntry = (magic == 0x20B ? 112 : 96) + 4 * 8;
  if ((magic == 0x10B || magic == 0x20B) && optionalSize >= certEntry + 8 &&
      ReadFileBytes(ctx, first, optional + certEntry, f, 8)) {
    const u64 certEnd = static_cast<u64>(GetU32LE(f, 8, 0)) + GetU32LE(f, 8, 4);
    if (GetU32LE(f, 8, 4) != 0 && certEnd > end) end = certEnd;
  }
  const u64 table = optional + optionalSize;
  for (u32 k = 0; k < sections; ++k) {
    if (!ReadFileBytes(ctx, first, table + 40ull * k + 16, f, 8)) return 0;
    const u64 rawSize = GetU32LE(f, 8, 0), rawAt = GetU32LE(f, 8, 4);
    if (rawSize != 0 && rawAt + rawSize > end) end = rawAt + rawSize;
  }
  if (end == 0) return 0;
  if (end > kMax2G) {
    ctx.bLengthIsCap = true;
    end = kMax2G;
  }
  return DeclaredLength(ctx, end);
}

const CARVE_FORMAT kPe = {"pe", kSignatures, SignatureCount(kSignatures), IsPeType, GetPEFileBytesSize, kMax2G, 0,
                          nullptr, nullptr};

}  // namespace carvefmt

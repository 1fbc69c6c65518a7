// ZIP archives and the Office Open XML packages built on them (docx, xlsx,
// pptx): measured to the end-of-central-directory record.
#include <cctype>
#include <cstring>

#include "carve/formats/FormatKit.h"
#include "carve/formats/Formats.h"

using namespace carve_detail;

namespace carvefmt {

namespace {

bool NameStartsWith(const u8* p, size_t n, size_t off, const char* prefix) {
  size_t len = std::strlen(prefix);
  if (!InBounds(n, off, len)) return false;
  for (size_t i = 0; i < len; ++i)
    if (std::tolower(p[off + i]) != std::tolower(static_cast<unsigned char>(prefix[i]))) return false;
  return true;
}

// The package type a part name gives away, or TYPE_NONE.
int PartNameType(const u8* p, size_t n, size_t nameOff) {
  if (NameStartsWith(p, n, nameOff, "word")) return TYPE_DOCX;
  if (NameStartsWith(p, n, nameOff, "ppt")) return TYPE_PPTX;
  if (NameStartsWith(p, n, nameOff, "xl")) return TYPE_XLSX;
  return TYPE_NONE;
}


const CARVE_SIGNATURE kZipSignatures[] = {CARVE_SIG(0, "PK\x03\x04")};
const CARVE_SIGNATURE kOoxmlSignatures[] = {CARVE_SIG(0, "PK\x03\x04"), CARVE_SIG(31, "[Content_Types].xml")};

bool ZipMarker(CARVE_CONTEXT&, const StepView& v, void*, u64& size) {
  static const u8 kEnd[4] = {0x50, 0x4B, 0x05, 0x06};
  size_t off = FindLastBytes(v.p, v.owned, kEnd, 4);
  if (off == npos) return false;
  // The end record is 22 bytes plus its comment (length at +20).
  u64 end = off + 22;
  u16 comment = 0;
  if (ReadU16LE(v.p, v.n, off + 20, comment)) end += comment;
  size = v.before + end;
  return true;
}

// The end record comes last in an archive: one inside the first sector means
// the whole archive is there (a small package or zip is often that short).
bool ZipEndInFirstSector(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen, u64& size) {
  Bytes b(pBuf, nLen);
  StepView v{b.p, b.n, b.n, 0, false};
  return b.p && ZipMarker(ctx, v, nullptr, size);
}

}  // namespace

int IsZipType(CARVE_CONTEXT&, const unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  static const u8 kLocal[4] = {0x50, 0x4B, 0x03, 0x04};
  return b.AtLeast(48) && b.Eq(0, kLocal, 4) ? TYPE_ZIP : TYPE_NONE;
}

int IsOffice2007Type(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  if (!b.AtLeast(31)) return TYPE_NONE;
  static const u8 kLocal[4] = {0x50, 0x4B, 0x03, 0x04};
  if (!b.Eq(0, kLocal, 4) && !b.Eq(31, "[Content_Types].xml", 19)) return TYPE_NONE;
  return GetOffice2007Type(ctx, pBuf, nLen);
}

int GetOffice2007Type(CARVE_CONTEXT& ctx, const unsigned char* /*pBuf*/, int /*nLen*/) {
  const int ss = ctx.nBytesPerSector;
  if (!CARVE_CONTEXT::IsUsableSectorSize(ss)) return TYPE_NONE;
  static const u8 kLocal[4] = {0x50, 0x4B, 0x03, 0x04}, kCentral[4] = {0x50, 0x4B, 0x01, 0x02};
  static const u8 kEnd[4] = {0x50, 0x4B, 0x05, 0x06};
  // Groups of four sectors; the first 4 bytes repeat the previous group's
  // last 4 so a signature split between groups is still seen.
  u8 buf[4 + 4 * CARVE_CONTEXT::MAX_SECTOR_SIZE];
  std::memset(buf, 0, 4);
  for (int group = 0; group < 5; ++group) {
    unsigned int got = ctx.ReadSectors(ctx.u64CurrentSector + 4ull * group, 4, buf + 4, sizeof(buf) - 4);
    if (got == 0) return TYPE_NONE;
    const size_t len = 4 + static_cast<size_t>(got) * ss;
    size_t end = FindBytes(buf, len, 0, kEnd, 4);
    if (end == npos) end = len;
    // Local headers (name at +30) and central headers (name at +46), taken
    // in turn until both kinds run out before the end record.
    size_t local = FindBytes(buf, end, 0, kLocal, 4);
    size_t central = FindBytes(buf, end, 0, kCentral, 4);
    while (local != npos || central != npos) {
      if (local != npos) {
        int t = PartNameType(buf, len, local + 30);
        if (t != TYPE_NONE) return t;
        local = FindBytes(buf, end, local + 4, kLocal, 4);
      }
      if (central != npos) {
        int t = PartNameType(buf, len, central + 46);
        if (t != TYPE_NONE) return t;
        central = FindBytes(buf, end, central + 4, kCentral, 4);
      }
    }
    if (got < 4) return TYPE_NONE;  // the range ends here
    std::memcpy(buf, buf + len - 4, 4);
  }
  return TYPE_NONE;
}

u64 GetOFFICE2007FileBytesSize(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen) {
  u64 size = 0;
  if (ZipEndInFirstSector(ctx, pBuf, nLen, size)) return size;
  return ForwardScan(ctx, kMaxOffice, END_ANY, ZipMarker, nullptr);
}

u64 GetZIPFileBytesSize(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen) {
  u64 size = 0;
  if (ZipEndInFirstSector(ctx, pBuf, nLen, size)) return size;
  return ForwardScan(ctx, kMax4G, END_ANY, ZipMarker, nullptr);
}

// Packages built on ZIP, told by their first entry (local header: method
// at 8, name length at 26, extra length at 28, name at 30): a stored
// "mimetype" entry whose text names an e-book or an OpenDocument file, a
// manifest folder (Java archives), or an Android manifest.
int IsZipPackageType(CARVE_CONTEXT&, const unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  static const u8 kLocal[4] = {0x50, 0x4B, 0x03, 0x04};
  if (!b.AtLeast(48) || !b.Eq(0, kLocal, 4)) return TYPE_NONE;
  const size_t nameLen = GetU16LE(b.p, b.n, 26), extraLen = GetU16LE(b.p, b.n, 28);
  const size_t data = 30 + nameLen + extraLen;
  if (nameLen == 8 && b.Eq(30, "mimetype", 8) && GetU16LE(b.p, b.n, 8) == 0) {
    const size_t size = GetU32LE(b.p, b.n, 18);  // 0x12: compressed size (stored: the text's length)
    auto mime = [&](const char* m) {
      const size_t n = std::strlen(m);
      return size == n && b.Eq(data, m, n);
    };
    if (mime("application/epub+zip")) return TYPE_EPUB;
    if (mime("application/vnd.oasis.opendocument.text")) return TYPE_ODT;
    if (mime("application/vnd.oasis.opendocument.spreadsheet")) return TYPE_ODS;
    return TYPE_NONE;
  }
  if (nameLen == 19 && b.Eq(30, "AndroidManifest.xml", 19)) return TYPE_APK;
  if (nameLen >= 9 && b.Eq(30, "META-INF/", 9)) {
    // Signed Android packages start with the signature folder too: an
    // Android manifest or dex file among the names in the first sector.
    if (FindBytes(b.p, b.n, 30, "AndroidManifest.xml", 19) != npos || FindBytes(b.p, b.n, 30, "classes.dex", 11) != npos)
      return TYPE_APK;
    return TYPE_JAR;
  }
  return TYPE_NONE;
}

const CARVE_FORMAT kZipPackage = {"zip-package", kZipSignatures, SignatureCount(kZipSignatures), IsZipPackageType,
                                  GetZIPFileBytesSize, kMax4G, 0, nullptr, nullptr};
const CARVE_FORMAT kOoxml = {"ooxml", kOoxmlSignatures, SignatureCount(kOoxmlSignatures), IsOffice2007Type,
                             GetOFFICE2007FileBytesSize, kMaxOffice + 512, 0, nullptr, nullptr};
const CARVE_FORMAT kZip = {"zip", kZipSignatures, SignatureCount(kZipSignatures), IsZipType, GetZIPFileBytesSize,
                           kMax4G, 0, nullptr, nullptr};

}  // namespace carvefmt

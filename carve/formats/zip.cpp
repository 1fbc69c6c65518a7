// ZIP archives and the Office Open XML packages built on them (docx, xlsx,
// pptx): measured to the end-of-central-directory record.
#include <cctype>
#include <cstring>
#include <vector>

#include <zlib.h>

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
  size_t last = FindLastBytes(v.p, v.owned, kEnd, 4);
  if (last == npos) return false;
  // The archive's own end record is where its central directory (offset at
  // +16, size at +12, from the archive's start) ends: the first such one is
  // taken, so a small archive stored right after this one, whose record
  // lies in the same step, is not taken into it. Without one that fits (a
  // ZIP64 archive, data before the archive) the last record decides, as an
  // archive stored inside this one comes before this one's own.
  size_t off = last;
  for (size_t at = FindBytes(v.p, v.owned, 0, kEnd, 4); at != npos && at < last; at = FindBytes(v.p, v.owned, at + 1, kEnd, 4)) {
    u32 dirSize = 0, dirOffset = 0;
    if (ReadU32LE(v.p, v.n, at + 12, dirSize) && ReadU32LE(v.p, v.n, at + 16, dirOffset) &&
        static_cast<u64>(dirOffset) + dirSize == v.before + at) {
      off = at;
      break;
    }
  }
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

namespace {

// Uncompressed bytes one check inflates at most: beyond them an archive
// stays unverified rather than slow the deep pass.
const u64 kZipCheckMaxInflate = 256ull * 1024 * 1024;

}  // namespace

// The CRC-32 of an entry's data (stored or deflated) against the one the
// central directory gives, with the sizes it states.
ZIP_ENTRY_CHECK CheckZipEntryData(FileView& view, u64 at, u32 method, u32 csize, u32 usize, u32 crc, u64& budget) {
  if (at > view.Size() || csize > view.Size() - at) return ENTRY_BAD;
  if (method == 0) {
    u32 got = 0;
    if (csize != usize || !view.Crc(at, csize, got)) return ENTRY_BAD;
    return got == crc ? ENTRY_OK : ENTRY_BAD;
  }
  if (method != 8) return ENTRY_UNKNOWN;
  if (usize > budget) return ENTRY_UNKNOWN;
  budget -= usize;
  struct SUM {
    uLong crc = crc32(0L, Z_NULL, 0);
    u64 produced = 0, limit = 0;
  } sum;
  sum.limit = usize;
  auto take = [](void* param, const u8* p, size_t n) {
    SUM& t = *static_cast<SUM*>(param);
    t.produced += n;
    t.crc = crc32(t.crc, p, static_cast<uInt>(n));
    return t.produced <= t.limit;  // more than it says it holds: no need to go on
  };
  u64 used = 0;
  const int rc = InflateView(view, at, csize, -MAX_WBITS, take, &sum, used);
  if (rc == Z_MEM_ERROR) return ENTRY_UNKNOWN;
  const bool ended = rc == Z_STREAM_END && used == csize;
  const u64 produced = sum.produced;
  const uLong c = sum.crc;
  return ended && produced == usize && static_cast<u32>(c) == crc ? ENTRY_OK : ENTRY_BAD;
}

// The end-of-central-directory record ends the file; the central directory
// it points to lies just before it; every central entry names a local header
// with the same name, whose data lies before the directory and inflates to
// the stated size and CRC-32.
size_t ZipHeaderSize(u32 sig) {
  return sig == kZipLocalSig ? 30 : sig == kZipCentralSig ? 46 : sig == kZipEndSig ? 22 : 0;
}

ZIP_HEADER DecodeZipHeader(const u8* h, u64 pos) {
  ZIP_HEADER r;
  r.nSig = GetU32LE(h, 4, 0);
  const size_t n = ZipHeaderSize(r.nSig);
  if (r.nSig == kZipEndSig) {
    r.nEntries = GetU16LE(h, n, 10);
    r.nCdSize = GetU32LE(h, n, 12);
    r.nCdOff = GetU32LE(h, n, 16);
    r.u64End = pos + 22 + GetU16LE(h, n, 20);
    return r;
  }
  if (!n) return r;
  // The central header has one more field (the version made by) before the local's.
  const size_t d = r.nSig == kZipCentralSig ? 2 : 0;
  r.nFlags = GetU16LE(h, n, 6 + d);
  r.nMethod = GetU16LE(h, n, 8 + d);
  r.nCrc = GetU32LE(h, n, 14 + d);
  r.nCsize = GetU32LE(h, n, 18 + d);
  r.nUsize = GetU32LE(h, n, 22 + d);
  r.nNameLen = GetU16LE(h, n, 26 + d);
  r.u64Name = pos + n;
  if (d) {
    r.nLocal = GetU32LE(h, n, 42);
    r.u64End = r.u64Name + r.nNameLen + GetU16LE(h, n, 30) + GetU16LE(h, n, 32);
  } else {
    r.u64Data = r.u64Name + r.nNameLen + GetU16LE(h, n, 28);
    r.u64End = r.u64Data + r.nCsize;
  }
  return r;
}

CARVE_VERDICT CheckZip(CARVE_CONTEXT& ctx, u64 u64Size) {
  FileView view(ctx, u64Size);
  const u64 tailLen = u64Size < 65557 ? u64Size : 65557;  // the record (22) and the longest comment
  std::vector<u8> tail(static_cast<size_t>(tailLen));
  if (tailLen < 22 || !view.Read(u64Size - tailLen, tail.data(), tail.size())) return VERDICT_PARTIAL;
  static const u8 kEnd[4] = {0x50, 0x4B, 0x05, 0x06};
  u64 eocd = 0, eocdEnd = 0;
  bool found = false;
  for (size_t off = FindLastBytes(tail.data(), tail.size(), kEnd, 4); off != npos;
       off = off ? FindLastBytes(tail.data(), off + 3, kEnd, 4) : npos) {
    const u64 end = off + 22 + GetU16LE(tail.data(), tail.size(), off + 20);
    if (off + 22 <= tail.size() && end <= tail.size()) {
      eocd = u64Size - tailLen + off;
      eocdEnd = u64Size - tailLen + end;
      found = true;
      break;
    }
  }
  if (!found) return VERDICT_PARTIAL;
  u8 e[22];
  if (!view.Read(eocd, e, 22)) return VERDICT_PARTIAL;
  const ZIP_HEADER end = DecodeZipHeader(e, eocd);
  const u32 entries = end.nEntries, cdSize = end.nCdSize, cdOff = end.nCdOff;
  if (entries == 0xFFFF || cdSize == 0xFFFFFFFFu || cdOff == 0xFFFFFFFFu) return VERDICT_UNKNOWN;  // ZIP64
  if (static_cast<u64>(cdOff) + cdSize != eocd) return VERDICT_DAMAGED;
  u64 budget = kZipCheckMaxInflate;
  bool unknown = false;
  u64 p = cdOff;
  std::vector<u8> name, localName;
  for (u32 i = 0; i < entries; ++i) {
    u8 c[46];
    if (p + 46 > eocd || !view.Read(p, c, 46) || GetU32LE(c, 46, 0) != kZipCentralSig) return VERDICT_DAMAGED;
    const ZIP_HEADER ch = DecodeZipHeader(c, p);
    const u32 nlen = ch.nNameLen, local = ch.nLocal;
    if (ch.nCsize == 0xFFFFFFFFu || ch.nUsize == 0xFFFFFFFFu || local == 0xFFFFFFFFu) return VERDICT_UNKNOWN;
    name.resize(nlen + 1);
    localName.resize(nlen + 1);
    if (!view.Read(ch.u64Name, name.data(), nlen)) return VERDICT_DAMAGED;
    p = ch.u64End;
    if (p > eocd) return VERDICT_DAMAGED;
    u8 l[30];
    if (!view.Read(local, l, 30) || GetU32LE(l, 30, 0) != kZipLocalSig) return VERDICT_DAMAGED;
    const ZIP_HEADER lh = DecodeZipHeader(l, local);
    if (lh.nNameLen != nlen || !view.Read(lh.u64Name, localName.data(), nlen) ||
        std::memcmp(name.data(), localName.data(), nlen) != 0)
      return VERDICT_DAMAGED;
    // The central header's sizes and CRC are the ones that hold (a local
    // header written before its data may have zeros there).
    if (lh.u64Data + ch.nCsize > cdOff) return VERDICT_DAMAGED;
    if (ch.nFlags & 1) {  // encrypted: the CRC cannot be reached
      unknown = true;
      continue;
    }
    const ZIP_ENTRY_CHECK r = CheckZipEntryData(view, lh.u64Data, ch.nMethod, ch.nCsize, ch.nUsize, ch.nCrc, budget);
    if (r == ENTRY_BAD) return VERDICT_DAMAGED;
    if (r == ENTRY_UNKNOWN) unknown = true;
  }
  if (p != eocd) return VERDICT_DAMAGED;
  if (unknown) return VERDICT_UNKNOWN;
  if (eocdEnd < u64Size) ctx.u64CheckedEnd = eocdEnd;
  return VERDICT_WHOLE;
}

const CARVE_FORMAT kZipPackage = {"zip-package", kZipSignatures, SignatureCount(kZipSignatures), IsZipPackageType,
                                  GetZIPFileBytesSize, kMax4G, 0, CheckZip, nullptr};
const CARVE_FORMAT kOoxml = {"ooxml", kOoxmlSignatures, SignatureCount(kOoxmlSignatures), IsOffice2007Type,
                             GetOFFICE2007FileBytesSize, kMaxOffice + 512, 0, CheckZip, nullptr};
const CARVE_FORMAT kZip = {"zip", kZipSignatures, SignatureCount(kZipSignatures), IsZipType, GetZIPFileBytesSize,
                           kMax4G, 0, CheckZip, nullptr};

}  // namespace carvefmt

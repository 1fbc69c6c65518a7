// Office documents: which application a compound file or a ZIP package
// belongs to, and how long a compound file is by its allocation table.
#include <cctype>
#include <cstring>

#include "carve/FileTypeJudge.h"
#include "carve/FileTypeJudgeInternal.h"
#include "engine/ByteOrder.h"

using namespace carve_detail;

namespace {

const u64 kCompoundSizeCap = 134217727;  // 0x7FFFFFF

// The UTF-16LE directory-entry name starts with key (ASCII, ignoring case).
bool EntryNameStartsWith(const u8* entry, size_t avail, const char* key) {
  size_t len = std::strlen(key);
  for (size_t i = 0; i < len; ++i) {
    u16 unit = 0;
    if (!ReadU16LE(entry, avail, 2 * i, unit) || unit >= 0x80) return false;
    if (std::tolower(unit) != std::tolower(static_cast<unsigned char>(key[i]))) return false;
  }
  return true;
}

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

// Compound-file sector N (numbered after the header) into out; false when it
// cannot be read. Disk sectors and compound sectors need not be the same size.
bool ReadCompoundSector(u64 number, u32 cfSectorSize, u8* out, size_t outLen) {
  const int ss = CFileTypeJudge::m_nBytesPerSector;
  if (!CFileTypeJudge::IsUsableSectorSize(ss) || cfSectorSize > outLen) return false;
  u64 byteOff = (number + 1) * cfSectorSize;
  u64 sector = CFileTypeJudge::m_u64CurrentSector + byteOff / ss;
  u32 inSector = static_cast<u32>(byteOff % ss);
  u8 tmp[CFileTypeJudge::MAX_SECTOR_SIZE * 2];
  u32 span = inSector + cfSectorSize;
  unsigned int want = (span + ss - 1) / ss;
  if (static_cast<size_t>(want) * ss > sizeof(tmp)) return false;
  if (CFileTypeJudge::ReadContextSectors(sector, want, tmp, sizeof(tmp)) != want) return false;
  std::memcpy(out, tmp + inSector, cfSectorSize);
  return true;
}

}  // namespace

int CFileTypeJudge::GetOffice2003Type(unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  const int ss = m_nBytesPerSector;
  if (!IsUsableSectorSize(ss)) return TYPE_OLE;
  u8 sector[MAX_SECTOR_SIZE];
  if (ReadContextSectors(m_u64CurrentSector + 1, 1, sector, sizeof(sector)) != 1) return TYPE_OLE;
  const size_t n = static_cast<size_t>(ss);
  // A stream that starts right after the header: a spreadsheet's BOF record
  // (0809, length 0010, BIFF8 0600) or a word-processing file's 0xA5EC ident.
  if (GetU16LE(sector, n, 0) == 0x0809 && GetU16LE(sector, n, 2) == 0x0010 && GetU16LE(sector, n, 4) == 0x0600)
    return TYPE_XLS;
  if (GetU16LE(sector, n, 0) == 0xA5EC) return TYPE_DOC;

  u32 firstDirSector = 0;  // 0x30
  if (!ReadU32LE(b.p, b.n, 48, firstDirSector)) return TYPE_OLE;
  if (ReadContextSectors(m_u64CurrentSector + static_cast<u64>(firstDirSector) + 1, 1, sector, sizeof(sector)) != 1)
    return TYPE_OLE;

  // The root entry's class identifier (directory entry 0, offset 0x50).
  static const u8 kWordClsid[16] = {0x06, 0x09, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                                    0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
  static const u8 kExcelClsidTail[12] = {0x00, 0x00, 0x00, 0x00, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
  static const u8 kExcel5[4] = {0x10, 0x08, 0x02, 0x00}, kExcel8[4] = {0x20, 0x08, 0x02, 0x00};
  static const u8 kPowerPointClsid[16] = {0x10, 0x8D, 0x81, 0x64, 0x9B, 0x4F, 0xCF, 0x11,
                                          0x86, 0xEA, 0x00, 0xAA, 0x00, 0xB9, 0x29, 0xE8};
  if (BytesEqual(sector, n, 80, kWordClsid, 16)) return TYPE_DOC;
  if ((BytesEqual(sector, n, 80, kExcel5, 4) || BytesEqual(sector, n, 80, kExcel8, 4)) &&
      BytesEqual(sector, n, 84, kExcelClsidTail, 12))
    return TYPE_XLS;
  if (BytesEqual(sector, n, 80, kPowerPointClsid, 16)) return TYPE_PPT;

  // No known class: look for the main stream by name. Spreadsheets name it
  // "Workbook" ("Wordbook" is kept for files that were written that way).
  for (size_t entry = 0; entry + 128 <= n; entry += 128) {
    const u8* e = sector + entry;
    if (EntryNameStartsWith(e, 128, "WordDocument")) return TYPE_DOC;
    if (EntryNameStartsWith(e, 128, "Workbook") || EntryNameStartsWith(e, 128, "Wordbook")) return TYPE_XLS;
    if (EntryNameStartsWith(e, 128, "PowerPoint Document")) return TYPE_PPT;
  }
  return TYPE_OLE;
}

int CFileTypeJudge::GetOffice2007Type(unsigned char* /*pBuf*/, int /*nLen*/) {
  const int ss = m_nBytesPerSector;
  if (!IsUsableSectorSize(ss)) return TYPE_NONE;
  static const u8 kLocal[4] = {0x50, 0x4B, 0x03, 0x04}, kCentral[4] = {0x50, 0x4B, 0x01, 0x02};
  static const u8 kEnd[4] = {0x50, 0x4B, 0x05, 0x06};
  // Groups of four sectors; the first 4 bytes repeat the previous group's
  // last 4 so a signature split between groups is still seen.
  u8 buf[4 + 4 * MAX_SECTOR_SIZE];
  std::memset(buf, 0, 4);
  for (int group = 0; group < 5; ++group) {
    unsigned int got = ReadContextSectors(m_u64CurrentSector + 4ull * group, 4, buf + 4, sizeof(buf) - 4);
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

u64 CFileTypeJudge::GetOFFICE2003FileBytesSizeByFileHead(unsigned char* pHead, int nLen) {
  Bytes b(pHead, nLen);
  if (!b.AtLeast(512)) return 0;
  u16 shift = GetU16LE(b.p, b.n, 30);  // 0x1E: sector shift
  if (shift != 9 && shift != 12) return 0;
  const u32 cfSectorSize = 1u << shift;
  const u32 entriesPerSector = cfSectorSize / 4;
  const u32 maxTableSectors = (0xFFFFFFFAu >> (shift - 2)) + 1;
  const u32 tableSectors = GetU32LE(b.p, b.n, 44);  // 0x2C: allocation-table sectors
  const u32 smallSectors = GetU32LE(b.p, b.n, 64);  // 0x40: small-block table sectors
  const u32 extSectors = GetU32LE(b.p, b.n, 72);    // 0x48: extension (DIFAT) sectors
  if (tableSectors > maxTableSectors || smallSectors > maxTableSectors) return 0;
  if (extSectors > maxTableSectors / (entriesPerSector - 1) + 1) return 0;
  if (tableSectors == 0) return 0;  // no table: nothing to measure by

  const u64 total = static_cast<u64>(tableSectors) * entriesPerSector + 1;  // in compound sectors
  // However the last table sector reads, a table this large gives the cap.
  if ((total - entriesPerSector) * cfSectorSize >= kCompoundSizeCap) return kCompoundSizeCap;

  u32 lastTableSector = 0;
  if (extSectors == 0) {
    if (tableSectors > 109) return 0;  // the header lists only 109
    lastTableSector = GetU32LE(b.p, b.n, 76 + 4 * static_cast<size_t>(tableSectors - 1));
  } else {
    if (tableSectors < 109) return 0;
    const u32 perExt = entriesPerSector - 1;  // the last entry links to the next
    u8 ext[MAX_SECTOR_SIZE];
    u32 number = GetU32LE(b.p, b.n, 68);  // 0x44: first extension sector
    lastTableSector = number;
    for (u32 i = 1; i <= extSectors; ++i) {  // bounded by the header's count
      lastTableSector = number;
      if (number >= 0xFFFFFFFCu) break;
      if (!ReadCompoundSector(number, cfSectorSize, ext, sizeof(ext))) break;
      if (i == extSectors) {
        u32 r = (tableSectors - 109) % perExt;
        u32 index = r == 0 ? perExt - 1 : r - 1;
        lastTableSector = GetU32LE(ext, cfSectorSize, 4 * static_cast<size_t>(index));
        break;
      }
      number = GetU32LE(ext, cfSectorSize, 4 * static_cast<size_t>(perExt));
    }
  }

  u8 table[MAX_SECTOR_SIZE];
  if (!ReadCompoundSector(lastTableSector, cfSectorSize, table, sizeof(table))) {
    u64 size = total * cfSectorSize;
    return size < kCompoundSizeCap ? size : kCompoundSizeCap;
  }
  // Free entries at the end of the last table sector are sectors the file never had.
  u32 freeAtEnd = 0;
  for (u32 i = entriesPerSector; i-- > 0;) {
    if (GetU32LE(table, cfSectorSize, 4 * static_cast<size_t>(i)) != 0xFFFFFFFFu) break;
    ++freeAtEnd;
  }
  u64 size = (total - freeAtEnd) * cfSectorSize;
  return size < kCompoundSizeCap ? size : kCompoundSizeCap;
}

// Compound files (Word, Excel and PowerPoint 97-2003, and other OLE
// storage): which application a file belongs to and how long it is by its
// allocation table. Flash authoring files share the header.
#include <cctype>
#include <cstring>
#include <vector>

#include "carve/formats/FormatKit.h"
#include "carve/formats/Formats.h"

using namespace carve_detail;

namespace carvefmt {

namespace {

const u8 kFlaHead[4] = {0xD0, 0xCF, 0x11, 0xE0};
const u8 kCompoundHead[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
const CARVE_SIGNATURE kCompoundSignatures[] = {CARVE_SIG(0, "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1")};
const CARVE_SIGNATURE kFlaSignatures[] = {CARVE_SIG(0, "\xD0\xCF\x11\xE0")};

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

// Compound-file sector N (numbered after the header) into out; false when it
// cannot be read. Disk sectors and compound sectors need not be the same size.
bool ReadCompoundSector(const CARVE_CONTEXT& ctx, u64 number, u32 cfSectorSize, u8* out, size_t outLen) {
  const int ss = ctx.nBytesPerSector;
  if (!CARVE_CONTEXT::IsUsableSectorSize(ss) || cfSectorSize > outLen) return false;
  u64 byteOff = (number + 1) * cfSectorSize;
  u64 sector = ctx.u64CurrentSector + byteOff / ss;
  u32 inSector = static_cast<u32>(byteOff % ss);
  u8 tmp[CARVE_CONTEXT::MAX_SECTOR_SIZE * 2];
  u32 span = inSector + cfSectorSize;
  unsigned int want = (span + ss - 1) / ss;
  if (static_cast<size_t>(want) * ss > sizeof(tmp)) return false;
  if (ctx.ReadSectors(sector, want, tmp, sizeof(tmp)) != want) return false;
  std::memcpy(out, tmp + inSector, cfSectorSize);
  return true;
}

bool DocTailMarker(CARVE_CONTEXT& ctx, const StepView& v, void*, u64& size) {
  static const u8 kTailHead[6] = {0x01, 0x00, 0xFE, 0xFF, 0x03, 0x0A};
  static const u8 kTail[26] = {'M', 'i', 'c', 'r', 'o', 's', 'o', 'f', 't', ' ', 'O', 'f', 'f',
                               'i', 'c', 'e', ' ', 'W', 'o', 'r', 'd', ' ', 0xCE, 0xC4, 0xB5, 0xB5};
  if (FindBytes(v.p, v.owned, 0, kTailHead, 6) == npos) return false;
  size_t off = FindBytes(v.p, v.owned, 0, kTail, 26);
  if (off == npos) return false;
  const u64 ss = static_cast<u64>(ctx.nBytesPerSector);
  u64 end = off + 26;
  size = v.before + (end + ss - 1) / ss * ss;
  return true;
}

}  // namespace

int IsOffice2003Type(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  if (!b.AtLeast(8) || !b.Eq(0, kCompoundHead, 8)) return TYPE_NONE;
  return GetOffice2003Type(ctx, pBuf, nLen);
}

int IsFlaType(CARVE_CONTEXT&, const unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  return b.AtLeast(16) && b.Eq(0, kFlaHead, 4) ? TYPE_FLA : TYPE_NONE;
}

int GetOffice2003Type(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  const int ss = ctx.nBytesPerSector;
  if (!CARVE_CONTEXT::IsUsableSectorSize(ss)) return TYPE_OLE;
  u8 sector[CARVE_CONTEXT::MAX_SECTOR_SIZE];
  if (ctx.ReadSectors(ctx.u64CurrentSector + 1, 1, sector, sizeof(sector)) != 1) return TYPE_OLE;
  const size_t n = static_cast<size_t>(ss);
  // A stream that starts right after the header: a spreadsheet's BOF record
  // (0809, length 0010, BIFF8 0600) or a word-processing file's 0xA5EC ident.
  if (GetU16LE(sector, n, 0) == 0x0809 && GetU16LE(sector, n, 2) == 0x0010 && GetU16LE(sector, n, 4) == 0x0600)
    return TYPE_XLS;
  if (GetU16LE(sector, n, 0) == 0xA5EC) return TYPE_DOC;

  u32 firstDirSector = 0;  // 0x30
  if (!ReadU32LE(b.p, b.n, 48, firstDirSector)) return TYPE_OLE;
  if (ctx.ReadSectors(ctx.u64CurrentSector + static_cast<u64>(firstDirSector) + 1, 1, sector, sizeof(sector)) != 1)
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

u64 GetOFFICE2003FileBytesSizeByFileHead(CARVE_CONTEXT& ctx, const unsigned char* pHead, int nLen) {
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
    u8 ext[CARVE_CONTEXT::MAX_SECTOR_SIZE];
    u32 number = GetU32LE(b.p, b.n, 68);  // 0x44: first extension sector
    lastTableSector = number;
    for (u32 i = 1; i <= extSectors; ++i) {  // bounded by the header's count
      lastTableSector = number;
      if (number >= 0xFFFFFFFCu) break;
      if (!ReadCompoundSector(ctx, number, cfSectorSize, ext, sizeof(ext))) break;
      if (i == extSectors) {
        u32 r = (tableSectors - 109) % perExt;
        u32 index = r == 0 ? perExt - 1 : r - 1;
        lastTableSector = GetU32LE(ext, cfSectorSize, 4 * static_cast<size_t>(index));
        break;
      }
      number = GetU32LE(ext, cfSectorSize, 4 * static_cast<size_t>(perExt));
    }
  }

  u8 table[CARVE_CONTEXT::MAX_SECTOR_SIZE];
  if (!ReadCompoundSector(ctx, lastTableSector, cfSectorSize, table, sizeof(table))) {
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

u64 GetOFFICE2003FileBytesSize(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen) {
  u64 size = GetOFFICE2003FileBytesSizeByFileHead(ctx, pBuf, nLen);
  if (size != 0) return size;
  return ForwardScan(ctx, kMaxOffice, END_ANY, DocTailMarker, nullptr);
}

u64 GetFLAFileBytesSize(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen) {
  return GetDefaultAudioFileBytesSize(ctx, pBuf, nLen);
}

namespace {

const u32 kEndOfChain = 0xFFFFFFFEu, kFreeSector = 0xFFFFFFFFu;
const u32 kCompoundMaxDirEntries = 1u << 20;

enum CHAIN { CHAIN_OK, CHAIN_CUT, CHAIN_BAD };

// Follows a chain through table from start for exactly `want` links; each
// link is a sector below `count` not used by any chain before (used marks
// them). CHAIN_CUT when a link points past the file's end (a cut file).
CHAIN FollowChain(const std::vector<u32>& table, u32 start, u64 want, u64 count, std::vector<u8>& used, u64& maxUsed) {
  u32 s = start;
  for (u64 k = 0; k < want; ++k) {
    if (s >= table.size()) return s < kEndOfChain ? CHAIN_CUT : CHAIN_BAD;
    if (s >= count) return CHAIN_CUT;
    if (used[s]) return CHAIN_BAD;  // a loop, or two streams sharing a sector
    used[s] = 1;
    if (s > maxUsed || maxUsed == ~0ull) maxUsed = s;
    s = table[s];
  }
  return s == kEndOfChain ? CHAIN_OK : CHAIN_BAD;
}

}  // namespace

// The allocation table read through the header's list of table sectors (and
// its extension chain); the directory's chain; every stream's chain (the
// large ones through the table, the small ones through the small-block table
// inside the root's stream) exactly as long as its size needs, no sector
// shared, all inside the file; the file ends after the last sector used.
// Stream data has no checksum: the file is whole only when its last sector
// is one of the structure's own (tables, directory), which a cut would lose.
CARVE_VERDICT CheckCompound(CARVE_CONTEXT& ctx, u64 u64Size) {
  FileView view(ctx, u64Size);
  u8 h[512];
  if (!view.Read(0, h, 512) || std::memcmp(h, kCompoundHead, 8) != 0) return VERDICT_DAMAGED;
  const u16 shift = GetU16LE(h, 512, 30), miniShift = GetU16LE(h, 512, 32);
  if ((shift != 9 && shift != 12) || miniShift != 6) return VERDICT_DAMAGED;
  const u64 ss = 1ull << shift;
  const u32 perSector = static_cast<u32>(ss / 4);
  if (u64Size < 2 * ss) return VERDICT_PARTIAL;
  const u64 count = u64Size / ss - 1;  // whole sectors after the header
  const u32 tableSectors = GetU32LE(h, 512, 44), firstDir = GetU32LE(h, 512, 48);
  const u32 miniCutoff = GetU32LE(h, 512, 56), firstMini = GetU32LE(h, 512, 60), miniSectors = GetU32LE(h, 512, 64);
  const u32 firstExt = GetU32LE(h, 512, 68), extSectors = GetU32LE(h, 512, 72);
  if (tableSectors == 0 || tableSectors > count || extSectors > count || miniSectors > count) return VERDICT_DAMAGED;

  // The table sectors' numbers: 109 in the header, the rest in the extension chain.
  std::vector<u32> list;
  for (u32 i = 0; i < tableSectors && i < 109; ++i) list.push_back(GetU32LE(h, 512, 76 + 4 * i));
  std::vector<u8> sector(static_cast<size_t>(ss));
  u32 ext = firstExt;
  for (u32 k = 0; k < extSectors && list.size() < tableSectors; ++k) {
    if (ext >= count) return ext < kEndOfChain ? VERDICT_PARTIAL : VERDICT_DAMAGED;
    if (!view.Read((ext + 1ull) * ss, sector.data(), sector.size())) return VERDICT_PARTIAL;
    for (u32 i = 0; i + 1 < perSector && list.size() < tableSectors; ++i)
      list.push_back(GetU32LE(sector.data(), sector.size(), 4 * i));
    ext = GetU32LE(sector.data(), sector.size(), 4ull * (perSector - 1));
  }
  if (list.size() != tableSectors) return VERDICT_DAMAGED;
  std::vector<u32> table;
  table.reserve(static_cast<size_t>(tableSectors) * perSector);
  u64 maxUsed = ~0ull;
  for (u32 t : list) {
    if (t >= count) return t < kEndOfChain ? VERDICT_PARTIAL : VERDICT_DAMAGED;
    if (!view.Read((t + 1ull) * ss, sector.data(), sector.size())) return VERDICT_PARTIAL;
    for (u32 i = 0; i < perSector; ++i) table.push_back(GetU32LE(sector.data(), sector.size(), 4 * i));
    if (t > maxUsed || maxUsed == ~0ull) maxUsed = t;
  }
  std::vector<u8> used(static_cast<size_t>(count), 0);
  for (u32 t : list) used[t] = 1;
  u64 maxStructure = maxUsed;  // the highest sector of the tables and the directory

  // The directory: 128-byte entries along its chain (its length is not stated: up to its end).
  std::vector<u8> dir;
  for (u32 s = firstDir, k = 0; s != kEndOfChain; s = table[s], ++k) {
    if (s >= table.size() || k >= count) return VERDICT_DAMAGED;
    if (s >= count) return VERDICT_PARTIAL;
    if (used[s]) return VERDICT_DAMAGED;
    used[s] = 1;
    if (s > maxUsed || maxUsed == ~0ull) maxUsed = s;
    if (s > maxStructure) maxStructure = s;
    const size_t at = dir.size();
    dir.resize(at + static_cast<size_t>(ss));
    if (!view.Read((s + 1ull) * ss, dir.data() + at, static_cast<size_t>(ss))) return VERDICT_PARTIAL;
    if (dir.size() / 128 > kCompoundMaxDirEntries) return VERDICT_DAMAGED;
  }
  if (dir.size() < 128 || dir[66] != 5) return VERDICT_DAMAGED;  // entry 0 is the root

  auto verdictOf = [](CHAIN c) { return c == CHAIN_CUT ? VERDICT_PARTIAL : VERDICT_DAMAGED; };
  // The small-block table and the root's stream, which holds the small blocks.
  std::vector<u32> miniTable;
  if (miniSectors) {
    CHAIN c = FollowChain(table, firstMini, miniSectors, count, used, maxUsed);
    if (c != CHAIN_OK) return verdictOf(c);
    for (u32 s = firstMini, k = 0; k < miniSectors; s = table[s], ++k) {
      if (!view.Read((s + 1ull) * ss, sector.data(), sector.size())) return VERDICT_PARTIAL;
      for (u32 i = 0; i < perSector; ++i) miniTable.push_back(GetU32LE(sector.data(), sector.size(), 4 * i));
    }
  }
  const u64 rootSize = shift == 9 ? GetU32LE(dir.data(), dir.size(), 120) : GetU64LE(dir.data(), dir.size(), 120);
  if (rootSize) {
    CHAIN c = FollowChain(table, GetU32LE(dir.data(), dir.size(), 116), (rootSize + ss - 1) / ss, count, used, maxUsed);
    if (c != CHAIN_OK) return verdictOf(c);
  }
  const u64 miniCount = rootSize / 64;
  std::vector<u8> miniUsed(static_cast<size_t>(miniCount), 0);
  u64 miniMax = 0;
  for (size_t e = 128; e + 128 <= dir.size(); e += 128) {
    const u8* d = dir.data() + e;
    if (d[66] != 2) continue;  // streams only
    const u64 size = shift == 9 ? GetU32LE(d, 128, 120) : GetU64LE(d, 128, 120);
    const u32 start = GetU32LE(d, 128, 116);
    if (size == 0) continue;
    if (size < miniCutoff) {
      CHAIN c = FollowChain(miniTable, start, (size + 63) / 64, miniCount, miniUsed, miniMax);
      if (c != CHAIN_OK) return VERDICT_DAMAGED;  // small blocks live in the root's stream, already checked
    } else {
      if (size > u64Size) return VERDICT_PARTIAL;
      CHAIN c = FollowChain(table, start, (size + ss - 1) / ss, count, used, maxUsed);
      if (c != CHAIN_OK) return verdictOf(c);
    }
  }
  const u64 end = (maxUsed + 2) * ss;
  if (end < u64Size) ctx.u64CheckedEnd = end;
  return maxStructure == maxUsed ? VERDICT_WHOLE : VERDICT_UNKNOWN;
}

const CARVE_FORMAT kCompound = {"compound", kCompoundSignatures, SignatureCount(kCompoundSignatures),
                                IsOffice2003Type, GetOFFICE2003FileBytesSize, kMaxOffice + 512, FORMAT_SKIP_ONE,
                                CheckCompound, nullptr};
const CARVE_FORMAT kFla = {"fla", kFlaSignatures, SignatureCount(kFlaSignatures), IsFlaType, GetFLAFileBytesSize,
                           kMax256M, 0, nullptr, nullptr};

}  // namespace carvefmt

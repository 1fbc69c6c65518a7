#include "disk/PartitionManager.h"

#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "disk/BootSector.h"
#include "engine/ByteOrder.h"
#include "engine/DiskMap.h"
#include "engine/DiskReader.h"
#include "engine/TextUtil.h"

namespace {

const size_t kSector = 512;
const size_t kHeadBytes = 8192;     // first read of every disk: a GPT header at LBA 1 of 4 KiB sectors included
const u32 kSectorSizes[] = {512, 1024, 2048, 4096};
const size_t kMbrTable = 446;       // four 16-byte entries
const size_t kNameUnits = 36;

// GPT header fields (sector 1 or the backup at the last sector).
const size_t kGptHeaderSize = 12;
const size_t kGptHeaderCrc = 16;
const size_t kGptMyLba = 24;
const size_t kGptEntriesLba = 72;
const size_t kGptEntryCount = 80;
const size_t kGptEntrySize = 84;
const size_t kGptEntriesCrc = 88;
const u32 kGptMinHeader = 92;

// Apple partition map entry fields (big-endian).
const size_t kApmMapCount = 4;
const size_t kApmPhysStart = 8;
const size_t kApmName = 16;
const size_t kApmNameBytes = 32;
const size_t kApmDataStart = 80;
const size_t kApmDataCount = 84;

struct CrcTable {
  u32 v[256];
  CrcTable() {
    for (u32 i = 0; i < 256; ++i) {
      u32 c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? (0xEDB88320u ^ (c >> 1)) : (c >> 1);
      v[i] = c;
    }
  }
};

void FillDevicePath(char (&dst)[16], int nDiskNo) {
  snprintf(dst, sizeof(dst), "/dev/disk%d", nDiskNo);
}

// True when the four MBR entries look like a partition table: every boot
// flag 0x00 or 0x80 and at least one entry in use. A bare FAT or NTFS boot
// sector carries 0x55AA too, but its bytes 446..509 are boot code or zeros.
bool MbrTableLooksValid(const u8* pSec, size_t nLen) {
  if (!CPartitionManager::IsMBR(pSec, nLen)) return false;
  bool bAnyUsed = false;
  for (size_t i = 0; i < 4; ++i) {
    size_t e = kMbrTable + i * 16;
    u8 status = GetU8(pSec, nLen, e);
    if (status != 0x00 && status != 0x80) return false;
    if (GetU8(pSec, nLen, e + 4) != 0 && GetU32LE(pSec, nLen, e + 12) != 0) bAnyUsed = true;
  }
  return bAnyUsed;
}

bool MbrHasProtectiveEntry(const u8* pSec, size_t nLen) {
  for (size_t i = 0; i < 4; ++i)
    if (GetU8(pSec, nLen, kMbrTable + i * 16 + 4) == 0xEE) return true;
  return false;
}

// One GPT header with the entry array it points to, after sanitising every
// field: a damaged header must not make us read gigabytes or loop for long.
struct GptTable {
  bool bPresent = false;     // signature found
  bool bHeaderCrcOk = false;
  bool bArrayCrcOk = false;
  u32 nEntrySize = 128;
  u32 nEntries = 0;
  std::vector<u8> array;
};

// The header lies at LBA u64MyLba of nSectorSize-byte sectors; LBAs and the
// disk size are in those sectors.
GptTable LoadGpt(int fd, const u8* pHdr, size_t nLen, u64 u64MyLba, u64 u64DiskSectors, u32 nSectorSize) {
  GptTable t;
  if (!CPartitionManager::IsEFI(pHdr, nLen) || nLen < kSector) return t;
  t.bPresent = true;

  u32 nHeaderSize = GetU32LE(pHdr, nLen, kGptHeaderSize);
  if (nHeaderSize >= kGptMinHeader && nHeaderSize <= kSector) {
    u8 copy[kSector];
    memcpy(copy, pHdr, nHeaderSize);
    memset(copy + kGptHeaderCrc, 0, 4);
    t.bHeaderCrcOk = PartitionCrc32(copy, nHeaderSize) == GetU32LE(pHdr, nLen, kGptHeaderCrc) &&
                     GetU64LE(pHdr, nLen, kGptMyLba) == u64MyLba;
  }

  u32 nSize = GetU32LE(pHdr, nLen, kGptEntrySize);
  bool bSizeOk = nSize >= 128 && nSize <= PARTITION_MAX_GPT_ENTRY_SIZE && nSize % 8 == 0;
  t.nEntrySize = bSizeOk ? nSize : 128;
  u32 nCount = GetU32LE(pHdr, nLen, kGptEntryCount);
  // A garbage entry size means a damaged header: fall back to the usual
  // 128 entries of 128 bytes.
  if (!bSizeOk) nCount = 128;
  nCount = std::min<u32>(nCount, PARTITION_MAX_GPT_ENTRIES);
  nCount = std::min<u32>(nCount, PARTITION_MAX_GPT_ARRAY / t.nEntrySize);
  bool bCountCapped = nCount != GetU32LE(pHdr, nLen, kGptEntryCount);

  u64 u64ArrayBytes = static_cast<u64>(nCount) * t.nEntrySize;
  u64 u64ArraySectors = (u64ArrayBytes + nSectorSize - 1) / nSectorSize;
  u64 u64Lba = GetU64LE(pHdr, nLen, kGptEntriesLba);
  bool bLbaOk = u64Lba >= 2 && u64Lba != u64MyLba &&
                (u64DiskSectors == 0 || (u64Lba < u64DiskSectors && u64ArraySectors <= u64DiskSectors - u64Lba));
  if (!bLbaOk) {
    // The usual places: right after the primary header, right before the backup.
    u64Lba = (u64MyLba == 1 || u64MyLba < u64ArraySectors + 2) ? 2 : u64MyLba - u64ArraySectors;
  }

  t.array.resize(static_cast<size_t>(u64ArrayBytes));
  size_t got = 0;
  if (!t.array.empty()) ReadAt(fd, t.array.data(), t.array.size(), u64Lba * nSectorSize, &got);
  t.nEntries = static_cast<u32>(got / t.nEntrySize);
  t.array.resize(static_cast<size_t>(t.nEntries) * t.nEntrySize);
  t.bArrayCrcOk = bSizeOk && bLbaOk && !bCountCapped && t.nEntries == nCount &&
                  PartitionCrc32(t.array.data(), t.array.size()) == GetU32LE(pHdr, nLen, kGptEntriesCrc);
  return t;
}

// The sector size a disk's table counts in: the kernel's for a block device;
// for an image the place of the GPT header, which lies at LBA 1 (byte 4096
// on a disk of 4 KiB sectors). An image with an MBR alone does not say: 512.
u32 TableSectorSize(int fd, const u8* pHead, size_t nHead) {
  u32 kernel = rsb_getLogicalSectorSize(fd);
  for (u32 s : kSectorSizes)
    if (kernel == s) return s;
  for (u32 s : kSectorSizes)
    if (nHead >= s + kSector && CPartitionManager::IsEFI(pHead + s, nHead - s)) return s;
  return kSector;
}

bool IsZero(const u8* p, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (p[i]) return false;
  return true;
}

}  // namespace

u32 PartitionCrc32(const unsigned char* pBuf, size_t nLen) {
  static const CrcTable table;
  u32 c = 0xFFFFFFFFu;
  for (size_t i = 0; i < nLen; ++i) c = table.v[(c ^ pBuf[i]) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

std::string PartitionNameToUtf8(const _PARTITION_ITEM_& item) {
  u16 units[kNameUnits];
  for (size_t i = 0; i < kNameUnits; ++i) units[i] = static_cast<u16>(item.wszName[i]);
  return Utf16ToUtf8(units, kNameUnits);
}

CPartitionManager::CPartitionManager()
    : m_nSectorSize(kSector), m_nPartitionNo(1), m_u64ExtendedBase(0), m_u64DiskSectors(0) {}

bool CPartitionManager::IsEFI(const unsigned char* pBuf, size_t nLen) {
  return BytesEqual(pBuf, nLen, 0, "EFI PART", 8);
}

bool CPartitionManager::IsAPM(const unsigned char* pBuf, size_t nLen) {
  return BytesEqual(pBuf, nLen, 0, "ER", 2);
}

bool CPartitionManager::IsMBR(const unsigned char* pBuf, size_t nLen) {
  return nLen >= kSector && GetU16LE(pBuf, nLen, 510) == 0xAA55;
}

int CPartitionManager::GetPartitionItems(PartitionMap& mapItems) {
  mapItems.clear();
  ResetNumbering();
  size_t nDisks = std::min<size_t>(ListDiskDevices().size(), PARTITION_MAX_DISKS);
  for (size_t n = 0; n < nDisks; ++n) {
    std::vector<_PARTITION_ITEM_> list;
    if (ReadDisk(static_cast<int>(n), list) == 0 && !list.empty()) mapItems[static_cast<int>(n)] = list;
  }
  return 1;
}

int CPartitionManager::ReadDisk(int nDiskNo, std::vector<_PARTITION_ITEM_>& list) {
  int fd = OpenDiskReadOnly(nDiskNo);
  if (fd < 0) return errno ? errno : ENODEV;
  int status = ReadPartitionTable(fd, nDiskNo, list);
  close(fd);
  return status;
}

int CPartitionManager::ReadPartitionTable(int fd, int nDiskNo, std::vector<_PARTITION_ITEM_>& list) {
  u8 head[kHeadBytes];
  size_t nHead = 0;
  int status = ReadAt(fd, head, sizeof(head), 0, &nHead);
  if (nHead < kSector) return status ? status : STATUS_SHORT_READ;
  memset(head + nHead, 0, sizeof(head) - nHead);

  char szPath[16];
  FillDevicePath(szPath, nDiskNo);
  m_u64ExtendedBase = 0;
  m_nSectorSize = TableSectorSize(fd, head, nHead);
  const u64 diskBytes = rsb_getDeviceSize(fd);
  m_u64DiskSectors = diskBytes / m_nSectorSize;

  if (nHead >= m_nSectorSize + kSector && IsEFI(head + m_nSectorSize, nHead - m_nSectorSize)) {
    ReadGpt(fd, head, nHead, list, nDiskNo, szPath);
  } else if (IsAPM(head, nHead)) {
    // The Apple map counts in 512-byte blocks.
    m_nSectorSize = kSector;
    m_u64DiskSectors = diskBytes / kSector;
    ReadApm(fd, head, nHead, list, nDiskNo, szPath);
  } else if (m_u64DiskSectors > 0 &&
             (IsNtfs(head, nHead) || IsExfat(head, nHead) ||
              ((IsFat(head, nHead) || IsExt(head, nHead)) && !MbrTableLooksValid(head, nHead)))) {
    // A volume written straight onto the disk (a stick formatted without a
    // table): offer the whole disk, or its files could never be scanned.
    AddNumberedItem(0, m_u64DiskSectors - 1, list, nDiskNo, szPath);
  } else if (IsMBR(head, nHead)) {
    // A protective MBR whose primary GPT header is gone: the backup header
    // at the end of the disk may still describe the partitions.
    if (MbrHasProtectiveEntry(head, nHead) && ReadGpt(fd, head, nHead, list, nDiskNo, szPath)) return 0;
    GetMBRPartition(fd, 0, list, nDiskNo, szPath);
  }
  return 0;
}

bool CPartitionManager::AddItem(u64 u64Start, u64 u64End, std::vector<_PARTITION_ITEM_>& list, int nDiskNo,
                                const char* pDevicePath, const char16_t* pName, size_t nNameUnits) {
  if (u64End < u64Start) return false;
  if (m_u64DiskSectors > 0) {
    if (u64Start >= m_u64DiskSectors) return false;
    // A table written for a larger disk (or a truncated image): keep what is there.
    if (u64End >= m_u64DiskSectors) u64End = m_u64DiskSectors - 1;
  }
  // Items are exchanged in 512-byte sectors whatever the table counts in.
  const u64 factor = m_nSectorSize / kSector;
  if (u64End >= UINT64_MAX / factor) return false;
  _PARTITION_ITEM_ item;
  memset(&item, 0, sizeof(item));
  item.u64StartSector = u64Start * factor;
  item.u64EndSector = (u64End + 1) * factor - 1;
  item.nDiskNo = nDiskNo;
  size_t n = std::min(nNameUnits, kNameUnits);
  for (size_t i = 0; i < n && pName[i]; ++i) item.wszName[i] = pName[i];
  snprintf(item.szDevicePath, sizeof(item.szDevicePath), "%s", pDevicePath ? pDevicePath : "");
  list.push_back(item);
  return true;
}

bool CPartitionManager::AddNumberedItem(u64 u64Start, u64 u64End, std::vector<_PARTITION_ITEM_>& list,
                                        int nDiskNo, const char* pDevicePath) {
  char szName[kNameUnits];
  int nLen = snprintf(szName, sizeof(szName), "Partition %d", m_nPartitionNo);
  char16_t wszName[kNameUnits] = {};
  for (int i = 0; i < nLen && i < static_cast<int>(kNameUnits); ++i) wszName[i] = static_cast<u8>(szName[i]);
  if (!AddItem(u64Start, u64End, list, nDiskNo, pDevicePath, wszName, kNameUnits)) return false;
  ++m_nPartitionNo;
  return true;
}

void CPartitionManager::GetMBRPartition(int fd, u64 u64TableSector, std::vector<_PARTITION_ITEM_>& list,
                                        int nDiskNo, const char* pDevicePath) {
  std::vector<u64> visited;
  u32 nLogical = 0;
  WalkMbrChain(fd, u64TableSector, list, nDiskNo, pDevicePath, visited, nLogical);
}

void CPartitionManager::WalkMbrChain(int fd, u64 u64TableSector, std::vector<_PARTITION_ITEM_>& list,
                                     int nDiskNo, const char* pDevicePath, std::vector<u64>& visited,
                                     u32& nLogical) {
  // A chain that links back to a record already read, or that is
  // absurdly long, ends here.
  if (visited.size() >= PARTITION_MAX_EBR) return;
  if (std::find(visited.begin(), visited.end(), u64TableSector) != visited.end()) return;
  if (m_u64DiskSectors > 0 && u64TableSector >= m_u64DiskSectors) return;
  visited.push_back(u64TableSector);

  u8 sec[kSector];
  size_t got = 0;
  if (u64TableSector > UINT64_MAX / m_nSectorSize) return;
  if (ReadAt(fd, sec, sizeof(sec), u64TableSector * m_nSectorSize, &got) != 0 || got != sizeof(sec)) return;
  // An extended boot record without its signature is not one: stop the chain
  // rather than list whatever bytes lie there.
  if (u64TableSector != 0 && !IsMBR(sec, sizeof(sec))) return;

  for (size_t i = 0; i < 4; ++i) {
    size_t e = kMbrTable + i * 16;
    u8 status = GetU8(sec, sizeof(sec), e);
    u8 type = GetU8(sec, sizeof(sec), e + 4);
    u32 nRelative = GetU32LE(sec, sizeof(sec), e + 8);
    u32 nCount = GetU32LE(sec, sizeof(sec), e + 12);
    if (type == 0x05 || type == 0x0F) {
      if (m_u64ExtendedBase == 0 && u64TableSector != 0) m_u64ExtendedBase = u64TableSector;
      WalkMbrChain(fd, static_cast<u64>(nRelative) + m_u64ExtendedBase, list, nDiskNo, pDevicePath, visited,
                   nLogical);
      continue;
    }
    if (type == 0 && nRelative == 0 && nCount == 0) break;
    if (status != 0x00 && status != 0x80) continue;  // damaged entry: skip it, keep the rest
    if (nCount == 0) continue;
    bool bLogical = u64TableSector != 0;
    if (bLogical && nLogical >= PARTITION_MAX_LOGICAL) continue;
    u64 u64Start = static_cast<u64>(nRelative) + u64TableSector;
    if (AddNumberedItem(u64Start, u64Start + nCount - 1, list, nDiskNo, pDevicePath) && bLogical) ++nLogical;
  }
}

bool CPartitionManager::ReadGpt(int fd, const unsigned char* pHead, size_t nHeadLen,
                                std::vector<_PARTITION_ITEM_>& list, int nDiskNo, const char* pDevicePath) {
  const u32 ss = m_nSectorSize;
  GptTable primary;
  if (nHeadLen >= ss + kSector) primary = LoadGpt(fd, pHead + ss, nHeadLen - ss, 1, m_u64DiskSectors, ss);
  GptTable backup;
  if (!(primary.bHeaderCrcOk && primary.bArrayCrcOk) && m_u64DiskSectors > 3) {
    u8 hdr[kSector];
    size_t got = 0;
    u64 u64Last = m_u64DiskSectors - 1;
    if (ReadAt(fd, hdr, sizeof(hdr), u64Last * ss, &got) == 0 && got == sizeof(hdr))
      backup = LoadGpt(fd, hdr, sizeof(hdr), u64Last, m_u64DiskSectors, ss);
  }
  // Prefer a copy whose checksums hold; a primary that fails them is still
  // read rather than dropped, since its entries may be intact.
  const GptTable* pUse = nullptr;
  if (primary.bHeaderCrcOk && primary.bArrayCrcOk) pUse = &primary;
  else if (backup.bHeaderCrcOk && backup.bArrayCrcOk) pUse = &backup;
  else if (primary.bHeaderCrcOk) pUse = &primary;
  else if (backup.bHeaderCrcOk) pUse = &backup;
  else if (primary.bPresent) pUse = &primary;
  if (!pUse) return false;

  const u8* pArr = pUse->array.data();
  size_t nArr = pUse->array.size();
  for (u32 i = 0; i < pUse->nEntries; ++i) {
    size_t e = static_cast<size_t>(i) * pUse->nEntrySize;
    if (!InBounds(nArr, e, 128)) break;
    if (IsZero(pArr + e, 16)) continue;  // type GUID zero: an unused slot
    u64 u64First = GetU64LE(pArr, nArr, e + 32);
    u64 u64Last = GetU64LE(pArr, nArr, e + 40);
    if (u64First == 0 || u64Last == 0) continue;
    char16_t wszName[kNameUnits];
    for (size_t k = 0; k < kNameUnits; ++k) wszName[k] = GetU16LE(pArr, nArr, e + 56 + 2 * k);
    AddItem(u64First, u64Last, list, nDiskNo, pDevicePath, wszName, kNameUnits);
  }
  return true;
}

void CPartitionManager::ReadApm(int fd, const unsigned char* pHead, size_t nHeadLen,
                                std::vector<_PARTITION_ITEM_>& list, int nDiskNo, const char* pDevicePath) {
  u32 nMap = GetU32BE(pHead, nHeadLen, kSector + kApmMapCount);
  if (nMap == 0 || nMap > PARTITION_MAX_APM_ENTRIES) return;
  std::vector<u8> map(static_cast<size_t>(nMap) * kSector);
  size_t got = 0;
  ReadAt(fd, map.data(), map.size(), kSector, &got);
  size_t nEntries = got / kSector;
  for (size_t i = 0; i < nEntries; ++i) {
    const u8* e = map.data() + i * kSector;
    if (!BytesEqual(e, kSector, 0, "PM", 2)) continue;  // not a map entry: skip it
    u64 u64Start = static_cast<u64>(GetU32BE(e, kSector, kApmPhysStart)) + GetU32BE(e, kSector, kApmDataStart);
    u32 nData = GetU32BE(e, kSector, kApmDataCount);
    if (nData == 0) continue;
    // The name is 32 bytes of ASCII; anything else shows as U+FFFD.
    char16_t wszName[kNameUnits] = {};
    for (size_t k = 0; k < kApmNameBytes; ++k) {
      u8 c = e[kApmName + k];
      if (c == 0) break;
      wszName[k] = (c >= 0x20 && c < 0x7F) ? static_cast<char16_t>(c) : static_cast<char16_t>(0xFFFD);
    }
    AddItem(u64Start, u64Start + nData - 1, list, nDiskNo, pDevicePath, wszName, kNameUnits);
  }
}

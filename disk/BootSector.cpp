#include "disk/BootSector.h"

#include <cstring>

#include "engine/ByteOrder.h"
#include "engine/DiskReader.h"
#include "engine/Status.h"
#include "engine/Types.h"

const FAT_DEFAULT_CLUSTER_ROW Fat32DefaultClusterPartitionSizeLimitBySector[8] = {
    {1, 68544, 133056},         {2, 133056, 264096},        {4, 264096, 526176},
    {8, 526176, 16777152},      {16, 16777152, 33554304},   {32, 33554304, 67108608},
    {64, 67108608, 268435440},  {128, 268435440, 4294967167u},
};

namespace {
// Boot sector field offsets.
constexpr size_t kOemName = 3;
constexpr size_t kBytesPerSector = 11;
constexpr size_t kSectorsPerCluster = 13;
constexpr size_t kReservedSectors = 14;
constexpr size_t kNumFats = 16;
constexpr size_t kRootEntries = 17;
constexpr size_t kTotalSectors16 = 19;
constexpr size_t kFatSize16 = 22;
constexpr size_t kTotalSectors32 = 32;
constexpr size_t kFatSize32 = 36;
constexpr size_t kNtfsTotalSectors = 40;
constexpr size_t kFat32TypeText = 82;
constexpr size_t kBitlockerMarker = 480;
// NTFS clusters reach 2 MiB.
constexpr uint64_t kNtfsMaxClusterBytes = 2u << 20;

bool HasBootSignature(const unsigned char* p, size_t n) {
  return n >= 512 && p[510] == 0x55 && p[511] == 0xAA;
}

const unsigned char kBitlockerPattern[30] = {
    0x78, 0x78, 0x78, 0x78, 0x78, 0x78, 0x78, 0x78, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x1F, 0x2C};
}  // namespace

bool IsAllowedSectorsPerCluster(uint32_t n) { return n != 0 && n <= 128 && (n & (n - 1)) == 0; }

uint32_t NtfsClusterBytes(const unsigned char* p, size_t n) {
  if (!p || n < 512) return 0;
  uint32_t bps = GetU16LE(p, n, kBytesPerSector);
  if (bps == 0) bps = 512;
  if (bps < 512 || bps > 4096 || (bps & (bps - 1)) != 0) return 0;
  const uint32_t raw = p[kSectorsPerCluster];
  if (raw == 0) return 0;
  uint64_t bytes = raw <= 0x80 ? static_cast<uint64_t>(raw) * bps
                               : (256 - raw < 32 ? static_cast<uint64_t>(bps) << (256 - raw) : 0);
  if (bytes == 0 || bytes > kNtfsMaxClusterBytes || (bytes & (bytes - 1)) != 0) return 0;
  return static_cast<uint32_t>(bytes);
}

bool IsNtfs(const unsigned char* p, size_t n) {
  if (!p || n < 512) return false;
  if (!BytesEqual(p, n, kOemName, "NTFS    ", 8)) return false;
  if ((GetU16LE(p, n, kBytesPerSector) & 0x1FF) != 0) return false;
  if (GetU16LE(p, n, kReservedSectors) != 0) return false;
  if (NtfsClusterBytes(p, n) == 0) return false;
  if (GetU64LE(p, n, kNtfsTotalSectors) == 0) return false;
  static const size_t zeroBytes[] = {16, 17, 18, 19, 20, 22, 23, 32, 33, 34, 35};
  for (size_t off : zeroBytes)
    if (p[off] != 0) return false;
  return HasBootSignature(p, n);
}

bool IsBitlockerDBR(const unsigned char* p, size_t n) {
  if (!p || n < 512) return false;
  return BytesEqual(p, n, kOemName, "-FVE-FS-", 8) ||
         BytesEqual(p, n, kBitlockerMarker, kBitlockerPattern, sizeof(kBitlockerPattern));
}

bool IsFullValidFAT16DBR(const unsigned char* p, size_t n) {
  if (!p || n < 512) return false;
  if (p[kNumFats] == 0) return false;
  if (GetU16LE(p, n, kTotalSectors16) == 0 && GetU32LE(p, n, kTotalSectors32) == 0) return false;
  if (!IsAllowedSectorsPerCluster(p[kSectorsPerCluster])) return false;
  if (GetU16LE(p, n, kFatSize16) == 0) return false;
  return HasBootSignature(p, n);
}

bool IsFullValidFAT32DBR(const unsigned char* p, size_t n) {
  if (!p || n < 512) return false;
  if (!BytesEqual(p, n, kFat32TypeText, "FAT32   ", 8)) return false;
  if (p[kNumFats] == 0) return false;
  if (GetU32LE(p, n, kTotalSectors32) == 0) return false;
  if (!IsAllowedSectorsPerCluster(p[kSectorsPerCluster])) return false;
  if (GetU32LE(p, n, kFatSize32) == 0) return false;
  return HasBootSignature(p, n);
}

bool IsFat(const unsigned char* p, size_t n) {
  if (!p || n < 512) return false;
  if (IsBitlockerDBR(p, n)) return false;
  uint32_t bytesPerSector = GetU16LE(p, n, kBytesPerSector);
  uint32_t secPerClus = p[kSectorsPerCluster];
  if (bytesPerSector == 0 || (bytesPerSector & 0x1FF) != 0 || secPerClus == 0) return false;
  uint32_t fatSize = GetU16LE(p, n, kFatSize16);
  if (fatSize == 0) fatSize = GetU32LE(p, n, kFatSize32);
  uint32_t total = GetU32LE(p, n, kTotalSectors32);
  if (total == 0) total = GetU16LE(p, n, kTotalSectors16);
  uint32_t rootDirSectors = (static_cast<uint32_t>(GetU16LE(p, n, kRootEntries)) * 32u) / bytesPerSector;
  // Unsigned on purpose: a negative difference wraps to a huge count, which fails below.
  uint32_t dataSectors = total - GetU16LE(p, n, kReservedSectors) - fatSize * p[kNumFats] - rootDirSectors;
  uint32_t clusters = dataSectors / secPerClus;
  if (clusters >= 268435440u) return false;
  if (clusters < 65525u) return IsFullValidFAT16DBR(p, n) || IsFullValidFAT32DBR(p, n);
  return IsFullValidFAT32DBR(p, n) || IsFullValidFAT16DBR(p, n);
}

bool IsExt(const unsigned char* p, size_t n) {
  if (!p || n < 1112) return false;
  if (GetU16LE(p, n, 1080) != 0xEF53) return false;
  uint32_t inodes = GetU32LE(p, n, 1024);
  uint32_t blocks = GetU32LE(p, n, 1028);
  uint32_t firstData = GetU32LE(p, n, 1044);
  uint32_t logBlock = p[1048];
  uint32_t blocksPerGroup = GetU32LE(p, n, 1056);
  uint32_t inodesPerGroup = GetU32LE(p, n, 1064);
  uint32_t firstIno = GetU32LE(p, n, 1108);
  if (blocks == 0 || inodes == 0 || blocksPerGroup == 0 || inodesPerGroup == 0) return false;
  if (firstIno < 3) return false;
  if ((inodes - 1) / inodesPerGroup != (blocks - 1 - firstData) / blocksPerGroup) return false;
  uint32_t blockSize = 1024u << (logBlock & 0x1F);
  if (firstData != (blockSize == 1024 ? 1u : 0u)) return false;
  return inodes > firstIno;
}

bool ParseExfatBootSector(const unsigned char* p, size_t n, EXFAT_BOOT_INFO& out) {
  if (!p || n < 512 || !BytesEqual(p, n, kOemName, "EXFAT   ", 8) || !HasBootSignature(p, n)) return false;
  // 0x0B-0x3F overlay the FAT fields and must be zero, so FAT code never
  // takes an exFAT volume for its own.
  for (size_t off = 11; off < 64; ++off)
    if (p[off] != 0) return false;
  const uint8_t sectorShift = p[0x6C], clusterShift = p[0x6D];
  if (sectorShift < 9 || sectorShift > 12 || clusterShift > 25 - sectorShift) return false;
  EXFAT_BOOT_INFO b;
  b.u64VolumeLength = GetU64LE(p, n, 0x48);
  b.nFatOffset = GetU32LE(p, n, 0x50);
  b.nFatLength = GetU32LE(p, n, 0x54);
  b.nClusterHeapOffset = GetU32LE(p, n, 0x58);
  b.nClusterCount = GetU32LE(p, n, 0x5C);
  b.nRootCluster = GetU32LE(p, n, 0x60);
  b.nSerial = GetU32LE(p, n, 0x64);
  b.nVolumeFlags = GetU16LE(p, n, 0x6A);
  b.nBytesPerSector = 1u << sectorShift;
  b.nSectorsPerCluster = 1u << clusterShift;
  b.nNumberOfFats = p[0x6E];
  if (b.nNumberOfFats != 1 && b.nNumberOfFats != 2) return false;
  // The FAT follows the two boot regions; it holds an entry per cluster.
  if (b.nFatOffset < 24 || b.nFatLength == 0 || b.nClusterCount == 0 || b.nClusterCount > 0xFFFFFFF5u) return false;
  const uint64_t fatEntries = static_cast<uint64_t>(b.nFatLength) * b.nBytesPerSector / 4;
  if (fatEntries < static_cast<uint64_t>(b.nClusterCount) + 2) return false;
  const uint64_t fatEnd = b.nFatOffset + static_cast<uint64_t>(b.nFatLength) * b.nNumberOfFats;
  if (b.nClusterHeapOffset < fatEnd) return false;
  const uint64_t heapEnd = b.nClusterHeapOffset + (static_cast<uint64_t>(b.nClusterCount) << clusterShift);
  if (b.u64VolumeLength < heapEnd) return false;
  if (b.nRootCluster < 2 || b.nRootCluster > b.nClusterCount + 1) return false;
  out = b;
  return true;
}

uint32_t ExfatBootChecksum(const unsigned char* p, size_t n, uint32_t bytesPerSector) {
  const size_t len = static_cast<size_t>(bytesPerSector) * 11;
  uint32_t sum = 0;
  if (!p || n < len) return 0;
  for (size_t i = 0; i < len; ++i) {
    // VolumeFlags (0x6A-0x6B) and PercentInUse (0x70) change while mounted.
    if (i == 0x6A || i == 0x6B || i == 0x70) continue;
    sum = ((sum & 1) ? 0x80000000u : 0) + (sum >> 1) + p[i];
  }
  return sum;
}

bool ExfatBootChecksumMatches(const unsigned char* p, size_t n, uint32_t bytesPerSector) {
  if (!p || bytesPerSector < 512 || n < static_cast<size_t>(bytesPerSector) * 12) return false;
  const uint32_t sum = ExfatBootChecksum(p, n, bytesPerSector);
  const size_t base = static_cast<size_t>(bytesPerSector) * 11;
  for (size_t off = base; off < base + bytesPerSector; off += 4)
    if (GetU32LE(p, n, off) != sum) return false;
  return true;
}

bool IsExfat(const unsigned char* p, size_t n) {
  EXFAT_BOOT_INFO b;
  if (!ParseExfatBootSector(p, n, b)) return false;
  if (n < static_cast<size_t>(b.nBytesPerSector) * 12) return true;
  return ExfatBootChecksumMatches(p, n, b.nBytesPerSector);
}

uint32_t GetDefaultNtfsSectorPerCluster(uint64_t sectors, uint32_t bytesPerSector) {
  double size = static_cast<double>(bytesPerSector) * static_cast<double>(sectors) / 1048576.0;
  double k = static_cast<double>(bytesPerSector / 512);
  if (size <= 7 * k) return 8;
  if (size <= 512 * k) return 1;
  if (size <= 1024 * k) return 2;
  if (size <= 2048 * k) return 4;
  return 8;
}

uint32_t GetFat32DefaultSectorPerCluster(uint64_t sectors, uint32_t bytesPerSector) {
  if (sectors == 0) return 0;
  for (int i = 0; i < 8; ++i) {
    const FAT_DEFAULT_CLUSTER_ROW& r = Fat32DefaultClusterPartitionSizeLimitBySector[i];
    if (sectors >= r.nFromSectors && sectors < r.nToSectors) {
      if (i == 7 && bytesPerSector == 4096) return 64;
      return r.nSectorsPerCluster;
    }
  }
  return 8;
}

int ReadVolumeStart(int fd, uint64_t u64StartSector, uint64_t u64SectorCount, BOOT_KIND eKind, unsigned char* pBuf,
                    size_t nLen, bool* pFromBackup) {
  if (pFromBackup) *pFromBackup = false;
  if (!pBuf || nLen < SECTOR_SIZE) return STATUS_INVALID_PARAMETER;
  memset(pBuf, 0, nLen);
  const uint64_t base = u64StartSector * SECTOR_SIZE;
  size_t got = 0;
  int st = ReadAt(fd, pBuf, nLen, base, &got);
  if (st == 0) return got < SECTOR_SIZE ? STATUS_SHORT_READ : 0;
  // Something in the range is unreadable: take what reads sector by sector.
  int first = 0;
  for (size_t at = 0; at + SECTOR_SIZE <= nLen; at += SECTOR_SIZE) {
    size_t n = 0;
    int r = ReadAt(fd, pBuf + at, SECTOR_SIZE, base + at, &n);
    if (r != 0 || n != SECTOR_SIZE) {
      memset(pBuf + at, 0, SECTOR_SIZE);
      if (at == 0) first = r != 0 ? r : STATUS_SHORT_READ;
    }
  }
  if (first == 0) return 0;
  unsigned char backup[SECTOR_SIZE];
  uint64_t at = 0;
  if (eKind == BOOT_FAT)
    at = 6;
  else if (eKind == BOOT_NTFS && u64SectorCount > 1)
    at = u64SectorCount - 1;
  else
    return first;
  size_t n = 0;
  if (ReadAt(fd, backup, sizeof(backup), base + at * SECTOR_SIZE, &n) != 0 || n != sizeof(backup)) return first;
  const bool ok = eKind == BOOT_FAT ? IsFat(backup, sizeof(backup)) && IsFullValidFAT32DBR(backup, sizeof(backup))
                                    : IsNtfs(backup, sizeof(backup));
  if (!ok) return first;
  memcpy(pBuf, backup, sizeof(backup));
  if (pFromBackup) *pFromBackup = true;
  return 0;
}

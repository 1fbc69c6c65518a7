// Recognition of NTFS, FAT and ext volumes from their first bytes. Pure
// functions over a caller's buffer; the length is passed so a short buffer
// is simply "not this".
#pragma once

#include <cstddef>
#include <cstdint>

bool IsNtfs(const unsigned char* pBuf, size_t nLen = 512);
bool IsFat(const unsigned char* pBuf, size_t nLen = 512);
bool IsExt(const unsigned char* pBuf, size_t nLen = 16384);
bool IsBitlockerDBR(const unsigned char* pBuf, size_t nLen = 512);
bool IsFullValidFAT16DBR(const unsigned char* pBuf, size_t nLen = 512);
bool IsFullValidFAT32DBR(const unsigned char* pBuf, size_t nLen = 512);
uint32_t GetDefaultNtfsSectorPerCluster(uint64_t u64Sectors, uint32_t nBytesPerSector);
uint32_t GetFat32DefaultSectorPerCluster(uint64_t u64Sectors, uint32_t nBytesPerSector);

// Sectors per cluster a boot sector may declare: 1 to 64, powers of two.
bool IsAllowedSectorsPerCluster(uint32_t n);

struct FAT_DEFAULT_CLUSTER_ROW {
  uint32_t nSectorsPerCluster;
  uint32_t nFromSectors;  // inclusive
  uint32_t nToSectors;    // exclusive
};
extern const FAT_DEFAULT_CLUSTER_ROW Fat32DefaultClusterPartitionSizeLimitBySector[8];

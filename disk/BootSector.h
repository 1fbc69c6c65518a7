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

// Sectors per cluster a FAT boot sector may declare: powers of two from 1 to
// 128 (64 KiB clusters with 512-byte sectors, the largest the tools write).
bool IsAllowedSectorsPerCluster(uint32_t n);
// An NTFS boot sector's cluster size in bytes: 0x0B bytes per sector (0 read
// as 512) times 0x0D sectors per cluster, where a byte above 0x80 encodes
// 2^(256 - v) sectors (0xF4: 4096 sectors, 2 MiB with 512-byte sectors).
// 0 unless it is a power of two from one sector to 2 MiB.
uint32_t NtfsClusterBytes(const unsigned char* pBuf, size_t nLen = 512);

struct FAT_DEFAULT_CLUSTER_ROW {
  uint32_t nSectorsPerCluster;
  uint32_t nFromSectors;  // inclusive
  uint32_t nToSectors;    // exclusive
};
extern const FAT_DEFAULT_CLUSTER_ROW Fat32DefaultClusterPartitionSizeLimitBySector[8];

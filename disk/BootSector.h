// Recognition of NTFS, FAT, exFAT and ext volumes from their first bytes. Pure
// functions over a caller's buffer; the length is passed so a short buffer
// is simply "not this".
#pragma once

#include <cstddef>
#include <cstdint>

bool IsNtfs(const unsigned char* pBuf, size_t nLen = 512);
bool IsFat(const unsigned char* pBuf, size_t nLen = 512);
bool IsExt(const unsigned char* pBuf, size_t nLen = 16384);
// An exFAT boot sector whose fields hold together; when the buffer also holds
// the rest of its boot region (12 sectors), the checksum sector must match.
bool IsExfat(const unsigned char* pBuf, size_t nLen = 512);
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

// The fields of an exFAT boot sector, in the volume's own sectors.
struct EXFAT_BOOT_INFO {
  uint64_t u64VolumeLength;      // 0x48
  uint32_t nFatOffset;           // 0x50
  uint32_t nFatLength;           // 0x54
  uint32_t nClusterHeapOffset;   // 0x58
  uint32_t nClusterCount;        // 0x5C
  uint32_t nRootCluster;         // 0x60
  uint32_t nSerial;              // 0x64
  uint16_t nVolumeFlags;         // 0x6A: bit 0 the active FAT
  uint32_t nBytesPerSector;      // from the shift at 0x6C: 512 to 4096
  uint32_t nSectorsPerCluster;   // from the shift at 0x6D
  uint8_t nNumberOfFats;         // 0x6E: 1 or 2
};
// Reads an exFAT boot sector (its first 512 bytes) and checks that its fields
// describe a volume: sizes in range, FAT, cluster heap and root inside it.
bool ParseExfatBootSector(const unsigned char* pBuf, size_t nLen, EXFAT_BOOT_INFO& out);
// The boot-region checksum over sectors 0 to 10 (nBytesPerSector each),
// leaving out VolumeFlags and PercentInUse; pBuf holds at least 11 sectors.
uint32_t ExfatBootChecksum(const unsigned char* pBuf, size_t nLen, uint32_t nBytesPerSector);
// Whether sector 11 of the region at pBuf repeats the region's checksum;
// false when the buffer is shorter than 12 sectors.
bool ExfatBootChecksumMatches(const unsigned char* pBuf, size_t nLen, uint32_t nBytesPerSector);

enum BOOT_KIND { BOOT_NTFS, BOOT_FAT, BOOT_EXFAT };
// Reads nLen bytes (whole 512-byte sectors) from the start of a volume of
// u64SectorCount sectors at u64StartSector on fd. A sector that cannot be
// read is zero-filled rather than failing the read; when it is the boot
// sector, the file system's backup stands in where it reads and is one: a
// FAT32 volume's sector 6, an NTFS volume's last sector (exFAT's region
// readers take sector 12 themselves). 0; STATUS_SHORT_READ when the volume
// holds no whole first sector; the first sector's read error when no backup
// stood in.
int ReadVolumeStart(int fd, uint64_t u64StartSector, uint64_t u64SectorCount, BOOT_KIND eKind, unsigned char* pBuf,
                    size_t nLen, bool* pFromBackup = nullptr);

// Partition discovery: reads the partition tables of every disk of the disk
// map (GUID partition table, Apple partition map, MBR with its chain of
// extended boot records) for the disk page and the command-line tool.
// Everything here only reads; disks are opened through OpenDiskReadOnly.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "engine/Types.h"

// One partition. A plain value: the window carries it as variant data.
struct _PARTITION_ITEM_ {
  u64 u64StartSector;      // first sector, absolute on the disk (512-byte sectors, whatever the disk's)
  u64 u64EndSector;        // last sector, inclusive
  i32 nDiskNo;             // the number of the disk in the disk map
  char16_t wszName[36];    // display name, UTF-16, NUL-terminated when shorter
  char szDevicePath[16];   // "/dev/disk%d" with nDiskNo; the disk map resolves it
};

static_assert(sizeof(char16_t) == 2, "names are 16-bit code units");
static_assert(offsetof(_PARTITION_ITEM_, u64EndSector) == 8, "layout");
static_assert(offsetof(_PARTITION_ITEM_, nDiskNo) == 16, "layout");
static_assert(offsetof(_PARTITION_ITEM_, wszName) == 20, "layout");
static_assert(offsetof(_PARTITION_ITEM_, szDevicePath) == 92, "layout");

// Limits that keep damaged tables from driving us into long or endless work.
enum : u32 {
  PARTITION_MAX_DISKS = 128,          // disk numbers 0..127
  PARTITION_MAX_LOGICAL = 128,        // logical partitions of one extended chain
  PARTITION_MAX_EBR = 256,            // boot records read while walking one chain
  PARTITION_MAX_APM_ENTRIES = 128,    // a larger Apple map lists nothing
  PARTITION_MAX_GPT_ENTRIES = 4096,   // entries taken from one GPT array
  PARTITION_MAX_GPT_ENTRY_SIZE = 4096,
  PARTITION_MAX_GPT_ARRAY = 1u << 20, // bytes of GPT entry array read
};

class CPartitionManager {
 public:
  typedef std::map<int, std::vector<_PARTITION_ITEM_>> PartitionMap;

  CPartitionManager();

  // Clears the map and fills it with the items of every disk that has any,
  // in ascending disk number. Disks that cannot be opened or read are
  // skipped. Always returns 1.
  int GetPartitionItems(PartitionMap& mapItems);

  // Restarts the running number used in "Partition %d" names.
  void ResetNumbering() { m_nPartitionNo = 1; }
  // Appends the partitions of disk nDiskNo, continuing the running number.
  // 0, or errno when the disk cannot be opened or its first sector read.
  int ReadDisk(int nDiskNo, std::vector<_PARTITION_ITEM_>& list);
  // The same over a descriptor the caller opened read-only.
  int ReadPartitionTable(int fd, int nDiskNo, std::vector<_PARTITION_ITEM_>& list);

  // Appends the partitions of the MBR or extended boot record at
  // u64TableSector and of every extended boot record it links to.
  void GetMBRPartition(int fd, u64 u64TableSector, std::vector<_PARTITION_ITEM_>& list, int nDiskNo,
                       const char* pDevicePath);

  // "EFI PART" at the start of the buffer (callers pass the bytes of sector 1).
  static bool IsEFI(const unsigned char* pBuf, size_t nLen = 8);
  // "ER" at the start of the buffer (the Apple driver descriptor).
  static bool IsAPM(const unsigned char* pBuf, size_t nLen = 2);
  // 0xAA55 little-endian at byte 510.
  static bool IsMBR(const unsigned char* pBuf, size_t nLen = 512);

 private:
  void WalkMbrChain(int fd, u64 u64TableSector, std::vector<_PARTITION_ITEM_>& list, int nDiskNo,
                    const char* pDevicePath, std::vector<u64>& visited, u32& nLogical);
  bool ReadGpt(int fd, const unsigned char* pHead, size_t nHeadLen, std::vector<_PARTITION_ITEM_>& list,
               int nDiskNo, const char* pDevicePath);
  void ReadApm(int fd, const unsigned char* pHead, size_t nHeadLen, std::vector<_PARTITION_ITEM_>& list,
               int nDiskNo, const char* pDevicePath);
  bool AddItem(u64 u64Start, u64 u64End, std::vector<_PARTITION_ITEM_>& list, int nDiskNo,
               const char* pDevicePath, const char16_t* pName, size_t nNameUnits);
  bool AddNumberedItem(u64 u64Start, u64 u64End, std::vector<_PARTITION_ITEM_>& list, int nDiskNo,
                       const char* pDevicePath);

  u32 m_nSectorSize;          // the sector the table of the disk being read counts in
  int m_nPartitionNo;        // running number of "Partition %d" names
  u64 m_u64ExtendedBase;     // first extended boot record of the disk being read; 0 until known
  u64 m_u64DiskSectors;      // size of the disk being read, in its table's sectors; 0 when unknown
};

// The item's name as UTF-8 (stops at the first NUL or after 36 units).
std::string PartitionNameToUtf8(const _PARTITION_ITEM_& item);
// CRC-32 (IEEE, reflected) as used by GPT headers and entry arrays.
u32 PartitionCrc32(const unsigned char* pBuf, size_t nLen);

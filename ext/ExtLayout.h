// ext2/3/4 on-disk structures as the ext engine reads them: the superblock's
// geometry and the block-group descriptors, decoded from bytes through the
// bounds-checked helpers, and the rules that place the metadata of a group
// (superblock backups, descriptor blocks). Pure functions over the caller's
// buffers: every value is checked here, once, before the engine uses it.
#pragma once

#include <cstddef>

#include "engine/Types.h"

// Superblock field offsets (the superblock is 1024 bytes at byte 1024 of the volume).
enum : size_t {
  EXT_SB_OFFSET = 1024,
  EXT_SB_BYTES = 1024,
};

// Feature bits the allocation map depends on.
enum : u32 {
  EXT_COMPAT_SPARSE_SUPER2 = 0x0200,
  EXT_INCOMPAT_META_BG = 0x0010,
  EXT_INCOMPAT_64BIT = 0x0080,
  EXT_RO_COMPAT_SPARSE_SUPER = 0x0001,
  EXT_RO_COMPAT_GDT_CSUM = 0x0010,
  EXT_RO_COMPAT_BIGALLOC = 0x0200,
  EXT_RO_COMPAT_METADATA_CSUM = 0x0400,
};

// Group descriptor flags (0x12).
enum : u16 {
  EXT_BG_BLOCK_UNINIT = 0x0002,
};

// Bounds for damaged superblocks: 64 KiB blocks at most, descriptors of at
// most 1024 bytes, and no more groups than a volume of 2^32 groups could have.
constexpr u32 EXT_MAX_LOG_BLOCK = 6;
constexpr u32 EXT_MAX_DESC_SIZE = 1024;
constexpr u64 EXT_MAX_GROUPS = 1ull << 32;

// What the allocation map needs of a superblock, every value checked.
struct EXT_GEOMETRY {
  u32 nBlockSize = 0;        // bytes
  u32 nUnitBlocks = 1;       // blocks per bitmap bit: the bigalloc cluster, else 1
  u64 u64BlockCount = 0;     // blocks of the file system (0x04, high half at 0x150)
  u32 nFirstDataBlock = 0;   // 0x14: 1 with 1 KiB blocks, else 0
  u32 nBlocksPerGroup = 0;   // 0x20
  u32 nUnitsPerGroup = 0;    // bits of one group's block bitmap (0x24 with bigalloc)
  u32 nInodesPerGroup = 0;   // 0x28
  u32 nInodeSize = 128;      // 0x58 (revision 1 and later)
  u32 nDescSize = 32;        // 0xFE with 64-bit descriptors, else 32
  u32 nDescPerBlock = 0;
  u64 u64GroupCount = 0;
  u32 nCompat = 0, nIncompat = 0, nRoCompat = 0;  // 0x5C, 0x60, 0x64
  u32 nFirstMetaBg = 0;      // 0x104
  u32 nReservedGdtBlocks = 0;  // 0xCE
  u32 nBackupBgs[2] = {0, 0};  // 0x24C: the two backup groups of sparse_super2
  u64 u64GdtBlocks = 0;      // blocks holding every group's descriptor (without meta_bg)

  bool Is64Bit() const { return (nIncompat & EXT_INCOMPAT_64BIT) != 0; }
  bool HasMetaBg() const { return (nIncompat & EXT_INCOMPAT_META_BG) != 0; }
  // BLOCK_UNINIT is believed only when the descriptors carry checksums.
  bool TrustsUninitFlag() const {
    return (nRoCompat & (EXT_RO_COMPAT_GDT_CSUM | EXT_RO_COMPAT_METADATA_CSUM)) != 0;
  }
  u64 GroupFirstBlock(u64 nGroup) const { return nFirstDataBlock + nGroup * nBlocksPerGroup; }
  u64 InodeTableBlocks() const {
    return (static_cast<u64>(nInodesPerGroup) * nInodeSize + nBlockSize - 1) / nBlockSize;
  }
};

// Decodes the 1024 superblock bytes. 0, -1 when it is no ext superblock (no
// magic), STATUS_DAMAGED_RECORD when a field is out of its range.
int ParseExtSuperBlock(const u8* pSuper, size_t nLen, EXT_GEOMETRY& out);

// One block-group descriptor.
struct EXT_GROUP_DESC {
  u64 u64BlockBitmap = 0;  // 0x00, high half at 0x20
  u64 u64InodeBitmap = 0;  // 0x04, 0x24
  u64 u64InodeTable = 0;   // 0x08, 0x28
  u16 nFlags = 0;          // 0x12
};
EXT_GROUP_DESC ParseExtGroupDesc(const u8* pDesc, size_t nLen, const EXT_GEOMETRY& g);

// True when group nGroup holds a copy of the superblock.
bool ExtGroupHasSuper(const EXT_GEOMETRY& g, u64 nGroup);
// The block that holds descriptor block nIndex (each holds nDescPerBlock descriptors).
u64 ExtDescriptorBlock(const EXT_GEOMETRY& g, u64 nIndex);
// Blocks at the start of group nGroup taken by the superblock copy and the
// descriptor blocks (reserved ones included) kept there.
u64 ExtGroupBaseMetaBlocks(const EXT_GEOMETRY& g, u64 nGroup);

#include "ext/ExtLayout.h"

#include "engine/ByteOrder.h"

namespace {

bool IsPowerOfTwo(u64 v) { return v != 0 && (v & (v - 1)) == 0; }

// True when n is a power of base (1 included).
bool IsPowerOf(u64 n, u64 base) {
  while (n > 1 && n % base == 0) n /= base;
  return n == 1;
}

}  // namespace

int ParseExtSuperBlock(const u8* p, size_t n, EXT_GEOMETRY& out) {
  out = EXT_GEOMETRY();
  if (!p || n < EXT_SB_BYTES || GetU16LE(p, n, 0x38) != 0xEF53) return -1;
  EXT_GEOMETRY g;
  const u32 logBlock = GetU32LE(p, n, 0x18);
  if (logBlock > EXT_MAX_LOG_BLOCK) return STATUS_DAMAGED_RECORD;
  g.nBlockSize = 1024u << logBlock;
  g.nCompat = GetU32LE(p, n, 0x5C);
  g.nIncompat = GetU32LE(p, n, 0x60);
  g.nRoCompat = GetU32LE(p, n, 0x64);
  g.nBlocksPerGroup = GetU32LE(p, n, 0x20);
  if (g.nRoCompat & EXT_RO_COMPAT_BIGALLOC) {
    // 0x1C: the bitmap counts clusters of 2^(log cluster - log block) blocks.
    const u32 logCluster = GetU32LE(p, n, 0x1C);
    if (logCluster < logBlock || logCluster - logBlock > 16) return STATUS_DAMAGED_RECORD;
    g.nUnitBlocks = 1u << (logCluster - logBlock);
    g.nUnitsPerGroup = GetU32LE(p, n, 0x24);
    if (static_cast<u64>(g.nUnitsPerGroup) * g.nUnitBlocks != g.nBlocksPerGroup) return STATUS_DAMAGED_RECORD;
  } else {
    g.nUnitsPerGroup = g.nBlocksPerGroup;
  }
  // One bitmap block per group, whole bytes of it (so groups join without shifting).
  if (g.nUnitsPerGroup < 8 || g.nUnitsPerGroup % 8 != 0 || g.nUnitsPerGroup > 8u * g.nBlockSize)
    return STATUS_DAMAGED_RECORD;

  g.u64BlockCount = GetU32LE(p, n, 0x04);
  if (g.Is64Bit()) g.u64BlockCount |= static_cast<u64>(GetU32LE(p, n, 0x150)) << 32;
  g.nFirstDataBlock = GetU32LE(p, n, 0x14);
  const u32 wantFirst = (g.nBlockSize == 1024 && g.nUnitBlocks == 1) ? 1 : 0;
  if (g.nFirstDataBlock != wantFirst || g.u64BlockCount <= g.nFirstDataBlock) return STATUS_DAMAGED_RECORD;

  g.nInodesPerGroup = GetU32LE(p, n, 0x28);
  if (g.nInodesPerGroup == 0) return STATUS_DAMAGED_RECORD;
  if (GetU32LE(p, n, 0x4C) >= 1) {  // 0x4C: revision; revision 0 has 128-byte inodes
    g.nInodeSize = GetU16LE(p, n, 0x58);
    if (!IsPowerOfTwo(g.nInodeSize) || g.nInodeSize < 128 || g.nInodeSize > g.nBlockSize)
      return STATUS_DAMAGED_RECORD;
  }
  if (g.Is64Bit()) {
    g.nDescSize = GetU16LE(p, n, 0xFE);
    if (!IsPowerOfTwo(g.nDescSize) || g.nDescSize < 64 || g.nDescSize > EXT_MAX_DESC_SIZE ||
        g.nDescSize > g.nBlockSize)
      return STATUS_DAMAGED_RECORD;
  }
  g.nDescPerBlock = g.nBlockSize / g.nDescSize;

  g.u64GroupCount = (g.u64BlockCount - g.nFirstDataBlock + g.nBlocksPerGroup - 1) / g.nBlocksPerGroup;
  if (g.u64GroupCount == 0 || g.u64GroupCount > EXT_MAX_GROUPS) return STATUS_DAMAGED_RECORD;
  // 0x00: every group has the same number of inodes; a count that disagrees
  // means the geometry fields are not what the file system was made with.
  if (static_cast<u64>(GetU32LE(p, n, 0x00)) != g.u64GroupCount * g.nInodesPerGroup) return STATUS_DAMAGED_RECORD;
  g.u64GdtBlocks = (g.u64GroupCount + g.nDescPerBlock - 1) / g.nDescPerBlock;
  g.nReservedGdtBlocks = GetU16LE(p, n, 0xCE);
  if (g.HasMetaBg()) {
    g.nFirstMetaBg = GetU32LE(p, n, 0x104);
    if (g.nFirstMetaBg > g.u64GdtBlocks) return STATUS_DAMAGED_RECORD;
  }
  g.nBackupBgs[0] = GetU32LE(p, n, 0x24C);
  g.nBackupBgs[1] = GetU32LE(p, n, 0x250);
  out = g;
  return 0;
}

EXT_GROUP_DESC ParseExtGroupDesc(const u8* p, size_t n, const EXT_GEOMETRY& g) {
  EXT_GROUP_DESC d;
  d.u64BlockBitmap = GetU32LE(p, n, 0x00);
  d.u64InodeBitmap = GetU32LE(p, n, 0x04);
  d.u64InodeTable = GetU32LE(p, n, 0x08);
  d.nFlags = GetU16LE(p, n, 0x12);
  if (g.Is64Bit() && g.nDescSize >= 64) {
    d.u64BlockBitmap |= static_cast<u64>(GetU32LE(p, n, 0x20)) << 32;
    d.u64InodeBitmap |= static_cast<u64>(GetU32LE(p, n, 0x24)) << 32;
    d.u64InodeTable |= static_cast<u64>(GetU32LE(p, n, 0x28)) << 32;
  }
  return d;
}

bool ExtGroupHasSuper(const EXT_GEOMETRY& g, u64 nGroup) {
  if (nGroup == 0) return true;
  if (g.nCompat & EXT_COMPAT_SPARSE_SUPER2) return nGroup == g.nBackupBgs[0] || nGroup == g.nBackupBgs[1];
  if (nGroup == 1 || !(g.nRoCompat & EXT_RO_COMPAT_SPARSE_SUPER)) return true;
  if ((nGroup & 1) == 0) return false;
  return IsPowerOf(nGroup, 3) || IsPowerOf(nGroup, 5) || IsPowerOf(nGroup, 7);
}

u64 ExtDescriptorBlock(const EXT_GEOMETRY& g, u64 nIndex) {
  // The superblock lies in block 1 with 1 KiB blocks, else in block 0.
  const u64 superBlock = g.nBlockSize == 1024 ? 1 : 0;
  if (!g.HasMetaBg() || nIndex < g.nFirstMetaBg) return superBlock + nIndex + 1;
  // meta_bg: each descriptor block sits in the first group it describes,
  // after that group's superblock copy.
  const u64 group = nIndex * g.nDescPerBlock;
  u64 skip = ExtGroupHasSuper(g, group) ? 1 : 0;
  if (g.nBlockSize == 1024 && nIndex == 0 && g.nFirstDataBlock == 0) ++skip;
  return g.GroupFirstBlock(group) + skip;
}

u64 ExtGroupBaseMetaBlocks(const EXT_GEOMETRY& g, u64 nGroup) {
  const bool hasSuper = ExtGroupHasSuper(g, nGroup);
  u64 n = hasSuper ? 1 : 0;
  if (!g.HasMetaBg() || nGroup < static_cast<u64>(g.nFirstMetaBg) * g.nDescPerBlock) {
    if (hasSuper) n += (g.HasMetaBg() ? g.nFirstMetaBg : g.u64GdtBlocks) + g.nReservedGdtBlocks;
  } else {
    // meta_bg keeps a descriptor block in the first, second and last group of each meta group.
    const u64 first = nGroup / g.nDescPerBlock * g.nDescPerBlock;
    if (nGroup == first || nGroup == first + 1 || nGroup == first + g.nDescPerBlock - 1) n += 1;
  }
  return n;
}

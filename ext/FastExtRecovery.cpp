#include "ext/FastExtRecovery.h"

#include <errno.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "engine/ByteOrder.h"
#include "engine/TextUtil.h"

namespace {
// One bit per unit of the largest volume we map (2^35 units) is 4 GiB; a
// superblock asking for more is damage.
constexpr u64 kMaxBitmapBytes = 1ull << 32;
}  // namespace

CFastExtRecovery::CFastExtRecovery()
    : m_u64StartSector(0),
      m_u64SectorCount(0),
      m_wcDrive(0),
      m_nGeometryStatus(STATUS_INVALID_PARAMETER),
      m_u64Blocks(0),
      m_u64Units(0) {}

CFastExtRecovery::~CFastExtRecovery() = default;

int CFastExtRecovery::Init(int nDiskNo, i64 u64StartSector, i64 u64SectorCount, wchar_t wcDrive) {
  if (u64StartSector < 0 || u64SectorCount < 0) return STATUS_INVALID_PARAMETER;
  m_u64StartSector = static_cast<u64>(u64StartSector);
  m_u64SectorCount = static_cast<u64>(u64SectorCount);
  m_wcDrive = wcDrive;
  int st = m_DiskReader.Init(nDiskNo, m_u64StartSector + m_u64SectorCount);
  if (st != 0) return st;
  return LoadSuperBlock();
}

int CFastExtRecovery::Init(wchar_t* pPath, wchar_t wcDrive) {
  if (!pPath) return STATUS_INVALID_PARAMETER;
  std::string path = WideToUtf8(pPath);
  int st = m_DiskReader.Init(path.c_str(), 0);
  if (st != 0) return st;
  m_u64StartSector = 0;
  m_u64SectorCount = rsb_getDeviceSize(m_DiskReader.GetFd()) / SECTOR_SIZE;
  m_wcDrive = wcDrive;
  st = m_DiskReader.Init(path.c_str(), m_u64SectorCount);
  if (st != 0) return st;
  return LoadSuperBlock();
}

int CFastExtRecovery::LoadSuperBlock() {
  m_vecUsed.clear();
  m_u64Units = 0;
  m_nGeometryStatus = STATUS_INVALID_PARAMETER;
  unsigned char sb[EXT_SB_BYTES];
  unsigned int got = 0;
  int st = m_DiskReader.ReadData(sb, EXT_SB_BYTES / SECTOR_SIZE,
                                 static_cast<i64>(m_u64StartSector + EXT_SB_OFFSET / SECTOR_SIZE), SECTOR_SIZE, &got);
  if (st != 0) return m_nGeometryStatus = st;
  st = ParseExtSuperBlock(sb, sizeof(sb), m_geometry);
  if (st != 0) return m_nGeometryStatus = st < 0 ? STATUS_INVALID_PARAMETER : st;
  // A file system larger than the range (a truncated image or partition):
  // only the blocks inside the range are mapped.
  const u64 sectorsPerBlock = m_geometry.nBlockSize / SECTOR_SIZE;
  m_u64Blocks = m_geometry.u64BlockCount;
  if (m_u64Blocks > m_u64SectorCount / sectorsPerBlock) m_u64Blocks = m_u64SectorCount / sectorsPerBlock;
  if (m_u64Blocks <= m_geometry.nFirstDataBlock) return m_nGeometryStatus = STATUS_DAMAGED_RECORD;
  return m_nGeometryStatus = 0;
}

int CFastExtRecovery::ReadBlockBytes(u64 nBlock, unsigned char* pBuf, size_t nBytes) {
  const u64 spb = m_geometry.nBlockSize / SECTOR_SIZE;
  if (nBlock >= m_u64Blocks || nBytes > m_geometry.nBlockSize) return STATUS_INVALID_PARAMETER;
  std::vector<unsigned char> block(m_geometry.nBlockSize);
  unsigned int got = 0;
  int st = m_DiskReader.ReadData(block.data(), static_cast<int>(spb), static_cast<i64>(m_u64StartSector + nBlock * spb),
                                 SECTOR_SIZE, &got);
  if (st != 0) return st;
  memcpy(pBuf, block.data(), nBytes);
  return 0;
}

void CFastExtRecovery::MarkBlocks(u64 u64FirstBlock, u64 u64Count) {
  const EXT_GEOMETRY& g = m_geometry;
  if (u64FirstBlock < g.nFirstDataBlock || u64FirstBlock >= m_u64Blocks) return;
  if (u64Count > m_u64Blocks - u64FirstBlock) u64Count = m_u64Blocks - u64FirstBlock;
  for (u64 b = u64FirstBlock; b < u64FirstBlock + u64Count; b += g.nUnitBlocks) {
    u64 unit = (b - g.nFirstDataBlock) / g.nUnitBlocks;
    if (unit < m_u64Units) m_vecUsed[unit / 8] |= static_cast<u8>(1u << (unit % 8));
  }
}

int CFastExtRecovery::BuildBitMapInfo() {
  m_vecUsed.clear();
  m_u64Units = 0;
  if (m_nGeometryStatus != 0) return m_nGeometryStatus;
  const EXT_GEOMETRY& g = m_geometry;
  const u64 units = (m_u64Blocks - g.nFirstDataBlock) / g.nUnitBlocks;
  const u64 groups = (units + g.nUnitsPerGroup - 1) / g.nUnitsPerGroup;
  const u64 bytes = groups * (g.nUnitsPerGroup / 8);
  if (units == 0 || bytes > kMaxBitmapBytes) return STATUS_DAMAGED_RECORD;
  try {
    m_vecUsed.assign(static_cast<size_t>(bytes), 0);
  } catch (...) {
    return STATUS_OUT_OF_MEMORY;
  }
  m_u64Units = units;

  std::vector<unsigned char> descBlock(g.nBlockSize);
  std::vector<unsigned char> bitmap(g.nUnitsPerGroup / 8);
  const u64 tableBlocks = g.InodeTableBlocks();
  for (u64 group = 0; group < groups; ++group) {
    const u64 slot = group % g.nDescPerBlock;
    if (slot == 0) {
      // Without its descriptors nothing of the map can be trusted: the deep
      // scan then reads the whole range rather than skip what may be free.
      int st = ReadBlockBytes(ExtDescriptorBlock(g, group / g.nDescPerBlock), descBlock.data(), descBlock.size());
      if (st != 0) {
        m_vecUsed.clear();
        m_u64Units = 0;
        return st;
      }
    }
    const EXT_GROUP_DESC d = ParseExtGroupDesc(descBlock.data() + slot * g.nDescSize, g.nDescSize, g);
    const u64 groupUnits = std::min<u64>(g.nUnitsPerGroup, units - group * g.nUnitsPerGroup);
    u8* dst = m_vecUsed.data() + group * (g.nUnitsPerGroup / 8);
    if ((d.nFlags & EXT_BG_BLOCK_UNINIT) && g.TrustsUninitFlag()) {
      // A group whose bitmap was never written is free but for its own
      // metadata: the superblock copy and descriptor blocks at its start,
      // and its bitmaps and inode table wherever flex_bg put them.
      MarkBlocks(g.GroupFirstBlock(group), ExtGroupBaseMetaBlocks(g, group));
      MarkBlocks(d.u64BlockBitmap, 1);
      MarkBlocks(d.u64InodeBitmap, 1);
      MarkBlocks(d.u64InodeTable, tableBlocks);
      continue;
    }
    // An unreadable or misplaced bitmap leaves its group free: the deep scan
    // reads it, which costs time but loses nothing.
    if (d.u64BlockBitmap < g.nFirstDataBlock) continue;
    const size_t need = static_cast<size_t>((groupUnits + 7) / 8);
    if (ReadBlockBytes(d.u64BlockBitmap, bitmap.data(), need) != 0) continue;
    for (size_t i = 0; i < need; ++i) dst[i] |= bitmap[i];
  }
  return 0;
}

int CFastExtRecovery::GetUnUsedSectorCount(u64& u64StartSector, u64& u64SectorCount) {
  u64SectorCount = 0;
  if (m_vecUsed.empty() || m_u64Units == 0) return 1;
  const EXT_GEOMETRY& g = m_geometry;
  const u64 spu = static_cast<u64>(g.nBlockSize / SECTOR_SIZE) * g.nUnitBlocks;
  const u64 base = static_cast<u64>(g.nFirstDataBlock) * (g.nBlockSize / SECTOR_SIZE);
  const u64 end = base + m_u64Units * spu;
  if (u64StartSector < base) u64StartSector = base;
  if (u64StartSector >= end) {
    u64StartSector = end;
    return 1;
  }
  const u8* map = m_vecUsed.data();
  auto used = [map](u64 u) { return (map[u / 8] >> (u % 8)) & 1; };
  const u64 first = (u64StartSector - base) / spu;
  u64 u = first;
  // The first free unit from here on (whole bytes of used units skipped at once).
  while (u < m_u64Units) {
    if (u % 8 == 0 && u + 8 <= m_u64Units && map[u / 8] == 0xFF) {
      u += 8;
      continue;
    }
    if (!used(u)) break;
    ++u;
  }
  if (u >= m_u64Units) {
    u64StartSector = end;
    return 1;
  }
  // A start inside a free unit stays where it is; past used units the run
  // begins on a unit boundary.
  if (u != first) u64StartSector = base + u * spu;
  u64 k = u;
  while (k < m_u64Units) {
    if (k % 8 == 0 && k + 8 <= m_u64Units && map[k / 8] == 0) {
      k += 8;
      continue;
    }
    if (used(k)) break;
    ++k;
  }
  u64SectorCount = base + k * spu - u64StartSector;
  if (u64StartSector + u64SectorCount > m_u64SectorCount)
    u64SectorCount = u64StartSector < m_u64SectorCount ? m_u64SectorCount - u64StartSector : 0;
  return 1;
}

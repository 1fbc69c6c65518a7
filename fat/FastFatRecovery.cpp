#include "fat/FastFatRecovery.h"

#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "store/ResultSet.h"
#include "disk/BootSector.h"
#include "engine/ClusterBitmap.h"
#include "engine/ContentMatch.h"
#include "engine/ByteOrder.h"
#include "engine/DiskMap.h"
#include "engine/FaultGuard.h"
#include "engine/TextUtil.h"
#include "disk/FatEntry.h"

namespace {
constexpr u32 kFatCacheSize = 0x1000000;
// A folder holds at most 65536 entries (2 MiB); a longer chain is damage.
constexpr u64 kMaxDirBytes = 65536ull * 32;
constexpr u32 kProgressIntervalMs = 5000;
}  // namespace

CFastFatRecovery::CFastFatRecovery()
    : m_u64StartSector(0),
      m_u64SectorCount(0),
      m_nBytesPerSector(SECTOR_SIZE),
      m_nDataStartSector(0),
      m_nSectorPerCluster(0),
      m_nRootCluster(0),
      m_nIsFat32(1),
      m_nBitMapBytes(0),
      m_u64FatStartSector(0),
      m_nFatCacheFirstSector(0),
      m_nFatCacheSize(kFatCacheSize),
      m_nFatCacheBytes(0),
      m_nEngineType(ENGINE_FAST_FAT),
      m_nFatBits(32),
      m_nFatSectors(0),
      m_nRootDirSectors(0),
      m_nMaxCluster(0),
      m_bGeometryOk(false) {
  memset(m_szDBR, 0, sizeof(m_szDBR));
}

CFastFatRecovery::~CFastFatRecovery() {
  ResetStore();
}

int CFastFatRecovery::Init(int nDiskNo, i64 u64StartSector, i64 u64SectorCount, wchar_t wcDrive) {
  if (m_DiskReader.GetFd() != -1) return 0;
  if (u64StartSector < 0 || u64SectorCount < 0) return STATUS_INVALID_PARAMETER;
  m_u64StartSector = static_cast<u64>(u64StartSector);
  m_u64SectorCount = static_cast<u64>(u64SectorCount);
  m_wcDrive = wcDrive;
  int st = m_DiskReader.Init(nDiskNo, m_u64StartSector + m_u64SectorCount);
  return st != 0 ? st : LoadBootSector();
}

int CFastFatRecovery::Init(wchar_t* pPath, wchar_t wcDrive) {
  if (m_DiskReader.GetFd() != -1) return 0;
  int st = OpenWholeByPath(pPath, wcDrive, m_DiskReader, m_u64StartSector, m_u64SectorCount);
  return st != 0 ? st : LoadBootSector();
}

// The boot sector, or the FAT32 backup at sector 6 when it is unreadable.
int CFastFatRecovery::LoadBootSector() {
  int st = ReadVolumeStart(m_DiskReader.GetFd(), m_u64StartSector, m_u64SectorCount, BOOT_FAT, m_szDBR,
                           sizeof(m_szDBR));
  return st != 0 ? st : LoadGeometry();
}

// Reads the boot sector's geometry. Every value is checked before it is
// used, and everything is kept in 512-byte sectors so volumes with larger
// logical sectors work with the same arithmetic as the rest of the system.
int CFastFatRecovery::LoadGeometry() {
  m_bGeometryOk = false;
  const u8* b = m_szDBR;
  const size_t n = sizeof(m_szDBR);
  u16 bps = GetU16LE(b, n, 11);
  u8 spc = GetU8(b, n, 13);
  u16 reserved = GetU16LE(b, n, 14);
  u8 nfats = GetU8(b, n, 16);
  u16 rootEntries = GetU16LE(b, n, 17);
  u16 total16 = GetU16LE(b, n, 19);
  u16 fat16 = GetU16LE(b, n, 22);
  u32 total32 = GetU32LE(b, n, 32);
  u32 fat32 = GetU32LE(b, n, 36);
  m_nBytesPerSector = bps;
  if (bps != 512 && bps != 1024 && bps != 2048 && bps != 4096) return STATUS_INVALID_PARAMETER;
  if (spc == 0 || (spc & (spc - 1)) != 0) return STATUS_INVALID_PARAMETER;
  if (reserved == 0 || nfats == 0) return STATUS_INVALID_PARAMETER;
  bool is32 = BytesEqual(b, n, 82, "FAT32   ", 8) || fat16 == 0;
  u64 fatSize = fat16 ? fat16 : fat32;
  u64 total = total32 ? total32 : total16;
  if (fatSize == 0 || total == 0) return STATUS_INVALID_PARAMETER;
  const u32 scale = bps / SECTOR_SIZE;
  // The root folder of FAT12/16 holds as many entries as the boot sector
  // says; its size decides where the data area starts.
  u64 rootSectors = is32 ? 0 : (static_cast<u64>(rootEntries) * 32 + bps - 1) / bps;
  u64 dataStart = reserved + static_cast<u64>(nfats) * fatSize + rootSectors;
  if (dataStart >= total) return STATUS_INVALID_PARAMETER;
  // Never look past the range we were given.
  u64 rangeSectors = m_u64SectorCount / scale;
  if (rangeSectors && total > rangeSectors) total = rangeSectors;
  if (dataStart >= total) return STATUS_INVALID_PARAMETER;
  u64 clusters = (total - dataStart) / spc;
  if (clusters == 0) return STATUS_INVALID_PARAMETER;
  int bits = is32 ? 32 : (clusters < 4085 ? 12 : 16);
  u64 fatEntries = fatSize * bps * 8 / bits;
  u64 maxCluster = clusters + 1;
  if (fatEntries < 3) return STATUS_INVALID_PARAMETER;
  if (maxCluster > fatEntries - 1) maxCluster = fatEntries - 1;
  const u64 reservedMarks = bits == 12 ? 0xFF6 : bits == 16 ? 0xFFF6 : 0x0FFFFFF6;
  if (maxCluster > reservedMarks) maxCluster = reservedMarks;
  if (dataStart * scale > 0xFFFFFFFFull || fatSize * scale > 0xFFFFFFFFull) return STATUS_INVALID_PARAMETER;

  m_nIsFat32 = is32 ? 1 : 0;
  m_nFatBits = bits;
  m_nSectorPerCluster = spc * scale;
  m_nDataStartSector = static_cast<u32>(dataStart * scale);
  m_nRootDirSectors = static_cast<u32>(rootSectors * scale);
  m_nFatSectors = static_cast<u32>(fatSize * scale);
  m_nFatCopies = nfats;
  m_u64FatStartSector = m_u64StartSector + static_cast<u64>(reserved) * scale;
  m_nMaxCluster = static_cast<u32>(maxCluster);
  m_nRootCluster = is32 ? GetU32LE(b, n, 44) : 0;
  m_nFatCacheFirstSector = 0;
  m_nFatCacheBytes = 0;
  u64 cacheBytes = static_cast<u64>(m_nFatSectors) * SECTOR_SIZE;
  if (cacheBytes > m_nFatCacheSize) cacheBytes = m_nFatCacheSize;
  try {
    m_pFatCache.assign(static_cast<size_t>(cacheBytes), 0);
  } catch (...) {
    return STATUS_OUT_OF_MEMORY;
  }
  m_bGeometryOk = true;
  return 0;
}

int CFastFatRecovery::ReadFatWindow(u64 u64EntryOffset) {
  u64 first = u64EntryOffset / SECTOR_SIZE;
  if (first >= m_nFatSectors) return STATUS_INVALID_PARAMETER;
  u64 sectors = m_pFatCache.size() / SECTOR_SIZE;
  if (first + sectors > m_nFatSectors) sectors = m_nFatSectors - first;
  unsigned int got = 0;
  m_nFatCacheBytes = 0;
  int status = m_DiskReader.ReadData(m_pFatCache.data(), static_cast<int>(sectors),
                                     static_cast<i64>(m_u64FatStartSector + first), SECTOR_SIZE, &got);
  if (status != 0) {
    // Sector by sector from the first copy that gives it: one bad sector of
    // the first FAT must not cut every chain that runs through it.
    for (u64 s = got; s < sectors; ++s) {
      unsigned char* at = m_pFatCache.data() + s * SECTOR_SIZE;
      bool read = false;
      for (u32 copy = 0; copy < m_nFatCopies && copy < 4 && !read; ++copy) {
        unsigned int one = 0;
        u64 sector = m_u64FatStartSector + static_cast<u64>(copy) * m_nFatSectors + first + s;
        read = m_DiskReader.ReadData(at, 1, static_cast<i64>(sector), SECTOR_SIZE, &one) == 0 && one == 1;
      }
      if (!read) memset(at, 0, SECTOR_SIZE);  // free clusters: chains through it end here
    }
  }
  m_nFatCacheFirstSector = static_cast<u32>(first);
  m_nFatCacheBytes = static_cast<u32>(sectors * SECTOR_SIZE);
  return 0;
}

int CFastFatRecovery::GetNextClusterNO(u32 nCluster, u32& nNext) {
  if (!m_bGeometryOk || m_pFatCache.empty()) return STATUS_INVALID_PARAMETER;
  if (nCluster > m_nMaxCluster) return STATUS_INVALID_PARAMETER;
  u64 off = m_nFatBits == 32 ? static_cast<u64>(nCluster) * 4
          : m_nFatBits == 16 ? static_cast<u64>(nCluster) * 2
                             : static_cast<u64>(nCluster) + nCluster / 2;
  u32 width = m_nFatBits == 32 ? 4 : 2;
  u64 winStart = static_cast<u64>(m_nFatCacheFirstSector) * SECTOR_SIZE;
  if (m_nFatCacheBytes == 0 || off < winStart || off + width > winStart + m_nFatCacheBytes) {
    int status = ReadFatWindow(off);
    if (status != 0) return status;
    winStart = static_cast<u64>(m_nFatCacheFirstSector) * SECTOR_SIZE;
  }
  u64 rel = off - winStart;
  if (rel + width > m_nFatCacheBytes) return STATUS_INVALID_PARAMETER;  // the FAT ends here
  if (m_nFatBits == 32) {
    nNext = GetU32LE(m_pFatCache.data(), m_nFatCacheBytes, rel);
  } else if (m_nFatBits == 16) {
    nNext = GetU16LE(m_pFatCache.data(), m_nFatCacheBytes, rel);
  } else {
    u16 v = GetU16LE(m_pFatCache.data(), m_nFatCacheBytes, rel);
    nNext = (nCluster & 1) ? (v >> 4) : (v & 0x0FFF);
  }
  return 0;
}

int CFastFatRecovery::FindNextClusterNO(u32 nCluster, u32& nNext) {
  nNext = 0;
  u32 e = 0;
  int status = GetNextClusterNO(nCluster, e);
  if (status != 0) return status;
  if (e == 0) {
    // A cleared chain (deleted file): take the file to go on in the next
    // cluster while that one is free too.
    if (nCluster >= 2 && nCluster < m_nMaxCluster) {
      u32 e1 = 1;
      if (GetNextClusterNO(nCluster + 1, e1) == 0 && e1 == 0) nNext = nCluster + 1;
    }
    return 0;
  }
  if (m_nFatBits == 32) e &= 0x0FFFFFFF;
  u32 endMark = m_nFatBits == 12 ? 0xFF8 : m_nFatBits == 16 ? 0xFFF8 : 0x0FFFFFF8;
  if (e >= endMark) return 0;
  // A link that leaves the data area (or points at itself) ends the chain.
  if (e < 2 || e > m_nMaxCluster || e == nCluster) return 0;
  nNext = e;
  return 0;
}

bool CFastFatRecovery::IsClusterAllocated(u32 nCluster) const {
  if (nCluster < 2 || nCluster > m_nMaxCluster) return true;
  u32 bit = nCluster - 2;
  if (bit / 8 >= m_pBitMap.size()) return true;
  return (m_pBitMap[bit / 8] >> (bit % 8)) & 1;
}

u64 CFastFatRecovery::GetClusterSector(u32 nCluster) const {
  if (nCluster < 2) return m_u64StartSector + m_nDataStartSector - m_nRootDirSectors;
  return m_u64StartSector + m_nDataStartSector + static_cast<u64>(nCluster - 2) * m_nSectorPerCluster;
}

std::vector<std::pair<u64, u64>> CFastFatRecovery::GetListedDirSectors() const {
  std::vector<std::pair<u64, u64>> runs = m_vecListedDirSectors;
  std::sort(runs.begin(), runs.end());
  std::vector<std::pair<u64, u64>> out;
  for (const auto& r : runs) {
    if (!out.empty() && r.first <= out.back().second)
      out.back().second = std::max(out.back().second, r.second);
    else
      out.push_back(r);
  }
  return out;
}

bool CFastFatRecovery::IsDotDirStart(const u8* p, u32 nLen) const {
  return nLen >= 64 && p[0] == '.' && p[1] == ' ' && (p[11] & FAT_ATTR_DIRECTORY) && p[32] == '.' && p[33] == '.';
}

int CFastFatRecovery::ReportProgress(int nProgress, int nRemain) {
  if (!m_pScanCallBack) return 0;
  return m_pScanCallBack(m_pCallBackParam, nProgress, m_nPercent, nRemain, 0, 0, 0, nullptr);
}

int CFastFatRecovery::ScanDevice(wchar_t* pName) {
  m_mapDirInfo.clear();
  m_vecLostDirCluster.clear();
  m_setLostDirCluster.clear();
  m_setWalkedCluster.clear();
  m_setWalkedDir.clear();
  m_vecListedDirSectors.clear();
  m_dequeDirCluster.clear();
  ResetStore();
  if (pName && *pName) {
    NewStore(pName, false);
    return 0;
  }
  std::wstring wname = QuickResultSetName(m_u64StartSector);
  int status = NewStore(wname.c_str(), true);
  if (status != 0) return status;

  int result = ReportProgress(1, -1);
  if (result != 0) return result;
  if (m_bGeometryOk) m_dequeDirCluster.push_back(m_nRootCluster);
  u32 lastTick = rsb_getTickCount();
  int p = 2, remain = 99, q = 21;
  while (!m_dequeDirCluster.empty()) {
    u32 cluster = m_dequeDirCluster.front();
    if (m_setWalkedDir.insert(cluster).second) InitDirInfo(cluster);
    m_dequeDirCluster.pop_front();
    u32 now = rsb_getTickCount();
    if (now - lastTick >= kProgressIntervalMs) {
      lastTick = now;
      if (m_nPercent == 100) {
        // Progress 100 at weight 100 means "finished" to the window: stay below.
        result = ReportProgress(p, remain);
        if (p < 79) ++p;
        if (remain > 11) --remain;
      } else {
        result = ReportProgress(q, -1);
        if (q < 99) ++q;
      }
      if (result != 0) break;
    }
  }
  if (result != 0) {
    m_dequeDirCluster.clear();
    return result;
  }
  result = ReportProgress(80, 10);
  if (result != 0) return result;
  for (u32 cluster : m_vecLostDirCluster) {
    auto it = m_mapDirInfo.find(cluster);
    if (it == m_mapDirInfo.end()) continue;
    _FILE_NODE_ node = it->second.node;
    node.bHealth = 1;
    _FILE_NODE_* slot = m_pScanResultFileManager->CreateFileNode(sizeof(_FILE_NODE_));
    if (!slot) break;
    node.nFileIndex = m_pScanResultFileManager->GetFileIndex();
    memcpy(slot, &node, sizeof(node));
    u32 parent = it->second.nParentCluster;
    m_pScanResultFileManager->AddChildren(parent, GetDirDepth(parent), node.nFileIndex, node.nClusterNO,
                                          node.szFileName);
  }
  m_pScanResultFileManager->FlushBufToFile();
  return ReportProgress(100, 0);
}

// The depth of a folder in the store's keys, from the tree this walk built:
// files and sub-folders of the same folder then always agree on its key.
u32 CFastFatRecovery::GetDirDepth(u32 nCluster) const {
  if (nCluster == m_nRootCluster) return 0;
  auto it = m_mapDirInfo.find(nCluster);
  return it == m_mapDirInfo.end() ? 0 : it->second.nDepth;
}

int CFastFatRecovery::InitDirInfo(u32 nCluster) {
  if (!m_bGeometryOk) return STATUS_INVALID_PARAMETER;
  CFatNameAssembler assembler;
  std::vector<u8> buf;
  if (!m_nIsFat32 && nCluster == 0) {
    // The FAT12/16 root: a fixed area just before the data area.
    u32 sectors = m_nRootDirSectors;
    if (sectors == 0) return 0;
    buf.resize(static_cast<size_t>(sectors) * SECTOR_SIZE);
    u64 first = m_u64StartSector + m_nDataStartSector - m_nRootDirSectors;
    bool none = false;
    ReadAndDealDir(buf, sectors, first, 0, false, assembler, &none);
    if (none) return STATUS_SHORT_READ;
    m_vecListedDirSectors.emplace_back(first, first + sectors);
    return 0;
  }
  if (nCluster < 2 || nCluster > m_nMaxCluster) return STATUS_INVALID_PARAMETER;
  auto known = m_mapDirInfo.find(nCluster);
  bool isRoot = nCluster == m_nRootCluster;
  bool isKnown = known != m_mapDirInfo.end() && !isRoot;
  bool deleted = isKnown && known->second.node.bIsDeleted;
  const u32 clusterBytes = m_nSectorPerCluster * SECTOR_SIZE;
  buf.resize(clusterBytes);
  const u64 maxClusters = kMaxDirBytes / clusterBytes + 1;
  u32 cur = nCluster;
  for (u64 n = 0; n < maxClusters; ++n) {
    // A cluster already read as directory data (a looping or cross-linked
    // chain) is not read again.
    if (!m_setWalkedCluster.insert(cur).second) break;
    u64 first = GetClusterSector(cur);
    unsigned int got = 0;
    int status = m_DiskReader.ReadData(buf.data(), static_cast<int>(m_nSectorPerCluster), static_cast<i64>(first),
                                       SECTOR_SIZE, &got);
    WalkStep step;
    if (status == 0) {
      // Only a folder's first cluster starts with "." and ".."; the clusters
      // after it hold plain entries.
      if (n == 0 && isKnown && !IsDotDirStart(buf.data(), clusterBytes)) return 0;
      // A deleted folder's chain is gone: its next clusters are taken to follow
      // on for as long as they are free and hold directory entries.
      if (n > 0 && deleted && !IsFatFDTRecord(buf.data(), clusterBytes)) break;
      step = DealDirBuffer(buf.data(), clusterBytes, first, nCluster, deleted, assembler);
    } else {
      // A bad sector in a folder: the entries in its other sectors still count.
      bool none = false;
      step = ReadAndDealDir(buf, m_nSectorPerCluster, first, nCluster, deleted, assembler, &none);
      if (none && n == 0) return status;
    }
    m_vecListedDirSectors.emplace_back(first, first + m_nSectorPerCluster);
    if (step == WALK_END) break;
    u32 next = 0;
    if (deleted) {
      if (cur >= m_nMaxCluster) break;
      u32 e = 1;
      if (GetNextClusterNO(cur + 1, e) != 0 || e != 0) break;
      next = cur + 1;
    } else {
      u32 e = 0;
      if (GetNextClusterNO(cur, e) != 0) break;
      if (e == 0) break;  // a live folder with a cleared chain: nothing to follow
      if (FindNextClusterNO(cur, next) != 0 || next == 0) break;
    }
    cur = next;
  }
  return 0;
}

CFastFatRecovery::WalkStep CFastFatRecovery::ReadAndDealDir(std::vector<u8>& buf, u32 nSectors, u64 u64FirstSector,
                                                            u32 nDirCluster, bool bDirDeleted,
                                                            CFatNameAssembler& assembler, bool* pAllUnreadable) {
  buf.resize(static_cast<size_t>(nSectors) * SECTOR_SIZE);
  u32 runStart = 0;
  bool any = false;
  for (u32 i = 0; i <= nSectors; ++i) {
    unsigned int one = 0;
    bool ok = i < nSectors && m_DiskReader.ReadData(buf.data() + static_cast<size_t>(i) * SECTOR_SIZE, 1,
                                                    static_cast<i64>(u64FirstSector + i), SECTOR_SIZE, &one) == 0 &&
              one == 1;
    if (ok) {
      any = true;
      continue;
    }
    if (i > runStart) {
      WalkStep step = DealDirBuffer(buf.data() + static_cast<size_t>(runStart) * SECTOR_SIZE,
                                    (i - runStart) * SECTOR_SIZE, u64FirstSector + runStart, nDirCluster, bDirDeleted,
                                    assembler);
      if (step == WALK_END) {
        if (pAllUnreadable) *pAllUnreadable = !any;
        return WALK_END;
      }
    }
    // A long name does not run across a sector that could not be read.
    assembler = CFatNameAssembler();
    runStart = i + 1;
  }
  if (pAllUnreadable) *pAllUnreadable = !any;
  return WALK_GO_ON;
}

CFastFatRecovery::WalkStep CFastFatRecovery::DealDirBuffer(const u8* pBuf, u32 nLen, u64 u64FirstSector,
                                                           u32 nDirCluster, bool bDirDeleted,
                                                           CFatNameAssembler& assembler) {
  const u32 count = nLen / FAT_ENTRY_SIZE;
  // Volatile: the result must survive a jump back from the fault guard.
  volatile int step = WALK_GO_ON;
  std::string name;
  FaultGuardBegin(g_FaultFastFat);
  for (volatile u32 i = 0; i < count; ++i) {
    if (FAULT_GUARD_TRY(g_FaultFastFat)) {
      const u8* e = pBuf + static_cast<size_t>(i) * FAT_ENTRY_SIZE;
      if (e[0] == 0x00) {
        step = WALK_END;
        break;
      }
      u64 sector = u64FirstSector + (static_cast<u64>(i) * FAT_ENTRY_SIZE) / SECTOR_SIZE;
      name.clear();
      CFatNameAssembler::Result r = assembler.Feed(e, nLen - static_cast<size_t>(i) * FAT_ENTRY_SIZE, name);
      if (r != CFatNameAssembler::ENTRY_SHORT) continue;  // a long-name part, an invalid entry, an overlong run
      u8 attr = e[11];
      if (attr & FAT_ATTR_VOLUME) continue;
      if (name.empty()) continue;
      if (attr & FAT_ATTR_DIRECTORY) {
        if (name == "." || name == "..") continue;
        RecordDir(e, name, sector, nDirCluster, bDirDeleted);
      } else if (attr & FAT_ATTR_ARCHIVE) {
        if (e[0] == FAT_DELETED_MARK || bDirDeleted) RecordFile(e, name, sector, nDirCluster);
      }
    } else {
      FaultGuardRearm(g_FaultFastFat);
    }
  }
  FaultGuardEnd(g_FaultFastFat);
  return static_cast<WalkStep>(static_cast<int>(step));
}

void CFastFatRecovery::FillNode(_FILE_NODE_& node, const u8* pEntry, const std::string& name, u64 u64Sector) const {
  memset(&node, 0, sizeof(node));
  FAT32_Entry e = FatEntryFromBytes(pEntry);
  node.wcDrive = m_wcDrive;
  node.nEngineType = m_nEngineType;
  node.nClusterBytes = m_nSectorPerCluster * SECTOR_SIZE;
  FatEntryTimesToNode(e, node);
  node.u64DataStartSector = m_nDataStartSector;
  node.u64RecordSector = u64Sector;
  node.u64VolumeStartSector = m_u64StartSector;
  CopyNameToField(node.szFileName, name);
}

void CFastFatRecovery::RecordFile(const u8* pEntry, const std::string& name, u64 u64Sector, u32 nDirCluster) {
  _FILE_NODE_ node;
  FillNode(node, pEntry, name, u64Sector);
  FAT32_Entry e = FatEntryFromBytes(pEntry);
  node.bIsDir = 0;
  node.bIsDeleted = 1;
  node.u64FileSize = e.nFileSize;
  if (m_nIsFat32) {
    node.nClusterNO = FatEntryFirstCluster(e);
    if (e.szName[0] == FAT_DELETED_MARK && e.nClusterHigh == 0)
      node.nClusterNO = GetFileRealHighClusterNO(e.nClusterLow, node.szFileName);
  } else {
    node.nClusterNO = e.nClusterLow;
  }
  node.bHealth = static_cast<u32>(IsFileDataHealth(node, m_nSectorPerCluster));
  // A free first cluster: the chain was cleared, and the file is read from
  // consecutive clusters; its content is checked when it is listed.
  u32 link = 1;
  if (node.u64FileSize > node.nClusterBytes && node.nClusterNO >= 2 &&
      GetNextClusterNO(node.nClusterNO, link) == 0 && link == 0)
    node.nResultFlags |= RESULT_FLAG_CHAIN_CLEARED | RESULT_FLAG_CHECK_PENDING;
  _FILE_NODE_* slot = m_pScanResultFileManager->CreateFileNode(sizeof(_FILE_NODE_));
  if (!slot) return;
  node.nFileIndex = m_pScanResultFileManager->GetFileIndex();
  memcpy(slot, &node, sizeof(node));
  m_pScanResultFileManager->AddChildren(nDirCluster, GetDirDepth(nDirCluster), node.nFileIndex, node.nClusterNO,
                                        nullptr);
  AddLostDirChain(nDirCluster);
}

void CFastFatRecovery::RecordDir(const u8* pEntry, const std::string& name, u64 u64Sector, u32 nDirCluster,
                                 bool bDirDeleted) {
  FAT32_Entry e = FatEntryFromBytes(pEntry);
  DIR_INFO info;
  FillNode(info.node, pEntry, name, u64Sector);
  bool deleted = e.szName[0] == FAT_DELETED_MARK || bDirDeleted;
  u32 cluster = m_nIsFat32 ? FatEntryFirstCluster(e) : e.nClusterLow;
  if (m_nIsFat32 && e.szName[0] == FAT_DELETED_MARK && e.nClusterHigh == 0)
    cluster = GetDirRealHighClusterNO(e.nClusterLow);
  info.node.bIsDir = 1;
  info.node.bIsDeleted = deleted ? 1 : 0;
  info.node.bHealth = 1;
  info.node.nClusterNO = cluster;
  info.nParentCluster = nDirCluster;
  info.nDepth = GetDirDepth(nDirCluster) + 1;
  // A folder that names its own folder, the root or a cluster outside the
  // volume cannot be walked.
  if (cluster < 2 || cluster > m_nMaxCluster || cluster == nDirCluster || cluster == m_nRootCluster) return;
  auto it = m_mapDirInfo.find(cluster);
  if (it != m_mapDirInfo.end()) {
    // Two entries name the same folder: keep the first, unless a live entry
    // meets a stale deleted one before the folder was walked.
    if (it->second.node.bIsDeleted && !deleted && !m_setWalkedDir.count(cluster)) it->second = info;
    return;
  }
  m_mapDirInfo.emplace(cluster, info);
  m_dequeDirCluster.push_back(cluster);
}

void CFastFatRecovery::AddLostDirChain(u32 nDirCluster) {
  u32 cur = nDirCluster;
  for (size_t steps = 0; steps <= m_mapDirInfo.size(); ++steps) {
    if (!m_setLostDirCluster.insert(cur).second) break;  // it and the folders above it are in already
    m_vecLostDirCluster.push_back(cur);
    auto it = m_mapDirInfo.find(cur);
    if (it == m_mapDirInfo.end()) break;
    u32 parent = it->second.nParentCluster;
    if (parent == cur || parent == m_nRootCluster || !m_mapDirInfo.count(parent)) break;
    cur = parent;
  }
}

u32 CFastFatRecovery::GetDirRealHighClusterNO(u16 nLow) {
  u8 sector[SECTOR_SIZE];
  u32 firstDotStart = 0;
  for (u32 h = 0; h <= 256; ++h) {
    u32 cluster = (h << 16) | nLow;
    if (cluster < 2) continue;
    if (cluster > m_nMaxCluster) break;
    u64 s = GetClusterSector(cluster);
    if (s >= m_u64StartSector + m_u64SectorCount) break;
    unsigned int got = 0;
    if (m_DiskReader.ReadData(sector, 1, static_cast<i64>(s), SECTOR_SIZE, &got) != 0) break;
    if (!IsDotDirStart(sector, SECTOR_SIZE)) continue;
    // A "." entry that names this very cluster settles it; otherwise the
    // first folder start met is taken.
    if (FatEntryFirstCluster(FatEntryFromBytes(sector)) == cluster) return cluster;
    if (!firstDotStart) firstDotStart = cluster;
  }
  return firstDotStart ? firstDotStart : nLow;
}

u32 CFastFatRecovery::GetFileRealHighClusterNO(u16 nLow, const char* pName) {
  char ext[256] = {0};
  if (GetExtendName(pName, ext) != 0 || !ext[0]) return nLow;
  u8 sector[SECTOR_SIZE];
  for (u32 h = 0; h <= 256; ++h) {
    u32 cluster = (h << 16) | nLow;
    if (cluster < 2) continue;
    if (cluster > m_nMaxCluster) break;
    u64 s = GetClusterSector(cluster);
    if (s >= m_u64StartSector + m_u64SectorCount) break;
    unsigned int got = 0;
    if (m_DiskReader.ReadData(sector, 1, static_cast<i64>(s), SECTOR_SIZE, &got) != 0 || got == 0) break;
    if (ContentMatchesExtension(sector, SECTOR_SIZE, ext, &m_DiskReader, SECTOR_SIZE, s)) return cluster;
  }
  return nLow;
}

int CFastFatRecovery::IsFileDataHealth(const _FILE_NODE_& node, u32 nSectorPerCluster) {
  char ext[256] = {0};
  if (GetExtendName(node.szFileName, ext) != 0 || !ext[0]) return 1;
  u64 s;
  if (node.nClusterNO < 2) {
    if (node.u64DataStartSector < m_nRootDirSectors) return 1;
    s = node.u64VolumeStartSector + node.u64DataStartSector - m_nRootDirSectors;
  } else {
    s = node.u64VolumeStartSector + node.u64DataStartSector +
        static_cast<u64>(node.nClusterNO - 2) * nSectorPerCluster;
  }
  u8 sector[SECTOR_SIZE];
  unsigned int got = 0;
  if (m_DiskReader.ReadData(sector, 1, static_cast<i64>(s), SECTOR_SIZE, &got) != 0 || got == 0) return 1;
  return ContentMatchesExtension(sector, SECTOR_SIZE, ext, &m_DiskReader, SECTOR_SIZE, s) ? 1 : 0;
}

int CFastFatRecovery::NextDataCluster(const _FILE_NODE_& node, u32 nCluster, u32 nIndex, u32& nNext) {
  (void)node;
  nNext = 0;
  if (!m_nIsFat32 && nCluster == 0) return 0;  // the FAT12/16 root area is read in one piece
  if (nIndex == 0) m_setBackTargets.clear();
  int status = FindNextClusterNO(nCluster, nNext);
  if (status != 0) {
    nNext = 0;
    return 0;  // the FAT cannot be read further: keep what was copied
  }
  // Any loop in a chain has a step back to a lower (or the same) cluster;
  // meeting the target of such a step twice means the chain loops.
  if (nNext != 0 && nNext <= nCluster && !m_setBackTargets.insert(nNext).second) nNext = 0;
  return 0;
}

bool CFastFatRecovery::DataSectorOfCluster(const _FILE_NODE_& node, u32 nCluster, u32 nIndex, u64& u64Sector) {
  if (nCluster < 2) {
    if (m_nIsFat32 || nCluster != 0 || nIndex != 0) return false;
    if (node.u64DataStartSector < m_nRootDirSectors) return false;
    u64Sector = node.u64VolumeStartSector + node.u64DataStartSector - m_nRootDirSectors;
    return true;
  }
  if (m_bGeometryOk && nCluster > m_nMaxCluster) return false;
  u32 spc = node.nClusterBytes / SECTOR_SIZE;
  u64Sector = node.u64VolumeStartSector + node.u64DataStartSector + static_cast<u64>(nCluster - 2) * spc;
  return true;
}

int CFastFatRecovery::BuildBitMapInfo() {
  if (!m_bGeometryOk) return STATUS_INVALID_PARAMETER;
  // The bitmap decides which sectors the deep scan skips, so it is built only
  // from something that is a FAT: entry 0 holds a media byte (0xF0 and up)
  // with every higher bit set. A damaged boot sector that points the FAT
  // elsewhere leaves no bitmap, and the deep scan reads the whole range.
  u32 first = 0;
  if (GetNextClusterNO(0, first) != 0) return STATUS_INVALID_PARAMETER;
  const u32 mask = m_nFatBits == 12 ? 0xFFF : m_nFatBits == 16 ? 0xFFFF : 0x0FFFFFFF;
  first &= mask;
  if ((first >> 8) != (mask >> 8) || (first & 0xFF) < 0xF0) return STATUS_INVALID_PARAMETER;
  u32 clusters = m_nMaxCluster - 1;
  m_nBitMapBytes = (clusters + 7) / 8;
  try {
    m_pBitMap.assign(m_nBitMapBytes, 0);
  } catch (...) {
    m_pBitMap.clear();
    m_nBitMapBytes = 0;
    return STATUS_OUT_OF_MEMORY;
  }
  const u32 endMark = m_nFatBits == 12 ? 0xFF8 : m_nFatBits == 16 ? 0xFFF8 : 0x0FFFFFF8;
  for (u32 c = 2; c <= m_nMaxCluster; ++c) {
    u32 e = 0;
    // An unreadable FAT leaves the rest marked free: the deep scan then reads
    // it, which costs time but loses nothing.
    if (GetNextClusterNO(c, e) != 0) break;
    if (m_nFatBits == 32) e &= 0x0FFFFFFF;
    if (e == 0) continue;
    u32 bit = c - 2;
    m_pBitMap[bit / 8] |= static_cast<u8>(1u << (bit % 8));
    if (e < endMark && e >= 2 && e <= m_nMaxCluster) {
      u32 linked = e - 2;
      m_pBitMap[linked / 8] |= static_cast<u8>(1u << (linked % 8));
    }
  }
  return 0;
}

int CFastFatRecovery::GetUnUsedSectorCount(u64& u64StartSector, u64& u64SectorCount) {
  u64SectorCount = 0;
  if (u64StartSector > m_u64SectorCount) {
    u64StartSector = m_u64SectorCount;
    return 1;
  }
  if (!m_bGeometryOk || m_pBitMap.empty() || m_nSectorPerCluster == 0) return 1;
  NextFreeClusterRun(m_pBitMap.data(), static_cast<u64>(m_nMaxCluster) - 1, m_nDataStartSector, m_nSectorPerCluster,
                     m_u64SectorCount, u64StartSector, u64SectorCount);
  return 1;
}

#include "exfat/FastExfatRecovery.h"

#include <errno.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "disk/BootSector.h"
#include "store/ResultSet.h"
#include "engine/ClusterBitmap.h"
#include "engine/ByteOrder.h"
#include "engine/DiskMap.h"
#include "engine/TextUtil.h"

namespace {
constexpr u64 kFatCacheBytes = 16u << 20;
// Enough for the main and the backup boot region at the largest sector size.
constexpr size_t kBootRegionBytes = 24 * 4096;
constexpr u32 kProgressIntervalMs = 5000;
}  // namespace

CFastExfatRecovery::CFastExfatRecovery()
    : m_u64StartSector(0),
      m_u64SectorCount(0),
      m_bGeometryOk(false),
      m_bBackupBoot(false),
      m_nSectorsPerCluster(0),
      m_nClusterBytes(0),
      m_u64FatStart(0),
      m_u64FatSectors(0),
      m_u64HeapStart(0),
      m_nClusterCount(0),
      m_nRootCluster(0),
      m_nActiveFat(0),
      m_u64FatCacheFirst(0),
      m_u64FatCacheBytes(0),
      m_bBitmapOk(false) {}

CFastExfatRecovery::~CFastExfatRecovery() {
  ResetStore();
}

int CFastExfatRecovery::Init(int nDiskNo, i64 u64StartSector, i64 u64SectorCount, wchar_t wcDrive) {
  if (m_DiskReader.GetFd() != -1) return 0;
  if (u64StartSector < 0 || u64SectorCount < 0) return STATUS_INVALID_PARAMETER;
  m_u64StartSector = static_cast<u64>(u64StartSector);
  m_u64SectorCount = static_cast<u64>(u64SectorCount);
  m_wcDrive = wcDrive;
  int reader = m_DiskReader.Init(nDiskNo, m_u64StartSector + m_u64SectorCount);
  return reader != 0 ? reader : ReadBootRegion();
}

int CFastExfatRecovery::Init(wchar_t* pPath, wchar_t wcDrive) {
  if (m_DiskReader.GetFd() != -1) return 0;
  int opened = OpenWholeByPath(pPath, wcDrive, m_DiskReader, m_u64StartSector, m_u64SectorCount);
  return opened != 0 ? opened : ReadBootRegion();
}

// Takes the main boot sector when its region's checksum holds, else the
// backup region (sector 12 at whatever sector size it declares), else
// whichever has sound fields. All geometry is then kept in 512-byte sectors
// and bounded by the range.
int CFastExfatRecovery::ReadBootRegion() {
  m_bGeometryOk = false;
  std::vector<u8> buf(kBootRegionBytes, 0);
  // An unreadable main boot sector reads as zeros; the backup region below stands in.
  int status = ReadVolumeStart(m_DiskReader.GetFd(), m_u64StartSector, m_u64SectorCount, BOOT_EXFAT, buf.data(),
                               buf.size());
  if (status == STATUS_SHORT_READ) return status;
  u64 inRange = m_u64SectorCount * SECTOR_SIZE;
  size_t n = buf.size() < inRange ? buf.size() : static_cast<size_t>(inRange);
  EXFAT_BOOT_INFO b;
  bool found = false;
  for (int pass = 0; pass < 2 && !found; ++pass) {
    const bool checksum = pass == 0;
    if (ParseExfatBootSector(buf.data(), n, b) &&
        (!checksum || ExfatBootChecksumMatches(buf.data(), n, b.nBytesPerSector))) {
      found = true;
      m_bBackupBoot = false;
      break;
    }
    for (u32 bps = 512; bps <= 4096 && !found; bps *= 2) {
      const size_t off = static_cast<size_t>(bps) * 12;
      if (off >= n) break;
      if (ParseExfatBootSector(buf.data() + off, n - off, b) && b.nBytesPerSector == bps &&
          (!checksum || ExfatBootChecksumMatches(buf.data() + off, n - off, bps))) {
        found = true;
        m_bBackupBoot = true;
      }
    }
  }
  if (!found) return STATUS_INVALID_PARAMETER;
  const u32 scale = b.nBytesPerSector / SECTOR_SIZE;
  m_nSectorsPerCluster = b.nSectorsPerCluster * scale;
  m_nClusterBytes = m_nSectorsPerCluster * SECTOR_SIZE;
  m_nActiveFat = (b.nNumberOfFats == 2 && (b.nVolumeFlags & 1)) ? 1 : 0;
  m_u64FatStart = (static_cast<u64>(b.nFatOffset) + (m_nActiveFat ? b.nFatLength : 0)) * scale;
  m_u64FatSectors = static_cast<u64>(b.nFatLength) * scale;
  m_u64HeapStart = static_cast<u64>(b.nClusterHeapOffset) * scale;
  // Never look past the range: a cut-off image keeps the clusters it holds.
  if (m_u64HeapStart >= m_u64SectorCount) return STATUS_INVALID_PARAMETER;
  u64 fit = (m_u64SectorCount - m_u64HeapStart) / m_nSectorsPerCluster;
  m_nClusterCount = fit < b.nClusterCount ? static_cast<u32>(fit) : b.nClusterCount;
  m_nRootCluster = b.nRootCluster;
  if (m_nClusterCount == 0 || m_nRootCluster > m_nClusterCount + 1) return STATUS_INVALID_PARAMETER;
  u64 cache = m_u64FatSectors * SECTOR_SIZE;
  if (cache > kFatCacheBytes) cache = kFatCacheBytes;
  try {
    m_FatCache.assign(static_cast<size_t>(cache), 0);
  } catch (...) {
    return STATUS_OUT_OF_MEMORY;
  }
  m_u64FatCacheBytes = 0;
  m_bGeometryOk = true;
  return 0;
}

bool CFastExfatRecovery::ReadFatWindow(u64 u64EntryOffset) {
  u64 first = u64EntryOffset / SECTOR_SIZE;
  if (first >= m_u64FatSectors) return false;
  u64 sectors = m_FatCache.size() / SECTOR_SIZE;
  if (first + sectors > m_u64FatSectors) sectors = m_u64FatSectors - first;
  unsigned int got = 0;
  m_u64FatCacheBytes = 0;
  int status = m_DiskReader.ReadData(m_FatCache.data(), static_cast<int>(sectors),
                                     static_cast<i64>(m_u64StartSector + m_u64FatStart + first), SECTOR_SIZE, &got);
  if (status != 0 && got == 0) return false;
  m_u64FatCacheFirst = first * SECTOR_SIZE;
  m_u64FatCacheBytes = static_cast<u64>(status == 0 ? sectors : got) * SECTOR_SIZE;
  return true;
}

bool CFastExfatRecovery::ReadFatEntry(u32 nCluster, u32& nValue) {
  if (!m_bGeometryOk || m_FatCache.empty()) return false;
  const u64 off = static_cast<u64>(nCluster) * 4;
  if (off + 4 > m_u64FatSectors * SECTOR_SIZE) return false;
  if (m_u64FatCacheBytes == 0 || off < m_u64FatCacheFirst || off + 4 > m_u64FatCacheFirst + m_u64FatCacheBytes) {
    if (!ReadFatWindow(off)) return false;
    if (off + 4 > m_u64FatCacheFirst + m_u64FatCacheBytes) return false;
  }
  return ReadU32LE(m_FatCache.data(), static_cast<size_t>(m_u64FatCacheBytes),
                   static_cast<size_t>(off - m_u64FatCacheFirst), nValue);
}

bool CFastExfatRecovery::IsClusterAllocated(u32 nCluster) const {
  if (nCluster < 2 || nCluster > m_nClusterCount + 1) return true;
  const u32 bit = nCluster - 2;
  if (bit / 8 >= m_Bitmap.size()) return true;
  return (m_Bitmap[bit / 8] >> (bit % 8)) & 1;
}

u32 CFastExfatRecovery::NextFreeCluster(u32 nAfter) const {
  const u32 last = m_nClusterCount + 1;
  if (nAfter >= last) return 0;
  // Without a bitmap the next cluster is all there is to go on.
  if (!m_bBitmapOk) return nAfter + 1;
  for (u32 c = nAfter + 1; c <= last;) {
    const u32 bit = c - 2;
    if (bit % 8 == 0 && bit / 8 < m_Bitmap.size() && m_Bitmap[bit / 8] == 0xFF) {
      c += 8;
      continue;
    }
    if (!IsClusterAllocated(c)) return c;
    ++c;
  }
  return 0;
}

u32 CFastExfatRecovery::StepCluster(u32 nCluster, bool bContiguous, bool bDeleted) {
  const u32 last = m_nClusterCount + 1;
  if (nCluster < 2 || nCluster >= last) return 0;
  if (bContiguous) return nCluster + 1;
  u32 v = 0;
  if (!ReadFatEntry(nCluster, v)) return 0;
  const bool link = v >= 2 && v <= last && v != nCluster;
  if (!bDeleted) return link ? v : 0;
  // A deleted chain is followed only where it still links free clusters:
  // a link into a cluster in use now belongs to whatever uses it.
  if (link) return (!m_bBitmapOk || !IsClusterAllocated(v)) ? v : 0;
  return v == 0 ? NextFreeCluster(nCluster) : 0;
}

bool CFastExfatRecovery::IsChainCleared(const EXFAT_FILE_SET& set) {
  if (!set.bDeleted || set.NoFatChain() || set.u64DataLength <= m_nClusterBytes) return false;
  u32 v = 1;
  return ReadFatEntry(set.nFirstCluster, v) && v == 0;
}

bool CFastExfatRecovery::IsChainCleared(const _FILE_NODE_& node) {
  if (node.bIsDir || !node.bIsDeleted || node.u64FileSize <= m_nClusterBytes) return false;
  EXFAT_STREAM_INFO stream = ReadStreamOfNode(node);
  if (!stream.bFound || (stream.nFlags & EXFAT_FLAG_NO_FAT_CHAIN)) return false;
  u32 v = 1;
  return ReadFatEntry(node.nClusterNO, v) && v == 0;
}

u32 CFastExfatRecovery::NextChainCluster(const _FILE_NODE_& node, u32 nCluster, u32 nIndex) {
  (void)nIndex;
  // Only files of this volume come here; the size ends every walk, so a
  // looping chain cannot run away.
  return StepCluster(nCluster, false, node.bIsDeleted != 0);
}

bool CFastExfatRecovery::ClusterInVolume(const _FILE_NODE_& node, u32 nCluster) const {
  if (nCluster < 2) return false;
  if (m_bGeometryOk && nCluster > m_nClusterCount + 1) return false;
  return ClusterSector(node, nCluster) + node.nClusterBytes / SECTOR_SIZE <= m_u64StartSector + m_u64SectorCount;
}

int CFastExfatRecovery::LoadBitmap() {
  m_bBitmapOk = false;
  m_Bitmap.clear();
  if (!m_bGeometryOk) return STATUS_INVALID_PARAMETER;
  // The bitmap entry sits in the root folder, normally in its first cluster.
  EXFAT_ALLOC_ENTRY chosen;
  bool have = false;
  std::vector<u8> cluster(m_nClusterBytes);
  std::unordered_set<u32> seen;
  u32 cur = m_nRootCluster;
  for (u32 n = 0; n < 64 && cur >= 2 && cur <= m_nClusterCount + 1 && seen.insert(cur).second; ++n) {
    unsigned int got = 0;
    u64 s = m_u64StartSector + m_u64HeapStart + static_cast<u64>(cur - 2) * m_nSectorsPerCluster;
    if (m_DiskReader.ReadData(cluster.data(), static_cast<int>(m_nSectorsPerCluster), static_cast<i64>(s), SECTOR_SIZE,
                              &got) != 0)
      break;
    CExfatDirWalker w(cluster.data(), cluster.size());
    CExfatDirWalker::ITEM kind;
    EXFAT_FILE_SET set;
    EXFAT_ALLOC_ENTRY alloc;
    while (w.Next(kind, set, alloc)) {
      if (kind != CExfatDirWalker::ITEM_ALLOC || alloc.nType != EXFAT_TYPE_BITMAP) continue;
      // With two FATs there are two bitmaps; bit 0 says which goes with which.
      if (!have || (alloc.nFlags & 1) == m_nActiveFat) chosen = alloc;
      have = true;
    }
    if (have || w.Ended()) break;
    cur = StepCluster(cur, false, false);
  }
  if (!have) return STATUS_DAMAGED_RECORD;
  const u64 need = (static_cast<u64>(m_nClusterCount) + 7) / 8;
  if (chosen.nFirstCluster < 2 || chosen.nFirstCluster > m_nClusterCount + 1 || chosen.u64DataLength < need)
    return STATUS_DAMAGED_RECORD;
  try {
    m_Bitmap.assign(static_cast<size_t>((need + m_nClusterBytes - 1) / m_nClusterBytes * m_nClusterBytes), 0);
  } catch (...) {
    return STATUS_OUT_OF_MEMORY;
  }
  cur = chosen.nFirstCluster;
  for (size_t off = 0; off < m_Bitmap.size(); off += m_nClusterBytes) {
    if (cur < 2 || cur > m_nClusterCount + 1) {
      m_Bitmap.clear();
      return STATUS_DAMAGED_RECORD;
    }
    unsigned int got = 0;
    u64 s = m_u64StartSector + m_u64HeapStart + static_cast<u64>(cur - 2) * m_nSectorsPerCluster;
    if (m_DiskReader.ReadData(m_Bitmap.data() + off, static_cast<int>(m_nSectorsPerCluster), static_cast<i64>(s),
                              SECTOR_SIZE, &got) != 0) {
      m_Bitmap.clear();
      return STATUS_SHORT_READ;
    }
    // The bitmap keeps a FAT chain; where the chain says nothing it is
    // taken to go on in the next cluster.
    u32 v = 0;
    bool link = ReadFatEntry(cur, v) && v >= 2 && v <= m_nClusterCount + 1 && v != cur;
    cur = link ? v : cur + 1;
  }
  m_Bitmap.resize(static_cast<size_t>(need));
  // The bitmap decides which sectors the deep scan skips, so it must at
  // least call its own cluster and the root folder's in use.
  m_bBitmapOk = true;
  if (!IsClusterAllocated(chosen.nFirstCluster) || !IsClusterAllocated(m_nRootCluster)) {
    m_bBitmapOk = false;
    m_Bitmap.clear();
    return STATUS_DAMAGED_RECORD;
  }
  return 0;
}

int CFastExfatRecovery::BuildBitMapInfo() { return LoadBitmap(); }

int CFastExfatRecovery::GetUnUsedSectorCount(u64& u64StartSector, u64& u64SectorCount) {
  u64SectorCount = 0;
  if (u64StartSector > m_u64SectorCount) {
    u64StartSector = m_u64SectorCount;
    return 1;
  }
  if (!m_bGeometryOk || !m_bBitmapOk || m_Bitmap.empty() || m_nSectorsPerCluster == 0) return 1;
  NextFreeClusterRun(m_Bitmap.data(), m_nClusterCount, m_u64HeapStart, m_nSectorsPerCluster, m_u64SectorCount,
                     u64StartSector, u64SectorCount);
  return 1;
}

int CFastExfatRecovery::ReportProgress(int nProgress, int nRemain) {
  if (!m_pScanCallBack) return 0;
  return m_pScanCallBack(m_pCallBackParam, nProgress, m_nPercent, nRemain, 0, 0, 0, nullptr);
}

int CFastExfatRecovery::ScanDevice(wchar_t* pName) {
  m_queue.clear();
  m_setWalkedCluster.clear();
  m_setQueuedDir.clear();
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
  if (m_bGeometryOk) {
    // Deleted files are placed by what the bitmap calls free.
    if (!m_bBitmapOk) LoadBitmap();
    m_setQueuedDir.insert(m_nRootCluster);
    m_queue.push_back({m_nRootCluster, 0, false, false, 0});
  }
  u32 lastTick = rsb_getTickCount();
  int p = 2, remain = 99, q = 21;
  while (!m_queue.empty()) {
    DIR_ITEM dir = m_queue.front();
    m_queue.pop_front();
    WalkDir(dir);
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
  m_queue.clear();
  m_pScanResultFileManager->FlushBufToFile();
  if (result != 0) return result;
  return ReportProgress(100, 0);
}

void CFastExfatRecovery::WalkDir(const DIR_ITEM& dir) {
  const u64 limit = dir.u64Bytes && dir.u64Bytes < EXFAT_MAX_DIR_BYTES ? dir.u64Bytes : EXFAT_MAX_DIR_BYTES;
  const u64 maxClusters = (limit + m_nClusterBytes - 1) / m_nClusterBytes;
  // The folder's bytes since the sector where the walk stands, and the
  // absolute sector of each 512 bytes of them: a set cut off at the end of
  // a cluster is finished with the next one.
  std::vector<u8> buf;
  std::vector<u64> sectors;
  size_t resume = 0;
  u32 cur = dir.nCluster;
  for (u64 n = 0; n < maxClusters; ++n) {
    if (cur < 2 || cur > m_nClusterCount + 1) break;
    // A cluster already read as folder data (a looping or cross-linked chain) is not read again.
    if (!m_setWalkedCluster.insert(cur).second) break;
    // A deleted folder ends where its clusters are in use again.
    if (dir.bDeleted && n > 0 && m_bBitmapOk && IsClusterAllocated(cur)) break;
    const size_t old = buf.size();
    buf.resize(old + m_nClusterBytes);
    const u64 first = m_u64StartSector + m_u64HeapStart + static_cast<u64>(cur - 2) * m_nSectorsPerCluster;
    unsigned int got = 0;
    if (m_DiskReader.ReadData(buf.data() + old, static_cast<int>(m_nSectorsPerCluster), static_cast<i64>(first),
                              SECTOR_SIZE, &got) != 0)
      break;
    for (u32 i = 0; i < m_nSectorsPerCluster; ++i) sectors.push_back(first + i);
    CExfatDirWalker walker(buf.data(), buf.size(), resume);
    CExfatDirWalker::ITEM kind;
    EXFAT_FILE_SET set;
    EXFAT_ALLOC_ENTRY alloc;
    while (walker.Next(kind, set, alloc)) {
      if (kind != CExfatDirWalker::ITEM_FILE) continue;
      RecordSet(set, sectors[(walker.ItemOffset() + set.nStreamOffset) / SECTOR_SIZE], dir);
    }
    if (walker.Ended()) break;
    size_t keep = walker.Offset() / SECTOR_SIZE * SECTOR_SIZE;
    if (keep > buf.size()) keep = buf.size();
    buf.erase(buf.begin(), buf.begin() + static_cast<long>(keep));
    sectors.erase(sectors.begin(), sectors.begin() + static_cast<long>(keep / SECTOR_SIZE));
    resume = walker.Offset() - keep;
    cur = StepCluster(cur, dir.bContiguous, dir.bDeleted);
  }
}

void CFastExfatRecovery::RecordSet(const EXFAT_FILE_SET& set, u64 u64RecordSector, const DIR_ITEM& dir) {
  _FILE_NODE_ node;
  FillNode(node, set, ENGINE_FAST_EXFAT, m_nClusterBytes, m_u64HeapStart, m_u64StartSector, u64RecordSector);
  const bool deleted = set.bDeleted || dir.bDeleted;
  node.bIsDeleted = deleted ? 1 : 0;
  const u32 last = m_nClusterCount + 1;
  const u32 c = set.nFirstCluster;
  if (set.IsDir()) {
    if (!AddNode(node, dir.nCluster, dir.nDepth)) return;
    if (c < 2 || c > last || c == m_nRootCluster || m_setQueuedDir.count(c)) return;
    // A deleted folder whose first cluster is in use again lost its entries.
    if (deleted && m_bBitmapOk && IsClusterAllocated(c)) return;
    m_setQueuedDir.insert(c);
    m_queue.push_back({c, dir.nDepth + 1, deleted, set.NoFatChain(), set.u64DataLength ? set.u64DataLength : m_nClusterBytes});
    return;
  }
  // The length is never trusted beyond the cluster heap.
  if (c >= 2 && c <= last) {
    const u64 room = static_cast<u64>(set.NoFatChain() ? last + 1 - c : m_nClusterCount) * m_nClusterBytes;
    if (node.u64FileSize > room) node.u64FileSize = room;
  }
  if (deleted) node.bHealth = static_cast<u8>(DataHealth(node));
  // The clusters after the first are then a guess from the free ones.
  if (IsChainCleared(set)) node.nResultFlags |= RESULT_FLAG_CHAIN_CLEARED;
  AddNode(node, dir.nCluster, dir.nDepth);
}

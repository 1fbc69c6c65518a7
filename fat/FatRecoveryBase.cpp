#include "fat/FatRecoveryBase.h"


#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <set>
#include <vector>

#include "engine/ContentMatch.h"
#include "engine/RecoveredFile.h"
#include "engine/DiskMap.h"
#include "engine/TextUtil.h"
#include "store/LogFileManager.h"
#include "store/ResultSet.h"
#include "disk/FatEntry.h"

CFatRecoveryBase::CFatRecoveryBase() : m_wcDrive(0) { m_nPercent = 100; }

CFatRecoveryBase::~CFatRecoveryBase() = default;

void CFatRecoveryBase::ResetStore() { m_pScanResultFileManager.reset(); }

int CFatRecoveryBase::NewStore(const wchar_t* pName, bool bFresh) {
  return OpenResultSet(m_pScanResultFileManager, pName, bFresh, m_pSearchCallBack, m_pSearchParam);
}

int CFatRecoveryBase::OpenWholeByPath(wchar_t* pPath, wchar_t wcDrive, CDiskReader& reader,
                                      u64& u64StartSector, u64& u64SectorCount) {
  if (!pPath) return STATUS_INVALID_PARAMETER;
  std::string path = WideToUtf8(pPath);
  u64StartSector = 0;
  m_wcDrive = wcDrive;
  return reader.InitWhole(path.c_str(), &u64SectorCount);
}

int CFatRecoveryBase::CopyFileData(_FILE_NODE_* pNode, IRecoverySink& sink) {
  if (!pNode || pNode->bIsDir) return STATUS_INVALID_PARAMETER;
  const _FILE_NODE_& node = *pNode;
  const u32 clusterBytes = node.nClusterBytes;
  if (clusterBytes >= FAT_MAX_CLUSTER_BYTES) return FAT_STATUS_CLUSTER_TOO_BIG;
  if (clusterBytes == 0 || clusterBytes % SECTOR_SIZE != 0) return STATUS_INVALID_PARAMETER;
  u64 left = node.u64FileSize;
  u32 cluster = node.nClusterNO;
  // Consecutive clusters are read as one extent; every cluster delivers
  // bytes, so the file's size bounds the walk.
  u64 runSector = 0, runBytes = 0;
  for (u32 k = 0; left > 0; ++k) {
    u64 sector = 0;
    if (!DataSectorOfCluster(node, cluster, k, sector)) break;
    u64 take = left < clusterBytes ? left : clusterBytes;
    if (runBytes != 0 && sector == runSector + runBytes / SECTOR_SIZE) {
      runBytes += take;
    } else {
      if (runBytes != 0) {
        int st = CopySectorsToSink(m_DiskReader, runSector, runBytes, SECTOR_SIZE, sink);
        if (st != 0) return st;
      }
      runSector = sector;
      runBytes = take;
    }
    left -= take;
    if (left == 0) break;
    u32 next = 0;
    int st = NextDataCluster(node, cluster, k, next);
    if (st != 0 || next == 0) break;  // the clusters end before the size does: a short file
    cluster = next;
  }
  if (runBytes != 0) return CopySectorsToSink(m_DiskReader, runSector, runBytes, SECTOR_SIZE, sink);
  return 0;
}

void CFatRecoveryBase::ResolvePendingCheck(_FILE_NODE_& node) {
  node.nResultFlags &= static_cast<u8>(~RESULT_FLAG_CHECK_PENDING);
  node.nIntegrity = INTEGRITY_UNVERIFIED;
  const u32 clusterBytes = node.nClusterBytes;
  if (node.bIsDir || node.u64FileSize == 0 || clusterBytes == 0 || clusterBytes % SECTOR_SIZE != 0 ||
      clusterBytes >= FAT_MAX_CLUSTER_BYTES)
    return;
  const char* dot = std::strrchr(node.szFileName, '.');
  if (!dot || !dot[1]) return;
  // The bytes a save would copy, when they are one run on the disk (a
  // cleared chain is read as consecutive clusters, so they are unless the
  // run stops short).
  u64 first = 0, left = node.u64FileSize;
  u32 cluster = node.nClusterNO;
  for (u32 k = 0; left > 0; ++k) {
    u64 sector = 0;
    if (!DataSectorOfCluster(node, cluster, k, sector)) return;
    if (k == 0) first = sector;
    else if (sector != first + static_cast<u64>(k) * (clusterBytes / SECTOR_SIZE)) return;
    left -= left < clusterBytes ? left : clusterBytes;
    if (left == 0) break;
    u32 next = 0;
    if (NextDataCluster(node, cluster, k, next) != 0 || next == 0) return;  // shorter than its size
    cluster = next;
  }
  u8 flags = 0;
  const int integrity = CheckContentIntegrity(dot + 1, &m_DiskReader, SECTOR_SIZE, first, node.u64FileSize, &flags);
  node.nResultFlags |= flags;
  if (integrity == INTEGRITY_VERIFIED) node.nIntegrity = INTEGRITY_VERIFIED;
}

void FatEntryTimesToNode(const FAT32_Entry& e, _FILE_NODE_& node) {
  _FILETIME t;
  Fat32GetFileCreateTime(e, t);
  node.ftCreateTime = t;
  Fat32GetFileLastAccessTime(e, t);
  node.ftLastAccessTime = t;
  Fat32GetFileLastChangeTime(e, t);
  node.ftLastWriteTime = t;
}

#include "exfat/ExfatRecoveryBase.h"

#include <errno.h>
#include <unistd.h>

#include <cstring>

#include "engine/ByteOrder.h"
#include "engine/ContentMatch.h"
#include "engine/DiskMap.h"
#include "engine/RecoveredFile.h"
#include "engine/TextUtil.h"
#include "store/LogFileManager.h"
#include "store/ResultSet.h"

CExfatRecoveryBase::CExfatRecoveryBase() : m_wcDrive(0) { m_nPercent = 100; }

CExfatRecoveryBase::~CExfatRecoveryBase() = default;

void CExfatRecoveryBase::ResetStore() { m_pScanResultFileManager.reset(); }

int CExfatRecoveryBase::NewStore(const wchar_t* pName, bool bFresh) {
  return OpenResultSet(m_pScanResultFileManager, pName, bFresh, m_pSearchCallBack, m_pSearchParam);
}

int CExfatRecoveryBase::OpenWholeByPath(wchar_t* pPath, wchar_t wcDrive, CDiskReader& reader,
                                      u64& u64StartSector, u64& u64SectorCount) {
  if (!pPath) return STATUS_INVALID_PARAMETER;
  std::string path = WideToUtf8(pPath);
  u64StartSector = 0;
  m_wcDrive = wcDrive;
  return reader.InitWhole(path.c_str(), &u64SectorCount);
}

void CExfatRecoveryBase::FillNode(_FILE_NODE_& node, const EXFAT_FILE_SET& set, u32 nEngineType, u32 nClusterBytes,
                                  u64 u64HeapStart, u64 u64VolumeStart, u64 u64RecordSector) const {
  memset(&node, 0, sizeof(node));
  node.wcDrive = m_wcDrive;
  node.nEngineType = nEngineType;
  node.bIsDir = set.IsDir() ? 1 : 0;
  node.bIsDeleted = set.bDeleted ? 1 : 0;
  node.bHealth = 1;
  node.nClusterNO = set.nFirstCluster;
  node.nClusterBytes = nClusterBytes;
  node.ftCreateTime = U64ToFileTime(set.u64Create);
  node.ftLastAccessTime = U64ToFileTime(set.u64Access);
  node.ftLastWriteTime = U64ToFileTime(set.u64Modify);
  node.u64FileSize = set.IsDir() ? 0 : set.u64DataLength;
  node.u64DataStartSector = u64HeapStart;
  node.u64RecordSector = u64RecordSector;
  node.u64VolumeStartSector = u64VolumeStart;
  CopyNameToField(node.szFileName, set.name);
}

u64 CExfatRecoveryBase::ClusterSector(const _FILE_NODE_& node, u32 nCluster) {
  return node.u64VolumeStartSector + node.u64DataStartSector +
         static_cast<u64>(nCluster - 2) * (node.nClusterBytes / SECTOR_SIZE);
}

bool CExfatRecoveryBase::AddNode(_FILE_NODE_& node, u32 nParentNumber, u32 nParentDepth) {
  _FILE_NODE_* slot = m_pScanResultFileManager ? m_pScanResultFileManager->CreateFileNode(sizeof(_FILE_NODE_)) : nullptr;
  if (!slot) return false;
  node.nFileIndex = m_pScanResultFileManager->GetFileIndex();
  memcpy(slot, &node, sizeof(node));
  m_pScanResultFileManager->AddChildren(nParentNumber, nParentDepth, node.nFileIndex, node.nClusterNO,
                                        node.bIsDir ? node.szFileName : nullptr);
  return true;
}

u32 CExfatRecoveryBase::DataHealth(const _FILE_NODE_& node) {
  char ext[256] = {0};
  if (GetExtendName(node.szFileName, ext) != 0 || !ext[0]) return 1;
  if (node.nClusterNO < 2 || node.u64FileSize == 0 || !ClusterInVolume(node, node.nClusterNO)) return 1;
  u64 s = ClusterSector(node, node.nClusterNO);
  u8 sector[SECTOR_SIZE];
  unsigned int got = 0;
  if (m_DiskReader.ReadData(sector, 1, static_cast<i64>(s), SECTOR_SIZE, &got) != 0 || got == 0) return 1;
  return ContentMatchesExtension(sector, SECTOR_SIZE, ext, &m_DiskReader, SECTOR_SIZE, s) ? 1 : 0;
}

EXFAT_STREAM_INFO CExfatRecoveryBase::ReadStreamOfNode(const _FILE_NODE_& node) {
  EXFAT_STREAM_INFO info;
  u8 sector[SECTOR_SIZE];
  unsigned int got = 0;
  if (m_DiskReader.ReadData(sector, 1, static_cast<i64>(node.u64RecordSector), SECTOR_SIZE, &got) != 0 || got != 1)
    return info;
  // The sector may hold several stream entries: the one with this first
  // cluster and a length that covers the node's size, of the node's state
  // (live or deleted) when there is a choice.
  bool exactState = false;
  for (size_t off = 0; off + EXFAT_ENTRY_SIZE <= SECTOR_SIZE; off += EXFAT_ENTRY_SIZE) {
    const u8 t = sector[off];
    if ((t | EXFAT_IN_USE) != EXFAT_TYPE_STREAM) continue;
    if (GetU32LE(sector, SECTOR_SIZE, off + EXFAT_STREAM_FIRST_CLUSTER) != node.nClusterNO) continue;
    const u64 length = GetU64LE(sector, SECTOR_SIZE, off + EXFAT_STREAM_DATA_LENGTH);
    if (length < node.u64FileSize) continue;
    const bool state = ((t & EXFAT_IN_USE) == 0) == (node.bIsDeleted != 0);
    if (info.bFound && (exactState || !state)) continue;
    info.bFound = true;
    exactState = state;
    info.nFlags = sector[off + EXFAT_STREAM_FLAGS];
    u64 valid = GetU64LE(sector, SECTOR_SIZE, off + EXFAT_STREAM_VALID_LENGTH);
    info.u64ValidDataLength = valid < node.u64FileSize ? valid : node.u64FileSize;
  }
  return info;
}

int CExfatRecoveryBase::CopyFileData(_FILE_NODE_* pNode, IRecoverySink& sink) {
  if (!pNode || pNode->bIsDir) return STATUS_INVALID_PARAMETER;
  const _FILE_NODE_& node = *pNode;
  const u32 clusterBytes = node.nClusterBytes;
  if (clusterBytes > EXFAT_MAX_CLUSTER_BYTES) return STATUS_CLUSTER_TOO_BIG;
  if (clusterBytes < SECTOR_SIZE || clusterBytes % SECTOR_SIZE != 0) return STATUS_INVALID_PARAMETER;
  if (node.u64FileSize == 0) return 0;
  EXFAT_STREAM_INFO stream = ReadStreamOfNode(node);
  // Without the entry the whole size is taken as written data.
  const u64 valid = stream.bFound ? stream.u64ValidDataLength : node.u64FileSize;
  const bool contiguous = stream.bFound && (stream.nFlags & EXFAT_FLAG_NO_FAT_CHAIN);
  u64 left = valid;
  u32 cluster = node.nClusterNO;
  u64 runSector = 0, runBytes = 0;
  for (u32 k = 0; left > 0; ++k) {
    if (cluster < 2 || !ClusterInVolume(node, cluster)) break;
    const u64 sector = ClusterSector(node, cluster);
    const u64 take = left < clusterBytes ? left : clusterBytes;
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
    cluster = contiguous ? (cluster == 0xFFFFFFFFu ? 0 : cluster + 1) : NextChainCluster(node, cluster, k);
  }
  if (runBytes != 0) {
    int st = CopySectorsToSink(m_DiskReader, runSector, runBytes, SECTOR_SIZE, sink);
    if (st != 0) return st;
  }
  // The clusters ended before the written data did: a short file.
  if (left != 0) return 0;
  // Past the valid length the file reads as zeros, whatever the disk holds.
  if (valid < node.u64FileSize) return sink.WriteZeros(node.u64FileSize - valid);
  return 0;
}

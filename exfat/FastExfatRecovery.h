// The quick exFAT engine: reads the boot region (the backup one when the
// main one is damaged), walks the folder tree from the root cluster and
// records every file and folder, live and deleted, with the folders leading
// to them. It also supplies the allocation bitmap, so the deep scan reads
// only free clusters.
#pragma once

#include <deque>
#include <unordered_set>
#include <vector>

#include "exfat/ExfatRecoveryBase.h"

class CFastExfatRecovery : public CExfatRecoveryBase {
 public:
  CFastExfatRecovery();
  ~CFastExfatRecovery() override;

  int Init(int nDiskNo, i64 u64StartSector, i64 u64SectorCount, wchar_t wcDrive) override;
  int Init(wchar_t* pPath, wchar_t wcDrive) override;
  int ScanDevice(wchar_t* pName) override;
  int GetUnUsedSectorCount(u64& u64StartSector, u64& u64SectorCount) override;
  int BuildBitMapInfo() override;

  // Geometry, in 512-byte sectors counted from the volume start.
  bool GeometryOk() const { return m_bGeometryOk; }
  bool UsedBackupBoot() const { return m_bBackupBoot; }
  u32 GetClusterCount() const { return m_nClusterCount; }
  u32 GetClusterBytes() const { return m_nClusterBytes; }
  u64 GetHeapStart() const { return m_u64HeapStart; }
  u32 GetRootCluster() const { return m_nRootCluster; }
  // From the allocation bitmap; clusters outside the heap, and all of them
  // while no bitmap was read, count as allocated.
  bool IsClusterAllocated(u32 nCluster) const;
  // The FAT entry of a cluster; false when it cannot be read.
  bool ReadFatEntry(u32 nCluster, u32& nValue);
  // A deleted file of several clusters whose FAT chain was emptied when it
  // was deleted: its clusters are then taken from the free clusters that
  // follow its first one, which holds only while it was written in one
  // piece. Such nodes carry RESULT_FLAG_CHAIN_CLEARED.
  bool IsChainCleared(const EXFAT_FILE_SET& set);
  // The same for a listed node, from its stream entry read again.
  bool IsChainCleared(const _FILE_NODE_& node);

 protected:
  u32 NextChainCluster(const _FILE_NODE_& node, u32 nCluster, u32 nIndex) override;
  bool ClusterInVolume(const _FILE_NODE_& node, u32 nCluster) const override;
  u32 RootDirNumber() const override { return m_nRootCluster; }

 private:
  // A folder waiting to be walked. u64Bytes 0: follow the chain to its end
  // (the root has no length of its own).
  struct DIR_ITEM {
    u32 nCluster;
    u32 nDepth;
    bool bDeleted;
    bool bContiguous;
    u64 u64Bytes;
  };

  int ReadBootRegion();
  int LoadBitmap();
  bool ReadFatWindow(u64 u64EntryOffset);
  // The cluster after nCluster: contiguous data steps by one, live chains
  // follow the FAT, deleted ones follow it while it still links free
  // clusters, else take the next free cluster.
  u32 StepCluster(u32 nCluster, bool bContiguous, bool bDeleted);
  u32 NextFreeCluster(u32 nAfter) const;
  void WalkDir(const DIR_ITEM& dir);
  void RecordSet(const EXFAT_FILE_SET& set, u64 u64RecordSector, const DIR_ITEM& dir);
  int ReportProgress(int nProgress, int nRemain);

  u64 m_u64StartSector;
  u64 m_u64SectorCount;
  bool m_bGeometryOk;
  bool m_bBackupBoot;
  u32 m_nSectorsPerCluster;  // 512-byte sectors
  u32 m_nClusterBytes;
  u64 m_u64FatStart;         // the active FAT
  u64 m_u64FatSectors;
  u64 m_u64HeapStart;
  u32 m_nClusterCount;       // clusters inside both the heap and the range
  u32 m_nRootCluster;
  u8 m_nActiveFat;

  std::vector<u8> m_FatCache;
  u64 m_u64FatCacheFirst;    // byte offset in the FAT of the window
  u64 m_u64FatCacheBytes;
  std::vector<u8> m_Bitmap;  // bit n: cluster n + 2 allocated
  bool m_bBitmapOk;

  std::deque<DIR_ITEM> m_queue;
  std::unordered_set<u32> m_setWalkedCluster;  // clusters read as folder data
  std::unordered_set<u32> m_setQueuedDir;      // folders' first clusters
};

// What the quick and the deep FAT engines share: the result store, and
// handing a found file's clusters to the writer of recovered files. The
// engines differ only in where a file's clusters lie: the quick engine
// follows the FAT, the deep engine has no FAT and reads consecutive clusters.
#pragma once

#include <memory>
#include <string>

#include "engine/DiskReader.h"
#include "store/StoredEngine.h"

// Cluster buffers above this are a damaged record, not a volume.
constexpr u32 FAT_MAX_CLUSTER_BYTES = 0x6400001;
constexpr int FAT_STATUS_CLUSTER_TOO_BIG = STATUS_CLUSTER_TOO_BIG;

class CFatRecoveryBase : public CStoredEngine {
 public:
  CFatRecoveryBase();
  ~CFatRecoveryBase() override;

  int CopyFileData(_FILE_NODE_* pNode, IRecoverySink& sink) override;
  CScanResultFileManager* GetStore() const { return m_pScanResultFileManager.get(); }

 protected:
  // Where a file's data lies. NextDataCluster walks its clusters (next = 0
  // at the end); DataSectorOfCluster gives the absolute first sector of the
  // k-th cluster read.
  virtual int NextDataCluster(const _FILE_NODE_& node, u32 nCluster, u32 nIndex, u32& nNext) = 0;
  virtual bool DataSectorOfCluster(const _FILE_NODE_& node, u32 nCluster, u32 nIndex, u64& u64Sector) = 0;
  CScanResultFileManager* Store() const override { return m_pScanResultFileManager.get(); }
  // A file read from consecutive clusters because its chain is gone
  // (RESULT_FLAG_CHAIN_CLEARED) is verified only when its format's checker
  // passes on exactly those bytes; otherwise it stays unverified. Reading a
  // whole file is too costly for the quick pass, so this runs when listed.
  void ResolvePendingCheck(_FILE_NODE_& node) override;

  void ResetStore();
  // Opens a device node or image by path, read-only, as one whole range
  // (first sector 0, count from its size) in the engine's reader; 0 or errno.
  int OpenWholeByPath(wchar_t* pPath, wchar_t wcDrive, CDiskReader& reader, u64& u64StartSector,
                      u64& u64SectorCount);
  // bFresh: a new scan, so files left under the same name are removed first.
  int NewStore(const wchar_t* pName, bool bFresh);

  wchar_t m_wcDrive;
  CDiskReader m_DiskReader;
  std::unique_ptr<CScanResultFileManager> m_pScanResultFileManager;
};

struct FAT32_Entry;
// The entry's three dates into the node (the node's fields are packed, so
// they are filled through copies).
void FatEntryTimesToNode(const FAT32_Entry& e, _FILE_NODE_& node);

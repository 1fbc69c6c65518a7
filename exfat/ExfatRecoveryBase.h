// What the quick and the deep exFAT engines share: the result store, the
// node made from an entry set, and handing a found file's clusters to the
// writer of recovered files. The engines differ only in how a file that is
// not one contiguous run goes on from cluster to cluster: the quick engine
// has the FAT and the allocation bitmap, the deep engine has neither.
//
// An exFAT node: nClusterNO is the first cluster, u64DataStartSector the
// cluster heap's first sector counted from u64VolumeStartSector, and
// u64RecordSector the absolute sector holding the set's stream entry, which
// CopyFileData reads again for the flags and valid length the node has no
// room for.
#pragma once

#include <memory>
#include <string>

#include "engine/DiskReader.h"
#include "exfat/ExfatEntry.h"
#include "store/StoredEngine.h"

// Cluster sizes above 32 MiB are not exFAT.
constexpr u32 EXFAT_MAX_CLUSTER_BYTES = 32u << 20;

// What the stream entry of a node says about its data.
struct EXFAT_STREAM_INFO {
  bool bFound = false;
  u8 nFlags = 0;
  u64 u64ValidDataLength = 0;
};

class CExfatRecoveryBase : public CStoredEngine {
 public:
  CExfatRecoveryBase();
  ~CExfatRecoveryBase() override;

  int CopyFileData(_FILE_NODE_* pNode, IRecoverySink& sink) override;
  CScanResultFileManager* GetStore() const { return m_pScanResultFileManager.get(); }
  // The stream entry of a node, read again from its record sector.
  EXFAT_STREAM_INFO ReadStreamOfNode(const _FILE_NODE_& node);

 protected:
  // The cluster after nCluster (the nIndex-th read) of a file whose data is
  // not one contiguous run; 0 ends the file.
  virtual u32 NextChainCluster(const _FILE_NODE_& node, u32 nCluster, u32 nIndex) = 0;
  // Whether a cluster of the node's volume may be read.
  virtual bool ClusterInVolume(const _FILE_NODE_& node, u32 nCluster) const = 0;
  CScanResultFileManager* Store() const override { return m_pScanResultFileManager.get(); }

  void ResetStore();
  // bFresh: a new scan, so result files left under the same name go first.
  int NewStore(const wchar_t* pName, bool bFresh);
  // Opens a device node or image read-only as one whole range; 0 or errno.
  int OpenWholeByPath(wchar_t* pPath, wchar_t wcDrive, CDiskReader& reader, u64& u64StartSector,
                      u64& u64SectorCount);
  // The fields every exFAT node takes from its set and its volume.
  void FillNode(_FILE_NODE_& node, const EXFAT_FILE_SET& set, u32 nEngineType, u32 nClusterBytes,
                u64 u64HeapStart, u64 u64VolumeStart, u64 u64RecordSector) const;
  // The first sector of a cluster of the node's volume.
  static u64 ClusterSector(const _FILE_NODE_& node, u32 nCluster);
  // 0 when a file's first sector is not of the type its name says (the
  // FAT engines' test: such photos are kept out of lists), else 1.
  u32 DataHealth(const _FILE_NODE_& node);
  // Appends a node to the store under the folder (nParentNumber, nParentDepth);
  // folders pass their name so paths can be built. The node's index is set.
  bool AddNode(_FILE_NODE_& node, u32 nParentNumber, u32 nParentDepth);

  wchar_t m_wcDrive;
  CDiskReader m_DiskReader;
  std::unique_ptr<CScanResultFileManager> m_pScanResultFileManager;
};

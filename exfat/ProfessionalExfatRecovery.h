// The deep exFAT engine. The deep scan offers it every free sector whose
// first byte may start exFAT metadata; it takes folder clusters (sectors
// that open with a checked entry set, or a root folder's label and bitmap
// entries) and boot sectors, and reads each folder on from there by itself.
// After the pass it rebuilds the geometry of volumes whose boot sector is
// gone from the folders it found (a folder's first sector must lie where its
// parent's entry says its first cluster is), files each folder's entries
// under the folder entry that names its cluster, and puts folders whose own
// entry was not found under LostFolderN (N: the folder's cluster).
#pragma once

#include <string>
#include <vector>

#include "exfat/ExfatRecoveryBase.h"

// Where a volume's clusters lie, from a boot sector or from the folders.
struct EXFAT_VOLUME_GUESS {
  u64 u64VolumeStart;       // absolute, 512-byte sectors
  u64 u64HeapStart;         // absolute first sector of cluster 2
  u32 nSectorsPerCluster;   // 512-byte sectors
  u32 nClusterCount;        // 0: unknown (rebuilt from folders)
  bool bFromBoot;
  u32 nVotes;               // folders whose first sector this geometry explains
};

class CProfessionalExfatRecovery : public CExfatRecoveryBase {
 public:
  CProfessionalExfatRecovery();
  ~CProfessionalExfatRecovery() override;

  int Init(int nDiskNo, i64 u64StartSector, i64 u64SectorCount, wchar_t wcDrive) override;
  int Init(wchar_t* pPath, wchar_t wcDrive) override;
  int ScanDevice(wchar_t*) override { return 0; }
  int GetUnUsedSectorCount(u64&, u64&) override { return 0; }
  int BuildBitMapInfo() override { return 0; }

  // The deep scan's entry points, in the order it calls them.
  int ClearProfessionalVec(wchar_t* pName);
  // The range's own boot region, when it is exFAT.
  int InitVirtualVolumes();
  // Whether the first byte of a sector can open anything TakeSector takes:
  // the deep scan's whole cost for other data.
  static bool MayTake(u8 nFirstByte) {
    return nFirstByte == 0x85 || nFirstByte == 0x05 || nFirstByte == 0x83 || nFirstByte == 0x81 || nFirstByte == 0xEB;
  }
  // True when the 512-byte sector (absolute number) is exFAT metadata and
  // was taken: a folder's entries (read on to the folder's end) or a boot
  // sector. Sectors already read as part of a folder are taken as well.
  bool TakeSector(const unsigned char* pSector, u64 u64Sector);
  // After the pass: geometry, folder tree, result store.
  int DealProfessionalRecordVec();

  const std::vector<EXFAT_VOLUME_GUESS>& GetVolumes() const { return m_vecVolumes; }

 protected:
  u32 NextChainCluster(const _FILE_NODE_& node, u32 nCluster, u32 nIndex) override;
  bool ClusterInVolume(const _FILE_NODE_& node, u32 nCluster) const override;
  u32 RootDirNumber() const override { return 0; }

 private:
  struct FOUND_SET {
    EXFAT_FILE_SET set;
    u64 u64EntrySector;   // the File entry's sector
    u64 u64StreamSector;  // the stream entry's sector (the node's record sector)
    u32 nRun;
  };
  struct FOUND_RUN {
    u64 u64First;
    u64 u64End;
    bool bRoot;
  };
  struct SEGMENT {
    u64 u64First;
    u32 nRun;
    int nVolume;
    u32 nCluster;
    bool bRoot;
    int nParentSet;       // the folder entry naming this cluster, -1 for none
    int nDepth;           // -1: not settled yet
  };

  void ParseRun(u64 u64First);
  void AddBootSector(const u8* pSector, u64 u64Sector);
  void AddVolume(const EXFAT_VOLUME_GUESS& v);
  bool ReadSectors(u64 u64Sector, u32 nCount, u8* pBuf, u32& nGot);
  void InferVolumes();
  int VolumeOfSector(u64 u64Sector, const std::vector<u32>& folderClusters) const;
  bool ClusterOf(const EXFAT_VOLUME_GUESS& v, u64 u64Sector, u32& nCluster) const;
  int SegmentDepth(size_t nSegment, std::vector<SEGMENT>& segs, const std::vector<int>& segOfSet, int nGuard);

  u64 m_u64StartSector;
  u64 m_u64SectorCount;
  u64 m_u64ParsedUpTo;  // sectors below this were read as part of a folder
  std::vector<FOUND_SET> m_vecSets;
  std::vector<FOUND_RUN> m_vecRuns;
  std::vector<EXFAT_VOLUME_GUESS> m_vecVolumes;
};

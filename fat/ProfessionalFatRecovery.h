// The deep FAT engine. It does not read the disk by itself: the deep scan
// hands it every sector that looks like a FAT directory, in ascending order.
// From these it rebuilds the geometry of FAT volumes whose boot sector and FAT
// may be gone (virtual boot records: where cluster 2 lies and how big a
// cluster is) and the folder trees of the files it finds, live and deleted.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include "fat/FatRecoveryBase.h"

// One reconstructed geometry. nRootDirSectors is the fixed FAT12/16 root
// folder just before the data area (32 sectors unless a boot sector said).
struct __VIRTUAL_DBR_INFO__ {
  u32 nSectorPerCluster;
  u32 nDataStartSector;  // counted from u64VolumeStartSector
  u64 u64VolumeStartSector;
  u32 nRootDirSectors;
};

// A folder start (absolute sector) and the cluster its "." entry names,
// kept while no virtual boot record explains it.
struct __FAT_SECTOR_OFFSET__ {
  u32 nCluster;
  u64 u64Sector;
};

// A long-name run cut off by the end of a directory buffer.
struct __LONG_FILE_INFO__ {
  u8 nCheckSum;  // 0: no run pending
  u32 nSectorPerCluster;
  u32 nVolumeStartSector;
  u32 nDataStartSector;
  u32 nCluster;
  i32 nLength;
  u64 u64Sector;
  u64 u64CutSector;  // the sector on the disk where the run was cut off
  u8 szFragment[512];
};

// A directory sector that cannot be placed yet.
struct __UNDEAL_FILE__ {
  int bDealt;
  std::vector<u8> data;  // 512 bytes
};

// A file found while no virtual boot record was known: nFileIndex holds the
// folder cluster and u64RecordSector the sector its buffer was attributed to.
struct __NO_DBR_FILE_NODE__ {
  u32 bDealt;
  _FILE_NODE_ node;
};

// A folder entry; node.nFileIndex holds the cluster of the folder containing it.
struct __PRO_DIR_INFO__ {
  _FILE_NODE_ node;
  __VIRTUAL_DBR_INFO__ dbr;
};

// A folder that must appear because a found file lies below it.
struct __PRO_NEED_ADD_DIR_INFO__ {
  __VIRTUAL_DBR_INFO__ dbr;
  u64 u64Sector;
};

// The last cluster-aligned directory sector met (nSectorPerCluster 0: none).
struct __FDT_POSITION__ {
  u32 nSectorPerCluster;
  u32 nDataStartSector;
  u32 nCluster;
  u64 u64VolumeStartSector;
  u64 u64Sector;
  u32 nRootDirSectors;
};

class CProfessionalFatRecovery : public CFatRecoveryBase {
 public:
  CProfessionalFatRecovery();
  ~CProfessionalFatRecovery() override;

  int Init(int nDiskNo, i64 u64StartSector, i64 u64SectorCount, wchar_t wcDrive) override;
  int Init(wchar_t* pPath, wchar_t wcDrive) override;
  int ScanDevice(wchar_t*) override { return 0; }
  int GetUnUsedSectorCount(u64&, u64&) override { return 0; }
  int BuildBitMapInfo() override { return 0; }

  // The deep scan's entry points, in the order it calls them.
  int ClearProfessionalVec(wchar_t* pName);
  int InitVirtualDbrInfo();
  // A sector that starts a folder ("." and ".."); sector numbers are absolute.
  int ParseFatFileRecord(const unsigned char* pBuf, u64 u64Sector);
  // Any other directory-table sector.
  int ParseFDTFileRecord(const unsigned char* pBuf, u64 u64Sector);
  // After the pass: place what could not be placed and build the tree.
  int DealProfessionalRecordVec();
  // Directory sectors a quick pass already listed (absolute [first, end)):
  // their entries are not listed again. ClearProfessionalVec forgets them.
  void AddListedDirSectors(const std::vector<std::pair<u64, u64>>& vecRuns);

  const std::vector<__VIRTUAL_DBR_INFO__>& GetVirtualDbrVec() const { return m_vecVirtualDbr; }
  u32 GetRootCluster() const { return m_nRootCluster; }
  bool HasRealDbr() const { return m_bHasRealDbr != 0; }

  // Geometry from two folder starts (c1 > c2, s1 > s2); true when a record
  // was found (appended unless an equal one is known).
  bool CalcVirtualDbr(u32 c1, u64 s1, u32 c2, u64 s2);
  const __VIRTUAL_DBR_INFO__* GetBestVirtalDbr(u64 u64Sector) const;

 protected:
  int NextDataCluster(const _FILE_NODE_& node, u32 nCluster, u32 nIndex, u32& nNext) override;
  bool DataSectorOfCluster(const _FILE_NODE_& node, u32 nCluster, u32 nIndex, u64& u64Sector) override;
  u32 RootDirNumber() const override { return 0; }

 private:
  struct BUFFER_RESULT {
    u32 nParent;     // the folder the entries were filed under
    u64 u64Sector;   // the sector the buffer was attributed to
    bool bEnded;     // an end-of-directory entry was met
  };

  bool ClusterFirstSector(const __VIRTUAL_DBR_INFO__& r, u32 nCluster, u64& u64Sector) const;
  void CalcVirtualDbrInfo(const __FAT_SECTOR_OFFSET__& p);
  const __VIRTUAL_DBR_INFO__* GetVirtualDbrInfo(u64 u64Sector, u32 nCluster) const;
  const __VIRTUAL_DBR_INFO__* GetNearestVirtualDbrInfo(u64 u64Sector, u32 nCluster) const;
  const __VIRTUAL_DBR_INFO__* PlaceAligned(u64 u64Sector, u32& nCluster) const;

  void DealFolderStart(const u8* pBuf, u32 nLen, u64 u64Sector, u32 nCluster);
  void ParseFatFDTRecord(const u8* pBuf, u32 nLen, u64 u64Sector, u32 nCluster, const __VIRTUAL_DBR_INFO__* r,
                         u64 u64ActualSector, bool bSettled);
  void CarryOver(__LONG_FILE_INFO__& info, u64 u64Sector, u32 nCluster, const __VIRTUAL_DBR_INFO__* r,
                 u64 u64ActualSector);
  bool ContinuesRun(const __LONG_FILE_INFO__& run, const u8* pSector, u64 u64Sector, bool bFromUndealMap) const;
  void AddUnDealFileMap(const u8* pBuf, u64 u64Sector);
  void DoParseFileOrAddUndelFileMap(const u8* pBuf, u64 u64Sector);
  BUFFER_RESULT DealProfessionalFatFileEntry(const u8* pBuf, u32 nLen, u64 u64Sector, u32 nCluster,
                                             __LONG_FILE_INFO__& info, const __VIRTUAL_DBR_INFO__* r,
                                             bool bSettled);
  void GetParentClusterNO(const u8* pBuf, u32 nLen, u64& u64Sector, const __VIRTUAL_DBR_INFO__* r, u32& nParent);
  int GetParentClusterNO(const __VIRTUAL_DBR_INFO__* r, u32 nCluster, u32& nParent);
  u32 GetRootParentDirIndex(const __VIRTUAL_DBR_INFO__* r, u32 nCluster);
  u32 GetDirRealHighClusterNO(const __VIRTUAL_DBR_INFO__& r, u16 nLow);
  u32 GetFileRealHighClusterNO(const __VIRTUAL_DBR_INFO__& r, u16 nLow, const char* pName);
  int IsFileDataHealth(const _FILE_NODE_& node, u32 nSectorPerCluster);
  bool IsFolderStartAt(const __VIRTUAL_DBR_INFO__& r, u32 nCluster, u8* pSector, bool bSelfCheck);
  void RecordFoldersAbove(u32 nParent, u64 u64Sector, const __VIRTUAL_DBR_INFO__* r);
  void AddFileToStore(_FILE_NODE_& node, const __VIRTUAL_DBR_INFO__& r, u32 nFolder);
  void UpdateNoDbrFileVec();
  void ParseUnDealFileMap();
  void RememberLastBuffer(u64 u64ActualSector, const BUFFER_RESULT& res, const __VIRTUAL_DBR_INFO__* r);
  bool ReadSectorAt(u64 u64Sector, u8* pBuf);

  int m_nDiskNo;
  u64 m_u64StartSector;
  u64 m_u64SectorCount;
  int m_nBytesPerSector;
  std::vector<__VIRTUAL_DBR_INFO__> m_vecVirtualDbr;
  std::vector<__FAT_SECTOR_OFFSET__> m_vecFatSectorOffset;
  std::vector<__NO_DBR_FILE_NODE__> m_vecNoDbrFile;
  std::vector<__LONG_FILE_INFO__> m_vecLongFileInfo;
  std::map<u64, __UNDEAL_FILE__> m_mapUnDealFile;
  std::map<u32, __PRO_DIR_INFO__> m_mapProDirInfo;
  std::map<u32, __PRO_NEED_ADD_DIR_INFO__> m_mapProNeedAddDirInfo;
  u32 m_nEngineType;
  int m_bHasRealDbr;
  __FDT_POSITION__ m_UnDealFdt;
  __FDT_POSITION__ m_CurFdt;
  u32 m_nRootCluster;

  // The directory sector handled last, so the next sector on the disk
  // continues the same folder when the folder had not ended.
  struct LAST_BUFFER {
    bool bValid;
    u64 u64ActualSector;
    u64 u64Sector;
    u32 nParent;
    bool bEnded;
  } m_LastBuffer;
  bool IsListedDirSector(u64 u64Sector) const;
  std::vector<std::pair<u64, u64>> m_vecListedDirSectors;
  // Folder depths under a geometry, read once from the ".." chain.
  std::map<std::pair<u64, u32>, u32> m_mapDepthCache;
};

// The quick FAT engine: reads the boot sector, walks the folder tree from the
// root through the FAT and records every deleted file, every file inside a
// deleted folder and the folders leading to them. It also supplies the
// allocation bitmap, so the deep scan reads only free clusters.
#pragma once

#include <deque>
#include <map>
#include <string>
#include <unordered_set>
#include <vector>

#include "fat/FatRecoveryBase.h"

class CFatNameAssembler;

class CFastFatRecovery : public CFatRecoveryBase {
 public:
  CFastFatRecovery();
  ~CFastFatRecovery() override;

  int Init(int nDiskNo, i64 u64StartSector, i64 u64SectorCount, wchar_t wcDrive) override;
  int Init(wchar_t* pPath, wchar_t wcDrive) override;
  int ScanDevice(wchar_t* pName) override;
  int GetUnUsedSectorCount(u64& u64StartSector, u64& u64SectorCount) override;
  int BuildBitMapInfo() override;

  int GetDeviceFileSystemType() const { return m_nIsFat32; }

  // The FAT: the entry of a cluster and the chain step after it (next = 0 at
  // the end of the chain or where the chain leaves the volume).
  int GetNextClusterNO(u32 nCluster, u32& nNext);
  int FindNextClusterNO(u32 nCluster, u32& nNext);

  // Geometry as read from the boot sector (sectors of 512 bytes, counted
  // from the volume start).
  u32 GetDataStartSector() const { return m_nDataStartSector; }
  u32 GetSectorPerCluster() const { return m_nSectorPerCluster; }
  u32 GetRootCluster() const { return m_nRootCluster; }
  u32 GetMaxCluster() const { return m_nMaxCluster; }
  int GetFatBits() const { return m_nFatBits; }
  bool IsClusterAllocated(u32 nCluster) const;
  u64 GetClusterSector(u32 nCluster) const;
  // The directory data the last scan read and listed, as absolute sector
  // runs [first, end), ascending and joined: a deeper pass need not list
  // the same entries again.
  std::vector<std::pair<u64, u64>> GetListedDirSectors() const;

 protected:
  int NextDataCluster(const _FILE_NODE_& node, u32 nCluster, u32 nIndex, u32& nNext) override;
  bool DataSectorOfCluster(const _FILE_NODE_& node, u32 nCluster, u32 nIndex, u64& u64Sector) override;
  u32 RootDirNumber() const override { return m_nRootCluster; }

 private:
  struct DIR_INFO {
    _FILE_NODE_ node;
    u32 nParentCluster;
    u32 nDepth;
  };
  enum WalkStep { WALK_GO_ON, WALK_END };

  int LoadBootSector();
  int LoadGeometry();
  int ReadFatWindow(u64 u64EntryOffset);
  int InitDirInfo(u32 nCluster);
  // Reads folder sectors and hands each readable run to DealDirBuffer; an
  // unreadable sector is stepped over. *pUnreadable: whether one was met.
  WalkStep ReadAndDealDir(std::vector<u8>& buf, u32 nSectors, u64 u64FirstSector, u32 nDirCluster, bool bDirDeleted,
                          class CFatNameAssembler& assembler, bool* pAllUnreadable);
  WalkStep DealDirBuffer(const u8* pBuf, u32 nLen, u64 u64FirstSector, u32 nDirCluster, bool bDirDeleted,
                         CFatNameAssembler& assembler);
  void RecordFile(const u8* pEntry, const std::string& name, u64 u64Sector, u32 nDirCluster);
  void RecordDir(const u8* pEntry, const std::string& name, u64 u64Sector, u32 nDirCluster, bool bDirDeleted);
  void FillNode(_FILE_NODE_& node, const u8* pEntry, const std::string& name, u64 u64Sector) const;
  void AddLostDirChain(u32 nDirCluster);
  u32 GetDirDepth(u32 nCluster) const;
  u32 GetDirRealHighClusterNO(u16 nLow);
  u32 GetFileRealHighClusterNO(u16 nLow, const char* pName);
  int IsFileDataHealth(const _FILE_NODE_& node, u32 nSectorPerCluster);
  bool IsDotDirStart(const u8* pBuf, u32 nLen) const;
  int ReportProgress(int nProgress, int nRemain);

  u64 m_u64StartSector;
  u64 m_u64SectorCount;
  int m_nBytesPerSector;
  u8 m_szDBR[4096];
  u32 m_nDataStartSector;
  u32 m_nSectorPerCluster;
  u32 m_nRootCluster;
  int m_nIsFat32;
  u32 m_nBitMapBytes;
  std::vector<u8> m_pBitMap;
  u64 m_u64FatStartSector;
  u32 m_nFatCacheFirstSector;
  u32 m_nFatCacheSize;
  std::vector<u8> m_pFatCache;
  u32 m_nFatCacheBytes;  // bytes of the window that hold FAT data
  u32 m_nEngineType;

  // Derived geometry, all in 512-byte sectors.
  int m_nFatBits;             // 12, 16 or 32
  u32 m_nFatSectors;          // sectors of one FAT
  u32 m_nFatCopies = 1;       // FATs on the volume (the second stands in for a bad sector of the first)
  u32 m_nRootDirSectors;      // FAT12/16 fixed root folder
  u32 m_nMaxCluster;          // the highest cluster of the data area
  bool m_bGeometryOk;

  std::deque<u32> m_dequeDirCluster;
  std::map<u32, DIR_INFO> m_mapDirInfo;
  std::vector<u32> m_vecLostDirCluster;
  std::unordered_set<u32> m_setLostDirCluster;
  std::unordered_set<u32> m_setWalkedCluster;
  std::unordered_set<u32> m_setWalkedDir;
  std::vector<std::pair<u64, u64>> m_vecListedDirSectors;  // as read, [first, end)
  std::unordered_set<u32> m_setBackTargets;  // loop detection while copying one file
};

// The quick NTFS engine: follows the MFT's own runlist, reads the whole MFT
// in large chunks and turns every deleted file record into a found file, then
// visits the folders those files lived in to rebuild the tree (folders that
// are gone become "LostFolder%d" under the root). It also serves the volume's
// cluster bitmap so the deep scan can skip allocated space.
#pragma once

#include <deque>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "engine/DiskReader.h"
#include "store/StoredEngine.h"
#include "ntfs/NtfsFileData.h"
#include "ntfs/NtfsParse.h"

class CScanResultFileManager;

class CFastNtfsRecovery : public CStoredEngine, protected CNtfsFileData {
 public:
  CFastNtfsRecovery();
  ~CFastNtfsRecovery() override;
  CFastNtfsRecovery(const CFastNtfsRecovery&) = delete;
  CFastNtfsRecovery& operator=(const CFastNtfsRecovery&) = delete;

  int Init(int nDiskNo, i64 u64StartSector, i64 u64SectorCount, wchar_t wcDrive) override;
  int Init(wchar_t* pPath, wchar_t wcDrive) override;
  int ScanDevice(wchar_t* pName) override;
  int GetUnUsedSectorCount(u64& u64StartSector, u64& u64SectorCount) override;
  int CopyFileData(_FILE_NODE_* pNode, IRecoverySink& sink) override { return DoCopyFileData(pNode, sink); }
  int BuildBitMapInfo() override;

  // Runlist of the first attribute of nAttrType in the record at that
  // absolute sector (of the named stream u64StreamKey when not 0),
  // following an attribute list; 0 or a status.
  int GetRunListInfo(i64 u64RecordSector, int nAttrType, std::vector<__RUNLIST__>& out, u64 u64StreamKey = 0);
  // Reads 8192 bytes at the sector of record nRecordNO; 0 or a status.
  int GetFileRecordBuf(unsigned int nRecordNO, unsigned char* pBuf);
  // Real size of the data attribute of the record at that sector.
  int GetBitMapRealBytesSize(i64 u64RecordSector, u64& u64Size);
  int GetAttr0x80Data(i64 u64RecordSector, unsigned char* pBuf, unsigned int& nLen);
  int IsFileDataHealth(_FILE_NODE_* pNode, unsigned int nSectorPerCluster);
  // The directories met while walking parents, in first-seen order.
  const std::vector<u32>& GetDirIndexList() const { return m_vecDirIndex; }
  // The depth at which a file whose parent is nDirNO hangs (0 in the root);
  // collects the directories on the way.
  int GetRootParentDirIndex(u32 nDirNO, u32& nDepth);

  // Test and tooling access.
  u64 GetStartSector() const { return m_u64StartSector; }
  u64 GetSectorCount() const { return m_u64SectorCount; }
  u64 GetMftStartSector() const { return m_u64MftStartSector; }
  int GetSectorPerCluster() const { return m_nSectorPerCluster; }
  const std::vector<__RUNLIST__>& GetMftRunList() const { return m_vecMftRunList; }
  CScanResultFileManager* GetStore() const { return m_pScanResultFileManager.get(); }
  const std::string& GetResultSetName() const { return m_strResultSetName; }

 protected:
  CScanResultFileManager* Store() const override { return m_pScanResultFileManager.get(); }
  u32 RootDirNumber() const override { return NTFS_ROOT_RECORD; }
  int LookupResidentData(_FILE_NODE_* pNode, unsigned char* pBuf, unsigned int& nLen) override;
  int LookupDataRunList(_FILE_NODE_* pNode, std::vector<__RUNLIST__>& vecRuns) override;
  int LookupHealthRunList(_FILE_NODE_* pNode, std::vector<__RUNLIST__>& vecRuns) override;
  int ReadVolumeRecord(u64 u64BaseSector, u32 nBaseRecordNO, u32 nRecordNO, unsigned char* pBuf) override;

 private:
  struct DIR_RECORD_STATE {
    int nStatus;     // 0 read and a directory; -1 unreadable or no record; 1 not a directory
    u32 nParentNO;
    bool bHasParent;
  };

  int InitGeometry(const unsigned char* pBoot, size_t nBootLen);
  int LoadVolumeStart();
  int FastScanDevice();
  int ReadFileAndParseRecordInfo(u64 u64Sector, u32 nSectorCount, u64 u64FirstRecordNO);
  int ParseRecordInfo(unsigned char* pRecord, int nMode, u32 nRecordNO, u64 u64RecordSector);
  void AddLostFolder(u32 nRecordNO, u32 bHealth);
  void AddDirIndex(u32 nDirNO);
  const DIR_RECORD_STATE& GetDirRecordState(u32 nDirNO);
  u64 RecordSectorOf(u32 nRecordNO);
  int ReportProgress(int nProgress);

  u64 m_u64StartSector;
  u64 m_u64SectorCount;
  u64 m_u64MftStartSector;
  wchar_t m_wcDrive;
  i32 m_nSectorPerFileRecord;
  i32 m_nSectorPerCluster;
  u32 m_nRecordBufSize;
  std::unique_ptr<unsigned char[]> m_pRecordBuf;
  u64 m_u64BitMapBytes;
  std::unique_ptr<unsigned char[]> m_pBitMap;
  u32 m_nEngineType;
  std::vector<__RUNLIST__> m_vecMftRunList;
  std::vector<u32> m_vecDirIndex;
  std::unordered_set<u32> m_setDirIndex;
  std::unordered_map<u32, DIR_RECORD_STATE> m_mapDirState;
  std::unique_ptr<CScanResultFileManager> m_pScanResultFileManager;
  std::string m_strResultSetName;
  // Progress of the running scan.
  u32 m_nStartTick;
  u32 m_nLastEstimateTick;
  u64 m_u64TotalSectors;
  u64 m_u64DoneSectors;
  int m_nRemainSeconds;
};

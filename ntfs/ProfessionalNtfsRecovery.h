// The deep NTFS engine. It walks no MFT: the deep scan hands it every sector
// that starts a file record, wherever it lies (the live MFT, an old MFT of a
// reformatted volume, a copy). From such stray records it works out which
// volume each belongs to, where that volume starts and how large its clusters
// are, lists files deleted or not, and after the pass reads the folders they
// name to rebuild the tree ("LostFolder%d" for folders that cannot be read).
#pragma once

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

// One folder to visit after the pass.
struct __SPECIAL_RECOVERY_DIR__ {
  u32 nRecordNO;
  u32 nSectorPerCluster;
  u64 u64PartitionStartSector;
  // A known MFT's runs, or one run of length 0 whose offset is the MFT's
  // assumed first cluster (contiguous from there).
  std::vector<__RUNLIST__> vecMftRunList;
};

class CProfessionalNtfsRecovery : public CStoredEngine, protected CNtfsFileData {
 public:
  CProfessionalNtfsRecovery();
  ~CProfessionalNtfsRecovery() override;
  CProfessionalNtfsRecovery(const CProfessionalNtfsRecovery&) = delete;
  CProfessionalNtfsRecovery& operator=(const CProfessionalNtfsRecovery&) = delete;

  int Init(int nDiskNo, i64 u64StartSector, i64 u64SectorCount, wchar_t wcDrive) override;
  int Init(wchar_t* pPath, wchar_t wcDrive) override;
  int ScanDevice(wchar_t*) override { return 0; }
  int GetUnUsedSectorCount(u64&, u64&) override { return 0; }
  int CopyFileData(_FILE_NODE_* pNode, IRecoverySink& sink) override { return DoCopyFileData(pNode, sink); }
  int BuildBitMapInfo() override { return 0; }

  // Starts a new result set (null or empty name) or reopens a past one.
  void InitProfessionalScan(wchar_t* pName);
  // One record (1024 bytes, not yet fixed up; the caller's bytes are not
  // changed) found at absolute sector u64Sector during the pass.
  int ParseNtfsFileRecord(unsigned char* pRecord, u64 u64Sector);
  // The directory pass, after the sector pass.
  int ParseProfessionalRecordVec();

  // Runs of the first attribute of nAttrType (the unnamed one preferred, or
  // the named stream u64StreamKey when not 0) in the record at that absolute
  // sector: 0, -1 (no record), -100 (none), or a read status.
  int GetRunListInfo(u64 u64RecordSector, int nAttrType, std::vector<__RUNLIST__>& out, u64 u64StreamKey = 0);
  int GetFileNodeRunListInfo(_FILE_NODE_* pNode, int nAttrType, std::vector<__RUNLIST__>& out);
  int GetFileNodeAttr0x80Data(_FILE_NODE_* pNode, unsigned char* pBuf, unsigned int& nLen);
  int IsFileDataHealth(_FILE_NODE_* pNode, unsigned int nSectorPerCluster);

  // Learns the cluster size from a fixed-up record's first data attribute
  // (allocated bytes / clusters); 0, or 87 for a record that cannot tell.
  int GetFileRecordSectorPerClusterByRecordBuf(const unsigned char* pRecord, i32& nSectorPerCluster);
  // Volume start for record nRecordNO found at u64Sector; fills the MFT runs
  // and cluster size to place its relatives with.
  u64 GetSpecialFileRecordPartitionStartSector(u64 u64Sector, u32 nRecordNO, u32& nSectorPerCluster,
                                               std::vector<__RUNLIST__>& vecRuns);

  // Test and tooling access.
  int GetSectorPerCluster() const { return m_nSectorPerCluster; }
  const std::map<u64, std::vector<__RUNLIST__>>& GetMftRunListMap() const { return m_mapMftRunList; }
  const std::vector<__SPECIAL_RECOVERY_DIR__>& GetSpecialDirList() const { return m_vecSpecialDir; }
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
    int nStatus;  // 0 parsed; -1 unreadable or not a record; 87 damaged
    bool bIsDir;
    u32 nOwnNO;
    bool bHasParent;
    u32 nParentNO;
  };

  int ParseProfessionalRecordInfo(unsigned char* pRecord, u64 u64Sector, int nMode, u32 nRecordNO);
  int GetProfessionalRootParentDirIndex(u32 nDirNO, u64 u64VolumeStart, u32 nSectorPerCluster,
                                        const std::vector<__RUNLIST__>& vecRuns, u32& nDepth);
  const DIR_RECORD_STATE& GetDirRecordState(u64 u64Sector);
  // The known MFT that places record nRecordNO exactly at u64Sector.
  const std::vector<__RUNLIST__>* FindKnownMft(u64 u64Sector, u32 nRecordNO, u64& u64VolumeStart,
                                               u32& nSectorPerCluster);
  void RegisterMft(const unsigned char* pRecord, u64 u64Sector, i32 nBootSectorPerCluster);
  void AddLostFolder(u32 nRecordNO);
  int ReadRecordAt(u64 u64Sector, unsigned char* pBuf);
  int LoadVolumeStart();

  int m_nDiskNo;
  u64 m_u64StartSector;
  u64 m_u64SectorCount;
  wchar_t m_wcDrive;
  i32 m_nSectorPerFileRecord;
  std::vector<__SPECIAL_RECOVERY_DIR__> m_vecSpecialDir;
  std::unordered_set<u32> m_setSpecialDir;
  std::unique_ptr<CScanResultFileManager> m_pScanResultFileManager;
  std::string m_strResultSetName;
  u32 m_nEngineType;
  std::map<u64, std::vector<__RUNLIST__>> m_mapMftRunList;
  std::map<u64, u32> m_mapMftSectorPerCluster;  // cluster size each known MFT was found with
  i32 m_nSectorPerCluster;
  std::unordered_map<u64, DIR_RECORD_STATE> m_mapDirState;  // by absolute sector, then number checked
};

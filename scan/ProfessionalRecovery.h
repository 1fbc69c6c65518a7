// The deep scan: one engine over a disk range that runs the quick pre-pass,
// then reads every free sector once and offers it to the deep NTFS record
// parser, the deep FAT directory parser or the carver, then rebuilds folder
// trees and records the scan so it can be resumed.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "engine/DiskReader.h"
#include "engine/IFileRecoveryParse.h"
#include "store/LogFileManager.h"

class CProfessionalFatRecovery;
class CProfessionalNtfsRecovery;
class CFileTypeRecovery;

class CProfessionalRecovery : public IFileRecoveryParse {
 public:
  CProfessionalRecovery();
  ~CProfessionalRecovery() override;

  int Init(int nDiskNo, i64 u64StartSector, i64 u64SectorCount, wchar_t wcDrive) override;
  int Init(wchar_t* pPath, wchar_t wcDrive) override;
  int InitCallBack(SCAN_PROGRESS_CALLBACK pScan, RECOVERY_CALLBACK pRecovery, void* param, int nPercent) override;
  int ScanDevice(wchar_t* pName) override;
  int GetChildrenFileNode(_FILE_NODE_* pParent, unsigned int nLevel, FILE_NODE_VECTOR& out) override;
  int GetChildrenFileCount(_FILE_NODE_* pParent, unsigned int nLevel, unsigned int& nCount) override;
  int GetLostFileCount() override;
  int GetFileNodeParentDirPath(_FILE_NODE_* pNode, wchar_t* pPath, int nLen) override;
  int SaveFileData(_FILE_NODE_* pNode, wchar_t* pTargetPath, int nRootDirIndex) override;
  int GetUnUsedSectorCount(u64&, u64&) override { return 0; }
  int InitSearchCallBack(SEARCH_CALLBACK pSearch, void* param) override;
  int SearchFileNode(wchar_t* pKey, SEARCH_FILE_INFO_VECTOR& out) override;
  int BuildBitMapInfo() override { return 0; }
  int PreView(_FILE_NODE_* pNode, wchar_t* pTempPath, unsigned char* pBuf, int& nLen, PREVIEW_CALLBACK pCallback,
              void* param) override;
  int CopyFileData(_FILE_NODE_* pNode, IRecoverySink& sink) override;
  u32 FolderChildLevel(const _FILE_NODE_& folder, u32 nGuess) override;

  // 1 when Init found a recorded scan of the same range (it can be resumed).
  int IsFindLogFile() const { return m_bFindLogFile ? 1 : 0; }
  // Forget the recorded scan (and delete its folder): the next scan starts afresh.
  void SetNotLoadLogFile();

  int ParseProfessionalFileInfo(unsigned char* pBuf, int nBytes, u64 u64FirstSector, u64 u64Done, u64 u64Total,
                                int nRemainSeconds, i64& nSkip, u64& u64Found);
  void GetFileDataStartSectorMap(const _FILE_NODE_& node, std::map<u64, std::string>& map);
  // Absolute first sector of a node's data on the disk; 0 when unknown.
  u64 GetFileDataStartSector(const _FILE_NODE_& node);

  IFileRecoveryParse* GetFastEngine() const { return m_pFastEngine; }
  int GetDiskNo() const { return m_nDiskNo; }

 private:
  IFileRecoveryParse* RouteEngine(u32 nEngineType);
  // One chunk of the pass under the fault guard; false when a fault abandoned it.
  bool GuardedParse(unsigned char* pBuf, int nBytes, u64 u64FirstSector, u64 u64Done, u64 u64Total,
                    int nRemainSeconds, i64& nSkip);

  int m_nFd;
  wchar_t m_wcDrive;
  int m_nSectorSize;
  int m_nDiskNo;
  i64 m_u64StartSector;
  i64 m_u64SectorCount;
  CDiskReader m_diskReader;
  std::unique_ptr<CProfessionalFatRecovery> m_pFatEngine;
  std::unique_ptr<CProfessionalNtfsRecovery> m_pNtfsEngine;
  std::unique_ptr<CFileTypeRecovery> m_pFileTypeEngine;
  IFileRecoveryParse* m_pFastEngine;
  SCAN_PROGRESS_CALLBACK m_pScanCallBack;
  RECOVERY_CALLBACK m_pRecoveryCallBack;
  void* m_pParam;
  int m_nPercent;
  SEARCH_CALLBACK m_pSearchCallBack;
  void* m_pSearchParam;
  bool m_bFindLogFile;
  _LOG_FILE_INFO_ m_logInfo;
  std::string m_strScanPath;
};

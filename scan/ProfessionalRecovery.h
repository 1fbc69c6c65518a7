// The deep scan: one engine over a disk range that runs the quick pre-pass of
// every file system in it (each partition of a whole disk with its own
// engine and geometry), then reads every free sector once (the free space of
// each partition and the gaps between them) and offers it to the deep NTFS
// record parser, the deep FAT or exFAT directory parser or the carver, then rebuilds
// folder trees and records the scan so it can be resumed. Unreadable
// sectors are stepped over, never the end of a pass.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "carve/FileTypeRecovery.h"
#include "engine/BadSectorMap.h"
#include "engine/DiskReader.h"
#include "engine/IFileRecoveryParse.h"
#include "store/LogFileManager.h"

class CProfessionalFatRecovery;
class CProfessionalExfatRecovery;
class CProfessionalNtfsRecovery;
class CFileTypeRecovery;
class CReadAhead;

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
  // File-system results, then carved ones not already listed by a file system.
  int SearchFileNode(wchar_t* pKey, SEARCH_FILE_INFO_VECTOR& out) override;
  int SearchFileNodeEach(wchar_t* pKey, const SEARCH_VISIT& visit) override;
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
  // Absolute first sector of a node's data on the disk; 0 when unknown.
  u64 GetFileDataStartSector(const _FILE_NODE_& node);

  // The quick engine of the first file system in the range (null when none).
  IFileRecoveryParse* GetFastEngine() const { return m_vecQuick.empty() ? nullptr : m_vecQuick[0].pEngine; }
  int GetDiskNo() const { return m_nDiskNo; }
  // The carving engine (what its files said about themselves lives beside its results).
  CFileTypeRecovery* GetFileTypeEngine() const { return m_pFileTypeEngine.get(); }
  // Why a recorded scan of the range was not resumed ("" when none was found).
  const std::string& GetResumeMismatch() const { return m_strResumeMismatch; }
  // Sectors the disk could not give so far (the deep pass and its quick passes).
  // Every sector known unreadable, whether the pass or a look-ahead met it.
  u64 GetUnreadableSectorCount() const { return m_badMap.Count(); }
  const CBadSectorMap& GetBadSectorMap() const { return m_badMap; }
  // The first quick pass that failed (0 when all ran); the deep pass runs anyway.
  int GetQuickStatus() const { return m_nQuickStatus; }
  // How many file systems got their own quick pass.
  size_t GetQuickPartCount() const { return m_vecQuick.size(); }

 private:
  // One file system of the range with its own quick engine (null when none
  // fits it: the part is then read whole by the deep pass).
  struct QUICK_PART {
    IFileRecoveryParse* pEngine;
    u64 u64Start;  // absolute
    u64 u64Count;
    bool bBitmap;  // its free space is known
  };
  // A stretch of the range the deep pass reads, relative to the range start.
  struct EXTENT {
    u64 u64Start;
    u64 u64Count;
  };

  IFileRecoveryParse* RouteEngine(u32 nEngineType, u64 u64VolumeStart = 0);
  // The quick passes' allocation bitmaps, for the two-piece search.
  class CQuickInUse : public IInUseMap {
   public:
    explicit CQuickInUse(const std::vector<QUICK_PART>& parts) : m_parts(parts) {}
    bool AllInUse(u64 u64FirstSector, u64 u64SectorCount) const override;

   private:
    const std::vector<QUICK_PART>& m_parts;
  };
  std::vector<CFileTypeRecovery::CLUSTER_AREA> ClusterAreas() const;
  void BuildQuickParts();
  // Loads a GNU ddrescue mapfile beside an image: areas never read are holes.
  void LoadImageMap(const std::string& path);
  void ClearQuickParts();
  // The first stretch at or after relative sector from that the deep pass reads.
  bool NextExtent(u64 u64From, EXTENT& out);
  static int QuickProgress(void* param, int nProgress, int nPercent, int nRemain, u64 u64Cur, u64 u64Count,
                           u64 u64Found, wchar_t* pName);
  static int QuickRecovery(void* param, int nProgress, int nPercent, int nErrorCode, wchar_t* pName);
  // Reads and parses one stretch of sectors [first, first + count) relative to
  // the range; false when the user stopped it (status set, position kept).
  bool PassStretch(u64 u64First, u64 u64Count, bool bMaySkip, std::vector<unsigned char>& buffer, u64& u64Pos,
                   u64& u64Done, u64 u64Total, int& nStatus, std::vector<SECTOR_RANGE>* pDeferred);
  // One chunk of the pass under the fault guard; false when a fault abandoned it.
  bool GuardedParse(unsigned char* pBuf, int nBytes, u64 u64FirstSector, u64 u64Done, u64 u64Total,
                    int nRemainSeconds, i64& nSkip);

  wchar_t m_wcDrive;
  int m_nSectorSize;
  int m_nDiskNo;
  i64 m_u64StartSector;
  i64 m_u64SectorCount;
  CDiskReader m_diskReader;
  std::unique_ptr<CProfessionalFatRecovery> m_pFatEngine;
  std::unique_ptr<CProfessionalExfatRecovery> m_pExfatEngine;
  std::unique_ptr<CProfessionalNtfsRecovery> m_pNtfsEngine;
  std::unique_ptr<CFileTypeRecovery> m_pFileTypeEngine;
  std::vector<QUICK_PART> m_vecQuick;
  CQuickInUse m_quickInUse{m_vecQuick};
  CBadSectorMap m_badMap;
  u64 m_u64Unreadable;
  int m_nQuickStatus;
  bool m_bStopped;
  std::string m_strResumeMismatch;
  // Progress of the running pass, for the estimate.
  u32 m_nStartTick;
  u32 m_nLastEstimate;
  int m_nRemainSeconds;
  u64 m_u64DoneAtStart;
  SCAN_PROGRESS_CALLBACK m_pScanCallBack;
  RECOVERY_CALLBACK m_pRecoveryCallBack;
  void* m_pParam;
  int m_nPercent;
  SEARCH_CALLBACK m_pSearchCallBack;
  void* m_pSearchParam;
  bool m_bFindLogFile;
  _LOG_FILE_INFO_ m_logInfo;
  std::string m_strScanPath;
  // The deep pass's second thread (null with one thread), and whether a
  // sector of zeros is left alone by every parser.
  std::unique_ptr<CReadAhead> m_pReadAhead;
  bool m_bZeroSectorInert = false;
};

// The carving engine: files found by their contents alone. The deep scan
// offers it every sector no file-system engine claims; it recognises file
// starts, measures the files, records them in one flat list and later
// previews and saves them.
#pragma once

#include <memory>
#include <string>

#include "carve/Bifragment.h"
#include "carve/FileTypeJudge.h"
#include "carve/Mp4Rebuild.h"
#include "carve/PendingChecks.h"
#include "engine/DiskReader.h"
#include "store/ResultMetaFile.h"
#include "store/StoredEngine.h"

class CFileTypeRecovery : public CStoredEngine {
 public:
  CFileTypeRecovery();
  ~CFileTypeRecovery() override;
  CFileTypeRecovery(const CFileTypeRecovery&) = delete;
  CFileTypeRecovery& operator=(const CFileTypeRecovery&) = delete;

  int Init(int nDiskNo, i64 u64StartSector, i64 u64SectorCount, wchar_t wcDrive) override;
  // A device node or disk image: the sector count comes from its size.
  int Init(wchar_t* pPath, wchar_t wcDrive) override;
  int InitCallBack(SCAN_PROGRESS_CALLBACK pScan, RECOVERY_CALLBACK pRecovery, void* param, int nPercent) override;
  int ScanDevice(wchar_t* pName) override;
  int GetChildrenFileNode(_FILE_NODE_* pParent, unsigned int nLevel, FILE_NODE_VECTOR& out) override;
  int GetChildrenFileCount(_FILE_NODE_* pParent, unsigned int nLevel, unsigned int& nCount) override;
  int GetFileNodeParentDirPath(_FILE_NODE_* pNode, wchar_t* pPath, int nLen) override;
  int GetUnUsedSectorCount(u64& u64StartSector, u64& u64SectorCount) override;
  int BuildBitMapInfo() override;
  int CopyFileData(_FILE_NODE_* pNode, IRecoverySink& sink) override;

  // Reopens the carving result set of a past scan.
  int InitLogFile(wchar_t* pStoreName, wchar_t wcDrive, int nDiskNo, int nBytesPerSector, u64 u64SectorLimit);
  int InitLogFile(wchar_t* pStoreName, wchar_t wcDrive, wchar_t* pPath, int nBytesPerSector, u64 u64SectorLimit);

  // One sector of the deep pass (ascending order). 0 when a file was carved
  // (u64SkipSectors = sectors to skip, u64FileCount + 1), 87 when nothing
  // carvable starts here, -9527 when the user cancelled the measurement.
  int ParseFileBuf(unsigned char* pBuf, int nLen, u64 u64Sector, u64 u64ScanSectorCount,
                   u64 u64SectorTotalCount, int nRemaidSecond, CDiskReader* pReader, int nBytesPerSector,
                   u64& u64SkipSectors, u64& u64FileCount);

  // The name a new result set gets: "File_Type_<first sector>_<y><m><d><h><%2d minute>".
  static std::wstring MakeStoreName(u64 u64FirstSector);
  CScanResultFileManager* GetStore() { return m_pResultFileManager; }
  // What the carved files said about themselves, by file index (0 or a status).
  int LoadMetadata(RESULT_META_MAP& out);
  // The side file of that, written out to its last record ("" without a store).
  std::string MetadataPath();
  u64 GetStartSector() const { return m_u64StartSector; }
  u64 GetSectorCount() const { return m_u64SectorCount; }
  // Bounds of the two-piece search. A cluster size given here holds for the
  // whole range; 0 leaves it to the areas below.
  void SetBifragmentLimits(const BIFRAG_LIMITS& limits) { m_bifragLimits = limits; }
  // The file systems' cluster sizes by area (absolute sectors): a file that
  // starts in one is looked for in two pieces cluster by cluster.
  struct CLUSTER_AREA {
    u64 u64FirstSector;
    u64 u64SectorCount;
    u32 nClusterBytes;
  };
  void SetClusterAreas(const std::vector<CLUSTER_AREA>& areas) { m_clusterAreas = areas; }
  // Checks put off during the pass are made on a thread of their own from
  // here on, until FinishPendingChecks (which waits for them, or leaves them
  // to the listing when bDrain is false).
  void StartPendingChecks(int nBytesPerSector);
  void FinishPendingChecks(bool bDrain);

 private:
  CScanResultFileManager* Store() const override { return m_pResultFileManager; }
  // A picture too large to decode during the pass is decoded when listed.
  void ResolvePendingCheck(_FILE_NODE_& node) override;
  static void ResolveCheck(CDiskReader& reader, int nBytesPerSector, _FILE_NODE_& node);
  int NewStore(const std::wstring& name);
  // A check that failed on a type with a two-piece search: the pieces when
  // the file reassembled from them checks whole.
  // pieces.nIntegrity: what the pieces earn (a video whose cut is not
  // pinned down to one cluster boundary is not verified).
  bool FindSecondPiece(CDiskReader* pReader, EXTEND_NAME_TYPE type, u64 u64Sector, u64 u64Size, u8 nIntegrity,
                       u8 nFlags, const BIFRAG_LIMITS& limits, BIFRAG_PIECES& pieces);
  void KeepMetadata(u32 nFileIndex, u64 u64Sector, const CARVE_METADATA& meta);

  wchar_t m_wcDrive;
  u64 m_u64StartSector;
  u64 m_u64SectorCount;
  int m_nBytesPerSector;
  CDiskReader m_DiskReader;
  CFileTypeJudge m_FileTypeJudge;
  CScanResultFileManager* m_pResultFileManager;
  // The sectors of the files carved so far: no continuation is taken from them.
  std::vector<BIFRAG_RANGE> m_carved;
  BIFRAG_LIMITS m_bifragLimits;
  std::vector<CLUSTER_AREA> m_clusterAreas;
  CResultMetaFile m_MetaFile;
  std::unique_ptr<CPendingChecks> m_pPending;
};

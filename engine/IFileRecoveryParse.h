// The one interface behind which every way of finding files sits. The slot
// order is fixed: callers rely on it.
#pragma once

#include <functional>

#include "engine/RecoverySink.h"
#include "engine/Types.h"

class IFileRecoveryParse {
 public:
  virtual int Init(int nDiskNo, i64 u64StartSector, i64 u64SectorCount, wchar_t wcDrive) = 0;   // 0
  virtual int Init(wchar_t* pPath, wchar_t wcDrive) = 0;                                          // 1
  virtual int InitCallBack(SCAN_PROGRESS_CALLBACK pScan, RECOVERY_CALLBACK pRecovery, void* param,
                           int nPercent) = 0;                                                      // 2
  virtual int ScanDevice(wchar_t* pName) = 0;                                                     // 3
  virtual int GetChildrenFileNode(_FILE_NODE_* pParent, unsigned int nLevel,
                                  FILE_NODE_VECTOR& out) = 0;                                     // 4
  virtual int GetChildrenFileCount(_FILE_NODE_* pParent, unsigned int nLevel,
                                   unsigned int& nCount) = 0;                                     // 5
  virtual int GetLostFileCount() = 0;                                                             // 6
  virtual int GetFileNodeParentDirPath(_FILE_NODE_* pNode, wchar_t* pPath, int nLen) = 0;        // 7
  virtual int SaveFileData(_FILE_NODE_* pNode, wchar_t* pTargetPath, int nRootDirIndex) = 0;      // 8
  virtual int GetUnUsedSectorCount(u64& u64StartSector, u64& u64SectorCount) = 0;                // 9
  virtual int InitSearchCallBack(SEARCH_CALLBACK pSearch, void* param) = 0;                       // 10
  virtual int SearchFileNode(wchar_t* pKey, SEARCH_FILE_INFO_VECTOR& out) = 0;                    // 11
  virtual int BuildBitMapInfo() = 0;                                                              // 12
  virtual int PreView(_FILE_NODE_* pNode, wchar_t* pTempPath, unsigned char* pBuf, int& nLen,
                      PREVIEW_CALLBACK pCallback, void* param) = 0;                               // 13
  virtual ~IFileRecoveryParse() {}                                                                // 14, 15

  // ---- After the fixed slots ----
  // Copies a file's bytes (never a folder's) into the sink from its first
  // byte, until the file or the sink's wants end: 0, a status, or the sink's
  // answer. Unreadable sectors go to the sink as such, never end the copy.
  virtual int CopyFileData(_FILE_NODE_* pNode, IRecoverySink& sink) {
    (void)pNode;
    (void)sink;
    return STATUS_NOT_SUPPORTED;
  }
  // The level under which a folder's children are filed; nGuess when the
  // engine keeps no better answer.
  virtual u32 FolderChildLevel(const _FILE_NODE_& folder, u32 nGuess) {
    (void)folder;
    return nGuess;
  }
  // The hits SearchFileNode would give, handed one at a time and unsorted, so
  // a listing never holds them all; visit answers false to stop. 0 or a status.
  typedef std::function<bool(__SEARCH_FILE_INFO__& hit)> SEARCH_VISIT;
  virtual int SearchFileNodeEach(wchar_t* pKey, const SEARCH_VISIT& visit) {
    SEARCH_FILE_INFO_VECTOR hits;
    int status = SearchFileNode(pKey, hits);
    for (__SEARCH_FILE_INFO__& hit : hits)
      if (!visit(hit)) break;
    return status;
  }
};

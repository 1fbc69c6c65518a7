// What every engine that keeps its finds in a result store shares: browsing
// and searching the store, the callbacks, and saving and previewing through
// the one writer of recovered files. An engine supplies its store, its root
// folder number and CopyFileData; it answers everything else the same way.
#pragma once

#include <mutex>
#include <unordered_map>

#include "engine/IFileRecoveryParse.h"
#include "store/ScanResultFileManager.h"

class CStoredEngine : public IFileRecoveryParse {
 public:
  int InitCallBack(SCAN_PROGRESS_CALLBACK pScan, RECOVERY_CALLBACK pRecovery, void* param, int nPercent) override;
  int GetChildrenFileNode(_FILE_NODE_* pParent, unsigned int nLevel, FILE_NODE_VECTOR& out) override;
  int GetChildrenFileCount(_FILE_NODE_* pParent, unsigned int nLevel, unsigned int& nCount) override;
  int GetLostFileCount() override;
  int GetFileNodeParentDirPath(_FILE_NODE_* pNode, wchar_t* pPath, int nLen) override;
  int SaveFileData(_FILE_NODE_* pNode, wchar_t* pTargetPath, int nRootDirIndex) override;
  int InitSearchCallBack(SEARCH_CALLBACK pSearch, void* param) override;
  int SearchFileNode(wchar_t* pKey, SEARCH_FILE_INFO_VECTOR& out) override;
  int SearchFileNodeEach(wchar_t* pKey, const SEARCH_VISIT& visit) override;
  int PreView(_FILE_NODE_* pNode, wchar_t* pTempPath, unsigned char* pBuf, int& nLen, PREVIEW_CALLBACK pCallback,
              void* param) override;
  // From the store: one below the key the folder is filed under, else the
  // key that holds the folder's number, else the guess.
  u32 FolderChildLevel(const _FILE_NODE_& folder, u32 nGuess) override;

 protected:
  CStoredEngine() = default;
  // The engine's result store; null before a scan made or reopened one.
  virtual CScanResultFileManager* Store() const = 0;
  // The directory number a null parent (or a parent numbered 0) stands for.
  virtual u32 RootDirNumber() const { return 0; }
  // A result whose content check was put off (RESULT_FLAG_CHECK_PENDING)
  // gets its verdict here when it is listed or found by a search: the engine
  // sets nIntegrity and nResultFlags (clearing the pending flag).
  virtual void ResolvePendingCheck(_FILE_NODE_& node) { (void)node; }
  // A verdict worked out ahead of the listing (on any thread) for the result
  // `node` describes: the listing takes it instead of checking again.
  void KeepResolved(const _FILE_NODE_& node, u8 nIntegrity, u8 nResultFlags);

  SCAN_PROGRESS_CALLBACK m_pScanCallBack = nullptr;
  RECOVERY_CALLBACK m_pRecoveryCallBack = nullptr;
  void* m_pCallBackParam = nullptr;
  int m_nPercent = 0;
  SEARCH_CALLBACK m_pSearchCallBack = nullptr;
  void* m_pSearchParam = nullptr;

 private:
  // Verdicts of checks already run, by result number (the sector and size
  // make sure a number reused by a later scan is not taken for the old one).
  struct RESOLVED {
    u64 u64Sector, u64Size;
    u8 nIntegrity, nResultFlags;
  };
  void ResolvePending(_FILE_NODE_& node);
  std::mutex m_resolvedMutex;  // verdicts may come from a checking thread during the pass
  std::unordered_map<u32, RESOLVED> m_resolved;
};

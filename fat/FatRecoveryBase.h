// What the quick and the deep FAT engines share: the result store and its
// browsing, the callbacks, and copying a found file's clusters into a
// preview buffer, a preview file or a saved file (folders recursively).
// The engines differ only in where a file's clusters lie: the quick engine
// follows the FAT, the deep engine has no FAT and reads consecutive clusters.
#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <string>

#include "engine/DiskReader.h"
#include "engine/IFileRecoveryParse.h"
#include "store/ScanResultFileManager.h"

// One folder waiting to be saved: its node and the folder that will hold it.
struct __FILE_DATA_RECOVERY__ {
  _FILE_NODE_ node;
  wchar_t szTargetPath[512];
  u32 nLevel;  // the store depth of the folder's children
};

// Cluster buffers above this are a damaged record, not a volume.
constexpr u32 FAT_MAX_CLUSTER_BYTES = 0x6400001;
constexpr int FAT_STATUS_CLUSTER_TOO_BIG = 29;

// The picture extensions whose previews go through a temporary file.
extern const char* const g_szFatPictureFilter;

// True when ext (without the dot, any case) is one of the picture filter's
// entries.
bool IsFatPictureExtension(const char* pExt);

// Creates "tmp.<ext>" in the scan-log folder for a picture preview: the old
// file is removed and the new one created exclusively without following
// links. Returns the descriptor (or -1 with errno set) and the path.
int CreatePreviewTempFile(const char* pExt, std::string& path);

class CFatRecoveryBase : public IFileRecoveryParse {
 public:
  CFatRecoveryBase();
  ~CFatRecoveryBase() override;

  int InitCallBack(SCAN_PROGRESS_CALLBACK pScan, RECOVERY_CALLBACK pRecovery, void* param,
                   int nPercent) override;
  int GetChildrenFileNode(_FILE_NODE_* pParent, unsigned int nLevel, FILE_NODE_VECTOR& out) override;
  int GetChildrenFileCount(_FILE_NODE_* pParent, unsigned int nLevel, unsigned int& nCount) override;
  int GetLostFileCount() override;
  int GetFileNodeParentDirPath(_FILE_NODE_* pNode, wchar_t* pPath, int nLen) override;
  int SaveFileData(_FILE_NODE_* pNode, wchar_t* pTargetPath, int nRootDirIndex) override;
  int InitSearchCallBack(SEARCH_CALLBACK pSearch, void* param) override;
  int SearchFileNode(wchar_t* pKey, SEARCH_FILE_INFO_VECTOR& out) override;
  int PreView(_FILE_NODE_* pNode, wchar_t* pTempPath, unsigned char* pBuf, int& nLen,
              PREVIEW_CALLBACK pCallback, void* param) override;

  int SaveDataToTargetFile(_FILE_NODE_* pNode, const std::wstring& path);
  CScanResultFileManager* GetStore() const { return m_pScanResultFileManager.get(); }

 protected:
  // Where a file's data lies. FirstDataCluster/NextDataCluster walk its
  // clusters (next = 0 at the end); DataSectorOfCluster gives the absolute
  // first sector of the k-th cluster read.
  virtual int NextDataCluster(const _FILE_NODE_& node, u32 nCluster, u32 nIndex, u32& nNext) = 0;
  virtual bool DataSectorOfCluster(const _FILE_NODE_& node, u32 nCluster, u32 nIndex, u64& u64Sector) = 0;
  // The directory number a null parent (or a parent numbered 0) stands for.
  virtual u32 RootDirNumber() const = 0;

  // Copies up to u64Bytes of the node's data to the sink; the sink returns
  // non-zero to stop (that value is returned). 0 at the end of the data or of
  // the clusters, else a status.
  int CopyFileData(const _FILE_NODE_& node, u64 u64Bytes, const std::function<int(const u8*, u32)>& sink);
  void ResetStore();
  // Opens a device node or image by path, read-only, as one whole range
  // (first sector 0, count from its size); 0 or errno. path gets the narrow path.
  int OpenWholeByPath(wchar_t* pPath, wchar_t wcDrive, std::string& path, int& hDevice, u64& u64StartSector,
                      u64& u64SectorCount);
  // bFresh: a new scan, so files left under the same name are removed first.
  int NewStore(const wchar_t* pName, bool bFresh);

  wchar_t m_wcDrive;
  int m_nPercent;
  SCAN_PROGRESS_CALLBACK m_pScanCallBack;
  RECOVERY_CALLBACK m_pRecoveryCallBack;
  SEARCH_CALLBACK m_pSearchCallBack;
  void* m_pSearchParam;
  void* m_pCallBackParam;
  CDiskReader m_DiskReader;
  std::unique_ptr<CScanResultFileManager> m_pScanResultFileManager;
  std::deque<__FILE_DATA_RECOVERY__> m_dequeDirRecovery;
  std::wstring m_strCurDirPath;

 private:
  u32 FindDirLevel(u32 nClusterNO, u32 nGuess) const;
};

struct FAT32_Entry;
// The entry's three dates into the node (the node's fields are packed, so
// they are filled through copies).
void FatEntryTimesToNode(const FAT32_Entry& e, _FILE_NODE_& node);

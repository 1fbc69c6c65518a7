// Reading a found NTFS file back through its record: resident data, the data
// runlist (through an attribute list when there is one), the health test,
// preview and saving of files and folders. Both NTFS engines share this code;
// they differ only in the hooks below (how a record is looked up and placed).
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "engine/DiskReader.h"
#include "engine/Types.h"
#include "ntfs/NtfsParse.h"

// One folder waiting to be saved.
struct __NTFS_FOLDER_RECOVERY__ {
  _FILE_NODE_ stFileNode;
  wchar_t szTargetPath[512];  // the folder that contains it (the first entry: its own path)
  u32 nLevel;                 // key level its children are listed under
  bool bOwnPath;              // szTargetPath is the folder's own path (the first entry)
};

// Status codes of the record lookups.
enum : int {
  NTFS_NOT_RESIDENT = -101,  // no record, no data attribute, or the data is not resident
  NTFS_NO_DATA = -100,       // no runlist to be had
};

class CNtfsFileData {
 public:
  virtual ~CNtfsFileData();

 protected:
  CNtfsFileData();

  // Hooks of each engine.
  virtual int LookupResidentData(_FILE_NODE_* pNode, unsigned char* pBuf, unsigned int& nLen) = 0;
  virtual int LookupDataRunList(_FILE_NODE_* pNode, std::vector<__RUNLIST__>& vecRuns) = 0;
  virtual int LookupHealthRunList(_FILE_NODE_* pNode, std::vector<__RUNLIST__>& vecRuns) = 0;
  virtual int ListFolderChildren(_FILE_NODE_* pNode, unsigned int nLevel, FILE_NODE_VECTOR& out) = 0;
  // The level a folder node's children are listed under, from the store; false when unknown.
  virtual bool GetFolderChildLevel(const _FILE_NODE_& node, u32& nLevel) = 0;
  // Reads record nRecordNO of the volume whose record nBaseRecordNO lies at
  // u64BaseSector (the record that holds the attribute list).
  virtual int ReadVolumeRecord(u64 u64BaseSector, u32 nBaseRecordNO, u32 nRecordNO, unsigned char* pBuf) = 0;
  virtual bool ReportNullNode() const { return false; }

  // Shared operations.
  int DoIsFileDataHealth(_FILE_NODE_* pNode);
  int DoPreView(_FILE_NODE_* pNode, wchar_t* pTempPath, unsigned char* pBuf, int& nLen, PREVIEW_CALLBACK pCallback,
                void* param);
  int DoSaveFileData(_FILE_NODE_* pNode, wchar_t* pTargetPath, int nRootDirIndex);
  int DoSaveDataToTargetFile(_FILE_NODE_* pNode, wchar_t* pTargetPath);

  // Resident data of the record at u64Sector (8192 bytes read there): 0,
  // NTFS_NOT_RESIDENT, or 87. nLen gets the content length.
  int ReadResidentData(u64 u64Sector, unsigned char* pBuf, unsigned int& nLen);
  // Runs of the first attribute of nType in the record at u64Sector (the
  // unnamed one preferred); extents listed in an attribute list are followed
  // when bFollowList, else a list before the attribute gives nListStatus.
  // 0, -1 (no record), NTFS_NO_DATA, nListStatus, or a read status.
  int ReadRecordRunList(u64 u64Sector, u32 nType, bool bFollowList, int nListStatus, u32 nClusterBytes,
                        u64 u64VolumeStart, std::vector<__RUNLIST__>& vecRuns);

  // Reads the file's runs chunk by chunk (at most 64 KiB), handing each to
  // pfnConsume until u64Limit bytes were handed over. 0 or the first
  // non-zero status (a read status, 87 for runs outside the volume, or the
  // consumer's answer).
  typedef int (*CHUNK_CONSUMER)(void* ctx, const unsigned char* pData, u32 nLen);
  int ReadRunData(const _FILE_NODE_& node, const std::vector<__RUNLIST__>& vecRuns, u64 u64Limit,
                  unsigned char* pBuf, CHUNK_CONSUMER pfnConsume, void* ctx, u64* pDelivered);

  CDiskReader m_DiskReader;
  CNtfsParse m_NtfsParse;
  i32 m_nBytesPerSector;
  u32 m_nFileRecordSize;
  RECOVERY_CALLBACK m_pRecoveryCallBack;
  void* m_pCallBackParam;
  std::deque<__NTFS_FOLDER_RECOVERY__> m_dequeDirRecovery;
  std::wstring m_strCurDirPath;
  // Absolute sectors data may be read from (the volume, or the scanned range).
  u64 m_u64DataFirstSector;
  u64 m_u64DataEndSector;

 private:
  int CollectListExtents(const unsigned char* pRecord, const NTFS_ATTR& list, u32 nType, u64 u64Sector,
                         u32 nClusterBytes, u64 u64VolumeStart, std::vector<__RUNLIST__>& vecRuns);
  int Report(int nProgress, int nStatus, wchar_t* pPath);
};

class CScanResultFileManager;
// The level a folder node's children are listed under: one below the key the
// store filed the node under. False when the node is in no child list.
bool FindFolderChildLevel(CScanResultFileManager* pStore, const _FILE_NODE_& node, u32& nLevel);

// Removes the three files of a result set of that name in the current scan
// folder: a new scan named like one made in the same minute must not append
// to its records.
void RemoveResultSet(const std::string& name);

// The photo list as the preview's picture decision reads it.
bool IsPreviewPictureExtension(const char* pLowerExt);

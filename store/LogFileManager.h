// The scan-log folder: a numbered folder per deep scan and the "config"
// index of past scans, so a scan of the same range can be recognised again.
#pragma once

#include <string>
#include <vector>

#include "engine/Types.h"

struct _LOG_FILE_INFO_ {
  i32 nDiskNo;                 // 0x000
  u32 nZero;                   // 0x004: 2 when szScanPath holds the target's identity
  u64 u64StartSector;          // 0x008
  u64 u64SectorCount;          // 0x010
  u64 u64RunStart;             // 0x018: relative to the range
  u64 u64RunLength;            // 0x020
  u64 u64RunPosition;          // 0x028: sectors of the run already scanned
  u64 u64SectorsDone;          // 0x030
  u64 u64FilesFound;           // 0x038
  u64 u64FreeSpace;            // 0x040: fingerprint (a hash of sampled sectors for identified targets)
  u64 u64Zero;                 // 0x048: identified targets: an image's device and inode, a device's size
  char szScanPath[256];        // 0x050: "image:..." or "device:..." identity, or a scanned path
  char szLogDir[256];          // 0x150: the scan folder, with its final "/"
};
static_assert(sizeof(_LOG_FILE_INFO_) == 592, "_LOG_FILE_INFO_ is a 592-byte on-disk record");
static_assert(offsetof(_LOG_FILE_INFO_, u64StartSector) == 8, "layout");
static_assert(offsetof(_LOG_FILE_INFO_, u64FreeSpace) == 64, "layout");
static_assert(offsetof(_LOG_FILE_INFO_, szScanPath) == 80, "layout");
static_assert(offsetof(_LOG_FILE_INFO_, szLogDir) == 336, "layout");

class CLogFileManager {
 public:
  static CLogFileManager* GetInstance();

  int Init();
  void GetLogFileDirPath(char* pOut);  // at least 256 bytes
  std::string GetLogFileDirPath();
  void AddDirIndex();
  void ReduceDirIndex();
  int SaveLogFileInfo(const char* pDevicePath, int nDiskNo, u64 u64StartSector, u64 u64SectorCount,
                      u64 u64RunStart, u64 u64RunLength, u64 u64RunPosition, u64 u64SectorsDone,
                      u64 u64FilesFound, const char* pLogDir, const char* pScanPath);
  int LoadRecoveryLogInfo(const char* pDevicePath, int nDiskNo, u64 u64StartSector, u64 u64SectorCount,
                          _LOG_FILE_INFO_* pOut);
  int LoadRecoveryLogInfo(const char* pPath, _LOG_FILE_INFO_* pOut);
  // Why the last LoadRecoveryLogInfo found a record of the range but did not
  // resume it ("" when it found none, or resumed).
  const std::string& LastMismatch() const { return m_strLastMismatch; }
  int GetFileInfo(int nDiskNo, u64 u64StartSector, u64 u64SectorCount, u64 u64FreeSpace,
                  _LOG_FILE_INFO_** ppOut);
  int GetFileInfo(const char* pScanPath, u64 u64Value, _LOG_FILE_INFO_** ppOut);
  int GetLogFileNameByFileType(const char* pLogDir, const char* pPrefix, char* pOut);
  int DeleteLogFileDir(const char* pLogDir);
  int SaveLogConfigFile();

  // Test and tooling access.
  u64 GetDirIndex() const { return m_u64DirIndex; }
  const std::vector<_LOG_FILE_INFO_>& GetLogList() const { return m_vecLogInfo; }
  const std::string& GetBasePath() const { return m_strBasePath; }
  // Forgets all state and reads the base folder again (the base folder comes
  // from the environment, so tests can point it elsewhere).
  int Reload();
  // Reads the records of the same base folder again, keeping the highest
  // folder number seen.
  void RereadRecords();

 private:
  CLogFileManager();
  std::string m_strBasePath;
  u64 m_u64DirIndex;
  bool m_bFixedPath;
  std::string m_strFixedPath;
  std::vector<_LOG_FILE_INFO_> m_vecLogInfo;
  std::string m_strLastMismatch;
  // The lock that tells other processes our scan folder is in use.
  void ReleaseDirLock();
  // Whether another process holds scan folder dir (its lock is taken).
  bool FolderInUse(const std::string& dir) const;
  int m_nDirLock = -1;
  std::string m_strDirLock;
};

// Picks the engine for a volume from its first 16384 bytes: a deep request
// always gets the deep-scan orchestrator; a quick request gets the NTFS, FAT,
// ext or exFAT engine, or none.
#pragma once

#include "engine/IFileRecoveryParse.h"

class CFileRecoveryFactory {
 public:
  static CFileRecoveryFactory* GetInstance();

  // Disk by number; the range is in 512-byte sectors, absolute on the disk.
  // Null when the device cannot be read; the caller owns the engine.
  IFileRecoveryParse* CreateFileRecoveryInstance(int nDiskNo, i64 u64StartSector, i64 u64SectorCount,
                                                 wchar_t wcDrive, RECOVERY_TYPE eType);
  // A device node or image by path.
  IFileRecoveryParse* CreateFileRecoveryInstance(wchar_t* pPath, wchar_t wcDrive, RECOVERY_TYPE eType);

  // Which engine the first bytes of a volume call for (0 NTFS, 1 FAT, 2 ext,
  // 3 exFAT, -1 none). An exFAT volume whose main boot sector was wiped is
  // known by its backup boot region (512-byte sectors only: the others lie
  // beyond the first 16384 bytes).
  static int ClassifyVolume(const unsigned char* pBuf, size_t nLen);

 private:
  CFileRecoveryFactory() = default;
};

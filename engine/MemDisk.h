// A disk held in memory: its bytes live in a file on a memory file system
// ("/dev/shm"), so the engines reach it by path or disk number exactly as
// they reach a real disk or image, read-only, through the same reading code.
// Fuzzers and tests use it to hand crafted bytes to the real parsers.
#pragma once

#include <string>

#include "engine/Types.h"

class CMemDisk {
 public:
  // Creates an empty backing file under pDir (default "/dev/shm", else the
  // system's temporary folder when that is missing).
  explicit CMemDisk(const char* pDir = nullptr);
  ~CMemDisk();  // removes the backing file
  CMemDisk(const CMemDisk&) = delete;
  CMemDisk& operator=(const CMemDisk&) = delete;

  bool IsOpen() const { return m_nFd >= 0; }
  // Replaces the whole contents with nLen bytes, then pads with zeros (a hole,
  // no memory used) up to u64TotalBytes and to a whole number of sectors.
  // 0 or errno.
  int SetContents(const void* pData, size_t nLen, u64 u64TotalBytes = 0);
  // Overwrites nLen bytes at u64Offset (the disk grows when needed); 0 or errno.
  int WriteAt(u64 u64Offset, const void* pData, size_t nLen);
  u64 GetSize() const { return m_u64Size; }
  u64 GetSectorCount() const { return m_u64Size / SECTOR_SIZE; }
  const std::string& GetPath() const { return m_strPath; }
  // The disk number the disk map gives this disk (added on first use); -1 on failure.
  int GetDiskNo();

 private:
  int m_nFd;  // the only descriptor opened for writing; engines open their own, read-only
  u64 m_u64Size;
  int m_nDiskNo;
  std::string m_strPath;
};

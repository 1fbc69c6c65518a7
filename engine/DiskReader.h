// Read-only sector access with an absolute end limit, plus the thin
// operating-system wrappers every engine uses.
#pragma once

#include <mutex>
#include <vector>

#include "engine/Types.h"

class CBadSectorMap;
struct SECTOR_RANGE;

// Where an image file has holes (lseek SEEK_DATA / SEEK_HOLE): the file
// system keeps no blocks there, they read as zeros, so they need no read.
// A block device, a file system without the calls or a failing call means
// "all data". The last extent learned is cached, so a pass costs one or two
// calls per extent.
class CHoleMap {
 public:
  // Regular files only; anything else stays all data.
  void Attach(int fd);
  // Bytes from u64Offset, at most u64Len, that lie in one hole; 0 when
  // u64Offset holds data or lies past the end of the file.
  u64 HoleBytes(u64 u64Offset, u64 u64Len);
  // Bytes from u64Offset, at most u64Len, before the next hole (all of them
  // where holes are not known); 0 when u64Offset lies in a hole.
  u64 DataBytes(u64 u64Offset, u64 u64Len);

 private:
  // The extent holding u64Offset into m_u64From..m_u64To; false when holes
  // are not known there (past the end, or the calls not supported).
  bool Learn(u64 u64Offset);

  std::mutex m_mutex;
  int m_nFd = -1;
  bool m_bEnabled = false;
  u64 m_u64From = 0, m_u64To = 0;  // the extent last learned
  bool m_bHole = false;
};

class CDiskReader {
 public:
  CDiskReader();
  ~CDiskReader();
  CDiskReader(const CDiskReader&) = delete;
  CDiskReader& operator=(const CDiskReader&) = delete;

  // Opens disk nDiskNo read-only; 0 or errno (the limit is kept on failure).
  int Init(int nDiskNo, u64 u64SectorLimit);
  // Opens a device node or image read-only; 0 or errno.
  int Init(wchar_t* pPath, u64 u64SectorLimit);
  int Init(const char* pPath, u64 u64SectorLimit);
  // Opens a device node or image read-only as one whole volume: the limit and
  // *pSectors become its size in 512-byte sectors. 0 or errno.
  int InitWhole(const char* pPath, u64* pSectors);
  // Reads what `other` reads, through a descriptor of its own (a duplicate),
  // with the same limit and no bad-sector map. 0 or errno.
  int InitShared(const CDiskReader& other);
  // Reads nSectorCount sectors starting at u64Sector: 0, 87 (past the limit),
  // 30 (short: *pReadSectors whole sectors arrived) or an errno.
  int ReadData(unsigned char* pBuf, int nSectorCount, i64 u64Sector, int nSectorSize,
               unsigned int* pReadSectors);

  // Reads nSectorCount sectors and never fails on unreadable ones: a failed
  // read is split in halves down to single sectors, so every readable sector
  // arrives; an unreadable one (or one the attached map already knows) is
  // zero-filled, added to the map and counted in *pUnreadable. When a bad
  // area eats more than the time budget, the sectors not tried are zeroed
  // too and listed in *pSkipped (not marked bad) for the caller to come back
  // to. 0, or 87 when the range passes the limit.
  int ReadTolerant(unsigned char* pBuf, int nSectorCount, i64 u64Sector, int nSectorSize, u64* pUnreadable,
                   std::vector<SECTOR_RANGE>* pSkipped = nullptr);
  // Shared by every reader of one scan; not owned.
  void AttachBadSectorMap(CBadSectorMap* pMap) { m_pBadMap = pMap; }
  CBadSectorMap* GetBadSectorMap() const { return m_pBadMap; }

  // Sectors already read and still in memory (the pass's current block):
  // reads wholly inside them are copied from there instead of read again
  // (a tolerant read still zeroes what the bad-sector map lists). The
  // caller keeps p valid, and whole (no sector of it failed), until
  // ClearWindow.
  void SetWindow(const unsigned char* p, u64 u64First, u64 u64Count, int nSectorSize) {
    m_nWindows = 0;
    m_nWindowSectorSize = nSectorSize;
    AddWindow(p, u64First, u64Count);
  }
  // More sectors held in memory, of the same sector size (the blocks the
  // read-ahead holds after the pass's own); at most kMaxWindows in all.
  void AddWindow(const unsigned char* p, u64 u64First, u64 u64Count) {
    if (p && u64Count && m_nWindows < kMaxWindows) m_windows[m_nWindows++] = WINDOW{p, u64First, u64Count};
  }
  void ClearWindow() { m_nWindows = 0; }
  enum { kMaxWindows = 4 };
  // Sectors [u64Sector, u64Sector + u64Count) where the window holds them,
  // to be read in place (valid until ClearWindow); null when they are not
  // all in it, or the bad-sector map lists one of them (it reads as zeros).
  const unsigned char* WindowSpan(u64 u64Sector, u64 u64Count, int nSectorSize) const;
  // How many sectors from u64Sector on WindowSpan would give (0: none).
  u64 WindowHolds(u64 u64Sector, int nSectorSize) const;

  int GetFd() const { return m_nFd; }
  u64 GetSectorLimit() const { return m_u64SectorLimit; }
  // Sectors from u64Sector (at most u64Count) that lie in a hole of an image
  // file: they read as zeros without a read.
  u64 HoleSectors(u64 u64Sector, u64 u64Count, int nSectorSize);

 private:
  void ReadSpan(unsigned char* pBuf, u64 u64Sector, u64 u64Count, int nSectorSize, u64& nUnreadable,
                std::vector<SECTOR_RANGE>* pSkipped, u32 nStartTick);

  bool FromWindow(unsigned char* pBuf, u64 u64Sector, u64 u64Count, int nSectorSize) const;

  int m_nFd;
  u64 m_u64SectorLimit;
  struct WINDOW {
    const unsigned char* p;
    u64 u64First, u64Count;
  };
  // The window holding u64Sector for this sector size, or null.
  const WINDOW* WindowOf(u64 u64Sector, int nSectorSize) const;
  WINDOW m_windows[kMaxWindows] = {};
  int m_nWindows = 0;
  int m_nWindowSectorSize = 0;
  CBadSectorMap* m_pBadMap;
  CHoleMap m_holes;
};

// How often a single unreadable sector is tried again, and the time one bad
// area may take before the rest of it is skipped (TORVANE_READ_RETRIES,
// TORVANE_BAD_AREA_MS; defaults 1 and 10000).
int ReadRetries();
u32 BadAreaBudgetMs();

// Reads nLen bytes from fd's position in chunks of at most 65536 bytes; 0, or
// 30 when the device ends or fails early. *pReadBytes gets what arrived.
int ReadData(int fd, unsigned char* pBuf, int nLen, unsigned int* pReadBytes);
// Reads nLen bytes at an absolute byte offset (pread); 0, 30 or errno.
int ReadAt(int fd, unsigned char* pBuf, size_t nLen, u64 u64Offset, size_t* pReadBytes);

struct SYSTEMTIME {
  u16 wYear;
  u16 wMonth;
  u16 wDay;        // day of the month
  u16 wDayOfWeek;  // 0 = Sunday
  u16 wHour;
  u16 wMinute;
  u16 wSecond;
  u16 wMilliseconds;
};

struct STRUCT_RSB_FILE_ATTR {
  u32 nReserved;
  u32 nMode;
  u32 nUid;
  u32 nGid;
  u32 nSizeHigh;
  u32 nSizeLow;
  i64 tAccess;
  i64 tModify;
  i64 tChange;
  u32 nReserved2;
  u32 nRdev;
  u64 u64Inode;
  u32 nLinks;
};

u32 rsb_getTickCount();
// Milliseconds of the monotonic clock, read without a system call: for loops
// that look at the time once per chunk of a pass. Only differences between
// two values of this clock mean anything.
u32 rsb_getMonotonicTickCount();
int rsb_msleep(int nMilliseconds);
int rsb_getLocalTime(SYSTEMTIME* pTime);
int rsb_getSystemTime(SYSTEMTIME* pTime);
int rsb_statH(int fd, STRUCT_RSB_FILE_ATTR* pAttr);
int rsb_getFileSizeH(int fd, int* pLow, int* pHigh);
// Size in bytes of an open file or block device; 0 when unknown.
u64 rsb_getDeviceSize(int fd);
// The logical sector size the kernel gives a block device (512, 4096, ...);
// 0 for a regular file or when the kernel cannot tell.
u32 rsb_getLogicalSectorSize(int fd);
int rsb_getFreeSpace(char* pPath, int nUnused, unsigned int* pHigh, unsigned int* pLow);

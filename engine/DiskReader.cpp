#include "engine/DiskReader.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/time.h>
#include <sys/times.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "engine/BadSectorMap.h"
#include "engine/DiskMap.h"
#include "engine/TextUtil.h"

CDiskReader::CDiskReader() : m_nFd(-1), m_u64SectorLimit(0), m_pBadMap(nullptr) {}

CDiskReader::~CDiskReader() {
  if (m_nFd != -1) close(m_nFd);
  m_nFd = -1;
}

int CDiskReader::Init(int nDiskNo, u64 u64SectorLimit) {
  int fd = OpenDiskReadOnly(nDiskNo);
  if (fd < 0) return errno ? errno : ENODEV;
  if (m_nFd != -1) close(m_nFd);
  m_nFd = fd;
  m_u64SectorLimit = u64SectorLimit;
  m_holes.Attach(fd);
  return 0;
}

int CDiskReader::Init(const char* pPath, u64 u64SectorLimit) {
  int fd = OpenPathReadOnly(pPath);
  if (fd < 0) return errno ? errno : ENOENT;
  if (m_nFd != -1) close(m_nFd);
  m_nFd = fd;
  m_u64SectorLimit = u64SectorLimit;
  m_holes.Attach(fd);
  return 0;
}

int CDiskReader::InitWhole(const char* pPath, u64* pSectors) {
  int st = Init(pPath, 0);
  if (st != 0) return st;
  m_u64SectorLimit = rsb_getDeviceSize(m_nFd) / SECTOR_SIZE;
  if (pSectors) *pSectors = m_u64SectorLimit;
  return 0;
}

int CDiskReader::InitShared(const CDiskReader& other) {
  if (other.m_nFd < 0) return EBADF;
  int fd = fcntl(other.m_nFd, F_DUPFD_CLOEXEC, 0);
  if (fd < 0) return errno ? errno : EBADF;
  if (m_nFd != -1) close(m_nFd);
  m_nFd = fd;
  m_u64SectorLimit = other.m_u64SectorLimit;
  m_holes.Attach(fd);
  return 0;
}

int CDiskReader::Init(wchar_t* pPath, u64 u64SectorLimit) {
  if (!pPath) return STATUS_INVALID_PARAMETER;
  std::string path = WideToUtf8(pPath);
  return Init(path.c_str(), u64SectorLimit);
}

int CDiskReader::ReadData(unsigned char* pBuf, int nSectorCount, i64 u64Sector, int nSectorSize,
                          unsigned int* pReadSectors) {
  // The sum is compared unsigned, so a negative count or start is refused too.
  u64 end = static_cast<u64>(static_cast<i64>(nSectorCount)) + static_cast<u64>(u64Sector);
  if (end > m_u64SectorLimit || end < static_cast<u64>(u64Sector)) return STATUS_INVALID_PARAMETER;
  if (!pBuf || nSectorCount < 0 || nSectorSize <= 0) return STATUS_INVALID_PARAMETER;
  if (FromWindow(pBuf, static_cast<u64>(u64Sector), static_cast<u64>(nSectorCount), nSectorSize)) {
    if (pReadSectors) *pReadSectors = static_cast<unsigned int>(nSectorCount);
    return 0;
  }
  // Positioned reads: readers on other threads share nothing but the descriptor.
  const u64 offset = static_cast<u64>(u64Sector) * static_cast<u64>(nSectorSize);
  u64 remaining = static_cast<u64>(nSectorCount) * static_cast<u64>(nSectorSize);
  u64 filled = 0;
  while (remaining != 0) {
    const u64 hole = m_holes.HoleBytes(offset + filled, remaining);
    if (hole != 0) {
      memset(pBuf + filled, 0, static_cast<size_t>(hole));
      remaining -= hole;
      filled += hole;
      continue;
    }
    size_t want = remaining > (1u << 20) ? (1u << 20) : static_cast<size_t>(remaining);
    ssize_t got = pread(m_nFd, pBuf + filled, want, static_cast<off_t>(offset + filled));
    if (got <= 0) {
      if (got < 0 && errno == EINTR) continue;
      if (pReadSectors) *pReadSectors = static_cast<unsigned int>(filled / nSectorSize);
      return STATUS_SHORT_READ;
    }
    remaining -= static_cast<u64>(got);
    filled += static_cast<u64>(got);
  }
  if (pReadSectors) *pReadSectors = static_cast<unsigned int>(filled / nSectorSize);
  return 0;
}

u64 CDiskReader::HoleSectors(u64 u64Sector, u64 u64Count, int nSectorSize) {
  if (nSectorSize <= 0 || u64Count == 0 || u64Sector >= m_u64SectorLimit) return 0;
  const u64 ss = static_cast<u64>(nSectorSize);
  if (u64Count > m_u64SectorLimit - u64Sector) u64Count = m_u64SectorLimit - u64Sector;
  if (u64Sector > UINT64_MAX / ss || u64Count > UINT64_MAX / ss - u64Sector) return 0;
  return m_holes.HoleBytes(u64Sector * ss, u64Count * ss) / ss;
}

void CHoleMap::Attach(int fd) {
  std::lock_guard<std::mutex> lock(m_mutex);
  struct stat st;
  m_nFd = fd;
  // TORVANE_READ_HOLES=1 reads holes like data: to time or test a pass as
  // it runs over a disk.
  const char* readHoles = getenv("TORVANE_READ_HOLES");
  m_bEnabled = fd >= 0 && !(readHoles && readHoles[0] == '1') && fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  m_u64From = m_u64To = 0;
  m_bHole = false;
}

bool CHoleMap::Learn(u64 u64Offset) {
  if (!m_bEnabled || u64Offset > static_cast<u64>(INT64_MAX)) return false;
  if (u64Offset >= m_u64From && u64Offset < m_u64To) return true;
  struct stat st;
  if (fstat(m_nFd, &st) != 0) {
    m_bEnabled = false;
    return false;
  }
  const u64 size = st.st_size > 0 ? static_cast<u64>(st.st_size) : 0;
  // Past the end a read comes back short, as it always did.
  if (u64Offset >= size) return false;
  off_t data = lseek(m_nFd, static_cast<off_t>(u64Offset), SEEK_DATA);
  if (data < 0) {
    if (errno != ENXIO) {
      m_bEnabled = false;
      return false;
    }
    data = static_cast<off_t>(size);  // no data from here to the end
  }
  if (static_cast<u64>(data) > u64Offset) {
    m_u64From = u64Offset;
    m_u64To = static_cast<u64>(data) < size ? static_cast<u64>(data) : size;
    m_bHole = true;
  } else {
    off_t hole = lseek(m_nFd, static_cast<off_t>(u64Offset), SEEK_HOLE);
    if (hole <= static_cast<off_t>(u64Offset)) {
      m_bEnabled = false;
      return false;
    }
    m_u64From = u64Offset;
    m_u64To = static_cast<u64>(hole);
    m_bHole = false;
  }
  return true;
}

u64 CHoleMap::HoleBytes(u64 u64Offset, u64 u64Len) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (u64Len == 0 || !Learn(u64Offset) || !m_bHole) return 0;
  return m_u64To - u64Offset < u64Len ? m_u64To - u64Offset : u64Len;
}

u64 CHoleMap::DataBytes(u64 u64Offset, u64 u64Len) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (u64Len == 0 || !Learn(u64Offset)) return u64Len;
  if (m_bHole) return 0;
  return m_u64To - u64Offset < u64Len ? m_u64To - u64Offset : u64Len;
}

int ReadRetries() {
  const char* v = getenv("TORVANE_READ_RETRIES");
  int n = v ? atoi(v) : 1;
  return n < 0 ? 0 : (n > 16 ? 16 : n);
}

u32 BadAreaBudgetMs() {
  const char* v = getenv("TORVANE_BAD_AREA_MS");
  long n = v ? atol(v) : 10000;
  return n < 1 ? 1u : static_cast<u32>(n);
}

void CDiskReader::ReadSpan(unsigned char* pBuf, u64 u64Sector, u64 u64Count, int nSectorSize, u64& nUnreadable,
                           std::vector<SECTOR_RANGE>* pSkipped, u32 nStartTick) {
  const u64 ss = static_cast<u64>(nSectorSize);
  while (u64Count > 0) {
    // Sectors the map knows are bad are not tried again.
    u64 known = m_pBadMap ? m_pBadMap->NextBad(u64Sector) : UINT64_MAX;
    if (known == u64Sector) {
      memset(pBuf, 0, static_cast<size_t>(ss));
      ++nUnreadable;
      pBuf += ss;
      ++u64Sector;
      --u64Count;
      continue;
    }
    u64 n = known - u64Sector < u64Count ? known - u64Sector : u64Count;
    if (rsb_getMonotonicTickCount() - nStartTick > BadAreaBudgetMs()) {
      // Out of time in this area: leave the rest for later.
      memset(pBuf, 0, static_cast<size_t>(n * ss));
      if (pSkipped) pSkipped->push_back({u64Sector, n});
      pBuf += n * ss;
      u64Sector += n;
      u64Count -= n;
      continue;
    }
    unsigned int got = 0;
    int rc = ReadData(pBuf, static_cast<int>(n), static_cast<i64>(u64Sector), nSectorSize, &got);
    if (rc == 0) got = static_cast<unsigned int>(n);
    if (got > n) got = static_cast<unsigned int>(n);
    if (got == 0 && rc != 0) {
      if (n == 1) {
        for (int r = 0; r < ReadRetries() && rc != 0; ++r) {
          rc = ReadData(pBuf, 1, static_cast<i64>(u64Sector), nSectorSize, &got);
          if (rc == 0) got = 1;
        }
        if (rc != 0) {
          memset(pBuf, 0, static_cast<size_t>(ss));
          if (m_pBadMap) m_pBadMap->Add(u64Sector, 1);
          ++nUnreadable;
          got = 1;
        }
      } else {
        // Halves: a bad sector costs a few reads, not the rest of the chunk.
        u64 half = n / 2;
        ReadSpan(pBuf, u64Sector, half, nSectorSize, nUnreadable, pSkipped, nStartTick);
        ReadSpan(pBuf + half * ss, u64Sector + half, n - half, nSectorSize, nUnreadable, pSkipped, nStartTick);
        got = static_cast<unsigned int>(n);
      }
    }
    pBuf += static_cast<u64>(got) * ss;
    u64Sector += got;
    u64Count -= got;
  }
}

const CDiskReader::WINDOW* CDiskReader::WindowOf(u64 u64Sector, int nSectorSize) const {
  if (nSectorSize != m_nWindowSectorSize) return nullptr;
  for (int i = 0; i < m_nWindows; ++i) {
    const WINDOW& w = m_windows[i];
    if (u64Sector >= w.u64First && u64Sector - w.u64First < w.u64Count) return &w;
  }
  return nullptr;
}

const unsigned char* CDiskReader::WindowSpan(u64 u64Sector, u64 u64Count, int nSectorSize) const {
  const WINDOW* w = u64Count ? WindowOf(u64Sector, nSectorSize) : nullptr;
  if (!w || u64Count > w->u64Count - (u64Sector - w->u64First)) return nullptr;
  if (m_pBadMap && m_pBadMap->NextBad(u64Sector) - u64Sector < u64Count) return nullptr;
  return w->p + (u64Sector - w->u64First) * static_cast<u64>(nSectorSize);
}

u64 CDiskReader::WindowHolds(u64 u64Sector, int nSectorSize) const {
  const WINDOW* w = WindowOf(u64Sector, nSectorSize);
  if (!w) return 0;
  u64 n = w->u64Count - (u64Sector - w->u64First);
  if (m_pBadMap) n = std::min(n, m_pBadMap->NextBad(u64Sector) - u64Sector);
  return n;
}

// Copied from the windows, across as many as the range runs through; false
// (nothing to be trusted in pBuf) when a sector of it is in none.
bool CDiskReader::FromWindow(unsigned char* pBuf, u64 u64Sector, u64 u64Count, int nSectorSize) const {
  if (u64Count == 0) return false;
  for (u64 s = u64Sector, end = u64Sector + u64Count; s < end;) {
    const WINDOW* w = WindowOf(s, nSectorSize);
    if (!w) return false;
    s = w->u64First + w->u64Count;
  }
  const u64 ss = static_cast<u64>(nSectorSize);
  while (u64Count) {
    const WINDOW* w = WindowOf(u64Sector, nSectorSize);
    const u64 n = std::min(u64Count, w->u64Count - (u64Sector - w->u64First));
    memcpy(pBuf, w->p + (u64Sector - w->u64First) * ss, static_cast<size_t>(n * ss));
    pBuf += n * ss;
    u64Sector += n;
    u64Count -= n;
  }
  return true;
}

int CDiskReader::ReadTolerant(unsigned char* pBuf, int nSectorCount, i64 u64Sector, int nSectorSize,
                              u64* pUnreadable, std::vector<SECTOR_RANGE>* pSkipped) {
  u64 end = static_cast<u64>(static_cast<i64>(nSectorCount)) + static_cast<u64>(u64Sector);
  if (end > m_u64SectorLimit || end < static_cast<u64>(u64Sector)) return STATUS_INVALID_PARAMETER;
  if (!pBuf || nSectorCount < 0 || nSectorSize <= 0) return STATUS_INVALID_PARAMETER;
  u64 unreadable = 0;
  ReadSpan(pBuf, static_cast<u64>(u64Sector), static_cast<u64>(nSectorCount), nSectorSize, unreadable, pSkipped,
           rsb_getMonotonicTickCount());
  if (pUnreadable) *pUnreadable += unreadable;
  return 0;
}

int ReadData(int fd, unsigned char* pBuf, int nLen, unsigned int* pReadBytes) {
  int filled = 0;
  int status = 0;
  while (filled < nLen) {
    int want = nLen - filled > 65536 ? 65536 : nLen - filled;
    ssize_t got = read(fd, pBuf + filled, want);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      status = STATUS_SHORT_READ;
      break;
    }
    filled += static_cast<int>(got);
  }
  if (pReadBytes) *pReadBytes = static_cast<unsigned int>(filled);
  return status;
}

int ReadAt(int fd, unsigned char* pBuf, size_t nLen, u64 u64Offset, size_t* pReadBytes) {
  size_t filled = 0;
  int status = 0;
  while (filled < nLen) {
    size_t want = nLen - filled > 65536 ? 65536 : nLen - filled;
    ssize_t got = pread(fd, pBuf + filled, want, static_cast<off_t>(u64Offset + filled));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      status = errno ? errno : STATUS_SHORT_READ;
      break;
    }
    if (got == 0) {
      status = STATUS_SHORT_READ;
      break;
    }
    filled += static_cast<size_t>(got);
  }
  if (pReadBytes) *pReadBytes = filled;
  return status;
}

u32 rsb_getTickCount() {
  struct tms t;
  clock_t ticks = times(&t);
  long hz = sysconf(_SC_CLK_TCK);
  if (hz <= 0) hz = 100;
  return static_cast<u32>(static_cast<u64>(ticks) * 1000 / static_cast<u64>(hz));
}

u32 rsb_getMonotonicTickCount() {
  timespec ts;
  if (clock_gettime(CLOCK_MONOTONIC, &ts) != 0) return rsb_getTickCount();
  return static_cast<u32>(static_cast<u64>(ts.tv_sec) * 1000 + static_cast<u64>(ts.tv_nsec) / 1000000);
}

int rsb_msleep(int nMilliseconds) {
  struct timespec ts;
  ts.tv_sec = nMilliseconds / 1000;
  ts.tv_nsec = static_cast<long>(nMilliseconds % 1000) * 1000000L;
  return nanosleep(&ts, nullptr);
}

static void FillSystemTime(const struct tm& t, long usec, SYSTEMTIME* p) {
  p->wYear = static_cast<u16>(1900 + t.tm_year);
  p->wMonth = static_cast<u16>(t.tm_mon + 1);
  p->wDay = static_cast<u16>(t.tm_mday);
  p->wDayOfWeek = static_cast<u16>(t.tm_wday);
  p->wHour = static_cast<u16>(t.tm_hour);
  p->wMinute = static_cast<u16>(t.tm_min);
  p->wSecond = static_cast<u16>(t.tm_sec);
  p->wMilliseconds = static_cast<u16>(usec / 1000);
}

int rsb_getLocalTime(SYSTEMTIME* pTime) {
  if (!pTime) return STATUS_INVALID_PARAMETER;
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  struct tm t;
  if (!localtime_r(&tv.tv_sec, &t)) return 34;
  FillSystemTime(t, tv.tv_usec, pTime);
  return 0;
}

int rsb_getSystemTime(SYSTEMTIME* pTime) {
  if (!pTime) return STATUS_INVALID_PARAMETER;
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  struct tm t;
  if (!gmtime_r(&tv.tv_sec, &t)) return 34;
  FillSystemTime(t, tv.tv_usec, pTime);
  return 0;
}

int rsb_statH(int fd, STRUCT_RSB_FILE_ATTR* pAttr) {
  if (fd == -1) return -1;
  struct stat st;
  if (fstat(fd, &st) != 0) return -1;
  if (!pAttr) return 0;
  memset(pAttr, 0, sizeof(*pAttr));
  u64 size = static_cast<u64>(st.st_size);
  if (S_ISBLK(st.st_mode)) size = rsb_getDeviceSize(fd);
  pAttr->nMode = st.st_mode;
  pAttr->nUid = st.st_uid;
  pAttr->nGid = st.st_gid;
  pAttr->nSizeHigh = static_cast<u32>(size >> 32);
  pAttr->nSizeLow = static_cast<u32>(size);
  pAttr->tAccess = st.st_atime;
  pAttr->tModify = st.st_mtime;
  pAttr->tChange = st.st_ctime;
  pAttr->nRdev = static_cast<u32>(st.st_rdev);
  pAttr->u64Inode = st.st_ino;
  pAttr->nLinks = static_cast<u32>(st.st_nlink);
  return 0;
}

int rsb_getFileSizeH(int fd, int* pLow, int* pHigh) {
  STRUCT_RSB_FILE_ATTR attr;
  if (rsb_statH(fd, &attr) != 0) return -1;
  if (pLow) *pLow = static_cast<int>(attr.nSizeLow);
  if (pHigh) *pHigh = static_cast<int>(attr.nSizeHigh);
  return 0;
}

u64 rsb_getDeviceSize(int fd) {
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0) return 0;
  if (S_ISBLK(st.st_mode)) {
    unsigned long long bytes = 0;
    if (ioctl(fd, BLKGETSIZE64, &bytes) == 0) return bytes;
    return 0;
  }
  return static_cast<u64>(st.st_size);
}

u32 rsb_getLogicalSectorSize(int fd) {
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISBLK(st.st_mode)) return 0;
  int size = 0;
  if (ioctl(fd, BLKSSZGET, &size) != 0 || size < 512 || (size & (size - 1)) != 0) return 0;
  return static_cast<u32>(size);
}

int rsb_getFreeSpace(char* pPath, int, unsigned int* pHigh, unsigned int* pLow) {
  if (pHigh) *pHigh = 0;
  if (pLow) *pLow = 0;
  if (!pPath || pPath[0] != '/') return 0;
  for (;;) {
    struct statvfs sv;
    if (statvfs(pPath, &sv) == 0) {
      u64 bytes = static_cast<u64>(sv.f_bavail) * static_cast<u64>(sv.f_frsize);
      if (pHigh) *pHigh = static_cast<unsigned int>(bytes >> 32);
      if (pLow) *pLow = static_cast<unsigned int>(bytes);
      return 0;
    }
    if (strlen(pPath) < 2) return -1;
    char* slash = strrchr(pPath, '/');
    if (!slash) return -1;
    if (slash == pPath)
      slash[1] = '\0';
    else
      *slash = '\0';
  }
}

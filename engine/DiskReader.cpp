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

#include <cstdio>
#include <cstring>
#include <string>

#include "engine/DiskMap.h"
#include "engine/TextUtil.h"

CDiskReader::CDiskReader() : m_nFd(-1), m_u64SectorLimit(0) {}

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
  return 0;
}

int CDiskReader::Init(const char* pPath, u64 u64SectorLimit) {
  int fd = OpenPathReadOnly(pPath);
  if (fd < 0) return errno ? errno : ENOENT;
  if (m_nFd != -1) close(m_nFd);
  m_nFd = fd;
  m_u64SectorLimit = u64SectorLimit;
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
  off_t offset = static_cast<off_t>(static_cast<u64>(u64Sector) * static_cast<u64>(nSectorSize));
  if (lseek(m_nFd, offset, SEEK_SET) == static_cast<off_t>(-1)) {
    int err = errno;
    fprintf(stderr, "lseek failed %lld\n", static_cast<long long>(offset));
    return err;
  }
  u64 remaining = static_cast<u64>(nSectorCount) * static_cast<u64>(nSectorSize);
  u64 filled = 0;
  while (remaining != 0) {
    size_t want = remaining > 65536 ? 65536 : static_cast<size_t>(remaining);
    ssize_t got = read(m_nFd, pBuf + filled, want);
    if (got <= 0) {
      if (got < 0 && errno == EINTR) continue;
      fprintf(stderr, "read %lld\n", static_cast<long long>(got < 0 ? errno : 0));
      if (pReadSectors) *pReadSectors = static_cast<unsigned int>(filled / nSectorSize);
      return STATUS_SHORT_READ;
    }
    remaining -= static_cast<u64>(got);
    filled += static_cast<u64>(got);
  }
  if (pReadSectors) *pReadSectors = static_cast<unsigned int>(filled / nSectorSize);
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

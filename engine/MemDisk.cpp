#include "engine/MemDisk.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "engine/DiskMap.h"

namespace {

int WriteFully(int fd, const unsigned char* p, size_t n, u64 off) {
  while (n > 0) {
    ssize_t w = pwrite(fd, p, n, static_cast<off_t>(off));
    if (w < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (w == 0) return EIO;
    p += w;
    n -= static_cast<size_t>(w);
    off += static_cast<u64>(w);
  }
  return 0;
}

}  // namespace

CMemDisk::CMemDisk(const char* pDir) : m_nFd(-1), m_u64Size(0), m_nDiskNo(-1) {
  std::string dir = pDir ? pDir : "/dev/shm";
  struct stat st;
  if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    const char* tmp = getenv("TMPDIR");
    dir = (tmp && *tmp) ? tmp : "/tmp";
  }
  std::string pattern = dir + "/torvane-memdisk-XXXXXX";
  std::string buf = pattern;
  int fd = mkstemp(&buf[0]);  // O_EXCL: never an existing file or a planted link
  if (fd < 0) return;
  m_nFd = fd;
  m_strPath = buf;
}

CMemDisk::~CMemDisk() {
  if (m_nFd >= 0) {
    close(m_nFd);
    unlink(m_strPath.c_str());
  }
}

int CMemDisk::SetContents(const void* pData, size_t nLen, u64 u64TotalBytes) {
  if (m_nFd < 0) return EBADF;
  if (ftruncate(m_nFd, 0) != 0) return errno;
  m_u64Size = 0;
  if (nLen > 0 && pData) {
    int st = WriteFully(m_nFd, static_cast<const unsigned char*>(pData), nLen, 0);
    if (st != 0) return st;
  } else {
    nLen = 0;
  }
  u64 total = u64TotalBytes > nLen ? u64TotalBytes : nLen;
  total = (total + SECTOR_SIZE - 1) / SECTOR_SIZE * SECTOR_SIZE;
  if (ftruncate(m_nFd, static_cast<off_t>(total)) != 0) return errno;
  m_u64Size = total;
  return 0;
}

int CMemDisk::WriteAt(u64 u64Offset, const void* pData, size_t nLen) {
  if (m_nFd < 0) return EBADF;
  if (!pData || nLen == 0) return 0;
  int st = WriteFully(m_nFd, static_cast<const unsigned char*>(pData), nLen, u64Offset);
  if (st != 0) return st;
  u64 end = u64Offset + nLen;
  if (end > m_u64Size) {
    u64 total = (end + SECTOR_SIZE - 1) / SECTOR_SIZE * SECTOR_SIZE;
    if (ftruncate(m_nFd, static_cast<off_t>(total)) != 0) return errno;
    m_u64Size = total;
  }
  return 0;
}

int CMemDisk::GetDiskNo() {
  if (m_nFd < 0) return -1;
  if (m_nDiskNo < 0) m_nDiskNo = AddDiskImage(m_strPath);
  return m_nDiskNo;
}

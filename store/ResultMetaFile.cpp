#include "store/ResultMetaFile.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <vector>

namespace {
constexpr size_t kRecord = sizeof(_RESULT_META_);
constexpr u64 kMaxRecords = 1ull << 26;  // far past any scan; bounds a damaged file's read-back
}  // namespace

CResultMetaFile::~CResultMetaFile() { Close(); }

void CResultMetaFile::Close() {
  if (m_nFd >= 0) close(m_nFd);
  m_nFd = -1;
  m_u64Records = 0;
}

int CResultMetaFile::Open(const std::string& path) {
  Close();
  m_nFd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (m_nFd < 0) return errno ? errno : EIO;
  struct stat st;
  if (fstat(m_nFd, &st) != 0 || !S_ISREG(st.st_mode)) {
    Close();
    return EINVAL;
  }
  m_u64Records = static_cast<u64>(st.st_size) / kRecord;
  return 0;
}

int CResultMetaFile::Append(const _RESULT_META_& rec) {
  if (m_nFd < 0) return STATUS_INVALID_PARAMETER;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(&rec);
  size_t done = 0;
  const off_t at = static_cast<off_t>(m_u64Records * kRecord);
  while (done < kRecord) {
    const ssize_t w = pwrite(m_nFd, p + done, kRecord - done, at + static_cast<off_t>(done));
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return w < 0 && errno ? errno : ENOSPC;
    done += static_cast<size_t>(w);
  }
  ++m_u64Records;
  return 0;
}

int CResultMetaFile::ReadAll(const std::string& path, RESULT_META_MAP& out) {
  out.clear();
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return errno == ENOENT ? 0 : (errno ? errno : EIO);
  std::vector<unsigned char> chunk(kRecord * 256);
  u64 at = 0;
  int status = 0;
  for (u64 records = 0; records < kMaxRecords;) {
    const ssize_t r = pread(fd, chunk.data(), chunk.size(), static_cast<off_t>(at));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) {
      status = errno ? errno : EIO;
      break;
    }
    const size_t whole = static_cast<size_t>(r) / kRecord;
    for (size_t k = 0; k < whole; ++k) {
      _RESULT_META_ rec;
      std::memcpy(&rec, chunk.data() + k * kRecord, kRecord);
      // Text fields end inside their field whatever the file holds.
      rec.szTitle[sizeof(rec.szTitle) - 1] = rec.szArtist[sizeof(rec.szArtist) - 1] = 0;
      rec.szMake[sizeof(rec.szMake) - 1] = rec.szModel[sizeof(rec.szModel) - 1] = 0;
      if (rec.nFileIndex != 0) out[rec.nFileIndex] = rec;
    }
    records += whole;
    at += whole * kRecord;
    if (static_cast<size_t>(r) < chunk.size()) break;
  }
  close(fd);
  return status;
}

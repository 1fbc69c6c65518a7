#include "store/ResultMetaFile.h"

#include "engine/ByteOrder.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "store/ExternalSort.h"

namespace {
constexpr size_t kRecord = sizeof(_RESULT_META_);
constexpr u64 kMaxRecords = 1ull << 26;
constexpr size_t kBatchRecords = 128;  // 40 KB a write  // far past any scan; bounds a damaged file's read-back

// A record as read from the file, its texts ended inside their fields.
_RESULT_META_ DecodeRecord(const unsigned char* p) {
  _RESULT_META_ rec;
  std::memcpy(&rec, p, kRecord);
  rec.szTitle[sizeof(rec.szTitle) - 1] = rec.szArtist[sizeof(rec.szArtist) - 1] = 0;
  rec.szMake[sizeof(rec.szMake) - 1] = rec.szModel[sizeof(rec.szModel) - 1] = 0;
  return rec;
}

int ReadFull(int fd, unsigned char* p, size_t n, u64 at, size_t& got) {
  got = 0;
  while (got < n) {
    const ssize_t r = pread(fd, p + got, n - got, static_cast<off_t>(at + got));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return errno ? errno : EIO;
    if (r == 0) break;
    got += static_cast<size_t>(r);
  }
  return 0;
}

// True when no record's index is below the one before it.
bool InIndexOrder(int fd) {
  std::vector<unsigned char> chunk(kRecord * 1024);
  u32 last = 0;
  for (u64 at = 0;;) {
    size_t got = 0;
    if (ReadFull(fd, chunk.data(), chunk.size(), at, got) != 0) return false;
    for (size_t k = 0; k + kRecord <= got; k += kRecord) {
      const u32 index = GetU32LE(chunk.data() + k, kRecord, 0);
      if (index < last) return false;
      last = index;
    }
    if (got < chunk.size()) return true;
    at += got;
  }
}

}  // namespace

CResultMetaFile::~CResultMetaFile() { Close(); }

void CResultMetaFile::Close() {
  Flush();
  if (m_nFd >= 0) close(m_nFd);
  m_nFd = -1;
  m_u64Records = 0;
  m_pending.clear();
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
  m_pending.push_back(rec);
  return m_pending.size() >= kBatchRecords ? Flush() : 0;
}

int CResultMetaFile::Flush() {
  if (m_nFd < 0 || m_pending.empty()) return 0;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(m_pending.data());
  const size_t want = m_pending.size() * kRecord;
  const off_t at = static_cast<off_t>(m_u64Records * kRecord);
  size_t done = 0;
  int err = 0;
  while (done < want) {
    const ssize_t w = pwrite(m_nFd, p + done, want - done, at + static_cast<off_t>(done));
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      err = w < 0 && errno ? errno : ENOSPC;
      break;
    }
    done += static_cast<size_t>(w);
  }
  // What was written whole counts; a torn record is written over next time.
  m_u64Records += done / kRecord;
  m_pending.clear();
  return err;
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
      // Text fields end inside their field whatever the file holds.
      const _RESULT_META_ rec = DecodeRecord(chunk.data() + k * kRecord);
      if (rec.nFileIndex != 0) out[rec.nFileIndex] = rec;
    }
    records += whole;
    at += whole * kRecord;
    if (static_cast<size_t>(r) < chunk.size()) break;
  }
  close(fd);
  return status;
}

CResultMetaCursor::~CResultMetaCursor() {
  if (m_nFd >= 0) close(m_nFd);
}

int CResultMetaCursor::Open(const std::string& path, const std::string& tempDir) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return errno == ENOENT ? 0 : (errno ? errno : EIO);
  if (InIndexOrder(fd)) {
    m_nFd = fd;
  } else {
    // Sorted by index; equal indices keep their order, so the last written stays last.
    CExternalSort sort(tempDir, 32u << 20);
    std::vector<unsigned char> chunk(kRecord * 1024);
    int status = 0;
    for (u64 at = 0, records = 0; status == 0 && records < kMaxRecords;) {
      size_t got = 0;
      status = ReadFull(fd, chunk.data(), chunk.size(), at, got);
      for (size_t k = 0; status == 0 && k + kRecord <= got; k += kRecord, ++records) {
        const u32 index = GetU32LE(chunk.data() + k, kRecord, 0);
        const char key[4] = {static_cast<char>(index >> 24), static_cast<char>(index >> 16),
                             static_cast<char>(index >> 8), static_cast<char>(index)};
        status = sort.Add(std::string(key, 4), std::string(reinterpret_cast<const char*>(chunk.data() + k), kRecord));
      }
      if (got < chunk.size()) break;
      at += got;
    }
    close(fd);
    if (status != 0) return status;
    m_nFd = OpenUnnamedTempFile(tempDir);
    if (m_nFd < 0) return errno ? errno : EIO;
    u64 out = 0;
    status = sort.Merge([&](const std::string&, const std::string& payload) {
      size_t done = 0;
      while (done < payload.size()) {
        const ssize_t w = pwrite(m_nFd, payload.data() + done, payload.size() - done, static_cast<off_t>(out + done));
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
          status = errno ? errno : EIO;
          return false;
        }
        done += static_cast<size_t>(w);
      }
      out += done;
      return true;
    });
    if (status != 0) return status;
  }
  m_bHaveNext = Advance();
  return 0;
}

bool CResultMetaCursor::Advance() {
  if (m_nFd < 0) return false;
  if (m_buf.size() - m_nPos < kRecord) {
    m_buf.resize(kRecord * 256);
    size_t got = 0;
    if (ReadFull(m_nFd, m_buf.data(), m_buf.size(), m_u64At, got) != 0) got = 0;
    got -= got % kRecord;
    m_buf.resize(got);
    m_u64At += got;
    m_nPos = 0;
    if (got == 0) return false;
  }
  m_next = DecodeRecord(m_buf.data() + m_nPos);
  m_nPos += kRecord;
  return true;
}

const _RESULT_META_* CResultMetaCursor::Find(u32 nFileIndex) {
  bool found = false;
  while (m_bHaveNext && m_next.nFileIndex <= nFileIndex) {
    if (m_next.nFileIndex == nFileIndex) {
      m_found = m_next;
      found = true;
    }
    m_bHaveNext = Advance();
  }
  return found && nFileIndex != 0 ? &m_found : nullptr;
}

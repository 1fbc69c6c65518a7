#include "store/LogFileManager.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <limits.h>
#include <stdlib.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "engine/ByteOrder.h"
#include "engine/DiskMap.h"
#include "engine/DiskReader.h"
#include "engine/Sha256.h"

namespace {

constexpr size_t kRecordSize = sizeof(_LOG_FILE_INFO_);  // 592
constexpr size_t kHeaderSize = 8;
// A "config" holds one record per remembered scan; anything near this many
// is damage, and the cap keeps a hostile file from claiming huge memory.
constexpr size_t kMaxRecords = 100000;
// Folder levels DeleteLogFileDir descends; our scan folders have one.
constexpr int kMaxDeleteDepth = 32;

void PutU32(unsigned char* p, u32 v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
void PutU64(unsigned char* p, u64 v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

void CopyText(char (&dst)[256], const char* src) {
  memset(dst, 0, sizeof(dst));
  if (src) memcpy(dst, src, strnlen(src, sizeof(dst) - 1));
}

void SerializeRecord(const _LOG_FILE_INFO_& r, unsigned char* p) {
  memset(p, 0, kRecordSize);
  PutU32(p + 0x000, static_cast<u32>(r.nDiskNo));
  PutU32(p + 0x004, r.nZero);
  PutU64(p + 0x008, r.u64StartSector);
  PutU64(p + 0x010, r.u64SectorCount);
  PutU64(p + 0x018, r.u64RunStart);
  PutU64(p + 0x020, r.u64RunLength);
  PutU64(p + 0x028, r.u64RunPosition);
  PutU64(p + 0x030, r.u64SectorsDone);
  PutU64(p + 0x038, r.u64FilesFound);
  PutU64(p + 0x040, r.u64FreeSpace);
  PutU64(p + 0x048, r.u64Zero);
  memcpy(p + 0x050, r.szScanPath, strnlen(r.szScanPath, 255));
  memcpy(p + 0x150, r.szLogDir, strnlen(r.szLogDir, 255));
}

_LOG_FILE_INFO_ ParseRecord(const unsigned char* p) {
  _LOG_FILE_INFO_ r;
  memset(&r, 0, sizeof(r));
  r.nDiskNo = static_cast<i32>(GetU32LE(p, kRecordSize, 0x000));
  r.nZero = GetU32LE(p, kRecordSize, 0x004);
  r.u64StartSector = GetU64LE(p, kRecordSize, 0x008);
  r.u64SectorCount = GetU64LE(p, kRecordSize, 0x010);
  r.u64RunStart = GetU64LE(p, kRecordSize, 0x018);
  r.u64RunLength = GetU64LE(p, kRecordSize, 0x020);
  r.u64RunPosition = GetU64LE(p, kRecordSize, 0x028);
  r.u64SectorsDone = GetU64LE(p, kRecordSize, 0x030);
  r.u64FilesFound = GetU64LE(p, kRecordSize, 0x038);
  r.u64FreeSpace = GetU64LE(p, kRecordSize, 0x040);
  r.u64Zero = GetU64LE(p, kRecordSize, 0x048);
  // The texts may lack their terminator in a damaged file.
  memcpy(r.szScanPath, p + 0x050, 255);
  memcpy(r.szLogDir, p + 0x150, 255);
  return r;
}

u64 FreeSpaceOf(const char* pPath) {
  if (!pPath || !*pPath) return 0;
  // A disk image is a file on some other volume whose free space changes
  // with anything written there (our own result files included); what says
  // whether the scanned image changed is its size and modification time.
  struct stat st;
  if (stat(pPath, &st) == 0 && S_ISREG(st.st_mode)) {
    u64 mtime = static_cast<u64>(st.st_mtim.tv_sec) * 1000000000ull + static_cast<u64>(st.st_mtim.tv_nsec);
    u64 v = (static_cast<u64>(st.st_size) * 0x9E3779B97F4A7C15ull) ^ mtime;
    return v ? v : 1;
  }
  // rsb_getFreeSpace shortens the path in place.
  char buf[4096];
  snprintf(buf, sizeof(buf), "%s", pPath);
  unsigned int hi = 0, lo = 0;
  if (rsb_getFreeSpace(buf, 0, &hi, &lo) != 0) return 0;
  return (static_cast<u64>(hi) << 32) | lo;
}

bool PathExists(const std::string& p) {
  struct stat st;
  return lstat(p.c_str(), &st) == 0;
}

std::string RealPath(const std::string& p) {
  char buf[PATH_MAX];
  if (!realpath(p.c_str(), buf)) return std::string();
  return buf;
}

// Records written since targets are identified by what they are carry this
// in nZero; older ones carry 0.
constexpr u32 kIdentityRecord = 2;

// What a scanned target is, independent of the disk number it has today:
// an image by its path and inode, a device by its stable id and size, both
// with a hash of sampled sectors (the first MiB and 64 places spread over
// the disk), so a loop device re-attached to other content, or an image
// rewritten with the same size and time, is not taken for the scanned one.
struct TARGET_IDENTITY {
  bool bKnown = false;
  std::string strId;  // "image:<real path>" or "device:<stable id>"
  u64 u64Key = 0;     // image: device and inode; device: size
  u64 u64Sample = 0;  // hash of sampled sectors
};

u64 FirstWord(const std::string& hex) {
  u64 v = 0;
  for (size_t i = 0; i < 16 && i < hex.size(); ++i) {
    char c = hex[i];
    v = (v << 4) | static_cast<u64>(c <= '9' ? c - '0' : c - 'a' + 10);
  }
  return v ? v : 1;
}

std::string StableDeviceId(dev_t rdev, const std::string& fallback) {
  std::string best;
  if (DIR* d = opendir("/dev/disk/by-id")) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] == '.') continue;
      std::string p = std::string("/dev/disk/by-id/") + e->d_name;
      struct stat st;
      if (stat(p.c_str(), &st) == 0 && S_ISBLK(st.st_mode) && st.st_rdev == rdev && (best.empty() || best > e->d_name))
        best = e->d_name;
    }
    closedir(d);
  }
  return best.empty() ? fallback : best;
}

TARGET_IDENTITY IdentifyTarget(const char* pPath) {
  TARGET_IDENTITY id;
  struct stat st;
  if (!pPath || stat(pPath, &st) != 0 || !(S_ISREG(st.st_mode) || S_ISBLK(st.st_mode))) return id;
  int fd = OpenPathReadOnly(pPath);
  if (fd < 0) return id;
  u64 size = rsb_getDeviceSize(fd);
  std::string real = RealPath(pPath);
  if (S_ISREG(st.st_mode)) {
    id.strId = "image:" + real;
    id.u64Key = (static_cast<u64>(st.st_dev) << 40) ^ static_cast<u64>(st.st_ino);
  } else {
    id.strId = "device:" + StableDeviceId(st.st_rdev, real);
    id.u64Key = size;
  }
  CSha256 sha;
  unsigned char sizeBytes[8];
  PutU64(sizeBytes, size);
  sha.Update(sizeBytes, 8);
  // The first MiB a piece at a time, up to the first piece that is short.
  std::vector<unsigned char> buf(65536);
  size_t got = 0;
  const u64 head = std::min<u64>(1u << 20, size);
  for (u64 off = 0; off < head; off += buf.size()) {
    const size_t want = static_cast<size_t>(std::min<u64>(buf.size(), head - off));
    got = 0;
    ReadAt(fd, buf.data(), want, off, &got);
    sha.Update(buf.data(), got);
    if (got < want) break;
  }
  for (u64 i = 1; i < 64 && size > (1u << 20); ++i) {
    u64 off = (size / 64 * i) & ~static_cast<u64>(4095);
    got = 0;
    ReadAt(fd, buf.data(), 4096, off, &got);
    sha.Update(buf.data(), got);
  }
  close(fd);
  id.u64Sample = FirstWord(sha.HexDigest());
  id.bKnown = true;
  return id;
}

// The identity a scan's start computed, for its record at the end: one
// hashing per scan, and the record describes the target as the scan found
// it. Taken once, and only while the path still names the same unchanged
// file or device node; anything else is identified afresh.
struct IDENTITY_MEMO {
  std::mutex mutex;
  bool bSet = false;
  std::string strPath;
  struct stat st;
  TARGET_IDENTITY id;
};
IDENTITY_MEMO g_identityMemo;

bool SameStat(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_rdev == b.st_rdev && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
         a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

TARGET_IDENTITY IdentifyAndRemember(const char* pPath) {
  struct stat before;
  const bool statted = pPath && stat(pPath, &before) == 0;
  TARGET_IDENTITY id = IdentifyTarget(pPath);
  std::lock_guard<std::mutex> lock(g_identityMemo.mutex);
  g_identityMemo.bSet = statted && id.bKnown;
  if (g_identityMemo.bSet) {
    g_identityMemo.strPath = pPath;
    g_identityMemo.st = before;
    g_identityMemo.id = id;
  }
  return id;
}

TARGET_IDENTITY TakeRememberedIdentity(const char* pPath) {
  struct stat now;
  const bool statted = pPath && stat(pPath, &now) == 0;
  {
    std::lock_guard<std::mutex> lock(g_identityMemo.mutex);
    const bool same =
        g_identityMemo.bSet && statted && g_identityMemo.strPath == pPath && SameStat(g_identityMemo.st, now);
    g_identityMemo.bSet = false;
    if (same) return g_identityMemo.id;
  }
  return IdentifyTarget(pPath);
}

bool SameTarget(const _LOG_FILE_INFO_& r, const TARGET_IDENTITY& id) {
  std::string recId(r.szScanPath, strnlen(r.szScanPath, sizeof(r.szScanPath)));
  bool image = recId.compare(0, 6, "image:") == 0;
  // An image found by its path, or moved with its inode kept.
  bool named = recId == id.strId.substr(0, sizeof(r.szScanPath) - 1) || (image && r.u64Zero == id.u64Key);
  return named && (image || r.u64Zero == id.u64Key);
}

// A record's positions must fit the range they claim to cover: a damaged
// one could make a resumed scan loop for ever or skip the rest of the disk.
bool RecordFitsRange(const _LOG_FILE_INFO_& r) {
  const u64 n = r.u64SectorCount;
  return r.u64RunStart <= n && r.u64RunLength <= n - r.u64RunStart && r.u64RunPosition <= r.u64RunLength &&
         r.u64SectorsDone <= n;
}

// Empties the folder open at fd (which this call closes), never following a
// symbolic link: links are removed as entries.
void RemoveFolderContents(int fd, int depth) {
  DIR* d = fdopendir(fd);
  if (!d) {
    close(fd);
    return;
  }
  std::vector<std::string> names;
  while (dirent* e = readdir(d)) {
    if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, "..")) continue;
    names.push_back(e->d_name);
  }
  int dfd = dirfd(d);
  for (const std::string& name : names) {
    struct stat st;
    if (fstatat(dfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      if (depth < kMaxDeleteDepth) {
        int child = openat(dfd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (child >= 0) RemoveFolderContents(child, depth + 1);
      }
      unlinkat(dfd, name.c_str(), AT_REMOVEDIR);
    } else {
      unlinkat(dfd, name.c_str(), 0);
    }
  }
  closedir(d);
}

// Splits a scan-folder path into its resolved parent and last name, and
// tells whether it lies inside the scan-log folder base. Paths in "config"
// may be damaged or hostile, so this is judged on resolved paths.
bool SplitInsideBase(const std::string& base, const char* pDir, std::string& realParent, std::string& name) {
  std::string dir = pDir ? pDir : "";
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  size_t slash = dir.rfind('/');
  if (slash == std::string::npos) return false;
  name = dir.substr(slash + 1);
  if (name.empty() || name == "." || name == "..") return false;
  std::string realBase = RealPath(base);
  realParent = RealPath(slash == 0 ? "/" : dir.substr(0, slash));
  if (realBase.empty() || realParent.empty()) return false;
  return realParent == realBase || realParent.compare(0, realBase.size() + 1, realBase + "/") == 0;
}

bool EndsWith(const char* s, const char* suffix) {
  size_t n = strlen(s), m = strlen(suffix);
  return n >= m && memcmp(s + n - m, suffix, m) == 0;
}

}  // namespace

CLogFileManager* CLogFileManager::GetInstance() {
  static CLogFileManager s_instance;
  return &s_instance;
}

CLogFileManager::CLogFileManager() : m_u64DirIndex(0), m_bFixedPath(false) {
  m_strBasePath = GetScanLogDir();
  Init();
}

int CLogFileManager::Reload() {
  m_strBasePath = GetScanLogDir();
  m_u64DirIndex = 0;
  m_bFixedPath = false;
  m_strFixedPath.clear();
  m_vecLogInfo.clear();
  return Init();
}

int CLogFileManager::Init() {
  std::string config = m_strBasePath + "config";
  std::string tmp = config + ".tmp";
  // A save interrupted between writing the new index and renaming it.
  if (!PathExists(config) && PathExists(tmp)) rename(tmp.c_str(), config.c_str());

  int fd = open(config.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return STATUS_INVALID_PARAMETER;
  struct stat st;
  if (fstat(fd, &st) != 0) {
    int err = errno;
    close(fd);
    return err;
  }
  if (st.st_size <= 0) {
    close(fd);
    return STATUS_INVALID_PARAMETER;
  }
  size_t want = static_cast<size_t>(
      std::min<u64>(static_cast<u64>(st.st_size), kHeaderSize + kMaxRecords * kRecordSize));
  std::vector<unsigned char> data(want);
  size_t got = 0;
  int status = 0;
  while (got < want) {
    ssize_t r = pread(fd, data.data() + got, want - got, static_cast<off_t>(got));
    if (r < 0) {
      if (errno == EINTR) continue;
      status = errno;
      break;
    }
    if (r == 0) {
      status = STATUS_SHORT_READ;
      break;
    }
    got += static_cast<size_t>(r);
  }
  close(fd);

  if (got >= kHeaderSize) {
    m_u64DirIndex = GetU64LE(data.data(), got, 0);
    for (size_t off = kHeaderSize; off + kRecordSize <= got; off += kRecordSize)
      m_vecLogInfo.push_back(ParseRecord(data.data() + off));
  }
  return status;
}

void CLogFileManager::GetLogFileDirPath(char* pOut) {
  if (!pOut) return;
  snprintf(pOut, 256, "%s", GetLogFileDirPath().c_str());
}

std::string CLogFileManager::GetLogFileDirPath() {
  if (m_bFixedPath) return m_strFixedPath;
  return m_strBasePath + std::to_string(m_u64DirIndex) + "/";
}

void CLogFileManager::ReleaseDirLock() {
  if (m_nDirLock < 0) return;
  unlink(m_strDirLock.c_str());
  close(m_nDirLock);
  m_nDirLock = -1;
}

bool CLogFileManager::FolderInUse(const std::string& dir) const {
  // Scan folders are "<base><n>/"; their lock stands beside them while a
  // process holds the folder.
  if (dir.compare(0, m_strBasePath.size(), m_strBasePath) != 0) return false;
  std::string n = dir.substr(m_strBasePath.size());
  while (!n.empty() && n.back() == '/') n.pop_back();
  if (n.empty() || n.find_first_not_of("0123456789") != std::string::npos) return false;
  const std::string lockPath = m_strBasePath + ".busy-" + n;
  if (lockPath == m_strDirLock && m_nDirLock >= 0) return true;
  const int fd = open(lockPath.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  const bool held = flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  close(fd);
  return held;
}

void CLogFileManager::AddDirIndex() {
  // Another process (the window beside the command line) may have recorded
  // scans since we read the index, or be scanning into the next folder now.
  ReleaseDirLock();
  const u64 known = m_u64DirIndex;
  Reload();
  if (m_u64DirIndex < known) m_u64DirIndex = known;
  for (int tries = 0; tries < 4096; ++tries) {
    ++m_u64DirIndex;
    std::string dir = GetLogFileDirPath();
    bool recorded = false;
    for (const _LOG_FILE_INFO_& r : m_vecLogInfo)
      recorded = recorded || strncmp(r.szLogDir, dir.c_str(), sizeof(r.szLogDir)) == 0;
    if (recorded) continue;
    // A lock beside the folder, held while this process scans into it.
    std::string lockPath = m_strBasePath + ".busy-" + std::to_string(m_u64DirIndex);
    int fd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0) {
      close(fd);
      continue;
    }
    m_nDirLock = fd;
    m_strDirLock = lockPath;
    break;
  }
  // Wipe whatever an abandoned scan of this number left behind.
  DeleteLogFileDir(GetLogFileDirPath().c_str());
}

void CLogFileManager::ReduceDirIndex() {
  ReleaseDirLock();
  if (m_u64DirIndex > 0) --m_u64DirIndex;
}

namespace {
// Held while the index is read again, changed and written: two processes
// recording scans at once (the window beside the command line) each keep the
// other's record, and only one writes the temporary file at a time.
class CIndexLock {
 public:
  explicit CIndexLock(const std::string& base)
      : m_nFd(open((base + "config.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600)) {
    while (m_nFd >= 0 && flock(m_nFd, LOCK_EX) != 0 && errno == EINTR) {
    }
  }
  ~CIndexLock() {
    if (m_nFd >= 0) close(m_nFd);
  }
  CIndexLock(const CIndexLock&) = delete;
  CIndexLock& operator=(const CIndexLock&) = delete;

 private:
  int m_nFd;
};
}  // namespace

void CLogFileManager::RereadRecords() {
  const u64 known = m_u64DirIndex;
  m_u64DirIndex = 0;
  m_vecLogInfo.clear();
  Init();
  if (m_u64DirIndex < known) m_u64DirIndex = known;
}

int CLogFileManager::SaveLogFileInfo(const char* pDevicePath, int nDiskNo, u64 u64StartSector, u64 u64SectorCount,
                                     u64 u64RunStart, u64 u64RunLength, u64 u64RunPosition, u64 u64SectorsDone,
                                     u64 u64FilesFound, const char* pLogDir, const char* pScanPath) {
  CIndexLock lock(m_strBasePath);
  RereadRecords();
  const char* logDir = pLogDir ? pLogDir : "";
  bool byPath = pScanPath && *pScanPath;
  TARGET_IDENTITY id = byPath ? TARGET_IDENTITY() : TakeRememberedIdentity(pDevicePath);
  u64 fingerprint = 0;
  if (!byPath) {
    fingerprint = id.bKnown ? id.u64Sample : FreeSpaceOf(pDevicePath);
    for (size_t i = 0; i < m_vecLogInfo.size(); ++i) {
      _LOG_FILE_INFO_& r = m_vecLogInfo[i];
      if (r.u64StartSector != u64StartSector || r.u64SectorCount != u64SectorCount) continue;
      // A known target is the same by what it is, whatever its number today.
      bool same = id.bKnown ? (r.nZero == kIdentityRecord && SameTarget(r, id)) : r.nDiskNo == nDiskNo;
      if (!same) continue;
      bool sameDir = strncasecmp(r.szLogDir, logDir, sizeof(r.szLogDir)) == 0;
      if (r.u64FreeSpace == fingerprint && sameDir) {
        r.nDiskNo = nDiskNo;
        r.u64RunStart = u64RunStart;
        r.u64RunLength = u64RunLength;
        r.u64RunPosition = u64RunPosition;
        r.u64SectorsDone = u64SectorsDone;
        r.u64FilesFound = u64FilesFound;
        return SaveLogConfigFile();
      }
      // The old record is replaced. Its folder goes with it, unless it is the
      // folder this very scan has just written its results into, or one
      // another process is still scanning into or listing from (the same
      // disk scanned twice at once): that one is left to it.
      std::string oldDir(r.szLogDir, strnlen(r.szLogDir, sizeof(r.szLogDir)));
      if (sameDir || FolderInUse(oldDir))
        m_vecLogInfo.erase(m_vecLogInfo.begin() + static_cast<std::ptrdiff_t>(i));
      else
        DeleteLogFileDir(oldDir.c_str());
      break;
    }
  }
  _LOG_FILE_INFO_ rec;
  memset(&rec, 0, sizeof(rec));
  rec.nDiskNo = nDiskNo;
  rec.u64StartSector = u64StartSector;
  rec.u64SectorCount = u64SectorCount;
  rec.u64RunStart = u64RunStart;
  rec.u64RunLength = u64RunLength;
  rec.u64RunPosition = u64RunPosition;
  rec.u64SectorsDone = u64SectorsDone;
  rec.u64FilesFound = u64FilesFound;
  rec.u64FreeSpace = fingerprint;
  CopyText(rec.szLogDir, logDir);
  if (id.bKnown) {
    rec.nZero = kIdentityRecord;
    rec.u64Zero = id.u64Key;
    CopyText(rec.szScanPath, id.strId.c_str());
  } else {
    CopyText(rec.szScanPath, byPath ? pScanPath : "");
  }
  m_vecLogInfo.push_back(rec);
  return SaveLogConfigFile();
}

int CLogFileManager::LoadRecoveryLogInfo(const char* pDevicePath, int nDiskNo, u64 u64StartSector,
                                         u64 u64SectorCount, _LOG_FILE_INFO_* pOut) {
  m_strLastMismatch.clear();
  TARGET_IDENTITY id = IdentifyAndRemember(pDevicePath);
  u64 fingerprint = id.bKnown ? id.u64Sample : FreeSpaceOf(pDevicePath);
  for (const _LOG_FILE_INFO_& r : m_vecLogInfo) {
    if (r.u64StartSector != u64StartSector || r.u64SectorCount != u64SectorCount) continue;
    bool identityRecord = r.nZero == kIdentityRecord;
    if (id.bKnown) {
      if (!identityRecord) {
        // Written before targets were identified: it cannot be told apart
        // from another disk's record, so it is not resumed.
        if (r.nDiskNo != nDiskNo) continue;
        m_strLastMismatch = "the recorded scan predates the check of what a disk is";
      } else if (!SameTarget(r, id)) {
        continue;
      }
    } else if (r.nDiskNo != nDiskNo || identityRecord) {
      continue;
    }
    std::string realParent, name;
    if (!SplitInsideBase(m_strBasePath, r.szLogDir, realParent, name)) {
      // Results are never written outside the scan-log folder: forget it.
      m_strLastMismatch = "the scan record is damaged";
      m_vecLogInfo.erase(m_vecLogInfo.begin() + (&r - m_vecLogInfo.data()));
      break;
    }
    struct stat st;
    std::string dir = realParent + "/" + name;
    std::string oldDir(r.szLogDir, strnlen(r.szLogDir, sizeof(r.szLogDir)));
    if (lstat(dir.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) {
      m_strLastMismatch = "the scan record is damaged";
      DeleteLogFileDir(oldDir.c_str());  // a link or file in the folder's place
      break;
    }
    if (!RecordFitsRange(r)) {
      m_strLastMismatch = "the scan record is damaged";
      DeleteLogFileDir(oldDir.c_str());
      break;
    }
    if (m_strLastMismatch.empty() && r.u64FreeSpace == fingerprint) {
      m_bFixedPath = true;
      m_strFixedPath.assign(r.szLogDir, strnlen(r.szLogDir, sizeof(r.szLogDir)));
      if (pOut) *pOut = r;
      return 1;
    }
    if (m_strLastMismatch.empty()) m_strLastMismatch = "the disk's content changed since the recorded scan";
    DeleteLogFileDir(oldDir.c_str());
    break;
  }
  m_bFixedPath = false;
  m_strFixedPath.clear();
  return 0;
}

int CLogFileManager::LoadRecoveryLogInfo(const char*, _LOG_FILE_INFO_*) { return 0; }

int CLogFileManager::GetFileInfo(int nDiskNo, u64 u64StartSector, u64 u64SectorCount, u64 u64FreeSpace,
                                 _LOG_FILE_INFO_** ppOut) {
  for (_LOG_FILE_INFO_& r : m_vecLogInfo) {
    if (r.nDiskNo != nDiskNo || r.u64StartSector != u64StartSector || r.u64SectorCount != u64SectorCount)
      continue;
    if (r.u64FreeSpace == u64FreeSpace) {
      if (ppOut) *ppOut = &r;
      return 1;
    }
    std::string oldDir(r.szLogDir, strnlen(r.szLogDir, sizeof(r.szLogDir)));
    DeleteLogFileDir(oldDir.c_str());
    return 0;
  }
  return 0;
}

int CLogFileManager::GetFileInfo(const char* pScanPath, u64 u64Value, _LOG_FILE_INFO_** ppOut) {
  if (!pScanPath) return 0;
  for (_LOG_FILE_INFO_& r : m_vecLogInfo) {
    if (strncmp(r.szScanPath, pScanPath, sizeof(r.szScanPath)) != 0) continue;
    if (r.u64Zero == u64Value) {
      if (ppOut) *ppOut = &r;
      return 1;
    }
    std::string oldDir(r.szLogDir, strnlen(r.szLogDir, sizeof(r.szLogDir)));
    DeleteLogFileDir(oldDir.c_str());
    return 0;
  }
  return 0;
}

int CLogFileManager::GetLogFileNameByFileType(const char* pLogDir, const char* pPrefix, char* pOut) {
  if (!pLogDir || !pPrefix || !pOut) return 0;
  DIR* d = opendir(pLogDir);
  if (!d) {
    fputs("open dir failed\n", stderr);
    return 0;
  }
  // Take the smallest matching name so the answer does not depend on the
  // order the folder lists its entries in.
  std::string best;
  while (dirent* e = readdir(d)) {
    const char* name = e->d_name;
    if (!strcmp(name, ".") || !strcmp(name, "..")) continue;
    if (!strstr(name, pPrefix)) continue;
    if (EndsWith(name, "_Relation") || EndsWith(name, "_DirInfo") || EndsWith(name, "_Meta")) continue;
    if (strlen(name) > 255) continue;
    if (best.empty() || best > name) best = name;
  }
  closedir(d);
  if (!best.empty()) snprintf(pOut, 256, "%s", best.c_str());
  return 0;
}

int CLogFileManager::DeleteLogFileDir(const char* pLogDir) {
  if (!pLogDir || !*pLogDir) return STATUS_INVALID_PARAMETER;
  for (auto it = m_vecLogInfo.begin(); it != m_vecLogInfo.end(); ++it) {
    if (strncasecmp(it->szLogDir, pLogDir, sizeof(it->szLogDir)) == 0) {
      m_vecLogInfo.erase(it);
      break;
    }
  }

  std::string realParent, name;
  std::string dir = pLogDir;
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  struct stat st;
  if (lstat(dir.c_str(), &st) != 0) return 0;  // nothing left to remove
  if (!SplitInsideBase(m_strBasePath, pLogDir, realParent, name)) return STATUS_INVALID_PARAMETER;

  int pfd = open(realParent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (pfd < 0) return 0;
  if (S_ISDIR(st.st_mode)) {
    int fd = openat(pfd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) RemoveFolderContents(fd, 1);
    unlinkat(pfd, name.c_str(), AT_REMOVEDIR);
  } else {
    // A link or file in the folder's place: remove it, never its target.
    unlinkat(pfd, name.c_str(), 0);
  }
  close(pfd);
  return 0;
}

int CLogFileManager::SaveLogConfigFile() {
  std::string config = m_strBasePath + "config";
  std::string tmp = config + ".tmp";
  std::vector<unsigned char> data(kHeaderSize + m_vecLogInfo.size() * kRecordSize);
  PutU64(data.data(), m_u64DirIndex);
  for (size_t i = 0; i < m_vecLogInfo.size(); ++i)
    SerializeRecord(m_vecLogInfo[i], data.data() + kHeaderSize + i * kRecordSize);

  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return errno;
  int err = 0;
  size_t done = 0;
  while (done < data.size()) {
    ssize_t w = write(fd, data.data() + done, data.size() - done);
    if (w < 0) {
      if (errno == EINTR) continue;
      err = errno;
      break;
    }
    if (w == 0) {
      err = EIO;
      break;
    }
    done += static_cast<size_t>(w);
  }
  if (!err && fsync(fd) != 0) err = errno;
  if (close(fd) != 0 && !err) err = errno;
  if (err) {
    // Keep the last good index: a partial one would lose every past scan.
    unlink(tmp.c_str());
    return err;
  }
  if (rename(tmp.c_str(), config.c_str()) != 0) {
    err = errno;
    unlink(tmp.c_str());
    return err;
  }
  return 0;
}

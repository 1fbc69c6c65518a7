#include "engine/SafeFs.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "engine/Status.h"

namespace {

std::once_flag g_userOnce;
INVOKING_USER g_user;
bool g_userSet = false;

bool ParseId(const char* text, unsigned long& out) {
  if (!text || !*text) return false;
  char* end = nullptr;
  errno = 0;
  unsigned long v = strtoul(text, &end, 10);
  if (errno != 0 || !end || *end != 0 || v > 0x7FFFFFFFul) return false;
  out = v;
  return true;
}

void FindInvokingUser() {
  if (g_userSet) return;
  g_user.uid = geteuid();
  g_user.gid = getegid();
  g_user.bOther = false;
  if (geteuid() != 0) return;
  unsigned long uid = 0, gid = 0;
  bool haveUid = ParseId(getenv("SUDO_UID"), uid) || ParseId(getenv("PKEXEC_UID"), uid);
  if (!haveUid || uid == 0) return;
  if (!ParseId(getenv("SUDO_GID"), gid)) {
    struct passwd pw, *res = nullptr;
    char buf[4096];
    gid = (getpwuid_r(static_cast<uid_t>(uid), &pw, buf, sizeof(buf), &res) == 0 && res) ? res->pw_gid : uid;
  }
  g_user.uid = static_cast<uid_t>(uid);
  g_user.gid = static_cast<gid_t>(gid);
  g_user.bOther = true;
}

// A folder we may write into: ours, the invoking user's, or root's.
bool TrustedOwner(uid_t owner) { return owner == geteuid() || owner == 0 || owner == InvokingUser().uid; }

bool IsPlainName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.size() <= NAME_MAX;
}

// Cuts a UTF-8 text to at most n bytes without splitting a character.
std::string CutUtf8(const std::string& s, size_t n) {
  if (s.size() <= n) return s;
  size_t end = n;
  while (end > 0 && (static_cast<unsigned char>(s[end]) & 0xC0) == 0x80) --end;
  return s.substr(0, end);
}

}  // namespace

const INVOKING_USER& InvokingUser() {
  std::call_once(g_userOnce, FindInvokingUser);
  return g_user;
}

void SetInvokingUser(uid_t uid, gid_t gid) {
  std::call_once(g_userOnce, FindInvokingUser);
  g_user.uid = uid;
  g_user.gid = gid;
  g_user.bOther = uid != geteuid();
  g_userSet = true;
}

CDirFd::~CDirFd() { Reset(); }

CDirFd& CDirFd::operator=(CDirFd&& o) noexcept {
  if (this != &o) {
    Reset(o.m_nFd);
    o.m_nFd = -1;
  }
  return *this;
}

void CDirFd::Reset(int fd) {
  if (m_nFd >= 0) close(m_nFd);
  m_nFd = fd;
}

void HandToInvokingUser(int fd) {
  const INVOKING_USER& u = InvokingUser();
  if (fd >= 0 && u.bOther && geteuid() == 0) (void)!fchown(fd, u.uid, u.gid);
}

int OpenSubFolder(int parentFd, const std::string& name, bool bCreate, CDirFd& out) {
  if (parentFd < 0 || !IsPlainName(name)) return STATUS_INVALID_PARAMETER;
  bool created = false;
  if (bCreate) {
    if (mkdirat(parentFd, name.c_str(), 0700) == 0)
      created = true;
    else if (errno != EEXIST)
      return errno;
  }
  int fd = openat(parentFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    // A link (ELOOP) or something that is not a folder stands at the name.
    if (errno == ELOOP || errno == ENOTDIR) return STATUS_UNSAFE_PATH;
    return errno ? errno : EIO;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode) || !TrustedOwner(st.st_uid)) {
    close(fd);
    return STATUS_UNSAFE_PATH;
  }
  if (created) HandToInvokingUser(fd);
  out.Reset(fd);
  return 0;
}

int OpenSubPath(int parentFd, const std::string& relative, bool bCreate, CDirFd& out) {
  CDirFd cur(dup(parentFd));
  if (!cur.IsOpen()) return errno ? errno : EBADF;
  size_t pos = 0;
  while (pos < relative.size()) {
    size_t slash = relative.find('/', pos);
    if (slash == std::string::npos) slash = relative.size();
    std::string part = relative.substr(pos, slash - pos);
    pos = slash + 1;
    if (part.empty() || part == ".") continue;
    CDirFd next;
    int st = OpenSubFolder(cur.Get(), part, bCreate, next);
    if (st != 0) return st;
    cur = std::move(next);
  }
  out = std::move(cur);
  return 0;
}

int OpenDestinationRoot(const std::string& path, CDirFd& out) {
  if (path.empty()) return STATUS_INVALID_PARAMETER;
  std::string abs = path;
  if (abs[0] != '/') {
    char cwd[PATH_MAX];
    if (!getcwd(cwd, sizeof(cwd))) return errno ? errno : ENOENT;
    abs = std::string(cwd) + "/" + abs;
  }
  // The longest existing part of the path: the user's own choice.
  std::string existing = abs;
  std::vector<std::string> missing;
  struct stat st;
  while (stat(existing.c_str(), &st) != 0) {
    if (errno != ENOENT) return errno;
    size_t slash = existing.find_last_of('/');
    if (slash == std::string::npos) return ENOENT;
    std::string part = existing.substr(slash + 1);
    if (!part.empty()) missing.push_back(part);
    existing = slash == 0 ? "/" : existing.substr(0, slash);
  }
  if (!S_ISDIR(st.st_mode)) return ENOTDIR;
  int fd = open(existing.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno ? errno : EIO;
  CDirFd cur(fd);
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    if (*it == ".") continue;
    if (*it == "..") return STATUS_INVALID_PARAMETER;
    CDirFd next;
    int status = OpenSubFolder(cur.Get(), *it, true, next);
    if (status != 0) return status;
    cur = std::move(next);
  }
  out = std::move(cur);
  return 0;
}

std::string NumberedName(const std::string& name, int n) {
  size_t dot = name.find_last_of('.');
  // A leading dot starts a hidden name, not an extension.
  if (dot == 0 || dot == std::string::npos) dot = name.size();
  std::string ext = name.substr(dot);
  std::string suffix = "(" + std::to_string(n) + ")";
  if (ext.size() > 32) ext.clear(), dot = name.size();
  size_t room = NAME_MAX > suffix.size() + ext.size() ? NAME_MAX - suffix.size() - ext.size() : 0;
  return CutUtf8(name.substr(0, dot), room) + suffix + ext;
}

int CreateNewFile(int dirFd, const std::string& name, std::string* pFinalName, int* pStatus) {
  int dummy = 0;
  if (!pStatus) pStatus = &dummy;
  *pStatus = 0;
  std::string base = CutUtf8(name, NAME_MAX);
  if (!IsPlainName(base)) {
    *pStatus = STATUS_INVALID_PARAMETER;
    return -1;
  }
  // Bounded, so a folder that answers "taken" for every name cannot hang us.
  for (int n = 0; n < 100000; ++n) {
    std::string candidate = n == 0 ? base : NumberedName(base, n);
    int fd = openat(dirFd, candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) {
      HandToInvokingUser(fd);
      if (pFinalName) *pFinalName = candidate;
      return fd;
    }
    if (errno != EEXIST) {
      *pStatus = errno ? errno : EIO;
      return -1;
    }
  }
  *pStatus = EEXIST;
  return -1;
}

static void SplitPath(const std::string& path, std::string& dir, std::string& base) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) {
    dir = ".";
    base = path;
  } else {
    dir = slash == 0 ? "/" : path.substr(0, slash);
    base = path.substr(slash + 1);
  }
}

int CheckWritableFilePath(const std::string& path) {
  std::string dir, base;
  SplitPath(path, dir, base);
  if (base.empty() || base == "." || base == "..") return EISDIR;
  struct stat st;
  if (stat(dir.c_str(), &st) != 0) return errno ? errno : ENOENT;
  if (!S_ISDIR(st.st_mode)) return ENOTDIR;
  if (faccessat(AT_FDCWD, dir.c_str(), W_OK | X_OK, AT_EACCESS) != 0) return errno ? errno : EACCES;
  if (lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return EISDIR;
  return 0;
}

int WriteFileAtomically(const std::string& path, const std::string& content) {
  CAtomicFile file;
  int status = file.Open(path);
  if (status == 0) status = file.Write(content);
  return status == 0 ? file.Commit() : status;
}

CAtomicFile::~CAtomicFile() { Drop(); }

void CAtomicFile::Drop() {
  if (m_nFd >= 0) close(m_nFd);
  if (m_nDirFd >= 0 && !m_strTemp.empty()) unlinkat(m_nDirFd, m_strTemp.c_str(), 0);
  if (m_nDirFd >= 0) close(m_nDirFd);
  m_nFd = m_nDirFd = -1;
  m_strTemp.clear();
}

int CAtomicFile::Open(const std::string& path) {
  Drop();
  m_nStatus = 0;
  std::string dir;
  SplitPath(path, dir, m_strBase);
  if (!IsPlainName(m_strBase)) return m_nStatus = EISDIR;
  m_nDirFd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (m_nDirFd < 0) return m_nStatus = errno ? errno : ENOENT;
  m_nFd = CreateNewFile(m_nDirFd, "." + CutUtf8(m_strBase, NAME_MAX - 16) + ".tmp", &m_strTemp, &m_nStatus);
  if (m_nFd < 0) m_strTemp.clear();
  return m_nStatus;
}

int CAtomicFile::Write(const std::string& data) {
  if (m_nFd < 0 && m_nStatus == 0) m_nStatus = EBADF;
  const char* p = data.data();
  size_t left = data.size();
  while (left > 0 && m_nStatus == 0) {
    ssize_t w = write(m_nFd, p, left);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      m_nStatus = errno ? errno : EIO;
      break;
    }
    p += w;
    left -= static_cast<size_t>(w);
  }
  return m_nStatus;
}

int CAtomicFile::Commit() {
  if (m_nFd < 0 && m_nStatus == 0) m_nStatus = EBADF;
  if (m_nStatus == 0 && fsync(m_nFd) != 0) m_nStatus = errno ? errno : EIO;
  if (m_nFd >= 0 && close(m_nFd) != 0 && m_nStatus == 0) m_nStatus = errno ? errno : EIO;
  m_nFd = -1;
  if (m_nStatus == 0 && renameat(m_nDirFd, m_strTemp.c_str(), m_nDirFd, m_strBase.c_str()) != 0)
    m_nStatus = errno ? errno : EIO;
  if (m_nStatus == 0) m_strTemp.clear();  // in place: nothing to remove
  Drop();
  return m_nStatus;
}

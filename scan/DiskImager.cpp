#include "scan/DiskImager.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <vector>

#include "engine/DiskMap.h"
#include "engine/DiskReader.h"
#include "engine/SafeFs.h"
#include "engine/Status.h"
#include "engine/TextUtil.h"
#include "scan/TargetGuard.h"

namespace {

constexpr u64 kSector = 512;
constexpr u64 kChunk = 1 << 20;            // one read of the first pass
constexpr u64 kFirstSkip = 64 * 1024;      // after a failed read, skip this far ...
constexpr u64 kMaxSkip = 64ull << 20;      // ... doubling up to this
constexpr u32 kSaveEveryMs = 5000;
constexpr u32 kReportEveryMs = 200;

bool IsDiskNumber(const std::string& s) {
  return !s.empty() && s.size() < 4 && s.find_first_not_of("0123456789") == std::string::npos;
}

// The areas of the map with a status, in order.
std::vector<DDRESCUE_AREA> AreasWith(const DDRESCUE_MAP& map, char cStatus) {
  std::vector<DDRESCUE_AREA> out;
  for (const DDRESCUE_AREA& a : map.areas)
    if (a.cStatus == cStatus) out.push_back(a);
  return out;
}

}  // namespace

CDiskImager::CDiskImager()
    : m_nSource(-1),
      m_nOut(-1),
      m_u64Size(0),
      m_bResumed(false),
      m_nPass(1),
      m_u64ReadThisRun(0),
      m_nStartTick(0),
      m_nLastReport(0),
      m_nLastSave(0) {}

CDiskImager::~CDiskImager() {
  if (m_nSource >= 0) close(m_nSource);
  if (m_nOut >= 0) close(m_nOut);
}

int CDiskImager::Open(const std::string& source, const std::string& out, const std::string& map) {
  struct stat st;
  std::string path = source;
  if (stat(source.c_str(), &st) != 0) {
    std::string n = source.compare(0, 5, "disk:") == 0 ? source.substr(5) : source;
    if (!IsDiskNumber(n)) return errno ? errno : ENOENT;
    path = GetDiskDevicePath(atoi(n.c_str()));
  }
  m_nSource = OpenPathReadOnly(path.c_str());
  if (m_nSource < 0) return errno ? errno : ENOENT;
  m_strSource = path;
  m_u64Size = rsb_getDeviceSize(m_nSource);
  if (m_u64Size < kSector) return STATUS_EMPTY_TARGET;
  posix_fadvise(m_nSource, 0, 0, POSIX_FADV_SEQUENTIAL);

  m_strMap = map.empty() ? out + ".map" : map;
  // Neither the image nor its map may land on what is copied.
  CTargetGuard guard(path);
  int status = guard.CheckFile(out);
  if (status == 0) status = guard.CheckFile(m_strMap);
  if (status == 0) status = CheckWritableFilePath(m_strMap);
  if (status != 0) return status;

  std::ifstream in(m_strMap);
  if (in) {
    std::stringstream text;
    text << in.rdbuf();
    if (!ParseDdrescueMap(text.str(), m_map)) return STATUS_DAMAGED_RECORD;
    u64 end = m_map.areas.empty() ? 0 : m_map.areas.back().u64Pos + m_map.areas.back().u64Size;
    // A map of another disk, or of a part the other tool was told to copy:
    // the rest is still to do.
    if (end > m_u64Size) return STATUS_DAMAGED_RECORD;
    if (end < m_u64Size) SetDdrescueArea(m_map, end, m_u64Size - end, '?');
    m_bResumed = true;
  } else {
    m_map = DDRESCUE_MAP();
    SetDdrescueArea(m_map, 0, m_u64Size, '?');
  }

  // The image: created new, or (with its map) the one a run before began.
  size_t slash = out.find_last_of('/');
  std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : out.substr(0, slash));
  std::string name = slash == std::string::npos ? out : out.substr(slash + 1);
  if (name.empty()) return STATUS_INVALID_PARAMETER;
  CDirFd dirFd;
  status = OpenDestinationRoot(dir, dirFd);
  if (status != 0) return status;
  m_nOut = openat(dirFd.Get(), name.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW | O_CREAT | O_EXCL, 0600);
  if (m_nOut >= 0) {
    HandToInvokingUser(m_nOut);
  } else if (errno == EEXIST && m_bResumed) {
    m_nOut = openat(dirFd.Get(), name.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (m_nOut < 0) return errno == ELOOP ? STATUS_UNSAFE_PATH : errno;
    struct stat os;
    const INVOKING_USER& user = InvokingUser();
    if (fstat(m_nOut, &os) != 0 || !S_ISREG(os.st_mode) || (os.st_uid != geteuid() && os.st_uid != user.uid))
      return STATUS_UNSAFE_PATH;
  } else {
    // An existing file without its map is someone's data, never overwritten.
    return errno == EEXIST ? EEXIST : errno;
  }
  if (ftruncate(m_nOut, static_cast<off_t>(m_u64Size)) != 0) return errno;
  m_strCommand = "torvane image " + source + " " + out;
  return 0;
}

IMAGE_PROGRESS CDiskImager::Progress() const {
  IMAGE_PROGRESS p;
  p.u64Bytes = m_u64Size;
  p.nPass = m_nPass;
  for (const DDRESCUE_AREA& a : m_map.areas) {
    if (a.cStatus == '+') p.u64Rescued += a.u64Size;
    else if (a.cStatus == '-') {
      p.u64BadBytes += a.u64Size;
      ++p.nBadAreas;
    } else {
      p.u64Pending += a.u64Size;
    }
  }
  u32 ms = rsb_getMonotonicTickCount() - m_nStartTick;
  p.dBytesPerSecond = ms ? static_cast<double>(m_u64ReadThisRun) * 1000.0 / ms : 0;
  return p;
}

bool CDiskImager::Report(const OBSERVER& observer, bool bForce) {
  u32 now = rsb_getMonotonicTickCount();
  if (now - m_nLastSave >= kSaveEveryMs) {
    SaveMap();
    m_nLastSave = now;
  }
  if (!observer || (!bForce && now - m_nLastReport < kReportEveryMs)) return true;
  m_nLastReport = now;
  return observer(Progress());
}

int CDiskImager::SaveMap() { return WriteFileAtomically(m_strMap, FormatDdrescueMap(m_map, m_strCommand)); }

// Copies [pos, pos + size). Pass 1 reads large pieces and skips ahead past a
// failure, leaving the failed piece '*' and the skipped stretch '?' for
// later; pass 2 reads the skipped stretches without skipping; pass 3 reads
// the failed pieces sector by sector, the unreadable ones becoming '-'.
int CDiskImager::CopyArea(u64 u64Pos, u64 u64Size, int nPass, const OBSERVER& observer) {
  std::vector<unsigned char> buf(kChunk);
  const u64 end = u64Pos + u64Size;
  const u64 piece = nPass == 3 ? kSector : kChunk;
  u64 skip = 0;
  for (u64 at = u64Pos; at < end;) {
    u64 want = std::min(piece, end - at);
    size_t got = 0;
    int rc = ReadAt(m_nSource, buf.data(), static_cast<size_t>(want), at, &got);
    // After a failure only whole sectors count as read.
    if (rc != 0) got -= got % kSector;
    if (got > 0) {
      ssize_t w = pwrite(m_nOut, buf.data(), got, static_cast<off_t>(at));
      if (w < 0 || static_cast<size_t>(w) != got) return w < 0 ? errno : ENOSPC;
      SetDdrescueArea(m_map, at, got, '+');
      m_u64ReadThisRun += got;
      at += got;
      if (rc == 0) {
        skip = 0;
        if (!Report(observer, false)) return RECOVERY_CANCELLED;
        continue;
      }
      want = std::min<u64>(want - got, end - at);
      if (want == 0) continue;
    }
    if (rc == 0 && got == 0) {
      // The source ended early (a shrinking device): nothing more to read.
      SetDdrescueArea(m_map, at, end - at, '-');
      return 0;
    }
    // A failed read. The unreadable piece waits for pass 3 (or is bad, in it).
    u64 bad = nPass == 3 ? std::min<u64>(want, kSector) : std::min<u64>(want, kSector * 8);
    SetDdrescueArea(m_map, at, bad, nPass == 3 ? '-' : '*');
    at += bad;
    if (nPass == 1 && at < end) {
      // A dying area takes seconds a sector: step over it, back in pass 2.
      skip = skip ? std::min(skip * 2, kMaxSkip) : kFirstSkip;
      at += std::min(skip, end - at);
    }
    m_map.u64CurrentPos = at;
    if (!Report(observer, false)) return RECOVERY_CANCELLED;
  }
  return 0;
}

int CDiskImager::Run(const OBSERVER& observer) {
  if (m_nSource < 0 || m_nOut < 0) return STATUS_INVALID_PARAMETER;
  m_nStartTick = m_nLastSave = rsb_getMonotonicTickCount();
  m_u64ReadThisRun = 0;
  int status = 0;
  for (m_nPass = 1; m_nPass <= 3 && status == 0; ++m_nPass) {
    m_map.nCurrentPass = m_nPass;
    m_map.cCurrentStatus = m_nPass == 3 ? '/' : '?';
    // Pass 1 and 2 take the areas not tried; pass 3 the failed pieces.
    for (const DDRESCUE_AREA& a : AreasWith(m_map, m_nPass == 3 ? '*' : '?')) {
      status = CopyArea(a.u64Pos, a.u64Size, m_nPass, observer);
      if (status != 0) break;
    }
  }
  if (status == 0) {
    m_nPass = 3;
    m_map.cCurrentStatus = '+';
    m_map.u64CurrentPos = m_u64Size;
  }
  int saved = SaveMap();
  if (status == 0 && fsync(m_nOut) != 0) status = errno;
  if (observer) observer(Progress());
  return status ? status : saved;
}

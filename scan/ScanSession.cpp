#include "scan/ScanSession.h"

#include <errno.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "carve/FileTypeRecovery.h"
#include "engine/Categories.h"
#include "engine/DiskMap.h"
#include "engine/FaultGuard.h"
#include "engine/Sha256.h"
#include "engine/TextUtil.h"
#include "scan/ProfessionalRecovery.h"

// The block at the end of this file (recorded scans, disks, formats).
#include <sys/sysmacros.h>

#include <cstdio>
#include <ctime>
#include <fstream>
#include <map>

#include "carve/FileTypeJudge.h"
#include "disk/BootSector.h"
#include "engine/ByteOrder.h"
#include "engine/DiskReader.h"
#include "engine/SafeFs.h"
#include "ntfs/NtfsParse.h"
#include "store/ExternalSort.h"
#include "store/LogFileManager.h"

namespace {

bool IsNumber(const std::string& s) {
  if (s.empty() || s.size() > 9) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

// Hashes what an engine hands out, to compare a result with a file already saved.
class CHashSink : public IRecoverySink {
 public:
  explicit CHashSink(u64 u64Size) : m_u64Left(u64Size) {}
  int Write(const unsigned char* p, size_t n) override {
    if (n > m_u64Left) n = static_cast<size_t>(m_u64Left);
    m_sha.Update(p, n);
    m_u64Left -= n;
    return 0;
  }
  int WriteZeros(u64 n) override {
    static const unsigned char kZeros[4096] = {};
    while (n > 0 && m_u64Left > 0) {
      size_t step = n < sizeof(kZeros) ? static_cast<size_t>(n) : sizeof(kZeros);
      Write(kZeros, step);
      n -= step;
    }
    return 0;
  }
  int WriteUnreadable(u64 n) override {
    m_bHoles = true;
    return WriteZeros(n);
  }
  u64 Wanted() const override { return m_u64Left; }
  bool Complete() const { return m_u64Left == 0 && !m_bHoles; }
  std::string Digest() { return m_sha.HexDigest(); }

 private:
  CSha256 m_sha;
  u64 m_u64Left;
  bool m_bHoles = false;
};

struct SAVE_CONTEXT {
  const CScanSession::SAVE_OBSERVER* pObserver;
  size_t nDone;
  size_t nTotal;
  bool bStop;
};

// Inside a long file: lets the observer stop the recovery half-way.
int SaveProgress(void* param, int nProgress, int, int, wchar_t*) {
  SAVE_CONTEXT* ctx = static_cast<SAVE_CONTEXT*>(param);
  if (nProgress >= 100 || !ctx->pObserver || !*ctx->pObserver) return 0;
  if (!(*ctx->pObserver)(ctx->nDone, ctx->nTotal, nullptr)) ctx->bStop = true;
  return ctx->bStop ? RECOVERY_CANCELLED : 0;
}

struct SCAN_CONTEXT {
  const CScanSession::SCAN_OBSERVER* pObserver;
  SCAN_PROGRESS progress;
  bool bStop;
  const CProfessionalRecovery* pEngine;
};

int ScanProgress(void* param, int nProgress, int nPercent, int nRemain, u64 u64Cur, u64 u64Count, u64 u64Found,
                 wchar_t*) {
  SCAN_CONTEXT* ctx = static_cast<SCAN_CONTEXT*>(param);
  SCAN_PROGRESS& p = ctx->progress;
  int percent = p.nPercent;
  if (nProgress == 100 && nPercent == 100) {
    p.ePhase = SCAN_PROGRESS::PHASE_DONE;
    percent = 100;
    p.nRemainSeconds = 0;
  } else if (nPercent == 90) {
    p.ePhase = SCAN_PROGRESS::PHASE_DEEP;
    p.u64SectorsDone = u64Cur;
    p.u64SectorsTotal = u64Count;
    p.u64Found = u64Found;
    p.nRemainSeconds = nRemain;
    percent = u64Count ? 10 + static_cast<int>(u64Cur * 89 / u64Count) : 99;
  } else {
    // The quick pass: its share is the first tenth.
    int q = nProgress < 0 ? 0 : (nProgress > 100 ? 100 : nProgress);
    percent = q * 9 / 100;
  }
  if (percent > 100) percent = 100;
  if (percent > p.nPercent) p.nPercent = percent;
  if (ctx->pEngine) p.u64Unreadable = ctx->pEngine->GetUnreadableSectorCount();
  if (ctx->pObserver && *ctx->pObserver && !(*ctx->pObserver)(p)) ctx->bStop = true;
  return ctx->bStop ? 1 : 0;
}

// One save under the fault guard, in a frame of its own so nothing of the
// caller's loop can be clobbered by the jump back.
__attribute__((noinline)) int GuardedSave(IFileRecoveryParse& engine, _FILE_NODE_& node, int dirFd,
                                          const std::string& name, i64 tModified, SAVE_CONTEXT* ctx,
                                          SAVE_RESULT& out) {
  volatile int result = 0;
  if (FAULT_GUARD_TRY(g_FaultMainWindow)) {
    if (node.bIsDir) {
      SAVE_SUMMARY inner;
      u32 level = engine.FolderChildLevel(node, 1);
      result = SaveFolderTree(engine, node, level, dirFd, name, &SaveProgress, ctx, &inner);
    } else {
      result = SaveNodeInto(engine, node, dirFd, name, &SaveProgress, ctx, out, tModified);
    }
  } else {
    FaultGuardRearm(g_FaultMainWindow);
    result = EFAULT;
  }
  return result;
}

}  // namespace

bool MatchesFilter(const RESULT_FILTER& f, const RESULT_ITEM& item) {
  if (!f.ids.empty() && !f.ids.count(item.nId)) return false;
  if (!f.kinds.empty() && !f.kinds.count(item.eKind)) return false;
  if (!f.exts.empty() && !f.exts.count(LowerExtension(item.strName))) return false;
  if (!f.integrities.empty() && !f.integrities.count(item.node.nIntegrity)) return false;
  if (f.eState == RESULT_FILTER::STATE_DELETED && !item.IsDeleted()) return false;
  if (f.eState == RESULT_FILTER::STATE_LIVE && item.IsDeleted()) return false;
  if (f.u64MinSize && item.node.u64FileSize < f.u64MinSize) return false;
  if (f.u64MaxSize && item.node.u64FileSize > f.u64MaxSize) return false;
  if (f.tAfter || f.tBefore) {
    i64 t = NodeModifiedTime(item.node);
    if (t == 0) return false;  // "where known": an unknown date matches no date range
    if (f.tAfter && t < f.tAfter) return false;
    if (f.tBefore && t >= f.tBefore) return false;
  }
  if ((f.nMinWidth && item.nWidth < f.nMinWidth) || (f.nMinHeight && item.nHeight < f.nMinHeight)) return false;
  if (f.tCapturedAfter || f.tCapturedBefore) {
    if (item.tCaptured == 0) return false;
    if (f.tCapturedAfter && item.tCaptured < f.tCapturedAfter) return false;
    if (f.tCapturedBefore && item.tCaptured >= f.tCapturedBefore) return false;
  }
  if (f.bSkipThumbnails && item.bThumbnail) return false;
  if (!f.strNameGlob.empty() && fnmatch(f.strNameGlob.c_str(), item.strName.c_str(), FNM_CASEFOLD) != 0)
    return false;
  if (!f.strPathGlob.empty()) {
    std::string path = (item.strFolder.empty() ? std::string("/") : item.strFolder) + item.strName;
    if (fnmatch(f.strPathGlob.c_str(), path.c_str(), FNM_CASEFOLD) != 0) return false;
  }
  return true;
}

i64 NodeModifiedTime(const _FILE_NODE_& node) {
  u64 ft = FileTimeToU64(node.ftLastWriteTime);
  if (ft == 0) return 0;
  // The FAT engines keep seconds since 1970 (the entry's date at midnight,
  // local time); the others 100 ns units since 1601, 11644473600 s before 1970.
  if (node.nEngineType == ENGINE_FAST_FAT || node.nEngineType == ENGINE_PROFESSIONAL_FAT)
    return static_cast<i64>(ft) > 0 ? static_cast<i64>(ft) : 0;
  i64 seconds = static_cast<i64>(ft / 10000000ull) - 11644473600ll;
  return seconds > 0 ? seconds : 0;
}

namespace {

// "2024-06-14 10.22.31" (the time as recorded: no zone is applied).
std::string CapturedText(i64 t, const char* pFormat) {
  const time_t tt = static_cast<time_t>(t);
  struct tm tmv;
  char text[32] = {0};
  if (t <= 0 || !gmtime_r(&tt, &tmv) || strftime(text, sizeof(text), pFormat, &tmv) == 0) return std::string();
  return text;
}

// Lengths of the parts of a metadata name: together well under 255 bytes.
constexpr size_t kNameTitle = 100, kNameArtist = 60, kNameCamera = 60;

}  // namespace

std::string MetadataFileName(const std::string& strEngineName, category::Kind eKind, const std::string& strTitle,
                             const std::string& strArtist, const std::string& strCamera, i64 tCaptured) {
  const size_t dot = strEngineName.find_last_of('.');
  const std::string stem = strEngineName.substr(0, dot);
  const std::string ext = dot == std::string::npos ? std::string() : strEngineName.substr(dot);
  std::string lead;
  if (eKind == category::PHOTO || eKind == category::VIDEO) {
    const std::string date = CapturedText(tCaptured, "%Y-%m-%d %H.%M.%S");
    const std::string camera = SanitizeFileNameText(strCamera, kNameCamera);
    lead = date;
    if (!camera.empty()) lead += (lead.empty() ? "" : " ") + camera;
  } else if (eKind == category::MUSIC) {
    const std::string artist = SanitizeFileNameText(strArtist, kNameArtist);
    const std::string title = SanitizeFileNameText(strTitle, kNameTitle);
    lead = artist.empty() ? title : title.empty() ? artist : artist + " - " + title;
  } else {
    lead = SanitizeFileNameText(strTitle, kNameTitle);
  }
  if (lead.empty()) return strEngineName;
  return MakeSafePathComponent(lead + " (" + stem + ")" + ext);
}

void MarkThumbnails(std::vector<RESULT_ITEM>& items) {
  struct SPAN {
    u64 start, end;
    size_t index;
  };
  std::vector<SPAN> spans;
  for (size_t i = 0; i < items.size(); ++i) {
    const RESULT_ITEM& it = items[i];
    if (it.eKind != category::PHOTO || it.u64FirstSector == 0 || it.node.u64FileSize == 0) continue;
    const u64 start = it.u64FirstSector * SECTOR_SIZE;
    spans.push_back({start, start + it.node.u64FileSize, i});
  }
  // By start, the longest first: a picture is inside another when one that
  // starts no later reaches at least as far, and is not the same bytes.
  std::sort(spans.begin(), spans.end(), [](const SPAN& a, const SPAN& b) {
    return a.start != b.start ? a.start < b.start : a.end > b.end;
  });
  u64 reach = 0, reachStart = 0;
  bool any = false;
  for (const SPAN& s : spans) {
    RESULT_ITEM& it = items[s.index];
    const bool inside = any && (reach > s.end || (reach == s.end && reachStart < s.start));
    const bool small = it.nWidth && it.nHeight && it.nWidth < 256 && it.nHeight < 256;
    it.bThumbnail = inside && small;
    if (!any || s.end > reach) {
      reach = s.end;
      reachStart = s.start;
      any = true;
    }
  }
}

CScanSession::CScanSession() : m_bResumed(false), m_nScanStatus(0) {}
CScanSession::~CScanSession() = default;

int CScanSession::OpenTarget(const std::string& target) {
  m_pListing.reset();
  m_pEngine.reset();
  m_nScanId = 0;
  m_target = SCAN_TARGET();
  m_partitions.clear();
  int disk = -1;
  std::string path;
  struct stat st;
  if (target.compare(0, 5, "disk:") == 0 && IsNumber(target.substr(5))) {
    disk = atoi(target.c_str() + 5);
  } else if (!target.empty() && stat(target.c_str(), &st) == 0) {
    path = target;
  } else if (IsNumber(target)) {
    disk = atoi(target.c_str());
  } else {
    return errno ? errno : ENOENT;
  }
  if (!path.empty()) {
    if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) return STATUS_NOT_A_DISK;
    int fd = OpenPathReadOnly(path.c_str());
    if (fd < 0) return errno == ENOTBLK ? STATUS_NOT_A_DISK : (errno ? errno : EIO);
    close(fd);
    disk = AddDiskImage(path);
    if (disk < 0) return EINVAL;
  }
  std::string device = GetDiskDevicePath(disk);
  if (device.empty()) return ENODEV;
  int fd = OpenDiskReadOnly(disk);
  if (fd < 0) return errno == ENOTBLK ? STATUS_NOT_A_DISK : (errno ? errno : EIO);
  struct stat dst;
  bool image = fstat(fd, &dst) == 0 && S_ISREG(dst.st_mode);
  u64 sectors = rsb_getDeviceSize(fd) / SECTOR_SIZE;
  close(fd);
  if (sectors == 0) return STATUS_EMPTY_TARGET;
  m_target.strPath = device;
  m_target.nDiskNo = disk;
  m_target.bImage = image;
  m_target.u64DiskSectors = sectors;
  m_target.u64FirstSector = 0;
  m_target.u64SectorCount = sectors;
  m_target.strRangeName = "whole disk";
  CPartitionManager manager;
  manager.ResetNumbering();
  manager.ReadDisk(disk, m_partitions);
  m_pGuard.reset(new CTargetGuard(device));
  return 0;
}

int CScanSession::SelectPartition(int n) {
  if (m_target.nDiskNo < 0) return STATUS_INVALID_PARAMETER;
  if (n < 1 || n > static_cast<int>(m_partitions.size())) return ENOENT;
  const _PARTITION_ITEM_& p = m_partitions[static_cast<size_t>(n - 1)];
  u64 last = p.u64EndSector < m_target.u64DiskSectors ? p.u64EndSector : m_target.u64DiskSectors - 1;
  if (p.u64StartSector > last) return STATUS_INVALID_PARAMETER;
  m_target.u64FirstSector = p.u64StartSector;
  m_target.u64SectorCount = last - p.u64StartSector + 1;
  m_target.nPartition = n;
  m_target.strRangeName = PartitionNameToUtf8(p);
  return 0;
}

int CScanSession::SelectRange(u64 u64First, u64 u64Count, const std::string& name) {
  if (m_target.nDiskNo < 0 || u64Count == 0 || u64First >= m_target.u64DiskSectors) return STATUS_INVALID_PARAMETER;
  if (u64Count > m_target.u64DiskSectors - u64First) u64Count = m_target.u64DiskSectors - u64First;
  m_target.u64FirstSector = u64First;
  m_target.u64SectorCount = u64Count;
  m_target.nPartition = 0;
  for (size_t i = 0; i < m_partitions.size(); ++i)
    if (m_partitions[i].u64StartSector == u64First) m_target.nPartition = static_cast<int>(i + 1);
  m_target.strRangeName = name;
  return 0;
}

int CScanSession::CheckDestination(const std::string& dir) const {
  return m_pGuard ? m_pGuard->CheckFolder(dir) : 0;
}

int CScanSession::CheckReportPath(const std::string& path) const {
  int st = m_pGuard ? m_pGuard->CheckFile(path) : 0;
  return st ? st : CheckWritableFilePath(path);
}

int CScanSession::CheckSupportFolder() const {
  int st = CheckDestination(GetSupportDir());
  if (st != 0) return st;
  // The scan log is made here, before any record is written into it.
  st = MakeDirectories(GetScanLogDir());
  return st == ELOOP ? STATUS_UNSAFE_PATH : st;
}

int CScanSession::StartEngine(bool bResume) {
  m_pListing.reset();
  m_pEngine.reset(new CProfessionalRecovery());
  m_pEngine->Init(m_target.nDiskNo, static_cast<i64>(m_target.u64FirstSector),
                  static_cast<i64>(m_target.u64SectorCount), L'C');
  m_bResumed = bResume && m_pEngine->IsFindLogFile();
  return 0;
}

bool CScanSession::HasRecordedScan() {
  if (m_target.nDiskNo < 0) return false;
  CProfessionalRecovery probe;
  probe.Init(m_target.nDiskNo, static_cast<i64>(m_target.u64FirstSector), static_cast<i64>(m_target.u64SectorCount),
             L'C');
  return probe.IsFindLogFile() != 0;
}

int CScanSession::Scan(bool bResume, const SCAN_OBSERVER& observer) {
  if (m_target.nDiskNo < 0) return STATUS_INVALID_PARAMETER;
  int st = CheckSupportFolder();
  if (st != 0) return st;
  st = MakeDirectories(GetScanLogDir());
  if (st != 0) return st;
  // Every engine of the scan reads through one open of the target.
  CSharedDiskOpen once(m_target.strPath);
  StartEngine(bResume);
  m_strResumeRefusal = m_pEngine->GetResumeMismatch();
  if (!m_bResumed) m_pEngine->SetNotLoadLogFile();
  SCAN_CONTEXT ctx = {&observer, SCAN_PROGRESS(), false, m_pEngine.get()};
  m_pEngine->InitCallBack(&ScanProgress, nullptr, &ctx, 100);
  int status = m_pEngine->ScanDevice(nullptr);
  if (ctx.bStop) status = RECOVERY_CANCELLED;
  m_nScanStatus = status;
  RecordScanInfo(ctx.progress);
  return status;
}

IFileRecoveryParse* CScanSession::Engine() { return m_pEngine.get(); }

u64 CScanSession::UnreadableSectors() const { return m_pEngine ? m_pEngine->GetUnreadableSectorCount() : 0; }

std::vector<SECTOR_RANGE> CScanSession::UnreadableRanges() const {
  return m_pEngine ? m_pEngine->GetBadSectorMap().Ranges() : std::vector<SECTOR_RANGE>();
}

int CScanSession::QuickPassStatus() const { return m_pEngine ? m_pEngine->GetQuickStatus() : 0; }

int CScanSession::PartitionOfSector(u64 u64Sector) const {
  if (u64Sector == 0) return 0;
  for (size_t i = 0; i < m_partitions.size(); ++i)
    if (u64Sector >= m_partitions[i].u64StartSector && u64Sector <= m_partitions[i].u64EndSector)
      return static_cast<int>(i + 1);
  return 0;
}

std::shared_ptr<const CResultListing> CScanSession::Listing(int* pStatus) {
  int status = m_pEngine ? 0 : STATUS_INVALID_PARAMETER;
  if (m_pEngine && !m_pListing) {
    // Beside the scan log: a folder already checked to lie off the target.
    status = CResultListing::Build(*m_pEngine, [this](u64 sector) { return PartitionOfSector(sector); },
                                   GetScanLogDir(), CExternalSort::RunRecordsFromEnvironment(), m_pListing);
  }
  if (pStatus) *pStatus = status;
  return m_pListing;
}

int CScanSession::Results(std::vector<RESULT_ITEM>& out) {
  out.clear();
  int status = 0;
  std::shared_ptr<const CResultListing> listing = Listing(&status);
  if (!listing) return status;
  return listing->Read(0, listing->Count(), out);
}

int CScanSession::Preview(RESULT_ITEM& item, wchar_t* pTempPath, unsigned char* pBuf, int& nLen) {
  if (!m_pEngine) return STATUS_INVALID_PARAMETER;
  return m_pEngine->PreView(&item.node, pTempPath, pBuf, nLen, nullptr, nullptr);
}

std::string CScanSession::TargetFolderFor(const RESULT_ITEM& item, const SAVE_OPTIONS& options) const {
  std::string folder = category::FolderOfFileName(item.strName.c_str());
  if (options.bGroupByDate && (item.eKind == category::PHOTO || item.eKind == category::VIDEO)) {
    const std::string month = CapturedText(item.tCaptured ? item.tCaptured : NodeModifiedTime(item.node), "%Y/%Y-%m");
    if (!month.empty()) return folder + "/" + month;
  }
  if (!options.bKeepTree || item.IsCarved()) return folder;
  // Each folder of the original path becomes one safe component.
  size_t pos = 0;
  const std::string& f = item.strFolder;
  while (pos < f.size()) {
    size_t slash = f.find('/', pos);
    if (slash == std::string::npos) slash = f.size();
    std::string part = f.substr(pos, slash - pos);
    pos = slash + 1;
    if (part.empty()) continue;
    folder += "/" + MakeSafePathComponent(part);
  }
  return folder;
}

int CScanSession::Save(const std::vector<RESULT_ITEM>& items, const std::string& dest, const SAVE_OPTIONS& options,
                       const SAVE_OBSERVER& observer, SAVE_SUMMARY& summary, std::vector<SAVE_OUTCOME>* pOutcomes) {
  summary = SAVE_SUMMARY();
  if (pOutcomes) pOutcomes->clear();
  if (!m_pEngine) return STATUS_INVALID_PARAMETER;
  int status = CheckDestination(dest);
  if (status != 0) return status;
  CDirFd root;
  status = OpenDestinationRoot(dest, root);
  if (status != 0) return status;
  std::string destPath = dest;
  while (destPath.size() > 1 && destPath.back() == '/') destPath.pop_back();

  SAVE_CONTEXT ctx = {&observer, 0, items.size(), false};
  int result = 0;
  FaultGuardBegin(g_FaultMainWindow);
  for (size_t i = 0; i < items.size() && !ctx.bStop; ++i) {
    ctx.nDone = i;
    RESULT_ITEM item = items[i];
    SAVE_OUTCOME out;
    out.nId = item.nId;
    std::string rel = TargetFolderFor(item, options);
    std::string name = MakeSafePathComponent(item.strName);
    // Paths past the system's limit are saved flat in their category folder.
    if (destPath.size() + rel.size() + name.size() + 16 >= PATH_MAX)
      rel = category::FolderOfFileName(item.strName.c_str());
    out.strPath = destPath + "/" + rel + "/" + name;
    CDirFd dir;
    int st = OpenSubPath(root.Get(), rel, true, dir);
    if (st == 0 && options.bSkipSame && !item.node.bIsDir) {
      // Already saved with the same content by an earlier run: not again.
      std::string same;
      CHashSink* pHash = nullptr;
      std::string digest;
      for (int n = 0; n < 1000 && same.empty(); ++n) {
        std::string candidate = n == 0 ? name : NumberedName(name, n);
        struct stat fst;
        if (fstatat(dir.Get(), candidate.c_str(), &fst, AT_SYMLINK_NOFOLLOW) != 0) break;
        if (!S_ISREG(fst.st_mode) || static_cast<u64>(fst.st_size) != item.node.u64FileSize) continue;
        if (!pHash) {
          pHash = new CHashSink(item.node.u64FileSize);
          int copy = m_pEngine->CopyFileData(&item.node, *pHash);
          if (copy != 0 || !pHash->Complete()) break;
          digest = pHash->Digest();
        }
        if (Sha256OfFile(destPath + "/" + rel + "/" + candidate) == digest) same = candidate;
      }
      delete pHash;
      if (!same.empty()) {
        out.nStatus = STATUS_SKIPPED_SAME;
        out.strPath = destPath + "/" + rel + "/" + same;
        if (options.bHash) out.strSha256 = digest;
        ++summary.nSkipped;
        if (pOutcomes) pOutcomes->push_back(out);
        if (observer && !observer(i + 1, items.size(), &out)) ctx.bStop = true;
        continue;
      }
    }
    if (st == 0) {
      st = GuardedSave(*m_pEngine, item.node, dir.Get(), name, item.tCaptured, &ctx, out.result);
      if (!out.result.strName.empty()) out.strPath = destPath + "/" + rel + "/" + out.result.strName;
    }
    out.nStatus = st;
    if (st == RECOVERY_CANCELLED) {
      ctx.bStop = true;
      result = RECOVERY_CANCELLED;
      if (pOutcomes) pOutcomes->push_back(out);
      break;
    }
    summary.Add(st);
    if (options.bHash && (st == 0 || st == STATUS_PARTIAL_SAVE)) out.strSha256 = Sha256OfFile(out.strPath);
    if (st != 0 && result == 0) result = st;
    if (st != 0 && st != STATUS_PARTIAL_SAVE && (result == STATUS_PARTIAL_SAVE)) result = st;
    if (pOutcomes) pOutcomes->push_back(out);
    if (observer && !observer(i + 1, items.size(), &out)) ctx.bStop = true;
  }
  FaultGuardEnd(g_FaultMainWindow);
  if (ctx.bStop && result != RECOVERY_CANCELLED) result = RECOVERY_CANCELLED;
  return result;
}

// ---------------------------------------------------------------------------
// Recorded scans, disks, formats and words for results.

namespace {

// Beside the engines' result sets in each scan folder: what the scan log's
// index does not keep (the target's path, the range's name, when it ran).
const char kScanInfoName[] = "scan-info";
constexpr size_t kScanInfoMaxBytes = 16384;

// The number of a scan folder ".../ScanLog/<n>/"; 0 when it is not one.
u32 IdOfLogDir(const char* pDir, size_t nLen) {
  std::string dir(pDir, strnlen(pDir, nLen));
  while (!dir.empty() && dir.back() == '/') dir.pop_back();
  std::string last = dir.substr(dir.find_last_of('/') + 1);
  if (!IsNumber(last)) return 0;
  return static_cast<u32>(strtoul(last.c_str(), nullptr, 10));
}

std::string OneLine(std::string s) {
  for (char& c : s)
    if (c == '\n' || c == '\r') c = ' ';
  return s;
}

std::map<std::string, std::string> ReadScanInfo(const std::string& dir) {
  std::map<std::string, std::string> out;
  std::ifstream in(dir + kScanInfoName);
  std::string line;
  size_t total = 0;
  while (std::getline(in, line) && (total += line.size() + 1) <= kScanInfoMaxBytes) {
    size_t eq = line.find('=');
    if (eq != std::string::npos) out[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return out;
}

u64 ToU64(const std::string& s) {
  if (s.empty() || s.size() > 19 || s.find_first_not_of("0123456789") != std::string::npos) return 0;
  return strtoull(s.c_str(), nullptr, 10);
}

std::string ResolvedPath(const std::string& path) {
  char buf[PATH_MAX];
  return realpath(path.c_str(), buf) ? std::string(buf) : path;
}

// The device node or image a target names, as OpenTarget reads it.
std::string TargetPath(const std::string& target) {
  struct stat st;
  if (target.compare(0, 5, "disk:") == 0 && IsNumber(target.substr(5)))
    return ResolvedPath(GetDiskDevicePath(atoi(target.c_str() + 5)));
  if (!target.empty() && stat(target.c_str(), &st) == 0) return ResolvedPath(target);
  if (IsNumber(target)) return ResolvedPath(GetDiskDevicePath(atoi(target.c_str())));
  return std::string();
}

// Size of a block device from sysfs, which an ordinary user may read when
// the device itself is closed to them.
u64 SysfsBytes(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) return 0;
  char link[96];
  snprintf(link, sizeof(link), "/sys/dev/block/%u:%u/size", major(st.st_rdev), minor(st.st_rdev));
  std::ifstream in(link);
  unsigned long long sectors = 0;
  if (!(in >> sectors)) return 0;
  return sectors > (~0ull >> 9) ? 0 : static_cast<u64>(sectors) * 512;
}

// A label field of a boot sector: blanks at the end dropped, bytes outside
// ASCII shown as '?' (their code page is unknown).
std::string LabelText(const u8* p, size_t n) {
  std::string s;
  for (size_t i = 0; i < n && p[i]; ++i) s.push_back(p[i] < 0x80 ? static_cast<char>(p[i]) : '?');
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

VOLUME_INFO FatVolume(const u8* b, size_t n) {
  VOLUME_INFO v;
  u16 fatSize16 = GetU16LE(b, n, 0x16);
  if (fatSize16 == 0) {
    v.strType = "fat32";
    if (GetU8(b, n, 0x42) == 0x29 && InBounds(n, 0x47, 11)) v.strLabel = LabelText(b + 0x47, 11);
  } else {
    // FAT12 and FAT16 differ only by their cluster count.
    u32 bps = GetU16LE(b, n, 0x0B), spc = GetU8(b, n, 0x0D);
    u32 total = GetU16LE(b, n, 0x13);
    if (total == 0) total = GetU32LE(b, n, 0x20);
    u64 used = static_cast<u64>(GetU16LE(b, n, 0x0E)) + static_cast<u64>(GetU8(b, n, 0x10)) * fatSize16 +
               (bps ? (static_cast<u64>(GetU16LE(b, n, 0x11)) * 32 + bps - 1) / bps : 0);
    u64 clusters = spc && total > used ? (total - used) / spc : 0;
    v.strType = clusters < 4085 ? "fat12" : "fat16";
    if (GetU8(b, n, 0x26) == 0x29 && InBounds(n, 0x2B, 11)) v.strLabel = LabelText(b + 0x2B, 11);
  }
  if (v.strLabel == "NO NAME") v.strLabel.clear();
  return v;
}

VOLUME_INFO ExtVolume(const u8* b, size_t n) {
  VOLUME_INFO v;
  u32 compat = GetU32LE(b, n, 1024 + 0x5C), incompat = GetU32LE(b, n, 1024 + 0x60);
  // Extents, 64-bit block numbers or flexible groups: ext4; a journal: ext3.
  v.strType = (incompat & (0x40 | 0x80 | 0x200)) ? "ext4" : (compat & 0x4) ? "ext3" : "ext2";
  if (InBounds(n, 1024 + 0x78, 16)) {
    const u8* p = b + 1024 + 0x78;
    v.strLabel.assign(reinterpret_cast<const char*>(p), strnlen(reinterpret_cast<const char*>(p), 16));
  }
  return v;
}

// The name in the $VOLUME_NAME attribute of $Volume (record 3), which lies
// among the MFT's first records: read only when the record size is the one
// the record fix-up knows (1024 bytes on 512-byte sectors, 4096 on 4096).
std::string NtfsLabel(int fd, u64 u64First, const u8* b, size_t n) {
  u32 bps = GetU16LE(b, n, 0x0B);
  u32 raw = GetU8(b, n, 0x0D);
  u64 spc = raw <= 0x80 ? raw : (256 - raw <= 20 ? 1ull << (256 - raw) : 0);
  u64 mftLcn = GetU64LE(b, n, 0x30);
  int8_t perRecord = static_cast<int8_t>(GetU8(b, n, 0x40));
  u64 recordBytes = perRecord > 0 ? static_cast<u64>(perRecord) * spc * bps
                                  : (perRecord >= -16 ? 1ull << static_cast<unsigned>(-perRecord) : 0);
  if (spc == 0 || !((bps == 512 && recordBytes == 1024) || (bps == 4096 && recordBytes == 4096))) return "";
  u64 clusterBytes = spc * bps;
  if (mftLcn > (~0ull - u64First * 512 - 3 * recordBytes) / clusterBytes) return "";
  u64 offset = u64First * 512 + mftLcn * clusterBytes + 3 * recordBytes;
  std::vector<u8> rec(recordBytes);
  size_t got = 0;
  if (ReadAt(fd, rec.data(), rec.size(), offset, &got) != 0 || got != rec.size()) return "";
  if (!IsNtfsFileRecord(rec.data(), static_cast<int>(rec.size()))) return "";
  CNtfsParse parse;
  parse.Init(static_cast<int>(bps));
  if (parse.FileRecordFixUp(rec.data()) != 0) return "";
  NTFS_ATTR attr;
  bool corrupt = false;
  if (!FindNtfsAttribute(rec.data(), static_cast<u32>(rec.size()), 0x60, attr, nullptr, &corrupt) ||
      attr.bNonResident)
    return "";
  size_t at = static_cast<size_t>(attr.nOffset) + attr.nContentOffset;
  if (!InBounds(rec.size(), at, attr.nContentLength)) return "";
  return Utf16LEBytesToUtf8(rec.data() + at, attr.nContentLength / 2);
}

}  // namespace

void CScanSession::FindScanId() {
  m_nScanId = 0;
  for (const _LOG_FILE_INFO_& r : CLogFileManager::GetInstance()->GetLogList())
    if (r.nDiskNo == m_target.nDiskNo && r.u64StartSector == m_target.u64FirstSector &&
        r.u64SectorCount == m_target.u64SectorCount)
      m_nScanId = IdOfLogDir(r.szLogDir, sizeof(r.szLogDir));
}

void CScanSession::RecordScanInfo(const SCAN_PROGRESS& last) {
  FindScanId();
  if (m_nScanId == 0) return;
  std::string dir = GetScanLogDir() + std::to_string(m_nScanId) + "/";
  char text[128];
  snprintf(text, sizeof(text), "first=%llu\ncount=%llu\npartition=%d\ntime=%lld\npercent=%d\n",
           static_cast<unsigned long long>(m_target.u64FirstSector),
           static_cast<unsigned long long>(m_target.u64SectorCount), m_target.nPartition,
           static_cast<long long>(time(nullptr)), last.nPercent);
  WriteFileAtomically(dir + kScanInfoName, "target=" + OneLine(m_target.strPath) + "\nrange=" +
                                               OneLine(m_target.strRangeName) + "\n" + text);
}

std::vector<RECORDED_SCAN> CScanSession::RecordedScans() {
  std::vector<RECORDED_SCAN> out;
  for (const _LOG_FILE_INFO_& r : CLogFileManager::GetInstance()->GetLogList()) {
    RECORDED_SCAN s;
    s.nId = IdOfLogDir(r.szLogDir, sizeof(r.szLogDir));
    if (s.nId == 0) continue;
    s.nDiskNo = r.nDiskNo;
    s.u64FirstSector = r.u64StartSector;
    s.u64SectorCount = r.u64SectorCount;
    s.bComplete = r.u64RunLength == 0;
    s.u64Found = r.u64FilesFound;
    std::string dir(r.szLogDir, strnlen(r.szLogDir, sizeof(r.szLogDir)));
    if (!dir.empty() && dir.back() != '/') dir.push_back('/');
    std::map<std::string, std::string> info = ReadScanInfo(dir);
    // Without the info file, what the index says: the target's identity
    // ("image:<path>", "device:<stable id>"), else its disk number.
    bool same = ToU64(info["first"]) == s.u64FirstSector && ToU64(info["count"]) == s.u64SectorCount;
    std::string identity(r.szScanPath, strnlen(r.szScanPath, sizeof(r.szScanPath)));
    if (same)
      s.strTarget = info["target"];
    else if (identity.compare(0, 6, "image:") == 0)
      s.strTarget = identity.substr(6);
    else if (identity.compare(0, 7, "device:") == 0)
      s.strTarget = identity[7] == '/' ? identity.substr(7) : "/dev/disk/by-id/" + identity.substr(7);
    else
      s.strTarget = GetDiskDevicePath(r.nDiskNo);
    s.strRangeName = same ? info["range"] : std::string();
    s.nPartition = same ? static_cast<int>(ToU64(info["partition"]) & 0x7FFFFFFF) : 0;
    s.tWhen = same ? static_cast<i64>(ToU64(info["time"])) : 0;
    if (same && !info["percent"].empty()) s.nPercent = static_cast<int>(ToU64(info["percent"]) % 101);
    if (s.bComplete) s.nPercent = 100;
    struct stat st;
    if (s.tWhen == 0 && stat(dir.c_str(), &st) == 0) s.tWhen = st.st_mtim.tv_sec;
    out.push_back(s);
  }
  std::sort(out.begin(), out.end(), [](const RECORDED_SCAN& a, const RECORDED_SCAN& b) { return a.nId < b.nId; });
  return out;
}

u32 CScanSession::LatestScanOf(const std::string& target) {
  std::string path = TargetPath(target);
  if (path.empty()) return 0;
  const RECORDED_SCAN* best = nullptr;
  std::vector<RECORDED_SCAN> all = RecordedScans();
  for (const RECORDED_SCAN& s : all)
    if (!s.strTarget.empty() && ResolvedPath(s.strTarget) == path &&
        (!best || s.tWhen > best->tWhen || (s.tWhen == best->tWhen && s.nId > best->nId)))
      best = &s;
  return best ? best->nId : 0;
}

int CScanSession::OpenRecordedScan(u32 nId) {
  RECORDED_SCAN rec;
  for (const RECORDED_SCAN& s : RecordedScans())
    if (s.nId == nId) rec = s;
  if (rec.nId == 0) return ENOENT;
  if (rec.strTarget.empty()) return ENODEV;
  int st = OpenTarget(rec.strTarget);
  if (st != 0) return st;
  st = SelectRange(rec.u64FirstSector, rec.u64SectorCount, rec.strRangeName);
  if (st != 0) return st;
  m_target.nPartition = rec.nPartition;
  st = CheckSupportFolder();
  if (st != 0) return st;
  // The engine finds the record only while the target's fingerprint still
  // matches; a changed target's record is dropped there.
  StartEngine(true);
  m_strResumeRefusal = m_pEngine->GetResumeMismatch();
  if (!m_bResumed) {
    m_pEngine.reset();
    return ESTALE;
  }
  // The engines reopen the recorded result sets. A finished scan has no
  // pass left to run; an unfinished one is stopped at its pass's first
  // report (one read further on, which the record then counts).
  SCAN_OBSERVER stopAtPass = [](const SCAN_PROGRESS& p) { return p.ePhase != SCAN_PROGRESS::PHASE_DEEP; };
  SCAN_CONTEXT ctx = {&stopAtPass, SCAN_PROGRESS(), false, m_pEngine.get()};
  m_pEngine->InitCallBack(&ScanProgress, nullptr, &ctx, 100);
  int status = m_pEngine->ScanDevice(nullptr);
  if (ctx.bStop) status = 0;
  m_nScanStatus = status;
  FindScanId();
  return status;
}

int CScanSession::PrepareDestination(const std::string& dir) const {
  int status = CheckDestination(dir);
  if (status != 0) return status;
  CDirFd root;
  return OpenDestinationRoot(dir, root);
}

namespace {

// The label entry of an exFAT root folder (its first cluster holds it in practice).
std::string ExfatLabel(int fd, u64 u64Volume, const unsigned char* boot, size_t n) {
  u8 bpsShift = GetU8(boot, n, 0x6C), spcShift = GetU8(boot, n, 0x6D);
  if (bpsShift < 9 || bpsShift > 12 || spcShift > 25 - bpsShift) return std::string();
  u64 heap = GetU32LE(boot, n, 0x58), root = GetU32LE(boot, n, 0x60);
  if (root < 2) return std::string();
  u64 sector = 1ull << bpsShift;
  u64 clusterBytes = sector << spcShift;
  // One cluster of the root folder is enough: the label entry comes first in practice.
  size_t want = static_cast<size_t>(clusterBytes < 65536 ? clusterBytes : 65536);
  std::vector<unsigned char> dir(want);
  size_t got = 0;
  u64 offset = u64Volume + heap * sector + (root - 2) * clusterBytes;
  if (!ReadAt(fd, dir.data(), dir.size(), offset, &got) != 0 || got != dir.size()) return std::string();
  for (size_t e = 0; e + 32 <= dir.size(); e += 32) {
    u8 type = dir[e];
    if (type == 0x00) break;
    if (type != 0x83) continue;
    u8 count = dir[e + 1];
    if (count > 11) return std::string();
    return Utf16LEBytesToUtf8(dir.data() + e + 2, count);
  }
  return std::string();
}

}  // namespace

VOLUME_INFO CScanSession::DescribeVolume(int nDiskNo, u64 u64FirstSector) {
  VOLUME_INFO v;
  if (u64FirstSector > (~0ull >> 9)) return v;
  int fd = OpenDiskReadOnly(nDiskNo);
  if (fd < 0) return v;
  u8 buf[4096];
  size_t got = 0;
  ReadAt(fd, buf, sizeof(buf), u64FirstSector * 512, &got);
  if (got >= 512 && BytesEqual(buf, got, 3, "EXFAT   ", 8)) {
    v.strType = "exfat";
    v.strLabel = ExfatLabel(fd, u64FirstSector * 512, buf, got);
  } else if (got >= 512 && IsNtfs(buf, got)) {
    v.strType = "ntfs";
    v.strLabel = NtfsLabel(fd, u64FirstSector, buf, got);
  } else if (got >= 512 && IsFat(buf, got)) {
    v = FatVolume(buf, got);
  } else if (got >= 2048 && IsExt(buf, got)) {
    v = ExtVolume(buf, got);
  }
  close(fd);
  return v;
}

std::vector<DISK_INFO> CScanSession::Disks() {
  std::vector<DISK_INFO> out;
  std::vector<std::string> devices = ListDiskDevices();
  if (devices.size() > PARTITION_MAX_DISKS) devices.resize(PARTITION_MAX_DISKS);
  for (size_t n = 0; n < devices.size(); ++n) {
    DISK_INFO d;
    d.nDiskNo = static_cast<int>(n);
    d.strPath = devices[n];
    int fd = OpenDiskReadOnly(d.nDiskNo);
    if (fd < 0) {
      d.nStatus = errno == ENOTBLK ? STATUS_NOT_A_DISK : (errno ? errno : EIO);
      d.u64Bytes = SysfsBytes(d.strPath);
      out.push_back(d);
      continue;
    }
    d.u64Bytes = rsb_getDeviceSize(fd);
    close(fd);
    CPartitionManager manager;
    manager.ResetNumbering();
    std::vector<_PARTITION_ITEM_> list;
    d.nStatus = manager.ReadDisk(d.nDiskNo, list);
    for (size_t i = 0; d.nStatus == 0 && i < list.size(); ++i) {
      DISK_PARTITION p;
      p.nIndex = static_cast<int>(i + 1);
      p.u64FirstSector = list[i].u64StartSector;
      p.u64LastSector = list[i].u64EndSector;
      p.strName = PartitionNameToUtf8(list[i]);
      p.volume = DescribeVolume(d.nDiskNo, p.u64FirstSector);
      d.partitions.push_back(p);
    }
    if (d.nStatus == 0 && list.empty()) d.whole = DescribeVolume(d.nDiskNo, 0);
    out.push_back(d);
  }
  return out;
}

std::vector<FORMAT_INFO> CScanSession::CarvableFormats() {
  std::vector<FORMAT_INFO> out;
  std::set<std::string> seen;
  for (const CFileTypeJudge::EXTEND_NAME_ROW& row : CFileTypeJudge::szExtendNameAndType) {
    // Rows without a length rule are recognised but never carved.
    if (!row.szExtendName || !row.pFormat || !row.pFormat->pSizeRule || !seen.insert(row.szExtendName).second) continue;
    out.push_back({row.szExtendName, category::OfExtension(row.szExtendName)});
  }
  std::sort(out.begin(), out.end(), [](const FORMAT_INFO& a, const FORMAT_INFO& b) {
    return a.eKind != b.eKind ? a.eKind < b.eKind : a.strExt < b.strExt;
  });
  return out;
}

const char* CScanSession::EngineName(u32 nEngineType) {
  switch (nEngineType) {
    case ENGINE_FAST_NTFS: return "ntfs";
    case ENGINE_FAST_FAT: return "fat";
    case ENGINE_PROFESSIONAL_NTFS: return "ntfs-deep";
    case ENGINE_PROFESSIONAL_FAT: return "fat-deep";
    case ENGINE_FAST_EXFAT: return "exfat";
    case ENGINE_PROFESSIONAL_EXFAT: return "exfat-deep";
    case ENGINE_FILE_TYPE: return "carved";
    default: return "unknown";
  }
}

int CScanSession::Pieces(const RESULT_ITEM& r, SECTOR_RUN runs[2]) {
  if (!r.IsCarved()) {
    runs[0] = SECTOR_RUN{r.u64FirstSector, r.node.u64FileSize};
    return 1;
  }
  // The carving engine counts from the start of the range it scanned; its
  // first sector on the disk tells by how much.
  const int n = CarvedPieces(r.node, runs);
  const u64 shift = r.u64FirstSector >= r.node.u64RecordSector ? r.u64FirstSector - r.node.u64RecordSector : 0;
  for (int i = 0; i < n; ++i) runs[i].u64FirstSector += shift;
  return n;
}

std::vector<std::string> CScanSession::FlagNames(u8 nFlags) {
  static const struct {
    u8 nFlag;
    const char* pName;
  } kFlags[] = {{RESULT_FLAG_CHAIN_CLEARED, "chainCleared"},
                {RESULT_FLAG_LENGTH_CAPPED, "lengthCapped"},
                {RESULT_FLAG_UNREADABLE, "unreadable"},
                {RESULT_FLAG_CHECK_PENDING, "checkPending"},
                {RESULT_FLAG_TWO_PIECES, "twoPieces"}};
  std::vector<std::string> out;
  for (const auto& f : kFlags)
    if (nFlags & f.nFlag) out.push_back(f.pName);
  return out;
}

// ---------------------------------------------------------------- for the window

std::string DiskModelOf(const std::string& devicePath) {
  char resolved[PATH_MAX];
  if (devicePath.empty() || !realpath(devicePath.c_str(), resolved)) return std::string();
  struct stat st;
  if (stat(resolved, &st) != 0 || !S_ISBLK(st.st_mode)) return std::string();
  std::string name = resolved;
  name = name.substr(name.rfind('/') + 1);
  auto readLine = [](const std::string& path) {
    std::string s;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return s;
    char buf[128];
    ssize_t got = read(fd, buf, sizeof(buf) - 1);
    close(fd);
    if (got > 0) s.assign(buf, static_cast<size_t>(got));
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    while (!s.empty() && s.front() == ' ') s.erase(0, 1);
    return s;
  };
  std::string vendor = readLine("/sys/block/" + name + "/device/vendor");
  std::string model = readLine("/sys/block/" + name + "/device/model");
  if (model.empty()) return vendor;
  if (vendor.empty() || vendor == "ATA" || model.compare(0, vendor.size(), vendor) == 0) return model;
  return vendor + " " + model;
}

int CheckTargetFile(const std::string& path) {
  struct stat st;
  if (path.empty()) return ENOENT;
  if (stat(path.c_str(), &st) != 0) return errno ? errno : ENOENT;
  if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) return STATUS_NOT_A_DISK;
  int fd = OpenPathReadOnly(path.c_str());
  if (fd < 0) return errno == ENOTBLK ? STATUS_NOT_A_DISK : (errno ? errno : EIO);
  u64 bytes = rsb_getDeviceSize(fd);
  close(fd);
  return bytes < SECTOR_SIZE ? STATUS_EMPTY_TARGET : 0;
}

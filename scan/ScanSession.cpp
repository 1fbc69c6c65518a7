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

namespace {

bool IsNumber(const std::string& s) {
  if (s.empty() || s.size() > 9) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

std::string LowerExtension(const std::string& name) {
  size_t dot = name.find_last_of('.');
  if (dot == std::string::npos || dot + 1 >= name.size()) return std::string();
  std::string ext = name.substr(dot + 1);
  for (char& c : ext)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  return ext;
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
  // 100 ns units since 1601; 11644473600 s to 1970.
  if (ft == 0) return 0;
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
  m_pEngine.reset();
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

int CScanSession::CheckSupportFolder() const { return CheckDestination(GetSupportDir()); }

int CScanSession::StartEngine(bool bResume) {
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
  StartEngine(bResume);
  m_strResumeRefusal = m_pEngine->GetResumeMismatch();
  if (!m_bResumed) m_pEngine->SetNotLoadLogFile();
  SCAN_CONTEXT ctx = {&observer, SCAN_PROGRESS(), false, m_pEngine.get()};
  m_pEngine->InitCallBack(&ScanProgress, nullptr, &ctx, 100);
  int status = m_pEngine->ScanDevice(nullptr);
  if (ctx.bStop) status = RECOVERY_CANCELLED;
  m_nScanStatus = status;
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

int CScanSession::Results(std::vector<RESULT_ITEM>& out) {
  out.clear();
  if (!m_pEngine) return STATUS_INVALID_PARAMETER;
  bool all[category::COUNT];
  for (bool& b : all) b = true;
  std::wstring pattern = Utf8ToWide(category::SearchPattern(all));
  SEARCH_FILE_INFO_VECTOR hits;
  m_pEngine->InitSearchCallBack(nullptr, nullptr);
  m_pEngine->SearchFileNode(&pattern[0], hits);
  out.reserve(hits.size());
  RESULT_META_MAP meta;
  if (m_pEngine->GetFileTypeEngine()) m_pEngine->GetFileTypeEngine()->LoadMetadata(meta);
  for (__SEARCH_FILE_INFO__& hit : hits) {
    RESULT_ITEM item;
    item.node = hit;
    item.strName.assign(hit.szFileName, strnlen(hit.szFileName, sizeof(hit.szFileName)));
    if (hit.nEngineType != ENGINE_FILE_TYPE) {
      wchar_t folder[1024] = {0};
      if (m_pEngine->GetFileNodeParentDirPath(&item.node, folder, 1024) == 0) {
        folder[1023] = 0;
        item.strFolder = WideToUtf8(folder);
      }
      // Always "/a/b/": a leading and a trailing slash, "/" for the root.
      if (item.strFolder.empty() || item.strFolder[0] != '/') item.strFolder.insert(0, "/");
      if (item.strFolder.back() != '/') item.strFolder.push_back('/');
    }
    item.u64FirstSector = m_pEngine->GetFileDataStartSector(hit);
    u64 where = item.u64FirstSector ? item.u64FirstSector : hit.u64VolumeStartSector;
    item.nPartition = PartitionOfSector(where);
    item.eKind = category::OfExtension(LowerExtension(item.strName));
    auto m = hit.nEngineType == ENGINE_FILE_TYPE ? meta.find(hit.nFileIndex) : meta.end();
    if (m != meta.end() && m->second.u64RecordSector == hit.u64RecordSector) {
      const _RESULT_META_& r = m->second;
      item.strTitle = CleanMetadataText(r.szTitle, strnlen(r.szTitle, sizeof(r.szTitle)), sizeof(r.szTitle));
      item.strArtist = CleanMetadataText(r.szArtist, strnlen(r.szArtist, sizeof(r.szArtist)), sizeof(r.szArtist));
      const std::string make = CleanMetadataText(r.szMake, strnlen(r.szMake, sizeof(r.szMake)), sizeof(r.szMake));
      const std::string model = CleanMetadataText(r.szModel, strnlen(r.szModel, sizeof(r.szModel)), sizeof(r.szModel));
      // Makers often repeat their name in the model ("Canon" / "Canon EOS R6").
      item.strCamera = !make.empty() && model.compare(0, make.size(), make) != 0 ? make + (model.empty() ? "" : " ") + model
                                                                                 : model;
      item.tCaptured = r.nCaptured > 0 ? r.nCaptured : 0;
      item.nWidth = r.nWidth;
      item.nHeight = r.nHeight;
      item.strName = MetadataFileName(item.strName, item.eKind, item.strTitle, item.strArtist, item.strCamera,
                                      item.tCaptured);
    }
    out.push_back(std::move(item));
  }
  std::stable_sort(out.begin(), out.end(), [](const RESULT_ITEM& a, const RESULT_ITEM& b) {
    if (a.strFolder != b.strFolder) return a.strFolder < b.strFolder;
    if (a.strName != b.strName) return a.strName < b.strName;
    return a.u64FirstSector < b.u64FirstSector;
  });
  u32 id = 0;
  for (RESULT_ITEM& item : out) item.nId = ++id;
  MarkThumbnails(out);
  return 0;
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

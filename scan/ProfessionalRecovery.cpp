#include "scan/ProfessionalRecovery.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "carve/FileTypeJudge.h"
#include "carve/FileTypeRecovery.h"
#include "engine/DiskMap.h"
#include "engine/FaultGuard.h"
#include "engine/ReadAhead.h"
#include "scan/FileRecoveryFactory.h"
#include "engine/TextUtil.h"
#include "disk/FatEntry.h"
#include "disk/PartitionManager.h"
#include "exfat/FastExfatRecovery.h"
#include "exfat/ProfessionalExfatRecovery.h"
#include "ext/FastExtRecovery.h"
#include "fat/FastFatRecovery.h"
#include "fat/ProfessionalFatRecovery.h"
#include "ntfs/FastNtfsRecovery.h"
#include "ntfs/NtfsParse.h"
#include "ntfs/ProfessionalNtfsRecovery.h"
#include "store/ScanResultFileManager.h"

namespace {
constexpr int kChunkBytes = 65536;
constexpr int kNoDisk = 128;
// Growing steps over an unreadable area: 1 MiB first, at most 128 MiB.
constexpr u64 kFirstSkipSectors = 2048;
constexpr u64 kMaxSkipSectors = 262144;
// Beside a scan's record: the sectors it could not read, and the areas it
// skipped and has yet to come back to.
const char* const kBadSectorFile = "BadSectors";
const char* const kDeferredFile = "Skipped";
// The folder sectors a quick FAT pass listed, per volume start.
const char* const kListedDirsFile = "ListedDirs_";

}  // namespace

CProfessionalRecovery::CProfessionalRecovery()
    : m_wcDrive(0),
      m_nSectorSize(SECTOR_SIZE),
      m_nDiskNo(kNoDisk),
      m_u64StartSector(0),
      m_u64SectorCount(0),
      m_pFatEngine(new CProfessionalFatRecovery()),
      m_pExfatEngine(new CProfessionalExfatRecovery()),
      m_pNtfsEngine(new CProfessionalNtfsRecovery()),
      m_pFileTypeEngine(new CFileTypeRecovery()),
      m_u64Unreadable(0),
      m_nQuickStatus(0),
      m_bStopped(false),
      m_nStartTick(0),
      m_nLastEstimate(0),
      m_nRemainSeconds(-1),
      m_u64DoneAtStart(0),
      m_pScanCallBack(nullptr),
      m_pRecoveryCallBack(nullptr),
      m_pParam(nullptr),
      m_nPercent(90),
      m_pSearchCallBack(nullptr),
      m_pSearchParam(nullptr),
      m_bFindLogFile(false) {
  CFileTypeJudge::InstallContentMatcher();
  memset(&m_logInfo, 0, sizeof(m_logInfo));
  m_diskReader.AttachBadSectorMap(&m_badMap);
}

CProfessionalRecovery::~CProfessionalRecovery() { ClearQuickParts(); }

void CProfessionalRecovery::ClearQuickParts() {
  for (QUICK_PART& p : m_vecQuick) delete p.pEngine;
  m_vecQuick.clear();
}

void CProfessionalRecovery::BuildQuickParts() {
  ClearQuickParts();
  const u64 first = static_cast<u64>(m_u64StartSector), count = static_cast<u64>(m_u64SectorCount);
  std::vector<_PARTITION_ITEM_> inside;
  if (m_nDiskNo != kNoDisk) {
    CPartitionManager manager;
    std::vector<_PARTITION_ITEM_> all;
    manager.ReadDisk(m_nDiskNo, all);
    std::sort(all.begin(), all.end(), [](const _PARTITION_ITEM_& a, const _PARTITION_ITEM_& b) {
      return a.u64StartSector < b.u64StartSector;
    });
    u64 next = first;
    for (const _PARTITION_ITEM_& p : all) {
      // Partitions wholly inside the range, in order, never overlapping (a
      // damaged table may claim overlapping ones: the first one wins).
      if (p.u64StartSector < next || p.u64EndSector < p.u64StartSector || p.u64EndSector >= first + count) continue;
      inside.push_back(p);
      next = p.u64EndSector + 1;
    }
  }
  // A range that is one partition (or a disk without a table) is one volume.
  bool whole = inside.empty() ||
               (inside.size() == 1 && inside[0].u64StartSector == first && inside[0].u64EndSector + 1 == first + count);
  if (whole) {
    IFileRecoveryParse* e =
        m_nDiskNo != kNoDisk
            ? CFileRecoveryFactory::GetInstance()->CreateFileRecoveryInstance(m_nDiskNo, m_u64StartSector,
                                                                              m_u64SectorCount, m_wcDrive,
                                                                              RECOVERY_TYPE_FAST)
            : nullptr;
    if (e) m_vecQuick.push_back({e, first, count, false});
    return;
  }
  for (const _PARTITION_ITEM_& p : inside) {
    u64 n = p.u64EndSector - p.u64StartSector + 1;
    IFileRecoveryParse* e = CFileRecoveryFactory::GetInstance()->CreateFileRecoveryInstance(
        m_nDiskNo, static_cast<i64>(p.u64StartSector), static_cast<i64>(n), m_wcDrive, RECOVERY_TYPE_FAST);
    m_vecQuick.push_back({e, p.u64StartSector, n, false});
  }
}

int CProfessionalRecovery::Init(int nDiskNo, i64 u64StartSector, i64 u64SectorCount, wchar_t wcDrive) {
  m_nDiskNo = nDiskNo;
  m_u64StartSector = u64StartSector;
  m_u64SectorCount = u64SectorCount;
  m_wcDrive = wcDrive;
  m_strScanPath.clear();
  m_badMap.Clear();
  m_u64Unreadable = 0;
  m_nQuickStatus = 0;
  int status = m_diskReader.Init(nDiskNo, static_cast<u64>(u64StartSector + u64SectorCount));

  memset(&m_logInfo, 0, sizeof(m_logInfo));
  std::string device = GetDiskDevicePath(nDiskNo);
  CLogFileManager* log = CLogFileManager::GetInstance();
  m_bFindLogFile = log->LoadRecoveryLogInfo(device.c_str(), nDiskNo, u64StartSector, u64SectorCount, &m_logInfo) == 1;
  m_strResumeMismatch = m_bFindLogFile ? std::string() : log->LastMismatch();
  LoadImageMap(device);

  m_pFatEngine->Init(nDiskNo, u64StartSector, u64SectorCount, wcDrive);
  m_pExfatEngine->Init(nDiskNo, u64StartSector, u64SectorCount, wcDrive);
  int ntfs = m_pNtfsEngine->Init(nDiskNo, u64StartSector, u64SectorCount, wcDrive);
  BuildQuickParts();
  return status ? status : ntfs;
}

int CProfessionalRecovery::Init(wchar_t* pPath, wchar_t wcDrive) {
  if (!pPath) return STATUS_INVALID_PARAMETER;
  m_wcDrive = wcDrive;
  char path[256];
  inner_uni2str(path, pPath, sizeof(path), -1);
  int fd = OpenPathReadOnly(path);
  if (fd < 0) return errno ? errno : ENOENT;
  u64 size = rsb_getDeviceSize(fd);
  close(fd);
  if (size == 0) return EIO;
  m_nDiskNo = kNoDisk;
  m_u64StartSector = 0;
  m_u64SectorCount = static_cast<i64>(size / SECTOR_SIZE);
  m_strScanPath = path;
  m_badMap.Clear();
  m_u64Unreadable = 0;
  m_nQuickStatus = 0;
  m_diskReader.Init(path, static_cast<u64>(m_u64SectorCount));
  memset(&m_logInfo, 0, sizeof(m_logInfo));
  m_bFindLogFile = false;
  m_strResumeMismatch.clear();
  LoadImageMap(path);
  m_pFatEngine->Init(pPath, wcDrive);
  m_pExfatEngine->Init(pPath, wcDrive);
  int status = m_pNtfsEngine->Init(pPath, wcDrive);
  ClearQuickParts();
  IFileRecoveryParse* e = CFileRecoveryFactory::GetInstance()->CreateFileRecoveryInstance(pPath, wcDrive, RECOVERY_TYPE_FAST);
  if (e) m_vecQuick.push_back({e, 0, static_cast<u64>(m_u64SectorCount), false});
  return status;
}

void CProfessionalRecovery::LoadImageMap(const std::string& path) {
  struct stat st;
  if (path.empty() || stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return;
  // An image made by an imager that keeps a mapfile beside it: what was never
  // read is no data, whatever zeros the image holds there.
  std::string stem = path;
  size_t dot = stem.find_last_of('.');
  size_t slash = stem.find_last_of('/');
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) stem.erase(dot);
  for (const std::string& candidate : {path + ".map", path + ".mapfile", stem + ".map", stem + ".mapfile"}) {
    if (candidate == path) continue;
    if (m_badMap.LoadDdrescueMap(candidate) == 0) return;
  }
}

int CProfessionalRecovery::InitCallBack(SCAN_PROGRESS_CALLBACK pScan, RECOVERY_CALLBACK pRecovery, void* param, int) {
  m_pScanCallBack = pScan;
  m_pRecoveryCallBack = pRecovery;
  m_pParam = param;
  m_nPercent = 90;
  for (QUICK_PART& p : m_vecQuick)
    if (p.pEngine) p.pEngine->InitCallBack(&QuickProgress, &QuickRecovery, this, 9);
  m_pFatEngine->InitCallBack(pScan, pRecovery, param, 90);
  m_pExfatEngine->InitCallBack(pScan, pRecovery, param, 90);
  m_pNtfsEngine->InitCallBack(pScan, pRecovery, param, 90);
  m_pFileTypeEngine->InitCallBack(pScan, pRecovery, param, 90);
  return 0;
}

int CProfessionalRecovery::QuickProgress(void* param, int nProgress, int nPercent, int nRemain, u64 u64Cur,
                                         u64 u64Count, u64 u64Found, wchar_t* pName) {
  CProfessionalRecovery* self = static_cast<CProfessionalRecovery*>(param);
  if (!self->m_pScanCallBack) return 0;
  int answer = self->m_pScanCallBack(self->m_pParam, nProgress, nPercent, nRemain, u64Cur, u64Count, u64Found, pName);
  if (answer != 0) self->m_bStopped = true;
  return answer;
}

// The quick engines share one parameter between their two callbacks: both
// come here and go on with the caller's own parameter.
int CProfessionalRecovery::QuickRecovery(void* param, int nProgress, int nPercent, int nErrorCode, wchar_t* pName) {
  CProfessionalRecovery* self = static_cast<CProfessionalRecovery*>(param);
  return self->m_pRecoveryCallBack ? self->m_pRecoveryCallBack(self->m_pParam, nProgress, nPercent, nErrorCode, pName)
                                   : 0;
}

void CProfessionalRecovery::SetNotLoadLogFile() {
  if (m_bFindLogFile && m_logInfo.szLogDir[0]) CLogFileManager::GetInstance()->DeleteLogFileDir(m_logInfo.szLogDir);
  m_bFindLogFile = false;
  memset(&m_logInfo, 0, sizeof(m_logInfo));
}

bool CProfessionalRecovery::NextExtent(u64 u64From, EXTENT& out) {
  const u64 first = static_cast<u64>(m_u64StartSector), count = static_cast<u64>(m_u64SectorCount);
  while (u64From < count) {
    bool inPart = false;
    for (QUICK_PART& p : m_vecQuick) {
      u64 ps = p.u64Start - first, pe = ps + p.u64Count;
      if (u64From < ps) {
        out = {u64From, ps - u64From};  // a gap before the part: read whole
        return true;
      }
      if (u64From >= pe) continue;
      inPart = true;
      if (!p.pEngine || !p.bBitmap) {
        out = {u64From, pe - u64From};
        return true;
      }
      u64 s = u64From - ps, len = 0;
      p.pEngine->GetUnUsedSectorCount(s, len);
      if (len != 0 && ps + s < pe && ps + s >= u64From) {
        out = {ps + s, std::min(len, pe - (ps + s))};
        return true;
      }
      u64From = pe;  // nothing free in the rest of the part
      break;
    }
    if (!inPart && u64From < count) {
      // Past the last part (or no part at all): read to the end.
      bool later = false;
      for (const QUICK_PART& p : m_vecQuick) later = later || p.u64Start - first > u64From;
      if (!later) {
        out = {u64From, count - u64From};
        return true;
      }
    }
  }
  return false;
}

int CProfessionalRecovery::ParseProfessionalFileInfo(unsigned char* pBuf, int nBytes, u64 u64FirstSector, u64 u64Done,
                                                     u64 u64Total, int nRemainSeconds, i64& nSkip, u64& u64Found) {
  nSkip = 0;
  int result = 0;
  i64 left = nBytes;
  i64 i = 0;
  // Room for an NTFS record that straddles the end of the chunk.
  unsigned char record[8192];
  const size_t sectorSize = static_cast<size_t>(m_nSectorSize);
  while (left >= m_nSectorSize) {
    i64 step = 1;
    unsigned char* sector = pBuf + i * m_nSectorSize;
    u64 sectorNo = u64FirstSector + static_cast<u64>(i);
    // The head of a sector two pages on: a mapped image is read from memory
    // the processor has not seen, and its own prefetching stops at a page's end.
    __builtin_prefetch(sector + 8192);
    // Each test is gated by a look at a few bytes its full validator would
    // reject anyway ("FILE", a "." entry, the first directory entry's
    // fields, a signature's first byte), so a sector of other data costs a
    // handful of loads; the order of the tests is unchanged.
    if (sector[0] == 'F' && IsNtfsFileRecord(sector, 1024)) {
      if (left >= 1024) {
        result = m_pNtfsEngine->ParseNtfsFileRecord(sector, sectorNo);
      } else {
        // The record's second sector lies beyond this chunk: read it whole.
        // At the end of the range the record is incomplete and is left alone.
        unsigned int got = 0;
        if (m_diskReader.ReadData(record, 2, static_cast<i64>(sectorNo), m_nSectorSize, &got) == 0 && got == 2)
          result = m_pNtfsEngine->ParseNtfsFileRecord(record, sectorNo);
      }
    } else if (sector[0] == '.' && IsFatFileRecord(sector, sectorSize)) {
      result = m_pFatEngine->ParseFatFileRecord(sector, sectorNo);
    } else if (CProfessionalExfatRecovery::MayTake(sector[0]) && m_pExfatEngine->TakeSector(sector, sectorNo)) {
      // An exFAT folder (read on by the engine itself) or boot sector.
      result = 0;
    } else if (CFileTypeJudge::MayBeFatDirSector(sector, sectorSize) && IsFatFDTRecord(sector, sectorSize)) {
      result = m_pFatEngine->ParseFDTFileRecord(sector, sectorNo);
    } else if (!CFileTypeJudge::MayStartFile(sector, m_nSectorSize)) {
      // No signature can start here: the carver's answer (87) without the call.
      CFileTypeJudge::NoteSectorWithoutFile();
      result = STATUS_INVALID_PARAMETER;
    } else {
      // Sectors done so far include those of this chunk before this one, so
      // the progress a long measurement reports never runs backwards.
      u64 nStep = 1;
      result = m_pFileTypeEngine->ParseFileBuf(sector, m_nSectorSize, sectorNo, u64Done + static_cast<u64>(i), u64Total, nRemainSeconds,
                                               &m_diskReader, m_nSectorSize, nStep, u64Found);
      if (result == RECOVERY_CANCELLED) {
        // The size search was cancelled: the next read starts here.
        nSkip = -(left / m_nSectorSize);
        return result;
      }
      step = nStep < 1 ? 1 : static_cast<i64>(nStep);
    }
    i += step;
    left -= static_cast<i64>(m_nSectorSize) * step;
  }
  if (left < 0) nSkip = (-left) / m_nSectorSize;
  return result;
}

bool CProfessionalRecovery::PassStretch(u64 u64First, u64 u64Count, bool bMaySkip, std::vector<unsigned char>& buffer,
                                        u64& u64Pos, u64& u64Done, u64 u64Total, int& nStatus,
                                        std::vector<SECTOR_RANGE>* pDeferred) {
  const u64 chunkSectors = static_cast<u64>(kChunkBytes / m_nSectorSize);
  const u64 base = static_cast<u64>(m_u64StartSector);
  const u64 end = u64First + u64Count;
  // After a chunk that was mostly unreadable, skip ahead in growing steps
  // (a dying area takes seconds a sector) and come back at the end.
  u64 skipStep = 0;
  if (u64Pos < u64First) u64Pos = u64First;
  // The read-ahead serves the first pass; areas skipped over bad sectors are
  // read as they come.
  CReadAhead* ahead = bMaySkip ? m_pReadAhead.get() : nullptr;
  if (ahead && u64Pos < end) ahead->Begin(base + u64Pos, base + end);
  while (u64Pos < end) {
    if (skipStep != 0 && pDeferred) {
      u64 jump = std::min(skipStep, end - u64Pos);
      pDeferred->push_back({u64Pos, jump});
      u64Pos += jump;
      skipStep = std::min<u64>(skipStep * 2, kMaxSkipSectors);
      if (u64Pos >= end) break;
    }
    u64 chunk = std::min(chunkSectors, end - u64Pos);
    const u64 at = base + u64Pos;
    u64 unreadable = 0;
    std::vector<SECTOR_RANGE> overtime;
    // Sectors the bad-sector map lists read as zeros and count as unreadable:
    // only the tolerant read does that.
    const u64 nextBad = m_badMap.NextBad(at);
    const bool listedBad = nextBad < at + chunk;
    // A chunk wholly inside a hole of an image is zeros, and zeros start
    // nothing: it is neither read nor parsed. The hole's sectors from here,
    // up to the next listed bad one:
    u64 holeRun = m_bZeroSectorInert && !listedBad ? m_diskReader.HoleSectors(at, end - u64Pos, m_nSectorSize) : 0;
    if (nextBad - at < holeRun) holeRun = nextBad - at;
    const bool hole = holeRun >= chunk;
    unsigned char* data = nullptr;
    u64 heldTo = at + chunk;  // what data holds, read whole
    if (!hole && ahead && !listedBad)
      data = const_cast<unsigned char*>(ahead->Take(at, static_cast<u32>(chunk), buffer.data(), &heldTo));
    if (!hole && !data) {
      int rc = m_diskReader.ReadTolerant(buffer.data(), static_cast<int>(chunk), static_cast<i64>(at), m_nSectorSize,
                                         &unreadable, bMaySkip ? &overtime : nullptr);
      if (rc != 0) {
        // Past the end of what can be read: the rest of the stretch is gone.
        u64Done += end - u64Pos;
        u64Pos = end;
        break;
      }
      data = buffer.data();
    }
    m_u64Unreadable += unreadable;
    if (pDeferred)
      for (const SECTOR_RANGE& r : overtime) pDeferred->push_back({r.u64First - base, r.u64Count});
    if (bMaySkip && unreadable * 2 >= chunk)
      skipStep = skipStep ? skipStep : kFirstSkipSectors;
    else
      skipStep = 0;
    i64 skip = 0;
    if (hole) {
      CFileTypeJudge::NoteSectorWithoutFile();  // what each zero sector would leave behind
      // The whole chunks of the rest of the hole go in one step: a sparse
      // image of a large disk is mostly hole.
      if (holeRun >= 2 * chunkSectors) skip = static_cast<i64>((holeRun / chunkSectors - 1) * chunkSectors);
    } else {
      // The checks of files starting here mostly read what was just read.
      if (unreadable == 0 && overtime.empty()) {
        m_diskReader.SetWindow(data, at, heldTo - at, m_nSectorSize);
        // And the blocks the read-ahead already holds after it: a file
        // measured or checked past this block is read from there, not from
        // the disk ahead of the read-ahead.
        CReadAhead::HELD held[CDiskReader::kMaxWindows - 1];
        const u32 n = ahead ? ahead->HeldAfter(heldTo, held, CDiskReader::kMaxWindows - 1) : 0;
        for (u32 i = 0; i < n; ++i) m_diskReader.AddWindow(held[i].pData, held[i].u64First, held[i].nCount);
      }
      // A fault abandons the chunk (a mapped image cut short under the scan
      // faults there): what it held is missing from the results, and said so.
      if (!GuardedParse(data, static_cast<int>(chunk) * m_nSectorSize, at, u64Done, u64Total, m_nRemainSeconds, skip))
        m_u64Unreadable += chunk - unreadable;
      m_diskReader.ClearWindow();
    }
    i64 advance = static_cast<i64>(chunk) + skip;
    if (advance < 0) advance = 0;
    u64Pos += static_cast<u64>(advance);
    u64Done += std::min<u64>(static_cast<u64>(advance), chunk + (skip > 0 ? static_cast<u64>(skip) : 0));
    if (u64Done > u64Total) u64Done = u64Total;

    u32 now = rsb_getMonotonicTickCount();
    if (now - m_nLastEstimate > 999) {
      // This run's own rate: a resumed scan does not count what it skipped.
      m_nLastEstimate = now;
      u64 elapsedMs = now - m_nStartTick;
      u64 doneHere = u64Done > m_u64DoneAtStart ? u64Done - m_u64DoneAtStart : 0;
      if (elapsedMs >= 2000 && doneHere > 0)
        m_nRemainSeconds = static_cast<int>((u64Total > u64Done ? u64Total - u64Done : 0) * elapsedMs / doneHere / 1000);
    }
    if (m_pScanCallBack) {
      u64 found = static_cast<u64>(GetLostFileCount());
      int percent = u64Total ? static_cast<int>(u64Done * 100 / u64Total) + 10 : 110;
      int answer = m_pScanCallBack(m_pParam, percent, 90, m_nRemainSeconds, u64Done, u64Total, found, nullptr);
      if (answer != 0) {
        nStatus = answer;
        // A cancelled measurement (a negative skip) restarts at its sector.
        return false;
      }
    }
  }
  return true;
}

int CProfessionalRecovery::ScanDevice(wchar_t*) {
  CLogFileManager* log = CLogFileManager::GetInstance();
  const bool resuming = m_bFindLogFile;
  if (!resuming) log->AddDirIndex();
  std::string scanDir = resuming ? std::string(m_logInfo.szLogDir) : log->GetLogFileDirPath();
  MakeDirectories(scanDir);
  if (resuming) {
    m_badMap.Load(scanDir + kBadSectorFile);
  }
  m_bStopped = false;
  m_nQuickStatus = 0;

  // Quick pre-passes: the metadata of each file system, and the allocation
  // bitmaps that let the deep pass read only free sectors. A pass that fails
  // leaves its part to be read whole; only a stop by the user ends the scan.
  int status = 0;
  for (QUICK_PART& p : m_vecQuick) {
    if (!p.pEngine) continue;
    p.pEngine->InitCallBack(&QuickProgress, &QuickRecovery, this, 9);
    p.bBitmap = p.pEngine->BuildBitMapInfo() == 0;
    char name[256] = {0};
    if (resuming) {
      std::string prefix = "Fast_" + std::to_string(p.u64Start) + "_";
      log->GetLogFileNameByFileType(scanDir.c_str(), prefix.c_str(), name);
    }
    int st;
    if (resuming && name[0]) {
      std::wstring wname = Utf8ToWide(name);
      st = p.pEngine->ScanDevice(const_cast<wchar_t*>(wname.c_str()));
    } else {
      // A resumed scan whose quick result set is missing scans the metadata again.
      st = p.pEngine->ScanDevice(nullptr);
    }
    if (m_bStopped) {
      status = st ? st : 1;
      break;
    }
    if (st != 0 && m_nQuickStatus == 0) m_nQuickStatus = st;
  }
  if (m_bStopped && !resuming) {
    // Stopped before the deep pass began: nothing worth resuming.
    log->ReduceDirIndex();
    m_strScanPath.clear();
    return status;
  }

  u64 runStart = 0, runLength = 0, runPosition = 0, sectorsDone = 0, total = 0;
  if (!m_bStopped) {
    // Deep engines: new result sets, or the past scan's sets reopened. A set
    // missing from a resumed scan's folder is started afresh.
    char fileTypeName[256] = {0}, fatName[256] = {0}, ntfsName[256] = {0}, exfatName[256] = {0};
    if (resuming) {
      log->GetLogFileNameByFileType(scanDir.c_str(), "Pro_Exfat_", exfatName);
      log->GetLogFileNameByFileType(scanDir.c_str(), "File_Type_", fileTypeName);
      log->GetLogFileNameByFileType(scanDir.c_str(), "Pro_Fat_", fatName);
      log->GetLogFileNameByFileType(scanDir.c_str(), "Pro_Ntfs_", ntfsName);
    }
    std::wstring wFileType = Utf8ToWide(fileTypeName), wFat = Utf8ToWide(fatName), wNtfs = Utf8ToWide(ntfsName);
    const u64 limit = static_cast<u64>(m_u64StartSector + m_u64SectorCount);
    if (fileTypeName[0]) {
      if (m_strScanPath.empty())
        m_pFileTypeEngine->InitLogFile(const_cast<wchar_t*>(wFileType.c_str()), m_wcDrive, m_nDiskNo, m_nSectorSize,
                                       limit);
      else {
        std::wstring wpath = Utf8ToWide(m_strScanPath);
        m_pFileTypeEngine->InitLogFile(const_cast<wchar_t*>(wFileType.c_str()), m_wcDrive,
                                       const_cast<wchar_t*>(wpath.c_str()), m_nSectorSize, limit);
      }
    } else if (m_strScanPath.empty()) {
      m_pFileTypeEngine->Init(m_nDiskNo, m_u64StartSector, m_u64SectorCount, m_wcDrive);
    } else {
      std::wstring wpath = Utf8ToWide(m_strScanPath);
      m_pFileTypeEngine->Init(const_cast<wchar_t*>(wpath.c_str()), m_wcDrive);
    }
    m_pFatEngine->ClearProfessionalVec(fatName[0] ? const_cast<wchar_t*>(wFat.c_str()) : nullptr);
    // Folders the quick FAT passes listed are not listed again under lost
    // folders. A resumed quick pass reads its results back, not the folders,
    // so the runs are kept beside them.
    for (const QUICK_PART& p : m_vecQuick) {
      auto* quickFat = dynamic_cast<CFastFatRecovery*>(p.pEngine);
      if (!quickFat) continue;
      std::string listedFile = scanDir + kListedDirsFile + std::to_string(p.u64Start);
      std::vector<std::pair<u64, u64>> runs = quickFat->GetListedDirSectors();
      CBadSectorMap kept;
      if (runs.empty() && resuming && kept.Load(listedFile) == 0) {
        for (const SECTOR_RANGE& r : kept.Ranges()) runs.push_back({r.u64First, r.u64First + r.u64Count});
      } else if (!runs.empty()) {
        for (const auto& r : runs)
          if (r.second > r.first) kept.Add(r.first, r.second - r.first);
        kept.Save(listedFile);
      }
      m_pFatEngine->AddListedDirSectors(runs);
    }
    m_pNtfsEngine->InitProfessionalScan(ntfsName[0] ? const_cast<wchar_t*>(wNtfs.c_str()) : nullptr);
    std::wstring wExfat = Utf8ToWide(exfatName);
    m_pExfatEngine->ClearProfessionalVec(exfatName[0] ? &wExfat[0] : nullptr);
    m_pExfatEngine->InitVirtualVolumes();

    // A debug line, kept out of the command-line program's progress display.
    if (getenv("TORVANE_DEBUG")) fprintf(stderr, "InitVirtualDbrInfo Start\n");
    m_pFatEngine->InitVirtualDbrInfo();
    CFileTypeJudge::ResetPass();
    m_pFileTypeEngine->SetClusterAreas(ClusterAreas());
    BIFRAG_LIMITS limits;
    limits.pInUse = &m_quickInUse;
    m_pFileTypeEngine->SetBifragmentLimits(limits);
    std::vector<unsigned char> buffer(kChunkBytes);

    // What the pass reads: the free space of each file system, the rest whole.
    EXTENT ext;
    for (u64 at = 0; NextExtent(at, ext); at = ext.u64Start + ext.u64Count) total += ext.u64Count;
    u64 pos = 0;
    std::vector<SECTOR_RANGE> deferred;
    if (resuming) {
      pos = m_logInfo.u64RunStart + m_logInfo.u64RunPosition;
      sectorsDone = std::min(m_logInfo.u64SectorsDone, total);
      m_badMap.Load(scanDir + kBadSectorFile);
      CBadSectorMap later;
      if (later.Load(scanDir + kDeferredFile) == 0) deferred = later.Ranges();
    }
    m_nStartTick = m_nLastEstimate = rsb_getMonotonicTickCount();
    m_nRemainSeconds = -1;
    m_u64DoneAtStart = sectorsDone;

    // Whether a zero sector starts anything: if not, holes need no parsing.
    std::vector<unsigned char> zeros(static_cast<size_t>(m_nSectorSize), 0);
    m_bZeroSectorInert = !CProfessionalExfatRecovery::MayTake(0) &&
                         !CFileTypeJudge::MayBeFatDirSector(zeros.data(), zeros.size()) &&
                         !CFileTypeJudge::MayStartFile(zeros.data(), m_nSectorSize);
    const bool twoThreads = CReadAhead::Wanted();
    if (m_diskReader.GetFd() >= 0)
      m_pReadAhead.reset(
          new CReadAhead(m_diskReader.GetFd(), m_nSectorSize, m_diskReader.GetSectorLimit(), twoThreads));
    // Checks put off for their cost are made beside the pass, not after it.
    if (twoThreads) m_pFileTypeEngine->StartPendingChecks(m_nSectorSize);

    FaultGuardBegin(g_FaultProfessional);
    bool stop = false;
    runStart = static_cast<u64>(m_u64SectorCount);
    while (!stop && NextExtent(pos, ext)) {
      if (pos < ext.u64Start) pos = ext.u64Start;
      runStart = ext.u64Start;
      runLength = ext.u64Count;
      stop = !PassStretch(ext.u64Start, ext.u64Count, true, buffer, pos, sectorsDone, total, status, &deferred);
      runPosition = std::min(pos - ext.u64Start, ext.u64Count);
      if (!stop) pos = std::max(pos, ext.u64Start + ext.u64Count);
    }
    m_pReadAhead.reset();
    // The areas skipped over bad sectors, once the rest is done.
    while (!stop && !deferred.empty()) {
      SECTOR_RANGE r = deferred.front();
      u64 at = r.u64First;
      stop = !PassStretch(r.u64First, r.u64Count, false, buffer, at, sectorsDone, total, status, nullptr);
      if (stop) {
        deferred.front() = {at, r.u64First + r.u64Count - std::min(at, r.u64First + r.u64Count)};
        break;
      }
      deferred.erase(deferred.begin());
    }
    if (!stop) {
      runStart = static_cast<u64>(m_u64SectorCount);
      runLength = runPosition = 0;
    }
    FaultGuardEnd(g_FaultProfessional);
    m_pFileTypeEngine->FinishPendingChecks(!stop);

    // The folder trees are rebuilt even after a cancel, so what was found is complete.
    m_pFatEngine->DealProfessionalRecordVec();
    m_pExfatEngine->DealProfessionalRecordVec();
    m_pNtfsEngine->ParseProfessionalRecordVec();

    m_badMap.Save(scanDir + kBadSectorFile);
    CBadSectorMap later;
    for (const SECTOR_RANGE& r : deferred) later.Add(r.u64First, r.u64Count);
    later.Save(scanDir + kDeferredFile);
    if (status == 0 && m_pScanCallBack) m_pScanCallBack(m_pParam, 100, 100, 0, 0, 0, 0, nullptr);
  }

  std::string device = m_strScanPath.empty() ? GetDiskDevicePath(m_nDiskNo) : m_strScanPath;
  if (!m_bStopped || !resuming) {
    u64 found = static_cast<u64>(GetLostFileCount());
    log->SaveLogFileInfo(device.c_str(), m_nDiskNo, static_cast<u64>(m_u64StartSector),
                         static_cast<u64>(m_u64SectorCount), runStart, runLength, runPosition, sectorsDone, found,
                         scanDir.c_str(), m_strScanPath.c_str());
  }
  m_strScanPath.clear();
  return status;
}

// The jump point lives in this small frame, which is alive for the whole
// guarded call, so nothing of the scan loop's state can be clobbered.
__attribute__((noinline)) bool CProfessionalRecovery::GuardedParse(unsigned char* pBuf, int nBytes, u64 u64FirstSector,
                                                                    u64 u64Done, u64 u64Total, int nRemainSeconds,
                                                                    i64& nSkip) {
  if (FAULT_GUARD_TRY(g_FaultProfessional)) {
    i64 skip = 0;
    // The carver passes the count on to the progress reports of long measurements.
    u64 found = static_cast<u64>(GetLostFileCount());
    ParseProfessionalFileInfo(pBuf, nBytes, u64FirstSector, u64Done, u64Total, nRemainSeconds, skip, found);
    nSkip = skip;
    return true;
  }
  FaultGuardRearm(g_FaultProfessional);
  nSkip = 0;
  return false;
}

// Each file system's allocation unit over its part of the range, as its
// quick pass read it from the volume (0: not known, left out).
std::vector<CFileTypeRecovery::CLUSTER_AREA> CProfessionalRecovery::ClusterAreas() const {
  std::vector<CFileTypeRecovery::CLUSTER_AREA> areas;
  for (const QUICK_PART& p : m_vecQuick) {
    u64 bytes = 0;
    if (auto* fat = dynamic_cast<CFastFatRecovery*>(p.pEngine)) bytes = static_cast<u64>(fat->GetSectorPerCluster()) * SECTOR_SIZE;
    else if (auto* ntfs = dynamic_cast<CFastNtfsRecovery*>(p.pEngine))
      bytes = ntfs->GetSectorPerCluster() > 0 ? static_cast<u64>(ntfs->GetSectorPerCluster()) * SECTOR_SIZE : 0;
    else if (auto* exfat = dynamic_cast<CFastExfatRecovery*>(p.pEngine)) bytes = exfat->GetClusterBytes();
    else if (auto* ext = dynamic_cast<CFastExtRecovery*>(p.pEngine)) bytes = ext->HasGeometry() ? ext->GetGeometry().nBlockSize : 0;
    // Only sizes a file system can have: a power of two from a sector to 32 MiB.
    if (bytes >= SECTOR_SIZE && bytes <= (32u << 20) && (bytes & (bytes - 1)) == 0)
      areas.push_back({p.u64Start, p.u64Count, static_cast<u32>(bytes)});
  }
  return areas;
}

bool CProfessionalRecovery::CQuickInUse::AllInUse(u64 u64FirstSector, u64 u64SectorCount) const {
  if (u64SectorCount == 0) return false;
  for (const QUICK_PART& p : m_parts) {
    if (u64FirstSector < p.u64Start || u64FirstSector - p.u64Start >= p.u64Count) continue;
    if (!p.pEngine || !p.bBitmap || u64SectorCount > p.u64Count - (u64FirstSector - p.u64Start)) return false;
    // The first free run at or after the range's start must begin past its end.
    u64 s = u64FirstSector - p.u64Start, len = 0;
    p.pEngine->GetUnUsedSectorCount(s, len);
    return len == 0 || p.u64Start + s >= u64FirstSector + u64SectorCount;
  }
  return false;
}

IFileRecoveryParse* CProfessionalRecovery::RouteEngine(u32 nEngineType, u64 u64VolumeStart) {
  switch (nEngineType) {
    case ENGINE_FAST_NTFS:
    case ENGINE_FAST_FAT:
    case ENGINE_FAST_EXFAT:
      // Each partition's own quick engine: the one whose range holds the volume.
      for (const QUICK_PART& p : m_vecQuick)
        if (p.pEngine && u64VolumeStart >= p.u64Start && u64VolumeStart - p.u64Start < p.u64Count) return p.pEngine;
      return m_vecQuick.size() == 1 ? m_vecQuick[0].pEngine : nullptr;
    case ENGINE_PROFESSIONAL_NTFS: return m_pNtfsEngine.get();
    case ENGINE_PROFESSIONAL_FAT: return m_pFatEngine.get();
    case ENGINE_FILE_TYPE: return m_pFileTypeEngine.get();
    case ENGINE_PROFESSIONAL_EXFAT: return m_pExfatEngine.get();
    default: return nullptr;
  }
}

int CProfessionalRecovery::GetChildrenFileNode(_FILE_NODE_* pParent, unsigned int nLevel, FILE_NODE_VECTOR& out) {
  int status = 0;
  if (!pParent) {
    if (nLevel != 0) return STATUS_INVALID_PARAMETER;
    for (QUICK_PART& p : m_vecQuick)
      if (p.pEngine) p.pEngine->GetChildrenFileNode(nullptr, 0, out);
    m_pFatEngine->GetChildrenFileNode(nullptr, 0, out);
    m_pExfatEngine->GetChildrenFileNode(nullptr, 0, out);
    m_pNtfsEngine->GetChildrenFileNode(nullptr, 0, out);
    m_pFileTypeEngine->GetChildrenFileNode(nullptr, 0, out);
  } else if (pParent->nEngineType != ENGINE_FILE_TYPE) {
    IFileRecoveryParse* e = RouteEngine(pParent->nEngineType, pParent->u64VolumeStartSector);
    if (e) status = e->GetChildrenFileNode(pParent, nLevel, out);
  }
  std::sort(out.begin(), out.end(), VectorCmp);
  return status;
}

int CProfessionalRecovery::GetChildrenFileCount(_FILE_NODE_* pParent, unsigned int nLevel, unsigned int& nCount) {
  if (!pParent) {
    if (nLevel != 0) return STATUS_INVALID_PARAMETER;
    unsigned int n = 0;
    for (QUICK_PART& p : m_vecQuick) {
      n = 0;
      if (p.pEngine && p.pEngine->GetChildrenFileCount(nullptr, 0, n) == 0) nCount += n;
    }
    n = 0;
    if (m_pFatEngine->GetChildrenFileCount(nullptr, 0, n) == 0) nCount += n;
    n = 0;
    if (m_pExfatEngine->GetChildrenFileCount(nullptr, 0, n) == 0) nCount += n;
    n = 0;
    if (m_pNtfsEngine->GetChildrenFileCount(nullptr, 0, n) == 0) nCount += n;
    n = 0;
    if (m_pFileTypeEngine->GetChildrenFileCount(nullptr, 0, n) == 0) nCount += n;
    return 0;
  }
  if (pParent->nEngineType == ENGINE_FILE_TYPE) return 0;
  IFileRecoveryParse* e = RouteEngine(pParent->nEngineType, pParent->u64VolumeStartSector);
  return e ? e->GetChildrenFileCount(pParent, nLevel, nCount) : 0;
}

int CProfessionalRecovery::GetLostFileCount() {
  int n = m_pFatEngine->GetLostFileCount() + m_pNtfsEngine->GetLostFileCount() + m_pFileTypeEngine->GetLostFileCount() +
          m_pExfatEngine->GetLostFileCount();
  for (QUICK_PART& p : m_vecQuick)
    if (p.pEngine) n += p.pEngine->GetLostFileCount();
  return n;
}

int CProfessionalRecovery::GetFileNodeParentDirPath(_FILE_NODE_* pNode, wchar_t* pPath, int nLen) {
  if (!pNode) return STATUS_INVALID_PARAMETER;
  if (pNode->nEngineType == ENGINE_FILE_TYPE) return 0;
  IFileRecoveryParse* e = RouteEngine(pNode->nEngineType, pNode->u64VolumeStartSector);
  return e ? e->GetFileNodeParentDirPath(pNode, pPath, nLen) : 0;
}

int CProfessionalRecovery::SaveFileData(_FILE_NODE_* pNode, wchar_t* pTargetPath, int nRootDirIndex) {
  if (!pNode) return STATUS_INVALID_PARAMETER;
  IFileRecoveryParse* e = RouteEngine(pNode->nEngineType, pNode->u64VolumeStartSector);
  return e ? e->SaveFileData(pNode, pTargetPath, nRootDirIndex) : 0;
}

int CProfessionalRecovery::PreView(_FILE_NODE_* pNode, wchar_t* pTempPath, unsigned char* pBuf, int& nLen,
                                   PREVIEW_CALLBACK pCallback, void* param) {
  if (!pNode) return STATUS_INVALID_PARAMETER;
  IFileRecoveryParse* e = RouteEngine(pNode->nEngineType, pNode->u64VolumeStartSector);
  return e ? e->PreView(pNode, pTempPath, pBuf, nLen, pCallback, param) : 0;
}

int CProfessionalRecovery::CopyFileData(_FILE_NODE_* pNode, IRecoverySink& sink) {
  if (!pNode) return STATUS_INVALID_PARAMETER;
  IFileRecoveryParse* e = RouteEngine(pNode->nEngineType, pNode->u64VolumeStartSector);
  return e ? e->CopyFileData(pNode, sink) : STATUS_NOT_SUPPORTED;
}

u32 CProfessionalRecovery::FolderChildLevel(const _FILE_NODE_& folder, u32 nGuess) {
  IFileRecoveryParse* e = RouteEngine(folder.nEngineType, folder.u64VolumeStartSector);
  return e ? e->FolderChildLevel(folder, nGuess) : nGuess;
}

int CProfessionalRecovery::InitSearchCallBack(SEARCH_CALLBACK pSearch, void* param) {
  m_pSearchCallBack = pSearch;
  m_pSearchParam = param;
  for (QUICK_PART& p : m_vecQuick)
    if (p.pEngine) p.pEngine->InitSearchCallBack(pSearch, param);
  m_pFatEngine->InitSearchCallBack(pSearch, param);
  m_pExfatEngine->InitSearchCallBack(pSearch, param);
  m_pNtfsEngine->InitSearchCallBack(pSearch, param);
  m_pFileTypeEngine->InitSearchCallBack(pSearch, param);
  return 0;
}

u64 CProfessionalRecovery::GetFileDataStartSector(const _FILE_NODE_& node) {
  switch (node.nEngineType) {
    case ENGINE_FAST_NTFS:
    case ENGINE_PROFESSIONAL_NTFS: {
      std::vector<__RUNLIST__> runs;
      m_pNtfsEngine->GetRunListInfo(node.u64RecordSector, 0x80, runs, node.u64DataStartSector);
      if (runs.empty() || runs[0].bSparse || runs[0].i64RunOffset <= 0 || node.nClusterBytes == 0xFFFFFFFFu) return 0;
      return static_cast<u64>(node.nClusterBytes) * static_cast<u64>(runs[0].i64RunOffset) / SECTOR_SIZE +
             node.u64VolumeStartSector;
    }
    case ENGINE_FAST_FAT:
    case ENGINE_PROFESSIONAL_FAT:
      if (node.nClusterNO == 0) {
        u64 dataStart = node.u64DataStartSector + node.u64VolumeStartSector;
        return dataStart >= 32 ? dataStart - 32 : 0;
      }
      if (node.nClusterNO == 1 || node.nClusterBytes == 0) return 0;  // damaged entry or no geometry: unknown
      return node.u64DataStartSector + node.u64VolumeStartSector +
             static_cast<u64>(node.nClusterNO - 2) * (node.nClusterBytes / SECTOR_SIZE);
    case ENGINE_FAST_EXFAT:
    case ENGINE_PROFESSIONAL_EXFAT:
      if (node.nClusterNO < 2 || node.nClusterBytes == 0) return 0;
      return node.u64DataStartSector + node.u64VolumeStartSector +
             static_cast<u64>(node.nClusterNO - 2) * (node.nClusterBytes / SECTOR_SIZE);
    case ENGINE_FILE_TYPE:
      return node.u64RecordSector;
    default:
      return 0;
  }
}

namespace {

// The carvable extensions, lower case, sorted: a carved copy can only
// duplicate a file whose extension is one of them.
const std::vector<std::string>& CarvableExtensions() {
  static const std::vector<std::string> exts = [] {
    std::vector<std::string> v;
    for (const CFileTypeJudge::EXTEND_NAME_ROW& row : CFileTypeJudge::szExtendNameAndType)
      if (row.szExtendName) v.push_back(LowerExtension((std::string(".") + row.szExtendName).c_str()));
    std::sort(v.begin(), v.end());
    v.erase(std::unique(v.begin(), v.end()), v.end());
    return v;
  }();
  return exts;
}

// Keys of "a file starts at this sector with this extension", 8 bytes each:
// the sector above 16 bits, the extension's place among the carvable ones
// in the 15 bits below, and whether the file system's result checked whole
// in the lowest. Sectors from 2^48 on (128 PiB) are past any disk and get no key.
constexpr u64 kNoKey = ~0ull;
u64 DuplicateKey(u64 u64Sector, const std::string& ext, bool bVerified = false) {
  const std::vector<std::string>& exts = CarvableExtensions();
  auto it = std::lower_bound(exts.begin(), exts.end(), ext);
  if (u64Sector == 0 || u64Sector >> 48 || it == exts.end() || *it != ext || it - exts.begin() >= (1 << 15)) return kNoKey;
  return (u64Sector << 16) | (static_cast<u64>(it - exts.begin()) << 1) | (bVerified ? 1u : 0u);
}

}  // namespace

int CProfessionalRecovery::SearchFileNodeEach(wchar_t* pKey, const SEARCH_VISIT& visit) {
  // File-system results first; each leaves the key a carved copy of it
  // would have. The keys are all this keeps per result: 8 bytes.
  std::vector<u64> keys;
  bool go = true;
  auto fileSystem = [&](__SEARCH_FILE_INFO__& hit) {
    if (hit.nEngineType != ENGINE_FILE_TYPE) {
      const u64 first = GetFileDataStartSector(hit);
      const std::string ext = LowerExtension(hit.szFileName);
      const bool verified = hit.nIntegrity == INTEGRITY_VERIFIED;
      u64 key = DuplicateKey(first, ext, verified);
      if (key != kNoKey) keys.push_back(key);
      // A camera's THM is the JPEG thumbnail of its video: carved as a jpg.
      if (ext == "thm" && (key = DuplicateKey(first, "jpg", verified)) != kNoKey) keys.push_back(key);
    }
    go = visit(hit);
    return go;
  };
  for (QUICK_PART& p : m_vecQuick)
    if (go && p.pEngine) p.pEngine->SearchFileNodeEach(pKey, fileSystem);
  if (go) m_pFatEngine->SearchFileNodeEach(pKey, fileSystem);
  if (go) m_pExfatEngine->SearchFileNodeEach(pKey, fileSystem);
  if (go) m_pNtfsEngine->SearchFileNodeEach(pKey, fileSystem);
  if (!go) return 0;
  std::sort(keys.begin(), keys.end());
  // A carved file where a file-system result of its extension starts is that
  // file again, except where the carver put it together from two pieces and
  // it checks whole while the file system's result does not: a deleted file
  // whose cluster chain was cleared is read as one run, which a file stored
  // in pieces is not.
  return m_pFileTypeEngine->SearchFileNodeEach(pKey, [&](__SEARCH_FILE_INFO__& hit) {
    const u64 key = DuplicateKey(hit.u64RecordSector, LowerExtension(hit.szFileName));
    if (key != kNoKey) {
      const bool betterThanListed =
          (hit.nResultFlags & RESULT_FLAG_TWO_PIECES) && hit.nIntegrity == INTEGRITY_VERIFIED;
      if (std::binary_search(keys.begin(), keys.end(), key | 1)) return true;
      if (!betterThanListed && std::binary_search(keys.begin(), keys.end(), key)) return true;
    }
    return visit(hit);
  });
}

int CProfessionalRecovery::SearchFileNode(wchar_t* pKey, SEARCH_FILE_INFO_VECTOR& out) {
  SearchFileNodeEach(pKey, [&out](__SEARCH_FILE_INFO__& hit) {
    out.push_back(hit);
    return true;
  });
  std::sort(out.begin(), out.end(), SearchVectorCmp);
  return 0;
}

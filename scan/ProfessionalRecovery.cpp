#include "scan/ProfessionalRecovery.h"

#include <errno.h>
#include <fcntl.h>
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
#include "scan/FileRecoveryFactory.h"
#include "engine/TextUtil.h"
#include "disk/FatEntry.h"
#include "fat/FastFatRecovery.h"
#include "fat/ProfessionalFatRecovery.h"
#include "ntfs/NtfsParse.h"
#include "ntfs/ProfessionalNtfsRecovery.h"
#include "store/ScanResultFileManager.h"

namespace {
constexpr int kChunkBytes = 65536;
constexpr int kNoDisk = 128;

std::string LowerExtension(const char* name) {
  const char* dot = strrchr(name, '.');
  std::string ext = dot ? std::string(dot + 1) : std::string();
  for (char& c : ext)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  return ext;
}
}  // namespace

CProfessionalRecovery::CProfessionalRecovery()
    : m_nFd(-1),
      m_wcDrive(0),
      m_nSectorSize(SECTOR_SIZE),
      m_nDiskNo(kNoDisk),
      m_u64StartSector(0),
      m_u64SectorCount(0),
      m_pFatEngine(new CProfessionalFatRecovery()),
      m_pNtfsEngine(new CProfessionalNtfsRecovery()),
      m_pFileTypeEngine(new CFileTypeRecovery()),
      m_pFastEngine(nullptr),
      m_pScanCallBack(nullptr),
      m_pRecoveryCallBack(nullptr),
      m_pParam(nullptr),
      m_nPercent(90),
      m_pSearchCallBack(nullptr),
      m_pSearchParam(nullptr),
      m_bFindLogFile(false) {
  CFileTypeJudge::InstallContentMatcher();
  memset(&m_logInfo, 0, sizeof(m_logInfo));
}

CProfessionalRecovery::~CProfessionalRecovery() {
  if (m_nFd != -1) close(m_nFd);
  delete m_pFastEngine;
}

int CProfessionalRecovery::Init(int nDiskNo, i64 u64StartSector, i64 u64SectorCount, wchar_t wcDrive) {
  m_nDiskNo = nDiskNo;
  m_u64StartSector = u64StartSector;
  m_u64SectorCount = u64SectorCount;
  m_wcDrive = wcDrive;
  m_strScanPath.clear();
  if (m_nFd != -1) close(m_nFd);
  m_nFd = OpenDiskReadOnly(nDiskNo);
  m_diskReader.Init(nDiskNo, static_cast<u64>(u64StartSector + u64SectorCount));

  memset(&m_logInfo, 0, sizeof(m_logInfo));
  std::string device = GetDiskDevicePath(nDiskNo);
  m_bFindLogFile = CLogFileManager::GetInstance()->LoadRecoveryLogInfo(device.c_str(), nDiskNo, u64StartSector,
                                                                      u64SectorCount, &m_logInfo) == 1;

  m_pFatEngine->Init(nDiskNo, u64StartSector, u64SectorCount, wcDrive);
  int status = m_pNtfsEngine->Init(nDiskNo, u64StartSector, u64SectorCount, wcDrive);
  delete m_pFastEngine;
  m_pFastEngine = CFileRecoveryFactory::GetInstance()->CreateFileRecoveryInstance(
      nDiskNo, u64StartSector, u64SectorCount, wcDrive, RECOVERY_TYPE_FAST);
  return status;
}

int CProfessionalRecovery::Init(wchar_t* pPath, wchar_t wcDrive) {
  if (!pPath) return STATUS_INVALID_PARAMETER;
  m_wcDrive = wcDrive;
  char path[256];
  inner_uni2str(path, pPath, sizeof(path), -1);
  int fd = OpenPathReadOnly(path);
  if (fd < 0) return errno ? errno : ENOENT;
  u64 size = rsb_getDeviceSize(fd);
  if (size == 0) {
    close(fd);
    return EIO;
  }
  if (m_nFd != -1) close(m_nFd);
  m_nFd = fd;
  m_nDiskNo = kNoDisk;
  m_u64StartSector = 0;
  m_u64SectorCount = static_cast<i64>(size / SECTOR_SIZE);
  m_strScanPath = path;
  m_diskReader.Init(path, static_cast<u64>(m_u64SectorCount));
  memset(&m_logInfo, 0, sizeof(m_logInfo));
  m_bFindLogFile = false;
  m_pFatEngine->Init(pPath, wcDrive);
  int status = m_pNtfsEngine->Init(pPath, wcDrive);
  delete m_pFastEngine;
  m_pFastEngine = CFileRecoveryFactory::GetInstance()->CreateFileRecoveryInstance(pPath, wcDrive, RECOVERY_TYPE_FAST);
  return status;
}

int CProfessionalRecovery::InitCallBack(SCAN_PROGRESS_CALLBACK pScan, RECOVERY_CALLBACK pRecovery, void* param, int) {
  m_pScanCallBack = pScan;
  m_pRecoveryCallBack = pRecovery;
  m_pParam = param;
  m_nPercent = 90;
  if (m_pFastEngine) m_pFastEngine->InitCallBack(pScan, pRecovery, param, 9);
  m_pFatEngine->InitCallBack(pScan, pRecovery, param, 90);
  m_pNtfsEngine->InitCallBack(pScan, pRecovery, param, 90);
  m_pFileTypeEngine->InitCallBack(pScan, pRecovery, param, 90);
  return 0;
}

void CProfessionalRecovery::SetNotLoadLogFile() {
  if (m_bFindLogFile && m_logInfo.szLogDir[0]) CLogFileManager::GetInstance()->DeleteLogFileDir(m_logInfo.szLogDir);
  m_bFindLogFile = false;
  memset(&m_logInfo, 0, sizeof(m_logInfo));
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
    } else if (CFileTypeJudge::MayBeFatDirSector(sector, sectorSize) && IsFatFDTRecord(sector, sectorSize)) {
      result = m_pFatEngine->ParseFDTFileRecord(sector, sectorNo);
    } else if (!CFileTypeJudge::MayStartFile(sector, m_nSectorSize)) {
      // No signature can start here: the carver's answer (87) without the call.
      CFileTypeJudge::NoteSectorWithoutFile(sectorNo, u64Done, u64Total, nRemainSeconds, &m_diskReader,
                                            m_nSectorSize, u64Found);
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

int CProfessionalRecovery::ScanDevice(wchar_t*) {
  CLogFileManager* log = CLogFileManager::GetInstance();
  const bool resuming = m_bFindLogFile;
  if (!resuming) log->AddDirIndex();
  std::string scanDir = resuming ? std::string(m_logInfo.szLogDir) : log->GetLogFileDirPath();
  MakeDirectories(scanDir);

  // Quick pre-pass: the file-system metadata, and the allocation bitmap that
  // lets the pass read only free sectors.
  int status = 0;
  bool haveBitmap = false;
  if (m_pFastEngine) {
    m_pFastEngine->InitCallBack(m_pScanCallBack, m_pRecoveryCallBack, m_pParam, 9);
    haveBitmap = m_pFastEngine->BuildBitMapInfo() == 0;
    char name[256] = {0};
    if (resuming) log->GetLogFileNameByFileType(scanDir.c_str(), "Fast_", name);
    if (resuming && name[0]) {
      std::wstring wname = Utf8ToWide(name);
      status = m_pFastEngine->ScanDevice(const_cast<wchar_t*>(wname.c_str()));
    } else {
      // A resumed scan whose quick result set is missing scans the metadata again.
      status = m_pFastEngine->ScanDevice(nullptr);
    }
  }

  u64 runStart = 0, runLength = 0, runPosition = 0, sectorsDone = 0, total = 0, foundBase = 0;
  if (resuming) {
    // A resumed scan whose pre-pass fails keeps its record as it was, so it
    // can still be resumed later.
    runStart = m_logInfo.u64RunStart;
    runLength = m_logInfo.u64RunLength;
    runPosition = m_logInfo.u64RunPosition;
    sectorsDone = m_logInfo.u64SectorsDone;
    foundBase = m_logInfo.u64FilesFound;
  }
  if (status == 0) {
    // Deep engines: new result sets, or the past scan's sets reopened. A set
    // missing from a resumed scan's folder is started afresh.
    char fileTypeName[256] = {0}, fatName[256] = {0}, ntfsName[256] = {0};
    if (resuming) {
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
      else
      {
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
    // Folders the quick FAT pass listed are not listed again under lost folders.
    if (auto* quickFat = dynamic_cast<CFastFatRecovery*>(m_pFastEngine))
      m_pFatEngine->SetListedDirSectors(quickFat->GetListedDirSectors());
    m_pNtfsEngine->InitProfessionalScan(ntfsName[0] ? const_cast<wchar_t*>(wNtfs.c_str()) : nullptr);

    // A debug line, kept out of the command-line program's progress display.
    if (getenv("TORVANE_DEBUG")) fprintf(stderr, "InitVirtualDbrInfo Start\n");
    m_pFatEngine->InitVirtualDbrInfo();
    CFileTypeJudge::m_tsFileRangeVec.clear();
    std::vector<unsigned char> buffer(kChunkBytes);

    // Total sectors to read: the free runs, or the whole range.
    if (haveBitmap) {
      u64 start = 0, length = 0;
      for (;;) {
        length = 0;
        m_pFastEngine->GetUnUsedSectorCount(start, length);
        if (length == 0) break;
        total += length;
        start += length;
      }
      runStart = 0;
      runLength = 0;
      m_pFastEngine->GetUnUsedSectorCount(runStart, runLength);
    } else {
      total = static_cast<u64>(m_u64SectorCount);
      runStart = 0;
      runLength = total;
    }
    if (resuming) {
      runStart = m_logInfo.u64RunStart;
      runLength = m_logInfo.u64RunLength;
      runPosition = m_logInfo.u64RunPosition;
      sectorsDone = m_logInfo.u64SectorsDone;
      // Reopened result sets number on from their saved records, so the
      // engines' counts already include what the earlier part found.
      foundBase = 0;
    }
    // Read once per chunk: the monotonic clock costs no system call.
    u32 startTick = rsb_getMonotonicTickCount();
    u32 lastEstimate = startTick;
    int remainSeconds = -1;
    const u64 chunkSectors = static_cast<u64>(kChunkBytes / m_nSectorSize);

    FaultGuardBegin(g_FaultProfessional);
    bool stop = false;
    while (runLength != 0 && !stop) {
      u64 runAbsolute = runStart + static_cast<u64>(m_u64StartSector);
      i64 remaining = static_cast<i64>(runLength) - static_cast<i64>(runPosition);
      while (remaining > 0) {
        u64 chunk = std::min<u64>(chunkSectors, static_cast<u64>(remaining));
        unsigned int got = 0;
        int rc = m_diskReader.ReadData(buffer.data(), static_cast<int>(chunk), static_cast<i64>(runAbsolute + runPosition),
                                       m_nSectorSize, &got);
        i64 skip = 0;
        if ((rc == 0 || rc == STATUS_SHORT_READ) && got > 0) {
          // Sectors that did not arrive are zero, so they match nothing.
          if (got < chunk) memset(buffer.data() + static_cast<size_t>(got) * m_nSectorSize, 0,
                                  static_cast<size_t>(chunk - got) * m_nSectorSize);
          GuardedParse(buffer.data(), static_cast<int>(chunk) * m_nSectorSize, runAbsolute + runPosition,
                       sectorsDone, total, remainSeconds, skip);
        }
        i64 advance = static_cast<i64>(chunk) + skip;
        runPosition = static_cast<u64>(static_cast<i64>(runPosition) + advance);
        if (advance <= remaining)
          sectorsDone += static_cast<u64>(std::max<i64>(advance, 0));
        else
          sectorsDone += static_cast<u64>(remaining);
        remaining -= advance;

        u32 now = rsb_getMonotonicTickCount();
        if (now - lastEstimate > 4999 && m_nPercent == 90) {
          lastEstimate = now;
          u64 elapsed = (now - startTick) / 1000;
          u64 rate = elapsed ? static_cast<u64>(m_nSectorSize) * sectorsDone / elapsed : 0;
          if (rate < 1) rate = 1;
          remainSeconds = static_cast<int>((total > sectorsDone ? total - sectorsDone : 0) * m_nSectorSize / rate);
        }
        if (m_pScanCallBack) {
          u64 found = static_cast<u64>(GetLostFileCount()) + foundBase;
          int percent = total ? static_cast<int>(sectorsDone * 100 / total) + 10 : 110;
          int answer = m_pScanCallBack(m_pParam, percent, 90, remainSeconds, sectorsDone, total, found, nullptr);
          if (answer != 0) {
            status = answer;
            stop = true;
            break;
          }
        }
      }
      if (stop) break;
      // The run is finished.
      if (!haveBitmap) {
        runStart += runLength;
        runLength = 0;
        runPosition = 0;
        break;
      }
      runStart += runLength;
      runPosition = 0;
      u64 nextStart = runStart, nextLength = 0;
      m_pFastEngine->GetUnUsedSectorCount(nextStart, nextLength);
      runStart = nextStart;
      runLength = nextLength;
    }
    FaultGuardEnd(g_FaultProfessional);

    // The folder trees are rebuilt even after a cancel, so what was found is complete.
    m_pFatEngine->DealProfessionalRecordVec();
    m_pNtfsEngine->ParseProfessionalRecordVec();

    if (status == 0 && m_pScanCallBack) m_pScanCallBack(m_pParam, 100, 100, 0, 0, 0, 0, nullptr);
  } else if (!resuming) {
    log->ReduceDirIndex();
    m_strScanPath.clear();
    return status;
  }

  std::string device = m_strScanPath.empty() ? GetDiskDevicePath(m_nDiskNo) : m_strScanPath;
  u64 found = static_cast<u64>(GetLostFileCount()) + foundBase;
  log->SaveLogFileInfo(device.c_str(), m_nDiskNo, static_cast<u64>(m_u64StartSector),
                       static_cast<u64>(m_u64SectorCount), runStart, runLength, runPosition, sectorsDone, found,
                       scanDir.c_str(), m_strScanPath.c_str());
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

IFileRecoveryParse* CProfessionalRecovery::RouteEngine(u32 nEngineType) {
  switch (nEngineType) {
    case ENGINE_FAST_NTFS:
    case ENGINE_FAST_FAT: return m_pFastEngine;
    case ENGINE_PROFESSIONAL_NTFS: return m_pNtfsEngine.get();
    case ENGINE_PROFESSIONAL_FAT: return m_pFatEngine.get();
    case ENGINE_FILE_TYPE: return m_pFileTypeEngine.get();
    default: return nullptr;
  }
}

int CProfessionalRecovery::GetChildrenFileNode(_FILE_NODE_* pParent, unsigned int nLevel, FILE_NODE_VECTOR& out) {
  int status = 0;
  if (!pParent) {
    if (nLevel != 0) return STATUS_INVALID_PARAMETER;
    if (m_pFastEngine) m_pFastEngine->GetChildrenFileNode(nullptr, 0, out);
    m_pFatEngine->GetChildrenFileNode(nullptr, 0, out);
    m_pNtfsEngine->GetChildrenFileNode(nullptr, 0, out);
    m_pFileTypeEngine->GetChildrenFileNode(nullptr, 0, out);
  } else if (pParent->nEngineType <= ENGINE_PROFESSIONAL_FAT) {
    IFileRecoveryParse* e = RouteEngine(pParent->nEngineType);
    if (e) status = e->GetChildrenFileNode(pParent, nLevel, out);
  }
  std::sort(out.begin(), out.end(), VectorCmp);
  return status;
}

int CProfessionalRecovery::GetChildrenFileCount(_FILE_NODE_* pParent, unsigned int nLevel, unsigned int& nCount) {
  if (!pParent) {
    if (nLevel != 0) return STATUS_INVALID_PARAMETER;
    unsigned int n = 0;
    if (m_pFastEngine && m_pFastEngine->GetChildrenFileCount(nullptr, 0, n) == 0) nCount += n;
    n = 0;
    if (m_pFatEngine->GetChildrenFileCount(nullptr, 0, n) == 0) nCount += n;
    n = 0;
    if (m_pNtfsEngine->GetChildrenFileCount(nullptr, 0, n) == 0) nCount += n;
    n = 0;
    if (m_pFileTypeEngine->GetChildrenFileCount(nullptr, 0, n) == 0) nCount += n;
    return 0;
  }
  if (pParent->nEngineType > ENGINE_PROFESSIONAL_FAT) return 0;
  IFileRecoveryParse* e = RouteEngine(pParent->nEngineType);
  return e ? e->GetChildrenFileCount(pParent, nLevel, nCount) : 0;
}

int CProfessionalRecovery::GetLostFileCount() {
  int n = m_pFatEngine->GetLostFileCount() + m_pNtfsEngine->GetLostFileCount() + m_pFileTypeEngine->GetLostFileCount();
  if (m_pFastEngine) n += m_pFastEngine->GetLostFileCount();
  return n;
}

int CProfessionalRecovery::GetFileNodeParentDirPath(_FILE_NODE_* pNode, wchar_t* pPath, int nLen) {
  if (!pNode) return STATUS_INVALID_PARAMETER;
  if (pNode->nEngineType > ENGINE_PROFESSIONAL_FAT) return 0;
  IFileRecoveryParse* e = RouteEngine(pNode->nEngineType);
  return e ? e->GetFileNodeParentDirPath(pNode, pPath, nLen) : 0;
}

int CProfessionalRecovery::SaveFileData(_FILE_NODE_* pNode, wchar_t* pTargetPath, int nRootDirIndex) {
  if (!pNode) return STATUS_INVALID_PARAMETER;
  IFileRecoveryParse* e = RouteEngine(pNode->nEngineType);
  return e ? e->SaveFileData(pNode, pTargetPath, nRootDirIndex) : 0;
}

int CProfessionalRecovery::PreView(_FILE_NODE_* pNode, wchar_t* pTempPath, unsigned char* pBuf, int& nLen,
                                   PREVIEW_CALLBACK pCallback, void* param) {
  if (!pNode) return STATUS_INVALID_PARAMETER;
  IFileRecoveryParse* e = RouteEngine(pNode->nEngineType);
  return e ? e->PreView(pNode, pTempPath, pBuf, nLen, pCallback, param) : 0;
}

int CProfessionalRecovery::InitSearchCallBack(SEARCH_CALLBACK pSearch, void* param) {
  m_pSearchCallBack = pSearch;
  m_pSearchParam = param;
  if (m_pFastEngine) m_pFastEngine->InitSearchCallBack(pSearch, param);
  m_pFatEngine->InitSearchCallBack(pSearch, param);
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
    case ENGINE_FILE_TYPE:
      return node.u64RecordSector;
    default:
      return 0;
  }
}

void CProfessionalRecovery::GetFileDataStartSectorMap(const _FILE_NODE_& node, std::map<u64, std::string>& map) {
  if (node.nEngineType > ENGINE_PROFESSIONAL_FAT) return;
  u64 first = GetFileDataStartSector(node);
  if (first != 0) map[first] = LowerExtension(node.szFileName);
}

int CProfessionalRecovery::SearchFileNode(wchar_t* pKey, SEARCH_FILE_INFO_VECTOR& out) {
  if (m_pFastEngine) m_pFastEngine->SearchFileNode(pKey, out);
  m_pFatEngine->SearchFileNode(pKey, out);
  m_pNtfsEngine->SearchFileNode(pKey, out);
  std::map<u64, std::string> starts;
  for (const auto& hit : out) GetFileDataStartSectorMap(hit, starts);
  SEARCH_FILE_INFO_VECTOR carved;
  m_pFileTypeEngine->SearchFileNode(pKey, carved);
  for (const auto& hit : carved) {
    auto it = starts.find(hit.u64RecordSector);
    if (it != starts.end()) {
      std::string ext = LowerExtension(hit.szFileName);
      if (strcasecmp(it->second.c_str(), ext.c_str()) == 0) continue;
      if (it->second == "thm" && ext == "jpg") continue;
    }
    out.push_back(hit);
  }
  std::sort(out.begin(), out.end(), SearchVectorCmp);
  return 0;
}

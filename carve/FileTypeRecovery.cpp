// The carving engine: records carved files, lists them flat, previews and
// saves them by reading their sectors straight from the scanned range.
#include "carve/FileTypeRecovery.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>

#include "engine/DiskMap.h"
#include "engine/TextUtil.h"
#include "store/ScanResultFileManager.h"

namespace {

const int kCopyBufSize = 65536;

// Writes all of len bytes; 0 or errno.
int WriteAll(int fd, const unsigned char* p, size_t len) {
  while (len > 0) {
    ssize_t w = write(fd, p, len);
    if (w < 0) {
      if (errno == EINTR) continue;
      return errno ? errno : EIO;
    }
    if (w == 0) return EIO;
    p += w;
    len -= static_cast<size_t>(w);
  }
  return 0;
}

// The lower-cased extension of a record's name ("" when it has none).
std::string LowerExtension(const _FILE_NODE_& node) {
  char name[sizeof(node.szFileName) + 1];
  std::memcpy(name, node.szFileName, sizeof(node.szFileName));
  name[sizeof(node.szFileName)] = 0;
  char ext[sizeof(name)] = {0};
  if (GetExtendName(name, ext) != 0) return std::string();
  GetCharLowerA(ext);
  return ext;
}

}  // namespace

CFileTypeRecovery::CFileTypeRecovery()
    : m_wcDrive(0),
      m_u64StartSector(0),
      m_u64SectorCount(0),
      m_nBytesPerSector(SECTOR_SIZE),
      m_pResultFileManager(nullptr),
      m_nPercent(0),
      m_pScanCallBack(nullptr),
      m_pRecoveryCallBack(nullptr),
      m_pParam(nullptr),
      m_pSearchCallBack(nullptr),
      m_pSearchParam(nullptr) {}

CFileTypeRecovery::~CFileTypeRecovery() {
  delete m_pResultFileManager;  // flushes the result set
  m_pResultFileManager = nullptr;
}

std::wstring CFileTypeRecovery::MakeStoreName(u64 u64FirstSector) {
  SYSTEMTIME t;
  std::memset(&t, 0, sizeof(t));
  rsb_getLocalTime(&t);
  char name[128];
  std::snprintf(name, sizeof(name), "File_Type_%lld_%d%d%d%d%2d", static_cast<long long>(u64FirstSector), t.wYear,
                t.wMonth, t.wDay, t.wHour, t.wMinute);
  return Utf8ToWide(name);
}

int CFileTypeRecovery::NewStore(const std::wstring& name) {
  delete m_pResultFileManager;
  m_pResultFileManager = new CScanResultFileManager();
  int status = m_pResultFileManager->Init(name.c_str());
  if (status != 0) {
    // An unusable store is no store: nothing gets recorded into it.
    delete m_pResultFileManager;
    m_pResultFileManager = nullptr;
  }
  return status;
}

int CFileTypeRecovery::Init(int nDiskNo, i64 u64StartSector, i64 u64SectorCount, wchar_t wcDrive) {
  delete m_pResultFileManager;
  m_pResultFileManager = nullptr;
  m_wcDrive = wcDrive;
  m_u64StartSector = static_cast<u64>(u64StartSector);
  m_u64SectorCount = static_cast<u64>(u64SectorCount);
  int status = m_DiskReader.Init(nDiskNo, m_u64StartSector + m_u64SectorCount);
  NewStore(MakeStoreName(m_u64StartSector));
  return status;
}

int CFileTypeRecovery::Init(wchar_t* pPath, wchar_t wcDrive) {
  delete m_pResultFileManager;
  m_pResultFileManager = nullptr;
  m_wcDrive = wcDrive;
  if (!pPath) return STATUS_INVALID_PARAMETER;
  std::string path = WideToUtf8(pPath);
  int fd = OpenPathReadOnly(path.c_str());
  if (fd < 0) return errno ? errno : STATUS_INVALID_PARAMETER;
  u64 bytes = rsb_getDeviceSize(fd);  // files and block devices alike
  close(fd);
  m_u64StartSector = 0;
  m_u64SectorCount = bytes / SECTOR_SIZE;
  int status = m_DiskReader.Init(path.c_str(), m_u64SectorCount);
  NewStore(MakeStoreName(0));
  return status;
}

int CFileTypeRecovery::InitLogFile(wchar_t* pStoreName, wchar_t wcDrive, int nDiskNo, int nBytesPerSector,
                                   u64 u64SectorLimit) {
  m_wcDrive = wcDrive;
  if (CARVE_CONTEXT::IsUsableSectorSize(nBytesPerSector)) m_nBytesPerSector = nBytesPerSector;
  int status = m_DiskReader.Init(nDiskNo, u64SectorLimit);
  delete m_pResultFileManager;
  m_pResultFileManager = nullptr;
  if (pStoreName) NewStore(pStoreName);
  return status;
}

int CFileTypeRecovery::InitLogFile(wchar_t* pStoreName, wchar_t wcDrive, wchar_t* pPath, int nBytesPerSector,
                                   u64 u64SectorLimit) {
  m_wcDrive = wcDrive;
  if (CARVE_CONTEXT::IsUsableSectorSize(nBytesPerSector)) m_nBytesPerSector = nBytesPerSector;
  int status = pPath ? m_DiskReader.Init(pPath, u64SectorLimit) : STATUS_INVALID_PARAMETER;
  delete m_pResultFileManager;
  m_pResultFileManager = nullptr;
  if (pStoreName) NewStore(pStoreName);
  return status;
}

int CFileTypeRecovery::InitCallBack(SCAN_PROGRESS_CALLBACK pScan, RECOVERY_CALLBACK pRecovery, void* param,
                                    int nPercent) {
  m_pScanCallBack = pScan;
  m_pRecoveryCallBack = pRecovery;
  m_pParam = param;
  m_nPercent = nPercent;
  CFileTypeJudge::InitCallBack(pScan, pRecovery, param, nPercent);
  return 0;
}

int CFileTypeRecovery::ScanDevice(wchar_t*) { return 0; }

int CFileTypeRecovery::ParseFileBuf(unsigned char* pBuf, int nLen, u64 u64Sector, u64 u64ScanSectorCount,
                                    u64 u64SectorTotalCount, int nRemaidSecond, CDiskReader* pReader,
                                    int nBytesPerSector, u64& u64SkipSectors, u64& u64FileCount) {
  if (CARVE_CONTEXT::IsUsableSectorSize(nBytesPerSector)) m_nBytesPerSector = nBytesPerSector;
  char name[256] = {0};
  EXTEND_NAME_TYPE type = TYPE_NONE;
  u64 size = 0;
  int status = CFileTypeJudge::ParseFileBuf(pBuf, nLen, u64Sector, u64ScanSectorCount, u64SectorTotalCount,
                                            nRemaidSecond, pReader, nBytesPerSector, u64FileCount, name,
                                            sizeof(name), type, size);
  if (status != 0) return status;
  if (m_pResultFileManager) {
    _FILE_NODE_* node = m_pResultFileManager->CreateFileNode(sizeof(_FILE_NODE_));
    if (node) {
      std::memset(node, 0, sizeof(_FILE_NODE_));
      node->wcDrive = m_wcDrive;
      node->nEngineType = ENGINE_FILE_TYPE;
      node->bHealth = 1;
      node->nFileIndex = m_pResultFileManager->GetFileIndex();
      node->nClusterBytes = 0xFFFFFFFFu;
      node->u64FileSize = size;
      node->u64RecordSector = u64Sector;
      CopyNameToField(node->szFileName, name);
      m_pResultFileManager->AddChildren(0, 0, node->nFileIndex, 0, nullptr);
    }
  }
  u64SkipSectors = CFileTypeJudge::GetSkipSectors(type, size, m_nBytesPerSector);
  ++u64FileCount;
  return 0;
}

int CFileTypeRecovery::GetChildrenFileNode(_FILE_NODE_* pParent, unsigned int nLevel, FILE_NODE_VECTOR& out) {
  if (!m_pResultFileManager) return 0;
  m_pResultFileManager->FlushBufToFile();
  if (pParent || nLevel != 0) return 0;  // carved files have no folders
  return m_pResultFileManager->GetChildrenFileNode(0, out);
}

int CFileTypeRecovery::GetChildrenFileCount(_FILE_NODE_* pParent, unsigned int nLevel, unsigned int& nCount) {
  if (!m_pResultFileManager) return 0;
  m_pResultFileManager->FlushBufToFile();
  if (pParent || nLevel != 0) return 0;
  u32 count = 0;
  int status = m_pResultFileManager->GetChildrenFileCount(0, count);
  nCount = count;
  return status;
}

int CFileTypeRecovery::GetLostFileCount() {
  return m_pResultFileManager ? static_cast<int>(m_pResultFileManager->GetFileIndex()) : 0;
}

int CFileTypeRecovery::GetFileNodeParentDirPath(_FILE_NODE_*, wchar_t*, int) { return 0; }
int CFileTypeRecovery::GetUnUsedSectorCount(u64&, u64&) { return 0; }
int CFileTypeRecovery::BuildBitMapInfo() { return 0; }

int CFileTypeRecovery::InitSearchCallBack(SEARCH_CALLBACK pSearch, void* param) {
  m_pSearchCallBack = pSearch;
  m_pSearchParam = param;
  if (!m_pResultFileManager) return STATUS_INVALID_PARAMETER;
  return m_pResultFileManager->InitSearchCallBack(pSearch, param);
}

int CFileTypeRecovery::SearchFileNode(wchar_t* pKey, SEARCH_FILE_INFO_VECTOR& out) {
  if (!m_pResultFileManager || !pKey) return 0;
  return m_pResultFileManager->SearchFileNodeInfo(pKey, out);
}

int CFileTypeRecovery::ReadFileSectors(u64 u64Sector, unsigned int nSectors, unsigned char* pBuf,
                                       unsigned int& nGot) {
  nGot = 0;
  if (u64Sector > static_cast<u64>(INT64_MAX)) return STATUS_INVALID_PARAMETER;
  int status = m_DiskReader.ReadData(pBuf, static_cast<int>(nSectors), static_cast<i64>(u64Sector),
                                     m_nBytesPerSector, &nGot);
  if (nGot > nSectors) nGot = nSectors;
  if (status == 0 && nGot == 0) return STATUS_SHORT_READ;
  return status;
}

int CFileTypeRecovery::SaveFileData(_FILE_NODE_* pNode, wchar_t* pTargetPath, int) {
  if (!pTargetPath) return STATUS_INVALID_PARAMETER;
  wchar_t target[512];
  std::wcsncpy(target, pTargetPath, 511);
  target[511] = 0;
  return SaveDataToTargetFile(pNode, WideToUtf8(target), target);
}

int CFileTypeRecovery::SaveDataToTargetFile(_FILE_NODE_* pNode, const std::string& target, wchar_t* pWideTarget) {
  unsigned char* buf = static_cast<unsigned char*>(std::malloc(kCopyBufSize));
  int status = 0;
  int fd = -1;
  if (!buf) {
    status = STATUS_OUT_OF_MEMORY;
  } else if (!pNode) {
    status = STATUS_INVALID_PARAMETER;
  } else {
    // Truncate: a longer file of the same name must not leave its tail behind.
    // Never through a link planted under the file's name: we run as root.
    fd = open(target.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
      status = errno;
      std::fprintf(stderr, "open Recovery File  erro = %d\n", status);
    } else {
      const u64 fileSize = pNode->u64FileSize;
      const u64 ss = static_cast<u64>(m_nBytesPerSector);
      u64 remaining = fileSize;
      u64 toRead = (fileSize + ss - 1) / ss * ss;
      u64 sectorsDone = 0;
      while (toRead != 0) {
        u64 chunk = toRead < static_cast<u64>(kCopyBufSize) ? toRead : static_cast<u64>(kCopyBufSize);
        unsigned int want = static_cast<unsigned int>(chunk / ss), got = 0;
        status = ReadFileSectors(pNode->u64RecordSector + sectorsDone, want, buf, got);
        if (status != 0) break;
        u64 bytes = static_cast<u64>(got) * ss;
        u64 out = bytes < remaining ? bytes : remaining;
        status = WriteAll(fd, buf, static_cast<size_t>(out));
        if (status != 0) break;
        remaining -= out;
        toRead -= bytes < toRead ? bytes : toRead;
        sectorsDone += got;
        if (m_pRecoveryCallBack) {
          int progress = static_cast<int>((fileSize - remaining) * 100 / fileSize);
          int answer = m_pRecoveryCallBack(m_pParam, progress, 100, 0, pWideTarget);
          if (answer != 0) {
            status = answer;
            break;
          }
        }
      }
    }
  }
  if (status > 0 && m_pRecoveryCallBack) m_pRecoveryCallBack(m_pParam, 100, 100, status, pWideTarget);
  if (fd >= 0) close(fd);
  std::free(buf);
  return status;
}

int CFileTypeRecovery::PreView(_FILE_NODE_* pNode, wchar_t* pTempPath, unsigned char* pBuf, int& nLen,
                               PREVIEW_CALLBACK pCallback, void* param) {
  unsigned char* buf = static_cast<unsigned char*>(std::malloc(kCopyBufSize));
  const int room = nLen > 0 && pBuf ? nLen : 0;
  int copied = 0;
  int status = 0;
  int fd = -1;
  std::string tempPath;
  if (!buf) {
    status = STATUS_OUT_OF_MEMORY;
  } else if (!pNode) {
    status = STATUS_INVALID_PARAMETER;
  } else {
    u64 total = 0;
    std::string ext = LowerExtension(*pNode);
    bool picture = !ext.empty() && std::strstr(g_szPhotoExtList, ext.c_str()) != nullptr;
    if (picture) {
      std::string dir = GetScanLogDir();
      MakeDirectories(dir);
      tempPath = dir + "tmp." + MakeSafePathComponent(ext);
      if (tempPath.size() >= 256) picture = false;
    }
    if (picture) {
      if (pTempPath) {
        std::wstring wide = Utf8ToWide(tempPath);
        std::wcsncpy(pTempPath, wide.c_str(), 255);
        pTempPath[255] = 0;
      }
      // Root writes into a shared folder: remove whatever sits at the name
      // (a planted symbolic link included) and create a fresh file there.
      unlink(tempPath.c_str());
      fd = open(tempPath.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
      if (fd < 0) status = errno ? errno : EIO;
      total = pNode->u64FileSize;
    } else {
      tempPath.clear();
      total = pNode->u64FileSize < static_cast<u64>(room) ? pNode->u64FileSize : static_cast<u64>(room);
    }

    if (status == 0) {
      const u64 ss = static_cast<u64>(m_nBytesPerSector);
      u64 remaining = total;
      u64 toRead = (total + ss - 1) / ss * ss;
      u64 sectorsDone = 0;
      while (toRead != 0) {
        u64 chunk = toRead < static_cast<u64>(kCopyBufSize) ? toRead : static_cast<u64>(kCopyBufSize);
        unsigned int want = static_cast<unsigned int>(chunk / ss), got = 0;
        status = ReadFileSectors(pNode->u64RecordSector + sectorsDone, want, buf, got);
        if (status != 0) break;
        u64 bytes = static_cast<u64>(got) * ss;
        u64 out = bytes < remaining ? bytes : remaining;
        int progress = 0;
        if (fd >= 0) {
          status = WriteAll(fd, buf, static_cast<size_t>(out));
          if (status != 0) break;
          remaining -= out;
          progress = static_cast<int>((total - remaining) * 100 / total);
        } else {
          std::memcpy(pBuf + copied, buf, static_cast<size_t>(out));
          copied += static_cast<int>(out);
          remaining -= out;
          progress = static_cast<int>(static_cast<u64>(copied) * 100 / total);
        }
        toRead -= bytes < toRead ? bytes : toRead;
        sectorsDone += got;
        if (remaining == 0) toRead = 0;
        if (pCallback) {
          int answer = pCallback(param, progress, status);
          if (answer != 0) {
            status = answer;
            break;
          }
        }
      }
    }
  }
  if (pCallback) pCallback(param, 100, status);
  if (fd >= 0) close(fd);
  if (status != 0 && !tempPath.empty()) unlink(tempPath.c_str());
  nLen = copied;
  std::free(buf);
  return status;
}

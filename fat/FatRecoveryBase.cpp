#include "fat/FatRecoveryBase.h"


#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <set>
#include <vector>

#include "store/StoreBrowse.h"
#include "engine/DiskMap.h"
#include "engine/TextUtil.h"
#include "store/LogFileManager.h"
#include "disk/FatEntry.h"

const char* const g_szFatPictureFilter =
    "*.bmp|*.gif|*.jpg|*.jpeg|*.png|*.psd|*.tif|*.tiff|*.pcx|*.scr|*.ico|*.nef|*.nrw|*.crw|*.cr2|*.sr2|"
    "*.arw|*.srf|*.divu|*.pgm|*.k25|*.kdc|*.dcr|*.raf|*.iff|*.pbm|*.mef|*.jp2|*.mos|*.x3f|*.orf|*.erf|"
    "*.indd|*.pef|*.psp|*.mrw|*.dng|*.raw|*.pct|*.tga|*.thm|";

bool IsFatPictureExtension(const char* pExt) {
  if (!pExt || !*pExt) return false;
  size_t n = strlen(pExt);
  if (n > 8) return false;
  // The extension comes from a name on a damaged disk and becomes part of a
  // path: only letters and digits, matched against whole filter entries.
  std::string needle = "*.";
  for (size_t i = 0; i < n; ++i) {
    unsigned char c = static_cast<unsigned char>(pExt[i]);
    if (c >= 'A' && c <= 'Z') c = static_cast<unsigned char>(c + 32);
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))) return false;
    needle.push_back(static_cast<char>(c));
  }
  needle.push_back('|');
  return strstr(g_szFatPictureFilter, needle.c_str()) != nullptr;
}

int CreatePreviewTempFile(const char* pExt, std::string& path) {
  std::string dir = GetScanLogDir();
  int err = MakeDirectories(dir);
  if (err != 0) {
    errno = err;
    return -1;
  }
  std::string ext(pExt ? pExt : "");
  for (char& c : ext)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  path = dir + "tmp." + ext;
  // A planted link must not redirect the write: remove whatever is there and
  // create the file anew, refusing to follow a link that appears meanwhile.
  unlink(path.c_str());
  return open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
}

CFatRecoveryBase::CFatRecoveryBase()
    : m_wcDrive(0),
      m_nPercent(100),
      m_pScanCallBack(nullptr),
      m_pRecoveryCallBack(nullptr),
      m_pSearchCallBack(nullptr),
      m_pSearchParam(nullptr),
      m_pCallBackParam(nullptr) {}

CFatRecoveryBase::~CFatRecoveryBase() = default;

void CFatRecoveryBase::ResetStore() { m_pScanResultFileManager.reset(); }

int CFatRecoveryBase::NewStore(const wchar_t* pName, bool bFresh) {
  if (bFresh && pName) {
    // Result-set names carry the minute only: a second scan of the same
    // volume within that minute must not append to the first one's files.
    std::string base = CLogFileManager::GetInstance()->GetLogFileDirPath() + WideToUtf8(pName);
    unlink(base.c_str());
    unlink((base + "_Relation").c_str());
    unlink((base + "_DirInfo").c_str());
  }
  m_pScanResultFileManager.reset(new CScanResultFileManager());
  int status = m_pScanResultFileManager->Init(pName);
  if (status == 0 && m_pSearchCallBack)
    m_pScanResultFileManager->InitSearchCallBack(m_pSearchCallBack, m_pSearchParam);
  return status;
}

int CFatRecoveryBase::InitCallBack(SCAN_PROGRESS_CALLBACK pScan, RECOVERY_CALLBACK pRecovery, void* param,
                                   int nPercent) {
  m_pScanCallBack = pScan;
  m_pRecoveryCallBack = pRecovery;
  m_pCallBackParam = param;
  m_nPercent = nPercent;
  return 0;
}

int CFatRecoveryBase::OpenWholeByPath(wchar_t* pPath, wchar_t wcDrive, std::string& path, int& hDevice,
                                      u64& u64StartSector, u64& u64SectorCount) {
  if (!pPath) return STATUS_INVALID_PARAMETER;
  path = WideToUtf8(pPath);
  int fd = OpenPathReadOnly(path.c_str());
  if (fd < 0) return errno ? errno : ENOENT;
  hDevice = fd;
  u64StartSector = 0;
  u64SectorCount = rsb_getDeviceSize(fd) / SECTOR_SIZE;
  m_wcDrive = wcDrive;
  return 0;
}

int CFatRecoveryBase::GetChildrenFileNode(_FILE_NODE_* pParent, unsigned int nLevel, FILE_NODE_VECTOR& out) {
  return storebrowse::Children(m_pScanResultFileManager.get(), pParent, nLevel, RootDirNumber(), out);
}

int CFatRecoveryBase::GetChildrenFileCount(_FILE_NODE_* pParent, unsigned int nLevel, unsigned int& nCount) {
  return storebrowse::Count(m_pScanResultFileManager.get(), pParent, nLevel, RootDirNumber(), nCount);
}

int CFatRecoveryBase::GetLostFileCount() {
  return storebrowse::LostCount(m_pScanResultFileManager.get());
}

int CFatRecoveryBase::GetFileNodeParentDirPath(_FILE_NODE_* pNode, wchar_t* pPath, int nLen) {
  return storebrowse::ParentPath(m_pScanResultFileManager.get(), pNode, pPath, nLen);
}

int CFatRecoveryBase::InitSearchCallBack(SEARCH_CALLBACK pSearch, void* param) {
  m_pSearchCallBack = pSearch;
  m_pSearchParam = param;
  return storebrowse::InitSearch(m_pScanResultFileManager.get(), pSearch, param);
}

int CFatRecoveryBase::SearchFileNode(wchar_t* pKey, SEARCH_FILE_INFO_VECTOR& out) {
  return storebrowse::Search(m_pScanResultFileManager.get(), pKey, out);
}

int CFatRecoveryBase::CopyFileData(const _FILE_NODE_& node, u64 u64Bytes,
                                   const std::function<int(const u8*, u32)>& sink) {
  u32 clusterBytes = node.nClusterBytes;
  if (clusterBytes >= FAT_MAX_CLUSTER_BYTES) return FAT_STATUS_CLUSTER_TOO_BIG;
  if (clusterBytes == 0 || clusterBytes % SECTOR_SIZE != 0) return STATUS_INVALID_PARAMETER;
  if (u64Bytes == 0) return 0;
  std::vector<u8> buf;
  try {
    buf.resize(clusterBytes);
  } catch (...) {
    return STATUS_OUT_OF_MEMORY;
  }
  u64 left = u64Bytes;
  u32 cluster = node.nClusterNO;
  // Every step delivers at least one byte, so the data size bounds the walk.
  for (u32 k = 0; left > 0; ++k) {
    u64 sector = 0;
    if (!DataSectorOfCluster(node, cluster, k, sector)) return STATUS_INVALID_PARAMETER;
    u32 want = left < clusterBytes ? static_cast<u32>(left) : clusterBytes;
    int sectors = static_cast<int>((want + SECTOR_SIZE - 1) / SECTOR_SIZE);
    unsigned int got = 0;
    int status = m_DiskReader.ReadData(buf.data(), sectors, static_cast<i64>(sector), SECTOR_SIZE, &got);
    if (status == 0) got = static_cast<unsigned int>(sectors);
    u64 arrived = static_cast<u64>(got) * SECTOR_SIZE;
    if (arrived == 0) return status ? status : STATUS_SHORT_READ;
    u32 deliver = arrived < want ? static_cast<u32>(arrived) : want;
    int r = sink(buf.data(), deliver);
    if (r != 0) return r;
    left -= deliver;
    if (status != 0) return status;
    if (left == 0) break;
    u32 next = 0;
    status = NextDataCluster(node, cluster, k, next);
    if (status != 0) return status;
    if (next == 0) break;  // the clusters end before the size does
    cluster = next;
  }
  return 0;
}

int CFatRecoveryBase::PreView(_FILE_NODE_* pNode, wchar_t* pTempPath, unsigned char* pBuf, int& nLen,
                              PREVIEW_CALLBACK pCallback, void* param) {
  if (!pNode) return STATUS_INVALID_PARAMETER;
  _FILE_NODE_ node = *pNode;
  node.szFileName[sizeof(node.szFileName) - 1] = 0;
  char ext[256] = {0};
  bool picture = GetExtendName(node.szFileName, ext) == 0 && IsFatPictureExtension(ext);
  int fd = -1;
  std::string tempPath;
  if (picture) {
    std::string dir = GetScanLogDir();
    if (dir.size() + 4 + strlen(ext) > 255 || !pTempPath) {
      picture = false;
    } else {
      fd = CreatePreviewTempFile(ext, tempPath);
      if (fd < 0) {
        int err = errno ? errno : EIO;
        if (pCallback) pCallback(param, 100, err);
        return err;
      }
      std::wstring wide = Utf8ToWide(tempPath);
      size_t n = wide.size() < 255 ? wide.size() : 255;
      wmemcpy(pTempPath, wide.c_str(), n);
      pTempPath[n] = 0;
    }
  }
  int capacity = (!picture && pBuf && nLen > 0) ? nLen : 0;
  u64 total = node.u64FileSize;
  if (!picture && total > static_cast<u64>(capacity)) total = static_cast<u64>(capacity);
  int copied = 0;
  u64 delivered = 0;
  int status = 0;
  if (total == 0) {
    if (pCallback) pCallback(param, 100, 0);
  } else if (node.nClusterBytes >= FAT_MAX_CLUSTER_BYTES) {
    status = FAT_STATUS_CLUSTER_TOO_BIG;
  } else {
    int writeError = 0;
    status = CopyFileData(node, total, [&](const u8* p, u32 n) -> int {
      if (picture) {
        u32 done = 0;
        while (done < n) {
          ssize_t w = write(fd, p + done, n - done);
          if (w < 0 && errno == EINTR) continue;
          if (w <= 0) {
            writeError = errno ? errno : EIO;
            return writeError;
          }
          done += static_cast<u32>(w);
        }
        delivered += n;
        if (pCallback && pCallback(param, static_cast<int>(delivered * 100 / total), 0) != 0) return -1;
      } else {
        memcpy(pBuf + copied, p, n);
        copied += static_cast<int>(n);
        delivered += n;
        if (pCallback && pCallback(param, static_cast<int>(delivered * 100 / total), 0) != 0) return -1;
      }
      return 0;
    });
    if (status == -1) status = 0;  // the callback stopped the preview: keep what was copied
  }
  if (total != 0 && pCallback) pCallback(param, 100, status);
  if (fd >= 0) {
    close(fd);
    if (status != 0) unlink(tempPath.c_str());
  }
  nLen = picture ? 0 : copied;
  return status;
}

u32 CFatRecoveryBase::FindDirLevel(u32 nClusterNO, u32 nGuess) const {
  if (!m_pScanResultFileManager) return nGuess;
  const DIR_RELATION_MAP& map = m_pScanResultFileManager->GetRelationMap();
  if (map.count(MakeDirKey(nGuess, nClusterNO))) return nGuess;
  // The level worked out from the target path only holds when the folder is
  // saved into a folder as deep as it was found; look the key up instead.
  for (const auto& kv : map)
    if (static_cast<u32>(kv.first) == nClusterNO) return static_cast<u32>(kv.first >> 32);
  return nGuess;
}

static std::wstring JoinPath(const std::wstring& dir, const char* pName) {
  std::wstring out = dir;
  if (out.empty() || out.back() != L'/') out.push_back(L'/');
  out += Utf8ToWide(MakeSafePathComponent(pName ? pName : ""));
  return out;
}

static int MakeOneDirectory(const std::wstring& path) {
  std::string p = WideToUtf8(path);
  if (mkdir(p.c_str(), 0755) == 0) return 0;
  if (errno == EEXIST) {
    struct stat st;
    if (stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return 0;
    return EEXIST;
  }
  return errno;
}

int CFatRecoveryBase::SaveFileData(_FILE_NODE_* pNode, wchar_t* pTargetPath, int nRootDirIndex) {
  if (!pNode || !pTargetPath) return STATUS_INVALID_PARAMETER;
  std::wstring target(pTargetPath);
  if (!pNode->bIsDir) return SaveDataToTargetFile(pNode, target);

  int status = MakeOneDirectory(target);
  if (status != 0) return status;
  m_dequeDirRecovery.clear();
  __FILE_DATA_RECOVERY__ first;
  memset(&first, 0, sizeof(first));
  first.node = *pNode;
  int dirCount = 0;
  GetPathDirIndex(target.c_str(), dirCount);
  int level = dirCount - nRootDirIndex;
  first.nLevel = FindDirLevel(pNode->nClusterNO, level < 0 ? 0 : static_cast<u32>(level));
  m_dequeDirRecovery.push_back(first);
  m_strCurDirPath = target;
  bool isFirst = true;
  int result = 0;
  // Each folder is saved once even when damaged metadata links folders in a
  // circle.
  std::set<u32> savedDirs;
  while (!m_dequeDirRecovery.empty()) {
    __FILE_DATA_RECOVERY__ front = m_dequeDirRecovery.front();
    m_dequeDirRecovery.pop_front();
    front.node.szFileName[sizeof(front.node.szFileName) - 1] = 0;
    if (!isFirst) m_strCurDirPath = JoinPath(std::wstring(front.szTargetPath), front.node.szFileName);
    isFirst = false;
    if (!savedDirs.insert(front.node.nClusterNO).second) continue;
    FILE_NODE_VECTOR children;
    if (GetChildrenFileNode(&front.node, front.nLevel, children) != 0) continue;
    for (auto& child : children) {
      child.szFileName[sizeof(child.szFileName) - 1] = 0;
      std::wstring childPath = JoinPath(m_strCurDirPath, child.szFileName);
      if (child.bIsDir) {
        int r = MakeOneDirectory(childPath);
        if (r == 0) {
          __FILE_DATA_RECOVERY__ item;
          memset(&item, 0, sizeof(item));
          item.node = child;
          size_t n = m_strCurDirPath.size() < 511 ? m_strCurDirPath.size() : 511;
          wmemcpy(item.szTargetPath, m_strCurDirPath.c_str(), n);
          item.nLevel = front.nLevel + 1;
          m_dequeDirRecovery.push_back(item);
        }
        result = r;
        continue;
      }
      result = SaveDataToTargetFile(&child, childPath);
      if (result == RECOVERY_CANCELLED) {
        m_dequeDirRecovery.clear();
        return result;
      }
    }
  }
  return result;
}

int CFatRecoveryBase::SaveDataToTargetFile(_FILE_NODE_* pNode, const std::wstring& path) {
  if (!pNode) return STATUS_INVALID_PARAMETER;
  if (pNode->bIsDir) {
    int r = MakeOneDirectory(path);
    if (r != 0) return r;
    __FILE_DATA_RECOVERY__ item;
    memset(&item, 0, sizeof(item));
    item.node = *pNode;
    size_t n = m_strCurDirPath.size() < 511 ? m_strCurDirPath.size() : 511;
    wmemcpy(item.szTargetPath, m_strCurDirPath.c_str(), n);
    m_dequeDirRecovery.push_back(item);
    return 0;
  }
  std::wstring widePath = path;
  wchar_t* pWide = &widePath[0];
  std::string narrow = WideToUtf8(path);
  // Never through a link planted under the file's name: we run as root.
  int fd = open(narrow.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) {
    int err = errno ? errno : EIO;
    if (m_pRecoveryCallBack) m_pRecoveryCallBack(m_pCallBackParam, 100, 100, err, pWide);
    return err;
  }
  u64 size = pNode->u64FileSize;
  int status = 0;
  int lastProgress = -1;
  if (pNode->nClusterBytes >= FAT_MAX_CLUSTER_BYTES) {
    status = FAT_STATUS_CLUSTER_TOO_BIG;
  } else if (size == 0) {
    if (m_pRecoveryCallBack) m_pRecoveryCallBack(m_pCallBackParam, 100, 100, 0, pWide);
    lastProgress = 100;
  } else {
    u64 written = 0;
    status = CopyFileData(*pNode, size, [&](const u8* p, u32 n) -> int {
      u32 done = 0;
      while (done < n) {
        ssize_t w = write(fd, p + done, n - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return errno ? errno : EIO;
        done += static_cast<u32>(w);
      }
      written += n;
      lastProgress = static_cast<int>(written * 100 / size);
      if (m_pRecoveryCallBack) return m_pRecoveryCallBack(m_pCallBackParam, lastProgress, 100, 0, pWide);
      return 0;
    });
  }
  if (status > 0) {
    if (m_pRecoveryCallBack) m_pRecoveryCallBack(m_pCallBackParam, 100, 100, status, pWide);
  } else if (status == 0 && lastProgress != 100 && m_pRecoveryCallBack) {
    // The clusters ran out before the size: what was there is saved, and the
    // file's entry in the result list still has to be closed.
    status = m_pRecoveryCallBack(m_pCallBackParam, 100, 100, 0, pWide);
  }
  if (close(fd) != 0 && status == 0) status = errno ? errno : EIO;
  return status;
}

void FatEntryTimesToNode(const FAT32_Entry& e, _FILE_NODE_& node) {
  _FILETIME t;
  Fat32GetFileCreateTime(e, t);
  node.ftCreateTime = t;
  Fat32GetFileLastAccessTime(e, t);
  node.ftLastAccessTime = t;
  Fat32GetFileLastChangeTime(e, t);
  node.ftLastWriteTime = t;
}

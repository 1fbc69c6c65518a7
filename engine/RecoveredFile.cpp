#include "engine/RecoveredFile.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <cwchar>
#include <deque>
#include <memory>
#include <set>
#include <tuple>

#include "engine/Categories.h"
#include "engine/DiskMap.h"
#include "engine/TextUtil.h"

namespace {

constexpr size_t kCopyBytes = 65536;
// Bounds for damaged metadata: a folder tree deeper or larger than any real
// volume holds is a loop the visited set did not catch.
constexpr u32 kMaxTreeDepth = 4096;
constexpr u64 kMaxTreeFolders = 10000000;

std::string NodeName(const _FILE_NODE_& node) {
  return std::string(node.szFileName, strnlen(node.szFileName, sizeof(node.szFileName)));
}

}  // namespace

void SAVE_SUMMARY::Add(int nStatus) {
  if (nStatus == 0)
    ++nSaved;
  else if (nStatus == STATUS_PARTIAL_SAVE)
    ++nPartial;
  else {
    ++nFailed;
    if (nFirstFailure == 0) nFirstFailure = nStatus;
  }
}

// ---------------------------------------------------------------------------
// One file

CRecoveredFile::CRecoveredFile(u64 u64Expected, RECOVERY_CALLBACK pCallback, void* param, const std::wstring& label)
    : m_nFd(-1),
      m_nDirFd(-1),
      m_u64Expected(u64Expected),
      m_u64Written(0),
      m_nWriteError(0),
      m_nLastPercent(-1),
      m_pCallback(pCallback),
      m_pParam(param),
      m_label(label) {}

CRecoveredFile::~CRecoveredFile() {
  // Never finished: the save did not complete.
  if (m_nFd >= 0) Remove();
  if (m_nDirFd >= 0) close(m_nDirFd);
}

int CRecoveredFile::Create(int dirFd, const std::string& name) {
  if (m_nFd >= 0) return STATUS_INVALID_PARAMETER;
  int status = 0;
  m_nFd = CreateNewFile(dirFd, name, &m_strName, &status);
  if (m_nFd < 0) return status ? status : EIO;
  m_nDirFd = dup(dirFd);
  return 0;
}

int CRecoveredFile::WriteRaw(const unsigned char* p, size_t n) {
  if (m_nWriteError) return m_nWriteError;
  while (n > 0) {
    ssize_t w = write(m_nFd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      m_nWriteError = (w < 0 && errno) ? errno : ENOSPC;
      return m_nWriteError;
    }
    p += w;
    n -= static_cast<size_t>(w);
    m_u64Written += static_cast<u64>(w);
  }
  return 0;
}

int CRecoveredFile::Progress() {
  if (!m_pCallback) return 0;
  int percent = m_u64Expected ? static_cast<int>(m_u64Written * 100 / m_u64Expected) : 100;
  // 100 is said once, by Finish, with the outcome: callers count files by it.
  if (percent > 99) percent = 99;
  if (percent == m_nLastPercent) return 0;
  m_nLastPercent = percent;
  return m_pCallback(m_pParam, percent, 100, 0, const_cast<wchar_t*>(m_label.c_str()));
}

int CRecoveredFile::Write(const unsigned char* p, size_t n) {
  if (m_nFd < 0) return STATUS_INVALID_PARAMETER;
  // Never more than the result claims: an engine's last cluster or sector
  // runs past the file's end.
  u64 room = Wanted();
  if (n > room) n = static_cast<size_t>(room);
  int st = WriteRaw(p, n);
  return st ? st : Progress();
}

int CRecoveredFile::WriteZeros(u64 n) {
  if (m_nFd < 0) return STATUS_INVALID_PARAMETER;
  if (n > Wanted()) n = Wanted();
  static const unsigned char kZeros[kCopyBytes] = {};
  while (n > 0) {
    size_t step = n < kCopyBytes ? static_cast<size_t>(n) : kCopyBytes;
    int st = WriteRaw(kZeros, step);
    if (st) return st;
    n -= step;
  }
  return Progress();
}

int CRecoveredFile::WriteUnreadable(u64 n) {
  if (n > Wanted()) n = Wanted();
  if (n == 0) return 0;
  u64 at = m_u64Written;
  if (!m_unreadable.empty() && m_unreadable.back().u64Offset + m_unreadable.back().u64Length == at)
    m_unreadable.back().u64Length += n;
  else
    m_unreadable.push_back({at, n});
  return WriteZeros(n);
}

u64 CRecoveredFile::UnreadableBytes() const {
  u64 n = 0;
  for (const BYTE_RANGE& r : m_unreadable) n += r.u64Length;
  return n;
}

void CRecoveredFile::Remove() {
  if (m_nFd >= 0) {
    close(m_nFd);
    m_nFd = -1;
  }
  if (m_nDirFd >= 0 && !m_strName.empty()) unlinkat(m_nDirFd, m_strName.c_str(), 0);
}

int CRecoveredFile::Finish(int nCopyStatus, SAVE_RESULT& out) {
  out.strName = m_strName;
  out.u64Expected = m_u64Expected;
  int status = 0;
  if (m_nFd < 0) {
    status = nCopyStatus ? nCopyStatus : STATUS_INVALID_PARAMETER;
  } else {
    if (m_tModified > 0 && m_nWriteError == 0) {
      // On the descriptor this writer created, never on whatever the name
      // points to now. A destination that keeps no times still keeps the file.
      const struct timespec times[2] = {{m_tModified, 0}, {m_tModified, 0}};
      (void)futimens(m_nFd, times);
    }
    if (close(m_nFd) != 0 && m_nWriteError == 0) m_nWriteError = errno ? errno : EIO;
    m_nFd = -1;
    if (nCopyStatus == RECOVERY_CANCELLED || (nCopyStatus < 0 && nCopyStatus != STATUS_SINK_FULL &&
                                              nCopyStatus != STATUS_PARTIAL_SAVE && nCopyStatus != 0)) {
      status = nCopyStatus;
    } else if (m_nWriteError) {
      status = m_nWriteError;
    } else if (m_u64Expected > 0 && m_u64Written <= UnreadableBytes()) {
      // Nothing of the file could be read: zeros under its name help nobody.
      status = nCopyStatus > 0 ? nCopyStatus : STATUS_SHORT_READ;
    } else if (m_u64Written < m_u64Expected || !m_unreadable.empty() || nCopyStatus > 0) {
      status = STATUS_PARTIAL_SAVE;
    }
    // A failed save leaves nothing behind under a real name.
    if (status != 0 && status != STATUS_PARTIAL_SAVE) Remove();
  }
  out.nStatus = status;
  out.u64Written = m_u64Written;
  out.unreadable = m_unreadable;
  if (m_pCallback) m_pCallback(m_pParam, 100, 100, status, const_cast<wchar_t*>(m_label.c_str()));
  return status;
}

// ---------------------------------------------------------------------------
// Memory

int CMemorySink::Write(const unsigned char* p, size_t n) {
  size_t room = m_nRoom - m_nUsed;
  if (n > room) n = room;
  if (n) std::memcpy(m_pBuf + m_nUsed, p, n);
  m_nUsed += n;
  return m_nUsed == m_nRoom ? STATUS_SINK_FULL : 0;
}

int CMemorySink::WriteZeros(u64 n) {
  size_t room = m_nRoom - m_nUsed;
  size_t use = n < room ? static_cast<size_t>(n) : room;
  if (use) std::memset(m_pBuf + m_nUsed, 0, use);
  m_nUsed += use;
  return m_nUsed == m_nRoom ? STATUS_SINK_FULL : 0;
}

// ---------------------------------------------------------------------------
// Reading

int CopySectorsToSink(CDiskReader& reader, u64 u64FirstSector, u64 u64Bytes, int nSectorSize, IRecoverySink& sink) {
  if (nSectorSize <= 0 || nSectorSize > static_cast<int>(kCopyBytes) || kCopyBytes % nSectorSize != 0)
    return STATUS_INVALID_PARAMETER;
  std::unique_ptr<unsigned char[]> buf(new (std::nothrow) unsigned char[kCopyBytes]);
  if (!buf) return STATUS_OUT_OF_MEMORY;
  const u64 ss = static_cast<u64>(nSectorSize);
  u64 sector = u64FirstSector;
  u64 left = u64Bytes;
  while (left > 0) {
    u64 wanted = sink.Wanted();
    if (wanted == 0) return 0;
    u64 take = left < wanted ? left : wanted;
    u64 bytes = take < kCopyBytes ? take : kCopyBytes;
    unsigned int count = static_cast<unsigned int>((bytes + ss - 1) / ss);
    unsigned int got = 0;
    if (sector > static_cast<u64>(INT64_MAX)) return STATUS_INVALID_PARAMETER;
    int st = reader.ReadData(buf.get(), static_cast<int>(count), static_cast<i64>(sector), nSectorSize, &got);
    if (st == 0) got = count;
    if (got > count) got = count;
    if (got > 0) {
      u64 use = static_cast<u64>(got) * ss;
      if (use > bytes) use = bytes;
      int r = sink.Write(buf.get(), static_cast<size_t>(use));
      if (r) return r;
      left -= use;
      sector += got;
      if (st == 0) continue;
    }
    if (st == STATUS_INVALID_PARAMETER) return STATUS_SHORT_READ;  // past the end of the range
    // The sector at `sector` failed: try it alone; when it fails again it is
    // a hole in the file, and the next sector is tried.
    unsigned int one = 0;
    int r1 = reader.ReadData(buf.get(), 1, static_cast<i64>(sector), nSectorSize, &one);
    u64 use = left < ss ? left : ss;
    if (r1 == 0 && one == 1) {
      int r = sink.Write(buf.get(), static_cast<size_t>(use));
      if (r) return r;
    } else if (r1 == STATUS_INVALID_PARAMETER) {
      return STATUS_SHORT_READ;
    } else {
      int r = sink.WriteUnreadable(use);
      if (r) return r;
    }
    left -= use;
    ++sector;
  }
  return 0;
}

// ---------------------------------------------------------------------------
// Saving

int SaveNodeInto(IFileRecoveryParse& engine, _FILE_NODE_& node, int dirFd, const std::string& name,
                 RECOVERY_CALLBACK pCallback, void* param, SAVE_RESULT& out, i64 tModified) {
  out = SAVE_RESULT();
  out.u64Expected = node.u64FileSize;
  std::wstring label = Utf8ToWide(name);
  CRecoveredFile file(node.u64FileSize, pCallback, param, label);
  int status = file.Create(dirFd, MakeSafePathComponent(name));
  if (status != 0) {
    out.nStatus = status;
    if (pCallback) pCallback(param, 100, 100, status, const_cast<wchar_t*>(label.c_str()));
    return status;
  }
  file.SetModifiedTime(tModified);
  int copy = node.u64FileSize == 0 ? 0 : engine.CopyFileData(&node, file);
  return file.Finish(copy, out);
}

int SaveFolderTree(IFileRecoveryParse& engine, const _FILE_NODE_& folder, u32 nChildLevel, int parentFd,
                   const std::string& name, RECOVERY_CALLBACK pCallback, void* param, SAVE_SUMMARY* pSummary) {
  SAVE_SUMMARY local;
  SAVE_SUMMARY& sum = pSummary ? *pSummary : local;
  CDirFd root;
  int status = OpenSubFolder(parentFd, MakeSafePathComponent(name), true, root);
  if (status != 0) return status;

  struct PENDING {
    _FILE_NODE_ node;
    u32 nLevel;
    std::string strPath;  // below root; re-opened link-safely when its turn comes
  };
  std::deque<PENDING> queue;
  queue.push_back({folder, nChildLevel, std::string()});
  std::set<std::tuple<u32, u32, u64>> visited;
  int result = 0;
  u64 folders = 0;
  while (!queue.empty()) {
    PENDING item = std::move(queue.front());
    queue.pop_front();
    // Each folder once, however damaged metadata links folders in a circle.
    if (!visited.insert(std::make_tuple(item.node.nEngineType, item.node.nClusterNO, item.node.u64RecordSector))
             .second)
      continue;
    if (++folders > kMaxTreeFolders) break;
    CDirFd dir;
    status = OpenSubPath(root.Get(), item.strPath, false, dir);
    if (status != 0) {
      if (result == 0) result = status;
      continue;
    }
    FILE_NODE_VECTOR children;
    if (engine.GetChildrenFileNode(&item.node, item.nLevel, children) != 0) continue;
    for (_FILE_NODE_& child : children) {
      std::string childName = MakeSafePathComponent(NodeName(child));
      if (child.bIsDir) {
        if (item.nLevel + 1 >= kMaxTreeDepth) continue;
        CDirFd sub;
        int r = OpenSubFolder(dir.Get(), childName, true, sub);
        if (r != 0) {
          sum.Add(r);
          if (result == 0) result = r;
          continue;
        }
        queue.push_back({child, item.nLevel + 1, item.strPath.empty() ? childName : item.strPath + "/" + childName});
        continue;
      }
      SAVE_RESULT one;
      int r = SaveNodeInto(engine, child, dir.Get(), childName, pCallback, param, one);
      if (r == RECOVERY_CANCELLED) return r;
      sum.Add(r);
      if (r != 0 && (result == 0 || result == STATUS_PARTIAL_SAVE)) result = r;
    }
  }
  return result;
}

int SaveNodeToPath(IFileRecoveryParse& engine, _FILE_NODE_* pNode, const wchar_t* pTargetPath, int nRootDirIndex,
                   RECOVERY_CALLBACK pCallback, void* param) {
  if (!pNode || !pTargetPath) return STATUS_INVALID_PARAMETER;
  std::string target = WideToUtf8(pTargetPath);
  while (target.size() > 1 && target.back() == '/') target.pop_back();
  size_t slash = target.find_last_of('/');
  std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : target.substr(0, slash));
  std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
  // The caller made the folder: a missing one is an error, not ours to create.
  CDirFd parent(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  int status = parent.IsOpen() ? 0 : (errno ? errno : ENOENT);
  if (status != 0) {
    if (pCallback) pCallback(param, 100, 100, status, const_cast<wchar_t*>(pTargetPath));
    return status;
  }
  if (!pNode->bIsDir) {
    SAVE_RESULT out;
    return SaveNodeInto(engine, *pNode, parent.Get(), name, pCallback, param, out);
  }
  int depth = 0;
  GetPathDirIndex(pTargetPath, depth);
  int guess = depth - nRootDirIndex;
  u32 level = engine.FolderChildLevel(*pNode, guess > 0 ? static_cast<u32>(guess) : 1u);
  return SaveFolderTree(engine, *pNode, level, parent.Get(), name, pCallback, param, nullptr);
}

int PreviewNode(IFileRecoveryParse& engine, _FILE_NODE_* pNode, wchar_t* pTempPath, unsigned char* pBuf, int& nLen,
                PREVIEW_CALLBACK pCallback, void* param) {
  const int room = nLen > 0 && pBuf ? nLen : 0;
  nLen = 0;
  if (!pNode || pNode->bIsDir) {
    if (pCallback) pCallback(param, 100, STATUS_INVALID_PARAMETER);
    return STATUS_INVALID_PARAMETER;
  }
  std::string ext = LowerExtension(NodeName(*pNode));
  int status = 0;
  if (pTempPath && category::IsPictureExtension(ext)) {
    // A private file of our own in our own folder; whatever stands at the
    // name (a planted link included) is removed first and never followed.
    std::string dirPath = GetScanLogDir();
    CDirFd dir;
    status = OpenDestinationRoot(dirPath, dir);
    if (status == 0) {
      std::string tmpName = "tmp." + ext;
      unlinkat(dir.Get(), tmpName.c_str(), 0);
      std::wstring wide = Utf8ToWide(dirPath + tmpName);
      if (wide.size() > 255) {
        status = ENAMETOOLONG;
      } else {
        wmemcpy(pTempPath, wide.c_str(), wide.size() + 1);
        CRecoveredFile file(pNode->u64FileSize, nullptr, nullptr, wide);
        status = file.Create(dir.Get(), tmpName);
        if (status == 0) {
          int copy = pNode->u64FileSize == 0 ? 0 : engine.CopyFileData(pNode, file);
          SAVE_RESULT out;
          status = file.Finish(copy, out);
          // Someone made the name again between the unlink and the create:
          // the preview file has another name, which nobody will look at.
          if (out.strName != tmpName) {
            if (!out.strName.empty()) unlinkat(dir.Get(), out.strName.c_str(), 0);
            if (status == 0 || status == STATUS_PARTIAL_SAVE) status = EEXIST;
          }
          // A picture with unreadable parts still shows what is there.
          if (status == STATUS_PARTIAL_SAVE) status = 0;
        }
      }
    }
  } else {
    CMemorySink sink(pBuf, static_cast<size_t>(room));
    int copy = (room == 0 || pNode->u64FileSize == 0) ? 0 : engine.CopyFileData(pNode, sink);
    status = (copy == STATUS_SINK_FULL || copy == STATUS_SHORT_READ) ? 0 : copy;
    nLen = static_cast<int>(sink.Used());
  }
  if (pCallback) pCallback(param, 100, status);
  return status;
}

#include "store/ScanResultFileManager.h"

#include <errno.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <numeric>
#include <unordered_map>
#include <unordered_set>

#include "engine/ByteOrder.h"
#include "engine/DiskMap.h"
#include "engine/TextUtil.h"
#include "store/LogFileManager.h"

namespace {

constexpr u32 kNodeSize = sizeof(_FILE_NODE_);                 // 344
constexpr u32 kBufRecords = 200;
constexpr u32 kBufBytes = kBufRecords * kNodeSize;              // 68800
constexpr u32 kDirInfoSize = sizeof(_DIR_FILE_INFO_);           // 264
constexpr u32 kScanChunkRecords = 2048;                         // 704 KB per read when scanning
// Longest parent chain we follow; real trees are far shallower.
constexpr size_t kMaxChainDepth = 4096;
// Relation and dir-info files are read whole; these caps keep a damaged file
// from demanding unbounded memory. Real sizes stay well below them.
constexpr u64 kMaxRelationBytes = 512ull << 20;
constexpr u64 kRelationBytesPerNode = 48;
// Distinct extensions remembered while searching.
constexpr size_t kMaxExtMemo = 4096;

inline char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

// Length of a name field that a damaged file may have left unterminated.
inline size_t NameLen(const char (&name)[256]) { return strnlen(name, sizeof(name)); }

// Position of the extension (after the last '.') or -1 when there is none.
inline int ExtStart(const char* pName, size_t nLen) {
  for (size_t i = nLen; i > 0; --i)
    if (pName[i - 1] == '.') return static_cast<int>(i);
  return -1;
}

int WriteFully(int fd, const unsigned char* p, size_t n, u64 off) {
  while (n > 0) {
    ssize_t w = pwrite(fd, p, n, static_cast<off_t>(off));
    if (w < 0) {
      if (errno == EINTR) continue;
      return errno ? errno : EIO;
    }
    if (w == 0) return EIO;
    p += w;
    n -= static_cast<size_t>(w);
    off += static_cast<u64>(w);
  }
  return 0;
}

// Reads up to n bytes at off; *got receives what arrived. 0 on success or end
// of file, errno on failure.
int ReadUpTo(int fd, unsigned char* p, size_t n, u64 off, size_t* got) {
  *got = 0;
  while (*got < n) {
    ssize_t r = pread(fd, p + *got, n - *got, static_cast<off_t>(off + *got));
    if (r < 0) {
      if (errno == EINTR) continue;
      return errno ? errno : EIO;
    }
    if (r == 0) break;
    *got += static_cast<size_t>(r);
  }
  return 0;
}

u64 FileSizeOf(int fd, int* pErr) {
  struct stat st;
  if (fstat(fd, &st) != 0) {
    *pErr = errno;
    return 0;
  }
  *pErr = 0;
  return st.st_size > 0 ? static_cast<u64>(st.st_size) : 0;
}

// Sorts a record list by VectorCmp through an index array, then moves each
// record once: cheaper than swapping 344-byte records during the sort.
template <class T>
void SortRecords(std::vector<T>& v) {
  if (v.size() < 2) return;
  std::vector<u32> order(v.size());
  std::iota(order.begin(), order.end(), 0u);
  std::stable_sort(order.begin(), order.end(), [&v](u32 a, u32 b) { return VectorCmp(v[a], v[b]); });
  for (size_t i = 0; i < order.size(); ++i) {
    if (order[i] == i) continue;
    T tmp = v[i];
    size_t j = i;
    for (;;) {
      size_t k = order[j];
      order[j] = static_cast<u32>(j);
      if (k == i) {
        v[j] = tmp;
        break;
      }
      v[j] = v[k];
      j = k;
    }
  }
}

// Parses an unsigned decimal number that must fill [p, end) exactly.
template <class U>
bool ParseDecimal(const char* p, const char* end, U& out) {
  if (p >= end) return false;
  auto res = std::from_chars(p, end, out, 10);
  return res.ec == std::errc() && res.ptr == end;
}

}  // namespace

bool VectorCmp(const _FILE_NODE_& a, const _FILE_NODE_& b) {
  bool aDir = a.bIsDir != 0, bDir = b.bIsDir != 0;
  if (aDir != bDir) return !aDir;
  return strncasecmp(a.szFileName, b.szFileName, sizeof(a.szFileName)) < 0;
}

bool SearchVectorCmp(const __SEARCH_FILE_INFO__& a, const __SEARCH_FILE_INFO__& b) { return VectorCmp(a, b); }

CScanResultFileManager::CScanResultFileManager()
    : m_pNodeBuf(nullptr),
      m_nBufFill(0),
      m_nFileIndex(0),
      m_u64TotalBytes(0),
      m_nNodeFd(-1),
      m_nRelationFd(-1),
      m_nDirInfoFd(-1),
      m_pSearchCallBack(nullptr),
      m_pSearchParam(nullptr) {
  // Allocated up front so an engine that ignores a failed Init still gets a
  // valid slot (its records then fail to reach the file, not the memory).
  m_pNodeBuf = new (std::nothrow) unsigned char[kBufBytes];
  m_strKnownExt = std::string(g_szPhotoExtList) + "|" + g_szMusicExtList + "|" + g_szDocumentExtList + "|" +
                  g_szVideoExtList + "|" + g_szArchiveExtList;
}

CScanResultFileManager::~CScanResultFileManager() {
  if (m_nNodeFd >= 0) FlushBufToFile();
  CloseAll();
  delete[] m_pNodeBuf;
}

void CScanResultFileManager::CloseAll() {
  if (m_nNodeFd >= 0) close(m_nNodeFd);
  if (m_nRelationFd >= 0) close(m_nRelationFd);
  if (m_nDirInfoFd >= 0) close(m_nDirInfoFd);
  m_nNodeFd = m_nRelationFd = m_nDirInfoFd = -1;
}

void CScanResultFileManager::Reset() {
  m_nBufFill = 0;
  m_nFileIndex = 0;
  m_nBaseCount = 0;
  m_u64TotalBytes = 0;
  m_nLastWriteError = 0;
  m_mapRelation.clear();
  m_vecDirInfo.clear();
  m_nCacheFirst = m_nCacheCount = 0;
  m_vecParentKey.clear();
  m_bParentIndexValid = false;
  m_mapDirInfoPos.clear();
  m_bDirInfoIndexValid = false;
}

int CScanResultFileManager::Init(const wchar_t* pName) {
  if (m_nNodeFd >= 0) FlushBufToFile();
  CloseAll();
  Reset();
  if (!pName || !*pName) return STATUS_INVALID_PARAMETER;

  char szName[256];
  inner_uni2str(szName, pName, sizeof(szName), -1);
  // A result-set name is one file name inside the scan folder.
  if (!szName[0] || strchr(szName, '/') || !strcmp(szName, ".") || !strcmp(szName, ".."))
    return STATUS_INVALID_PARAMETER;

  std::string dir = CLogFileManager::GetInstance()->GetLogFileDirPath();
  int err = MakeDirectories(dir);
  if (err) return err;
  if (dir.empty() || dir.back() != '/') dir += '/';

  m_strNodePath = dir + szName;
  m_strRelationPath = m_strNodePath + "_Relation";
  m_strDirInfoPath = m_strNodePath + "_DirInfo";

  const int flags = O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW;
  m_nNodeFd = open(m_strNodePath.c_str(), flags, 0600);
  if (m_nNodeFd < 0) return errno;
  m_nRelationFd = open(m_strRelationPath.c_str(), flags, 0600);
  if (m_nRelationFd < 0) {
    err = errno;
    CloseAll();
    return err;
  }

  // A reopened set keeps its nodes; new ones are numbered after them so that
  // index i always lives at offset (i - 1) * 344. A torn last record is
  // overwritten by the next append.
  u64 nodeBytes = FileSizeOf(m_nNodeFd, &err);
  if (err) {
    CloseAll();
    return err;
  }
  u64 wholeNodes = nodeBytes / kNodeSize;
  if (wholeNodes >= 0xFFFFFFFFull) {
    CloseAll();
    return EFBIG;
  }
  m_nBaseCount = static_cast<u32>(wholeNodes);
  m_nFileIndex = m_nBaseCount;

  u64 relBytes = FileSizeOf(m_nRelationFd, &err);
  if (err) {
    CloseAll();
    return err;
  }
  if (relBytes > 0) {
    u64 cap = std::min<u64>(kMaxRelationBytes, (1ull << 20) + wholeNodes * kRelationBytesPerNode);
    size_t want = static_cast<size_t>(std::min(relBytes, cap));
    std::vector<char> text(want);
    size_t got = 0;
    err = ReadUpTo(m_nRelationFd, reinterpret_cast<unsigned char*>(text.data()), want, 0, &got);
    if (err) {
      CloseAll();
      return err;
    }
    GetDirRelationMap(text.data(), got, m_mapRelation);
  }

  if (!m_pNodeBuf) m_pNodeBuf = new (std::nothrow) unsigned char[kBufBytes];
  int result = m_pNodeBuf ? 0 : STATUS_OUT_OF_MEMORY;

  m_nDirInfoFd = open(m_strDirInfoPath.c_str(), flags, 0600);
  if (m_nDirInfoFd >= 0) {
    u64 infoBytes = FileSizeOf(m_nDirInfoFd, &err);
    if (err) {
      CloseAll();
      return err;
    }
    // Every directory has a node, so more records than nodes means damage.
    u64 maxRecords = wholeNodes + 1024;
    u64 records = std::min<u64>(infoBytes / kDirInfoSize, maxRecords);
    std::vector<unsigned char> chunk(static_cast<size_t>(std::min<u64>(records, 1024)) * kDirInfoSize);
    u64 done = 0;
    while (done < records) {
      u64 n = std::min<u64>(records - done, 1024);
      size_t got = 0;
      if (ReadUpTo(m_nDirInfoFd, chunk.data(), n * kDirInfoSize, done * kDirInfoSize, &got) != 0) break;
      size_t whole = got / kDirInfoSize;
      for (size_t r = 0; r < whole; ++r) {
        const unsigned char* p = chunk.data() + r * kDirInfoSize;
        _DIR_FILE_INFO_ info;
        info.nClusterNO = GetU32LE(p, kDirInfoSize, 0);
        info.nFileIndex = GetU32LE(p, kDirInfoSize, 4);
        memcpy(info.szFileName, p + 8, sizeof(info.szFileName));
        info.szFileName[sizeof(info.szFileName) - 1] = 0;
        m_vecDirInfo.push_back(info);
      }
      if (whole < n) break;
      done += n;
    }
  }
  return result;
}

_FILE_NODE_* CScanResultFileManager::CreateFileNode(int nSize) {
  if (nSize != static_cast<int>(kNodeSize) || !m_pNodeBuf) return nullptr;
  if (m_nFileIndex == 0xFFFFFFFFu) return nullptr;
  if (m_nBufFill + kNodeSize > kBufBytes) {
    int err = FlushFileNodeToFile();
    if (err) m_nLastWriteError = err;
  }
  _FILE_NODE_* p = reinterpret_cast<_FILE_NODE_*>(m_pNodeBuf + m_nBufFill);
  m_nBufFill += kNodeSize;
  m_u64TotalBytes += kNodeSize;
  ++m_nFileIndex;
  return p;
}

void CScanResultFileManager::AddChildren(u32 nParentNumber, u32 nParentDepth, u32 nChildIndex, u32 nChildNumber,
                                         const char* pDirName) {
  m_mapRelation[MakeDirKey(nParentDepth, nParentNumber)].push_back(nChildIndex);
  m_bParentIndexValid = false;
  if (pDirName) {
    _DIR_FILE_INFO_ info;
    memset(&info, 0, sizeof(info));
    info.nClusterNO = nChildNumber;
    info.nFileIndex = nChildIndex;
    size_t n = strnlen(pDirName, sizeof(info.szFileName) - 1);
    memcpy(info.szFileName, pDirName, n);
    m_vecDirInfo.push_back(info);
    m_bDirInfoIndexValid = false;
  }
}

bool CScanResultFileManager::IsDirFileNodeExist(i64 nNumber, u32 nDepth) const {
  u64 key = (static_cast<u64>(nDepth) << 32) | static_cast<u64>(nNumber);
  return m_mapRelation.find(key) != m_mapRelation.end();
}

int CScanResultFileManager::FlushFileNodeToFile() {
  if (m_nBufFill == 0) return 0;
  u32 buffered = BufferedCount();
  u32 first = m_nFileIndex - buffered + 1;
  int err = m_nNodeFd >= 0 ? WriteFully(m_nNodeFd, m_pNodeBuf, m_nBufFill, static_cast<u64>(first - 1) * kNodeSize)
                           : EBADF;
  // Cleared even on failure: the next records still go to their own offsets.
  m_nBufFill = 0;
  m_nCacheCount = 0;
  if (err) m_nLastWriteError = err;
  return err;
}

void CScanResultFileManager::FlushBufToFile() {
  if (FlushFileNodeToFile() != 0) return;
  FlushRelationToFile();
  FlushDirFileInfoVec();
}

int CScanResultFileManager::FlushRelationToFile() {
  if (m_nRelationFd < 0) return EBADF;
  std::string text;
  text.reserve(1 << 20);
  u64 off = 0;
  int err = 0;
  char num[24];
  for (const auto& kv : m_mapRelation) {
    if (kv.second.empty()) continue;
    text += " | ";
    auto r = std::to_chars(num, num + sizeof(num), kv.first);
    text.append(num, r.ptr);
    text += " - [";
    for (size_t i = 0; i < kv.second.size(); ++i) {
      if (i) text += ',';
      r = std::to_chars(num, num + sizeof(num), kv.second[i]);
      text.append(num, r.ptr);
      if (text.size() >= (1u << 20)) {
        err = WriteFully(m_nRelationFd, reinterpret_cast<const unsigned char*>(text.data()), text.size(), off);
        if (err) return err;
        off += text.size();
        text.clear();
      }
    }
    text += ']';
  }
  if (!text.empty()) {
    err = WriteFully(m_nRelationFd, reinterpret_cast<const unsigned char*>(text.data()), text.size(), off);
    if (err) return err;
    off += text.size();
  }
  // The text normally only grows, but a reloaded damaged file may have been
  // longer than what we write back; its tail must not be parsed again.
  if (ftruncate(m_nRelationFd, static_cast<off_t>(off)) != 0) return errno;
  return 0;
}

int CScanResultFileManager::FlushDirFileInfoVec() {
  if (m_nDirInfoFd < 0) return EBADF;
  std::vector<unsigned char> chunk;
  chunk.reserve(static_cast<size_t>(kDirInfoSize) * 1024);
  u64 off = 0;
  for (size_t i = 0; i < m_vecDirInfo.size(); ++i) {
    const _DIR_FILE_INFO_& info = m_vecDirInfo[i];
    unsigned char rec[kDirInfoSize];
    memset(rec, 0, sizeof(rec));
    for (int b = 0; b < 4; ++b) {
      rec[b] = static_cast<unsigned char>(info.nClusterNO >> (8 * b));
      rec[4 + b] = static_cast<unsigned char>(info.nFileIndex >> (8 * b));
    }
    memcpy(rec + 8, info.szFileName, strnlen(info.szFileName, sizeof(info.szFileName) - 1));
    chunk.insert(chunk.end(), rec, rec + kDirInfoSize);
    if (chunk.size() >= static_cast<size_t>(kDirInfoSize) * 1024 || i + 1 == m_vecDirInfo.size()) {
      int err = WriteFully(m_nDirInfoFd, chunk.data(), chunk.size(), off);
      if (err) return err;
      off += chunk.size();
      chunk.clear();
    }
  }
  if (ftruncate(m_nDirInfoFd, static_cast<off_t>(off)) != 0) return errno;
  return 0;
}

int CScanResultFileManager::GetDirRelationMap(const char* pText, size_t nLen, DIR_RELATION_MAP& map) {
  if (!pText) return 0;
  const char* end = pText + nLen;
  const char* pos = pText;
  // Each pass consumes at least one byte of the text, so the loop ends.
  while (pos < end) {
    const char* bar = static_cast<const char*>(memmem(pos, static_cast<size_t>(end - pos), " | ", 3));
    if (!bar) break;
    const char* keyStart = bar + 3;
    const char* p = keyStart;
    while (p < end && *p >= '0' && *p <= '9') ++p;
    u64 key = 0;
    if (!ParseDecimal(keyStart, p, key) || static_cast<size_t>(end - p) < 4 || memcmp(p, " - [", 4) != 0) {
      pos = keyStart;  // corrupt entry: look for the next one
      continue;
    }
    std::vector<u32> children;
    const char* tok = p + 4;
    const char* q = tok;
    bool closed = false;
    for (; q < end; ++q) {
      char c = *q;
      if (c == ',' || c == ']') {
        u32 v = 0;
        if (ParseDecimal(tok, q, v)) children.push_back(v);  // a damaged token is dropped
        tok = q + 1;
        if (c == ']') {
          closed = true;
          break;
        }
      } else if (c == '|') {
        break;  // the next entry begins: this list lost its "]"
      }
    }
    // Only tokens ended by "," or "]" are trusted; a cut-off last number is not.
    if (!children.empty()) map[key] = std::move(children);
    // Go on from the "]", from the space before the next entry's "|", or
    // from the end; each lies past this entry's " | ".
    if (closed || q >= end)
      pos = q;
    else
      pos = q - 1;
  }
  return 0;
}

int CScanResultFileManager::ReadFileNode(u32 nIndex, _FILE_NODE_& out) {
  if (nIndex == 0 || nIndex > m_nFileIndex) return STATUS_INVALID_PARAMETER;
  u32 buffered = BufferedCount();
  u32 firstBuffered = m_nFileIndex - buffered + 1;
  if (buffered && nIndex >= firstBuffered) {
    memcpy(&out, m_pNodeBuf + static_cast<size_t>(nIndex - firstBuffered) * kNodeSize, kNodeSize);
    return 0;
  }
  if (m_nCacheCount && nIndex >= m_nCacheFirst && nIndex - m_nCacheFirst < m_nCacheCount) {
    memcpy(&out, m_vecReadCache.data() + static_cast<size_t>(nIndex - m_nCacheFirst) * kNodeSize, kNodeSize);
    ++m_nCacheHits;
    return 0;
  }
  if (m_nNodeFd < 0) return EBADF;
  u32 onFile = m_nFileIndex - buffered;
  // Read a whole window while reads run in order; scattered reads (folders
  // far apart) fetch single records instead of 200 unused neighbours.
  bool sequential = m_nCacheHits * 8 >= m_nCacheCount || nIndex == m_nCacheFirst + m_nCacheCount;
  u32 want = std::min<u32>(sequential ? kBufRecords : 1, onFile - nIndex + 1);
  m_nCacheHits = 0;
  m_vecReadCache.resize(kBufBytes);
  size_t got = 0;
  m_nCacheCount = 0;
  int err = ReadUpTo(m_nNodeFd, m_vecReadCache.data(), static_cast<size_t>(want) * kNodeSize,
                     static_cast<u64>(nIndex - 1) * kNodeSize, &got);
  if (err) return err;
  if (got < kNodeSize) return STATUS_SHORT_READ;
  m_nCacheFirst = nIndex;
  m_nCacheCount = static_cast<u32>(got / kNodeSize);
  memcpy(&out, m_vecReadCache.data(), kNodeSize);
  return 0;
}

int CScanResultFileManager::GetChildrenFileNode(u64 u64Key, FILE_NODE_VECTOR& out) {
  if (m_mapRelation.empty()) return 0;
  auto it = u64Key == 0 ? m_mapRelation.begin() : m_mapRelation.find(u64Key);
  if (it == m_mapRelation.end()) return 0;
  int status = 0;
  _FILE_NODE_ node;
  for (u32 idx : it->second) {
    int err = ReadFileNode(idx, node);
    if (err == STATUS_INVALID_PARAMETER) continue;  // a damaged relation naming no node
    if (err) {
      status = err;
      break;
    }
    out.push_back(node);
  }
  SortRecords(out);
  return status;
}

int CScanResultFileManager::GetChildrenFileCount(u64 u64Key, u32& nCount) {
  nCount = 0;
  int status = 0;
  std::vector<u64> queue;
  std::unordered_set<u64> seen;  // a key reached twice would be counted twice
  queue.push_back(u64Key);
  seen.insert(u64Key);
  _FILE_NODE_ node;
  for (size_t head = 0; head < queue.size(); ++head) {
    u64 k = queue[head];
    if (m_mapRelation.empty()) break;
    auto it = k == 0 ? m_mapRelation.begin() : m_mapRelation.find(k);
    if (it == m_mapRelation.end()) continue;
    u64 childDepth = (k >> 32) + 1;
    if (childDepth > 0xFFFFFFFFull) continue;
    for (u32 idx : it->second) {
      int err = ReadFileNode(idx, node);
      if (err == STATUS_INVALID_PARAMETER) continue;
      if (err) {
        status = err;
        break;
      }
      if (node.bIsDir) {
        u64 child = (childDepth << 32) | node.nClusterNO;
        if (seen.insert(child).second) queue.push_back(child);
      } else {
        ++nCount;
      }
    }
  }
  return status;
}

int CScanResultFileManager::GetFileNodeByClusterNO(u32 nNumber, _FILE_NODE_& out) {
  if (m_nNodeFd < 0) return STATUS_INVALID_PARAMETER;
  int err = 0;
  u64 size = FileSizeOf(m_nNodeFd, &err);
  if (err) return STATUS_INVALID_PARAMETER;
  u64 records = size / kNodeSize;
  // A small set is read in one piece the size of the set.
  std::vector<unsigned char> chunk(static_cast<size_t>(std::min<u64>(records, kScanChunkRecords)) * kNodeSize);
  u64 done = 0;
  while (done < records) {
    u64 n = std::min<u64>(records - done, kScanChunkRecords);
    size_t got = 0;
    if (ReadUpTo(m_nNodeFd, chunk.data(), n * kNodeSize, done * kNodeSize, &got) != 0 || got < kNodeSize) break;
    size_t whole = got / kNodeSize;
    for (size_t r = 0; r < whole; ++r) {
      const unsigned char* p = chunk.data() + r * kNodeSize;
      if (GetU32LE(p, kNodeSize, offsetof(_FILE_NODE_, nClusterNO)) != nNumber) continue;
      memcpy(&out, p, kNodeSize);
      if (out.bIsDir) return 0;
    }
    if (whole < n) break;
    done += n;
  }
  return STATUS_INVALID_PARAMETER;
}

const u64* CScanResultFileManager::FindParentKey(u32 nFileIndex) {
  if (!m_bParentIndexValid) {
    // Index by child: the first key in ascending order that lists it. Indices
    // beyond the node count name no node and are left out.
    m_vecParentKey.assign(static_cast<size_t>(m_nFileIndex) + 1, 0);
    for (const auto& kv : m_mapRelation)
      for (u32 idx : kv.second)
        if (idx <= m_nFileIndex && m_vecParentKey[idx] == 0) m_vecParentKey[idx] = kv.first + 1;
    m_bParentIndexValid = true;
  }
  if (nFileIndex >= m_vecParentKey.size() || m_vecParentKey[nFileIndex] == 0) return nullptr;
  return &m_vecParentKey[nFileIndex];
}

const _DIR_FILE_INFO_* CScanResultFileManager::FindDirInfo(u32 nClusterNO) {
  if (!m_bDirInfoIndexValid) {
    m_mapDirInfoPos.clear();
    for (size_t i = 0; i < m_vecDirInfo.size(); ++i) m_mapDirInfoPos.emplace(m_vecDirInfo[i].nClusterNO, i);
    m_bDirInfoIndexValid = true;
  }
  auto it = m_mapDirInfoPos.find(nClusterNO);
  return it == m_mapDirInfoPos.end() ? nullptr : &m_vecDirInfo[it->second];
}

int CScanResultFileManager::GetParentFileNode(const _FILE_NODE_& node, FILE_NODE_VECTOR& chain) {
  u32 self = node.nFileIndex;
  u32 cur = node.nFileIndex;
  // Damaged metadata can make the chain loop: a directory met twice ends it.
  std::unordered_set<u32> onChain;
  onChain.insert(self);
  for (size_t step = 0; step < kMaxChainDepth; ++step) {
    const u64* pKey = FindParentKey(cur);
    if (!pKey) return 0;
    u32 number = static_cast<u32>((*pKey - 1) & 0xFFFFFFFFu);
    _FILE_NODE_ parent;
    if (const _DIR_FILE_INFO_* info = FindDirInfo(number)) {
      memset(&parent, 0, sizeof(parent));
      parent.bIsDir = 1;
      parent.nClusterNO = info->nClusterNO;
      parent.nFileIndex = info->nFileIndex;
      memcpy(parent.szFileName, info->szFileName, sizeof(parent.szFileName));
      parent.szFileName[sizeof(parent.szFileName) - 1] = 0;
    } else {
      int err = GetFileNodeByClusterNO(number, parent);
      if (err) return err;
    }
    if (!onChain.insert(parent.nFileIndex).second) return 0;
    chain.push_back(parent);
    cur = parent.nFileIndex;
  }
  return 0;
}

int CScanResultFileManager::GetParentDirPath(const _FILE_NODE_& node, wchar_t* pOut, int nOutLen) {
  if (!pOut || nOutLen <= 0) return STATUS_INVALID_PARAMETER;
  FILE_NODE_VECTOR chain;
  GetParentFileNode(node, chain);
  std::string path;
  for (size_t i = chain.size(); i > 0; --i) {
    // Folder names come from the disk and end up in save paths.
    std::string name(chain[i - 1].szFileName, NameLen(chain[i - 1].szFileName));
    path += MakeSafePathComponent(name);
    path += '/';
  }
  return Ansi2Unicode(path.c_str(), pOut, nOutLen);
}

int CScanResultFileManager::InitSearchCallBack(SEARCH_CALLBACK pCallback, void* param) {
  m_pSearchCallBack = pCallback;
  m_pSearchParam = param;
  return 0;
}

int CScanResultFileManager::SearchFileNodeInfo(const wchar_t* pPattern, SEARCH_FILE_INFO_VECTOR& out) {
  int status = SearchFileNodeEach(pPattern, [&out](__SEARCH_FILE_INFO__& hit) {
    out.push_back(hit);
    return true;
  });
  SortRecords(out);
  return status;
}

int CScanResultFileManager::SearchFileNodeEach(const wchar_t* pPattern,
                                               const std::function<bool(__SEARCH_FILE_INFO__&)>& visit) {
  std::string pattern = pPattern ? Unicode2Ansi(pPattern) : std::string();
  FlushBufToFile();
  bool bOther = pattern.find(".other") != std::string::npos;
  if (m_nNodeFd < 0) return 0;
  int err = 0;
  u64 size = FileSizeOf(m_nNodeFd, &err);
  if (err) return 0;

  // The verdict depends only on the extension, and a result set holds few of
  // them: remember it. Bit 0: wanted when healthy; bit 1: hidden when damaged.
  std::unordered_map<std::string, unsigned char> memo;
  std::string ext;
  ext.reserve(256);
  char needle[260];

  u64 records = size / kNodeSize;
  // A small set is read in one piece the size of the set.
  std::vector<unsigned char> chunk(static_cast<size_t>(std::min<u64>(records, kScanChunkRecords)) * kNodeSize);
  __SEARCH_FILE_INFO__ hit;
  u64 done = 0;
  while (done < records) {
    u64 n = std::min<u64>(records - done, kScanChunkRecords);
    size_t got = 0;
    if (ReadUpTo(m_nNodeFd, chunk.data(), n * kNodeSize, done * kNodeSize, &got) != 0 || got < kNodeSize) break;
    size_t whole = got / kNodeSize;
    for (size_t r = 0; r < whole; ++r) {
      const unsigned char* p = chunk.data() + r * kNodeSize;
      if (GetU32LE(p, kNodeSize, offsetof(_FILE_NODE_, bIsDir)) != 0) continue;
      // A slot never written (a hole left by a failed write) is no result:
      // every record an engine writes has an index from 1 and a name.
      if (GetU32LE(p, kNodeSize, offsetof(_FILE_NODE_, nFileIndex)) == 0 && p[offsetof(_FILE_NODE_, szFileName)] == 0)
        continue;
      const char* name = reinterpret_cast<const char*>(p + offsetof(_FILE_NODE_, szFileName));
      size_t len = strnlen(name, 256);
      int e = ExtStart(name, len);
      bool take;
      if (e < 0) {
        take = bOther;
      } else {
        ext.assign(name + e, len - static_cast<size_t>(e));
        for (char& c : ext) c = LowerAscii(c);
        unsigned char verdict;
        auto it = memo.find(ext);
        if (it != memo.end()) {
          verdict = it->second;
        } else {
          needle[0] = '.';
          memcpy(needle + 1, ext.data(), ext.size());
          needle[ext.size() + 1] = 0;
          bool wanted = strstr(pattern.c_str(), needle) != nullptr ||
                        (bOther && strstr(m_strKnownExt.c_str(), needle) == nullptr);
          verdict = wanted ? 1 : 0;
          if (memo.size() < kMaxExtMemo) memo.emplace(ext, verdict);
        }
        take = (verdict & 1) != 0;
      }
      if (!take) continue;
      memcpy(static_cast<_FILE_NODE_*>(&hit), p, kNodeSize);
      if (!visit(hit)) return 1;
    }
    done += whole;
    if (m_pSearchCallBack) {
      int progress = static_cast<int>(done * kNodeSize * 100 / size);
      if (m_pSearchCallBack(m_pSearchParam, progress, nullptr) != 0) break;
    }
    if (whole < n) break;
  }
  return 1;
}

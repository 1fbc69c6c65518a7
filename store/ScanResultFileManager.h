// The result store: every node an engine finds lives in a result set of
// three files (node records, relation text, directory info) in the current
// scan folder, not in memory.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "engine/Categories.h"
#include "engine/Types.h"

// One found directory, as stored in the "_DirInfo" file.
struct _DIR_FILE_INFO_ {
  u32 nClusterNO;       // 0x00: the directory node's nClusterNO
  u32 nFileIndex;       // 0x04: its node's 1-based file index
  char szFileName[256]; // 0x08: NUL-terminated name
};
static_assert(sizeof(_DIR_FILE_INFO_) == 264, "_DIR_FILE_INFO_ is a 264-byte on-disk record");
static_assert(offsetof(_DIR_FILE_INFO_, nFileIndex) == 4, "layout");
static_assert(offsetof(_DIR_FILE_INFO_, szFileName) == 8, "layout");

typedef std::map<u64, std::vector<u32>> DIR_RELATION_MAP;


// Key of a directory's children: depth in the high 32 bits, number in the low.
inline u64 MakeDirKey(u32 nDepth, u32 nNumber) { return (static_cast<u64>(nDepth) << 32) | nNumber; }

// Files first, then folders; by name ignoring case.
bool VectorCmp(const _FILE_NODE_& a, const _FILE_NODE_& b);
bool SearchVectorCmp(const __SEARCH_FILE_INFO__& a, const __SEARCH_FILE_INFO__& b);

class CScanResultFileManager {
 public:
  CScanResultFileManager();
  ~CScanResultFileManager();
  CScanResultFileManager(const CScanResultFileManager&) = delete;
  CScanResultFileManager& operator=(const CScanResultFileManager&) = delete;

  // Opens (creating if missing) the result set pName in the current scan folder.
  int Init(const wchar_t* pName);
  // The slot where the caller writes the next record (valid until the next call or flush).
  _FILE_NODE_* CreateFileNode(int nSize = sizeof(_FILE_NODE_));
  u32 GetFileIndex() const { return m_nFileIndex; }
  void AddChildren(u32 nParentNumber, u32 nParentDepth, u32 nChildIndex, u32 nChildNumber,
                   const char* pDirName);
  bool IsDirFileNodeExist(i64 nNumber, u32 nDepth) const;
  int GetChildrenFileNode(u64 u64Key, FILE_NODE_VECTOR& out);
  int GetChildrenFileCount(u64 u64Key, u32& nCount);
  int GetFileNodeByClusterNO(u32 nNumber, _FILE_NODE_& out);
  int GetParentFileNode(const _FILE_NODE_& node, FILE_NODE_VECTOR& chain);
  int GetParentDirPath(const _FILE_NODE_& node, wchar_t* pOut, int nOutLen);
  int InitSearchCallBack(SEARCH_CALLBACK pCallback, void* param);
  int SearchFileNodeInfo(const wchar_t* pPattern, SEARCH_FILE_INFO_VECTOR& out);
  // The same hits one at a time in record order, unsorted; visit answers false to stop.
  int SearchFileNodeEach(const wchar_t* pPattern, const std::function<bool(__SEARCH_FILE_INFO__&)>& visit);
  void FlushBufToFile();
  int FlushFileNodeToFile();
  int FlushRelationToFile();
  int FlushDirFileInfoVec();
  static int GetDirRelationMap(const char* pText, size_t nLen, DIR_RELATION_MAP& map);

  // Reads record nIndex (1-based) of the node file; 0 or a status.
  int ReadFileNode(u32 nIndex, _FILE_NODE_& out);
  const std::string& GetNodeFilePath() const { return m_strNodePath; }
  const DIR_RELATION_MAP& GetRelationMap() const { return m_mapRelation; }
  const std::vector<_DIR_FILE_INFO_>& GetDirInfoList() const { return m_vecDirInfo; }
  // Nodes that were already in the node file when it was opened (a reopened
  // result set); new nodes are numbered after them.
  u32 GetReloadedCount() const { return m_nBaseCount; }

 private:
  void CloseAll();
  void Reset();
  u32 BufferedCount() const { return m_nBufFill / sizeof(_FILE_NODE_); }
  const u64* FindParentKey(u32 nFileIndex);
  const _DIR_FILE_INFO_* FindDirInfo(u32 nClusterNO);

  u32 m_nBaseCount = 0;
  int m_nLastWriteError = 0;
  // Window of node records last read from the file, so neighbouring children
  // cost one read per window instead of one per record.
  std::vector<unsigned char> m_vecReadCache;
  u32 m_nCacheFirst = 0, m_nCacheCount = 0, m_nCacheHits = 0;
  // Built on first use by the parent walk; dropped when relations change.
  std::vector<u64> m_vecParentKey;  // by file index: key + 1, 0 for none
  bool m_bParentIndexValid = false;
  std::map<u32, size_t> m_mapDirInfoPos;  // first dir-info record per number
  bool m_bDirInfoIndexValid = false;

  unsigned char* m_pNodeBuf;
  u32 m_nBufFill;
  u32 m_nFileIndex;
  u64 m_u64TotalBytes;
  DIR_RELATION_MAP m_mapRelation;
  std::vector<_DIR_FILE_INFO_> m_vecDirInfo;
  std::string m_strNodePath, m_strRelationPath, m_strDirInfoPath;
  int m_nNodeFd, m_nRelationFd, m_nDirInfoFd;
  SEARCH_CALLBACK m_pSearchCallBack;
  void* m_pSearchParam;
  std::string m_strKnownExt;
};

// The browsing and searching half of an engine that keeps its finds in a
// result store: every such engine answers these interface calls the same
// way, from its own store and its own root folder number.
#pragma once

#include <memory>

#include "store/ScanResultFileManager.h"

namespace storebrowse {

// The key a (node, level) pair asks for: a null or numberless node means the root.
inline u64 ChildKey(const _FILE_NODE_* pParent, unsigned int nLevel, u32 nRootNumber) {
  return MakeDirKey(nLevel, pParent && pParent->nClusterNO ? pParent->nClusterNO : nRootNumber);
}

inline int Children(CScanResultFileManager* pStore, _FILE_NODE_* pParent, unsigned int nLevel, u32 nRootNumber,
                    FILE_NODE_VECTOR& out) {
  if (!pParent && nLevel != 0) return STATUS_INVALID_PARAMETER;
  if (!pStore) return 0;
  pStore->FlushBufToFile();
  return pStore->GetChildrenFileNode(ChildKey(pParent, nLevel, nRootNumber), out);
}

// Adds the count of files below the folder to nCount, so callers can sum engines.
inline int Count(CScanResultFileManager* pStore, _FILE_NODE_* pParent, unsigned int nLevel, u32 nRootNumber,
                 unsigned int& nCount) {
  if (!pParent && nLevel != 0) return STATUS_INVALID_PARAMETER;
  if (!pStore) return 0;
  pStore->FlushBufToFile();
  u32 count = 0;
  int status = pStore->GetChildrenFileCount(ChildKey(pParent, nLevel, nRootNumber), count);
  nCount += count;
  return status;
}

inline int LostCount(const CScanResultFileManager* pStore) {
  return pStore ? static_cast<int>(pStore->GetFileIndex()) : 0;
}

inline int ParentPath(CScanResultFileManager* pStore, _FILE_NODE_* pNode, wchar_t* pPath, int nLen) {
  if (!pStore || !pNode || !pPath || nLen <= 0) return STATUS_INVALID_PARAMETER;
  pStore->FlushBufToFile();
  return pStore->GetParentDirPath(*pNode, pPath, nLen);
}

inline int InitSearch(CScanResultFileManager* pStore, SEARCH_CALLBACK pSearch, void* param) {
  return pStore ? pStore->InitSearchCallBack(pSearch, param) : STATUS_INVALID_PARAMETER;
}

inline int Search(CScanResultFileManager* pStore, wchar_t* pKey, SEARCH_FILE_INFO_VECTOR& out) {
  return pStore && pKey ? pStore->SearchFileNodeInfo(pKey, out) : 0;
}

}  // namespace storebrowse

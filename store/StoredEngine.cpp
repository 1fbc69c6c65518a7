#include "store/StoredEngine.h"

#include "engine/RecoveredFile.h"

namespace {
// The key a (node, level) pair asks for: a null or numberless node means the root.
u64 ChildKey(const _FILE_NODE_* pParent, unsigned int nLevel, u32 nRootNumber) {
  return MakeDirKey(nLevel, pParent && pParent->nClusterNO ? pParent->nClusterNO : nRootNumber);
}
}  // namespace

int CStoredEngine::InitCallBack(SCAN_PROGRESS_CALLBACK pScan, RECOVERY_CALLBACK pRecovery, void* param,
                                int nPercent) {
  m_pScanCallBack = pScan;
  m_pRecoveryCallBack = pRecovery;
  m_pCallBackParam = param;
  m_nPercent = nPercent;
  return 0;
}

int CStoredEngine::GetChildrenFileNode(_FILE_NODE_* pParent, unsigned int nLevel, FILE_NODE_VECTOR& out) {
  if (!pParent && nLevel != 0) return STATUS_INVALID_PARAMETER;
  CScanResultFileManager* store = Store();
  if (!store) return 0;
  store->FlushBufToFile();
  const size_t before = out.size();
  const int status = store->GetChildrenFileNode(ChildKey(pParent, nLevel, RootDirNumber()), out);
  for (size_t i = before; i < out.size(); ++i) ResolvePending(out[i]);
  return status;
}

void CStoredEngine::ResolvePending(_FILE_NODE_& node) {
  if (!(node.nResultFlags & RESULT_FLAG_CHECK_PENDING)) return;
  {
    std::lock_guard<std::mutex> lock(m_resolvedMutex);
    auto it = m_resolved.find(node.nFileIndex);
    if (it != m_resolved.end() && it->second.u64Sector == node.u64RecordSector &&
        it->second.u64Size == node.u64FileSize) {
      node.nIntegrity = it->second.nIntegrity;
      node.nResultFlags = it->second.nResultFlags;
      return;
    }
  }
  _FILE_NODE_ checked = node;
  ResolvePendingCheck(checked);
  if (checked.nResultFlags & RESULT_FLAG_CHECK_PENDING) return;  // nothing decided: asked again next time
  KeepResolved(node, checked.nIntegrity, checked.nResultFlags);
  node.nIntegrity = checked.nIntegrity;
  node.nResultFlags = checked.nResultFlags;
}

void CStoredEngine::KeepResolved(const _FILE_NODE_& node, u8 nIntegrity, u8 nResultFlags) {
  std::lock_guard<std::mutex> lock(m_resolvedMutex);
  m_resolved.insert_or_assign(node.nFileIndex, RESOLVED{node.u64RecordSector, node.u64FileSize, nIntegrity, nResultFlags});
}

int CStoredEngine::GetChildrenFileCount(_FILE_NODE_* pParent, unsigned int nLevel, unsigned int& nCount) {
  if (!pParent && nLevel != 0) return STATUS_INVALID_PARAMETER;
  CScanResultFileManager* store = Store();
  if (!store) return 0;
  store->FlushBufToFile();
  u32 count = 0;
  int status = store->GetChildrenFileCount(ChildKey(pParent, nLevel, RootDirNumber()), count);
  // Added, so callers can sum engines.
  nCount += count;
  return status;
}

int CStoredEngine::GetLostFileCount() {
  CScanResultFileManager* store = Store();
  return store ? static_cast<int>(store->GetFileIndex()) : 0;
}

int CStoredEngine::GetFileNodeParentDirPath(_FILE_NODE_* pNode, wchar_t* pPath, int nLen) {
  CScanResultFileManager* store = Store();
  if (!store || !pNode || !pPath || nLen <= 0) return STATUS_INVALID_PARAMETER;
  store->FlushBufToFile();
  return store->GetParentDirPath(*pNode, pPath, nLen);
}

int CStoredEngine::InitSearchCallBack(SEARCH_CALLBACK pSearch, void* param) {
  m_pSearchCallBack = pSearch;
  m_pSearchParam = param;
  CScanResultFileManager* store = Store();
  return store ? store->InitSearchCallBack(pSearch, param) : STATUS_INVALID_PARAMETER;
}

int CStoredEngine::SearchFileNode(wchar_t* pKey, SEARCH_FILE_INFO_VECTOR& out) {
  CScanResultFileManager* store = Store();
  if (!store || !pKey) return 0;
  const size_t before = out.size();
  const int status = store->SearchFileNodeInfo(pKey, out);
  for (size_t i = before; i < out.size(); ++i) ResolvePending(out[i]);
  return status;
}

int CStoredEngine::SearchFileNodeEach(wchar_t* pKey, const SEARCH_VISIT& visit) {
  CScanResultFileManager* store = Store();
  if (!store || !pKey) return 0;
  return store->SearchFileNodeEach(pKey, [this, &visit](__SEARCH_FILE_INFO__& hit) {
    ResolvePending(hit);
    return visit(hit);
  });
}

int CStoredEngine::SaveFileData(_FILE_NODE_* pNode, wchar_t* pTargetPath, int nRootDirIndex) {
  return SaveNodeToPath(*this, pNode, pTargetPath, nRootDirIndex, m_pRecoveryCallBack, m_pCallBackParam);
}

int CStoredEngine::PreView(_FILE_NODE_* pNode, wchar_t* pTempPath, unsigned char* pBuf, int& nLen,
                           PREVIEW_CALLBACK pCallback, void* param) {
  return PreviewNode(*this, pNode, pTempPath, pBuf, nLen, pCallback, param);
}

u32 CStoredEngine::FolderChildLevel(const _FILE_NODE_& folder, u32 nGuess) {
  CScanResultFileManager* store = Store();
  if (!store) return nGuess;
  store->FlushBufToFile();
  const auto& map = store->GetRelationMap();
  for (const auto& entry : map)
    for (u32 index : entry.second)
      if (index == folder.nFileIndex) return static_cast<u32>(entry.first >> 32) + 1;
  if (map.count(MakeDirKey(nGuess, folder.nClusterNO))) return nGuess;
  for (const auto& entry : map)
    if (static_cast<u32>(entry.first) == folder.nClusterNO) return static_cast<u32>(entry.first >> 32);
  return nGuess;
}

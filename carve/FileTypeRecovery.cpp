// The carving engine: records carved files, lists them flat, previews and
// saves them by reading their sectors straight from the scanned range.
#include "carve/FileTypeRecovery.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>

#include "engine/DiskMap.h"
#include "engine/RecoveredFile.h"
#include "engine/TextUtil.h"
#include "store/ScanResultFileManager.h"

CFileTypeRecovery::CFileTypeRecovery()
    : m_wcDrive(0),
      m_u64StartSector(0),
      m_u64SectorCount(0),
      m_nBytesPerSector(SECTOR_SIZE),
      m_pResultFileManager(nullptr) {}

CFileTypeRecovery::~CFileTypeRecovery() {
  m_pPending.reset();  // before the store its verdicts are kept for
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
  m_MetaFile.Close();
  // Without its side file a result set still works; its files go unnamed.
  if (m_pResultFileManager) m_MetaFile.Open(CResultMetaFile::PathFor(m_pResultFileManager->GetNodeFilePath()));
  return status;
}

int CFileTypeRecovery::Init(int nDiskNo, i64 u64StartSector, i64 u64SectorCount, wchar_t wcDrive) {
  delete m_pResultFileManager;
  m_pResultFileManager = nullptr;
  m_wcDrive = wcDrive;
  m_carved.clear();
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
  m_carved.clear();
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
  m_pCallBackParam = param;
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
  u8 integrity = CFileTypeJudge::Pass().nLastIntegrity;
  u8 flags = CFileTypeJudge::Pass().nLastResultFlags;
  u64 firstPiece = size;
  BIFRAG_PIECES pieces;
  BIFRAG_LIMITS limits = m_bifragLimits;
  if (limits.nClusterBytes == 0)
    for (const CLUSTER_AREA& a : m_clusterAreas)
      if (u64Sector >= a.u64FirstSector && u64Sector - a.u64FirstSector < a.u64SectorCount) limits.nClusterBytes = a.nClusterBytes;
  // The pass's own reader: what it holds in memory is read in place, and a
  // sector it found unreadable is not tried again.
  CDiskReader* reader = pReader ? pReader : &m_DiskReader;
  bool twoPieces = FindSecondPiece(reader, type, u64Sector, size, integrity, flags, limits, pieces);
  if (!twoPieces && limits.nClusterBytes > static_cast<u32>(m_nBytesPerSector) && m_bifragLimits.nClusterBytes == 0) {
    // Written before the volume was made (another file system, another
    // cluster size): every sector boundary.
    limits.nClusterBytes = 0;
    twoPieces = FindSecondPiece(reader, type, u64Sector, size, integrity, flags, limits, pieces);
  }
  if (twoPieces) {
    integrity = pieces.nIntegrity;
    flags = static_cast<u8>((flags & ~(RESULT_FLAG_CHECK_PENDING | RESULT_FLAG_LENGTH_CAPPED)) | RESULT_FLAG_TWO_PIECES);
    size = pieces.u64Size;
    firstPiece = pieces.u64FirstPieceBytes;
    m_carved.push_back(BIFRAG_RANGE{pieces.u64SecondPieceSector,
                                    (size - firstPiece + m_nBytesPerSector - 1) / m_nBytesPerSector});
  }
  m_carved.push_back(BIFRAG_RANGE{u64Sector, (firstPiece + m_nBytesPerSector - 1) / m_nBytesPerSector});
  // The pass goes up the disk and a search looks only past the file it
  // starts from: ranges that end before this sector are no use again, and
  // dropping them keeps the list as short as the files around the pass.
  if (m_carved.size() >= 1024 && m_carved.size() % 1024 == 0)
    m_carved.erase(std::remove_if(m_carved.begin(), m_carved.end(),
                                  [u64Sector](const BIFRAG_RANGE& r) { return r.u64FirstSector + r.u64SectorCount <= u64Sector; }),
                   m_carved.end());
  if (m_pResultFileManager) {
    _FILE_NODE_* node = m_pResultFileManager->CreateFileNode(sizeof(_FILE_NODE_));
    if (node) {
      std::memset(node, 0, sizeof(_FILE_NODE_));
      node->wcDrive = m_wcDrive;
      node->nEngineType = ENGINE_FILE_TYPE;
      node->bHealth = 1;
      node->nIntegrity = integrity;
      node->nResultFlags = flags;
      if (flags & RESULT_FLAG_TWO_PIECES) {
        node->nClusterNO = static_cast<u32>(firstPiece / m_nBytesPerSector);
        node->u64DataStartSector = pieces.u64SecondPieceSector;
      }
      node->nFileIndex = m_pResultFileManager->GetFileIndex();
      node->nClusterBytes = 0xFFFFFFFFu;
      node->u64FileSize = size;
      node->u64RecordSector = u64Sector;
      CopyNameToField(node->szFileName, name);
      m_pResultFileManager->AddChildren(0, 0, node->nFileIndex, 0, nullptr);
      if ((flags & RESULT_FLAG_CHECK_PENDING) && m_pPending && !m_pPending->Offer(*node)) {
        // The checking thread has its hands full: this one is checked here,
        // beside it, rather than after the pass.
        _FILE_NODE_ checked = *node;
        ResolveCheck(m_DiskReader, m_nBytesPerSector, checked);
        if (!(checked.nResultFlags & RESULT_FLAG_CHECK_PENDING))
          KeepResolved(*node, checked.nIntegrity, checked.nResultFlags);
      }
      CARVE_METADATA meta;
      if (CFileTypeJudge::ReadMetadata(type, pReader, nBytesPerSector, u64Sector, size, meta))
        KeepMetadata(node->nFileIndex, u64Sector, meta);
    }
  }
  // Only the first piece is passed over: a file stored whole in the gap is still found.
  u64SkipSectors = CFileTypeJudge::GetSkipSectors(type, firstPiece, m_nBytesPerSector);
  ++u64FileCount;
  return 0;
}

bool CFileTypeRecovery::FindSecondPiece(CDiskReader* pReader, EXTEND_NAME_TYPE type, u64 u64Sector, u64 u64Size, u8 nIntegrity, u8 nFlags,
                                        const BIFRAG_LIMITS& limits, BIFRAG_PIECES& pieces) {
  if (!CFileTypeJudge::ChecksEnabled() || (nFlags & RESULT_FLAG_UNREADABLE)) return false;
  if (CMp4Rebuild::Supports(type)) {
    // A video whose samples fail where its tables put them (or whose movie
    // box is not where its media data ends) is looked for in two pieces.
    if (nIntegrity != INTEGRITY_BROKEN && nIntegrity != INTEGRITY_PARTIAL && !(nFlags & RESULT_FLAG_LENGTH_CAPPED))
      return false;
    bool certain = false;
    return CMp4Rebuild::Reassemble(pReader, m_nBytesPerSector, u64Sector, u64Size, type, m_carved,
                                   limits, pieces, certain);
  }
  if (!CBifragment::Supports(type)) return false;
  // TORVANE_TWO_PIECE_JPEG=0 turns the search off for every type (to measure its cost).
  const char* on = std::getenv("TORVANE_TWO_PIECE_JPEG");
  if (on && std::strcmp(on, "0") == 0) return false;
  // A check put off for its cost is not run now: only a break the bytes
  // show without decoding starts the search.
  const bool pending = (nFlags & RESULT_FLAG_CHECK_PENDING) != 0;
  if (!pending && nIntegrity != INTEGRITY_BROKEN && nIntegrity != INTEGRITY_PARTIAL &&
      !(nFlags & RESULT_FLAG_LENGTH_CAPPED))
    return false;
  if (nIntegrity == INTEGRITY_VERIFIED) return false;
  return CBifragment::Reassemble(pReader, m_nBytesPerSector, u64Sector, u64Size, type, pending, m_carved,
                                 limits, pieces);
}

int CFileTypeRecovery::GetChildrenFileNode(_FILE_NODE_* pParent, unsigned int nLevel, FILE_NODE_VECTOR& out) {
  if (!m_pResultFileManager) return 0;
  m_pResultFileManager->FlushBufToFile();
  if (pParent || nLevel != 0) return 0;  // carved files have no folders
  return CStoredEngine::GetChildrenFileNode(nullptr, 0, out);  // with the checks put off during the pass
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

int CFileTypeRecovery::GetFileNodeParentDirPath(_FILE_NODE_*, wchar_t*, int) { return 0; }
int CFileTypeRecovery::GetUnUsedSectorCount(u64&, u64&) { return 0; }
int CFileTypeRecovery::BuildBitMapInfo() { return 0; }

void CFileTypeRecovery::ResolvePendingCheck(_FILE_NODE_& node) { ResolveCheck(m_DiskReader, m_nBytesPerSector, node); }

void CFileTypeRecovery::ResolveCheck(CDiskReader& reader, int nBytesPerSector, _FILE_NODE_& node) {
  u8 flags = static_cast<u8>(node.nResultFlags & ~RESULT_FLAG_CHECK_PENDING);
  const char* dot = std::strrchr(node.szFileName, '.');
  const int row = dot ? CFileTypeJudge::FindRowByExtension(dot + 1) : -1;
  int integrity = INTEGRITY_UNVERIFIED;
  if (row >= 0) {
    CARVE_CONTEXT ctx = CFileTypeJudge::MakeContext(&reader, nBytesPerSector, node.u64RecordSector);
    SECTOR_RUN runs[2];
    if (CarvedPieces(node, runs, nBytesPerSector) == 2) {
      ctx.u64FirstPieceBytes = runs[0].u64Bytes;
      ctx.u64SecondPieceSector = runs[1].u64FirstSector;
    }
    ctx.bLengthIsCap = (flags & RESULT_FLAG_LENGTH_CAPPED) != 0;
    u64 size = node.u64FileSize;
    integrity = CFileTypeJudge::CheckIntegrity(ctx, static_cast<int>(CFileTypeJudge::szExtendNameAndType[row].nType),
                                               size, false, flags);
    if ((flags & RESULT_FLAG_LENGTH_CAPPED) && integrity == INTEGRITY_VERIFIED) integrity = INTEGRITY_UNVERIFIED;
  }
  node.nIntegrity = static_cast<u8>(integrity);
  node.nResultFlags = static_cast<u8>(flags & ~RESULT_FLAG_CHECK_PENDING);
}

void CFileTypeRecovery::StartPendingChecks(int nBytesPerSector) {
  if (!CFileTypeJudge::ChecksEnabled() || m_DiskReader.GetFd() < 0 || !CARVE_CONTEXT::IsUsableSectorSize(nBytesPerSector))
    return;
  const int ss = nBytesPerSector;
  m_pPending.reset(new CPendingChecks(
      m_DiskReader, [ss](CDiskReader& reader, _FILE_NODE_& node) { ResolveCheck(reader, ss, node); },
      [this](const _FILE_NODE_& node, u8 nIntegrity, u8 nFlags) { KeepResolved(node, nIntegrity, nFlags); }));
}

void CFileTypeRecovery::FinishPendingChecks(bool bDrain) {
  if (m_pPending) m_pPending->Finish(bDrain);
  m_pPending.reset();
}

int CFileTypeRecovery::CopyFileData(_FILE_NODE_* pNode, IRecoverySink& sink) {
  if (!pNode) return STATUS_INVALID_PARAMETER;
  SECTOR_RUN runs[2];
  const int n = CarvedPieces(*pNode, runs, m_nBytesPerSector);
  for (int i = 0; i < n; ++i) {
    const int status = CopySectorsToSink(m_DiskReader, runs[i].u64FirstSector, runs[i].u64Bytes, m_nBytesPerSector, sink);
    if (status != 0 || sink.Wanted() == 0) return status;
  }
  return 0;
}


void CFileTypeRecovery::KeepMetadata(u32 nFileIndex, u64 u64Sector, const CARVE_METADATA& meta) {
  _RESULT_META_ rec;
  std::memset(&rec, 0, sizeof(rec));
  rec.nFileIndex = nFileIndex;
  rec.u64RecordSector = u64Sector;
  rec.nCaptured = meta.nTakenTime;
  rec.nWidth = meta.nWidth;
  rec.nHeight = meta.nHeight;
  static_assert(sizeof(rec.szTitle) == sizeof(meta.szTitle) && sizeof(rec.szArtist) == sizeof(meta.szArtist) &&
                    sizeof(rec.szMake) == sizeof(meta.szMake) && sizeof(rec.szModel) == sizeof(meta.szModel),
                "the side table keeps the reader's fields whole");
  std::memcpy(rec.szTitle, meta.szTitle, sizeof(rec.szTitle));
  std::memcpy(rec.szArtist, meta.szArtist, sizeof(rec.szArtist));
  std::memcpy(rec.szMake, meta.szMake, sizeof(rec.szMake));
  std::memcpy(rec.szModel, meta.szModel, sizeof(rec.szModel));
  m_MetaFile.Append(rec);
}

int CFileTypeRecovery::LoadMetadata(RESULT_META_MAP& out) {
  out.clear();
  const std::string path = MetadataPath();
  return path.empty() ? 0 : CResultMetaFile::ReadAll(path, out);
}

std::string CFileTypeRecovery::MetadataPath() {
  if (!m_pResultFileManager) return std::string();
  m_MetaFile.Flush();
  return CResultMetaFile::PathFor(m_pResultFileManager->GetNodeFilePath());
}

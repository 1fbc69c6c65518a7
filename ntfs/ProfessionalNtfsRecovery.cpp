#include "ntfs/ProfessionalNtfsRecovery.h"


#include <errno.h>
#include <strings.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "disk/BootSector.h"
#include "engine/ByteOrder.h"
#include "engine/DiskMap.h"
#include "engine/TextUtil.h"
#include "store/ScanResultFileManager.h"

namespace {

constexpr u32 kRecordSize = 1024;
constexpr u32 kSectorsPerRecord = 2;
constexpr u32 kBootReadBytes = 4096;

// Cluster sizes a learnt guess may take: 512 bytes to 2 MiB, as NTFS allows.
bool IsSaneSectorPerCluster(u64 v) { return v >= 1 && v <= 4096 && (v & (v - 1)) == 0; }

}  // namespace

CProfessionalNtfsRecovery::CProfessionalNtfsRecovery()
    : m_nDiskNo(-1),
      m_u64StartSector(0),
      m_u64SectorCount(0),
      m_wcDrive(0),
      m_nSectorPerFileRecord(kSectorsPerRecord),
      m_nEngineType(ENGINE_PROFESSIONAL_NTFS),
      m_nSectorPerCluster(8) {
  m_nPercent = 90;
  m_nBytesPerSector = 512;
  m_nFileRecordSize = kRecordSize;
}

CProfessionalNtfsRecovery::~CProfessionalNtfsRecovery() {}

// ---------------------------------------------------------------------------
// Init

int CProfessionalNtfsRecovery::Init(int nDiskNo, i64 u64StartSector, i64 u64SectorCount, wchar_t wcDrive) {
  m_nDiskNo = nDiskNo;
  m_u64StartSector = static_cast<u64>(u64StartSector);
  m_u64SectorCount = static_cast<u64>(u64SectorCount);
  m_wcDrive = wcDrive;
  int st = m_DiskReader.Init(nDiskNo, m_u64SectorCount + m_u64StartSector);
  return st != 0 ? st : LoadVolumeStart();
}

int CProfessionalNtfsRecovery::Init(wchar_t* pPath, wchar_t wcDrive) {
  if (!pPath) return STATUS_INVALID_PARAMETER;
  std::string path = WideToUtf8(pPath);
  m_nDiskNo = -1;
  m_u64StartSector = 0;
  m_wcDrive = wcDrive;
  int st = m_DiskReader.InitWhole(path.c_str(), &m_u64SectorCount);
  if (st != 0) return st;
  return m_u64SectorCount == 0 ? EINVAL : LoadVolumeStart();
}

// The geometry guesses and the MFT a readable boot sector at the range's
// start (or its backup at the volume's end) points to.
int CProfessionalNtfsRecovery::LoadVolumeStart() {
  m_nSectorPerCluster = static_cast<i32>(GetDefaultNtfsSectorPerCluster(m_u64SectorCount, 512));
  m_NtfsParse.Init(512);
  m_u64DataFirstSector = m_u64StartSector;
  m_u64DataEndSector = m_u64StartSector + m_u64SectorCount;
  unsigned char boot[kBootReadBytes];
  int st = ReadVolumeStart(m_DiskReader.GetFd(), m_u64StartSector, m_u64SectorCount, BOOT_NTFS, boot, sizeof(boot));
  if (st != 0) return st;
  m_mapMftRunList.clear();
  m_mapMftSectorPerCluster.clear();
  if (IsNtfs(boot, sizeof(boot))) {
    u32 spc = NtfsClusterBytes(boot, sizeof(boot)) / 512;
    u64 mftCluster = GetU64LE(boot, sizeof(boot), 0x30);
    u64 rel;
    if (IsSaneSectorPerCluster(spc) && !__builtin_mul_overflow(mftCluster, static_cast<u64>(spc), &rel) &&
        rel < m_u64SectorCount) {
      // A readable boot sector is a better first guess than the size rule.
      m_nSectorPerCluster = static_cast<i32>(spc);
      unsigned char rec[NTFS_RECORD_READ_BYTES];
      if (ReadRecordAt(m_u64StartSector + rel, rec) == 0 && BytesEqual(rec, kRecordSize, 0, "FILE", 4)) {
        m_NtfsParse.FileRecordFixUp(rec);
        RegisterMft(rec, m_u64StartSector + rel, static_cast<i32>(spc));
      }
    }
  }
  return 0;
}

void CProfessionalNtfsRecovery::InitProfessionalScan(wchar_t* pName) {
  m_vecSpecialDir.clear();
  m_setSpecialDir.clear();
  m_mapDirState.clear();
  m_pScanResultFileManager.reset(new CScanResultFileManager());
  if (pName && pName[0]) {
    m_strResultSetName = WideToUtf8(pName);
    m_pScanResultFileManager->Init(pName);
    return;
  }
  SYSTEMTIME t;
  memset(&t, 0, sizeof(t));
  rsb_getLocalTime(&t);
  char name[128];
  snprintf(name, sizeof(name), "Pro_Ntfs_%lld_%d%d%d%d%2d", static_cast<long long>(m_u64StartSector), t.wYear,
           t.wMonth, t.wDay, t.wHour, t.wMinute);
  m_strResultSetName = name;
  RemoveResultSet(name);
  std::wstring wide = Utf8ToWide(name);
  m_pScanResultFileManager->Init(wide.c_str());
}

// ---------------------------------------------------------------------------
// MFTs, volumes and cluster sizes

int CProfessionalNtfsRecovery::ReadRecordAt(u64 u64Sector, unsigned char* pBuf) {
  unsigned int got = 0;
  int st = m_DiskReader.ReadData(pBuf, static_cast<int>(kSectorsPerRecord), static_cast<i64>(u64Sector), 512, &got);
  if (st == 0 && got < kSectorsPerRecord) st = STATUS_SHORT_READ;
  return st;
}

int CProfessionalNtfsRecovery::GetFileRecordSectorPerClusterByRecordBuf(const unsigned char* pRecord,
                                                                        i32& nSectorPerCluster) {
  if (!BytesEqual(pRecord, kRecordSize, 0, "FILE", 4)) return STATUS_INVALID_PARAMETER;
  CNtfsAttrIterator it(pRecord, kRecordSize);
  NTFS_ATTR a;
  while (it.Next(a)) {
    // Extents listed elsewhere would not add up to the allocated size.
    if (a.nType == NTFS_ATTR_ATTRIBUTE_LIST) return 0;
    if (a.nType != NTFS_ATTR_DATA) continue;
    if (!a.bNonResident || a.u64LowestVcn != 0) return 0;
    std::vector<__RUNLIST__> runs;
    m_NtfsParse.GetRunList(pRecord + a.nOffset, kRecordSize - a.nOffset, runs);
    u64 clusters = GetRunListClusterCount(runs);
    if (clusters == 0 || clusters == UINT64_MAX) return 0;
    u64 guess = (a.u64AllocatedSize / 512) / clusters;
    // Only a guess that accounts for the allocated size exactly is believed:
    // one odd record must not throw every later file off.
    u64 check;
    if (IsSaneSectorPerCluster(guess) && !__builtin_mul_overflow(clusters, guess * 512, &check) &&
        check == a.u64AllocatedSize)
      nSectorPerCluster = static_cast<i32>(guess);
    return 0;
  }
  return it.IsCorrupt() ? STATUS_INVALID_PARAMETER : 0;
}

void CProfessionalNtfsRecovery::RegisterMft(const unsigned char* pRecord, u64 u64Sector, i32 nBootSectorPerCluster) {
  NTFS_ATTR a;
  if (!FindNtfsAttribute(pRecord, kRecordSize, NTFS_ATTR_DATA, a, nullptr, nullptr) || !a.bNonResident) return;
  std::vector<__RUNLIST__> runs;
  m_NtfsParse.GetRunList(pRecord + a.nOffset, kRecordSize - a.nOffset, runs);
  if (runs.empty()) return;
  i32 spc = nBootSectorPerCluster > 0 ? nBootSectorPerCluster : m_nSectorPerCluster;
  i32 learnt = 0;
  GetFileRecordSectorPerClusterByRecordBuf(pRecord, learnt);
  if (learnt > 0) spc = learnt;
  m_mapMftRunList[u64Sector] = runs;
  m_mapMftSectorPerCluster[u64Sector] = static_cast<u32>(spc);
}

const std::vector<__RUNLIST__>* CProfessionalNtfsRecovery::FindKnownMft(u64 u64Sector, u32 nRecordNO,
                                                                        u64& u64VolumeStart, u32& nSectorPerCluster) {
  for (const auto& entry : m_mapMftRunList) {
    const std::vector<__RUNLIST__>& runs = entry.second;
    if (runs.empty()) continue;
    auto k = m_mapMftSectorPerCluster.find(entry.first);
    u32 spc = k != m_mapMftSectorPerCluster.end() ? k->second : static_cast<u32>(m_nSectorPerCluster);
    u64 rel;
    if (!GetRecordRelativeSector(runs, nRecordNO, kSectorsPerRecord, spc, rel)) continue;
    // Record 0 of this MFT sits at entry.first, so the volume starts that
    // many clusters before it.
    i64 first = runs[0].i64RunOffset;
    u64 base;
    if (first < 0 || __builtin_mul_overflow(static_cast<u64>(first), static_cast<u64>(spc), &base) ||
        base > entry.first)
      continue;
    u64 volume = entry.first - base;
    if (rel + volume == u64Sector) {
      u64VolumeStart = volume;
      nSectorPerCluster = spc;
      return &runs;
    }
  }
  return nullptr;
}

u64 CProfessionalNtfsRecovery::GetSpecialFileRecordPartitionStartSector(u64 u64Sector, u32 nRecordNO,
                                                                        u32& nSectorPerCluster,
                                                                        std::vector<__RUNLIST__>& vecRuns) {
  u64 volume = 0;
  u32 spc = 0;
  if (const std::vector<__RUNLIST__>* runs = FindKnownMft(u64Sector, nRecordNO, volume, spc)) {
    vecRuns.insert(vecRuns.end(), runs->begin(), runs->end());
    nSectorPerCluster = spc;
    return volume;
  }
  // No known MFT: assume one that is contiguous and holds this record where
  // it was found, in a volume starting at the scanned range's start.
  nSectorPerCluster = static_cast<u32>(m_nSectorPerCluster);
  __RUNLIST__ synthetic;
  synthetic.u64RunLength = 0;
  u64 back = static_cast<u64>(nRecordNO) * kSectorsPerRecord;
  if (u64Sector >= m_u64StartSector && u64Sector - m_u64StartSector >= back)
    synthetic.i64RunOffset = static_cast<i64>((u64Sector - m_u64StartSector - back) / nSectorPerCluster);
  else
    synthetic.i64RunOffset = -1;  // cannot lie in this range: its relatives will not be placed
  vecRuns.push_back(synthetic);
  return m_u64StartSector;
}

// ---------------------------------------------------------------------------
// Records

int CProfessionalNtfsRecovery::ParseNtfsFileRecord(unsigned char* pRecord, u64 u64Sector) {
  if (!pRecord) return STATUS_INVALID_PARAMETER;
  // Directories come in through the directory pass.
  if (GetU16LE(pRecord, kRecordSize, 0x16) & NTFS_RECORD_IS_DIRECTORY) return 0;
  if (!BytesEqual(pRecord, kRecordSize, 0, "FILE", 4)) return -1;
  unsigned char rec[kRecordSize];
  memcpy(rec, pRecord, kRecordSize);
  return ParseProfessionalRecordInfo(rec, u64Sector, 0, 0);
}

void CProfessionalNtfsRecovery::AddLostFolder(u32 nRecordNO) {
  _FILE_NODE_ node;
  memset(&node, 0, sizeof(node));
  node.wcDrive = m_wcDrive;
  node.nEngineType = m_nEngineType;
  node.bIsDir = 1;
  node.bHealth = 1;
  node.nClusterNO = nRecordNO;
  node.nClusterBytes = static_cast<u32>(512 * m_nSectorPerCluster);
  snprintf(node.szFileName, sizeof(node.szFileName), "LostFolder%u", nRecordNO);
  _FILE_NODE_* slot = m_pScanResultFileManager->CreateFileNode(sizeof(_FILE_NODE_));
  if (!slot) return;
  node.nFileIndex = m_pScanResultFileManager->GetFileIndex();
  memcpy(slot, &node, sizeof(node));
  m_pScanResultFileManager->AddChildren(NTFS_ROOT_RECORD, 0, node.nFileIndex, nRecordNO, node.szFileName);
}

int CProfessionalNtfsRecovery::ParseProfessionalRecordInfo(unsigned char* pRecord, u64 u64Sector, int nMode,
                                                           u32 nRecordNO) {
  if (!m_pScanResultFileManager) return STATUS_INVALID_PARAMETER;
  const bool isRecord = BytesEqual(pRecord, kRecordSize, 0, "FILE", 4);
  if (nMode == 0 && isRecord && (GetU16LE(pRecord, kRecordSize, 0x16) & NTFS_RECORD_IS_DIRECTORY)) return 0;
  if (!isRecord) {
    if (nMode == 1) AddLostFolder(nRecordNO);
    return -1;
  }
  m_NtfsParse.FileRecordFixUp(pRecord);
  NTFS_RECORD_INFO info;
  int st = ParseNtfsRecordInfo(pRecord, kRecordSize, info);
  if (nMode == 1 && (st != 0 || !info.IsDirectory() || !info.bHasFileName)) {
    // The folder is gone, damaged or reused: its files still get a home.
    AddLostFolder(nRecordNO ? nRecordNO : info.nRecordNO);
    return st;
  }
  if (st != 0) return st;
  if (!info.bHasFileName || info.u64BaseRecord != 0) return 0;
  const u32 own = info.nRecordNO;
  if (own == 0) {
    if (nMode == 0 && strcasecmp(info.strName.c_str(), "$MFT") == 0) RegisterMft(pRecord, u64Sector, 0);
    return 0;
  }
  if (own < NTFS_FIRST_USER_RECORD) return 0;
  // Files under $Extend (record 11: $Quota, $ObjId, $Reparse, $UsnJrnl) are
  // the file system's own metadata, not anything a user lost.
  if (info.nParentNO == 11 && !info.strName.empty() && info.strName[0] == '$') return 0;

  GetFileRecordSectorPerClusterByRecordBuf(pRecord, m_nSectorPerCluster);
  u32 spc = static_cast<u32>(m_nSectorPerCluster);
  std::vector<__RUNLIST__> runs;
  u64 volume = GetSpecialFileRecordPartitionStartSector(u64Sector, own, spc, runs);

  _FILE_NODE_ node;
  memset(&node, 0, sizeof(node));
  node.wcDrive = m_wcDrive;
  node.nEngineType = m_nEngineType;
  node.bIsDir = nMode == 1 ? 1 : 0;
  node.bIsDeleted = info.IsInUse() ? 0 : 1;  // 0x16 bit 0 clear: the record was freed
  node.bHealth = 1;
  node.nClusterNO = own;
  node.nClusterBytes = 512 * spc;
  node.ftCreateTime = U64ToFileTime(info.ftCreate);
  node.ftLastWriteTime = U64ToFileTime(info.ftModify);
  node.ftLastAccessTime = U64ToFileTime(info.ftAccess);
  node.u64FileSize = nMode == 1 ? 0 : (info.bHasData ? info.u64DataSize : info.u64NameSize);
  node.u64RecordSector = u64Sector;
  node.u64VolumeStartSector = volume;
  CopyNameToField(node.szFileName, info.strName);

  u32 depth = 0;
  GetProfessionalRootParentDirIndex(info.nParentNO, volume, spc, runs, depth);
  if (nMode == 0) node.bHealth = static_cast<u32>(IsFileDataHealth(&node, spc));
  _FILE_NODE_* slot = m_pScanResultFileManager->CreateFileNode(sizeof(_FILE_NODE_));
  if (!slot) return STATUS_OUT_OF_MEMORY;
  node.nFileIndex = m_pScanResultFileManager->GetFileIndex();
  memcpy(slot, &node, sizeof(node));
  m_pScanResultFileManager->AddChildren(info.nParentNO, depth, node.nFileIndex, own,
                                        nMode == 1 ? node.szFileName : nullptr);
  if (nMode != 0) return 0;
  // The file's named streams come back as files of their own beside it.
  for (const NTFS_STREAM& stream : info.vecStreams) {
    _FILE_NODE_ sn = StreamNode(node, stream);
    sn.bHealth = static_cast<u32>(IsFileDataHealth(&sn, spc));
    slot = m_pScanResultFileManager->CreateFileNode(sizeof(_FILE_NODE_));
    if (!slot) return STATUS_OUT_OF_MEMORY;
    sn.nFileIndex = m_pScanResultFileManager->GetFileIndex();
    memcpy(slot, &sn, sizeof(sn));
    m_pScanResultFileManager->AddChildren(info.nParentNO, depth, sn.nFileIndex, own, nullptr);
  }
  return 0;
}

const CProfessionalNtfsRecovery::DIR_RECORD_STATE& CProfessionalNtfsRecovery::GetDirRecordState(u64 u64Sector) {
  auto found = m_mapDirState.find(u64Sector);
  if (found != m_mapDirState.end()) return found->second;
  DIR_RECORD_STATE state = {-1, false, 0, false, 0};
  unsigned char rec[kRecordSize];
  if (ReadRecordAt(u64Sector, rec) == 0 && BytesEqual(rec, kRecordSize, 0, "FILE", 4)) {
    m_NtfsParse.FileRecordFixUp(rec);
    NTFS_RECORD_INFO info;
    int st = ParseNtfsRecordInfo(rec, kRecordSize, info);
    state.nStatus = st;
    state.bIsDir = info.IsDirectory();
    state.nOwnNO = info.nRecordNO;
    state.bHasParent = st == 0 && info.bHasFileName;
    state.nParentNO = info.nParentNO;
  }
  return m_mapDirState.emplace(u64Sector, state).first->second;
}

int CProfessionalNtfsRecovery::GetProfessionalRootParentDirIndex(u32 nDirNO, u64 u64VolumeStart,
                                                                 u32 nSectorPerCluster,
                                                                 const std::vector<__RUNLIST__>& vecRuns,
                                                                 u32& nDepth) {
  nDepth = 0;
  u32 visited[64];
  size_t nVisited = 0;
  std::unordered_set<u32> more;
  u32 cur = nDirNO;
  while (cur != NTFS_ROOT_RECORD && nDepth < NTFS_MAX_DIR_DEPTH) {
    bool seen = false;
    for (size_t i = 0; i < nVisited && !seen; ++i) seen = visited[i] == cur;
    if (!seen && nVisited == 64) seen = !more.insert(cur).second;
    if (seen) break;  // a cycle of parent references ends here
    if (nVisited < 64) visited[nVisited++] = cur;
    if (m_setSpecialDir.insert(cur).second) {
      __SPECIAL_RECOVERY_DIR__ dir;
      dir.nRecordNO = cur;
      dir.nSectorPerCluster = nSectorPerCluster;
      dir.u64PartitionStartSector = u64VolumeStart;
      dir.vecMftRunList = vecRuns;
      m_vecSpecialDir.push_back(std::move(dir));
    }
    ++nDepth;
    u64 rel;
    if (!GetRecordRelativeSector(vecRuns, cur, kSectorsPerRecord, nSectorPerCluster, rel)) return -1;
    const DIR_RECORD_STATE& s = GetDirRecordState(u64VolumeStart + rel);
    if (s.nStatus != 0) return s.nStatus;
    // Only the very folder asked for: a place now holding another record
    // ends the walk here.
    if (!s.bIsDir || s.nOwnNO != cur || !s.bHasParent) return 0;
    cur = s.nParentNO;
  }
  return 0;
}

int CProfessionalNtfsRecovery::ParseProfessionalRecordVec() {
  if (!m_pScanResultFileManager) return 0;
  int status = 0;
  unsigned char rec[kRecordSize];
  // Entries appended while this runs (their own parents) are visited too.
  for (size_t i = 0; i < m_vecSpecialDir.size(); ++i) {
    const __SPECIAL_RECOVERY_DIR__ dir = m_vecSpecialDir[i];  // a copy: the list may grow
    u64 rel = 0;
    bool placed = GetRecordRelativeSector(dir.vecMftRunList, dir.nRecordNO, kSectorsPerRecord,
                                          dir.nSectorPerCluster, rel);
    u64 sector = dir.u64PartitionStartSector + rel;
    // A folder we cannot read becomes a lost folder; the pass goes on.
    if (!placed || ReadRecordAt(sector, rec) != 0) memset(rec, 0, sizeof(rec));
    status = ParseProfessionalRecordInfo(rec, sector, 1, dir.nRecordNO);
  }
  m_pScanResultFileManager->FlushBufToFile();
  return status;
}

// ---------------------------------------------------------------------------
// Runlists and data

int CProfessionalNtfsRecovery::ReadVolumeRecord(u64 u64BaseSector, u32 nBaseRecordNO, u32 nRecordNO,
                                                unsigned char* pBuf) {
  u64 volume = 0;
  u32 spc = 0;
  const std::vector<__RUNLIST__>* runs = FindKnownMft(u64BaseSector, nBaseRecordNO, volume, spc);
  if (!runs) return NTFS_NO_DATA;
  u64 rel;
  if (!GetRecordRelativeSector(*runs, nRecordNO, kSectorsPerRecord, spc, rel)) return NTFS_NO_DATA;
  return ReadRecordAt(volume + rel, pBuf);
}

int CProfessionalNtfsRecovery::GetRunListInfo(u64 u64RecordSector, int nAttrType, std::vector<__RUNLIST__>& out,
                                              u64 u64StreamKey) {
  // The volume (for an attribute list kept in clusters) comes from a known
  // MFT when the record's own number places it there.
  unsigned char rec[kRecordSize];
  u64 volume = m_u64StartSector;
  u32 spc = static_cast<u32>(m_nSectorPerCluster);
  if (ReadRecordAt(u64RecordSector, rec) == 0) {
    u32 own = GetU32LE(rec, kRecordSize, 0x2C);
    FindKnownMft(u64RecordSector, own, volume, spc);
  }
  return ReadRecordRunList(u64RecordSector, static_cast<u32>(nAttrType), true, NTFS_NO_DATA, 512 * spc, volume, out,
                           u64StreamKey);
}

int CProfessionalNtfsRecovery::GetFileNodeRunListInfo(_FILE_NODE_* pNode, int nAttrType,
                                                      std::vector<__RUNLIST__>& out) {
  if (!pNode) return STATUS_INVALID_PARAMETER;
  return ReadRecordRunList(pNode->u64RecordSector, static_cast<u32>(nAttrType), true, NTFS_NO_DATA,
                           pNode->nClusterBytes, pNode->u64VolumeStartSector, out,
                           nAttrType == NTFS_ATTR_DATA ? pNode->u64DataStartSector : 0);
}

int CProfessionalNtfsRecovery::GetFileNodeAttr0x80Data(_FILE_NODE_* pNode, unsigned char* pBuf, unsigned int& nLen) {
  nLen = 0;
  if (!pNode) return NTFS_NOT_RESIDENT;
  return ReadResidentData(pNode->u64RecordSector, pNode->u64DataStartSector, pBuf, nLen);
}

int CProfessionalNtfsRecovery::LookupResidentData(_FILE_NODE_* pNode, unsigned char* pBuf, unsigned int& nLen) {
  return GetFileNodeAttr0x80Data(pNode, pBuf, nLen);
}

int CProfessionalNtfsRecovery::LookupDataRunList(_FILE_NODE_* pNode, std::vector<__RUNLIST__>& vecRuns) {
  return GetFileNodeRunListInfo(pNode, NTFS_ATTR_DATA, vecRuns);
}

int CProfessionalNtfsRecovery::LookupHealthRunList(_FILE_NODE_* pNode, std::vector<__RUNLIST__>& vecRuns) {
  return GetFileNodeRunListInfo(pNode, NTFS_ATTR_DATA, vecRuns);
}

int CProfessionalNtfsRecovery::IsFileDataHealth(_FILE_NODE_* pNode, unsigned int) { return DoIsFileDataHealth(pNode); }

// ---------------------------------------------------------------------------
// Browsing


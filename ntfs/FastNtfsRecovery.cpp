#include "ntfs/FastNtfsRecovery.h"


#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <new>

#include "disk/BootSector.h"
#include "engine/ByteOrder.h"
#include "engine/DiskMap.h"
#include "engine/FaultGuard.h"
#include "engine/TextUtil.h"
#include "store/ScanResultFileManager.h"

namespace {

constexpr u32 kBootReadBytes = 4096;
// The bitmap of the largest volume we accept (2^35 clusters) is 4 GiB; a
// $Bitmap claiming more than that is damage.
constexpr u64 kMaxBitmapBytes = 1ull << 32;

bool IsPowerOfTwo(u64 v) { return v != 0 && (v & (v - 1)) == 0; }

}  // namespace

CFastNtfsRecovery::CFastNtfsRecovery()
    : m_u64StartSector(0),
      m_u64SectorCount(0),
      m_u64MftStartSector(0),
      m_wcDrive(0),
      m_nSectorPerFileRecord(2),
      m_nSectorPerCluster(0),
      m_nRecordBufSize(0),
      m_u64BitMapBytes(0),
      m_nEngineType(ENGINE_FAST_NTFS),
      m_nStartTick(0),
      m_nLastEstimateTick(0),
      m_u64TotalSectors(0),
      m_u64DoneSectors(0),
      m_nRemainSeconds(-1) { m_nPercent = 100; }

CFastNtfsRecovery::~CFastNtfsRecovery() {}

// ---------------------------------------------------------------------------
// Init

int CFastNtfsRecovery::InitGeometry(const unsigned char* pBoot, size_t nBootLen) {
  // 0x0B: bytes per sector (0 read as 512).
  u32 bps = GetU16LE(pBoot, nBootLen, 0x0B);
  if (bps == 0) bps = 512;
  if (!IsPowerOfTwo(bps) || bps < 512 || bps > 4096) return STATUS_INVALID_PARAMETER;
  const u64 clusterBytes = NtfsClusterBytes(pBoot, nBootLen);
  if (clusterBytes == 0) return STATUS_INVALID_PARAMETER;
  // Internally every sector number is a 512-byte sector; the real sector size
  // only sets the record size and the fix-up stride.
  m_nSectorPerFileRecord = bps == 512 ? 2 : 1;
  m_nFileRecordSize = static_cast<u32>(m_nSectorPerFileRecord) * bps;
  m_nSectorPerCluster = static_cast<i32>(clusterBytes / 512);
  m_NtfsParse.Init(static_cast<int>(bps));
  u64 mftCluster = GetU64LE(pBoot, nBootLen, 0x30);
  u64 rel;
  if (__builtin_mul_overflow(mftCluster, static_cast<u64>(m_nSectorPerCluster), &rel) || rel >= m_u64SectorCount)
    return STATUS_INVALID_PARAMETER;
  m_u64MftStartSector = rel + m_u64StartSector;
  return 0;
}

int CFastNtfsRecovery::Init(int nDiskNo, i64 u64StartSector, i64 u64SectorCount, wchar_t wcDrive) {
  m_u64StartSector = static_cast<u64>(u64StartSector);
  m_u64SectorCount = static_cast<u64>(u64SectorCount);
  m_wcDrive = wcDrive;
  int st = m_DiskReader.Init(nDiskNo, m_u64SectorCount + m_u64StartSector);
  return st != 0 ? st : LoadVolumeStart();
}

int CFastNtfsRecovery::Init(wchar_t* pPath, wchar_t wcDrive) {
  if (!pPath) return STATUS_INVALID_PARAMETER;
  std::string path = WideToUtf8(pPath);
  m_u64StartSector = 0;
  m_wcDrive = wcDrive;
  int st = m_DiskReader.InitWhole(path.c_str(), &m_u64SectorCount);
  if (st != 0) return st;
  return m_u64SectorCount == 0 ? EINVAL : LoadVolumeStart();
}

// Reads the boot sector at the range's start, the geometry and the MFT's own
// runlist (the backup at the volume's end when the first sector is unreadable).
int CFastNtfsRecovery::LoadVolumeStart() {
  unsigned char boot[kBootReadBytes];
  int st = ReadVolumeStart(m_DiskReader.GetFd(), m_u64StartSector, m_u64SectorCount, BOOT_NTFS, boot, sizeof(boot));
  if (st != 0) return st;
  m_u64DataFirstSector = m_u64StartSector;
  m_u64DataEndSector = m_u64StartSector + m_u64SectorCount;
  m_vecMftRunList.clear();
  if (InitGeometry(boot, sizeof(boot)) == 0) {
    m_nRecordBufSize = m_nFileRecordSize * 1024;
    m_pRecordBuf.reset(new (std::nothrow) unsigned char[m_nRecordBufSize]);
    if (!m_pRecordBuf) return STATUS_OUT_OF_MEMORY;
    GetRunListInfo(static_cast<i64>(m_u64MftStartSector), NTFS_ATTR_DATA, m_vecMftRunList);
  }
  return 0;
}

// ---------------------------------------------------------------------------
// Records

u64 CFastNtfsRecovery::RecordSectorOf(u32 nRecordNO) {
  u64 rel = 0;
  if (m_nSectorPerCluster <= 0 ||
      !GetRecordRelativeSector(m_vecMftRunList, nRecordNO, m_nFileRecordSize / 512,
                               static_cast<u32>(m_nSectorPerCluster), rel))
    return m_u64StartSector;
  return m_u64StartSector + rel;
}

int CFastNtfsRecovery::GetFileRecordBuf(unsigned int nRecordNO, unsigned char* pBuf) {
  if (!pBuf || m_nFileRecordSize == 0) return STATUS_INVALID_PARAMETER;
  u64 rel = 0;
  if (m_nSectorPerCluster <= 0 ||
      !GetRecordRelativeSector(m_vecMftRunList, nRecordNO, m_nFileRecordSize / 512,
                               static_cast<u32>(m_nSectorPerCluster), rel) ||
      rel >= m_u64SectorCount)
    return STATUS_INVALID_PARAMETER;
  unsigned int got = 0;
  // Only the record: one near the volume's end is not refused by the limit.
  return m_DiskReader.ReadData(pBuf, static_cast<int>(m_nFileRecordSize / 512),
                               static_cast<i64>(m_u64StartSector + rel), 512, &got);
}

int CFastNtfsRecovery::ReadVolumeRecord(u64, u32, u32 nRecordNO, unsigned char* pBuf) {
  return GetFileRecordBuf(nRecordNO, pBuf);
}

int CFastNtfsRecovery::GetRunListInfo(i64 u64RecordSector, int nAttrType, std::vector<__RUNLIST__>& out,
                                      u64 u64StreamKey) {
  return ReadRecordRunList(static_cast<u64>(u64RecordSector), static_cast<u32>(nAttrType), true, NTFS_NO_DATA,
                           static_cast<u32>(512 * m_nSectorPerCluster), m_u64StartSector, out, u64StreamKey);
}

int CFastNtfsRecovery::GetAttr0x80Data(i64 u64RecordSector, unsigned char* pBuf, unsigned int& nLen) {
  return ReadResidentData(static_cast<u64>(u64RecordSector), 0, pBuf, nLen);
}

int CFastNtfsRecovery::GetBitMapRealBytesSize(i64 u64RecordSector, u64& u64Size) {
  u64Size = 0;
  if (m_nFileRecordSize == 0 || m_nFileRecordSize > NTFS_RECORD_READ_BYTES) return STATUS_INVALID_PARAMETER;
  unsigned char rec[NTFS_RECORD_READ_BYTES];
  unsigned int got = 0;
  int st = m_DiskReader.ReadData(rec, static_cast<int>(m_nFileRecordSize / 512), u64RecordSector, 512, &got);
  if (st != 0) return st;
  if (!BytesEqual(rec, m_nFileRecordSize, 0, "FILE", 4)) return -1;
  m_NtfsParse.FileRecordFixUp(rec);
  NTFS_ATTR a;
  if (!FindNtfsAttribute(rec, m_nFileRecordSize, NTFS_ATTR_DATA, a, nullptr, nullptr))
    return STATUS_INVALID_PARAMETER;
  u64Size = a.bNonResident ? a.u64RealSize : a.nContentLength;
  return 0;
}

// ---------------------------------------------------------------------------
// Scan

int CFastNtfsRecovery::ScanDevice(wchar_t* pName) {
  if (pName) {
    m_pScanResultFileManager.reset(new CScanResultFileManager());
    m_strResultSetName = WideToUtf8(pName);
    return m_pScanResultFileManager->Init(pName);
  }
  m_vecDirIndex.clear();
  m_setDirIndex.clear();
  m_mapDirState.clear();
  m_pScanResultFileManager.reset(new CScanResultFileManager());
  SYSTEMTIME t;
  memset(&t, 0, sizeof(t));
  rsb_getLocalTime(&t);
  char name[128];
  snprintf(name, sizeof(name), "Fast_%lld_%d%d%d%d%2d", static_cast<long long>(m_u64StartSector), t.wYear,
           t.wMonth, t.wDay, t.wHour, t.wMinute);
  m_strResultSetName = name;
  RemoveResultSet(name);
  std::wstring wide = Utf8ToWide(name);
  int st = m_pScanResultFileManager->Init(wide.c_str());
  if (st != 0) return st;
  return FastScanDevice();
}

int CFastNtfsRecovery::ReportProgress(int nProgress) {
  if (!m_pScanCallBack) return 0;
  return m_pScanCallBack(m_pCallBackParam, nProgress, m_nPercent, m_nRemainSeconds, 0, 0, 0, nullptr);
}

int CFastNtfsRecovery::FastScanDevice() {
  m_nStartTick = rsb_getTickCount();
  m_nLastEstimateTick = m_nStartTick;
  m_nRemainSeconds = -1;
  m_u64DoneSectors = 0;
  m_u64TotalSectors = 0;
  const u64 spc = m_nSectorPerCluster > 0 ? static_cast<u64>(m_nSectorPerCluster) : 0;
  const u32 spr = m_nFileRecordSize / 512;
  if (!m_pRecordBuf || spc == 0 || spr == 0) return ReportProgress(100);
  for (const __RUNLIST__& r : m_vecMftRunList) {
    u64 s;
    if (!__builtin_mul_overflow(r.u64RunLength, spc, &s) && s <= m_u64SectorCount) m_u64TotalSectors += s;
  }

  // File pass: the MFT run by run, 1024 records per read.
  i64 cluster = 0;
  u64 mftSectorsBefore = 0;
  for (const __RUNLIST__& run : m_vecMftRunList) {
    if (__builtin_add_overflow(cluster, run.i64RunOffset, &cluster)) break;
    u64 runSectors;
    if (__builtin_mul_overflow(run.u64RunLength, spc, &runSectors)) break;
    u64 rel = 0;
    // A run outside the volume is damage: nothing of it is read.
    bool inside = !run.bSparse && cluster >= 0 && !__builtin_mul_overflow(static_cast<u64>(cluster), spc, &rel) &&
                  rel <= m_u64SectorCount && runSectors <= m_u64SectorCount - rel;
    if (inside) {
      u64 done = 0;
      while (done < runSectors) {
        u64 chunk = runSectors - done;
        const u64 maxChunk = m_nRecordBufSize / 512;
        if (chunk > maxChunk) chunk = maxChunk;
        u64 firstRecord = (mftSectorsBefore + done) / spr;
        int st = ReadFileAndParseRecordInfo(m_u64StartSector + rel + done, static_cast<u32>(chunk), firstRecord);
        if (st != 0) return st;
        done += chunk;
        m_u64DoneSectors += chunk;
        u32 now = rsb_getTickCount();
        if (now - m_nLastEstimateTick >= 5000 && m_nPercent == 100) {
          m_nLastEstimateTick = now;
          u64 elapsed = (now - m_nStartTick) / 1000;
          u64 speed = elapsed ? 512 * m_u64DoneSectors / elapsed : 0;
          if (speed == 0) speed = 1;
          m_nRemainSeconds = static_cast<int>((m_u64TotalSectors - m_u64DoneSectors) * 512 / speed);
        }
        if (m_pScanCallBack && m_u64TotalSectors) {
          int r = ReportProgress(static_cast<int>(m_u64DoneSectors * 100 / m_u64TotalSectors));
          if (r != 0) return r;
        }
      }
    }
    if (__builtin_add_overflow(mftSectorsBefore, runSectors, &mftSectorsBefore)) break;
  }

  // Directory pass: every folder the files named, including those appended
  // while it runs (their own parents).
  std::unique_ptr<unsigned char[]> buf(new (std::nothrow) unsigned char[NTFS_RECORD_READ_BYTES]);
  if (!buf) return STATUS_OUT_OF_MEMORY;
  FaultGuardBegin(g_FaultFastNtfs);
  // volatile: the index must survive a jump back from the fault handler.
  for (volatile size_t i = 0; i < m_vecDirIndex.size(); i = i + 1) {
    u32 dirNo = m_vecDirIndex[i];
    if (FAULT_GUARD_TRY(g_FaultFastNtfs)) {
      if (GetFileRecordBuf(dirNo, buf.get()) != 0) memset(buf.get(), 0, NTFS_RECORD_READ_BYTES);
      ParseRecordInfo(buf.get(), 1, dirNo, RecordSectorOf(dirNo));
    } else {
      FaultGuardRearm(g_FaultFastNtfs);
    }
  }
  FaultGuardEnd(g_FaultFastNtfs);
  return ReportProgress(100);
}

int CFastNtfsRecovery::ReadFileAndParseRecordInfo(u64 u64Sector, u32 nSectorCount, u64 u64FirstRecordNO) {
  // A bad sector loses the record it lies in (read as zeros, no "FILE"),
  // never the records after it.
  int st = m_DiskReader.ReadTolerant(m_pRecordBuf.get(), static_cast<int>(nSectorCount), static_cast<i64>(u64Sector),
                                     512, nullptr);
  u32 got = st == 0 ? nSectorCount : 0;
  const u32 spr = m_nFileRecordSize / 512;
  const u32 records = got / spr;
  FaultGuardBegin(g_FaultFastNtfs);
  for (u32 i = 0; i < records; ++i) {
    if (FAULT_GUARD_TRY(g_FaultFastNtfs)) {
      u64 recNo = u64FirstRecordNO + i;
      if (recNo <= 0xFFFFFFFFull)
        ParseRecordInfo(m_pRecordBuf.get() + static_cast<size_t>(i) * m_nFileRecordSize, 0, static_cast<u32>(recNo),
                        u64Sector + static_cast<u64>(i) * spr);
    } else {
      FaultGuardRearm(g_FaultFastNtfs);
    }
  }
  FaultGuardEnd(g_FaultFastNtfs);
  return st;
}

void CFastNtfsRecovery::AddLostFolder(u32 nRecordNO, u32 bHealth) {
  _FILE_NODE_ node;
  memset(&node, 0, sizeof(node));
  node.wcDrive = m_wcDrive;
  node.nEngineType = m_nEngineType;
  node.bIsDir = 1;
  node.bHealth = bHealth;
  node.nClusterNO = nRecordNO;
  node.nClusterBytes = 0xFFFFFFFF;
  snprintf(node.szFileName, sizeof(node.szFileName), "LostFolder%u", nRecordNO);
  _FILE_NODE_* slot = m_pScanResultFileManager->CreateFileNode(sizeof(_FILE_NODE_));
  if (!slot) return;
  node.nFileIndex = m_pScanResultFileManager->GetFileIndex();
  memcpy(slot, &node, sizeof(node));
  m_pScanResultFileManager->AddChildren(NTFS_ROOT_RECORD, 0, node.nFileIndex, nRecordNO, node.szFileName);
}

int CFastNtfsRecovery::ParseRecordInfo(unsigned char* pRecord, int nMode, u32 nRecordNO, u64 u64RecordSector) {
  const u32 size = m_nFileRecordSize;
  const bool isRecord = BytesEqual(pRecord, size, 0, "FILE", 4);
  if (nMode == 0) {
    // The file pass keeps deleted plain files only (flags 0); the flags sit
    // in the first sector, which the fix-up does not touch.
    if (!isRecord || GetU16LE(pRecord, size, 0x16) != 0) return isRecord ? 0 : -1;
    if (nRecordNO < NTFS_FIRST_USER_RECORD) return 0;
  } else if (!isRecord) {
    AddLostFolder(nRecordNO, 1);
    return -1;
  }
  m_NtfsParse.FileRecordFixUp(pRecord);
  NTFS_RECORD_INFO info;
  int st = ParseNtfsRecordInfo(pRecord, size, info);
  if (nMode == 1) {
    // A folder whose record is damaged, reused by a file or nameless still
    // gets a node, so the files below it stay reachable.
    if (st != 0 || !info.IsDirectory() || !info.bHasFileName) {
      AddLostFolder(nRecordNO, st != 0 ? 1 : 0);
      return st;
    }
    if (nRecordNO < NTFS_FIRST_USER_RECORD) return 0;
  } else if (st != 0 || !info.bHasFileName || info.u64BaseRecord != 0) {
    return st;
  }

  _FILE_NODE_ node;
  memset(&node, 0, sizeof(node));
  node.wcDrive = m_wcDrive;
  node.nEngineType = m_nEngineType;
  node.bIsDir = nMode == 1 ? 1 : 0;
  node.bIsDeleted = info.IsInUse() ? 0 : 1;  // 0x16 bit 0 clear: the record was freed
  // A folder has no data to be damaged; 0 would let the photo rule hide a
  // folder named like "trip.jpg" or ".." together with everything below it.
  node.bHealth = nMode == 1 ? 1 : 0;
  node.nClusterNO = nRecordNO;
  node.nClusterBytes = static_cast<u32>(512 * m_nSectorPerCluster);
  node.ftCreateTime = U64ToFileTime(info.ftCreate);
  node.ftLastWriteTime = U64ToFileTime(info.ftModify);
  node.ftLastAccessTime = U64ToFileTime(info.ftAccess);
  node.u64FileSize = info.bHasData ? info.u64DataSize : info.u64NameSize;
  if (nMode == 1) node.u64FileSize = 0;
  node.u64RecordSector = u64RecordSector;
  node.u64VolumeStartSector = m_u64StartSector;
  CopyNameToField(node.szFileName, info.strName);

  u32 depth = 0;
  GetRootParentDirIndex(info.nParentNO, depth);
  if (nMode == 0) node.bHealth = static_cast<u32>(IsFileDataHealth(&node, static_cast<u32>(m_nSectorPerCluster)));
  _FILE_NODE_* slot = m_pScanResultFileManager->CreateFileNode(sizeof(_FILE_NODE_));
  if (!slot) return STATUS_OUT_OF_MEMORY;
  node.nFileIndex = m_pScanResultFileManager->GetFileIndex();
  memcpy(slot, &node, sizeof(node));
  m_pScanResultFileManager->AddChildren(info.nParentNO, depth, node.nFileIndex, nRecordNO,
                                        nMode == 1 ? node.szFileName : nullptr);
  if (nMode != 0) return 0;
  // The file's named streams come back as files of their own beside it.
  for (const NTFS_STREAM& stream : info.vecStreams) {
    _FILE_NODE_ sn = StreamNode(node, stream);
    sn.bHealth = static_cast<u32>(IsFileDataHealth(&sn, static_cast<u32>(m_nSectorPerCluster)));
    slot = m_pScanResultFileManager->CreateFileNode(sizeof(_FILE_NODE_));
    if (!slot) return STATUS_OUT_OF_MEMORY;
    sn.nFileIndex = m_pScanResultFileManager->GetFileIndex();
    memcpy(slot, &sn, sizeof(sn));
    m_pScanResultFileManager->AddChildren(info.nParentNO, depth, sn.nFileIndex, nRecordNO, nullptr);
  }
  return 0;
}

void CFastNtfsRecovery::AddDirIndex(u32 nDirNO) {
  if (m_setDirIndex.insert(nDirNO).second) m_vecDirIndex.push_back(nDirNO);
}

const CFastNtfsRecovery::DIR_RECORD_STATE& CFastNtfsRecovery::GetDirRecordState(u32 nDirNO) {
  auto found = m_mapDirState.find(nDirNO);
  if (found != m_mapDirState.end()) return found->second;
  // Each folder is read once per scan: the chain of every deleted file below
  // it is then walked in memory.
  DIR_RECORD_STATE state = {-1, 0, false};
  unsigned char rec[NTFS_RECORD_READ_BYTES];
  if (GetFileRecordBuf(nDirNO, rec) == 0 && BytesEqual(rec, m_nFileRecordSize, 0, "FILE", 4)) {
    m_NtfsParse.FileRecordFixUp(rec);
    NTFS_RECORD_INFO info;
    if (ParseNtfsRecordInfo(rec, m_nFileRecordSize, info) == 0) {
      state.nStatus = info.IsDirectory() ? 0 : 1;
      state.bHasParent = info.bHasFileName;
      state.nParentNO = info.nParentNO;
    }
  }
  return m_mapDirState.emplace(nDirNO, state).first->second;
}

int CFastNtfsRecovery::GetRootParentDirIndex(u32 nDirNO, u32& nDepth) {
  nDepth = 0;
  u32 visited[64];
  size_t nVisited = 0;
  std::unordered_set<u32> more;  // only for chains deeper than the array
  u32 cur = nDirNO;
  while (cur != NTFS_ROOT_RECORD && nDepth < NTFS_MAX_DIR_DEPTH) {
    bool seen = false;
    for (size_t i = 0; i < nVisited && !seen; ++i) seen = visited[i] == cur;
    if (!seen && nVisited == 64) seen = !more.insert(cur).second;
    if (seen) break;  // a cycle of parent references ends here
    if (nVisited < 64) visited[nVisited++] = cur;
    AddDirIndex(cur);
    ++nDepth;
    const DIR_RECORD_STATE& s = GetDirRecordState(cur);
    if (s.nStatus != 0) return s.nStatus;
    if (!s.bHasParent) break;
    cur = s.nParentNO;
  }
  return 0;
}

// ---------------------------------------------------------------------------
// Bitmap

int CFastNtfsRecovery::BuildBitMapInfo() {
  if (m_nSectorPerCluster <= 0 || m_nFileRecordSize == 0) return STATUS_INVALID_PARAMETER;
  const u64 spc = static_cast<u64>(m_nSectorPerCluster);
  u64 rel = 0;
  if (!GetRecordRelativeSector(m_vecMftRunList, 6, m_nFileRecordSize / 512, static_cast<u32>(spc), rel))
    return STATUS_INVALID_PARAMETER;
  const u64 recordSector = m_u64StartSector + rel;
  std::vector<__RUNLIST__> runs;
  int st = GetRunListInfo(static_cast<i64>(recordSector), NTFS_ATTR_DATA, runs);
  if (st != 0) return st;
  if (runs.empty()) return NTFS_NO_DATA;
  u64 realBytes = 0;
  st = GetBitMapRealBytesSize(static_cast<i64>(recordSector), realBytes);
  if (st != 0) return st;

  // One bit per cluster of the volume: never more room than that needs.
  u64 clusters = m_u64SectorCount / spc;
  u64 needed = (clusters + 7) / 8;
  u64 allocSectors;
  if (__builtin_mul_overflow(GetRunListClusterCount(runs), spc, &allocSectors)) allocSectors = UINT64_MAX;
  u64 cap = (needed + 511) / 512;
  if (allocSectors > cap) allocSectors = cap;
  u64 allocBytes = allocSectors * 512;
  if (allocBytes == 0 || allocBytes > kMaxBitmapBytes) return STATUS_INVALID_PARAMETER;
  m_pBitMap.reset();
  m_u64BitMapBytes = 0;
  std::unique_ptr<unsigned char[]> bitmap(new (std::nothrow) unsigned char[allocBytes]);
  if (!bitmap) return STATUS_OUT_OF_MEMORY;
  memset(bitmap.get(), 0, allocBytes);

  u64 pos = 0;  // bytes filled
  i64 cluster = 0;
  for (const __RUNLIST__& run : runs) {
    if (pos >= allocBytes) break;
    if (__builtin_add_overflow(cluster, run.i64RunOffset, &cluster)) return STATUS_INVALID_PARAMETER;
    u64 runSectors;
    if (__builtin_mul_overflow(run.u64RunLength, spc, &runSectors)) return STATUS_INVALID_PARAMETER;
    u64 want = (allocBytes - pos) / 512;
    if (runSectors < want) want = runSectors;
    if (!run.bSparse) {
      u64 first;
      if (cluster < 0 || __builtin_mul_overflow(static_cast<u64>(cluster), spc, &first) ||
          first >= m_u64SectorCount || want > m_u64SectorCount - first)
        return STATUS_INVALID_PARAMETER;
      unsigned int got = 0;
      st = m_DiskReader.ReadData(bitmap.get() + pos, static_cast<int>(want), static_cast<i64>(m_u64StartSector + first),
                                 512, &got);
      if (st != 0) return st;
      want = got;
    }
    pos += want * 512;
  }
  m_u64BitMapBytes = realBytes < pos ? realBytes : pos;
  m_pBitMap = std::move(bitmap);
  return 0;
}

int CFastNtfsRecovery::GetUnUsedSectorCount(u64& u64Sector, u64& u64Count) {
  u64Count = 0;
  if (u64Sector > m_u64SectorCount) {
    u64Sector = m_u64SectorCount;
    return 1;
  }
  if (!m_pBitMap || m_nSectorPerCluster <= 0) return 1;
  const u64 spc = static_cast<u64>(m_nSectorPerCluster);
  const unsigned char* bm = m_pBitMap.get();
  const u64 nbits = m_u64BitMapBytes * 8;
  u64 cluster = u64Sector / spc;
  if (cluster < nbits) {
    // The first free cluster from here on (whole 0xFF bytes skipped at once).
    u64 c = cluster;
    bool found = false;
    while (c < nbits) {
      if ((c & 7) == 0 && bm[c >> 3] == 0xFF) {
        c += 8;
        continue;
      }
      if (((bm[c >> 3] >> (c & 7)) & 1) == 0) {
        found = true;
        break;
      }
      ++c;
    }
    if (found) u64Sector += (c - cluster) * spc;
    // Free clusters from there up to the next allocated one.
    const u64 within = u64Sector % spc;
    c = u64Sector / spc;
    u64 n = 0;
    while (c < nbits) {
      if ((c & 7) == 0 && c + 8 <= nbits && bm[c >> 3] == 0) {
        n += 8;
        c += 8;
        continue;
      }
      if ((bm[c >> 3] >> (c & 7)) & 1) break;
      ++n;
      ++c;
    }
    // A start inside a cluster must not reach into the next, allocated one.
    u64Count = n ? n * spc - within : 0;
  }
  if (u64Sector >= m_u64SectorCount)
    u64Count = 0;
  else if (u64Count > m_u64SectorCount - u64Sector)
    u64Count = m_u64SectorCount - u64Sector;
  return 1;
}

// ---------------------------------------------------------------------------
// Browsing

// ---------------------------------------------------------------------------
// File data

int CFastNtfsRecovery::LookupResidentData(_FILE_NODE_* pNode, unsigned char* pBuf, unsigned int& nLen) {
  return ReadResidentData(pNode->u64RecordSector, pNode->u64DataStartSector, pBuf, nLen);
}

int CFastNtfsRecovery::LookupDataRunList(_FILE_NODE_* pNode, std::vector<__RUNLIST__>& vecRuns) {
  return GetRunListInfo(static_cast<i64>(pNode->u64RecordSector), NTFS_ATTR_DATA, vecRuns, pNode->u64DataStartSector);
}

int CFastNtfsRecovery::LookupHealthRunList(_FILE_NODE_* pNode, std::vector<__RUNLIST__>& vecRuns) {
  return LookupDataRunList(pNode, vecRuns);
}

int CFastNtfsRecovery::IsFileDataHealth(_FILE_NODE_* pNode, unsigned int) { return DoIsFileDataHealth(pNode); }


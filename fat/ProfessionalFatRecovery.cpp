// Deep FAT engine, part one: set-up, virtual boot records and the routing of
// incoming directory sectors. Entry parsing and the post-pass are in
// ProfessionalFatEntries.cpp.
#include "fat/ProfessionalFatRecovery.h"

#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "disk/BootSector.h"
#include "engine/ByteOrder.h"
#include "engine/DiskMap.h"
#include "engine/TextUtil.h"
#include "disk/FatEntry.h"
#include "fat/ProfessionalFatLimits.h"

CProfessionalFatRecovery::CProfessionalFatRecovery()
    : m_nDiskNo(-1),
      m_u64StartSector(0),
      m_u64SectorCount(0),
      m_nBytesPerSector(SECTOR_SIZE),
      m_nEngineType(ENGINE_PROFESSIONAL_FAT),
      m_bHasRealDbr(0),
      m_nRootCluster(2) {
  memset(&m_UnDealFdt, 0, sizeof(m_UnDealFdt));
  memset(&m_CurFdt, 0, sizeof(m_CurFdt));
  memset(&m_LastBuffer, 0, sizeof(m_LastBuffer));
}

CProfessionalFatRecovery::~CProfessionalFatRecovery() {
  ResetStore();
}

int CProfessionalFatRecovery::Init(int nDiskNo, i64 u64StartSector, i64 u64SectorCount, wchar_t wcDrive) {
  if (m_DiskReader.GetFd() != -1) return 0;
  if (u64StartSector < 0 || u64SectorCount < 0) return STATUS_INVALID_PARAMETER;
  m_nDiskNo = nDiskNo;
  m_u64StartSector = static_cast<u64>(u64StartSector);
  m_u64SectorCount = static_cast<u64>(u64SectorCount);
  m_wcDrive = wcDrive;
  m_bHasRealDbr = 0;
  memset(&m_UnDealFdt, 0, sizeof(m_UnDealFdt));
  memset(&m_CurFdt, 0, sizeof(m_CurFdt));
  return m_DiskReader.Init(nDiskNo, m_u64StartSector + m_u64SectorCount);
}

int CProfessionalFatRecovery::Init(wchar_t* pPath, wchar_t wcDrive) {
  if (m_DiskReader.GetFd() != -1) return 0;
  m_bHasRealDbr = 0;
  memset(&m_UnDealFdt, 0, sizeof(m_UnDealFdt));
  memset(&m_CurFdt, 0, sizeof(m_CurFdt));
  return OpenWholeByPath(pPath, wcDrive, m_DiskReader, m_u64StartSector, m_u64SectorCount);
}

int CProfessionalFatRecovery::ClearProfessionalVec(wchar_t* pName) {
  m_vecVirtualDbr.clear();
  m_vecFatSectorOffset.clear();
  m_vecNoDbrFile.clear();
  m_vecLongFileInfo.clear();
  m_mapUnDealFile.clear();
  m_mapProDirInfo.clear();
  m_mapProNeedAddDirInfo.clear();
  m_mapDepthCache.clear();
  m_vecListedDirSectors.clear();
  memset(&m_LastBuffer, 0, sizeof(m_LastBuffer));
  ResetStore();
  if (pName && *pName) return NewStore(pName, false);
  SYSTEMTIME t;
  memset(&t, 0, sizeof(t));
  rsb_getLocalTime(&t);
  char name[128];
  snprintf(name, sizeof(name), "Pro_Fat_%lld_%d%d%d%d%2d", static_cast<long long>(m_u64StartSector), t.wYear,
           t.wMonth, t.wDay, t.wHour, t.wMinute);
  std::wstring wname = Utf8ToWide(name);
  return NewStore(wname.c_str(), true);
}

int CProfessionalFatRecovery::InitVirtualDbrInfo() {
  u8 buf[4096];
  int status = ReadVolumeStart(m_DiskReader.GetFd(), m_u64StartSector, m_u64SectorCount, BOOT_FAT, buf, sizeof(buf));
  if (status != 0) return status;
  if (!IsFat(buf, sizeof(buf))) return 0;
  const size_t n = sizeof(buf);
  u16 bps = GetU16LE(buf, n, 11);
  u8 spc = GetU8(buf, n, 13);
  u16 reserved = GetU16LE(buf, n, 14);
  u8 nfats = GetU8(buf, n, 16);
  u16 rootEntries = GetU16LE(buf, n, 17);
  if (bps != 512 && bps != 1024 && bps != 2048 && bps != 4096) return 0;
  const u32 scale = bps / SECTOR_SIZE;
  u64 dataStart;
  u64 rootSectors = 0;
  if (BytesEqual(buf, n, 82, "FAT32   ", 8)) {
    m_nRootCluster = GetU32LE(buf, n, 44);
    dataStart = reserved + static_cast<u64>(nfats) * GetU32LE(buf, n, 36);
  } else {
    m_nRootCluster = 0;
    // The fixed root folder is as long as its entry count says.
    rootSectors = (static_cast<u64>(rootEntries) * 32 + bps - 1) / bps;
    dataStart = reserved + static_cast<u64>(GetU16LE(buf, n, 22)) * nfats + rootSectors;
  }
  if (dataStart * scale > 0xFFFFFFFFull || spc == 0) return 0;
  __VIRTUAL_DBR_INFO__ r;
  r.nSectorPerCluster = spc * scale;
  r.nDataStartSector = static_cast<u32>(dataStart * scale);
  r.u64VolumeStartSector = m_u64StartSector;
  r.nRootDirSectors = static_cast<u32>(rootSectors * scale);
  m_vecVirtualDbr.push_back(r);
  m_bHasRealDbr = 1;
  return 0;
}

bool CProfessionalFatRecovery::ClusterFirstSector(const __VIRTUAL_DBR_INFO__& r, u32 nCluster, u64& u64Sector) const {
  u64 data = r.u64VolumeStartSector + r.nDataStartSector;
  if (nCluster == 0) {
    if (data < r.nRootDirSectors || r.nRootDirSectors == 0) return false;
    u64Sector = data - r.nRootDirSectors;
    return true;
  }
  if (nCluster == 1) return false;
  u64Sector = data + static_cast<u64>(nCluster - 2) * r.nSectorPerCluster;
  return true;
}

static bool IsAllowedVirtualCluster(u64 d) {
  return d == 1 || d == 2 || d == 4 || d == 8 || d == 16 || d == 32 || d == 64 || d == 128;
}

bool CProfessionalFatRecovery::CalcVirtualDbr(u32 c1, u64 s1, u32 c2, u64 s2) {
  if (c1 <= c2 || s1 <= s2 || c2 < 2) return false;
  u64 dc = static_cast<u64>(c1 - c2);
  u64 ds = s1 - s2;
  if (ds % dc != 0) return false;
  u64 d = ds / dc;
  if (!IsAllowedVirtualCluster(d)) return false;
  u64 back2 = static_cast<u64>(c2 - 2) * d;
  if (back2 > s2) return false;
  u64 base = s2 - back2;
  if (base + static_cast<u64>(c1 - 2) * d != s1) return false;
  if (base < m_u64StartSector) return false;
  // The data start is kept relative in 32 bits. A lost volume more than 2^32
  // sectors into the range (a whole-disk scan of a disk above 2 TiB) is
  // anchored at the last multiple of 2^32 sectors below it: the same base
  // always gives the same record, so duplicates are still recognised.
  const u64 rel = base - m_u64StartSector;
  __VIRTUAL_DBR_INFO__ r;
  r.nSectorPerCluster = static_cast<u32>(d);
  r.nDataStartSector = static_cast<u32>(rel & 0xFFFFFFFFull);
  r.u64VolumeStartSector = m_u64StartSector + (rel & ~0xFFFFFFFFull);
  r.nRootDirSectors = 32;
  // Every pair of starts of one volume gives the same record: keep one.
  for (const auto& v : m_vecVirtualDbr)
    if (v.nSectorPerCluster == r.nSectorPerCluster && v.nDataStartSector == r.nDataStartSector &&
        v.u64VolumeStartSector == r.u64VolumeStartSector)
      return true;
  if (m_vecVirtualDbr.size() >= kMaxVirtualDbr) return false;
  m_vecVirtualDbr.push_back(r);
  return true;
}

void CProfessionalFatRecovery::CalcVirtualDbrInfo(const __FAT_SECTOR_OFFSET__& p) {
  for (const auto& q : m_vecFatSectorOffset) {
    // A cluster and the sector its "." entry was found in belong together:
    // the start with the larger cluster must also lie further on.
    if (q.nCluster > p.nCluster && q.u64Sector > p.u64Sector) {
      if (CalcVirtualDbr(q.nCluster, q.u64Sector, p.nCluster, p.u64Sector)) return;
    } else if (p.nCluster > q.nCluster && p.u64Sector > q.u64Sector) {
      if (CalcVirtualDbr(p.nCluster, p.u64Sector, q.nCluster, q.u64Sector)) return;
    }
  }
}

const __VIRTUAL_DBR_INFO__* CProfessionalFatRecovery::GetVirtualDbrInfo(u64 u64Sector, u32 nCluster) const {
  for (const auto& r : m_vecVirtualDbr) {
    u64 s;
    if (ClusterFirstSector(r, nCluster, s) && s == u64Sector) return &r;
  }
  return nullptr;
}

const __VIRTUAL_DBR_INFO__* CProfessionalFatRecovery::GetNearestVirtualDbrInfo(u64 u64Sector, u32 nCluster) const {
  for (const auto& r : m_vecVirtualDbr) {
    u64 s;
    if (ClusterFirstSector(r, nCluster, s) && s <= u64Sector && u64Sector < s + r.nSectorPerCluster) return &r;
  }
  return nullptr;
}

const __VIRTUAL_DBR_INFO__* CProfessionalFatRecovery::GetBestVirtalDbr(u64 u64Sector) const {
  if (m_vecVirtualDbr.empty()) return nullptr;
  if (m_vecVirtualDbr.size() == 1) return &m_vecVirtualDbr[0];
  const __VIRTUAL_DBR_INFO__* best = nullptr;
  u64 bestDistance = 0;
  for (size_t i = m_bHasRealDbr ? 1 : 0; i < m_vecVirtualDbr.size(); ++i) {
    const auto& r = m_vecVirtualDbr[i];
    u64 data = r.u64VolumeStartSector + r.nDataStartSector;
    if (data > u64Sector) continue;
    u64 distance = u64Sector - data;
    if (!best || distance < bestDistance) {
      best = &r;
      bestDistance = distance;
    }
  }
  return best ? best : &m_vecVirtualDbr[0];
}

const __VIRTUAL_DBR_INFO__* CProfessionalFatRecovery::PlaceAligned(u64 u64Sector, u32& nCluster) const {
  for (const auto& r : m_vecVirtualDbr) {
    if (r.nSectorPerCluster == 0) continue;
    i64 off = static_cast<i64>(u64Sector) - static_cast<i64>(r.nDataStartSector) -
              static_cast<i64>(r.u64VolumeStartSector);
    if (off >= 0) {
      if (off % r.nSectorPerCluster != 0) continue;
      u64 c = static_cast<u64>(off) / r.nSectorPerCluster + 2;
      if (c > 0xFFFFFFFFull) continue;
      nCluster = static_cast<u32>(c);
      return &r;
    }
    // The start of the fixed FAT12/16 root folder stands for cluster 0.
    if (r.nRootDirSectors && off == -static_cast<i64>(r.nRootDirSectors)) {
      nCluster = 0;
      return &r;
    }
  }
  return nullptr;
}

bool CProfessionalFatRecovery::ReadSectorAt(u64 u64Sector, u8* pBuf) {
  if (u64Sector < m_u64StartSector || u64Sector >= m_u64StartSector + m_u64SectorCount) return false;
  unsigned int got = 0;
  return m_DiskReader.ReadData(pBuf, 1, static_cast<i64>(u64Sector), SECTOR_SIZE, &got) == 0 && got == 1;
}

void CProfessionalFatRecovery::AddListedDirSectors(const std::vector<std::pair<u64, u64>>& vecRuns) {
  std::vector<std::pair<u64, u64>> all = m_vecListedDirSectors;
  all.insert(all.end(), vecRuns.begin(), vecRuns.end());
  std::sort(all.begin(), all.end());
  m_vecListedDirSectors.clear();
  for (const auto& r : all) {
    if (!m_vecListedDirSectors.empty() && r.first <= m_vecListedDirSectors.back().second)
      m_vecListedDirSectors.back().second = std::max(m_vecListedDirSectors.back().second, r.second);
    else
      m_vecListedDirSectors.push_back(r);
  }
}

bool CProfessionalFatRecovery::IsListedDirSector(u64 u64Sector) const {
  auto it = std::upper_bound(m_vecListedDirSectors.begin(), m_vecListedDirSectors.end(),
                             std::make_pair(u64Sector, UINT64_MAX));
  return it != m_vecListedDirSectors.begin() && u64Sector < std::prev(it)->second;
}

int CProfessionalFatRecovery::ParseFatFileRecord(const unsigned char* pBuf, u64 u64Sector) {
  if (!pBuf || !m_pScanResultFileManager) return STATUS_INVALID_PARAMETER;
  if (IsListedDirSector(u64Sector)) return 0;
  u32 cluster = FatEntryFirstCluster(FatEntryFromBytes(pBuf));
  DealFolderStart(pBuf, SECTOR_SIZE, u64Sector, cluster);
  return 0;
}

void CProfessionalFatRecovery::DealFolderStart(const u8* pBuf, u32 nLen, u64 u64Sector, u32 nCluster) {
  const __VIRTUAL_DBR_INFO__* found = GetVirtualDbrInfo(u64Sector, nCluster);
  if (!found) {
    __FAT_SECTOR_OFFSET__ p = {nCluster, u64Sector};
    CalcVirtualDbrInfo(p);
    if (m_vecFatSectorOffset.size() < kMaxFatSectorOffsets) m_vecFatSectorOffset.push_back(p);
    found = GetVirtualDbrInfo(u64Sector, nCluster);
  }
  // A copy: the record list may grow while this buffer is handled.
  __VIRTUAL_DBR_INFO__ rec;
  const __VIRTUAL_DBR_INFO__* r = nullptr;
  if (found) {
    rec = *found;
    r = &rec;
    UpdateNoDbrFileVec();
    // A folder start is a cluster-aligned directory sector: the rest of its
    // cluster belongs to the same folder.
    m_CurFdt = {rec.nSectorPerCluster, rec.nDataStartSector, nCluster, rec.u64VolumeStartSector, u64Sector,
                rec.nRootDirSectors};
  }
  __LONG_FILE_INFO__ info;
  info.nCheckSum = 0;
  BUFFER_RESULT res = DealProfessionalFatFileEntry(pBuf, nLen, u64Sector, nCluster, info, r, false);
  RememberLastBuffer(u64Sector, res, r);
  CarryOver(info, res.u64Sector, res.nParent, r, u64Sector);
}

bool CProfessionalFatRecovery::ContinuesRun(const __LONG_FILE_INFO__& run, const u8* p, u64 u64Sector,
                                            bool bFromUndealMap) const {
  if (run.nCheckSum == 0) return false;
  u8 attr = p[11];
  if (attr == FAT_ATTR_LONG_NAME) {
    if (p[13] != run.nCheckSum) return false;
    if (!bFromUndealMap || run.nSectorPerCluster == 0) return true;
    u64 base = static_cast<u64>(run.nVolumeStartSector) + run.nDataStartSector;
    if (u64Sector < base) return false;
    return (u64Sector - base) / run.nSectorPerCluster + 2 == run.nCluster;
  }
  if (p[0] != FAT_DELETED_MARK) return GetShortNameCheckSum(p) == run.nCheckSum;
  // A deleted short entry has lost the first byte the checksum covers. Short
  // names begin with the long name's first letter in capitals: with that
  // letter put back the checksum must match.
  if (run.nLength >= 32 && run.nLength <= 512) {
    const u8* last = run.szFragment + run.nLength - 32;
    u16 first = static_cast<u16>(last[1] | (last[2] << 8));
    if (last[11] == FAT_ATTR_LONG_NAME && (last[0] & 0x1F) != 0 && first > 0x20 && first < 0x80) {
      u8 name[11];
      memcpy(name, p, 11);
      name[0] = static_cast<u8>(first >= 'a' && first <= 'z' ? first - 32 : first);
      if (GetShortNameCheckSum(name) == run.nCheckSum) return true;
    }
  }
  if (bFromUndealMap) return false;
  // Otherwise it continues the run when it lies in the very next sector or
  // in the same cluster.
  return u64Sector == run.u64CutSector + 1 || u64Sector - run.u64Sector < run.nSectorPerCluster;
}

void CProfessionalFatRecovery::CarryOver(__LONG_FILE_INFO__& info, u64 u64Sector, u32 nCluster,
                                         const __VIRTUAL_DBR_INFO__* r, u64 u64ActualSector) {
  u8 joined[1024];
  u64 cut = u64ActualSector;
  // Each round joins one kept sector and marks it dealt, so the rounds end.
  for (int round = 0; round < 32 && info.nCheckSum != 0; ++round) {
    info.u64CutSector = cut;
    auto hit = m_mapUnDealFile.end();
    for (auto it = m_mapUnDealFile.begin(); it != m_mapUnDealFile.end(); ++it) {
      if (it->second.bDealt || it->second.data.size() < SECTOR_SIZE) continue;
      if (ContinuesRun(info, it->second.data.data(), it->first, true)) {
        hit = it;
        break;
      }
    }
    if (hit == m_mapUnDealFile.end()) {
      if (m_vecLongFileInfo.size() < kMaxPendingRuns) m_vecLongFileInfo.push_back(info);
      return;
    }
    u32 fragLen = info.nLength > 0 && info.nLength <= 512 ? static_cast<u32>(info.nLength) : 0;
    memcpy(joined, info.szFragment, fragLen);
    memcpy(joined + fragLen, hit->second.data.data(), SECTOR_SIZE);
    hit->second.bDealt = 1;
    cut = hit->first;
    std::vector<u8>().swap(hit->second.data);
    const __VIRTUAL_DBR_INFO__* use = r ? r : GetVirtualDbrInfo(u64Sector, nCluster);
    __VIRTUAL_DBR_INFO__ rec;
    if (use) {
      rec = *use;
      use = &rec;
    }
    __LONG_FILE_INFO__ next;
    next.nCheckSum = 0;
    DealProfessionalFatFileEntry(joined, fragLen + SECTOR_SIZE, u64Sector, nCluster, next, use, true);
    info = next;
  }
}

int CProfessionalFatRecovery::ParseFDTFileRecord(const unsigned char* pBuf, u64 u64Sector) {
  if (!pBuf || !m_pScanResultFileManager) return STATUS_INVALID_PARAMETER;
  if (IsListedDirSector(u64Sector)) return 0;
  // 1. The continuation of a long name cut off at the end of an earlier buffer.
  for (size_t i = 0; i < m_vecLongFileInfo.size(); ++i) {
    if (!ContinuesRun(m_vecLongFileInfo[i], pBuf, u64Sector, false)) continue;
    __LONG_FILE_INFO__ run = m_vecLongFileInfo[i];
    m_vecLongFileInfo.erase(m_vecLongFileInfo.begin() + static_cast<long>(i));
    u8 joined[1024];
    u32 fragLen = run.nLength > 0 && run.nLength <= 512 ? static_cast<u32>(run.nLength) : 0;
    memcpy(joined, run.szFragment, fragLen);
    memcpy(joined + fragLen, pBuf, SECTOR_SIZE);
    ParseFatFDTRecord(joined, fragLen + SECTOR_SIZE, run.u64Sector, run.nCluster, nullptr, u64Sector, true);
    return 0;
  }
  // 2. The sector right after a directory sector whose folder had not ended
  // goes on with that folder.
  if (m_LastBuffer.bValid && u64Sector == m_LastBuffer.u64ActualSector + 1 && !m_LastBuffer.bEnded) {
    ParseFatFDTRecord(pBuf, SECTOR_SIZE, m_LastBuffer.u64Sector, m_LastBuffer.nParent, nullptr, u64Sector, true);
    return 0;
  }
  // 3. Within (or just past) the cluster of the last aligned directory sector.
  if (m_CurFdt.nSectorPerCluster != 0 && u64Sector - m_CurFdt.u64Sector <= m_CurFdt.nSectorPerCluster) {
    __VIRTUAL_DBR_INFO__ rec = {m_CurFdt.nSectorPerCluster, m_CurFdt.nDataStartSector, m_CurFdt.u64VolumeStartSector,
                                m_CurFdt.nRootDirSectors};
    ParseFatFDTRecord(pBuf, SECTOR_SIZE, m_CurFdt.u64Sector, m_CurFdt.nCluster, &rec, u64Sector, false);
    return 0;
  }
  DoParseFileOrAddUndelFileMap(pBuf, u64Sector);
  return 0;
}

void CProfessionalFatRecovery::DoParseFileOrAddUndelFileMap(const u8* pBuf, u64 u64Sector) {
  u32 cluster = 0;
  const __VIRTUAL_DBR_INFO__* r = PlaceAligned(u64Sector, cluster);
  if (!r) {
    AddUnDealFileMap(pBuf, u64Sector);
    return;
  }
  __VIRTUAL_DBR_INFO__ rec = *r;
  m_CurFdt = {rec.nSectorPerCluster, rec.nDataStartSector, cluster, rec.u64VolumeStartSector, u64Sector,
              rec.nRootDirSectors};
  ParseFatFDTRecord(pBuf, SECTOR_SIZE, u64Sector, cluster, &rec, u64Sector, false);
}

void CProfessionalFatRecovery::AddUnDealFileMap(const u8* pBuf, u64 u64Sector) {
  auto it = m_mapUnDealFile.find(u64Sector);
  if (it == m_mapUnDealFile.end()) {
    // Kept sectors cost memory until the post-pass: a bounded number.
    if (m_mapUnDealFile.size() >= kMaxUndealSectors) return;
    it = m_mapUnDealFile.emplace(u64Sector, __UNDEAL_FILE__()).first;
  }
  it->second.bDealt = 0;
  it->second.data.assign(pBuf, pBuf + SECTOR_SIZE);
}

void CProfessionalFatRecovery::ParseFatFDTRecord(const u8* pBuf, u32 nLen, u64 u64Sector, u32 nCluster,
                                                 const __VIRTUAL_DBR_INFO__* r, u64 u64ActualSector,
                                                 bool bSettled) {
  __VIRTUAL_DBR_INFO__ rec;
  if (!r) r = GetVirtualDbrInfo(u64Sector, nCluster);
  if (r) {
    rec = *r;
    r = &rec;
  }
  __LONG_FILE_INFO__ info;
  info.nCheckSum = 0;
  BUFFER_RESULT res = DealProfessionalFatFileEntry(pBuf, nLen, u64Sector, nCluster, info, r, bSettled);
  RememberLastBuffer(u64ActualSector, res, r);
  CarryOver(info, res.u64Sector, res.nParent, r, u64ActualSector);
}

void CProfessionalFatRecovery::RememberLastBuffer(u64 u64ActualSector, const BUFFER_RESULT& res,
                                                  const __VIRTUAL_DBR_INFO__* r) {
  (void)r;
  m_LastBuffer.bValid = true;
  m_LastBuffer.u64ActualSector = u64ActualSector;
  m_LastBuffer.u64Sector = res.u64Sector;
  m_LastBuffer.nParent = res.nParent;
  m_LastBuffer.bEnded = res.bEnded;
}

int CProfessionalFatRecovery::NextDataCluster(const _FILE_NODE_& node, u32 nCluster, u32 nIndex, u32& nNext) {
  (void)node;
  (void)nIndex;
  // No FAT: a file is taken to lie in consecutive clusters.
  nNext = (nCluster < 2 || nCluster == 0xFFFFFFFFu) ? 0 : nCluster + 1;
  return 0;
}

bool CProfessionalFatRecovery::DataSectorOfCluster(const _FILE_NODE_& node, u32 nCluster, u32 nIndex,
                                                   u64& u64Sector) {
  u64 data = node.u64VolumeStartSector + node.u64DataStartSector;
  if (nCluster == 0) {
    if (nIndex != 0 || data < 32) return false;
    u64Sector = data - 32;
    return true;
  }
  if (nCluster == 1) return false;
  u64Sector = data + static_cast<u64>(nCluster - 2) * (node.nClusterBytes / SECTOR_SIZE);
  return true;
}

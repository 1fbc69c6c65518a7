// Deep FAT engine, part two: the entries of one directory buffer become file
// nodes and folder records; the post-pass places what the pass could not and
// builds the folder tree.
#include <cstdio>
#include <cstring>

#include "engine/ContentMatch.h"
#include "engine/ByteOrder.h"
#include "engine/TextUtil.h"
#include "disk/FatEntry.h"
#include "fat/ProfessionalFatLimits.h"
#include "fat/ProfessionalFatRecovery.h"

namespace {
bool StartsLikeFolder(const u8* p) { return p[0] == '.' && p[1] == ' ' && p[32] == '.' && p[33] == '.'; }
u32 DotDotCluster(const u8* p) {
  return (static_cast<u32>(GetU16LE(p, SECTOR_SIZE, 52)) << 16) | GetU16LE(p, SECTOR_SIZE, 58);
}
}  // namespace

bool CProfessionalFatRecovery::IsFolderStartAt(const __VIRTUAL_DBR_INFO__& r, u32 nCluster, u8* pSector,
                                               bool bSelfCheck) {
  u64 s;
  if (!ClusterFirstSector(r, nCluster, s) || !ReadSectorAt(s, pSector)) return false;
  if (!StartsLikeFolder(pSector)) return false;
  return !bSelfCheck || FatEntryFirstCluster(FatEntryFromBytes(pSector)) == nCluster;
}

// Settles the folder (P) whose entries the buffer holds and the sector (S)
// they are filed under, which is that folder's first sector.
void CProfessionalFatRecovery::GetParentClusterNO(const u8* pBuf, u32 nLen, u64& u64Sector,
                                                  const __VIRTUAL_DBR_INFO__* r, u32& nParent) {
  if (nLen < 64) return;
  if (pBuf[11] == FAT_ATTR_VOLUME) {
    // A volume label opens the root folder.
    nParent = m_nRootCluster;
    u64 s;
    if (r && ClusterFirstSector(*r, m_nRootCluster, s)) u64Sector = s;
    return;
  }
  if (pBuf[0] == '.' && pBuf[32] == '.' && pBuf[33] == '.') {
    nParent = FatEntryFirstCluster(FatEntryFromBytes(pBuf));
    return;
  }
  if (!r) return;
  u8 sector[SECTOR_SIZE];
  u64 s;
  if (ClusterFirstSector(*r, nParent, s)) {
    if (s == u64Sector && nParent == m_nRootCluster) return;
    if (!ReadSectorAt(s, sector)) return;  // unreadable: keep what the caller gave
    if (StartsLikeFolder(sector)) return;
  }
  // The buffer lies in a later cluster of some folder, and the cluster it was
  // given names no folder start. Its sub-folders know their parent: the ".."
  // entry of a sub-folder that still starts with "." (naming itself) and
  // ".." names the folder holding this buffer. File the entries under that
  // folder and its first sector; without such a sub-folder keep P and S.
  CFatNameAssembler assembler;
  std::string name;
  int probes = 0;
  for (u32 off = 0; off + FAT_ENTRY_SIZE <= nLen && probes < kMaxSubFolderProbes; off += FAT_ENTRY_SIZE) {
    const u8* e = pBuf + off;
    if (e[0] == 0x00) break;
    name.clear();
    if (assembler.Feed(e, nLen - off, name) != CFatNameAssembler::ENTRY_SHORT) continue;
    if (!(e[11] & FAT_ATTR_DIRECTORY) || (e[11] & FAT_ATTR_VOLUME) || name.empty() || name == "." || name == "..")
      continue;
    u32 sub = FatEntryFirstCluster(FatEntryFromBytes(e));
    if (sub < 2) continue;
    ++probes;
    if (!IsFolderStartAt(*r, sub, sector, true)) continue;
    u32 parent = DotDotCluster(sector);
    if (parent == 0) parent = m_nRootCluster;
    if (parent == sub) continue;
    u64 ps;
    if (!ClusterFirstSector(*r, parent, ps)) continue;
    nParent = parent;
    u64Sector = ps;
    return;
  }
}

int CProfessionalFatRecovery::GetParentClusterNO(const __VIRTUAL_DBR_INFO__* r, u32 nCluster, u32& nParent) {
  if (!r || nCluster == 0) return STATUS_INVALID_PARAMETER;
  u64 s;
  if (!ClusterFirstSector(*r, nCluster, s)) return STATUS_INVALID_PARAMETER;
  if (s < m_u64StartSector || s >= m_u64StartSector + m_u64SectorCount) return STATUS_INVALID_PARAMETER;
  u8 sector[SECTOR_SIZE];
  unsigned int got = 0;
  int status = m_DiskReader.ReadData(sector, 1, static_cast<i64>(s), SECTOR_SIZE, &got);
  if (status != 0) return status;
  u32 dotdot = DotDotCluster(sector);
  if (sector[11] != FAT_ATTR_VOLUME && sector[0] == '.' && sector[32] == '.' && sector[33] == '.' && dotdot != 0)
    nParent = dotdot;
  else
    nParent = m_nRootCluster;
  return 0;
}

u32 CProfessionalFatRecovery::GetRootParentDirIndex(const __VIRTUAL_DBR_INFO__* r, u32 nCluster) {
  if (!r || nCluster == 0) return 0;
  auto key = std::make_pair((r->u64VolumeStartSector + r->nDataStartSector) * 256 + r->nSectorPerCluster, nCluster);
  auto hit = m_mapDepthCache.find(key);
  if (hit != m_mapDepthCache.end()) return hit->second;
  u32 depth = 0;
  u32 cur = nCluster;
  std::vector<u32> visited;
  u8 sector[SECTOR_SIZE];
  for (int step = 0; step < kMaxParentSteps && cur != 0; ++step) {
    visited.push_back(cur);
    u64 s;
    if (!ClusterFirstSector(*r, cur, s) || !ReadSectorAt(s, sector)) break;
    if (sector[11] == FAT_ATTR_VOLUME || cur == m_nRootCluster) break;
    ++depth;
    if (!(sector[0] == '.' && sector[32] == '.' && sector[33] == '.')) break;
    u32 parent = DotDotCluster(sector);
    bool seen = false;
    for (u32 v : visited) seen = seen || v == parent;
    if (parent == 0 || seen) break;
    cur = parent;
  }
  m_mapDepthCache.emplace(key, depth);
  return depth;
}

u32 CProfessionalFatRecovery::GetDirRealHighClusterNO(const __VIRTUAL_DBR_INFO__& r, u16 nLow) {
  u8 sector[SECTOR_SIZE];
  u32 firstStart = 0;
  for (u32 h = 0; h <= 256; ++h) {
    u32 cluster = (h << 16) | nLow;
    if (cluster < 2) continue;
    u64 s;
    if (!ClusterFirstSector(r, cluster, s) || s >= m_u64StartSector + m_u64SectorCount) break;
    if (!ReadSectorAt(s, sector)) break;
    if (!StartsLikeFolder(sector)) continue;
    if (FatEntryFirstCluster(FatEntryFromBytes(sector)) == cluster) return cluster;
    if (!firstStart) firstStart = cluster;
  }
  return firstStart ? firstStart : nLow;
}

u32 CProfessionalFatRecovery::GetFileRealHighClusterNO(const __VIRTUAL_DBR_INFO__& r, u16 nLow, const char* pName) {
  char ext[256] = {0};
  if (GetExtendName(pName, ext) != 0 || !ext[0]) return nLow;
  u8 sector[SECTOR_SIZE];
  for (u32 h = 0; h <= 256; ++h) {
    u32 cluster = (h << 16) | nLow;
    if (cluster < 2) continue;
    u64 s;
    if (!ClusterFirstSector(r, cluster, s) || s >= m_u64StartSector + m_u64SectorCount) break;
    if (!ReadSectorAt(s, sector)) break;
    if (ContentMatchesExtension(sector, SECTOR_SIZE, ext, &m_DiskReader, SECTOR_SIZE, s)) return cluster;
  }
  return nLow;
}

int CProfessionalFatRecovery::IsFileDataHealth(const _FILE_NODE_& node, u32 nSectorPerCluster) {
  char ext[256] = {0};
  if (GetExtendName(node.szFileName, ext) != 0 || !ext[0]) return 1;
  u64 data = node.u64VolumeStartSector + node.u64DataStartSector;
  u64 s;
  if (node.nClusterNO == 0) {
    if (data < 32) return 1;
    s = data - 32;
  } else if (node.nClusterNO == 1) {
    return 1;
  } else {
    s = data + static_cast<u64>(node.nClusterNO - 2) * nSectorPerCluster;
  }
  u8 sector[SECTOR_SIZE];
  if (!ReadSectorAt(s, sector)) return 1;
  return ContentMatchesExtension(sector, SECTOR_SIZE, ext, &m_DiskReader, SECTOR_SIZE, s) ? 1 : 0;
}

void CProfessionalFatRecovery::AddFileToStore(_FILE_NODE_& node, const __VIRTUAL_DBR_INFO__& r, u32 nFolder) {
  node.nClusterBytes = SECTOR_SIZE * r.nSectorPerCluster;
  node.u64DataStartSector = r.nDataStartSector;
  node.u64VolumeStartSector = r.u64VolumeStartSector;
  node.bHealth = static_cast<u32>(IsFileDataHealth(node, r.nSectorPerCluster));
  // Without a FAT every file of more than one cluster is read from
  // consecutive clusters; its content is checked when it is listed.
  if (!node.bIsDir && node.u64FileSize > node.nClusterBytes)
    node.nResultFlags |= RESULT_FLAG_CHAIN_CLEARED | RESULT_FLAG_CHECK_PENDING;
  u32 depth = GetRootParentDirIndex(&r, nFolder);
  _FILE_NODE_* slot = m_pScanResultFileManager->CreateFileNode(sizeof(_FILE_NODE_));
  if (!slot) return;
  node.nFileIndex = m_pScanResultFileManager->GetFileIndex();
  memcpy(slot, &node, sizeof(node));
  m_pScanResultFileManager->AddChildren(nFolder, depth, node.nFileIndex, node.nClusterNO, nullptr);
}

CProfessionalFatRecovery::BUFFER_RESULT CProfessionalFatRecovery::DealProfessionalFatFileEntry(
    const u8* pBuf, u32 nLen, u64 u64Sector, u32 nCluster, __LONG_FILE_INFO__& info, const __VIRTUAL_DBR_INFO__* r,
    bool bSettled) {
  BUFFER_RESULT res = {nCluster, u64Sector, false};
  info.nCheckSum = 0;
  if (!pBuf || nLen < FAT_ENTRY_SIZE) return res;
  if (!bSettled) GetParentClusterNO(pBuf, nLen, res.u64Sector, r, res.nParent);
  CFatNameAssembler assembler;
  std::string name;
  bool inRun = false;
  u32 runStart = 0;
  u8 checksum = 0;
  for (u32 off = 0; off + FAT_ENTRY_SIZE <= nLen; off += FAT_ENTRY_SIZE) {
    const u8* e = pBuf + off;
    if (e[0] == 0x00) {
      res.bEnded = true;
      break;
    }
    name.clear();
    CFatNameAssembler::Result kind = assembler.Feed(e, nLen - off, name);
    if (kind == CFatNameAssembler::ENTRY_LONG_NAME) {
      if (!inRun) runStart = off;
      inRun = true;
      checksum = e[13];
      continue;
    }
    inRun = false;
    if (kind != CFatNameAssembler::ENTRY_SHORT) continue;
    u8 attr = e[11];
    if ((attr & FAT_ATTR_VOLUME) || name.empty()) continue;
    FAT32_Entry entry = FatEntryFromBytes(e);
    bool deleted = e[0] == FAT_DELETED_MARK;
    u32 cluster = FatEntryFirstCluster(entry);
    if (attr & FAT_ATTR_DIRECTORY) {
      if (name == ".") {
        if (cluster >= 2) res.nParent = cluster;
        continue;
      }
      if (name == "..") continue;
      if (r && deleted && entry.nClusterHigh == 0) cluster = GetDirRealHighClusterNO(*r, entry.nClusterLow);
      if (cluster == 0 || cluster == res.nParent) continue;
      if (m_mapProDirInfo.size() >= kMaxDirRecords && !m_mapProDirInfo.count(cluster)) continue;
      __PRO_DIR_INFO__ d;
      memset(&d, 0, sizeof(d));
      d.node.wcDrive = m_wcDrive;
      d.node.nEngineType = m_nEngineType;
      d.node.bIsDir = 1;
      d.node.bIsDeleted = deleted ? 1 : 0;
      d.node.bHealth = 1;
      d.node.nFileIndex = res.nParent;
      d.node.nClusterNO = cluster;
      FatEntryTimesToNode(entry, d.node);
      d.node.u64RecordSector = res.u64Sector;
      CopyNameToField(d.node.szFileName, name);
      if (r) {
        d.dbr = *r;
        d.node.nClusterBytes = SECTOR_SIZE * r->nSectorPerCluster;
        d.node.u64DataStartSector = r->nDataStartSector;
        d.node.u64VolumeStartSector = r->u64VolumeStartSector;
      }
      m_mapProDirInfo[cluster] = d;
      continue;
    }
    if (!(attr & FAT_ATTR_ARCHIVE)) continue;
    _FILE_NODE_ node;
    memset(&node, 0, sizeof(node));
    node.wcDrive = m_wcDrive;
    node.nEngineType = m_nEngineType;
    node.bIsDeleted = deleted ? 1 : 0;
    node.u64FileSize = entry.nFileSize;
    FatEntryTimesToNode(entry, node);
    node.u64RecordSector = res.u64Sector;
    CopyNameToField(node.szFileName, name);
    if (r) {
      if (deleted && entry.nClusterHigh == 0)
        cluster = GetFileRealHighClusterNO(*r, entry.nClusterLow, node.szFileName);
      node.nClusterNO = cluster;
      AddFileToStore(node, *r, res.nParent);
    } else if (m_vecNoDbrFile.size() < kMaxWaitingFiles) {
      node.nClusterNO = cluster;
      node.nFileIndex = res.nParent;
      __NO_DBR_FILE_NODE__ w;
      w.bDealt = 0;
      w.node = node;
      m_vecNoDbrFile.push_back(w);
    }
    RecordFoldersAbove(res.nParent, res.u64Sector, r);
  }
  if (inRun && !res.bEnded && nLen - runStart <= sizeof(info.szFragment)) {
    info.nCheckSum = checksum;
    info.nSectorPerCluster = r ? r->nSectorPerCluster : 0;
    info.nVolumeStartSector = r ? static_cast<u32>(r->u64VolumeStartSector) : 0;
    info.nDataStartSector = r ? r->nDataStartSector : 0;
    info.nCluster = res.nParent;
    info.nLength = static_cast<i32>(nLen - runStart);
    info.u64Sector = res.u64Sector;
    info.u64CutSector = res.u64Sector;
    memcpy(info.szFragment, pBuf + runStart, nLen - runStart);
  }
  return res;
}

void CProfessionalFatRecovery::RecordFoldersAbove(u32 nParent, u64 u64Sector, const __VIRTUAL_DBR_INFO__* r) {
  u32 cur = nParent;
  u64 sector = u64Sector;
  __VIRTUAL_DBR_INFO__ rec;
  memset(&rec, 0, sizeof(rec));
  if (r) rec = *r;
  std::vector<u32> visited;
  for (int step = 0; step < kMaxParentSteps && cur >= 2 && cur != m_nRootCluster; ++step) {
    for (u32 v : visited)
      if (v == cur) return;
    visited.push_back(cur);
    // A folder already listed had the folders above it listed then too.
    if (m_mapProNeedAddDirInfo.count(cur)) return;
    m_mapProNeedAddDirInfo[cur] = {rec, sector};
    auto it = m_mapProDirInfo.find(cur);
    if (it != m_mapProDirInfo.end()) {
      u32 parent = it->second.node.nFileIndex;
      if (parent == cur) return;
      sector = it->second.node.u64RecordSector;
      rec = it->second.dbr;
      cur = parent;
      continue;
    }
    if (rec.nSectorPerCluster == 0) return;
    u32 parent = 0;
    if (GetParentClusterNO(&rec, cur, parent) != 0 || parent == cur) return;
    u64 ps;
    if (!ClusterFirstSector(rec, parent, ps)) return;
    sector = ps;
    cur = parent;
  }
}

void CProfessionalFatRecovery::UpdateNoDbrFileVec() {
  if (m_vecNoDbrFile.empty() || m_vecVirtualDbr.empty()) return;
  const std::vector<__VIRTUAL_DBR_INFO__> records = m_vecVirtualDbr;
  for (const auto& v : records) {
    for (auto& f : m_vecNoDbrFile) {
      if (f.bDealt) continue;
      u32 folder = f.node.nFileIndex;
      u64 s;
      if (!ClusterFirstSector(v, folder, s) || s != f.node.u64RecordSector) continue;
      _FILE_NODE_ node = f.node;
      AddFileToStore(node, v, folder);
      f.bDealt = 1;
    }
  }
  // Placed files leave the list, so later calls look only at the waiting ones.
  size_t keep = 0;
  for (size_t i = 0; i < m_vecNoDbrFile.size(); ++i)
    if (!m_vecNoDbrFile[i].bDealt) m_vecNoDbrFile[keep++] = m_vecNoDbrFile[i];
  m_vecNoDbrFile.resize(keep);
}

void CProfessionalFatRecovery::ParseUnDealFileMap() {
  memset(&m_UnDealFdt, 0, sizeof(m_UnDealFdt));
  memset(&m_LastBuffer, 0, sizeof(m_LastBuffer));
  u8 sector[SECTOR_SIZE];
  for (auto it = m_mapUnDealFile.begin(); it != m_mapUnDealFile.end(); ++it) {
    if (it->second.bDealt || it->second.data.size() < SECTOR_SIZE) continue;
    const u64 s = it->first;
    memcpy(sector, it->second.data.data(), SECTOR_SIZE);
    it->second.bDealt = 1;
    bool done = false;
    for (size_t i = 0; i < m_vecLongFileInfo.size() && !done; ++i) {
      if (!ContinuesRun(m_vecLongFileInfo[i], sector, s, false)) continue;
      __LONG_FILE_INFO__ run = m_vecLongFileInfo[i];
      m_vecLongFileInfo.erase(m_vecLongFileInfo.begin() + static_cast<long>(i));
      u8 joined[1024];
      u32 fragLen = run.nLength > 0 && run.nLength <= 512 ? static_cast<u32>(run.nLength) : 0;
      memcpy(joined, run.szFragment, fragLen);
      memcpy(joined + fragLen, sector, SECTOR_SIZE);
      ParseFatFDTRecord(joined, fragLen + SECTOR_SIZE, run.u64Sector, run.nCluster, nullptr, s, true);
      done = true;
    }
    if (done) continue;
    if (m_LastBuffer.bValid && s == m_LastBuffer.u64ActualSector + 1 && !m_LastBuffer.bEnded) {
      ParseFatFDTRecord(sector, SECTOR_SIZE, m_LastBuffer.u64Sector, m_LastBuffer.nParent, nullptr, s, true);
      continue;
    }
    u32 cluster = 0;
    const __VIRTUAL_DBR_INFO__* aligned = PlaceAligned(s, cluster);
    if (aligned) {
      __VIRTUAL_DBR_INFO__ rec = *aligned;
      m_UnDealFdt = {rec.nSectorPerCluster, rec.nDataStartSector, cluster, rec.u64VolumeStartSector, s,
                     rec.nRootDirSectors};
      ParseFatFDTRecord(sector, SECTOR_SIZE, s, cluster, &rec, s, false);
      continue;
    }
    // The cluster of the last aligned sector only reaches one cluster on.
    if (m_UnDealFdt.nSectorPerCluster != 0 && s - m_UnDealFdt.u64Sector <= m_UnDealFdt.nSectorPerCluster) {
      __VIRTUAL_DBR_INFO__ rec = {m_UnDealFdt.nSectorPerCluster, m_UnDealFdt.nDataStartSector,
                                  m_UnDealFdt.u64VolumeStartSector, m_UnDealFdt.nRootDirSectors};
      ParseFatFDTRecord(sector, SECTOR_SIZE, m_UnDealFdt.u64Sector, m_UnDealFdt.nCluster, &rec, s, false);
      continue;
    }
    const __VIRTUAL_DBR_INFO__* best = GetBestVirtalDbr(s);
    if (!best || best->nSectorPerCluster == 0) continue;
    __VIRTUAL_DBR_INFO__ rec = *best;
    i64 off = static_cast<i64>(s) - static_cast<i64>(rec.u64VolumeStartSector) - static_cast<i64>(rec.nDataStartSector);
    i64 c = off / static_cast<i64>(rec.nSectorPerCluster) + 2;
    if (c < 2 || c > 0xFFFFFFFFll) continue;
    u64 first;
    if (!ClusterFirstSector(rec, static_cast<u32>(c), first)) continue;
    ParseFatFDTRecord(sector, SECTOR_SIZE, first, static_cast<u32>(c), &rec, s, false);
  }
  m_mapUnDealFile.clear();
}

int CProfessionalFatRecovery::DealProfessionalRecordVec() {
  if (!m_pScanResultFileManager) return 0;
  ParseUnDealFileMap();
  for (const auto& kv : m_mapProNeedAddDirInfo) {
    const u32 f = kv.first;
    const __PRO_NEED_ADD_DIR_INFO__& need = kv.second;
    auto dir = m_mapProDirInfo.find(f);
    if (dir != m_mapProDirInfo.end()) {
      _FILE_NODE_ node = dir->second.node;
      u32 parent = node.nFileIndex;
      const __VIRTUAL_DBR_INFO__* rec = dir->second.dbr.nSectorPerCluster ? &dir->second.dbr : nullptr;
      if (!rec) {
        for (const auto& v : m_vecVirtualDbr) {
          u64 s;
          if (ClusterFirstSector(v, parent, s) && s <= node.u64RecordSector &&
              node.u64RecordSector < s + v.nSectorPerCluster) {
            rec = &v;
            break;
          }
        }
      }
      _FILE_NODE_* slot = m_pScanResultFileManager->CreateFileNode(sizeof(_FILE_NODE_));
      if (!slot) break;
      node.nFileIndex = m_pScanResultFileManager->GetFileIndex();
      memcpy(slot, &node, sizeof(node));
      if (rec)
        m_pScanResultFileManager->AddChildren(parent, GetRootParentDirIndex(rec, parent), node.nFileIndex, f,
                                              node.szFileName);
      continue;
    }
    // A folder whose own entry was never found.
    const __VIRTUAL_DBR_INFO__* rec = need.dbr.nSectorPerCluster ? &need.dbr : nullptr;
    if (!rec) {
      for (const auto& v : m_vecVirtualDbr) {
        u64 s;
        if (ClusterFirstSector(v, f, s) && s <= need.u64Sector && need.u64Sector < s + v.nSectorPerCluster) {
          rec = &v;
          break;
        }
      }
    }
    if (!rec) continue;
    u32 parent = f;
    // A lost folder whose parent cannot be read hangs under the root, where
    // it can be reached, rather than under itself.
    if (GetParentClusterNO(rec, f, parent) != 0 || parent == f) parent = m_nRootCluster;
    u32 depth = parent == m_nRootCluster ? 0 : GetRootParentDirIndex(rec, parent);
    _FILE_NODE_ node;
    memset(&node, 0, sizeof(node));
    node.wcDrive = m_wcDrive;
    node.nEngineType = m_nEngineType;
    node.bIsDir = 1;
    node.bHealth = 1;
    node.nClusterNO = f;
    char name[64];
    snprintf(name, sizeof(name), "LostFolder%u", f);
    CopyNameToField(node.szFileName, name);
    _FILE_NODE_* slot = m_pScanResultFileManager->CreateFileNode(sizeof(_FILE_NODE_));
    if (!slot) break;
    node.nFileIndex = m_pScanResultFileManager->GetFileIndex();
    memcpy(slot, &node, sizeof(node));
    m_pScanResultFileManager->AddChildren(parent, depth, node.nFileIndex, f, node.szFileName);
  }
  m_mapProNeedAddDirInfo.clear();
  m_mapProDirInfo.clear();
  UpdateNoDbrFileVec();
  for (auto& w : m_vecNoDbrFile) {
    if (w.bDealt) continue;
    const __VIRTUAL_DBR_INFO__* best = GetBestVirtalDbr(w.node.u64RecordSector);
    if (!best) break;
    __VIRTUAL_DBR_INFO__ rec = *best;
    _FILE_NODE_ node = w.node;
    AddFileToStore(node, rec, w.node.nFileIndex);
    w.bDealt = 1;
  }
  m_vecNoDbrFile.clear();
  m_vecLongFileInfo.clear();
  m_pScanResultFileManager->FlushBufToFile();
  return 0;
}

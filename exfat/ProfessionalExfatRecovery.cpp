#include "exfat/ProfessionalExfatRecovery.h"

#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <unordered_map>
#include <unordered_set>

#include "disk/BootSector.h"
#include "engine/ByteOrder.h"
#include "engine/DiskMap.h"
#include "engine/TextUtil.h"

namespace {
// Bounds on what the engine keeps while a scan runs: damaged or hostile
// disks must not make it grow without end.
constexpr size_t kMaxSets = 1000000;
constexpr size_t kMaxRuns = 1000000;
constexpr size_t kMaxVolumes = 64;
// Folders and folder clusters sampled to rebuild a geometry: the pairing
// costs their product for each of the 17 cluster sizes.
constexpr size_t kMaxGeometrySamples = 512;
constexpr size_t kMaxInferredVolumes = 4;
constexpr u32 kReadChunkSectors = 128;
constexpr size_t kBootRegionBytes = 24 * 4096;
constexpr int kMaxDepthSteps = 256;
const u8 kFatMedia[8] = {0xF8, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

// A sector with no entry type a folder holds ends the folder being read.
bool SectorIsJunk(const u8* p) {
  for (size_t off = 0; off < SECTOR_SIZE; off += EXFAT_ENTRY_SIZE)
    if (p[off] == EXFAT_TYPE_END || IsExfatEntryType(p[off])) return false;
  return true;
}

bool GuessFromBoot(const u8* p, size_t n, u64 u64VolumeStart, EXFAT_VOLUME_GUESS& out) {
  EXFAT_BOOT_INFO b;
  if (!ParseExfatBootSector(p, n, b)) return false;
  const u32 scale = b.nBytesPerSector / SECTOR_SIZE;
  out.u64VolumeStart = u64VolumeStart;
  out.u64HeapStart = u64VolumeStart + static_cast<u64>(b.nClusterHeapOffset) * scale;
  out.nSectorsPerCluster = b.nSectorsPerCluster * scale;
  out.nClusterCount = b.nClusterCount;
  out.bFromBoot = true;
  out.nVotes = 0;
  return true;
}
}  // namespace

CProfessionalExfatRecovery::CProfessionalExfatRecovery()
    : m_u64StartSector(0), m_u64SectorCount(0), m_u64ParsedUpTo(0) {}

CProfessionalExfatRecovery::~CProfessionalExfatRecovery() {
  ResetStore();
}

int CProfessionalExfatRecovery::Init(int nDiskNo, i64 u64StartSector, i64 u64SectorCount, wchar_t wcDrive) {
  if (m_DiskReader.GetFd() != -1) return 0;
  if (u64StartSector < 0 || u64SectorCount < 0) return STATUS_INVALID_PARAMETER;
  m_u64StartSector = static_cast<u64>(u64StartSector);
  m_u64SectorCount = static_cast<u64>(u64SectorCount);
  m_wcDrive = wcDrive;
  return m_DiskReader.Init(nDiskNo, m_u64StartSector + m_u64SectorCount);
}

int CProfessionalExfatRecovery::Init(wchar_t* pPath, wchar_t wcDrive) {
  if (m_DiskReader.GetFd() != -1) return 0;
  return OpenWholeByPath(pPath, wcDrive, m_DiskReader, m_u64StartSector, m_u64SectorCount);
}

int CProfessionalExfatRecovery::ClearProfessionalVec(wchar_t* pName) {
  m_vecSets.clear();
  m_vecRuns.clear();
  m_vecVolumes.clear();
  m_u64ParsedUpTo = 0;
  ResetStore();
  if (pName && *pName) return NewStore(pName, false);
  SYSTEMTIME t;
  memset(&t, 0, sizeof(t));
  rsb_getLocalTime(&t);
  char name[128];
  snprintf(name, sizeof(name), "Pro_Exfat_%lld_%d%d%d%d%2d", static_cast<long long>(m_u64StartSector), t.wYear,
           t.wMonth, t.wDay, t.wHour, t.wMinute);
  std::wstring wname = Utf8ToWide(name);
  return NewStore(wname.c_str(), true);
}

bool CProfessionalExfatRecovery::ReadSectors(u64 u64Sector, u32 nCount, u8* pBuf, u32& nGot) {
  nGot = 0;
  const u64 end = m_u64StartSector + m_u64SectorCount;
  if (u64Sector < m_u64StartSector || u64Sector >= end) return false;
  if (nCount > end - u64Sector) nCount = static_cast<u32>(end - u64Sector);
  unsigned int got = 0;
  int st = m_DiskReader.ReadData(pBuf, static_cast<int>(nCount), static_cast<i64>(u64Sector), SECTOR_SIZE, &got);
  nGot = st == 0 ? nCount : got;
  return nGot > 0;
}

void CProfessionalExfatRecovery::AddVolume(const EXFAT_VOLUME_GUESS& v) {
  if (v.nSectorsPerCluster == 0) return;
  for (auto& known : m_vecVolumes) {
    if (known.u64HeapStart == v.u64HeapStart && known.nSectorsPerCluster == v.nSectorsPerCluster) {
      known.bFromBoot = known.bFromBoot || v.bFromBoot;
      if (v.nClusterCount) known.nClusterCount = v.nClusterCount;
      known.nVotes += v.nVotes;
      return;
    }
  }
  if (m_vecVolumes.size() < kMaxVolumes) m_vecVolumes.push_back(v);
}

int CProfessionalExfatRecovery::InitVirtualVolumes() {
  std::vector<u8> buf(kBootRegionBytes, 0);
  u32 got = 0;
  if (!ReadSectors(m_u64StartSector, kBootRegionBytes / SECTOR_SIZE, buf.data(), got)) return STATUS_SHORT_READ;
  const size_t n = static_cast<size_t>(got) * SECTOR_SIZE;
  EXFAT_VOLUME_GUESS v;
  if (GuessFromBoot(buf.data(), n, m_u64StartSector, v)) {
    AddVolume(v);
    return 0;
  }
  for (size_t bps = 512; bps <= 4096; bps *= 2) {
    const size_t off = bps * 12;
    EXFAT_BOOT_INFO b;
    if (off < n && ParseExfatBootSector(buf.data() + off, n - off, b) && b.nBytesPerSector == bps &&
        GuessFromBoot(buf.data() + off, n - off, m_u64StartSector, v)) {
      AddVolume(v);
      return 0;
    }
  }
  return 0;
}

void CProfessionalExfatRecovery::AddBootSector(const u8* p, u64 u64Sector) {
  EXFAT_BOOT_INFO b;
  if (!ParseExfatBootSector(p, SECTOR_SIZE, b)) return;
  const u64 scale = b.nBytesPerSector / SECTOR_SIZE;
  // A main and a backup boot sector read alike: the volume starts where its
  // FAT then opens with the media entry, else at this sector.
  u64 start = u64Sector;
  for (u64 back : {u64(0), 12 * scale}) {
    if (u64Sector < m_u64StartSector + back) break;
    u8 fat[SECTOR_SIZE];
    u32 got = 0;
    if (ReadSectors(u64Sector - back + b.nFatOffset * scale, 1, fat, got) && memcmp(fat, kFatMedia, 8) == 0) {
      start = u64Sector - back;
      break;
    }
  }
  EXFAT_VOLUME_GUESS v;
  if (GuessFromBoot(p, SECTOR_SIZE, start, v)) AddVolume(v);
}

bool CProfessionalExfatRecovery::TakeSector(const unsigned char* p, u64 u64Sector) {
  if (!p) return false;
  if (u64Sector < m_u64ParsedUpTo) return IsExfatDirSectorStart(p, SECTOR_SIZE);
  if (p[0] == 0xEB) {
    if (!IsExfat(p, SECTOR_SIZE)) return false;
    AddBootSector(p, u64Sector);
    return true;
  }
  if (!IsExfatDirSectorStart(p, SECTOR_SIZE)) return false;
  ParseRun(u64Sector);
  return true;
}

// Reads a folder on from its first sector until its end-of-folder entry,
// until a sector that holds no folder entry, or for the largest folder the
// format allows, and keeps every checked set with the sectors it lies in.
void CProfessionalExfatRecovery::ParseRun(u64 u64First) {
  const u64 end = m_u64StartSector + m_u64SectorCount;
  if (m_vecRuns.size() >= kMaxRuns) {
    m_u64ParsedUpTo = std::max(m_u64ParsedUpTo, u64First + 1);
    return;
  }
  const u32 runIndex = static_cast<u32>(m_vecRuns.size());
  std::vector<u8> chunk(static_cast<size_t>(kReadChunkSectors) * SECTOR_SIZE);
  std::vector<u8> buf;
  u64 bufFirst = u64First, pos = u64First, runEnd = u64First + 1, read = 0;
  size_t resume = 0;
  bool stop = false, root = false;
  while (!stop && pos < end && read < EXFAT_MAX_DIR_BYTES / SECTOR_SIZE) {
    u32 got = 0;
    if (!ReadSectors(pos, kReadChunkSectors, chunk.data(), got)) break;
    u32 use = got;
    for (u32 i = 0; i < got; ++i) {
      if (SectorIsJunk(chunk.data() + static_cast<size_t>(i) * SECTOR_SIZE)) {
        use = i;
        stop = true;
        break;
      }
    }
    if (pos == u64First) root = chunk[0] == EXFAT_TYPE_LABEL || chunk[0] == EXFAT_TYPE_BITMAP;
    buf.insert(buf.end(), chunk.begin(), chunk.begin() + static_cast<long>(use) * SECTOR_SIZE);
    pos += use;
    read += use;
    CExfatDirWalker walker(buf.data(), buf.size(), resume);
    CExfatDirWalker::ITEM kind;
    EXFAT_FILE_SET set;
    EXFAT_ALLOC_ENTRY alloc;
    while (walker.Next(kind, set, alloc)) {
      if (kind != CExfatDirWalker::ITEM_FILE || m_vecSets.size() >= kMaxSets) continue;
      FOUND_SET f;
      f.u64EntrySector = bufFirst + walker.ItemOffset() / SECTOR_SIZE;
      f.u64StreamSector = bufFirst + (walker.ItemOffset() + set.nStreamOffset) / SECTOR_SIZE;
      f.nRun = runIndex;
      f.set = std::move(set);
      m_vecSets.push_back(std::move(f));
    }
    if (walker.Ended()) {
      runEnd = bufFirst + walker.Offset() / SECTOR_SIZE + 1;
      break;
    }
    runEnd = std::max(runEnd, bufFirst + buf.size() / SECTOR_SIZE);
    size_t keep = walker.Offset() / SECTOR_SIZE * SECTOR_SIZE;
    if (keep > buf.size()) keep = buf.size();
    buf.erase(buf.begin(), buf.begin() + static_cast<long>(keep));
    bufFirst += keep / SECTOR_SIZE;
    resume = walker.Offset() - keep;
  }
  m_vecRuns.push_back({u64First, runEnd, root});
  m_u64ParsedUpTo = std::max(m_u64ParsedUpTo, runEnd);
}

bool CProfessionalExfatRecovery::ClusterOf(const EXFAT_VOLUME_GUESS& v, u64 u64Sector, u32& nCluster) const {
  if (v.nSectorsPerCluster == 0 || u64Sector < v.u64HeapStart) return false;
  u64 c = (u64Sector - v.u64HeapStart) / v.nSectorsPerCluster + 2;
  if (c > 0xFFFFFFFFull || (v.nClusterCount && c > static_cast<u64>(v.nClusterCount) + 1)) return false;
  nCluster = static_cast<u32>(c);
  return true;
}

// Every folder (but a root) has an entry in its parent naming its first
// cluster, and its first sector is that cluster's: for the right cluster
// size k and heap start h, sector = h + (cluster - 2) * k holds for many
// pairs of a folder start and a folder entry, and for wrong ones only by
// chance. Geometries from boot sectors are counted the same way.
void CProfessionalExfatRecovery::InferVolumes() {
  std::vector<u32> clusters;
  for (const auto& f : m_vecSets)
    if (f.set.IsDir() && f.set.nFirstCluster >= 2) clusters.push_back(f.set.nFirstCluster);
  std::sort(clusters.begin(), clusters.end());
  clusters.erase(std::unique(clusters.begin(), clusters.end()), clusters.end());
  std::unordered_set<u32> known(clusters.begin(), clusters.end());
  std::vector<u64> starts;
  for (const auto& r : m_vecRuns)
    if (!r.bRoot) starts.push_back(r.u64First);
  auto explains = [&](const EXFAT_VOLUME_GUESS& v, u64 s) {
    u32 c = 0;
    return ClusterOf(v, s, c) && (s - v.u64HeapStart) % v.nSectorsPerCluster == 0 && known.count(c) != 0;
  };
  // A folder entry names one folder: once a geometry pairs it with a folder
  // start it is spent, so a folder's first sub-folder (often the very next
  // cluster) cannot pair with it again under a shifted geometry.
  std::vector<bool> explained(starts.size(), false);
  std::unordered_set<u32> spent;
  auto claim = [&](EXFAT_VOLUME_GUESS& v) {
    v.nVotes = 0;
    for (size_t i = 0; i < starts.size(); ++i) {
      u32 c = 0;
      if (explained[i] || !explains(v, starts[i]) || !ClusterOf(v, starts[i], c) || spent.count(c)) continue;
      ++v.nVotes;
      explained[i] = true;
      spent.insert(c);
    }
  };
  for (auto& v : m_vecVolumes) claim(v);
  for (size_t round = 0; round < kMaxInferredVolumes; ++round) {
    std::vector<u64> sample;
    for (size_t i = 0; i < starts.size() && sample.size() < kMaxGeometrySamples; ++i)
      if (!explained[i]) sample.push_back(starts[i]);
    std::vector<u32> sampleClusters;
    for (size_t i = 0; i < clusters.size() && sampleClusters.size() < kMaxGeometrySamples; ++i)
      if (!spent.count(clusters[i])) sampleClusters.push_back(clusters[i]);
    if (sample.empty() || sampleClusters.empty()) break;
    u64 bestHeap = 0;
    u32 bestK = 0, bestVotes = 0;
    std::unordered_map<u64, u32> votes;
    for (u32 k = 1; k <= 65536; k *= 2) {
      votes.clear();
      for (u64 s : sample) {
        for (u32 c : sampleClusters) {
          const u64 off = static_cast<u64>(c - 2) * k;
          if (off > s - m_u64StartSector) break;  // clusters are sorted: the rest lie further back
          u32 n = ++votes[s - off];
          if (n > bestVotes) {
            bestVotes = n;
            bestHeap = s - off;
            bestK = k;
          }
        }
      }
    }
    // One pair fits any geometry; two that agree are evidence.
    if (bestVotes < 2) break;
    EXFAT_VOLUME_GUESS v = {m_u64StartSector, bestHeap, bestK, 0, false, 0};
    claim(v);
    AddVolume(v);
  }
}

int CProfessionalExfatRecovery::VolumeOfSector(u64 u64Sector, const std::vector<u32>& folderClusters) const {
  int best = -1;
  bool bestExplains = false;
  for (size_t i = 0; i < m_vecVolumes.size(); ++i) {
    const EXFAT_VOLUME_GUESS& v = m_vecVolumes[i];
    u32 c = 0;
    if (!ClusterOf(v, u64Sector, c)) continue;
    const bool aligned = (u64Sector - v.u64HeapStart) % v.nSectorsPerCluster == 0;
    const bool explains = aligned && std::binary_search(folderClusters.begin(), folderClusters.end(), c);
    if (best >= 0) {
      const EXFAT_VOLUME_GUESS& b = m_vecVolumes[static_cast<size_t>(best)];
      // Prefer a geometry that explains this folder, then the best-supported
      // one, then the nearest heap below.
      if (bestExplains && !explains) continue;
      if (bestExplains == explains) {
        if (v.nVotes < b.nVotes) continue;
        if (v.nVotes == b.nVotes && v.u64HeapStart <= b.u64HeapStart) continue;
      }
    }
    best = static_cast<int>(i);
    bestExplains = explains;
  }
  return best;
}

int CProfessionalExfatRecovery::SegmentDepth(size_t i, std::vector<SEGMENT>& segs, const std::vector<int>& segOfSet,
                                             int nGuard) {
  SEGMENT& s = segs[i];
  if (s.nDepth >= 0) return s.nDepth;
  if (s.bRoot) return s.nDepth = 0;
  // A folder whose entry was not found, or that sits below itself, hangs
  // under LostFolderN at the top.
  if (s.nParentSet < 0 || nGuard > kMaxDepthSteps || s.nDepth == -2) {
    s.nParentSet = -1;
    return s.nDepth = 1;
  }
  const int parent = segOfSet[static_cast<size_t>(s.nParentSet)];
  if (parent < 0 || static_cast<size_t>(parent) == i) {
    s.nParentSet = -1;
    return s.nDepth = 1;
  }
  s.nDepth = -2;
  int d = SegmentDepth(static_cast<size_t>(parent), segs, segOfSet, nGuard + 1);
  if (segs[i].nDepth != -2) return segs[i].nDepth;  // a loop settled this one as lost on the way
  return segs[i].nDepth = d + 1;
}

int CProfessionalExfatRecovery::DealProfessionalRecordVec() {
  if (!m_pScanResultFileManager) return 0;
  InferVolumes();
  std::vector<u32> folderClusters;
  for (const auto& f : m_vecSets)
    if (f.set.IsDir() && f.set.nFirstCluster >= 2) folderClusters.push_back(f.set.nFirstCluster);
  std::sort(folderClusters.begin(), folderClusters.end());
  folderClusters.erase(std::unique(folderClusters.begin(), folderClusters.end()), folderClusters.end());

  // Each run is cut where a known folder's first cluster begins inside it.
  std::vector<SEGMENT> segs;
  for (u32 ri = 0; ri < m_vecRuns.size(); ++ri) {
    const FOUND_RUN& r = m_vecRuns[ri];
    const int vi = VolumeOfSector(r.u64First, folderClusters);
    if (vi < 0) continue;
    const EXFAT_VOLUME_GUESS& v = m_vecVolumes[static_cast<size_t>(vi)];
    u32 c = 0;
    ClusterOf(v, r.u64First, c);
    segs.push_back({r.u64First, ri, vi, c, r.bRoot, -1, -1});
    const u64 k = v.nSectorsPerCluster;
    for (u64 b = v.u64HeapStart + ((r.u64First - v.u64HeapStart) / k + 1) * k; b < r.u64End; b += k) {
      if (ClusterOf(v, b, c) && std::binary_search(folderClusters.begin(), folderClusters.end(), c))
        segs.push_back({b, ri, vi, c, false, -1, -1});
    }
  }
  // Sets and segments are both in run order, each run's in sector order.
  std::vector<int> segOfSet(m_vecSets.size(), -1);
  size_t si = 0;
  for (size_t i = 0; i < m_vecSets.size(); ++i) {
    const FOUND_SET& f = m_vecSets[i];
    while (si < segs.size() && segs[si].nRun < f.nRun) ++si;
    if (si >= segs.size() || segs[si].nRun != f.nRun) continue;
    while (si + 1 < segs.size() && segs[si + 1].nRun == f.nRun && segs[si + 1].u64First <= f.u64EntrySector) ++si;
    segOfSet[i] = static_cast<int>(si);
  }
  std::unordered_map<u32, int> entryOfCluster;
  for (size_t i = 0; i < m_vecSets.size(); ++i)
    if (m_vecSets[i].set.IsDir() && segOfSet[i] >= 0) entryOfCluster.emplace(m_vecSets[i].set.nFirstCluster, static_cast<int>(i));
  for (auto& s : segs) {
    if (s.bRoot) continue;
    auto it = entryOfCluster.find(s.nCluster);
    if (it != entryOfCluster.end()) s.nParentSet = it->second;
  }
  for (size_t i = 0; i < segs.size(); ++i) SegmentDepth(i, segs, segOfSet, 0);

  std::unordered_set<u32> lostMade;
  for (const auto& s : segs) {
    if (s.bRoot || s.nParentSet >= 0 || !lostMade.insert(s.nCluster).second) continue;
    const EXFAT_VOLUME_GUESS& v = m_vecVolumes[static_cast<size_t>(s.nVolume)];
    _FILE_NODE_ node;
    memset(&node, 0, sizeof(node));
    node.wcDrive = m_wcDrive;
    node.nEngineType = ENGINE_PROFESSIONAL_EXFAT;
    node.bIsDir = 1;
    node.bIsDeleted = 1;
    node.bHealth = 1;
    node.nClusterNO = s.nCluster;
    node.nClusterBytes = v.nSectorsPerCluster * SECTOR_SIZE;
    node.u64DataStartSector = v.u64HeapStart - v.u64VolumeStart;
    node.u64VolumeStartSector = v.u64VolumeStart;
    node.u64RecordSector = s.u64First;
    char name[64];
    snprintf(name, sizeof(name), "LostFolder%u", s.nCluster);
    CopyNameToField(node.szFileName, name);
    if (!AddNode(node, RootDirNumber(), 0)) break;
  }
  const u64 rangeEnd = m_u64StartSector + m_u64SectorCount;
  for (size_t i = 0; i < m_vecSets.size(); ++i) {
    if (segOfSet[i] < 0) continue;
    const SEGMENT& s = segs[static_cast<size_t>(segOfSet[i])];
    const EXFAT_VOLUME_GUESS& v = m_vecVolumes[static_cast<size_t>(s.nVolume)];
    const FOUND_SET& f = m_vecSets[i];
    _FILE_NODE_ node;
    FillNode(node, f.set, ENGINE_PROFESSIONAL_EXFAT, v.nSectorsPerCluster * SECTOR_SIZE,
             v.u64HeapStart - v.u64VolumeStart, v.u64VolumeStart, f.u64StreamSector);
    if (!f.set.IsDir()) {
      // The length is never trusted beyond the range (or the volume, when its size is known).
      const u32 c = f.set.nFirstCluster;
      u64 room = 0;
      if (c >= 2) {
        const u64 first = ClusterSector(node, c);
        room = first < rangeEnd ? (rangeEnd - first) * SECTOR_SIZE : 0;
        if (v.nClusterCount && c <= v.nClusterCount + 1)
          room = std::min<u64>(room, static_cast<u64>(v.nClusterCount + 2 - c) * node.nClusterBytes);
      }
      if (node.u64FileSize > room) node.u64FileSize = room;
      node.bHealth = static_cast<u8>(DataHealth(node));
      // Without a FAT a chained file is read from consecutive clusters.
      if (!f.set.NoFatChain() && node.u64FileSize > node.nClusterBytes) node.nResultFlags |= RESULT_FLAG_CHAIN_CLEARED;
    }
    const u32 key = s.bRoot ? RootDirNumber() : s.nCluster;
    if (!AddNode(node, key, static_cast<u32>(s.nDepth))) break;
  }
  m_vecSets.clear();
  m_vecRuns.clear();
  m_pScanResultFileManager->FlushBufToFile();
  return 0;
}

u32 CProfessionalExfatRecovery::NextChainCluster(const _FILE_NODE_& node, u32 nCluster, u32 nIndex) {
  (void)node;
  (void)nIndex;
  // No FAT: a file is taken to lie in consecutive clusters.
  return nCluster == 0xFFFFFFFFu ? 0 : nCluster + 1;
}

bool CProfessionalExfatRecovery::ClusterInVolume(const _FILE_NODE_& node, u32 nCluster) const {
  if (nCluster < 2) return false;
  const u64 s = ClusterSector(node, nCluster);
  return s >= m_u64StartSector && s + node.nClusterBytes / SECTOR_SIZE <= m_u64StartSector + m_u64SectorCount;
}

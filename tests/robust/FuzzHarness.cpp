#include "tests/robust/FuzzHarness.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <memory>
#include <vector>

#include "carve/FileTypeJudge.h"
#include "carve/formats/Formats.h"
#include "carve/FileTypeRecovery.h"
#include "carve/Mp4Rebuild.h"
#include "disk/BootSector.h"
#include "disk/PartitionManager.h"
#include "engine/ByteOrder.h"
#include "engine/DiskMap.h"
#include "engine/FaultGuard.h"
#include "engine/MemDisk.h"
#include "engine/TextUtil.h"
#include "exfat/FastExfatRecovery.h"
#include "ext/FastExtRecovery.h"
#include "fat/FastFatRecovery.h"
#include "disk/FatEntry.h"
#include "fat/ProfessionalFatRecovery.h"
#include "ntfs/FastNtfsRecovery.h"
#include "ntfs/NtfsParse.h"
#include "ntfs/ProfessionalNtfsRecovery.h"
#include "store/LogFileManager.h"
#include "store/ScanResultFileManager.h"

namespace fuzzharness {

namespace {

FAILURE_HOOK g_pHook = nullptr;
const char* g_pCurrent = "";
size_t g_nLastFound = 0;

void Fail(const std::string& what) {
  if (g_pHook) {
    g_pHook(g_pCurrent, what);
    return;
  }
  fprintf(stderr, "fuzz target %s: %s\n", g_pCurrent, what.c_str());
  abort();
}

// Names the running target and checks afterwards that the fault guard did
// not have to rescue anything: parsers must stay inside their bounds alone.
class CTargetScope {
 public:
  explicit CTargetScope(const char* pName) : m_nBefore(FaultGuardCatchCount()) {
    g_pCurrent = pName;
    g_nLastFound = 0;
    WorkDir();
  }
  ~CTargetScope() {
    if (FaultGuardCatchCount() != m_nBefore) Fail("the fault guard caught a fault");
  }

 private:
  uint64_t m_nBefore;
};

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
  remove(path);
  return 0;
}

void RemoveTree(const std::string& path) {
  nftw(path.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

void RemoveWorkDir() {
  // Only the folder this process made.
  const std::string& dir = WorkDir();
  if (!dir.empty()) RemoveTree(dir);
}

std::string SupportDir() { return WorkDir() + "/support"; }
std::string OutsideDir() { return WorkDir() + "/outside"; }
std::string DestRoot() { return WorkDir() + "/out"; }
// Saved files go three levels below the destination root, so a name that
// climbs out of the destination still lands where the check sees it.
std::string DestDir() { return DestRoot() + "/d/e/f"; }

const char kCanaryText[] = "canary: must never change\n";

void ResetScanLog() {
  // Result sets and previews of the last input; the manager's state is in memory.
  std::string log = GetScanLogDir();
  RemoveTree(log);
  MakeDirectories(log);
}

CMemDisk& Disk() {
  static CMemDisk* s_pDisk = new CMemDisk();
  return *s_pDisk;
}

int ScanCb(void*, int, int, int, u64, u64, u64, wchar_t*) { return 0; }
int RecoveryCb(void*, int, int, int, wchar_t*) { return 0; }
int SearchCb(void*, int, wchar_t*) { return 0; }
int PreviewCb(void*, int, int) { return 0; }

bool NameTerminated(const _FILE_NODE_& node) {
  return memchr(node.szFileName, 0, sizeof(node.szFileName)) != nullptr;
}

const std::wstring& SearchAllPattern() {
  static const std::wstring s = Utf8ToWide(std::string("*.other|") + g_szPhotoExtList + "|" + g_szMusicExtList +
                                           "|" + g_szDocumentExtList + "|" + g_szVideoExtList + "|" +
                                           g_szArchiveExtList);
  return s;
}

SEARCH_FILE_INFO_VECTOR SearchAll(IFileRecoveryParse& engine) {
  SEARCH_FILE_INFO_VECTOR hits;
  engine.InitSearchCallBack(SearchCb, nullptr);
  std::wstring pattern = SearchAllPattern();
  engine.SearchFileNode(&pattern[0], hits);
  g_nLastFound = hits.size();
  size_t n = 0;
  for (auto& hit : hits) {
    if (!NameTerminated(hit)) Fail("a search hit's name is not terminated");
    if (++n > 64) continue;
    std::vector<wchar_t> path(1024, 0);
    path[1023] = L'\x7f';
    engine.GetFileNodeParentDirPath(&hit, path.data(), 1000);
    if (path[1023] != L'\x7f' || wmemchr(path.data(), 0, 1000) == nullptr)
      Fail("a parent path overran its buffer");
  }
  return hits;
}

// Browses the folder tree a few levels down; the store and the engines must
// answer without running away on cyclic or damaged relations.
void Browse(IFileRecoveryParse& engine, _FILE_NODE_* pParent, unsigned int nLevel, size_t& nBudget) {
  if (nLevel > 6 || nBudget == 0) return;
  FILE_NODE_VECTOR children;
  unsigned int count = 0;
  engine.GetChildrenFileCount(pParent, nLevel, count);
  engine.GetChildrenFileNode(pParent, nLevel, children);
  for (auto& child : children) {
    if (!NameTerminated(child)) Fail("a listed node's name is not terminated");
    if (nBudget == 0) return;
    --nBudget;
    if (child.bIsDir) Browse(engine, &child, nLevel + 1, nBudget);
  }
}

void PreviewSome(IFileRecoveryParse& engine, SEARCH_FILE_INFO_VECTOR& hits, size_t nMax) {
  std::vector<unsigned char> buf(64 * 1024);
  for (size_t i = 0; i < hits.size() && i < nMax; ++i) {
    if (hits[i].u64FileSize > (16u << 20)) continue;  // a picture preview copies the whole file
    wchar_t temp[260] = {0};
    int len = static_cast<int>(buf.size());
    engine.PreView(&hits[i], temp, buf.data(), len, PreviewCb, nullptr);
    if (len < 0 || len > static_cast<int>(buf.size())) Fail("a preview reported more bytes than its buffer");
  }
}

// Every regular file under the work folder must be the canary, a file of the
// support folder, or a saved file inside a category folder of the destination.
void CheckNothingOutside() {
  struct stat st;
  std::string canary = OutsideDir() + "/canary";
  if (lstat(canary.c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
      st.st_size != static_cast<off_t>(sizeof(kCanaryText) - 1))
    Fail("the canary outside the destination was changed");
  std::vector<std::string> stack{WorkDir()};
  size_t seen = 0;
  while (!stack.empty() && seen < 100000) {
    std::string dir = stack.back();
    stack.pop_back();
    DIR* d = opendir(dir.c_str());
    if (!d) continue;
    while (dirent* e = readdir(d)) {
      if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, "..")) continue;
      ++seen;
      std::string path = dir + "/" + e->d_name;
      if (lstat(path.c_str(), &st) != 0) continue;
      if (S_ISDIR(st.st_mode)) {
        stack.push_back(path);
        continue;
      }
      if (path == canary) continue;
      if (path.compare(0, SupportDir().size() + 1, SupportDir() + "/") == 0) continue;
      std::string dest = DestDir() + "/";
      if (path.compare(0, dest.size(), dest) == 0 && path.find('/', dest.size()) != std::string::npos) continue;
      Fail("a file appeared outside the destination: " + path);
    }
    closedir(d);
  }
}

void SaveSome(IFileRecoveryParse& engine, SEARCH_FILE_INFO_VECTOR& hits, size_t nMax) {
  RemoveTree(DestRoot());
  std::string dest = DestDir();
  MakeDirectories(dest);
  int rootIndex = 0;
  std::wstring wdest = Utf8ToWide(dest);
  GetPathDirIndex(wdest.c_str(), rootIndex);
  size_t saved = 0;
  for (size_t i = 0; i < hits.size() && saved < nMax; ++i) {
    // Sparse NTFS runs may declare anything; keep the memory file system small.
    if (hits[i].u64FileSize > (16u << 20)) continue;
    ++saved;
    std::string name(hits[i].szFileName, strnlen(hits[i].szFileName, sizeof(hits[i].szFileName)));
    std::string dir = dest + "/" + (hits[i].bIsDir ? "folders" : "files");
    MakeDirectories(dir);
    std::string path = GetRealFileName(dir + "/" + MakeSafePathComponent(name));
    std::wstring wpath = Utf8ToWide(path);
    engine.SaveFileData(&hits[i], &wpath[0], rootIndex);
  }
  CheckNothingOutside();
}

// Folders found by browsing are saved too: their children's names come from
// the disk and are joined to the destination by the engine itself.
void SaveFolders(IFileRecoveryParse& engine, size_t nMax) {
  FILE_NODE_VECTOR top;
  engine.GetChildrenFileNode(nullptr, 0, top);
  SEARCH_FILE_INFO_VECTOR dirs;
  for (auto& n : top) {
    if (!n.bIsDir || dirs.size() >= nMax) continue;
    __SEARCH_FILE_INFO__ hit;
    memcpy(static_cast<_FILE_NODE_*>(&hit), &n, sizeof(_FILE_NODE_));
    dirs.push_back(hit);
  }
  if (!dirs.empty()) SaveSome(engine, dirs, nMax);
}

void Exercise(IFileRecoveryParse& engine, bool bSave) {
  SEARCH_FILE_INFO_VECTOR hits = SearchAll(engine);
  size_t budget = 2000;
  Browse(engine, nullptr, 0, budget);
  PreviewSome(engine, hits, 4);
  if (bSave) {
    SaveSome(engine, hits, 4);
    SaveFolders(engine, 2);
  }
}

// Lays the sparse-image records over a zeroed disk of u64DiskBytes.
void LoadSparse(const uint8_t* d, size_t n, u64 u64DiskBytes) {
  Disk().SetContents(nullptr, 0, u64DiskBytes);
  u64 sectors = u64DiskBytes / SECTOR_SIZE;
  size_t records = 0;
  for (size_t off = 0; off + SPARSE_RECORD <= n && records < 4096; off += SPARSE_RECORD, ++records) {
    u64 sector = GetU32LE(d, n, off) % sectors;
    Disk().WriteAt(sector * SECTOR_SIZE, d + off + 4, 512);
  }
}

// ---------------------------------------------------------------- targets

int FuzzBootSector(const uint8_t* d, size_t n) {
  CTargetScope scope("boot_sector");
  IsNtfs(d, n);
  IsFat(d, n);
  IsExt(d, n);
  IsExfat(d, n);
  IsBitlockerDBR(d, n);
  IsFullValidFAT16DBR(d, n);
  IsFullValidFAT32DBR(d, n);
  IsFatFileRecord(d, n);
  IsFatFDTRecord(d, n);
  if (n >= 8) {
    u64 v = GetU64LE(d, n, 0);
    IsAllowedSectorsPerCluster(static_cast<u32>(v));
    u32 spc = GetDefaultNtfsSectorPerCluster(v, 512);
    if (spc != 0 && !IsAllowedSectorsPerCluster(spc) && spc > 128)
      Fail("default NTFS cluster size out of range");
    GetFat32DefaultSectorPerCluster(v, 512);
  }
  return 0;
}

constexpr u64 kPartitionDiskBytes = 64ull << 20;

int FuzzPartitionTable(const uint8_t* d, size_t n) {
  CTargetScope scope("partition_table");
  CPartitionManager::IsMBR(d, n);
  CPartitionManager::IsEFI(d, n);
  CPartitionManager::IsAPM(d, n);
  // The disk is a sparse image, so extended boot records and the backup GPT
  // can lie far from the start.
  LoadSparse(d, n, kPartitionDiskBytes);
  int disk = Disk().GetDiskNo();
  if (disk < 0) return 0;
  CPartitionManager manager;
  std::vector<_PARTITION_ITEM_> list;
  manager.ReadDisk(disk, list);
  if (list.size() > 4 + PARTITION_MAX_LOGICAL + PARTITION_MAX_GPT_ENTRIES + PARTITION_MAX_APM_ENTRIES)
    Fail("more partitions than the limits allow");
  for (const auto& item : list) {
    if (item.u64StartSector > item.u64EndSector) Fail("a partition ends before it starts");
    if (item.nDiskNo != disk) Fail("a partition names another disk");
    if (memchr(item.szDevicePath, 0, sizeof(item.szDevicePath)) == nullptr) Fail("device path not terminated");
    PartitionNameToUtf8(item);
  }
  return 0;
}

// Direct calls into the record parser on one record's bytes.
void ParseOneNtfsRecord(const uint8_t* pRec) {
  std::vector<u8> rec(pRec, pRec + 1024);
  CNtfsParse parse;
  parse.Init(512);
  parse.FileRecordFixUp(rec.data());
  NTFS_RECORD_INFO info;
  ParseNtfsRecordInfo(rec.data(), 1024, info);
  CNtfsAttrIterator it(rec.data(), 1024);
  NTFS_ATTR attr;
  int walked = 0;
  while (it.Next(attr)) {
    if (++walked > 1024) {
      Fail("the attribute walk does not end");
      break;
    }
    if (attr.nOffset + attr.nLength > 1024 || attr.nLength == 0) Fail("an attribute handed out lies outside the record");
    if (attr.bNonResident) {
      std::vector<__RUNLIST__> runs;
      parse.GetRunList(rec.data() + attr.nOffset, runs);
      if (runs.size() > NTFS_MAX_RUNS) Fail("too many runs");
      GetRunListClusterCount(runs);
      u64 sector = 0;
      for (u64 no : {0ull, 5ull, 11ull, 1000ull, 0xFFFFFFFFull}) GetRecordRelativeSector(runs, no, 2, 8, sector);
      std::vector<__RUNLIST__> base = runs;
      AppendRunListExtent(base, runs);
    }
  }
  for (u32 type : {NTFS_ATTR_ATTRIBUTE_LIST, NTFS_ATTR_FILE_NAME, NTFS_ATTR_DATA, NTFS_ATTR_INDEX_ALLOCATION}) {
    bool list = false, corrupt = false;
    if (FindNtfsAttribute(rec.data(), 1024, type, attr, &list, &corrupt) && attr.bNonResident) {
      std::vector<__RUNLIST__> runs;
      parse.GetRunList(rec.data() + attr.nOffset, 1024 - attr.nOffset, runs);
    }
  }
}

int FuzzNtfsRecord(const uint8_t* d, size_t n) {
  CTargetScope scope("ntfs_record");
  std::vector<u8> image(d, d + n);
  if (image.size() < 1024) image.resize(1024, 0);
  ParseOneNtfsRecord(image.data());
  ResetScanLog();
  Disk().SetContents(image.data(), image.size());
  int disk = Disk().GetDiskNo();
  if (disk < 0) return 0;
  CProfessionalNtfsRecovery engine;
  u64 sectors = Disk().GetSectorCount();
  if (engine.Init(disk, 0, static_cast<i64>(sectors), L'C') != 0) return 0;
  engine.InitCallBack(ScanCb, RecoveryCb, nullptr, 90);
  engine.InitProfessionalScan(nullptr);
  int records = 0;
  for (u64 s = 0; (s + 2) * 512 <= image.size() && records < 64; ++s) {
    unsigned char* p = image.data() + s * 512;
    if (!IsNtfsFileRecord(p, 1024)) continue;
    ++records;
    std::vector<u8> rec(p, p + 1024);  // exactly one record: an overread is caught
    engine.ParseNtfsFileRecord(rec.data(), s);
    if (memcmp(rec.data(), p, 1024) != 0) Fail("the deep parser changed the caller's record");
  }
  engine.ParseProfessionalRecordVec();
  Exercise(engine, true);
  return 0;
}

constexpr u64 kNtfsDiskBytes = 32ull << 20;

int FuzzNtfsVolume(const uint8_t* d, size_t n) {
  CTargetScope scope("ntfs_volume");
  ResetScanLog();
  LoadSparse(d, n, kNtfsDiskBytes);
  int disk = Disk().GetDiskNo();
  if (disk < 0) return 0;
  CFastNtfsRecovery engine;
  if (engine.Init(disk, 0, static_cast<i64>(kNtfsDiskBytes / 512), L'C') != 0) return 0;
  engine.InitCallBack(ScanCb, RecoveryCb, nullptr, 9);
  engine.BuildBitMapInfo();
  if (engine.ScanDevice(nullptr) != 0) return 0;
  u64 start = 0, count = 0;
  for (int i = 0; i < 64 && engine.GetUnUsedSectorCount(start, count) == 0 && count != 0; ++i) {
    if (start + count > kNtfsDiskBytes / 512 + 1 || start + count < start) Fail("a free run lies beyond the volume");
  }
  Exercise(engine, true);
  return 0;
}

constexpr u64 kExtDiskBytes = 48ull << 20;

// The ext engine's allocation map from a sparse disk: whatever the
// superblock, descriptors and bitmaps say, the free runs ascend and stay
// inside the volume. LastFoundCount is the number of free runs.
int FuzzExtVolume(const uint8_t* d, size_t n) {
  CTargetScope scope("ext_volume");
  LoadSparse(d, n, kExtDiskBytes);
  int disk = Disk().GetDiskNo();
  if (disk < 0) return 0;
  const u64 sectors = kExtDiskBytes / SECTOR_SIZE;
  CFastExtRecovery engine;
  engine.Init(disk, 0, static_cast<i64>(sectors), L'C');
  if (engine.BuildBitMapInfo() != 0) return 0;
  u64 start = 0, count = 0, end = 0, total = 0;
  for (size_t runs = 0; runs < (1u << 20); ++runs) {
    count = 0;
    engine.GetUnUsedSectorCount(start, count);
    if (count == 0) break;
    if (start < end || start + count > sectors || start + count < start) Fail("a free run lies outside the volume");
    total += count;
    end = start + count;
    start = end;
    g_nLastFound = runs + 1;
  }
  if (total > sectors) Fail("more free sectors than the volume has");
  return 0;
}

// The quick FAT target's volume: FAT16, one sector per cluster, one FAT.
// The input fills the root folder's first 2048 bytes, then the FAT's first
// 2048 bytes, then the data area from cluster 2 on.
constexpr u32 kFatTotalSectors = 8192;
constexpr u32 kFatReserved = 1;
constexpr u32 kFatSectors = 32;
constexpr u32 kFatRootEntries = 512;
constexpr u32 kFatRootSector = kFatReserved + kFatSectors;
constexpr u32 kFatDataSector = kFatRootSector + kFatRootEntries * 32 / 512;
constexpr size_t kFatRootInput = 2048;
constexpr size_t kFatFatInput = 2048;

void PutLE(u8* p, u64 v, int n) {
  for (int i = 0; i < n; ++i) p[i] = static_cast<u8>(v >> (8 * i));
}

std::vector<u8> FatTemplateBoot() {
  std::vector<u8> b(512, 0);
  const u8 jump[3] = {0xEB, 0x3C, 0x90};
  memcpy(&b[0], jump, 3);
  memcpy(&b[3], "MSWIN4.1", 8);
  PutLE(&b[0x0B], 512, 2);
  b[0x0D] = 1;
  PutLE(&b[0x0E], kFatReserved, 2);
  b[0x10] = 1;
  PutLE(&b[0x11], kFatRootEntries, 2);
  PutLE(&b[0x13], kFatTotalSectors, 2);
  b[0x15] = 0xF8;
  PutLE(&b[0x16], kFatSectors, 2);
  PutLE(&b[0x18], 32, 2);
  PutLE(&b[0x1A], 2, 2);
  b[0x24] = 0x80;
  b[0x26] = 0x29;
  PutLE(&b[0x27], 0x12345678, 4);
  memcpy(&b[0x2B], "FUZZ       ", 11);
  memcpy(&b[0x36], "FAT16   ", 8);
  b[510] = 0x55;
  b[511] = 0xAA;
  return b;
}

int FuzzFatDir(const uint8_t* d, size_t n) {
  CTargetScope scope("fat_dir");
  ResetScanLog();
  static const std::vector<u8> boot = FatTemplateBoot();
  Disk().SetContents(boot.data(), boot.size(), static_cast<u64>(kFatTotalSectors) * 512);
  size_t rootLen = std::min(n, kFatRootInput);
  Disk().WriteAt(static_cast<u64>(kFatRootSector) * 512, d, rootLen);
  if (n > kFatRootInput) {
    size_t fatLen = std::min(n - kFatRootInput, kFatFatInput);
    Disk().WriteAt(static_cast<u64>(kFatReserved) * 512, d + kFatRootInput, fatLen);
  } else {
    const u8 media[4] = {0xF8, 0xFF, 0xFF, 0xFF};
    Disk().WriteAt(static_cast<u64>(kFatReserved) * 512, media, 4);
  }
  if (n > kFatRootInput + kFatFatInput) {
    size_t dataLen = std::min<size_t>(n - kFatRootInput - kFatFatInput,
                                      static_cast<size_t>(kFatTotalSectors - kFatDataSector) * 512);
    Disk().WriteAt(static_cast<u64>(kFatDataSector) * 512, d + kFatRootInput + kFatFatInput, dataLen);
  }
  int disk = Disk().GetDiskNo();
  if (disk < 0) return 0;
  CFastFatRecovery engine;
  if (engine.Init(disk, 0, kFatTotalSectors, L'C') != 0) return 0;
  engine.InitCallBack(ScanCb, RecoveryCb, nullptr, 9);
  engine.BuildBitMapInfo();
  if (engine.ScanDevice(nullptr) != 0) return 0;
  u64 start = 0, count = 0;
  for (int i = 0; i < 64 && engine.GetUnUsedSectorCount(start, count) == 0 && count != 0; ++i) {
    if (start + count > kFatTotalSectors + 1) Fail("a free run lies beyond the volume");
  }
  Exercise(engine, true);
  return 0;
}

// The quick exFAT target's volume: 4 MiB, 4 KiB clusters, one FAT, the
// allocation bitmap in cluster 2, the up-case table in 3-4 and the root in 5
// (where mkfs.exfat puts them). The input fills the root folder's cluster,
// then the FAT's first 2048 bytes, then the cluster heap from cluster 6 on.
constexpr u32 kExfatTotalSectors = 8192;
constexpr u32 kExfatFatSector = 32;
constexpr u32 kExfatFatSectors = 8;
constexpr u32 kExfatHeapSector = 64;
constexpr u32 kExfatClusterSectors = 8;
constexpr u32 kExfatClusters = (kExfatTotalSectors - kExfatHeapSector) / kExfatClusterSectors;
constexpr u32 kExfatRootCluster = 5;
constexpr size_t kExfatRootInput = 4096;
constexpr size_t kExfatFatInput = 2048;

u64 ExfatClusterByte(u32 nCluster) {
  return (kExfatHeapSector + static_cast<u64>(nCluster - 2) * kExfatClusterSectors) * 512;
}

std::vector<u8> ExfatTemplate() {
  std::vector<u8> v(static_cast<size_t>(ExfatClusterByte(kExfatRootCluster)), 0);
  u8* b = v.data();
  const u8 jump[3] = {0xEB, 0x76, 0x90};
  memcpy(b, jump, 3);
  memcpy(b + 3, "EXFAT   ", 8);
  PutLE(b + 0x48, kExfatTotalSectors, 8);
  PutLE(b + 0x50, kExfatFatSector, 4);
  PutLE(b + 0x54, kExfatFatSectors, 4);
  PutLE(b + 0x58, kExfatHeapSector, 4);
  PutLE(b + 0x5C, kExfatClusters, 4);
  PutLE(b + 0x60, kExfatRootCluster, 4);
  PutLE(b + 0x64, 0x12345678, 4);
  PutLE(b + 0x68, 0x100, 2);
  b[0x6C] = 9;
  b[0x6D] = 3;
  b[0x6E] = 1;
  b[0x6F] = 0x80;
  b[510] = 0x55;
  b[511] = 0xAA;
  const u32 sum = ExfatBootChecksum(b, v.size(), 512);
  for (size_t off = 11 * 512; off < 12 * 512; off += 4) PutLE(b + off, sum, 4);
  // The FAT: media entry, then the bitmap, up-case and root chains.
  const u32 fat[6] = {0xFFFFFFF8, 0xFFFFFFFF, 0xFFFFFFFF, 4, 0xFFFFFFFF, 0xFFFFFFFF};
  for (int i = 0; i < 6; ++i) PutLE(b + kExfatFatSector * 512 + i * 4, fat[i], 4);
  // The bitmap: clusters 2 to 5 in use.
  b[ExfatClusterByte(2)] = 0x0F;
  return v;
}

int FuzzExfatDir(const uint8_t* d, size_t n) {
  CTargetScope scope("exfat_dir");
  ResetScanLog();
  static const std::vector<u8> image = ExfatTemplate();
  Disk().SetContents(image.data(), image.size(), static_cast<u64>(kExfatTotalSectors) * 512);
  Disk().WriteAt(ExfatClusterByte(kExfatRootCluster), d, std::min(n, kExfatRootInput));
  if (n > kExfatRootInput)
    Disk().WriteAt(static_cast<u64>(kExfatFatSector) * 512, d + kExfatRootInput, std::min(n - kExfatRootInput, kExfatFatInput));
  if (n > kExfatRootInput + kExfatFatInput) {
    const u64 room = static_cast<u64>(kExfatTotalSectors) * 512 - ExfatClusterByte(kExfatRootCluster + 1);
    Disk().WriteAt(ExfatClusterByte(kExfatRootCluster + 1), d + kExfatRootInput + kExfatFatInput,
                   static_cast<size_t>(std::min<u64>(n - kExfatRootInput - kExfatFatInput, room)));
  }
  int disk = Disk().GetDiskNo();
  if (disk < 0) return 0;
  CFastExfatRecovery engine;
  if (engine.Init(disk, 0, kExfatTotalSectors, L'C') != 0) return 0;
  engine.InitCallBack(ScanCb, RecoveryCb, nullptr, 9);
  engine.BuildBitMapInfo();
  if (engine.ScanDevice(nullptr) != 0) return 0;
  u64 start = 0, count = 0;
  for (int i = 0; i < 64; ++i) {
    count = 0;
    engine.GetUnUsedSectorCount(start, count);
    if (count == 0) break;
    if (start < kExfatHeapSector || start + count > kExfatTotalSectors) Fail("a free run lies outside the cluster heap");
    start += count;
  }
  Exercise(engine, true);
  return 0;
}

int FuzzFatDeep(const uint8_t* d, size_t n) {
  CTargetScope scope("fat_deep");
  std::vector<u8> image(d, d + n);
  if (image.size() < 512) image.resize(512, 0);
  ResetScanLog();
  Disk().SetContents(image.data(), image.size());
  int disk = Disk().GetDiskNo();
  if (disk < 0) return 0;
  CProfessionalFatRecovery engine;
  u64 sectors = Disk().GetSectorCount();
  if (engine.Init(disk, 0, static_cast<i64>(sectors), L'C') != 0) return 0;
  engine.InitCallBack(ScanCb, RecoveryCb, nullptr, 90);
  engine.ClearProfessionalVec(nullptr);
  engine.InitVirtualDbrInfo();
  // The same routing as the deep pass: a folder's first sector, any other
  // directory sector, in ascending order.
  for (u64 s = 0; (s + 1) * 512 <= image.size() && s < 256; ++s) {
    std::vector<u8> sector(image.begin() + static_cast<long>(s * 512), image.begin() + static_cast<long>(s * 512 + 512));
    if (IsFatFileRecord(sector.data(), 512))
      engine.ParseFatFileRecord(sector.data(), s);
    else if (IsFatFDTRecord(sector.data(), 512))
      engine.ParseFDTFileRecord(sector.data(), s);
  }
  engine.DealProfessionalRecordVec();
  Exercise(engine, true);
  return 0;
}

const char* const kMatchExtensions[] = {"jpg", "png", "zip", "docx", "doc", "pdf", "mp4", "avi", "mp3", "7z", "exe"};

int FuzzCarve(const uint8_t* d, size_t n) {
  CTargetScope scope("carve");
  if (n == 0) return 0;
  ResetScanLog();
  Disk().SetContents(d, n);
  int disk = Disk().GetDiskNo();
  if (disk < 0) return 0;
  u64 sectors = Disk().GetSectorCount();
  CDiskReader reader;
  if (reader.Init(Disk().GetPath().c_str(), sectors) != 0) return 0;
  CFileTypeJudge::ResetPass();

  // Every detector and size rule of the table on the bytes as given, with a
  // context pointing at this input's reader (classifiers read further
  // sectors through it).
  std::vector<unsigned char> readAhead(CARVE_CONTEXT::READ_BUF_SIZE);
  auto context = [&]() {
    CARVE_CONTEXT ctx = CFileTypeJudge::MakeContext(&reader, 512, 0);
    ctx.pReadBuf = readAhead.data();
    return ctx;
  };
  std::vector<unsigned char> copy(d, d + n);
  CARVE_CONTEXT quickCtx = context(), fullCtx = context();
  int quick = CFileTypeJudge::DetectFileType(quickCtx, copy.data(), static_cast<int>(n));
  int full = CFileTypeJudge::DetectFileTypeAllRows(fullCtx, copy.data(), static_cast<int>(n));
  if (quick != full) Fail("quick detection and the full table disagree");
  for (int i = 0; i < CFileTypeJudge::EXTEND_NAME_ROW_COUNT; ++i) {
    const CFileTypeJudge::EXTEND_NAME_ROW& row = CFileTypeJudge::szExtendNameAndType[i];
    if (!row.szExtendName) break;
    CARVE_CONTEXT ctx = context();
    row.pFormat->pDetector(ctx, copy.data(), static_cast<int>(n));
    if (row.pFormat->pSizeRule) {
      ctx = context();
      const u64 size = row.pFormat->pSizeRule(ctx, copy.data(), static_cast<int>(n));
      if (size > row.pFormat->u64MaxSize + 512) Fail(std::string("a length past its format's maximum: ") + row.szExtendName);
    }
    // The metadata reader on the input as a whole file: clean, terminated text only.
    if (const CARVE_METADATA_READER reader = CFileTypeJudge::MetadataReaderOfRow(i)) {
      CARVE_METADATA meta;
      memset(&meta, 0, sizeof(meta));
      ctx = context();
      reader(ctx, n, meta);
      auto check = [&](const char* field, size_t size) {
        const size_t len = strnlen(field, size);
        if (len == size) Fail(std::string("metadata text not terminated: ") + row.szExtendName);
        const std::string text(field, len);
        if (text != CleanMetadataText(text.data(), text.size(), size))
          Fail(std::string("metadata text not cleaned: ") + row.szExtendName);
      };
      check(meta.szTitle, sizeof(meta.szTitle));
      check(meta.szArtist, sizeof(meta.szArtist));
      check(meta.szMake, sizeof(meta.szMake));
      check(meta.szModel, sizeof(meta.szModel));
    }
    if (memcmp(copy.data(), d, n) != 0) {
      Fail(std::string("a detector or size rule changed its input: ") + row.szExtendName);
      memcpy(copy.data(), d, n);
    }
  }
  u64 size = 0;
  CARVE_CONTEXT endCtx = context();
  CFileTypeJudge::IsEndOfFile(endCtx, copy.data(), static_cast<int>(n), size);
  endCtx = context();
  CFileTypeJudge::IsEndOfMPGFile(endCtx, copy.data(), static_cast<int>(n), size);
  u64 off = 0;
  CARVE_CONTEXT tailCtx = context();
  carvefmt::GetJPGFileTailOffset(tailCtx, copy.data(), static_cast<int>(n), off);
  carvefmt::GetPNGFileTailOffset(tailCtx, copy.data(), static_cast<int>(n), off);
  carvefmt::GetGIFFileTailOffset(tailCtx, copy.data(), static_cast<int>(n), off);
  carvefmt::GetOFFICE2003FileBytesSizeByFileHead(tailCtx, copy.data(), static_cast<int>(n));
  CFileTypeJudge::IsFileSystemSector(copy.data(), static_cast<int>(n));
  for (const char* ext : kMatchExtensions) {
    char e[8];
    snprintf(e, sizeof(e), "%s", ext);
    CFileTypeJudge::IsFileTypeMatching(copy.data(), static_cast<int>(n), e, &reader, 512, 0);
  }

  // The carving engine over the first sectors, as the deep pass offers them.
  CFileTypeRecovery engine;
  if (engine.Init(disk, 0, static_cast<i64>(sectors), L'C') != 0) return 0;
  engine.InitCallBack(ScanCb, RecoveryCb, nullptr, 90);
  u64 found = 0;
  for (u64 s = 0; s < sectors && s < 8;) {
    std::vector<unsigned char> sector(512, 0);
    size_t have = std::min<size_t>(512, n > s * 512 ? n - s * 512 : 0);
    memcpy(sector.data(), d + s * 512, have);
    u64 skip = 1;
    u64 before = found;
    int st = engine.ParseFileBuf(sector.data(), 512, s, s, sectors, -1, &reader, 512, skip, found);
    if (st == 0 && (skip == 0 || found != before + 1)) Fail("a carve reported no progress");
    s += skip == 0 ? 1 : skip;
  }
  SEARCH_FILE_INFO_VECTOR hits = SearchAll(engine);
  for (const auto& hit : hits)
    if (hit.u64FileSize == 0) Fail("a carved file has no length");
  PreviewSome(engine, hits, 2);
  SaveSome(engine, hits, 2);
  return 0;
}

// The input as a whole file, read through the sample walk's source.
class CBytesSource : public IMp4Source {
 public:
  CBytesSource(const uint8_t* d, size_t n) : m_d(d), m_n(n) {}
  bool Read(u64 off, u8* out, size_t len) override {
    if (off > m_n || len > m_n - off) return false;
    memcpy(out, m_d + off, len);
    return true;
  }

 private:
  const uint8_t* m_d;
  size_t m_n;
};

// The movie box parser and the sample walk: the first top-level moov box of
// the input (the whole input when there is none) is parsed, and its samples
// are walked over the input as the file.
int FuzzMp4Movie(const uint8_t* d, size_t n) {
  CTargetScope scope("mp4_movie");
  const uint8_t* payload = d;
  size_t len = n;
  for (size_t pos = 0; pos + 8 <= n;) {
    u64 size = GetU32BE(d, n, pos);
    size_t head = 8;
    if (size == 1) {
      if (pos + 16 > n) break;
      size = (static_cast<u64>(GetU32BE(d, n, pos + 8)) << 32) | GetU32BE(d, n, pos + 12);
      head = 16;
    } else if (size == 0) {
      size = n - pos;
    }
    if (size < head) break;
    if (memcmp(d + pos + 4, "moov", 4) == 0) {
      payload = d + pos + head;
      len = static_cast<size_t>(std::min<u64>(size - head, n - pos - head));
      break;
    }
    if (size > n - pos) break;
    pos += static_cast<size_t>(size);
  }
  // The parser keeps pointers into its input: a copy of exactly its length
  // lets the sanitizer see any read past it.
  std::vector<u8> movieBytes(payload, payload + len);
  CMp4Movie movie;
  if (!movie.Parse(movieBytes.data(), movieBytes.size())) return 0;
  movie.HasCheckedTrack();
  CBytesSource src(d, n);
  const u64 kChecks = 2048;
  MP4_WALK walk;
  movie.Walk(src, movie.Begin(), kChecks, UINT64_MAX, true, walk);
  if (walk.u64Checks > kChecks) Fail("the sample walk passed more checks than it was allowed");
  if (walk.nStop == MP4_WALK::LIMIT) {
    MP4_WALK more;
    movie.Walk(src, walk.at, kChecks, UINT64_MAX, false, more);
  }
  if (walk.nStop == MP4_WALK::FAILED && walk.bSawStrong) {
    MP4_WALK again;
    movie.Walk(src, walk.lastStrong, 16, walk.u64FailAt, false, again);
  }
  return 0;
}

int FuzzRelation(const uint8_t* d, size_t n) {
  CTargetScope scope("relation");
  DIR_RELATION_MAP map;
  std::vector<char> text(d, d + n);  // exactly n bytes: no terminator to lean on
  CScanResultFileManager::GetDirRelationMap(text.data(), text.size(), map);
  size_t children = 0;
  for (const auto& kv : map) children += kv.second.size();
  if (children > n) Fail("more children than bytes of text");
  return 0;
}

int FuzzConfig(const uint8_t* d, size_t n) {
  CTargetScope scope("config");
  ResetScanLog();
  std::string base = GetScanLogDir();
  // Scan folders the records may name, inside the scan-log folder.
  MakeDirectories(base + "1");
  MakeDirectories(base + "7/sub");
  std::string config = base + "config";
  int fd = open(config.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return 0;
  size_t done = 0;
  while (done < n) {
    ssize_t w = write(fd, d + done, n - done);
    if (w <= 0) break;
    done += static_cast<size_t>(w);
  }
  close(fd);
  CLogFileManager* log = CLogFileManager::GetInstance();
  log->Reload();
  std::vector<_LOG_FILE_INFO_> records = log->GetLogList();
  std::string device = Disk().GetPath();
  size_t tried = 0;
  for (const _LOG_FILE_INFO_& r : records) {
    if (++tried > 8) break;
    _LOG_FILE_INFO_* p = nullptr;
    log->GetFileInfo(r.nDiskNo, r.u64StartSector, r.u64SectorCount, r.u64FreeSpace, &p);
    char path[257];
    memcpy(path, r.szScanPath, 256);
    path[256] = 0;
    log->GetFileInfo(path, r.u64Zero, &p);
    _LOG_FILE_INFO_ out;
    if (log->LoadRecoveryLogInfo(device.c_str(), r.nDiskNo, r.u64StartSector, r.u64SectorCount, &out) == 1) {
      std::string dir = log->GetLogFileDirPath();
      if (dir.compare(0, base.size(), base) != 0) Fail("a past scan was resumed outside the scan-log folder: " + dir);
      char name[256] = {0};
      log->GetLogFileNameByFileType(dir.c_str(), "Pro_Fat_", name);
      if (memchr(name, 0, sizeof(name)) == nullptr) Fail("a result-set name is not terminated");
    }
    char dir[257];
    memcpy(dir, r.szLogDir, 256);
    dir[256] = 0;
    log->DeleteLogFileDir(dir);
  }
  log->AddDirIndex();
  log->SaveLogFileInfo(device.c_str(), 3, 100, 200, 0, 10, 5, 5, 1, log->GetLogFileDirPath().c_str(), "");
  log->ReduceDirIndex();
  log->SaveLogConfigFile();
  char out[256];
  log->GetLogFileDirPath(out);
  if (memchr(out, 0, sizeof(out)) == nullptr) Fail("the scan folder path is not terminated");
  CheckNothingOutside();
  // Leave no hostile config behind for the next user of the manager.
  unlink(config.c_str());
  log->Reload();
  return 0;
}

}  // namespace

const TARGET g_Targets[] = {
    {"boot_sector", FuzzBootSector, 16384},
    {"partition_table", FuzzPartitionTable, 65536},
    {"ntfs_record", FuzzNtfsRecord, 16384},
    {"ntfs_volume", FuzzNtfsVolume, 256 * SPARSE_RECORD},
    {"ext_volume", FuzzExtVolume, 256 * SPARSE_RECORD},
    {"fat_dir", FuzzFatDir, 65536},
    {"fat_deep", FuzzFatDeep, 128 * 1024},
    {"exfat_dir", FuzzExfatDir, 65536},
    {"carve", FuzzCarve, 65536},
    {"mp4_movie", FuzzMp4Movie, 65536},
    {"relation", FuzzRelation, 16384},
    {"config", FuzzConfig, 8 + 592 * 8},
    {nullptr, nullptr, 0},
};

const TARGET* FindTarget(const char* pName) {
  for (const TARGET* t = g_Targets; t->pName; ++t)
    if (pName && strcmp(t->pName, pName) == 0) return t;
  return nullptr;
}

const std::string& WorkDir() {
  static std::string s_dir;
  static bool s_bMade = false;
  if (!s_bMade) {
    s_bMade = true;
    struct stat st;
    std::string root = (stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode)) ? "/dev/shm" : "/tmp";
    std::string pattern = root + "/torvane-fuzz-XXXXXX";
    if (mkdtemp(&pattern[0])) {
      s_dir = pattern;
      setenv("TORVANE_SUPPORT_DIR", (s_dir + "/support").c_str(), 1);
      MakeDirectories(GetScanLogDir());
      MakeDirectories(s_dir + "/outside");
      MakeDirectories(s_dir + "/out");
      std::string canary = s_dir + "/outside/canary";
      int fd = open(canary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
      if (fd >= 0) {
        ssize_t w = write(fd, kCanaryText, sizeof(kCanaryText) - 1);
        (void)w;
        close(fd);
      }
      CLogFileManager::GetInstance()->Reload();
      atexit(RemoveWorkDir);
    }
  }
  return s_dir;
}

void SetFailureHook(FAILURE_HOOK pHook) { g_pHook = pHook; }

size_t LastFoundCount() { return g_nLastFound; }

}  // namespace fuzzharness

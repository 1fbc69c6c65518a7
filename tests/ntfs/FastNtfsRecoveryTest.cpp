// The quick NTFS engine on the builder's images: what it lists, where, what
// it saves, the free-space runs it reports, health and lost folders.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <set>

#include "NtfsTestUtil.h"
#include "TestFiles.h"
#include "TestImages.h"
#include "engine/TextUtil.h"
#include "ntfs/FastNtfsRecovery.h"

using namespace ntfstest;

namespace {

bool Skippable(const testimg::ManifestFile& f) {
  // Streams are listed as "file:stream"; fill files were overwritten on purpose.
  return f.name.find(':') != std::string::npos || f.HasTag("overwritten");
}

// Where a deleted file must be: its own path, or for a file of a deleted
// folder possibly under that folder's lost folder.
const ListedNode* FindDeleted(const std::map<std::string, ListedNode>& tree, const testimg::ManifestFile& f) {
  auto it = tree.find(ManifestTreePath(f.folder, f.name));
  if (it != tree.end()) return &it->second;
  if (!f.HasTag("in-deleted-folder")) return nullptr;
  for (const auto& e : tree)
    if (e.first.rfind("LostFolder", 0) == 0 && e.second.folder.size() && !e.second.node.bIsDir &&
        e.first.size() > f.name.size() && e.first.compare(e.first.size() - f.name.size() - 1, std::string::npos,
                                                          "/" + f.name) == 0)
      return &e.second;
  return nullptr;
}

std::string SaveAndHash(IFileRecoveryParse& e, const _FILE_NODE_& node, const std::string& dir, int& status) {
  std::string target = dir + "/saved.bin";
  unlink(target.c_str());  // a save never overwrites: start from a free name
  _FILE_NODE_ copy = node;
  std::wstring w = W(target);
  status = e.SaveFileData(&copy, &w[0], 0);
  return testimg::Sha256File(target);
}

struct ScanOfImage {
  CFastNtfsRecovery engine;
  std::map<std::string, ListedNode> tree;
  int status = -1;
};

void ScanPath(ScanOfImage& s, const std::string& image, const char* tag) {
  FreshScanLog(tag);
  std::wstring w = W(image);
  ASSERT_EQ(0, s.engine.Init(&w[0], L'C'));
  s.status = s.engine.ScanDevice(nullptr);
  ASSERT_EQ(0, s.status);
  s.tree = ListTree(s.engine);
}

void CheckDeletedListedAndSaved(ScanOfImage& s, const testimg::Manifest& m, uint64_t volumeStart) {
  std::string out = testimg::MakeTempDir("ntfs-save");
  int checked = 0, expected = 0;
  for (const auto& f : m.Files("deleted")) expected += Skippable(f) ? 0 : 1;
  for (const auto& f : m.Files("deleted")) {
    if (Skippable(f)) continue;
    SCOPED_TRACE(f.Path());
    const ListedNode* n = FindDeleted(s.tree, f);
    ASSERT_NE(nullptr, n) << "deleted file not listed";
    EXPECT_EQ(0u, n->node.bIsDir);
    EXPECT_EQ(volumeStart, n->node.u64VolumeStartSector);
    EXPECT_EQ(f.size, n->node.u64FileSize);
    // The engine's own parent path agrees with where the tree holds it.
    wchar_t path[1024] = {0};
    _FILE_NODE_ copy = n->node;
    EXPECT_EQ(0, s.engine.GetFileNodeParentDirPath(&copy, path, 1024));
    EXPECT_EQ(n->folder, WideToUtf8(path));
    int st = -1;
    EXPECT_EQ(f.sha256, SaveAndHash(s.engine, n->node, out, st));
    EXPECT_EQ(0, st);
    ++checked;
  }
  EXPECT_GT(expected, 3);
  EXPECT_EQ(expected, checked);
  testimg::RemoveTree(out);
}

}  // namespace

TEST(FastNtfsImage, ListsEveryDeletedFileWithItsFolderAndSavesItsData) {
  ScanOfImage s;
  ASSERT_NO_FATAL_FAILURE(ScanPath(s, testimg::ImagePath("ntfs.img"), "fastntfs"));
  testimg::Manifest m = testimg::LoadManifest("ntfs.img");
  EXPECT_EQ(0u, s.engine.GetStartSector());
  ASSERT_FALSE(s.engine.GetMftRunList().empty());
  CheckDeletedListedAndSaved(s, m, 0);

  // Live files in live folders are not listed; the folders holding deleted
  // files are, although they still exist.
  for (const auto& f : m.Files("live")) {
    if (Skippable(f)) continue;
    EXPECT_EQ(0u, s.tree.count(ManifestTreePath(f.folder, f.name))) << f.Path();
  }
  ASSERT_TRUE(s.tree.count("Documents/Old"));
  EXPECT_EQ(1u, s.tree.at("Documents/Old").node.bIsDir);
  // The system files (records 0 to 11) never appear.
  for (const auto& e : s.tree) {
    if (!e.second.node.bIsDir) {
      EXPECT_GE(e.second.node.nClusterNO, 12u) << e.first;
    }
  }
  // The file with streams is live: its streams must not show up as deleted data.
  for (const auto& e : s.tree) EXPECT_EQ(std::string::npos, e.first.find("Documents/with stream.txt")) << e.first;
  // Every deleted file is counted below the top.
  unsigned int count = 0;
  EXPECT_EQ(0, s.engine.GetChildrenFileCount(nullptr, 0, count));
  size_t files = 0;
  for (const auto& e : s.tree) files += e.second.node.bIsDir ? 0 : 1;
  EXPECT_GE(count, files);
  FILE_NODE_VECTOR none;
  EXPECT_EQ(87, s.engine.GetChildrenFileNode(nullptr, 1, none));
}

// 64 KiB and 2 MiB clusters (mkntfs -c): listed and saved as 4 KiB ones,
// files of the deleted folder under its own name.
TEST(FastNtfsImage, LargeClustersAreReadLikeSmallOnes) {
  for (const char* name : {"ntfs64k.img", "ntfs2m.img"}) {
    SCOPED_TRACE(name);
    ScanOfImage s;
    ASSERT_NO_FATAL_FAILURE(ScanPath(s, testimg::ImagePath(name), "fastntfs-large"));
    testimg::Manifest m = testimg::LoadManifest(name);
    EXPECT_EQ(static_cast<int>(m.clusterBytes / 512), s.engine.GetSectorPerCluster());
    CheckDeletedListedAndSaved(s, m, 0);
    int inFolder = 0;
    for (const auto& f : m.Files("deleted"))
      if (f.HasTag("in-deleted-folder") && !Skippable(f)) {
        ++inFolder;
        EXPECT_EQ(1u, s.tree.count(ManifestTreePath(f.folder, f.name))) << f.Path();
      }
    EXPECT_GE(inFolder, 3);
  }
}

// A deleted file's named streams come back beside it as "name_stream", each
// with its own bytes: a resident one and a non-resident one.
TEST(FastNtfsImage, NamedStreamsOfADeletedFileAreFilesBesideIt) {
  ScanOfImage s;
  ASSERT_NO_FATAL_FAILURE(ScanPath(s, testimg::ImagePath("ntfs.img"), "fastntfs-ads"));
  testimg::Manifest m = testimg::LoadManifest("ntfs.img");
  std::string out = testimg::MakeTempDir("ntfs-ads");
  int streams = 0;
  for (const auto& f : m.Files("deleted")) {
    size_t colon = f.name.find(':');
    if (colon == std::string::npos) continue;
    SCOPED_TRACE(f.Path());
    std::string name = f.name;
    name[colon] = '_';
    auto it = s.tree.find(ManifestTreePath(f.folder, name));
    ASSERT_NE(s.tree.end(), it);
    EXPECT_EQ(f.size, it->second.node.u64FileSize);
    int st = -1;
    EXPECT_EQ(f.sha256, SaveAndHash(s.engine, it->second.node, out, st));
    EXPECT_EQ(0, st);
    // Beside the file's own data, which is not the stream's.
    EXPECT_EQ(1u, s.tree.count(ManifestTreePath(f.folder, f.name.substr(0, colon))));
    ++streams;
  }
  EXPECT_EQ(2, streams);
  testimg::RemoveTree(out);
}

TEST(FastNtfsImage, VolumeInsideAnMbrDiskAtNonZeroStart) {
  std::string disk = testimg::ImagePath("mbr.img");
  setenv("TORVANE_DISKS", disk.c_str(), 1);
  testimg::Manifest whole = testimg::LoadManifest("mbr.img");
  testimg::Manifest m = testimg::LoadManifest("mbr.img.p2");
  const testimg::ManifestPartition* p = nullptr;
  for (const auto& part : whole.partitions)
    if (part.index == 2) p = &part;
  ASSERT_NE(nullptr, p);
  ASSERT_EQ("ntfs", p->fs);
  ScanOfImage s;
  FreshScanLog("fastntfs-mbr");
  ASSERT_EQ(0, s.engine.Init(0, static_cast<i64>(p->firstSector), static_cast<i64>(p->lastSector - p->firstSector + 1),
                             L'C'));
  ASSERT_EQ(0, s.engine.ScanDevice(nullptr));
  s.tree = ListTree(s.engine);
  EXPECT_GT(p->firstSector, 0u);
  CheckDeletedListedAndSaved(s, m, p->firstSector);
  for (const auto& f : m.Files("live")) EXPECT_EQ(0u, s.tree.count(ManifestTreePath(f.folder, f.name))) << f.Path();
  unsetenv("TORVANE_DISKS");
}

TEST(FastNtfsImage, FreeRunsCoverNoLiveClusterAndEveryDeletedFirstCluster) {
  ScanOfImage s;
  FreshScanLog("fastntfs-bitmap");
  std::string image = testimg::ImagePath("ntfs.img");
  std::wstring w = W(image);
  ASSERT_EQ(0, s.engine.Init(&w[0], L'C'));
  ASSERT_EQ(0, s.engine.BuildBitMapInfo());
  testimg::Manifest m = testimg::LoadManifest("ntfs.img");
  const uint64_t spc = 8;

  std::vector<std::pair<uint64_t, uint64_t>> runs;  // [start, end)
  uint64_t start = 0, len = 0, total = 0;
  for (int guard = 0; guard < 100000; ++guard) {
    ASSERT_EQ(1, s.engine.GetUnUsedSectorCount(start, len));
    if (len == 0) break;
    if (!runs.empty()) {
      EXPECT_GE(start, runs.back().second);
    }
    runs.push_back({start, start + len});
    total += len;
    start += len;
  }
  ASSERT_FALSE(runs.empty());
  EXPECT_LT(total, s.engine.GetSectorCount());
  auto overlaps = [&](uint64_t a, uint64_t b) {
    for (auto& r : runs)
      if (a < r.second && r.first < b) return true;
    return false;
  };
  int live = 0, deleted = 0;
  for (const auto& f : m.files) {
    if (f.firstSector < 0 || Skippable(f)) continue;
    uint64_t first = static_cast<uint64_t>(f.firstSector);
    if (f.state == "live") {
      uint64_t end = f.Contiguous() ? first + (f.size + 4095) / 4096 * spc : first + spc;
      EXPECT_FALSE(overlaps(first, end)) << "free run over live " << f.Path();
      ++live;
    } else {
      EXPECT_TRUE(overlaps(first, first + 1)) << "deleted first cluster not free: " << f.Path();
      ++deleted;
    }
  }
  EXPECT_GT(live, 5);
  EXPECT_GT(deleted, 5);
  // The boot sector and the MFT are allocated.
  EXPECT_FALSE(overlaps(0, 1));
  EXPECT_FALSE(overlaps(s.engine.GetMftStartSector(), s.engine.GetMftStartSector() + 1));

  // A start inside a free cluster never reaches into the allocated one after it.
  uint64_t mid = runs[0].first + 3, n = 0;
  s.engine.GetUnUsedSectorCount(mid, n);
  EXPECT_EQ(runs[0].second, mid + n);
  uint64_t beyond = s.engine.GetSectorCount() + 10;
  EXPECT_EQ(1, s.engine.GetUnUsedSectorCount(beyond, n));
  EXPECT_EQ(s.engine.GetSectorCount(), beyond);
  EXPECT_EQ(0u, n);
}

TEST(FastNtfsImage, OverwrittenPhotoIsListedAsDamagedTextStaysGood) {
  testimg::Manifest m = testimg::LoadManifest("ntfs.img");
  const testimg::ManifestFile* jpg = m.Find("/Trash Folder/camera.jpg");
  const testimg::ManifestFile* txt = m.Find("/Trash Folder/first note.txt");
  ASSERT_TRUE(jpg && txt);
  ASSERT_GE(jpg->firstSector, 0);
  ASSERT_GE(txt->firstSector, 0);
  std::string copy = testimg::CopyToTemp(testimg::ImagePath("ntfs.img"), "ntfs-health");
  {
    std::fstream f(copy, std::ios::in | std::ios::out | std::ios::binary);
    std::string text(4096, 'x');
    f.seekp(jpg->firstSector * 512);
    f.write(text.data(), text.size());
    std::string junk(4096, '\xFF');
    f.seekp(txt->firstSector * 512);
    f.write(junk.data(), junk.size());
  }
  ScanOfImage s;
  ASSERT_NO_FATAL_FAILURE(ScanPath(s, copy, "fastntfs-health"));
  // Find the two nodes whatever folder they ended in, and check the listing.
  bool sawJpgInList = false, sawTxt = false;
  for (const auto& e : s.tree) {
    if (e.first.size() >= 10 && e.first.compare(e.first.size() - 10, 10, "camera.jpg") == 0) {
      sawJpgInList = true;
      EXPECT_EQ(0u, e.second.node.bHealth) << "its first sector is text, not a photo";
    }
    if (e.first.find("first note.txt") != std::string::npos) {
      sawTxt = true;
      EXPECT_EQ(1u, e.second.node.bHealth) << "a text file cannot be judged damaged";
    }
  }
  EXPECT_TRUE(sawJpgInList) << "a found file is never hidden";
  EXPECT_TRUE(sawTxt);
  unlink(copy.c_str());
}

TEST(FastNtfsImage, FileWhoseFolderRecordWasReusedLandsInLostFolder) {
  // Find the record of "Sub Folder" from a clean scan first.
  ScanOfImage clean;
  ASSERT_NO_FATAL_FAILURE(ScanPath(clean, testimg::ImagePath("ntfs.img"), "fastntfs-lost0"));
  uint32_t dirNo = 0;
  for (const auto& e : clean.tree) {
    if (e.first.find("report copy.pdf") == std::string::npos) continue;
    for (const auto& d : clean.tree) {
      if (d.second.node.bIsDir && e.second.folder == d.first + "/") dirNo = d.second.node.nClusterNO;
    }
  }
  ASSERT_GE(dirNo, 12u);
  const auto& mft = clean.engine.GetMftRunList();
  ASSERT_FALSE(mft.empty());
  ASSERT_LT(uint64_t(dirNo) * 2, mft[0].u64RunLength * 8);
  uint64_t recordByte = clean.engine.GetMftStartSector() * 512 + uint64_t(dirNo) * 1024;

  // Make that record a plain file (as when its slot is reused by one).
  std::string copy = testimg::CopyToTemp(testimg::ImagePath("ntfs.img"), "ntfs-lost");
  {
    std::fstream f(copy, std::ios::in | std::ios::out | std::ios::binary);
    f.seekg(recordByte + 0x16);
    unsigned char flags[2];
    f.read(reinterpret_cast<char*>(flags), 2);
    flags[0] &= static_cast<unsigned char>(~0x02);
    f.seekp(recordByte + 0x16);
    f.write(reinterpret_cast<char*>(flags), 2);
  }
  ScanOfImage s;
  ASSERT_NO_FATAL_FAILURE(ScanPath(s, copy, "fastntfs-lost1"));
  std::string lost = "LostFolder" + std::to_string(dirNo);
  ASSERT_TRUE(s.tree.count(lost)) << "no " << lost;
  EXPECT_EQ(1u, s.tree.at(lost).node.bIsDir);
  EXPECT_EQ("", s.tree.at(lost).folder) << "lost folders hang under the root";
  EXPECT_TRUE(s.tree.count(lost + "/report copy.pdf"));
  EXPECT_TRUE(s.tree.count(lost + "/tiny.txt"));
  // Saving from the lost folder still gives the data.
  testimg::Manifest m = testimg::LoadManifest("ntfs.img");
  std::string out = testimg::MakeTempDir("ntfs-lost-save");
  int st = -1;
  EXPECT_EQ(m.Find("/Trash Folder/Sub Folder/tiny.txt")->sha256,
            SaveAndHash(s.engine, s.tree.at(lost + "/tiny.txt").node, out, st));
  EXPECT_EQ(0, st);
  testimg::RemoveTree(out);
  unlink(copy.c_str());
}

TEST(FastNtfsImage, ProgressReachesTheEndAndACancelStopsTheScan) {
  struct Seen {
    std::vector<int> progress;
    int stopAt = -1;
  } seen;
  auto cb = [](void* p, int nProgress, int nPercent, int nRemain, u64, u64, u64, wchar_t*) -> int {
    Seen* s = static_cast<Seen*>(p);
    s->progress.push_back(nProgress);
    EXPECT_EQ(9, nPercent);
    EXPECT_EQ(-1, nRemain) << "no estimate inside a deep scan's pre-pass";
    return s->stopAt >= 0 && static_cast<int>(s->progress.size()) > s->stopAt ? 7 : 0;
  };
  FreshScanLog("fastntfs-progress");
  CFastNtfsRecovery e;
  std::wstring w = W(testimg::ImagePath("ntfs.img"));
  ASSERT_EQ(0, e.Init(&w[0], L'C'));
  e.InitCallBack(cb, nullptr, &seen, 9);
  ASSERT_EQ(0, e.ScanDevice(nullptr));
  ASSERT_FALSE(seen.progress.empty());
  EXPECT_EQ(100, seen.progress.back());
  for (size_t i = 1; i < seen.progress.size(); ++i) EXPECT_GE(seen.progress[i], seen.progress[i - 1]);

  seen.progress.clear();
  seen.stopAt = 0;
  FreshScanLog("fastntfs-cancel");
  CFastNtfsRecovery e2;
  ASSERT_EQ(0, e2.Init(&w[0], L'C'));
  e2.InitCallBack(cb, nullptr, &seen, 9);
  EXPECT_EQ(7, e2.ScanDevice(nullptr)) << "the callback's answer is returned";
}

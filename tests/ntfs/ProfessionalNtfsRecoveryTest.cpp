// The deep NTFS engine fed every record-looking sector of an image in
// ascending order, as the deep scan does, then its folder pass.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

#include "NtfsTestUtil.h"
#include "TestFiles.h"
#include "TestImages.h"
#include "engine/TextUtil.h"
#include "ntfs/FastNtfsRecovery.h"
#include "ntfs/ProfessionalNtfsRecovery.h"

using namespace ntfstest;

namespace {

// Offers every sector in [first, first + count) that passes the record test.
int FeedSectors(CProfessionalNtfsRecovery& e, const std::string& image, uint64_t first, uint64_t count) {
  std::vector<unsigned char> all = testfiles::ReadAll(image);
  int fed = 0;
  for (uint64_t s = first; s < first + count && (s + 2) * 512 <= all.size(); ++s) {
    unsigned char* p = all.data() + s * 512;
    if (!IsNtfsFileRecord(p, 1024)) continue;
    e.ParseNtfsFileRecord(p, s);
    ++fed;
  }
  e.ParseProfessionalRecordVec();
  return fed;
}

const ListedNode* FindByName(const std::map<std::string, ListedNode>& tree, const std::string& folder,
                             const std::string& name, bool allowLost) {
  auto it = tree.find(ManifestTreePath(folder, name));
  if (it != tree.end()) return &it->second;
  if (!allowLost) return nullptr;
  for (const auto& e : tree)
    if (e.first.rfind("LostFolder", 0) == 0 && !e.second.node.bIsDir &&
        e.first.size() > name.size() && e.first.compare(e.first.size() - name.size() - 1, std::string::npos, "/" + name) == 0)
      return &e.second;
  return nullptr;
}

std::string Save(IFileRecoveryParse& e, const _FILE_NODE_& n, const std::string& target, int& st) {
  _FILE_NODE_ copy = n;
  unlink(target.c_str());  // a save never overwrites: start from a free name
  std::wstring w = W(target);
  st = e.SaveFileData(&copy, &w[0], 0);
  return testimg::Sha256File(target);
}

}  // namespace

TEST(ProfessionalNtfs, FindsEveryLiveAndDeletedFileOfTheImage) {
  FreshScanLog("prontfs");
  std::string image = testimg::ImagePath("ntfs.img");
  CProfessionalNtfsRecovery e;
  std::wstring w = W(image);
  ASSERT_EQ(0, e.Init(&w[0], L'C'));
  e.InitProfessionalScan(nullptr);
  ASSERT_GT(FeedSectors(e, image, 0, 1u << 30), 100);
  EXPECT_EQ(8, e.GetSectorPerCluster());
  EXPECT_FALSE(e.GetMftRunListMap().empty());
  auto tree = ListTree(e);
  testimg::Manifest m = testimg::LoadManifest("ntfs.img");
  std::string out = testimg::MakeTempDir("prontfs-save");
  int live = 0, deleted = 0;
  for (const auto& f : m.files) {
    if (f.HasTag("overwritten")) continue;
    SCOPED_TRACE(f.Path());
    // A named stream is listed as "file_stream" beside its file.
    std::string name = f.name;
    if (name.find(':') != std::string::npos) name[name.find(':')] = '_';
    const ListedNode* n = FindByName(tree, f.folder, name, f.HasTag("in-deleted-folder"));
    ASSERT_NE(nullptr, n);
    EXPECT_EQ(uint32_t(ENGINE_PROFESSIONAL_NTFS), n->node.nEngineType);
    EXPECT_EQ(4096u, n->node.nClusterBytes);
    EXPECT_EQ(0u, n->node.u64VolumeStartSector);
    if (f.state == "deleted") {
      int st = -1;
      EXPECT_EQ(f.sha256, Save(e, n->node, out + "/f.bin", st));
      EXPECT_EQ(0, st);
      ++deleted;
    } else {
      ++live;
    }
  }
  EXPECT_GT(live, 20);
  EXPECT_GT(deleted, 20);
  testimg::RemoveTree(out);
}

TEST(ProfessionalNtfs, VolumeInsideAnMbrDiskGetsItsStartFromItsMft) {
  std::string disk = testimg::ImagePath("mbr.img");
  setenv("TORVANE_DISKS", disk.c_str(), 1);
  testimg::Manifest m = testimg::LoadManifest("mbr.img.p2");
  FreshScanLog("prontfs-mbr");
  CProfessionalNtfsRecovery e;
  const uint64_t first = m.volumeStartSector;
  ASSERT_GT(first, 0u);
  // The whole disk is the scanned range: the volume start must be worked out.
  ASSERT_EQ(0, e.Init(0, 0, 81920, L'C'));
  e.InitProfessionalScan(nullptr);
  FeedSectors(e, disk, 0, 81920);
  auto tree = ListTree(e);
  std::string out = testimg::MakeTempDir("prontfs-mbr-save");
  int checked = 0;
  for (const auto& f : m.files) {
    SCOPED_TRACE(f.Path());
    const ListedNode* n = FindByName(tree, f.folder, f.name, false);
    ASSERT_NE(nullptr, n);
    EXPECT_EQ(first, n->node.u64VolumeStartSector);
    int st = -1;
    EXPECT_EQ(f.sha256, Save(e, n->node, out + "/f.bin", st));
    ++checked;
  }
  EXPECT_GT(checked, 3);
  testimg::RemoveTree(out);
  unsetenv("TORVANE_DISKS");
}

TEST(ProfessionalNtfs, StrayRecordsOfAFormattedOverVolumeAreFound) {
  std::string image = testimg::ImagePath("ntfs-over-fat.img");
  testimg::Manifest m = testimg::LoadManifest("ntfs-over-fat.img");
  std::wstring w = W(image);

  // The quick engine sees a FAT volume now: none of the old files.
  FreshScanLog("prontfs-nof-quick");
  CFastNtfsRecovery quick;
  quick.Init(&w[0], L'C');
  quick.ScanDevice(nullptr);
  auto quickTree = ListTree(quick);

  FreshScanLog("prontfs-nof");
  CProfessionalNtfsRecovery e;
  ASSERT_EQ(0, e.Init(&w[0], L'C'));
  e.InitProfessionalScan(nullptr);
  FeedSectors(e, image, 0, 1u << 30);
  auto tree = ListTree(e);
  std::string out = testimg::MakeTempDir("prontfs-nof-save");
  int checked = 0;
  for (const auto& f : m.files) {
    if (!f.HasTag("old-fs") || !f.HasTag("record-intact")) continue;
    SCOPED_TRACE(f.Path());
    EXPECT_EQ(nullptr, FindByName(quickTree, f.folder, f.name, true));
    const ListedNode* n = FindByName(tree, f.folder, f.name, false);
    ASSERT_NE(nullptr, n);
    if (f.HasTag("data-intact") || f.HasTag("resident")) {
      int st = -1;
      EXPECT_EQ(f.sha256, Save(e, n->node, out + "/f.bin", st));
      EXPECT_EQ(0, st);
    }
    ++checked;
  }
  EXPECT_GT(checked, 3);
  testimg::RemoveTree(out);
}

TEST(ProfessionalNtfs, PlacesStrayRecordsWithAndWithoutAKnownMft) {
  std::string dir = testimg::MakeTempDir("prontfs-stray");
  std::string image = dir + "/disk.img";
  // A blank 60000-sector disk; the scanned range starts at 2048.
  {
    std::vector<Bytes> none;
    ASSERT_TRUE(WriteSyntheticVolume(image, 60000, 16, none));
    Bytes zero(512, 0);
    std::fstream f(image, std::ios::in | std::ios::out | std::ios::binary);
    f.write(reinterpret_cast<char*>(zero.data()), 512);  // no boot sector
  }
  setenv("TORVANE_DISKS", image.c_str(), 1);
  FreshScanLog("prontfs-stray-log");
  CProfessionalNtfsRecovery e;
  ASSERT_EQ(0, e.Init(0, 2048, 50000, L'C'));
  e.InitProfessionalScan(nullptr);

  // A file record with a 1 MiB non-resident data attribute in 256 clusters
  // teaches 8 sectors per cluster.
  Bytes learn = RecordBuilder(100, 0)
                    .FileName(64, "photo.bin", 1, 1048576)
                    .NonResidentData(EncodeRuns({{200, 3000}, {56, 500}}), 1048576, 1048576)
                    .Build();
  ASSERT_EQ(0, e.ParseNtfsFileRecord(learn.data(), 50000));
  EXPECT_EQ(8, e.GetSectorPerCluster());
  // No known MFT: the volume starts at the range start and the MFT is
  // assumed contiguous, 2 x 100 sectors before the record.
  ASSERT_FALSE(e.GetSpecialDirList().empty());
  const __SPECIAL_RECOVERY_DIR__& d = e.GetSpecialDirList()[0];
  EXPECT_EQ(64u, d.nRecordNO);
  EXPECT_EQ(2048u, d.u64PartitionStartSector);
  ASSERT_EQ(1u, d.vecMftRunList.size());
  EXPECT_EQ(0u, d.vecMftRunList[0].u64RunLength);
  EXPECT_EQ((50000 - 2048 - 200) / 8, d.vecMftRunList[0].i64RunOffset);
  // A record that cannot tell its cluster size leaves the guess alone, and a
  // nonsense one (3 sectors per cluster) is not believed.
  Bytes odd = RecordBuilder(101, 0).FileName(5, "odd.bin", 1, 3 * 512 * 10)
                  .NonResidentData(EncodeRuns({{10, 4000}}), 3 * 512 * 10, 3 * 512 * 10).Build();
  e.ParseNtfsFileRecord(odd.data(), 50002);
  EXPECT_EQ(8, e.GetSectorPerCluster());

  // An MFT's record 0 of a volume starting at 4096 with the MFT at cluster
  // 4: later records it places exactly get that volume's start, others not.
  const uint64_t volume = 4096, mftSector = volume + 4 * 8;
  Bytes mft = RecordBuilder(0, 1).FileName(5, "$MFT", 3, 64 * 1024)
                  .NonResidentData(EncodeRuns({{16, 4}}), 65536, 65536).Build();
  ASSERT_EQ(0, e.ParseNtfsFileRecord(mft.data(), mftSector));
  ASSERT_EQ(1u, e.GetMftRunListMap().count(mftSector));
  Bytes inside = RecordBuilder(40, 0).FileName(5, "inside.txt", 1, 3).ResidentData({'a', 'b', 'c'}).Build();
  ASSERT_EQ(0, e.ParseNtfsFileRecord(inside.data(), mftSector + 80));
  Bytes elsewhere = RecordBuilder(41, 0).FileName(5, "elsewhere.txt", 1, 3).ResidentData({'x', 'y', 'z'}).Build();
  ASSERT_EQ(0, e.ParseNtfsFileRecord(elsewhere.data(), 30000));
  e.ParseProfessionalRecordVec();
  auto tree = ListTree(e);
  ASSERT_TRUE(tree.count("inside.txt"));
  EXPECT_EQ(volume, tree.at("inside.txt").node.u64VolumeStartSector);
  ASSERT_TRUE(tree.count("elsewhere.txt"));
  EXPECT_EQ(2048u, tree.at("elsewhere.txt").node.u64VolumeStartSector);
  // Folder 64 could not be read: its file hangs in its lost folder.
  EXPECT_TRUE(tree.count("LostFolder64/photo.bin"));
  // Directory records handed in during the pass are left to the folder pass.
  Bytes dirRec = RecordBuilder(70, 3).FileName(5, "a folder").Build();
  EXPECT_EQ(0, e.ParseNtfsFileRecord(dirRec.data(), 31000));
  EXPECT_EQ(0u, ListTree(e).count("a folder"));
  unsetenv("TORVANE_DISKS");
  testimg::RemoveTree(dir);
}

// The deep FAT engine: geometry from folder starts, long names split across
// sectors, the folder of a buffer in a later cluster, and whole images fed
// sector by sector the way the deep scan feeds them.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <functional>

#include "engine/TextUtil.h"
#include "disk/FatEntry.h"
#include "fat/ProfessionalFatRecovery.h"
#include "tests/fat/FatBytes.h"
#include "tests/fat/FatTestUtil.h"
#include "tests/support/TestFiles.h"

using namespace fatbytes;
using fattest::Found;

namespace {


// Offers every sector of an image to the engine as the deep scan does:
// folder starts to one entry point, other directory sectors to the other.
void FeedImage(CProfessionalFatRecovery& engine, const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<unsigned char> chunk(65536);
  u64 sector = 0;
  while (in) {
    in.read(reinterpret_cast<char*>(chunk.data()), static_cast<std::streamsize>(chunk.size()));
    size_t got = static_cast<size_t>(in.gcount());
    for (size_t off = 0; off + 512 <= got; off += 512, ++sector) {
      const unsigned char* s = chunk.data() + off;
      if (IsFatFileRecord(s, 512))
        engine.ParseFatFileRecord(s, sector);
      else if (IsFatFDTRecord(s, 512))
        engine.ParseFDTFileRecord(s, sector);
    }
  }
  engine.DealProfessionalRecordVec();
}

int OpenDeep(CProfessionalFatRecovery& engine, const std::string& path) {
  std::wstring wpath = Utf8ToWide(path);
  int status = engine.Init(&wpath[0], L'C');
  if (status != 0) return status;
  status = engine.ClearProfessionalVec(nullptr);
  if (status != 0) return status;
  engine.InitVirtualDbrInfo();
  return 0;
}

bool HasRecord(const CProfessionalFatRecovery& engine, u32 spc, u32 dataStart) {
  for (const auto& r : engine.GetVirtualDbrVec())
    if (r.nSectorPerCluster == spc && r.nDataStartSector == dataStart) return true;
  return false;
}

TEST(VirtualDbr, TwoFolderStartsGiveTheGeometry) {
  CProfessionalFatRecovery engine;
  EXPECT_TRUE(engine.CalcVirtualDbr(18, 10304, 10, 10240));
  ASSERT_EQ(1u, engine.GetVirtualDbrVec().size());
  EXPECT_EQ(8u, engine.GetVirtualDbrVec()[0].nSectorPerCluster);
  EXPECT_EQ(10176u, engine.GetVirtualDbrVec()[0].nDataStartSector);
  // The same geometry again is not a second record.
  EXPECT_TRUE(engine.CalcVirtualDbr(26, 10368, 10, 10240));
  EXPECT_EQ(1u, engine.GetVirtualDbrVec().size());
  // 10 sectors over 4 clusters leaves a remainder; 12 over 4 gives 3 sectors
  // per cluster, which no FAT volume has; clusters below 2 are not clusters.
  EXPECT_FALSE(engine.CalcVirtualDbr(9, 1010, 5, 1000));
  EXPECT_FALSE(engine.CalcVirtualDbr(9, 1012, 5, 1000));
  EXPECT_FALSE(engine.CalcVirtualDbr(5, 1000, 1, 996));
  // Cluster 2 would lie before the start of the disk.
  EXPECT_FALSE(engine.CalcVirtualDbr(4, 12, 3, 4));
  EXPECT_EQ(1u, engine.GetVirtualDbrVec().size());
}

TEST(VirtualDbr, BestRecordIsTheNearestBelow) {
  CProfessionalFatRecovery engine;
  ASSERT_TRUE(engine.CalcVirtualDbr(18, 10304, 10, 10240));  // data at 10176
  ASSERT_TRUE(engine.CalcVirtualDbr(12, 50020, 2, 50000));   // 2 per cluster, data at 50000
  EXPECT_EQ(10176u, engine.GetBestVirtalDbr(20000)->nDataStartSector);
  EXPECT_EQ(50000u, engine.GetBestVirtalDbr(60000)->nDataStartSector);
  // Below every data start the first record answers.
  EXPECT_EQ(10176u, engine.GetBestVirtalDbr(5)->nDataStartSector);
}

// A small disk made of hand-written directory sectors.
class DeepSectors : public testing::Test {
 protected:
  void SetUp() override {
    fattest::UseFreshSupportDir("deep-sectors");
    dir_ = testimg::MakeTempDir("deep-sectors");
    path_ = dir_ + "/disk.img";
    disk_.assign(4096 * 512, 0);
  }
  void TearDown() override { testimg::RemoveTree(dir_); }
  u8* Sector(u64 s) { return disk_.data() + s * 512; }
  void Open() {
    ASSERT_TRUE(testfiles::WriteAll(path_, disk_.data(), disk_.size()));
    ASSERT_EQ(0, OpenDeep(engine_, path_));
  }
  void Feed(u64 s) {
    if (IsFatFileRecord(Sector(s), 512)) {
      engine_.ParseFatFileRecord(Sector(s), s);
      return;
    }
    ASSERT_TRUE(IsFatFDTRecord(Sector(s), 512)) << s;
    engine_.ParseFDTFileRecord(Sector(s), s);
  }
  // Folder start at sector s for cluster c with parent p; the sector ends
  // with a long-name run whose short entry opens the next sector `next`.
  void FolderStartWithCutName(u64 s, u32 c, u64 next, const std::string& longName, const char* name11) {
    u8* sec = Sector(s);
    DotEntries(sec, c, 0);
    for (int i = 2; i < 14; ++i) {
      char n[12];
      snprintf(n, sizeof(n), "FILE%02d  TXT", i);
      ShortEntry(sec + i * 32, n, FAT_ATTR_ARCHIVE, 100 + i, 10);
    }
    std::vector<u8> lfn = LongNameEntries(longName, name11);
    ASSERT_EQ(64u, lfn.size());
    memcpy(sec + 14 * 32, lfn.data(), 64);
    ShortEntry(Sector(next), name11, FAT_ATTR_ARCHIVE, 300, 1234);
  }

  std::string dir_, path_;
  std::vector<u8> disk_;
  CProfessionalFatRecovery engine_;
};

TEST_F(DeepSectors, LongNameSplitAcrossSectorsInOrder) {
  // Folder starts at 2000 (cluster 10) and 2064 (cluster 18): 8 sectors per
  // cluster, cluster 2 at 1936.
  FolderStartWithCutName(2000, 10, 2001, "A long file name.txt", "ALONGF~1TXT");
  DotEntries(Sector(2064), 18, 0);
  ShortEntry(Sector(2064) + 64, "OTHER   TXT", FAT_ATTR_ARCHIVE, 400, 5);
  Open();
  Feed(2000);
  Feed(2001);
  Feed(2064);
  engine_.DealProfessionalRecordVec();
  ASSERT_TRUE(HasRecord(engine_, 8, 1936));
  auto all = fattest::SearchAllFiles(engine_);
  auto it = all.find("/LostFolder10/A long file name.txt");
  ASSERT_NE(all.end(), it) << "names found: " << all.size();
  EXPECT_EQ(1234u, it->second.node.u64FileSize);
  EXPECT_EQ(300u, it->second.node.nClusterNO);
  EXPECT_EQ(4096u, it->second.node.nClusterBytes);
  EXPECT_EQ(2000u, it->second.node.u64RecordSector);
  EXPECT_EQ(ENGINE_PROFESSIONAL_FAT, it->second.node.nEngineType);
  EXPECT_NE(all.end(), all.find("/LostFolder10/file02.txt"));
  EXPECT_NE(all.end(), all.find("/LostFolder18/other.txt"));
}

TEST_F(DeepSectors, LongNameJoinedFromASectorKeptEarlier) {
  // The sector with the short entry lies before the folder start on the
  // disk, so it arrives first and is kept until the cut name shows up.
  FolderStartWithCutName(2000, 10, 1500, "Second half first.txt", "SECOND~1TXT");
  DotEntries(Sector(2064), 18, 0);
  Open();
  Feed(1500);
  Feed(2000);
  Feed(2064);
  engine_.DealProfessionalRecordVec();
  auto all = fattest::SearchAllFiles(engine_);
  EXPECT_NE(all.end(), all.find("/LostFolder10/Second half first.txt"));
}

TEST_F(DeepSectors, EntriesOfALaterClusterGoToTheFolderHoldingThem) {
  // Geometry: 8 sectors per cluster, cluster 2 at 1936. Folder 20 starts at
  // cluster 20; its second cluster is cluster 30 (not a folder start) and
  // holds a file and the sub-folder 40, whose ".." names folder 20.
  auto first = [](u32 c) { return 1936 + static_cast<u64>(c - 2) * 8; };
  DotEntries(Sector(first(10)), 10, 0);
  DotEntries(Sector(first(20)), 20, 0);
  ShortEntry(Sector(first(20)) + 64, "FIRST   TXT", FAT_ATTR_ARCHIVE, 500, 7);
  u8* later = Sector(first(30));
  ShortEntry(later, "LATER   TXT", FAT_ATTR_ARCHIVE, 501, 9);
  ShortEntry(later + 32, "SUB        ", FAT_ATTR_DIRECTORY, 40, 0);
  DotEntries(Sector(first(40)), 40, 20);
  ShortEntry(Sector(first(40)) + 64, "INSUB   TXT", FAT_ATTR_ARCHIVE, 502, 3);
  Open();
  Feed(first(10));
  Feed(first(20));
  Feed(first(30));
  Feed(first(40));
  engine_.DealProfessionalRecordVec();
  auto all = fattest::SearchAllFiles(engine_);
  EXPECT_NE(all.end(), all.find("/LostFolder20/first.txt"));
  EXPECT_NE(all.end(), all.find("/LostFolder20/later.txt")) << "filed under the cluster it was read from";
  EXPECT_NE(all.end(), all.find("/LostFolder20/sub/insub.txt"));
}

TEST_F(DeepSectors, VolumeLabelOpensTheRoot) {
  auto first = [](u32 c) { return 1936 + static_cast<u64>(c - 2) * 8; };
  DotEntries(Sector(first(10)), 10, 0);
  DotEntries(Sector(first(18)), 18, 0);
  ShortEntry(Sector(first(18)) + 64, "X       TXT", FAT_ATTR_ARCHIVE, 77, 1);
  u8* root = Sector(first(2));
  ShortEntry(root, "MYDISK     ", FAT_ATTR_VOLUME, 0, 0);
  ShortEntry(root + 32, "ROOTFILETXT", FAT_ATTR_ARCHIVE, 600, 11);
  ShortEntry(root + 64, "FOLDER     ", FAT_ATTR_DIRECTORY, 18, 0);
  Open();
  Feed(first(2));
  Feed(first(10));
  Feed(first(18));
  engine_.DealProfessionalRecordVec();
  EXPECT_EQ(2u, engine_.GetRootCluster());
  auto all = fattest::SearchAllFiles(engine_);
  // Found before any geometry was known, placed once one was.
  EXPECT_NE(all.end(), all.find("/rootfile.txt"));
  EXPECT_NE(all.end(), all.find("/folder/x.txt"));
}

// Whole images, every sector offered in order.
class DeepImage : public testing::Test {
 protected:
  void SetUp() override { fattest::UseFreshSupportDir("deep-image"); }
  // Deleted files found by name, under their folder or a LostFolder; the
  // contiguous ones with intact data save with the manifest's hash.
  void CheckFound(const testimg::Manifest& m, const std::string& image,
                  const std::function<bool(const testimg::ManifestFile&)>& wanted) {
    auto all = fattest::SearchAllFiles(engine_);
    std::string out = testimg::MakeTempDir("deep-save");
    int checked = 0, saved = 0;
    for (const auto& f : m.files) {
      if (f.state != "deleted" || !wanted(f)) continue;
      ++checked;
      const Found* hit = nullptr;
      for (const auto& kv : all) {
        std::string name = kv.second.node.szFileName;
        // Names as the manifest has them; a deleted short-name-only entry has "!" for its first letter.
        bool nameOk = name == f.name ||
                      (name.size() == f.name.size() && name[0] == '!' && name.substr(1) == f.name.substr(1));
        bool folderOk = kv.second.folder == f.folder || kv.second.folder.find("LostFolder") != std::string::npos;
        if (nameOk && folderOk && kv.second.node.u64FileSize == f.size) hit = &kv.second;
      }
      if (!hit) {
        ADD_FAILURE() << "not found: " << f.Path();
        continue;
      }
      if (!f.Contiguous() || f.HasTag("overwritten") || f.HasTag("data-overwritten")) continue;
      int status = -1;
      std::string path = fattest::SaveNode(engine_, hit->node, out, &status);
      ASSERT_FALSE(path.empty()) << f.Path();
      EXPECT_EQ(0, status);
      EXPECT_EQ(f.sha256, testimg::Sha256File(path)) << f.Path();
      ++saved;
    }
    EXPECT_GT(checked, 3);
    EXPECT_GT(saved, 2);
    testimg::RemoveTree(out);
    (void)image;
  }
  CProfessionalFatRecovery engine_;
};

TEST_F(DeepImage, Fat32WithoutBootSectorAndFatStart) {
  std::string src = testimg::ImagePath("fat32.img");
  struct stat st;
  if (stat(src.c_str(), &st) != 0) GTEST_SKIP() << "no fat32.img";
  testimg::Manifest m = testimg::LoadManifest("fat32.img");
  std::string copy = testimg::CopyToTemp(src, "deep-fat32");
  {
    std::fstream f(copy, std::ios::in | std::ios::out | std::ios::binary);
    std::vector<char> zeros(64 * 512, 0);
    f.write(zeros.data(), static_cast<std::streamsize>(zeros.size()));
  }
  ASSERT_EQ(0, OpenDeep(engine_, copy));
  EXPECT_FALSE(engine_.HasRealDbr());
  FeedImage(engine_, copy);
  EXPECT_TRUE(HasRecord(engine_, 1, static_cast<u32>(std::stoul(m.info.at("dataStartSector")))));
  CheckFound(m, copy, [](const testimg::ManifestFile& f) { return f.folder != "/"; });
  testimg::RemoveTree(copy.substr(0, copy.rfind('/')));
}

TEST_F(DeepImage, Fat16WithItsBootSector) {
  std::string src = testimg::ImagePath("fat16.img");
  struct stat st;
  if (stat(src.c_str(), &st) != 0) GTEST_SKIP() << "no fat16.img";
  testimg::Manifest m = testimg::LoadManifest("fat16.img");
  ASSERT_EQ(0, OpenDeep(engine_, src));
  EXPECT_TRUE(engine_.HasRealDbr());
  EXPECT_EQ(0u, engine_.GetRootCluster());
  FeedImage(engine_, src);
  CheckFound(m, src, [](const testimg::ManifestFile&) { return true; });
}

TEST_F(DeepImage, FatOverwrittenByNtfs) {
  std::string src = testimg::ImagePath("fat-over-ntfs.img");
  struct stat st;
  if (stat(src.c_str(), &st) != 0) GTEST_SKIP() << "no fat-over-ntfs.img";
  testimg::Manifest m = testimg::LoadManifest("fat-over-ntfs.img");
  ASSERT_EQ(0, OpenDeep(engine_, src));
  EXPECT_FALSE(engine_.HasRealDbr());
  FeedImage(engine_, src);
  EXPECT_TRUE(HasRecord(engine_, 1, static_cast<u32>(std::stoul(m.info.at("oldFat.dataStartSector")))));
  // Files of the old folders whose first sector survived.
  CheckFound(m, src, [&m](const testimg::ManifestFile& f) {
    auto it = m.info.find("oldDir." + f.folder);
    return it != m.info.end() && it->second.find("intact") != std::string::npos && f.HasTag("data-intact");
  });
}

}  // namespace

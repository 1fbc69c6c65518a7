// The quick exFAT engine on the builder's exFAT volumes (4 KiB, 64 KiB and
// 1 MiB clusters, 4096-byte sectors, and the 4 KiB one with its main boot
// sector zeroed): what it lists, in which folder and state, what it saves and
// which sectors it calls free. The manifests were checked against The Sleuth
// Kit.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <utility>
#include <vector>

#include "engine/TextUtil.h"
#include "exfat/FastExfatRecovery.h"
#include "tests/fat/FatTestUtil.h"

using fattest::Found;
using testimg::ManifestFile;

namespace {

class ExfatQuickScan : public testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    image_ = testimg::ImagePath(GetParam());
    struct stat st;
    if (stat(image_.c_str(), &st) != 0) GTEST_SKIP() << "test image missing: " << image_;
    fattest::UseFreshSupportDir("exfat");
    manifest_ = testimg::LoadManifest(GetParam());
    std::wstring wpath = Utf8ToWide(image_);
    ASSERT_EQ(0, engine_.Init(&wpath[0], L'C'));
    ASSERT_EQ(0, engine_.BuildBitMapInfo());
    ASSERT_EQ(0, engine_.ScanDevice(nullptr));
    found_ = fattest::SearchAllFiles(engine_);
    dir_ = testimg::MakeTempDir("exfat-save");
  }
  void TearDown() override {
    if (!dir_.empty()) testimg::RemoveTree(dir_);
  }
  const Found* Lookup(const ManifestFile& f) const {
    auto it = found_.find(f.Path());
    return it == found_.end() ? nullptr : &it->second;
  }
  // Saves the listed node of a manifest file; the saved bytes' hash, "" when nothing was saved.
  std::string SaveHash(const ManifestFile& f, int* pStatus) {
    const Found* hit = Lookup(f);
    if (!hit) return "";
    std::string path = fattest::SaveNode(engine_, hit->node, dir_, pStatus);
    return path.empty() ? "" : testimg::Sha256File(path);
  }

  std::string image_, dir_;
  testimg::Manifest manifest_;
  CFastExfatRecovery engine_;
  std::multimap<std::string, Found> found_;
};

TEST_P(ExfatQuickScan, ListsEveryFileUnderItsFolderAsLiveOrDeleted) {
  ASSERT_FALSE(manifest_.files.empty());
  size_t deleted = 0;
  for (const auto& f : manifest_.files) {
    const Found* hit = Lookup(f);
    if (!hit) {
      ADD_FAILURE() << "not listed: " << f.Path();
      continue;
    }
    EXPECT_EQ(f.state == "deleted" ? 1u : 0u, hit->node.bIsDeleted) << f.Path();
    EXPECT_EQ(f.size, hit->node.u64FileSize) << f.Path();
    EXPECT_EQ(0u, hit->node.bIsDir) << f.Path();
    deleted += f.state == "deleted";
  }
  EXPECT_GT(deleted, 0u);
  // Nothing that is not on the volume.
  EXPECT_EQ(manifest_.files.size(), found_.size());
}

// Contiguous files, deleted or live, a live file whose clusters alternate
// with another's (the FAT chain), and a deleted one whose neighbour stayed
// live (the bitmap skips the neighbour's clusters) all come back whole.
TEST_P(ExfatQuickScan, SavesLiveAndDeletedFilesByteIdentical) {
  size_t saved = 0;
  for (const auto& f : manifest_.files) {
    if (f.size == 0 || f.HasTag("beside-deleted")) continue;
    int status = -1;
    EXPECT_EQ(f.sha256, SaveHash(f, &status)) << f.Path();
    EXPECT_EQ(0, status) << f.Path();
    // Only a deleted file of alternating clusters lost its chain.
    if (Lookup(f)) {
      const bool cleared = f.HasTag("beside-live");
      EXPECT_EQ(cleared, engine_.IsChainCleared(Lookup(f)->node)) << f.Path();
      EXPECT_EQ(cleared, (Lookup(f)->node.nResultFlags & RESULT_FLAG_CHAIN_CLEARED) != 0) << f.Path();
    }
    ++saved;
  }
  EXPECT_GT(saved, 5u);
}

// Two deleted files whose clusters alternated lost their FAT chains when they
// were deleted: each is read from its first cluster on through the free
// clusters, which hold both files in turn. The save is whole in size but is
// not the file: what the format leaves cannot tell the two apart.
TEST_P(ExfatQuickScan, DeletedFilesOfAlternatingClustersComeBackMixed) {
  size_t checked = 0;
  for (const auto& f : manifest_.files) {
    if (!f.HasTag("beside-deleted")) continue;
    ASSERT_GT(f.fragments, 1) << f.Path();
    int status = -1;
    std::string hash = SaveHash(f, &status);
    EXPECT_EQ(0, status) << f.Path();
    EXPECT_FALSE(hash.empty()) << f.Path();
    EXPECT_NE(f.sha256, hash) << f.Path();
    EXPECT_TRUE(engine_.IsChainCleared(Lookup(f)->node)) << f.Path();
    EXPECT_EQ(RESULT_FLAG_CHAIN_CLEARED, Lookup(f)->node.nResultFlags & RESULT_FLAG_CHAIN_CLEARED) << f.Path();
    ++checked;
  }
  EXPECT_EQ(2u, checked);
}

// Deletions came last, so every deleted file's sectors are free and no live
// file's first sector is.
TEST_P(ExfatQuickScan, FreeRunsHoldTheDeletedFilesAndNoLiveOne) {
  std::vector<std::pair<uint64_t, uint64_t>> runs;
  u64 start = 0, count = 0;
  for (int i = 0; i < 100000; ++i) {
    count = 0;
    engine_.GetUnUsedSectorCount(start, count);
    if (count == 0) break;
    runs.push_back({start, start + count});
    start += count;
  }
  ASSERT_FALSE(runs.empty());
  EXPECT_GE(runs.front().first, engine_.GetHeapStart());
  auto freeSpan = [&](uint64_t first, uint64_t end) {
    for (const auto& r : runs)
      if (first >= r.first && end <= r.second) return true;
    return false;
  };
  auto isFree = [&](uint64_t s) { return freeSpan(s, s + 1); };
  for (const auto& f : manifest_.files) {
    if (f.firstSector < 0) continue;
    const uint64_t first = static_cast<uint64_t>(f.firstSector);
    if (f.state == "live")
      EXPECT_FALSE(isFree(first)) << f.Path();
    else if (f.Contiguous())
      EXPECT_TRUE(freeSpan(first, first + (f.size + 511) / 512)) << f.Path();
    else
      EXPECT_TRUE(isFree(first)) << f.Path();
  }
}

TEST_P(ExfatQuickScan, TimesAreTheWrittenOnesInUtc) {
  auto it = found_.find("/README.txt");
  ASSERT_NE(found_.end(), it);
  // 2020-01-01 00:00:00 UTC, the builder's fixed time, as FILETIME.
  EXPECT_EQ(132223104000000000ull, FileTimeToU64(it->second.node.ftLastWriteTime));
  EXPECT_NE(0ull, FileTimeToU64(it->second.node.ftCreateTime));
}

TEST_P(ExfatQuickScan, ReadsTheBackupBootRegionOnlyWhenTheMainOneIsGone) {
  EXPECT_EQ(manifest_.info.count("mainBootZeroed") != 0, engine_.UsedBackupBoot());
  EXPECT_EQ(manifest_.clusterBytes, engine_.GetClusterBytes());
}

INSTANTIATE_TEST_SUITE_P(Volumes, ExfatQuickScan,
                         testing::Values("exfat.img", "exfat-64k.img", "exfat-1m.img", "exfat-4kn.img",
                                         "exfat-noboot.img"),
                         [](const testing::TestParamInfo<const char*>& info) {
                           std::string s = info.param;
                           for (char& c : s)
                             if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                           return s;
                         });

}  // namespace

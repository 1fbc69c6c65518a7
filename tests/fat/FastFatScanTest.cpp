// The quick FAT engine on the builder's FAT12, FAT16 and FAT32 volumes and on
// the FAT partitions of mbr.img: what it lists, under which folders, what it
// saves, and which sectors it calls free.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <set>

#include "engine/DiskMap.h"
#include "engine/TextUtil.h"
#include "fat/FastFatRecovery.h"
#include "tests/fat/FatTestUtil.h"
#include "tests/support/TestFiles.h"

using fattest::Found;
using testimg::ManifestFile;

namespace {

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  return s;
}

struct VolumeCase {
  std::string image;  // image file
  int partition;      // -1: the whole image is the volume
};

std::string CaseName(const testing::TestParamInfo<VolumeCase>& info) {
  std::string s = info.param.image.substr(0, info.param.image.find('.'));
  if (info.param.partition >= 0) s += "_p" + std::to_string(info.param.partition);
  return s;
}

// A name that fits 8.3 in one case has no long name on the disk: the engine
// shows it in the case the entry's case bits give (as the manifest has it),
// with "!" for the first byte when the entry is deleted.
bool IsPlainShortName(const std::string& name) {
  size_t dot = name.find('.');
  std::string base = name.substr(0, dot);
  std::string ext = dot == std::string::npos ? "" : name.substr(dot + 1);
  if (base.empty() || base.size() > 8 || ext.size() > 3 || ext.find('.') != std::string::npos) return false;
  bool upper = false, lower = false;
  for (char c : base + ext) {
    if (c >= 'A' && c <= 'Z') upper = true;
    else if (c >= 'a' && c <= 'z') lower = true;
    else if (!((c >= '0' && c <= '9') || c == '_')) return false;
  }
  return !(upper && lower);
}


int CountScanCallbacks(void* param, int nProgress, int nPercent, int, u64, u64, u64, wchar_t*) {
  auto* v = static_cast<std::vector<int>*>(param);
  v->push_back(nProgress * nPercent);
  return 0;
}

class FastFatScan : public testing::TestWithParam<VolumeCase> {
 protected:
  void SetUp() override {
    image_ = testimg::ImagePath(GetParam().image);
    struct stat st;
    if (stat(image_.c_str(), &st) != 0) GTEST_SKIP() << "test image missing: " << image_;
    fattest::UseFreshSupportDir("fastscan");
    manifest_ = testimg::LoadManifest(GetParam().image);
    if (GetParam().partition < 0) {
      std::wstring wpath = Utf8ToWide(image_);
      ASSERT_EQ(0, engine_.Init(&wpath[0], L'C'));
    } else {
      const testimg::ManifestPartition* part = nullptr;
      for (const auto& p : manifest_.partitions)
        if (p.index == GetParam().partition) part = &p;
      ASSERT_NE(nullptr, part);
      int disk = AddDiskImage(image_);
      ASSERT_GE(disk, 0);
      ASSERT_EQ(0, engine_.Init(disk, static_cast<i64>(part->firstSector),
                                static_cast<i64>(part->lastSector - part->firstSector + 1), L'C'));
    }
    engine_.InitCallBack(CountScanCallbacks, nullptr, &progress_, 100);
    ASSERT_EQ(0, engine_.ScanDevice(nullptr));
    found_ = fattest::SearchAllFiles(engine_);
  }

  // Deleted files that must be listed, a picture whose bytes are of another
  // type (a GIF named .PNG) among them: it is listed, marked as damaged.
  std::vector<ManifestFile> Deleted() const { return fattest::DeletedFiles(manifest_, GetParam().partition); }
  static bool IsMislabelledPicture(const ManifestFile& f) {
    std::string ext = Lower(f.name.substr(f.name.rfind('.') + 1));
    std::string sampleExt = Lower(f.samplePath.substr(f.samplePath.rfind('.') + 1));
    bool picture = ext == "jpg" || ext == "png" || ext == "gif";
    return picture && !f.samplePath.empty() && ext != sampleExt && !(ext == "jpg" && sampleExt == "jpeg");
  }

  // The listed node for a manifest file, or nullptr. Names and folders are
  // the manifest's, in its case.
  const Found* Lookup(const ManifestFile& f) const {
    std::vector<std::string> names = {f.name};
    if (IsPlainShortName(f.name)) names.push_back("!" + f.name.substr(1));
    for (const auto& kv : found_) {
      if (kv.second.folder != f.folder) continue;
      for (const auto& n : names)
        if (n == kv.second.node.szFileName) return &kv.second;
    }
    return nullptr;
  }

  std::string image_;
  testimg::Manifest manifest_;
  CFastFatRecovery engine_;
  std::vector<int> progress_;
  std::multimap<std::string, Found> found_;
};

TEST_P(FastFatScan, ListsEveryDeletedFileWithItsNameAndFolder) {
  auto deleted = Deleted();
  ASSERT_FALSE(deleted.empty());
  int missing = 0;
  for (const auto& f : deleted) {
    const Found* hit = Lookup(f);
    if (!hit) {
      ++missing;
      ADD_FAILURE() << "not listed: " << f.Path();
      continue;
    }
    EXPECT_EQ(f.size, hit->node.u64FileSize) << f.Path();
    EXPECT_EQ(1u, hit->node.bIsDeleted) << f.Path();
    if (IsMislabelledPicture(f)) {
      EXPECT_EQ(0u, hit->node.bHealth) << f.Path();
    }
    EXPECT_EQ(ENGINE_FAST_FAT, hit->node.nEngineType);
    // A deleted plain short name shows "!" for its first byte, unless only
    // its folder was deleted.
    if (IsPlainShortName(f.name) && !f.HasTag("in-deleted-folder")) {
      EXPECT_EQ('!', hit->node.szFileName[0]) << f.Path();
    }
  }
  EXPECT_EQ(0, missing);
  // The last report says "finished" and nothing said it before.
  ASSERT_FALSE(progress_.empty());
  EXPECT_EQ(10000, progress_.back());
  for (size_t i = 0; i + 1 < progress_.size(); ++i) EXPECT_LT(progress_[i], 10000);
}

TEST_P(FastFatScan, LiveFilesInLiveFoldersAreNotListed) {
  std::set<std::string> deletedPaths;
  for (const auto& f : Deleted()) deletedPaths.insert(f.Path());
  for (const auto& f : manifest_.files) {
    if (f.state != "live" || (GetParam().partition >= 0 && f.partition != GetParam().partition)) continue;
    EXPECT_EQ(nullptr, Lookup(f)) << "a live file was listed: " << f.Path();
  }
  // Everything listed is a deleted file of the manifest: nothing invented.
  for (const auto& kv : found_) {
    bool known = false;
    for (const auto& f : Deleted()) known = known || Lookup(f) == &kv.second;
    EXPECT_TRUE(known) << "listed but not a deleted file: " << kv.first;
  }
}

TEST_P(FastFatScan, FilesOfDeletedFoldersSitUnderThem) {
  int inDeletedFolder = 0;
  for (const auto& f : Deleted()) {
    if (!f.HasTag("in-deleted-folder")) continue;
    ++inDeletedFolder;
    const Found* hit = Lookup(f);
    ASSERT_NE(nullptr, hit) << f.Path();
    EXPECT_EQ(f.folder, hit->folder);
  }
  if (GetParam().partition >= 0) return;  // the partitions have no deleted folder
  EXPECT_GE(inDeletedFolder, 4);
  // Browsing from the top reaches the same files through the folder nodes.
  std::vector<Found> tree = fattest::BrowseAll(engine_);
  std::set<std::string> browsed;
  for (const auto& n : tree)
    if (!n.node.bIsDir) browsed.insert(fattest::JoinFolder(n.folder, n.node.szFileName));
  EXPECT_EQ(found_.size(), browsed.size());
  for (const auto& kv : found_) EXPECT_TRUE(browsed.count(kv.first)) << kv.first;
  unsigned int count = 0;
  EXPECT_EQ(0, engine_.GetChildrenFileCount(nullptr, 0, count));
  EXPECT_EQ(found_.size(), count);
}

TEST_P(FastFatScan, FolderWithMoreEntriesThanOneClusterIsReadWhole) {
  if (GetParam().partition >= 0) return;
  int many = 0, listed = 0;
  for (const auto& f : Deleted()) {
    if (f.folder != "/Many Files") continue;
    ++many;
    if (Lookup(f)) ++listed;
  }
  ASSERT_GT(many, 30);  // every third of a few hundred
  EXPECT_EQ(many, listed);
}

TEST_P(FastFatScan, SavedContiguousDeletedFilesMatchTheManifest) {
  std::string out = testimg::MakeTempDir("fat-save");
  int checked = 0;
  for (const auto& f : Deleted()) {
    if (!f.Contiguous() || f.HasTag("overwritten")) continue;
    const Found* hit = Lookup(f);
    ASSERT_NE(nullptr, hit) << f.Path();
    int status = -1;
    std::string saved = fattest::SaveNode(engine_, hit->node, out, &status);
    ASSERT_FALSE(saved.empty()) << f.Path();
    EXPECT_EQ(0, status) << f.Path();
    EXPECT_EQ(f.sha256, testimg::Sha256File(saved)) << f.Path();
    EXPECT_EQ(IsMislabelledPicture(f) ? 0u : 1u, hit->node.bHealth) << f.Path();
    ++checked;
  }
  EXPECT_GT(checked, 3);
  testimg::RemoveTree(out);
}

TEST_P(FastFatScan, FragmentedDeletedFileIsSavedFromConsecutiveClusters) {
  if (GetParam().partition >= 0) return;
  const ManifestFile* frag = manifest_.Find("/Frag/fragmented deleted.jpg");
  if (!frag) GTEST_SKIP() << "no fragmented file on this volume";
  const Found* hit = Lookup(*frag);
  ASSERT_NE(nullptr, hit);
  std::string out = testimg::MakeTempDir("fat-frag");
  int status = -1;
  std::string saved = fattest::SaveNode(engine_, hit->node, out, &status);
  ASSERT_FALSE(saved.empty());
  // Its chain is gone, so only the first fragment can be told apart: the copy
  // runs on through free clusters and stops at the first allocated one, short
  // of the file's size, which is a partial save. The whole file's hash cannot
  // match; its first cluster must.
  EXPECT_EQ(STATUS_PARTIAL_SAVE, status);
  std::vector<unsigned char> data = testfiles::ReadAll(saved);
  u32 clusterBytes = hit->node.nClusterBytes;
  ASSERT_GE(data.size(), clusterBytes);
  EXPECT_LE(data.size(), frag->size);
  EXPECT_EQ(testimg::Sha256AtSector(image_, static_cast<u64>(frag->firstSector), clusterBytes),
            testimg::Sha256Bytes(data.data(), clusterBytes));
  EXPECT_NE(frag->sha256, testimg::Sha256File(saved));
  testimg::RemoveTree(out);
}

TEST_P(FastFatScan, FreeRunsCoverNoLiveFileAndEveryIntactDeletedOne) {
  ASSERT_EQ(0, engine_.BuildBitMapInfo());
  std::vector<std::pair<u64, u64>> runs;  // absolute [start, end)
  u64 volumeStart = 0;
  for (const auto& p : manifest_.partitions) {
    if (p.index == GetParam().partition) volumeStart = p.firstSector;
  }
  u64 start = 0, count = 0;
  for (int guard = 0; guard < 1000000; ++guard) {
    ASSERT_EQ(1, engine_.GetUnUsedSectorCount(start, count));
    if (count == 0) break;
    ASSERT_GE(start, engine_.GetDataStartSector());
    if (!runs.empty()) {
      ASSERT_GE(start + volumeStart, runs.back().second);
    }
    runs.emplace_back(start + volumeStart, start + volumeStart + count);
    start += count;
  }
  ASSERT_FALSE(runs.empty());
  auto isFree = [&](u64 s) {
    for (const auto& r : runs)
      if (s >= r.first && s < r.second) return true;
    return false;
  };
  for (const auto& f : manifest_.files) {
    if (f.firstSector < 0 || (GetParam().partition >= 0 && f.partition != GetParam().partition)) continue;
    u64 first = static_cast<u64>(f.firstSector);
    u64 sectors = (f.size + 511) / 512;
    if (f.state == "live") {
      u64 last = f.Contiguous() ? first + sectors : first + 1;
      for (u64 s = first; s < last; ++s) {
        ASSERT_FALSE(isFree(s)) << f.Path() << " sector " << s;
      }
    } else if (!f.HasTag("overwritten") && f.Contiguous()) {
      EXPECT_TRUE(isFree(first)) << "deleted file's sectors not offered: " << f.Path();
    }
  }
  // A start past the volume ends the walk.
  u64 beyond = ~0ull >> 1, c = 7;
  EXPECT_EQ(1, engine_.GetUnUsedSectorCount(beyond, c));
  EXPECT_EQ(0u, c);
}

TEST_P(FastFatScan, PreviewsPicturesThroughATempFileAndTextIntoTheBuffer) {
  const Found* jpg = nullptr;
  const Found* txt = nullptr;
  for (const auto& f : Deleted()) {
    const Found* hit = Lookup(f);
    if (!hit || !f.Contiguous() || f.HasTag("overwritten")) continue;
    if (!jpg && (f.type == "jpg")) jpg = hit;
    if (!txt && (f.type == "txt" || f.type == "pdf" || f.type == "doc")) txt = hit;
  }
  ASSERT_NE(nullptr, jpg);
  wchar_t temp[512] = {0};
  int len = 4096;
  std::vector<unsigned char> buf(4096);
  _FILE_NODE_ node = jpg->node;
  ASSERT_EQ(0, engine_.PreView(&node, temp, buf.data(), len, nullptr, nullptr));
  EXPECT_EQ(0, len);
  std::string tempPath = WideToUtf8(temp);
  EXPECT_EQ(GetScanLogDir() + "tmp.jpg", tempPath);
  std::vector<unsigned char> written = testfiles::ReadAll(tempPath);
  EXPECT_EQ(jpg->node.u64FileSize, written.size());
  if (txt) {
    node = txt->node;
    len = 100;
    wchar_t none[512] = {0};
    ASSERT_EQ(0, engine_.PreView(&node, none, buf.data(), len, nullptr, nullptr));
    EXPECT_EQ(std::min<u64>(100, txt->node.u64FileSize), static_cast<u64>(len));
    EXPECT_EQ(0, none[0]);
  }
}

INSTANTIATE_TEST_SUITE_P(Images, FastFatScan,
                         testing::Values(VolumeCase{"fat12.img", -1}, VolumeCase{"fat16.img", -1},
                                         VolumeCase{"fat32.img", -1}, VolumeCase{"fat64k.img", -1},
                                         VolumeCase{"mbr.img", 1}, VolumeCase{"mbr.img", 6},
                                         VolumeCase{"gpt4k.img", 1}),
                         CaseName);

}  // namespace

// Preview, file and folder saves, long runlists and speed, on the shared
// image and on small volumes written by the test.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>

#include "NtfsTestUtil.h"
#include "TestFiles.h"
#include "TestImages.h"
#include "engine/DiskMap.h"
#include "engine/TextUtil.h"
#include "ntfs/FastNtfsRecovery.h"

using namespace ntfstest;

namespace {

std::string Slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

const ListedNode& Node(const std::map<std::string, ListedNode>& tree, const std::string& path) {
  auto it = tree.find(path);
  if (it == tree.end()) throw std::runtime_error("not listed: " + path);
  return it->second;
}

struct Recorder {
  std::vector<int> progress;
  std::vector<int> errors;
  int cancelAfter = -1;
  static int Cb(void* p, int nProgress, int, int nError, wchar_t*) {
    Recorder* r = static_cast<Recorder*>(p);
    r->progress.push_back(nProgress);
    r->errors.push_back(nError);
    if (r->cancelAfter >= 0 && static_cast<int>(r->progress.size()) > r->cancelAfter) return RECOVERY_CANCELLED;
    return 0;
  }
};

}  // namespace

TEST(NtfsFileData, PreviewPicturesToAFreshTempFileAndTextIntoTheBuffer) {
  std::string support = FreshScanLog("ntfs-preview");
  CFastNtfsRecovery e;
  std::wstring w = W(testimg::ImagePath("ntfs.img"));
  ASSERT_EQ(0, e.Init(&w[0], L'C'));
  ASSERT_EQ(0, e.ScanDevice(nullptr));
  auto tree = ListTree(e);
  testimg::Manifest m = testimg::LoadManifest("ntfs.img");

  // A link planted where the temporary file goes is not followed.
  std::string victim = support + "/victim";
  testfiles::WriteAll(victim, "keep", 4);
  std::string tmp = GetScanLogDir() + "tmp.png";
  MakeDirectories(GetScanLogDir());
  ASSERT_EQ(0, symlink(victim.c_str(), tmp.c_str()));

  _FILE_NODE_ png = Node(tree, "Photos/Holiday 2020/IMG_0003.PNG").node;
  wchar_t tempPath[512] = {0};
  unsigned char buf[10240];
  int len = sizeof(buf);
  std::vector<int> calls;
  auto cb = [](void* p, int nProgress, int) -> int {
    static_cast<std::vector<int>*>(p)->push_back(nProgress);
    return 0;
  };
  ASSERT_EQ(0, e.PreView(&png, tempPath, buf, len, cb, &calls));
  EXPECT_EQ(0, len);
  EXPECT_EQ(tmp, WideToUtf8(tempPath));
  EXPECT_EQ(m.Find("/Photos/Holiday 2020/IMG_0003.PNG")->sha256, testimg::Sha256File(tmp));
  EXPECT_EQ("keep", Slurp(victim));
  struct stat st;
  ASSERT_EQ(0, lstat(tmp.c_str(), &st));
  EXPECT_TRUE(S_ISREG(st.st_mode));
  ASSERT_FALSE(calls.empty());
  EXPECT_EQ(100, calls.back());

  // Text: into the buffer, at most nLen bytes.
  _FILE_NODE_ txt = Node(tree, "tiny deleted.txt").node;
  len = sizeof(buf);
  ASSERT_EQ(0, e.PreView(&txt, tempPath, buf, len, nullptr, nullptr));
  EXPECT_EQ(165, len);
  EXPECT_EQ(m.Find("/tiny deleted.txt")->sha256, testimg::Sha256Bytes(buf, 165));
  len = 100;
  ASSERT_EQ(0, e.PreView(&txt, tempPath, buf, len, nullptr, nullptr));
  EXPECT_EQ(100, len);
  _FILE_NODE_ big = Node(tree, "Frag/fragmented deleted.bin").node;
  len = 5000;
  ASSERT_EQ(0, e.PreView(&big, tempPath, buf, len, nullptr, nullptr));
  EXPECT_EQ(5000, len);
  EXPECT_EQ(87, e.PreView(nullptr, tempPath, buf, len, nullptr, nullptr));
}

TEST(NtfsFileData, FolderSaveRebuildsTheTreeBesideExistingFiles) {
  FreshScanLog("ntfs-foldersave");
  CFastNtfsRecovery e;
  std::wstring w = W(testimg::ImagePath("ntfs.img"));
  ASSERT_EQ(0, e.Init(&w[0], L'C'));
  ASSERT_EQ(0, e.ScanDevice(nullptr));
  auto tree = ListTree(e);
  testimg::Manifest m = testimg::LoadManifest("ntfs.img");
  Recorder rec;
  e.InitCallBack(nullptr, &Recorder::Cb, &rec, 100);

  std::string dest = testimg::MakeTempDir("ntfs-folder") + "/Trash";
  MakeDirectories(dest);
  // A file already at a target's name is left alone; ours takes the next name.
  std::string stale(100000, 'S');
  testfiles::WriteAll(dest + "/first note.txt", stale.data(), stale.size());
  _FILE_NODE_ folder = Node(tree, "Trash Folder").node;
  ASSERT_EQ(1u, folder.bIsDir);
  std::wstring wd = W(dest);
  int root = 0;
  GetPathDirIndex(wd.c_str(), root);
  ASSERT_EQ(0, e.SaveFileData(&folder, &wd[0], root));
  EXPECT_EQ(stale.size(), testfiles::ReadAll(dest + "/first note.txt").size());
  EXPECT_EQ(m.Find("/Trash Folder/first note.txt")->sha256, testimg::Sha256File(dest + "/first note(1).txt"));
  EXPECT_EQ(m.Find("/Trash Folder/camera.jpg")->sha256, testimg::Sha256File(dest + "/camera.jpg"));
  EXPECT_EQ(m.Find("/Trash Folder/Sub Folder/report copy.pdf")->sha256,
            testimg::Sha256File(dest + "/Sub Folder/report copy.pdf"));
  EXPECT_EQ(m.Find("/Trash Folder/Sub Folder/tiny.txt")->sha256, testimg::Sha256File(dest + "/Sub Folder/tiny.txt"));
  struct stat st;
  ASSERT_EQ(0, stat((dest + "/Sub Folder").c_str(), &st));
  EXPECT_EQ(0700u, st.st_mode & 0777);
  for (int e2 : rec.errors) EXPECT_EQ(0, e2);

  // A cancel mid-save stops at once.
  Recorder cancel;
  cancel.cancelAfter = 0;
  e.InitCallBack(nullptr, &Recorder::Cb, &cancel, 100);
  std::string dest2 = dest + "-2";
  std::wstring wd2 = W(dest2);
  EXPECT_EQ(RECOVERY_CANCELLED, e.SaveFileData(&folder, &wd2[0], root));
  testimg::RemoveTree(dest.substr(0, dest.rfind('/')));
}

// A crafted volume: a deleted folder holding a folder named "..", which holds
// a file named "../../escape.txt"; a folder whose parents form a cycle; a file
// of 220 fragments.
class CraftedVolume : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = testimg::MakeTempDir("ntfs-crafted");
    image_ = dir_ + "/vol.img";
    std::vector<Bytes> recs(40);
    recs[30] = RecordBuilder(30, 0x02).FileName(5, "outer").Build();
    recs[31] = RecordBuilder(31, 0x02).FileName(30, "..").Build();
    recs[32] = RecordBuilder(32, 0x00).FileName(31, "../../escape.txt", 1, 6).ResidentData(Bytes{'p', 'w', 'n', 'e', 'd', '\n'}).Build();
    // Folders 33 and 34 name each other as parent.
    recs[33] = RecordBuilder(33, 0x02).FileName(34, "loopA").Build();
    recs[34] = RecordBuilder(34, 0x02).FileName(33, "loopB").Build();
    recs[35] = RecordBuilder(35, 0x00).FileName(33, "in loop.txt", 1, 3).ResidentData(Bytes{'a', 'b', 'c'}).Build();
    // 220 fragments of one cluster each, every other cluster from 2000 on.
    std::vector<std::pair<uint64_t, int64_t>> runs;
    for (int i = 0; i < 220; ++i) runs.push_back({1, i == 0 ? 2000 : 2});
    Bytes rl = EncodeRuns(runs);
    fragSize_ = 220 * 4096 - 123;
    recs[36] = RecordBuilder(36, 0x00)
                   .FileName(5, "many fragments.bin", 1, fragSize_)
                   .NonResidentData(rl, 220 * 4096, fragSize_)
                   .Build();
    // Data: cluster 2000 + 2i holds bytes of fragment i.
    std::map<uint64_t, Bytes> extra;
    expected_.clear();
    for (int i = 0; i < 220; ++i) {
      Bytes c(4096, static_cast<uint8_t>(i * 7 + 1));
      c[0] = static_cast<uint8_t>(i);
      c[1] = static_cast<uint8_t>(i >> 8);
      extra[(2000 + 2 * uint64_t(i)) * 8] = c;
      expected_.insert(expected_.end(), c.begin(), c.end());
    }
    expected_.resize(fragSize_);
    ASSERT_TRUE(WriteSyntheticVolume(image_, 8192 * 8, 16, recs, extra));
    FreshScanLog("ntfs-crafted-log");
    std::wstring w = W(image_);
    ASSERT_EQ(0, engine_.Init(&w[0], L'C'));
    ASSERT_EQ(0, engine_.ScanDevice(nullptr));
    tree_ = ListTree(engine_);
  }
  void TearDown() override { testimg::RemoveTree(dir_); }

  std::string dir_, image_;
  uint64_t fragSize_ = 0;
  Bytes expected_;
  CFastNtfsRecovery engine_;
  std::map<std::string, ListedNode> tree_;
};

TEST_F(CraftedVolume, HostileNamesStayInsideTheDestination) {
  ASSERT_TRUE(tree_.count("outer/../../../escape.txt")) << "the stored name stays as found";
  std::string dest = dir_ + "/out/a/b";
  MakeDirectories(dest);
  std::wstring wd = W(dest);
  int root = 0;
  GetPathDirIndex(wd.c_str(), root);
  _FILE_NODE_ outer = Node(tree_, "outer").node;
  ASSERT_EQ(0, engine_.SaveFileData(&outer, &wd[0], root));
  // ".." became a plain folder name, "../../escape.txt" one file name.
  EXPECT_EQ("pwned\n", Slurp(dest + "/___/.._.._escape.txt"));
  struct stat st;
  EXPECT_NE(0, stat((dir_ + "/out/escape.txt").c_str(), &st));
  EXPECT_NE(0, stat((dir_ + "/out/a/escape.txt").c_str(), &st));
  EXPECT_NE(0, stat((dir_ + "/escape.txt").c_str(), &st));
}

TEST_F(CraftedVolume, CyclicParentsEndAndTheFileIsStillFound) {
  size_t found = 0;
  for (const auto& e : tree_) found += e.first.find("in loop.txt") != std::string::npos;
  // The folders of a cycle hang below each other, out of the root's reach;
  // what matters is that the scan ended and the file is in the store.
  SEARCH_FILE_INFO_VECTOR hits;
  std::wstring pattern = L"*.txt";
  engine_.SearchFileNode(&pattern[0], hits);
  bool inStore = false;
  for (const auto& h : hits) inStore |= std::string(h.szFileName) == "in loop.txt";
  EXPECT_TRUE(inStore);
  EXPECT_LE(found, 1u);
  const auto& dirs = engine_.GetDirIndexList();
  EXPECT_EQ(1, std::count(dirs.begin(), dirs.end(), 33u));
  EXPECT_EQ(1, std::count(dirs.begin(), dirs.end(), 34u));
}

TEST_F(CraftedVolume, FileOfTwoHundredTwentyFragmentsIsSavedWhole) {
  const ListedNode& n = Node(tree_, "many fragments.bin");
  EXPECT_EQ(fragSize_, n.node.u64FileSize);
  std::vector<__RUNLIST__> runs;
  ASSERT_EQ(0, engine_.GetRunListInfo(static_cast<i64>(n.node.u64RecordSector), 0x80, runs));
  EXPECT_EQ(220u, runs.size());
  Recorder rec;
  engine_.InitCallBack(nullptr, &Recorder::Cb, &rec, 100);
  std::string target = dir_ + "/frag.bin";
  std::wstring wt = W(target);
  _FILE_NODE_ node = n.node;
  ASSERT_EQ(0, engine_.SaveFileData(&node, &wt[0], 0));
  std::string got = Slurp(target);
  ASSERT_EQ(expected_.size(), got.size());
  EXPECT_TRUE(std::memcmp(expected_.data(), got.data(), got.size()) == 0);
  ASSERT_FALSE(rec.progress.empty());
  EXPECT_EQ(100, rec.progress.back());
  // Preview into memory reads across fragments too.
  unsigned char buf[20000];
  int len = sizeof(buf);
  wchar_t tmp[512] = {0};
  ASSERT_EQ(0, engine_.PreView(&node, tmp, buf, len, nullptr, nullptr));
  ASSERT_EQ(20000, len);
  EXPECT_TRUE(std::memcmp(expected_.data(), buf, 20000) == 0);
}

TEST(NtfsFileData, RunsOutsideTheVolumeAreRefusedNotRead) {
  std::string dir = testimg::MakeTempDir("ntfs-outside");
  std::vector<Bytes> recs(20);
  // A run far past the end of a 32 MiB volume, and one with a negative start.
  recs[12] = RecordBuilder(12, 0).FileName(5, "far.bin", 1, 8192).NonResidentData(EncodeRuns({{2, 1 << 30}}), 8192, 8192).Build();
  recs[13] = RecordBuilder(13, 0).FileName(5, "neg.bin", 1, 8192).NonResidentData(EncodeRuns({{2, -50}}), 8192, 8192).Build();
  ASSERT_TRUE(WriteSyntheticVolume(dir + "/v.img", 65536, 16, recs));
  FreshScanLog("ntfs-outside-log");
  CFastNtfsRecovery e;
  std::wstring w = W(dir + "/v.img");
  ASSERT_EQ(0, e.Init(&w[0], L'C'));
  ASSERT_EQ(0, e.ScanDevice(nullptr));
  auto tree = ListTree(e);
  for (const char* name : {"far.bin", "neg.bin"}) {
    _FILE_NODE_ n = Node(tree, name).node;
    std::wstring t = W(dir + "/" + name);
    EXPECT_EQ(87, e.SaveFileData(&n, &t[0], 0)) << name;
  }
  testimg::RemoveTree(dir);
}

// Timing belongs to the benchmarks (a sanitized, loaded machine is slow); here
// a large MFT must simply be read whole.
TEST(NtfsFileData, QuickScanListsEveryDeletedRecordOfALargeMft) {
  std::string dir = testimg::MakeTempDir("ntfs-speed");
  const size_t n = 100000;
  std::vector<Bytes> recs(n);
  for (size_t i = 12; i < n; ++i) {
    char name[32];
    snprintf(name, sizeof(name), "f%06zu.txt", i);
    recs[i] = RecordBuilder(static_cast<uint32_t>(i), i % 2 ? 0 : 1)
                  .FileName(5, name, 1, 16)
                  .ResidentData(Bytes(16, 'q'))
                  .Build();
  }
  const uint64_t mftCluster = 16;
  const uint64_t sectors = (mftCluster * 8 + n * 2 + 4096) & ~uint64_t(7);
  ASSERT_TRUE(WriteSyntheticVolume(dir + "/big.img", sectors, mftCluster, recs));
  recs.clear();
  FreshScanLog("ntfs-speed-log");
  CFastNtfsRecovery e;
  std::wstring w = W(dir + "/big.img");
  ASSERT_EQ(0, e.Init(&w[0], L'C'));
  auto t0 = std::chrono::steady_clock::now();
  ASSERT_EQ(0, e.ScanDevice(nullptr));
  double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  // Half the records are deleted files, the in-use ones are not listed.
  EXPECT_EQ(static_cast<int>((n - 12) / 2), e.GetLostFileCount());
  RecordProperty("quick_scan_100k_seconds", std::to_string(secs));
  printf("quick scan of %zu records: %.3f s\n", n, secs);
  testimg::RemoveTree(dir);
}

// Damaged and hostile FAT volumes: looping and cross-linked chains, names
// that try to leave the target folder, a planted link at the preview file,
// and images with random bytes in their FATs and directories.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <random>
#include <set>

#include "engine/DiskMap.h"
#include "engine/FaultGuard.h"
#include "engine/TextUtil.h"
#include "fat/FastFatRecovery.h"
#include "disk/FatEntry.h"
#include "fat/ProfessionalFatRecovery.h"
#include "tests/fat/FatTestUtil.h"
#include "tests/support/TestFiles.h"

using fattest::Found;

namespace {

void PatchBytes(const std::string& path, u64 offset, const void* data, size_t n) {
  std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
  f.seekp(static_cast<std::streamoff>(offset));
  f.write(static_cast<const char*>(data), static_cast<std::streamsize>(n));
}

void PatchFat16(const std::string& path, u32 reserved, u32 cluster, u16 value) {
  u8 v[2] = {static_cast<u8>(value), static_cast<u8>(value >> 8)};
  PatchBytes(path, static_cast<u64>(reserved) * 512 + cluster * 2ull, v, 2);
}

// Offset of the first occurrence of pattern in the file, or -1.
i64 FindBytes(const std::vector<unsigned char>& data, const std::string& pattern) {
  auto it = std::search(data.begin(), data.end(), pattern.begin(), pattern.end());
  return it == data.end() ? -1 : static_cast<i64>(it - data.begin());
}

std::string Utf16(const std::string& ascii) {
  std::string out;
  for (char c : ascii) {
    out.push_back(c);
    out.push_back('\0');
  }
  return out;
}

class Fat16Copy : public testing::Test {
 protected:
  void SetUp() override {
    std::string src = testimg::ImagePath("fat16.img");
    struct stat st;
    if (stat(src.c_str(), &st) != 0) GTEST_SKIP() << "no fat16.img";
    fattest::UseFreshSupportDir("damage");
    manifest_ = testimg::LoadManifest("fat16.img");
    copy_ = testimg::CopyToTemp(src, "fat16-damage");
    reserved_ = static_cast<u32>(std::stoul(manifest_.info.at("reservedSectors")));
    dataStart_ = std::stoull(manifest_.info.at("dataStartSector"));
    spc_ = static_cast<u32>(std::stoul(manifest_.info.at("sectorsPerCluster")));
  }
  void TearDown() override {
    if (!copy_.empty()) testimg::RemoveTree(copy_.substr(0, copy_.rfind('/')));
  }
  u32 ClusterOf(const testimg::ManifestFile& f) const {
    return static_cast<u32>((static_cast<u64>(f.firstSector) - dataStart_) / spc_ + 2);
  }
  void Open(CFastFatRecovery& engine) {
    std::wstring w = Utf8ToWide(copy_);
    ASSERT_EQ(0, engine.Init(&w[0], L'C'));
  }
  // A file node for clusters that are not listed (a live file).
  _FILE_NODE_ NodeFor(CFastFatRecovery& engine, u32 cluster, u64 size) {
    _FILE_NODE_ n;
    memset(&n, 0, sizeof(n));
    n.nEngineType = ENGINE_FAST_FAT;
    n.nClusterNO = cluster;
    n.nClusterBytes = spc_ * 512;
    n.u64DataStartSector = engine.GetDataStartSector();
    n.u64FileSize = size;
    CopyNameToField(n.szFileName, "chain.jpg");
    return n;
  }

  testimg::Manifest manifest_;
  std::string copy_;
  u32 reserved_ = 0, spc_ = 0;
  u64 dataStart_ = 0;
};

TEST_F(Fat16Copy, AFileChainThatLoopsOrLeavesTheVolumeEndsTheCopy) {
  const testimg::ManifestFile* f = manifest_.Find("/DCIM/100TORVN/IMG_0001.JPG");
  ASSERT_NE(nullptr, f);
  ASSERT_TRUE(f->Contiguous());
  u32 c0 = ClusterOf(*f);
  u32 clusters = static_cast<u32>((f->size + spc_ * 512 - 1) / (spc_ * 512));
  ASSERT_GE(clusters, 5u);
  // The last cluster links back into the file: a loop.
  PatchFat16(copy_, reserved_, c0 + clusters - 1, static_cast<u16>(c0 + 2));
  std::string out = testimg::MakeTempDir("chain-out");
  {
    CFastFatRecovery engine;
    Open(engine);
    int status = -1;
    std::string saved = fattest::SaveNode(engine, NodeFor(engine, c0, f->size * 20), out, &status);
    ASSERT_FALSE(saved.empty());
    // The record claims twenty times the bytes the chain holds: partial.
    EXPECT_EQ(STATUS_PARTIAL_SAVE, status);
    std::vector<unsigned char> data = testfiles::ReadAll(saved);
    // Once round the loop is seen, the second round is cut short.
    EXPECT_LE(data.size(), 2ull * clusters * spc_ * 512);
    EXPECT_GE(data.size(), f->size);
    EXPECT_EQ(f->sha256, testimg::Sha256Bytes(data.data(), f->size));
  }
  // The fourth cluster links outside the volume.
  PatchFat16(copy_, reserved_, c0 + 3, 0xFFF0);
  {
    CFastFatRecovery engine;
    Open(engine);
    std::string saved = fattest::SaveNode(engine, NodeFor(engine, c0, f->size * 20), out);
    ASSERT_FALSE(saved.empty());
    EXPECT_EQ(4ull * spc_ * 512, testfiles::ReadAll(saved).size());
  }
  testimg::RemoveTree(out);
}

TEST_F(Fat16Copy, LoopingAndCrossLinkedFoldersAreWalkedOnce) {
  size_t cleanMany = 0;
  u32 manyCluster = 0;
  {
    CFastFatRecovery engine;
    Open(engine);
    ASSERT_EQ(0, engine.ScanDevice(nullptr));
    for (const auto& n : fattest::BrowseAll(engine)) {
      if (n.node.bIsDir && std::string(n.node.szFileName) == "Many Files") manyCluster = n.node.nClusterNO;
      if (n.folder == "/Many Files" && !n.node.bIsDir) ++cleanMany;
    }
    ASSERT_NE(0u, manyCluster);
    ASSERT_GT(cleanMany, 30u);
    // The folder's last cluster is made to link back to its first.
    u32 cur = manyCluster, next = 0;
    for (int i = 0; i < 1000; ++i) {
      ASSERT_EQ(0, engine.FindNextClusterNO(cur, next));
      if (next == 0) break;
      cur = next;
    }
    ASSERT_NE(cur, manyCluster) << "the folder must span several clusters";
    PatchFat16(copy_, reserved_, cur, static_cast<u16>(manyCluster));
  }
  // And the folder "Old" is cross-linked to it.
  std::vector<unsigned char> image = testfiles::ReadAll(copy_);
  i64 old = FindBytes(image, std::string("OLD        \x10", 12));
  ASSERT_GE(old, 0);
  u8 lo[2] = {static_cast<u8>(manyCluster), static_cast<u8>(manyCluster >> 8)};
  PatchBytes(copy_, static_cast<u64>(old) + 26, lo, 2);

  CFastFatRecovery engine;
  Open(engine);
  ASSERT_EQ(0, engine.ScanDevice(nullptr));
  std::set<std::string> names;
  size_t many = 0;
  for (const auto& n : fattest::BrowseAll(engine)) {
    if (n.node.bIsDir || std::string(n.node.szFileName).rfind("entry number", 0) != 0) continue;
    ++many;
    EXPECT_TRUE(names.insert(n.node.szFileName).second) << "listed twice: " << n.node.szFileName;
  }
  EXPECT_EQ(cleanMany, many);
}

TEST_F(Fat16Copy, NamesFromTheDiskCannotLeaveTheTargetFolder) {
  std::vector<unsigned char> image = testfiles::ReadAll(copy_);
  // "first note.txt" sits in the deleted "Trash Folder"; its first long-name
  // part is rewritten to climb out of any folder it is saved into.
  i64 at = FindBytes(image, Utf16("first"));
  ASSERT_GE(at, 1);
  u64 entry = static_cast<u64>(at) - 1;
  ASSERT_EQ(0x0F, image[entry + 11]);
  const std::string evil = "../../evil.tx";  // + "t" in the next part
  static const int offs[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
  for (int k = 0; k < 13; ++k) {
    u8 unit[2] = {static_cast<u8>(evil[k]), 0};
    PatchBytes(copy_, entry + offs[k], unit, 2);
  }
  CFastFatRecovery engine;
  Open(engine);
  ASSERT_EQ(0, engine.ScanDevice(nullptr));
  const Found* trash = nullptr;
  std::vector<Found> all = fattest::BrowseAll(engine);
  bool evilListed = false;
  for (const auto& n : all) {
    if (n.node.bIsDir && std::string(n.node.szFileName) == "Trash Folder") trash = &n;
    evilListed = evilListed || std::string(n.node.szFileName) == "../../evil.txt";
  }
  ASSERT_NE(nullptr, trash);
  EXPECT_TRUE(evilListed);
  std::string base = testimg::MakeTempDir("evil-out");
  std::string dest = base + "/a/b";
  ASSERT_EQ(0, MakeDirectories(dest));
  int status = -1;
  std::string saved = fattest::SaveNode(engine, trash->node, dest, &status);
  ASSERT_FALSE(saved.empty());
  EXPECT_EQ(0, status);
  struct stat st;
  EXPECT_NE(0, stat((base + "/evil.txt").c_str(), &st));
  EXPECT_NE(0, stat((base + "/a/evil.txt").c_str(), &st));
  EXPECT_NE(0, stat((dest + "/evil.txt").c_str(), &st));
  EXPECT_EQ(0, stat((saved + "/.._.._evil.txt").c_str(), &st));
  EXPECT_EQ(0, stat((saved + "/Sub Folder/report copy.pdf").c_str(), &st));
  EXPECT_EQ(0, stat((saved + "/Sub Folder").c_str(), &st));
  EXPECT_EQ(0700u, st.st_mode & 0777);
  testimg::RemoveTree(base);
}

TEST_F(Fat16Copy, PreviewDoesNotFollowAPlantedLink) {
  CFastFatRecovery engine;
  Open(engine);
  ASSERT_EQ(0, engine.ScanDevice(nullptr));
  const Found* jpg = nullptr;
  auto all = fattest::SearchAllFiles(engine);
  for (const auto& kv : all)
    if (kv.first == "/Trash Folder/camera.jpg" || kv.first == "/Trash Folder/!amera.jpg") jpg = &kv.second;
  ASSERT_NE(nullptr, jpg);
  std::string victimDir = testimg::MakeTempDir("victim");
  std::string victim = victimDir + "/victim";
  ASSERT_TRUE(testfiles::WriteAll(victim, "keep", 4));
  ASSERT_EQ(0, MakeDirectories(GetScanLogDir()));
  std::string temp = GetScanLogDir() + "tmp.jpg";
  unlink(temp.c_str());
  ASSERT_EQ(0, symlink(victim.c_str(), temp.c_str()));
  wchar_t path[512] = {0};
  int len = 0;
  _FILE_NODE_ node = jpg->node;
  ASSERT_EQ(0, engine.PreView(&node, path, nullptr, len, nullptr, nullptr));
  EXPECT_EQ(temp, WideToUtf8(path));
  std::vector<unsigned char> kept = testfiles::ReadAll(victim);
  EXPECT_EQ(std::string("keep"), std::string(kept.begin(), kept.end()));
  struct stat st;
  ASSERT_EQ(0, lstat(temp.c_str(), &st));
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(jpg->node.u64FileSize, static_cast<u64>(st.st_size));
  testimg::RemoveTree(victimDir);
}

// Random bytes in the FATs and directory sectors: every engine operation
// must run to its end without memory errors, and the fault guard must never
// be what saved it.
class FuzzedImage : public testing::TestWithParam<std::string> {};

TEST_P(FuzzedImage, EnginesSurviveRandomMetadataDamage) {
  std::string src = testimg::ImagePath(GetParam());
  struct stat st;
  if (stat(src.c_str(), &st) != 0) GTEST_SKIP() << "no " << GetParam();
  fattest::UseFreshSupportDir("fuzz");
  testimg::Manifest m = testimg::LoadManifest(GetParam());
  u64 dataStart = std::stoull(m.info.at("dataStartSector"));
  u64 reserved = std::stoull(m.info.at("reservedSectors"));
  std::vector<unsigned char> clean = testfiles::ReadAll(src);
  // Metadata sectors: the FATs, the fixed root, and every directory sector.
  std::vector<u64> targets;
  for (u64 s = reserved; s < dataStart; ++s) targets.push_back(s);
  for (u64 s = dataStart; (s + 1) * 512 <= clean.size(); ++s) {
    const unsigned char* p = clean.data() + s * 512;
    if (IsFatFileRecord(p, 512) || IsFatFDTRecord(p, 512)) targets.push_back(s);
  }
  ASSERT_GT(targets.size(), 10u);
  const u64 before = FaultGuardCatchCount();
  for (unsigned seed = 1; seed <= 3; ++seed) {
    std::vector<unsigned char> img = clean;
    std::mt19937 rng(seed * 7919u);
    for (int i = 0; i < 3000; ++i) {
      u64 s = targets[rng() % targets.size()];
      img[s * 512 + rng() % 512] = static_cast<unsigned char>(rng());
    }
    std::string dir = testimg::MakeTempDir("fuzz-img");
    std::string path = dir + "/fuzz.img";
    ASSERT_TRUE(testfiles::WriteAll(path, img.data(), img.size()));
    std::string out = dir + "/out";
    ASSERT_EQ(0, MakeDirectories(out));
    {
      CFastFatRecovery engine;
      std::wstring w = Utf8ToWide(path);
      engine.Init(&w[0], L'C');
      EXPECT_EQ(0, engine.ScanDevice(nullptr));
      if (engine.BuildBitMapInfo() == 0) {
        u64 start = 0, count = 0;
        for (int guard = 0; guard < 100000; ++guard) {
          engine.GetUnUsedSectorCount(start, count);
          if (count == 0) break;
          start += count;
        }
      }
      int saved = 0;
      for (const auto& n : fattest::BrowseAll(engine)) {
        if (n.node.bIsDir || n.node.u64FileSize > (1u << 20) || saved >= 40) continue;
        ++saved;
        fattest::SaveNode(engine, n.node, out);
        std::vector<unsigned char> buf(4096);
        int len = 4096;
        wchar_t temp[512];
        _FILE_NODE_ node = n.node;
        engine.PreView(&node, temp, buf.data(), len, nullptr, nullptr);
      }
    }
    {
      CProfessionalFatRecovery engine;
      std::wstring w = Utf8ToWide(path);
      ASSERT_EQ(0, engine.Init(&w[0], L'C'));
      ASSERT_EQ(0, engine.ClearProfessionalVec(nullptr));
      engine.InitVirtualDbrInfo();
      for (u64 s = 0; (s + 1) * 512 <= img.size(); ++s) {
        const unsigned char* p = img.data() + s * 512;
        if (IsFatFileRecord(p, 512))
          engine.ParseFatFileRecord(p, s);
        else if (IsFatFDTRecord(p, 512))
          engine.ParseFDTFileRecord(p, s);
      }
      EXPECT_EQ(0, engine.DealProfessionalRecordVec());
      auto all = fattest::SearchAllFiles(engine);
      int saved = 0;
      for (const auto& kv : all) {
        if (kv.second.node.u64FileSize > (1u << 20) || ++saved > 40) continue;
        fattest::SaveNode(engine, kv.second.node, out);
      }
    }
    testimg::RemoveTree(dir);
  }
  EXPECT_EQ(before, FaultGuardCatchCount());
}

INSTANTIATE_TEST_SUITE_P(Images, FuzzedImage, testing::Values("fat12.img", "fat16.img", "fat32.img"),
                         [](const testing::TestParamInfo<std::string>& i) {
                           return i.param.substr(0, i.param.find('.'));
                         });

}  // namespace

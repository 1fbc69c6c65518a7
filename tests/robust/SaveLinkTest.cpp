// Saving a found file runs as root and often into a folder others can write
// to. A symbolic link planted under the name a file is about to be saved as
// must not be followed: not onto an existing file (which would be
// overwritten with disk data) and not onto a missing one (which would be
// created wherever the link points). The free-name helper treats a link as
// a taken name, and each engine refuses to write through one.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "carve/CarveTestUtil.h"
#include "carve/FileTypeRecovery.h"
#include "engine/DiskMap.h"
#include "engine/TextUtil.h"
#include "fat/FastFatRecovery.h"
#include "ntfs/FastNtfsRecovery.h"
#include "store/LogFileManager.h"
#include "tests/support/TestFiles.h"
#include "tests/support/TestImages.h"

namespace {

const char kVictimText[] = "precious: written before the save\n";

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

class SaveLink : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = testimg::MakeTempDir("robust-savelink");
    setenv("TORVANE_SUPPORT_DIR", (dir_ + "/support").c_str(), 1);
    CLogFileManager::GetInstance()->Reload();
    ASSERT_EQ(0, MakeDirectories(GetScanLogDir()));
    victim_ = dir_ + "/victim.txt";
    missing_ = dir_ + "/created-through-link";
    ASSERT_TRUE(testfiles::WriteAll(victim_, kVictimText, sizeof(kVictimText) - 1));
    ASSERT_EQ(0, MakeDirectories(dir_ + "/dest"));
  }
  void TearDown() override { testimg::RemoveTree(dir_); }

  // Saves the first non-empty file found onto a link to the victim, then onto
  // a link to a missing file; neither target may be touched.
  void SaveThroughPlantedLinks(IFileRecoveryParse& engine, const wchar_t* pattern) {
    std::wstring key = pattern;
    SEARCH_FILE_INFO_VECTOR hits;
    engine.SearchFileNode(&key[0], hits);
    const __SEARCH_FILE_INFO__* hit = nullptr;
    for (const auto& h : hits)
      if (!h.bIsDir && h.u64FileSize > 0 && h.u64FileSize < (4u << 20)) {
        hit = &h;
        break;
      }
    ASSERT_NE(nullptr, hit) << "nothing to save";

    int rootIndex = 0;
    std::wstring wdest = Utf8ToWide(dir_ + "/dest/");
    GetPathDirIndex(wdest.c_str(), rootIndex);

    const std::string onto[2] = {victim_, missing_};
    for (const std::string& target : onto) {
      std::string link = dir_ + "/dest/saved.bin";
      unlink(link.c_str());
      ASSERT_EQ(0, symlink(target.c_str(), link.c_str()));
      __SEARCH_FILE_INFO__ node = *hit;
      std::wstring wpath = Utf8ToWide(link);
      unlink((dir_ + "/dest/saved(1).bin").c_str());
      // The name is taken by the link: the file goes to the next free name.
      EXPECT_EQ(0, engine.SaveFileData(&node, &wpath[0], rootIndex)) << target;
      struct stat st;
      ASSERT_EQ(0, lstat(link.c_str(), &st));
      EXPECT_TRUE(S_ISLNK(st.st_mode));
      ASSERT_EQ(0, lstat((dir_ + "/dest/saved(1).bin").c_str(), &st));
      EXPECT_TRUE(S_ISREG(st.st_mode));
      EXPECT_EQ(static_cast<off_t>(hit->u64FileSize), st.st_size);
    }
    std::vector<unsigned char> after = testfiles::ReadAll(victim_);
    EXPECT_TRUE(std::string(kVictimText) == std::string(after.begin(), after.end()))
        << "the save wrote through the planted link (the victim now holds " << after.size() << " bytes)";
    EXPECT_FALSE(Exists(missing_)) << "the save created the file a dangling link points to";

    // A plain save next to the links still works.
    __SEARCH_FILE_INFO__ node = *hit;
    std::string plain = dir_ + "/dest/plain.bin";
    std::wstring wplain = Utf8ToWide(plain);
    EXPECT_EQ(0, engine.SaveFileData(&node, &wplain[0], rootIndex));
    struct stat st;
    ASSERT_EQ(0, stat(plain.c_str(), &st));
    EXPECT_EQ(static_cast<off_t>(hit->u64FileSize), st.st_size);
  }

  std::string dir_, victim_, missing_;
};

int NoCancel(void*, int, int, int, u64, u64, u64, wchar_t*) { return 0; }

TEST_F(SaveLink, FreeNameTreatsALinkAsTaken) {
  std::string link = dir_ + "/dest/photo.jpg";
  ASSERT_EQ(0, symlink(missing_.c_str(), link.c_str()));
  EXPECT_EQ(dir_ + "/dest/photo(1).jpg", GetRealFileName(link));
  std::string free = dir_ + "/dest/other.jpg";
  EXPECT_EQ(free, GetRealFileName(free));
}

TEST_F(SaveLink, CarvedFile) {
  CFileTypeRecovery engine;
  std::string image = testimg::ImagePath("carve.img");
  std::wstring path = Utf8ToWide(image);
  ASSERT_EQ(0, engine.Init(&path[0], L'C'));
  engine.InitCallBack(NoCancel, nullptr, nullptr, 100);
  CDiskReader reader;
  u64 sectors = engine.GetSectorCount();
  ASSERT_EQ(0, reader.Init(image.c_str(), sectors));
  CFileTypeJudge::ResetPass();
  ASSERT_GT(carvetest::RunSectorPass(engine, reader, 0, sectors).u64FilesFound, 0u);
  SaveThroughPlantedLinks(engine, L"*.jpg|");
}

TEST_F(SaveLink, FatFile) {
  CFastFatRecovery engine;
  std::wstring path = Utf8ToWide(testimg::ImagePath("fat16.img"));
  ASSERT_EQ(0, engine.Init(&path[0], L'C'));
  ASSERT_EQ(0, engine.ScanDevice(nullptr));
  SaveThroughPlantedLinks(engine, L"*.jpg|");
}

TEST_F(SaveLink, NtfsFile) {
  CFastNtfsRecovery engine;
  std::wstring path = Utf8ToWide(testimg::ImagePath("ntfs.img"));
  ASSERT_EQ(0, engine.Init(&path[0], L'C'));
  ASSERT_EQ(0, engine.ScanDevice(nullptr));
  SaveThroughPlantedLinks(engine, L"*.jpg|");
}

}  // namespace

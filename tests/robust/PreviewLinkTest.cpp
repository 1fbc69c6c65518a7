// A picture preview goes to "tmp.<ext>" in the scan-log folder. Someone who
// can write there (the folder outlives the program) may plant a symbolic
// link in its place; the program runs as root, so writing through the link
// would overwrite any file. Each engine must replace the link with a fresh
// regular file and leave the link's target alone.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "carve/CarveTestUtil.h"
#include "carve/FileTypeRecovery.h"
#include "engine/DiskMap.h"
#include "engine/FaultGuard.h"
#include "engine/TextUtil.h"
#include "fat/FastFatRecovery.h"
#include "ntfs/FastNtfsRecovery.h"
#include "store/LogFileManager.h"
#include "store/ScanResultFileManager.h"
#include "tests/support/TestFiles.h"
#include "tests/support/TestImages.h"

namespace {

const char kVictimText[] = "precious: written before the preview\n";

class PreviewLink : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = testimg::MakeTempDir("robust-preview");
    setenv("TORVANE_SUPPORT_DIR", (dir_ + "/support").c_str(), 1);
    CLogFileManager::GetInstance()->Reload();
    ASSERT_EQ(0, MakeDirectories(GetScanLogDir()));
    victim_ = dir_ + "/victim.txt";
    ASSERT_TRUE(testfiles::WriteAll(victim_, kVictimText, sizeof(kVictimText) - 1));
    faults_ = FaultGuardCatchCount();
  }
  void TearDown() override {
    EXPECT_EQ(faults_, FaultGuardCatchCount()) << "the fault guard fired";
    testimg::RemoveTree(dir_);
  }

  // Plants tmp.jpg -> victim, previews the first JPEG hit, and checks the
  // victim and the preview file.
  void PreviewThroughPlantedLink(IFileRecoveryParse& engine) {
    std::wstring pattern = L"*.jpg|";
    SEARCH_FILE_INFO_VECTOR hits;
    engine.SearchFileNode(&pattern[0], hits);
    const __SEARCH_FILE_INFO__* hit = nullptr;
    for (const auto& h : hits)
      if (h.u64FileSize > 0 && h.u64FileSize < (4u << 20)) {
        hit = &h;
        break;
      }
    ASSERT_NE(nullptr, hit) << "no JPEG to preview";

    std::string link = GetScanLogDir() + "tmp.jpg";
    unlink(link.c_str());
    ASSERT_EQ(0, symlink(victim_.c_str(), link.c_str()));

    __SEARCH_FILE_INFO__ node = *hit;
    wchar_t temp[260] = {0};
    std::vector<unsigned char> buf(1 << 16);
    int len = static_cast<int>(buf.size());
    int status = engine.PreView(&node, temp, buf.data(), len, nullptr, nullptr);
    EXPECT_EQ(0, status) << "the preview failed";

    std::vector<unsigned char> after = testfiles::ReadAll(victim_);
    EXPECT_EQ(std::string(kVictimText), std::string(after.begin(), after.end()))
        << "the preview wrote through the planted link";
    struct stat st;
    ASSERT_EQ(0, lstat(link.c_str(), &st));
    EXPECT_TRUE(S_ISREG(st.st_mode)) << "tmp.jpg is still a link";
    EXPECT_EQ(link, WideToUtf8(temp)) << "the preview names another file";
    std::vector<unsigned char> preview = testfiles::ReadAll(link);
    ASSERT_GE(preview.size(), 3u);
    EXPECT_EQ(0xFF, preview[0]);
    EXPECT_EQ(0xD8, preview[1]);
    EXPECT_EQ(0xFF, preview[2]) << "the preview file does not hold the JPEG";
  }

  std::string dir_, victim_;
  uint64_t faults_ = 0;
};

int NoCancel(void*, int, int, int, u64, u64, u64, wchar_t*) { return 0; }

TEST_F(PreviewLink, CarvedJpeg) {
  CFileTypeRecovery engine;
  std::string image = testimg::ImagePath("carve.img");
  std::wstring path = Utf8ToWide(image);
  ASSERT_EQ(0, engine.Init(&path[0], L'C'));
  engine.InitCallBack(NoCancel, nullptr, nullptr, 100);
  // The carver is driven as the deep scan drives it.
  CDiskReader reader;
  u64 sectors = engine.GetSectorCount();
  ASSERT_EQ(0, reader.Init(image.c_str(), sectors));
  CFileTypeJudge::ResetPass();
  ASSERT_GT(carvetest::RunSectorPass(engine, reader, 0, sectors).u64FilesFound, 0u);
  PreviewThroughPlantedLink(engine);
}

TEST_F(PreviewLink, FatJpeg) {
  CFastFatRecovery engine;
  std::wstring path = Utf8ToWide(testimg::ImagePath("fat16.img"));
  ASSERT_EQ(0, engine.Init(&path[0], L'C'));
  ASSERT_EQ(0, engine.ScanDevice(nullptr));
  PreviewThroughPlantedLink(engine);
}

TEST_F(PreviewLink, NtfsJpeg) {
  CFastNtfsRecovery engine;
  std::wstring path = Utf8ToWide(testimg::ImagePath("ntfs.img"));
  ASSERT_EQ(0, engine.Init(&path[0], L'C'));
  ASSERT_EQ(0, engine.ScanDevice(nullptr));
  PreviewThroughPlantedLink(engine);
}

}  // namespace

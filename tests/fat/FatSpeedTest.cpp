// A quick scan of a FAT32 volume with 2,000 folders of 25 files each (50,000
// entries; every third file deleted) must find every deleted file. It prints
// its time; the time itself is the benchmarks' business, not a pass mark.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "engine/TextUtil.h"
#include "fat/FastFatRecovery.h"
#include "tests/fat/FatBytes.h"
#include "tests/fat/FatTestUtil.h"

using namespace fatbytes;

namespace {

constexpr u32 kFolders = 2000;
constexpr u32 kFilesPerFolder = 25;
constexpr u32 kSpc = 8;
constexpr u32 kReserved = 32;
constexpr u32 kRootClusters = (kFolders * 32 + kSpc * 512 - 1) / (kSpc * 512);
constexpr u32 kClusters = 2 + kRootClusters + kFolders + kFolders * kFilesPerFolder + 64;
constexpr u32 kFatSectors = (kClusters * 4 + 511) / 512;
constexpr u32 kDataStart = kReserved + 2 * kFatSectors;

void PWrite(int fd, const void* p, size_t n, u64 off) {
  ASSERT_EQ(static_cast<ssize_t>(n), pwrite(fd, p, n, static_cast<off_t>(off)));
}

u64 ClusterOffset(u32 c) { return (static_cast<u64>(kDataStart) + static_cast<u64>(c - 2) * kSpc) * 512; }

// Writes the volume: boot sector, FAT, root folder listing the folders, each
// folder holding its files; file data clusters stay sparse (zeros).
void WriteVolume(const std::string& path) {
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  const u64 totalSectors = kDataStart + static_cast<u64>(kClusters - 2) * kSpc;
  ASSERT_EQ(0, ftruncate(fd, static_cast<off_t>(totalSectors * 512)));
  u8 boot[512] = {0};
  boot[0] = 0xEB;
  boot[1] = 0x58;
  boot[2] = 0x90;
  memcpy(boot + 3, "TORVANE ", 8);
  Put16(boot + 11, 512);
  boot[13] = kSpc;
  Put16(boot + 14, kReserved);
  boot[16] = 2;
  boot[21] = 0xF8;
  Put32(boot + 32, static_cast<u32>(totalSectors));
  Put32(boot + 36, kFatSectors);
  Put32(boot + 44, 2);
  memcpy(boot + 82, "FAT32   ", 8);
  boot[510] = 0x55;
  boot[511] = 0xAA;
  PWrite(fd, boot, 512, 0);

  std::vector<u32> fat(kFatSectors * 128, 0);
  fat[0] = 0x0FFFFFF8;
  fat[1] = 0x0FFFFFFF;
  for (u32 c = 2; c < 2 + kRootClusters; ++c) fat[c] = c + 1 < 2 + kRootClusters ? c + 1 : 0x0FFFFFFF;
  std::vector<u8> root(kRootClusters * kSpc * 512, 0);
  u32 next = 2 + kRootClusters;
  std::vector<u8> dir(kSpc * 512);
  for (u32 d = 0; d < kFolders; ++d) {
    u32 dc = next++;
    fat[dc] = 0x0FFFFFFF;
    char name[12];
    snprintf(name, sizeof(name), "D%07u   ", d);
    ShortEntry(root.data() + d * 32, name, FAT_ATTR_DIRECTORY, dc, 0);
    std::fill(dir.begin(), dir.end(), 0);
    DotEntries(dir.data(), dc, 0);
    for (u32 f = 0; f < kFilesPerFolder; ++f) {
      u32 fc = next++;
      bool deleted = f % 3 == 0;
      fat[fc] = deleted ? 0 : 0x0FFFFFFF;
      snprintf(name, sizeof(name), "F%07uTXT", f);
      u8* e = dir.data() + (2 + f) * 32;
      ShortEntry(e, name, FAT_ATTR_ARCHIVE, fc, 100);
      if (deleted) e[0] = FAT_DELETED_MARK;
    }
    PWrite(fd, dir.data(), dir.size(), ClusterOffset(dc));
  }
  PWrite(fd, root.data(), root.size(), ClusterOffset(2));
  for (int copy = 0; copy < 2; ++copy)
    PWrite(fd, fat.data(), fat.size() * 4, (kReserved + static_cast<u64>(copy) * kFatSectors) * 512);
  close(fd);
}

TEST(FastFatSpeed, FiftyThousandEntriesInTwoThousandFolders) {
  fattest::UseFreshSupportDir("speed");
  std::string dir = testimg::MakeTempDir("fat-speed");
  std::string path = dir + "/big.img";
  WriteVolume(path);
  if (HasFatalFailure()) return;
  CFastFatRecovery engine;
  std::wstring w = Utf8ToWide(path);
  ASSERT_EQ(0, engine.Init(&w[0], L'C'));
  auto t0 = std::chrono::steady_clock::now();
  ASSERT_EQ(0, engine.ScanDevice(nullptr));
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  unsigned int count = 0;
  ASSERT_EQ(0, engine.GetChildrenFileCount(nullptr, 0, count));
  const u32 deletedPerFolder = (kFilesPerFolder + 2) / 3;
  EXPECT_EQ(kFolders * deletedPerFolder, count);
  // Every folder with a deleted file is a node under the root.
  FILE_NODE_VECTOR top;
  ASSERT_EQ(0, engine.GetChildrenFileNode(nullptr, 0, top));
  EXPECT_EQ(kFolders, top.size());
  RecordProperty("quick_scan_seconds", std::to_string(seconds));
  printf("quick scan of %u entries in %u folders: %.3f s\n", kFolders * kFilesPerFolder, kFolders, seconds);
#if !defined(__SANITIZE_ADDRESS__)
#endif
  testimg::RemoveTree(dir);
}

}  // namespace

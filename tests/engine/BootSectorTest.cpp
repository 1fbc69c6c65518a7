// Boot-sector recognition on boot sectors made by the real tools, and on
// crafted sectors that differ from a real one in a single field.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "TestFiles.h"
#include "support/TestImages.h"
#include "disk/BootSector.h"

namespace {

// Boot sectors of the test-image builder's volumes (made by mkfs.fat,
// mkntfs and mke2fs), and of a 4 KiB-block ext4 volume made here, read once
// per test program.
class RealBootSectors : public ::testing::Test {
 protected:
  static std::vector<unsigned char>& Img(const std::string& name) {
    static std::map<std::string, std::vector<unsigned char>> cache;
    auto it = cache.find(name);
    if (it != cache.end()) return it->second;
    std::string path;
    std::string dir;
    if (name == "ext4k.img") {
      dir = testfiles::FreshDir("boot");
      path = dir + "/ext4k.img";
      int rc = testfiles::Run("truncate -s 8M '" + path + "' && mke2fs -q -F -t ext4 -b 4096 '" + path +
                              "' >/dev/null 2>&1");
      EXPECT_EQ(0, rc);
    } else {
      path = testimg::ImagePath(name == "ext1k.img" ? "ext4.img" : name);
    }
    std::vector<unsigned char> data = testimg::ReadAt(path, 0, 16384);
    data.resize(16384, 0);
    if (!dir.empty()) testimg::RemoveTree(dir);
    return cache[name] = data;
  }
};

TEST_F(RealBootSectors, EachToolsBootSectorIsRecognisedAsItsOwnKindOnly) {
  struct { const char* name; bool ntfs, fat, ext, fat16layout, fat32layout; } rows[] = {
      {"fat12.img", false, true, false, true, false},
      {"fat16.img", false, true, false, true, false},
      {"fat32.img", false, true, false, false, true},
      {"ntfs.img", true, false, false, false, false},
      {"ext1k.img", false, false, true, false, false},
      {"ext4k.img", false, false, true, false, false},
  };
  for (auto& r : rows) {
    const unsigned char* b = Img(r.name).data();
    ASSERT_EQ(16384u, Img(r.name).size());
    EXPECT_EQ(r.ntfs, IsNtfs(b)) << r.name;
    EXPECT_EQ(r.fat, IsFat(b)) << r.name;
    EXPECT_EQ(r.ext, IsExt(b, 16384)) << r.name;
    EXPECT_EQ(r.fat16layout, IsFullValidFAT16DBR(b)) << r.name;
    EXPECT_EQ(r.fat32layout, IsFullValidFAT32DBR(b)) << r.name;
    EXPECT_FALSE(IsBitlockerDBR(b)) << r.name;
  }
}

TEST_F(RealBootSectors, BitlockerMarksAreNeverFat) {
  std::vector<unsigned char> b = Img("fat32.img");
  memcpy(&b[3], "-FVE-FS-", 8);
  EXPECT_TRUE(IsBitlockerDBR(b.data()));
  EXPECT_FALSE(IsFat(b.data()));
  b = Img("fat32.img");
  const unsigned char marker[30] = {0x78, 0x78, 0x78, 0x78, 0x78, 0x78, 0x78, 0x78, 0xFF, 0xFF,
                                    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x1F, 0x2C};
  memcpy(&b[480], marker, 30);
  EXPECT_TRUE(IsBitlockerDBR(b.data()));
  EXPECT_FALSE(IsFat(b.data()));
}

// Clusters reach 64 KiB on FAT (128 sectors) and 2 MiB on NTFS, where a
// byte above 0x80 counts 2^(256 - v) sectors; sizes that are no power of two
// or larger than that are no boot sector.
TEST_F(RealBootSectors, ClusterSizesUpTo64KiBOnFatAnd2MiBOnNtfs) {
  for (const char* n : {"fat16.img", "fat32.img"}) {
    std::vector<unsigned char> b = Img(n);
    b[13] = 128;
    EXPECT_TRUE(IsFat(b.data())) << n;
    for (unsigned char bad : {0, 3, 96}) {
      b[13] = bad;
      EXPECT_FALSE(IsFat(b.data())) << n << " " << int(bad);
    }
  }
  std::vector<unsigned char> b = Img("ntfs.img");
  const struct { unsigned char raw; uint32_t bytes; } rows[] = {
      {8, 4096}, {128, 65536}, {0xF4, 2u << 20}, {0xF3, 0}, {0xE0, 0}, {0, 0}, {3, 0}};
  for (const auto& r : rows) {
    b[13] = r.raw;
    EXPECT_EQ(r.bytes, NtfsClusterBytes(b.data())) << int(r.raw);
    EXPECT_EQ(r.bytes != 0, IsNtfs(b.data())) << int(r.raw);
  }
}

TEST_F(RealBootSectors, NtfsFieldsThatMustBeZero) {
  std::vector<unsigned char> b = Img("ntfs.img");
  b[11] = 0;
  b[12] = 0;  // bytes per sector 0 still passes the low-nine-bits test
  EXPECT_TRUE(IsNtfs(b.data()));
  for (int off : {14, 16, 17, 18, 19, 20, 22, 23, 32, 33, 34, 35}) {
    std::vector<unsigned char> c = Img("ntfs.img");
    c[off] = 1;
    EXPECT_FALSE(IsNtfs(c.data())) << off;
  }
  std::vector<unsigned char> c = Img("ntfs.img");
  memset(&c[40], 0, 8);
  EXPECT_FALSE(IsNtfs(c.data()));
  c = Img("ntfs.img");
  c[511] = 0;
  EXPECT_FALSE(IsNtfs(c.data()));
  EXPECT_FALSE(IsNtfs(nullptr));
  EXPECT_FALSE(IsNtfs(Img("ntfs.img").data(), 100));  // a short buffer is not NTFS
}

TEST_F(RealBootSectors, FatFieldPrecedenceAndWrapAround) {
  // FAT32 without its type text is still FAT when its 16-bit FAT size is set
  // and the FAT12/16 layout holds.
  std::vector<unsigned char> b = Img("fat32.img");
  memset(&b[82], ' ', 8);
  EXPECT_FALSE(IsFat(b.data()));
  b[22] = 4;
  EXPECT_TRUE(IsFat(b.data()));

  // Sizes that make the data-sector difference negative wrap to a huge count.
  b = Img("fat16.img");
  b[22] = 0xFF;  // 65535-sector FATs: the data area would be negative
  b[23] = 0xFF;
  EXPECT_FALSE(IsFat(b.data()));

  // With both total-sector fields set, the 32-bit one counts.
  b = Img("fat16.img");
  unsigned total16 = b[19] | (b[20] << 8);
  ASSERT_NE(0u, total16);
  b[32] = 0x10;  // 16 sectors: negative data area, wraps
  EXPECT_FALSE(IsFat(b.data()));
}

TEST_F(RealBootSectors, ExtBlockSizeAndFirstDataBlockMustAgree) {
  std::vector<unsigned char> b = Img("ext1k.img");
  ASSERT_TRUE(IsExt(b.data(), b.size()));
  b[1044] = 0;  // first data block 0 with 1 KiB blocks
  EXPECT_FALSE(IsExt(b.data(), b.size()));
  b = Img("ext4k.img");
  ASSERT_TRUE(IsExt(b.data(), b.size()));
  b[1044] = 1;  // first data block 1 with 4 KiB blocks
  EXPECT_FALSE(IsExt(b.data(), b.size()));
  b = Img("ext4k.img");
  b[1080] = 0;
  EXPECT_FALSE(IsExt(b.data(), b.size()));
  EXPECT_FALSE(IsExt(Img("ext4k.img").data(), 1100));  // too short to hold the fields
}

TEST(DefaultClusters, Fat32AndNtfsTables) {
  EXPECT_EQ(8u, GetFat32DefaultSectorPerCluster(68543, 512));
  EXPECT_EQ(1u, GetFat32DefaultSectorPerCluster(68544, 512));
  EXPECT_EQ(2u, GetFat32DefaultSectorPerCluster(133056, 512));
  EXPECT_EQ(8u, GetFat32DefaultSectorPerCluster(16777151, 512));
  EXPECT_EQ(64u, GetFat32DefaultSectorPerCluster(268435440, 4096));
  EXPECT_EQ(128u, GetFat32DefaultSectorPerCluster(268435440, 512));
  EXPECT_EQ(8u, GetFat32DefaultSectorPerCluster(4294967167ull, 512));
  EXPECT_EQ(0u, GetFat32DefaultSectorPerCluster(0, 512));

  EXPECT_EQ(8u, GetDefaultNtfsSectorPerCluster(7 * 2048, 512));         // 7 MiB
  EXPECT_EQ(1u, GetDefaultNtfsSectorPerCluster(7 * 2048 + 1024, 512));  // 7.5 MiB
  EXPECT_EQ(1u, GetDefaultNtfsSectorPerCluster(512 * 2048, 512));
  EXPECT_EQ(2u, GetDefaultNtfsSectorPerCluster(1024 * 2048, 512));
  EXPECT_EQ(4u, GetDefaultNtfsSectorPerCluster(2048 * 2048, 512));
  EXPECT_EQ(8u, GetDefaultNtfsSectorPerCluster(2049ull * 2048, 512));
}

}  // namespace

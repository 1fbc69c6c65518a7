// The carving image and the deep-scan images: bytes where the manifest says.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "ImagesCommon.h"

using namespace testimg;

namespace {
bool AllZero(const std::vector<uint8_t>& b) {
  return std::all_of(b.begin(), b.end(), [](uint8_t c) { return c == 0; });
}
}  // namespace

TEST(TestimagesCarve, PlacedFilesAndTheirSurroundings) {
  Manifest m = LoadManifest("carve.img");
  Manifest samples = LoadManifest("samples");
  const std::string img = ImagePath("carve.img");
  ASSERT_GE(m.files.size(), samples.files.size());
  int clean = 0, noisy = 0, truncated = 0;
  int64_t prevEnd = 0;
  for (const auto& f : m.files) {
    ASSERT_GE(f.firstSector, prevEnd) << f.name << " overlaps the previous file";
    imgcheck::ExpectBytesAtFirstSector(img, f);
    const uint64_t end = uint64_t(f.firstSector) * 512 + f.size;
    const uint64_t sectorEnd = (end + 511) / 512 * 512;
    prevEnd = static_cast<int64_t>(sectorEnd / 512);
    auto tail = ReadAt(img, end, sectorEnd - end + 512);
    if (f.note == "clean-end") {
      ++clean;
      EXPECT_TRUE(AllZero(tail)) << f.name << ": slack and the next sector must be zero";
      EXPECT_EQ(Sha256File(f.samplePath), f.sha256) << f.name;
    } else if (f.note == "noise-after") {
      ++noisy;
      EXPECT_FALSE(AllZero(ReadAt(img, sectorEnd, 512))) << f.name;
      EXPECT_EQ(Sha256File(f.samplePath), f.sha256) << f.name;
    } else {
      ASSERT_EQ(f.note, "truncated");
      ++truncated;
      auto whole = ReadAt(f.samplePath, 0, 1 << 22);
      ASSERT_LT(f.size, whole.size());
      EXPECT_EQ(Sha256Bytes(whole.data(), f.size), f.sha256);
      EXPECT_FALSE(AllZero(ReadAt(img, end, 512)));
    }
  }
  EXPECT_EQ(clean, static_cast<int>(samples.files.size()));
  EXPECT_GE(noisy, 3);
  EXPECT_EQ(truncated, 1);
}

TEST(TestimagesDeep, NtfsOverFat) {
  Manifest m = LoadManifest("ntfs-over-fat.img");
  const std::string img = ImagePath("ntfs-over-fat.img");
  // It is FAT32 now, for mtools as for the boot sector.
  EXPECT_TRUE(imgcheck::CommandSucceeds("mdir -i " + ShellQuote(img) + " ::/"));
  auto bs = ReadAt(img, 0, 90);
  EXPECT_EQ(std::string(bs.begin() + 82, bs.begin() + 87), "FAT32");
  int intactRecords = 0;
  for (const auto& f : m.files) {
    EXPECT_EQ(f.state, "deleted");
    EXPECT_TRUE(f.HasTag("old-fs"));
    if (f.HasTag("data-intact")) imgcheck::ExpectBytesAtFirstSector(img, f);
    for (const auto& tag : {std::string("record-intact")}) {
      if (!f.HasTag(tag)) continue;
      size_t at = f.note.find("mft-sector=");
      ASSERT_NE(at, std::string::npos);
      uint64_t sector = std::stoull(f.note.substr(at + 11));
      auto rec = ReadAt(img, sector * 512, 4);
      EXPECT_EQ(std::string(rec.begin(), rec.end()), "FILE") << f.Path();
      ++intactRecords;
    }
  }
  EXPECT_GE(intactRecords, 5);
}

TEST(TestimagesDeep, FatOverNtfs) {
  Manifest m = LoadManifest("fat-over-ntfs.img");
  const std::string img = ImagePath("fat-over-ntfs.img");
  EXPECT_TRUE(imgcheck::CommandSucceeds("ntfsls " + ShellQuote(img)));
  EXPECT_FALSE(imgcheck::CommandSucceeds("mdir -i " + ShellQuote(img) + " ::/Photos"));
  int intact = 0;
  for (const auto& f : m.files) {
    EXPECT_TRUE(f.HasTag("old-fs"));
    if (f.HasTag("data-intact")) {
      imgcheck::ExpectBytesAtFirstSector(img, f);
      ++intact;
    }
  }
  EXPECT_GE(intact, 5);
  // Surviving old folders still begin with their "." entry; 2019 names its first file.
  int dirs = 0;
  for (const auto& [key, value] : m.info) {
    if (key.rfind("oldDir.", 0) != 0 || value.find(";intact") == std::string::npos) continue;
    ++dirs;
    auto sec = ReadAt(img, std::stoull(value) * 512, 512);
    std::string s(sec.begin(), sec.end());
    EXPECT_EQ(s.substr(0, 11), ".          ") << key;
    if (key == "oldDir./Photos/2019") {
      EXPECT_NE(s.find("BEACH   JPG"), std::string::npos);
    }
  }
  EXPECT_GE(dirs, 3);
}

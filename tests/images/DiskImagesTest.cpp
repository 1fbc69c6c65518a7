// Partition tables checked against sfdisk, sgdisk and parted; ext4 against debugfs.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "ImagesCommon.h"

using namespace testimg;

namespace {

uint32_t Le32(const std::vector<uint8_t>& b, size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (uint32_t(b[at + 3]) << 24);
}

const ManifestPartition* FindPart(const Manifest& m, int index) {
  for (const auto& p : m.partitions)
    if (p.index == index) return &p;
  return nullptr;
}

// "start=2048, size=20480, type=6" lines of `sfdisk -d`, keyed by partition number.
std::map<int, std::string> SfdiskDump(const std::string& image) {
  std::string out = RunCommand(imgcheck::Tool("sfdisk -d " + ShellQuote(ImagePath(image)) + " 2>/dev/null"));
  std::map<int, std::string> parts;
  const std::string dev = ImagePath(image);
  size_t pos = 0;
  while ((pos = out.find(dev, pos)) != std::string::npos) {
    size_t eol = out.find('\n', pos);
    std::string line = out.substr(pos, eol - pos);
    pos = eol;
    size_t colon = line.find(" : ");
    if (colon == std::string::npos) continue;
    int idx = std::stoi(line.substr(dev.size(), colon - dev.size()));
    parts[idx] = line.substr(colon + 3);
  }
  return parts;
}

}  // namespace

TEST(TestimagesDisks, MbrPartitionsMatchSfdisk) {
  Manifest m = LoadManifest("mbr.img");
  auto dump = SfdiskDump("mbr.img");
  ASSERT_EQ(dump.size(), m.partitions.size());
  int logical = 0;
  for (const auto& p : m.partitions) {
    ASSERT_TRUE(dump.count(p.index)) << p.index;
    std::string want = "start=" + std::string(12 - std::to_string(p.firstSector).size(), ' ') +
                       std::to_string(p.firstSector) + ", size=" +
                       std::string(12 - std::to_string(p.lastSector - p.firstSector + 1).size(), ' ') +
                       std::to_string(p.lastSector - p.firstSector + 1) + ", type=" +
                       std::to_string(std::stoi(p.type, nullptr, 16));
    EXPECT_EQ(dump[p.index].substr(0, want.size()), want) << dump[p.index];
    logical += p.index >= 5;
  }
  EXPECT_EQ(logical, 2);
  const ManifestPartition* ext = FindPart(m, 3);
  ASSERT_NE(ext, nullptr);
  EXPECT_EQ(ext->fs, "extended");
  int fat = 0, ntfs = 0;
  for (const auto& p : m.partitions) {
    fat += p.fs.rfind("fat", 0) == 0;
    ntfs += p.fs == "ntfs";
  }
  EXPECT_GE(fat, 1);
  EXPECT_EQ(ntfs, 1);
  // A FAT partition with deleted photos and documents, an NTFS one with deleted files.
  bool fatDeletedJpg = false, fatDeletedDoc = false, ntfsDeleted = false;
  for (const auto& f : m.Files("deleted")) {
    const ManifestPartition* p = FindPart(m, f.partition);
    ASSERT_NE(p, nullptr);
    if (p->fs.rfind("fat", 0) == 0 && f.type == "jpg") fatDeletedJpg = true;
    if (p->fs.rfind("fat", 0) == 0 && (f.type == "pdf" || f.type == "doc" || f.type == "xlsx")) fatDeletedDoc = true;
    if (p->fs == "ntfs") ntfsDeleted = true;
  }
  EXPECT_TRUE(fatDeletedJpg && fatDeletedDoc && ntfsDeleted);
}

TEST(TestimagesDisks, GptPartitionsMatchSgdisk) {
  Manifest m = LoadManifest("gpt.img");
  ASSERT_EQ(m.partitions.size(), 3u);
  std::string out = RunCommand(imgcheck::Tool("sgdisk -p " + ShellQuote(ImagePath("gpt.img")) + " 2>&1"));
  for (const auto& p : m.partitions) {
    // sgdisk -p: "   1            2048            6143   2.0 MiB     EF00  EFI System"
    bool found = false;
    size_t pos = 0;
    while ((pos = out.find('\n', pos)) != std::string::npos) {
      ++pos;
      size_t eol = out.find('\n', pos);
      std::string line = out.substr(pos, eol == std::string::npos ? std::string::npos : eol - pos);
      unsigned idx = 0;
      unsigned long long first = 0, last = 0;
      if (sscanf(line.c_str(), " %u %llu %llu", &idx, &first, &last) == 3 && int(idx) == p.index) {
        found = true;
        EXPECT_EQ(first, p.firstSector);
        EXPECT_EQ(last, p.lastSector);
        EXPECT_GE(line.size(), p.name.size());
        EXPECT_EQ(line.substr(line.size() - p.name.size()), p.name) << line;
      }
    }
    EXPECT_TRUE(found) << "partition " << p.index << " not in sgdisk output:\n" << out;
  }
  auto dump = SfdiskDump("gpt.img");
  for (const auto& p : m.partitions)
    EXPECT_NE(dump[p.index].find("type=" + p.type), std::string::npos) << dump[p.index];
  EXPECT_EQ(FindPart(m, 2)->fs, "fat32");
  EXPECT_FALSE(m.FilesOfPartition(2).empty());
}

TEST(TestimagesDisks, AppleMapMatchesParted) {
  Manifest m = LoadManifest("apple.img");
  std::string out = RunCommand(imgcheck::Tool("parted -m -s " + ShellQuote(ImagePath("apple.img")) +
                                              " unit s print 2>/dev/null"));
  EXPECT_NE(out.find(":mac:"), std::string::npos) << out;
  int named = 0;
  for (const auto& p : m.partitions) {
    if (p.type == "Apple_Free") continue;
    std::string row = std::to_string(p.index) + ":" + std::to_string(p.firstSector) + "s:" +
                      std::to_string(p.lastSector) + "s:" +
                      std::to_string(p.lastSector - p.firstSector + 1) + "s:";
    EXPECT_NE(out.find(row), std::string::npos) << row << "\n" << out;
    named += !p.name.empty();
  }
  EXPECT_GE(named, 3);
}

TEST(TestimagesDisks, LoopingExtendedChain) {
  Manifest m = LoadManifest("mbr-loop.img");
  ASSERT_TRUE(m.info.count("ebrSectors"));
  const std::string img = ImagePath("mbr-loop.img");
  auto mbr = ReadAt(img, 0, 512);
  ASSERT_EQ(mbr.size(), 512u);
  // Entry 2 of the MBR is the extended partition; its chain must come back to itself.
  EXPECT_EQ(mbr[446 + 16 + 4], 0x05);
  uint32_t ext = Le32(mbr, 446 + 16 + 8);
  uint32_t ebr = ext;
  std::vector<uint32_t> seen;
  for (int step = 0; step < 8; ++step) {
    auto b = ReadAt(img, uint64_t(ebr) * 512, 512);
    ASSERT_EQ(b[510], 0x55);
    ASSERT_EQ(b[511], 0xAA);
    seen.push_back(ebr);
    uint32_t next = ext + Le32(b, 446 + 16 + 8);
    if (b[446 + 16 + 4] == 0) break;
    ebr = next;
    if (std::find(seen.begin(), seen.end(), ebr) != seen.end()) break;
  }
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(ebr, ext) << "the second EBR must link back to the first";
  EXPECT_EQ(m.info.at("ebrSectors"), std::to_string(seen[0]) + "," + std::to_string(seen[1]));
}

TEST(TestimagesDisks, Ext4FilesMatchDebugfs) {
  Manifest m = LoadManifest("ext4.img");
  ASSERT_GE(m.files.size(), 3u);
  for (const auto& f : m.files) {
    size_t size = 0;
    EXPECT_EQ(imgcheck::HashOfCommand("debugfs -R " + ShellQuote("cat " + f.Path()) + " " +
                                          ShellQuote(ImagePath("ext4.img")), &size),
              f.sha256)
        << f.Path();
    EXPECT_EQ(size, f.size);
    imgcheck::ExpectBytesAtFirstSector(ImagePath("ext4.img"), f);
  }
  // The ext4 partition of the GPT disk holds its files where the manifest says.
  Manifest g = LoadManifest("gpt.img");
  for (const auto& f : g.FilesOfPartition(3)) imgcheck::ExpectBytesAtFirstSector(ImagePath("gpt.img"), f);
}

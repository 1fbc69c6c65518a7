// Partition tables checked against sfdisk, sgdisk and parted; ext volumes against sleuthkit.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "ImagesCommon.h"

using namespace testimg;

namespace {

uint32_t Le32(const std::vector<uint8_t>& b, size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (uint32_t(b[at + 3]) << 24);
}

// "0x83" as sfdisk -d writes it: "83".
std::string Hex(const std::string& type) {
  char buf[16];
  snprintf(buf, sizeof(buf), "%x", static_cast<unsigned>(std::stoi(type, nullptr, 16)));
  return buf;
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
                       std::to_string(p.lastSector - p.firstSector + 1) + ", type=" + Hex(p.type);
    EXPECT_EQ(dump[p.index].substr(0, want.size()), want) << dump[p.index];
    logical += p.index >= 5;
  }
  EXPECT_EQ(logical, 3);
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

// The GPT of 4 KiB sectors as sleuthkit reads it with that sector size:
// "004:  000   0000000256   0000008447   0000008192   4K Data".
TEST(TestimagesDisks, Gpt4knPartitionsMatchMmls) {
  Manifest m = LoadManifest("gpt4k.img");
  ASSERT_EQ(m.info.at("logicalSectorSize"), "4096");
  ASSERT_EQ(m.partitions.size(), 2u);
  std::string out = RunCommand(imgcheck::Tool("mmls -b 4096 " + ShellQuote(ImagePath("gpt4k.img")) + " 2>&1"));
  for (const auto& p : m.partitions) {
    char row[96];
    snprintf(row, sizeof(row), "%010llu   %010llu   %010llu   %s", (unsigned long long)(p.firstSector / 8),
             (unsigned long long)((p.lastSector + 1) / 8 - 1),
             (unsigned long long)((p.lastSector - p.firstSector + 1) / 8), p.name.c_str());
    EXPECT_NE(out.find(row), std::string::npos) << row << "\n" << out;
  }
  // The header sits at byte 4096 (LBA 1), not 512.
  auto head = ReadAt(ImagePath("gpt4k.img"), 4096, 8);
  EXPECT_EQ(std::string(head.begin(), head.end()), "EFI PART");
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

// Every ext volume's files, live and deleted, as sleuthkit reads them: fls
// names them (deleted ones marked), icat gives their bytes (a deleted file's
// block map survives debugfs's rm), and they lie where the manifest says.
TEST(TestimagesDisks, ExtFilesMatchSleuthkit) {
  for (const char* name : {"ext4.img", "ext2.img", "ext4-4k.img", "mbr.img.p7", "gpt.img.p3", "gpt4k.img.p2"}) {
    SCOPED_TRACE(name);
    Manifest m = LoadManifest(name);
    const std::string img = ShellQuote(ImagePath(m.image));
    const std::string off = " -o " + std::to_string(m.volumeStartSector) + " ";
    std::string listing = RunCommand(imgcheck::Tool("fls -r -p" + off + img));
    int deleted = 0;
    for (const auto& f : m.files) {
      // "r/r 12:\thome/user/x.jpg", "r/r * 20:\thome/user/y.jpg" for a deleted one.
      std::string tail = ":\t" + f.Path().substr(1) + "\n";
      size_t at = listing.find(tail);
      ASSERT_NE(at, std::string::npos) << f.Path() << "\n" << listing;
      size_t bol = listing.rfind('\n', at);
      std::string head = listing.substr(bol == std::string::npos ? 0 : bol + 1, at - (bol == std::string::npos ? 0 : bol + 1));
      bool isDeleted = head.find(" * ") != std::string::npos;
      EXPECT_EQ(f.state == "deleted", isDeleted) << head;
      deleted += isDeleted;
      std::string inode = head.substr(head.find_last_of(" ") + 1);
      size_t size = 0;
      EXPECT_EQ(imgcheck::HashOfCommand("icat" + off + img + " " + inode, &size), f.sha256) << f.Path();
      EXPECT_EQ(size, f.size);
      if (f.Contiguous()) imgcheck::ExpectBytesAtFirstSector(ImagePath(m.image), f);
    }
    EXPECT_EQ(deleted, 4);
  }
}

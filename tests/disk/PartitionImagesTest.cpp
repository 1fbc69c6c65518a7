// Partition discovery on whole-disk images made with sfdisk, sgdisk and
// parted, compared with what those tools recorded in the manifests.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "PartitionTestUtil.h"
#include "support/TestImages.h"

using parttest::MemDisk;
using parttest::ReadImage;
using parttest::Span;
using parttest::Spans;

namespace {

// The manifest's partitions as the disk page lists them: MBR extended
// containers are links, not partitions; MBR items are numbered "Partition %d"
// from nFirstNumber in table order.
std::vector<Span> Expected(const testimg::Manifest& m, bool bNumbered, int nFirstNumber = 1) {
  std::vector<Span> out;
  int n = nFirstNumber;
  for (const auto& p : m.partitions) {
    if (p.fs == "extended") continue;
    out.push_back({p.firstSector, p.lastSector, bNumbered ? "Partition " + std::to_string(n++) : p.name});
  }
  return out;
}

std::vector<Span> ReadDisk(const std::string& image) {
  std::vector<_PARTITION_ITEM_> items;
  EXPECT_EQ(0, ReadImage(testimg::ImagePath(image), items, 3)) << image;
  for (const auto& it : items) {
    EXPECT_EQ(3, it.nDiskNo);
    EXPECT_STREQ("/dev/disk3", it.szDevicePath);
  }
  return Spans(items);
}

class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : m_name(name) {
    const char* old = getenv(name);
    m_bHad = old != nullptr;
    if (old) m_old = old;
    setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (m_bHad) setenv(m_name.c_str(), m_old.c_str(), 1);
    else unsetenv(m_name.c_str());
  }

 private:
  std::string m_name, m_old;
  bool m_bHad = false;
};

}  // namespace

// Exact lists: the logical partitions of mbr.img's extended chain are in, its
// extended container and gpt.img's protective MBR entry are not; gpt4k.img
// counts in 4 KiB sectors, its items in 512-byte ones.
TEST(PartitionImages, EachTableKindMatchesTheToolThatWroteIt) {
  struct Case {
    const char* image;
    bool bNumbered;
  } cases[] = {{"mbr.img", true}, {"gpt.img", false}, {"apple.img", false}, {"gpt4k.img", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.image);
    testimg::Manifest m = testimg::LoadManifest(c.image);
    std::vector<Span> want = Expected(m, c.bNumbered);
    ASSERT_FALSE(want.empty());
    std::vector<Span> got = ReadDisk(c.image);
    EXPECT_EQ(want, got) << "want:\n" << parttest::ToString(want) << "got:\n" << parttest::ToString(got);
  }
}

TEST(PartitionImages, LoopingExtendedChainEnds) {
  testimg::Manifest m = testimg::LoadManifest("mbr-loop.img");
  ASSERT_FALSE(m.info["loop"].empty());
  std::vector<Span> got = ReadDisk("mbr-loop.img");
  EXPECT_EQ(Expected(m, true), got) << parttest::ToString(got);
}

TEST(PartitionImages, BareVolumeIsOfferedWhole) {
  for (const char* image : {"fat32.img", "ntfs.img"}) {
    SCOPED_TRACE(image);
    std::vector<unsigned char> bytes = testfiles::ReadAll(testimg::ImagePath(image));
    ASSERT_GE(bytes.size(), 4096u);
    std::vector<Span> got = ReadDisk(image);
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(0u, got[0].first);
    EXPECT_EQ(bytes.size() / 512 - 1, got[0].last);
  }
}

// The whole enumeration over the disk map: disks in order, numbering running
// on across disks, the extended base of one disk not leaking into the next,
// and disks without a table or that cannot be opened left out.
TEST(PartitionImages, EnumerationOverTheDiskMap) {
  MemDisk blank(64, 64);
  std::string blankPath = blank.Save("part-blank");
  std::string disks = testimg::ImagePath("mbr.img") + ":" + testimg::ImagePath("gpt.img") + ":" + blankPath + ":" +
                      "/nonexistent/disk.img:" + testimg::ImagePath("mbr-loop.img") + ":" +
                      testimg::ImagePath("apple.img");
  ScopedEnv env("TORVANE_DISKS", disks);

  CPartitionManager manager;
  CPartitionManager::PartitionMap map;
  map[77].push_back(_PARTITION_ITEM_());  // cleared first
  ASSERT_EQ(1, manager.GetPartitionItems(map));

  std::vector<int> keys;
  for (const auto& kv : map) keys.push_back(kv.first);
  EXPECT_EQ((std::vector<int>{0, 1, 4, 5}), keys);

  testimg::Manifest mbr = testimg::LoadManifest("mbr.img");
  std::vector<Span> wantMbr = Expected(mbr, true, 1);
  EXPECT_EQ(wantMbr, Spans(map[0]));
  EXPECT_EQ(Expected(testimg::LoadManifest("gpt.img"), false), Spans(map[1]));
  int nNext = 1 + static_cast<int>(wantMbr.size());
  EXPECT_EQ(Expected(testimg::LoadManifest("mbr-loop.img"), true, nNext), Spans(map[4]));
  EXPECT_EQ(Expected(testimg::LoadManifest("apple.img"), false), Spans(map[5]));
  for (const auto& kv : map)
    for (const auto& it : kv.second) {
      EXPECT_EQ(kv.first, it.nDiskNo);
      EXPECT_EQ("/dev/disk" + std::to_string(kv.first), std::string(it.szDevicePath));
    }

  // A second enumeration starts the numbering again.
  CPartitionManager::PartitionMap again;
  manager.GetPartitionItems(again);
  ASSERT_FALSE(again[0].empty());
  EXPECT_EQ("Partition 1", PartitionNameToUtf8(again[0][0]));
  testimg::RemoveTree(blankPath.substr(0, blankPath.rfind('/')));
}

// A GPT with a gap in its entries and a partition in entry 30, past the 24
// entries that fit in the first 4096 bytes: every partition is listed.
TEST(PartitionImages, GptWithGapsAndHighEntriesFromSgdisk) {
  std::string dir = testfiles::FreshDir("part-sgdisk");
  std::string img = dir + "/gaps.img";
  std::string out;
  ASSERT_EQ(0, testfiles::Run("truncate -s 8M " + testimg::ShellQuote(img), &out));
  ASSERT_EQ(0, testfiles::Run("sgdisk -n 1:2048:+1M -c 1:First -n 3:4096:+1M -c 3:Third -n 30:8192:+1M "
                              "-c '30:Thirtieth' " + testimg::ShellQuote(img) + " >/dev/null 2>&1",
                              &out));
  std::vector<Span> got = parttest::ReadSpans(img);
  std::vector<Span> want = {{2048, 4095, "First"}, {4096, 6143, "Third"}, {8192, 10239, "Thirtieth"}};
  EXPECT_EQ(want, got) << parttest::ToString(got);

  // Primary header destroyed: the backup at the end of the disk still gives the table.
  std::vector<unsigned char> bytes = testfiles::ReadAll(img);
  ASSERT_EQ(8u << 20, bytes.size());
  memset(bytes.data() + 512, 0, 512);
  std::string broken = dir + "/broken.img";
  ASSERT_TRUE(testfiles::WriteAll(broken, bytes.data(), bytes.size()));
  EXPECT_EQ(want, parttest::ReadSpans(broken));

  // The primary entry array damaged: its checksum fails and the backup's copy is used.
  bytes = testfiles::ReadAll(img);
  memset(bytes.data() + 1024, 0xA5, 128);
  ASSERT_TRUE(testfiles::WriteAll(broken, bytes.data(), bytes.size()));
  EXPECT_EQ(want, parttest::ReadSpans(broken));
  testimg::RemoveTree(dir);
}

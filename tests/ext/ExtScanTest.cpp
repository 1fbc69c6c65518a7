// The ext engine's allocation map against dumpe2fs, and deep scans of ext
// volumes: deleted files come back by carving, from the free blocks only.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "engine/TextUtil.h"
#include "ext/FastExtRecovery.h"
#include "support/DeepScan.h"
#include "support/TestFiles.h"
#include "support/TestImages.h"

namespace {

typedef std::vector<std::pair<u64, u64>> Runs;  // [first, end) in 512-byte sectors

void AddRun(Runs& runs, u64 first, u64 end) {
  if (!runs.empty() && runs.back().second == first)
    runs.back().second = end;
  else
    runs.emplace_back(first, end);
}

// The free blocks dumpe2fs lists group by group ("Free blocks: 31-41, 61"),
// joined across groups, in sectors.
Runs Dumpe2fsFreeRuns(const std::string& image, u64 sectorsPerBlock) {
  std::string out;
  EXPECT_EQ(0, testfiles::Run("PATH=/usr/sbin:/sbin:$PATH dumpe2fs " + testimg::ShellQuote(image) + " 2>/dev/null",
                              &out));
  Runs runs;
  size_t pos = 0;
  const std::string key = "  Free blocks: ";
  while ((pos = out.find(key, pos)) != std::string::npos) {
    pos += key.size();
    std::string line = out.substr(pos, out.find('\n', pos) - pos);
    for (size_t at = 0; at < line.size();) {
      size_t comma = line.find(',', at);
      std::string item = line.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
      at = comma == std::string::npos ? line.size() : comma + 2;
      unsigned long long a = 0, b = 0;
      int n = sscanf(item.c_str(), "%llu-%llu", &a, &b);
      if (n < 1) continue;
      if (n == 1) b = a;
      AddRun(runs, a * sectorsPerBlock, (b + 1) * sectorsPerBlock);
    }
  }
  return runs;
}

Runs EngineFreeRuns(IFileRecoveryParse& e) {
  Runs runs;
  u64 start = 0, count = 0;
  for (int guard = 0; guard < 1000000; ++guard) {
    count = 0;
    e.GetUnUsedSectorCount(start, count);
    if (count == 0) break;
    AddRun(runs, start, start + count);
    start += count;
  }
  return runs;
}

u64 Total(const Runs& runs) {
  u64 n = 0;
  for (auto& r : runs) n += r.second - r.first;
  return n;
}

}  // namespace

// ext2 (32-byte descriptors, several groups), ext4 with 1 KiB blocks, and
// ext4 with 4 KiB blocks, 64-bit descriptors, flex_bg, meta_bg and
// BLOCK_UNINIT groups: the free runs are exactly the free blocks dumpe2fs lists.
TEST(ExtAllocationMap, FreeRunsAreTheBlocksDumpe2fsListsAsFree) {
  for (const char* name : {"ext2.img", "ext4.img", "ext4-4k.img"}) {
    SCOPED_TRACE(name);
    testimg::Manifest m = testimg::LoadManifest(name);
    std::wstring path = Utf8ToWide(testimg::ImagePath(name));
    CFastExtRecovery e;
    ASSERT_EQ(0, e.Init(const_cast<wchar_t*>(path.c_str()), L'C'));
    ASSERT_EQ(0, e.BuildBitMapInfo());
    Runs want = Dumpe2fsFreeRuns(testimg::ImagePath(name), m.clusterBytes / 512);
    ASSERT_FALSE(want.empty());
    EXPECT_EQ(want, EngineFreeRuns(e));
  }
}

// The deep pass reads exactly the free blocks and carves the deleted files
// out of them whole; live files, in used blocks, are never read. The same on
// an ext4 partition of an MBR disk. A superblock the engine cannot map from
// leaves the whole range to read.
TEST(ExtDeepScan, DeletedFilesComeBackByCarvingFromTheFreeBlocksOnly) {
  for (const char* name : {"ext4.img", "mbr.img.p7"}) {
    SCOPED_TRACE(name);
    testimg::Manifest m = testimg::LoadManifest(name);
    const std::string image = testimg::ImagePath(m.image);
    u64 first = m.volumeStartSector, count = 0;
    if (m.info.count("partition")) {
      for (const auto& p : testimg::LoadManifest(m.image).partitions)
        if (p.index == std::stoi(m.info.at("partition"))) count = p.lastSector - p.firstSector + 1;
      ASSERT_NE(0u, count);
    }
    auto scan = testscan::RunDeepScan(image, first, count);
    ASSERT_TRUE(scan->engine);
    ASSERT_EQ(0, scan->status);
    IFileRecoveryParse* quick = scan->engine->GetFastEngine();
    ASSERT_NE(nullptr, dynamic_cast<CFastExtRecovery*>(quick));
    u64 freeSectors = Total(EngineFreeRuns(*quick));
    EXPECT_GT(freeSectors, 0u);
    EXPECT_EQ(freeSectors, scan->sectorsRead);

    SEARCH_FILE_INFO_VECTOR hits = testscan::AllResults(*scan->engine);
    int deleted = 0;
    for (const auto& f : m.files) {
      const __SEARCH_FILE_INFO__* hit = nullptr;
      for (const auto& h : hits)
        if (h.nEngineType == ENGINE_FILE_TYPE && h.u64RecordSector == static_cast<u64>(f.firstSector)) hit = &h;
      if (f.state == "live") {
        EXPECT_EQ(nullptr, hit) << f.Path() << " lies in used blocks";
        continue;
      }
      ++deleted;
      ASSERT_NE(nullptr, hit) << f.Path() << " at sector " << f.firstSector;
      u64 size = 0;
      EXPECT_EQ(f.sha256, testscan::ContentSha256(*scan->engine, *hit, &size)) << f.Path();
      EXPECT_EQ(f.size, size) << f.Path();
    }
    EXPECT_EQ(4, deleted);
  }

  // A 64-bit descriptor size that is no power of two (0xFE): the factory
  // still sees ext, the engine has no map, so the whole range is read.
  std::string copy = testimg::CopyToTemp(testimg::ImagePath("ext4.img"), "ext-damaged");
  {
    FILE* f = fopen(copy.c_str(), "r+b");
    ASSERT_NE(nullptr, f);
    fseek(f, 1024 + 0xFE, SEEK_SET);
    fputc(48, f);
    fclose(f);
  }
  auto scan = testscan::RunDeepScan(copy);
  ASSERT_TRUE(scan->engine);
  ASSERT_NE(nullptr, dynamic_cast<CFastExtRecovery*>(scan->engine->GetFastEngine()));
  EXPECT_EQ(4u * 1024 * 2, scan->sectorsRead);
  testimg::RemoveTree(copy.substr(0, copy.rfind('/')));
}

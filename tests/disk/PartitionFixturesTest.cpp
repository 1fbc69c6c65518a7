// Partition tables built byte by byte: the usual layouts, then damaged ones
// (looping or endless chains, absurd counts and sizes, partitions past the
// end of the disk). Damage must give sane results, never a crash or a hang.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "PartitionTestUtil.h"
#include "support/TestImages.h"

using parttest::MemDisk;
using parttest::ReadImage;
using parttest::ReadSpans;
using parttest::Span;
using parttest::Spans;
using parttest::ToString;

namespace {

std::string P(int n) { return "Partition " + std::to_string(n); }

struct GptEnt {
  uint32_t slot;
  uint64_t first, last;
  std::string name;  // ASCII
};

// A GPT header at hdrLba and its entry array at entriesLba, checksums filled in.
void PutGpt(MemDisk& d, uint64_t hdrLba, uint64_t altLba, uint64_t entriesLba, uint32_t count, uint32_t size,
            const std::vector<GptEnt>& ents) {
  size_t arr = entriesLba * 512;
  for (const auto& e : ents) {
    size_t o = arr + static_cast<size_t>(e.slot) * size;
    d.Put8(o, 0xAF);  // any non-zero type GUID
    d.Put64LE(o + 32, e.first);
    d.Put64LE(o + 40, e.last);
    for (size_t k = 0; k < e.name.size() && k < 36; ++k) d.Put16LE(o + 56 + 2 * k, static_cast<uint8_t>(e.name[k]));
  }
  size_t h = hdrLba * 512;
  d.PutBytes(h, "EFI PART", 8);
  d.Put32LE(h + 8, 0x00010000);
  d.Put32LE(h + 12, 92);
  d.Put32LE(h + 16, 0);
  d.Put64LE(h + 24, hdrLba);
  d.Put64LE(h + 32, altLba);
  d.Put64LE(h + 72, entriesLba);
  d.Put32LE(h + 80, count);
  d.Put32LE(h + 84, size);
  d.Put32LE(h + 88, PartitionCrc32(d.Bytes().data() + arr, static_cast<size_t>(count) * size));
  d.Put32LE(h + 16, PartitionCrc32(d.Bytes().data() + h, 92));
}

void PutApmEntry(MemDisk& d, size_t block, uint32_t mapCount, uint32_t phys, uint32_t blocks, const char* name,
                 uint32_t dataStart, uint32_t dataCount) {
  size_t o = block * 512;
  d.PutBytes(o, "PM", 2);
  d.Put32BE(o + 4, mapCount);
  d.Put32BE(o + 8, phys);
  d.Put32BE(o + 12, blocks);
  d.PutBytes(o + 16, name, strlen(name) < 32 ? strlen(name) : 32);
  d.Put32BE(o + 80, dataStart);
  d.Put32BE(o + 84, dataCount);
}

}  // namespace

TEST(PartitionSignatures, RecognisersCheckTheirBytesAndLength) {
  unsigned char buf[512] = {};
  EXPECT_FALSE(CPartitionManager::IsMBR(buf));
  buf[510] = 0x55;
  buf[511] = 0xAA;
  EXPECT_TRUE(CPartitionManager::IsMBR(buf));
  EXPECT_FALSE(CPartitionManager::IsMBR(buf, 511));
  EXPECT_FALSE(CPartitionManager::IsMBR(nullptr, 512));
  memcpy(buf, "EFI PART", 8);
  EXPECT_TRUE(CPartitionManager::IsEFI(buf));
  EXPECT_FALSE(CPartitionManager::IsEFI(buf, 7));
  buf[7] = 'X';
  EXPECT_FALSE(CPartitionManager::IsEFI(buf));
  memcpy(buf, "ER", 2);
  EXPECT_TRUE(CPartitionManager::IsAPM(buf));
  EXPECT_FALSE(CPartitionManager::IsAPM(buf, 1));
  // The IEEE CRC-32 check value.
  EXPECT_EQ(0xCBF43926u, PartitionCrc32(reinterpret_cast<const unsigned char*>("123456789"), 9));
}

TEST(PartitionMbr, PrimaryPartitionsAndEmptyEntryStopsTheTable) {
  MemDisk d(8192, 1);
  d.MbrEntry(0, 0, 0x07, 2048, 1000, 0x80);
  d.MbrEntry(0, 1, 0x0B, 4096, 500);
  d.Signature(0);
  EXPECT_EQ((std::vector<Span>{{2048, 3047, P(1)}, {4096, 4595, P(2)}}), ReadSpans(d.Save("part-mbr")));

  MemDisk e(8192, 1);
  e.MbrEntry(0, 0, 0x07, 2048, 1000);
  e.MbrEntry(0, 2, 0x07, 4096, 500);  // behind an empty entry: not read
  e.Signature(0);
  EXPECT_EQ((std::vector<Span>{{2048, 3047, P(1)}}), ReadSpans(e.Save("part-mbr")));

  // A damaged boot flag or a zero count skips that entry only.
  MemDisk f(8192, 1);
  f.MbrEntry(0, 0, 0x07, 100, 10, 0x13);
  f.MbrEntry(0, 1, 0x07, 200, 0);
  f.MbrEntry(0, 2, 0x07, 300, 10);
  f.Signature(0);
  EXPECT_EQ((std::vector<Span>{{300, 309, P(1)}}), ReadSpans(f.Save("part-mbr")));
}

TEST(PartitionMbr, ExtendedChainIsRelativeToTheFirstRecord) {
  MemDisk d(20000, 11001);
  d.MbrEntry(0, 0, 0x0C, 2048, 1000);
  d.MbrEntry(0, 1, 0x0F, 10000, 9000);
  d.MbrEntry(0, 2, 0x07, 5000, 100);  // after the link: numbered after the logicals
  d.Signature(0);
  d.MbrEntry(10000, 0, 0x83, 63, 100);
  d.MbrEntry(10000, 1, 0x05, 1000, 500);  // next record at 10000 + 1000
  d.Signature(10000);
  d.MbrEntry(11000, 0, 0x83, 63, 50);  // relative to its own record
  d.Signature(11000);
  std::vector<Span> want = {{2048, 3047, P(1)}, {10063, 10162, P(2)}, {11063, 11112, P(3)}, {5000, 5099, P(4)}};
  EXPECT_EQ(want, ReadSpans(d.Save("part-ext"))) << ToString(ReadSpans(d.Save("part-ext")));
}

TEST(PartitionMbr, LoopingAndEndlessChainsEnd) {
  // Record 2 links back to record 1; record 1 also links to itself.
  MemDisk d(4096, 3000);
  d.MbrEntry(0, 0, 0x05, 1000, 3000);
  d.Signature(0);
  d.MbrEntry(1000, 0, 0x83, 10, 10);
  d.MbrEntry(1000, 1, 0x05, 1000, 100);
  d.MbrEntry(1000, 2, 0x05, 0, 100);
  d.Signature(1000);
  d.MbrEntry(2000, 0, 0x83, 10, 10);
  d.MbrEntry(2000, 1, 0x05, 0, 100);
  d.Signature(2000);
  EXPECT_EQ((std::vector<Span>{{1010, 1019, P(1)}, {2010, 2019, P(2)}}), ReadSpans(d.Save("part-loop")));

  // The MBR linking to itself.
  MemDisk s(64, 1);
  s.MbrEntry(0, 0, 0x05, 0, 64);
  s.MbrEntry(0, 1, 0x07, 8, 8);
  s.Signature(0);
  EXPECT_EQ((std::vector<Span>{{8, 15, P(1)}}), ReadSpans(s.Save("part-loop")));

  // A chain of 400 records each linking to the next: the walk and the
  // number of logical partitions are both capped.
  const uint32_t kRecords = 400;
  MemDisk c(2 + 2 * kRecords + 8, 2 + 2 * kRecords);
  c.MbrEntry(0, 0, 0x05, 2, 2 * kRecords);
  c.Signature(0);
  for (uint32_t i = 0; i < kRecords; ++i) {
    size_t sec = 2 + 2 * i;
    c.MbrEntry(sec, 0, 0x83, 1, 1);
    c.MbrEntry(sec, 1, 0x05, 2 * (i + 1), 2);
    c.Signature(sec);
  }
  std::vector<Span> got = ReadSpans(c.Save("part-chain"));
  ASSERT_EQ(static_cast<size_t>(PARTITION_MAX_LOGICAL), got.size());
  for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(3 + 2 * i, got[i].first);
}

TEST(PartitionMbr, RecordWithoutSignatureEndsTheChain) {
  MemDisk d(4096, 2001);
  d.MbrEntry(0, 0, 0x05, 1000, 3000);
  d.Signature(0);
  d.MbrEntry(1000, 0, 0x83, 10, 10);
  d.MbrEntry(1000, 1, 0x05, 1000, 100);
  d.Signature(1000);
  d.MbrEntry(2000, 0, 0x83, 10, 10);  // looks like a record, but no 0x55AA
  EXPECT_EQ((std::vector<Span>{{1010, 1019, P(1)}}), ReadSpans(d.Save("part-nosig")));
}

TEST(PartitionMbr, PartitionsPastTheDiskEnd) {
  MemDisk d(1000, 1);
  d.MbrEntry(0, 0, 0x07, 100, 100);
  d.MbrEntry(0, 1, 0x07, 900, 0xFFFFFFFF);  // runs far past the end: cut to the disk
  d.MbrEntry(0, 2, 0x07, 1000, 10);         // starts past the end: not listed
  d.MbrEntry(0, 3, 0x05, 0xFFFFFFF0, 10);   // link past the end: not followed
  d.Signature(0);
  EXPECT_EQ((std::vector<Span>{{100, 199, P(1)}, {900, 999, P(2)}}), ReadSpans(d.Save("part-end")));
}

TEST(PartitionMbr, BareVolumeAndBlankDisks) {
  // Nothing recognisable: not listed, and a disk shorter than one sector is an error.
  MemDisk blank(100, 100);
  EXPECT_TRUE(ReadSpans(blank.Save("part-blank")).empty());
  MemDisk tiny(0, 0);
  std::string path = tiny.Save("part-tiny");
  ASSERT_EQ(0, truncate(path.c_str(), 300));
  std::vector<_PARTITION_ITEM_> items;
  EXPECT_EQ(STATUS_SHORT_READ, ReadImage(path, items));
  EXPECT_TRUE(items.empty());
  // Signature only, no entries: an MBR with nothing in it.
  MemDisk sig(100, 1);
  sig.Signature(0);
  EXPECT_TRUE(ReadSpans(sig.Save("part-sig")).empty());
}

TEST(PartitionGpt, EntriesGapsAndNames) {
  MemDisk d(100000, 40);
  d.MbrEntry(0, 0, 0xEE, 1, 99999);
  d.Signature(0);
  std::string longName(40, 'N');
  PutGpt(d, 1, 99999, 2, 128, 128,
         {{0, 2048, 4095, "EFI"},
          {2, 4096, 8191, "Data"},        // slot 1 unused
          {3, 9000, 8999, "Backwards"},   // last before first: skipped
          {4, 0, 100, "ZeroFirst"},       // skipped
          {27, 10000, 10999, longName}}); // past the first 4096 bytes
  std::vector<_PARTITION_ITEM_> items;
  ASSERT_EQ(0, ReadImage(d.Save("part-gpt"), items, 5));
  std::vector<Span> want = {{2048, 4095, "EFI"}, {4096, 8191, "Data"}, {10000, 10999, std::string(36, 'N')}};
  EXPECT_EQ(want, Spans(items)) << ToString(Spans(items));
  ASSERT_EQ(3u, items.size());
  EXPECT_EQ(u'N', items[2].wszName[35]);  // 36 units, no terminator needed
  EXPECT_EQ(0, items[0].wszName[3]);
}

TEST(PartitionGpt, AbsurdCountsAndSizesAreCapped) {
  struct Case {
    uint32_t count, size;
  } cases[] = {{0xFFFFFFFFu, 128}, {128, 0xFFFFFFF0u}, {0xFFFFFFFFu, 0xFFFFFFFFu}, {128, 0}, {128, 100},
               {5000, 4096}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.count) + " x " + std::to_string(c.size));
    MemDisk d(4000, 40);
    PutGpt(d, 1, 3999, 2, 128, 128, {{0, 100, 199, "A"}, {1, 300, 399, "B"}});
    d.Put32LE(512 + 80, c.count);
    d.Put32LE(512 + 84, c.size);
    std::vector<Span> got = ReadSpans(d.Save("part-absurd"));
    EXPECT_LE(got.size(), 2u);
    for (const auto& s : got) {
      EXPECT_LE(s.first, s.last);
      EXPECT_LT(s.last, 4000u);
    }
    // With a usable entry size the real entries are still found.
    if (c.size == 128 || c.size % 8 != 0 || c.size < 128 || c.size > 4096) {
      EXPECT_EQ((std::vector<Span>{{100, 199, "A"}, {300, 399, "B"}}), got);
    }
  }
  // The entry array pointed past the end of the disk: read from the usual place.
  MemDisk d(4000, 40);
  PutGpt(d, 1, 3999, 2, 128, 128, {{0, 100, 199, "A"}});
  d.Put64LE(512 + 72, 0xFFFFFFFFFFFF0000ull);
  EXPECT_EQ((std::vector<Span>{{100, 199, "A"}}), ReadSpans(d.Save("part-lba")));
}

TEST(PartitionGpt, ChecksumsChooseBetweenPrimaryAndBackup) {
  const uint64_t kSectors = 2000;
  auto build = [&](MemDisk& d) {
    d.MbrEntry(0, 0, 0xEE, 1, kSectors - 1);
    d.Signature(0);
    PutGpt(d, 1, kSectors - 1, 2, 128, 128, {{0, 100, 199, "Primary"}});
    PutGpt(d, kSectors - 1, 1, kSectors - 33, 128, 128, {{0, 500, 599, "Backup"}});
  };
  {
    MemDisk d(kSectors, kSectors);
    build(d);
    EXPECT_EQ((std::vector<Span>{{100, 199, "Primary"}}), ReadSpans(d.Save("part-crc")));
  }
  {
    MemDisk d(kSectors, kSectors);
    build(d);
    d.Put8(512 + 16, d.Bytes()[512 + 16] ^ 1);  // primary header checksum wrong
    EXPECT_EQ((std::vector<Span>{{500, 599, "Backup"}}), ReadSpans(d.Save("part-crc")));
  }
  {
    MemDisk d(kSectors, kSectors);
    build(d);
    d.Put8(1024 + 40, 0xC8);  // primary entry changed after its checksum was taken
    EXPECT_EQ((std::vector<Span>{{500, 599, "Backup"}}), ReadSpans(d.Save("part-crc")));
  }
  {
    MemDisk d(kSectors, kSectors);
    build(d);
    memset(d.Sector(1), 0, 512);  // primary header gone: the protective MBR leads to the backup
    EXPECT_EQ((std::vector<Span>{{500, 599, "Backup"}}), ReadSpans(d.Save("part-crc")));
  }
  {
    // Both checksums wrong: the primary is still read rather than dropped.
    MemDisk d(kSectors, kSectors);
    build(d);
    d.Put8(512 + 16, d.Bytes()[512 + 16] ^ 1);
    size_t b = (kSectors - 1) * 512;
    d.Put8(b + 16, d.Bytes()[b + 16] ^ 1);
    EXPECT_EQ((std::vector<Span>{{100, 199, "Primary"}}), ReadSpans(d.Save("part-crc")));
  }
}

TEST(PartitionApm, EntriesNamesAndHugeMaps) {
  MemDisk d(10000, 8);
  d.PutBytes(0, "ER", 2);
  PutApmEntry(d, 1, 4, 1, 63, "Apple", 0, 63);
  PutApmEntry(d, 2, 4, 64, 1000, "Data area\xA9", 10, 500);  // data area inside the partition
  d.Put8(3 * 512, 'X');                                       // entry 3 lost its signature: skipped
  PutApmEntry(d, 4, 4, 2000, 100, "0123456789ABCDEF0123456789ABCDEFtail", 0, 100);
  std::vector<Span> got = ReadSpans(d.Save("part-apm"));
  std::vector<Span> want = {{1, 63, "Apple"}, {74, 573, "Data area\xEF\xBF\xBD"},
                            {2000, 2099, "0123456789ABCDEF0123456789ABCDEF"}};
  EXPECT_EQ(want, got) << ToString(got);

  for (uint32_t count : {0u, 129u, 0xFFFFFFFFu}) {
    MemDisk h(10000, 4);
    h.PutBytes(0, "ER", 2);
    PutApmEntry(h, 1, count, 1, 63, "Apple", 0, 63);
    EXPECT_TRUE(ReadSpans(h.Save("part-apm")).empty()) << count;
  }
  // A map longer than the disk lists what is there.
  MemDisk s(3, 3);
  s.PutBytes(0, "ER", 2);
  PutApmEntry(s, 1, 100, 1, 2, "Apple", 0, 2);
  PutApmEntry(s, 2, 100, 0, 2, "Big", 0, 50);
  EXPECT_EQ((std::vector<Span>{{1, 2, "Apple"}, {0, 2, "Big"}}), ReadSpans(s.Save("part-apm")));
}

// Random damage to valid tables of every kind: whatever comes out stays on
// the disk and in order, and nothing hangs or reads out of bounds (run under
// the sanitizers).
TEST(PartitionDamage, RandomCorruptionGivesSaneItems) {
  const uint64_t kSectors = 3000;
  MemDisk mbr(kSectors, 1200);
  mbr.MbrEntry(0, 0, 0x07, 64, 100);
  mbr.MbrEntry(0, 1, 0x05, 1000, 1900);
  mbr.Signature(0);
  mbr.MbrEntry(1000, 0, 0x83, 10, 50);
  mbr.MbrEntry(1000, 1, 0x05, 100, 100);
  mbr.Signature(1000);
  mbr.MbrEntry(1100, 0, 0x83, 10, 50);
  mbr.Signature(1100);
  MemDisk gpt(kSectors, 40);
  gpt.MbrEntry(0, 0, 0xEE, 1, kSectors - 1);
  gpt.Signature(0);
  PutGpt(gpt, 1, kSectors - 1, 2, 128, 128, {{0, 100, 199, "A"}, {1, 300, 399, "B"}});
  MemDisk apm(kSectors, 4);
  apm.PutBytes(0, "ER", 2);
  PutApmEntry(apm, 1, 3, 1, 3, "Apple", 0, 3);
  PutApmEntry(apm, 2, 3, 100, 100, "X", 0, 100);
  PutApmEntry(apm, 3, 3, 300, 100, "Y", 0, 100);

  std::mt19937 rng(20240601);
  std::string dir = testfiles::FreshDir("part-fuzz");
  std::string path = dir + "/d.img";
  size_t nItems = 0;
  for (MemDisk* base : {&mbr, &gpt, &apm}) {
    // The bytes that matter: the first sectors and the extended records.
    std::vector<size_t> hot = {0, 512, 1024, 1536};
    if (base == &mbr) hot = {0, 1000 * 512, 1100 * 512};
    for (int iter = 0; iter < 300; ++iter) {
      std::vector<uint8_t> bytes = base->Bytes();
      int flips = 1 + static_cast<int>(rng() % 8);
      for (int k = 0; k < flips; ++k) {
        size_t at = hot[rng() % hot.size()] + rng() % 512;
        bytes[at] = static_cast<uint8_t>(rng());
      }
      ASSERT_TRUE(testfiles::WriteAll(path, bytes.data(), bytes.size()));
      ASSERT_EQ(0, truncate(path.c_str(), kSectors * 512));
      std::vector<_PARTITION_ITEM_> items;
      ASSERT_EQ(0, ReadImage(path, items));
      ASSERT_LE(items.size(), 4096u);
      nItems += items.size();
      for (const auto& it : items) {
        EXPECT_LE(it.u64StartSector, it.u64EndSector);
        EXPECT_LT(it.u64EndSector, kSectors);
        EXPECT_STREQ("/dev/disk0", it.szDevicePath);
      }
    }
  }
  EXPECT_GT(nItems, 0u);  // most damage leaves some of the table readable
  testimg::RemoveTree(dir);
}

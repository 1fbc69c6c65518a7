// Record fix-up, runlists, the record test, the record position rule and the
// validating attribute iterator, on a few hundred bytes built in the test.
#include <gtest/gtest.h>

#include <cstring>

#include "NtfsTestUtil.h"
#include "ntfs/NtfsParse.h"

using namespace ntfstest;

namespace {

std::vector<__RUNLIST__> Decode(const Bytes& runlist, uint32_t avail = 0) {
  // A non-resident attribute header of 0x40 bytes followed by the runlist.
  Bytes attr(0x40, 0);
  PutU32(attr, 0, 0x80);
  attr[8] = 1;
  PutU16(attr, 0x20, 0x40);
  attr.insert(attr.end(), runlist.begin(), runlist.end());
  attr.resize((attr.size() + 7) & ~size_t(7));
  PutU32(attr, 4, static_cast<uint32_t>(attr.size()));
  CNtfsParse p;
  std::vector<__RUNLIST__> runs;
  p.GetRunList(attr.data(), avail ? avail : static_cast<uint32_t>(attr.size()), runs);
  return runs;
}

}  // namespace

TEST(NtfsFixUp, RestoresSectorEndsOf512And4096ByteSectors) {
  Bytes rec(1024, 0x11);
  std::memcpy(rec.data(), "FILE", 4);
  PutU16(rec, 0x32, 0xAAAA);
  PutU16(rec, 0x34, 0xBBBB);
  PutU16(rec, 510, 0x1234);
  PutU16(rec, 1022, 0x1234);
  CNtfsParse p;
  EXPECT_EQ(0, p.FileRecordFixUp(rec.data()));
  EXPECT_EQ(0xAA, rec[510]);
  EXPECT_EQ(0xAA, rec[511]);
  EXPECT_EQ(0xBB, rec[1022]);
  EXPECT_EQ(0xBB, rec[1023]);
  EXPECT_EQ(0x11, rec[509]);

  Bytes big(4096, 0x22);
  std::memcpy(big.data(), "FILE", 4);
  PutU16(big, 0x32, 0xCDCD);
  PutU16(big, 0x34, 0xEEEE);
  CNtfsParse p4;
  p4.Init(4096);
  EXPECT_EQ(4096u, p4.GetFileRecordSize());
  EXPECT_EQ(0, p4.FileRecordFixUp(big.data()));
  EXPECT_EQ(0xCD, big[4094]);
  EXPECT_EQ(0x22, big[510]) << "only one sector's end is replaced on 4096-byte sectors";

  Bytes zero(1024, 0);
  PutU16(zero, 0x32, 0xAAAA);
  EXPECT_EQ(-1, p.FileRecordFixUp(zero.data()));
  EXPECT_EQ(0, zero[510]) << "a rejected buffer is left unchanged";
  EXPECT_EQ(-1, p.FileRecordFixUp(nullptr));
}

TEST(NtfsRunList, DecodesLengthsSignedOffsetsAndSparseRuns) {
  auto one = Decode({0x21, 0x18, 0x34, 0x56, 0x00});
  ASSERT_EQ(1u, one.size());
  EXPECT_EQ(0x18u, one[0].u64RunLength);
  EXPECT_EQ(0x5634, one[0].i64RunOffset);

  auto two = Decode({0x21, 0x30, 0x00, 0x20, 0x21, 0x10, 0x00, 0xFF, 0x00});
  ASSERT_EQ(2u, two.size());
  EXPECT_EQ(0x30u, two[0].u64RunLength);
  EXPECT_EQ(0x2000, two[0].i64RunOffset);
  EXPECT_EQ(0x10u, two[1].u64RunLength);
  EXPECT_EQ(-256, two[1].i64RunOffset);
  EXPECT_EQ(0x1F00, two[0].i64RunOffset + two[1].i64RunOffset);

  auto sparse = Decode({0x01, 0x05, 0x00});
  ASSERT_EQ(1u, sparse.size());
  EXPECT_EQ(5u, sparse[0].u64RunLength);
  EXPECT_EQ(0, sparse[0].i64RunOffset);
  EXPECT_TRUE(sparse[0].bSparse);
  EXPECT_FALSE(one[0].bSparse);

  // A nibble above 7, or a run without length bytes, ends the list.
  EXPECT_EQ(1u, Decode({0x11, 0x01, 0x01, 0x81, 0x01, 0x00}).size());
  EXPECT_EQ(1u, Decode({0x11, 0x01, 0x01, 0x10, 0x05, 0x00}).size());
}

TEST(NtfsRunList, LongRunListOfAFragmentedFileIsDecodedWhole) {
  // 200 fragments: a runlist of about 800 bytes, an attribute well past one
  // sector; all of it must come back.
  std::vector<std::pair<uint64_t, int64_t>> runs;
  int64_t prev = 0;
  for (int i = 0; i < 200; ++i) {
    int64_t first = 1000 + i * 37;
    runs.push_back({2, first - prev});
    prev = first;
  }
  Bytes rl = EncodeRuns(runs);
  ASSERT_GT(rl.size() + 0x40, 512u);
  auto got = Decode(rl);
  ASSERT_EQ(200u, got.size());
  int64_t sum = 0;
  for (size_t i = 0; i < got.size(); ++i) {
    sum += got[i].i64RunOffset;
    EXPECT_EQ(1000 + static_cast<int64_t>(i) * 37, sum);
    EXPECT_EQ(2u, got[i].u64RunLength);
  }
  // Bounded by the buffer handed in: a cut buffer yields only whole runs inside it.
  auto cut = Decode(rl, 0x40 + 30);
  EXPECT_LT(cut.size(), 200u);
  EXPECT_GT(cut.size(), 0u);
}

TEST(NtfsRecordTest, SignatureSizesAndSequenceNumber) {
  Bytes rec = RecordBuilder(40, 1).FileName(5, "a.txt").Build();
  EXPECT_TRUE(IsNtfsFileRecord(rec.data(), 1024));
  EXPECT_FALSE(IsNtfsFileRecord(rec.data(), 4096)) << "bytes allocated must equal the record size";
  Bytes torn = rec;
  torn[510] ^= 0xFF;
  EXPECT_FALSE(IsNtfsFileRecord(torn.data(), 1024));
  Bytes used = rec;
  PutU32(used, 0x18, 2000);
  EXPECT_FALSE(IsNtfsFileRecord(used.data(), 1024));
  Bytes sig = rec;
  sig[0] = 'B';
  EXPECT_FALSE(IsNtfsFileRecord(sig.data(), 1024));
}

TEST(NtfsRecordPosition, PlacesRecordsThroughRunsAndSyntheticRuns) {
  std::vector<__RUNLIST__> runs = {{8, 100}, {8, 200}};
  uint64_t s = 0;
  ASSERT_TRUE(GetRecordRelativeSector(runs, 31, 2, 8, s));
  EXPECT_EQ(862u, s);
  ASSERT_TRUE(GetRecordRelativeSector(runs, 32, 2, 8, s));
  EXPECT_EQ(2400u, s);
  EXPECT_FALSE(GetRecordRelativeSector(runs, 64, 2, 8, s));
  EXPECT_EQ(0u, s);

  std::vector<__RUNLIST__> synthetic = {{0, 5969}};
  ASSERT_TRUE(GetRecordRelativeSector(synthetic, 100, 2, 8, s));
  EXPECT_EQ(5969u * 8 + 200, s);

  // Damage: a negative first cluster or an overflowing length places nothing.
  std::vector<__RUNLIST__> negative = {{8, -5}};
  EXPECT_FALSE(GetRecordRelativeSector(negative, 1, 2, 8, s));
  std::vector<__RUNLIST__> huge = {{UINT64_MAX / 4, 10}};
  EXPECT_FALSE(GetRecordRelativeSector(huge, 1, 2, 8, s)) << "run length x cluster size overflows";
}

TEST(NtfsRunList, AppendedExtentsAreRebasedOntoTheRunsBefore) {
  std::vector<__RUNLIST__> runs = {{4, 100}, {4, 50}};  // first clusters 100, 150
  std::vector<__RUNLIST__> ext = {{3, 400}, {2, -10}};  // absolute 400, then 390
  AppendRunListExtent(runs, ext);
  ASSERT_EQ(4u, runs.size());
  int64_t c = 0;
  std::vector<int64_t> firsts;
  for (auto& r : runs) firsts.push_back(c += r.i64RunOffset);
  EXPECT_EQ((std::vector<int64_t>{100, 150, 400, 390}), firsts);
}

TEST(NtfsAttrIterator, HandsOutOnlyAttributesInsideTheRecord) {
  Bytes good = RecordBuilder(70, 1).FileName(5, "x.bin").ResidentData({1, 2, 3}).BuildFixed();
  {
    CNtfsAttrIterator it(good.data(), 1024);
    NTFS_ATTR a;
    int n = 0;
    while (it.Next(a)) ++n;
    EXPECT_EQ(2, n);
    EXPECT_FALSE(it.IsCorrupt());
  }
  // Each damage is caught before anything is read from it.
  auto corrupt = [&](const char* what, size_t off, uint32_t value, int width) {
    Bytes r = good;
    if (width == 2)
      PutU16(r, off, static_cast<uint16_t>(value));
    else
      PutU32(r, off, value);
    CNtfsAttrIterator it(r.data(), 1024);
    NTFS_ATTR a;
    while (it.Next(a)) {
    }
    EXPECT_TRUE(it.IsCorrupt()) << what;
  };
  corrupt("length past bytes in use", 0x38 + 4, 0x400, 4);
  corrupt("length wrapping around", 0x38 + 4, 0xFFFFFFF8u, 4);
  corrupt("length not 8-aligned", 0x38 + 4, 0x65, 4);
  corrupt("resident content outside the attribute", 0x38 + 0x10, 0x300, 4);
  corrupt("name outside the attribute", 0x38 + 0x08, 0xF000, 2);  // name length 0xF0
  corrupt("first attribute off the grid", 0x14, 0x3A, 2);
  corrupt("bytes in use past the record", 0x18, 5000, 4);

  NTFS_RECORD_INFO info;
  Bytes bad = good;
  PutU32(bad, 0x38 + 4, 0x400);
  EXPECT_EQ(87, ParseNtfsRecordInfo(bad.data(), 1024, info));
  EXPECT_EQ(-1, ParseNtfsRecordInfo(Bytes(1024, 0).data(), 1024, info));
}

TEST(NtfsRecordInfo, Win32NameWinsAndNamedStreamsDoNotReplaceData) {
  Bytes r = RecordBuilder(80, 0)
                .FileName(77, "LONGNA~1.TXT", 2, 11)
                .FileName(77, "long name file.txt", 1, 11)
                .ResidentData(Bytes(11, 'a'))
                .ResidentData(Bytes(300, 'z'), "Zone.Identifier")
                .BuildFixed();
  NTFS_RECORD_INFO info;
  ASSERT_EQ(0, ParseNtfsRecordInfo(r.data(), 1024, info));
  EXPECT_EQ("long name file.txt", info.strName);
  EXPECT_EQ(77u, info.nParentNO);
  EXPECT_EQ(80u, info.nRecordNO);
  EXPECT_TRUE(info.bHasData);
  EXPECT_TRUE(info.bDataResident);
  EXPECT_EQ(11u, info.u64DataSize);
  EXPECT_FALSE(info.IsInUse());
  // The named stream is kept apart, with its own size and a key of its name.
  ASSERT_EQ(1u, info.vecStreams.size());
  EXPECT_EQ("Zone.Identifier", info.vecStreams[0].strName);
  EXPECT_EQ(300u, info.vecStreams[0].u64Size);
  const char16_t zone[] = u"Zone.Identifier";
  Bytes name;
  for (size_t i = 0; i + 1 < sizeof(zone) / 2; ++i) name.insert(name.end(), {uint8_t(zone[i]), uint8_t(zone[i] >> 8)});
  EXPECT_EQ(NtfsStreamKey(name.data(), 15), info.vecStreams[0].u64Key);
  EXPECT_NE(0u, info.vecStreams[0].u64Key);

  // Stream first, then the file's own data: still the unnamed one.
  Bytes s = RecordBuilder(81, 1)
                .FileName(5, "s.txt")
                .ResidentData(Bytes(300, 'z'), "ads")
                .NonResidentData(EncodeRuns({{2, 500}}), 8192, 5000)
                .BuildFixed();
  ASSERT_EQ(0, ParseNtfsRecordInfo(s.data(), 1024, info));
  EXPECT_EQ(5000u, info.u64DataSize);
  EXPECT_FALSE(info.bDataResident);
  NTFS_ATTR a;
  ASSERT_TRUE(FindNtfsAttribute(s.data(), 1024, 0x80, a, nullptr, nullptr));
  EXPECT_EQ(0, a.nNameLength);
  EXPECT_TRUE(a.bNonResident);

  // A file name whose text runs out of its content is damage.
  Bytes n = RecordBuilder(82, 0).FileName(5, "abc").BuildFixed();
  n[0x38 + 0x18 + 0x40] = 200;
  EXPECT_EQ(87, ParseNtfsRecordInfo(n.data(), 1024, info));
}

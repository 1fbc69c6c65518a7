// The deep FAT engine on disks above 2 TiB: a lost FAT volume whose sectors
// lie beyond sector 2^32 of the range being scanned (a whole-disk scan of a
// big disk whose partition table is gone). The disk is a sparse file; only
// the sectors the test writes take space.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <map>

#include "engine/TextUtil.h"
#include "disk/FatEntry.h"
#include "fat/ProfessionalFatRecovery.h"
#include "tests/fat/FatBytes.h"
#include "tests/fat/FatTestUtil.h"
#include "tests/support/TestFiles.h"

using namespace fatbytes;

namespace {

// 2^32 sectors: the first sector number that no longer fits in 32 bits.
constexpr u64 kHigh = 1ull << 32;
// Geometry of the lost volume: 8 sectors per cluster, cluster 2 at kData.
constexpr u64 kData = kHigh + 1936;
constexpr u64 FirstSector(u32 c) { return kData + static_cast<u64>(c - 2) * 8; }

class DeepFatBeyond2TiB : public testing::Test {
 protected:
  void SetUp() override {
    fattest::UseFreshSupportDir("deep-2tib");
    dir_ = testimg::MakeTempDir("deep-2tib");
    path_ = dir_ + "/disk.img";
  }
  void TearDown() override { testimg::RemoveTree(dir_); }

  u8* Sector(u64 s) {
    auto& v = sectors_[s];
    if (v.empty()) v.assign(512, 0);
    return v.data();
  }
  // Writes the sectors into a sparse disk of 2^32 + 8192 sectors and opens it
  // from sector 0, as a whole-disk scan does.
  void Open() {
    int fd = open(path_.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(0, ftruncate(fd, static_cast<off_t>((kHigh + 8192) * 512)));
    for (auto& kv : sectors_)
      ASSERT_EQ(static_cast<ssize_t>(kv.second.size()),
                pwrite(fd, kv.second.data(), kv.second.size(), static_cast<off_t>(kv.first * 512)));
    close(fd);
    std::wstring wpath = Utf8ToWide(path_);
    ASSERT_EQ(0, engine_.Init(&wpath[0], L'C'));
    ASSERT_EQ(0, engine_.ClearProfessionalVec(nullptr));
    engine_.InitVirtualDbrInfo();
  }
  // Offers the written sectors in ascending order, as the deep pass does.
  void FeedAll() {
    for (auto& kv : sectors_) {
      const u8* s = kv.second.data();
      if (IsFatFileRecord(s, 512))
        engine_.ParseFatFileRecord(s, kv.first);
      else if (IsFatFDTRecord(s, 512))
        engine_.ParseFDTFileRecord(s, kv.first);
    }
    engine_.DealProfessionalRecordVec();
  }

  std::string dir_, path_;
  std::map<u64, std::vector<u8>> sectors_;
  CProfessionalFatRecovery engine_;
};

TEST_F(DeepFatBeyond2TiB, FolderStartsGiveTheGeometryAndTheFileData) {
  DotEntries(Sector(FirstSector(10)), 10, 0);
  ShortEntry(Sector(FirstSector(10)) + 64, "REPORT  TXT", FAT_ATTR_ARCHIVE, 300, 1500);
  DotEntries(Sector(FirstSector(18)), 18, 0);
  ShortEntry(Sector(FirstSector(18)) + 64, "OTHER   TXT", FAT_ATTR_ARCHIVE, 400, 5);
  // The file's three sectors at cluster 300, each filled with its own byte.
  for (int i = 0; i < 3; ++i) memset(Sector(FirstSector(300) + i), 'a' + i, 512);
  Open();
  FeedAll();

  bool found = false;
  for (const auto& r : engine_.GetVirtualDbrVec())
    if (r.nSectorPerCluster == 8 && r.u64VolumeStartSector + r.nDataStartSector == kData) found = true;
  EXPECT_TRUE(found) << "no geometry for a volume beyond sector 2^32 (" << engine_.GetVirtualDbrVec().size()
                     << " records)";

  auto all = fattest::SearchAllFiles(engine_);
  auto it = all.find("/LostFolder10/report.txt");
  ASSERT_NE(all.end(), it) << "names found: " << all.size();
  EXPECT_NE(all.end(), all.find("/LostFolder18/other.txt"));
  const _FILE_NODE_& node = it->second.node;
  EXPECT_EQ(FirstSector(10), node.u64RecordSector);
  EXPECT_EQ(FirstSector(300), node.u64VolumeStartSector + node.u64DataStartSector + (300 - 2) * 8);

  int status = -1;
  std::string saved = fattest::SaveNode(engine_, node, dir_, &status);
  ASSERT_EQ(0, status);
  std::vector<unsigned char> bytes = testfiles::ReadAll(saved);
  std::string data(bytes.begin(), bytes.end());
  ASSERT_EQ(1500u, data.size());
  EXPECT_EQ(std::string(512, 'a'), data.substr(0, 512));
  EXPECT_EQ(std::string(512, 'b'), data.substr(512, 512));
  EXPECT_EQ(std::string(476, 'c'), data.substr(1024));
}

TEST_F(DeepFatBeyond2TiB, LongNameCutAcrossTwoKeptSectors) {
  // Cluster 5 is a folder's second cluster (no "." entry). Its first two
  // sectors arrive before any folder start gives the geometry, so both are
  // kept and joined after the pass; the long name runs from one into the
  // other.
  const std::string longName = "Minutes of the annual meeting.txt";  // three long-name entries
  std::vector<u8> lfn = LongNameEntries(longName, "MINUTE~1TXT");
  ASSERT_EQ(96u, lfn.size());
  u8* first = Sector(FirstSector(5));
  for (int i = 0; i < 14; ++i) {
    char n[12];
    snprintf(n, sizeof(n), "FILE%02d  TXT", i);
    ShortEntry(first + i * 32, n, FAT_ATTR_ARCHIVE, 100 + i, 10);
  }
  memcpy(first + 14 * 32, lfn.data(), 64);
  u8* second = Sector(FirstSector(5) + 1);
  memcpy(second, lfn.data() + 64, 32);
  ShortEntry(second + 32, "MINUTE~1TXT", FAT_ATTR_ARCHIVE, 500, 77);
  DotEntries(Sector(FirstSector(10)), 10, 0);
  DotEntries(Sector(FirstSector(18)), 18, 0);
  Open();
  FeedAll();

  auto all = fattest::SearchAllFiles(engine_);
  bool longFound = false, shortFound = false;
  for (const auto& kv : all) {
    std::string name = kv.second.node.szFileName;
    if (name == longName) {
      longFound = true;
      EXPECT_EQ(77u, kv.second.node.u64FileSize);
      EXPECT_EQ(500u, kv.second.node.nClusterNO);
    }
    if (name == "minute~1.txt" || name == "MINUTE~1.TXT") shortFound = true;
  }
  EXPECT_TRUE(longFound) << "the long name was lost (" << all.size() << " files found)";
  EXPECT_FALSE(shortFound);
  EXPECT_NE(all.end(), all.find("/LostFolder5/file00.txt"));
}

}  // namespace

// JPEGs stored in pieces: the deep scan reassembles two-piece pictures byte
// for byte and keeps a picture found in the gap whole; a three-piece one
// comes back as far as two pieces reach; a join of two pictures is never
// called verified.
#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "support/DeepScan.h"
#include "support/TestImages.h"

namespace {

std::map<u64, _FILE_NODE_> CarvedByFirstSector(IFileRecoveryParse& engine) {
  std::map<u64, _FILE_NODE_> out;
  for (auto& hit : testscan::AllResults(engine))
    if (hit.nEngineType == ENGINE_FILE_TYPE) out[hit.u64RecordSector] = hit;
  return out;
}

struct BifragScan : ::testing::Test {
  static void SetUpTestSuite() {
    scan = testscan::RunDeepScan(testimg::ImagePath("bifrag.img")).release();
    ASSERT_EQ(0, scan->status);
    carved = new std::map<u64, _FILE_NODE_>(CarvedByFirstSector(*scan->engine));
  }
  static void TearDownTestSuite() {
    delete carved;
    delete scan;
  }
  static testscan::DeepScan* scan;
  static std::map<u64, _FILE_NODE_>* carved;
};
testscan::DeepScan* BifragScan::scan = nullptr;
std::map<u64, _FILE_NODE_>* BifragScan::carved = nullptr;

}  // namespace

TEST_F(BifragScan, SplitJpegsComeBackWholeAndVerifiedWithTheGapPictureKept) {
  const testimg::Manifest m = testimg::LoadManifest("bifrag.img");
  const std::string img = testimg::ImagePath("bifrag.img");
  int split = 0, verified = 0, kept = 0;
  for (const auto& f : m.files) {
    SCOPED_TRACE(f.name);
    std::istringstream note(f.note);
    std::string word;
    u64 firstSectors = 0, second = 0;
    note >> word >> firstSectors >> second;
    if (word == "three") continue;
    auto it = carved->find(u64(f.firstSector));
    ASSERT_NE(it, carved->end()) << "not found";
    const _FILE_NODE_& node = it->second;
    u64 size = 0;
    EXPECT_EQ(f.sha256, testscan::ContentSha256(*scan->engine, node, &size));
    EXPECT_EQ(u64(f.size), size);
    if (word != "split") {
      EXPECT_EQ(INTEGRITY_VERIFIED, node.nIntegrity);
      EXPECT_FALSE(node.nResultFlags & RESULT_FLAG_TWO_PIECES);
      kept += f.note == "in-gap";
      continue;
    }
    ++split;
    // The manifest's pieces make the picture (read here without the engine).
    auto head = testimg::ReadAt(img, u64(f.firstSector) * 512, firstSectors * 512);
    auto tail = testimg::ReadAt(img, second * 512, u64(f.size) - firstSectors * 512);
    head.insert(head.end(), tail.begin(), tail.end());
    ASSERT_EQ(f.sha256, testimg::Sha256Bytes(head.data(), head.size()));
    SECTOR_RUN runs[2];
    ASSERT_EQ(2, CarvedPieces(node, runs));
    EXPECT_EQ(firstSectors * 512, runs[0].u64Bytes);
    EXPECT_EQ(second, runs[1].u64FirstSector);
    // A second piece of one sector may hold too few blocks to show a seam:
    // such a join may be kept unverified.
    if (u64(f.size) - firstSectors * 512 > 512) EXPECT_EQ(INTEGRITY_VERIFIED, node.nIntegrity);
    else EXPECT_TRUE(node.nIntegrity == INTEGRITY_VERIFIED || node.nIntegrity == INTEGRITY_UNVERIFIED);
    verified += node.nIntegrity == INTEGRITY_VERIFIED;
  }
  EXPECT_GE(split, 12);
  EXPECT_GE(kept, 3);
  std::printf("split JPEGs reassembled byte-identical: %d of %d, verified: %d\n", split, split, verified);
}

// The search joins two pieces: a picture in three comes back as its first
// two pieces and whatever the second runs on into, said to be partial.
TEST_F(BifragScan, ThreePieceJpegComesBackAsFarAsTwoPiecesReachAndPartial) {
  const testimg::Manifest m = testimg::LoadManifest("bifrag.img");
  const std::string img = testimg::ImagePath("bifrag.img");
  int three = 0;
  for (const auto& f : m.files) {
    std::istringstream note(f.note);
    std::string word;
    u64 firstSectors = 0, second = 0, secondSectors = 0;
    note >> word >> firstSectors >> second >> secondSectors;
    if (word != "three") continue;
    ++three;
    auto it = carved->find(u64(f.firstSector));
    ASSERT_NE(it, carved->end());
    const _FILE_NODE_& node = it->second;
    EXPECT_EQ(INTEGRITY_PARTIAL, node.nIntegrity);
    SECTOR_RUN runs[2];
    ASSERT_EQ(2, CarvedPieces(node, runs));
    EXPECT_EQ(firstSectors * 512, runs[0].u64Bytes);
    EXPECT_EQ(second, runs[1].u64FirstSector);
    EXPECT_LE(secondSectors * 512, runs[1].u64Bytes);
    auto want = testimg::ReadAt(img, u64(f.firstSector) * 512, firstSectors * 512);
    auto piece2 = testimg::ReadAt(img, second * 512, secondSectors * 512);
    want.insert(want.end(), piece2.begin(), piece2.end());
    auto got = testscan::ContentBytes(*scan->engine, node);
    ASSERT_GE(got.size(), want.size());
    got.resize(want.size());
    EXPECT_TRUE(got == want) << "the first two pieces, byte for byte";
  }
  EXPECT_EQ(1, three);
}

// Joins of the head of one picture and the tail of another (pictures of the
// same size, quality, sampling and restart interval among them): the search
// may keep some, never as verified.
TEST(BifragmentCarving, NoSpliceOfTwoPicturesIsVerified) {
  const testimg::Manifest m = testimg::LoadManifest("splices.img");
  auto scan = testscan::RunDeepScan(testimg::ImagePath("splices.img"));
  ASSERT_EQ(0, scan->status);
  const auto carved = CarvedByFirstSector(*scan->engine);
  int splices = 0, joined = 0, falseVerified = 0;
  for (const auto& f : m.files) {
    ASSERT_EQ("splice", f.note);
    ++splices;
    auto it = carved.find(u64(f.firstSector));
    ASSERT_NE(it, carved.end()) << f.name;
    joined += (it->second.nResultFlags & RESULT_FLAG_TWO_PIECES) != 0;
    if (it->second.nIntegrity == INTEGRITY_VERIFIED) ++falseVerified;
  }
  EXPECT_EQ(100, splices);
  EXPECT_EQ(0, falseVerified);
  std::printf("random splices: %d, kept in two pieces (not verified): %d, verified: %d\n", splices, joined,
              falseVerified);
}

// Files stored in pieces: the deep scan reassembles two-piece JPEGs, PNGs
// and ZIP archives byte for byte and keeps a file found in the gap whole; a
// three-piece picture comes back as far as two pieces reach; a join of two
// files is never called verified.
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

namespace {

// Each split file of the image comes back byte-identical from the pieces
// its manifest names (read here without the engine); the files whole on the
// image (in a gap or as controls) come back whole and verified.
struct SplitCount {
  int split = 0, identical = 0, verified = 0, kept = 0;
};
SplitCount CheckSplits(const std::string& image, const std::map<u64, _FILE_NODE_>& carved, IFileRecoveryParse& engine) {
  const testimg::Manifest m = testimg::LoadManifest(image);
  const std::string img = testimg::ImagePath(image);
  SplitCount n;
  for (const auto& f : m.files) {
    SCOPED_TRACE(f.name);
    std::istringstream note(f.note);
    std::string word;
    u64 firstSectors = 0, second = 0;
    note >> word >> firstSectors >> second;
    if (word == "three") continue;
    auto it = carved.find(u64(f.firstSector));
    if (it == carved.end()) {
      ADD_FAILURE() << "not found";
      continue;
    }
    const _FILE_NODE_& node = it->second;
    u64 size = 0;
    const bool same = f.sha256 == testscan::ContentSha256(engine, node, &size) && u64(f.size) == size;
    EXPECT_TRUE(same);
    if (word != "split") {
      EXPECT_EQ(INTEGRITY_VERIFIED, node.nIntegrity);
      EXPECT_FALSE(node.nResultFlags & RESULT_FLAG_TWO_PIECES);
      n.kept += f.note == "in-gap";
      continue;
    }
    ++n.split;
    n.identical += same;
    auto head = testimg::ReadAt(img, u64(f.firstSector) * 512, firstSectors * 512);
    auto tail = testimg::ReadAt(img, second * 512, u64(f.size) - firstSectors * 512);
    head.insert(head.end(), tail.begin(), tail.end());
    EXPECT_EQ(f.sha256, testimg::Sha256Bytes(head.data(), head.size()));
    SECTOR_RUN runs[2];
    if (CarvedPieces(node, runs) != 2) {
      ADD_FAILURE() << "not in two pieces";
      continue;
    }
    EXPECT_EQ(firstSectors * 512, runs[0].u64Bytes);
    EXPECT_EQ(second, runs[1].u64FirstSector);
    // A JPEG's second piece of one sector may hold too few blocks to show
    // a seam: such a join may be kept unverified.
    if (u64(f.size) - firstSectors * 512 > 512 || f.type != "jpg") EXPECT_EQ(INTEGRITY_VERIFIED, node.nIntegrity);
    else EXPECT_TRUE(node.nIntegrity == INTEGRITY_VERIFIED || node.nIntegrity == INTEGRITY_UNVERIFIED);
    n.verified += node.nIntegrity == INTEGRITY_VERIFIED;
  }
  return n;
}

}  // namespace

TEST_F(BifragScan, SplitJpegsComeBackWholeAndVerifiedWithTheGapPictureKept) {
  const SplitCount n = CheckSplits("bifrag.img", *carved, *scan->engine);
  EXPECT_GE(n.split, 12);
  EXPECT_GE(n.kept, 3);
  std::printf("split JPEGs reassembled byte-identical: %d of %d, verified: %d\n", n.identical, n.split, n.verified);
}

// PNGs and ZIP archives (a DOCX among them) split at sector and cluster
// boundaries, with noise, zeros or a whole file of their kind in the gap.
TEST(BifragmentCarving, SplitPngsAndZipsComeBackWholeAndVerified) {
  auto scan = testscan::RunDeepScan(testimg::ImagePath("pieces.img"));
  ASSERT_EQ(0, scan->status);
  const SplitCount n = CheckSplits("pieces.img", CarvedByFirstSector(*scan->engine), *scan->engine);
  EXPECT_EQ(12, n.split);
  EXPECT_GE(n.kept, 3);
  std::printf("split PNGs/ZIPs reassembled byte-identical: %d of %d, verified: %d\n", n.identical, n.split, n.verified);
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
// same size, quality, sampling and restart interval among them), and of two
// PNGs or two archives of the same kind: the search may keep some, never as
// verified.
TEST(BifragmentCarving, NoSpliceOfTwoPicturesIsVerified) {
  const testimg::Manifest m = testimg::LoadManifest("splices.img");
  auto scan = testscan::RunDeepScan(testimg::ImagePath("splices.img"));
  ASSERT_EQ(0, scan->status);
  const auto carved = CarvedByFirstSector(*scan->engine);
  int splices = 0, joined = 0, falseVerified = 0;
  for (const auto& f : m.files) {
    ASSERT_EQ("splice", f.note);
    ++splices;
    SCOPED_TRACE(f.name);
    auto it = carved.find(u64(f.firstSector));
    ASSERT_NE(it, carved.end()) << f.name;
    joined += (it->second.nResultFlags & RESULT_FLAG_TWO_PIECES) != 0;
    if (it->second.nIntegrity == INTEGRITY_VERIFIED) ++falseVerified;
  }
  EXPECT_EQ(140, splices);  // 100 JPEG, 20 PNG, 20 ZIP
  EXPECT_EQ(0, falseVerified);
  std::printf("random splices: %d, kept in two pieces (not verified): %d, verified: %d\n", splices, joined,
              falseVerified);
}

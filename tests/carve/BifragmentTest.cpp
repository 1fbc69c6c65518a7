// JPEGs stored in two pieces: the deep scan reassembles them byte for byte
// and keeps a picture found in the gap whole; splices of two pictures are
// never called verified.
#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "support/DeepScan.h"
#include "support/TestImages.h"

namespace {

// The search is off by default.
struct TwoPieceOn {
  TwoPieceOn() { setenv("TORVANE_TWO_PIECE_JPEG", "1", 1); }
  ~TwoPieceOn() { unsetenv("TORVANE_TWO_PIECE_JPEG"); }
};

std::map<u64, _FILE_NODE_> CarvedByFirstSector(IFileRecoveryParse& engine) {
  std::map<u64, _FILE_NODE_> out;
  for (auto& hit : testscan::AllResults(engine))
    if (hit.nEngineType == ENGINE_FILE_TYPE) out[hit.u64RecordSector] = hit;
  return out;
}

}  // namespace

// Disabled with the search (8 of 9 come back; split248.jpg, a gap of noise
// after a 2 KiB-cluster cut, is not found).
TEST(BifragmentCarving, DISABLED_SplitJpegsComeBackWholeAndVerifiedWithTheGapPictureKept) {
  const testimg::Manifest m = testimg::LoadManifest("bifrag.img");
  const std::string img = testimg::ImagePath("bifrag.img");
  TwoPieceOn on;
  auto scan = testscan::RunDeepScan(img);
  ASSERT_EQ(0, scan->status);
  const auto carved = CarvedByFirstSector(*scan->engine);
  int split = 0, back = 0, kept = 0;
  for (const auto& f : m.files) {
    SCOPED_TRACE(f.name);
    std::istringstream note(f.note);
    std::string word;
    u64 firstSectors = 0, second = 0;
    note >> word >> firstSectors >> second;
    if (word == "split") {
      ++split;
      ASSERT_LT(firstSectors * 512, u64(f.size)) << "a split needs a second piece";
      // The manifest's pieces make the picture (read here without the engine).
      auto head = testimg::ReadAt(img, u64(f.firstSector) * 512, firstSectors * 512);
      auto tail = testimg::ReadAt(img, second * 512, u64(f.size) - firstSectors * 512);
      head.insert(head.end(), tail.begin(), tail.end());
      ASSERT_EQ(f.sha256, testimg::Sha256Bytes(head.data(), head.size()));
    }
    auto it = carved.find(u64(f.firstSector));
    ASSERT_NE(it, carved.end()) << "not found";
    const _FILE_NODE_& node = it->second;
    u64 size = 0;
    const std::string sha = testscan::ContentSha256(*scan->engine, node, &size);
    EXPECT_EQ(f.sha256, sha);
    EXPECT_EQ(u64(f.size), size);
    EXPECT_EQ(INTEGRITY_VERIFIED, node.nIntegrity);
    if (word == "split") {
      EXPECT_TRUE(node.nResultFlags & RESULT_FLAG_TWO_PIECES);
      EXPECT_EQ(firstSectors, node.nClusterNO);
      EXPECT_EQ(second, node.u64DataStartSector);
      back += sha == f.sha256 && node.nIntegrity == INTEGRITY_VERIFIED;
    } else {
      EXPECT_FALSE(node.nResultFlags & RESULT_FLAG_TWO_PIECES);
      kept += f.note == "in-gap";
    }
  }
  EXPECT_GE(split, 9);
  EXPECT_EQ(2, kept);
  std::printf("split JPEGs reassembled byte-identical and verified: %d of %d\n", back, split);
}

// Disabled: same-size pictures of the same quality share tables, and a
// splice of two of them decodes cleanly (2 of 24 here); comparing the rows
// either side of the seam did not tell these textured pictures apart.
TEST(BifragmentCarving, DISABLED_NoSpliceOfTwoPicturesIsVerified) {
  const testimg::Manifest m = testimg::LoadManifest("splices.img");
  TwoPieceOn on;
  auto scan = testscan::RunDeepScan(testimg::ImagePath("splices.img"));
  ASSERT_EQ(0, scan->status);
  const auto carved = CarvedByFirstSector(*scan->engine);
  int splices = 0, falseVerified = 0;
  for (const auto& f : m.files) {
    ASSERT_EQ("splice", f.note);
    ++splices;
    auto it = carved.find(u64(f.firstSector));
    if (it != carved.end() && it->second.nIntegrity == INTEGRITY_VERIFIED) ++falseVerified;
  }
  EXPECT_GE(splices, 20);
  EXPECT_EQ(0, falseVerified);
  std::printf("random splices: %d, verified: %d\n", splices, falseVerified);
}

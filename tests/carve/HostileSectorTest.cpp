// Every detector and size rule on hostile sectors: the noise of carve.img,
// random sectors, and real headers with random bytes changed. Run under the
// sanitizers this is where an out-of-bounds read would show.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "CarveTestUtil.h"
#include "TestImages.h"
#include "carve/FileTypeJudge.h"
#include "engine/FaultGuard.h"

namespace {

typedef CFileTypeJudge J;

// A format answers only the types of its own rows (or "none").
bool AllowedAnswer(int row, int answer) {
  if (answer == TYPE_NONE) return true;
  const CARVE_FORMAT* f = J::szExtendNameAndType[row].pFormat;
  for (int k = 0; k < J::EXTEND_NAME_ROW_COUNT - 1; ++k)
    if (J::szExtendNameAndType[k].pFormat == f && static_cast<int>(J::szExtendNameAndType[k].nType) == answer)
      return true;
  return false;
}

// Offers one sector (at u64Sector of reader's range) to every detector and
// every size rule; counts what was detected.
struct Offer {
  int detected = 0;
  u64 rules = 0;

  void Sector(unsigned char* s, CDiskReader* reader, u64 u64Sector) {
    std::set<J::SIZE_RULE> seenRules;
    for (int row = 0; row < J::EXTEND_NAME_ROW_COUNT - 1; ++row) {
      const CARVE_FORMAT& f = *J::szExtendNameAndType[row].pFormat;
      carvetest::TestContext detect(reader, u64Sector, row % 2);
      int answer = f.pDetector(detect, s, 512);
      ASSERT_TRUE(AllowedAnswer(row, answer)) << "row " << row << " answered " << answer;
      if (answer != TYPE_NONE) ++detected;
      if (!f.pSizeRule || !seenRules.insert(f.pSizeRule).second) continue;
      carvetest::TestContext measure(reader, u64Sector, row % 2);
      u64 size = f.pSizeRule(measure, s, 512);
      // No rule claims more than its format's maximum plus the start sector.
      ASSERT_LE(size, f.u64MaxSize + 512) << "row " << row;
      ++rules;
    }
    carvetest::TestContext ctx(reader, u64Sector);
    J::DetectFileType(ctx, s, 512);
    J::IsFileSystemSector(s, 512);
    u64 skip = J::GetSkipSectors(J::DetectFileType(ctx, s, 512), 0, 512);
    ASSERT_GE(skip, 1u);
  }
};

TEST(HostileSectors, NoiseOfTheCarvingImage) {
  std::string image = testimg::ImagePath("carve.img");
  if (access(image.c_str(), R_OK) != 0) GTEST_SKIP() << "carve.img not built";
  testimg::Manifest m = testimg::LoadManifest("carve.img");
  std::vector<unsigned char> all = testimg::ReadAt(image, 0, 64u << 20);
  const u64 sectors = all.size() / 512;
  std::vector<bool> inFile(sectors, false);
  for (const testimg::ManifestFile& f : m.files)
    for (u64 s = f.firstSector; s < static_cast<u64>(f.firstSector) + (f.size + 511) / 512 && s < sectors; ++s)
      inFile[s] = true;
  Offer offer;
  u64 noise = 0;
  CDiskReader reader;
  for (u64 s = 0; s < sectors; ++s) {
    if (inFile[s]) continue;
    unsigned char* p = all.data() + s * 512;
    bool zero = true;
    for (int i = 0; i < 512 && zero; ++i) zero = p[i] == 0;
    if (zero) continue;
    ++noise;
    // Read-ahead sees a short stretch of what follows, as near a range's end.
    u64 limit = s + 24 < sectors ? s + 24 : sectors;
    ASSERT_EQ(0, reader.Init(image.c_str(), limit));
    offer.Sector(p, &reader, s);
    if (HasFatalFailure()) return;
  }
  std::printf("noise sectors offered: %llu, size rules run: %llu\n", static_cast<unsigned long long>(noise),
              static_cast<unsigned long long>(offer.rules));
  EXPECT_GT(noise, 100u) << "the image should hold noise between its files";
  EXPECT_EQ(0u, FaultGuardCatchCount());
}

TEST(HostileSectors, RandomAndMutatedSectors) {
  // An image of random sectors; then real first sectors with bytes changed.
  const u64 sectors = 3000 + 32;
  carvetest::TempImage img("carve-hostile", sectors);
  std::mt19937 rng(20201231);
  for (auto& b : img.bytes) b = static_cast<unsigned char>(rng());
  // Random sectors with a real signature start, so the parsing behind it runs.
  std::vector<std::vector<unsigned char>> heads;
  std::string image = testimg::ImagePath("carve.img");
  if (access(image.c_str(), R_OK) == 0) {
    testimg::Manifest m = testimg::LoadManifest("carve.img");
    for (const testimg::ManifestFile& f : m.files)
      heads.push_back(testimg::ReadAt(image, static_cast<u64>(f.firstSector) * 512, 512));
  }
  for (u64 s = 0; s < 3000 && !heads.empty(); s += 3) {
    const std::vector<unsigned char>& h = heads[rng() % heads.size()];
    std::memcpy(img.At(s), h.data(), h.size());
    int changes = 1 + rng() % 12;
    for (int k = 0; k < changes; ++k) img.At(s)[rng() % 512] = static_cast<unsigned char>(rng());
    // Often one of the length fields near the start: counts, offsets, shifts.
    img.At(s)[4 + rng() % 76] = static_cast<unsigned char>(rng());
  }
  img.Write();
  Offer offer;
  CDiskReader reader;
  for (u64 s = 0; s < 3000; ++s) {
    ASSERT_EQ(0, reader.Init(img.path.c_str(), s + 1 + rng() % 30));
    offer.Sector(img.At(s), &reader, s);
    if (HasFatalFailure()) return;
  }
  std::printf("random sectors: 3000, detected %d times, size rules run: %llu\n", offer.detected,
              static_cast<unsigned long long>(offer.rules));
  EXPECT_GT(offer.detected, 300) << "the mutated headers should still be recognised often";
  EXPECT_EQ(0u, FaultGuardCatchCount());
}

TEST(HostileSectors, ShortAndOddBuffersReachEveryRule) {
  // Buffers shorter than a sector and sector sizes the judge does not use.
  std::vector<unsigned char> s(512);
  std::mt19937 rng(7);
  for (int len : {0, 1, 7, 15, 31, 47, 100, 187, 188, 300, 511}) {
    for (auto& b : s) b = static_cast<unsigned char>(rng());
    std::vector<unsigned char> cut(s.begin(), s.begin() + len);
    for (int row = 0; row < J::EXTEND_NAME_ROW_COUNT - 1; ++row) {
      const CARVE_FORMAT& f = *J::szExtendNameAndType[row].pFormat;
      carvetest::TestContext ctx(nullptr, 0);
      EXPECT_TRUE(AllowedAnswer(row, f.pDetector(ctx, cut.empty() ? nullptr : cut.data(), len)));
      if (f.pSizeRule) f.pSizeRule(ctx, cut.empty() ? nullptr : cut.data(), len);
    }
  }
  // A sector size that is no use: nothing read, nothing carved.
  u64 size = 99;
  EXTEND_NAME_TYPE type = TYPE_JPG;
  char name[256];
  EXPECT_EQ(STATUS_INVALID_PARAMETER,
            J::ParseFileBuf(s.data(), 512, 0, 0, 1, -1, nullptr, 100, 0, name, sizeof(name), type, size));
  EXPECT_EQ(TYPE_NONE, type);
  EXPECT_EQ(0u, size);
}

}  // namespace

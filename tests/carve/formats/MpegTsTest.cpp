// Transport streams (.ts) and camcorder streams (.mts).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "carve/CarveTestUtil.h"
#include "carve/FileTypeJudge.h"
#include "carve/formats/Formats.h"

namespace {

typedef CFileTypeJudge J;
using carvetest::CarveRules;
using carvetest::Fill;
using carvetest::Sector;

TEST(Detectors, MtsPacketsWithATimestampContinueTheFileBefore) {
  carvetest::TestContext ctx(nullptr);
  std::vector<unsigned char> s = Sector({0x00, 0x00, 0x00, 0x00, 0, 0, 0, 0x42, 0x00, 0x00, 0xB0, 0x11, 0x00, 0x00,
                                         0xC1, 0x00});
  EXPECT_EQ(TYPE_MTS, carvefmt::IsMtsType(ctx, s.data(), 512));
  EXPECT_EQ(0x42, ctx.uMtsPreIndex);
  s[2] = 0x17;  // a timestamp
  EXPECT_EQ(TYPE_MTS, carvefmt::IsMtsType(ctx, s.data(), 512));
  ctx.bMtsFileHead = 1;
  EXPECT_EQ(TYPE_NONE, carvefmt::IsMtsType(ctx, s.data(), 512));
  s[2] = 0;
  EXPECT_EQ(TYPE_MTS, carvefmt::IsMtsType(ctx, s.data(), 512));
}

TEST_F(CarveRules, TransportStreamIsCutWhereItsPacketChainBreaks) {
  const u64 sectors = 752000 / 512 + 64;
  carvetest::TempImage img("carve-ts", sectors);
  const size_t start = 512;  // sector 1; sector 0 stays zero
  for (size_t off = 0; off < 752000; off += 188) {
    img.bytes[start + off] = 0x47;
    img.bytes[start + off + 1] = 0x41;
    Fill(img.bytes, start + off + 2, start + off + 188, 0x20);
  }
  Fill(img.bytes, start + 752000, img.bytes.size(), 0x21);
  Open(img);
  J::Pass().bCheckTsRanges = 1;
  u64 skip = 0, files = 0;
  ASSERT_EQ(0, Parse(img, 1, skip, files));
  FILE_NODE_VECTOR nodes = Nodes();
  ASSERT_EQ(1u, nodes.size());
  EXPECT_STREQ("1.ts", nodes[0].szFileName);
  EXPECT_EQ(752000u, nodes[0].u64FileSize);
  EXPECT_EQ((752000u + 511) / 512, skip);
  ASSERT_EQ(1u, J::Pass().tsRanges.size());
  EXPECT_EQ(1u, J::Pass().tsRanges[0].u64StartSector);
  EXPECT_EQ(1u + (752000 + 511) / 512 - 1, J::Pass().tsRanges[0].u64EndSector);
  // The flag stays on after a stream, so the next candidate is range-checked.
  EXPECT_EQ(1, J::Pass().bCheckTsRanges);
}

}  // namespace

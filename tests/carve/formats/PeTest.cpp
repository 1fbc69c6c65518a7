// Program images: typed by their characteristics, measured by their section table.
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

std::vector<unsigned char> PeSector(u32 headerOffset, u16 characteristics) {
  std::vector<unsigned char> s(512, 0);
  s[0] = 'M';
  s[1] = 'Z';
  for (int i = 0; i < 4; ++i) s[60 + i] = static_cast<unsigned char>(headerOffset >> (8 * i));
  if (static_cast<u64>(headerOffset) + 24 <= 512) {
    std::memcpy(&s[headerOffset], "PE\0\0", 4);
    s[headerOffset + 22] = static_cast<unsigned char>(characteristics);
    s[headerOffset + 23] = static_cast<unsigned char>(characteristics >> 8);
  }
  return s;
}

TEST(Detectors, ProgramImagesAreTypedByTheirCharacteristics) {
  carvetest::TestContext ctx(nullptr);
  EXPECT_EQ(TYPE_EXE, carvefmt::IsPeType(ctx, PeSector(0x80, 0x0102).data(), 512));
  EXPECT_EQ(TYPE_DLL, carvefmt::IsPeType(ctx, PeSector(0x80, 0x2102).data(), 512));
  EXPECT_EQ(TYPE_SYS, carvefmt::IsPeType(ctx, PeSector(0x80, 0x1102).data(), 512));
  EXPECT_EQ(TYPE_SYS, carvefmt::IsPeType(ctx, PeSector(488, 0x3002).data(), 512));
  EXPECT_EQ(TYPE_NONE, carvefmt::IsPeType(ctx, PeSector(0x80, 0x2100).data(), 512)) << "not an executable image";
  std::vector<unsigned char> far = PeSector(489, 0x0002);
  EXPECT_EQ(TYPE_NONE, carvefmt::IsPeType(ctx, far.data(), 512));
  std::vector<unsigned char> huge = PeSector(0xFFFFFFF0u, 0x0002);
  EXPECT_EQ(TYPE_NONE, carvefmt::IsPeType(ctx, huge.data(), 512));
  EXPECT_EQ(TYPE_NONE, carvefmt::IsPeType(ctx, PeSector(0x80, 0x0102).data(), 511));
  int row = -1;
  EXPECT_EQ(TYPE_DLL, J::DetectFileType(ctx, PeSector(0x80, 0x2102).data(), 512, &row));
  // No section table: nothing to measure, so nothing is carved.
  EXPECT_EQ(0u, J::szExtendNameAndType[row].pFormat->pSizeRule(ctx, PeSector(0x80, 0x2102).data(), 512));
  std::string dll = "dll", exe = "exe";
  EXPECT_EQ(1, J::IsFileTypeMatching(PeSector(0x80, 0x2102).data(), 512, &dll[0], nullptr, 512, 0));
  EXPECT_EQ(0, J::IsFileTypeMatching(PeSector(0x80, 0x2102).data(), 512, &exe[0], nullptr, 512, 0));
}

}  // namespace

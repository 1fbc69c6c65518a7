// Icons: a directory whose images lie back to back; the length from its last entry.
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

std::vector<unsigned char> IconDirectory(u32 secondOffsetDelta) {
  std::vector<unsigned char> s(512, 0);
  s[2] = 1;
  s[4] = 2;  // two images
  auto put32 = [&](size_t off, u32 v) {
    for (int i = 0; i < 4; ++i) s[off + i] = static_cast<unsigned char>(v >> (8 * i));
  };
  put32(6 + 8, 1000);                          // image 1 size
  put32(6 + 12, 38);                           // right after the directory
  put32(22 + 8, 2000);                         // image 2 size
  put32(22 + 12, 38 + 1000 + secondOffsetDelta);
  return s;
}

TEST(Detectors, IconImagesMustLieBackToBack) {
  carvetest::TestContext ctx(nullptr);
  EXPECT_EQ(TYPE_ICO, carvefmt::IsIcoType(ctx, IconDirectory(0).data(), 512));
  EXPECT_EQ(TYPE_NONE, carvefmt::IsIcoType(ctx, IconDirectory(4).data(), 512));
  std::vector<unsigned char> s = IconDirectory(0);
  s[6 + 3] = 1;  // reserved byte
  EXPECT_EQ(TYPE_NONE, carvefmt::IsIcoType(ctx, s.data(), 512));
  s = IconDirectory(0);
  s[4] = 0;
  EXPECT_EQ(TYPE_NONE, carvefmt::IsIcoType(ctx, s.data(), 512)) << "no images";
  s = IconDirectory(0);
  s[4] = 0xFF;
  s[5] = 0xFF;  // a directory far longer than the buffer
  EXPECT_EQ(TYPE_NONE, carvefmt::IsIcoType(ctx, s.data(), 512));
  // The size rule: the last image's offset plus its size.
  EXPECT_EQ(38u + 1000 + 2000, carvefmt::GetICOFileBytesSize(ctx, IconDirectory(0).data(), 512));
}

}  // namespace

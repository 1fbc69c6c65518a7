// Standard MIDI files: the length from the track chunks.
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

TEST_F(CarveRules, MidiLengthFollowsItsTracks) {
  // Two tracks, the second running over a sector boundary; noise after.
  carvetest::TempImage img("carve-mid", 40);
  std::vector<unsigned char> mid;
  auto put = [&](const char* s, size_t n) { mid.insert(mid.end(), s, s + n); };
  auto be32 = [&](u32 v) {
    for (int i = 3; i >= 0; --i) mid.push_back(static_cast<unsigned char>(v >> (8 * i)));
  };
  put("MThd", 4);
  be32(6);
  const unsigned char hdr[6] = {0, 1, 0, 2, 0, 96};
  mid.insert(mid.end(), hdr, hdr + 6);
  put("MTrk", 4);
  be32(486);  // the next header, at 508, straddles sectors 0 and 1
  mid.insert(mid.end(), 486, 0x40);
  put("MTrk", 4);
  be32(2500);
  mid.insert(mid.end(), 2500, 0x41);
  img.Put(2, mid);
  Fill(img.bytes, 2 * 512 + mid.size(), img.bytes.size(), 0x42);
  Open(img);
  carvetest::TestContext ctx8(&reader, 2);
  EXPECT_EQ(mid.size(), carvefmt::GetMIDFileBytesSize(ctx8, img.At(2), 512));

  // A track header that is not where the lengths say: no declared end.
  img.bytes[2 * 512 + 508] = 'X';
  img.Write();
  carvetest::TestContext ctx9(&reader, 2);
  EXPECT_EQ(38u * 512, carvefmt::GetMIDFileBytesSize(ctx9, img.At(2), 512)) << "runs to the range's end";
}

}  // namespace

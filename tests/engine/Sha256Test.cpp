#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/Sha256.h"

namespace {

std::string Digest(const std::string& s, size_t piece) {
  CSha256 h;
  const uint8_t* p = reinterpret_cast<const uint8_t*>(s.data());
  for (size_t at = 0; at < s.size(); at += piece) h.Update(p + at, std::min(piece, s.size() - at));
  return h.HexDigest();
}

}  // namespace

// FIPS 180-4's examples, whole and fed in pieces that straddle blocks, the
// processor's instructions (where it has them) and the portable code alike.
TEST(Sha256, KnownDigestsEitherWay) {
  const std::string million(1000000, 'a');
  const struct {
    std::string in, hex;
  } cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {million, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (bool portable : {false, true}) {
    CSha256::ForcePortable(portable);
    for (const auto& c : cases)
      for (size_t piece : {size_t(1) << 30, size_t(1), size_t(63), size_t(65), size_t(1000)}) {
        if (piece == 1 && c.in.size() > 4096) continue;
        EXPECT_EQ(Digest(c.in, piece), c.hex) << "portable " << portable << ", size " << c.in.size() << ", pieces of " << piece;
      }
  }
  CSha256::ForcePortable(false);
}

// SHA-256 (FIPS 180-4): recovered files are reported with their digest,
// and the tests compare against the ground truth the same way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class CSha256 {
 public:
  CSha256() { Reset(); }
  void Reset();
  void Update(const uint8_t* p, size_t n);
  std::string HexDigest();

  // Whether the processor's SHA instructions are used (x86-64 with them).
  static bool Hardware();
  // Tests compare the two ways: true makes every digest the portable way.
  static void ForcePortable(bool bOn);

 private:
  void Blocks(const uint8_t* p, size_t nBlocks);
  uint32_t h_[8];
  uint64_t len_;
  uint8_t buf_[64];
  size_t used_;
};

// Digest of a whole file as lower-case hex; empty when it cannot be read.
std::string Sha256OfFile(const std::string& path);

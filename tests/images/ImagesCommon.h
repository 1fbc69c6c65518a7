// Small helpers shared by the image checks: hashing what an outside tool prints.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "support/TestImages.h"

namespace imgcheck {

// The independent readers live in sbin on some systems.
inline std::string Tool(const std::string& cmd) {
  return "PATH=/usr/sbin:/sbin:/usr/bin:/bin:$PATH MTOOLS_SKIP_CHECK=1 LC_ALL=C.UTF-8 " + cmd;
}

// SHA-256 of what a command writes to stdout; empty string if it fails.
inline std::string HashOfCommand(const std::string& cmd, size_t* size = nullptr) {
  int rc = 0;
  std::string out = testimg::RunCommand(Tool(cmd) + " 2>/dev/null", &rc);
  if (size) *size = out.size();
  if (rc != 0) return "";
  return testimg::Sha256Bytes(out.data(), out.size());
}

inline bool CommandSucceeds(const std::string& cmd) {
  int rc = 0;
  testimg::RunCommand(Tool(cmd) + " >/dev/null 2>&1", &rc);
  return rc == 0;
}

// The bytes where the manifest says a contiguous file starts must be that file.
inline void ExpectBytesAtFirstSector(const std::string& image, const testimg::ManifestFile& f) {
  ASSERT_GE(f.firstSector, 0) << f.Path();
  EXPECT_EQ(testimg::Sha256AtSector(image, static_cast<uint64_t>(f.firstSector), f.size), f.sha256)
      << image << " " << f.Path() << " at sector " << f.firstSector;
}

}  // namespace imgcheck

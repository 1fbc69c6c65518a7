// A deep scan of an image range as the program runs it, for the tests that
// check what it finds and how much it reads; and the bytes of a found file.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "engine/IFileRecoveryParse.h"
#include "scan/ProfessionalRecovery.h"

namespace testscan {

struct DeepScan {
  std::unique_ptr<CProfessionalRecovery> engine;
  int status = -1;
  u64 sectorsRead = 0;  // the deep pass's denominator: the sectors it was to read
  std::string dir;      // the scan's private support folder (removed with the object)
  ~DeepScan();
};

// Scans [first, first + count) of the image (512-byte sectors; count 0: to
// its end) with the image as disk 0, in a fresh support folder.
std::unique_ptr<DeepScan> RunDeepScan(const std::string& image, u64 first = 0, u64 count = 0);

// Every result the engine lists through a search over all categories.
SEARCH_FILE_INFO_VECTOR AllResults(IFileRecoveryParse& engine);

// SHA-256 (lowercase hex) of the file the engine saves for the node; *pSize
// gets its size. "" when the save failed.
std::string ContentSha256(IFileRecoveryParse& engine, const _FILE_NODE_& node, u64* pSize = nullptr);
// The bytes the engine saves for the node (empty when the save failed).
std::vector<unsigned char> ContentBytes(IFileRecoveryParse& engine, const _FILE_NODE_& node);

}  // namespace testscan

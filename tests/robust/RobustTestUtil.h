// Helpers of the damaged-disk tests: running `torvane scan` on an image
// under a time bound and checking the promises every scan keeps (it ends,
// the image is unchanged, nothing is written outside the destination and the
// support folder), and small byte-patching helpers for building damage.
#pragma once

#include <cstdint>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace robust {

// The command-line program of this build ("" when missing).
std::string CliPath();

struct ScanOutcome {
  int exitCode = -1;
  std::string stdoutText;
  std::string stderrText;
  std::string root;    // the test's folder: disk.img, dest/, support/, cwd/
  std::string dest;    // the recovery destination
  std::vector<std::string> savedFiles;  // regular files under dest, absolute
};

// Writes the image to a fresh folder, runs `torvane scan disk.img --recover
// dest --report report.json` there (working directory cwd/, support folder
// support/, at most nTimeoutSeconds) and checks, as test failures:
//  - the scan ended by itself with 0, or with 1 for files it could not save;
//  - no sanitizer report and no fault-guard line on standard error;
//  - the image's hash did not change;
//  - no file appeared in the folder outside dest/ and support/ (the working
//    directory stays empty), and nothing under dest/ is a symbolic link or
//    resolves outside dest/.
// The folder is removed afterwards unless bKeep or the test failed.
ScanOutcome ScanMustSurvive(const std::string& tag, const std::vector<uint8_t>& image, int nTimeoutSeconds = 120,
                            bool bKeep = false);

std::vector<uint8_t> LoadImage(const std::string& name);  // from the test images

// Little-endian patching of an image in memory; out-of-range writes are ignored.
void Put16(std::vector<uint8_t>& img, uint64_t off, uint16_t v);
void Put32(std::vector<uint8_t>& img, uint64_t off, uint32_t v);
void Put64(std::vector<uint8_t>& img, uint64_t off, uint64_t v);
uint16_t Get16(const std::vector<uint8_t>& img, uint64_t off);
uint32_t Get32(const std::vector<uint8_t>& img, uint64_t off);
uint64_t Get64(const std::vector<uint8_t>& img, uint64_t off);

// Overwrites nCount random sectors in [first, end) with random bytes.
void TrashSectors(std::vector<uint8_t>& img, std::mt19937& rng, uint64_t first, uint64_t end, int nCount);
// Flips nCount random bytes in [off, off + len).
void FlipBytes(std::vector<uint8_t>& img, std::mt19937& rng, uint64_t off, uint64_t len, int nCount);

// Every path below root (relative, folders with a final "/").
std::set<std::string> ListTree(const std::string& root);

}  // namespace robust

#include "tests/robust/RobustTestUtil.h"

#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>

#include "tests/support/TestFiles.h"
#include "tests/support/TestImages.h"

namespace fs = std::filesystem;

namespace robust {

std::string CliPath() {
  const char* env = getenv("TORVANE_BINARY_DIR");
  std::string path = std::string(env && *env ? env : "") + "/cli/torvane";
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? path : std::string();
}

std::set<std::string> ListTree(const std::string& root) {
  std::set<std::string> out;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(root, fs::directory_options::none, ec), end; !ec && it != end;
       it.increment(ec)) {
    std::string rel = fs::relative(it->path(), root, ec).string();
    if (it->is_directory(ec) && !it->is_symlink(ec)) rel += "/";
    out.insert(rel);
  }
  return out;
}

static bool StartsWith(const std::string& s, const std::string& prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

ScanOutcome ScanMustSurvive(const std::string& tag, const std::vector<uint8_t>& image, int nTimeoutSeconds,
                            bool bKeep) {
  ScanOutcome o;
  std::string cli = CliPath();
  if (cli.empty()) {
    ADD_FAILURE() << "the torvane program is not built (TORVANE_BINARY_DIR)";
    return o;
  }
  o.root = testimg::MakeTempDir("robust-" + tag);
  o.dest = o.root + "/dest";
  std::string disk = o.root + "/disk.img";
  std::string support = o.root + "/support";
  std::string cwd = o.root + "/cwd";
  mkdir(cwd.c_str(), 0755);
  mkdir(support.c_str(), 0755);
  if (!testfiles::WriteAll(disk, image.data(), image.size())) {
    ADD_FAILURE() << "cannot write " << disk;
    return o;
  }
  std::string hashBefore = testimg::Sha256File(disk);
  std::set<std::string> before = ListTree(o.root);

  using testimg::ShellQuote;
  std::string cmd = "cd " + ShellQuote(cwd) + " && env TORVANE_SUPPORT_DIR=" + ShellQuote(support) +
                    " timeout -s KILL " + std::to_string(nTimeoutSeconds) + " " + ShellQuote(cli) + " scan " +
                    ShellQuote(disk) + " --all --recover " + ShellQuote(o.dest) + " --report " +
                    ShellQuote(o.root + "/report.json") + " >" + ShellQuote(o.root + "/stdout") + " 2>" +
                    ShellQuote(o.root + "/stderr");
  testimg::RunCommand(cmd, &o.exitCode);
  std::vector<unsigned char> text = testfiles::ReadAll(o.root + "/stdout");
  o.stdoutText.assign(text.begin(), text.end());
  text = testfiles::ReadAll(o.root + "/stderr");
  o.stderrText.assign(text.begin(), text.end());
  const std::string ctx = tag + " (stderr tail: " +
                          o.stderrText.substr(o.stderrText.size() > 600 ? o.stderrText.size() - 600 : 0) + ")";

  // It ended by itself: 0, or 1 only when the scan finished and some files
  // could not be saved (a damaged disk has files whose data is gone).
  bool finished = o.stderrText.find(" recorded: ") != std::string::npos;
  if (o.exitCode == 1) {
    EXPECT_TRUE(finished && o.stderrText.find("\n  failed: ") != std::string::npos)
        << "exit 1 without a save failure: " << ctx;
  } else {
    EXPECT_EQ(0, o.exitCode) << "the scan did not end normally (124/137 = time limit, -1 = signal): " << ctx;
  }
  EXPECT_TRUE(finished) << ctx;
  for (const char* bad : {"fault guard caught", "AddressSanitizer", "runtime error:", "LeakSanitizer"})
    EXPECT_EQ(std::string::npos, o.stderrText.find(bad)) << "'" << bad << "' in " << ctx;

  EXPECT_EQ(hashBefore, testimg::Sha256File(disk)) << "the scanned image changed: " << tag;

  // Nothing new outside dest/ and support/, and the working folder stays empty.
  std::set<std::string> after = ListTree(o.root);
  for (const std::string& p : after) {
    if (before.count(p) || p == "stdout" || p == "stderr" || p == "report.json") continue;
    if (StartsWith(p, "dest/") || p == "dest/" || StartsWith(p, "support/")) continue;
    ADD_FAILURE() << "written outside the destination: " << p << " in " << tag;
  }
  char realDest[PATH_MAX];
  if (realpath(o.dest.c_str(), realDest)) {
    std::string prefix = std::string(realDest) + "/";
    std::error_code ec;
    for (fs::recursive_directory_iterator it(o.dest, ec), end; !ec && it != end; it.increment(ec)) {
      EXPECT_FALSE(it->is_symlink(ec)) << "a link under the destination: " << it->path() << " in " << tag;
      char real[PATH_MAX];
      if (realpath(it->path().c_str(), real)) {
        EXPECT_TRUE(StartsWith(real, prefix)) << it->path() << " resolves outside the destination in " << tag;
      }
      if (it->is_regular_file(ec)) o.savedFiles.push_back(it->path().string());
    }
  }
  // TORVANE_ROBUST_KEEP=1 keeps every folder for a look afterwards.
  const char* keep = getenv("TORVANE_ROBUST_KEEP");
  if (!bKeep && !(keep && *keep == '1') && !::testing::Test::HasFailure()) testimg::RemoveTree(o.root);
  return o;
}

std::vector<uint8_t> LoadImage(const std::string& name) {
  std::vector<unsigned char> v = testfiles::ReadAll(testimg::ImagePath(name));
  return std::vector<uint8_t>(v.begin(), v.end());
}

void Put16(std::vector<uint8_t>& img, uint64_t off, uint16_t v) {
  for (int i = 0; i < 2; ++i)
    if (off + i < img.size()) img[off + i] = static_cast<uint8_t>(v >> (8 * i));
}
void Put32(std::vector<uint8_t>& img, uint64_t off, uint32_t v) {
  for (int i = 0; i < 4; ++i)
    if (off + i < img.size()) img[off + i] = static_cast<uint8_t>(v >> (8 * i));
}
void Put64(std::vector<uint8_t>& img, uint64_t off, uint64_t v) {
  for (int i = 0; i < 8; ++i)
    if (off + i < img.size()) img[off + i] = static_cast<uint8_t>(v >> (8 * i));
}
uint16_t Get16(const std::vector<uint8_t>& img, uint64_t off) {
  return off + 2 <= img.size() ? static_cast<uint16_t>(img[off] | img[off + 1] << 8) : 0;
}
uint32_t Get32(const std::vector<uint8_t>& img, uint64_t off) {
  uint32_t v = 0;
  if (off + 4 <= img.size())
    for (int i = 3; i >= 0; --i) v = (v << 8) | img[off + i];
  return v;
}
uint64_t Get64(const std::vector<uint8_t>& img, uint64_t off) {
  return static_cast<uint64_t>(Get32(img, off)) | static_cast<uint64_t>(Get32(img, off + 4)) << 32;
}

void TrashSectors(std::vector<uint8_t>& img, std::mt19937& rng, uint64_t first, uint64_t end, int nCount) {
  uint64_t sectors = img.size() / 512;
  if (end > sectors) end = sectors;
  if (first >= end) return;
  for (int i = 0; i < nCount; ++i) {
    uint64_t s = first + rng() % (end - first);
    for (int b = 0; b < 512; ++b) img[s * 512 + b] = static_cast<uint8_t>(rng());
  }
}

void FlipBytes(std::vector<uint8_t>& img, std::mt19937& rng, uint64_t off, uint64_t len, int nCount) {
  if (off >= img.size() || len == 0) return;
  if (off + len > img.size()) len = img.size() - off;
  for (int i = 0; i < nCount; ++i) img[off + rng() % len] ^= static_cast<uint8_t>(1u << (rng() % 8));
}

}  // namespace robust

// Replays every input the fuzzers ever crashed on (tests/fuzz/regressions/)
// and the committed seeds (tests/fuzz/corpus/) through the same entry points,
// built with the normal compiler, so a fixed fault stays fixed in `make test`
// and in the sanitizer pass.
#include <dirent.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "engine/FaultGuard.h"
#include "tests/robust/FuzzHarness.h"
#include "tests/support/TestFiles.h"

namespace {

std::vector<std::string> g_failures;

void RecordFailure(const char* pTarget, const std::string& what) {
  g_failures.push_back(std::string(pTarget) + ": " + what);
}

std::string SourceDir() {
  const char* env = getenv("TORVANE_SOURCE_DIR");
  return (env && *env) ? env : TORVANE_DEFAULT_SOURCE_DIR;
}

std::vector<std::string> FilesIn(const std::string& dir) {
  std::vector<std::string> out;
  DIR* d = opendir(dir.c_str());
  if (!d) return out;
  while (dirent* e = readdir(d)) {
    std::string path = dir + "/" + e->d_name;
    struct stat st;
    if (e->d_name[0] != '.' && stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) out.push_back(path);
  }
  closedir(d);
  std::sort(out.begin(), out.end());
  return out;
}

class FuzzReplay : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    g_failures.clear();
    fuzzharness::SetFailureHook(RecordFailure);
  }
  void TearDown() override { fuzzharness::SetFailureHook(nullptr); }

  // Runs every file of the folder; returns how many ran.
  size_t ReplayFolder(const fuzzharness::TARGET& target, const std::string& dir) {
    size_t n = 0;
    for (const std::string& path : FilesIn(dir)) {
      std::vector<unsigned char> data = testfiles::ReadAll(path);
      if (data.size() > target.nMaxLen) data.resize(target.nMaxLen);
      g_failures.clear();
      uint64_t faults = FaultGuardCatchCount();
      target.pEntry(data.data(), data.size());
      EXPECT_EQ(faults, FaultGuardCatchCount()) << path;
      for (const std::string& f : g_failures) ADD_FAILURE() << path << ": " << f;
      // Seeds cut from real volumes must reach the engine and find files,
      // or the replay proves nothing about the engine.
      std::string base = path.substr(path.rfind('/') + 1);
      for (const char* prefix : {"mkfs-template", "ntfs-mft-users", "ntfs-user16", "fat12-head", "fat16-head", "exfat-root",
                                 "ext4-map"}) {
        if (base.compare(0, strlen(prefix), prefix) == 0) {
          EXPECT_GT(fuzzharness::LastFoundCount(), 0u) << path << " found nothing";
        }
      }
      ++n;
    }
    return n;
  }
};

TEST_P(FuzzReplay, RegressionsAndSeedsRunClean) {
  const fuzzharness::TARGET* target = fuzzharness::FindTarget(GetParam());
  ASSERT_NE(nullptr, target);
  std::string root = SourceDir() + "/tests/fuzz/";
  size_t seeds = ReplayFolder(*target, root + "corpus/" + GetParam());
  size_t regressions = ReplayFolder(*target, root + "regressions/" + GetParam());
  // Every target has committed seeds; an empty folder means the replay ran nothing.
  EXPECT_GT(seeds, 0u) << "no committed seeds for " << GetParam();
  RecordProperty("seeds", static_cast<int>(seeds));
  RecordProperty("regressions", static_cast<int>(regressions));
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzReplay,
                         ::testing::Values("boot_sector", "partition_table", "ntfs_record", "ntfs_volume", "ext_volume", "fat_dir",
                                           "fat_deep", "exfat_dir", "carve", "mp4_movie", "relation", "config"),
                         [](const ::testing::TestParamInfo<const char*>& info) { return std::string(info.param); });

// The harness's own promise checks must be able to fire: a planted file
// outside the destination is reported by the next target that saves.
TEST(FuzzHarnessSelfCheck, FileOutsideTheDestinationIsReported) {
  g_failures.clear();
  fuzzharness::SetFailureHook(RecordFailure);
  std::string stray = fuzzharness::WorkDir() + "/stray.txt";
  ASSERT_TRUE(testfiles::WriteAll(stray, "x", 1));
  const fuzzharness::TARGET* config = fuzzharness::FindTarget("config");
  ASSERT_NE(nullptr, config);
  config->pEntry(reinterpret_cast<const uint8_t*>("\0\0\0\0\0\0\0\0"), 8);
  remove(stray.c_str());
  fuzzharness::SetFailureHook(nullptr);
  bool reported = false;
  for (const std::string& f : g_failures) reported = reported || f.find("stray.txt") != std::string::npos;
  EXPECT_TRUE(reported) << "the outside-the-destination check did not see a planted file";
}

}  // namespace

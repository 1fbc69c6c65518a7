// A deleted file whose cluster chain was cleared is read from consecutive
// clusters: verified only while those clusters still hold all of it.
#include <gtest/gtest.h>

#include <strings.h>
#include <sys/stat.h>

#include <fstream>
#include <random>

#include "FatTestUtil.h"
#include "TestFiles.h"
#include "engine/TextUtil.h"
#include "fat/FastFatRecovery.h"

namespace {

// The deleted file of that size in the folder (a deleted short name has lost its first letter).
const fattest::Found* Listed(const std::multimap<std::string, fattest::Found>& found, const std::string& folder,
                             u64 size) {
  for (const auto& [path, f] : found)
    if (strcasecmp(f.folder.c_str(), folder.c_str()) == 0 && f.node.bIsDeleted && f.node.u64FileSize == size) return &f;
  return nullptr;
}

TEST(ChainCleared, VerifiedOnlyWhileItsClustersAreUntouched) {
  const std::string source = testimg::ImagePath("fat16.img");
  struct stat st;
  if (stat(source.c_str(), &st) != 0) GTEST_SKIP() << "fat16.img not built";
  testimg::Manifest m = testimg::LoadManifest("fat16.img");
  const testimg::ManifestFile* png = nullptr;
  for (const auto& f : m.files)
    if (f.name == "IMG_0003.PNG" && f.state == "deleted") png = &f;
  ASSERT_NE(nullptr, png);
  ASSERT_GT(png->size, 4u * std::stoul(m.info.at("clusterBytes")));
  fattest::UseFreshSupportDir("chain-cleared");
  const std::string dir = testfiles::FreshDir("chain-cleared");
  const std::string copy = dir + "/fat16.img";
  std::vector<unsigned char> bytes = testfiles::ReadAll(source);

  for (bool overwrite : {false, true}) {
    SCOPED_TRACE(overwrite ? "a cluster overwritten" : "intact");
    if (overwrite) {  // a later file took a cluster in the middle
      std::mt19937 rng(3);
      const size_t at = static_cast<size_t>(png->firstSector) * 512 + png->size / 2 / 2048 * 2048;
      for (size_t i = 0; i < 2048; ++i) bytes[at + i] = static_cast<unsigned char>(rng());
    }
    ASSERT_TRUE(testfiles::WriteAll(copy, bytes.data(), bytes.size()));
    CFastFatRecovery engine;
    std::wstring wpath = Utf8ToWide(copy);
    ASSERT_EQ(0, engine.Init(&wpath[0], L'C'));
    ASSERT_EQ(0, engine.ScanDevice(nullptr));
    auto found = fattest::SearchAllFiles(engine);
    const fattest::Found* node = Listed(found, "/DCIM/100TORVN", png->size);
    ASSERT_NE(nullptr, node);
    EXPECT_TRUE(node->node.nResultFlags & RESULT_FLAG_CHAIN_CLEARED);
    EXPECT_FALSE(node->node.nResultFlags & RESULT_FLAG_CHECK_PENDING);
    EXPECT_EQ(overwrite ? INTEGRITY_UNVERIFIED : INTEGRITY_VERIFIED, node->node.nIntegrity);
  }
  testimg::RemoveTree(dir);
}

}  // namespace

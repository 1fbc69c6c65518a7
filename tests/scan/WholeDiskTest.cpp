// A whole partitioned disk gives what each of its partitions gives alone:
// every file system read with its own geometry, each result knowing its
// partition, deleted files back under their names.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "scan/ScanSession.h"
#include "support/TestImages.h"

namespace {

typedef std::set<std::string> NAMES;

// Deleted files with names (not carved), by partition index within the disk.
std::map<int, NAMES> NamedDeleted(CScanSession& session, std::vector<RESULT_ITEM>* pItems = nullptr) {
  std::vector<RESULT_ITEM> results;
  EXPECT_EQ(0, session.Results(results));
  std::map<int, NAMES> out;
  for (const RESULT_ITEM& r : results) {
    if (!r.IsDeleted() || r.IsCarved() || r.node.bIsDir || r.strFolder.find("/LostFolder") == 0) continue;
    out[r.nPartition].insert(r.strFolder + r.strName + " " + std::to_string(r.node.u64FileSize));
    if (pItems) pItems->push_back(r);
  }
  return out;
}

}  // namespace

TEST(WholeDisk, EachPartitionGivesWhatItGivesAlone) {
  for (const char* image : {"mbr.img", "gpt.img"}) {
    SCOPED_TRACE(image);
    testimg::Manifest m = testimg::LoadManifest(image);
    CScanSession whole;
    ASSERT_EQ(0, whole.OpenTarget(testimg::ImagePath(image)));
    ASSERT_EQ(0, whole.Scan(false, nullptr));
    std::vector<RESULT_ITEM> items;
    std::map<int, NAMES> byPart = NamedDeleted(whole, &items);
    const std::vector<_PARTITION_ITEM_> parts = whole.Partitions();
    size_t checked = 0;
    for (size_t k = 1; k <= parts.size(); ++k) {
      CScanSession alone;
      ASSERT_EQ(0, alone.OpenTarget(testimg::ImagePath(image)));
      ASSERT_EQ(0, alone.SelectPartition(static_cast<int>(k)));
      ASSERT_EQ(0, alone.Scan(false, nullptr));
      std::map<int, NAMES> own = NamedDeleted(alone);
      NAMES fromAlone;
      for (const auto& kv : own) fromAlone.insert(kv.second.begin(), kv.second.end());
      EXPECT_EQ(fromAlone, byPart[static_cast<int>(k)]) << "partition " << k;
      checked += fromAlone.size();
    }
    // Against the manifest: every deleted file of a FAT or NTFS partition,
    // under its name in its partition, with its content.
    std::string dest = testimg::MakeTempDir("whole-disk");
    SAVE_OPTIONS opts;
    opts.bHash = true;
    SAVE_SUMMARY sum;
    std::vector<SAVE_OUTCOME> out;
    whole.Save(items, dest, opts, nullptr, sum, &out);
    std::map<std::string, std::string> saved;
    for (size_t i = 0; i < items.size() && i < out.size(); ++i)
      saved[std::to_string(items[i].nPartition) + ":" + items[i].strFolder + items[i].strName] = out[i].strSha256;
    size_t expected = 0;
    for (const testimg::ManifestPartition& p : m.partitions) {
      if (p.fs.compare(0, 3, "fat") != 0 && p.fs != "ntfs") continue;
      int k = 0;
      for (size_t i = 0; i < parts.size(); ++i)
        if (parts[i].u64StartSector == p.firstSector) k = static_cast<int>(i + 1);
      ASSERT_GT(k, 0) << "partition at " << p.firstSector;
      for (const testimg::ManifestFile& f : m.FilesOfPartition(p.index)) {
        if (f.state != "deleted" || !f.Contiguous() || f.name.find(':') != std::string::npos) continue;
        ++expected;
        std::string key = std::to_string(k) + ":" + f.Path();
        auto it = saved.find(key);
        // A name whose first letter FAT dropped comes back with '!'.
        if (it == saved.end()) it = saved.find(std::to_string(k) + ":" + f.folder + (f.folder == "/" ? "" : "/") + "!" + f.name.substr(1));
        EXPECT_TRUE(it != saved.end() && it->second == f.sha256) << key;
      }
    }
    EXPECT_GT(expected, 3u);
    EXPECT_GT(checked, expected / 2);
    testimg::RemoveTree(dest);
  }
}

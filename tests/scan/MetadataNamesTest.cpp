// Carved files named, dated and filtered by what they say about themselves,
// on meta.img (tools/mkimages/meta.py: files tagged by exiftool, ffmpeg, the
// Xiph encoders and ghostscript; hostile tags; a thumbnail inside a picture).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ctime>
#include <map>
#include <set>

#include "engine/TextUtil.h"
#include "scan/ScanSession.h"
#include "support/TestImages.h"

namespace {

// A tag's value in a manifest note ("mtime=123;dim=320x240"), "" when absent.
std::string Tag(const testimg::ManifestFile& f, const std::string& key) {
  const std::string note = ";" + f.note + ";";
  const size_t at = note.find(";" + key + "=");
  if (at == std::string::npos) return std::string();
  const size_t from = at + key.size() + 2;
  return note.substr(from, note.find(';', from) - from);
}

class MetadataNames : public ::testing::Test {
 protected:
  void SetUp() override {
    manifest = testimg::LoadManifest("meta.img");
    ASSERT_EQ(0, session.OpenTarget(testimg::ImagePath("meta.img")));
    ASSERT_EQ(0, session.Scan(false, nullptr));
    std::vector<RESULT_ITEM> all;
    ASSERT_EQ(0, session.Results(all));
    for (const RESULT_ITEM& r : all)
      if (r.IsCarved()) carved[r.u64FirstSector] = r;
    dest = testimg::MakeTempDir("meta-dest");
  }
  void TearDown() override { testimg::RemoveTree(dest); }

  const RESULT_ITEM* Item(const testimg::ManifestFile& f) {
    auto it = carved.find(static_cast<u64>(f.firstSector));
    return it == carved.end() ? nullptr : &it->second;
  }
  // The manifest's files the filter keeps, by name.
  std::set<std::string> Kept(const RESULT_FILTER& filter) {
    std::set<std::string> kept;
    for (const testimg::ManifestFile& f : manifest.files) {
      const RESULT_ITEM* item = Item(f);
      if (item && MatchesFilter(filter, *item)) kept.insert(f.name);
    }
    return kept;
  }

  testimg::Manifest manifest;
  CScanSession session;
  std::map<u64, RESULT_ITEM> carved;
  std::string dest;
};

}  // namespace

TEST_F(MetadataNames, EachFileComesBackWholeUnderItsMetadataNameAndTime) {
  std::vector<RESULT_ITEM> chosen;
  for (const testimg::ManifestFile& f : manifest.files) {
    const RESULT_ITEM* item = Item(f);
    ASSERT_NE(nullptr, item) << f.name;
    chosen.push_back(*item);
  }
  SAVE_OPTIONS opts;
  SAVE_SUMMARY sum;
  std::vector<SAVE_OUTCOME> outcomes;
  ASSERT_EQ(0, session.Save(chosen, dest, opts, nullptr, sum, &outcomes));
  ASSERT_EQ(manifest.files.size(), outcomes.size());
  const time_t started = time(nullptr) - 3600;
  for (size_t k = 0; k < outcomes.size(); ++k) {
    const testimg::ManifestFile& f = manifest.files[k];
    SCOPED_TRACE(f.name);
    const std::string& path = outcomes[k].strPath;
    EXPECT_EQ(f.sha256, testimg::Sha256File(path));
    const std::string dim = Tag(f, "dim");
    if (!dim.empty()) {
      EXPECT_EQ(dim, std::to_string(chosen[k].nWidth) + "x" + std::to_string(chosen[k].nHeight));
    }
    struct stat st;
    ASSERT_EQ(0, stat(path.c_str(), &st));
    const std::string folder = dest + "/" + category::FolderOfFileName(f.name.c_str()) + "/";
    ASSERT_EQ(folder, path.substr(0, folder.size()));
    const std::string name = path.substr(folder.size());
    if (!f.HasTag("hostile")) {
      EXPECT_EQ(f.name, name);
      const std::string mtime = Tag(f, "mtime");
      if (!mtime.empty()) {
        EXPECT_EQ(std::stoll(mtime), static_cast<long long>(st.st_mtime));
      }
      continue;
    }
    // One safe component, clean UTF-8, the sector kept; no time from a year 0 or 9999.
    EXPECT_EQ(std::string::npos, name.find('/'));
    EXPECT_LE(name.size(), 255u);
    EXPECT_EQ(name, CleanMetadataText(name.data(), name.size(), 255));
    const std::string tail = "(" + std::to_string(f.firstSector) + ")." + f.type;
    ASSERT_GT(name.size(), tail.size() + 1);
    EXPECT_EQ(tail, name.substr(name.size() - tail.size()));
    EXPECT_GE(st.st_mtime, started);
  }
}

TEST_F(MetadataNames, FiltersLeaveOutSmallUndatedAndThumbnailPictures) {
  std::set<std::string> all, thumbs, wide, dated2024;
  for (const testimg::ManifestFile& f : manifest.files) {
    all.insert(f.name);
    if (f.HasTag("thumb")) thumbs.insert(f.name);
    const std::string dim = Tag(f, "dim"), mtime = Tag(f, "mtime");
    if (!dim.empty() && std::stoi(dim) >= 300 && std::stoi(dim.substr(dim.find('x') + 1)) >= 200) wide.insert(f.name);
    if (!mtime.empty() && std::stoll(mtime) >= 1704067200 && std::stoll(mtime) < 1735689600) dated2024.insert(f.name);
  }
  ASSERT_EQ(1u, thumbs.size());
  RESULT_FILTER f;
  f.bSkipThumbnails = true;
  std::set<std::string> expect = all;
  expect.erase(*thumbs.begin());
  EXPECT_EQ(expect, Kept(f));

  f = RESULT_FILTER();
  f.nMinWidth = 300;
  f.nMinHeight = 200;
  EXPECT_EQ(wide, Kept(f));

  f = RESULT_FILTER();
  f.tCapturedAfter = 1704067200;   // 2024-01-01
  f.tCapturedBefore = 1735689600;  // 2025-01-01
  EXPECT_EQ(dated2024, Kept(f));
  EXPECT_EQ(2u, dated2024.size());
}

TEST_F(MetadataNames, GroupByDatePutsPhotosAndVideosInYearAndMonthFolders) {
  std::vector<RESULT_ITEM> chosen;
  std::vector<std::string> want;
  for (const testimg::ManifestFile& f : manifest.files) {
    const RESULT_ITEM* item = Item(f);
    ASSERT_NE(nullptr, item) << f.name;
    if (f.HasTag("hostile")) continue;
    chosen.push_back(*item);
    std::string folder = category::FolderOfFileName(f.name.c_str());
    const std::string mtime = Tag(f, "mtime");
    if (!mtime.empty() && (item->eKind == category::PHOTO || item->eKind == category::VIDEO)) {
      const time_t t = static_cast<time_t>(std::stoll(mtime));
      char month[16];
      strftime(month, sizeof(month), "%Y/%Y-%m", gmtime(&t));
      folder += std::string("/") + month;
    }
    want.push_back(dest + "/" + folder + "/" + f.name);
  }
  SAVE_OPTIONS opts;
  opts.bGroupByDate = true;
  SAVE_SUMMARY sum;
  std::vector<SAVE_OUTCOME> outcomes;
  ASSERT_EQ(0, session.Save(chosen, dest, opts, nullptr, sum, &outcomes));
  ASSERT_EQ(want.size(), outcomes.size());
  for (size_t k = 0; k < want.size(); ++k) EXPECT_EQ(want[k], outcomes[k].strPath);
  EXPECT_EQ(dest + "/photo/2024/2024-06/", want[0].substr(0, dest.size() + 20));
}

TEST(MetadataResume, NamesOfFilesFoundBeforeAStopSurviveTheResume) {
  const testimg::Manifest manifest = testimg::LoadManifest("meta.img");
  {
    // Stopped after a few files, and closed as a stopped program would be.
    CScanSession first;
    ASSERT_EQ(0, first.OpenTarget(testimg::ImagePath("meta.img")));
    ASSERT_EQ(RECOVERY_CANCELLED, first.Scan(false, [](const SCAN_PROGRESS& p) { return p.u64Found < 4; }));
  }
  CScanSession second;
  ASSERT_EQ(0, second.OpenTarget(testimg::ImagePath("meta.img")));
  ASSERT_EQ(0, second.Scan(true, nullptr));
  ASSERT_TRUE(second.WasResumed());
  std::vector<RESULT_ITEM> all;
  ASSERT_EQ(0, second.Results(all));
  std::map<u64, std::string> names;
  for (const RESULT_ITEM& r : all)
    if (r.IsCarved()) names[r.u64FirstSector] = r.strName;
  for (const testimg::ManifestFile& f : manifest.files)
    if (!f.HasTag("hostile")) {
      EXPECT_EQ(f.name, names[static_cast<u64>(f.firstSector)]);
    }
}

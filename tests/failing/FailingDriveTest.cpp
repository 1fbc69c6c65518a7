// Unreadable sectors, as a failing drive has them: scans step over them,
// lose nothing readable, and saves say what they could not read.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <map>
#include <memory>

#include <set>

#include "ReadFaultShim.h"
#include "engine/BadSectorMap.h"
#include "engine/DiskReader.h"
#include "fat/FastFatRecovery.h"
#include "ntfs/FastNtfsRecovery.h"
#include "scan/DiskImager.h"
#include "scan/FileRecoveryFactory.h"
#include "scan/ScanSession.h"
#include "support/TestFiles.h"
#include "support/TestImages.h"

namespace {

struct Faults {
  ~Faults() { readfault::Clear(); }
};

// Every hundredth sector or so, the same ones every run.
std::vector<std::pair<uint64_t, uint64_t>> ScatteredSectors(uint64_t sectors) {
  std::vector<std::pair<uint64_t, uint64_t>> out;
  uint64_t x = 12345;
  for (uint64_t s = 64; s < sectors;) {
    x = x * 6364136223846793005ull + 1442695040888963407ull;
    s += 50 + (x >> 33) % 100;
    if (s < sectors) out.push_back({s, 1});
  }
  return out;
}

}  // namespace

TEST(FailingDrive, AReadOverBadSectorsGivesEveryReadableSector) {
  Faults guard;
  std::string image = testimg::ImagePath("carve.img");
  std::vector<uint8_t> truth = testimg::ReadAt(image, 64 * 512, 128 * 512);
  readfault::FailSectors(image, {{100, 1}, {150, 3}});
  CBadSectorMap map;
  CDiskReader reader;
  ASSERT_EQ(0, reader.Init(image.c_str(), 1024));
  reader.AttachBadSectorMap(&map);
  std::vector<unsigned char> buf(128 * 512, 0xAA);
  u64 unreadable = 0;
  ASSERT_EQ(0, reader.ReadTolerant(buf.data(), 128, 64, 512, &unreadable));
  EXPECT_EQ(4u, unreadable);
  for (u64 s = 0; s < 128; ++s) {
    bool bad = s + 64 == 100 || (s + 64 >= 150 && s + 64 < 153);
    std::vector<unsigned char> expect(512, 0);
    if (!bad) expect.assign(truth.begin() + s * 512, truth.begin() + (s + 1) * 512);
    EXPECT_EQ(0, memcmp(buf.data() + s * 512, expect.data(), 512)) << "sector " << s + 64;
  }
  EXPECT_TRUE(map.Contains(100));
  EXPECT_TRUE(map.Contains(152));
  EXPECT_EQ(4u, map.Count());
  // A second read of the area does not try the known bad sectors again.
  uint64_t before = readfault::FailedReads();
  unreadable = 0;
  ASSERT_EQ(0, reader.ReadTolerant(buf.data(), 128, 64, 512, &unreadable));
  EXPECT_EQ(4u, unreadable);
  EXPECT_EQ(before, readfault::FailedReads());
}

TEST(FailingDrive, ScatteredBadSectorsLoseNoFileThatDoesNotTouchThem) {
  Faults guard;
  std::string image = testimg::ImagePath("carve.img");
  testimg::Manifest m = testimg::LoadManifest("carve.img");
  struct stat st;
  ASSERT_EQ(0, stat(image.c_str(), &st));
  uint64_t sectors = static_cast<uint64_t>(st.st_size) / 512;
  std::vector<std::pair<uint64_t, uint64_t>> bad = ScatteredSectors(sectors);
  std::set<uint64_t> badSet;
  for (const auto& b : bad) badSet.insert(b.first);
  readfault::FailSectors(image, bad);

  CScanSession session;
  ASSERT_EQ(0, session.OpenTarget(image));
  ASSERT_EQ(0, session.Scan(false, nullptr));
  EXPECT_EQ(bad.size(), session.UnreadableSectors());
  std::vector<RESULT_ITEM> results;
  ASSERT_EQ(0, session.Results(results));
  std::string dest = testimg::MakeTempDir("failing-scatter");
  SAVE_OPTIONS opts;
  opts.bHash = true;
  SAVE_SUMMARY sum;
  std::vector<SAVE_OUTCOME> outcomes;
  session.Save(results, dest, opts, nullptr, sum, &outcomes);
  ASSERT_EQ(results.size(), outcomes.size());

  // Whatever read a bad sector is partial, never whole.
  std::map<uint64_t, const SAVE_OUTCOME*> byStart;
  for (size_t i = 0; i < results.size(); ++i) {
    byStart[results[i].u64FirstSector] = &outcomes[i];
    uint64_t first = results[i].u64FirstSector, n = (results[i].node.u64FileSize + 511) / 512;
    auto it = badSet.lower_bound(first);
    if (it != badSet.end() && *it < first + n) {
      EXPECT_EQ(STATUS_PARTIAL_SAVE, outcomes[i].nStatus) << results[i].strName;
      EXPECT_FALSE(outcomes[i].result.unreadable.empty()) << results[i].strName;
    }
  }
  // Every carvable file clear of the bad sectors comes back whole.
  int clear = 0, identical = 0;
  for (const testimg::ManifestFile& f : m.files) {
    if (!f.HasTag("clean-end") || f.type == "txt" || f.type == "rar" || f.firstSector < 0) continue;
    if (f.type == "mp3" && testimg::ReadAt(f.samplePath, 0, 3) != std::vector<uint8_t>{'I', 'D', '3'}) continue;
    uint64_t first = static_cast<uint64_t>(f.firstSector), n = (f.size + 511) / 512;
    auto it = badSet.lower_bound(first);
    if (it != badSet.end() && *it < first + n + 8) continue;  // touching, or in its read-ahead
    ++clear;
    // It may run on when the next file's first sector is the unreadable one.
    auto hit = byStart.find(first);
    bool whole = hit != byStart.end() && hit->second->result.u64Written >= f.size &&
                 testimg::Sha256Bytes(testimg::ReadAt(hit->second->strPath, 0, f.size).data(), f.size) == f.sha256;
    if (whole) ++identical;
    else ADD_FAILURE() << f.name << " at " << f.firstSector << " not back whole";
  }
  EXPECT_GT(clear, 10);
  EXPECT_EQ(clear, identical);
  testimg::RemoveTree(dest);
}

TEST(FailingDrive, ABadSectorInsideASavedFileIsZeroFilledAndListed) {
  Faults guard;
  std::string image = testimg::ImagePath("fat16.img");
  testimg::Manifest m = testimg::LoadManifest("fat16.img");
  const testimg::ManifestFile* f = m.Find("/Documents/letter to the bank.docx");
  ASSERT_TRUE(f && f->Contiguous() && f->size > 1024);
  CScanSession session;
  ASSERT_EQ(0, session.OpenTarget(image));
  ASSERT_EQ(0, session.Scan(false, nullptr));
  std::vector<RESULT_ITEM> results, chosen;
  ASSERT_EQ(0, session.Results(results));
  for (const RESULT_ITEM& r : results)
    if (!r.IsCarved() && r.strFolder + r.strName == f->Path()) chosen.push_back(r);
  ASSERT_EQ(1u, chosen.size());

  readfault::FailSectors(image, {{static_cast<uint64_t>(f->firstSector) + 1, 1}});
  std::string dest = testimg::MakeTempDir("failing-save");
  SAVE_SUMMARY sum;
  std::vector<SAVE_OUTCOME> out;
  session.Save(chosen, dest, SAVE_OPTIONS(), nullptr, sum, &out);
  ASSERT_EQ(1u, out.size());
  EXPECT_EQ(STATUS_PARTIAL_SAVE, out[0].nStatus);
  EXPECT_EQ(1u, sum.nPartial);
  ASSERT_EQ(1u, out[0].result.unreadable.size());
  EXPECT_EQ(512u, out[0].result.unreadable[0].u64Offset);
  EXPECT_EQ(512u, out[0].result.unreadable[0].u64Length);
  std::vector<unsigned char> saved = testfiles::ReadAll(out[0].strPath);
  std::vector<uint8_t> truth = testimg::ReadAt(f->samplePath, 0, f->size);
  ASSERT_EQ(truth.size(), saved.size());
  EXPECT_EQ(0, memcmp(saved.data(), truth.data(), 512));
  EXPECT_EQ(std::vector<unsigned char>(512, 0), std::vector<unsigned char>(saved.begin() + 512, saved.begin() + 1024));
  EXPECT_EQ(0, memcmp(saved.data() + 1024, truth.data() + 1024, truth.size() - 1024));
  testimg::RemoveTree(dest);
}

namespace {

// Path -> SHA-256 of every deleted file a scan names, saved and hashed.
std::map<std::string, std::string> DeletedByName(const std::string& image) {
  CScanSession session;
  EXPECT_EQ(0, session.OpenTarget(image));
  EXPECT_EQ(0, session.Scan(false, nullptr));
  std::vector<RESULT_ITEM> results, named;
  session.Results(results);
  for (const RESULT_ITEM& r : results)
    if (r.IsDeleted() && !r.IsCarved() && !r.node.bIsDir) named.push_back(r);
  std::string dest = testimg::MakeTempDir("failing-fs");
  SAVE_OPTIONS opts;
  opts.bHash = true;
  opts.bKeepTree = false;
  SAVE_SUMMARY sum;
  std::vector<SAVE_OUTCOME> out;
  session.Save(named, dest, opts, nullptr, sum, &out);
  std::map<std::string, std::string> byName;
  for (size_t i = 0; i < named.size() && i < out.size(); ++i)
    if (out[i].nStatus == 0) byName[named[i].strName] = out[i].strSha256;
  testimg::RemoveTree(dest);
  return byName;
}

uint64_t LeU64(const std::vector<uint8_t>& b, size_t at) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = v << 8 | b[at + i];
  return v;
}

}  // namespace

// What the file systems keep about themselves survives one bad sector: the
// rest of the MFT, the second FAT, the backup boot sector.
TEST(FailingDrive, FileSystemPassesGoOnPastABadSector) {
  Faults guard;
  struct CASE {
    const char* image;
    const char* what;
  };
  for (const CASE& c : {CASE{"ntfs.img", "root folder record"}, CASE{"ntfs.img", "boot sector"},
                        CASE{"fat32.img", "first FAT"}, CASE{"fat32.img", "boot sector"},
                        CASE{"fat32.img", "root folder sector"}}) {
    SCOPED_TRACE(std::string(c.image) + ": " + c.what);
    std::string image = testimg::ImagePath(c.image);
    testimg::Manifest m = testimg::LoadManifest(c.image);
    std::vector<uint8_t> boot = testimg::ReadAt(image, 0, 512);
    const uint64_t bps = boot[11] | boot[12] << 8, spc = boot[13];
    uint64_t bad = 0;
    if (std::string(c.what) == "root folder record")
      bad = LeU64(boot, 0x30) * spc * bps / 512 + 5 * 2;  // record 5, two sectors a record
    else if (std::string(c.what) == "first FAT")
      bad = static_cast<uint64_t>(boot[14] | boot[15] << 8) + 1;  // after the reserved sectors
    else if (std::string(c.what) == "root folder sector")  // the root cluster's second sector
      bad = static_cast<uint64_t>(boot[14] | boot[15] << 8) + boot[16] * (LeU64(boot, 0x24) & 0xFFFFFFFFu) +
            ((LeU64(boot, 0x2C) & 0xFFFFFFFFu) - 2) * spc + 1;
    std::map<std::string, std::string> healthy = DeletedByName(image);
    readfault::FailSectors(image, {{bad, 1}});
    std::map<std::string, std::string> failing = DeletedByName(image);
    readfault::Clear();
    EXPECT_GT(healthy.size(), 20u);
    // Only the entries in an unreadable folder sector (16 of them) may be lost.
    size_t lost = 0;
    for (const auto& h : healthy) {
      auto it = failing.find(h.first);
      lost += it == failing.end() || it->second != h.second;
    }
    EXPECT_LE(lost, std::string(c.what) == "root folder sector" ? 16u : 0u);
  }
  // A bad sector among the first the volume probe reads, or the boot sector
  // itself (its backup stands in), still gives the volume's quick engine.
  for (const char* name : {"fat32.img", "ntfs.img"}) {
    for (uint64_t bad : {uint64_t{0}, uint64_t{3}}) {
      SCOPED_TRACE(std::string(name) + " bad sector " + std::to_string(bad));
      std::string image = testimg::ImagePath(name);
      readfault::FailSectors(image, {{bad, 1}});
      std::wstring wide(image.begin(), image.end());
      std::unique_ptr<IFileRecoveryParse> engine(
          CFileRecoveryFactory::GetInstance()->CreateFileRecoveryInstance(&wide[0], L'C', RECOVERY_TYPE_FAST));
      readfault::Clear();
      const bool quick = name[0] == 'f' ? dynamic_cast<CFastFatRecovery*>(engine.get()) != nullptr
                                        : dynamic_cast<CFastNtfsRecovery*>(engine.get()) != nullptr;
      EXPECT_TRUE(quick);
    }
  }
}

namespace {

struct MAP_AREA {
  uint64_t pos, size;
  char status;
};

std::vector<MAP_AREA> MapAreas(const std::string& path) {
  DDRESCUE_MAP map;
  std::vector<uint8_t> text = testimg::ReadAt(path, 0, 1 << 20);
  EXPECT_TRUE(ParseDdrescueMap(std::string(text.begin(), text.end()), map)) << path;
  std::vector<MAP_AREA> out;
  for (const DDRESCUE_AREA& a : map.areas) out.push_back({a.u64Pos, a.u64Size, a.cStatus});
  return out;
}

}  // namespace

// Imaging a failing disk: everything readable copied, the bad sectors listed
// in a mapfile GNU ddrescue reads too, a stopped run going on from its map.
TEST(FailingDrive, ImagingCopiesAroundBadSectorsAndGoesOnFromItsMap) {
  Faults guard;
  std::string source = testimg::ImagePath("carve.img");
  std::string dir = testimg::MakeTempDir("failing-image");
  std::string out = dir + "/copy.img";
  readfault::FailSectors(source, {{300, 2}, {5000, 1}});
  {
    CDiskImager first;
    ASSERT_EQ(0, first.Open(source, out, ""));
    EXPECT_EQ(RECOVERY_CANCELLED, first.Run([](const IMAGE_PROGRESS&) { return false; }));
  }
  CDiskImager again;
  ASSERT_EQ(0, again.Open(source, out, ""));
  EXPECT_TRUE(again.Resumed());
  ASSERT_EQ(0, again.Run(nullptr));
  readfault::Clear();
  std::vector<MAP_AREA> areas = MapAreas(out + ".map");
  std::vector<MAP_AREA> bad;
  for (const MAP_AREA& a : areas) {
    EXPECT_TRUE(a.status == '+' || a.status == '-') << a.status;
    if (a.status == '-') bad.push_back(a);
  }
  ASSERT_EQ(2u, bad.size());
  EXPECT_TRUE(bad[0].pos == 300 * 512 && bad[0].size == 1024 && bad[1].pos == 5000 * 512 && bad[1].size == 512);
  struct stat st;
  ASSERT_EQ(0, stat(source.c_str(), &st));
  std::vector<uint8_t> src = testimg::ReadAt(source, 0, st.st_size), copy = testimg::ReadAt(out, 0, st.st_size);
  ASSERT_EQ(src.size(), copy.size());
  for (uint64_t s = 0; s < src.size() / 512; ++s) {
    bool isBad = s == 300 || s == 301 || s == 5000;
    std::vector<uint8_t> want = isBad ? std::vector<uint8_t>(512, 0)
                                      : std::vector<uint8_t>(src.begin() + s * 512, src.begin() + s * 512 + 512);
    ASSERT_TRUE(std::equal(want.begin(), want.end(), copy.begin() + s * 512)) << "sector " << s;
  }

  // GNU ddrescue's map, both ways: it starts and we finish, we start and it finishes.
  std::string ddOut = dir + "/dd.img", ddMap = dir + "/dd.map";
  int code = -1;
  testimg::RunCommand("ddrescue -q -s 1MiB " + testimg::ShellQuote(source) + " " + testimg::ShellQuote(ddOut) + " " +
                          testimg::ShellQuote(ddMap) + " 2>&1",
                      &code);
  ASSERT_EQ(0, code) << "ddrescue (package gddrescue) is needed";
  {
    // A scan of the partial image takes what was never read as unread.
    CScanSession session;
    ASSERT_EQ(0, session.OpenTarget(ddOut));
    ASSERT_EQ(0, session.Scan(false, nullptr));
    EXPECT_EQ((static_cast<uint64_t>(st.st_size) - (1 << 20)) / 512, session.UnreadableSectors());
  }
  CDiskImager finish;
  ASSERT_EQ(0, finish.Open(source, ddOut, ddMap));
  ASSERT_EQ(0, finish.Run(nullptr));
  EXPECT_EQ(testimg::Sha256File(source), testimg::Sha256File(ddOut));
  std::string ourOut = dir + "/ours.img";
  {
    CDiskImager start;
    ASSERT_EQ(0, start.Open(source, ourOut, ""));
    EXPECT_EQ(RECOVERY_CANCELLED, start.Run([](const IMAGE_PROGRESS&) { return false; }));
  }
  testimg::RunCommand("ddrescue -q " + testimg::ShellQuote(source) + " " + testimg::ShellQuote(ourOut) + " " +
                          testimg::ShellQuote(ourOut + ".map") + " 2>&1",
                      &code);
  EXPECT_EQ(0, code);
  EXPECT_EQ(testimg::Sha256File(source), testimg::Sha256File(ourOut));
  testimg::RemoveTree(dir);
}

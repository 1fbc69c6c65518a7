// The scan session both front ends call: the destination rule, listing and
// saving with its outcomes, on real images.
#include <fcntl.h>
#include <dirent.h>
#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <algorithm>
#include <map>
#include <tuple>
#include <sstream>

#include "engine/Status.h"
#include "carve/FileTypeRecovery.h"
#include "engine/TextUtil.h"
#include "scan/ProfessionalRecovery.h"
#include "scan/ScanSession.h"
#include "store/LogFileManager.h"
#include "support/TestFiles.h"
#include "support/TestImages.h"

namespace {

std::string Trim(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

bool Root() { return geteuid() == 0; }

// The manifest writes "/folder/name" ("/name" in the root).
std::string ManifestPath(const RESULT_ITEM& r) { return r.strFolder + r.strName; }

// A copy of an NTFS image, attached to loop devices and mounted, undone at the end.
class Destinations : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = testimg::MakeTempDir("session-dest");
    image_ = dir_ + "/card.img";
    testimg::RunCommand("cp " + testimg::ShellQuote(testimg::ImagePath("ntfs.img")) + " " + testimg::ShellQuote(image_));
  }
  void TearDown() override {
    for (auto it = mounts_.rbegin(); it != mounts_.rend(); ++it) testimg::RunCommand("umount " + *it + " 2>/dev/null");
    for (auto it = loops_.rbegin(); it != loops_.rend(); ++it) testimg::RunCommand("losetup -d " + *it + " 2>/dev/null");
    testimg::RemoveTree(dir_);
  }
  std::string Loop(const std::string& backing) {
    int code = 0;
    std::string dev = Trim(testimg::RunCommand("losetup -f --show " + testimg::ShellQuote(backing) + " 2>/dev/null", &code));
    if (code == 0 && !dev.empty()) loops_.push_back(dev);
    return code == 0 ? dev : std::string();
  }
  std::string Mount(const std::string& source, const std::string& name) {
    std::string point = dir_ + "/" + name;
    mkdir(point.c_str(), 0700);
    int code = 0;
    testimg::RunCommand("ntfs-3g " + testimg::ShellQuote(source) + " " + testimg::ShellQuote(point) + " 2>/dev/null",
                        &code);
    if (code != 0) return std::string();
    mounts_.push_back(point);
    return point;
  }
  std::string dir_, image_;
  std::vector<std::string> mounts_, loops_;
};

}  // namespace

TEST_F(Destinations, WritingIsRefusedWhereItCouldChangeTheScannedImage) {
  if (!Root()) GTEST_SKIP() << "loop devices and mounts need root";
  std::string fuse = Mount(image_, "fuse");  // ntfs-3g straight on the image file
  ASSERT_FALSE(fuse.empty());
  std::string loop = Loop(image_);
  ASSERT_FALSE(loop.empty());
  std::string stacked = Loop(loop);  // a loop device on the loop device
  ASSERT_FALSE(stacked.empty());
  ASSERT_EQ(0, link(image_.c_str(), (dir_ + "/hardlink.img").c_str()));

  CScanSession session;
  ASSERT_EQ(0, session.OpenTarget(image_));
  EXPECT_EQ(STATUS_DEST_ON_TARGET, session.CheckDestination(fuse + "/recovered"));
  EXPECT_EQ(STATUS_DEST_ON_TARGET, session.CheckReportPath(image_));
  EXPECT_EQ(STATUS_DEST_ON_TARGET, session.CheckReportPath(dir_ + "/hardlink.img"));
  EXPECT_EQ(STATUS_DEST_ON_TARGET, session.CheckReportPath(fuse + "/report.json"));
  EXPECT_EQ(STATUS_DEST_ON_TARGET, session.CheckReportPath(stacked));
  // The folder that merely holds the image is another matter.
  EXPECT_EQ(0, session.CheckDestination(dir_ + "/out"));
  EXPECT_EQ(0, session.CheckReportPath(dir_ + "/report.json"));

  // The scanned block device: a file system mounted from it is refused too.
  std::string onLoop = Mount(loop, "loopmount");
  if (onLoop.empty()) GTEST_SKIP() << "the image is already mounted once";
  CScanSession device;
  ASSERT_EQ(0, device.OpenTarget(loop));
  EXPECT_EQ(STATUS_DEST_ON_TARGET, device.CheckDestination(onLoop + "/x"));
  EXPECT_EQ(0, device.CheckDestination(dir_ + "/out"));
}

TEST(ScanSession, RefusesWhatIsNeitherADiskNorAnImage) {
  std::string dir = testimg::MakeTempDir("session-fifo");
  std::string fifo = dir + "/pipe";
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
  CScanSession session;
  EXPECT_EQ(STATUS_NOT_A_DISK, session.OpenTarget(fifo));
  EXPECT_EQ(STATUS_NOT_A_DISK, session.OpenTarget(dir));
  testimg::RemoveTree(dir);
}

TEST(ScanSession, SavesTheTreeIntoCategoriesAndSkipsWhatARerunFindsSaved) {
  testimg::Manifest m = testimg::LoadManifest("fat16.img");
  CScanSession session;
  ASSERT_EQ(0, session.OpenTarget(testimg::ImagePath("fat16.img")));
  ASSERT_EQ(0, session.Scan(false, nullptr));
  std::vector<RESULT_ITEM> all;
  ASSERT_EQ(0, session.Results(all));
  RESULT_FILTER deleted;
  deleted.eState = RESULT_FILTER::STATE_DELETED;
  std::vector<RESULT_ITEM> chosen;
  for (const RESULT_ITEM& r : all)
    if (MatchesFilter(deleted, r) && !r.IsCarved() && m.Find(ManifestPath(r))) chosen.push_back(r);
  ASSERT_GE(chosen.size(), 3u);

  std::string dest = testimg::MakeTempDir("session-save");
  SAVE_SUMMARY sum;
  std::vector<SAVE_OUTCOME> outcomes;
  SAVE_OPTIONS opts;
  opts.bHash = true;
  session.Save(chosen, dest, opts, nullptr, sum, &outcomes);
  ASSERT_EQ(chosen.size(), outcomes.size());
  size_t whole = 0;
  for (size_t i = 0; i < chosen.size(); ++i) {
    const testimg::ManifestFile* f = m.Find(ManifestPath(chosen[i]));
    std::string expect =
        dest + "/" + category::FolderOfFileName(chosen[i].strName.c_str()) + chosen[i].strFolder + chosen[i].strName;
    if (outcomes[i].nStatus != 0) continue;  // fragmented ones are partial; the integrity tests judge them
    ++whole;
    EXPECT_EQ(expect, outcomes[i].strPath);
    EXPECT_EQ(f->sha256, outcomes[i].strSha256) << expect;
    struct stat st;
    ASSERT_EQ(0, stat(expect.c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777);
  }
  EXPECT_GE(whole, 3u);
  EXPECT_EQ(sum.nSaved, whole);

  // The same recovery again: nothing is saved twice.
  SAVE_SUMMARY again;
  session.Save(chosen, dest, opts, nullptr, again, &outcomes);
  EXPECT_EQ(0u, again.nSaved);
  EXPECT_EQ(whole, again.nSkipped);

  // Two recoveries into one folder at once: each file gets a name of its own.
  CScanSession other;
  ASSERT_EQ(0, other.OpenTarget(testimg::ImagePath("fat16.img")));
  ASSERT_EQ(0, other.Scan(false, nullptr));
  std::vector<RESULT_ITEM> otherAll, otherChosen;
  ASSERT_EQ(0, other.Results(otherAll));
  for (const RESULT_ITEM& r : otherAll)
    if (MatchesFilter(deleted, r) && !r.IsCarved() && m.Find(ManifestPath(r))) otherChosen.push_back(r);
  std::string both = testimg::MakeTempDir("session-both");
  opts.bSkipSame = false;
  SAVE_SUMMARY s1, s2;
  std::vector<SAVE_OUTCOME> o1, o2;
  std::thread t([&] { other.Save(otherChosen, both, opts, nullptr, s2, &o2); });
  session.Save(chosen, both, opts, nullptr, s1, &o1);
  t.join();
  std::set<std::string> paths;
  for (const std::vector<SAVE_OUTCOME>* o : {&o1, &o2})
    for (const SAVE_OUTCOME& x : *o) {
      if (x.nStatus != 0) continue;
      EXPECT_TRUE(paths.insert(x.strPath).second) << x.strPath;
      EXPECT_EQ(x.strSha256, testimg::Sha256File(x.strPath)) << x.strPath;
    }
  EXPECT_EQ(2 * whole, paths.size());
  testimg::RemoveTree(both);
  testimg::RemoveTree(dest);
}

namespace {

// A support folder of the test's own, so scans recorded by tests running
// beside it do not mix with its own.
class RecordedScans : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = testimg::MakeTempDir("session-record");
    saved_ = getenv("TORVANE_SUPPORT_DIR") ? getenv("TORVANE_SUPPORT_DIR") : "";
    setenv("TORVANE_SUPPORT_DIR", (dir_ + "/support").c_str(), 1);
    // Only the images named are disks: loop devices attached by tests beside
    // this one must not renumber them between the scan and its reopening.
    setenv("TORVANE_DISKS", "", 1);
    CLogFileManager::GetInstance()->Reload();
  }
  void TearDown() override {
    unsetenv("TORVANE_DISKS");
    setenv("TORVANE_SUPPORT_DIR", saved_.c_str(), 1);
    CLogFileManager::GetInstance()->Reload();
    testimg::RemoveTree(dir_);
  }
  const RECORDED_SCAN* Find(u32 id) {
    scans_ = CScanSession::RecordedScans();
    for (const RECORDED_SCAN& s : scans_)
      if (s.nId == id) return &s;
    return nullptr;
  }
  std::string dir_, saved_;
  std::vector<RECORDED_SCAN> scans_;
};

std::vector<std::string> Listing(const std::vector<RESULT_ITEM>& items) {
  std::vector<std::string> out;
  for (const RESULT_ITEM& r : items)
    out.push_back(std::to_string(r.nId) + " " + r.strFolder + r.strName + " " + std::to_string(r.node.u64FileSize) +
                  " integrity " + std::to_string(r.node.nIntegrity) + " flags " + std::to_string(r.node.nResultFlags));
  return out;
}

}  // namespace

TEST_F(RecordedScans, AFinishedScanReopensWithTheSameResultsUntilItsImageChanges) {
  std::string image = dir_ + "/card.img";
  testimg::RunCommand("cp " + testimg::ShellQuote(testimg::ImagePath("fat16.img")) + " " + testimg::ShellQuote(image));
  CScanSession first;
  ASSERT_EQ(0, first.OpenTarget(image));
  ASSERT_EQ(0, first.Scan(false, nullptr));
  u32 id = first.ScanId();
  ASSERT_NE(0u, id);
  std::vector<RESULT_ITEM> scanned, reopened;
  first.Results(scanned);
  ASSERT_GT(scanned.size(), 10u);
  const RECORDED_SCAN* rec = Find(id);
  ASSERT_TRUE(rec);
  EXPECT_EQ(first.Target().strPath, rec->strTarget);
  EXPECT_EQ("whole disk", rec->strRangeName);
  EXPECT_TRUE(rec->bComplete);
  EXPECT_EQ(100, rec->nPercent);
  EXPECT_EQ(id, CScanSession::LatestScanOf(image));

  CScanSession again;
  ASSERT_EQ(0, again.OpenRecordedScan(id)) << again.ResumeRefusal();
  EXPECT_EQ(id, again.ScanId());
  again.Results(reopened);
  EXPECT_EQ(Listing(scanned), Listing(reopened));
  EXPECT_EQ(ENOENT, again.OpenRecordedScan(id + 100));

  // A changed image: the record no longer describes it and is dropped.
  int fd = open(image.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(1, pwrite(fd, "x", 1, 4096));
  close(fd);
  CScanSession stale;
  EXPECT_EQ(ESTALE, stale.OpenRecordedScan(id));
  EXPECT_FALSE(stale.ResumeRefusal().empty());
  EXPECT_FALSE(Find(id));
}

TEST_F(RecordedScans, AStoppedScanIsRecordedUnfinishedAndListsWhatItFound) {
  CScanSession session;
  ASSERT_EQ(0, session.OpenTarget(testimg::ImagePath("carve.img")));
  int reports = 0, lastPercent = 0;
  bool backwards = false;
  int st = session.Scan(false, [&](const SCAN_PROGRESS& p) {
    backwards = backwards || p.nPercent < lastPercent;
    lastPercent = p.nPercent;
    return p.ePhase != SCAN_PROGRESS::PHASE_DEEP || ++reports < 20;
  });
  ASSERT_EQ(RECOVERY_CANCELLED, st);
  EXPECT_FALSE(backwards);
  std::vector<RESULT_ITEM> found, reopened;
  session.Results(found);
  const RECORDED_SCAN* rec = Find(session.ScanId());
  ASSERT_TRUE(rec);
  EXPECT_FALSE(rec->bComplete);
  EXPECT_EQ(lastPercent, rec->nPercent);
  EXPECT_GT(rec->nPercent, 10);
  EXPECT_LT(rec->nPercent, 100);

  CScanSession again;
  ASSERT_EQ(0, again.OpenRecordedScan(rec->nId));
  again.Results(reopened);
  // Reopening reads at most one more chunk of the range.
  EXPECT_GE(reopened.size(), found.size());
  EXPECT_LE(reopened.size(), found.size() + 2);
  EXPECT_GT(found.size(), 3u);
}

// Everything a scan shows and records: each report of the deep pass, what it
// recorded, and the listing; a stopped scan is then resumed to its end.
// mapped: whether an image is mapped (else, as a block device: copied by
// the read-ahead thread with two threads, read by the pass with one).
std::vector<std::string> ScanTrace(const std::string& image, const char* threads, int stopAfter, bool mapped = true) {
  setenv("TORVANE_THREADS", threads, 1);
  setenv("TORVANE_MAP", mapped ? "1" : "0", 1);
  std::vector<std::string> trace;
  int reports = 0;
  auto observe = [&](const SCAN_PROGRESS& p) {
    if (p.ePhase != SCAN_PROGRESS::PHASE_DEEP) return true;
    trace.push_back(std::to_string(p.u64SectorsDone) + "/" + std::to_string(p.u64SectorsTotal) + " found " +
                    std::to_string(p.u64Found) + " " + std::to_string(p.nPercent) + "%");
    return stopAfter == 0 || ++reports < stopAfter;
  };
  for (bool resume : {false, true}) {
    if (resume && stopAfter == 0) break;
    CScanSession session;
    EXPECT_EQ(0, session.OpenTarget(image));
    int st = session.Scan(resume, observe);
    trace.push_back("status " + std::to_string(st) + " unreadable " + std::to_string(session.UnreadableSectors()));
    for (const RECORDED_SCAN& r : CScanSession::RecordedScans())
      if (r.nId == session.ScanId())
        trace.push_back("recorded " + std::to_string(r.nPercent) + "% found " + std::to_string(r.u64Found) +
                        (r.bComplete ? " complete" : ""));
    std::vector<RESULT_ITEM> items;
    session.Results(items);
    for (const std::string& line : Listing(items)) trace.push_back(line);
    stopAfter = 0;
  }
  unsetenv("TORVANE_THREADS");
  unsetenv("TORVANE_MAP");
  return trace;
}

TEST_F(RecordedScans, OneAndTwoThreadsScanFindRecordAndResumeAlike) {
  std::vector<std::string> names;
  if (DIR* d = opendir(testimg::ImagesDir().c_str())) {
    while (dirent* e = readdir(d)) {
      const std::string n = e->d_name;
      if (n.size() > 4 && n.compare(n.size() - 4, 4, ".img") == 0) names.push_back(n);
    }
    closedir(d);
  }
  EXPECT_GT(names.size(), 20u);
  for (const std::string& name : names) {
    const std::string image = testimg::ImagePath(name);
    // The image read once first: the kernel counts an unwritten extent (as
    // mke2fs leaves in its images) as a hole only until pages of it are
    // cached, and the pass steps over holes, so which reads came first would
    // otherwise decide where the reports fall.
    EXPECT_FALSE(testfiles::ReadAll(image).empty()) << name;
    // Every way the pass gets its sectors: read by itself, mapped as it
    // asks, mapped or copied by the read-ahead thread.
    std::vector<std::string> one = ScanTrace(image, "1", 0, false);
    EXPECT_GT(one.size(), 20u) << name;
    EXPECT_EQ(one, ScanTrace(image, "2", 0)) << name;
    EXPECT_EQ(one, ScanTrace(image, "2", 0, false)) << name;
    EXPECT_EQ(ScanTrace(image, "1", 9), ScanTrace(image, "2", 9)) << name;
  }
}

// A hole is stepped over in one go, so its chunks are not reported one by
// one: the reports compared are the last of each run of them.
std::vector<std::string> WithoutReportsInRuns(const std::vector<std::string>& trace) {
  std::vector<std::string> out;
  for (size_t i = 0; i < trace.size(); ++i) {
    const bool report = trace[i].find(" found ") != std::string::npos && trace[i].find('/') != std::string::npos;
    const bool nextReport = i + 1 < trace.size() && trace[i + 1].find(" found ") != std::string::npos &&
                            trace[i + 1].find('/') != std::string::npos;
    if (!report || !nextReport) out.push_back(trace[i]);
  }
  return out;
}

TEST_F(RecordedScans, AnImageWithHolesScansAsTheSameImageWrittenOut) {
  for (const char* name : {"carve.img", "fat16.img"}) {
    const std::string sparse = dir_ + "/sparse-" + name, full = dir_ + "/full-" + name;
    const std::string src = testimg::ShellQuote(testimg::ImagePath(name));
    testimg::RunCommand("cp --sparse=always " + src + " " + testimg::ShellQuote(sparse));
    testimg::RunCommand("cp --sparse=never " + src + " " + testimg::ShellQuote(full));
    EXPECT_EQ(WithoutReportsInRuns(ScanTrace(full, "1", 0)), WithoutReportsInRuns(ScanTrace(sparse, "2", 0))) << name;
  }
}

// The listing is sorted on disk in runs and merged. Sorted three items at a
// time (many runs, merged in more than one round) it must give exactly what
// one sort in memory gives: the same items, ids, counts and thumbnail marks;
// in folder, name and sector order; with a carved copy left out exactly when a
// file-system result of its extension starts at its sector (a camera's THM
// counting as a JPEG).
std::vector<std::string> FullListing(const std::vector<RESULT_ITEM>& items) {
  std::vector<std::string> out;
  for (const RESULT_ITEM& r : items)
    out.push_back(std::to_string(r.nId) + " " + r.strFolder + r.strName + " " + std::to_string(r.node.u64FileSize) +
                  " @" + std::to_string(r.u64FirstSector) + " p" + std::to_string(r.nPartition) + " k" +
                  std::to_string(r.eKind) + (r.IsDeleted() ? " deleted" : "") + (r.bThumbnail ? " thumb" : "") +
                  " " + std::to_string(r.tCaptured) + " " + std::to_string(r.nWidth) + "x" + std::to_string(r.nHeight));
  return out;
}

TEST_F(RecordedScans, ListingSortedInSmallRunsIsTheListingSortedAtOnce) {
  for (const char* name : {"demo.img", "carve.img", "meta.img", "ntfs.img", "gpt.img"}) {
    unsetenv("TORVANE_SORT_RUN_RECORDS");
    CScanSession session;
    ASSERT_EQ(0, session.OpenTarget(testimg::ImagePath(name))) << name;
    ASSERT_EQ(0, session.Scan(false, nullptr)) << name;
    std::vector<RESULT_ITEM> once;
    ASSERT_EQ(0, session.Results(once)) << name;
    std::shared_ptr<const CResultListing> listing = session.Listing();
    ASSERT_TRUE(listing) << name;
    EXPECT_EQ(once.size(), listing->Count()) << name;
    EXPECT_EQ(static_cast<size_t>(std::count_if(once.begin(), once.end(), [](const RESULT_ITEM& r) { return r.IsDeleted(); })),
              listing->DeletedCount()) << name;
    std::vector<RESULT_ITEM> marked = once;
    MarkThumbnails(marked);
    EXPECT_EQ(FullListing(marked), FullListing(once)) << name;
    for (size_t i = 1; i < once.size(); ++i) {
      const RESULT_ITEM &a = once[i - 1], &b = once[i];
      EXPECT_TRUE(std::tie(a.strFolder, a.strName, a.u64FirstSector) <= std::tie(b.strFolder, b.strName, b.u64FirstSector))
          << name << ": " << a.strFolder << a.strName << " before " << b.strFolder << b.strName;
    }

    // The duplicate rule, checked against every carved hit and every file-system result.
    auto* engine = static_cast<CProfessionalRecovery*>(session.Engine());
    std::set<std::pair<u64, std::string>> fsStarts;
    std::set<u32> listedCarved;
    auto ext = [](const std::string& n) {
      std::string e = n.find('.') == std::string::npos ? "" : n.substr(n.rfind('.') + 1);
      for (char& c : e) c = static_cast<char>(tolower(c));
      return e;
    };
    for (const RESULT_ITEM& r : once) {
      if (r.IsCarved()) listedCarved.insert(r.node.nFileIndex);
      else if (r.u64FirstSector) fsStarts.insert({r.u64FirstSector, ext(r.node.szFileName)});
    }
    SEARCH_FILE_INFO_VECTOR carved;
    bool kinds[category::COUNT];
    for (bool& k : kinds) k = true;
    std::wstring pattern = Utf8ToWide(category::SearchPattern(kinds));
    engine->GetFileTypeEngine()->SearchFileNode(&pattern[0], carved);
    size_t dropped = 0;
    for (const __SEARCH_FILE_INFO__& hit : carved) {
      const std::string e = ext(hit.szFileName);
      const bool copy = fsStarts.count({hit.u64RecordSector, e}) || (e == "jpg" && fsStarts.count({hit.u64RecordSector, "thm"}));
      EXPECT_NE(copy, listedCarved.count(hit.nFileIndex) == 1) << name << ": " << hit.szFileName;
      dropped += copy;
    }
    if (std::string(name) == "demo.img") {
      EXPECT_GT(dropped, 0u) << "demo.img has photos found both ways";
    }

    setenv("TORVANE_SORT_RUN_RECORDS", "3", 1);
    CScanSession runs;
    ASSERT_EQ(0, runs.OpenRecordedScan(session.ScanId())) << name;
    std::vector<RESULT_ITEM> merged;
    ASSERT_EQ(0, runs.Results(merged)) << name;
    unsetenv("TORVANE_SORT_RUN_RECORDS");
    EXPECT_EQ(FullListing(once), FullListing(merged)) << name;
    EXPECT_EQ(listing->DeletedCount(), runs.Listing()->DeletedCount()) << name;
  }
}

// The words a listing shows: states from the file systems (NTFS and FAT
// alike), formats from the carver's table.
TEST(ScanSessionWords, StatesMatchTheManifestsAndCarvedFormatsAreListed) {
  setenv("TORVANE_DISKS", "", 1);  // the images only, whatever loop devices come and go
  for (const char* name : {"ntfs.img", "fat16.img"}) {
    SCOPED_TRACE(name);
    testimg::Manifest m = testimg::LoadManifest(name);
    CScanSession session;
    ASSERT_EQ(0, session.OpenTarget(testimg::ImagePath(name)));
    ASSERT_EQ(0, session.Scan(false, nullptr));
    std::vector<RESULT_ITEM> all;
    session.Results(all);
    int checked = 0;
    for (const RESULT_ITEM& r : all)
      if (const testimg::ManifestFile* f = m.Find(ManifestPath(r))) {
        EXPECT_EQ(f->state == "deleted", r.IsDeleted()) << f->Path();
        ++checked;
      }
    EXPECT_GT(checked, 5);
  }
  std::map<std::string, category::Kind> formats;
  for (const FORMAT_INFO& f : CScanSession::CarvableFormats()) formats[f.strExt] = f.eKind;
  CScanSession carve;
  ASSERT_EQ(0, carve.OpenTarget(testimg::ImagePath("carve.img")));
  ASSERT_EQ(0, carve.Scan(false, nullptr));
  std::vector<RESULT_ITEM> carved;
  carve.Results(carved);
  ASSERT_GT(carved.size(), 20u);
  for (const RESULT_ITEM& r : carved) {
    std::string ext = r.strName.substr(r.strName.rfind('.') + 1);
    ASSERT_TRUE(formats.count(ext)) << r.strName;
    EXPECT_TRUE(r.IsDeleted()) << "a carved file is a lost one: " << r.strName;
  }
  unsetenv("TORVANE_DISKS");
}

// Partitions numbered within each disk, file systems and labels as blkid
// (an independent reader) sees them.
TEST(ScanSessionDisks, FileSystemsAndLabelsAsBlkidReadsThem) {
  if (testfiles::Run("command -v blkid >/dev/null") != 0) GTEST_SKIP() << "no blkid";
  std::string gpt = testimg::ImagePath("gpt.img"), mbr = testimg::ImagePath("mbr.img");
  std::string saved = getenv("TORVANE_DISKS") ? getenv("TORVANE_DISKS") : "";
  setenv("TORVANE_DISKS", (gpt + ":" + mbr).c_str(), 1);
  std::vector<DISK_INFO> disks = CScanSession::Disks();
  if (saved.empty()) unsetenv("TORVANE_DISKS"); else setenv("TORVANE_DISKS", saved.c_str(), 1);
  ASSERT_EQ(2u, disks.size());
  int labelled = 0;
  for (const DISK_INFO& d : disks) {
    EXPECT_EQ(0, d.nStatus);
    for (size_t i = 0; i < d.partitions.size(); ++i) {
      const DISK_PARTITION& p = d.partitions[i];
      EXPECT_EQ(static_cast<int>(i + 1), p.nIndex);
      if (d.strPath == mbr) {
        EXPECT_EQ("Partition " + std::to_string(i + 1), p.strName);
      }
      std::string out;
      testfiles::Run("blkid -p -O " + std::to_string(p.u64FirstSector * 512) + " -o export " +
                         testimg::ShellQuote(d.strPath),
                     &out);
      std::map<std::string, std::string> kv;
      std::istringstream in(out);
      std::string line;
      while (std::getline(in, line))
        if (line.find('=') != std::string::npos) kv[line.substr(0, line.find('='))] = line.substr(line.find('=') + 1);
      std::string type = kv["TYPE"] == "vfat" ? kv["VERSION"] : kv["TYPE"];
      for (char& c : type) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
      EXPECT_EQ(type, p.volume.strType) << d.strPath << " partition " << p.nIndex;
      EXPECT_EQ(kv["LABEL"], p.volume.strLabel) << d.strPath << " partition " << p.nIndex;
      labelled += !p.volume.strLabel.empty();
    }
  }
  EXPECT_GE(labelled, 5);
}

// The scan session both front ends call: the destination rule, listing and
// saving with its outcomes, on real images.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>

#include "engine/Status.h"
#include "scan/ScanSession.h"
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
  testimg::RemoveTree(dest);
}

// Run as root, another user's symbolic links in the folders we write to are
// never followed: category folders, the folders of a kept tree, the report,
// the support folder's scan log and a preview's temporary file.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "engine/DiskMap.h"
#include "engine/SafeFs.h"
#include "engine/Status.h"
#include "engine/TextUtil.h"
#include "scan/ScanSession.h"
#include "support/TestImages.h"

namespace {

class PlantedLinks : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "planting another user's links needs root";
    struct passwd* pw = getpwnam("nobody");
    if (!pw) GTEST_SKIP() << "no user nobody";
    nobody_ = pw->pw_uid;
    dir_ = testimg::MakeTempDir("planted");
    chmod(dir_.c_str(), 0755);
    // A folder only root may use: what the links point at.
    secret_ = dir_ + "/root-only";
    mkdir(secret_.c_str(), 0700);
    testimg::RunCommand("echo private > " + testimg::ShellQuote(secret_ + "/file"));
  }
  void TearDown() override {
    if (!dir_.empty()) testimg::RemoveTree(dir_);
    unsetenv("TORVANE_SUPPORT_DIR");
  }
  // A folder of nobody's, in which nobody plants links (and folders) by name.
  std::string NobodysFolder(const std::string& name, const std::vector<std::string>& links,
                            const std::vector<std::string>& folders = {}) {
    std::string d = dir_ + "/" + name;
    mkdir(d.c_str(), 0755);
    EXPECT_EQ(0, chown(d.c_str(), nobody_, static_cast<gid_t>(-1)));
    for (const std::string& f : folders) As("mkdir -p " + testimg::ShellQuote(d + "/" + f));
    for (const std::string& l : links) As("ln -s " + testimg::ShellQuote(secret_) + " " + testimg::ShellQuote(d + "/" + l));
    return d;
  }
  void As(const std::string& command) {
    int code = -1;
    testimg::RunCommand("runuser -u nobody -- sh -c " + testimg::ShellQuote(command) + " 2>&1", &code);
    EXPECT_EQ(0, code) << command;
  }
  // The root-only folder holds its one file, untouched.
  void ExpectSecretUntouched() {
    EXPECT_EQ("file\n", testimg::RunCommand("ls -A " + testimg::ShellQuote(secret_)));
    EXPECT_EQ("private\n", testimg::RunCommand("cat " + testimg::ShellQuote(secret_ + "/file")));
  }
  uid_t nobody_ = 0;
  std::string dir_, secret_;
};

}  // namespace

TEST_F(PlantedLinks, NothingIsWrittenOrDeletedThroughThem) {
  const char* categories[] = {"photo", "audio", "video", "document", "archive", "others"};
  std::string support = NobodysFolder("support", {"ScanLog"});
  setenv("TORVANE_SUPPORT_DIR", support.c_str(), 1);
  {
    // The scan record would go into the linked folder: refused, in words.
    CScanSession session;
    ASSERT_EQ(0, session.OpenTarget(testimg::ImagePath("fat16.img")));
    int st = session.Scan(false, nullptr);
    EXPECT_EQ(STATUS_UNSAFE_PATH, st) << StatusText(st);
  }
  ExpectSecretUntouched();

  std::string cleanSupport = dir_ + "/support-ok";
  setenv("TORVANE_SUPPORT_DIR", cleanSupport.c_str(), 1);
  CScanSession session;
  ASSERT_EQ(0, session.OpenTarget(testimg::ImagePath("fat16.img")));
  ASSERT_EQ(0, session.Scan(false, nullptr));
  std::vector<RESULT_ITEM> results;
  ASSERT_EQ(0, session.Results(results));
  ASSERT_GT(results.size(), 10u);

  // Every category folder a link; then real category folders whose sub-folders are links.
  std::vector<std::string> all(std::begin(categories), std::end(categories));
  std::string flat = NobodysFolder("dest-categories", all);
  std::vector<std::string> subLinks, realFolders;
  for (const char* c : categories) {
    realFolders.push_back(c);
    for (const RESULT_ITEM& r : results)
      if (!r.strFolder.empty() && r.strFolder != "/") {
        std::string first = r.strFolder.substr(1, r.strFolder.find('/', 1) - 1);
        subLinks.push_back(std::string(c) + "/" + MakeSafePathComponent(first));
      }
  }
  std::sort(subLinks.begin(), subLinks.end());
  subLinks.erase(std::unique(subLinks.begin(), subLinks.end()), subLinks.end());
  ASSERT_FALSE(subLinks.empty());
  std::string tree = NobodysFolder("dest-tree", subLinks, realFolders);
  for (const std::string& dest : {flat, tree}) {
    SCOPED_TRACE(dest);
    SAVE_SUMMARY sum;
    std::vector<SAVE_OUTCOME> out;
    session.Save(results, dest, SAVE_OPTIONS(), nullptr, sum, &out);
    size_t refused = 0;
    for (const SAVE_OUTCOME& o : out) refused += o.nStatus == STATUS_UNSAFE_PATH;
    EXPECT_GT(refused, 0u);
  }
  ExpectSecretUntouched();

  // A report at a link replaces the link, never the file it points to.
  std::string reports = NobodysFolder("reports", {});
  As("ln -s " + testimg::ShellQuote(secret_ + "/file") + " " + testimg::ShellQuote(reports + "/report.json"));
  EXPECT_EQ(0, WriteFileAtomically(reports + "/report.json", "{}\n"));
  ExpectSecretUntouched();

  // Saved files and folders are private and belong to the invoking user.
  SetInvokingUser(nobody_, static_cast<gid_t>(-1));
  std::string mine = dir_ + "/mine";
  SAVE_SUMMARY sum;
  std::vector<SAVE_OUTCOME> out;
  std::vector<RESULT_ITEM> one(results.begin(), results.begin() + 1);
  for (const RESULT_ITEM& r : results)
    if (!r.strFolder.empty() && r.strFolder != "/" && !r.node.bIsDir) one = {r};
  EXPECT_EQ(0, session.Save(one, mine, SAVE_OPTIONS(), nullptr, sum, &out));
  SetInvokingUser(geteuid(), getegid());
  ASSERT_EQ(1u, out.size());
  struct stat st;
  ASSERT_EQ(0, stat(out[0].strPath.c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 07777);
  EXPECT_EQ(nobody_, st.st_uid);
  std::string folder = out[0].strPath.substr(0, out[0].strPath.rfind('/'));
  ASSERT_EQ(0, stat(folder.c_str(), &st));
  EXPECT_EQ(0700u, st.st_mode & 07777);
  EXPECT_EQ(nobody_, st.st_uid);
}

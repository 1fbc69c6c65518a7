// `torvane scan` run as a program on the built images: what it recovers is
// compared with the images' ground truth, not with earlier output of ours.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/TestFiles.h"
#include "support/TestImages.h"

namespace {

std::string Binary() {
  const char* dir = getenv("TORVANE_BINARY_DIR");
  return std::string(dir && *dir ? dir : ".") + "/cli/torvane";
}

struct ScanRun {
  int code = -1;
  std::string out, err;
};

class ScanCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    m_dir = testimg::MakeTempDir("cli-scan");
    m_support = m_dir + "/support";
  }
  void TearDown() override { testimg::RemoveTree(m_dir); }

  ScanRun Scan(const std::string& args, const std::string& env = "") {
    std::string errFile = m_dir + "/stderr";
    ScanRun r;
    r.out = testimg::RunCommand("TORVANE_SUPPORT_DIR=" + testimg::ShellQuote(m_support) + " " + env + " " +
                                    testimg::ShellQuote(Binary()) + " scan " + args + " 2>" +
                                    testimg::ShellQuote(errFile),
                                &r.code);
    auto err = testfiles::ReadAll(errFile);
    r.err.assign(err.begin(), err.end());
    return r;
  }

  bool Exists(const std::string& p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0;
  }

  // The recovery folder a file of this extension goes to.
  static std::string Category(const std::string& type) {
    static const std::map<std::string, std::string> m = {
        {"jpg", "photo"},    {"png", "photo"},    {"gif", "photo"},       {"bmp", "photo"},
        {"pdf", "document"}, {"doc", "document"}, {"docx", "document"},   {"xlsx", "document"},
        {"txt", "document"}, {"zip", "archive"},  {"mp3", "audio"},       {"avi", "video"},
        {"bin", "others"},
    };
    auto it = m.find(type);
    return it == m.end() ? "" : it->second;
  }

  std::string m_dir, m_support;
};

// A partition scan runs the quick engine of its file system first, so every
// deleted file keeps its name and lands whole in its category folder.
TEST_F(ScanCommand, PartitionScansRecoverEveryDeletedFileByName) {
  const std::string mbr = testimg::ImagePath("mbr.img"), gpt = testimg::ImagePath("gpt.img");
  const std::string gpt4k = testimg::ImagePath("gpt4k.img");  // 4 KiB sectors, FAT with 4 KiB sectors
  const std::string beforeMbr = testimg::Sha256File(mbr), beforeGpt = testimg::Sha256File(gpt);
  struct { const char* manifest; std::string image; int k; } parts[] = {
      {"mbr.img.p1", mbr, 1}, {"mbr.img.p2", mbr, 2}, {"mbr.img.p6", mbr, 4}, {"gpt.img.p2", gpt, 2},
      {"gpt4k.img.p1", gpt4k, 1}};
  for (auto& p : parts) {
    SCOPED_TRACE(p.manifest);
    const std::string& image = p.image;
    testimg::Manifest m = testimg::LoadManifest(p.manifest);
    std::string dest = m_dir + "/out" + std::to_string(p.k);
    ScanRun r = Scan(testimg::ShellQuote(image) + " --partition " + std::to_string(p.k) + " --recover " +
                     testimg::ShellQuote(dest) + " --report " + testimg::ShellQuote(dest + ".json"));
    ASSERT_EQ(0, r.code) << r.err;
    int checked = 0;
    std::vector<std::pair<std::string, int64_t>> reported;  // saved name, first data sector
    for (const auto& f : m.files) {
      if (f.state != "deleted" || f.name.find(':') != std::string::npos) continue;
      if (f.HasTag("overwritten") || !f.Contiguous()) continue;
      std::string cat = Category(f.type);
      if (cat.empty()) continue;
      // Short-name-only files come back with "!" for the lost first letter,
      // the rest as the manifest names them.
      std::string name = f.name;
      std::string path = dest + "/" + cat + "/" + name;
      if (!Exists(path) && name.size() <= 12) path = dest + "/" + cat + "/!" + name.substr(1);
      ASSERT_TRUE(Exists(path)) << f.Path() << " expected at " << path << "\n" << r.out;
      EXPECT_EQ(f.sha256, testimg::Sha256File(path)) << f.Path();
      reported.push_back({path.substr(path.rfind('/') + 1), f.firstSector});
      ++checked;
    }
    EXPECT_GT(checked, 2);
    // The report names what was saved, with the saved file's digest.
    std::ifstream rep(dest + ".json");
    std::stringstream text;
    text << rep.rdbuf();
    EXPECT_NE(std::string::npos, text.str().find("\"sha256\": \"")) << text.str().substr(0, 400);
    // Each saved file's line gives its first data sector on the disk.
    for (const auto& [name, sector] : reported) {
      bool found = false;
      std::istringstream in(text.str());
      std::string line;
      while (std::getline(in, line))
        if (line.find("/" + name + "\"") != std::string::npos &&
            line.find("\"firstSector\": " + std::to_string(sector) + ",") != std::string::npos)
          found = true;
      EXPECT_TRUE(found) << name << " at sector " << sector;
    }
  }
  EXPECT_EQ(beforeMbr, testimg::Sha256File(mbr)) << "the scanned image changed";
  EXPECT_EQ(beforeGpt, testimg::Sha256File(gpt)) << "the scanned image changed";
}

// Without a file system the carver finds the files; a file found both by
// the file system and by carving is listed once.
TEST_F(ScanCommand, CarvingImageAndDuplicates) {
  const std::string carve = testimg::ImagePath("carve.img");
  testimg::Manifest m = testimg::LoadManifest("carve.img");
  ScanRun r = Scan(testimg::ShellQuote(carve) + " --recover " + testimg::ShellQuote(m_dir + "/c"));
  ASSERT_EQ(0, r.code) << r.err;
  std::set<std::string> starts;
  std::istringstream lines(r.out);
  std::string line;
  while (std::getline(lines, line)) {
    size_t dot = line.find('.');
    if (line.find("\tcarved\t") != std::string::npos && dot != std::string::npos)
      starts.insert(line.substr(0, dot));
  }
  int found = 0, expected = 0;
  for (const auto& f : m.files) {
    if (!f.HasTag("clean-end") || f.type == "txt" || f.type == "rar") continue;
    // An MP3 is recognised by its ID3 tag; bare frames have no signature.
    if (f.type == "mp3" && testimg::ReadAt(f.samplePath, 0, 3) != std::vector<uint8_t>{'I', 'D', '3'}) continue;
    ++expected;
    if (starts.count(std::to_string(f.firstSector))) ++found;
    else ADD_FAILURE() << "not carved: " << f.name << " (" << f.type << ") at sector " << f.firstSector;
  }
  EXPECT_GT(expected, 20);
  EXPECT_EQ(expected, found);

  // demo.img: deleted photos are found through the FAT and by carving, but listed once.
  ScanRun d = Scan(testimg::ShellQuote(testimg::ImagePath("demo.img")) + " --types photo");
  ASSERT_EQ(0, d.code) << d.err;
  EXPECT_NE(std::string::npos, d.out.find("Photos/Beach.jpg\t"));
  EXPECT_EQ(std::string::npos, d.out.find("\tcarved\t")) << d.out;
  EXPECT_EQ(std::string::npos, d.out.find(".pdf")) << "--types photo must not list documents";
}

// Ctrl-C stops the scan with status 130 and a record of where it stopped; the
// same command with --resume ends with the same findings as one whole scan.
TEST_F(ScanCommand, InterruptedScanResumesToTheSameResult) {
  const std::string carve = testimg::ShellQuote(testimg::ImagePath("carve.img"));
  ScanRun stopped = Scan(carve, "TORVANE_INTERRUPT_AFTER_CHUNKS=15");
  ASSERT_EQ(130, stopped.code) << stopped.err;
  EXPECT_NE(std::string::npos, stopped.err.find("--resume"));
  EXPECT_TRUE(Exists(m_support + "/ScanLog/config"));
  ScanRun resumed = Scan(carve + " --resume");
  ASSERT_EQ(0, resumed.code) << resumed.err;
  EXPECT_NE(std::string::npos, resumed.err.find("Resuming"));

  testimg::RemoveTree(m_support);
  ScanRun whole = Scan(carve);
  ASSERT_EQ(0, whole.code) << whole.err;
  auto sorted = [](const std::string& s) {
    std::multiset<std::string> out;
    std::istringstream in(s);
    std::string l;
    while (std::getline(in, l)) out.insert(l);
    return out;
  };
  EXPECT_GT(sorted(whole.out).size(), 20u);
  EXPECT_EQ(sorted(whole.out), sorted(resumed.out));
}

// A whole-disk scan meets the NTFS volume's own metadata records; they are
// not files anybody lost, and saving everything listed must succeed.
TEST_F(ScanCommand, WholeDiskScanListsNoFileSystemMetadata) {
  ScanRun r = Scan(testimg::ShellQuote(testimg::ImagePath("mbr.img")) + " --recover " +
                   testimg::ShellQuote(m_dir + "/whole"));
  ASSERT_EQ(0, r.code) << r.err;
  std::istringstream lines(r.out);
  std::string line;
  int listed = 0;
  while (std::getline(lines, line)) {
    ++listed;
    std::string name = line.substr(0, line.find('\t'));
    name = name.substr(name.rfind('/') + 1);
    EXPECT_NE('$', name.empty() ? ' ' : name[0]) << line;
  }
  EXPECT_GT(listed, 10);
  EXPECT_NE(std::string::npos, r.err.find(" 0 failed"));
}

// A destination inside the mounted image being scanned lies on that image.
TEST_F(ScanCommand, RefusesADestinationOnTheMountedImage) {
  std::string image = testimg::CopyToTemp(testimg::ImagePath("ext4.img"), "cli-mounted");
  std::string mnt = m_dir + "/mnt";
  testfiles::Run("mkdir -p " + testimg::ShellQuote(mnt));
  if (testfiles::Run("mount -o loop " + testimg::ShellQuote(image) + " " + testimg::ShellQuote(mnt) + " 2>/dev/null") !=
      0) {
    testimg::RemoveTree(image.substr(0, image.rfind('/')));
    GTEST_SKIP() << "loop mounts are not allowed here";
  }
  ScanRun onImage = Scan(testimg::ShellQuote(image) + " --recover " + testimg::ShellQuote(mnt + "/out"));
  ScanRun elsewhere = Scan(testimg::ShellQuote(image) + " --recover " + testimg::ShellQuote(m_dir + "/out"));
  testfiles::Run("umount " + testimg::ShellQuote(mnt));
  testimg::RemoveTree(image.substr(0, image.rfind('/')));
  EXPECT_EQ(1, onImage.code);
  EXPECT_NE(std::string::npos, onImage.err.find("lies on the disk being scanned")) << onImage.err;
  EXPECT_EQ(0, elsewhere.code) << elsewhere.err;
}

TEST_F(ScanCommand, ClearErrorsForBadTargetsAndDestinations) {
  ScanRun missing = Scan("/nonexistent/disk.img");
  EXPECT_EQ(1, missing.code);
  EXPECT_NE(std::string::npos, missing.err.find("cannot open"));

  ScanRun noPart = Scan(testimg::ShellQuote(testimg::ImagePath("mbr.img")) + " --partition 9");
  EXPECT_EQ(1, noPart.code);
  EXPECT_NE(std::string::npos, noPart.err.find("no partition 9"));

  std::string file = m_dir + "/plainfile";
  testfiles::WriteAll(file, "x", 1);
  ScanRun badDest = Scan(testimg::ShellQuote(testimg::ImagePath("demo.img")) + " --recover " +
                         testimg::ShellQuote(file + "/sub"));
  EXPECT_EQ(1, badDest.code);
  EXPECT_NE(std::string::npos, badDest.err.find("cannot create"));

  ScanRun usage = Scan("--types pictures x.img");
  EXPECT_EQ(2, usage.code);
}

}  // namespace

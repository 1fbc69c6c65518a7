// `torvane scan` run as a program on the built images: what it recovers is
// compared with the images' ground truth, not with earlier output of ours.
#include <algorithm>
#include <fstream>
#include <map>
#include <set>

#include "CliRun.h"
#include "engine/Categories.h"

namespace {

using cli::CliTest;
using cli::Exists;

// Short-name-only files come back with "!" for the lost first letter.
std::string SavedName(const std::string& dir, const std::string& name) {
  if (Exists(dir + "/" + name)) return name;
  std::string lost = name;
  lost[0] = '!';
  return lost;
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class ScanCommand : public CliTest {};

// A partition scan runs the quick engine of its file system first, so every
// deleted file keeps its name and lands whole in its category folder
// (--flat: without its original folders).
TEST_F(ScanCommand, PartitionScansRecoverEveryDeletedFileByName) {
  const std::string mbr = testimg::ImagePath("mbr.img"), gpt = testimg::ImagePath("gpt.img");
  const std::string beforeMbr = testimg::Sha256File(mbr), beforeGpt = testimg::Sha256File(gpt);
  struct { const char* manifest; std::string image; int k; } parts[] = {
      {"mbr.img.p1", mbr, 1}, {"mbr.img.p2", mbr, 2}, {"mbr.img.p6", mbr, 4}, {"gpt.img.p2", gpt, 2}};
  for (auto& p : parts) {
    SCOPED_TRACE(p.manifest);
    testimg::Manifest m = testimg::LoadManifest(p.manifest);
    std::string dest = dir_ + "/out" + std::to_string(p.k);
    cli::RUN r = Run("scan " + Q(p.image) + " --partition " + std::to_string(p.k) + " --flat -r " + Q(dest) + " -o " +
                     Q(dest + ".json"));
    ASSERT_EQ(0, r.code) << r.err;
    std::string report = ReadText(dest + ".json");
    int checked = 0;
    for (const auto& f : m.files) {
      if (f.state != "deleted" || f.name.find(':') != std::string::npos) continue;
      if (f.HasTag("overwritten") || !f.Contiguous()) continue;
      std::string folder = dest + "/" + category::FolderOfFileName(f.name.c_str());
      std::string path = folder + "/" + SavedName(folder, f.name);
      ASSERT_TRUE(Exists(path)) << f.Path() << " expected at " << path << "\n" << r.out;
      EXPECT_EQ(f.sha256, testimg::Sha256File(path)) << f.Path();
      // The report's line of the file: its first data sector and the saved file's digest.
      bool found = false;
      for (const std::string& line : cli::JsonResults(report))
        if (cli::JsonField(line, "savedPath") == path)
          found = cli::JsonField(line, "firstSector") == std::to_string(f.firstSector) &&
                  cli::JsonField(line, "sha256") == f.sha256 && cli::JsonField(line, "status") == "saved";
      EXPECT_TRUE(found) << path;
      ++checked;
    }
    EXPECT_GT(checked, 2);
  }
  EXPECT_EQ(beforeMbr, testimg::Sha256File(mbr)) << "the scanned image changed";
  EXPECT_EQ(beforeGpt, testimg::Sha256File(gpt)) << "the scanned image changed";
}

// Without a file system the carver finds the files; a file found both by
// the file system and by carving is listed once. Carved files have no folder.
TEST_F(ScanCommand, CarvingImageAndDuplicates) {
  testimg::Manifest m = testimg::LoadManifest("carve.img");
  ASSERT_EQ(0, Run("scan " + Img("carve.img") + " -q").code);
  cli::RUN l = Run("list");
  ASSERT_EQ(0, l.code) << l.err;
  std::set<std::string> starts;
  for (const cli::ROW& row : cli::Rows(l.out)) {
    EXPECT_NE('/', row.path[0]) << row.path;
    EXPECT_EQ("deleted", row.state) << "a carved file is a lost one";
    // "<sector>.<ext>", or "<from its metadata> (<sector>).<ext>".
    const size_t open = row.path.rfind(" ("), close = row.path.rfind(").");
    starts.insert(open != std::string::npos && close > open ? row.path.substr(open + 2, close - open - 2)
                                                            : row.path.substr(0, row.path.find('.')));
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
  ASSERT_EQ(0, Run("scan " + Img("demo.img") + " -q").code);
  cli::RUN d = Run("list --types photo");
  ASSERT_EQ(0, d.code) << d.err;
  std::vector<cli::ROW> rows = cli::Rows(d.out);
  EXPECT_EQ(1, std::count_if(rows.begin(), rows.end(), [](const cli::ROW& r) { return r.path == "/Photos/Beach.jpg"; }));
  for (const cli::ROW& row : rows) {
    EXPECT_EQ('/', row.path[0]) << "listed twice, once carved: " << row.path;
    EXPECT_EQ(std::string::npos, row.path.find(".pdf")) << "--types photo must not list documents";
  }
}

// Ctrl-C stops the scan with status 130 (SIGTERM: 143) and a record of where
// it stopped; --resume ends with the same findings as one whole scan.
TEST_F(ScanCommand, InterruptedScanResumesToTheSameResult) {
  const std::string carve = Img("carve.img");
  cli::RUN term = Run("scan " + carve, "TORVANE_INTERRUPT_AFTER_CHUNKS=10 TORVANE_INTERRUPT_SIGNAL=15");
  EXPECT_EQ(143, term.code) << term.err;
  cli::RUN stopped = Run("scan " + carve, "TORVANE_INTERRUPT_AFTER_CHUNKS=15");
  ASSERT_EQ(130, stopped.code) << stopped.err;
  EXPECT_NE(std::string::npos, stopped.err.find("--resume"));
  EXPECT_NE(std::string::npos, Run("scans").out.find("stopped")) << "the stopped scan is recorded";
  cli::RUN resumed = Run("scan " + carve + " --resume");
  ASSERT_EQ(0, resumed.code) << resumed.err;
  EXPECT_NE(std::string::npos, resumed.err.find("Resumed"));
  std::string resumedList = Run("list --all").out;

  testimg::RemoveTree(support_);
  ASSERT_EQ(0, Run("scan " + carve).code);
  std::string wholeList = Run("list --all").out;
  EXPECT_GT(cli::Rows(wholeList).size(), 20u);
  EXPECT_EQ(wholeList, resumedList);
}

// A whole-disk scan meets the NTFS volume's own metadata records; they are
// not files anybody lost, and saving everything listed must succeed.
TEST_F(ScanCommand, WholeDiskScanListsNoFileSystemMetadata) {
  cli::RUN r = Run("scan " + Img("mbr.img") + " --all --recover " + Q(dir_ + "/whole"));
  ASSERT_EQ(0, r.code) << r.err;
  EXPECT_NE(std::string::npos, r.err.find(" 0 failed")) << r.err;
  std::vector<cli::ROW> rows = cli::Rows(Run("list --all").out);
  EXPECT_GT(rows.size(), 10u);
  for (const cli::ROW& row : rows) EXPECT_EQ(std::string::npos, row.path.find("/$")) << row.path;
}

// A destination inside the mounted image being scanned lies on that image,
// and the refusal says so in words before anything is scanned.
TEST_F(ScanCommand, RefusesADestinationOnTheMountedImage) {
  std::string image = testimg::CopyToTemp(testimg::ImagePath("ext4.img"), "cli-mounted");
  std::string mnt = dir_ + "/mnt";
  testfiles::Run("mkdir -p " + Q(mnt));
  if (testfiles::Run("mount -o loop " + Q(image) + " " + Q(mnt) + " 2>/dev/null") != 0) {
    testimg::RemoveTree(image.substr(0, image.rfind('/')));
    GTEST_SKIP() << "loop mounts are not allowed here";
  }
  cli::RUN onImage = Run("scan " + Q(image) + " --recover " + Q(mnt + "/out"));
  cli::RUN report = Run("scan " + Q(image) + " --report " + Q(mnt + "/report.json"));
  cli::RUN elsewhere = Run("scan " + Q(image) + " --recover " + Q(dir_ + "/out"));
  testfiles::Run("umount " + Q(mnt));
  testimg::RemoveTree(image.substr(0, image.rfind('/')));
  EXPECT_EQ(1, onImage.code);
  EXPECT_NE(std::string::npos, onImage.err.find("cannot recover into '" + mnt + "/out': it lies on the disk being "
                                                "scanned, and writing there would overwrite"))
      << onImage.err;
  EXPECT_EQ(std::string::npos, onImage.err.find("Scanning")) << "refused before the scan";
  EXPECT_EQ(1, report.code);
  EXPECT_NE(std::string::npos, report.err.find("lies on the disk being scanned")) << report.err;
  EXPECT_EQ(0, elsewhere.code) << elsewhere.err;
}

// Errors name the file and the reason in words, never a status number.
TEST_F(ScanCommand, ClearErrorsForBadTargetsAndDestinations) {
  cli::RUN missing = Run("scan /nonexistent/disk.img");
  EXPECT_EQ(1, missing.code);
  EXPECT_NE(std::string::npos, missing.err.find("cannot open '/nonexistent/disk.img': no such file or directory"))
      << missing.err;

  cli::RUN noPart = Run("scan " + Img("mbr.img") + " --partition 9");
  EXPECT_EQ(1, noPart.code);
  EXPECT_NE(std::string::npos, noPart.err.find("has no partition 9 (it has 5")) << noPart.err;

  std::string file = dir_ + "/plainfile";
  testfiles::WriteAll(file, "x", 1);
  cli::RUN badDest = Run("scan " + Img("demo.img") + " --recover " + Q(file + "/sub"));
  EXPECT_EQ(1, badDest.code);
  EXPECT_NE(std::string::npos, badDest.err.find("cannot recover into '" + file + "/sub': not a directory"))
      << badDest.err;

  for (const cli::RUN& r : {missing, noPart, badDest}) EXPECT_EQ(std::string::npos, r.err.find("status")) << r.err;
  EXPECT_EQ(2, Run("scan --types pictures x.img").code);
  cli::RUN empty = Run("scan " + Img("demo.img") + " --types ''");
  EXPECT_EQ(2, empty.code) << "an empty category list is a mistake, not an empty scan";
  EXPECT_NE(std::string::npos, empty.err.find("--types needs at least one")) << empty.err;
}

}  // namespace

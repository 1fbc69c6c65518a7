// `torvane disks` run as a separate program on the built whole-disk images:
// what it prints must match what sfdisk, sgdisk and parted recorded.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "engine/TextUtil.h"
#include "support/TestFiles.h"
#include "support/TestImages.h"

namespace {

std::string Binary() {
  const char* dir = getenv("TORVANE_BINARY_DIR");
  return std::string(dir && *dir ? dir : ".") + "/cli/torvane";
}

struct RunResult {
  int code = -1;
  std::string out, err;
};

// Runs torvane with TORVANE_DISKS set to disks (unset when null).
RunResult Torvane(const std::string& args, const char* disks) {
  std::string dir = testfiles::FreshDir("cli-disks");
  std::string errFile = dir + "/stderr";
  std::string env = disks ? "TORVANE_DISKS=" + testimg::ShellQuote(disks) + " " : "";
  RunResult r;
  r.out = testimg::RunCommand(env + testimg::ShellQuote(Binary()) + " " + args + " 2>" + testimg::ShellQuote(errFile),
                              &r.code);
  std::vector<unsigned char> err = testfiles::ReadAll(errFile);
  r.err.assign(err.begin(), err.end());
  testimg::RemoveTree(dir);
  return r;
}

struct Line {
  int disk, index;
  uint64_t first, last;
  std::string size, name;
};

struct Listing {
  std::map<int, std::string> diskLines;  // disk number -> rest of its line
  std::vector<Line> parts;
  std::vector<std::string> unparsed;
};

Listing Parse(const std::string& out) {
  static const std::regex kDisk(R"(^Physical Driver (\d+)  (.*)$)");
  static const std::regex kPart(R"(^    (\d+)\.(\d+)  (\d+)\.\.(\d+)  (\S+ \S+)  (.*)$)");
  Listing l;
  std::istringstream in(out);
  std::string s;
  std::smatch m;
  while (std::getline(in, s)) {
    if (std::regex_match(s, m, kDisk)) {
      l.diskLines[std::stoi(m[1])] = m[2];
    } else if (std::regex_match(s, m, kPart)) {
      l.parts.push_back({std::stoi(m[1]), std::stoi(m[2]), std::stoull(m[3]), std::stoull(m[4]), m[5], m[6]});
    } else {
      l.unparsed.push_back(s);
    }
  }
  return l;
}

std::vector<Line> PartsOf(const Listing& l, int disk) {
  std::vector<Line> out;
  for (const auto& p : l.parts)
    if (p.disk == disk) out.push_back(p);
  return out;
}

// Compares the lines of one disk with a manifest's partitions (extended
// containers left out); MBR names are "Partition N" running on from nNumber.
void ExpectDiskMatches(const Listing& l, int disk, const std::string& image, bool bNumbered, int& nNumber) {
  SCOPED_TRACE(image);
  testimg::Manifest m = testimg::LoadManifest(image);
  std::vector<Line> got = PartsOf(l, disk);
  size_t i = 0;
  for (const auto& p : m.partitions) {
    if (p.fs == "extended") continue;
    ASSERT_LT(i, got.size()) << "missing partition " << p.index;
    const Line& g = got[i];
    EXPECT_EQ(static_cast<int>(i + 1), g.index);
    EXPECT_EQ(p.firstSector, g.first) << "partition " << p.index;
    EXPECT_EQ(p.lastSector, g.last) << "partition " << p.index;
    EXPECT_EQ(GetFileSizeString(static_cast<i64>((p.lastSector - p.firstSector + 1) * 512)), g.size);
    EXPECT_EQ(bNumbered ? "Partition " + std::to_string(nNumber++) : p.name, g.name);
    ++i;
  }
  EXPECT_EQ(i, got.size());
}

}  // namespace

TEST(CliDisks, ListsEveryDiskOfTheMapAsTheManifestsSay) {
  std::string disks = testimg::ImagePath("mbr.img") + ":" + testimg::ImagePath("gpt.img") + ":" +
                      testimg::ImagePath("apple.img") + ":" + testimg::ImagePath("mbr-loop.img");
  RunResult r = Torvane("disks", disks.c_str());
  ASSERT_EQ(0, r.code) << r.err;
  EXPECT_EQ("", r.err);
  Listing l = Parse(r.out);
  EXPECT_TRUE(l.unparsed.empty()) << r.out;
  ASSERT_EQ(4u, l.diskLines.size()) << r.out;
  EXPECT_EQ(testimg::ImagePath("gpt.img") + "  50.00 MB", l.diskLines[1]);
  int nNumber = 1;
  ExpectDiskMatches(l, 0, "mbr.img", true, nNumber);
  int nAfterMbr = nNumber;
  ExpectDiskMatches(l, 1, "gpt.img", false, nNumber);
  ExpectDiskMatches(l, 2, "apple.img", false, nNumber);
  nNumber = nAfterMbr;
  ExpectDiskMatches(l, 3, "mbr-loop.img", true, nNumber);
}

TEST(CliDisks, ImagesOnTheCommandLineBecomeDisks) {
  // With an empty map the images are disks 0 and 1; a disk without a table
  // still gets its line.
  std::string dir = testfiles::FreshDir("cli-blank");
  std::string blank = dir + "/blank.img";
  std::vector<unsigned char> zeros(64 * 512, 0);
  ASSERT_TRUE(testfiles::WriteAll(blank, zeros.data(), zeros.size()));
  RunResult r = Torvane("disks " + testimg::ShellQuote(testimg::ImagePath("gpt.img")) + " " + testimg::ShellQuote(blank),
                        "");
  ASSERT_EQ(0, r.code) << r.err;
  Listing l = Parse(r.out);
  ASSERT_EQ(2u, l.diskLines.size()) << r.out;
  EXPECT_EQ(blank + "  32.00 KB  no partition table", l.diskLines[1]);
  int nNumber = 1;
  ExpectDiskMatches(l, 0, "gpt.img", false, nNumber);
  EXPECT_TRUE(PartsOf(l, 1).empty());

  // An image already in the map is not listed twice; one given after it follows it.
  std::string mbr = testimg::ImagePath("mbr.img");
  r = Torvane("disks " + testimg::ShellQuote(mbr) + " " + testimg::ShellQuote(testimg::ImagePath("apple.img")),
              mbr.c_str());
  ASSERT_EQ(0, r.code) << r.err;
  l = Parse(r.out);
  EXPECT_EQ(2u, l.diskLines.size()) << r.out;
  nNumber = 1;
  ExpectDiskMatches(l, 1, "apple.img", false, nNumber);
  testimg::RemoveTree(dir);
}

TEST(CliDisks, UnreadableTargetsFailClearly) {
  std::string dir = testfiles::FreshDir("cli-bad");
  std::string gpt = testimg::ImagePath("gpt.img");
  // A missing file and a folder: both named on standard error, status 1,
  // and the readable image is still listed.
  RunResult r = Torvane("disks " + testimg::ShellQuote(dir + "/missing.img") + " " + testimg::ShellQuote(dir) + " " +
                            testimg::ShellQuote(gpt),
                        "");
  EXPECT_EQ(1, r.code);
  EXPECT_NE(std::string::npos, r.err.find(dir + "/missing.img")) << r.err;
  EXPECT_NE(std::string::npos, r.err.find("No such file or directory")) << r.err;
  EXPECT_NE(std::string::npos, r.err.find("'" + dir + "'")) << r.err;
  Listing l = Parse(r.out);
  ASSERT_EQ(1u, l.diskLines.size()) << r.out;
  EXPECT_EQ(3u, PartsOf(l, 0).size());

  // A disk of the map that cannot be opened gets its line and fails the run.
  std::string disks = dir + "/gone.img:" + gpt;
  r = Torvane("disks", disks.c_str());
  EXPECT_EQ(1, r.code);
  l = Parse(r.out);
  EXPECT_EQ(dir + "/gone.img  unreadable", l.diskLines[0]);
  EXPECT_EQ(3u, PartsOf(l, 1).size());
  EXPECT_NE(std::string::npos, r.err.find("disk 0")) << r.err;
  testimg::RemoveTree(dir);
}

TEST(CliDisks, UsageAndBadCommandLines) {
  RunResult r = Torvane("--help", "");
  EXPECT_EQ(0, r.code);
  EXPECT_NE(std::string::npos, r.out.find("Usage: torvane COMMAND")) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("disks [IMAGE...]")) << r.out;

  r = Torvane("", "");
  EXPECT_EQ(2, r.code);
  EXPECT_NE(std::string::npos, r.err.find("Usage:"));

  r = Torvane("frobnicate", "");
  EXPECT_EQ(2, r.code);
  EXPECT_NE(std::string::npos, r.err.find("unknown command 'frobnicate'")) << r.err;

  r = Torvane("disks --bogus", "");
  EXPECT_EQ(2, r.code);
  EXPECT_NE(std::string::npos, r.err.find("unknown option '--bogus'")) << r.err;

  r = Torvane("disks --help", "");
  EXPECT_EQ(0, r.code);
  EXPECT_NE(std::string::npos, r.out.find("Usage: torvane disks")) << r.out;
}

// Partition names from a disk holding terminal control bytes are printed
// with them replaced: Apple map names are cleaned when read, GPT names
// (UTF-16, which may hold anything) when printed.
TEST(CliDisks, ControlCharactersInNamesAreNotPrinted) {
  std::string dir = testfiles::FreshDir("cli-esc");
  const char* name = "A\x1b[2JB\x07";
  std::string apm = dir + "/esc-apm.img";
  std::vector<unsigned char> d(64 * 512, 0);
  memcpy(d.data(), "ER", 2);
  unsigned char* e = d.data() + 512;
  e[0] = 'P';
  e[1] = 'M';
  e[7] = 1;    // one map entry
  e[11] = 8;   // first block 8
  e[87] = 16;  // 16 blocks of data
  memcpy(e + 16, name, strlen(name));
  ASSERT_TRUE(testfiles::WriteAll(apm, d.data(), d.size()));

  std::string gpt = dir + "/esc-gpt.img";
  std::fill(d.begin(), d.end(), 0);
  memcpy(d.data() + 512, "EFI PART", 8);  // checksums left wrong: the table is still read
  d[512 + 12] = 92;
  d[512 + 72] = 2;     // entries at sector 2
  d[512 + 80] = 128;   // 128 entries
  d[512 + 84] = 128;   // of 128 bytes
  unsigned char* g = d.data() + 1024;
  g[0] = 0xAF;         // type GUID in use
  g[32] = 34;          // first sector
  g[40] = 40;          // last sector
  for (size_t k = 0; k < strlen(name); ++k) g[56 + 2 * k] = static_cast<unsigned char>(name[k]);
  g[56 + 2 * strlen(name)] = 0x85;  // U+0085, a C1 control
  ASSERT_TRUE(testfiles::WriteAll(gpt, d.data(), d.size()));

  RunResult r = Torvane("disks " + testimg::ShellQuote(apm) + " " + testimg::ShellQuote(gpt), "");
  ASSERT_EQ(0, r.code) << r.err;
  EXPECT_EQ(std::string::npos, r.out.find('\x1b'));
  EXPECT_EQ(std::string::npos, r.out.find('\x07'));
  EXPECT_EQ(std::string::npos, r.out.find("\xC2\x85"));
  Listing l = Parse(r.out);
  ASSERT_EQ(2u, l.parts.size()) << r.out;
  EXPECT_EQ(8u, l.parts[0].first);
  EXPECT_EQ(23u, l.parts[0].last);
  EXPECT_EQ("A\xEF\xBF\xBD[2JB\xEF\xBF\xBD", l.parts[0].name);
  EXPECT_EQ(34u, l.parts[1].first);
  EXPECT_EQ(40u, l.parts[1].last);
  EXPECT_EQ("A?[2JB??", l.parts[1].name);
  testimg::RemoveTree(dir);
}

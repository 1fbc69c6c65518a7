// `torvane disks` run as a separate program on the built whole-disk images:
// what it prints must match what sfdisk, sgdisk and parted recorded.
#include <gtest/gtest.h>

#include <sys/stat.h>

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
  std::string size, name, fs, label;
};

struct Listing {
  std::map<int, std::string> diskLines;  // disk number -> rest of its line
  std::vector<Line> parts;
  std::vector<std::string> unparsed;
};

Listing Parse(const std::string& out) {
  static const std::regex kDisk(R"(^Disk (\d+)  (.*)$)");
  static const std::regex kPart(R"re(^    (\d+)\.(\d+)  (\d+)\.\.(\d+)  (\S+ \S+)  (.*?)(  \[(\S+)(?: "(.*)")?\])?$)re");
  Listing l;
  std::istringstream in(out);
  std::string s;
  std::smatch m;
  while (std::getline(in, s)) {
    if (std::regex_match(s, m, kDisk)) {
      l.diskLines[std::stoi(m[1])] = m[2];
    } else if (std::regex_match(s, m, kPart)) {
      l.parts.push_back({std::stoi(m[1]), std::stoi(m[2]), std::stoull(m[3]), std::stoull(m[4]), m[5], m[6], m[8], m[9]});
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
// containers left out): places, sizes, names (MBR ones are "Partition I",
// numbered within their disk) and file systems.
void ExpectDiskMatches(const Listing& l, int disk, const std::string& image, bool bNumbered) {
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
    EXPECT_EQ(bNumbered ? "Partition " + std::to_string(i + 1) : p.name, g.name);
    EXPECT_EQ(p.fs, g.fs) << "partition " << p.index;
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
  ExpectDiskMatches(l, 0, "mbr.img", true);
  ExpectDiskMatches(l, 1, "gpt.img", false);
  ExpectDiskMatches(l, 2, "apple.img", false);
  ExpectDiskMatches(l, 3, "mbr-loop.img", true);
  EXPECT_EQ("TORVANE", PartsOf(l, 1)[1].label) << "the FAT32 volume's label";
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
  ExpectDiskMatches(l, 0, "gpt.img", false);
  EXPECT_TRUE(PartsOf(l, 1).empty());

  // An image already in the map is not listed twice; one given after it follows it.
  std::string mbr = testimg::ImagePath("mbr.img");
  r = Torvane("disks " + testimg::ShellQuote(mbr) + " " + testimg::ShellQuote(testimg::ImagePath("apple.img")),
              mbr.c_str());
  ASSERT_EQ(0, r.code) << r.err;
  l = Parse(r.out);
  EXPECT_EQ(2u, l.diskLines.size()) << r.out;
  ExpectDiskMatches(l, 1, "apple.img", false);
  testimg::RemoveTree(dir);
}

TEST(CliDisks, UnreadableTargetsAreListedWithTheirReason) {
  std::string dir = testfiles::FreshDir("cli-bad");
  std::string gpt = testimg::ImagePath("gpt.img");
  // A missing file and a folder named on the command line: both named with
  // the reason, status 1, and the readable image is still listed.
  RunResult r = Torvane("disks " + testimg::ShellQuote(dir + "/missing.img") + " " + testimg::ShellQuote(dir) + " " +
                            testimg::ShellQuote(gpt),
                        "");
  EXPECT_EQ(1, r.code);
  EXPECT_NE(std::string::npos, r.err.find("cannot read '" + dir + "/missing.img': no such file or directory")) << r.err;
  EXPECT_NE(std::string::npos, r.err.find("cannot read '" + dir + "': it is neither a disk nor a disk image file"))
      << r.err;
  Listing l = Parse(r.out);
  ASSERT_EQ(1u, l.diskLines.size()) << r.out;
  EXPECT_EQ(3u, PartsOf(l, 0).size());

  // A disk of the map that cannot be opened gets its line with the reason;
  // the listing of the others is a success.
  std::string disks = dir + "/gone.img:" + gpt;
  r = Torvane("disks", disks.c_str());
  EXPECT_EQ(0, r.code) << r.err;
  l = Parse(r.out);
  EXPECT_EQ(dir + "/gone.img  unreadable: no such file or directory", l.diskLines[0]);
  EXPECT_EQ(3u, PartsOf(l, 1).size());
  r = Torvane("disks", (dir + "/gone.img").c_str());
  EXPECT_EQ(1, r.code) << "nothing could be listed";
  testimg::RemoveTree(dir);
}

TEST(CliDisks, UsageAndBadCommandLines) {
  RunResult r = Torvane("--help", "");
  EXPECT_EQ(0, r.code);
  EXPECT_NE(std::string::npos, r.out.find("Usage: torvane COMMAND")) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("\n  disks    list every disk")) << r.out;

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
  EXPECT_EQ(r.out, Torvane("help disks", "").out);

  r = Torvane("--version", "");
  EXPECT_EQ(0, r.code);
  EXPECT_EQ(0u, r.out.find("torvane 0.")) << r.out;
  EXPECT_EQ(2, Torvane("scan --partition", "").code);
  EXPECT_EQ(2, Torvane("scan --resume=yes x.img", "").code);
  EXPECT_NE(std::string::npos, Torvane("scan --bogus x", "").err.find("unknown option '--bogus'"));
}

// A target that is an existing path is a path, whatever its name; "--" ends
// the options and "--opt=value" is an option with its value.
TEST(CliConventions, PathsBeforeDiskNumbersAndOptionForms) {
  std::string dir = testfiles::FreshDir("cli-conv");
  testfiles::Run("cp " + testimg::ShellQuote(testimg::ImagePath("gpt.img")) + " " + testimg::ShellQuote(dir + "/2") +
                 " && cp " + testimg::ShellQuote(testimg::ImagePath("demo.img")) + " " + testimg::ShellQuote(dir + "/-x.img"));
  std::string env = "cd " + testimg::ShellQuote(dir) + " && TORVANE_DISKS= TORVANE_SUPPORT_DIR=" + testimg::ShellQuote(dir + "/s") + " ";
  int code = -1;
  std::string err = testimg::RunCommand(env + testimg::ShellQuote(Binary()) + " scan --partition=2 -q 2 2>&1", &code);
  EXPECT_EQ(0, code) << err;
  EXPECT_NE(std::string::npos, err.find("Scanning " + dir + "/2 (Torvane Data")) << err;
  err = testimg::RunCommand(env + testimg::ShellQuote(Binary()) + " scan -q -- -x.img 2>&1", &code);
  EXPECT_EQ(0, code) << err;
  std::string scans = testimg::RunCommand(env + testimg::ShellQuote(Binary()) + " scans", &code);
  EXPECT_EQ(0, code);
  EXPECT_NE(std::string::npos, scans.find("complete  partition 2  " + dir + "/2")) << scans;
  EXPECT_NE(std::string::npos, scans.find("complete  whole disk   " + dir + "/-x.img")) << scans;
  std::string listed = testimg::RunCommand(env + testimg::ShellQuote(Binary()) + " list 2 --all", &code);
  EXPECT_EQ(0, code) << "the scans of image '2', not scan 2";
  EXPECT_NE(std::string::npos, listed.find("/Docs/draft G.pdf")) << listed;
  testimg::RemoveTree(dir);
}

TEST(CliConventions, FormatsListEachCarvableFormatWithItsCategory) {
  RunResult r = Torvane("formats", "");
  ASSERT_EQ(0, r.code) << r.err;
  for (const char* row : {"jpg        photo", "pdf        document", "zip        archive", "mp3        music",
                          "avi        video"})
    EXPECT_NE(std::string::npos, r.out.find(std::string("\n") + row + "\n")) << row << "\n" << r.out;
}

// make install into a folder of one's own: the programs, the manual page,
// and for the window its desktop entry, icon and polkit policy naming it.
TEST(CliInstall, InstallsIntoAPrefixOfOnesOwn) {
  std::string dir = testfiles::FreshDir("cli-install"), build = getenv("TORVANE_BINARY_DIR");
  std::string out;
  ASSERT_EQ(0, testfiles::Run("cmake --install " + testimg::ShellQuote(build) + " --prefix " +
                                  testimg::ShellQuote(dir) + " 2>&1",
                              &out))
      << out;
  ASSERT_EQ(0, testfiles::Run(testimg::ShellQuote(dir + "/bin/torvane") + " --version >/dev/null"));
  EXPECT_EQ(0, testfiles::Run("test -s " + testimg::ShellQuote(dir + "/share/man/man1/torvane.1")));
  struct stat st;
  if (stat((build + "/app/torvane-recovery").c_str(), &st) == 0) {
    EXPECT_EQ(0, testfiles::Run("test -x " + testimg::ShellQuote(dir + "/bin/torvane-recovery")));
    EXPECT_EQ(0, testfiles::Run("test -s " + testimg::ShellQuote(dir + "/share/icons/hicolor/64x64/apps/torvane-recovery.png")));
    std::vector<unsigned char> d = testfiles::ReadAll(dir + "/share/applications/torvane-recovery.desktop");
    EXPECT_NE(std::string::npos, std::string(d.begin(), d.end()).find("\nExec=" + dir + "/bin/torvane-recovery\n"));
    std::string policy = dir + "/share/polkit-1/actions/org.torvane.recovery.policy";
    EXPECT_EQ(0, testfiles::Run("python3 -c 'import sys, xml.etree.ElementTree as E; a = E.parse(sys.argv[1]).find(\"action\"); "
                                "assert a.get(\"id\") == \"org.torvane.recovery\"; "
                                "assert [n.text for n in a.findall(\"annotate\") if n.get(\"key\").endswith(\"exec.path\")] == [sys.argv[2]]' " +
                                testimg::ShellQuote(policy) + " " + testimg::ShellQuote(dir + "/bin/torvane-recovery")));
  }
  testimg::RemoveTree(dir);
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

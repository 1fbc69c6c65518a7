// Names from a disk that try to leave the destination: "../../x", "a/b",
// "..", absolute paths and control characters, in deleted FAT long and short
// names and in NTFS file-name attributes. mkfs.fat and mtools cannot write
// such names, so files are made with ordinary names and the name bytes are
// patched in the image afterwards.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "engine/DiskMap.h"
#include "engine/FaultGuard.h"
#include "engine/TextUtil.h"
#include "fat/FastFatRecovery.h"
#include "store/LogFileManager.h"
#include "tests/robust/RobustTestUtil.h"
#include "tests/support/TestFiles.h"
#include "tests/support/TestImages.h"

using namespace robust;
namespace fs = std::filesystem;

namespace {

std::vector<uint8_t> LoadImageFile(const std::string& path) {
  std::vector<unsigned char> v = testfiles::ReadAll(path);
  return std::vector<uint8_t>(v.begin(), v.end());
}

constexpr int kLfnChars[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};

// The name held by the run of long-name entries that ends just before the
// short entry at off (entries closest to it hold the first characters).
std::u16string LongNameBefore(const std::vector<uint8_t>& img, uint64_t off, int* pEntries) {
  std::u16string name;
  int n = 0;
  for (uint64_t e = off; e >= 32 && n < 20; ++n) {
    e -= 32;
    if (img[e + 11] != 0x0F) break;
    for (int k : kLfnChars) name.push_back(static_cast<char16_t>(Get16(img, e + k)));
  }
  size_t end = name.find(u'\0');
  if (end != std::u16string::npos) name.resize(end);
  if (pEntries) *pEntries = n;
  return name;
}

// Rewrites the long name of every entry whose long name is oldName; the new
// name must fit the entries already there. Returns how many were patched.
int PatchLongName(std::vector<uint8_t>& img, const std::u16string& oldName, const std::u16string& newName) {
  int patched = 0;
  for (uint64_t off = 32; off + 32 <= img.size(); off += 32) {
    if (img[off + 11] == 0x0F || (img[off + 11] & 0xC0) != 0) continue;
    int entries = 0;
    if (LongNameBefore(img, off, &entries) != oldName || entries == 0) continue;
    if (newName.size() + 1 > static_cast<size_t>(entries) * 13) continue;
    size_t i = 0;
    for (int n = 0; n < entries; ++n) {
      uint64_t e = off - 32 * static_cast<uint64_t>(n + 1);
      for (int k : kLfnChars) {
        uint16_t v = i < newName.size() ? newName[i] : (i == newName.size() ? 0 : 0xFFFF);
        Put16(img, e + k, v);
        ++i;
      }
    }
    ++patched;
  }
  return patched;
}

// Rewrites the 11 bytes of every short entry named old (as stored, e.g.
// "SHORT1  TXT") and marks it deleted.
int PatchShortName(std::vector<uint8_t>& img, const char* oldName, const uint8_t newName[11]) {
  int patched = 0;
  for (uint64_t off = 0; off + 32 <= img.size(); off += 32) {
    if (memcmp(&img[off], oldName, 11) != 0 || img[off + 11] == 0x0F) continue;
    memcpy(&img[off], newName, 11);
    img[off] = 0xE5;
    ++patched;
  }
  return patched;
}

std::string Run(const std::string& cmd) {
  int rc = -1;
  std::string out = testimg::RunCommand(cmd + " 2>&1", &rc);
  EXPECT_EQ(0, rc) << cmd << ": " << out;
  return out;
}

// A FAT16 volume with deleted files and a deleted folder whose names are
// then made hostile.
std::vector<uint8_t> MakeHostileFat(const std::string& dir) {
  std::string img = dir + "/hostile.img";
  std::string q = testimg::ShellQuote(img);
  Run("mkfs.fat -C -F 16 -n HOSTILE " + q + " 20480 >/dev/null");
  std::vector<uint8_t> jpeg = {0xFF, 0xD8, 0xFF, 0xE0, 0, 16, 'J', 'F', 'I', 'F', 0};
  for (int i = 0; i < 3000; ++i) jpeg.push_back(static_cast<uint8_t>(i * 7));
  jpeg.push_back(0xFF);
  jpeg.push_back(0xD9);
  std::string src = dir + "/src.jpg";
  EXPECT_TRUE(testfiles::WriteAll(src, jpeg.data(), jpeg.size()));
  std::string s = testimg::ShellQuote(src);
  std::string env = "MTOOLS_SKIP_CHECK=1 ";
  const char* longNames[] = {"Hostile Name 01.jpg", "Hostile Name 02.jpg", "Hostile Name 03.jpg",
                             "Hostile Name 04.jpg", "Hostile Name 05.jpg"};
  for (const char* n : longNames) Run(env + "mcopy -i " + q + " " + s + " '::/" + n + "'");
  for (const char* n : {"SHORT1.TXT", "SHORT2.TXT"}) Run(env + "mcopy -i " + q + " " + s + " ::/" + n);
  Run(env + "mmd -i " + q + " '::/Evil Folder Name 1'");
  Run(env + "mcopy -i " + q + " " + s + " '::/Evil Folder Name 1/Inner Name 0001.jpg'");
  for (const char* n : longNames) Run(env + "mdel -i " + q + " '::/" + n + "'");
  Run(env + "mdeltree -i " + q + " '::/Evil Folder Name 1'");

  std::vector<uint8_t> bytes = LoadImageFile(img);
  struct {
    const char16_t* from;
    const char16_t* to;
  } patches[] = {
      {u"Hostile Name 01.jpg", u"../../x.jpg"},
      {u"Hostile Name 02.jpg", u"a/b.jpg"},
      {u"Hostile Name 03.jpg", u".."},
      {u"Hostile Name 04.jpg", u"/tmp/abs.jpg"},
      {u"Hostile Name 05.jpg", u"ctl\x01\x1f\x7f.jpg"},
      {u"Evil Folder Name 1", u"../../../evil"},
      {u"Inner Name 0001.jpg", u"../../in.jpg"},
  };
  for (const auto& p : patches)
    EXPECT_EQ(1, PatchLongName(bytes, p.from, p.to)) << "an entry to rename was not found";
  const uint8_t shortA[11] = {'S', '/', '.', '.', '/', 'X', ' ', ' ', 'J', 'P', 'G'};
  const uint8_t shortB[11] = {'S', '.', '.', 0x01, 0x1F, ' ', ' ', ' ', 'T', 'X', 'T'};
  EXPECT_EQ(1, PatchShortName(bytes, "SHORT1  TXT", shortA));
  EXPECT_EQ(1, PatchShortName(bytes, "SHORT2  TXT", shortB));
  return bytes;
}

bool HaveFatTools() {
  return testfiles::Run("command -v mkfs.fat >/dev/null && command -v mcopy >/dev/null") == 0;
}

}  // namespace

TEST(HostileNames, FatScanRecoversOnlyInsideTheDestination) {
  if (!HaveFatTools()) GTEST_SKIP() << "mkfs.fat and mtools are needed";
  std::string dir = testimg::MakeTempDir("robust-names");
  std::vector<uint8_t> img = MakeHostileFat(dir);
  ScanOutcome o = ScanMustSurvive("hostile-fat", img, 120, true);
  // The hostile names reached the saver (the report keeps them as found)...
  for (const char* name : {"../../x.jpg", "a/b.jpg", "/tmp/abs.jpg", "../../in.jpg"})
    EXPECT_NE(std::string::npos, testimg::RunCommand("cat " + testimg::ShellQuote(o.root + "/report.json")).find(
                                     std::string("\"name\": \"") + name + "\""))
        << name << " is not in the report";
  // ...and each was saved under a harmless name inside the destination.
  EXPECT_GE(o.savedFiles.size(), 7u);
  for (const std::string& f : o.savedFiles) {
    std::string base = fs::path(f).filename().string();
    EXPECT_NE("..", base);
    EXPECT_NE(".", base);
    for (unsigned char c : base) EXPECT_GE(c, 0x20) << "control character in " << f;
  }
  EXPECT_FALSE(fs::exists(dir + "/x.jpg"));
  EXPECT_FALSE(fs::exists("/tmp/abs.jpg"));
  testimg::RemoveTree(o.root);
  testimg::RemoveTree(dir);
}

// The window saves whole folders: the engine joins the children's names to
// the destination itself, so a folder named "../../../evil" holding
// "../../in.jpg" must still land inside.
TEST(HostileNames, FatFolderSaveStaysInside) {
  if (!HaveFatTools()) GTEST_SKIP() << "mkfs.fat and mtools are needed";
  std::string dir = testimg::MakeTempDir("robust-folder");
  std::vector<uint8_t> img = MakeHostileFat(dir);
  std::string disk = dir + "/disk.img";
  ASSERT_TRUE(testfiles::WriteAll(disk, img.data(), img.size()));
  setenv("TORVANE_SUPPORT_DIR", (dir + "/support").c_str(), 1);
  CLogFileManager::GetInstance()->Reload();
  uint64_t faults = FaultGuardCatchCount();

  CFastFatRecovery engine;
  std::wstring wdisk = Utf8ToWide(disk);
  ASSERT_EQ(0, engine.Init(&wdisk[0], L'C'));
  ASSERT_EQ(0, engine.ScanDevice(nullptr));
  FILE_NODE_VECTOR top;
  engine.GetChildrenFileNode(nullptr, 0, top);
  const _FILE_NODE_* evil = nullptr;
  for (const auto& n : top)
    if (n.bIsDir && std::string(n.szFileName) == "../../../evil") evil = &n;
  ASSERT_NE(nullptr, evil) << "the patched folder name was not read back";

  std::string dest = dir + "/a/b/c/dest";
  ASSERT_EQ(0, MakeDirectories(dest));
  std::set<std::string> before = ListTree(dir);
  _FILE_NODE_ node = *evil;
  std::string target = dest + "/" + MakeSafePathComponent(node.szFileName);
  std::wstring wtarget = Utf8ToWide(target);
  int rootIndex = 0;
  std::wstring wdest = Utf8ToWide(dest + "/");
  GetPathDirIndex(wdest.c_str(), rootIndex);
  engine.SaveFileData(&node, &wtarget[0], rootIndex);

  size_t inside = 0;
  for (const std::string& p : ListTree(dir)) {
    if (before.count(p) || p.compare(0, 8, "support/") == 0) continue;
    if (p.compare(0, 11, "a/b/c/dest/") == 0) {
      ++inside;
      continue;
    }
    ADD_FAILURE() << "the folder save wrote outside the destination: " << p;
  }
  EXPECT_GE(inside, 2u) << "the folder and its file were not saved";
  EXPECT_FALSE(fs::exists(dir + "/evil"));
  EXPECT_FALSE(fs::exists(dir + "/a/in.jpg"));
  EXPECT_EQ(faults, FaultGuardCatchCount());
  testimg::RemoveTree(dir);
}

// NTFS: the names of deleted files in ntfs.img are rewritten in their
// file-name attributes.
TEST(HostileNames, NtfsScanRecoversOnlyInsideTheDestination) {
  testimg::Manifest m = testimg::LoadManifest("ntfs.img");
  std::vector<uint8_t> img = LoadImage("ntfs.img");
  uint64_t spc = img[13];
  uint64_t mft = Get64(img, 0x30) * spc * 512;
  const char16_t* hostile[] = {u"../../n1", u"a/b", u"..", u"/tmp/n4", u"c\x01\x1f"};
  size_t patched = 0;
  for (const auto& f : m.Files("deleted")) {
    if (patched >= 5) break;
    std::string tag;
    for (const char* t : {"mft="}) {
      size_t at = f.note.find(t);
      if (at != std::string::npos) tag = f.note.substr(at + 4, f.note.find(';', at) - at - 4);
    }
    if (tag.empty() || f.HasTag("overwritten") || f.name.find(':') != std::string::npos) continue;
    uint64_t rec = mft + std::stoull(tag) * 1024;
    if (rec + 1024 > img.size() || Get32(img, rec) != 0x454C4946) continue;
    const std::u16string name = hostile[patched];
    bool any = false;
    uint64_t a = Get16(img, rec + 0x14);
    for (int n = 0; n < 32 && a + 24 <= 1024; ++n) {
      uint32_t type = Get32(img, rec + a), len = Get32(img, rec + a + 4);
      if (type == 0xFFFFFFFF || len < 24 || a + len > 1024) break;
      if (type == 0x30 && img[rec + a + 8] == 0) {
        uint64_t c = rec + a + Get16(img, rec + a + 0x14);
        uint8_t oldLen = img[c + 0x40];
        uint64_t nameEnd = c + 0x42 + 2 * name.size();
        // Stay clear of the update-sequence slots at the end of each sector.
        bool clear = name.size() <= oldLen && !(nameEnd > rec + 510 && c + 0x40 < rec + 512) &&
                     nameEnd <= rec + 1022;
        if (clear) {
          img[c + 0x40] = static_cast<uint8_t>(name.size());
          for (size_t i = 0; i < name.size(); ++i) Put16(img, c + 0x42 + 2 * i, name[i]);
          any = true;
        }
      }
      a += len;
    }
    if (any) ++patched;
  }
  ASSERT_GE(patched, 3u) << "too few deleted records could be renamed";
  ScanOutcome o = ScanMustSurvive("hostile-ntfs", img, 120, true);
  std::vector<unsigned char> report = testfiles::ReadAll(o.root + "/report.json");
  std::string text(report.begin(), report.end());
  EXPECT_NE(std::string::npos, text.find("\"name\": \"../../n1\"")) << "the patched name was not found";
  for (const std::string& f : o.savedFiles) {
    std::string base = fs::path(f).filename().string();
    EXPECT_NE("..", base);
    for (unsigned char c : base) EXPECT_GE(c, 0x20) << "control character in " << f;
  }
  testimg::RemoveTree(o.root);
}

// FAT directory entries: validity, sector tests and name assembly, on
// directory sectors written by mtools and on crafted entries.
#include <gtest/gtest.h>
#include <time.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "TestFiles.h"
#include "engine/ByteOrder.h"
#include "disk/FatEntry.h"

namespace {

// A live archive file entry dated 2020-01-01 with the given 11-byte name.
std::vector<unsigned char> FileEntry(const char* name11, u32 cluster = 5, u32 size = 100) {
  std::vector<unsigned char> e(32, 0);
  memcpy(e.data(), name11, 11);
  e[11] = FAT_ATTR_ARCHIVE;
  u16 date = static_cast<u16>(((2020 - 1980) << 9) | (1 << 5) | 1);
  for (int off : {16, 18, 24}) {
    e[off] = date & 0xFF;
    e[off + 1] = date >> 8;
  }
  e[20] = static_cast<unsigned char>(cluster >> 16);
  e[21] = static_cast<unsigned char>(cluster >> 24);
  e[26] = cluster & 0xFF;
  e[27] = (cluster >> 8) & 0xFF;
  memcpy(&e[28], &size, 4);
  return e;
}

std::vector<unsigned char> Sector(std::initializer_list<std::vector<unsigned char>> entries) {
  std::vector<unsigned char> s(512, 0);
  size_t off = 0;
  for (auto& e : entries) {
    memcpy(&s[off], e.data(), 32);
    off += 32;
  }
  return s;
}

TEST(FatEntry, ValidityRules) {
  auto e = FileEntry("README  TXT");
  EXPECT_TRUE(IsFatEntyValid(e.data(), 32));
  // A file without the archive bit is not plausible.
  auto noArchive = e;
  noArchive[11] = 0;
  EXPECT_FALSE(IsFatEntyValid(noArchive.data(), 32));
  // A live directory with a size is not plausible.
  auto dir = e;
  dir[11] = FAT_ATTR_DIRECTORY;
  memset(&dir[28], 0, 4);
  EXPECT_TRUE(IsFatEntyValid(dir.data(), 32));
  dir[28] = 1;
  EXPECT_FALSE(IsFatEntyValid(dir.data(), 32));
  // A live file dated 1990 is refused; the same entry deleted is accepted.
  auto old = e;
  u16 d1990 = static_cast<u16>((10 << 9) | (1 << 5) | 1);
  old[16] = d1990 & 0xFF;
  old[17] = d1990 >> 8;
  EXPECT_FALSE(IsFatEntyValid(old.data(), 32));
  old[0] = FAT_DELETED_MARK;
  EXPECT_TRUE(IsFatEntyValid(old.data(), 32));
  // Lower-case letters do not belong in a short name.
  auto lower = FileEntry("readme  TXT");
  EXPECT_FALSE(IsFatEntyValid(lower.data(), 32));
  // A zero-size file must not own a cluster.
  auto empty = FileEntry("EMPTY   TXT", 9, 0);
  EXPECT_FALSE(IsFatEntyValid(empty.data(), 32));
  // Directory + read-only, and the two high attribute bits, are invalid.
  auto ro = dir;
  ro[28] = 0;
  ro[11] = FAT_ATTR_DIRECTORY | FAT_ATTR_READONLY;
  EXPECT_FALSE(IsFatEntyValid(ro.data(), 32));
  auto hi = e;
  hi[11] |= 0x40;
  EXPECT_FALSE(IsFatEntyValid(hi.data(), 32));
  // Short buffers are never valid.
  EXPECT_FALSE(IsFatEntyValid(e.data(), 31));
}

TEST(FatEntry, LongNameOrdinals) {
  std::vector<unsigned char> lfn(32, 0);
  lfn[11] = FAT_ATTR_LONG_NAME;
  lfn[0] = 0x52;
  EXPECT_TRUE(IsFatEntyValid(lfn.data(), 32));
  lfn[0] = 0x53;
  EXPECT_FALSE(IsFatEntyValid(lfn.data(), 32));
  lfn[0] = FAT_DELETED_MARK;
  EXPECT_TRUE(IsFatEntyValid(lfn.data(), 32));
  lfn[0] = 0x41;
  lfn[26] = 1;  // the cluster field of a long-name entry is always 0
  EXPECT_FALSE(IsFatEntyValid(lfn.data(), 32));
}

TEST(FatEntry, DirectorySectorTests) {
  auto a = FileEntry("A       TXT", 3);
  auto b = FileEntry("B       TXT", 4);
  auto s = Sector({a, b});
  EXPECT_TRUE(IsFatFDTRecord(s.data(), 512));
  s[200] = 1;  // a stray byte after the end mark
  EXPECT_FALSE(IsFatFDTRecord(s.data(), 512));
  std::vector<unsigned char> zeros(512, 0);
  EXPECT_FALSE(IsFatFDTRecord(zeros.data(), 512));

  // "." and ".." start a directory: not a table sector, but a directory start.
  auto dot = FileEntry(".          ", 7, 0);
  dot[11] = FAT_ATTR_DIRECTORY;
  auto dotdot = FileEntry("..         ", 0, 0);
  dotdot[11] = FAT_ATTR_DIRECTORY;
  auto start = Sector({dot, dotdot, a});
  EXPECT_TRUE(IsFatFileRecord(start.data(), 512));
  EXPECT_FALSE(IsFatFDTRecord(start.data(), 512));
  EXPECT_FALSE(IsFatFileRecord(s.data(), 512));

  // Spaces may only trail.
  auto inner = Sector({FileEntry("AB CD   TXT")});
  EXPECT_FALSE(IsFatFDTRecord(inner.data(), 512));
  auto trailing = Sector({FileEntry("AB      TXT")});
  EXPECT_TRUE(IsFatFDTRecord(trailing.data(), 512));

  // A single high byte is an accented letter of a Western code page, as
  // the tools write it; so is a double-byte pair.
  auto single = FileEntry("ABC\xB0\x41XY TXT");
  EXPECT_TRUE(IsFatFDTRecord(Sector({single}).data(), 512));
  auto pairGood = FileEntry("ABC\xB0\xA1XY TXT");
  EXPECT_TRUE(IsFatFDTRecord(Sector({pairGood}).data(), 512));
}

TEST(FatEntry, LongNameChecksumMustMatchItsShortEntry) {
  auto shortE = FileEntry("LONGNA~1TXT");
  std::vector<unsigned char> lfn(32, 0);
  lfn[0] = 0x41;
  lfn[11] = FAT_ATTR_LONG_NAME;
  lfn[13] = GetShortNameCheckSum(shortE.data());
  lfn[1] = 'x';
  EXPECT_TRUE(IsFatFDTRecord(Sector({lfn, shortE}).data(), 512));
  lfn[13] ^= 0x5A;
  EXPECT_FALSE(IsFatFDTRecord(Sector({lfn, shortE}).data(), 512));
  auto deleted = shortE;
  deleted[0] = FAT_DELETED_MARK;
  EXPECT_TRUE(IsFatFDTRecord(Sector({lfn, deleted}).data(), 512));
}

TEST(FatEntry, DatesAsLocalMidnight) {
  auto local = [](int y, int m, int d) {
    struct tm t;
    memset(&t, 0, sizeof(t));
    t.tm_year = y - 1900;
    t.tm_mon = m - 1;
    t.tm_mday = d;
    return static_cast<i64>(mktime(&t));
  };
  EXPECT_EQ(local(1979, 12, 31), FatDateToSeconds(0x0000));
  EXPECT_EQ(local(1980, 3, 1), FatDateToSeconds(0x005E));  // February 30 runs on
  EXPECT_EQ(local(2020, 1, 1), FatDateToSeconds(static_cast<u16>((40 << 9) | (1 << 5) | 1)));
  auto e = FatEntryFromBytes(FileEntry("A       TXT").data());
  _FILETIME ft;
  Fat32GetFileCreateTime(e, ft);
  EXPECT_EQ(static_cast<u64>(local(2020, 1, 1)), FileTimeToU64(ft));
}

TEST(FatEntry, ShortNamesAsShown) {
  // Byte 0x0C: 0x08 shows the base in lower case, 0x10 the extension;
  // without them the name is shown as the disk holds it.
  const struct { const char* raw; u8 attr, caseBits, first; const char* shown; } rows[] = {
      {"README  TXT", FAT_ATTR_ARCHIVE, 0x00, 0, "README.TXT"},
      {"README  TXT", FAT_ATTR_ARCHIVE, 0x08, 0, "readme.TXT"},
      {"README  TXT", FAT_ATTR_ARCHIVE, 0x10, 0, "README.txt"},
      {"README  TXT", FAT_ATTR_ARCHIVE, 0x18, 0, "readme.txt"},
      {"README  TXT", FAT_ATTR_ARCHIVE, 0x18, FAT_DELETED_MARK, "!eadme.txt"},
      {"A       B  ", FAT_ATTR_ARCHIVE, 0x00, 0, "A.B"},
      {"100PHOTOJPG", FAT_ATTR_DIRECTORY, 0x00, 0, "100PHOTO"},
      {"DCIM       ", FAT_ATTR_DIRECTORY, 0x08, 0, "dcim"},
      {"XE5     TXT", FAT_ATTR_ARCHIVE, 0x00, 0x05, "\xC3\xA5" "E5.TXT"},  // 0x05 stands for 0xE5
  };
  for (const auto& r : rows) {
    auto b = FileEntry(r.raw);
    b[11] = r.attr;
    b[12] = r.caseBits;
    if (r.first) b[0] = r.first;
    EXPECT_EQ(r.shown, FatShortName(FatEntryFromBytes(b.data()))) << r.raw << " " << int(r.caseBits);
  }
  // Rotate-right-and-add over the 11 bytes, computed by hand for "A          ".
  unsigned sum = 0;
  const char* n = "A          ";
  for (int i = 0; i < 11; ++i) sum = (((sum & 1) << 7) + (sum >> 1) + static_cast<unsigned char>(n[i])) & 0xFF;
  EXPECT_EQ(sum, GetShortNameCheckSum(reinterpret_cast<const unsigned char*>(n)));
  EXPECT_NE(GetShortNameCheckSum(reinterpret_cast<const unsigned char*>("A          ")),
            GetShortNameCheckSum(reinterpret_cast<const unsigned char*>(" A         ")));
}

// Directory sectors written by mtools: long names, non-ASCII names, a
// short-name-only file and deleted entries come out as the tool wrote them.
TEST(FatEntry, NamesFromARealDirectory) {
  std::string dir = testfiles::FreshDir("fatnames");
  std::string img = dir + "/v.img";
  std::string env = "cd '" + dir + "' && export MTOOLS_SKIP_CHECK=1 LC_ALL=C.UTF-8 && ";
  ASSERT_EQ(0, testfiles::Run(env + "mkfs.fat -C -F 16 -i 1234ABCD v.img 16384 >/dev/null"));
  const char* names[] = {"A long file name for testing.txt", "Фото_été.jpg", "日本語.txt", "SHORT.TXT",
                         "lower.txt", "gone with the wind.doc", "GONE2.TXT"};
  for (const char* n : names) {
    std::string local = dir + "/src";
    testfiles::WriteAll(local, n, strlen(n));
    ASSERT_EQ(0, testfiles::Run(env + "mcopy -i v.img src '::" + std::string(n) + "'")) << n;
  }
  ASSERT_EQ(0, testfiles::Run(env + "mdel -i v.img '::gone with the wind.doc' ::GONE2.TXT"));

  std::vector<unsigned char> vol = testfiles::ReadAll(img);
  u16 bps = GetU16LE(vol.data(), vol.size(), 11);
  u16 reserved = GetU16LE(vol.data(), vol.size(), 14);
  u16 fatSize = GetU16LE(vol.data(), vol.size(), 22);
  u16 rootEntries = GetU16LE(vol.data(), vol.size(), 17);
  size_t rootOff = static_cast<size_t>(reserved + vol[16] * fatSize) * bps;
  size_t rootLen = rootEntries * 32u;
  ASSERT_LE(rootOff + rootLen, vol.size());

  std::map<std::string, bool> found;  // name -> deleted
  CFatNameAssembler names2;
  for (size_t off = rootOff; off < rootOff + rootLen; off += 32) {
    if (vol[off] == 0) break;
    std::string name;
    if (names2.Feed(&vol[off], rootOff + rootLen - off, name) == CFatNameAssembler::ENTRY_SHORT)
      found[name] = vol[off] == FAT_DELETED_MARK;
  }
  ASSERT_TRUE(found.count("A long file name for testing.txt"));
  EXPECT_FALSE(found["A long file name for testing.txt"]);
  EXPECT_TRUE(found.count("Фото_été.jpg"));
  EXPECT_TRUE(found.count("日本語.txt"));
  EXPECT_TRUE(found.count("SHORT.TXT"));  // short-name-only, in capitals as on the disk
  EXPECT_TRUE(found.count("lower.txt"));  // no long name: mtools sets the case bits
  ASSERT_TRUE(found.count("gone with the wind.doc"));  // deleted, long name still assembled
  EXPECT_TRUE(found["gone with the wind.doc"]);
  ASSERT_TRUE(found.count("!ONE2.TXT"));  // deleted short-name-only: "!" for the first byte
  EXPECT_TRUE(found["!ONE2.TXT"]);

  // The root directory's first sector is a directory-table sector.
  EXPECT_TRUE(IsFatFDTRecord(&vol[rootOff], 512));
  testfiles::Run("rm -rf '" + dir + "'");
}

}  // namespace

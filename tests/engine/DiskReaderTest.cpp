// The reader is the only way the engines touch a disk: its bounds and short
// reads must be exact, and it must never open anything for writing.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "TestFiles.h"
#include "engine/BadSectorMap.h"
#include "engine/DiskMap.h"
#include "engine/DiskReader.h"
#include "engine/ReadAhead.h"
#include "engine/TextUtil.h"

namespace {

struct ImageFile {
  std::string dir, path;
  explicit ImageFile(size_t bytes, const char* tag = "reader") {
    dir = testfiles::FreshDir(tag);
    path = dir + "/disk.img";
    std::vector<unsigned char> data(bytes);
    for (size_t i = 0; i < bytes; ++i) data[i] = static_cast<unsigned char>((i / 512) * 7 + i);
    testfiles::WriteAll(path, data.data(), data.size());
  }
  ~ImageFile() { testfiles::Run("rm -rf '" + dir + "'"); }
};

TEST(DiskReader, ReadsUpToTheLimitAndRefusesPastIt) {
  ImageFile img(64 * 512);
  std::wstring wpath = Utf8ToWide(img.path);
  CDiskReader reader;
  ASSERT_EQ(0, reader.Init(const_cast<wchar_t*>(wpath.c_str()), 32));
  std::vector<unsigned char> buf(8 * 512);
  unsigned int got = 12345;
  // A read that ends exactly at the limit is allowed.
  EXPECT_EQ(0, reader.ReadData(buf.data(), 8, 24, 512, &got));
  EXPECT_EQ(8u, got);
  EXPECT_EQ(static_cast<unsigned char>((24 * 7) & 0xFF), buf[0]);
  EXPECT_EQ(static_cast<unsigned char>((31 * 7 + 7 * 512 + 511) & 0xFF), buf[8 * 512 - 1]);
  // One sector further is refused and the count is left alone.
  got = 12345;
  EXPECT_EQ(87, reader.ReadData(buf.data(), 8, 25, 512, &got));
  EXPECT_EQ(12345u, got);
  // A negative start must not wrap around the check.
  EXPECT_EQ(87, reader.ReadData(buf.data(), 8, -4, 512, &got));
}

TEST(DiskReader, ShortDeviceReportsWholeSectorsRead) {
  ImageFile img(1000);
  CDiskReader reader;
  ASSERT_EQ(0, reader.Init(img.path.c_str(), 100));
  std::vector<unsigned char> buf(4 * 512, 0xEE);
  unsigned int got = 0;
  EXPECT_EQ(30, reader.ReadData(buf.data(), 4, 0, 512, &got));
  EXPECT_EQ(1u, got);
  // The partial second sector's bytes are in the buffer though not counted.
  EXPECT_EQ(static_cast<unsigned char>((7 + 999) & 0xFF), buf[999]);
  EXPECT_EQ(0xEE, buf[1000]);
}

TEST(DiskReader, FailedInitReportsErrnoAndReadsFailWithBadDescriptor) {
  CDiskReader reader;
  EXPECT_EQ(ENOENT, reader.Init("/nonexistent/torvane/disk.img", 100));
  std::vector<unsigned char> buf(512);
  unsigned int got = 77;
  // The limit was not set by the failed Init, so a read is first refused by it...
  EXPECT_EQ(87, reader.ReadData(buf.data(), 1, 0, 512, &got));
  // ...and a reader with a limit but no device fails at the seek.
  CDiskReader reader2;
  ImageFile img(4096);
  ASSERT_EQ(0, reader2.Init(img.path.c_str(), 8));
  ASSERT_NE(0, reader2.Init("/nonexistent/x", 8));  // keeps the old descriptor
  EXPECT_EQ(0, reader2.ReadData(buf.data(), 1, 0, 512, &got));
}

TEST(DiskReader, UnopenedReaderReadsNothing) {
  setenv("TORVANE_DISKS", "/nonexistent/a.img", 1);
  CDiskReader reader;
  EXPECT_EQ(ENOENT, reader.Init(0, 8));
  unsetenv("TORVANE_DISKS");
  std::vector<unsigned char> buf(512);
  unsigned int got = 99;
  // No disk, no limit: every read is refused; an empty one asks for nothing.
  EXPECT_EQ(STATUS_INVALID_PARAMETER, reader.ReadData(buf.data(), 1, 0, 512, &got));
  EXPECT_EQ(0, reader.ReadData(buf.data(), 0, 0, 512, &got));
}

TEST(DiskReader, NeverOpensForWriting) {
  ImageFile img(4096);
  CDiskReader reader;
  ASSERT_EQ(0, reader.Init(img.path.c_str(), 8));
  int flags = fcntl(reader.GetFd(), F_GETFL);
  EXPECT_EQ(O_RDONLY, flags & O_ACCMODE);
  EXPECT_EQ(-1, write(reader.GetFd(), "x", 1));
}

TEST(DiskReader, HolesOfAnImageReadAsZerosAndDataAsItIs) {
  const std::string dir = testfiles::FreshDir("reader-holes");
  const std::string path = dir + "/sparse.img";
  // 8 MiB: a hole, 64 KiB of data at 4 MiB, a hole to the end.
  int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
  ASSERT_GE(fd, 0);
  std::vector<unsigned char> data(65536, 0x5A);
  ASSERT_EQ(0, ftruncate(fd, 8 << 20));
  ASSERT_EQ(65536, pwrite(fd, data.data(), data.size(), 4 << 20));
  close(fd);
  CDiskReader reader;
  ASSERT_EQ(0, reader.Init(path.c_str(), 16384));
  if (reader.HoleSectors(0, 16, 512) == 0) {
    testfiles::Run("rm -rf '" + dir + "'");
    GTEST_SKIP() << "the file system keeps no holes";
  }
  EXPECT_EQ(8192u, reader.HoleSectors(0, 16384, 512));
  EXPECT_EQ(0u, reader.HoleSectors(8192, 128, 512));
  EXPECT_EQ(100u, reader.HoleSectors(8192 + 128, 100, 512));
  // Across hole, data, hole: every byte as the file holds it.
  std::vector<unsigned char> buf(256 * 512, 0xEE);
  unsigned int got = 0;
  ASSERT_EQ(0, reader.ReadData(buf.data(), 256, 8192 - 64, 512, &got));
  EXPECT_EQ(256u, got);
  for (size_t i = 0; i < buf.size(); ++i) {
    const bool inData = i >= 64 * 512 && i < 192 * 512;
    ASSERT_EQ(inData ? 0x5A : 0, buf[i]) << "byte " << i;
  }
  // The read-ahead, on its thread or not, gives the data and stops where it
  // does: a chunk that reaches into the hole after it is the pass's to read
  // (a read there would make an unwritten extent count as data).
  for (bool thread : {true, false}) {
    const int rfd = open(path.c_str(), O_RDONLY);
    ASSERT_GE(rfd, 0);
    {
      CReadAhead ahead(rfd, 512, 16384, thread);
      ahead.Begin(8192, 16384);
      std::vector<unsigned char> spare(128 * 512);
      const unsigned char* p = ahead.Take(8192, 64, spare.data());
      ASSERT_NE(nullptr, p) << thread;
      EXPECT_EQ(0x5A, p[0]);
      EXPECT_EQ(0x5A, p[64 * 512 - 1]);
      EXPECT_EQ(nullptr, ahead.Take(8192 + 64, 128, spare.data())) << thread;
    }
    close(rfd);
  }
  // Past the end of the file the read stays short, hole or not.
  CDiskReader wide;
  ASSERT_EQ(0, wide.Init(path.c_str(), 20000));
  EXPECT_EQ(STATUS_SHORT_READ, wide.ReadData(buf.data(), 8, 16384 - 4, 512, &got));
  EXPECT_EQ(4u, got);
  testfiles::Run("rm -rf '" + dir + "'");
}

// What the pass holds in memory serves reads wholly inside it, copied or in
// place; anything else is read from the disk, and a sector the bad-sector
// map lists stays unreadable (never handed out in place).
TEST(DiskReader, WindowServesOnlyReadsWhollyInsideIt) {
  ImageFile img(64 * 512);
  CDiskReader reader;
  ASSERT_EQ(0, reader.Init(img.path.c_str(), 64));
  std::vector<unsigned char> window(8 * 512, 0xAB), buf(4096);
  reader.SetWindow(window.data(), 16, 8, 512);
  const unsigned char disk22 = static_cast<unsigned char>(22 * 7);
  unsigned int got = 0;
  ASSERT_EQ(0, reader.ReadData(buf.data(), 4, 20, 512, &got));  // sectors 20-23: the window's last four
  EXPECT_EQ(4u, got);
  EXPECT_EQ(0xAB, buf[0]);
  EXPECT_EQ(0xAB, buf[4 * 512 - 1]);
  ASSERT_EQ(0, reader.ReadData(buf.data(), 4, 21, 512, &got));  // one sector past it
  EXPECT_EQ(static_cast<unsigned char>(21 * 7), buf[0]);
  ASSERT_EQ(0, reader.ReadData(buf.data(), 1, 5, 4096, &got));  // another sector size
  EXPECT_EQ(static_cast<unsigned char>(40 * 7), buf[0]);
  EXPECT_EQ(window.data() + 4 * 512, reader.WindowSpan(20, 4, 512));
  EXPECT_EQ(nullptr, reader.WindowSpan(21, 4, 512));
  EXPECT_EQ(nullptr, reader.WindowSpan(15, 2, 512));
  EXPECT_EQ(5u, reader.WindowHolds(19, 512));
  EXPECT_EQ(0u, reader.WindowHolds(24, 512));
  // A second block held after the first: a read runs on into it, copied;
  // in place only within one of them.
  std::vector<unsigned char> next(4 * 512, 0xCD);
  reader.AddWindow(next.data(), 24, 4);
  ASSERT_EQ(0, reader.ReadData(buf.data(), 6, 21, 512, &got));
  EXPECT_EQ(0xAB, buf[3 * 512 - 1]);
  EXPECT_EQ(0xCD, buf[3 * 512]);
  EXPECT_EQ(0xCD, buf[6 * 512 - 1]);
  EXPECT_EQ(nullptr, reader.WindowSpan(22, 4, 512));
  EXPECT_EQ(next.data() + 512, reader.WindowSpan(25, 3, 512));
  EXPECT_EQ(2u, reader.WindowHolds(26, 512));
  ASSERT_EQ(0, reader.ReadData(buf.data(), 2, 27, 512, &got));  // one sector past both
  EXPECT_EQ(static_cast<unsigned char>(28 * 7), buf[512]);
  reader.SetWindow(window.data(), 16, 8, 512);  // the first block alone again
  CBadSectorMap bad;
  bad.Add(22, 1);
  reader.AttachBadSectorMap(&bad);
  EXPECT_EQ(nullptr, reader.WindowSpan(20, 3, 512));
  EXPECT_EQ(window.data() + 4 * 512, reader.WindowSpan(20, 2, 512));
  EXPECT_EQ(3u, reader.WindowHolds(19, 512));
  u64 unreadable = 0;
  ASSERT_EQ(0, reader.ReadTolerant(buf.data(), 2, 16, 512, &unreadable));  // clear of the bad sector
  EXPECT_EQ(0xAB, buf[0]);
  EXPECT_EQ(0u, unreadable);
  ASSERT_EQ(0, reader.ReadTolerant(buf.data(), 3, 20, 512, &unreadable));
  EXPECT_EQ(0xAB, buf[0]);
  EXPECT_EQ(0, buf[2 * 512]);  // the listed sector: zeros, counted
  EXPECT_EQ(1u, unreadable);
  reader.AttachBadSectorMap(nullptr);
  reader.ClearWindow();
  ASSERT_EQ(0, reader.ReadData(buf.data(), 1, 22, 512, &got));
  EXPECT_EQ(disk22, buf[0]);
}

// The read-ahead maps an image or copies it into buffers (as it reads a
// block device), on its own thread or (mapping) as the pass asks: every way
// it gives the image's bytes, and a block the file no longer fills (cut
// short while scanned) is not given at all, so the pass reads those sectors
// itself instead of faulting on them.
TEST(ReadAhead, GivesTheImageAsItIsAndNothingPastItsEnd) {
  ImageFile img(3000 * 512, "readahead");
  std::vector<unsigned char> want(3000 * 512);
  for (size_t i = 0; i < want.size(); ++i) want[i] = static_cast<unsigned char>((i / 512) * 7 + i);
  for (const auto& [map, thread] : {std::pair{"1", true}, std::pair{"0", true}, std::pair{"1", false}}) {
    setenv("TORVANE_MAP", map, 1);
    const int fd = open(img.path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    {
      CReadAhead ahead(fd, 512, 3000, thread);
      ahead.Begin(10, 3000);
      std::vector<unsigned char> spare(128 * 512);
      for (u64 at = 10; at + 128 <= 3000; at += 128) {
        const unsigned char* p = ahead.Take(at, 128, spare.data());
        ASSERT_NE(nullptr, p) << map << " " << at;
        EXPECT_EQ(0, memcmp(p, want.data() + at * 512, 128 * 512)) << map << " " << at;
      }
    }
    {
      CReadAhead ahead(fd, 512, 6000, thread);  // the file claimed twice as long as it is
      ahead.Begin(2990, 6000);
      std::vector<unsigned char> spare(128 * 512);
      EXPECT_EQ(nullptr, ahead.Take(2990, 128, spare.data())) << map;
    }
    close(fd);
  }
  unsetenv("TORVANE_MAP");
}

TEST(DiskMap, TorvaneDisksNamesDisksInOrder) {
  ImageFile a(2048, "mapa"), b(4096, "mapb");
  std::string env = a.path + ":" + b.path;
  setenv("TORVANE_DISKS", env.c_str(), 1);
  EXPECT_EQ(a.path, GetDiskDevicePath(0));
  EXPECT_EQ(b.path, GetDiskDevicePath(1));
  EXPECT_EQ("", GetDiskDevicePath(2));
  EXPECT_EQ("", GetDiskDevicePath(-1));

  CDiskReader reader;
  ASSERT_EQ(0, reader.Init(1, 8));
  std::vector<unsigned char> buf(512);
  unsigned int got = 0;
  ASSERT_EQ(0, reader.ReadData(buf.data(), 1, 7, 512, &got));
  EXPECT_EQ(static_cast<unsigned char>(7 * 7), buf[0]);
  EXPECT_EQ(8u * 512u, rsb_getDeviceSize(reader.GetFd()));
  // An image has no sector size of its own; a block device has the kernel's.
  EXPECT_EQ(0u, rsb_getLogicalSectorSize(reader.GetFd()));
  int loop = open("/dev/loop0", O_RDONLY | O_CLOEXEC);
  if (loop >= 0) {
    u32 ss = rsb_getLogicalSectorSize(loop);
    EXPECT_TRUE(ss == 512 || ss == 1024 || ss == 2048 || ss == 4096) << ss;
    close(loop);
  }

  errno = 0;
  EXPECT_EQ(-1, OpenDiskReadOnly(5));
  EXPECT_EQ(ENODEV, errno);

  // An added image follows the listed disks and is found again by path.
  ImageFile c(1024, "mapc");
  int n = AddDiskImage(c.path);
  EXPECT_EQ(2, n);
  EXPECT_EQ(n, AddDiskImage(c.path));
  EXPECT_EQ(0, AddDiskImage(a.path));
  EXPECT_EQ(-1, AddDiskImage(""));
  unsetenv("TORVANE_DISKS");
}

TEST(DiskMap, SupportFolderFollowsTheEnvironment) {
  setenv("TORVANE_SUPPORT_DIR", "/tmp/torvane-x///", 1);
  EXPECT_EQ("/tmp/torvane-x", GetSupportDir());
  EXPECT_EQ("/tmp/torvane-x/ScanLog/", GetScanLogDir());
  unsetenv("TORVANE_SUPPORT_DIR");
  setenv("XDG_DATA_HOME", "/tmp/xdg-data", 1);
  EXPECT_EQ("/tmp/xdg-data/torvane-recovery", GetSupportDir());
  unsetenv("XDG_DATA_HOME");
  const char* home = getenv("HOME");
  std::string savedHome = home ? home : "";
  setenv("HOME", "/tmp/some-home", 1);
  EXPECT_EQ("/tmp/some-home/.local/share/torvane-recovery", GetSupportDir());
  if (home) setenv("HOME", savedHome.c_str(), 1);

  std::string dir = testfiles::FreshDir("mkdirs");
  std::string deep = dir + "/a/b/c";
  ASSERT_EQ(0, MakeDirectories(deep));
  struct stat st;
  ASSERT_EQ(0, stat(deep.c_str(), &st));
  mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(0700 & ~mask, st.st_mode & 0777);
  testfiles::WriteAll(dir + "/file", "x", 1);
  EXPECT_EQ(ENOTDIR, MakeDirectories(dir + "/file/sub"));
  testfiles::Run("rm -rf '" + dir + "'");
}

TEST(OsWrappers, FreeSpaceShortensMissingPaths) {
  unsigned int hi = 1, lo = 1;
  char rel[] = "relative/path";
  EXPECT_EQ(0, rsb_getFreeSpace(rel, 0, &hi, &lo));
  EXPECT_EQ(0u, hi);
  EXPECT_EQ(0u, lo);
  char missing[] = "/tmp/does/not/exist/anywhere";
  EXPECT_EQ(0, rsb_getFreeSpace(missing, 0, &hi, &lo));
  EXPECT_STREQ("/tmp", missing);
  EXPECT_GT((static_cast<unsigned long long>(hi) << 32) | lo, 0ull);
}

TEST(OsWrappers, SleepAndTime) {
  u32 before = rsb_getTickCount();
  rsb_msleep(120);
  u32 after = rsb_getTickCount();
  EXPECT_GE(after - before, 100u);
  SYSTEMTIME st;
  ASSERT_EQ(0, rsb_getLocalTime(&st));
  time_t now = time(nullptr);
  struct tm t;
  localtime_r(&now, &t);
  EXPECT_EQ(t.tm_year + 1900, st.wYear);
  EXPECT_EQ(t.tm_mon + 1, st.wMonth);
  EXPECT_EQ(t.tm_mday, st.wDay);
  EXPECT_EQ(t.tm_wday, st.wDayOfWeek);
}

}  // namespace

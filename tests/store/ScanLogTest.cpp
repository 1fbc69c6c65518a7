#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>

#include "StoreTestUtil.h"
#include "engine/ByteOrder.h"

using namespace storetest;

namespace {

// statvfs of /proc reports no free space, so its fingerprint is a stable 0.
const char* const kStableDevice = "/proc";

class ScanLog : public StoreFixture {
 protected:
  CLogFileManager* Log() { return CLogFileManager::GetInstance(); }
  std::string Config() { return m_scanLog + "config"; }
  bool Exists(const std::string& p) {
    struct stat st;
    return lstat(p.c_str(), &st) == 0;
  }
  // A result set in the current scan folder, as an engine leaves it.
  void MakeResultSet(const wchar_t* name) {
    CScanResultFileManager store;
    ASSERT_EQ(0, store.Init(name));
    AddNode(store, MakeNode("a.txt", false, 1), 0, 0);
  }
  // Writes a "config" by hand: index, then records.
  void WriteConfig(u64 index, const std::vector<_LOG_FILE_INFO_>& recs, const std::string& path) {
    std::vector<unsigned char> data(8 + recs.size() * 592, 0);
    for (int i = 0; i < 8; ++i) data[i] = static_cast<unsigned char>(index >> (8 * i));
    for (size_t r = 0; r < recs.size(); ++r) memcpy(data.data() + 8 + r * 592, &recs[r], 592);
    ASSERT_TRUE(testfiles::WriteAll(path, data.data(), data.size()));
  }
  // Scan 4 of disk 2's sectors 100-999 recorded, with a result set in its folder.
  void RecordOldScanOfTheRange(const std::string& old) {
    ASSERT_EQ(0, mkdir(old.c_str(), 0755));
    ASSERT_TRUE(testfiles::WriteAll(old + "Fast_x", "abc", 3));
    WriteConfig(4, {Record(2, 100, 900, 123456789, old)}, Config());
    ASSERT_EQ(0, Log()->Reload());
  }
  _LOG_FILE_INFO_ Record(int disk, u64 first, u64 count, u64 free, const std::string& dir) {
    _LOG_FILE_INFO_ r;
    memset(&r, 0, sizeof(r));
    r.nDiskNo = disk;
    r.u64StartSector = first;
    r.u64SectorCount = count;
    r.u64FreeSpace = free;
    snprintf(r.szLogDir, sizeof(r.szLogDir), "%s", dir.c_str());
    return r;
  }
};

TEST_F(ScanLog, FirstScanUsesFolderOneAndTheConfigRecordsIt) {
  EXPECT_EQ(0u, Log()->GetDirIndex());
  EXPECT_EQ(m_scanLog, Log()->GetBasePath());
  Log()->AddDirIndex();
  const std::string dir = m_scanLog + "1/";
  EXPECT_EQ(dir, ScanDir());
  char buf[256];
  Log()->GetLogFileDirPath(buf);
  EXPECT_EQ(dir, std::string(buf));
  MakeResultSet(L"Fast_1");
  EXPECT_TRUE(Exists(dir + "Fast_1"));

  EXPECT_EQ(0, Log()->SaveLogFileInfo(kStableDevice, 3, 2048, 100000, 10, 20, 5, 777, 42, dir.c_str(), ""));
  std::vector<unsigned char> cfg = testfiles::ReadAll(Config());
  ASSERT_EQ(8u + 592u, cfg.size());
  const unsigned char* p = cfg.data();
  EXPECT_EQ(1u, GetU64LE(p, cfg.size(), 0));
  EXPECT_EQ(3u, GetU32LE(p, cfg.size(), 8 + 0));
  EXPECT_EQ(0u, GetU32LE(p, cfg.size(), 8 + 4));
  EXPECT_EQ(2048u, GetU64LE(p, cfg.size(), 8 + 8));
  EXPECT_EQ(100000u, GetU64LE(p, cfg.size(), 8 + 16));
  EXPECT_EQ(10u, GetU64LE(p, cfg.size(), 8 + 24));
  EXPECT_EQ(20u, GetU64LE(p, cfg.size(), 8 + 32));
  EXPECT_EQ(5u, GetU64LE(p, cfg.size(), 8 + 40));
  EXPECT_EQ(777u, GetU64LE(p, cfg.size(), 8 + 48));
  EXPECT_EQ(42u, GetU64LE(p, cfg.size(), 8 + 56));
  EXPECT_EQ(0u, GetU64LE(p, cfg.size(), 8 + 64));
  EXPECT_EQ(0u, GetU64LE(p, cfg.size(), 8 + 72));
  EXPECT_EQ(0, p[8 + 80]);
  EXPECT_EQ(dir, std::string(reinterpret_cast<const char*>(p + 8 + 336)));
  struct stat st;
  ASSERT_EQ(0, stat(Config().c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 07777);
  EXPECT_FALSE(Exists(Config() + ".tmp"));

  // A fresh start reads the same state back.
  ASSERT_EQ(0, Log()->Reload());
  EXPECT_EQ(1u, Log()->GetDirIndex());
  ASSERT_EQ(1u, Log()->GetLogList().size());
  EXPECT_EQ(777u, Log()->GetLogList()[0].u64SectorsDone);
  EXPECT_EQ(dir, std::string(Log()->GetLogList()[0].szLogDir));
}

TEST_F(ScanLog, AGivenBackNumberIsReusedAndItsLeftoversWiped) {
  Log()->AddDirIndex();
  MakeResultSet(L"Fast_failed");
  ASSERT_TRUE(Exists(m_scanLog + "1/Fast_failed"));
  Log()->ReduceDirIndex();
  EXPECT_EQ(0u, Log()->GetDirIndex());
  Log()->AddDirIndex();
  EXPECT_EQ(m_scanLog + "1/", ScanDir());
  EXPECT_FALSE(Exists(m_scanLog + "1"));
  // Giving back below zero does not wrap round.
  Log()->ReduceDirIndex();
  Log()->ReduceDirIndex();
  EXPECT_EQ(0u, Log()->GetDirIndex());
}

TEST_F(ScanLog, SameRangeAndFreeSpaceKeepsOneRecord) {
  Log()->AddDirIndex();
  std::string dir = ScanDir();
  Log()->SaveLogFileInfo(kStableDevice, 1, 63, 5000, 0, 100, 10, 10, 1, dir.c_str(), "");
  Log()->SaveLogFileInfo(kStableDevice, 1, 63, 5000, 200, 300, 30, 250, 9, dir.c_str(), "");
  ASSERT_EQ(1u, Log()->GetLogList().size());
  const _LOG_FILE_INFO_& r = Log()->GetLogList()[0];
  EXPECT_EQ(200u, r.u64RunStart);
  EXPECT_EQ(300u, r.u64RunLength);
  EXPECT_EQ(30u, r.u64RunPosition);
  EXPECT_EQ(250u, r.u64SectorsDone);
  EXPECT_EQ(9u, r.u64FilesFound);
  EXPECT_EQ(8u + 592u, testfiles::ReadAll(Config()).size());
  // Another range is another record.
  Log()->SaveLogFileInfo(kStableDevice, 1, 64, 5000, 0, 0, 0, 0, 0, dir.c_str(), "");
  EXPECT_EQ(2u, Log()->GetLogList().size());
}

TEST_F(ScanLog, AChangedFreeSpaceReplacesTheRecordAndDeletesItsFolder) {
  const std::string old = m_scanLog + "4/";
  ASSERT_NO_FATAL_FAILURE(RecordOldScanOfTheRange(old));
  Log()->AddDirIndex();
  std::string dir = ScanDir();
  EXPECT_EQ(m_scanLog + "5/", dir);
  MakeResultSet(L"Fast_new");
  Log()->SaveLogFileInfo(kStableDevice, 2, 100, 900, 1, 2, 3, 4, 5, dir.c_str(), "");
  EXPECT_FALSE(Exists(m_scanLog + "4"));
  EXPECT_TRUE(Exists(dir + "Fast_new"));
  ASSERT_EQ(1u, Log()->GetLogList().size());
  EXPECT_EQ(dir, std::string(Log()->GetLogList()[0].szLogDir));
  EXPECT_EQ(0u, Log()->GetLogList()[0].u64FreeSpace);
}

// The same disk scanned twice at once: the scan still running (its folder
// locked) keeps its folder; only its record gives way.
TEST_F(ScanLog, AFolderAnotherProcessHoldsIsNotDeleted) {
  const std::string old = m_scanLog + "4/";
  ASSERT_NO_FATAL_FAILURE(RecordOldScanOfTheRange(old));
  const int lock = open((m_scanLog + ".busy-4").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(lock, 0);
  ASSERT_EQ(0, flock(lock, LOCK_EX));
  Log()->AddDirIndex();
  std::string dir = ScanDir();
  EXPECT_EQ(m_scanLog + "5/", dir);
  Log()->SaveLogFileInfo(kStableDevice, 2, 100, 900, 1, 2, 3, 4, 5, dir.c_str(), "");
  close(lock);
  EXPECT_TRUE(Exists(old + "Fast_x"));
  ASSERT_EQ(1u, Log()->GetLogList().size());
  EXPECT_EQ(dir, std::string(Log()->GetLogList()[0].szLogDir));
}

TEST_F(ScanLog, AResumedScanWhoseFingerprintChangedKeepsItsOwnResults) {
  std::string dir = m_scanLog + "2/";
  WriteConfig(2, {Record(0, 0, 800, 0, dir)}, Config());
  ASSERT_EQ(0, Log()->Reload());
  _LOG_FILE_INFO_ rec;
  ASSERT_EQ(1, Log()->LoadRecoveryLogInfo(kStableDevice, 0, 0, 800, &rec));
  EXPECT_EQ(dir, ScanDir());
  MakeResultSet(L"File_Type_r");
  // The record now carries another fingerprint than the save will compute.
  _LOG_FILE_INFO_* p = nullptr;
  ASSERT_EQ(1, Log()->GetFileInfo(0, 0, 800, 0, &p));
  p->u64FreeSpace = 99;
  Log()->SaveLogFileInfo(kStableDevice, 0, 0, 800, 0, 0, 0, 800, 1, dir.c_str(), "");
  EXPECT_TRUE(Exists(dir + "File_Type_r"));
  ASSERT_EQ(1u, Log()->GetLogList().size());
  EXPECT_EQ(0u, Log()->GetLogList()[0].u64FreeSpace);
}

TEST_F(ScanLog, LoadingAPastScanChecksItsFingerprint) {
  std::string good = m_scanLog + "1/", stale = m_scanLog + "2/";
  ASSERT_EQ(0, mkdir(good.c_str(), 0755));
  ASSERT_EQ(0, mkdir(stale.c_str(), 0755));
  WriteConfig(2, {Record(0, 0, 800, 0, good), Record(1, 0, 800, 5555, stale)}, Config());
  ASSERT_EQ(0, Log()->Reload());
  ASSERT_EQ(2u, Log()->GetLogList().size());

  _LOG_FILE_INFO_ out;
  memset(&out, 0, sizeof(out));
  EXPECT_EQ(1, Log()->LoadRecoveryLogInfo(kStableDevice, 0, 0, 800, &out));
  EXPECT_EQ(good, ScanDir());
  EXPECT_EQ(good, std::string(out.szLogDir));

  EXPECT_EQ(0, Log()->LoadRecoveryLogInfo(kStableDevice, 1, 0, 800, &out));
  EXPECT_FALSE(Exists(m_scanLog + "2"));
  ASSERT_EQ(1u, Log()->GetLogList().size());
  EXPECT_EQ(m_scanLog + "2/", ScanDir());  // back to the numbered folder
  EXPECT_EQ(0, Log()->LoadRecoveryLogInfo(kStableDevice, 7, 0, 800, &out));
  EXPECT_TRUE(Exists(m_scanLog + "1"));
}

// An image is known by what it is: its path or inode and a hash of sampled
// sectors, not the free space of the volume it sits on (which our own result
// files change), its disk number (which changes when disks come and go) or
// its time (which a rewrite with the same size and time would keep).
TEST_F(ScanLog, AnImageKeepsItsRecordUntilItsContentChanges) {
  std::string image = m_support + "/disk.img";
  ASSERT_TRUE(testfiles::WriteAll(image, std::string(4096, 'x').data(), 4096));
  Log()->AddDirIndex();
  MakeResultSet(L"Fast_1");
  ASSERT_EQ(0, Log()->SaveLogFileInfo(image.c_str(), 3, 0, 8, 0, 8, 4, 4, 1, ScanDir().c_str(), ""));
  // Other writes on the same volume do not matter.
  ASSERT_TRUE(testfiles::WriteAll(m_support + "/other", std::string(100000, 'y').data(), 100000));
  ASSERT_EQ(0, Log()->Reload());
  _LOG_FILE_INFO_ out;
  memset(&out, 0, sizeof(out));
  // Under another disk number, and after a touch: still the same image.
  struct timespec times[2] = {{0, UTIME_OMIT}, {1000000, 0}};
  ASSERT_EQ(0, utimensat(AT_FDCWD, image.c_str(), times, 0));
  EXPECT_EQ(1, Log()->LoadRecoveryLogInfo(image.c_str(), 5, 0, 8, &out));
  EXPECT_EQ(4u, out.u64RunPosition);
  // Other content of the same size and time: another disk, started afresh.
  ASSERT_TRUE(testfiles::WriteAll(image, std::string(4096, 'z').data(), 4096));
  ASSERT_EQ(0, utimensat(AT_FDCWD, image.c_str(), times, 0));
  ASSERT_EQ(0, Log()->Reload());
  EXPECT_EQ(0, Log()->LoadRecoveryLogInfo(image.c_str(), 3, 0, 8, &out));
  EXPECT_EQ("the disk's content changed since the recorded scan", Log()->LastMismatch());
  // A scan's record carries the identity its start computed, unless the
  // image was rewritten in between (same size and time): then the new one.
  ASSERT_TRUE(testfiles::WriteAll(image, std::string(4096, 'w').data(), 4096));
  ASSERT_EQ(0, utimensat(AT_FDCWD, image.c_str(), times, 0));
  ASSERT_EQ(0, Log()->SaveLogFileInfo(image.c_str(), 3, 0, 8, 0, 8, 4, 4, 1, ScanDir().c_str(), ""));
  EXPECT_EQ(1, Log()->LoadRecoveryLogInfo(image.c_str(), 3, 0, 8, &out));
}

TEST_F(ScanLog, ARecordWhosePositionsLeaveItsRangeIsNotResumed) {
  std::string dir = m_scanLog + "1/";
  for (int bad = 0; bad < 3; ++bad) {
    _LOG_FILE_INFO_ r = Record(0, 0, 800, 0, dir);
    r.u64RunStart = bad == 0 ? 900 : 10;                // past the end
    r.u64RunLength = bad == 1 ? (1ull << 62) : 100;     // never ends
    r.u64RunPosition = bad == 2 ? 101 : 0;              // beyond its run
    ASSERT_EQ(0, mkdir(dir.c_str(), 0700));
    WriteConfig(1, {r}, Config());
    ASSERT_EQ(0, Log()->Reload());
    EXPECT_EQ(0, Log()->LoadRecoveryLogInfo(kStableDevice, 0, 0, 800, nullptr)) << bad;
    EXPECT_EQ("the scan record is damaged", Log()->LastMismatch()) << bad;
    EXPECT_FALSE(Exists(dir)) << bad;
  }
}

TEST_F(ScanLog, ScansByPathAlwaysAddARecord) {
  Log()->AddDirIndex();
  std::string dir = ScanDir();
  Log()->SaveLogFileInfo(kStableDevice, 0, 0, 10, 0, 0, 0, 0, 0, dir.c_str(), "/images/a.img");
  Log()->SaveLogFileInfo(kStableDevice, 0, 0, 10, 0, 0, 0, 0, 0, dir.c_str(), "/images/a.img");
  ASSERT_EQ(2u, Log()->GetLogList().size());
  EXPECT_STREQ("/images/a.img", Log()->GetLogList()[1].szScanPath);
  _LOG_FILE_INFO_* p = nullptr;
  EXPECT_EQ(1, Log()->GetFileInfo("/images/a.img", 0, &p));
  ASSERT_NE(nullptr, p);
  EXPECT_EQ(&Log()->GetLogList()[0], p);
  EXPECT_EQ(0, Log()->GetFileInfo("/images/b.img", 0, &p));
  EXPECT_EQ(0, Log()->LoadRecoveryLogInfo("/images/a.img", p));
}

// Two processes recording scans at the same time keep each other's records.
TEST_F(ScanLog, TwoProcessesRecordingAtOnceLoseNoRecord) {
  Log()->AddDirIndex();
  std::string dir = ScanDir();
  pid_t child = fork();
  ASSERT_GE(child, 0);
  const char* who = child == 0 ? "/images/child-" : "/images/parent-";
  for (int i = 0; i < 40; ++i) {
    std::string path = who + std::to_string(i);
    Log()->SaveLogFileInfo(kStableDevice, 0, 0, 10, 0, 0, 0, 0, 0, dir.c_str(), path.c_str());
  }
  if (child == 0) _exit(0);
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  Log()->Reload();
  EXPECT_EQ(80u, Log()->GetLogList().size());
}

TEST_F(ScanLog, AnInterruptedSaveIsRestoredAtStart) {
  // The fixture's start created an empty "config"; a crash between removing
  // it and renaming the new one leaves only "config.tmp".
  unlink(Config().c_str());
  WriteConfig(6, {Record(0, 1, 2, 0, m_scanLog + "6/")}, Config() + ".tmp");
  ASSERT_EQ(0, Log()->Reload());
  EXPECT_EQ(6u, Log()->GetDirIndex());
  EXPECT_EQ(1u, Log()->GetLogList().size());
  EXPECT_TRUE(Exists(Config()));
  EXPECT_FALSE(Exists(Config() + ".tmp"));
  // With both present the index stays authoritative.
  WriteConfig(9, {}, Config() + ".tmp");
  ASSERT_EQ(0, Log()->Reload());
  EXPECT_EQ(6u, Log()->GetDirIndex());
}

TEST_F(ScanLog, AFailedSaveKeepsTheOldIndex) {
  Log()->AddDirIndex();
  std::string dir = ScanDir();
  for (int i = 0; i < 3; ++i) Log()->SaveLogFileInfo(kStableDevice, i, 0, 10, 0, 0, 0, 0, 0, dir.c_str(), "");
  std::vector<unsigned char> before = testfiles::ReadAll(Config());
  ASSERT_EQ(8u + 3 * 592u, before.size());
  Log()->AddDirIndex();

  // Let the file-size limit cut the write short, as a full disk would.
  struct rlimit old;
  ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &old));
  struct rlimit small = old;
  small.rlim_cur = 1000;
  sighandler_t prev = signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &small));
  int status = Log()->SaveLogConfigFile();
  setrlimit(RLIMIT_FSIZE, &old);
  signal(SIGXFSZ, prev);

  EXPECT_EQ(EFBIG, status);
  EXPECT_EQ(before, testfiles::ReadAll(Config()));
  EXPECT_FALSE(Exists(Config() + ".tmp"));
  // Once writing works again the new index goes through.
  EXPECT_EQ(0, Log()->SaveLogConfigFile());
  EXPECT_EQ(2u, GetU64LE(testfiles::ReadAll(Config()).data(), 8, 0));
}

TEST_F(ScanLog, DamagedConfigFilesLoadOnlyWhatIsWhole) {
  // Shorter than the index: no state.
  testfiles::WriteAll(Config(), "\x05\x00\x00", 3);
  EXPECT_EQ(0, Log()->Reload());
  EXPECT_EQ(0u, Log()->GetDirIndex());
  EXPECT_TRUE(Log()->GetLogList().empty());
  // Empty: 87 and no state.
  testfiles::WriteAll(Config(), "", 0);
  EXPECT_EQ(STATUS_INVALID_PARAMETER, Log()->Reload());

  // Unterminated texts and a torn last record.
  std::vector<unsigned char> data(8 + 592 + 300, 'A');
  for (int i = 0; i < 8; ++i) data[i] = 0;
  data[0] = 3;
  testfiles::WriteAll(Config(), data.data(), data.size());
  EXPECT_EQ(0, Log()->Reload());
  EXPECT_EQ(3u, Log()->GetDirIndex());
  ASSERT_EQ(1u, Log()->GetLogList().size());
  EXPECT_EQ(255u, strlen(Log()->GetLogList()[0].szLogDir));
  EXPECT_EQ(255u, strlen(Log()->GetLogList()[0].szScanPath));
  // Such a record names no folder of ours; looking it up must not delete anything outside.
  EXPECT_EQ(m_scanLog + "3/", ScanDir());

  // Random bytes of random lengths never break loading.
  std::mt19937 rng(5);
  for (int round = 0; round < 50; ++round) {
    std::vector<unsigned char> junk(rng() % 3000);
    for (auto& b : junk) b = static_cast<unsigned char>(rng());
    testfiles::WriteAll(Config(), junk.data(), junk.size());
    Log()->Reload();
    size_t expect = junk.size() >= 8 ? (junk.size() - 8) / 592 : 0;
    EXPECT_EQ(expect, Log()->GetLogList().size());
  }
}

TEST_F(ScanLog, ResultSetNamesAreFoundByPrefix) {
  std::string dir = m_scanLog + "1/";
  ASSERT_EQ(0, mkdir(dir.c_str(), 0755));
  // Created with the companions first, so the listing order varies.
  for (const char* n : {"Pro_Fat_63_2024_Relation", "Pro_Fat_63_2024_DirInfo", "Pro_Fat_63_2024",
                        "Fast_63_2024_DirInfo", "Fast_63_2024", "Fast_63_2024_Relation"})
    ASSERT_TRUE(testfiles::WriteAll(dir + n, "", 0));
  char out[256] = "unchanged";
  EXPECT_EQ(0, Log()->GetLogFileNameByFileType(dir.c_str(), "Pro_Fat_", out));
  EXPECT_STREQ("Pro_Fat_63_2024", out);
  EXPECT_EQ(0, Log()->GetLogFileNameByFileType(dir.c_str(), "Fast_", out));
  EXPECT_STREQ("Fast_63_2024", out);
  strcpy(out, "unchanged");
  EXPECT_EQ(0, Log()->GetLogFileNameByFileType(dir.c_str(), "Pro_Ntfs_", out));
  EXPECT_STREQ("unchanged", out);
  EXPECT_EQ(0, Log()->GetLogFileNameByFileType((m_scanLog + "nothere/").c_str(), "Fast_", out));
  EXPECT_STREQ("unchanged", out);
}

TEST_F(ScanLog, DeletingRefusesFoldersOutsideTheScanLog) {
  std::string victim = m_support + "/victim";
  ASSERT_EQ(0, mkdir(victim.c_str(), 0755));
  ASSERT_TRUE(testfiles::WriteAll(victim + "/keep", "x", 1));

  EXPECT_NE(0, Log()->DeleteLogFileDir((victim + "/").c_str()));
  EXPECT_NE(0, Log()->DeleteLogFileDir((m_scanLog + "../victim/").c_str()));
  EXPECT_NE(0, Log()->DeleteLogFileDir(m_scanLog.c_str()));
  EXPECT_NE(0, Log()->DeleteLogFileDir((m_scanLog + "..").c_str()));
  EXPECT_TRUE(Exists(victim + "/keep"));
  EXPECT_TRUE(Exists(m_scanLog));

  // A hostile "config" pointing there, dropped through a fingerprint change.
  WriteConfig(1, {Record(0, 0, 8, 4242, victim + "/")}, Config());
  ASSERT_EQ(0, Log()->Reload());
  EXPECT_EQ(0, Log()->LoadRecoveryLogInfo(kStableDevice, 0, 0, 8, nullptr));
  EXPECT_TRUE(Log()->GetLogList().empty());
  EXPECT_TRUE(Exists(victim + "/keep"));

  // With a matching fingerprint it is still never made the scan folder.
  WriteConfig(1, {Record(0, 0, 8, 0, m_scanLog + "../victim/")}, Config());
  ASSERT_EQ(0, Log()->Reload());
  EXPECT_EQ(0, Log()->LoadRecoveryLogInfo(kStableDevice, 0, 0, 8, nullptr));
  EXPECT_EQ(m_scanLog + "1/", ScanDir());
  EXPECT_TRUE(Log()->GetLogList().empty());
  EXPECT_TRUE(Exists(victim + "/keep"));
}

TEST_F(ScanLog, DeletingRemovesLinksWithoutFollowingThem) {
  std::string victim = m_support + "/victim";
  ASSERT_EQ(0, mkdir(victim.c_str(), 0755));
  ASSERT_TRUE(testfiles::WriteAll(victim + "/keep", "x", 1));

  std::string dir = m_scanLog + "2";
  ASSERT_EQ(0, mkdir(dir.c_str(), 0755));
  ASSERT_EQ(0, mkdir((dir + "/sub").c_str(), 0755));
  ASSERT_TRUE(testfiles::WriteAll(dir + "/sub/f", "y", 1));
  ASSERT_EQ(0, symlink(victim.c_str(), (dir + "/link").c_str()));
  ASSERT_EQ(0, symlink(victim.c_str(), (dir + "/sub/link2").c_str()));
  ASSERT_EQ(0, symlink((victim + "/keep").c_str(), (dir + "/filelink").c_str()));
  EXPECT_EQ(0, Log()->DeleteLogFileDir((dir + "/").c_str()));
  EXPECT_FALSE(Exists(dir));
  EXPECT_TRUE(Exists(victim + "/keep"));

  // A numbered folder that is itself a link: the link goes, its target stays.
  ASSERT_EQ(0, symlink(victim.c_str(), (m_scanLog + "3").c_str()));
  WriteConfig(2, {}, Config());
  ASSERT_EQ(0, Log()->Reload());
  Log()->AddDirIndex();
  EXPECT_FALSE(Exists(m_scanLog + "3"));
  EXPECT_TRUE(Exists(victim + "/keep"));
  MakeResultSet(L"Fast_after");
  struct stat st;
  ASSERT_EQ(0, lstat((m_scanLog + "3").c_str(), &st));
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_FALSE(Exists(victim + "/Fast_after"));

  // A past scan whose folder was replaced by a link is not resumed into it.
  ASSERT_EQ(0, symlink(victim.c_str(), (m_scanLog + "7").c_str()));
  WriteConfig(7, {Record(0, 0, 8, 0, m_scanLog + "7/")}, Config());
  ASSERT_EQ(0, Log()->Reload());
  EXPECT_EQ(0, Log()->LoadRecoveryLogInfo(kStableDevice, 0, 0, 8, nullptr));
  EXPECT_FALSE(Exists(m_scanLog + "7"));
  EXPECT_TRUE(Exists(victim + "/keep"));
  EXPECT_TRUE(Log()->GetLogList().empty());
}

}  // namespace

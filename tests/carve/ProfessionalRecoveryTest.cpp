// The deep-scan orchestrator on small crafted disks: chunking, skips over
// carved files, progress arithmetic, cancellation, the bitmap's denominator
// and the merged listing.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <set>
#include <cstring>
#include <string>
#include <vector>

#include "scan/ProfessionalRecovery.h"
#include "engine/DiskMap.h"
#include "scan/FileRecoveryFactory.h"
#include "engine/TextUtil.h"
#include "store/LogFileManager.h"
#include "support/DeepScan.h"
#include "support/TestFiles.h"
#include "support/TestImages.h"

namespace {

struct Report {
  int progress, percent;
  u64 cur, total;
};

struct Recorder {
  std::vector<Report> reports;
  int cancelAfter = -1;  // answer 1 from this deep-pass report on
  int deepReports = 0;
};

int OnScan(void* p, int nProgress, int nPercent, int, u64 cur, u64 total, u64, wchar_t*) {
  Recorder* r = static_cast<Recorder*>(p);
  r->reports.push_back({nProgress, nPercent, cur, total});
  if (nPercent == 90 && r->cancelAfter >= 0 && r->deepReports++ >= r->cancelAfter) return 1;
  return 0;
}

class Orchestrator : public ::testing::Test {
 protected:
  void SetUp() override {
    m_dir = testfiles::FreshDir("orchestrator");
    setenv("TORVANE_SUPPORT_DIR", (m_dir + "/support").c_str(), 1);
    MakeDirectories(GetScanLogDir());
    CLogFileManager::GetInstance()->Reload();
  }
  void TearDown() override {
    unsetenv("TORVANE_DISKS");
    testimg::RemoveTree(m_dir);
  }
  // A disk of zero sectors with some bytes placed; it becomes disk 0.
  void MakeDisk(size_t sectors, const std::vector<std::pair<size_t, std::vector<unsigned char>>>& blobs) {
    std::vector<unsigned char> data(sectors * 512, 0);
    for (auto& b : blobs) memcpy(&data[b.first * 512], b.second.data(), b.second.size());
    m_disk = m_dir + "/disk.img";
    testfiles::WriteAll(m_disk, data.data(), data.size());
    setenv("TORVANE_DISKS", m_disk.c_str(), 1);
  }
  CProfessionalRecovery* Deep(i64 first, i64 count) {
    IFileRecoveryParse* e =
        CFileRecoveryFactory::GetInstance()->CreateFileRecoveryInstance(0, first, count, 67, RECOVERY_TYPE_PROFESSIONAL);
    CProfessionalRecovery* d = dynamic_cast<CProfessionalRecovery*>(e);
    if (!d) delete e;
    return d;
  }
  // A BMP header declaring a file of the given size.
  static std::vector<unsigned char> Bmp(u32 size) {
    std::vector<unsigned char> b(512, 0);
    b[0] = 'B';
    b[1] = 'M';
    memcpy(&b[2], &size, 4);
    b[10] = 54;
    b[14] = 40;
    return b;
  }
  // A JFIF start whose end marker closes its 10th sector (BMP and a few other
  // types skip only their first sector, so a JPEG shows the skip).
  static std::vector<unsigned char> Jpeg10Sectors() {
    std::vector<unsigned char> b(10 * 512, 0x55);
    const unsigned char head[] = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0x00, 0x01};
    memcpy(b.data(), head, sizeof(head));
    b[b.size() - 2] = 0xFF;
    b[b.size() - 1] = 0xD9;
    return b;
  }
  std::vector<Report> DeepReports(const Recorder& r) {
    std::vector<Report> out;
    for (auto& x : r.reports)
      if (x.percent == 90) out.push_back(x);
    return out;
  }
  std::string m_dir, m_disk;
};

TEST_F(Orchestrator, ChunksAndProgressOfARangeWithoutBitmap) {
  MakeDisk(300, {});
  CProfessionalRecovery* deep = Deep(0, 300);
  ASSERT_NE(nullptr, deep);
  EXPECT_EQ(nullptr, deep->GetFastEngine());  // no file system: no quick pre-pass
  deep->SetNotLoadLogFile();
  Recorder rec;
  deep->InitCallBack(OnScan, nullptr, &rec, 100);
  ASSERT_EQ(0, deep->ScanDevice(nullptr));
  auto d = DeepReports(rec);
  ASSERT_EQ(3u, d.size());
  EXPECT_EQ(52, d[0].progress);
  EXPECT_EQ(95, d[1].progress);
  EXPECT_EQ(110, d[2].progress);
  EXPECT_EQ(128u, d[0].cur);
  EXPECT_EQ(256u, d[1].cur);
  EXPECT_EQ(300u, d[2].cur);
  EXPECT_EQ(300u, d[2].total);
  ASSERT_FALSE(rec.reports.empty());
  EXPECT_EQ(100, rec.reports.back().progress);
  EXPECT_EQ(100, rec.reports.back().percent);
  delete deep;
}

TEST_F(Orchestrator, ACarvedFileRunningPastAChunkIsSkippedUnread) {
  // A 10-sector JPEG starting in the chunk's last sector: the next read starts
  // 9 sectors after the chunk's end, and those sectors count as done.
  MakeDisk(400, {{127, Jpeg10Sectors()}, {140, Bmp(3 * 512)}});
  CProfessionalRecovery* deep = Deep(0, 400);
  ASSERT_NE(nullptr, deep);
  deep->SetNotLoadLogFile();
  Recorder rec;
  deep->InitCallBack(OnScan, nullptr, &rec, 100);
  ASSERT_EQ(0, deep->ScanDevice(nullptr));
  // (The JPEG's measurement reports its read-ahead too; the chunk reports
  // are the ones at 137 and 265.)
  auto d = DeepReports(rec);
  std::vector<u64> curs;
  for (auto& x : d) curs.push_back(x.cur);
  auto at137 = std::find(curs.begin(), curs.end(), 137u);
  ASSERT_NE(curs.end(), at137);
  ASSERT_NE(curs.end(), at137 + 1);
  EXPECT_EQ(137u + 128u, *(at137 + 1));
  EXPECT_EQ(400u, d.back().cur);

  SEARCH_FILE_INFO_VECTOR hits;
  deep->SearchFileNode(const_cast<wchar_t*>(L"*.bmp|*.jpg|"), hits);
  ASSERT_EQ(2u, hits.size());
  EXPECT_STREQ("127.jpg", hits[0].szFileName);
  EXPECT_STREQ("140.bmp", hits[1].szFileName);
  EXPECT_EQ(5120u, hits[0].u64FileSize);

  // The top listing holds all carved files; a carved node has no children.
  FILE_NODE_VECTOR top;
  ASSERT_EQ(0, deep->GetChildrenFileNode(nullptr, 0, top));
  EXPECT_EQ(2u, top.size());
  unsigned int count = 7;
  EXPECT_EQ(0, deep->GetChildrenFileCount(&top[0], 0, count));
  EXPECT_EQ(7u, count);
  EXPECT_EQ(87, deep->GetChildrenFileNode(nullptr, 1, top));
  EXPECT_EQ(87, deep->SaveFileData(nullptr, nullptr, 0));
  delete deep;
}

TEST_F(Orchestrator, ACancelledScanIsRecordedWhereItStopped) {
  MakeDisk(1000, {{600, Bmp(2 * 512)}});
  CProfessionalRecovery* deep = Deep(0, 1000);
  ASSERT_NE(nullptr, deep);
  deep->SetNotLoadLogFile();
  Recorder rec;
  rec.cancelAfter = 1;  // stop after the second chunk
  deep->InitCallBack(OnScan, nullptr, &rec, 100);
  EXPECT_EQ(1, deep->ScanDevice(nullptr));
  // No final report after a cancel.
  EXPECT_NE(100, rec.reports.back().percent);
  delete deep;

  // The record points at the next chunk, and a new engine over the same range finds it.
  CLogFileManager::GetInstance()->Reload();
  ASSERT_EQ(1u, CLogFileManager::GetInstance()->GetLogList().size());
  const _LOG_FILE_INFO_& info = CLogFileManager::GetInstance()->GetLogList()[0];
  EXPECT_EQ(256u, info.u64RunPosition);
  EXPECT_EQ(256u, info.u64SectorsDone);
  EXPECT_EQ(1000u, info.u64RunLength);

  CProfessionalRecovery* again = Deep(0, 1000);
  ASSERT_NE(nullptr, again);
  EXPECT_EQ(1, again->IsFindLogFile());
  Recorder rec2;
  again->InitCallBack(OnScan, nullptr, &rec2, 100);
  ASSERT_EQ(0, again->ScanDevice(nullptr));
  auto d = DeepReports(rec2);
  ASSERT_FALSE(d.empty());
  EXPECT_EQ(256u + 128u, d[0].cur);  // went on from the next chunk
  SEARCH_FILE_INFO_VECTOR hits;
  again->SearchFileNode(const_cast<wchar_t*>(L"*.bmp|"), hits);
  ASSERT_EQ(1u, hits.size());
  EXPECT_STREQ("600.bmp", hits[0].szFileName);
  // A scan that was told not to resume starts again at sector 0.
  delete again;
  CProfessionalRecovery* fresh = Deep(0, 1000);
  ASSERT_NE(nullptr, fresh);
  fresh->SetNotLoadLogFile();
  EXPECT_EQ(0, fresh->IsFindLogFile());
  Recorder rec3;
  fresh->InitCallBack(OnScan, nullptr, &rec3, 100);
  ASSERT_EQ(0, fresh->ScanDevice(nullptr));
  EXPECT_EQ(128u, DeepReports(rec3)[0].cur);
  delete fresh;
}

// On a FAT volume only the free runs are read: the progress denominator is
// the free space the quick engine reports, and the pass never reads a live cluster.
TEST_F(Orchestrator, WithABitmapOnlyFreeRunsAreRead) {
  std::string image = testimg::ImagePath("fat16.img");
  setenv("TORVANE_DISKS", image.c_str(), 1);
  testimg::Manifest m = testimg::LoadManifest("fat16.img");
  i64 sectors = 0;
  {
    int fd = OpenDiskReadOnly(0);
    ASSERT_GE(fd, 0);
    sectors = static_cast<i64>(rsb_getDeviceSize(fd) / 512);
    close(fd);
  }
  CProfessionalRecovery* deep = Deep(0, sectors);
  ASSERT_NE(nullptr, deep);
  ASSERT_NE(nullptr, deep->GetFastEngine());
  deep->SetNotLoadLogFile();
  Recorder rec;
  deep->InitCallBack(OnScan, nullptr, &rec, 100);
  ASSERT_EQ(0, deep->ScanDevice(nullptr));
  u64 freeTotal = 0, start = 0, len = 0;
  for (;;) {
    len = 0;
    deep->GetFastEngine()->GetUnUsedSectorCount(start, len);
    if (len == 0) break;
    freeTotal += len;
    start += len;
  }
  auto d = DeepReports(rec);
  ASSERT_FALSE(d.empty());
  EXPECT_EQ(freeTotal, d.back().total);
  EXPECT_LT(freeTotal, static_cast<u64>(sectors));
  EXPECT_EQ(freeTotal, d.back().cur);

  // Deleted files come from the quick pre-pass, with their folders; the
  // carved copies of the same data are not listed twice.
  SEARCH_FILE_INFO_VECTOR hits;
  deep->SearchFileNode(const_cast<wchar_t*>(L"*.jpg|*.png|*.pdf|"), hits);
  int fromFat = 0;
  for (auto& h : hits) {
    if (h.nEngineType == ENGINE_FAST_FAT) ++fromFat;
    if (h.nEngineType == ENGINE_FILE_TYPE) {
      for (auto& o : hits)
        if (o.nEngineType == ENGINE_FAST_FAT && o.u64FileSize == h.u64FileSize && o.nClusterNO >= 2) {
          u64 firstData = o.u64DataStartSector + o.u64VolumeStartSector +
                          static_cast<u64>(o.nClusterNO - 2) * (o.nClusterBytes / 512);
          EXPECT_NE(firstData, h.u64RecordSector) << h.szFileName << " duplicates " << o.szFileName;
        }
    }
  }
  EXPECT_GT(fromFat, 0);
  delete deep;
}

// Volumes with clusters above 32 KiB get their quick pass: deleted files
// listed by name in their folders, live files not listed at all.
TEST(DeepScanOfLargeClusters, QuickPassNamesTheDeletedAndListsNoLiveFile) {
  for (const char* name : {"ntfs64k.img", "ntfs2m.img", "fat64k.img"}) {
    SCOPED_TRACE(name);
    testimg::Manifest m = testimg::LoadManifest(name);
    auto scan = testscan::RunDeepScan(testimg::ImagePath(name));
    ASSERT_TRUE(scan->engine);
    ASSERT_EQ(0, scan->status);
    ASSERT_NE(nullptr, scan->engine->GetFastEngine());
    std::set<std::string> listed;
    for (auto& hit : testscan::AllResults(*scan->engine)) {
      wchar_t folder[1024] = {0};
      scan->engine->GetFileNodeParentDirPath(&hit, folder, 1024);
      listed.insert("/" + WideToUtf8(folder) + hit.szFileName);
    }
    int deleted = 0;
    for (const auto& f : m.files) {
      if (f.name.find(':') != std::string::npos || f.name.size() <= 12) continue;  // streams; 8.3 names
      if (f.state == "live") {
        EXPECT_EQ(0u, listed.count(f.Path())) << "live file listed: " << f.Path();
      } else {
        ++deleted;
        EXPECT_EQ(1u, listed.count(f.Path())) << f.Path();
      }
    }
    EXPECT_GT(deleted, 5);
  }
}

// The files of a deleted FAT folder come from the quick pass, which walks
// the folder; the deep pass reads its clusters again (they are free) but
// does not list the same files a second time under a lost folder.
TEST(DeepScanOfFat, FilesOfADeletedFolderAreListedOnce) {
  for (const char* name : {"fat12.img", "fat16.img", "fat32.img"}) {
    SCOPED_TRACE(name);
    testimg::Manifest m = testimg::LoadManifest(name);
    auto scan = testscan::RunDeepScan(testimg::ImagePath(name));
    ASSERT_TRUE(scan->engine);
    ASSERT_EQ(0, scan->status);
    std::multiset<std::string> listed;
    for (auto& hit : testscan::AllResults(*scan->engine)) {
      wchar_t folder[1024] = {0};
      scan->engine->GetFileNodeParentDirPath(&hit, folder, 1024);
      listed.insert(std::string(hit.szFileName));
      listed.insert("/" + WideToUtf8(folder) + hit.szFileName);
    }
    int inFolder = 0;
    for (const auto& f : m.Files("deleted")) {
      // Long names only: a deleted entry without one has lost its first letter.
      if (!f.HasTag("in-deleted-folder") || f.name.find(' ') == std::string::npos) continue;
      ++inFolder;
      EXPECT_EQ(1u, listed.count(f.name)) << f.Path();
      EXPECT_EQ(1u, listed.count(f.Path())) << f.Path();
    }
    EXPECT_EQ(2, inFolder);
  }
}

}  // namespace

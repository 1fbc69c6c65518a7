// Damaged metadata: an image whose MFT has thousands of flipped bytes is
// scanned, listed, previewed and saved by both engines without the fault
// guard ever having to catch anything (and, under AddressSanitizer, without
// a report).
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <random>

#include "NtfsTestUtil.h"
#include "TestImages.h"
#include "engine/FaultGuard.h"
#include "ntfs/FastNtfsRecovery.h"
#include "ntfs/ProfessionalNtfsRecovery.h"

using namespace ntfstest;

namespace {

void ExerciseEverything(IFileRecoveryParse& e, const std::map<std::string, ListedNode>& tree, const std::string& out) {
  int n = 0;
  for (const auto& entry : tree) {
    _FILE_NODE_ node = entry.second.node;
    std::wstring target = W(out + "/f" + std::to_string(n++));
    e.SaveFileData(&node, &target[0], 0);
    unsigned char buf[4096];
    int len = sizeof(buf);
    wchar_t tmp[512] = {0};
    e.PreView(&node, tmp, buf, len, nullptr, nullptr);
    EXPECT_LE(len, 4096);
    wchar_t path[512];
    e.GetFileNodeParentDirPath(&node, path, 512);
  }
}

}  // namespace

TEST(NtfsRobustness, FlippedMftBytesAreSurvivedWithoutTheFaultGuard) {
  const uint64_t caughtBefore = FaultGuardCatchCount();
  std::string image = testimg::ImagePath("ntfs.img");
  // Where the MFT lies: from a scan of the intact image.
  FreshScanLog("ntfs-fuzz0");
  CFastNtfsRecovery probe;
  std::wstring wi = W(image);
  ASSERT_EQ(0, probe.Init(&wi[0], L'C'));
  ASSERT_FALSE(probe.GetMftRunList().empty());
  const uint64_t mftByte = probe.GetMftStartSector() * 512;
  const uint64_t mftBytes = 256 * 1024;  // the first 256 records

  for (unsigned seed = 1; seed <= 4; ++seed) {
    SCOPED_TRACE(seed);
    std::string copy = testimg::CopyToTemp(image, "ntfs-fuzz");
    {
      std::mt19937 rng(seed);
      std::fstream f(copy, std::ios::in | std::ios::out | std::ios::binary);
      for (int i = 0; i < 3000; ++i) {
        uint64_t off = mftByte + rng() % mftBytes;
        char c;
        f.seekg(off);
        f.read(&c, 1);
        c = static_cast<char>(c ^ static_cast<char>(1 + rng() % 255));
        f.seekp(off);
        f.write(&c, 1);
      }
    }
    std::string out = testimg::MakeTempDir("ntfs-fuzz-out");
    std::wstring w = W(copy);
    {
      FreshScanLog("ntfs-fuzz-quick");
      CFastNtfsRecovery e;
      e.Init(&w[0], L'C');
      e.ScanDevice(nullptr);
      e.BuildBitMapInfo();
      uint64_t s = 0, n = 0;
      for (int g = 0; g < 100000; ++g) {
        e.GetUnUsedSectorCount(s, n);
        if (!n) break;
        s += n;
      }
      ExerciseEverything(e, ListTree(e), out);
    }
    {
      FreshScanLog("ntfs-fuzz-deep");
      CProfessionalNtfsRecovery e;
      e.Init(&w[0], L'C');
      e.InitProfessionalScan(nullptr);
      std::vector<unsigned char> all = testimg::ReadAt(copy, 0, 1u << 26);
      for (uint64_t sec = 0; (sec + 2) * 512 <= all.size(); ++sec)
        if (IsNtfsFileRecord(all.data() + sec * 512, 1024)) e.ParseNtfsFileRecord(all.data() + sec * 512, sec);
      e.ParseProfessionalRecordVec();
      ExerciseEverything(e, ListTree(e), out);
    }
    testimg::RemoveTree(out);
    unlink(copy.c_str());
  }
  EXPECT_EQ(caughtBefore, FaultGuardCatchCount());
}

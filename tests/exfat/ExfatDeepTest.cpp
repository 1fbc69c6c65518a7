// exFAT recognition (boot region, checksum, backup, whole-disk listing) and
// the deep scan of a volume formatted over an older one, through the deep-scan
// orchestrator as the program runs it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "disk/BootSector.h"
#include "disk/PartitionManager.h"
#include "engine/DiskMap.h"
#include "engine/TextUtil.h"
#include "scan/FileRecoveryFactory.h"
#include "scan/ProfessionalRecovery.h"
#include "tests/fat/FatTestUtil.h"

namespace {

bool HaveImage(const std::string& name) {
  struct stat st;
  return stat(testimg::ImagePath(name).c_str(), &st) == 0;
}

TEST(ExfatBoot, RecognisedByItsBootRegionOrItsBackup) {
  if (!HaveImage("exfat.img") || !HaveImage("exfat-noboot.img")) GTEST_SKIP() << "test images missing";
  std::vector<uint8_t> head = testimg::ReadAt(testimg::ImagePath("exfat.img"), 0, 16384);
  ASSERT_EQ(16384u, head.size());
  EXPECT_TRUE(IsExfat(head.data(), head.size()));
  EXPECT_FALSE(IsFat(head.data(), head.size()));
  EXPECT_FALSE(IsNtfs(head.data(), head.size()));
  EXPECT_EQ(3, CFileRecoveryFactory::ClassifyVolume(head.data(), head.size()));

  // VolumeFlags and PercentInUse change while mounted and are left out of the checksum.
  std::vector<uint8_t> mounted = head;
  mounted[0x6A] ^= 0x02;
  mounted[0x70] = 42;
  EXPECT_TRUE(IsExfat(mounted.data(), mounted.size()));
  // Any other byte of the region breaks it: the fields alone still read.
  std::vector<uint8_t> damaged = head;
  damaged[512 + 7] ^= 0x01;
  EXFAT_BOOT_INFO info;
  EXPECT_TRUE(ParseExfatBootSector(damaged.data(), damaged.size(), info));
  EXPECT_FALSE(IsExfat(damaged.data(), damaged.size()));

  std::vector<uint8_t> noboot = testimg::ReadAt(testimg::ImagePath("exfat-noboot.img"), 0, 16384);
  EXPECT_FALSE(IsExfat(noboot.data(), noboot.size()));
  EXPECT_EQ(3, CFileRecoveryFactory::ClassifyVolume(noboot.data(), noboot.size()));
}

TEST(ExfatBoot, AVolumeWithoutPartitionTableIsListedAsTheWholeDisk) {
  if (!HaveImage("exfat.img")) GTEST_SKIP() << "test image missing";
  std::string image = testimg::ImagePath("exfat.img");
  int fd = OpenPathReadOnly(image.c_str());
  ASSERT_GE(fd, 0);
  CPartitionManager manager;
  std::vector<_PARTITION_ITEM_> list;
  EXPECT_EQ(0, manager.ReadPartitionTable(fd, 3, list));
  close(fd);
  ASSERT_EQ(1u, list.size());
  EXPECT_EQ(0u, list[0].u64StartSector);
  struct stat st;
  ASSERT_EQ(0, stat(image.c_str(), &st));
  EXPECT_EQ(static_cast<u64>(st.st_size) / 512 - 1, list[0].u64EndSector);
}

// The old volume's root folder was overwritten by the new one's metadata, so
// its top folders come back as LostFolderN (N: the folder's old cluster);
// below them names and files are whole, and every file whose data survived
// the format saves byte for byte.
TEST(ExfatDeepScan, AVolumeFormattedOverGivesBackItsOldFolders) {
  if (!HaveImage("exfat-reformat.img")) GTEST_SKIP() << "test image missing";
  fattest::UseFreshSupportDir("exfat-deep");
  testimg::Manifest m = testimg::LoadManifest("exfat-reformat.img");
  std::wstring wpath = Utf8ToWide(testimg::ImagePath("exfat-reformat.img"));
  std::unique_ptr<IFileRecoveryParse> engine(
      CFileRecoveryFactory::GetInstance()->CreateFileRecoveryInstance(&wpath[0], L'C', RECOVERY_TYPE_PROFESSIONAL));
  CProfessionalRecovery* deep = dynamic_cast<CProfessionalRecovery*>(engine.get());
  ASSERT_NE(nullptr, deep);
  deep->SetNotLoadLogFile();
  ASSERT_EQ(0, deep->ScanDevice(nullptr));
  std::multimap<std::string, fattest::Found> found;
  for (auto& f : fattest::BrowseAll(*deep))
    if (!f.node.bIsDir && f.node.nEngineType == ENGINE_PROFESSIONAL_EXFAT)
      found.emplace(fattest::JoinFolder(f.folder, f.node.szFileName), f);

  std::string dir = testimg::MakeTempDir("exfat-deep-save");
  size_t intact = 0;
  for (const auto& f : m.files) {
    if (!f.HasTag("data-intact") || f.folder == "/") continue;
    // "/Photos/2019" -> "/LostFolder<cluster of /Photos>/2019"
    size_t cut = f.folder.find('/', 1);
    std::string top = f.folder.substr(0, cut);
    auto info = m.info.find("oldDir." + top);
    ASSERT_NE(m.info.end(), info) << top;
    std::string expected = "/LostFolder" + info->second.substr(0, info->second.find(';')) +
                           (cut == std::string::npos ? "" : f.folder.substr(cut)) + "/" + f.name;
    auto it = found.find(expected);
    if (it == found.end()) {
      ADD_FAILURE() << "not found: " << expected << " (" << f.Path() << ")";
      continue;
    }
    int status = -1;
    std::string saved = fattest::SaveNode(*deep, it->second.node, dir, &status);
    EXPECT_EQ(0, status) << expected;
    EXPECT_EQ(f.sha256, saved.empty() ? "" : testimg::Sha256File(saved)) << expected;
    ++intact;
  }
  testimg::RemoveTree(dir);
  EXPECT_GE(intact, 8u);
}

}  // namespace

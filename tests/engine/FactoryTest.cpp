// The factory picks the engine from a volume's first bytes.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <memory>
#include <typeinfo>

#include "scan/ProfessionalRecovery.h"
#include "ext/FastExtRecovery.h"
#include "scan/FileRecoveryFactory.h"
#include "engine/TextUtil.h"
#include "fat/FastFatRecovery.h"
#include "ntfs/FastNtfsRecovery.h"
#include "support/TestFiles.h"
#include "support/TestImages.h"

namespace {

int g_calls = 0;
int CountScan(void*, int, int, int, u64, u64, u64, wchar_t*) { return ++g_calls, 0; }

class Factory : public ::testing::Test {
 protected:
  void SetUp() override {
    m_dir = testfiles::FreshDir("factory");
    std::string disks = testimg::ImagePath("ntfs.img") + ":" + testimg::ImagePath("fat16.img") + ":" +
                        testimg::ImagePath("ext4.img") + ":" + testimg::ImagePath("carve.img") + ":" + m_dir +
                        "/short.img";
    testfiles::WriteAll(m_dir + "/short.img", std::string(16384 + 512, '\0').data(), 16384 + 512);
    setenv("TORVANE_DISKS", disks.c_str(), 1);
    setenv("TORVANE_SUPPORT_DIR", (m_dir + "/support").c_str(), 1);
  }
  void TearDown() override {
    unsetenv("TORVANE_DISKS");
    testimg::RemoveTree(m_dir);
  }
  std::string m_dir;
};

TEST_F(Factory, QuickRequestsGetTheEngineOfTheFileSystem) {
  CFileRecoveryFactory* f = CFileRecoveryFactory::GetInstance();
  EXPECT_EQ(f, CFileRecoveryFactory::GetInstance());
  struct { int disk; const std::type_info* type; } rows[] = {
      {0, &typeid(CFastNtfsRecovery)}, {1, &typeid(CFastFatRecovery)}, {2, &typeid(CFastExtRecovery)}};
  for (auto& r : rows) {
    IFileRecoveryParse* e = f->CreateFileRecoveryInstance(r.disk, 0, 2048, 67, RECOVERY_TYPE_FAST);
    ASSERT_NE(nullptr, e) << r.disk;
    EXPECT_EQ(*r.type, typeid(*e)) << r.disk;
    delete e;
  }
  // Raw data: no quick engine, but a deep request always gets the orchestrator.
  EXPECT_EQ(nullptr, f->CreateFileRecoveryInstance(3, 0, 2048, 67, RECOVERY_TYPE_FAST));
  for (int disk = 0; disk < 4; ++disk) {
    IFileRecoveryParse* e = f->CreateFileRecoveryInstance(disk, 0, 2048, 67, RECOVERY_TYPE_PROFESSIONAL);
    ASSERT_NE(nullptr, e);
    EXPECT_NE(nullptr, dynamic_cast<CProfessionalRecovery*>(e));
    delete e;
  }
  // By path, the same choice.
  std::wstring path = Utf8ToWide(testimg::ImagePath("fat16.img"));
  IFileRecoveryParse* byPath = f->CreateFileRecoveryInstance(const_cast<wchar_t*>(path.c_str()), 67, RECOVERY_TYPE_FAST);
  ASSERT_NE(nullptr, byPath);
  EXPECT_NE(nullptr, dynamic_cast<CFastFatRecovery*>(byPath));
  delete byPath;
}

TEST_F(Factory, ExtEngineFindsNothingAndStaysSilent) {
  IFileRecoveryParse* e = CFileRecoveryFactory::GetInstance()->CreateFileRecoveryInstance(2, 0, 8192, 67, RECOVERY_TYPE_FAST);
  ASSERT_NE(nullptr, e);
  g_calls = 0;
  e->InitCallBack(CountScan, nullptr, nullptr, 100);
  EXPECT_EQ(0, e->ScanDevice(nullptr));
  FILE_NODE_VECTOR nodes;
  EXPECT_EQ(0, e->GetChildrenFileNode(nullptr, 0, nodes));
  EXPECT_TRUE(nodes.empty());
  EXPECT_EQ(0, e->GetLostFileCount());
  EXPECT_EQ(0, g_calls);
  delete e;
}

TEST_F(Factory, UnreadableStartsGiveNoEngine) {
  // A range shorter than the probe is probed as far as it goes.
  EXPECT_NE(nullptr, std::unique_ptr<IFileRecoveryParse>(CFileRecoveryFactory::GetInstance()->CreateFileRecoveryInstance(
                         4, 2, 31, 67, RECOVERY_TYPE_PROFESSIONAL)));
  EXPECT_NE(nullptr, std::unique_ptr<IFileRecoveryParse>(CFileRecoveryFactory::GetInstance()->CreateFileRecoveryInstance(
                         4, 0, 33, 67, RECOVERY_TYPE_PROFESSIONAL)));
  EXPECT_EQ(nullptr, CFileRecoveryFactory::GetInstance()->CreateFileRecoveryInstance(9, 0, 32, 67,
                                                                                      RECOVERY_TYPE_PROFESSIONAL));
  EXPECT_EQ(nullptr, CFileRecoveryFactory::GetInstance()->CreateFileRecoveryInstance(0, -5, 32, 67,
                                                                                      RECOVERY_TYPE_FAST));
  std::wstring missing = L"/nonexistent/disk.img";
  EXPECT_EQ(nullptr, CFileRecoveryFactory::GetInstance()->CreateFileRecoveryInstance(
                         const_cast<wchar_t*>(missing.c_str()), 67, RECOVERY_TYPE_FAST));
}

}  // namespace

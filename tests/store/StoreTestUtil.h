// Shared set-up of the store tests: a private support folder per test, so the
// scan log starts empty and nothing leaks between tests.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstring>
#include <string>

#include "TestFiles.h"
#include "store/LogFileManager.h"
#include "store/ScanResultFileManager.h"

namespace storetest {

inline _FILE_NODE_ MakeNode(const char* name, bool dir, u32 cluster, u32 health = 1) {
  _FILE_NODE_ n;
  memset(&n, 0, sizeof(n));
  n.wcDrive = L'C';
  n.bIsDir = dir ? 1 : 0;
  n.bHealth = health;
  n.nClusterNO = cluster;
  n.u64FileSize = dir ? 0 : 1000 + cluster;
  snprintf(n.szFileName, sizeof(n.szFileName), "%s", name);
  return n;
}

// Adds a node the way the engines do and returns its file index.
inline u32 AddNode(CScanResultFileManager& store, const _FILE_NODE_& node, u32 parentNumber, u32 parentDepth) {
  _FILE_NODE_* slot = store.CreateFileNode(sizeof(_FILE_NODE_));
  if (!slot) return 0;
  *slot = node;
  slot->nFileIndex = store.GetFileIndex();
  store.AddChildren(parentNumber, parentDepth, slot->nFileIndex, node.nClusterNO,
                    node.bIsDir ? node.szFileName : nullptr);
  return store.GetFileIndex();
}

inline std::string Names(const FILE_NODE_VECTOR& v) {
  std::string s;
  for (const auto& n : v) {
    if (!s.empty()) s += ",";
    s += n.szFileName;
  }
  return s;
}
inline std::string Names(const SEARCH_FILE_INFO_VECTOR& v) {
  std::string s;
  for (const auto& n : v) {
    if (!s.empty()) s += ",";
    s += n.szFileName;
  }
  return s;
}

class StoreFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    umask(022);
    m_support = testfiles::FreshDir("store");
    ASSERT_FALSE(m_support.empty());
    setenv("TORVANE_SUPPORT_DIR", m_support.c_str(), 1);
    m_scanLog = m_support + "/ScanLog/";
    ASSERT_EQ(0, mkdir(m_scanLog.c_str(), 0755));
    CLogFileManager::GetInstance()->Reload();
  }
  void TearDown() override {
    if (!m_support.empty()) testfiles::Run("rm -rf '" + m_support + "'");
  }
  std::string ScanDir() { return CLogFileManager::GetInstance()->GetLogFileDirPath(); }

  std::string m_support, m_scanLog;
};

}  // namespace storetest

// Helpers for driving the windows from Qt Test: answering modal dialogs from
// a timer, and a scripted engine for flows the real images cannot time.
#pragma once

#include <QApplication>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "engine/IFileRecoveryParse.h"

// Calls act on the top-level widget named objectName (once it is visible)
// every 20 ms until act returns true or timeoutMs passes. Returns the timer
// (owned by qApp) so a test can check it fired.
class CModalDriver : public QObject {
  Q_OBJECT
 public:
  CModalDriver(const QString& objectName, std::function<bool(QWidget*)> act, int timeoutMs = 60000);
  bool Done() const { return m_bDone; }

 private slots:
  void Tick();

 private:
  QString m_strName;
  std::function<bool(QWidget*)> m_act;
  QTimer m_timer;
  int m_nTicksLeft;
  bool m_bDone;
};

QWidget* FindTopLevel(const QString& objectName);

// An engine that plays a fixed script: ScanDevice reports progress and the
// final report, SearchFileNode returns the given hits, SaveFileData writes
// each file in 50 steps of a few milliseconds and honours a cancel answer.
class CScriptedEngine : public IFileRecoveryParse {
 public:
  explicit CScriptedEngine(std::vector<__SEARCH_FILE_INFO__> hits) : m_vecHits(std::move(hits)) {}
  int Init(int, i64, i64, wchar_t) override { return 0; }
  int Init(wchar_t*, wchar_t) override { return 0; }
  int InitCallBack(SCAN_PROGRESS_CALLBACK pScan, RECOVERY_CALLBACK pRecovery, void* param, int) override {
    m_pScan = pScan;
    m_pRecovery = pRecovery;
    m_pParam = param;
    return 0;
  }
  int ScanDevice(wchar_t*) override;
  int GetChildrenFileNode(_FILE_NODE_*, unsigned int, FILE_NODE_VECTOR&) override { return 0; }
  int GetChildrenFileCount(_FILE_NODE_*, unsigned int, unsigned int&) override { return 0; }
  int GetLostFileCount() override { return static_cast<int>(m_vecHits.size()); }
  int GetFileNodeParentDirPath(_FILE_NODE_*, wchar_t*, int) override { return 0; }
  int SaveFileData(_FILE_NODE_* pNode, wchar_t* pTargetPath, int) override;
  int GetUnUsedSectorCount(u64&, u64&) override { return 0; }
  int InitSearchCallBack(SEARCH_CALLBACK pSearch, void* param) override {
    m_pSearch = pSearch;
    m_pSearchParam = param;
    return 0;
  }
  int SearchFileNode(wchar_t*, SEARCH_FILE_INFO_VECTOR& out) override {
    if (m_pSearch) m_pSearch(m_pSearchParam, 100, nullptr);
    out = m_vecHits;
    return 0;
  }
  int BuildBitMapInfo() override { return 0; }
  int PreView(_FILE_NODE_*, wchar_t*, unsigned char* pBuf, int& nLen, PREVIEW_CALLBACK pCb, void* param) override;

  // What happened, for the test to check.
  std::atomic<int> m_nSaveCalls{0};
  std::atomic<int> m_nCancelledSaves{0};
  std::atomic<int> m_nStepMs{4};
  std::vector<std::string> m_vecSavedPaths;  // written by the worker, read after it ended
  std::string m_strTempDir = "/tmp";         // where picture previews are written

 private:
  std::vector<__SEARCH_FILE_INFO__> m_vecHits;
  SCAN_PROGRESS_CALLBACK m_pScan = nullptr;
  RECOVERY_CALLBACK m_pRecovery = nullptr;
  void* m_pParam = nullptr;
  SEARCH_CALLBACK m_pSearch = nullptr;
  void* m_pSearchParam = nullptr;
};

__SEARCH_FILE_INFO__ MakeHit(const char* name, u32 index, u64 size, u32 engine = ENGINE_FILE_TYPE);
// A folder under /dev/shm (another file system than the test images), or
// under /tmp when there is no such file system.
std::string FreshDestination(const std::string& tag);

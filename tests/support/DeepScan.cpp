#include "DeepScan.h"

#include <stdlib.h>
#include <unistd.h>

#include "TestFiles.h"
#include "TestImages.h"
#include "engine/Categories.h"
#include "engine/DiskMap.h"
#include "engine/TextUtil.h"
#include "scan/FileRecoveryFactory.h"
#include "store/LogFileManager.h"

namespace testscan {

namespace {

int OnScan(void* param, int, int nPercent, int, u64, u64 total, u64, wchar_t*) {
  if (nPercent == 90) *static_cast<u64*>(param) = total;
  return 0;
}

}  // namespace

DeepScan::~DeepScan() {
  engine.reset();
  unsetenv("TORVANE_DISKS");
  if (!dir.empty()) testimg::RemoveTree(dir);
}

std::unique_ptr<DeepScan> RunDeepScan(const std::string& image, u64 first, u64 count) {
  std::unique_ptr<DeepScan> scan(new DeepScan());
  scan->dir = testfiles::FreshDir("deepscan");
  setenv("TORVANE_SUPPORT_DIR", (scan->dir + "/support").c_str(), 1);
  MakeDirectories(GetScanLogDir());
  CLogFileManager::GetInstance()->Reload();
  setenv("TORVANE_DISKS", image.c_str(), 1);
  if (count == 0) {
    int fd = OpenDiskReadOnly(0);
    if (fd < 0) return scan;
    count = rsb_getDeviceSize(fd) / SECTOR_SIZE - first;
    close(fd);
  }
  IFileRecoveryParse* e = CFileRecoveryFactory::GetInstance()->CreateFileRecoveryInstance(
      0, static_cast<i64>(first), static_cast<i64>(count), 67, RECOVERY_TYPE_PROFESSIONAL);
  scan->engine.reset(dynamic_cast<CProfessionalRecovery*>(e));
  if (!scan->engine) {
    delete e;
    return scan;
  }
  scan->engine->SetNotLoadLogFile();
  scan->engine->InitCallBack(OnScan, nullptr, &scan->sectorsRead, 100);
  scan->status = scan->engine->ScanDevice(nullptr);
  return scan;
}

SEARCH_FILE_INFO_VECTOR AllResults(IFileRecoveryParse& engine) {
  bool all[category::COUNT];
  for (bool& b : all) b = true;
  std::wstring pattern = Utf8ToWide(category::SearchPattern(all));
  SEARCH_FILE_INFO_VECTOR out;
  engine.SearchFileNode(const_cast<wchar_t*>(pattern.c_str()), out);
  return out;
}

namespace {

int SaveToBytes(IFileRecoveryParse& engine, const _FILE_NODE_& node, std::vector<unsigned char>& bytes) {
  // Through the program's own save, into a folder of its own.
  std::string dir = testfiles::FreshDir("content");
  std::string path = dir + "/saved";
  std::wstring wpath = Utf8ToWide(path);
  _FILE_NODE_ copy = node;
  int st = engine.SaveFileData(&copy, const_cast<wchar_t*>(wpath.c_str()), 0);
  bytes = testfiles::ReadAll(path);
  testimg::RemoveTree(dir);
  return st;
}

}  // namespace

std::string ContentSha256(IFileRecoveryParse& engine, const _FILE_NODE_& node, u64* pSize) {
  std::vector<unsigned char> bytes;
  const int st = SaveToBytes(engine, node, bytes);
  if (pSize) *pSize = bytes.size();
  return st == 0 ? testimg::Sha256Bytes(bytes.data(), bytes.size()) : std::string();
}

std::vector<unsigned char> ContentBytes(IFileRecoveryParse& engine, const _FILE_NODE_& node) {
  std::vector<unsigned char> bytes;
  if (SaveToBytes(engine, node, bytes) != 0) bytes.clear();
  return bytes;
}

}  // namespace testscan

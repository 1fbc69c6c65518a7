// Helpers of the carving tests: a private scan-log folder, a sector-pass
// driver that offers sectors the way the deep scan does, and small images
// written into temporary files.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "carve/FileTypeJudge.h"
#include "carve/formats/Formats.h"
#include "carve/FileTypeRecovery.h"
#include "engine/DiskReader.h"
#include "engine/TextUtil.h"
#include "store/LogFileManager.h"
#include "TestFiles.h"

namespace carvetest {

// Points the scan-log folder at a fresh temporary folder and starts scan 1 there.
inline std::string UseFreshSupportDir(const std::string& tag) {
  std::string dir = testfiles::FreshDir(tag);
  setenv("TORVANE_SUPPORT_DIR", dir.c_str(), 1);
  CLogFileManager::GetInstance()->Reload();
  CLogFileManager::GetInstance()->AddDirIndex();
  return dir;
}

struct PassResult {
  int nLastStatus = 0;
  u64 u64SectorsOffered = 0;
  u64 u64FilesFound = 0;
  bool bCancelled = false;
  u64 u64StoppedAt = 0;  // sector where a cancelled pass stopped
};

// Reads [first, first + count) in 128-sector chunks and offers each sector to
// the engine in ascending order, honouring the skip it answers, also past the
// chunk's end, as the deep scan does.
inline PassResult RunSectorPass(CFileTypeRecovery& engine, CDiskReader& reader, u64 first, u64 count,
                                int nRemainSecond = -1) {
  PassResult r;
  std::vector<unsigned char> buf(65536);
  u64 done = 0;
  u64 pos = 0;
  while (pos < count) {
    u64 chunk = count - pos < 128 ? count - pos : 128;
    unsigned int got = 0;
    int st = reader.ReadData(buf.data(), static_cast<int>(chunk), static_cast<i64>(first + pos), 512, &got);
    if (st != 0 || got == 0) {
      pos += chunk;
      done += chunk;
      continue;
    }
    u64 i = 0;
    i64 skip = 0;
    while (i < chunk) {
      u64 step = 1;
      ++r.u64SectorsOffered;
      int status = engine.ParseFileBuf(buf.data() + i * 512, 512, first + pos + i, done, count, nRemainSecond,
                                       &reader, 512, step, r.u64FilesFound);
      r.nLastStatus = status;
      if (status == RECOVERY_CANCELLED) {
        r.bCancelled = true;
        r.u64StoppedAt = first + pos + i;
        return r;
      }
      i += step;
    }
    if (i > chunk) skip = static_cast<i64>(i - chunk);
    pos += chunk + skip;
    done += chunk + skip;
  }
  return r;
}

// A disk image in a temporary file, built sector by sector in memory.
struct TempImage {
  std::string dir;
  std::string path;
  std::vector<unsigned char> bytes;

  explicit TempImage(const std::string& tag, u64 sectors) : bytes(sectors * 512, 0) {
    dir = testfiles::FreshDir(tag);
    path = dir + "/disk.img";
  }
  unsigned char* At(u64 sector) { return bytes.data() + sector * 512; }
  void Put(u64 sector, const void* data, size_t len) {
    ASSERT_LE(sector * 512 + len, bytes.size());
    std::memcpy(At(sector), data, len);
  }
  void Put(u64 sector, const std::vector<unsigned char>& data) { Put(sector, data.data(), data.size()); }
  void Write() { ASSERT_TRUE(testfiles::WriteAll(path, bytes.data(), bytes.size())); }
  u64 Sectors() const { return bytes.size() / 512; }
};

// A 512-byte sector that starts with the given bytes, zeros after.
inline std::vector<unsigned char> Sector(std::initializer_list<unsigned char> head) {
  std::vector<unsigned char> s(512, 0);
  std::copy(head.begin(), head.end(), s.begin());
  return s;
}

// A carving context for a direct call of a detector or length rule on the
// sector at u64Sector of reader's range, with a read-ahead buffer of its own
// and the pass's callbacks (set with CFileTypeJudge::InitCallBack).
struct TestContext : CARVE_CONTEXT {
  std::vector<unsigned char> readAhead;
  explicit TestContext(CDiskReader* reader, u64 u64Sector = 0, int nTsCheck = 0)
      : CARVE_CONTEXT(CFileTypeJudge::MakeContext(reader, 512, u64Sector, &CFileTypeJudge::Pass())),
        readAhead(READ_BUF_SIZE) {
    bCheckTsRanges = nTsCheck;
    bMtsFileHead = 0;
    pReadBuf = readAhead.data();
    u64SectorTotalCount = reader ? reader->GetSectorLimit() : 0;
  }
  TestContext(const TestContext&) = delete;
  TestContext& operator=(const TestContext&) = delete;
};

// The carving engine over small images written by a test: a fresh scan-log
// folder, the pass reset, callbacks cleared.
inline void Fill(std::vector<unsigned char>& b, size_t from, size_t to, unsigned char v) {
  for (size_t i = from; i < to && i < b.size(); ++i) b[i] = v;
}

struct ProgressLog {
  int calls = 0;
  int answer = 0;
  int answerFromCall = 1;  // answer only from this call on
  int lastProgress = -1, lastPercent = -1;
  u64 lastSector = 0, lastTotal = 0, lastFiles = 0;
};
inline int LogProgress(void* p, int progress, int percent, int, u64 cur, u64 total, u64 files, wchar_t*) {
  ProgressLog* log = static_cast<ProgressLog*>(p);
  ++log->calls;
  log->lastProgress = progress;
  log->lastPercent = percent;
  log->lastSector = cur;
  log->lastTotal = total;
  log->lastFiles = files;
  return log->calls >= log->answerFromCall ? log->answer : 0;
}

class CarveRules : public ::testing::Test {
 protected:
  void SetUp() override {
    support = carvetest::UseFreshSupportDir("carve-rules");
    CFileTypeJudge::ResetPass();
    CFileTypeJudge::InitCallBack(nullptr, nullptr, nullptr, 90);
  }
  void TearDown() override {
    CFileTypeJudge::InitCallBack(nullptr, nullptr, nullptr, 0);
    testfiles::Run("rm -rf '" + support + "'");
  }
  // Opens img in a fresh engine (by path) and a reader over it.
  void Open(carvetest::TempImage& img) {
    img.Write();
    ASSERT_EQ(0, reader.Init(img.path.c_str(), img.Sectors()));
    std::wstring wide = Utf8ToWide(img.path);
    ASSERT_EQ(0, engine.Init(const_cast<wchar_t*>(wide.c_str()), L'C'));
  }
  int Parse(carvetest::TempImage& img, u64 sector, u64& skip, u64& files) {
    skip = 1;
    return engine.ParseFileBuf(img.At(sector), 512, sector, 0, img.Sectors(), -1, &reader, 512, skip, files);
  }
  FILE_NODE_VECTOR Nodes() {
    FILE_NODE_VECTOR out;
    engine.GetChildrenFileNode(nullptr, 0, out);
    return out;
  }
  std::string support;
  CDiskReader reader;
  CFileTypeRecovery engine;
};

// A minimal version-3 compound file: header, one allocation-table sector,
// one directory sector, then nStreamSectors sectors of stream data. The root
// entry carries clsid (16 bytes, may be null); entry 1 is named streamName.
std::vector<unsigned char> MakeCompoundFile(const char* streamName, const unsigned char* clsid,
                                            unsigned nStreamSectors, const unsigned char* firstStreamSector = nullptr,
                                            size_t firstLen = 0);

}  // namespace carvetest

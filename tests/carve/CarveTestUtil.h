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
#include "carve/FileTypeRecovery.h"
#include "engine/DiskReader.h"
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

// Points the judge's context at a reader for a direct call of a detector or
// size rule on the sector at u64Sector.
inline void PointJudgeAt(CDiskReader* reader, u64 u64Sector, int nTsCheck = 0) {
  CFileTypeJudge::m_nBytesPerSector = 512;
  CFileTypeJudge::m_u64StartSector = CFileTypeJudge::m_u64CurrentSector = u64Sector;
  CFileTypeJudge::m_pDiskReader = reader;
  CFileTypeJudge::m_bIsNeedCheckTsFileRange = nTsCheck;
  CFileTypeJudge::m_bIsMtsFileHead = 0;
  CFileTypeJudge::m_u64ScanSectorCount = 0;
  CFileTypeJudge::m_u64SectorTotalCount = reader ? reader->GetSectorLimit() : 0;
  CFileTypeJudge::m_ErrorCode = 0;
}

// A minimal version-3 compound file: header, one allocation-table sector,
// one directory sector, then nStreamSectors sectors of stream data. The root
// entry carries clsid (16 bytes, may be null); entry 1 is named streamName.
std::vector<unsigned char> MakeCompoundFile(const char* streamName, const unsigned char* clsid,
                                            unsigned nStreamSectors, const unsigned char* firstStreamSector = nullptr,
                                            size_t firstLen = 0);

}  // namespace carvetest

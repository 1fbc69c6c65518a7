// What the carver's detectors and length rules work with: the candidate
// sector's place on the disk, the reader to fetch more of it, the scan's
// progress callback, and what one deep pass carries from a candidate to the
// next. Each candidate gets a context of its own; nothing of it is global.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/DiskReader.h"
#include "engine/Types.h"

// One transport stream carved in this pass, inclusive sector range.
struct _TS_FILE_RANGE_ {
  u64 u64StartSector;
  u64 u64EndSector;
};

// What one carving pass carries from one candidate sector to the next, and
// the scan's callbacks. The deep scan keeps one (CFileTypeJudge::Pass()).
struct CARVE_PASS {
  SCAN_PROGRESS_CALLBACK pProgress = nullptr;
  RECOVERY_CALLBACK pRecovery = nullptr;
  void* pParam = nullptr;
  int nPercent = 0;
  // A transport stream found at the last candidate: the next one is checked
  // against the recorded streams and the sector before it.
  int bCheckTsRanges = 1;
  // An mts file starts at the last candidate: packets that carry a
  // timestamp continue it.
  int bMtsFileHead = 0;
  std::vector<_TS_FILE_RANGE_> tsRanges;
  // The progress callback's answer that stopped the last measurement (0: none).
  int nStopAnswer = 0;
  // The last carved length is a bound: its rule found no end (a cut or capped file).
  bool bLastLengthIsCap = false;
  // What the integrity check made of the last carved file: INTEGRITY_* and RESULT_FLAG_*.
  u8 nLastIntegrity = 0;
  u8 nLastResultFlags = 0;
};

struct CARVE_CONTEXT {
  static constexpr int READ_BUF_SIZE = 65536;
  // Largest sector size the carver works with (its private buffers are sized for it).
  static constexpr int MAX_SECTOR_SIZE = 4096;

  CDiskReader* pReader = nullptr;  // null: nothing past the given buffer can be read
  int nBytesPerSector = 512;
  u64 u64StartSector = 0;    // the candidate's first sector
  u64 u64CurrentSector = 0;  // the sector a detector is asked about (the end test moves it on)
  // A file stored in two pieces: its first u64FirstPieceBytes (whole sectors)
  // from u64StartSector, the rest from u64SecondPieceSector. 0: one piece.
  u64 u64FirstPieceBytes = 0;
  u64 u64SecondPieceSector = 0;

  // Detection state carried over from the candidate before (see CARVE_PASS).
  int bCheckTsRanges = 0;
  int bMtsFileHead = 0;
  std::vector<_TS_FILE_RANGE_>* pTsRanges = nullptr;  // null: no streams recorded
  u8 uMtsPreIndex = 0;  // the mts detector leaves the packet's index byte here

  // Measuring: READ_BUF_SIZE bytes of read-ahead (null: a rule that needs it
  // gives one sector), and the scan's progress report.
  unsigned char* pReadBuf = nullptr;
  SCAN_PROGRESS_CALLBACK pProgress = nullptr;
  void* pParam = nullptr;
  int nPercent = 0;
  u64 u64ScanSectorCount = 0;
  u64 u64SectorTotalCount = 0;
  int nRemainSecond = -1;
  u64 u64FileCount = 0;

  // Answers of a length rule besides the length.
  int nErrorCode = 0;         // the progress callback's stop answer
  bool bLengthIsCap = false;  // the rule found no end: the length is a bound, not the file's

  // Answers of an integrity checker besides its verdict.
  u64 u64CheckedEnd = 0;     // where the file's own structure ends when that is before the length checked (0: not)
  bool bUnreadable = false;  // sectors of the file could not be read (zeros stood in for them)
  // Bytes a costly checker (a full decode) may take on in this call; past
  // them it answers VERDICT_UNKNOWN and sets bCheckDeferred, and the check
  // waits for the result to be listed. 0: no limit.
  u64 u64CheckBudget = 0;
  bool bCheckDeferred = false;
  // Where a checker first met data that is not the file's (a file offset;
  // 0: not known), and whether it stops there instead of going on.
  u64 u64DamageAt = 0;
  bool bStopAtDamage = false;

  static bool IsUsableSectorSize(int nBytesPerSector) {
    return nBytesPerSector >= 512 && nBytesPerSector <= MAX_SECTOR_SIZE && nBytesPerSector % 512 == 0;
  }
  bool UsableSectorSize() const { return IsUsableSectorSize(nBytesPerSector); }
  // One sector's bytes, or 512 when the sector size is no use.
  u64 OneSector() const { return UsableSectorSize() ? static_cast<u64>(nBytesPerSector) : 512; }

  // The disk sector holding file sector u64FileSector, and how many sectors
  // from it on belong to the same piece (UINT64_MAX: to the file's end).
  u64 DiskSectorOf(u64 u64FileSector, u64& u64InPiece) const {
    const u64 first = u64FirstPieceBytes / OneSector();
    if (u64FirstPieceBytes == 0) {
      u64InPiece = UINT64_MAX;
      return u64StartSector + u64FileSector;
    }
    if (u64FileSector < first) {
      u64InPiece = first - u64FileSector;
      return u64StartSector + u64FileSector;
    }
    u64InPiece = UINT64_MAX;
    return u64SecondPieceSector + (u64FileSector - first);
  }

  // Reads whole sectors into a caller buffer of nBufLen bytes, clamped to the
  // reader's end limit; the number of sectors that arrived (0 on any failure).
  // Unreadable sectors arrive as zeros and are counted in *pUnreadable.
  unsigned int ReadSectors(u64 u64Sector, unsigned int nCount, unsigned char* pBuf, size_t nBufLen,
                           u64* pUnreadable = nullptr) const;
  // The same sectors, read in place where the reader holds them in memory
  // (*ppData points there, valid while the pass is on its current block),
  // else read into pBuf (*ppData = pBuf).
  unsigned int ViewSectors(u64 u64Sector, unsigned int nCount, unsigned char* pBuf, size_t nBufLen,
                           const unsigned char** ppData, u64* pUnreadable = nullptr) const;
};

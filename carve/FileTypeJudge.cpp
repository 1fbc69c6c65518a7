// The carving step of one candidate sector, the end tests, the file-system
// sector test and the extension check; the formats and detection live in
// carve/formats/.
#include "carve/FileTypeJudge.h"

#include <strings.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <memory>

#include "carve/formats/FormatKit.h"
#include "carve/formats/Formats.h"
#include "disk/FatEntry.h"
#include "engine/ByteOrder.h"
#include "engine/ContentMatch.h"

using namespace carve_detail;

CARVE_PASS CFileTypeJudge::s_pass;
bool CFileTypeJudge::s_bChecks = true;

namespace {
constexpr std::array<bool, 256> MakeBadShortNameChars() {
  std::array<bool, 256> t{};
  for (int c = 0; c < 0x20; ++c) t[c] = true;
  for (int c = 'a'; c <= 'z'; ++c) t[c] = true;
  const char more[] = "\\:*?\"<>|.";
  for (size_t i = 0; i + 1 < sizeof(more); ++i) t[static_cast<u8>(more[i])] = true;
  return t;
}

// Bytes the deep pass lets a decoding checker take on per file: decoding a
// JPEG takes some 6 ns a pixel, 10-30 times the pass's own cost a byte,
// so larger pictures are decoded when their result is listed.
constexpr u64 kInlineCheckBudget = 128 * 1024;

// The read-ahead buffer of the length rules, one per thread that carves.
unsigned char* ReadAheadBuffer() {
  thread_local std::unique_ptr<unsigned char[]> buf;
  if (!buf) buf.reset(new (std::nothrow) unsigned char[CARVE_CONTEXT::READ_BUF_SIZE]);
  return buf.get();
}
}  // namespace

const std::array<bool, 256> CFileTypeJudge::s_bBadShortNameChar = MakeBadShortNameChars();

void CFileTypeJudge::ResetPass() {
  s_pass.tsRanges.clear();
  s_pass.bCheckTsRanges = 1;
  s_pass.bMtsFileHead = 0;
  s_pass.nStopAnswer = 0;
  s_pass.bLastLengthIsCap = false;
  s_pass.nLastIntegrity = INTEGRITY_UNVERIFIED;
  s_pass.nLastResultFlags = 0;
}

int CFileTypeJudge::InitCallBack(SCAN_PROGRESS_CALLBACK pScan, RECOVERY_CALLBACK pRecovery, void* param,
                                 int nPercent) {
  s_pass.pProgress = pScan;
  s_pass.pRecovery = pRecovery;
  s_pass.pParam = param;
  s_pass.nPercent = nPercent;
  return 0;
}

CARVE_CONTEXT CFileTypeJudge::MakeContext(CDiskReader* pReader, int nBytesPerSector, u64 u64Sector,
                                          CARVE_PASS* pPass) {
  CARVE_CONTEXT ctx;
  ctx.pReader = pReader;
  ctx.nBytesPerSector = nBytesPerSector;
  ctx.u64StartSector = ctx.u64CurrentSector = u64Sector;
  if (pPass) {
    ctx.bCheckTsRanges = pPass->bCheckTsRanges;
    ctx.bMtsFileHead = pPass->bMtsFileHead;
    ctx.pTsRanges = &pPass->tsRanges;
    ctx.pProgress = pPass->pProgress;
    ctx.pParam = pPass->pParam;
    ctx.nPercent = pPass->nPercent;
  }
  return ctx;
}

// ---- Lookups ----

int CFileTypeJudge::FindRowByType(int nType) {
  for (int row = 0; row < EXTEND_NAME_ROW_COUNT - 1; ++row)
    if (static_cast<int>(szExtendNameAndType[row].nType) == nType) return row;
  return -1;
}

int CFileTypeJudge::FindRowByExtension(const char* pExt) {
  if (!pExt) return -1;
  for (int row = 0; row < EXTEND_NAME_ROW_COUNT - 1; ++row)
    if (strcasecmp(szExtendNameAndType[row].szExtendName, pExt) == 0) return row;
  return -1;
}

const CARVE_FORMAT* CFileTypeJudge::FormatOfType(int nType) {
  const int row = FindRowByType(nType);
  return row < 0 ? nullptr : szExtendNameAndType[row].pFormat;
}

u64 CFileTypeJudge::GetSkipSectors(int nType, u64 u64Size, int nBytesPerSector) {
  const CARVE_FORMAT* f = FormatOfType(nType);
  if (f && (f->nFlags & FORMAT_SKIP_ONE)) return 1;
  if (nBytesPerSector <= 0) return 1;
  u64 sectors = u64Size / nBytesPerSector + (u64Size % nBytesPerSector ? 1 : 0);
  // A skip of 0 would offer the same sector again for ever.
  return sectors ? sectors : 1;
}

// ---- End tests ----

int CFileTypeJudge::IsEndOfFile(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen, u64& u64Size) {
  const int ss = ctx.nBytesPerSector;
  if (!pBuf || nLen <= 0 || !ctx.UsableSectorSize()) return 0;
  const int sectors = nLen / ss;
  for (int i = 0; i < sectors; ++i) {
    ++ctx.u64CurrentSector;  // the detectors read relative to the sector under test
    const unsigned char* sector = pBuf + static_cast<size_t>(i) * ss;
    int row = -1;
    const int type = DetectFileType(ctx, sector, ss, &row);
    const bool starts = type != TYPE_NONE && !(szExtendNameAndType[row].pFormat->nFlags & FORMAT_WEAK);
    if (starts || IsFileSystemSector(sector, ss)) {
      u64Size += static_cast<u64>(i) * ss;
      return 1;
    }
  }
  return 0;
}

int CFileTypeJudge::IsEndOfMPGFile(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen, u64& u64Size) {
  const int ss = ctx.nBytesPerSector;
  if (!pBuf || nLen <= 0 || !ctx.UsableSectorSize()) return 0;
  const int sectors = nLen / ss;
  for (int i = 0; i < sectors; ++i) {
    ++ctx.u64CurrentSector;
    const unsigned char* sector = pBuf + static_cast<size_t>(i) * ss;
    int row = -1;
    const int type = DetectFileType(ctx, sector, ss, &row);
    const bool starts = type != TYPE_NONE && type != TYPE_MPEG &&
                        !(szExtendNameAndType[row].pFormat->nFlags & FORMAT_WEAK);
    if (starts || IsFileSystemSector(sector, ss)) {
      u64Size += static_cast<u64>(i) * ss;
      return 1;
    }
  }
  return 0;
}

// ---- File-system metadata ----

int CFileTypeJudge::IsFileSystemSector(const unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  if (!b.AtLeast(32)) return 0;
  const u8 first = b.p[0];
  if (first == 'F' || first == 'I' || first == 'R' || first == '$' || first == 0xEB) {
    if (b.Eq(0, "FILE", 4) || b.Eq(0, "INDX", 4)) return 1;
    static const u8 kNtfsWide[8] = {'N', 0, 'T', 0, 'F', 0, 'S', 0};
    if (b.Eq(0, "RSTR", 4) && FindBytes(b.p, b.n, 0, kNtfsWide, 8) != npos) return 1;
    static const u8 kAttrDef[8] = {'$', 0, 'S', 0, 'T', 0, 'A', 0};
    if (b.Eq(0, kAttrDef, 8)) return 1;
    if (first == 0xEB && b.p[2] == 0x90) {
      static const char* const kOemNames[] = {"MSDOS5.0", "MSWIN4.0", "MSWIN4.1", "EXFAT   ", "NTFS    "};
      for (const char* name : kOemNames)
        if (b.Eq(3, name, 8)) return 1;
    }
  }
  return MayBeFatDirSector(b.p, b.n) && IsFatFDTRecord(b.p, b.n) ? 1 : 0;
}

// ---- Extension check for files found through file-system metadata ----

void CFileTypeJudge::InstallContentMatcher() {
  SetContentMatcher(&CFileTypeJudge::IsFileTypeMatching);
  SetContentChecker(&CFileTypeJudge::CheckContent);
}

int CFileTypeJudge::CheckContent(const char* pExt, CDiskReader* pReader, int nBytesPerSector, u64 u64Sector,
                                 u64 u64Size, u8* pFlags) {
  const int row = FindRowByExtension(pExt);
  if (row < 0 || !pReader || u64Size == 0) return INTEGRITY_UNVERIFIED;
  CARVE_CONTEXT ctx = MakeContext(pReader, nBytesPerSector, u64Sector);
  u8 flags = 0;
  const int integrity = CheckIntegrity(ctx, static_cast<int>(szExtendNameAndType[row].nType), u64Size, false, flags);
  if (pFlags) *pFlags |= flags;
  return integrity;
}

// ---- Integrity checks ----

const CARVE_FORMAT* CFileTypeJudge::CheckerOfType(int nType) {
  for (int row = 0; row < EXTEND_NAME_ROW_COUNT - 1; ++row)
    if (static_cast<int>(szExtendNameAndType[row].nType) == nType && szExtendNameAndType[row].pFormat->pChecker)
      return szExtendNameAndType[row].pFormat;
  return nullptr;
}

int CFileTypeJudge::CheckIntegrity(CARVE_CONTEXT& ctx, int nType, u64& u64Size, bool bCutToStructure, u8& nFlags) {
  const CARVE_FORMAT* f = CheckerOfType(nType);
  if (!f || u64Size == 0) return INTEGRITY_UNVERIFIED;
  ctx.u64CheckedEnd = 0;
  ctx.bUnreadable = false;
  ctx.bCheckDeferred = false;
  const CARVE_VERDICT verdict = f->pChecker(ctx, u64Size);
  if (ctx.bUnreadable) nFlags |= RESULT_FLAG_UNREADABLE;
  if (ctx.bCheckDeferred) nFlags |= RESULT_FLAG_CHECK_PENDING;
  bool exact = true;
  if (ctx.u64CheckedEnd != 0 && ctx.u64CheckedEnd < u64Size) {
    if (bCutToStructure) u64Size = ctx.u64CheckedEnd;
    else exact = false;  // bytes after the structure's end: not the file the structure describes
  }
  switch (verdict) {
    case VERDICT_WHOLE:
      if (ctx.bUnreadable) return INTEGRITY_PARTIAL;  // zeros stood in for some of it
      return exact ? INTEGRITY_VERIFIED : INTEGRITY_UNVERIFIED;
    case VERDICT_PARTIAL:
      return INTEGRITY_PARTIAL;
    case VERDICT_DAMAGED:
      return INTEGRITY_BROKEN;
    default:
      return ctx.bUnreadable ? INTEGRITY_PARTIAL : INTEGRITY_UNVERIFIED;
  }
}

int CFileTypeJudge::IsFileTypeMatching(unsigned char* pBuf, int nLen, char* pExt, CDiskReader* pReader,
                                       int nBytesPerSector, u64 u64Sector) {
  const int first = FindRowByExtension(pExt);
  if (first < 0) return 1;
  // The type the extension names, asked of every format that has a row of
  // that type (each once): a file of it may be recognised by any of them.
  const int type = static_cast<int>(szExtendNameAndType[first].nType);
  // A type only formats without magic bytes carve (text) is not judged by
  // content: text in other encodings (UTF-16, code pages) is still text.
  bool strong = false;
  for (int row = 0; row < EXTEND_NAME_ROW_COUNT - 1; ++row)
    if (static_cast<int>(szExtendNameAndType[row].nType) == type &&
        !(szExtendNameAndType[row].pFormat->nFlags & FORMAT_WEAK))
      strong = true;
  if (!strong) return 1;
  CARVE_CONTEXT ctx = MakeContext(pReader, nBytesPerSector, u64Sector);
  const CARVE_FORMAT* asked[EXTEND_NAME_ROW_COUNT];
  int nAsked = 0;
  for (int row = 0; row < EXTEND_NAME_ROW_COUNT - 1; ++row) {
    const EXTEND_NAME_ROW& r = szExtendNameAndType[row];
    if (static_cast<int>(r.nType) != type) continue;
    bool done = false;
    for (int k = 0; k < nAsked; ++k) done = done || asked[k] == r.pFormat;
    if (done) continue;
    asked[nAsked++] = r.pFormat;
    if (r.pFormat->pDetector(ctx, pBuf, nLen) == type) return 1;
  }
  return 0;
}

// ---- One carving candidate ----

int CFileTypeJudge::ParseFileBuf(unsigned char* pBuf, int nLen, u64 u64Sector, u64 u64ScanSectorCount,
                                 u64 u64SectorTotalCount, int nRemaidSecond, CDiskReader* pReader,
                                 int nBytesPerSector, u64 u64FileCount, char* pName, int nNameLen,
                                 EXTEND_NAME_TYPE& nType, u64& u64Size) {
  nType = TYPE_NONE;
  u64Size = 0;
  if (pName && nNameLen > 0) pName[0] = 0;
  if (!pBuf || nLen <= 0 || !CARVE_CONTEXT::IsUsableSectorSize(nBytesPerSector)) return STATUS_INVALID_PARAMETER;

  CARVE_PASS& pass = s_pass;
  CARVE_CONTEXT ctx = MakeContext(pReader, nBytesPerSector, u64Sector, &pass);
  int detectRow = EXTEND_NAME_ROW_COUNT - 1;
  const int detected = DetectFileType(ctx, pBuf, nLen, &detectRow);
  // Whatever was found, the next candidate starts from these; the type found
  // below may change them for its measurement and the next detection.
  pass.bCheckTsRanges = 1;
  pass.bMtsFileHead = 0;
  if (detected == TYPE_NONE || !szExtendNameAndType[detectRow].pFormat->pSizeRule) return STATUS_INVALID_PARAMETER;

  const int row = FindRowByType(detected);
  if (row < 0 || !szExtendNameAndType[row].pFormat->pSizeRule) return STATUS_INVALID_PARAMETER;
  if (detected != TYPE_TS) pass.bCheckTsRanges = 0;
  if (detected == TYPE_MTS) pass.bMtsFileHead = 1;
  ctx.bCheckTsRanges = pass.bCheckTsRanges;
  ctx.bMtsFileHead = pass.bMtsFileHead;

  if (pName && nNameLen > 0)
    std::snprintf(pName, static_cast<size_t>(nNameLen), "%lld.%s", static_cast<long long>(u64Sector),
                  szExtendNameAndType[row].szExtendName);
  nType = static_cast<EXTEND_NAME_TYPE>(detected);

  ctx.pReadBuf = ReadAheadBuffer();
  ctx.u64ScanSectorCount = u64ScanSectorCount;
  ctx.u64SectorTotalCount = u64SectorTotalCount;
  ctx.nRemainSecond = nRemaidSecond;
  ctx.u64FileCount = u64FileCount;
  u64Size = szExtendNameAndType[row].pFormat->pSizeRule(ctx, pBuf, nLen);
  pass.nStopAnswer = ctx.nErrorCode;
  pass.nLastIntegrity = INTEGRITY_UNVERIFIED;
  pass.nLastResultFlags = 0;
  if (ctx.nErrorCode == 0 && u64Size != 0 && s_bChecks) {
    // The checker walks the measured bytes: where the structure ends first
    // (an end marker before the measured end, a PNG's last good chunk) the
    // file is cut there, and a length that had no end becomes the file's own.
    const u64 measured = u64Size;
    u8 flags = 0;
    ctx.u64CheckBudget = kInlineCheckBudget;
    pass.nLastIntegrity = static_cast<u8>(CheckIntegrity(ctx, detected, u64Size, true, flags));
    if (ctx.bLengthIsCap && u64Size < measured && pass.nLastIntegrity == INTEGRITY_VERIFIED) ctx.bLengthIsCap = false;
    pass.nLastResultFlags = flags;
  }
  if (ctx.bLengthIsCap) {
    pass.nLastResultFlags |= RESULT_FLAG_LENGTH_CAPPED;
    // A length that is only a bound is never the verified end of a file.
    if (pass.nLastIntegrity == INTEGRITY_VERIFIED) pass.nLastIntegrity = INTEGRITY_UNVERIFIED;
  }
  pass.bLastLengthIsCap = ctx.bLengthIsCap;
  // Any stop answer from the scan callback (a cancelled scan answers 1, not
  // -9527) cut the measurement short: recording the file with the size so
  // far would keep a truncated file, and a resumed scan would never measure
  // it again. Record nothing and let the pass start here next time.
  if (ctx.nErrorCode != 0) return RECOVERY_CANCELLED;
  // A rule that found nothing to measure: no empty file is recorded.
  if (u64Size == 0) return STATUS_INVALID_PARAMETER;
  return STATUS_SUCCESS;
}

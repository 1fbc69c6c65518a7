// The type table, detection in table order, the file-system sector test, the
// extension check and the per-candidate carving step.
#include "carve/FileTypeJudge.h"

#include <strings.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "carve/FileTypeJudgeInternal.h"
#include "engine/ContentMatch.h"
#include "engine/ByteOrder.h"
#include "disk/FatEntry.h"

using namespace carve_detail;

typedef CFileTypeJudge J;

// One row per extension: its type, the detector that recognises it and the
// rule that measures it. Order matters: detection tries rows top-down.
const CFileTypeJudge::EXTEND_NAME_ROW CFileTypeJudge::szExtendNameAndType[EXTEND_NAME_ROW_COUNT] = {
    {"mpeg", TYPE_MPEG, J::IsMpgType, J::GetMPGFileBytesSize},                // 0
    {"mpg", TYPE_MPEG, J::IsMpgType, J::GetMPGFileBytesSize},
    {"vob", TYPE_MPEG, J::IsMpgType, J::GetMPGFileBytesSize},
    {"mp4", TYPE_MP4, J::IsMp4Type, J::GetMP4FileBytesSize},
    {"rmvb", TYPE_RMVB, J::IsRmvbType, J::GetRMVBFileBytesSize},
    {"rm", TYPE_RMVB, J::IsRmvbType, J::GetRMVBFileBytesSize},                // 5
    {"wmv", TYPE_WMV, J::IsAsfType, J::GetASFFileBytesSize},
    {"asf", TYPE_WMV, J::IsAsfType, J::GetASFFileBytesSize},
    {"wma", TYPE_WMV, J::IsAsfType, J::GetASFFileBytesSize},
    {"swf", TYPE_SWF, J::IsSwfType, J::GetSWFFileBytesSize},
    {"avi", TYPE_AVI, J::IsAviType, J::GetAVIFileBytesSize},                  // 10
    {"flv", TYPE_FLV, J::IsFlvType, J::GetDefaultVedioFileBytesSize},
    {"3gp", TYPE_3GP, J::Is3pgType, J::GetISOMediaFileBytesSize},
    {"mkv", TYPE_MKV, J::IsMkvType, J::GetMKVFileBytes},
    {"ts", TYPE_TS, J::IsTsType, J::GetTSFileBytesSize},
    {"mts", TYPE_MTS, J::IsMtsType, J::GetDefaultVedioFileBytesSize},         // 15
    {"mxf", TYPE_MXF, J::IsMxfType, J::GetDefaultVedioFileBytesSize},
    {"mp3", TYPE_MP3, J::IsMp3Type, J::GetMP3FileBytesSize},
    {"mid", TYPE_MID, J::IsMidType, J::GetMIDFileBytesSize},
    {"ape", TYPE_APE, J::IsApeType, J::GetAPEFileBytesSize},
    {"wav", TYPE_WAV, J::IsWavType, J::GetWAVFileBytesSize},                  // 20
    {"mov", TYPE_MOV, J::IsMovType, J::GetISOMediaFileBytesSize},
    {"mp2", TYPE_MP2, J::IsMp2Type, J::GetDefaultAudioFileBytesSize},
    {"mmf", TYPE_MMF, J::IsMmfType, J::GetDefaultAudioFileBytesSize},
    {"fla", TYPE_FLA, J::IsFlaType, J::GetFLAFileBytesSize},
    {"gif", TYPE_GIF, J::IsGifType, J::GetGIFFileBytesSize},                  // 25
    {"bmp", TYPE_BMP, J::IsBmpType, J::GetBMPFileBytesSize},
    {"dib", TYPE_BMP, J::IsBmpType, J::GetBMPFileBytesSize},
    {"jpg", TYPE_JPG, J::IsJpgType, J::GetJPGFileBytesSize},
    {"jpeg", TYPE_JPG, J::IsJpgType, J::GetJPGFileBytesSize},
    {"jpe", TYPE_JPG, J::IsJpgType, J::GetJPGFileBytesSize},                  // 30
    {"jfif", TYPE_JPG, J::IsJpgType, J::GetJPGFileBytesSize},
    {"png", TYPE_PNG, J::IsPngType, J::GetPNGFileBytesSize},
    {"psd", TYPE_PSD, J::IsPsdType, J::GetDefaultPictureFileBytesSize},
    {"tif", TYPE_TIF, J::IsTifType, J::GetDefaultPictureFileBytesSize},
    {"tiff", TYPE_TIF, J::IsTifType, J::GetDefaultPictureFileBytesSize},      // 35
    {"ico", TYPE_ICO, J::IsIcoType, J::GetICOFileBytesSize},
    {"doc", TYPE_DOC, J::IsOffice2003Type, J::GetOFFICE2003FileBytesSize},
    {"dot", TYPE_DOC, J::IsOffice2003Type, J::GetOFFICE2003FileBytesSize},
    {"wps", TYPE_DOC, J::IsOffice2003Type, J::GetOFFICE2003FileBytesSize},
    {"wpt", TYPE_DOC, J::IsOffice2003Type, J::GetOFFICE2003FileBytesSize},    // 40
    {"xls", TYPE_XLS, J::IsOffice2003Type, J::GetOFFICE2003FileBytesSize},
    {"xlt", TYPE_XLS, J::IsOffice2003Type, J::GetOFFICE2003FileBytesSize},
    {"xla", TYPE_XLS, J::IsOffice2003Type, J::GetOFFICE2003FileBytesSize},
    {"et", TYPE_XLS, J::IsOffice2003Type, J::GetOFFICE2003FileBytesSize},
    {"ett", TYPE_XLS, J::IsOffice2003Type, J::GetOFFICE2003FileBytesSize},    // 45
    {"ppt", TYPE_PPT, J::IsOffice2003Type, J::GetOFFICE2003FileBytesSize},
    {"pot", TYPE_PPT, J::IsOffice2003Type, J::GetOFFICE2003FileBytesSize},
    {"pps", TYPE_PPT, J::IsOffice2003Type, J::GetOFFICE2003FileBytesSize},
    {"dps", TYPE_PPT, J::IsOffice2003Type, J::GetOFFICE2003FileBytesSize},
    {"dpt", TYPE_PPT, J::IsOffice2003Type, J::GetOFFICE2003FileBytesSize},    // 50
    {"ole", TYPE_OLE, J::IsOffice2003Type, J::GetOFFICE2003FileBytesSize},
    {"docx", TYPE_DOCX, J::IsOffice2007Type, J::GetOFFICE2007FileBytesSize},
    {"docm", TYPE_DOCX, J::IsOffice2007Type, J::GetOFFICE2007FileBytesSize},
    {"dotm", TYPE_DOCX, J::IsOffice2007Type, J::GetOFFICE2007FileBytesSize},
    {"dotx", TYPE_DOCX, J::IsOffice2007Type, J::GetOFFICE2007FileBytesSize},  // 55
    {"xlsx", TYPE_XLSX, J::IsOffice2007Type, J::GetOFFICE2007FileBytesSize},
    {"xlsb", TYPE_XLSX, J::IsOffice2007Type, J::GetOFFICE2007FileBytesSize},
    {"xlsm", TYPE_XLSX, J::IsOffice2007Type, J::GetOFFICE2007FileBytesSize},
    {"xlsx", TYPE_XLSX, J::IsOffice2007Type, J::GetOFFICE2007FileBytesSize},
    {"xlam", TYPE_XLSX, J::IsOffice2007Type, J::GetOFFICE2007FileBytesSize},  // 60
    {"xltx", TYPE_XLSX, J::IsOffice2007Type, J::GetOFFICE2007FileBytesSize},
    {"xltm", TYPE_XLSX, J::IsOffice2007Type, J::GetOFFICE2007FileBytesSize},
    {"pptx", TYPE_PPTX, J::IsOffice2007Type, J::GetOFFICE2007FileBytesSize},
    {"pptm", TYPE_PPTX, J::IsOffice2007Type, J::GetOFFICE2007FileBytesSize},
    {"potx", TYPE_PPTX, J::IsOffice2007Type, J::GetOFFICE2007FileBytesSize},  // 65
    {"potm", TYPE_PPTX, J::IsOffice2007Type, J::GetOFFICE2007FileBytesSize},
    {"ppsx", TYPE_PPTX, J::IsOffice2007Type, J::GetOFFICE2007FileBytesSize},
    {"ppsm", TYPE_PPTX, J::IsOffice2007Type, J::GetOFFICE2007FileBytesSize},
    {"mso07", TYPE_MSO07, J::IsOffice2007Type, J::GetOFFICE2007FileBytesSize},
    {"pdf", TYPE_PDF, J::IsPdfType, J::GetPDFFileBytesSize},                  // 70
    {"gz", TYPE_GZ, J::IsGzipType, J::GetDefaultVedioFileBytesSize},
    {"gzip", TYPE_GZ, J::IsGzipType, J::GetDefaultVedioFileBytesSize},
    {"7z", TYPE_7Z, J::Is7zType, J::Get7ZFileBytesSize},
    {"zip", TYPE_ZIP, J::IsZipType, J::GetZIPFileBytesSize},
    {"rar", TYPE_RAR, J::IsRarType, J::GetRARFileBytesSize},                  // 75
    {"cab", TYPE_CAB, J::IsCabType, J::GetCABFileBytesSize},
    {"exe", TYPE_EXE, J::IsPeType, nullptr},
    {"dll", TYPE_DLL, J::IsPeType, nullptr},
    {"sys", TYPE_SYS, J::IsPeType, nullptr},
    {"gho", TYPE_GHO, J::IsGhoType, nullptr},                                  // 80
    {"db", TYPE_DB, J::IsSqlType, J::GetDBFileBytesSize},
    {"dbx", TYPE_DBX, J::IsDbxEmailType, J::GetMailFileBytesSize},
    {"pst", TYPE_PST, J::IsPstEmailType, J::GetMailFileBytesSize},
    {"fla", TYPE_FLA, J::IsFlaType, J::GetFLAFileBytesSize},
    {"ttf", TYPE_TTF, J::IsTtfType, J::GetTTFFileBytesSize},                  // 85
    {"ico", TYPE_ICO, J::IsIcoType, J::GetICOFileBytesSize},
    {nullptr, TYPE_NONE, nullptr, nullptr},                                    // sentinel
};

// ---- The shared context ----
int CFileTypeJudge::m_nBytesPerSector = 512;
u64 CFileTypeJudge::m_u64StartSector = 0;
u64 CFileTypeJudge::m_u64CurrentSector = 0;
CDiskReader* CFileTypeJudge::m_pDiskReader = nullptr;
int CFileTypeJudge::m_bIsNeedCheckTsFileRange = 1;
std::vector<_TS_FILE_RANGE_> CFileTypeJudge::m_tsFileRangeVec;
int CFileTypeJudge::m_bIsMtsFileHead = 0;
u8 CFileTypeJudge::m_uMtsPreIndex = 0;
unsigned char* CFileTypeJudge::m_pReadBuf = nullptr;
SCAN_PROGRESS_CALLBACK CFileTypeJudge::m_progressFunc = nullptr;
RECOVERY_CALLBACK CFileTypeJudge::m_pRecoveryFunc = nullptr;
void* CFileTypeJudge::m_pParam = nullptr;
int CFileTypeJudge::m_nPercent = 0;
u64 CFileTypeJudge::m_u64ScanSectorCount = 0;
u64 CFileTypeJudge::m_u64SectorTotalCount = 0;
int CFileTypeJudge::m_nRemaidSecond = -1;
u64 CFileTypeJudge::m_u64FileCount = 0;
int CFileTypeJudge::m_ErrorCode = 0;
int CFileTypeJudge::s_nReadBufUsers = 0;

CFileTypeJudge::CFileTypeJudge() {
  if (s_nReadBufUsers++ == 0 || !m_pReadBuf) {
    if (!m_pReadBuf) m_pReadBuf = static_cast<unsigned char*>(std::malloc(READ_BUF_SIZE));
  }
}

CFileTypeJudge::~CFileTypeJudge() {
  if (--s_nReadBufUsers == 0) {
    std::free(m_pReadBuf);
    m_pReadBuf = nullptr;
  }
}

bool CFileTypeJudge::IsUsableSectorSize(int nBytesPerSector) {
  return nBytesPerSector >= 512 && nBytesPerSector <= MAX_SECTOR_SIZE && nBytesPerSector % 512 == 0;
}

unsigned int CFileTypeJudge::ReadContextSectors(u64 u64Sector, unsigned int nCount, unsigned char* pBuf,
                                                size_t nBufLen) {
  const int ss = m_nBytesPerSector;
  if (!m_pDiskReader || !pBuf || nCount == 0 || !IsUsableSectorSize(ss)) return 0;
  if (static_cast<u64>(nCount) * ss > nBufLen) return 0;
  // Files near the end of the range are still read up to the range's end.
  u64 limit = m_pDiskReader->GetSectorLimit();
  if (u64Sector >= limit) return 0;
  if (limit - u64Sector < nCount) nCount = static_cast<unsigned int>(limit - u64Sector);
  if (u64Sector > static_cast<u64>(INT64_MAX)) return 0;
  // A bad sector ahead must not cut a file to its first sector: what cannot
  // be read comes back as zeros, as the pass itself sees it.
  if (m_pDiskReader->ReadTolerant(pBuf, static_cast<int>(nCount), static_cast<i64>(u64Sector), ss, nullptr) != 0)
    return 0;
  return nCount;
}

int CFileTypeJudge::InitCallBack(SCAN_PROGRESS_CALLBACK pScan, RECOVERY_CALLBACK pRecovery, void* param,
                                 int nPercent) {
  m_progressFunc = pScan;
  m_pRecoveryFunc = pRecovery;
  m_pParam = param;
  m_nPercent = nPercent;
  return 0;
}

// ---- Detection ----

namespace {

// The first bytes each detector accepts at offset 0; nullptr for the
// detectors that look past byte 0 (ftyp at 4, "moov" or ftyp, the mts packet
// head at 8, the package part name at 31), which are asked whatever the first
// byte. A detector missing here is asked for every sector too.
struct FIRST_BYTES {
  CFileTypeJudge::DETECTOR pDetector;
  const char* szBytes;  // nullptr: any first byte
  int nBytes;
};
const FIRST_BYTES kFirstBytes[] = {
    {J::IsMpgType, "\x00", 1},     {J::IsMp4Type, nullptr, 0},     {J::IsRmvbType, ".", 1},
    {J::IsAsfType, "\x30", 1},     {J::IsSwfType, "FC", 2},        {J::IsAviType, "R", 1},
    {J::IsFlvType, "F", 1},         {J::Is3pgType, nullptr, 0},     {J::IsMkvType, "\x1A", 1},
    {J::IsTsType, "\x47", 1},      {J::IsMtsType, nullptr, 0},     {J::IsMxfType, "\x06", 1},
    {J::IsMp3Type, "I", 1},         {J::IsMidType, "M", 1},         {J::IsApeType, "M", 1},
    {J::IsWavType, "R", 1},         {J::IsMovType, nullptr, 0},     {J::IsMp2Type, "\xFF", 1},
    {J::IsMmfType, "M", 1},         {J::IsFlaType, "\xD0", 1},     {J::IsGifType, "G", 1},
    {J::IsBmpType, "B", 1},         {J::IsJpgType, "\xFF", 1},     {J::IsPngType, "\x89", 1},
    {J::IsPsdType, "8", 1},         {J::IsTifType, "IM", 2},        {J::IsIcoType, "\x00", 1},
    {J::IsOffice2003Type, "\xD0", 1}, {J::IsOffice2007Type, nullptr, 0}, {J::IsPdfType, "%", 1},
    {J::IsGzipType, "\x1F", 1},    {J::Is7zType, "7", 1},          {J::IsZipType, "P", 1},
    {J::IsRarType, "R", 1},         {J::IsCabType, "M", 1},         {J::IsPeType, "M", 1},
    {J::IsGhoType, "\xFE", 1},     {J::IsSqlType, "S", 1},         {J::IsDbxEmailType, "\xCF", 1},
    {J::IsPstEmailType, "!", 1},    {J::IsTtfType, "\x00", 1},
};

const FIRST_BYTES* FindFirstBytes(CFileTypeJudge::DETECTOR d) {
  for (const FIRST_BYTES& f : kFirstBytes)
    if (f.pDetector == d) return &f;
  return nullptr;
}

// For each first byte, the table rows whose detector may accept it, in table
// order. The rows of detectors that look past byte 0 are in every list.
struct ROW_INDEX {
  u8 nCount[256];
  u8 nRows[256][CFileTypeJudge::EXTEND_NAME_ROW_COUNT];
  ROW_INDEX() {
    std::memset(nCount, 0, sizeof(nCount));
    for (int row = 0; row < CFileTypeJudge::EXTEND_NAME_ROW_COUNT; ++row) {
      const CFileTypeJudge::DETECTOR d = CFileTypeJudge::szExtendNameAndType[row].pDetector;
      if (!d) break;  // sentinel
      const FIRST_BYTES* f = FindFirstBytes(d);
      for (int b = 0; b < 256; ++b) {
        bool may = !f || !f->szBytes;
        for (int k = 0; !may && k < f->nBytes; ++k) may = static_cast<u8>(f->szBytes[k]) == b;
        if (may) nRows[b][nCount[b]++] = static_cast<u8>(row);
      }
    }
  }
};
const ROW_INDEX& RowIndex() {
  static const ROW_INDEX index;
  return index;
}

const int kFirstDocRow = CFileTypeJudge::FindRowByType(TYPE_DOC);

// Rows are asked in the order given (ascending table rows).
int DetectRows(unsigned char* pBuf, int nLen, int* pRow, const u8* pRows, int nRows) {
  CFileTypeJudge::DETECTOR lastDetector = nullptr;
  int lastResult = TYPE_NONE;
  for (int k = 0; k < nRows; ++k) {
    const int row = pRows ? pRows[k] : k;
    const CFileTypeJudge::EXTEND_NAME_ROW& r = CFileTypeJudge::szExtendNameAndType[row];
    if (!r.pDetector) break;  // sentinel
    // Compound files are documents first: asking the classifier before the
    // Flash-authoring row keeps Word, Excel and PowerPoint files from being
    // named, filed and measured as ".fla".
    if (r.pDetector == CFileTypeJudge::IsFlaType && row < kFirstDocRow) {
      int office = CFileTypeJudge::IsOffice2003Type(pBuf, nLen);
      if (office != TYPE_NONE) {
        if (pRow) *pRow = CFileTypeJudge::FindRowByType(office);
        return office;
      }
    }
    // A detector shared by several rows is asked once: its answer cannot
    // change between those rows.
    int result = r.pDetector == lastDetector ? lastResult : r.pDetector(pBuf, nLen);
    lastDetector = r.pDetector;
    lastResult = result;
    if (result != TYPE_NONE) {
      if (pRow) *pRow = row;
      return result;
    }
  }
  if (pRow) *pRow = CFileTypeJudge::EXTEND_NAME_ROW_COUNT - 1;
  return TYPE_NONE;
}

}  // namespace

// Constant tables of the inline quick tests (built at compile time, so they
// hold before any code runs).
namespace {
constexpr std::array<bool, 256> MakeByteTable(const char* bytes, size_t n) {
  std::array<bool, 256> t{};
  for (size_t i = 0; i < n; ++i) t[static_cast<u8>(bytes[i])] = true;
  return t;
}
constexpr std::array<bool, 256> MakeBadShortNameChars() {
  std::array<bool, 256> t{};
  for (int c = 0; c < 0x20; ++c) t[c] = true;
  for (int c = 'a'; c <= 'z'; ++c) t[c] = true;
  const char more[] = "\\:*?\"<>|.";
  for (size_t i = 0; i + 1 < sizeof(more); ++i) t[static_cast<u8>(more[i])] = true;
  return t;
}
// Every first byte of kFirstBytes, and "m" of "moov".
constexpr char kStartBytes[] = "\x00\x06\x1A\x1F\x21\x25\x2E\x30\x37\x38\x42\x43\x46\x47\x49\x4D"
                               "\x50\x52\x53\x6D\x89\xCF\xD0\xFE\xFF";
}  // namespace

// The first two bytes of every signature, as pairs; a pair whose second byte
// is "*" stands for every second byte (a transport stream's packet header).
constexpr char kStartPairs[] =
    "\x00\x00" "\x00\x01" ".R" "\x30\x26" "FW" "CW" "RI" "FL" "\x1A\x45" "\x47*" "\x06\x0E" "ID" "MT" "MA" "mo"
    "\xFF\xFD" "MM" "\xD0\xCF" "GI" "BA" "BM" "\xFF\xD8" "\x89P" "8B" "II" "PK" "%P" "\x1F\x8B" "7z" "Ra" "MS"
    "MZ" "\xFE\xEF" "SQ" "\xCF\xAD" "!B";
constexpr std::array<u64, 1024> MakePairTable(const char* pairs, size_t n) {
  std::array<u64, 1024> t{};
  for (size_t i = 0; i + 1 < n; i += 2) {
    const u8 b0 = static_cast<u8>(pairs[i]);
    for (int b1 = 0; b1 < 256; ++b1)
      if (pairs[i + 1] == '*' || static_cast<u8>(pairs[i + 1]) == b1)
        t[b0 * 4u + (b1 >> 6)] |= 1ull << (b1 & 63);
  }
  return t;
}

const std::array<bool, 256> CFileTypeJudge::s_bFirstByteMayStart = MakeByteTable(kStartBytes, sizeof(kStartBytes) - 1);
const std::array<u64, 1024> CFileTypeJudge::s_u64PairMayStart = MakePairTable(kStartPairs, sizeof(kStartPairs) - 1);
const std::array<bool, 256> CFileTypeJudge::s_bBadShortNameChar = MakeBadShortNameChars();

int CFileTypeJudge::DetectFileTypeAllRows(unsigned char* pBuf, int nLen, int* pRow) {
  return DetectRows(pBuf, nLen, pRow, nullptr, EXTEND_NAME_ROW_COUNT);
}

int CFileTypeJudge::DetectFileType(unsigned char* pBuf, int nLen, int* pRow) {
  // Almost every sector a deep scan offers starts nothing: turn those away
  // after a byte or three instead of asking every row.
  if (!MayStartFile(pBuf, nLen)) {
    if (pRow) *pRow = EXTEND_NAME_ROW_COUNT - 1;
    return TYPE_NONE;
  }
  const ROW_INDEX& index = RowIndex();
  const u8 b0 = pBuf[0];
  return DetectRows(pBuf, nLen, pRow, index.nRows[b0], index.nCount[b0]);
}

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

u64 CFileTypeJudge::GetSkipSectors(int nType, u64 u64Size, int nBytesPerSector) {
  switch (nType) {
    case TYPE_DOC: case TYPE_OLE: case TYPE_XLS: case TYPE_PPT: case TYPE_WAV: case TYPE_AVI:
    case TYPE_WMV: case TYPE_SWF: case TYPE_BMP: case TYPE_CAB: case TYPE_TTF: case TYPE_ICO:
      return 1;
    default:
      break;
  }
  if (nBytesPerSector <= 0) return 1;
  u64 sectors = u64Size / nBytesPerSector + (u64Size % nBytesPerSector ? 1 : 0);
  // A skip of 0 would offer the same sector again for ever.
  return sectors ? sectors : 1;
}

// ---- File-system metadata ----

int CFileTypeJudge::IsFileSystemSector(unsigned char* pBuf, int nLen) {
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

void CFileTypeJudge::InstallContentMatcher() { SetContentMatcher(&CFileTypeJudge::IsFileTypeMatching); }

int CFileTypeJudge::IsFileTypeMatching(unsigned char* pBuf, int nLen, char* pExt, CDiskReader* pReader,
                                       int nBytesPerSector, u64 u64Sector) {
  int row = FindRowByExtension(pExt);
  if (row < 0) return 1;
  // The carving context may be in the middle of a deep scan: borrow it and
  // give it back untouched.
  const int savedSectorSize = m_nBytesPerSector;
  const u64 savedStart = m_u64StartSector, savedCurrent = m_u64CurrentSector;
  CDiskReader* const savedReader = m_pDiskReader;
  const int savedTsCheck = m_bIsNeedCheckTsFileRange;

  m_nBytesPerSector = nBytesPerSector;
  m_u64StartSector = m_u64CurrentSector = u64Sector;
  m_pDiskReader = pReader;
  m_bIsNeedCheckTsFileRange = 0;
  const EXTEND_NAME_ROW& r = szExtendNameAndType[row];
  int matches = r.pDetector(pBuf, nLen) == static_cast<int>(r.nType) ? 1 : 0;

  m_nBytesPerSector = savedSectorSize;
  m_u64StartSector = savedStart;
  m_u64CurrentSector = savedCurrent;
  m_pDiskReader = savedReader;
  m_bIsNeedCheckTsFileRange = savedTsCheck;
  return matches;
}

// ---- One carving candidate ----

int CFileTypeJudge::ParseFileBuf(unsigned char* pBuf, int nLen, u64 u64Sector, u64 u64ScanSectorCount,
                                 u64 u64SectorTotalCount, int nRemaidSecond, CDiskReader* pReader,
                                 int nBytesPerSector, u64 u64FileCount, char* pName, int nNameLen,
                                 EXTEND_NAME_TYPE& nType, u64& u64Size) {
  nType = TYPE_NONE;
  u64Size = 0;
  if (pName && nNameLen > 0) pName[0] = 0;
  if (!pBuf || nLen <= 0 || !IsUsableSectorSize(nBytesPerSector)) return STATUS_INVALID_PARAMETER;

  m_nBytesPerSector = nBytesPerSector;
  m_u64StartSector = m_u64CurrentSector = u64Sector;
  m_pDiskReader = pReader;
  m_u64ScanSectorCount = u64ScanSectorCount;
  m_u64SectorTotalCount = u64SectorTotalCount;
  m_nRemaidSecond = nRemaidSecond;
  m_u64FileCount = u64FileCount;

  int detectRow = EXTEND_NAME_ROW_COUNT - 1;
  int detected = DetectFileType(pBuf, nLen, &detectRow);
  // Whatever was found, the next candidate starts from these; the type found
  // below may change them for its measurement and the next detection.
  m_bIsNeedCheckTsFileRange = 1;
  m_bIsMtsFileHead = 0;
  if (detected == TYPE_NONE || !szExtendNameAndType[detectRow].pSizeRule) return STATUS_INVALID_PARAMETER;

  int row = FindRowByType(detected);
  if (row < 0 || !szExtendNameAndType[row].pSizeRule) return STATUS_INVALID_PARAMETER;
  if (detected != TYPE_TS) m_bIsNeedCheckTsFileRange = 0;
  if (detected == TYPE_MTS) m_bIsMtsFileHead = 1;

  if (pName && nNameLen > 0)
    std::snprintf(pName, static_cast<size_t>(nNameLen), "%lld.%s", static_cast<long long>(u64Sector),
                  szExtendNameAndType[row].szExtendName);
  nType = static_cast<EXTEND_NAME_TYPE>(detected);

  m_ErrorCode = 0;
  u64Size = szExtendNameAndType[row].pSizeRule(pBuf, nLen);
  // Any stop answer from the scan callback (a cancelled scan answers 1, not
  // -9527) cut the measurement short: recording the file with the size so
  // far would keep a truncated file, and a resumed scan would never measure
  // it again. Record nothing and let the pass start here next time.
  return m_ErrorCode != 0 ? RECOVERY_CANCELLED : STATUS_SUCCESS;
}

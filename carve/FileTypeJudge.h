// The carvable file types: which type a sector starts, how long the file is,
// whether a sector is file-system metadata, and whether a file's first sector
// still matches its extension.
//
// The judge keeps one carving context for the whole process (class-wide
// members): the carving engine sets it per candidate sector, the detectors and
// size rules read it, and two flags carry over from one candidate to the next.
// Detectors never read into the shared read-ahead buffer (the end test runs
// them over sectors that live in it); they use buffers of their own.
#pragma once

#include <array>
#include <cstring>
#include <vector>

#include "engine/DiskReader.h"
#include "engine/Types.h"

enum EXTEND_NAME_TYPE : u32 {
  TYPE_DOC = 0,
  TYPE_DOCX = 1,
  TYPE_OLE = 2,
  TYPE_XLS = 3,
  TYPE_XLSX = 4,
  TYPE_PPT = 5,
  TYPE_PPTX = 6,
  TYPE_MSO07 = 7,
  TYPE_PDF = 8,
  TYPE_GHO = 9,
  TYPE_JPG = 10,
  TYPE_MP2 = 11,
  TYPE_MP3 = 12,
  TYPE_MID = 13,
  TYPE_MMF = 14,
  TYPE_MPEG = 15,
  TYPE_3GP = 16,
  TYPE_MOV = 17,
  TYPE_MP4 = 18,
  TYPE_MKV = 19,
  TYPE_TS = 20,
  TYPE_WAV = 21,
  TYPE_AVI = 22,
  TYPE_RMVB = 23,
  TYPE_WMV = 24,
  TYPE_APE = 25,
  TYPE_SWF = 26,
  TYPE_FLV = 27,
  TYPE_PSD = 28,
  TYPE_BMP = 29,
  TYPE_PNG = 30,
  TYPE_GIF = 31,
  TYPE_TIF = 32,
  TYPE_CAB = 33,
  TYPE_7Z = 34,
  TYPE_ZIP = 35,
  TYPE_GZ = 36,
  TYPE_RAR = 37,
  TYPE_PST = 38,
  TYPE_DB = 39,
  TYPE_DBX = 40,
  TYPE_EXE = 41,
  TYPE_DLL = 42,
  TYPE_SYS = 43,
  TYPE_FLA = 44,
  TYPE_TTF = 45,
  TYPE_ICO = 46,
  TYPE_MTS = 47,
  TYPE_MXF = 48,
  TYPE_NONE = 49,
};

// One transport stream carved in this scan, inclusive sector range.
struct _TS_FILE_RANGE_ {
  u64 u64StartSector;
  u64 u64EndSector;
};

class CFileTypeJudge {
 public:
  // A detector tests a buffer that starts at a sector boundary and returns a
  // type number or TYPE_NONE; a size rule returns the file's length in bytes.
  typedef int (*DETECTOR)(unsigned char* pBuf, int nLen);
  typedef u64 (*SIZE_RULE)(unsigned char* pBuf, int nLen);

  struct EXTEND_NAME_ROW {
    const char* szExtendName;  // lower case; nullptr in the sentinel
    EXTEND_NAME_TYPE nType;
    DETECTOR pDetector;
    SIZE_RULE pSizeRule;       // nullptr: recognised, never carved
  };
  static constexpr int EXTEND_NAME_ROW_COUNT = 88;
  static constexpr int READ_BUF_SIZE = 65536;
  // Largest sector size the judge works with (its private buffers are sized for it).
  static constexpr int MAX_SECTOR_SIZE = 4096;

  // Row order is the detection order; lookups by type or extension take the
  // first row that fits. The last row is the sentinel {nullptr, 49}.
  static const EXTEND_NAME_ROW szExtendNameAndType[EXTEND_NAME_ROW_COUNT];

  CFileTypeJudge();   // shares (and on first use allocates) the read-ahead buffer
  ~CFileTypeJudge();  // the last judge frees it
  CFileTypeJudge(const CFileTypeJudge&) = delete;
  CFileTypeJudge& operator=(const CFileTypeJudge&) = delete;

  // ---- Questions the other engines ask ----
  // 1 when the buffer is file-system metadata (NTFS records, boot sectors,
  // FAT directory sectors), else 0.
  static int IsFileSystemSector(unsigned char* pBuf, int nLen);
  // 1 when the first sector of a file (read from absolute u64Sector) is of the
  // type pExt names, or pExt is not a carvable extension; 0 otherwise. Leaves
  // the carving context as it found it.
  static int IsFileTypeMatching(unsigned char* pBuf, int nLen, char* pExt, CDiskReader* pReader,
                                int nBytesPerSector, u64 u64Sector);
  // Makes IsFileTypeMatching the test the file-system engines ask through
  // engine/ContentMatch.h.
  static void InstallContentMatcher();

  // ---- Carving ----
  static int InitCallBack(SCAN_PROGRESS_CALLBACK pScan, RECOVERY_CALLBACK pRecovery, void* param,
                          int nPercent);
  // Recognises and measures the file starting at u64Sector. 0 with name
  // ("%lld.%s"), type and size filled; 87 when nothing carvable starts here;
  // -9527 when the user cancelled during measurement.
  static int ParseFileBuf(unsigned char* pBuf, int nLen, u64 u64Sector, u64 u64ScanSectorCount,
                          u64 u64SectorTotalCount, int nRemaidSecond, CDiskReader* pReader,
                          int nBytesPerSector, u64 u64FileCount, char* pName, int nNameLen,
                          EXTEND_NAME_TYPE& nType, u64& u64Size);

  // Carving detection: the type the sector starts (TYPE_NONE if none) and the
  // table row that claims it. Compound files are classified as documents
  // before the Flash-authoring row can claim them. Only the rows whose
  // detector can accept the sector's first byte are asked, in table order.
  static int DetectFileType(unsigned char* pBuf, int nLen, int* pRow = nullptr);
  // The same answer as DetectFileType, trying every row in order without the
  // quick first-byte rejection (kept for tests that check the two agree).
  static int DetectFileTypeAllRows(unsigned char* pBuf, int nLen, int* pRow = nullptr);
  // False when no detector can accept the buffer: its first two bytes start
  // no signature and the three detectors that look further in (ftyp at 4, the
  // mts packet head at 8, the package part name at 31) see nothing. Most
  // sectors of a deep scan end here after a byte or three.
  __attribute__((always_inline)) static inline bool MayStartFile(const unsigned char* p, int nLen) {
    if (!p || nLen <= 0) return false;
    const u8 b0 = p[0];
    const bool startMayMatch =
        nLen < 2 ? s_bFirstByteMayStart[b0] : ((s_u64PairMayStart[b0 * 4u + (p[1] >> 6)] >> (p[1] & 63)) & 1) != 0;
    if (startMayMatch) {
      // A leading 00 starts only 00 00 01 (MPEG, icon) or 00 01 00 (font).
      if (b0 != 0 || nLen < 3) return true;
      if ((p[1] == 0 && p[2] == 1) || (p[1] == 1 && p[2] == 0)) return true;
    }
    if (nLen >= 8 && p[4] == 'f' && p[5] == 't' && p[6] == 'y' && p[7] == 'p') return true;
    if (nLen >= 16 && p[8] == 0x00 && p[9] == 0x00 && p[10] == 0xB0 && p[11] == 0x11 && p[12] == 0x00 &&
        p[13] == 0x00 && p[14] == 0xC1 && p[15] == 0x00)
      return true;
    return nLen >= 50 && p[31] == '[' && std::memcmp(p + 31, "[Content_Types].xml", 19) == 0;
  }
  // What carving leaves in the shared context for a sector that starts no
  // file (MayStartFile false), without the full call: the same answer as
  // ParseFileBuf's 87 for it, at the cost of a few stores.
  static inline void NoteSectorWithoutFile(u64 u64Sector, u64 u64ScanSectorCount, u64 u64SectorTotalCount,
                                           int nRemaidSecond, CDiskReader* pReader, int nBytesPerSector,
                                           u64 u64FileCount) {
    m_nBytesPerSector = nBytesPerSector;
    m_u64StartSector = m_u64CurrentSector = u64Sector;
    m_pDiskReader = pReader;
    m_u64ScanSectorCount = u64ScanSectorCount;
    m_u64SectorTotalCount = u64SectorTotalCount;
    m_nRemaidSecond = nRemaidSecond;
    m_u64FileCount = u64FileCount;
    m_bIsNeedCheckTsFileRange = 1;
    m_bIsMtsFileHead = 0;
  }
  // False when the sector cannot be a FAT directory sector (IsFatFDTRecord):
  // its first entry fails one of the cheap field tests of a valid entry. Lets
  // the deep pass and the end test skip the full validation, whose date
  // checks are the costly part, for almost every sector of other data.
  __attribute__((always_inline)) static inline bool MayBeFatDirSector(const unsigned char* p, size_t n) {
    if (!p || n < 32 || p[0] == 0x00) return false;
    if (p[0] == '.') return true;  // a "." entry: the full test decides
    const u8 attr = p[11];
    if (attr == 0x0F) {  // long-name entry: sequence number, zero first cluster (0x1A)
      if (p[0] != 0xE5 && (p[0] & ~0x40) > 18) return false;
      return p[26] == 0 && p[27] == 0;
    }
    if (attr & 0xC0) return false;  // reserved attribute bits
    const bool noSize = p[28] == 0 && p[29] == 0 && p[30] == 0 && p[31] == 0;
    const bool noCluster = p[20] == 0 && p[21] == 0 && p[26] == 0 && p[27] == 0;
    if (attr == 0x08) return noSize && noCluster;  // volume label
    if (attr & 0x08) return false;
    if (!(attr & 0x30)) return false;                   // neither a folder nor an archived file
    if ((attr & 0x10) && (attr & 0x01)) return false;   // read-only folder
    if (!(attr & 0x10) && noSize && !noCluster) return false;
    for (int i = 0; i < 11; ++i)
      if (s_bBadShortNameChar[p[i]]) return false;
    return true;
  }

  // First row whose type is nType / whose extension equals pExt ignoring case; -1 if none.
  static int FindRowByType(int nType);
  static int FindRowByExtension(const char* pExt);
  // Sectors after a carve: 1 for the types measured from a header (a file
  // stored inside them is still found), else the sectors the file covers.
  static u64 GetSkipSectors(int nType, u64 u64Size, int nBytesPerSector);

  // ---- Detectors ----
  static int IsMpgType(unsigned char* pBuf, int nLen);
  static int IsMp4Type(unsigned char* pBuf, int nLen);
  static int IsRmvbType(unsigned char* pBuf, int nLen);
  static int IsAsfType(unsigned char* pBuf, int nLen);
  static int IsSwfType(unsigned char* pBuf, int nLen);
  static int IsAviType(unsigned char* pBuf, int nLen);
  static int IsFlvType(unsigned char* pBuf, int nLen);
  static int Is3pgType(unsigned char* pBuf, int nLen);
  static int IsMkvType(unsigned char* pBuf, int nLen);
  static int IsTsType(unsigned char* pBuf, int nLen);
  static int IsMtsType(unsigned char* pBuf, int nLen);
  static int IsMxfType(unsigned char* pBuf, int nLen);
  static int IsMp3Type(unsigned char* pBuf, int nLen);
  static int IsMidType(unsigned char* pBuf, int nLen);
  static int IsApeType(unsigned char* pBuf, int nLen);
  static int IsWavType(unsigned char* pBuf, int nLen);
  static int IsMovType(unsigned char* pBuf, int nLen);
  static int IsMp2Type(unsigned char* pBuf, int nLen);
  static int IsMmfType(unsigned char* pBuf, int nLen);
  static int IsFlaType(unsigned char* pBuf, int nLen);
  static int IsGifType(unsigned char* pBuf, int nLen);
  static int IsBmpType(unsigned char* pBuf, int nLen);
  static int IsJpgType(unsigned char* pBuf, int nLen);
  static int IsPngType(unsigned char* pBuf, int nLen);
  static int IsPsdType(unsigned char* pBuf, int nLen);
  static int IsTifType(unsigned char* pBuf, int nLen);
  static int IsIcoType(unsigned char* pBuf, int nLen);
  static int IsOffice2003Type(unsigned char* pBuf, int nLen);
  static int IsOffice2007Type(unsigned char* pBuf, int nLen);
  static int IsPdfType(unsigned char* pBuf, int nLen);
  static int IsGzipType(unsigned char* pBuf, int nLen);
  static int Is7zType(unsigned char* pBuf, int nLen);
  static int IsZipType(unsigned char* pBuf, int nLen);
  static int IsRarType(unsigned char* pBuf, int nLen);
  static int IsCabType(unsigned char* pBuf, int nLen);
  static int IsPeType(unsigned char* pBuf, int nLen);
  static int IsGhoType(unsigned char* pBuf, int nLen);
  static int IsSqlType(unsigned char* pBuf, int nLen);
  static int IsDbxEmailType(unsigned char* pBuf, int nLen);
  static int IsPstEmailType(unsigned char* pBuf, int nLen);
  static int IsTtfType(unsigned char* pBuf, int nLen);

  // Compound-file and open-packaging classifiers (read further sectors).
  static int GetOffice2003Type(unsigned char* pBuf, int nLen);
  static int GetOffice2007Type(unsigned char* pBuf, int nLen);

  // ---- Size rules ----
  static u64 GetMPGFileBytesSize(unsigned char* pBuf, int nLen);
  static u64 GetMP4FileBytesSize(unsigned char* pBuf, int nLen);
  // QuickTime and 3GP: the top-level boxes' sizes, else the default video rule.
  static u64 GetISOMediaFileBytesSize(unsigned char* pBuf, int nLen);
  static u64 GetRMVBFileBytesSize(unsigned char* pBuf, int nLen);
  static u64 GetASFFileBytesSize(unsigned char* pBuf, int nLen);
  static u64 GetSWFFileBytesSize(unsigned char* pBuf, int nLen);
  static u64 GetAVIFileBytesSize(unsigned char* pBuf, int nLen);
  static u64 GetDefaultVedioFileBytesSize(unsigned char* pBuf, int nLen);
  static u64 GetMKVFileBytes(unsigned char* pBuf, int nLen);
  static u64 GetTSFileBytesSize(unsigned char* pBuf, int nLen);
  static u64 GetMP3FileBytesSize(unsigned char* pBuf, int nLen);
  static u64 GetMIDFileBytesSize(unsigned char* pBuf, int nLen);
  static u64 GetAPEFileBytesSize(unsigned char* pBuf, int nLen);
  static u64 GetWAVFileBytesSize(unsigned char* pBuf, int nLen);
  static u64 GetDefaultAudioFileBytesSize(unsigned char* pBuf, int nLen);
  static u64 GetFLAFileBytesSize(unsigned char* pBuf, int nLen);
  static u64 GetGIFFileBytesSize(unsigned char* pBuf, int nLen);
  static u64 GetBMPFileBytesSize(unsigned char* pBuf, int nLen);
  static u64 GetJPGFileBytesSize(unsigned char* pBuf, int nLen);
  static u64 GetPNGFileBytesSize(unsigned char* pBuf, int nLen);
  static u64 GetDefaultPictureFileBytesSize(unsigned char* pBuf, int nLen);
  static u64 GetICOFileBytesSize(unsigned char* pBuf, int nLen);
  static u64 GetOFFICE2003FileBytesSize(unsigned char* pBuf, int nLen);
  static u64 GetOFFICE2007FileBytesSize(unsigned char* pBuf, int nLen);
  static u64 GetPDFFileBytesSize(unsigned char* pBuf, int nLen);
  static u64 Get7ZFileBytesSize(unsigned char* pBuf, int nLen);
  static u64 GetZIPFileBytesSize(unsigned char* pBuf, int nLen);
  static u64 GetRARFileBytesSize(unsigned char* pBuf, int nLen);
  static u64 GetCABFileBytesSize(unsigned char* pBuf, int nLen);
  static u64 GetDBFileBytesSize(unsigned char* pBuf, int nLen);
  static u64 GetMailFileBytesSize(unsigned char* pBuf, int nLen);
  static u64 GetTTFFileBytesSize(unsigned char* pBuf, int nLen);

  // Size of a compound file from its header and allocation table; 0 when the
  // header does not allow it.
  static u64 GetOFFICE2003FileBytesSizeByFileHead(unsigned char* pHead, int nLen = 512);

  // End tests over read-ahead data: 1 when a file boundary lies in the buffer
  // (u64Size grows by the bytes before it), else 0.
  static int IsEndOfFile(unsigned char* pBuf, int nLen, u64& u64Size);
  static int IsEndOfVedioFile(unsigned char* pBuf, int nLen, u64& u64Size);
  static int IsEndOfMPGFile(unsigned char* pBuf, int nLen, u64& u64Size);

  // Tail helpers: 1 with the offset just past an accepted end marker.
  static int GetJPGFileTailOffset(unsigned char* pBuf, int nLen, u64& u64Offset);
  static int GetPNGFileTailOffset(unsigned char* pBuf, int nLen, u64& u64Offset);
  static int GetGIFFileTailOffset(unsigned char* pBuf, int nLen, u64& u64Offset);

  // ---- The shared carving context ----
  static int m_nBytesPerSector;
  static u64 m_u64StartSector;
  static u64 m_u64CurrentSector;
  static CDiskReader* m_pDiskReader;
  static int m_bIsNeedCheckTsFileRange;
  static std::vector<_TS_FILE_RANGE_> m_tsFileRangeVec;
  static int m_bIsMtsFileHead;
  static u8 m_uMtsPreIndex;

  static unsigned char* m_pReadBuf;
  static SCAN_PROGRESS_CALLBACK m_progressFunc;
  static RECOVERY_CALLBACK m_pRecoveryFunc;
  static void* m_pParam;
  static int m_nPercent;
  static u64 m_u64ScanSectorCount;
  static u64 m_u64SectorTotalCount;
  static int m_nRemaidSecond;
  static u64 m_u64FileCount;
  static int m_ErrorCode;

  // Reads whole sectors through the context's reader into a caller buffer of
  // nBufLen bytes, clamped to the reader's end limit; the number of sectors
  // that arrived (0 on any failure).
  static unsigned int ReadContextSectors(u64 u64Sector, unsigned int nCount, unsigned char* pBuf,
                                         size_t nBufLen);
  static bool IsUsableSectorSize(int nBytesPerSector);

 private:
  static int s_nReadBufUsers;
  static const std::array<bool, 256> s_bFirstByteMayStart;
  // Bit (b1 & 63) of word b0 * 4 + b1 / 64: some signature starts b0 b1.
  static const std::array<u64, 1024> s_u64PairMayStart;
  static const std::array<bool, 256> s_bBadShortNameChar;
};

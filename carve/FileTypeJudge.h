// The carvable file types: which type a sector starts, how long the file is,
// whether a sector is file-system metadata, and whether a file's first sector
// still matches its extension.
//
// Formats live in carve/formats/, one file per format or family; the
// registry (formats/Registry.cpp) lists their rows in detection order and
// builds the quick per-sector rejection from their signatures. Detectors and
// length rules get a CARVE_CONTEXT per candidate; the only state kept between
// calls is the deep pass's CARVE_PASS. Detectors never read into the
// read-ahead buffer (the end test runs them over sectors that live in it);
// they use buffers of their own.
#pragma once

#include <array>
#include <cstring>
#include <vector>

#include "carve/CarveContext.h"
#include "carve/CarveFormat.h"
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
  // Types carved since; numbered after TYPE_NONE so the old numbers stay.
  TYPE_M4A = 50,
  TYPE_M4V = 51,
  TYPE_3G2 = 52,
  TYPE_HEIC = 53,
  TYPE_HEIF = 54,
  TYPE_AVIF = 55,
  TYPE_CR3 = 56,
  TYPE_WEBP = 57,
  TYPE_WEBM = 58,
  TYPE_FLAC = 59,
  TYPE_OGG = 60,
  TYPE_OPUS = 61,
  TYPE_AAC = 62,
  TYPE_AMR = 63,
  TYPE_DNG = 64,
  TYPE_NEF = 65,
  TYPE_ARW = 66,
  TYPE_CR2 = 67,
  TYPE_ORF = 68,
  TYPE_RW2 = 69,
  TYPE_PEF = 70,
  TYPE_SRW = 71,
  TYPE_RAF = 72,
  TYPE_EPUB = 73,
  TYPE_ODT = 74,
  TYPE_ODS = 75,
  TYPE_JAR = 76,
  TYPE_APK = 77,
  TYPE_TXT = 78,
  TYPE_CSV = 79,
  TYPE_HTML = 80,
  TYPE_XML = 81,
  TYPE_JSON = 82,
};

class CFileTypeJudge {
 public:
  typedef CARVE_DETECTOR DETECTOR;
  typedef CARVE_SIZE_RULE SIZE_RULE;

  struct EXTEND_NAME_ROW {
    const char* szExtendName;  // lower case; nullptr in the sentinel
    EXTEND_NAME_TYPE nType;
    const CARVE_FORMAT* pFormat;  // nullptr in the sentinel
  };
  static constexpr int EXTEND_NAME_ROW_COUNT = 127;
  static constexpr int READ_BUF_SIZE = CARVE_CONTEXT::READ_BUF_SIZE;
  static constexpr int MAX_SECTOR_SIZE = CARVE_CONTEXT::MAX_SECTOR_SIZE;

  // Row order is the detection order; lookups by type or extension take the
  // first row that fits. The last row is the sentinel {nullptr, 49}.
  static const EXTEND_NAME_ROW szExtendNameAndType[EXTEND_NAME_ROW_COUNT];

  CFileTypeJudge() = default;
  CFileTypeJudge(const CFileTypeJudge&) = delete;
  CFileTypeJudge& operator=(const CFileTypeJudge&) = delete;

  // ---- Questions the other engines ask ----
  // 1 when the buffer is file-system metadata (NTFS records, boot sectors,
  // FAT directory sectors), else 0.
  static int IsFileSystemSector(const unsigned char* pBuf, int nLen);
  // 1 when the first sector of a file (read from absolute u64Sector) is of the
  // type pExt names, or pExt is not a carvable extension; 0 otherwise.
  static int IsFileTypeMatching(unsigned char* pBuf, int nLen, char* pExt, CDiskReader* pReader,
                                int nBytesPerSector, u64 u64Sector);
  // Makes IsFileTypeMatching and CheckContent the tests the file-system
  // engines ask through engine/ContentMatch.h.
  static void InstallContentMatcher();
  // The integrity of u64Size bytes from absolute u64Sector, by the checker of
  // the type pExt names (INTEGRITY_UNVERIFIED when it has none); adds
  // RESULT_FLAG_UNREADABLE to *pFlags when sectors could not be read. The
  // length is the file's as given: a structure that ends before it is not
  // verified.
  static int CheckContent(const char* pExt, CDiskReader* pReader, int nBytesPerSector, u64 u64Sector, u64 u64Size,
                          u8* pFlags);

  // ---- Integrity checks ----
  // The format whose checker judges files of nType (the first row of that
  // type that has one); nullptr when none does.
  static const CARVE_FORMAT* CheckerOfType(int nType);
  // Runs the checker of nType over u64Size bytes from ctx.u64StartSector and
  // returns INTEGRITY_*. When the structure ends before the length and
  // bCutToStructure, the length is cut there; otherwise the file is not
  // verified. Unreadable sectors add RESULT_FLAG_UNREADABLE to nFlags and
  // keep the file from being verified.
  static int CheckIntegrity(CARVE_CONTEXT& ctx, int nType, u64& u64Size, bool bCutToStructure, u8& nFlags);
  // Checks on carved files can be turned off (the deep-scan benchmark
  // measures the pass with and without them); on by default.
  static void SetChecksEnabled(bool bEnabled) { s_bChecks = bEnabled; }
  static bool ChecksEnabled() { return s_bChecks; }

  // ---- Carving ----
  // The deep pass's state between candidates and its callbacks.
  static CARVE_PASS& Pass() { return s_pass; }
  // A new pass: no streams recorded, nothing carried over (callbacks kept).
  static void ResetPass();
  static int InitCallBack(SCAN_PROGRESS_CALLBACK pScan, RECOVERY_CALLBACK pRecovery, void* param,
                          int nPercent);
  // Recognises and measures the file starting at u64Sector. 0 with name
  // ("%lld.%s"), type and size filled; 87 when nothing carvable starts here;
  // -9527 when the user cancelled during measurement. Whether the length is a
  // bound rather than the file's end is left in Pass().bLastLengthIsCap, the
  // integrity check's verdict in Pass().nLastIntegrity and nLastResultFlags.
  static int ParseFileBuf(unsigned char* pBuf, int nLen, u64 u64Sector, u64 u64ScanSectorCount,
                          u64 u64SectorTotalCount, int nRemaidSecond, CDiskReader* pReader,
                          int nBytesPerSector, u64 u64FileCount, char* pName, int nNameLen,
                          EXTEND_NAME_TYPE& nType, u64& u64Size);
  // What the file of type nType measured at u64Sector (u64Size bytes) says
  // about itself, read through its format's metadata reader: bounded reads
  // of its own head and tail. False when the format has no reader or the
  // file says nothing.
  static bool ReadMetadata(int nType, CDiskReader* pReader, int nBytesPerSector, u64 u64Sector, u64 u64Size,
                           CARVE_METADATA& out);
  // A row's metadata reader: the descriptor's own, else the one carve/meta
  // lists for the format's name.
  static CARVE_METADATA_READER MetadataReaderOfRow(int nRow);
  // A context for the sector u64Sector of pReader's range, with the pass's
  // carried-over flags (pPass null: none) and no read-ahead buffer.
  static CARVE_CONTEXT MakeContext(CDiskReader* pReader, int nBytesPerSector, u64 u64Sector,
                                   CARVE_PASS* pPass = nullptr);

  // Carving detection: the type the sector starts (TYPE_NONE if none) and the
  // table row that claims it. Compound files are classified as documents
  // before the Flash-authoring row can claim them. Only the rows whose
  // signatures can start with the sector's first byte are asked, in order.
  static int DetectFileType(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen, int* pRow = nullptr);
  // The same answer as DetectFileType, trying every row in order without the
  // quick rejection (kept for tests that check the two agree).
  static int DetectFileTypeAllRows(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen, int* pRow = nullptr);

  // False when no detector can accept the buffer: no signature starts with
  // its first bytes, none of the signatures further in is there, and it does
  // not start with text. Built from the formats' signatures at start-up; most
  // sectors of a deep scan end here after a byte or three.
  __attribute__((always_inline)) static inline bool MayStartFile(const unsigned char* p, int nLen) {
    const QUICK_TABLES& q = s_quick;
    // Buffers shorter than the furthest byte a quick test reads take the
    // careful way; a sector never does.
    if (!p || nLen < q.nWindow) return MayStartShortBuffer(p, nLen);
    const u32 b0 = p[0], b1 = p[1], word = b0 * 4u + (b1 >> 6), bit = b1 & 63;
    if ((q.u64Pair[word] >> bit) & 1) {
      if ((q.u64PairShort[word] >> bit) & 1) return true;
      const u32 h = Hash3(b0, b1, p[2]);
      if ((q.u64Triple[h >> 6] >> (h & 63)) & 1) return true;
    }
    // Signatures past byte 0: one byte of each first (a slot without a
    // signature holds 0x100, which no byte equals), the rest only then.
#pragma GCC unroll 4
    for (int k = 0; k < MAX_PROBES; ++k)
      if (p[q.nProbeAt[k]] == q.nProbeByte[k] && ProbeMatches(p, nLen, k)) return true;
    return ((q.u64TextPair[word] >> bit) & 1) && MayStartText(p, nLen);
  }
  // What the pass carries over from a sector that starts no file
  // (MayStartFile false), without the full call: the same as ParseFileBuf's
  // 87 for it, at the cost of two stores.
  static inline void NoteSectorWithoutFile() {
    s_pass.bCheckTsRanges = 1;
    s_pass.bMtsFileHead = 0;
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
  // The format of the first row of nType; nullptr if none.
  static const CARVE_FORMAT* FormatOfType(int nType);
  // Sectors after a carve: 1 for the types measured from a header (a file
  // stored inside them is still found), else the sectors the file covers.
  static u64 GetSkipSectors(int nType, u64 u64Size, int nBytesPerSector);

  // End tests over read-ahead data: 1 when a file boundary lies in the buffer
  // (u64Size grows by the bytes before it), else 0. Each sector of the buffer
  // is detected as ctx.u64CurrentSector + 1, + 2, ... (the context moves on).
  // A format that starts without magic bytes (FORMAT_WEAK) is no boundary.
  static int IsEndOfFile(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen, u64& u64Size);
  // The same, where MPEG pieces of the stream being measured are no boundary.
  static int IsEndOfMPGFile(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen, u64& u64Size);

  // Bits of the 16-bit hash of a sector's first three bytes, for the quick
  // rejection's third-byte test.
  static constexpr u32 Hash3(u32 b0, u32 b1, u32 b2) {
    return ((b0 * 0x9E3779B1u) ^ (b1 * 0x85EBCA77u) ^ (b2 * 0xC2B2AE3Du)) >> 16;
  }

  // A signature past byte 0, tested as a whole.
  struct PROBE {
    u16 nOffset;
    u16 nLen;
    int nNeed;  // nOffset + nLen
    const char* pBytes;
  };
  // Slots for signatures past byte 0, each tested for every sector: as few
  // as the formats need (the table builder stops the program when they
  // declare more; raise it then).
  static constexpr int MAX_PROBES = 3;
  // The quick-rejection tables, generated from every format's signatures.
  struct QUICK_TABLES {
    bool bFirstByte[256];  // a signature at 0 starts with this byte (for 1-byte buffers)
    // Bit (b1 & 63) of word b0 * 4 + b1 / 64: a signature at 0 starts b0 b1 ...
    u64 u64Pair[1024];
    // ... and one of them is at most two bytes long (no third byte to test).
    u64 u64PairShort[1024];
    // Bit Hash3(b0, b1, b2): a signature at 0 starts b0 b1 b2.
    u64 u64Triple[1024];
    int nProbes;
    PROBE probes[MAX_PROBES];
    // For each probe slot: where its telling byte is (one that is rarely
    // 00, FF or a space) and the byte (0x100 in an empty slot).
    u16 nProbeAt[MAX_PROBES];
    u16 nProbeByte[MAX_PROBES];
    // Text signatures: 1 for printable ASCII and tab / line ends, 2 for the
    // bytes of UTF-8 sequences; nTextLen such bytes start a text file (0: no
    // text format, and the classes are all 0).
    u8 nTextClass[256];
    int nTextLen;
    // Bit (b1 & 63) of word b0 * 4 + b1 / 64: text may start b0 b1.
    u64 u64TextPair[1024];
    // The furthest byte the quick tests read, plus one.
    int nWindow;
  };
  static const QUICK_TABLES& QuickTables() { return s_quick; }

 private:
  // TEXT_WINDOW bytes of text start p. Every byte is looked at without an
  // early exit (random data would make those exits unpredictable): any byte
  // that can be in no text turns it away; UTF-8 sequences among them are
  // checked whole out of line.
  static constexpr int TEXT_WINDOW = 16;
  static inline bool MayStartText(const unsigned char* p, int nLen) {
    const QUICK_TABLES& q = s_quick;
    if (nLen < TEXT_WINDOW) return false;
    u32 bad = 0, wide = 0;
#pragma GCC unroll 16
    for (int i = 0; i < TEXT_WINDOW; ++i) {
      const u8 c = q.nTextClass[p[i]];
      bad |= c == 0;
      wide |= c == 2;
    }
    return !bad && (!wide || MayStartUtf8Text(p, nLen));
  }
  static bool MayStartUtf8Text(const unsigned char* p, int nLen);
  // Probe k matches in full.
  static bool ProbeMatches(const unsigned char* p, int nLen, int k);
  // MayStartFile for buffers shorter than the window, every read checked.
  static bool MayStartShortBuffer(const unsigned char* p, int nLen);

  static CARVE_PASS s_pass;
  static bool s_bChecks;
  static QUICK_TABLES s_quick;
  static const std::array<bool, 256> s_bBadShortNameChar;
  friend struct QuickTableBuilder;
};

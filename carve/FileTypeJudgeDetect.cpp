// Signature detectors: one small function per format family. Each one looks
// only at bytes inside the buffer it is given (every access bounds-checked);
// the few that need more of the file read it into buffers of their own.
#include <cstring>

#include "carve/FileTypeJudge.h"
#include "carve/FileTypeJudgeInternal.h"
#include "engine/ByteOrder.h"

using namespace carve_detail;

namespace {

const u8 kMtsHead[8] = {0x00, 0x00, 0xB0, 0x11, 0x00, 0x00, 0xC1, 0x00};
const u8 kMxfHead[16] = {0x06, 0x0E, 0x2B, 0x34, 0x02, 0x05, 0x01, 0x01,
                         0x0D, 0x01, 0x02, 0x01, 0x01, 0x02, 0x04, 0x00};
const u8 kIcoHead[4] = {0x00, 0x00, 0x01, 0x00};
const u8 kTtfHead[4] = {0x00, 0x01, 0x00, 0x00};
const u8 kFlaHead[4] = {0xD0, 0xCF, 0x11, 0xE0};
const u8 kCompoundHead[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
const u8 kSqliteHead[16] = {'S', 'Q', 'L', 'i', 't', 'e', ' ', 'f', 'o', 'r', 'm', 'a', 't', ' ', '3', 0};
const u8 kRarHead[7] = {0x52, 0x61, 0x72, 0x21, 0x1A, 0x07, 0x00};
const u8 kPngHead[8] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};

// Four bytes searched at every offset that keeps them within the first 32 bytes.
bool FindInFirst32(const u8* b, size_t n, const u8 (&pattern)[4]) {
  size_t limit = n < 32 ? n : 32;
  for (size_t off = 0; off + 4 <= limit; ++off)
    if (std::memcmp(b + off, pattern, 4) == 0) return true;
  return false;
}

}  // namespace

namespace carve_detail {
const u8 kAsfHeaderGuid[16] = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                               0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
const u8 kTsSync = 0x47;
}  // namespace carve_detail

// ---- Video ----

int CFileTypeJudge::IsMpgType(unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  if (!b.AtLeast(16)) return TYPE_NONE;
  static const u8 kVideoSeq[4] = {0, 0, 1, 0xB3}, kGop[4] = {0, 0, 1, 0xB8};
  static const u8 kPack[4] = {0, 0, 1, 0xBA}, kSystem[4] = {0, 0, 1, 0xBB};
  if (b.Eq(0, kVideoSeq, 4) && FindInFirst32(b.p, b.n, kGop)) return TYPE_MPEG;
  if (b.Eq(0, kPack, 4) && FindInFirst32(b.p, b.n, kSystem)) return TYPE_MPEG;
  return TYPE_NONE;
}

int CFileTypeJudge::IsMp4Type(unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  if (!b.AtLeast(32) || !b.Eq(4, "ftyp", 4)) return TYPE_NONE;
  if (b.Eq(8, "iso", 3) || b.Eq(8, "mp42", 4)) return TYPE_MP4;
  return TYPE_NONE;
}

int CFileTypeJudge::IsRmvbType(unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  return b.AtLeast(4) && b.Eq(0, ".RMF", 4) ? TYPE_RMVB : TYPE_NONE;
}

int CFileTypeJudge::IsAsfType(unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  return b.AtLeast(24) && b.Eq(0, kAsfHeaderGuid, 16) ? TYPE_WMV : TYPE_NONE;
}

int CFileTypeJudge::IsSwfType(unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  if (!b.AtLeast(8)) return TYPE_NONE;
  u8 version = b.p[3];
  if (b.Eq(0, "FWS", 3) && version < 6) return TYPE_SWF;
  if (b.Eq(0, "CWS", 3) && version >= 6 && version <= 15) return TYPE_SWF;
  return TYPE_NONE;
}

int CFileTypeJudge::IsAviType(unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  return b.AtLeast(16) && b.Eq(0, "RIFF", 4) && b.Eq(8, "AVI ", 4) && b.Eq(12, "LIST", 4) ? TYPE_AVI
                                                                                             : TYPE_NONE;
}

int CFileTypeJudge::IsFlvType(unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  static const u8 kFlv[4] = {'F', 'L', 'V', 1}, kHeaderLen[4] = {0, 0, 0, 9};
  return b.AtLeast(16) && b.Eq(0, kFlv, 4) && b.Eq(5, kHeaderLen, 4) ? TYPE_FLV : TYPE_NONE;
}

int CFileTypeJudge::Is3pgType(unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  return b.AtLeast(32) && b.Eq(4, "ftyp", 4) && b.Eq(8, "3gp", 3) ? TYPE_3GP : TYPE_NONE;
}

int CFileTypeJudge::IsMkvType(unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  static const u8 kEbml[4] = {0x1A, 0x45, 0xDF, 0xA3};
  return b.AtLeast(16) && b.Eq(0, kEbml, 4) ? TYPE_MKV : TYPE_NONE;
}

int CFileTypeJudge::IsTsType(unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  if (!b.AtLeast(188) || b.p[0] != kTsSync) return TYPE_NONE;
  if (b.p[1] == 0 && b.p[2] == 0 && b.p[3] == 0) return TYPE_NONE;
  for (size_t off = 0; off < b.n; off += 188)
    if (b.p[off] != kTsSync) return TYPE_NONE;

  // The first 22 packets of the stream must be in step.
  const int ss = m_nBytesPerSector;
  if (!IsUsableSectorSize(ss)) return TYPE_NONE;
  unsigned char ahead[4096];
  unsigned int want = 4096 / ss;
  if (ReadContextSectors(m_u64CurrentSector, want, ahead, sizeof(ahead)) != want) return TYPE_NONE;
  for (int k = 0; k < 22; ++k)
    if (ahead[k * 188] != kTsSync) return TYPE_NONE;

  if (m_bIsNeedCheckTsFileRange) {
    // A stream that runs on from the previous sector does not start here.
    if (m_u64CurrentSector == 0) return TYPE_NONE;
    unsigned char prev[MAX_SECTOR_SIZE];
    if (ReadContextSectors(m_u64CurrentSector - 1, 1, prev, sizeof(prev)) != 1) return TYPE_NONE;
    for (int k = 1; k <= ss / 188; ++k)
      if (prev[ss - 188 * k] == kTsSync) return TYPE_NONE;
    for (const _TS_FILE_RANGE_& r : m_tsFileRangeVec)
      if (m_u64StartSector >= r.u64StartSector && m_u64StartSector <= r.u64EndSector) return TYPE_NONE;
  }
  return TYPE_TS;
}

int CFileTypeJudge::IsMtsType(unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  if (!b.AtLeast(16) || !b.Eq(8, kMtsHead, 8)) return TYPE_NONE;
  m_uMtsPreIndex = b.p[7];
  // Right after an mts file, packets with a non-zero timestamp continue it.
  bool zeroStamp = b.p[0] == 0 && b.p[1] == 0 && b.p[2] == 0 && b.p[3] == 0;
  if (!zeroStamp && m_bIsMtsFileHead) return TYPE_NONE;
  return TYPE_MTS;
}

int CFileTypeJudge::IsMxfType(unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  return b.AtLeast(16) && b.Eq(0, kMxfHead, 16) ? TYPE_MXF : TYPE_NONE;
}

int CFileTypeJudge::IsMovType(unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  if (!b.AtLeast(16)) return TYPE_NONE;
  if (b.Eq(0, "moov", 4)) return TYPE_MOV;
  if (b.Eq(4, "ftyp", 4) && b.Eq(8, "qt  ", 4)) return TYPE_MOV;
  return TYPE_NONE;
}

int CFileTypeJudge::IsFlaType(unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  return b.AtLeast(16) && b.Eq(0, kFlaHead, 4) ? TYPE_FLA : TYPE_NONE;
}

// ---- Audio ----

int CFileTypeJudge::IsMp3Type(unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  if (!b.AtLeast(10) || !b.Eq(0, "ID3", 3)) return TYPE_NONE;
  if (b.p[3] == 0xFF || b.p[4] == 0xFF || (b.p[5] & 0x1F) != 0) return TYPE_NONE;
  for (int i = 6; i < 10; ++i)
    if (b.p[i] >= 0x80) return TYPE_NONE;  // the tag size is a 28-bit syncsafe number
  return TYPE_MP3;
}

int CFileTypeJudge::IsMidType(unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  static const u8 kHeaderLen[4] = {0, 0, 0, 6};
  return b.AtLeast(18) && b.Eq(0, "MThd", 4) && b.Eq(4, kHeaderLen, 4) && b.Eq(14, "MTrk", 4) ? TYPE_MID
                                                                                              : TYPE_NONE;
}

int CFileTypeJudge::IsApeType(unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  return b.AtLeast(4) && b.Eq(0, "MAC ", 4) ? TYPE_APE : TYPE_NONE;
}

int CFileTypeJudge::IsWavType(unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  return b.AtLeast(16) && b.Eq(0, "RIFF", 4) && b.Eq(8, "WAVE", 4) && b.Eq(12, "fmt ", 4) ? TYPE_WAV
                                                                                           : TYPE_NONE;
}

int CFileTypeJudge::IsMp2Type(unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  static const u8 kHead[4] = {0xFF, 0xFD, 0xE4, 0x00};
  return b.AtLeast(4) && b.Eq(0, kHead, 4) ? TYPE_MP2 : TYPE_NONE;
}

int CFileTypeJudge::IsMmfType(unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  return b.AtLeast(4) && b.Eq(0, "MMMD", 4) ? TYPE_MMF : TYPE_NONE;
}

// ---- Pictures ----

int CFileTypeJudge::IsGifType(unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  if (!b.AtLeast(8) || !b.Eq(0, "GIF", 3)) return TYPE_NONE;
  auto digit = [](u8 c) { return c >= '0' && c <= '9'; };
  if (!digit(b.p[3]) || !digit(b.p[4])) return TYPE_NONE;
  return b.p[5] >= 'a' && b.p[5] <= 'z' ? TYPE_GIF : TYPE_NONE;
}

int CFileTypeJudge::IsBmpType(unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  if (!b.AtLeast(40) || !(b.Eq(0, "BA", 2) || b.Eq(0, "BM", 2))) return TYPE_NONE;
  // 0x06, 0x08: reserved words; 0x0E: info header size (the common 40-byte form).
  if (GetU16LE(b.p, b.n, 6) != 0 || GetU16LE(b.p, b.n, 8) != 0) return TYPE_NONE;
  return GetU32LE(b.p, b.n, 14) == 40 ? TYPE_BMP : TYPE_NONE;
}

int CFileTypeJudge::IsJpgType(unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  if (!b.AtLeast(16)) return TYPE_NONE;
  static const u8 kJfif[4] = {0xFF, 0xD8, 0xFF, 0xE0}, kExif[4] = {0xFF, 0xD8, 0xFF, 0xE1};
  if (b.Eq(0, kJfif, 4) && b.Eq(6, "JFIF", 4)) return TYPE_JPG;
  if (b.Eq(0, kExif, 4) && b.Eq(6, "Exif", 4)) return TYPE_JPG;
  return TYPE_NONE;
}

int CFileTypeJudge::IsPngType(unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  return b.AtLeast(8) && b.Eq(0, kPngHead, 8) ? TYPE_PNG : TYPE_NONE;
}

int CFileTypeJudge::IsPsdType(unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  return b.AtLeast(40) && b.Eq(0, "8BPS", 4) ? TYPE_PSD : TYPE_NONE;
}

int CFileTypeJudge::IsTifType(unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  static const u8 kLittle[4] = {0x49, 0x49, 0x2A, 0x00}, kBig[4] = {0x4D, 0x4D, 0x00, 0x2A};
  return b.AtLeast(4) && (b.Eq(0, kLittle, 4) || b.Eq(0, kBig, 4)) ? TYPE_TIF : TYPE_NONE;
}

int CFileTypeJudge::IsIcoType(unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  if (!b.AtLeast(16) || !b.Eq(0, kIcoHead, 4)) return TYPE_NONE;
  u32 count = GetU16LE(b.p, b.n, 4);
  if (count == 0 || 16ull * count + 6 > b.n) return TYPE_NONE;
  // The images lie back to back right after the 16-byte directory entries.
  u64 expected = 16ull * count + 6;
  for (u32 i = 0; i < count; ++i) {
    size_t entry = 6 + 16 * static_cast<size_t>(i);
    if (b.p[entry + 3] != 0) return TYPE_NONE;
    if (GetU32LE(b.p, b.n, entry + 12) != expected) return TYPE_NONE;
    expected += GetU32LE(b.p, b.n, entry + 8);
  }
  return TYPE_ICO;
}

int CFileTypeJudge::IsTtfType(unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  if (!b.AtLeast(16) || !b.Eq(0, kTtfHead, 4)) return TYPE_NONE;
  u32 tables = GetU16BE(b.p, b.n, 4);
  if (tables == 0 || GetU16BE(b.p, b.n, 6) == 0 || GetU16BE(b.p, b.n, 8) == 0 ||
      GetU16BE(b.p, b.n, 10) == 0)
    return TYPE_NONE;
  if (16ull * tables + 16 > b.n) return TYPE_NONE;
  if (b.Eq(12 + 16 * static_cast<size_t>(tables), kTtfHead, 4)) return TYPE_TTF;
  // Fonts whose first table is not a version-1.0 one: accept a table
  // directory whose search fields agree with its count (0x06 searchRange =
  // 16 x the largest power of two <= n, 0x0A rangeShift = 16 n - searchRange)
  // and whose tags are printable.
  u32 pow2 = 1, log2 = 0;
  while (pow2 * 2 <= tables) {
    pow2 *= 2;
    ++log2;
  }
  if (GetU16BE(b.p, b.n, 6) != 16 * pow2 || GetU16BE(b.p, b.n, 8) != log2 ||
      GetU16BE(b.p, b.n, 10) != 16 * tables - 16 * pow2)
    return TYPE_NONE;
  for (size_t i = 0; i < tables; ++i)
    for (size_t k = 0; k < 4; ++k) {
      u8 c = b.p[12 + 16 * i + k];
      if (c < 0x20 || c > 0x7E) return TYPE_NONE;
    }
  return TYPE_TTF;
}

// ---- Documents ----

int CFileTypeJudge::IsOffice2003Type(unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  if (!b.AtLeast(8) || !b.Eq(0, kCompoundHead, 8)) return TYPE_NONE;
  return GetOffice2003Type(pBuf, nLen);
}

int CFileTypeJudge::IsOffice2007Type(unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  if (!b.AtLeast(31)) return TYPE_NONE;
  static const u8 kLocal[4] = {0x50, 0x4B, 0x03, 0x04};
  if (!b.Eq(0, kLocal, 4) && !b.Eq(31, "[Content_Types].xml", 19)) return TYPE_NONE;
  return GetOffice2007Type(pBuf, nLen);
}

int CFileTypeJudge::IsPdfType(unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  return b.AtLeast(5) && b.Eq(0, "%PDF-", 5) ? TYPE_PDF : TYPE_NONE;
}

int CFileTypeJudge::IsSqlType(unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  return b.AtLeast(16) && b.Eq(0, kSqliteHead, 16) ? TYPE_DB : TYPE_NONE;
}

int CFileTypeJudge::IsDbxEmailType(unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  static const u8 kDbx[4] = {0xCF, 0xAD, 0x12, 0xFE};
  return b.AtLeast(16) && b.Eq(0, kDbx, 4) ? TYPE_DBX : TYPE_NONE;
}

int CFileTypeJudge::IsPstEmailType(unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  return b.AtLeast(16) && b.Eq(0, "!BDN", 4) && b.Eq(8, "SM", 2) ? TYPE_PST : TYPE_NONE;
}

// ---- Archives and programs ----

int CFileTypeJudge::IsGzipType(unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  static const u8 kGzip[3] = {0x1F, 0x8B, 0x08};
  if (!b.AtLeast(16) || !b.Eq(0, kGzip, 3)) return TYPE_NONE;
  u8 flags = b.p[3], extra = b.p[8], os = b.p[9];
  if (flags != 0x00 && flags != 0x08) return TYPE_NONE;
  if (extra != 0x02 && extra != 0x04) return TYPE_NONE;
  return os <= 13 || os == 0xFF ? TYPE_GZ : TYPE_NONE;
}

int CFileTypeJudge::Is7zType(unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  static const u8 k7z[5] = {0x37, 0x7A, 0xBC, 0xAF, 0x27};
  return b.AtLeast(6) && b.Eq(0, k7z, 5) ? TYPE_7Z : TYPE_NONE;
}

int CFileTypeJudge::IsZipType(unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  static const u8 kLocal[4] = {0x50, 0x4B, 0x03, 0x04};
  return b.AtLeast(48) && b.Eq(0, kLocal, 4) ? TYPE_ZIP : TYPE_NONE;
}

int CFileTypeJudge::IsRarType(unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  return b.AtLeast(7) && b.Eq(0, kRarHead, 7) ? TYPE_RAR : TYPE_NONE;
}

int CFileTypeJudge::IsCabType(unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  return b.AtLeast(36) && b.Eq(0, "MSCF", 4) ? TYPE_CAB : TYPE_NONE;
}

int CFileTypeJudge::IsPeType(unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  if (!b.AtLeast(512) || !b.Eq(0, "MZ", 2)) return TYPE_NONE;
  u32 header = GetU32LE(b.p, b.n, 60);  // 0x3C: offset of the PE header
  if (header > 488) return TYPE_NONE;
  static const u8 kPe[4] = {'P', 'E', 0, 0};
  if (!b.Eq(header, kPe, 4)) return TYPE_NONE;
  u16 characteristics = GetU16LE(b.p, b.n, header + 22);
  if (!(characteristics & 0x0002)) return TYPE_NONE;  // not an executable image
  if (characteristics & 0x1000) return TYPE_SYS;
  if (characteristics & 0x2000) return TYPE_DLL;
  return TYPE_EXE;
}

int CFileTypeJudge::IsGhoType(unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  static const u8 kGho[4] = {0xFE, 0xEF, 0x00, 0x00};
  return b.AtLeast(4) && b.Eq(0, kGho, 4) ? TYPE_GHO : TYPE_NONE;
}

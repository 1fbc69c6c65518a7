// Size rules. A few formats state their length in the first sector; the rest
// are measured by reading forward from the start sector, one 64 KiB step at a
// time through the shared buffer, until an end marker, another file's start,
// file-system metadata or the type's maximum. Each forward rule is a maximum,
// an end test and (optionally) a marker search over each step's data.
#include <cstring>

#include "carve/FileTypeJudge.h"
#include "carve/FileTypeJudgeInternal.h"
#include "engine/ByteOrder.h"

using namespace carve_detail;

typedef CFileTypeJudge J;

namespace {

const u64 kMax128M = 134217728;         // 0x8000000
const u64 kMax256M = 268435456;         // 0x10000000
const u64 kMax1G = 1073741824;          // 0x40000000
const u64 kMax2G = 2147483648ull;       // 0x80000000
const u64 kMax4G = 4294967296ull;       // 0x100000000
const u64 kMax6G = 6442450944ull;       // 0x180000000
const u64 kMax64G = 68719476736ull;     // 0x1000000000
const u64 kMaxOffice = 134217727;       // 0x7FFFFFF
const u64 kMaxMidi = 8388608;           // 0x800000

u64 OneSector() {
  return J::IsUsableSectorSize(J::m_nBytesPerSector) ? static_cast<u64>(J::m_nBytesPerSector) : 512;
}

// What a marker search sees of one read-ahead step.
struct StepView {
  const u8* p;    // the data read (sector aligned)
  size_t n;       // bytes read
  size_t owned;   // bytes that still belong to this file: up to a boundary the end test found, else n
  u64 before;     // file bytes before this step, the start sector included
  bool boundary;  // the end test found another file or metadata in this step
};
// Returns true when it decided the size (written to size); the rule ends.
typedef bool (*MARKER)(const StepView& v, void* state, u64& size);

enum END_TEST { END_ANY, END_MPG };

u64 ForwardScan(u64 maxBytes, END_TEST endTest, MARKER marker, void* state) {
  const int ss = J::m_nBytesPerSector;
  if (!J::IsUsableSectorSize(ss) || !J::m_pReadBuf) return OneSector();
  u64 size = static_cast<u64>(ss);
  u64 budget = maxBytes / ss;
  u64 done = 0;
  u64 scanned = J::m_u64ScanSectorCount;
  const u64 perStep = J::READ_BUF_SIZE / ss;
  while (budget != 0) {
    unsigned int want = static_cast<unsigned int>(budget < perStep ? budget : perStep);
    unsigned int got = J::ReadContextSectors(J::m_u64StartSector + 1 + done, want, J::m_pReadBuf, J::READ_BUF_SIZE);
    if (got == 0) break;  // unreadable or the range's end: keep what we have
    scanned += got;
    if (J::m_progressFunc) {
      u64 total = J::m_u64SectorTotalCount;
      int progress = total ? static_cast<int>(scanned * 100 / total + 10) : 10;
      J::m_ErrorCode = J::m_progressFunc(J::m_pParam, progress, J::m_nPercent, J::m_nRemaidSecond, scanned,
                                         total, J::m_u64FileCount, nullptr);
      if (J::m_ErrorCode != 0) break;
    }
    const int bytes = static_cast<int>(got) * ss;
    u64 withBoundary = size;
    int boundary = endTest == END_MPG ? J::IsEndOfMPGFile(J::m_pReadBuf, bytes, withBoundary)
                                      : J::IsEndOfFile(J::m_pReadBuf, bytes, withBoundary);
    StepView v{J::m_pReadBuf, static_cast<size_t>(bytes),
               boundary ? static_cast<size_t>(withBoundary - size) : static_cast<size_t>(bytes), size,
               boundary != 0};
    size = withBoundary;
    if (marker && marker(v, state, size)) return size;
    if (boundary) return size;
    size += static_cast<u64>(bytes);
    budget -= got;
    done += got;
  }
  return size;
}

u64 Cap(u64 v, u64 cap) { return v < cap ? v : cap; }

// CRC-32 (IEEE, reflected), as the 7z start header uses.
u32 Crc32(const u8* p, size_t n) {
  static u32 table[256];
  static bool ready = false;
  if (!ready) {
    for (u32 i = 0; i < 256; ++i) {
      u32 c = i;
      for (int k = 0; k < 8; ++k) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      table[i] = c;
    }
    ready = true;
  }
  u32 crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; ++i) crc = table[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}

// ---- Marker searches ----

// An end code accepted only on a sector boundary or before a zero-filled
// sector tail; occurrences are tried in turn.
bool FindAcceptedEnd(const u8* p, size_t n, const void* code, size_t len, size_t& end) {
  const size_t ss = static_cast<size_t>(J::m_nBytesPerSector);
  for (size_t off = FindBytes(p, n, 0, code, len); off != npos; off = FindBytes(p, n, off + 1, code, len)) {
    if (IsAcceptedEnd(p, n, off + len, ss)) {
      end = off + len;
      return true;
    }
  }
  return false;
}

struct MpgState {
  bool videoOnly;  // an elementary video stream ends with 00 00 01 B7, a program stream with B9
};
bool MpgMarker(const StepView& v, void* state, u64& size) {
  static const u8 kSeqEnd[4] = {0, 0, 1, 0xB7}, kProgramEnd[4] = {0, 0, 1, 0xB9};
  const u8* code = static_cast<MpgState*>(state)->videoOnly ? kSeqEnd : kProgramEnd;
  size_t end = 0;
  // MPEG pieces never end the file, so the end code is looked for in all the data read.
  if (!FindAcceptedEnd(v.p, v.n, code, 4, end)) return false;
  size = v.before + end;
  return true;
}

bool Mp4Marker(const StepView& v, void*, u64& size) {
  static const char kTail[] = "freeIsoMedia File Produced";
  size_t off = FindBytes(v.p, v.owned, 0, kTail, 26);
  if (off == npos) return false;
  size_t e = off + 26;
  while (e < v.owned && v.p[e] != 0) ++e;
  size = v.before + e;
  return true;
}

bool RmvbMarker(const StepView& v, void*, u64& size) {
  static const u8 kTail[20] = {0x49, 0x4E, 0x44, 0x58, 0x00, 0x00, 0x00, 0x14, 0x00, 0x00,
                               0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00};
  size_t off = FindBytes(v.p, v.owned, 0, kTail, 20);
  if (off == npos) return false;
  size = v.before + off + 20;
  return true;
}

bool ApeMarker(const StepView& v, void*, u64& size) {
  static const u8 kTail[10] = {'A', 'P', 'E', 'T', 'A', 'G', 'E', 'X', 0xD0, 0x07};
  size_t first = FindBytes(v.p, v.owned, 0, kTail, 10);
  if (first == npos) return false;
  // A tag's header and footer: the file ends after the footer's 32 bytes.
  size_t second = FindBytes(v.p, v.owned, first + 10, kTail, 10);
  size = second != npos ? v.before + second + 32 : v.before + v.owned;
  return true;
}

struct CandidateState {
  bool has = false;
  u64 candidate = 0;
};
bool Mp3Marker(const StepView& v, void* state, u64&) {
  // The last "TAG" of the file's own bytes: an ID3v1 tag is the file's last 128 bytes.
  size_t off = FindLastBytes(v.p, v.owned, "TAG", 3);
  if (off != npos) {
    CandidateState* s = static_cast<CandidateState*>(state);
    s->has = true;
    s->candidate = v.before + off + 128;
  }
  return false;
}

bool JpgMarker(const StepView& v, void* state, u64&) {
  // The last accepted FF D9 of the file's own bytes; a thumbnail's end marker
  // earlier in the step does not hide the picture's own.
  static const u8 kTail[2] = {0xFF, 0xD9};
  const size_t ss = static_cast<size_t>(J::m_nBytesPerSector);
  CandidateState* s = static_cast<CandidateState*>(state);
  for (size_t off = FindBytes(v.p, v.owned, 0, kTail, 2); off != npos; off = FindBytes(v.p, v.owned, off + 1, kTail, 2)) {
    if (IsAcceptedEnd(v.p, v.n, off + 2, ss)) {
      s->has = true;
      s->candidate = v.before + off + 2;
    }
  }
  return false;
}

bool PngMarker(const StepView& v, void*, u64& size) {
  u64 off = 0;
  if (!J::GetPNGFileTailOffset(const_cast<u8*>(v.p), static_cast<int>(v.owned), off)) return false;
  size = v.before + off;
  return true;
}

bool GifMarker(const StepView& v, void*, u64& size) {
  u64 off = 0;
  if (!J::GetGIFFileTailOffset(const_cast<u8*>(v.p), static_cast<int>(v.owned), off)) return false;
  size = v.before + off;
  return true;
}

bool ZipMarker(const StepView& v, void*, u64& size) {
  static const u8 kEnd[4] = {0x50, 0x4B, 0x05, 0x06};
  size_t off = FindLastBytes(v.p, v.owned, kEnd, 4);
  if (off == npos) return false;
  // The end record is 22 bytes plus its comment (length at +20).
  u64 end = off + 22;
  u16 comment = 0;
  if (ReadU16LE(v.p, v.n, off + 20, comment)) end += comment;
  size = v.before + end;
  return true;
}

bool SevenZipMarker(const StepView& v, void*, u64& size) {
  static const u8 kTail[12] = {0x00, 0x07, 0x0B, 0x01, 0x00, 0x01, 0x23, 0x03, 0x01, 0x01, 0x05, 0x5D};
  size_t off = FindLastBytes(v.p, v.owned, kTail, 12);
  if (off == npos) return false;
  size = v.before + off + 27;
  return true;
}

bool PdfMarker(const StepView& v, void*, u64& size) {
  size_t off = FindLastBytes(v.p, v.owned, "%%EOF", 5);
  if (off != npos) {
    // The line end after %%EOF belongs to the file.
    size_t e = off + 5;
    if (e < v.owned && v.p[e] == '\r') ++e;
    if (e < v.owned && v.p[e] == '\n') ++e;
    size = v.before + e;
    return true;
  }
  off = FindLastBytes(v.p, v.owned, "trailer", 7);
  if (off == npos) return false;
  size = v.before + off + 7;
  return true;
}

bool RarMarker(const StepView& v, void*, u64& size) {
  static const u8 kTail[7] = {0xC4, 0x3D, 0x7B, 0x00, 0x40, 0x07, 0x00};
  size_t end = 0;
  if (!FindAcceptedEnd(v.p, v.owned, kTail, 7, end)) return false;
  size = v.before + end;
  return true;
}

bool DocTailMarker(const StepView& v, void*, u64& size) {
  static const u8 kTailHead[6] = {0x01, 0x00, 0xFE, 0xFF, 0x03, 0x0A};
  static const u8 kTail[26] = {'M', 'i', 'c', 'r', 'o', 's', 'o', 'f', 't', ' ', 'O', 'f', 'f',
                               'i', 'c', 'e', ' ', 'W', 'o', 'r', 'd', ' ', 0xCE, 0xC4, 0xB5, 0xB5};
  if (FindBytes(v.p, v.owned, 0, kTailHead, 6) == npos) return false;
  size_t off = FindBytes(v.p, v.owned, 0, kTail, 26);
  if (off == npos) return false;
  const u64 ss = static_cast<u64>(J::m_nBytesPerSector);
  u64 end = off + 26;
  size = v.before + (end + ss - 1) / ss * ss;
  return true;
}

struct TsState {
  u64 nextPacket;    // file offset of the first packet not yet looked at
  bool broken = false;
  u64 chainEnd = 0;  // file offset of the first packet out of step
};
bool TsMarker(const StepView& v, void* state, u64& size) {
  TsState* s = static_cast<TsState*>(state);
  const u64 stepEnd = v.before + v.n;
  while (s->nextPacket + 188 <= stepEnd) {
    if (s->nextPacket >= v.before && v.p[s->nextPacket - v.before] != kTsSync) {
      s->broken = true;
      s->chainEnd = s->nextPacket;
      // Reading further cannot move the end: the size is cut to the chain
      // end afterwards, so stop here instead of reading up to the maximum.
      if (!v.boundary) size = stepEnd;
      return true;
    }
    s->nextPacket += 188;
  }
  return false;
}

}  // namespace

// ---- End tests ----

int CFileTypeJudge::IsEndOfFile(unsigned char* pBuf, int nLen, u64& u64Size) {
  const int ss = m_nBytesPerSector;
  if (!pBuf || nLen <= 0 || !IsUsableSectorSize(ss)) return 0;
  const int sectors = nLen / ss;
  for (int i = 0; i < sectors; ++i) {
    ++m_u64CurrentSector;  // the detectors read relative to the sector under test
    unsigned char* sector = pBuf + static_cast<size_t>(i) * ss;
    if (DetectFileType(sector, ss) != TYPE_NONE || IsFileSystemSector(sector, ss)) {
      u64Size += static_cast<u64>(i) * ss;
      return 1;
    }
  }
  return 0;
}

int CFileTypeJudge::IsEndOfVedioFile(unsigned char* pBuf, int nLen, u64& u64Size) {
  return IsEndOfFile(pBuf, nLen, u64Size);
}

int CFileTypeJudge::IsEndOfMPGFile(unsigned char* pBuf, int nLen, u64& u64Size) {
  const int ss = m_nBytesPerSector;
  if (!pBuf || nLen <= 0 || !IsUsableSectorSize(ss)) return 0;
  const int sectors = nLen / ss;
  for (int i = 0; i < sectors; ++i) {
    ++m_u64CurrentSector;
    unsigned char* sector = pBuf + static_cast<size_t>(i) * ss;
    int type = DetectFileType(sector, ss);
    if ((type != TYPE_NONE && type != TYPE_MPEG) || IsFileSystemSector(sector, ss)) {
      u64Size += static_cast<u64>(i) * ss;
      return 1;
    }
  }
  return 0;
}

// ---- Tail helpers ----

int CFileTypeJudge::GetJPGFileTailOffset(unsigned char* pBuf, int nLen, u64& u64Offset) {
  static const u8 kTail[2] = {0xFF, 0xD9};
  Bytes b(pBuf, nLen);
  size_t end = 0;
  if (!FindAcceptedEnd(b.p, b.n, kTail, 2, end)) return 0;
  u64Offset = end;
  return 1;
}

int CFileTypeJudge::GetPNGFileTailOffset(unsigned char* pBuf, int nLen, u64& u64Offset) {
  static const u8 kTail[8] = {0x49, 0x45, 0x4E, 0x44, 0xAE, 0x42, 0x60, 0x82};
  Bytes b(pBuf, nLen);
  size_t end = 0;
  if (!FindAcceptedEnd(b.p, b.n, kTail, 8, end)) return 0;
  u64Offset = end;
  return 1;
}

int CFileTypeJudge::GetGIFFileTailOffset(unsigned char* pBuf, int nLen, u64& u64Offset) {
  static const u8 kTail[2] = {0x00, 0x3B};
  Bytes b(pBuf, nLen);
  size_t end = 0;
  if (!FindAcceptedEnd(b.p, b.n, kTail, 2, end)) return 0;
  u64Offset = end;
  return 1;
}

// ---- Rules that read the length from the first sector ----

u64 CFileTypeJudge::GetASFFileBytesSize(unsigned char* pBuf, int nLen) {
  static const u8 kFileProperties[16] = {0xA1, 0xDC, 0xAB, 0x8C, 0x47, 0xA9, 0xCF, 0x11,
                                         0x8E, 0xE4, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
  Bytes b(pBuf, nLen);
  size_t p = FindBytes(b.p, b.n, 30, kFileProperties, 16);
  if (p == npos || p + 92 > b.n) return OneSector();
  u32 flags = GetU32LE(b.p, b.n, p + 88);
  if (flags & 1) return OneSector();  // a broadcast stream has no file size
  return Cap(GetU64LE(b.p, b.n, p + 40), kMax256M);
}

u64 CFileTypeJudge::GetSWFFileBytesSize(unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  if (!b.AtLeast(8) || b.p[0] != 'F') return OneSector();  // compressed: the length is of the inflated data
  return Cap(GetU32LE(b.p, b.n, 4), kMax256M);
}

u64 CFileTypeJudge::GetAVIFileBytesSize(unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  if (!b.AtLeast(16)) return OneSector();
  return static_cast<u64>(GetU32LE(b.p, b.n, 4)) + 8;  // RIFF size excludes its 8-byte header
}

u64 CFileTypeJudge::GetWAVFileBytesSize(unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  if (!b.AtLeast(8)) return OneSector();
  return static_cast<u64>(GetU32LE(b.p, b.n, 4)) + 8;
}

u64 CFileTypeJudge::GetBMPFileBytesSize(unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  if (!b.AtLeast(6)) return 0;
  return Cap(GetU32LE(b.p, b.n, 2), kMax128M);
}

u64 CFileTypeJudge::GetCABFileBytesSize(unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  if (!b.AtLeast(36)) return OneSector();
  return Cap(GetU32LE(b.p, b.n, 8), kMax1G);
}

u64 CFileTypeJudge::GetICOFileBytesSize(unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  if (!b.AtLeast(6)) return OneSector();
  const size_t count = GetU16LE(b.p, b.n, 4);
  if (count == 0) return OneSector();
  const size_t dirEnd = 16 * count + 6;
  const u8* p = b.p;
  size_t n = b.n;
  if (dirEnd > n) {
    // A directory longer than the sector: read it whole from the start sector.
    const int ss = m_nBytesPerSector;
    if (!IsUsableSectorSize(ss) || !m_pReadBuf) return OneSector();
    unsigned int got = ReadContextSectors(m_u64StartSector, READ_BUF_SIZE / ss, m_pReadBuf, READ_BUF_SIZE);
    p = m_pReadBuf;
    n = static_cast<size_t>(got) * ss;
    if (dirEnd > n) return OneSector();
  }
  // The last entry: image size at +8, image offset at +12.
  u64 size = static_cast<u64>(GetU32LE(p, n, 16 * count + 2)) + GetU32LE(p, n, 16 * count - 2);
  return Cap(size, kMax128M);
}

u64 CFileTypeJudge::GetTTFFileBytesSize(unsigned char* pBuf, int nLen) {
  Bytes b(pBuf, nLen);
  if (!b.AtLeast(6)) return OneSector();
  const size_t tables = GetU16BE(b.p, b.n, 4);
  if (tables == 0) return 0;
  const u8* p = b.p;
  size_t n = b.n;
  if (16 * tables + 12 > n) {
    const int ss = m_nBytesPerSector;
    if (!IsUsableSectorSize(ss) || !m_pReadBuf) return OneSector();
    unsigned int got = ReadContextSectors(m_u64StartSector, READ_BUF_SIZE / ss, m_pReadBuf, READ_BUF_SIZE);
    p = m_pReadBuf;
    n = static_cast<size_t>(got) * ss;
    if (16 * tables + 12 > n) return OneSector();
  }
  // Table records at 12 + 16 i: big-endian offset at +8 and length at +12.
  u64 end = 0;
  for (size_t i = 0; i < tables; ++i) {
    size_t rec = 12 + 16 * i;
    u64 e = static_cast<u64>(GetU32BE(p, n, rec + 8)) + GetU32BE(p, n, rec + 12);
    if (e > end) end = e;
  }
  // Tables are padded to a 4-byte boundary, the last one included.
  end = (end + 3) / 4 * 4;
  return Cap(end, kMax128M);
}

// ---- Forward-scan rules ----

u64 CFileTypeJudge::GetDefaultVedioFileBytesSize(unsigned char*, int) {
  return ForwardScan(kMax4G, END_ANY, nullptr, nullptr);
}
u64 CFileTypeJudge::GetMKVFileBytes(unsigned char*, int) { return ForwardScan(kMax64G, END_ANY, nullptr, nullptr); }
u64 CFileTypeJudge::GetDefaultAudioFileBytesSize(unsigned char*, int) {
  return ForwardScan(kMax256M, END_ANY, nullptr, nullptr);
}
u64 CFileTypeJudge::GetFLAFileBytesSize(unsigned char* pBuf, int nLen) { return GetDefaultAudioFileBytesSize(pBuf, nLen); }
u64 CFileTypeJudge::GetDefaultPictureFileBytesSize(unsigned char*, int) {
  return ForwardScan(kMax128M, END_ANY, nullptr, nullptr);
}
u64 CFileTypeJudge::GetDBFileBytesSize(unsigned char*, int) { return ForwardScan(kMax6G, END_ANY, nullptr, nullptr); }
u64 CFileTypeJudge::GetMailFileBytesSize(unsigned char*, int) { return ForwardScan(kMax2G, END_ANY, nullptr, nullptr); }

u64 CFileTypeJudge::GetMPGFileBytesSize(unsigned char* pBuf, int nLen) {
  static const u8 kVideoSeq[4] = {0, 0, 1, 0xB3};
  MpgState s{BytesEqual(pBuf, pBuf && nLen > 0 ? nLen : 0, 0, kVideoSeq, 4)};
  return ForwardScan(kMax4G, END_MPG, MpgMarker, &s);
}
u64 CFileTypeJudge::GetMP4FileBytesSize(unsigned char*, int) { return ForwardScan(kMax4G, END_ANY, Mp4Marker, nullptr); }
u64 CFileTypeJudge::GetRMVBFileBytesSize(unsigned char*, int) { return ForwardScan(kMax4G, END_ANY, RmvbMarker, nullptr); }
u64 CFileTypeJudge::GetAPEFileBytesSize(unsigned char*, int) { return ForwardScan(kMax2G, END_ANY, ApeMarker, nullptr); }

u64 CFileTypeJudge::GetMP3FileBytesSize(unsigned char*, int) {
  CandidateState s;
  u64 size = ForwardScan(kMax2G, END_ANY, Mp3Marker, &s);
  if (s.has && s.candidate < size) size = s.candidate;
  return size;
}

u64 CFileTypeJudge::GetJPGFileBytesSize(unsigned char* pBuf, int nLen) {
  u64 off = 0;
  if (GetJPGFileTailOffset(pBuf, nLen, off)) return off;  // the whole picture is in its first sector
  CandidateState s;
  u64 size = ForwardScan(kMax128M, END_ANY, JpgMarker, &s);
  if (s.has && s.candidate < size) size = s.candidate;
  return size;
}

u64 CFileTypeJudge::GetPNGFileBytesSize(unsigned char* pBuf, int nLen) {
  u64 off = 0;
  if (GetPNGFileTailOffset(pBuf, nLen, off)) return off;
  return ForwardScan(kMax128M, END_ANY, PngMarker, nullptr);
}

u64 CFileTypeJudge::GetGIFFileBytesSize(unsigned char* pBuf, int nLen) {
  u64 off = 0;
  if (GetGIFFileTailOffset(pBuf, nLen, off)) return off;
  return ForwardScan(kMax128M, END_ANY, GifMarker, nullptr);
}

// The end record comes last in an archive: one inside the first sector means
// the whole archive is there (a small package or zip is often that short).
static bool ZipEndInFirstSector(unsigned char* pBuf, int nLen, u64& size) {
  Bytes b(pBuf, nLen);
  StepView v{b.p, b.n, b.n, 0, false};
  return b.p && ZipMarker(v, nullptr, size);
}

u64 CFileTypeJudge::GetOFFICE2007FileBytesSize(unsigned char* pBuf, int nLen) {
  u64 size = 0;
  if (ZipEndInFirstSector(pBuf, nLen, size)) return size;
  return ForwardScan(kMaxOffice, END_ANY, ZipMarker, nullptr);
}
u64 CFileTypeJudge::GetZIPFileBytesSize(unsigned char* pBuf, int nLen) {
  u64 size = 0;
  if (ZipEndInFirstSector(pBuf, nLen, size)) return size;
  return ForwardScan(kMax4G, END_ANY, ZipMarker, nullptr);
}
u64 CFileTypeJudge::Get7ZFileBytesSize(unsigned char* pBuf, int nLen) {
  // The start header states where the archive's own header ends: 32 bytes,
  // then the next-header offset (0x0C) and size (0x14), guarded by a CRC of
  // those 20 bytes (0x08). When it checks out it is exact; the end pattern's
  // fixed distance is not (it depends on how the sizes before it are coded).
  Bytes b(pBuf, nLen);
  if (b.AtLeast(32) && Crc32(b.p + 12, 20) == GetU32LE(b.p, b.n, 8)) {
    u64 offset = GetU64LE(b.p, b.n, 12), size = GetU64LE(b.p, b.n, 20);
    if (offset <= kMax4G && size <= kMax4G && 32 + offset + size <= kMax4G) return 32 + offset + size;
  }
  return ForwardScan(kMax4G, END_ANY, SevenZipMarker, nullptr);
}
u64 CFileTypeJudge::GetPDFFileBytesSize(unsigned char*, int) { return ForwardScan(kMax1G, END_ANY, PdfMarker, nullptr); }
u64 CFileTypeJudge::GetRARFileBytesSize(unsigned char*, int) { return ForwardScan(kMax4G, END_ANY, RarMarker, nullptr); }

u64 CFileTypeJudge::GetOFFICE2003FileBytesSize(unsigned char* pBuf, int nLen) {
  u64 size = GetOFFICE2003FileBytesSizeByFileHead(pBuf, nLen);
  if (size != 0) return size;
  return ForwardScan(kMaxOffice, END_ANY, DocTailMarker, nullptr);
}

u64 CFileTypeJudge::GetTSFileBytesSize(unsigned char*, int) {
  const u64 ss = OneSector();
  TsState s;
  s.nextPacket = (ss + 187) / 188 * 188;  // the start sector's packets were checked by the detector
  u64 size = ForwardScan(kMax64G, END_ANY, TsMarker, &s);
  u64 cut = s.broken ? s.chainEnd : s.nextPacket;
  if (cut < size) size = cut;
  // Later candidates inside this stream are its own packets, not new streams.
  u64 last = m_u64StartSector + (size + ss - 1) / ss - 1;
  m_tsFileRangeVec.push_back({m_u64StartSector, last < m_u64StartSector ? m_u64StartSector : last});
  return size;
}

u64 CFileTypeJudge::GetMIDFileBytesSize(unsigned char* pBuf, int nLen) {
  // Walk the track chunks by their declared lengths: header chunk (14 bytes),
  // then n chunks of "MTrk" + 32-bit big-endian length.
  Bytes b(pBuf, nLen);
  const u64 ss = OneSector();
  u32 tracks = GetU16BE(b.p, b.n, 10);
  u64 pos = 14;
  bool complete = true;
  u8 head[2 * MAX_SECTOR_SIZE];
  for (u32 t = 0; t < tracks; ++t) {  // bounded by the 16-bit count and the size cap
    u8 chunk[8];
    if (pos + 8 <= b.n) {
      std::memcpy(chunk, b.p + pos, 8);
    } else {
      u64 sector = pos / ss;
      unsigned int span = static_cast<unsigned int>((pos % ss + 8 + ss - 1) / ss);
      if (ReadContextSectors(m_u64StartSector + sector, span, head, sizeof(head)) != span) {
        complete = false;
        break;
      }
      std::memcpy(chunk, head + pos % ss, 8);
    }
    if (std::memcmp(chunk, "MTrk", 4) != 0) {
      complete = false;
      break;
    }
    pos += 8 + static_cast<u64>(GetU32BE(chunk, 8, 4));
    if (pos > kMaxMidi) {
      complete = false;
      break;
    }
  }
  if (!complete) return ForwardScan(kMaxMidi, END_ANY, nullptr, nullptr);
  if (pos <= ss) return pos;
  // Still stop at another file's start inside the declared extent.
  u64 size = ForwardScan((pos + ss - 1) / ss * ss - ss, END_ANY, nullptr, nullptr);
  return size < pos ? size : pos;
}

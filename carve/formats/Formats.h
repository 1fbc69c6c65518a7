// Every carvable format's descriptor and its functions, for the registry, the
// tests and the fuzz harness. Each is defined in carve/formats/<format>.cpp.
#pragma once

#include "carve/CarveContext.h"
#include "carve/CarveFormat.h"
#include "engine/Types.h"

namespace carve_detail {
class FileView;
}

namespace carvefmt {

// ---- Descriptors, in the order the registry first lists them ----
extern const CARVE_FORMAT kMpeg;
extern const CARVE_FORMAT kMp4;
extern const CARVE_FORMAT kRealMedia;
extern const CARVE_FORMAT kAsf;
extern const CARVE_FORMAT kSwf;
extern const CARVE_FORMAT kAvi;
extern const CARVE_FORMAT kFlv;
extern const CARVE_FORMAT k3gp;
extern const CARVE_FORMAT kMatroska;
extern const CARVE_FORMAT kMpegTs;
extern const CARVE_FORMAT kMts;
extern const CARVE_FORMAT kMxf;
extern const CARVE_FORMAT kMp3;
extern const CARVE_FORMAT kMidi;
extern const CARVE_FORMAT kApe;
extern const CARVE_FORMAT kWav;
extern const CARVE_FORMAT kMov;
extern const CARVE_FORMAT kMp2;
extern const CARVE_FORMAT kMmf;
extern const CARVE_FORMAT kFla;
extern const CARVE_FORMAT kGif;
extern const CARVE_FORMAT kBmp;
extern const CARVE_FORMAT kJpeg;
extern const CARVE_FORMAT kPng;
extern const CARVE_FORMAT kPsd;
extern const CARVE_FORMAT kTiff;
extern const CARVE_FORMAT kIco;
extern const CARVE_FORMAT kCompound;
extern const CARVE_FORMAT kOoxml;
extern const CARVE_FORMAT kPdf;
extern const CARVE_FORMAT kGzip;
extern const CARVE_FORMAT k7z;
extern const CARVE_FORMAT kZip;
extern const CARVE_FORMAT kRar;
extern const CARVE_FORMAT kCab;
extern const CARVE_FORMAT kPe;
extern const CARVE_FORMAT kGho;
extern const CARVE_FORMAT kSqlite;
extern const CARVE_FORMAT kDbx;
extern const CARVE_FORMAT kPst;
extern const CARVE_FORMAT kTtf;
// Formats added after the first 87 rows.
extern const CARVE_FORMAT kIsoBrands;
extern const CARVE_FORMAT kJpegOtherStart;
extern const CARVE_FORMAT kBmpOtherHeader;
extern const CARVE_FORMAT kWebp;
extern const CARVE_FORMAT kWebm;
extern const CARVE_FORMAT kZipPackage;
extern const CARVE_FORMAT kFlac;
extern const CARVE_FORMAT kOgg;
extern const CARVE_FORMAT kAmr;
extern const CARVE_FORMAT kMpegFrames;
extern const CARVE_FORMAT kAdts;
extern const CARVE_FORMAT kTiffRaw;
extern const CARVE_FORMAT kRaf;
extern const CARVE_FORMAT kText;

// ---- Detectors ----
int IsMpgType(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
int IsMp4Type(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
int IsRmvbType(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
int IsAsfType(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
int IsSwfType(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
int IsAviType(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
int IsFlvType(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
int Is3pgType(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
int IsMkvType(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
int IsTsType(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
int IsMtsType(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
int IsMxfType(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
int IsMp3Type(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
int IsMidType(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
int IsApeType(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
int IsWavType(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
int IsMovType(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
int IsMp2Type(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
int IsMmfType(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
int IsFlaType(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
int IsGifType(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
int IsBmpType(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
int IsJpgType(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
int IsPngType(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
int IsPsdType(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
int IsTifType(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
int IsIcoType(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
int IsOffice2003Type(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
int IsOffice2007Type(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
int IsPdfType(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
int IsGzipType(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
int Is7zType(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
int IsZipType(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
int IsRarType(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
int IsCabType(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
int IsPeType(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
int IsGhoType(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
int IsSqlType(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
int IsDbxEmailType(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
int IsPstEmailType(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
int IsTtfType(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);

int IsIsoBrandType(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
int IsJpgOtherStartType(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
int IsBmpOtherHeaderType(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
int IsWebpType(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
int IsWebmType(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
int IsZipPackageType(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
int IsFlacType(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
int IsOggType(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
int IsAmrType(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
int IsMpegFramesType(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
int IsAdtsType(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
int IsTiffRawType(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
int IsRafType(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
int IsTextType(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);

// Compound-file and open-packaging classifiers (read further sectors).
int GetOffice2003Type(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
int GetOffice2007Type(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);

// ---- Length rules ----
u64 GetMPGFileBytesSize(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
u64 GetMP4FileBytesSize(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
// QuickTime and 3GP: the top-level boxes' sizes, else the default video rule.
u64 GetISOMediaFileBytesSize(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
u64 GetRMVBFileBytesSize(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
u64 GetASFFileBytesSize(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
u64 GetSWFFileBytesSize(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
u64 GetAVIFileBytesSize(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
u64 GetMKVFileBytes(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
u64 GetTSFileBytesSize(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
u64 GetMP3FileBytesSize(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
u64 GetMIDFileBytesSize(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
u64 GetAPEFileBytesSize(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
u64 GetWAVFileBytesSize(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
u64 GetFLAFileBytesSize(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
u64 GetGIFFileBytesSize(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
u64 GetBMPFileBytesSize(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
u64 GetJPGFileBytesSize(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
u64 GetPNGFileBytesSize(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
u64 GetICOFileBytesSize(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
u64 GetOFFICE2003FileBytesSize(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
u64 GetOFFICE2007FileBytesSize(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
u64 GetPDFFileBytesSize(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
u64 Get7ZFileBytesSize(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
u64 GetZIPFileBytesSize(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
u64 GetRARFileBytesSize(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
u64 GetCABFileBytesSize(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
u64 GetDBFileBytesSize(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
u64 GetMailFileBytesSize(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
u64 GetTTFFileBytesSize(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
u64 GetIsoBrandFileBytesSize(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
u64 GetWebpFileBytesSize(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
u64 GetPEFileBytesSize(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
u64 GetFlacFileBytesSize(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
u64 GetOggFileBytesSize(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
u64 GetAmrFileBytesSize(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
u64 GetAdtsFileBytesSize(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
u64 GetTiffFileBytesSize(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
u64 GetRafFileBytesSize(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
u64 GetTextFileBytesSize(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
u64 GetFlvFileBytesSize(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
u64 GetGzipFileBytesSize(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
u64 GetPsdFileBytesSize(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
// Shared rules of the formats without an end of their own: forward to the
// next file's start or metadata, up to a maximum.
u64 GetDefaultVedioFileBytesSize(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
u64 GetDefaultAudioFileBytesSize(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);
u64 GetDefaultPictureFileBytesSize(CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen);

// Size of a compound file from its header and allocation table; 0 when the
// header does not allow it.
u64 GetOFFICE2003FileBytesSizeByFileHead(CARVE_CONTEXT& ctx, const unsigned char* pHead, int nLen = 512);

// ---- Integrity checkers (CARVE_CHECKER) ----
CARVE_VERDICT CheckJpeg(CARVE_CONTEXT& ctx, u64 u64Size);
CARVE_VERDICT CheckPng(CARVE_CONTEXT& ctx, u64 u64Size);
CARVE_VERDICT CheckGif(CARVE_CONTEXT& ctx, u64 u64Size);
CARVE_VERDICT CheckZip(CARVE_CONTEXT& ctx, u64 u64Size);
// One ZIP entry's data (stored or deflated, csize bytes at `at` of the
// view) against its CRC-32 and uncompressed size; deflated data counts its
// output against budget (ENTRY_UNKNOWN past it, as for other methods).
enum ZIP_ENTRY_CHECK { ENTRY_OK, ENTRY_UNKNOWN, ENTRY_BAD };
ZIP_ENTRY_CHECK CheckZipEntryData(carve_detail::FileView& view, u64 at, u32 method, u32 csize, u32 usize, u32 crc,
                                  u64& budget);
// A ZIP record's fixed fields (local header, central header, end record),
// as its header gives them; offsets are the archive's.
constexpr u32 kZipLocalSig = 0x04034B50u, kZipCentralSig = 0x02014B50u, kZipEndSig = 0x06054B50u;
struct ZIP_HEADER {
  u32 nSig = 0;
  u32 nFlags = 0, nMethod = 0, nCrc = 0, nCsize = 0, nUsize = 0, nNameLen = 0;
  u64 u64Name = 0;  // local and central: where the name starts
  u64 u64Data = 0;  // local: where the data starts
  u64 u64End = 0;   // central and end: past the comment; local: past csize bytes of data
  u32 nLocal = 0;   // central: its local header's offset
  u32 nEntries = 0, nCdSize = 0, nCdOff = 0;  // end
};
// Bytes of the fixed header of a record with signature sig (0: not a record).
size_t ZipHeaderSize(u32 sig);
// Decodes the ZipHeaderSize(signature) bytes at h of the record at pos.
ZIP_HEADER DecodeZipHeader(const u8* h, u64 pos);
CARVE_VERDICT CheckPdf(CARVE_CONTEXT& ctx, u64 u64Size);
CARVE_VERDICT CheckIsoMedia(CARVE_CONTEXT& ctx, u64 u64Size);
CARVE_VERDICT CheckMp3(CARVE_CONTEXT& ctx, u64 u64Size);
CARVE_VERDICT CheckRiff(CARVE_CONTEXT& ctx, u64 u64Size);
CARVE_VERDICT Check7z(CARVE_CONTEXT& ctx, u64 u64Size);
CARVE_VERDICT CheckBmp(CARVE_CONTEXT& ctx, u64 u64Size);
CARVE_VERDICT CheckCompound(CARVE_CONTEXT& ctx, u64 u64Size);
CARVE_VERDICT CheckTiff(CARVE_CONTEXT& ctx, u64 u64Size);

// Tail helpers: 1 with the offset just past an accepted end marker.
int GetJPGFileTailOffset(const CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen, u64& u64Offset);
int GetPNGFileTailOffset(const CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen, u64& u64Offset);
int GetGIFFileTailOffset(const CARVE_CONTEXT& ctx, const unsigned char* pBuf, int nLen, u64& u64Offset);

}  // namespace carvefmt

// What the metadata readers share: bounded reads of a carved file's own
// bytes (its head, and its tail or an index where a format keeps one there),
// dates turned into seconds, and cleaned text put into CARVE_METADATA.
// Everything a file says about itself is hostile: every length is capped,
// every text cleaned.
#pragma once

#include <cstddef>

#include "carve/CarveFormat.h"
#include "engine/Types.h"

namespace carvemeta {

// Bytes of one carved file, read through the context's ReadSectors in
// windows of up to WINDOW bytes; at most MAX_WINDOWS reads per file, so a
// damaged file cannot make the reader walk the disk.
class CMetaSource {
 public:
  static constexpr size_t WINDOW = 32768;
  static constexpr size_t LOAD = 8192;  // bytes a read brings in unless it asks for more
  static constexpr int MAX_WINDOWS = 32;

  CMetaSource(CARVE_CONTEXT& ctx, u64 u64Size);
  u64 Size() const { return m_u64Size; }
  // n bytes at off (n <= WINDOW); false past the file's end or when the
  // budget or the disk says no.
  bool Read(u64 off, void* pOut, size_t n);
  // Up to n bytes at off into pOut; how many arrived.
  size_t ReadUpTo(u64 off, void* pOut, size_t n);
  // A view of up to n bytes at off (n <= WINDOW) valid until the next call; 0 when none.
  size_t View(u64 off, size_t n, const u8** pView);

 private:
  bool Load(u64 off, size_t n);
  CARVE_CONTEXT& m_ctx;
  u64 m_u64Size;
  u8* m_pBuf;
  u64 m_u64At = 0;     // file offset of the window's first byte
  size_t m_nHave = 0;  // bytes in the window
  int m_nLoads = 0;
};

// Seconds since 1970 of a civil date and time read as UTC; 0 when the date
// is impossible or outside 1970..2100 (a year 0 or 9999 says nothing).
i64 CivilToUnix(int y, int mo, int d, int h, int mi, int s);
// "YYYY:MM:DD HH:MM:SS" (EXIF), "YYYY-MM-DDTHH:MM:SS[Z]" (ISO 8601, XML,
// Vorbis), "YYYY-MM-DD", "YYYY" (ID3 years are a date too): 0 when none.
i64 ParseDateText(const char* p, size_t n);

// Cleaned text into a fixed field (no-op when the field already holds text).
void SetText(char* pField, size_t nField, const char* p, size_t n);
template <size_t N>
void SetText(char (&field)[N], const char* p, size_t n) {
  SetText(field, N, p, n);
}
// The same from UTF-16 code units, big- or little-endian bytes.
void SetTextUtf16(char* pField, size_t nField, const u8* p, size_t nBytes, bool bBigEndian);
template <size_t N>
void SetTextUtf16(char (&field)[N], const u8* p, size_t nBytes, bool bBigEndian) {
  SetTextUtf16(field, N, p, nBytes, bBigEndian);
}

bool HasAny(const CARVE_METADATA& m);

// Case-sensitive search for needle in [p, p + n); npos when absent.
size_t Find(const u8* p, size_t n, const char* needle, size_t nNeedle, size_t from = 0);

}  // namespace carvemeta

// ---- The readers, one per family (carve/meta/Meta<family>.cpp) ----
bool ReadExifMetadata(CARVE_CONTEXT& ctx, u64 u64Size, CARVE_METADATA& out);       // JPEG APP1 Exif + SOF
bool ReadTiffMetadata(CARVE_CONTEXT& ctx, u64 u64Size, CARVE_METADATA& out);       // TIFF and TIFF-based raws
bool ReadPictureMetadata(CARVE_CONTEXT& ctx, u64 u64Size, CARVE_METADATA& out);    // PNG, GIF, BMP dimensions
bool ReadIsoMediaMetadata(CARVE_CONTEXT& ctx, u64 u64Size, CARVE_METADATA& out);   // mvhd, udta/meta/ilst, ispe
bool ReadMatroskaMetadata(CARVE_CONTEXT& ctx, u64 u64Size, CARVE_METADATA& out);   // Info: Title, DateUTC
bool ReadId3Metadata(CARVE_CONTEXT& ctx, u64 u64Size, CARVE_METADATA& out);        // ID3v2 at the head, v1 at the tail
bool ReadVorbisMetadata(CARVE_CONTEXT& ctx, u64 u64Size, CARVE_METADATA& out);     // FLAC, Ogg Vorbis, Opus
bool ReadOfficeZipMetadata(CARVE_CONTEXT& ctx, u64 u64Size, CARVE_METADATA& out);  // docProps/core.xml, meta.xml
bool ReadPdfMetadata(CARVE_CONTEXT& ctx, u64 u64Size, CARVE_METADATA& out);        // trailer /Info
bool ReadOleMetadata(CARVE_CONTEXT& ctx, u64 u64Size, CARVE_METADATA& out);        // \005SummaryInformation

// The reader of a format, by its descriptor's name (CARVE_FORMAT::szName);
// nullptr for formats that say nothing about themselves.
CARVE_METADATA_READER MetadataReaderForFormat(const char* szFormatName);

// One reader of TIFF structures for the whole project: the header, the
// chain of image file directories (IFDs) and the IFDs hanging off them
// (SubIFDs, Exif, GPS, interoperability), every entry handed to a visitor.
// Camera raw files, TIFF pictures and the Exif block of a JPEG are all read
// through it. Bytes come from a caller's source; offsets count from the
// TIFF header; every count and offset is bounded.
#pragma once

#include <cstddef>

#include "engine/Types.h"

// Reads len bytes at offset off of the TIFF structure; false when it cannot.
typedef bool (*TIFF_READ)(void* pSource, u64 u64Offset, u8* pOut, size_t nLen);

struct TIFF_ENTRY {
  u16 nTag;
  u16 nType;     // 1 BYTE, 2 ASCII, 3 SHORT, 4 LONG, 5 RATIONAL, 7 UNDEFINED, 13 IFD, ...
  u32 nCount;
  u64 u64Bytes;  // count x the type's size
  u64 u64At;     // offset of the value: inside the entry when it fits in 4 bytes
  u32 nValue;    // the first value of a SHORT / LONG / IFD entry
  int nIfd;      // which IFD: 0, 1, ... along the chain, or 100 + n for those hanging off
};

class CTiffIfdWalker {
 public:
  static constexpr int MAX_IFDS = 64;
  static constexpr u32 MAX_ENTRIES = 1024;  // per IFD
  static constexpr u32 MAX_ARRAY = 65536;   // strip / tile tables read in full up to this

  CTiffIfdWalker(TIFF_READ read, void* pSource) : m_read(read), m_pSource(pSource) {}

  // The 8-byte header: "II" or "MM", 42 (or the 0x4F52 / 0x5352 / 0x55 of
  // Olympus and Panasonic raws), the first IFD's offset.
  bool ReadHeader();
  bool BigEndian() const { return m_bBig; }
  u16 Magic() const { return m_nMagic; }

  // Visits every entry of every IFD reachable from the header; visit
  // returns false to stop. False when the header or the first IFD is bad.
  template <typename F>
  bool Walk(F visit);

  // The furthest byte the structure reaches: IFDs, out-of-line values
  // (maker notes included), strips, tiles and the JPEG thumbnail.
  u64 Extent();

  // An ASCII value (NUL-terminated, up to nMax - 1 characters).
  bool ReadAscii(const TIFF_ENTRY& e, char* pOut, size_t nMax);
  // Element i of a SHORT / LONG array value.
  bool ArrayValue(const TIFF_ENTRY& e, u32 i, u32& out);

  u16 U16(const u8* p) const { return m_bBig ? static_cast<u16>(p[0] << 8 | p[1]) : static_cast<u16>(p[1] << 8 | p[0]); }
  u32 U32(const u8* p) const {
    return m_bBig ? (u32(p[0]) << 24 | u32(p[1]) << 16 | u32(p[2]) << 8 | p[3])
                  : (u32(p[3]) << 24 | u32(p[2]) << 16 | u32(p[1]) << 8 | p[0]);
  }

 private:
  bool Read(u64 off, u8* out, size_t len) { return m_read(m_pSource, off, out, len); }
  static u32 TypeSize(u16 type);

  TIFF_READ m_read;
  void* m_pSource;
  bool m_bBig = false;
  u16 m_nMagic = 0;
  u32 m_nFirstIfd = 0;
};

template <typename F>
bool CTiffIfdWalker::Walk(F visit) {
  u32 queue[MAX_IFDS];
  int kinds[MAX_IFDS];
  int nQueued = 0, nDone = 0, nChain = 0;
  queue[nQueued] = m_nFirstIfd;
  kinds[nQueued++] = 0;
  while (nDone < nQueued) {
    const u32 ifd = queue[nDone];
    const int kind = kinds[nDone++];
    bool seen = false;  // a loop in damaged files
    for (int k = 0; k < nDone - 1; ++k) seen = seen || queue[k] == ifd;
    if (seen || ifd < 8) continue;
    u8 b[12];
    if (!Read(ifd, b, 2)) return nDone > 1;
    const u32 entries = U16(b);
    if (entries == 0 || entries > MAX_ENTRIES) return nDone > 1;
    for (u32 k = 0; k < entries; ++k) {
      if (!Read(ifd + 2 + 12ull * k, b, 12)) return false;
      TIFF_ENTRY e;
      e.nTag = U16(b);
      e.nType = U16(b + 2);
      e.nCount = U32(b + 4);
      e.u64Bytes = static_cast<u64>(e.nCount) * TypeSize(e.nType);
      e.u64At = e.u64Bytes <= 4 ? ifd + 2 + 12ull * k + 8 : U32(b + 8);
      e.nValue = e.nType == 3 ? U16(b + 8) : U32(b + 8);
      e.nIfd = kind;
      if (!visit(e)) return true;
      // IFDs hanging off this one: SubIFDs (0x14A), Exif (0x8769), GPS (0x8825), interoperability (0xA005).
      if ((e.nTag == 0x14A || e.nTag == 0x8769 || e.nTag == 0x8825 || e.nTag == 0xA005) &&
          (e.nType == 4 || e.nType == 13)) {
        for (u32 i = 0; i < e.nCount && i < 8 && nQueued < MAX_IFDS; ++i) {
          u32 sub = 0;
          if (!ArrayValue(e, i, sub)) break;
          queue[nQueued] = sub;
          kinds[nQueued] = 100 + nQueued;
          ++nQueued;
        }
      }
    }
    if (kind < 100 && nQueued < MAX_IFDS && Read(ifd + 2 + 12ull * entries, b, 4)) {
      const u32 next = U32(b);
      if (next != 0) {
        queue[nQueued] = next;
        kinds[nQueued++] = ++nChain;
      }
    }
  }
  return true;
}

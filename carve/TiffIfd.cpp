#include "carve/TiffIfd.h"

#include <cstring>

u32 CTiffIfdWalker::TypeSize(u16 type) {
  switch (type) {
    case 1: case 2: case 6: case 7: return 1;
    case 3: case 8: return 2;
    case 4: case 9: case 11: case 13: return 4;
    case 5: case 10: case 12: case 16: case 17: case 18: return 8;
    default: return 0;  // unknown types carry no value we can place
  }
}

bool CTiffIfdWalker::ReadHeader() {
  u8 h[8];
  if (!Read(0, h, 8)) return false;
  if (h[0] == 'I' && h[1] == 'I') m_bBig = false;
  else if (h[0] == 'M' && h[1] == 'M') m_bBig = true;
  else return false;
  m_nMagic = U16(h + 2);
  if (m_nMagic != 42 && m_nMagic != 0x4F52 && m_nMagic != 0x5352 && m_nMagic != 0x55) return false;
  m_nFirstIfd = U32(h + 4);
  return m_nFirstIfd >= 8;
}

bool CTiffIfdWalker::ArrayValue(const TIFF_ENTRY& e, u32 i, u32& out) {
  const u32 size = e.nType == 3 ? 2 : 4;
  if (i >= e.nCount || (e.nType != 3 && e.nType != 4 && e.nType != 13)) return false;
  u8 b[4];
  if (!Read(e.u64At + static_cast<u64>(i) * size, b, size)) return false;
  out = size == 2 ? U16(b) : U32(b);
  return true;
}

bool CTiffIfdWalker::ReadAscii(const TIFF_ENTRY& e, char* pOut, size_t nMax) {
  if (nMax == 0 || e.nType != 2) return false;
  size_t len = e.nCount < nMax - 1 ? e.nCount : nMax - 1;
  if (!Read(e.u64At, reinterpret_cast<u8*>(pOut), len)) return false;
  pOut[len] = 0;
  return true;
}

u64 CTiffIfdWalker::Extent() {
  u64 end = 8;
  // Offset / length tag pairs whose arrays place image data: strips
  // (0x111 / 0x117), tiles (0x144 / 0x145), the JPEG thumbnail (0x201 / 0x202).
  struct PAIR {
    u16 offsets, counts;
    TIFF_ENTRY o, c;
    bool haveO, haveC;
    int ifd;
  };
  PAIR pairs[3] = {{0x111, 0x117, {}, {}, false, false, -1}, {0x144, 0x145, {}, {}, false, false, -1},
                   {0x201, 0x202, {}, {}, false, false, -1}};
  auto finishPairs = [&]() {
    for (PAIR& p : pairs) {
      if (p.haveO && p.haveC) {
        const u32 n = p.o.nCount < p.c.nCount ? p.o.nCount : p.c.nCount;
        for (u32 i = 0; i < n && i < MAX_ARRAY; ++i) {
          u32 at = 0, len = 0;
          if (p.o.nTag == 0x201) {
            at = p.o.nValue;
            len = p.c.nValue;
          } else if (!ArrayValue(p.o, i, at) || !ArrayValue(p.c, i, len)) {
            break;
          }
          if (static_cast<u64>(at) + len > end) end = static_cast<u64>(at) + len;
        }
      }
      p.haveO = p.haveC = false;
    }
  };
  int lastIfd = -1;
  Walk([&](const TIFF_ENTRY& e) {
    if (e.nIfd != lastIfd) {
      finishPairs();
      lastIfd = e.nIfd;
    }
    // The IFD itself and each out-of-line value.
    if (e.u64Bytes > 4 && e.u64At + e.u64Bytes > end) end = e.u64At + e.u64Bytes;
    if (e.u64At + 4 > end) end = e.u64At + 4;
    for (PAIR& p : pairs) {
      if (e.nTag == p.offsets) p.o = e, p.haveO = true;
      if (e.nTag == p.counts) p.c = e, p.haveC = true;
    }
    return true;
  });
  finishPairs();
  return end;
}

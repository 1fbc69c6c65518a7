// A JPEG's marker structure followed byte by byte in file order, one piece
// at a time: segments passed over by their declared lengths (an APPn segment
// with a thumbnail and its own FF D9 is passed over whole); after SOS the
// entropy-coded data runs to the next marker other than the stuffed FF 00
// and the restart markers FF D0-D7. Progressive files repeat tables and SOS
// between scans. The first EOI reached this way ends the file. Its state
// between two pieces is all a walk needs to go on from there.
#pragma once

#include <cstring>

#include "engine/Types.h"

struct JPEG_MARKERS {
  enum STATE : u8 { MARK_FF, MARK_CODE, LEN_HI, LEN_LO, SKIP, SCAN, SCAN_FF, END, BROKEN };

  // How strictly the walk reads (the two-piece search wants every sign of
  // foreign data; measuring a picture wants its own end).
  bool bRestartOrder = false;     // RST0..7 must come in sequence within a scan
  bool bZeroSectorBreaks = false; // a whole sector of zeros in coded data breaks it (fed by sectors)
  bool bEoiNeedsScan = true;      // an EOI before any scan breaks it

  STATE st = MARK_FF;
  u8 code = 0;     // the segment being read
  u8 nextRst = 0;  // the restart marker the scan expects next
  bool sawSoi = false, sawFrame = false, sawSos = false;
  u32 len = 0, skip = 0;  // skip: bytes of the segment still to pass over
  u64 pos = 0;        // file offset of the next byte
  u64 firstScan = 0;  // file offset just past the first scan's marker
  u64 end = 0;        // END: just past EOI
  u64 at = 0;         // BROKEN: the offset of the byte that broke it
  u64 lastRst = 0;    // offset of the last restart marker in sequence (0: none)
  u64 scanLeft = 0;   // offset of the marker that last ended entropy-coded data (0: none yet)

  bool Done() const { return st == END || st == BROKEN; }
  bool InScan() const { return st == SCAN || st == SCAN_FF; }
  void Break(u64 off) {
    st = BROKEN;
    at = off;
  }

  // off: the file offset of the marker's code byte.
  void OnMarker(u8 c, u64 off) {
    if (!sawSoi) {
      if (c != 0xD8) return Break(off);
      sawSoi = true;
      st = MARK_FF;
      return;
    }
    if (c == 0xD9) {
      if (bEoiNeedsScan && !sawSos) return Break(off);
      st = END;
      end = off + 1;
      return;
    }
    if (c == 0x01 || (c >= 0xD0 && c <= 0xD7)) {  // TEM, RSTn: no length field
      st = MARK_FF;
      return;
    }
    if (c < 0xC0 || c == 0xD8) return Break(off);  // reserved codes, or a second SOI outside any segment
    // SOF0-SOF15 except DHT (C4), JPG (C8) and DAC (CC).
    if (c >= 0xC0 && c <= 0xCF && c != 0xC4 && c != 0xC8 && c != 0xCC) sawFrame = true;
    if (c == 0xDA) {
      if (!sawFrame) return Break(off);  // a scan needs a frame header before it
      if (!sawSos) firstScan = off + 1;
      sawSos = true;
    }
    code = c;
    st = LEN_HI;
  }

  // The n file bytes at file offset pos, right after those fed before.
  void Feed(const u8* p, size_t n) {
    if (Done()) return;
    if (bZeroSectorBreaks && InScan() && n >= 512 && AllZero(p, n)) return Break(pos);
    size_t i = 0;
    while (i < n && !Done()) {
      switch (st) {
        case MARK_FF:
          if (p[i] != 0xFF) return Break(pos + i);  // a segment must start with a marker
          ++i;
          st = MARK_CODE;
          break;
        case MARK_CODE: {
          const u8 c = p[i++];
          if (c != 0xFF) OnMarker(c, pos + i - 1);  // FF FF...: fill bytes before the code
          break;
        }
        case LEN_HI:  // 16-bit big-endian length, itself included
          len = static_cast<u32>(p[i++]) << 8;
          st = LEN_LO;
          break;
        case LEN_LO:
          len |= p[i++];
          if (len < 2) return Break(pos + i - 1);
          skip = len - 2;
          if (code == 0xDA) nextRst = 0;  // each scan counts its restarts from RST0
          st = skip ? SKIP : (code == 0xDA ? SCAN : MARK_FF);
          break;
        case SKIP: {
          const size_t k = n - i < skip ? n - i : skip;
          i += k;
          skip -= static_cast<u32>(k);
          if (skip == 0) st = code == 0xDA ? SCAN : MARK_FF;
          break;
        }
        case SCAN: {
          const void* hit = std::memchr(p + i, 0xFF, n - i);
          if (!hit) {
            i = n;
          } else {
            i = static_cast<size_t>(static_cast<const u8*>(hit) - p) + 1;
            st = SCAN_FF;
          }
          break;
        }
        case SCAN_FF: {
          const u8 c = p[i++];
          if (c == 0x00) {
            st = SCAN;
          } else if (c >= 0xD0 && c <= 0xD7) {
            // A restart interval that went missing or came from elsewhere.
            if (bRestartOrder && (c & 7) != nextRst) return Break(pos + i - 1);
            nextRst = static_cast<u8>((nextRst + 1) & 7);
            lastRst = pos + i - 1;
            st = SCAN;
          } else if (c != 0xFF) {  // any other marker ends the scan
            scanLeft = pos + i - 2;
            OnMarker(c, pos + i - 1);
          }
          break;
        }
        case END:
        case BROKEN:
          break;
      }
    }
    pos += i;
  }

 private:
  static bool AllZero(const u8* p, size_t n) {
    for (size_t i = 0; i < n; ++i)
      if (p[i]) return false;
    return true;
  }
};

// Compound files written byte by byte for the tests (no Debian tool writes
// the 97-2003 Office formats without an office suite).
#include "CarveTestUtil.h"

#include <cstring>

namespace carvetest {

namespace {
void PutU16(std::vector<unsigned char>& b, size_t off, u16 v) {
  b[off] = static_cast<unsigned char>(v);
  b[off + 1] = static_cast<unsigned char>(v >> 8);
}
void PutU32(std::vector<unsigned char>& b, size_t off, u32 v) {
  for (int i = 0; i < 4; ++i) b[off + i] = static_cast<unsigned char>(v >> (8 * i));
}
void PutName(std::vector<unsigned char>& b, size_t entry, const char* name) {
  size_t len = std::strlen(name);
  for (size_t i = 0; i < len; ++i) PutU16(b, entry + 2 * i, static_cast<u16>(name[i]));
  PutU16(b, entry + 64, static_cast<u16>(2 * (len + 1)));
}
}  // namespace

std::vector<unsigned char> MakeCompoundFile(const char* streamName, const unsigned char* clsid,
                                            unsigned nStreamSectors, const unsigned char* firstStreamSector,
                                            size_t firstLen) {
  const unsigned sectors = 1 + 2 + nStreamSectors;  // header, table, directory, stream
  std::vector<unsigned char> f(static_cast<size_t>(sectors) * 512, 0);
  static const unsigned char kSig[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
  std::memcpy(f.data(), kSig, 8);
  PutU16(f, 24, 0x3E);
  PutU16(f, 26, 3);
  PutU16(f, 28, 0xFFFE);
  PutU16(f, 30, 9);    // 512-byte sectors
  PutU16(f, 32, 6);
  PutU32(f, 44, 1);    // one allocation-table sector
  PutU32(f, 48, 1);    // directory at sector 1
  PutU32(f, 56, 4096);
  PutU32(f, 60, 0xFFFFFFFE);
  PutU32(f, 68, 0xFFFFFFFE);
  for (int i = 0; i < 109; ++i) PutU32(f, 76 + 4 * i, 0xFFFFFFFF);
  PutU32(f, 76, 0);    // the table is sector 0

  const size_t table = 512;
  for (int i = 0; i < 128; ++i) PutU32(f, table + 4 * i, 0xFFFFFFFF);
  PutU32(f, table + 0, 0xFFFFFFFD);
  PutU32(f, table + 4, 0xFFFFFFFE);
  for (unsigned s = 0; s < nStreamSectors; ++s)
    PutU32(f, table + 4 * (2 + s), s + 1 < nStreamSectors ? 2 + s + 1 : 0xFFFFFFFE);

  const size_t dir = 1024;
  PutName(f, dir, "Root Entry");
  f[dir + 66] = 5;
  PutU32(f, dir + 68, 0xFFFFFFFF);
  PutU32(f, dir + 72, 0xFFFFFFFF);
  PutU32(f, dir + 76, 1);
  if (clsid) std::memcpy(&f[dir + 80], clsid, 16);
  PutU32(f, dir + 116, 0xFFFFFFFE);
  const size_t e1 = dir + 128;
  PutName(f, e1, streamName);
  f[e1 + 66] = 2;
  PutU32(f, e1 + 68, 0xFFFFFFFF);
  PutU32(f, e1 + 72, 0xFFFFFFFF);
  PutU32(f, e1 + 76, 0xFFFFFFFF);
  PutU32(f, e1 + 116, nStreamSectors ? 2 : 0xFFFFFFFE);
  PutU32(f, e1 + 120, nStreamSectors * 512);
  for (int e = 2; e < 4; ++e) {
    PutU32(f, dir + 128 * e + 68, 0xFFFFFFFF);
    PutU32(f, dir + 128 * e + 72, 0xFFFFFFFF);
    PutU32(f, dir + 128 * e + 76, 0xFFFFFFFF);
  }
  for (unsigned s = 0; s < nStreamSectors; ++s)
    for (int i = 0; i < 512; ++i) f[(3 + s) * 512 + i] = static_cast<unsigned char>(0x11 + s * 7 + i);
  if (firstStreamSector && nStreamSectors) std::memcpy(&f[3 * 512], firstStreamSector, firstLen < 512 ? firstLen : 512);
  return f;
}

}  // namespace carvetest

// Building FAT directory entries and sectors byte by byte for the tests.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "engine/Types.h"
#include "disk/FatEntry.h"

namespace fatbytes {

// 2020-01-01: inside every date window of the entry tests.
constexpr u16 kDate = static_cast<u16>(((2020 - 1980) << 9) | (1 << 5) | 1);

inline void Put16(u8* p, u16 v) {
  p[0] = static_cast<u8>(v);
  p[1] = static_cast<u8>(v >> 8);
}
inline void Put32(u8* p, u32 v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<u8>(v >> (8 * i));
}

// name11: 8 + 3 bytes, space padded ("FILE01  TXT"). The case bits say
// lower case for base and extension, as the tools write a name given in
// lower case ("file01.txt"), which is how the tests name these files.
inline void ShortEntry(u8* e, const char* name11, u8 attr, u32 cluster, u32 size) {
  memset(e, 0, 32);
  memcpy(e, name11, 11);
  e[11] = attr;
  if (name11[0] != '.') e[12] = FAT_CASE_LOWER_BASE | FAT_CASE_LOWER_EXT;
  Put16(e + 14, 0);
  Put16(e + 16, kDate);
  Put16(e + 18, kDate);
  Put16(e + 20, static_cast<u16>(cluster >> 16));
  Put16(e + 24, kDate);
  Put16(e + 26, static_cast<u16>(cluster));
  Put32(e + 28, size);
}

inline void DotEntries(u8* sector, u32 self, u32 parent) {
  ShortEntry(sector, ".          ", FAT_ATTR_DIRECTORY, self, 0);
  ShortEntry(sector + 32, "..         ", FAT_ATTR_DIRECTORY, parent, 0);
}

// The long-name entries of name (ASCII) for short name name11, last part
// first, as they are stored; each is 32 bytes.
inline std::vector<u8> LongNameEntries(const std::string& name, const char* name11) {
  u8 sum = GetShortNameCheckSum(reinterpret_cast<const unsigned char*>(name11));
  size_t parts = (name.size() + 12) / 13;
  std::vector<u8> out(parts * 32, 0);
  static const int offs[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
  for (size_t part = 0; part < parts; ++part) {
    u8* e = out.data() + (parts - 1 - part) * 32;
    e[0] = static_cast<u8>((part + 1) | (part + 1 == parts ? 0x40 : 0));
    e[11] = FAT_ATTR_LONG_NAME;
    e[13] = sum;
    for (int k = 0; k < 13; ++k) {
      size_t i = part * 13 + k;
      u16 unit = i < name.size() ? static_cast<u8>(name[i]) : (i == name.size() ? 0 : 0xFFFF);
      Put16(e + offs[k], unit);
    }
  }
  return out;
}

}  // namespace fatbytes

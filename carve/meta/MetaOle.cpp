// Compound (OLE) documents: the "\005SummaryInformation" property set
// (title, author, creation time) found through the file's directory and
// read from its mini stream or its own sectors. Every chain step is bounded.
#include <cstring>
#include <string>

#include "carve/meta/MetaCommon.h"
#include "engine/ByteOrder.h"
#include "engine/TextUtil.h"

using namespace carvemeta;

namespace {

constexpr int kMaxChain = 1024;
constexpr u32 kMaxStream = 4096;  // a summary property set is a few hundred bytes
constexpr u32 kEnd = 0xFFFFFFFE;

struct OLE {
  CMetaSource& src;
  u32 nSector;      // bytes per sector
  u8 header[512];
};

u64 SectorOffset(const OLE& o, u32 n) { return (static_cast<u64>(n) + 1) * o.nSector; }

// The next sector of a chain through the FAT (the header's 109 DIFAT slots only).
bool Next(OLE& o, u32 n, u32& next) {
  const u32 per = o.nSector / 4;
  const u32 slot = n / per;
  if (slot >= 109) return false;
  const u32 fat = GetU32LE(o.header, 512, 0x4C + 4 * slot);
  u8 b[4];
  if (fat >= 0xFFFFFFFA || !o.src.Read(SectorOffset(o, fat) + 4ull * (n % per), b, 4)) return false;
  next = GetU32LE(b, 4, 0);
  return true;
}

// Byte pos of the stream starting at sector first, as a file offset.
bool ChainOffset(OLE& o, u32 first, u64 pos, u64& off) {
  u32 s = first;
  for (u64 k = pos / o.nSector, steps = 0; k > 0; --k) {
    if (++steps > kMaxChain || !Next(o, s, s) || s >= 0xFFFFFFFA) return false;
  }
  off = SectorOffset(o, s) + pos % o.nSector;
  return true;
}

std::string PropertyText(const u8* p, size_t n, size_t at, bool utf8) {
  u32 type = 0, len = 0;
  if (!ReadU32LE(p, n, at, type) || type != 0x1E || !ReadU32LE(p, n, at + 4, len) || at + 8 > n) return std::string();
  if (len > n - at - 8) len = static_cast<u32>(n - at - 8);
  const char* s = reinterpret_cast<const char*>(p + at + 8);
  return utf8 ? std::string(s, strnlen(s, len)) : Latin1ToUtf8(s, len);
}

void ParsePropertySet(const u8* p, size_t n, CARVE_METADATA& out) {
  u16 order = 0;
  u32 section = 0, count = 0;
  if (!ReadU16LE(p, n, 0, order) || order != 0xFFFE || !ReadU32LE(p, n, 0x2C, section) ||
      !ReadU32LE(p, n, section + 4ull, count))
    return;
  size_t titleAt = 0, authorAt = 0, timeAt = 0;
  bool utf8 = false;
  for (u32 k = 0; k < count && k < 64; ++k) {
    u32 id = 0, at = 0;
    if (!ReadU32LE(p, n, section + 8ull + 8ull * k, id) || !ReadU32LE(p, n, section + 12ull + 8ull * k, at)) return;
    const size_t where = static_cast<size_t>(section) + at;
    if (id == 1) utf8 = GetU16LE(p, n, where + 4) == 65001;  // code page
    if (id == 2) titleAt = where;
    if (id == 4) authorAt = where;
    if (id == 12) timeAt = where;
  }
  if (titleAt) {
    const std::string t = PropertyText(p, n, titleAt, utf8);
    SetText(out.szTitle, t.data(), t.size());
  }
  if (authorAt) {
    const std::string a = PropertyText(p, n, authorAt, utf8);
    SetText(out.szArtist, a.data(), a.size());
  }
  u32 type = 0;
  u64 ft = 0;
  if (timeAt && ReadU32LE(p, n, timeAt, type) && type == 0x40 && ReadU64LE(p, n, timeAt + 4, ft)) {
    // 100 ns units from 1601.
    const i64 t = static_cast<i64>(ft / 10000000ull) - 11644473600ll;
    if (t > 0 && t < CivilToUnix(2100, 12, 31, 23, 59, 59)) out.nTakenTime = t;
  }
}

}  // namespace

bool ReadOleMetadata(CARVE_CONTEXT& ctx, u64 u64Size, CARVE_METADATA& out) {
  CMetaSource src(ctx, u64Size);
  OLE o = {src, 512, {0}};
  if (!src.Read(0, o.header, 512) || std::memcmp(o.header, "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8) != 0) return false;
  const u16 shift = GetU16LE(o.header, 512, 0x1E);
  if (shift != 9 && shift != 12) return false;
  o.nSector = 1u << shift;
  const u32 cutoff = GetU32LE(o.header, 512, 0x38);
  // The directory: 128-byte entries along its chain.
  u32 dir = GetU32LE(o.header, 512, 0x30);
  u32 rootStart = kEnd, streamStart = kEnd, streamSize = 0;
  static const char kName[] = "\005SummaryInformation";
  for (int steps = 0; dir < 0xFFFFFFFA && steps < 64; ++steps) {
    for (u32 e = 0; e < o.nSector / 128; ++e) {
      u8 d[128];
      if (!src.Read(SectorOffset(o, dir) + 128ull * e, d, 128)) return false;
      const u16 nameLen = GetU16LE(d, 128, 0x40);
      const u8 type = d[0x42];
      if (type == 5) rootStart = GetU32LE(d, 128, 0x74);
      if (type == 2 && nameLen == 2 * sizeof(kName)) {
        bool same = true;
        for (size_t i = 0; i + 1 < sizeof(kName) && same; ++i)
          same = d[2 * i] == static_cast<u8>(kName[i]) && d[2 * i + 1] == 0;
        if (same) {
          streamStart = GetU32LE(d, 128, 0x74);
          streamSize = GetU32LE(d, 128, 0x78);
        }
      }
    }
    if (streamStart != kEnd) break;
    if (!Next(o, dir, dir)) return false;
  }
  if (streamStart == kEnd || streamSize < 48) return false;
  u8 set[kMaxStream];
  const u32 want = streamSize < kMaxStream ? streamSize : kMaxStream;
  u32 have = 0;
  if (streamSize < cutoff) {
    // In the mini stream (the root entry's stream), 64-byte mini sectors
    // chained through the mini FAT.
    const u32 miniFat = GetU32LE(o.header, 512, 0x3C);
    u32 m = streamStart;
    for (int steps = 0; have < want && m < 0xFFFFFFFA && steps < kMaxChain; ++steps) {
      u64 off = 0;
      const u32 take = want - have < 64 ? want - have : 64;
      if (rootStart == kEnd || !ChainOffset(o, rootStart, 64ull * m, off) || !src.Read(off, set + have, take)) break;
      have += take;
      u8 b[4];
      if (!ChainOffset(o, miniFat, 4ull * m, off) || !src.Read(off, b, 4)) break;
      m = GetU32LE(b, 4, 0);
    }
  } else {
    u32 s = streamStart;
    for (int steps = 0; have < want && s < 0xFFFFFFFA && steps < kMaxChain; ++steps) {
      const u32 take = want - have < o.nSector ? want - have : o.nSector;
      if (!src.Read(SectorOffset(o, s), set + have, take)) break;
      have += take;
      if (!Next(o, s, s)) break;
    }
  }
  ParsePropertySet(set, have, out);
  return HasAny(out);
}

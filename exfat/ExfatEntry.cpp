#include "exfat/ExfatEntry.h"

#include <vector>

#include "engine/ByteOrder.h"
#include "engine/TextUtil.h"

namespace {
// Seconds from 1601-01-01 (the FILETIME epoch) to 1970-01-01.
constexpr i64 kFileTimeEpochSeconds = 11644473600ll;

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
i64 DaysFromCivil(i64 y, u32 m, u32 d) {
  y -= m <= 2 ? 1 : 0;
  const i64 era = (y >= 0 ? y : y - 399) / 400;
  const u32 yoe = static_cast<u32>(y - era * 400);
  const u32 doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const u32 doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<i64>(doe) - 719468;
}

// The in-use state of every entry must agree with the File entry's, and
// every secondary must say it is one (bit 6).
bool SecondaryFits(u8 nType, bool bDeleted) {
  return ((nType & EXFAT_IN_USE) == 0) == bDeleted && (nType & 0x40) != 0;
}

// The structure of the set at nOffset, without decoding its name.
EXFAT_SET_RESULT CheckSet(const u8* p, size_t n, size_t off, u32& nEntries, u32& nNameLength) {
  if (!InBounds(n, off, EXFAT_ENTRY_SIZE)) return EXFAT_SET_CUT;
  const u8 t0 = p[off];
  if ((t0 | EXFAT_IN_USE) != EXFAT_TYPE_FILE) return EXFAT_SET_CORRUPT;
  const bool deleted = (t0 & EXFAT_IN_USE) == 0;
  const u32 secondary = p[off + EXFAT_FILE_SECONDARY_COUNT];
  if (secondary < EXFAT_MIN_SECONDARY || secondary > EXFAT_MAX_SECONDARY) return EXFAT_SET_CORRUPT;
  const size_t bytes = (1 + static_cast<size_t>(secondary)) * EXFAT_ENTRY_SIZE;
  // The stream entry is checked before the set is called cut, so a File
  // entry of other data near the end of a buffer is rejected at once.
  const size_t stream = off + EXFAT_ENTRY_SIZE;
  if (!InBounds(n, stream, EXFAT_ENTRY_SIZE)) return EXFAT_SET_CUT;
  const u8 ts = p[stream];
  if ((ts | EXFAT_IN_USE) != EXFAT_TYPE_STREAM || !SecondaryFits(ts, deleted)) return EXFAT_SET_CORRUPT;
  const u32 nameLength = p[stream + EXFAT_STREAM_NAME_LENGTH];
  const u32 nameEntries = (nameLength + EXFAT_NAME_UNITS_PER_ENTRY - 1) / EXFAT_NAME_UNITS_PER_ENTRY;
  if (nameLength == 0 || 1 + nameEntries > secondary) return EXFAT_SET_CORRUPT;
  if (!InBounds(n, off, bytes)) return EXFAT_SET_CUT;
  for (u32 i = 2; i <= secondary; ++i) {
    const u8 t = p[off + i * EXFAT_ENTRY_SIZE];
    if (!SecondaryFits(t, deleted)) return EXFAT_SET_CORRUPT;
    if (i <= 1 + nameEntries) {
      if ((t | EXFAT_IN_USE) != EXFAT_TYPE_NAME) return EXFAT_SET_CORRUPT;
    } else if ((t & 0x20) == 0) {
      // An unknown critical secondary makes the set unusable; benign ones
      // (vendor extensions) are passed over.
      return EXFAT_SET_CORRUPT;
    }
  }
  if (ExfatSetChecksum(p + off, bytes) != GetU16LE(p, n, off + EXFAT_FILE_SET_CHECKSUM)) return EXFAT_SET_CORRUPT;
  nEntries = 1 + secondary;
  nNameLength = nameLength;
  return EXFAT_SET_OK;
}
}  // namespace

u16 ExfatSetChecksum(const u8* p, size_t nBytes) {
  u16 sum = 0;
  for (size_t i = 0; i < nBytes; ++i) {
    if (i == EXFAT_FILE_SET_CHECKSUM || i == EXFAT_FILE_SET_CHECKSUM + 1) continue;
    u8 b = p[i];
    if (i % EXFAT_ENTRY_SIZE == 0) b |= EXFAT_IN_USE;
    sum = static_cast<u16>(((sum & 1) ? 0x8000 : 0) + (sum >> 1) + b);
  }
  return sum;
}

u64 ExfatTimeToFileTime(u32 nStamp, u8 n10ms, u8 nUtcOffset) {
  const u32 seconds = (nStamp & 0x1F) * 2, minute = (nStamp >> 5) & 0x3F, hour = (nStamp >> 11) & 0x1F;
  const u32 day = (nStamp >> 16) & 0x1F, month = (nStamp >> 21) & 0x0F, year = 1980 + (nStamp >> 25);
  if (day == 0 || month == 0 || month > 12 || hour > 23 || minute > 59 || seconds > 59) return 0;
  i64 t = DaysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + seconds;
  // The offset is a signed count of 15-minute steps in the low 7 bits, valid when bit 7 is set.
  if (nUtcOffset & 0x80) {
    int steps = nUtcOffset & 0x7F;
    if (steps & 0x40) steps -= 0x80;
    t -= static_cast<i64>(steps) * 15 * 60;
  }
  t += kFileTimeEpochSeconds;
  if (t < 0) return 0;
  u64 ticks = static_cast<u64>(t) * 10000000ull;
  if (n10ms < 200) ticks += static_cast<u64>(n10ms) * 100000ull;
  return ticks;
}

bool IsExfatEntryType(u8 t) {
  switch (t | EXFAT_IN_USE) {
    case 0x81: case 0x82: case 0x83: case 0x85: case 0xA0: case 0xA1: case 0xA2:
    case 0xC0: case 0xC1: case 0xE0: case 0xE1:
      return true;
    default:
      return false;
  }
}

EXFAT_SET_RESULT ParseExfatFileSet(const u8* p, size_t n, size_t off, EXFAT_FILE_SET& out) {
  u32 entries = 0, nameLength = 0;
  EXFAT_SET_RESULT r = CheckSet(p, n, off, entries, nameLength);
  if (r != EXFAT_SET_OK) return r;
  EXFAT_FILE_SET s;
  s.bDeleted = (p[off] & EXFAT_IN_USE) == 0;
  s.nEntries = entries;
  s.nAttributes = GetU16LE(p, n, off + EXFAT_FILE_ATTRIBUTES);
  s.u64Create = ExfatTimeToFileTime(GetU32LE(p, n, off + EXFAT_FILE_CREATE_TIME), p[off + EXFAT_FILE_CREATE_10MS],
                                    p[off + EXFAT_FILE_CREATE_UTC]);
  s.u64Modify = ExfatTimeToFileTime(GetU32LE(p, n, off + EXFAT_FILE_MODIFY_TIME), p[off + EXFAT_FILE_MODIFY_10MS],
                                    p[off + EXFAT_FILE_MODIFY_UTC]);
  s.u64Access = ExfatTimeToFileTime(GetU32LE(p, n, off + EXFAT_FILE_ACCESS_TIME), 0, p[off + EXFAT_FILE_ACCESS_UTC]);
  const size_t stream = off + EXFAT_ENTRY_SIZE;
  s.nStreamOffset = EXFAT_ENTRY_SIZE;
  s.nFlags = p[stream + EXFAT_STREAM_FLAGS];
  if (s.nFlags & EXFAT_FLAG_ALLOCATION_POSSIBLE) {
    s.nFirstCluster = GetU32LE(p, n, stream + EXFAT_STREAM_FIRST_CLUSTER);
    s.u64DataLength = GetU64LE(p, n, stream + EXFAT_STREAM_DATA_LENGTH);
    s.u64ValidDataLength = GetU64LE(p, n, stream + EXFAT_STREAM_VALID_LENGTH);
    if (s.u64ValidDataLength > s.u64DataLength) s.u64ValidDataLength = s.u64DataLength;
  }
  std::vector<u16> units;
  units.reserve(nameLength);
  for (u32 i = 0; i < nameLength; ++i) {
    const size_t at = off + (2 + i / EXFAT_NAME_UNITS_PER_ENTRY) * EXFAT_ENTRY_SIZE + EXFAT_NAME_UNITS +
                      (i % EXFAT_NAME_UNITS_PER_ENTRY) * 2;
    units.push_back(GetU16LE(p, n, at));
  }
  s.name = Utf16ToUtf8(units.data(), units.size());
  if (s.name.empty()) return EXFAT_SET_CORRUPT;  // a name that starts with a 0 unit
  out = std::move(s);
  return EXFAT_SET_OK;
}

bool IsExfatDirSectorStart(const u8* p, size_t n) {
  if (!p || n < 2 * EXFAT_ENTRY_SIZE) return false;
  const u8 t = p[0];
  if (t == EXFAT_TYPE_FILE || t == (EXFAT_TYPE_FILE & 0x7F)) {
    if ((p[EXFAT_ENTRY_SIZE] | EXFAT_IN_USE) != EXFAT_TYPE_STREAM) return false;
    u32 entries = 0, nameLength = 0;
    return CheckSet(p, n, 0, entries, nameLength) == EXFAT_SET_OK;
  }
  if (t != EXFAT_TYPE_LABEL && t != EXFAT_TYPE_BITMAP) return false;
  // A root folder opens with its label, bitmap and up-case entries.
  bool bitmap = false, upcase = false;
  for (size_t off = 0; off < 4 * EXFAT_ENTRY_SIZE && off + EXFAT_ENTRY_SIZE <= n; off += EXFAT_ENTRY_SIZE) {
    const u8 type = p[off];
    const bool points = GetU32LE(p, n, off + EXFAT_STREAM_FIRST_CLUSTER) >= 2 &&
                        GetU64LE(p, n, off + EXFAT_STREAM_DATA_LENGTH) != 0;
    if (type == EXFAT_TYPE_BITMAP) bitmap = bitmap || points;
    else if (type == EXFAT_TYPE_UPCASE) upcase = upcase || points;
    else if (type == EXFAT_TYPE_LABEL) { if (p[off + 1] > 11) return false; }
    else if (type != 0xA0) return false;  // a volume GUID may sit among them
  }
  return bitmap && upcase;
}

bool CExfatDirWalker::Next(ITEM& kind, EXFAT_FILE_SET& set, EXFAT_ALLOC_ENTRY& alloc) {
  if (!m_pBuf) return false;
  while (InBounds(m_nLen, m_nOff, EXFAT_ENTRY_SIZE)) {
    const u8 t = m_pBuf[m_nOff];
    if (t == EXFAT_TYPE_END) {
      m_bEnded = true;
      return false;
    }
    if ((t | EXFAT_IN_USE) == EXFAT_TYPE_FILE) {
      EXFAT_SET_RESULT r = ParseExfatFileSet(m_pBuf, m_nLen, m_nOff, set);
      if (r == EXFAT_SET_CUT) {
        m_bCut = true;
        return false;
      }
      if (r == EXFAT_SET_OK) {
        m_nItem = m_nOff;
        m_nOff += static_cast<size_t>(set.nEntries) * EXFAT_ENTRY_SIZE;
        kind = ITEM_FILE;
        return true;
      }
      // A damaged set, or a deleted one partly overwritten by a newer set:
      // skip its first entry only, the next set may begin right after it.
      m_nOff += EXFAT_ENTRY_SIZE;
      continue;
    }
    if (t == EXFAT_TYPE_BITMAP || t == EXFAT_TYPE_UPCASE) {
      alloc.nType = t;
      alloc.nFlags = m_pBuf[m_nOff + 1];
      alloc.nFirstCluster = GetU32LE(m_pBuf, m_nLen, m_nOff + EXFAT_STREAM_FIRST_CLUSTER);
      alloc.u64DataLength = GetU64LE(m_pBuf, m_nLen, m_nOff + EXFAT_STREAM_DATA_LENGTH);
      m_nItem = m_nOff;
      m_nOff += EXFAT_ENTRY_SIZE;
      kind = ITEM_ALLOC;
      return true;
    }
    if (t == EXFAT_TYPE_LABEL) {
      m_nItem = m_nOff;
      m_nOff += EXFAT_ENTRY_SIZE;
      kind = ITEM_LABEL;
      return true;
    }
    // Secondaries left from overwritten sets, and anything else, are passed over.
    m_nOff += EXFAT_ENTRY_SIZE;
  }
  return false;
}

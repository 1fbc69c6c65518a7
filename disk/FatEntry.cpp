#include "disk/FatEntry.h"

#include <time.h>

#include <atomic>
#include <cstring>

#include "engine/ByteOrder.h"
#include "engine/TextUtil.h"

FAT32_Entry FatEntryFromBytes(const unsigned char* p) {
  FAT32_Entry e;
  memcpy(e.szName, p, 8);
  memcpy(e.szExtend, p + 8, 3);
  e.nAttr = p[11];
  e.nReserved = p[12];
  e.nCreateTenth = p[13];
  e.nCreateTime = GetU16LE(p, 32, 14);
  e.nCreateDate = GetU16LE(p, 32, 16);
  e.nLastAccessDate = GetU16LE(p, 32, 18);
  e.nClusterHigh = GetU16LE(p, 32, 20);
  e.nWriteTime = GetU16LE(p, 32, 22);
  e.nWriteDate = GetU16LE(p, 32, 24);
  e.nClusterLow = GetU16LE(p, 32, 26);
  e.nFileSize = GetU32LE(p, 32, 28);
  return e;
}

namespace {
// Every sector of a deep scan may be judged as a directory sector, and each
// entry converts three dates: cache the 65536 possible results. Zero, as
// static storage starts (no pass over half a megabyte at each start), is
// "not yet"; a result r is kept as r + 1 (an mktime failure, -1, is simply
// converted again).
std::atomic<u64> g_dateCache[65536];

i64 ConvertFatDate(u16 date) {
  int year = (date >> 9) + 1980;
  int month = (date >> 5) & 0x0F;
  int day = date & 0x1F;
  struct tm t;
  memset(&t, 0, sizeof(t));
  t.tm_year = year - 1900;
  // A month outside 1..12 leaves January and day 0 (December 31 before);
  // day 0 is the last day of the month before; overlong days run on.
  if (month >= 1 && month <= 12) {
    t.tm_mon = month - 1;
    t.tm_mday = day;
  }
  t.tm_isdst = 0;
  return static_cast<i64>(mktime(&t));
}
}  // namespace

i64 FatDateToSeconds(u16 nDate) {
  const u64 kept = g_dateCache[nDate].load(std::memory_order_relaxed);
  if (kept != 0) return static_cast<i64>(kept - 1);
  const i64 v = ConvertFatDate(nDate);
  g_dateCache[nDate].store(static_cast<u64>(v) + 1, std::memory_order_relaxed);
  return v;
}

void Fat32GetFileCreateTime(const FAT32_Entry& e, _FILETIME& ft) {
  ft = U64ToFileTime(static_cast<u64>(FatDateToSeconds(e.nCreateDate)));
}
void Fat32GetFileLastAccessTime(const FAT32_Entry& e, _FILETIME& ft) {
  ft = U64ToFileTime(static_cast<u64>(FatDateToSeconds(e.nLastAccessDate)));
}
void Fat32GetFileLastChangeTime(const FAT32_Entry& e, _FILETIME& ft) {
  ft = U64ToFileTime(static_cast<u64>(FatDateToSeconds(e.nWriteDate)));
}

u8 GetShortNameCheckSum(const unsigned char* pName11) {
  u8 sum = 0;
  for (int i = 0; i < 11; ++i) sum = static_cast<u8>(((sum & 1) ? 0x80 : 0) + (sum >> 1) + pName11[i]);
  return sum;
}

static bool IsInvalidShortChar(unsigned char c) {
  if (c < 0x20) return true;
  if (c >= 'a' && c <= 'z') return true;
  switch (c) {
    case '\\': case ':': case '*': case '?': case '"': case '<': case '>': case '|': case '.':
      return true;
    default:
      return false;
  }
}

bool IsInvalidShortFileName(const unsigned char* pName11) {
  for (int i = 0; i < 11; ++i)
    if (IsInvalidShortChar(pName11[i])) return true;
  return false;
}

bool IsFatFileRecord(const unsigned char* p, size_t n) {
  if (!p || n < 64) return false;
  return p[0] == '.' && (p[11] & FAT_ATTR_DIRECTORY) && GetU32LE(p, n, 28) == 0 && p[32] == '.' &&
         p[33] == '.' && (p[43] & FAT_ATTR_DIRECTORY) && GetU32LE(p, n, 60) == 0;
}

bool IsFatEntyValid(const unsigned char* p, size_t nAvail) {
  if (!p || nAvail < 32) return false;
  if (nAvail >= 64 && IsFatFileRecord(p, nAvail)) return true;
  u8 attr = p[11];
  u32 size = GetU32LE(p, 32, 28);
  u16 hi = GetU16LE(p, 32, 20);
  u16 lo = GetU16LE(p, 32, 26);
  bool isDir = (attr & FAT_ATTR_DIRECTORY) != 0;
  if (!isDir && size == 0 && (hi != 0 || lo != 0)) return false;
  bool isLong = attr == FAT_ATTR_LONG_NAME;
  if (!isLong) {
    if (attr == FAT_ATTR_VOLUME) {
      if (size != 0 || hi != 0 || lo != 0) return false;
    } else if (attr & FAT_ATTR_VOLUME) {
      return false;
    }
    if (isDir && (attr & FAT_ATTR_READONLY)) return false;
    if (attr & 0xC0) return false;
  }
  if (isLong) {
    if (p[0] != FAT_DELETED_MARK && (p[0] & ~0x40) > 18) return false;
  } else {
    if (p[0] != FAT_DELETED_MARK && !isDir) {
      static const size_t dateOffsets[3] = {16, 18, 24};
      for (size_t off : dateOffsets) {
        i64 s = FatDateToSeconds(GetU16LE(p, 32, off));
        if (s < 673231085LL || s > 3473231085LL) return false;
      }
    }
    if (attr != FAT_ATTR_VOLUME && IsInvalidShortFileName(p)) return false;
  }
  if (isDir && !isLong && p[0] != FAT_DELETED_MARK && size != 0) return false;
  if (isLong && (p[26] != 0 || p[27] != 0)) return false;
  if (attr == FAT_ATTR_VOLUME || isLong || isDir) return true;
  return (attr & FAT_ATTR_ARCHIVE) != 0;
}

static bool ShortEntryLooksSane(const unsigned char* e) {
  for (int i = 0; i < 11; ++i)
    if (e[i] < 0x20 || e[i] == '.') return false;
  // Spaces may only trail, within the name and within the extension.
  for (int i = 0, seen = 0; i < 8; ++i) {
    if (e[i] == ' ') seen = 1;
    else if (seen) return false;
  }
  for (int i = 8, seen = 0; i < 11; ++i) {
    if (e[i] == ' ') seen = 1;
    else if (seen) return false;
  }
  // High bytes are not required to pair up as double-byte characters:
  // Western OEM code pages store an accented letter as one high byte (a
  // short name like "_____\x90T\x90" is what the tools write for "été"),
  // and refusing those sectors would hide whole folders from the deep scan.
  return true;
}

bool IsFatFDTRecord(const unsigned char* p, size_t nLen) {
  if (!p) return false;
  size_t count = nLen / FAT_ENTRY_SIZE;
  for (size_t i = 0; i < count; ++i) {
    const unsigned char* e = p + i * FAT_ENTRY_SIZE;
    if (e[0] == 0x00) {
      if (i == 0) return false;
      for (size_t k = i * FAT_ENTRY_SIZE; k < nLen; ++k)
        if (p[k] != 0) return false;
      return true;
    }
    if (!IsFatEntyValid(e, nLen - i * FAT_ENTRY_SIZE)) return false;
    if (memcmp(e + 1, e + 17, 14) == 0) return false;
    if (e[11] == FAT_ATTR_LONG_NAME) {
      u8 c = e[13];
      for (size_t k = 1; k <= 18; ++k) {
        size_t off = (i + k) * FAT_ENTRY_SIZE;
        if (off + FAT_ENTRY_SIZE > nLen) break;
        const unsigned char* f = p + off;
        if (!IsFatEntyValid(f, nLen - off)) return false;
        if (f[11] == FAT_ATTR_LONG_NAME) {
          if (f[13] != c) return false;
          continue;
        }
        if (f[0] != FAT_DELETED_MARK && GetShortNameCheckSum(f) != c) return false;
        break;
      }
    } else if (!ShortEntryLooksSane(e)) {
      return false;
    }
  }
  return true;
}

std::string FatShortName(const FAT32_Entry& e) {
  // 0x0C: the case bits Windows NT keeps for a name that fits 8.3 in one
  // case (0x08 base, 0x10 extension in lower case); otherwise the name is
  // shown as the disk holds it, in capitals.
  const bool lowerBase = (e.nReserved & FAT_CASE_LOWER_BASE) != 0;
  const bool lowerExt = (e.nReserved & FAT_CASE_LOWER_EXT) != 0;
  std::string out;
  auto put = [&out](unsigned char c, bool lower) {
    if (lower && c >= 'A' && c <= 'Z') {
      out.push_back(static_cast<char>(c + 32));
    } else if (c >= 0x80) {
      // Short names are in an unknown OEM code page; keep the text valid
      // UTF-8 by reading high bytes as Latin-1.
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(c));
    }
  };
  int n = 8;
  while (n > 0 && e.szName[n - 1] == ' ') --n;
  for (int i = 0; i < n; ++i) {
    unsigned char c = e.szName[i];
    if (i == 0 && c == FAT_DELETED_MARK) {
      out.push_back('!');  // the first letter is lost
      continue;
    }
    if (i == 0 && c == 0x05) c = 0xE5;  // a name that really starts with 0xE5
    put(c, lowerBase);
  }
  bool isDir = (e.nAttr & FAT_ATTR_DIRECTORY) != 0;
  if (!isDir && e.szExtend[0] != ' ') {
    int m = 3;
    while (m > 0 && e.szExtend[m - 1] == ' ') --m;
    out.push_back('.');
    for (int i = 0; i < m; ++i) put(e.szExtend[i], lowerExt);
  }
  return out;
}

void CFatNameAssembler::Reset() {
  memset(m_szName, 0, sizeof(m_szName));
  m_nIndex = 256;
  m_nStart = 256;
  m_bLongNameReady = false;
}

CFatNameAssembler::Result CFatNameAssembler::Feed(const unsigned char* p, size_t nAvail, std::string& name) {
  if (!IsFatEntyValid(p, nAvail)) {
    m_nIndex = 256;
    m_bLongNameReady = false;
    return ENTRY_INVALID;
  }
  if (p[11] == FAT_ATTR_LONG_NAME) {
    m_nIndex -= 13;
    if (m_nIndex < 1) {
      m_nIndex = 256;
      m_bLongNameReady = false;
      return ENTRY_OVERFLOW;
    }
    static const int kUnitOffsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    for (int k = 0; k < 13; ++k) m_szName[m_nIndex + k] = GetU16LE(p, 32, kUnitOffsets[k]);
    m_nStart = m_nIndex;
    m_bLongNameReady = true;
    return ENTRY_LONG_NAME;
  }
  if (m_bLongNameReady) {
    name = Utf16ToUtf8(m_szName + m_nStart, static_cast<size_t>(257 - m_nStart));
    m_nIndex = 256;
    if (name.empty()) name = FatShortName(FatEntryFromBytes(p));
  } else {
    name = FatShortName(FatEntryFromBytes(p));
  }
  m_bLongNameReady = false;
  return ENTRY_SHORT;
}

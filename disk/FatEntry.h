// FAT directory entries: layout, validity tests, date conversion, the
// long-name checksum and the assembly of names from a run of entries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/Types.h"

// The 32-byte on-disk entry. Decoded from bytes with FatEntryFromBytes; never
// cast over a buffer.
struct FAT32_Entry {
  u8 szName[8];        // 0x00: 0x00 end of directory, 0xE5 deleted
  u8 szExtend[3];      // 0x08
  u8 nAttr;            // 0x0B: 0x0F exactly marks a long-name entry
  u8 nReserved;        // 0x0C
  u8 nCreateTenth;     // 0x0D (long-name entry: checksum)
  u16 nCreateTime;     // 0x0E
  u16 nCreateDate;     // 0x10
  u16 nLastAccessDate; // 0x12
  u16 nClusterHigh;    // 0x14
  u16 nWriteTime;      // 0x16
  u16 nWriteDate;      // 0x18
  u16 nClusterLow;     // 0x1A
  u32 nFileSize;       // 0x1C
};
static_assert(sizeof(FAT32_Entry) == 32, "FAT directory entries are 32 bytes");
static_assert(offsetof(FAT32_Entry, nAttr) == 11, "layout");
static_assert(offsetof(FAT32_Entry, nCreateDate) == 16, "layout");
static_assert(offsetof(FAT32_Entry, nClusterHigh) == 20, "layout");
static_assert(offsetof(FAT32_Entry, nClusterLow) == 26, "layout");
static_assert(offsetof(FAT32_Entry, nFileSize) == 28, "layout");

constexpr u8 FAT_ATTR_READONLY = 0x01;
constexpr u8 FAT_ATTR_HIDDEN = 0x02;
constexpr u8 FAT_ATTR_SYSTEM = 0x04;
constexpr u8 FAT_ATTR_VOLUME = 0x08;
constexpr u8 FAT_ATTR_DIRECTORY = 0x10;
constexpr u8 FAT_ATTR_ARCHIVE = 0x20;
constexpr u8 FAT_ATTR_LONG_NAME = 0x0F;
constexpr u8 FAT_DELETED_MARK = 0xE5;
// Entry byte 0x0C: the base name (0x08) or the extension (0x10) is shown in lower case.
constexpr u8 FAT_CASE_LOWER_BASE = 0x08;
constexpr u8 FAT_CASE_LOWER_EXT = 0x10;
constexpr size_t FAT_ENTRY_SIZE = 32;

// Decodes 32 bytes (the caller guarantees they are readable).
FAT32_Entry FatEntryFromBytes(const unsigned char* p);
inline u32 FatEntryFirstCluster(const FAT32_Entry& e) {
  return (static_cast<u32>(e.nClusterHigh) << 16) | e.nClusterLow;
}

// FAT date (bits 15-9 year-1980, 8-5 month, 4-0 day) to seconds since 1970,
// read as local midnight.
i64 FatDateToSeconds(u16 nDate);
void Fat32GetFileCreateTime(const FAT32_Entry& e, _FILETIME& ft);
void Fat32GetFileLastAccessTime(const FAT32_Entry& e, _FILETIME& ft);
void Fat32GetFileLastChangeTime(const FAT32_Entry& e, _FILETIME& ft);

u8 GetShortNameCheckSum(const unsigned char* pName11);
bool IsInvalidShortFileName(const unsigned char* pName11);
// A directory's first sector: a "." entry followed by "..". nLen >= 64 needed.
bool IsFatFileRecord(const unsigned char* pBuf, size_t nLen = 64);
// One entry; nAvail is how many bytes are readable from pEntry (the "." test
// looks at the entry after it when there is one).
bool IsFatEntyValid(const unsigned char* pEntry, size_t nAvail = 64);
// A sector (or buffer) of directory table.
bool IsFatFDTRecord(const unsigned char* pBuf, size_t nLen);

// Turns a walk over a buffer's entries into names, the same way in every FAT
// engine. Feed entries in on-disk order.
class CFatNameAssembler {
 public:
  enum Result {
    ENTRY_INVALID,   // failed the validity test; state reset
    ENTRY_LONG_NAME, // a long-name part was taken
    ENTRY_OVERFLOW,  // a run longer than a name can be: stop walking this buffer
    ENTRY_SHORT,     // a short entry: name holds its full name (UTF-8)
  };
  CFatNameAssembler() { Reset(); }
  void Reset();
  Result Feed(const unsigned char* pEntry, size_t nAvail, std::string& name);

 private:
  u16 m_szName[257];
  int m_nIndex;
  int m_nStart;
  bool m_bLongNameReady;
};

// The short name of an entry as the engines show it: "NAME.EXT" for files,
// the name alone for folders, in capitals unless the entry's case bits say
// lower case (for the base, the extension or both); a leading 0xE5 (deleted)
// becomes "!", a leading 0x05 the character 0xE5.
std::string FatShortName(const FAT32_Entry& e);

// exFAT directory entries: the 32-byte layouts, the entry sets a file or
// folder is made of (File 0x85, Stream Extension 0xC0, File Name 0xC1 x n)
// and one walker that hands out only sets whose every field was checked.
// Deleted entries keep their bytes with the in-use bit (0x80) cleared.
#pragma once

#include <cstddef>
#include <string>

#include "engine/Types.h"

constexpr size_t EXFAT_ENTRY_SIZE = 32;
constexpr u8 EXFAT_IN_USE = 0x80;
constexpr u8 EXFAT_TYPE_END = 0x00;      // no entry here or after
constexpr u8 EXFAT_TYPE_BITMAP = 0x81;   // allocation bitmap (root folder)
constexpr u8 EXFAT_TYPE_UPCASE = 0x82;   // up-case table (root folder)
constexpr u8 EXFAT_TYPE_LABEL = 0x83;    // volume label (root folder)
constexpr u8 EXFAT_TYPE_FILE = 0x85;
constexpr u8 EXFAT_TYPE_STREAM = 0xC0;
constexpr u8 EXFAT_TYPE_NAME = 0xC1;
constexpr u16 EXFAT_ATTR_DIRECTORY = 0x10;
// GeneralSecondaryFlags of the stream entry.
constexpr u8 EXFAT_FLAG_ALLOCATION_POSSIBLE = 0x01;
constexpr u8 EXFAT_FLAG_NO_FAT_CHAIN = 0x02;  // the data is one contiguous run
// A File entry's SecondaryCount: a stream entry and 1 to 17 name entries.
constexpr u32 EXFAT_MIN_SECONDARY = 2;
constexpr u32 EXFAT_MAX_SECONDARY = 18;
constexpr u32 EXFAT_NAME_UNITS_PER_ENTRY = 15;
// The largest folder the format allows; a longer chain is damage.
constexpr u64 EXFAT_MAX_DIR_BYTES = 256ull << 20;

// File entry (0x85).
constexpr size_t EXFAT_FILE_SECONDARY_COUNT = 0x01;
constexpr size_t EXFAT_FILE_SET_CHECKSUM = 0x02;
constexpr size_t EXFAT_FILE_ATTRIBUTES = 0x04;
constexpr size_t EXFAT_FILE_CREATE_TIME = 0x08;
constexpr size_t EXFAT_FILE_MODIFY_TIME = 0x0C;
constexpr size_t EXFAT_FILE_ACCESS_TIME = 0x10;
constexpr size_t EXFAT_FILE_CREATE_10MS = 0x14;
constexpr size_t EXFAT_FILE_MODIFY_10MS = 0x15;
constexpr size_t EXFAT_FILE_CREATE_UTC = 0x16;
constexpr size_t EXFAT_FILE_MODIFY_UTC = 0x17;
constexpr size_t EXFAT_FILE_ACCESS_UTC = 0x18;
// Stream Extension entry (0xC0); the allocation bitmap and up-case entries
// keep their first cluster and length at the same offsets.
constexpr size_t EXFAT_STREAM_FLAGS = 0x01;
constexpr size_t EXFAT_STREAM_NAME_LENGTH = 0x03;
constexpr size_t EXFAT_STREAM_VALID_LENGTH = 0x08;
constexpr size_t EXFAT_STREAM_FIRST_CLUSTER = 0x14;
constexpr size_t EXFAT_STREAM_DATA_LENGTH = 0x18;
// File Name entry (0xC1): 15 UTF-16 units from 0x02.
constexpr size_t EXFAT_NAME_UNITS = 0x02;

// One file or folder, decoded from a checked entry set.
struct EXFAT_FILE_SET {
  bool bDeleted = false;         // every entry of the set has its in-use bit clear
  u16 nAttributes = 0;
  u8 nFlags = 0;                 // the stream entry's GeneralSecondaryFlags
  u32 nFirstCluster = 0;
  u64 u64ValidDataLength = 0;    // never above u64DataLength
  u64 u64DataLength = 0;
  u64 u64Create = 0, u64Modify = 0, u64Access = 0;  // FILETIME (UTC), 0 when unknown
  u32 nEntries = 0;              // entries of the set, File entry included
  size_t nStreamOffset = 0;      // offset of the stream entry from the File entry
  std::string name;              // UTF-8

  bool IsDir() const { return (nAttributes & EXFAT_ATTR_DIRECTORY) != 0; }
  bool NoFatChain() const { return (nFlags & EXFAT_FLAG_NO_FAT_CHAIN) != 0; }
};

// A root-folder entry that points at clusters (allocation bitmap, up-case table).
struct EXFAT_ALLOC_ENTRY {
  u8 nType = 0;
  u8 nFlags = 0;                 // the bitmap's: bit 0 says which FAT it goes with
  u32 nFirstCluster = 0;
  u64 u64DataLength = 0;
};

// The set checksum over nBytes of a set, with every entry's in-use bit put
// back (a deleted set keeps the checksum it had while it was live) and the
// checksum field itself left out.
u16 ExfatSetChecksum(const u8* pSet, size_t nBytes);
// An exFAT timestamp (local time, 2 s steps), its 10 ms increment (0-199)
// and its UTC offset byte, as FILETIME; 0 for an impossible date. Without a
// valid offset the time is taken as UTC.
u64 ExfatTimeToFileTime(u32 nStamp, u8 n10ms, u8 nUtcOffset);
// Whether a type byte, live or deleted, is one an exFAT folder holds.
bool IsExfatEntryType(u8 nType);

// The deep scan's test of one sector: it starts with a checked entry set
// (live or deleted) or with the root folder's label/bitmap entries. A look
// at the first byte rejects other data before anything else is read.
bool IsExfatDirSectorStart(const u8* pSector, size_t nLen);

// Walks the entries of a folder buffer from an offset. Next hands out each
// checked file set, allocation entry and label; a File entry whose set does
// not check out is skipped alone (its neighbours may be good), and entries
// that belong to no set are passed over. The walk stops at the end-of-folder
// entry, at the end of the buffer, or where a set runs past the buffer's
// end (Cut(): the caller may add the following bytes and go on from
// Offset()).
class CExfatDirWalker {
 public:
  enum ITEM { ITEM_FILE, ITEM_ALLOC, ITEM_LABEL };
  CExfatDirWalker(const u8* pBuf, size_t nLen, size_t nOffset = 0) : m_pBuf(pBuf), m_nLen(nLen), m_nOff(nOffset) {}

  // True with an item; false when the walk stopped (see Ended/Cut).
  bool Next(ITEM& kind, EXFAT_FILE_SET& set, EXFAT_ALLOC_ENTRY& alloc);
  size_t Offset() const { return m_nOff; }      // where the walk goes on
  size_t ItemOffset() const { return m_nItem; } // where the last item handed out starts
  bool Ended() const { return m_bEnded; }       // the end-of-folder entry was met
  bool Cut() const { return m_bCut; }

 private:
  const u8* m_pBuf;
  size_t m_nLen;
  size_t m_nOff;
  size_t m_nItem = 0;
  bool m_bEnded = false;
  bool m_bCut = false;
};

enum EXFAT_SET_RESULT { EXFAT_SET_OK, EXFAT_SET_CORRUPT, EXFAT_SET_CUT };
// Decodes the set whose File entry is at nOffset. CUT: the buffer ends
// inside the set; CORRUPT: not a whole, checked set.
EXFAT_SET_RESULT ParseExfatFileSet(const u8* pBuf, size_t nLen, size_t nOffset, EXFAT_FILE_SET& out);

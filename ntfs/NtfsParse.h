// NTFS on-disk structures as both NTFS engines read them: the boot-sector
// fields, MFT file records (update-sequence fix-up), one validating attribute
// iterator, data runlists and the rule that places an MFT record on the disk.
//
// Everything here treats the bytes as hostile: every field is copied out
// through the bounds-checked helpers, and an attribute is handed out only
// after its whole extent (and its name, content or runlist) is known to lie
// inside the record's bytes in use.
#pragma once

#include <string>
#include <vector>

#include "engine/DiskReader.h"
#include "engine/Types.h"

// One decoded data run. The offset is stored as on disk: relative to the
// previous run's first cluster (cluster 0 for the first run); consumers sum it.
struct __RUNLIST__ {
  u64 u64RunLength;  // clusters
  i64 i64RunOffset;  // signed delta of the first cluster
  // A run without offset bytes: its clusters are not on the disk (read as zeros).
  bool bSparse = false;
};

// Attribute types the engines look at.
enum : u32 {
  NTFS_ATTR_ATTRIBUTE_LIST = 0x20,
  NTFS_ATTR_FILE_NAME = 0x30,
  NTFS_ATTR_DATA = 0x80,
  NTFS_ATTR_INDEX_ALLOCATION = 0xA0,
  NTFS_ATTR_END = 0xFFFFFFFF,
};

// File record header flags (0x16).
enum : u16 {
  NTFS_RECORD_IN_USE = 0x0001,
  NTFS_RECORD_IS_DIRECTORY = 0x0002,
};

// Records handed to the engines are read 8192 bytes at a time.
constexpr u32 NTFS_RECORD_READ_BYTES = 8192;
// The root directory's record number.
constexpr u32 NTFS_ROOT_RECORD = 5;
// Records 0 to 11 are the volume's own system files.
constexpr u32 NTFS_FIRST_USER_RECORD = 12;
// Bounds for damaged metadata: runs in one runlist, folder levels in a parent
// chain, extents of one attribute reached through an attribute list.
constexpr size_t NTFS_MAX_RUNS = 1u << 20;
constexpr u32 NTFS_MAX_DIR_DEPTH = 1024;
constexpr size_t NTFS_MAX_ATTR_LIST_EXTENTS = 4096;

// A validated attribute: every offset below was checked against the record.
struct NTFS_ATTR {
  u32 nType = 0;
  u32 nOffset = 0;       // of the header, from the record start
  u32 nLength = 0;       // whole attribute, header included
  bool bNonResident = false;
  u8 nNameLength = 0;    // UTF-16 units; 0 = unnamed
  u16 nNameOffset = 0;   // from the attribute header
  // Resident attributes.
  u32 nContentOffset = 0;  // from the attribute header
  u32 nContentLength = 0;
  // Non-resident attributes.
  u64 u64LowestVcn = 0;
  u16 nRunListOffset = 0;  // from the attribute header
  u64 u64AllocatedSize = 0;
  u64 u64RealSize = 0;
};

// Walks the attributes of one record (already fixed up). Next() hands out
// only attributes that lie wholly inside the bytes in use; it stops at the
// end marker, at the bytes-in-use bound, or at the first attribute that fails
// a check, after which IsCorrupt() is true and the caller skips the record.
class CNtfsAttrIterator {
 public:
  CNtfsAttrIterator(const u8* pRecord, u32 nRecordSize);
  bool Next(NTFS_ATTR& out);
  bool IsCorrupt() const { return m_bCorrupt; }
  const u8* Record() const { return m_pRecord; }
  u32 BytesInUse() const { return m_nUsed; }

 private:
  const u8* m_pRecord;
  u32 m_nUsed;
  u32 m_nOffset;
  bool m_bDone;
  bool m_bCorrupt;
};

// A named data stream (an alternate data stream) of a record.
struct NTFS_STREAM {
  std::string strName;  // UTF-8
  u64 u64Key = 0;       // NtfsStreamKey of its UTF-16 name
  u64 u64Size = 0;
  bool bResident = false;
};
// Streams kept of one record; a 1 KiB record holds far fewer attributes.
constexpr size_t NTFS_MAX_STREAMS = 64;

// The key that names a stream in a found node: a hash of the stream's UTF-16
// name, never 0. A node's u64DataStartSector (unused by NTFS nodes) holds it;
// 0 there means the unnamed stream, the file's own data.
u64 NtfsStreamKey(const u8* pName, u32 nUnits);
// The key of an attribute handed out by CNtfsAttrIterator (0 when unnamed).
u64 NtfsAttrStreamKey(const u8* pRecord, const NTFS_ATTR& attr);

// What the engines need of one file record, taken in one validated walk.
struct NTFS_RECORD_INFO {
  u16 nFlags = 0;
  u32 nRecordNO = 0;        // 0x2C
  u16 nSequence = 0;        // 0x10
  u64 u64BaseRecord = 0;    // 0x20, low 48 bits; non-zero for extension records
  bool bHasFileName = false;
  u32 nParentNO = 0;        // low 32 bits of the first name's parent reference
  u64 ftCreate = 0, ftModify = 0, ftAccess = 0;
  u64 u64NameSize = 0;      // real size kept in the first file-name attribute
  u8 nNameSpace = 0;        // of the name kept
  std::string strName;      // UTF-8
  bool bHasData = false;    // an unnamed data attribute (the file's own stream)
  bool bDataResident = false;
  u64 u64DataSize = 0;
  bool bHasAttrList = false;
  std::vector<NTFS_STREAM> vecStreams;  // named data streams found in this record

  bool IsInUse() const { return (nFlags & NTFS_RECORD_IN_USE) != 0; }
  bool IsDirectory() const { return (nFlags & NTFS_RECORD_IS_DIRECTORY) != 0; }
};

// Parses a fixed-up record: 0, -1 when it is not a file record, 87 when an
// attribute is damaged (the record is then skipped, not half-read).
int ParseNtfsRecordInfo(const u8* pRecord, u32 nRecordSize, NTFS_RECORD_INFO& out);

// Finds the first attribute of nType, preferring the unnamed one (a file's
// own data rather than an alternate stream); sets bPassedAttrList when an
// attribute list precedes it. Returns true when found.
bool FindNtfsAttribute(const u8* pRecord, u32 nRecordSize, u32 nType, NTFS_ATTR& out, bool* pHasAttrList,
                       bool* pCorrupt);

class CNtfsParse : public CDiskReader {
 public:
  CNtfsParse();
  int Init(int nBytesPerSector);
  int GetBytesPerSector() const { return m_nBytesPerSector; }
  int GetSectorPerFileRecord() const { return m_nSectorPerFileRecord; }
  u32 GetFileRecordSize() const { return static_cast<u32>(m_nBytesPerSector * m_nSectorPerFileRecord); }

  // Applies the update sequence array in place to one record of
  // sectors-per-record x bytes-per-sector bytes (the buffer must hold that
  // many). 0, or -1 for a null pointer or a first byte of 0.
  int FileRecordFixUp(unsigned char* pRecord);
  // Decodes the runlist of the non-resident attribute at pAttribute, bounded
  // by the attribute's length and by nAvail, the bytes of the buffer from
  // pAttribute on. Runs are appended.
  void GetRunList(const unsigned char* pAttribute, u32 nAvail, std::vector<__RUNLIST__>& vecRunList);
  // The same for an attribute handed out by CNtfsAttrIterator (so its length
  // is known to lie inside the buffer).
  void GetRunList(const unsigned char* pAttribute, std::vector<__RUNLIST__>& vecRunList);

 private:
  i32 m_nSectorPerFileRecord;
  i32 m_nBytesPerSector;
};

// True when pBuf (at least 512 bytes) starts a file record of nRecordSize bytes.
bool IsNtfsFileRecord(unsigned char* pBuf, int nRecordSize);

// The record position rule: the sector of record nRecordNO relative to the
// volume start, through the MFT's runs. A run of length 0 means the MFT goes
// on contiguously from its first cluster. Returns false (and 0) when no run
// holds the record or the arithmetic would leave the 64-bit range.
bool GetRecordRelativeSector(const std::vector<__RUNLIST__>& vecMftRuns, u64 nRecordNO, u32 nSectorPerRecord,
                             u32 nSectorPerCluster, u64& u64Sector);

// Sum of run lengths, saturating instead of wrapping.
u64 GetRunListClusterCount(const std::vector<__RUNLIST__>& vecRuns);

// Appends the runs of a further extent of the same attribute: its first run's
// offset counts from cluster 0, so it is rebased onto the runs already there.
void AppendRunListExtent(std::vector<__RUNLIST__>& vecRuns, const std::vector<__RUNLIST__>& vecExtent);

// What found files say about themselves (title, artist, camera, capture
// time, size in pixels), kept beside a result set in the scan folder as
// fixed-size records, appended as files are found and read back when a scan
// is resumed or listed. A result set without the file simply has none.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "engine/Types.h"

// One record of the "<result set>_Meta" file. Text fields are cleaned UTF-8,
// NUL-terminated; unknown fields are zero.
struct _RESULT_META_ {
  u32 nFileIndex;       // 0x00: the result's 1-based index in its result set
  u32 nFlags;           // 0x04: 0 (reserved)
  u64 u64RecordSector;  // 0x08: the result's u64RecordSector: a record for an index reused after a resume is stale
  i64 nCaptured;        // 0x10: captured / created, seconds since 1970 as recorded; 0 unknown
  u32 nWidth;           // 0x18
  u32 nHeight;          // 0x1C
  char szTitle[128];    // 0x20
  char szArtist[64];    // 0xA0: artist or author
  char szMake[32];      // 0xE0: camera maker
  char szModel[64];     // 0x100: camera model
};
static_assert(sizeof(_RESULT_META_) == 320, "_RESULT_META_ is a 320-byte on-disk record");
static_assert(offsetof(_RESULT_META_, u64RecordSector) == 0x08, "layout");
static_assert(offsetof(_RESULT_META_, nCaptured) == 0x10, "layout");
static_assert(offsetof(_RESULT_META_, nWidth) == 0x18, "layout");
static_assert(offsetof(_RESULT_META_, szTitle) == 0x20, "layout");
static_assert(offsetof(_RESULT_META_, szArtist) == 0xA0, "layout");
static_assert(offsetof(_RESULT_META_, szMake) == 0xE0, "layout");
static_assert(offsetof(_RESULT_META_, szModel) == 0x100, "layout");

typedef std::map<u32, _RESULT_META_> RESULT_META_MAP;

class CResultMetaFile {
 public:
  CResultMetaFile() = default;
  ~CResultMetaFile();
  CResultMetaFile(const CResultMetaFile&) = delete;
  CResultMetaFile& operator=(const CResultMetaFile&) = delete;

  // The side file of the result set whose node file is at nodePath.
  static std::string PathFor(const std::string& nodePath) { return nodePath + "_Meta"; }
  // Opens (creating if missing) for appending; a torn last record is overwritten.
  int Open(const std::string& path);
  void Close();
  bool IsOpen() const { return m_nFd >= 0; }
  // Records are kept back and written a batch at a time (a scan of small
  // files finds a million): Flush before the file is read by its path.
  // Append and Flush give the first write error.
  int Append(const _RESULT_META_& rec);
  int Flush();
  // Every whole record of the file at path, the last one of an index winning
  // (records after a resume replace those before). A missing file is no records.
  static int ReadAll(const std::string& path, RESULT_META_MAP& out);

 private:
  int m_nFd = -1;
  u64 m_u64Records = 0;  // written
  std::vector<_RESULT_META_> m_pending;
};

// The records of a meta file read in the order of their result indices with
// a bounded buffer, for a walk over the results in index order. A file whose
// records are out of order (written across a resume) is first sorted into a
// temporary file in tempDir.
class CResultMetaCursor {
 public:
  CResultMetaCursor() = default;
  ~CResultMetaCursor();
  CResultMetaCursor(const CResultMetaCursor&) = delete;
  CResultMetaCursor& operator=(const CResultMetaCursor&) = delete;
  // A missing file is no records. 0 or a status.
  int Open(const std::string& path, const std::string& tempDir);
  // The record of result nFileIndex (the last one written for it), null when
  // it has none. Indices asked for must not decrease.
  const _RESULT_META_* Find(u32 nFileIndex);

 private:
  bool Advance();  // the next record into m_next; false at the end
  int m_nFd = -1;
  u64 m_u64At = 0;
  std::vector<unsigned char> m_buf;
  size_t m_nPos = 0;
  bool m_bHaveNext = false;
  _RESULT_META_ m_next = {}, m_found = {};
};

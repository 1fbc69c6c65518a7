// A scan's results as both front ends list them: sorted by folder then name
// and numbered from 1, kept in two unnamed temporary files (the items and an
// offset per item) and read back a page at a time. Building it streams the
// engines' result sets through a sort on disk, so however many results a
// scan found, memory holds a bounded buffer and 8 bytes per file-system
// result (the keys that drop carved copies of files a file system lists).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/Categories.h"
#include "engine/Types.h"

class CProfessionalRecovery;

// One result as the front ends list it.
struct RESULT_ITEM {
  __SEARCH_FILE_INFO__ node;
  u32 nId = 0;               // 1-based, stable for a finished scan's listing
  std::string strName;       // UTF-8, no path
  std::string strFolder;     // original folder, "/" ended ("" when unknown, as for carved files)
  int nPartition = 0;        // partition of the disk holding it (0: none or unknown)
  u64 u64FirstSector = 0;    // first data sector on the disk (0: unknown)
  category::Kind eKind = category::OTHER;
  // What a carved file says about itself (empty / 0 when unknown or not carved).
  std::string strTitle;      // cleaned UTF-8
  std::string strArtist;     // artist or author
  std::string strCamera;     // maker and model
  i64 tCaptured = 0;         // captured / created, seconds since 1970 as recorded
  u32 nWidth = 0, nHeight = 0;
  bool bThumbnail = false;   // a picture under 256x256 inside another found picture's bytes

  // Carved results come from sectors no file system lists as in use: lost
  // files, counted with the deleted ones.
  bool IsDeleted() const { return node.bIsDeleted != 0 || IsCarved(); }
  bool IsCarved() const { return node.nEngineType == ENGINE_FILE_TYPE; }
};

class CExternalSort;
class CResultListing;

// Makes a listing from items handed in any order: sorted by folder, name and
// first sector, numbered from 1, thumbnails marked. Results of a scan come
// through CResultListing::Build; benchmarks and tests hand in their own.
class CResultListingBuilder {
 public:
  // nRunRecords caps the items sorted in memory at once (0: by bytes only;
  // tests make it small to prove many runs list as one).
  CResultListingBuilder(const std::string& tempDir, size_t nRunRecords);
  ~CResultListingBuilder();
  int Add(const RESULT_ITEM& item);
  // Once. 0 or a status.
  int Finish(std::shared_ptr<CResultListing>& out);

 private:
  std::string m_strTempDir;
  size_t m_nRunRecords;
  std::unique_ptr<CExternalSort> m_pSort;
};

class CResultListing {
 public:
  // The partition (1-based, 0 for none) holding an absolute sector.
  typedef std::function<int(u64 u64Sector)> PARTITION_OF;
  // Lists every result of the engine into temporary files in tempDir (see
  // CResultListingBuilder for nRunRecords). 0 or a status.
  static int Build(CProfessionalRecovery& engine, const PARTITION_OF& partitionOf, const std::string& tempDir,
                   size_t nRunRecords, std::shared_ptr<CResultListing>& out);
  ~CResultListing();
  CResultListing(const CResultListing&) = delete;
  CResultListing& operator=(const CResultListing&) = delete;

  u32 Count() const { return m_nCount; }
  u32 DeletedCount() const { return m_nDeleted; }
  // Bytes of every item's folder and name together (to size a search index once).
  u64 PathBytes() const { return m_u64PathBytes; }
  // Items at positions [nFirst, nFirst + nCount) (position = id - 1), fewer at the end. 0 or a status.
  int Read(u32 nFirst, u32 nCount, std::vector<RESULT_ITEM>& out) const;
  // One item (two small reads). 0 or a status.
  int Get(u32 nPos, RESULT_ITEM& out) const;
  // Every item in order, a page at a time; visit answers false to stop. 0 or a status.
  int ForEach(const std::function<bool(const RESULT_ITEM&)>& visit) const;

 private:
  friend class CResultListingBuilder;
  CResultListing() = default;

  int m_nDataFd = -1;   // u32 length, then the item's bytes, per item
  int m_nIndexFd = -1;  // u64 offset of each item in the data file
  u64 m_u64DataBytes = 0;
  u32 m_nCount = 0;
  u32 m_nDeleted = 0;
  u64 m_u64PathBytes = 0;
};

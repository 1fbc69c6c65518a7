// A scan as both front ends see it, without windows: the target and its
// range, the one rule for where writing is allowed, scanning and resuming,
// the list of results with the filters users choose by, and saving chosen
// results into category folders with honest outcomes. The command line and
// the window parse, display and call this; they hold no recovery logic.
#pragma once

#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "disk/PartitionManager.h"
#include "engine/Categories.h"
#include "engine/RecoveredFile.h"
#include "engine/Types.h"
#include "scan/ResultListing.h"
#include "scan/TargetGuard.h"

class CProfessionalRecovery;

struct SCAN_TARGET {
  std::string strPath;      // the device node or image file
  int nDiskNo = -1;         // its number in the disk map
  bool bImage = false;      // a regular file
  u64 u64DiskSectors = 0;   // 512-byte sectors of the whole target
  u64 u64FirstSector = 0;   // the range scanned, absolute
  u64 u64SectorCount = 0;
  int nPartition = 0;       // 0: the whole disk; else 1-based within the disk
  std::string strRangeName; // "whole disk" or the partition's name
};

struct SCAN_PROGRESS {
  enum PHASE { PHASE_QUICK = 0, PHASE_DEEP = 1, PHASE_DONE = 2 };
  PHASE ePhase = PHASE_QUICK;
  int nPercent = 0;          // of the whole scan; never runs backwards
  u64 u64SectorsDone = 0;    // of the deep pass
  u64 u64SectorsTotal = 0;
  u64 u64Found = 0;          // files and folders found so far
  int nRemainSeconds = -1;   // -1 while unknown
  u64 u64Unreadable = 0;     // sectors the disk could not give so far
};

// What to list or save. Empty sets and zero bounds mean "any".
struct RESULT_FILTER {
  enum STATE { STATE_DELETED = 0, STATE_LIVE = 1, STATE_ALL = 2 };
  std::set<int> kinds;              // category::Kind values
  std::set<std::string> exts;       // lower case, no dot
  std::string strNameGlob;          // fnmatch pattern over the name
  std::string strPathGlob;          // fnmatch pattern over folder + name
  u64 u64MinSize = 0, u64MaxSize = 0;
  i64 tAfter = 0, tBefore = 0;      // seconds since 1970 of the modification time, where known
  STATE eState = STATE_ALL;
  std::set<u32> ids;
  std::set<int> integrities;        // INTEGRITY_* values
  // From the files' own metadata; items that do not say are left out.
  u32 nMinWidth = 0, nMinHeight = 0;
  i64 tCapturedAfter = 0, tCapturedBefore = 0;  // [after, before) of the captured / created time
  bool bSkipThumbnails = false;
};
bool MatchesFilter(const RESULT_FILTER& f, const RESULT_ITEM& item);
// Seconds since 1970 of a node's modification time, 0 when unknown.
i64 NodeModifiedTime(const _FILE_NODE_& node);
// The name a carved result is listed and saved under from its metadata:
// "2024-06-14 10.22.31 Canon EOS R6 (2148).jpg" for photos and videos,
// "Artist - Title (3692).mp3" for audio, "Title (2148).pdf" for the rest; the
// stem of the engine's name stays in brackets. The engine's name unchanged
// when the file says nothing that names it.
std::string MetadataFileName(const std::string& strEngineName, category::Kind eKind, const std::string& strTitle,
                             const std::string& strArtist, const std::string& strCamera, i64 tCaptured);
// Marks pictures under 256x256 whose bytes lie inside another found picture's.
void MarkThumbnails(std::vector<RESULT_ITEM>& items);

struct SAVE_OPTIONS {
  bool bKeepTree = true;   // DEST/<category>/<original folders>/<name> for file-system results
  bool bSkipSame = true;   // a file already saved there with the same content is not saved again
  bool bHash = false;      // SHA-256 of each saved file (for reports)
  // Photos and videos into <category>/<year>/<year>-<month>/ by their capture
  // time (else their file system's modification time); undated ones stay flat.
  bool bGroupByDate = false;
};

struct SAVE_OUTCOME {
  u32 nId = 0;
  int nStatus = 0;           // 0, STATUS_PARTIAL_SAVE, a failure, or STATUS_SKIPPED_SAME
  std::string strPath;       // where it was saved (or would have been)
  std::string strSha256;     // with bHash, of the saved (or already present) file
  SAVE_RESULT result;
};

// A scan recorded in the support folder's scan log.
struct RECORDED_SCAN {
  u32 nId = 0;                 // the number of its folder in the scan log
  std::string strTarget;       // device node or image file ("" when not known)
  int nDiskNo = -1;            // the target's disk number when it was recorded
  u64 u64FirstSector = 0;      // the range scanned, absolute
  u64 u64SectorCount = 0;
  int nPartition = 0;          // 1-based within its disk; 0: the whole disk or another range
  std::string strRangeName;
  i64 tWhen = 0;               // seconds since 1970 of the end of its last run (0: unknown)
  bool bComplete = false;      // the deep pass reached the end of the range
  int nPercent = -1;           // how far its last run got (-1: unknown)
  u64 u64Found = 0;            // files and folders found
};

// A file system found at the start of a range: "ntfs", "fat12", "fat16",
// "fat32", "ext2", "ext3", "ext4" or "" when none is recognised.
struct VOLUME_INFO {
  std::string strType;
  std::string strLabel;        // UTF-8, "" when it has none
};

struct DISK_PARTITION {
  int nIndex = 0;              // 1-based within its disk
  u64 u64FirstSector = 0;      // absolute, inclusive
  u64 u64LastSector = 0;
  std::string strName;         // UTF-8 as the partition table (or its number) names it
  VOLUME_INFO volume;
};

struct DISK_INFO {
  int nDiskNo = -1;
  std::string strPath;         // device node or image file
  u64 u64Bytes = 0;            // 0 when unknown
  int nStatus = 0;             // 0, or why it cannot be read
  VOLUME_INFO whole;           // a file system on the disk itself (no partition table)
  std::vector<DISK_PARTITION> partitions;
};

struct FORMAT_INFO {
  std::string strExt;          // lower case, no dot
  category::Kind eKind;
};

class CScanSession {
 public:
  // Answers false to stop the scan.
  typedef std::function<bool(const SCAN_PROGRESS&)> SCAN_OBSERVER;
  // Called after each saved file (and with nullptr for progress inside a
  // long file); answers false to stop the recovery.
  typedef std::function<bool(size_t nDone, size_t nTotal, const SAVE_OUTCOME* pOutcome)> SAVE_OBSERVER;

  CScanSession();
  ~CScanSession();
  CScanSession(const CScanSession&) = delete;
  CScanSession& operator=(const CScanSession&) = delete;

  // A path (an existing device node or image file) or "disk:N" / a bare disk
  // number that is not a file. Anything but a regular file or block device
  // is refused. 0 or a status.
  int OpenTarget(const std::string& target);
  // Narrows the range to partition n (1-based, numbered within the disk).
  int SelectPartition(int n);
  // Narrows the range to sectors [first, first + count) of the disk.
  int SelectRange(u64 u64First, u64 u64Count, const std::string& name);
  const SCAN_TARGET& Target() const { return m_target; }
  const std::vector<_PARTITION_ITEM_>& Partitions() const { return m_partitions; }

  // The one destination rule: 0, or STATUS_DEST_ON_TARGET.
  int CheckDestination(const std::string& dir) const;
  int CheckReportPath(const std::string& path) const;
  int CheckSupportFolder() const;

  // True when an unfinished scan of this range is recorded.
  bool HasRecordedScan();
  // Scans the range (continuing the recorded scan when bResume and one
  // exists, else starting afresh). 0, RECOVERY_CANCELLED when the observer
  // stopped it (it can be resumed), or why it failed.
  int Scan(bool bResume, const SCAN_OBSERVER& observer);
  bool WasResumed() const { return m_bResumed; }
  // Why an earlier scan of the range was not continued ("" when there was none).
  const std::string& ResumeRefusal() const { return m_strResumeRefusal; }
  // After a scan: sectors that could not be read, the first quick pass that
  // failed (the deep pass ran anyway), and how many file systems were walked.
  u64 UnreadableSectors() const;
  std::vector<SECTOR_RANGE> UnreadableRanges() const;
  int QuickPassStatus() const;
  int LastScanStatus() const { return m_nScanStatus; }

  // The results, sorted by folder then name, numbered from 1: built on the
  // first call after a scan or reopening (a pass over the result sets and a
  // sort on disk), then shared. Null before a scan, with the status in *pStatus.
  std::shared_ptr<const CResultListing> Listing(int* pStatus = nullptr);
  // Every result at once, for small listings (tests); the front ends page
  // through Listing().
  int Results(std::vector<RESULT_ITEM>& out);
  // The first bytes of a result (or a picture's temporary file), as the
  // engine interface's PreView.
  int Preview(RESULT_ITEM& item, wchar_t* pTempPath, unsigned char* pBuf, int& nLen);
  // Saves the items into dest (created when missing): each into its
  // category folder, under a free name, never over an existing file. The
  // outcomes go to pOutcomes in item order. 0 when every file was saved
  // whole or skipped, STATUS_PARTIAL_SAVE when some were partial,
  // RECOVERY_CANCELLED, STATUS_DEST_ON_TARGET, or the first failure.
  int Save(const std::vector<RESULT_ITEM>& items, const std::string& dest, const SAVE_OPTIONS& options,
           const SAVE_OBSERVER& observer, SAVE_SUMMARY& summary, std::vector<SAVE_OUTCOME>* pOutcomes);

  // The engine behind the results (browsing folders), null before a scan.
  IFileRecoveryParse* Engine();

 private:
  int StartEngine(bool bResume);
  int PartitionOfSector(u64 u64Sector) const;
  std::string TargetFolderFor(const RESULT_ITEM& item, const SAVE_OPTIONS& options) const;

  SCAN_TARGET m_target;
  std::vector<_PARTITION_ITEM_> m_partitions;
  std::unique_ptr<CTargetGuard> m_pGuard;
  std::unique_ptr<CProfessionalRecovery> m_pEngine;
  std::shared_ptr<CResultListing> m_pListing;
  bool m_bResumed;
  int m_nScanStatus;
  std::string m_strResumeRefusal;

  // -------------------------------------------------------------------------
  // Recorded scans, disks, formats and words for results: what a front end
  // lists without scanning (the command line's list, recover, scans, disks
  // and formats; the window's history and disk page can use them too).
 public:
  // The id of the scan the results come from (the number of its folder in
  // the scan log), 0 before a scan or when nothing was recorded.
  u32 ScanId() const { return m_nScanId; }
  // Every recorded scan, by id.
  static std::vector<RECORDED_SCAN> RecordedScans();
  // The most recent recorded scan of a target (a path, "disk:N" or a disk
  // number, as OpenTarget takes them); 0 when there is none.
  static u32 LatestScanOf(const std::string& target);
  // Reopens recorded scan nId without scanning again: its target, its range
  // and its results, ready for Results() and Save(). An unfinished scan
  // gives what it found so far. 0; ENOENT when no such scan is recorded;
  // ESTALE when the target changed since it was scanned (the stale record is
  // dropped; ResumeRefusal() says why); or why the target cannot be opened.
  int OpenRecordedScan(u32 nId);

  // The destination rule and the folder itself, before any work: 0 when
  // files may be saved into dir (created when missing), else why not.
  int PrepareDestination(const std::string& dir) const;

  // Every disk of the disk map, its partitions numbered within it, and the
  // file system of each (and of a disk without a partition table).
  static std::vector<DISK_INFO> Disks();
  // The file system starting at a sector of a disk: its type and label.
  static VOLUME_INFO DescribeVolume(int nDiskNo, u64 u64FirstSector);
  // The carvable formats, one per extension, with their category.
  static std::vector<FORMAT_INFO> CarvableFormats();

  // The engine that found a result: "ntfs", "fat", "ntfs-deep", "fat-deep", "exfat", "exfat-deep", "carved".
  static const char* EngineName(u32 nEngineType);
  // The RESULT_FLAG_* that are set, as words ("chainCleared", "lengthCapped", ...).
  static std::vector<std::string> FlagNames(u8 nFlags);
  // Where a result's bytes lie, in the disk's sectors like its first sector:
  // one run, or two for a carved file reassembled from two pieces.
  static int Pieces(const RESULT_ITEM& r, SECTOR_RUN runs[2]);

 private:
  void RecordScanInfo(const SCAN_PROGRESS& last);
  void FindScanId();
  u32 m_nScanId = 0;
};

// ---------------------------------------------------------------- for the window
// Small questions the disk page asks; front-end neutral.

// Whether a path can be opened as a disk image or device, without adding it
// to the disk map: 0, STATUS_NOT_A_DISK (neither a regular file nor a block
// device), STATUS_EMPTY_TARGET (smaller than one sector), or the errno of
// the failed open.
int CheckTargetFile(const std::string& path);

// The vendor and model a disk's driver reports ("" for an image, or when the
// system does not say).
std::string DiskModelOf(const std::string& devicePath);

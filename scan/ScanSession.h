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

  bool IsDeleted() const { return node.bIsDeleted != 0; }
  bool IsCarved() const { return node.nEngineType == ENGINE_FILE_TYPE; }
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

  // Every result, sorted by folder then name, numbered from 1.
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
  bool m_bResumed;
  int m_nScanStatus;
  std::string m_strResumeRefusal;
};

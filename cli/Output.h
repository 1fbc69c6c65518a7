// What the commands print: safe text, sizes and dates, tables, the listing
// of results and the JSON document of a run (for --json and --report).
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "engine/BadSectorMap.h"
#include "scan/ScanSession.h"

// Standard output that stops quietly when its reader goes away: a closed
// pipe ends the listing, never the work. False once it is closed.
bool Out(const char* pFormat, ...) __attribute__((format(printf, 1, 2)));
bool OutOpen();

// Names come from disks: terminal control characters (C0, DEL, C1) and
// broken UTF-8 are replaced before they are printed.
std::string Printable(const std::string& text);
std::string JsonString(const std::string& text);

// "512 B", "12.3 KB", "1.5 GB" (binary units).
std::string HumanSize(u64 u64Bytes);
// "0:07", "12:34", "1:02:03".
std::string Duration(u64 u64Seconds);
// Local "YYYY-MM-DD HH:MM", "-" for 0; ISO 8601 in UTC for JSON.
std::string LocalDateTime(i64 tSeconds);
std::string LocalDate(i64 tSeconds);  // "YYYY-MM-DD", "-" for 0
std::string IsoDateTime(i64 tSeconds);

// Columns padded to their widest cell; the last column is not padded.
// Columns whose index is in rightAligned are aligned to the right.
void PrintTable(const std::vector<std::vector<std::string>>& rows, const std::vector<size_t>& rightAligned);
// The same for rows made twice, so they need not be held: Measure every
// row, then Print each. Print answers false once standard output closed.
class CTable {
 public:
  explicit CTable(std::vector<size_t> rightAligned) : m_rightAligned(std::move(rightAligned)) {}
  void Measure(const std::vector<std::string>& row);
  bool Print(const std::vector<std::string>& row) const;

 private:
  std::vector<size_t> m_rightAligned;
  std::vector<size_t> m_width;
};

// "/folder/name" for file-system results, the bare name for carved ones.
std::string ResultPath(const RESULT_ITEM& item);
const char* StateName(const RESULT_ITEM& item);

// The listing of results: a header, then one row each.
std::vector<std::string> ResultHeader();
std::vector<std::string> ResultRow(const RESULT_ITEM& r);
extern const std::vector<size_t> kResultRightAligned;

// "saved", "partial", "skipped" or "failed".
const char* OutcomeWord(int nStatus);

// One run as JSON: the scan, the results (with their outcomes when saved)
// and the counts, written a piece at a time: the head, each result, the tail.
struct RUN_DOCUMENT {
  const SCAN_TARGET* pTarget = nullptr;
  u32 nScanId = 0;
  bool bComplete = true;
  size_t nFound = 0;                         // results of the scan before filtering
  std::string strDestination;                // "" when nothing was saved
  std::vector<SECTOR_RANGE> unreadable;      // sectors of the disk the scan could not read
};
std::string RunJsonHead(const RUN_DOCUMENT& doc);
// nIndex: the result's place among those written (0 for the first).
std::string RunJsonResult(const RESULT_ITEM& r, const SAVE_OUTCOME* pOutcome, size_t nIndex);
std::string RunJsonTail(size_t nListed, const SAVE_SUMMARY* pSummary);

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

// "/folder/name" for file-system results, the bare name for carved ones.
std::string ResultPath(const RESULT_ITEM& item);
const char* StateName(const RESULT_ITEM& item);

// The listing of results: a header, then one row each.
void PrintResults(const std::vector<RESULT_ITEM>& items);

// "saved", "partial", "skipped" or "failed".
const char* OutcomeWord(int nStatus);

// One run as JSON: the scan, the results (with their outcomes when saved)
// and the counts.
struct RUN_DOCUMENT {
  const SCAN_TARGET* pTarget = nullptr;
  u32 nScanId = 0;
  bool bComplete = true;
  size_t nFound = 0;                         // results of the scan before filtering
  const std::vector<RESULT_ITEM>* pItems = nullptr;
  std::string strDestination;                // "" when nothing was saved
  const std::vector<SAVE_OUTCOME>* pOutcomes = nullptr;
  const SAVE_SUMMARY* pSummary = nullptr;
  std::vector<SECTOR_RANGE> unreadable;      // sectors of the disk the scan could not read
};
std::string RunJson(const RUN_DOCUMENT& doc);

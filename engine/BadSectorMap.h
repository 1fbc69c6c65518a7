// Which sectors of a disk could not be read, and which were never tried. A
// scan keeps one beside its record, so a resumed scan does not hammer the
// same bad area again; the imager keeps one as a GNU ddrescue mapfile, so
// either tool can continue the other's work, and a scan of an image with a
// mapfile beside it treats what was never read as holes.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "engine/Types.h"

struct SECTOR_RANGE {
  u64 u64First;  // 512-byte sectors
  u64 u64Count;
};

class CBadSectorMap {
 public:
  // Marks [first, first + count) unreadable (merged with touching ranges).
  void Add(u64 u64First, u64 u64Count);
  bool Contains(u64 u64Sector) const;
  // The first unreadable sector at or after u64From, or UINT64_MAX.
  u64 NextBad(u64 u64From) const;
  u64 Count() const;
  std::vector<SECTOR_RANGE> Ranges() const;
  void Clear();

  // "first count" lines of decimal sectors; 0 or errno. Loading merges.
  int Save(const std::string& path) const;
  int Load(const std::string& path);

  // GNU ddrescue mapfile: every area not finished ('+') is taken as
  // unreadable, byte positions rounded out to whole sectors. 0, errno, or
  // STATUS_DAMAGED_RECORD when the text is not a mapfile.
  int LoadDdrescueMap(const std::string& path);

 private:
  mutable std::mutex m_mutex;
  std::map<u64, u64> m_ranges;  // first -> end (exclusive)
};

// One area of a ddrescue mapfile: bytes, and its status character
// ('?' non-tried, '*' non-trimmed, '/' non-scraped, '-' bad, '+' finished).
struct DDRESCUE_AREA {
  u64 u64Pos;
  u64 u64Size;
  char cStatus;
};

struct DDRESCUE_MAP {
  u64 u64CurrentPos = 0;
  char cCurrentStatus = '?';
  int nCurrentPass = 1;
  std::vector<DDRESCUE_AREA> areas;  // sorted, covering [0, size)
};

// Parses a mapfile (comments "#", the status line, then the areas); false
// when the text is not one or its areas overlap.
bool ParseDdrescueMap(const std::string& text, DDRESCUE_MAP& out);
std::string FormatDdrescueMap(const DDRESCUE_MAP& map, const std::string& commandLine);
// Sets [pos, pos + size) to status, splitting and merging areas; the map
// grows to cover it.
void SetDdrescueArea(DDRESCUE_MAP& map, u64 u64Pos, u64 u64Size, char cStatus);

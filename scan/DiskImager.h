// Copies a disk to an image file before anything else reads it: a dying
// drive gives what it can in its first hours. Readable areas first, in large
// reads; a failed read marks its area for later and the copy skips ahead in
// growing steps; then the skipped areas; then the failed areas sector by
// sector. What was read is kept in a GNU ddrescue mapfile beside the image,
// so an interrupted copy goes on from it and either tool can finish the
// other's work; a scan of the image reads the map and treats what was never
// read as holes.
#pragma once

#include <functional>
#include <string>

#include "engine/BadSectorMap.h"
#include "engine/Types.h"

struct IMAGE_PROGRESS {
  u64 u64Bytes = 0;        // size of the source
  u64 u64Rescued = 0;      // bytes read and written
  u64 u64BadBytes = 0;     // bytes found unreadable so far
  u64 u64Pending = 0;      // bytes not tried yet or to be tried again
  u32 nBadAreas = 0;       // unreadable areas in the map
  int nPass = 1;           // 1 copy, 2 the skipped areas, 3 sector by sector
  double dBytesPerSecond = 0;  // this run's read rate
};

class CDiskImager {
 public:
  // Answers false to stop (the map is saved; a later run goes on).
  typedef std::function<bool(const IMAGE_PROGRESS&)> OBSERVER;

  CDiskImager();
  ~CDiskImager();
  CDiskImager(const CDiskImager&) = delete;
  CDiskImager& operator=(const CDiskImager&) = delete;

  // The source (a path or "disk:N" / a disk number, as a scan target), the
  // image file and its map ("" for OUT.map). An existing image is continued
  // only with its map; without one it is never overwritten. Neither file may
  // lie on the source. 0 or a status.
  int Open(const std::string& source, const std::string& out, const std::string& map);
  // Copies what the map says is still to do. 0 when every area was tried
  // (unreadable ones stay in the map), RECOVERY_CANCELLED when the observer
  // stopped it, or why it failed (a failed write of the image or the map).
  int Run(const OBSERVER& observer);

  const std::string& SourcePath() const { return m_strSource; }
  const std::string& MapPath() const { return m_strMap; }
  bool Resumed() const { return m_bResumed; }
  IMAGE_PROGRESS Progress() const;

 private:
  int CopyArea(u64 u64Pos, u64 u64Size, int nPass, const OBSERVER& observer);
  int SaveMap();
  bool Report(const OBSERVER& observer, bool bForce);

  int m_nSource;
  int m_nOut;
  std::string m_strSource;
  std::string m_strMap;
  std::string m_strCommand;
  u64 m_u64Size;
  bool m_bResumed;
  DDRESCUE_MAP m_map;
  int m_nPass;
  u64 m_u64ReadThisRun;
  u32 m_nStartTick;
  u32 m_nLastReport;
  u32 m_nLastSave;
};

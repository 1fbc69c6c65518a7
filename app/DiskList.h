// What the disk page lists: every disk of the disk map (and the images the
// user opened) with its partitions, file systems, labels, sizes, why a disk
// cannot be read, and the scans recorded for it. Gathered on a worker through
// the scan session; the page only shows it.
#pragma once

#include <string>
#include <vector>

#include "scan/ScanSession.h"

struct DISK_RANGE_ROW {
  int nPartition = 0;          // 0: the whole disk
  u64 u64FirstSector = 0;
  u64 u64SectorCount = 0;
  std::string strName;         // "Partition 2", "Whole disk"
  std::string strFileSystem;   // "NTFS", "FAT32", ... ("" when none is recognised)
  std::string strLabel;
  bool bStoppedScan = false;   // a scan of this range stopped part-way and can be resumed
  bool bFinishedScan = false;  // a finished scan of this range is recorded
  u64 u64RecordedFiles = 0;
};

struct DISK_ROW {
  int nDiskNo = -1;
  std::string strPath;
  bool bImage = false;
  std::string strModel;        // the drive's model, or the image's file name
  u64 u64Bytes = 0;
  int nStatus = 0;             // why it cannot be read (0: it can)
  std::vector<DISK_RANGE_ROW> ranges;  // partitions, then the whole disk
};

// Reads every disk's rows. Slow disks make this slow: call it on a worker.
std::vector<DISK_ROW> ReadDiskRows();
// "Disk 2 — Samsung SSD 860 — 500 GB" / "Disk 3 — holiday.img — 2.00 GB".
std::string DiskRowTitle(const DISK_ROW& row);

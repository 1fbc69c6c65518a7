#include "app/DiskList.h"

#include <limits.h>
#include <stdlib.h>

#include <cstring>

#include "engine/DiskMap.h"
#include "app/FileCategory.h"

namespace {

// The window shows file systems by their usual spelling.
std::string FileSystemTitle(const std::string& type) {
  static const struct {
    const char* pWord;
    const char* pTitle;
  } kTitles[] = {{"ntfs", "NTFS"}, {"fat12", "FAT12"}, {"fat16", "FAT16"}, {"fat32", "FAT32"}, {"exfat", "exFAT"}};
  for (const auto& t : kTitles)
    if (type == t.pWord) return t.pTitle;
  return type;
}

// A device named by its stable id and by its node are the same disk.
bool SamePath(const std::string& a, const std::string& b) {
  char ra[PATH_MAX], rb[PATH_MAX];
  if (!realpath(a.c_str(), ra) || !realpath(b.c_str(), rb)) return a == b;
  return strcmp(ra, rb) == 0;
}

}  // namespace

std::vector<DISK_ROW> ReadDiskRows() {
  // Recorded scans belong to a disk by what it is, not by today's number.
  const std::vector<RECORDED_SCAN> allScans = CScanSession::RecordedScans();
  std::vector<DISK_ROW> rows;
  std::vector<std::string> disks = ListDiskDevices();
  if (disks.size() > PARTITION_MAX_DISKS) disks.resize(PARTITION_MAX_DISKS);
  for (size_t n = 0; n < disks.size(); ++n) {
    DISK_ROW row;
    row.nDiskNo = static_cast<int>(n);
    row.strPath = disks[n];
    CScanSession session;
    row.nStatus = session.OpenTarget("disk:" + std::to_string(n));
    const SCAN_TARGET& target = session.Target();
    row.bImage = row.nStatus == 0 ? target.bImage : false;
    std::string model = DiskModelOf(row.strPath);
    if (model.empty()) model = row.strPath.substr(row.strPath.rfind('/') + 1);
    row.strModel = model;
    if (row.nStatus != 0) {
      rows.push_back(row);
      continue;
    }
    row.u64Bytes = target.u64DiskSectors * SECTOR_SIZE;
    std::vector<RECORDED_SCAN> recorded;
    for (const RECORDED_SCAN& s : allScans)
      if (!s.strTarget.empty() && SamePath(s.strTarget, target.strPath)) recorded.push_back(s);
    auto addRange = [&](int part, u64 first, u64 count, const std::string& name) {
      DISK_RANGE_ROW r;
      r.nPartition = part;
      r.u64FirstSector = first;
      r.u64SectorCount = count;
      r.strName = name;
      VOLUME_INFO info = CScanSession::DescribeVolume(row.nDiskNo, first);
      r.strFileSystem = FileSystemTitle(info.strType);
      r.strLabel = info.strLabel;
      for (const RECORDED_SCAN& s : recorded) {
        if (s.u64FirstSector != first || s.u64SectorCount != count) continue;
        r.bStoppedScan = !s.bComplete;
        r.bFinishedScan = s.bComplete;
        r.u64RecordedFiles = s.u64Found;
      }
      row.ranges.push_back(r);
    };
    const std::vector<_PARTITION_ITEM_>& parts = session.Partitions();
    for (size_t i = 0; i < parts.size(); ++i) {
      const _PARTITION_ITEM_& p = parts[i];
      u64 last = p.u64EndSector < target.u64DiskSectors ? p.u64EndSector : target.u64DiskSectors - 1;
      if (p.u64StartSector > last) continue;
      // A volume without a partition table reads as one partition spanning
      // the disk: the whole-disk row below is that range.
      if (p.u64StartSector == 0 && last + 1 >= target.u64DiskSectors) continue;
      addRange(static_cast<int>(i + 1), p.u64StartSector, last - p.u64StartSector + 1, PartitionNameToUtf8(p));
    }
    // Always offered: a disk whose table was wiped, or space outside every
    // partition, can still be searched.
    addRange(0, 0, target.u64DiskSectors, "Whole disk");
    rows.push_back(row);
  }
  return rows;
}

std::string DiskRowTitle(const DISK_ROW& row) {
  std::string title = "Disk " + std::to_string(row.nDiskNo) + " \u2014 " + row.strModel;
  if (row.nStatus == 0) title += " \u2014 " + HumanSize(row.u64Bytes).toStdString();
  return title;
}

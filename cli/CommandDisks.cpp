// torvane disks [IMAGE...]: every disk of the disk map with its partitions,
// as the disk page shows them.
#include <errno.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "Commands.h"
#include "disk/PartitionManager.h"
#include "engine/DiskMap.h"
#include "engine/DiskReader.h"
#include "engine/TextUtil.h"

namespace {

// Names come from disks: keep terminal control characters (C0, DEL, C1)
// out of what we print.
std::string PrintableName(const std::string& utf8) {
  std::string out;
  out.reserve(utf8.size());
  for (size_t i = 0; i < utf8.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(utf8[i]);
    if (c < 0x20 || c == 0x7F) {
      out += '?';
    } else if (c == 0xC2 && i + 1 < utf8.size() && static_cast<unsigned char>(utf8[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(utf8[i + 1]) <= 0x9F) {
      out += '?';
      ++i;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string SizeText(u64 u64Bytes) {
  const u64 kMax = static_cast<u64>(INT64_MAX);
  return GetFileSizeString(static_cast<i64>(u64Bytes > kMax ? kMax : u64Bytes));
}

std::string ErrorText(int status) {
  if (status == STATUS_SHORT_READ) return "too short to hold a partition table";
  return strerror(status);
}

// An image given on the command line must be readable before it joins the
// map: a directory opens fine but cannot be read.
int CheckReadable(const char* pPath) {
  int fd = OpenPathReadOnly(pPath);
  if (fd < 0) return errno ? errno : ENOENT;
  unsigned char sec[512];
  size_t got = 0;
  int status = ReadAt(fd, sec, sizeof(sec), 0, &got);
  close(fd);
  if (got == sizeof(sec)) return 0;
  return status ? status : STATUS_SHORT_READ;
}

void PrintDisksUsage(FILE* pOut) {
  fprintf(pOut,
          "Usage: torvane disks [IMAGE...]\n"
          "Lists every disk and its partitions, one line each:\n"
          "  Physical Driver N  DEVICE  SIZE\n"
          "    N.I  FIRST..LAST  SIZE  NAME\n"
          "N is the disk number, I the partition's place in its table (from 1), FIRST and\n"
          "LAST its first and last 512-byte sector. IMAGE files are added as further disks.\n");
}

}  // namespace

int RunDisksCommand(int argc, char** argv) {
  bool bFailed = false;
  for (int i = 0; i < argc; ++i) {
    if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
      PrintDisksUsage(stdout);
      return CLI_EXIT_OK;
    }
    if (argv[i][0] == '-') {
      fprintf(stderr, "torvane disks: unknown option '%s'\n", argv[i]);
      PrintDisksUsage(stderr);
      return CLI_EXIT_USAGE;
    }
  }
  for (int i = 0; i < argc; ++i) {
    int status = CheckReadable(argv[i]);
    if (status != 0) {
      fprintf(stderr, "torvane disks: cannot read '%s': %s\n", argv[i], ErrorText(status).c_str());
      bFailed = true;
      continue;
    }
    if (AddDiskImage(argv[i]) < 0) {
      fprintf(stderr, "torvane disks: cannot add '%s' as a disk\n", argv[i]);
      bFailed = true;
    }
  }

  std::vector<std::string> disks = ListDiskDevices();
  if (disks.size() > PARTITION_MAX_DISKS) {
    fprintf(stderr, "torvane disks: only the first %u of %zu disks are listed\n", PARTITION_MAX_DISKS,
            disks.size());
    disks.resize(PARTITION_MAX_DISKS);
  }
  if (disks.empty()) printf("No disks found.\n");

  CPartitionManager manager;
  manager.ResetNumbering();
  for (size_t n = 0; n < disks.size(); ++n) {
    int nDisk = static_cast<int>(n);
    std::vector<_PARTITION_ITEM_> list;
    int status = manager.ReadDisk(nDisk, list);
    if (status != 0) {
      printf("Physical Driver %d  %s  unreadable\n", nDisk, disks[n].c_str());
      fprintf(stderr, "torvane disks: cannot read disk %d '%s': %s\n", nDisk, disks[n].c_str(),
              ErrorText(status).c_str());
      bFailed = true;
      continue;
    }
    u64 u64DiskBytes = 0;
    int fd = OpenDiskReadOnly(nDisk);
    if (fd >= 0) {
      u64DiskBytes = rsb_getDeviceSize(fd);
      close(fd);
    }
    printf("Physical Driver %d  %s  %s%s\n", nDisk, disks[n].c_str(), SizeText(u64DiskBytes).c_str(),
           list.empty() ? "  no partition table" : "");
    for (size_t i = 0; i < list.size(); ++i) {
      const _PARTITION_ITEM_& p = list[i];
      u64 u64Bytes = (p.u64EndSector - p.u64StartSector + 1) * 512;
      printf("    %d.%zu  %llu..%llu  %s  %s\n", nDisk, i + 1, static_cast<unsigned long long>(p.u64StartSector),
             static_cast<unsigned long long>(p.u64EndSector), SizeText(u64Bytes).c_str(),
             PrintableName(PartitionNameToUtf8(p)).c_str());
    }
  }
  fflush(stdout);
  return bFailed ? CLI_EXIT_FAILED : CLI_EXIT_OK;
}

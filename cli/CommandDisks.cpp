// torvane disks [IMAGE...]: every disk of the disk map with its partitions
// and their file systems; disks that cannot be read are listed with why.
#include <errno.h>
#include <unistd.h>

#include "Commands.h"
#include "Output.h"
#include "engine/TextUtil.h"

namespace {

std::string SizeText(u64 u64Bytes) {
  const u64 kMax = static_cast<u64>(INT64_MAX);
  return GetFileSizeString(static_cast<i64>(u64Bytes > kMax ? kMax : u64Bytes));
}

// "  [fat16 "LABEL"]", or "" when no file system is recognised.
std::string VolumeText(const VOLUME_INFO& v) {
  if (v.strType.empty()) return "";
  std::string s = "  [" + v.strType;
  if (!v.strLabel.empty()) s += " \"" + Printable(v.strLabel) + "\"";
  return s + "]";
}

}  // namespace

int RunDisksCommand(int argc, char** argv) {
  const char* cmd = "disks";
  CArgs args;
  int parsed = ParseCommandLine(cmd, argc, argv, args);
  if (parsed >= 0) return parsed;
  bool badArgument = false;
  CScanSession session;
  for (const std::string& image : args.Positional()) {
    int status = session.OpenTarget(image);
    if (status != 0) {
      Error(cmd, "cannot read '%s': %s", Printable(image).c_str(), StatusText(status).c_str());
      badArgument = true;
    }
  }
  std::vector<DISK_INFO> disks = CScanSession::Disks();
  if (disks.empty()) Out("No disks found.\n");
  size_t readable = 0;
  bool denied = false;
  for (const DISK_INFO& d : disks) {
    std::string size = d.u64Bytes ? "  " + SizeText(d.u64Bytes) : std::string();
    if (d.nStatus != 0) {
      Out("Disk %d  %s%s  unreadable: %s\n", d.nDiskNo, Printable(d.strPath).c_str(), size.c_str(),
          StatusText(d.nStatus).c_str());
      denied = denied || d.nStatus == EACCES || d.nStatus == EPERM;
      continue;
    }
    ++readable;
    Out("Disk %d  %s%s%s%s\n", d.nDiskNo, Printable(d.strPath).c_str(), size.c_str(),
        d.partitions.empty() ? "  no partition table" : "", VolumeText(d.whole).c_str());
    for (const DISK_PARTITION& p : d.partitions)
      Out("    %d.%d  %llu..%llu  %s  %s%s\n", d.nDiskNo, p.nIndex, static_cast<unsigned long long>(p.u64FirstSector),
          static_cast<unsigned long long>(p.u64LastSector),
          SizeText((p.u64LastSector - p.u64FirstSector + 1) * 512).c_str(), Printable(p.strName).c_str(),
          VolumeText(p.volume).c_str());
  }
  fflush(stdout);
  if (denied && geteuid() != 0) fprintf(stderr, "Disks you may not read are listed as such; as root (sudo torvane disks) they open.\n");
  return badArgument || (readable == 0 && !disks.empty()) ? CLI_EXIT_FAILED : CLI_EXIT_OK;
}

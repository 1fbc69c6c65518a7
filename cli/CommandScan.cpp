// torvane scan TARGET [...]: the main window's engine flow without windows —
// deep scan, one search over the chosen categories, optional recovery.
#include <errno.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "Commands.h"
#include "scan/ProfessionalRecovery.h"
#include "disk/PartitionManager.h"
#include "engine/Categories.h"
#include "engine/DiskMap.h"
#include "engine/DiskReader.h"
#include "engine/FaultGuard.h"
#include "scan/FileRecoveryFactory.h"
#include "engine/Sha256.h"
#include "engine/TextUtil.h"

namespace {

volatile sig_atomic_t g_bCancelled = 0;

void OnInterrupt(int) { g_bCancelled = 1; }

struct PROGRESS_STATE {
  bool bTerminal;
  u32 nLastPrint;
  int nLastPercent;
  long nChunks;          // deep-pass reports so far
  long nInterruptAfter;  // tests: deliver a real SIGINT after this many (0: never)
};

const char* EngineName(u32 type) {
  switch (type) {
    case ENGINE_FAST_NTFS: return "ntfs";
    case ENGINE_FAST_FAT: return "fat";
    case ENGINE_PROFESSIONAL_NTFS: return "ntfs-deep";
    case ENGINE_PROFESSIONAL_FAT: return "fat-deep";
    case ENGINE_FILE_TYPE: return "carved";
    case ENGINE_FAST_EXFAT: return "exfat";
    case ENGINE_PROFESSIONAL_EXFAT: return "exfat-deep";
    default: return "unknown";
  }
}

int ScanProgress(void* param, int nProgress, int nPercent, int nRemaindSecond, u64 u64CurSector,
                 u64 u64SectorCount, u64 u64FindFileCount, wchar_t*) {
  PROGRESS_STATE* st = static_cast<PROGRESS_STATE*>(param);
  if (nPercent == 90 && ++st->nChunks == st->nInterruptAfter) raise(SIGINT);
  int shown = nProgress * nPercent / 100;
  if (shown > 100) shown = 100;
  u32 now = rsb_getTickCount();
  bool finished = nProgress == 100 && nPercent == 100;
  if (st->bTerminal || finished || now - st->nLastPrint >= 2000 || shown / 10 != st->nLastPercent / 10) {
    std::string left = nRemaindSecond < 0 ? std::string("calculating") : GetTimeString(nRemaindSecond);
    if (nPercent == 90)
      fprintf(stderr, "%s%3d%%  sectors %llu/%llu  files %llu  left %s%s", st->bTerminal ? "\r" : "", shown,
              static_cast<unsigned long long>(u64CurSector), static_cast<unsigned long long>(u64SectorCount),
              static_cast<unsigned long long>(u64FindFileCount), left.c_str(), st->bTerminal ? "   " : "\n");
    else
      fprintf(stderr, "%s%3d%%  %s%s", st->bTerminal ? "\r" : "", shown,
              finished ? "scan finished" : "reading file-system metadata", st->bTerminal ? "   " : "\n");
    st->nLastPrint = now;
    st->nLastPercent = shown;
  }
  return g_bCancelled ? 1 : 0;
}

// The fault guard is a last resort; a scan it had to rescue is worth a line.
void ReportFaultGuard() {
  uint64_t n = FaultGuardCatchCount();
  if (n > 0) fprintf(stderr, "fault guard caught %llu faults\n", static_cast<unsigned long long>(n));
}

int RecoveryProgress(void*, int, int, int, wchar_t*) { return g_bCancelled ? RECOVERY_CANCELLED : 0; }
int SearchProgress(void*, int, wchar_t*) { return g_bCancelled ? 1 : 0; }

std::string JsonString(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char buf[8];
      snprintf(buf, sizeof(buf), "\\u%04x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

// Names come from disks: keep terminal control characters out of what we print.
std::string Printable(const std::string& s) {
  std::string out;
  for (unsigned char c : s) out += (c < 0x20 || c == 0x7F) ? '?' : static_cast<char>(c);
  return out;
}

// The whole disk that holds a block device (itself when it is a disk).
dev_t WholeDisk(dev_t dev) {
  char link[64];
  snprintf(link, sizeof(link), "/sys/dev/block/%u:%u/partition", major(dev), minor(dev));
  if (access(link, F_OK) != 0) return dev;
  snprintf(link, sizeof(link), "/sys/dev/block/%u:%u/../dev", major(dev), minor(dev));
  FILE* f = fopen(link, "r");
  if (!f) return dev;
  unsigned maj = 0, min = 0;
  dev_t out = dev;
  if (fscanf(f, "%u:%u", &maj, &min) == 2) out = makedev(maj, min);
  fclose(f);
  return out;
}

// The whole disks of the loop devices that serve an image file: a folder on
// a mounted image lies on the image.
std::vector<dev_t> LoopDevicesOf(const std::string& image) {
  std::vector<dev_t> out;
  char resolved[PATH_MAX];
  if (!realpath(image.c_str(), resolved)) return out;
  for (int n = 0; n < 256; ++n) {
    char path[96];
    snprintf(path, sizeof(path), "/sys/block/loop%d/loop/backing_file", n);
    FILE* f = fopen(path, "r");
    if (!f) continue;
    char backing[PATH_MAX] = {0};
    bool same = fgets(backing, sizeof(backing), f) != nullptr;
    fclose(f);
    backing[strcspn(backing, "\n")] = 0;
    if (!same || strcmp(backing, resolved) != 0) continue;
    snprintf(path, sizeof(path), "/sys/block/loop%d/dev", n);
    if ((f = fopen(path, "r"))) {
      unsigned maj = 0, min = 0;
      if (fscanf(f, "%u:%u", &maj, &min) == 2) out.push_back(makedev(maj, min));
      fclose(f);
    }
  }
  return out;
}

// True when the destination folder lies on the scanned device or image
// (recovering there overwrites the very data being recovered).
bool DestinationOnTarget(const std::string& dest, const std::string& device) {
  struct stat dst, src;
  std::string probe = dest;
  if (probe.empty() || probe[0] != '/') {
    char cwd[PATH_MAX];
    if (!getcwd(cwd, sizeof(cwd))) return false;
    probe = std::string(cwd) + "/" + probe;
  }
  // The folder may not exist yet: its nearest existing parent decides.
  while (stat(probe.c_str(), &dst) != 0) {
    size_t slash = probe.find_last_of('/');
    if (slash == std::string::npos || probe == "/") return false;
    probe = slash == 0 ? "/" : probe.substr(0, slash);
  }
  if (stat(device.c_str(), &src) != 0) return false;
  if (S_ISBLK(src.st_mode)) return WholeDisk(dst.st_dev) == WholeDisk(src.st_rdev);
  if (!S_ISREG(src.st_mode)) return false;
  for (dev_t loop : LoopDevicesOf(device))
    if (WholeDisk(dst.st_dev) == loop) return true;
  return false;
}

void PrintScanUsage(FILE* out) {
  fprintf(out,
          "Usage: torvane scan TARGET [--partition K] [--types LIST] [--recover DIR] [--report FILE] [--resume]\n"
          "  TARGET        a disk number (see torvane disks) or a disk image file\n"
          "  --partition K scan partition K of the target (as torvane disks numbers them); default: all of it\n"
          "  --types LIST  comma-separated: photo,music,document,video,archive,other (default: all)\n"
          "  --recover DIR save every file found into category folders of DIR\n"
          "  --report FILE write what was found (and saved) as JSON\n"
          "  --resume      continue a recorded, unfinished scan of the same range\n"
          "Ctrl-C stops the scan (it can be resumed) or the recovery; the exit status is then 130.\n");
}

bool IsNumber(const char* p) {
  if (!*p) return false;
  for (; *p; ++p)
    if (*p < '0' || *p > '9') return false;
  return true;
}

}  // namespace

int RunScanCommand(int argc, char** argv) {
  const char* target = nullptr;
  const char* recoverDir = nullptr;
  const char* reportPath = nullptr;
  int partition = 0;
  bool resume = false;
  bool chosen[category::COUNT];
  for (bool& b : chosen) b = true;
  for (int i = 0; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](const char* name) -> const char* {
      if (i + 1 >= argc) {
        fprintf(stderr, "torvane scan: %s needs a value\n", name);
        return nullptr;
      }
      return argv[++i];
    };
    if (a == "--help" || a == "-h") {
      PrintScanUsage(stdout);
      return CLI_EXIT_OK;
    } else if (a == "--partition") {
      const char* v = value("--partition");
      if (!v || !IsNumber(v) || atoi(v) < 1) {
        fprintf(stderr, "torvane scan: --partition takes a partition number from 1\n");
        return CLI_EXIT_USAGE;
      }
      partition = atoi(v);
    } else if (a == "--types") {
      const char* v = value("--types");
      if (!v || !category::ParseList(v, chosen)) {
        fprintf(stderr, "torvane scan: --types takes photo,music,document,video,archive,other\n");
        return CLI_EXIT_USAGE;
      }
    } else if (a == "--recover") {
      if (!(recoverDir = value("--recover"))) return CLI_EXIT_USAGE;
    } else if (a == "--report") {
      if (!(reportPath = value("--report"))) return CLI_EXIT_USAGE;
    } else if (a == "--resume") {
      resume = true;
    } else if (!a.empty() && a[0] == '-') {
      fprintf(stderr, "torvane scan: unknown option '%s'\n", a.c_str());
      PrintScanUsage(stderr);
      return CLI_EXIT_USAGE;
    } else if (!target) {
      target = argv[i];
    } else {
      fprintf(stderr, "torvane scan: only one target at a time\n");
      return CLI_EXIT_USAGE;
    }
  }
  if (!target) {
    PrintScanUsage(stderr);
    return CLI_EXIT_USAGE;
  }

  // The target: a disk number, or an image added to the disk map so the
  // same disk-number code runs.
  int disk = -1;
  if (IsNumber(target)) {
    disk = atoi(target);
  } else {
    int fd = OpenPathReadOnly(target);
    if (fd < 0) {
      fprintf(stderr, "torvane scan: cannot open '%s': %s\n", target, strerror(errno));
      return CLI_EXIT_FAILED;
    }
    close(fd);
    disk = AddDiskImage(target);
  }
  std::string device = GetDiskDevicePath(disk);
  int fd = OpenDiskReadOnly(disk);
  if (fd < 0) {
    fprintf(stderr, "torvane scan: cannot open disk %s: %s\n", target, strerror(errno));
    return CLI_EXIT_FAILED;
  }
  u64 diskSectors = rsb_getDeviceSize(fd) / SECTOR_SIZE;
  close(fd);
  if (diskSectors == 0) {
    fprintf(stderr, "torvane scan: '%s' is empty or its size cannot be read\n", device.c_str());
    return CLI_EXIT_FAILED;
  }
  u64 first = 0, last = diskSectors - 1;
  std::string rangeName = "whole disk";
  if (partition > 0) {
    CPartitionManager manager;
    std::vector<_PARTITION_ITEM_> parts;
    int st = manager.ReadDisk(disk, parts);
    if (st != 0 || partition > static_cast<int>(parts.size())) {
      fprintf(stderr, "torvane scan: disk %d has no partition %d (it has %zu)\n", disk, partition, parts.size());
      return CLI_EXIT_FAILED;
    }
    first = parts[partition - 1].u64StartSector;
    last = parts[partition - 1].u64EndSector;
    if (last >= diskSectors) last = diskSectors - 1;
    rangeName = PartitionNameToUtf8(parts[partition - 1]);
  }

  std::string destination;
  if (recoverDir) {
    destination = recoverDir;
    while (destination.size() > 1 && destination.back() == '/') destination.pop_back();
    if (DestinationOnTarget(destination, device)) {
      fprintf(stderr,
              "torvane scan: '%s' lies on the disk being scanned; recovering there would overwrite the "
              "files being recovered. Choose a folder on another disk.\n",
              recoverDir);
      return CLI_EXIT_FAILED;
    }
    int st = MakeDirectories(destination);
    if (st != 0) {
      fprintf(stderr, "torvane scan: cannot create '%s': %s\n", recoverDir, strerror(st));
      return CLI_EXIT_FAILED;
    }
  }
  MakeDirectories(GetScanLogDir());

  struct sigaction sa;
  memset(&sa, 0, sizeof(sa));
  sa.sa_handler = OnInterrupt;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);

  fprintf(stderr, "Scanning %s (%s), sectors %llu..%llu\n", device.c_str(), Printable(rangeName).c_str(),
          static_cast<unsigned long long>(first), static_cast<unsigned long long>(last));
  IFileRecoveryParse* engine = CFileRecoveryFactory::GetInstance()->CreateFileRecoveryInstance(
      disk, static_cast<i64>(first), static_cast<i64>(last - first + 1), 67, RECOVERY_TYPE_PROFESSIONAL);
  if (!engine) {
    fprintf(stderr, "torvane scan: cannot read the start of the range on '%s'\n", device.c_str());
    return CLI_EXIT_FAILED;
  }
  CProfessionalRecovery* deep = dynamic_cast<CProfessionalRecovery*>(engine);
  if (deep) {
    if (resume && deep->IsFindLogFile())
      fprintf(stderr, "Resuming the recorded scan of this range.\n");
    else {
      if (resume) fprintf(stderr, "No unfinished scan of this range is recorded; starting afresh.\n");
      deep->SetNotLoadLogFile();
    }
  }
  const char* interrupt = getenv("TORVANE_INTERRUPT_AFTER_CHUNKS");
  PROGRESS_STATE progress = {isatty(2) != 0, 0, -100, 0, interrupt ? atol(interrupt) : 0};
  engine->InitCallBack(ScanProgress, RecoveryProgress, &progress, 100);
  int status = engine->ScanDevice(nullptr);
  if (progress.bTerminal) fprintf(stderr, "\n");
  if (g_bCancelled) {
    fprintf(stderr, "Scan stopped; run the same command with --resume to continue it.\n");
    delete engine;
    return 130;
  }
  if (status != 0) {
    fprintf(stderr, "torvane scan: the scan failed (status %d)\n", status);
    ReportFaultGuard();
    delete engine;
    return CLI_EXIT_FAILED;
  }

  engine->InitSearchCallBack(SearchProgress, nullptr);
  std::wstring pattern = Utf8ToWide(category::SearchPattern(chosen));
  SEARCH_FILE_INFO_VECTOR hits;
  engine->SearchFileNode(const_cast<wchar_t*>(pattern.c_str()), hits);

  int rootIndex = 0;
  std::wstring wdest = Utf8ToWide(destination);
  GetPathDirIndex(wdest.c_str(), rootIndex);
  FILE* report = nullptr;
  if (reportPath) {
    report = fopen(reportPath, "w");
    if (!report) fprintf(stderr, "torvane scan: cannot write the report '%s': %s\n", reportPath, strerror(errno));
  }
  if (report) fprintf(report, "[\n");
  size_t saved = 0, failed = 0;
  bool cancelled = false;
  for (size_t i = 0; i < hits.size(); ++i) {
    __SEARCH_FILE_INFO__& hit = hits[i];
    std::string name(hit.szFileName, strnlen(hit.szFileName, sizeof(hit.szFileName)));
    wchar_t wfolder[1024] = {0};
    engine->GetFileNodeParentDirPath(&hit, wfolder, 1024);
    std::string folder = WideToUtf8(wfolder);
    printf("%s%s\t%llu\t%s\t%s\n", Printable(folder).c_str(), Printable(name).c_str(),
           static_cast<unsigned long long>(hit.u64FileSize), EngineName(hit.nEngineType),
           hit.bHealth ? "good" : "damaged");
    std::string savedPath, sha;
    int saveStatus = 0;
    bool tried = false;
    if (!destination.empty() && !cancelled) {
      std::string dir = destination + "/" + category::FolderOfFileName(name.c_str());
      MakeDirectories(dir);
      savedPath = GetRealFileName(dir + "/" + MakeSafePathComponent(name));
      std::wstring wpath = Utf8ToWide(savedPath);
      saveStatus = engine->SaveFileData(&hit, const_cast<wchar_t*>(wpath.c_str()), rootIndex);
      tried = true;
      if (saveStatus == RECOVERY_CANCELLED) {
        cancelled = true;
      } else if (saveStatus == 0) {
        ++saved;
        if (report) sha = Sha256OfFile(savedPath);  // only the report needs the digest
      } else {
        ++failed;
        fprintf(stderr, "torvane scan: could not save '%s' (status %d)\n", Printable(name).c_str(), saveStatus);
      }
    }
    if (report) {
      fprintf(report,
              "  {\"name\": %s, \"folder\": %s, \"size\": %llu, \"engine\": %u, \"engineName\": %s, "
              "\"firstSector\": %llu, \"health\": %u",
              JsonString(name).c_str(), JsonString(folder).c_str(), static_cast<unsigned long long>(hit.u64FileSize),
              hit.nEngineType, JsonString(EngineName(hit.nEngineType)).c_str(),
              static_cast<unsigned long long>(deep ? deep->GetFileDataStartSector(hit) : hit.u64RecordSector),
              hit.bHealth);
      if (tried)
        fprintf(report, ", \"savedPath\": %s, \"status\": %d, \"sha256\": %s", JsonString(savedPath).c_str(),
                saveStatus, JsonString(sha).c_str());
      fprintf(report, "}%s\n", i + 1 < hits.size() ? "," : "");
    }
  }
  if (report) {
    fprintf(report, "]\n");
    fclose(report);
  }
  fprintf(stderr, "%zu files found", hits.size());
  if (!destination.empty()) fprintf(stderr, ", %zu saved, %zu failed", saved, failed);
  fprintf(stderr, "\n");
  ReportFaultGuard();
  delete engine;
  if (cancelled || g_bCancelled) return 130;
  return failed ? CLI_EXIT_FAILED : CLI_EXIT_OK;
}

// Times the quick exFAT scan of a volume with 50,000 entries: reading the
// boot region and the allocation bitmap, walking the folders and writing the
// result store, then one search over everything found. The image is made by
// bench/make_exfat_bench_image.py.
//
//   bench_exfat_quick [IMAGE] [RUNS]    (default build/bench-images/exfat-50k.img, 3 runs)
//
// The result store goes to the scan-log folder under TORVANE_SUPPORT_DIR (a
// temporary folder when unset). Prints the best run.
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "BenchUtil.h"
#include "engine/Categories.h"
#include "engine/DiskMap.h"
#include "engine/TextUtil.h"
#include "exfat/FastExfatRecovery.h"
#include "store/LogFileManager.h"

namespace {

}  // namespace

int main(int argc, char** argv) {
  std::string image = argc > 1 ? argv[1] : "build/bench-images/exfat-50k.img";
  int runs = argc > 2 ? atoi(argv[2]) : 3;
  struct stat st;
  if (stat(image.c_str(), &st) != 0) {
    fprintf(stderr, "%s is missing: make it with bench/make_exfat_bench_image.py build/bench-images (as root)\n",
            image.c_str());
    return 2;
  }
  if (!getenv("TORVANE_SUPPORT_DIR")) {
    char dir[] = "/tmp/torvane-exfat-bench-XXXXXX";
    if (!mkdtemp(dir)) return 2;
    setenv("TORVANE_SUPPORT_DIR", dir, 1);
  }
  MakeDirectories(GetScanLogDir());
  CLogFileManager::GetInstance()->Reload();

  double best = 1e30, bestSearch = 0;
  size_t listed = 0, deleted = 0;
  for (int r = 0; r < runs; ++r) {
    CFastExfatRecovery engine;
    std::wstring wpath = Utf8ToWide(image);
    double t0 = NowSeconds();
    if (engine.Init(&wpath[0], L'C') != 0 || engine.BuildBitMapInfo() != 0 || engine.ScanDevice(nullptr) != 0) {
      fprintf(stderr, "the quick scan of %s failed\n", image.c_str());
      return 1;
    }
    double t1 = NowSeconds();
    std::wstring pattern = Utf8ToWide(std::string("*.other|") + g_szPhotoExtList + "|" + g_szMusicExtList + "|" +
                                      g_szDocumentExtList + "|" + g_szVideoExtList + "|" + g_szArchiveExtList);
    SEARCH_FILE_INFO_VECTOR hits;
    engine.SearchFileNode(&pattern[0], hits);
    double t2 = NowSeconds();
    listed = hits.size();
    deleted = 0;
    for (const auto& h : hits) deleted += h.bIsDeleted;
    if (t1 - t0 < best) {
      best = t1 - t0;
      bestSearch = t2 - t1;
    }
  }
  printf("exFAT quick scan of %s\n", image.c_str());
  printf("  files listed      %zu (%zu deleted)\n", listed, deleted);
  printf("  scan              %.3f s   (%.0f entries/s)\n", best, static_cast<double>(listed) / best);
  printf("  search all        %.3f s\n", bestSearch);
  printf("  peak RSS          %.1f MB\n", static_cast<double>(PeakRssKb()) / 1024.0);
  return 0;
}

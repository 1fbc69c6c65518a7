// Times a quick pass over a million records: the NTFS MFT walk or the FAT
// folder walk, writing the result store, then one streamed search over
// everything found (what the listing reads). The images are made by
// bench/make_quick_bench_images.py.
//
//   bench_quick_million ntfs|fat [IMAGE] [RUNS]
//     (default build/bench-images/ntfs-1m.img or fat32-1m.img, 1 run)
//
// The result store goes to the scan-log folder under TORVANE_SUPPORT_DIR (a
// temporary folder when unset). Prints the best run and the peak RSS.
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "BenchUtil.h"
#include "engine/Categories.h"
#include "engine/DiskMap.h"
#include "engine/TextUtil.h"
#include "fat/FastFatRecovery.h"
#include "ntfs/FastNtfsRecovery.h"
#include "store/LogFileManager.h"

namespace {

}  // namespace

int main(int argc, char** argv) {
  const std::string kind = argc > 1 ? argv[1] : "";
  if (kind != "ntfs" && kind != "fat") {
    fprintf(stderr, "usage: bench_quick_million ntfs|fat [IMAGE] [RUNS]\n");
    return 2;
  }
  std::string image = argc > 2 ? argv[2] : "build/bench-images/" + std::string(kind == "ntfs" ? "ntfs-1m.img" : "fat32-1m.img");
  int runs = argc > 3 ? atoi(argv[3]) : 1;
  struct stat st;
  if (stat(image.c_str(), &st) != 0) {
    fprintf(stderr, "%s is missing: make it with bench/make_quick_bench_images.py build/bench-images\n", image.c_str());
    return 2;
  }
  if (!getenv("TORVANE_SUPPORT_DIR")) {
    char dir[] = "/tmp/torvane-quick-bench-XXXXXX";
    if (!mkdtemp(dir)) return 2;
    setenv("TORVANE_SUPPORT_DIR", dir, 1);
  }
  MakeDirectories(GetScanLogDir());
  CLogFileManager::GetInstance()->Reload();

  double best = 1e30, bestSearch = 0;
  size_t listed = 0, deleted = 0;
  for (int r = 0; r < runs; ++r) {
    std::unique_ptr<IFileRecoveryParse> engine;
    if (kind == "ntfs")
      engine.reset(new CFastNtfsRecovery());
    else
      engine.reset(new CFastFatRecovery());
    std::wstring wpath = Utf8ToWide(image);
    double t0 = NowSeconds();
    if (engine->Init(&wpath[0], L'C') != 0 || engine->BuildBitMapInfo() != 0 || engine->ScanDevice(nullptr) != 0) {
      fprintf(stderr, "the quick pass over %s failed\n", image.c_str());
      return 1;
    }
    double t1 = NowSeconds();
    bool all[category::COUNT];
    for (bool& b : all) b = true;
    std::wstring pattern = Utf8ToWide(category::SearchPattern(all));
    listed = deleted = 0;
    engine->SearchFileNodeEach(&pattern[0], [&](__SEARCH_FILE_INFO__& hit) {
      ++listed;
      deleted += hit.bIsDeleted != 0;
      return true;
    });
    double t2 = NowSeconds();
    if (t1 - t0 < best) {
      best = t1 - t0;
      bestSearch = t2 - t1;
    }
  }
  printf("%s quick pass over %s\n", kind == "ntfs" ? "NTFS" : "FAT32", image.c_str());
  printf("  files found       %zu (%zu deleted)\n", listed, deleted);
  printf("  quick pass        %.3f s   (%.0f files/s)\n", best, static_cast<double>(listed) / best);
  printf("  streamed search   %.3f s\n", bestSearch);
  printf("  peak RSS          %.1f MB\n", static_cast<double>(PeakRssKb()) / 1024.0);
  return 0;
}

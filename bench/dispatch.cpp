// Nanoseconds per sector of the deep pass's per-sector work, for three kinds
// of sectors: random bytes, zeros and the bytes of real files.
//
//   bench_dispatch [SAMPLES_DIR] [MiB]
//
// For each kind a MiB-sized file is written to a temporary folder and
//   1. a whole deep scan of it is timed (reads, dispatch, carving, records),
//      with and without the integrity checks of carved files;
//   2. the orchestrator's per-buffer dispatcher is timed over the same bytes
//      held in memory, 128 sectors at a time (copying each chunk into the
//      read buffer first, a cost measured apart and taken off);
//   3. the carving detection alone is timed, through the quick first-byte
//      rejection and row index and through a plain walk of every table row.
// Then the JPEG integrity check alone: the JPEGs of SAMPLES_DIR, laid one
// after another and repeated, walked by the exact entropy walker, decoded
// at an eighth of their size, and checked as the deep pass checks them.
// Real-file sectors are the files of SAMPLES_DIR (default
// $TORVANE_TEST_IMAGES/samples) laid one after another, repeated.
#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "carve/FileTypeJudge.h"
#include "carve/JpegEntropy.h"
#include "scan/ProfessionalRecovery.h"
#include "engine/DiskMap.h"
#include "engine/TextUtil.h"
#include "store/LogFileManager.h"

namespace {

constexpr int kSector = 512;
constexpr int kChunk = 65536;

double Now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

std::vector<unsigned char> RealFileBytes(const std::string& dir, size_t want) {
  std::vector<unsigned char> all;
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.' && strcmp(e->d_name, "manifest") != 0) names.push_back(e->d_name);
    closedir(d);
  }
  std::vector<unsigned char> one;
  for (const std::string& n : names) {
    FILE* f = fopen((dir + "/" + n).c_str(), "rb");
    if (!f) continue;
    unsigned char block[65536];
    size_t got;
    while ((got = fread(block, 1, sizeof(block), f)) > 0) one.insert(one.end(), block, block + got);
    fclose(f);
    // Each file starts on a sector boundary, as on a disk.
    one.resize((one.size() + kSector - 1) / kSector * kSector, 0);
  }
  if (one.empty()) return all;
  while (all.size() < want) all.insert(all.end(), one.begin(), one.end());
  all.resize(want);
  return all;
}

bool WriteFile(const std::string& path, const std::vector<unsigned char>& data) {
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = fwrite(data.data(), 1, data.size(), f) == data.size();
  return fclose(f) == 0 && ok;
}

void Measure(const char* kind, const std::vector<unsigned char>& data, const std::string& path) {
  if (!WriteFile(path, data)) {
    fprintf(stderr, "cannot write %s\n", path.c_str());
    return;
  }
  const u64 sectors = data.size() / kSector;
  std::wstring wpath = Utf8ToWide(path);

  // 1. The whole deep scan of the file, without and with the integrity
  // checks of carved files, each the best of two runs taken in turn (the
  // first run also warms the page cache); the scan kept is the last with checks.
  auto timedScan = [&](CProfessionalRecovery& r, bool checks) {
    CFileTypeJudge::SetChecksEnabled(checks);
    r.Init(const_cast<wchar_t*>(wpath.c_str()), L'B');
    r.SetNotLoadLogFile();
    const double t = Now();
    r.ScanDevice(nullptr);
    const double seconds = Now() - t;
    CFileTypeJudge::SetChecksEnabled(true);
    return seconds;
  };
  double uncheckedSeconds = 1e9, scanSeconds = 1e9;
  CProfessionalRecovery scan;
  for (int i = 0; i < 2; ++i) {
    CProfessionalRecovery unchecked;
    const double u = timedScan(unchecked, false);
    uncheckedSeconds = u < uncheckedSeconds ? u : uncheckedSeconds;
    CProfessionalRecovery& checked = scan;
    const double c = timedScan(checked, true);
    scanSeconds = c < scanSeconds ? c : scanSeconds;
  }
  double t0 = 0;

  // 2. The dispatcher alone over the bytes in memory, on the scanned engine
  // (its result sets are open, so carved files are recorded as in a scan).
  // Each 64 KiB chunk is first copied into the read buffer, as a read would
  // leave it in the cache; the copy's own time is measured and taken off.
  std::vector<unsigned char> chunk(kChunk);
  const u64 perChunk = kChunk / kSector;
  auto bestOf = [](double a, double b) { return a < b ? a : b; };
  double copyOnly = 1e9, dispatch = 1e9, fast = 1e9, plain = 1e9;
  volatile int sink = 0;
  CARVE_CONTEXT ctx = CFileTypeJudge::MakeContext(nullptr, kSector, 0);
  // Best of TORVANE_BENCH_ROUNDS rounds (3 unless set): more rounds steady
  // the figures on a busy machine.
  const char* roundsEnv = getenv("TORVANE_BENCH_ROUNDS");
  const int rounds = roundsEnv && atoi(roundsEnv) > 0 ? atoi(roundsEnv) : 3;
  for (int round = 0; round < rounds; ++round) {
    t0 = Now();
    for (u64 s = 0; s + perChunk <= sectors; s += perChunk) {
      memcpy(chunk.data(), data.data() + s * kSector, kChunk);
      sink = sink + chunk[s % kChunk];
    }
    copyOnly = bestOf(copyOnly, Now() - t0);

    t0 = Now();
    for (u64 s = 0; s + perChunk <= sectors;) {
      memcpy(chunk.data(), data.data() + s * kSector, kChunk);
      i64 skip = 0;
      u64 found = 0;
      scan.ParseProfessionalFileInfo(chunk.data(), kChunk, s, s, sectors, -1, skip, found);
      s += perChunk + static_cast<u64>(skip > 0 ? skip : 0);
    }
    dispatch = bestOf(dispatch, Now() - t0);

    // 3. Detection alone, through the quick rejection and the first-byte
    // index, and through every table row in order.
    t0 = Now();
    for (u64 s = 0; s + perChunk <= sectors; s += perChunk) {
      memcpy(chunk.data(), data.data() + s * kSector, kChunk);
      for (u64 k = 0; k < perChunk; ++k) sink = sink + CFileTypeJudge::DetectFileType(ctx, chunk.data() + k * kSector, kSector);
    }
    fast = bestOf(fast, Now() - t0);
    t0 = Now();
    for (u64 s = 0; s + perChunk <= sectors; s += perChunk) {
      memcpy(chunk.data(), data.data() + s * kSector, kChunk);
      for (u64 k = 0; k < perChunk; ++k)
        sink = sink + CFileTypeJudge::DetectFileTypeAllRows(ctx, chunk.data() + k * kSector, kSector);
    }
    plain = bestOf(plain, Now() - t0);
  }
  dispatch -= copyOnly;
  fast -= copyOnly;
  plain -= copyOnly;

  const double mib = static_cast<double>(data.size()) / (1 << 20);
  printf("%-7s scan %7.1f ns/sector (%6.0f MiB/s; without checks %6.0f MiB/s)  dispatch %7.1f ns/sector  "
         "detect %6.1f ns  all rows %6.1f ns  files %d\n",
         kind, scanSeconds * 1e9 / sectors, mib / scanSeconds, mib / uncheckedSeconds, dispatch * 1e9 / sectors,
         fast * 1e9 / sectors, plain * 1e9 / sectors, scan.GetLostFileCount());
  unlink(path.c_str());
}

// MB/s of the JPEG check's two ways over the same pictures.
void MeasureJpeg(const std::string& samples, const std::string& path, size_t want) {
  std::vector<unsigned char> data;
  std::vector<std::pair<u64, u64>> files;  // first sector, bytes
  std::vector<std::vector<unsigned char>> jpegs;
  if (DIR* d = opendir(samples.c_str())) {
    while (dirent* e = readdir(d)) {
      const std::string n = e->d_name;
      if (n.size() < 4 || n.compare(n.size() - 4, 4, ".jpg") != 0) continue;
      std::vector<unsigned char> one;
      if (FILE* f = fopen((samples + "/" + n).c_str(), "rb")) {
        unsigned char block[65536];
        size_t got;
        while ((got = fread(block, 1, sizeof(block), f)) > 0) one.insert(one.end(), block, block + got);
        fclose(f);
      }
      if (!one.empty()) jpegs.push_back(std::move(one));
    }
    closedir(d);
  }
  for (size_t i = 0; !jpegs.empty() && data.size() < want; ++i) {
    const std::vector<unsigned char>& j = jpegs[i % jpegs.size()];
    files.emplace_back(data.size() / kSector, j.size());
    data.insert(data.end(), j.begin(), j.end());
    data.resize((data.size() + kSector - 1) / kSector * kSector, 0);
  }
  CDiskReader reader;
  u64 sectors = 0;
  if (files.empty() || !WriteFile(path, data) || reader.InitWhole(path.c_str(), &sectors) != 0) {
    fprintf(stderr, "no JPEG samples in %s: JPEG check skipped\n", samples.c_str());
    return;
  }
  const CARVE_FORMAT* jpeg = CFileTypeJudge::CheckerOfType(TYPE_JPG);
  u64 bytes = 0;
  for (const auto& f : files) bytes += f.second;
  double walk = 1e9, decode = 1e9, check = 1e9;
  int whole[3] = {0, 0, 0};
  for (int round = 0; round < 3; ++round) {
    for (int way = 0; way < 3; ++way) {
      whole[way] = 0;
      const double t = Now();
      for (const auto& f : files) {
        CARVE_CONTEXT c = CFileTypeJudge::MakeContext(&reader, kSector, f.first);
        c.bStopAtDamage = way == 1;  // the decoder's path, without the walk
        whole[way] += way == 0 ? CJpegEntropy::Walk(c, f.second, 0).nOutcome == JPEG_WALK_WHOLE
                               : jpeg->pChecker(c, f.second) == VERDICT_WHOLE;
      }
      double& best = way == 0 ? walk : way == 1 ? decode : check;
      const double took = Now() - t;
      best = took < best ? took : best;
    }
  }
  printf("jpeg    %zu pictures, %.1f MB: walk %.0f MB/s, decoder at 1/8 %.0f MB/s, check %.0f MB/s (whole %d %d %d)\n",
         files.size(), static_cast<double>(bytes) / 1e6, bytes / 1e6 / walk, bytes / 1e6 / decode, bytes / 1e6 / check,
         whole[0], whole[1], whole[2]);
  unlink(path.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  std::string samples;
  if (argc > 1) {
    samples = argv[1];
  } else if (const char* images = getenv("TORVANE_TEST_IMAGES")) {
    samples = std::string(images) + "/samples";
  } else {
    samples = "build/testimages/samples";
  }
  size_t mib = argc > 2 ? strtoul(argv[2], nullptr, 10) : 64;
  if (mib == 0 || mib > 4096) {
    fprintf(stderr, "usage: %s [SAMPLES_DIR] [MiB 1-4096]\n", argv[0]);
    return 2;
  }
  const size_t bytes = mib << 20;

  char tmpl[] = "/tmp/torvane-dispatch.XXXXXX";
  if (!mkdtemp(tmpl)) {
    perror("mkdtemp");
    return 1;
  }
  std::string dir = tmpl;
  // The scans' result sets go to a throw-away support folder.
  setenv("TORVANE_SUPPORT_DIR", (dir + "/support").c_str(), 1);
  CLogFileManager::GetInstance()->Reload();
  MakeDirectories(GetScanLogDir());

  std::vector<unsigned char> data(bytes);
  std::mt19937_64 rng(12345);
  for (size_t i = 0; i + 8 <= bytes; i += 8) {
    u64 v = rng();
    memcpy(&data[i], &v, 8);
  }
  Measure("random", data, dir + "/random.img");
  std::fill(data.begin(), data.end(), 0);
  Measure("zero", data, dir + "/zero.img");
  data = RealFileBytes(samples, bytes);
  if (data.empty())
    fprintf(stderr, "no sample files in %s: real-file sectors skipped\n", samples.c_str());
  else
    Measure("files", data, dir + "/files.img");
  MeasureJpeg(samples, dir + "/jpeg.img", bytes);

  rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  printf("peak RSS %.1f MB\n", static_cast<double>(ru.ru_maxrss) / 1024.0);
  std::string cmd = "rm -rf '" + dir + "'";
  if (system(cmd.c_str()) != 0) fprintf(stderr, "could not remove %s\n", dir.c_str());
  return 0;
}

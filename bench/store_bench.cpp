// Times the result store on a large result set: appending and flushing the
// nodes, listing a big folder, counting from the root and searching the whole
// node file. Usage: bench_store_bench [nodes] [folders]; the result set goes
// to the scan-log folder under TORVANE_SUPPORT_DIR.
#include <sys/resource.h>
#include <sys/time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "BenchUtil.h"
#include "engine/DiskMap.h"
#include "engine/TextUtil.h"
#include "store/LogFileManager.h"
#include "store/ScanResultFileManager.h"

namespace {

void Report(const char* step, double seconds, const char* detail) {
  printf("%-34s %8.3f s   peak RSS %6.1f MB   %s\n", step, seconds, static_cast<double>(PeakRssKb()) / 1024.0,
         detail);
  fflush(stdout);
}

// One file in ten is a photo or a document: the mix of a typical deep scan,
// where most carved fragments are of other kinds.
const char* const kExtensions[] = {"jpg", "mp3", "dat", "bin", "mp4", "zip", "wav", "exe", "log", "mov",
                                   "doc", "ogg", "tmp", "cab", "iso", "avi", "rar", "dll", "sys", "ini"};

}  // namespace

int main(int argc, char** argv) {
  unsigned long nodes = argc > 1 ? strtoul(argv[1], nullptr, 10) : 1000000;
  unsigned long folders = argc > 2 ? strtoul(argv[2], nullptr, 10) : 10000;
  if (nodes < folders || folders == 0) {
    fprintf(stderr, "usage: %s [nodes] [folders], nodes >= folders > 0\n", argv[0]);
    return 2;
  }
  if (!getenv("TORVANE_SUPPORT_DIR")) fprintf(stderr, "note: TORVANE_SUPPORT_DIR is not set\n");
  if (int err = MakeDirectories(GetScanLogDir())) {
    fprintf(stderr, "cannot create %s: %s\n", GetScanLogDir().c_str(), strerror(err));
    return 1;
  }
  CLogFileManager* log = CLogFileManager::GetInstance();
  log->Reload();
  log->AddDirIndex();
  printf("result set in %s: %lu nodes, %lu folders under the root\n", log->GetLogFileDirPath().c_str(), nodes,
         folders);

  const unsigned long files = nodes - folders;
  const u32 kRoot = 5;
  double t0 = NowSeconds();
  CScanResultFileManager* store = new CScanResultFileManager();
  if (int err = store->Init(L"File_Type_bench")) {
    fprintf(stderr, "Init failed: %d\n", err);
    return 1;
  }
  unsigned long made = 0;
  for (unsigned long f = 0; f < folders; ++f) {
    u32 cluster = static_cast<u32>(1000 + f);
    _FILE_NODE_* dir = store->CreateFileNode(sizeof(_FILE_NODE_));
    memset(dir, 0, sizeof(*dir));
    dir->bIsDir = 1;
    dir->bHealth = 1;
    dir->nFileIndex = store->GetFileIndex();
    dir->nClusterNO = cluster;
    snprintf(dir->szFileName, sizeof(dir->szFileName), "Folder%05lu", f);
    store->AddChildren(kRoot, 0, dir->nFileIndex, cluster, dir->szFileName);
    unsigned long inThis = files / folders + (f < files % folders ? 1 : 0);
    for (unsigned long i = 0; i < inThis; ++i, ++made) {
      _FILE_NODE_* node = store->CreateFileNode(sizeof(_FILE_NODE_));
      memset(node, 0, sizeof(*node));
      node->bHealth = (made % 50) ? 1 : 0;
      node->nFileIndex = store->GetFileIndex();
      node->nClusterNO = static_cast<u32>(made);
      node->u64FileSize = 4096 + made;
      snprintf(node->szFileName, sizeof(node->szFileName), "file%07lu.%s", made,
               kExtensions[made % (sizeof(kExtensions) / sizeof(kExtensions[0]))]);
      store->AddChildren(cluster, 1, node->nFileIndex, node->nClusterNO, nullptr);
    }
  }
  double tAppend = NowSeconds() - t0;
  t0 = NowSeconds();
  store->FlushBufToFile();
  double tFlush = NowSeconds() - t0;
  char detail[128];
  snprintf(detail, sizeof(detail), "%u nodes", store->GetFileIndex());
  Report("append", tAppend, detail);
  Report("flush", tFlush, "");
  snprintf(detail, sizeof(detail), "append + flush %.3f s", tAppend + tFlush);
  Report("append + flush", tAppend + tFlush, detail);

  // Browse a reopened set, as after a resumed scan: nothing is in memory but
  // the relations and folder names.
  delete store;
  store = new CScanResultFileManager();
  t0 = NowSeconds();
  if (int err = store->Init(L"File_Type_bench")) {
    fprintf(stderr, "reopen failed: %d\n", err);
    return 1;
  }
  Report("reopen (relations parsed)", NowSeconds() - t0, "");

  t0 = NowSeconds();
  FILE_NODE_VECTOR children;
  int st = store->GetChildrenFileNode(MakeDirKey(0, kRoot), children);
  snprintf(detail, sizeof(detail), "%zu children, status %d", children.size(), st);
  Report("list the root folder", NowSeconds() - t0, detail);
  children.clear();
  children.shrink_to_fit();

  t0 = NowSeconds();
  u32 count = 0;
  st = store->GetChildrenFileCount(MakeDirKey(0, kRoot), count);
  snprintf(detail, sizeof(detail), "%u files, status %d", count, st);
  Report("count from the root", NowSeconds() - t0, detail);

  std::string pattern = std::string(g_szPhotoExtList) + g_szDocumentExtList;
  std::wstring wpattern = Utf8ToWide(pattern);
  t0 = NowSeconds();
  SEARCH_FILE_INFO_VECTOR hits;
  store->SearchFileNodeInfo(wpattern.c_str(), hits);
  snprintf(detail, sizeof(detail), "%zu hits (%.1f MB of hit records)", hits.size(),
           static_cast<double>(hits.size() * sizeof(__SEARCH_FILE_INFO__)) / 1048576.0);
  Report("search photo + document", NowSeconds() - t0, detail);

  delete store;
  return 0;
}

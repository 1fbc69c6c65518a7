// A million results: how long making the listing on disk (sorted in runs
// and merged), walking it, building the results page's set, sorting each
// column, searching, filtering, narrowing by the tree, checking everything
// and scrolling the table take, and the peak memory. Prints figures; not a test.
//   QT_QPA_PLATFORM=offscreen build/bench/bench_app_results [COUNT] [--proxy]
// The listing's temporary files go to TMPDIR (/tmp when unset).
#include <QApplication>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QScrollBar>
#include <QSortFilterProxyModel>
#include <QTableView>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <sys/resource.h>

#include "app/ResultModel.h"
#include "BenchUtil.h"
#include "engine/Categories.h"

namespace {

double Ms(QElapsedTimer& t) { return static_cast<double>(t.nsecsElapsed()) / 1e6; }

// Made-up results handed one at a time to a listing on disk, as a scan's are.
std::shared_ptr<CResultListing> MakeListing(size_t n, const std::string& dir) {
  static const char* const kExts[] = {"jpg", "png", "pdf", "docx", "txt", "mp3", "mp4", "zip", "xlsx", "cr2", "mov", "bin"};
  static const char* const kWords[] = {"holiday", "report", "IMG", "scan", "invoice", "letter", "song", "clip", "backup",
                                       "draft", "photo", "notes"};
  std::mt19937 rng(7);
  CResultListingBuilder builder(dir, 0);
  for (size_t i = 0; i < n; ++i) {
    RESULT_ITEM r;
    memset(&r.node, 0, sizeof(r.node));
    const char* ext = kExts[rng() % 12];
    r.strName = std::string(kWords[rng() % 12]) + "_" + std::to_string(rng() % 100000) + "." + ext;
    // A tree of about 20,000 folders, three levels deep; every tenth file carved.
    if (i % 10 == 0) {
      r.node.nEngineType = ENGINE_FILE_TYPE;
    } else {
      r.node.nEngineType = ENGINE_PROFESSIONAL_NTFS;
      r.strFolder = "/Users/u" + std::to_string(rng() % 20) + "/" + kWords[rng() % 12] + "/" +
                    std::to_string(rng() % 80) + "/";
    }
    r.node.nFileIndex = static_cast<u32>(i + 1);
    r.node.u64FileSize = rng() % (50u << 20);
    r.node.bIsDeleted = rng() % 3 != 0;
    r.node.nIntegrity = static_cast<u8>(rng() % 4);
    u64 ft = (11644473600ull + 1262304000ull + rng() % 400000000u) * 10000000ull;
    r.node.ftLastWriteTime = U64ToFileTime(ft);
    r.nPartition = 1 + static_cast<int>(rng() % 3);
    r.eKind = category::OfExtension(ext);
    if (builder.Add(r) != 0) return nullptr;
  }
  std::shared_ptr<CResultListing> listing;
  builder.Finish(listing);
  return listing;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  size_t n = argc > 1 ? static_cast<size_t>(atol(argv[1])) : 1000000;
  printf("results: %zu\n", n);
  const char* tmp = getenv("TMPDIR");
  const std::string dir = tmp && *tmp ? tmp : "/tmp";
  QElapsedTimer t;
  t.start();
  std::shared_ptr<CResultListing> listing = MakeListing(n, dir);
  if (!listing) {
    fprintf(stderr, "cannot write the listing into %s\n", dir.c_str());
    return 1;
  }
  printf("listing made and sorted on disk:   %8.1f ms (peak RSS so far %.1f MB)\n", Ms(t), PeakRssKb() / 1024.0);
  t.restart();
  size_t seen = 0, holiday = 0;
  listing->ForEach([&](const RESULT_ITEM& r) {
    ++seen;
    holiday += r.strName.find("holiday") != std::string::npos;
    return true;
  });
  printf("walked a page at a time (%zu, %zu \"holiday\"): %6.1f ms\n", seen, holiday, Ms(t));

  bool all[category::COUNT] = {true, true, true, true, true, true};
  t.restart();
  std::shared_ptr<RESULT_SET> set = BuildResultSet(listing, all);
  printf("listing built on the worker:       %8.1f ms (sort orders, %zu folders, %zu extensions)\n", Ms(t),
         set->folders.size(), set->exts.size());

  CResultModel model;
  QTableView view;
  view.setModel(&model);
  view.verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  view.verticalHeader()->setDefaultSectionSize(22);
  view.verticalHeader()->hide();
  view.resize(1000, 600);
  view.show();
  app.processEvents();
  t.restart();
  model.SetResults(set);
  app.processEvents();
  printf("shown in the table:                %8.1f ms\n", Ms(t));

  static const char* const kNames[COL_COUNT] = {"name", "folder", "size", "modified", "state", "integrity", "partition"};
  double worst = 0;
  for (int c = 0; c < COL_COUNT; ++c) {
    for (Qt::SortOrder o : {Qt::AscendingOrder, Qt::DescendingOrder}) {
      t.restart();
      view.sortByColumn(c, o);
      view.viewport()->repaint();
      double ms = Ms(t);
      worst = std::max(worst, ms);
      printf("sort by %-9s %-4s + repaint:    %8.1f ms\n", kNames[c], o == Qt::AscendingOrder ? "up" : "down", ms);
    }
  }
  VIEW_FILTER f;
  for (const char* text : {"holiday", "u7/report", "zzz-none"}) {
    f = VIEW_FILTER();
    f.strText = text;
    t.restart();
    model.SetFilter(f);
    view.viewport()->repaint();
    printf("search \"%s\": %7d rows           %8.1f ms\n", text, model.rowCount(), Ms(t));
    worst = std::max(worst, Ms(t));
  }
  f = VIEW_FILTER();
  f.bHideBroken = true;
  f.u64MinSize = 1 << 20;
  f.nState = RESULT_FILTER::STATE_DELETED;
  t.restart();
  model.SetFilter(f);
  view.viewport()->repaint();
  printf("filter size+state+broken: %7d rows %8.1f ms\n", model.rowCount(), Ms(t));
  worst = std::max(worst, Ms(t));
  model.SetFilter(VIEW_FILTER());
  RESULT_SCOPE scope;
  scope.eKind = RESULT_SCOPE::FOLDER;
  scope.nFolder = set->folders[0].children.empty() ? 0 : set->folders[0].children[0];
  t.restart();
  model.SetScope(scope);
  view.viewport()->repaint();
  printf("tree: one top folder: %7d rows     %8.1f ms\n", model.rowCount(), Ms(t));
  worst = std::max(worst, Ms(t));
  scope = RESULT_SCOPE();
  scope.eKind = RESULT_SCOPE::TYPE;
  scope.nCategory = category::PHOTO;
  t.restart();
  model.SetScope(scope);
  view.viewport()->repaint();
  printf("tree: Photos: %7d rows             %8.1f ms\n", model.rowCount(), Ms(t));
  worst = std::max(worst, Ms(t));
  model.SetScope(RESULT_SCOPE());
  t.restart();
  model.CheckListed(CResultModel::CHECK_ALL);
  printf("check all listed (%llu):         %8.1f ms\n", static_cast<unsigned long long>(model.CheckedCount()), Ms(t));
  worst = std::max(worst, Ms(t));
  QScrollBar* bar = view.verticalScrollBar();
  double scrollWorst = 0;
  for (int step = 1; step <= 20; ++step) {
    t.restart();
    bar->setValue(bar->maximum() * step / 20);
    view.viewport()->repaint();
    scrollWorst = std::max(scrollWorst, Ms(t));
  }
  printf("scroll (20 jumps + repaint), worst:%8.1f ms\n", scrollWorst);
  worst = std::max(worst, scrollWorst);
  printf("worst single action:               %8.1f ms\n", worst);
  printf("peak RSS:                          %8.1f MB\n", PeakRssKb() / 1024.0);

  // For comparison (--proxy): the same sort by name through Qt's proxy
  // model, which asks every row for its text.
  if (argc > 2 && strcmp(argv[2], "--proxy") == 0) {
    QSortFilterProxyModel proxy;
    proxy.setSourceModel(&model);
    t.restart();
    proxy.sort(COL_NAME, Qt::AscendingOrder);
    printf("QSortFilterProxyModel sort by name: %7.1f ms\n", Ms(t));
    t.restart();
    proxy.setFilterKeyColumn(COL_NAME);
    proxy.setFilterFixedString(QStringLiteral("holiday"));
    printf("QSortFilterProxyModel name filter:  %7.1f ms\n", Ms(t));
  }
  return 0;
}

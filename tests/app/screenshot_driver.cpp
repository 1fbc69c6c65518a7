// Drives the real main window on a live X display (tools/screenshots.sh runs
// it under Xvfb with a window manager) and saves a picture at each step: each
// page at the default size and maximised, the scan in progress, the results
// by folder, a PDF and a text preview, and the summary of a recovery in which
// some files could not be saved.
//   app_screenshots OUTDIR IMAGE DEST
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QTabWidget>
#include <QTableView>
#include <QThread>
#include <QTimer>
#include <QTreeWidget>
#include <atomic>
#include <cstdio>

#include "AppTestUtil.h"
#include "app/DRUI.h"
#include "app/Detail.h"
#include "app/ResultsPage.h"
#include "app/ScanUI.h"

namespace {

QString g_outDir;
bool g_ok = true;

// Lets the window draw (and the window manager place it); a still picture
// needs no more.
void Settle(int ms) {
  QElapsedTimer t;
  t.start();
  while (t.elapsed() < ms) QApplication::processEvents(QEventLoop::AllEvents, 20);
}

// The window with its frame and a small margin, or the whole screen.
void Shot(const char* name, QWidget* pWindow = nullptr) {
  QPixmap screen = QApplication::primaryScreen()->grabWindow(0);
  if (pWindow && !pWindow->isMaximized()) {
    QRect r = pWindow->frameGeometry().adjusted(-12, -12, 12, 12).intersected(screen.rect());
    screen = screen.copy(r);
  }
  QString path = g_outDir + "/" + name;
  bool ok = screen.save(path);
  fprintf(stderr, "%s %s\n", ok ? "saved" : "FAILED", qPrintable(path));
  g_ok &= ok;
}

void Maximised(QWidget& w, const char* name) {
  w.showMaximized();
  Settle(900);
  Shot(name, &w);
  w.showNormal();
  Settle(700);
}

int RowOfName(CResultModel* model, const QString& suffix) {
  for (int r = 0; r < model->rowCount(); ++r)
    if (model->index(r, COL_NAME).data().toString().endsWith(suffix, Qt::CaseInsensitive)) return r;
  return -1;
}

void PreviewRow(DRUI& w, int row) {
  CResultsPage* page = w.ResultsPage();
  page->Table()->selectRow(row);
  QElapsedTimer t;
  t.start();
  while ((w.PreviewBusy() || t.elapsed() < 300) && t.elapsed() < 10000) QApplication::processEvents(QEventLoop::AllEvents, 20);
  Settle(300);
}

}  // namespace

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  if (argc < 4) {
    fprintf(stderr, "usage: app_screenshots OUTDIR IMAGE DEST\n");
    return 2;
  }
  g_outDir = QString::fromLocal8Bit(argv[1]);
  QString image = QString::fromLocal8Bit(argv[2]);
  QString dest = QString::fromLocal8Bit(argv[3]);

  DRUI window;
  window.Init();
  window.show();
  QElapsedTimer t;
  t.start();
  while (!window.DiskListReady() && t.elapsed() < 20000) QApplication::processEvents(QEventLoop::AllEvents, 20);
  Settle(800);
  Shot("1-categories.png", &window);
  Maximised(window, "1-categories-maximised.png");

  window.btnStartSlot();
  QTreeWidgetItem* row = window.DiskRangeRow(0, 0);
  if (!row) {
    fprintf(stderr, "the image is not in the disk list\n");
    return 1;
  }
  window.findChild<QTreeWidget*>("diskTree")->setCurrentItem(row);
  Settle(500);
  Shot("2-disks.png", &window);
  Maximised(window, "2-disks-maximised.png");

  // A small image's scan is quick: its sector pass is slowed down on the
  // worker, so the progress dialog shows its speed and estimate, and is
  // pictured half-way.
  std::atomic<bool> scheduled{false};
  QObject::connect(
      &window, &DRUI::ScanProgressSignal, &window,
      [&](const SCAN_PROGRESS& p) {
        if (p.ePhase != SCAN_PROGRESS::PHASE_DEEP || p.u64SectorsTotal == 0) return;
        u64 pct = p.u64SectorsDone * 100 / p.u64SectorsTotal;
        if (pct >= 5 && pct < 60) QThread::msleep(40);
        if (pct >= 45 && !scheduled.exchange(true)) {
          QMetaObject::invokeMethod(qApp, [&window] { Shot("3-scanning.png", &window); }, Qt::QueuedConnection);
          QThread::msleep(1000);
        }
      },
      Qt::DirectConnection);
  for (QPushButton* b : window.findChildren<QPushButton*>())
    if (b->property("role").toString() == "scan") b->click();
  Settle(500);
  if (window.CurrentPage() != 2) {
    fprintf(stderr, "no results page\n");
    return 1;
  }
  CResultsPage* page = window.ResultsPage();
  CResultModel* model = page->Model();
  // Photos checked, a photo previewed.
  QTreeWidget* types = page->TypeTree();
  for (int i = 0; i < types->topLevelItemCount(); ++i)
    if (types->topLevelItem(i)->text(0).startsWith("Photos")) {
      types->setCurrentItem(types->topLevelItem(i));
      types->topLevelItem(i)->setCheckState(0, Qt::Checked);
      types->topLevelItem(i)->setExpanded(true);
    }
  Settle(300);
  int jpg = RowOfName(model, ".jpg");
  if (jpg >= 0) PreviewRow(window, jpg);
  Shot("4-results.png", &window);
  window.showMaximized();
  Settle(900);
  if (jpg >= 0) PreviewRow(window, jpg);
  Shot("4-results-maximised.png", &window);
  window.showNormal();
  Settle(700);

  // By folder, everything listed with its columns.
  page->ShowTreeView(1);
  QTreeWidget* folders = page->FolderTree();
  folders->setCurrentItem(folders->topLevelItem(0));
  for (int i = 0; i < folders->topLevelItemCount(); ++i) folders->topLevelItem(i)->setExpanded(true);
  Settle(400);
  Shot("5-results-by-folder.png", &window);

  int pdf = RowOfName(model, ".pdf");
  if (pdf >= 0) {
    PreviewRow(window, pdf);
    Shot("6-preview-pdf.png", &window);
  }
  int txt = RowOfName(model, "hopping list.txt");
  if (txt < 0) txt = RowOfName(model, ".txt");
  if (txt >= 0) {
    PreviewRow(window, txt);
    Shot("7-preview-text.png", &window);
  }

  // A recovery where the photo folder cannot be made: a file stands there.
  FILE* block = fopen((dest + "/photo").toLocal8Bit().constData(), "w");
  if (block) fclose(block);
  model->CheckListed(CResultModel::CHECK_ALL);
  window.SetFolderChooser([dest] { return dest; });
  bool summaryShot = false;
  CModalDriver finished("progressDialog", [&](QWidget* w) {
    auto* d = static_cast<SCANUI*>(w);
    if (!d->IsFinished()) return false;
    Settle(500);
    Shot("8-recovery-summary.png", &window);
    d->btnDetailSlot();
    Settle(600);
    Shot("9-recovery-details.png", &window);
    if (d->GetDetail()) d->GetDetail()->close();
    summaryShot = true;
    d->GetCancelButton()->click();
    return true;
  });
  window.btnRecovery();
  g_ok &= summaryShot;
  return g_ok ? 0 : 1;
}

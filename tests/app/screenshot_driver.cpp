// Drives the real main window through its three pages on a live X display
// (tools/screenshots.sh runs it under Xvfb) and saves a picture of the
// screen at each step: categories, disks, scan progress, results with a
// preview, and the recovery result.
#include <QApplication>
#include <QElapsedTimer>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QTableWidget>
#include <QTimer>
#include <QTreeWidget>
#include <cstdio>
#include <cstring>

#include "AppTestUtil.h"
#include "app/DRUI.h"
#include "app/Detail.h"
#include "app/ScanUI.h"

namespace {

QString g_outDir;

void Settle(int ms) {
  QElapsedTimer t;
  t.start();
  while (t.elapsed() < ms) QApplication::processEvents(QEventLoop::AllEvents, 20);
}

bool Shot(const char* name) {
  QPixmap screen = QApplication::primaryScreen()->grabWindow(0);
  QString path = g_outDir + "/" + name;
  bool ok = screen.save(path);
  fprintf(stderr, "%s %s\n", ok ? "saved" : "FAILED", qPrintable(path));
  return ok;
}

QTreeWidgetItem* TopRow(QTreeWidget* tree, const QString& prefix) {
  for (int i = 0; i < tree->topLevelItemCount(); ++i)
    if (tree->topLevelItem(i)->text(0).startsWith(prefix)) return tree->topLevelItem(i);
  return nullptr;
}

}  // namespace

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  if (argc < 3) {
    fprintf(stderr, "usage: app_screenshots OUTDIR IMAGE [DEST]\n");
    return 2;
  }
  g_outDir = QString::fromLocal8Bit(argv[1]);
  QString image = QString::fromLocal8Bit(argv[2]);
  QString dest = argc > 3 ? QString::fromLocal8Bit(argv[3]) : QString();
  bool ok = true;

  DRUI window;
  window.Init();
  int disk = window.AddImage(image);
  if (disk < 0) {
    fprintf(stderr, "cannot add %s\n", qPrintable(image));
    return 1;
  }
  window.show();
  Settle(600);
  ok &= Shot("1-categories.png");

  window.btnSlot();
  QTreeWidget* disks = window.findChild<QTreeWidget*>("diskTree");
  QTreeWidgetItem* top = TopRow(disks, QStringLiteral("Physical Driver %1").arg(disk));
  if (!top || top->childCount() == 0) {
    fprintf(stderr, "the image is not in the disk list\n");
    return 1;
  }
  disks->setCurrentItem(top->child(0));
  Settle(400);
  ok &= Shot("2-disks.png");

  // The scan of a small image is quick: picture its dialog as soon as it is up.
  bool scanShot = false;
  CModalDriver during("progressDialog", [&](QWidget*) {
    if (scanShot || SCANUI::m_nOprType != OPERATION_SCAN) return false;
    Settle(150);
    scanShot = Shot("3-scanning.png");
    return true;
  });
  window.btnSlotScan();
  Settle(300);

  QTreeWidget* tree = window.findChild<QTreeWidget*>("resultTree");
  QTableWidget* table = window.findChild<QTableWidget*>("fileTable");
  QTreeWidgetItem* photo = tree ? TopRow(tree, "Photo(") : nullptr;
  if (!photo) {
    fprintf(stderr, "no results page\n");
    return 1;
  }
  photo->setCheckState(0, Qt::Checked);
  window.treeItemClick(photo, 0);
  tree->setCurrentItem(photo);
  photo->setExpanded(true);
  if (QTreeWidgetItem* office = TopRow(tree, "Office(")) office->setExpanded(true);
  for (int r = 0; r < table->rowCount(); ++r) {
    if (table->item(r, 0)->text().endsWith(".jpg", Qt::CaseInsensitive)) {
      table->selectRow(r);
      window.tableItemClick(table->item(r, 0));
      break;
    }
  }
  Settle(400);
  ok &= Shot("4-results.png");

  if (!dest.isEmpty()) {
    window.SetFolderChooser([dest] { return dest; });
    bool recoveryShot = false;
    CModalDriver finished("progressDialog", [&](QWidget* w) {
      auto* d = static_cast<SCANUI*>(w);
      if (!d->IsFinished()) return false;
      d->btnDetailSlot();
      Settle(400);
      recoveryShot = Shot("5-recovered.png");
      if (d->GetDetail()) d->GetDetail()->close();
      d->GetCancelButton()->click();
      return true;
    });
    window.btnRecovery();
    ok &= recoveryShot;
  }
  ok &= scanShot;
  return ok ? 0 : 1;
}

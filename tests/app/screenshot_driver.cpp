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
#include "scan/ProfessionalRecovery.h"
#include "scan/FileRecoveryFactory.h"
#include <QThread>

namespace {

QString g_outDir;

// Forwards to the real engine; holds the sector pass for a moment once, so
// the progress dialog of a small image's scan can be pictured.
class CSlowScan : public IFileRecoveryParse {
 public:
  explicit CSlowScan(IFileRecoveryParse* p) : m_p(p) {}
  ~CSlowScan() override { delete m_p; }
  int Init(int a, i64 b, i64 c, wchar_t d) override { return m_p->Init(a, b, c, d); }
  int Init(wchar_t* a, wchar_t b) override { return m_p->Init(a, b); }
  int InitCallBack(SCAN_PROGRESS_CALLBACK s, RECOVERY_CALLBACK r, void* param, int n) override {
    m_scan = s;
    m_recovery = r;
    m_param = param;
    return m_p->InitCallBack(&CSlowScan::Scan, &CSlowScan::Recovery, this, n);
  }
  int ScanDevice(wchar_t* a) override { return m_p->ScanDevice(a); }
  int GetChildrenFileNode(_FILE_NODE_* a, unsigned b, FILE_NODE_VECTOR& c) override {
    return m_p->GetChildrenFileNode(a, b, c);
  }
  int GetChildrenFileCount(_FILE_NODE_* a, unsigned b, unsigned& c) override {
    return m_p->GetChildrenFileCount(a, b, c);
  }
  int GetLostFileCount() override { return m_p->GetLostFileCount(); }
  int GetFileNodeParentDirPath(_FILE_NODE_* a, wchar_t* b, int c) override {
    return m_p->GetFileNodeParentDirPath(a, b, c);
  }
  int SaveFileData(_FILE_NODE_* a, wchar_t* b, int c) override { return m_p->SaveFileData(a, b, c); }
  int GetUnUsedSectorCount(u64& a, u64& b) override { return m_p->GetUnUsedSectorCount(a, b); }
  int InitSearchCallBack(SEARCH_CALLBACK a, void* b) override { return m_p->InitSearchCallBack(a, b); }
  int SearchFileNode(wchar_t* a, SEARCH_FILE_INFO_VECTOR& b) override { return m_p->SearchFileNode(a, b); }
  int BuildBitMapInfo() override { return m_p->BuildBitMapInfo(); }
  int PreView(_FILE_NODE_* a, wchar_t* b, unsigned char* c, int& d, PREVIEW_CALLBACK e, void* f) override {
    return m_p->PreView(a, b, c, d, e, f);
  }

 private:
  static int Scan(void* param, int nProgress, int nPercent, int nRemain, u64 cur, u64 count, u64 found,
                  wchar_t* name) {
    auto* self = static_cast<CSlowScan*>(param);
    int r = self->m_scan(self->m_param, nProgress, nPercent, nRemain, cur, count, found, name);
    if (nPercent == 90 && nProgress >= 40 && !self->m_bHeld) {
      self->m_bHeld = true;
      QThread::msleep(1500);
    }
    return r;
  }
  static int Recovery(void* param, int nProgress, int nPercent, int nError, wchar_t* name) {
    auto* self = static_cast<CSlowScan*>(param);
    return self->m_recovery(self->m_param, nProgress, nPercent, nError, name);
  }
  IFileRecoveryParse* m_p;
  SCAN_PROGRESS_CALLBACK m_scan = nullptr;
  RECOVERY_CALLBACK m_recovery = nullptr;
  void* m_param = nullptr;
  bool m_bHeld = false;
};

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

  // The scan of a small image is quick: it is held for a moment in its
  // sector pass, and the dialog is pictured then.
  window.SetEngineMaker([](const _PARTITION_ITEM_& item) -> IFileRecoveryParse* {
    IFileRecoveryParse* real = CFileRecoveryFactory::GetInstance()->CreateFileRecoveryInstance(
        item.nDiskNo, static_cast<i64>(item.u64StartSector),
        static_cast<i64>(item.u64EndSector - item.u64StartSector + 1), 67, RECOVERY_TYPE_PROFESSIONAL);
    if (auto* deep = dynamic_cast<CProfessionalRecovery*>(real)) deep->SetNotLoadLogFile();
    return real ? new CSlowScan(real) : nullptr;
  });
  bool scanShot = false;
  QObject::connect(&window, &DRUI::ScanProcessCallBack, &window,
                   [&](int nProgress, int nPercent, int, QString, QString, QString, QString) {
                     if (scanShot || nPercent != 90 || nProgress < 40) return;
                     scanShot = true;
                     QTimer::singleShot(700, [&] { scanShot = Shot("3-scanning.png"); });
                   },
                   Qt::QueuedConnection);
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

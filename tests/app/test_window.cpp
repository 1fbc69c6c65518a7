// The main window driven end to end: the disk tree of the builder's MBR disk,
// a deep scan of its FAT partition on the worker behind the progress dialog,
// the result tree and table, selection, preview and recovery; then recovery
// failures and cancellation with a scripted engine.
#include <sys/stat.h>
#include <unistd.h>

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>
#include <QThread>
#include <QTreeWidget>
#include <map>
#include <set>

#include "AppTestUtil.h"
#include "app/DRUI.h"
#include "app/Detail.h"
#include "app/FileCategory.h"
#include "app/MessageBox.h"
#include "app/ScanUI.h"
#include "engine/Categories.h"
#include "engine/DiskMap.h"
#include "scan/FileRecoveryFactory.h"
#include "engine/TextUtil.h"
#include "store/LogFileManager.h"
#include "tests/support/TestFiles.h"
#include "tests/support/TestImages.h"

namespace {

QTreeWidgetItem* TreeRow(QTreeWidget* tree, const QString& prefix) {
  for (int i = 0; i < tree->topLevelItemCount(); ++i)
    if (tree->topLevelItem(i)->text(0).startsWith(prefix)) return tree->topLevelItem(i);
  return nullptr;
}

QTreeWidgetItem* ChildRow(QTreeWidgetItem* top, const QString& prefix) {
  for (int i = 0; top && i < top->childCount(); ++i)
    if (top->child(i)->text(0).startsWith(prefix)) return top->child(i);
  return nullptr;
}

int CountInText(const QString& text) {
  int open = text.lastIndexOf('('), close = text.lastIndexOf(')');
  return text.mid(open + 1, close - open - 1).toInt();
}

// Clicks a tree row's check box the way a user does: the state flips, then
// the click handler runs.
void ToggleTreeRow(DRUI& w, QTreeWidgetItem* item) {
  item->setCheckState(0, item->checkState(0) == Qt::Checked ? Qt::Unchecked : Qt::Checked);
  w.treeItemClick(item, 0);
}

// Ends a recovery's dialog once it says "Finished", keeping the detail counts.
struct RecoveryWatcher {
  int nSuccess = -1, nFailed = -1;
  QStringList failedNames;
  CModalDriver driver;
  RecoveryWatcher()
      : driver("progressDialog", [this](QWidget* w) {
          auto* d = static_cast<SCANUI*>(w);
          if (!d->IsFinished() || !d->GetDetail()) return false;
          nSuccess = d->GetDetail()->GetSuccessCount();
          nFailed = d->GetDetail()->GetFailedCount();
          QTableWidget* t = d->GetDetail()->GetTable();
          for (int r = 0; r < t->rowCount(); ++r)
            if (t->item(r, 1)->text() == "Failed") failedNames << t->item(r, 0)->text();
          d->GetCancelButton()->click();
          return true;
        }) {}
};

}  // namespace

class TestWindow : public QObject {
  Q_OBJECT
 private slots:
  void initTestCase();
  void diskTreeListsMbrPartitions();
  void scanOfFatPartitionEndsOnResults();
  void checkingCategorySelectsItsFiles();
  void previewShowsPictureAndText();
  void previewOfDeletedTextShowsItsText();
  void recoveryWritesSelectedFiles();
  void recoveryCountsFailures();
  void recoveryOntoScannedDiskAsksForAnotherFolder();
  void cancelledRecoveryStopsAtCurrentFile();
  void recoveredFilesBelongToInvokingUser();
  void widePicturesAreScaledToThePreviewArea();
  void imageWithoutTableIsListedWhole();

 private:
  std::string m_strImage;
  testimg::Manifest m_manifest;
  testimg::ManifestPartition m_fat;
  DRUI* m_pWindow = nullptr;
  QThread* m_pEngineThread = nullptr;
  int m_nMakerCalls = 0;
  bool m_bScanned = false;
};

void TestWindow::initTestCase() {
  m_strImage = testimg::ImagePath("mbr.img");
  if (access(m_strImage.c_str(), R_OK) != 0) QSKIP("mbr.img has not been built");
  m_manifest = testimg::LoadManifest("mbr.img");
  bool found = false;
  for (const auto& p : m_manifest.partitions)
    if (p.index == 1) {
      m_fat = p;
      found = true;
    }
  QVERIFY(found);
  QVERIFY(m_fat.fs.rfind("fat", 0) == 0);
  setenv("TORVANE_DISKS", m_strImage.c_str(), 1);
  // A support folder that does not exist yet: the window creates it.
  std::string support = testfiles::FreshDir("app-window-support") + "/Torvane Recovery";
  setenv("TORVANE_SUPPORT_DIR", support.c_str(), 1);
  CLogFileManager::GetInstance()->Reload();

  m_pWindow = new DRUI;
  m_pWindow->Init();
  m_pWindow->SetEngineMaker([this](const _PARTITION_ITEM_& item) -> IFileRecoveryParse* {
    m_pEngineThread = QThread::currentThread();
    ++m_nMakerCalls;
    return CFileRecoveryFactory::GetInstance()->CreateFileRecoveryInstance(
        item.nDiskNo, static_cast<i64>(item.u64StartSector),
        static_cast<i64>(item.u64EndSector - item.u64StartSector + 1), 67, RECOVERY_TYPE_PROFESSIONAL);
  });
  m_pWindow->show();
  struct stat st;
  for (const std::string& dir : {support, support + "/ScanLog"}) {
    QVERIFY(stat(dir.c_str(), &st) == 0);
    QVERIFY(S_ISDIR(st.st_mode));
    QCOMPARE(st.st_mode & 07777, mode_t(0700));
  }
}

void TestWindow::diskTreeListsMbrPartitions() {
  QTreeWidget* tree = m_pWindow->findChild<QTreeWidget*>("diskTree");
  QVERIFY(tree);
  QCOMPARE(tree->topLevelItemCount(), 1);
  QTreeWidgetItem* disk = tree->topLevelItem(0);
  QCOMPARE(disk->text(0), QStringLiteral("Physical Driver 0"));
  std::vector<testimg::ManifestPartition> expected;
  for (const auto& p : m_manifest.partitions)
    if (p.fs != "extended") expected.push_back(p);
  QCOMPARE(disk->childCount(), static_cast<int>(expected.size()));
  for (size_t i = 0; i < expected.size(); ++i) {
    QTreeWidgetItem* row = disk->child(static_cast<int>(i));
    auto item = row->data(0, Qt::UserRole).value<_PARTITION_ITEM_>();
    QCOMPARE(item.u64StartSector, expected[i].firstSector);
    QCOMPARE(item.u64EndSector, expected[i].lastSector);
    QCOMPARE(item.nDiskNo, 0);
    QCOMPARE(row->text(0), QStringLiteral("Partition %1").arg(i + 1));
    u64 bytes = (expected[i].lastSector - expected[i].firstSector + 1) * 512;
    QCOMPARE(row->text(1), QString::fromStdString(GetFileSizeString(static_cast<i64>(bytes))));
  }
  // A disk row does not start a scan, a partition row does.
  QPushButton* scan = nullptr;
  for (QPushButton* b : m_pWindow->findChildren<QPushButton*>())
    if (b->property("role").toString() == "scan") scan = b;
  QVERIFY(scan);
  m_pWindow->diskItemClick(disk, 0);
  QVERIFY(!scan->isEnabled());
  int calls = m_nMakerCalls;
  m_pWindow->diskItemDoubleClick(disk, 0);
  QCOMPARE(m_nMakerCalls, calls);
  m_pWindow->diskItemClick(disk->child(0), 0);
  QVERIFY(scan->isEnabled());
}

void TestWindow::scanOfFatPartitionEndsOnResults() {
  QTreeWidget* tree = m_pWindow->findChild<QTreeWidget*>("diskTree");
  QTreeWidgetItem* row = nullptr;
  for (int i = 0; i < tree->topLevelItem(0)->childCount(); ++i) {
    QTreeWidgetItem* r = tree->topLevelItem(0)->child(i);
    if (r->data(0, Qt::UserRole).value<_PARTITION_ITEM_>().u64StartSector == m_fat.firstSector) row = r;
  }
  QVERIFY(row);
  tree->setCurrentItem(row);
  m_pWindow->btnSlot();

  // Every report reaches the GUI thread while the modal progress dialog is
  // up; the engine itself was made and run on the worker.
  int reports = 0, reportsWithDialog = 0, maxBar = -1;
  QMetaObject::Connection c = connect(
      m_pWindow, &DRUI::ScanProcessCallBack, this,
      [&](int nProgress, int nPercent, int, QString, QString, QString, QString) {
        ++reports;
        QWidget* modal = QApplication::activeModalWidget();
        if (modal && modal->objectName() == "progressDialog" && QThread::currentThread() == qApp->thread())
          ++reportsWithDialog;
        maxBar = std::max(maxBar, nProgress * nPercent / 100);
      },
      Qt::QueuedConnection);
  m_pWindow->btnSlotScan();
  disconnect(c);
  bool sawDialog = reports > 0 && reportsWithDialog == reports;
  QVERIFY(maxBar == 100);
  QVERIFY(sawDialog);
  QVERIFY(m_pEngineThread != nullptr);
  QVERIFY(m_pEngineThread != QThread::currentThread());
  QCOMPARE(m_pWindow->GetLastScanResult(), 0);
  QCOMPARE(m_pWindow->CurrentPage(), 2);
  QVERIFY(m_pWindow->GetEngine() != nullptr);
  QCOMPARE(m_pWindow->GetPartitionItem().u64StartSector, m_fat.firstSector);

  const auto& results = m_pWindow->GetSearchResults();
  QVERIFY(results.size() > 0);
  QLabel* heading = m_pWindow->findChild<QLabel*>("resultHeading");
  QVERIFY(heading);
  QVERIFY2(heading->text().contains(QStringLiteral("\nFound %1 recoverable files after the scan.").arg(results.size())),
           qPrintable(heading->text()));

  // The tree's counts match the hits, classified independently here.
  int expected[6] = {0, 0, 0, 0, 0, 0};
  for (const auto& hit : results) {
    std::string name(hit.szFileName, strnlen(hit.szFileName, 256));
    if (name.empty()) continue;
    size_t dot = name.rfind('.');
    int cat = (dot == std::string::npos || dot + 1 == name.size()) ? 5 : category::OfExtension(name.substr(dot + 1));
    ++expected[cat];
  }
  QTreeWidget* resultTree = m_pWindow->findChild<QTreeWidget*>("resultTree");
  const char* names[6] = {"Photo(", "Music(", "Office(", "Video(", "Archive(", "Other("};
  for (int c = 0; c < 6; ++c) {
    QTreeWidgetItem* top = TreeRow(resultTree, names[c]);
    QVERIFY(top);
    QCOMPARE(CountInText(top->text(0)), expected[c]);
    int sum = 0;
    for (int k = 0; k < top->childCount(); ++k) sum += CountInText(top->child(k)->text(0));
    QCOMPARE(sum, expected[c]);
  }
  QString listed;
  for (const auto& hit : results) listed += QString::fromUtf8(hit.szFileName) + QStringLiteral(" ");
  // The partition's deleted photos and documents are all there.
  int deleted[6] = {0, 0, 0, 0, 0, 0};
  for (const auto& f : m_manifest.files)
    if (f.partition == 1 && f.state == "deleted") ++deleted[category::OfExtension(f.type)];
  QVERIFY(deleted[0] >= 2 && deleted[2] >= 2);
  QVERIFY2(expected[0] >= deleted[0], qPrintable(listed));
  QVERIFY2(expected[2] >= deleted[2], qPrintable(listed));
  QVERIFY(ChildRow(TreeRow(resultTree, "Photo("), "jpg Files ("));
  QCOMPARE(m_pWindow->findChild<QLabel*>("selectionLabel")->text(), QStringLiteral("Select 0 Bytes in 0 file"));
  m_bScanned = true;
}

void TestWindow::checkingCategorySelectsItsFiles() {
  if (!m_bScanned) QSKIP("needs the scan");
  QTreeWidget* tree = m_pWindow->findChild<QTreeWidget*>("resultTree");
  QTableWidget* table = m_pWindow->findChild<QTableWidget*>("fileTable");
  QLabel* label = m_pWindow->findChild<QLabel*>("selectionLabel");
  QTreeWidgetItem* photo = TreeRow(tree, "Photo(");
  int nPhotos = CountInText(photo->text(0));

  ToggleTreeRow(*m_pWindow, photo);
  QCOMPARE(static_cast<int>(m_pWindow->GetSelection().size()), nPhotos);
  u64 bytes = 0;
  for (const auto& e : m_pWindow->GetSelection()) {
    bytes += e.second.u64FileSize;
    QCOMPARE(QString(GetDirTypeByFileName(e.second.szFileName)), QStringLiteral("photo"));
  }
  QCOMPARE(label->text(), SelectionLabelText(bytes, nPhotos));
  QVERIFY(label->text().endsWith(QStringLiteral(" in %1 files").arg(nPhotos)));
  QCOMPARE(table->rowCount(), nPhotos);
  for (int r = 0; r < table->rowCount(); ++r) QCOMPARE(table->item(r, 0)->checkState(), Qt::Checked);
  for (int k = 0; k < photo->childCount(); ++k) QCOMPARE(photo->child(k)->checkState(0), Qt::Checked);

  // Unchecking one file leaves its extension row and the category partial,
  // and clicking the category row's name keeps the other picks.
  table->item(0, 0)->setCheckState(Qt::Unchecked);
  QCOMPARE(static_cast<int>(m_pWindow->GetSelection().size()), nPhotos - 1);
  QCOMPARE(photo->checkState(0), Qt::PartiallyChecked);
  m_pWindow->treeItemClick(photo, 0);
  QCOMPARE(static_cast<int>(m_pWindow->GetSelection().size()), nPhotos - 1);
  QCOMPARE(table->item(0, 0)->checkState(), Qt::Unchecked);
  if (nPhotos - 1 == 1) QVERIFY(label->text().endsWith(" in 1 file"));

  // Unchecking the category empties the selection and disables "Recover".
  photo->setCheckState(0, Qt::Unchecked);
  m_pWindow->treeItemClick(photo, 0);
  QVERIFY(m_pWindow->GetSelection().empty());
  QCOMPARE(label->text(), QStringLiteral("Select 0 Bytes in 0 file"));
  QPushButton* recover = nullptr;
  for (QPushButton* b : m_pWindow->findChildren<QPushButton*>())
    if (b->property("role").toString() == "recover") recover = b;
  QVERIFY(recover && !recover->isEnabled());

  // One file checked in the table: singular label.
  QTreeWidgetItem* jpg = ChildRow(photo, "jpg Files (");
  m_pWindow->treeItemClick(jpg, 0);
  table->item(0, 0)->setCheckState(Qt::Checked);
  QCOMPARE(static_cast<int>(m_pWindow->GetSelection().size()), 1);
  QVERIFY(label->text().endsWith(" in 1 file"));
  QVERIFY(recover->isEnabled());
  table->item(0, 0)->setCheckState(Qt::Unchecked);
  QVERIFY(m_pWindow->GetSelection().empty());
}

void TestWindow::previewShowsPictureAndText() {
  if (!m_bScanned) QSKIP("needs the scan");
  QTreeWidget* tree = m_pWindow->findChild<QTreeWidget*>("resultTree");
  QTableWidget* table = m_pWindow->findChild<QTableWidget*>("fileTable");

  // A JPEG found on the partition shows as a picture that fits the area.
  QTreeWidgetItem* jpg = ChildRow(TreeRow(tree, "Photo("), "jpg Files (");
  QVERIFY(jpg);
  m_pWindow->treeItemClick(jpg, 0);
  QVERIFY(table->rowCount() >= 1);
  for (int r = 0; r < table->rowCount(); ++r) {
    m_pWindow->tableItemClick(table->item(r, 0));
    QVERIFY2(m_pWindow->IsPreviewPicture(), qPrintable(table->item(r, 0)->text()));
    QVERIFY(m_pWindow->PreviewPictureSize().width() > 0);
    QVERIFY(m_pWindow->PreviewPictureSize().width() <= 700);
  }
}

void TestWindow::previewOfDeletedTextShowsItsText() {
  // The demo image has a deleted text file; scan it in a window of its own.
  std::string demo = testimg::ImagePath("demo.img");
  if (access(demo.c_str(), R_OK) != 0) QSKIP("demo.img has not been built");
  testimg::Manifest manifest = testimg::LoadManifest("demo.img");
  const testimg::ManifestFile* notes = nullptr;
  for (const auto& f : manifest.files)
    if (f.type == "txt" && f.state == "deleted") notes = &f;
  QVERIFY(notes);
  DRUI window;
  window.Init();
  int n = window.AddImage(QString::fromStdString(demo));
  QVERIFY(n >= 0);
  QTreeWidget* disks = window.findChild<QTreeWidget*>("diskTree");
  QTreeWidgetItem* disk = TreeRow(disks, QStringLiteral("Physical Driver %1").arg(n));
  QVERIFY(disk && disk->childCount() == 1);
  disks->setCurrentItem(disk->child(0));
  window.btnSlotScan();
  QCOMPARE(window.CurrentPage(), 2);
  QTreeWidget* tree = window.findChild<QTreeWidget*>("resultTree");
  QTableWidget* table = window.findChild<QTableWidget*>("fileTable");
  QTreeWidgetItem* txt = ChildRow(TreeRow(tree, "Office("), "txt Files (");
  QVERIFY(txt);
  window.treeItemClick(txt, 0);
  QVERIFY(table->rowCount() >= 1);
  int row = -1;
  for (int r = 0; r < table->rowCount(); ++r)
    if (table->item(r, 0)->text().endsWith(QString::fromStdString(notes->name).mid(1))) row = r;
  QVERIFY2(row >= 0, notes->name.c_str());
  window.tableItemClick(table->item(row, 0));
  QVERIFY(!window.IsPreviewPicture());
  std::vector<unsigned char> sample = testfiles::ReadAll(notes->samplePath);
  QVERIFY(sample.size() > 20);
  QString firstWords = QString::fromUtf8(reinterpret_cast<const char*>(sample.data()), 20);
  QVERIFY2(window.PreviewText().startsWith(firstWords), qPrintable(window.PreviewText().left(60)));
}

void TestWindow::recoveryWritesSelectedFiles() {
  if (!m_bScanned) QSKIP("needs the scan");
  QTreeWidget* tree = m_pWindow->findChild<QTreeWidget*>("resultTree");
  for (const char* cat : {"Photo(", "Office("}) {
    QTreeWidgetItem* row = TreeRow(tree, cat);
    if (row->checkState(0) != Qt::Checked) ToggleTreeRow(*m_pWindow, row);
  }
  std::map<SELECT_KEY, _FILE_NODE_> selection = m_pWindow->GetSelection();
  QVERIFY(selection.size() >= 5);
  std::string dest = FreshDestination("recover");
  QVERIFY(!dest.empty());
  m_pWindow->SetFolderChooser([dest] { return QString::fromStdString(dest); });
  RecoveryWatcher watch;
  m_pWindow->btnRecovery();
  QVERIFY(watch.driver.Done());
  QCOMPARE(watch.nSuccess, static_cast<int>(selection.size()));
  QCOMPARE(watch.nFailed, 0);

  // Every selected file is in its category folder; names that came twice
  // got a free name.
  std::multiset<std::string> hashes;
  size_t files = 0;
  for (const char* folder : {"photo", "document", "archive"}) {
    std::string dir = dest + "/" + folder;
    std::string out;
    testfiles::Run("ls -1 '" + dir + "' 2>/dev/null", &out);
    QStringList names = QString::fromStdString(out).split('\n', Qt::SkipEmptyParts);
    for (const QString& n : names) {
      std::string path = dir + "/" + n.toStdString();
      hashes.insert(testimg::Sha256File(path));
      ++files;
      struct stat st;
      QVERIFY(stat(path.c_str(), &st) == 0);
      QVERIFY(S_ISREG(st.st_mode));
    }
  }
  QCOMPARE(files, selection.size());
  // The deleted photos and documents of the partition come back intact.
  int checked = 0;
  for (const auto& f : m_manifest.files) {
    if (f.partition != 1 || f.state != "deleted") continue;
    std::string folder = GetDirTypeByFileName(("x." + f.type).c_str());
    if (folder != "photo" && folder != "document") continue;
    ++checked;
    QVERIFY2(hashes.count(f.sha256) > 0, f.Path().c_str());
  }
  QVERIFY(checked >= 4);
  testimg::RemoveTree(dest);
}

void TestWindow::recoveryCountsFailures() {
  if (!m_bScanned) QSKIP("needs the scan");
  size_t photos = 0, others = 0;
  for (const auto& e : m_pWindow->GetSelection())
    (std::string(GetDirTypeByFileName(e.second.szFileName)) == "photo" ? photos : others)++;
  QVERIFY(photos > 0 && others > 0);
  // "photo" is taken by a plain file: every photo fails, the rest succeed.
  std::string dest = FreshDestination("fail");
  QVERIFY(testfiles::WriteAll(dest + "/photo", "x", 1));
  m_pWindow->SetFolderChooser([dest] { return QString::fromStdString(dest); });
  RecoveryWatcher watch;
  m_pWindow->btnRecovery();
  QVERIFY(watch.driver.Done());
  QCOMPARE(watch.nFailed, static_cast<int>(photos));
  QCOMPARE(watch.nSuccess, static_cast<int>(others));
  for (const QString& n : watch.failedNames) QVERIFY2(n.contains("/photo/"), qPrintable(n));
  testimg::RemoveTree(dest);
}

void TestWindow::recoveryOntoScannedDiskAsksForAnotherFolder() {
  if (!m_bScanned) QSKIP("needs the scan");
  std::string beside = testimg::MakeTempDir("app-beside");
  std::string imageDir = m_strImage.substr(0, m_strImage.rfind('/'));
  struct stat a, b;
  QVERIFY(stat(beside.c_str(), &a) == 0 && stat(imageDir.c_str(), &b) == 0);
  if (a.st_dev != b.st_dev) QSKIP("/tmp is not on the image's file system");
  std::string good = FreshDestination("second-choice");
  int asked = 0;
  m_pWindow->SetFolderChooser([&] { return QString::fromStdString(++asked == 1 ? beside : good); });
  QString question;
  CModalDriver yes("sameDeviceQuestion", [&question](QWidget* w) {
    question = static_cast<CMessageBox*>(w)->GetText();
    w->findChild<QPushButton*>("yesButton")->click();
    return true;
  });
  RecoveryWatcher watch;
  m_pWindow->btnRecovery();
  QVERIFY(yes.Done());
  QVERIFY(question.contains("disk being scanned"));
  QCOMPARE(asked, 2);
  QVERIFY(watch.driver.Done());
  std::string out;
  testfiles::Run("ls -A '" + beside + "'", &out);
  QCOMPARE(QString::fromStdString(out), QString());  // nothing written beside the image
  QVERIFY(access((good + "/photo").c_str(), F_OK) == 0);

  // "No" cancels without writing anywhere.
  asked = 0;
  m_pWindow->SetFolderChooser([&] { ++asked; return QString::fromStdString(beside); });
  CModalDriver no("sameDeviceQuestion", [](QWidget* w) {
    w->findChild<QPushButton*>("noButton")->click();
    return true;
  });
  m_pWindow->btnRecovery();
  QVERIFY(no.Done());
  QCOMPARE(asked, 1);
  testfiles::Run("ls -A '" + beside + "'", &out);
  QCOMPARE(QString::fromStdString(out), QString());
  testimg::RemoveTree(beside);
  testimg::RemoveTree(good);
}

void TestWindow::cancelledRecoveryStopsAtCurrentFile() {
  DRUI window;
  window.Init();
  std::vector<__SEARCH_FILE_INFO__> hits = {MakeHit("a.jpg", 1, 50), MakeHit("b.jpg", 2, 50), MakeHit("c.pdf", 3, 50),
                                            MakeHit("d.txt", 4, 50)};
  CScriptedEngine* engine = new CScriptedEngine(hits);  // the window owns it
  engine->m_nStepMs = 40;                                // 2 s a file: time to cancel inside the first
  window.SetEngineMaker([engine](const _PARTITION_ITEM_&) { return engine; });
  _PARTITION_ITEM_ item;
  memset(&item, 0, sizeof(item));
  window.ScanPartition(item);
  QCOMPARE(window.CurrentPage(), 2);
  QCOMPARE(window.GetSearchResults().size(), size_t(4));
  QTreeWidget* tree = window.findChild<QTreeWidget*>("resultTree");
  ToggleTreeRow(window, TreeRow(tree, "Photo("));
  ToggleTreeRow(window, TreeRow(tree, "Office("));
  QCOMPARE(window.GetSelection().size(), size_t(4));

  std::string dest = FreshDestination("cancel");
  window.SetFolderChooser([dest] { return QString::fromStdString(dest); });
  // Cancel once the first file is under way, and say yes to the question.
  CModalDriver cancel("progressDialog", [engine](QWidget* w) {
    if (engine->m_nSaveCalls < 1) return false;
    static_cast<SCANUI*>(w)->GetCancelButton()->click();
    return true;
  });
  CModalDriver yes("cancelQuestion", [](QWidget* w) {
    w->findChild<QPushButton*>("yesButton")->click();
    return true;
  });
  window.btnRecovery();
  QVERIFY(cancel.Done());
  QVERIFY(yes.Done());
  QCOMPARE(engine->m_nSaveCalls.load(), 1);
  QCOMPARE(engine->m_nCancelledSaves.load(), 1);
  QVERIFY(window.GetFlags(OPERATION_RECOVERY).bDone);
  // The half-written file is not left behind as if it were recovered.
  QCOMPARE(engine->m_vecSavedPaths.size(), size_t(1));
  QVERIFY(access(engine->m_vecSavedPaths[0].c_str(), F_OK) != 0);
  std::string out;
  testfiles::Run("find '" + dest + "' -type f", &out);
  QCOMPARE(QString::fromStdString(out), QString());

  // The same run without a cancel saves all four, each in its folder, and
  // two files of the same name and category get distinct names.
  engine->m_nStepMs = 0;
  RecoveryWatcher watch;
  window.btnRecovery();
  QVERIFY(watch.driver.Done());
  QCOMPARE(watch.nSuccess, 4);
  QCOMPARE(engine->m_nSaveCalls.load(), 5);
  for (const char* p : {"/photo/a.jpg", "/photo/b.jpg", "/document/c.pdf", "/document/d.txt"})
    QVERIFY2(access((dest + p).c_str(), F_OK) == 0, p);
  RecoveryWatcher again;
  window.btnRecovery();
  QVERIFY(again.driver.Done());
  QVERIFY(access((dest + "/photo/a(1).jpg").c_str(), F_OK) == 0);
  QVERIFY(access((dest + "/document/d(1).txt").c_str(), F_OK) == 0);
  testimg::RemoveTree(dest);
}

void TestWindow::recoveredFilesBelongToInvokingUser() {
  if (geteuid() != 0) QSKIP("needs root");
  setenv("SUDO_UID", "1234", 1);
  setenv("SUDO_GID", "2345", 1);
  DRUI window;  // reads who asked for the rights when it is made
  unsetenv("SUDO_UID");
  unsetenv("SUDO_GID");
  window.Init();
  auto* engine = new CScriptedEngine({MakeHit("x.jpg", 1, 50), MakeHit("y.doc", 2, 50)});
  engine->m_nStepMs = 0;
  window.SetEngineMaker([engine](const _PARTITION_ITEM_&) { return engine; });
  _PARTITION_ITEM_ item;
  memset(&item, 0, sizeof(item));
  window.ScanPartition(item);
  QTreeWidget* tree = window.findChild<QTreeWidget*>("resultTree");
  ToggleTreeRow(window, TreeRow(tree, "Photo("));
  ToggleTreeRow(window, TreeRow(tree, "Office("));
  std::string dest = FreshDestination("owner");
  window.SetFolderChooser([dest] { return QString::fromStdString(dest); });
  RecoveryWatcher watch;
  window.btnRecovery();
  QVERIFY(watch.driver.Done());
  QCOMPARE(watch.nSuccess, 2);
  struct stat st;
  for (const char* p : {"/photo", "/photo/x.jpg", "/document", "/document/y.doc"}) {
    QVERIFY2(lstat((dest + p).c_str(), &st) == 0, p);
    QCOMPARE(st.st_uid, uid_t(1234));
    QCOMPARE(st.st_gid, gid_t(2345));
    QCOMPARE(st.st_mode & 0777, mode_t(S_ISDIR(st.st_mode) ? 0755 : 0644));
  }
  QVERIFY(lstat(dest.c_str(), &st) == 0);
  QCOMPARE(st.st_uid, uid_t(0));  // the folder the user chose is left as it was
  testimg::RemoveTree(dest);
}

void TestWindow::widePicturesAreScaledToThePreviewArea() {
  DRUI window;
  window.Init();
  auto* engine = new CScriptedEngine({MakeHit("w700.png", 1, 700), MakeHit("w701.png", 2, 701),
                                      MakeHit("notes.txt", 3, 16)});
  engine->m_strTempDir = testfiles::FreshDir("app-preview");
  window.SetEngineMaker([engine](const _PARTITION_ITEM_&) { return engine; });
  _PARTITION_ITEM_ item;
  memset(&item, 0, sizeof(item));
  window.ScanPartition(item);
  QTreeWidget* tree = window.findChild<QTreeWidget*>("resultTree");
  QTableWidget* table = window.findChild<QTableWidget*>("fileTable");
  window.treeItemClick(TreeRow(tree, "Photo("), 0);
  QCOMPARE(table->rowCount(), 2);
  std::map<QString, QSize> shown;
  for (int r = 0; r < 2; ++r) {
    window.tableItemClick(table->item(r, 0));
    QVERIFY(window.IsPreviewPicture());
    shown[table->item(r, 0)->text()] = window.PreviewPictureSize();
  }
  QCOMPARE(shown["w700.png"], QSize(700, 300));  // not wider than 700: as it is
  QCOMPARE(shown["w701.png"], QSize(467, 200));  // fitted into 700 x 200
  // Text: zero bytes shown as dots.
  window.treeItemClick(TreeRow(tree, "Office("), 0);
  window.tableItemClick(table->item(0, 0));
  QVERIFY(!window.IsPreviewPicture());
  QCOMPARE(window.PreviewText(), QStringLiteral("scripted.preview\n"));
}

void TestWindow::imageWithoutTableIsListedWhole() {
  std::string fat = testimg::ImagePath("fat16.img");
  if (access(fat.c_str(), R_OK) != 0) QSKIP("fat16.img has not been built");
  struct stat st;
  QVERIFY(stat(fat.c_str(), &st) == 0);
  int n = m_pWindow->AddImage(QString::fromStdString(fat));
  QVERIFY(n >= 1);
  QTreeWidget* tree = m_pWindow->findChild<QTreeWidget*>("diskTree");
  QTreeWidgetItem* disk = TreeRow(tree, QStringLiteral("Physical Driver %1").arg(n));
  QVERIFY(disk);
  QCOMPARE(disk->childCount(), 1);
  auto item = disk->child(0)->data(0, Qt::UserRole).value<_PARTITION_ITEM_>();
  QCOMPARE(item.nDiskNo, n);
  QCOMPARE(item.u64StartSector, u64(0));
  QCOMPARE(item.u64EndSector, u64(st.st_size / 512 - 1));
  // Raw data with neither table nor file system is offered whole too, so
  // it can still be carved.
  std::string raw = testimg::ImagePath("carve.img");
  QVERIFY(stat(raw.c_str(), &st) == 0);
  int m = m_pWindow->AddImage(QString::fromStdString(raw));
  QCOMPARE(m, n + 1);
  QCOMPARE(m_pWindow->AddImage(QString::fromStdString(raw)), m);  // the same image is one disk
  disk = TreeRow(tree, QStringLiteral("Physical Driver %1").arg(m));
  QVERIFY(disk);
  QCOMPARE(disk->childCount(), 1);
  item = disk->child(0)->data(0, Qt::UserRole).value<_PARTITION_ITEM_>();
  QCOMPARE(item.u64EndSector, u64(st.st_size / 512 - 1));
  QCOMPARE(disk->child(0)->text(0), QStringLiteral("carve.img"));
  // The MBR disk is still listed as before.
  QVERIFY(TreeRow(tree, "Physical Driver 0"));
}

QTEST_MAIN(TestWindow)
#include "test_window.moc"

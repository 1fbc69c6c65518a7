// The main window driven as a user drives it, on the builder's images: the
// disk page, a scan on the worker behind the progress dialog, the results
// table (tree, sort, search, check marks), previews, recovery with its
// summary, refused destinations, and scans that stop, fail and resume.
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCheckBox>
#include <QComboBox>
#include <QRegularExpression>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableView>
#include <QTableWidget>
#include <QTest>
#include <QThread>
#include <QTreeWidget>
#include <map>
#include <set>

#include "AppTestUtil.h"
#include "app/DRUI.h"
#include "app/Detail.h"
#include "app/MessageBox.h"
#include "app/ResultsPage.h"
#include "app/ScanUI.h"
#include "engine/Categories.h"
#include "engine/SafeFs.h"
#include "store/LogFileManager.h"
#include "tests/support/TestFiles.h"
#include "tests/support/TestImages.h"

namespace {

QPushButton* Button(QWidget* w, const char* role) {
  for (QPushButton* b : w->findChildren<QPushButton*>())
    if (b->property("role").toString() == role && b->isVisible()) return b;
  for (QPushButton* b : w->findChildren<QPushButton*>())
    if (b->property("role").toString() == role) return b;
  return nullptr;
}

SCAN_JOB JobFor(DRUI& w, int disk, int part) {
  SCAN_JOB job;
  for (const DISK_ROW& d : w.DiskRows())
    if (d.nDiskNo == disk)
      for (const DISK_RANGE_ROW& r : d.ranges)
        if (r.nPartition == part) {
          job.nDiskNo = disk;
          job.nPartition = part;
          job.u64FirstSector = r.u64FirstSector;
          job.u64SectorCount = r.u64SectorCount;
          job.strName = QString::fromStdString(r.strName);
        }
  return job;
}

// The listing as (folder + name, size), to compare two scans.
std::multiset<std::pair<std::string, u64>> Listing(DRUI& w) {
  std::multiset<std::pair<std::string, u64>> out;
  const RESULT_SET* set = w.ResultsPage()->Model()->Set();
  for (const RESULT_ITEM& r : set->items) out.emplace(r.strFolder + r.strName, r.node.u64FileSize);
  return out;
}

// Waits for a recovery's summary, keeps what it says, and closes it.
struct RecoveryWatcher {
  QString summary, heading;
  QStringList detailNames, detailResults, detailReasons;
  CModalDriver driver;
  RecoveryWatcher()
      : driver("progressDialog", [this](QWidget* w) {
          auto* d = static_cast<SCANUI*>(w);
          if (!d->IsFinished()) return false;
          summary = d->GetSummaryText();
          heading = d->GetHeadingText();
          QTableWidget* t = d->GetDetail()->GetTable();
          for (int r = 0; r < t->rowCount(); ++r) {
            detailNames << t->item(r, 0)->text();
            detailResults << t->item(r, 1)->text();
            detailReasons << t->item(r, 2)->text();
          }
          d->GetCancelButton()->click();
          return true;
        }) {}
};

// Runs a scan as the window does; when it asks before closing unsaved
// results, the answer is yes.
int Scan(DRUI& w, const SCAN_JOB& job) {
  CModalDriver yes("dropResultsQuestion", [](QWidget* d) {
    d->findChild<QPushButton*>("yesButton")->click();
    return true;
  });
  return w.RunScan(job);
}

}  // namespace

class TestWindow : public QObject {
  Q_OBJECT
 private slots:
  void initTestCase();
  void diskPageListsDisksPartitionsAndReasons();
  void enterOnAPartitionScansIt();
  void resultsTableSortsSearchesAndChecks();
  void previewShowsPicturesAndClearsOnScopeChange();
  void previewOfDeletedTextShowsItsText();
  void recoveryKeepsTheFolderTree();
  void failedRecoveryShowsItsFailure();
  void cancelledRecoveryKeepsResults();
  void backRightClickAndCloseKeepResults();
  void refusedDestinationSaysWhyAndAsksAgain();
  void stoppedScanResumesToTheFullResults();
  void failedScanSaysWhy();
  void makeAnImageFirst();
  void pictureFiltersAndDateFolders();
  void recoveredFilesBelongToInvokingUser();

 private:
  std::string m_strImage;
  std::string m_strSupport;
  testimg::Manifest m_manifest;
  testimg::ManifestPartition m_fat;
  DRUI* m_pWindow = nullptr;
  bool m_bScanned = false;
};

void TestWindow::initTestCase() {
  m_strImage = testimg::ImagePath("mbr.img");
  if (access(m_strImage.c_str(), R_OK) != 0) QSKIP("mbr.img has not been built");
  m_manifest = testimg::LoadManifest("mbr.img");
  for (const auto& p : m_manifest.partitions)
    if (p.index == 1) m_fat = p;
  QVERIFY(m_fat.fs.rfind("fat", 0) == 0);
  // Disk 1 cannot be read: it is listed greyed, with the reason.
  setenv("TORVANE_DISKS", (m_strImage + ":/nonexistent-disk-for-tests").c_str(), 1);
  // A support folder that does not exist yet: the window creates it.
  m_strSupport = testfiles::FreshDir("app-window-support") + "/Torvane Recovery";
  setenv("TORVANE_SUPPORT_DIR", m_strSupport.c_str(), 1);
  CLogFileManager::GetInstance()->Reload();
  m_pWindow = new DRUI;
  m_pWindow->Init();
  m_pWindow->show();
  QVERIFY(WaitUntil([this] { return m_pWindow->DiskListReady(); }));
  struct stat st;
  QVERIFY(stat(m_strSupport.c_str(), &st) == 0 && S_ISDIR(st.st_mode));
  QCOMPARE(st.st_mode & 07777, mode_t(0700));
  // A normal window: resizable at its default size, and it can be maximised.
  QCOMPARE(m_pWindow->size(), QSize(1000, 660));
  QVERIFY(m_pWindow->minimumSize() != m_pWindow->maximumSize());
  QVERIFY(!(m_pWindow->windowFlags() & Qt::FramelessWindowHint));
}

void TestWindow::diskPageListsDisksPartitionsAndReasons() {
  const std::vector<DISK_ROW>& rows = m_pWindow->DiskRows();
  QCOMPARE(rows.size(), size_t(2));
  QTreeWidget* tree = m_pWindow->findChild<QTreeWidget*>("diskTree");
  QTreeWidgetItem* disk = tree->topLevelItem(0);
  struct stat st;
  QVERIFY(stat(m_strImage.c_str(), &st) == 0);
  QCOMPARE(disk->text(0), QStringLiteral("Disk 0 \u2014 mbr.img \u2014 %1").arg(HumanSize(static_cast<u64>(st.st_size))));
  std::vector<testimg::ManifestPartition> expected;
  for (const auto& p : m_manifest.partitions)
    if (p.fs != "extended") expected.push_back(p);
  // Every partition with its file system and size, then the whole disk.
  QCOMPARE(disk->childCount(), static_cast<int>(expected.size()) + 1);
  for (size_t i = 0; i < expected.size(); ++i) {
    QTreeWidgetItem* row = disk->child(static_cast<int>(i));
    QCOMPARE(row->text(0), QStringLiteral("Partition %1").arg(i + 1));
    QCOMPARE(row->text(1).toLower(), QString::fromStdString(expected[i].fs));
    QCOMPARE(row->text(3), HumanSize((expected[i].lastSector - expected[i].firstSector + 1) * 512));
    QCOMPARE(rows[0].ranges[i].u64FirstSector, expected[i].firstSector);
  }
  QCOMPARE(disk->child(disk->childCount() - 1)->text(0), QStringLiteral("Whole disk"));
  // The unreadable disk: greyed, with the reason in words.
  QTreeWidgetItem* bad = tree->topLevelItem(1);
  QVERIFY(!(bad->flags() & Qt::ItemIsEnabled));
  QVERIFY2(bad->text(0).contains("cannot be read: " + QString::fromStdString(StatusText(ENOENT))), qPrintable(bad->text(0)));

  // An image whose partition table is gone still has its whole-disk row.
  std::string fat = testimg::ImagePath("fat16.img");
  int n = m_pWindow->AddImage(QString::fromStdString(fat));
  QCOMPARE(n, 2);
  QVERIFY(WaitUntil([this] { return m_pWindow->DiskListReady(); }));
  QVERIFY(m_pWindow->DiskRangeRow(n, 0));
  QCOMPARE(m_pWindow->DiskRangeRow(n, 0)->text(1), QStringLiteral("FAT16"));
  QVERIFY(!m_pWindow->DiskRangeRow(n, 1));

  // Empty and tiny files are refused with the reason.
  std::string dir = testfiles::FreshDir("app-tiny");
  QVERIFY(testfiles::WriteAll(dir + "/six.img", "123456", 6));
  QVERIFY(testfiles::WriteAll(dir + "/empty.img", "", 0));
  int status = 0;
  QCOMPARE(m_pWindow->AddImage(QString::fromStdString(dir + "/empty.img"), &status), -1);
  QCOMPARE(status, int(STATUS_EMPTY_TARGET));
  QString said;
  m_pWindow->SetImageChooser([dir] { return QString::fromStdString(dir + "/six.img"); });
  CModalDriver refused("imageRefused", [&said](QWidget* w) {
    said = static_cast<CMessageBox*>(w)->GetText();
    w->findChild<QPushButton*>("yesButton")->click();
    return true;
  });
  m_pWindow->btnSlotOpenImage();
  QVERIFY(refused.Done());
  QVERIFY2(said.contains("six.img") && said.contains(QString::fromStdString(StatusText(STATUS_EMPTY_TARGET))),
           qPrintable(said));
  QCOMPARE(m_pWindow->DiskRows().size(), size_t(3));
}

void TestWindow::enterOnAPartitionScansIt() {
  m_pWindow->btnStartSlot();
  QCOMPARE(m_pWindow->CurrentPage(), 1);
  QTreeWidget* tree = m_pWindow->findChild<QTreeWidget*>("diskTree");
  tree->setCurrentItem(m_pWindow->DiskRangeRow(0, 1));
  tree->setFocus();
  // Every report reaches the GUI thread while the modal dialog is up.
  int reports = 0, reportsInGui = 0;
  QThread* worker = nullptr;
  QMetaObject::Connection direct = connect(
      m_pWindow, &DRUI::ScanProgressSignal, this, [&](const SCAN_PROGRESS&) { worker = QThread::currentThread(); },
      Qt::DirectConnection);
  QMetaObject::Connection queued = connect(m_pWindow, &DRUI::ScanProgressSignal, this, [&](const SCAN_PROGRESS&) {
    ++reports;
    QWidget* modal = QApplication::activeModalWidget();
    if (modal && modal->objectName() == "progressDialog" && QThread::currentThread() == qApp->thread()) ++reportsInGui;
  });
  QTest::keyClick(tree, Qt::Key_Return);
  disconnect(direct);
  disconnect(queued);
  QVERIFY(reports > 0);
  QCOMPARE(reportsInGui, reports);
  QVERIFY(worker && worker != qApp->thread());
  QCOMPARE(m_pWindow->CurrentPage(), 2);
  QCOMPARE(m_pWindow->LastScanStatus(), 0);
  QCOMPARE(m_pWindow->LastScanJob().u64FirstSector, m_fat.firstSector);

  CResultModel* model = m_pWindow->ResultsPage()->Model();
  const RESULT_SET* set = model->Set();
  QVERIFY(set && !set->items.empty());
  // The heading's count is the table's.
  QLabel* heading = m_pWindow->findChild<QLabel*>("resultHeading");
  QVERIFY2(heading->text().startsWith(QStringLiteral("Found %1 files in Partition 1 (FAT16)").arg(set->items.size())),
           qPrintable(heading->text()));
  QCOMPARE(model->rowCount(), static_cast<int>(set->items.size()));
  // The partition's deleted photos and documents are listed where they were.
  int deleted = 0;
  for (const auto& f : m_manifest.files) {
    if (f.partition != 1 || f.state != "deleted") continue;
    // A deleted FAT entry lost its first letter, and its folder may be known by its short name.
    QString want = (QString::fromStdString(f.folder == "/" ? "/" : f.folder + "/") + QString::fromStdString(f.name).mid(1)).toLower();
    bool found = false;
    for (const RESULT_ITEM& r : set->items)
      if (!r.IsCarved() && r.node.u64FileSize == f.size &&
          (QString::fromStdString(r.strFolder) + QString::fromStdString(r.strName).mid(1)).toLower() == want)
        found = true;
    QVERIFY2(found, f.Path().c_str());
    ++deleted;
  }
  QVERIFY(deleted >= 4);
  m_bScanned = true;
}

void TestWindow::resultsTableSortsSearchesAndChecks() {
  if (!m_bScanned) QSKIP("needs the scan");
  CResultsPage* page = m_pWindow->ResultsPage();
  CResultModel* model = page->Model();
  const RESULT_SET* set = model->Set();
  // Sorting by size, largest first.
  page->Table()->sortByColumn(COL_SIZE, Qt::DescendingOrder);
  for (int r = 1; r < model->rowCount(); ++r)
    QVERIFY(set->items[model->ItemAt(r - 1)].node.u64FileSize >= set->items[model->ItemAt(r)].node.u64FileSize);
  // The search box finds names and folders, whatever their case.
  const RESULT_ITEM& some = set->items[0];
  QString needle = QString::fromStdString(some.strName).toUpper();
  page->findChild<QLineEdit*>("searchBox")->setText(needle);
  QTRY_VERIFY(model->rowCount() < static_cast<int>(set->items.size()) || set->items.size() == 1);
  for (int r = 0; r < model->rowCount(); ++r)
    QVERIFY(QString::fromStdString(set->items[model->ItemAt(r)].strFolder + set->items[model->ItemAt(r)].strName)
                .contains(needle, Qt::CaseInsensitive));
  QVERIFY(model->RowOf(0) >= 0);
  page->findChild<QLineEdit*>("searchBox")->clear();
  QTRY_COMPARE(model->rowCount(), static_cast<int>(set->items.size()));

  // A category's check box checks its files; its extension rows follow.
  QTreeWidget* types = page->TypeTree();
  QTreeWidgetItem* photos = nullptr;
  for (int i = 0; i < types->topLevelItemCount(); ++i)
    if (types->topLevelItem(i)->text(0).startsWith("Photos (")) photos = types->topLevelItem(i);
  QVERIFY(photos && photos->childCount() > 0);
  photos->setCheckState(0, Qt::Checked);
  QCOMPARE(model->CheckedCount(), u64(set->kindTotals[category::PHOTO]));
  for (int k = 0; k < photos->childCount(); ++k) QCOMPARE(photos->child(k)->checkState(0), Qt::Checked);
  QLabel* label = page->findChild<QLabel*>("selectionLabel");
  QVERIFY(label->text().startsWith(QStringLiteral("%1 files selected").arg(set->kindTotals[category::PHOTO])) ||
          set->kindTotals[category::PHOTO] == 1);
  // One file unchecked in the table: its category is partly checked.
  types->setCurrentItem(photos);
  QVERIFY(model->rowCount() == static_cast<int>(set->kindTotals[category::PHOTO]));
  QVERIFY(model->setData(model->index(0, COL_NAME), Qt::Unchecked, Qt::CheckStateRole));
  QCOMPARE(photos->checkState(0), Qt::PartiallyChecked);
  // Ctrl+A checks everything listed; None and Invert act on the listed rows only.
  page->Table()->setFocus();
  QTest::keyClick(page->Table(), Qt::Key_A, Qt::ControlModifier);
  QCOMPARE(photos->checkState(0), Qt::Checked);
  Button(page, "checkNone")->click();
  QCOMPARE(model->CheckedCount(), u64(0));
  Button(page, "checkInvert")->click();
  QCOMPARE(model->CheckedCount(), u64(set->kindTotals[category::PHOTO]));
  Button(page, "checkNone")->click();
  QCOMPARE(label->text(), QStringLiteral("No files selected"));
  QVERIFY(!Button(page, "recover")->isEnabled());
  types->setCurrentItem(types->topLevelItem(0));
  page->Table()->sortByColumn(COL_FOLDER, Qt::AscendingOrder);

  // By folder: the folders of the partition, each with its files below it.
  page->ShowTreeView(1);
  QTreeWidget* folders = page->FolderTree();
  QVERIFY(folders->topLevelItemCount() >= 2);
  QVERIFY(folders->topLevelItem(0)->text(0).startsWith("All files"));
  // Full names in tooltips, and the lost first letter of deleted FAT names explained.
  for (int r = 0; r < model->rowCount(); ++r) {
    const RESULT_ITEM& item = set->items[model->ItemAt(r)];
    QString tip = model->index(r, COL_NAME).data(Qt::ToolTipRole).toString();
    QVERIFY(tip.contains(QString::fromStdString(item.strName).toHtmlEscaped()));
    if (item.strName[0] == '!' && item.IsDeleted()) QVERIFY(tip.contains("first letter"));
  }
  page->ShowTreeView(0);
}

void TestWindow::previewShowsPicturesAndClearsOnScopeChange() {
  if (!m_bScanned) QSKIP("needs the scan");
  CResultsPage* page = m_pWindow->ResultsPage();
  CResultModel* model = page->Model();
  QTreeWidget* types = page->TypeTree();
  QTreeWidgetItem* photos = nullptr;
  for (int i = 0; i < types->topLevelItemCount(); ++i)
    if (types->topLevelItem(i)->text(0).startsWith("Photos (")) photos = types->topLevelItem(i);
  types->setCurrentItem(photos);
  int shown = 0;
  for (int r = 0; r < model->rowCount(); ++r) {
    const RESULT_ITEM& item = model->Set()->items[model->ItemAt(r)];
    if (item.strName.size() < 4 || strcasecmp(item.strName.c_str() + item.strName.size() - 4, ".jpg") != 0) continue;
    page->Table()->selectRow(r);
    QVERIFY(WaitUntil([&] { return !m_pWindow->PreviewBusy() && page->PreviewItem() == model->ItemAt(r); }));
    QVERIFY2(page->IsPreviewPicture(), qPrintable(page->PreviewInfo()));
    QSize fit = page->PreviewArea();
    QVERIFY(page->PreviewPictureSize().width() <= fit.width() && page->PreviewPictureSize().height() <= fit.height());
    ++shown;
  }
  QVERIFY(shown >= 2);
  // Another category: the photo's preview does not stay behind.
  types->setCurrentItem(types->topLevelItem(0));
  QVERIFY(!page->IsPreviewPicture());
  QCOMPARE(page->PreviewItem(), -1);
}

void TestWindow::previewOfDeletedTextShowsItsText() {
  std::string demo = testimg::ImagePath("demo.img");
  testimg::Manifest manifest = testimg::LoadManifest("demo.img");
  const testimg::ManifestFile* notes = nullptr;
  for (const auto& f : manifest.files)
    if (f.type == "txt" && f.state == "deleted") notes = &f;
  QVERIFY(notes);
  int n = m_pWindow->AddImage(QString::fromStdString(demo));
  QVERIFY(n >= 0);
  QVERIFY(WaitUntil([this] { return m_pWindow->DiskListReady(); }));
  // The results of the partition scan are not saved: the window asks first.
  bool asked = false;
  CModalDriver drop("dropResultsQuestion", [&asked](QWidget* d) {
    asked = true;
    d->findChild<QPushButton*>("yesButton")->click();
    return true;
  });
  QCOMPARE(m_pWindow->RunScan(JobFor(*m_pWindow, n, 0)), 0);
  QVERIFY(asked);
  CResultsPage* page = m_pWindow->ResultsPage();
  CResultModel* model = page->Model();
  int row = -1;
  for (int r = 0; r < model->rowCount(); ++r) {
    const RESULT_ITEM& item = model->Set()->items[model->ItemAt(r)];
    if (!item.IsCarved() && item.strName.substr(1) == notes->name.substr(1)) row = r;
  }
  QVERIFY2(row >= 0, notes->name.c_str());
  page->Table()->selectRow(row);
  QVERIFY(WaitUntil([&] { return !m_pWindow->PreviewBusy() && page->PreviewItem() == model->ItemAt(row); }));
  QVERIFY(!page->IsPreviewPicture());
  std::vector<unsigned char> sample = testfiles::ReadAll(notes->samplePath);
  QString text = QString::fromUtf8(reinterpret_cast<const char*>(sample.data()), static_cast<int>(sample.size()));
  QVERIFY2(page->PreviewText().startsWith(text.left(40)), qPrintable(page->PreviewText().left(60)));
  m_bScanned = false;  // the window now holds the demo image's results
}

void TestWindow::recoveryKeepsTheFolderTree() {
  // Recovering every file of the demo image, folders kept.
  CResultsPage* page = m_pWindow->ResultsPage();
  CResultModel* model = page->Model();
  model->CheckListed(CResultModel::CHECK_ALL);
  QVERIFY(page->findChild<QCheckBox*>("keepTree")->isChecked());
  std::string dest = FreshDestination("tree");
  m_pWindow->SetFolderChooser([dest] { return QString::fromStdString(dest); });
  RecoveryWatcher watch;
  m_pWindow->btnRecovery();
  QVERIFY(watch.driver.Done());
  u64 n = model->CheckedCount();
  QVERIFY2(watch.summary.startsWith(QStringLiteral("%1 saved, 0 partial, 0 failed").arg(n)), qPrintable(watch.summary));
  // Every deleted file of the image is back, byte for byte, in its
  // category folder under its original folders.
  std::string out;
  testfiles::Run("cd '" + dest + "' && find . -type f", &out);
  std::map<std::string, QStringList> saved;  // SHA-256 -> paths
  for (const QString& path : QString::fromStdString(out).split('\n', Qt::SkipEmptyParts))
    saved[testimg::Sha256File(dest + "/" + path.mid(2).toStdString())] << path.mid(1).toLower();
  testimg::Manifest manifest = testimg::LoadManifest("demo.img");
  int checked = 0;
  for (const auto& f : manifest.files) {
    if (f.state != "deleted") continue;
    QString head = QStringLiteral("/%1").arg(category::FolderOfFileName(f.name.c_str())) +
                   QString::fromStdString(f.folder + "/").toLower();
    QString tail = QString::fromStdString(f.name).mid(1).toLower();
    bool same = false;
    for (const QString& path : saved[f.sha256])
      same |= path.startsWith(head) && path.endsWith(tail) && !path.mid(head.size()).contains('/');
    QVERIFY2(same, f.Path().c_str());
    ++checked;
  }
  QVERIFY(checked >= 6);
  testimg::RemoveTree(dest);
}

void TestWindow::failedRecoveryShowsItsFailure() {
  CResultModel* model = m_pWindow->ResultsPage()->Model();
  u64 photos = 0;
  for (u32 i : model->CheckedItems()) photos += model->Set()->items[i].eKind == category::PHOTO;
  QVERIFY(photos > 0 && photos < model->CheckedCount());
  // "photo" is taken by a plain file: every photo fails, the rest are saved.
  std::string dest = FreshDestination("fail");
  QVERIFY(testfiles::WriteAll(dest + "/photo", "x", 1));
  m_pWindow->SetFolderChooser([dest] { return QString::fromStdString(dest); });
  RecoveryWatcher watch;
  m_pWindow->btnRecovery();
  QVERIFY(watch.driver.Done());
  QVERIFY2(watch.summary.contains(QStringLiteral("%1 failed").arg(photos)), qPrintable(watch.summary));
  QVERIFY(!watch.heading.contains("Recovery finished."));
  // Failures first in the details, each with its reason.
  for (u64 i = 0; i < photos; ++i) {
    QCOMPARE(watch.detailResults[static_cast<int>(i)], QStringLiteral("failed"));
    QVERIFY(!watch.detailReasons[static_cast<int>(i)].isEmpty());
  }
  QVERIFY(watch.summary.contains(watch.detailReasons[0]));
  QCOMPARE(watch.detailResults.last(), QStringLiteral("saved"));
  testimg::RemoveTree(dest);
}

void TestWindow::cancelledRecoveryKeepsResults() {
  CResultModel* model = m_pWindow->ResultsPage()->Model();
  u64 chosen = model->CheckedCount();
  QVERIFY(chosen >= 3);
  std::string dest = FreshDestination("cancel");
  m_pWindow->SetFolderChooser([dest] { return QString::fromStdString(dest); });
  // The user stops it once the first file is saved.
  QMetaObject::Connection c = connect(
      m_pWindow, &DRUI::SaveProgressSignal, this,
      [this](quint64 done, quint64, const QString&, int) {
        if (done >= 1) m_pWindow->GetFlags(OPERATION_RECOVERY).bCancel = true;
      },
      Qt::DirectConnection);
  RecoveryWatcher watch;
  m_pWindow->btnRecovery();
  disconnect(c);
  QVERIFY(watch.driver.Done());
  QVERIFY2(watch.heading.startsWith(QStringLiteral("Recovery stopped after 1 of %1 files").arg(chosen)),
           qPrintable(watch.heading));
  std::string out;
  testfiles::Run("find '" + dest + "' -type f | wc -l", &out);
  QCOMPARE(QString::fromStdString(out).trimmed(), QStringLiteral("1"));
  // The results and the check marks are still there.
  QCOMPARE(m_pWindow->CurrentPage(), 2);
  QCOMPARE(model->CheckedCount(), chosen);
  testimg::RemoveTree(dest);
}

void TestWindow::backRightClickAndCloseKeepResults() {
  CResultsPage* page = m_pWindow->ResultsPage();
  std::shared_ptr<const RESULT_SET> before = page->Model()->SharedSet();
  // A right click on the results asks nothing and closes nothing.
  QTest::mouseClick(page->Table()->viewport(), Qt::RightButton, Qt::NoModifier, QPoint(5, 5));
  QTest::mouseClick(m_pWindow, Qt::RightButton, Qt::NoModifier, QPoint(5, 5));
  QVERIFY(m_pWindow->isVisible());
  QCOMPARE(m_pWindow->CurrentPage(), 2);
  QVERIFY(!FindTopLevel("exitQuestion"));

  // Closing with unsaved results asks; "Stay" keeps everything.
  page->Model()->SetChecked(0, true);
  m_pWindow->btnSlotBack();  // results saved earlier: no question
  m_pWindow->btnSlotReturnToResults();
  QCOMPARE(m_pWindow->CurrentPage(), 2);
  QVERIFY(m_pWindow->HasResults());

  // Back from the results: they stay reachable with "Return to results".
  QVERIFY(page->Model()->Set() == before.get());
  m_pWindow->btnSlotBack();
  QCOMPARE(m_pWindow->CurrentPage(), 1);
  QPushButton* back = Button(m_pWindow, "returnToResults");
  QVERIFY(back && back->isVisible());
  back->click();
  QCOMPARE(m_pWindow->CurrentPage(), 2);
  QVERIFY(page->Model()->Set() == before.get());
  QVERIFY(page->Model()->IsChecked(0));
}

void TestWindow::refusedDestinationSaysWhyAndAsksAgain() {
  // The folder holding the image is a fine place to save.
  std::string demo = testimg::ImagePath("demo.img");
  std::string beside = demo.substr(0, demo.rfind('/')) + "/recovered-beside-image-" + std::to_string(getpid());
  CResultModel* model = m_pWindow->ResultsPage()->Model();
  model->CheckListed(CResultModel::CHECK_NONE);
  model->SetChecked(0, true);
  m_pWindow->SetFolderChooser([beside] { return QString::fromStdString(beside); });
  {
    RecoveryWatcher watch;
    m_pWindow->btnRecovery();
    QVERIFY(watch.driver.Done());
    QVERIFY2(watch.summary.startsWith("1 saved"), qPrintable(watch.summary));
  }
  testimg::RemoveTree(beside);

  // A folder on the scanned image itself (mounted through FUSE) is refused
  // in words, and another folder can be chosen at once.
  if (geteuid() != 0) QSKIP("mounting the image needs root");
  std::string work = testfiles::FreshDir("app-mounted");
  std::string copy = work + "/card.img";
  testfiles::Run("cp '" + testimg::ImagePath("ntfs.img") + "' '" + copy + "'", nullptr);
  std::string point = work + "/mnt";
  mkdir(point.c_str(), 0700);
  if (testfiles::Run("ntfs-3g '" + copy + "' '" + point + "' 2>/dev/null", nullptr) != 0) QSKIP("ntfs-3g cannot mount");
  int n = m_pWindow->AddImage(QString::fromStdString(copy));
  QVERIFY(WaitUntil([this] { return m_pWindow->DiskListReady(); }));
  QCOMPARE(Scan(*m_pWindow, JobFor(*m_pWindow, n, 0)), 0);
  model->CheckListed(CResultModel::CHECK_NONE);
  model->SetChecked(0, true);
  std::string good = FreshDestination("second-choice");
  int asked = 0;
  m_pWindow->SetFolderChooser([&] { return QString::fromStdString(++asked == 1 ? point + "/recovered" : good); });
  QString said;
  CModalDriver again("destinationRefused", [&said](QWidget* w) {
    said = static_cast<CMessageBox*>(w)->GetText();
    w->findChild<QPushButton*>("yesButton")->click();
    return true;
  });
  RecoveryWatcher watch;
  m_pWindow->btnRecovery();
  QVERIFY(again.Done());
  QVERIFY(watch.driver.Done());
  QCOMPARE(asked, 2);
  QVERIFY2(said.contains(QString::fromStdString(StatusText(STATUS_DEST_ON_TARGET))), qPrintable(said));
  QVERIFY(access((point + "/recovered").c_str(), F_OK) != 0);
  QVERIFY2(watch.summary.startsWith("1 saved"), qPrintable(watch.summary));
  testfiles::Run("umount '" + point + "'", nullptr);
  testimg::RemoveTree(good);
  testimg::RemoveTree(work);
}

void TestWindow::stoppedScanResumesToTheFullResults() {
  std::string fat = testimg::ImagePath("fat32.img");
  int n = m_pWindow->AddImage(QString::fromStdString(fat));
  QVERIFY(WaitUntil([this] { return m_pWindow->DiskListReady(); }));
  SCAN_JOB job = JobFor(*m_pWindow, n, 0);
  m_pWindow->ResultsPage()->Model()->CheckListed(CResultModel::CHECK_NONE);
  QCOMPARE(Scan(*m_pWindow, job), 0);
  std::multiset<std::pair<std::string, u64>> whole = Listing(*m_pWindow);
  QVERIFY(!whole.empty());

  // The same scan, stopped by the user early in its sector pass.
  QMetaObject::Connection c = connect(
      m_pWindow, &DRUI::ScanProgressSignal, this,
      [this](const SCAN_PROGRESS& p) {
        if (p.ePhase == SCAN_PROGRESS::PHASE_DEEP && p.u64SectorsDone > 0) m_pWindow->GetFlags(OPERATION_SCAN).bCancel = true;
      },
      Qt::DirectConnection);
  QCOMPARE(Scan(*m_pWindow, job), int(RECOVERY_CANCELLED));
  disconnect(c);
  QLabel* state = m_pWindow->findChild<QLabel*>("scanState");
  QVERIFY2(state->isVisible() && state->text().startsWith("Stopped at ") && state->text().contains("results so far"),
           qPrintable(state->text()));
  QVERIFY(Button(m_pWindow->ResultsPage(), "resume")->isVisible());
  // The disk list offers to resume it too.
  QVERIFY(WaitUntil([this] { return m_pWindow->DiskListReady(); }));
  QVERIFY(m_pWindow->DiskRangeRow(n, 0)->text(4).startsWith("stopped part-way"));

  Button(m_pWindow->ResultsPage(), "resume")->click();
  QCOMPARE(m_pWindow->LastScanStatus(), 0);
  QVERIFY(!state->isVisible());
  std::multiset<std::pair<std::string, u64>> resumed = Listing(*m_pWindow);
  for (const auto& e : whole)
    if (!resumed.count(e)) qWarning("missing after resume: %s %llu", e.first.c_str(), (unsigned long long)e.second);
  for (const auto& e : resumed)
    if (!whole.count(e)) qWarning("extra after resume: %s %llu", e.first.c_str(), (unsigned long long)e.second);
  QVERIFY(resumed == whole);
}

void TestWindow::pictureFiltersAndDateFolders() {
  int n = m_pWindow->AddImage(QString::fromStdString(testimg::ImagePath("meta.img")));
  QVERIFY(WaitUntil([this] { return m_pWindow->DiskListReady(); }));
  QCOMPARE(m_pWindow->RunScan(JobFor(*m_pWindow, n, 0)), 0);
  CResultsPage* page = m_pWindow->ResultsPage();
  CResultModel* model = page->Model();
  const RESULT_SET* set = model->Set();
  int all = model->rowCount(), thumbs = 0, small = 0;
  for (const RESULT_ITEM& r : set->items) {
    thumbs += r.bThumbnail;
    small += r.nWidth < 640 || r.nHeight < 480;
  }
  QVERIFY(thumbs > 0 && small > thumbs);
  page->findChild<QCheckBox*>("skipThumbnails")->setChecked(true);
  QCOMPARE(model->rowCount(), all - thumbs);
  page->findChild<QCheckBox*>("skipThumbnails")->setChecked(false);
  page->findChild<QComboBox*>("pictureFilter")->setCurrentIndex(1);
  QCOMPARE(model->rowCount(), all - small);
  page->findChild<QComboBox*>("pictureFilter")->setCurrentIndex(0);

  // Saved by date: a dated photo lands in photo/YYYY/YYYY-MM/.
  page->findChild<QCheckBox*>("groupByDate")->setChecked(true);
  model->CheckListed(CResultModel::CHECK_ALL);
  std::string dest = FreshDestination("bydate");
  m_pWindow->SetFolderChooser([dest] { return QString::fromStdString(dest); });
  RecoveryWatcher watch;
  m_pWindow->btnRecovery();
  QVERIFY(watch.driver.Done());
  page->findChild<QCheckBox*>("groupByDate")->setChecked(false);
  std::string out;
  testfiles::Run("cd '" + dest + "' && find photo -mindepth 3 -type f", &out);
  QVERIFY2(QRegularExpression("^photo/(19|20)[0-9][0-9]/(19|20)[0-9][0-9]-[01][0-9]/", QRegularExpression::MultilineOption)
               .match(QString::fromStdString(out))
               .hasMatch(),
           out.c_str());
  testimg::RemoveTree(dest);
}

void TestWindow::makeAnImageFirst() {
  std::string source = testimg::ImagePath("fat16.img");
  int n = m_pWindow->AddImage(QString::fromStdString(source));
  QVERIFY(n >= 0);
  std::string dir = FreshDestination("app-image");
  QString out = QString::fromStdString(dir + "/copy.img");
  QString said;
  CModalDriver made("imageMade", [&said](QWidget* w) {
    said = static_cast<CMessageBox*>(w)->GetText();
    w->findChild<QPushButton*>("yesButton")->click();
    return true;
  });
  QCOMPARE(m_pWindow->MakeImage(n, out), 0);
  QVERIFY(made.Done());
  QVERIFY2(said.contains("copy.img") && said.contains("Every sector was read"), qPrintable(said));
  QCOMPARE(testimg::Sha256File(dir + "/copy.img"), testimg::Sha256File(source));
  QVERIFY(QFile::exists(out + ".map"));
  // The image joins the disk list; a second copy under the same name is refused, not overwritten.
  QVERIFY(WaitUntil([this] { return m_pWindow->DiskListReady(); }));
  bool listed = false;
  for (const DISK_ROW& row : m_pWindow->DiskRows()) listed = listed || row.strPath == dir + "/copy.img";
  QVERIFY(listed);
  QFile::remove(out + ".map");
  CModalDriver refused("imageFailed", [](QWidget* w) {
    w->findChild<QPushButton*>("yesButton")->click();
    return true;
  });
  QCOMPARE(m_pWindow->MakeImage(n, out), int(EEXIST));
  QVERIFY(refused.Done());
}

void TestWindow::failedScanSaysWhy() {
  // The support folder cannot be made: a plain file stands in its path.
  std::string dir = testfiles::FreshDir("app-nosupport");
  QVERIFY(testfiles::WriteAll(dir + "/file", "x", 1));
  setenv("TORVANE_SUPPORT_DIR", (dir + "/file/support").c_str(), 1);
  CLogFileManager::GetInstance()->Reload();
  m_pWindow->ResultsPage()->Model()->CheckListed(CResultModel::CHECK_NONE);
  int st = Scan(*m_pWindow, JobFor(*m_pWindow, 0, 1));
  setenv("TORVANE_SUPPORT_DIR", m_strSupport.c_str(), 1);
  CLogFileManager::GetInstance()->Reload();
  QCOMPARE(st, int(ENOTDIR));
  QCOMPARE(m_pWindow->CurrentPage(), 2);
  QLabel* state = m_pWindow->findChild<QLabel*>("scanState");
  QCOMPARE(state->text(), QStringLiteral("Scan failed: %1. What was found before it failed is listed.")
                              .arg(QString::fromStdString(StatusText(ENOTDIR))));
  QVERIFY(Button(m_pWindow->ResultsPage(), "resume")->isVisible());
}

void TestWindow::recoveredFilesBelongToInvokingUser() {
  if (geteuid() != 0) QSKIP("needs root");
  QCOMPARE(Scan(*m_pWindow, JobFor(*m_pWindow, 0, 1)), 0);
  CResultModel* model = m_pWindow->ResultsPage()->Model();
  model->CheckListed(CResultModel::CHECK_ALL);
  std::string dest = FreshDestination("owner");
  m_pWindow->SetFolderChooser([dest] { return QString::fromStdString(dest); });
  SetInvokingUser(1234, 2345);
  RecoveryWatcher watch;
  m_pWindow->btnRecovery();
  SetInvokingUser(geteuid(), getegid());
  QVERIFY(watch.driver.Done());
  std::string out;
  testfiles::Run("find '" + dest + "' -mindepth 1 \\( ! -uid 1234 -o ! -gid 2345 \\) | wc -l", &out);
  QCOMPARE(QString::fromStdString(out).trimmed(), QStringLiteral("0"));
  out.clear();
  testfiles::Run("find '" + dest + "' -mindepth 1 -type f | wc -l", &out);
  QVERIFY2(QString::fromStdString(out).trimmed().toInt() > 0, qPrintable(watch.summary));
  struct stat st;
  QVERIFY(lstat(dest.c_str(), &st) == 0);
  QCOMPARE(st.st_uid, uid_t(0));  // the folder the user chose is left as it was
  testimg::RemoveTree(dest);
}

QTEST_MAIN(TestWindow)
#include "test_window.moc"

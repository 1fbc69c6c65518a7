#include "app/DRUI.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLocale>
#include <QProgressDialog>
#include <QPushButton>
#include <QEventLoop>
#include <QTimer>
#include <QScreen>
#include <QStackedLayout>
#include <QTableView>
#include <QTextBrowser>
#include <QToolButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <atomic>
#include <climits>

#include "app/AppStyle.h"
#include "app/MessageBox.h"
#include "app/MyThread.h"
#include "app/ResultsPage.h"
#include "app/ScanUI.h"
#include "engine/DiskMap.h"
#include "scan/DiskImager.h"

static void InitAppResources() {
  Q_INIT_RESOURCE(torvane);
  Q_INIT_RESOURCE(torvane_docs);
}

namespace {

constexpr int kRoleDisk = Qt::UserRole;
constexpr int kRolePartition = Qt::UserRole + 1;
constexpr int kRoleRange = Qt::UserRole + 2;  // index into the disk row's ranges

const char* const kCategoryHints[CATEGORY_COUNT] = {
    "JPG, PNG, GIF, BMP, TIFF, camera RAW and more", "MP3, WAV, WMA, OGG, M4A, AIFF and more",
    "Word, Excel, PowerPoint, PDF, text and more",   "MP4, AVI, MOV, MKV, WMV, FLV and more",
    "ZIP, RAR, 7Z, CAB, ISO and more",               "Files of any other type"};
const char* const kBoxNames[CATEGORY_COUNT] = {"checkPhoto", "checkAudio",   "checkDocument",
                                               "checkVideo", "checkArchive", "checkOther"};

QString Words(int status) { return QString::fromStdString(StatusText(status)); }

QString RangeTitle(const DISK_ROW& disk, const DISK_RANGE_ROW& range) {
  QString fs = range.strFileSystem.empty() ? QString() : QString::fromStdString(range.strFileSystem);
  if (range.nPartition == 0)
    return fs.isEmpty() ? QStringLiteral("the whole of Disk %1").arg(disk.nDiskNo)
                        : QStringLiteral("the whole of Disk %1 (%2)").arg(disk.nDiskNo).arg(fs);
  QString name = QString::fromStdString(range.strName);
  if (!fs.isEmpty()) name += QStringLiteral(" (%1)").arg(fs);
  return QStringLiteral("%1 of Disk %2").arg(name).arg(disk.nDiskNo);
}

}  // namespace

DRUI::DRUI(QWidget* pParent)
    : QWidget(pParent),
      m_nScanStatus(0),
      m_nStoppedPercent(0),
      m_bHaveResults(false),
      m_bUnsaved(false),
      m_pDiskThread(nullptr),
      m_bDiskListReady(false),
      m_bDiskListAgain(false),
      m_pPreviewThread(nullptr),
      m_nPreviewRunning(-1),
      m_nPreviewWanted(-1),
      m_nPreviewGeneration(0),
      m_pStackedLayout(nullptr),
      m_pPage1(nullptr),
      m_pPage2(nullptr),
      m_pResultsPage(nullptr),
      m_pRecoverAll(nullptr),
      m_pBtnStart(nullptr),
      m_pDiskTree(nullptr),
      m_pDiskStatus(nullptr),
      m_pBtnScan(nullptr),
      m_pBtnResume(nullptr),
      m_pBtnReturn(nullptr),
      m_pPrivilegeBanner(nullptr) {
  InitAppResources();
  qRegisterMetaType<SCAN_PROGRESS>("SCAN_PROGRESS");
  for (int i = 0; i < CATEGORY_COUNT; ++i) {
    m_bCategoryChecked[i] = true;
    m_pCategoryBox[i] = nullptr;
  }
}

DRUI::~DRUI() {
  WaitForPreview();
  if (m_pDiskThread) {
    m_pDiskThread->wait();
    delete m_pDiskThread;
  }
}

OPERATION_FLAGS& DRUI::GetFlags(int nOprType) { return nOprType == OPERATION_SCAN ? m_scanFlags : m_recoveryFlags; }

// ---------------------------------------------------------------- set-up

void DRUI::Init() {
  MakeDirectories(GetSupportDir());
  MakeDirectories(GetScanLogDir());

  setObjectName("appRoot");
  setWindowTitle(QStringLiteral("Torvane Recovery"));
  setWindowIcon(QIcon(QStringLiteral(":/image/logo.png")));
  ApplyAppLook(this);
  setMinimumSize(760, 520);
  resize(1000, 660);

  auto* outer = new QVBoxLayout(this);
  outer->setContentsMargins(0, 0, 0, 0);
  outer->setSpacing(0);
  outer->addWidget(CreateHeaderBar());
  auto* pages = new QWidget(this);
  m_pStackedLayout = new QStackedLayout(pages);
  outer->addWidget(pages, 1);

  m_pPage1 = InitLayout1Widget();
  m_pPage2 = InitLayout2Widget();
  m_pResultsPage = new CResultsPage;
  m_pStackedLayout->addWidget(m_pPage1);
  m_pStackedLayout->addWidget(m_pPage2);
  m_pStackedLayout->addWidget(m_pResultsPage);
  connect(m_pResultsPage, &CResultsPage::RecoverRequested, this, &DRUI::btnRecovery);
  connect(m_pResultsPage, &CResultsPage::BackRequested, this, &DRUI::btnSlotBack);
  connect(m_pResultsPage, &CResultsPage::ResumeRequested, this, &DRUI::btnResumeFromResults);
  connect(m_pResultsPage, &CResultsPage::ImageRequested, this, &DRUI::btnMakeImageSlot);
  connect(m_pResultsPage, &CResultsPage::PreviewWanted, this, &DRUI::RequestPreview);
  ShowPage(0);
  StartDiskList();

  if (QScreen* screen = QApplication::primaryScreen()) {
    QRect r = screen->availableGeometry();
    move(r.center() - QPoint(width() / 2, height() / 2));
  }
}

QWidget* DRUI::CreateHeaderBar() {
  auto* bar = new QWidget(this);
  bar->setObjectName("headerBar");
  bar->setAttribute(Qt::WA_StyledBackground, true);
  auto* l = new QHBoxLayout(bar);
  l->setContentsMargins(14, 6, 10, 6);
  auto* logo = new QLabel(bar);
  logo->setPixmap(QPixmap(QStringLiteral(":/image/logo.png")).scaled(34, 34, Qt::KeepAspectRatio,
                                                                      Qt::SmoothTransformation));
  l->addWidget(logo);
  auto* titleCol = new QVBoxLayout;
  titleCol->setSpacing(0);
  auto* title = new QLabel(QStringLiteral("Torvane Recovery"), bar);
  title->setObjectName("titleText");
  auto* version = new QLabel(QStringLiteral("Finds deleted and lost files and copies them to safety"), bar);
  version->setObjectName("versionLabel");
  titleCol->addWidget(title);
  titleCol->addWidget(version);
  l->addLayout(titleCol);
  l->addStretch(1);
  auto addButton = [&](const QString& text, void (DRUI::*slot)()) {
    auto* b = new QToolButton(bar);
    b->setText(text);
    b->setObjectName("headerButton");
    b->setFocusPolicy(Qt::StrongFocus);
    b->setCursor(Qt::PointingHandCursor);
    connect(b, &QToolButton::clicked, this, slot);
    l->addWidget(b);
  };
  addButton(QStringLiteral("Help"), &DRUI::btnHelpSlot);
  addButton(QStringLiteral("Support"), &DRUI::btnSupportSlot);
  addButton(QStringLiteral("About"), &DRUI::btnAboutSlot);
  return bar;
}

QWidget* DRUI::InitLayout1Widget() {
  auto* page = new QWidget;
  page->setObjectName("page1");
  auto* l = new QVBoxLayout(page);
  l->setContentsMargins(32, 20, 32, 18);
  l->setSpacing(10);
  auto* heading = new QLabel(QStringLiteral("What kind of files do you want to recover?"), page);
  heading->setObjectName("pageHeading");
  l->addWidget(heading);
  auto* hint = new QLabel(QStringLiteral("Choose the kinds of files to look for. The scan only reads the disk; "
                                         "nothing is written to it."),
                          page);
  hint->setObjectName("pageHint");
  hint->setWordWrap(true);
  l->addWidget(hint);

  auto* grid = new QGridLayout;
  grid->setSpacing(12);
  for (int pos = 0; pos < CATEGORY_COUNT; ++pos) {
    int k = kCategoryDisplayOrder[pos];
    auto* card = new QFrame(page);
    card->setObjectName("categoryCard");
    auto* cl = new QHBoxLayout(card);
    cl->setContentsMargins(12, 10, 12, 10);
    auto* icon = new QLabel(card);
    icon->setPixmap(QPixmap(QString::fromLatin1(CategoryIcon(k))).scaled(44, 44, Qt::KeepAspectRatio,
                                                                          Qt::SmoothTransformation));
    cl->addWidget(icon);
    auto* text = new QVBoxLayout;
    m_pCategoryBox[k] = new QCheckBox(QString::fromLatin1(CategoryTitle(k)), card);
    m_pCategoryBox[k]->setObjectName(kBoxNames[k]);
    QFont f = m_pCategoryBox[k]->font();
    f.setBold(true);
    f.setPointSize(11);
    m_pCategoryBox[k]->setFont(f);
    m_pCategoryBox[k]->setChecked(true);
    connect(m_pCategoryBox[k], &QCheckBox::stateChanged, this, [this](int) { CategoryBoxChanged(); });
    text->addWidget(m_pCategoryBox[k]);
    auto* sub = new QLabel(QString::fromLatin1(kCategoryHints[k]), card);
    sub->setObjectName("pageHint");
    sub->setWordWrap(true);
    text->addWidget(sub);
    cl->addLayout(text, 1);
    grid->addWidget(card, pos / 2, pos % 2);
  }
  l->addLayout(grid);
  l->addStretch(1);

  auto* bottom = new QHBoxLayout;
  m_pRecoverAll = new QCheckBox(QStringLiteral("All kinds of files"), page);
  m_pRecoverAll->setObjectName("checkAll");
  m_pRecoverAll->setTristate(true);
  m_pRecoverAll->setCheckState(Qt::Checked);
  connect(m_pRecoverAll, &QCheckBox::stateChanged, this, &DRUI::AllBoxChanged);
  bottom->addWidget(m_pRecoverAll);
  bottom->addStretch(1);
  m_pBtnStart = new QPushButton(QStringLiteral("Next"), page);
  m_pBtnStart->setObjectName("primaryButton");
  m_pBtnStart->setProperty("role", "start");
  m_pBtnStart->setToolTip(QStringLiteral("Choose the disk to scan (Enter)"));
  connect(m_pBtnStart, &QPushButton::clicked, this, &DRUI::btnStartSlot);
  bottom->addWidget(m_pBtnStart);
  l->addLayout(bottom);
  return page;
}

QWidget* DRUI::InitLayout2Widget() {
  auto* page = new QWidget;
  page->setObjectName("page2");
  auto* l = new QVBoxLayout(page);
  l->setContentsMargins(32, 20, 32, 18);
  l->setSpacing(10);
  auto* heading = new QLabel(QStringLiteral("Where were the files?"), page);
  heading->setObjectName("pageHeading");
  l->addWidget(heading);
  auto* hint = new QLabel(QStringLiteral("Choose a partition, or the whole disk when its partitions are gone, and "
                                         "press Scan (or Enter, or double-click it). A disk image file can be "
                                         "added with \u201cOpen disk image\u201d."),
                          page);
  hint->setObjectName("pageHint");
  hint->setWordWrap(true);
  l->addWidget(hint);
  m_pPrivilegeBanner = new QLabel(page);
  m_pPrivilegeBanner->setObjectName("warningBanner");
  m_pPrivilegeBanner->setWordWrap(true);
  m_pPrivilegeBanner->hide();
  l->addWidget(m_pPrivilegeBanner);

  m_pDiskTree = new QTreeWidget(page);
  m_pDiskTree->setObjectName("diskTree");
  m_pDiskTree->setColumnCount(5);
  m_pDiskTree->setHeaderLabels({QStringLiteral("Disk and partition"), QStringLiteral("File system"),
                                QStringLiteral("Label"), QStringLiteral("Size"), QStringLiteral("Earlier scan")});
  m_pDiskTree->setIconSize(QSize(22, 22));
  m_pDiskTree->setRootIsDecorated(true);
  m_pDiskTree->header()->setStretchLastSection(true);
  m_pDiskTree->setColumnWidth(0, 300);
  m_pDiskTree->setColumnWidth(1, 110);
  m_pDiskTree->setColumnWidth(2, 130);
  m_pDiskTree->setColumnWidth(3, 90);
  connect(m_pDiskTree, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem*, QTreeWidgetItem*) {
    UpdateDiskButtons();
  });
  connect(m_pDiskTree, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item, int) {
    SCAN_JOB job;
    if (JobOfRow(item, job)) btnSlotScan();
  });
  l->addWidget(m_pDiskTree, 1);
  m_pDiskStatus = new QLabel(page);
  m_pDiskStatus->setObjectName("pageHint");
  l->addWidget(m_pDiskStatus);

  auto* bottom = new QHBoxLayout;
  auto* open = new QPushButton(QStringLiteral("Open disk image\u2026"), page);
  open->setProperty("role", "openImage");
  connect(open, &QPushButton::clicked, this, &DRUI::btnSlotOpenImage);
  bottom->addWidget(open);
  auto* refresh = new QPushButton(QStringLiteral("Refresh"), page);
  refresh->setProperty("role", "refresh");
  connect(refresh, &QPushButton::clicked, this, &DRUI::btnSlotRefreshDisks);
  bottom->addWidget(refresh);
  bottom->addStretch(1);
  m_pBtnReturn = new QPushButton(QStringLiteral("Return to results"), page);
  m_pBtnReturn->setProperty("role", "returnToResults");
  m_pBtnReturn->hide();
  connect(m_pBtnReturn, &QPushButton::clicked, this, &DRUI::btnSlotReturnToResults);
  bottom->addWidget(m_pBtnReturn);
  auto* back = new QPushButton(QStringLiteral("Back"), page);
  back->setProperty("role", "back");
  connect(back, &QPushButton::clicked, this, &DRUI::btnSlotBack);
  bottom->addWidget(back);
  m_pBtnResume = new QPushButton(QStringLiteral("Resume scan"), page);
  m_pBtnResume->setProperty("role", "resume");
  m_pBtnResume->setEnabled(false);
  connect(m_pBtnResume, &QPushButton::clicked, this, &DRUI::btnSlotResume);
  bottom->addWidget(m_pBtnResume);
  m_pBtnScan = new QPushButton(QStringLiteral("Scan"), page);
  m_pBtnScan->setObjectName("primaryButton");
  m_pBtnScan->setProperty("role", "scan");
  m_pBtnScan->setEnabled(false);
  connect(m_pBtnScan, &QPushButton::clicked, this, &DRUI::btnSlotScan);
  bottom->addWidget(m_pBtnScan);
  l->addLayout(bottom);
  return page;
}

void DRUI::SetPrivilegeWarning(const QString& text) {
  if (!m_pPrivilegeBanner) return;
  m_pPrivilegeBanner->setText(text);
  m_pPrivilegeBanner->setVisible(!text.isEmpty());
}

void DRUI::ShowPage(int nIndex) {
  if (!m_pStackedLayout) return;
  QWidget* pages[] = {m_pPage1, m_pPage2, m_pResultsPage};
  if (nIndex < 0 || nIndex > 2 || !pages[nIndex]) return;
  m_pStackedLayout->setCurrentWidget(pages[nIndex]);
  if (nIndex == 0 && m_pBtnStart) m_pBtnStart->setFocus();
  if (nIndex == 1 && m_pDiskTree) m_pDiskTree->setFocus();
  if (nIndex == 1 && m_pBtnReturn) m_pBtnReturn->setVisible(m_bHaveResults);
  if (nIndex == 2 && m_pResultsPage) m_pResultsPage->Table()->setFocus();
}

int DRUI::CurrentPage() const {
  if (!m_pStackedLayout) return -1;
  QWidget* cur = m_pStackedLayout->currentWidget();
  if (cur == m_pPage1) return 0;
  if (cur == m_pPage2) return 1;
  if (cur && cur == m_pResultsPage) return 2;
  return -1;
}

// ---------------------------------------------------------------- page 1

void DRUI::btnStartSlot() {
  if (!m_pBtnStart->isEnabled()) return;
  ShowPage(1);
}

void DRUI::CategoryBoxChanged() {
  int checked = 0;
  for (QCheckBox* box : m_pCategoryBox)
    if (box && box->isChecked()) ++checked;
  {
    QSignalBlocker block(m_pRecoverAll);
    m_pRecoverAll->setCheckState(checked == CATEGORY_COUNT ? Qt::Checked
                                 : checked == 0            ? Qt::Unchecked
                                                           : Qt::PartiallyChecked);
  }
  m_pBtnStart->setEnabled(checked > 0);
}

void DRUI::AllBoxChanged(int nState) {
  // A click on the box itself never lands on "some": it goes all or nothing.
  bool on = nState != Qt::Unchecked;
  if (nState == Qt::PartiallyChecked) {
    QSignalBlocker block(m_pRecoverAll);
    m_pRecoverAll->setCheckState(Qt::Checked);
  }
  for (QCheckBox* box : m_pCategoryBox) {
    QSignalBlocker block(box);
    box->setChecked(on);
  }
  m_pBtnStart->setEnabled(on);
}

// ---------------------------------------------------------------- page 2

int DRUI::AddImage(const QString& path, int* pStatus) {
  int st = CheckTargetFile(path.toStdString());
  if (pStatus) *pStatus = st;
  if (st != 0) return -1;
  int n = AddDiskImage(path.toStdString());
  if (n >= 0) StartDiskList();
  return n;
}

void DRUI::btnSlotOpenImage() {
  QString path;
  if (m_imageChooser) {
    path = m_imageChooser();
  } else {
    path = QFileDialog::getOpenFileName(this, QStringLiteral("Open disk image"), QDir::homePath(),
                                        QStringLiteral("Disk images (*.img *.dd *.raw *.bin *.iso *.dmg);;All files (*)"),
                                        nullptr, QFileDialog::DontUseNativeDialog);
  }
  if (path.isEmpty()) return;
  int status = 0;
  int n = AddImage(path, &status);
  if (n < 0) {
    CMessageBox::Tell(this, QStringLiteral("imageRefused"),
                      QStringLiteral("\u201c%1\u201d cannot be opened as a disk image: %2.")
                          .arg(QFileInfo(path).fileName(), Words(status)));
    return;
  }
  // The new disk's first row is chosen once the list is read again.
  m_diskRows.clear();
  m_lastJob.nDiskNo = n;
  m_lastJob.nPartition = INT_MIN;
}

void DRUI::btnSlotRefreshDisks() { StartDiskList(); }

void DRUI::StartDiskList() {
  if (m_pDiskThread) {
    m_bDiskListAgain = true;
    return;
  }
  m_bDiskListReady = false;
  if (m_pDiskStatus) m_pDiskStatus->setText(QStringLiteral("Reading the disks\u2026"));
  m_pDiskThread = new CMyThread([this] { m_pendingDiskRows = ReadDiskRows(); });
  connect(m_pDiskThread, &QThread::finished, this, [this] {
    m_pDiskThread->wait();
    delete m_pDiskThread;
    m_pDiskThread = nullptr;
    m_diskRows = std::move(m_pendingDiskRows);
    m_pendingDiskRows.clear();
    FillDiskTree();
    if (m_bDiskListAgain) {
      m_bDiskListAgain = false;
      StartDiskList();
      return;
    }
    m_bDiskListReady = true;
  });
  m_pDiskThread->start();
}

void DRUI::FillDiskTree() {
  if (!m_pDiskTree) return;
  int keepDisk = -1, keepPart = INT_MIN;
  if (QTreeWidgetItem* cur = m_pDiskTree->currentItem()) {
    if (cur->data(0, kRoleRange).isValid()) {
      keepDisk = cur->data(0, kRoleDisk).toInt();
      keepPart = cur->data(0, kRolePartition).toInt();
    }
  }
  if (m_lastJob.nPartition == INT_MIN) {  // an image just opened
    keepDisk = m_lastJob.nDiskNo;
    keepPart = INT_MIN;
  }
  m_pDiskTree->clear();
  QTreeWidgetItem* select = nullptr;
  for (const DISK_ROW& disk : m_diskRows) {
    auto* top = new QTreeWidgetItem(m_pDiskTree);
    top->setData(0, kRoleDisk, disk.nDiskNo);
    top->setIcon(0, QIcon(disk.bImage ? QStringLiteral(":/image/image_file.png") : QStringLiteral(":/image/disk.png")));
    QString title = QString::fromStdString(DiskRowTitle(disk));
    top->setToolTip(0, QString::fromStdString(disk.strPath));
    top->setFirstColumnSpanned(true);
    if (disk.nStatus != 0) {
      top->setText(0, title + QStringLiteral(" \u2014 cannot be read: ") + Words(disk.nStatus));
      top->setToolTip(0, QStringLiteral("%1 cannot be read: %2").arg(QString::fromStdString(disk.strPath), Words(disk.nStatus)));
      top->setFlags(Qt::NoItemFlags);  // greyed, not choosable
      continue;
    }
    top->setText(0, title);
    top->setFlags(Qt::ItemIsEnabled);
    QFont bold = top->font(0);
    bold.setBold(true);
    top->setFont(0, bold);
    for (size_t i = 0; i < disk.ranges.size(); ++i) {
      const DISK_RANGE_ROW& r = disk.ranges[i];
      auto* row = new QTreeWidgetItem(top);
      row->setText(0, QString::fromStdString(r.strName));
      row->setIcon(0, QIcon(QStringLiteral(":/image/partition.png")));
      QString fs = QString::fromStdString(r.strFileSystem);
      if (fs.isEmpty()) fs = r.nPartition != 0 ? QStringLiteral("unknown")
                             : disk.ranges.size() > 1 ? QStringLiteral("partitioned")
                                                      : QStringLiteral("none found");
      row->setText(1, fs);
      row->setText(2, QString::fromStdString(r.strLabel));
      row->setText(3, HumanSize(r.u64SectorCount * SECTOR_SIZE));
      row->setTextAlignment(3, Qt::AlignRight | Qt::AlignVCenter);
      if (r.bStoppedScan)
        row->setText(4, QStringLiteral("stopped part-way, %1 found \u2014 Resume continues it").arg(r.u64RecordedFiles));
      else if (r.bFinishedScan)
        row->setText(4, QStringLiteral("finished, %1 found \u2014 Resume opens it").arg(r.u64RecordedFiles));
      row->setData(0, kRoleDisk, disk.nDiskNo);
      row->setData(0, kRolePartition, r.nPartition);
      row->setData(0, kRoleRange, static_cast<int>(i));
      row->setToolTip(0, r.nPartition == 0
                             ? QStringLiteral("Every sector of the disk, its partitions and the space between them. "
                                              "Use it when the partition table was wiped.")
                             : QStringLiteral("Sectors %1 to %2").arg(r.u64FirstSector).arg(r.u64FirstSector + r.u64SectorCount - 1));
      if (disk.nDiskNo == keepDisk && (keepPart == INT_MIN ? !select : r.nPartition == keepPart)) select = row;
    }
  }
  m_pDiskTree->expandAll();
  if (!select) {
    for (int i = 0; i < m_pDiskTree->topLevelItemCount() && !select; ++i)
      if (m_pDiskTree->topLevelItem(i)->childCount() > 0) select = m_pDiskTree->topLevelItem(i)->child(0);
  }
  if (m_lastJob.nPartition == INT_MIN) m_lastJob = SCAN_JOB();
  if (select) m_pDiskTree->setCurrentItem(select);
  int readable = 0;
  for (const DISK_ROW& d : m_diskRows) readable += d.nStatus == 0;
  m_pDiskStatus->setText(m_diskRows.empty()  ? QStringLiteral("No disks were found. Open a disk image to scan it.")
                         : readable == 0 ? QStringLiteral("No disk can be read. Open a disk image to scan it.")
                                         : QString());
  UpdateDiskButtons();
}

QTreeWidgetItem* DRUI::DiskRangeRow(int nDiskNo, int nPartition) const {
  for (int i = 0; m_pDiskTree && i < m_pDiskTree->topLevelItemCount(); ++i) {
    QTreeWidgetItem* top = m_pDiskTree->topLevelItem(i);
    for (int k = 0; k < top->childCount(); ++k) {
      QTreeWidgetItem* row = top->child(k);
      if (row->data(0, kRoleDisk).toInt() == nDiskNo && row->data(0, kRolePartition).toInt() == nPartition) return row;
    }
  }
  return nullptr;
}

bool DRUI::JobOfRow(QTreeWidgetItem* pItem, SCAN_JOB& job) const {
  if (!pItem || !pItem->data(0, kRoleRange).isValid()) return false;
  int diskNo = pItem->data(0, kRoleDisk).toInt();
  int index = pItem->data(0, kRoleRange).toInt();
  for (const DISK_ROW& disk : m_diskRows) {
    if (disk.nDiskNo != diskNo || index < 0 || index >= static_cast<int>(disk.ranges.size())) continue;
    const DISK_RANGE_ROW& r = disk.ranges[static_cast<size_t>(index)];
    job = SCAN_JOB();
    job.nDiskNo = diskNo;
    job.nPartition = r.nPartition;
    job.u64FirstSector = r.u64FirstSector;
    job.u64SectorCount = r.u64SectorCount;
    job.strName = RangeTitle(disk, r);
    job.bResume = r.bStoppedScan || r.bFinishedScan;
    return true;
  }
  return false;
}

void DRUI::UpdateDiskButtons() {
  if (!m_pBtnScan) return;
  SCAN_JOB job;
  bool ok = JobOfRow(m_pDiskTree->currentItem(), job);
  m_pBtnScan->setEnabled(ok);
  m_pBtnResume->setEnabled(ok && job.bResume);
  bool stopped = false;
  if (ok)
    for (const DISK_ROW& d : m_diskRows)
      if (d.nDiskNo == job.nDiskNo)
        for (const DISK_RANGE_ROW& r : d.ranges)
          if (r.nPartition == job.nPartition) stopped = r.bStoppedScan;
  m_pBtnResume->setText(ok && job.bResume && !stopped ? QStringLiteral("Open earlier results")
                                                      : QStringLiteral("Resume scan"));
}

void DRUI::btnSlotScan() {
  SCAN_JOB job;
  if (!JobOfRow(m_pDiskTree->currentItem(), job)) return;
  if (job.bResume &&
      !CMessageBox::Ask(this, QStringLiteral("rescanQuestion"),
                        QStringLiteral("%1 has a recorded scan. A new scan replaces it; \u201cResume scan\u201d "
                                       "continues or opens it instead.").arg(job.strName),
                        QStringLiteral("Start a new scan"), QStringLiteral("Cancel")))
    return;
  job.bResume = false;
  RunScan(job);
}

void DRUI::btnSlotResume() {
  SCAN_JOB job;
  if (!JobOfRow(m_pDiskTree->currentItem(), job) || !job.bResume) return;
  RunScan(job);
}

void DRUI::btnSlotBack() {
  int page = CurrentPage();
  if (page == 2) {
    if (m_bUnsaved &&
        !CMessageBox::Ask(this, QStringLiteral("backQuestion"),
                          QStringLiteral("Go back to the disk list? The results stay here: \u201cReturn to results\u201d "
                                         "brings you back to them."),
                          QStringLiteral("Go back"), QStringLiteral("Stay"), true))
      return;
    ShowPage(1);
  } else {
    ShowPage(0);
  }
}

void DRUI::btnSlotReturnToResults() {
  if (m_bHaveResults) ShowPage(2);
}

bool DRUI::ConfirmDropResults(const QString& action) {
  if (!m_bHaveResults || !m_bUnsaved) return true;
  return CMessageBox::Ask(this, QStringLiteral("dropResultsQuestion"),
                          QStringLiteral("The files the last scan found have not been saved. %1 closes those results; "
                                         "their scan stays recorded and \u201cResume scan\u201d on the disk list opens "
                                         "it again.").arg(action),
                          QStringLiteral("Continue"), QStringLiteral("Cancel"));
}

// ---------------------------------------------------------------- scanning

void DRUI::RunOperation(SCANUI& dialog, std::function<void()> work, std::function<void()> onEnd) {
  CMyThread thread(std::move(work));
  connect(&thread, &QThread::finished, &dialog, [&onEnd] { onEnd(); });
  thread.start();
  dialog.exec();
  thread.wait();
}

int DRUI::RunScan(const SCAN_JOB& job) {
  bool same = job.bResume && job.nDiskNo == m_lastJob.nDiskNo && job.u64FirstSector == m_lastJob.u64FirstSector &&
              job.u64SectorCount == m_lastJob.u64SectorCount;
  if (!same && !ConfirmDropResults(QStringLiteral("This scan"))) return RECOVERY_CANCELLED;
  WaitForPreview();
  if (m_pDiskThread) m_pDiskThread->wait();  // the scan record is not read and written at once
  for (int i = 0; i < CATEGORY_COUNT; ++i) m_bCategoryChecked[i] = m_pCategoryBox[i] && m_pCategoryBox[i]->isChecked();

  m_pSession.reset(new CScanSession);
  CScanSession* session = m_pSession.get();
  m_scanFlags.bCancel = false;
  m_scanFlags.bDone = false;
  bool kinds[CATEGORY_COUNT];
  for (int i = 0; i < CATEGORY_COUNT; ++i) kinds[i] = m_bCategoryChecked[i];
  int status = 0;
  int percent = 0;
  u64 unreadable = 0;
  bool image = false;
  std::shared_ptr<RESULT_SET> set;

  SCANUI dialog(this, SCANUI::MODE_SCAN, &m_scanFlags.bCancel);
  dialog.SetHeading(QStringLiteral("%1 %2").arg(job.bResume ? QStringLiteral("Resuming the scan of")
                                                            : QStringLiteral("Scanning"),
                                                job.strName));
  connect(this, &DRUI::ScanProgressSignal, &dialog, &SCANUI::OnScanProgress);
  auto work = [&, session, job] {
    int st = session->OpenTarget("disk:" + std::to_string(job.nDiskNo));
    if (st == 0 && job.nPartition > 0) st = session->SelectPartition(job.nPartition);
    if (st == 0 && job.nPartition == 0 && (job.u64FirstSector != 0 || job.u64SectorCount != session->Target().u64SectorCount))
      st = session->SelectRange(job.u64FirstSector, job.u64SectorCount, job.strName.toStdString());
    SCAN_PROGRESS last;
    if (st == 0)
      st = session->Scan(job.bResume, [this, &last](const SCAN_PROGRESS& p) {
        last = p;
        emit ScanProgressSignal(p);
        return !m_scanFlags.bCancel;
      });
    std::vector<RESULT_ITEM> items;
    if (session->Engine()) session->Results(items);
    set = BuildResultSet(std::move(items), kinds);
    SCAN_PROGRESS done = last;
    done.ePhase = SCAN_PROGRESS::PHASE_DONE;
    done.u64Found = set->items.size();
    emit ScanProgressSignal(done);
    status = st;
    percent = last.nPercent;
    unreadable = session->UnreadableSectors();
    image = session->Target().bImage;
    m_scanFlags.bDone = true;
  };
  RunOperation(dialog, work, [&dialog] { dialog.OnWorkerFinished(); });

  m_nScanStatus = status;
  m_nStoppedPercent = percent;
  m_lastJob = job;
  m_lastJob.bResume = false;
  const u64 found = set ? set->items.size() : 0;
  QString heading = found == 0 ? QStringLiteral("No files found in %1").arg(job.strName)
                    : found == 1 ? QStringLiteral("Found 1 file in %1").arg(job.strName)
                                 : QStringLiteral("Found %1 files in %2")
                                       .arg(QLocale().toString(static_cast<qulonglong>(found)), job.strName);
  m_pResultsPage->SetResults(set, heading);
  QString skipped = unreadable == 0 ? QString()
                    : QStringLiteral(" %1 unreadable sectors (%2) were skipped; files lying there may be partial.")
                          .arg(QLocale().toString(static_cast<qulonglong>(unreadable)), HumanSize(unreadable * SECTOR_SIZE));
  // A disk that gave read errors is better copied once than read again.
  const bool offerImage = unreadable > 0 && !image;
  if (status == 0)
    m_pResultsPage->SetScanState(skipped.trimmed(), false, false, offerImage);
  else if (status == RECOVERY_CANCELLED)
    m_pResultsPage->SetScanState(QStringLiteral("Stopped at %1 % \u2014 results so far. Resume continues the scan "
                                                "where it stopped.").arg(percent) + skipped,
                                 false, true, offerImage);
  else
    m_pResultsPage->SetScanState(QStringLiteral("Scan failed: %1. What was found before it failed is listed.")
                                     .arg(Words(status)),
                                 true, true);
  m_bHaveResults = true;
  m_bUnsaved = found > 0;
  m_outcomes.clear();
  ShowPage(2);
  StartDiskList();  // the recorded scans changed
  return status;
}

void DRUI::btnMakeImageSlot() {
  if (m_lastJob.nDiskNo < 0) return;
  QString out = m_imageSaveChooser
                    ? m_imageSaveChooser()
                    : QFileDialog::getSaveFileName(this, QStringLiteral("Make a disk image"), QDir::homePath() + "/disk.img",
                                                   QStringLiteral("Disk images (*.img)"), nullptr,
                                                   QFileDialog::DontUseNativeDialog | QFileDialog::DontConfirmOverwrite);
  if (!out.isEmpty()) MakeImage(m_lastJob.nDiskNo, out);
}

int DRUI::MakeImage(int nDiskNo, const QString& out) {
  WaitForPreview();
  CDiskImager imager;
  int status = imager.Open("disk:" + std::to_string(nDiskNo), out.toStdString(), "");
  if (status != 0) {
    QString why = status == EEXIST ? QStringLiteral("a file of that name exists (it is never overwritten)") : Words(status);
    CMessageBox::Tell(this, QStringLiteral("imageFailed"),
                      QStringLiteral("The disk cannot be copied into \u201c%1\u201d: %2.").arg(out, why));
    return status;
  }
  QProgressDialog progress(QStringLiteral("Copying the disk into %1 \u2026").arg(QFileInfo(out).fileName()),
                           QStringLiteral("Stop"), 0, 1000, this);
  progress.setObjectName("imageProgress");
  progress.setWindowModality(Qt::WindowModal);
  progress.setMinimumDuration(0);
  std::atomic<bool> stop{false};
  std::atomic<int> permille{0};
  std::atomic<u32> badAreas{0};
  connect(&progress, &QProgressDialog::canceled, this, [&stop] { stop = true; });
  CMyThread worker([&] {
    status = imager.Run([&](const IMAGE_PROGRESS& p) {
      permille = p.u64Bytes ? static_cast<int>((p.u64Bytes - p.u64Pending) * 1000 / p.u64Bytes) : 0;
      badAreas = p.nBadAreas;
      return !stop.load();
    });
  });
  QEventLoop loop;
  QTimer tick;
  tick.setInterval(200);
  connect(&tick, &QTimer::timeout, this, [&] {
    progress.setValue(permille.load());
    if (badAreas.load())
      progress.setLabelText(QStringLiteral("Copying the disk into %1 \u2026 %2 unreadable areas so far.")
                                .arg(QFileInfo(out).fileName())
                                .arg(badAreas.load()));
  });
  connect(&worker, &QThread::finished, &loop, &QEventLoop::quit);
  worker.start();
  tick.start();
  progress.show();
  loop.exec();
  worker.wait();
  progress.close();
  IMAGE_PROGRESS p = imager.Progress();
  if (status == RECOVERY_CANCELLED) {
    CMessageBox::Tell(this, QStringLiteral("imageStopped"),
                      QStringLiteral("Copying stopped at %1 of %2. Making the same image again goes on where it "
                                     "stopped (%3 keeps what was read).")
                          .arg(HumanSize(p.u64Bytes - p.u64Pending), HumanSize(p.u64Bytes), imager.MapPath().c_str()));
    return status;
  }
  if (status != 0) {
    CMessageBox::Tell(this, QStringLiteral("imageFailed"),
                      QStringLiteral("The image could not be written: %1.").arg(Words(status)));
    return status;
  }
  int n = AddImage(out);
  QString bad = p.u64BadBytes == 0 ? QStringLiteral("Every sector was read.")
                                   : QStringLiteral("%1 unreadable sectors are zeros in the image; scans of it know them "
                                                    "from its map.")
                                         .arg(QLocale().toString(static_cast<qulonglong>(p.u64BadBytes / SECTOR_SIZE)));
  CMessageBox::Tell(this, QStringLiteral("imageMade"),
                    QStringLiteral("The disk was copied into \u201c%1\u201d. %2 It is listed as disk %3: scan it "
                                   "instead of the disk.")
                        .arg(out, bad)
                        .arg(n));
  return 0;
}

void DRUI::btnResumeFromResults() {
  if (m_lastJob.nDiskNo < 0) return;
  SCAN_JOB job = m_lastJob;
  job.bResume = true;
  RunScan(job);
}

// ---------------------------------------------------------------- preview

void DRUI::RequestPreview(int item) {
  m_nPreviewWanted = item;
  if (item < 0 || !m_pSession || !m_pResultsPage->Model()->Set()) return;
  // Decoded larger than the area, so the picture stays sharp when the window grows.
  m_previewFit = m_pResultsPage->PreviewArea().expandedTo(QSize(1200, 900));
  m_pResultsPage->ShowPreviewLoading(item);
  if (!m_pPreviewThread) StartPreviewWorker();
}

void DRUI::StartPreviewWorker() {
  std::shared_ptr<const RESULT_SET> set = m_pResultsPage->Model()->SharedSet();
  int item = m_nPreviewWanted;
  if (!set || item < 0 || item >= static_cast<int>(set->items.size())) return;
  m_nPreviewRunning = item;
  CScanSession* session = m_pSession.get();
  QSize fit = m_previewFit;
  RESULT_ITEM copy = set->items[static_cast<size_t>(item)];
  m_pPreviewThread = new CMyThread([this, session, copy, fit]() mutable {
    u64 want = PreviewBytesWanted(copy.strName, copy.node.u64FileSize);
    QByteArray bytes(static_cast<qsizetype>(want), '\0');
    int len = static_cast<int>(want);
    int st = want == 0 ? 0 : session->Preview(copy, nullptr, reinterpret_cast<unsigned char*>(bytes.data()), len);
    bytes.truncate(len < 0 ? 0 : std::min<int>(len, static_cast<int>(want)));
    if (st != 0 && bytes.isEmpty()) {
      m_previewResult = PREVIEW_RESULT();
      m_previewResult.eKind = PREVIEW_RESULT::INFO;
      m_previewResult.strInfo = QStringLiteral("This file could not be read: %1.").arg(Words(st));
    } else {
      m_previewResult = DecodePreview(bytes, copy.strName, copy.node.u64FileSize, fit);
    }
  });
  int generation = ++m_nPreviewGeneration;
  connect(m_pPreviewThread, &QThread::finished, this, [this, generation] {
    if (generation != m_nPreviewGeneration || !m_pPreviewThread) return;
    m_pPreviewThread->wait();
    delete m_pPreviewThread;
    m_pPreviewThread = nullptr;
    m_pResultsPage->ShowPreview(m_nPreviewRunning, m_previewResult);
    if (m_nPreviewWanted >= 0 && m_nPreviewWanted != m_nPreviewRunning) StartPreviewWorker();
  });
  m_pPreviewThread->start();
}

void DRUI::WaitForPreview() {
  if (!m_pPreviewThread) return;
  ++m_nPreviewGeneration;  // its queued end report is stale now
  m_pPreviewThread->wait();
  delete m_pPreviewThread;
  m_pPreviewThread = nullptr;
  if (m_pResultsPage) m_pResultsPage->ShowPreview(m_nPreviewRunning, m_previewResult);
}

// ---------------------------------------------------------------- recovery

QString DRUI::ChooseDestination() {
  if (m_folderChooser) return m_folderChooser();
  return QFileDialog::getExistingDirectory(this, QStringLiteral("Choose a folder for the recovered files"),
                                           QDir::homePath(), QFileDialog::ShowDirsOnly | QFileDialog::DontUseNativeDialog);
}

void DRUI::btnRecovery() {
  CResultModel* model = m_pResultsPage->Model();
  std::shared_ptr<const RESULT_SET> set = model->SharedSet();
  std::vector<u32> chosen = model->CheckedItems();
  if (!m_pSession || !set || chosen.empty()) return;
  WaitForPreview();
  QString dest;
  for (;;) {
    dest = ChooseDestination();
    if (dest.isEmpty()) return;
    int st = m_pSession->CheckDestination(dest.toStdString());
    if (st == 0) break;
    // Saving onto the scanned disk could overwrite the very files being saved.
    QString text = QStringLiteral("Files cannot be saved in \u201c%1\u201d: %2.\n\nChoose a folder on another disk, "
                                  "such as a USB stick or a second drive.")
                       .arg(dest, Words(st));
    if (m_pSession->Target().bImage)
      text += QStringLiteral(" A folder beside the disk image is fine as long as it is not inside the image itself.");
    if (!CMessageBox::Ask(this, QStringLiteral("destinationRefused"), text, QStringLiteral("Choose another folder\u2026"),
                          QStringLiteral("Cancel"), true))
      return;
  }
  SAVE_OPTIONS options;
  options.bKeepTree = m_pResultsPage->KeepFolderTree();
  options.bGroupByDate = m_pResultsPage->GroupByDate();
  m_recoveryFlags.bCancel = false;
  m_recoveryFlags.bDone = false;
  CScanSession* session = m_pSession.get();
  QStringList names;
  names.reserve(static_cast<qsizetype>(chosen.size()));
  for (u32 i : chosen) names << QString::fromStdString(set->items[i].strName);
  SAVE_SUMMARY summary;
  std::vector<SAVE_OUTCOME> outcomes;
  int status = 0;

  SCANUI dialog(this, SCANUI::MODE_RECOVERY, &m_recoveryFlags.bCancel);
  dialog.SetSaveDir(dest);
  dialog.SetHeading(chosen.size() == 1 ? QStringLiteral("Saving 1 file to %1").arg(dest)
                                       : QStringLiteral("Saving %1 files to %2")
                                             .arg(QLocale().toString(static_cast<qulonglong>(chosen.size())), dest));
  connect(this, &DRUI::SaveProgressSignal, &dialog, &SCANUI::OnSaveProgress);
  std::string destination = dest.toStdString();
  auto work = [&, session, set, destination] {
    std::vector<RESULT_ITEM> items;
    items.reserve(chosen.size());
    for (u32 i : chosen) items.push_back(set->items[i]);
    status = session->Save(items, destination, options,
                           [this, &items](size_t nDone, size_t nTotal, const SAVE_OUTCOME* pOutcome) {
                             size_t at = pOutcome ? nDone - 1 : nDone;
                             QString name = at < items.size() ? QString::fromStdString(items[at].strName) : QString();
                             emit SaveProgressSignal(nDone, nTotal, name, pOutcome ? pOutcome->nStatus : INT_MIN);
                             return !m_recoveryFlags.bCancel;
                           },
                           summary, &outcomes);
    m_recoveryFlags.bDone = true;
  };
  RunOperation(dialog, work, [&] { dialog.ShowSummary(status, summary, outcomes, names); });
  m_outcomes = outcomes;
  if (summary.nSaved + summary.nPartial + summary.nSkipped > 0) m_bUnsaved = false;
}

// ---------------------------------------------------------------- help

void DRUI::btnHelpSlot() { ShowDocument(QStringLiteral(":/docs/help.md"), QStringLiteral("Help")); }
void DRUI::btnSupportSlot() { ShowDocument(QStringLiteral(":/docs/support.md"), QStringLiteral("Support")); }
void DRUI::btnAboutSlot() { ShowDocument(QStringLiteral(":/docs/about.md"), QStringLiteral("About")); }

void DRUI::ShowDocument(const QString& resource, const QString& title) {
  QFile f(resource);
  QString text;
  if (f.open(QIODevice::ReadOnly)) text = QString::fromUtf8(f.readAll());
  QDialog dialog(this);
  dialog.setObjectName("documentDialog");
  ApplyAppLook(&dialog);
  dialog.setWindowTitle(title);
  auto* l = new QVBoxLayout(&dialog);
  l->setContentsMargins(14, 12, 14, 12);
  auto* browser = new QTextBrowser(&dialog);
  browser->setObjectName("documentText");
  browser->setOpenExternalLinks(true);
  browser->setMarkdown(text);
  l->addWidget(browser, 1);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  auto* close = new QPushButton(QStringLiteral("Close"), &dialog);
  close->setObjectName("primaryButton");
  close->setDefault(true);
  connect(close, &QPushButton::clicked, &dialog, &QDialog::accept);
  buttons->addWidget(close);
  l->addLayout(buttons);
  dialog.resize(700, 560);
  dialog.exec();
}

// ---------------------------------------------------------------- window

void DRUI::keyPressEvent(QKeyEvent* pEvent) {
  if (pEvent->key() == Qt::Key_Return || pEvent->key() == Qt::Key_Enter) {
    // Enter presses a focused button, else the page's main button.
    if (auto* button = qobject_cast<QAbstractButton*>(focusWidget())) {
      if (button->isEnabled()) button->click();
      return;
    }
    if (CurrentPage() == 0 && m_pBtnStart->isEnabled()) m_pBtnStart->click();
    if (CurrentPage() == 1 && m_pBtnScan->isEnabled()) m_pBtnScan->click();
    return;
  }
  QWidget::keyPressEvent(pEvent);
}

void DRUI::closeEvent(QCloseEvent* pEvent) {
  if (m_bHaveResults && m_bUnsaved &&
      !CMessageBox::Ask(this, QStringLiteral("exitQuestion"),
                        QStringLiteral("Quit Torvane Recovery? The files found have not been saved. The scan stays "
                                       "recorded: \u201cResume scan\u201d on the disk list opens it again."),
                        QStringLiteral("Quit"), QStringLiteral("Stay"))) {
    pEvent->ignore();
    return;
  }
  WaitForPreview();
  pEvent->accept();
}

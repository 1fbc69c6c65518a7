#include "app/DRUI.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QDialog>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QImageReader>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QStackedLayout>
#include <QStackedWidget>
#include <QTableWidget>
#include <QTextBrowser>
#include <QTextEdit>
#include <QToolButton>
#include <QTreeWidget>
#include <QUrl>
#include <QVBoxLayout>
#include <cstdio>
#include <cstring>

#include "app/MessageBox.h"
#include "app/MyThread.h"
#include "app/Platform.h"
#include "app/ScanUI.h"
#include "app/WindowBehaviour.h"
#include "scan/ProfessionalRecovery.h"
#include "engine/DiskMap.h"
#include "engine/DiskReader.h"
#include "engine/FaultGuard.h"
#include "scan/FileRecoveryFactory.h"
#include "engine/TextUtil.h"

static void InitAppResources() {
  Q_INIT_RESOURCE(torvane);
  Q_INIT_RESOURCE(torvane_docs);
}

namespace {

constexpr int kPreviewBufSize = 10240;
constexpr int kPreviewMaxWidth = 700;
constexpr int kPreviewMaxHeight = 200;
constexpr int kRoleCategory = Qt::UserRole;
constexpr int kRoleExtension = Qt::UserRole + 1;

const char* const kCategoryTreeNames[CATEGORY_COUNT] = {"Photo(%1)", "Music(%1)",   "Office(%1)",
                                                         "Video(%1)", "Archive(%1)", "Other(%1)"};
const char* const kCategoryIcons[CATEGORY_COUNT] = {":/image/cat_photo.png",    ":/image/cat_audio.png",
                                                    ":/image/cat_document.png", ":/image/cat_video.png",
                                                    ":/image/cat_archive.png",  ":/image/cat_other.png"};
const char* const kCategoryTitles[CATEGORY_COUNT] = {"Photos", "Music", "Documents", "Videos", "Archives",
                                                     "Other Files"};
const char* const kCategoryHints[CATEGORY_COUNT] = {
    "JPG, PNG, GIF, BMP, TIFF, camera RAW and more", "MP3, WAV, WMA, OGG, M4A, AIFF and more",
    "Word, Excel, PowerPoint, PDF, text and more",   "MP4, AVI, MOV, MKV, WMV, FLV and more",
    "ZIP, RAR, 7Z, CAB, ISO and more",               "Files of any other type"};

QString WideToQString(const wchar_t* p) { return p ? QString::fromWCharArray(p) : QString(); }

}  // namespace

SELECT_KEY MakeSelectKey(const _FILE_NODE_& node) {
  return SELECT_KEY((static_cast<u64>(node.nFileIndex) << 32) | node.nClusterNO, node.nEngineType);
}

DRUI::DRUI(QWidget* pParent)
    : QWidget(pParent),
      m_pFileRecovery(nullptr),
      m_nScanResult(0),
      m_bFinalScanReport(false),
      m_bFileReported(false),
      m_pPreviewBuf(nullptr),
      m_nPreviewLen(0),
      m_pPreviewBuf2(nullptr),
      m_bPreviewPicture(false),
      m_bHaveInvokingUser(false),
      m_nInvokingUid(0),
      m_nInvokingGid(0),
      m_pStackedLayout(nullptr),
      m_pPage1(nullptr),
      m_pPage2(nullptr),
      m_pPage3(nullptr),
      m_pRecoverAll(nullptr),
      m_bPartialFromCategory(false),
      m_pBtnStart(nullptr),
      m_pDiskTree(nullptr),
      m_pBtnScan(nullptr),
      m_pPrivilegeBanner(nullptr),
      m_pResultHeading(nullptr),
      m_pResultTree(nullptr),
      m_pTable(nullptr),
      m_pSelectionLabel(nullptr),
      m_pBtnRecover(nullptr),
      m_pPreviewStack(nullptr),
      m_pPreviewPicture(nullptr),
      m_pPreviewScroll(nullptr),
      m_pPreviewText(nullptr),
      m_bFillingTable(false),
      m_bUpdatingTree(false) {
  InitAppResources();
  qRegisterMetaType<_FILE_NODE_>("FILE_NODE");
  qRegisterMetaType<_PARTITION_ITEM_>("PARTITION_ITEM");
  memset(&m_partitionItem, 0, sizeof(m_partitionItem));
  memset(&m_previewNode, 0, sizeof(m_previewNode));
  memset(m_wszPreviewPath, 0, sizeof(m_wszPreviewPath));
  for (int i = 0; i < CATEGORY_COUNT; ++i) {
    m_bCategoryChecked[i] = true;
    m_pCategoryBox[i] = nullptr;
  }
  m_engineMaker = [](const _PARTITION_ITEM_& item) -> IFileRecoveryParse* {
    return CFileRecoveryFactory::GetInstance()->CreateFileRecoveryInstance(
        item.nDiskNo, static_cast<i64>(item.u64StartSector),
        static_cast<i64>(item.u64EndSector - item.u64StartSector + 1), 67, RECOVERY_TYPE_PROFESSIONAL);
  };
  uid_t uid;
  gid_t gid;
  if (GetInvokingUser(uid, gid)) {
    m_bHaveInvokingUser = true;
    m_nInvokingUid = uid;
    m_nInvokingGid = gid;
  }
}

DRUI::~DRUI() {
  DestroyEngine();
  delete[] m_pPreviewBuf;
  delete[] m_pPreviewBuf2;
}

void DRUI::DestroyEngine() {
  delete m_pFileRecovery;
  m_pFileRecovery = nullptr;
}

OPERATION_FLAGS& DRUI::GetFlags(int nOprType) {
  switch (nOprType) {
    case OPERATION_SCAN: return m_scanFlags;
    case OPERATION_SEARCH: return m_searchFlags;
    case OPERATION_PREVIEW: return m_previewFlags;
    default: return m_recoveryFlags;
  }
}

// ---------------------------------------------------------------- set-up

void DRUI::Init() {
  // The support folders; the scan-log manager fills the second one.
  MakeDirectories(GetSupportDir());
  MakeDirectories(GetScanLogDir());

  m_pPreviewBuf = new unsigned char[kPreviewBufSize];
  m_pPreviewBuf2 = new unsigned char[kPreviewBufSize * 2];

  new CWindowBehaviour(this);
  setWindowTitle(QStringLiteral("Torvane Data Recovery Pro"));
  setWindowIcon(QIcon(QStringLiteral(":/image/logo.png")));
  setWindowFlags((windowFlags() | Qt::FramelessWindowHint | Qt::WindowMinimizeButtonHint) &
                 ~Qt::WindowMaximizeButtonHint);
  setFixedSize(1000, 660);
  setFont(AppTextFont());
  setStyleSheet(AppStyleSheet());

  auto* outer = new QVBoxLayout(this);
  outer->setContentsMargins(0, 0, 0, 0);
  auto* frame = new QWidget(this);
  frame->setObjectName("windowFrame");
  outer->addWidget(frame);
  auto* frameLayout = new QVBoxLayout(frame);
  frameLayout->setContentsMargins(0, 0, 0, 0);
  frameLayout->setSpacing(0);
  frameLayout->addWidget(CreateTitleBar());
  auto* pages = new QWidget(frame);
  m_pStackedLayout = new QStackedLayout(pages);
  frameLayout->addWidget(pages, 1);

  m_pPage1 = InitLayout1Widget();
  m_pPage2 = InitLayout2Widget();
  m_pStackedLayout->addWidget(m_pPage1);
  m_pStackedLayout->addWidget(m_pPage2);
  ShowPage(0);

  if (QScreen* screen = QApplication::primaryScreen()) {
    QRect r = screen->availableGeometry();
    move(r.center() - QPoint(width() / 2, height() / 2));
  }
}

QWidget* DRUI::CreateTitleBar() {
  auto* bar = new QWidget(this);
  bar->setObjectName("titleBar");
  bar->setAttribute(Qt::WA_StyledBackground, true);
  bar->setFixedHeight(58);
  auto* l = new QHBoxLayout(bar);
  l->setContentsMargins(14, 6, 8, 6);
  auto* logo = new QLabel(bar);
  logo->setPixmap(QPixmap(QStringLiteral(":/image/logo.png")).scaled(38, 38, Qt::KeepAspectRatio,
                                                                      Qt::SmoothTransformation));
  l->addWidget(logo);
  auto* titleCol = new QVBoxLayout;
  titleCol->setSpacing(0);
  auto* title = new QLabel(QStringLiteral("Torvane Data Recovery Pro"), bar);
  title->setObjectName("titleText");
  auto* version = new QLabel(QStringLiteral("Version 1.3.1.5"), bar);
  version->setObjectName("versionLabel");
  titleCol->addWidget(title);
  titleCol->addWidget(version);
  l->addLayout(titleCol);
  l->addStretch(1);
  auto addButton = [&](const QString& text, const char* name, void (DRUI::*slot)()) {
    auto* b = new QToolButton(bar);
    b->setText(text);
    b->setObjectName(name);
    b->setCursor(Qt::PointingHandCursor);
    connect(b, &QToolButton::clicked, this, slot);
    l->addWidget(b);
    return b;
  };
  addButton(QStringLiteral("Help"), "titleButton", &DRUI::btnHelpSlot);
  addButton(QStringLiteral("Support"), "titleButton", &DRUI::btnSupportSlot);
  addButton(QStringLiteral("About"), "titleButton", &DRUI::btnAboutSlot);
  auto* min = new QToolButton(bar);
  min->setObjectName("titleButton");
  min->setText(QStringLiteral("\u2013"));
  min->setToolTip(QStringLiteral("Minimize"));
  connect(min, &QToolButton::clicked, this, &QWidget::showMinimized);
  l->addWidget(min);
  auto* close = new QToolButton(bar);
  close->setObjectName("closeButton");
  close->setText(QStringLiteral("\u2715"));
  close->setToolTip(QStringLiteral("Close"));
  connect(close, &QToolButton::clicked, this, &QWidget::close);
  l->addWidget(close);
  return bar;
}

QWidget* DRUI::InitLayout1Widget() {
  auto* page = new QWidget;
  page->setObjectName("page1");
  auto* l = new QVBoxLayout(page);
  l->setContentsMargins(32, 22, 32, 22);
  l->setSpacing(10);
  auto* heading = new QLabel(QStringLiteral("What kind of files do you want to recover?"), page);
  heading->setObjectName("pageHeading");
  l->addWidget(heading);
  auto* hint = new QLabel(
      QStringLiteral("Choose the file types to look for. The scan reads the disk only; nothing is written to it."),
      page);
  hint->setObjectName("pageHint");
  l->addWidget(hint);

  auto* grid = new QGridLayout;
  grid->setSpacing(14);
  static const char* const kBoxNames[CATEGORY_COUNT] = {"checkPhoto", "checkMusic",   "checkDocument",
                                                         "checkVideo", "checkArchive", "checkOther"};
  for (int i = 0; i < CATEGORY_COUNT; ++i) {
    auto* card = new QFrame(page);
    card->setObjectName("categoryCard");
    auto* cl = new QHBoxLayout(card);
    cl->setContentsMargins(14, 12, 14, 12);
    auto* icon = new QLabel(card);
    icon->setPixmap(QPixmap(QString::fromLatin1(kCategoryIcons[i])).scaled(52, 52, Qt::KeepAspectRatio,
                                                                            Qt::SmoothTransformation));
    cl->addWidget(icon);
    auto* text = new QVBoxLayout;
    m_pCategoryBox[i] = new QCheckBox(QString::fromLatin1(kCategoryTitles[i]), card);
    m_pCategoryBox[i]->setObjectName(kBoxNames[i]);
    QFont f = m_pCategoryBox[i]->font();
    f.setBold(true);
    f.setPointSize(12);
    m_pCategoryBox[i]->setFont(f);
    m_pCategoryBox[i]->setChecked(true);
    connect(m_pCategoryBox[i], &QCheckBox::stateChanged, this, &DRUI::CheckBoxStatChange);
    text->addWidget(m_pCategoryBox[i]);
    auto* sub = new QLabel(QString::fromLatin1(kCategoryHints[i]), card);
    sub->setObjectName("pageHint");
    text->addWidget(sub);
    cl->addLayout(text, 1);
    grid->addWidget(card, i / 2, i % 2);
  }
  l->addLayout(grid);
  l->addStretch(1);

  auto* bottom = new QHBoxLayout;
  m_pRecoverAll = new QCheckBox(QStringLiteral("Recover All"), page);
  m_pRecoverAll->setObjectName("checkAll");
  m_pRecoverAll->setTristate(true);
  m_pRecoverAll->setCheckState(Qt::Checked);
  connect(m_pRecoverAll, &QCheckBox::stateChanged, this, &DRUI::CheckBoxAllStatChange);
  bottom->addWidget(m_pRecoverAll);
  bottom->addStretch(1);
  m_pBtnStart = new QPushButton(QStringLiteral("Start"), page);
  m_pBtnStart->setObjectName("primaryButton");
  m_pBtnStart->setProperty("role", "start");
  connect(m_pBtnStart, &QPushButton::clicked, this, &DRUI::btnSlot);
  bottom->addWidget(m_pBtnStart);
  l->addLayout(bottom);
  return page;
}

QWidget* DRUI::InitLayout2Widget() {
  auto* page = new QWidget;
  page->setObjectName("page2");
  auto* l = new QVBoxLayout(page);
  l->setContentsMargins(32, 22, 32, 22);
  l->setSpacing(10);
  auto* heading = new QLabel(QStringLiteral("Select the location where you lost files"), page);
  heading->setObjectName("pageHeading");
  l->addWidget(heading);
  auto* hint = new QLabel(QStringLiteral("Pick a partition and click Scan, or double-click it. A disk image can be "
                                         "added with Open Disk Image."),
                          page);
  hint->setObjectName("pageHint");
  l->addWidget(hint);
  m_pPrivilegeBanner = new QLabel(page);
  m_pPrivilegeBanner->setObjectName("warningBanner");
  m_pPrivilegeBanner->setWordWrap(true);
  m_pPrivilegeBanner->hide();
  l->addWidget(m_pPrivilegeBanner);

  m_pDiskTree = new QTreeWidget(page);
  m_pDiskTree->setObjectName("diskTree");
  m_pDiskTree->setColumnCount(2);
  m_pDiskTree->setHeaderLabels({QStringLiteral("Name"), QStringLiteral("Size")});
  m_pDiskTree->setColumnWidth(0, 700);
  m_pDiskTree->setColumnWidth(1, 100);
  m_pDiskTree->setIconSize(QSize(24, 24));
  m_pDiskTree->setStyleSheet(QStringLiteral("QTreeView::item { height: 30px; }"));
  connect(m_pDiskTree, &QTreeWidget::itemClicked, this, &DRUI::diskItemClick);
  connect(m_pDiskTree, &QTreeWidget::itemDoubleClicked, this, &DRUI::diskItemDoubleClick);
  connect(m_pDiskTree, &QTreeWidget::currentItemChanged, this,
          [this](QTreeWidgetItem* cur, QTreeWidgetItem*) { diskItemClick(cur, 0); });
  l->addWidget(m_pDiskTree, 1);

  auto* bottom = new QHBoxLayout;
  auto* open = new QPushButton(QStringLiteral("Open Disk Image\u2026"), page);
  open->setProperty("role", "openImage");
  connect(open, &QPushButton::clicked, this, &DRUI::btnSlotOpenImage);
  bottom->addWidget(open);
  bottom->addStretch(1);
  auto* back = new QPushButton(QStringLiteral("Back"), page);
  back->setProperty("role", "back");
  connect(back, &QPushButton::clicked, this, &DRUI::btnSlotBack);
  bottom->addWidget(back);
  m_pBtnScan = new QPushButton(QStringLiteral("Scan"), page);
  m_pBtnScan->setObjectName("primaryButton");
  m_pBtnScan->setProperty("role", "scan");
  m_pBtnScan->setEnabled(false);
  connect(m_pBtnScan, &QPushButton::clicked, this, &DRUI::btnSlotScan);
  bottom->addWidget(m_pBtnScan);
  l->addLayout(bottom);
  CreateDiskTree();
  return page;
}

void DRUI::SetPrivilegeWarning(const QString& text) {
  if (!m_pPrivilegeBanner) return;
  m_pPrivilegeBanner->setText(text);
  m_pPrivilegeBanner->setVisible(!text.isEmpty());
}

int DRUI::AddImage(const QString& path) {
  int n = AddDiskImage(path.toStdString());
  if (n >= 0) {
    m_setImageDisks.insert(n);
    if (m_pDiskTree) CreateDiskTree();
  }
  return n;
}

void DRUI::CreateDiskTree() {
  m_pDiskTree->clear();
  CPartitionManager manager;
  CPartitionManager::PartitionMap map;
  manager.GetPartitionItems(map);
  // An image without a partition table is one volume: list it whole.
  for (int n : m_setImageDisks) {
    if (map.count(n)) continue;
    int fd = OpenDiskReadOnly(n);
    if (fd < 0) continue;
    u64 bytes = rsb_getDeviceSize(fd);
    ::close(fd);
    if (bytes < SECTOR_SIZE) continue;
    _PARTITION_ITEM_ item;
    memset(&item, 0, sizeof(item));
    item.u64StartSector = 0;
    item.u64EndSector = bytes / SECTOR_SIZE - 1;
    item.nDiskNo = n;
    QString name = QFileInfo(QString::fromStdString(GetDiskDevicePath(n))).fileName().left(35);
    for (int i = 0; i < name.size() && i < 35; ++i) item.wszName[i] = static_cast<char16_t>(name.at(i).unicode());
    snprintf(item.szDevicePath, sizeof(item.szDevicePath), "/dev/disk%d", n);
    map[n].push_back(item);
  }
  for (const auto& disk : map) {
    auto* top = new QTreeWidgetItem(m_pDiskTree);
    top->setText(0, QStringLiteral("Physical Driver %1").arg(disk.first));
    QString device = QString::fromStdString(GetDiskDevicePath(disk.first));
    top->setToolTip(0, device);
    top->setIcon(0, QIcon(m_setImageDisks.count(disk.first) ? QStringLiteral(":/image/image_file.png")
                                                             : QStringLiteral(":/image/disk.png")));
    int fd = OpenDiskReadOnly(disk.first);
    if (fd >= 0) {
      top->setText(1, QString::fromStdString(GetFileSizeString(static_cast<i64>(rsb_getDeviceSize(fd)))));
      ::close(fd);
    }
    for (const _PARTITION_ITEM_& item : disk.second) {
      auto* child = new QTreeWidgetItem(top);
      child->setText(0, QString::fromStdString(PartitionNameToUtf8(item)));
      // Last sector is inclusive.
      u64 bytes = (item.u64EndSector - item.u64StartSector + 1) * SECTOR_SIZE;
      child->setText(1, QString::fromStdString(GetFileSizeString(static_cast<i64>(bytes))));
      child->setIcon(0, QIcon(QStringLiteral(":/image/partition.png")));
      child->setData(0, Qt::UserRole, QVariant::fromValue(item));
      child->setToolTip(0, QStringLiteral("%1, sectors %2 to %3").arg(device).arg(item.u64StartSector).arg(item.u64EndSector));
    }
  }
  m_pDiskTree->expandAll();
  if (m_pBtnScan) m_pBtnScan->setEnabled(false);
}

void DRUI::ShowPage(int nIndex) {
  if (!m_pStackedLayout) return;
  QWidget* pages[] = {m_pPage1, m_pPage2, m_pPage3};
  if (nIndex >= 0 && nIndex < 3 && pages[nIndex]) m_pStackedLayout->setCurrentWidget(pages[nIndex]);
}

int DRUI::CurrentPage() const {
  if (!m_pStackedLayout) return -1;
  QWidget* cur = m_pStackedLayout->currentWidget();
  if (cur == m_pPage1) return 0;
  if (cur == m_pPage2) return 1;
  if (cur == m_pPage3 && cur) return 2;
  return -1;
}

// ---------------------------------------------------------------- page 1

void DRUI::btnSlot() { ShowPage(1); }

void DRUI::CheckBoxStatChange(int) {
  int checked = 0;
  for (QCheckBox* box : m_pCategoryBox)
    if (box && box->isChecked()) ++checked;
  m_pRecoverAll->blockSignals(true);
  if (checked == CATEGORY_COUNT) {
    m_pRecoverAll->setCheckState(Qt::Checked);
    m_bPartialFromCategory = false;
  } else if (checked == 0) {
    m_pRecoverAll->setCheckState(Qt::Unchecked);
    m_bPartialFromCategory = false;
  } else {
    m_pRecoverAll->setCheckState(Qt::PartiallyChecked);
    m_bPartialFromCategory = true;
  }
  m_pRecoverAll->blockSignals(false);
  CheckBoxAllStatChange(m_pRecoverAll->checkState());
}

void DRUI::CheckBoxAllStatChange(int nState) {
  if (nState == Qt::Checked || nState == Qt::Unchecked) {
    bool on = nState == Qt::Checked;
    for (QCheckBox* box : m_pCategoryBox) {
      box->blockSignals(true);
      box->setChecked(on);
      box->blockSignals(false);
    }
    m_bPartialFromCategory = false;
    m_pBtnStart->setEnabled(on);
  } else {
    // A click on "Recover All" itself cycles through the partial state:
    // that partial state selects nothing new.
    if (!m_bPartialFromCategory) {
      m_pRecoverAll->blockSignals(true);
      m_pRecoverAll->setCheckState(Qt::Checked);
      m_pRecoverAll->blockSignals(false);
      CheckBoxAllStatChange(Qt::Checked);
      return;
    }
    m_pBtnStart->setEnabled(true);
  }
}

// ---------------------------------------------------------------- page 2

void DRUI::diskItemClick(QTreeWidgetItem* pItem, int) {
  if (!m_pBtnScan) return;
  m_pBtnScan->setEnabled(pItem && pItem->childCount() == 0 && pItem->data(0, Qt::UserRole).isValid());
}

void DRUI::diskItemDoubleClick(QTreeWidgetItem* pItem, int) {
  // A disk row expands or collapses; only a partition starts a scan.
  if (!pItem || pItem->childCount() > 0 || !pItem->data(0, Qt::UserRole).isValid()) return;
  m_pDiskTree->setCurrentItem(pItem);
  btnSlotScan();
}

void DRUI::btnSlotOpenImage() {
  QString path;
  if (m_imageChooser) {
    path = m_imageChooser();
  } else {
    path = QFileDialog::getOpenFileName(this, QStringLiteral("Open Disk Image"), QStringLiteral("/"),
                                        QStringLiteral("Disk images (*.img *.dd *.raw *.bin *.iso);;All files (*)"),
                                        nullptr, QFileDialog::DontUseNativeDialog);
  }
  if (path.isEmpty()) return;
  int n = AddImage(path);
  if (n < 0) return;
  for (int i = 0; i < m_pDiskTree->topLevelItemCount(); ++i) {
    QTreeWidgetItem* top = m_pDiskTree->topLevelItem(i);
    if (top->text(0) == QStringLiteral("Physical Driver %1").arg(n) && top->childCount() > 0) {
      m_pDiskTree->setCurrentItem(top->child(0));
      diskItemClick(top->child(0), 0);
    }
  }
}

void DRUI::btnSlotBack() {
  int page = CurrentPage();
  DestroyEngine();
  if (page == 2)
    ShowPage(1);
  else
    ShowPage(0);
}

void DRUI::btnSlotScan() {
  _PARTITION_ITEM_ item;
  memset(&item, 0, sizeof(item));
  QTreeWidgetItem* cur = m_pDiskTree ? m_pDiskTree->currentItem() : nullptr;
  if (cur) {
    QVariant v = cur->data(0, Qt::UserRole);
    if (v.canConvert<_PARTITION_ITEM_>()) item = v.value<_PARTITION_ITEM_>();
  }
  ScanPartition(item);
}

void DRUI::ScanPartition(const _PARTITION_ITEM_& item) {
  m_partitionItem = item;
  for (int i = 0; i < CATEGORY_COUNT; ++i) m_bCategoryChecked[i] = m_pCategoryBox[i] && m_pCategoryBox[i]->isChecked();
  qDebug("m_partitionItem.u64StartSector = %lld\n", static_cast<long long>(m_partitionItem.u64StartSector));
  RunOperation(OPERATION_SCAN, &DRUI::_ScanProcess);
  RunOperation(OPERATION_SEARCH, &DRUI::_SearchProcess);
  InitLayout3Widget();
  ShowPage(2);
}

void DRUI::RunOperation(int nOprType, void (*pFunc)(void*, int&)) {
  OPERATION_FLAGS& flags = GetFlags(nOprType);
  flags.bCancel = false;
  flags.bDone = false;
  CMyThread thread;
  thread.SetFunc(pFunc, this);
  SCANUI dialog(this);
  dialog.setObjectName("progressDialog");
  dialog.SetFileName(m_strPreviewName);
  dialog.SetSaveDir(m_strSaveDir);
  dialog.InitSlot(this, nOprType);
  QPoint corner = mapToGlobal(QPoint(0, 0));
  if (nOprType == OPERATION_SCAN || nOprType == OPERATION_SEARCH)
    dialog.setGeometry(corner.x() + width() / 4, corner.y() + height() / 4, 500, 250);
  else
    dialog.setGeometry(corner.x() + (width() - 500) / 2, corner.y() + (height() - 250) / 2, 500, 250);
  thread.start(QThread::InheritPriority);
  dialog.exec();
  thread.exit(0);
  // The dialog may close on the last report while the worker is still
  // returning from the engine.
  thread.wait();
}

// ---------------------------------------------------------------- worker side

int DRUI::ScanCallBack(void* param, int nProgress, int nPercent, int nRemaindSecond, u64 u64CurSector,
                       u64 u64SectorCount, u64 u64FindFileCount, wchar_t* pRecoveryFileName) {
  auto* self = static_cast<DRUI*>(param);
  if (self->m_scanFlags.bCancel) return 1;
  long long product = static_cast<long long>(nProgress) * nPercent;
  if (product >= 10000 && product <= 10099) self->m_bFinalScanReport = true;
  emit self->ScanProcessCallBack(nProgress, nPercent, nRemaindSecond, QString::number(u64CurSector),
                                 QString::number(u64SectorCount), QString::number(u64FindFileCount),
                                 WideToQString(pRecoveryFileName));
  return 0;
}

int DRUI::RecoveryCallBackBridge(void* param, int nProgress, int nPercent, int nErrorCode,
                                 wchar_t* pRecoveryFileName) {
  auto* self = static_cast<DRUI*>(param);
  if (self->m_recoveryFlags.bCancel) return RECOVERY_CANCELLED;
  if (nProgress == 100 && nPercent != 1000) self->m_bFileReported = true;
  emit self->RecoveryCallBack(nProgress, nPercent, nErrorCode, WideToQString(pRecoveryFileName));
  return 0;
}

int DRUI::SearchCallBackBridge(void* param, int nProgress, wchar_t*) {
  auto* self = static_cast<DRUI*>(param);
  if (self->m_searchFlags.bCancel) return 1;
  emit self->SearchCallBack(nProgress, QString());
  return 0;
}

int DRUI::PreviewCallBack(void* param, int nProgress, int nRet) {
  auto* self = static_cast<DRUI*>(param);
  if (self->m_previewFlags.bCancel) return 1;
  emit self->PreViewCallBackForSlot(nProgress, nRet);
  return 0;
}

void DRUI::_ScanProcess(void* param, int& nResult) {
  auto* self = static_cast<DRUI*>(param);
  self->m_bFinalScanReport = false;
  nResult = self->Scan();
  self->m_nScanResult = nResult;
  // A scan that failed or stopped early sends no final report; the dialog
  // still has to close.
  if (!self->m_bFinalScanReport)
    emit self->ScanProcessCallBack(100, 100, 0, QStringLiteral("0"), QStringLiteral("0"), QStringLiteral("0"),
                                   QString());
  qDebug("_ScanProcess end\n");
  self->m_scanFlags.bDone = true;
}

int DRUI::Scan() {
  DestroyEngine();
  IFileRecoveryParse* engine = m_engineMaker ? m_engineMaker(m_partitionItem) : nullptr;
  if (!engine) return -1;
  m_pFileRecovery = engine;
  if (auto* deep = dynamic_cast<CProfessionalRecovery*>(engine)) deep->SetNotLoadLogFile();
  engine->InitCallBack(&DRUI::ScanCallBack, &DRUI::RecoveryCallBackBridge, this, 100);
  return engine->ScanDevice(nullptr);
}

void DRUI::_SearchProcess(void* param, int&) {
  auto* self = static_cast<DRUI*>(param);
  self->SearchProcess();
  self->m_searchFlags.bDone = true;
  emit self->SearchCallBack(100, QString());
}

void DRUI::SearchProcess() {
  m_vecSearchFileInfo.clear();
  if (!m_pFileRecovery) return;
  m_pFileRecovery->InitSearchCallBack(&DRUI::SearchCallBackBridge, this);
  std::wstring pattern = BuildSearchPattern(m_bCategoryChecked);
  m_pFileRecovery->SearchFileNode(&pattern[0], m_vecSearchFileInfo);
}

void DRUI::_PreviewProcess(void* param, int& nResult) {
  auto* self = static_cast<DRUI*>(param);
  nResult = self->PreviewProcess();
  self->m_previewFlags.bDone = true;
  // Engines end every preview with a 100 report, but one that fails early
  // may not: this one closes the dialog in any case.
  emit self->PreViewCallBackForSlot(100, nResult);
}

int DRUI::PreviewProcess() {
  m_wszPreviewPath[0] = 0;
  m_nPreviewLen = kPreviewBufSize;
  if (!m_pFileRecovery) {
    m_nPreviewLen = 0;
    return STATUS_INVALID_PARAMETER;
  }
  volatile int ret = 0;
  FaultGuardBegin(g_FaultMainWindow);
  if (FAULT_GUARD_TRY(g_FaultMainWindow)) {
    ret = m_pFileRecovery->PreView(&m_previewNode, m_wszPreviewPath, m_pPreviewBuf, m_nPreviewLen,
                                   &DRUI::PreviewCallBack, this);
  } else {
    FaultGuardRearm(g_FaultMainWindow);
    m_wszPreviewPath[0] = 0;
    m_nPreviewLen = 0;
    ret = EFAULT;
  }
  FaultGuardEnd(g_FaultMainWindow);
  m_wszPreviewPath[sizeof(m_wszPreviewPath) / sizeof(wchar_t) - 1] = 0;
  if (m_nPreviewLen < 0 || m_nPreviewLen > kPreviewBufSize) m_nPreviewLen = 0;
  return ret;
}

void DRUI::_RecoveryProcess(void* param, int&) {
  auto* self = static_cast<DRUI*>(param);
  self->RecoveryProcess();
  self->m_recoveryFlags.bCancel = true;
  self->m_recoveryFlags.bDone = true;
}

int DRUI::SaveOneNode(_FILE_NODE_& node, const std::string& target, int nRootDirIndex) {
  std::wstring wide = Utf8ToWide(target);
  std::vector<wchar_t> path(wide.begin(), wide.end());
  path.push_back(0);
  volatile int ret = 0;
  if (FAULT_GUARD_TRY(g_FaultMainWindow)) {
    ret = m_pFileRecovery->SaveFileData(&node, path.data(), nRootDirIndex);
  } else {
    FaultGuardRearm(g_FaultMainWindow);
    ret = EFAULT;
  }
  return ret;
}

void DRUI::RecoveryProcess() {
  if (!m_pFileRecovery) {
    RecoveryCallBackBridge(this, 100, 1000, 0, const_cast<wchar_t*>(L""));
    return;
  }
  std::string dest = m_strSaveDir.toStdString();
  while (dest.size() > 1 && dest.back() == '/') dest.pop_back();
  std::wstring wdest = Utf8ToWide(dest);
  int nRootDirIndex = 0;
  GetPathDirIndex(wdest.c_str(), nRootDirIndex);

  FaultGuardBegin(g_FaultMainWindow);
  for (auto& entry : m_mapSelectFile) {
    _FILE_NODE_ node = entry.second;
    std::string name = NodeName(node);
    std::string folder = dest + "/" + GetDirTypeByFileName(name.c_str());
    struct stat st;
    if (stat(folder.c_str(), &st) != 0 && mkdir(folder.c_str(), 0755) == 0 && m_bHaveInvokingUser &&
        lchown(folder.c_str(), m_nInvokingUid, m_nInvokingGid) != 0)
      qDebug("lchown failed\n");
    std::string target = GetRealFileName(folder + "/" + MakeSafePathComponent(name));
    // Wide paths handed to engines are at most 512 characters.
    if (Utf8ToWide(target).size() >= 512) {
      emit RecoveryCallBack(100, 100, ENAMETOOLONG, QString::fromStdString(target));
      continue;
    }
    m_bFileReported = false;
    int ret = SaveOneNode(node, target, nRootDirIndex);
    if (ret == RECOVERY_CANCELLED) {
      // The file stopped half-way is not a recovered file.
      if (lstat(target.c_str(), &st) == 0 && S_ISREG(st.st_mode)) unlink(target.c_str());
      break;
    }
    if (!m_bFileReported) emit RecoveryCallBack(100, 100, ret, QString::fromStdString(target));
    if (m_bHaveInvokingUser) HandOverToUser(target, m_nInvokingUid, m_nInvokingGid);
  }
  FaultGuardEnd(g_FaultMainWindow);
  RecoveryCallBackBridge(this, 100, 1000, 0, const_cast<wchar_t*>(L""));
}

// ---------------------------------------------------------------- page 3

void DRUI::InitLayout3Widget() {
  if (m_pPage3) {
    m_pStackedLayout->removeWidget(m_pPage3);
    m_pPage3->deleteLater();
    m_pPage3 = nullptr;
  }
  m_mapSelectFile.clear();
  m_vecTableResults.clear();
  for (auto& m : m_mapCategory) m.clear();

  auto* page = new QWidget;
  page->setObjectName("page3");
  auto* l = new QVBoxLayout(page);
  l->setContentsMargins(20, 12, 20, 14);
  l->setSpacing(8);
  m_pResultHeading = new QLabel(
      QString::asprintf("Select Desired Files to Recover\nFound %d recoverable files after the scan. Please preview "
                        "and choose the files you want to recover.",
                        static_cast<int>(m_vecSearchFileInfo.size())),
      page);
  m_pResultHeading->setObjectName("resultHeading");
  m_pResultHeading->setStyleSheet(QStringLiteral("color: #17253d; font-size: 12pt;"));
  l->addWidget(m_pResultHeading);

  auto* body = new QHBoxLayout;
  body->setSpacing(10);
  m_pResultTree = new QTreeWidget(page);
  m_pResultTree->setObjectName("resultTree");
  m_pResultTree->setHeaderHidden(true);
  m_pResultTree->setFixedWidth(240);
  m_pResultTree->setIconSize(QSize(20, 20));
  body->addWidget(m_pResultTree);
  auto* right = new QVBoxLayout;
  right->setSpacing(8);
  m_pTable = new QTableWidget(0, 2, page);
  m_pTable->setObjectName("fileTable");
  right->addWidget(m_pTable, 1);
  auto* previewFrame = new QFrame(page);
  previewFrame->setObjectName("previewFrame");
  previewFrame->setFixedHeight(kPreviewMaxHeight + 12);
  auto* pl = new QVBoxLayout(previewFrame);
  pl->setContentsMargins(4, 4, 4, 4);
  m_pPreviewStack = new QStackedWidget(previewFrame);
  auto* hint = new QLabel(QStringLiteral("Click a file to preview it."), m_pPreviewStack);
  hint->setAlignment(Qt::AlignCenter);
  hint->setObjectName("pageHint");
  m_pPreviewStack->addWidget(hint);
  m_pPreviewScroll = new QScrollArea(m_pPreviewStack);
  m_pPreviewScroll->setFrameShape(QFrame::NoFrame);
  m_pPreviewScroll->setAlignment(Qt::AlignCenter);
  m_pPreviewPicture = new QLabel;
  m_pPreviewPicture->setObjectName("previewPicture");
  m_pPreviewPicture->setAlignment(Qt::AlignCenter);
  m_pPreviewScroll->setWidget(m_pPreviewPicture);
  m_pPreviewScroll->setWidgetResizable(true);
  m_pPreviewStack->addWidget(m_pPreviewScroll);
  m_pPreviewText = new QTextEdit(m_pPreviewStack);
  m_pPreviewText->setObjectName("previewText");
  m_pPreviewText->setReadOnly(true);
  m_pPreviewText->setFont(AppTextFont());
  m_pPreviewText->setAlignment(Qt::AlignLeft);
  m_pPreviewText->setFrameShape(QFrame::NoFrame);
  m_pPreviewStack->addWidget(m_pPreviewText);
  pl->addWidget(m_pPreviewStack);
  right->addWidget(previewFrame);
  body->addLayout(right, 1);
  l->addLayout(body, 1);

  auto* bottom = new QHBoxLayout;
  m_pSelectionLabel = new QLabel(QStringLiteral("Select 0 Bytes in 0 file"), page);
  m_pSelectionLabel->setObjectName("selectionLabel");
  bottom->addWidget(m_pSelectionLabel);
  bottom->addStretch(1);
  auto* back = new QPushButton(QStringLiteral("Back"), page);
  back->setProperty("role", "back");
  connect(back, &QPushButton::clicked, this, &DRUI::btnSlotBack);
  bottom->addWidget(back);
  m_pBtnRecover = new QPushButton(QStringLiteral("Recover"), page);
  m_pBtnRecover->setObjectName("primaryButton");
  m_pBtnRecover->setProperty("role", "recover");
  m_pBtnRecover->setEnabled(false);
  connect(m_pBtnRecover, &QPushButton::clicked, this, &DRUI::btnRecovery);
  bottom->addWidget(m_pBtnRecover);
  l->addLayout(bottom);

  m_bPreviewPicture = false;
  m_pPage3 = page;
  m_pStackedLayout->addWidget(page);
  CreateTree();
  CreateTable();
}

void DRUI::CreateTree() {
  for (size_t i = 0; i < m_vecSearchFileInfo.size(); ++i) {
    const _FILE_NODE_& node = m_vecSearchFileInfo[i];
    std::string name = NodeName(node);
    if (name.empty()) continue;
    std::string key = NodeExtensionKey(node);
    FILE_CATEGORY cat = key == "unKnow" ? CATEGORY_OTHER : GetFileCategory(key);
    m_mapCategory[cat][key].push_back(static_cast<int>(i));
  }
  m_pResultTree->clear();
  for (int c = 0; c < CATEGORY_COUNT; ++c) {
    int count = 0;
    for (const auto& ext : m_mapCategory[c]) count += static_cast<int>(ext.second.size());
    auto* top = new QTreeWidgetItem(m_pResultTree);
    top->setText(0, QString::fromLatin1(kCategoryTreeNames[c]).arg(count));
    top->setIcon(0, QIcon(QString::fromLatin1(kCategoryIcons[c])));
    top->setFlags(top->flags() | Qt::ItemIsUserCheckable);
    top->setCheckState(0, Qt::Unchecked);
    top->setData(0, kRoleCategory, c);
    for (const auto& ext : m_mapCategory[c]) {
      auto* child = new QTreeWidgetItem(top);
      QString e = QString::fromStdString(ext.first);
      child->setText(0, QStringLiteral("%1 Files (%2)").arg(e).arg(ext.second.size()));
      child->setIcon(0, QIcon(GetExtendNameIcon(e)));
      child->setFlags(child->flags() | Qt::ItemIsUserCheckable);
      child->setCheckState(0, Qt::Unchecked);
      child->setData(0, kRoleCategory, c);
      child->setData(0, kRoleExtension, e);
    }
  }
  connect(m_pResultTree, &QTreeWidget::itemClicked, this, &DRUI::treeItemClick);
  connect(m_pResultTree, &QTreeWidget::itemSelectionChanged, this, &DRUI::treeItemSelectChanged);
}

void DRUI::CreateTable() {
  m_pTable->setHorizontalHeaderLabels({QStringLiteral("Name"), QStringLiteral("Size")});
  m_pTable->setColumnWidth(0, 400);
  m_pTable->setColumnWidth(1, 300);
  m_pTable->horizontalHeader()->setStretchLastSection(true);
  m_pTable->verticalHeader()->hide();
  m_pTable->verticalHeader()->setDefaultSectionSize(22);
  m_pTable->setSelectionBehavior(QAbstractItemView::SelectRows);
  m_pTable->setSelectionMode(QAbstractItemView::SingleSelection);
  m_pTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
  m_pTable->setIconSize(QSize(18, 18));
  m_pTable->setShowGrid(false);
  connect(m_pTable, &QTableWidget::itemChanged, this, [this](QTableWidgetItem* item) {
    if (!m_bFillingTable && item && item->column() == 0) tableItemPress(item->row(), 0);
  });
  connect(m_pTable, &QTableWidget::itemClicked, this, &DRUI::tableItemClick);
  connect(m_pTable, &QTableWidget::itemSelectionChanged, this, &DRUI::tableItemSelectChanged);
}

std::vector<int> DRUI::ResultsUnder(QTreeWidgetItem* pItem) const {
  std::vector<int> out;
  if (!pItem) return out;
  int c = pItem->data(0, kRoleCategory).toInt();
  if (c < 0 || c >= CATEGORY_COUNT) return out;
  QVariant ext = pItem->data(0, kRoleExtension);
  if (ext.isValid()) {
    auto it = m_mapCategory[c].find(ext.toString().toStdString());
    if (it != m_mapCategory[c].end()) out = it->second;
  } else {
    for (const auto& e : m_mapCategory[c]) out.insert(out.end(), e.second.begin(), e.second.end());
  }
  return out;
}

void DRUI::treeItemClick(QTreeWidgetItem* pItem, int) { UpdateTreeInfo(pItem); }

void DRUI::treeItemSelectChanged() {
  if (m_bUpdatingTree || !m_pResultTree) return;
  QList<QTreeWidgetItem*> items = m_pResultTree->selectedItems();
  if (!items.isEmpty()) FillTable(ResultsUnder(items.first()));
}

void DRUI::UpdateTreeInfo(QTreeWidgetItem* pItem) {
  if (!pItem) return;
  FillTable(ResultsUnder(pItem));
  ApplyTreeCheck(pItem);
}

void DRUI::FillTable(const std::vector<int>& results) {
  m_bFillingTable = true;
  m_vecTableResults = results;
  m_pTable->clearContents();
  m_pTable->setRowCount(static_cast<int>(results.size()));
  for (size_t r = 0; r < results.size(); ++r) {
    const _FILE_NODE_& node = m_vecSearchFileInfo[static_cast<size_t>(results[r])];
    std::string name = NodeName(node);
    auto* nameItem = new QTableWidgetItem(QIcon(GetExtendNameIcon(QString::fromStdString(NodeExtensionKey(node)))),
                                          QString::fromStdString(name));
    nameItem->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
    nameItem->setCheckState(m_mapSelectFile.count(MakeSelectKey(node)) ? Qt::Checked : Qt::Unchecked);
    nameItem->setData(Qt::UserRole, QVariant::fromValue(static_cast<const _FILE_NODE_&>(node)));
    m_pTable->setItem(static_cast<int>(r), 0, nameItem);
    auto* size = new QTableWidgetItem(QString::fromStdString(GetFileSizeString(static_cast<i64>(node.u64FileSize))));
    size->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
    m_pTable->setItem(static_cast<int>(r), 1, size);
  }
  m_bFillingTable = false;
}

void DRUI::ApplyTreeCheck(QTreeWidgetItem* pItem) {
  Qt::CheckState state = pItem->checkState(0);
  if (state == Qt::PartiallyChecked) {
    SyncTableChecksFromSelection();
    UpdateSelectionLabel();
    return;
  }
  for (int idx : ResultsUnder(pItem)) {
    const _FILE_NODE_& node = m_vecSearchFileInfo[static_cast<size_t>(idx)];
    if (state == Qt::Checked)
      m_mapSelectFile[MakeSelectKey(node)] = node;
    else
      m_mapSelectFile.erase(MakeSelectKey(node));
  }
  SyncTreeChecksFromSelection();
  SyncTableChecksFromSelection();
  UpdateSelectionLabel();
}

void DRUI::SyncTreeChecksFromSelection() {
  // Tree rows mirror the selection, so a row clicked again never drops files
  // picked one by one in the table.
  m_bUpdatingTree = true;
  m_pResultTree->blockSignals(true);
  for (int t = 0; t < m_pResultTree->topLevelItemCount(); ++t) {
    QTreeWidgetItem* top = m_pResultTree->topLevelItem(t);
    int checkedKids = 0, partialKids = 0;
    for (int k = 0; k < top->childCount(); ++k) {
      QTreeWidgetItem* child = top->child(k);
      std::vector<int> results = ResultsUnder(child);
      size_t in = 0;
      for (int idx : results) in += m_mapSelectFile.count(MakeSelectKey(m_vecSearchFileInfo[static_cast<size_t>(idx)]));
      Qt::CheckState s = in == 0 ? Qt::Unchecked : (in == results.size() ? Qt::Checked : Qt::PartiallyChecked);
      child->setCheckState(0, s);
      if (s == Qt::Checked) ++checkedKids;
      if (s == Qt::PartiallyChecked) ++partialKids;
    }
    Qt::CheckState ts = Qt::Unchecked;
    if (top->childCount() > 0 && checkedKids == top->childCount())
      ts = Qt::Checked;
    else if (checkedKids > 0 || partialKids > 0)
      ts = Qt::PartiallyChecked;
    top->setCheckState(0, ts);
  }
  m_pResultTree->blockSignals(false);
  m_bUpdatingTree = false;
}

void DRUI::SyncTableChecksFromSelection() {
  m_bFillingTable = true;
  for (int r = 0; r < m_pTable->rowCount() && r < static_cast<int>(m_vecTableResults.size()); ++r) {
    QTableWidgetItem* item = m_pTable->item(r, 0);
    if (!item) continue;
    const _FILE_NODE_& node = m_vecSearchFileInfo[static_cast<size_t>(m_vecTableResults[static_cast<size_t>(r)])];
    item->setCheckState(m_mapSelectFile.count(MakeSelectKey(node)) ? Qt::Checked : Qt::Unchecked);
  }
  m_bFillingTable = false;
}

void DRUI::UpdateSelectionLabel() {
  u64 total = 0;
  for (const auto& e : m_mapSelectFile) total += e.second.u64FileSize;
  m_pSelectionLabel->setText(SelectionLabelText(total, static_cast<int>(m_mapSelectFile.size())));
  m_pBtnRecover->setEnabled(!m_mapSelectFile.empty());
}

void DRUI::tableItemPress(int nRow, int nColumn) {
  if (nColumn != 0 || nRow < 0 || nRow >= static_cast<int>(m_vecTableResults.size())) return;
  QTableWidgetItem* item = m_pTable->item(nRow, 0);
  if (!item) return;
  const _FILE_NODE_& node = m_vecSearchFileInfo[static_cast<size_t>(m_vecTableResults[static_cast<size_t>(nRow)])];
  if (item->checkState() == Qt::Checked)
    m_mapSelectFile[MakeSelectKey(node)] = node;
  else
    m_mapSelectFile.erase(MakeSelectKey(node));
  SyncTreeChecksFromSelection();
  UpdateSelectionLabel();
}

// ---------------------------------------------------------------- preview

void DRUI::tableItemSelectChanged() {
  if (m_bFillingTable) return;
  QList<QTableWidgetItem*> items = m_pTable->selectedItems();
  if (items.isEmpty()) return;
  QTableWidgetItem* item = m_pTable->item(items.first()->row(), 0);
  if (!item) return;
  _FILE_NODE_ node = item->data(Qt::UserRole).value<_FILE_NODE_>();
  // A click fires both signals; one preview per file.
  if (MakeSelectKey(node) == MakeSelectKey(m_previewNode) && !m_strPreviewName.isEmpty()) return;
  StartPreview(node);
}

void DRUI::tableItemClick(QTableWidgetItem* pItem) {
  if (!pItem) return;
  QTableWidgetItem* first = m_pTable->item(pItem->row(), 0);
  if (!first) return;
  _FILE_NODE_ node = first->data(Qt::UserRole).value<_FILE_NODE_>();
  if (MakeSelectKey(node) == MakeSelectKey(m_previewNode) && !m_strPreviewName.isEmpty()) return;
  StartPreview(node);
}

void DRUI::StartPreview(const _FILE_NODE_& node) {
  m_previewNode = node;
  m_strPreviewName = QString::fromStdString(NodeName(node));
  RunOperation(OPERATION_PREVIEW, &DRUI::_PreviewProcess);
  ShowPreviewResult();
}

void DRUI::ShowPreviewResult() {
  m_bPreviewPicture = false;
  m_previewPictureSize = QSize();
  if (m_wszPreviewPath[0]) {
    QString path = WideToQString(m_wszPreviewPath);
    m_pPreviewPicture->clear();
    if (QFile::exists(path)) {
      QImageReader reader(path);
      reader.setAutoTransform(true);
      QSize size = reader.size();
      if (size.isValid() && size.width() > kPreviewMaxWidth)
        reader.setScaledSize(size.scaled(kPreviewMaxWidth, kPreviewMaxHeight, Qt::KeepAspectRatio));
      QImage image = reader.read();
      if (!image.isNull()) {
        if (image.width() > kPreviewMaxWidth)
          image = image.scaled(kPreviewMaxWidth, kPreviewMaxHeight, Qt::KeepAspectRatio, Qt::SmoothTransformation);
        m_pPreviewPicture->setPixmap(QPixmap::fromImage(image));
        m_bPreviewPicture = true;
        m_previewPictureSize = image.size();
      } else {
        m_pPreviewPicture->setText(QStringLiteral("This picture cannot be shown."));
      }
    }
    m_pPreviewStack->setCurrentWidget(m_pPreviewScroll);
  } else {
    m_pPreviewText->setPlainText(WinHexBufData(m_pPreviewBuf, m_nPreviewLen));
    m_pPreviewStack->setCurrentWidget(m_pPreviewText);
  }
}

bool DRUI::IsPreviewPicture() const { return m_bPreviewPicture; }
QSize DRUI::PreviewPictureSize() const { return m_previewPictureSize; }
QString DRUI::PreviewText() const { return m_pPreviewText ? m_pPreviewText->toPlainText() : QString(); }

// ---------------------------------------------------------------- recovery

QString DRUI::ChooseDestination() {
  if (m_folderChooser) return m_folderChooser();
  return QFileDialog::getExistingDirectory(
      this, QStringLiteral("Choose a folder to save the recovered files"), QStringLiteral("/"),
      QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks | QFileDialog::DontUseNativeDialog);
}

void DRUI::btnRecovery() {
  if (m_mapSelectFile.empty()) return;
  QString dest;
  std::string scanned = GetDiskDevicePath(m_partitionItem.nDiskNo);
  for (;;) {
    dest = ChooseDestination();
    if (dest.isEmpty()) return;
    if (!IsOnScannedDevice(dest.toStdString(), scanned)) break;
    // Saving onto the scanned disk could overwrite the very files being saved.
    CMessageBox box(this);
    box.setObjectName("sameDeviceQuestion");
    box.InitQuestionDialog(QStringLiteral("The folder you chose is on the disk being scanned. Saving there can "
                                          "overwrite the files you want to recover.\n\nChoose another folder?"),
                           false);
    box.setGeometry(mapToGlobal(QPoint(0, 0)).x() + (width() - 420) / 2,
                    mapToGlobal(QPoint(0, 0)).y() + (height() - 170) / 2, 420, 170);
    box.exec();
    if (box.GetMessageBoxRet() != 1) return;
  }
  m_strSaveDir = dest;
  RunOperation(OPERATION_RECOVERY, &DRUI::_RecoveryProcess);
}

// ---------------------------------------------------------------- help

void DRUI::btnHelpSlot() { btnOpenUrl(QStringLiteral("qrc:/docs/README.md")); }
void DRUI::btnSupportSlot() { btnOpenUrl(QStringLiteral("qrc:/docs/support.md")); }
void DRUI::btnAboutSlot() { btnOpenUrl(QStringLiteral("qrc:/docs/about.md")); }

void DRUI::btnOpenUrl(QString strUrl) {
  if (strUrl.startsWith(QLatin1String("qrc:"))) {
    QString title = strUrl.endsWith(QLatin1String("about.md"))     ? QStringLiteral("About")
                    : strUrl.endsWith(QLatin1String("support.md")) ? QStringLiteral("Support")
                                                                    : QStringLiteral("Help");
    ShowDocument(QStringLiteral(":") + strUrl.mid(4), title);
    return;
  }
  QDesktopServices::openUrl(QUrl(strUrl));
}

void DRUI::ShowDocument(const QString& resource, const QString& title) {
  QFile f(resource);
  QString text;
  if (f.open(QIODevice::ReadOnly)) text = QString::fromUtf8(f.readAll());
  QDialog dialog(this);
  dialog.setObjectName("documentDialog");
  new CWindowBehaviour(&dialog);
  dialog.setStyleSheet(AppStyleSheet());
  dialog.setFont(AppTextFont());
  dialog.setWindowTitle(title);
  auto* outer = new QVBoxLayout(&dialog);
  outer->setContentsMargins(0, 0, 0, 0);
  auto* frame = new QWidget(&dialog);
  frame->setObjectName("windowFrame");
  outer->addWidget(frame);
  auto* l = new QVBoxLayout(frame);
  l->setContentsMargins(16, 12, 16, 12);
  auto* heading = new QLabel(title, frame);
  heading->setObjectName("pageHeading");
  l->addWidget(heading);
  auto* browser = new QTextBrowser(frame);
  browser->setOpenExternalLinks(true);
  browser->setMarkdown(text);
  l->addWidget(browser, 1);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  auto* close = new QPushButton(QStringLiteral("Close"), frame);
  close->setObjectName("primaryButton");
  connect(close, &QPushButton::clicked, &dialog, &QDialog::accept);
  buttons->addWidget(close);
  l->addLayout(buttons);
  dialog.resize(640, 480);
  dialog.move(mapToGlobal(QPoint((width() - 640) / 2, (height() - 480) / 2)));
  dialog.exec();
}

// ---------------------------------------------------------------- window

void DRUI::keyPressEvent(QKeyEvent* pEvent) {
  if (pEvent->key() == Qt::Key_Escape) {
    pEvent->ignore();
    return;
  }
  QWidget::keyPressEvent(pEvent);
}

void DRUI::closeEvent(QCloseEvent* pEvent) {
  // A stray right click must not throw away a long scan's results.
  if (CurrentPage() == 2 && !m_vecSearchFileInfo.empty()) {
    CMessageBox box(this);
    box.setObjectName("exitQuestion");
    box.InitQuestionDialog(QStringLiteral("Are you sure to exit? The scan results will be lost."), false);
    box.setGeometry(mapToGlobal(QPoint(0, 0)).x() + (width() - 400) / 2,
                    mapToGlobal(QPoint(0, 0)).y() + (height() - 150) / 2, 400, 150);
    box.exec();
    if (box.GetMessageBoxRet() != 1) {
      pEvent->ignore();
      return;
    }
  }
  pEvent->accept();
}

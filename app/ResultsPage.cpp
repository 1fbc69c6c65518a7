#include "app/ResultsPage.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QSplitter>
#include <QStackedWidget>
#include <QTabWidget>
#include <QTableView>
#include <QTimer>
#include <QTreeWidget>
#include <QStyle>
#include <QVBoxLayout>
#include <functional>

#include "app/FileCategory.h"

namespace {

constexpr int kRoleScope = Qt::UserRole;       // RESULT_SCOPE::KIND
constexpr int kRoleCategory = Qt::UserRole + 1;
constexpr int kRoleExt = Qt::UserRole + 2;
constexpr int kRoleFolder = Qt::UserRole + 3;
constexpr int kRoleFilled = Qt::UserRole + 4;  // a folder row whose children exist

QString Count(u64 n) { return QLocale().toString(static_cast<qulonglong>(n)); }

Qt::CheckState StateOf(u64 checked, u64 total) {
  if (checked == 0 || total == 0) return Qt::Unchecked;
  return checked >= total ? Qt::Checked : Qt::PartiallyChecked;
}

QPushButton* SmallButton(const QString& text, const QString& tip, QWidget* parent) {
  auto* b = new QPushButton(text, parent);
  b->setToolTip(tip);
  b->setStyleSheet(QStringLiteral("QPushButton { min-width: 48px; padding: 3px 10px; }"));
  return b;
}

}  // namespace

CResultsPage::CResultsPage(QWidget* pParent)
    : QWidget(pParent),
      m_pModel(new CResultModel(this)),
      m_bSyncing(false),
      m_nPreviewItem(-1),
      m_bPreviewPicture(false),
      m_bPreviewPage(false) {
  setObjectName("page3");
  auto* l = new QVBoxLayout(this);
  l->setContentsMargins(16, 10, 16, 12);
  l->setSpacing(8);

  m_pHeading = new QLabel(this);
  m_pHeading->setObjectName("resultHeading");
  m_pHeading->setProperty("class", "pageHeading");
  m_pHeading->setStyleSheet(QStringLiteral("color: #17253d; font-size: 12pt; font-weight: 600;"));
  m_pHeading->setWordWrap(true);
  l->addWidget(m_pHeading);

  m_pStateBar = new QWidget(this);
  auto* sl = new QHBoxLayout(m_pStateBar);
  sl->setContentsMargins(0, 0, 0, 0);
  m_pStateText = new QLabel(m_pStateBar);
  m_pStateText->setObjectName("scanState");
  m_pStateText->setWordWrap(true);
  sl->addWidget(m_pStateText, 1);
  m_pBtnResume = new QPushButton(QStringLiteral("Resume scan"), m_pStateBar);
  m_pBtnResume->setProperty("role", "resume");
  connect(m_pBtnResume, &QPushButton::clicked, this, &CResultsPage::ResumeRequested);
  sl->addWidget(m_pBtnResume);
  m_pBtnImage = new QPushButton(QStringLiteral("Make a disk image first"), m_pStateBar);
  m_pBtnImage->setProperty("role", "makeImage");
  m_pBtnImage->setToolTip(QStringLiteral("A disk that gives read errors may fail for good: copy what it still gives "
                                         "into an image file once, then scan the image as often as needed."));
  connect(m_pBtnImage, &QPushButton::clicked, this, &CResultsPage::ImageRequested);
  sl->addWidget(m_pBtnImage);
  m_pStateBar->hide();
  l->addWidget(m_pStateBar);

  l->addWidget(BuildFilters());

  auto* split = new QSplitter(Qt::Horizontal, this);
  split->setChildrenCollapsible(false);
  m_pTreeTabs = new QTabWidget(split);
  m_pTreeTabs->setObjectName("treeTabs");
  m_pTypeTree = new QTreeWidget;
  m_pTypeTree->setObjectName("resultTree");
  m_pFolderTree = new QTreeWidget;
  m_pFolderTree->setObjectName("folderTree");
  for (QTreeWidget* tree : {m_pTypeTree, m_pFolderTree}) {
    tree->setHeaderHidden(true);
    tree->setIconSize(QSize(18, 18));
    tree->setUniformRowHeights(true);
    connect(tree, &QTreeWidget::itemChanged, this, &CResultsPage::OnTreeItemChanged);
    connect(tree, &QTreeWidget::currentItemChanged, this,
            [this, tree](QTreeWidgetItem* cur, QTreeWidgetItem*) { OnTreeCurrentChanged(tree, cur); });
  }
  connect(m_pFolderTree, &QTreeWidget::itemExpanded, this, [this](QTreeWidgetItem* item) {
    if (item->data(0, kRoleScope).toInt() == RESULT_SCOPE::FOLDER && !item->data(0, kRoleFilled).toBool())
      FillFolderChildren(item, item->data(0, kRoleFolder).toInt());
  });
  m_pTreeTabs->addTab(m_pTypeTree, QStringLiteral("By type"));
  m_pTreeTabs->addTab(m_pFolderTree, QStringLiteral("By folder"));
  connect(m_pTreeTabs, &QTabWidget::currentChanged, this, [this](int index) {
    QTreeWidget* tree = index == 0 ? m_pTypeTree : m_pFolderTree;
    OnTreeCurrentChanged(tree, tree->currentItem());
  });

  auto* right = new QSplitter(Qt::Vertical, split);
  right->setChildrenCollapsible(false);
  auto* tablePane = new QWidget(right);
  auto* tl = new QVBoxLayout(tablePane);
  tl->setContentsMargins(0, 0, 0, 0);
  tl->setSpacing(4);
  auto* checkRow = new QHBoxLayout;
  checkRow->addWidget(new QLabel(QStringLiteral("Check:"), tablePane));
  auto* all = SmallButton(QStringLiteral("All"), QStringLiteral("Check every file listed (Ctrl+A)"), tablePane);
  auto* none = SmallButton(QStringLiteral("None"), QStringLiteral("Clear the check marks of the files listed (Ctrl+Shift+A)"), tablePane);
  auto* invert = SmallButton(QStringLiteral("Invert"), QStringLiteral("Swap checked and unchecked files listed (Ctrl+I)"), tablePane);
  all->setProperty("role", "checkAll");
  none->setProperty("role", "checkNone");
  invert->setProperty("role", "checkInvert");
  connect(all, &QPushButton::clicked, this, [this] { m_pModel->CheckListed(CResultModel::CHECK_ALL); });
  connect(none, &QPushButton::clicked, this, [this] { m_pModel->CheckListed(CResultModel::CHECK_NONE); });
  connect(invert, &QPushButton::clicked, this, [this] { m_pModel->CheckListed(CResultModel::CHECK_INVERT); });
  checkRow->addWidget(all);
  checkRow->addWidget(none);
  checkRow->addWidget(invert);
  checkRow->addStretch(1);
  m_pListedLabel = new QLabel(tablePane);
  m_pListedLabel->setObjectName("listedLabel");
  checkRow->addWidget(m_pListedLabel);
  tl->addLayout(checkRow);
  auto addShortcut = [this](const QKeySequence& keys, CResultModel::CHECK_ACTION action) {
    auto* a = new QAction(this);
    a->setShortcut(keys);
    a->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    connect(a, &QAction::triggered, this, [this, action] { m_pModel->CheckListed(action); });
    addAction(a);
  };
  addShortcut(QKeySequence::SelectAll, CResultModel::CHECK_ALL);
  addShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_A), CResultModel::CHECK_NONE);
  addShortcut(QKeySequence(Qt::CTRL | Qt::Key_I), CResultModel::CHECK_INVERT);

  m_pTable = new QTableView(tablePane);
  m_pTable->setObjectName("fileTable");
  m_pTable->setModel(m_pModel);
  m_pTable->verticalHeader()->hide();
  m_pTable->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  m_pTable->verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 8);
  m_pTable->setSelectionBehavior(QAbstractItemView::SelectRows);
  m_pTable->setSelectionMode(QAbstractItemView::SingleSelection);
  m_pTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
  m_pTable->setWordWrap(false);
  m_pTable->setShowGrid(false);
  m_pTable->setIconSize(QSize(16, 16));
  m_pTable->setTabKeyNavigation(false);
  m_pTable->horizontalHeader()->setSortIndicator(COL_FOLDER, Qt::AscendingOrder);
  m_pTable->horizontalHeader()->setSortIndicatorShown(true);
  m_pTable->horizontalHeader()->setStretchLastSection(false);
  m_pTable->horizontalHeader()->setHighlightSections(false);
  m_pTable->setSortingEnabled(true);
  static const int kWidths[COL_COUNT] = {190, 150, 70, 115, 80, 95, 60};
  for (int c = 0; c < COL_COUNT; ++c) m_pTable->setColumnWidth(c, kWidths[c]);
  // The folder takes the room a larger window gives.
  m_pTable->horizontalHeader()->setSectionResizeMode(COL_FOLDER, QHeaderView::Stretch);
  connect(m_pTable->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
          [this](const QModelIndex&, const QModelIndex&) { OnCurrentRowChanged(); });
  connect(m_pModel, &QAbstractItemModel::modelReset, this, [this] {
    // The current file stays current (and previewed) when it is still listed.
    int row = m_nPreviewItem >= 0 ? m_pModel->RowOf(static_cast<u32>(m_nPreviewItem)) : -1;
    if (row >= 0) {
      QSignalBlocker block(m_pTable->selectionModel());
      m_pTable->selectionModel()->setCurrentIndex(m_pModel->index(row, COL_NAME),
                                                  QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
      m_pTable->scrollTo(m_pModel->index(row, COL_NAME));
    } else if (m_nPreviewItem >= 0) {
      ClearPreview(QStringLiteral("Click a file to preview it."));
      emit PreviewWanted(-1);
    }
    const RESULT_SET* set = m_pModel->Set();
    u64 total = set ? set->Count() : 0;
    m_pListedLabel->setText(static_cast<u64>(m_pModel->rowCount()) == total
                                ? QStringLiteral("%1 files").arg(Count(total))
                                : QStringLiteral("Showing %1 of %2 files").arg(Count(m_pModel->rowCount()), Count(total)));
  });
  connect(m_pModel, &CResultModel::CheckedChanged, this, [this] {
    SyncTreeChecks();
    UpdateSelectionLabel();
  });
  m_pTable->installEventFilter(this);
  tl->addWidget(m_pTable, 1);

  auto* previewFrame = new QFrame(right);
  previewFrame->setObjectName("previewFrame");
  auto* pl = new QVBoxLayout(previewFrame);
  pl->setContentsMargins(6, 4, 6, 6);
  pl->setSpacing(4);
  m_pPreviewInfo = new QLabel(previewFrame);
  m_pPreviewInfo->setObjectName("previewInfo");
  m_pPreviewInfo->setWordWrap(true);
  pl->addWidget(m_pPreviewInfo);
  m_pPreviewStack = new QStackedWidget(previewFrame);
  m_pPreviewHint = new QLabel(QStringLiteral("Click a file to preview it."), m_pPreviewStack);
  m_pPreviewHint->setAlignment(Qt::AlignCenter);
  m_pPreviewHint->setObjectName("pageHint");
  m_pPreviewHint->setWordWrap(true);
  m_pPreviewStack->addWidget(m_pPreviewHint);
  // The picture is drawn to fit the area, and again whenever the area changes.
  m_pPreviewPicture = new QLabel(m_pPreviewStack);
  m_pPreviewPicture->setObjectName("previewPicture");
  m_pPreviewPicture->setAlignment(Qt::AlignCenter);
  m_pPreviewPicture->setMinimumSize(1, 1);
  m_pPreviewPicture->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
  m_pPreviewPicture->installEventFilter(this);
  m_pPreviewStack->addWidget(m_pPreviewPicture);
  m_pPreviewText = new QPlainTextEdit(m_pPreviewStack);
  m_pPreviewText->setObjectName("previewText");
  m_pPreviewText->setReadOnly(true);
  m_pPreviewText->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  m_pPreviewText->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  m_pPreviewStack->addWidget(m_pPreviewText);
  pl->addWidget(m_pPreviewStack, 1);
  right->addWidget(tablePane);
  right->addWidget(previewFrame);
  right->setStretchFactor(0, 3);
  right->setStretchFactor(1, 2);
  right->setSizes({290, 260});
  split->addWidget(m_pTreeTabs);
  split->addWidget(right);
  split->setStretchFactor(0, 1);
  split->setStretchFactor(1, 4);
  split->setSizes({210, 790});
  l->addWidget(split, 1);

  auto* bottom = new QHBoxLayout;
  m_pSelectionLabel = new QLabel(SelectionLabelText(0, 0), this);
  m_pSelectionLabel->setObjectName("selectionLabel");
  bottom->addWidget(m_pSelectionLabel);
  bottom->addStretch(1);
  m_pKeepTree = new QCheckBox(QStringLiteral("Keep folder structure"), this);
  m_pKeepTree->setObjectName("keepTree");
  m_pKeepTree->setChecked(true);
  m_pKeepTree->setToolTip(QStringLiteral("Save each file under its original folders inside its category folder "
                                         "(photo/, document/, ...). Off: all files of a category side by side."));
  bottom->addWidget(m_pKeepTree);
  m_pGroupByDate = new QCheckBox(QStringLiteral("Group photos and videos by date"), this);
  m_pGroupByDate->setObjectName("groupByDate");
  m_pGroupByDate->setToolTip(QStringLiteral("Save photos and videos into photo/2024/2024-06/ folders by when they were "
                                            "taken (or last changed)"));
  bottom->addWidget(m_pGroupByDate);
  auto* back = new QPushButton(QStringLiteral("Back"), this);
  back->setProperty("role", "back");
  connect(back, &QPushButton::clicked, this, &CResultsPage::BackRequested);
  bottom->addWidget(back);
  m_pBtnRecover = new QPushButton(QStringLiteral("Recover\u2026"), this);
  m_pBtnRecover->setObjectName("primaryButton");
  m_pBtnRecover->setProperty("role", "recover");
  m_pBtnRecover->setEnabled(false);
  m_pBtnRecover->setToolTip(QStringLiteral("Save the checked files into a folder you choose (Enter)"));
  connect(m_pBtnRecover, &QPushButton::clicked, this, &CResultsPage::RecoverRequested);
  bottom->addWidget(m_pBtnRecover);
  l->addLayout(bottom);

  setTabOrder(m_pSearch, m_pSizeFilter);
  setTabOrder(m_pHideBroken, m_pTreeTabs);
  setTabOrder(m_pTreeTabs, m_pTypeTree);
  setTabOrder(m_pTypeTree, m_pTable);
}

QWidget* CResultsPage::BuildFilters() {
  auto* row = new QWidget(this);
  auto* fl = new QHBoxLayout(row);
  fl->setContentsMargins(0, 0, 0, 0);
  m_pSearch = new QLineEdit(row);
  m_pSearch->setObjectName("searchBox");
  m_pSearch->setPlaceholderText(QStringLiteral("Search names and folders"));
  m_pSearch->setClearButtonEnabled(true);
  fl->addWidget(m_pSearch, 1);
  m_pSizeFilter = new QComboBox(row);
  m_pSizeFilter->setObjectName("sizeFilter");
  m_pSizeFilter->addItems({QStringLiteral("Any size"), QStringLiteral("Under 100 KB"), QStringLiteral("100 KB to 10 MB"),
                           QStringLiteral("Over 10 MB")});
  fl->addWidget(m_pSizeFilter);
  m_pDateFilter = new QComboBox(row);
  m_pDateFilter->setObjectName("dateFilter");
  m_pDateFilter->addItems({QStringLiteral("Any date"), QStringLiteral("Modified in the last 30 days"),
                           QStringLiteral("Modified in the last year"), QStringLiteral("Modified over a year ago")});
  fl->addWidget(m_pDateFilter);
  m_pStateFilter = new QComboBox(row);
  m_pStateFilter->setObjectName("stateFilter");
  m_pStateFilter->addItems({QStringLiteral("Deleted and live"), QStringLiteral("Deleted only"), QStringLiteral("Live only")});
  fl->addWidget(m_pStateFilter);
  m_pHideBroken = new QCheckBox(QStringLiteral("Hide broken files"), row);
  m_pHideBroken->setObjectName("hideBroken");
  m_pHideBroken->setToolTip(QStringLiteral("Leave out files whose content was checked and does not hold together"));
  fl->addWidget(m_pHideBroken);
  m_pPictureFilter = new QComboBox(row);
  m_pPictureFilter->setObjectName("pictureFilter");
  m_pPictureFilter->addItems({QStringLiteral("Any picture size"), QStringLiteral("Pictures from 640\u00d7480"),
                              QStringLiteral("Pictures from 1280\u00d7720"), QStringLiteral("Pictures from 1920\u00d71080")});
  m_pPictureFilter->setToolTip(QStringLiteral("Leave out pictures smaller than this (their size is read from their headers)"));
  fl->addWidget(m_pPictureFilter);
  m_pSkipThumbnails = new QCheckBox(QStringLiteral("Skip thumbnails"), row);
  m_pSkipThumbnails->setObjectName("skipThumbnails");
  m_pSkipThumbnails->setToolTip(QStringLiteral("Leave out pictures under 256\u00d7256 that lie inside another found picture"));
  fl->addWidget(m_pSkipThumbnails);
  m_pSearchTimer = new QTimer(this);
  m_pSearchTimer->setSingleShot(true);
  m_pSearchTimer->setInterval(200);
  connect(m_pSearchTimer, &QTimer::timeout, this, &CResultsPage::ApplyFilters);
  connect(m_pSearch, &QLineEdit::textChanged, m_pSearchTimer, qOverload<>(&QTimer::start));
  connect(m_pSizeFilter, qOverload<int>(&QComboBox::currentIndexChanged), this, &CResultsPage::ApplyFilters);
  connect(m_pDateFilter, qOverload<int>(&QComboBox::currentIndexChanged), this, &CResultsPage::ApplyFilters);
  connect(m_pStateFilter, qOverload<int>(&QComboBox::currentIndexChanged), this, &CResultsPage::ApplyFilters);
  connect(m_pHideBroken, &QCheckBox::toggled, this, &CResultsPage::ApplyFilters);
  connect(m_pPictureFilter, qOverload<int>(&QComboBox::currentIndexChanged), this, &CResultsPage::ApplyFilters);
  connect(m_pSkipThumbnails, &QCheckBox::toggled, this, &CResultsPage::ApplyFilters);
  return row;
}

void CResultsPage::SetResults(std::shared_ptr<const RESULT_SET> set, const QString& heading) {
  m_nPreviewItem = -1;
  ClearPreview(QStringLiteral("Click a file to preview it."));
  {
    QSignalBlocker b1(m_pSearch), b2(m_pSizeFilter), b3(m_pDateFilter), b4(m_pStateFilter), b5(m_pHideBroken),
        b6(m_pPictureFilter), b7(m_pSkipThumbnails);
    m_pPictureFilter->setCurrentIndex(0);
    m_pSkipThumbnails->setChecked(false);
    m_pSearch->clear();
    m_pSizeFilter->setCurrentIndex(0);
    m_pDateFilter->setCurrentIndex(0);
    m_pStateFilter->setCurrentIndex(0);
    m_pHideBroken->setChecked(false);
  }
  m_pTable->horizontalHeader()->setSortIndicator(COL_FOLDER, Qt::AscendingOrder);
  // The old trees' rows name the old results: gone before the new ones arrive.
  m_bSyncing = true;
  m_pTypeTree->clear();
  m_pFolderTree->clear();
  m_bSyncing = false;
  m_pModel->SetResults(std::move(set));
  m_pHeading->setText(heading);
  FillTypeTree();
  m_bSyncing = true;
  m_pFolderTree->clear();
  auto* everything = new QTreeWidgetItem(m_pFolderTree);
  const RESULT_SET* s = m_pModel->Set();
  everything->setText(0, QStringLiteral("All files (%1)").arg(Count(s ? s->Count() : 0)));
  everything->setData(0, kRoleScope, RESULT_SCOPE::ALL);
  everything->setFlags(everything->flags() | Qt::ItemIsUserCheckable);
  everything->setCheckState(0, Qt::Unchecked);
  if (s && !s->folders.empty()) FillFolderChildren(m_pFolderTree->invisibleRootItem(), 0);
  // The first folder row opens at once.
  if (m_pFolderTree->topLevelItemCount() >= 2) m_pFolderTree->topLevelItem(1)->setExpanded(true);
  m_bSyncing = false;
  SyncTreeChecks();
  UpdateSelectionLabel();
}

void CResultsPage::SetScanState(const QString& text, bool bError, bool bCanResume, bool bOfferImage) {
  m_pStateText->setText(text);
  m_pStateText->setProperty("tone", bError ? "error" : "info");  // the style sheet's colours
  m_pStateText->style()->unpolish(m_pStateText);
  m_pStateText->style()->polish(m_pStateText);
  m_pBtnResume->setVisible(bCanResume);
  m_pBtnImage->setVisible(bOfferImage);
  m_pStateBar->setVisible(!text.isEmpty());
}

bool CResultsPage::KeepFolderTree() const { return m_pKeepTree->isChecked(); }
bool CResultsPage::GroupByDate() const { return m_pGroupByDate->isChecked(); }

void CResultsPage::FillTypeTree() {
  m_bSyncing = true;
  m_pTypeTree->clear();
  const RESULT_SET* set = m_pModel->Set();
  auto* everything = new QTreeWidgetItem(m_pTypeTree);
  everything->setText(0, QStringLiteral("All files (%1)").arg(Count(set ? set->Count() : 0)));
  everything->setData(0, kRoleScope, RESULT_SCOPE::ALL);
  everything->setFlags(everything->flags() | Qt::ItemIsUserCheckable);
  everything->setCheckState(0, Qt::Unchecked);
  if (set) {
    for (int k : kCategoryDisplayOrder) {
      if (set->kindTotals[k] == 0) continue;
      auto* top = new QTreeWidgetItem(m_pTypeTree);
      top->setText(0, QStringLiteral("%1 (%2)").arg(QLatin1String(CategoryTitle(k)), Count(set->kindTotals[k])));
      top->setIcon(0, QIcon(QString::fromLatin1(CategoryIcon(k))));
      top->setData(0, kRoleScope, RESULT_SCOPE::TYPE);
      top->setData(0, kRoleCategory, k);
      top->setData(0, kRoleExt, -1);
      top->setFlags(top->flags() | Qt::ItemIsUserCheckable);
      top->setCheckState(0, Qt::Unchecked);
      std::vector<int> exts;
      for (size_t e = 0; e < set->exts.size(); ++e)
        if (set->exts[e].nKind == k) exts.push_back(static_cast<int>(e));
      std::sort(exts.begin(), exts.end(), [set](int a, int b) {
        return set->exts[static_cast<size_t>(a)].strExt < set->exts[static_cast<size_t>(b)].strExt;
      });
      for (int e : exts) {
        const EXT_NODE& node = set->exts[static_cast<size_t>(e)];
        auto* child = new QTreeWidgetItem(top);
        QString ext = node.strExt.empty() ? QStringLiteral("(no extension)") : QString::fromStdString(node.strExt);
        child->setText(0, QStringLiteral("%1 (%2)").arg(ext, Count(node.nTotal)));
        child->setIcon(0, QIcon(GetExtendNameIcon(QString::fromStdString(node.strExt))));
        child->setData(0, kRoleScope, RESULT_SCOPE::TYPE);
        child->setData(0, kRoleCategory, k);
        child->setData(0, kRoleExt, e);
        child->setFlags(child->flags() | Qt::ItemIsUserCheckable);
        child->setCheckState(0, Qt::Unchecked);
      }
    }
  }
  m_pTypeTree->setCurrentItem(everything);
  m_bSyncing = false;
}

QTreeWidgetItem* CResultsPage::MakeFolderItem(int node) {
  const RESULT_SET* set = m_pModel->Set();
  const FOLDER_NODE& f = set->folders[static_cast<size_t>(node)];
  auto* item = new QTreeWidgetItem;
  item->setText(0, QStringLiteral("%1 (%2)").arg(QString::fromStdString(f.strName), Count(f.nTotal)));
  item->setToolTip(0, QString::fromStdString(f.strName));
  item->setIcon(0, style()->standardIcon(QStyle::SP_DirIcon));
  item->setData(0, kRoleScope, RESULT_SCOPE::FOLDER);
  item->setData(0, kRoleFolder, node);
  item->setData(0, kRoleFilled, false);
  item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
  item->setCheckState(0, StateOf(m_pModel->CheckedInFolder(node), f.nTotal));
  item->setChildIndicatorPolicy(f.children.empty() ? QTreeWidgetItem::DontShowIndicator
                                                   : QTreeWidgetItem::ShowIndicator);
  return item;
}

void CResultsPage::FillFolderChildren(QTreeWidgetItem* pParent, int node) {
  const RESULT_SET* set = m_pModel->Set();
  if (!set || node < 0 || node >= static_cast<int>(set->folders.size())) return;
  bool wasSyncing = m_bSyncing;
  m_bSyncing = true;
  QList<QTreeWidgetItem*> items;
  for (int child : set->folders[static_cast<size_t>(node)].children) items << MakeFolderItem(child);
  pParent->addChildren(items);
  pParent->setData(0, kRoleFilled, true);
  m_bSyncing = wasSyncing;
}

RESULT_SCOPE CResultsPage::ScopeOf(QTreeWidget*, QTreeWidgetItem* pItem) const {
  RESULT_SCOPE scope;
  if (!pItem) return scope;
  scope.eKind = static_cast<RESULT_SCOPE::KIND>(pItem->data(0, kRoleScope).toInt());
  if (scope.eKind == RESULT_SCOPE::TYPE) {
    scope.nCategory = pItem->data(0, kRoleCategory).toInt();
    scope.nExt = pItem->data(0, kRoleExt).toInt();
  } else if (scope.eKind == RESULT_SCOPE::FOLDER) {
    scope.nFolder = pItem->data(0, kRoleFolder).toInt();
  }
  return scope;
}

void CResultsPage::OnTreeCurrentChanged(QTreeWidget* pTree, QTreeWidgetItem* pItem) {
  if (m_bSyncing) return;
  RESULT_SCOPE scope = ScopeOf(pTree, pItem);
  if (scope == m_pModel->Scope()) return;
  // Another part of the results: the old file's preview goes.
  m_nPreviewItem = -1;
  ClearPreview(QStringLiteral("Click a file to preview it."));
  emit PreviewWanted(-1);
  m_pModel->SetScope(scope);
}

void CResultsPage::OnTreeItemChanged(QTreeWidgetItem* pItem) {
  if (m_bSyncing || !pItem) return;
  QTreeWidget* tree = pItem->treeWidget();
  Qt::CheckState state = pItem->checkState(0);
  if (state == Qt::PartiallyChecked) return;
  m_pModel->CheckScope(ScopeOf(tree, pItem), state == Qt::Checked);
}

void CResultsPage::SyncTreeChecks() {
  const RESULT_SET* set = m_pModel->Set();
  if (!set) return;
  m_bSyncing = true;
  std::function<void(QTreeWidgetItem*)> walk = [&](QTreeWidgetItem* item) {
    Qt::CheckState s = Qt::Unchecked;
    switch (item->data(0, kRoleScope).toInt()) {
      case RESULT_SCOPE::TYPE: {
        int ext = item->data(0, kRoleExt).toInt();
        int kind = item->data(0, kRoleCategory).toInt();
        s = ext >= 0 ? StateOf(m_pModel->CheckedInExt(ext), set->exts[static_cast<size_t>(ext)].nTotal)
                     : StateOf(m_pModel->CheckedInKind(kind), set->kindTotals[kind]);
        break;
      }
      case RESULT_SCOPE::FOLDER: {
        int node = item->data(0, kRoleFolder).toInt();
        s = StateOf(m_pModel->CheckedInFolder(node), set->folders[static_cast<size_t>(node)].nTotal);
        break;
      }
      default: s = StateOf(m_pModel->CheckedCount(), set->Count()); break;
    }
    if (item->checkState(0) != s) item->setCheckState(0, s);
    for (int i = 0; i < item->childCount(); ++i) walk(item->child(i));
  };
  for (QTreeWidget* tree : {m_pTypeTree, m_pFolderTree})
    for (int i = 0; i < tree->topLevelItemCount(); ++i) walk(tree->topLevelItem(i));
  m_bSyncing = false;
}

void CResultsPage::ApplyFilters() {
  VIEW_FILTER f;
  std::string text = m_pSearch->text().trimmed().toStdString();
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  f.strText = text;
  switch (m_pSizeFilter->currentIndex()) {
    case 1: f.u64MaxSize = 100 * 1024 - 1; break;
    case 2: f.u64MinSize = 100 * 1024; f.u64MaxSize = 10ull << 20; break;
    case 3: f.u64MinSize = (10ull << 20) + 1; break;
    default: break;
  }
  i64 now = QDateTime::currentSecsSinceEpoch();
  switch (m_pDateFilter->currentIndex()) {
    case 1: f.tAfter = now - 30 * 86400; break;
    case 2: f.tAfter = now - 365 * 86400; break;
    case 3: f.tBefore = now - 365 * 86400; f.tAfter = 1; break;
    default: break;
  }
  f.nState = m_pStateFilter->currentIndex() == 1   ? RESULT_FILTER::STATE_DELETED
             : m_pStateFilter->currentIndex() == 2 ? RESULT_FILTER::STATE_LIVE
                                                   : RESULT_FILTER::STATE_ALL;
  f.bHideBroken = m_pHideBroken->isChecked();
  static const u32 kPictureMin[][2] = {{0, 0}, {640, 480}, {1280, 720}, {1920, 1080}};
  int picture = m_pPictureFilter->currentIndex();
  if (picture > 0 && picture < 4) {
    f.nMinWidth = kPictureMin[picture][0];
    f.nMinHeight = kPictureMin[picture][1];
  }
  f.bSkipThumbnails = m_pSkipThumbnails->isChecked();
  m_pModel->SetFilter(f);
}

void CResultsPage::OnCurrentRowChanged() {
  int item = m_pModel->ItemAt(m_pTable->selectionModel()->currentIndex().row());
  if (item == m_nPreviewItem) return;
  m_nPreviewItem = item;
  if (item < 0) ClearPreview(QStringLiteral("Click a file to preview it."));
  emit PreviewWanted(item);
}

void CResultsPage::SelectItem(u32 item) {
  int row = m_pModel->RowOf(item);
  if (row < 0) return;
  m_pTable->selectionModel()->setCurrentIndex(m_pModel->index(row, COL_NAME),
                                              QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
  m_pTable->scrollTo(m_pModel->index(row, COL_NAME));
}

void CResultsPage::ShowTreeView(int nView) { m_pTreeTabs->setCurrentIndex(nView == 0 ? 0 : 1); }

void CResultsPage::UpdateSelectionLabel() {
  m_pSelectionLabel->setText(SelectionLabelText(m_pModel->CheckedBytes(), m_pModel->CheckedCount()));
  m_pBtnRecover->setEnabled(m_pModel->CheckedCount() > 0);
}

QSize CResultsPage::PreviewArea() const { return m_pPreviewStack->size(); }

void CResultsPage::FitPicture() {
  if (!m_bPreviewPicture || m_previewImage.isNull()) return;
  QSize area = m_pPreviewPicture->size();
  QImage shown = m_previewImage;
  if (m_bPreviewPage) {
    // A page is read from its top: as wide as the area, cut at its bottom.
    if (shown.width() > area.width()) shown = shown.scaledToWidth(area.width(), Qt::SmoothTransformation);
    if (shown.height() > area.height()) shown = shown.copy(0, 0, shown.width(), area.height());
  } else if (shown.width() > area.width() || shown.height() > area.height()) {
    // Never enlarged; fitted into the area, whatever its size now.
    shown = shown.scaled(area, Qt::KeepAspectRatio, Qt::SmoothTransformation);
  }
  m_previewPictureSize = shown.size();
  m_pPreviewPicture->setPixmap(QPixmap::fromImage(shown));
}

void CResultsPage::ClearPreview(const QString& hint) {
  m_bPreviewPicture = false;
  m_previewImage = QImage();
  m_bPreviewPage = false;
  m_previewPictureSize = QSize();
  m_pPreviewPicture->clear();
  m_pPreviewText->clear();
  m_pPreviewInfo->clear();
  m_pPreviewHint->setText(hint);
  m_pPreviewStack->setCurrentWidget(m_pPreviewHint);
}

void CResultsPage::ShowPreviewLoading(int item) {
  if (item != m_nPreviewItem) return;
  const RESULT_SET* set = m_pModel->Set();
  RESULT_ITEM r;
  QString name = set && item >= 0 && ReadResultItem(*set, static_cast<u32>(item), r) ? QString::fromStdString(r.strName)
                                                                                     : QString();
  ClearPreview(QStringLiteral("Reading %1\u2026").arg(name));
}

void CResultsPage::ShowPreview(int item, const PREVIEW_RESULT& result) {
  if (item != m_nPreviewItem) return;  // the user has moved on
  ClearPreview(QString());
  // A reassembled file says where its pieces lie, beside what it holds.
  const RESULT_SET* set = m_pModel->Set();
  RESULT_ITEM r;
  QString pieces = set && item >= 0 && ReadResultItem(*set, static_cast<u32>(item), r) ? ResultPiecesText(r) : QString();
  m_pPreviewInfo->setText(pieces.isEmpty() ? result.strInfo : result.strInfo + QStringLiteral("\n") + pieces);
  switch (result.eKind) {
    case PREVIEW_RESULT::PICTURE:
      m_previewImage = result.image;
      m_bPreviewPage = result.bPage;
      m_bPreviewPicture = true;
      m_pPreviewStack->setCurrentWidget(m_pPreviewPicture);
      FitPicture();
      break;
    case PREVIEW_RESULT::TEXT: {
      QFont font = m_pPreviewText->font();
      font.setFamily(result.bMonospace ? QStringLiteral("DejaVu Sans Mono") : QStringLiteral("DejaVu Sans"));
      font.setStyleHint(result.bMonospace ? QFont::Monospace : QFont::SansSerif);
      m_pPreviewText->setFont(font);
      m_pPreviewText->setPlainText(result.strText);
      m_pPreviewStack->setCurrentWidget(m_pPreviewText);
      break;
    }
    default:
      m_pPreviewHint->setText(result.strInfo);
      m_pPreviewInfo->clear();
      m_pPreviewStack->setCurrentWidget(m_pPreviewHint);
      break;
  }
}

bool CResultsPage::IsPreviewPicture() const { return m_bPreviewPicture; }
QSize CResultsPage::PreviewPictureSize() const { return m_previewPictureSize; }
QString CResultsPage::PreviewText() const { return m_pPreviewText->toPlainText(); }
QString CResultsPage::PreviewInfo() const {
  return m_pPreviewStack->currentWidget() == m_pPreviewHint ? m_pPreviewHint->text() : m_pPreviewInfo->text();
}

bool CResultsPage::eventFilter(QObject* pWatched, QEvent* pEvent) {
  if (pWatched == m_pPreviewPicture && pEvent->type() == QEvent::Resize) FitPicture();
  // The table would take Ctrl+A to select its rows; here it checks them.
  if (pWatched == m_pTable && pEvent->type() == QEvent::KeyPress) {
    auto* key = static_cast<QKeyEvent*>(pEvent);
    int combo = key->keyCombination().toCombined();
    if (key->matches(QKeySequence::SelectAll)) {
      m_pModel->CheckListed(CResultModel::CHECK_ALL);
      return true;
    }
    if (combo == (Qt::CTRL | Qt::SHIFT | Qt::Key_A).toCombined()) {
      m_pModel->CheckListed(CResultModel::CHECK_NONE);
      return true;
    }
    if (combo == (Qt::CTRL | Qt::Key_I).toCombined()) {
      m_pModel->CheckListed(CResultModel::CHECK_INVERT);
      return true;
    }
  }
  return QWidget::eventFilter(pWatched, pEvent);
}

void CResultsPage::keyPressEvent(QKeyEvent* pEvent) {
  // Enter anywhere but in a text field recovers the checked files.
  if ((pEvent->key() == Qt::Key_Return || pEvent->key() == Qt::Key_Enter) && !qobject_cast<QLineEdit*>(focusWidget()) &&
      !qobject_cast<QComboBox*>(focusWidget())) {
    if (m_pBtnRecover->isEnabled()) m_pBtnRecover->click();
    pEvent->accept();
    return;
  }
  QWidget::keyPressEvent(pEvent);
}

// The results page: what the scan found, narrowed by a tree ("By type" or
// "By folder"), a search box and filters, listed in a table over the result
// model, with a preview of the current file and check marks for what to
// recover. A stopped or failed scan says so at the top, with Resume.
#pragma once

#include <QImage>
#include <QWidget>
#include <memory>

#include "app/Preview.h"
#include "app/ResultModel.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QScrollArea;
class QStackedWidget;
class QTabWidget;
class QTableView;
class QTimer;
class QTreeWidget;
class QTreeWidgetItem;

class CResultsPage : public QWidget {
  Q_OBJECT
 public:
  explicit CResultsPage(QWidget* pParent = nullptr);

  void SetResults(std::shared_ptr<const RESULT_SET> set, const QString& heading);
  // The line under the heading: empty for a finished scan, else what
  // happened and the Resume button.
  // bOfferImage: the disk gave read errors; offer to copy it into an image first.
  void SetScanState(const QString& text, bool bError, bool bCanResume, bool bOfferImage = false);

  CResultModel* Model() const { return m_pModel; }
  QTableView* Table() const { return m_pTable; }
  bool KeepFolderTree() const;
  bool GroupByDate() const;
  // The result whose preview is shown or wanted (-1: none).
  int PreviewItem() const { return m_nPreviewItem; }
  void ShowPreview(int item, const PREVIEW_RESULT& result);
  void ShowPreviewLoading(int item);
  // What the preview shows now, for the tests.
  bool IsPreviewPicture() const;
  QSize PreviewPictureSize() const;
  QString PreviewText() const;
  QString PreviewInfo() const;
  // Chooses the tree's view (0: by type, 1: by folder) and a row of it.
  void ShowTreeView(int nView);
  QTreeWidget* TypeTree() const { return m_pTypeTree; }
  QTreeWidget* FolderTree() const { return m_pFolderTree; }
  // Makes an item the current row (and so the preview's file).
  void SelectItem(u32 item);
  QSize PreviewArea() const;

 signals:
  void RecoverRequested();
  void BackRequested();
  void ResumeRequested();
  void ImageRequested();
  // The current file changed (-1: none): its preview is wanted.
  void PreviewWanted(int item);

 protected:
  void keyPressEvent(QKeyEvent* pEvent) override;
  bool eventFilter(QObject* pWatched, QEvent* pEvent) override;

 private:
  QWidget* BuildFilters();
  void FillTypeTree();
  void FillFolderChildren(QTreeWidgetItem* pParent, int node);
  QTreeWidgetItem* MakeFolderItem(int node);
  void SyncTreeChecks();
  void OnTreeItemChanged(QTreeWidgetItem* pItem);
  void OnTreeCurrentChanged(QTreeWidget* pTree, QTreeWidgetItem* pItem);
  RESULT_SCOPE ScopeOf(QTreeWidget* pTree, QTreeWidgetItem* pItem) const;
  void ApplyFilters();
  void OnCurrentRowChanged();
  void UpdateSelectionLabel();
  void ClearPreview(const QString& hint);
  void FitPicture();

  CResultModel* m_pModel;
  QLabel* m_pHeading;
  QWidget* m_pStateBar;
  QLabel* m_pStateText;
  QPushButton* m_pBtnResume;
  QPushButton* m_pBtnImage;
  QLineEdit* m_pSearch;
  QComboBox* m_pSizeFilter;
  QComboBox* m_pDateFilter;
  QComboBox* m_pStateFilter;
  QCheckBox* m_pHideBroken;
  QCheckBox* m_pSkipThumbnails;
  QComboBox* m_pPictureFilter;
  QCheckBox* m_pGroupByDate;
  QTimer* m_pSearchTimer;
  QTabWidget* m_pTreeTabs;
  QTreeWidget* m_pTypeTree;
  QTreeWidget* m_pFolderTree;
  QTableView* m_pTable;
  QLabel* m_pListedLabel;
  QLabel* m_pPreviewInfo;
  QStackedWidget* m_pPreviewStack;
  QLabel* m_pPreviewHint;
  QLabel* m_pPreviewPicture;
  QPlainTextEdit* m_pPreviewText;
  QLabel* m_pSelectionLabel;
  QCheckBox* m_pKeepTree;
  QPushButton* m_pBtnRecover;
  bool m_bSyncing;
  int m_nPreviewItem;
  bool m_bPreviewPicture;
  QSize m_previewPictureSize;
  QImage m_previewImage;
  bool m_bPreviewPage;
};

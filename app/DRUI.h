// The main window: three pages (file categories, disk and partition, results),
// the current engine, the search results, the selection and the preview.
// Engine calls that can take long run on a worker thread behind the modal
// progress dialog; the engine's callbacks come back as queued signals.
#pragma once

#include <QMetaType>
#include <QWidget>
#include <atomic>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "app/FileCategory.h"
#include "disk/PartitionManager.h"
#include "engine/IFileRecoveryParse.h"

Q_DECLARE_METATYPE(_FILE_NODE_)
Q_DECLARE_METATYPE(_PARTITION_ITEM_)

class QCheckBox;
class QLabel;
class QPushButton;
class QScrollArea;
class QStackedLayout;
class QStackedWidget;
class QTableWidget;
class QTableWidgetItem;
class QTextEdit;
class QTreeWidget;
class QTreeWidgetItem;
class CMyThread;
class SCANUI;

// One cancel/done pair per operation: the GUI thread sets cancel, the worker
// sets done.
struct OPERATION_FLAGS {
  std::atomic<bool> bCancel{false};
  std::atomic<bool> bDone{false};
};

enum OPERATION_TYPE { OPERATION_SCAN = 1, OPERATION_SEARCH = 2, OPERATION_PREVIEW = 3, OPERATION_RECOVERY = 4 };

// Selection key: (nFileIndex << 32 | nClusterNO) first, then the engine type,
// so nodes of different engines that share index and number stay apart.
typedef std::pair<u64, u32> SELECT_KEY;
SELECT_KEY MakeSelectKey(const _FILE_NODE_& node);

class DRUI : public QWidget {
  Q_OBJECT
 public:
  typedef std::function<IFileRecoveryParse*(const _PARTITION_ITEM_&)> ENGINE_MAKER;
  typedef std::function<QString()> PATH_CHOOSER;

  explicit DRUI(QWidget* pParent = nullptr);
  ~DRUI() override;

  // Creates the support folders, the preview buffers and the first two pages.
  void Init();
  // Adds a disk image as a disk of its own; its number, or -1.
  int AddImage(const QString& path);
  // Shown on the disk page when disks cannot be opened (no administrator rights).
  void SetPrivilegeWarning(const QString& text);

  OPERATION_FLAGS& GetFlags(int nOprType);
  QString GetPreviewFileName() const { return m_strPreviewName; }

  // Seams for the tests and for embedding: how engines are made and how the
  // destination folder and image files are chosen.
  void SetEngineMaker(ENGINE_MAKER maker) { m_engineMaker = std::move(maker); }
  void SetFolderChooser(PATH_CHOOSER chooser) { m_folderChooser = std::move(chooser); }
  void SetImageChooser(PATH_CHOOSER chooser) { m_imageChooser = std::move(chooser); }

  // State the tests look at.
  int CurrentPage() const;
  const SEARCH_FILE_INFO_VECTOR& GetSearchResults() const { return m_vecSearchFileInfo; }
  const std::map<SELECT_KEY, _FILE_NODE_>& GetSelection() const { return m_mapSelectFile; }
  IFileRecoveryParse* GetEngine() const { return m_pFileRecovery; }
  int GetLastScanResult() const { return m_nScanResult; }
  bool IsPreviewPicture() const;
  QSize PreviewPictureSize() const;
  QString PreviewText() const;
  const _PARTITION_ITEM_& GetPartitionItem() const { return m_partitionItem; }
  // The category indices of the results listed under a tree row.
  std::vector<int> ResultsUnder(QTreeWidgetItem* pItem) const;
  // Runs the scan flow on a partition item (as a double click on its row does).
  void ScanPartition(const _PARTITION_ITEM_& item);

 signals:
  void ScanProcessCallBack(int nProgress, int nPercent, int nRemaindSecond, QString u64CurSectorStr,
                           QString u64SectorCountStr, QString u64FindFileCountStr, QString pRecoveryFileName);
  void RecoveryCallBack(int nProgress, int nPercent, int nErrorCode, QString pRecoveryFileName);
  void SearchCallBack(int nProgress, QString pRecoveryFileName);
  void PreViewCallBackForSlot(int nProgress, int nRet);

 public slots:
  void btnSlot();
  void CheckBoxStatChange(int nState);
  void CheckBoxAllStatChange(int nState);
  void diskItemClick(QTreeWidgetItem* pItem, int nColumn);
  void diskItemDoubleClick(QTreeWidgetItem* pItem, int nColumn);
  void btnSlotScan();
  void btnSlotBack();
  void btnSlotOpenImage();
  void treeItemClick(QTreeWidgetItem* pItem, int nColumn);
  void treeItemSelectChanged();
  void tableItemPress(int nRow, int nColumn);
  void tableItemSelectChanged();
  void tableItemClick(QTableWidgetItem* pItem);
  void btnRecovery();
  void btnHelpSlot();
  void btnSupportSlot();
  void btnAboutSlot();
  void btnOpenUrl(QString strUrl);

 protected:
  void keyPressEvent(QKeyEvent* pEvent) override;
  void closeEvent(QCloseEvent* pEvent) override;

 private:
  // Bridges from the engines' plain callbacks (worker thread) to signals.
  static int ScanCallBack(void* param, int nProgress, int nPercent, int nRemaindSecond, u64 u64CurSector,
                          u64 u64SectorCount, u64 u64FindFileCount, wchar_t* pRecoveryFileName);
  static int RecoveryCallBackBridge(void* param, int nProgress, int nPercent, int nErrorCode,
                                    wchar_t* pRecoveryFileName);
  static int SearchCallBackBridge(void* param, int nProgress, wchar_t* pRecoveryFileName);
  static int PreviewCallBack(void* param, int nProgress, int nRet);

  // Worker functions, each run on a CMyThread.
  static void _ScanProcess(void* param, int& nResult);
  static void _SearchProcess(void* param, int& nResult);
  static void _PreviewProcess(void* param, int& nResult);
  static void _RecoveryProcess(void* param, int& nResult);
  int Scan();
  void SearchProcess();
  int PreviewProcess();
  void RecoveryProcess();
  int SaveOneNode(_FILE_NODE_& node, const std::string& target, int nRootDirIndex);

  // Runs one operation on a worker behind the modal progress dialog.
  void RunOperation(int nOprType, void (*pFunc)(void*, int&));
  void DestroyEngine();

  QWidget* CreateTitleBar();
  QWidget* InitLayout1Widget();
  QWidget* InitLayout2Widget();
  void InitLayout3Widget();
  void CreateDiskTree();
  void CreateTree();
  void CreateTable();
  void UpdateTreeInfo(QTreeWidgetItem* pItem);
  void FillTable(const std::vector<int>& results);
  void ApplyTreeCheck(QTreeWidgetItem* pItem);
  void SyncTreeChecksFromSelection();
  void SyncTableChecksFromSelection();
  void UpdateSelectionLabel();
  void StartPreview(const _FILE_NODE_& node);
  void ShowPreviewResult();
  void ShowPage(int nIndex);
  QString ChooseDestination();
  void ShowDocument(const QString& resource, const QString& title);

  // Engine and scan.
  IFileRecoveryParse* m_pFileRecovery;
  ENGINE_MAKER m_engineMaker;
  PATH_CHOOSER m_folderChooser;
  PATH_CHOOSER m_imageChooser;
  _PARTITION_ITEM_ m_partitionItem;
  bool m_bCategoryChecked[CATEGORY_COUNT];
  int m_nScanResult;
  std::atomic<bool> m_bFinalScanReport;
  std::atomic<bool> m_bFileReported;
  std::set<int> m_setImageDisks;

  // Results and selection.
  SEARCH_FILE_INFO_VECTOR m_vecSearchFileInfo;
  std::map<SELECT_KEY, _FILE_NODE_> m_mapSelectFile;
  std::map<std::string, std::vector<int>> m_mapCategory[CATEGORY_COUNT];
  std::vector<int> m_vecTableResults;

  // Preview request.
  _FILE_NODE_ m_previewNode;
  QString m_strPreviewName;
  wchar_t m_wszPreviewPath[1024];
  unsigned char* m_pPreviewBuf;
  int m_nPreviewLen;
  unsigned char* m_pPreviewBuf2;
  bool m_bPreviewPicture;
  QSize m_previewPictureSize;

  // Recovery.
  QString m_strSaveDir;
  bool m_bHaveInvokingUser;
  unsigned int m_nInvokingUid;
  unsigned int m_nInvokingGid;

  OPERATION_FLAGS m_scanFlags, m_searchFlags, m_recoveryFlags, m_previewFlags;

  // Widgets.
  QStackedLayout* m_pStackedLayout;
  QWidget* m_pPage1;
  QWidget* m_pPage2;
  QWidget* m_pPage3;
  QCheckBox* m_pCategoryBox[CATEGORY_COUNT];
  QCheckBox* m_pRecoverAll;
  bool m_bPartialFromCategory;
  QPushButton* m_pBtnStart;
  QTreeWidget* m_pDiskTree;
  QPushButton* m_pBtnScan;
  QLabel* m_pPrivilegeBanner;
  QLabel* m_pResultHeading;
  QTreeWidget* m_pResultTree;
  QTableWidget* m_pTable;
  QLabel* m_pSelectionLabel;
  QPushButton* m_pBtnRecover;
  QStackedWidget* m_pPreviewStack;
  QLabel* m_pPreviewPicture;
  QScrollArea* m_pPreviewScroll;
  QTextEdit* m_pPreviewText;
  bool m_bFillingTable;
  bool m_bUpdatingTree;
};

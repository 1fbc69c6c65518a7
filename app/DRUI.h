// The main window: three pages (the kinds of files wanted, the disk or
// partition to scan, what was found). It parses, displays and calls the scan
// session; the session does the work. Everything that reads a disk runs on a
// worker (CMyThread): scans and recoveries behind the modal progress dialog,
// the disk list and previews in the background. Workers report through
// queued signals and never touch a widget.
#pragma once

#include <QMetaType>
#include <QWidget>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/DiskList.h"
#include "app/FileCategory.h"
#include "app/Preview.h"
#include "app/ResultModel.h"
#include "scan/ScanSession.h"

Q_DECLARE_METATYPE(SCAN_PROGRESS)

class QCheckBox;
class QLabel;
class QPushButton;
class QStackedLayout;
class QTreeWidget;
class QTreeWidgetItem;
class CMyThread;
class CResultsPage;
class SCANUI;

// One cancel/done pair per operation: the GUI thread sets cancel, the worker
// sets done.
struct OPERATION_FLAGS {
  std::atomic<bool> bCancel{false};
  std::atomic<bool> bDone{false};
};

enum OPERATION_TYPE { OPERATION_SCAN = 1, OPERATION_RECOVERY = 4 };

// A range to scan: a partition of a disk (1-based), the whole disk (0), or a
// recorded range (nPartition -1 with its sectors).
struct SCAN_JOB {
  int nDiskNo = -1;
  int nPartition = 0;
  u64 u64FirstSector = 0;
  u64 u64SectorCount = 0;
  bool bResume = false;
  QString strName;  // "Partition 1 (FAT32) of Disk 0"
};

class DRUI : public QWidget {
  Q_OBJECT
 public:
  typedef std::function<QString()> PATH_CHOOSER;

  explicit DRUI(QWidget* pParent = nullptr);
  ~DRUI() override;

  // Creates the support folders and the pages, and starts reading the disks.
  void Init();
  // Adds a disk image as a disk of its own (after checking it can be one)
  // and reads the disk list again; its number, or -1 (with the reason in
  // *pStatus).
  int AddImage(const QString& path, int* pStatus = nullptr);
  // Shown on the disk page when disks cannot be opened (no administrator rights).
  void SetPrivilegeWarning(const QString& text);

  OPERATION_FLAGS& GetFlags(int nOprType);
  void SetFolderChooser(PATH_CHOOSER chooser) { m_folderChooser = std::move(chooser); }
  void SetImageChooser(PATH_CHOOSER chooser) { m_imageChooser = std::move(chooser); }

  // State the tests look at.
  int CurrentPage() const;
  bool DiskListReady() const { return m_bDiskListReady; }
  const std::vector<DISK_ROW>& DiskRows() const { return m_diskRows; }
  CResultsPage* ResultsPage() const { return m_pResultsPage; }
  int LastScanStatus() const { return m_nScanStatus; }
  const SCAN_JOB& LastScanJob() const { return m_lastJob; }
  bool PreviewBusy() const { return m_pPreviewThread != nullptr; }
  bool HasResults() const { return m_bHaveResults; }
  const std::vector<SAVE_OUTCOME>& LastOutcomes() const { return m_outcomes; }
  // The range rows of the disk page: (disk, partition or 0) of a row.
  QTreeWidgetItem* DiskRangeRow(int nDiskNo, int nPartition) const;

  // Runs a scan of a range (as Scan on its row does) and ends on the results
  // page; the scan's status.
  int RunScan(const SCAN_JOB& job);
  // Copies disk nDiskNo into the image file out (going on from its map when
  // one is there) and adds the image to the disk list; the imager's status.
  int MakeImage(int nDiskNo, const QString& out);
  void SetImageSaveChooser(PATH_CHOOSER chooser) { m_imageSaveChooser = std::move(chooser); }

 signals:
  // From the worker; queued to the dialog.
  void ScanProgressSignal(const SCAN_PROGRESS& progress);
  void SaveProgressSignal(quint64 nDone, quint64 nTotal, const QString& name, int nStatus);

 public slots:
  void btnStartSlot();
  void btnSlotScan();
  void btnSlotResume();
  void btnSlotBack();
  void btnSlotReturnToResults();
  void btnSlotOpenImage();
  void btnSlotRefreshDisks();
  void btnRecovery();
  void btnResumeFromResults();
  void btnMakeImageSlot();
  void btnHelpSlot();
  void btnSupportSlot();
  void btnAboutSlot();

 protected:
  void keyPressEvent(QKeyEvent* pEvent) override;
  void closeEvent(QCloseEvent* pEvent) override;

 private:
  QWidget* CreateHeaderBar();
  QWidget* InitLayout1Widget();
  QWidget* InitLayout2Widget();
  void ShowPage(int nIndex);
  void StartDiskList();
  void FillDiskTree();
  void UpdateDiskButtons();
  bool JobOfRow(QTreeWidgetItem* pItem, SCAN_JOB& job) const;
  void CategoryBoxChanged();
  void AllBoxChanged(int nState);
  // Runs work on a worker behind the progress dialog; onEnd runs on the GUI
  // thread once the worker has ended, with the dialog still open.
  void RunOperation(SCANUI& dialog, std::function<void()> work, std::function<void()> onEnd);
  void WaitForPreview();
  void RequestPreview(int item);
  void StartPreviewWorker();
  QString ChooseDestination();
  bool ConfirmDropResults(const QString& action);
  void ShowDocument(const QString& resource, const QString& title);

  std::unique_ptr<CScanSession> m_pSession;
  PATH_CHOOSER m_folderChooser;
  PATH_CHOOSER m_imageChooser;
  PATH_CHOOSER m_imageSaveChooser;
  bool m_bCategoryChecked[CATEGORY_COUNT];
  SCAN_JOB m_lastJob;
  int m_nScanStatus;
  int m_nStoppedPercent;
  bool m_bHaveResults;
  bool m_bUnsaved;
  std::vector<SAVE_OUTCOME> m_outcomes;
  OPERATION_FLAGS m_scanFlags, m_recoveryFlags;

  // The disk list, read on a worker.
  std::vector<DISK_ROW> m_diskRows;
  std::vector<DISK_ROW> m_pendingDiskRows;
  CMyThread* m_pDiskThread;
  bool m_bDiskListReady;
  bool m_bDiskListAgain;

  // The preview worker: one at a time; the latest request waits its turn.
  CMyThread* m_pPreviewThread;
  int m_nPreviewRunning;
  int m_nPreviewWanted;
  int m_nPreviewGeneration;
  QSize m_previewFit;
  PREVIEW_RESULT m_previewResult;

  // Widgets.
  QStackedLayout* m_pStackedLayout;
  QWidget* m_pPage1;
  QWidget* m_pPage2;
  CResultsPage* m_pResultsPage;
  QCheckBox* m_pCategoryBox[CATEGORY_COUNT];
  QCheckBox* m_pRecoverAll;
  QPushButton* m_pBtnStart;
  QTreeWidget* m_pDiskTree;
  QLabel* m_pDiskStatus;
  QPushButton* m_pBtnScan;
  QPushButton* m_pBtnResume;
  QPushButton* m_pBtnReturn;
  QLabel* m_pPrivilegeBanner;
};

// The progress dialog of a scan or a recovery. The worker's reports arrive as
// queued signals; Cancel asks, raises the worker's stop flag and waits for
// the worker to end (the dialog closes when the window tells it the worker
// finished, never by spinning an event loop). A recovery ends on a summary:
// how many files were saved, saved in part or failed, and why.
#pragma once

#include <QDialog>
#include <QElapsedTimer>
#include <QStringList>
#include <atomic>
#include <deque>
#include <vector>

#include "scan/ScanSession.h"

class QLabel;
class QProgressBar;
class QPushButton;
class QTimer;
class CDetail;

// Speed over the last seconds of this run, and the time left at that speed.
class CRateMeter {
 public:
  explicit CRateMeter(qint64 nWindowMs = 10000) : m_nWindowMs(nWindowMs) {}
  void Add(qint64 nMs, u64 u64Done);
  // Units per second; 0 until two reports far enough apart arrived.
  double Rate() const;
  // Seconds to reach u64Total; -1 while unknown.
  i64 SecondsLeft(u64 u64Total) const;
  void Reset() { m_samples.clear(); }

 private:
  qint64 m_nWindowMs;
  std::deque<std::pair<qint64, u64>> m_samples;
};

class SCANUI : public QDialog {
  Q_OBJECT
 public:
  enum MODE { MODE_SCAN = 0, MODE_RECOVERY = 1 };
  SCANUI(QWidget* pParent, MODE eMode, std::atomic<bool>* pCancel);
  ~SCANUI() override;

  void SetHeading(const QString& text);
  void SetSaveDir(const QString& dir) { m_strSaveDir = dir; }
  // A recovery's end: the summary, with the details and the folder a click
  // away. names: of the files with outcomes; nTotal: files chosen (0: as many as names).
  void ShowSummary(int nStatus, const SAVE_SUMMARY& summary, const std::vector<SAVE_OUTCOME>& outcomes,
                   const QStringList& names, size_t nTotal = 0);

  MODE Mode() const { return m_eMode; }
  bool IsFinished() const { return m_bFinished; }
  bool IsStopping() const { return m_bStopping; }
  QString GetHeadingText() const;
  // Every line shown under the bar, one per line.
  QString GetStatusText() const;
  QString GetSummaryText() const;
  QString GetOpenFolderMessage() const;
  int GetBarValue() const;
  QPushButton* GetCancelButton() const { return m_pBtnCancel; }
  QPushButton* GetOpenFolderButton() const { return m_pBtnOpenFolder; }
  CDetail* GetDetail() const { return m_pDetail; }

 public slots:
  void OnScanProgress(const SCAN_PROGRESS& progress);
  void OnSaveProgress(quint64 nDone, quint64 nTotal, const QString& name, int nStatus);
  // The worker ended: a scan's dialog closes, a recovery's waits for ShowSummary.
  void OnWorkerFinished();
  void btnCancelSlot();
  void btnDetailSlot();
  void btnOpenFolderSlot();
  void reject() override;

 protected:
  void closeEvent(QCloseEvent* pEvent) override;

 private:
  QLabel* AddLine(const QString& title);
  bool AskToStop();
  void Tick();

  MODE m_eMode;
  std::atomic<bool>* m_pCancel;
  bool m_bFinished;
  bool m_bStopping;
  bool m_bWorkerDone;
  QString m_strSaveDir;
  QElapsedTimer m_clock;
  CRateMeter m_rate;
  QTimer* m_pTicker;
  QLabel* m_pHeading;
  QProgressBar* m_pBar;
  QWidget* m_pLines;
  std::vector<std::pair<QLabel*, QLabel*>> m_lines;
  QLabel* m_pPhase;
  QLabel* m_pRead;
  QLabel* m_pSpeed;
  QLabel* m_pElapsed;
  QLabel* m_pLeft;
  QLabel* m_pFound;
  QLabel* m_pUnreadable;
  QLabel* m_pSummary;
  QLabel* m_pReasons;
  QLabel* m_pFolderMessage;
  QPushButton* m_pBtnCancel;
  QPushButton* m_pBtnDetail;
  QPushButton* m_pBtnOpenFolder;
  CDetail* m_pDetail;
  u64 m_nSaved, m_nPartial, m_nFailed;
};

// The words of a scan's phase.
QString ScanPhaseText(const SCAN_PROGRESS& progress);

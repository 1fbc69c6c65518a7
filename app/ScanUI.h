// The modal progress dialog of one long operation (scan, search, preview,
// recovery). The engine's reports arrive as queued signals from the main
// window; closing it asks before cancelling and waits for the worker.
#pragma once

#include <QDialog>

class QLabel;
class QProgressBar;
class QPushButton;
class CDetail;
class DRUI;

class SCANUI : public QDialog {
  Q_OBJECT
 public:
  explicit SCANUI(QWidget* pParent = nullptr);
  ~SCANUI() override;

  void InitSlot(DRUI* pOwner, int nOprType);
  void SetSaveDir(QString strDir) { m_strSaveDir = strDir; }
  // The name shown in the heading of a preview.
  void SetFileName(QString strName) { m_strFileName = strName; }

  bool IsFinished() const { return m_bIsFinished; }
  QString GetStatusText() const;
  QString GetHeadingText() const;
  QPushButton* GetCancelButton() const { return m_pBtnCancel; }
  CDetail* GetDetail() const { return m_pDetail; }
  int GetBarValue() const;

  // One dialog at a time: these describe the dialog that is open.
  static int m_nOprType;
  static QProgressBar* m_progressBar;
  static bool m_bIsFinished;
  static int m_nError;

 public slots:
  void ScanProcessCallBackSlot(int nProgress, int nPercent, int nRemaindSecond, QString u64CurSectorStr,
                               QString u64SectorCountStr, QString u64FindFileCountStr, QString pRecoveryFileName);
  void RecoveryCallBackSlot(int nProgress, int nPercent, int nErrorCode, QString pRecoveryFileName);
  void SearchCallBackSlot(int nProgress, QString pRecoveryFileName);
  void PreViewCallBackSlot(int nProgress, int nRet);
  void btnCancelSlot();
  void btnDetailSlot();
  void btnOpenFolderSlot();
  void reject() override;

 protected:
  void closeEvent(QCloseEvent* pEvent) override;

 private:
  void InitDialog();
  void SetBar(int nValue);
  void Finish();

  DRUI* m_pOwner;
  QLabel* m_pHeading;
  QLabel* m_pStatus;
  QProgressBar* m_pBar;
  QPushButton* m_pBtnCancel;
  QPushButton* m_pBtnDetail;
  QPushButton* m_pBtnOpenFolder;
  CDetail* m_pDetail;
  QString m_strFileName;
  QString m_strSaveDir;
  bool m_bWaiting;
};

// Bar value of a report: nProgress * nPercent / 100, kept within 0..100.
int ProgressBarValue(int nProgress, int nPercent);
// The status text of a scan report.
QString ScanStatusText(int nProgress, int nPercent, int nRemaindSecond, const QString& cur, const QString& count,
                       const QString& found);

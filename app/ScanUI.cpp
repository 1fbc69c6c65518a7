#include "app/ScanUI.h"

#include <QCloseEvent>
#include <QDesktopServices>
#include <QEventLoop>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

#include "app/DRUI.h"
#include "app/Detail.h"
#include "app/MessageBox.h"
#include "app/WindowBehaviour.h"
#include "engine/TextUtil.h"

int SCANUI::m_nOprType = 0;
QProgressBar* SCANUI::m_progressBar = nullptr;
bool SCANUI::m_bIsFinished = false;
int SCANUI::m_nError = 0;

int ProgressBarValue(int nProgress, int nPercent) {
  long long v = static_cast<long long>(nProgress) * nPercent / 100;
  if (v < 0) v = 0;
  if (v > 100) v = 100;
  return static_cast<int>(v);
}

QString ScanStatusText(int nProgress, int nPercent, int nRemaindSecond, const QString& cur, const QString& count,
                       const QString& found) {
  int bar = ProgressBarValue(nProgress, nPercent);
  if (nPercent == 90) {
    QString time = nRemaindSecond == -1
                       ? QStringLiteral("Estimated time is calculating")
                       : QStringLiteral("Estimated Time Left: ") + QString::fromStdString(GetTimeString(nRemaindSecond));
    return QString::asprintf("  Current Process: %d%%\n  Reading Sector: %s/%s\n  Total Files Found: %s\n  %s\n", bar,
                             cur.toUtf8().constData(), count.toUtf8().constData(), found.toUtf8().constData(),
                             time.toUtf8().constData());
  }
  return QString::asprintf("  Current Process: %d%%\n  %s\n", bar, "Estimated time is calculating");
}

SCANUI::SCANUI(QWidget* pParent)
    : QDialog(pParent),
      m_pOwner(nullptr),
      m_pHeading(nullptr),
      m_pStatus(nullptr),
      m_pBar(nullptr),
      m_pBtnCancel(nullptr),
      m_pBtnDetail(nullptr),
      m_pBtnOpenFolder(nullptr),
      m_pDetail(nullptr),
      m_bWaiting(false) {
  new CWindowBehaviour(this);
  setFont(AppTextFont());
  setStyleSheet(AppStyleSheet());
  setModal(true);
}

SCANUI::~SCANUI() {
  if (m_progressBar == m_pBar) m_progressBar = nullptr;
}

void SCANUI::InitSlot(DRUI* pOwner, int nOprType) {
  m_pOwner = pOwner;
  m_nOprType = nOprType;
  m_bIsFinished = false;
  m_nError = 0;
  InitDialog();
  SetBar(0);
  m_pStatus->setText(nOprType == OPERATION_SCAN ? QStringLiteral("  Current Process: 0%\n  Estimated Time Left: 0 second\n")
                                                : QString());
  if (pOwner) {
    connect(pOwner, &DRUI::ScanProcessCallBack, this, &SCANUI::ScanProcessCallBackSlot);
    connect(pOwner, &DRUI::RecoveryCallBack, this, &SCANUI::RecoveryCallBackSlot);
    connect(pOwner, &DRUI::SearchCallBack, this, &SCANUI::SearchCallBackSlot);
    connect(pOwner, &DRUI::PreViewCallBackForSlot, this, &SCANUI::PreViewCallBackSlot);
  }
}

void SCANUI::InitDialog() {
  auto* outer = new QVBoxLayout(this);
  outer->setContentsMargins(0, 0, 0, 0);
  auto* frame = new QWidget(this);
  frame->setObjectName("windowFrame");
  outer->addWidget(frame);
  auto* layout = new QVBoxLayout(frame);
  layout->setContentsMargins(18, 12, 18, 14);
  layout->setSpacing(8);

  QString heading;
  switch (m_nOprType) {
    case OPERATION_SCAN: heading = QStringLiteral("  Scan File\n  scanning drive for deleted files"); break;
    case OPERATION_SEARCH: heading = QStringLiteral("  Search File\n  searching drive for deleted files"); break;
    case OPERATION_PREVIEW:
      heading = QString::asprintf("  Preview File\n  %s\n", m_strFileName.toUtf8().constData());
      break;
    default: heading = QStringLiteral("  Recovery File\n"); break;
  }
  auto* head = new QHBoxLayout;
  auto* logo = new QLabel(frame);
  logo->setPixmap(QPixmap(QStringLiteral(":/image/logo.png")).scaled(36, 36, Qt::KeepAspectRatio,
                                                                      Qt::SmoothTransformation));
  head->addWidget(logo, 0, Qt::AlignTop);
  m_pHeading = new QLabel(heading, frame);
  m_pHeading->setObjectName("dialogHeading");
  m_pHeading->setTextFormat(Qt::PlainText);
  head->addWidget(m_pHeading, 1);
  layout->addLayout(head);

  m_pBar = new QProgressBar(frame);
  m_pBar->setRange(0, 100);
  m_progressBar = m_pBar;
  layout->addWidget(m_pBar);

  m_pStatus = new QLabel(frame);
  m_pStatus->setObjectName("statusLabel");
  m_pStatus->setTextFormat(Qt::PlainText);
  m_pStatus->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  m_pStatus->setMinimumHeight(72);
  layout->addWidget(m_pStatus, 1);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  if (m_nOprType == OPERATION_RECOVERY) {
    m_pBtnDetail = new QPushButton(QStringLiteral("Detail"), frame);
    m_pBtnOpenFolder = new QPushButton(QStringLiteral("Open Folder"), frame);
    connect(m_pBtnDetail, &QPushButton::clicked, this, &SCANUI::btnDetailSlot);
    connect(m_pBtnOpenFolder, &QPushButton::clicked, this, &SCANUI::btnOpenFolderSlot);
    buttons->addWidget(m_pBtnDetail);
    buttons->addWidget(m_pBtnOpenFolder);
    m_pDetail = new CDetail(this);
  }
  m_pBtnCancel = new QPushButton(QStringLiteral("Cancel"), frame);
  m_pBtnCancel->setObjectName("cancelButton");
  connect(m_pBtnCancel, &QPushButton::clicked, this, &SCANUI::btnCancelSlot);
  buttons->addWidget(m_pBtnCancel);
  layout->addLayout(buttons);
  resize(500, 250);
}

QString SCANUI::GetStatusText() const { return m_pStatus ? m_pStatus->text() : QString(); }
QString SCANUI::GetHeadingText() const { return m_pHeading ? m_pHeading->text() : QString(); }
int SCANUI::GetBarValue() const { return m_pBar ? m_pBar->value() : 0; }

void SCANUI::SetBar(int nValue) {
  if (m_pBar) m_pBar->setValue(nValue < 0 ? 0 : (nValue > 100 ? 100 : nValue));
}

void SCANUI::Finish() {
  m_bIsFinished = true;
  // While closeEvent waits for the worker it ends the dialog itself.
  if (!m_bWaiting) close();
}

void SCANUI::ScanProcessCallBackSlot(int nProgress, int nPercent, int nRemaindSecond, QString u64CurSectorStr,
                                     QString u64SectorCountStr, QString u64FindFileCountStr,
                                     QString pRecoveryFileName) {
  SetBar(ProgressBarValue(nProgress, nPercent));
  m_strFileName = pRecoveryFileName;
  m_pStatus->setText(
      ScanStatusText(nProgress, nPercent, nRemaindSecond, u64CurSectorStr, u64SectorCountStr, u64FindFileCountStr));
  long long product = static_cast<long long>(nProgress) * nPercent;
  m_nError = 0;
  if (product >= 10000 && product <= 10099) Finish();
}

void SCANUI::SearchCallBackSlot(int nProgress, QString /*pRecoveryFileName*/) {
  SetBar(nProgress);
  m_pStatus->setText(QString::asprintf("  Process: %d%%\n  Searching drive for recovery files", nProgress));
  if (nProgress == 100 && m_pOwner && m_pOwner->GetFlags(OPERATION_SEARCH).bDone) Finish();
}

void SCANUI::PreViewCallBackSlot(int nProgress, int /*nRet*/) {
  SetBar(nProgress);
  m_pStatus->setText(
      QString::asprintf("  Process: %d%%\n  Previewing file:%s", nProgress, m_strFileName.toUtf8().constData()));
  if (nProgress >= 100) Finish();
}

void SCANUI::RecoveryCallBackSlot(int nProgress, int nPercent, int nErrorCode, QString pRecoveryFileName) {
  SetBar(ProgressBarValue(nProgress, nPercent));
  // The end-of-run report closes the run whatever order the worker's flags
  // and this report arrive in; it is not a file of its own.
  if (nPercent == 1000) {
    m_bIsFinished = true;
    m_pBtnCancel->setText(QStringLiteral("Finished"));
    m_pStatus->setText(QString::asprintf("  Process: %d%%\n  Destination: %s", 100,
                                         m_strSaveDir.toUtf8().constData()));
    return;
  }
  m_strFileName = pRecoveryFileName;
  if (nProgress == 100 && m_pDetail) m_pDetail->AddTableItem(pRecoveryFileName, nErrorCode);
  m_pStatus->setText(QString::asprintf("  Process: %d%%\n  Destination: %s", ProgressBarValue(nProgress, nPercent),
                                       pRecoveryFileName.toUtf8().constData()));
}

void SCANUI::btnCancelSlot() { close(); }

void SCANUI::reject() { close(); }

void SCANUI::btnDetailSlot() {
  if (!m_pDetail) return;
  m_pDetail->setGeometry(x(), y(), 600, 400);
  m_pDetail->show();
  m_pDetail->raise();
}

void SCANUI::btnOpenFolderSlot() {
  if (!m_strSaveDir.isEmpty()) QDesktopServices::openUrl(QUrl::fromLocalFile(m_strSaveDir));
}

void SCANUI::closeEvent(QCloseEvent* pEvent) {
  if (m_bIsFinished) {
    QDialog::reject();
    pEvent->accept();
    return;
  }
  if (m_bWaiting) {
    pEvent->ignore();
    return;
  }
  bool bSkipQuestion = m_nOprType == OPERATION_RECOVERY && m_pBtnCancel &&
                       m_pBtnCancel->text() == QLatin1String("Finished");
  if (!bSkipQuestion) {
    static const char* const kQuestions[] = {"Are you sure to cancel the scanning?",
                                             "Are you sure to cancel the searching?",
                                             "Are you sure to cancel the previewing?",
                                             "Are you sure to cancel the recoverying?"};
    int idx = (m_nOprType >= 1 && m_nOprType <= 4) ? m_nOprType - 1 : 0;
    CMessageBox box(this);
    box.setObjectName("cancelQuestion");
    box.InitQuestionDialog(QString::fromLatin1(kQuestions[idx]), false);
    box.setGeometry(x() + width() / 8, y() + height() / 8, 400, 150);
    box.exec();
    if (box.GetMessageBoxRet() != 1) {
      pEvent->ignore();
      return;
    }
    if (m_bIsFinished) {  // finished while the question was open
      QDialog::reject();
      pEvent->accept();
      return;
    }
  }
  if (m_pOwner) {
    OPERATION_FLAGS& flags = m_pOwner->GetFlags(m_nOprType);
    flags.bCancel = true;
    m_bWaiting = true;
    // Queued reports keep arriving while we wait; user input waits.
    while (!flags.bDone) {
      QEventLoop loop;
      QTimer::singleShot(100, &loop, &QEventLoop::quit);
      loop.exec(QEventLoop::ExcludeUserInputEvents);
    }
    m_bWaiting = false;
  }
  SetBar(0);
  m_bIsFinished = true;
  QDialog::reject();
  pEvent->accept();
}

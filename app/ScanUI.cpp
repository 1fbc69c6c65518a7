#include "app/ScanUI.h"

#include <QCloseEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QProgressBar>
#include <QScreen>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>
#include <map>

#include "app/AppStyle.h"
#include "app/Detail.h"
#include "app/FileCategory.h"
#include "app/MessageBox.h"
#include "app/Platform.h"

void CRateMeter::Add(qint64 nMs, u64 u64Done) {
  if (!m_samples.empty() && u64Done < m_samples.back().second) m_samples.clear();  // a new pass
  m_samples.emplace_back(nMs, u64Done);
  while (m_samples.size() > 2 && nMs - m_samples[1].first >= m_nWindowMs) m_samples.pop_front();
}

double CRateMeter::Rate() const {
  if (m_samples.size() < 2) return 0;
  qint64 ms = m_samples.back().first - m_samples.front().first;
  if (ms < 500) return 0;
  return static_cast<double>(m_samples.back().second - m_samples.front().second) * 1000.0 / static_cast<double>(ms);
}

i64 CRateMeter::SecondsLeft(u64 u64Total) const {
  double rate = Rate();
  if (rate <= 0 || m_samples.empty()) return -1;
  u64 done = m_samples.back().second;
  return done >= u64Total ? 0 : static_cast<i64>(static_cast<double>(u64Total - done) / rate + 0.5);
}

QString ScanPhaseText(const SCAN_PROGRESS& progress) {
  switch (progress.ePhase) {
    case SCAN_PROGRESS::PHASE_QUICK: return QStringLiteral("Reading the file system's records");
    case SCAN_PROGRESS::PHASE_DEEP: return QStringLiteral("Searching the free space for lost files");
    default: return QStringLiteral("Listing what was found");
  }
}

SCANUI::SCANUI(QWidget* pParent, MODE eMode, std::atomic<bool>* pCancel)
    : QDialog(pParent),
      m_eMode(eMode),
      m_pCancel(pCancel),
      m_bFinished(false),
      m_bStopping(false),
      m_bWorkerDone(false),
      m_pTicker(new QTimer(this)),
      m_pPhase(nullptr),
      m_pRead(nullptr),
      m_pSpeed(nullptr),
      m_pElapsed(nullptr),
      m_pLeft(nullptr),
      m_pFound(nullptr),
      m_pUnreadable(nullptr),
      m_pBtnDetail(nullptr),
      m_pBtnOpenFolder(nullptr),
      m_pDetail(nullptr),
      m_nSaved(0),
      m_nPartial(0),
      m_nFailed(0) {
  ApplyAppLook(this);
  setObjectName("progressDialog");
  setModal(true);
  setWindowTitle(eMode == MODE_SCAN ? QStringLiteral("Scanning") : QStringLiteral("Recovering files"));
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(18, 14, 18, 14);
  layout->setSpacing(10);
  m_pHeading = new QLabel(this);
  m_pHeading->setObjectName("dialogHeading");
  m_pHeading->setWordWrap(true);
  layout->addWidget(m_pHeading);
  m_pBar = new QProgressBar(this);
  m_pBar->setRange(0, 100);
  m_pBar->setValue(0);
  layout->addWidget(m_pBar);

  m_pLines = new QWidget(this);
  auto* grid = new QGridLayout(m_pLines);
  grid->setContentsMargins(0, 0, 0, 0);
  grid->setHorizontalSpacing(14);
  grid->setVerticalSpacing(4);
  grid->setColumnStretch(1, 1);
  layout->addWidget(m_pLines);
  if (eMode == MODE_SCAN) {
    m_pPhase = AddLine(QStringLiteral("Now"));
    m_pRead = AddLine(QStringLiteral("Read"));
    m_pSpeed = AddLine(QStringLiteral("Speed"));
    m_pElapsed = AddLine(QStringLiteral("Elapsed"));
    m_pLeft = AddLine(QStringLiteral("Time left"));
    m_pFound = AddLine(QStringLiteral("Found so far"));
    // Counted by the engine as it goes (SCAN_PROGRESS::u64Unreadable).
    m_pUnreadable = AddLine(QStringLiteral("Unreadable sectors skipped"));
    m_pUnreadable->setText(QStringLiteral("none"));
    m_pPhase->setText(QStringLiteral("Starting"));
    m_pElapsed->setText(HumanDuration(0));
    m_pLeft->setText(QStringLiteral("estimating\u2026"));
    m_pFound->setText(QStringLiteral("0 files and folders"));
  } else {
    m_pPhase = AddLine(QStringLiteral("Saving"));
    m_pFound = AddLine(QStringLiteral("Done"));
    m_pElapsed = AddLine(QStringLiteral("Elapsed"));
    m_pFound->setText(SaveCountsText(0, 0, 0, 0));
    m_pElapsed->setText(HumanDuration(0));
  }
  m_pSummary = new QLabel(this);
  m_pSummary->setObjectName("summaryText");
  m_pSummary->setWordWrap(true);
  m_pSummary->hide();
  layout->addWidget(m_pSummary);
  m_pReasons = new QLabel(this);
  m_pReasons->setObjectName("summaryReasons");
  m_pReasons->setWordWrap(true);
  m_pReasons->setTextInteractionFlags(Qt::TextSelectableByMouse);
  m_pReasons->hide();
  layout->addWidget(m_pReasons);
  m_pFolderMessage = new QLabel(this);
  m_pFolderMessage->setObjectName("warningBanner");
  m_pFolderMessage->setWordWrap(true);
  m_pFolderMessage->setTextInteractionFlags(Qt::TextSelectableByMouse);
  m_pFolderMessage->hide();
  layout->addWidget(m_pFolderMessage);
  layout->addStretch(1);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  if (eMode == MODE_RECOVERY) {
    m_pBtnDetail = new QPushButton(QStringLiteral("Details\u2026"), this);
    m_pBtnOpenFolder = new QPushButton(QStringLiteral("Open folder"), this);
    m_pBtnDetail->hide();
    m_pBtnOpenFolder->hide();
    connect(m_pBtnDetail, &QPushButton::clicked, this, &SCANUI::btnDetailSlot);
    connect(m_pBtnOpenFolder, &QPushButton::clicked, this, &SCANUI::btnOpenFolderSlot);
    buttons->addWidget(m_pBtnDetail);
    buttons->addWidget(m_pBtnOpenFolder);
    m_pDetail = new CDetail(this);
  }
  m_pBtnCancel = new QPushButton(eMode == MODE_SCAN ? QStringLiteral("Stop scan") : QStringLiteral("Stop"), this);
  m_pBtnCancel->setObjectName("cancelButton");
  connect(m_pBtnCancel, &QPushButton::clicked, this, &SCANUI::btnCancelSlot);
  buttons->addWidget(m_pBtnCancel);
  layout->addLayout(buttons);
  setMinimumWidth(560);
  resize(560, sizeHint().height());

  m_clock.start();
  connect(m_pTicker, &QTimer::timeout, this, &SCANUI::Tick);
  m_pTicker->start(1000);
}

SCANUI::~SCANUI() = default;

QLabel* SCANUI::AddLine(const QString& title) {
  auto* grid = static_cast<QGridLayout*>(m_pLines->layout());
  int row = static_cast<int>(m_lines.size());
  auto* name = new QLabel(title + QLatin1Char(':'), m_pLines);
  name->setObjectName("pageHint");
  auto* value = new QLabel(m_pLines);
  value->setTextInteractionFlags(Qt::TextSelectableByMouse);
  grid->addWidget(name, row, 0);
  grid->addWidget(value, row, 1);
  m_lines.emplace_back(name, value);
  return value;
}

void SCANUI::SetHeading(const QString& text) { m_pHeading->setText(text); }
QString SCANUI::GetHeadingText() const { return m_pHeading->text(); }
int SCANUI::GetBarValue() const { return m_pBar->value(); }
QString SCANUI::GetSummaryText() const { return m_pSummary->text() + QLatin1Char('\n') + m_pReasons->text(); }
QString SCANUI::GetOpenFolderMessage() const { return m_pFolderMessage->isHidden() ? QString() : m_pFolderMessage->text(); }

QString SCANUI::GetStatusText() const {
  QStringList out;
  for (const auto& line : m_lines)
    if (!line.second->isHidden()) out << line.first->text() + QLatin1Char(' ') + line.second->text();
  return out.join(QLatin1Char('\n'));
}

void SCANUI::Tick() {
  if (m_bFinished) return;
  m_pElapsed->setText(HumanDuration(m_clock.elapsed() / 1000));
}

void SCANUI::OnScanProgress(const SCAN_PROGRESS& p) {
  if (m_eMode != MODE_SCAN || m_bFinished) return;
  m_pBar->setValue(p.nPercent);
  m_pPhase->setText(m_bStopping ? QStringLiteral("Stopping\u2026") : ScanPhaseText(p));
  Tick();
  if (p.ePhase == SCAN_PROGRESS::PHASE_DEEP && p.u64SectorsTotal) {
    u64 done = p.u64SectorsDone * SECTOR_SIZE, total = p.u64SectorsTotal * SECTOR_SIZE;
    m_rate.Add(m_clock.elapsed(), done);
    m_pRead->setText(QStringLiteral("%1 of %2").arg(HumanSize(done), HumanSize(total)));
    double rate = m_rate.Rate();
    m_pSpeed->setText(rate > 0 ? QStringLiteral("%1/s").arg(HumanSize(static_cast<u64>(rate))) : QString());
    i64 left = m_rate.SecondsLeft(total);
    m_pLeft->setText(left >= 0 ? QStringLiteral("about ") + HumanDuration(left) : QStringLiteral("estimating\u2026"));
  } else if (p.ePhase == SCAN_PROGRESS::PHASE_DONE) {
    m_pLeft->setText(HumanDuration(0));
  }
  m_pUnreadable->setText(p.u64Unreadable == 0 ? QStringLiteral("none")
                                              : QStringLiteral("%1 (%2)")
                                                    .arg(QLocale().toString(static_cast<qulonglong>(p.u64Unreadable)),
                                                         HumanSize(p.u64Unreadable * SECTOR_SIZE)));
  if (p.ePhase == SCAN_PROGRESS::PHASE_DONE)
    m_pFound->setText(p.u64Found == 1 ? QStringLiteral("1 file")
                                      : QStringLiteral("%1 files").arg(QLocale().toString(static_cast<qulonglong>(p.u64Found))));
  else
    m_pFound->setText(QStringLiteral("%1 files and folders").arg(QLocale().toString(static_cast<qulonglong>(p.u64Found))));
}

void SCANUI::OnSaveProgress(quint64 nDone, quint64 nTotal, const QString& name, int nStatus) {
  if (m_eMode != MODE_RECOVERY || m_bFinished) return;
  m_pBar->setValue(nTotal ? static_cast<int>(nDone * 100 / nTotal) : 0);
  if (!name.isEmpty()) {
    // nStatus < 0 with no count change: a report from inside a long file.
    m_pPhase->setText(name);
    if (nStatus != INT32_MIN) {
      if (nStatus == 0 || nStatus == STATUS_SKIPPED_SAME) ++m_nSaved;
      else if (nStatus == STATUS_PARTIAL_SAVE) ++m_nPartial;
      else if (nStatus != RECOVERY_CANCELLED) ++m_nFailed;
      m_pFound->setText(SaveCountsText(m_nSaved, m_nPartial, m_nFailed, 0));
    }
  }
  Tick();
}

void SCANUI::OnWorkerFinished() {
  m_bWorkerDone = true;
  if (m_eMode == MODE_SCAN) {
    m_bFinished = true;
    m_pTicker->stop();
    QDialog::accept();
  }
}

void SCANUI::ShowSummary(int nStatus, const SAVE_SUMMARY& summary, const std::vector<SAVE_OUTCOME>& outcomes,
                         const QStringList& names, size_t nTotal) {
  if (nTotal == 0) nTotal = static_cast<size_t>(names.size());
  m_bFinished = true;
  m_bWorkerDone = true;
  m_pTicker->stop();
  u64 done = summary.nSaved + summary.nPartial + summary.nFailed + summary.nSkipped;
  if (nStatus != RECOVERY_CANCELLED && nStatus != STATUS_DEST_ON_TARGET) m_pBar->setValue(100);
  QString heading;
  if (nStatus == RECOVERY_CANCELLED) heading = QStringLiteral("Recovery stopped after %1 of %2 files.").arg(done).arg(nTotal);
  else if (summary.nFailed == 0 && summary.nPartial == 0 && done > 0) heading = QStringLiteral("Recovery finished.");
  else if (done == 0 && nStatus != 0) heading = QStringLiteral("Recovery failed: %1.").arg(QString::fromStdString(StatusText(nStatus)));
  else heading = QStringLiteral("Recovery finished with problems.");
  m_pHeading->setText(heading);
  m_pLines->hide();
  m_pSummary->setText(SaveCountsText(summary.nSaved, summary.nPartial, summary.nFailed, summary.nSkipped));
  m_pSummary->show();
  // The reasons, most frequent first.
  std::map<int, int> failures;
  for (const SAVE_OUTCOME& o : outcomes)
    if (o.nStatus != 0 && o.nStatus != STATUS_SKIPPED_SAME && o.nStatus != RECOVERY_CANCELLED) ++failures[o.nStatus];
  std::vector<std::pair<int, int>> byCount(failures.begin(), failures.end());
  std::stable_sort(byCount.begin(), byCount.end(),
                   [](const std::pair<int, int>& a, const std::pair<int, int>& b) { return a.second > b.second; });
  QStringList reasons;
  for (const auto& f : byCount)
    reasons << QStringLiteral("%1 %2: %3")
                   .arg(f.second)
                   .arg(f.first == STATUS_PARTIAL_SAVE ? QStringLiteral("partial") : QStringLiteral("failed"))
                   .arg(QString::fromStdString(StatusText(f.first)));
  if (!m_strSaveDir.isEmpty()) reasons << QStringLiteral("Destination: %1").arg(m_strSaveDir);
  if (!reasons.isEmpty()) {
    m_pReasons->setText(reasons.join(QLatin1Char('\n')));
    m_pReasons->show();
  }
  if (m_pDetail) {
    for (size_t i = 0; i < outcomes.size(); ++i) {
      QString name = i < static_cast<size_t>(names.size()) ? names[static_cast<int>(i)] : QString();
      m_pDetail->AddOutcome(name, outcomes[i].nStatus, QString::fromStdString(outcomes[i].strPath));
    }
    m_pDetail->Finish();
  }
  m_pBtnDetail->setVisible(!outcomes.empty());
  m_pBtnOpenFolder->setVisible(!m_strSaveDir.isEmpty() && (summary.nSaved + summary.nPartial + summary.nSkipped) > 0);
  m_pBtnCancel->setText(QStringLiteral("Close"));
  m_pBtnCancel->setEnabled(true);
  m_pBtnCancel->setDefault(true);
  m_pBtnCancel->setFocus();
  adjustSize();
}

bool SCANUI::AskToStop() {
  QString text = m_eMode == MODE_SCAN
                     ? QStringLiteral("Stop the scan? What it found so far is kept, and the scan can be resumed later.")
                     : QStringLiteral("Stop the recovery? Files already saved are kept; the file being saved now "
                                      "is removed.");
  return CMessageBox::Ask(this, QStringLiteral("cancelQuestion"), text,
                          m_eMode == MODE_SCAN ? QStringLiteral("Stop scan") : QStringLiteral("Stop recovery"),
                          m_eMode == MODE_SCAN ? QStringLiteral("Keep scanning") : QStringLiteral("Keep saving"));
}

void SCANUI::btnCancelSlot() { close(); }
void SCANUI::reject() { close(); }

void SCANUI::closeEvent(QCloseEvent* pEvent) {
  if (m_bFinished) {
    pEvent->accept();
    QDialog::reject();
    return;
  }
  pEvent->ignore();
  if (m_bStopping || !AskToStop()) return;
  if (m_bFinished) {  // finished while the question was open
    QDialog::reject();
    return;
  }
  m_bStopping = true;
  if (m_pCancel) *m_pCancel = true;
  m_pBtnCancel->setEnabled(false);
  m_pBtnCancel->setText(QStringLiteral("Stopping\u2026"));
  if (m_pPhase) m_pPhase->setText(QStringLiteral("Stopping\u2026"));
}

void SCANUI::btnDetailSlot() {
  if (!m_pDetail) return;
  // Centred on the main window, inside the screen.
  QWidget* main = parentWidget() ? parentWidget()->window() : this;
  QRect area = main->screen() ? main->screen()->availableGeometry() : QRect(0, 0, 1280, 800);
  QRect r(QPoint(0, 0), m_pDetail->size().boundedTo(area.size()));
  r.moveCenter(main->frameGeometry().center());
  r.moveLeft(std::max(area.left(), std::min(r.left(), area.right() - r.width())));
  r.moveTop(std::max(area.top(), std::min(r.top(), area.bottom() - r.height())));
  m_pDetail->resize(r.size());
  m_pDetail->move(r.topLeft());
  m_pDetail->show();
  m_pDetail->raise();
  m_pDetail->activateWindow();
}

void SCANUI::btnOpenFolderSlot() {
  QString problem = OpenFolderForUser(m_strSaveDir);
  m_pFolderMessage->setText(problem);
  m_pFolderMessage->setVisible(!problem.isEmpty());
}

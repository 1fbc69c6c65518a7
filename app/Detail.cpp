#include "app/Detail.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QTableWidget>
#include <QVBoxLayout>

#include "app/AppStyle.h"
#include "engine/Status.h"

namespace {
// Sort rank of a row: failures, partial saves, saved, already there.
int Rank(int nStatus) {
  if (nStatus == 0) return 2;
  if (nStatus == STATUS_PARTIAL_SAVE) return 1;
  if (nStatus == STATUS_SKIPPED_SAME) return 3;
  return 0;
}
}  // namespace

QString SaveCountsText(u64 nSaved, u64 nPartial, u64 nFailed, u64 nSkipped) {
  QString text = QStringLiteral("%1 saved, %2 partial, %3 failed").arg(nSaved).arg(nPartial).arg(nFailed);
  if (nSkipped) text += QStringLiteral(", %1 already saved before").arg(nSkipped);
  return text;
}

QString SaveResultWord(int nStatus) {
  switch (Rank(nStatus)) {
    case 0: return QStringLiteral("failed");
    case 1: return QStringLiteral("saved in part");
    case 3: return QStringLiteral("already there");
    default: return QStringLiteral("saved");
  }
}

CDetail::CDetail(QWidget* pParent)
    : QDialog(pParent), m_nSaved(0), m_nPartial(0), m_nFailed(0), m_nSkipped(0) {
  ApplyAppLook(this);
  setObjectName("detailDialog");
  setWindowTitle(QStringLiteral("Recovery details"));
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(14, 12, 14, 12);
  m_pHeading = new QLabel(this);
  m_pHeading->setObjectName("dialogHeading");
  layout->addWidget(m_pHeading);

  m_pTable = new QTableWidget(0, 4, this);
  m_pTable->setObjectName("detailTable");
  m_pTable->setHorizontalHeaderLabels(
      {QStringLiteral("Name"), QStringLiteral("Result"), QStringLiteral("Reason"), QStringLiteral("Saved as")});
  m_pTable->horizontalHeader()->setStretchLastSection(true);
  m_pTable->verticalHeader()->hide();
  m_pTable->setSelectionBehavior(QAbstractItemView::SelectRows);
  m_pTable->setSelectionMode(QAbstractItemView::SingleSelection);
  m_pTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
  m_pTable->setWordWrap(false);
  layout->addWidget(m_pTable, 1);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  auto* close = new QPushButton(QStringLiteral("Close"), this);
  close->setObjectName("primaryButton");
  close->setDefault(true);
  connect(close, &QPushButton::clicked, this, &QDialog::accept);
  buttons->addWidget(close);
  layout->addLayout(buttons);
  UpdateHeading();
}

void CDetail::AddOutcome(const QString& strName, int nStatus, const QString& strSavedAs) {
  int row = m_pTable->rowCount();
  m_pTable->insertRow(row);
  auto* name = new QTableWidgetItem(strName);
  name->setToolTip(strName);
  name->setData(Qt::UserRole, Rank(nStatus));
  auto* result = new QTableWidgetItem(SaveResultWord(nStatus));
  QString reason;
  switch (Rank(nStatus)) {
    case 0:
      ++m_nFailed;
      result->setForeground(QColor(0xb0, 0x20, 0x20));
      reason = QString::fromStdString(StatusText(nStatus));
      break;
    case 1:
      ++m_nPartial;
      result->setForeground(QColor(0x9a, 0x5b, 0x00));
      reason = QString::fromStdString(StatusText(nStatus));
      break;
    case 3:
      ++m_nSkipped;
      reason = QString::fromStdString(StatusText(nStatus));
      break;
    default: ++m_nSaved; break;
  }
  auto* why = new QTableWidgetItem(reason);
  why->setToolTip(reason);
  auto* path = new QTableWidgetItem(strSavedAs);
  path->setToolTip(strSavedAs);
  m_pTable->setItem(row, 0, name);
  m_pTable->setItem(row, 1, result);
  m_pTable->setItem(row, 2, why);
  m_pTable->setItem(row, 3, path);
  UpdateHeading();
}

void CDetail::Finish() {
  // Failures first, each group in the order the files were saved.
  std::vector<std::pair<int, int>> order;
  for (int r = 0; r < m_pTable->rowCount(); ++r) order.emplace_back(m_pTable->item(r, 0)->data(Qt::UserRole).toInt(), r);
  std::stable_sort(order.begin(), order.end(),
                   [](const std::pair<int, int>& a, const std::pair<int, int>& b) { return a.first < b.first; });
  std::vector<std::vector<QTableWidgetItem*>> rows;
  for (const auto& o : order) {
    std::vector<QTableWidgetItem*> cells;
    for (int c = 0; c < 4; ++c) cells.push_back(m_pTable->takeItem(o.second, c));
    rows.push_back(cells);
  }
  for (size_t r = 0; r < rows.size(); ++r)
    for (int c = 0; c < 4; ++c) m_pTable->setItem(static_cast<int>(r), c, rows[r][static_cast<size_t>(c)]);
  m_pTable->resizeColumnsToContents();
  int width = 40;
  for (int c = 0; c < 4; ++c) width += m_pTable->columnWidth(c);
  QRect screen = QApplication::primaryScreen() ? QApplication::primaryScreen()->availableGeometry() : QRect(0, 0, 1280, 800);
  int w = std::max(520, std::min(width, screen.width() - 80));
  int h = std::max(300, std::min(120 + m_pTable->rowCount() * m_pTable->verticalHeader()->defaultSectionSize(),
                                 screen.height() - 120));
  resize(w, h);
}

QString CDetail::GetHeadingText() const { return m_pHeading->text(); }

void CDetail::UpdateHeading() {
  m_pHeading->setText(SaveCountsText(static_cast<u64>(m_nSaved), static_cast<u64>(m_nPartial),
                                     static_cast<u64>(m_nFailed), static_cast<u64>(m_nSkipped)));
}

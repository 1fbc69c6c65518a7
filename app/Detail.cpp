#include "app/Detail.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

#include "app/WindowBehaviour.h"

CDetail::CDetail(QWidget* pParent) : QDialog(pParent), m_nSuccess(0), m_nFailed(0) {
  new CWindowBehaviour(this);
  setFont(AppTextFont());
  setStyleSheet(AppStyleSheet());
  setWindowTitle(tr("Recovery Detail"));
  resize(600, 400);

  auto* outer = new QVBoxLayout(this);
  outer->setContentsMargins(0, 0, 0, 0);
  auto* frame = new QWidget(this);
  frame->setObjectName("windowFrame");
  frame->setAttribute(Qt::WA_TransparentForMouseEvents, false);
  outer->addWidget(frame);
  auto* layout = new QVBoxLayout(frame);
  layout->setContentsMargins(14, 10, 14, 12);

  m_pHeading = new QLabel(frame);
  m_pHeading->setObjectName("dialogHeading");
  layout->addWidget(m_pHeading);

  m_pTable = new QTableWidget(0, 2, frame);
  m_pTable->setObjectName("detailTable");
  m_pTable->setHorizontalHeaderLabels({QStringLiteral("Name"), QStringLiteral("Status")});
  m_pTable->setColumnWidth(0, 400);
  m_pTable->setColumnWidth(1, 300);
  m_pTable->horizontalHeader()->setStretchLastSection(true);
  m_pTable->verticalHeader()->hide();
  m_pTable->setSelectionBehavior(QAbstractItemView::SelectRows);
  m_pTable->setSelectionMode(QAbstractItemView::SingleSelection);
  m_pTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
  layout->addWidget(m_pTable, 1);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  auto* close = new QPushButton(QStringLiteral("Close"), frame);
  close->setObjectName("primaryButton");
  connect(close, &QPushButton::clicked, this, &CDetail::btnSlot);
  buttons->addWidget(close);
  layout->addLayout(buttons);

  UpdateHeading();
}

void CDetail::AddTableItem(QString strName, int nFailed) {
  int row;
  auto* status = new QTableWidgetItem;
  if (nFailed != 0) {
    row = 0;
    m_pTable->insertRow(row);
    status->setText(QStringLiteral("Failed"));
    status->setForeground(QColor(255, 0, 0));
    ++m_nFailed;
  } else {
    row = m_pTable->rowCount();
    m_pTable->insertRow(row);
    status->setText(QStringLiteral("Success"));
    ++m_nSuccess;
  }
  m_pTable->setItem(row, 0, new QTableWidgetItem(strName));
  m_pTable->setItem(row, 1, status);
  m_pTable->setRowHeight(row, 22);
  UpdateHeading();
}

QString CDetail::GetHeadingText() const { return m_pHeading->text(); }

void CDetail::UpdateHeading() {
  m_pHeading->setText(QString::asprintf("  Recovery Detail\n  Sucess:%d Failed:%d\n", m_nSuccess, m_nFailed));
}

void CDetail::btnSlot() { close(); }

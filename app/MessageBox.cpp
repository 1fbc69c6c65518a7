#include "app/MessageBox.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/WindowBehaviour.h"

CMessageBox::CMessageBox(QWidget* pParent) : QDialog(pParent), m_nRet(0), m_pText(nullptr) {
  new CWindowBehaviour(this);
  setFont(AppTextFont());
  setStyleSheet(AppStyleSheet());
}

void CMessageBox::InitQuestionDialog(QString strText, bool /*bFlag*/) {
  m_nRet = 0;
  setWindowTitle(QStringLiteral("Question"));
  auto* outer = new QVBoxLayout(this);
  outer->setContentsMargins(0, 0, 0, 0);
  auto* frame = new QWidget(this);
  frame->setObjectName("windowFrame");
  outer->addWidget(frame);
  auto* layout = new QVBoxLayout(frame);
  layout->setContentsMargins(14, 10, 14, 12);

  auto* head = new QHBoxLayout;
  auto* icon = new QLabel(frame);
  icon->setPixmap(QPixmap(QStringLiteral(":/image/question.png")).scaled(28, 28, Qt::KeepAspectRatio,
                                                                          Qt::SmoothTransformation));
  head->addWidget(icon);
  auto* title = new QLabel(QStringLiteral("  Question"), frame);
  title->setObjectName("dialogHeading");
  head->addWidget(title, 1);
  layout->addLayout(head);

  m_pText = new QLabel(strText, frame);
  m_pText->setObjectName("messageText");
  m_pText->setWordWrap(true);
  layout->addWidget(m_pText, 1);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  auto* no = new QPushButton(QStringLiteral("No"), frame);
  no->setObjectName("noButton");
  auto* yes = new QPushButton(QStringLiteral("Yes"), frame);
  yes->setObjectName("yesButton");
  connect(no, &QPushButton::clicked, this, &CMessageBox::btnSlotNO);
  connect(yes, &QPushButton::clicked, this, &CMessageBox::btnSlotOK);
  buttons->addWidget(no);
  buttons->addWidget(yes);
  layout->addLayout(buttons);
  no->setDefault(true);
}

QString CMessageBox::GetText() const { return m_pText ? m_pText->text() : QString(); }

void CMessageBox::btnSlotNO() {
  m_nRet = 0;
  close();
}

void CMessageBox::btnSlotOK() {
  m_nRet = 1;
  close();
}

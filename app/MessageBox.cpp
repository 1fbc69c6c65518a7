#include "app/MessageBox.h"

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/AppStyle.h"

CMessageBox::CMessageBox(QWidget* pParent) : QDialog(pParent), m_nRet(0), m_pText(nullptr) {
  ApplyAppLook(this);
}

void CMessageBox::Build(const QString& strTitle, const QString& strText, const QString& strYes, const QString& strNo,
                        bool bDefaultYes) {
  m_nRet = 0;
  setWindowTitle(strTitle);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(18, 16, 18, 14);
  layout->setSpacing(12);
  auto* row = new QHBoxLayout;
  auto* icon = new QLabel(this);
  icon->setPixmap(QPixmap(QStringLiteral(":/image/question.png")).scaled(32, 32, Qt::KeepAspectRatio,
                                                                          Qt::SmoothTransformation));
  row->addWidget(icon, 0, Qt::AlignTop);
  m_pText = new QLabel(strText, this);
  m_pText->setObjectName("messageText");
  m_pText->setWordWrap(true);
  m_pText->setTextInteractionFlags(Qt::TextSelectableByMouse);
  m_pText->setMinimumWidth(360);
  row->addWidget(m_pText, 1);
  layout->addLayout(row, 1);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  QPushButton* no = nullptr;
  if (!strNo.isNull()) {
    no = new QPushButton(strNo, this);
    no->setObjectName("noButton");
    connect(no, &QPushButton::clicked, this, &CMessageBox::btnSlotNO);
    buttons->addWidget(no);
  }
  auto* yes = new QPushButton(strYes, this);
  yes->setObjectName("yesButton");
  connect(yes, &QPushButton::clicked, this, &CMessageBox::btnSlotOK);
  buttons->addWidget(yes);
  layout->addLayout(buttons);
  QPushButton* def = (bDefaultYes || !no) ? yes : no;
  def->setDefault(true);
  def->setFocus();
}

void CMessageBox::InitQuestionDialog(QString strText, bool bDefaultYes, QString strYes, QString strNo) {
  Build(QStringLiteral("Question"), strText, strYes.isEmpty() ? QStringLiteral("Yes") : strYes,
        strNo.isEmpty() ? QStringLiteral("No") : strNo, bDefaultYes);
}

void CMessageBox::InitNoticeDialog(QString strText, QString strButton) {
  Build(QStringLiteral("Torvane Recovery"), strText, strButton.isEmpty() ? QStringLiteral("OK") : strButton,
        QString(), true);
}

QString CMessageBox::GetText() const { return m_pText ? m_pText->text() : QString(); }

bool CMessageBox::Ask(QWidget* pParent, const QString& objectName, const QString& text, const QString& yes,
                      const QString& no, bool bDefaultYes) {
  CMessageBox box(pParent);
  box.setObjectName(objectName);
  box.InitQuestionDialog(text, bDefaultYes, yes, no);
  box.exec();
  return box.GetMessageBoxRet() == 1;
}

void CMessageBox::Tell(QWidget* pParent, const QString& objectName, const QString& text) {
  CMessageBox box(pParent);
  box.setObjectName(objectName);
  box.InitNoticeDialog(text);
  box.exec();
}

void CMessageBox::btnSlotNO() {
  m_nRet = 0;
  reject();
}

void CMessageBox::btnSlotOK() {
  m_nRet = 1;
  accept();
}

// The yes/no question dialog. Any close other than "Yes" answers no.
#pragma once

#include <QDialog>

class QLabel;

class CMessageBox : public QDialog {
  Q_OBJECT
 public:
  explicit CMessageBox(QWidget* pParent = nullptr);

  void InitQuestionDialog(QString strText, bool bFlag);
  // 1 after "Yes", 0 otherwise.
  int GetMessageBoxRet() const { return m_nRet; }
  QString GetText() const;

 public slots:
  void btnSlotNO();
  void btnSlotOK();

 private:
  int m_nRet;
  QLabel* m_pText;
};

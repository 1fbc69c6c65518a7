// The question and notice dialogs: a sentence or two, and buttons that say
// what they do. Closing the window any other way answers "no".
#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

class CMessageBox : public QDialog {
  Q_OBJECT
 public:
  explicit CMessageBox(QWidget* pParent = nullptr);

  // A question: yes and no buttons with the given words ("Yes"/"No" when
  // empty). No is the default button unless bDefaultYes.
  void InitQuestionDialog(QString strText, bool bDefaultYes, QString strYes = QString(), QString strNo = QString());
  // A notice with one button.
  void InitNoticeDialog(QString strText, QString strButton = QString());
  // 1 after the yes button, 0 otherwise.
  int GetMessageBoxRet() const { return m_nRet; }
  QString GetText() const;

  // Asks and waits: true for yes.
  static bool Ask(QWidget* pParent, const QString& objectName, const QString& text, const QString& yes,
                  const QString& no, bool bDefaultYes = false);
  static void Tell(QWidget* pParent, const QString& objectName, const QString& text);

 public slots:
  void btnSlotNO();
  void btnSlotOK();

 private:
  void Build(const QString& strTitle, const QString& strText, const QString& strYes, const QString& strNo,
             bool bDefaultYes);

  int m_nRet;
  QLabel* m_pText;
};

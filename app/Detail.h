// The recovery result list: one row per saved or failed file, failures on top.
#pragma once

#include <QDialog>

class QLabel;
class QTableWidget;

class CDetail : public QDialog {
  Q_OBJECT
 public:
  explicit CDetail(QWidget* pParent = nullptr);

  // nFailed non-zero: a "Failed" row at the top; else a "Success" row at the bottom.
  void AddTableItem(QString strName, int nFailed);
  int GetSuccessCount() const { return m_nSuccess; }
  int GetFailedCount() const { return m_nFailed; }
  QTableWidget* GetTable() const { return m_pTable; }
  QString GetHeadingText() const;

 public slots:
  void btnSlot();

 private:
  void UpdateHeading();

  QTableWidget* m_pTable;
  QLabel* m_pHeading;
  int m_nSuccess;
  int m_nFailed;
};

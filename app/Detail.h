// What a recovery did, file by file: failures first with their reason, then
// partial saves, then saved files and files already there. Sized to its
// columns.
#pragma once

#include <QDialog>

#include "engine/Types.h"

class QLabel;
class QTableWidget;

class CDetail : public QDialog {
  Q_OBJECT
 public:
  explicit CDetail(QWidget* pParent = nullptr);

  // One file: its name, the status of its save (0, STATUS_PARTIAL_SAVE,
  // STATUS_SKIPPED_SAME or why it failed) and where it went.
  void AddOutcome(const QString& strName, int nStatus, const QString& strSavedAs);
  // Orders the rows, fits the columns and the window to them.
  void Finish();
  int GetSuccessCount() const { return m_nSaved; }
  int GetPartialCount() const { return m_nPartial; }
  int GetFailedCount() const { return m_nFailed; }
  QTableWidget* GetTable() const { return m_pTable; }
  QString GetHeadingText() const;

 private:
  void UpdateHeading();

  QTableWidget* m_pTable;
  QLabel* m_pHeading;
  int m_nSaved;
  int m_nPartial;
  int m_nFailed;
  int m_nSkipped;
};

// "3 saved, 1 partial, 2 failed" (and ", 4 already saved before" when some were).
QString SaveCountsText(u64 nSaved, u64 nPartial, u64 nFailed, u64 nSkipped);
// A result's words: "saved", "saved in part", "failed", "already there".
QString SaveResultWord(int nStatus);

// The behaviour every window of the program shares: the window draws its own
// frame, the left mouse button drags it from anywhere on its surface, and the
// right mouse button closes it through its normal close handling (so a
// progress dialog still asks before cancelling).
#pragma once

#include <QFont>
#include <QObject>
#include <QPoint>

class QWidget;

class CWindowBehaviour : public QObject {
  Q_OBJECT
 public:
  // Installs itself on pWindow (which becomes its parent) and makes the
  // window frameless.
  explicit CWindowBehaviour(QWidget* pWindow);

 protected:
  bool eventFilter(QObject* pWatched, QEvent* pEvent) override;

 private:
  QWidget* m_pWindow;
  QPoint m_dragOffset;
  bool m_bDragging;
};

// "Arial" 11, the texts' font; fontconfig picks the closest face installed.
QFont AppTextFont();
// The style sheet shared by all windows.
QString AppStyleSheet();

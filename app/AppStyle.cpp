#include "app/WindowBehaviour.h"

#include <QMouseEvent>
#include <QWidget>

CWindowBehaviour::CWindowBehaviour(QWidget* pWindow)
    : QObject(pWindow), m_pWindow(pWindow), m_bDragging(false) {
  pWindow->setWindowFlags(pWindow->windowFlags() | Qt::FramelessWindowHint);
  pWindow->installEventFilter(this);
}

bool CWindowBehaviour::eventFilter(QObject* pWatched, QEvent* pEvent) {
  if (pWatched != m_pWindow) return false;
  switch (pEvent->type()) {
    case QEvent::MouseButtonPress: {
      auto* e = static_cast<QMouseEvent*>(pEvent);
      if (e->button() == Qt::LeftButton) {
        m_dragOffset = e->globalPosition().toPoint() - m_pWindow->frameGeometry().topLeft();
        m_bDragging = true;
        return true;
      }
      if (e->button() == Qt::RightButton) {
        m_bDragging = false;
        m_pWindow->close();
        return true;
      }
      break;
    }
    case QEvent::MouseMove: {
      auto* e = static_cast<QMouseEvent*>(pEvent);
      if (m_bDragging && (e->buttons() & Qt::LeftButton)) {
        m_pWindow->move(e->globalPosition().toPoint() - m_dragOffset);
        return true;
      }
      break;
    }
    case QEvent::MouseButtonRelease:
      m_bDragging = false;
      break;
    default:
      break;
  }
  return false;
}

QFont AppTextFont() {
  QFont font(QStringLiteral("Arial"), 11);
  font.setStyleHint(QFont::SansSerif);
  return font;
}

QString AppStyleSheet() {
  return QStringLiteral(R"(
QWidget#windowFrame { background: #f5f7fa; border: 1px solid #b8c4d2; }
QWidget#titleBar { background: qlineargradient(x1:0, y1:0, x2:1, y2:0, stop:0 #17407a, stop:1 #1f6feb); }
QLabel#titleText { color: white; font-size: 15pt; font-weight: 600; }
QLabel#versionLabel { color: #c9dcf7; }
QToolButton#titleButton { color: white; background: transparent; border: none; padding: 4px 8px; font-size: 11pt; }
QToolButton#titleButton:hover { background: rgba(255,255,255,0.18); border-radius: 4px; }
QToolButton#closeButton { color: white; background: transparent; border: none; padding: 4px 10px; font-size: 13pt; }
QToolButton#closeButton:hover { background: #e5484d; border-radius: 4px; }
QLabel#pageHeading { color: #17253d; font-size: 14pt; font-weight: 600; }
QLabel#pageHint { color: #4a5b70; }
QLabel#warningBanner { background: #fff4d6; color: #7a4b00; border: 1px solid #f0c36d; border-radius: 4px; padding: 6px 10px; }
QPushButton { background: #ffffff; border: 1px solid #a9b6c6; border-radius: 5px; padding: 6px 18px; min-width: 84px; color: #17253d; }
QPushButton:hover { border-color: #1f6feb; }
QPushButton:disabled { color: #9aa6b4; background: #eef1f5; border-color: #d3dae3; }
QPushButton#primaryButton { background: #1f6feb; border-color: #1a5fcc; color: white; font-weight: 600; }
QPushButton#primaryButton:hover { background: #2b7bf5; }
QPushButton#primaryButton:disabled { background: #a9c4ef; border-color: #a9c4ef; color: #eef3fb; }
QTreeWidget, QTableWidget, QTextEdit { background: white; border: 1px solid #c6d0dc; border-radius: 4px; }
QHeaderView::section { background: #e9eef4; border: none; border-right: 1px solid #d3dae3; padding: 4px 6px; color: #2c3b50; }
QProgressBar { border: 1px solid #b8c4d2; border-radius: 5px; background: white; height: 20px; text-align: center; }
QProgressBar::chunk { background: #1f6feb; border-radius: 4px; }
QFrame#categoryCard { background: white; border: 1px solid #d3dae3; border-radius: 8px; }
QFrame#previewFrame { background: white; border: 1px solid #c6d0dc; border-radius: 4px; }
QDialog { background: #f5f7fa; }
QLabel#dialogHeading { color: #17253d; font-weight: 600; }
)");
}

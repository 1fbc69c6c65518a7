#include "app/AppStyle.h"

#include <QWidget>

QFont AppTextFont() {
  QFont font(QStringLiteral("DejaVu Sans"), 10);
  font.setStyleHint(QFont::SansSerif);
  return font;
}

QString AppStyleSheet() {
  return QStringLiteral(R"(
QWidget#headerBar { background: qlineargradient(x1:0, y1:0, x2:1, y2:0, stop:0 #17407a, stop:1 #1f6feb); }
QLabel#titleText { color: white; font-size: 14pt; font-weight: 600; }
QLabel#versionLabel { color: #c9dcf7; }
QToolButton#headerButton { color: white; background: transparent; border: 1px solid transparent; border-radius: 4px; padding: 4px 10px; }
QToolButton#headerButton:hover { background: rgba(255,255,255,0.18); }
QToolButton#headerButton:focus { border: 2px solid #ffd166; }
QLabel#pageHeading { color: #17253d; font-size: 13pt; font-weight: 600; }
QLabel#pageHint { color: #4a5b70; }
QLabel#warningBanner { background: #fff4d6; color: #7a4b00; border: 1px solid #f0c36d; border-radius: 4px; padding: 6px 10px; }
QLabel#scanState[tone="error"] { background: #fde8e8; color: #8a1f1f; border: 1px solid #e8a0a0; border-radius: 4px; padding: 6px 10px; }
QLabel#scanState[tone="info"] { background: #e8f1fd; color: #17407a; border: 1px solid #a9c4ef; border-radius: 4px; padding: 6px 10px; }
QPushButton { background: #ffffff; border: 1px solid #a9b6c6; border-radius: 5px; padding: 5px 16px; min-width: 72px; color: #17253d; }
QPushButton:hover { border-color: #1f6feb; }
QPushButton:focus { border: 2px solid #f0a500; }
QPushButton:disabled { color: #9aa6b4; background: #eef1f5; border-color: #d3dae3; }
QPushButton#primaryButton { background: #1f6feb; border-color: #1a5fcc; color: white; font-weight: 600; }
QPushButton#primaryButton:hover { background: #2b7bf5; }
QPushButton#primaryButton:focus { border: 2px solid #f0a500; }
QPushButton#primaryButton:disabled { background: #a9c4ef; border-color: #a9c4ef; color: #eef3fb; }
QCheckBox:focus, QRadioButton:focus { background: #fff1c9; border-radius: 3px; }
QTreeView, QTableView, QPlainTextEdit, QTextBrowser { background: white; border: 1px solid #c6d0dc; border-radius: 4px; }
QTreeView:focus, QTableView:focus, QPlainTextEdit:focus, QTextBrowser:focus, QLineEdit:focus, QComboBox:focus, QSpinBox:focus, QDateEdit:focus { border: 2px solid #f0a500; }
QTableView { selection-background-color: #cfe0fb; selection-color: #17253d; }
QTreeView { selection-background-color: #cfe0fb; selection-color: #17253d; }
QHeaderView::section { background: #e9eef4; border: none; border-right: 1px solid #d3dae3; padding: 4px 6px; color: #2c3b50; }
QProgressBar { border: 1px solid #b8c4d2; border-radius: 5px; background: white; min-height: 20px; text-align: center; }
QProgressBar::chunk { background: #1f6feb; border-radius: 4px; }
QFrame#categoryCard { background: white; border: 1px solid #d3dae3; border-radius: 8px; }
QFrame#previewFrame { background: white; border: 1px solid #c6d0dc; border-radius: 4px; }
QWidget#appRoot, QDialog { background: #f5f7fa; }
QLabel#dialogHeading { color: #17253d; font-weight: 600; font-size: 11pt; }
QLabel#summaryText { color: #17253d; font-size: 11pt; font-weight: 600; }
)");
}

void ApplyAppLook(QWidget* pWindow) {
  pWindow->setFont(AppTextFont());
  pWindow->setStyleSheet(AppStyleSheet());
}

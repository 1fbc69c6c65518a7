// The look every window of the program shares: the text font and one style
// sheet. Windows keep the system's title bar and frame, so moving, resizing
// and maximising behave as everywhere else on the desktop.
#pragma once

#include <QFont>
#include <QString>

class QWidget;

// A sans-serif face at 10 points; fontconfig picks the closest installed.
QFont AppTextFont();
// The style sheet shared by all windows. Focus is always drawn.
QString AppStyleSheet();
// Font and style sheet on a top-level window.
void ApplyAppLook(QWidget* pWindow);

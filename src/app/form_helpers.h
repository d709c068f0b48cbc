// Where start-up puts the centred window. (FileExists, the other small
// procedure of start-up, is in compare/last_modified.h.)
#pragma once

#include <QPoint>
#include <QRect>
#include <QSize>

class QWidget;

namespace tandrel {

// The top-left corner that puts an outer window of `window` size in the
// middle of `screen`; negative against the screen when the window is
// larger, so that it overhangs both sides alike (odd halves round down).
QPoint CenteredPosition(const QRect& screen, const QSize& window);

// Moves `window` (a top-level window) to the middle of the whole primary
// screen, task bar included, by its outer size.
void CenterForm(QWidget& window);

}  // namespace tandrel

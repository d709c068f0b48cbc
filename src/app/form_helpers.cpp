#include "app/form_helpers.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>
#include <cmath>

namespace tandrel {

QPoint CenteredPosition(const QRect& screen, const QSize& window) {
  const auto half = [](int free_space) {
    return static_cast<int>(std::floor(static_cast<double>(free_space) / 2.0));
  };
  return QPoint(screen.left() + half(screen.width() - window.width()),
                screen.top() + half(screen.height() - window.height()));
}

void CenterForm(QWidget& window) {
  const QScreen* screen = QGuiApplication::primaryScreen();
  if (screen == nullptr) return;
  window.move(CenteredPosition(screen->geometry(), window.frameGeometry().size()));
}

}  // namespace tandrel

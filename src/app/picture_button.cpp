#include "app/picture_button.h"

#include <QStyleOptionToolButton>
#include <QStylePainter>

namespace tandrel {
namespace {

constexpr int kPictureSize = 32;
// Two lines of caption under the picture just fit the 73-pixel buttons.
constexpr int kMargin = 2;
constexpr int kPictureToCaption = 1;
constexpr int kCaptionFlags = Qt::AlignHCenter | Qt::AlignTop | Qt::TextWordWrap;

}  // namespace

PictureButton::PictureButton(const QString& caption, const QIcon& picture, QWidget* parent)
    : QToolButton(parent) {
  setText(caption);
  setIcon(picture);
  setIconSize(QSize(kPictureSize, kPictureSize));
  setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
  setCheckable(true);
  setFocusPolicy(Qt::StrongFocus);
  connect(this, &QToolButton::toggled, this, &PictureButton::OnToggled);
}

void PictureButton::OnToggled(bool down) {
  if (!down) return;
  // Turning the button up raises toggled(false), which does nothing.
  setChecked(false);
  repaint();
  if (action_) action_();
}

void PictureButton::paintEvent(QPaintEvent*) {
  QStylePainter painter(this);
  QStyleOptionToolButton option;
  initStyleOption(&option);
  // The style draws the face and the focus frame; picture and caption are
  // laid out here, since a tool button would not wrap its text.
  option.text.clear();
  option.icon = QIcon();
  painter.drawComplexControl(QStyle::CC_ToolButton, option);

  const QRect inner = rect().adjusted(kMargin, kMargin, -kMargin, -kMargin);
  const QRect caption_bounds =
      fontMetrics().boundingRect(QRect(0, 0, inner.width(), inner.height()), kCaptionFlags, text());
  const int block = kPictureSize + kPictureToCaption + caption_bounds.height();
  int top = inner.top() + std::max(0, (inner.height() - block) / 2);
  const int shift = isDown() || isChecked() ? 1 : 0;

  const QIcon::Mode mode = isEnabled() ? QIcon::Normal : QIcon::Disabled;
  const QPixmap picture =
      icon().pixmap(QSize(kPictureSize, kPictureSize), devicePixelRatioF(), mode);
  painter.drawPixmap(QRect(inner.left() + (inner.width() - kPictureSize) / 2 + shift, top + shift,
                           kPictureSize, kPictureSize),
                     picture);
  top += kPictureSize + kPictureToCaption;
  painter.setPen(palette().color(QPalette::ButtonText));
  painter.drawText(
      QRect(inner.left() + shift, top + shift, inner.width(), inner.bottom() - top + 1),
      kCaptionFlags, text());
}

}  // namespace tandrel

#include "app/window_pointer.h"

#include <QEvent>
#include <QMouseEvent>
#include <QWidget>

namespace tandrel {

WindowPointer::WindowPointer(QWidget& window) : window_(window) {
  window_.setCursor(CursorFor(code_));
}

void WindowPointer::Set(Pointer code) {
  if (code == code_) return;
  code_ = code;
  window_.setCursor(CursorFor(code_));
}

void WindowPointer::SetHandImage(std::optional<QCursor> hand) {
  hand_ = std::move(hand);
  window_.setCursor(CursorFor(code_));
}

QCursor WindowPointer::CursorFor(Pointer code) const {
  switch (code) {
    case Pointer::kBusy:
      return QCursor(Qt::WaitCursor);
    case Pointer::kHand:
      return hand_ ? *hand_ : QCursor(Qt::ArrowCursor);
    case Pointer::kDefault:
      break;
  }
  return QCursor(Qt::ArrowCursor);
}

void PointerFeedback::Watch(QWidget* widget, Pointer code, bool inside) {
  WatchOne(widget, code);
  if (!inside) return;
  for (QWidget* child : widget->findChildren<QWidget*>()) WatchOne(child, code);
}

void PointerFeedback::WatchOne(QWidget* widget, Pointer code) {
  codes_.insert(widget, code);
  // Without tracking a widget hears of movements only while a button is held.
  widget->setMouseTracking(true);
  widget->installEventFilter(this);
  connect(widget, &QObject::destroyed, this, [this](QObject* gone) { codes_.remove(gone); });
}

bool PointerFeedback::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() != QEvent::MouseMove) return false;
  const auto found = codes_.constFind(watched);
  if (found == codes_.constEnd()) return false;
  // A movement that a child widget ignored comes on to its parent; the
  // child, watched itself, has already been answered, and the parent (the
  // bare window above all) must not answer it again with its own code.
  const auto* widget = static_cast<QWidget*>(watched);
  const auto* move = static_cast<QMouseEvent*>(event);
  if (widget->childAt(move->position().toPoint()) != nullptr) return false;
  if (pointer_.Code() != Pointer::kBusy) pointer_.Set(*found);
  return false;
}

}  // namespace tandrel

// The window pointer: one code for the whole main window (0 arrow, 11 busy,
// 99 hand), and the hover rule that moves it as the mouse moves over the
// window's controls.
#pragma once

#include <QCursor>
#include <QHash>
#include <QObject>
#include <optional>

#include "platform/window.h"

class QWidget;

namespace tandrel {

// Holds the code and shows it: the cursor is set on the window alone, and
// the controls, which set none of their own, show the window's.
class WindowPointer {
 public:
  // `window` must outlive this object.
  explicit WindowPointer(QWidget& window);

  Pointer Code() const { return code_; }
  void Set(Pointer code);
  // The image of the hand pointer; without one the hand shows as the arrow.
  void SetHandImage(std::optional<QCursor> hand);
  const std::optional<QCursor>& HandImage() const { return hand_; }

 private:
  QCursor CursorFor(Pointer code) const;

  QWidget& window_;
  Pointer code_ = Pointer::kDefault;
  std::optional<QCursor> hand_;
};

// Watches mouse movements over chosen widgets and asks the window pointer
// for the code of the control under the mouse, unless the busy pointer is
// set. Every widget inside a watched control counts as that control.
class PointerFeedback final : public QObject {
  Q_OBJECT

 public:
  explicit PointerFeedback(WindowPointer& pointer, QObject* parent = nullptr)
      : QObject(parent), pointer_(pointer) {}

  // `inside` also watches the widgets that `widget` holds now; pass false
  // for the window itself, whose own controls are watched one by one.
  void Watch(QWidget* widget, Pointer code, bool inside = true);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void WatchOne(QWidget* widget, Pointer code);

  WindowPointer& pointer_;
  QHash<QObject*, Pointer> codes_;
};

}  // namespace tandrel

// A button of the main window: a 32 x 32 picture centred above a caption
// that wraps onto a second line when it is too wide, on a white face. It is
// a two-state toggle used as a push button: a press turns it down, and it is
// turned up again before its action runs, so each press (mouse or space
// bar) runs the action once with the button already drawn up.
#pragma once

#include <QToolButton>
#include <functional>

namespace tandrel {

class PictureButton final : public QToolButton {
  Q_OBJECT

 public:
  PictureButton(const QString& caption, const QIcon& picture, QWidget* parent);

  // The action of a press. It runs after the button is up again.
  void SetAction(std::function<void()> action) { action_ = std::move(action); }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  void OnToggled(bool down);

  std::function<void()> action_;
};

}  // namespace tandrel

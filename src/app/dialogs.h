// The parts of the desktop that the window asks for but does not draw
// itself: message boxes, the folder picker and starting another program.
// The tests script them; QtDialogs is the real one.
#pragma once

#include <memory>
#include <string>
#include <vector>

class QMessageBox;
class QWidget;

namespace tandrel {

class Dialogs {
 public:
  virtual ~Dialogs() = default;
  // A modal box over the main window: the text, an OK button, no icon, the
  // caption "Tandrel". Returns when the user has closed it.
  virtual void ShowMessage(const std::string& text) = 0;
  // A modal folder picker with the given title: an absolute path, or empty
  // text when nothing was picked.
  virtual std::string BrowseForFolder(const std::string& title) = 0;
  // Starts a program without waiting for it; its result is not looked at.
  virtual void StartDetached(const std::string& program, const std::vector<std::string>& arguments,
                             bool minimized) = 0;
};

// The program's message box: the text, an OK button without a picture, no
// icon, the caption "Tandrel", and wide enough for the caption to show.
std::unique_ptr<QMessageBox> MakeMessageBox(QWidget* owner, const std::string& text);

// The dialogs of Qt, owned by `owner` (the main window), which must outlive
// every call.
class QtDialogs final : public Dialogs {
 public:
  void SetOwner(QWidget* owner) { owner_ = owner; }
  void ShowMessage(const std::string& text) override;
  std::string BrowseForFolder(const std::string& title) override;
  void StartDetached(const std::string& program, const std::vector<std::string>& arguments,
                     bool minimized) override;

 private:
  QWidget* owner_ = nullptr;
};

}  // namespace tandrel

// The shell services of a native Windows window: message boxes, the folder
// browser, the window pointer code and detached program starts.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "platform/window.h"

namespace tandrel {

// Initialises COM (single-threaded apartment) on the calling thread for the
// owner's lifetime; the folder browser needs it on the window's thread.
class ComApartment {
 public:
  ComApartment();
  ComApartment(const ComApartment&) = delete;
  ComApartment& operator=(const ComApartment&) = delete;
  ~ComApartment();

 private:
  bool initialised_;
};

class Win32Shell final : public Shell {
 public:
  explicit Win32Shell(HWND owner = nullptr) : owner_(owner) {}
  void SetOwner(HWND owner) { owner_ = owner; }

  // MessageBoxW over the owner: caption "Tandrel", OK, no icon.
  void ShowMessage(const std::string& text) override;
  // The code only; the window shows it when asked for its cursor
  // (WM_SETCURSOR), and at once when the pointer is over the window.
  Pointer WindowPointer() const override { return pointer_; }
  void SetWindowPointer(Pointer pointer) override;
  // SHBrowseForFolderW with BIF_RETURNONLYFSDIRS alone over the owner, the
  // path read with SHGetPathFromIDListW into a MAX_PATH buffer.
  std::string BrowseForFolder(const std::string& title) override;
  // CreateProcessW with the arguments quoted; minimised-with-focus asks for
  // SW_SHOWMINIMIZED. Not waited for; the result is not looked at.
  void StartDetached(const std::string& program, const std::vector<std::string>& arguments,
                     bool minimized) override;

  // The cursor that a pointer code shows: the hand image for kHand when one
  // was loaded, else the arrow; the wait cursor for kBusy.
  HCURSOR CursorFor(Pointer pointer) const;
  // The image for the hand pointer (owned by the caller; null for none).
  void SetHandCursor(HCURSOR cursor) { hand_ = cursor; }

  // For a scripted walk through the window: answers in place of the folder
  // browser and of the message boxes. Never set by the program itself.
  void SetScript(std::function<std::string(const std::string&)> browse,
                 std::function<void(const std::string&)> message) {
    script_browse_ = std::move(browse);
    script_message_ = std::move(message);
  }

 private:
  HWND owner_;
  std::function<std::string(const std::string&)> script_browse_;
  std::function<void(const std::string&)> script_message_;
  Pointer pointer_ = Pointer::kDefault;
  HCURSOR hand_ = nullptr;
};

// The command line of one program start: the program, then each argument in
// double quotes with the quoting rules that CommandLineToArgvW reads back.
std::wstring BuildCommandLine(const std::string& program,
                              const std::vector<std::string>& arguments);

// The folder that holds the running executable, without a trailing
// backslash (GetModuleFileNameW).
std::string ExecutableFolder();

}  // namespace tandrel

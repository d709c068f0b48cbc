// The native window's side of a sync: the run on a thread of its own, the
// main window kept from the user as under a modal dialog while this thread
// goes on answering messages, a progress window once the run has taken a
// while, and the bar on the taskbar button.
#pragma once

// clang-format off
#include <windows.h>
#include <shobjidl.h>
// clang-format on

#include <memory>
#include <string>

#include "compare/compare_run.h"
#include "platform/file_system.h"
#include "platform/win32/win32_shell.h"
#include "platform/window.h"
#include "sync/sync_thread.h"

namespace tandrel {

// The progress bar on a window's taskbar button (ITaskbarList3). Does
// nothing where there is none: no COM on this thread, no taskbar (Wine
// without a desktop shell), or an older system.
class TaskbarProgress {
 public:
  explicit TaskbarProgress(HWND window);

  void Show(int per_mille);
  // The bar in red at its last value, until Clear.
  void ShowFailed();
  void Clear();

 private:
  struct Release {
    void operator()(ITaskbarList3* list) const { list->Release(); }
  };
  HWND window_;
  std::unique_ptr<ITaskbarList3, Release> list_;
};

// Runs one sync. Use once: construct, Run, destroy.
class SyncWindow {
 public:
  // `text_font` and `button_font` are copied: the main window may replace
  // its fonts (a new DPI) while the progress window is up.
  SyncWindow(HWND owner, HFONT text_font, HFONT button_font, Win32Shell& shell,
             TaskbarProgress& taskbar);
  SyncWindow(const SyncWindow&) = delete;
  SyncWindow& operator=(const SyncWindow&) = delete;
  ~SyncWindow();

  // Performs the plan's ticked rows, and returns when the run has finished:
  // the owner enabled again with its focus back, the progress window gone,
  // and, after Cancel, the user told how far the run got. The messages of
  // every window of this thread are dispatched meanwhile; a WM_QUIT stops
  // the run and is posted again once it has finished.
  void Run(PlanList& plan, const CompareRequest& compared, FileSystem& fs);
  // What Cancel does; for a window that goes away during the run.
  void Stop();

 private:
  class TaskQueue;
  class ModalShell;
  class ProgressWindow;

  HWND owner_;
  LOGFONTW text_font_;
  LOGFONTW button_font_;
  Win32Shell& shell_;
  TaskbarProgress& taskbar_;
  std::unique_ptr<TaskQueue> tasks_;
  std::unique_ptr<ModalShell> modal_shell_;
  std::unique_ptr<ProgressWindow> progress_window_;
  SyncThread* thread_ = nullptr;
};

}  // namespace tandrel

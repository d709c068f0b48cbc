// Runs a window's sync on a thread of its own, so that the window's thread
// keeps running its message loop (repaints, a progress window, Cancel)
// while the rows are performed.
//
// What the run does to the plan and says to the user still happens on the
// window's thread and in the run's order: each step is handed over with
// `post`, which must run it there soon after, as a queued call does. A
// message box holds the run until the user has closed it, exactly as when
// the run was on the window's thread. The run reads the plan's rows from
// its own thread, so the window must change no row while it runs: it
// keeps the user away from the main window as a modal dialog does.
#pragma once

#include <functional>
#include <memory>
#include <stop_token>
#include <thread>

#include "compare/compare_run.h"
#include "platform/file_system.h"
#include "platform/window.h"
#include "sync/sync_progress.h"

namespace tandrel {

class SyncThread {
 public:
  using Task = std::function<void()>;
  using Post = std::function<void(Task)>;

  SyncThread(PlanList& plan, Shell& shell, Post post);
  // Waits for the run, which a window does only after `finished` came.
  ~SyncThread();
  SyncThread(const SyncThread&) = delete;
  SyncThread& operator=(const SyncThread&) = delete;

  // Run on the window's thread around every message box of the run:
  // `before` just before the box opens, `after` once it is closed. A window
  // hides its progress window in `before`, so that the box is in front and
  // takes the keyboard; set before Start.
  void AroundMessages(Task before, Task after);

  // Starts the run; `finished` is posted after everything it posted.
  void Start(const CompareRequest& compared, FileSystem& fs, Task finished);
  // Cancel: no further row is put in place; the run ends within a block of
  // the copy under way.
  void Stop() { stop_.request_stop(); }

  const SyncProgress& progress() const { return progress_; }
  bool performed() const { return performed_; }
  // What to tell the user once a stopped run has finished, or empty text
  // when it was not stopped or did every row anyway.
  std::string StoppedText() const;

 private:
  class PostedPlan;
  class PostedShell;

  Post post_;
  Task before_message_;
  Task after_message_;
  std::unique_ptr<PostedPlan> plan_;
  std::unique_ptr<PostedShell> shell_;
  std::stop_source stop_;
  SyncProgress progress_;
  bool performed_ = false;
  std::thread thread_;
};

}  // namespace tandrel

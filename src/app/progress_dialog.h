// The progress window of a long sync, and the guard that keeps the user
// away from the main window while a sync runs.
#pragma once

#include <QDialog>
#include <QTimer>

#include "sync/sync_progress.h"
#include "sync/sync_thread.h"

class QLabel;
class QProgressBar;
class QPushButton;

namespace tandrel {

// Modal over its owner, captioned "Tandrel": rows done of rows ticked, a
// bar by bytes, bytes with rate and time left, the file being copied, and
// Cancel (Escape and closing the window do the same). Refreshes itself
// while it is shown.
class ProgressDialog final : public QDialog {
  Q_OBJECT

 public:
  ProgressDialog(QWidget* owner, SyncThread& sync);

  void Refresh();

 protected:
  // Escape and the close button.
  void reject() override;

 private:
  void Cancel();

  SyncThread& sync_;
  ProgressMeter meter_;
  QTimer timer_;
  QLabel* rows_;
  QProgressBar* bar_;
  QLabel* bytes_;
  QLabel* file_;
  QPushButton* cancel_;
};

// While it lives, clicks, keys and a close meant for `window` or any of
// its controls are dropped, as a modal dialog over it would have them;
// other windows (the progress window, message boxes) take them as usual.
class InputGuard final : public QObject {
 public:
  explicit InputGuard(QWidget* window);
  ~InputGuard() override;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  QWidget* window_;
};

}  // namespace tandrel

#include "cli/status_line.h"

#include <condition_variable>
#include <cstdio>
#include <utility>

#include "platform/system.h"

namespace tandrel::cli {

StatusLine::StatusLine(std::function<std::string()> text, RowWriter* rows,
                       std::chrono::milliseconds interval)
    : text_(std::move(text)), rows_(rows) {
  if (!StandardErrorIsTerminal() || (rows_ != nullptr && !StandardOutputIsTerminal())) return;
  if (rows_ != nullptr) {
    rows_->WriteAround([this](const std::function<void()>& write) {
      std::lock_guard lock(mutex_);
      const std::string line = drawn_;
      Erase();
      write();
      Draw(line);
    });
  }
  thread_ = std::jthread([this, interval](std::stop_token stop) {
    std::mutex sleep;
    std::condition_variable_any woken;
    while (!stop.stop_requested()) {
      std::string line = text_();
      // Narrower than a terminal's usual 80 columns, so that it never wraps.
      constexpr size_t kColumns = 79;
      if (line.size() > kColumns) line.resize(kColumns);
      {
        std::lock_guard lock(mutex_);
        if (line != drawn_) {
          Erase();
          Draw(line);
        }
      }
      std::unique_lock lock(sleep);
      woken.wait_for(lock, stop, interval, [] { return false; });
    }
  });
}

StatusLine::~StatusLine() {
  if (!thread_.joinable()) return;
  thread_.request_stop();
  thread_.join();
  if (rows_ != nullptr) rows_->WriteAround({});
  std::lock_guard lock(mutex_);
  Erase();
}

// Expects the cursor at the start of an empty line.
void StatusLine::Draw(const std::string& line) {
  drawn_ = line;
  if (line.empty()) return;
  (void)WriteText(stderr, line);
  std::fflush(stderr);
}

// Leaves the cursor at the start of the empty line.
void StatusLine::Erase() {
  if (drawn_.empty()) return;
  (void)WriteText(stderr, "\r" + std::string(drawn_.size(), ' ') + "\r");
  std::fflush(stderr);
  drawn_.clear();
}

}  // namespace tandrel::cli

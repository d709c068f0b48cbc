// The one line of status that tandrel-cli keeps on stderr while a person
// watches long work: the walk's counts, then the sync's progress.
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "cli/cli_common.h"
#include "sync/sync_progress.h"

namespace tandrel::cli {

// Redrawn in place on stderr from a thread of its own, every `interval`,
// with what `text` says then (nothing while it says nothing). Only a person
// sees it: it is drawn when stderr is a terminal and, for a line beside the
// rows of `rows`, when stdout is one too (rows sent elsewhere are read by a
// program, and nobody watches). Every write of `rows`, to stdout or beside
// it to stderr, is made with the line taken away meanwhile; the line is
// taken away for good when destroyed.
class StatusLine {
 public:
  StatusLine(std::function<std::string()> text, RowWriter* rows = nullptr,
             std::chrono::milliseconds interval = kProgressInterval);
  StatusLine(const StatusLine&) = delete;
  StatusLine& operator=(const StatusLine&) = delete;
  ~StatusLine();
  bool shown() const { return thread_.joinable(); }

 private:
  // Both with `mutex_` held.
  void Draw(const std::string& line);
  void Erase();

  std::function<std::string()> text_;
  RowWriter* rows_;
  std::mutex mutex_;
  std::string drawn_;
  std::jthread thread_;
};

}  // namespace tandrel::cli

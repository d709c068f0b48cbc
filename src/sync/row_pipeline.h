// The rows on their way: each dispatched row's copy is written on a thread
// of the pool, a few rows ahead of the one being put in place (one per
// thread, so that the round trips of slow storage overlap), and the rows
// are taken off the front in row order once written. Whatever was written
// ahead for rows that will not be put in place is removed.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/file_system.h"
#include "platform/io_pool.h"
#include "sync/sync_job.h"
#include "sync/sync_report.h"

namespace tandrel {

class RowPipeline {
 public:
  using Prepare = std::function<std::optional<std::string>(Job&)>;

  RowPipeline(FileSystem& fs, IoPool& pool, TaskCount& tasks, SyncReport& report, Prepare prepare)
      : fs_(fs),
        pool_(pool),
        tasks_(tasks),
        report_(report),
        prepare_(std::move(prepare)),
        batch_rows_(BatchRows()) {}

  // Starts writing the row's copy on the pool, then waits until no more
  // rows are being written than the pool has threads (one after the disk
  // filled up).
  void Dispatch(std::unique_ptr<Job> job);

  size_t size() const { return queue_.size(); }
  bool empty() const { return queue_.empty(); }
  const std::deque<std::unique_ptr<Job>>& queued() const { return queue_; }
  // How many queued rows are still being written.
  size_t InFlight();
  // How many queued rows from the front are written: all of them, unless
  // that takes over a second; then as many as are, once one is.
  size_t ReadyAhead();

  // The first `count` queued rows, once each is written.
  Batch Take(size_t count);

  // Removes the copies of `jobs`, side by side: after a stop, on slow
  // storage, one by one they would hold the run's end for long.
  template <typename Jobs>
  void DiscardAll(Jobs& jobs);
  void DiscardQueued() { DiscardAll(queue_); }
  // Removes a copy that will not be put in place; one that cannot be
  // removed now is tried again by RemoveLeftBehind.
  void Discard(Job& job);
  // Lets go of what is queued, after its copies are removed: from now on
  // one row at a time.
  void Restart();
  // The copies that could not be removed when they were let go of: a share
  // that met an error may refuse every request for a few seconds. They are
  // tried again over about five seconds; what still stays is named.
  void RemoveLeftBehind();

  bool one_at_a_time() const { return one_at_a_time_; }
  // The rows written are worth committing: a batch's worth of rows or
  // bytes (fewer rows in folders with short names), or any row once the
  // run goes one at a time.
  bool BatchDue();

 private:
  size_t InFlightLocked() const;
  static size_t BatchRows();

  FileSystem& fs_;
  IoPool& pool_;
  TaskCount& tasks_;
  SyncReport& report_;
  const Prepare prepare_;
  // Guards what the threads of the pool report: the rows' states.
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::unique_ptr<Job>> queue_;  // dispatched, not yet taken, in row order
  std::int64_t ready_bytes_ = 0;            // of the queued rows written and not yet taken
  size_t ready_among_short_names_ = 0;      // of those rows, written into folders with short names
  bool one_at_a_time_ = false;
  const size_t batch_rows_;
  struct Unremoved {
    std::shared_ptr<const Folder> folder;
    std::string name;
    std::string folder_text;
    bool remote = false;
  };
  std::vector<Unremoved> unremoved_;
};

}  // namespace tandrel

// Committing a batch of written rows, in named phases called in order:
// journal the intents, flush the copies, keep what is replaced, put in
// place, look the names up, mend times, flush the kept files' folders and
// the folders renamed into, journal the outcomes. One flush per batch instead of one per file;
// a row is done only once every phase that concerns it has held, so that it
// would survive a power cut. Without keep-going nothing after the first
// failure is put in place.
#pragma once

#include <condition_variable>
#include <mutex>
#include <optional>
#include <stop_token>
#include <vector>

#include "platform/file_system.h"
#include "platform/io_pool.h"
#include "sync/compared_trees.h"
#include "sync/put_in_place.h"
#include "sync/run_keeping.h"
#include "sync/sync_job.h"
#include "sync/sync_report.h"

namespace tandrel {

// What every batch of a run is committed with.
struct CommitSteps {
  FileSystem& fs;
  ComparedTrees& trees;
  RunKeeping& keeping;
  PutInPlace& placing;
  SyncReport& report;
  IoPool& pool;
  bool keep_going;
  std::stop_token stop;
};

class BatchCommit {
 public:
  BatchCommit(const CommitSteps& steps, Batch& batch)
      : s_(steps), batch_(batch), end_(batch.size()) {}

  // Runs the phases. Afterwards the rows before end() that have no failure
  // may be marked done (with keep-going; without it, only those before the
  // first failure).
  void Run();

  size_t end() const { return end_; }
  // Stopped before every row was put in place: what was, is finished.
  bool stopped() const { return stopped_; }

 private:
  // Without keep-going nothing after the row at `i` is put in place.
  void StopAfter(size_t i);
  void StopAfterFailures();

  void JournalIntents();
  void FlushCopies();
  void KeepReplaced();
  // Waits until what the row at `i` replaces is kept, where that is done
  // on the pool.
  void WaitForAside(size_t i);
  void PutAllInPlace();
  void MendTimes();
  void FlushKept();
  void FlushFolders();
  void JournalOutcomes();

  const CommitSteps& s_;
  Batch& batch_;
  size_t end_;
  bool stopped_ = false;
  // The rows whose targets are still being kept on the pool.
  TaskCount asides_;
  std::mutex aside_mutex_;
  std::condition_variable aside_done_;
  std::vector<bool> aside_pending_;
};

}  // namespace tandrel

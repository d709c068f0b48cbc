// Putting a prepared copy in place: what stands at the target is looked at
// once more right before, moved aside into the run's record where it is
// kept, and the copy renamed into its place; then, on a share, its name is
// looked for in the folder, since a share may accept a name it does not
// keep.
#pragma once

#include <optional>
#include <stop_token>
#include <string>

#include "platform/file_system.h"
#include "platform/io_pool.h"
#include "sync/compared_trees.h"
#include "sync/run_keeping.h"
#include "sync/sync_job.h"
#include "sync/sync_report.h"
#include "sync/target_ledger.h"

namespace tandrel {

class PutInPlace {
 public:
  PutInPlace(FileSystem& fs, ComparedTrees& trees, RunKeeping& keeping, TargetLedger& ledger,
             SyncReport& report, IoPool& pool, TaskCount& tasks, std::stop_token stop)
      : fs_(fs),
        trees_(trees),
        keeping_(keeping),
        ledger_(ledger),
        report_(report),
        pool_(pool),
        tasks_(tasks),
        stop_(std::move(stop)) {}

  // Moves aside the file the row replaces, right after a last look that it
  // is still what stood there when the copy began. Where it cannot be moved
  // in one step (a disk mounted inside the tree, a driver without the
  // rename) it stays, to be replaced as without keeping. May run on the
  // pool, for rows of one batch side by side.
  std::optional<std::string> MoveAside(Job& job);
  // Renames the row's copy into place after checking, as late as possible,
  // that what stands there is what the row may replace.
  std::optional<std::string> Put(Job& job);
  // Puts back what was moved aside for a row that was then not put in place.
  void PutBack(Job& job);
  // Looks the names of the batch's copies on shares up (see the .cpp).
  void CheckNamesKept(const Batch& batch, size_t end);
  // Sets again the times a driver changed on the rename.
  void MendTimes(Job& job);
  // A later row of the run writes the row's target too.
  bool Repeated(const Job& job) const { return ledger_.Repeated(job.key); }

 private:
  std::optional<std::string> CheckReplaced(const Job& job, const TargetLedger::Written* written);
  std::string WhyNotReplaced(const Job& job, const std::error_code& ec);
  std::optional<std::string> CaseVariantThere(const Job& job);
  void CheckNamesIn(const std::vector<Job*>& jobs);
  bool RemoveNotKept(const Job& job);

  FileSystem& fs_;
  ComparedTrees& trees_;
  RunKeeping& keeping_;
  TargetLedger& ledger_;
  SyncReport& report_;
  IoPool& pool_;
  TaskCount& tasks_;
  const std::stop_token stop_;
};

// Why a row was not done: a file whose name differs from its target's
// only in letter case is there.
std::string CaseTaken(std::string_view there);

}  // namespace tandrel

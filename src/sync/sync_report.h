// What a sync run tells: rows marked "Done" once they would survive a power
// cut, one message per failed row, and after the run the lists of what the
// user should know of (leftovers removed, times not kept, files replaced
// without keeping, kept runs removed for room, rows passed over,
// temporaries that stayed).
#pragma once

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/window.h"
#include "sync/sync_job.h"
#include "sync/sync_progress.h"

namespace tandrel {

class SyncReport {
 public:
  SyncReport(PlanList& plan, Shell& shell, SyncProgress* progress)
      : plan_(plan), shell_(shell), progress_(progress) {}

  // The rows of `batch` before `end` that have no failure are performed;
  // without `keep_going` only those before the first failure, even where
  // the others were placed (the folder flush that failed may be theirs).
  // The first row that failed, if any.
  const Job* Outcomes(const Batch& batch, size_t end, bool keep_going);
  // One message for each row before `end` that failed, naming Source,
  // Destination and why.
  void Failures(const Batch& batch, size_t end);

  // The lists, each guarded: steps on the pool add to them.
  void LeftoverRemoved(std::string path) { Add(&leftovers_, std::move(path)); }
  void RemovedForRoom(std::string path) { Add(&removed_for_room_, std::move(path)); }
  void LeftBehind(std::string path) { Add(&left_behind_, std::move(path)); }

  // After the run: one message per list that is not empty.
  void TellAfterwards();

 private:
  // A row that would now survive a power cut: "Done", or named after the
  // run when it was passed over for a newer file.
  void Performed(const Job& job);
  void Add(std::vector<std::string>* list, std::string path);
  void Tell(std::string_view heading, const std::vector<std::string>& paths);

  PlanList& plan_;
  Shell& shell_;
  SyncProgress* const progress_;
  std::mutex mutex_;
  std::vector<std::string> leftovers_;
  std::vector<std::string> times_not_kept_;
  std::vector<std::string> not_kept_;
  std::vector<std::string> removed_for_room_;
  std::vector<std::string> superseded_;
  std::vector<std::string> left_behind_;
};

}  // namespace tandrel

#include "sync/sync_report.h"

#include "compare/plan.h"
#include "sync/sync_run.h"

namespace tandrel {
namespace {

std::string FailureMessage(const std::string& source, const std::string& target,
                           std::string_view reason) {
  std::string text = "Could not copy\n\n";
  text += source;
  text += "\n\nto\n\n";
  text += target;
  text += "\n\n";
  text += reason;
  return text;
}

}  // namespace

void SyncReport::Performed(const Job& job) {
  // Passed over: this run already put a newer file at its target.
  if (job.state == RowState::kSuperseded) {
    Add(&superseded_, job.row.source + "\n    (" + job.target + ")");
    return;
  }
  plan_.SetAction(job.position, std::string(kDoneAction));
  if (!job.not_kept.empty()) Add(&not_kept_, job.target + " (" + job.not_kept + ")");
  if (progress_ != nullptr) progress_->rows_done.fetch_add(1);
  if (!job.time_kept) Add(&times_not_kept_, job.target);
}

const Job* SyncReport::Outcomes(const Batch& batch, size_t end, bool keep_going) {
  const Job* failed = nullptr;
  for (size_t i = 0; i < end; ++i) {
    const Job& job = *batch[i];
    if (job.failure && failed == nullptr) failed = &job;
    if (!job.failure && (keep_going || failed == nullptr)) Performed(job);
  }
  return failed;
}

void SyncReport::Failures(const Batch& batch, size_t end) {
  for (size_t i = 0; i < end; ++i) {
    const Job& job = *batch[i];
    if (job.failure) shell_.ShowMessage(FailureMessage(job.row.source, job.target, *job.failure));
  }
}

void SyncReport::TellAfterwards() {
  Tell(kLeftoversRemoved, leftovers_);
  Tell(kTimesNotKept, times_not_kept_);
  Tell(kNotKept, not_kept_);
  Tell(kRemovedForRoom, removed_for_room_);
  Tell(kSuperseded, superseded_);
  Tell(kTemporariesLeft, left_behind_);
}

void SyncReport::Add(std::vector<std::string>* list, std::string path) {
  std::lock_guard lock(mutex_);
  list->push_back(std::move(path));
}

void SyncReport::Tell(std::string_view heading, const std::vector<std::string>& paths) {
  if (paths.empty()) return;
  std::string text(heading);
  text += "\n";
  for (const std::string& path : paths) text += "\n" + path;
  shell_.ShowMessage(text);
}

}  // namespace tandrel

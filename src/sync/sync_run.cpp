// The sync run orders its steps, each a file of its own: plan_survey (the
// rows to perform), compared_trees (the two folders), target_ledger
// (repeated targets), prepare_copy (the copy into a temporary), row_pipeline
// (dispatch, writing ahead), batch_commit and put_in_place (a batch into
// place), run_keeping (the run's records) and sync_report (what is told).
#include "sync/sync_run.h"

#include <memory>
#include <thread>
#include <utility>

#include "sync/batch_commit.h"
#include "sync/clock.h"
#include "sync/compared_trees.h"
#include "sync/plan_survey.h"
#include "sync/prepare_copy.h"
#include "sync/put_in_place.h"
#include "sync/recovery.h"
#include "sync/row_pipeline.h"
#include "sync/run_keeping.h"
#include "sync/sync_report.h"
#include "sync/target_ledger.h"

namespace tandrel {
namespace {

class Run {
 public:
  Run(PlanList& plan, const CompareRequest& compared, Shell& shell, FileSystem& fs,
      const SyncOptions& options)
      : plan_(plan),
        shell_(shell),
        options_(options),
        trees_(fs, compared),
        pool_(options.io_threads == IoPool::kFitStorage ? IoPool::ThreadsFor(trees_.AnyRemote())
                                                        : options.io_threads),
        report_(plan, shell, options.progress),
        keeping_(fs, trees_, options.keep_days, UnixSecondsNow(), names_.Prefix()),
        prepare_(fs, trees_, keeping_, names_, watch_, options.progress, report_),
        placing_(fs, trees_, keeping_, ledger_, report_, pool_, tasks_, options.stop),
        pipeline_(fs, pool_, tasks_, report_, [this](Job& job) { return prepare_(job); }),
        steps_{fs, trees_, keeping_, placing_, report_, pool_, options.keep_going, options.stop},
        fs_(fs) {}

  // Whatever still runs on the pool is waited for first, also when the run
  // ends by an exception.
  ~Run() { tasks_.Wait(); }

  // Performs the rows; false when a row failed and the run stopped there.
  bool PerformAll() {
    // A run cut short is settled before anything else; if that put files
    // back, the plan was made of trees as the crash left them.
    const Recovery recovery = RecoverCutShort(fs_, trees_);
    for (const std::string& line : RecoveryLines(recovery)) shell_.ShowMessage(line);
    if (recovery.changed()) {
      shell_.ShowMessage(std::string(kCompareAgain));
      return false;
    }
    const PlanSurvey survey =
        SurveyPlan(plan_, fs_, trees_, ledger_, options_.progress, options_.stop, &sizer_);
    keeping_.Start(survey.receives, report_);
    bool performed = false;
    for (int from = 1;;) {
      performed = DispatchFrom(from);
      if (performed || retry_from_ == 0) break;
      // The disk filled up while copies were written ahead of the row that
      // failed: they are let go of, and the rest goes one row at a time, as
      // a run without them would have gone.
      from = std::exchange(retry_from_, 0);
      pipeline_.Restart();
      ledger_.ClearPending();
    }
    // Whatever is still being prepared after a failure is let go of.
    tasks_.Wait();
    pipeline_.DiscardQueued();
    pipeline_.RemoveLeftBehind();
    keeping_.End();
    // Counting the sizes takes less than copying them, so this rarely waits.
    if (sizer_.joinable()) sizer_.join();
    return performed && !any_failed_ && !stopped_;
  }

  void TellAfterwards() { report_.TellAfterwards(); }

 private:
  bool DispatchFrom(int from) {
    const int count = plan_.Count();
    for (int position = from; position <= count; ++position) {
      if (options_.stop.stop_requested()) {
        stopped_ = true;
        return false;
      }
      PlanRow row = plan_.Row(position);
      if (!row.checked) continue;
      if (!IsCopy(row) && row.action.find("overwrite") == std::string::npos) {
        // The rows before it are done before the message shows.
        if (!Commit(pipeline_.size())) return false;
        shell_.ShowMessage(kContactMe);
        continue;
      }
      // A row that reads what an earlier row is about to write waits for it.
      if (ledger_.Pending(trees_.KeyOf(row.source)) && !Commit(pipeline_.size())) return false;
      std::unique_ptr<Job> job = RowToPerform(position, std::move(row), trees_, ledger_);
      ledger_.AddPending(job->key);
      pipeline_.Dispatch(std::move(job));
      if (pipeline_.BatchDue()) {
        if (!Commit(pipeline_.size() - pipeline_.InFlight())) return false;
      }
    }
    // The last rows: those written go in place while a long copy behind
    // them is still being written, so that the rows done keep up with it.
    while (!pipeline_.empty()) {
      if (!Commit(pipeline_.ReadyAhead())) return false;
    }
    return true;
  }

  // Puts the first `count` queued rows in place in row order and marks them
  // "Done" once they would survive a power cut. False when one of them
  // failed and the run stops there; with keep-going every row that can be
  // is put in place, and each failure is told.
  bool Commit(size_t count) {
    if (count == 0) return true;
    Batch batch = pipeline_.Take(count);
    ledger_.ClearPending();
    for (const auto& job : pipeline_.queued()) ledger_.AddPending(job->key);
    // Stopped while the batch was written (its copies may have been cut
    // short): none of it is put in place, and nothing is said of it.
    if (options_.stop.stop_requested()) {
      stopped_ = true;
      pipeline_.DiscardAll(batch);
      return false;
    }
    BatchCommit commit(steps_, batch);
    commit.Run();
    const Job* failed = report_.Outcomes(batch, commit.end(), options_.keep_going);
    for (auto& job : batch) pipeline_.Discard(*job);
    if (commit.stopped()) {
      stopped_ = true;
      return false;
    }
    if (failed == nullptr) return true;
    // Copies written ahead, side by side or waiting for their batch, may
    // have taken the row's space: they are let go of and the rows go on one
    // at a time, as a run without them would, whatever the threads; once
    // more one at a time, the oldest files kept in that tree make room.
    if (!options_.keep_going && failed->out_of_space && !failed->placed() &&
        (!pipeline_.one_at_a_time() || keeping_.MakeRoom(failed->target, report_))) {
      retry_from_ = failed->position;
      return false;
    }
    any_failed_ = true;
    report_.Failures(batch, commit.end());
    return options_.keep_going;
  }

  PlanList& plan_;
  Shell& shell_;
  const SyncOptions& options_;
  ComparedTrees trees_;
  IoPool pool_;
  TaskCount tasks_;
  TempNames names_;
  // What every copy reports to, and is stopped by.
  const CopyWatch watch_{options_.progress != nullptr ? &options_.progress->bytes_copied : nullptr,
                         options_.stop};
  TargetLedger ledger_;
  SyncReport report_;
  RunKeeping keeping_;
  PrepareCopy prepare_;
  PutInPlace placing_;
  RowPipeline pipeline_;
  const CommitSteps steps_;
  FileSystem& fs_;
  bool stopped_ = false;
  bool any_failed_ = false;
  // Set when a row ran out of space: the position to go on from, alone.
  int retry_from_ = 0;
  // Last, so that it is stopped and waited for before anything it reads goes.
  std::jthread sizer_;
};

}  // namespace

void CheckAll(PlanList& plan) { plan.SetAllChecked(true); }

void UncheckAll(PlanList& plan) { plan.SetAllChecked(false); }

bool SyncRun(PlanList& plan, const CompareRequest& compared, Shell& shell, FileSystem& fs,
             const SyncOptions& options) {
  Run run(plan, compared, shell, fs, options);
  const bool performed = run.PerformAll();
  if (performed) {
    shell.ShowMessage(kSyncDone);
    plan.Clear();
  }
  run.TellAfterwards();
  return performed;
}

bool SyncRun(PlanList& plan, const CompareRequest& compared, Shell& shell, FileSystem& fs,
             int io_threads) {
  SyncOptions options;
  options.io_threads = io_threads;
  return SyncRun(plan, compared, shell, fs, options);
}

}  // namespace tandrel

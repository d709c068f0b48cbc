// Reading the plan for the run: which rows are performed and where each
// writes, looked at once before the first row (to count the rows and their
// bytes for the progress, find the targets written more than once, and the
// trees written into) and then row by row as each is dispatched.
#pragma once

#include <memory>
#include <stop_token>
#include <string>
#include <thread>

#include "platform/file_system.h"
#include "platform/window.h"
#include "sync/compared_trees.h"
#include "sync/sync_job.h"
#include "sync/sync_progress.h"
#include "sync/target_ledger.h"

namespace tandrel {

// "copied" is looked for first: an Action holding both words is a copy.
bool IsCopy(const PlanRow& row);

// The ticked row at `position` as a row to perform; its target is written
// by this run before it when an earlier row writes it too.
std::unique_ptr<Job> RowToPerform(int position, PlanRow row, ComparedTrees& trees,
                                  TargetLedger& ledger);

struct PlanSurvey {
  bool receives[2] = {false, false};  // a ticked row writes into the tree
};

// Counts the ticked rows into `progress` (if any) and starts adding up
// their sizes into it on `sizer`, a thread of its own beside the run, and
// tells the ledger the targets written more than once.
PlanSurvey SurveyPlan(const PlanList& plan, FileSystem& fs, ComparedTrees& trees,
                      TargetLedger& ledger, SyncProgress* progress, std::stop_token stop,
                      std::jthread* sizer);

}  // namespace tandrel

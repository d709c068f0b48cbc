#include "sync/plan_survey.h"

#include <optional>

#include "compare/file_name.h"
#include "platform/path_text.h"

namespace tandrel {
namespace {

// Where a copy or overwrite row puts its file: into the Destination folder
// under the Source's name, or at the Destination itself.
std::string TargetOf(const PlanRow& row, bool copy) {
  std::string target = row.destination;
  if (copy) target += FileNamePart(row.source);
  return target;
}

// Adds up the sizes of `sources` (paths, each followed by a NUL): only the
// progress waits for them, and a stopped run stops counting too.
void CountBytes(FileSystem& fs, const std::string& sources, SyncProgress& progress,
                const std::stop_token& own, const std::stop_token& run) {
  for (size_t at = 0; at < sources.size();) {
    if (own.stop_requested() || run.stop_requested()) return;
    const size_t end = sources.find('\0', at);
    FileInfo info;
    if (!fs.Stat(sources.substr(at, end - at), FollowLinks::kYes, &info)) {
      progress.bytes_total.fetch_add(static_cast<std::int64_t>(info.stamp.size));
    }
    at = end + 1;
  }
  progress.bytes_counted = true;
}

}  // namespace

bool IsCopy(const PlanRow& row) { return row.action.find("copied") != std::string::npos; }

std::unique_ptr<Job> RowToPerform(int position, PlanRow row, ComparedTrees& trees,
                                  TargetLedger& ledger) {
  auto job = std::make_unique<Job>();
  job->position = position;
  job->overwrite = !IsCopy(row);
  job->row = std::move(row);
  job->target = TargetOf(job->row, !job->overwrite);
  job->target_name = FileNamePart(job->target);
  job->target_folder = FolderPart(job->target);
  job->key = trees.KeyOf(job->target);
  job->target_is_ours = ledger.Ours(job->key);
  return job;
}

PlanSurvey SurveyPlan(const PlanList& plan, FileSystem& fs, ComparedTrees& trees,
                      TargetLedger& ledger, SyncProgress* progress, std::stop_token stop,
                      std::jthread* sizer) {
  PlanSurvey survey;
  std::string sources;  // each followed by a NUL
  ledger.FindRepeated(plan.Count(), [&](int position, bool first) {
    const PlanRow row = plan.Row(position);
    if (!row.checked) return std::optional<std::string>();
    const std::string target = TargetOf(row, IsCopy(row));
    if (first) {
      if (const ComparedTrees::Tree* tree = trees.TreeOf(target)) {
        survey.receives[tree == &trees.tree(0) ? 0 : 1] = true;
      }
      if (progress != nullptr) {
        progress->rows_total.fetch_add(1);
        sources.append(row.source).push_back('\0');
      }
    }
    return std::optional<std::string>(trees.KeyOf(target));
  });
  if (progress != nullptr) {
    *sizer =
        std::jthread([&fs, sources = std::move(sources), progress, stop = std::move(stop)](
                         std::stop_token own) { CountBytes(fs, sources, *progress, own, stop); });
  }
  return survey;
}

}  // namespace tandrel

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "cli/cli_common.h"
#include "cli/commands.h"
#include "cli/status_line.h"
#include "compare/plan.h"
#include "compare/plan_store.h"
#include "sync/sync_progress.h"
#include "sync/sync_run.h"

namespace tandrel::cli {
namespace {

// The plan held as the compact rows the compare made (in a PlanStore, as
// the windows hold theirs); a row's texts are made only when the run reads
// it. Each row the run performs is printed as it is marked "Done", so the
// output is the list of what was done, in order.
class ConsolePlanList final : public PlanList {
 public:
  ConsolePlanList(RowWriter& out, Plan plan)
      : out_(out), plan_(std::make_shared<const Plan>(std::move(plan))) {
    store_.Append(plan_);
    store_.SetAllChecked(true);
  }

  void Clear() override {
    store_.Clear();
    plan_.reset();
  }
  // Only the compare's own rows are ever held here.
  void Append(std::vector<PlanRow>) override {
    throw std::logic_error("rows are only ever those of the compare");
  }
  int Count() const override { return static_cast<int>(store_.size()); }
  PlanRow Row(int position) const override { return store_.Row(Index(position)); }
  void SetChecked(int position, bool checked) override {
    store_.SetChecked(Index(position), checked);
  }
  void SetAllChecked(bool checked) override { store_.SetAllChecked(checked); }
  void SetAction(int position, const std::string& action) override {
    if (action != kDoneAction) return;
    const size_t i = Index(position);
    store_.SetAction(i, action);
    out_.Write(*plan_, i, kDoneAction);
    ++done_;
  }
  size_t done() const { return done_; }

 private:
  size_t Index(int position) const {
    if (position < 1 || static_cast<size_t>(position) > store_.size()) {
      throw std::out_of_range("no such row");
    }
    return static_cast<size_t>(position - 1);
  }

  RowWriter& out_;
  std::shared_ptr<const Plan> plan_;
  PlanStore store_;
  size_t done_ = 0;
};

// The run's closing "Done." goes to stdout after the rows; every other
// message (a failure, "contact me", what the run noticed) goes to stderr.
class ConsoleShell final : public Shell {
 public:
  explicit ConsoleShell(RowWriter& out) : out_(out) {}

  void ShowMessage(const std::string& text) override {
    if (text == kSyncDone) {
      out_.WriteLine(text);
      return;
    }
    out_.WriteBeside([&] { Say(text); });
  }
  Pointer WindowPointer() const override { return Pointer::kDefault; }
  void SetWindowPointer(Pointer) override {}
  std::string BrowseForFolder(const std::string&) override { return {}; }
  void StartDetached(const std::string&, const std::vector<std::string>&, bool) override {}

 private:
  RowWriter& out_;
};

}  // namespace

int SyncCommand(FileSystem& fs, const FolderArguments& folders, std::stop_token stop) {
  std::optional<BuildResult> result = BuildPlanForCli(fs, folders, stop);
  if (!result) {
    const int interrupted = InterruptedExit("the compare was stopped; nothing was copied.");
    return interrupted != 0 ? interrupted : kExitUsage;
  }
  RowWriter out(folders.nul_terminated);
  ConsolePlanList plan(out, std::move(result->plan));
  result.reset();  // the plan holds all the run needs
  ConsoleShell shell(out);
  SyncOptions options;
  options.io_threads = folders.io_threads;
  options.keep_going = folders.keep_going;
  options.keep_days = folders.keep_days;
  options.stop = stop;
  const auto rows = static_cast<std::int64_t>(plan.Count());
  SyncProgress progress;
  bool performed = false;
  {
    ProgressMeter meter;
    const StatusLine line(
        [&] {
          const ProgressView view = meter.Read(progress);
          return view.rows + ", " + view.bytes;
        },
        &out);
    // Nobody watches a run whose output goes elsewhere: it counts nothing.
    if (line.shown()) options.progress = &progress;
    performed = SyncRun(plan, CompareRequest{folders.folder1, folders.folder2}, shell, fs, options);
  }
  if (!performed && stop.stop_requested()) {
    out.Close(kExitOk);
    const auto done = static_cast<std::int64_t>(plan.done());
    return InterruptedExit(WithThousands(done) + " rows done, " + WithThousands(rows - done) +
                           " not performed.");
  }
  // Rows put in place stay there when their lines could not be written; the
  // lost output only makes the exit code 1.
  return out.Close(performed ? kExitOk : kExitFailed);
}

}  // namespace tandrel::cli

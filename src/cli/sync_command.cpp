#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "cli/cli_common.h"
#include "cli/commands.h"
#include "compare/plan.h"
#include "sync/sync_run.h"

namespace tandrel::cli {
namespace {

// The plan held as the compact rows the compare made, with a tick and a
// "Done" mark a row; a row's texts are made only when the run reads it.
// Each row the run performs is printed as it is marked "Done", so the
// output is the list of what was done, in order.
class ConsolePlanList final : public PlanList {
 public:
  ConsolePlanList(RowWriter& out, Plan plan)
      : out_(out), plan_(std::move(plan)), state_(plan_.size(), kChecked) {}

  void Clear() override {
    plan_ = Plan();
    state_.clear();
  }
  // Only the compare's own rows are ever held here.
  void Append(std::vector<PlanRow>) override {
    throw std::logic_error("rows are only ever those of the compare");
  }
  int Count() const override { return static_cast<int>(state_.size()); }
  PlanRow Row(int position) const override {
    const size_t i = Index(position);
    const bool done = (state_[i] & kDone) != 0;
    return {plan_.Source(i), done ? std::string(kDoneAction) : std::string(plan_.Action(i)),
            plan_.Destination(i), (state_[i] & kChecked) != 0};
  }
  void SetChecked(int position, bool checked) override {
    std::uint8_t& state = state_[Index(position)];
    state = checked ? (state | kChecked) : (state & ~kChecked);
  }
  void SetAllChecked(bool checked) override {
    for (int position = 1; position <= Count(); ++position) SetChecked(position, checked);
  }
  void SetAction(int position, const std::string& action) override {
    if (action != kDoneAction) return;
    const size_t i = Index(position);
    state_[i] |= kDone;
    out_.Write(plan_, i, kDoneAction);
    ++done_;
  }
  size_t done() const { return done_; }

 private:
  static constexpr std::uint8_t kChecked = 1;
  static constexpr std::uint8_t kDone = 2;
  size_t Index(int position) const {
    if (position < 1 || static_cast<size_t>(position) > state_.size()) {
      throw std::out_of_range("no such row");
    }
    return static_cast<size_t>(position - 1);
  }

  RowWriter& out_;
  Plan plan_;
  std::vector<std::uint8_t> state_;
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
    out_.WriteBeside([&] { std::fprintf(stderr, "tandrel-cli: %s\n", text.c_str()); });
  }
  Pointer WindowPointer() const override { return Pointer::kDefault; }
  void SetWindowPointer(Pointer) override {}
  std::string BrowseForFolder(const std::string&) override { return {}; }
  void StartDetached(const std::string&, const std::vector<std::string>&, bool) override {}

 private:
  RowWriter& out_;
};

}  // namespace

int SyncCommand(FileSystem& fs, const std::vector<std::string>& args, std::stop_token stop) {
  const std::optional<FolderArguments> folders = ParseFolderArguments(fs, args, "sync");
  if (!folders) return kExitUsage;
  if (folders->help) {
    PrintUsage(stdout);
    return CloseStandardOutput(kExitOk);
  }
  std::optional<BuildResult> result = BuildPlanForCli(fs, *folders, stop);
  if (!result) {
    const int interrupted = InterruptedExit("the compare was stopped; nothing was copied.");
    return interrupted != 0 ? interrupted : kExitUsage;
  }
  RowWriter out(folders->nul_terminated);
  ConsolePlanList plan(out, std::move(result->plan));
  result.reset();  // the plan holds all the run needs
  ConsoleShell shell(out);
  SyncOptions options;
  options.io_threads = folders->io_threads;
  options.keep_going = folders->keep_going;
  options.keep_days = folders->keep_days;
  options.stop = stop;
  const auto rows = static_cast<std::int64_t>(plan.Count());
  SyncProgress progress;
  bool performed = false;
  {
    SyncProgressLine line(progress, out);
    // Nobody watches a run whose output goes elsewhere: it counts nothing.
    if (line.shown()) options.progress = &progress;
    performed =
        SyncRun(plan, CompareRequest{folders->folder1, folders->folder2}, shell, fs, options);
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

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>

#include "cli/cli_common.h"
#include "cli/commands.h"
#include "cli/status_line.h"
#include "compare/plan.h"
#include "platform/system.h"
#include "sync/recovery.h"

namespace tandrel::cli {

int InterruptedExit(const std::string& what) {
  const int signal = InterruptSignal();
  if (signal == 0) return 0;
  Say("Interrupted: " + what);
  return 128 + signal;
}

std::optional<BuildResult> BuildPlanForCli(FileSystem& fs, const FolderArguments& folders,
                                           std::stop_token stop) {
  BuildResult result;
  {
    std::atomic<size_t> folders_read = 0, entries = 0;
    const StatusLine line(
        [&]() -> std::string {
          if (folders_read == 0) return {};
          return "Reading folders: " + std::to_string(folders_read) + " folders, " +
                 std::to_string(entries) + " entries";
        },
        nullptr, std::chrono::milliseconds(100));
    BuildOptions options;
    options.stop = std::move(stop);
    options.progress = [&](const PlanProgress& p) {
      entries = p.files;
      folders_read = p.folders;
    };
    options.io_threads = folders.io_threads;
    // A sync or undo cut short is settled before the trees are compared.
    result = RecoverThenBuildPlan(fs, folders.folder1, folders.folder2, options);
  }
  for (const std::string& note : result.notes) Say(note);
  if (result.cancelled) return std::nullopt;
  if (result.error) {
    Say(result.failed_folder + ": " + result.error.message());
    return std::nullopt;
  }
  for (const UnreadableFolder& u : result.unreadable) {
    Say("could not read " + u.path + ": " + u.error.message());
  }
  return result;
}

int PlanCommand(FileSystem& fs, const FolderArguments& folders, std::stop_token stop) {
  const std::optional<BuildResult> result = BuildPlanForCli(fs, folders, stop);
  if (!result) {
    const int interrupted = InterruptedExit("the compare was stopped.");
    return interrupted != 0 ? interrupted : kExitUsage;
  }
  const Plan& plan = result->plan;
  RowWriter out(folders.nul_terminated);
  for (size_t i = 0; i < plan.size(); ++i) {
    out.Write(plan, i);
  }
  return out.Close(kExitOk);
}

}  // namespace tandrel::cli

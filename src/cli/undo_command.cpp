#include <cstdio>
#include <string>
#include <vector>

#include "cli/cli_common.h"
#include "cli/commands.h"
#include "platform/system.h"
#include "sync/sync_progress.h"
#include "sync/undo.h"

namespace tandrel::cli {
namespace {

bool Named(const RecordedRun& run, const std::string& asked) {
  return run.name == asked || (asked.size() >= 8 && run.id.starts_with(asked));
}

}  // namespace

int UndoCommand(FileSystem& fs, const FolderArguments& folders, std::stop_token stop) {
  const std::vector<RecordedRun> runs = RecordedRuns(fs, folders.folder1, folders.folder2);
  RowWriter out(false);
  if (folders.list) {
    for (auto run = runs.rbegin(); run != runs.rend(); ++run) {
      out.WriteLine(run->name + "\t" + LocalTimeText(run->utc_seconds) + "\t" +
                    (run->undo ? "undo, with " : "sync with ") + run->other_folder + "\t" +
                    WithThousands(run->rows) + " rows\t" + SizeText(run->bytes_kept) + " kept");
    }
    return out.Close(kExitOk);
  }
  if (runs.empty()) {
    Say("no sync between these folders can be undone");
    return out.Close(kExitFailed);
  }
  // Runs are undone newest first, down to the one asked for.
  size_t last = runs.size() - 1;
  if (!folders.run.empty()) {
    while (!Named(runs[last], folders.run)) {
      if (last == 0) {
        Say("no run " + folders.run + " between these folders (see undo --list)");
        return out.Close(kExitUsage);
      }
      --last;
    }
  }
  for (size_t i = runs.size(); i-- > last;) {
    const UndoReport report = UndoRun(fs, folders.folder1, folders.folder2, runs[i], stop);
    for (const std::string& line : report.recovered) Say(line);
    if (report.error) {
      Say(report.failed_folder + ": " + report.error.message());
      return out.Close(kExitFailed);
    }
    for (const std::string& path : report.removed) out.WriteLine("removed\t" + path);
    for (const std::string& path : report.restored) out.WriteLine("restored\t" + path);
    const std::string what = (runs[i].undo ? "the undo of " : "the sync of ") +
                             LocalTimeText(runs[i].utc_seconds) + " (" + runs[i].name + ")";
    if (report.stopped) {
      out.Flush();
      const int interrupted = InterruptedExit(what + " was not wholly undone.");
      return out.Close(interrupted != 0 ? interrupted : kExitFailed);
    }
    if (!report.left_alone.empty()) {
      out.Flush();
      Say(what + " was not wholly undone; left alone:");
      for (const std::string& text : report.left_alone) (void)WriteText(stderr, "  " + text + "\n");
      return out.Close(kExitFailed);
    }
    out.WriteLine("Undone: " + what + ".");
  }
  return out.Close(kExitOk);
}

}  // namespace tandrel::cli

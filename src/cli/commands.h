// The commands of tandrel-cli. Each runs once the command line has been
// read and both folders found (a usage error never reaches it), and returns
// the exit code.
#pragma once

#include <optional>
#include <stop_token>
#include <string>

#include "cli/cli_common.h"
#include "cli/cli_options.h"
#include "compare/plan.h"
#include "platform/file_system.h"

namespace tandrel::cli {

// Builds the plan as the compare run does, showing progress on a terminal
// and naming unreadable folders on stderr. Nothing when a top folder cannot
// be read (the reason is on stderr) or the compare was stopped.
std::optional<BuildResult> BuildPlanForCli(FileSystem& fs, const FolderArguments& folders,
                                           std::stop_token stop);

// The exit code of a command stopped by an interrupt (128 and its number),
// told on stderr with what was done; 0 when none came.
int InterruptedExit(const std::string& what);

// `stop` is requested by an interrupt: a command then ends where everything
// it did is consistent, says what was done and exits with InterruptedExit.
int PlanCommand(FileSystem& fs, const FolderArguments& folders, std::stop_token stop);

// Builds the plan as PlanCommand does, ticks every row and performs it with
// the window's sync run, printing each row done (Action "Done") and then
// "Done.". A row that fails stops the run: its message on stderr, exit 1.
int SyncCommand(FileSystem& fs, const FolderArguments& folders, std::stop_token stop);
// Undoes the last sync between the two folders (or, with --run, every sync
// back to that one, newest first), printing each file removed or put back;
// with --list prints the runs that can be undone instead. It does not heed
// `stop`: an undo runs to its end.
int UndoCommand(FileSystem& fs, const FolderArguments& folders, std::stop_token);

}  // namespace tandrel::cli

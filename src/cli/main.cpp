// tandrel-cli: the compare and sync engines without a window.
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "cli/cli_common.h"
#include "cli/cli_options.h"
#include "cli/commands.h"
#include "platform/system.h"

namespace tandrel::cli {
namespace {

// In the order of the help.
constexpr Command kCommands[] = {
    {.name = "plan",
     .scope = kPlan,
     .synopsis = "[-0] [-j N]",
     .description = "print the rows that Compare proposes: Source, Action and\n"
                    "Destination separated by tabs, one row per line",
     .run = PlanCommand},
    {.name = "sync",
     .scope = kSync,
     .synopsis = "[-k] [-j N] [--keep-days N]",
     .description = "perform every row of that plan, printing each one done with\n"
                    "the Action \"Done\", then \"Done.\"",
     .run = SyncCommand},
    {.name = "undo",
     .scope = kUndo,
     .synopsis = "[--list | --run NAME]",
     .description = "undo the last sync between the two folders: remove what it\n"
                    "copied and put back what it replaced, where nothing changed since",
     .run = UndoCommand},
};

// The reason, if any, then the usage, on stderr.
int UsageError(const std::string& reason) {
  if (!reason.empty()) Say(reason);
  PrintUsage(stderr, kCommands);
  return kExitUsage;
}

// --help or --version, before a command or after one.
int Answer(const FolderArguments& arguments) {
  if (arguments.version) {
    PrintVersion(stdout);
  } else {
    PrintUsage(stdout, kCommands);
  }
  return CloseStandardOutput(kExitOk);
}

// What every command does first: reads its options and its two folders,
// answers --help and tells a usage error (exit 2); then the command runs.
int RunCommand(const Command& command, FileSystem& fs, const std::vector<std::string>& args,
               std::stop_token stop) {
  CommandLine line = ParseCommandLine(args, command.scope);
  if (!line.error.empty()) return UsageError(line.error);
  if (line.arguments.help) return Answer(line.arguments);
  const std::vector<std::string>& folders = line.operands;
  if (folders.size() != 2 || folders[0].empty() || folders[1].empty()) return UsageError({});
  if (!SetFolders(fs, folders, &line.arguments)) return kExitUsage;
  return command.run(fs, line.arguments, std::move(stop));
}

int Main(std::vector<std::string> args, std::stop_token stop) {
  if (args.empty()) return UsageError({});
  // Before a command only the first argument counts: an option of the
  // program's own, answered at once, or the command's name.
  const CommandLine program = ParseCommandLine({args.front()}, kProgram);
  if (program.arguments.help || program.arguments.version) return Answer(program.arguments);
  const std::string name = args.front();
  args.erase(args.begin());
  for (const Command& command : kCommands) {
    if (command.name != name) continue;
    // After the program's own answers, which stay text on Windows.
    SetStandardOutputBinary();
    std::unique_ptr<FileSystem> fs = MakeRealFileSystem();
    return RunCommand(command, *fs, args, std::move(stop));
  }
  return UsageError("unknown command: " + name);
}

}  // namespace
}  // namespace tandrel::cli

int main(int argc, char** argv) {
  tandrel::KeepStandardStreamsOpen();
  tandrel::RaiseOpenFileLimit();
  std::stop_source stop;
  tandrel::StopOnInterrupt(stop);
#ifdef SIGPIPE
  // A reader of stdout that has gone is a write error (EPIPE) told on
  // stderr with exit 1, not a silent death by signal.
  std::signal(SIGPIPE, SIG_IGN);
#endif
  return tandrel::cli::Main(tandrel::CommandLineArguments(argc, argv), stop.get_token());
}

// tandrel-cli: the compare and sync engines without a window.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli/cli_common.h"
#include "cli/commands.h"
#include "platform/system.h"

int main(int argc, char** argv) {
  using namespace tandrel::cli;  // NOLINT: the commands of this file's own program
  tandrel::KeepStandardStreamsOpen();
  tandrel::RaiseOpenFileLimit();
  std::stop_source stop;
  tandrel::StopOnInterrupt(stop);
#ifdef SIGPIPE
  // A reader of stdout that has gone is a write error (EPIPE) told on
  // stderr with exit 1, not a silent death by signal.
  std::signal(SIGPIPE, SIG_IGN);
#endif
  if (argc >= 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    PrintUsage(stdout);
    return CloseStandardOutput(kExitOk);
  }
  if (argc >= 2 && std::strcmp(argv[1], "--version") == 0) {
    PrintVersion(stdout);
    return CloseStandardOutput(kExitOk);
  }
  if (argc < 2) {
    PrintUsage(stderr);
    return kExitUsage;
  }
  tandrel::SetStandardOutputBinary();
  std::vector<std::string> args = tandrel::CommandLineArguments(argc, argv);
  const std::string command = args.front();
  args.erase(args.begin());
  std::unique_ptr<tandrel::FileSystem> fs = tandrel::MakeRealFileSystem();
  if (command == "plan") return PlanCommand(*fs, args, stop.get_token());
  if (command == "sync") return SyncCommand(*fs, args, stop.get_token());
  if (command == "undo") return UndoCommand(*fs, args);
  std::fprintf(stderr, "tandrel-cli: unknown command: %s\n", command.c_str());
  PrintUsage(stderr);
  return kExitUsage;
}

// The command line of tandrel-cli: one table of options, from which both
// the parser and the help are made, and the commands as the help lists them.
#pragma once

#include <cstdio>
#include <span>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_system.h"
#include "platform/io_pool.h"
#include "sync/kept_runs.h"

namespace tandrel::cli {

// Where an option is taken: before a command (the program's own options),
// or after the name of a command. An option holds the bits of every place.
enum Scope : unsigned {
  kProgram = 1u << 0,
  kPlan = 1u << 1,
  kSync = 1u << 2,
  kUndo = 1u << 3,
};
inline constexpr unsigned kEveryCommand = kPlan | kSync | kUndo;

struct FolderArguments {
  std::string folder1;  // normalised as a folder slot normalises a chosen path
  std::string folder2;
  bool nul_terminated = false;           // -0: rows end in NUL instead of a newline
  int io_threads = IoPool::kFitStorage;  // -j N: requests in flight
  bool keep_going = false;               // -k (sync): go on past a failed row
  int keep_days = kDefaultKeepDays;      // --keep-days N (sync): how long replaced files stay
  bool list = false;                     // --list (undo): show the runs that can be undone
  std::string run;                       // --run NAME (undo): the run to undo back to
  bool help = false;                     // --help: the rest of the line was not looked at
  bool version = false;                  // --version (the program's): likewise
};

// A command line read against the options of one scope.
struct CommandLine {
  FolderArguments arguments;          // its folders left empty
  std::vector<std::string> operands;  // the arguments that are no option, in order
  std::string error;                  // a usage error ("unknown option: -x"); reading stopped there
};

// Options may stand anywhere among the operands, up to a "--" after which
// everything is an operand; "-" and "" are operands. A value follows its
// option as the next argument, or joined to it ("-j4", "--jobs=4"). Reading
// stops at the first usage error, and at --help or --version, so that what
// follows them is not looked at.
CommandLine ParseCommandLine(const std::vector<std::string>& args, unsigned scope);

// Puts the two `operands` into `arguments` as its folders, normalised;
// false, with the path and the reason on stderr, when either is missing or
// is no folder.
bool SetFolders(FileSystem& fs, const std::vector<std::string>& operands,
                FolderArguments* arguments);

struct Command {
  std::string_view name;
  Scope scope;                   // where its options are
  std::string_view synopsis;     // its options on its line of the usage
  std::string_view description;  // lines broken by '\n'
  int (*run)(FileSystem& fs, const FolderArguments& arguments, std::stop_token stop);
};

// The help: a usage line per command, the commands, the options.
void PrintUsage(std::FILE* to, std::span<const Command> commands);

}  // namespace tandrel::cli

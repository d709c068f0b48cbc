#include "cli/cli_options.h"

#include <charconv>
#include <optional>

#include "cli/cli_common.h"
#include "folders/folder_path.h"
#include "platform/system.h"

namespace tandrel::cli {
namespace {

// A row of the table of options.
struct Option {
  std::string_view short_name = {};  // "-j", or empty
  std::string_view long_name = {};   // "--jobs", or empty
  // The value's name in the help ("N"); empty when the option takes none.
  std::string_view value = {};
  unsigned scopes = 0;  // Scope bits: where the option is taken
  // Its lines in the help, broken by '\n'; an option without any is taken
  // but not shown.
  std::string_view help = {};
  // Sets what the option says; false when `value` is none of its values.
  bool (*set)(FolderArguments& arguments, std::string_view value) = nullptr;
  std::string_view bad_value = {};  // the usage error when `set` refuses a value
  // A value missing at the end of the line is read as an empty one (which
  // `set` refuses with `bad_value`); otherwise the option is told unknown.
  bool missing_value_is_empty = false;
};

// Digits only, all of the text, from `low` to `high`: no space, base prefix,
// exponent or plus sign (a minus sign gives a number below any `low` of 1).
bool ReadWhole(std::string_view text, int low, int high, int* number) {
  int value = 0;
  const char* end = text.data() + text.size();
  const auto [stop, ec] = std::from_chars(text.data(), end, value);
  if (ec != std::errc() || stop != end || value < low || value > high) return false;
  *number = value;
  return true;
}

bool SetHelp(FolderArguments& arguments, std::string_view) {
  arguments.help = true;
  return true;
}

constexpr Option kOptions[] = {
    {.short_name = "-0",
     .scopes = kEveryCommand,
     .help = "end each row of plan in a NUL instead of a newline",
     .set =
         [](FolderArguments& arguments, std::string_view) {
           arguments.nul_terminated = true;
           return true;
         }},
    {.short_name = "-j",
     .long_name = "--jobs",
     .value = "N",
     .scopes = kEveryCommand,
     .help = "make up to N (1 to 256) file-system requests at once (by default\n"
             "about the processor count on a local disk, 16 on a network share\n"
             "or FUSE file system); 1 suits a single spinning disk best",
     .set = [](FolderArguments& arguments,
               std::string_view value) { return ReadWhole(value, 1, 256, &arguments.io_threads); },
     .bad_value = "-j takes a whole number from 1 to 256",
     .missing_value_is_empty = true},
    {.short_name = "-k",
     .long_name = "--keep-going",
     .scopes = kSync,
     .help = "sync: perform every row that can be, naming each one that\n"
             "fails, instead of stopping at the first failure",
     .set =
         [](FolderArguments& arguments, std::string_view) {
           arguments.keep_going = true;
           return true;
         }},
    {.long_name = "--keep-days",
     .value = "N",
     .scopes = kSync,
     .help = "sync: keep the files that overwrites replace (in .tandrel/replaced\n"
             "at the top of each tree) for N days, 30 by default; 0 keeps none",
     .set = [](FolderArguments& arguments,
               std::string_view value) { return ReadWhole(value, 0, 36500, &arguments.keep_days); },
     .bad_value = "--keep-days takes a whole number of days from 0"},
    {.long_name = "--list",
     .scopes = kUndo,
     .help = "undo: list the syncs that can be undone, newest first",
     .set =
         [](FolderArguments& arguments, std::string_view) {
           arguments.list = true;
           return true;
         }},
    {.long_name = "--run",
     .value = "NAME",
     .scopes = kUndo,
     .help = "undo: undo every sync back to the one named (as --list names it)",
     .set =
         [](FolderArguments& arguments, std::string_view value) {
           arguments.run = std::string(value);
           return true;
         }},
    {.long_name = "--help",
     .scopes = kProgram | kEveryCommand,
     .help = "print this help and exit",
     .set = SetHelp},
    {.long_name = "--version",
     .scopes = kProgram,
     .help = "print the version and exit",
     .set =
         [](FolderArguments& arguments, std::string_view) {
           arguments.version = true;
           return true;
         }},
    // Taken as people type it, though the help has never named it.
    {.short_name = "-h", .scopes = kProgram | kEveryCommand, .set = SetHelp},
};

// The option of `scope` that `arg` names, with its value when joined to it.
struct Match {
  const Option* option = nullptr;
  std::optional<std::string_view> joined;
};

Match FindOption(std::string_view arg, unsigned scope) {
  for (const Option& option : kOptions) {
    if ((option.scopes & scope) == 0) continue;
    const std::string_view short_name = option.short_name, long_name = option.long_name;
    if ((!short_name.empty() && arg == short_name) || (!long_name.empty() && arg == long_name)) {
      return {&option, std::nullopt};
    }
    if (option.value.empty()) continue;
    if (!long_name.empty() && arg.size() > long_name.size() && arg.starts_with(long_name) &&
        arg[long_name.size()] == '=') {
      return {&option, arg.substr(long_name.size() + 1)};
    }
    if (!short_name.empty() && arg.starts_with(short_name)) {
      return {&option, arg.substr(short_name.size())};
    }
  }
  return {};
}

// "-j N, --jobs=N", "-k, --keep-going", "--keep-days N".
std::string Label(const Option& option) {
  std::string label(option.short_name);
  if (!option.short_name.empty() && !option.value.empty()) {
    label.append(" ").append(option.value);
  }
  if (!option.short_name.empty() && !option.long_name.empty()) label += ", ";
  label += option.long_name;
  if (!option.long_name.empty() && !option.value.empty()) {
    label.append(option.short_name.empty() ? " " : "=").append(option.value);
  }
  return label;
}

// A row of the help's lists: the label after two spaces, the text from the
// thirteenth column, beside the label when it leaves room and under it when
// it does not.
void AppendRow(std::string& help, std::string_view label, std::string_view text) {
  constexpr size_t kLabelWidth = 10;
  const std::string indent(kLabelWidth + 3, ' ');
  help.append("  ").append(label);
  if (label.size() <= kLabelWidth) {
    help.append(kLabelWidth + 1 - label.size(), ' ');
  } else {
    help.append("\n").append(indent);
  }
  for (size_t start = 0;;) {
    const size_t end = text.find('\n', start);
    help.append(text.substr(start, end - start)).append("\n");
    if (end == std::string_view::npos) break;
    help.append(indent);
    start = end + 1;
  }
}

}  // namespace

CommandLine ParseCommandLine(const std::vector<std::string>& args, unsigned scope) {
  CommandLine line;
  bool options_done = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (options_done || arg.size() < 2 || arg[0] != '-') {
      line.operands.push_back(arg);
      continue;
    }
    if (arg == "--") {
      options_done = true;
      continue;
    }
    const Match match = FindOption(arg, scope);
    std::optional<std::string_view> value = match.joined;
    if (match.option != nullptr && !match.option->value.empty() && !value) {
      if (i + 1 < args.size()) {
        value = args[++i];
      } else if (match.option->missing_value_is_empty) {
        value = std::string_view();
      }
    }
    if (match.option == nullptr || (!match.option->value.empty() && !value)) {
      line.error = "unknown option: " + arg;
      return line;
    }
    if (!match.option->set(line.arguments, value.value_or(std::string_view()))) {
      line.error = match.option->bad_value;
      return line;
    }
    if (line.arguments.help || line.arguments.version) return line;
  }
  return line;
}

bool SetFolders(FileSystem& fs, const std::vector<std::string>& operands,
                FolderArguments* arguments) {
  std::string folders[2] = {NormaliseFolderPath(operands.at(0)),
                            NormaliseFolderPath(operands.at(1))};
  for (const std::string& folder : folders) {
    FileInfo info;
    if (std::error_code ec = fs.Stat(folder, FollowLinks::kYes, &info)) {
      Say(folder + ": " + ec.message());
      return false;
    }
    if (info.kind != EntryKind::kFolder) {
      Say(folder + ": not a folder");
      return false;
    }
  }
  arguments->folder1 = std::move(folders[0]);
  arguments->folder2 = std::move(folders[1]);
  return true;
}

void PrintUsage(std::FILE* to, std::span<const Command> commands) {
  // The layout of GNU tools' help, which help2man turns into the man page.
  std::string help;
  for (const Command& command : commands) {
    help.append(help.empty() ? "Usage: " : "  or:  ")
        .append("tandrel-cli ")
        .append(command.name)
        .append(" ")
        .append(command.synopsis)
        .append(" [--] FOLDER1 FOLDER2\n");
  }
  help.append("  or:  tandrel-cli");
  std::string_view between = " ";
  for (const Option& option : kOptions) {
    if ((option.scopes & kProgram) == 0 || option.help.empty()) continue;
    help.append(between).append(option.long_name);
    between = " | ";
  }
  help.append(
      "\n"
      "Compare two folder trees and copy files between them.\n"
      "\n"
      "Commands:\n");
  for (const Command& command : commands) AppendRow(help, command.name, command.description);
  help.append("\nOptions:\n");
  for (const Option& option : kOptions) {
    if (!option.help.empty()) AppendRow(help, Label(option), option.help);
  }
  help.append(
      "\n"
      "Files are matched by name wherever they lie in the trees. A file with no\n"
      "namesake in the other tree is copied into the other tree's top folder; of two\n"
      "namesakes the newer overwrites the older. Names beginning with \"~\" take no part.\n");
  (void)WriteText(to, help);
}

}  // namespace tandrel::cli

#include "cli/cli_common.h"

#include <chrono>
#include <cstdlib>

#include "folders/folder_path.h"
#include "platform/system.h"
#include "version/version.h"

namespace tandrel::cli {

void PrintUsage(std::FILE* to) {
  std::fputs(
      // The layout of GNU tools' help, which help2man turns into the man page.
      "Usage: tandrel-cli plan [-0] [-j N] [--] FOLDER1 FOLDER2\n"
      "  or:  tandrel-cli sync [-k] [-j N] [--] FOLDER1 FOLDER2\n"
      "  or:  tandrel-cli --help | --version\n"
      "Compare two folder trees and copy files between them.\n"
      "\n"
      "Commands:\n"
      "  plan       print the rows that Compare proposes: Source, Action and\n"
      "             Destination separated by tabs, one row per line\n"
      "  sync       perform every row of that plan, printing each one done with\n"
      "             the Action \"Done\", then \"Done.\"\n"
      "\n"
      "Options:\n"
      "  -0         end each row of plan in a NUL instead of a newline\n"
      "  -j N       make up to N file-system requests at once (by default about\n"
      "             the processor count on a local disk, 16 on a network share or\n"
      "             FUSE file system); 1 suits a single spinning disk best\n"
      "  -k, --keep-going\n"
      "             sync: perform every row that can be, naming each one that\n"
      "             fails, instead of stopping at the first failure\n"
      "  --help     print this help and exit\n"
      "  --version  print the version and exit\n"
      "\n"
      "Files are matched by name wherever they lie in the trees. A file with no\n"
      "namesake in the other tree is copied into the other tree's top folder; of two\n"
      "namesakes the newer overwrites the older. Names beginning with \"~\" take no part.\n",
      to);
}

void PrintVersion(std::FILE* to) { std::fputs("tandrel-cli " TANDREL_VERSION_FULL "\n", to); }

std::optional<FolderArguments> ParseFolderArguments(FileSystem& fs,
                                                    const std::vector<std::string>& args,
                                                    bool for_sync) {
  FolderArguments parsed;
  std::vector<std::string> folders;
  bool options_done = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (!options_done && arg == "--") {
      options_done = true;
    } else if (!options_done && arg == "-0") {
      parsed.nul_terminated = true;
    } else if (!options_done && for_sync && (arg == "-k" || arg == "--keep-going")) {
      parsed.keep_going = true;
    } else if (!options_done && arg == "-j") {
      const int threads = i + 1 < args.size() ? std::atoi(args[i + 1].c_str()) : 0;
      if (threads < 1 || threads > 256) {
        std::fprintf(stderr, "tandrel-cli: -j takes a number from 1 to 256\n");
        PrintUsage(stderr);
        return std::nullopt;
      }
      parsed.io_threads = threads;
      ++i;
    } else if (!options_done && arg.size() > 1 && arg[0] == '-') {
      std::fprintf(stderr, "tandrel-cli: unknown option: %s\n", arg.c_str());
      PrintUsage(stderr);
      return std::nullopt;
    } else {
      folders.push_back(arg);
    }
  }
  if (folders.size() != 2 || folders[0].empty() || folders[1].empty()) {
    PrintUsage(stderr);
    return std::nullopt;
  }
  for (std::string& folder : folders) {
    folder = NormaliseFolderPath(folder);
    FileInfo info;
    if (std::error_code ec = fs.Stat(folder, FollowLinks::kYes, &info)) {
      std::fprintf(stderr, "tandrel-cli: %s: %s\n", folder.c_str(), ec.message().c_str());
      return std::nullopt;
    }
    if (info.kind != EntryKind::kFolder) {
      std::fprintf(stderr, "tandrel-cli: %s: not a folder\n", folder.c_str());
      return std::nullopt;
    }
  }
  parsed.folder1 = std::move(folders[0]);
  parsed.folder2 = std::move(folders[1]);
  return parsed;
}

void RowWriter::Write(std::string_view source, std::string_view action,
                      std::string_view destination) {
  buffer_.append(source);
  buffer_ += '\t';
  buffer_.append(action);
  buffer_ += '\t';
  buffer_.append(destination);
  buffer_ += end_;
  if (buffer_.size() >= (1 << 20)) Flush();
}

void RowWriter::Write(const Plan& plan, size_t row) {
  const Plan::PathText source = plan.SourceText(row);
  const Plan::PathText destination = plan.DestinationText(row);
  buffer_.append(source.folder);
  buffer_.append(source.name);
  buffer_ += '\t';
  buffer_.append(plan.Action(row));
  buffer_ += '\t';
  buffer_.append(destination.folder);
  buffer_.append(destination.name);
  buffer_ += end_;
  if (buffer_.size() >= (1 << 20)) Flush();
}

void RowWriter::WriteLine(std::string_view text) {
  buffer_.append(text);
  buffer_ += end_;
}

void RowWriter::Flush() {
  if (!buffer_.empty()) std::fwrite(buffer_.data(), 1, buffer_.size(), stdout);
  buffer_.clear();
  std::fflush(stdout);
}

namespace {
long long NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}
}  // namespace

ProgressLine::ProgressLine() : enabled_(StandardErrorIsTerminal()) {}

ProgressLine::~ProgressLine() {
  if (shown_) std::fprintf(stderr, "\r%*s\r", width_, "");
}

void ProgressLine::Update(size_t folders, size_t files) {
  if (!enabled_) return;
  const long long now = NowMs();
  if (shown_ && now - last_ms_ < 100) return;
  last_ms_ = now;
  shown_ = true;
  width_ = std::fprintf(stderr, "\rReading folders: %zu folders, %zu entries", folders, files);
  std::fflush(stderr);
}

}  // namespace tandrel::cli

#include "cli/cli_common.h"

#include <cerrno>
#include <charconv>
#include <chrono>
#include <condition_variable>

#include "folders/folder_path.h"
#include "platform/system.h"
#include "version/version.h"

namespace tandrel::cli {

void PrintUsage(std::FILE* to) {
  std::fputs(
      // The layout of GNU tools' help, which help2man turns into the man page.
      "Usage: tandrel-cli plan [-0] [-j N] [--] FOLDER1 FOLDER2\n"
      "  or:  tandrel-cli sync [-k] [-j N] [--keep-days N] [--] FOLDER1 FOLDER2\n"
      "  or:  tandrel-cli undo [--list | --run NAME] [--] FOLDER1 FOLDER2\n"
      "  or:  tandrel-cli --help | --version\n"
      "Compare two folder trees and copy files between them.\n"
      "\n"
      "Commands:\n"
      "  plan       print the rows that Compare proposes: Source, Action and\n"
      "             Destination separated by tabs, one row per line\n"
      "  sync       perform every row of that plan, printing each one done with\n"
      "             the Action \"Done\", then \"Done.\"\n"
      "  undo       undo the last sync between the two folders: remove what it\n"
      "             copied and put back what it replaced, where nothing changed since\n"
      "\n"
      "Options:\n"
      "  -0         end each row of plan in a NUL instead of a newline\n"
      "  -j N, --jobs=N\n"
      "             make up to N (1 to 256) file-system requests at once (by default\n"
      "             about the processor count on a local disk, 16 on a network share\n"
      "             or FUSE file system); 1 suits a single spinning disk best\n"
      "  -k, --keep-going\n"
      "             sync: perform every row that can be, naming each one that\n"
      "             fails, instead of stopping at the first failure\n"
      "  --keep-days N\n"
      "             sync: keep the files that overwrites replace (in .tandrel/replaced\n"
      "             at the top of each tree) for N days, 30 by default; 0 keeps none\n"
      "  --list     undo: list the syncs that can be undone, newest first\n"
      "  --run NAME undo: undo every sync back to the one named (as --list names it)\n"
      "  --help     print this help and exit\n"
      "  --version  print the version and exit\n"
      "\n"
      "Files are matched by name wherever they lie in the trees. A file with no\n"
      "namesake in the other tree is copied into the other tree's top folder; of two\n"
      "namesakes the newer overwrites the older. Names beginning with \"~\" take no part.\n",
      to);
}

void PrintVersion(std::FILE* to) { std::fputs("tandrel-cli " TANDREL_VERSION_FULL "\n", to); }

namespace {

// The reason of the stdio call that just failed, with errno cleared before
// it; a C library that sets none still gets the failure told.
std::error_code LastError() { return {errno != 0 ? errno : EIO, std::generic_category()}; }

// The text of -j in any of its spellings (-j N, -jN, --jobs N, --jobs=N),
// stepping `i` past a separate one; nothing when args[i] is not -j. A -j
// with nothing after it gets an empty text, which is no number.
std::optional<std::string_view> JobsText(const std::vector<std::string>& args, size_t& i) {
  const std::string_view arg = args[i];
  if (arg == "-j" || arg == "--jobs") {
    return ++i < args.size() ? std::string_view(args[i]) : std::string_view();
  }
  if (arg.starts_with("--jobs=")) return arg.substr(7);
  if (arg.starts_with("-j")) return arg.substr(2);
  return std::nullopt;
}

// Digits only, all of the text: no sign, space, base prefix or exponent.
std::optional<int> ParseJobs(std::string_view text) {
  unsigned value = 0;
  const char* end = text.data() + text.size();
  const auto [stop, ec] = std::from_chars(text.data(), end, value);
  if (ec != std::errc() || stop != end || value < 1 || value > 256) return std::nullopt;
  return static_cast<int>(value);
}

}  // namespace

int CloseStandardOutput(int code, std::error_code earlier) {
  std::error_code error = earlier;
  errno = 0;
  if (std::fflush(stdout) != 0 && !error) error = LastError();
  // A write that failed before without telling us why.
  if (!error && std::ferror(stdout)) error = std::make_error_code(std::errc::io_error);
  errno = 0;
  // Once all was flushed, a descriptor closed from the start lost nothing
  // (as with gnulib's close_stdout); any other failure to close may have.
  if (std::fclose(stdout) != 0 && !error && errno != EBADF) error = LastError();
  if (!error) return code;
  std::fprintf(stderr, "tandrel-cli: write error: %s\n", error.message().c_str());
  return code == kExitOk ? kExitFailed : code;
}

namespace {

// The value of the option `name` at args[i], given as "--name VALUE" (which
// takes the next argument) or "--name=VALUE".
std::optional<std::string_view> ValueOf(std::string_view name, const std::vector<std::string>& args,
                                        size_t& i) {
  const std::string& arg = args[i];
  if (arg == name && i + 1 < args.size()) return args[++i];
  if (arg.size() > name.size() && arg.starts_with(name) && arg[name.size()] == '=') {
    return std::string_view(arg).substr(name.size() + 1);
  }
  return std::nullopt;
}

}  // namespace

std::optional<FolderArguments> ParseFolderArguments(FileSystem& fs,
                                                    const std::vector<std::string>& args,
                                                    std::string_view command) {
  const bool for_sync = command == "sync";
  const bool for_undo = command == "undo";
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
    } else if (const std::optional<std::string_view> days =
                   options_done || !for_sync ? std::nullopt : ValueOf("--keep-days", args, i)) {
      int value = -1;
      const auto [end, ec] = std::from_chars(days->data(), days->data() + days->size(), value);
      if (ec != std::errc() || end != days->data() + days->size() || value < 0 || value > 36500) {
        std::fprintf(stderr, "tandrel-cli: --keep-days takes a whole number of days from 0\n");
        PrintUsage(stderr);
        return std::nullopt;
      }
      parsed.keep_days = value;
    } else if (!options_done && for_undo && arg == "--list") {
      parsed.list = true;
    } else if (const std::optional<std::string_view> run =
                   options_done || !for_undo ? std::nullopt : ValueOf("--run", args, i)) {
      parsed.run = std::string(*run);
    } else if (!options_done && (arg == "--help" || arg == "-h")) {
      parsed.help = true;
      return parsed;
    } else if (const std::optional<std::string_view> jobs =
                   options_done ? std::nullopt : JobsText(args, i)) {
      const std::optional<int> threads = ParseJobs(*jobs);
      if (!threads) {
        std::fprintf(stderr, "tandrel-cli: -j takes a whole number from 1 to 256\n");
        PrintUsage(stderr);
        return std::nullopt;
      }
      parsed.io_threads = *threads;
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
  FlushWhenDue();
}

void RowWriter::Write(const Plan& plan, size_t row, std::string_view action) {
  const Plan::PathText source = plan.SourceText(row);
  const Plan::PathText destination = plan.DestinationText(row);
  buffer_.append(source.folder);
  buffer_.append(source.name);
  buffer_ += '\t';
  buffer_.append(action.empty() ? plan.Action(row) : action);
  buffer_ += '\t';
  buffer_.append(destination.folder);
  buffer_.append(destination.name);
  buffer_ += end_;
  FlushWhenDue();
}

void RowWriter::FlushWhenDue() {
  // Rows reach a reader (and survive a kill) within a fraction of a second,
  // while a fast run still writes in large blocks.
  constexpr size_t kBlock = 1 << 20;
  constexpr auto kAtMost = std::chrono::milliseconds(200);
  const auto now = std::chrono::steady_clock::now();
  if (buffer_.size() >= kBlock || now - last_flush_ >= kAtMost) {
    Flush();
    last_flush_ = now;
  }
}

void RowWriter::WriteLine(std::string_view text) {
  buffer_.append(text);
  buffer_ += end_;
}

void RowWriter::Flush() {
  const auto write = [this] {
    errno = 0;
    if (!buffer_.empty() &&
        std::fwrite(buffer_.data(), 1, buffer_.size(), stdout) != buffer_.size()) {
      error_ = LastError();
    } else if (std::fflush(stdout) != 0) {
      error_ = LastError();
    }
  };
  if (!error_ && !closed_ && !buffer_.empty()) {
    if (around_) {
      around_(write);
    } else {
      write();
    }
  }
  buffer_.clear();
}

int RowWriter::Close(int code) {
  Flush();
  closed_ = true;
  return CloseStandardOutput(code, error_);
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

SyncProgressLine::SyncProgressLine(const SyncProgress& progress, RowWriter& out)
    : progress_(progress), out_(out) {
  if (!StandardOutputIsTerminal() || !StandardErrorIsTerminal()) return;
  out.WriteAround([this](const std::function<void()>& write) {
    std::lock_guard lock(mutex_);
    const std::string line = shown_;
    Erase();
    write();
    shown_ = line;
    std::fprintf(stderr, "%s", shown_.c_str());
    std::fflush(stderr);
  });
  thread_ = std::jthread([this](std::stop_token stop) {
    std::mutex sleep;
    std::condition_variable_any woken;
    while (!stop.stop_requested()) {
      Draw();
      std::unique_lock lock(sleep);
      woken.wait_for(lock, stop, kProgressInterval, [] { return false; });
    }
  });
}

SyncProgressLine::~SyncProgressLine() {
  if (!thread_.joinable()) return;
  thread_.request_stop();
  thread_.join();
  out_.WriteAround({});
  std::lock_guard lock(mutex_);
  Erase();
}

void SyncProgressLine::Draw() {
  const ProgressView view = meter_.Read(progress_);
  // Narrower than a terminal's usual 80 columns, so that it never wraps.
  constexpr size_t kColumns = 79;
  std::string line = view.rows + ", " + view.bytes;
  if (line.size() > kColumns) line.resize(kColumns);
  std::lock_guard lock(mutex_);
  Erase();
  shown_ = line;
  std::fprintf(stderr, "%s", shown_.c_str());
  std::fflush(stderr);
}

// Takes the line away, leaving the cursor at the start of the empty line.
void SyncProgressLine::Erase() {
  if (shown_.empty()) return;
  std::fprintf(stderr, "\r%*s\r", static_cast<int>(shown_.size()), "");
  std::fflush(stderr);
  shown_.clear();
}

}  // namespace tandrel::cli

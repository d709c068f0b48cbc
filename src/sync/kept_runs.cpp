#include "sync/kept_runs.h"

#include <algorithm>
#include <charconv>
#include <ctime>
#include <tuple>

#include "platform/path_text.h"

namespace tandrel {
namespace {

// How many runs may start within one second and still share one name in
// both trees.
constexpr int kUniqueNameAttempts = 100;

bool ReadNumber(std::string_view text, int* number) {
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *number);
  return ec == std::errc() && end == text.data() + text.size();
}

// The runs in the opened `.tandrel/replaced` folder, oldest first.
std::vector<std::string> RunsInReplaced(FileSystem& fs, const Folder& replaced) {
  std::vector<DirEntry> entries;
  if (fs.List(replaced, &entries)) return {};
  std::vector<std::string> runs;
  for (const DirEntry& entry : entries) {
    if (entry.kind == EntryKind::kFolder && RunStart(entry.name)) runs.push_back(entry.name);
  }
  std::sort(runs.begin(), runs.end(), RunBefore);
  return runs;
}

}  // namespace

std::string RunName(std::int64_t unix_seconds) {
  const std::time_t t = static_cast<std::time_t>(unix_seconds);
  std::tm local{};
#ifdef _WIN32
  // The C runtime of Windows keeps this result per thread.
  if (const std::tm* now = std::localtime(&t)) local = *now;
#else
  localtime_r(&t, &local);
#endif
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H%M%S", &local);
  return text;
}

std::string NumberedRunName(std::string_view first, int number) {
  std::string name(first);
  if (number > 1) name += " (" + std::to_string(number) + ")";
  return name;
}

std::string UniqueRunName(FileSystem& fs, std::span<const Folder* const> tops,
                          std::string_view first) {
  for (int number = 1; number < kUniqueNameAttempts; ++number) {
    const std::string name = NumberedRunName(first, number);
    const bool taken = std::any_of(tops.begin(), tops.end(),
                                   [&](const Folder* top) { return RunExists(fs, *top, name); });
    if (!taken) return name;
  }
  return NumberedRunName(first, kUniqueNameAttempts);
}

std::optional<std::int64_t> RunStart(std::string_view name) {
  // "YYYY-MM-DD HHMMSS", then perhaps " (N)" for a second run in that second.
  if (name.size() < 17 || name[4] != '-' || name[7] != '-' || name[10] != ' ') return std::nullopt;
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  if (!ReadNumber(name.substr(0, 4), &year) || !ReadNumber(name.substr(5, 2), &month) ||
      !ReadNumber(name.substr(8, 2), &day) || !ReadNumber(name.substr(11, 2), &hour) ||
      !ReadNumber(name.substr(13, 2), &minute) || !ReadNumber(name.substr(15, 2), &second)) {
    return std::nullopt;
  }
  std::tm local{};
  local.tm_year = year - 1900;
  local.tm_mon = month - 1;
  local.tm_mday = day;
  local.tm_hour = hour;
  local.tm_min = minute;
  local.tm_sec = second;
  local.tm_isdst = -1;
  const std::time_t t = std::mktime(&local);
  if (t == static_cast<std::time_t>(-1)) return std::nullopt;
  return static_cast<std::int64_t>(t);
}

bool RunBefore(std::string_view a, std::string_view b) {
  // By start, then "(2)" before "(10)".
  return std::tuple(*RunStart(a), a.size(), a) < std::tuple(*RunStart(b), b.size(), b);
}

std::error_code OpenReplaced(FileSystem& fs, const Folder& top, Folder* record, Folder* replaced) {
  if (std::error_code ec = fs.OpenFolder(top, kRecordFolder, record)) return ec;
  return fs.OpenFolder(*record, kReplacedFolder, replaced);
}

std::string RunFolderText(std::string_view top_text, std::string_view run) {
  const std::string_view names[] = {kRecordFolder, kReplacedFolder, run};
  return std::string(top_text) + JoinNames(names);
}

bool RunExists(FileSystem& fs, const Folder& top, std::string_view name) {
  Folder record;
  Folder replaced;
  Folder run;
  return !OpenReplaced(fs, top, &record, &replaced) && !fs.OpenFolder(replaced, name, &run);
}

std::vector<std::string> RunsIn(FileSystem& fs, const Folder& top) {
  Folder record;
  Folder replaced;
  if (OpenReplaced(fs, top, &record, &replaced)) return {};
  return RunsInReplaced(fs, replaced);
}

bool RemoveTree(FileSystem& fs, const Folder& parent, std::string_view name) {
  Folder folder;
  std::vector<DirEntry> entries;
  if (fs.OpenFolder(parent, name, &folder) || fs.List(folder, &entries)) return false;
  bool all = true;
  for (const DirEntry& entry : entries) {
    if (entry.kind == EntryKind::kFolder) {
      all = RemoveTree(fs, folder, entry.name) && all;
      continue;
    }
    bool removed = false;
    all = !fs.RemoveIfNotHeld(folder, entry.name, &removed) && removed && all;
  }
  folder.Reset();
  return all && !fs.RemoveEmptyFolder(parent, name);
}

std::vector<std::string> RemoveRunsBefore(FileSystem& fs, const Folder& top, std::int64_t before,
                                          std::string_view spare) {
  std::vector<std::string> removed;
  Folder record;
  Folder replaced;
  if (OpenReplaced(fs, top, &record, &replaced)) return removed;
  for (const std::string& run : RunsInReplaced(fs, replaced)) {
    if (run == spare || *RunStart(run) >= before) continue;
    if (RemoveTree(fs, replaced, run)) removed.push_back(run);
  }
  if (!removed.empty()) (void)fs.FlushFolder(replaced);
  return removed;
}

void RemoveRun(FileSystem& fs, const Folder& top, std::string_view name) {
  // Each folder is let go of before it is removed: Windows removes a folder
  // only once nobody holds it.
  Folder record;
  Folder replaced;
  if (OpenReplaced(fs, top, &record, &replaced) || !RemoveTree(fs, replaced, name)) return;
  replaced.Reset();
  if (fs.RemoveEmptyFolder(record, kReplacedFolder)) return;
  record.Reset();
  (void)fs.RemoveEmptyFolder(top, kRecordFolder);
}

}  // namespace tandrel

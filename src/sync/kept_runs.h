// The runs a tree keeps: each sync run that replaced files there has a
// folder `.tandrel/replaced/<run>/` at the tree's top, named by when the run
// started, in local time ("2026-12-07 181000", then " (2)", " (3)", ... for
// more runs in that second). Runs are listed, named, told apart by their
// start and removed here; what a run's folder holds is run_folder.h's.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "platform/file_system.h"

namespace tandrel {

inline constexpr std::string_view kRecordFolder = ".tandrel";
inline constexpr std::string_view kReplacedFolder = "replaced";
// Kept files older than this are removed by a later sync into their tree.
inline constexpr int kDefaultKeepDays = 30;

// The name of a run's folder: when it started, in local time,
// "2026-12-07 181000".
std::string RunName(std::int64_t unix_seconds);
// The `number`th name for runs that started when `first` says: `first`
// itself for the first, then "<first> (2)", "<first> (3)", ...
std::string NumberedRunName(std::string_view first, int number);
// The first of the numbered names of `first` (up to the 100th) that no tree
// under `tops` has a run of, so that both trees keep a run under one name
// and undo finds its two halves; the 100th when all are taken.
std::string UniqueRunName(FileSystem& fs, std::span<const Folder* const> tops,
                          std::string_view first);
// When the run named `name` started (seconds since 1970), if it is such a name.
std::optional<std::int64_t> RunStart(std::string_view name);

// Orders the names of runs by when they began.
bool RunBefore(std::string_view a, std::string_view b);

// Opens `.tandrel/replaced` in the tree under `top`.
std::error_code OpenReplaced(FileSystem& fs, const Folder& top, Folder* record, Folder* replaced);

// Where the run `run` keeps its files, below the top folder `top_text`
// (which ends in a separator).
std::string RunFolderText(std::string_view top_text, std::string_view run);

// Removes the run `name` of the tree under `top`, and the record's folders
// where that leaves them empty. Nothing of the run may be held open.
void RemoveRun(FileSystem& fs, const Folder& top, std::string_view name);

// True when the tree under `top` has a record of the run `name`.
bool RunExists(FileSystem& fs, const Folder& top, std::string_view name);

// The runs recorded in the tree under `top`, oldest first, by name.
std::vector<std::string> RunsIn(FileSystem& fs, const Folder& top);

// Removes the folder `name` of `parent` and everything below it that is not
// held; false when something stayed.
bool RemoveTree(FileSystem& fs, const Folder& parent, std::string_view name);

// Removes the recorded runs of the tree under `top` that started before
// `before` (seconds since 1970), but `spare`; the names of those removed.
std::vector<std::string> RemoveRunsBefore(FileSystem& fs, const Folder& top, std::int64_t before,
                                          std::string_view spare);

}  // namespace tandrel

// The runs a tree keeps: each run that wrote into a tree has a folder
// `.tandrel/replaced/<run>/` at the tree's top, named by when it started
// (UTC), its sequence among the runs of its trees and its id:
// "2026-12-07 171000Z 12 3fa9c1d2". Runs are listed, named, ordered and
// removed here; what a run's folder holds is run_folder.h's.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "compare/file_name.h"
#include "platform/file_system.h"
#include "sync/journal.h"

namespace tandrel {

inline constexpr std::string_view kRecordFolder = kRecordName;
inline constexpr std::string_view kReplacedFolder = "replaced";
// Kept files older than this are removed by a later sync into their tree.
inline constexpr int kDefaultKeepDays = 30;

// A new run's id: 16 random hexadecimal digits.
std::string NewRunId();
// The folder name of the run `heading` names.
std::string RunFolderName(const RunHeading& heading);

// What a run's folder name tells.
struct RunName {
  std::int64_t utc_seconds = 0;
  std::int64_t sequence = 0;
};
std::optional<RunName> ReadRunName(std::string_view name);

// Opens `.tandrel/replaced` in the tree under `top`.
std::error_code OpenReplaced(FileSystem& fs, const Folder& top, Folder* record, Folder* replaced);

// Where the run `run` keeps its files, below the top folder `top_text`
// (which ends in a separator).
std::string RunFolderText(std::string_view top_text, std::string_view run);

// The folder names of the runs recorded in the tree under `top`.
std::vector<std::string> RunsIn(FileSystem& fs, const Folder& top);
// One more than the sequence of every run recorded under `tops`.
std::int64_t NextSequence(FileSystem& fs, const std::vector<const Folder*>& tops);

// Reads the journal of the run `name` in the tree under `top`.
bool ReadRunJournal(FileSystem& fs, const Folder& top, std::string_view name, Journal* journal);

// Removes the run `name` of the tree under `top`, and the record's folders
// where that leaves them empty. Nothing of the run may be held open.
void RemoveRun(FileSystem& fs, const Folder& top, std::string_view name);

// Removes the folder `name` of `parent` and everything below it that is not
// held; false when something stayed.
bool RemoveTree(FileSystem& fs, const Folder& parent, std::string_view name);

// Removes the recorded runs of the tree under `top` that started before
// `before` (seconds since 1970), but `spare` and runs that were cut short
// and not yet recovered; the names of those removed, oldest first.
// `at_most` runs at most.
std::vector<std::string> RemoveRunsBefore(FileSystem& fs, const Folder& top, std::int64_t before,
                                          std::string_view spare, size_t at_most = SIZE_MAX);

}  // namespace tandrel

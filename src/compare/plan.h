// Turning two chosen folders into the plan: copy rows towards Folder 2,
// copy rows towards Folder 1, then overwrite rows.
#pragma once

#include <cstdint>
#include <functional>
#include <stop_token>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "compare/file_list.h"
#include "compare/tree_walk.h"
#include "platform/file_system.h"
#include "platform/window.h"

namespace tandrel {

// The Action phrases, exactly as the plan shows them.
inline constexpr std::string_view kCopyTo2Action = " could be copied to";
inline constexpr std::string_view kCopyTo1Action = " could to be copied to";
inline constexpr std::string_view kOverwriteAction = " could overwrite an older";
inline constexpr std::string_view kDoneAction = "Done";

enum class RowKind : std::uint8_t {
  kCopy1To2,       // a file of tree 1 into the Folder 2 top folder
  kCopy2To1,       // a file of tree 2 into the Folder 1 top folder
  kOverwrite1On2,  // the newer file of tree 1 over its namesake in tree 2
  kOverwrite2On1,  // the newer file of tree 2 over its namesake in tree 1
};

// The plan as the engine builds it: compact rows that point into the two
// file lists, turned into text only when shown or printed.
class Plan {
 public:
  std::string folder1;  // the slot texts, each ending in a separator
  std::string folder2;
  FileList files1;
  FileList files2;

  struct Entry {
    RowKind kind;
    std::uint32_t source;       // a file of the source's list
    std::uint32_t destination;  // a file of the other list (overwrites only)
  };
  std::vector<Entry> entries;

  // A path as its folder (ending in a separator) and the name after it,
  // which is empty for a folder.
  struct PathText {
    std::string_view folder;
    std::string_view name;
    std::string Joined() const;
  };

  size_t size() const { return entries.size(); }
  PathText SourceText(size_t i) const;
  std::string_view Action(size_t i) const;
  PathText DestinationText(size_t i) const;
  std::string Source(size_t i) const { return SourceText(i).Joined(); }
  std::string Destination(size_t i) const { return DestinationText(i).Joined(); }
  // The rows as the plan list holds them.
  std::vector<PlanRow> Rows(bool checked) const;
};

struct PlanProgress {
  size_t folders = 0;
  size_t files = 0;
};

struct BuildOptions {
  std::stop_token stop;
  // Called after every listed folder; may be empty.
  std::function<void(const PlanProgress&)> progress;
  // How many folder listings and time reads are in flight at once. The
  // plan is the same whatever the number; only its speed differs.
  int io_threads = IoPool::kFitStorage;
};

struct BuildResult {
  // Set when a top folder could not be listed: no plan was made.
  std::error_code error;
  std::string failed_folder;
  bool cancelled = false;
  Plan plan;
  // Folders below the top ones that could not be listed, in walk order.
  std::vector<UnreadableFolder> unreadable;
  // What else the user is told after the compare, a line each.
  std::vector<std::string> notes;
};

// Walks both trees (all of tree 1 before anything of tree 2), leaves out
// files whose names begin with "~", and applies the matching rules. The
// folder texts are used as they are, as Destinations included.
BuildResult BuildPlan(FileSystem& fs, const std::string& folder1, const std::string& folder2,
                      const BuildOptions& options = {});

}  // namespace tandrel

// The two folders of the compare that made a plan, opened once: the only
// way a sync or an undo reaches what lies below them. A path is reached
// from the tree it lies in, one folder at a time and never through a link,
// so nothing outside the two is read or written, whatever is renamed
// meanwhile.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <system_error>
#include <unordered_map>

#include "compare/compare_run.h"
#include "platform/file_system.h"

namespace tandrel {

class ComparedTrees {
 public:
  struct Tree {
    std::string text;  // the folder as the user chose it, ending in a separator
    std::shared_ptr<const Folder> folder;
    std::error_code error;  // why it could not be opened
    Storage storage;
    // How this system tells its top folder apart from every other: its
    // device and file id, as the run's record names it.
    std::string id;
  };

  // Opens and describes both folders; what they are decides how many
  // requests suit them.
  ComparedTrees(FileSystem& fs, const CompareRequest& compared);

  Tree& tree(int index) { return trees_[index]; }
  // The tree `path` lies in (the deeper one when both hold it), or none.
  Tree* TreeOf(std::string_view path);
  bool AnyRemote() const { return trees_[0].storage.remote || trees_[1].storage.remote; }

  // Opens the folder `folder_text` (a path ending in a separator) from the
  // tree it lies in; a tree's own folder is shared, not opened again.
  // std::errc::invalid_argument when it lies in neither tree, the tree's
  // own error when that could not be opened, else what OpenBeneath says.
  std::error_code OpenBelow(std::string_view folder_text, std::shared_ptr<const Folder>* folder);
  // The same for `relative` (names joined by the separator) below `tree`.
  std::error_code OpenBelow(const Tree& tree, std::string_view relative,
                            std::shared_ptr<const Folder>* folder);

  // What the storage of the folder `folder_text`, opened as `folder`,
  // keeps: found once per folder. May be called from several threads.
  Storage StorageOf(std::string_view folder_text, const Folder& folder);

  // `target` as its folder tells names apart: two names that differ only
  // in letter case are one file where the compared folder ignores case.
  std::string KeyOf(const std::string& target);

  // `path` below its tree's top, '/'-joined, as the run's record keeps it.
  static std::string PathBelow(const Tree& tree, std::string_view path);

 private:
  FileSystem& fs_;
  Tree trees_[2];
  std::mutex mutex_;
  std::unordered_map<std::string, Storage> storages_;  // by folder
};

// Letter case as a folder that ignores it sees a name (ASCII letters).
std::string FoldCase(std::string_view text);

}  // namespace tandrel

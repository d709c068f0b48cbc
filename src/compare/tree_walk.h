// Walking a folder tree: the folder list level by level, and the files of
// one folder.
#pragma once

#include <functional>
#include <memory>
#include <stop_token>
#include <string>
#include <system_error>
#include <vector>

#include "platform/file_system.h"
#include "platform/io_pool.h"

namespace tandrel {

// A folder that could not be listed, and why.
struct UnreadableFolder {
  std::string path;
  std::error_code error;
};

// Called once for every folder of the list, in list order, with the
// folder's entries as the file system listed them.
using FolderVisitor = std::function<void(const std::string& folder, size_t position,
                                         const std::vector<DirEntry>& entries)>;

struct WalkOptions {
  bool recurse = true;
  FolderVisitor visit;  // may be empty
  std::stop_token stop;
  // Where the folders are opened and listed, several at a time; without a
  // pool, one after the other. Either way the visitor is called on the
  // calling thread, in list order.
  IoPool* pool = nullptr;
  // Which files of a listed folder need their times (may be empty). Their
  // times are read while the folder is open, on the thread that listed it,
  // into the entries' write_time, which saves opening the folder again.
  std::function<bool(std::string_view name)> wants_time;
  // Set when the process ran out of descriptors or memory while it listed
  // a folder: the walk stops there, since what it found is incomplete.
  UnreadableFolder* exhausted = nullptr;
};

// Extends `folders` (paths ending in a separator) with their subfolders: all
// immediate subfolders of the given folders (grouped by parent, parents in
// list order, each group in listing order), then theirs, and so on; or only
// the immediate ones without `recurse`. Hidden folders and links to folders
// are not entered. A folder that cannot be listed is left out of the walk
// and reported in the result; the walk goes on with the others. Walks
// iteratively, so any depth is fine.
std::vector<UnreadableFolder> WalkFolders(FileSystem& fs, std::vector<std::string>* folders,
                                          const WalkOptions& options);

// WalkFolders from folders opened already: `roots[k]` is the open folder
// (*folders)[k], or empty when that folder could not be opened (it is
// skipped; the caller reports it). Every folder below them is entered from its
// parent's handle, never through a link: a folder that has become a link
// since it was listed is reported like one that cannot be read.
std::vector<UnreadableFolder> WalkOpenFolders(FileSystem& fs,
                                              std::vector<std::shared_ptr<const Folder>> roots,
                                              std::vector<std::string>* folders,
                                              const WalkOptions& options);

// WalkFolders without a visitor.
std::vector<UnreadableFolder> AddSubFolders(FileSystem& fs, std::vector<std::string>* folders,
                                            bool recurse);

// True when `name` matches a wildcard pattern of '*' and '?'. As on Windows,
// "*.*" matches every name, also one without a dot.
bool MatchesWildcard(std::string_view name, std::string_view pattern);

// The names of the files of `folder` (with or without a trailing separator)
// that match `pattern`, in listing order: hidden files included, folders and
// links to folders left out. Empty when the folder holds none; an error when
// it cannot be listed.
std::error_code ListFiles(FileSystem& fs, const std::string& folder, std::string_view pattern,
                          std::vector<std::string>* names);

// Whether a listed entry is a file that takes part in listings.
inline bool IsListedFile(const DirEntry& entry) { return entry.kind == EntryKind::kFile; }

}  // namespace tandrel

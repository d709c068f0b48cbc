#include "compare/tree_walk.h"

namespace tandrel {

std::vector<UnreadableFolder> WalkFolders(FileSystem& fs, std::vector<std::string>* folders,
                                          const WalkOptions& options) {
  std::vector<UnreadableFolder> unreadable;
  std::vector<DirEntry> entries;
  // A queue over the list itself: the folders found at one level are
  // appended behind it, in the order the level was listed, which is exactly
  // the level-by-level order.
  size_t level_end = folders->size();
  for (size_t i = 0; i < folders->size(); ++i) {
    if (options.stop.stop_requested()) break;
    if (i == level_end) {
      if (!options.recurse) break;
      level_end = folders->size();
    }
    const std::string folder = (*folders)[i];
    if (std::error_code ec = fs.ListFolder(folder, &entries)) {
      unreadable.push_back({folder, ec});
      continue;
    }
    for (const DirEntry& entry : entries) {
      if (entry.kind == EntryKind::kFolder && !entry.hidden) {
        std::string sub = folder;
        if (sub.empty() || sub.back() != kSeparator) sub += kSeparator;
        sub += entry.name;
        sub += kSeparator;
        folders->push_back(std::move(sub));
      }
    }
    if (options.visit) options.visit(folder, i, entries);
  }
  return unreadable;
}

std::vector<UnreadableFolder> AddSubFolders(FileSystem& fs, std::vector<std::string>* folders,
                                            bool recurse) {
  WalkOptions options;
  options.recurse = recurse;
  return WalkFolders(fs, folders, options);
}

bool MatchesWildcard(std::string_view name, std::string_view pattern) {
  if (pattern == "*.*" || pattern == "*") return true;
  // Iterative glob with backtracking to the last '*'.
  size_t n = 0, p = 0, star = std::string_view::npos, resume = 0;
  while (n < name.size()) {
    if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == name[n])) {
      ++n;
      ++p;
    } else if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = n;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      n = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

std::error_code ListFiles(FileSystem& fs, const std::string& folder, std::string_view pattern,
                          std::vector<std::string>* names) {
  names->clear();
  std::vector<DirEntry> entries;
  std::string path = folder;
  if (path.empty() || path.back() != kSeparator) path += kSeparator;
  if (std::error_code ec = fs.ListFolder(path, &entries)) return ec;
  for (DirEntry& entry : entries) {
    if (IsListedFile(entry) && MatchesWildcard(entry.name, pattern)) {
      names->push_back(std::move(entry.name));
    }
  }
  return {};
}

}  // namespace tandrel

#include "compare/tree_walk.h"

namespace tandrel {
namespace {

// How many folder handles the walk keeps open for the sake of their
// subfolders. Past it, a subfolder is reached from its top folder again,
// one name at a time, which costs more but keeps well below the process's
// limit of open files.
constexpr int kKeptFolderLimit = 256;

// A listed folder kept open until its subfolders have been entered.
struct KeptFolder {
  KeptFolder(Folder f, int* live) : folder(std::move(f)), live_(live) { ++*live_; }
  KeptFolder(const KeptFolder&) = delete;
  KeptFolder& operator=(const KeptFolder&) = delete;
  ~KeptFolder() { --*live_; }
  Folder folder;

 private:
  int* live_;
};

// The last name of a folder path that ends in a separator.
std::string_view LastName(const std::string& folder) {
  std::string_view path(folder);
  while (!path.empty() && path.back() == kSeparator) path.remove_suffix(1);
  const size_t cut = path.rfind(kSeparator);
  return cut == std::string_view::npos ? path : path.substr(cut + 1);
}

}  // namespace

std::vector<UnreadableFolder> WalkOpenFolders(FileSystem& fs,
                                              std::vector<std::shared_ptr<const Folder>> roots,
                                              std::vector<std::string>* folders,
                                              const WalkOptions& options) {
  std::vector<UnreadableFolder> unreadable;
  std::vector<DirEntry> entries;
  // How to reach each folder of the list: from its parent's handle while
  // that is kept, otherwise from its top folder by its path below it.
  struct Way {
    std::shared_ptr<KeptFolder> parent;
    std::uint32_t root = 0;
  };
  const size_t root_count = folders->size();
  std::vector<Way> ways(root_count);
  for (size_t k = 0; k < root_count; ++k) ways[k].root = static_cast<std::uint32_t>(k);
  int kept = 0;
  // A queue over the list itself: the folders found at one level are
  // appended behind it, in the order the level was listed, which is exactly
  // the level-by-level order.
  size_t level_end = root_count;
  for (size_t i = 0; i < folders->size(); ++i) {
    if (options.stop.stop_requested()) break;
    if (i == level_end) {
      if (!options.recurse) break;
      level_end = folders->size();
    }
    const std::string folder = (*folders)[i];
    const Way way = std::move(ways[i]);
    const std::shared_ptr<const Folder>& root = roots[way.root];
    if (root == nullptr) continue;  // its top folder could not be opened
    Folder opened;
    const Folder* handle = root.get();
    if (i >= root_count) {
      std::error_code ec;
      if (way.parent != nullptr) {
        ec = fs.OpenFolder(way.parent->folder, LastName(folder), &opened);
      } else {
        const std::string& top = (*folders)[way.root];
        ec = fs.OpenBeneath(*root, std::string_view(folder).substr(top.size()), &opened);
      }
      if (ec) {
        unreadable.push_back({folder, ec});
        continue;
      }
      handle = &opened;
    }
    if (std::error_code ec = fs.List(*handle, &entries)) {
      unreadable.push_back({folder, ec});
      continue;
    }
    std::shared_ptr<KeptFolder> parent;
    for (const DirEntry& entry : entries) {
      if (entry.kind != EntryKind::kFolder || entry.hidden) continue;
      if (parent == nullptr && kept < kKeptFolderLimit && i >= root_count) {
        parent = std::make_shared<KeptFolder>(std::move(opened), &kept);
      }
      std::string sub = folder;
      if (sub.empty() || sub.back() != kSeparator) sub += kSeparator;
      sub += entry.name;
      sub += kSeparator;
      folders->push_back(std::move(sub));
      ways.push_back({parent, way.root});
    }
    if (options.visit) options.visit(folder, i, entries);
  }
  return unreadable;
}

std::vector<UnreadableFolder> WalkFolders(FileSystem& fs, std::vector<std::string>* folders,
                                          const WalkOptions& options) {
  std::vector<std::shared_ptr<const Folder>> roots;
  std::vector<UnreadableFolder> unreadable;
  for (const std::string& folder : *folders) {
    auto root = std::make_shared<Folder>();
    if (std::error_code ec = fs.OpenRoot(folder, root.get())) {
      unreadable.push_back({folder, ec});
      root.reset();
    }
    roots.push_back(std::move(root));
  }
  std::vector<UnreadableFolder> below = WalkOpenFolders(fs, std::move(roots), folders, options);
  unreadable.insert(unreadable.end(), std::make_move_iterator(below.begin()),
                    std::make_move_iterator(below.end()));
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

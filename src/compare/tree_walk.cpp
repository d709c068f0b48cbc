#include "compare/tree_walk.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "compare/file_name.h"
#include "platform/path_text.h"
#include "platform/system.h"

namespace tandrel {
namespace {

// How many folder handles the walk keeps open for the sake of their
// subfolders. Past it, a subfolder is reached from its top folder again,
// one name at a time, which costs more but keeps well below the process's
// limit of open files.
constexpr int kKeptFolderLimit = 256;
// At most a quarter of what the process may hold open is kept, and as much
// again is in flight.
constexpr int kKeptFolderShare = 4;
// Running out of descriptors or memory is waited out a few times (the
// listings in flight give theirs back), then ends the walk.
constexpr int kResourceAttempts = 4;

bool IsOutOfResources(const std::error_code& ec) {
  return ec == std::errc::too_many_files_open || ec == std::errc::too_many_files_open_in_system ||
         ec == std::errc::not_enough_memory;
}

// How many folders ahead of the one being visited may be opened and
// listed already, for each thread of the pool.
constexpr size_t kAheadPerThread = 16;
// A thread lists up to this many folders in a row before it hands them
// over, which saves wake-ups where folders are small.
constexpr size_t kFoldersPerRun = 4;

// A listing that takes longer than this, plus a little for each entry,
// waited for the disk: from the cache a folder lists in some microseconds.
constexpr auto kCachedListing = std::chrono::microseconds(40);
constexpr auto kCachedEntry = std::chrono::nanoseconds(500);
// Once a quarter of the listings so far, 32 or more, waited for the disk,
// the pool lets all its threads list: a cold disk serves many reads at once.
constexpr size_t kListingsBeforeWidening = 32;
constexpr size_t kWaitedShare = 4;

// A listed folder kept open until its subfolders have been entered.
struct KeptFolder {
  KeptFolder(Folder f, std::atomic<int>* live) : folder(std::move(f)), live_(live) { ++*live_; }
  KeptFolder(const KeptFolder&) = delete;
  KeptFolder& operator=(const KeptFolder&) = delete;
  ~KeptFolder() { --*live_; }
  Folder folder;

 private:
  std::atomic<int>* live_;
};

// The last name of a folder path that ends in a separator.
std::string_view LastName(const std::string& folder) {
  return FileNamePart(TrimTrailingSeparators(folder));
}

// One folder opened and listed, perhaps on another thread.
struct Listing {
  bool ready = false;
  bool skipped = false;
  bool waited_for_disk = false;
  std::error_code error;
  Folder folder;  // empty for a top folder, which stays open anyway
  std::vector<DirEntry> entries;
};

// Reads the times of the listed files that `wanted` names and that the
// listing did not give.
void ReadTimesWhileOpen(FileSystem& fs, const Folder& folder,
                        const std::function<bool(std::string_view)>& wanted,
                        std::vector<DirEntry>* entries) {
  std::vector<std::string_view> names;
  std::vector<DirEntry*> picked;
  for (DirEntry& entry : *entries) {
    if (IsListedFile(entry) && !entry.write_time && wanted(entry.name)) {
      names.push_back(entry.name);
      picked.push_back(&entry);
    }
  }
  if (names.empty()) return;
  std::vector<std::optional<FileTime>> times;
  fs.WriteTimesIn(folder, names, &times);
  for (size_t k = 0; k < picked.size(); ++k) picked[k]->write_time = times[k];
}

// The listings in flight, in a ring: folder i is in slot i % size.
class ListingRing {
 public:
  explicit ListingRing(size_t size) : slots_(std::max<size_t>(1, size)) {}
  size_t size() const { return slots_.size(); }
  // Puts the listings of folders first, first + 1, ...
  void PutRun(size_t first, std::vector<Listing> run) {
    std::lock_guard lock(mutex_);
    for (size_t k = 0; k < run.size(); ++k) slots_[(first + k) % slots_.size()] = std::move(run[k]);
    // Only the folder waited for wakes the walk: a listing that finishes
    // ahead of it would wake it for nothing, and a hand-over between
    // threads costs about as much as listing a small folder.
    if (waiting_for_ >= first && waiting_for_ < first + run.size()) listed_.notify_one();
  }
  // Waits for folder i's listing.
  Listing Take(size_t i) {
    std::unique_lock lock(mutex_);
    Listing& slot = slots_[i % slots_.size()];
    waiting_for_ = i;
    listed_.wait(lock, [&] { return slot.ready; });
    waiting_for_ = kNobody;
    Listing listing = std::move(slot);
    slot.ready = false;
    return listing;
  }
  // A list for the next listing to fill: one that a visited listing gave
  // back, whose names' storage is reused, or else a new one. Allocating
  // every name on one thread and freeing it on another costs the walk more
  // than listing does.
  std::vector<DirEntry> Spare() {
    std::lock_guard lock(mutex_);
    if (spares_.empty()) return {};
    std::vector<DirEntry> entries = std::move(spares_.back());
    spares_.pop_back();
    return entries;
  }
  void GiveBack(std::vector<DirEntry> entries) {
    std::lock_guard lock(mutex_);
    if (spares_.size() < slots_.size()) spares_.push_back(std::move(entries));
  }

 private:
  static constexpr size_t kNobody = SIZE_MAX;
  std::vector<Listing> slots_;
  std::vector<std::vector<DirEntry>> spares_;
  std::mutex mutex_;
  std::condition_variable listed_;
  size_t waiting_for_ = kNobody;
};

// Opens and lists one folder: a top folder itself (`root`), or one below it,
// from its kept parent by `name` or else from `root` by the path `below`.
Listing ListOne(FileSystem& fs, const Folder* root, const KeptFolder* parent, bool below_top,
                const std::string& name, const std::string& below,
                const std::function<bool(std::string_view)>& wants_time,
                std::vector<DirEntry> entries) {
  Listing done;
  done.entries = std::move(entries);
  const Folder* handle = root;
  const auto began = std::chrono::steady_clock::now();
  if (root == nullptr) {
    done.skipped = true;  // its top folder could not be opened
  } else {
    for (int attempt = 0; attempt < kResourceAttempts; ++attempt) {
      if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(20 * attempt));
      if (below_top) {
        done.error = parent != nullptr ? fs.OpenFolder(parent->folder, name, &done.folder)
                                       : fs.OpenBeneath(*root, below, &done.folder);
        handle = &done.folder;
      }
      if (!done.error) done.error = fs.List(*handle, &done.entries);
      if (!IsOutOfResources(done.error)) break;
    }
  }
  done.waited_for_disk = std::chrono::steady_clock::now() - began >
                         kCachedListing + kCachedEntry * done.entries.size();
  if (done.skipped || done.error) done.entries.clear();
  if (!done.skipped && !done.error && wants_time) {
    ReadTimesWhileOpen(fs, *handle, wants_time, &done.entries);
  }
  done.ready = true;
  return done;
}

// How to reach each folder of the walk's list: from its parent's handle
// while that is kept, otherwise from its top folder by its path below it.
struct Reach {
  std::vector<std::shared_ptr<KeptFolder>> parents;
  std::vector<std::uint32_t> root_of;
};

// Appends the subfolders that `listing` of `folder` found behind the list,
// keeping the listed folder open for them while fewer than `kept_limit`
// are kept.
void AppendSubfolders(const std::string& folder, std::uint32_t root, bool below_top,
                      Listing& listing, std::atomic<int>& kept, int kept_limit,
                      std::vector<std::string>* folders, Reach* reach) {
  std::shared_ptr<KeptFolder> parent;
  for (const DirEntry& entry : listing.entries) {
    if (entry.kind != EntryKind::kFolder || entry.hidden) continue;
    if (parent == nullptr && kept < kept_limit && below_top) {
      parent = std::make_shared<KeptFolder>(std::move(listing.folder), &kept);
    }
    std::string sub = folder;
    EndWithSeparator(&sub);
    sub += entry.name;
    sub += kSeparator;
    folders->push_back(std::move(sub));
    reach->parents.push_back(parent);
    reach->root_of.push_back(root);
  }
}

}  // namespace

std::vector<UnreadableFolder> WalkOpenFolders(FileSystem& fs,
                                              std::vector<std::shared_ptr<const Folder>> roots,
                                              std::vector<std::string>* folders,
                                              const WalkOptions& options) {
  std::vector<UnreadableFolder> unreadable;
  const size_t root_count = folders->size();
  Reach reach{std::vector<std::shared_ptr<KeptFolder>>(root_count),
              std::vector<std::uint32_t>(root_count)};
  for (size_t k = 0; k < root_count; ++k) reach.root_of[k] = static_cast<std::uint32_t>(k);
  std::atomic<int> kept = 0;
  // A quarter of the process's files for the folders kept, and one for the
  // listings in flight.
  const int share = OpenFileLimit() / kKeptFolderShare;
  const int kept_limit = std::min(kKeptFolderLimit, share);

  IoPool inline_pool(1);
  IoPool& pool = options.pool != nullptr ? *options.pool : inline_pool;
  ListingRing ring(std::min<size_t>(pool.threads() * kAheadPerThread, static_cast<size_t>(share)));
  TaskCount tasks;

  // What opening and listing folder `i` takes.
  struct ToList {
    size_t i;
    std::shared_ptr<KeptFolder> parent;
    std::shared_ptr<const Folder> root;
    std::string name;
    std::string below;
  };
  const auto prepare = [&](size_t i) {
    ToList f{i, std::move(reach.parents[i]), roots[reach.root_of[i]], {}, {}};
    if (i >= root_count) {
      if (f.parent != nullptr) {
        f.name = LastName((*folders)[i]);
      } else {
        f.below = (*folders)[i].substr((*folders)[reach.root_of[i]].size());
      }
    }
    return f;
  };
  // Opens and lists a run of folders, one after the other, and hands them
  // to the walk together.
  const auto start = [&](std::vector<ToList> run) {
    tasks.Submit(pool, [&, run = std::move(run)] {
      std::vector<Listing> listed;
      listed.reserve(run.size());
      for (const ToList& f : run) {
        listed.push_back(ListOne(fs, f.root.get(), f.parent.get(), f.i >= root_count, f.name,
                                 f.below, options.wants_time, ring.Spare()));
      }
      ring.PutRun(run.front().i, std::move(listed));
    });
  };

  // A queue over the list itself: the folders found at one level are
  // appended behind it, in the order the level was listed, which is exactly
  // the level-by-level order.
  size_t level_end = root_count;
  size_t started = 0;
  size_t waited = 0;
  bool widened = false;
  for (size_t i = 0; i < folders->size(); ++i) {
    if (options.stop.stop_requested()) break;
    if (i == level_end) {
      if (!options.recurse) break;
      level_end = folders->size();
    }
    // Folders past the end of this level are known only once the level's
    // folders are listed, and need not be started before they are.
    const size_t limit = options.recurse ? folders->size() : level_end;
    // The ring is topped up once half of it is visited, not a folder at a
    // time: the threads then find a run of folders to list instead of
    // waking for each one.
    if (started < limit && started <= i + ring.size() / 2) {
      const size_t end = std::min(limit, i + ring.size());
      // Runs of a few folders each, as long as every thread gets one.
      const size_t per_run = std::clamp<size_t>(
          (end - started) / std::max<size_t>(1, static_cast<size_t>(pool.threads())), 1,
          kFoldersPerRun);
      while (started < end) {
        std::vector<ToList> run;
        for (; started < end && run.size() < per_run; ++started) run.push_back(prepare(started));
        start(std::move(run));
      }
    }
    Listing listing = ring.Take(i);
    if (!widened) {
      waited += listing.waited_for_disk ? 1 : 0;
      if (i + 1 >= kListingsBeforeWidening && waited * kWaitedShare >= i + 1) {
        pool.Widen();
        widened = true;
      }
    }
    const std::string folder = (*folders)[i];
    if (listing.skipped) continue;
    if (listing.error && IsOutOfResources(listing.error)) {
      // Not an unreadable folder: what it holds is unknown, and a plan
      // without it would propose copies of files that are there.
      if (options.exhausted != nullptr) *options.exhausted = {folder, listing.error};
      break;
    }
    if (listing.error) {
      unreadable.push_back({folder, listing.error});
      continue;
    }
    AppendSubfolders(folder, reach.root_of[i], i >= root_count, listing, kept, kept_limit, folders,
                     &reach);
    if (options.visit) options.visit(folder, i, listing.entries);
    ring.GiveBack(std::move(listing.entries));
  }
  tasks.Wait();
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
  EndWithSeparator(&path);
  if (std::error_code ec = fs.ListFolder(path, &entries)) return ec;
  for (DirEntry& entry : entries) {
    if (IsListedFile(entry) && MatchesWildcard(entry.name, pattern)) {
      names->push_back(std::move(entry.name));
    }
  }
  return {};
}

}  // namespace tandrel

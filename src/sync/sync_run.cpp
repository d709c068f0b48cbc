#include "sync/sync_run.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "compare/file_name.h"
#include "compare/last_modified.h"
#include "compare/plan.h"
#include "platform/io_pool.h"
#include "platform/system.h"
#include "sync/check_copy.h"
#include "sync/held_file.h"
#include "sync/safe_copy.h"
#include "sync/windows_names.h"

namespace tandrel {
namespace {

// Rows are prepared (copied to temporary files) by the threads of a pool,
// a few rows ahead of the one being put in place, and committed in batches:
// the data of a batch is put on disk at once, then its copies are renamed
// into place in row order. One flush per batch instead of one per file.
constexpr size_t kBatchRows = 256;
// Each row of a batch holds its copy open, and its folder: a batch takes at
// most a quarter of what the process may have open.
constexpr int kBatchShareOfFiles = 8;
constexpr std::int64_t kBatchBytes = std::int64_t{64} << 20;

constexpr std::string_view kAlreadyThere =
    "A file of that name already exists there and was not replaced.";
constexpr std::string_view kChangedSinceCompare =
    "The file there has changed since the compare and is now newer than the file to copy, so "
    "it was not replaced.";
constexpr std::string_view kChangedDuringCopy =
    "The file there changed while its copy was being written, so it was not replaced.";
constexpr std::string_view kOutside =
    "It does not lie in either of the two compared folders, so nothing was written.";
constexpr std::string_view kLinkOnTheWayThere =
    "A folder on the way there was replaced by a link since the compare, so nothing was written.";
constexpr std::string_view kGoneOnTheWayThere =
    "A folder on the way there is gone since the compare, so nothing was written.";
constexpr std::string_view kLinkOnTheWayToSource =
    "A folder on the way to the file to copy was replaced by a link since the compare, so "
    "nothing was written.";
constexpr std::string_view kGoneOnTheWayToSource =
    "A folder on the way to the file to copy is gone since the compare, so nothing was written.";

constexpr std::string_view kLinkOutside =
    "It is a link that leads outside the two compared folders and belongs to another user, so "
    "it was not copied.";
// How many links in a row are followed to the file they lead to.
constexpr int kLinkHops = 8;

constexpr std::string_view kKeptChanging =
    "The file to copy was being changed while it was copied, three times over, so it was not "
    "copied. Sync again once it is saved.";

// A leftover on a share may belong to a sync that another computer is
// running (locks are not seen across computers): it is left alone until it
// is this old.
constexpr std::int64_t kRemoteLeftoverSeconds = 24 * 3600;

// Letter case as a folder that ignores it sees a name (ASCII letters).
std::string FoldCase(std::string_view text) {
  std::string folded(text);
  for (char& c : folded) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return folded;
}

std::string CaseTaken(std::string_view there) {
  return "A file whose name differs from it only in letter case, " + std::string(there) +
         ", is already there, and this folder does not tell such names apart, so it was not "
         "replaced.";
}

std::string FailureMessage(const std::string& source, const std::string& target,
                           std::string_view reason) {
  std::string text = "Could not copy\n\n";
  text += source;
  text += "\n\nto\n\n";
  text += target;
  text += "\n\n";
  text += reason;
  return text;
}

// The folder part of a path: up to and including its last separator.
std::string_view FolderPart(std::string_view path) {
  return path.substr(0, path.size() - FileNamePart(path).size());
}

// "copied" is looked for first: an Action holding both words is a copy.
bool IsCopy(const PlanRow& row) { return row.action.find("copied") != std::string::npos; }

// Where a copy or overwrite row puts its file: into the Destination folder
// under the Source's name, or at the Destination itself.
std::string TargetOf(const PlanRow& row, bool copy) {
  std::string target = row.destination;
  if (copy) target += FileNamePart(row.source);
  return target;
}

// One ticked copy or overwrite row on its way.
struct Job {
  int position = 0;
  PlanRow row;
  bool overwrite = false;
  std::string target;  // the path the file goes to
  std::string_view target_name;
  std::string_view target_folder;        // as text, ending in a separator
  std::shared_ptr<const Folder> folder;  // the target's
  Storage storage;                       // the target folder's
  std::string key;                       // the target as its folder tells names apart
  TemporaryCopy copy;
  // Flushed and closed while it was prepared (storage that syncfs does not
  // reach, and servers that will not rename an open file).
  bool closed = false;
  bool time_kept = true;
  bool placed = false;
  // Not performed: this run already put a newer file at the target.
  bool superseded = false;
  // What stood at the target before the copy began (overwrites): the rename
  // goes ahead only if that is still there.
  std::optional<FileStamp> seen;
  // What the copy will be at the target, as the run's journal records it.
  FileStamp put_stamp;
  // What stood there is moved aside into the run's record (see run_record.h).
  bool keep = false;
  bool kept = false;
  // Set before the job is prepared: this run writes the target before it.
  bool target_is_ours = false;
  // Set by the thread that prepared it, under the run's lock.
  bool ready = false;
  std::optional<std::string> failure;
  bool out_of_space = false;
};

class Run {
 public:
  Run(PlanList& plan, const CompareRequest& compared, Shell& shell, FileSystem& fs,
      const SyncOptions& options)
      : plan_(plan),
        shell_(shell),
        fs_(fs),
        keep_going_(options.keep_going),
        stop_(options.stop),
        progress_(options.progress),
        keep_days_(options.keep_days) {
    roots_[0].text = compared.folder1;
    roots_[1].text = compared.folder2;
    for (Root& root : roots_) {
      if (root.text.empty() || root.text.back() != kSeparator) root.text += kSeparator;
    }
    // The top folders are opened and described once, here: what they are
    // decides how many requests suit them.
    OpenRootOf(roots_[0].text);
    OpenRootOf(roots_[1].text);
    const bool remote = roots_[0].storage.remote || roots_[1].storage.remote;
    pool_.emplace(options.io_threads == IoPool::kFitStorage ? IoPool::ThreadsFor(remote)
                                                            : options.io_threads);
  }

  // Whatever still runs on the pool is waited for first, also when the run
  // ends by an exception.
  ~Run() { tasks_.Wait(); }

  // Performs the rows; false when a row failed and the run stopped there.
  bool PerformAll() {
    const bool performed = DispatchAll();
    // Whatever is still being prepared after a failure is let go of.
    tasks_.Wait();
    DiscardAll(queue_);
    RemoveLeftBehind();
    EndRecords();
    // Counting the sizes takes less than copying them, so this rarely waits;
    // a stopped run stops counting too.
    if (sizer_.joinable()) sizer_.join();
    return performed;
  }

  // Names the leftovers removed, and the copies whose times the file system
  // did not keep, if any.
  void TellAfterwards() {
    Tell(kLeftoversRemoved, leftovers_);
    Tell(kTimesNotKept, times_not_kept_);
    Tell(kNotKept, not_kept_);
    Tell(kRemovedForRoom, removed_for_room_);
    Tell(kSuperseded, superseded_);
    Tell(kTemporariesLeft, left_behind_);
  }

  bool any_failed() const { return any_failed_; }
  bool stopped() const { return stopped_; }

 private:
  struct Root {
    std::string text;  // ends in a separator
    std::shared_ptr<Folder> folder;
    std::error_code error;
    Storage storage;
    bool opened = false;
    // A ticked row writes into this tree.
    bool receives = false;
    // What this run keeps in the tree.
    std::unique_ptr<RunRecord> record;
  };

  // Before the first row: in each tree that rows write into, removes what
  // was kept there too long ago, and makes the run's record.
  void StartRecords() {
    constexpr std::int64_t kDay = 24 * 3600;
    // One name in both trees, so that undo finds the run's two halves: a
    // run that began in the same second gets " (2)" after its name.
    const std::string first = run_name_;
    for (int attempt = 2;; ++attempt) {
      const bool taken = std::any_of(std::begin(roots_), std::end(roots_), [&](const Root& root) {
        return root.receives && !root.error && RunExists(fs_, *root.folder, run_name_);
      });
      if (!taken || attempt > 100) break;
      run_name_ = first + " (" + std::to_string(attempt) + ")";
    }
    for (Root& root : roots_) {
      if (!root.receives || root.error || &root != RootOf(root.text)) continue;
      RemoveRunsBefore(fs_, *root.folder, started_ - keep_days_ * kDay, run_name_);
      if (keep_days_ == 0) continue;
      root.record = std::make_unique<RunRecord>(fs_, root.folder, root.storage, run_name_);
      std::shared_ptr<const Folder> made;
      if (root.record->RunFolder(&made)) root.record.reset();
    }
  }

  // After the last row: a record in which nothing was done goes.
  void EndRecords() {
    for (Root& root : roots_) {
      if (root.record != nullptr && root.record->Empty()) root.record->Remove();
    }
  }

  // A target's path below its tree's top, '/'-joined.
  static std::string PathBelow(const Root& root, std::string_view target) {
    std::string path(target.substr(root.text.size()));
    std::replace(path.begin(), path.end(), kSeparator, '/');
    return path;
  }

  // Writes what the renames of a batch are about to do into each tree's
  // journal, and flushes it, before any of them is made. Where that cannot
  // be done, the files replaced are not kept.
  void NoteIntents(const std::vector<std::unique_ptr<Job>>& batch, size_t end) {
    std::vector<Root*> touched;
    for (size_t i = 0; i < end; ++i) {
      Job& job = *batch[i];
      if (job.failure) continue;
      Root* root = RootOf(job.target);
      RunRecord* record = root != nullptr ? root->record.get() : nullptr;
      job.keep = job.overwrite && job.seen.has_value() && !job.target_is_ours;
      if (record == nullptr) {
        if (job.keep && keep_days_ > 0) not_kept_.push_back(job.target);
        job.keep = false;
        continue;
      }
      const std::string path = PathBelow(*root, job.target);
      if (job.keep) record->NoteKeep(path, *job.seen);
      record->NotePut(path, job.put_stamp);
      if (std::find(touched.begin(), touched.end(), root) == touched.end()) touched.push_back(root);
    }
    for (Root* root : touched) {
      if (!root->record->Flush()) continue;
      root->record.reset();
      for (size_t i = 0; i < end; ++i) {
        Job& job = *batch[i];
        if (RootOf(job.target) != root || !job.keep) continue;
        job.keep = false;
        not_kept_.push_back(job.target);
      }
    }
  }

  // On a share each move is a round trip: what the batch's overwrites
  // replace there is moved aside side by side on the pool, before the
  // renames. On a local disk each is moved in row order, in PutInPlace.
  void MoveAsideAll(const std::vector<std::unique_ptr<Job>>& batch, size_t end) {
    TaskCount moving;
    for (size_t i = 0; i < end; ++i) {
      Job& job = *batch[i];
      if (job.keep && job.storage.remote && !job.failure) {
        moving.Submit(*pool_, [this, &job] { job.failure = MoveAside(job); });
      }
    }
    moving.Wait();
  }

  // Moves aside the file the row replaces, right after a last look that it
  // is still what stood there when the copy began. Where it cannot be moved
  // in one step (a disk mounted inside the tree, a driver without the
  // rename) it stays, to be replaced as without keeping.
  std::optional<std::string> MoveAside(Job& job) {
    FileInfo now;
    const std::error_code ec = fs_.StatAt(*job.folder, job.target_name, FollowLinks::kNo, &now);
    if (ec && ec != std::errc::no_such_file_or_directory) return Sentence(ec);
    if (ec || now.stamp != *job.seen) return std::string(kChangedDuringCopy);
    Root* const root = RootOf(job.target);
    const std::error_code kept = RetryWhileHeld(
        [&] {
          return root->record->Keep(*job.folder, PathBelow(*root, job.target), job.target_name);
        },
        job.storage, stop_);
    if (kept == std::errc::cross_device_link || kept == std::errc::operation_not_supported) {
      std::lock_guard lock(mutex_);
      job.keep = false;
      not_kept_.push_back(job.target);
      return std::nullopt;
    }
    if (kept) return WhyNotReplaced(job, kept);
    job.kept = true;
    return std::nullopt;
  }

  // The reason a row's target could not be moved aside or replaced; where
  // another program may hold it, says so and names the program if the
  // system can tell.
  std::string WhyNotReplaced(const Job& job, const std::error_code& ec) {
    if (!MayBeHeld(ec, job.storage)) return Sentence(ec);
    return HeldReason(ec, job.storage, job.target, fs_.ProgramHolding(*job.folder, job.target_name),
                      "replaced");
  }

  // Puts back what was moved aside for rows that were then not put in place.
  void PutBackUnplaced(const std::vector<std::unique_ptr<Job>>& batch) {
    for (const auto& job : batch) {
      if (!job->kept || job->placed) continue;
      Root* const root = RootOf(job->target);
      (void)root->record->PutBack(*job->folder, PathBelow(*root, job->target), job->target_name);
      job->kept = false;
    }
  }

  // The disk of `job`'s target is full: removes the oldest run kept in its
  // tree (never this one); false when there is none.
  bool MakeRoom(const Job& job) {
    Root* root = RootOf(job.target);
    if (root == nullptr || root->error) return false;
    for (const std::string& run : RunsIn(fs_, *root->folder)) {
      if (run == run_name_) continue;
      const std::int64_t after = *RunStart(run) + 1;
      if (RemoveRunsBefore(fs_, *root->folder, after, run_name_).empty()) return false;
      removed_for_room_.push_back(RunFolderText(root->text, run));
      return true;
    }
    return false;
  }

  void Tell(std::string_view heading, const std::vector<std::string>& paths) {
    if (paths.empty()) return;
    std::string text(heading);
    text += "\n";
    for (const std::string& path : paths) text += "\n" + path;
    shell_.ShowMessage(text);
  }

  // The targets that more than one ticked row writes: only for these must
  // the run remember what it put there.
  // Hashes come first, so that only the targets that may repeat are kept as
  // text: a plan of millions of rows needs no set of all its targets.
  // Also counts the ticked rows for the progress, and starts adding up the
  // sizes of their sources.
  void FindRepeatedTargets(int count) {
    std::string sources;  // each followed by a NUL
    const auto keys = [&](const std::function<void(std::string)>& use, bool first) {
      for (int position = 1; position <= count; ++position) {
        const PlanRow row = plan_.Row(position);
        if (!row.checked) continue;
        const std::string target = TargetOf(row, IsCopy(row));
        OpenRootOf(FolderPart(target));
        if (Root* root = RootOf(target)) root->receives = true;
        use(KeyOf(target));
        if (first && progress_ != nullptr) {
          progress_->rows_total.fetch_add(1);
          sources.append(row.source).push_back('\0');
        }
      }
    };
    std::vector<size_t> hashes;
    keys([&](std::string key) { hashes.push_back(std::hash<std::string>{}(key)); }, true);
    if (progress_ != nullptr) CountBytes(std::move(sources));
    std::sort(hashes.begin(), hashes.end());
    std::unordered_set<size_t> shared;
    for (size_t i = 1; i < hashes.size(); ++i) {
      if (hashes[i] == hashes[i - 1]) shared.insert(hashes[i]);
    }
    if (shared.empty()) return;
    std::unordered_set<std::string> seen;
    keys(
        [&](std::string key) {
          if (!shared.contains(std::hash<std::string>{}(key))) return;
          if (!seen.insert(key).second) repeated_.insert(std::move(key));
        },
        false);
  }

  // Adds up the sizes of `sources` (paths, each followed by a NUL) on a
  // thread of its own, beside the run: only the progress waits for them.
  void CountBytes(std::string sources) {
    sizer_ = std::jthread([this, sources = std::move(sources)](std::stop_token own) {
      for (size_t at = 0; at < sources.size();) {
        if (own.stop_requested() || stop_.stop_requested()) return;
        const size_t end = sources.find('\0', at);
        FileInfo info;
        if (!fs_.Stat(sources.substr(at, end - at), FollowLinks::kYes, &info)) {
          progress_->bytes_total.fetch_add(static_cast<std::int64_t>(info.stamp.size));
        }
        at = end + 1;
      }
      progress_->bytes_counted = true;
    });
  }

  // A target as its folder tells names apart: two names that differ only in
  // letter case are one file where the compared folder ignores case.
  std::string KeyOf(const std::string& target) {
    const Root* root = RootOf(target);
    return root != nullptr && root->storage.ignores_case ? FoldCase(target) : target;
  }

  // Opens the compared folder that `path` lies in, if not yet done.
  void OpenRootOf(std::string_view path) {
    Root* root = RootOf(path);
    if (root == nullptr || root->opened) return;
    root->folder = std::make_shared<Folder>();
    root->error = fs_.OpenRoot(root->text, root->folder.get());
    if (!root->error) (void)fs_.Describe(*root->folder, &root->storage);
    root->opened = true;
  }

  // What the storage of a target folder keeps, found once per folder.
  Storage StorageOf(std::string_view folder_text, const Folder& folder) {
    {
      std::lock_guard lock(mutex_);
      if (auto found = storages_.find(std::string(folder_text)); found != storages_.end()) {
        return found->second;
      }
    }
    Storage storage;
    if (const Root* root = RootOf(folder_text); root != nullptr && root->text == folder_text) {
      storage = root->storage;
    } else {
      (void)fs_.Describe(folder, &storage);
    }
    std::lock_guard lock(mutex_);
    storages_.emplace(folder_text, storage);
    return storage;
  }

  // The compared folder `path` lies in (the deeper one when both hold it).
  Root* RootOf(std::string_view path) {
    Root* best = nullptr;
    for (Root& root : roots_) {
      if (path.starts_with(root.text) &&
          (best == nullptr || root.text.size() > best->text.size())) {
        best = &root;
      }
    }
    return best;
  }

  // Opens the folder `folder_text` (ending in a separator) from the compared
  // folder it lies in; the reason in words when it cannot. A compared folder
  // itself is shared, not opened again.
  std::optional<std::string> OpenBelow(std::string_view folder_text, bool source,
                                       std::shared_ptr<const Folder>* folder) {
    const Root* root = RootOf(folder_text);
    if (root == nullptr) return std::string(kOutside);
    if (root->error) return Sentence(root->error);
    const std::string_view below = folder_text.substr(root->text.size());
    if (below.empty()) {
      *folder = root->folder;
      return std::nullopt;
    }
    auto opened = std::make_shared<Folder>();
    const std::error_code ec = fs_.OpenBeneath(*root->folder, below, opened.get());
    *folder = std::move(opened);
    if (!ec) return std::nullopt;
    if (ec == std::errc::too_many_symbolic_link_levels) {
      return std::string(source ? kLinkOnTheWayToSource : kLinkOnTheWayThere);
    }
    if (ec == std::errc::no_such_file_or_directory || ec == std::errc::not_a_directory) {
      return std::string(source ? kGoneOnTheWayToSource : kGoneOnTheWayThere);
    }
    if (ec == std::errc::invalid_argument) return std::string(kOutside);
    return Sentence(ec);
  }

  // Removes, once per folder, the temporaries that an interrupted run left
  // there. Best effort: what cannot be listed or removed stays.
  void SweepLeftovers(std::string_view folder_text, const Folder& folder, const Storage& storage) {
    {
      std::lock_guard lock(mutex_);
      if (!swept_.emplace(folder_text).second) return;
    }
    std::vector<DirEntry> entries;
    if (fs_.List(folder, &entries)) return;
    for (const DirEntry& entry : entries) {
      if (entry.kind != EntryKind::kFile || !names_.IsOthers(entry.name)) continue;
      if (storage.remote && !OldEnough(folder, entry.name)) continue;
      bool removed = false;
      if (!fs_.RemoveIfNotHeld(folder, entry.name, &removed) && removed) {
        std::lock_guard lock(mutex_);
        leftovers_.push_back(std::string(folder_text) + entry.name);
      }
    }
  }

  // Whether a leftover on a share was made long enough ago that no sync of
  // another computer can still be writing it: its name tells when its run
  // began (an older name, when it was last written).
  bool OldEnough(const Folder& folder, std::string_view name) {
    std::optional<std::int64_t> started = TempNames::StartedAt(name);
    if (!started) {
      FileInfo info;
      if (fs_.StatAt(folder, name, FollowLinks::kNo, &info)) return false;
      started = info.stamp.write_seconds;
    }
    return UnixSecondsNow() - *started > kRemoteLeftoverSeconds;
  }

  // Writes the row's temporary copy beside its target. Runs on a thread of
  // the pool, beside the preparing of other rows.
  std::optional<std::string> Prepare(Job& job) {
    const PlanRow& row = job.row;
    const std::string_view name = FileNamePart(row.source);
    if (name.empty() || job.target_name.empty()) return std::string(kOutside);

    std::shared_ptr<const Folder> from;
    if (auto failure = OpenBelow(FolderPart(row.source), /*source=*/true, &from)) return failure;
    if (auto failure = OpenBelow(job.target_folder, /*source=*/false, &job.folder)) return failure;
    const Folder& folder = *job.folder;
    job.storage = StorageOf(job.target_folder, folder);
    // Asked to take such a name, a share may fail for a few seconds
    // whatever it is asked next, or keep the file under another name.
    if (job.storage.windows_names && !job.overwrite) {
      if (std::optional<std::string> refused = WindowsRefuses(job.target_name)) {
        return *refused + ", and the share keeps names as Windows does, so " + row.source +
               " was not copied.";
      }
    }
    SweepLeftovers(job.target_folder, folder, job.storage);

    if (job.overwrite) {
      FileInfo source;
      if (std::error_code ec = fs_.StatAt(*from, name, FollowLinks::kYes, &source)) {
        return Sentence(ec);
      }
      FileInfo there;
      const std::error_code ec = fs_.StatAt(folder, job.target_name, FollowLinks::kNo, &there);
      if (ec && ec != std::errc::no_such_file_or_directory) return Sentence(ec);
      if (!ec) {
        job.seen = there.stamp;
        std::optional<FileTime> there_time = there.write_time;
        if (there.is_link) {
          FileInfo target;
          there_time.reset();
          if (!fs_.StatAt(folder, job.target_name, FollowLinks::kYes, &target)) {
            there_time = target.write_time;
          }
        }
        if (!job.target_is_ours && CompareWriteTimes(there_time, source.write_time) > 0) {
          return std::string(kChangedSinceCompare);
        }
      }
    }
    if (progress_ != nullptr) progress_->SetFile(row.source);
    // A link is read through only where that is safe (see CopyFromLink).
    std::error_code ec =
        WriteWholeCopy(fs_, *from, name, folder, names_, &job.copy, FollowLinks::kNo, &watch_);
    if (ec == std::errc::too_many_symbolic_link_levels) {
      if (auto failure = CopyFromLink(job, from, name, &ec)) return failure;
    }
    if (ec) {
      job.out_of_space = IsOutOfSpace(ec);
      if (ec == std::errc::resource_unavailable_try_again) return std::string(kKeptChanging);
      return Sentence(ec);
    }
    if (job.storage.remote) {
      // Flushing the whole file system would not reach this storage: the
      // file is flushed itself, here, beside the other rows' copies; and
      // closed, so that a write the server refused is heard of, and so that
      // a server that will not rename an open file can rename it.
      OpenFile* const file = &job.copy.file;
      size_t failed = 0;
      if (std::error_code ec = fs_.FlushFiles({&file, 1}, &failed)) {
        job.out_of_space = IsOutOfSpace(ec);
        return Sentence(ec);
      }
      if (std::error_code ec = fs_.CloseTemporary(job.copy.file, /*keep_held=*/false)) {
        job.out_of_space = IsOutOfSpace(ec);
        return Sentence(ec);
      }
      job.closed = true;
    }
    FileInfo placed;
    std::optional<std::string> failure = CheckCopy(fs_, folder, job.copy.name, job.copy.source,
                                                   job.storage, &job.time_kept, &placed);
    job.put_stamp = job.copy.source.stamp;
    job.put_stamp.device = 0;
    job.put_stamp.file_id = placed.stamp.file_id;
    return failure;
  }

  // Copies the file a link at the source leads to. A link of the user this
  // runs as is read through, as the kernel's protected_symlinks rule would
  // let that user; anyone else's only where it leads to a file inside the
  // compared folders, reached from there one folder at a time: run by root
  // over a user's folders, a link must not carry a file of the machine into
  // a place that user can read.
  std::optional<std::string> CopyFromLink(Job& job, std::shared_ptr<const Folder> folder,
                                          std::string_view name, std::error_code* ec) {
    std::string path = job.row.source;
    std::string resolved_name(name);
    for (int hop = 0; hop < kLinkHops; ++hop) {
      FileInfo link;
      if ((*ec = fs_.StatAt(*folder, resolved_name, FollowLinks::kNo, &link))) return std::nullopt;
      if (!link.is_link) break;
      if (link.owned_by_caller && hop == 0) {
        *ec = WriteWholeCopy(fs_, *folder, resolved_name, *job.folder, names_, &job.copy,
                             FollowLinks::kYes, &watch_);
        return std::nullopt;
      }
      std::string target;
      if ((*ec = fs_.ReadLink(*folder, resolved_name, &target))) return std::nullopt;
      const std::optional<std::string> inside = LexicallyInside(FolderPart(path), target);
      if (!inside) return std::string(kLinkOutside);
      path = *inside;
      resolved_name = FileNamePart(path);
      if (auto failure = OpenBelow(FolderPart(path), /*source=*/true, &folder)) return failure;
    }
    *ec = WriteWholeCopy(fs_, *folder, resolved_name, *job.folder, names_, &job.copy,
                         FollowLinks::kNo, &watch_);
    if (*ec == std::errc::too_many_symbolic_link_levels) return std::string(kLinkOutside);
    return std::nullopt;
  }

  // The path a link's `target` names from the folder `folder_text`, with "."
  // and ".." taken away by the text alone, when it lies in one of the
  // compared folders.
  std::optional<std::string> LexicallyInside(std::string_view folder_text,
                                             std::string_view target) {
    std::string joined = !target.empty() && target.front() == kSeparator
                             ? std::string(target)
                             : std::string(folder_text) + std::string(target);
    const bool absolute = !joined.empty() && joined.front() == kSeparator;
    std::vector<std::string_view> names;
    std::string_view rest = joined;
    while (!rest.empty()) {
      const size_t cut = rest.find(kSeparator);
      const std::string_view part = rest.substr(0, cut);
      rest = cut == std::string_view::npos ? std::string_view() : rest.substr(cut + 1);
      if (part.empty() || part == ".") continue;
      if (part == "..") {
        if (names.empty()) return std::nullopt;
        names.pop_back();
        continue;
      }
      names.push_back(part);
    }
    std::string path = absolute ? std::string(1, kSeparator) : std::string();
    for (size_t i = 0; i < names.size(); ++i) {
      if (i > 0) path += kSeparator;
      path += names[i];
    }
    const Root* root = RootOf(path);
    if (root == nullptr || path.size() <= root->text.size()) return std::nullopt;
    return path;
  }

  // A full disk, or the user's quota on it used up.
  static bool IsOutOfSpace(const std::error_code& ec) {
#ifdef EDQUOT
    if (ec == std::error_code(EDQUOT, std::generic_category())) return true;
#endif
    return ec == std::errc::no_space_on_device;
  }

  // The name there that differs from the target's only in letter case.
  std::optional<std::string> CaseVariantThere(const Job& job) {
    // A handle of its own: some drivers (smbnetfs) list a folder only once
    // per handle, and the sweep may have listed this one.
    Folder fresh;
    std::vector<DirEntry> entries;
    if (fs_.OpenFolder(*job.folder, ".", &fresh) || fs_.List(fresh, &entries)) return std::nullopt;
    const std::string folded = FoldCase(job.target_name);
    for (const DirEntry& entry : entries) {
      if (entry.name != job.target_name && FoldCase(entry.name) == folded) return entry.name;
    }
    return std::nullopt;
  }

  // Renames a prepared row's copy into place after checking, as late as
  // possible, that what stands there is what the row may replace.
  std::optional<std::string> PutInPlace(Job& job) {
    if (!job.closed) {
      // What the storage says at close is heard before the copy is used.
      if (std::error_code ec = fs_.CloseTemporary(job.copy.file, /*keep_held=*/true)) {
        return Sentence(ec);
      }
    }
    const auto own = written_.find(job.key);
    if (own != written_.end()) {
      // Of several rows that write one target, the newest source stays
      // there, whatever order the rows come in.
      if (CompareWriteTimes(job.copy.source.write_time, own->second.source_time) < 0) {
        job.superseded = true;
        return std::nullopt;
      }
    }
    if (job.keep && !job.kept) {
      if (std::optional<std::string> failure = MoveAside(job)) return failure;
    }
    bool replace = (job.overwrite || own != written_.end()) && !job.kept;
    if (replace) {
      FileInfo now;
      const std::error_code ec = fs_.StatAt(*job.folder, job.target_name, FollowLinks::kNo, &now);
      if (ec && ec != std::errc::no_such_file_or_directory) return Sentence(ec);
      std::optional<FileStamp> there;
      if (!ec) there = now.stamp;
      const std::optional<FileStamp>& expected =
          own != written_.end() ? own->second.stamp : job.seen;
      if (there != expected) return std::string(kChangedDuringCopy);
    }
    // A kept file was moved aside (MoveAside): the copy takes its empty
    // place, and a crash in between leaves the one kept and the other in
    // its temporary, never neither.
    const auto rename = [&] {
      return fs_.RenameTemporary(*job.folder, job.copy.name, job.copy.file, job.target_name,
                                 replace);
    };
    // Only a file that is there can be held by another program.
    if (std::error_code ec = replace ? RetryWhileHeld(rename, job.storage, stop_) : rename()) {
      if (job.kept && ec == std::errc::file_exists) return std::string(kChangedDuringCopy);
      if (!replace && ec == std::errc::file_exists) {
        if (std::optional<std::string> there = CaseVariantThere(job)) return CaseTaken(*there);
        return std::string(kAlreadyThere);
      }
      return replace ? WhyNotReplaced(job, ec) : Sentence(ec);
    }
    job.copy.name.clear();
    job.placed = true;
    // Some drivers stamp a file with the time of its rename. What this run
    // must recognise again at the target is mended now; the rest of the
    // batch side by side, before its folders are flushed.
    if (job.storage.remote && repeated_.contains(job.key)) MendPlacedTimes(job);
    // Closing may wait for a round trip to a network share: it is done on
    // the pool, beside the next rows; but at once where a later row of this
    // run replaces the file (Windows does not replace a file still open).
    if (repeated_.contains(job.key)) {
      job.copy.file.Reset();
    } else {
      tasks_.Submit(
          *pool_, [file = std::make_shared<OpenFile>(std::move(job.copy.file))] { file->Reset(); });
    }
    if (repeated_.contains(job.key)) {
      FileInfo now;
      Written& mine = written_[job.key];
      mine.source_time = job.copy.source.write_time;
      mine.stamp.reset();
      if (!fs_.StatAt(*job.folder, job.target_name, FollowLinks::kNo, &now)) mine.stamp = now.stamp;
    }
    return std::nullopt;
  }

  // A share may accept a rename to a name it cannot keep and then hold the
  // file under another name (Samba shows a name ending in a dot under a
  // short one, smbnetfs cuts a name at '?'), while a lookup of the name
  // still finds it, through a cache or the server's own mapping. So the
  // names a share may change are looked for in a fresh listing of their
  // folder, once per folder and batch; a copy whose name is not there is
  // removed by the name it was given, which still leads to it, and its row
  // fails. A name made only of letters, digits, '-', '_' and dots is kept
  // everywhere, and costs no listing.
  void CheckNamesKept(const std::vector<std::unique_ptr<Job>>& batch, size_t end) {
    std::vector<std::vector<Job*>> by_folder;
    for (size_t i = 0; i < end; ++i) {
      Job& job = *batch[i];
      if (!job.placed || job.overwrite || !job.storage.remote || PlainName(job.target_name)) {
        continue;
      }
      auto same = std::find_if(by_folder.begin(), by_folder.end(), [&](const auto& jobs) {
        return jobs.front()->target_folder == job.target_folder;
      });
      if (same == by_folder.end()) same = by_folder.insert(by_folder.end(), std::vector<Job*>());
      same->push_back(&job);
    }
    for (const std::vector<Job*>& jobs : by_folder) {
      // A handle of its own, so that nothing the rename left behind answers.
      Folder fresh;
      std::vector<DirEntry> entries;
      if (fs_.OpenFolder(*jobs.front()->folder, ".", &fresh) || fs_.List(fresh, &entries)) continue;
      std::unordered_set<std::string_view> names;
      for (const DirEntry& entry : entries) names.insert(entry.name);
      for (Job* job : jobs) {
        if (names.contains(job->target_name)) continue;
        job->placed = false;
        const std::string folded = FoldCase(job->target_name);
        const auto variant = std::find_if(entries.begin(), entries.end(), [&](const DirEntry& e) {
          return FoldCase(e.name) == folded;
        });
        if (job->storage.ignores_case && variant != entries.end()) {
          // The file there may be the user's: it stays.
          job->failure = CaseTaken(variant->name);
          continue;
        }
        bool removed = false;
        const std::error_code ec = fs_.RemoveIfNotHeld(*job->folder, job->target_name, &removed);
        job->failure =
            "The share did not keep the name " + std::string(job->target_name) +
            " (it may not allow some characters, or a name ending in a dot or a "
            "space), so the copy was " +
            (removed ? std::string("removed.") : "left there under another name: " + Sentence(ec));
      }
    }
  }

  void MendPlacedTimes(Job& job) {
    if (!MendTimes(fs_, *job.folder, job.target_name, job.copy.source, job.storage)) {
      job.time_kept = false;
    }
  }

  bool DispatchAll() {
    const int count = plan_.Count();
    FindRepeatedTargets(count);
    StartRecords();
    for (int from = 1;;) {
      if (DispatchFrom(from, count)) return true;
      if (retry_from_ == 0) return false;
      // The disk filled up while copies were written ahead of the row that
      // failed: they are let go of, and the rest goes one row at a time, as
      // a run without them would have gone.
      from = std::exchange(retry_from_, 0);
      tasks_.Wait();
      DiscardAll(queue_);
      queue_.clear();
      pending_targets_.clear();
      ready_bytes_ = 0;
      one_at_a_time_ = true;
    }
  }

  bool DispatchFrom(int from, int count) {
    for (int position = from; position <= count; ++position) {
      if (stop_.stop_requested()) {
        stopped_ = true;
        return false;
      }
      PlanRow row = plan_.Row(position);
      if (!row.checked) continue;
      const bool copy = IsCopy(row);
      if (!copy && row.action.find("overwrite") == std::string::npos) {
        // The rows before it are done before the message shows.
        if (!Commit(queue_.size())) return false;
        shell_.ShowMessage(kContactMe);
        continue;
      }
      // A row that reads what an earlier row is about to write waits for it.
      if (pending_targets_.contains(KeyOf(row.source)) && !Commit(queue_.size())) return false;
      auto job = std::make_unique<Job>();
      job->position = position;
      job->row = std::move(row);
      job->overwrite = !copy;
      Dispatch(std::move(job));
      WaitForRoomAhead();
      if (one_at_a_time_ || queue_.size() >= batch_rows_ || ReadyBytes() >= kBatchBytes) {
        if (!Commit(queue_.size() - InFlight())) return false;
      }
    }
    // The last rows: those written go in place while a long copy behind
    // them is still being written, so that the rows done keep up with it.
    while (!queue_.empty()) {
      if (!Commit(ReadyAhead())) return false;
    }
    return true;
  }

  // How many queued rows from the front are written: all of them, unless
  // that takes over a second; then as many as are, once one is.
  size_t ReadyAhead() {
    constexpr auto kMoment = std::chrono::seconds(1);
    std::unique_lock lock(mutex_);
    const auto all_ready = [&] {
      return std::all_of(queue_.begin(), queue_.end(), [](const auto& job) { return job->ready; });
    };
    if (changed_.wait_for(lock, kMoment, all_ready)) return queue_.size();
    changed_.wait(lock, [&] { return queue_.front()->ready; });
    size_t count = 0;
    while (count < queue_.size() && queue_[count]->ready) ++count;
    return count;
  }

  // Works out the row's target and starts writing its copy on the pool.
  void Dispatch(std::unique_ptr<Job> job) {
    Job& j = *job;
    j.target = TargetOf(j.row, !j.overwrite);
    j.target_name = FileNamePart(j.target);
    j.target_folder = FolderPart(j.target);
    j.key = KeyOf(j.target);
    j.target_is_ours = written_.contains(j.key) || pending_targets_.contains(j.key);
    pending_targets_.insert(j.key);
    // The top folders are opened here, on one thread, once.
    OpenRootOf(FolderPart(j.row.source));
    OpenRootOf(j.target_folder);
    queue_.push_back(std::move(job));
    tasks_.Submit(*pool_, [this, &j] {
      std::optional<std::string> failure = Prepare(j);
      std::lock_guard lock(mutex_);
      j.failure = std::move(failure);
      j.ready = true;
      if (!j.failure) ready_bytes_ += j.copy.source.stamp.size;
      changed_.notify_all();
    });
  }

  // Keeps at most one row per thread of the pool being prepared.
  void WaitForRoomAhead() {
    std::unique_lock lock(mutex_);
    const size_t ahead = one_at_a_time_ ? 1 : ThreadsAhead();
    changed_.wait(lock, [&] { return InFlightLocked() < ahead; });
  }

  size_t ThreadsAhead() const { return static_cast<size_t>(std::max(1, pool_->threads())); }

  size_t InFlightLocked() const {
    size_t count = 0;
    for (const auto& job : queue_) count += job->ready ? 0 : 1;
    return count;
  }

  size_t InFlight() {
    std::lock_guard lock(mutex_);
    return InFlightLocked();
  }

  std::int64_t ReadyBytes() {
    std::lock_guard lock(mutex_);
    return ready_bytes_;
  }

  // Puts the first `count` rows of the queue in place in row order and
  // marks them "Done" once they would survive a power cut. False when one
  // of them failed and the run stops there; with keep-going every row that
  // can be is put in place, and each failure is told.
  bool Commit(size_t count) {
    if (count == 0) return true;
    {
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [&] {
        return std::all_of(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(count),
                           [](const auto& job) { return job->ready; });
      });
    }
    // Stopped while the batch was written (its copies may have been cut
    // short): none of it is put in place, and nothing is said of it.
    if (stop_.stop_requested()) {
      stopped_ = true;
      return false;
    }
    std::vector<std::unique_ptr<Job>> batch(std::make_move_iterator(queue_.begin()),
                                            std::make_move_iterator(queue_.begin() + count));
    queue_.erase(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(count));
    {
      std::lock_guard lock(mutex_);
      for (const auto& job : batch) {
        if (!job->failure) ready_bytes_ -= job->copy.source.stamp.size;
      }
    }
    pending_targets_.clear();
    for (const auto& job : queue_) pending_targets_.insert(job->key);

    // Without keep-going nothing after the first failure is put in place.
    size_t end = batch.size();
    auto stop_after = [&](size_t i) {
      if (!keep_going_) end = std::min(end, i + 1);
    };
    for (size_t i = 0; i < end; ++i) {
      if (batch[i]->failure) stop_after(i);
    }
    NoteIntents(batch, end);
    // Copies still open are flushed together; those on storage that a
    // flush of the whole file system does not reach were flushed already.
    std::vector<OpenFile*> files;
    std::vector<size_t> owners;
    for (size_t i = 0; i < end; ++i) {
      if (batch[i]->failure || batch[i]->closed) continue;
      files.push_back(&batch[i]->copy.file);
      owners.push_back(i);
    }
    size_t unflushed = 0;
    if (std::error_code ec = fs_.FlushFiles(files, &unflushed)) {
      // What came after the failed file may not be on disk either.
      for (size_t k = unflushed; k < owners.size(); ++k) {
        Job& job = *batch[owners[k]];
        job.failure = Sentence(ec);
        job.out_of_space = IsOutOfSpace(ec);
      }
      stop_after(owners[unflushed]);
    }
    MoveAsideAll(batch, end);
    for (size_t i = 0; i < end; ++i) {
      if (batch[i]->failure) stop_after(i);
    }
    for (size_t i = 0; i < end; ++i) {
      Job& job = *batch[i];
      if (job.failure) continue;
      // Stopped: nothing more is put in place; what is, is finished.
      if (stop_.stop_requested()) {
        stopped_ = true;
        end = i;
        break;
      }
      if (std::optional<std::string> f = PutInPlace(job)) {
        job.failure = std::move(f);
        stop_after(i);
      }
    }
    PutBackUnplaced(batch);
    CheckNamesKept(batch, end);
    for (size_t i = 0; i < end; ++i) {
      if (batch[i]->failure) stop_after(i);
    }
    TaskCount mending;
    for (size_t i = 0; i < end; ++i) {
      Job& job = *batch[i];
      if (job.placed && job.storage.remote && !repeated_.contains(job.key)) {
        mending.Submit(*pool_, [this, &job] { MendPlacedTimes(job); });
      }
    }
    mending.Wait();
    // The folders that files were moved aside into, then each folder that
    // got a rename, are flushed once; a row is done only when they are.
    for (size_t i = 0; i < end; ++i) {
      Job& job = *batch[i];
      if (!job.kept) continue;
      if (std::error_code ec = RootOf(job.target)->record->FlushKept()) {
        job.failure =
            "The file it replaced could not be flushed where it is kept, so the row "
            "may not survive a power cut: " +
            Sentence(ec);
        stop_after(i);
      }
    }
    std::vector<std::string_view> flushed;
    for (size_t i = 0; i < end; ++i) {
      Job& job = *batch[i];
      if (!job.placed) continue;
      if (std::find(flushed.begin(), flushed.end(), job.target_folder) != flushed.end()) continue;
      if (std::error_code ec = fs_.FlushFolder(*job.folder)) {
        // Every row placed in that folder waits for its flush.
        for (size_t k = i; k < end; ++k) {
          Job& other = *batch[k];
          if (other.placed && other.target_folder == job.target_folder) {
            other.failure =
                "The folder " + std::string(job.target_folder) +
                " could not be flushed, so the copy may not survive a power cut: " + Sentence(ec);
          }
        }
        stop_after(i);
        continue;
      }
      flushed.push_back(job.target_folder);
    }
    bool all_done = true;
    std::optional<size_t> first_failed;
    for (size_t i = 0; i < end; ++i) {
      Job& job = *batch[i];
      if (job.failure) {
        all_done = false;
        if (!first_failed) first_failed = i;
        continue;
      }
      // Without keep-going, rows after a failure are not done, even where
      // they were placed (the folder flush that failed may be theirs).
      if (!keep_going_ && first_failed) continue;
      if (job.superseded) {
        superseded_.push_back(job.row.source + "\n    (" + job.target + ")");
        continue;
      }
      plan_.SetAction(job.position, std::string(kDoneAction));
      if (progress_ != nullptr) progress_->rows_done.fetch_add(1);
      if (!job.time_kept) times_not_kept_.push_back(job.target);
    }
    for (auto& job : batch) Discard(*job);
    if (stopped_) return false;
    if (all_done) return true;
    // Copies written ahead, side by side or waiting for their batch, may
    // have taken a row's space: they are let go of and the rows go on one
    // at a time, as a run without them would, whatever the threads.
    Job& failed = *batch[*first_failed];
    // Once more one at a time, the oldest files kept in that tree make room.
    if (!keep_going_ && failed.out_of_space && !failed.placed &&
        (!one_at_a_time_ || MakeRoom(failed))) {
      retry_from_ = failed.position;
      return false;
    }
    any_failed_ = true;
    for (size_t i = 0; i < end; ++i) {
      if (batch[i]->failure) Fail(*batch[i], *batch[i]->failure);
    }
    return keep_going_;
  }

  // Removes a copy that will not be put in place; one that cannot be
  // removed now is tried again at the end of the run.
  void Discard(Job& job) {
    if (job.folder == nullptr) return;
    DeleteFileQuiet(fs_, *job.folder, job.copy);
    if (job.copy.name.empty()) return;
    std::lock_guard lock(mutex_);
    unremoved_.push_back(
        {job.folder, std::exchange(job.copy.name, {}), std::string(job.target_folder)});
  }

  // The copies that could not be removed when they were let go of: a share
  // that met an error may refuse every request for a few seconds. They are
  // tried again over about five seconds; what still stays is named.
  void RemoveLeftBehind() {
    constexpr std::chrono::milliseconds kWaits[] = {
        std::chrono::milliseconds(250), std::chrono::milliseconds(500),
        std::chrono::milliseconds(1000), std::chrono::milliseconds(1500),
        std::chrono::milliseconds(2000)};
    for (const std::chrono::milliseconds wait : kWaits) {
      if (unremoved_.empty()) return;
      std::this_thread::sleep_for(wait);
      std::erase_if(unremoved_, [&](const Unremoved& copy) {
        OpenFile let_go;
        const std::error_code ec = fs_.RemoveTemporary(*copy.folder, copy.name, let_go);
        return !ec || ec == std::errc::no_such_file_or_directory;
      });
    }
    for (const Unremoved& copy : unremoved_) left_behind_.push_back(copy.folder_text + copy.name);
  }

  // Removes the copies written ahead, side by side: after a stop, on slow
  // storage, one by one they would hold the run's end for long.
  void DiscardAll(std::deque<std::unique_ptr<Job>>& jobs) {
    TaskCount removing;
    for (auto& job : jobs) {
      if (job->folder != nullptr && !job->copy.name.empty()) {
        removing.Submit(*pool_, [this, &job = *job] { Discard(job); });
      }
    }
    removing.Wait();
  }

  void Fail(const Job& job, std::string_view reason) {
    shell_.ShowMessage(FailureMessage(job.row.source, job.target, reason));
  }

  PlanList& plan_;
  Shell& shell_;
  FileSystem& fs_;
  const bool keep_going_;
  const std::stop_token stop_;
  SyncProgress* const progress_;
  // What every copy reports to, and is stopped by.
  const CopyWatch watch_{progress_ != nullptr ? &progress_->bytes_copied : nullptr, stop_};
  bool stopped_ = false;
  const size_t batch_rows_ =
      std::clamp<size_t>(static_cast<size_t>(OpenFileLimit() / kBatchShareOfFiles), 1, kBatchRows);
  bool any_failed_ = false;
  Root roots_[2];
  TempNames names_;
  std::optional<IoPool> pool_;
  TaskCount tasks_;
  // Guards what the threads of the pool report: the jobs' readiness, and
  // the leftovers found.
  std::mutex mutex_;
  std::condition_variable changed_;
  // The rows dispatched and not yet committed, in row order.
  std::deque<std::unique_ptr<Job>> queue_;
  std::int64_t ready_bytes_ = 0;
  // After the disk filled up: rows are prepared and committed one by one.
  bool one_at_a_time_ = false;
  // Set when a row ran out of space: the position to go on from, alone.
  int retry_from_ = 0;
  // The targets of the queued rows.
  std::unordered_set<std::string> pending_targets_;
  std::unordered_set<std::string> repeated_;
  // What this run put at each repeated target: its stamp (empty when it
  // could not tell), so that a later row may replace it and nothing else,
  // and its source's time, so that only a newer source does.
  struct Written {
    std::optional<FileStamp> stamp;
    FileTime source_time = 0;
  };
  std::unordered_map<std::string, Written> written_;
  std::unordered_set<std::string> swept_;
  std::unordered_map<std::string, Storage> storages_;  // by target folder
  std::vector<std::string> leftovers_;
  struct Unremoved {
    std::shared_ptr<const Folder> folder;
    std::string name;
    std::string folder_text;
  };
  std::vector<Unremoved> unremoved_;
  std::vector<std::string> left_behind_;
  std::vector<std::string> times_not_kept_;
  std::vector<std::string> superseded_;
  const int keep_days_;
  const std::int64_t started_ = UnixSecondsNow();
  std::string run_name_ = RunName(started_);
  std::vector<std::string> not_kept_;
  std::vector<std::string> removed_for_room_;
  // Last, so that it is stopped and waited for before anything it reads goes.
  std::jthread sizer_;
};

}  // namespace

void CheckAll(PlanList& plan) { plan.SetAllChecked(true); }

void UncheckAll(PlanList& plan) { plan.SetAllChecked(false); }

bool SyncRun(PlanList& plan, const CompareRequest& compared, Shell& shell, FileSystem& fs,
             const SyncOptions& options) {
  Run run(plan, compared, shell, fs, options);
  const bool performed = run.PerformAll() && !run.any_failed() && !run.stopped();
  if (performed) {
    shell.ShowMessage(kSyncDone);
    plan.Clear();
  }
  run.TellAfterwards();
  return performed;
}

bool SyncRun(PlanList& plan, const CompareRequest& compared, Shell& shell, FileSystem& fs,
             int io_threads) {
  SyncOptions options;
  options.io_threads = io_threads;
  return SyncRun(plan, compared, shell, fs, options);
}

}  // namespace tandrel

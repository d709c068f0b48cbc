#include "sync/recovery.h"

#include <algorithm>
#include <memory>

#include "compare/file_name.h"
#include "platform/path_text.h"
#include "platform/system.h"
#include "sync/clock.h"
#include "sync/journal.h"
#include "sync/kept_runs.h"
#include "sync/reason.h"
#include "sync/recorded_rows.h"
#include "sync/run_folder.h"

namespace tandrel {
namespace {

enum class Settled { kFinished, kRolledBack, kUnsettled };

// The run being recovered in one tree.
struct CutShort {
  KeptPlace kept;      // its folder and where it keeps files
  std::int64_t start;  // when it began (UTC seconds)
};

// Settles one row cut short; `why` tells what stands in the way of one
// that stays unsettled.
// `*matched` tells which of its pending puts stands there, for one finished.
Settled SettleRow(FileSystem& fs, ComparedTrees& trees, const ComparedTrees::Tree& tree,
                  const CutShort& run, const RecordedRow& row, size_t* matched, std::string* why) {
  const std::string_view name = FileNamePart(row.path, '/');
  const std::string_view folder_path = ParentPath(row.path, '/');
  std::shared_ptr<const Folder> folder;
  const std::error_code opened = trees.OpenBelow(tree, WithSeparators(folder_path), &folder);
  Folder kept_folder;
  FileInfo kept;
  const bool kept_opened =
      row.pending_keep && !opened && !run.kept.OpenFolder(fs, folder_path, &kept_folder);
  const bool kept_there =
      kept_opened && !fs.StatAt(kept_folder, row.pending_keep->name, FollowLinks::kNo, &kept);
  if (opened) {
    if (!row.pending_keep) return Settled::kRolledBack;  // nothing of it is kept, nor put
    *why = "its folder cannot be opened: " + Sentence(opened);
    return Settled::kUnsettled;
  }
  FileInfo now;
  const bool there = !fs.StatAt(*folder, name, FollowLinks::kNo, &now);
  // Kept on a disk mounted inside the tree that is not there now: the row
  // waits for it.
  if (row.pending_keep && !kept_opened && !there &&
      !MountOf(run.kept.mounts, folder_path).empty()) {
    *why = "the disk that keeps the file it replaced, " +
           run.kept.Text(row.path, row.pending_keep->name) + ", is not there";
    return Settled::kUnsettled;
  }
  // Its temporaries go, whatever else is found.
  bool put_there = false;
  for (size_t i = 0; i < row.pending_puts.size(); ++i) {
    const JournalEntry& put = row.pending_puts[i];
    FileInfo temporary;
    const bool renamed =
        !put.name.empty() && fs.StatAt(*folder, put.name, FollowLinks::kNo, &temporary) ==
                                 std::errc::no_such_file_or_directory;
    // Some drivers stamp a file with the time of its rename, and the run
    // was cut short before it set the time again: a copy of the put's size,
    // written since the run began, whose temporary is gone, is the put.
    const bool stamped_on_rename = tree.storage.remote && renamed && there &&
                                   now.stamp.size == put.stamp.size &&
                                   now.stamp.write_seconds >= run.start - 2;
    const bool same = there && SameAsRecorded(now.stamp, put.stamp, tree.storage);
    if (!put_there && (same || stamped_on_rename)) {
      put_there = true;
      *matched = i;
      if (!same) {
        FileInfo mended = now;
        mended.stamp.write_seconds = put.stamp.write_seconds;
        mended.stamp.write_nanoseconds = put.stamp.write_nanoseconds;
        (void)fs.SetTimesAt(*folder, name, mended);
      }
    }
    bool removed = false;
    if (!put.name.empty() && !renamed) (void)fs.RemoveIfNotHeld(*folder, put.name, &removed);
  }
  std::error_code ec;
  Settled settled = Settled::kRolledBack;
  const bool same_file =
      kept_there && there &&
      (tree.storage.keeps_file_ids && !tree.storage.remote
           ? now.stamp.file_id == kept.stamp.file_id && now.stamp.device == kept.stamp.device
           : SameAsRecorded(now.stamp, row.pending_keep->stamp, tree.storage) &&
                 SameAsRecorded(kept.stamp, row.pending_keep->stamp, tree.storage));
  if (same_file) {
    // Moved aside as a second name and the first not yet taken away (a
    // driver without an atomic move, where ids may be made up per name):
    // the file stands where it was.
    bool removed = false;
    ec = fs.RemoveIfNotHeld(kept_folder, row.pending_keep->name, &removed);
    if (!ec && !removed) ec = std::make_error_code(std::errc::device_or_resource_busy);
  } else if (put_there) {
    settled = Settled::kFinished;
  } else if (kept_there && !there) {
    ec = fs.MoveBetween(kept_folder, row.pending_keep->name, *folder, name, /*replace=*/false);
  } else if (kept_there) {
    *why = "another file stands there; the one it replaced is kept as " +
           run.kept.Text(row.path, row.pending_keep->name);
    return Settled::kUnsettled;
  }
  if (!ec) ec = fs.FlushFolder(*folder);
  if (!ec && kept_there) ec = fs.FlushFolder(kept_folder);
  if (ec) {
    *why = Sentence(ec);
    return Settled::kUnsettled;
  }
  return settled;
}

// Removes the temporaries whose names begin with `prefix` from the folders
// the journal names.
void RemoveTemporaries(FileSystem& fs, ComparedTrees& trees, const ComparedTrees::Tree& tree,
                       const Journal& journal) {
  const std::string& prefix = journal.heading.temporaries;
  if (prefix.empty()) return;
  for (const JournalEntry& entry : journal.entries) {
    if (entry.kind != JournalEntry::kFolder) continue;
    std::shared_ptr<const Folder> folder;
    std::vector<DirEntry> entries;
    const std::string below = entry.path == "." ? std::string() : WithSeparators(entry.path);
    if (trees.OpenBelow(tree, below, &folder) || fs.List(*folder, &entries)) continue;
    for (const DirEntry& found : entries) {
      bool removed = false;
      if (found.name.starts_with(prefix)) (void)fs.RemoveIfNotHeld(*folder, found.name, &removed);
    }
    (void)fs.FlushFolder(*folder);
  }
}

// Recovers the run `name` of `tree` if it was cut short and nobody holds it.
void RecoverRun(FileSystem& fs, ComparedTrees& trees, const ComparedTrees::Tree& tree,
                const std::string& name, Recovery* recovery) {
  Folder record, replaced, run;
  if (OpenReplaced(fs, *tree.folder, &record, &replaced) || fs.OpenFolder(replaced, name, &run) ||
      MarkedEnded(fs, run)) {
    return;
  }
  Journal journal;
  if (!ReadJournal(fs, run, &journal)) return;
  std::vector<RecordedRow> rows = RowsOf(journal.entries);
  const bool pending =
      std::any_of(rows.begin(), rows.end(), [](const RecordedRow& row) { return row.pending; });
  if (journal.ended && !pending) {
    MarkEnded(fs, run);  // so that the next run need not read it again
    return;
  }
  // A lock is not seen from another computer: a run of another computer
  // that began less than a day ago may still be going on a share.
  constexpr std::int64_t kDay = 24 * 3600;
  if (journal.heading.computer != ComputerName() &&
      UnixSecondsNow() - journal.heading.utc_seconds < kDay) {
    return;
  }
  OpenFile file;
  if (fs.OpenToAppend(run, kJournalName, &file)) return;  // a run still going holds it
  const std::vector<std::string> mounts = ReadMounts(fs, run);
  const CutShort cut_short{{*tree.folder, tree.text, run, name, mounts},
                           journal.heading.utc_seconds};
  std::string outcomes;
  bool all = true;
  for (const RecordedRow& row : rows) {
    if (!row.pending) continue;
    std::string why;
    size_t matched = 0;
    const Settled settled = SettleRow(fs, trees, tree, cut_short, row, &matched, &why);
    if (settled == Settled::kUnsettled) {
      all = false;
      recovery->unsettled.push_back(tree.text + WithSeparators(row.path) + " (" + why + ")");
      continue;
    }
    const bool done = settled == Settled::kFinished;
    ++(done ? recovery->finished : recovery->rolled_back);
    // One outcome for each row that wrote there; the one whose copy stands
    // there took place.
    for (size_t i = 0; i < std::max<size_t>(row.pending_puts.size(), 1); ++i) {
      const bool took_place = done && i == matched;
      outcomes +=
          JournalLine({took_place ? JournalEntry::kDone : JournalEntry::kNot, row.path, {}, {}});
    }
  }
  if (all) RemoveTemporaries(fs, trees, tree, journal);
  if (all) outcomes += kEndLine;
  if (AddToJournal(fs, run, file, outcomes)) {
    recovery->unsettled.push_back(RunFolderText(tree.text, name) +
                                  " (its journal could not be written)");
    return;
  }
  if (all) MarkEnded(fs, run);
}

std::string Rows(int count) { return count == 1 ? "1 row" : std::to_string(count) + " rows"; }

}  // namespace

Recovery RecoverCutShort(FileSystem& fs, ComparedTrees& trees) {
  Recovery recovery;
  for (int i = 0; i < 2; ++i) {
    const ComparedTrees::Tree& tree = trees.tree(i);
    // Both compared folders may be one.
    if (tree.error || &tree != trees.TreeOf(tree.text)) continue;
    for (const std::string& name : RunsIn(fs, *tree.folder)) {
      RecoverRun(fs, trees, tree, name, &recovery);
    }
  }
  return recovery;
}

BuildResult RecoverThenBuildPlan(FileSystem& fs, const std::string& folder1,
                                 const std::string& folder2, const BuildOptions& options) {
  std::vector<std::string> notes;
  {
    ComparedTrees trees(fs, {folder1, folder2});
    notes = RecoveryLines(RecoverCutShort(fs, trees));
  }
  BuildResult result = BuildPlan(fs, folder1, folder2, options);
  result.notes = std::move(notes);
  return result;
}

std::vector<std::string> RecoveryLines(const Recovery& recovery) {
  std::vector<std::string> lines;
  if (recovery.finished + recovery.rolled_back > 0) {
    lines.push_back("An interrupted sync was recovered: " + Rows(recovery.finished) +
                    " finished, " + Rows(recovery.rolled_back) + " put back as before.");
  }
  for (const std::string& row : recovery.unsettled) {
    lines.push_back("Could not recover " + row + ".");
  }
  return lines;
}

}  // namespace tandrel

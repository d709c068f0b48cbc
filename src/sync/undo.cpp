#include "sync/undo.h"

#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <set>

#include "compare/file_name.h"
#include "platform/path_text.h"
#include "sync/compared_trees.h"
#include "sync/held_file.h"
#include "sync/journal.h"
#include "sync/kept_runs.h"
#include "sync/run_folder.h"

namespace tandrel {
namespace {

// What a run's journal says of one path, and what is kept of it.
struct PathRecord {
  std::optional<FileStamp> put;   // the last copy put there
  std::optional<FileStamp> kept;  // the file that stood there before
  bool kept_found = false;        // its kept file is in the run's folder
};

// The kept files below `folder` (at `path` in the run's folder), as the
// paths they were kept from.
void FindKept(FileSystem& fs, const Folder& folder, const std::string& path,
              std::map<std::string, PathRecord>* records) {
  std::vector<DirEntry> entries;
  if (fs.List(folder, &entries)) return;
  for (const DirEntry& entry : entries) {
    if (entry.kind == EntryKind::kFolder) {
      Folder below;
      if (!fs.OpenFolder(folder, entry.name, &below)) {
        FindKept(fs, below, path + entry.name + "/", records);
      }
    } else if (entry.kind == EntryKind::kFile && entry.name.size() > 1 && entry.name[0] == '~') {
      (*records)[path + entry.name.substr(1)].kept_found = true;
    }
  }
}

// Some drivers (fusefat) stamp a file with the time of its rename: a file
// put back gets the time it had when it was moved aside.
std::error_code KeepTime(FileSystem& fs, const Folder& folder, std::string_view name,
                         const FileStamp& had) {
  FileInfo now;
  if (std::error_code ec = fs.StatAt(folder, name, FollowLinks::kNo, &now)) return ec;
  if (now.stamp.write_seconds == had.write_seconds &&
      now.stamp.write_nanoseconds == had.write_nanoseconds) {
    return {};
  }
  now.stamp.write_seconds = had.write_seconds;
  now.stamp.write_nanoseconds = had.write_nanoseconds;
  return fs.SetTimesAt(folder, name, now);
}

// One tree's part of a run: its top folder and run folder, opened.
struct TreeRun {
  const ComparedTrees::Tree* top = nullptr;
  std::shared_ptr<Folder> run;
  std::vector<JournalEntry> journal;
};

// Opens the run `name` in the tree `top`; false when it has none.
bool OpenTreeRun(FileSystem& fs, const ComparedTrees::Tree& top, const std::string& name,
                 TreeRun* tree, UndoReport* report) {
  tree->top = &top;
  if (top.error) {
    report->error = top.error;
    report->failed_folder = top.text;
    return false;
  }
  tree->run = std::make_shared<Folder>();
  Folder record;
  Folder replaced;
  if (OpenReplaced(fs, *top.folder, &record, &replaced) ||
      fs.OpenFolder(replaced, name, tree->run.get())) {
    return false;
  }
  std::string text;
  if (!fs.ReadText(*tree->run, kJournalName, &text)) tree->journal = ParseJournal(text);
  return true;
}

// Undoes one tree's part of the run; true when nothing was left alone.
bool UndoTree(FileSystem& fs, ComparedTrees& trees, TreeRun& tree, const std::string& name,
              UndoReport* report) {
  const Storage& storage = tree.top->storage;
  std::map<std::string, PathRecord> records;
  std::vector<std::string> order;  // newest first
  for (const JournalEntry& entry : tree.journal) {
    PathRecord& record = records[entry.path];
    if (entry.kind == JournalEntry::kPut) record.put = entry.stamp;
    if (entry.kind == JournalEntry::kKeep && !record.kept) record.kept = entry.stamp;
    order.erase(std::remove(order.begin(), order.end(), entry.path), order.end());
    order.insert(order.begin(), entry.path);
  }
  FindKept(fs, *tree.run, "", &records);
  for (const auto& [path, record] : records) {
    if (std::find(order.begin(), order.end(), path) == order.end()) order.push_back(path);
  }

  const size_t left_before = report->left_alone.size();
  std::vector<std::shared_ptr<const Folder>> touched;
  for (const std::string& path : order) {
    const PathRecord& record = records[path];
    const std::string shown = tree.top->text + WithSeparators(path);
    const std::string_view file = FileNamePart(path, '/');
    const std::string folder_below = WithSeparators(ParentPath(path, '/'));
    std::shared_ptr<const Folder> folder;
    if (trees.OpenBelow(*tree.top, folder_below, &folder)) {
      if (record.kept_found) report->left_alone.push_back(shown + " (its folder is gone)");
      continue;
    }
    Folder kept_folder;
    const bool kept = record.kept_found && !fs.OpenBeneath(*tree.run, folder_below, &kept_folder);
    // Looked at right before anything is moved.
    FileInfo now;
    const bool there = !fs.StatAt(*folder, file, FollowLinks::kNo, &now);
    const bool ours =
        there && !now.is_link && record.put && SameAsRecorded(now.stamp, *record.put, storage);
    std::error_code ec;
    if (ours && kept) {
      // Another program may hold the copy for a moment.
      ec = RetryWhileHeld(
          [&] { return fs.MoveBetween(kept_folder, KeptName(file), *folder, file, true); }, storage,
          {});
      if (!ec) report->restored.push_back(shown);
    } else if (ours) {
      bool removed = false;
      ec = fs.RemoveIfNotHeld(*folder, file, &removed);
      if (!ec && removed) report->removed.push_back(shown);
      if (!ec && !removed) report->left_alone.push_back(shown + " (a program holds it open)");
    } else if (kept && !there) {
      // Moved aside, and the copy never took its place.
      ec = fs.MoveBetween(kept_folder, KeptName(file), *folder, file, /*replace=*/false);
      if (!ec) report->restored.push_back(shown);
    } else if (kept) {
      const std::string kept_path = std::string(FolderPart(path, '/')) + KeptName(file);
      report->left_alone.push_back(
          shown + " (changed since the sync; the file it replaced is kept as " +
          RunFolderText(tree.top->text, name) + kSeparator + WithSeparators(kept_path) + ")");
    } else if (there && record.put &&
               !(record.kept && SameAsRecorded(now.stamp, *record.kept, storage))) {
      report->left_alone.push_back(shown + " (changed since the sync)");
    }
    if (!ec && kept && record.kept) ec = KeepTime(fs, *folder, file, *record.kept);
    if (ec == std::errc::device_or_resource_busy) {
      const std::string program = fs.ProgramHolding(*folder, file);
      report->left_alone.push_back(shown + " (it is open in another program" +
                                   (program.empty() ? "" : " (" + program + ")") + ")");
    } else if (ec) {
      report->left_alone.push_back(shown + " (" + ec.message() + ")");
    }
    if (!ec) touched.push_back(std::move(folder));
  }
  bool flushed = true;
  for (const auto& folder : touched) flushed = !fs.FlushFolder(*folder) && flushed;
  if (!flushed) report->left_alone.push_back(tree.top->text + " (could not be flushed)");
  if (report->left_alone.size() != left_before) return false;
  tree.run.reset();
  RemoveRun(fs, *tree.top->folder, name);
  return true;
}

}  // namespace

std::vector<RecordedRun> RecordedRuns(FileSystem& fs, const std::string& folder1,
                                      const std::string& folder2) {
  std::map<std::string, RecordedRun> runs;
  ComparedTrees trees(fs, {folder1, folder2});
  for (int i = 0; i < 2; ++i) {
    const ComparedTrees::Tree& top = trees.tree(i);
    if (top.error) continue;
    for (const std::string& name : RunsIn(fs, *top.folder)) {
      RecordedRun& run = runs[name];
      run.name = name;
      TreeRun tree;
      UndoReport ignored;
      if (!OpenTreeRun(fs, top, name, &tree, &ignored)) continue;
      std::set<std::string> put;
      for (const JournalEntry& entry : tree.journal) {
        if (entry.kind == JournalEntry::kPut) put.insert(entry.path);
        if (entry.kind == JournalEntry::kKeep) run.bytes_kept += entry.stamp.size;
      }
      run.rows += static_cast<int>(put.size());
    }
    if (folder1 == folder2) break;
  }
  std::vector<RecordedRun> ordered;
  for (auto& [name, run] : runs) ordered.push_back(std::move(run));
  std::sort(ordered.begin(), ordered.end(),
            [](const RecordedRun& a, const RecordedRun& b) { return RunBefore(a.name, b.name); });
  return ordered;
}

UndoReport UndoRun(FileSystem& fs, const std::string& folder1, const std::string& folder2,
                   const std::string& name) {
  UndoReport report;
  ComparedTrees trees(fs, {folder1, folder2});
  for (int i = 0; i < 2; ++i) {
    TreeRun tree;
    if (OpenTreeRun(fs, trees.tree(i), name, &tree, &report)) {
      UndoTree(fs, trees, tree, name, &report);
    }
    if (report.error || folder1 == folder2) break;
  }
  return report;
}

}  // namespace tandrel

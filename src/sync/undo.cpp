#include "sync/undo.h"

#include <algorithm>
#include <ctime>
#include <map>
#include <memory>
#include <optional>

#include "compare/file_name.h"
#include "platform/path_text.h"
#include "sync/clock.h"
#include "sync/compared_trees.h"
#include "sync/held_file.h"
#include "sync/journal.h"
#include "sync/kept_runs.h"
#include "sync/reason.h"
#include "sync/recorded_rows.h"
#include "sync/recovery.h"
#include "sync/run_folder.h"
#include "sync/run_keeping.h"
#include "sync/run_record.h"

namespace tandrel {
namespace {

// True when a record's own tree and other tree are these two.
bool NamesPair(const RunHeading& h, const ComparedTrees::Tree& self,
               const ComparedTrees::Tree& other) {
  const auto same = [](const std::string& id, const std::string& text,
                       const ComparedTrees::Tree& tree) {
    return (!id.empty() && id == tree.id) || text == tree.text;
  };
  return same(h.tree_id, h.tree_text, self) && same(h.other_id, h.other_text, other);
}

// Some drivers (fusefat) stamp a file with the time of its rename: a file
// put back gets the time it had when it was moved aside.
std::error_code KeepTime(FileSystem& fs, const Folder& folder, std::string_view name,
                         const FileStamp& had) {
  FileInfo now;
  if (std::error_code ec = fs.StatAt(folder, name, FollowLinks::kNo, &now)) return ec;
  if (now.is_link || (now.stamp.write_seconds == had.write_seconds &&
                      now.stamp.write_nanoseconds == had.write_nanoseconds)) {
    return {};
  }
  now.stamp.write_seconds = had.write_seconds;
  now.stamp.write_nanoseconds = had.write_nanoseconds;
  return fs.SetTimesAt(folder, name, now);
}

// What undo does at one path.
struct Step {
  const RecordedRow* row = nullptr;
  bool aside = false;    // what stands there is moved into the undo's record
  FileStamp there;       // and what that is
  bool restore = false;  // the kept file goes back there
};

// Undoes one tree's part of a run, one folder at a time.
class TreeUndo {
 public:
  TreeUndo(FileSystem& fs, ComparedTrees& trees, int index, const std::string& run_name,
           RunRecord& undo, UndoReport& report)
      : fs_(fs),
        trees_(trees),
        tree_(trees.tree(index)),
        run_name_(run_name),
        undo_(undo),
        report_(report) {}

  // False when the run's record could not be opened or written.
  bool Run(std::stop_token stop) {
    Folder record, replaced;
    Journal journal;
    if (OpenReplaced(fs_, *tree_.folder, &record, &replaced) ||
        fs_.OpenFolder(replaced, run_name_, &run_) || !ReadJournal(fs_, run_, &journal)) {
      return true;  // this tree has no part of the run
    }
    if (fs_.OpenToAppend(run_, kJournalName, &journal_)) {
      report_.left_alone.push_back(RunFolderText(tree_.text, run_name_) +
                                   " (its record cannot be written, or a run still holds it)");
      return false;
    }
    mounts_ = ReadMounts(fs_, run_);
    std::vector<RecordedRow> rows = RowsOf(journal.entries);
    // The entries take more room than the rows: they go first.
    journal.entries = {};
    std::erase_if(rows, [](const RecordedRow& row) { return !row.done || row.undone; });
    std::sort(rows.begin(), rows.end(), [](const RecordedRow& a, const RecordedRow& b) {
      return std::pair(ParentPath(a.path, '/'), a.path) <
             std::pair(ParentPath(b.path, '/'), b.path);
    });
    const size_t left_before = report_.left_alone.size();
    for (size_t from = 0; from < rows.size() && !report_.error;) {
      if (stop.stop_requested()) {
        report_.stopped = true;
        break;
      }
      size_t to = from + 1;
      const std::string_view folder = ParentPath(rows[from].path, '/');
      while (to < rows.size() && ParentPath(rows[to].path, '/') == folder) ++to;
      UndoFolder(folder, {rows.data() + from, to - from});
      from = to;
    }
    // A file replaced without keeping is named, but keeps no record alive:
    // no later undo could do more for it.
    if (report_.left_alone.size() != left_before + unkept_ || report_.stopped || report_.error) {
      return !report_.error;
    }
    journal_.Reset();
    run_.Reset();
    RemoveRun(fs_, *tree_.folder, run_name_);
    return true;
  }

 private:
  std::string Shown(const RecordedRow& row) const { return tree_.text + WithSeparators(row.path); }
  KeptPlace Kept() const { return {*tree_.folder, tree_.text, run_, run_name_, mounts_}; }

  // What to do at the row's path, or why it is left alone.
  std::optional<Step> Decide(const Folder& folder, const Folder* kept_folder,
                             const RecordedRow& row) {
    const std::string_view name = FileNamePart(row.path, '/');
    if (row.unkept) {
      ++unkept_;
      report_.left_alone.push_back(
          Shown(row) + " (it was replaced without keeping, so nothing can be put back)");
      return std::nullopt;
    }
    FileInfo now, kept;
    const bool there = !fs_.StatAt(folder, name, FollowLinks::kNo, &now);
    const bool kept_there = row.kept && kept_folder != nullptr &&
                            !fs_.StatAt(*kept_folder, row.kept->name, FollowLinks::kNo, &kept);
    Step step;
    step.row = &row;
    if (row.put && there) {
      // A link is judged as itself, never by what it leads to: a run puts
      // files, so a link there is a change.
      if (now.is_link || !SameAsRecorded(now.stamp, *row.put, tree_.storage)) {
        report_.left_alone.push_back(
            Shown(row) + (kept_there
                              ? " (changed since the sync; the file it replaced is kept as " +
                                    Kept().Text(row.path, row.kept->name) + ")"
                              : " (changed since the sync)"));
        return std::nullopt;
      }
      step.aside = true;
      step.there = now.stamp;
    } else if (there) {
      report_.left_alone.push_back(Shown(row) + " (a file stands there now)");
      return std::nullopt;
    }
    // The file it replaced is gone, or the disk that keeps it (one mounted
    // inside the tree) is not there now: the row is named, and the run
    // stays to be undone later.
    if (row.kept && !kept_there) {
      report_.left_alone.push_back(Shown(row) + " (the file it replaced is no longer kept)");
      return std::nullopt;
    }
    step.restore = kept_there;
    return step;
  }

  void UndoFolder(std::string_view folder_path, std::span<const RecordedRow> rows) {
    std::shared_ptr<const Folder> folder;
    if (trees_.OpenBelow(tree_, WithSeparators(folder_path), &folder)) {
      // Copies whose folder is gone are gone with it.
      std::string undone;
      for (const RecordedRow& row : rows) {
        if (row.kept) report_.left_alone.push_back(Shown(row) + " (its folder is gone)");
        if (!row.kept) undone += JournalLine({JournalEntry::kUndone, row.path, {}, {}});
      }
      if (std::error_code ec =
              undone.empty() ? std::error_code() : AddToJournal(fs_, run_, journal_, undone)) {
        Fail(ec);
      }
      return;
    }
    Folder kept_folder;
    const bool has_kept = !Kept().OpenFolder(fs_, folder_path, &kept_folder);
    std::vector<Step> steps;
    for (const RecordedRow& row : rows) {
      std::optional<Step> step = Decide(*folder, has_kept ? &kept_folder : nullptr, row);
      if (!step) continue;
      if (step->aside) undo_.NoteKeep(row.path, KeptName(FileNamePart(row.path, '/')), step->there);
      if (step->restore) undo_.NotePut(row.path, {}, row.kept->stamp);
      steps.push_back(*step);
    }
    if (std::error_code ec = undo_.Flush()) {
      Fail(ec);
      return;
    }
    std::string undone;
    for (const Step& step : steps) {
      // A copy taken away since, with nothing kept: undone as it stands.
      const bool nothing = !step.aside && !step.restore;
      const bool done = nothing || Perform(*folder, kept_folder, step);
      if (!nothing) undo_.NoteOutcome(step.row->path, done);
      if (done) undone += JournalLine({JournalEntry::kUndone, step.row->path, {}, {}});
    }
    std::error_code ec = fs_.FlushFolder(*folder);
    if (!ec && has_kept) ec = fs_.FlushFolder(kept_folder);
    if (!ec) ec = undo_.FlushKept();
    if (!ec) ec = undo_.Flush();
    if (!ec && !undone.empty()) ec = AddToJournal(fs_, run_, journal_, undone);
    if (ec) Fail(ec);
  }

  // Moves the copy aside and the kept file back; true when the row is undone.
  bool Perform(const Folder& folder, const Folder& kept_folder, const Step& step) {
    const RecordedRow& row = *step.row;
    const std::string_view name = FileNamePart(row.path, '/');
    std::error_code ec;
    if (step.aside) {
      // Another program may hold the copy for a moment.
      ec = RetryWhileHeld([&] { return undo_.Keep(folder, row.path, name, KeptName(name)); },
                          tree_.storage, {});
    }
    if (ec) return LeftAlone(row, Shown(row), folder, name, ec);
    if (step.restore) {
      ec = fs_.MoveBetween(kept_folder, row.kept->name, folder, name, /*replace=*/false);
      if (!ec) (void)KeepTime(fs_, folder, name, row.kept->stamp);
      if (ec && step.aside && undo_.PutBack(folder, row.path, name, KeptName(name))) {
        undo_.NoteUnsettled();
      }
      // What stood in the way is the kept file: it is the one named.
      if (ec) {
        return LeftAlone(row, Kept().Text(row.path, row.kept->name), kept_folder, row.kept->name,
                         ec);
      }
    }
    (step.restore ? report_.restored : report_.removed).push_back(Shown(row));
    return true;
  }

  // Names the row as left alone, with what kept it so: `blocked`, the file
  // `name` of `folder`, could not be moved. Who holds it is asked only when
  // something does (on Windows that is a Restart Manager session).
  bool LeftAlone(const RecordedRow& row, const std::string& blocked, const Folder& folder,
                 std::string_view name, const std::error_code& ec) {
    std::string why;
    if (ec == std::errc::device_or_resource_busy) {
      const std::string program = fs_.ProgramHolding(folder, name);
      why = "it is open in another program" + (program.empty() ? "" : " (" + program + ")");
    } else if (ec == std::errc::cross_device_link || ec == std::errc::operation_not_supported) {
      why = "it cannot be moved aside on its disk";
    } else {
      why = Sentence(ec);
    }
    const std::string shown = Shown(row);
    report_.left_alone.push_back(shown + " (" + (blocked == shown ? "" : blocked + ": ") + why +
                                 ")");
    return false;
  }

  void Fail(const std::error_code& ec) {
    report_.error = ec;
    report_.failed_folder = tree_.text;
  }

  FileSystem& fs_;
  ComparedTrees& trees_;
  const ComparedTrees::Tree& tree_;
  const std::string& run_name_;
  RunRecord& undo_;
  UndoReport& report_;
  Folder run_;
  std::vector<std::string> mounts_;  // where the run keeps files but at the top
  OpenFile journal_;
  size_t unkept_ = 0;  // rows named as replaced without keeping
};

// The runs between the two trees, by id.
struct PairRun {
  RecordedRun run;
  bool foreign = false;  // a part of it names another pair
};

std::map<std::string, PairRun> PairRuns(FileSystem& fs, ComparedTrees& trees) {
  std::map<std::string, PairRun> runs;
  for (int i = 0; i < 2; ++i) {
    const ComparedTrees::Tree& tree = trees.tree(i);
    if (tree.error || (i == 1 && &tree != trees.TreeOf(tree.text))) continue;
    for (const std::string& name : RunsIn(fs, *tree.folder)) {
      Journal journal;
      if (!ReadRunJournal(fs, *tree.folder, name, &journal)) continue;
      const RunHeading& h = journal.heading;
      PairRun& pair = runs[h.id];
      pair.run.folders[i] = name;
      pair.foreign = pair.foreign || !NamesPair(h, tree, trees.tree(1 - i));
      RecordedRun& run = pair.run;
      run.name = name;
      run.id = h.id;
      run.utc_seconds = h.utc_seconds;
      run.sequence = h.sequence;
      run.undo = h.undo;
      // Folder 2 as it was when the run began, as seen from folder 1.
      if (i == 0) run.other_folder = h.other_text;
      if (i == 1 && run.other_folder.empty()) run.other_folder = h.tree_text;
      for (const RecordedRow& row : RowsOf(journal.entries)) {
        if (!row.done || row.undone || row.unkept) continue;
        ++run.rows;
        if (row.kept) run.bytes_kept += row.kept->stamp.size;
      }
    }
  }
  return runs;
}

}  // namespace

std::string LocalTimeText(std::int64_t utc_seconds) {
  const std::time_t t = static_cast<std::time_t>(utc_seconds);
  std::tm local{};
#ifdef _WIN32
  // The C runtime of Windows keeps this result per thread.
  if (const std::tm* now = std::localtime(&t)) local = *now;
#else
  localtime_r(&t, &local);
#endif
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

std::vector<RecordedRun> RecordedRuns(FileSystem& fs, const std::string& folder1,
                                      const std::string& folder2) {
  ComparedTrees trees(fs, {folder1, folder2});
  std::vector<RecordedRun> ordered;
  for (auto& [id, pair] : PairRuns(fs, trees)) {
    if (!pair.foreign && pair.run.rows > 0) ordered.push_back(std::move(pair.run));
  }
  std::sort(ordered.begin(), ordered.end(), [](const RecordedRun& a, const RecordedRun& b) {
    return std::tie(a.sequence, a.utc_seconds, a.id) < std::tie(b.sequence, b.utc_seconds, b.id);
  });
  return ordered;
}

UndoReport UndoRun(FileSystem& fs, const std::string& folder1, const std::string& folder2,
                   const RecordedRun& run, std::stop_token stop) {
  UndoReport report;
  ComparedTrees trees(fs, {folder1, folder2});
  for (int i = 0; i < 2; ++i) {
    if (trees.tree(i).error) {
      report.error = trees.tree(i).error;
      report.failed_folder = trees.tree(i).text;
      return report;
    }
  }
  report.recovered = RecoveryLines(RecoverCutShort(fs, trees));
  std::vector<const Folder*> tops = {trees.tree(0).folder.get(), trees.tree(1).folder.get()};
  const std::string id = NewRunId();
  const std::int64_t sequence = NextSequence(fs, tops);
  const std::int64_t now = UnixSecondsNow();
  for (int i = 0; i < 2 && !report.error && !report.stopped; ++i) {
    const std::string& name = run.folders[i];
    if (name.empty()) continue;
    RunRecord undo(fs, trees.tree(i).folder, HeadingFor(trees, i, id, now, sequence, true));
    TreeUndo(fs, trees, i, name, undo, report).Run(stop);
    if (std::error_code ec = undo.Close(); ec && !report.error) {
      report.error = ec;
      report.failed_folder = trees.tree(i).text;
    }
  }
  return report;
}

}  // namespace tandrel

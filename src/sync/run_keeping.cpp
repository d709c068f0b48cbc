#include "sync/run_keeping.h"

#include <vector>

#include "platform/system.h"
#include "sync/kept_runs.h"
#include "sync/prepare_copy.h"
#include "sync/reason.h"

namespace tandrel {

RunHeading HeadingFor(ComparedTrees& trees, int index, const std::string& id,
                      std::int64_t utc_seconds, std::int64_t sequence, bool undo,
                      std::string temporaries) {
  const ComparedTrees::Tree& self = trees.tree(index);
  const ComparedTrees::Tree& other = trees.tree(1 - index);
  return RunHeading{
      id,      utc_seconds, sequence, undo,      ComputerName(), std::move(temporaries),
      self.id, self.text,   other.id, other.text};
}

RunKeeping::RunKeeping(FileSystem& fs, ComparedTrees& trees, int keep_days, std::int64_t started,
                       std::string temporaries)
    : fs_(fs),
      trees_(trees),
      keep_days_(keep_days),
      started_(started),
      id_(NewRunId()),
      temporaries_(std::move(temporaries)) {}

void RunKeeping::NoteFolder(std::string_view folder_text) {
  const int index = IndexOf(folder_text);
  if (index < 0 || records_[index] == nullptr) return;
  records_[index]->NoteFolder(ComparedTrees::PathBelow(trees_.tree(index), folder_text));
}

int RunKeeping::IndexOf(std::string_view target) {
  const ComparedTrees::Tree* tree = trees_.TreeOf(target);
  if (tree == nullptr) return -1;
  return tree == &trees_.tree(0) ? 0 : 1;
}

void RunKeeping::Start(const bool receives[2], SyncReport& report) {
  constexpr std::int64_t kDay = 24 * 3600;
  std::vector<const Folder*> tops;
  for (int i = 0; i < 2; ++i) {
    if (!trees_.tree(i).error) tops.push_back(trees_.tree(i).folder.get());
  }
  // The sequence counts the runs of both trees; only a run with a record needs it.
  if (keep_days_ > 0 && (receives[0] || receives[1])) sequence_ = NextSequence(fs_, tops);
  for (int i = 0; i < 2; ++i) {
    ComparedTrees::Tree& tree = trees_.tree(i);
    // Both compared folders may be one.
    if (!receives[i] || tree.error || &tree != trees_.TreeOf(tree.text)) continue;
    RemoveRunsBefore(fs_, *tree.folder, started_ - keep_days_ * kDay, {});
    if (keep_days_ > 0) MakeRecord(i, report);
  }
}

// A disk too full for the record gets room from the oldest kept runs first.
void RunKeeping::MakeRecord(int index, SyncReport& report) {
  const ComparedTrees::Tree& tree = trees_.tree(index);
  const RunHeading heading =
      HeadingFor(trees_, index, id_, started_, sequence_, false, temporaries_);
  for (;;) {
    records_[index] = std::make_unique<RunRecord>(fs_, tree.folder, heading);
    std::shared_ptr<const Folder> made;
    const std::error_code ec = records_[index]->RunFolder(&made);
    if (!ec) return;
    records_[index].reset();
    // What a failed attempt made goes; an empty record's folders go too.
    RemoveRun(fs_, *tree.folder, RunFolderName(heading));
    if (IsOutOfSpace(ec) && MakeRoom(tree.text, report)) continue;
    if (ec == std::errc::io_error) {
      // A disk that fails to write or flush is trusted with nothing more.
      broken_[index] = ec;
    } else if (ec == std::errc::not_a_directory || ec == std::errc::file_exists) {
      // The user's own file of that name stays; the run goes on as with
      // keeping turned off there, and says so.
      why_not_[index] = "a file named " + std::string(kRecordFolder) + " at the top of " +
                        tree.text + " takes the place of the sync's record";
    } else {
      why_not_[index] = "the sync's record could not be made there: " + Sentence(ec);
    }
    return;
  }
}

void RunKeeping::End() {
  for (int i = 0; i < 2; ++i) {
    if (records_[i] == nullptr) continue;
    (void)records_[i]->Close();
    records_[i].reset();
  }
}

RunRecord* RunKeeping::RecordOf(std::string_view target) {
  const int index = IndexOf(target);
  return index < 0 ? nullptr : records_[index].get();
}

std::string RunKeeping::WhyNotKept(std::string_view target) {
  const int index = IndexOf(target);
  if (index < 0 || why_not_[index].empty()) return "it could not be moved aside on its disk";
  return why_not_[index];
}

std::optional<std::string> RunKeeping::Refusal(std::string_view target) {
  const int index = IndexOf(target);
  if (index < 0 || !broken_[index]) return std::nullopt;
  return "The record of this sync could not be written in " + trees_.tree(index).text +
         ", so nothing more was put in place there: " + Sentence(broken_[index]);
}

void RunKeeping::Drop(std::string_view target, const std::error_code& why) {
  const int index = IndexOf(target);
  if (index < 0) return;
  records_[index].reset();
  broken_[index] = why;
}

bool RunKeeping::MakeRoom(std::string_view target, SyncReport& report) {
  const ComparedTrees::Tree* tree = trees_.TreeOf(target);
  if (tree == nullptr || tree->error) return false;
  const int index = IndexOf(target);
  const std::string own = records_[index] != nullptr ? records_[index]->name() : std::string();
  const std::vector<std::string> removed =
      RemoveRunsBefore(fs_, *tree->folder, INT64_MAX, own, /*at_most=*/1);
  if (removed.empty()) return false;
  report.RemovedForRoom(RunFolderText(tree->text, removed.front()));
  return true;
}

}  // namespace tandrel

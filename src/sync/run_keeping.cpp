#include "sync/run_keeping.h"

#include <vector>

#include "sync/kept_runs.h"

namespace tandrel {

RunKeeping::RunKeeping(FileSystem& fs, ComparedTrees& trees, int keep_days, std::int64_t started)
    : fs_(fs),
      trees_(trees),
      keep_days_(keep_days),
      started_(started),
      run_name_(RunName(started)) {}

int RunKeeping::IndexOf(std::string_view target) {
  const ComparedTrees::Tree* tree = trees_.TreeOf(target);
  if (tree == nullptr) return -1;
  return tree == &trees_.tree(0) ? 0 : 1;
}

void RunKeeping::Start(const bool receives[2]) {
  constexpr std::int64_t kDay = 24 * 3600;
  std::vector<const Folder*> tops;
  for (int i = 0; i < 2; ++i) {
    if (receives[i] && !trees_.tree(i).error) tops.push_back(trees_.tree(i).folder.get());
  }
  run_name_ = UniqueRunName(fs_, tops, run_name_);
  for (int i = 0; i < 2; ++i) {
    ComparedTrees::Tree& tree = trees_.tree(i);
    // Both compared folders may be one.
    if (!receives[i] || tree.error || &tree != trees_.TreeOf(tree.text)) continue;
    RemoveRunsBefore(fs_, *tree.folder, started_ - keep_days_ * kDay, run_name_);
    if (keep_days_ == 0) continue;
    records_[i] = std::make_unique<RunRecord>(fs_, tree.folder, tree.storage, run_name_);
    std::shared_ptr<const Folder> made;
    if (records_[i]->RunFolder(&made)) records_[i].reset();
  }
}

void RunKeeping::End() {
  for (auto& record : records_) {
    if (record != nullptr && record->Empty()) record->Remove();
  }
}

RunRecord* RunKeeping::RecordOf(std::string_view target) {
  const int index = IndexOf(target);
  return index < 0 ? nullptr : records_[index].get();
}

void RunKeeping::Drop(std::string_view target) {
  const int index = IndexOf(target);
  if (index >= 0) records_[index].reset();
}

bool RunKeeping::MakeRoom(std::string_view target, SyncReport& report) {
  const ComparedTrees::Tree* tree = trees_.TreeOf(target);
  if (tree == nullptr || tree->error) return false;
  for (const std::string& run : RunsIn(fs_, *tree->folder)) {
    if (run == run_name_) continue;
    const std::int64_t after = *RunStart(run) + 1;
    if (RemoveRunsBefore(fs_, *tree->folder, after, run_name_).empty()) return false;
    report.RemovedForRoom(RunFolderText(tree->text, run));
    return true;
  }
  return false;
}

}  // namespace tandrel

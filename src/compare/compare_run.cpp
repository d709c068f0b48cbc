#include "compare/compare_run.h"

namespace tandrel {

std::optional<CompareRequest> StartCompareRun(PlanList& plan, const FolderSlot& slot1,
                                              const FolderSlot& slot2, Shell& shell) {
  plan.Clear();
  if (slot1.Count() != 1 || slot2.Count() != 1) {
    shell.ShowMessage(kSelectTwoFolders);
    return std::nullopt;
  }
  return CompareRequest{slot1.Text(1), slot2.Text(1)};
}

std::string UnreadableFoldersMessage(const std::vector<UnreadableFolder>& unreadable) {
  constexpr size_t kShown = 10;
  std::string text = "These folders could not be read and were left out of the comparison:\n";
  for (size_t i = 0; i < unreadable.size() && i < kShown; ++i) {
    text += "\n" + unreadable[i].path + " (" + unreadable[i].error.message() + ")";
  }
  if (unreadable.size() > kShown) {
    text += "\n\nand " + std::to_string(unreadable.size() - kShown) + " more.";
  }
  return text;
}

void FinishCompareRun(BuildResult result, PlanList& plan, Shell& shell) {
  if (result.cancelled) return;
  for (const std::string& note : result.notes) shell.ShowMessage(note);
  if (result.error) {
    shell.ShowMessage("This folder could not be read:\n\n" + result.failed_folder + " (" +
                      result.error.message() + ")");
    return;
  }
  if (result.plan.size() > 0) {
    plan.AppendPlan(std::make_shared<const Plan>(std::move(result.plan)));
    plan.SetAllChecked(true);
  }
  if (!result.unreadable.empty()) shell.ShowMessage(UnreadableFoldersMessage(result.unreadable));
}

}  // namespace tandrel

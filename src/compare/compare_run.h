// The compare run of the window, split around the part that runs on a
// worker thread (BuildPlan), so that any front end can drive it.
#pragma once

#include <optional>
#include <string>

#include "compare/plan.h"
#include "platform/window.h"

namespace tandrel {

inline constexpr const char* kSelectTwoFolders = "Please select two folders to compare.";

struct CompareRequest {
  std::string folder1;
  std::string folder2;
};

// The steps before the walk: empties the plan, then checks that each slot
// holds exactly one entry. Returns the two folder texts to build the plan
// from, or nothing after telling the user to select two folders.
std::optional<CompareRequest> StartCompareRun(PlanList& plan, const FolderSlot& slot1,
                                              const FolderSlot& slot2, Shell& shell);

// The steps after the walk: appends every row and ticks them all, then tells
// the user about a top folder that could not be read, or about folders that
// were left out because they could not be read. A cancelled result changes
// nothing. The plan list takes the plan itself, not texts made from it.
void FinishCompareRun(BuildResult result, PlanList& plan, Shell& shell);

// The message about folders left out: the first ten, and how many more.
std::string UnreadableFoldersMessage(const std::vector<UnreadableFolder>& unreadable);

}  // namespace tandrel

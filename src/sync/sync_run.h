// Check All, Uncheck All and the sync run: what the bottom buttons do after
// the push-button pattern has let the press through.
#pragma once

#include <string>

#include "platform/file_system.h"
#include "platform/window.h"

namespace tandrel {

inline constexpr const char* kSyncDone = "Done.";
inline constexpr const char* kContactMe = "contact me";

// Ticks (or unticks) every row of the plan; no message, nothing else changes.
void CheckAll(PlanList& plan);
void UncheckAll(PlanList& plan);

// Performs the ticked rows of the plan in order, on the calling thread:
// copy rows put the Source into the Destination folder under its own name,
// overwrite rows replace the Destination file, and each performed row's
// Action becomes "Done"; an Action that is neither shows "contact me" and
// the run goes on. At the end "Done." is shown and then the plan is emptied.
//
// Every file is written by SafeCopy, so a failure never costs the old file.
// A copy row never replaces an entry that is already at its target (a file
// the user made after the compare, a link, or where case is ignored a name
// differing only in case), unless this run wrote it; an overwrite row
// refuses a Destination that is now newer than its Source, unless this run
// wrote it. A row that
// cannot be performed stops the run there with one message naming Source,
// Destination and the reason; the plan then keeps its rows.
void SyncRun(PlanList& plan, Shell& shell, FileSystem& fs);

}  // namespace tandrel

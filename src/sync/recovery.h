// Recovering runs that were cut short (a crash, a kill, a power cut): every
// run recorded in either tree whose journal has no end, or has intents
// without an outcome, and that no running program holds, is settled row by
// row before anything else is done there. A row whose copy is in place is
// finished; any other is rolled back: its kept file goes back where it was,
// its temporary goes. Afterwards every path holds its old or its new file,
// none is stranded in the record, and the journal gets its end.
#pragma once

#include <string>
#include <vector>

#include "compare/plan.h"
#include "platform/file_system.h"
#include "sync/compared_trees.h"

namespace tandrel {

struct Recovery {
  int finished = 0;     // rows whose copy was in place
  int rolled_back = 0;  // rows put back as they were
  // Rows that could not be settled, each with the reason; their run is
  // recovered again next time.
  std::vector<std::string> unsettled;
  // Rolled-back rows change the trees a compare saw.
  bool changed() const { return rolled_back > 0; }
};

Recovery RecoverCutShort(FileSystem& fs, ComparedTrees& trees);

// Recovers what a run cut short left in the two folders (see above), then
// compares them; what was recovered is in the result's notes.
BuildResult RecoverThenBuildPlan(FileSystem& fs, const std::string& folder1,
                                 const std::string& folder2, const BuildOptions& options);

// What was recovered in one line ("" when nothing was), then a line for
// each row left unsettled.
std::vector<std::string> RecoveryLines(const Recovery& recovery);

}  // namespace tandrel

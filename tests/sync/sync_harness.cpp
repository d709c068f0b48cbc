#include "sync_harness.h"

#include <gtest/gtest.h>

#include "compare/plan.h"
#include "support/fake_window.h"
#include "support/path.h"

namespace tandrel::testing {

Synced Sync(FakeFileSystem& fs, std::vector<PlanRow> rows, SyncOptions options) {
  FakePlanList plan;
  plan.rows = rows.empty() ? BuildPlan(fs, P("/a/"), P("/b/")).plan.Rows(true) : std::move(rows);
  FakeShell shell;
  Synced synced;
  synced.performed = SyncRun(plan, {P("/a/"), P("/b/")}, shell, fs, options);
  synced.rows = std::move(plan.rows);
  synced.messages = std::move(shell.messages);
  return synced;
}

SyncOptions KeepGoing() {
  SyncOptions options;
  options.keep_going = true;
  return options;
}

PlanRow CopyRow(const std::string& source) {
  return {P(source), std::string(kCopyTo2Action), P("/b/"), true};
}

PlanRow OverwriteRow(const std::string& source, const std::string& destination) {
  return {P(source), std::string(kOverwriteAction), P(destination), true};
}

void ExpectInStep(FakeFileSystem& fs) {
  EXPECT_EQ(BuildPlan(fs, P("/a/"), P("/b/")).plan.size(), 0u);
  EXPECT_FALSE(fs.HasTemporaries());
}

}  // namespace tandrel::testing

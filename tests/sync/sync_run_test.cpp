#include "sync/sync_run.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "compare/plan.h"
#include "support/fake_file_system.h"
#include "support/fake_window.h"
#include "support/path.h"

namespace tandrel {
namespace {

using ::testing::ElementsAre;
using testing::FakeFileSystem;
using testing::FakePlanList;
using testing::FakeShell;
using ::testing::IsEmpty;
using testing::P;

constexpr FileTime kSecond = kFileTimeTicksPerSecond;
constexpr FileTime kDay2000 = 125'911'584'000'000'000;  // 2000-01-01 00:00 UTC
constexpr FileTime kOld = kDay2000;
constexpr FileTime kNew = kDay2000 + 3600 * kSecond;

const std::string kCopy2(kCopyTo2Action);
const std::string kCopy1(kCopyTo1Action);
const std::string kOverwrite(kOverwriteAction);

TEST(SyncRun, PerformsTickedRowsInOrderThenSaysDoneAndEmptiesThePlan) {
  FakeFileSystem fs;
  fs.SetClock(kNew + 999 * kSecond);
  fs.AddFile(P("/a/sub/deep/one"), "one", kOld, false, 0640);
  fs.AddFile(P("/b/bonly"), "b only", kOld);
  fs.AddFile(P("/a/two"), "new two", kNew, false, 0600);
  fs.AddFile(P("/b/x/two"), "old two", kOld, false, 0644);
  FakePlanList plan;
  plan.rows = {{P("/a/sub/deep/one"), kCopy2, P("/b/"), true},
               {P("/b/bonly"), kCopy1, P("/a/"), false},
               {P("/a/two"), kOverwrite, P("/b/x/two"), true}};
  FakeShell shell;
  std::vector<PlanRow> shown_behind_done;
  shell.on_message = [&](const std::string&) { shown_behind_done = plan.rows; };

  SyncRun(plan, {P("/a/"), P("/b/")}, shell, fs);

  EXPECT_THAT(shell.messages, ElementsAre("Done."));
  EXPECT_THAT(shown_behind_done, ElementsAre(PlanRow{P("/a/sub/deep/one"), "Done", P("/b/"), true},
                                             PlanRow{P("/b/bonly"), kCopy1, P("/a/"), false},
                                             PlanRow{P("/a/two"), "Done", P("/b/x/two"), true}));
  EXPECT_THAT(plan.rows, IsEmpty());
  // A copy lands in the top folder under its own name, with the source's
  // time and permission bits.
  EXPECT_EQ(fs.Contents(P("/b/one")), "one");
  EXPECT_EQ(fs.TimeOf(P("/b/one")), kOld);
  EXPECT_EQ(fs.PermissionsOf(P("/b/one")), 0640u);
  EXPECT_FALSE(fs.Exists(P("/b/sub")));
  EXPECT_FALSE(fs.Exists(P("/a/bonly")));
  EXPECT_EQ(fs.Contents(P("/b/x/two")), "new two");
  EXPECT_EQ(fs.TimeOf(P("/b/x/two")), kNew);
  EXPECT_EQ(fs.PermissionsOf(P("/b/x/two")), 0600u);
  EXPECT_EQ(fs.Contents(P("/a/two")), "new two");
  EXPECT_FALSE(fs.HasTemporaries());
}

TEST(SyncRun, ActionsAreToldApartByCaseSensitiveSubstringsCopiedFirst) {
  FakeFileSystem fs;
  fs.AddFile(P("/a/x"), "x", kOld);
  fs.AddFile(P("/a/y"), "y", kOld);
  fs.AddFile(P("/b/y"), "b's y", kOld);
  FakePlanList plan;
  plan.rows = {{P("/a/x"), "Done", P("/b/"), true},
               {P("/a/x"), " could be Copied to", P("/b/"), true},
               {P("/a/x"), " could Overwrite an older", P("/b/y"), true},
               {P("/a/y"), "copied, overwrite", P("/c/"), true}};
  fs.AddFolder(P("/c"));
  FakeShell shell;
  std::vector<std::string> actions_at_done;
  shell.on_message = [&](const std::string& text) {
    if (text == "Done.") {
      for (const PlanRow& row : plan.rows) actions_at_done.push_back(row.action);
    }
  };

  SyncRun(plan, {P("/a/"), P("/")}, shell, fs);

  EXPECT_THAT(shell.messages, ElementsAre("contact me", "contact me", "contact me", "Done."));
  EXPECT_THAT(actions_at_done,
              ElementsAre("Done", " could be Copied to", " could Overwrite an older", "Done"));
  EXPECT_FALSE(fs.Exists(P("/b/x")));
  EXPECT_EQ(fs.Contents(P("/b/y")), "b's y");
  // Both words: a copy into the Destination folder.
  EXPECT_EQ(fs.Contents(P("/c/y")), "y");
}

TEST(CheckAllUncheckAll, TicksOnlyAndAnUncheckedPlanSyncsNothing) {
  FakePlanList plan;
  CheckAll(plan);
  UncheckAll(plan);
  EXPECT_THAT(plan.rows, IsEmpty());

  FakeFileSystem fs;
  fs.AddFile(P("/a/x"), "x", kOld);
  fs.AddFolder(P("/b"));
  const std::vector<std::string> before = fs.AllPaths();
  plan.rows = {{P("/a/x"), kCopy2, P("/b/"), false}, {P("/a/x"), "Done", P("/b/"), true}};
  CheckAll(plan);
  EXPECT_THAT(plan.rows, ElementsAre(PlanRow{P("/a/x"), kCopy2, P("/b/"), true},
                                     PlanRow{P("/a/x"), "Done", P("/b/"), true}));
  UncheckAll(plan);
  EXPECT_THAT(plan.rows, ElementsAre(PlanRow{P("/a/x"), kCopy2, P("/b/"), false},
                                     PlanRow{P("/a/x"), "Done", P("/b/"), false}));

  FakeShell shell;
  SyncRun(plan, {P("/a/"), P("/b/")}, shell, fs);
  EXPECT_THAT(shell.messages, ElementsAre("Done."));
  EXPECT_THAT(plan.rows, IsEmpty());
  EXPECT_EQ(fs.AllPaths(), before);

  SyncRun(plan, {P("/a/"), P("/b/")}, shell, fs);
  EXPECT_THAT(shell.messages, ElementsAre("Done.", "Done."));
}

TEST(SyncRun, OverwritesOfATargetThisRunWroteGoAheadOnlyWhenNewer) {
  // k x m namesakes: /b/x is first replaced by the newest file; the next one
  // of tree 1 is older than what the run just put there, so it stays.
  FakeFileSystem fs;
  fs.AddFile(P("/a/p/x"), "p", kDay2000 + 12 * kSecond);
  fs.AddFile(P("/a/q/x"), "q", kDay2000 + 11 * kSecond);
  fs.AddFile(P("/b/x"), "b", kDay2000 + 10 * kSecond);
  FakePlanList plan;
  plan.Append(BuildPlan(fs, P("/a/"), P("/b/")).plan.Rows(true));
  ASSERT_THAT(plan.rows, ElementsAre(PlanRow{P("/a/p/x"), kOverwrite, P("/b/x"), true},
                                     PlanRow{P("/a/q/x"), kOverwrite, P("/b/x"), true}));
  FakeShell shell;
  SyncRun(plan, {P("/a/"), P("/b/")}, shell, fs);
  ASSERT_EQ(shell.messages.size(), 2u);
  EXPECT_EQ(shell.messages[0], "Done.");
  EXPECT_THAT(shell.messages[1], ::testing::HasSubstr(P("/a/q/x")));
  EXPECT_EQ(fs.Contents(P("/b/x")), "p");
  EXPECT_EQ(fs.TimeOf(P("/b/x")), kDay2000 + 12 * kSecond);
  shell.messages.erase(shell.messages.begin() + 1);

  // The same folder chosen twice: every row comes twice.
  FakeFileSystem same;
  same.AddFile(P("/a/x"), "older", kOld);
  same.AddFile(P("/a/s/x"), "newer", kNew);
  plan.Append(BuildPlan(same, P("/a/"), P("/a/")).plan.Rows(true));
  ASSERT_EQ(plan.rows.size(), 2u);
  SyncRun(plan, {P("/a/"), P("/a/")}, shell, same);
  EXPECT_THAT(shell.messages, ElementsAre("Done.", "Done."));
  EXPECT_EQ(same.Contents(P("/a/x")), "newer");
  EXPECT_EQ(same.Contents(P("/a/s/x")), "newer");
  EXPECT_FALSE(same.HasTemporaries());
}

}  // namespace
}  // namespace tandrel

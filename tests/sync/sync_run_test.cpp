#include "sync/sync_run.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "compare/plan.h"
#include "support/fake_file_system.h"
#include "support/fake_window.h"

namespace tandrel {
namespace {

using ::testing::ElementsAre;
using testing::FakeFileSystem;
using testing::FakePlanList;
using testing::FakeShell;
using ::testing::IsEmpty;

constexpr FileTime kSecond = kFileTimeTicksPerSecond;
constexpr FileTime kDay2000 = 125'911'584'000'000'000;  // 2000-01-01 00:00 UTC
constexpr FileTime kOld = kDay2000;
constexpr FileTime kNew = kDay2000 + 3600 * kSecond;

const std::string kCopy2(kCopyTo2Action);
const std::string kCopy1(kCopyTo1Action);
const std::string kOverwrite(kOverwriteAction);

bool HasTemporaryFile(const FakeFileSystem& fs) {
  for (const std::string& path : fs.AllPaths()) {
    if (path.find("/~") != std::string::npos) return true;
  }
  return false;
}

TEST(SyncRun, PerformsTickedRowsInOrderThenSaysDoneAndEmptiesThePlan) {
  FakeFileSystem fs;
  fs.SetClock(kNew + 999 * kSecond);
  fs.AddFile("/a/sub/deep/one", "one", kOld, false, 0640);
  fs.AddFile("/b/bonly", "b only", kOld);
  fs.AddFile("/a/two", "new two", kNew, false, 0600);
  fs.AddFile("/b/x/two", "old two", kOld, false, 0644);
  FakePlanList plan;
  plan.rows = {{"/a/sub/deep/one", kCopy2, "/b/", true},
               {"/b/bonly", kCopy1, "/a/", false},
               {"/a/two", kOverwrite, "/b/x/two", true}};
  FakeShell shell;
  std::vector<PlanRow> shown_behind_done;
  shell.on_message = [&](const std::string&) { shown_behind_done = plan.rows; };

  SyncRun(plan, shell, fs);

  EXPECT_THAT(shell.messages, ElementsAre("Done."));
  EXPECT_THAT(shown_behind_done, ElementsAre(PlanRow{"/a/sub/deep/one", "Done", "/b/", true},
                                             PlanRow{"/b/bonly", kCopy1, "/a/", false},
                                             PlanRow{"/a/two", "Done", "/b/x/two", true}));
  EXPECT_THAT(plan.rows, IsEmpty());
  // A copy lands in the top folder under its own name, with the source's
  // time and permission bits.
  EXPECT_EQ(fs.Contents("/b/one"), "one");
  EXPECT_EQ(fs.TimeOf("/b/one"), kOld);
  EXPECT_EQ(fs.PermissionsOf("/b/one"), 0640u);
  EXPECT_FALSE(fs.Exists("/b/sub"));
  EXPECT_FALSE(fs.Exists("/a/bonly"));
  EXPECT_EQ(fs.Contents("/b/x/two"), "new two");
  EXPECT_EQ(fs.TimeOf("/b/x/two"), kNew);
  EXPECT_EQ(fs.PermissionsOf("/b/x/two"), 0600u);
  EXPECT_EQ(fs.Contents("/a/two"), "new two");
  EXPECT_FALSE(HasTemporaryFile(fs));
}

TEST(SyncRun, ActionsAreToldApartByCaseSensitiveSubstringsCopiedFirst) {
  FakeFileSystem fs;
  fs.AddFile("/a/x", "x", kOld);
  fs.AddFile("/a/y", "y", kOld);
  fs.AddFile("/b/y", "b's y", kOld);
  FakePlanList plan;
  plan.rows = {{"/a/x", "Done", "/b/", true},
               {"/a/x", " could be Copied to", "/b/", true},
               {"/a/x", " could Overwrite an older", "/b/y", true},
               {"/a/y", "copied, overwrite", "/c/", true}};
  fs.AddFolder("/c");
  FakeShell shell;
  std::vector<std::string> actions_at_done;
  shell.on_message = [&](const std::string& text) {
    if (text == "Done.") {
      for (const PlanRow& row : plan.rows) actions_at_done.push_back(row.action);
    }
  };

  SyncRun(plan, shell, fs);

  EXPECT_THAT(shell.messages, ElementsAre("contact me", "contact me", "contact me", "Done."));
  EXPECT_THAT(actions_at_done,
              ElementsAre("Done", " could be Copied to", " could Overwrite an older", "Done"));
  EXPECT_FALSE(fs.Exists("/b/x"));
  EXPECT_EQ(fs.Contents("/b/y"), "b's y");
  // Both words: a copy into the Destination folder.
  EXPECT_EQ(fs.Contents("/c/y"), "y");
}

TEST(CheckAllUncheckAll, TicksOnlyAndAnUncheckedPlanSyncsNothing) {
  FakePlanList plan;
  CheckAll(plan);
  UncheckAll(plan);
  EXPECT_THAT(plan.rows, IsEmpty());

  FakeFileSystem fs;
  fs.AddFile("/a/x", "x", kOld);
  fs.AddFolder("/b");
  const std::vector<std::string> before = fs.AllPaths();
  plan.rows = {{"/a/x", kCopy2, "/b/", false}, {"/a/x", "Done", "/b/", true}};
  CheckAll(plan);
  EXPECT_THAT(plan.rows, ElementsAre(PlanRow{"/a/x", kCopy2, "/b/", true},
                                     PlanRow{"/a/x", "Done", "/b/", true}));
  UncheckAll(plan);
  EXPECT_THAT(plan.rows, ElementsAre(PlanRow{"/a/x", kCopy2, "/b/", false},
                                     PlanRow{"/a/x", "Done", "/b/", false}));

  FakeShell shell;
  SyncRun(plan, shell, fs);
  EXPECT_THAT(shell.messages, ElementsAre("Done."));
  EXPECT_THAT(plan.rows, IsEmpty());
  EXPECT_EQ(fs.AllPaths(), before);

  SyncRun(plan, shell, fs);
  EXPECT_THAT(shell.messages, ElementsAre("Done.", "Done."));
}

TEST(SyncRun, OverwritesOfATargetThisRunWroteGoAhead) {
  // k x m namesakes: /b/x is first replaced by the newest file, then by the
  // next one of tree 1, which is older than what the run just put there.
  FakeFileSystem fs;
  fs.AddFile("/a/p/x", "p", kDay2000 + 12 * kSecond);
  fs.AddFile("/a/q/x", "q", kDay2000 + 11 * kSecond);
  fs.AddFile("/b/x", "b", kDay2000 + 10 * kSecond);
  FakePlanList plan;
  plan.Append(BuildPlan(fs, "/a/", "/b/").plan.Rows(true));
  ASSERT_THAT(plan.rows, ElementsAre(PlanRow{"/a/p/x", kOverwrite, "/b/x", true},
                                     PlanRow{"/a/q/x", kOverwrite, "/b/x", true}));
  FakeShell shell;
  SyncRun(plan, shell, fs);
  EXPECT_THAT(shell.messages, ElementsAre("Done."));
  EXPECT_EQ(fs.Contents("/b/x"), "q");
  EXPECT_EQ(fs.TimeOf("/b/x"), kDay2000 + 11 * kSecond);

  // The same folder chosen twice: every row comes twice.
  FakeFileSystem same;
  same.AddFile("/a/x", "older", kOld);
  same.AddFile("/a/s/x", "newer", kNew);
  plan.Append(BuildPlan(same, "/a/", "/a/").plan.Rows(true));
  ASSERT_EQ(plan.rows.size(), 2u);
  SyncRun(plan, shell, same);
  EXPECT_THAT(shell.messages, ElementsAre("Done.", "Done."));
  EXPECT_EQ(same.Contents("/a/x"), "newer");
  EXPECT_EQ(same.Contents("/a/s/x"), "newer");
  EXPECT_FALSE(HasTemporaryFile(same));
}

}  // namespace
}  // namespace tandrel

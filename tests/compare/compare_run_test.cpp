#include "compare/compare_run.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/fake_file_system.h"
#include "support/fake_window.h"
#include "support/path.h"

namespace tandrel {
namespace {

using ::testing::ElementsAre;
using testing::FakeFileSystem;
using testing::FakeFolderSlot;
using testing::FakePlanList;
using testing::FakeShell;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using testing::P;

TEST(CompareRun, MissingSlotEmptiesThePlanAndAsksForTwoFolders) {
  FakePlanList plan;
  plan.rows.push_back({P("/a"), " could be copied to", P("/b/"), true});
  FakeFolderSlot one, two;
  one.entries = {P("/a/")};
  FakeShell shell;
  EXPECT_FALSE(StartCompareRun(plan, one, two, shell).has_value());
  EXPECT_THAT(plan.rows, IsEmpty());
  EXPECT_THAT(shell.messages, ElementsAre("Please select two folders to compare."));

  two.entries = {P("/b/")};
  const std::optional<CompareRequest> request = StartCompareRun(plan, one, two, shell);
  ASSERT_TRUE(request.has_value());
  EXPECT_EQ(request->folder1, P("/a/"));
  EXPECT_EQ(request->folder2, P("/b/"));
  EXPECT_EQ(shell.messages.size(), 1u);
}

TEST(CompareRun, FinishAppendsEveryRowTickedAndNamesUnreadableFolders) {
  FakeFileSystem fs;
  fs.AddFile(P("/a/x"), "", 0);
  fs.AddFile(P("/a/y"), "", 0);
  fs.AddFolder(P("/b"));
  for (int i = 0; i < 12; ++i) {
    const std::string locked = P("/a/locked") + std::to_string(i);
    fs.AddFolder(locked);
    fs.FailPath(testing::Op::kList, locked + P("/"),
                std::make_error_code(std::errc::permission_denied));
  }
  FakePlanList plan;
  FakeShell shell;
  FinishCompareRun(BuildPlan(fs, P("/a/"), P("/b/")), plan, shell);
  ASSERT_EQ(plan.rows.size(), 2u);
  EXPECT_TRUE(plan.rows[0].checked && plan.rows[1].checked);
  ASSERT_EQ(shell.messages.size(), 1u);
  EXPECT_THAT(shell.messages[0], HasSubstr(P("/a/locked9/")));
  EXPECT_THAT(shell.messages[0], ::testing::Not(HasSubstr(P("/a/locked10/"))));
  EXPECT_THAT(shell.messages[0], HasSubstr("and 2 more."));
}

TEST(CompareRun, FinishTellsAboutAMissingTopFolderAndSuccessIsSilent) {
  FakeFileSystem fs;
  fs.AddFolder(P("/a"));
  FakePlanList plan;
  FakeShell shell;
  FinishCompareRun(BuildPlan(fs, P("/a/"), P("/gone/")), plan, shell);
  EXPECT_THAT(plan.rows, IsEmpty());
  ASSERT_EQ(shell.messages.size(), 1u);
  EXPECT_THAT(shell.messages[0], HasSubstr(P("/gone/")));

  fs.AddFolder(P("/b"));
  shell.messages.clear();
  FinishCompareRun(BuildPlan(fs, P("/a/"), P("/b/")), plan, shell);
  EXPECT_THAT(shell.messages, IsEmpty());
}

}  // namespace
}  // namespace tandrel

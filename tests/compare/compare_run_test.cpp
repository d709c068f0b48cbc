#include "compare/compare_run.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/fake_file_system.h"
#include "support/fake_window.h"

namespace tandrel {
namespace {

using ::testing::ElementsAre;
using testing::FakeFileSystem;
using testing::FakeFolderSlot;
using testing::FakePlanList;
using testing::FakeShell;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

TEST(CompareRun, MissingSlotEmptiesThePlanAndAsksForTwoFolders) {
  FakePlanList plan;
  plan.rows.push_back({"/a", " could be copied to", "/b/", true});
  FakeFolderSlot one, two;
  one.entries = {"/a/"};
  FakeShell shell;
  EXPECT_FALSE(StartCompareRun(plan, one, two, shell).has_value());
  EXPECT_THAT(plan.rows, IsEmpty());
  EXPECT_THAT(shell.messages, ElementsAre("Please select two folders to compare."));

  two.entries = {"/b/"};
  const std::optional<CompareRequest> request = StartCompareRun(plan, one, two, shell);
  ASSERT_TRUE(request.has_value());
  EXPECT_EQ(request->folder1, "/a/");
  EXPECT_EQ(request->folder2, "/b/");
  EXPECT_EQ(shell.messages.size(), 1u);
}

TEST(CompareRun, FinishAppendsEveryRowTickedAndNamesUnreadableFolders) {
  FakeFileSystem fs;
  fs.AddFile("/a/x", "", 0);
  fs.AddFile("/a/y", "", 0);
  fs.AddFolder("/b");
  for (int i = 0; i < 12; ++i) {
    const std::string locked = "/a/locked" + std::to_string(i);
    fs.AddFolder(locked);
    fs.FailPath(testing::Op::kList, locked + "/",
                std::make_error_code(std::errc::permission_denied));
  }
  FakePlanList plan;
  FakeShell shell;
  FinishCompareRun(BuildPlan(fs, "/a/", "/b/"), plan, shell);
  ASSERT_EQ(plan.rows.size(), 2u);
  EXPECT_TRUE(plan.rows[0].checked && plan.rows[1].checked);
  ASSERT_EQ(shell.messages.size(), 1u);
  EXPECT_THAT(shell.messages[0], HasSubstr("/a/locked9/"));
  EXPECT_THAT(shell.messages[0], ::testing::Not(HasSubstr("/a/locked10/")));
  EXPECT_THAT(shell.messages[0], HasSubstr("and 2 more."));
}

TEST(CompareRun, FinishTellsAboutAMissingTopFolderAndSuccessIsSilent) {
  FakeFileSystem fs;
  fs.AddFolder("/a");
  FakePlanList plan;
  FakeShell shell;
  FinishCompareRun(BuildPlan(fs, "/a/", "/gone/"), plan, shell);
  EXPECT_THAT(plan.rows, IsEmpty());
  ASSERT_EQ(shell.messages.size(), 1u);
  EXPECT_THAT(shell.messages[0], HasSubstr("/gone/"));

  fs.AddFolder("/b");
  shell.messages.clear();
  FinishCompareRun(BuildPlan(fs, "/a/", "/b/"), plan, shell);
  EXPECT_THAT(shell.messages, IsEmpty());
}

}  // namespace
}  // namespace tandrel

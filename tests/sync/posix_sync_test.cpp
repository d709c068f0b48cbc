// What only a POSIX file system can do to a sync run.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <memory>

#include "compare/plan.h"
#include "platform/system.h"
#include "support/fake_window.h"
#include "support/temp_folder.h"
#include "sync/sync_run.h"

namespace tandrel {
namespace {

using testing::FakePlanList;
using testing::FakeShell;
using ::testing::HasSubstr;
using testing::TempFolder;

// A pipe put in a source's place after the compare would block a plain
// open until someone writes to it; the row must fail at once instead.
TEST(SyncOnPosix, ASourceThatBecameAPipeFailsTheRowWithoutWaiting) {
  std::unique_ptr<FileSystem> fs = MakeRealFileSystem();
  TempFolder tmp;
  const std::string source = tmp.Write("A/x", "x");
  const std::string b = tmp.MakeFolder("B") + "/";
  FakePlanList plan;
  plan.Append(BuildPlan(*fs, tmp.path() + "A/", b).plan.Rows(true));
  ASSERT_EQ(plan.rows.size(), 1u);
  ASSERT_EQ(::unlink(source.c_str()), 0);
  ASSERT_EQ(::mkfifo(source.c_str(), 0644), 0);
  FakeShell shell;

  SyncRun(plan, {tmp.path() + "A/", b}, shell, *fs);

  ASSERT_EQ(shell.messages.size(), 1u);
  EXPECT_THAT(shell.messages[0], HasSubstr(source));
  EXPECT_TRUE(std::filesystem::is_empty(b));
}

}  // namespace
}  // namespace tandrel

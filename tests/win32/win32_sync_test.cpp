// The sync run on real Windows folders: read-only files, long paths and
// names outside the code page, through the Windows file system.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>

#include "compare/plan.h"
#include "platform/win32/wide.h"
#include "platform/win32/win32_file_system.h"
#include "support/fake_window.h"
#include "support/temp_folder.h"
#include "sync/sync_run.h"
#include "sync/undo.h"
#include "win32_disk.h"

namespace tandrel {
namespace {

using testing::FakePlanList;
using testing::FakeShell;
using ::testing::HasSubstr;
using testing::TempFolder;

constexpr long long kTen = 1'577'872'800;  // 2020-01-01 10:00 UTC, seconds since 1970
constexpr long long kNoon = kTen + 7200;

class Win32SyncTest : public ::testing::Test {
 protected:
  Win32FileSystem fs_;
  TempFolder tmp_;
  FakePlanList plan_;
  FakeShell shell_;

  std::string one() const { return tmp_.path() + "one\\"; }
  std::string two() const { return tmp_.path() + "two\\"; }

  void Compare() {
    const BuildResult result = BuildPlan(fs_, one(), two());
    ASSERT_FALSE(result.error);
    plan_.Clear();
    plan_.Append(result.plan.Rows(/*checked=*/true));
  }

  std::vector<std::string> Names(const std::string& folder) {
    std::vector<DirEntry> entries;
    EXPECT_FALSE(fs_.ListFolder(folder, &entries));
    std::vector<std::string> names;
    for (const DirEntry& e : entries) names.push_back(e.name);
    std::sort(names.begin(), names.end());
    return names;
  }
};

// A read-only target is replaced as any other: moved aside into the run's
// record with its attribute, and put back read-only by undo. Without
// keeping, Windows cannot replace it, and the row says so and loses nothing.
TEST_F(Win32SyncTest, ReadOnlyTargetIsKeptAndReplacedAndUndoneReadOnly) {
  for (const int keep_days : {SyncOptions{}.keep_days, 0}) {
    SCOPED_TRACE(keep_days);
    tmp_.Write("one\\same.txt", "newer", kNoon);
    const std::string target = tmp_.Write("two\\same.txt", "older", kTen);
    tmp_.Write("one\\first.txt", "first", kTen);
    ASSERT_TRUE(testing::AddAttributes(target, FILE_ATTRIBUTE_READONLY));
    const auto read_only = [&] {
      return (::GetFileAttributesW(win32::ApiPath(target).c_str()) & FILE_ATTRIBUTE_READONLY) != 0;
    };
    Compare();
    ASSERT_EQ(plan_.Count(), 2);
    SyncOptions options;
    options.keep_days = keep_days;
    shell_.messages.clear();
    SyncRun(plan_, {one(), two()}, shell_, fs_, options);

    ASSERT_EQ(shell_.messages.size(), 1u);
    if (keep_days == 0) {
      EXPECT_THAT(shell_.messages[0], HasSubstr(target));
      EXPECT_THAT(shell_.messages[0], HasSubstr("read-only"));
      EXPECT_NE(plan_.Row(2).action, "Done");
      EXPECT_EQ(testing::ReadFile(target), "older");
      EXPECT_TRUE(read_only());
    } else {
      EXPECT_EQ(shell_.messages[0], "Done.");
      EXPECT_EQ(testing::ReadFile(target), "newer");
      EXPECT_FALSE(read_only());
      const std::vector<RecordedRun> runs = RecordedRuns(fs_, one(), two());
      ASSERT_EQ(runs.size(), 1u);
      const UndoReport undone = UndoRun(fs_, one(), two(), runs.back());
      EXPECT_FALSE(undone.error);
      EXPECT_THAT(undone.left_alone, ::testing::IsEmpty());
      EXPECT_EQ(testing::ReadFile(target), "older");
      EXPECT_TRUE(read_only());
    }
    // No temporary file is left behind.
    for (const std::string& name : Names(two())) EXPECT_FALSE(name.starts_with("~")) << name;
    testing::ClearReadOnly(target);
    testing::RemoveTree(tmp_.path() + "one");
    testing::RemoveTree(tmp_.path() + "two");
  }
}

TEST_F(Win32SyncTest, ReadOnlySourceIsCopiedAndLeavesNoTemporaryFile) {
  const std::string source = tmp_.Write("one\\locked.txt", "locked", kTen);
  ASSERT_TRUE(testing::AddAttributes(source, FILE_ATTRIBUTE_READONLY));
  tmp_.MakeFolder("two");
  Compare();
  SyncRun(plan_, {one(), two()}, shell_, fs_);
  EXPECT_EQ(shell_.messages, std::vector<std::string>{"Done."});
  EXPECT_EQ(testing::ReadFile(two() + "locked.txt"), "locked");
  EXPECT_EQ(Names(two()), (std::vector<std::string>{".tandrel", "locked.txt"}));
  // Synced: a second compare proposes nothing.
  Compare();
  EXPECT_EQ(plan_.Count(), 0);
  testing::ClearReadOnly(source);
}

TEST_F(Win32SyncTest, LongPathsAndNamesOutsideTheCodePageAreSynced) {
  std::string deep = one() + "deep";
  ASSERT_TRUE(testing::MakeFolder(one()));
  ASSERT_TRUE(testing::MakeFolder(deep));
  while (deep.size() < 300) {
    deep += "\\a-folder-name-of-some-length-" + std::to_string(deep.size());
    ASSERT_TRUE(testing::MakeFolder(deep));
  }
  const std::string greek = "\xce\xb1\xce\xb2\xce\xb3.txt";
  ASSERT_TRUE(testing::WriteFile(deep + "\\" + greek, "far and greek"));
  ASSERT_TRUE(testing::MakeFolder(two()));
  ASSERT_TRUE(testing::WriteFile(two() + "\xf0\x9f\x98\x80.txt", "emoji"));
  Compare();
  ASSERT_EQ(plan_.Count(), 2);
  SyncRun(plan_, {one(), two()}, shell_, fs_);
  EXPECT_EQ(shell_.messages, std::vector<std::string>{"Done."});
  EXPECT_EQ(testing::ReadFile(two() + greek), "far and greek");
  EXPECT_EQ(testing::ReadFile(one() + "\xf0\x9f\x98\x80.txt"), "emoji");
  testing::RemoveTree(one() + "deep");
}

// A Linux program swaps a destination subfolder for a link to a folder
// outside, again and again, while syncs of many overwrites run under Wine
// (which shows Linux links as reparse points). Writes by whole path under
// the same racer escape first, so the race is known to be real.
TEST(Win32Race, ASwappedLinkNeverLeadsAWriteOutside) {
  constexpr int kFiles = 100;
  TempFolder tmp;
  const std::string t1 = tmp.path() + "t1\\";
  const std::string t2 = tmp.path() + "t2\\";
  const std::string outside = tmp.path() + "outside\\";
  for (int i = 0; i < kFiles; ++i) {
    const std::string name = "f" + std::to_string(i);
    tmp.Write("t1/" + name, "new", kNoon);
    tmp.Write("t2/sub/" + name, "old", kTen);
    tmp.Write("outside/" + name, "precious", kTen);
  }
  const std::string stop = tmp.path() + "stop";
  const std::string done = tmp.path() + "done";
  const std::string script = "cd \"" + testing::UnixPathOf(t2) + "\" && while [ ! -e \"" +
                             testing::UnixPathOf(tmp.path()) + "stop\" ]; do mv -T sub held && " +
                             "ln -s \"" + testing::UnixPathOf(outside) +
                             "\" sub && rm sub && mv -T held sub; done; touch ../done";
  if (!testing::StartHostShell(script)) GTEST_SKIP() << "needs Wine's host shell as the racer";
  const auto escaped = [&] {
    int count = 0;
    for (int i = 0; i < kFiles; ++i) {
      count += testing::ReadFile(outside + "f" + std::to_string(i)) != "precious";
    }
    return count;
  };
  for (int round = 0; round < 20 && escaped() == 0; ++round) {
    for (int i = 0; i < kFiles; ++i) testing::WriteFile(t2 + "sub\\f" + std::to_string(i), "out");
  }
  const int control = escaped();
  for (int i = 0; i < kFiles; ++i)
    testing::WriteFile(outside + "f" + std::to_string(i), "precious");

  Win32FileSystem fs;
  int remaining = kFiles;
  int runs = 0;
  for (const DWORD start = ::GetTickCount(); remaining > 0 && ::GetTickCount() - start < 3000;) {
    FakePlanList plan;
    for (int i = kFiles - remaining; i < kFiles; ++i) {
      const std::string name = "f" + std::to_string(i);
      plan.rows.push_back({t1 + name, std::string(kOverwriteAction), t2 + "sub\\" + name, true});
    }
    FakeShell shell;
    SyncRun(plan, {t1, t2}, shell, fs);
    ++runs;
    remaining = static_cast<int>(std::count_if(
        plan.rows.begin(), plan.rows.end(), [](const PlanRow& r) { return r.action != "Done"; }));
  }
  testing::WriteFile(stop, "");
  for (int i = 0;
       i < 500 && ::GetFileAttributesW(win32::Utf8ToWide(done).c_str()) == INVALID_FILE_ATTRIBUTES;
       ++i) {
    ::Sleep(10);
  }

  ASSERT_GT(control, 0) << "the racer never won against whole paths: this test proves nothing";
  EXPECT_EQ(escaped(), 0) << "after " << runs << " runs";
}

}  // namespace
}  // namespace tandrel

// A sync undone: both trees back as they were, what changed since left
// alone, and a crash between moving a file aside and putting its copy in
// place never losing either.
#include "sync/undo.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "compare/plan.h"
#include "support/fake_file_system.h"
#include "support/fake_window.h"
#include "support/path.h"
#include "sync/sync_run.h"
#include "sync_harness.h"

namespace tandrel {
namespace {

using testing::FakeFileSystem;
using testing::FakePlanList;
using testing::FakeShell;
using ::testing::HasSubstr;
using testing::kNew;
using testing::kOld;
using testing::kSecond;
using testing::Op;
using testing::P;

// Copies both ways, and overwrites both ways, one in a subfolder.
void Populate(FakeFileSystem& fs) {
  fs.AddFile(P("/a/only-a"), "only in a", kOld);
  fs.AddFile(P("/b/deep/only-b"), "only in b", kOld);
  fs.AddFile(P("/a/x"), "newer x", kNew);
  fs.AddFile(P("/b/deep/x"), "older x", kOld);
  fs.AddFile(P("/a/sub/y"), "older y", kOld);
  fs.AddFile(P("/b/y"), "newer y", kNew);
}

// Every path, with the bytes and time of each file.
std::vector<std::string> Snapshot(const FakeFileSystem& fs) {
  std::vector<std::string> shot;
  for (const std::string& path : fs.AllPaths()) {
    const std::string contents = fs.Contents(path);
    shot.push_back(path + " " + contents + " " + std::to_string(fs.TimeOf(path)));
  }
  return shot;
}

bool SyncAll(FakeFileSystem& fs) {
  FakePlanList plan;
  plan.rows = BuildPlan(fs, P("/a/"), P("/b/")).plan.Rows(true);
  FakeShell shell;
  return SyncRun(plan, {P("/a/"), P("/b/")}, shell, fs);
}

UndoReport UndoLast(FakeFileSystem& fs) {
  const std::vector<RecordedRun> runs = RecordedRuns(fs, P("/a/"), P("/b/"));
  EXPECT_EQ(runs.size(), 1u);
  if (runs.empty()) return {};
  EXPECT_EQ(runs[0].rows, 4);
  EXPECT_EQ(runs[0].bytes_kept, 14);
  return UndoRun(fs, P("/a/"), P("/b/"), runs[0].name);
}

// After a sync the kept files take no part in a compare; undone, both trees
// are as they were, but for what changed since, which is left and named.
TEST(Undo, PutsBothTreesBackButWhatChangedSince) {
  for (const bool edited : {false, true}) {
    FakeFileSystem fs;
    Populate(fs);
    const std::vector<std::string> before = Snapshot(fs);
    ASSERT_TRUE(SyncAll(fs));
    testing::ExpectInStep(fs);
    EXPECT_EQ(fs.Contents(P("/b/deep/x")), "newer x");
    if (edited) fs.Write(P("/b/deep/x"), "edited after the sync", kNew + kSecond * 60);

    const UndoReport report = UndoLast(fs);

    EXPECT_FALSE(report.error);
    EXPECT_EQ(report.removed.size(), 2u);
    if (!edited) {
      EXPECT_THAT(report.left_alone, ::testing::IsEmpty());
      EXPECT_EQ(Snapshot(fs), before);
      continue;
    }
    ASSERT_EQ(report.left_alone.size(), 1u);
    EXPECT_THAT(report.left_alone[0], HasSubstr(P("/b/deep/x")));
    EXPECT_THAT(report.left_alone[0], HasSubstr("~x"));
    EXPECT_EQ(fs.Contents(P("/b/deep/x")), "edited after the sync");
    EXPECT_EQ(fs.Contents(P("/a/sub/y")), "older y");
    // The file it replaced is still kept, and the run can still be listed.
    EXPECT_EQ(RecordedRuns(fs, P("/a/"), P("/b/")).size(), 1u);
  }
}

// A crash right after the older file was moved aside: it is kept, the copy
// waits in its temporary, and undo puts the older file back.
TEST(Undo, ACrashBetweenTheTwoRenamesLosesNeither) {
  FakeFileSystem fs;
  Populate(fs);
  struct Crash {};
  bool armed = true;
  fs.SetHook([&](Op op, const std::string& path) {
    if (armed && op == Op::kRename && path == P("/b/deep/x")) {
      armed = false;
      throw Crash{};
    }
  });
  EXPECT_THROW(SyncAll(fs), Crash);
  fs.SetHook({});
  EXPECT_FALSE(fs.Exists(P("/b/deep/x")));
  bool kept = false;
  for (const std::string& path : fs.AllPaths()) {
    if (path.ends_with(P("/deep/~x"))) kept = fs.Contents(path) == "older x";
  }
  EXPECT_TRUE(kept);
  EXPECT_TRUE(fs.HasTemporaries());

  const std::vector<RecordedRun> runs = RecordedRuns(fs, P("/a/"), P("/b/"));
  ASSERT_EQ(runs.size(), 1u);
  const UndoReport report = UndoRun(fs, P("/a/"), P("/b/"), runs[0].name);

  EXPECT_THAT(report.left_alone, ::testing::IsEmpty());
  EXPECT_EQ(fs.Contents(P("/b/deep/x")), "older x");
  EXPECT_EQ(fs.TimeOf(P("/b/deep/x")), kOld);
}

}  // namespace
}  // namespace tandrel

namespace tandrel {
namespace {

// A disk that fills up where an earlier run kept files: the oldest run's
// files go to make room, the run says so, and every row is done.
TEST(KeptFiles, AFullDiskRemovesTheOldestKeptRunAndGoesOn) {
  FakeFileSystem fs;
  Populate(fs);
  const std::string old_run = P("/b/.tandrel/replaced/2020-01-01 000000");
  fs.AddFile(old_run + P("/~old"), "kept long ago", kOld);
  bool full = false;
  fs.SetHook([&](Op op, const std::string& path) {
    if (!full && op == Op::kCreate && path.find("~tandrel-") != std::string::npos) {
      full = true;
      fs.FailFrom(Op::kWrite, 1, std::make_error_code(std::errc::no_space_on_device));
    }
    if (op == Op::kRemove && path.starts_with(old_run)) fs.ClearFaults();
  });
  FakePlanList plan;
  plan.rows = BuildPlan(fs, P("/a/"), P("/b/")).plan.Rows(true);
  FakeShell shell;
  SyncOptions options;
  options.keep_days = 100'000;  // the old run is not yet too old

  EXPECT_TRUE(SyncRun(plan, {P("/a/"), P("/b/")}, shell, fs, options));

  EXPECT_FALSE(fs.Exists(old_run));
  EXPECT_EQ(fs.Contents(P("/b/deep/x")), "newer x");
  ASSERT_EQ(shell.messages.size(), 2u);
  EXPECT_THAT(shell.messages[1], HasSubstr(std::string(kRemovedForRoom)));
  EXPECT_THAT(shell.messages[1], HasSubstr("2020-01-01 000000"));
}

}  // namespace
}  // namespace tandrel

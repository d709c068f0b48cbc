// A sync undone: both trees back as they were, what changed since left
// alone, and a crash between moving a file aside and putting its copy in
// place never losing either.
#include "sync/undo.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <set>

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
using testing::kDay;
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

// Every path outside the runs' records, with the bytes and time of each file.
std::vector<std::string> Snapshot(const FakeFileSystem& fs) {
  std::vector<std::string> shot;
  for (const std::string& path : fs.AllPaths()) {
    if (path.find(P("/.tandrel")) != std::string::npos) continue;
    const std::string contents = fs.Contents(path);
    shot.push_back(path + " " + contents + " " + std::to_string(fs.TimeOf(path)));
  }
  return shot;
}

// Compares, then syncs every row; a run that first settles one cut short
// and so finds its plan out of date is followed by another.
bool SyncAll(FakeFileSystem& fs) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    FakePlanList plan;
    plan.rows = BuildPlan(fs, P("/a/"), P("/b/")).plan.Rows(true);
    FakeShell shell;
    if (SyncRun(plan, {P("/a/"), P("/b/")}, shell, fs)) return true;
    if (shell.messages.empty() || shell.messages.back() != kCompareAgain) return false;
  }
  return false;
}

UndoReport UndoLast(FakeFileSystem& fs) {
  const std::vector<RecordedRun> runs = RecordedRuns(fs, P("/a/"), P("/b/"));
  EXPECT_FALSE(runs.empty());
  if (runs.empty()) return {};
  return UndoRun(fs, P("/a/"), P("/b/"), runs.back());
}

// After a sync the kept files take no part in a compare; undone, both trees
// are as they were, but for what changed since, which is left and named;
// and an undo undone gives back the trees the sync made.
TEST(Undo, PutsBothTreesBackButWhatChangedSince) {
  for (const bool edited : {false, true}) {
    FakeFileSystem fs;
    Populate(fs);
    const std::vector<std::string> before = Snapshot(fs);
    ASSERT_TRUE(SyncAll(fs));
    testing::ExpectInStep(fs);
    EXPECT_EQ(fs.Contents(P("/b/deep/x")), "newer x");
    if (edited) fs.Write(P("/b/deep/x"), "edited after the sync", kNew + kSecond * 60);
    const std::vector<std::string> after = Snapshot(fs);
    const std::vector<RecordedRun> runs = RecordedRuns(fs, P("/a/"), P("/b/"));
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].rows, 4);
    EXPECT_EQ(runs[0].bytes_kept, 14);

    const UndoReport report = UndoLast(fs);

    EXPECT_FALSE(report.error);
    EXPECT_EQ(report.removed.size(), 2u);
    const std::vector<RecordedRun> now = RecordedRuns(fs, P("/a/"), P("/b/"));
    ASSERT_FALSE(now.empty());
    EXPECT_TRUE(now.back().undo);
    if (!edited) {
      EXPECT_THAT(report.left_alone, ::testing::IsEmpty());
      EXPECT_EQ(Snapshot(fs), before);
      EXPECT_EQ(now.size(), 1u);  // the sync's record went with it
      // Undoing the undo gives back what the sync made.
      EXPECT_THAT(UndoLast(fs).left_alone, ::testing::IsEmpty());
      EXPECT_EQ(Snapshot(fs), after);
      continue;
    }
    ASSERT_EQ(report.left_alone.size(), 1u);
    EXPECT_THAT(report.left_alone[0], HasSubstr(P("/b/deep/x")));
    EXPECT_THAT(report.left_alone[0], HasSubstr("~x"));
    EXPECT_EQ(fs.Contents(P("/b/deep/x")), "edited after the sync");
    EXPECT_EQ(fs.Contents(P("/a/sub/y")), "older y");
    // The file it replaced is still kept, and the run can still be listed,
    // with only the row left to undo.
    ASSERT_EQ(now.size(), 2u);
    EXPECT_EQ(now[0].rows, 1);
  }
}

// A crash at any step of a sync (each create, write, flush, rename and
// link), on a local disk, on one without hard links (where what is
// replaced is moved aside rather than given a second name), with a disk
// mounted inside a tree (whose replaced files are kept at that disk's top),
// and on a share (where a temporary's lock tells nothing), then a sync:
// every path holds its old file or its new one, nothing is left in a
// temporary or stranded in the record, and the trees are in step; then
// undo of both runs, newest first: both trees as before.
TEST(Undo, ACrashAtAnyStepIsRecoveredAndUndone) {
  const Op kSteps[] = {Op::kCreate, Op::kWrite, Op::kFlush, Op::kRename, Op::kRemove, Op::kLink};
  int crashes = 0;
  enum Where { kLocal, kNoLinks, kMounted, kShare };
  for (const Where where : {kLocal, kNoLinks, kMounted, kShare})
    for (const Op op : kSteps) {
      const bool share = where == kShare;
      if (share && op != Op::kWrite) continue;
      for (int nth = share ? 6 : 1;; ++nth) {
        FakeFileSystem fs;
        Populate(fs);
        if (share) {
          testing::FakeStorage remote;
          remote.storage.remote = true;
          fs.SetStorage(P("/a"), remote);
          fs.SetStorage(P("/b"), remote);
        }
        if (where == kMounted) fs.SetStorage(P("/b/deep"), {});
        if (where == kNoLinks) {
          testing::FakeStorage fat;
          fat.hard_links = false;
          fs.SetStorage(P("/a"), fat);
          fs.SetStorage(P("/b"), fat);
        }
        const std::vector<std::string> before = Snapshot(fs);
        fs.CutPowerAt(op, nth);
        SyncAll(fs);
        const bool crashed = fs.PowerIsCut();
        fs.PowerBack();
        if (!crashed) break;  // past the last step of that kind
        ++crashes;
        const std::string at = "crash at step " + std::to_string(nth) + " of kind " +
                               std::to_string(static_cast<int>(op)) + " where " +
                               std::to_string(static_cast<int>(where));

        ASSERT_TRUE(SyncAll(fs)) << at;

        EXPECT_FALSE(fs.HasTemporaries()) << at;
        testing::ExpectInStep(fs);
        EXPECT_EQ(fs.Contents(P("/b/deep/x")), "newer x") << at;
        EXPECT_EQ(fs.Contents(P("/a/sub/y")), "newer y") << at;
        EXPECT_FALSE(fs.Exists(P("/b/x"))) << at << ": copied again beside its namesake";
        const std::vector<RecordedRun> runs = RecordedRuns(fs, P("/a/"), P("/b/"));
        for (auto run = runs.rbegin(); run != runs.rend(); ++run) {
          const UndoReport report = UndoRun(fs, P("/a/"), P("/b/"), *run);
          EXPECT_THAT(report.left_alone, ::testing::IsEmpty()) << at;
        }
        EXPECT_EQ(Snapshot(fs), before) << at;
        // On a share a run that cannot remove its temporaries waits for
        // the share to come back: one crash while copies are written is enough.
        if (share) break;
      }
    }
  EXPECT_GT(crashes, 80);  // every step of a run of four rows, twice
}

// Undo over what a run may meet: each case is synced, disturbed, then the
// last run between the two folders asked for is undone. Nothing that stood
// before the undo is gone after it: what it takes away is kept.
TEST(Undo, ActsOnlyOnItsRunAndNeverDestroys) {
  const std::string long_name(254, 'n');
  struct Case {
    const char* what;
    std::function<void(FakeFileSystem&)> setup;
    // Between the sync and the undo.
    std::function<void(FakeFileSystem&)> after_sync;
    std::string folder2 = P("/b/");       // the pair undo is asked for
    std::vector<std::string> left_alone;  // a text each reason holds
    std::function<void(FakeFileSystem&)> check;
  };
  const Case cases[] = {
      {"a pair never synced has nothing to undo",
       {},
       [](FakeFileSystem& fs) { fs.AddFolder(P("/c")); },
       P("/c/"),
       {},
       [](FakeFileSystem& fs) {
         EXPECT_TRUE(RecordedRuns(fs, P("/a/"), P("/c/")).empty());
         EXPECT_EQ(fs.Contents(P("/a/sub/y")), "newer y");
       }},
      {"the originals deleted since: the copies are kept, not lost",
       {},
       [](FakeFileSystem& fs) {
         fs.Move(P("/a/only-a"), P("/deleted-only-a"));
         fs.Move(P("/a/x"), P("/deleted-x"));
       },
       P("/b/"),
       {},
       [](FakeFileSystem& fs) {
         EXPECT_FALSE(fs.Exists(P("/b/only-a")));
         EXPECT_EQ(fs.Contents(P("/b/deep/x")), "older x");
         // Undone again, the copies come back: they were only moved aside.
         EXPECT_THAT(UndoLast(fs).left_alone, ::testing::IsEmpty());
         EXPECT_EQ(fs.Contents(P("/b/only-a")), "only in a");
         EXPECT_EQ(fs.Contents(P("/b/deep/x")), "newer x");
       }},
      {"a row passed over for a newer namesake is no change since",
       [](FakeFileSystem& fs) { fs.AddFile(P("/a/other/x"), "between x", kOld + kSecond * 3600); },
       {},
       P("/b/"),
       {},
       [](FakeFileSystem& fs) { EXPECT_EQ(fs.Contents(P("/b/deep/x")), "older x"); }},
      {"an overwritten link comes back as the link",
       [](FakeFileSystem& fs) {
         fs.AddFile(P("/b/real"), "real", kOld);
         fs.AddLink(P("/b/deep/link"), P("/b/real"));
         fs.AddFile(P("/a/link"), "newer link", kNew + kDay);
       },
       {},
       P("/b/"),
       {},
       [](FakeFileSystem& fs) {
         EXPECT_TRUE(fs.IsLink(P("/b/deep/link")));
         EXPECT_EQ(fs.Contents(P("/b/real")), "real");
       }},
      {"a name as long as a name may be",
       [&](FakeFileSystem& fs) {
         fs.AddFile(P("/a/") + long_name, "newer long", kNew);
         fs.AddFile(P("/b/deep/") + long_name, "older long", kOld);
       },
       {},
       P("/b/"),
       {},
       [&](FakeFileSystem& fs) {
         EXPECT_EQ(fs.Contents(P("/b/deep/") + long_name), "older long");
       }},
      {"a folder named like the journal",
       [](FakeFileSystem& fs) {
         fs.AddFile(P("/a/in-journal"), "newer j", kNew);
         fs.AddFile(P("/b/journal.txt/in-journal"), "older j", kOld);
       },
       {},
       P("/b/"),
       {},
       [](FakeFileSystem& fs) {
         EXPECT_EQ(fs.Contents(P("/b/journal.txt/in-journal")), "older j");
       }},
      {"on FAT, a whole hour's shift since is no change",
       [](FakeFileSystem& fs) {
         testing::FakeStorage fat;
         fat.storage = FatStorage();
         fs.SetStorage(P("/b"), fat);
       },
       [](FakeFileSystem& fs) {
         fs.Write(P("/b/deep/x"), "newer x", fs.TimeOf(P("/b/deep/x")) + kSecond * 3600);
       },
       P("/b/"),
       {},
       [](FakeFileSystem& fs) { EXPECT_EQ(fs.Contents(P("/b/deep/x")), "older x"); }},
      {"a kept file another program holds is the one named, and the copy stays",
       {},
       [](FakeFileSystem& fs) {
         for (const std::string& path : fs.AllPaths()) {
           if (path.ends_with(P("/files/deep/~x"))) fs.HoldOpen(path, 1000, "EDITOR.EXE");
         }
       },
       P("/b/"),
       {P("/files/deep/~x: it is open in another program (EDITOR.EXE))")},
       [](FakeFileSystem& fs) { EXPECT_EQ(fs.Contents(P("/b/deep/x")), "newer x"); }},
      {"a disk mounted inside the tree keeps what it replaced at its own top",
       [](FakeFileSystem& fs) {
         fs.AddFile(P("/a/z"), "newer z", kNew);
         fs.AddFile(P("/b/deep/sub/z"), "older z", kOld);
         fs.SetStorage(P("/b/deep"), {});
       },
       {},
       P("/b/"),
       {},
       [](FakeFileSystem& fs) {
         EXPECT_EQ(fs.Contents(P("/b/deep/x")), "older x");
         EXPECT_EQ(fs.Contents(P("/b/deep/sub/z")), "older z");
         // The sync's folder there went with it; the undo keeps the copies
         // it took away in its own, undone again from its record.
         const auto runs_at_mount = [&] {
           const std::string replaced = P("/b/deep/.tandrel/replaced/");
           std::set<std::string> runs;
           for (const std::string& path : fs.AllPaths()) {
             if (path.starts_with(replaced)) {
               runs.insert(
                   path.substr(replaced.size())
                       .substr(0, path.find(kSeparator, replaced.size()) - replaced.size()));
             }
           }
           return runs;
         };
         const std::string undo = RecordedRuns(fs, P("/a/"), P("/b/")).back().name;
         EXPECT_EQ(runs_at_mount(), std::set<std::string>{undo});
         const std::string kept = P("/b/deep/.tandrel/replaced/") + undo + P("/files/");
         EXPECT_EQ(fs.Contents(kept + P("~x")), "newer x");
         EXPECT_EQ(fs.Contents(kept + P("sub/~z")), "newer z");
         EXPECT_THAT(UndoLast(fs).left_alone, ::testing::IsEmpty());
         EXPECT_EQ(fs.Contents(P("/b/deep/sub/z")), "newer z");
         EXPECT_EQ(runs_at_mount(),
                   std::set<std::string>{RecordedRuns(fs, P("/a/"), P("/b/")).back().name});
       }},
      {"a copy changed since is left alone and named",
       {},
       [](FakeFileSystem& fs) { fs.Write(P("/b/only-a"), "edited", kNew + kDay); },
       P("/b/"),
       {P("/b/only-a") + " (changed since the sync)"},
       [](FakeFileSystem& fs) { EXPECT_EQ(fs.Contents(P("/b/only-a")), "edited"); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakeFileSystem fs;
    Populate(fs);
    if (c.setup) c.setup(fs);
    const std::vector<std::string> before = Snapshot(fs);
    ASSERT_TRUE(SyncAll(fs));
    if (c.after_sync) c.after_sync(fs);
    const std::vector<RecordedRun> runs = RecordedRuns(fs, P("/a/"), c.folder2);
    if (!runs.empty()) {
      const UndoReport report = UndoRun(fs, P("/a/"), c.folder2, runs.back());
      EXPECT_FALSE(report.error) << report.error.message();
      ASSERT_EQ(report.left_alone.size(), c.left_alone.size());
      for (size_t i = 0; i < c.left_alone.size(); ++i) {
        EXPECT_THAT(report.left_alone[i], HasSubstr(c.left_alone[i]));
      }
      if (c.left_alone.empty() && !c.after_sync) {
        EXPECT_EQ(Snapshot(fs), before);
      }
    }
    c.check(fs);
  }
}

// A record that cannot be written or flushed is a failure, told with the
// reason, and never taken back by a later step that succeeds; every path
// still holds its old file or its new one.
TEST(Undo, AFailedFlushOfTheRecordFailsTheRun) {
  struct Case {
    const char* what;
    Op op;
    int nth;  // in the record of tree 2
  };
  const Case cases[] = {
      {"the journal's heading", Op::kFlush, 1},
      {"the run's folder", Op::kFlushFolder, 1},
      {"the intents", Op::kFlush, 2},
      {"the intents' write (after the heading and two folders)", Op::kWrite, 4},
      {"the folder of the kept files", Op::kFlushFolder, 4},
      {"the outcomes", Op::kFlush, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakeFileSystem fs;
    Populate(fs);
    fs.FailInRecord(c.op, c.nth, std::make_error_code(std::errc::io_error));
    // Tree 2 alone is written to.
    FakePlanList plan;
    for (PlanRow& row : BuildPlan(fs, P("/a/"), P("/b/")).plan.Rows(true)) {
      if (row.destination.starts_with(P("/b/"))) plan.rows.push_back(row);
    }
    ASSERT_EQ(plan.rows.size(), 2u);
    FakeShell shell;

    EXPECT_FALSE(SyncRun(plan, {P("/a/"), P("/b/")}, shell, fs));

    ASSERT_FALSE(shell.messages.empty());
    EXPECT_THAT(shell.messages[0], HasSubstr("Input/output error"));
    EXPECT_THAT(fs.Contents(P("/b/deep/x")), ::testing::AnyOf("older x", "newer x"));
    EXPECT_FALSE(fs.HasTemporaries());
  }
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
  const std::string old_run = P("/b/.tandrel/replaced/2020-01-01 000000Z 1 0123abcd");
  fs.AddFile(old_run + P("/files/~old"), "kept long ago", kOld);
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
  EXPECT_THAT(shell.messages[1], HasSubstr("2020-01-01 000000Z 1 0123abcd"));
}

// A copy that cannot replace its target once the target has its second
// name in the record: the second name goes, and the target stands as it
// was; one another program moved away meanwhile is put back from the
// record, and one it replaced meanwhile stays, with the older file kept.
TEST(KeptFiles, AFailedReplaceAfterTheSecondNameLosesNothing) {
  enum Meanwhile { kNothing, kMovedAway, kReplaced };
  for (const Meanwhile meanwhile : {kNothing, kMovedAway, kReplaced}) {
    SCOPED_TRACE(meanwhile);
    FakeFileSystem fs;
    Populate(fs);
    const std::string target = P("/b/deep/x");
    fs.SetHook([&, done = false](Op op, const std::string& path) mutable {
      // The replace fails once: what follows it may use the target's name.
      if (op == Op::kStat && path.find(P("/files/")) != std::string::npos) fs.ClearFaults();
      if (op != Op::kRename || path != target || meanwhile == kNothing || done) return;
      done = true;
      fs.Move(target, target + ".moved");
      if (meanwhile == kReplaced) fs.AddFile(target, "saved by the user", kOld);
    });
    fs.FailPath(Op::kRename, target, std::make_error_code(std::errc::io_error));

    EXPECT_FALSE(testing::Sync(fs, {}, testing::KeepGoing()).performed);

    EXPECT_EQ(fs.Contents(target), meanwhile == kReplaced ? "saved by the user" : "older x");
    std::vector<std::string> kept;  // the older file, where it still has its name in the record
    for (const std::string& path : fs.AllPaths()) {
      if (path.ends_with(P("/files/deep/~x"))) kept.push_back(fs.Contents(path));
    }
    EXPECT_EQ(kept, meanwhile == kReplaced ? std::vector<std::string>{"older x"}
                                           : std::vector<std::string>{});
    if (meanwhile != kNothing) {
      EXPECT_EQ(fs.Contents(target + ".moved"), "older x");
    }
  }
}

}  // namespace
}  // namespace tandrel

// What another program may do while a sync runs: swap a folder for a link,
// save into a file being replaced, leave temporaries behind. Nothing outside
// the compared folders is read or written, no edit is lost, and nothing
// is "Done" before it would survive a power cut.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>

#include "compare/plan.h"
#include "support/fake_file_system.h"
#include "support/fake_window.h"
#include "support/path.h"
#include "sync/sync_run.h"
#include "sync_harness.h"

namespace tandrel {
namespace {

using ::testing::ElementsAre;
using testing::FakeFileSystem;
using testing::FakePlanList;
using testing::FakeShell;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using testing::kNew;
using testing::kOld;
using testing::kSecond;
using testing::Op;
using testing::P;

const CompareRequest kCompared{P("/a/"), P("/b/")};

// Tree 1 has a newer x in a subfolder and a file of its own; tree 2 has the
// older x in a subfolder. Outside both lie files of the same names.
void Populate(FakeFileSystem& fs) {
  fs.AddFile(P("/a/sub/x"), "new x", kNew);
  fs.AddFile(P("/a/only"), "only", kOld);
  fs.AddFile(P("/b/sub/x"), "old x", kOld);
  fs.AddFile(P("/outside/x"), "precious", kOld);
  fs.AddFile(P("/outside/only"), "secret", kOld);
}

std::vector<PlanRow> Rows() {
  return {{P("/a/sub/x"), std::string(kOverwriteAction), P("/b/sub/x"), true},
          {P("/a/only"), std::string(kCopyTo2Action), P("/b/"), true}};
}

// Another program swaps a subfolder of either tree for a link to a folder
// outside, before each step of the run in turn. Whatever step it lands
// on, nothing outside is written, nothing from outside is copied in, and a
// refused row says why.
TEST(ConfinedSync, AFolderSwappedForALinkAtAnyStepLeadsNowhereOutside) {
  int steps = 0;
  {
    FakeFileSystem reference;
    Populate(reference);
    reference.SetHook([&](Op, const std::string&) { ++steps; });
    FakePlanList plan;
    plan.rows = Rows();
    FakeShell shell;
    SyncRun(plan, kCompared, shell, reference, /*io_threads=*/1);
    ASSERT_THAT(shell.messages, ElementsAre("Done."));
  }
  ASSERT_GT(steps, 10);
  for (const char* tree : {"/b/sub", "/a/sub"}) {
    for (int at = 1; at <= steps; ++at) {
      SCOPED_TRACE(std::string(tree) + " swapped at step " + std::to_string(at));
      FakeFileSystem fs;
      Populate(fs);
      int step = 0;
      fs.SetHook([&](Op, const std::string&) {
        if (++step != at) return;
        fs.Move(P(tree), P(tree) + ".moved");
        fs.AddLink(P(tree), P("/outside"));
      });
      FakePlanList plan;
      plan.rows = Rows();
      FakeShell shell;

      SyncRun(plan, kCompared, shell, fs, /*io_threads=*/1);

      EXPECT_EQ(fs.Contents(P("/outside/x")), "precious");
      EXPECT_EQ(fs.Contents(P("/outside/only")), "secret");
      for (const std::string& path : fs.AllPaths()) {
        EXPECT_EQ(path.find("~tandrel-"), std::string::npos) << path;
        if (path.starts_with(P("/outside/"))) {
          EXPECT_THAT(path, ::testing::AnyOf(P("/outside/x"), P("/outside/only")));
        }
      }
      ASSERT_FALSE(shell.messages.empty());
      if (shell.messages[0] != "Done.") {
        EXPECT_THAT(shell.messages[0], HasSubstr("replaced by a link since the compare"));
        EXPECT_EQ(plan.rows, Rows()) << "the failed row is the first, so nothing is done";
      }
    }
  }
}

TEST(ConfinedSync, PathsOutsideTheComparedFoldersAreNotTouched) {
  FakeFileSystem fs;
  Populate(fs);
  FakePlanList plan;
  plan.rows = {{P("/a/only"), std::string(kCopyTo2Action), P("/outside/"), true},
               {P("/a/sub/x"), std::string(kOverwriteAction), P("/b/sub/../../outside/x"), true}};
  FakeShell shell;
  for (int i = 0; i < 2; ++i) {
    SyncRun(plan, kCompared, shell, fs);
    plan.rows.erase(plan.rows.begin());
  }
  ASSERT_EQ(shell.messages.size(), 2u);
  EXPECT_THAT(shell.messages[0], HasSubstr("does not lie in either of the two compared folders"));
  EXPECT_THAT(shell.messages[1], HasSubstr("does not lie in either of the two compared folders"));
  EXPECT_EQ(fs.Contents(P("/outside/x")), "precious");
  EXPECT_EQ(fs.Contents(P("/outside/only")), "secret");
}

// A save into the file being replaced, while its copy is written, wins.
TEST(ConfinedSync, AnEditDuringTheCopyKeepsTheTarget) {
  FakeFileSystem fs;
  Populate(fs);
  bool saved = false;
  fs.SetHook([&](Op op, const std::string& path) {
    if (saved || op != Op::kWrite || !path.starts_with(P("/b/sub/~"))) return;
    saved = true;
    fs.Move(P("/b/sub/x"), P("/b/sub/x.old"));
    fs.AddFile(P("/b/sub/x"), "saved by the user", kOld);
  });
  FakePlanList plan;
  plan.rows = Rows();
  FakeShell shell;

  SyncRun(plan, kCompared, shell, fs);

  EXPECT_EQ(fs.Contents(P("/b/sub/x")), "saved by the user");
  ASSERT_EQ(shell.messages.size(), 1u);
  EXPECT_THAT(shell.messages[0], HasSubstr("changed while its copy was being written"));
  EXPECT_EQ(plan.rows, Rows());
  EXPECT_FALSE(fs.Exists(P("/b/only")));
  for (const std::string& path : fs.AllPaths())
    EXPECT_EQ(path.find("~tandrel-"), std::string::npos);
}

// No rename before its file's data and the run's journal are flushed, the
// file replaced moved aside before its copy takes the place, and no row
// "Done" before the folders it was renamed in are flushed.
TEST(ConfinedSync, RowsAreDoneOnlyWhenTheyWouldSurviveAPowerCut) {
  FakeFileSystem fs;
  Populate(fs);
  FakePlanList plan;
  plan.rows = Rows();
  std::vector<std::vector<std::string>> actions_at_folder_flush;
  fs.SetHook([&](Op op, const std::string&) {
    if (op != Op::kFlushFolder) return;
    std::vector<std::string> actions;
    for (const PlanRow& row : plan.rows) actions.push_back(row.action);
    actions_at_folder_flush.push_back(actions);
  });
  FakeShell shell;

  SyncRun(plan, kCompared, shell, fs);

  ASSERT_THAT(shell.messages, ElementsAre("Done."));
  const std::string record = P("/b/.tandrel/replaced/");
  const std::vector<std::string> full = fs.Journal();
  // The run's folder is made, its journal's heading and the folders up to
  // the top flushed, before any row.
  auto step = full.begin();
  ASSERT_THAT(*step, HasSubstr("flush " + record));
  for (++step; step != full.end() && step->starts_with("flush-folder "); ++step) {
  }
  ASSERT_EQ(step - full.begin(), 5);
  std::vector<std::string> journal;
  std::vector<std::string> recorded;  // the run's own record, in order
  for (; step != full.end(); ++step) {
    (step->find(record) == std::string::npos ? journal : recorded).push_back(*step);
  }
  // The intents, the file kept, its folder; then the outcomes and the end.
  ASSERT_EQ(recorded.size(), 5u);
  EXPECT_THAT(recorded[0], HasSubstr("flush " + record));
  EXPECT_THAT(recorded[0], HasSubstr("journal.txt"));
  // Kept by a second name where the disk has hard links, else moved.
  EXPECT_THAT(recorded[1],
              ::testing::AnyOf(HasSubstr("link " + record), HasSubstr("rename " + record)));
  EXPECT_THAT(recorded[1], HasSubstr(P("/sub/~x")));
  EXPECT_THAT(recorded[2], HasSubstr("flush-folder " + record));
  EXPECT_THAT(recorded[3], HasSubstr("journal.txt"));
  EXPECT_THAT(recorded[4], HasSubstr("journal.txt"));
  const auto at = [&](const std::string& step) {
    return std::find(full.begin(), full.end(), step) - full.begin();
  };
  EXPECT_LT(at(recorded[0]), at("rename " + P("/b/sub/x")));
  EXPECT_LT(at(recorded[1]), at("rename " + P("/b/sub/x")));
  // The outcomes follow the flush of the last folder renamed into.
  ASSERT_GE(full.size(), 3u);
  EXPECT_EQ(full[full.size() - 3], "flush-folder " + P("/b"));
  ASSERT_EQ(journal.size(), 6u);
  EXPECT_THAT(journal[0], HasSubstr("flush " + P("/b/sub/~tandrel-")));
  EXPECT_THAT(journal[1], HasSubstr("flush " + P("/b/~tandrel-")));
  EXPECT_EQ(journal[2], "rename " + P("/b/sub/x"));
  EXPECT_EQ(journal[3], "rename " + P("/b/only"));
  EXPECT_THAT(std::vector<std::string>(journal.begin() + 4, journal.end()),
              ElementsAre("flush-folder " + P("/b/sub"), "flush-folder " + P("/b")));
  for (const auto& actions : actions_at_folder_flush) {
    EXPECT_THAT(actions, ElementsAre(std::string(kOverwriteAction), std::string(kCopyTo2Action)));
  }
}

// Temporaries that interrupted runs left are removed from the folders
// written to and named once; one that a running sync holds, and every
// other name, stays.
TEST(ConfinedSync, LeftoversOfInterruptedRunsAreRemovedAndNamed) {
  FakeFileSystem fs;
  Populate(fs);
  fs.AddFile(P("/b/~tandrel-0badf00d-3.tmp"), "half", kOld);
  fs.AddFile(P("/b/~tandrel-notes.tmp"), "mine", kOld);
  fs.AddFile(P("/b/~tandrel-0badf00d-3.tmp.bak"), "mine too", kOld);
  fs.AddFile(P("/a/~tandrel-0badf00d-4.tmp"), "not written to", kOld);
  Folder b;
  ASSERT_FALSE(fs.OpenRoot(P("/b/"), &b));
  OpenFile held;
  ASSERT_FALSE(fs.CreateTemporary(b, "~tandrel-12345678-1.tmp", &held));
  FakePlanList plan;
  plan.rows = {Rows()[1]};
  FakeShell shell;

  SyncRun(plan, kCompared, shell, fs);

  ASSERT_EQ(shell.messages.size(), 2u);
  EXPECT_EQ(shell.messages[0], "Done.");
  EXPECT_EQ(shell.messages[1],
            std::string(kLeftoversRemoved) + "\n\n" + P("/b/~tandrel-0badf00d-3.tmp"));
  EXPECT_FALSE(fs.Exists(P("/b/~tandrel-0badf00d-3.tmp")));
  EXPECT_TRUE(fs.Exists(P("/b/~tandrel-12345678-1.tmp")));
  EXPECT_TRUE(fs.Exists(P("/b/~tandrel-notes.tmp")));
  EXPECT_TRUE(fs.Exists(P("/b/~tandrel-0badf00d-3.tmp.bak")));
  EXPECT_TRUE(fs.Exists(P("/a/~tandrel-0badf00d-4.tmp")));
}

// Copies written ahead of a row may take the space it needs: when the disk
// fills up, they are let go of and the rows go on one at a time, so that a
// row fails for lack of space only where a run without them would have.
TEST(ConfinedSync, OutOfSpaceWithCopiesWrittenAheadGoesOnOneRowAtATime) {
  // Whatever the threads, and for a used-up quota as for a full disk.
  std::vector<std::error_code> errors = {std::make_error_code(std::errc::no_space_on_device)};
#ifdef EDQUOT
  errors.emplace_back(EDQUOT, std::generic_category());
#endif
  for (const int threads : {1, 8}) {
    for (const std::error_code& error : errors) {
      FakeFileSystem fs;
      for (int i = 0; i < 20; ++i) fs.AddFile(P("/a/f") + std::to_string(i), "data", kOld);
      fs.AddFolder(P("/b"));
      fs.FailNth(Op::kWrite, 3, error);
      FakePlanList plan;
      plan.Append(BuildPlan(fs, P("/a/"), P("/b/")).plan.Rows(true));
      ASSERT_EQ(plan.rows.size(), 20u);
      FakeShell shell;

      SyncRun(plan, kCompared, shell, fs, threads);

      EXPECT_THAT(shell.messages, ElementsAre("Done.")) << threads << " " << error.message();
      for (int i = 0; i < 20; ++i) EXPECT_EQ(fs.Contents(P("/b/f") + std::to_string(i)), "data");
      for (const std::string& path : fs.AllPaths())
        EXPECT_EQ(path.find("~tandrel-"), std::string::npos);
    }
  }
}

}  // namespace
}  // namespace tandrel

#include "sync/sync_run.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "compare/plan.h"
#include "platform/system.h"
#include "support/fake_file_system.h"
#include "support/fake_window.h"
#include "support/path.h"
#include "support/temp_folder.h"
#include "sync_harness.h"

namespace tandrel {
namespace {

using ::testing::ElementsAre;
using testing::FakeFileSystem;
using testing::FakePlanList;
using testing::FakeShell;
using ::testing::IsEmpty;
using testing::kNew;
using testing::kOld;
using testing::kSecond;
using testing::P;

constexpr FileTime kDay2000 = kOld;

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

// Of several rows that write one target, the newest source ends there
// whatever the rows' order: a later row with an older source is not
// performed and is named after the run. On the fake and on a real disk,
// where a file this run wrote is replaced (Windows will not replace a file
// still open).
TEST(SyncRun, OfSeveralRowsThatWriteOneTargetTheNewestSourceStays) {
  struct File {
    std::string path;  // below the two trees' parent, '/'-joined
    long long second;  // its time, from 2000-01-01
  };
  struct Case {
    const char* what;
    std::vector<File> files;
    std::vector<std::pair<std::string, std::string>> rows;   // source, destination ("" for /b/)
    std::vector<std::pair<std::string, std::string>> after;  // target, the source it holds
    std::vector<std::string> passed_over;                    // sources named after the run
  };
  const Case cases[] = {
      {"namesakes overwrite one file, newest first",
       {{"a/p/x", 12}, {"a/q/x", 11}, {"b/x", 10}},
       {{"a/p/x", "b/x"}, {"a/q/x", "b/x"}},
       {{"b/x", "a/p/x"}},
       {"a/q/x"}},
      {"overwrites and copies, oldest first",
       {{"a/x/n.txt", 2}, {"a/y/n.txt", 3}, {"b/c/n.txt", 0}, {"a/p/u.txt", 3}, {"a/q/u.txt", 0}},
       {{"a/x/n.txt", "b/c/n.txt"},
        {"a/y/n.txt", "b/c/n.txt"},
        {"a/q/u.txt", ""},
        {"a/p/u.txt", ""}},
       {{"b/c/n.txt", "a/y/n.txt"}, {"b/u.txt", "a/p/u.txt"}},
       {}},
      {"overwrites and copies, newest first",
       {{"a/x/n.txt", 2}, {"a/y/n.txt", 3}, {"b/c/n.txt", 0}, {"a/p/u.txt", 3}, {"a/q/u.txt", 0}},
       {{"a/y/n.txt", "b/c/n.txt"},
        {"a/x/n.txt", "b/c/n.txt"},
        {"a/p/u.txt", ""},
        {"a/q/u.txt", ""}},
       {{"b/c/n.txt", "a/y/n.txt"}, {"b/u.txt", "a/p/u.txt"}},
       {"a/x/n.txt", "a/q/u.txt"}},
      {"three copies into one folder",
       {{"a/s1/x", 1}, {"a/s2/x", 2}, {"a/s3/x", 3}},
       {{"a/s1/x", ""}, {"a/s2/x", ""}, {"a/s3/x", ""}},
       {{"b/x", "a/s3/x"}},
       {}},
  };
  for (const bool on_disk : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.what) + (on_disk ? ", on disk" : ", on the fake"));
      FakeFileSystem fake;
      testing::TempFolder tmp;
      const std::unique_ptr<FileSystem> disk = MakeRealFileSystem();
      FileSystem& fs = on_disk ? *disk : static_cast<FileSystem&>(fake);
      const std::string top = on_disk ? tmp.path() : P("/");
      const auto at = [&](const std::string& path) { return top + P(path); };
      if (on_disk) {
        std::filesystem::create_directories(at("b"));
      } else {
        fake.AddFolder(at("b"));
      }
      for (const File& file : c.files) {
        const FileTime time = kOld + file.second * kSecond;
        if (on_disk) {
          testing::TempFolder::SetWriteTime(tmp.Write(P(file.path), file.path, 0), time);
        } else {
          fake.AddFile(at(file.path), file.path, time);
        }
      }
      FakePlanList plan;
      for (const auto& [source, destination] : c.rows) {
        plan.rows.push_back(destination.empty()
                                ? PlanRow{at(source), kCopy2, at("b/"), true}
                                : PlanRow{at(source), kOverwrite, at(destination), true});
      }
      FakeShell shell;

      EXPECT_TRUE(SyncRun(plan, {at("a/"), at("b/")}, shell, fs));

      ASSERT_EQ(shell.messages.size(), c.passed_over.empty() ? 1u : 2u);
      EXPECT_EQ(shell.messages[0], "Done.");
      for (const std::string& source : c.passed_over) {
        EXPECT_THAT(shell.messages[1], ::testing::HasSubstr(at(source)));
      }
      for (const auto& [target, source] : c.after) {
        FileInfo there, from;
        ASSERT_FALSE(fs.Stat(at(target), FollowLinks::kNo, &there));
        ASSERT_FALSE(fs.Stat(at(source), FollowLinks::kNo, &from));
        EXPECT_EQ(on_disk ? testing::TempFolder::Read(at(target)) : fake.Contents(at(target)),
                  source);
        EXPECT_EQ(there.write_time, from.write_time);
      }
      if (!on_disk) {
        EXPECT_FALSE(fake.HasTemporaries());
      } else {
        for (const auto& entry : std::filesystem::recursive_directory_iterator(tmp.path())) {
          EXPECT_FALSE(entry.path().filename().string().starts_with("~tandrel-")) << entry.path();
        }
      }
    }
  }
}

// The same folder chosen twice: every row comes twice.
TEST(SyncRun, TheSameFolderChosenTwicePerformsEveryRowTwice) {
  FakePlanList plan;
  FakeShell shell;
  FakeFileSystem same;
  same.AddFile(P("/a/x"), "older", kOld);
  same.AddFile(P("/a/s/x"), "newer", kNew);
  plan.Append(BuildPlan(same, P("/a/"), P("/a/")).plan.Rows(true));
  ASSERT_EQ(plan.rows.size(), 2u);
  SyncRun(plan, {P("/a/"), P("/a/")}, shell, same);
  EXPECT_THAT(shell.messages, ElementsAre("Done."));
  EXPECT_EQ(same.Contents(P("/a/x")), "newer");
  EXPECT_EQ(same.Contents(P("/a/s/x")), "newer");
  EXPECT_FALSE(same.HasTemporaries());
}

}  // namespace
}  // namespace tandrel

// The name a run is kept under tells when it began (UTC) and its place
// among the runs of its trees, and the runs of a tree are listed in the
// order they ran, whatever the clock of the day says.
#include "sync/kept_runs.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/fake_file_system.h"
#include "support/path.h"

namespace tandrel {
namespace {

using testing::FakeFileSystem;
using testing::P;

TEST(KeptRunsTest, ARunsFolderNameReadsBackAsItsTimeAndSequence) {
  struct Case {
    std::int64_t utc;
    std::int64_t sequence;
    std::string want;
  };
  const Case cases[] = {
      {0, 1, "1970-01-01 000000Z 1 3fa9c1d2"},
      {1796720400, 12, "2026-12-08 090000Z 12 3fa9c1d2"},
      {951782399, 3, "2000-02-28 235959Z 3 3fa9c1d2"},  // before a leap day
      {951868800, 4, "2000-03-01 000000Z 4 3fa9c1d2"},
      {-1, 7, "1969-12-31 235959Z 7 3fa9c1d2"},
  };
  for (const Case& c : cases) {
    RunHeading heading;
    heading.id = "3fa9c1d2e4b5a697";
    heading.utc_seconds = c.utc;
    heading.sequence = c.sequence;
    EXPECT_EQ(RunFolderName(heading), c.want);
    const std::optional<RunName> read = ReadRunName(c.want);
    ASSERT_TRUE(read) << c.want;
    EXPECT_EQ(read->utc_seconds, c.utc) << c.want;
    EXPECT_EQ(read->sequence, c.sequence) << c.want;
  }
  for (const char* other :
       {"2026-12-07 181000", "notes", "2026-12-07 181000Z", "2026-12-07 181000Z x id"}) {
    EXPECT_FALSE(ReadRunName(other)) << other;
  }
}

TEST(KeptRunsTest, RunsAreInTheOrderTheyRanAndEachIsNumberedAfterTheLast) {
  FakeFileSystem fs;
  // The clock went back an hour between the second and the third run.
  for (const std::string run :
       {"2026-12-07 181000Z 3 cccccccc", "2026-12-07 181000Z 2 bbbbbbbb",
        "2026-12-07 190000Z 1 aaaaaaaa", "2026-12-07 181000Z 10 dddddddd", "notes"}) {
    fs.AddFolder(P("/a/.tandrel/replaced/" + run));
  }
  fs.AddFolder(P("/b/.tandrel/replaced/2020-01-01 000000Z 11 eeeeeeee"));
  fs.AddFile(P("/a/.tandrel/replaced/2026-12-07 170000Z 99 ffffffff"), "a file, not a run", 0);
  Folder a, b;
  ASSERT_FALSE(fs.OpenRoot(P("/a/"), &a));
  ASSERT_FALSE(fs.OpenRoot(P("/b/"), &b));
  EXPECT_EQ(RunsIn(fs, a), (std::vector<std::string>{
                               "2026-12-07 190000Z 1 aaaaaaaa", "2026-12-07 181000Z 2 bbbbbbbb",
                               "2026-12-07 181000Z 3 cccccccc", "2026-12-07 181000Z 10 dddddddd"}));
  EXPECT_EQ(NextSequence(fs, {&a}), 11);
  EXPECT_EQ(NextSequence(fs, {&a, &b}), 12);
}

// Old runs go after their days, this build's by their UTC name and an
// earlier build's (a local-time name, which this one cannot undo) as well;
// a run cut short stays until it is recovered.
TEST(KeptRunsTest, RunsOlderThanAskedAreRemovedButOneCutShort) {
  FakeFileSystem fs;
  const std::string replaced = P("/a/.tandrel/replaced/");
  const std::string ended =
      "tandrel journal 2\nrun\tid\t1\t1\tsync\thost\t~t-\ntree\t\t/a/\n"
      "other\t\t/b/\nend\n";
  fs.AddFile(replaced + "2020-01-01 000000Z 1 aaaaaaaa" + P("/journal.txt"), ended, 0);
  fs.AddFile(replaced + "2020-01-01 000000Z 2 bbbbbbbb" + P("/journal.txt"),
             ended.substr(0, ended.size() - 4), 0);  // no end: cut short
  fs.AddFolder(replaced + "2020-01-02 120000");      // an earlier build's
  fs.AddFolder(replaced + "2020-01-02 120000 (2)");
  fs.AddFolder(replaced + "2030-01-01 000000Z 3 cccccccc");
  fs.AddFolder(replaced + "2030-01-01 000000");
  Folder a;
  ASSERT_FALSE(fs.OpenRoot(P("/a/"), &a));
  const std::int64_t year_2025 = 1735689600;

  const std::vector<std::string> removed = RemoveRunsBefore(fs, a, year_2025, {});

  EXPECT_EQ(removed, (std::vector<std::string>{"2020-01-01 000000Z 1 aaaaaaaa", "2020-01-02 120000",
                                               "2020-01-02 120000 (2)"}));
  EXPECT_TRUE(fs.Exists(replaced + "2020-01-01 000000Z 2 bbbbbbbb"));
  EXPECT_TRUE(fs.Exists(replaced + "2030-01-01 000000"));
}

}  // namespace
}  // namespace tandrel

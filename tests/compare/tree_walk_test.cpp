#include "compare/tree_walk.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "support/fake_file_system.h"
#include "support/path.h"

namespace tandrel {
namespace {

using ::testing::ElementsAre;
using testing::FakeFileSystem;
using ::testing::IsEmpty;
using testing::Op;
using testing::P;

TEST(AddSubFolders, LevelOrderGroupedByParent) {
  FakeFileSystem fs;
  fs.AddFolder(P("/R/A/A1/C"));
  fs.AddFolder(P("/R/A/A2"));
  fs.AddFolder(P("/R/B/B1"));
  fs.AddFile(P("/R/A/file.txt"), "", 0);  // files are not folders
  std::vector<std::string> folders{P("/R/")};
  EXPECT_THAT(AddSubFolders(fs, &folders, true), IsEmpty());
  EXPECT_THAT(folders, ElementsAre(P("/R/"), P("/R/A/"), P("/R/B/"), P("/R/A/A1/"), P("/R/A/A2/"),
                                   P("/R/B/B1/"), P("/R/A/A1/C/")));

  std::vector<std::string> shallow{P("/R/")};
  AddSubFolders(fs, &shallow, false);
  EXPECT_THAT(shallow, ElementsAre(P("/R/"), P("/R/A/"), P("/R/B/")));

  std::vector<std::string> leaf{P("/R/A/A2/")};
  AddSubFolders(fs, &leaf, true);
  EXPECT_THAT(leaf, ElementsAre(P("/R/A/A2/")));
}

TEST(AddSubFolders, HiddenFoldersAndFolderLinksAreNotEntered) {
  FakeFileSystem fs;
  fs.AddFolder(P("/R/.git/objects"));
  fs.AddFolder(P("/R/Sys"), /*hidden=*/true);
  fs.AddFolder(P("/R/sub"));
  fs.AddLink(P("/R/sub/up"), P("/R"));  // a loop back to the top
  std::vector<std::string> folders{P("/R/")};
  AddSubFolders(fs, &folders, true);
  if (kSeparator == '/') {
    EXPECT_THAT(folders, ElementsAre(P("/R/"), P("/R/sub/")));
  } else {
    // Windows hides by the attribute alone: a leading dot is just a name.
    EXPECT_THAT(folders, ElementsAre(P("/R/"), P("/R/.git/"), P("/R/sub/"), P("/R/.git/objects/")));
  }
}

TEST(AddSubFolders, UnreadableFolderIsSkippedAndReported) {
  FakeFileSystem fs;
  fs.AddFolder(P("/R/a/deep"));
  fs.AddFolder(P("/R/b/deep"));
  fs.FailPath(Op::kList, P("/R/a/"), std::make_error_code(std::errc::permission_denied));
  std::vector<std::string> folders{P("/R/")};
  const std::vector<UnreadableFolder> bad = AddSubFolders(fs, &folders, true);
  EXPECT_THAT(folders, ElementsAre(P("/R/"), P("/R/a/"), P("/R/b/"), P("/R/b/deep/")));
  ASSERT_EQ(bad.size(), 1u);
  EXPECT_EQ(bad[0].path, P("/R/a/"));
  EXPECT_EQ(bad[0].error, std::errc::permission_denied);
}

TEST(AddSubFolders, VeryDeepTreeDoesNotRecurse) {
  FakeFileSystem fs;
  std::string path = P("/R");
  for (int i = 0; i < 2000; ++i) path += P("/d");
  fs.AddFolder(path);
  std::vector<std::string> folders{P("/R/")};
  AddSubFolders(fs, &folders, true);
  ASSERT_EQ(folders.size(), 2001u);
  EXPECT_EQ(folders.back(), path + P("/"));
}

// Whether `pool` runs `count` tasks at once: each task waits, `patience` at
// most, until all of them run.
bool RunsSideBySide(IoPool& pool, int count, std::chrono::milliseconds patience) {
  std::atomic<int> running = 0;
  std::atomic<int> met = 0;
  TaskCount tasks;
  for (int k = 0; k < count; ++k) {
    tasks.Submit(pool, [&] {
      ++running;
      const auto give_up = std::chrono::steady_clock::now() + patience;
      while (running < count && std::chrono::steady_clock::now() < give_up) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      if (running == count) ++met;
    });
  }
  tasks.Wait();
  return met == count;
}

TEST(WalkFolders, AWalkThatWaitsForTheDiskLetsThePoolsOtherThreadsList) {
  FakeFileSystem fs;
  for (int k = 0; k < 40; ++k) fs.AddFolder(P("/R/f" + std::to_string(k)));
  fs.SetJitter(/*seed=*/7, /*max_micros=*/4000);  // a cold disk: milliseconds a listing
  IoPool pool(/*threads=*/4, /*width=*/1);
  // One thread runs at first: no patience would do.
  EXPECT_FALSE(RunsSideBySide(pool, 2, std::chrono::milliseconds(100)));

  std::vector<std::string> folders{P("/R/")};
  WalkOptions options;
  options.pool = &pool;
  EXPECT_THAT(WalkFolders(fs, &folders, options), IsEmpty());
  EXPECT_EQ(folders.size(), 41u);
  EXPECT_TRUE(RunsSideBySide(pool, pool.threads(), std::chrono::seconds(10)))
      << "the walk widened the pool";
}

TEST(ListFiles, FilesInListingOrderHiddenIncludedFoldersExcluded) {
  FakeFileSystem fs;
  fs.AddFile(P("/R/zeta"), "", 0);
  fs.AddFolder(P("/R/sub"));
  fs.AddFile(P("/R/.hidden"), "", 0, true);
  fs.AddFile(P("/R/alpha.txt"), "", 0);
  fs.AddLink(P("/R/tofolder"), P("/R/sub"));
  fs.AddLink(P("/R/tofile"), P("/R/zeta"));
  std::vector<std::string> with_sep, without_sep;
  ASSERT_FALSE(ListFiles(fs, P("/R/"), "*.*", &with_sep));
  ASSERT_FALSE(ListFiles(fs, P("/R"), "*.*", &without_sep));
  EXPECT_THAT(with_sep, ElementsAre("zeta", ".hidden", "alpha.txt", "tofile"));
  EXPECT_EQ(with_sep, without_sep);

  std::vector<std::string> none;
  ASSERT_FALSE(ListFiles(fs, P("/R/sub"), "*.*", &none));
  EXPECT_THAT(none, IsEmpty());
  EXPECT_TRUE(ListFiles(fs, P("/nowhere"), "*.*", &none));
}

TEST(ListFiles, ManyFilesAllReturned) {
  FakeFileSystem fs;
  for (int i = 0; i < 101; ++i) fs.AddFile(P("/R/f") + std::to_string(i), "", 0);
  std::vector<std::string> names;
  ASSERT_FALSE(ListFiles(fs, P("/R"), "*.*", &names));
  ASSERT_EQ(names.size(), 101u);
  EXPECT_EQ(names.front(), "f0");
  EXPECT_EQ(names.back(), "f100");
}

TEST(MatchesWildcard, Patterns) {
  EXPECT_TRUE(MatchesWildcard("noext", "*.*"));
  EXPECT_TRUE(MatchesWildcard("a.txt", "*.txt"));
  EXPECT_FALSE(MatchesWildcard("a.txt", "*.doc"));
  EXPECT_TRUE(MatchesWildcard("abc", "a?c"));
  EXPECT_TRUE(MatchesWildcard("abcbc", "a*bc"));
  EXPECT_FALSE(MatchesWildcard("ab", "a?c"));
}

}  // namespace
}  // namespace tandrel

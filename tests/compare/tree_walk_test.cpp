#include "compare/tree_walk.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/fake_file_system.h"

namespace tandrel {
namespace {

using ::testing::ElementsAre;
using testing::FakeFileSystem;
using ::testing::IsEmpty;
using testing::Op;

TEST(AddSubFolders, LevelOrderGroupedByParent) {
  FakeFileSystem fs;
  fs.AddFolder("/R/A/A1/C");
  fs.AddFolder("/R/A/A2");
  fs.AddFolder("/R/B/B1");
  fs.AddFile("/R/A/file.txt", "", 0);  // files are not folders
  std::vector<std::string> folders{"/R/"};
  EXPECT_THAT(AddSubFolders(fs, &folders, true), IsEmpty());
  EXPECT_THAT(folders, ElementsAre("/R/", "/R/A/", "/R/B/", "/R/A/A1/", "/R/A/A2/", "/R/B/B1/",
                                   "/R/A/A1/C/"));

  std::vector<std::string> shallow{"/R/"};
  AddSubFolders(fs, &shallow, false);
  EXPECT_THAT(shallow, ElementsAre("/R/", "/R/A/", "/R/B/"));

  std::vector<std::string> leaf{"/R/A/A2/"};
  AddSubFolders(fs, &leaf, true);
  EXPECT_THAT(leaf, ElementsAre("/R/A/A2/"));
}

TEST(AddSubFolders, HiddenFoldersAndFolderLinksAreNotEntered) {
  FakeFileSystem fs;
  fs.AddFolder("/R/.git/objects");
  fs.AddFolder("/R/Sys", /*hidden=*/true);
  fs.AddFolder("/R/sub");
  fs.AddLink("/R/sub/up", "/R");  // a loop back to the top
  std::vector<std::string> folders{"/R/"};
  AddSubFolders(fs, &folders, true);
  EXPECT_THAT(folders, ElementsAre("/R/", "/R/sub/"));
}

TEST(AddSubFolders, UnreadableFolderIsSkippedAndReported) {
  FakeFileSystem fs;
  fs.AddFolder("/R/a/deep");
  fs.AddFolder("/R/b/deep");
  fs.FailPath(Op::kList, "/R/a/", std::make_error_code(std::errc::permission_denied));
  std::vector<std::string> folders{"/R/"};
  const std::vector<UnreadableFolder> bad = AddSubFolders(fs, &folders, true);
  EXPECT_THAT(folders, ElementsAre("/R/", "/R/a/", "/R/b/", "/R/b/deep/"));
  ASSERT_EQ(bad.size(), 1u);
  EXPECT_EQ(bad[0].path, "/R/a/");
  EXPECT_EQ(bad[0].error, std::errc::permission_denied);
}

TEST(AddSubFolders, VeryDeepTreeDoesNotRecurse) {
  FakeFileSystem fs;
  std::string path = "/R";
  for (int i = 0; i < 2000; ++i) path += "/d";
  fs.AddFolder(path);
  std::vector<std::string> folders{"/R/"};
  AddSubFolders(fs, &folders, true);
  ASSERT_EQ(folders.size(), 2001u);
  EXPECT_EQ(folders.back(), path + "/");
}

TEST(ListFiles, FilesInListingOrderHiddenIncludedFoldersExcluded) {
  FakeFileSystem fs;
  fs.AddFile("/R/zeta", "", 0);
  fs.AddFolder("/R/sub");
  fs.AddFile("/R/.hidden", "", 0, true);
  fs.AddFile("/R/alpha.txt", "", 0);
  fs.AddLink("/R/tofolder", "/R/sub");
  fs.AddLink("/R/tofile", "/R/zeta");
  std::vector<std::string> with_sep, without_sep;
  ASSERT_FALSE(ListFiles(fs, "/R/", "*.*", &with_sep));
  ASSERT_FALSE(ListFiles(fs, "/R", "*.*", &without_sep));
  EXPECT_THAT(with_sep, ElementsAre("zeta", ".hidden", "alpha.txt", "tofile"));
  EXPECT_EQ(with_sep, without_sep);

  std::vector<std::string> none;
  ASSERT_FALSE(ListFiles(fs, "/R/sub", "*.*", &none));
  EXPECT_THAT(none, IsEmpty());
  EXPECT_TRUE(ListFiles(fs, "/nowhere", "*.*", &none));
}

TEST(ListFiles, ManyFilesAllReturned) {
  FakeFileSystem fs;
  for (int i = 0; i < 101; ++i) fs.AddFile("/R/f" + std::to_string(i), "", 0);
  std::vector<std::string> names;
  ASSERT_FALSE(ListFiles(fs, "/R", "*.*", &names));
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

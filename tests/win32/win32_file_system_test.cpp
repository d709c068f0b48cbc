// The Windows file system on a real disk: attributes, junctions, long paths,
// read-only targets and handles.
#include "platform/win32/win32_file_system.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>

#include "compare/last_modified.h"
#include "compare/tree_walk.h"
#include "platform/win32/wide.h"
#include "support/temp_folder.h"
#include "win32_disk.h"

namespace tandrel {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing::TempFolder;
using ::testing::UnorderedElementsAre;

class Win32FileSystemTest : public ::testing::Test {
 protected:
  Win32FileSystem fs_;
  TempFolder tmp_;

  const DirEntry* Find(const std::vector<DirEntry>& entries, const std::string& name) {
    auto it = std::find_if(entries.begin(), entries.end(),
                           [&](const DirEntry& e) { return e.name == name; });
    return it == entries.end() ? nullptr : &*it;
  }
};

TEST_F(Win32FileSystemTest, HiddenAndSystemFilesAreListedTheirFoldersNotWalked) {
  const std::string root = tmp_.path();
  tmp_.Write("plain.txt", "p");
  ASSERT_TRUE(testing::AddAttributes(tmp_.Write("hidden.txt", "h"), FILE_ATTRIBUTE_HIDDEN));
  ASSERT_TRUE(testing::AddAttributes(tmp_.Write("system.txt", "s"), FILE_ATTRIBUTE_SYSTEM));
  tmp_.Write("Hidden\\below.txt", "b");
  tmp_.Write("Hidden\\Deeper\\deep.txt", "d");
  tmp_.Write("System\\below.txt", "b");
  tmp_.Write("Open\\open.txt", "o");
  ASSERT_TRUE(testing::AddAttributes(root + "Hidden", FILE_ATTRIBUTE_HIDDEN));
  ASSERT_TRUE(testing::AddAttributes(root + "System", FILE_ATTRIBUTE_SYSTEM));

  std::vector<DirEntry> entries;
  ASSERT_FALSE(fs_.ListFolder(root, &entries));
  ASSERT_NE(Find(entries, "hidden.txt"), nullptr);
  EXPECT_TRUE(Find(entries, "hidden.txt")->hidden);
  EXPECT_TRUE(Find(entries, "system.txt")->hidden);
  EXPECT_FALSE(Find(entries, "plain.txt")->hidden);
  EXPECT_TRUE(Find(entries, "Hidden")->hidden);
  EXPECT_EQ(Find(entries, "Hidden")->kind, EntryKind::kFolder);

  std::vector<std::string> names;
  ASSERT_FALSE(ListFiles(fs_, root, "*.*", &names));
  EXPECT_THAT(names, UnorderedElementsAre("plain.txt", "hidden.txt", "system.txt"));

  std::vector<std::string> folders{root};
  EXPECT_THAT(AddSubFolders(fs_, &folders, true), IsEmpty());
  EXPECT_THAT(folders, ElementsAre(root, root + "Open\\"));
}

TEST_F(Win32FileSystemTest, JunctionToAnAncestorIsNotFollowed) {
  const std::string root = tmp_.path();
  tmp_.Write("real\\file.txt", "f");
  tmp_.Write("elsewhere\\other.txt", "o");
  if (!testing::MakeFolderLink(root + "real\\up", root) ||
      !testing::MakeFolderLink(root + "real\\side", root + "elsewhere")) {
    GTEST_SKIP() << "this file system makes neither junctions nor folder links";
  }
  std::vector<DirEntry> entries;
  ASSERT_FALSE(fs_.ListFolder(root + "real", &entries));
  ASSERT_NE(Find(entries, "up"), nullptr);
  EXPECT_EQ(Find(entries, "up")->kind, EntryKind::kFolderLink);
  EXPECT_EQ(Find(entries, "side")->kind, EntryKind::kFolderLink);

  FileInfo info;
  ASSERT_FALSE(fs_.Stat(root + "real\\up", FollowLinks::kNo, &info));
  EXPECT_TRUE(info.is_link);
  ASSERT_FALSE(fs_.Stat(root + "real\\side", FollowLinks::kYes, &info));
  EXPECT_FALSE(info.is_link);
  EXPECT_EQ(info.kind, EntryKind::kFolder);

  std::vector<std::string> folders{root + "real\\"};
  EXPECT_THAT(AddSubFolders(fs_, &folders, true), IsEmpty());
  EXPECT_THAT(folders, ElementsAre(root + "real\\"));
}

TEST_F(Win32FileSystemTest, PathOfThreeHundredCharactersIsWalkedAndCopied) {
  std::string deep = tmp_.path() + "long";
  ASSERT_TRUE(testing::MakeFolder(deep));
  std::vector<std::string> chain{tmp_.path(), deep + "\\"};
  for (int i = 0; deep.size() < 300; ++i) {
    deep += "\\segment-" + std::to_string(i) + "-of-a-path-longer-than-max-path";
    ASSERT_TRUE(testing::MakeFolder(deep)) << deep.size();
    chain.push_back(deep + "\\");
  }
  const std::string file = deep + "\\far.txt";
  ASSERT_GE(file.size(), 300u);
  ASSERT_TRUE(testing::WriteFile(file, "far away"));

  std::vector<std::string> folders{tmp_.path()};
  EXPECT_THAT(AddSubFolders(fs_, &folders, true), IsEmpty());
  EXPECT_EQ(folders, chain);
  std::vector<std::string> names;
  ASSERT_FALSE(ListFiles(fs_, deep, "*.*", &names));
  EXPECT_THAT(names, ElementsAre("far.txt"));
  EXPECT_TRUE(GetLastModified(fs_, file).has_value());

  // Out of the long folder and into it, the way a sync copies.
  const std::string nearby = tmp_.path() + "near.txt";
  ASSERT_FALSE(fs_.CopyContents(file, nearby));
  EXPECT_EQ(testing::ReadFile(nearby), "far away");
  const std::string temp = deep + "\\~back.tmp";
  ASSERT_FALSE(fs_.CopyContents(nearby, temp));
  ASSERT_FALSE(fs_.SetWriteTime(temp, 125'911'584'000'000'000));
  ASSERT_FALSE(fs_.Rename(temp, deep + "\\back.txt", /*replace=*/false));
  EXPECT_EQ(testing::ReadFile(deep + "\\back.txt"), "far away");
  FileInfo info;
  ASSERT_FALSE(fs_.Stat(deep + "\\back.txt", FollowLinks::kYes, &info));
  EXPECT_EQ(info.write_time, 125'911'584'000'000'000);
  ASSERT_FALSE(fs_.Remove(deep + "\\back.txt"));
  EXPECT_TRUE(fs_.Stat(deep + "\\back.txt", FollowLinks::kNo, &info));
  testing::RemoveTree(tmp_.path() + "long");
}

TEST_F(Win32FileSystemTest, ReadOnlyTargetIsNeitherReplacedNorRemoved) {
  const std::string source = tmp_.Write("new.txt", "new content");
  const std::string target = tmp_.Write("old.txt", "old content");
  ASSERT_TRUE(testing::AddAttributes(target, FILE_ATTRIBUTE_READONLY));
  const std::string temp = tmp_.path() + "~old.txt.tmp";
  ASSERT_FALSE(fs_.CopyContents(source, temp));
  EXPECT_EQ(fs_.Rename(temp, target, /*replace=*/true), std::errc::permission_denied);
  EXPECT_EQ(fs_.Remove(target), std::errc::permission_denied);
  EXPECT_EQ(testing::ReadFile(target), "old content");
  EXPECT_EQ(testing::ReadFile(source), "new content");
  // The temporary copy can still be cleaned away.
  EXPECT_FALSE(fs_.Remove(temp));
  testing::ClearReadOnly(target);
}

TEST_F(Win32FileSystemTest, ReadOnlySourceGivesACopyThatCanBeRemovedAndKeepsItsTime) {
  const std::string source = tmp_.Write("locked.txt", "locked");
  ASSERT_FALSE(fs_.SetWriteTime(source, 125'912'034'000'000'000));
  ASSERT_TRUE(testing::AddAttributes(source, FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
  const std::string copy = tmp_.path() + "~locked.tmp";
  ASSERT_FALSE(fs_.CopyContents(source, copy));
  const DWORD attributes = ::GetFileAttributesW(win32::ApiPath(copy).c_str());
  EXPECT_EQ(attributes & FILE_ATTRIBUTE_READONLY, 0u);
  EXPECT_NE(attributes & FILE_ATTRIBUTE_HIDDEN, 0u);
  FileInfo info;
  ASSERT_FALSE(fs_.Stat(copy, FollowLinks::kNo, &info));
  EXPECT_EQ(info.write_time, 125'912'034'000'000'000);
  EXPECT_FALSE(fs_.Remove(copy));
  // The source itself stays protected.
  EXPECT_EQ(fs_.Remove(source), std::errc::permission_denied);
  testing::ClearReadOnly(source);
}

TEST_F(Win32FileSystemTest, ManyLookupsLeaveNoHandleOpen) {
  const std::string file = tmp_.Write("t.txt", "t");
  tmp_.Write("folder\\inside.txt", "i");
  const bool have_junction = testing::MakeFolderLink(tmp_.path() + "link", tmp_.path() + "folder");
  const long before = testing::OpenHandleCount();
  ASSERT_GT(before, 0);
  int found = 0;
  for (int i = 0; i < 10'000; ++i) {
    if (GetLastModified(fs_, i % 2 == 0 ? file : tmp_.path() + "missing.txt")) ++found;
  }
  EXPECT_EQ(found, 5'000);
  std::vector<DirEntry> entries;
  for (int i = 0; i < 1'000; ++i) {
    EXPECT_FALSE(fs_.ListFolder(tmp_.path(), &entries));
    EXPECT_TRUE(fs_.ListFolder(tmp_.path() + "missing", &entries));
    FileInfo info;
    if (have_junction) {
      EXPECT_FALSE(fs_.Stat(tmp_.path() + "link", FollowLinks::kYes, &info));
    }
    EXPECT_TRUE(fs_.SetWriteTime(tmp_.path() + "missing.txt", 0));
  }
  EXPECT_LE(testing::OpenHandleCount(), before);
}

TEST_F(Win32FileSystemTest, DriveRootListsWithoutDots) {
  std::vector<DirEntry> entries;
  ASSERT_FALSE(fs_.ListFolder("C:\\", &entries));
  EXPECT_TRUE(std::any_of(entries.begin(), entries.end(), [](const DirEntry& e) {
    return e.kind == EntryKind::kFolder && (e.name == "windows" || e.name == "Windows");
  }));
  EXPECT_EQ(Find(entries, "."), nullptr);
  EXPECT_EQ(Find(entries, ".."), nullptr);
}

}  // namespace
}  // namespace tandrel

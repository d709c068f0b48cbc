// The Windows file system on a real disk: attributes, junctions, read-only
// targets, drive roots and handles.
#include "platform/win32/win32_file_system.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>

#include "platform/win32/wide.h"
#include "support/temp_folder.h"
#include "win32_disk.h"

namespace tandrel {
namespace {

using testing::TempFolder;

class Win32FileSystemTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(fs_.OpenRoot(tmp_.path(), &root_)); }

  const DirEntry* Find(const std::vector<DirEntry>& entries, const std::string& name) {
    auto it = std::find_if(entries.begin(), entries.end(),
                           [&](const DirEntry& e) { return e.name == name; });
    return it == entries.end() ? nullptr : &*it;
  }

  Win32FileSystem fs_;
  TempFolder tmp_;
  Folder root_;
};

TEST_F(Win32FileSystemTest, HiddenAndSystemEntriesAreListedAsHidden) {
  const std::string root = tmp_.path();
  tmp_.Write("plain.txt", "p");
  ASSERT_TRUE(testing::AddAttributes(tmp_.Write("hidden.txt", "h"), FILE_ATTRIBUTE_HIDDEN));
  ASSERT_TRUE(testing::AddAttributes(tmp_.Write("system.txt", "s"), FILE_ATTRIBUTE_SYSTEM));
  tmp_.Write("Hidden\\below.txt", "b");
  ASSERT_TRUE(testing::AddAttributes(root + "Hidden", FILE_ATTRIBUTE_HIDDEN));

  std::vector<DirEntry> entries;
  ASSERT_FALSE(fs_.List(root_, &entries));
  ASSERT_EQ(entries.size(), 4u);
  EXPECT_TRUE(Find(entries, "hidden.txt")->hidden);
  EXPECT_TRUE(Find(entries, "system.txt")->hidden);
  EXPECT_FALSE(Find(entries, "plain.txt")->hidden);
  EXPECT_TRUE(Find(entries, "Hidden")->hidden);
  EXPECT_EQ(Find(entries, "Hidden")->kind, EntryKind::kFolder);
  // Hidden is no reason to refuse a folder; whether to walk it is the
  // caller's choice.
  Folder hidden;
  EXPECT_FALSE(fs_.OpenFolder(root_, "Hidden", &hidden));
}

TEST_F(Win32FileSystemTest, JunctionToAnAncestorIsNotFollowed) {
  const std::string root = tmp_.path();
  tmp_.Write("real\\file.txt", "f");
  tmp_.Write("elsewhere\\other.txt", "o");
  // Junctions on Windows, Linux links under Wine.
  testing::ScopedHostLink up_link(root + "real\\up", root);
  testing::ScopedHostLink side_link(root + "real\\side", root + "elsewhere");
  if (!up_link.made() || !side_link.made()) {
    GTEST_SKIP() << "this file system makes neither junctions nor folder links";
  }
  Folder real;
  ASSERT_FALSE(fs_.OpenFolder(root_, "real", &real));
  std::vector<DirEntry> entries;
  ASSERT_FALSE(fs_.List(real, &entries));
  ASSERT_NE(Find(entries, "up"), nullptr);
  EXPECT_EQ(Find(entries, "up")->kind, EntryKind::kFolderLink);
  EXPECT_EQ(Find(entries, "side")->kind, EntryKind::kFolderLink);
  Folder up;
  EXPECT_EQ(fs_.OpenFolder(real, "up", &up), std::errc::too_many_symbolic_link_levels);

  FileInfo info;
  ASSERT_FALSE(fs_.Stat(root + "real\\up", FollowLinks::kNo, &info));
  EXPECT_TRUE(info.is_link);
  ASSERT_FALSE(fs_.Stat(root + "real\\side", FollowLinks::kYes, &info));
  EXPECT_FALSE(info.is_link);
  EXPECT_EQ(info.kind, EntryKind::kFolder);
}

// Windows replaces no read-only file in one step, but moves one as any
// other: a read-only target is moved aside (kept) with its attribute and
// then replaced; once kept, it can be removed when its time is up.
TEST_F(Win32FileSystemTest, ReadOnlyTargetIsMovedAsideButNotReplacedInOneStep) {
  tmp_.Write("new.txt", "new content");
  const std::string target = tmp_.Write("old.txt", "old content");
  ASSERT_TRUE(testing::AddAttributes(target, FILE_ATTRIBUTE_READONLY));
  OpenFile temp;
  ASSERT_FALSE(fs_.CreateTemporary(root_, "~old.txt.tmp", &temp));
  FileInfo copied;
  ASSERT_FALSE(fs_.CopyInto(root_, "new.txt", temp, &copied));
  const std::error_code refused =
      fs_.RenameTemporary(root_, "~old.txt.tmp", temp, "old.txt", /*replace=*/true);
  EXPECT_THAT(refused.message(), ::testing::HasSubstr("read-only"));
  EXPECT_EQ(testing::ReadFile(target), "old content");

  EXPECT_FALSE(fs_.MoveBetween(root_, "old.txt", root_, "~old.txt", /*replace=*/false));
  const std::string kept = tmp_.path() + "~old.txt";
  EXPECT_NE(::GetFileAttributesW(win32::ApiPath(kept).c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
  EXPECT_FALSE(fs_.RenameTemporary(root_, "~old.txt.tmp", temp, "old.txt", /*replace=*/false));
  temp.Reset();
  EXPECT_EQ(testing::ReadFile(target), "new content");
  EXPECT_EQ(testing::ReadFile(kept), "old content");
  bool removed = false;
  EXPECT_FALSE(fs_.RemoveIfNotHeld(root_, "~old.txt", &removed));
  EXPECT_TRUE(removed);
}

TEST_F(Win32FileSystemTest, ReadOnlySourceGivesACopyThatCanBeRemovedAndKeepsItsTime) {
  const std::string source = tmp_.Write("locked.txt", "locked", 1'299'215'167);
  ASSERT_TRUE(testing::AddAttributes(source, FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
  OpenFile temp;
  ASSERT_FALSE(fs_.CreateTemporary(root_, "~locked.tmp", &temp));
  FileInfo copied;
  ASSERT_FALSE(fs_.CopyInto(root_, "locked.txt", temp, &copied));
  temp.Reset();
  const DWORD attributes =
      ::GetFileAttributesW(win32::ApiPath(tmp_.path() + "~locked.tmp").c_str());
  EXPECT_EQ(attributes & FILE_ATTRIBUTE_READONLY, 0u);
  EXPECT_NE(attributes & FILE_ATTRIBUTE_HIDDEN, 0u);
  FileInfo info;
  ASSERT_FALSE(fs_.StatAt(root_, "~locked.tmp", FollowLinks::kNo, &info));
  EXPECT_EQ(info.write_time, testing::UnixSecondsToFileTime(1'299'215'167));
  bool removed = false;
  EXPECT_FALSE(fs_.RemoveIfNotHeld(root_, "~locked.tmp", &removed));
  EXPECT_TRUE(removed);
  testing::ClearReadOnly(source);
}

TEST_F(Win32FileSystemTest, ManyLookupsLeaveNoHandleOpen) {
  tmp_.Write("t.txt", "t");
  tmp_.Write("folder\\inside.txt", "i");
  testing::ScopedHostLink host_link(tmp_.path() + "link", tmp_.path() + "folder");
  const bool have_link = host_link.made();
  const long before = testing::OpenHandleCount();
  ASSERT_GT(before, 0);
  std::vector<DirEntry> entries;
  FileInfo info;
  for (int i = 0; i < 100; ++i) {
    Folder folder;
    EXPECT_FALSE(fs_.OpenFolder(root_, "folder", &folder));
    EXPECT_FALSE(fs_.List(folder, &entries));
    EXPECT_TRUE(fs_.OpenFolder(root_, "missing", &folder));
    EXPECT_TRUE(fs_.OpenFolder(root_, "t.txt", &folder));
    if (have_link) {
      EXPECT_TRUE(fs_.OpenFolder(root_, "link", &folder));
    }
    EXPECT_FALSE(fs_.StatAt(root_, "t.txt", FollowLinks::kYes, &info));
    EXPECT_TRUE(fs_.StatAt(root_, "missing.txt", FollowLinks::kYes, &info));
    EXPECT_FALSE(fs_.Stat(tmp_.path() + "t.txt", FollowLinks::kNo, &info));
    OpenFile temp;
    EXPECT_TRUE(fs_.CreateTemporary(root_, "t.txt", &temp));
  }
  EXPECT_LE(testing::OpenHandleCount(), before);
}

TEST_F(Win32FileSystemTest, MadeFolderIsHiddenByItsAttributeAndLinksAreLeftAlone) {
  tmp_.MakeFolder("Plain");
  Folder made;
  ASSERT_FALSE(fs_.MakeFolder(root_, "Kept", /*hidden=*/true, &made));
  // A folder that is there already keeps its attributes.
  ASSERT_FALSE(fs_.MakeFolder(root_, "Plain", /*hidden=*/true, &made));
  std::vector<DirEntry> entries;
  ASSERT_FALSE(fs_.List(root_, &entries));
  EXPECT_TRUE(Find(entries, "Kept")->hidden);
  EXPECT_FALSE(Find(entries, "Plain")->hidden);

  testing::ScopedHostLink link(tmp_.path() + "link", tmp_.path() + "Plain");
  if (!link.made()) GTEST_SKIP() << "this file system makes neither junctions nor folder links";
  EXPECT_EQ(fs_.MakeFolder(root_, "link", false, &made), std::errc::too_many_symbolic_link_levels);
  EXPECT_EQ(fs_.RemoveEmptyFolder(root_, "link"), std::errc::too_many_symbolic_link_levels);
  FileInfo info;
  EXPECT_FALSE(fs_.StatAt(root_, "Plain", FollowLinks::kNo, &info));
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

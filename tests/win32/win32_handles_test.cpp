// The Windows file system below an opened folder: every name reached from
// its parent's handle, links refused where a folder is entered, temporaries
// held while written and renamed or removed through their own handle.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/win32/copy_bytes.h"
#include "platform/win32/handles.h"
#include "platform/win32/wide.h"
#include "platform/win32/win32_file_system.h"
#include "support/temp_folder.h"
#include "win32_disk.h"

namespace tandrel {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing::TempFolder;
using ::testing::UnorderedElementsAre;

// A time with a fraction of a second, 2011-03-04 04:06:07.1234567 UTC.
constexpr FileTime kOddTime = 129'436'851'671'234'567;

bool SetWriteTime(const std::string& path, FileTime time) {
  win32::FileHandle file(::CreateFileW(win32::ApiPath(path).c_str(), FILE_WRITE_ATTRIBUTES,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(time & 0xFFFFFFFF);
  ft.dwHighDateTime = static_cast<DWORD>(time >> 32);
  return file && ::SetFileTime(file.get(), nullptr, nullptr, &ft);
}

bool Exists(const std::string& path) {
  return ::GetFileAttributesW(win32::ApiPath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

class Win32HandlesTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(fs_.OpenRoot(tmp_.path(), &root_)); }

  std::vector<std::string> Names(const Folder& folder) {
    std::vector<DirEntry> entries;
    EXPECT_FALSE(fs_.List(folder, &entries));
    std::vector<std::string> names;
    for (const DirEntry& e : entries) names.push_back(e.name);
    return names;
  }

  static const DirEntry* Find(const std::vector<DirEntry>& entries, const std::string& name) {
    auto it = std::find_if(entries.begin(), entries.end(),
                           [&](const DirEntry& e) { return e.name == name; });
    return it == entries.end() ? nullptr : &*it;
  }

  Win32FileSystem fs_;
  TempFolder tmp_;
  Folder root_;
};

TEST_F(Win32HandlesTest, TreeBeyondMaxPathWithWorldNamesIsReadThroughHandles) {
  const std::string greek = "\xce\xb1\xce\xb2\xce\xb3";  // αβγ
  const std::string cjk = "\xe6\x96\x87\xe4\xbb\xb6";    // 文件
  const std::string emoji = "\xf0\x9f\x98\x80.txt";      // 😀.txt
  std::string deep = tmp_.path() + greek;
  std::string relative = greek;
  ASSERT_TRUE(testing::MakeFolder(deep));
  for (int i = 0; deep.size() < 300; ++i) {
    const std::string segment = cjk + "-" + std::to_string(i) + "-of-a-path-longer-than-max-path";
    deep += "\\" + segment;
    relative += "\\" + segment;
    ASSERT_TRUE(testing::MakeFolder(deep)) << deep.size();
  }
  ASSERT_TRUE(testing::WriteFile(deep + "\\" + emoji, "far away"));
  ASSERT_TRUE(SetWriteTime(deep + "\\" + emoji, kOddTime));
  ASSERT_TRUE(testing::WriteFile(deep + "\\other.txt", "other"));

  Folder deepest;
  ASSERT_FALSE(fs_.OpenBeneath(root_, relative, &deepest));
  std::vector<DirEntry> entries;
  ASSERT_FALSE(fs_.List(deepest, &entries));
  ASSERT_EQ(entries.size(), 2u);
  const DirEntry* file = Find(entries, emoji);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->kind, EntryKind::kFile);
  EXPECT_FALSE(file->hidden);
  EXPECT_EQ(file->write_time, kOddTime);

  FileInfo info;
  ASSERT_FALSE(fs_.StatAt(deepest, emoji, FollowLinks::kNo, &info));
  EXPECT_EQ(info.kind, EntryKind::kFile);
  EXPECT_FALSE(info.is_link);
  EXPECT_EQ(info.write_time, kOddTime);
  EXPECT_EQ(info.stamp.size, 8);
  EXPECT_EQ(info.stamp.write_seconds, 1'299'211'567);
  EXPECT_EQ(info.stamp.write_nanoseconds, 123'456'700u);
  FileInfo other;
  ASSERT_FALSE(fs_.StatAt(deepest, "other.txt", FollowLinks::kNo, &other));
  EXPECT_EQ(other.stamp.device, info.stamp.device);
  EXPECT_NE(other.stamp.file_id, info.stamp.file_id);
  // The same file through another handle of the same folder.
  Folder again;
  ASSERT_FALSE(fs_.OpenFolder(deepest, ".", &again));
  FileInfo same;
  ASSERT_FALSE(fs_.StatAt(again, emoji, FollowLinks::kYes, &same));
  EXPECT_EQ(same.stamp, info.stamp);
  EXPECT_THAT(Names(again), UnorderedElementsAre(emoji, "other.txt"));

  // Names are found case-blind, as Windows does, and missing ones are told.
  ASSERT_FALSE(fs_.StatAt(deepest, "OTHER.TXT", FollowLinks::kNo, &info));
  EXPECT_EQ(info.stamp, other.stamp);
  Folder first;
  EXPECT_EQ(fs_.StatAt(deepest, "missing.txt", FollowLinks::kNo, &info),
            std::errc::no_such_file_or_directory);
  EXPECT_EQ(fs_.OpenFolder(root_, "missing", &first), std::errc::no_such_file_or_directory);
  EXPECT_EQ(fs_.OpenFolder(deepest, "other.txt", &first), std::errc::not_a_directory);
  EXPECT_EQ(fs_.StatAt(deepest, "..", FollowLinks::kNo, &info), std::errc::invalid_argument);
  EXPECT_EQ(fs_.StatAt(root_, greek + "\\x", FollowLinks::kNo, &info), std::errc::invalid_argument);
  OpenFile stream;
  EXPECT_EQ(fs_.CreateTemporary(deepest, "other.txt:stream", &stream), std::errc::invalid_argument);
  // Open folders cannot be removed under Wine.
  deepest.Reset();
  again.Reset();
  testing::RemoveTree(tmp_.path() + greek);
}

TEST_F(Win32HandlesTest, LinkToAFolderIsListedButNeverEntered) {
  tmp_.Write("real/inside.txt", "i");
  tmp_.Write("outside/secret.txt", "s");
  testing::ScopedHostLink host_link(tmp_.path() + "real\\link", tmp_.path() + "outside");
  if (!host_link.made()) {
    GTEST_SKIP() << "this host makes no folder links";
  }
  Folder real;
  ASSERT_FALSE(fs_.OpenFolder(root_, "real", &real));
  std::vector<DirEntry> entries;
  ASSERT_FALSE(fs_.List(real, &entries));
  const DirEntry* link = Find(entries, "link");
  ASSERT_NE(link, nullptr);
  EXPECT_EQ(link->kind, EntryKind::kFolderLink);
  EXPECT_FALSE(link->write_time.has_value());

  Folder through;
  EXPECT_EQ(fs_.OpenFolder(real, "link", &through), std::errc::too_many_symbolic_link_levels);
  EXPECT_FALSE(through);
  EXPECT_EQ(fs_.OpenBeneath(root_, "real\\link", &through),
            std::errc::too_many_symbolic_link_levels);
  FileInfo info;
  ASSERT_FALSE(fs_.StatAt(real, "link", FollowLinks::kNo, &info));
  EXPECT_TRUE(info.is_link);
  EXPECT_EQ(info.kind, EntryKind::kFolderLink);
  ASSERT_FALSE(fs_.StatAt(real, "link", FollowLinks::kYes, &info));
  EXPECT_EQ(info.kind, EntryKind::kFolder);
  // A link counts as taken and is not written through.
  OpenFile file;
  EXPECT_EQ(fs_.CreateTemporary(real, "link", &file), std::errc::file_exists);
  EXPECT_THAT(Names(real), UnorderedElementsAre("inside.txt", "link"));
}

TEST_F(Win32HandlesTest, FolderSwappedForALinkWritesNothingOutside) {
  tmp_.Write("tree/a/b/kept.txt", "k");
  tmp_.Write("outside/b/secret.txt", "s");
  Folder tree;
  ASSERT_FALSE(fs_.OpenFolder(root_, "tree", &tree));
  Folder a_before;
  ASSERT_FALSE(fs_.OpenFolder(tree, "a", &a_before));
  // Another program swaps "a" for a link while the walk is under way.
  ASSERT_TRUE(::MoveFileW(win32::ApiPath(tmp_.path() + "tree\\a").c_str(),
                          win32::ApiPath(tmp_.path() + "tree\\a-moved").c_str()));
  testing::ScopedHostLink host_link(tmp_.path() + "tree\\a", tmp_.path() + "outside");
  if (!host_link.made()) {
    GTEST_SKIP() << "this host makes no folder links";
  }
  Folder b;
  EXPECT_EQ(fs_.OpenBeneath(tree, "a\\b", &b), std::errc::too_many_symbolic_link_levels);
  EXPECT_FALSE(b);

  // The folder opened before the swap is the moved one, not the link.
  ASSERT_FALSE(fs_.OpenFolder(a_before, "b", &b));
  OpenFile file;
  ASSERT_FALSE(fs_.CreateTemporary(b, "new.tmp", &file));
  file.Reset();
  EXPECT_TRUE(Exists(tmp_.path() + "tree\\a-moved\\b\\new.tmp"));
  EXPECT_THAT(Names(b), UnorderedElementsAre("kept.txt", "new.tmp"));
  EXPECT_FALSE(Exists(tmp_.path() + "outside\\b\\new.tmp"));
}

TEST_F(Win32HandlesTest, CopyIsRenamedOverATakenNameOnlyWhenAskedTo) {
  const std::string source = tmp_.Write("from/data.bin", std::string("new\0bytes", 9));
  ASSERT_TRUE(SetWriteTime(source, kOddTime));
  tmp_.Write("to/data.bin", "old");
  Folder from;
  Folder to;
  ASSERT_FALSE(fs_.OpenFolder(root_, "from", &from));
  ASSERT_FALSE(fs_.OpenFolder(root_, "to", &to));

  OpenFile temp;
  ASSERT_FALSE(fs_.CreateTemporary(to, "~data.tmp", &temp));
  OpenFile twice;
  EXPECT_EQ(fs_.CreateTemporary(to, "~data.tmp", &twice), std::errc::file_exists);
  FileInfo copied;
  ASSERT_FALSE(fs_.CopyInto(from, "data.bin", temp, &copied));
  OpenFile* const files[] = {&temp};
  size_t failed = 0;
  ASSERT_FALSE(fs_.FlushFiles(files, &failed));
  FileInfo source_info;
  ASSERT_FALSE(fs_.StatAt(from, "data.bin", FollowLinks::kYes, &source_info));
  EXPECT_EQ(copied.stamp, source_info.stamp);
  EXPECT_EQ(copied.write_time, kOddTime);

  EXPECT_EQ(fs_.RenameTemporary(to, "~data.tmp", temp, "data.bin", /*replace=*/false),
            std::errc::file_exists);
  EXPECT_EQ(testing::ReadFile(tmp_.path() + "to\\data.bin"), "old");
  ASSERT_FALSE(fs_.RenameTemporary(to, "~data.tmp", temp, "data.bin", /*replace=*/true));
  temp.Reset();
  EXPECT_EQ(testing::ReadFile(tmp_.path() + "to\\data.bin"), std::string("new\0bytes", 9));
  FileInfo result;
  ASSERT_FALSE(fs_.StatAt(to, "data.bin", FollowLinks::kNo, &result));
  EXPECT_EQ(result.write_time, kOddTime);
  EXPECT_EQ(result.stamp.size, 9);
  EXPECT_THAT(Names(to), ElementsAre("data.bin"));

  // A temporary given up leaves nothing behind.
  ASSERT_FALSE(fs_.CreateTemporary(to, "~gone.tmp", &temp));
  ASSERT_FALSE(fs_.CopyInto(from, "data.bin", temp, &copied));
  ASSERT_FALSE(fs_.RemoveTemporary(to, "~gone.tmp", temp));
  temp.Reset();
  EXPECT_THAT(Names(to), ElementsAre("data.bin"));
  EXPECT_FALSE(fs_.FlushFolder(to));
}

TEST_F(Win32HandlesTest, TemporaryLetGoOfIsRenamedOrRemovedByItsName) {
  const std::string source = tmp_.Write("from/data.bin", "new");
  ASSERT_TRUE(SetWriteTime(source, kOddTime));
  tmp_.Write("to/data.bin", "old");
  Folder from;
  Folder to;
  ASSERT_FALSE(fs_.OpenFolder(root_, "from", &from));
  ASSERT_FALSE(fs_.OpenFolder(root_, "to", &to));
  FileInfo source_info;
  ASSERT_FALSE(fs_.StatAt(from, "data.bin", FollowLinks::kNo, &source_info));
  // An access time of its own, so that the copy's cannot match by chance.
  source_info.access_seconds = 1'000'000'000;
  source_info.access_nanoseconds = 700;
  ASSERT_FALSE(fs_.SetTimesAt(from, "data.bin", source_info));

  OpenFile temp;
  ASSERT_FALSE(fs_.CreateTemporary(to, "~data.tmp", &temp));
  FileInfo copied;
  ASSERT_FALSE(fs_.CopyInto(from, "data.bin", temp, &copied));
  ASSERT_FALSE(fs_.CloseTemporary(temp, /*keep_held=*/true));
  EXPECT_TRUE(temp);
  ASSERT_FALSE(fs_.CloseTemporary(temp, /*keep_held=*/false));
  EXPECT_FALSE(temp);
  ASSERT_FALSE(fs_.RenameTemporary(to, "~data.tmp", temp, "data.bin", /*replace=*/true));
  // Times first: reading the bytes may move the access time.
  FileInfo result;
  ASSERT_FALSE(fs_.StatAt(to, "data.bin", FollowLinks::kNo, &result));
  EXPECT_EQ(result.write_time, kOddTime);
  EXPECT_EQ(result.access_seconds, source_info.access_seconds);
  EXPECT_EQ(result.access_nanoseconds, source_info.access_nanoseconds);
  EXPECT_EQ(testing::ReadFile(tmp_.path() + "to\\data.bin"), "new");

  ASSERT_FALSE(fs_.CreateTemporary(to, "~gone.tmp", &temp));
  ASSERT_FALSE(fs_.CloseTemporary(temp, /*keep_held=*/false));
  ASSERT_FALSE(fs_.RemoveTemporary(to, "~gone.tmp", temp));
  EXPECT_THAT(Names(to), ElementsAre("data.bin"));
  EXPECT_EQ(fs_.RemoveTemporary(to, "~gone.tmp", temp), std::errc::no_such_file_or_directory);
}

TEST_F(Win32HandlesTest, TimesSetByNameAreReadBackToTheTick) {
  tmp_.Write("placed.txt", "p");
  FileInfo times;
  times.stamp.write_seconds = 1'299'211'567;
  times.stamp.write_nanoseconds = 123'456'700;
  // Half a second before 1970.
  times.access_seconds = -1;
  times.access_nanoseconds = 500'000'000;
  ASSERT_FALSE(fs_.SetTimesAt(root_, "placed.txt", times));
  FileInfo info;
  ASSERT_FALSE(fs_.StatAt(root_, "placed.txt", FollowLinks::kNo, &info));
  EXPECT_EQ(info.write_time, kOddTime);
  EXPECT_EQ(info.stamp.write_nanoseconds, 123'456'700u);
  EXPECT_EQ(info.access_seconds, -1);
  EXPECT_EQ(info.access_nanoseconds, 500'000'000u);
  EXPECT_EQ(fs_.SetTimesAt(root_, "missing.txt", times), std::errc::no_such_file_or_directory);
}

TEST_F(Win32HandlesTest, StorageIsDescribedWithNamesCaseBlind) {
  Storage storage;
  ASSERT_FALSE(fs_.Describe(root_, &storage));
  EXPECT_TRUE(storage.ignores_case);
  EXPECT_GE(storage.time_step_ns, 100);
}

TEST_F(Win32HandlesTest, CopyOfManyBlocksWithZeroRunsKeepsEveryByte) {
  // Blocks of zeros between data, and a tail of zeros, over several blocks
  // of the copy: the places where skipping zeros could go wrong.
  const DWORD block = win32::kCopyBlockSize;
  std::string contents(3 * block + 12'345, '\0');
  contents.replace(10, 4, "head");
  contents.replace(2 * block + 7, 6, "middle");
  const std::string source = tmp_.path() + "zeros.bin";
  ASSERT_TRUE(testing::WriteFile(source, contents));
  // Both roads, since this host may not tell that a file is sparse.
  for (const bool sparse : {false, true}) {
    const std::string copy = tmp_.path() + (sparse ? "sparse.bin" : "dense.bin");
    {
      win32::FileHandle from(::CreateFileW(win32::ApiPath(source).c_str(), GENERIC_READ,
                                           FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
      win32::FileHandle to(::CreateFileW(win32::ApiPath(copy).c_str(), GENERIC_WRITE, 0, nullptr,
                                         CREATE_NEW, 0, nullptr));
      ASSERT_TRUE(from && to);
      ASSERT_FALSE(win32::CopyBytes(from.get(), to.get(), sparse));
    }
    EXPECT_TRUE(testing::ReadFile(copy) == contents) << sparse;
  }
  // And through CopyInto.
  OpenFile temp;
  ASSERT_FALSE(fs_.CreateTemporary(root_, "~zeros.tmp", &temp));
  FileInfo copied;
  ASSERT_FALSE(fs_.CopyInto(root_, "zeros.bin", temp, &copied));
  temp.Reset();
  EXPECT_EQ(copied.stamp.size, static_cast<std::int64_t>(contents.size()));
  EXPECT_TRUE(testing::ReadFile(tmp_.path() + "~zeros.tmp") == contents);
}

TEST_F(Win32HandlesTest, TemporaryHeldOpenIsNotRemovedUntilClosed) {
  OpenFile temp;
  ASSERT_FALSE(fs_.CreateTemporary(root_, "~held.tmp", &temp));
  bool removed = true;
  ASSERT_FALSE(fs_.RemoveIfNotHeld(root_, "~held.tmp", &removed));
  EXPECT_FALSE(removed);
  EXPECT_THAT(Names(root_), ElementsAre("~held.tmp"));
  temp.Reset();
  ASSERT_FALSE(fs_.RemoveIfNotHeld(root_, "~held.tmp", &removed));
  EXPECT_TRUE(removed);
  EXPECT_THAT(Names(root_), IsEmpty());
  EXPECT_EQ(fs_.RemoveIfNotHeld(root_, "~held.tmp", &removed),
            std::errc::no_such_file_or_directory);
  EXPECT_FALSE(removed);
}

}  // namespace
}  // namespace tandrel

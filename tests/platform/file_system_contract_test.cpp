// What every real FileSystem must do, on the real disk of the platform the
// tests run on.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "platform/system.h"
#include "support/temp_folder.h"

namespace tandrel {
namespace {

using testing::TempFolder;
using ::testing::UnorderedElementsAre;

constexpr long long kJan2020 = 1'577'836'800;  // seconds since 1970

class FileSystemContract : public ::testing::Test {
 protected:
  std::unique_ptr<FileSystem> fs_ = MakeRealFileSystem();
  TempFolder tmp_;

  std::vector<std::string> Names(const std::string& folder, EntryKind kind) {
    std::vector<DirEntry> entries;
    EXPECT_FALSE(fs_->ListFolder(folder, &entries));
    std::vector<std::string> names;
    for (const DirEntry& e : entries) {
      if (e.kind == kind) names.push_back(e.name);
    }
    return names;
  }
};

TEST_F(FileSystemContract, ListsFilesAndFoldersWithoutDots) {
  tmp_.Write("a.txt", "a");
  tmp_.Write("sub/b.txt", "b");
  tmp_.MakeFolder("empty");
  EXPECT_THAT(Names(tmp_.path(), EntryKind::kFile), UnorderedElementsAre("a.txt"));
  EXPECT_THAT(Names(tmp_.path(), EntryKind::kFolder), UnorderedElementsAre("sub", "empty"));
  std::vector<DirEntry> entries;
  const std::string no_separator = tmp_.path().substr(0, tmp_.path().size() - 1);
  EXPECT_FALSE(fs_->ListFolder(no_separator, &entries));
  EXPECT_EQ(entries.size(), 3u);
  EXPECT_TRUE(fs_->ListFolder(tmp_.path() + "missing", &entries));
}

TEST_F(FileSystemContract, NamesOutsideAsciiRoundTrip) {
  const std::vector<std::string> names = {"\xce\xb1\xce\xb2\xce\xb3.txt",  // Greek
                                          "\xe6\x96\x87\xe4\xbb\xb6.txt",  // CJK
                                          "\xf0\x9f\x98\x80.txt"};         // emoji
  for (const std::string& n : names) tmp_.Write(n, n);
  const std::vector<std::string> listed = Names(tmp_.path(), EntryKind::kFile);
  for (const std::string& n : names) {
    EXPECT_NE(std::find(listed.begin(), listed.end(), n), listed.end()) << n;
    FileInfo info;
    EXPECT_FALSE(fs_->Stat(tmp_.path() + n, FollowLinks::kYes, &info)) << n;
  }
}

TEST_F(FileSystemContract, StatGivesKindAndTime) {
  const std::string file = tmp_.Write("t.txt", "x", kJan2020);
  FileInfo info;
  ASSERT_FALSE(fs_->Stat(file, FollowLinks::kYes, &info));
  EXPECT_EQ(info.kind, EntryKind::kFile);
  EXPECT_EQ(info.write_time, testing::UnixSecondsToFileTime(kJan2020));
  ASSERT_FALSE(fs_->Stat(tmp_.path(), FollowLinks::kYes, &info));
  EXPECT_EQ(info.kind, EntryKind::kFolder);
  EXPECT_EQ(fs_->Stat(tmp_.path() + "nope", FollowLinks::kYes, &info),
            std::errc::no_such_file_or_directory);
}

TEST_F(FileSystemContract, CopySetTimeRenameRemove) {
  const std::string source = tmp_.Write("src.bin", std::string(300'000, 'q') + "end");
  const std::string copy = tmp_.path() + "~copy.tmp";
  ASSERT_FALSE(fs_->CopyContents(source, copy));
  EXPECT_EQ(TempFolder::Read(copy), TempFolder::Read(source));
  // The new file must not exist yet.
  EXPECT_EQ(fs_->CopyContents(source, copy), std::errc::file_exists);

  ASSERT_FALSE(fs_->SetWriteTime(copy, testing::UnixSecondsToFileTime(kJan2020) + 1234567));
  FileInfo info;
  ASSERT_FALSE(fs_->Stat(copy, FollowLinks::kNo, &info));
  EXPECT_EQ(info.write_time / kFileTimeTicksPerSecond,
            testing::UnixSecondsToFileTime(kJan2020) / kFileTimeTicksPerSecond);

  const std::string other = tmp_.Write("other.bin", "old");
  EXPECT_EQ(fs_->Rename(copy, other, /*replace=*/false), std::errc::file_exists);
  EXPECT_EQ(TempFolder::Read(other), "old");
  ASSERT_FALSE(fs_->Rename(copy, other, /*replace=*/true));
  EXPECT_EQ(TempFolder::Read(other), TempFolder::Read(source));
  EXPECT_TRUE(fs_->Stat(copy, FollowLinks::kNo, &info));

  const std::string fresh = tmp_.path() + "fresh.bin";
  ASSERT_FALSE(fs_->Rename(other, fresh, /*replace=*/false));
  ASSERT_FALSE(fs_->Remove(fresh));
  EXPECT_TRUE(fs_->Stat(fresh, FollowLinks::kNo, &info));
  EXPECT_TRUE(fs_->Remove(fresh));
}

TEST_F(FileSystemContract, ListingTimesAgreeWithStat) {
  tmp_.Write("dated.txt", "x", kJan2020);
  tmp_.Write("sub/inner.txt", "y", kJan2020 + 3600);
  std::vector<DirEntry> entries;
  ASSERT_FALSE(fs_->ListFolder(tmp_.path(), &entries));
  for (const DirEntry& e : entries) {
    if (!e.write_time) continue;
    FileInfo info;
    ASSERT_FALSE(fs_->Stat(tmp_.path() + e.name, FollowLinks::kNo, &info)) << e.name;
    EXPECT_EQ(*e.write_time, info.write_time) << e.name;
  }
}

TEST_F(FileSystemContract, FailuresNameTheirCause) {
  const std::string missing = tmp_.path() + "missing";
  const std::string file = tmp_.Write("f.txt", "keep");
  std::vector<DirEntry> entries;
  EXPECT_EQ(fs_->ListFolder(missing, &entries), std::errc::no_such_file_or_directory);
  EXPECT_EQ(fs_->CopyContents(missing, tmp_.path() + "copy"), std::errc::no_such_file_or_directory);
  FileInfo info;
  EXPECT_TRUE(fs_->Stat(tmp_.path() + "copy", FollowLinks::kNo, &info));
  EXPECT_TRUE(fs_->CopyContents(file, missing + std::string(1, kSeparator) + "copy"));
  EXPECT_EQ(fs_->Remove(missing), std::errc::no_such_file_or_directory);
  EXPECT_TRUE(fs_->SetWriteTime(missing, testing::UnixSecondsToFileTime(kJan2020)));
  EXPECT_TRUE(fs_->Rename(missing, tmp_.path() + "other", /*replace=*/true));
  // A folder is never removed.
  tmp_.MakeFolder("folder");
  EXPECT_TRUE(fs_->Remove(tmp_.path() + "folder"));
  EXPECT_FALSE(fs_->Stat(tmp_.path() + "folder", FollowLinks::kNo, &info));
  EXPECT_EQ(TempFolder::Read(file), "keep");
  // Every error has words for the user.
  EXPECT_FALSE(fs_->Remove(missing).message().empty());
}

TEST_F(FileSystemContract, EmptyFileCopiesAndEmptyFolderLists) {
  const std::string empty = tmp_.Write("empty.txt", "");
  ASSERT_FALSE(fs_->CopyContents(empty, tmp_.path() + "~empty.tmp"));
  EXPECT_EQ(TempFolder::Read(tmp_.path() + "~empty.tmp"), "");
  std::vector<DirEntry> entries(1);
  ASSERT_FALSE(fs_->ListFolder(tmp_.MakeFolder("hollow"), &entries));
  EXPECT_TRUE(entries.empty());
}

TEST_F(FileSystemContract, LocalTimeConversionExists) {
  EXPECT_TRUE(FileTimeToLocalFileTime(testing::UnixSecondsToFileTime(kJan2020)).has_value());
}

}  // namespace
}  // namespace tandrel

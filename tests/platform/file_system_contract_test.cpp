// What every real FileSystem must do, on the real disk of the platform the
// tests run on.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "platform/system.h"
#include "support/path.h"
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

TEST_F(FileSystemContract, TemporaryCopyRenamedIntoPlace) {
  // A whole second: the tests' own way of setting times keeps no fraction
  // on every platform (the platforms' own tests check fractions).
  const FileTime when = testing::UnixSecondsToFileTime(kJan2020 + 7);
  const std::string source = tmp_.Write("src.bin", std::string(300'000, 'q') + "end");
  Folder folder;
  ASSERT_FALSE(fs_->OpenRoot(tmp_.path(), &folder));
  TempFolder::SetWriteTime(source, when);
  OpenFile file;
  ASSERT_FALSE(fs_->CreateTemporary(folder, "~copy.tmp", &file));
  // The new file must not exist yet.
  OpenFile again;
  EXPECT_EQ(fs_->CreateTemporary(folder, "~copy.tmp", &again), std::errc::file_exists);
  FileInfo copied;
  ASSERT_FALSE(fs_->CopyInto(folder, "src.bin", file, &copied));
  EXPECT_EQ(copied.stamp.size, 300'003);
  OpenFile* files[] = {&file};
  size_t failed = 99;
  ASSERT_FALSE(fs_->FlushFiles(files, &failed));
  FileInfo info;
  ASSERT_FALSE(fs_->StatAt(folder, "~copy.tmp", FollowLinks::kNo, &info));
  EXPECT_EQ(info.write_time, when);

  const std::string other = tmp_.Write("other.bin", "old");
  // A folder the sync writes to is listed first, for leftovers.
  std::vector<DirEntry> entries;
  ASSERT_FALSE(fs_->List(folder, &entries));
  EXPECT_EQ(fs_->RenameTemporary(folder, "~copy.tmp", file, "other.bin", /*replace=*/false),
            std::errc::file_exists);
  EXPECT_EQ(TempFolder::Read(other), "old");
  ASSERT_FALSE(fs_->RenameTemporary(folder, "~copy.tmp", file, "other.bin", /*replace=*/true));
  file.Reset();
  EXPECT_EQ(TempFolder::Read(other), TempFolder::Read(source));
  EXPECT_EQ(fs_->StatAt(folder, "~copy.tmp", FollowLinks::kNo, &info),
            std::errc::no_such_file_or_directory);
  ASSERT_FALSE(fs_->StatAt(folder, "other.bin", FollowLinks::kNo, &info));
  EXPECT_EQ(info.stamp.size, copied.stamp.size);
  EXPECT_EQ(info.write_time, when);
  EXPECT_FALSE(fs_->FlushFolder(folder));

  // A name of one letter, shorter than the structures some systems rename with.
  OpenFile short_name;
  ASSERT_FALSE(fs_->CreateTemporary(folder, "~s.tmp", &short_name));
  ASSERT_FALSE(fs_->CopyInto(folder, "src.bin", short_name, &copied));
  ASSERT_FALSE(fs_->RenameTemporary(folder, "~s.tmp", short_name, "x", /*replace=*/false));
}

TEST_F(FileSystemContract, HeldTemporaryIsNotALeftover) {
  Folder folder;
  ASSERT_FALSE(fs_->OpenRoot(tmp_.path(), &folder));
  OpenFile held;
  ASSERT_FALSE(fs_->CreateTemporary(folder, "~held.tmp", &held));
  bool removed = true;
  ASSERT_FALSE(fs_->RemoveIfNotHeld(folder, "~held.tmp", &removed));
  EXPECT_FALSE(removed);
  held.Reset();
  ASSERT_FALSE(fs_->RemoveIfNotHeld(folder, "~held.tmp", &removed));
  EXPECT_TRUE(removed);
  FileInfo info;
  EXPECT_TRUE(fs_->StatAt(folder, "~held.tmp", FollowLinks::kNo, &info));

  OpenFile dropped;
  ASSERT_FALSE(fs_->CreateTemporary(folder, "~dropped.tmp", &dropped));
  ASSERT_FALSE(fs_->RemoveTemporary(folder, "~dropped.tmp", dropped));
  dropped.Reset();  // Windows removes it when it is closed
  EXPECT_TRUE(fs_->StatAt(folder, "~dropped.tmp", FollowLinks::kNo, &info));
}

TEST_F(FileSystemContract, FoldersAreReachedOneNameAtATime) {
  tmp_.Write("a/b/c/deep.txt", "d");
  Folder root;
  ASSERT_FALSE(fs_->OpenRoot(tmp_.path(), &root));
  Folder c;
  ASSERT_FALSE(fs_->OpenBeneath(root, testing::P("a/b/c/"), &c));
  FileInfo info;
  EXPECT_FALSE(fs_->StatAt(c, "deep.txt", FollowLinks::kNo, &info));
  Folder same;
  ASSERT_FALSE(fs_->OpenBeneath(root, "", &same));
  EXPECT_FALSE(fs_->StatAt(same, "a", FollowLinks::kNo, &info));
  Folder escaped;
  EXPECT_EQ(fs_->OpenBeneath(c, testing::P("../../.."), &escaped), std::errc::invalid_argument);
  EXPECT_EQ(fs_->OpenBeneath(root, testing::P("a/missing"), &escaped),
            std::errc::no_such_file_or_directory);
  EXPECT_TRUE(fs_->OpenFolder(c, "deep.txt", &escaped));
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
  tmp_.Write("f.txt", "keep");
  tmp_.MakeFolder("folder");
  std::vector<DirEntry> entries;
  EXPECT_EQ(fs_->ListFolder(tmp_.path() + "missing", &entries),
            std::errc::no_such_file_or_directory);
  Folder folder;
  ASSERT_FALSE(fs_->OpenRoot(tmp_.path(), &folder));
  OpenFile file;
  ASSERT_FALSE(fs_->CreateTemporary(folder, "~copy.tmp", &file));
  FileInfo info;
  const std::error_code missing = fs_->CopyInto(folder, "missing", file, &info);
  EXPECT_EQ(missing, std::errc::no_such_file_or_directory);
  // A folder is no file to copy.
  EXPECT_TRUE(fs_->CopyInto(folder, "folder", file, &info));
  EXPECT_EQ(fs_->CreateTemporary(folder, "f.txt", &file), std::errc::file_exists);
  EXPECT_EQ(TempFolder::Read(tmp_.path() + "f.txt"), "keep");
  // Every error has words for the user.
  EXPECT_FALSE(missing.message().empty());
}

TEST_F(FileSystemContract, EmptyFileCopiesAndEmptyFolderLists) {
  tmp_.Write("empty.txt", "");
  Folder folder;
  ASSERT_FALSE(fs_->OpenRoot(tmp_.path(), &folder));
  OpenFile file;
  ASSERT_FALSE(fs_->CreateTemporary(folder, "~empty.tmp", &file));
  FileInfo info;
  ASSERT_FALSE(fs_->CopyInto(folder, "empty.txt", file, &info));
  EXPECT_EQ(TempFolder::Read(tmp_.path() + "~empty.tmp"), "");
  std::vector<DirEntry> entries(1);
  ASSERT_FALSE(fs_->ListFolder(tmp_.MakeFolder("hollow"), &entries));
  EXPECT_TRUE(entries.empty());
}

// What a sync keeps of the files it replaces, and what an undo needs to put
// them back: the run's hidden folder, its journal, moves between folders.
TEST_F(FileSystemContract, KeepsAsideAndPutsBack) {
  Folder root;
  ASSERT_FALSE(fs_->OpenRoot(tmp_.path(), &root));
  Folder kept;
  ASSERT_FALSE(fs_->MakeFolder(root, ".kept", /*hidden=*/true, &kept));
  OpenFile journal;
  ASSERT_FALSE(fs_->CreateTemporary(kept, "journal", &journal));
  // Asked again, the folder is found as it is, with what it holds.
  Folder again;
  ASSERT_FALSE(fs_->MakeFolder(root, ".kept", /*hidden=*/true, &again));
  ASSERT_FALSE(fs_->AppendText(journal, "first\n"));
  ASSERT_FALSE(fs_->AppendText(journal, "second\n"));
  std::string text;
  ASSERT_FALSE(fs_->ReadText(again, "journal", &text));
  EXPECT_EQ(text, "first\nsecond\n");
  std::vector<DirEntry> entries;
  ASSERT_FALSE(fs_->List(root, &entries));
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].kind, EntryKind::kFolder);
  EXPECT_TRUE(entries[0].hidden);
  EXPECT_EQ(fs_->MakeFolder(kept, "journal", false, &again), std::errc::not_a_directory);

  struct Move {
    const char* name;
    const char* to_name;
    bool taken;  // `to_name` holds "old" before the move
    bool replace;
    std::errc expected;  // std::errc{} for success
  };
  const Move moves[] = {
      {"renamed.txt", "~renamed.txt", false, false, std::errc{}},
      {"taken.txt", "taken.txt", true, false, std::errc::file_exists},
      {"replaced.txt", "replaced.txt", true, true, std::errc{}},
  };
  Folder one;
  Folder two;
  ASSERT_FALSE(fs_->MakeFolder(root, "one", false, &one));
  ASSERT_FALSE(fs_->MakeFolder(kept, "two", false, &two));
  for (const Move& m : moves) {
    SCOPED_TRACE(m.name);
    const std::string from = tmp_.Write(std::string("one/") + m.name, m.name);
    const std::string to = tmp_.path() + testing::P(std::string(".kept/two/") + m.to_name);
    if (m.taken) tmp_.Write(std::string(".kept/two/") + m.to_name, "old");
    const std::error_code ec = fs_->MoveBetween(one, m.name, two, m.to_name, m.replace);
    if (m.expected == std::errc{}) {
      ASSERT_FALSE(ec) << ec.message();
      EXPECT_EQ(TempFolder::Read(to), m.name);
      FileInfo info;
      EXPECT_EQ(fs_->StatAt(one, m.name, FollowLinks::kNo, &info),
                std::errc::no_such_file_or_directory);
    } else {
      EXPECT_EQ(ec, m.expected) << ec.message();
      EXPECT_EQ(TempFolder::Read(from), m.name);
      EXPECT_EQ(TempFolder::Read(to), "old");
    }
  }
  // Only an empty folder goes.
  Folder empty;
  ASSERT_FALSE(fs_->MakeFolder(two, "empty", false, &empty));
  empty.Reset();
  EXPECT_EQ(fs_->RemoveEmptyFolder(kept, "two"), std::errc::directory_not_empty);
  EXPECT_FALSE(fs_->RemoveEmptyFolder(two, "empty"));
  FileInfo info;
  EXPECT_EQ(fs_->StatAt(two, "empty", FollowLinks::kNo, &info),
            std::errc::no_such_file_or_directory);
  EXPECT_FALSE(fs_->StatAt(kept, "two", FollowLinks::kNo, &info));
}

TEST_F(FileSystemContract, LocalTimeConversionExists) {
  EXPECT_TRUE(FileTimeToLocalFileTime(testing::UnixSecondsToFileTime(kJan2020)).has_value());
}

}  // namespace
}  // namespace tandrel

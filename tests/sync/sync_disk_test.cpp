// The sync run on the real disk, from the compare to the next compare.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "compare/plan.h"
#include "platform/system.h"
#include "support/fake_window.h"
#include "support/path.h"
#include "support/temp_folder.h"
#include "sync/sync_run.h"

namespace tandrel {
namespace {

using ::testing::ElementsAre;
using testing::FakePlanList;
using testing::FakeShell;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using testing::P;
using testing::TempFolder;
namespace stdfs = std::filesystem;

constexpr long long kJan2020 = 1'577'836'800;  // seconds since 1970
// Permission bits, links made without privileges, and renaming over a
// read-only file are POSIX matters.
constexpr bool kPosix = kSeparator == '/';

class SyncOnDisk : public ::testing::Test {
 protected:
  std::unique_ptr<FileSystem> fs_ = MakeRealFileSystem();
  TempFolder tmp_;
  std::string a_ = tmp_.MakeFolder("A") + kSeparator;
  std::string b_ = tmp_.MakeFolder("B") + kSeparator;
  FakePlanList plan_;
  FakeShell shell_;

  void Compare() {
    const BuildResult built = BuildPlan(*fs_, a_, b_);
    ASSERT_FALSE(built.error);
    plan_.Clear();
    plan_.Append(built.plan.Rows(true));
  }

  FileInfo Info(const std::string& path, FollowLinks follow = FollowLinks::kNo) {
    FileInfo info;
    EXPECT_FALSE(fs_->Stat(path, follow, &info)) << path;
    return info;
  }

  // Names beginning with "~" anywhere below the temporary folder.
  std::vector<std::string> Leftovers() {
    std::vector<std::string> found;
    for (const auto& entry : stdfs::recursive_directory_iterator(tmp_.path())) {
      if (entry.path().filename().string().starts_with("~tandrel-")) {
        found.push_back(entry.path().string());
      }
    }
    return found;
  }
};

TEST_F(SyncOnDisk, CopiesKeepBytesTimeAndBitsSoTheNextCompareIsEmpty) {
  const std::string big(300'000, 'z');
  tmp_.Write("A/one.txt", "one", kJan2020);
  stdfs::permissions(a_ + "one.txt", stdfs::perms(0640));
  tmp_.Write("A/sub/deep/big.bin", big + "end", kJan2020 + 5);
  tmp_.Write("A/sub/two.txt", "new two", kJan2020 + 100);
  tmp_.Write("B/x/two.txt", "old two", kJan2020);
  tmp_.Write("B/bonly", "b only", kJan2020 + 7);
  Compare();
  ASSERT_EQ(plan_.rows.size(), 4u);

  SyncRun(plan_, {a_, b_}, shell_, *fs_);

  EXPECT_THAT(shell_.messages, ElementsAre("Done."));
  EXPECT_THAT(plan_.rows, IsEmpty());
  EXPECT_EQ(TempFolder::Read(b_ + "one.txt"), "one");
  if (kPosix) {
    EXPECT_EQ(Info(b_ + "one.txt").permissions, 0640u);
  }
  EXPECT_EQ(Info(b_ + "one.txt").write_time, testing::UnixSecondsToFileTime(kJan2020));
  EXPECT_EQ(TempFolder::Read(b_ + "big.bin"), big + "end");
  EXPECT_EQ(TempFolder::Read(b_ + P("x/two.txt")), "new two");
  EXPECT_EQ(Info(b_ + P("x/two.txt")).write_time, testing::UnixSecondsToFileTime(kJan2020 + 100));
  EXPECT_EQ(TempFolder::Read(a_ + "bonly"), "b only");
  EXPECT_FALSE(stdfs::exists(b_ + "sub"));
  EXPECT_THAT(Leftovers(), IsEmpty());

  Compare();
  EXPECT_THAT(plan_.rows, IsEmpty());
}

TEST_F(SyncOnDisk, AFileThatAppearedAfterTheCompareIsKept) {
  tmp_.Write("A/x", "from A", kJan2020);
  Compare();
  tmp_.Write("B/x", "made meanwhile", kJan2020 - 50);

  SyncRun(plan_, {a_, b_}, shell_, *fs_);

  ASSERT_EQ(shell_.messages.size(), 1u);
  EXPECT_THAT(shell_.messages[0], HasSubstr(a_ + "x"));
  EXPECT_THAT(shell_.messages[0], HasSubstr(b_ + "x"));
  EXPECT_THAT(shell_.messages[0], HasSubstr("already exists"));
  EXPECT_EQ(TempFolder::Read(b_ + "x"), "made meanwhile");
  ASSERT_EQ(plan_.rows.size(), 1u);
  EXPECT_EQ(plan_.rows[0].action, std::string(kCopyTo2Action));
  EXPECT_THAT(Leftovers(), IsEmpty());
}

TEST_F(SyncOnDisk, LinksAreReadThroughAtTheSourceAndNeverWrittenThroughAtTheDestination) {
  if (!kPosix) GTEST_SKIP() << "links need privileges here";
  const std::string outside = tmp_.Write("outside/target.txt", "outside", kJan2020);
  const std::string stored = tmp_.Write("store/real", "real bytes", kJan2020 + 30);
  tmp_.Write("A/x", "new x", kJan2020 + 60);
  stdfs::create_symlink(outside, b_ + "x");
  stdfs::create_symlink(stored, a_ + "linked");
  Compare();
  ASSERT_EQ(plan_.rows.size(), 2u);

  SyncRun(plan_, {a_, b_}, shell_, *fs_);

  EXPECT_THAT(shell_.messages, ElementsAre("Done."));
  EXPECT_FALSE(Info(b_ + "x").is_link);
  EXPECT_EQ(TempFolder::Read(b_ + "x"), "new x");
  EXPECT_EQ(TempFolder::Read(outside), "outside");
  EXPECT_EQ(Info(outside).write_time, testing::UnixSecondsToFileTime(kJan2020));
  EXPECT_FALSE(Info(b_ + "linked").is_link);
  EXPECT_EQ(TempFolder::Read(b_ + "linked"), "real bytes");
  EXPECT_EQ(Info(b_ + "linked").write_time, testing::UnixSecondsToFileTime(kJan2020 + 30));

  // A copy row finds a link where nothing was at the compare.
  tmp_.Write("A/y", "y", kJan2020);
  Compare();
  stdfs::create_symlink(outside, b_ + "y");
  SyncRun(plan_, {a_, b_}, shell_, *fs_);
  ASSERT_EQ(shell_.messages.size(), 2u);
  EXPECT_THAT(shell_.messages[1], HasSubstr("already exists"));
  EXPECT_TRUE(Info(b_ + "y").is_link);
  EXPECT_EQ(TempFolder::Read(outside), "outside");
  EXPECT_THAT(Leftovers(), IsEmpty());
}

// A read-only target is replaced: the folder's permissions decide, as they
// would for a delete (on Windows, where no read-only file is replaced in
// one step, it is moved aside into the run's record first).
TEST_F(SyncOnDisk, AReadOnlyTargetIsReplaced) {
  tmp_.Write("A/ro", "new ro", kJan2020 + 60);
  tmp_.Write("B/ro", "old ro", kJan2020);
  stdfs::permissions(b_ + "ro", stdfs::perms(0444));
  Compare();
  SyncRun(plan_, {a_, b_}, shell_, *fs_);
  EXPECT_THAT(shell_.messages, ElementsAre("Done."));
  EXPECT_EQ(TempFolder::Read(b_ + "ro"), "new ro");
  EXPECT_THAT(Leftovers(), IsEmpty());
}

TEST_F(SyncOnDisk, AnOverwriteRefusesATargetEditedSinceTheCompare) {
  tmp_.Write("A/edited", "compared newer", kJan2020 + 60);
  tmp_.Write("B/edited", "older at the compare", kJan2020);
  Compare();
  ASSERT_EQ(plan_.rows.size(), 1u);
  tmp_.Write("B/edited", "edited since", kJan2020 + 120);

  SyncRun(plan_, {a_, b_}, shell_, *fs_);

  ASSERT_EQ(shell_.messages.size(), 1u);
  EXPECT_THAT(shell_.messages[0], HasSubstr(a_ + "edited"));
  EXPECT_THAT(shell_.messages[0], HasSubstr(b_ + "edited"));
  EXPECT_THAT(shell_.messages[0], HasSubstr("newer"));
  EXPECT_EQ(TempFolder::Read(b_ + "edited"), "edited since");
  EXPECT_EQ(plan_.rows[0].action, std::string(kOverwriteAction));
  EXPECT_THAT(Leftovers(), IsEmpty());
}

}  // namespace
}  // namespace tandrel

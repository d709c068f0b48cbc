// What only a POSIX file system can do to a sync run.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>

#include "compare/plan.h"
#include "platform/system.h"
#include "support/fake_window.h"
#include "support/forwarding_file_system.h"
#include "support/temp_folder.h"
#include "sync/sync_run.h"

namespace tandrel {
namespace {

using testing::FakePlanList;
using testing::FakeShell;
using ::testing::HasSubstr;
using testing::TempFolder;

// A pipe put in a source's place after the compare would block a plain
// open until someone writes to it; the row must fail at once instead.
TEST(SyncOnPosix, ASourceThatBecameAPipeFailsTheRowWithoutWaiting) {
  std::unique_ptr<FileSystem> fs = MakeRealFileSystem();
  TempFolder tmp;
  const std::string source = tmp.Write("A/x", "x");
  const std::string b = tmp.MakeFolder("B") + "/";
  FakePlanList plan;
  plan.Append(BuildPlan(*fs, tmp.path() + "A/", b).plan.Rows(true));
  ASSERT_EQ(plan.rows.size(), 1u);
  ASSERT_EQ(::unlink(source.c_str()), 0);
  ASSERT_EQ(::mkfifo(source.c_str(), 0644), 0);
  FakeShell shell;

  SyncRun(plan, {tmp.path() + "A/", b}, shell, *fs);

  ASSERT_EQ(shell.messages.size(), 1u);
  EXPECT_THAT(shell.messages[0], HasSubstr(source));
  EXPECT_TRUE(std::filesystem::is_empty(b));
}

// Run by root over a user's folders, that user's link to a file elsewhere
// must not carry the file into the other tree; root's own link, and the
// user's link to a file inside the folders, are read through.
TEST(SyncOnPosix, AnotherUsersLinkToAFileOutsideIsNotCopied) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to make a link of another user";
  std::unique_ptr<FileSystem> fs = MakeRealFileSystem();
  TempFolder tmp;
  tmp.Write("elsewhere/secret", "secret");
  tmp.Write("A/inside", "inside");
  const std::string a = tmp.path() + "A/";
  const std::string b = tmp.MakeFolder("B") + "/";
  ASSERT_EQ(::symlink((tmp.path() + "elsewhere/secret").c_str(), (a + "theirs").c_str()), 0);
  ASSERT_EQ(::symlink("inside", (a + "near").c_str()), 0);
  ASSERT_EQ(::symlink((tmp.path() + "elsewhere/secret").c_str(), (a + "mine").c_str()), 0);
  for (const char* link : {"theirs", "near"}) {
    ASSERT_EQ(::lchown((a + link).c_str(), 65534, 65534), 0);
  }
  FakePlanList plan;
  plan.Append(BuildPlan(*fs, a, b).plan.Rows(true));
  ASSERT_EQ(plan.rows.size(), 4u);
  FakeShell shell;
  SyncOptions options;
  options.keep_going = true;

  EXPECT_FALSE(SyncRun(plan, {a, b}, shell, *fs, options));

  ASSERT_EQ(shell.messages.size(), 1u);
  EXPECT_THAT(shell.messages[0], HasSubstr(a + "theirs"));
  EXPECT_FALSE(std::filesystem::exists(b + "theirs"));
  EXPECT_EQ(TempFolder::Read(b + "near"), "inside");
  EXPECT_EQ(TempFolder::Read(b + "mine"), "secret");
}

// Reads a file's whole contents, or "" when it cannot be read.
std::string ReadOrEmpty(const std::string& path) { return TempFolder::Read(path); }

// Another program swaps the destination's subfolder for a link to a folder
// outside, right after the sync has found its way there and before it
// writes: the file outside keeps its bytes.
TEST(SyncOnPosix, AFolderSwappedForALinkAfterTheCompareWritesNothingOutside) {
  TempFolder tmp;
  tmp.Write("t1/x/victim.txt", "new", 1'704'067'200);
  tmp.Write("t2/sub/victim.txt", "old", 1'577'836'800);
  const std::string outside = tmp.Write("outside/victim.txt", "precious", 1'577'836'800);
  const std::string t1 = tmp.path() + "t1/";
  const std::string t2 = tmp.path() + "t2/";
  auto fs = std::make_shared<testing::ForwardingFileSystem>(MakeRealFileSystem());
  FakePlanList plan;
  plan.Append(BuildPlan(*fs, t1, t2).plan.Rows(true));
  ASSERT_EQ(plan.rows.size(), 1u);
  bool swapped = false;
  fs->before = [&](std::string_view call, std::string_view) {
    if (call != "CreateTemporary" || swapped) return;
    swapped = true;
    ASSERT_EQ(::rename((t2 + "sub").c_str(), (tmp.path() + "sub.moved").c_str()), 0);
    ASSERT_EQ(::symlink((tmp.path() + "outside").c_str(), (t2 + "sub").c_str()), 0);
  };
  FakeShell shell;

  SyncRun(plan, {t1, t2}, shell, *fs);

  EXPECT_TRUE(swapped);
  EXPECT_EQ(ReadOrEmpty(outside), "precious");
  // The folder it had found was moved away with the old file in it, and got
  // the copy there.
  EXPECT_EQ(ReadOrEmpty(tmp.path() + "sub.moved/victim.txt"), "new");
}

// A separate program swaps a destination subfolder and a link to a folder
// outside, as fast as it can, while syncs of many overwrites run. First a
// plain path-based writer under the same racer shows that the race is real.
TEST(SyncOnPosix, ARacingSwapOfFolderAndLinkNeverWritesOutside) {
  constexpr int kFiles = 300;
  TempFolder tmp;
  const std::string t1 = tmp.path() + "t1/";
  const std::string t2 = tmp.path() + "t2/";
  const std::string outside = tmp.path() + "outside/";
  for (int i = 0; i < kFiles; ++i) {
    const std::string name = "f" + std::to_string(i);
    tmp.Write("t1/" + name, "new", 1'704'067'200);
    tmp.Write("t2/sub/" + name, "old", 1'577'836'800);
    tmp.Write("outside/" + name, "precious", 1'577'836'800);
  }
  ASSERT_EQ(::symlink(outside.c_str(), (t2 + "link").c_str()), 0);
  const auto escaped = [&] {
    int count = 0;
    for (int i = 0; i < kFiles; ++i) {
      count += ReadOrEmpty(outside + "f" + std::to_string(i)) != "precious";
    }
    return count;
  };
  const pid_t racer = ::fork();
  ASSERT_GE(racer, 0);
  if (racer == 0) {
    const int dir = ::open(t2.c_str(), O_RDONLY | O_DIRECTORY);
    for (;;) ::syscall(SYS_renameat2, dir, "sub", dir, "link", RENAME_EXCHANGE);
  }

  // The positive control: writes by whole path escape.
  for (int round = 0; round < 20 && escaped() == 0; ++round) {
    for (int i = 0; i < kFiles; ++i) {
      const int fd = ::open((t2 + "sub/f" + std::to_string(i)).c_str(), O_WRONLY | O_TRUNC);
      if (fd < 0) continue;
      (void)!::write(fd, "escaped", 7);
      ::close(fd);
    }
  }
  const int control = escaped();
  for (int i = 0; i < kFiles; ++i) tmp.Write("outside/f" + std::to_string(i), "precious");

  // Each run stops at its first refused row; the next goes on from there.
  std::unique_ptr<FileSystem> fs = MakeRealFileSystem();
  int runs = 0;
  int remaining = kFiles;
  for (const auto start = std::chrono::steady_clock::now();
       remaining > 0 && std::chrono::steady_clock::now() - start < std::chrono::seconds(3);) {
    FakePlanList plan;
    for (int i = kFiles - remaining; i < kFiles; ++i) {
      const std::string name = "f" + std::to_string(i);
      plan.rows.push_back({t1 + name, std::string(kOverwriteAction), t2 + "sub/" + name, true});
    }
    FakeShell shell;
    SyncRun(plan, {t1, t2}, shell, *fs);
    ++runs;
    remaining = static_cast<int>(std::count_if(plan.rows.begin(), plan.rows.end(),
                                               [](auto& r) { return r.action != "Done"; }));
  }
  ::kill(racer, SIGKILL);
  ::waitpid(racer, nullptr, 0);

  ASSERT_GT(control, 0) << "the racer never won against plain paths: this test proves nothing";
  EXPECT_EQ(escaped(), 0) << "after " << runs << " runs";
  EXPECT_GT(runs, 1);
}

// Paths far longer than the system's limit for one path: a file 4,200
// bytes down and a folder 300 levels deep with names of 255 bytes.
TEST(SyncOnPosix, PathsOfAnyLengthAreWalkedComparedAndSynced) {
  TempFolder tmp;
  const std::string a = tmp.MakeFolder("A") + "/";
  const std::string b = tmp.MakeFolder("B") + "/";
  const std::string long_name(255, 'n');
  // Made one name at a time from an open folder, as nothing else reaches.
  const auto make_chain = [&](const std::string& top, int levels, const char* file,
                              const char* contents, time_t when) {
    int dir = ::open(top.c_str(), O_RDONLY | O_DIRECTORY);
    for (int i = 0; i < levels; ++i) {
      ASSERT_EQ(::mkdirat(dir, long_name.c_str(), 0755), 0);
      const int next = ::openat(dir, long_name.c_str(), O_RDONLY | O_DIRECTORY);
      ::close(dir);
      dir = next;
    }
    const int fd = ::openat(dir, file, O_WRONLY | O_CREAT, 0644);
    ASSERT_EQ(::write(fd, contents, std::strlen(contents)),
              static_cast<ssize_t>(std::strlen(contents)));
    const struct timespec times[2] = {{0, UTIME_OMIT}, {when, 0}};
    ::futimens(fd, times);
    ::close(fd);
    ::close(dir);
  };
  make_chain(a, 300, "deep.txt", "new deep", 1'704'067'200);
  make_chain(b, 300, "deep.txt", "old deep", 1'577'836'800);
  make_chain(tmp.MakeFolder("A/x"), 17, "long.txt", "long", 1'704'067'200);

  std::unique_ptr<FileSystem> fs = MakeRealFileSystem();
  const BuildResult built = BuildPlan(*fs, a, b);
  ASSERT_FALSE(built.error);
  EXPECT_THAT(built.unreadable, ::testing::IsEmpty());
  FakePlanList plan;
  plan.Append(built.plan.Rows(true));
  ASSERT_EQ(plan.rows.size(), 2u);
  EXPECT_GT(plan.rows[0].source.size(), 4200u);
  EXPECT_GT(plan.rows[1].destination.size(), 300u * 256);
  FakeShell shell;

  SyncRun(plan, {a, b}, shell, *fs);

  EXPECT_THAT(shell.messages, ::testing::ElementsAre("Done."));
  EXPECT_EQ(TempFolder::Read(b + "long.txt"), "long");
  const BuildResult again = BuildPlan(*fs, a, b);
  EXPECT_EQ(again.plan.size(), 0u);
  ASSERT_EQ(std::system(("rm -rf '" + a + "' '" + b + "'").c_str()), 0);
}

// A run killed while it wrote leaves its temporary behind; the next sync
// into that folder removes it, but never one that a running sync holds.
TEST(SyncOnPosix, TheNextSyncRemovesWhatAKilledRunLeftButNotWhatARunningOneHolds) {
  TempFolder tmp;
  tmp.Write("A/x", "x");
  const std::string a = tmp.path() + "A/";
  const std::string b = tmp.MakeFolder("B") + "/";
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::unique_ptr<FileSystem> fs = MakeRealFileSystem();
    Folder folder;
    OpenFile file;
    if (fs->OpenRoot(b, &folder) || fs->CreateTemporary(folder, "~tandrel-0000000a-1.tmp", &file)) {
      ::_exit(1);
    }
    ::raise(SIGKILL);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  ASSERT_TRUE(WIFSIGNALED(status));
  std::unique_ptr<FileSystem> fs = MakeRealFileSystem();
  std::unique_ptr<FileSystem> other_run = MakeRealFileSystem();
  Folder folder;
  ASSERT_FALSE(other_run->OpenRoot(b, &folder));
  OpenFile held;
  ASSERT_FALSE(other_run->CreateTemporary(folder, "~tandrel-0000000b-1.tmp", &held));
  FakePlanList plan;
  plan.Append(BuildPlan(*fs, a, b).plan.Rows(true));
  FakeShell shell;

  SyncRun(plan, {a, b}, shell, *fs);

  EXPECT_THAT(shell.messages,
              ::testing::ElementsAre("Done.", std::string(kLeftoversRemoved) + "\n\n" + b +
                                                  "~tandrel-0000000a-1.tmp"));
  EXPECT_FALSE(std::filesystem::exists(b + "~tandrel-0000000a-1.tmp"));
  EXPECT_TRUE(std::filesystem::exists(b + "~tandrel-0000000b-1.tmp"));
  EXPECT_EQ(TempFolder::Read(b + "x"), "x");
}

}  // namespace
}  // namespace tandrel

// What only the POSIX file system does: links, dot names and permission bits.
#include "platform/posix/posix_file_system.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "compare/last_modified.h"
#include "compare/plan.h"
#include "support/temp_folder.h"

namespace tandrel {
namespace {

using ::testing::ElementsAre;
using testing::TempFolder;

TEST(PosixFileSystem, LinksAndDotNamesInAPlan) {
  TempFolder tmp;
  const std::string one = tmp.MakeFolder("one") + "/";
  const std::string two = tmp.MakeFolder("two") + "/";
  tmp.Write("one/real.txt", "r", 1'600'000'000);
  tmp.Write("one/.dotfile", "d");
  tmp.Write("one/.git/config", "c");
  tmp.Write("elsewhere/outside.txt", "o");
  ASSERT_EQ(symlink("..", (one + "up").c_str()), 0);  // a loop
  ASSERT_EQ(symlink((tmp.path() + "elsewhere").c_str(), (one + "away").c_str()), 0);
  ASSERT_EQ(symlink((one + "real.txt").c_str(), (two + "real.txt").c_str()),
            0);  // same time as its target
  ASSERT_EQ(symlink("nowhere", (two + "dangling").c_str()), 0);
  ASSERT_EQ(mkfifo((two + "pipe").c_str(), 0600), 0);

  PosixFileSystem fs;
  const BuildResult r = BuildPlan(fs, one, two);
  ASSERT_FALSE(r.error);
  std::vector<std::string> rows;
  for (size_t i = 0; i < r.plan.size(); ++i) rows.push_back(r.plan.Source(i));
  // Neither link to a folder is walked; the dot file is listed, the dot
  // folder is not; the link to a file is compared by its target's time, and
  // neither the dangling link nor the pipe is a file.
  EXPECT_THAT(rows, ElementsAre(one + ".dotfile"));
}

TEST(PosixFileSystem, CopyKeepsPermissionBitsButNotSetIdAndRenameReplacesALinkItself) {
  TempFolder tmp;
  const std::string script = tmp.Write("run.sh", "#!/bin/sh\n");
  ASSERT_EQ(chmod(script.c_str(), 06750), 0);
  PosixFileSystem fs;
  Folder folder;
  ASSERT_FALSE(fs.OpenRoot(tmp.path(), &folder));
  OpenFile file;
  ASSERT_FALSE(fs.CreateTemporary(folder, "~copy", &file));
  FileInfo info;
  ASSERT_FALSE(fs.CopyInto(folder, "run.sh", file, &info));
  ASSERT_FALSE(fs.StatAt(folder, "~copy", FollowLinks::kNo, &info));
  EXPECT_EQ(info.permissions, 0750u);

  const std::string target = tmp.Write("target.txt", "keep me");
  const std::string link = tmp.path() + "link.txt";
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  ASSERT_FALSE(fs.StatAt(folder, "link.txt", FollowLinks::kNo, &info));
  EXPECT_TRUE(info.is_link);
  ASSERT_FALSE(fs.RenameTemporary(folder, "~copy", file, "link.txt", /*replace=*/true));
  EXPECT_EQ(TempFolder::Read(target), "keep me");
  EXPECT_EQ(TempFolder::Read(link), "#!/bin/sh\n");
  ASSERT_FALSE(fs.StatAt(folder, "link.txt", FollowLinks::kNo, &info));
  EXPECT_FALSE(info.is_link);
}

// Times to the nanosecond, sparse files and times beyond the 100-nanosecond
// scale, as ext4, XFS and tmpfs keep them.
TEST(PosixFileSystem, CopiesAreExactSparseAndTimesFarAheadStayInOrder) {
  TempFolder tmp;
  const std::string sparse = tmp.path() + "disk.img";
  {
    const int fd = open(sparse.c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, "head", 4, 0), 4);
    ASSERT_EQ(pwrite(fd, "tail", 4, (off_t{1} << 30) - 4), 4);
    const struct timespec times[2] = {{0, UTIME_OMIT}, {1'700'000'000, 123'456'789}};
    ASSERT_EQ(futimens(fd, times), 0);
    close(fd);
  }
  PosixFileSystem fs;
  Folder folder;
  ASSERT_FALSE(fs.OpenRoot(tmp.path(), &folder));
  OpenFile file;
  ASSERT_FALSE(fs.CreateTemporary(folder, "~copy", &file));
  FileInfo copied;
  ASSERT_FALSE(fs.CopyInto(folder, "disk.img", file, &copied));
  file.Reset();
  struct stat st {};
  ASSERT_EQ(stat((tmp.path() + "~copy").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, off_t{1} << 30);
  EXPECT_LT(st.st_blocks * 512, 16 << 20) << "the holes were filled in";
  EXPECT_EQ(st.st_mtim.tv_sec, 1'700'000'000);
  EXPECT_EQ(st.st_mtim.tv_nsec, 123'456'789);
  char head[4] = {};
  char tail[4] = {};
  const int fd = open((tmp.path() + "~copy").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(pread(fd, head, 4, 0), 4);
  EXPECT_EQ(pread(fd, tail, 4, (off_t{1} << 30) - 4), 4);
  close(fd);
  EXPECT_EQ(std::string(head, 4), "head");
  EXPECT_EQ(std::string(tail, 4), "tail");

  // The year 40,000 is after 2024, however the scale holds it.
  const std::string far = tmp.Write("far.txt", "f");
  const struct timespec year_40000[2] = {{0, UTIME_OMIT}, {1'200'000'000'000, 0}};
  if (utimensat(AT_FDCWD, far.c_str(), year_40000, 0) != 0) GTEST_SKIP() << "no such times here";
  const std::string near = tmp.Write("near.txt", "n", 1'704'067'200);  // 2024-01-01
  FileInfo far_info;
  FileInfo near_info;
  ASSERT_FALSE(fs.StatAt(folder, "far.txt", FollowLinks::kNo, &far_info));
  ASSERT_FALSE(fs.StatAt(folder, "near.txt", FollowLinks::kNo, &near_info));
  EXPECT_EQ(CompareWriteTimes(far_info.write_time, near_info.write_time), 1);
}

// No folder below a chosen one is entered through a link: not when it is
// listed, and not when it is reached by its path.
TEST(PosixFileSystem, LinksOnTheWayAreRefused) {
  TempFolder tmp;
  tmp.Write("outside/secret.txt", "s");
  tmp.Write("top/real/file.txt", "f");
  ASSERT_EQ(symlink((tmp.path() + "outside").c_str(), (tmp.path() + "top/link").c_str()), 0);
  PosixFileSystem fs;
  Folder top;
  ASSERT_FALSE(fs.OpenRoot(tmp.path() + "top", &top));
  Folder folder;
  EXPECT_EQ(fs.OpenFolder(top, "link", &folder), std::errc::too_many_symbolic_link_levels);
  EXPECT_EQ(fs.OpenBeneath(top, "link/", &folder), std::errc::too_many_symbolic_link_levels);
  EXPECT_EQ(fs.OpenBeneath(top, "real/../link", &folder), std::errc::invalid_argument);
  Folder real;
  ASSERT_FALSE(fs.OpenFolder(top, "real", &real));
  EXPECT_EQ(fs.OpenBeneath(real, "..", &folder), std::errc::invalid_argument);
  // The same refusal, one name at a time, where openat2 is missing.
  EXPECT_EQ(fs.FileSystem::OpenBeneath(top, "link", &folder),
            std::errc::too_many_symbolic_link_levels);
}

}  // namespace
}  // namespace tandrel

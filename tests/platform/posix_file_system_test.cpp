// What only the POSIX file system does: links, dot names and permission bits.
#include "platform/posix/posix_file_system.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

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

  PosixFileSystem fs;
  const BuildResult r = BuildPlan(fs, one, two);
  ASSERT_FALSE(r.error);
  std::vector<std::string> rows;
  for (size_t i = 0; i < r.plan.size(); ++i) rows.push_back(r.plan.Source(i));
  // Neither link to a folder is walked; the dot file is listed, the dot
  // folder is not; the link to a file is compared by its target's time, and
  // the dangling link is listed.
  EXPECT_THAT(rows, ElementsAre(one + ".dotfile", two + "dangling"));
}

TEST(PosixFileSystem, CopyKeepsPermissionBitsAndRenameReplacesALinkItself) {
  TempFolder tmp;
  const std::string script = tmp.Write("run.sh", "#!/bin/sh\n");
  ASSERT_EQ(chmod(script.c_str(), 0750), 0);
  PosixFileSystem fs;
  const std::string copy = tmp.path() + "~copy";
  ASSERT_FALSE(fs.CopyContents(script, copy));
  FileInfo info;
  ASSERT_FALSE(fs.Stat(copy, FollowLinks::kNo, &info));
  EXPECT_EQ(info.permissions, 0750u);

  const std::string target = tmp.Write("target.txt", "keep me");
  const std::string link = tmp.path() + "link.txt";
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  ASSERT_FALSE(fs.Stat(link, FollowLinks::kNo, &info));
  EXPECT_TRUE(info.is_link);
  ASSERT_FALSE(fs.Rename(copy, link, /*replace=*/true));
  EXPECT_EQ(TempFolder::Read(target), "keep me");
  EXPECT_EQ(TempFolder::Read(link), "#!/bin/sh\n");
  ASSERT_FALSE(fs.Stat(link, FollowLinks::kNo, &info));
  EXPECT_FALSE(info.is_link);
}

}  // namespace
}  // namespace tandrel

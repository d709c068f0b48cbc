#include "compare/plan.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <random>

#include "compare/last_modified.h"
#include "support/fake_file_system.h"
#include "support/path.h"

namespace tandrel {
namespace {

using ::testing::ElementsAre;
using testing::FakeFileSystem;
using ::testing::IsEmpty;
using testing::Op;
using testing::P;

constexpr FileTime kSecond = kFileTimeTicksPerSecond;
constexpr FileTime kDay2000 = 125'911'584'000'000'000;  // 2000-01-01 00:00 UTC

std::vector<std::string> Lines(const Plan& plan) {
  std::vector<std::string> lines;
  for (size_t i = 0; i < plan.size(); ++i) {
    lines.push_back(plan.Source(i) + "|" + std::string(plan.Action(i)) + "|" + plan.Destination(i));
  }
  return lines;
}

TEST(BuildPlan, CopyRowsBothWaysThenOverwritesToTopFolders) {
  FakeFileSystem fs;
  fs.AddFile(P("/one/sub/b.txt"), "", kDay2000);
  fs.AddFile(P("/one/x/a.txt"), "", kDay2000);
  fs.AddFile(P("/one/top.txt"), "", kDay2000);
  fs.AddFile(P("/two/y/z/a.txt"), "", kDay2000 + 60 * kSecond);
  fs.AddFile(P("/two/only2.txt"), "", kDay2000);
  fs.AddFile(P("/two/same.txt"), "", kDay2000);
  fs.AddFile(P("/one/same.txt"), "", kDay2000 + kSecond / 2);
  const BuildResult r = BuildPlan(fs, P("/one/"), P("/two/"));
  ASSERT_FALSE(r.error);
  EXPECT_THAT(r.unreadable, IsEmpty());
  // Files of the top folder come before those of subfolders (level order).
  EXPECT_THAT(Lines(r.plan),
              ElementsAre(P("/one/top.txt| could be copied to|/two/"),
                          P("/one/sub/b.txt| could be copied to|/two/"),
                          P("/two/only2.txt| could to be copied to|/one/"),
                          P("/two/y/z/a.txt| could overwrite an older|/one/x/a.txt")));
}

TEST(BuildPlan, TildeNamesTakeNoPartButTildeFoldersAreWalked) {
  FakeFileSystem fs;
  fs.AddFile(P("/one/~$report.docx"), "", 0);
  fs.AddFile(P("/one/~tmp/data.txt"), "", 0);
  fs.AddFile(P("/two/~$report.docx"), "", kSecond * 99);
  fs.AddFile(P("/two/~lock"), "", 0);
  const BuildResult r = BuildPlan(fs, P("/one/"), P("/two/"));
  EXPECT_THAT(Lines(r.plan), ElementsAre(P("/one/~tmp/data.txt| could be copied to|/two/")));
}

TEST(BuildPlan, EmptyAndIdenticalTreesGiveNothing) {
  FakeFileSystem fs;
  fs.AddFolder(P("/e1"));
  fs.AddFolder(P("/e2"));
  EXPECT_THAT(Lines(BuildPlan(fs, P("/e1/"), P("/e2/")).plan), IsEmpty());
  fs.AddFile(P("/one/a"), "", kDay2000);
  fs.AddFile(P("/two/a"), "", kDay2000);
  EXPECT_THAT(Lines(BuildPlan(fs, P("/one/"), P("/two/")).plan), IsEmpty());
  EXPECT_THAT(Lines(BuildPlan(fs, P("/one/"), P("/e2/")).plan),
              ElementsAre(P("/one/a| could be copied to|/e2/")));
}

TEST(BuildPlan, SameFolderTwiceGivesOnlyDoubledOverwrites) {
  FakeFileSystem fs;
  fs.AddFile(P("/t/a/n"), "", kDay2000);
  fs.AddFile(P("/t/b/n"), "", kDay2000 + kSecond);
  fs.AddFile(P("/t/c/m"), "", kDay2000);
  EXPECT_THAT(Lines(BuildPlan(fs, P("/t/"), P("/t/")).plan),
              ElementsAre(P("/t/b/n| could overwrite an older|/t/a/n"),
                          P("/t/b/n| could overwrite an older|/t/a/n")));
}

TEST(BuildPlan, OneFolderInsideTheOther) {
  FakeFileSystem fs;
  fs.AddFile(P("/t/a"), "", kDay2000);
  fs.AddFile(P("/t/in/b"), "", kDay2000);
  // Tree 1 holds tree 2: b is in both, a only in tree 1.
  EXPECT_THAT(Lines(BuildPlan(fs, P("/t/"), P("/t/in/")).plan),
              ElementsAre(P("/t/a| could be copied to|/t/in/")));
}

TEST(BuildPlan, RootFolderFormsPathsWithOneSeparator) {
  FakeFileSystem fs;
  fs.AddFile(P("/r.txt"), "", 0);
  fs.AddFolder(P("/two"));
  EXPECT_THAT(Lines(BuildPlan(fs, P("/"), P("/two/")).plan),
              ElementsAre(P("/r.txt| could be copied to|/two/")));
}

TEST(BuildPlan, StrangeNamesAreKeptByteForByte) {
  FakeFileSystem fs;
  // The other platform's separator is an ordinary byte of a name.
  const std::string other_separator = kSeparator == '/' ? "back\\slash" : "for/ward";
  const std::vector<std::string> names = {"new\nline",   "tab\there", other_separator,
                                          "bad\xff\xfe", "-leading",  std::string(255, 'L')};
  for (const std::string& n : names) fs.AddFile(P("/one/") + n, "", kDay2000);
  fs.AddFolder(P("/two"));
  const BuildResult r = BuildPlan(fs, P("/one/"), P("/two/"));
  ASSERT_EQ(r.plan.size(), names.size());
  for (size_t i = 0; i < names.size(); ++i) EXPECT_EQ(r.plan.Source(i), P("/one/") + names[i]);
}

TEST(BuildPlan, NameThreeHundredTimesOnEachSide) {
  FakeFileSystem fs;
  for (int i = 0; i < 300; ++i) {
    fs.AddFile(P("/one/d") + std::to_string(i) + P("/n"), "", kDay2000 + (i % 2) * kSecond);
    fs.AddFile(P("/two/d") + std::to_string(i) + P("/n"), "", kDay2000);
  }
  const BuildResult r = BuildPlan(fs, P("/one/"), P("/two/"));
  // Every odd file of tree 1 is newer than every file of tree 2.
  EXPECT_EQ(r.plan.size(), 150u * 300u);
  EXPECT_EQ(r.plan.Source(0), P("/one/d1/n"));
  EXPECT_EQ(r.plan.Destination(299), P("/two/d299/n"));
}

TEST(BuildPlan, UnreadableSubfolderIsSkippedTopFolderIsAnError) {
  FakeFileSystem fs;
  fs.AddFile(P("/one/ok/a"), "", 0);
  fs.AddFile(P("/one/locked/b"), "", 0);
  fs.AddFolder(P("/two"));
  fs.FailPath(Op::kList, P("/one/locked/"), std::make_error_code(std::errc::permission_denied));
  const BuildResult r = BuildPlan(fs, P("/one/"), P("/two/"));
  ASSERT_FALSE(r.error);
  EXPECT_THAT(Lines(r.plan), ElementsAre(P("/one/ok/a| could be copied to|/two/")));
  ASSERT_EQ(r.unreadable.size(), 1u);
  EXPECT_EQ(r.unreadable[0].path, P("/one/locked/"));

  const BuildResult missing = BuildPlan(fs, P("/one/"), P("/nowhere/"));
  EXPECT_EQ(missing.error, std::errc::no_such_file_or_directory);
  EXPECT_EQ(missing.failed_folder, P("/nowhere/"));
  EXPECT_EQ(missing.plan.size(), 0u);
}

TEST(BuildPlan, StopTokenCancels) {
  FakeFileSystem fs;
  fs.AddFile(P("/one/a"), "", 0);
  fs.AddFolder(P("/two"));
  std::stop_source stop;
  stop.request_stop();
  BuildOptions options;
  options.stop = stop.get_token();
  const BuildResult r = BuildPlan(fs, P("/one/"), P("/two/"), options);
  EXPECT_TRUE(r.cancelled);
  EXPECT_EQ(r.plan.size(), 0u);
}

// Around the autumn clock change, 00:30 and 01:30 UTC are both 02:30 local
// time in Berlin. The later file is still the newer one.
TEST(BuildPlan, DaylightSavingChangeNeverReversesOrder) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows converts with the zone rules in force now, whatever TZ says";
#else
  const char* old_tz = std::getenv("TZ");
  const std::string saved = old_tz ? old_tz : "";
  setenv("TZ", "Europe/Berlin", 1);
  tzset();
  const FileTime utc_0030 = (1'603'585'800LL + kUnixEpochInFileTimeSeconds) * kSecond;
  const FileTime utc_0130 = utc_0030 + 3600 * kSecond;
  EXPECT_DOUBLE_EQ(FileTimeToDate(utc_0030), FileTimeToDate(utc_0130));
  FakeFileSystem fs;
  fs.AddFile(P("/one/f"), "", utc_0130);
  fs.AddFile(P("/two/f"), "", utc_0030);
  const std::vector<std::string> lines = Lines(BuildPlan(fs, P("/one/"), P("/two/")).plan);
  if (old_tz) {
    setenv("TZ", saved.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
  EXPECT_THAT(lines, ElementsAre(P("/one/f| could overwrite an older|/two/f")));
#endif
}

// A random tree below `top`: folders a few levels deep, names drawn from a
// small set so that namesakes abound, a few times, hidden folders, links to
// folders and folders that cannot be read.
void AddRandomTree(FakeFileSystem& fs, const std::string& top, std::mt19937& random) {
  const auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
  std::vector<std::string> folders{top};
  fs.AddFolder(P(top));
  for (int i = 0; i < 40; ++i) {
    const std::string parent = folders[static_cast<size_t>(pick(static_cast<int>(folders.size())))];
    const std::string folder = parent + "/d" + std::to_string(i);
    fs.AddFolder(P(folder), pick(10) == 0);
    folders.push_back(folder);
    if (pick(12) == 0) fs.FailPath(Op::kList, P(folder), std::make_error_code(std::errc::io_error));
  }
  for (int i = 0; i < 150; ++i) {
    const std::string& folder =
        folders[static_cast<size_t>(pick(static_cast<int>(folders.size())))];
    const std::string name = folder + "/f" + std::to_string(pick(60));
    if (fs.Exists(P(name))) continue;
    fs.AddFile(P(name), "x", kDay2000 + pick(3) * kSecond);
  }
  fs.AddLink(P(top + "/link"), P(folders.back()));
}

// The plan is a function of the listings, not of which request finishes
// first: requests finishing in a scrambled order on eight threads give the
// same rows, in the same order, and the same unreadable folders, as one
// request at a time.
TEST(BuildPlan, SameRowsWhateverOrderTheRequestsFinishIn) {
  for (unsigned seed = 1; seed <= 6; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::vector<std::string> results[2];
    for (int run = 0; run < 2; ++run) {
      FakeFileSystem fs;
      std::mt19937 random(seed);
      AddRandomTree(fs, "/one", random);
      AddRandomTree(fs, "/two", random);
      BuildOptions options;
      options.io_threads = run == 0 ? 1 : 8;
      if (run == 1) fs.SetJitter(seed, 300);
      const BuildResult r = BuildPlan(fs, P("/one/"), P("/two/"), options);
      ASSERT_FALSE(r.error);
      results[run] = Lines(r.plan);
      for (const UnreadableFolder& u : r.unreadable) results[run].push_back("unreadable " + u.path);
    }
    EXPECT_GT(results[0].size(), 50u);
    EXPECT_EQ(results[0], results[1]);
  }
}

}  // namespace
}  // namespace tandrel

// The compare engine on real Windows folders: backslash paths, names outside
// any code page, and local times from the system's time zone.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <windows.h>

#include "compare/last_modified.h"
#include "compare/plan.h"
#include "platform/win32/win32_file_system.h"
#include "support/fake_window.h"
#include "support/temp_folder.h"
#include "sync/sync_run.h"
#include "win32_disk.h"

namespace tandrel {
namespace {

using ::testing::ElementsAre;
using testing::TempFolder;
using ::testing::UnorderedElementsAre;

constexpr FileTime kSecond = kFileTimeTicksPerSecond;
constexpr FileTime kNewYear2000 = 125'911'584'000'000'000;
constexpr FileTime kNoon2000 = 125'912'034'000'000'000;  // 12:30 of that day

const std::string kGreek = "\xce\xb1\xce\xb2\xce\xb3.txt";  // αβγ.txt
const std::string kCjk = "\xe6\x96\x87\xe4\xbb\xb6.txt";    // 文件.txt
const std::string kEmoji = "\xf0\x9f\x98\x80.txt";          // 😀.txt
const std::string kOmega = "\xce\xa9mega";                  // Ωmega

// The offset that FileTimeToLocalFileTime applies now, from the time-zone
// information instead of from the conversion itself.
FileTime CurrentBias() {
  TIME_ZONE_INFORMATION zone;
  const DWORD which = ::GetTimeZoneInformation(&zone);
  LONG minutes = zone.Bias;
  if (which == TIME_ZONE_ID_DAYLIGHT) minutes += zone.DaylightBias;
  if (which == TIME_ZONE_ID_STANDARD) minutes += zone.StandardBias;
  return static_cast<FileTime>(minutes) * 60 * kSecond;
}

std::vector<std::string> Rows(const Plan& plan) {
  std::vector<std::string> rows;
  for (size_t i = 0; i < plan.size(); ++i) {
    rows.push_back(plan.Source(i) + "|" + std::string(plan.Action(i)) + "|" + plan.Destination(i));
  }
  return rows;
}

TEST(Win32Time, FileTimeToDateGivesTheLocalDateValue) {
  // Local file times of 2000-01-01 00:00 and 12:30, reached from UTC.
  const FileTime bias = CurrentBias();
  EXPECT_NEAR(FileTimeToDate(kNewYear2000 + bias), 36526.0, 1e-9);
  EXPECT_NEAR(FileTimeToDate(kNoon2000 + bias), 36526.520833333, 1e-9);
  // A time the system cannot convert gives 0, which is still a time.
  EXPECT_FALSE(FileTimeToLocalFileTime(-1).has_value());
  EXPECT_EQ(FileTimeToDate(-1), 0.0);
}

TEST(Win32Time, GetLastModifiedReadsTheFileAndMissingGivesNoTime) {
  Win32FileSystem fs;
  TempFolder tmp;
  const std::string file = tmp.Write("noon.txt", "x");
  TempFolder::SetWriteTime(file, kNoon2000 + CurrentBias());
  const std::optional<double> date = GetLastModified(fs, file);
  ASSERT_TRUE(date.has_value());
  EXPECT_NEAR(*date, 36526.520833333, 1e-9);
  EXPECT_FALSE(GetLastModified(fs, tmp.path() + "gone.txt").has_value());
  EXPECT_TRUE(FileExists(fs, file));
  EXPECT_FALSE(FileExists(fs, tmp.path() + "gone.txt"));
}

TEST(Win32Plan, NamesOutsideTheCodePageAreFoundComparedAndCopied) {
  Win32FileSystem fs;
  TempFolder tmp;
  const std::string one = tmp.path() + "one\\";
  const std::string two = tmp.path() + "two\\";
  tmp.Write("one\\" + kOmega + "\\" + kGreek, "greek");
  tmp.Write("one\\" + kCjk, "newer cjk");
  tmp.Write("one\\" + kEmoji, "emoji 1");
  tmp.Write("two\\" + kCjk, "older cjk");
  tmp.Write("two\\" + kEmoji, "emoji 2");
  tmp.Write("two\\~" + kGreek, "left out");
  TempFolder::SetWriteTime(one + kCjk, kNewYear2000 + 3600 * kSecond);
  TempFolder::SetWriteTime(two + kCjk, kNewYear2000);
  // Agreeing to the second is agreeing.
  TempFolder::SetWriteTime(one + kEmoji, kNewYear2000 + 1);
  TempFolder::SetWriteTime(two + kEmoji, kNewYear2000 + kSecond - 1);

  const BuildResult result = BuildPlan(fs, one, two);
  ASSERT_FALSE(result.error);
  EXPECT_THAT(Rows(result.plan),
              ElementsAre(one + kOmega + "\\" + kGreek + "| could be copied to|" + two,
                          one + kCjk + "| could overwrite an older|" + two + kCjk));

  testing::FakePlanList plan;
  plan.Append(result.plan.Rows(true));
  testing::FakeShell shell;
  SyncRun(plan, {one, two}, shell, fs);
  EXPECT_THAT(shell.messages, ElementsAre("Done."));
  EXPECT_EQ(testing::ReadFile(two + kGreek), "greek");
  EXPECT_EQ(testing::ReadFile(two + kCjk), "newer cjk");

  // The copies keep their sources' times, so nothing is left to do.
  EXPECT_THAT(Rows(BuildPlan(fs, one, two).plan), ElementsAre());
  std::vector<DirEntry> entries;
  ASSERT_FALSE(fs.ListFolder(two, &entries));
  std::vector<std::string> names;
  for (const DirEntry& e : entries) names.push_back(e.name);
  // The older cjk file went into the run's record.
  EXPECT_THAT(names, UnorderedElementsAre(kCjk, kEmoji, "~" + kGreek, kGreek, ".tandrel"));
}

TEST(Win32Plan, DriveRootAndSeparatorsFormOneBackslash) {
  Win32FileSystem fs;
  TempFolder tmp;
  tmp.Write("a\\sub\\only-a.txt", "a");
  tmp.MakeFolder("b");
  const BuildResult result = BuildPlan(fs, tmp.path() + "a\\", tmp.path() + "b\\");
  ASSERT_FALSE(result.error);
  EXPECT_THAT(
      Rows(result.plan),
      ElementsAre(tmp.path() + "a\\sub\\only-a.txt| could be copied to|" + tmp.path() + "b\\"));
  // A top folder that is missing stops the plan and names the folder.
  const BuildResult missing = BuildPlan(fs, tmp.path() + "a\\", tmp.path() + "nope\\");
  EXPECT_EQ(missing.error, std::errc::no_such_file_or_directory);
  EXPECT_EQ(missing.failed_folder, tmp.path() + "nope\\");
}

}  // namespace
}  // namespace tandrel

#include "compare/last_modified.h"

#include <gtest/gtest.h>

#include <cstdint>

#include "compare/file_name.h"
#include "support/fake_file_system.h"
#include "support/path.h"

namespace tandrel {
namespace {

using testing::FakeFileSystem;
using testing::P;

constexpr FileTime kSecond = kFileTimeTicksPerSecond;

TEST(LocalFileTimeToDate, KnownValues) {
  EXPECT_DOUBLE_EQ(LocalFileTimeToDate(125'911'584'000'000'000), 36526.0);
  EXPECT_NEAR(LocalFileTimeToDate(125'912'034'000'000'000), 36526.520833333, 1e-9);
  // 1899-12-30 00:00 is day 0; a fraction of a second survives.
  EXPECT_DOUBLE_EQ(LocalFileTimeToDate(109'205LL * 86'400 * kSecond), 0.0);
  EXPECT_GT(LocalFileTimeToDate(125'911'584'000'000'000 + kSecond / 2), 36526.0);
}

TEST(FileTimeToDate, ShiftsByTheLocalOffsetOfThatInstant) {
  const FileTime utc = 125'911'584'000'000'000;
  const std::optional<FileTime> local = FileTimeToLocalFileTime(utc);
  ASSERT_TRUE(local.has_value());
  EXPECT_DOUBLE_EQ(FileTimeToDate(utc), LocalFileTimeToDate(*local));
}

TEST(GetLastModified, MissingFileHasNoTimeNotZero) {
  FakeFileSystem fs;
  fs.AddFile(P("/t/a.txt"), "x", 125'911'584'000'000'000);
  EXPECT_FALSE(GetLastModified(fs, P("/t/missing.txt")).has_value());
  EXPECT_FALSE(FileExists(fs, P("/t/missing.txt")));
  EXPECT_TRUE(FileExists(fs, P("/t/a.txt")));
  ASSERT_TRUE(GetLastModified(fs, P("/t/a.txt")).has_value());
  EXPECT_DOUBLE_EQ(*GetLastModified(fs, P("/t/a.txt")), FileTimeToDate(125'911'584'000'000'000));
}

TEST(GetLastModified, LinkGivesTargetTimeAndDanglingLinkNone) {
  FakeFileSystem fs;
  fs.AddFile(P("/t/real.txt"), "x", 50 * kSecond);
  fs.AddLink(P("/t/link.txt"), P("/t/real.txt"));
  fs.AddLink(P("/t/dangling.txt"), P("/t/gone.txt"));
  EXPECT_EQ(GetLastWriteTime(fs, P("/t/link.txt")), 50 * kSecond);
  EXPECT_FALSE(GetLastWriteTime(fs, P("/t/dangling.txt")).has_value());
}

TEST(CompareWriteTimes, OneSecondResolutionAndMissingTimes) {
  const FileTime t = 1000 * kSecond;
  EXPECT_EQ(CompareWriteTimes(t, t + kSecond - 1), 0);  // the fraction is dropped
  EXPECT_EQ(CompareWriteTimes(t + kSecond - 1, t + kSecond), -1);
  EXPECT_EQ(CompareWriteTimes(t + kSecond, t), 1);
  // Before 1601 the seconds still floor the same way.
  EXPECT_EQ(CompareWriteTimes(-1, -kSecond), 0);
  EXPECT_EQ(CompareWriteTimes(-1, 0), -1);
  EXPECT_EQ(CompareWriteTimes(std::nullopt, 0), -1);  // no time is older than time 0
  EXPECT_EQ(CompareWriteTimes(0, std::nullopt), 1);
  EXPECT_EQ(CompareWriteTimes(std::nullopt, std::nullopt), 0);
}

TEST(CompareWriteTimesOnFat, TwoSecondStepsAndWholeHourShiftsOfEquallyLongFiles) {
  const FileTime t = 1000 * kSecond;
  constexpr FileTime kHour = 3600 * kSecond;
  struct Case {
    FileTime a;
    FileTime b;
    bool same_size;
    int order;
  };
  const Case cases[] = {
      {t + kSecond * 3 / 2, t, false, 0},  // 12:00:13.5 kept as 12:00:12
      {t + 2 * kSecond, t, false, 0},      // at most two seconds apart
      {t + 3 * kSecond, t, false, 1},      // an edit
      {t, t + 3 * kSecond, false, -1},
      {t + kHour, t, true, 0},                 // a summer-time shift
      {t + kHour + kSecond, t, true, 0},       // ... on top of the 2-second step
      {t + kHour, t, false, 1},                // not the same file after all
      {t + 14 * kHour - kSecond, t, true, 0},  // the farthest zones apart
      {t + 15 * kHour, t, true, 1},
      {t + kHour + 3 * kSecond, t, true, 1},
      {t, t + 5 * kSecond, true, -1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CompareWriteTimesOnFat(c.a, c.b, [&] { return c.same_size; }), c.order)
        << c.a - t << " against " << c.b - t;
  }
  EXPECT_EQ(CompareWriteTimesOnFat(std::nullopt, t, {}), -1);
  // Saturated times are far apart, not equal.
  EXPECT_EQ(CompareWriteTimesOnFat(INT64_MAX, INT64_MIN, [] { return true; }), 1);
}

TEST(FileNamePart, Cases) {
  EXPECT_EQ(FileNamePart("D:\\Photos\\2019\\img.jpg", '\\'), "img.jpg");
  EXPECT_EQ(FileNamePart("img.jpg", '\\'), "img.jpg");
  EXPECT_EQ(FileNamePart("D:\\Photos\\", '\\'), "");
  EXPECT_EQ(FileNamePart("", '\\'), "");
  EXPECT_EQ(FileNamePart("a/b\\c", '\\'), "c");
  EXPECT_EQ(FileNamePart("a/b\\c", '/'), "b\\c");  // only the separator separates
}

}  // namespace
}  // namespace tandrel

#include "compare/matching.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/fake_file_system.h"

namespace tandrel {
namespace {

using ::testing::ElementsAre;
using testing::FakeFileSystem;
using ::testing::IsEmpty;

constexpr FileTime kHour = 3600 * kFileTimeTicksPerSecond;

FileList ListOf(const std::vector<std::string>& paths) {
  FileList list;
  for (const std::string& p : paths) list.AddPath(p);
  return list;
}

std::vector<std::string> Paths(const FileList& list, const std::vector<std::uint32_t>& picks) {
  std::vector<std::string> out;
  for (std::uint32_t i : picks) out.push_back(list.Path(i));
  return out;
}

TEST(UnmatchedFiles, ByNameAnywhereExactAndCaseSensitive) {
  const FileList report =
      ListOf({"/1/a.txt", "/1/x/b.txt", "/1/y/b.txt", "/1/Readme.txt", "/1/c.txt"});
  const FileList search = ListOf({"/2/deep/er/b.txt", "/2/README.TXT", "/2/a.txt"});
  EXPECT_THAT(Paths(report, UnmatchedFiles(FirstNamesakes(report, NameIndex(search)))),
              ElementsAre("/1/Readme.txt", "/1/c.txt"));
  EXPECT_THAT(Paths(search, UnmatchedFiles(FirstNamesakes(search, NameIndex(report)))),
              ElementsAre("/2/README.TXT"));
}

TEST(UnmatchedFiles, EmptyLists) {
  const FileList some = ListOf({"/1/a", "/1/b"});
  const FileList none;
  EXPECT_THAT(Paths(some, UnmatchedFiles(FirstNamesakes(some, NameIndex(none)))),
              ElementsAre("/1/a", "/1/b"));
  EXPECT_THAT(UnmatchedFiles(FirstNamesakes(none, NameIndex(some))), IsEmpty());
}

class ProposeOverwritesTest : public ::testing::Test {
 protected:
  // Rows as "source > destination".
  std::vector<std::string> Rows(const FileList& l1, const FileList& l2) {
    std::vector<std::string> rows;
    const NameIndex index2(l2);
    for (const Overwrite& o : ProposeOverwrites(l1, l2, FirstNamesakes(l1, index2), index2, fs_)) {
      rows.push_back(o.from_list1 ? l1.Path(o.file1) + " > " + l2.Path(o.file2)
                                  : l2.Path(o.file2) + " > " + l1.Path(o.file1));
    }
    return rows;
  }
  FakeFileSystem fs_;
};

TEST_F(ProposeOverwritesTest, RowOrderFollowsList1ThenList2) {
  fs_.AddFile("/1/p/n.txt", "", 10 * kHour);
  fs_.AddFile("/1/q/n.txt", "", 12 * kHour);
  fs_.AddFile("/2/n.txt", "", 11 * kHour);
  const FileList l1 = ListOf({"/1/p/n.txt", "/1/q/n.txt"});
  const FileList l2 = ListOf({"/2/n.txt"});
  EXPECT_THAT(Rows(l1, l2), ElementsAre("/2/n.txt > /1/p/n.txt", "/1/q/n.txt > /2/n.txt"));
}

TEST_F(ProposeOverwritesTest, EqualToTheSecondGivesNoRowAndMissingTimeIsOldest) {
  fs_.AddFile("/1/same.txt", "", 5 * kHour + 1);
  fs_.AddFile("/2/x/same.txt", "", 5 * kHour + 9'999'999);
  fs_.AddFile("/1/t.txt", "", 0);  // time 0 is still a time
  fs_.AddFile("/2/t.txt", "", 0);
  fs_.SetTimeless("/2/t.txt");
  fs_.AddFile("/1/u.txt", "", 0);
  fs_.AddFile("/2/u.txt", "", 0);
  fs_.SetTimeless("/1/u.txt");
  fs_.SetTimeless("/2/u.txt");
  const FileList l1 = ListOf({"/1/same.txt", "/1/t.txt", "/1/u.txt"});
  const FileList l2 = ListOf({"/2/x/same.txt", "/2/t.txt", "/2/u.txt"});
  EXPECT_THAT(Rows(l1, l2), ElementsAre("/1/t.txt > /2/t.txt"));
}

TEST_F(ProposeOverwritesTest, EveryPairOfNamesakesKTimesM) {
  std::vector<std::string> p1, p2;
  for (int i = 0; i < 3; ++i) {
    p1.push_back("/1/d" + std::to_string(i) + "/n");
    fs_.AddFile(p1.back(), "", (i + 1) * kHour);
  }
  for (int j = 0; j < 2; ++j) {
    p2.push_back("/2/e" + std::to_string(j) + "/n");
    fs_.AddFile(p2.back(), "", (2 * j + 1) * kHour + kHour / 2);  // 1:30 and 3:30
  }
  EXPECT_THAT(Rows(ListOf(p1), ListOf(p2)),
              ElementsAre("/2/e0/n > /1/d0/n", "/2/e1/n > /1/d0/n",    // 1:00
                          "/1/d1/n > /2/e0/n", "/2/e1/n > /1/d1/n",    // 2:00
                          "/1/d2/n > /2/e0/n", "/2/e1/n > /1/d2/n"));  // 3:00
}

TEST_F(ProposeOverwritesTest, SameListTwiceGivesEachPairTwice) {
  fs_.AddFile("/1/a/n", "", 1 * kHour);
  fs_.AddFile("/1/b/n", "", 2 * kHour);
  const FileList l = ListOf({"/1/a/n", "/1/b/n"});
  EXPECT_THAT(Rows(l, l), ElementsAre("/1/b/n > /1/a/n", "/1/b/n > /1/a/n"));
}

TEST_F(ProposeOverwritesTest, ReadsEachTimeOnceAndOnlyForNamesakes) {
  for (int i = 0; i < 20; ++i) {
    fs_.AddFile("/1/d" + std::to_string(i) + "/n", "", i * kHour);
    fs_.AddFile("/2/d" + std::to_string(i) + "/n", "", i * kHour);
  }
  fs_.AddFile("/1/lonely", "", 0);
  std::vector<std::string> p1{"/1/lonely"}, p2;
  for (int i = 0; i < 20; ++i) {
    p1.push_back("/1/d" + std::to_string(i) + "/n");
    p2.push_back("/2/d" + std::to_string(i) + "/n");
  }
  const FileList l1 = ListOf(p1), l2 = ListOf(p2);
  EXPECT_EQ(Rows(l1, l2).size(), 20u * 19u);
  EXPECT_EQ(fs_.Calls(testing::Op::kStat), 40);
}

}  // namespace
}  // namespace tandrel
